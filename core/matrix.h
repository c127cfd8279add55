// A dense row-major matrix with owned storage, indexed [row][column]. Its size is checked
// before anything is allocated, so a window computed from absurd user numbers is refused
// with an error rather than wrapped into a small allocation or an attempt at 2^64 cells.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace quorvalis {

// Largest number of cells one matrix may hold: 2^34 (64 GiB of 32-bit floats). Anything
// larger is certainly a mistake in the grid parameters, not a real basin.
inline constexpr std::uint64_t kMaxMatrixCells = std::uint64_t{1} << 34;

// rows * cols, refused with an InputError when it overflows or exceeds kMaxMatrixCells.
inline std::uint64_t checked_cell_count(std::uint64_t rows, std::uint64_t cols) {
    std::uint64_t cells = 0;
    if (__builtin_mul_overflow(rows, cols, &cells) || cells > kMaxMatrixCells) {
        throw InputError("grid window of " + std::to_string(rows) + " x " + std::to_string(cols) +
                         " cells is too large; check the grid extent and cell size");
    }
    return cells;
}

template <class T>
struct Matrix {
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::vector<T> data;

    Matrix() = default;
    Matrix(std::uint64_t n_rows, std::uint64_t n_cols, T fill)
        : rows(n_rows), cols(n_cols), data(static_cast<std::size_t>(checked_cell_count(n_rows, n_cols)), fill) {}

    bool empty() const { return rows == 0 || cols == 0; }
    T& operator()(std::uint64_t r, std::uint64_t c) { return data[static_cast<std::size_t>(r * cols + c)]; }
    const T& operator()(std::uint64_t r, std::uint64_t c) const {
        return data[static_cast<std::size_t>(r * cols + c)];
    }
};

}  // namespace quorvalis
