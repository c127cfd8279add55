// Statistic kernels. Every reduction runs through one sweep templated on the raster's
// element type and the accumulator, so the dtype and the statistic are chosen once per call
// and the cell loop has no dispatch in it.
//
// Results are pinned bit for bit: each accumulator sees its cells in window order (row by
// row, column by column) and does its arithmetic in exactly the order written in
// stats_kernels.inc. Time steps are taken in blocks, one SIMD lane per step; within a block
// every zone of the range is swept together, top to bottom through the raster, so each step
// is read once in address order whatever the zones' order and overlap. A single step sweeps
// the same way, with the lanes holding cells of one zone for the statistics that are sums
// (their terms are found for several cells at once, and added one cell after another) and
// zones for the others. Neither the lanes nor the sweep change
// the sequence of updates any one accumulator sees, and neither does the vector width: the
// kernels are compiled twice, for two-double vectors (every x86-64 and AArch64 machine) and,
// on x86-64, for the four-double vectors of AVX2, chosen when the processor has them. Lanes
// do scalar IEEE arithmetic either way (never fused multiply-adds), so both give the same
// bits.
#include "stats/stats.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "support/error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QV_AVX2_KERNELS 1
#include <immintrin.h>
#else
#define QV_AVX2_KERNELS 0
#endif

// Mask operations take one SSE2 instruction on vectors of two doubles (see stats_kernels.inc).
#if defined(__SSE2__)
#define QV_SSE2(N) ((N) == 2)
#else
#define QV_SSE2(N) false
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

// One zone's window row inside the raster block, within the row's stored span; cells
// inside it may still be <= 0 and are skipped one by one.
struct Segment {
    std::uint64_t row;  // block row
    std::uint64_t col;  // block column of cov[0]
    const float* cov;
    std::size_t weights;  // index of cov[0]'s weight in Prepared::weights
    std::uint32_t len;
    std::uint32_t zone;  // index from the range's first zone
};

// What every block of time steps shares: the segments of the zone range sorted by block
// row (window order within each zone is kept, since a zone has one segment per row),
// so each step of the raster is read once, top to bottom, whatever the zones' order;
// and, for the weighted statistics of a stack, the weight of each segment cell (NaN where
// the weight does not count), read once for all steps.
struct Prepared {
    std::vector<Segment> segments;
    std::vector<double> weights;
};

// Reads the weights of a segment's cells as doubles, NaN where a weight does not count,
// with the weights' dtype and nodata dispatched and prepared once.
class WeightReader {
public:
    explicit WeightReader(const StatInputs& in) {
        detail::with_type(in.weights->dtype, [&](auto w) {
            using W = decltype(w);
            read_ = [v = *in.weights, valid = ValueTest<W>(in.weight_nodata)](const Segment& s, double* out) {
                const std::byte* q = v.cell(s.row, s.col);
                for (std::uint32_t j = 0; j < s.len; ++j, q += v.col_stride) {
                    const W x = load<W>(q);
                    out[j] = valid(x) ? static_cast<double>(x) : kNoValue;
                }
            };
        });
    }
    void operator()(const Segment& s, double* out) const { read_(s, out); }

private:
    std::function<void(const Segment&, double*)> read_;
};

// Calls f(segment) for the pieces of the zones' row spans inside the raster block, zone
// by zone in the given order (indices into `zones`) and each in window order, numbering
// their cells from 0 (the `weights` index).
template <class F>
void for_each_segment(std::span<const Zone> zones, std::span<const std::uint32_t> order, std::size_t begin,
                      const StatInputs& in, F&& f) {
    std::size_t cells = 0;
    for (const std::uint32_t k : order) {
        const Zone& b = zones[k];
        const Clip c = detail::clip(b, in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
        for (std::uint64_t i = c.i0, r = c.r0; i < c.i1; ++i, ++r) {
            const RowRun run = b.row(i);
            const std::uint64_t j0 = std::max(c.j0, run.first), j1 = std::min(c.j1, run.end);
            // Windows are far narrower than 2^32 cells; a longer row is cut in pieces.
            for (std::uint64_t j = j0; j < j1;) {
                const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(j1 - j, 1u << 30));
                f(Segment{r, c.c0 + (j - c.j0), run.at(j), cells, len, static_cast<std::uint32_t>(k - begin)});
                cells += len;
                j += len;
            }
        }
    }
}

