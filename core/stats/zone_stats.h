// The statistics the package engine offers by name, and the reduction of the order and
// class statistics (order_stats.h) over a range of zones of one raster block. The
// streaming statistics (mean, sum, ... , nodata_count, coverage) are the kernels of
// stats.h; this file only names them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "record/zone.h"
#include "stats/order_stats.h"
#include "stats/stats.h"

namespace quorvalis {

enum class ZoneStat : std::uint8_t {
    Mean,
    Sum,
    Count,
    Min,
    Max,
    Variance,
    Stdev,
    WeightedMean,
    WeightedSum,
    Median,
    Quantile,
    Range,
    Majority,
    Minority,
    Variety,
    Frac,
    NodataCount,
    Coverage,
};

// In ZoneStat order.
inline constexpr std::string_view kZoneStatNames[] = {
    "mean",   "sum",      "count", "min",      "max",      "variance", "stdev", "weighted_mean", "weighted_sum",
    "median", "quantile", "range", "majority", "minority", "variety",  "frac",  "nodata_count",  "coverage",
};

// What callers may rely on per statistic, in ZoneStat order. streams: results of parts of
// a window (spatial chunks) combine into the whole's; order: needs the zone's whole window
// at once (the complement); count_like: 0, not NaN, for a zone with nothing to count;
// unitless: the result does not keep the raster's units.
struct ZoneStatInfo {
    bool streams;
    bool count_like;
    bool unitless;
    bool order;
};

inline constexpr ZoneStatInfo kZoneStatInfo[] = {
    {true, false, false, false},  // mean
    {true, true, true, false},    // sum
    {true, true, true, false},    // count
    {true, false, false, false},  // min
    {true, false, false, false},  // max
    {true, false, true, false},   // variance
    {true, false, false, false},  // stdev
    {true, false, false, false},  // weighted_mean
    {true, true, true, false},    // weighted_sum
    {false, false, false, true},  // median
    {false, false, false, true},  // quantile
    {true, false, false, false},  // range
    {false, false, false, true},  // majority
    {false, false, false, true},  // minority
    {false, true, true, true},    // variety
    {false, false, true, true},   // frac
    {true, true, true, false},    // nodata_count
    {true, true, true, false},    // coverage
};
static_assert(std::size(kZoneStatInfo) == std::size(kZoneStatNames));

// Exact, case-sensitive name; anything else throws InputError naming every accepted one.
ZoneStat parse_zone_stat(std::string_view name);

// What the order reduction computes; outputs are row-major (steps, n_zones[, k]) arrays
// owned by the caller, null where not requested. Each zone writes only its own elements,
// so disjoint zone ranges may run at once.
struct OrderRequest {
    std::span<const double> quantiles;  // each in [0, 1]
    double* median = nullptr;
    double* quantile = nullptr;  // trailing axis of quantiles.size()
    double* majority = nullptr;
    double* minority = nullptr;
    double* variety = nullptr;
    bool frac = false;
};

// One zone's class shares at one step: its distinct values with weight / total weight.
struct ClassShares {
    std::uint64_t step;
    std::vector<WeightedValue> shares;  // empty when the zone has no weight at this step
};

// Per-thread storage reused from zone to zone.
struct OrderScratch {
    CellBuffer cells;
    QuantileScratch work;        // its sort storage and groups serve the class statistics too
    std::vector<double> counts;  // a bucket per value of a small integer type, kept at zero
};

// The streaming statistic a name stands for (mean ... weighted_sum, nodata_count, coverage).
std::optional<Stat> streaming_stat(ZoneStat s);

// Reduces zones [begin, end) of `in`, after the checks of check_inputs().
// frac_out[k - begin] receives zone k's shares, one entry per step.
void reduce_order_stats(std::span<const Zone> zones, const StatInputs& in, std::size_t begin, std::size_t end,
                        const OrderRequest& request, OrderScratch& scratch,
                        std::span<std::vector<ClassShares>> frac_out);

}  // namespace quorvalis
