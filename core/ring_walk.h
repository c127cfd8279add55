// One ring walked through the grid: the covered fraction of every cell of the ring's
// window, added to (exterior) or subtracted from (hole) the polygon's coverage matrix.
#pragma once

#include <span>

#include "cell.h"
#include "geometry.h"
#include "matrix.h"

namespace quorvalis {

// `polygon` is the window that `coverage` covers (coverage has its rows and cols);
// `ring` is expected closed and is never modified; `classification` is the closed ring
// that decides cells the ring does not cross. Rings of fewer than 4 coordinates do
// nothing. Cells of the ring's window outside `coverage` are skipped. Throws InternalError
// when an invariant breaks, the walk among them: a degenerate ring that stops making
// progress through the grid ends the walk with an error instead of looping.
void ring_walk(const Window& polygon, std::span<const Coordinate> ring, bool exterior,
               std::span<const Coordinate> classification, Matrix<float>& coverage);

}  // namespace quorvalis
