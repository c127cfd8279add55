#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "intersection.h"

namespace quorvalis {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr BBox kUnit{0.0, 0.0, 1.0, 1.0};

struct ExitCase {
    const char* name;
    BBox box;
    Coordinate a, b;
    Crossing expected;
};
void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class CrossingExample : public ::testing::TestWithParam<ExitCase> {};

TEST_P(CrossingExample, LeavesAtTheExpectedPointAndSide) {
    const ExitCase& c = GetParam();
    const Crossing got = crossing(c.box, c.a, c.b);
    EXPECT_EQ(got.x, c.expected.x);
    EXPECT_EQ(got.y, c.expected.y);
    EXPECT_EQ(got.side, c.expected.side);
}

INSTANTIATE_TEST_SUITE_P(
    Segments, CrossingExample,
    ::testing::Values(
        ExitCase{"corner_up_right_is_top", kUnit, {0.5, 0.5}, {1.5, 1.5}, {1.0, 1.0, Side::Top}},
        ExitCase{"corner_up_left_is_top", kUnit, {0.5, 0.5}, {-0.5, 1.5}, {0.0, 1.0, Side::Top}},
        ExitCase{"corner_down_right_is_bottom", kUnit, {0.5, 0.5}, {1.5, -0.5}, {1.0, 0.0, Side::Bottom}},
        ExitCase{"corner_down_left_is_bottom", kUnit, {0.5, 0.5}, {-0.5, -0.5}, {0.0, 0.0, Side::Bottom}},
        ExitCase{"horizontal_right", kUnit, {0.5, 0.5}, {3.0, 0.5}, {1.0, 0.5, Side::Right}},
        ExitCase{"horizontal_left", kUnit, {0.5, 0.5}, {-3.0, 0.5}, {0.0, 0.5, Side::Left}},
        ExitCase{"vertical_up", kUnit, {0.25, 0.5}, {0.25, 7.0}, {0.25, 1.0, Side::Top}},
        ExitCase{"vertical_down", kUnit, {0.25, 0.5}, {0.25, -7.0}, {0.25, 0.0, Side::Bottom}},
        ExitCase{"shallow_right", kUnit, {0.25, 0.5}, {1.25, 0.75}, {1.0, 0.6875, Side::Right}},
        ExitCase{"steep_down_left", kUnit, {0.5, 0.75}, {0.25, -0.25}, {0.3125, 0.0, Side::Bottom}},
        ExitCase{"from_right_side_outwards", kUnit, {1.0, 0.5}, {2.0, 0.75}, {1.0, 0.5, Side::Right}},
        ExitCase{"from_top_corner_outwards", kUnit, {1.0, 1.0}, {2.0, 3.0}, {1.0, 1.0, Side::Top}},
        ExitCase{"unbounded_left_rises_to_top", {-kInf, 0.0, 1.0, 1.0}, {0.5, 0.5}, {0.0, 1.5}, {0.25, 1.0, Side::Top}},
        ExitCase{"unbounded_below_leaves_right", {0.0, -kInf, 1.0, 1.0}, {0.5, 0.5}, {2.0, -10.0}, {1.0, -3.0, Side::Right}},
        ExitCase{"unbounded_right_rises_to_top", {0.0, 0.0, kInf, 1.0}, {0.5, 0.5}, {6.5, 2.0}, {2.5, 1.0, Side::Top}},
        // Slopes that overflow or underflow must not send the exit to a far corner.
        ExitCase{"slope_overflows", {-1.0, 0.0, 0.0, 1.0}, {0.0, 0.5}, {5e-324, 2.0}, {0.0, 0.5, Side::Right}},
        ExitCase{"slope_underflows", kUnit, {0.5, 1.0}, {1.7e308, 1.0 + 0x1p-52}, {0.5, 1.0, Side::Top}}),
    [](const ::testing::TestParamInfo<ExitCase>& p) { return std::string(p.param.name); });

// Random segments from inside a box to outside it: the exit is on the box, on the side it
// reports, and on the segment's line; its parameter along the segment is the first exit.
TEST(Crossing, RandomExitsLieOnTheBoxAndTheSegment) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> inside(0.0, 1.0), outside(-3.0, 4.0);
    const BBox box{-1.5, 2.0, -0.5, 3.0};  // a cell away from the origin
    for (int trial = 0; trial < 20000; ++trial) {
        const Coordinate a{box.xmin + inside(rng), box.ymin + inside(rng)};
        Coordinate b{box.xmin + outside(rng), box.ymin + outside(rng)};
        if (b.x >= box.xmin && b.x <= box.xmax && b.y >= box.ymin && b.y <= box.ymax) continue;
        const Crossing c = crossing(box, a, b);
        ASSERT_TRUE(c.x >= box.xmin && c.x <= box.xmax && c.y >= box.ymin && c.y <= box.ymax);
        switch (c.side) {
            case Side::Left: ASSERT_EQ(c.x, box.xmin); break;
            case Side::Right: ASSERT_EQ(c.x, box.xmax); break;
            case Side::Top: ASSERT_EQ(c.y, box.ymax); break;
            case Side::Bottom: ASSERT_EQ(c.y, box.ymin); break;
            default: FAIL() << "no side";
        }
        // The true exit parameter: the smallest t at which the segment reaches a side it
        // is moving towards.
        const double dx = b.x - a.x, dy = b.y - a.y;
        double t = 1.0;
        if (dx > 0) t = std::min(t, (box.xmax - a.x) / dx);
        if (dx < 0) t = std::min(t, (box.xmin - a.x) / dx);
        if (dy > 0) t = std::min(t, (box.ymax - a.y) / dy);
        if (dy < 0) t = std::min(t, (box.ymin - a.y) / dy);
        ASSERT_NEAR(c.x, a.x + t * dx, 1e-12) << trial;
        ASSERT_NEAR(c.y, a.y + t * dy, 1e-12) << trial;
    }
}

