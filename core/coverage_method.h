// The coverage-method interface: one polygon in, its coverage matrix over the window of
// the grid that the exterior's bounding box touches out.
#pragma once

#include <vector>

#include "geometry.h"
#include "grid.h"
#include "matrix.h"

namespace quorvalis {

// A polygon's coverage placed in the grid: element (i, j) is full-grid cell (row0 + i,
// col0 + j). The offsets are found once, where the window is chosen, and carried as
// integers from then on.
struct PolygonRaster {
    Matrix<float> coverage;  // (grid.rows, grid.cols); (0, 0) when the polygon touches no cell
    Grid grid;               // the full grid cropped to the exterior's bounding box
    std::uint64_t row0 = 0;
    std::uint64_t col0 = 0;
};

using CoverageMethod = PolygonRaster (*)(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes);

// 1.0 for each cell whose centre lies strictly inside the polygon (outside every hole):
// a centre on the exterior or on a hole's outline does not count.
PolygonRaster center_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes);

// The exact fraction of each cell's area that the polygon covers.
PolygonRaster exact_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes);

}  // namespace quorvalis
