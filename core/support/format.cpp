#include "support/format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace quorvalis {

namespace {

// The shortest round-trip digits of a finite, non-zero magnitude and its decimal
// exponent: v = d.ddd x 10^exp, with digits = "dddd" (no point, no trailing zeros).
struct Decimal {
    std::string digits;
    int exp;
};

Decimal shortest_decimal(double magnitude) {
    char buf[64];
    // to_chars in scientific form yields the shortest digits that read back exactly.
    const auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e_pos = text.find('e');
    Decimal d{{}, std::atoi(std::string(text.substr(e_pos + 1)).c_str())};
    for (const char ch : text.substr(0, e_pos)) {
        if (ch != '.') d.digits.push_back(ch);
    }
    return d;
}

// Positional notation; integral values get ".0" only when asked to.
std::string positional(const Decimal& d, bool point_zero) {
    const auto n = static_cast<int>(d.digits.size());
    std::string out;
    if (d.exp < 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-d.exp - 1), '0');
        out += d.digits;
    } else if (n <= d.exp + 1) {
        out = d.digits;
        out.append(static_cast<std::size_t>(d.exp + 1 - n), '0');
        if (point_zero) out += ".0";
    } else {
        out = d.digits.substr(0, static_cast<std::size_t>(d.exp + 1));
        out += '.';
        out += d.digits.substr(static_cast<std::size_t>(d.exp + 1));
    }
    return out;
}

std::string exponential(const Decimal& d) {
    std::string out(1, d.digits[0]);
    if (d.digits.size() > 1) {
        out += '.';
        out += d.digits.substr(1);
    }
    out += 'e';
    out += std::to_string(d.exp);
    return out;
}

// Text of the non-finite values and of zero, shared by both forms; empty for others.
std::string special(double v, bool point_zero) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    if (v == 0.0) {
        std::string out = std::signbit(v) ? "-0" : "0";
        if (point_zero) out += ".0";
        return out;
    }
    return {};
}

}  // namespace

std::string format_debug(double v) {
    if (std::string s = special(v, true); !s.empty()) return s;
    const double magnitude = std::fabs(v);
    const Decimal d = shortest_decimal(magnitude);
    const bool use_exponent = magnitude >= 1e16 || magnitude < 1e-4;
    return (std::signbit(v) ? "-" : "") + (use_exponent ? exponential(d) : positional(d, true));
}

std::string format_plain(double v) {
    if (std::string s = special(v, false); !s.empty()) return s;
    const Decimal d = shortest_decimal(std::fabs(v));
    return (std::signbit(v) ? "-" : "") + positional(d, false);
}

}  // namespace quorvalis
