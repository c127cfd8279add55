// Cells of the grid that a ring passes through, the runs (traversals) of the ring inside
// each of them, and the geometry of cell boxes for the exact method.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "geometry.h"
#include "grid.h"
#include "intersection.h"

namespace quorvalis {

// Cell lines of the full grid, by integer index. Every box of the exact method is built
// from these two formulas, never from a cropped window's extent, so neighbouring cells
// (inner or border, in any window) share their sides bit for bit and an exit point
// recorded in one cell lies exactly on the outline of the next.
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
    double center_x(std::uint64_t col) const { return ((static_cast<double>(col) + 0.5) * dx + xmin) - x_shift; }
    double center_y(std::uint64_t row) const { return (ymax - (static_cast<double>(row) + 0.5) * dy) - y_shift; }
};

// rows x cols cells of the full grid starting at full-grid cell (row0, col0).
struct Window {
    GridLines lines;
    std::uint64_t row0 = 0;
    std::uint64_t col0 = 0;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;

    bool empty() const { return rows == 0 || cols == 0; }
    double left(std::uint64_t j) const { return lines.x(col0 + j); }
    double top(std::uint64_t i) const { return lines.y(row0 + i); }
    BBox box(std::uint64_t i, std::uint64_t j) const { return {left(j), top(i + 1), left(j + 1), top(i)}; }
    BBox extent() const { return {left(0), top(rows), left(cols), top(0)}; }
    // The full grid's own cell centre, so the centre tested is the same in every window.
    double center_x(std::uint64_t j) const { return lines.center_x(col0 + j); }
    double center_y(std::uint64_t i) const { return lines.center_y(row0 + i); }
    Coordinate center(std::uint64_t i, std::uint64_t j) const { return {center_x(j), center_y(i)}; }
};

// The window of `grid` that `cropped` (a crop of it) covers, placed exactly where the
// cache places a polygon's matrix: by the row and column of its first cell centre.
Window window_of(const Grid& grid, const Grid& cropped);

// The cells of `window` that `box` touches, with the rules of `crop` (a box touching a
// cell only along its outline does not take it in) decided on the cell lines themselves.
Window crop_window(const Window& window, const BBox& box);

// Every point the walk of one ring records, in order. A run receives points only while the
// walk is in its cell, so each traversal is one contiguous stretch of this log: one
// growing array for the whole walk instead of one per run.
using PointLog = std::vector<Coordinate>;

struct Traversal {
    const PointLog* log = nullptr;
    std::size_t begin = 0;  // the traversal's points are log[begin, end)
    std::size_t end = 0;
    Side entry = Side::None;
    Side exit = Side::None;

    std::span<const Coordinate> coords() const {
        return empty() ? std::span<const Coordinate>() : std::span<const Coordinate>(log->data() + begin, end - begin);
    }
    bool empty() const { return begin == end; }
    bool entered() const { return entry != Side::None; }
    bool exited() const { return exit != Side::None; }
    bool traversed() const { return entered() && exited(); }
    bool is_closed_ring() const { return end - begin >= 3 && (*log)[begin] == (*log)[end - 1]; }
    bool has_multiple_unique_coordinates() const;
    // Throws InternalError on an empty traversal.
    const Coordinate& last() const;
};

// A cell's traversals, with the log their points go to (which must outlive the cell).
struct Cell {
    std::vector<Traversal> traversals;
    BBox box;
    PointLog* log;

    Cell(const BBox& b, PointLog& points) : traversals(1), box(b), log(&points) { traversals[0].log = log; }
};

// Side of the box a point lies on, tested left, right, bottom, top: corners take the
// vertical side, which decides the route of the walk through grid corners.
Side side_of(const BBox& box, const Coordinate& p);

// The last traversal, or a fresh one when the last has exited or closed on itself.
Traversal& traversal_in_progress(Cell& cell);

// Offers the next ring point c (p: the ring vertex before the one being processed, or
// null for the first vertex). True when c was appended; false when the ring left the cell
// on its way to c, in which case the traversal now ends with its exit point and side.
bool take(Cell& cell, const Coordinate& c, const Coordinate* p);

// Closes the last traversal on the side its last point lies on, if it lies on the outline.
void force_exit(Cell& cell);

// Coordinates of the traversals the coverage is measured from, in cell order: those that
// crossed the cell or closed inside it, and that are more than one repeated point.
void qualifying_traversals(const Cell& cell, std::vector<std::span<const Coordinate>>& out);

}  // namespace quorvalis
