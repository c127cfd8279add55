#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <utility>
#include <vector>

#include "coverage/grid.h"

namespace {

using namespace quorvalis;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Values = std::vector<double>;
Values extent(const BBox& b) { return {b.xmin, b.ymin, b.xmax, b.ymax}; }

struct ExtentCase {
    double xmin, ymin, xmax, ymax, dx, dy;
    std::uint64_t rows, cols;
};

class GridCounts : public ::testing::TestWithParam<ExtentCase> {};

TEST_P(GridCounts, RowsAndColumnsFromExtent) {
    const ExtentCase& c = GetParam();
    const Grid g = grid_from_params(c.xmin, c.ymin, c.xmax, c.ymax, c.dx, c.dy);
    EXPECT_EQ(g.rows, c.rows);
    EXPECT_EQ(g.cols, c.cols);
    EXPECT_EQ(g.xmax, c.xmax);  // extent kept, not snapped to whole cells
}

INSTANTIATE_TEST_SUITE_P(Extents, GridCounts,
                         ::testing::Values(ExtentCase{0, 0, 10, 5, 1, 1, 5, 10},
                                           ExtentCase{0, 0, 10, 5, 3, 2, 3, 3},     // 2.5 rounds away from zero
                                           ExtentCase{0, 0, 10, 10, 4, 4.1, 2, 3},  // 10/4.1 = 2.44
                                           ExtentCase{0, 5, 10, 5, 1, 1, 0, 10},    // flat extent
                                           ExtentCase{10, 0, 0, 5, 1, 1, 5, 0},     // reversed extent
                                           ExtentCase{0, 0, 10, 5, -1, 1, 5, 0},    // negative cell size
                                           ExtentCase{0, 0, 10, 5, 0, 1, 5, kMax},  // zero cell size saturates
                                           ExtentCase{0, 0, 10, 5, kNaN, 1, 5, 0},
                                           ExtentCase{0, 0, 1e300, 5, 1e-300, 1, 5, kMax}));

TEST(CellAddressing, RowsColumnsAndBoxes) {
    using Pairs = std::initializer_list<std::pair<double, std::uint64_t>>;
    const Grid g = grid_from_params(0, 0, 10, 10, 1, 1);
    // The bottom edge folds into the last row; an inner line belongs to the cell below or right.
    for (auto [y, row] : Pairs{{10, 0}, {0, 9}, {9, 1}, {-0.5, 10}, {11, 0}}) EXPECT_EQ(row_of(g, y), row) << y;
    for (auto [x, col] : Pairs{{10, 9}, {3, 3}, {10.5, 10}, {-1, 0}}) EXPECT_EQ(col_of(g, x), col) << x;
    EXPECT_EQ(grid_from_params(0, 0, 10.5, 10, 1, 1).cols, 11u);  // a part cell is a cell
}

TEST(FirstPast, TheTestDecidesWhateverTheGuess) {
    // Lines 0, 1, ..., 9; v on a line, between lines, before and past them all.
    const auto line = [](std::uint64_t k) { return static_cast<double>(k); };
    for (double v : {-1.0, 0.0, 3.0, 3.5, 9.0, 12.0}) {
        const std::uint64_t want = v <= 0 ? 0 : v > 9 ? 10 : static_cast<std::uint64_t>(std::ceil(v));
        for (std::uint64_t guess : {std::uint64_t{0}, std::uint64_t{4}, std::uint64_t{10}, kMax}) {
            EXPECT_EQ(first_past(guess, 0, 10, [&](std::uint64_t k) { return line(k) >= v; }), want)
                << v << " " << guess;
        }
    }
    EXPECT_EQ(first_past(0, 3, 3, [](std::uint64_t) { return true; }), 3u);  // an empty range gives hi
}

TEST(RingBox, IgnoresNaNAndStartsEmpty) {
    const std::vector<Coordinate> points{{1, 2}, {kNaN, 7}, {-1, kNaN}, {3, -4}};
    EXPECT_EQ(extent(ring_bbox(points)), (Values{-1, -4, 3, 7}));
    EXPECT_EQ(extent(ring_bbox({})), (Values{kInf, kInf, -kInf, -kInf}));
}

}  // namespace
