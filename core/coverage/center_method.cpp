#include <algorithm>

#include "coverage/coverage_method.h"
#include "coverage/lattice_scan.h"
#include "geometry/measures.h"

namespace quorvalis {

DenseFractions center_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes) {
    const CellRect rect = rect_of(grid, ring_bbox(exterior));
    if (rect.empty()) return {};
    // Every center comes from the full grid's lines, so a cell has one center whichever
    // polygon tests it: polygons that share an edge never both claim a cell, and a strip
    // holding no center changes nothing.
    DenseFractions out = DenseFractions::zeros(rect);
    if (exterior.empty()) return out;

    std::vector<Ring> rings;
    rings.reserve(holes.size() + 1);
    rings.push_back(closed_copy(exterior));
    for (const Ring& h : holes) rings.push_back(closed_copy(h));
    std::vector<std::span<const Coordinate>> spans(rings.begin(), rings.end());
    const LatticeScan scan(center_lattice(rect), rect.lines.dx, rect.lines.dy, spans);

    // Per row, the exterior's inside runs less every run that is on its boundary or inside
    // or on a hole: a center counts when it is strictly inside the exterior and outside
    // (not on) every hole. The row costs its runs and the cells it covers.
    ColumnRuns inside;
    ColumnRuns removed;
    RowLocation location;
    for (std::uint64_t i = 0; i < rect.rows; ++i) {
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
        float* row = &out.fractions(i, 0);
        std::size_t r = 0;
        std::uint64_t removed_to = 0;  // end of the removed runs seen so far
        for (const auto& [first, last] : inside) {
            std::uint64_t j = first;
            while (j < last) {
                // Skip what is removed at j, then fill up to the next removed run.
                while (r < removed.size() && removed[r].first <= j)
                    removed_to = std::max(removed_to, removed[r++].second);
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
