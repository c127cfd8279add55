// The grid's cell lines by integer index, and rectangles of whole cells placed in the grid
// by integer row and column offsets. Offsets are found once, from a box against the cell
// lines, and carried as integers from then on: nothing re-derives them from coordinates.
#pragma once

#include <cstdint>

#include "coverage/grid.h"
#include "geometry/geometry.h"
#include "support/matrix.h"

namespace quorvalis {

// Cell lines of the full grid, by integer index. Every box of the exact method is built
// from these two formulas, never from a window's extent, so neighbouring cells (inner or
// border, in any window) share their sides bit for bit and an exit point recorded in one
// cell lies exactly on the outline of the next.
// A walk may measure everything from a nearby origin (x_shift, y_shift) when subtracting it
// is exact; the lines are then the full grid's lines less that origin, still bit for bit.
struct GridLines {
    double xmin;
    double ymax;
    double dx;
    double dy;
    double x_shift = 0.0;
    double y_shift = 0.0;

    double x(std::uint64_t col) const { return (xmin + static_cast<double>(col) * dx) - x_shift; }
    double y(std::uint64_t row) const { return (ymax - static_cast<double>(row) * dy) - y_shift; }
    // From the origin and the index, never from the cell box, so a cell has one center
    // whichever window or polygon tests it.
    double center_x(std::uint64_t col) const { return ((static_cast<double>(col) + 0.5) * dx + xmin) - x_shift; }
    double center_y(std::uint64_t row) const { return (ymax - (static_cast<double>(row) + 0.5) * dy) - y_shift; }
    Coordinate center(std::uint64_t row, std::uint64_t col) const { return {center_x(col), center_y(row)}; }
};

GridLines lines_of(const Grid& grid);

// rows x cols cells of the full grid starting at full-grid cell (row_offset, col_offset).
// A polygon's or a zone's window, in the comments, is the CellRect its fractions cover.
struct CellRect {
    GridLines lines;
    std::uint64_t row_offset = 0;
    std::uint64_t col_offset = 0;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;

    bool empty() const { return rows == 0 || cols == 0; }
    double left(std::uint64_t j) const { return lines.x(col_offset + j); }
    double top(std::uint64_t i) const { return lines.y(row_offset + i); }
    BBox box(std::uint64_t i, std::uint64_t j) const { return {left(j), top(i + 1), left(j + 1), top(i)}; }
    BBox extent() const { return {left(0), top(rows), left(cols), top(0)}; }
    double center_x(std::uint64_t j) const { return lines.center_x(col_offset + j); }
    double center_y(std::uint64_t i) const { return lines.center_y(row_offset + i); }
    Coordinate center(std::uint64_t i, std::uint64_t j) const { return {center_x(j), center_y(i)}; }
};

// The whole of `grid` as a rectangle of cells.
CellRect grid_rect(const Grid& grid);

// The cells of `rect` that `box` touches, decided on the cell lines themselves: a box
// touching a cell only along its outline does not take it in. Empty when the box touches
// no cell (or holds a NaN).
CellRect crop_rect(const CellRect& rect, const BBox& box);

// The cells of `grid` that `box` touches (a polygon's window from its exterior's box).
CellRect rect_of(const Grid& grid, const BBox& box);

// Fractions of a window's cells as a dense matrix placed in the grid: element (i, j) is
// full-grid cell (row_offset + i, col_offset + j). A polygon's coverage, a zone's, a part's.
struct DenseFractions {
    Matrix<float> fractions;
    std::uint64_t row_offset = 0;
    std::uint64_t col_offset = 0;

    // rows x cols zeros over the cells of `rect`.
    static DenseFractions zeros(const CellRect& rect) {
        return {Matrix<float>(rect.rows, rect.cols, 0.0f), rect.row_offset, rect.col_offset};
    }
    // The cells the fractions cover (lines from `lines`).
    CellRect rect(const GridLines& lines) const {
        return {lines, row_offset, col_offset, fractions.rows(), fractions.cols()};
    }
};

}  // namespace quorvalis
