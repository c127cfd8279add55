// One ring walked through the grid: the covered fraction of every cell of the ring's
// window, added to (exterior) or subtracted from (hole) the polygon's fraction matrix.
#pragma once

#include <span>

#include "coverage/window.h"
#include "geometry/geometry.h"

namespace quorvalis {

enum class RingRole { Exterior, Hole };

// `polygon` is the polygon's coverage, placed in the grid whose cell lines are `lines`; `ring`
// is expected closed and is never modified; it also decides, by its centers, the cells it
// does not cross. An exterior adds its coverage, a hole subtracts it. Rings of fewer than 4
// coordinates do nothing. Cells of the ring's window outside the polygon's are skipped. The
// cost is the ring's vertices and the cells it crosses or covers, never its whole window.
// Throws InternalError when an invariant breaks, the walk among them: a degenerate ring
// that stops making progress through the grid ends the walk with an error instead of
// looping.
void ring_walk(const GridLines& lines, std::span<const Coordinate> ring, RingRole role, DenseFractions& polygon);

// The same, for a caller that already holds `ring_bbox(ring)`: a pass over the ring saved.
void ring_walk(const GridLines& lines, std::span<const Coordinate> ring, const BBox& ring_box, RingRole role,
               DenseFractions& polygon);

}  // namespace quorvalis
