// Statistic kernels. Every reduction runs through one sweep templated on the raster's
// element type and the accumulator, so the dtype and the statistic are chosen once per call
// and the cell loop has no dispatch in it.
//
// Results are pinned bit for bit: each accumulator sees its cells in window order (row by
// row, column by column) and does its arithmetic in exactly the order written below.
// Time steps are taken in blocks, one SIMD lane per step; within a block every basin of the
// range is swept together, top to bottom through the raster, so each step is read once in
// address order whatever the basins' order and overlap. A single step sweeps the same way
// with one SIMD lane per basin instead. Neither the lanes nor the sweep change the sequence
// of updates any one accumulator sees.
#include "stats.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>
#include <utility>

#include "error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The lane vectors below live in this file's internal functions only, so how an ABI would
// pass them between translation units does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quorvalis {

namespace {

using detail::Clip;
using detail::load;
using detail::ValueTest;

const double kNoValue = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Accumulators hold N lanes, lane k for time step t0 + k (or, on a single step, for a basin),
// as vectors of N doubles, so one update serves N lanes and their add and divide chains
// overlap. Every lane does exactly the scalar arithmetic of one accumulator. A lane that
// must not change either keeps its value by selection, or, in the sums, adds +0.0: a sum
// that starts at +0.0 can never become -0.0 (in round-to-nearest, x + y is -0.0 only when
// both are), and s + 0.0 is s for every other s, NaN and infinities included. An update
// sees one cell per lane: the N values, which of them count (a mask of all-ones lanes), the
// coverage c (one double for every lane, never <= 0; or one per lane, +0.0 in a lane where
// nothing counts) and the weight in the same form (valid whenever the statistic reads it).
template <int N>
struct VectorOf {
    typedef double lanes __attribute__((vector_size(8 * N)));
    typedef std::int64_t mask __attribute__((vector_size(8 * N)));
};
// One lane is a plain double, which compilers keep in registers better than a vector of one;
// its mask is -1 or 0 like a vector lane's.
template <>
struct VectorOf<1> {
    typedef double lanes;
    typedef std::int64_t mask;
};
template <int N>
using Lanes = typename VectorOf<N>::lanes;
template <int N>
using Mask = typename VectorOf<N>::mask;

// Mask operations. Where 64-bit integer compares are missing (x86-64 before SSE4.1),
// compilers rewrite a blend or an and of comparison results into one test per lane; the
// SSE2 operations, opaque to that rewrite, keep each of them one instruction.
#if defined(__SSE2__)
#define QV_SSE2(N) ((N) == 2)
#else
#define QV_SSE2(N) false
#endif

template <int N>
[[gnu::always_inline]] inline Mask<N> both(Mask<N> a, Mask<N> b) {
#if defined(__SSE2__)
    if constexpr (QV_SSE2(N)) return (Mask<N>)_mm_and_pd((__m128d)a, (__m128d)b);
#endif
    return a & b;
}

// a & ~m
template <int N>
[[gnu::always_inline]] inline Mask<N> but_not(Mask<N> a, Mask<N> m) {
#if defined(__SSE2__)
    if constexpr (QV_SSE2(N)) return (Mask<N>)_mm_andnot_pd((__m128d)m, (__m128d)a);
#endif
    return a & ~m;
}

template <int N>
[[gnu::always_inline]] inline Mask<N> either(Mask<N> a, Mask<N> b) {
#if defined(__SSE2__)
    if constexpr (QV_SSE2(N)) return (Mask<N>)_mm_or_pd((__m128d)a, (__m128d)b);
#endif
    return a | b;
}

template <int N>
[[gnu::always_inline]] inline Mask<N> greater(Lanes<N> a, Lanes<N> b) {
#if defined(__SSE2__)
    if constexpr (QV_SSE2(N)) return (Mask<N>)_mm_cmpgt_pd((__m128d)a, (__m128d)b);
#endif
    if constexpr (N == 1) {
        return a > b ? -1 : 0;
    } else {
        return a > b;
    }
}

// v where m, else +0.0.
template <int N>
[[gnu::always_inline]] inline Lanes<N> keep(Mask<N> m, Lanes<N> v) {
    if constexpr (N == 1) {
        return m ? v : 0.0;
    } else {
        return (Lanes<N>)both<N>((Mask<N>)v, m);
    }
}

// The statistics that skip a NaN fraction narrow ok to the lanes whose fraction is > 0.
// With one fraction for every lane it is a branch: false when the whole update is skipped.
template <int N, class C>
[[gnu::always_inline]] inline bool only_positive(C c, Mask<N>& ok) {
    if constexpr (std::is_same_v<C, double>) {
        return c > 0.0;
    } else {
        ok = both<N>(ok, greater<N>(c, Lanes<N>{}));
        return true;
    }
}

// m ? a : b, lane-wise.
template <int N>
[[gnu::always_inline]] inline Lanes<N> pick(Mask<N> m, Lanes<N> a, Lanes<N> b) {
    if constexpr (N == 1) {
        return m ? a : b;
    } else {
        return (Lanes<N>)either<N>(both<N>((Mask<N>)a, m), but_not<N>((Mask<N>)b, m));
    }
}

template <class V>
double lane(const V& v, int k) {
    if constexpr (std::is_same_v<V, double> || std::is_same_v<V, std::int64_t>) {
        return static_cast<double>(v);
    } else {
        return static_cast<double>(v[k]);
    }
}

template <int N>
struct Mean {
    Lanes<N> w{}, s{};
    template <class C>
    void update(Lanes<N> x, Mask<N> ok, C c, C) {
        w = w + keep<N>(ok, c + Lanes<N>{});
        s = s + keep<N>(ok, x * c);
    }
    double finish(int k) const { return lane(w, k) > 0.0 ? lane(s, k) / lane(w, k) : kNoValue; }
};

template <int N>
struct Sum {
    Lanes<N> a{};
    template <class C>
    void update(Lanes<N> x, Mask<N> ok, C c, C) { a = a + keep<N>(ok, c * x); }
    double finish(int k) const { return lane(a, k); }
};

// The count is the sum of the valid cells' coverage fractions, not a number of cells.
template <int N>
struct Count {
    Lanes<N> a{};
    template <class C>
    void update(Lanes<N>, Mask<N> ok, C c, C) { a = a + keep<N>(ok, c + Lanes<N>{}); }
    double finish(int k) const { return lane(a, k); }
};

// On ties the earlier value stays (visible only as the sign of a zero). Like the variance,
// it skips a NaN fraction that the sums take in.
template <int N, bool kMax>
struct Extreme {
    Lanes<N> m{};
    Mask<N> present{};
    template <class C>
    void update(Lanes<N> x, Mask<N> ok, C c, C) {
        if (!only_positive<N>(c, ok)) return;
        const Mask<N> better = kMax ? greater<N>(x, m) : greater<N>(m, x);
        const Mask<N> take = both<N>(ok, either<N>(but_not<N>(ok, present), better));
        m = pick<N>(take, x, m);
        present = either<N>(present, ok);
    }
    double finish(int k) const { return lane(present, k) != 0.0 ? lane(m, k) : kNoValue; }
};

// Weighted incremental update with the coverage as the weight; population variance.
template <int N, bool kSqrt>
struct Variance {
    Lanes<N> w{}, mean{}, q{};
    template <class C>
    void update(Lanes<N> x, Mask<N> ok, C c, C) {
        if (!only_positive<N>(c, ok)) return;
        const Lanes<N> w_next = w + c;
        const Lanes<N> delta = x - mean;
        const Lanes<N> r = (c * delta) / w_next;
        mean = pick<N>(ok, mean + r, mean);
        q = pick<N>(ok, q + (delta * w) * r, q);
        w = pick<N>(ok, w_next, w);
    }
    double finish(int k) const {
        const double wk = lane(w, k), qk = lane(q, k);
        if (!(wk > 0.0)) return kNoValue;
        return kSqrt ? std::sqrt(qk / wk) : qk / wk;
    }
};

template <int N>
struct WeightedMean {
    static constexpr bool kWeighted = true;
    Lanes<N> w{}, s{};
    template <class C>
    void update(Lanes<N> x, Mask<N> ok, C c, C weight) {
        const C cw = c * weight;
        w = w + keep<N>(ok, cw + Lanes<N>{});
        s = s + keep<N>(ok, x * cw);
    }
    double finish(int k) const { return lane(w, k) > 0.0 ? lane(s, k) / lane(w, k) : kNoValue; }
};

template <int N>
struct WeightedSum {
    static constexpr bool kWeighted = true;
    Lanes<N> a{};
    template <class C>
    void update(Lanes<N> x, Mask<N> ok, C c, C weight) { a = a + keep<N>(ok, (c * x) * weight); }
    double finish(int k) const { return lane(a, k); }
};

template <int N>
struct NodataCount {
    Lanes<N> a{};
    template <class C>
    void update(Lanes<N>, Mask<N> ok, C c, C) {
        if constexpr (N == 1) {
            a = ok ? a : a + c;
        } else {
            a = a + (Lanes<N>)but_not<N>((Mask<N>)(c + Lanes<N>{}), ok);
        }
    }
    double finish(int k) const { return lane(a, k); }
};

template <int N>
struct Coverage {
    Lanes<N> a{};
    template <class C>
    void update(Lanes<N>, Mask<N>, C c, C) { a = a + c; }
    double finish(int k) const { return lane(a, k); }
};

template <class A>
constexpr bool weighted() {
    if constexpr (requires { A::kWeighted; }) return A::kWeighted;
    return false;
}

// One basin's window row inside the raster block, within the row's stored span; cells
// inside it may still be <= 0 and are skipped one by one.
struct Segment {
    std::uint64_t row;     // block row
    std::uint64_t col;     // block column of cov[0]
    const float* cov;
    std::size_t weights;  // index of cov[0]'s weight in Prepared::weights
    std::uint32_t len;
    std::uint32_t basin;  // index from the range's first basin
};

// What every block of time steps shares: the segments of the basin range sorted by block
// row (window order within each basin is kept, since a basin has one segment per row),
// so each step of the raster is read once, top to bottom, whatever the basins' order;
// and, for the weighted statistics, the weight of each segment cell (NaN where the weight
// does not count), read once for all steps.
struct Prepared {
    std::vector<Segment> segments;
    std::vector<double> weights;
};

// Calls f(segment) for the pieces of the basins' row spans inside the raster block, basin
// by basin in window order, numbering their cells from 0 (the `weights` index).
template <class F>
void for_each_segment(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in, F&& f) {
    std::size_t cells = 0;
    for (std::size_t k = begin; k < end; ++k) {
        const Basin& b = basins[k];
        const Clip c = detail::clip(b, in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
        const detail::Window win = detail::window_of(b.coverage);
        for (std::uint64_t i = c.i0, r = c.r0; i < c.i1; ++i, ++r) {
            const ColumnSpan span = b.span(i);
            const std::uint64_t j0 = std::max(c.j0, span.first), j1 = std::min(c.j1, span.end);
            // Windows are far narrower than 2^32 cells; a longer row is cut in pieces.
            for (std::uint64_t j = j0; j < j1;) {
                const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(j1 - j, 1u << 30));
                f(Segment{r, c.c0 + (j - c.j0), win.values + i * win.cols + j, cells, len,
                          static_cast<std::uint32_t>(k - begin)});
                cells += len;
                j += len;
            }
        }
    }
}

Prepared prepare(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                 bool with_weights) {
    // Counting sort by row in two passes over the stored spans, which cost far less to read
    // twice than a list of the segments does to store twice. Stable, so a basin's pieces of
    // one row stay in order.
    std::uint64_t first_row = std::numeric_limits<std::uint64_t>::max(), last_row = 0;
    for (std::size_t k = begin; k < end; ++k) {
        const Clip c = detail::clip(basins[k], in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
        if (c.empty()) continue;
        first_row = std::min(first_row, c.r0);
        last_row = std::max(last_row, c.r0 + (c.i1 - c.i0 - 1));
    }
    Prepared p;
    if (first_row > last_row) return p;
    std::vector<std::size_t> start(static_cast<std::size_t>(last_row - first_row) + 2, 0);
    std::size_t cells = 0;
    for_each_segment(basins, begin, end, in, [&](const Segment& s) {
        ++start[static_cast<std::size_t>(s.row - first_row) + 1];
        cells += s.len;
    });
    for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    p.segments.resize(start.back());
    for_each_segment(basins, begin, end, in,
                     [&](const Segment& s) { p.segments[start[static_cast<std::size_t>(s.row - first_row)]++] = s; });
    // Within a row, left to right: each step is then read in increasing addresses, which
    // hardware prefetchers follow. A basin's pieces of one row keep their order, since they
    // start at increasing columns.
    for (std::size_t i = 0, first = 0; i + 1 < start.size(); first = start[i++]) {
        std::sort(p.segments.begin() + static_cast<std::ptrdiff_t>(first),
                  p.segments.begin() + static_cast<std::ptrdiff_t>(start[i]),
                  [](const Segment& a, const Segment& b) { return a.col < b.col; });
    }
    if (with_weights) {
        p.weights.resize(cells);
        detail::with_type(in.weights->dtype, [&](auto w) {
            using W = decltype(w);
            const ValueTest<W> valid(in.weight_nodata);
            const ArrayView& v = *in.weights;
            for (const Segment& s : p.segments) {
                const std::byte* q = v.data + static_cast<std::ptrdiff_t>(s.row) * v.row_stride +
                                     static_cast<std::ptrdiff_t>(s.col) * v.col_stride;
                for (std::uint32_t j = 0; j < s.len; ++j, q += v.col_stride) {
                    const W x = load<W>(q);
                    p.weights[s.weights + j] = valid(x) ? static_cast<double>(x) : kNoValue;
                }
            }
        });
    }
    return p;
}

template <int W, class T, int... K>
[[gnu::always_inline]] inline Lanes<W> gather(const std::byte* p, const std::ptrdiff_t* offset,
                                              std::integer_sequence<int, K...>) {
    return Lanes<W>{static_cast<double>(load<T>(p + offset[K]))...};
}

// Integer types that a signed 32-bit integer holds, converted to double in SIMD lanes.
template <class T>
constexpr bool kExactInInt32 = std::is_integral_v<T> && (std::is_signed_v<T> ? sizeof(T) <= 4 : sizeof(T) <= 2);

// The W values of one cell for lanes whose steps lie at byte offsets offset[k] from p,
// with which of them count.
template <int W, class T>
[[gnu::always_inline]] inline void load_lanes(const std::byte* p, const std::ptrdiff_t* offset,
                                              const ValueTest<T>& valid, Lanes<W>& x, Mask<W>& ok) {
    if constexpr (W == 1) {
        const T v = load<T>(p + offset[0]);
        x = static_cast<double>(v);
        ok = valid(v) ? -1 : 0;
    } else if constexpr (std::is_floating_point_v<T>) {
#if defined(__SSE2__)
        if constexpr (std::is_same_v<T, float> && QV_SSE2(W)) {
            // Both lanes widened by one instruction: converting each float on its own
            // writes only the low half of a register and waits on whatever was there before.
            const __m128 pair = _mm_unpacklo_ps(_mm_set_ss(load<float>(p + offset[0])), _mm_set_ss(load<float>(p + offset[1])));
            x = (Lanes<W>)_mm_cvtps_pd(pair);
        } else
#endif
        {
            x = gather<W, T>(p, offset, std::make_integer_sequence<int, W>{});
        }
        // The scalar test, lane-wise: x - x is +0.0 for a finite x and NaN otherwise, so
        // |x - nodata| + (x - x) exceeds the tolerance exactly when x is finite and farther
        // than the tolerance from nodata (a NaN nodata is held as infinity).
        const Lanes<W> gap = (Lanes<W>)but_not<W>((Mask<W>)(x - valid.nodata), Mask<W>{} + std::numeric_limits<std::int64_t>::min());
        ok = greater<W>(gap + (x - x), detail::kNodataTolerance + Lanes<W>{});
    } else if constexpr (kExactInInt32<T> && QV_SSE2(W)) {
#if defined(__SSE2__)
        const auto a = static_cast<std::int32_t>(load<T>(p + offset[0]));
        const auto b = static_cast<std::int32_t>(load<T>(p + offset[1]));
        x = (Lanes<W>)_mm_cvtepi32_pd(_mm_unpacklo_epi32(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b)));
        // Integers of these types are exact as doubles, so comparing them there is the
        // comparison in T.
        ok = valid.has ? (Mask<W>)_mm_cmpneq_pd((__m128d)x, _mm_set1_pd(static_cast<double>(valid.nodata)))
                       : Mask<W>{} - 1;
#endif
    } else {
        for (int k = 0; k < W; ++k) {
            const T v = load<T>(p + offset[k]);
            x[k] = static_cast<double>(v);
            ok[k] = valid(v) ? -1 : 0;
        }
    }
}

// Segments are short (a window row, in a different window and a different part of the
// raster from the one before), so hardware prefetchers see no stream in them: the walk
// asks for a later segment's lines itself, early enough to cover a trip to memory. The lines
// go to the second-level cache, not the first: a block of steps asks for several slices'
// lines at once, and filling the small first-level cache with them evicted lines still in
// use (a third less time for a batch sweep on an AMD Zen 4, none lost on single steps).
constexpr std::size_t kPrefetchAhead = 4;
constexpr int kPrefetchLocality = 1;
constexpr std::ptrdiff_t kLine = 64;
constexpr std::ptrdiff_t kMaxPrefetchLines = 16;

// Always inlined: called, a function holding only prefetches looks free of effects, and
// the optimiser drops the call.
[[gnu::always_inline]] inline void prefetch_range(const std::byte* first, std::ptrdiff_t bytes) {
    const std::byte* lo = bytes < 0 ? first + bytes : first;
    const std::ptrdiff_t span = std::min(bytes < 0 ? -bytes : bytes, kMaxPrefetchLines * kLine);
    for (std::ptrdiff_t d = 0; d <= span; d += kLine) __builtin_prefetch(lo + d, 0, kPrefetchLocality);
}

template <int N>
[[gnu::always_inline]] inline void prefetch(const Segment& s, const ArrayView& v, const std::ptrdiff_t (&offset)[N]) {
    const std::byte* p =
        v.data + static_cast<std::ptrdiff_t>(s.row) * v.row_stride + static_cast<std::ptrdiff_t>(s.col) * v.col_stride;
    const std::ptrdiff_t bytes = static_cast<std::ptrdiff_t>(s.len - 1) * v.col_stride;
    for (int k = 0; k < N; ++k) prefetch_range(p + offset[k], bytes);
    prefetch_range(reinterpret_cast<const std::byte*>(s.cov), static_cast<std::ptrdiff_t>(s.len - 1) * 4);
}

// G accumulators of W lanes each: lanes for G * W consecutive steps of one basin.
template <template <int> class Acc, int W, int G>
struct Group {
    Acc<W> acc[G];
    double finish(int k) const { return acc[k / W].finish(k % W); }
};

// Reduces steps [t0, t0 + G * W) of every prepared basin into state (one group per basin).
// Lanes past the last step read the last step again; their results are never written.
template <template <int> class Acc, int W, int G, class T>
void sweep(const Prepared& prep, const ArrayView& v, const ValueTest<T>& valid, std::uint64_t t0,
           Group<Acc, W, G>* state) {
    constexpr int N = W * G;
    std::ptrdiff_t offset[N];
    for (int k = 0; k < N; ++k) {
        const std::uint64_t t = std::min<std::uint64_t>(t0 + static_cast<std::uint64_t>(k), v.steps - 1);
        offset[k] = static_cast<std::ptrdiff_t>(t) * v.step_stride;
    }
    constexpr bool kWeighted = weighted<Acc<W>>();
    const std::size_t n = prep.segments.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kPrefetchAhead < n) prefetch(prep.segments[i + kPrefetchAhead], v, offset);
        const Segment& s = prep.segments[i];
        Group<Acc, W, G> a = state[s.basin];
        const std::byte* p =
            v.data + static_cast<std::ptrdiff_t>(s.row) * v.row_stride + static_cast<std::ptrdiff_t>(s.col) * v.col_stride;
        const double* w = kWeighted ? prep.weights.data() + s.weights : nullptr;
        for (std::uint32_t j = 0; j < s.len; ++j, p += v.col_stride) {
            const float f = s.cov[j];
            if (f <= 0.0f) continue;  // a NaN fraction is not skipped here
            double weight = 1.0;
            if constexpr (kWeighted) {
                weight = w[j];
                if (weight != weight) continue;
            }
#pragma GCC unroll 16
            for (int h = 0; h < G; ++h) {
                Lanes<W> x{};
                Mask<W> ok{};
                load_lanes<W>(p, offset + h * W, valid, x, ok);
                a.acc[h].update(x, ok, static_cast<double>(f), weight);
            }
        }
        state[s.basin] = a;
    }
}

