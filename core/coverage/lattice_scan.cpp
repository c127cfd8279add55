#include "coverage/lattice_scan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "geometry/orient2d.h"
#include "support/error.h"

namespace quorvalis {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Appends [first, last) to runs, joining it to the last run when they meet; runs offered
// in increasing `first` stay sorted and disjoint.
void append_run(ColumnRuns& runs, std::uint64_t first, std::uint64_t last) {
    if (first >= last) return;
    if (!runs.empty() && runs.back().second >= first) {
        runs.back().second = std::max(runs.back().second, last);
    } else {
        runs.emplace_back(first, last);
    }
}

}  // namespace

Lattice center_lattice(const CellRect& rect) {
    Lattice out{std::vector<double>(static_cast<std::size_t>(rect.cols)),
                std::vector<double>(static_cast<std::size_t>(rect.rows))};
    for (std::uint64_t j = 0; j < rect.cols; ++j) out.xs[static_cast<std::size_t>(j)] = rect.center_x(j);
    for (std::uint64_t i = 0; i < rect.rows; ++i) out.ys[static_cast<std::size_t>(i)] = rect.center_y(i);
    return out;
}

// The first column whose point lies at or right of x (Exclusive: right of x).
std::uint64_t LatticeScan::first_column(double x, Bound bound) const {
    const std::vector<double>& xs = lattice_.xs;
    const auto at_or_right = [&](std::uint64_t j) {
        const double v = xs[static_cast<std::size_t>(j)];
        return bound == Bound::Exclusive ? v > x : v >= x;
    };
    const std::uint64_t n = xs.size();
    return first_past(n == 0 ? 0 : saturating_u64(std::ceil((x - xs[0]) / dx_)), 0, n, at_or_right);
}

// The first row whose point lies at or below y (Exclusive: below y).
std::uint64_t LatticeScan::first_row(double y, Bound bound) const {
    const std::vector<double>& ys = lattice_.ys;
    const auto at_or_below = [&](std::uint64_t i) {
        const double v = ys[static_cast<std::size_t>(i)];
        return bound == Bound::Exclusive ? v < y : v <= y;
    };
    const std::uint64_t n = ys.size();
    return first_past(n == 0 ? 0 : saturating_u64(std::ceil((ys[0] - y) / dy_)), 0, n, at_or_below);
}

