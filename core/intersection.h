// Where a segment leaves a cell box, and where a point lies relative to a ring.
#pragma once

#include <cstdint>
#include <span>

#include "geometry.h"
#include "grid.h"

namespace quorvalis {

// The side of a box a point lies on; the numbering is part of the walk's contract.
enum class Side : std::uint8_t { None = 0, Left = 1, Right = 2, Top = 3, Bottom = 4 };

enum class Location : std::uint8_t { Boundary = 0, Inside = 1, Outside = 2 };

struct Crossing {
    double x;
    double y;
    Side side;
};

// Exit of the segment a -> b from box, where b lies outside the closed box and the segment
// meets it. The returned point lies exactly on the box boundary.
Crossing crossing(const BBox& box, const Coordinate& a, const Coordinate& b);

// Winding-number location of (x, y) in a ring whose last coordinate repeats its first;
// a point on any segment is Boundary. Allocates nothing.
Location location(double x, double y, std::span<const Coordinate> ring);

}  // namespace quorvalis
