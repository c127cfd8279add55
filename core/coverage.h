// Area of one cell lying left of the ring's runs through it: open runs are joined into
// closed areas by walking counter-clockwise along the cell outline from each exit to the
// nearest following entry; runs that close inside the cell are measured on their own.
#pragma once

#include <span>
#include <vector>

#include "geometry.h"
#include "grid.h"

namespace quorvalis {

struct CoordinateChain {
    std::span<const Coordinate> coords;
    double start;  // perimeter distance of the first coordinate
    double stop;   // perimeter distance of the last coordinate
    bool visited;
};

// Storage reused from cell to cell so that measuring a cell allocates nothing once warm.
struct CoverageScratch {
    std::vector<CoordinateChain> chains;
    std::vector<Coordinate> buffer;
};

// Covered area (not yet divided by the cell area) of a box with finite sides, from the
// coordinate lists of its qualifying traversals in cell order. Throws InternalError when a
// chain end is off the outline or when nothing measurable is found.
double covered_area(const BBox& box, std::span<const std::span<const Coordinate>> lists, CoverageScratch& scratch);
double covered_area(const BBox& box, std::span<const std::span<const Coordinate>> lists);

}  // namespace quorvalis