// Time outermost in blocks of G * W steps, all basins of the range swept together within
// a block.
template <template <int> class Acc, int W, int G, class T>
void reduce_blocks(const Prepared& prep, std::size_t begin, std::size_t end, std::size_t n_basins,
                   const StatInputs& in, std::uint64_t t0, std::uint64_t t1, double* out) {
    constexpr int N = W * G;
    const ValueTest<T> valid(in.nodata);
    std::vector<Group<Acc, W, G>> state(end - begin);
    for (std::uint64_t t = t0; t < t1; t += N) {
        std::fill(state.begin(), state.end(), Group<Acc, W, G>{});
        sweep<Acc, W, G, T>(prep, in.raster, valid, t, state.data());
        const int lanes = static_cast<int>(std::min<std::uint64_t>(N, t1 - t));
        for (std::size_t b = begin; b < end; ++b)
            for (int k = 0; k < lanes; ++k)
                out[(t + static_cast<std::uint64_t>(k)) * n_basins + b] = state[b - begin].finish(k);
    }
}

// Vectors of two doubles are what every x86-64 and AArch64 machine computes with natively.
constexpr int kWidth = 2;

// c, or a zero where c < 0 (-0.0 where c is -0.0; NaN where c is NaN).
template <int W>
[[gnu::always_inline]] inline Lanes<W> at_least_zero(Lanes<W> c) {
#if defined(__SSE2__)
    // maxpd returns its second operand when either is NaN or both are zeros.
    if constexpr (QV_SSE2(W)) return (Lanes<W>)_mm_max_pd(_mm_setzero_pd(), (__m128d)c);
#endif
    return pick<W>((Mask<W>)(c < Lanes<W>{}), Lanes<W>{}, c);
}

