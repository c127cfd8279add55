// Per-zone statistics of rasters through a coverage cache.
//
// One entry point, reduce(), serves every caller: a raster of any numeric dtype (2-D, or a
// (time, rows, cols) stack) read in place through byte strides, optional 2-D weights of any
// dtype, nodata compared in the raster's own type, a statistic parsed once per call, a
// raster block placed anywhere in the grid, and a range of zones so that callers may split
// the zones over threads. All arithmetic is in float64, and each accumulator sees its cells
// in window order (row by row, column by column), so a result never depends on the dtype
// the same numbers arrive in, on strides, on blocking or on how the zones are split.
//
// The element types, validity tests and window clipping in `detail` are shared with the
// order statistics, which gather a zone's cells themselves.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "record/zone.h"

namespace quorvalis {

enum class DType : std::uint8_t { Float32, Float64, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64 };

// Read-only strided (steps, rows, cols) view of one dtype. Strides are in bytes and may be
// negative or not a multiple of the element size (NumPy allows both), so elements are read
// with memcpy, which compiles to a plain load. A 2-D raster is one step.
struct ArrayView {
    const std::byte* data = nullptr;  // element (0, 0, 0)
    DType dtype = DType::Float64;
    std::uint64_t steps = 1;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::ptrdiff_t step_stride = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    // The address of element (0, row, col): where a run of cells along a row starts.
    const std::byte* cell(std::uint64_t row, std::uint64_t col) const {
        return data + static_cast<std::ptrdiff_t>(row) * row_stride + static_cast<std::ptrdiff_t>(col) * col_stride;
    }
};

// A nodata value as the caller gave it. Against a float raster it is rounded to the
// raster's type and then matched with a tolerance of 1e-06 (a NaN or absent one excludes
// only non-finite values). Against an integer raster it is matched exactly in the raster's
// type: a float nodata stands for the integer within 1e-06 of it, and one that no value of
// the type can equal excludes nothing. NaN and infinities never count, whatever the nodata.
struct Nodata {
    enum class Kind : std::uint8_t { None, Signed, Unsigned, Float };
    Kind kind = Kind::None;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double f = 0.0;