Prepared prepare(std::span<const Zone> zones, std::size_t begin, std::size_t end, const StatInputs& in,
                 bool with_weights) {
    // Counting sort by row in two passes over the stored spans, which cost far less to read
    // twice than a list of the segments does to store twice. Stable, so a zone's pieces of
    // one row stay in order. The zones are taken from left to right, so that each row's
    // segments arrive nearly sorted by column.
    std::uint64_t first_row = std::numeric_limits<std::uint64_t>::max(), last_row = 0;
    std::vector<std::uint32_t> order;
    order.reserve(end - begin);
    for (std::size_t k = begin; k < end; ++k) {
        const Clip c = detail::clip(zones[k], in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
        if (c.empty()) continue;
        first_row = std::min(first_row, c.r0);
        last_row = std::max(last_row, c.r0 + (c.i1 - c.i0 - 1));
        order.push_back(static_cast<std::uint32_t>(k));
    }
    Prepared p;
    if (first_row > last_row) return p;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return zones[a].col_offset < zones[b].col_offset; });
    std::vector<std::size_t> start(static_cast<std::size_t>(last_row - first_row) + 2, 0);
    std::size_t cells = 0;
    for_each_segment(zones, order, begin, in, [&](const Segment& s) {
        ++start[static_cast<std::size_t>(s.row - first_row) + 1];
        cells += s.len;
    });
    for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    p.segments.resize(start.back());
    for_each_segment(zones, order, begin, in,
                     [&](const Segment& s) { p.segments[start[static_cast<std::size_t>(s.row - first_row)]++] = s; });
    // Within a row, left to right: each step is then read in increasing addresses, which
    // hardware prefetchers follow. An insertion sort: stable, and quick on rows that are
    // nearly in order already (a general sort cost a single-step mean an eighth of its
    // time). A zone's pieces of one row keep their order, since they start at increasing
    // columns.
    Segment* seg = p.segments.data();
    for (std::size_t i = 0, first = 0; i + 1 < start.size(); first = start[i++]) {
        for (std::size_t k = first + 1; k < start[i]; ++k) {
            if (seg[k - 1].col <= seg[k].col) continue;
            const Segment s = seg[k];
            std::size_t m = k;
            for (; m > first && seg[m - 1].col > s.col; --m) seg[m] = seg[m - 1];
            seg[m] = s;
        }
    }
    if (with_weights) {
        p.weights.resize(cells);
        const WeightReader read(in);
        for (const Segment& s : p.segments) read(s, p.weights.data() + s.weights);
    }
    return p;
}

// Vectors of two doubles, eight time steps per block.
namespace base {
constexpr int kWidth = 2;
constexpr int kGroups = 4;
constexpr int kRowLanes = 2;
#include "stats/stats_kernels.inc"
}  // namespace base

#if QV_AVX2_KERNELS
// The same kernels for AVX2's four-double vectors, eight steps per block. Single steps keep
// two zones side by side: a third and a fourth mostly wait for the first two to leave
// their zones' rows, and cost more than they save. Only this code is compiled for AVX2:
// the standard library's functions it calls keep the baseline target.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace wide {
constexpr int kWidth = 4;
constexpr int kGroups = 2;
constexpr int kRowLanes = 2;
#include "stats/stats_kernels.inc"
}  // namespace wide
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

std::atomic<bool> g_avx2_allowed{true};

bool use_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has && g_avx2_allowed.load(std::memory_order_relaxed);
}
#endif

