#include "coverage/grid.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/error.h"
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

// A zero or non-finite cell size turns every cell count into 2^64 - 1 or 0; refuse it up
// front. Negative sizes stay allowed: they give an empty axis.
void check_cell_size(const char* name, double size) {
    if (size == 0.0 || !std::isfinite(size)) {
        throw InputError(std::string(name) + " must be a finite, non-zero cell size, got " + format_plain(size));
    }
}

// Where coordinates are spaced one step (ulp) apart, a cell narrower than a few steps has
// edges that round onto each other: zero-width cells give NaN fractions, or the window
// misses the polygon altogether. A cell line origin + k * size is off by at most two steps
// (two roundings), so cells of eight steps keep every line strictly between its neighbours.
constexpr double kMinStepsPerCell = 8.0;

// Covered areas are fractions of dx * dy; keeping it far inside the double range leaves room
// for the products of coordinate differences (no overflow) and for fractions down to float
// precision of tiny cells (no underflow).
constexpr double kMinCellArea = 1e-250;
constexpr double kMaxCellArea = 1e250;

void check_axis(const char* size_name, const char* lo_name, const char* hi_name, double lo, double hi, double size) {
    const std::string where = std::string(size_name) + " = " + format_debug(size) + " on the extent " + lo_name +
                              " = " + format_debug(lo) + ", " + hi_name + " = " + format_debug(hi);
    const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
    if (!std::isfinite(magnitude)) {
        throw InputError("grid " + where + ": the extent must be finite");
    }
    const double step = std::nextafter(magnitude, std::numeric_limits<double>::infinity()) - magnitude;
    if (std::fabs(size) < kMinStepsPerCell * step) {
        throw InputError("grid " + where + ": coordinates of that size are only " + format_debug(step) +
                         " apart, too coarse to place the cell edges; cells there must be at least " +
                         format_debug(kMinStepsPerCell * step) + " wide");
    }
}

// Refuses a grid whose cells the coordinates cannot resolve, rather than storing NaN
// fractions or silently dropping a zone. A grid without cells holds nothing to get wrong.
void check_grid(const Grid& grid) {
    if (grid.rows == 0 || grid.cols == 0) return;
    check_axis("dx", "xmin", "xmax", grid.xmin, grid.xmax, grid.dx);
    check_axis("dy", "ymin", "ymax", grid.ymin, grid.ymax, grid.dy);
    const double area = std::fabs(grid.dx * grid.dy);
    if (!(area >= kMinCellArea && area <= kMaxCellArea)) {
        throw InputError("grid cell of dx = " + format_debug(grid.dx) + ", dy = " + format_debug(grid.dy) +
                         " has an area of " + format_debug(area) + ", outside the range " + format_debug(kMinCellArea) +
                         " to " + format_debug(kMaxCellArea) +
                         " in which covered fractions can be computed without overflow or underflow");
    }
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

Grid checked_grid(double xmin, double ymin, double xmax, double ymax, double dx, double dy) {
    check_cell_size("dx", dx);
    check_cell_size("dy", dy);
    Grid grid = grid_from_params(xmin, ymin, xmax, ymax, dx, dy);
    check_grid(grid);
    return grid;
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
