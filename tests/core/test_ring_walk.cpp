#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "coverage/ring_walk.h"

namespace {

using namespace quorvalis;

const Grid kUnit4 = grid_from_params(0, 0, 4, 4, 1, 1);

// Walks rings, in order, over the whole of a grid (its own polygon window).
Matrix<float> walk(const Grid& g, std::initializer_list<std::pair<Ring, RingRole>> rings) {
    DenseFractions p = DenseFractions::zeros(grid_rect(g));
    for (const auto& [ring, role] : rings) ring_walk(lines_of(g), ring, role, p);
    return p.fractions;
}

Matrix<float> walk(const Ring& ring) { return walk(kUnit4, {{ring, RingRole::Exterior}}); }

double total(const Matrix<float>& m) { return std::accumulate(m.values().begin(), m.values().end(), 0.0); }

void expect_same(const Ring& a, const Ring& b) {
    const Matrix<float> ma = walk(a), mb = walk(b);
    for (std::size_t k = 0; k < ma.values().size(); ++k) EXPECT_NEAR(mb.values()[k], ma.values()[k], 1e-6) << k;
}

TEST(RingWalk, WholeCellsAndRingsInsideOneCell) {
    const Ring square{{0, 0}, {2, 0}, {2, 2}, {0, 2}, {0, 0}};
    const std::vector<float> lower_left{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0};
    EXPECT_EQ(walk(square).values(), lower_left);
    EXPECT_EQ(walk(Ring(square.rbegin(), square.rend())).values(), lower_left);
    EXPECT_EQ(walk({{-2, -2}, {2, -2}, {2, 2}, {-2, 2}, {-2, -2}}).values(), lower_left);  // reaching past the grid
    EXPECT_EQ(total(walk({{0, 0}, {4, 0}, {0, 4}})), 0.0);                                 // three coordinates: nothing
    // A ring inside one cell adds or subtracts its area.
    const Ring cell{{1, 1}, {2, 1}, {2, 2}, {1, 2}, {1, 1}};
    const Ring quarter{{1.25, 1.25}, {1.75, 1.25}, {1.75, 1.75}, {1.25, 1.75}, {1.25, 1.25}};
    const Matrix<float> m = walk(kUnit4, {{cell, RingRole::Exterior}, {quarter, RingRole::Hole}});
    EXPECT_EQ(m(2, 1), 0.75f);
    EXPECT_EQ(total(m), 0.75);
    EXPECT_EQ(walk(quarter)(2, 1), 0.25f);
}

TEST(RingWalk, WhereTheRingStartsDoesNotMatter) {
    // A diamond started mid-cell, at a vertex and along an edge.
    const Ring a{{2.3, 0.3}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {1.15, 1.15}, {2.3, 0.3}};
    EXPECT_NEAR(total(walk(a)), 5.9075, 1e-6);  // its area
    expect_same(a, {{3.7, 2}, {2, 3.7}, {0.3, 2}, {1.15, 1.15}, {2.3, 0.3}, {3.7, 2}});
    expect_same(a, {{1.15, 1.15}, {2.3, 0.3}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {1.15, 1.15}});
    // Started mid-cell with that vertex repeated, then on to a corner of the same cell: the
    // repeats are no closed ring, and the run through the start cell is joined up at the end.
    expect_same({{2.5, 0.5}, {2.5, 0.5}, {2.5, 0.5}, {3, 1}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {2.5, 0.5}},
                {{3, 1}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {2.5, 0.5}, {3, 1}});
}

// Cell lines of a grid far from its origin: x0 + k * dx, where a window's own sums (its
// left edge plus j * dx) land on other doubles. A kite whose extreme vertices lie on those
// lines, mid-cell, leaves its window's last column and row through their far sides; the
// walk and the measurement must agree on where those sides are.
TEST(RingWalk, KitesTouchingCellLinesFarFromTheOrigin) {
    const double x0 = 1e6, d = 0.1;
    const Grid grid = grid_from_params(x0, x0, x0 + 40 * d, x0 + 40 * d, d, d);
    const auto x = [&](int k) { return x0 + k * d; };
    const auto y = [&](int k) { return grid.ymax - k * d; };
    for (int c0 = 1; c0 < 24; ++c0) {
        for (int w = 2; w < 9; ++w) {
            const Coordinate left{x(c0), y(c0) - 1.5 * d}, right{x(c0 + w), left.y};
            const Coordinate bottom{x(c0) + 0.5 * d, y(c0 + 3)}, top{bottom.x, y(c0)};
            Matrix<float> m;
            ASSERT_NO_THROW(m = walk(grid, {{{left, bottom, right, top, left}, RingRole::Exterior}})) << c0 << " " << w;
            EXPECT_NEAR(total(m), 1.5 * w, 1e-5) << c0 << " " << w;
            EXPECT_EQ(m(static_cast<std::uint64_t>(c0 + 1), static_cast<std::uint64_t>(c0 + w)), 0.0f);
        }
    }
}

}  // namespace
