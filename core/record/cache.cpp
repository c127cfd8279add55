#include "record/cache.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "coverage/coverage_method.h"
#include "support/error.h"
#include "support/format.h"
#include "geometry/wkb.h"

namespace quorvalis {

namespace {

struct NamedMethod {
    std::string_view name;
    CoverageMethod run;
};

constexpr NamedMethod kMethods[] = {{"exact", exact_method}, {"center", center_method}};

CoverageMethod find_method(std::string_view name) {
    for (const NamedMethod& m : kMethods) {
        if (m.name == name) return m.run;
    }
    throw InputError("Unknown method '" + std::string(name) + "'. Supported: 'exact', 'center'");
}

// A zero or non-finite cell size turns every cell count into 2^64 - 1 or 0; refuse it up
// front. Negative sizes stay allowed: they give an empty axis.
void check_cell_size(const char* name, double size) {
    if (size == 0.0 || !std::isfinite(size)) {
        throw InputError(std::string(name) + " must be a finite, non-zero cell size, got " + format_plain(size));
    }
}

// Where coordinates are spaced one step (ulp) apart, a cell narrower than a few steps has
// edges that round onto each other: zero-width cells give NaN fractions, or the window
// misses the polygon altogether. A cell line origin + k * size is off by at most two steps
// (two roundings), so cells of eight steps keep every line strictly between its neighbours.
constexpr double kMinStepsPerCell = 8.0;

// Covered areas are fractions of dx * dy; keeping it far inside the double range leaves room
// for the products of coordinate differences (no overflow) and for fractions down to float
// precision of tiny cells (no underflow).
constexpr double kMinCellArea = 1e-250;
constexpr double kMaxCellArea = 1e250;

void check_axis(const char* size_name, const char* lo_name, const char* hi_name, double lo, double hi, double size) {
    const std::string where = std::string(size_name) + " = " + format_debug(size) + " on the extent " + lo_name +
                              " = " + format_debug(lo) + ", " + hi_name + " = " + format_debug(hi);
    const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
    if (!std::isfinite(magnitude)) {
        throw InputError("grid " + where + ": the extent must be finite");
    }
    const double step = std::nextafter(magnitude, std::numeric_limits<double>::infinity()) - magnitude;
    if (std::fabs(size) < kMinStepsPerCell * step) {
        throw InputError("grid " + where + ": coordinates of that size are only " + format_debug(step) +
                         " apart, too coarse to place the cell edges; cells there must be at least " +
                         format_debug(kMinStepsPerCell * step) + " wide");
    }
}

// Refuses a grid whose cells the coordinates cannot resolve, rather than storing NaN
// fractions or silently dropping a basin. A grid without cells holds nothing to get wrong.
void check_grid(const Grid& grid) {
    if (grid.rows == 0 || grid.cols == 0) return;
    check_axis("dx", "xmin", "xmax", grid.xmin, grid.xmax, grid.dx);
    check_axis("dy", "ymin", "ymax", grid.ymin, grid.ymax, grid.dy);
    const double area = std::fabs(grid.dx * grid.dy);
    if (!(area >= kMinCellArea && area <= kMaxCellArea)) {
        throw InputError("grid cell of dx = " + format_debug(grid.dx) + ", dy = " + format_debug(grid.dy) +
                         " has an area of " + format_debug(area) + ", outside the range " +
                         format_debug(kMinCellArea) + " to " + format_debug(kMaxCellArea) +
                         " in which covered fractions can be computed without overflow or underflow");
    }
}

// NaN compares false with everything and infinity has no position, so either would walk
// the ring to a wrong or NaN coverage; refused before any work on the geometry.
// x - x is +0 for a finite x and NaN otherwise, so OR-ing the bits of those differences
// finds a non-finite coordinate without a branch per point; only then is the ring searched
// for the first one, to name it.
bool all_finite(const Ring& ring) {
#if defined(__SSE2__)
    __m128d bits = _mm_setzero_pd();
    for (const Coordinate& p : ring) {
        const __m128d v = _mm_loadu_pd(&p.x);
        bits = _mm_or_pd(bits, _mm_sub_pd(v, v));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_castpd_si128(bits), _mm_setzero_si128())) == 0xffff;
#else
    std::uint64_t bits = 0;
    for (const Coordinate& p : ring) {
        bits |= std::bit_cast<std::uint64_t>(p.x - p.x) | std::bit_cast<std::uint64_t>(p.y - p.y);
    }
    return bits == 0;
#endif
}

void check_finite(const std::vector<Polygon>& polygons) {
    auto check = [](const Ring& ring) {
        if (all_finite(ring)) return;
        for (const Coordinate& p : ring) {
            if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
                throw InputError("WKB geometry has a non-finite coordinate (" + format_debug(p.x) + ", " +
                                 format_debug(p.y) + "); coordinates must be finite numbers");
            }
        }
    };
    for (const Polygon& polygon : polygons) {
        check(polygon.exterior);
        for (const Ring& hole : polygon.interiors) check(hole);
    }
}

