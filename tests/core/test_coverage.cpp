#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coverage.h"
#include "error.h"
#include "measures.h"
#include "perimeter.h"

namespace {

using namespace quorvalis;

using List = std::vector<Coordinate>;

double area_of(const std::vector<List>& lists) {
    const std::vector<std::span<const Coordinate>> views(lists.begin(), lists.end());
    return covered_area({0, 0, 1, 1}, views);
}

std::string failure(const std::vector<List>& lists) {
    try {
        area_of(lists);
    } catch (const InternalError& e) {
        return e.what();
    }
    return "no error";
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
    const BBox b{1, 1, 4, 3};  // 3 wide, 2 high
    EXPECT_EQ(perimeter_distance(b, {1, 1}), 0.0);  // never the full perimeter
    EXPECT_EQ(perimeter_distance(b, {1, 3}), 2.0);
    EXPECT_EQ(perimeter_distance(b, {4, 3}), 5.0);
    EXPECT_EQ(perimeter_distance(b, {4, 1}), 7.0);
    EXPECT_EQ(perimeter_distance(b, {3, 1}), 8.0);
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

struct AreaCase {
    const char* name;
    std::vector<List> lists;
    double area;
};

class CoveredAreaOf : public ::testing::TestWithParam<AreaCase> {};

TEST_P(CoveredAreaOf, UnitCell) { EXPECT_DOUBLE_EQ(area_of(GetParam().lists), GetParam().area); }

INSTANTIATE_TEST_SUITE_P(
    Chains, CoveredAreaOf,
    ::testing::Values(
        AreaCase{"HalfAcross", {{{0, 0.5}, {1, 0.5}}}, 0.5},
        AreaCase{"UpperPart", {{{0, 0.25}, {1, 0.25}}}, 0.75},
        AreaCase{"LowerPartReversed", {{{1, 0.25}, {0, 0.25}}}, 0.25},
        AreaCase{"CornerCut", {{{0.5, 0}, {1, 0.5}}}, 0.875},
        AreaCase{"TwoChainsOneBand", {{{0, 0.2}, {1, 0.2}}, {{1, 0.6}, {0, 0.6}}}, 0.4},
        AreaCase{"TwoChainsTwoAreas", {{{1, 0.2}, {0, 0.2}}, {{0, 0.6}, {1, 0.6}}}, 0.6},
        AreaCase{"ClockwiseLoopIsAHole", {{{0.25, 0.25}, {0.25, 0.75}, {0.75, 0.75}, {0.75, 0.25}, {0.25, 0.25}}}, 0.75},
        AreaCase{"CounterClockwiseLoop", {{{0.25, 0.25}, {0.75, 0.25}, {0.75, 0.75}, {0.25, 0.75}, {0.25, 0.25}}}, 0.25},
        AreaCase{"ZeroAreaLoopAlone", {{{0.2, 0.2}, {0.6, 0.6}, {0.2, 0.2}}}, 0.0},
        AreaCase{"DownTheLeftEdge", {{{0, 1}, {0, 0}}}, 1.0}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