// The fractions of one cell in each of W lanes' runs, as doubles; cov[k] is lane k's run.
template <int W>
[[gnu::always_inline]] inline Lanes<W> fractions(const float* const* cov, std::uint64_t j) {
#if defined(__SSE2__)
    if constexpr (QV_SSE2(W)) return (Lanes<W>)_mm_cvtps_pd(_mm_unpacklo_ps(_mm_set_ss(cov[0][j]), _mm_set_ss(cov[1][j])));
#endif
    Lanes<W> c{};
    for (int k = 0; k < W; ++k) c[k] = static_cast<double>(cov[k][j]);
    return c;
}

// Lane k of every field of an accumulator of W lanes, to or from the one-lane accumulator:
// the same fields in the same order, a double or a mask of 8 bytes per lane.
template <int W, class A1, class AW>
void put_lane(AW& acc, int k, const A1& one) {
    static_assert(std::is_trivially_copyable_v<AW> && sizeof(AW) == W * sizeof(A1));
    auto* to = reinterpret_cast<unsigned char*>(&acc);
    const auto* from = reinterpret_cast<const unsigned char*>(&one);
    for (std::size_t f = 0; f < sizeof(A1) / 8; ++f) std::memcpy(to + f * 8 * W + 8 * static_cast<std::size_t>(k), from + 8 * f, 8);
}

