// The coverage cache record: per zone, the runs of covered cells of each row of its window,
// placed in the grid. What the statistics read; record/build.h makes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "coverage/grid.h"
#include "support/matrix.h"

namespace quorvalis {

struct DenseFractions;  // coverage/window.h: a build's dense fractions, which a Zone compacts

// Window columns [first, end) of one row.
struct ColumnSpan {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

// One window row as stored: the columns [first, end) from its first to one past its last
// fraction that is not <= 0 (a NaN fraction counts as one; first == end when there is none),
// and their fractions, packed. Every cell of the row outside them holds a fraction <= 0 and
// reads as +0.0.
struct RowRun {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    const float* values = nullptr;  // the fraction of column first

    bool empty() const { return first >= end; }
    // The fraction of column j, for first <= j < end.
    const float* at(std::uint64_t j) const { return values + (j - first); }
};

// One geometry's coverage, its parts' fractions merged into one window, stored as a run of
// covered cells per window row. Most of a window is margin around the shape (all of it but
// the corridor itself for a thin diagonal one), so the build's dense fractions are compacted
// as soon as they are done: only each row's run is kept, at 4 bytes a cell plus 12 a row,
// and every statistic call reads the runs without scanning margins. Not changed after
// construction.
struct Zone {
    std::int64_t id = 0;
    std::uint64_t row_offset = 0;
    std::uint64_t col_offset = 0;

    Zone() = default;
    // Compacts the matrix's rows into runs; the matrix is not kept.
    Zone(const DenseFractions& dense, std::int64_t zone_id);

    // The window's shape in the grid (all its cells, runs and margins).
    std::uint64_t rows() const { return rows_; }
    std::uint64_t cols() const { return cols_; }
    bool empty() const { return rows_ == 0 || cols_ == 0; }

    // Window row i, 0 <= i < rows(): the one way to its fractions.
    RowRun row(std::uint64_t i) const {
        const std::uint64_t first = first_[i];
        const std::uint64_t at = start_[i];
        return {first, first + (start_[i + 1] - at), values_.data() + at};
    }
    ColumnSpan span(std::uint64_t i) const {
        const RowRun r = row(i);
        return {r.first, r.end};
    }
    // The cells in runs, over all rows.
    std::uint64_t run_cells() const { return values_.size(); }

    // The window as a dense rows() x cols() matrix, +0.0 outside the runs.
    Matrix<float> dense() const;

    // Bytes the zone holds besides itself: its packed fractions and row bounds.
    std::size_t heap_bytes() const {
        return values_.capacity() * sizeof(float) + start_.capacity() * sizeof(std::uint64_t) +
               first_.capacity() * sizeof(std::uint32_t);
    }

private:
    std::uint64_t rows_ = 0;
    std::uint64_t cols_ = 0;
    std::vector<float> values_;         // the runs, row after row
    std::vector<std::uint64_t> start_;  // rows + 1: row i's run is values_[start_[i], start_[i + 1])
    std::vector<std::uint32_t> first_;  // rows: the window column of each run's first cell
};

// Immutable once built.
struct CacheRecord {
    std::vector<Zone> zones;
    Grid grid;
};

}  // namespace quorvalis
