#include "coverage_method.h"
#include "intersection.h"

namespace quorvalis {

namespace {

// The location test reads consecutive segments and does not close the ring itself.
Ring closed_copy(const Ring& ring) {
    Ring out;
    if (ring.empty()) return out;
    out.reserve(ring.size() + 1);
    out.assign(ring.begin(), ring.end());
    // Unequal also when either end holds a NaN, so such a ring is closed once more.
    if (!(ring.front() == ring.back())) out.push_back(ring.front());
    return out;
}

}  // namespace

PolygonRaster centre_method(const Grid& grid, const Ring& exterior, const std::vector<Ring>& holes) {
    const Grid window = crop(grid, ring_bbox(exterior));
    if (window.rows == 0 && window.cols == 0) return {Matrix<float>(), window};

    const Ring shell = closed_copy(exterior);
    std::vector<Ring> closed_holes;
    closed_holes.reserve(holes.size());
    for (const Ring& h : holes) closed_holes.push_back(closed_copy(h));

    PolygonRaster out{Matrix<float>(window.rows, window.cols, 0.0f), window};
    if (shell.empty()) return out;
    for (std::uint64_t r = 0; r < window.rows; ++r) {
        for (std::uint64_t c = 0; c < window.cols; ++c) {
            const Coordinate p = cell_centre(window, r, c);
            // A centre on the exterior or on a hole's outline does not count.
            if (location(p.x, p.y, shell) != Location::Inside) continue;
            bool in_hole = false;
            for (const Ring& h : closed_holes) {
                if (location(p.x, p.y, h) != Location::Outside) {
                    in_hole = true;
                    break;
                }
            }
            if (!in_hole) out.coverage(r, c) = 1.0f;
        }
    }
    return out;
}

}  // namespace quorvalis
