#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coverage/cell_area.h"
#include "error_text.h"
#include "geometry/measures.h"
#include "support/error.h"

namespace {

using namespace quorvalis;
using List = std::vector<Coordinate>;
using Lists = std::vector<List>;

double area_of(const Lists& lists) {
    const std::vector<std::span<const Coordinate>> views(lists.begin(), lists.end());
    return covered_area({0, 0, 1, 1}, views);
}

std::string failure(const Lists& lists) {
    return quorvalis::testing::error_of<InternalError>([&] { area_of(lists); });
}

TEST(SignedArea, SignFollowsOrientationAndFarRingsStayExact) {
    const List ccw{{0, 0}, {2, 0}, {2, 1}, {0, 1}, {0, 0}};
    List far;
    for (const Coordinate& c : ccw) far.push_back({c.x + 1e15, c.y + 1e15});
    EXPECT_EQ(signed_area(ccw), 2.0);
    EXPECT_EQ(signed_area(List(ccw.rbegin(), ccw.rend())), -2.0);
    EXPECT_EQ(signed_area(far), 2.0);
}

TEST(PerimeterDistance, EachCornerHasOnePosition) {
    const BBox b{1, 1, 4, 3};  // 3 wide, 2 high; the lower-left corner is 0, never the full perimeter
    const List points{{1, 1}, {1, 3}, {4, 3}, {4, 1}, {3, 1}};
    const std::vector<double> want{0, 2, 5, 7, 8};
    for (std::size_t k = 0; k < points.size(); ++k) EXPECT_EQ(perimeter_distance(b, points[k]), want[k]) << k;
}

TEST(CoveredArea, FatalMessages) {
    EXPECT_EQ(failure({{{0, 0.5}, {0.5, 2}}}),
              "Cannot compute perimeter distance for point (0.5, 2) not on boundary of "
              "BBox { xmin: 0.0, ymin: 0.0, xmax: 1.0, ymax: 1.0 }");
    EXPECT_EQ(failure({{{0, 0.5}, {0.9999999999999999, 0.5}}}),  // one ulp inside is off the outline
              "Cannot compute perimeter distance for point (0.9999999999999999, 0.5) not on boundary of "
              "BBox { xmin: 0.0, ymin: 0.0, xmax: 1.0, ymax: 1.0 }");
    EXPECT_EQ(failure({{{0.5, 0.5}}, {{0, 0.5}, {0, 0.5}}}), "Cannot determine coverage fraction (0 or 100%)");
}

class CoveredAreaOf : public ::testing::TestWithParam<std::pair<Lists, double>> {};

TEST_P(CoveredAreaOf, UnitCell) { EXPECT_DOUBLE_EQ(area_of(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Chains, CoveredAreaOf,
    ::testing::Values(std::pair{Lists{{{0, 0.25}, {1, 0.25}}}, 0.75},  // the part left of the chain
                      std::pair{Lists{{{1, 0.25}, {0, 0.25}}}, 0.25}, std::pair{Lists{{{0.5, 0}, {1, 0.5}}}, 0.875},
                      std::pair{Lists{{{0, 0.2}, {1, 0.2}}, {{1, 0.6}, {0, 0.6}}}, 0.4},  // one band
                      std::pair{Lists{{{1, 0.2}, {0, 0.2}}, {{0, 0.6}, {1, 0.6}}}, 0.6},  // two areas
                      // closed loops: clockwise is a hole, counter-clockwise an area, zero area alone nothing
                      std::pair{Lists{{{0.25, 0.25}, {0.25, 0.75}, {0.75, 0.75}, {0.75, 0.25}, {0.25, 0.25}}}, 0.75},
                      std::pair{Lists{{{0.25, 0.25}, {0.75, 0.25}, {0.75, 0.75}, {0.25, 0.75}, {0.25, 0.25}}}, 0.25},
                      std::pair{Lists{{{0.2, 0.2}, {0.6, 0.6}, {0.2, 0.2}}}, 0.0},
                      std::pair{Lists{{{0, 1}, {0, 0}}}, 1.0}));  // down the left edge

}  // namespace
