// Where points of a lattice (one per cell: the cell centers, say) lie relative to closed
// rings, one row at a time. Each edge is filed under the lattice rows it meets, with the
// first column whose point is not strictly left of it, so a row costs its own crossings
// (sorted) and never the whole vertex list: the center method and the cells the exact
// method's rings do not cross cost vertices plus the cells they decide.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "coverage/window.h"
#include "geometry/geometry.h"

namespace quorvalis {

// The points: column j's all have x = xs[j], row i's all have y = ys[i], with xs rising
// and ys falling (rows run downwards).
struct Lattice {
    std::vector<double> xs;
    std::vector<double> ys;
};

// The cell centers of `rect`, from its grid lines.
Lattice center_lattice(const CellRect& rect);

enum class Location : std::uint8_t { Boundary = 0, Inside = 1, Outside = 2 };

// The same rule for one point: winding-number location of (x, y) in a ring whose last
// coordinate repeats its first; a point on any segment is Boundary. Allocates nothing.
Location location(double x, double y, std::span<const Coordinate> ring);

// Column ranges [first, last) of one row, sorted and disjoint.
using ColumnRuns = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// The points of one row against one ring, in the terms of the point-in-ring test
// `location`: `inside` holds the columns of non-zero winding, `boundary` those on a segment
// (closed). A point is strictly inside when it is in `inside` and not in `boundary`.
struct RowLocation {
    ColumnRuns inside;
    ColumnRuns boundary;
};

class LatticeScan {
public:
    // `rings` are closed (last coordinate equal to the first). `dx` and `dy` are about the
    // lattice's spacing; they only speed up finding places.
    LatticeScan(Lattice lattice, double dx, double dy, std::span<const std::span<const Coordinate>> rings);

    // Calls f(k, location) for every ring k that row i meets, in increasing k; rings the
    // row does not meet have every point of the row outside them. `scratch` is reused.
    template <class F>
    void for_each_ring(std::uint64_t i, RowLocation& scratch, F&& f) const {
        const Entry* it = entries_.data() + start_[i];
        const Entry* end = entries_.data() + start_[i + 1];
        while (it != end) {
            const Entry* next = it;
            while (next != end && next->ring == it->ring) ++next;
            locate(it, next, scratch);
            f(static_cast<std::size_t>(it->ring), static_cast<const RowLocation&>(scratch));
            it = next;
        }
    }

    // The points of row i against ring k.
    void locate(std::uint64_t i, std::size_t k, RowLocation& out) const;

    // Whether the point of (i, j) is strictly inside ring k. Calls for one (i, k) must come
    // in increasing j after a `locate` of that row, and `row` is the result of that call.
    struct Cursor {
        std::size_t in = 0;
        std::size_t on = 0;
    };
    static bool strictly_inside(const RowLocation& row, std::uint64_t j, Cursor& cursor);

private:
    // Whether a point exactly at the searched coordinate is taken.
    enum class Bound : std::uint8_t { Inclusive, Exclusive };
    std::uint64_t first_column(double x, Bound bound) const;
    std::uint64_t first_row(double y, Bound bound) const;

    // One edge met by one lattice row: the winding of every point left of column `first`
    // changes by `dir` (0 for an edge the row meets only at its top or along it), and the
    // points of columns [first, last) lie on the edge.
    struct Entry {
        std::uint32_t ring;
        std::int32_t dir;
        std::uint64_t first;
        std::uint64_t last;
    };

    void locate(const Entry* begin, const Entry* end, RowLocation& out) const;

    Lattice lattice_;
    double dx_;
    double dy_;
    std::vector<std::uint64_t> start_;  // rows + 1 offsets into entries_
    std::vector<Entry> entries_;        // by row, then ring, then column
};

}  // namespace quorvalis
