// Statistic kernels. Every reduction runs through one basin walk templated on the raster's
// element type, the accumulator and where weights come from, so the dtype and the statistic
// are chosen once per call and the cell loop has no dispatch in it.
//
// Results are pinned bit for bit: each accumulator sees its cells in window order (row by
// row, column by column) and does its arithmetic in exactly the order written below.
// Stacks are walked once per basin for a block of time steps, one accumulator per step:
// that interleaves independent accumulators (their add and divide chains overlap) but never
// changes the sequence of updates any one accumulator sees.
#include "stats.h"

#include <algorithm>
#include <bit>
#include <concepts>
#include <string>

#include "error.h"

namespace quorvalis {

namespace {

using detail::Clip;
using detail::load;
using detail::ValueTest;

const double kNoValue = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

template <class A>
concept Accumulator = requires(A a, const Sample& s) {
    a.update(s);
    { a.finish() } -> std::same_as<double>;
};

struct MeanAcc {
    double w = 0.0, s = 0.0;
    void update(const Sample& x) {
        if (x.value_valid) {
            w = w + x.coverage;
            s = s + x.value * x.coverage;
        }
    }
    double finish() const { return w > 0.0 ? s / w : kNoValue; }
};

struct SumAcc {
    double a = 0.0;
    void update(const Sample& x) {
        if (x.value_valid) a = a + x.coverage * x.value;
    }
    double finish() const { return a; }
};

// The count is the sum of the valid cells' coverage fractions, not a number of cells.
struct CountAcc {
    double a = 0.0;
    void update(const Sample& x) {
        if (x.value_valid) a = a + x.coverage;
    }
    double finish() const { return a; }
};

// On ties the earlier value stays (visible only as the sign of a zero).
template <bool kMax>
struct ExtremeAcc {
    double m = 0.0;
    bool present = false;
    void update(const Sample& x) {
        if (!x.value_valid || !(x.coverage > 0.0)) return;
        if (!present) {
            m = x.value;
            present = true;
        } else if (kMax ? x.value > m : x.value < m) {
            m = x.value;
        }
    }
    double finish() const { return present ? m : kNoValue; }
};

// Weighted incremental update with the coverage as the weight; population variance.
template <bool kSqrt>
struct VarianceAcc {
    double w = 0.0, mean = 0.0, q = 0.0;
    void update(const Sample& x) {
        if (!x.value_valid || !(x.coverage > 0.0)) return;
        const double w_next = w + x.coverage;
        const double delta = x.value - mean;
        const double r = (x.coverage * delta) / w_next;
        mean = mean + r;
        q = q + (delta * w) * r;
        w = w_next;
    }
    double finish() const {
        if (!(w > 0.0)) return kNoValue;
        return kSqrt ? std::sqrt(q / w) : q / w;
    }
};

struct WeightedMeanAcc {
    double w = 0.0, s = 0.0;
    void update(const Sample& x) {
        if (x.value_valid && x.weight_valid) {
            const double cw = x.coverage * x.weight;
            w = w + cw;
            s = s + x.value * cw;
        }
    }
    double finish() const { return w > 0.0 ? s / w : kNoValue; }
};

struct WeightedSumAcc {
    double a = 0.0;
    void update(const Sample& x) {
        if (x.value_valid && x.weight_valid) a = a + (x.coverage * x.value) * x.weight;
    }
    double finish() const { return a; }
};

struct NodataCountAcc {
    double a = 0.0;
    void update(const Sample& x) {
        if (!x.value_valid) a = a + x.coverage;
    }
    double finish() const { return a; }
};

struct CoverageAcc {
    double a = 0.0;
    void update(const Sample& x) { a = a + x.coverage; }
    double finish() const { return a; }
};

// Weight sources. A cursor walks one window row alongside the raster: get() is called
// only for cells that pass the coverage test, advance() for every cell.
struct UnitWeights {
    struct Cursor {
        void advance() {}
        void get(Sample& s) const {
            s.weight = 1.0;
            s.weight_valid = true;
        }
    };
    Cursor row(std::uint64_t, std::uint64_t) const { return {}; }
};

template <class W>
struct WeightRaster {
    ArrayView view;
    ValueTest<W> valid;

