#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "geometry/orient2d.h"

namespace quorvalis {
namespace {

int sign_of(double v) { return (v > 0.0) - (v < 0.0); }

// Exact sign from integers: each coordinate times 2^scale must be an integer below 2^62.
int reference_sign(const Coordinate& a, const Coordinate& b, const Coordinate& c, int scale) {
    auto n = [scale](double v) -> __int128 {
        const double s = std::ldexp(v, scale);
        EXPECT_TRUE(s == std::trunc(s) && std::fabs(s) < 0x1p62) << v;
        return static_cast<std::int64_t>(s);
    };
    const __int128 det = (n(a.x) - n(c.x)) * (n(b.y) - n(c.y)) - (n(a.y) - n(c.y)) * (n(b.x) - n(c.x));
    return (det > 0) - (det < 0);
}

// Points within a few ulps of (0.5, 0.5) against the line through (12, 12) and (24, 24),
// where the plain determinant often has the wrong sign. Both axes may be scaled by powers
// of two, which keeps every sign, down to where products underflow and up to where they
// overflow.
class Orient2dGrid : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Orient2dGrid, SignsAreExact) {
    const auto [ex, ey] = GetParam();
    auto sc = [&](Coordinate p) { return Coordinate{std::ldexp(p.x, ex), std::ldexp(p.y, ey)}; };
    const Coordinate q{12.0, 12.0}, r{24.0, 24.0};
    int naive_wrong = 0;
    for (int i = 0; i < 64; ++i) {
        for (int j = 0; j < 64; ++j) {
            const Coordinate p{0.5 + i * 0x1p-53, 0.5 + j * 0x1p-53};
            const int expected = reference_sign(p, q, r, 53);
            ASSERT_EQ(sign_of(orient2d(sc(p), sc(q), sc(r))), expected) << i << ", " << j;
            naive_wrong += sign_of((p.x - r.x) * (q.y - r.y) - (p.y - r.y) * (q.x - r.x)) != expected;
        }
    }
    EXPECT_GT(naive_wrong, 100);  // the grid needs the exact stages
    EXPECT_EQ(orient2d(sc(q), sc({18.0, 18.0}), sc(r)), 0.0);
    EXPECT_EQ(orient2d(sc({0.0, 0.0}), sc(q), sc(r)), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Magnitudes, Orient2dGrid,
                         ::testing::Values(std::pair{0, 0}, std::pair{-1000, -1000}, std::pair{-1020, 0},
                                           std::pair{990, 990}, std::pair{-600, 600}, std::pair{300, -300}));

// Triples on a line, some nudged a few ulps off it, some with points of very different
// magnitude whose inexact differences only the last exact stage resolves:
// sign(a,b,c) = sign(b,c,a) = sign(c,a,b) = -sign(c,b,a) = -sign(b,a,c) = -sign(a,c,b).
TEST(Orient2d, PermutationsOfNearlyCollinearPointsAgree) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(2.0, 4.0);
    std::uniform_int_distribution<int> step(-(1 << 20), 1 << 20), nudge(-3, 3);
    auto coarse = [&](int bits) { return std::ldexp(std::round(std::ldexp(unit(rng), bits)), -bits); };
    for (int trial = 0; trial < 30000; ++trial) {
        Coordinate a{coarse(40), coarse(40)}, b, c;
        int s;
        if (trial % 4 == 3) {  // on y = m x, with 50-bit coordinates so that m x is exact
            const double m = 1 + trial % 7, ax = coarse(48), bx = 2 * coarse(48);
            const double cx = std::ldexp(coarse(48), -12 - trial % 20);
            a = {ax, m * ax};
            b = {bx, m * bx};
            c = {cx, m * cx};
            s = trial % 8 == 3 ? 1 : 0;  // nudged above the line, left of a -> b
            if (s) c.y = std::nextafter(c.y, 1.0);
        } else {
            const double dx = std::ldexp(step(rng), -40), dy = std::ldexp(step(rng), -40);
            const int j = step(rng), k = step(rng);
            b = {a.x + j * dx, a.y + j * dy};
            c = {a.x + k * dx, a.y + k * dy};
            if (trial % 4 != 0)
                for (int n = nudge(rng) | 1; n != 0; n += n > 0 ? -1 : 1) c.y = std::nextafter(c.y, n > 0 ? 8.0 : 0.0);
            s = reference_sign(a, b, c, 59);
        }
        ASSERT_EQ(sign_of(orient2d(a, b, c)), s) << trial;
        ASSERT_EQ(sign_of(orient2d(b, c, a)), s);
        ASSERT_EQ(sign_of(orient2d(c, a, b)), s);
        ASSERT_EQ(sign_of(orient2d(c, b, a)), -s);
        ASSERT_EQ(sign_of(orient2d(b, a, c)), -s);
        ASSERT_EQ(sign_of(orient2d(a, c, b)), -s);
    }
    EXPECT_GT(orient2d({0, 0}, {1e300, 0}, {-1e300, 1e-300}), 0.0);
    EXPECT_GT(orient2d({5e-324, 0}, {0, 5e-324}, {0, 0}), 0.0);
}

}  // namespace
}  // namespace quorvalis
