#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "error_text.h"
#include "record/build.h"
#include "support/error.h"
#include "wkb_builder.h"

namespace {

using namespace quorvalis;
using namespace quorvalis::testing;
using Bytes = std::vector<std::uint8_t>;
using Ids = std::vector<std::int64_t>;
using Indices = std::vector<std::uint64_t>;
constexpr Order L = Order::Little, B = Order::Big;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

CacheRecord build(const std::vector<Bytes>& wkbs, const Ids& ids, double dx = 1, double dy = 1,
                  std::string_view method = "center", double extent = 10) {
    return build_cache(wkbs, ids, 0, 0, extent, extent, dx, dy, method);
}

template <class Error>
std::string failure(const std::vector<Bytes>& wkbs, const Ids& ids, double dx = 1, double dy = 1,
                    std::string_view method = "center", double extent = 10) {
    return error_of<Error>([&] { build(wkbs, ids, dx, dy, method, extent); });
}

Ids ids_of(const CacheRecord& r) {
    Ids ids;
    for (const Zone& b : r.zones) ids.push_back(b.id);
    return ids;
}
Indices placement(const Zone& b) { return {b.row_offset, b.col_offset, b.rows(), b.cols()}; }

const Bytes kInside = polygon_wkb({square(2, 3, 2), {}});

struct BadCall {
    std::size_t n_ids;
    double dx, dy;
    std::string method, message;
};

class Refused : public ::testing::TestWithParam<BadCall> {};

TEST_P(Refused, FirstFailingCheckReported) {
    const BadCall& t = GetParam();
    EXPECT_EQ(failure<InputError>({kInside}, Ids(t.n_ids, 7), t.dx, t.dy, t.method), t.message);
}

const std::string kLength = "wkb_list and id_list must have the same length";
const std::string kSize = " must be a finite, non-zero cell size, got ";

INSTANTIATE_TEST_SUITE_P(
    Checks, Refused,
    ::testing::Values(BadCall{2, 0, kNaN, "Exact", kLength}, BadCall{0, 1, 1, "center", kLength},
                      BadCall{1, 0, 1, "Exact", "Unknown method 'Exact'. Supported: 'exact', 'center'"},
                      BadCall{1, 1, 1, "centre", "Unknown method 'centre'. Supported: 'exact', 'center'"},
                      BadCall{1, 0, 1, "center", "dx" + kSize + "0"},
                      BadCall{1, kNaN, 1, "center", "dx" + kSize + "NaN"},
                      BadCall{1, 1, kInf, "center", "dy" + kSize + "inf"},
                      BadCall{1, 1, -0.0, "center", "dy" + kSize + "-0"}));

TEST(Building, ZonesInInputOrderAtTheirGridOffsets) {
    const Bytes quarter = polygon_wkb({square(2, 3, 0.5), {}});
    EXPECT_EQ(build({quarter}, {1}, 1, 1, "exact").zones.at(0).dense().values(), std::vector<float>{0.25f});
    EXPECT_EQ(build({quarter}, {1}).zones.at(0).dense().values(), std::vector<float>{0.0f});
    // Geometries without a window have no zone; a window without covered centers has one.
    const Bytes outside = polygon_wkb({square(20, 20, 1), {}}, B), tiny = polygon_wkb({square(0.1, 0.1, 0.2), {}});
    const CacheRecord r = build(
        {kInside, outside, polygon_wkb({}), multipolygon_wkb({}, L), multipolygon_wkb({{}, {}}, B), tiny, kInside},
        {42, 2, 3, 4, 5, 6, 42});
    ASSERT_EQ(ids_of(r), (Ids{42, 6, 42}));
    EXPECT_EQ(placement(r.zones[0]), (Indices{5, 2, 2, 2}));
    EXPECT_EQ(r.zones[0].dense().values(), (std::vector<float>{1, 1, 1, 1}));
    EXPECT_EQ(r.zones[1].dense().values(), std::vector<float>{0});
}

TEST(Building, GridKeptAsGivenAndNegativeSizesCoverNothing) {
    const CacheRecord a = build_cache({}, {}, 0, 0, 10, 10, 4, 4.1, "exact");
    EXPECT_TRUE(a.zones.empty());
    EXPECT_EQ(std::vector<double>({a.grid.xmax, a.grid.dy}), std::vector<double>({10.0, 4.1}));
    EXPECT_EQ((Indices{a.grid.rows, a.grid.cols}), (Indices{2, 3}));
    const CacheRecord neg = build({kInside}, {1}, -1, 1);
    EXPECT_EQ(neg.grid.cols, 0u);
    EXPECT_TRUE(neg.zones.empty());
}

TEST(Merging, PartsShareOneWindowAndOverlapsAdd) {
    const CacheRecord twice = build({multipolygon_wkb({{square(2, 3, 2), {}}, {square(3, 3, 2), {}}}, B, {L, B})}, {9});
    ASSERT_EQ(twice.zones.size(), 1u);
    EXPECT_EQ(placement(twice.zones[0]), (Indices{5, 2, 2, 3}));
    EXPECT_EQ(twice.zones[0].dense().values(), (std::vector<float>{1, 2, 1, 1, 2, 1}));
    // The bottom-left cell and one near the top right, plus a part outside the grid.
    const CacheRecord apart =
        build({multipolygon_wkb({{square(0, 0, 1), {}}, {square(30, 30, 1), {}}, {square(8, 8, 1), {}}}, L)}, {3});
    ASSERT_EQ(apart.zones.size(), 1u);
    EXPECT_EQ(placement(apart.zones[0]), (Indices{1, 0, 9, 9}));
    std::vector<float> want(81, 0.0f);
    want[8] = want[72] = 1.0f;  // (0, 8) and (8, 0)
    EXPECT_EQ(apart.zones[0].dense().values(), want);
}

TEST(Failures, BadGeometryLaterInTheListFailsTheWholeBuild) {
    const Bytes point = WkbBuilder{}.header(1, L).u32(0, L).u32(0, L).u32(0, L).u32(0, L).bytes;
    EXPECT_EQ(failure<InputError>({kInside, kInside, kInside, point}, {0, 1, 2, 3}),
              "Unsupported WKB geometry type: 1");
    EXPECT_EQ(failure<InputError>({kInside, Bytes{1, 3}}, {0, 1}), "WKB too short");
    const Bytes truncated(kInside.begin(), kInside.end() - 3);
    EXPECT_EQ(failure<InputError>({kInside, truncated}, {0, 1}).rfind("index out of range", 0), 0u);
}

// A NaN or infinite coordinate anywhere (a hole, a later part) is refused under both
// methods; it used to give NaN statistics, an internal error or a finite wrong count.
class NonFinite : public ::testing::TestWithParam<double> {};

TEST_P(NonFinite, CoordinateRefusedUnderBothMethods) {
    const double v = GetParam();
    Ring ring = square(1, 1, 3);
    ring[2].x = v;
    const Polygon hole_bad{square(0, 0, 9), {square(2, 2, 1), ring}};
    for (const Bytes& wkb : {polygon_wkb({ring, {}}), polygon_wkb(hole_bad, B),
                             multipolygon_wkb({{square(5, 5, 1), {}}, {ring, {}}}, L)}) {
        for (const char* method : {"exact", "center"}) {
            const std::string msg = failure<InputError>({kInside, wkb}, {1, 2}, 1, 1, method);
            EXPECT_EQ(msg.rfind("WKB geometry has a non-finite coordinate (", 0), 0u) << msg;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Coordinates, NonFinite, ::testing::Values(kNaN, kInf, -kInf));

// Grids whose cells the coordinates cannot resolve, or whose cell area leaves the double
// range, are refused with the reason; they used to store NaN fractions or drop zones.
struct Unresolvable {
    double origin, extent, size;
    std::string reason;
};

class UnresolvableGrids : public ::testing::TestWithParam<Unresolvable> {};

TEST_P(UnresolvableGrids, RefusedWithTheReason) {
    const Unresolvable& t = GetParam();
    const std::vector<Bytes> wkb{polygon_wkb({square(t.origin, t.origin, t.extent / 2), {}})};
    const Ids id{1};
    for (const char* method : {"exact", "center"}) {
        const std::string msg = error_of<InputError>([&] {
            build_cache(wkb, id, t.origin, t.origin, t.origin + t.extent, t.origin + t.extent, t.size, t.size, method);
        });
        EXPECT_EQ(msg.rfind("grid ", 0), 0u) << msg;
        EXPECT_NE(msg.find(t.reason), std::string::npos) << msg;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Checks, UnresolvableGrids,
    ::testing::Values(Unresolvable{0, 4, 1e-20, "only 8.881784197001252e-16 apart"},
                      Unresolvable{1e17, 64, 1, "dx = 1.0 on the extent xmin = 1e17, xmax = 1.0000000000000006e17"},
                      Unresolvable{0, 1e157, 1e155, "area of inf"}, Unresolvable{0, 1e-298, 1e-300, "area of 0.0"},
                      Unresolvable{0, 1e-120, 1e-126, "outside the range 1e-250 to 1e250"},
                      Unresolvable{0, kInf, 1, "the extent must be finite"}));

// Just inside the limits the same checks let the grid through and cover the cells right.
TEST(Building, GridsAtTheLimitsOfResolutionStillCover) {
    for (const auto& [origin, size] : {std::pair{1e15, 1.0}, std::pair{0.0, 1e-120}, std::pair{0.0, 1e120}}) {
        const std::vector<Bytes> wkb{polygon_wkb({square(origin + size, origin + size, 2 * size), {}})};
        const Ids id{1};
        const CacheRecord r =
            build_cache(wkb, id, origin, origin, origin + 4 * size, origin + 4 * size, size, size, "exact");
        ASSERT_EQ(r.zones.size(), 1u) << origin << " " << size;
        // Cell lines off the exact multiples may widen the window; the four cells stay whole.
        const std::vector<float> v = r.zones[0].dense().values();
        EXPECT_EQ(std::count(v.begin(), v.end(), 1.0f), 4) << origin << " " << size;
        EXPECT_EQ(std::count(v.begin(), v.end(), 0.0f), static_cast<std::ptrdiff_t>(v.size()) - 4);
    }
}

TEST(Failures, GiantWindowsRefusedBeforeAllocation) {
    // One polygon covering a grid of 10^30 cells; two small parts at opposite corners of a
    // 10^12 x 10^12 grid, whose merged window is as huge.
    const Bytes huge = polygon_wkb({square(0, 0, 1e15), {}});
    const Bytes corners = multipolygon_wkb({{square(0, 0, 1), {}}, {square(1e12 - 1, 1e12 - 1, 1), {}}}, B);
    for (const auto& [wkb, extent] : {std::pair{huge, 1e15}, std::pair{corners, 1e12}}) {
        const std::string msg = failure<InputError>({wkb}, {1}, 1, 1, "center", extent);
        EXPECT_NE(msg.find("too large"), std::string::npos) << msg;
    }
}

}  // namespace

namespace {

// Every fraction outside a row's span is <= 0; where the width stores spans, both ends of a
// span hold fractions that are not (a NaN is one), so no call reads a margin cell.
class Spans : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(Spans, BoundEveryFractionThatCounts) {
    const std::uint64_t rows = 5, cols = GetParam();
    Matrix<float> m(rows, cols, 0.0f);
    m(1, cols - 1) = kNaN;
    m(2, 0) = 0.25f;
    if (cols > 1) m(2, cols - 1) = -0.5f;
    m(3, cols / 2) = 1.0f;
    for (std::uint64_t j = 0; j < cols; ++j) m(4, j) = -0.0f;
    const Zone b(DenseFractions{m, 3, 4}, 9);
    EXPECT_EQ(b.id, 9);
    for (std::uint64_t i = 0; i < rows; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const ColumnSpan s = b.span(i);
        ASSERT_LE(s.first, s.end);
        ASSERT_LE(s.end, cols);
        for (std::uint64_t j = 0; j < cols; ++j) {
            if (j < s.first || j >= s.end) {
                EXPECT_LE(m(i, j), 0.0f) << j;
            }
        }
        if (s.first < s.end) {
            EXPECT_FALSE(m(i, s.first) <= 0.0f);
            EXPECT_FALSE(m(i, s.end - 1) <= 0.0f);
        }
        // The row's run holds exactly the window's fractions from first to end.
        const RowRun r = b.row(i);
        for (std::uint64_t j = r.first; j < r.end; ++j) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(*r.at(j)), std::bit_cast<std::uint32_t>(m(i, j))) << j;
        }
    }
    EXPECT_TRUE(b.row(0).empty());
    EXPECT_TRUE(b.row(4).empty());   // -0.0 everywhere
    EXPECT_EQ(b.span(1).end, cols);  // a NaN at the window's last column is kept
    EXPECT_EQ(b.span(2).first, 0u);  // and a fraction at its first
    EXPECT_EQ(b.run_cells(), (cols - b.span(1).first) + (b.span(2).end) + 1);
    EXPECT_LE(b.heap_bytes(), b.run_cells() * sizeof(float) + 12 * rows + 8);
}

// A tall thin window whose rows are all empty but one, and an empty window: runs cost 4
// bytes a covered cell plus their row bounds, and the dense window comes back as it was,
// +0.0 where a margin held a negative fraction.
TEST(Runs, OneRowCoveredAndEmptyWindows) {
    Matrix<float> m(1000, 300, 0.0f);
    m(500, 7) = 0.5f;
    m(500, 9) = 1.0f;
    m(500, 299) = -1.0f;
    const Zone b(DenseFractions{m, 2, 3}, 1);
    EXPECT_EQ(b.rows(), 1000u);
    EXPECT_EQ(b.cols(), 300u);
    EXPECT_EQ(b.run_cells(), 3u);
    EXPECT_EQ(b.span(500).first, 7u);
    EXPECT_EQ(b.span(500).end, 10u);
    EXPECT_EQ(*b.row(500).at(8), 0.0f);
    EXPECT_TRUE(b.row(499).empty() && b.row(501).empty() && b.row(0).empty() && b.row(999).empty());
    EXPECT_LE(b.heap_bytes(), 3 * sizeof(float) + 12 * 1001);
    m(500, 299) = 0.0f;
    EXPECT_EQ(b.dense().values(), m.values());
    const Zone none(DenseFractions{}, 2);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.run_cells(), 0u);
    EXPECT_TRUE(none.dense().empty());
}

INSTANTIATE_TEST_SUITE_P(Widths, Spans, ::testing::Values(1, 19, 20, 65535, 65536));

}  // namespace