template <int W, class A1, class AW>
void get_lane(const AW& acc, int k, A1& one) {
    static_assert(std::is_trivially_copyable_v<AW> && sizeof(AW) == W * sizeof(A1));
    const auto* from = reinterpret_cast<const unsigned char*>(&acc);
    auto* to = reinterpret_cast<unsigned char*>(&one);
    for (std::size_t f = 0; f < sizeof(A1) / 8; ++f) std::memcpy(to + 8 * f, from + f * 8 * W + 8 * static_cast<std::size_t>(k), 8);
}

// One raster step read in address order, lanes = basins: the prepared segments are taken in
// order, W at a time side by side, as far as the shortest; a lane whose segment ends stores
// its basin's accumulator and takes the next segment, unless that belongs to a basin another
// lane holds, in which case it waits for it (so each basin still sees its cells in window
// order). A waiting or idle lane reads a busy lane's cells again, and drops what it adds.
template <template <int> class Acc, int W, class T>
void reduce_rows(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                 double* out) {
    constexpr bool kWeighted = weighted<Acc<W>>();
    const Prepared prep = prepare(basins, begin, end, in, kWeighted);
    const ArrayView& v = in.raster;
    const ValueTest<T> valid(in.nodata);
    std::vector<Acc<1>> state(end - begin);
    constexpr std::uint32_t kIdle = std::numeric_limits<std::uint32_t>::max();
    const std::size_t n_segments = prep.segments.size();
    std::size_t next = 0;
    Acc<W> acc{};
    std::uint32_t basin[W];
    const float* cov[W];
    const std::byte* at[W];
    const double* wt[W];
    std::uint64_t left[W];
    for (int k = 0; k < W; ++k) basin[k] = kIdle;
    const std::ptrdiff_t zero[1] = {0};
    const auto take = [&](int k) __attribute__((always_inline)) {
        if (next >= n_segments) return;
        const Segment& s = prep.segments[next];
        for (int h = 0; h < W; ++h) {
            if (basin[h] == s.basin) return;
        }
        if (next + kPrefetchAhead < n_segments) prefetch(prep.segments[next + kPrefetchAhead], v, zero);
        ++next;
        basin[k] = s.basin;
        cov[k] = s.cov;
        at[k] = v.data + static_cast<std::ptrdiff_t>(s.row) * v.row_stride + static_cast<std::ptrdiff_t>(s.col) * v.col_stride;
        wt[k] = kWeighted ? prep.weights.data() + s.weights : nullptr;
        left[k] = s.len;
        put_lane<W>(acc, k, state[s.basin]);
    };
    for (int k = 0; k < W; ++k) take(k);
    for (;;) {
        int first = 0;
        while (first < W && basin[first] == kIdle) ++first;
        if (first == W) break;
        std::uint64_t n = std::numeric_limits<std::uint64_t>::max();
        for (int k = 0; k < W; ++k) {
            if (basin[k] == kIdle) {
                cov[k] = cov[first];
                at[k] = at[first];
                wt[k] = wt[first];
            } else {
                n = std::min(n, left[k]);
            }
        }
        const std::byte* p = at[0];
        std::ptrdiff_t offset[W];
        for (int k = 0; k < W; ++k) offset[k] = at[k] - p;
        Acc<W> a = acc;
        for (std::uint64_t j = 0; j < n; ++j, p += v.col_stride) {
            Lanes<W> c = fractions<W>(cov, j);
            Lanes<W> x{};
            Mask<W> ok{};
            load_lanes<W>(p, offset, valid, x, ok);
            // A fraction <= 0 (or, weighted, a weight that does not count) must leave its
            // lane as it is. Unweighted, a zero fraction already does: a sum adds a zero
            // (x * c is a zero for every x that counts), and the extremes and the variance
            // take only fractions > 0; so negative fractions become zeros (a NaN stays, as
            // it does in the other kernels), which spares a mask per cell.
            Lanes<W> weight = 1.0 + Lanes<W>{};
            if constexpr (kWeighted) {
                for (int k = 0; k < W; ++k) weight[k] = wt[k][j];
                const Mask<W> counted =
                    both<W>((Mask<W>)but_not<W>(Mask<W>{} - 1, (Mask<W>)(c <= Lanes<W>{})), (Mask<W>)(weight == weight));
                weight = pick<W>(counted, weight, 1.0 + Lanes<W>{});
                c = keep<W>(counted, c);
                ok = both<W>(ok, counted);
            } else {
                c = at_least_zero<W>(c);
            }
            a.update(x, ok, c, weight);
        }
        acc = a;
        for (int k = 0; k < W; ++k) {
            if (basin[k] == kIdle) continue;
            left[k] -= n;
            cov[k] += n;
            at[k] += static_cast<std::ptrdiff_t>(n) * v.col_stride;
            if (kWeighted) wt[k] += n;
            if (left[k] > 0) continue;
            get_lane<W>(acc, k, state[basin[k]]);
            basin[k] = kIdle;
        }
        for (int k = 0; k < W; ++k) {
            if (basin[k] == kIdle) take(k);
        }
    }
    for (std::size_t b = begin; b < end; ++b) out[b] = state[b - begin].finish(0);
}

