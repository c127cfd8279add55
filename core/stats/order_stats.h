// Order and class statistics of one zone: weighted quantiles (the median among them),
// majority, minority, variety and class fractions. All of them look only at the zone's
// distinct values and the total weight of each, so a zone is reduced by gathering its
// (value, weight) pairs, sorting them once and grouping equal values; every statistic is
// then read off the groups.
//
// A cell's weight is its coverage fraction, times the weights raster where one is given.
// Cells whose value or weight is not valid, or whose weight is not > 0, are never gathered:
// a quantile or a class share of a zero or negative weight has no meaning.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace quorvalis {

// A value with its weight (or its share of a total).
struct WeightedValue {
    double value;
    double weight;
};

// One distinct value of a zone (at one time step): the sum of its cells' weights, added
// in gather order (which is window order), and the running total of those sums over this
// and every smaller value.
struct ValueGroup {
    double value;
    double weight;
    double cumulative;
};

// The distinct values in ascending order. A zero's sign is not kept.
struct ValueGroups {
    std::vector<ValueGroup> groups;

    bool empty() const { return groups.empty(); }
    double total() const { return groups.empty() ? 0.0 : groups.back().cumulative; }
};

// A gathered cell: its value as a key that sorts like the value (-0.0 and +0.0 share one),
// and its weight.
struct KeyedWeight {
    std::uint64_t key;
    double weight;
};

// Grows without zero-filling: every slot of a gathered window is written before it is read,
// and a fill on each regrowth would cost one more pass over the window per zone.
template <class T>
struct NoFillAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = NoFillAllocator<U>;
    };
    NoFillAllocator() noexcept = default;
    template <class U>
    NoFillAllocator(const NoFillAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};

using CellBuffer = std::vector<KeyedWeight, NoFillAllocator<KeyedWeight>>;

inline std::uint64_t order_key(double v) {
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    // Adding 0.0 turns -0.0 into +0.0; then negative numbers get every bit flipped and
    // positive ones only the sign bit, which orders the bit patterns like the values.
    const auto bits = std::bit_cast<std::uint64_t>(v + 0.0);
    const auto negative = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63);  // all ones or none
    return bits ^ (negative | kSign);
}

// Sorts `cells` by key, keeping gather order among equal keys, and fills `out`. `spare` is
// working storage; reused storage makes a warm call allocation-free.
void group_values(CellBuffer& cells, CellBuffer& spare, ValueGroups& out);

// The smallest value v whose cumulative weight (all cells with values <= v) reaches q times
// the total: q = 0 gives the smallest value, q = 1 the largest, q = 0.5 the median (the
// lower of the two middle values when the weight splits evenly; no interpolation).
// NaN when there are no groups.
double weighted_quantile(const ValueGroups& g, double q);

// What the keys of some cells have in common: lo and hi the least and greatest, all the
// bits set in every one, any those set in at least one. Keys of more cells than those
// selected from (a superset) still bound them, which is all a selection asks.
struct Keys {
    std::uint64_t lo = ~std::uint64_t{0}, hi = 0, all = ~std::uint64_t{0}, any = 0;

    void add(std::uint64_t key) {
        lo = std::min(lo, key);
        hi = std::max(hi, key);
        all &= key;
        any |= key;
    }
    std::uint64_t varying() const { return all ^ any; }
};

// Weights summed by digit of the key in kHistogramLanes interleaved partial histograms
// (consecutive cells often share a bucket; separate lanes spare each addition the wait for
// the previous one's store), all zero outside the buckets the last cells reached: clearing
// and combining thousands of buckets for every zone would cost as much as the cells.
inline constexpr std::size_t kHistogramLanes = 4;
inline constexpr int kTopDigitBits = 11;
inline constexpr std::size_t kTopBuckets = std::size_t{1} << kTopDigitBits;

struct DigitHistogram {
    std::vector<double> sums;
    std::size_t first = 0, last = 0;  // sums[first, last) may be non-zero

    // Zeroes what the last use left, and returns lane 0; lane l lies l * buckets further.
    double* clear() {
        if (sums.empty()) sums.assign(kHistogramLanes * kTopBuckets, 0.0);
        std::fill(sums.begin() + static_cast<std::ptrdiff_t>(first), sums.begin() + static_cast<std::ptrdiff_t>(last),
                  0.0);
        first = last = 0;
        return sums.data();
    }
};

// The bucket of a key in the first histogram of a selection: its top bits (sign and
// exponent), so that a cell's bucket is known as it is gathered.
inline std::size_t top_digit(std::uint64_t key) { return static_cast<std::size_t>(key >> (64 - kTopDigitBits)); }

// Working storage of weighted_quantiles(), reused from call to call.
struct QuantileScratch {
    DigitHistogram top;  // weight by top digit of every cell, for all the quantiles of a call
    DigitHistogram sub;  // the same of the cells left after each narrowing
    CellBuffer part;     // those cells
    CellBuffer spare;
    ValueGroups groups;
};

// weighted_quantile(groups of `cells`, qs[j]) for each j, into out[j], bit for bit, but
// found by narrowing on the keys' digits rather than by sorting every cell: each narrowing
// keeps only the cells of the digit bucket where the cumulative weight crosses q times the
// total. Weights summed in another order than the groups' can round differently, so the
// value found is kept only if a bound on that rounding proves the sorted sums pick it too,
// or if no sum of these weights rounds at all (whole cells, weights of few bits); otherwise
// (a tie, or a near one, between sums that round) every cell is sorted after all, as they
// are for a few cells or more than two quantiles, where a sort costs less. `cells` is left
// in gather order unless it was sorted.
void weighted_quantiles(CellBuffer& cells, std::span<const double> qs, double* out, QuantileScratch& scratch);

// The most quantiles weighted_quantiles() selects from the top-digit histogram: each reads
// the cells about once more after that histogram, a sort about five times, so beyond this
// one sort serving them all costs less.
inline constexpr std::size_t kSelectMaxQuantiles = 2;

// The same, for cells whose top-digit histogram the gatherer built itself: scratch.top
// cleared, then the weight of each gathered cell with key k added (in any order) to the
// first lane at top_digit(k); `keys` bounds the cells' keys (see Keys).
void weighted_quantiles(CellBuffer& cells, const Keys& keys, std::span<const double> qs, double* out,
                        QuantileScratch& scratch);

// The value with the largest (majority) or smallest (minority) total weight; on equal
// totals the smallest such value. NaN when there are no groups.
double majority(const ValueGroups& g);
double minority(const ValueGroups& g);

}  // namespace quorvalis
