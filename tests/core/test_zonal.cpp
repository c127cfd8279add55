#include <gtest/gtest.h>

#include "stats/zonal.h"
#include "wkb_builder.h"

namespace quorvalis {
namespace {

TEST(Zonal, BuildKeepsOrDropsEmptyZonesAndIgnoresThreads) {
    const Grid grid = checked_grid(0, 0, 10, 10, 1, 1);
    std::vector<std::vector<std::uint8_t>> wkb;
    for (int k = 0; k < 9; ++k)
        wkb.push_back(testing::polygon_wkb({testing::square(k % 3 == 0 ? 50 : k * 0.7, 1.3, 2.5), {}}));
    std::vector<std::span<const std::uint8_t>> views(wkb.begin(), wkb.end());
    BuildOptions kept;
    const CacheRecord one = build_zones(grid, views, {}, kept);
    kept.threads = 4;
    const CacheRecord four = build_zones(grid, views, {}, kept);
    ASSERT_EQ(one.zones.size(), 9u);
    for (std::size_t k = 0; k < 9; ++k) {
        EXPECT_EQ(one.zones[k].dense().values(), four.zones[k].dense().values());
        EXPECT_EQ(one.zones[k].empty(), k % 3 == 0);
    }
    kept.keep_empty = false;
    EXPECT_EQ(build_zones(grid, views, {}, kept).zones.size(), 6u);
}

}  // namespace
}  // namespace quorvalis
