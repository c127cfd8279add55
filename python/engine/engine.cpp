// quorvalis._engine: the package's own native face of the core. Unlike _quorvalis it keeps
// every zone (empty ones included), releases the interpreter lock, spreads zones over
// threads, reads rasters of any numeric dtype in place, hands out the coverage itself and
// computes the order and class statistics as well. The Python surface is in _engine.pyi.
//
// Every entry point converts and checks its arguments with the lock held, does the work with
// the lock released (borrowing only memory that the held Python objects keep alive), and
// builds its Python results after taking the lock back, so errors are raised with it held.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cache.h"
#include "error.h"
#include "parallel.h"
#include "stats.h"
#include "zone_stats.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvalis {
namespace {

// Coverage windows are read as the statistic kernels read them.
using detail::Window;
using detail::window_of;

// The coverage of every input geometry, one basin per zone in input order (a zone that
// covers no cell holds a 0 x 0 window), and the method it was built with. Never changed
// after build(), so any number of threads may read it at once.
struct EngineCoverage {
    CacheRecord record;
    std::string method;
};

EngineCoverage build(const std::vector<nb::bytes>& wkb, double xmin, double ymin, double xmax, double ymax, double dx,
                     double dy, const std::string& method, std::int64_t threads) {
    const CoverageMethod coverage_of = coverage_method(method);
    const unsigned workers = resolve_threads(threads);
    EngineCoverage cov{{{}, checked_grid(xmin, ymin, xmax, ymax, dx, dy)}, method};
    // bytes objects are immutable and `wkb` holds a reference to each, so views of their
    // buffers stay valid with the lock released.
    std::vector<std::span<const std::uint8_t>> views;
    views.reserve(wkb.size());
    for (const nb::bytes& b : wkb) views.emplace_back(static_cast<const std::uint8_t*>(b.data()), b.size());
    cov.record.basins.resize(views.size());
    {
        nb::gil_scoped_release unlocked;
        const Grid& grid = cov.record.grid;
        parallel_for(views.size(), workers, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                const auto id = static_cast<std::int64_t>(k);
                try {
                    std::optional<Basin> basin = build_basin(grid, views[k], coverage_of, id);
                    cov.record.basins[k] = basin ? std::move(*basin) : Basin{{}, id};
                } catch (const InputError& e) {
                    throw InputError("zone " + std::to_string(k) + ": " + e.what());
                } catch (const InternalError& e) {
                    throw InternalError("zone " + std::to_string(k) + ": " + e.what());
                }
            }
        });
    }
    return cov;
}

const Basin& zone_at(const EngineCoverage& cov, std::int64_t zone) {
    const auto n = static_cast<std::int64_t>(cov.record.basins.size());
    if (zone < 0 || zone >= n) {
        throw nb::index_error(("zone " + std::to_string(zone) + " out of range for " + std::to_string(n) + " zones")
                                  .c_str());
    }
    return cov.record.basins[static_cast<std::size_t>(zone)];
}

// A read-only float32 view of the zone's fractions, kept alive by the Coverage object.
nb::tuple window(nb::handle self, std::int64_t zone) {
    const EngineCoverage& cov = nb::cast<const EngineCoverage&>(self);
    const Basin& b = zone_at(cov, zone);
    const Window win = window_of(b.coverage);
    const std::size_t shape[2] = {static_cast<std::size_t>(win.rows), static_cast<std::size_t>(win.cols)};
    nb::ndarray<nb::numpy, const float, nb::ndim<2>> fractions(win.values, 2, shape, self);
    return nb::make_tuple(b.row_offset, b.col_offset, fractions);
}

// A NumPy array that takes over `data`.
template <class T>
nb::ndarray<nb::numpy, T> owned_array(std::unique_ptr<T[]> data, std::span<const std::size_t> shape) {
    T* raw = data.get();
    nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    data.release();  // only once the capsule exists to free it
    return nb::ndarray<nb::numpy, T>(raw, shape.size(), shape.data(), owner);
}

template <class T>
nb::ndarray<nb::numpy, T> owned_array(std::unique_ptr<T[]> data, std::initializer_list<std::size_t> shape) {
    return owned_array(std::move(data), std::span<const std::size_t>(shape.begin(), shape.size()));
}

