#include "order_stats.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

namespace quorvalis {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

namespace {

// Doubles' bit patterns turned into unsigned keys in the same order (for non-NaN values):
// negative numbers have every bit flipped, positive ones only the sign bit.
std::uint64_t key_of(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

constexpr int kDigitBits = 11;
constexpr int kPasses = (64 + kDigitBits - 1) / kDigitBits;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// Below this a comparison sort beats clearing the radix histograms.
constexpr std::size_t kRadixMin = 256;

// A stable sort by value: least significant digit first, skipping the passes in which
// every key has the same digit (the sign and exponent bits of most data). It runs in a
// few linear passes where a comparison sort needs log2(n) of them, which is what makes a
// median cost a small multiple of a mean.
void sort_by_value(std::vector<WeightedValue>& cells, std::vector<WeightedValue>& spare) {
    const std::size_t n = cells.size();
    if (n < kRadixMin) {
        std::stable_sort(cells.begin(), cells.end(),
                         [](const WeightedValue& a, const WeightedValue& b) { return a.value < b.value; });
        return;
    }
    std::array<std::array<std::uint32_t, kBuckets>, kPasses> counts{};
    for (const WeightedValue& c : cells) {
        const std::uint64_t key = key_of(c.value);
        for (int p = 0; p < kPasses; ++p) ++counts[p][(key >> (p * kDigitBits)) & (kBuckets - 1)];
    }
    spare.resize(n);
    WeightedValue* from = cells.data();
    WeightedValue* to = spare.data();
    for (int p = 0; p < kPasses; ++p) {
        std::array<std::uint32_t, kBuckets>& count = counts[p];
        if (count[(key_of(from[0].value) >> (p * kDigitBits)) & (kBuckets - 1)] == n) continue;
        std::uint32_t at = 0;
        for (std::uint32_t& c : count) at += std::exchange(c, at);
        for (std::size_t i = 0; i < n; ++i) {
            to[count[(key_of(from[i].value) >> (p * kDigitBits)) & (kBuckets - 1)]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != cells.data()) cells.swap(spare);
}

}  // namespace

void group_values(std::vector<WeightedValue>& cells, std::vector<WeightedValue>& spare, ValueGroups& out) {
    for (WeightedValue& c : cells) c.value = c.value + 0.0;  // -0.0 becomes +0.0: one key per zero
    sort_by_value(cells, spare);
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
