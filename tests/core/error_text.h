// Test helper: the message of the error a call throws.
#pragma once

#include <string>

namespace quorvalis::testing {

// what() of the Error that f throws, or a marker text when it returns normally.
template <class Error, class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

}  // namespace quorvalis::testing