std::uint64_t checked_end(std::uint64_t offset, std::uint64_t extent) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(offset, extent, &end)) {
        throw InputError("grid window at offset " + std::to_string(offset) + " with " + std::to_string(extent) +
                         " cells runs past 2^64 cells; check the grid extent and cell size");
    }
    return end;
}

// One window spanning all parts of a MultiPolygon, the parts' values added cell by cell
// (not clipped: overlapping parts give values above 1).
PlacedWindow merge(const std::vector<PlacedWindow>& parts) {
    std::uint64_t row_start = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t col_start = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t row_end = 0;
    std::uint64_t col_end = 0;
    for (const PlacedWindow& w : parts) {
        row_start = std::min(row_start, w.row_offset);
        col_start = std::min(col_start, w.col_offset);
        row_end = std::max(row_end, checked_end(w.row_offset, w.coverage.rows()));
        col_end = std::max(col_end, checked_end(w.col_offset, w.coverage.cols()));
    }
    PlacedWindow merged{Matrix<float>(row_end - row_start, col_end - col_start, 0.0f), row_start, col_start};
    for (const PlacedWindow& w : parts) {
        if (w.coverage.empty()) continue;
        const std::uint64_t dr = w.row_offset - row_start;
        const std::uint64_t dc = w.col_offset - col_start;
        for (std::uint64_t i = 0; i < w.coverage.rows(); ++i) {
            float* dst = &merged.coverage(dr + i, dc);
            const float* src = &w.coverage(i, 0);
            for (std::uint64_t j = 0; j < w.coverage.cols(); ++j) dst[j] += src[j];
        }
    }
    return merged;
}

}  // namespace

Basin::Basin(const PlacedWindow& window, std::int64_t basin_id)
    : id(basin_id), row_offset(window.row_offset), col_offset(window.col_offset) {
    const Matrix<float>& m = window.coverage;
    if (m.cols() > std::numeric_limits<std::uint32_t>::max()) {
        throw InputError("a zone's window of " + std::to_string(m.cols()) + " columns is wider than 2^32 - 1 columns");
    }
    rows_ = m.rows();
    cols_ = m.cols();
    start_.assign(static_cast<std::size_t>(rows_) + 1, 0);
    first_.assign(static_cast<std::size_t>(rows_), 0);
    if (m.empty()) return;
    // Two passes: the bounds first, so that the runs take one allocation of their exact size.
    std::uint64_t cells = 0;
    for (std::uint64_t i = 0; i < rows_; ++i) {
        const float* row = &m(i, 0);
        std::uint64_t first = 0, end = cols_;
        while (first < end && row[first] <= 0.0f) ++first;
        while (end > first && row[end - 1] <= 0.0f) --end;
        if (first == end) first = end = 0;
        first_[i] = static_cast<std::uint32_t>(first);
        start_[i] = cells;
        cells += end - first;
    }
    start_[rows_] = cells;
    values_.resize(static_cast<std::size_t>(cells));
    for (std::uint64_t i = 0; i < rows_; ++i) {
        const float* row = &m(i, 0) + first_[i];
        std::copy(row, row + (start_[i + 1] - start_[i]), values_.data() + start_[i]);
    }
}

Matrix<float> Basin::dense() const {
    Matrix<float> m(rows_, cols_, 0.0f);
    if (m.empty()) return m;
    for (std::uint64_t i = 0; i < rows_; ++i) {
        const RowRun r = row(i);
        if (!r.empty()) std::copy(r.values, r.values + (r.end - r.first), &m(i, r.first));
    }
    return m;
}

CoverageMethod coverage_method(std::string_view name) { return find_method(name); }

Grid checked_grid(double xmin, double ymin, double xmax, double ymax, double dx, double dy) {
    check_cell_size("dx", dx);
    check_cell_size("dy", dy);
    Grid grid = grid_from_params(xmin, ymin, xmax, ymax, dx, dy);
    check_grid(grid);
    return grid;
}

std::optional<PlacedWindow> build_window(const Grid& grid, std::span<const std::uint8_t> wkb,
                                         CoverageMethod coverage_of) {
    const std::vector<Polygon> polygons = read_wkb(wkb);
    check_finite(polygons);
    std::vector<PlacedWindow> windows;
    for (const Polygon& polygon : polygons) {
        if (polygon.exterior.empty()) continue;
        PlacedWindow part = coverage_of(grid, polygon.exterior, polygon.interiors);
        if (part.coverage.rows() == 0 && part.coverage.cols() == 0) continue;
        windows.push_back(std::move(part));
    }
    if (windows.empty()) return std::nullopt;
    // A single part keeps the engine's matrix as it is.
    return windows.size() == 1 ? std::move(windows.front()) : merge(windows);
}

}  // namespace quorvalis
