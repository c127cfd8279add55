#include "coverage/ring_walk.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "coverage/cell.h"
#include "coverage/cell_area.h"
#include "coverage/lattice_scan.h"
#include "geometry/exact_arith.h"
#include "geometry/measures.h"
#include "geometry/orient2d.h"
#include "support/error.h"

namespace quorvalis {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// sqrt(2) - 1 and sqrt(3) - 1: a probe point of a cell that no grid-aligned or
// corner-to-corner line passes through.
constexpr double kProbeX = 0.41421356237309515;
constexpr double kProbeY = 0.7320508075688772;

// The ring's window with one row and one column of unbounded cells on every side, so a
// ring reaching past the polygon's window still has cells to run through.
struct PaddedGrid {
    CellRect w;
    std::uint64_t rows;  // w.rows + 2
    std::uint64_t cols;  // w.cols + 2

    // The sides of padded cell (pr, pc): the padding reaches to infinity.
    double left(std::uint64_t pc) const { return pc == 0 ? -kInf : w.left(pc - 1); }
    double right(std::uint64_t pc) const { return pc == cols - 1 ? kInf : w.left(pc); }
    double top(std::uint64_t pr) const { return pr == 0 ? kInf : w.top(pr - 1); }
    double bottom(std::uint64_t pr) const { return pr == rows - 1 ? -kInf : w.top(pr); }

    BBox box(std::uint64_t pr, std::uint64_t pc) const { return {left(pc), bottom(pr), right(pc), top(pr)}; }

    // Padded row of a y value: a point on an inner cell line belongs to the cell below it,
    // the window's bottom edge to its last row. The floor only guesses; the cell lines
    // decide, so the start point always lies in its cell's box.
    std::uint64_t row_of(double y) const {
        if (y > w.top(0)) return 0;
        if (y < w.top(w.rows)) return rows - 1;
        if (y == w.top(w.rows)) return rows - 2;
        return 1 + first_past(saturating_u64(std::floor((w.top(0) - y) / w.lines.dy)), 0, w.rows - 1,
                              [&](std::uint64_t k) { return y > w.top(k + 1); });
    }

    // Padded column of an x value: on an inner cell line, the cell to the right of it;
    // the window's right edge belongs to its last column.
    std::uint64_t col_of(double x) const {
        if (x < w.left(0)) return 0;
        if (x > w.left(w.cols)) return cols - 1;
        if (x == w.left(w.cols)) return cols - 2;
        return 1 + first_past(saturating_u64(std::floor((x - w.left(0)) / w.lines.dx)), 0, w.cols - 1,
                              [&](std::uint64_t k) { return x < w.left(k + 1); });
    }
};

// Cells created on first visit. They are found again through tiles of 8 x 8 padded slots,
// kept in an open-addressing table: memory follows the cells the ring visits, not its
// window, and a walk moving to a neighbour mostly stays in the tile it was in. A visited
// cell keeps only its slot and its last traversal (16 bytes); its box is worked out again
// from the grid lines at each visit, bit for bit the same, so a large ring's table stays
// small beside its window.
struct CellTable {
    static constexpr std::uint64_t kTileBits = 3;
    static constexpr std::uint64_t kTileSlots = std::uint64_t{1} << (2 * kTileBits);

    const PaddedGrid& grid;
    struct Visited {
        std::uint64_t slot;  // pr * grid.cols + pc
        std::uint32_t last;  // the cell's last traversal in `log`
    };

    WalkLog log;
    std::vector<Visited> cells;
    std::uint64_t tile_cols;
    std::vector<std::uint64_t> keys;   // tile number + 1; 0 marks a free entry
    std::vector<std::uint32_t> tile;   // where the tile's slots start in `slots`, over kTileSlots
    std::vector<std::uint32_t> slots;  // 1 + index in `cells`; 0 for a slot not visited yet
    std::uint64_t last_key = 0;
    std::size_t last_tile = 0;

    explicit CellTable(const PaddedGrid& g) : grid(g), tile_cols((g.cols >> kTileBits) + 1) {
        checked_cell_count(g.rows, g.cols);
        keys.assign(64, 0);
        tile.assign(64, 0);
    }

    static std::size_t hash(std::uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return static_cast<std::size_t>(key);
    }

