#include "stats/order_stats.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
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
using BucketCounts = std::array<std::uint32_t, kBuckets>;
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
KeyedWeight* radix_passes(KeyedWeight* cells, KeyedWeight* spare, std::size_t n, BucketCounts* counts, int first,
                          int last) {
    KeyedWeight* from = cells;
    KeyedWeight* to = spare;
    for (int p = first; p < last; ++p) {
        BucketCounts& count = counts[p];
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
    std::array<BucketCounts, kPasses> counts;
    for (int p = kHighPasses; p < kPasses; ++p) counts.data()[p].fill(0);
    for (const KeyedWeight& c : cells) {
        for (int p = kHighPasses; p < kPasses; ++p) ++counts.data()[p][digit(c.key, p)];
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
            for (int p = 0; p < kHighPasses; ++p) counts.data()[p].fill(0);
            for (std::size_t k = i; k < j; ++k) {
                for (int p = 0; p < kHighPasses; ++p) ++counts.data()[p][digit(c[k].key, p)];
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

namespace {

// Narrowing on digits of at most this many bits: the histograms stay in L1 and L2.
constexpr int kSelectBits = 11;
constexpr int kTopShift = 64 - kSelectBits;
// Narrowed to this few cells, the rest are sorted.
constexpr std::size_t kSelectSortMax = 48;
// Below this many cells, sorting them all costs less than the first histogram.
constexpr std::size_t kSelectMin = 256;
static_assert(kSelectMin > kSelectSortMax, "the top level always narrows before sorting");
static_assert(kSelectBits == kTopDigitBits, "the gatherers' top digit is the first narrowing's");
constexpr std::size_t kLanes = kHistogramLanes;

struct Digit {
    int shift, width;
    std::size_t buckets() const { return std::size_t{1} << width; }
    std::size_t of(std::uint64_t key) const { return static_cast<std::size_t>(key >> shift) & (buckets() - 1); }
};

constexpr Digit kTop{kTopShift, kSelectBits};

// Folds the lanes of h (buckets of a digit apart) into the first, over the buckets from
// the least key's to the greatest's (the digit is the highest bits that vary, so it grows
// with the key), leaving the others zero again.
void combine(DigitHistogram& h, Digit digit, const Keys& keys) {
    const std::size_t nb = digit.buckets();
    double* lanes = h.sums.data();
    h.first = digit.of(keys.lo);
    h.last = keys.lo <= keys.hi ? digit.of(keys.hi) + 1 : h.first;
    for (std::size_t d = h.first; d < h.last; ++d) {
        double w = lanes[d];
        for (std::size_t l = 1; l < kLanes; ++l) w = w + std::exchange(lanes[l * nb + d], 0.0);
        lanes[d] = w;
    }
}

// Sums the weights of cells [c, c + m) by digit into h.sums[h.first, h.last): a bucket is
// empty exactly when its sum is 0, all weights being > 0.
Keys histogram(const KeyedWeight* c, std::size_t m, Digit digit, DigitHistogram& h) {
    const std::size_t nb = digit.buckets();
    double* lanes = h.clear();
    Keys keys;
    const auto add = [&](const KeyedWeight& x, double* lane) {
        lane[digit.of(x.key)] += x.weight;
        keys.add(x.key);
    };
    std::size_t i = 0;
    for (; i + kLanes <= m; i += kLanes) {
        static_assert(kLanes == 4);
        add(c[i], lanes);
        add(c[i + 1], lanes + nb);
        add(c[i + 2], lanes + 2 * nb);
        add(c[i + 3], lanes + 3 * nb);
    }
    for (; i < m; ++i) add(c[i], lanes);
    combine(h, digit, keys);
    return keys;
}

// The weight of the cells before a run of them in key order, and through it.
struct WeightRange {
    double below, upto;
};

// The first non-empty bucket in which the running weight, from `at.upto`, reaches `target`,
// or the last non-empty one when rounding leaves every sum short of it; `at` becomes its range.
std::size_t crossing(const DigitHistogram& h, double target, WeightRange& at) {
    const double* weight = h.sums.data();
    double run = at.upto;
    std::size_t found = 0;
    for (std::size_t d = h.first; d < h.last; ++d) {
        if (weight[d] == 0.0) continue;
        at = {run, run + weight[d]};
        found = d;
        if (at.upto >= target) break;
        run = at.upto;
    }
    return found;
}

// Finds weighted_quantile(groups of cells[0, n), q) from the histogram of all of them
// on the top digit (s.top) and their key range, or returns false when rounding could make
// the sorted sums choose otherwise.
//
// Why a bound decides: the groups' running sums C_i (group sums in window order, added in
// value order) and the sums A_i found here are both sums of the same n positive weights,
// each within (2n + 2^18) u S of the exact sum (u = 2^-53, S the exact total; 2^18 covers
// the bucket and lane sums added at each of at most 66 histograms), and q T, T the
// total, is within about as much of q S. So when A of the groups below the candidate falls
// short of q T by more than four such errors and A through it exceeds q T by as much, C
// crosses q T exactly at the candidate too: the first group whose C reaches q T is the
// candidate. The smallest value has nothing below it, the largest nothing above.
//
// When every sum of the weights is exact (see sums_exact), A_i = C_i and no margin is
// needed: then even a tie, a group ending exactly at q T, is decided.
bool select_quantile(const KeyedWeight* cells, std::size_t n, const Keys& every, double total, bool exact, double q,
                     QuantileScratch& s, double& value) {
    const double target = q * total;
    const double margin = exact ? 0.0 : 16.0 * (2.0 * static_cast<double>(n) + 0x1p18) * 0x1p-53 * total;
    const auto decided = [&](const WeightRange& at, std::uint64_t key) {
        value = value_of(key);
        const bool after = key == every.lo || at.below < target - margin;
        const bool reaches = key == every.hi || (exact ? at.upto >= target : at.upto > target + margin);
        return after && reaches;
    };
    const KeyedWeight* c = cells;
    std::size_t m = n;
    Keys keys = every;
    WeightRange at{0.0, total};
    Digit digit = kTop;
    bool top = true;
    for (;;) {
        const std::uint64_t varying = keys.varying();
        if (varying == 0) return decided(at, keys.all);
        const int low = std::countr_zero(varying), high = static_cast<int>(std::bit_width(varying));
        if (m <= kSelectSortMax) {
            KeyedWeight* part = s.part.data();  // c is part: the top level has more cells
            insertion_sort(part, part + m);
            WeightRange g{at.below, at.below};
            for (std::size_t i = 0; i < m;) {
                std::size_t j = i + 1;
                double w = part[i].weight;
                for (; j < m && part[j].key == part[i].key; ++j) w = w + part[j].weight;
                g = {g.upto, g.upto + w};
                if (g.upto >= target || j == m) return decided(g, part[i].key);
                i = j;
            }
        }
        if (!top) {
            // The digit just below the bits all these keys share, and no lower than the
            // lowest bit that varies: when it holds every varying bit, a bucket is one key.
            digit.width = std::min({kSelectBits, static_cast<int>(std::bit_width(m)), high - low});
            digit.shift = std::max(low, high - digit.width);
            histogram(c, m, digit, s.sub);
        }
        at = {at.below, at.below};
        const std::size_t d = crossing(top ? s.top : s.sub, target, at);
        top = false;
        const std::uint64_t mask = digit.buckets() - 1;
        if (digit.shift <= low && high <= digit.shift + digit.width) {
            return decided(at, (keys.all & ~(mask << digit.shift)) | (std::uint64_t{d} << digit.shift));
        }
        if (((varying >> digit.shift) & mask) == 0) continue;  // all in one bucket: narrow by the keys' range
        // Every cell is written and only those of bucket d kept, which costs less than a
        // branch that goes either way. In place once c is part: writes never pass reads.
        // What the kept keys share is found after, over them alone: they are few.
        KeyedWeight* part = s.part.data();
        std::size_t k = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const KeyedWeight x = c[i];
            part[k] = x;
            k += digit.of(x.key) == d ? 1 : 0;
        }
        c = part;
        m = k;
        keys = Keys{};
        for (std::size_t i = 0; i < m; ++i) keys.add(part[i].key);
    }
}

// Whether every sum of the weights of cells [c, c + n), in any order, is exact: when all
// are multiples of 2^e (e the lowest set bit of any) and their total is below 2^(53 + e),
// every partial sum is such a multiple below 2^(53 + e), which a double holds exactly. A
// total rounded from a true sum at or above that bound cannot round below it.
bool sums_exact(const KeyedWeight* c, std::size_t n, double total) {
    constexpr std::uint64_t kMantissa = (std::uint64_t{1} << 52) - 1;
    int low = std::numeric_limits<int>::max();
    for (std::size_t i = 0; i < n; ++i) {
        const auto bits = std::bit_cast<std::uint64_t>(c[i].weight);  // > 0: no sign bit
        const auto exponent = static_cast<int>(bits >> 52);
        const std::uint64_t mantissa = exponent == 0 ? bits & kMantissa : (bits & kMantissa) | (kMantissa + 1);
        low = std::min(low, (exponent == 0 ? -1074 : exponent - 1075) + std::countr_zero(mantissa));
    }
    return total < std::ldexp(1.0, 53 + low);
}

}  // namespace

namespace {

// The quantiles of cells whose top-digit histogram is s.top, narrowed from there when the
// rounding bound allows, else read off the sorted cells.
void select_or_sort(CellBuffer& cells, const Keys& keys, std::span<const double> qs, double* out, QuantileScratch& s) {
    const std::size_t n = cells.size();
    bool selected = n >= kSelectMin && qs.size() <= kSelectMaxQuantiles;
    if (selected) {
        double total = 0.0;
        // Most buckets in the range are empty, and adding their zeros would only wait on
        // the sum before.
        for (std::size_t d = s.top.first; d < s.top.last; ++d) {
            if (s.top.sums[d] != 0.0) total = total + s.top.sums[d];
        }
        // Far from overflow and from subnormal products, where the bound holds.
        selected = total >= 0x1p-900 && total <= 0x1p900;
        if (selected) s.part.resize(n);  // the first narrowing keeps at most all
        int exact = -1;                  // not yet known: only a value the bound leaves open asks
        for (std::size_t j = 0; selected && j < qs.size(); ++j) {
            selected = select_quantile(cells.data(), n, keys, total, false, qs[j], s, out[j]);
            if (!selected && exact < 0) exact = sums_exact(cells.data(), n, total) ? 1 : 0;
            if (!selected && exact == 1)
                selected = select_quantile(cells.data(), n, keys, total, true, qs[j], s, out[j]);
        }
    }
    if (selected) return;
    group_values(cells, s.spare, s.groups);
    for (std::size_t j = 0; j < qs.size(); ++j) out[j] = weighted_quantile(s.groups, qs[j]);
}

}  // namespace

void weighted_quantiles(CellBuffer& cells, std::span<const double> qs, double* out, QuantileScratch& s) {
    if (qs.empty()) return;
    Keys keys;
    if (cells.size() >= kSelectMin && qs.size() <= kSelectMaxQuantiles)
        keys = histogram(cells.data(), cells.size(), kTop, s.top);
    select_or_sort(cells, keys, qs, out, s);
}

void weighted_quantiles(CellBuffer& cells, const Keys& keys, std::span<const double> qs, double* out,
                        QuantileScratch& s) {
    // One lane: nothing to fold, only the range to note.
    s.top.first = kTop.of(keys.lo);
    s.top.last = keys.lo <= keys.hi ? kTop.of(keys.hi) + 1 : s.top.first;
    if (!qs.empty()) select_or_sort(cells, keys, qs, out, s);
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
