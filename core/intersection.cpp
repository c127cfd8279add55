// Exit points of segments from cell boxes, and the point-in-ring test.
#include "intersection.h"

#include <algorithm>
#include <cmath>

#include "orient2d.h"

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
    // the horizontal side: Top going up, Bottom going down.
    const double m = std::fabs((y2 - y1) / (x2 - x1));
    if (y2 > y1) {
        if (x2 > x1) {
            const double y = y1 + times(box.xmax - x1, m);
            if (box.ymax > y) return {box.xmax, clamp(y, box.ymin, box.ymax), Side::Right};
            return {clamp(x1 + over(box.ymax - y1, m), box.xmin, box.xmax), box.ymax, Side::Top};
        }
        const double y = y1 + times(x1 - box.xmin, m);
        if (box.ymax > y) return {box.xmin, clamp(y, box.ymin, box.ymax), Side::Left};
        return {clamp(x1 - over(box.ymax - y1, m), box.xmin, box.xmax), box.ymax, Side::Top};
    }
    if (x2 > x1) {
        const double y = y1 - times(box.xmax - x1, m);
        if (y > box.ymin) return {box.xmax, clamp(y, box.ymin, box.ymax), Side::Right};
        return {clamp(x1 + over(y1 - box.ymin, m), box.xmin, box.xmax), box.ymin, Side::Bottom};
    }
    const double y = y1 - times(x1 - box.xmin, m);
    if (y > box.ymin) return {box.xmin, clamp(y, box.ymin, box.ymax), Side::Left};
    return {clamp(x1 - over(y1 - box.ymin, m), box.xmin, box.xmax), box.ymin, Side::Bottom};
}

Location location(double x, double y, std::span<const Coordinate> ring) {
    const std::size_t n = ring.size();
    if (n == 0) return Location::Outside;
    const Coordinate c{x, y};
    if (n == 1) return ring[0] == c ? Location::Boundary : Location::Outside;

    // Each segment counts the half-open height range from its lower end up to, but not
    // including, its upper end, so a ray through a vertex is counted exactly once.
    long long winding = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const Coordinate& e = ring[i - 1];
        const Coordinate& f = ring[i];
        double o;
        if (y >= e.y) {
            if (!(y <= f.y)) continue;
            o = orient2d(e, f, c);
            if (o > 0.0 && y != f.y) ++winding;
        } else {
            if (!(y >= f.y)) continue;
            o = orient2d(e, f, c);
            if (o < 0.0) --winding;
        }
        if (o == 0.0) {
            const bool within = e.x < f.x ? (x >= e.x && x <= f.x) : (x <= e.x && x >= f.x);
            if (within) return Location::Boundary;
        }
    }
    return winding != 0 ? Location::Inside : Location::Outside;
}

}  // namespace quorvalis
