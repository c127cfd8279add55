#include "coverage/cell_area.h"

#include <algorithm>
#include <cmath>

#include "geometry/measures.h"
#include "support/error.h"
#include "support/format.h"

namespace quorvalis {

// Up to this many chains (corners included) the next chain is found by a plain scan.
constexpr std::size_t kScanLimit = 16;

namespace {

[[noreturn]] [[gnu::cold]] void off_outline(const BBox& box, const Coordinate& p) {
    throw InternalError("Cannot compute perimeter distance for point (" + format_plain(p.x) + ", " + format_plain(p.y) +
                        ") not on boundary of " + to_string(box));
}

// signed_area and has_distinct_coordinates of a list offered one coordinate at a time,
// after an opening of at least two.
struct ClosedSum {
    Coordinate first;
    Coordinate before_last;
    Coordinate last;
    double sum = 0.0;
    bool distinct;

    explicit ClosedSum(std::span<const Coordinate> opening)
        : first(opening[0]), before_last(opening[0]), last(opening[1]), distinct(opening[1] != opening[0]) {
        for (const Coordinate& c : opening.subspan(2)) push(c);
    }
    void push(const Coordinate& c) {
        distinct |= c != first;
        sum += (last.x - first.x) * (c.y - before_last.y);
        before_last = last;
        last = c;
    }
    // Once closed, so of at least three coordinates.
    double signed_area() const { return 0.5 * sum; }
};

// perimeter_distance with the box's width and height worked out once per cell.
inline double outline_position(const BBox& box, double width, double height, const Coordinate& p) {
    if (p.x == box.xmin) return p.y - box.ymin;
    if (p.y == box.ymax) return (p.x - box.xmin) + height;
    if (p.x == box.xmax) return (box.ymax - p.y) + (width + height);
    if (p.y == box.ymin) return (box.xmax - p.x) + (2 * height + width);
    off_outline(box, p);
}

}  // namespace

double perimeter_distance(const BBox& box, const Coordinate& p) {
    return outline_position(box, box.xmax - box.xmin, box.ymax - box.ymin, p);
}

CellAreas cell_areas(const BBox& box, std::span<const std::span<const Coordinate>> lists, CellAreaScratch& scratch) {
    const double width = box.xmax - box.xmin;
    const double height = box.ymax - box.ymin;
    const double perimeter = 2 * height + 2 * width;
    // Length walked counter-clockwise along the outline from an exit to an entry.
    const auto ccw_gap = [perimeter](double exit, double entry) {
        return entry > exit ? (perimeter + exit) - entry : exit - entry;
    };

    // Sized once and filled by place: a cell is measured for every cell a ring crosses.
    std::vector<CoordinateChain>& chains = scratch.chains;
    if (chains.size() < lists.size() + 4) chains.resize(lists.size() + 4);
    std::size_t filled = 0;
    double ccw_sum = 0.0;
    double cw_sum = 0.0;
    bool found = false;

    for (const std::span<const Coordinate> list : lists) {
        if (!has_distinct_coordinates(list)) continue;
        if (list.front() != list.back()) {
            const double start = outline_position(box, width, height, list.front());
            const double stop = outline_position(box, width, height, list.back());
            chains[filled++] = {list, start, stop, false};
        } else {
            const double a = signed_area(list);
            (a > 0 ? ccw_sum : cw_sum) += std::fabs(a);
            found = true;
        }
    }

    // Corners as one-point chains, so the outline walk picks them up like any other chain.
    const Coordinate corners[4] = {
        {box.xmin, box.ymin}, {box.xmin, box.ymax}, {box.xmax, box.ymax}, {box.xmax, box.ymin}};
    const double corner_at[4] = {0.0, height, width + height, 2 * height + width};
    for (int k = 0; k < 4; ++k) {
        chains[filled++] = {std::span<const Coordinate>(&corners[k], 1), corner_at[k], corner_at[k], false};
    }

    // The next chain after an exit is the unvisited one whose entry lies nearest
    // counter-clockwise; ties go to the chain that opened the area, then to the lowest index.
    // A cell usually holds one or two runs and its four corners, and a plain scan is then
    // the cheapest way to find it. Beyond that, it is the largest entry at or below the exit,
    // else (walking past the outline's start) the largest entry of all: entries sorted once,
    // with visited ones skipped through a path-compressed link to the left, make each choice
    // O(log n), so a cell crossed by many runs of one ring is matched in O(n log n). Both
    // ways make the same choice.
    const std::size_t n = filled;
    const bool scan = n <= kScanLimit;
    std::vector<std::size_t>& order = scratch.order;
    std::vector<std::size_t>& left = scratch.left;
    std::vector<std::size_t>& place = scratch.place;
    if (!scan) {
        order.resize(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return chains[a].start != chains[b].start ? chains[a].start < chains[b].start : a < b;
        });
        // left[q] leads to place q - 1 of `order` when it is unvisited; left[0] = 0 means none.
        left.resize(n + 1);
        for (std::size_t q = 0; q <= n; ++q) left[q] = q;
        // Place of each chain in `order`, to unlink it once visited.
        place.resize(n);
        for (std::size_t q = 0; q < n; ++q) place[order[q]] = q;
    }
    const auto unvisited_at_or_left = [&left](std::size_t q) {  // q: place + 1
        std::size_t root = q;
        while (left[root] != root) root = left[root];
        while (left[q] != root) {
            const std::size_t up = left[q];
            left[q] = root;
            q = up;
        }
        return root;  // place + 1, or 0 when none
    };
    const auto visit = [&](std::size_t i) {
        chains[i].visited = true;
        if (!scan) left[place[i] + 1] = place[i];
    };

