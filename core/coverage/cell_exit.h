// Where a segment leaves a cell box, and which side of a box a point lies on: the steps
// by which the walk passes from one cell to the next.
#pragma once

#include <cstdint>

#include "coverage/grid.h"
#include "geometry/geometry.h"

namespace quorvalis {

// The side of a box a point lies on; the numbering is part of the walk's contract.
enum class Side : std::uint8_t { None = 0, Left = 1, Right = 2, Top = 3, Bottom = 4 };

struct Crossing {
    double x;
    double y;
    Side side;
};

// Exit of the segment a -> b from box, where b lies outside the closed box and the segment
// meets it. The returned point lies exactly on the box boundary.
Crossing crossing(const BBox& box, const Coordinate& a, const Coordinate& b);

// Side of the box a point lies on, tested left, right, bottom, top: corners take the
// vertical side, which decides the route of the walk through grid corners.
Side side_of(const BBox& box, const Coordinate& p);

}  // namespace quorvalis
