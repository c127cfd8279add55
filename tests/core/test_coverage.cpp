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

const BBox kUnit{0, 0, 1, 1};

double area_of(const BBox& box, const std::vector<List>& lists) {
    const std::vector<std::span<const Coordinate>> views(lists.begin(), lists.end());
    return covered_area(box, views);
}

std::string internal_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "no error";
}

TEST(SignedArea, SignFollowsOrientationAndLargeOffsetsCostNothing) {
    const List ccw{{0, 0}, {2, 0}, {2, 1}, {0, 1}, {0, 0}};
    const List cw(ccw.rbegin(), ccw.rend());
    EXPECT_EQ(signed_area(ccw), 2.0);
    EXPECT_EQ(signed_area(cw), -2.0);
    EXPECT_EQ(signed_area(List{{0, 0}, {1, 1}}), 0.0);
    // Products taken relative to the first point keep a small ring far away exact.
    List far;
    for (const Coordinate& c : ccw) far.push_back({c.x + 1e15, c.y + 1e15});
    EXPECT_EQ(signed_area(far), 2.0);
}

struct Corner {
    Coordinate p;
    double distance;
};

class PerimeterCorners : public ::testing::TestWithParam<Corner> {};

// Box 3 wide, 2 high: each corner has one position, lower-left never the full perimeter.
TEST_P(PerimeterCorners, ClockwiseFromLowerLeft) {
    EXPECT_EQ(perimeter_distance({1, 1, 4, 3}, GetParam().p), GetParam().distance);
}

INSTANTIATE_TEST_SUITE_P(Points, PerimeterCorners,
                         ::testing::Values(Corner{{1, 1}, 0}, Corner{{1, 3}, 2}, Corner{{4, 3}, 5}, Corner{{4, 1}, 7},
                                           Corner{{2.5, 3}, 3.5}, Corner{{3, 1}, 8}));

TEST(PerimeterDistance, PointOffTheOutlineIsFatal) {
    EXPECT_EQ(internal_message([] { perimeter_distance(kUnit, {0.5, 2}); }),
              "Cannot compute perimeter distance for point (0.5, 2) not on boundary of "
              "BBox { xmin: 0.0, ymin: 0.0, xmax: 1.0, ymax: 1.0 }");
    // However little off: a chain end one ulp inside the right side.
    EXPECT_EQ(internal_message([] { area_of(kUnit, {{{0, 0.5}, {0.9999999999999999, 0.5}}}); }),
              "Cannot compute perimeter distance for point (0.9999999999999999, 0.5) not on boundary of "
              "BBox { xmin: 0.0, ymin: 0.0, xmax: 1.0, ymax: 1.0 }");
}

struct AreaCase {
    const char* name;
    std::vector<List> lists;
    double area;
};

class CoveredArea : public ::testing::TestWithParam<AreaCase> {};

TEST_P(CoveredArea, LeftOfTheRing) { EXPECT_DOUBLE_EQ(area_of(kUnit, GetParam().lists), GetParam().area); }

INSTANTIATE_TEST_SUITE_P(
    Chains, CoveredArea,
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
        AreaCase{"RunAlongTheLeftEdgeDownwards", {{{0, 1}, {0, 0}}}, 1.0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CoveredAreaFailure, NothingMeasurable) {
    EXPECT_EQ(internal_message([] { area_of(kUnit, {{{0.5, 0.5}}, {{0, 0.5}, {0, 0.5}}}); }),
              "Cannot determine coverage fraction (0 or 100%)");
}

}  // namespace
