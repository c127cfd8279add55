#include "zone_stats.h"

#include <algorithm>
#include <limits>
#include <string>

#include "error.h"

namespace quorvalis {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Gathers the (value, weight) pairs of basin b at step t that order statistics count.
void gather(const Basin& b, const BlockSource& src, std::uint64_t t, std::vector<WeightedValue>& cells) {
    cells.clear();
    const RasterStack& r = src.raster;
    const Matrix<float>& cov = b.coverage;
    for (std::uint64_t i = 0; i < cov.rows; ++i) {
        const std::uint64_t gr = b.row_offset + i;
        if (gr < src.origin_row || gr - src.origin_row >= r.rows) continue;
        const std::uint64_t row = gr - src.origin_row;
        for (std::uint64_t j = 0; j < cov.cols; ++j) {
            const std::uint64_t gc = b.col_offset + j;
            if (gc < src.origin_col || gc - src.origin_col >= r.cols) continue;
            const std::uint64_t col = gc - src.origin_col;
            const float f = cov(i, j);
            if (f <= 0.0f) continue;
            const double v = r.slice(t).at(row, col);
            if (!is_valid(v, src.nodata)) continue;
            double w = static_cast<double>(f);
            if (src.weights != nullptr) {
                const double x = src.weights->at(row, col);
                if (!is_valid(x, src.weight_nodata)) continue;
                w = w * x;
            }
            if (!(w > 0.0)) continue;
            cells.push_back({v, w});
        }
    }
}
}  // namespace

ZoneStat parse_zone_stat(std::string_view name) {
    for (std::size_t k = 0; k < std::size(kZoneStatNames); ++k) {
        if (kZoneStatNames[k] == name) return static_cast<ZoneStat>(k);
    }
    std::string supported;
    for (std::string_view n : kZoneStatNames) supported += (supported.empty() ? "" : ", ") + std::string(n);
    throw InputError("Unknown stat '" + std::string(name) + "'. Supported: " + supported);
}

void reduce_order_stats(const CacheRecord& cache, const BlockSource& source, std::size_t begin, std::size_t end,
                        const OrderRequest& request, OrderScratch& scratch, std::span<std::vector<ClassShares>> frac_out) {
    const std::size_t n = cache.basins.size();
    const std::size_t nq = request.quantiles.size();
    for (std::size_t k = begin; k < end; ++k) {
        for (std::uint64_t t = 0; t < source.raster.steps; ++t) {
            gather(cache.basins[k], source, t, scratch.cells);
            const ValueGroups& g = scratch.groups;
            group_values(scratch.cells, scratch.groups);
            const std::size_t at = static_cast<std::size_t>(t) * n + k;
            if (request.median) request.median[at] = weighted_quantile(g, 0.5);
            for (std::size_t j = 0; j < nq; ++j) request.quantile[at * nq + j] = weighted_quantile(g, request.quantiles[j]);
            if (request.majority) request.majority[at] = majority(g);
            if (request.minority) request.minority[at] = minority(g);
            if (request.variety) request.variety[at] = static_cast<double>(g.groups.size());
            if (request.frac) {
                ClassShares& s = frac_out[k - begin].emplace_back(ClassShares{t, {}});
                const double total = g.total();
                s.shares.reserve(g.groups.size());
                for (const WeightedValue& v : g.groups) s.shares.push_back({v.value, v.weight / total});
            }
        }
    }
    (void)kNaN;
}

}  // namespace quorvalis
