#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "grid.h"

namespace {

using namespace quorvalis;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void expect_empty(const Grid& g) {
    EXPECT_EQ(g.rows, 0u);
    EXPECT_EQ(g.cols, 0u);
    EXPECT_EQ(g.xmin, kInf);
    EXPECT_EQ(g.ymin, kInf);
    EXPECT_EQ(g.xmax, -kInf);
    EXPECT_EQ(g.ymax, -kInf);
}

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

TEST(CellAddressing, RowAndColumnOfCoordinates) {
    const Grid g = grid_from_params(0, 0, 10, 10, 1, 1);
    EXPECT_EQ(row_of(g, 10), 0u);
    EXPECT_EQ(row_of(g, 0), 9u);  // bottom edge folds into the last row
    EXPECT_EQ(row_of(g, 9), 1u);  // inner line belongs to the cell below
    EXPECT_EQ(row_of(g, -0.5), 10u);
    EXPECT_EQ(row_of(g, 11), 0u);
    EXPECT_EQ(col_of(g, 10), 9u);
    EXPECT_EQ(col_of(g, 3), 3u);
    EXPECT_EQ(col_of(g, 10.5), 10u);
    EXPECT_EQ(col_of(g, -1), 0u);
}

TEST(CellAddressing, LastCellEndsOnExtent) {
    const Grid g = grid_from_params(0, 0, 10.5, 10, 1, 1);
    ASSERT_EQ(g.cols, 11u);
    EXPECT_EQ(cell_box(g, 0, 9).xmax, 10.0);
    EXPECT_EQ(cell_box(g, 0, 10).xmax, 10.5);
    const BBox b = cell_box(g, 3, 4);
    EXPECT_EQ(b.xmin, 4.0);
    EXPECT_EQ(b.xmax, 5.0);
    EXPECT_EQ(b.ymax, 7.0);
    EXPECT_EQ(b.ymin, 6.0);
    EXPECT_EQ(cell_box(g, 9, 0).ymin, 0.0);
}

TEST(CellAddressing, CentresAgreeBetweenWindowAndFullGrid) {
    const Grid g = grid_from_params(-3.3, 1.7, 20.1, 9.9, 0.1, 0.3);
    const Grid w = crop(g, BBox{4.05, 2.2, 7.77, 6.1});
    ASSERT_GT(w.rows, 0u);
    const std::uint64_t r0 = row_of(g, w.ymax + w.dy * -0.5);
    const std::uint64_t c0 = col_of(g, w.xmin + w.dx * 0.5);
    for (std::uint64_t r = 0; r < w.rows; ++r) {
        for (std::uint64_t c = 0; c < w.cols; ++c) {
            const Coordinate a = cell_centre(w, r, c);
            const Coordinate b = cell_centre(g, r0 + r, c0 + c);
            EXPECT_NEAR(a.x, b.x, 1e-12);
            EXPECT_NEAR(a.y, b.y, 1e-12);
            EXPECT_EQ(row_of(g, a.y), r0 + r);
            EXPECT_EQ(col_of(g, a.x), c0 + c);
        }
    }
}

TEST(RingBox, IgnoresNaNAndStartsEmpty) {
    const std::vector<Coordinate> pts{{1, 2}, {std::nan(""), 7}, {-1, std::nan("")}, {3, -4}};
    const BBox b = ring_bbox(pts);
    EXPECT_EQ(b.xmin, -1.0);
    EXPECT_EQ(b.ymin, -4.0);
    EXPECT_EQ(b.xmax, 3.0);
    EXPECT_EQ(b.ymax, 7.0);
    const BBox e = ring_bbox({});
    EXPECT_EQ(e.xmin, kInf);
    EXPECT_EQ(e.ymax, -kInf);
}

struct CropCase {
    BBox box;
    std::uint64_t row0, col0, rows, cols;  // rows == 0: the empty grid
};

class Cropping : public ::testing::TestWithParam<CropCase> {};

TEST_P(Cropping, WindowOfTouchedCells) {
    const Grid g = grid_from_params(0, 0, 10, 10, 1, 1);
    const CropCase& t = GetParam();
    const Grid w = crop(g, t.box);
    if (t.rows == 0) {
        expect_empty(w);
        EXPECT_EQ(w.dx, 1.0);
        return;
    }
    EXPECT_EQ(w.rows, t.rows);
    EXPECT_EQ(w.cols, t.cols);
    EXPECT_EQ(w.xmin, static_cast<double>(t.col0));
    EXPECT_EQ(w.ymax, 10.0 - static_cast<double>(t.row0));
    EXPECT_EQ(w.xmax, w.xmin + static_cast<double>(t.cols));
    EXPECT_EQ(w.ymin, w.ymax - static_cast<double>(t.rows));
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Cropping,
    ::testing::Values(CropCase{{2, 3, 4, 5}, 5, 2, 2, 2},          // outline on cell lines takes nothing beyond
                      CropCase{{2.5, 3.5, 2.5, 3.5}, 6, 2, 1, 1},  // a point inside one cell
                      CropCase{{3, 1, 3, 2}, 0, 0, 0, 0},          // zero width on a line
                      CropCase{{10, 0, 12, 2}, 0, 0, 0, 0},        // touches from outside only
                      CropCase{{11, 0, 12, 2}, 0, 0, 0, 0},        // apart
                      CropCase{{-5, -5, 50, 50}, 0, 0, 10, 10},    // larger than the grid
                      CropCase{{9.5, -1, 20, 0.5}, 9, 9, 1, 1},     // overhanging a corner
                      CropCase{{kInf, kInf, -kInf, -kInf}, 0, 0, 0, 0},
                      CropCase{{std::nan(""), 0, 5, 5}, 0, 0, 0, 0}));

TEST(Cropping, GridWithoutCellsCropsToNothing) {
    expect_empty(crop(grid_from_params(0, 0, -1, 10, 1, 1), BBox{0, 0, 5, 5}));
    expect_empty(crop(grid_from_params(0, 0, 10, 10, -1, 1), BBox{0, 0, 5, 5}));
    expect_empty(crop(grid_from_params(0, 0, 0, 0, 1, 1), BBox{0, 0, 0, 0}));
}

}  // namespace