template <class T>
std::unique_ptr<T[]> allocate(std::uint64_t n) {
    if (n > std::uint64_t{1} << 40) throw std::bad_alloc();
    return std::unique_ptr<T[]>(new T[static_cast<std::size_t>(n == 0 ? 1 : n)]);
}

// The zones x (rows * cols) coverage matrix in compressed sparse rows. Cells are listed
// exactly when the statistics would read them (inside the grid, fraction not <= 0), so the
// matrix times a raster is the zones' "sum".
nb::tuple csr(const EngineCoverage& cov, std::int64_t threads) {
    const unsigned workers = resolve_threads(threads);
    const Grid& grid = cov.record.grid;
    const std::vector<Basin>& basins = cov.record.basins;
    std::uint64_t n_cells = 0;
    if (__builtin_mul_overflow(grid.rows, grid.cols, &n_cells) || n_cells > std::uint64_t{INT64_MAX}) {
        throw InputError("a grid of " + std::to_string(grid.rows) + " x " + std::to_string(grid.cols) +
                         " cells has more columns than a sparse matrix can index");
    }
    const std::size_t n = basins.size();
    auto indptr = allocate<std::int64_t>(n + 1);
    std::unique_ptr<float[]> data;
    std::unique_ptr<std::int64_t[]> indices;
    std::uint64_t nnz = 0;
    {
        nb::gil_scoped_release unlocked;
        auto inside = [&](const Basin& b) {
            const Window win = window_of(b.coverage);
            const std::uint64_t h = b.row_offset >= grid.rows ? 0 : std::min(win.rows, grid.rows - b.row_offset);
            const std::uint64_t w = b.col_offset >= grid.cols ? 0 : std::min(win.cols, grid.cols - b.col_offset);
            return std::pair{h, w};
        };
        parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                const auto [h, w] = inside(basins[k]);
                std::int64_t count = 0;
                for (std::uint64_t i = 0; i < h; ++i) {
                    const Window win = window_of(basins[k].coverage);
                    const float* row = win.values + i * win.cols;
                    for (std::uint64_t j = 0; j < w; ++j) count += !(row[j] <= 0.0f);
                }
                indptr[k + 1] = count;
            }
        });
        indptr[0] = 0;
        for (std::size_t k = 0; k < n; ++k) indptr[k + 1] += indptr[k];
        nnz = static_cast<std::uint64_t>(indptr[n]);
        data = allocate<float>(nnz);
        indices = allocate<std::int64_t>(nnz);
        parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                const Basin& b = basins[k];
                const auto [h, w] = inside(b);
                auto at = static_cast<std::size_t>(indptr[k]);
                for (std::uint64_t i = 0; i < h; ++i) {
                    const Window win = window_of(b.coverage);
                    const float* row = win.values + i * win.cols;
                    const std::uint64_t base = (b.row_offset + i) * grid.cols + b.col_offset;
                    for (std::uint64_t j = 0; j < w; ++j) {
                        if (row[j] <= 0.0f) continue;
                        data[at] = row[j];
                        indices[at] = static_cast<std::int64_t>(base + j);
                        ++at;
                    }
                }
            }
        });
    }
    return nb::make_tuple(owned_array(std::move(data), {static_cast<std::size_t>(nnz)}),
                          owned_array(std::move(indices), {static_cast<std::size_t>(nnz)}),
                          owned_array(std::move(indptr), {n + 1}));
}

// ---------------------------------------------------------------------------------------
// reduce

constexpr std::uint64_t kMaxResultValues = std::uint64_t{1} << 31;  // 16 GiB of float64
constexpr std::uint64_t kMaxClasses = 65536;  // every value of a 16-bit class raster

std::uint64_t result_size(std::initializer_list<std::uint64_t> dims) {
    std::uint64_t total = 1;
    for (std::uint64_t d : dims) {
        if (__builtin_mul_overflow(total, d, &total) || total > kMaxResultValues) {
            throw InputError("a result of more than " + std::to_string(kMaxResultValues) + " values is too large");
        }
    }
    return total;
}

using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