    struct Cursor {
        const std::byte* p;
        std::ptrdiff_t step;
        const ValueTest<W>* valid;
        void advance() { p += step; }
        void get(Sample& s) const {
            const W x = load<W>(p);
            s.weight = static_cast<double>(x);
            s.weight_valid = (*valid)(x);
        }
    };
    // Only called for cells that check_weights_cover() has proven to lie inside the view.
    Cursor row(std::uint64_t r, std::uint64_t c0) const {
        return {view.data + static_cast<std::ptrdiff_t>(r) * view.row_stride +
                    static_cast<std::ptrdiff_t>(c0) * view.col_stride,
                view.col_stride, &valid};
    }
};

// Everything one call's walks share, prepared once.
template <class T, class Weights>
struct Plan {
    const ArrayView& raster;
    ValueTest<T> valid;
    Weights weights;
    std::uint64_t origin_row, origin_col;

    Clip clip(const Basin& b) const { return detail::clip(b, raster.rows, raster.cols, origin_row, origin_col); }
};

// Walks one basin over N consecutive time steps at once, feeding acc[k] the cells of step
// t0 + k. Each cell's coverage and weight are read once for all N steps.
template <int N, class T, Accumulator Acc, class Weights>
void walk(const Basin& basin, const Plan<T, Weights>& plan, std::uint64_t t0, Acc (&acc)[N]) {
    const Clip in = plan.clip(basin);
    if (in.empty()) return;
    const ArrayView& v = plan.raster;
    const std::byte* base = v.data + static_cast<std::ptrdiff_t>(t0) * v.step_stride;
    const float* cov_row = basin.coverage.data.data() + in.i0 * basin.coverage.cols;
    for (std::uint64_t i = in.i0, r = in.r0; i < in.i1; ++i, ++r, cov_row += basin.coverage.cols) {
        const std::byte* p = base + static_cast<std::ptrdiff_t>(r) * v.row_stride +
                             static_cast<std::ptrdiff_t>(in.c0) * v.col_stride;
        auto wc = plan.weights.row(r, in.c0);
        for (std::uint64_t j = in.j0; j < in.j1; ++j, p += v.col_stride, wc.advance()) {
            const float f = cov_row[j];
            if (f <= 0.0f) continue;  // a NaN fraction is not skipped here
            Sample s;
            s.coverage = static_cast<double>(f);
            wc.get(s);
            for (int k = 0; k < N; ++k) {
                const T x = load<T>(p + k * v.step_stride);
                s.value = static_cast<double>(x);
                s.value_valid = plan.valid(x);
                acc[k].update(s);
            }
        }
    }
}

constexpr std::uint64_t kBlock = 8;

template <int N, class Acc, class T, class Weights>
void reduce_steps(std::span<const Basin> basins, std::size_t begin, std::size_t end, const Plan<T, Weights>& plan,
                  std::uint64_t t0, double* out) {
    const std::size_t n = basins.size();
    for (std::size_t k = begin; k < end; ++k) {
        Acc acc[N] = {};
        walk<N>(basins[k], plan, t0, acc);
        for (int b = 0; b < N; ++b) out[(t0 + static_cast<std::uint64_t>(b)) * n + k] = acc[b].finish();
    }
}

// Time outermost in blocks of kBlock steps, basins in cache order within a block:
// neighbouring basins then reuse the pages and cache lines of the block's slices.
template <class Acc, class T, class Weights>
void reduce_all(std::span<const Basin> basins, std::size_t begin, std::size_t end, const Plan<T, Weights>& plan,
                double* out) {
    const std::uint64_t steps = plan.raster.steps;
    std::uint64_t t = 0;
    for (; steps - t >= kBlock; t += kBlock) reduce_steps<kBlock, Acc>(basins, begin, end, plan, t, out);
    for (; t < steps; ++t) reduce_steps<1, Acc>(basins, begin, end, plan, t, out);
}

template <class Acc, class T>
void reduce_unweighted(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                       double* out) {
    const Plan<T, UnitWeights> plan{in.raster, ValueTest<T>(in.nodata), {}, in.origin_row, in.origin_col};
    reduce_all<Acc>(basins, begin, end, plan, out);
}

template <class Acc, class T>
void reduce_weighted(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                     double* out) {
    if (!in.weights) {
        reduce_unweighted<Acc, T>(basins, begin, end, in, out);
        return;
    }
    detail::with_type(in.weights->dtype, [&](auto w) {
        using W = decltype(w);
        const Plan<T, WeightRaster<W>> plan{in.raster, ValueTest<T>(in.nodata),
                                            {*in.weights, ValueTest<W>(in.weight_nodata)}, in.origin_row,
                                            in.origin_col};
        reduce_all<Acc>(basins, begin, end, plan, out);
    });
}

template <class T>
void reduce_typed(std::span<const Basin> basins, std::size_t begin, std::size_t end, const StatInputs& in,
                  Stat stat, double* out) {
    switch (stat) {
        case Stat::Mean: return reduce_unweighted<MeanAcc, T>(basins, begin, end, in, out);
        case Stat::Sum: return reduce_unweighted<SumAcc, T>(basins, begin, end, in, out);
        case Stat::Count: return reduce_unweighted<CountAcc, T>(basins, begin, end, in, out);
        case Stat::Min: return reduce_unweighted<ExtremeAcc<false>, T>(basins, begin, end, in, out);
        case Stat::Max: return reduce_unweighted<ExtremeAcc<true>, T>(basins, begin, end, in, out);
        case Stat::Variance: return reduce_unweighted<VarianceAcc<false>, T>(basins, begin, end, in, out);
        case Stat::Stdev: return reduce_unweighted<VarianceAcc<true>, T>(basins, begin, end, in, out);
        case Stat::WeightedMean: return reduce_weighted<WeightedMeanAcc, T>(basins, begin, end, in, out);
        case Stat::WeightedSum: return reduce_weighted<WeightedSumAcc, T>(basins, begin, end, in, out);
        case Stat::NodataCount: return reduce_unweighted<NodataCountAcc, T>(basins, begin, end, in, out);
        case Stat::Coverage: return reduce_unweighted<CoverageAcc, T>(basins, begin, end, in, out);
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
        for (std::uint64_t i = c.i0, r = c.r0; i < c.i1; ++i, ++r) {
            for (std::uint64_t j = c.j0, col = c.c0; j < c.j1; ++j, ++col) {
                if (r < w.rows && col < w.cols) continue;
                if (b.coverage(i, j) <= 0.0f) continue;
                throw InputError("weights of shape (" + std::to_string(w.rows) + ", " + std::to_string(w.cols) +
                                 ") do not cover raster cell (" + std::to_string(r) + ", " + std::to_string(col) +
                                 ")");
            }
        }
    }
}

void check_windows(std::span<const Basin> basins, std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
        const Basin& b = basins[k];
        std::uint64_t cells = 0;
        if (__builtin_mul_overflow(b.coverage.rows, b.coverage.cols, &cells) || b.coverage.data.size() != cells) {
            throw InternalError("coverage window of basin " + std::to_string(b.id) + " holds " +
                                std::to_string(b.coverage.data.size()) + " values for " +
                                std::to_string(b.coverage.rows) + " x " + std::to_string(b.coverage.cols) + " cells");
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

void reduce(std::span<const Basin> basins, const StatInputs& in, Stat stat, std::size_t begin, std::size_t end,
            double* out) {
    if (begin > end || end > basins.size()) {
        throw InputError("basin range [" + std::to_string(begin) + ", " + std::to_string(end) + ") is outside the " +
                         std::to_string(basins.size()) + " basins");
    }
    if (begin == end || in.raster.steps == 0) return;
    check_windows(basins, begin, end);
    if (in.weights) check_weights_cover(basins, begin, end, in);
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