    std::size_t find_tile(std::uint64_t key) {
        const std::size_t mask = keys.size() - 1;
        std::size_t h = hash(key) & mask;
        while (keys[h] != 0) {
            if (keys[h] == key) return tile[h];
            h = (h + 1) & mask;
        }
        if (slots.size() / kTileSlots >= UINT32_MAX / kTileSlots) throw InputError("ring crosses too many cells");
        const std::size_t start = slots.size() / kTileSlots;
        slots.resize(slots.size() + kTileSlots, 0);
        keys[h] = key;
        tile[h] = static_cast<std::uint32_t>(start);
        if (4 * (start + 1) > 3 * keys.size()) {
            std::vector<std::uint64_t> old_keys(2 * keys.size(), 0);
            std::vector<std::uint32_t> old_tile(2 * keys.size(), 0);
            old_keys.swap(keys);
            old_tile.swap(tile);
            const std::size_t grown = keys.size() - 1;
            for (std::size_t k = 0; k < old_keys.size(); ++k) {
                if (old_keys[k] == 0) continue;
                std::size_t g = hash(old_keys[k]) & grown;
                while (keys[g] != 0) g = (g + 1) & grown;
                keys[g] = old_keys[k];
                tile[g] = old_tile[k];
            }
        }
        return start;
    }

