// The two ways the core fails: a mistake in what the caller passed (InputError, shown to
// Python users as ValueError with its exact message) and a broken internal invariant
// (InternalError, raised in Python as the module's PanicException).
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace quorvalis {

// what() stops at the first NUL, and a message may quote a caller's text that holds one;
// message() keeps every byte.
class Error : public std::runtime_error {
public:
    explicit Error(std::string message) : std::runtime_error(message), message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

struct InputError : Error {
    using Error::Error;
};

struct InternalError : Error {
    using Error::Error;
};

}  // namespace quorvalis
