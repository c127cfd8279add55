#include "coverage/grid.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/format.h"

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
    // Kept in registers, not in the returned box, and written so that a NaN coordinate
    // leaves the running value unchanged: "p < lo ? p : lo", which is what minpd does
    // lane by lane, so both axes take one instruction per point.
#if defined(__SSE2__)
    __m128d lo = _mm_set1_pd(kInf);
    __m128d hi = _mm_set1_pd(-kInf);
    for (const Coordinate& p : coords) {
        const __m128d v = _mm_loadu_pd(&p.x);
        lo = _mm_min_pd(v, lo);
        hi = _mm_max_pd(v, hi);
    }
    alignas(16) double l[2], h[2];
    _mm_store_pd(l, lo);
    _mm_store_pd(h, hi);
    return {l[0], l[1], h[0], h[1]};
#else
    double xmin = kInf, ymin = kInf, xmax = -kInf, ymax = -kInf;
    for (const Coordinate& p : coords) {
        xmin = p.x < xmin ? p.x : xmin;
        ymin = p.y < ymin ? p.y : ymin;
        xmax = p.x > xmax ? p.x : xmax;
        ymax = p.y > ymax ? p.y : ymax;
    }
    return {xmin, ymin, xmax, ymax};
#endif
}

}  // namespace quorvalis
