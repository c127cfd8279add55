#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "coverage/coverage_method.h"
#include "coverage/grid.h"
#include "coverage/lattice_scan.h"
#include "hostile_shapes.h"
#include "wkb_builder.h"

namespace {

using namespace quorvalis;
using quorvalis::testing::square;

struct CenterCase {
    const char* name;
    Grid grid;
    Ring exterior;
    std::vector<Ring> holes;
    std::vector<double> window;  // extent of the polygon's window, then rows and columns
    std::vector<float> expected;
};

constexpr double kInf = std::numeric_limits<double>::infinity();

class CenterExamples : public ::testing::TestWithParam<CenterCase> {};

TEST_P(CenterExamples, MatrixAndWindow) {
    const CenterCase& t = GetParam();
    const DenseFractions out = center_method(t.grid, t.exterior, t.holes);
    const CellRect w = out.rect(lines_of(t.grid));
    const BBox e = w.empty() ? BBox{kInf, kInf, -kInf, -kInf} : w.extent();
    EXPECT_EQ((std::vector<double>{e.xmin, e.ymin, e.xmax, e.ymax, double(w.rows), double(w.cols)}), t.window);
    EXPECT_EQ(out.fractions.values(), t.expected);
}

const Grid kFour = grid_from_params(0, 0, 4, 4, 1, 1);

INSTANTIATE_TEST_SUITE_P(
    Worked, CenterExamples,
    ::testing::Values(
        CenterCase{"square", kFour, square(0, 0, 2), {}, {0, 0, 2, 2, 2, 2}, {1, 1, 1, 1}},
        CenterCase{"coarse", grid_from_params(0, 0, 4, 4, 2, 2), square(0, 0, 2), {}, {0, 0, 2, 2, 1, 1}, {1}},
        CenterCase{"open_ring", kFour, {{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {}, {0, 0, 2, 2, 2, 2}, {1, 1, 1, 1}},
        // every center on a corner of the square: boundary, not inside
        CenterCase{"centers_on_corners",
                   grid_from_params(-0.5, -0.5, 1.5, 1.5, 1, 1),
                   square(0, 0, 1),
                   {},
                   {-0.5, -0.5, 1.5, 1.5, 2, 2},
                   {0, 0, 0, 0}},
        // every center on the hole's outline: removed
        CenterCase{"centers_on_hole",
                   grid_from_params(0, 0, 2, 2, 1, 1),
                   square(0, 0, 2),
                   {square(0.5, 0.5, 1)},
                   {0, 0, 2, 2, 2, 2},
                   {0, 0, 0, 0}},
        // the hole takes one center, an open hole ring is closed first
        CenterCase{"hole_one_cell",
                   kFour,
                   square(0, 0, 3),
                   {Ring{{1.2, 1.2}, {1.8, 1.2}, {1.8, 1.8}, {1.2, 1.8}}},
                   {0, 0, 3, 3, 3, 3},
                   {1, 1, 1, 1, 0, 1, 1, 1, 1}},
        // a triangle, row 0 at the top; the centers on its hypotenuse are boundary
        CenterCase{"triangle",
                   kFour,
                   Ring{{0, 0}, {4, 0}, {0, 4}, {0, 0}},
                   {},
                   {0, 0, 4, 4, 4, 4},
                   {0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 1, 0}},
        CenterCase{"outside", kFour, square(5, 5, 1), {}, {kInf, kInf, -kInf, -kInf, 0, 0}, {}},
        CenterCase{"no_points", kFour, Ring{}, {}, {kInf, kInf, -kInf, -kInf, 0, 0}, {}}),
    [](const auto& p) { return std::string(p.param.name); });

// The full-grid cells a polygon claims under the center method, as (row, col) pairs.
std::vector<std::pair<std::uint64_t, std::uint64_t>> claimed(const Grid& grid, const Ring& exterior,
                                                             const std::vector<Ring>& holes = {}) {
    const DenseFractions r = center_method(grid, exterior, holes);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (std::uint64_t i = 0; i < r.fractions.rows(); ++i) {
        for (std::uint64_t j = 0; j < r.fractions.cols(); ++j) {
            if (r.fractions(i, j) == 1.0f) out.emplace_back(r.row_offset + i, r.col_offset + j);
        }
    }
    return out;
}

// A point of a lattice of quarter cells: vertices land on centers, corners and cell lines,
// and edges run along center rows, so ties are the rule rather than the exception.
Coordinate lattice_point(const Grid& g, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> q(0, 4 * 6);
    return {g.xmin + q(rng) * g.dx / 4, g.ymin + q(rng) * g.dy / 4};
}

Ring closed(Ring r) {
    r.push_back(r.front());
    return r;
}

// Rings of any shape (self-crossing, repeated points, holes outside the shell), each cell
// decided by the point-in-ring test at the full grid's own center.
TEST(CenterMethod, AgreesWithThePointInRingTestAtEveryCenter) {
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> count(1, 9);
    for (const Grid& g : {grid_from_params(0.1, 0.3, 1.0, 1.0, 0.1, 0.1), grid_from_params(0, 0, 6, 6, 1, 1)}) {
        for (int trial = 0; trial < 300; ++trial) {
            Ring shell;
            for (int k = count(rng) + 2; k > 0; --k) shell.push_back(lattice_point(g, rng));
            std::vector<Ring> holes(static_cast<std::size_t>(count(rng) % 3));
            for (Ring& h : holes) {
                for (int k = 3; k > 0; --k) h.push_back(lattice_point(g, rng));
                h = closed(h);
            }
            shell = closed(shell);
            const DenseFractions r = center_method(g, shell, holes);
            for (std::uint64_t i = 0; i < r.fractions.rows(); ++i) {
                for (std::uint64_t j = 0; j < r.fractions.cols(); ++j) {
                    const Coordinate c = lines_of(g).center(r.row_offset + i, r.col_offset + j);
                    bool in = location(c.x, c.y, shell) == Location::Inside;
                    for (const Ring& h : holes) in = in && location(c.x, c.y, h) == Location::Outside;
                    ASSERT_EQ(r.fractions(i, j), in ? 1.0f : 0.0f) << trial << " cell " << i << ", " << j;
                }
            }
        }
    }
}

TEST(CenterMethod, OneCenterPerCellWhicheverPolygonTestsIt) {
    const Grid g = grid_from_params(0.1, 0.3, 1.0, 1.0, 0.1, 0.1);
    // A strip below the triangle that holds no center changes nothing.
    const Ring triangle{{0.2, 0.5}, {0.5, 0.8}, {0.5, 0.5}, {0.2, 0.5}};
    const Ring with_strip{{0.2, 0.46}, {0.5, 0.46}, {0.5, 0.8}, {0.2, 0.5}, {0.2, 0.46}};
    EXPECT_EQ(claimed(g, triangle), claimed(g, with_strip));

    // Two polygons either side of a shared zigzag never claim the same cell.
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        Ring cut;
        for (double x = g.xmin; x < g.xmax; x += 0.15) cut.push_back({x, lattice_point(g, rng).y});
        cut.push_back({g.xmax, cut.back().y});
        Ring above(cut.begin(), cut.end()), below(cut.rbegin(), cut.rend());
        above.insert(above.end(), {{g.xmax, g.ymax}, {g.xmin, g.ymax}, cut.front()});
        below.insert(below.end(), {{g.xmin, g.ymin}, {g.xmax, g.ymin}, cut.back()});
        auto a = claimed(g, above), b = claimed(g, below);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> both;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
        ASSERT_TRUE(both.empty()) << trial << ": " << both.size() << " cells claimed twice";
    }
}

// Cost is vertices plus cells, not their product: a 10,000-vertex circle on a 1000 x 1000
// grid took over ten seconds when every center was tested against every edge.
TEST(CenterMethod, CircleCostsVerticesPlusCells) {
    SKIP_TIMING_IN_SANITIZER_BUILD();
    const auto t0 = std::chrono::steady_clock::now();
    const DenseFractions r =
        center_method(grid_from_params(0, 0, 1000, 1000, 1, 1), quorvalis::testing::circle(10000, 500, 500, 499), {});
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
    EXPECT_EQ(r.fractions.rows(), 998u);
}

}  // namespace
