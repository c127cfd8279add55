// Position of a boundary point along a cell's outline, used to join traversals into areas.
#pragma once

#include "geometry.h"
#include "grid.h"

namespace quorvalis {

// Distance from the lower-left corner walking clockwise: up the left side, along the top,
// down the right side, back along the bottom. Sides are tested left, top, right, bottom by
// exact equality, so each corner has one position (lower-left is 0, never the perimeter).
// A point on no side throws InternalError.
double perimeter_distance(const BBox& box, const Coordinate& p);

}  // namespace quorvalis