LatticeScan::LatticeScan(Lattice lattice, double dx, double dy, std::span<const std::span<const Coordinate>> rings)
    : lattice_(std::move(lattice)), dx_(dx), dy_(dy), start_(lattice_.ys.size() + 1, 0) {
    const std::uint64_t rows = lattice_.ys.size();
    const std::uint64_t cols = lattice_.xs.size();
    if (rows == 0 || cols == 0) return;
    if (rings.size() > UINT32_MAX) throw InputError("too many rings in one polygon");
    const std::vector<double>& row_y = lattice_.ys;

    // Tie-break rule, the same as the point-in-ring test `location`: an edge counts the rows
    // of its half-open height range [lower end, upper end), so a row through a vertex meets
    // the ring's edges there once; upward it adds 1 for the centers strictly left of it
    // (orient2d > 0), downward it subtracts 1 for the centers strictly right of its
    // direction of travel, which along a row are again those left of the crossing. A center
    // exactly on an edge, either end included, is on the boundary whatever the winding: it
    // is never strictly inside.
    //
    // Each vertex's place among the lattice rows: the first row whose center lies at or
    // below it, and the first strictly below it. Found from the previous vertex's place (a
    // ring moves little from one vertex to the next), these make an edge's rows [place at
    // its top, place strictly below its bottom) a lookup. Most edges of a detailed ring
    // lie between two rows; one pass keeps just the edges that meet a row, counting the
    // entries of each row as it goes, and the filing pass then runs over those alone.
    struct EdgeRows {
        std::size_t ring;
        std::size_t n;  // the edge ring[n - 1] -> ring[n]
        std::uint64_t i0;
        std::uint64_t i1;
    };
    std::vector<EdgeRows> edges;
    for (std::size_t k = 0; k < rings.size(); ++k) {
        const std::span<const Coordinate> ring = rings[k];
        if (ring.empty()) continue;
        std::uint64_t at = first_row(ring[0].y, Bound::Inclusive);
        std::pair<std::uint64_t, std::uint64_t> previous{};
        // The heights of the rows around the previous vertex, when it lay strictly between
        // them: a vertex strictly between the same two rows has the same place, and its
        // edge meets no row. Most vertices are settled by these two comparisons.
        double between_above = -kInf;
        double between_below = kInf;
        for (std::size_t n = 0; n < ring.size(); ++n) {
            const double y = ring[n].y;
            if (y < between_above && y > between_below) continue;
            while (at > 0 && row_y[static_cast<std::size_t>(at - 1)] <= y) --at;
            while (at < rows && row_y[static_cast<std::size_t>(at)] > y) ++at;
            std::uint64_t below = at;
            while (below < rows && row_y[static_cast<std::size_t>(below)] >= y) ++below;
            // A NaN finds no place: it meets no row.
            const auto place = y == y ? std::pair{at, below} : std::pair{rows, std::uint64_t{0}};
            if (n > 0) {
                const bool up = y > ring[n - 1].y;
                const std::uint64_t i0 = (up ? place : previous).first;
                const std::uint64_t i1 = (up ? previous : place).second;
                if (i0 < i1) {
                    edges.push_back({k, n, i0, i1});
                    for (std::uint64_t i = i0; i < i1; ++i) ++start_[static_cast<std::size_t>(i) + 1];
                }
            }
            previous = place;
            if (place.first == place.second) {
                between_above = at > 0 ? row_y[static_cast<std::size_t>(at - 1)] : kInf;
                between_below = at < rows ? row_y[static_cast<std::size_t>(at)] : -kInf;
            } else {
                between_above = -kInf;
                between_below = kInf;
            }
        }
    }
    for (std::size_t i = 1; i < start_.size(); ++i) start_[i] += start_[i - 1];
    entries_.resize(static_cast<std::size_t>(start_.back()));
    for (const EdgeRows& edge : edges) {
        const Coordinate& e = rings[edge.ring][edge.n - 1];
        const Coordinate& f = rings[edge.ring][edge.n];
        const double lo = std::min(e.y, f.y);
        const double hi = std::max(e.y, f.y);
        const int dir = f.y > e.y ? 1 : -1;
        const double slope = (f.x - e.x) / (f.y - e.y);
        for (std::uint64_t i = edge.i0; i < edge.i1; ++i) {
            const double y = row_y[static_cast<std::size_t>(i)];
            Entry entry{static_cast<std::uint32_t>(edge.ring), 0, 0, 0};
            if (lo == hi) {
                entry.first = first_column(std::min(e.x, f.x), Bound::Inclusive);
                entry.last = first_column(std::max(e.x, f.x), Bound::Exclusive);
            } else if (y == hi) {
                const double x = e.y == hi ? e.x : f.x;
                entry.first = first_column(x, Bound::Inclusive);
                entry.last = first_column(x, Bound::Exclusive);
            } else {
                // The rounded crossing only guesses the column; the orientation of the
                // points against the edge decides it exactly.
                const auto left = [&](std::uint64_t j) {
                    const double o = orient2d(e, f, {lattice_.xs[static_cast<std::size_t>(j)], y});
                    return dir > 0 ? o > 0.0 : o < 0.0;
                };
                std::uint64_t j = first_column(e.x + (y - e.y) * slope, Bound::Inclusive);
                while (j > 0 && !left(j - 1)) --j;
                while (j < cols && left(j)) ++j;
                entry.dir = dir;
                entry.first = j;
                entry.last =
                    j < cols && orient2d(e, f, {lattice_.xs[static_cast<std::size_t>(j)], y}) == 0.0 ? j + 1 : j;
            }
            entries_[static_cast<std::size_t>(start_[static_cast<std::size_t>(i)]++)] = entry;
        }
    }
    // Filing advanced each row's start to the next row's; shift them back.
    for (std::size_t i = start_.size() - 1; i > 0; --i) start_[i] = start_[i - 1];
    start_[0] = 0;
    for (std::size_t i = 0; i + 1 < start_.size(); ++i) {
        std::sort(entries_.begin() + static_cast<std::ptrdiff_t>(start_[i]),
                  entries_.begin() + static_cast<std::ptrdiff_t>(start_[i + 1]), [](const Entry& a, const Entry& b) {
                      return a.ring != b.ring ? a.ring < b.ring : a.first < b.first;
                  });
    }
}

void LatticeScan::locate(std::uint64_t i, std::size_t k, RowLocation& out) const {
    // Through data(), which may be null when no edge meets any row: never dereferenced then.
    const Entry* begin = entries_.data() + start_[static_cast<std::size_t>(i)];
    const Entry* end = entries_.data() + start_[static_cast<std::size_t>(i) + 1];
    const Entry* lo = std::lower_bound(begin, end, k, [](const Entry& e, std::size_t r) { return e.ring < r; });
    const Entry* hi = std::upper_bound(lo, end, k, [](std::size_t r, const Entry& e) { return r < e.ring; });
    locate(lo, hi, out);
}

void LatticeScan::locate(const Entry* begin, const Entry* end, RowLocation& out) const {
    out.inside.clear();
    out.boundary.clear();
    // The winding of column j is the sum of dir over the entries with first > j.
    long long winding = 0;
    for (const Entry* e = begin; e != end; ++e) winding += e->dir;
    std::uint64_t from = 0;
    for (const Entry* e = begin; e != end; ++e) {
        if (e->first > from) {
            if (winding != 0) append_run(out.inside, from, e->first);
            from = e->first;
        }
        winding -= e->dir;
        append_run(out.boundary, e->first, e->last);
    }
    if (winding != 0) append_run(out.inside, from, lattice_.xs.size());
}

bool LatticeScan::strictly_inside(const RowLocation& row, std::uint64_t j, Cursor& cursor) {
    while (cursor.in < row.inside.size() && row.inside[cursor.in].second <= j) ++cursor.in;
    while (cursor.on < row.boundary.size() && row.boundary[cursor.on].second <= j) ++cursor.on;
    const bool in = cursor.in < row.inside.size() && row.inside[cursor.in].first <= j;
    const bool on = cursor.on < row.boundary.size() && row.boundary[cursor.on].first <= j;
    return in && !on;
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
