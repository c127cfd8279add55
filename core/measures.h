// Signed area of a coordinate list, the measure behind ring orientation and covered areas.
#pragma once

#include <span>

#include "geometry.h"

namespace quorvalis {

// Shoelace area taken relative to the first coordinate, which keeps the products small
// when the coordinates are large but the ring is not. Positive for counter-clockwise
// lists; the list is expected closed (last equal to first) and is not closed here. Fewer
// than 3 coordinates have area 0.
double signed_area(std::span<const Coordinate> coords);

}  // namespace quorvalis
