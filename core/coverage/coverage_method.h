// The coverage-method interface: one polygon in, its coverage over the window of the grid
// that the exterior's bounding box touches out, placed in the grid.
#pragma once

#include <vector>

#include "coverage/grid.h"
#include "coverage/window.h"
#include "geometry/geometry.h"

namespace quorvalis {

// An empty coverage (0 x 0) when the polygon touches no cell.
using CoverageMethod = DenseFractions (*)(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes);

// 1.0 for each cell whose center lies strictly inside the polygon (outside every hole):
// a center on the exterior or on a hole's outline does not count.
DenseFractions center_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes);

// The exact fraction of each cell's area that the polygon covers.
DenseFractions exact_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes);

}  // namespace quorvalis
