// The coverage cache record: one dense coverage window per basin, placed in the grid.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "coverage_method.h"
#include "grid.h"
#include "window.h"

namespace quorvalis {

// One geometry's coverage, its parts' windows merged into one.
struct Basin : PlacedWindow {
    std::int64_t id = 0;
};

// Immutable once built.
struct CacheRecord {
    std::vector<Basin> basins;
    Grid grid;
};

// Builds the record for all geometries in input order. Throws InputError with the
// user-facing message for mismatched lists, an unknown method, grid parameters whose cells
// the coordinates cannot resolve, a bad or truncated WKB value or a non-finite coordinate;
// InternalError only for broken invariants.
CacheRecord build_cache(std::span<const std::vector<std::uint8_t>> wkb_list, std::span<const std::int64_t> id_list,
                        double xmin, double ymin, double xmax, double ymax, double dx, double dy,
                        std::string_view method);

// The pieces of a build, for callers that build geometries independently (on several
// threads, say) and assemble the record themselves.

// "exact" or "center"; anything else throws the unknown-method InputError.
CoverageMethod coverage_method(std::string_view name);

// The grid of the whole raster; a zero or non-finite cell size throws InputError.
Grid checked_grid(double xmin, double ymin, double xmax, double ymax, double dx, double dy);

// One geometry's coverage placed in `grid`, its polygons' windows merged into one; no value
// when no polygon produced a window. Depends on nothing but its arguments, so any number
// of geometries may be built at once. Throws as build_cache does for one geometry.
std::optional<Basin> build_basin(const Grid& grid, std::span<const std::uint8_t> wkb, CoverageMethod method,
                                 std::int64_t id);

}  // namespace quorvalis
