#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "coverage/window.h"

namespace {

using namespace quorvalis;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Values = std::vector<double>;
// Extent, then rows and columns; an empty window as an empty box.
Values shape(const CellRect& w) {
    const BBox e = w.empty() ? BBox{kInf, kInf, -kInf, -kInf} : w.extent();
    return {e.xmin, e.ymin, e.xmax, e.ymax, static_cast<double>(w.rows), static_cast<double>(w.cols)};
}
const Values kEmpty{kInf, kInf, -kInf, -kInf, 0, 0};

TEST(CellRects, CentersAreTheFullGridsAndAddressTheirOwnCells) {
    const Grid g = grid_from_params(-3.3, 1.7, 20.1, 9.9, 0.1, 0.3);
    const CellRect w = rect_of(g, BBox{4.05, 2.2, 7.77, 6.1});
    ASSERT_GT(w.rows, 0u);
    for (std::uint64_t r = 0; r < w.rows; ++r) {
        for (std::uint64_t c = 0; c < w.cols; ++c) {
            const Coordinate a = w.center(r, c), b = lines_of(g).center(w.row_offset + r, w.col_offset + c);
            EXPECT_EQ(a, b);
            EXPECT_EQ(row_of(g, a.y), w.row_offset + r);
            EXPECT_EQ(col_of(g, a.x), w.col_offset + c);
        }
    }
}

class Cropping : public ::testing::TestWithParam<std::pair<BBox, Values>> {};

TEST_P(Cropping, RectOfTouchedCells) {
    const Grid g = grid_from_params(0, 0, 10, 10, 1, 1);
    const CellRect w = rect_of(g, GetParam().first);
    EXPECT_EQ(shape(w), GetParam().second);
    EXPECT_EQ(w.lines.dx, 1.0);
    // The line-exact crop agrees wherever the divisions are exact.
    EXPECT_EQ(shape(crop_rect(grid_rect(g), GetParam().first)), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Cropping,
    ::testing::Values(std::pair{BBox{2, 3, 4, 5}, Values{2, 3, 4, 5, 2, 2}},  // an outline on cell lines takes no more
                      std::pair{BBox{2.5, 3.5, 2.5, 3.5}, Values{2, 3, 3, 4, 1, 1}},  // a point inside one cell
                      std::pair{BBox{3, 1, 3, 2}, kEmpty},                            // zero width on a line
                      std::pair{BBox{10, 0, 12, 2}, kEmpty},                          // touches from outside only
                      std::pair{BBox{11, 0, 12, 2}, kEmpty},
                      std::pair{BBox{-5, -5, 50, 50}, Values{0, 0, 10, 10, 10, 10}},
                      std::pair{BBox{9.5, -1, 20, 0.5}, Values{9, 0, 10, 1, 1, 1}},  // overhanging a corner
                      std::pair{BBox{kInf, kInf, -kInf, -kInf}, kEmpty}, std::pair{BBox{kNaN, 0, 5, 5}, kEmpty}));

TEST(Cropping, GridWithoutCellsCropsToNothing) {
    EXPECT_EQ(shape(rect_of(grid_from_params(0, 0, -1, 10, 1, 1), BBox{0, 0, 5, 5})), kEmpty);
    EXPECT_EQ(shape(rect_of(grid_from_params(0, 0, 10, 10, -1, 1), BBox{0, 0, 5, 5})), kEmpty);
    EXPECT_EQ(shape(rect_of(grid_from_params(0, 0, 0, 0, 1, 1), BBox{0, 0, 0, 0})), kEmpty);
}

// Where a division rounds across a whole number, the cell lines still decide: a box that
// starts exactly on a line (as computed from the grid) does not take in the cell before it.
TEST(Cropping, RingWindowsFollowTheCellLines) {
    const CellRect whole = grid_rect(grid_from_params(-180, -90, 180, 90, 0.1, 0.1));
    for (std::uint64_t k = 1; k < 1800; k += 7) {
        const double x = whole.left(k), y = whole.top(k);
        const CellRect w = crop_rect(whole, BBox{x, y - 0.05, x + 0.05, y});
        EXPECT_EQ(w.col_offset, k) << k;
        EXPECT_EQ(w.row_offset, k) << k;
        EXPECT_EQ(w.cols, 1u) << k;
        EXPECT_EQ(w.rows, 1u) << k;
    }
}

}  // namespace
