// Adaptive orientation predicate after Shewchuk (1997): a floating-point filter, then
// expansion arithmetic of growing precision until the sign is certain. Products of
// differences that could underflow or overflow break the published error analysis, so
// such inputs are decided by an exact fixed-point sum instead.
#include "geometry/orient2d.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "geometry/exact_arith.h"

namespace quorvalis {
namespace {

using namespace exact;

// Error bounds of the published predicate, with epsilon = 2^-53.
constexpr double kEpsilon = 0x1p-53;
constexpr double kResultErrBound = (3.0 + 8.0 * kEpsilon) * kEpsilon;
// About 3 eps - eps^1.5, a little below the published (3 + 16 eps) eps: three roundings
// per product cannot all be near their worst at once, so this still bounds the filter.
constexpr double kCcwErrBoundA = 3.3306690621773724e-16;
constexpr double kCcwErrBoundB = (2.0 + 12.0 * kEpsilon) * kEpsilon;
constexpr double kCcwErrBoundC = (9.0 + 64.0 * kEpsilon) * kEpsilon * kEpsilon;

// Where the filter's products are normal and finite, so its error bound holds.
constexpr double kFilterMin = 0x1p-900;
constexpr double kFilterMax = 0x1p900;
// Coordinates within this range keep every product and tail of the adaptive stages clear
// of underflow and overflow, which the expansion arithmetic needs to stay exact.
constexpr double kAdaptiveMin = 0x1p-256;
constexpr double kAdaptiveMax = 0x1p256;

// (a1 + a0) - b as the three-term expansion x2 + x1 + x0.
inline void two_one_diff(double a1, double a0, double b, double& x2, double& x1, double& x0) {
    double i;
    two_diff(a0, b, i, x0);
    two_sum(a1, i, x2, x1);
}

// (a1 + a0) - (b1 + b0) as the four-term expansion x[3] + x[2] + x[1] + x[0].
inline void two_two_diff(double a1, double a0, double b1, double b0, double x[4]) {
    double j, zero;
    two_one_diff(a1, a0, b0, j, zero, x[0]);
    two_one_diff(j, zero, b1, x[3], x[2], x[1]);
}

// h = e + f for nonoverlapping expansions in increasing magnitude, zero components dropped.
// Returns the length of h, at least 1. Never reads past either input.
int fast_expansion_sum_zeroelim(int elen, const double* e, int flen, const double* f, double* h) {
    int ei = 0;
    int fi = 0;
    int hi = 0;
    double q;
    double qnew;
    double hh;
    auto take_smaller = [&]() {
        const double enow = e[ei];
        const double fnow = f[fi];
        if ((fnow > enow) == (fnow > -enow)) {
            ++ei;
            return enow;
        }
        ++fi;
        return fnow;
    };
    q = take_smaller();
    if (ei < elen && fi < flen) {
        const double next = take_smaller();
        fast_two_sum(next, q, qnew, hh);
        q = qnew;
        if (hh != 0.0) h[hi++] = hh;
        while (ei < elen && fi < flen) {
            two_sum(q, take_smaller(), qnew, hh);
            q = qnew;
            if (hh != 0.0) h[hi++] = hh;
        }
    }
    while (ei < elen) {
        two_sum(q, e[ei++], qnew, hh);
        q = qnew;
        if (hh != 0.0) h[hi++] = hh;
    }
    while (fi < flen) {
        two_sum(q, f[fi++], qnew, hh);
        q = qnew;
        if (hh != 0.0) h[hi++] = hh;
    }
    if (q != 0.0 || hi == 0) h[hi++] = q;
    return hi;
}

// One-word approximation of an expansion.
double estimate(int elen, const double* e) {
    double q = e[0];
    for (int i = 1; i < elen; ++i) q += e[i];
    return q;
}

// The adaptive stages of the published predicate; detsum = |detleft| + |detright|.
double orient2d_adapt(const Coordinate& pa, const Coordinate& pb, const Coordinate& pc, double detsum) {
    const double acx = pa.x - pc.x;
    const double bcx = pb.x - pc.x;
    const double acy = pa.y - pc.y;
    const double bcy = pb.y - pc.y;

    double detleft, detlefttail, detright, detrighttail;
    two_product(acx, bcy, detleft, detlefttail);
    two_product(acy, bcx, detright, detrighttail);
    double b[4];
    two_two_diff(detleft, detlefttail, detright, detrighttail, b);

    double det = estimate(4, b);
    double errbound = kCcwErrBoundB * detsum;
    if (det >= errbound || -det >= errbound) return det;

    const double acxtail = two_diff_tail(pa.x, pc.x, acx);
    const double bcxtail = two_diff_tail(pb.x, pc.x, bcx);
    const double acytail = two_diff_tail(pa.y, pc.y, acy);
    const double bcytail = two_diff_tail(pb.y, pc.y, bcy);
    if (acxtail == 0.0 && acytail == 0.0 && bcxtail == 0.0 && bcytail == 0.0) return det;

    errbound = kCcwErrBoundC * detsum + kResultErrBound * std::fabs(det);
    det += (acx * bcytail + bcy * acxtail) - (acy * bcxtail + bcx * acytail);
    if (det >= errbound || -det >= errbound) return det;

    double s1, s0, t1, t0;
    double u[4];
    double c1[8];
    double c2[12];
    double d[16];

    two_product(acxtail, bcy, s1, s0);
    two_product(acytail, bcx, t1, t0);
    two_two_diff(s1, s0, t1, t0, u);
    const int c1len = fast_expansion_sum_zeroelim(4, b, 4, u, c1);

    two_product(acx, bcytail, s1, s0);
    two_product(acy, bcxtail, t1, t0);
    two_two_diff(s1, s0, t1, t0, u);
    const int c2len = fast_expansion_sum_zeroelim(c1len, c1, 4, u, c2);

    two_product(acxtail, bcytail, s1, s0);
    two_product(acytail, bcxtail, t1, t0);
    two_two_diff(s1, s0, t1, t0, u);
    const int dlen = fast_expansion_sum_zeroelim(c2len, c2, 4, u, d);

    return d[dlen - 1];
}

// Two's-complement fixed-point integer in units of 2^-2148, the smallest weight of a
// product of two doubles; wide enough for six products of the largest doubles.
class WideSum {
public:
    // Adds (or subtracts) a * b exactly; both must be finite.
    void add_product(double a, double b, bool subtract) {
        const Parts pa = parts(a);
        const Parts pb = parts(b);
        if (pa.mantissa == 0 || pb.mantissa == 0) return;
        const unsigned __int128 mag = static_cast<unsigned __int128>(pa.mantissa) * pb.mantissa;
        const bool negative = (pa.negative != pb.negative) != subtract;
        const int shift = pa.exponent + pb.exponent + 2 * 1074;
        add_shifted(mag, shift, negative);
    }

