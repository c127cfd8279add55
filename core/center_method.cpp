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

    // Per row, +1 over the exterior's strictly inside runs and a removal mark over its
    // boundary and over every hole's inside and boundary: a centre counts when it is
    // strictly inside the exterior and outside (not on) every hole.
    std::vector<int> in(static_cast<std::size_t>(window.cols) + 1);
    std::vector<int> removed(static_cast<std::size_t>(window.cols) + 1);
    const auto mark = [](std::vector<int>& d, const ColumnRuns& runs) {
        for (const auto& [a, b] : runs) {
            ++d[static_cast<std::size_t>(a)];
            --d[static_cast<std::size_t>(b)];
        }
    };
    RowLocation location;
    for (std::uint64_t i = 0; i < window.rows; ++i) {
        std::fill(in.begin(), in.end(), 0);
        std::fill(removed.begin(), removed.end(), 0);
        bool any = false;
        scan.for_each_ring(i, location, [&](std::size_t k, const RowLocation& loc) {
            if (k == 0) {
                mark(in, loc.inside);
                any = !loc.inside.empty();
            } else {
                mark(removed, loc.inside);
            }
            mark(removed, loc.boundary);
        });
        if (!any) continue;
        float* row = &out.coverage(i, 0);
        int a = 0;
        int b = 0;
        for (std::uint64_t j = 0; j < window.cols; ++j) {
            a += in[static_cast<std::size_t>(j)];
            b += removed[static_cast<std::size_t>(j)];
            if (a > 0 && b == 0) row[j] = 1.0f;
        }
    }
    return out;
}

}  // namespace quorvalis
