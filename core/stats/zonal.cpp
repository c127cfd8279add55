#include "stats/zonal.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "record/build.h"
#include "support/parallel.h"

namespace quorvalis {

namespace {

struct NamedZoneMethod {
    std::string_view name;
    ZoneMethod method;
};

constexpr NamedZoneMethod kZoneMethods[] = {
    {"exact", ZoneMethod::Exact}, {"center", ZoneMethod::Center}, {"all_touched", ZoneMethod::AllTouched}};

// All touched and a coverage floor rewrite the built fractions before the zone stores its
// rows' runs, so the runs hold what the statistics read.
void apply_options(Matrix<float>& fractions, const BuildOptions& options) {
    const bool touched = options.method == ZoneMethod::AllTouched;
    if (!touched && options.min_coverage == 0.0) return;
    const double floor = options.min_coverage;
    if (fractions.empty()) return;
    float* values = &fractions(0, 0);
    for (std::uint64_t k = 0; k < fractions.rows() * fractions.cols(); ++k) {
        float& v = values[k];
        if (static_cast<double>(v) < floor) {
            v = 0.0f;
        } else if (touched) {
            v = v > 0.0f ? 1.0f : 0.0f;
        }
    }
}

constexpr std::uint64_t kMaxResultValues = std::uint64_t{1} << 31;  // 16 GiB of float64
constexpr std::uint64_t kMaxClasses = 65536;                        // every value of a 16-bit class raster

std::uint64_t result_size(std::initializer_list<std::uint64_t> dims) {
    std::uint64_t total = 1;
    for (std::uint64_t d : dims) {
        if (__builtin_mul_overflow(total, d, &total) || total > kMaxResultValues) {
            throw InputError("a result of more than " + std::to_string(kMaxResultValues) + " values is too large");
        }
    }
    return total;
}

// Window columns of zone b inside the grid: windows may reach past its last row or column.
std::pair<std::uint64_t, std::uint64_t> inside(const Grid& grid, const Zone& b) {
    const std::uint64_t h = b.row_offset >= grid.rows ? 0 : std::min(b.rows(), grid.rows - b.row_offset);
    const std::uint64_t w = b.col_offset >= grid.cols ? 0 : std::min(b.cols(), grid.cols - b.col_offset);
    return {h, w};
}

}  // namespace

ZoneMethod zone_method(std::string_view name) {
    for (const NamedZoneMethod& m : kZoneMethods) {
        if (m.name == name) return m.method;
    }
    throw InputError("Unknown method '" + std::string(name) + "'. Supported: 'exact', 'center', 'all_touched'");
}

std::string_view method_name(ZoneMethod method) { return kZoneMethods[static_cast<std::size_t>(method)].name; }

void check_min_coverage(double t) {
    if (!(t >= 0.0 && t <= 1.0)) throw InputError("min_coverage must lie in [0, 1], got " + std::to_string(t));
}

// ---------------------------------------------------------------------------------------
// build

CacheRecord build_zones(const Grid& grid, std::span<const std::span<const std::uint8_t>> wkb,
                        std::span<const std::int64_t> ids, const BuildOptions& options) {
    if (!ids.empty() && ids.size() != wkb.size()) throw InputError("wkb_list and id_list must have the same length");
    check_min_coverage(options.min_coverage);
    const CoverageMethod method = options.method == ZoneMethod::Center ? center_method : exact_method;
    const std::size_t n = wkb.size();
    std::vector<std::optional<Zone>> built(n);
    // Geometries are independent; each writes only its own slot, so the record is the same
    // for any thread count, and the first bad geometry in input order is the one reported.
    parallel_for(n, options.threads, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t k = begin; k < end; ++k) {
            const std::int64_t id = ids.empty() ? static_cast<std::int64_t>(k) : ids[k];
            try {
                std::optional<DenseFractions> dense = build_fractions(grid, wkb[k], method);
                // The dense fractions live only until their runs are stored.
                if (dense) {
                    apply_options(dense->fractions, options);
                    built[k].emplace(*dense, id);
                } else if (options.keep_empty) {
                    built[k].emplace(DenseFractions{}, id);
                }
            } catch (const InputError& e) {
                throw ZoneInputError(k, e.message());
            } catch (const InternalError& e) {
                throw ZoneInternalError(k, e.message());
            }
        }
    });
    CacheRecord record{{}, grid};
    record.zones.reserve(n);
    for (std::optional<Zone>& b : built) {
        if (b) record.zones.push_back(std::move(*b));
    }
    return record;
}

