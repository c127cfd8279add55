#include "coverage/cell_exit.h"

#include <algorithm>
#include <cmath>

#include "geometry/exact_arith.h"
#include "geometry/orient2d.h"

namespace quorvalis {
namespace {

// Raised to lo first, then lowered to hi; a NaN ends up at lo.
inline double clamp(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }

// A slope that overflowed to infinity or underflowed to zero stands for a finite, non-zero
// one, so a zero distance must stay zero and an infinite one infinite, rather than turn
// into NaN through 0 * inf, inf * 0, 0 / 0 or inf / inf and send the exit to a far corner.
inline double times(double distance, double slope) {
    const double r = distance * slope;
    return std::isnan(r) ? distance : r;
}

inline double over(double distance, double slope) {
    const double r = distance / slope;
    return std::isnan(r) ? distance : r;
}

// The coordinate where the line through a and b meets the line u = at, with (u, v) the
// axes (x, y) or (y, x): v = v1 + (at - u1) * (v2 - v1) / (u2 - u1), correctly rounded
// (computed in double-double). Exit points of different segments then keep the order of
// their exact positions along a cell side, so runs of a valid ring through one cell never
// cross one another because of rounding. Where the double-double arithmetic would overflow
// (unbounded sides, huge coordinates), the plain formula `rough()` stands in; it is only
// evaluated then.
template <class Rough>
inline double along(double u1, double v1, double u2, double v2, double at, Rough rough) {
    using namespace exact;
    const DoubleDouble d = dd_div(dd_mul(dd_difference(at, u1), dd_difference(v2, v1)), dd_difference(u2, u1));
    const DoubleDouble r = dd_add({v1, 0.0}, d);
    const double v = r.hi + r.lo;
    return std::isfinite(v) && std::fabs(v) < 0x1p900 ? v : rough();
}

// Whether a sloped segment a -> b passes the box corner on the side of the vertical box
// side, decided exactly: with the exit height rounded, a segment passing a hair inside the
// corner could be sent through the horizontal side and on into the wrong cell, leaving the
// cell it really crosses with a run along its outline only. `corner` says on which side
// of the directed segment the corner lies when the vertical side is crossed. Exactly
// through the corner, the horizontal side wins. Unbounded corners use `rounded()`, the test
// against the rounded exit height, which is only worked out then: the exact test alone
// decides the side, so a segment costs the one crossing it leaves by.
enum class Corner : std::uint8_t { LeftOfSegment, RightOfSegment };

template <class Rounded>
inline bool passes_vertical_side(const Coordinate& a, const Coordinate& b, double cx, double cy, Corner corner,
                                 Rounded rounded) {
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(b.x) ||
        !std::isfinite(b.y)) {
        return rounded();
    }
    const double o = orient2d(a, b, {cx, cy});
    return corner == Corner::LeftOfSegment ? o > 0.0 : o < 0.0;
}

}  // namespace

Crossing crossing(const BBox& box, const Coordinate& a, const Coordinate& b) {
    const double x1 = a.x;
    const double y1 = a.y;
    const double x2 = b.x;
    const double y2 = b.y;

    if (x1 == x2) {
        if (y2 >= box.ymax) return {x1, box.ymax, Side::Top};
        if (y2 <= box.ymin) return {x1, box.ymin, Side::Bottom};
        const double y = clamp(y2, box.ymin, box.ymax);
        if (x1 <= box.xmin) return {box.xmin, y, Side::Left};
        return {box.xmax, y, Side::Right};
    }

    if (y1 == y2) {
        if (x2 >= box.xmax) return {box.xmax, y1, Side::Right};
        if (x2 <= box.xmin) return {box.xmin, y1, Side::Left};
        const double x = clamp(x2, box.xmin, box.xmax);
        if (y1 <= box.ymin) return {x, box.ymin, Side::Bottom};
        return {x, box.ymax, Side::Top};
    }

    // The vertical side wins only strictly, so a segment through a corner leaves through
    // the horizontal side: Top going up, Bottom going down. Each exit coordinate is the
    // line's crossing of the side (`along`); the slope only serves the plain fallback.
    const auto slope = [&] { return std::fabs((y2 - y1) / (x2 - x1)); };
    if (y2 > y1) {
        if (x2 > x1) {
            const auto y = [&] {
                return along(x1, y1, x2, y2, box.xmax, [&] { return y1 + times(box.xmax - x1, slope()); });
            };
            if (passes_vertical_side(a, b, box.xmax, box.ymax, Corner::LeftOfSegment, [&] { return box.ymax > y(); }))
                return {box.xmax, clamp(y(), box.ymin, box.ymax), Side::Right};
            const double x = along(y1, x1, y2, x2, box.ymax, [&] { return x1 + over(box.ymax - y1, slope()); });
            return {clamp(x, box.xmin, box.xmax), box.ymax, Side::Top};
        }
        const auto y = [&] {
            return along(x1, y1, x2, y2, box.xmin, [&] { return y1 + times(x1 - box.xmin, slope()); });
        };
        if (passes_vertical_side(a, b, box.xmin, box.ymax, Corner::RightOfSegment, [&] { return box.ymax > y(); }))
            return {box.xmin, clamp(y(), box.ymin, box.ymax), Side::Left};
        const double x = along(y1, x1, y2, x2, box.ymax, [&] { return x1 - over(box.ymax - y1, slope()); });
        return {clamp(x, box.xmin, box.xmax), box.ymax, Side::Top};
    }
    if (x2 > x1) {
        const auto y = [&] {
            return along(x1, y1, x2, y2, box.xmax, [&] { return y1 - times(box.xmax - x1, slope()); });
        };
        if (passes_vertical_side(a, b, box.xmax, box.ymin, Corner::RightOfSegment, [&] { return y() > box.ymin; }))
            return {box.xmax, clamp(y(), box.ymin, box.ymax), Side::Right};
        const double x = along(y1, x1, y2, x2, box.ymin, [&] { return x1 + over(y1 - box.ymin, slope()); });
        return {clamp(x, box.xmin, box.xmax), box.ymin, Side::Bottom};
    }
    const auto y = [&] { return along(x1, y1, x2, y2, box.xmin, [&] { return y1 - times(x1 - box.xmin, slope()); }); };
    if (passes_vertical_side(a, b, box.xmin, box.ymin, Corner::LeftOfSegment, [&] { return y() > box.ymin; }))
        return {box.xmin, clamp(y(), box.ymin, box.ymax), Side::Left};
    const double x = along(y1, x1, y2, x2, box.ymin, [&] { return x1 - over(y1 - box.ymin, slope()); });
    return {clamp(x, box.xmin, box.xmax), box.ymin, Side::Bottom};
}

Side side_of(const BBox& box, const Coordinate& p) {
    if (p.x == box.xmin) return Side::Left;
    if (p.x == box.xmax) return Side::Right;
    if (p.y == box.ymin) return Side::Bottom;
    if (p.y == box.ymax) return Side::Top;
    return Side::None;
}

}  // namespace quorvalis