template <template <int> class Acc, class T>
void reduce_with(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                 double* out) {
    if (in.raster.steps == 1) return reduce_rows<Acc, kWidth, T>(basins, begin, end, in, out);
    const Prepared prep = prepare(basins, begin, end, in, weighted<Acc<1>>() && in.weights.has_value());
    const std::uint64_t steps = in.raster.steps;
    constexpr int kWide = 4 * kWidth;
    const std::uint64_t whole = steps - steps % kWide;
    const std::size_t n = basins.size();
    reduce_blocks<Acc, kWidth, 4, T>(prep, begin, end, n, in, 0, whole, out);
    const std::uint64_t left = steps - whole;
    if (left > 2 * kWidth) {
        reduce_blocks<Acc, kWidth, 4, T>(prep, begin, end, n, in, whole, steps, out);
    } else if (left > 1) {
        reduce_blocks<Acc, kWidth, 2, T>(prep, begin, end, n, in, whole, steps, out);
    } else if (left == 1) {
        reduce_blocks<Acc, 1, 1, T>(prep, begin, end, n, in, whole, steps, out);
    }
}

template <int N>
using Min = Extreme<N, false>;
template <int N>
using Max = Extreme<N, true>;
template <int N>
using Var = Variance<N, false>;
template <int N>
using Stdev = Variance<N, true>;

