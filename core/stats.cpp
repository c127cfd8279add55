// Statistic kernels. Every reduction (single raster or stack, with or without weights) runs
// through one basin walk templated on the accumulator and on where weights come from, so
// the statistic is chosen once per basin and the cell loop has no dispatch in it.
//
// Results are pinned bit for bit: each accumulator sees its cells in window order (row by
// row, column by column) and does its arithmetic in exactly the order written below.
// Stacks are walked once per basin for a block of up to eight time steps, one accumulator
// per step: that interleaves independent accumulators (their add and divide chains overlap)
// but never changes the sequence of updates any one accumulator sees.
#include "stats.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <string>

#include "error.h"

namespace quorvalis {

namespace {

const double kNoValue = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
constexpr double kNodataTolerance = 1e-06;

// The validity test with the nodata value prepared once per call: a NaN nodata excludes
// nothing beyond non-finite values, which is what an infinite nodata does for finite x.
struct Validity {
    double nodata;

    explicit Validity(double nd) : nodata(std::isnan(nd) ? std::numeric_limits<double>::infinity() : nd) {}

    bool operator()(double x) const {
        return std::fabs(x) <= std::numeric_limits<double>::max() && std::fabs(x - nodata) > kNodataTolerance;
    }
};

double load(const std::byte* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// What an accumulator sees of one covered cell.
struct Sample {
    double value;
    double weight;
    double coverage;  // the window's 32-bit fraction, widened exactly
    bool value_valid;
    bool weight_valid;
};

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

struct WeightRaster {
    RasterView view;
    Validity valid;

    struct Cursor {
        const std::byte* p;
        std::ptrdiff_t step;
        Validity valid;
        void advance() { p += step; }
        void get(Sample& s) const {
            s.weight = load(p);
            s.weight_valid = valid(s.weight);
        }
    };
    // Only called for cells that check_weights_cover() has proven to lie inside the view.
    Cursor row(std::uint64_t r, std::uint64_t c0) const {
        return {view.data + static_cast<std::ptrdiff_t>(r) * view.row_stride +
                    static_cast<std::ptrdiff_t>(c0) * view.col_stride,
                view.col_stride, valid};
    }
};

// The part of a window that lies inside an extent of `rows` x `cols`, computed without
// letting offset + index wrap around.
struct Span2 {
    std::uint64_t rows;
    std::uint64_t cols;
};

Span2 clip(const Basin& b, std::uint64_t rows, std::uint64_t cols) {
    const std::uint64_t h = b.row_offset >= rows ? 0 : std::min(b.coverage.rows(), rows - b.row_offset);
    const std::uint64_t w = b.col_offset >= cols ? 0 : std::min(b.coverage.cols(), cols - b.col_offset);
    return {h, w};
}

// Walks one basin over N consecutive time steps at once, feeding acc[k] the cells of step
// t0 + k. Each cell's coverage and weight are read once for all N steps.
template <int N, Accumulator Acc, class Weights>
void walk(const Basin& basin, const RasterStack& stack, std::uint64_t t0, const Weights& weights, Validity valid,
          Acc (&acc)[N]) {
    const Span2 in = clip(basin, stack.rows, stack.cols);
    if (in.rows == 0 || in.cols == 0) return;
    const std::byte* base = stack.data + static_cast<std::ptrdiff_t>(t0) * stack.step_stride;
    const float* cov_row = basin.coverage.values().data();
    for (std::uint64_t i = 0; i < in.rows; ++i, cov_row += basin.coverage.cols()) {
        const std::uint64_t r = basin.row_offset + i;
        const std::byte* p = base + static_cast<std::ptrdiff_t>(r) * stack.row_stride +
                             static_cast<std::ptrdiff_t>(basin.col_offset) * stack.col_stride;
        auto wc = weights.row(r, basin.col_offset);
        for (std::uint64_t j = 0; j < in.cols; ++j, p += stack.col_stride, wc.advance()) {
            const float f = cov_row[j];
            if (f <= 0.0f) continue;  // a NaN fraction is not skipped here
            Sample s;
            s.coverage = static_cast<double>(f);
            wc.get(s);
            for (int k = 0; k < N; ++k) {
                s.value = load(p + k * stack.step_stride);
                s.value_valid = valid(s.value);
                acc[k].update(s);
            }
        }
    }
}

constexpr std::uint64_t kBlock = 8;

// Reduces time steps [t0, t0 + N) of one basin.
template <int N, class Acc, class Weights>
void reduce_steps(const Basin& basin, std::size_t k, std::size_t n_basins, const RasterStack& stack, std::uint64_t t0,
                  const Weights& weights, Validity valid, double* out) {
    Acc acc[N] = {};
    walk<N>(basin, stack, t0, weights, valid, acc);
    for (int b = 0; b < N; ++b) out[(t0 + static_cast<std::uint64_t>(b)) * n_basins + k] = acc[b].finish();
}

template <int N, class Weights>
void reduce_block(StatKind kind, const CacheRecord& cache, const RasterStack& stack, std::uint64_t t0,
                  const Weights& weights, Validity valid, double* out) {
    const std::size_t n = cache.basins.size();
    for (std::size_t k = 0; k < n; ++k) {
        const Basin& b = cache.basins[k];
        switch (kind) {
            case StatKind::Mean: reduce_steps<N, MeanAcc>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::Sum: reduce_steps<N, SumAcc>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::Count: reduce_steps<N, CountAcc>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::Min: reduce_steps<N, ExtremeAcc<false>>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::Max: reduce_steps<N, ExtremeAcc<true>>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::Variance: reduce_steps<N, VarianceAcc<false>>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::Stdev: reduce_steps<N, VarianceAcc<true>>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::WeightedMean: reduce_steps<N, WeightedMeanAcc>(b, k, n, stack, t0, weights, valid, out); break;
            case StatKind::WeightedSum: reduce_steps<N, WeightedSumAcc>(b, k, n, stack, t0, weights, valid, out); break;
        }
    }
}

// Time outermost in blocks of up to kBlock steps, basins in cache order within a block:
// neighbouring basins then reuse the pages and cache lines of the block's slices.
template <class Weights>
void reduce_all(StatKind kind, const CacheRecord& cache, const RasterStack& stack, const Weights& weights,
                double nodata, double* out) {
    const Validity valid(nodata);
    for (std::uint64_t t = 0; t < stack.steps;) {
        const std::uint64_t left = stack.steps - t;
        if (left >= kBlock) {
            reduce_block<static_cast<int>(kBlock)>(kind, cache, stack, t, weights, valid, out);
            t += kBlock;
        } else if (left >= 4) {
            reduce_block<4>(kind, cache, stack, t, weights, valid, out);
            t += 4;
        } else if (left >= 2) {
            reduce_block<2>(kind, cache, stack, t, weights, valid, out);
            t += 2;
        } else {
            reduce_block<1>(kind, cache, stack, t, weights, valid, out);
            t += 1;
        }
    }
}

// A weight is read for every cell inside the raster with a coverage fraction not <= 0,
// whatever the statistic; weights that stop short of such a cell are the caller's mistake.
// Checked before any reduction so the hot loop can read weights without bounds tests.
void check_weights_cover(const CacheRecord& cache, std::uint64_t rows, std::uint64_t cols, const RasterView& w) {
    for (const Basin& b : cache.basins) {
        const Span2 in = clip(b, rows, cols);
        if (in.rows == 0 || in.cols == 0) continue;
        const Span2 ok = clip(b, w.rows, w.cols);
        if (ok.rows >= in.rows && ok.cols >= in.cols) continue;
        for (std::uint64_t i = 0; i < in.rows; ++i) {
            for (std::uint64_t j = 0; j < in.cols; ++j) {
                if (i < ok.rows && j < ok.cols) continue;
                if (b.coverage(i, j) <= 0.0f) continue;
                throw InputError("weights of shape (" + std::to_string(w.rows) + ", " + std::to_string(w.cols) +
                                 ") do not cover raster cell (" + std::to_string(b.row_offset + i) + ", " +
                                 std::to_string(b.col_offset + j) + ")");
            }
        }
    }
}

std::vector<double> make_output(std::uint64_t steps, std::size_t n_basins) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(steps, static_cast<std::uint64_t>(n_basins), &total) ||
        total > std::vector<double>().max_size()) {
        throw InputError("a result of " + std::to_string(steps) + " x " + std::to_string(n_basins) +
                         " values is too large");
    }
    return std::vector<double>(static_cast<std::size_t>(total), kNoValue);
}

// The shared driver. The name is checked only when some basin is actually reduced, so an
// empty cache or an empty stack accepts any name.
std::vector<double> reduce(const CacheRecord& cache, const RasterStack& stack, const RasterView* weights,
                           double nodata, double weight_nodata, std::string_view stat) {
    std::vector<double> out = make_output(stack.steps, cache.basins.size());
    if (out.empty()) return out;
    const StatKind kind = parse_stat(stat);
    if (weights == nullptr) {
        reduce_all(kind, cache, stack, UnitWeights{}, nodata, out.data());
        return out;
    }
    check_weights_cover(cache, stack.rows, stack.cols, *weights);
    // The seven standard statistics ignore weights altogether, so only the two weighted
    // ones pay for reading them.
    if (kind == StatKind::WeightedMean || kind == StatKind::WeightedSum) {
        reduce_all(kind, cache, stack, WeightRaster{*weights, Validity(weight_nodata)}, nodata, out.data());
    } else {
        reduce_all(kind, cache, stack, UnitWeights{}, nodata, out.data());
    }
    return out;
}

RasterStack as_stack(const RasterView& v) { return {v.data, 1, v.rows, v.cols, 0, v.row_stride, v.col_stride}; }

}  // namespace