    // The cell's last traversal, made on the first visit; the reference lasts until the
    // next call.
    std::uint32_t& last_of(std::uint64_t pr, std::uint64_t pc, const BBox& box) {
        const std::uint64_t key = (pr >> kTileBits) * tile_cols + (pc >> kTileBits) + 1;
        if (key != last_key) {
            last_tile = find_tile(key);
            last_key = key;
        }
        constexpr std::uint64_t low = (std::uint64_t{1} << kTileBits) - 1;
        const std::uint64_t inner = ((pr & low) << kTileBits) | (pc & low);
        std::uint32_t& index = slots[last_tile * kTileSlots + static_cast<std::size_t>(inner)];
        if (index == 0) {
            if (cells.size() >= UINT32_MAX - 1) throw InputError("ring crosses too many cells");
            cells.push_back({pr * grid.cols + pc, Cell(box, log).last_index});
            index = static_cast<std::uint32_t>(cells.size());
        }
        return cells[index - 1].last;
    }
};

// Where a probe sits in each cell: an irrational point, through which no grid-aligned or
// corner-to-corner line passes (such lines often pass through the center).
double probe_x(const CellRect& w, std::uint64_t j) { return w.left(j) + (w.left(j + 1) - w.left(j)) * kProbeX; }
double probe_y(const CellRect& w, std::uint64_t i) { return w.top(i + 1) + (w.top(i) - w.top(i + 1)) * kProbeY; }

// A cell the ring only grazes: it runs along the outline, or out and back along a spike,
// or a thin sliver was collapsed onto a line by the clamped exit points. The cell lies
// wholly on one side of the ring. When every run through it keeps the probe on the same
// side (interior to the left of a counter-clockwise ring), that side decides (1 or 0); a
// spike or a collapsed sliver has the cell on both sides, and only locating the probe in
// the ring can tell (-1).
int grazed_side(const Coordinate& probe, std::span<const std::span<const Coordinate>> lists) {
    bool left = false;
    bool right = false;
    for (const std::span<const Coordinate> list : lists) {
        for (std::size_t k = 1; k < list.size(); ++k) {
            const double o = orient2d(list[k - 1], list[k], probe);
            left = left || o > 0;
            right = right || o < 0;
        }
    }
    if (left != right) return left ? 1 : 0;
    return -1;
}

[[noreturn]] void stuck() {
    throw InternalError("ring walk stopped making progress through the grid (degenerate ring?)");
}

// Records the traversals of the ring through every cell it passes. Returns normally when
// the ring is consumed, when a traversal cannot be closed, or when the ring runs off the
// padded grid.
void walk(std::vector<Coordinate>& work, const PaddedGrid& grid, CellTable& table) {
    std::uint64_t pr = grid.row_of(work.front().y);
    std::uint64_t pc = grid.col_of(work.front().x);
    BBox box = grid.box(pr, pc);

    // A straight segment crosses at most rows + cols cells (plus one per grid corner it
    // passes through); the budget is per segment, reset whenever a vertex is consumed.
    const std::uint64_t move_budget = 2 * (grid.rows + grid.cols) + 16;
    // Only the opening run of the start cell is replayed, so the list at most doubles.
    const std::size_t max_len = 3 * work.size() + 16;
    std::uint64_t moves = 0;

    // Every vertex is logged, and each move between cells adds an exit and an entry: room
    // for half as many moves as vertices spares most walks the log's regrowth copies.
    table.log.points.reserve(work.size() + work.size() / 2 + 16);

    std::size_t pos = 0;
    Coordinate pending{};
    bool has_pending = false;
    while (pos < work.size()) {
        std::uint32_t& last = table.last_of(pr, pc, box);
        Cell cell(box, table.log, last);
        Coordinate c = has_pending ? pending : work[pos];
        bool exited = !take(cell, c, pos > 0 ? &work[pos - 1] : nullptr);
        if (!exited) {
            if (!has_pending) {
                ++pos;
                moves = 0;
            }
            has_pending = false;
            while (pos < work.size()) {
                if (const std::size_t inside = take_inside(cell, std::span(work).subspan(pos)); inside != 0) {
                    pos += inside;
                    moves = 0;
                    if (pos == work.size()) break;
                }
                c = work[pos];
                if (!take(cell, c, pos > 0 ? &work[pos - 1] : nullptr)) {
                    exited = true;
                    break;
                }
                ++pos;
                moves = 0;
            }
        }
        if (exited) {
            // The exit point opens the next cell's traversal, so both share it exactly.
            const Coordinate exit_point = cell.last_point(cell.last());
            has_pending = exit_point != c;
            pending = exit_point;
        }

        force_exit(cell);
        last = cell.last_index;
        const Traversal& t = cell.last();
        if (!t.exited()) return;
        if (!t.entered()) {
            // The ring began inside this cell: replay its opening run when the walk comes
            // back, so the cell's last traversal runs from outline to outline.
            const std::span<const Coordinate> opening = cell.coords(t);
            if (work.size() + opening.size() > max_len) stuck();
            work.insert(work.end(), opening.begin(), opening.end());
        }
        // The next cell shares a side with this one: only the far side is new, so the box
        // stays grid.box(pr, pc) without working out the other three.
        switch (t.exit) {
            case Side::Left:
                if (pc == 0) return;
                --pc;
                box.xmax = box.xmin;
                box.xmin = grid.left(pc);
                break;
            case Side::Right:
                if (pc + 1 >= grid.cols) return;
                ++pc;
                box.xmin = box.xmax;
                box.xmax = grid.right(pc);
                break;
            case Side::Top:
                if (pr == 0) return;
                --pr;
                box.ymin = box.ymax;
                box.ymax = grid.top(pr);
                break;
            case Side::Bottom:
                if (pr + 1 >= grid.rows) return;
                ++pr;
                box.ymax = box.ymin;
                box.ymin = grid.bottom(pr);
                break;
            case Side::None:
                return;
        }
        if (++moves > move_budget) stuck();
    }
}

// Whether a - b is exact (and finite).
bool exact_difference(double a, double b) {
    const double d = a - b;
    return std::isfinite(d) && exact::two_diff_tail(a, b, d) == 0.0;
}

// The ring into `work`, measured from the window's corner (its left cell line, its top cell
// line) on each axis where every coordinate of the ring, every cell line and every cell
// center of the window less that corner is exact; as it is on an axis where some difference
// would round. Returns the corner used, 0 on such an axis. One pass over the ring: the
// differences are taken as they are checked, and only an axis that fails is copied again.
Coordinate measure_from_corner(const CellRect& w, std::span<const Coordinate> ring, std::vector<Coordinate>& work) {
    double ox = w.left(0);
    double oy = w.top(0);
    for (std::uint64_t j = 0; j <= w.cols && ox != 0.0; ++j) {
        if (!exact_difference(w.left(j), ox) || (j < w.cols && !exact_difference(w.center_x(j), ox))) ox = 0.0;
    }
    for (std::uint64_t i = 0; i <= w.rows && oy != 0.0; ++i) {
        if (!exact_difference(w.top(i), oy) || (i < w.rows && !exact_difference(w.center_y(i), oy))) oy = 0.0;
    }
    // The difference is exact where its rounding error is zero; an overflow to infinity
    // leaves a NaN error, so the one test covers both. Both axes are worked in one pass,
    // without a branch per point.
    work.resize(ring.size());
    bool x_exact = true;
    bool y_exact = true;
#if defined(__SSE2__)
    const __m128d o = _mm_set_pd(oy, ox);
    __m128d inexact = _mm_setzero_pd();
    for (std::size_t k = 0; k < ring.size(); ++k) {
        const __m128d a = _mm_loadu_pd(&ring[k].x);
        const __m128d d = _mm_sub_pd(a, o);
        // exact::two_diff_tail(a, o, d), lane by lane.
        const __m128d bvirt = _mm_sub_pd(a, d);
        const __m128d avirt = _mm_add_pd(d, bvirt);
        const __m128d tail = _mm_add_pd(_mm_sub_pd(a, avirt), _mm_sub_pd(bvirt, o));
        inexact = _mm_or_pd(inexact, _mm_cmpneq_pd(tail, _mm_setzero_pd()));
        _mm_storeu_pd(&work[k].x, d);
    }
    const int lanes = _mm_movemask_pd(inexact);
    x_exact = (lanes & 1) == 0;
    y_exact = (lanes & 2) == 0;
#else
    for (std::size_t k = 0; k < ring.size(); ++k) {
        const Coordinate& c = ring[k];
        const double x = c.x - ox;
        const double y = c.y - oy;
        x_exact &= exact::two_diff_tail(c.x, ox, x) == 0.0;
        y_exact &= exact::two_diff_tail(c.y, oy, y) == 0.0;
        work[k] = {x, y};
    }
#endif
    if (!x_exact && ox != 0.0) {
        ox = 0.0;
        for (std::size_t k = 0; k < ring.size(); ++k) work[k].x = ring[k].x;
    }
    if (!y_exact && oy != 0.0) {
        oy = 0.0;
        for (std::size_t k = 0; k < ring.size(); ++k) work[k].y = ring[k].y;
    }
    return {ox, oy};
}

// How a walked cell is decided: by its measured value, or by where a point of it lies in
// the ring (its center when the ring only touched it, like the cells not walked at all;
// its probe when the ring grazed it from both sides).
enum class Decide : std::uint8_t { Value, Center, Probe };

struct WalkedCell {
    std::uint64_t i;
    std::uint64_t j;
    float value;
    Decide by;
};

// The cells in row order, each row's in column order: counted into their rows, then each
// row's few cells sorted, rather than one comparison sort of them all.
std::vector<WalkedCell> by_row_then_column(std::vector<WalkedCell> cells, std::uint64_t rows) {
    std::vector<std::size_t> end(static_cast<std::size_t>(rows) + 1, 0);
    for (const WalkedCell& c : cells) ++end[static_cast<std::size_t>(c.i) + 1];
    for (std::size_t i = 1; i < end.size(); ++i) end[i] += end[i - 1];
    std::vector<WalkedCell> sorted(cells.size());
    for (const WalkedCell& c : cells) sorted[end[static_cast<std::size_t>(c.i)]++] = c;
    // Placing advanced each row's start to its end.
    std::size_t begin = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        std::sort(sorted.begin() + static_cast<std::ptrdiff_t>(begin),
                  sorted.begin() + static_cast<std::ptrdiff_t>(end[i]),
                  [](const WalkedCell& a, const WalkedCell& b) { return a.j < b.j; });
        begin = end[i];
    }
    return sorted;
}

}  // namespace