template <class T>
void reduce_typed(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                  Stat stat, double* out) {
    switch (stat) {
        case Stat::Mean: return reduce_with<Mean, T>(basins, begin, end, in, out);
        case Stat::Sum: return reduce_with<Sum, T>(basins, begin, end, in, out);
        case Stat::Count: return reduce_with<Count, T>(basins, begin, end, in, out);
        case Stat::Min: return reduce_with<Min, T>(basins, begin, end, in, out);
        case Stat::Max: return reduce_with<Max, T>(basins, begin, end, in, out);
        case Stat::Variance: return reduce_with<Var, T>(basins, begin, end, in, out);
        case Stat::Stdev: return reduce_with<Stdev, T>(basins, begin, end, in, out);
        case Stat::WeightedMean:
            if (!in.weights) return reduce_with<Mean, T>(basins, begin, end, in, out);
            return reduce_with<WeightedMean, T>(basins, begin, end, in, out);
        case Stat::WeightedSum:
            if (!in.weights) return reduce_with<Sum, T>(basins, begin, end, in, out);
            return reduce_with<WeightedSum, T>(basins, begin, end, in, out);
        case Stat::NodataCount: return reduce_with<NodataCount, T>(basins, begin, end, in, out);
        case Stat::Coverage: return reduce_with<Coverage, T>(basins, begin, end, in, out);
    }
}

