#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "coverage_method.h"
#include "grid.h"
#include "wkb_builder.h"

namespace {

using namespace quorvalis;
using quorvalis::testing::square;

struct CentreCase {
    const char* name;
    Grid grid;
    Ring exterior;
    std::vector<Ring> holes;
    std::vector<double> window;  // extent of the polygon grid, then rows and columns
    std::vector<float> expected;
};

class CentreExamples : public ::testing::TestWithParam<CentreCase> {};

TEST_P(CentreExamples, MatrixAndWindow) {
    const CentreCase& t = GetParam();
    const PolygonRaster out = centre_method(t.grid, t.exterior, t.holes);
    const Grid& g = out.grid;
    EXPECT_EQ((std::vector<double>{g.xmin, g.ymin, g.xmax, g.ymax, double(g.rows), double(g.cols)}), t.window);
    EXPECT_EQ(out.coverage.rows(), g.rows);
    EXPECT_EQ(out.coverage.cols(), g.cols);
    EXPECT_EQ(out.coverage.values(), t.expected);
}

const Grid kFour = grid_from_params(0, 0, 4, 4, 1, 1);
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Worked, CentreExamples,
    ::testing::Values(
        CentreCase{"square", kFour, square(0, 0, 2), {}, {0, 0, 2, 2, 2, 2}, {1, 1, 1, 1}},
        CentreCase{"coarse", grid_from_params(0, 0, 4, 4, 2, 2), square(0, 0, 2), {}, {0, 0, 2, 2, 1, 1}, {1}},
        CentreCase{"open_ring", kFour, {{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {}, {0, 0, 2, 2, 2, 2}, {1, 1, 1, 1}},
        // every centre on a corner of the square: boundary, not inside
        CentreCase{"centres_on_corners", grid_from_params(-0.5, -0.5, 1.5, 1.5, 1, 1), square(0, 0, 1), {},
                   {-0.5, -0.5, 1.5, 1.5, 2, 2}, {0, 0, 0, 0}},
        // every centre on the hole's outline: removed
        CentreCase{"centres_on_hole", grid_from_params(0, 0, 2, 2, 1, 1), square(0, 0, 2), {square(0.5, 0.5, 1)},
                   {0, 0, 2, 2, 2, 2}, {0, 0, 0, 0}},
        // the hole takes one centre, an open hole ring is closed first
        CentreCase{"hole_one_cell", kFour, square(0, 0, 3), {Ring{{1.2, 1.2}, {1.8, 1.2}, {1.8, 1.8}, {1.2, 1.8}}},
                   {0, 0, 3, 3, 3, 3}, {1, 1, 1, 1, 0, 1, 1, 1, 1}},
        // a triangle, row 0 at the top; the centres on its hypotenuse are boundary
        CentreCase{"triangle", kFour, Ring{{0, 0}, {4, 0}, {0, 4}, {0, 0}}, {}, {0, 0, 4, 4, 4, 4},
                   {0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 1, 0}},
        CentreCase{"outside", kFour, square(5, 5, 1), {}, {kInf, kInf, -kInf, -kInf, 0, 0}, {}},
        CentreCase{"no_points", kFour, Ring{}, {}, {kInf, kInf, -kInf, -kInf, 0, 0}, {}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
