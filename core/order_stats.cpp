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

constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
double value_of(std::uint64_t key) { return std::bit_cast<double>((key & kSign) != 0 ? key & ~kSign : ~key); }

constexpr int kDigitBits = 11;
constexpr int kPasses = (64 + kDigitBits - 1) / kDigitBits;
constexpr int kHighPasses = kPasses / 2;  // digits kHighPasses.. hold the top 31 bits
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
using Counts = std::array<std::uint32_t, kBuckets>;
// Below this a comparison sort beats clearing the radix histograms.
constexpr std::size_t kRadixMin = 256;

std::size_t digit(std::uint64_t key, int pass) {
    return static_cast<std::size_t>(key >> (pass * kDigitBits)) & (kBuckets - 1);
}

bool by_key(const KeyedWeight& a, const KeyedWeight& b) { return a.key < b.key; }

// Stable, in place and allocation-free: what the short runs left by the radix passes need
// (a library stable sort asks for a temporary buffer on every call).
void insertion_sort(KeyedWeight* first, KeyedWeight* last) {
    for (KeyedWeight* i = first + 1; i < last; ++i) {
        const KeyedWeight x = *i;
        KeyedWeight* j = i;
        for (; j > first && x.key < j[-1].key; --j) *j = j[-1];
        *j = x;
    }
}

// Small enough for insertion, whose quadratic cost is then below a merge sort's overhead.
constexpr std::size_t kInsertionMax = 32;

// Stable least-significant-digit passes [first, last) over cells[0, n), `counts` holding
// each pass's histogram; a pass in which every key has the same digit is skipped. Returns
// where the result lies (cells or spare).
KeyedWeight* radix_passes(KeyedWeight* cells, KeyedWeight* spare, std::size_t n, Counts* counts, int first, int last) {
    KeyedWeight* from = cells;
    KeyedWeight* to = spare;
    for (int p = first; p < last; ++p) {
        Counts& count = counts[p];
        if (count[digit(from[0].key, p)] == n) continue;
        std::uint32_t at = 0;
        for (std::uint32_t& c : count) at += std::exchange(c, at);
        for (std::size_t i = 0; i < n; ++i) to[count[digit(from[i].key, p)]++] = from[i];
        std::swap(from, to);
    }
    return from;
}

// A stable sort by key in linear passes where a comparison sort needs log2(n) of them,
// which is what makes a median cost a small multiple of a mean. The top half of the key is
// radix-sorted first; cells then differ in the low half only within runs of equal top
// halves, which continuous data makes short (finished by insertion) and class data makes
// uniform (nothing to do). Long mixed runs get the low passes of their own.
void sort_by_key(CellBuffer& cells, CellBuffer& spare) {
    const std::size_t n = cells.size();
    if (n <= kInsertionMax) {
        if (n > 1) insertion_sort(cells.data(), cells.data() + n);
        return;
    }
    if (n < kRadixMin) {
        std::stable_sort(cells.begin(), cells.end(), by_key);
        return;
    }
    // Only the histograms of the passes below are cleared now: clearing all of them costs
    // as much as sorting a few hundred cells.
    std::array<Counts, kPasses> counts;
    for (int p = kHighPasses; p < kPasses; ++p) counts[p].fill(0);
    for (const KeyedWeight& c : cells) {
        for (int p = kHighPasses; p < kPasses; ++p) ++counts[p][digit(c.key, p)];
    }
    spare.resize(n);
    if (radix_passes(cells.data(), spare.data(), n, counts.data(), kHighPasses, kPasses) != cells.data()) {
        cells.swap(spare);
    }
    constexpr int kLowBits = kHighPasses * kDigitBits;
    KeyedWeight* c = cells.data();
    for (std::size_t i = 0; i < n;) {
        const std::uint64_t top = c[i].key >> kLowBits;
        std::size_t j = i + 1;
        bool uniform = true;
        for (; j < n && (c[j].key >> kLowBits) == top; ++j) uniform = uniform && c[j].key == c[i].key;
        const std::size_t len = j - i;
        if (uniform) {
            // already in order
        } else if (len <= kInsertionMax) {
            insertion_sort(c + i, c + j);
        } else if (len < kRadixMin) {
            std::stable_sort(c + i, c + j, by_key);
        } else {
            for (int p = 0; p < kHighPasses; ++p) counts[p].fill(0);
            for (std::size_t k = i; k < j; ++k) {
                for (int p = 0; p < kHighPasses; ++p) ++counts[p][digit(c[k].key, p)];
            }
            KeyedWeight* sorted = radix_passes(c + i, spare.data(), len, counts.data(), 0, kHighPasses);
            if (sorted != c + i) std::copy(sorted, sorted + len, c + i);
        }
        i = j;
    }
}

}  // namespace

void group_values(CellBuffer& cells, CellBuffer& spare, ValueGroups& out) {
    sort_by_key(cells, spare);
    out.groups.clear();
    const std::size_t n = cells.size();
    if (n == 0) return;
    // One pass, a group closed whenever the key changes. Gathered weights are > 0, so
    // starting a group's sum at its first weight equals adding that weight to 0.0.
    const KeyedWeight* c = cells.data();
    std::uint64_t k = c[0].key;
    double w = c[0].weight;
    double running = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        if (c[i].key == k) {
            w = w + c[i].weight;
            continue;
        }
        running = running + w;
        out.groups.push_back({value_of(k), w, running});
        k = c[i].key;
        w = c[i].weight;
    }
    running = running + w;
    out.groups.push_back({value_of(k), w, running});
}

double weighted_quantile(const ValueGroups& g, double q) {
    if (g.empty()) return kNaN;
    const double target = q * g.total();
    // First group whose cumulative weight reaches the target; the last one always does
    // for q <= 1, since its cumulative weight is the total itself.
    const auto it = std::lower_bound(g.groups.begin(), g.groups.end(), target,
                                     [](const ValueGroup& a, double t) { return a.cumulative < t; });
    return it == g.groups.end() ? g.groups.back().value : it->value;
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
