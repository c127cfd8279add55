// Per-basin statistics of rasters through a coverage cache: nine coverage-weighted
// statistics over one raster, a raster with weights, or a (time, rows, cols) stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "cache.h"

namespace quorvalis {

// Read-only strided 2-D view of 64-bit floats. Strides are in bytes and may be negative
// or not a multiple of 8 (NumPy allows both), so elements are read with memcpy, which
// compiles to a plain load.
struct RasterView {
    const std::byte* data;  // element (0, 0)
    std::uint64_t rows;
    std::uint64_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;

    double at(std::uint64_t r, std::uint64_t c) const {
        double v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(r) * row_stride + static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof v);
        return v;
    }
};

// Read-only strided (time, rows, cols) view; byte strides as in RasterView.
struct RasterStack {
    const std::byte* data;  // element (0, 0, 0)
    std::uint64_t steps;
    std::uint64_t rows;
    std::uint64_t cols;
    std::ptrdiff_t step_stride;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;

    RasterView slice(std::uint64_t t) const {
        return {data + static_cast<std::ptrdiff_t>(t) * step_stride, rows, cols, row_stride, col_stride};
    }
};

enum class StatKind : std::uint8_t { Mean, Sum, Count, Min, Max, Variance, Stdev, WeightedMean, WeightedSum };

// Exact, case-sensitive name; anything else throws InputError
// "Unknown stat '<name>'. Supported: mean, sum, count, min, max, variance, stdev, weighted_mean, weighted_sum".
StatKind parse_stat(std::string_view name);

// Finite, and either nodata is NaN or |x - nodata| > 1e-06.
bool is_valid(double x, double nodata);

// One value per basin, in cache order; NaN (0x7FF8000000000000) where a statistic has no value.
std::vector<double> apply_stat(const CacheRecord& cache, const RasterView& raster, double nodata, std::string_view stat);

std::vector<double> apply_stat_weights(const CacheRecord& cache, const RasterView& raster, const RasterView& weights,
                                       double nodata, double weight_nodata, std::string_view stat);

// Row-major (steps, n_basins) results.
std::vector<double> apply_stat_batch(const CacheRecord& cache, const RasterStack& raster, double nodata,
                                     std::string_view stat);

std::vector<double> apply_stat_batch_weights(const CacheRecord& cache, const RasterStack& raster,
                                             const RasterView& weights, double nodata, double weight_nodata,
                                             std::string_view stat);

}  // namespace quorvalis
