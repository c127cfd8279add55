#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <utility>
#include <vector>

#include "grid.h"

namespace {

using namespace quorvalis;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Values = std::vector<double>;
Values extent(const BBox& b) { return {b.xmin, b.ymin, b.xmax, b.ymax}; }
// Extent, then rows and columns.
Values shape(const Grid& g) {
    return {g.xmin, g.ymin, g.xmax, g.ymax, static_cast<double>(g.rows), static_cast<double>(g.cols)};
}
const Values kEmpty{kInf, kInf, -kInf, -kInf, 0, 0};

struct Counts {
    double xmin, ymin, xmax, ymax, dx, dy;
    std::uint64_t rows, cols;
};

class GridCounts : public ::testing::TestWithParam<Counts> {};

TEST_P(GridCounts, RowsAndColumnsFromExtent) {
    const Counts& c = GetParam();
    const Grid g = grid_from_params(c.xmin, c.ymin, c.xmax, c.ymax, c.dx, c.dy);
    EXPECT_EQ(g.rows, c.rows);
    EXPECT_EQ(g.cols, c.cols);
    EXPECT_EQ(g.xmax, c.xmax);  // extent kept, not snapped to whole cells
}

INSTANTIATE_TEST_SUITE_P(Extents, GridCounts,
                         ::testing::Values(Counts{0, 0, 10, 5, 1, 1, 5, 10},
                                           Counts{0, 0, 10, 5, 3, 2, 3, 3},    // 2.5 rounds away from zero
                                           Counts{0, 0, 10, 10, 4, 4.1, 2, 3},  // 10/4.1 = 2.44
                                           Counts{0, 5, 10, 5, 1, 1, 0, 10},    // flat extent
                                           Counts{10, 0, 0, 5, 1, 1, 5, 0},     // reversed extent
                                           Counts{0, 0, 10, 5, -1, 1, 5, 0},    // negative cell size
                                           Counts{0, 0, 10, 5, 0, 1, 5, kMax},  // zero cell size saturates
                                           Counts{0, 0, 10, 5, kNaN, 1, 5, 0},
                                           Counts{0, 0, 1e300, 5, 1e-300, 1, 5, kMax}));

TEST(CellAddressing, RowsColumnsAndBoxes) {
    using Pairs = std::initializer_list<std::pair<double, std::uint64_t>>;
    const Grid g = grid_from_params(0, 0, 10, 10, 1, 1);
    // The bottom edge folds into the last row; an inner line belongs to the cell below or right.
    for (auto [y, row] : Pairs{{10, 0}, {0, 9}, {9, 1}, {-0.5, 10}, {11, 0}}) EXPECT_EQ(row_of(g, y), row) << y;
    for (auto [x, col] : Pairs{{10, 9}, {3, 3}, {10.5, 10}, {-1, 0}}) EXPECT_EQ(col_of(g, x), col) << x;
    const Grid h = grid_from_params(0, 0, 10.5, 10, 1, 1);  // the last column ends on the extent
    ASSERT_EQ(h.cols, 11u);
    EXPECT_EQ(cell_box(h, 0, 9).xmax, 10.0);
    EXPECT_EQ(cell_box(h, 0, 10).xmax, 10.5);
    EXPECT_EQ(extent(cell_box(h, 3, 4)), (Values{4, 6, 5, 7}));
    EXPECT_EQ(cell_box(h, 9, 0).ymin, 0.0);
}

TEST(CellAddressing, CentresAgreeBetweenWindowAndFullGrid) {
    const Grid g = grid_from_params(-3.3, 1.7, 20.1, 9.9, 0.1, 0.3);
    const Grid w = crop(g, BBox{4.05, 2.2, 7.77, 6.1});
    ASSERT_GT(w.rows, 0u);
    const std::uint64_t r0 = row_of(g, w.ymax + w.dy * -0.5), c0 = col_of(g, w.xmin + w.dx * 0.5);
    for (std::uint64_t r = 0; r < w.rows; ++r) {
        for (std::uint64_t c = 0; c < w.cols; ++c) {
            const Coordinate a = cell_centre(w, r, c), b = cell_centre(g, r0 + r, c0 + c);
            EXPECT_NEAR(a.x, b.x, 1e-12);
            EXPECT_NEAR(a.y, b.y, 1e-12);
            EXPECT_EQ(row_of(g, a.y), r0 + r);
            EXPECT_EQ(col_of(g, a.x), c0 + c);
        }
    }
}

TEST(RingBox, IgnoresNaNAndStartsEmpty) {
    const std::vector<Coordinate> points{{1, 2}, {kNaN, 7}, {-1, kNaN}, {3, -4}};
    EXPECT_EQ(extent(ring_bbox(points)), (Values{-1, -4, 3, 7}));
    EXPECT_EQ(extent(ring_bbox({})), (Values{kInf, kInf, -kInf, -kInf}));
}

class Cropping : public ::testing::TestWithParam<std::pair<BBox, Values>> {};

TEST_P(Cropping, WindowOfTouchedCells) {
    const Grid w = crop(grid_from_params(0, 0, 10, 10, 1, 1), GetParam().first);
    EXPECT_EQ(shape(w), GetParam().second);
    EXPECT_EQ(w.dx, 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Cropping,
    ::testing::Values(std::pair{BBox{2, 3, 4, 5}, Values{2, 3, 4, 5, 2, 2}},  // an outline on cell lines takes no more
                      std::pair{BBox{2.5, 3.5, 2.5, 3.5}, Values{2, 3, 3, 4, 1, 1}},  // a point inside one cell
                      std::pair{BBox{3, 1, 3, 2}, kEmpty},                          // zero width on a line
                      std::pair{BBox{10, 0, 12, 2}, kEmpty},                        // touches from outside only
                      std::pair{BBox{11, 0, 12, 2}, kEmpty},
                      std::pair{BBox{-5, -5, 50, 50}, Values{0, 0, 10, 10, 10, 10}},
                      std::pair{BBox{9.5, -1, 20, 0.5}, Values{9, 0, 10, 1, 1, 1}},  // overhanging a corner
                      std::pair{BBox{kInf, kInf, -kInf, -kInf}, kEmpty}, std::pair{BBox{kNaN, 0, 5, 5}, kEmpty}));

TEST(Cropping, GridWithoutCellsCropsToNothing) {
    EXPECT_EQ(shape(crop(grid_from_params(0, 0, -1, 10, 1, 1), BBox{0, 0, 5, 5})), kEmpty);
    EXPECT_EQ(shape(crop(grid_from_params(0, 0, 10, 10, -1, 1), BBox{0, 0, 5, 5})), kEmpty);
    EXPECT_EQ(shape(crop(grid_from_params(0, 0, 0, 0, 1, 1), BBox{0, 0, 0, 0})), kEmpty);
}

}  // namespace
