// Number formatting for the messages of fatal errors.
#pragma once

#include <string>

namespace quorvalis {

// Shortest text that reads back to the same double, always with a fractional part or an
// exponent: 1.0, -3.0, 0.5, 1e16, 2.5e-5, inf, -inf, NaN. Exponent form when the
// magnitude is at least 1e16, or below 1e-4 and not zero.
std::string format_debug(double v);

// Shortest round-trip text without exponent and without ".0" on integral values: 1, 0.5, -2.25.
std::string format_plain(double v);

}  // namespace quorvalis
