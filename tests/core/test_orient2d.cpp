#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "orient2d.h"

namespace quorvalis {
namespace {

int sign_of(double v) { return (v > 0.0) - (v < 0.0); }

// Exact sign from integers: every coordinate times 2^scale must be an integer below 2^62.
int reference_sign(const Coordinate& a, const Coordinate& b, const Coordinate& c, int scale) {
    auto to_int = [scale](double v) -> __int128 {
        const double s = std::ldexp(v, scale);
        EXPECT_EQ(s, std::trunc(s)) << "not a multiple of 2^-" << scale << ": " << v;
        EXPECT_LT(std::fabs(s), 0x1p62);
        return static_cast<std::int64_t>(s);
    };
    const __int128 det = (to_int(a.x) - to_int(c.x)) * (to_int(b.y) - to_int(c.y)) -
                         (to_int(a.y) - to_int(c.y)) * (to_int(b.x) - to_int(c.x));
    return (det > 0) - (det < 0);
}

// The classic near-degenerate grid: points within a few ulps of (0.5, 0.5) against the
// line through (12, 12) and (24, 24), where the plain determinant often gets the sign wrong.
std::vector<Coordinate> near_half_grid() {
    std::vector<Coordinate> points;
    for (int i = 0; i < 64; ++i)
        for (int j = 0; j < 64; ++j) points.push_back({0.5 + i * 0x1p-53, 0.5 + j * 0x1p-53});
    return points;
}

TEST(Orient2d, NearlyCollinearGridHasExactSigns) {
    const Coordinate q{12.0, 12.0}, r{24.0, 24.0};
    int naive_wrong = 0;
    for (const Coordinate& p : near_half_grid()) {
        const int expected = reference_sign(p, q, r, 53);
        ASSERT_EQ(sign_of(orient2d(p, q, r)), expected) << p.x << ", " << p.y;
        const double naive = (p.x - r.x) * (q.y - r.y) - (p.y - r.y) * (q.x - r.x);
        naive_wrong += sign_of(naive) != expected;
    }
    EXPECT_GT(naive_wrong, 100);  // the grid really exercises the exact stages
}

// Sign is invariant under positive scaling of each axis, so the grid keeps its signs when
// pushed to magnitudes where its products underflow to zero or overflow to infinity.
class Orient2dScaled : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Orient2dScaled, KeepsExactSign) {
    const auto [ex, ey] = GetParam();
    auto scaled = [&](Coordinate p) { return Coordinate{std::ldexp(p.x, ex), std::ldexp(p.y, ey)}; };
    const Coordinate q{12.0, 12.0}, r{24.0, 24.0}, mid{18.0, 18.0};
    for (const Coordinate& p : near_half_grid()) {
        ASSERT_EQ(sign_of(orient2d(scaled(p), scaled(q), scaled(r))), reference_sign(p, q, r, 53))
            << p.x << ", " << p.y;
    }
    EXPECT_EQ(orient2d(scaled(q), scaled(mid), scaled(r)), 0.0);
    EXPECT_EQ(orient2d(scaled({0.0, 0.0}), scaled(q), scaled(r)), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Magnitudes, Orient2dScaled,
                         ::testing::Values(std::pair{0, 0}, std::pair{-1000, -1000}, std::pair{-1020, 0},
                                           std::pair{990, 990}, std::pair{-600, 600}, std::pair{300, -300}));

// Random triples on one line (every third one exactly, the others a few ulps off): the sign
// must be exact and obey sign(a,b,c) = sign(b,c,a) = sign(c,a,b) = -sign(c,b,a) = ...
TEST(Orient2d, PermutationsOfNearlyCollinearPointsAgree) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(2.0, 4.0);
    std::uniform_int_distribution<int> step(-(1 << 20), 1 << 20);
    std::uniform_int_distribution<int> nudge(-3, 3);
    auto coarse = [&] { return std::ldexp(std::round(std::ldexp(unit(rng), 40)), -40); };
    int zeros = 0;
    for (int trial = 0; trial < 30000; ++trial) {
        const Coordinate a{coarse(), coarse()};
        const double dx = std::ldexp(step(rng), -40), dy = std::ldexp(step(rng), -40);
        const int j = step(rng), k = step(rng);
        const Coordinate b{a.x + j * dx, a.y + j * dy};
        Coordinate c{a.x + k * dx, a.y + k * dy};
        if (trial % 3 != 0) {
            const int n = nudge(rng);
            for (int left = n == 0 ? 1 : n; left != 0; left += left > 0 ? -1 : 1)
                c.y = std::nextafter(c.y, left > 0 ? 8.0 : 0.0);
        }
        const int s = reference_sign(a, b, c, 59);
        zeros += s == 0;
        ASSERT_EQ(sign_of(orient2d(a, b, c)), s);
        ASSERT_EQ(sign_of(orient2d(b, c, a)), s);
        ASSERT_EQ(sign_of(orient2d(c, a, b)), s);
        ASSERT_EQ(sign_of(orient2d(c, b, a)), -s);
        ASSERT_EQ(sign_of(orient2d(b, a, c)), -s);
        ASSERT_EQ(sign_of(orient2d(a, c, b)), -s);
    }
    EXPECT_GT(zeros, 9000);
}

TEST(Orient2d, ExactlyCollinearIsZeroAndTurnsHaveTheRightSign) {
    // Points of very different magnitude on y = m x: the coordinate differences are
    // inexact, so only the last exact stage can see that they are collinear.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    auto coarse = [&](double v) { return std::ldexp(std::round(std::ldexp(v, 49)), -49); };  // 50 bits
    for (int trial = 0; trial < 20000; ++trial) {
        const double m = 1 + trial % 7;
        const double ax = coarse(unit(rng)), bx = 2 * coarse(unit(rng));
        const double cx = std::ldexp(coarse(unit(rng)), -12 - trial % 20);
        const Coordinate a{ax, m * ax}, b{bx, m * bx}, c{cx, m * cx};
        ASSERT_EQ(orient2d(a, b, c), 0.0) << trial;
        ASSERT_EQ(orient2d(c, a, b), 0.0) << trial;
        ASSERT_EQ(orient2d(b, a, c), 0.0) << trial;
        const Coordinate above{c.x, std::nextafter(c.y, 1.0)}, below{c.x, std::nextafter(c.y, 0.0)};
        ASSERT_GT(orient2d(a, b, above), 0.0) << trial;
        ASSERT_LT(orient2d(a, b, below), 0.0) << trial;
    }
    EXPECT_GT(orient2d({0, 0}, {1, 0}, {0, 1}), 0.0);  // counter-clockwise
    EXPECT_LT(orient2d({0, 0}, {0, 1}, {1, 0}), 0.0);
    EXPECT_GT(orient2d({0, 0}, {1e300, 0}, {-1e300, 1e-300}), 0.0);
    EXPECT_GT(orient2d({5e-324, 0}, {0, 5e-324}, {0, 0}), 0.0);
    EXPECT_LT(orient2d({0, 5e-324}, {5e-324, 0}, {0, 0}), 0.0);
}

}  // namespace
}  // namespace quorvalis