CacheRecord build_cache(std::span<const std::vector<std::uint8_t>> wkb_list, std::span<const std::int64_t> id_list,
                        double xmin, double ymin, double xmax, double ymax, double dx, double dy,
                        std::string_view method) {
    if (wkb_list.size() != id_list.size()) throw InputError("wkb_list and id_list must have the same length");
    const CoverageMethod named = coverage_method(method);
    const Grid grid = checked_grid(xmin, ymin, xmax, ymax, dx, dy);
    std::vector<std::span<const std::uint8_t>> views(wkb_list.begin(), wkb_list.end());
    BuildOptions options;
    options.method = named == center_method ? ZoneMethod::Center : ZoneMethod::Exact;
    options.keep_empty = false;
    return build_zones(grid, views, id_list, options);
}

CacheRecord record_from_windows(const Grid& grid, std::span<const std::int64_t> row_offsets,
                                std::span<const std::int64_t> col_offsets, std::span<const std::int64_t> shapes,
                                std::span<const float> fractions) {
    const std::size_t n = row_offsets.size();
    if (col_offsets.size() != n || shapes.size() != 2 * n) {
        throw InputError("row_offsets, col_offsets and shapes must give one window per zone, got " + std::to_string(n) +
                         ", " + std::to_string(col_offsets.size()) + " and " + std::to_string(shapes.size() / 2));
    }
    CacheRecord record{{}, grid};
    record.zones.reserve(n);
    std::uint64_t at = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t r = row_offsets[k], c = col_offsets[k], h = shapes[2 * k], w = shapes[2 * k + 1];
        const std::string zone = "window of zone " + std::to_string(k);
        if (h < 0 || w < 0) throw InputError(zone + " has a negative shape");
        // A built window starts inside the grid (or, covering nothing, at its edge) and may
        // reach past the last row or column, never by more than the grid itself.
        const auto uh = static_cast<std::uint64_t>(h), uw = static_cast<std::uint64_t>(w);
        const bool empty = uh == 0 || uw == 0;
        if (r < 0 || c < 0 || static_cast<std::uint64_t>(r) + !empty > grid.rows ||
            static_cast<std::uint64_t>(c) + !empty > grid.cols || uh > grid.rows || uw > grid.cols) {
            throw InputError(zone + " of (" + std::to_string(h) + ", " + std::to_string(w) + ") cells at (" +
                             std::to_string(r) + ", " + std::to_string(c) + ") does not start inside the grid of (" +
                             std::to_string(grid.rows) + ", " + std::to_string(grid.cols) + ") cells");
        }
        const std::uint64_t cells = uh * uw;  // both at most the grid's axes, which fit memory
        if (cells > fractions.size() - at) {
            throw InputError("fractions hold " + std::to_string(fractions.size()) +
                             " values, fewer than the windows' cells");
        }
        const float* src = fractions.data() + at;
        for (std::uint64_t i = 0; i < cells; ++i) {
            if (!(std::isfinite(src[i]) && src[i] >= 0.0f)) {
                throw InputError(zone + " holds the fraction " + std::to_string(src[i]) +
                                 "; fractions must be finite and not negative");
            }
        }
        Matrix<float> m(uh, uw, std::vector<float>(src, src + cells));
        at += cells;
        record.zones.emplace_back(
            DenseFractions{std::move(m), static_cast<std::uint64_t>(r), static_cast<std::uint64_t>(c)},
            static_cast<std::int64_t>(k));
    }
    if (at != fractions.size()) {
        throw InputError("fractions hold " + std::to_string(fractions.size()) + " values, the windows " +
                         std::to_string(at) + " cells");
    }
    return record;
}

// ---------------------------------------------------------------------------------------
// reduce

