#include "record/build.h"

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
#include "geometry/wkb.h"
#include "support/error.h"
#include "support/format.h"

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

CoverageMethod coverage_method(std::string_view name) { return find_method(name); }

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
