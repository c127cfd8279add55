// The statistic kernels, included by stats.cpp once per vector width, each time inside a
// namespace of its own that defines kWidth (doubles per vector), kGroups (vectors per block
// of time steps) and kRowLanes (basins side by side on a single step, for the statistics
// that are not sums), so that the same text compiles for the instruction sets a machine may
// have. Not a header of its own: it relies on stats.cpp's includes and definitions.
//
// Accumulators hold N lanes, lane k for time step t0 + k (or, on a single step, for a basin;
// the terms of the sums are found there with lanes for adjacent cells of one basin),
// as vectors of N doubles, so one update serves N lanes and their add and divide chains
// overlap. Every lane does exactly the scalar arithmetic of one accumulator. A lane that
// must not change either keeps its value by selection, or, in the sums, adds +0.0: a sum
// that starts at +0.0 can never become -0.0 (in round-to-nearest, x + y is -0.0 only when
// both are), and s + 0.0 is s for every other s, NaN and infinities included. An update
// sees one cell per lane: the N values, which of them count (a mask of all-ones lanes), the
// coverage c (one double for every lane, never <= 0; or one per lane, +0.0 in a lane where
// nothing counts) and the weight in the same form (valid whenever the statistic reads it).
// Lanes ask for the alignment of a double only: compilers may disagree about a wide
// vector's natural alignment between code built for AVX2 and the code around it (GCC gives
// the same type an alignment of 32 inside and 16 outside), and the containers holding
// accumulators are allocated outside.
template <int N>
struct VectorOf {
    typedef double lanes __attribute__((vector_size(8 * N), aligned(8)));
    typedef std::int64_t mask __attribute__((vector_size(8 * N), aligned(8)));
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
double lane(V v, int k) {
    if constexpr (std::is_same_v<V, double> || std::is_same_v<V, std::int64_t>) {
        return static_cast<double>(v);
    } else {
        return static_cast<double>(v[k]);
    }
}

// v where !m, else +0.0.
template <int N>
[[gnu::always_inline]] inline Lanes<N> drop(Mask<N> m, Lanes<N> v) {
    if constexpr (N == 1) {
        return m ? 0.0 : v;
    } else {
        return (Lanes<N>)but_not<N>((Mask<N>)v, m);
    }
}

// The statistics that are sums: D::terms(x, ok, c, weight, t) gives in t[k] what each lane
// adds to a[k] for one cell. A cell's terms depend on nothing before it, so the kernels may
// find them for several cells at once; only the additions must come one cell after another.
// One sum is the result; two are a weight and a weighted sum, whose ratio is.
template <class D, int N, int K>
struct Sums {
    static_assert(K == 1 || K == 2);
    static constexpr int kTerms = K;
    Lanes<N> a[K]{};
    template <class C>
    void update(Lanes<N> x, Mask<N> ok, C c, C weight) {
        Lanes<N> t[K];
        D::terms(x, ok, c, weight, t);
        for (int k = 0; k < K; ++k) a[k] = a[k] + t[k];
    }
    double finish(int k) const {
        if constexpr (K == 1) {
            return lane(a[0], k);
        } else {
            const double w = lane(a[0], k);
            return w > 0.0 ? lane(a[1], k) / w : kNoValue;
        }
    }
};

template <int N>
struct Mean : Sums<Mean<N>, N, 2> {
    template <class C>
    static void terms(Lanes<N> x, Mask<N> ok, C c, C, Lanes<N> (&t)[2]) {
        t[0] = keep<N>(ok, c + Lanes<N>{});
        t[1] = keep<N>(ok, x * c);
    }
};

template <int N>
struct Sum : Sums<Sum<N>, N, 1> {
    template <class C>
    static void terms(Lanes<N> x, Mask<N> ok, C c, C, Lanes<N> (&t)[1]) { t[0] = keep<N>(ok, c * x); }
};

// The count is the sum of the valid cells' coverage fractions, not a number of cells.
template <int N>
struct Count : Sums<Count<N>, N, 1> {
    template <class C>
    static void terms(Lanes<N>, Mask<N> ok, C c, C, Lanes<N> (&t)[1]) { t[0] = keep<N>(ok, c + Lanes<N>{}); }
};

template <int N>
struct WeightedMean : Sums<WeightedMean<N>, N, 2> {
    static constexpr bool kWeighted = true;
    template <class C>
    static void terms(Lanes<N> x, Mask<N> ok, C c, C weight, Lanes<N> (&t)[2]) {
        const C cw = c * weight;
        t[0] = keep<N>(ok, cw + Lanes<N>{});
        t[1] = keep<N>(ok, x * cw);
    }
};

template <int N>
struct WeightedSum : Sums<WeightedSum<N>, N, 1> {
    static constexpr bool kWeighted = true;
    template <class C>
    static void terms(Lanes<N> x, Mask<N> ok, C c, C weight, Lanes<N> (&t)[1]) { t[0] = keep<N>(ok, (c * x) * weight); }
};

// Coverage of the cells that do not count. A sum starting at +0.0 is unchanged by adding
// +0.0, and adding c + 0.0 instead of c differs only for c = -0.0, which leaves it +0.0
// either way.
template <int N>
struct NodataCount : Sums<NodataCount<N>, N, 1> {
    template <class C>
    static void terms(Lanes<N>, Mask<N> ok, C c, C, Lanes<N> (&t)[1]) { t[0] = drop<N>(ok, c + Lanes<N>{}); }
};

template <int N>
struct Coverage : Sums<Coverage<N>, N, 1> {
    template <class C>
    static void terms(Lanes<N>, Mask<N>, C c, C, Lanes<N> (&t)[1]) { t[0] = c + Lanes<N>{}; }
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

template <class A>
constexpr bool weighted() {
    if constexpr (requires { A::kWeighted; }) return A::kWeighted;
    return false;
}

template <int W, class T, int... K>
[[gnu::always_inline]] inline Lanes<W> gather(const std::byte* p, const std::ptrdiff_t* offset,
                                              std::integer_sequence<int, K...>) {
    return Lanes<W>{static_cast<double>(load<T>(p + offset[K]))...};
}

// Integer types that a signed 32-bit integer holds, converted to double in SIMD lanes.
template <class T>
constexpr bool kExactInInt32 = std::is_integral_v<T> && (std::is_signed_v<T> ? sizeof(T) <= 4 : sizeof(T) <= 2);

// Which of W float values count: the scalar test, lane-wise. x - x is +0.0 for a finite x
// and NaN otherwise, so |x - nodata| + (x - x) exceeds the tolerance exactly when x is
// finite and farther than the tolerance from nodata (a NaN nodata is held as infinity).
template <int W, class T>
[[gnu::always_inline]] inline Mask<W> counts(Lanes<W> x, const ValueTest<T>& valid) {
    const Lanes<W> gap = (Lanes<W>)but_not<W>((Mask<W>)(x - valid.nodata), Mask<W>{} + std::numeric_limits<std::int64_t>::min());
    return greater<W>(gap + (x - x), detail::kNodataTolerance + Lanes<W>{});
}

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
#if QV_AVX2_KERNELS
        if constexpr (std::is_same_v<T, float> && W == 4) {
            // The same with four lanes: the floats gathered into one register, then widened.
            const __m128 four = _mm_setr_ps(load<float>(p + offset[0]), load<float>(p + offset[1]),
                                            load<float>(p + offset[2]), load<float>(p + offset[3]));
            x = (Lanes<W>)_mm256_cvtps_pd(four);
        } else
#endif
        {
            x = gather<W, T>(p, offset, std::make_integer_sequence<int, W>{});
        }
        ok = counts<W>(x, valid);
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
// asks for a later segment's lines itself, early enough to cover a trip to memory.
constexpr std::size_t kPrefetchAhead = 4;
constexpr std::ptrdiff_t kMaxPrefetchBytes = 16 * 64;

template <int N>
[[gnu::always_inline]] inline void prefetch(const Segment& s, const ArrayView& v, const std::ptrdiff_t (&offset)[N]) {
    const std::byte* p =
        v.data + static_cast<std::ptrdiff_t>(s.row) * v.row_stride + static_cast<std::ptrdiff_t>(s.col) * v.col_stride;
    const std::ptrdiff_t bytes = static_cast<std::ptrdiff_t>(s.len - 1) * v.col_stride;
    detail::prefetch_run(p, bytes, kMaxPrefetchBytes, offset);
    detail::prefetch_run(reinterpret_cast<const std::byte*>(s.cov), static_cast<std::ptrdiff_t>(s.len - 1) * 4, kMaxPrefetchBytes);
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

// c, or a zero where c < 0 (-0.0 where c is -0.0; NaN where c is NaN).
template <int W>
[[gnu::always_inline]] inline Lanes<W> at_least_zero(Lanes<W> c) {
#if defined(__SSE2__)
    // maxpd returns its second operand when either is NaN or both are zeros (so does vmaxpd).
    if constexpr (QV_SSE2(W)) return (Lanes<W>)_mm_max_pd(_mm_setzero_pd(), (__m128d)c);
#endif
#if QV_AVX2_KERNELS
    if constexpr (W == 4) return (Lanes<W>)_mm256_max_pd(_mm256_setzero_pd(), (__m256d)c);
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

// One raster step read in address order, lanes = basins, for the statistics that are not
// sums (extremes and variance): the prepared segments are taken in order, W at a time side
// by side, as far as the shortest; a lane whose segment ends stores its basin's accumulator
// and takes the next segment, unless that belongs to a basin another lane holds, in which
// case it waits for it (so each basin still sees its cells in window order). A waiting or
// idle lane reads a busy lane's cells again, and drops what it adds.
template <template <int> class Acc, int W, class T>
void reduce_rows(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                 double* out) {
    static_assert(!weighted<Acc<W>>());
    const Prepared prep = prepare(basins, begin, end, in, false);
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
            // A fraction <= 0 must leave its lane as it is; the extremes and the variance take
            // only fractions > 0, so negative fractions become zeros (a NaN stays, as it does
            // in the other kernels), which spares a mask per cell.
            c = at_least_zero<W>(c);
            a.update(x, ok, c, 1.0 + Lanes<W>{});  // a weight these statistics never read
        }
        acc = a;
        for (int k = 0; k < W; ++k) {
            if (basin[k] == kIdle) continue;
            left[k] -= n;
            cov[k] += n;
            at[k] += static_cast<std::ptrdiff_t>(n) * v.col_stride;
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


// W adjacent doubles, and W adjacent floats as doubles, each by one load, at any alignment
// (NumPy arrays need not be aligned). Intrinsics rather than memcpy: compilers tuning for
// older processors copy a wide vector in halves through memory.
template <int W>
[[gnu::always_inline]] inline Lanes<W> load_adjacent(const double* d) {
#if QV_AVX2_KERNELS
    if constexpr (W == 4) return (Lanes<W>)_mm256_loadu_pd(d);
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return (Lanes<W>)_mm_loadu_pd(d);
#endif
    Lanes<W> x;
    for (int k = 0; k < W; ++k) x[k] = load<double>(reinterpret_cast<const std::byte*>(d + k));
    return x;
}

template <int W>
[[gnu::always_inline]] inline Lanes<W> widen(const float* f) {
#if QV_AVX2_KERNELS
    if constexpr (W == 4) return (Lanes<W>)_mm256_cvtps_pd(_mm_loadu_ps(f));
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return (Lanes<W>)_mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(f))));
#endif
    Lanes<W> x;
    for (int k = 0; k < W; ++k) x[k] = static_cast<double>(load<float>(reinterpret_cast<const std::byte*>(f + k)));
    return x;
}

// The values of W cells of a row, lane k at byte offset offset[k] from p, with which of
// them count; one vector load where float cells lie side by side (kAdjacent).
template <int W, class T, bool kAdjacent>
[[gnu::always_inline]] inline void load_cells(const std::byte* p, const std::ptrdiff_t* offset,
                                              const ValueTest<T>& valid, Lanes<W>& x, Mask<W>& ok) {
    if constexpr (kAdjacent && std::is_same_v<T, double>) {
        x = load_adjacent<W>(reinterpret_cast<const double*>(p));
        ok = counts<W>(x, valid);
    } else if constexpr (kAdjacent && std::is_same_v<T, float>) {
        x = widen<W>(reinterpret_cast<const float*>(p));
        ok = counts<W>(x, valid);
    } else {
        load_lanes<W>(p, offset, valid, x, ok);
    }
}

// One raster step of a statistic that is a sum, lanes = cells: the terms of W cells of a
// segment are found at once, then added to the basin's sums one cell after the other. Two
// segments of different basins go side by side, so that their chains of additions overlap;
// the cells of a segment's last partial vector are copied out and padded. kAdjacent: the
// raster's cells lie side by side in each row.
template <template <int> class Acc, int W, class T, bool kAdjacent>
void reduce_cells(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                  double* out) {
    using A1 = Acc<1>;
    constexpr int K = A1::kTerms;
    constexpr bool kWeighted = weighted<A1>();
    // The weights are read segment by segment as the sweep reaches them. Stored for every
    // cell up front, as a stack's are, they cost a single step more than the sweep itself (a
    // write and a read of 8 bytes per cell, on fresh pages).
    const Prepared prep = prepare(basins, begin, end, in, false);
    std::optional<WeightReader> read;
    std::vector<double> weights[2];
    if constexpr (kWeighted) {
        read.emplace(in);
        std::uint32_t longest = 0;
        for (const Segment& s : prep.segments) longest = std::max(longest, s.len);
        for (std::vector<double>& w : weights) w.resize(longest);
    }
    const ArrayView& v = in.raster;
    const ValueTest<T> valid(in.nodata);
    std::ptrdiff_t offset[W], packed[W];
    for (int k = 0; k < W; ++k) {
        offset[k] = k * v.col_stride;
        packed[k] = k * static_cast<std::ptrdiff_t>(sizeof(T));
    }
    std::vector<A1> state(end - begin);

    // Adds the first `lanes` of W cells: values at p, fractions at cov, weights at wt.
    const auto cells = [&](A1& acc, const std::byte* p, const std::ptrdiff_t* off, const float* cov, const double* wt,
                           int lanes) __attribute__((always_inline)) {
        Lanes<W> x{};
        Mask<W> ok{};
        load_cells<W, T, kAdjacent>(p, off, valid, x, ok);
        Lanes<W> c = widen<W>(cov);
        Lanes<W> weight = 1.0 + Lanes<W>{};
        if constexpr (kWeighted) {
            // A fraction <= 0 or a weight that does not count leaves the sums as they are.
            weight = load_adjacent<W>(wt);
            const Mask<W> counted =
                both<W>((Mask<W>)but_not<W>(Mask<W>{} - 1, (Mask<W>)(c <= Lanes<W>{})), (Mask<W>)(weight == weight));
            weight = pick<W>(counted, weight, 1.0 + Lanes<W>{});
            c = keep<W>(counted, c);
            ok = both<W>(ok, counted);
        } else {
            // A zero fraction adds zeros to every sum, whatever the value.
            c = at_least_zero<W>(c);
        }
        Lanes<W> t[K];
        Acc<W>::terms(x, ok, c, weight, t);
        for (int i = 0; i < lanes; ++i)
            for (int k = 0; k < K; ++k) acc.a[k] = acc.a[k] + t[k][i];
    };
    const auto first = [&](const Segment& s) __attribute__((always_inline)) {
        return v.data + static_cast<std::ptrdiff_t>(s.row) * v.row_stride + static_cast<std::ptrdiff_t>(s.col) * v.col_stride;
    };
    // W cells of segment s from cell j, whose value is at p; wt holds the segment's weights.
    const auto whole = [&](A1& acc, const Segment& s, const std::byte* p, const double* wt, std::uint32_t j)
                           __attribute__((always_inline)) { cells(acc, p, offset, s.cov + j, kWeighted ? wt + j : nullptr, W); };
    // Segment s from cell j (value at p) to its end, into its basin's state.
    const auto rest = [&](A1 acc, const Segment& s, const std::byte* p, const double* wt, std::uint32_t j)
                          __attribute__((always_inline)) {
        for (; j + W <= s.len; j += W, p += W * v.col_stride) whole(acc, s, p, wt, j);
        if (j < s.len) {
            const int left = static_cast<int>(s.len - j);
            T x[W] = {};
            float cov[W] = {};
            double w[W] = {};
            for (int k = 0; k < left; ++k) {
                x[k] = load<T>(p + k * v.col_stride);
                cov[k] = s.cov[j + static_cast<std::uint32_t>(k)];
                if (kWeighted) w[k] = wt[j + static_cast<std::uint32_t>(k)];
            }
            cells(acc, reinterpret_cast<const std::byte*>(x), packed, cov, w, left);
        }
        state[s.basin] = acc;
    };
    const std::size_t n = prep.segments.size();
    const std::ptrdiff_t zero[1] = {0};
    std::size_t fetched = 0;
    for (std::size_t i = 0; i < n;) {
        for (; fetched < std::min(n, i + 2 + kPrefetchAhead); ++fetched) {
            const Segment& s = prep.segments[fetched];
            prefetch(s, v, zero);
            if constexpr (kWeighted) {
                const ArrayView& w = *in.weights;
                const std::byte* q =
                    w.data + static_cast<std::ptrdiff_t>(s.row) * w.row_stride + static_cast<std::ptrdiff_t>(s.col) * w.col_stride;
                detail::prefetch_run(q, static_cast<std::ptrdiff_t>(s.len - 1) * w.col_stride, kMaxPrefetchBytes);
            }
        }
        const Segment& s = prep.segments[i];
        if (i + 1 < n && prep.segments[i + 1].basin != s.basin) {
            const Segment& s1 = prep.segments[i + 1];
            A1 a = state[s.basin], b = state[s1.basin];
            const std::byte* p = first(s);
            const std::byte* p1 = first(s1);
            if constexpr (kWeighted) {
                (*read)(s, weights[0].data());
                (*read)(s1, weights[1].data());
            }
            const double* wt = weights[0].data();
            const double* wt1 = weights[1].data();
            const std::uint32_t side_by_side = std::min(s.len, s1.len) / W * W;
            for (std::uint32_t j = 0; j < side_by_side; j += W, p += W * v.col_stride, p1 += W * v.col_stride) {
                whole(a, s, p, wt, j);
                whole(b, s1, p1, wt1, j);
            }
            rest(a, s, p, wt, side_by_side);
            rest(b, s1, p1, wt1, side_by_side);
            i += 2;
        } else {
            if constexpr (kWeighted) (*read)(s, weights[0].data());
            rest(state[s.basin], s, first(s), weights[0].data(), 0);
            i += 1;
        }
    }
    for (std::size_t b = begin; b < end; ++b) out[b] = state[b - begin].finish(0);
}

template <template <int> class Acc, class T>
void reduce_with(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                 double* out) {
    if (in.raster.steps == 1) {
        if constexpr (requires { Acc<1>::kTerms; }) {
            if constexpr (std::is_floating_point_v<T>) {
                if (in.raster.col_stride == static_cast<std::ptrdiff_t>(sizeof(T)))
                    return reduce_cells<Acc, kWidth, T, true>(basins, begin, end, in, out);
            }
            return reduce_cells<Acc, kWidth, T, false>(basins, begin, end, in, out);
        } else {
            return reduce_rows<Acc, kRowLanes, T>(basins, begin, end, in, out);
        }
    }
    const Prepared prep = prepare(basins, begin, end, in, weighted<Acc<1>>() && in.weights.has_value());
    const std::uint64_t steps = in.raster.steps;
    constexpr int kBlock = kGroups * kWidth;
    const std::uint64_t whole = steps - steps % kBlock;
    const std::size_t n = basins.size();
    reduce_blocks<Acc, kWidth, kGroups, T>(prep, begin, end, n, in, 0, whole, out);
    const std::uint64_t left = steps - whole;
    if (left > kWidth) {
        reduce_blocks<Acc, kWidth, kGroups, T>(prep, begin, end, n, in, whole, steps, out);
    } else if (left > 1) {
        reduce_blocks<Acc, kWidth, 1, T>(prep, begin, end, n, in, whole, steps, out);
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
