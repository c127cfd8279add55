#include "coverage.h"

#include <algorithm>
#include <cmath>

#include "error.h"
#include "measures.h"
#include "perimeter.h"

namespace quorvalis {

namespace {

bool has_distinct_coordinates(std::span<const Coordinate> coords) {
    return !coords.empty() &&
           std::any_of(coords.begin() + 1, coords.end(), [&](const Coordinate& c) { return c != coords.front(); });
}

}  // namespace

CellAreas cell_areas(const BBox& box, std::span<const std::span<const Coordinate>> lists, CoverageScratch& scratch) {
    const double width = box.xmax - box.xmin;
    const double height = box.ymax - box.ymin;
    const double perimeter = 2 * height + 2 * width;
    // Length walked counter-clockwise along the outline from an exit to an entry.
    const auto ccw_gap = [perimeter](double exit, double entry) {
        return entry > exit ? (perimeter + exit) - entry : exit - entry;
    };

    std::vector<CoordinateChain>& chains = scratch.chains;
    chains.clear();
    chains.reserve(lists.size() + 4);
    double ccw_sum = 0.0;
    double cw_sum = 0.0;
    bool found = false;

    for (const std::span<const Coordinate> list : lists) {
        if (!has_distinct_coordinates(list)) continue;
        if (list.front() != list.back()) {
            const double start = perimeter_distance(box, list.front());
            const double stop = perimeter_distance(box, list.back());
            chains.push_back({list, start, stop, false});
        } else {
            const double a = signed_area(list);
            (a > 0 ? ccw_sum : cw_sum) += std::fabs(a);
            found = true;
        }
    }

    // Corners as one-point chains, so the outline walk picks them up like any other chain.
    const Coordinate corners[4] = {{box.xmin, box.ymin}, {box.xmin, box.ymax}, {box.xmax, box.ymax}, {box.xmax, box.ymin}};
    const double corner_at[4] = {0.0, height, width + height, 2 * height + width};
    for (int k = 0; k < 4; ++k) {
        chains.push_back({std::span<const Coordinate>(&corners[k], 1), corner_at[k], corner_at[k], false});
    }

    std::vector<Coordinate>& buffer = scratch.buffer;
    for (std::size_t k = 0; k < chains.size(); ++k) {
        if (chains[k].visited || chains[k].coords.size() == 1) continue;
        buffer.clear();
        std::size_t current = k;
        for (;;) {
            CoordinateChain& cur = chains[current];
            cur.visited = true;
            buffer.insert(buffer.end(), cur.coords.begin(), cur.coords.end());
            // Ties go to the chain that opened this area, then to the lowest index.
            std::size_t best = k;
            double best_gap = ccw_gap(cur.stop, chains[k].start);
            for (std::size_t i = 0; i < chains.size(); ++i) {
                if (chains[i].visited || i == current) continue;
                const double gap = ccw_gap(cur.stop, chains[i].start);
                if (gap < best_gap) {
                    best = i;
                    best_gap = gap;
                }
            }
            if (best == k) break;
            current = best;
        }
        if (!buffer.empty()) {
            buffer.push_back(buffer.front());
            if (has_distinct_coordinates(buffer)) {
                ccw_sum += std::fabs(signed_area(buffer));
                found = true;
            }
        }
    }

    if (!found) throw InternalError("Cannot determine coverage fraction (0 or 100%)");
    return {ccw_sum, cw_sum};
}

double covered_area(const BBox& box, const CellAreas& areas) {
    // Only clockwise loops inside the cell: they are holes in an otherwise covered cell.
    if (areas.ccw == 0.0 && areas.cw > 0.0) return (box.xmax - box.xmin) * (box.ymax - box.ymin) - areas.cw;
    return areas.ccw - areas.cw;
}

double covered_area(const BBox& box, std::span<const std::span<const Coordinate>> lists) {
    CoverageScratch scratch;
    return covered_area(box, cell_areas(box, lists, scratch));
}

}  // namespace quorvalis
