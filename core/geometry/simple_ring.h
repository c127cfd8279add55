// A cheap proof that a zone is a valid polygon: one ring whose edges meet only where
// consecutive edges share their vertex. Most zones are such rings, and checking them here
// spares the general validity test; a zone this cannot prove is left to that test.
#pragma once

#include <cstdint>
#include <span>

#include "geometry/geometry.h"

namespace quorvalis {

// Whether `ring` is proven simple: closed, finite, without repeated consecutive points,
// and no two of its edges meet (touching counts) except consecutive ones at their shared
// vertex, without folding back along each other. Decided with exact orientations, so a
// ring proven simple is simple. False means only "not proven": a ring with a repeated
// point, or one too tangled to check within a few times its size in work, is not proven
// even when it is simple. The work and memory are linear in the ring's size.
bool proven_simple(std::span<const Coordinate> ring);

// Whether a WKB value is a polygon without holes (or a multipolygon of one such part)
// whose ring is proven simple: then it is a valid polygon. False for anything else,
// undecodable values included.
bool proven_valid_polygon(std::span<const std::uint8_t> wkb);

}  // namespace quorvalis
