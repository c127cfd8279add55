#include "order_stats.h"

#include <algorithm>
#include <limits>

namespace quorvalis {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

void group_values(std::vector<WeightedValue>& cells, ValueGroups& out) {
    // Ordering by weight as well makes every sum below a function of the multiset alone.
    std::sort(cells.begin(), cells.end(), [](const WeightedValue& a, const WeightedValue& b) {
        return a.value < b.value || (a.value == b.value && a.weight < b.weight);
    });
    out.groups.clear();
    out.cumulative.clear();
    double running = 0.0;
    for (std::size_t i = 0; i < cells.size();) {
        const double v = cells[i].value;
        double w = 0.0;
        for (; i < cells.size() && cells[i].value == v; ++i) w = w + cells[i].weight;
        running = running + w;
        out.groups.push_back({v, w});
        out.cumulative.push_back(running);
    }
}

double weighted_quantile(const ValueGroups& g, double q) {
    if (g.empty()) return kNaN;
    const double target = q * g.total();
    // First group whose cumulative weight reaches the target; the last one always does
    // for q <= 1, since its cumulative weight is the total itself.
    const auto it = std::lower_bound(g.cumulative.begin(), g.cumulative.end(), target);
    const std::size_t k = it == g.cumulative.end() ? g.groups.size() - 1 : static_cast<std::size_t>(it - g.cumulative.begin());
    return g.groups[k].value;
}

namespace {
template <class Better>
double extreme_weight_value(const ValueGroups& g, Better better) {
    if (g.empty()) return kNaN;
    std::size_t best = 0;
    // Strictly better only, so on equal totals the first (smallest) value stays.
    for (std::size_t k = 1; k < g.groups.size(); ++k) {
        if (better(g.groups[k].weight, g.groups[best].weight)) best = k;
    }
    return g.groups[best].value;
}
}  // namespace

double majority(const ValueGroups& g) {
    return extreme_weight_value(g, [](double a, double b) { return a > b; });
}

double minority(const ValueGroups& g) {
    return extreme_weight_value(g, [](double a, double b) { return a < b; });
}

}  // namespace quorvalis