void ring_walk(const GridLines& lines, std::span<const Coordinate> ring, RingRole role, DenseFractions& polygon) {
    if (ring.size() < 4) return;
    ring_walk(lines, ring, ring_bbox(ring), role, polygon);
}

void ring_walk(const GridLines& lines, std::span<const Coordinate> ring, const BBox& rbox, RingRole role,
               DenseFractions& polygon) {
    if (ring.size() < 4) return;
    CellRect w = crop_rect(polygon.rect(lines), rbox);
    if (w.empty()) return;
    // Offsets of the ring's window in the polygon's matrix.
    const std::uint64_t row0 = w.row_offset - polygon.row_offset;
    const std::uint64_t col0 = w.col_offset - polygon.col_offset;
    Matrix<float>& fractions = polygon.fractions;
    const float sign = role == RingRole::Exterior ? 1.0f : -1.0f;
    const auto add = [&](std::uint64_t i, std::uint64_t j, float v) {
        if (row0 + i < fractions.rows() && col0 + j < fractions.cols()) fractions(row0 + i, col0 + j) += sign * v;
    };

    // A ring inside one cell: its area is all there is to know.
    if (w.rows == 1 && w.cols == 1) {
        const BBox cb = w.box(0, 0);
        if (cb.xmin <= rbox.xmin && rbox.xmax <= cb.xmax && cb.ymin <= rbox.ymin && rbox.ymax <= cb.ymax) {
            const double cell_area = area(cb);
            if (cell_area <= 0) return;
            add(0, 0, static_cast<float>(std::fabs(signed_area(ring)) / cell_area));
            return;
        }
    }

    // Far from the grid origin the cell lines and the ring are large numbers a small
    // distance apart, and exit points rounded at their magnitude would lose the shape of a
    // small ring. Measured from the window's corner instead, wherever that is exact, the
    // walk sees the same numbers wherever the grid and the ring are placed together.
    std::vector<Coordinate> work;
    const Coordinate origin = measure_from_corner(w, ring, work);
    w.lines.x_shift = origin.x;
    w.lines.y_shift = origin.y;
    const std::size_t ring_size = work.size();
    // Counter-clockwise, so the area left of every traversal is inside the ring.
    if (signed_area(work) < 0) std::reverse(work.begin(), work.end());

    const PaddedGrid grid{w, w.rows + 2, w.cols + 2};
    std::vector<WalkedCell> walked;
    bool any_probe = false;
    {
        CellTable table(grid);
        walk(work, grid, table);
        walked.reserve(table.cells.size());
        CellAreaScratch scratch;
        std::vector<std::span<const Coordinate>> lists;
        for (std::size_t k = 0; k < table.cells.size(); ++k) {
            const std::uint64_t pr = table.cells[k].slot / grid.cols;
            const std::uint64_t pc = table.cells[k].slot % grid.cols;
            if (pr == 0 || pc == 0 || pr == grid.rows - 1 || pc == grid.cols - 1) continue;
            WalkedCell cell{pr - 1, pc - 1, 0.0f, Decide::Value};
            const Cell walked_cell(grid.box(pr, pc), table.log, table.cells[k].last);
            qualifying_traversals(walked_cell, lists);
            if (lists.empty()) {
                cell.by = Decide::Center;
                walked.push_back(cell);
                continue;
            }
            // The same box the walk used, so every traversal end lies on its outline.
            const BBox& box = walked_cell.box;
            const CellAreas areas = cell_areas(box, lists, scratch);
            const double cell_area = area(box);
            if (areas.ccw == 0.0 && areas.cw == 0.0) {
                const int side = grazed_side({probe_x(w, cell.j), probe_y(w, cell.i)}, lists);
                if (side < 0) {
                    cell.by = Decide::Probe;
                    any_probe = true;
                } else {
                    cell.value = static_cast<float>(side);
                }
            } else if (cell_area > 0) {
                const auto v = static_cast<float>(covered_area(box, areas) / cell_area);
                cell.value = std::fmin(std::fmax(v, 0.0f), 1.0f);
            }
            walked.push_back(cell);
        }
    }  // the cells go before the scan allocates its rows
    work.resize(ring_size);

    // The cells the ring never entered lie wholly inside or wholly outside it, and along a
    // row they form runs between walked cells that no edge crosses: the center of a run's
    // first cell decides the run, from the row's own edge crossings.
    walked = by_row_then_column(std::move(walked), w.rows);
    const std::span<const Coordinate> closed(work);
    const std::span<const std::span<const Coordinate>> rings(&closed, 1);
    const LatticeScan centers(center_lattice(w), w.lines.dx, w.lines.dy, rings);
    Lattice probe_points;
    if (any_probe) {
        for (std::uint64_t j = 0; j < w.cols; ++j) probe_points.xs.push_back(probe_x(w, j));
        for (std::uint64_t i = 0; i < w.rows; ++i) probe_points.ys.push_back(probe_y(w, i));
    }
    const LatticeScan probes(std::move(probe_points), w.lines.dx, w.lines.dy, rings);
    RowLocation center_row;
    RowLocation probe_row;
    std::size_t next = 0;
    for (std::uint64_t i = 0; i < w.rows; ++i) {
        centers.locate(i, 0, center_row);
        if (any_probe) probes.locate(i, 0, probe_row);
        LatticeScan::Cursor at_center;
        LatticeScan::Cursor at_probe;
        std::uint64_t j = 0;
        for (; next < walked.size() && walked[next].i == i; ++next) {
            const WalkedCell& cell = walked[next];
            if (j < cell.j && LatticeScan::strictly_inside(center_row, j, at_center)) {
                for (std::uint64_t k = j; k < cell.j; ++k) add(i, k, 1.0f);
            }
            float v = cell.value;
            if (cell.by == Decide::Center)
                v = LatticeScan::strictly_inside(center_row, cell.j, at_center) ? 1.0f : 0.0f;
            if (cell.by == Decide::Probe) v = LatticeScan::strictly_inside(probe_row, cell.j, at_probe) ? 1.0f : 0.0f;
            add(i, cell.j, v);
            j = cell.j + 1;
        }
        if (j < w.cols && LatticeScan::strictly_inside(center_row, j, at_center)) {
            for (std::uint64_t k = j; k < w.cols; ++k) add(i, k, 1.0f);
        }
    }
}

}  // namespace quorvalis
