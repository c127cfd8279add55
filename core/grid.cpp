#include "grid.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "format.h"

namespace quorvalis {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// 2^64 as a double: the first value that no longer fits an unsigned 64-bit integer.
constexpr double kTwoPow64 = 18446744073709551616.0;

double as_double(std::uint64_t v) { return static_cast<double>(v); }

// Cell count along one axis; an extent that is empty or reversed has no cells.
std::uint64_t count_cells(double lo, double hi, double size) {
    return hi > lo ? saturating_u64(std::round((hi - lo) / size)) : 0;
}

}  // namespace

BBox empty_box() { return {kInf, kInf, -kInf, -kInf}; }

std::string to_string(const BBox& box) {
    return "BBox { xmin: " + format_debug(box.xmin) + ", ymin: " + format_debug(box.ymin) +
           ", xmax: " + format_debug(box.xmax) + ", ymax: " + format_debug(box.ymax) + " }";
}

std::uint64_t saturating_u64(double v) {
    if (!(v >= 0.0)) return 0;  // NaN too
    if (v >= kTwoPow64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

Grid grid_from_params(double xmin, double ymin, double xmax, double ymax, double dx, double dy) {
    return {xmin, ymin, xmax, ymax, dx, dy, count_cells(ymin, ymax, dy), count_cells(xmin, xmax, dx)};
}

Grid empty_grid(double dx, double dy) { return {kInf, kInf, -kInf, -kInf, dx, dy, 0, 0}; }

// The bottom and right edges of the grid fold back into the last row and column; every
// other point on a cell line belongs to the cell below it / to the right of it.
std::uint64_t row_of(const Grid& grid, double y) {
    if (y == grid.ymin) return grid.rows - 1;
    return saturating_u64(std::floor((grid.ymax - y) / grid.dy));
}

std::uint64_t col_of(const Grid& grid, double x) {
    if (x == grid.xmax) return grid.cols - 1;
    return saturating_u64(std::floor((x - grid.xmin) / grid.dx));
}

// From the origin and the index, never from the cell box, so that the centres of a
// window and of the full grid agree bit for bit.
Coordinate cell_centre(const Grid& grid, std::uint64_t row, std::uint64_t col) {
    return {(as_double(col) + 0.5) * grid.dx + grid.xmin, grid.ymax - (as_double(row) + 0.5) * grid.dy};
}

BBox cell_box(const Grid& grid, std::uint64_t row, std::uint64_t col) {
    const double c = as_double(col);
    const double r = as_double(row);
    // The last column and row end exactly on the extent, which need not be a whole
    // number of cells from the origin.
    const double xmax = col == grid.cols - 1 ? grid.xmax : (c + 1.0) * grid.dx + grid.xmin;
    const double ymin = row == grid.rows - 1 ? grid.ymin : grid.ymax - (r + 1.0) * grid.dy;
    return {c * grid.dx + grid.xmin, ymin, xmax, grid.ymax - r * grid.dy};
}

BBox ring_bbox(std::span<const Coordinate> coords) {
    BBox box = empty_box();
    // Written so that a NaN coordinate leaves the running value unchanged.
    for (const Coordinate& p : coords) {
        if (p.x < box.xmin) box.xmin = p.x;
        if (p.y < box.ymin) box.ymin = p.y;
        if (p.x > box.xmax) box.xmax = p.x;
        if (p.y > box.ymax) box.ymax = p.y;
    }
    return box;
}

// Start indices use floor and end indices ceil, so a box whose outline lies on a cell
// line does not take in the cell beyond that line.
Grid crop(const Grid& grid, const BBox& box) {
    if (grid.rows == 0 && grid.cols == 0) return empty_grid(grid.dx, grid.dy);
    const bool touches = grid.xmin <= box.xmax && grid.xmax >= box.xmin && box.ymax >= grid.ymin &&
                         grid.ymax >= box.ymin;
    if (!touches) return empty_grid(grid.dx, grid.dy);

    const std::uint64_t c0 = saturating_u64(std::max(std::floor((box.xmin - grid.xmin) / grid.dx), 0.0));
    const std::uint64_t c1 = std::min(saturating_u64(std::ceil((box.xmax - grid.xmin) / grid.dx)), grid.cols);
    if (c0 >= c1) return empty_grid(grid.dx, grid.dy);
    const std::uint64_t r0 = saturating_u64(std::max(std::floor((grid.ymax - box.ymax) / grid.dy), 0.0));
    const std::uint64_t r1 = std::min(saturating_u64(std::ceil((grid.ymax - box.ymin) / grid.dy)), grid.rows);
    if (r0 >= r1) return empty_grid(grid.dx, grid.dy);

    Grid out{};
    out.xmin = as_double(c0) * grid.dx + grid.xmin;
    out.xmax = as_double(c1) * grid.dx + grid.xmin;
    out.ymax = grid.ymax - as_double(r0) * grid.dy;
    out.ymin = grid.ymax - as_double(r1) * grid.dy;
    out.dx = grid.dx;
    out.dy = grid.dy;
    out.rows = count_cells(out.ymin, out.ymax, out.dy);
    out.cols = count_cells(out.xmin, out.xmax, out.dx);
    return out;
}

}  // namespace quorvalis
