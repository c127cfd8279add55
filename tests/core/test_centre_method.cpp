#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "coverage_method.h"
#include "grid.h"
#include "wkb_builder.h"

namespace {

using namespace quorvalis;
using quorvalis::testing::square;

std::vector<float> values(const Matrix<float>& m) { return m.data; }

struct CentreCase {
    const char* name;
    Grid grid;
    Ring exterior;
    std::vector<Ring> holes;
    BBox window;  // extent of the polygon grid
    std::uint64_t rows, cols;
    std::vector<float> expected;
};

class CentreExamples : public ::testing::TestWithParam<CentreCase> {};

TEST_P(CentreExamples, MatrixAndWindow) {
    const CentreCase& t = GetParam();
    const PolygonRaster out = centre_method(t.grid, t.exterior, t.holes);
    EXPECT_EQ(out.grid.rows, t.rows);
    EXPECT_EQ(out.grid.cols, t.cols);
    EXPECT_EQ(out.coverage.rows, t.rows);
    EXPECT_EQ(out.coverage.cols, t.cols);
    EXPECT_EQ(out.grid.xmin, t.window.xmin);
    EXPECT_EQ(out.grid.ymin, t.window.ymin);
    EXPECT_EQ(out.grid.xmax, t.window.xmax);
    EXPECT_EQ(out.grid.ymax, t.window.ymax);
    EXPECT_EQ(values(out.coverage), t.expected);
}

const Grid kFour = grid_from_params(0, 0, 4, 4, 1, 1);
const Ring kOpenSquare{{0, 0}, {2, 0}, {2, 2}, {0, 2}};

INSTANTIATE_TEST_SUITE_P(
    Worked, CentreExamples,
    ::testing::Values(
        CentreCase{"square", kFour, square(0, 0, 2), {}, {0, 0, 2, 2}, 2, 2, {1, 1, 1, 1}},
        CentreCase{"coarse", grid_from_params(0, 0, 4, 4, 2, 2), square(0, 0, 2), {}, {0, 0, 2, 2}, 1, 1, {1}},
        CentreCase{"open_ring", kFour, kOpenSquare, {}, {0, 0, 2, 2}, 2, 2, {1, 1, 1, 1}},
        // every centre on a corner of the square: boundary, not inside
        CentreCase{"centres_on_corners", grid_from_params(-0.5, -0.5, 1.5, 1.5, 1, 1), square(0, 0, 1), {},
                   {-0.5, -0.5, 1.5, 1.5}, 2, 2, {0, 0, 0, 0}},
        // every centre on the hole's outline: removed
        CentreCase{"centres_on_hole", grid_from_params(0, 0, 2, 2, 1, 1), square(0, 0, 2), {square(0.5, 0.5, 1)},
                   {0, 0, 2, 2}, 2, 2, {0, 0, 0, 0}},
        // the hole takes one centre, an open hole ring is closed first
        CentreCase{"hole_one_cell", kFour, square(0, 0, 3), {Ring{{1.2, 1.2}, {1.8, 1.2}, {1.8, 1.8}, {1.2, 1.8}}},
                   {0, 0, 3, 3}, 3, 3, {1, 1, 1, 1, 0, 1, 1, 1, 1}},
        // a triangle, row 0 at the top; the centres on its hypotenuse are boundary
        CentreCase{"triangle", kFour, Ring{{0, 0}, {4, 0}, {0, 4}, {0, 0}}, {}, {0, 0, 4, 4}, 4, 4,
                   {0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 1, 0}},
        // smaller than a cell and missing its centre: zeros, but still a window
        CentreCase{"tiny", kFour, square(2.1, 2.1, 0.2), {}, {2, 2, 3, 3}, 1, 1, {0}},
        CentreCase{"outside", kFour, square(5, 5, 1), {}, empty_box(), 0, 0, {}},
        CentreCase{"no_points", kFour, Ring{}, {}, empty_box(), 0, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CentreInvariants, RingOrientationAndStartDoNotMatter) {
    const Grid g = grid_from_params(-1, -1, 9, 9, 0.5, 0.5);
    const Ring star{{4, 0}, {5, 3}, {8, 4}, {5, 5}, {4, 8}, {3, 5}, {0, 4}, {3, 3}, {4, 0}};
    const std::vector<Ring> holes{Ring{{3.6, 3.6}, {4.4, 3.6}, {4.4, 4.4}, {3.6, 4.4}, {3.6, 3.6}}};
    const PolygonRaster base = centre_method(g, star, holes);
    ASSERT_GT(std::count(base.coverage.data.begin(), base.coverage.data.end(), 1.0f), 10);

    Ring reversed(star.rbegin(), star.rend());
    Ring rotated(star.begin() + 3, star.end() - 1);
    rotated.insert(rotated.end(), star.begin(), star.begin() + 4);
    for (const Ring& variant : {reversed, rotated}) {
        const PolygonRaster out = centre_method(g, variant, holes);
        EXPECT_EQ(out.coverage.data, base.coverage.data);
    }
}

}  // namespace
