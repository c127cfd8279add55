// Error-free transformations of floating-point sums and products (Dekker, Knuth,
// Shewchuk): the exact orientation predicate builds its expansions from them, and the
// segment exit computes correctly rounded crossing points with them. They rely on every
// operation being rounded as written, which the build guarantees (no contraction to FMA).
#pragma once

namespace quorvalis::exact {

inline constexpr double kSplitter = 0x1p27 + 1.0;

// x + y = a + b exactly, given |a| >= |b|.
inline void fast_two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double bvirt = x - a;
    y = b - bvirt;
}

// x + y = a + b exactly.
inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double bvirt = x - a;
    const double avirt = x - bvirt;
    const double bround = b - bvirt;
    const double around = a - avirt;
    y = around + bround;
}

// The rounding error y of x = fl(a - b).
inline double two_diff_tail(double a, double b, double x) {
    const double bvirt = a - x;
    const double avirt = x + bvirt;
    const double bround = bvirt - b;
    const double around = a - avirt;
    return around + bround;
}

inline void two_diff(double a, double b, double& x, double& y) {
    x = a - b;
    y = two_diff_tail(a, b, x);
}

// Dekker's split into two halves of at most 26 significant bits each.
inline void split(double a, double& hi, double& lo) {
    const double c = kSplitter * a;
    const double abig = c - a;
    hi = c - abig;
    lo = a - hi;
}

// x + y = a * b exactly, without a fused multiply-add.
inline void two_product(double a, double b, double& x, double& y) {
    x = a * b;
    double ahi, alo, bhi, blo;
    split(a, ahi, alo);
    split(b, bhi, blo);
    const double err1 = x - ahi * bhi;
    const double err2 = err1 - alo * bhi;
    const double err3 = err2 - ahi * blo;
    y = alo * blo - err3;
}

// A double-double value hi + lo with |lo| <= ulp(hi) / 2.
struct DoubleDouble {
    double hi;
    double lo;
};

inline DoubleDouble dd_difference(double a, double b) {
    DoubleDouble r;
    two_diff(a, b, r.hi, r.lo);
    return r;
}

inline DoubleDouble dd_normalise(double hi, double lo) {
    DoubleDouble r;
    fast_two_sum(hi, lo, r.hi, r.lo);
    return r;
}

inline DoubleDouble dd_add(DoubleDouble a, DoubleDouble b) {
    double s, e;
    two_sum(a.hi, b.hi, s, e);
    e += a.lo + b.lo;
    return dd_normalise(s, e);
}

inline DoubleDouble dd_mul(DoubleDouble a, DoubleDouble b) {
    double p, e;
    two_product(a.hi, b.hi, p, e);
    e += a.hi * b.lo + a.lo * b.hi;
    return dd_normalise(p, e);
}

[[gnu::always_inline]] inline DoubleDouble dd_div(DoubleDouble a, DoubleDouble b) {
    const double q1 = a.hi / b.hi;
    const DoubleDouble r = dd_add(a, dd_mul({-q1, 0.0}, b));
    const double q2 = r.hi / b.hi;
    const DoubleDouble r2 = dd_add(r, dd_mul({-q2, 0.0}, b));
    const double q3 = r2.hi / b.hi;
    return dd_add(dd_normalise(q1, q2), {q3, 0.0});
}

}  // namespace quorvalis::exact
