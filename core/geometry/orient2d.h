// Shewchuk's adaptive-precision orientation predicate ("Adaptive Precision Floating-Point
// Arithmetic and Fast Robust Geometric Predicates", 1997): a fast floating-point filter,
// then exact expansion arithmetic only when the filter cannot decide the sign.
#pragma once

#include "geometry/geometry.h"

namespace quorvalis {

// Positive when pa, pb, pc turn counter-clockwise, negative when clockwise, exactly 0 when
// collinear. The sign is always exact.
double orient2d(const Coordinate& pa, const Coordinate& pb, const Coordinate& pc);

}  // namespace quorvalis
