#include <algorithm>

#include "lattice_scan.h"
#include "coverage_method.h"

namespace quorvalis {

namespace {

// The location test reads consecutive segments and does not close the ring itself.
Ring closed_copy(const Ring& ring) {
    Ring out(ring);
    // Unequal also when either end holds a NaN, so such a ring is closed once more.
    if (!out.empty() && !(out.front() == out.back())) out.push_back(out.front());
    return out;
}

}  // namespace

PolygonRaster center_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes) {
    const Grid polygon_grid = crop(grid, ring_bbox(exterior));
    if (polygon_grid.rows == 0 && polygon_grid.cols == 0) return {Matrix<float>(), polygon_grid};
    // Every centre comes from the full grid's lines (not from the cropped extent), so a cell
    // has one centre whichever polygon tests it: polygons that share an edge never both
    // claim a cell, and a strip holding no centre changes nothing.
    const Window window = window_of(grid, polygon_grid);
    PolygonRaster out{Matrix<float>(polygon_grid.rows, polygon_grid.cols, 0.0f), polygon_grid, window.row0,
                      window.col0};
    if (exterior.empty()) return out;

    std::vector<Ring> rings;
    rings.reserve(holes.size() + 1);
    rings.push_back(closed_copy(exterior));
    for (const Ring& h : holes) rings.push_back(closed_copy(h));
    std::vector<std::span<const Coordinate>> spans(rings.begin(), rings.end());
    const LatticeScan scan(center_lattice(window), window.lines.dx, window.lines.dy, spans);

    // Per row, the exterior's inside runs less every run that is on its boundary or inside
    // or on a hole: a centre counts when it is strictly inside the exterior and outside
    // (not on) every hole. The row costs its runs and the cells it covers.
    ColumnRuns inside;
    ColumnRuns removed;
    RowLocation location;
    for (std::uint64_t i = 0; i < window.rows; ++i) {
        inside.clear();
        removed.clear();
        scan.for_each_ring(i, location, [&](std::size_t k, const RowLocation& loc) {
            if (k == 0) {
                inside = loc.inside;
            } else {
                removed.insert(removed.end(), loc.inside.begin(), loc.inside.end());
            }
            removed.insert(removed.end(), loc.boundary.begin(), loc.boundary.end());
        });
        if (inside.empty()) continue;
        std::sort(removed.begin(), removed.end());
        float* row = &out.coverage(i, 0);
        std::size_t r = 0;
        std::uint64_t removed_to = 0;  // end of the removed runs seen so far
        for (const auto& [first, last] : inside) {
            std::uint64_t j = first;
            while (j < last) {
                // Skip what is removed at j, then fill up to the next removed run.
                while (r < removed.size() && removed[r].first <= j) removed_to = std::max(removed_to, removed[r++].second);
                if (removed_to > j) {
                    j = removed_to;
                    continue;
                }
                const std::uint64_t stop = std::min(last, r < removed.size() ? removed[r].first : last);
                for (; j < stop; ++j) row[j] = 1.0f;
            }
        }
    }
    return out;
}

}  // namespace quorvalis
