// The coverage cache record: one dense coverage window per basin, placed in the grid.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

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

}  // namespace quorvalis
