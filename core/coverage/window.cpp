#include "coverage/window.h"

#include <algorithm>
#include <cmath>

namespace quorvalis {

GridLines lines_of(const Grid& grid) { return {grid.xmin, grid.ymax, grid.dx, grid.dy}; }

CellRect grid_rect(const Grid& grid) { return {lines_of(grid), 0, 0, grid.rows, grid.cols}; }

CellRect crop_rect(const CellRect& rect, const BBox& box) {
    CellRect out;
    out.lines = rect.lines;
    if (rect.empty()) return out;
    const BBox ext = rect.extent();
    if (!intersects(ext, box)) return out;
    // The divisions only guess; the cell lines decide, so that a side lying exactly on a
    // line never takes in the cell beyond it.
    const std::uint64_t c0 = first_past(saturating_u64(std::floor((box.xmin - ext.xmin) / rect.lines.dx)), 0, rect.cols,
                                        [&](std::uint64_t j) { return rect.left(j + 1) > box.xmin; });
    const std::uint64_t c1 = first_past(saturating_u64(std::ceil((box.xmax - ext.xmin) / rect.lines.dx)), 0, rect.cols,
                                        [&](std::uint64_t j) { return rect.left(j) >= box.xmax; });
    const std::uint64_t r0 = first_past(saturating_u64(std::floor((ext.ymax - box.ymax) / rect.lines.dy)), 0, rect.rows,
                                        [&](std::uint64_t i) { return rect.top(i + 1) < box.ymax; });
    const std::uint64_t r1 = first_past(saturating_u64(std::ceil((ext.ymax - box.ymin) / rect.lines.dy)), 0, rect.rows,
                                        [&](std::uint64_t i) { return rect.top(i) <= box.ymin; });
    if (c0 >= c1 || r0 >= r1) return out;
    out.row_offset = rect.row_offset + r0;
    out.col_offset = rect.col_offset + c0;
    out.rows = r1 - r0;
    out.cols = c1 - c0;
    return out;
}

// Start indices use floor and end indices ceil of the box's distance from the grid's
// origin in cells, so a box whose outline lies on a cell line does not take in the cell
// beyond that line; the grid's own extent (which need not be a whole number of cells)
// bounds what is touched. Unlike `crop_rect`, the divisions are not checked against the
// cell lines: where they disagree by a rounding, a polygon's window keeps the cells it has
// always had, so caches stay as they were.
CellRect rect_of(const Grid& grid, const BBox& box) {
    CellRect out{lines_of(grid)};
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
