#include "coverage/window.h"

#include <algorithm>
#include <cmath>

namespace quorvalis {

GridLines lines_of(const Grid& grid) { return {grid.xmin, grid.ymax, grid.dx, grid.dy}; }

Window whole_window(const Grid& grid) { return {lines_of(grid), 0, 0, grid.rows, grid.cols}; }

Window crop_window(const Window& window, const BBox& box) {
    Window out;
    out.lines = window.lines;
    if (window.empty()) return out;
    const BBox ext = window.extent();
    if (!intersects(ext, box)) return out;
    // The divisions only guess; the cell lines decide, so that a side lying exactly on a
    // line never takes in the cell beyond it.
    const std::uint64_t c0 = first_past(saturating_u64(std::floor((box.xmin - ext.xmin) / window.lines.dx)), 0,
                                        window.cols, [&](std::uint64_t j) { return window.left(j + 1) > box.xmin; });
    const std::uint64_t c1 = first_past(saturating_u64(std::ceil((box.xmax - ext.xmin) / window.lines.dx)), 0,
                                        window.cols, [&](std::uint64_t j) { return window.left(j) >= box.xmax; });
    const std::uint64_t r0 = first_past(saturating_u64(std::floor((ext.ymax - box.ymax) / window.lines.dy)), 0,
                                        window.rows, [&](std::uint64_t i) { return window.top(i + 1) < box.ymax; });
    const std::uint64_t r1 = first_past(saturating_u64(std::ceil((ext.ymax - box.ymin) / window.lines.dy)), 0,
                                        window.rows, [&](std::uint64_t i) { return window.top(i) <= box.ymin; });
    if (c0 >= c1 || r0 >= r1) return out;
    out.row_offset = window.row_offset + r0;
    out.col_offset = window.col_offset + c0;
    out.rows = r1 - r0;
    out.cols = c1 - c0;
    return out;
}

// Start indices use floor and end indices ceil of the box's distance from the grid's
// origin in cells, so a box whose outline lies on a cell line does not take in the cell
// beyond that line; the grid's own extent (which need not be a whole number of cells)
// bounds what is touched. Unlike `crop_window`, the divisions are not checked against the
// cell lines: where they disagree by a rounding, a polygon's window keeps the cells it has
// always had, so caches stay as they were.
Window window_of(const Grid& grid, const BBox& box) {
    Window out{lines_of(grid)};
    if (grid.rows == 0 || grid.cols == 0) return out;
    if (!intersects({grid.xmin, grid.ymin, grid.xmax, grid.ymax}, box)) return out;
    const std::uint64_t c0 = saturating_u64(std::max(std::floor((box.xmin - grid.xmin) / grid.dx), 0.0));
    const std::uint64_t c1 = std::min(saturating_u64(std::ceil((box.xmax - grid.xmin) / grid.dx)), grid.cols);
    const std::uint64_t r0 = saturating_u64(std::max(std::floor((grid.ymax - box.ymax) / grid.dy), 0.0));
    const std::uint64_t r1 = std::min(saturating_u64(std::ceil((grid.ymax - box.ymin) / grid.dy)), grid.rows);
    if (c0 >= c1 || r0 >= r1) return out;
    out.row_offset = r0;
    out.col_offset = c0;
    out.rows = r1 - r0;
    out.cols = c1 - c0;
    return out;
}

}  // namespace quorvalis
