#include "cache.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "coverage_method.h"
#include "error.h"
#include "format.h"
#include "wkb.h"

namespace quorvalis {

namespace {

struct NamedMethod {
    std::string_view name;
    CoverageMethod run;
};

constexpr NamedMethod kMethods[] = {{"exact", exact_method}, {"center", centre_method}};

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

struct PartWindow {
    Matrix<float> coverage;
    std::uint64_t row_offset;
    std::uint64_t col_offset;
};

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
PartWindow merge(const std::vector<PartWindow>& parts) {
    std::uint64_t row_start = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t col_start = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t row_end = 0;
    std::uint64_t col_end = 0;
    for (const PartWindow& w : parts) {
        row_start = std::min(row_start, w.row_offset);
        col_start = std::min(col_start, w.col_offset);
        row_end = std::max(row_end, checked_end(w.row_offset, w.coverage.rows));
        col_end = std::max(col_end, checked_end(w.col_offset, w.coverage.cols));
    }
    PartWindow merged{Matrix<float>(row_end - row_start, col_end - col_start, 0.0f), row_start, col_start};
    for (const PartWindow& w : parts) {
        if (w.coverage.empty()) continue;
        const std::uint64_t dr = w.row_offset - row_start;
        const std::uint64_t dc = w.col_offset - col_start;
        for (std::uint64_t i = 0; i < w.coverage.rows; ++i) {
            float* dst = &merged.coverage(dr + i, dc);
            const float* src = &w.coverage(i, 0);
            for (std::uint64_t j = 0; j < w.coverage.cols; ++j) dst[j] += src[j];
        }
    }
    return merged;
}

}  // namespace

CoverageMethod coverage_method(std::string_view name) { return find_method(name); }

Grid checked_grid(double xmin, double ymin, double xmax, double ymax, double dx, double dy) {
    check_cell_size("dx", dx);
    check_cell_size("dy", dy);
    return grid_from_params(xmin, ymin, xmax, ymax, dx, dy);
}

std::optional<Basin> build_basin(const Grid& grid, std::span<const std::uint8_t> wkb, CoverageMethod coverage_of,
                                 std::int64_t id) {
    std::vector<PartWindow> windows;
    for (const Polygon& polygon : read_wkb(wkb)) {
        if (polygon.exterior.empty()) continue;
        PolygonRaster raster = coverage_of(grid, polygon.exterior, polygon.interiors);
        Matrix<float>& m = raster.coverage;
        if (m.rows == 0 && m.cols == 0) continue;
        if (m.data.size() != checked_cell_count(m.rows, m.cols)) {
            throw InternalError("coverage matrix of " + std::to_string(m.rows) + " x " + std::to_string(m.cols) +
                                " cells holds " + std::to_string(m.data.size()) + " values");
        }
        // Placed by the centre of the window's first cell, which lies well inside a
        // full-grid cell, so rounding in the window's extent cannot shift the offset.
        const double y = raster.grid.ymax + raster.grid.dy * -0.5;
        const double x = raster.grid.xmin + raster.grid.dx * 0.5;
        windows.push_back({std::move(m), row_of(grid, y), col_of(grid, x)});
    }
    if (windows.empty()) return std::nullopt;
    // A single part keeps the engine's matrix as it is.
    PartWindow w = windows.size() == 1 ? std::move(windows.front()) : merge(windows);
    return Basin{std::move(w.coverage), id, w.row_offset, w.col_offset};
}

CacheRecord build_cache(std::span<const std::vector<std::uint8_t>> wkb_list, std::span<const std::int64_t> id_list,
                        double xmin, double ymin, double xmax, double ymax, double dx, double dy,
                        std::string_view method) {
    if (wkb_list.size() != id_list.size()) throw InputError("wkb_list and id_list must have the same length");
    const CoverageMethod coverage_of = find_method(method);
    CacheRecord record{{}, checked_grid(xmin, ymin, xmax, ymax, dx, dy)};
    record.basins.reserve(wkb_list.size());
    for (std::size_t k = 0; k < wkb_list.size(); ++k) {
        std::optional<Basin> basin = build_basin(record.grid, wkb_list[k], coverage_of, id_list[k]);
        if (basin) record.basins.push_back(std::move(*basin));
    }
    return record;
}

}  // namespace quorvalis