// Only arrays whose memory can be read as it lies: NumPy's buffer of a native byte order
// numeric dtype with whole-element strides. Anything else would need a converted copy.
AnyArray as_array(nb::handle h, const char* what) {
    AnyArray a;
    if (!nb::try_cast(h, a, false)) {
        throw nb::type_error((std::string(what) + " must be a NumPy array of float32, float64 or 8- to 64-bit integers "
                              "in native byte order with whole-element strides, got " + std::string(Py_TYPE(h.ptr())->tp_name) +
                              (nb::hasattr(h, "dtype") ? " of dtype " + std::string(nb::borrow<nb::str>(h.attr("dtype").attr("str")).c_str()) : ""))
                                 .c_str());
    }
    return a;
}

std::optional<DType> dtype_of(nb::dlpack::dtype dt) {
    using Code = nb::dlpack::dtype_code;
    if (dt.lanes != 1) return std::nullopt;
    const auto code = static_cast<Code>(dt.code);
    if (code == Code::Float && dt.bits == 32) return DType::Float32;
    if (code == Code::Float && dt.bits == 64) return DType::Float64;
    constexpr DType kSigned[] = {DType::Int8, DType::Int16, DType::Int32, DType::Int64};
    constexpr DType kUnsigned[] = {DType::UInt8, DType::UInt16, DType::UInt32, DType::UInt64};
    for (int k = 0; k < 4; ++k) {
        if (dt.bits != 8 << k) continue;
        if (code == Code::Int) return kSigned[k];
        if (code == Code::UInt) return kUnsigned[k];
    }
    return std::nullopt;
}

ArrayView view_of(const AnyArray& a, const char* what) {
    if (a.ndim() != 2 && a.ndim() != 3) {
        throw nb::value_error((std::string(what) + " must have 2 dimensions (rows, cols) or 3 (time, rows, cols), got " +
                               std::to_string(a.ndim()))
                                  .c_str());
    }
    const std::optional<DType> dtype = dtype_of(a.dtype());
    if (!dtype) {
        throw nb::type_error((std::string(what) + " must hold float32, float64 or (unsigned) 8- to 64-bit integers").c_str());
    }
    const auto item = static_cast<std::ptrdiff_t>(a.itemsize());
    const std::size_t d = a.ndim() - 2;
    ArrayView v;
    v.data = static_cast<const std::byte*>(a.data());
    v.dtype = *dtype;
    v.steps = d == 1 ? static_cast<std::uint64_t>(a.shape(0)) : 1;
    v.rows = static_cast<std::uint64_t>(a.shape(d));
    v.cols = static_cast<std::uint64_t>(a.shape(d + 1));
    v.step_stride = d == 1 ? static_cast<std::ptrdiff_t>(a.stride(0)) * item : 0;
    v.row_stride = static_cast<std::ptrdiff_t>(a.stride(d)) * item;
    v.col_stride = static_cast<std::ptrdiff_t>(a.stride(d + 1)) * item;
    return v;
}

// None, a Python or NumPy integer (kept exact, so it can be compared in an integer raster's
// own type), or anything float() accepts.
Nodata nodata_of(const nb::handle& value, const char* what) {
    if (value.is_none()) return Nodata::none();
    PyObject* p = value.ptr();
    if (PyBool_Check(p)) throw nb::type_error((std::string(what) + " must be a number or None, got bool").c_str());
    if (PyIndex_Check(p)) {
        nb::object index = nb::steal(PyNumber_Index(p));
        if (!index.is_valid()) throw nb::python_error();
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow == 0) return Nodata::of(static_cast<std::int64_t>(i));
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(index.ptr());
            if (!PyErr_Occurred()) return Nodata::of(static_cast<std::uint64_t>(u));
            PyErr_Clear();
        }
        // Beyond every integer type: no integer cell can hold it, a float cell may.
        const double d = PyLong_AsDouble(index.ptr());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return Nodata::of(PyObject_RichCompareBool(index.ptr(), nb::int_(0).ptr(), Py_LT) ? -HUGE_VAL : HUGE_VAL);
        }
        return Nodata::of(d);
    }
    const double f = PyFloat_AsDouble(p);
    if (f == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::type_error((std::string(what) + " must be a number or None, got " + Py_TYPE(p)->tp_name).c_str());
    }
    return Nodata::of(f);
}

