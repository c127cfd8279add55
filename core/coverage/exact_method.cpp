#include <algorithm>
#include <cmath>

#include "coverage/coverage_method.h"
#include "coverage/ring_walk.h"
#include "geometry/measures.h"

namespace quorvalis {

namespace {

// An axis-aligned rectangle covers each cell by the overlap of two boxes; no walk needed.
void fill_rectangle(const CellRect& cells, const BBox& rect, Matrix<float>& fractions) {
    for (std::uint64_t r = 0; r < cells.rows; ++r) {
        for (std::uint64_t c = 0; c < cells.cols; ++c) {
            const BBox cell = cells.box(r, c);
            if (intersects(cell, rect)) {
                const BBox overlap{std::max(cell.xmin, rect.xmin), std::max(cell.ymin, rect.ymin),
                                   std::min(cell.xmax, rect.xmax), std::min(cell.ymax, rect.ymax)};
                fractions(r, c) = static_cast<float>(area(overlap) / area(cell));
            }
        }
    }
}

}  // namespace

DenseFractions exact_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes) {
    const BBox box = ring_bbox(exterior);
    const CellRect rect = rect_of(grid, box);
    if (rect.empty()) return {};
    DenseFractions out = DenseFractions::zeros(rect);

    // Rings are measured closed, whether stored so or not: an unclosed pentagon would
    // otherwise be taken for a box. Most arrive closed and are walked where they lie.
    const bool closed = !exterior.empty() && exterior.front() == exterior.back();
    const Ring closed_exterior = closed ? Ring{} : closed_copy(exterior);
    const std::span<const Coordinate> shell = closed ? std::span<const Coordinate>(exterior) : closed_exterior;
    if (shell.size() == 5 && holes.empty()) {
        // A ring whose area equals its bounding box's area is that box, whatever its
        // orientation or starting corner. The absolute tolerance alone would take any small
        // pentagon (areas below 1e-10, as with fine grids in degrees) for its box, so the
        // areas must also agree relative to their size.
        const double a = std::fabs(signed_area(shell));
        const double b = area(box);
        const double gap = std::fabs(a - b);
        if (gap < 1e-10 && gap <= 1e-9 * b) {
            fill_rectangle(rect, box, out.fractions);
            return out;
        }
    }

    // The shell's box is the exterior's: closing a ring repeats its first point.
    ring_walk(rect.lines, shell, box, RingRole::Exterior, out);
    for (const Ring& hole : holes) ring_walk(rect.lines, closed_copy(hole), RingRole::Hole, out);
    return out;
}

}  // namespace quorvalis
