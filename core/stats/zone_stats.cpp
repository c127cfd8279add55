#include "stats/zone_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "support/error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvalis {

namespace {

// The (value, weight) pairs of zone b at step t that order statistics count, in window
// order. Cells are written straight into storage sized for the whole clipped window and
// kept or dropped by advancing the end or not, so the loop has no capacity tests and no
// branch on validity. T is the raster's type, W the weights' (void without weights).
// Each row is read only within its stored span: the cells outside hold fractions <= 0,
// which never count.
// A window's rows are short runs far apart in the raster, too short for hardware
// prefetchers to pick up, so the gather asks for a later row's lines itself.
constexpr std::uint64_t kPrefetchRows = 4;
constexpr std::ptrdiff_t kMaxPrefetchBytes = 32 * 64;

[[gnu::always_inline]] inline void prefetch_run(const ArrayView& a, std::uint64_t row, std::uint64_t col,
                                                std::uint64_t n) {
    detail::prefetch_run(a.cell(row, col), static_cast<std::ptrdiff_t>(n - 1) * a.col_stride, kMaxPrefetchBytes);
}

// The window columns [first, end) of row i to read: its span within the clip.
ColumnSpan row_cells(const Zone& b, const detail::Clip& k, std::uint64_t i) {
    const ColumnSpan s = b.span(i);
    return {std::max(k.j0, s.first), std::min(k.j1, s.end)};
}

// Always inlined: called, a function holding only prefetches looks free of effects, and
// the optimiser drops the call.
[[gnu::always_inline]] inline void prefetch_row(const Zone& b, const detail::Clip& k, std::uint64_t i,
                                                const ArrayView& raster, const ArrayView* weights) {
    const ColumnSpan s = row_cells(b, k, i);
    if (s.first >= s.end) return;
    const std::uint64_t row = k.r0 + (i - k.i0), col = k.c0 + (s.first - k.j0);
    prefetch_run(raster, row, col, s.end - s.first);
    if (weights) prefetch_run(*weights, row, col, s.end - s.first);
}

struct NoWeights {
    explicit NoWeights(const Nodata&) {}
};

// detail::ValueTest, plus the same test of two values widened to doubles.
template <class T>
struct PairedValueTest : detail::ValueTest<T> {
    using detail::ValueTest<T>::ValueTest;
#if defined(__SSE2__)
    // As a mask per lane.
    __m128d pair(__m128d d) const {
        const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
        const __m128d gap = _mm_and_pd(_mm_sub_pd(d, _mm_set1_pd(this->nodata)), magnitude);
        return _mm_cmpgt_pd(_mm_add_pd(gap, _mm_sub_pd(d, d)), _mm_set1_pd(detail::kNodataTolerance));
    }
#endif
};

#if defined(__SSE2__)
// Two cells at a time where every test is one on doubles: float rasters with float weights
// or none. Integer types keep the loop of one cell.
template <class T, class W>
constexpr bool kPairs = std::is_floating_point_v<T> && (std::is_void_v<W> || std::is_floating_point_v<W>);

// Two elements a stride apart, as doubles.
template <class T>
[[gnu::always_inline]] inline __m128d pair(const std::byte* p, std::ptrdiff_t stride) {
    return _mm_set_pd(static_cast<double>(detail::load<T>(p + stride)), static_cast<double>(detail::load<T>(p)));
}

// order_key() of both lanes.
[[gnu::always_inline]] inline __m128i order_keys(__m128d v) {
    const __m128i bits = _mm_castpd_si128(_mm_add_pd(v, _mm_setzero_pd()));
    const __m128i negative = _mm_shuffle_epi32(_mm_srai_epi32(bits, 31), 0xF5);  // each lane's sign, everywhere in it
    return _mm_xor_si128(bits, _mm_or_si128(negative, _mm_set1_epi64x(std::numeric_limits<std::int64_t>::min())));
}
#endif

// Zone b's rows at step t within clip k, as the order statistics read them: for each row
// with cells to read, f(cov, p, q, n) with the row's n fractions at cov, its first
// value at p and its first weight at q (nullptr without weights), a few rows ahead asked
// for first.
template <class W, class F>
[[gnu::always_inline]] inline void for_each_row(const Zone& b, const StatInputs& in, std::uint64_t t,
                                                const detail::Clip& k, F&& f) {
    ArrayView step = in.raster;
    step.data = in.raster.data + static_cast<std::ptrdiff_t>(t) * in.raster.step_stride;
    const ArrayView* weights = std::is_void_v<W> ? nullptr : &*in.weights;
    for (std::uint64_t i = k.i0; i < k.i1 && i < k.i0 + kPrefetchRows; ++i) prefetch_row(b, k, i, step, weights);
    for (std::uint64_t i = k.i0, row = k.r0; i < k.i1; ++i, ++row) {
        if (i + kPrefetchRows < k.i1) prefetch_row(b, k, i + kPrefetchRows, step, weights);
        const auto [j0, j1] = row_cells(b, k, i);
        if (j0 >= j1) continue;
        const std::uint64_t c0 = k.c0 + (j0 - k.j0);
        f(b.row(i).at(j0), step.cell(row, c0), weights ? weights->cell(row, c0) : nullptr, j1 - j0);
    }
}

// Whether a cell of value v, fraction `fraction` and weight at q (W void: none) counts in
// the order statistics, with its weight into `weight`: the value valid, and the fraction
// times the weight > 0, the weight valid too and the fraction > 0 (a negative fraction
// never counts, whatever the sign of its weight).
template <class W, class T, class ValueTest, class WeightTest>
[[gnu::always_inline]] inline bool order_weight(T v, float fraction, const std::byte* q, const ValueTest& valid,
                                                const WeightTest& weight_valid, double& weight) {
    weight = static_cast<double>(fraction);
    bool keep = valid(v);
    if constexpr (!std::is_void_v<W>) {
        const W x = detail::load<W>(q);
        weight = weight * static_cast<double>(x);
        keep = keep & weight_valid(x) & (fraction > 0.0f);
    }
    return keep & (weight > 0.0);
}

// With kTop, also sums the gathered cells' weights by top digit into `top` (cleared) and
// notes their keys: the first histogram of a selection, built while the cells are at hand
// rather than in a pass of its own over what was written.
template <class T, class W, bool kTop>
void gather_typed(const Zone& b, const StatInputs& in, std::uint64_t t, const detail::Clip& k, CellBuffer& cells,
                  double* top, Keys& keys) {
    using WeightTest = std::conditional_t<std::is_void_v<W>, NoWeights, PairedValueTest<W>>;
    const PairedValueTest<T> valid(in.nodata);
    [[maybe_unused]] const WeightTest weight_valid(in.weight_nodata);
    cells.resize(static_cast<std::size_t>((k.i1 - k.i0) * (k.j1 - k.j0)));
    KeyedWeight* out = cells.data();
    std::size_t n = 0;
    Keys gathered;
    const std::ptrdiff_t p_step = in.raster.col_stride;
    [[maybe_unused]] const std::ptrdiff_t q_step = std::is_void_v<W> ? 0 : in.weights->col_stride;
    for_each_row<W>(b, in, t, k, [&](const float* cov, const std::byte* p, const std::byte* q, std::uint64_t j1) {
        std::uint64_t j = 0;  // the row's cells j < j1, cell j of fraction cov[j]
#if defined(__SSE2__)
        if constexpr (kPairs<T, W>) {
            for (; j + 2 <= j1; j += 2, p += 2 * p_step) {
                const __m128d v = pair<T>(p, p_step);
                __m128d weight =
                    _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i_u*>(cov + j))));
                __m128d counts = valid.pair(v);
                if constexpr (!std::is_void_v<W>) {
                    const __m128d x = pair<W>(q, q_step);
                    q += 2 * q_step;
                    counts =
                        _mm_and_pd(_mm_and_pd(counts, weight_valid.pair(x)), _mm_cmpgt_pd(weight, _mm_setzero_pd()));
                    weight = _mm_mul_pd(weight, x);
                }
                counts = _mm_and_pd(counts, _mm_cmpgt_pd(weight, _mm_setzero_pd()));
                const __m128i key = order_keys(v);
                const int kept = _mm_movemask_pd(counts);
                _mm_storeu_si128(reinterpret_cast<__m128i_u*>(out + n),
                                 _mm_unpacklo_epi64(key, _mm_castpd_si128(weight)));
                n += static_cast<unsigned>(kept) & 1;
                _mm_storeu_si128(reinterpret_cast<__m128i_u*>(out + n),
                                 _mm_unpackhi_epi64(key, _mm_castpd_si128(weight)));
                n += static_cast<unsigned>(kept) >> 1;
                if constexpr (kTop) {
                    const auto k0 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(key));
                    const auto k1 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(key, key)));
                    const __m128d w = _mm_and_pd(weight, counts);
                    top[top_digit(k0)] += _mm_cvtsd_f64(w);
                    top[top_digit(k1)] += _mm_cvtsd_f64(_mm_unpackhi_pd(w, w));
                    gathered.add(k0);
                    gathered.add(k1);
                }
            }
        }