nb::dict reduce_zones(const EngineCoverage& cov, nb::handle raster_arg, const std::vector<std::string>& stat_names,
                nb::handle weights_arg, const nb::object& nodata, const nb::object& weights_nodata,
                const std::vector<double>& quantiles, std::pair<std::int64_t, std::int64_t> origin, std::int64_t threads) {
    bool wanted[std::size(kZoneStatNames)] = {};
    for (const std::string& name : stat_names) wanted[static_cast<std::size_t>(parse_zone_stat(name))] = true;
    auto want = [&](ZoneStat s) { return wanted[static_cast<std::size_t>(s)]; };
    if (want(ZoneStat::Quantile)) {
        if (quantiles.empty()) throw nb::value_error("'quantile' needs at least one value in quantiles");
        for (double q : quantiles) {
            if (!(q >= 0.0 && q <= 1.0)) {
                throw nb::value_error(("quantiles must lie in [0, 1], got " + std::to_string(q)).c_str());
            }
        }
    }
    // Held until the call returns, so the memory read with the lock released stays alive.
    const AnyArray raster = as_array(raster_arg, "raster");
    const std::optional<AnyArray> weights =
        weights_arg.is_none() ? std::nullopt : std::optional<AnyArray>(as_array(weights_arg, "weights"));
    const ArrayView r = view_of(raster, "raster");
    const bool stack = raster.ndim() == 3;
    std::optional<ArrayView> w;
    if (weights) {
        if (weights->ndim() != 2) throw nb::value_error("weights must have 2 dimensions (rows, cols)");
        w = view_of(*weights, "weights");
        if (w->rows != r.rows || w->cols != r.cols) {
            throw nb::value_error(("weights of shape (" + std::to_string(w->rows) + ", " + std::to_string(w->cols) +
                                   ") do not match the raster's (" + std::to_string(r.rows) + ", " +
                                   std::to_string(r.cols) + ")")
                                      .c_str());
        }
    }
    const Grid& grid = cov.record.grid;
    if (origin.first < 0 || origin.second < 0 ||
        static_cast<std::uint64_t>(origin.first) > grid.rows || r.rows > grid.rows - static_cast<std::uint64_t>(origin.first) ||
        static_cast<std::uint64_t>(origin.second) > grid.cols || r.cols > grid.cols - static_cast<std::uint64_t>(origin.second)) {
        throw nb::value_error(("a raster block of (" + std::to_string(r.rows) + ", " + std::to_string(r.cols) +
                               ") cells at origin (" + std::to_string(origin.first) + ", " +
                               std::to_string(origin.second) + ") does not lie inside the grid of (" +
                               std::to_string(grid.rows) + ", " + std::to_string(grid.cols) + ") cells")
                                  .c_str());
    }
    StatInputs in;
    in.raster = r;
    in.nodata = nodata_of(nodata, "nodata");
    if (w) in.weights = *w;
    in.weight_nodata = nodata_of(weights_nodata, "weights_nodata");
    in.origin_row = static_cast<std::uint64_t>(origin.first);
    in.origin_col = static_cast<std::uint64_t>(origin.second);
    const unsigned workers = resolve_threads(threads);

    const std::vector<Basin>& basins = cov.record.basins;
    const std::size_t n = basins.size();
    const std::uint64_t per_stat = result_size({r.steps, n});
    const std::size_t nq = quantiles.size();

    // Outputs, one per statistic computed (range needs min and max).
    std::unique_ptr<double[]> out[std::size(kZoneStatNames)];
    const bool need_extremes = want(ZoneStat::Range);
    std::vector<std::pair<Stat, double*>> streaming;
    for (std::size_t s = 0; s < std::size(kZoneStatNames); ++s) {
        const auto kind = static_cast<ZoneStat>(s);
        const bool extra = need_extremes && (kind == ZoneStat::Min || kind == ZoneStat::Max);
        if ((!wanted[s] && !extra) || kind == ZoneStat::Frac) continue;
        const std::uint64_t size = kind == ZoneStat::Quantile ? result_size({r.steps, n, nq}) : per_stat;
        out[s] = allocate<double>(size);
        if (const std::optional<Stat> stat = streaming_stat(kind)) streaming.emplace_back(*stat, out[s].get());
    }
    auto ptr = [&](ZoneStat s) { return out[static_cast<std::size_t>(s)].get(); };
    const OrderRequest request{quantiles, ptr(ZoneStat::Median), ptr(ZoneStat::Quantile), ptr(ZoneStat::Majority),
                               ptr(ZoneStat::Minority), ptr(ZoneStat::Variety), want(ZoneStat::Frac)};
    const bool order = request.median || request.quantile || request.majority || request.minority ||
                       request.variety || request.frac;

    std::vector<std::vector<ClassShares>> shares(request.frac ? n : 0);
    std::vector<double> classes;
    std::unique_ptr<double[]> frac;
    std::uint64_t n_classes = 0;
    {
        nb::gil_scoped_release unlocked;
        if (!streaming.empty()) {
            // The streaming kernels sweep the raster once per call for all the zones and
            // steps they are given, so each thread gets one part. A stack with enough steps
            // is cut into runs of whole blocks of kStepBlock steps: each thread then does what
            // one thread does on fewer steps and reads lines no other reads, where zone ranges
            // whose windows overlap or interleave fetch the same lines twice. Otherwise each
            // thread gets a contiguous range of zones of about equal area. Each zone and step
            // keeps its own accumulator and the order of its cells either way, so no result
            // depends on the split.
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
                        for (const auto& [stat, dst] : streaming) reduce(basins, part, stat, 0, n, dst + t0 * n);
                    }
                });
            } else {
                std::vector<std::uint64_t> cells(n);
                for (std::size_t k = 0; k < n; ++k) {
                    const Window win = window_of(basins[k].coverage);
                    cells[k] = win.rows * win.cols + 1;
                }
                const std::vector<std::size_t> bounds = split_by_cost(cells, workers);
                parallel_for(bounds.size() - 1, workers, [&](std::size_t first, std::size_t last, unsigned) {
                    for (std::size_t p = first; p < last; ++p) {
                        for (const auto& [stat, dst] : streaming) reduce(basins, in, stat, bounds[p], bounds[p + 1], dst);
                    }
                });
            }
        }
        if (order) {
            // Zone by zone with nothing shared, so small ranges handed out as threads come
            // free balance zones of any size.
            std::vector<OrderScratch> scratch(workers);
            parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned worker) {
                reduce_order_stats(basins, in, begin, end, request, scratch[worker],
                                   std::span(shares).subspan(request.frac ? begin : 0, request.frac ? end - begin : 0));
            });
        }
        if (need_extremes) {
            double* range = ptr(ZoneStat::Range);
            const double* hi = ptr(ZoneStat::Max);
            const double* lo = ptr(ZoneStat::Min);
            for (std::uint64_t i = 0; i < per_stat; ++i) range[i] = hi[i] - lo[i];
        }
        if (request.frac) {
            for (const auto& zone : shares) {
                for (const ClassShares& s : zone) {
                    for (const WeightedValue& v : s.shares) classes.push_back(v.value);
                }
            }
            std::sort(classes.begin(), classes.end());
            classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
            n_classes = classes.size();
            // Continuous data would give one class per cell: refuse that before the result
            // (steps x zones x classes) is allocated rather than fill memory with it.
            if (n_classes > kMaxClasses) {
                throw InputError("frac found " + std::to_string(n_classes) + " distinct values (at most " +
                                 std::to_string(kMaxClasses) + "): it is meant for categorical rasters");
            }
            const std::uint64_t size = result_size({r.steps, n, n_classes});
            frac = allocate<double>(size);
            parallel_for(n, workers, [&](std::size_t begin, std::size_t end, unsigned) {
                for (std::size_t k = begin; k < end; ++k) {
                    for (const ClassShares& s : shares[k]) {
                        double* row = frac.get() + (s.step * n + k) * n_classes;
                        const double fill = s.shares.empty() ? std::numeric_limits<double>::quiet_NaN() : 0.0;
                        std::fill(row, row + n_classes, fill);
                        for (const WeightedValue& v : s.shares) {
                            row[std::lower_bound(classes.begin(), classes.end(), v.value) - classes.begin()] = v.weight;
                        }
                    }
                }
            });
        }
    }

    nb::dict result;
    auto shape = [&](std::size_t trailing) {
        std::vector<std::size_t> dims;
        if (stack) dims.push_back(static_cast<std::size_t>(r.steps));
        dims.push_back(n);
        if (trailing != SIZE_MAX) dims.push_back(trailing);
        return dims;
    };
    auto to_numpy = [&](std::unique_ptr<double[]> data, std::size_t trailing) {
        return owned_array(std::move(data), std::span<const std::size_t>(shape(trailing)));
    };
    for (std::size_t s = 0; s < std::size(kZoneStatNames); ++s) {
        if (!wanted[s]) continue;
        const auto kind = static_cast<ZoneStat>(s);
        if (kind == ZoneStat::Frac) {
            result["frac"] = to_numpy(std::move(frac), static_cast<std::size_t>(n_classes));
            auto cls = allocate<double>(n_classes);
            std::copy(classes.begin(), classes.end(), cls.get());
            result["frac_classes"] = owned_array(std::move(cls), {static_cast<std::size_t>(n_classes)});
        } else {
            result[nb::str(kZoneStatNames[s].data(), kZoneStatNames[s].size())] =
                to_numpy(std::move(out[s]), kind == ZoneStat::Quantile ? nq : SIZE_MAX);
        }
    }
    return result;
}

}  // namespace
}  // namespace quorvalis