ZonalRequest zonal_request(std::span<const std::string> stat_names, std::span<const double> quantiles) {
    ZonalRequest request;
    for (const std::string& name : stat_names) request.wanted[static_cast<std::size_t>(parse_zone_stat(name))] = true;
    if (request.want(ZoneStat::Quantile)) {
        if (quantiles.empty()) throw InputError("'quantile' needs at least one value in quantiles");
        for (double q : quantiles) {
            if (!(q >= 0.0 && q <= 1.0)) throw InputError("quantiles must lie in [0, 1], got " + std::to_string(q));
        }
    }
    request.quantiles.assign(quantiles.begin(), quantiles.end());
    return request;
}

std::vector<ZoneStat> carried_stats(const ZonalRequest& request) {
    std::vector<ZoneStat> stats;
    for (std::size_t s = 0; s < std::size(kZoneStatNames); ++s) {
        const auto kind = static_cast<ZoneStat>(s);
        const bool extra = request.want(ZoneStat::Range) && (kind == ZoneStat::Min || kind == ZoneStat::Max);
        if (!request.wanted[s] && !extra) continue;
        if (streaming_stat(kind)) stats.push_back(kind);
    }
    return stats;
}

ZonalResult reduce_zones(const CacheRecord& record, const ZonalRequest& request, const ZonalInputs& inputs,
                         unsigned workers) {
    const ArrayView& r = inputs.raster;
    if (inputs.weights && (inputs.weights->rows != r.rows || inputs.weights->cols != r.cols)) {
        throw InputError("weights of shape (" + std::to_string(inputs.weights->rows) + ", " +
                         std::to_string(inputs.weights->cols) + ") do not match the raster's (" +
                         std::to_string(r.rows) + ", " + std::to_string(r.cols) + ")");
    }
    const Grid& grid = record.grid;
    const std::int64_t o_row = inputs.origin_row, o_col = inputs.origin_col;
    if (o_row < 0 || o_col < 0 || static_cast<std::uint64_t>(o_row) > grid.rows ||
        r.rows > grid.rows - static_cast<std::uint64_t>(o_row) || static_cast<std::uint64_t>(o_col) > grid.cols ||
        r.cols > grid.cols - static_cast<std::uint64_t>(o_col)) {
        throw InputError("a raster block of (" + std::to_string(r.rows) + ", " + std::to_string(r.cols) +
                         ") cells at origin (" + std::to_string(o_row) + ", " + std::to_string(o_col) +
                         ") does not lie inside the grid of (" + std::to_string(grid.rows) + ", " +
                         std::to_string(grid.cols) + ") cells");
    }
    StatInputs in;
    in.raster = r;
    in.nodata = inputs.nodata;
    in.weights = inputs.weights;
    in.weight_nodata = inputs.weight_nodata;
    in.origin_row = static_cast<std::uint64_t>(o_row);
    in.origin_col = static_cast<std::uint64_t>(o_col);

    const std::vector<Zone>& zones = record.zones;
    const std::size_t n = zones.size();
    const std::uint64_t per_stat = result_size({r.steps, n});
    const std::size_t nq = request.quantiles.size();

    // Outputs, one per statistic computed (range needs min and max).
    std::unique_ptr<double[]> out[std::size(kZoneStatNames)];
    const bool need_extremes = request.want(ZoneStat::Range);
    std::vector<std::pair<Stat, double*>> streaming;
    for (std::size_t s = 0; s < std::size(kZoneStatNames); ++s) {
        const auto kind = static_cast<ZoneStat>(s);
        const bool extra = need_extremes && (kind == ZoneStat::Min || kind == ZoneStat::Max);
        if ((!request.wanted[s] && !extra) || kind == ZoneStat::Frac) continue;
        const std::uint64_t size = kind == ZoneStat::Quantile ? result_size({r.steps, n, nq}) : per_stat;
        out[s] = allocate_buffer<double>(size);
        if (const std::optional<Stat> stat = streaming_stat(kind)) streaming.emplace_back(*stat, out[s].get());
    }
    // Each statistic's carried states, or none.
    std::vector<double*> carry(streaming.size(), nullptr);
    if (!inputs.carry.empty()) {
        for (std::size_t i = 0; i < streaming.size(); ++i) {
            for (const auto& [stat, states] : inputs.carry) {
                if (stat == streaming[i].first) carry[i] = states;
            }
            if (!carry[i]) throw InternalError("a carry without the states of a statistic asked for");
        }
    }
    auto ptr = [&](ZoneStat s) { return out[static_cast<std::size_t>(s)].get(); };
    const OrderRequest order_request{request.quantiles,           ptr(ZoneStat::Median),   ptr(ZoneStat::Quantile),
                                     ptr(ZoneStat::Majority),     ptr(ZoneStat::Minority), ptr(ZoneStat::Variety),
                                     request.want(ZoneStat::Frac)};
    const bool frac = order_request.frac;
    const bool order = order_request.median || order_request.quantile || order_request.majority ||
                       order_request.minority || order_request.variety || frac;

    if (!streaming.empty()) {
        // The streaming kernels sweep the raster once per call for all the zones and steps
        // they are given, so each thread gets one part. A stack with enough steps is cut into
        // runs of whole blocks of kStepBlock steps: each thread then does what one thread
        // does on fewer steps and reads lines no other reads, where zone ranges whose windows
        // overlap or interleave fetch the same lines twice. Otherwise each thread gets a
        // contiguous range of zones of about equal area. Each zone and step keeps its own
        // accumulator and the order of its cells either way, so no result depends on the split.
        constexpr std::uint64_t kStepBlock = 8;
        const std::uint64_t blocks = (r.steps + kStepBlock - 1) / kStepBlock;
        if (blocks >= workers) {
            parallel_for(workers, workers, [&](std::size_t first, std::size_t last, unsigned) {
                for (std::size_t p = first; p < last; ++p) {
                    const std::uint64_t t0 = blocks * p / workers * kStepBlock;
                    const std::uint64_t t1 = std::min(r.steps, blocks * (p + 1) / workers * kStepBlock);
                    StatInputs part = in;
                    part.raster.data += static_cast<std::ptrdiff_t>(t0) * part.raster.step_stride;
                    part.raster.steps = t1 - t0;
                    for (std::size_t i = 0; i < streaming.size(); ++i) {
                        const auto& [stat, dst] = streaming[i];
                        part.carry = carry[i] ? carry[i] + t0 * n * carry_width(stat) : nullptr;
                        reduce(zones, part, stat, 0, n, dst + t0 * n);
                    }
                }
            });
        } else {
            std::vector<std::uint64_t> cells(n);
            for (std::size_t k = 0; k < n; ++k) {
                cells[k] = zones[k].run_cells() + zones[k].rows() + 1;
            }
            const std::vector<std::size_t> bounds = split_by_cost(cells, workers);
            parallel_for(bounds.size() - 1, workers, [&](std::size_t first, std::size_t last, unsigned) {
                for (std::size_t p = first; p < last; ++p) {
                    for (std::size_t i = 0; i < streaming.size(); ++i) {
                        StatInputs with = in;
                        with.carry = carry[i];
                        reduce(zones, with, streaming[i].first, bounds[p], bounds[p + 1], streaming[i].second);
                    }
                }
            });
        }
    }
    std::vector<std::vector<ClassShares>> shares(frac ? n : 0);
    if (order) {
        // Zone by zone with nothing shared, so small ranges handed out as threads come free
        // balance zones of any size.
        std::vector<OrderScratch> scratch(workers);
        parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned worker) {
            reduce_order_stats(zones, in, begin, end, order_request, scratch[worker],
                               std::span(shares).subspan(frac ? begin : 0, frac ? end - begin : 0));
        });
    }
    if (need_extremes) {
        double* range = ptr(ZoneStat::Range);
        const double* hi = ptr(ZoneStat::Max);
        const double* lo = ptr(ZoneStat::Min);
        for (std::uint64_t i = 0; i < per_stat; ++i) range[i] = hi[i] - lo[i];
    }

    ZonalResult result;
    auto shape = [&](std::size_t trailing) {
        std::vector<std::size_t> dims;
        if (inputs.stack) dims.push_back(static_cast<std::size_t>(r.steps));
        dims.push_back(n);
        if (trailing != SIZE_MAX) dims.push_back(trailing);
        return dims;
    };
    for (std::size_t s = 0; s < std::size(kZoneStatNames); ++s) {
        const auto kind = static_cast<ZoneStat>(s);
        if (!request.wanted[s] || kind == ZoneStat::Frac) continue;
        result.arrays.emplace_back(kind,
                                   ResultArray{std::move(out[s]), shape(kind == ZoneStat::Quantile ? nq : SIZE_MAX)});
    }
    if (frac) {
        // The classes of every zone, united and sorted; each zone's row lists its shares.
        std::vector<double> classes;
        for (const auto& zone : shares) {
            for (const ClassShares& s : zone) {
                for (const WeightedValue& v : s.shares) classes.push_back(v.value);
            }
        }
        std::sort(classes.begin(), classes.end());
        classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
        const std::size_t n_classes = classes.size();
        // Continuous data would give one class per cell: refuse that before the result
        // (steps x zones x classes) is allocated rather than fill memory with it.
        if (n_classes > kMaxClasses) {
            throw InputError("frac found " + std::to_string(n_classes) + " distinct values (at most " +
                             std::to_string(kMaxClasses) + "): it is meant for categorical rasters");
        }
        std::unique_ptr<double[]> table = allocate_buffer<double>(result_size({r.steps, n, n_classes}));
        parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                for (const ClassShares& s : shares[k]) {
                    double* row = table.get() + (s.step * n + k) * n_classes;
                    const double fill = s.shares.empty() ? std::numeric_limits<double>::quiet_NaN() : 0.0;
                    std::fill(row, row + n_classes, fill);
                    for (const WeightedValue& v : s.shares) {
                        row[std::lower_bound(classes.begin(), classes.end(), v.value) - classes.begin()] = v.weight;
                    }
                }
            }
        });
        // In ZoneStat order: frac sits after every statistic but nodata_count and coverage.
        auto after = std::find_if(result.arrays.begin(), result.arrays.end(),
                                  [](const auto& a) { return a.first > ZoneStat::Frac; });
        result.arrays.emplace(after, ZoneStat::Frac, ResultArray{std::move(table), shape(n_classes)});
        result.frac_classes.data = allocate_buffer<double>(n_classes);
        std::copy(classes.begin(), classes.end(), result.frac_classes.data.get());
        result.frac_classes.shape = {n_classes};
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// CSR export