#endif
        for (; j < j1; ++j, p += p_step) {
            const T v = detail::load<T>(p);
            double weight;
            const bool counts = order_weight<W>(v, cov[j], q, valid, weight_valid, weight);
            if constexpr (!std::is_void_v<W>) q += q_step;
            const std::uint64_t key = order_key(static_cast<double>(v));
            out[n] = {key, weight};
            n += counts ? 1 : 0;
            if constexpr (kTop) {
                // Adding +0.0 leaves a sum as it is.
                // One lane: the rest of the loop is longer than the wait for the previous
                // cell's store to the same bucket.
                top[top_digit(key)] += counts ? weight : 0.0;
                // Every cell's key, counted or not: bounds of the counted keys are all a
                // selection needs, and cost less without the choice.
                gathered.add(key);
            }
        }
    });
    cells.resize(n);
    keys = gathered;
}

// Rasters of integers of at most 16 bits: a zone's distinct values are counted in one
// bucket per value of the type, which gives its groups without gathering or sorting a cell.
template <class T>
constexpr bool kCountable = std::is_integral_v<T> && sizeof(T) <= 2;

// A zone whose window holds fewer cells than this, on a 16-bit raster, is gathered and
// sorted: the buckets between its least and greatest value are scanned for the groups,
// and this bounds that scan by 16 buckets per cell of the window.
constexpr std::uint64_t kCountMinCells = 4096;

