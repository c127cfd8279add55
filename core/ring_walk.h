// One ring walked through the grid: the covered fraction of every cell of the ring's
// window, added to (exterior) or subtracted from (hole) the polygon's coverage matrix.
#pragma once

#include <span>

#include "cell.h"
#include "geometry.h"
#include "matrix.h"

namespace quorvalis {

enum class RingRole { Exterior, Hole };

// `polygon` is the window that `coverage` covers (coverage has its rows and cols); `ring`
// is expected closed and is never modified; it also decides, by its centres, the cells it
// does not cross. An exterior adds its coverage, a hole subtracts it. Rings of fewer than 4
// coordinates do nothing. Cells of the ring's window outside `coverage` are skipped. The
// cost is the ring's vertices and the cells it crosses or covers, never its whole window.
// Throws InternalError when an invariant breaks, the walk among them: a degenerate ring
// that stops making progress through the grid ends the walk with an error instead of
// looping.
void ring_walk(const Window& polygon, std::span<const Coordinate> ring, RingRole role, Matrix<float>& coverage);

}  // namespace quorvalis
