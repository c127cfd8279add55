#include "coverage/cell.h"

#include <algorithm>
#include <cmath>

#include "geometry/measures.h"
#include "support/error.h"

namespace quorvalis {

const Coordinate& Traversal::last(const PointLog& log) const {
    if (empty()) throw InternalError("empty traversal has no last coordinate");
    return log[end - 1];
}

namespace {

[[noreturn]] void too_many() { throw InputError("ring crosses too many cells"); }

// Opens a fresh traversal of a cell whose last traversal was `previous`. This and the other
// steps below run for every cell the walk enters, so they are inlined into take().
[[gnu::always_inline]] inline std::uint32_t open_traversal(WalkLog& log, std::uint32_t previous) {
    if (log.traversals.size() >= kNoTraversal) too_many();
    log.traversals.push_back({0, 0, previous, Side::None, Side::None});
    return static_cast<std::uint32_t>(log.traversals.size() - 1);
}

}  // namespace

Cell::Cell(const BBox& b, WalkLog& walk_log)
    : box(b), log(&walk_log), last_index(open_traversal(walk_log, kNoTraversal)) {}

std::size_t Cell::traversal_count() const {
    std::size_t n = 0;
    for (const Traversal* t = &last(); t != nullptr; t = before(*t)) ++n;
    return n;
}

namespace {

bool in_closed_box(const BBox& box, const Coordinate& p) {
    return box.xmin <= p.x && p.x <= box.xmax && box.ymin <= p.y && p.y <= box.ymax;
}

bool strictly_inside(const BBox& box, const Coordinate& p) {
    return box.xmin < p.x && p.x < box.xmax && box.ymin < p.y && p.y < box.ymax;
}

// Appends c to t, the traversal the walk is in, at the end of the cell's log.
[[gnu::always_inline]] inline void append(Cell& cell, Traversal& t, const Coordinate& c) {
    PointLog& log = cell.log->points;
    if (log.size() >= kNoTraversal) too_many();
    if (t.empty()) {
        t.begin = static_cast<std::uint32_t>(log.size());
        t.end = t.begin;
    } else if (t.end != log.size()) {
        throw InternalError("a traversal's points are no longer contiguous in the walk's log");
    }
    log.push_back(c);
    ++t.end;
}

[[gnu::always_inline]] inline Traversal& in_progress(Cell& cell) {
    // Only a run that began inside the cell is finished by coming back to its first point.
    // A run entered from the outline that returns to its entry point has only touched the
    // outline there (exit points are clamped onto corners, so a thin spike can meet its
    // own entry exactly); it goes on until it really leaves.
    if (const Traversal& t = cell.last(); t.exited() || (!t.entered() && t.is_closed_ring(cell.log->points))) {
        cell.last_index = open_traversal(*cell.log, cell.last_index);
    }
    return cell.last();
}

}  // namespace

bool take(Cell& cell, const Coordinate& c, const Coordinate* p) {
    Traversal& t = in_progress(cell);
    const BBox& box = cell.box;
    if (t.empty() && t.previous != kNoTraversal && !in_closed_box(box, c)) {
        // A ring that closed inside the cell and goes on from there (it passes its first
        // vertex again): the ring is still at that vertex, so the new run starts there
        // rather than at a point outside the cell, and the walk keeps its place.
        const Coordinate start = cell.last_point(*cell.before(t));
        append(cell, t, start);
        t.entry = side_of(box, start);
    }
    if (t.empty()) {
        append(cell, t, c);
        t.entry = side_of(box, c);
        return true;
    }
    if (in_closed_box(box, c)) {
        // A repeated point adds no geometry, and a ring that starts with its first vertex
        // repeated must not count as having closed there.
        if (c != cell.last_point(t)) append(cell, t, c);
        return true;
    }
    // The exit is taken on the segment from the previous vertex, which keeps the exit on
    // the ring's own line; but a previous vertex level with c and beyond the box would
    // give a segment that runs beside the box, so the last recorded point is used then.
    Coordinate start = cell.last_point(t);
    if (p != nullptr) {
        const bool beside_x = p->x == c.x && !(box.xmin <= p->x && p->x <= box.xmax);
        const bool beside_y = p->y == c.y && !(box.ymin <= p->y && p->y <= box.ymax);
        if (!beside_x && !beside_y) start = *p;
    }
    const Crossing out = crossing(box, start, c);
    append(cell, t, {out.x, out.y});
    t.exit = out.side;
    return false;
}

std::size_t take_inside(Cell& cell, std::span<const Coordinate> points) {
    Traversal& t = cell.last();
    PointLog& log = cell.log->points;
    if (!t.entered() || t.exited() || t.empty() || t.end != log.size()) return 0;
    const BBox box = cell.box;
    Coordinate last = log[t.end - 1];
    std::size_t k = 0;
    for (; k < points.size() && in_closed_box(box, points[k]); ++k) {
        if (points[k] != last) {
            last = points[k];
            log.push_back(last);
        }
    }
    if (log.size() >= kNoTraversal) too_many();
    t.end = static_cast<std::uint32_t>(log.size());
    return k;
}

void force_exit(Cell& cell) {
    Traversal& t = cell.last();
    if (t.exited() || t.empty()) return;
    const Coordinate& p = cell.last_point(t);
    if (in_closed_box(cell.box, p) && !strictly_inside(cell.box, p)) t.exit = side_of(cell.box, p);
}

void qualifying_traversals(const Cell& cell, std::vector<std::span<const Coordinate>>& out) {
    out.clear();
    for (const Traversal* t = &cell.last(); t != nullptr; t = cell.before(*t)) {
        const std::span<const Coordinate> coords = cell.coords(*t);
        if ((t->traversed() || t->is_closed_ring(cell.log->points)) && has_distinct_coordinates(coords)) {
            out.push_back(coords);
        }
    }
    std::reverse(out.begin(), out.end());
}

}  // namespace quorvalis
