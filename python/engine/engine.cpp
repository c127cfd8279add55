// quorvalis._engine: the package's own native face of the core (core/stats/zonal.h). Unlike
// _quorvalis it keeps every zone (empty ones included), releases the interpreter lock,
// spreads the work over threads, reads rasters of any numeric dtype in place, hands out the
// coverage itself and computes the order and class statistics as well. This file only
// converts arguments, releases the lock and wraps results; the Python surface is in
// _engine.pyi.
//
// Every entry point converts and checks its arguments with the lock held, does the work with
// the lock released (borrowing only memory that the held Python objects keep alive), and
// builds its Python results after taking the lock back, so errors are raised with it held.
//
// Core errors become Python ones in one place, the translator registered below:
//   ZoneInputError    -> ValueError "zone k: <reason>" with .zone = k and .reason
//   InputError        -> ValueError with the message
//   ZoneInternalError -> RuntimeError "internal error: zone k: <reason>"
//   InternalError     -> RuntimeError "internal error: <message>"
// (std::bad_alloc becomes MemoryError through nanobind's own translation.) Messages keep
// every byte, NULs included.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "geometry/simple_ring.h"
#include "record/build.h"
#include "stats/stats.h"
#include "stats/zonal.h"
#include "stats/zone_stats.h"
#include "support/error.h"
#include "support/parallel.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvalis {
namespace {

// The coverage of every input geometry, one zone per geometry in input order (a zone that
// covers no cell holds an empty window), and the method it was built with. Never changed
// after it is made, so any number of threads may read it at once.
struct EngineCoverage {
    CacheRecord record;
    ZoneMethod method;
};

using GridTuple = std::tuple<double, double, double, double, double, double>;

EngineCoverage build(const std::vector<nb::bytes>& wkb, double xmin, double ymin, double xmax, double ymax, double dx,
                     double dy, const std::string& method, std::int64_t threads, double min_coverage) {
    BuildOptions options;
    options.method = zone_method(method);
    options.threads = resolve_threads(threads);
    options.min_coverage = min_coverage;
    check_min_coverage(min_coverage);
    const Grid grid = checked_grid(xmin, ymin, xmax, ymax, dx, dy);
    // bytes objects are immutable and `wkb` holds a reference to each, so views of their
    // buffers stay valid with the lock released.
    std::vector<std::span<const std::uint8_t>> views;
    views.reserve(wkb.size());
    for (const nb::bytes& b : wkb) views.emplace_back(static_cast<const std::uint8_t*>(b.data()), b.size());
    nb::gil_scoped_release unlocked;
    return {build_zones(grid, views, {}, options), options.method};
}

// A C-contiguous array of exactly T, as it lies (no converted copy).
template <class T>
nb::ndarray<const T, nb::c_contig, nb::device::cpu> exact_array(nb::handle h, const char* what, const char* dtype) {
    nb::ndarray<const T, nb::c_contig, nb::device::cpu> a;
    if (!nb::try_cast(h, a, false)) {
        throw nb::type_error((std::string(what) + " must be a C-contiguous NumPy array of " + dtype).c_str());
    }
    return a;
}

EngineCoverage from_windows(const GridTuple& g, const std::string& method, nb::handle row_offsets,
                            nb::handle col_offsets, nb::handle shapes, nb::handle fractions) {
    const ZoneMethod m = zone_method(method);
    const Grid grid =
        checked_grid(std::get<0>(g), std::get<1>(g), std::get<2>(g), std::get<3>(g), std::get<4>(g), std::get<5>(g));
    const auto rows = exact_array<std::int64_t>(row_offsets, "row_offsets", "int64");
    const auto cols = exact_array<std::int64_t>(col_offsets, "col_offsets", "int64");
    const auto dims = exact_array<std::int64_t>(shapes, "shapes", "int64");
    const auto values = exact_array<float>(fractions, "fractions", "float32");
    if (rows.ndim() != 1 || cols.ndim() != 1 || values.ndim() != 1) {
        throw nb::value_error("row_offsets, col_offsets and fractions must be 1-D");
    }
    if (dims.ndim() != 2 || dims.shape(1) != 2) throw nb::value_error("shapes must have shape (n, 2)");
    nb::gil_scoped_release unlocked;
    return {record_from_windows(grid, {rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)},
                                {dims.data(), 2 * dims.shape(0)}, {values.data(), values.shape(0)}),
            m};
}

const Zone& zone_at(const EngineCoverage& cov, std::int64_t zone) {
    const auto n = static_cast<std::int64_t>(cov.record.zones.size());
    if (zone < 0 || zone >= n) {
        throw nb::index_error(
            ("zone " + std::to_string(zone) + " out of range for " + std::to_string(n) + " zones").c_str());
    }
    return cov.record.zones[static_cast<std::size_t>(zone)];
}

