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

}  // namespace quorvalis
