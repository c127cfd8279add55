#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "coverage/cell_exit.h"

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

INSTANTIATE_TEST_SUITE_P(Segments, CrossingExample,
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
                             ExitCase{{5.0 + 46 * 0.05, 45.6, 5.0 + 47 * 0.05, 45.65},
                                      {7.9, 45.9},
                                      {7.3, 45.6},
                                      {5.0 + 46 * 0.05, 45.6, Side::Left}},
                             // Exit points are the crossing rounded correctly, so those of different segments keep
                             // the order of the true crossings along a side. The two arms of this thin triangle meet
                             // the cell's top side less than an ulp apart; rounded carelessly, the left arm's exit
                             // lands left of the right arm's and the two runs through the cell swap places.
                             ExitCase{{6.8999999999999995, 6.6999999999999984, 7.1999999999999993, 6.9999999999999982},
                                      {7.2, 6.6},
                                      {7.1, 7.0},
                                      {7.1000000000000005, 6.9999999999999982, Side::Top}},
                             ExitCase{{6.8999999999999995, 6.9999999999999982, 7.1999999999999993, 7.299999999999998},
                                      {7.1, 7.0},
                                      {7.4, 5.8},
                                      {7.1000000000000005, 6.9999999999999982, Side::Bottom}}));

}  // namespace
}  // namespace quorvalis