// The zone's fractions as a new read-only float32 window, +0.0 outside the rows' runs.
nb::tuple window(nb::handle self, std::int64_t zone) {
    const EngineCoverage& cov = nb::cast<const EngineCoverage&>(self);
    const Zone& b = zone_at(cov, zone);
    const std::size_t shape[2] = {static_cast<std::size_t>(b.rows()), static_cast<std::size_t>(b.cols())};
    auto data = std::make_unique<float[]>(shape[0] * shape[1]);
    for (std::uint64_t i = 0; i < b.rows(); ++i) {
        const RowRun r = b.row(i);
        if (!r.empty()) std::copy(r.values, r.values + (r.end - r.first), data.get() + i * b.cols() + r.first);
    }
    float* raw = data.get();
    nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<float*>(p); });
    data.release();  // only once the capsule exists to free it
    nb::ndarray<nb::numpy, const float, nb::ndim<2>> fractions(raw, 2, shape, owner);
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

// Which zones are proven valid polygons (one ring, proven simple): the rest need the
// general validity test.
nb::ndarray<nb::numpy, bool> proven_valid(const std::vector<nb::bytes>& wkb, std::int64_t threads) {
    const unsigned workers = resolve_threads(threads);
    std::vector<std::span<const std::uint8_t>> views;
    views.reserve(wkb.size());
    for (const nb::bytes& b : wkb) views.emplace_back(static_cast<const std::uint8_t*>(b.data()), b.size());
    std::unique_ptr<bool[]> out = allocate_buffer<bool>(views.size());
    {
        nb::gil_scoped_release unlocked;
        parallel_for(views.size(), workers, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) out[k] = proven_valid_polygon(views[k]);
        });
    }
    return owned_array(std::move(out), {views.size()});
}

nb::tuple csr(const EngineCoverage& cov, std::int64_t threads) {
    const unsigned workers = resolve_threads(threads);
    CsrMatrix m;
    {
        nb::gil_scoped_release unlocked;
        m = fractions_csr(cov.record, workers);
    }
    const std::size_t n = cov.record.zones.size();
    return nb::make_tuple(owned_array(std::move(m.data), {m.nnz}), owned_array(std::move(m.indices), {m.nnz}),
                          owned_array(std::move(m.indptr), {n + 1}));
}

// ---------------------------------------------------------------------------------------
// reduce

using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

