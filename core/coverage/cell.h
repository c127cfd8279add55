// A cell of the grid that a ring passes through, the runs (traversals) of the ring inside
// it, and the steps that record them as the walk offers the ring's points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "coverage/cell_exit.h"
#include "coverage/grid.h"
#include "geometry/geometry.h"

namespace quorvalis {

// Every point the walk of one ring records, in order. A run receives points only while the
// walk is in its cell, so each traversal is one contiguous stretch of this log: one
// growing array for the whole walk instead of one per run.
using PointLog = std::vector<Coordinate>;

inline constexpr std::uint32_t kNoTraversal = UINT32_MAX;

// A traversal is a stretch of its walk's point log, named by 32-bit positions: the walk of
// a large ring holds millions of them at once, and their size sets the walk's peak memory.
// A walk whose log would pass 2^32 - 1 points is refused (InputError) rather than wrapped.
struct Traversal {
    std::uint32_t begin = 0;  // the traversal's points are log[begin, end)
    std::uint32_t end = 0;
    std::uint32_t previous = kNoTraversal;  // the same cell's traversal before this one
    Side entry = Side::None;
    Side exit = Side::None;

    std::span<const Coordinate> coords(const PointLog& log) const {
        return empty() ? std::span<const Coordinate>() : std::span<const Coordinate>(log.data() + begin, end - begin);
    }
    bool empty() const { return begin == end; }
    bool entered() const { return entry != Side::None; }
    bool exited() const { return exit != Side::None; }
    bool traversed() const { return entered() && exited(); }
    bool is_closed_ring(const PointLog& log) const { return end - begin >= 3 && log[begin] == log[end - 1]; }
    // Throws InternalError on an empty traversal.
    const Coordinate& last(const PointLog& log) const;
};

// What one ring's walk records: its points and its traversals, each cell's traversals
// chained backwards through `traversals`. Cells hold no storage of their own, so a walk
// through thousands of cells allocates a handful of growing arrays, not one per cell.
struct WalkLog {
    PointLog points;
    std::vector<Traversal> traversals;
};

// A cell's traversals, kept in the walk's log (which must outlive the cell): a view that a
// walk may rebuild from the box and the last traversal's index alone. References to
// traversals last only until the next traversal is made, in any cell of the same log.
struct Cell {
    BBox box;
    WalkLog* log;
    std::uint32_t last_index;

    // A cell visited for the first time: its first traversal is opened in the log.
    Cell(const BBox& b, WalkLog& walk_log);
    // A cell visited again, whose last traversal is log->traversals[last].
    Cell(const BBox& b, WalkLog& walk_log, std::uint32_t last) : box(b), log(&walk_log), last_index(last) {}

    Traversal& last() { return log->traversals[last_index]; }
    const Traversal& last() const { return log->traversals[last_index]; }
    // The traversal made before `t` in this cell, or null.
    const Traversal* before(const Traversal& t) const {
        return t.previous == kNoTraversal ? nullptr : &log->traversals[t.previous];
    }
    std::size_t traversal_count() const;
    std::span<const Coordinate> coords(const Traversal& t) const { return t.coords(log->points); }
    const Coordinate& last_point(const Traversal& t) const { return t.last(log->points); }
};

// Offers the next ring point c (p: the ring vertex before the one being processed, or
// null for the first vertex). True when c was appended; false when the ring left the cell
// on its way to c, in which case the traversal now ends with its exit point and side.
bool take(Cell& cell, const Coordinate& c, const Coordinate* p);

// The same as offering each of `points` to take() in turn while they lie in the cell's
// closed box, for a traversal in progress that entered from the outline: those points are
// appended (repeats dropped) and their number returned. A ring mostly moves inside a cell
// from one vertex to the next, so this is the walk's common step, kept to a compare and a
// copy per point. Returns 0 at once when the last traversal is not such a run.
std::size_t take_inside(Cell& cell, std::span<const Coordinate> points);

// Closes the last traversal on the side its last point lies on, if it lies on the outline.
void force_exit(Cell& cell);

// Coordinates of the traversals the coverage is measured from, in cell order: those that
// crossed the cell or closed inside it, and that are more than one repeated point.
void qualifying_traversals(const Cell& cell, std::vector<std::span<const Coordinate>>& out);

}  // namespace quorvalis