// The weight of every cell of zone b at step t that order statistics count (the cells
// gather_typed keeps) added to sums[v - T's least] in window order. Each bucket then holds
// exactly the sum group_values() forms of that value's cells: its first weight added to
// 0.0 is itself, and the rest follow in gather order, which the sort keeps among equal
// values. [lo, hi] bounds the buckets written (lo > hi: none).
template <class T, class W>
void count_typed(const Zone& b, const StatInputs& in, std::uint64_t t, const detail::Clip& k, double* sums,
                 std::size_t& lo, std::size_t& hi) {
    using WeightTest = std::conditional_t<std::is_void_v<W>, NoWeights, detail::ValueTest<W>>;
    const detail::ValueTest<T> valid(in.nodata);
    [[maybe_unused]] const WeightTest weight_valid(in.weight_nodata);
    constexpr auto kLeast = static_cast<std::ptrdiff_t>(std::numeric_limits<T>::min());
    const std::ptrdiff_t p_step = in.raster.col_stride;
    [[maybe_unused]] const std::ptrdiff_t q_step = std::is_void_v<W> ? 0 : in.weights->col_stride;
    std::size_t least = std::numeric_limits<std::size_t>::max(), greatest = 0;
    for_each_row<W>(b, in, t, k, [&](const float* cov, const std::byte* p, const std::byte* q, std::uint64_t n) {
        for (std::uint64_t j = 0; j < n; ++j, p += p_step) {
            const T v = detail::load<T>(p);
            double weight;
            const bool counts = order_weight<W>(v, cov[j], q, valid, weight_valid, weight);
            if constexpr (!std::is_void_v<W>) q += q_step;
            const auto at = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) - kLeast);
            // Adding +0.0 leaves a sum as it is, and so a bucket of no counted cell at zero.
            sums[at] += counts ? weight : 0.0;
            least = counts ? std::min(least, at) : least;
            greatest = counts ? std::max(greatest, at) : greatest;
        }
    });
    lo = least;
    hi = greatest;
}

// Whether zone b's groups are counted (see count_groups) rather than gathered.
bool counted(const Zone& b, const StatInputs& in) {
    return detail::with_type(in.raster.dtype, [&](auto v) {
        using T = decltype(v);
        if constexpr (!kCountable<T>) {
            return false;
        } else {
            return sizeof(T) == 1 || b.rows() * b.cols() >= kCountMinCells;
        }
    });
}

