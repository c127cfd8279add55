#include "zone_stats.h"

#include <algorithm>
#include <string>

#include "error.h"

namespace quorvalis {

namespace {

// The (value, weight) pairs of basin b at step t that order statistics count.
void gather(const Basin& b, const StatInputs& in, std::uint64_t t, std::vector<KeyedWeight>& cells) {
    cells.clear();
    visit_cells(b, in, t, [&](const Sample& s) {
        if (!s.value_valid || !s.weight_valid) return;
        const double w = s.coverage * s.weight;
        if (w > 0.0) cells.push_back({order_key(s.value), w});
    });
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

std::optional<Stat> streaming_stat(ZoneStat s) { return find_stat(kZoneStatNames[static_cast<std::size_t>(s)]); }

void reduce_order_stats(std::span<const Basin> basins, const StatInputs& in, std::size_t begin, std::size_t end,
                        const OrderRequest& request, OrderScratch& scratch, std::span<std::vector<ClassShares>> frac_out) {
    const std::size_t n = basins.size();
    const std::size_t nq = request.quantile != nullptr ? request.quantiles.size() : 0;
    for (std::size_t k = begin; k < end; ++k) {
        for (std::uint64_t t = 0; t < in.raster.steps; ++t) {
            gather(basins[k], in, t, scratch.cells);
            const ValueGroups& g = scratch.groups;
            group_values(scratch.cells, scratch.spare, scratch.groups);
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
                for (const ValueGroup& v : g.groups) s.shares.push_back({v.value, v.weight / total});
            }
        }
    }
}

}  // namespace quorvalis
