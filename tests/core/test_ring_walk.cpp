#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ring_walk.h"

namespace {

using namespace quorvalis;

// Walks rings over the whole of a grid (its own polygon window) into one matrix.
struct Walk {
    Grid grid;
    Window window;
    Matrix<float> m;

    explicit Walk(const Grid& g) : grid(g), window(window_of(g, g)), m(g.rows, g.cols, 0.0f) {}
    Walk& add(const Ring& ring, bool exterior = true) {
        ring_walk(window, ring, exterior, ring, m);
        return *this;
    }
};

const Grid kUnit4 = grid_from_params(0, 0, 4, 4, 1, 1);

Ring reversed(Ring r) {
    std::reverse(r.begin(), r.end());
    return r;
}

TEST(RingWalk, TooShortRingsDoNothingAClosedTriangleIsWalked) {
    EXPECT_EQ(Walk(kUnit4).add({{0, 0}, {4, 0}, {0, 4}}).m.data, std::vector<float>(16, 0.0f));
    // Row 0 is the top: the triangle covers the lower-left half of the grid.
    const Matrix<float> m = Walk(kUnit4).add({{0, 0}, {4, 0}, {0, 4}, {0, 0}}).m;
    EXPECT_EQ(m(3, 0), 1.0f);
    EXPECT_EQ(m(0, 3), 0.0f);
    EXPECT_EQ(m(1, 1), 0.5f);
}

TEST(RingWalk, SquareOfFourCellsFillsThemOnly) {
    const Ring square{{0, 0}, {2, 0}, {2, 2}, {0, 2}, {0, 0}};
    const Matrix<float> m = Walk(kUnit4).add(square).m;
    EXPECT_EQ(m.data, (std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(Walk(kUnit4).add(reversed(square)).m.data, m.data);
}

TEST(RingWalk, RingsInsideOneCellAddOrSubtractTheirArea) {
    const Ring cell{{1, 1}, {2, 1}, {2, 2}, {1, 2}, {1, 1}};
    const Ring quarter{{1.25, 1.25}, {1.75, 1.25}, {1.75, 1.75}, {1.25, 1.75}, {1.25, 1.25}};
    Walk w(kUnit4);
    w.add(cell);
    EXPECT_EQ(w.m(2, 1), 1.0f);
    w.add(quarter, false);
    EXPECT_EQ(w.m(2, 1), 0.75f);
    w.add(reversed(quarter));
    EXPECT_EQ(w.m(2, 1), 1.0f);
    EXPECT_EQ(std::count(w.m.data.begin(), w.m.data.end(), 0.0f), 15);
}

void expect_same_coverage(const Ring& a, const Ring& b) {
    const Matrix<float> ma = Walk(kUnit4).add(a).m, mb = Walk(kUnit4).add(b).m;
    for (std::size_t k = 0; k < ma.data.size(); ++k) EXPECT_NEAR(mb.data[k], ma.data[k], 1e-6) << k;
}

TEST(RingWalk, WhereTheRingStartsDoesNotMatter) {
    // A diamond over the 4 x 4 grid, started mid-cell, at a vertex and along an edge.
    const Ring a{{2.3, 0.3}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {1.15, 1.15}, {2.3, 0.3}};
    expect_same_coverage(a, {{3.7, 2}, {2, 3.7}, {0.3, 2}, {1.15, 1.15}, {2.3, 0.3}, {3.7, 2}});
    expect_same_coverage(a, {{1.15, 1.15}, {2.3, 0.3}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {1.15, 1.15}});
    const Matrix<float> m = Walk(kUnit4).add(a).m;
    double sum = 0;
    for (const float v : m.data) sum += v;
    EXPECT_NEAR(sum, 5.9075, 1e-6);  // the diamond's area, in unit cells

    // Started mid-cell with that vertex repeated, then on to a corner of the same cell:
    // the repeats are not a ring closing on itself, and the run through the start cell
    // is still joined up at the end.
    expect_same_coverage({{2.5, 0.5}, {2.5, 0.5}, {2.5, 0.5}, {3, 1}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {2.5, 0.5}},
                         {{3, 1}, {3.7, 2}, {2, 3.7}, {0.3, 2}, {2.5, 0.5}, {3, 1}});
}

TEST(RingWalk, RingReachingPastTheGridValuesOnlyItsCells) {
    // Square (-2, -2)-(2, 2): a quarter of it lies on the grid.
    const Matrix<float> m = Walk(kUnit4).add({{-2, -2}, {2, -2}, {2, 2}, {-2, 2}, {-2, -2}}).m;
    EXPECT_EQ(m.data, (std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
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
            Walk walk(grid);
            ASSERT_NO_THROW(walk.add({left, bottom, right, top, left})) << c0 << " " << w;
            double sum = 0;
            for (const float v : walk.m.data) sum += v;
            EXPECT_NEAR(sum, 1.5 * w, 1e-5) << c0 << " " << w;
            EXPECT_EQ(walk.m(static_cast<std::uint64_t>(c0 + 1), static_cast<std::uint64_t>(c0 + w)), 0.0f);
        }
    }
}

}  // namespace