NB_MODULE(_engine, m) {
    using namespace quorvalis;
    m.doc() = "The package's native engine: coverage building and zonal reductions with the lock released.";

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const InputError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const InternalError& e) {
            PyErr_SetString(PyExc_RuntimeError, (std::string("internal error: ") + e.what()).c_str());
        }
    });

    nb::class_<EngineCoverage>(m, "Coverage", nb::is_final(),
                               "Coverage fractions of every zone over one grid; made by build(), immutable.")
        .def_prop_ro("n_zones", [](const EngineCoverage& c) { return c.record.basins.size(); })
        .def_prop_ro("rows", [](const EngineCoverage& c) { return c.record.grid.rows; })
        .def_prop_ro("cols", [](const EngineCoverage& c) { return c.record.grid.cols; })
        .def_prop_ro("grid",
                     [](const EngineCoverage& c) {
                         const Grid& g = c.record.grid;
                         return nb::make_tuple(g.xmin, g.ymin, g.xmax, g.ymax, g.dx, g.dy);
                     })
        .def_prop_ro("method", [](const EngineCoverage& c) { return c.method; })
        .def("window", &window, "zone"_a,
             "(row offset, col offset, read-only float32 (h, w) fractions) of one zone; h or w is 0 when empty.")
        .def("csr", &csr, "threads"_a = 0,
             "(data float32, indices int64, indptr int64) of the zones x (rows * cols) coverage matrix.");

    m.def("build", &build, "wkb"_a, "xmin"_a, "ymin"_a, "xmax"_a, "ymax"_a, "dx"_a, "dy"_a, "method"_a = "exact",
          "threads"_a = 0, "One zone per WKB geometry, in input order; see the module stub for the details.");

    m.def("reduce", &reduce_zones, "cov"_a, "raster"_a, "stats"_a, nb::kw_only(), "weights"_a = nb::none(),
          "nodata"_a = nb::none(), "weights_nodata"_a = nb::none(), "quantiles"_a = std::vector<double>{},
          "origin"_a = std::pair<std::int64_t, std::int64_t>{0, 0}, "threads"_a = 0,
          "Statistics of a raster block per zone; see the module stub for the details.");

    nb::tuple names = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(std::size(kZoneStatNames))));
    for (std::size_t k = 0; k < std::size(kZoneStatNames); ++k) {
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(k),
                         nb::str(kZoneStatNames[k].data(), kZoneStatNames[k].size()).release().ptr());
    }
    m.attr("STATS") = names;
}
