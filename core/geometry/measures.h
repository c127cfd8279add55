// Rings and coordinate lists as measured: closing them, whether they hold more than one
// point, and their signed area (the measure behind orientation and covered areas).
#pragma once

#include <cstddef>
#include <span>

#include "geometry/geometry.h"

namespace quorvalis {

// The ring with its first coordinate repeated at the end when it is missing: rings are
// measured closed whether stored so or not (a ring without its closing point would lose
// its last edge). A NaN makes first and last differ, so such a ring gets the extra point.
Ring closed_copy(const Ring& ring);

// Whether the list holds two different coordinates: one point, repeated or not, has no
// geometry to measure.
// Inline: it runs for every traversal of every cell a ring crosses, and mostly decides at
// the second coordinate.
inline bool has_distinct_coordinates(std::span<const Coordinate> coords) {
    for (std::size_t k = 1; k < coords.size(); ++k) {
        if (coords[k] != coords[0]) return true;
    }
    return false;
}

// Shoelace area taken relative to the first coordinate, which keeps the products small
// when the coordinates are large but the ring is not. Positive for counter-clockwise
// lists; the list is expected closed (last equal to first) and is not closed here. Fewer
// than 3 coordinates have area 0.
double signed_area(std::span<const Coordinate> coords);

}  // namespace quorvalis
