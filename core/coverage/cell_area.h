// Area of one cell lying left of the ring's runs through it: open runs are joined into
// closed areas by walking counter-clockwise along the cell outline from each exit to the
// nearest following entry; runs that close inside the cell are measured on their own.
#pragma once

#include <span>
#include <vector>

#include "coverage/grid.h"
#include "geometry/geometry.h"

namespace quorvalis {

// Position of a point on a box's outline: the distance from the lower-left corner walking
// clockwise (up the left side, along the top, down the right side, back along the bottom).
// Sides are tested left, top, right, bottom by exact equality, so each corner has one
// position (lower-left is 0, never the perimeter). A point on no side throws InternalError.
double perimeter_distance(const BBox& box, const Coordinate& p);

struct CoordinateChain {
    std::span<const Coordinate> coords;
    double start;  // perimeter distance of the first coordinate
    double stop;   // perimeter distance of the last coordinate
    bool visited;
};

// Storage reused from cell to cell so that measuring a cell allocates nothing once warm.
struct CellAreaScratch {
    std::vector<CoordinateChain> chains;  // the first chains of a cell in use, the rest spare
    std::vector<std::size_t> order;       // chain indices by (start, index)
    std::vector<std::size_t> left;        // nearest unvisited entry of `order` at or left of a place
    std::vector<std::size_t> place;       // where each chain sits in `order`
};

// What the traversals of one cell measure: the areas left of the ring found by chaining
// (and loops closing counter-clockwise inside the cell), and the loops closing clockwise.
// Both are 0 when the ring only grazes the cell: then the traversals do not tell whether
// the cell is covered or not.
struct CellAreas {
    double ccw = 0.0;
    double cw = 0.0;
};

// The areas of a box with finite sides, from the coordinate lists of its qualifying
// traversals in cell order. Throws InternalError when a chain end is off the outline or
// when nothing measurable is found.
CellAreas cell_areas(const BBox& box, std::span<const std::span<const Coordinate>> lists, CellAreaScratch& scratch);

// Covered area (not yet divided by the cell area): the areas left of the ring less the
// clockwise loops, or, when there are only clockwise loops, the cell less those loops.
double covered_area(const BBox& box, const CellAreas& areas);
double covered_area(const BBox& box, std::span<const std::span<const Coordinate>> lists);

}  // namespace quorvalis