// A weight is read for every cell inside the raster block with a coverage fraction not
// <= 0, whatever the statistic; weights that stop short of such a cell are the caller's
// mistake. Checked before any reduction so the hot loop can read weights without bounds
// tests.
void check_weights_cover(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in) {
    const ArrayView& w = *in.weights;
    if (w.steps != 1) throw InputError("weights must be a 2-D array");
    if (w.rows >= in.raster.rows && w.cols >= in.raster.cols) return;
    for (std::size_t k = begin; k < end; ++k) {
        const Basin& b = basins[k];
        const Clip c = detail::clip(b, in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
        const detail::Window win = detail::window_of(b.coverage);
        for (std::uint64_t i = c.i0, r = c.r0; i < c.i1; ++i, ++r) {
            for (std::uint64_t j = c.j0, col = c.c0; j < c.j1; ++j, ++col) {
                if (r < w.rows && col < w.cols) continue;
                if (win.values[i * win.cols + j] <= 0.0f) continue;
                throw InputError("weights of shape (" + std::to_string(w.rows) + ", " + std::to_string(w.cols) +
                                 ") do not cover raster cell (" + std::to_string(r) + ", " + std::to_string(col) +
                                 ")");
            }
        }
    }
}

}  // namespace

Stat parse_stat(std::string_view name) {
    const std::optional<Stat> s = find_stat(name);
    if (s && *s != Stat::NodataCount && *s != Stat::Coverage) return *s;
    throw InputError("Unknown stat '" + std::string(name) +
                     "'. Supported: mean, sum, count, min, max, variance, stdev, weighted_mean, weighted_sum");
}