// Only arrays whose memory can be read as it lies: NumPy's buffer of a native byte order
// numeric dtype with whole-element strides. Anything else would need a converted copy.
AnyArray as_array(nb::handle h, const char* what) {
    AnyArray a;
    if (!nb::try_cast(h, a, false)) {
        throw nb::type_error(
            (std::string(what) +
             " must be a NumPy array of float32, float64 or 8- to 64-bit integers "
             "in native byte order with whole-element strides, got " +
             std::string(Py_TYPE(h.ptr())->tp_name) +
             (nb::hasattr(h, "dtype")
                  ? " of dtype " + std::string(nb::borrow<nb::str>(h.attr("dtype").attr("str")).c_str())
                  : ""))
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
        throw nb::value_error((std::string(what) +
                               " must have 2 dimensions (rows, cols) or 3 (time, rows, cols), got " +
                               std::to_string(a.ndim()))
                                  .c_str());
    }
    const std::optional<DType> dtype = dtype_of(a.dtype());
    if (!dtype) {
        throw nb::type_error(
            (std::string(what) + " must hold float32, float64 or (unsigned) 8- to 64-bit integers").c_str());
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

nb::str name_of(ZoneStat s) {
    const std::string_view name = kZoneStatNames[static_cast<std::size_t>(s)];
    return nb::str(name.data(), name.size());
}

using CarryArray = nb::ndarray<double, nb::c_contig, nb::device::cpu>;

// The bytes an array's elements lie in, [begin, end), whatever the signs of its strides;
// empty for an array without elements.
struct Extent {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};

template <class Array>
Extent extent_of(const Array& a) {
    const auto item = static_cast<std::intptr_t>(a.itemsize());
    std::intptr_t low = 0, high = item;
    for (std::size_t d = 0; d < a.ndim(); ++d) {
        if (a.shape(d) == 0) return {};
        const std::intptr_t reach = static_cast<std::intptr_t>(a.shape(d) - 1) * a.stride(d) * item;
        (reach < 0 ? low : high) += reach;
    }
    const auto base = reinterpret_cast<std::uintptr_t>(a.data());
    return {base + static_cast<std::uintptr_t>(low), base + static_cast<std::uintptr_t>(high)};
}

bool overlap(const Extent& a, const Extent& b) {
    return a.begin < a.end && b.begin < b.end && a.begin < b.end && b.begin < a.end;
}

nb::dict reduce_stats(const EngineCoverage& cov, nb::handle raster_arg, const std::vector<std::string>& stat_names,
                      nb::handle weights_arg, const nb::object& nodata, const nb::object& weights_nodata,
                      const std::vector<double>& quantiles, std::pair<std::int64_t, std::int64_t> origin,
                      std::int64_t threads, nb::handle carry_arg) {
    const ZonalRequest request = zonal_request(stat_names, quantiles);
    // Held until the call returns, so the memory read with the lock released stays alive.
    const AnyArray raster = as_array(raster_arg, "raster");
    const std::optional<AnyArray> weights =
        weights_arg.is_none() ? std::nullopt : std::optional<AnyArray>(as_array(weights_arg, "weights"));
    ZonalInputs in;
    in.raster = view_of(raster, "raster");
    in.stack = raster.ndim() == 3;
    if (weights) {
        if (weights->ndim() != 2) throw nb::value_error("weights must have 2 dimensions (rows, cols)");
        in.weights = view_of(*weights, "weights");
    }
    in.nodata = nodata_of(nodata, "nodata");
    in.weight_nodata = nodata_of(weights_nodata, "weights_nodata");
    in.origin_row = origin.first;
    in.origin_col = origin.second;
    // Each statistic's carried states: an array of the dict's, checked, or a new one of
    // zeros put in it. Held until the call returns, like the raster; no two may share
    // memory, nor any of them with the raster or the weights, which the engine reads while
    // it writes the states.
    std::vector<CarryArray> carried;
    std::vector<nb::str> carried_names;
    if (!carry_arg.is_none()) {
        if (!nb::isinstance<nb::dict>(carry_arg)) throw nb::type_error("carry must be a dict or None");
        nb::dict carry = nb::borrow<nb::dict>(carry_arg);
        const std::size_t steps = in.raster.steps, zones = cov.record.zones.size();
        for (const ZoneStat kind : carried_stats(request)) {
            const Stat stat = *streaming_stat(kind);
            const std::size_t width = carry_width(stat);
            nb::str name = name_of(kind);
            std::size_t size = 0;  // at most 3x the result's
            if (__builtin_mul_overflow(steps, zones, &size) || __builtin_mul_overflow(size, width, &size)) {
                throw nb::value_error(
                    ("carry['" + std::string(name.c_str()) + "'] would hold more values than memory can").c_str());
            }
            if (!carry.contains(name)) {
                std::unique_ptr<double[]> zeros = allocate_buffer<double>(size);
                std::fill_n(zeros.get(), size, 0.0);
                const std::size_t dims[] = {steps, zones, width};
                carry[name] = owned_array(std::move(zeros), dims);
            }
            CarryArray states;
            if (!nb::try_cast(carry[name], states, false) || states.ndim() != 3 || states.shape(0) != steps ||
                states.shape(1) != zones || states.shape(2) != width) {
                throw nb::value_error(("carry['" + std::string(name.c_str()) +
                                       "'] must be a writable C-ordered float64 array of shape (" +
                                       std::to_string(steps) + ", " + std::to_string(zones) + ", " +
                                       std::to_string(width) + ")")
                                          .c_str());
            }
            const Extent bytes = extent_of(states);
            const auto refuse = [&](const std::string& other) {
                throw nb::value_error(("carry['" + std::string(name.c_str()) + "'] shares memory with " + other +
                                       ": each statistic's states need an array of their own")
                                          .c_str());
            };
            for (std::size_t k = 0; k < carried.size(); ++k) {
                if (overlap(bytes, extent_of(carried[k])))
                    refuse("carry['" + std::string(carried_names[k].c_str()) + "']");
            }
            if (overlap(bytes, extent_of(raster))) refuse("the raster");
            if (weights && overlap(bytes, extent_of(*weights))) refuse("the weights");
            in.carry.emplace_back(stat, states.data());
            carried.push_back(std::move(states));
            carried_names.push_back(std::move(name));
        }
    }
    const unsigned workers = resolve_threads(threads);
    ZonalResult out;
    {
        nb::gil_scoped_release unlocked;
        out = reduce_zones(cov.record, request, in, workers);
    }
    nb::dict result;
    for (auto& [stat, array] : out.arrays) {
        result[name_of(stat)] = owned_array(std::move(array.data), std::span<const std::size_t>(array.shape));
        if (stat == ZoneStat::Frac) {
            result["frac_classes"] =
                owned_array(std::move(out.frac_classes.data), std::span<const std::size_t>(out.frac_classes.shape));
        }
    }
    return result;
}

// The whole message, NULs included.
nb::object text(const std::string& message) {
    return nb::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

void raise(PyObject* type, const std::string& message) {
    nb::object t = text(message);
    if (t.is_valid()) PyErr_SetObject(type, t.ptr());
}

}  // namespace
}  // namespace quorvalis

NB_MODULE(_engine, m) {
    using namespace quorvalis;
    m.doc() = "The package's native engine: coverage building and zonal reductions with the lock released.";

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const ZoneInputError& e) {
            nb::object reason = text(e.message());
            nb::object message = text("zone " + std::to_string(e.zone) + ": " + e.message());
            if (!reason.is_valid() || !message.is_valid()) return;
            nb::object err = nb::steal(PyObject_CallOneArg(PyExc_ValueError, message.ptr()));
            if (!err.is_valid()) return;
            err.attr("zone") = e.zone;
            err.attr("reason") = reason;
            PyErr_SetObject(PyExc_ValueError, err.ptr());
        } catch (const InputError& e) {
            raise(PyExc_ValueError, e.message());
        } catch (const ZoneInternalError& e) {
            raise(PyExc_RuntimeError, "internal error: zone " + std::to_string(e.zone) + ": " + e.message());
        } catch (const InternalError& e) {
            raise(PyExc_RuntimeError, "internal error: " + e.message());
        }
    });

    nb::class_<EngineCoverage>(m, "Coverage", nb::is_final(),
                               "Coverage fractions of every zone over one grid; made by build() or from_windows(), "
                               "immutable.")
        .def_prop_ro("n_zones", [](const EngineCoverage& c) { return c.record.zones.size(); })
        .def_prop_ro("heap_bytes",
                     [](const EngineCoverage& c) {
                         std::size_t bytes = c.record.zones.capacity() * sizeof(Zone);
                         for (const Zone& b : c.record.zones) bytes += b.heap_bytes();
                         return bytes;
                     })
        .def_prop_ro("rows", [](const EngineCoverage& c) { return c.record.grid.rows; })
        .def_prop_ro("cols", [](const EngineCoverage& c) { return c.record.grid.cols; })
        .def_prop_ro("grid",
                     [](const EngineCoverage& c) {
                         const Grid& g = c.record.grid;
                         return nb::make_tuple(g.xmin, g.ymin, g.xmax, g.ymax, g.dx, g.dy);
                     })
        .def_prop_ro("method", [](const EngineCoverage& c) { return std::string(method_name(c.method)); })
        .def("window", &window, "zone"_a,
             "(row offset, col offset, read-only float32 (h, w) fractions) of one zone; h or w is 0 when empty.")
        .def("csr", &csr, "threads"_a = 0,
             "(data float32, indices int64, indptr int64) of the zones x (rows * cols) coverage matrix.");

    m.def("build", &build, "wkb"_a, "xmin"_a, "ymin"_a, "xmax"_a, "ymax"_a, "dx"_a, "dy"_a, "method"_a = "exact",
          "threads"_a = 0, "min_coverage"_a = 0.0,
          "One zone per WKB geometry, in input order; see the module stub for the details.");

    m.def("proven_valid", &proven_valid, "wkb"_a, "threads"_a = 0,
          "Which zones are proven valid polygons; see the module stub for the details.");

    m.def("from_windows", &from_windows, "grid"_a, "method"_a, "row_offsets"_a, "col_offsets"_a, "shapes"_a,
          "fractions"_a, "A coverage from the windows of one (Coverage.window); see the module stub.");

    m.def("reduce", &reduce_stats, "cov"_a, "raster"_a, "stats"_a, nb::kw_only(), "weights"_a = nb::none(),
          "nodata"_a = nb::none(), "weights_nodata"_a = nb::none(), "quantiles"_a = std::vector<double>{},
          "origin"_a = std::pair<std::int64_t, std::int64_t>{0, 0}, "threads"_a = 0, "carry"_a = nb::none(),
          "Statistics of a raster block per zone; see the module stub for the details.");

    nb::tuple names = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(std::size(kZoneStatNames))));
    nb::dict info;
    for (std::size_t k = 0; k < std::size(kZoneStatNames); ++k) {
        const auto stat = static_cast<ZoneStat>(k);
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(k), name_of(stat).release().ptr());
        const ZoneStatInfo& f = kZoneStatInfo[k];
        nb::dict flags;
        flags["streams"] = f.streams;
        flags["count_like"] = f.count_like;
        flags["unitless"] = f.unitless;
        flags["order"] = f.order;
        info[name_of(stat)] = flags;
    }
    m.attr("STATS") = names;
    m.attr("STAT_INFO") = info;
}
