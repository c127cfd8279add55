// The regular raster grid, cell addressing (rows grow downwards from ymax, columns
// rightwards from xmin) and bounding boxes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "geometry/geometry.h"

namespace quorvalis {

struct BBox {
    double xmin;
    double ymin;
    double xmax;
    double ymax;
};

// (+inf, +inf, -inf, -inf): every intersection test against it fails.
BBox empty_box();

// "BBox { xmin: 0.0, ymin: 0.0, xmax: 1.0, ymax: 1.5 }", numbers in shortest round-trip form.
std::string to_string(const BBox& box);

struct Grid {
    double xmin;
    double ymin;
    double xmax;
    double ymax;
    double dx;
    double dy;
    std::uint64_t rows;
    std::uint64_t cols;
};

// NaN and negative values give 0, values beyond 2^64 - 1 give 2^64 - 1, others truncate.
std::uint64_t saturating_u64(double v);

// The grid of the whole raster from the user's extent and cell sizes (nothing checked).
Grid grid_from_params(double xmin, double ymin, double xmax, double ymax, double dx, double dy);

// The same, refused with InputError for a zero or non-finite cell size, or for cells the
// coordinates of the extent cannot resolve.
Grid checked_grid(double xmin, double ymin, double xmax, double ymax, double dx, double dy);

// The first index k in [lo, hi) at which past(k) holds, hi when none does, for a test
// that stays true once true as k grows: the first cell line (or cell center) at or past a
// coordinate. The guess only saves steps; the test alone decides, so a rounding in the
// guess never moves the answer.
template <class Past>
std::uint64_t first_past(std::uint64_t guess, std::uint64_t lo, std::uint64_t hi, Past past) {
    std::uint64_t k = std::clamp(guess, lo, hi);
    while (k > lo && past(k - 1)) --k;
    while (k < hi && !past(k)) ++k;
    return k;
}

std::uint64_t row_of(const Grid& grid, double y);
std::uint64_t col_of(const Grid& grid, double x);
BBox ring_bbox(std::span<const Coordinate> coords);

// Whether two boxes share a point, outlines included.
inline bool intersects(const BBox& a, const BBox& b) {
    return a.xmin <= b.xmax && b.xmin <= a.xmax && a.ymin <= b.ymax && b.ymin <= a.ymax;
}

inline double area(const BBox& box) { return (box.xmax - box.xmin) * (box.ymax - box.ymin); }

}  // namespace quorvalis