// A weight is read for every cell inside the raster block with a coverage fraction not
// <= 0, whatever the statistic; weights that stop short of such a cell are the caller's
// mistake. Checked before any reduction so the hot loop can read weights without bounds
// tests.
void check_weights_cover(std::span<const Zone> zones, std::size_t begin, std::size_t end, const StatInputs& in) {
    const ArrayView& w = *in.weights;
    if (w.steps != 1) throw InputError("weights must be a 2-D array");
    if (w.rows >= in.raster.rows && w.cols >= in.raster.cols) return;
    for (std::size_t k = begin; k < end; ++k) {
        const Zone& b = zones[k];
        const Clip c = detail::clip(b, in.raster.rows, in.raster.cols, in.origin_row, in.origin_col);
        for (std::uint64_t i = c.i0, r = c.r0; i < c.i1; ++i, ++r) {
            const RowRun run = b.row(i);
            const std::uint64_t j0 = std::max(c.j0, run.first), j1 = std::min(c.j1, run.end);
            for (std::uint64_t j = j0, col = c.c0 + (j0 - c.j0); j < j1; ++j, ++col) {
                if (r < w.rows && col < w.cols) continue;
                if (*run.at(j) <= 0.0f) continue;
                throw InputError("weights of shape (" + std::to_string(w.rows) + ", " + std::to_string(w.cols) +
                                 ") do not cover raster cell (" + std::to_string(r) + ", " + std::to_string(col) + ")");
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

std::size_t carry_width(Stat stat) {
    using namespace base;
    switch (stat) {
        case Stat::Mean:
            return sizeof(Mean<1>) / 8;
        case Stat::Sum:
            return sizeof(Sum<1>) / 8;
        case Stat::Count:
            return sizeof(Count<1>) / 8;
        case Stat::Min:
            return sizeof(Min<1>) / 8;
        case Stat::Max:
            return sizeof(Max<1>) / 8;
        case Stat::Variance:
            return sizeof(Var<1>) / 8;
        case Stat::Stdev:
            return sizeof(Stdev<1>) / 8;
        case Stat::WeightedMean:  // the same state as the mean's, which it is without weights
            static_assert(sizeof(WeightedMean<1>) == sizeof(Mean<1>));
            return sizeof(WeightedMean<1>) / 8;
        case Stat::WeightedSum:
            static_assert(sizeof(WeightedSum<1>) == sizeof(Sum<1>));
            return sizeof(WeightedSum<1>) / 8;
        case Stat::NodataCount:
            return sizeof(NodataCount<1>) / 8;
        case Stat::Coverage:
            return sizeof(Coverage<1>) / 8;
    }
    return 0;
}

bool is_valid(double x, double nodata) { return ValueTest<double>(Nodata::of(nodata))(x); }

bool detail::allow_wide_vectors(bool allowed) {
#if QV_AVX2_KERNELS
    return g_avx2_allowed.exchange(allowed);
#else
    (void)allowed;
    return false;
#endif
}

void check_inputs(std::span<const Zone> zones, const StatInputs& in, std::size_t begin, std::size_t end) {
    if (begin > end || end > zones.size()) {
        throw InputError("zone range [" + std::to_string(begin) + ", " + std::to_string(end) + ") is outside the " +
                         std::to_string(zones.size()) + " zones");
    }
    if (begin < end && in.raster.steps > 0 && in.weights) check_weights_cover(zones, begin, end, in);
}

void reduce(std::span<const Zone> zones, const StatInputs& in, Stat stat, std::size_t begin, std::size_t end,
            double* out) {
    check_inputs(zones, in, begin, end);
    if (begin == end || in.raster.steps == 0) return;
    detail::with_type(in.raster.dtype, [&](auto v) {
        using T = decltype(v);
#if QV_AVX2_KERNELS
        if (use_avx2()) return wide::reduce_typed<T>(zones, begin, end, in, stat, out);
#endif
        base::reduce_typed<T>(zones, begin, end, in, stat, out);
    });
}

std::vector<double> reduce(std::span<const Zone> zones, const StatInputs& in, Stat stat) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(in.raster.steps, static_cast<std::uint64_t>(zones.size()), &total) ||
        total > std::vector<double>().max_size()) {
        throw InputError("a result of " + std::to_string(in.raster.steps) + " x " + std::to_string(zones.size()) +
                         " values is too large");
    }
    std::vector<double> out(static_cast<std::size_t>(total), kNoValue);
    reduce(zones, in, stat, 0, zones.size(), out.data());
    return out;
}

}  // namespace quorvalis
