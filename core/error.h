// The two ways the core fails: a mistake in what the caller passed (InputError, shown to
// Python users as ValueError with its exact message) and a broken internal invariant
// (InternalError, raised in Python as the module's PanicException).
#pragma once

#include <stdexcept>
#include <string>

namespace quorvalis {

struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace quorvalis
