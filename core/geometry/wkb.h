// Decoding of 2-D Polygon and MultiPolygon values in Well-Known Binary, either byte order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/geometry.h"

namespace quorvalis {

// Decodes one WKB value. A Polygon gives exactly one Polygon (possibly empty); a
// MultiPolygon gives its parts in order, without the parts whose exterior has no points.
// Every failure is the caller's bad input (InputError): "WKB too short", "Unsupported WKB
// geometry type: <code>" (also for a MultiPolygon part that is not a 2-D Polygon), or
// "index out of range: ..." when a count or coordinate runs past the end of the value.
std::vector<Polygon> read_wkb(std::span<const std::uint8_t> wkb);

}  // namespace quorvalis