CsrMatrix fractions_csr(const CacheRecord& record, unsigned workers) {
    const Grid& grid = record.grid;
    const std::vector<Zone>& zones = record.zones;
    std::uint64_t n_cells = 0;
    if (__builtin_mul_overflow(grid.rows, grid.cols, &n_cells) || n_cells > std::uint64_t{INT64_MAX}) {
        throw InputError("a grid of " + std::to_string(grid.rows) + " x " + std::to_string(grid.cols) +
                         " cells has more columns than a sparse matrix can index");
    }
    const std::size_t n = zones.size();
    CsrMatrix m;
    m.indptr = allocate_buffer<std::int64_t>(n + 1);
    std::int64_t* indptr = m.indptr.get();
    parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t k = begin; k < end; ++k) {
            const auto [h, w] = inside(grid, zones[k]);
            std::int64_t count = 0;
            for (std::uint64_t i = 0; i < h; ++i) {
                const RowRun row = zones[k].row(i);
                for (std::uint64_t j = row.first; j < std::min(row.end, w); ++j) count += !(*row.at(j) <= 0.0f);
            }
            indptr[k + 1] = count;
        }
    });
    indptr[0] = 0;
    for (std::size_t k = 0; k < n; ++k) indptr[k + 1] += indptr[k];
    m.nnz = static_cast<std::size_t>(indptr[n]);
    m.data = allocate_buffer<float>(m.nnz);
    m.indices = allocate_buffer<std::int64_t>(m.nnz);
    parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t k = begin; k < end; ++k) {
            const Zone& b = zones[k];
            const auto [h, w] = inside(grid, b);
            auto at = static_cast<std::size_t>(indptr[k]);
            for (std::uint64_t i = 0; i < h; ++i) {
                const RowRun row = b.row(i);
                const std::uint64_t base = (b.row_offset + i) * grid.cols + b.col_offset;
                for (std::uint64_t j = row.first; j < std::min(row.end, w); ++j) {
                    const float f = *row.at(j);
                    if (f <= 0.0f) continue;
                    m.data[at] = f;
                    m.indices[at] = static_cast<std::int64_t>(base + j);
                    ++at;
                }
            }
        }
    });
    return m;
}

}  // namespace quorvalis
