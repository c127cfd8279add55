#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "intersection.h"

namespace quorvalis {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr BBox kUnit{0.0, 0.0, 1.0, 1.0};

struct ExitCase {
    BBox box;
    Coordinate a, b;
    Crossing expected;
};
void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.a.x << ", " << c.a.y << " -> " << c.b.x << ", " << c.b.y; }

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
    ::testing::Values(  // exact corners go to the horizontal side
        ExitCase{kUnit, {0.5, 0.5}, {1.5, 1.5}, {1.0, 1.0, Side::Top}},
        ExitCase{kUnit, {0.5, 0.5}, {-0.5, 1.5}, {0.0, 1.0, Side::Top}},
        ExitCase{kUnit, {0.5, 0.5}, {1.5, -0.5}, {1.0, 0.0, Side::Bottom}},
        ExitCase{kUnit, {1.0, 1.0}, {2.0, 3.0}, {1.0, 1.0, Side::Top}},
        ExitCase{kUnit, {0.5, 0.5}, {3.0, 0.5}, {1.0, 0.5, Side::Right}},
        ExitCase{kUnit, {0.25, 0.5}, {0.25, -7.0}, {0.25, 0.0, Side::Bottom}},
        ExitCase{kUnit, {0.5, 0.75}, {0.25, -0.25}, {0.3125, 0.0, Side::Bottom}},
        // unbounded border cells
        ExitCase{{-kInf, 0.0, 1.0, 1.0}, {0.5, 0.5}, {0.0, 1.5}, {0.25, 1.0, Side::Top}},
        ExitCase{{0.0, -kInf, 1.0, 1.0}, {0.5, 0.5}, {2.0, -10.0}, {1.0, -3.0, Side::Right}},
        // slopes that overflow or underflow must not send the exit to a far corner
        ExitCase{{-1.0, 0.0, 0.0, 1.0}, {0.0, 0.5}, {5e-324, 2.0}, {0.0, 0.5, Side::Right}},
        ExitCase{kUnit, {0.5, 1.0}, {1.7e308, 1.0 + 0x1p-52}, {0.5, 1.0, Side::Top}},
        // a hair above the corner: rounding the exit height to the corner must not send the
        // ring through the bottom side into the wrong neighbour
        ExitCase{{5.0 + 46 * 0.05, 45.6, 5.0 + 47 * 0.05, 45.65}, {7.9, 45.9}, {7.3, 45.6},
                 {5.0 + 46 * 0.05, 45.6, Side::Left}},
        // Exit points are the crossing rounded correctly, so those of different segments keep
        // the order of the true crossings along a side. The two arms of this thin triangle meet
        // the cell's top side less than an ulp apart; rounded carelessly, the left arm's exit
        // lands left of the right arm's and the two runs through the cell swap places.
        ExitCase{{6.8999999999999995, 6.6999999999999984, 7.1999999999999993, 6.9999999999999982}, {7.2, 6.6},
                 {7.1, 7.0}, {7.1000000000000005, 6.9999999999999982, Side::Top}},
        ExitCase{{6.8999999999999995, 6.9999999999999982, 7.1999999999999993, 7.299999999999998}, {7.1, 7.0},
                 {7.4, 5.8}, {7.1000000000000005, 6.9999999999999982, Side::Bottom}}));

const Ring kSquare{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}};
const Ring kPeak{{0, 0}, {4, 0}, {4, 2}, {3, 2}, {2, 3}, {1, 2}, {0, 2}, {0, 0}};    // top vertex (2, 3)
const Ring kValley{{0, 0}, {4, 0}, {4, 2}, {3, 2}, {2, 1}, {1, 2}, {0, 2}, {0, 0}};  // notch down to (2, 1)
const Ring kWedge{{0, 0}, {24, 0}, {24, 24}, {0, 0}};                                 // below y = x
const Ring kTwice{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}};

struct LocateCase {
    const Ring* ring;
    Coordinate p;
    Location expected;
};
void PrintTo(const LocateCase& c, std::ostream* os) { *os << c.p.x << ", " << c.p.y; }

class LocationCase : public ::testing::TestWithParam<LocateCase> {};

// Neither the direction of the ring nor the vertex it starts at may change the answer.
TEST_P(LocationCase, SameAnswerForEveryStartAndDirection) {
    const LocateCase& c = GetParam();
    for (const Ring& base : {*c.ring, Ring(c.ring->rbegin(), c.ring->rend())}) {
        for (std::size_t start = 0; start + 1 < base.size(); ++start) {
            Ring r(base.begin() + static_cast<std::ptrdiff_t>(start), base.end());
            r.insert(r.end(), base.begin() + 1, base.begin() + static_cast<std::ptrdiff_t>(start) + 1);
            EXPECT_EQ(location(c.p.x, c.p.y, r), c.expected) << "start " << r[0].x << ", " << r[0].y;
        }
    }
}

constexpr Location In = Location::Inside, Out = Location::Outside, On = Location::Boundary;

INSTANTIATE_TEST_SUITE_P(
    Rings, LocationCase,
    ::testing::Values(LocateCase{&kSquare, {0.5, 0.5}, In}, LocateCase{&kSquare, {0.5, 0.0}, On},
                      LocateCase{&kSquare, {1.0, 1.0}, On}, LocateCase{&kSquare, {2.0, 0.5}, Out},
                      LocateCase{&kSquare, {-1.0, 0.0}, Out}, LocateCase{&kSquare, {0.0, -0.5}, Out},
                      LocateCase{&kPeak, {0.5, 3.0}, Out}, LocateCase{&kPeak, {2.0, 3.0}, On},
                      LocateCase{&kValley, {0.5, 1.0}, In}, LocateCase{&kValley, {2.0, 1.5}, Out},
                      LocateCase{&kWedge, {0.5, 0.5}, On}, LocateCase{&kWedge, {0.5 + 0x1p-53, 0.5}, In},
                      LocateCase{&kWedge, {0.5, 0.5 + 0x1p-53}, Out}, LocateCase{&kTwice, {0.5, 0.5}, In}));

TEST(Location, DegenerateRings) {
    const Ring one{{2.0, 3.0}}, segment{{0.0, 0.0}, {2.0, 2.0}};
    EXPECT_EQ(location(0.0, 0.0, {}), Out);
    EXPECT_EQ(location(2.0, 3.0, one), On);
    EXPECT_EQ(location(2.0, 3.5, one), Out);
    EXPECT_EQ(location(1.0, 1.0, segment), On);
    EXPECT_EQ(location(3.0, 3.0, segment), Out);
    EXPECT_EQ(location(0.25, 0.25, Ring{{0, 0}, {1, 0}, {NAN, NAN}, {0, 1}, {0, 0}}), Out);
    EXPECT_EQ(location(NAN, 0.5, kSquare), Out);
}

}  // namespace
}  // namespace quorvalis