// Zone b's distinct values at step t, as group_values() gives them, counted into `counts`
// (one bucket per value of the raster's type, all zero again on return) and read off in
// ascending order.
void count_groups(const Zone& b, const StatInputs& in, std::uint64_t t, std::vector<double>& counts, ValueGroups& out) {
    out.groups.clear();
    const detail::Clip k = detail::clip(b, in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
    if (k.empty()) return;
    detail::with_type(in.raster.dtype, [&](auto v) {
        using T = decltype(v);
        if constexpr (kCountable<T>) {
            constexpr std::size_t kBuckets = std::size_t{1} << (8 * sizeof(T));
            if (counts.size() < kBuckets) counts.assign(kBuckets, 0.0);
            std::size_t lo = 0, hi = 0;
            const auto typed = [&]<class W>() { count_typed<T, W>(b, in, t, k, counts.data(), lo, hi); };
            if (!in.weights) {
                typed.template operator()<void>();
            } else {
                detail::with_type(in.weights->dtype, [&](auto w) { typed.template operator()<decltype(w)>(); });
            }
            constexpr auto kLeast = static_cast<double>(std::numeric_limits<T>::min());
            double running = 0.0;
            for (std::size_t at = lo; at <= hi && lo <= hi; ++at) {
                const double w = counts[at];
                if (w == 0.0) continue;
                running = running + w;
                out.groups.push_back({kLeast + static_cast<double>(at), w, running});
                counts[at] = 0.0;
            }
        }
    });
}

// Where the zone lies on a curve that keeps nearby windows close together (the Z-order
// curve through its window's centre): zones reduced in this order find much of their
// raster, which their neighbours read just before, still in cache, where zones taken in
// the caller's order often go back to memory for every cell.
std::uint64_t locality(const Zone& b) {
    const std::uint64_t r = b.row_offset + b.rows() / 2, c = b.col_offset + b.cols() / 2;
    std::uint64_t key = 0;
    for (int bit = 0; bit < 32; ++bit) key |= (((r >> bit) & 1) << (2 * bit + 1)) | (((c >> bit) & 1) << (2 * bit));
    return key;
}

// The cells of zone b at step t into `cells`; with `top`, their top-digit histogram too
// (see weighted_quantiles), whose keys go to `keys`.
void gather(const Zone& b, const StatInputs& in, std::uint64_t t, CellBuffer& cells, DigitHistogram* top, Keys& keys) {
    keys = Keys{};
    double* lanes = top ? top->clear() : nullptr;
    const detail::Clip k = detail::clip(b, in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
    if (k.empty()) {
        cells.clear();
        return;
    }
    const auto typed = [&]<class T, class W>() {
        if (top) return gather_typed<T, W, true>(b, in, t, k, cells, lanes, keys);
        gather_typed<T, W, false>(b, in, t, k, cells, lanes, keys);
    };
    detail::with_type(in.raster.dtype, [&](auto v) {
        using T = decltype(v);
        if (!in.weights) return typed.template operator()<T, void>();
        detail::with_type(in.weights->dtype, [&](auto w) { typed.template operator()<T, decltype(w)>(); });
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

void reduce_order_stats(std::span<const Zone> zones, const StatInputs& in, std::size_t begin, std::size_t end,
                        const OrderRequest& request, OrderScratch& scratch,
                        std::span<std::vector<ClassShares>> frac_out) {
    check_inputs(zones, in, begin, end);
    const std::size_t n = zones.size();
    const std::size_t nq = request.quantile != nullptr ? request.quantiles.size() : 0;
    // The median is the first quantile asked for, then the requested ones.
    std::vector<double> qs;
    if (request.median) qs.push_back(0.5);
    qs.insert(qs.end(), request.quantiles.begin(), request.quantiles.begin() + static_cast<std::ptrdiff_t>(nq));
    const std::size_t first_q = request.median ? 1 : 0;
    std::vector<double> found(qs.size());
    // Only the class statistics need every distinct value; quantiles alone are selected.
    const bool classes = request.majority || request.minority || request.variety || request.frac;
    QuantileScratch& work = scratch.work;
    const ValueGroups& g = work.groups;
    // The quantiles are selected from a first histogram built in the gather.
    const bool select = !classes && !qs.empty() && qs.size() <= kSelectMaxQuantiles;
    Keys keys;
    // Each zone's results depend on nothing but its own cells, so the order they are
    // reduced in is free.
    std::vector<std::pair<std::uint64_t, std::size_t>> order;
    order.reserve(end - begin);
    for (std::size_t k = begin; k < end; ++k) order.emplace_back(locality(zones[k]), k);
    std::sort(order.begin(), order.end());
    for (const auto& [place, k] : order) {
        const bool count = counted(zones[k], in);
        for (std::uint64_t t = 0; t < in.raster.steps; ++t) {
            if (count) {
                count_groups(zones[k], in, t, scratch.counts, work.groups);
            } else {
                gather(zones[k], in, t, scratch.cells, select ? &work.top : nullptr, keys);
                if (classes) group_values(scratch.cells, work.spare, work.groups);
            }
            if (count || classes) {
                for (std::size_t j = 0; j < qs.size(); ++j) found[j] = weighted_quantile(g, qs[j]);
            } else {
                weighted_quantiles(scratch.cells, keys, qs, found.data(), work);
            }
            const std::size_t at = static_cast<std::size_t>(t) * n + k;
            if (request.median) request.median[at] = found[0];
            for (std::size_t j = 0; j < nq; ++j) request.quantile[at * nq + j] = found[first_q + j];
            if (!classes) continue;
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