StatKind parse_stat(std::string_view name) {
    static constexpr std::pair<std::string_view, StatKind> kNames[] = {
        {"mean", StatKind::Mean},         {"sum", StatKind::Sum},
        {"count", StatKind::Count},       {"min", StatKind::Min},
        {"max", StatKind::Max},           {"variance", StatKind::Variance},
        {"stdev", StatKind::Stdev},       {"weighted_mean", StatKind::WeightedMean},
        {"weighted_sum", StatKind::WeightedSum},
    };
    for (const auto& [text, kind] : kNames) {
        if (name == text) return kind;
    }
    throw InputError("Unknown stat '" + std::string(name) +
                     "'. Supported: mean, sum, count, min, max, variance, stdev, weighted_mean, weighted_sum");
}

bool is_valid(double x, double nodata) { return Validity(nodata)(x); }

std::vector<double> apply_stat(const CacheRecord& cache, const RasterView& raster, double nodata,
                               std::string_view stat) {
    return reduce(cache, as_stack(raster), nullptr, nodata, nodata, stat);
}

std::vector<double> apply_stat_weights(const CacheRecord& cache, const RasterView& raster, const RasterView& weights,
                                       double nodata, double weight_nodata, std::string_view stat) {
    return reduce(cache, as_stack(raster), &weights, nodata, weight_nodata, stat);
}

std::vector<double> apply_stat_batch(const CacheRecord& cache, const RasterStack& raster, double nodata,
                                     std::string_view stat) {
    return reduce(cache, raster, nullptr, nodata, nodata, stat);
}

std::vector<double> apply_stat_batch_weights(const CacheRecord& cache, const RasterStack& raster,
                                             const RasterView& weights, double nodata, double weight_nodata,
                                             std::string_view stat) {
    return reduce(cache, raster, &weights, nodata, weight_nodata, stat);
}

}  // namespace quorvalis