    // Among the unvisited places at or left of place + 1 = q whose gap equals the gap of the
    // first of them, the lowest chain index (equal gaps sit side by side, as the gap only
    // falls as the entry rises).
    const auto lowest_of_equal = [&](std::size_t q, double exit, double& gap) {
        const std::size_t first = order[q - 1];
        gap = ccw_gap(exit, chains[first].start);
        std::size_t best = first;
        for (std::size_t r = unvisited_at_or_left(q - 1); r != 0; r = unvisited_at_or_left(r - 1)) {
            const std::size_t i = order[r - 1];
            if (ccw_gap(exit, chains[i].start) != gap) break;
            best = std::min(best, i);
        }
        return best;
    };

    // The chain the area opened by k goes on with after an exit at `exit`; k itself when
    // the area closes.
    const auto next = [&](double exit, std::size_t k) {
        std::size_t best = k;
        double best_gap = ccw_gap(exit, chains[k].start);
        if (scan) {
            for (std::size_t i = 0; i < n; ++i) {
                if (chains[i].visited) continue;
                const double gap = ccw_gap(exit, chains[i].start);
                if (gap < best_gap) {
                    best = i;
                    best_gap = gap;
                }
            }
            return best;
        }
        const std::size_t at_or_below =
            static_cast<std::size_t>(std::upper_bound(order.begin(), order.end(), exit,
                                                      [&](double e, std::size_t i) { return e < chains[i].start; }) -
                                     order.begin());
        const std::size_t q1 = unvisited_at_or_left(at_or_below);
        const std::size_t q2 = unvisited_at_or_left(n);
        for (const std::size_t q : {q1, q2 != q1 ? q2 : std::size_t{0}}) {
            if (q == 0) continue;
            double gap = 0.0;
            const std::size_t i = lowest_of_equal(q, exit, gap);
            if (gap < best_gap || (gap == best_gap && best != k && i < best)) {
                best = i;
                best_gap = gap;
            }
        }
        return best;
    };

    // Each area is measured as its chains are chosen, never gathered into one list: the
    // same terms of the same shoelace sum, in the same order, as signed_area over the
    // chains' coordinates joined and closed.
    for (std::size_t k = 0; k < n; ++k) {
        if (chains[k].visited || chains[k].coords.size() == 1) continue;
        ClosedSum area(chains[k].coords);  // not a corner: two coordinates or more
        std::size_t current = k;
        visit(k);
        for (;;) {
            const CoordinateChain& cur = chains[current];
            if (current != k) {
                for (const Coordinate& c : cur.coords) area.push(c);
            }
            const std::size_t following = next(cur.stop, k);
            if (following == k) break;
            current = following;
            visit(current);
        }
        area.push(area.first);
        if (area.distinct) {
            ccw_sum += std::fabs(area.signed_area());
            found = true;
        }
    }

    if (!found) throw InternalError("Cannot determine coverage fraction (0 or 100%)");
    return {ccw_sum, cw_sum};
}

double covered_area(const BBox& box, const CellAreas& areas) {
    // Only clockwise loops inside the cell: they are holes in an otherwise covered cell.
    if (areas.ccw == 0.0 && areas.cw > 0.0) return area(box) - areas.cw;
    return areas.ccw - areas.cw;
}

double covered_area(const BBox& box, std::span<const std::span<const Coordinate>> lists) {
    CellAreaScratch scratch;
    return covered_area(box, cell_areas(box, lists, scratch));
}

}  // namespace quorvalis
