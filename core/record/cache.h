// The coverage cache record: one dense coverage window per basin, placed in the grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "coverage/coverage_method.h"
#include "coverage/grid.h"
#include "coverage/window.h"

namespace quorvalis {

// Window columns [first, end) of one row.
struct ColumnSpan {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

// One geometry's coverage, its parts' windows merged into one, with the columns of each
// window row outside of which every fraction is <= 0. Every statistic call reads the same
// windows again, and most of a window row is margin around the shape: finding the margins
// once here spares each call from scanning them. The fractions are not changed after
// construction, so the spans always describe them.
struct Basin : PlacedWindow {
    std::int64_t id = 0;

    Basin() = default;
    Basin(PlacedWindow window, std::int64_t basin_id);

    // The columns of window row i from its first to one past its last fraction that is not
    // <= 0 (a NaN fraction counts as one); first == end when there is none. Every cell
    // outside them holds a fraction <= 0; cells inside may too.
    ColumnSpan span(std::uint64_t i) const {
        if (!narrow_.empty()) return {narrow_[2 * i], narrow_[2 * i + 1]};
        if (!wide_.empty()) return {wide_[2 * i], wide_[2 * i + 1]};
        return {0, coverage.cols()};
    }

    // Bytes the basin holds besides itself: its fractions and its spans.
    std::size_t heap_bytes() const {
        return coverage.values().capacity() * sizeof(float) + narrow_.capacity() * sizeof(std::uint16_t) +
               wide_.capacity() * sizeof(std::uint64_t);
    }

private:
    // Two bounds per row take 4 bytes, at most 0.2 bytes per cell in windows of 20 columns
    // or more; narrower windows store none and are read row by row whole, where the margins
    // are at most a few cells anyway. Windows too wide for 16-bit bounds take 64-bit ones,
    // a negligible cost per cell at that width.
    std::vector<std::uint16_t> narrow_;
    std::vector<std::uint64_t> wide_;
};

// Narrowest window whose spans are stored.
inline constexpr std::uint64_t kMinSpanCols = 20;

// Immutable once built.
struct CacheRecord {
    std::vector<Basin> basins;
    Grid grid;
};

// Builds the record for all geometries in input order, dropping those that cover no cell.
// Throws InputError with the user-facing message for mismatched lists, an unknown method,
// grid parameters whose cells the coordinates cannot resolve, a bad or truncated WKB value
// or a non-finite coordinate; InternalError only for broken invariants. (Defined with the
// build loop it runs, in zonal.cpp.)
CacheRecord build_cache(std::span<const std::vector<std::uint8_t>> wkb_list, std::span<const std::int64_t> id_list,
                        double xmin, double ymin, double xmax, double ymax, double dx, double dy,
                        std::string_view method);

// The pieces of a build (zonal.h runs them over many geometries).

// "exact" or "center"; anything else throws the unknown-method InputError.
CoverageMethod coverage_method(std::string_view name);

// The grid of the whole raster; a zero or non-finite cell size throws InputError.
Grid checked_grid(double xmin, double ymin, double xmax, double ymax, double dx, double dy);

// One geometry's coverage placed in `grid`, its polygons' windows added into one (not
// clipped: overlapping parts give values above 1); no value when no polygon produced a
// window. Depends on nothing but its arguments, so any number of geometries may be built at
// once. Throws as build_cache does for one geometry.
std::optional<PlacedWindow> build_window(const Grid& grid, std::span<const std::uint8_t> wkb, CoverageMethod method);

}  // namespace quorvalis