    int sign() const {
        if (words_[kWords - 1] >> 63) return -1;
        for (std::uint64_t w : words_)
            if (w != 0) return 1;
        return 0;
    }

private:
    static constexpr int kWords = 68;

    struct Parts {
        std::uint64_t mantissa;
        int exponent;  // value = mantissa * 2^exponent
        bool negative;
    };

    static Parts parts(double v) {
        const auto bits = std::bit_cast<std::uint64_t>(v);
        const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
        const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
        const bool negative = (bits >> 63) != 0;
        if (biased == 0) return {fraction, -1074, negative};
        return {fraction | (std::uint64_t{1} << 52), biased - 1075, negative};
    }

    void add_shifted(unsigned __int128 mag, int shift, bool negative) {
        const int word = shift / 64;
        const int bit = shift % 64;
        // The shifted magnitude spans at most three words.
        std::uint64_t piece[3];
        const auto lo = static_cast<std::uint64_t>(mag);
        const auto hi = static_cast<std::uint64_t>(mag >> 64);
        if (bit == 0) {
            piece[0] = lo;
            piece[1] = hi;
            piece[2] = 0;
        } else {
            piece[0] = lo << bit;
            piece[1] = (hi << bit) | (lo >> (64 - bit));
            piece[2] = hi >> (64 - bit);
        }
        // Ripple the carry (or borrow) up to the top word; sign extension is implicit.
        unsigned __int128 carry = 0;
        for (int i = word; i < kWords; ++i) {
            const int k = i - word;
            if (k >= 3 && carry == 0) break;
            const unsigned __int128 operand = (k < 3 ? piece[k] : 0) + carry;
            const std::uint64_t w = words_[i];
            if (negative) {
                words_[i] = w - static_cast<std::uint64_t>(operand);
                carry = operand > w ? 1 : 0;
            } else {
                const unsigned __int128 r = static_cast<unsigned __int128>(w) + operand;
                words_[i] = static_cast<std::uint64_t>(r);
                carry = r >> 64;
            }
        }
    }

