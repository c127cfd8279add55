#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "cache.h"
#include "error.h"
#include "wkb_builder.h"

namespace {

using namespace quorvalis;
using quorvalis::testing::multipolygon_wkb;
using quorvalis::testing::Order;
using quorvalis::testing::polygon_wkb;
using quorvalis::testing::square;
using Bytes = std::vector<std::uint8_t>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

CacheRecord build(const std::vector<Bytes>& wkbs, const std::vector<std::int64_t>& ids, double dx = 1, double dy = 1,
                  std::string_view method = "center", double extent = 10) {
    return build_cache(wkbs, ids, 0, 0, extent, extent, dx, dy, method);
}

template <class Error>
std::string failure(const std::vector<Bytes>& wkbs, const std::vector<std::int64_t>& ids, double dx, double dy,
                    std::string_view method, double extent = 10) {
    try {
        build(wkbs, ids, dx, dy, method, extent);
    } catch (const Error& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

std::vector<std::int64_t> ids_of(const CacheRecord& r) {
    std::vector<std::int64_t> ids;
    for (const Basin& b : r.basins) ids.push_back(b.id);
    return ids;
}

const Bytes kInside = polygon_wkb({square(2, 3, 2), {}});

struct BadCall {
    const char* name;
    std::size_t n_ids;
    double dx, dy;
    std::string method;
    std::string message;
};

class Refused : public ::testing::TestWithParam<BadCall> {};

TEST_P(Refused, FirstFailingCheckReported) {
    const BadCall& t = GetParam();
    const std::vector<std::int64_t> ids(t.n_ids, 7);
    EXPECT_EQ(failure<InputError>({kInside}, ids, t.dx, t.dy, t.method), t.message);
}

const std::string kLength = "wkb_list and id_list must have the same length";

INSTANTIATE_TEST_SUITE_P(
    Checks, Refused,
    ::testing::Values(
        BadCall{"length_before_all", 2, 0, kNaN, "Exact", kLength},
        BadCall{"length_none", 0, 1, 1, "center", kLength},
        BadCall{"method_case", 1, 0, 1, "Exact", "Unknown method 'Exact'. Supported: 'exact', 'center'"},
        BadCall{"method_spelling", 1, 1, 1, "centre", "Unknown method 'centre'. Supported: 'exact', 'center'"},
        BadCall{"dx_zero", 1, 0, 1, "center", "dx must be a finite, non-zero cell size, got 0"},
        BadCall{"dx_nan", 1, kNaN, 1, "center", "dx must be a finite, non-zero cell size, got NaN"},
        BadCall{"dy_inf", 1, 1, kInf, "center", "dy must be a finite, non-zero cell size, got inf"},
        BadCall{"dy_neg_zero", 1, 1, -0.0, "center", "dy must be a finite, non-zero cell size, got -0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Building, MethodChosenByName) {
    const Bytes quarter = polygon_wkb({square(2, 3, 0.5), {}});
    EXPECT_EQ(build({quarter}, {1}, 1, 1, "exact").basins.at(0).coverage.data, std::vector<float>{0.25f});
    EXPECT_EQ(build({quarter}, {1}, 1, 1, "center").basins.at(0).coverage.data, std::vector<float>{0.0f});
}

TEST(Building, EmptyListsGiveNoBasins) {
    const CacheRecord r = build({}, {}, 1, 1, "exact");
    EXPECT_TRUE(r.basins.empty());
    EXPECT_EQ(r.grid.rows, 10u);
}

TEST(Building, GridKeptAsGivenWithDerivedCounts) {
    const CacheRecord a = build_cache({}, {}, 0, 0, 10, 10, 4, 4.1, "center");
    EXPECT_EQ(a.grid.cols, 3u);  // 2.5 rounds up
    EXPECT_EQ(a.grid.rows, 2u);
    EXPECT_EQ(a.grid.xmax, 10.0);
    EXPECT_EQ(a.grid.dy, 4.1);
    // negative sizes are not refused: they give an empty axis and no coverage
    const CacheRecord neg = build({kInside}, {1}, -1, 1);
    EXPECT_EQ(neg.grid.cols, 0u);
    EXPECT_TRUE(neg.basins.empty());
}

TEST(Building, WindowPlacedAtItsGridOffset) {
    const CacheRecord r = build({kInside}, {42});
    ASSERT_EQ(r.basins.size(), 1u);
    const Basin& b = r.basins[0];
    EXPECT_EQ(b.id, 42);
    EXPECT_EQ(b.row_offset, 5u);
    EXPECT_EQ(b.col_offset, 2u);
    EXPECT_EQ(b.coverage.rows, 2u);
    EXPECT_EQ(b.coverage.cols, 2u);
    EXPECT_EQ(b.coverage.data, (std::vector<float>{1, 1, 1, 1}));
}

TEST(Building, GeometriesWithoutCoverageHaveNoBasin) {
    const Bytes outside = polygon_wkb({square(20, 20, 1), {}}, Order::Big);
    const Bytes no_rings = polygon_wkb({});
    const Bytes no_parts = multipolygon_wkb({}, Order::Little);
    const Bytes only_empty_parts = multipolygon_wkb({{}, {}}, Order::Big);
    const Bytes tiny = polygon_wkb({square(0.1, 0.1, 0.2), {}});  // misses its cell's centre but has a window
    const CacheRecord r =
        build({kInside, outside, no_rings, no_parts, only_empty_parts, tiny, kInside}, {1, 2, 3, 4, 5, 6, 1});
    EXPECT_EQ(ids_of(r), (std::vector<std::int64_t>{1, 6, 1}));
    EXPECT_EQ(r.basins[1].coverage.data, std::vector<float>{0});
}

TEST(Merging, OverlappingPartsAdd) {
    const Bytes twice = multipolygon_wkb({{square(2, 3, 2), {}}, {square(3, 3, 2), {}}}, Order::Big,
                                         {Order::Little, Order::Big});
    const CacheRecord r = build({twice}, {9});
    ASSERT_EQ(r.basins.size(), 1u);
    const Basin& b = r.basins[0];
    EXPECT_EQ(b.row_offset, 5u);
    EXPECT_EQ(b.col_offset, 2u);
    EXPECT_EQ(b.coverage.cols, 3u);
    EXPECT_EQ(b.coverage.data, (std::vector<float>{1, 2, 1, 1, 2, 1}));
}

TEST(Merging, FarApartPartsShareOneWindow) {
    // bottom-left cell and a cell near the top right, plus a part outside the grid
    const Bytes apart = multipolygon_wkb(
        {{square(0, 0, 1), {}}, {square(30, 30, 1), {}}, {square(8, 8, 1), {}}}, Order::Little);
    const CacheRecord r = build({apart}, {3});
    ASSERT_EQ(r.basins.size(), 1u);
    const Basin& b = r.basins[0];
    EXPECT_EQ(b.row_offset, 1u);
    EXPECT_EQ(b.col_offset, 0u);
    ASSERT_EQ(b.coverage.rows, 9u);
    ASSERT_EQ(b.coverage.cols, 9u);
    for (std::uint64_t i = 0; i < 9; ++i) {
        for (std::uint64_t j = 0; j < 9; ++j) {
            const bool part = (i == 8 && j == 0) || (i == 0 && j == 8);
            EXPECT_EQ(b.coverage(i, j), part ? 1.0f : 0.0f) << i << "," << j;
        }
    }
}

TEST(Failures, BadGeometryLaterInTheListFailsTheWholeBuild) {
    const Bytes point{0x01, 0x01, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(failure<InputError>({kInside, kInside, kInside, point}, {0, 1, 2, 3}, 1, 1, "center"),
              "Unsupported WKB geometry type: 1");
    EXPECT_EQ(failure<InputError>({kInside, Bytes{1, 3}}, {0, 1}, 1, 1, "center"), "WKB too short");
    Bytes truncated = kInside;
    truncated.resize(truncated.size() - 3);
    EXPECT_EQ(failure<InternalError>({kInside, truncated}, {0, 1}, 1, 1, "center").rfind("index out of range", 0),
              0u);
}

TEST(Failures, GiantWindowsRefusedBeforeAllocation) {
    // One polygon covering a grid of 10^30 cells.
    const std::string msg = failure<InputError>({polygon_wkb({square(0, 0, 1e15), {}})}, {1}, 1, 1, "center", 1e15);
    EXPECT_NE(msg.find("too large"), std::string::npos) << msg;
    // Two small parts at opposite corners of a 10^12 x 10^12 grid: the merged window is huge.
    const Bytes corners = multipolygon_wkb({{square(0, 0, 1), {}}, {square(1e12 - 1, 1e12 - 1, 1), {}}}, Order::Big);
    const std::string merged = failure<InputError>({corners}, {1}, 1, 1, "center", 1e12);
    EXPECT_NE(merged.find("too large"), std::string::npos) << merged;
}

}  // namespace
