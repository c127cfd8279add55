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

// One matrix spanning the windows of all parts of a MultiPolygon, the parts' values added
// cell by cell (not clipped: overlapping parts give values above 1).
DenseFractions merge(const std::vector<DenseFractions>& parts) {
    std::uint64_t row_start = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t col_start = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t row_end = 0;
    std::uint64_t col_end = 0;
    for (const DenseFractions& w : parts) {
        row_start = std::min(row_start, w.row_offset);
        col_start = std::min(col_start, w.col_offset);
        row_end = std::max(row_end, checked_end(w.row_offset, w.fractions.rows()));
        col_end = std::max(col_end, checked_end(w.col_offset, w.fractions.cols()));
    }
    DenseFractions merged{Matrix<float>(row_end - row_start, col_end - col_start, 0.0f), row_start, col_start};
    for (const DenseFractions& w : parts) {
        if (w.fractions.empty()) continue;
        const std::uint64_t dr = w.row_offset - row_start;
        const std::uint64_t dc = w.col_offset - col_start;
        for (std::uint64_t i = 0; i < w.fractions.rows(); ++i) {
            float* dst = &merged.fractions(dr + i, dc);
            const float* src = &w.fractions(i, 0);
            for (std::uint64_t j = 0; j < w.fractions.cols(); ++j) dst[j] += src[j];
        }
    }
    return merged;
}

}  // namespace

CoverageMethod coverage_method(std::string_view name) { return find_method(name); }

std::optional<DenseFractions> build_fractions(const Grid& grid, std::span<const std::uint8_t> wkb,
                                              CoverageMethod method) {
    const std::vector<Polygon> polygons = read_wkb(wkb);
    check_finite(polygons);
    std::vector<DenseFractions> parts;
    for (const Polygon& polygon : polygons) {
        if (polygon.exterior.empty()) continue;
        DenseFractions part = method(grid, polygon.exterior, polygon.interiors);
        if (part.fractions.rows() == 0 && part.fractions.cols() == 0) continue;
        parts.push_back(std::move(part));
    }
    if (parts.empty()) return std::nullopt;
    // A single part keeps the engine's matrix as it is.
    return parts.size() == 1 ? std::move(parts.front()) : merge(parts);
}

}  // namespace quorvalis
