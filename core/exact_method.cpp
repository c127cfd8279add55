#include <algorithm>
#include <cmath>

#include "cell.h"
#include "coverage_method.h"
#include "measures.h"
#include "ring_walk.h"

namespace quorvalis {

namespace {

// The ring with its first coordinate repeated at the end when it is missing (a NaN makes
// first and last differ, so such a ring gets the extra point too).
Ring closed_copy(const Ring& ring) {
    Ring out(ring);
    if (!out.empty() && out.front() != out.back()) out.push_back(out.front());
    return out;
}

// An axis-aligned rectangle covers each cell by the overlap of two boxes; no walk needed.
void fill_rectangle(const Window& window, const BBox& rect, Matrix<float>& coverage) {
    for (std::uint64_t r = 0; r < window.rows; ++r) {
        for (std::uint64_t c = 0; c < window.cols; ++c) {
            const BBox cell = window.box(r, c);
            if (cell.ymin <= rect.ymax && rect.ymin <= cell.ymax && cell.xmin <= rect.xmax && rect.xmin <= cell.xmax) {
                const double overlap = (std::min(cell.xmax, rect.xmax) - std::max(cell.xmin, rect.xmin)) *
                                       (std::min(cell.ymax, rect.ymax) - std::max(cell.ymin, rect.ymin));
                coverage(r, c) =
                    static_cast<float>(overlap / ((cell.xmax - cell.xmin) * (cell.ymax - cell.ymin)));
            }
        }
    }
}

}  // namespace

PolygonRaster exact_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes) {
    const BBox box = ring_bbox(exterior);
    const Grid polygon_grid = crop(grid, box);
    if (polygon_grid.rows == 0 && polygon_grid.cols == 0) return {Matrix<float>(), polygon_grid};
    Matrix<float> coverage(polygon_grid.rows, polygon_grid.cols, 0.0f);
    const Window window = window_of(grid, polygon_grid);

    // Rings are measured closed, whether stored so or not: a ring without its closing point
    // would otherwise lose its last edge, and an unclosed pentagon would be taken for a box.
    const Ring shell = closed_copy(exterior);
    if (shell.size() == 5 && holes.empty()) {
        // A ring whose area equals its bounding box's area is that box, whatever its
        // orientation or starting corner. The absolute tolerance alone would take any small
        // pentagon (areas below 1e-10, as with fine grids in degrees) for its box, so the
        // areas must also agree relative to their size.
        const double a = std::fabs(signed_area(shell));
        const double b = (box.xmax - box.xmin) * (box.ymax - box.ymin);
        const double gap = std::fabs(a - b);
        if (gap < 1e-10 && gap <= 1e-9 * b) {
            fill_rectangle(window, box, coverage);
            return {std::move(coverage), polygon_grid, window.row0, window.col0};
        }
    }

    ring_walk(window, shell, RingRole::Exterior, coverage);
    for (const Ring& hole : holes) ring_walk(window, closed_copy(hole), RingRole::Hole, coverage);
    return {std::move(coverage), polygon_grid, window.row0, window.col0};
}

}  // namespace quorvalis