using Ring = std::vector<Coordinate>;

const Ring kSquare{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}};
// A tower whose top vertex (2, 3) is level with points left and right of it.
const Ring kPeak{{0, 0}, {4, 0}, {4, 2}, {3, 2}, {2, 3}, {1, 2}, {0, 2}, {0, 0}};
// A notch whose lowest vertex (2, 1) is level with points beside it.
const Ring kValley{{0, 0}, {4, 0}, {4, 2}, {3, 2}, {2, 1}, {1, 2}, {0, 2}, {0, 0}};
// Triangle below the diagonal through (0.5, 0.5), where single ulps decide.
const Ring kWedge{{0, 0}, {24, 0}, {24, 24}, {0, 0}};
// The square walked twice: winding 2 is still inside.
const Ring kTwice{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}};

struct LocateCase {
    const char* name;
    const Ring* ring;
    Coordinate p;
    Location expected;
};
void PrintTo(const LocateCase& c, std::ostream* os) { *os << c.name; }

// Reversing the ring or starting it at another vertex must not change any answer.
std::vector<Ring> variants(const Ring& ring) {
    std::vector<Ring> out;
    for (const Ring& base : {ring, Ring(ring.rbegin(), ring.rend())}) {
        for (std::size_t start = 0; start + 1 < base.size(); ++start) {
            Ring r(base.begin() + static_cast<std::ptrdiff_t>(start), base.end() - 1);
            r.insert(r.end(), base.begin(), base.begin() + static_cast<std::ptrdiff_t>(start));
            r.push_back(r.front());
            out.push_back(r);
        }
    }
    return out;
}

class LocationCase : public ::testing::TestWithParam<LocateCase> {};

TEST_P(LocationCase, SameAnswerForEveryStartAndDirection) {
    const LocateCase& c = GetParam();
    for (const Ring& r : variants(*c.ring))
        EXPECT_EQ(location(c.p.x, c.p.y, r), c.expected) << "starting at " << r[0].x << ", " << r[0].y;
}

constexpr double kUlp = 0x1p-53;  // spacing of doubles just below 1 and above 0.5

INSTANTIATE_TEST_SUITE_P(
    Rings, LocationCase,
    ::testing::Values(LocateCase{"square_centre", &kSquare, {0.5, 0.5}, Location::Inside},
                      LocateCase{"square_bottom_edge", &kSquare, {0.5, 0.0}, Location::Boundary},
                      LocateCase{"square_right_edge", &kSquare, {1.0, 0.25}, Location::Boundary},
                      LocateCase{"square_top_edge", &kSquare, {0.75, 1.0}, Location::Boundary},
                      LocateCase{"square_vertex", &kSquare, {1.0, 1.0}, Location::Boundary},
                      LocateCase{"square_outside_right", &kSquare, {2.0, 0.5}, Location::Outside},
                      LocateCase{"square_bottom_extension", &kSquare, {-1.0, 0.0}, Location::Outside},
                      LocateCase{"square_top_extension", &kSquare, {2.0, 1.0}, Location::Outside},
                      LocateCase{"square_left_extension_below", &kSquare, {0.0, -0.5}, Location::Outside},
                      LocateCase{"peak_level_left", &kPeak, {0.5, 3.0}, Location::Outside},
                      LocateCase{"peak_level_right", &kPeak, {3.5, 3.0}, Location::Outside},
                      LocateCase{"peak_vertex", &kPeak, {2.0, 3.0}, Location::Boundary},
                      LocateCase{"peak_inside_tower", &kPeak, {2.0, 2.5}, Location::Inside},
                      LocateCase{"valley_level_inside", &kValley, {0.5, 1.0}, Location::Inside},
                      LocateCase{"valley_level_right", &kValley, {3.5, 1.0}, Location::Inside},
                      LocateCase{"valley_notch", &kValley, {2.0, 1.5}, Location::Outside},
                      LocateCase{"valley_beyond", &kValley, {5.0, 1.0}, Location::Outside},
                      LocateCase{"wedge_on_diagonal", &kWedge, {0.5, 0.5}, Location::Boundary},
                      LocateCase{"wedge_ulp_below", &kWedge, {0.5 + kUlp, 0.5}, Location::Inside},
                      LocateCase{"wedge_ulp_above", &kWedge, {0.5, 0.5 + kUlp}, Location::Outside},
                      LocateCase{"twice_centre", &kTwice, {0.5, 0.5}, Location::Inside},
                      LocateCase{"twice_edge", &kTwice, {0.0, 0.5}, Location::Boundary}),
    [](const ::testing::TestParamInfo<LocateCase>& p) { return std::string(p.param.name); });

TEST(Location, DegenerateRings) {
    EXPECT_EQ(location(0.0, 0.0, {}), Location::Outside);
    const Ring one{{2.0, 3.0}};
    EXPECT_EQ(location(2.0, 3.0, one), Location::Boundary);
    EXPECT_EQ(location(2.0, 3.5, one), Location::Outside);
    const Ring segment{{0.0, 0.0}, {2.0, 2.0}};
    EXPECT_EQ(location(1.0, 1.0, segment), Location::Boundary);
    EXPECT_EQ(location(3.0, 3.0, segment), Location::Outside);
    const Ring nan_vertex{{0, 0}, {1, 0}, {NAN, NAN}, {0, 1}, {0, 0}};
    EXPECT_EQ(location(0.25, 0.25, nan_vertex), Location::Outside);
    EXPECT_EQ(location(NAN, 0.5, kSquare), Location::Outside);
}

}  // namespace
}  // namespace quorvalis
