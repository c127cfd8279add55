// Building the coverage cache record from WKB geometries: a geometry's coverage by either
// method, its parts merged into one DenseFractions, which a Zone then compacts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "coverage/coverage_method.h"
#include "coverage/grid.h"
#include "coverage/window.h"
#include "record/zone.h"

namespace quorvalis {

// Builds the record for all geometries in input order, dropping those that cover no cell.
// Throws InputError with the user-facing message for mismatched lists, an unknown method,
// grid parameters whose cells the coordinates cannot resolve, a bad or truncated WKB value
// or a non-finite coordinate; InternalError only for broken invariants. (Defined with the
// build loop it runs, in stats/zonal.cpp.)
CacheRecord build_cache(std::span<const std::vector<std::uint8_t>> wkb_list, std::span<const std::int64_t> id_list,
                        double xmin, double ymin, double xmax, double ymax, double dx, double dy,
                        std::string_view method);

// The pieces of a build (stats/zonal.cpp runs them over many geometries).

// "exact" or "center"; anything else throws the unknown-method InputError.
CoverageMethod coverage_method(std::string_view name);

// One geometry's coverage placed in `grid`, its polygons' fractions added into one window
// (not clipped: overlapping parts give values above 1); no value when every polygon's
// window is empty. Depends on nothing but its arguments, so any number of geometries may be
// built at once. Throws as build_cache does for one geometry.
std::optional<DenseFractions> build_fractions(const Grid& grid, std::span<const std::uint8_t> wkb,
                                              CoverageMethod method);

}  // namespace quorvalis
