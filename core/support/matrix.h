// A dense row-major matrix with owned storage, indexed [row][column]. Its size is checked
// before anything is allocated, so a window computed from absurd user numbers is refused
// with an error rather than wrapped into a small allocation or an attempt at 2^64 cells.
// rows() x cols() == values().size() holds by construction; nothing outside can break it,
// so readers need not check it again.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/error.h"

namespace quorvalis {

// Largest number of cells one matrix may hold: 2^34 (64 GiB of 32-bit floats). Anything
// larger is certainly a mistake in the grid parameters, not a real zone.
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
class Matrix {
public:
    Matrix() = default;
    Matrix(std::uint64_t n_rows, std::uint64_t n_cols, T fill)
        : rows_(n_rows), cols_(n_cols), values_(static_cast<std::size_t>(checked_cell_count(n_rows, n_cols)), fill) {}
    // Takes over row-major values, which must be exactly n_rows x n_cols of them.
    Matrix(std::uint64_t n_rows, std::uint64_t n_cols, std::vector<T> values)
        : rows_(n_rows), cols_(n_cols), values_(std::move(values)) {
        if (values_.size() != checked_cell_count(n_rows, n_cols)) {
            throw InternalError(std::to_string(values_.size()) + " values for a matrix of " + std::to_string(n_rows) +
                                " x " + std::to_string(n_cols) + " cells");
        }
    }

    std::uint64_t rows() const { return rows_; }
    std::uint64_t cols() const { return cols_; }
    bool empty() const { return rows_ == 0 || cols_ == 0; }
    // Row-major, rows() x cols() of them.
    const std::vector<T>& values() const { return values_; }

    T& operator()(std::uint64_t r, std::uint64_t c) { return values_[static_cast<std::size_t>(r * cols_ + c)]; }
    const T& operator()(std::uint64_t r, std::uint64_t c) const {
        return values_[static_cast<std::size_t>(r * cols_ + c)];
    }

private:
    std::uint64_t rows_ = 0;
    std::uint64_t cols_ = 0;
    std::vector<T> values_;
};

}  // namespace quorvalis