    std::uint64_t words_[kWords] = {};
};

// Exact sign for any finite coordinates, from the expanded determinant
// ax*by - ax*cy - cx*by - ay*bx + ay*cx + cy*bx (the cx*cy terms cancel).
int exact_sign(const Coordinate& pa, const Coordinate& pb, const Coordinate& pc) {
    WideSum sum;
    sum.add_product(pa.x, pb.y, false);
    sum.add_product(pa.x, pc.y, true);
    sum.add_product(pc.x, pb.y, true);
    sum.add_product(pa.y, pb.x, true);
    sum.add_product(pa.y, pc.x, false);
    sum.add_product(pc.y, pb.x, false);
    return sum.sign();
}

bool adaptive_safe(double v) {
    const double m = std::fabs(v);
    return m == 0.0 || (m >= kAdaptiveMin && m <= kAdaptiveMax);
}

bool finite(const Coordinate& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

[[gnu::noinline]] double orient2d_slow(const Coordinate& pa, const Coordinate& pb, const Coordinate& pc, double detleft,
                                       double detright) {
    const double det = detleft - detright;
    if (adaptive_safe(pa.x) && adaptive_safe(pa.y) && adaptive_safe(pb.x) && adaptive_safe(pb.y) &&
        adaptive_safe(pc.x) && adaptive_safe(pc.y))
        return orient2d_adapt(pa, pb, pc, std::fabs(detleft) + std::fabs(detright));
    // Nothing exact can be said about NaN or infinite coordinates.
    if (!finite(pa) || !finite(pb) || !finite(pc)) return det;
    const int s = exact_sign(pa, pb, pc);
    if (s == 0) return 0.0;
    // Keep the floating-point value when it has the right sign, as it carries the magnitude.
    if ((s > 0 && det > 0.0) || (s < 0 && det < 0.0)) return det;
    return s > 0 ? std::numeric_limits<double>::denorm_min() : -std::numeric_limits<double>::denorm_min();
}

}  // namespace

double orient2d(const Coordinate& pa, const Coordinate& pb, const Coordinate& pc) {
    const double detleft = (pa.x - pc.x) * (pb.y - pc.y);
    const double detright = (pa.y - pc.y) * (pb.x - pc.x);
    const double det = detleft - detright;
    const double errbound = kCcwErrBoundA * std::fabs(detleft + detright);
    const double al = std::fabs(detleft);
    const double ar = std::fabs(detright);
    const double larger = al > ar ? al : ar;  // not fmax: that is a library call
    // |det| rather than det and -det: one well-predicted branch whatever the turn's sign.
    if (std::fabs(det) >= errbound && larger >= kFilterMin && larger <= kFilterMax) return det;
    return orient2d_slow(pa, pb, pc, detleft, detright);
}

}  // namespace quorvalis