    static Nodata none() { return {}; }
    static Nodata of(double v) { return {Kind::Float, 0, 0, v}; }
    static Nodata of(std::int64_t v) { return {Kind::Signed, v, 0, 0.0}; }
    static Nodata of(std::uint64_t v) { return {Kind::Unsigned, 0, v, 0.0}; }
};

// The nine statistics of the fixed-contract module, then two more for the package:
// nodata_count (summed coverage of covered cells whose value does not count) and coverage
// (summed coverage of the window's cells inside the raster, whatever their values).
enum class Stat : std::uint8_t {
    Mean,
    Sum,
    Count,
    Min,
    Max,
    Variance,
    Stdev,
    WeightedMean,
    WeightedSum,
    NodataCount,
    Coverage
};

// Exactly the nine names of the fixed-contract module, case-sensitive; anything else
// throws InputError "Unknown stat '<name>'. Supported: mean, sum, count, min, max,
// variance, stdev, weighted_mean, weighted_sum".
Stat parse_stat(std::string_view name);

// Any of the eleven names ("nodata_count", "coverage" besides the nine), or nothing.
std::optional<Stat> find_stat(std::string_view name);

// Finite, and either nodata is NaN or |x - nodata| > 1e-06: a float64 value against a
// float64 nodata.
bool is_valid(double x, double nodata);

// What a reduction reads. The raster block's cell (0, 0) is grid cell (origin_row,
// origin_col); window cells outside the block are skipped, so a spatial chunk reduces only
// its part of each window. Weights, when given, are one 2-D array for every step, indexed
// like a raster step; they must cover every covered cell of the block.
struct StatInputs {
    ArrayView raster;
    Nodata nodata;
    std::optional<ArrayView> weights;
    Nodata weight_nodata;
    std::uint64_t origin_row = 0;
    std::uint64_t origin_col = 0;
    // Each zone's accumulators carried from the blocks before and on to the next: when set,
    // carry_width(stat) doubles per step and zone, carry[(t * zones + b) * width + f], are
    // read as zone b's state at step t before the block and written back after it. Zeros
    // start a zone. A zone's window reduced in bands of whole rows, top to bottom, each
    // band given the carry of the one before, sees its cells in the window's own order, so
    // the last band's results are the whole window's, bit for bit.
    double* carry = nullptr;
};

// The doubles of one zone's carried state for `stat` at one step.
std::size_t carry_width(Stat stat);

// Throws InputError for a zone range outside `zones`, or for weights that are not 2-D or
// stop short of a covered cell of the block: what every reduction checks before it reads.
void check_inputs(std::span<const Zone> zones, const StatInputs& in, std::size_t begin, std::size_t end);

// Reduces zones [begin, end) for every step of the raster, writing zone b of step t to
// out[t * zones.size() + b]; nothing else in out is touched. Values of no statistic are the
// quiet NaN 0x7FF8000000000000; count-like statistics of an empty zone are 0. Throws
// InputError for weights that are not 2-D or stop short of a covered cell, before writing.
// Safe to call from several threads on disjoint zone ranges of one output.
void reduce(std::span<const Zone> zones, const StatInputs& in, Stat stat, std::size_t begin, std::size_t end,
            double* out);

// The same over all zones, into a new (steps, n_zones) row-major array; refuses a
// result too large to allocate with an InputError.
std::vector<double> reduce(std::span<const Zone> zones, const StatInputs& in, Stat stat);

namespace detail {

// Whether reductions may use vectors wider than two doubles where the processor has them
// (they may by default); returns the previous setting. For tests, which hold every width to
// the same bits.
bool allow_wide_vectors(bool allowed);

// Asks for every cache line holding a byte from first + offset[k] to first + offset[k] +
// bytes (negative along a reversed axis), for each k: the same run in N steps of a stack. At
// most max_bytes are taken from the run's lower end, counting from the line that end lies
// in, so that an unaligned run keeps its last line; the lines are found once and asked for
// at every offset, with one line more where the offsets are not whole lines apart. They go
// to the second-level cache, not the first: the runs asked for are short rows of windows
// some way ahead, several at once, and filling the small first-level cache with them
// evicted lines still in use (a third less time for a batch sweep on an AMD Zen 4, none
// lost on single steps). Always inlined: called, a function holding only prefetches looks
// free of effects, and the optimiser drops the call.
template <int N>
[[gnu::always_inline]] inline void prefetch_run(const std::byte* first, std::ptrdiff_t bytes, std::ptrdiff_t max_bytes,
                                                const std::ptrdiff_t (&offset)[N]) {
    constexpr std::uintptr_t kLine = 64;
    const std::byte* lo = bytes < 0 ? first + bytes : first;
    const std::ptrdiff_t span = std::min(bytes < 0 ? -bytes : bytes, max_bytes);
    const auto a = reinterpret_cast<std::uintptr_t>(lo);
    std::uintptr_t apart = 0;
    for (int k = 0; k < N; ++k) apart |= static_cast<std::uintptr_t>(offset[k]);
    const std::uintptr_t end = a + static_cast<std::uintptr_t>(span) + (apart % kLine ? kLine - 1 : 0);
    // Step by step, each run in increasing addresses: asking for one line of every step
    // in turn took a sixth longer on a batch sweep.
#pragma GCC unroll 16
    for (int k = 0; k < N; ++k) {
        const auto off = static_cast<std::uintptr_t>(offset[k]);
        for (std::uintptr_t at = a - a % kLine; at <= end; at += kLine)
            __builtin_prefetch(reinterpret_cast<const void*>(at + off), 0, 1);
    }
}

[[gnu::always_inline]] inline void prefetch_run(const std::byte* first, std::ptrdiff_t bytes,
                                                std::ptrdiff_t max_bytes) {
    const std::ptrdiff_t here[1] = {0};
    prefetch_run(first, bytes, max_bytes, here);
}

template <class T>
T load(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Calls f(T{}) with T the C++ type of the dtype.
template <class F>
decltype(auto) with_type(DType d, F&& f) {
    switch (d) {
        case DType::Float32:
            return f(float{});
        case DType::Int8:
            return f(std::int8_t{});
        case DType::Int16:
            return f(std::int16_t{});
        case DType::Int32:
            return f(std::int32_t{});
        case DType::Int64:
            return f(std::int64_t{});
        case DType::UInt8:
            return f(std::uint8_t{});
        case DType::UInt16:
            return f(std::uint16_t{});
        case DType::UInt32:
            return f(std::uint32_t{});
        case DType::UInt64:
            return f(std::uint64_t{});
        case DType::Float64:
            break;
    }
    return f(double{});
}

inline constexpr double kNodataTolerance = 1e-06;

// The validity test of T values, with the nodata value prepared once per call.
template <class T, bool = std::is_floating_point_v<T>>
struct ValueTest {
    // NaN or absent nodata excludes nothing beyond non-finite values, as an infinite one does
    // for finite values. Rounding through T first is what lets float32 data holding the
    // float32 nearest to 1e20 match a nodata of 1e20; a nodata beyond T's range cannot be
    // rounded to it and no finite value comes near it.
    double nodata = std::numeric_limits<double>::infinity();

    explicit ValueTest(const Nodata& n) {
        double v = n.kind == Nodata::Kind::Float      ? n.f
                   : n.kind == Nodata::Kind::Signed   ? static_cast<double>(n.i)
                   : n.kind == Nodata::Kind::Unsigned ? static_cast<double>(n.u)
                                                      : std::numeric_limits<double>::quiet_NaN();
        if (std::isnan(v)) return;
        if (std::fabs(v) <= static_cast<double>(std::numeric_limits<T>::max()))
            v = static_cast<double>(static_cast<T>(v));
        nodata = v;
    }
    bool operator()(T x) const {
        const double d = static_cast<double>(x);
        // Without a branch, so that loops keeping or dropping every cell by arithmetic can use
        // it: d - d is +0.0 for a finite d and NaN otherwise, so the sum exceeds the
        // tolerance exactly when d is finite and farther than it from nodata.
        return std::fabs(d - nodata) + (d - d) > kNodataTolerance;
    }
};

template <class T>
struct ValueTest<T, false> {
    bool has = false;
    T nodata = 0;

    explicit ValueTest(const Nodata& n) {
        using L = std::numeric_limits<T>;
        switch (n.kind) {
            case Nodata::Kind::None:
                break;
            case Nodata::Kind::Signed:
                has = n.i >= 0 ? static_cast<std::uint64_t>(n.i) <= static_cast<std::uint64_t>(L::max())
                               : L::is_signed && n.i >= static_cast<std::int64_t>(L::min());
                nodata = static_cast<T>(n.i);
                break;
            case Nodata::Kind::Unsigned:
                has = n.u <= static_cast<std::uint64_t>(L::max());
                nodata = static_cast<T>(n.u);
                break;
            case Nodata::Kind::Float: {
                // The integer within the tolerance, if any; bounds as powers of two, which
                // doubles hold exactly even for 64-bit types.
                const double r = std::nearbyint(n.f);
                const double lo = L::is_signed ? -std::ldexp(1.0, L::digits) : 0.0;
                const double hi = std::ldexp(1.0, L::digits);
                has = std::fabs(r - n.f) <= kNodataTolerance && r >= lo && r < hi;
                if (has) nodata = static_cast<T>(r);
                break;
            }
        }
        if (!has) nodata = 0;
    }
    bool operator()(T x) const { return !has || x != nodata; }
};

// The rows [i0, i1) and columns [j0, j1) of a zone's window that fall inside a block of
// rows x cols placed at (origin_row, origin_col) in the grid, computed without letting any
// offset + index wrap around.
struct Clip {
    std::uint64_t i0 = 0, i1 = 0, j0 = 0, j1 = 0;
    std::uint64_t r0 = 0, c0 = 0;  // block row and column of window cell (i0, j0)
    bool empty() const { return i0 >= i1 || j0 >= j1; }
};

inline void clip_axis(std::uint64_t offset, std::uint64_t size, std::uint64_t origin, std::uint64_t extent,
                      std::uint64_t& lo, std::uint64_t& hi, std::uint64_t& first) {
    lo = offset >= origin ? 0 : origin - offset;  // window index of the block's first line
    first = offset >= origin ? offset - origin : 0;
    if (lo >= size || first >= extent) {
        lo = hi = 0;
        return;
    }
    hi = lo + std::min(size - lo, extent - first);
}

inline Clip clip(const Zone& b, std::uint64_t rows, std::uint64_t cols, std::uint64_t origin_row,
                 std::uint64_t origin_col) {
    Clip c;
    clip_axis(b.row_offset, b.rows(), origin_row, rows, c.i0, c.i1, c.r0);
    clip_axis(b.col_offset, b.cols(), origin_col, cols, c.j0, c.j1, c.c0);
    return c;
}

}  // namespace detail

}  // namespace quorvalis
