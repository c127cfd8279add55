// The float64 raster views the fixed-contract module hands over: a 2-D raster and a
// (time, rows, cols) stack, each turning into the ArrayView every reduction reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "stats/stats.h"

namespace quorvalis {

// Strided 2-D view of 64-bit floats, as the fixed-contract module hands them over.
struct RasterView {
    const std::byte* data;  // element (0, 0)
    std::uint64_t rows;
    std::uint64_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;

    double at(std::uint64_t r, std::uint64_t c) const {
        double v;
        std::memcpy(&v, static_cast<ArrayView>(*this).cell(r, c), sizeof v);
        return v;
    }
    operator ArrayView() const { return {data, DType::Float64, 1, rows, cols, 0, row_stride, col_stride}; }
};

// Strided (time, rows, cols) view of 64-bit floats.
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
    operator ArrayView() const {
        return {data, DType::Float64, steps, rows, cols, step_stride, row_stride, col_stride};
    }
};

}  // namespace quorvalis
