#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "coverage/lattice_scan.h"

namespace quorvalis {
namespace {

const Ring kSquare{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}};
const Ring kPeak{{0, 0}, {4, 0}, {4, 2}, {3, 2}, {2, 3}, {1, 2}, {0, 2}, {0, 0}};    // top vertex (2, 3)
const Ring kValley{{0, 0}, {4, 0}, {4, 2}, {3, 2}, {2, 1}, {1, 2}, {0, 2}, {0, 0}};  // notch down to (2, 1)
const Ring kWedge{{0, 0}, {24, 0}, {24, 24}, {0, 0}};                                // below y = x
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

INSTANTIATE_TEST_SUITE_P(Rings, LocationCase,
                         ::testing::Values(LocateCase{&kSquare, {0.5, 0.5}, In}, LocateCase{&kSquare, {0.5, 0.0}, On},
                                           LocateCase{&kSquare, {1.0, 1.0}, On}, LocateCase{&kSquare, {2.0, 0.5}, Out},
                                           LocateCase{&kSquare, {-1.0, 0.0}, Out},
                                           LocateCase{&kSquare, {0.0, -0.5}, Out}, LocateCase{&kPeak, {0.5, 3.0}, Out},
                                           LocateCase{&kPeak, {2.0, 3.0}, On}, LocateCase{&kValley, {0.5, 1.0}, In},
                                           LocateCase{&kValley, {2.0, 1.5}, Out}, LocateCase{&kWedge, {0.5, 0.5}, On},
                                           LocateCase{&kWedge, {0.5 + 0x1p-53, 0.5}, In},
                                           LocateCase{&kWedge, {0.5, 0.5 + 0x1p-53}, Out},
                                           LocateCase{&kTwice, {0.5, 0.5}, In}));

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

// A ring between two lattice rows meets none of them: every row is outside it (and the
// scan holds no edge at all, which must not be read through).
TEST(LatticeScan, RowsNoEdgeMeetsAreOutside) {
    const Ring sliver{{0.1, 0.6}, {1.9, 0.6}, {1.9, 0.9}, {0.1, 0.9}, {0.1, 0.6}};
    const std::span<const Coordinate> ring(sliver);
    const LatticeScan scan(Lattice{{0.5, 1.5}, {1.5, 0.5}}, 1.0, 1.0, std::span(&ring, 1));
    RowLocation row{{{0, 1}}, {{0, 1}}};
    for (const std::uint64_t i : {0u, 1u}) {
        scan.locate(i, 0, row);
        EXPECT_TRUE(row.inside.empty() && row.boundary.empty()) << i;
    }
}

// A jagged ring whose vertices mostly sit between two rows, some exactly on a row, climbing,
// falling and turning between the same two rows: every point is placed as the point test
// places it.
TEST(LatticeScan, AgreesWithThePointTest) {
    Lattice lattice;
    for (int j = 0; j < 12; ++j) lattice.xs.push_back(j + 0.5);
    for (int i = 11; i >= 0; --i) lattice.ys.push_back(i + 0.5);
    Ring ring;
    for (int k = 0; k < 240; ++k) {
        const double a = 2 * 3.14159265358979323846 * k / 240;
        const double r = 4.0 + 1.3 * std::sin(7 * a) + 0.4 * std::sin(31 * a);
        const double y = 6.0 + r * std::sin(a);
        ring.push_back({6.0 + r * std::cos(a), k % 9 == 0 ? std::round(y - 0.5) + 0.5 : y});
    }
    ring.push_back(ring.front());
    const std::span<const Coordinate> closed(ring);
    const LatticeScan scan(lattice, 1.0, 1.0, std::span(&closed, 1));
    RowLocation row;
    for (std::uint64_t i = 0; i < lattice.ys.size(); ++i) {
        scan.locate(i, 0, row);
        LatticeScan::Cursor cursor;
        for (std::uint64_t j = 0; j < lattice.xs.size(); ++j) {
            EXPECT_EQ(LatticeScan::strictly_inside(row, j, cursor),
                      location(lattice.xs[j], lattice.ys[i], ring) == Location::Inside)
                << i << ", " << j;
        }
    }
}

}  // namespace
}  // namespace quorvalis
