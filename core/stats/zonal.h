// A record's zones built and reduced as a whole, with the work spread over threads: the
// one build loop behind both Python modules, the coordination of a zonal reduction (which
// kernels run, how the threads split them, the results they fill) and the record's
// sparse-matrix export. Pure C++: rasters come in as views, results go out as plain buffers
// the caller takes over. Every result is bit for bit the same for any thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "record/zone.h"
#include "stats/stats.h"
#include "stats/zone_stats.h"
#include "support/error.h"

namespace quorvalis {

// A build error of one geometry: its position in the input and the reason, message()
// being the reason alone (what the geometry's own error said).
struct ZoneInputError : InputError {
    ZoneInputError(std::size_t at, std::string reason) : InputError(std::move(reason)), zone(at) {}
    std::size_t zone;
};

struct ZoneInternalError : InternalError {
    ZoneInternalError(std::size_t at, std::string reason) : InternalError(std::move(reason)), zone(at) {}
    std::size_t zone;
};

// How a zone's cells are weighted. AllTouched gives 1 to exactly the cells whose exact
// fraction is > 0 (a MultiPolygon's parts added first) and 0 to the others.
enum class ZoneMethod : std::uint8_t { Exact, Center, AllTouched };

// "exact", "center" or "all_touched"; anything else throws InputError naming the three.
ZoneMethod zone_method(std::string_view name);
std::string_view method_name(ZoneMethod method);

struct BuildOptions {
    ZoneMethod method = ZoneMethod::Exact;
    unsigned threads = 1;
    // Cells whose fraction (for AllTouched: exact fraction) is below it get 0; in [0, 1].
    double min_coverage = 0.0;
    // An empty zone keeps its place with a 0 x 0 window (id = its position), or is dropped.
    bool keep_empty = true;
};

// Throws InputError unless 0 <= t <= 1.
void check_min_coverage(double t);

// One zone per geometry, in input order; ids[k] is zone k's id (its position when ids is
// empty). The first bad geometry in input order throws ZoneInputError (ZoneInternalError
// for a broken invariant) carrying its position.
CacheRecord build_zones(const Grid& grid, std::span<const std::span<const std::uint8_t>> wkb,
                        std::span<const std::int64_t> ids, const BuildOptions& options);

// A record from the windows exported from one: zone k's window has shapes[2k] x shapes[2k+1]
// fractions (0 x 0 for an empty zone) at (row_offsets[k], col_offsets[k]), its fractions the
// next h * w values of `fractions`, row-major. Throws InputError for lengths or sizes that do
// not agree, a window no build could place, or a fraction not finite and >= 0.
CacheRecord record_from_windows(const Grid& grid, std::span<const std::int64_t> row_offsets,
                                std::span<const std::int64_t> col_offsets, std::span<const std::int64_t> shapes,
                                std::span<const float> fractions);

// A buffer the caller takes over, with its row-major shape.
struct ResultArray {
    std::unique_ptr<double[]> data;
    std::vector<std::size_t> shape;
};

// The statistics asked for, parsed and checked (quantiles each in [0, 1], at least one
// when "quantile" is asked for); throws InputError otherwise.
struct ZonalRequest {
    bool wanted[std::size(kZoneStatNames)] = {};
    std::vector<double> quantiles;
    bool want(ZoneStat s) const { return wanted[static_cast<std::size_t>(s)]; }
};
ZonalRequest zonal_request(std::span<const std::string> stat_names, std::span<const double> quantiles);

// A raster (2-D: steps = 1 and `stack` false) or stack, its weights and where it lies.
struct ZonalInputs {
    ArrayView raster;
    bool stack = false;
    std::optional<ArrayView> weights;  // 2-D, the raster's rows and cols
    Nodata nodata = Nodata::none();
    Nodata weight_nodata = Nodata::none();
    std::int64_t origin_row = 0;
    std::int64_t origin_col = 0;
    // Empty, or one carried state per statistic of carried_stats() (see StatInputs::carry),
    // (steps, zones, carry_width) row-major.
    std::vector<std::pair<Stat, double*>> carry;
};

// The streaming statistics a request computes ("range" is "min" and "max"), in order:
// the states a carry holds.
std::vector<ZoneStat> carried_stats(const ZonalRequest& request);

// Per statistic asked for, in ZoneStat order: (steps, zones) for a stack, (zones) for a
// raster, "quantile" with a trailing axis of quantiles, "frac" one of classes; frac_classes
// holds the classes (ascending) when "frac" was asked for.
struct ZonalResult {
    std::vector<std::pair<ZoneStat, ResultArray>> arrays;
    ResultArray frac_classes;
};

// Throws InputError for weights of another shape, a block outside the grid, a result too
// large, or continuous data asked for "frac" (more than 65536 classes).
ZonalResult reduce_zones(const CacheRecord& record, const ZonalRequest& request, const ZonalInputs& inputs,
                         unsigned threads);

// The zones x (rows * cols) fraction matrix in compressed sparse rows. Cells are listed
// exactly when the statistics would read them (inside the grid, fraction not <= 0), so the
// matrix times a raster is the zones' "sum". Throws InputError for a grid of more cells
// than an int64 column index reaches.
struct CsrMatrix {
    std::unique_ptr<float[]> data;
    std::unique_ptr<std::int64_t[]> indices;
    std::unique_ptr<std::int64_t[]> indptr;  // n_zones + 1
    std::size_t nnz = 0;
};
CsrMatrix fractions_csr(const CacheRecord& record, unsigned threads);

// An array of n elements (at least one allocated), refusing absurd sizes with bad_alloc.
template <class T>
std::unique_ptr<T[]> allocate_buffer(std::uint64_t n) {
    if (n > std::uint64_t{1} << 40) throw std::bad_alloc();
    return std::unique_ptr<T[]>(new T[static_cast<std::size_t>(n == 0 ? 1 : n)]);
}

}  // namespace quorvalis