std::optional<Stat> find_stat(std::string_view name) {
    static constexpr std::pair<std::string_view, Stat> kNames[] = {
        {"mean", Stat::Mean},
        {"sum", Stat::Sum},
        {"count", Stat::Count},
        {"min", Stat::Min},
        {"max", Stat::Max},
        {"variance", Stat::Variance},
        {"stdev", Stat::Stdev},
        {"weighted_mean", Stat::WeightedMean},
        {"weighted_sum", Stat::WeightedSum},
        {"nodata_count", Stat::NodataCount},
        {"coverage", Stat::Coverage},
    };
    for (const auto& [text, kind] : kNames) {
        if (name == text) return kind;
    }
    return std::nullopt;
}

bool is_valid(double x, double nodata) { return ValueTest<double>(Nodata::of(nodata))(x); }

void check_inputs(std::span<const Basin> basins, const StatInputs& in, std::size_t begin, std::size_t end) {
    if (begin > end || end > basins.size()) {
        throw InputError("basin range [" + std::to_string(begin) + ", " + std::to_string(end) + ") is outside the " +
                         std::to_string(basins.size()) + " basins");
    }
    if (begin < end && in.raster.steps > 0 && in.weights) check_weights_cover(basins, begin, end, in);
}

void reduce(std::span<const Basin> basins, const StatInputs& in, Stat stat, std::size_t begin, std::size_t end,
            double* out) {
    check_inputs(basins, in, begin, end);
    if (begin == end || in.raster.steps == 0) return;
    detail::with_type(in.raster.dtype, [&](auto v) { reduce_typed<decltype(v)>(basins, begin, end, in, stat, out); });
}

std::vector<double> reduce(std::span<const Basin> basins, const StatInputs& in, Stat stat) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(in.raster.steps, static_cast<std::uint64_t>(basins.size()), &total) ||
        total > std::vector<double>().max_size()) {
        throw InputError("a result of " + std::to_string(in.raster.steps) + " x " + std::to_string(basins.size()) +
                         " values is too large");
    }
    std::vector<double> out(static_cast<std::size_t>(total), kNoValue);
    reduce(basins, in, stat, 0, basins.size(), out.data());
    return out;
}

}  // namespace quorvalis
