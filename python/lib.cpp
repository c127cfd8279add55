// _quorvalis: the fixed-contract Python face of the quorvalis core, written against the C API
// of Python and NumPy (the package's own module, quorvalis._engine, is python/engine/).
// Its interface, typed, is _quorvalis.pyi beside the module.
//
// Core errors cross into Python in one place (raise_current): InputError -> ValueError,
// InternalError -> PanicException, std::bad_alloc and std::length_error -> MemoryError,
// anything else -> PanicException. A Python error raised while converting arguments travels through the
// C++ code as PyErrorSet so that every owned resource is released by its destructor.
// Types and the exception class live in the module's state, so each interpreter that
// imports the module gets its own.
//
// Fixed on purpose: callers match on these, so they stay as they are even where they look odd.
//   - The types report "builtins" as their module: "builtins.CoverageCache" and
//     "builtins.PySliceContainer" (the base of every result array).
//   - The argument binder words its TypeErrors as CPython's own C-level binder does
//     ("takes at most 4 arguments (5 given)", "missing required argument 'dy' (pos 8)",
//     "given by name ('x') and position (1)"), not as a Python function would.
//   - An ndarray of the wrong dtype or number of dimensions is refused with the same text
//     as an object of the wrong type: "'ndarray' object is not an instance of 'ndarray'".
//   - Numbers inside fatal (PanicException) messages are written as format_debug writes
//     them: "1.0", "1e16", "NaN", "inf".

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

// NumPy 2's headers import the C API with PyArray_ImportNumPyAPI; NumPy 1's only have
// _import_array (a module built against 1.x also runs on 2.x, not the other way round).
#if NPY_ABI_VERSION < 0x02000000
static inline int PyArray_ImportNumPyAPI() { return _import_array(); }
#endif

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "record/build.h"
#include "stats/raster_view.h"
#include "support/error.h"

namespace {

// ---------------------------------------------------------------------------------------
// Small helpers around the C API

// A Python exception is already set; unwinds to the entry point's catch site.
struct PyErrorSet {};

[[noreturn]] void fail() { throw PyErrorSet{}; }

// Owns one strong reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XDECREF(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// The pending exception as one object (3.11 still keeps it as a type/value/traceback triple).
PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(type);
    return value;
#endif
}

void restore_raised(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Makes `cause` (stolen) the cause of the pending exception, as `raise ... from cause`.
void chain_cause(PyObject* cause) {
    if (cause == nullptr) return;
    PyObject* exc = take_raised();
    if (exc == nullptr) {
        Py_DECREF(cause);
        return;
    }
    PyException_SetCause(exc, Py_NewRef(cause));
    PyException_SetContext(exc, cause);
    restore_raised(exc);
}

// The refusal of an object of the wrong type, named by its short type name.
[[noreturn]] void not_instance(PyObject* obj, const char* target) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        fail();
    }
    Ref name(PyType_GetName(Py_TYPE(obj)));
    if (!name) fail();
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
    fail();
}

// Runs one argument's conversion. A plain TypeError from it is re-raised with the
// parameter's name in front and the original as its cause; any other error passes as is.
template <class Convert>
auto convert(const char* name, Convert&& conv) -> decltype(conv()) {
    try {
        return conv();
    } catch (const PyErrorSet&) {
        PyObject* exc = take_raised();
        if (exc != nullptr && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
            PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, exc);
            chain_cause(exc);
        } else if (exc != nullptr) {
            restore_raised(exc);
        }
        throw;
    }
}

// ---------------------------------------------------------------------------------------
// Argument binding

struct Signature {
    const char* fname;
    std::span<const char* const> names;  // every parameter is positional-or-keyword
    Py_ssize_t required;                 // the first `required` parameters have no default
};

Py_ssize_t param_index(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Matches fast-call arguments to parameters, with the interpreter's own wording for binding
// errors and its order of checks. Slots of omitted optional parameters are left null.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    // Only surplus positional arguments are reported by count: with them in range, a
    // surplus keyword is unknown or repeats a positional one, and is named below.
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", sig.fname, n, n == 1 ? "" : "s",
                     nargs + nkw);
        fail();
    }
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = nullptr;
        if (i < nargs) {
            out[i] = args[i];
            continue;
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k),
                                                 sig.names[static_cast<std::size_t>(i)]) == 0) {
                out[i] = args[nargs + k];
                ++matched;
                break;
            }
        }
        if (out[i] == nullptr && i < sig.required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.fname,
                         sig.names[static_cast<std::size_t>(i)], i + 1);
            fail();
        }
    }
    if (matched == nkw) return;
    // A keyword that repeats a positional argument is reported before an unknown one.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t p = param_index(sig, key);
        if (p >= 0 && p < nargs) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)", sig.fname, key,
                         p + 1);
            fail();
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (param_index(sig, key) < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.fname, key);
            fail();
        }
    }
    PyErr_SetString(PyExc_SystemError, "keyword arguments could not be matched");
    fail();
}

// ---------------------------------------------------------------------------------------
// Scalar, text and list conversions

double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) fail();
    return v;
}

// The UTF-8 text stays owned by the str object, which the caller keeps alive for the call.
std::string_view to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) not_instance(obj, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) fail();
    return {text, static_cast<std::size_t>(size)};
}

// A str is a sequence of str, never what a caller means by a list of geometries or ids.
void check_sequence(PyObject* obj, const char* what) {
    if (PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected %s, not 'str'", what);
        fail();
    }
    if (!PySequence_Check(obj)) not_instance(obj, "Sequence");
}

// A reported length only sizes the reservation (the items are read by iteration), and a
// lying __len__ must not be able to demand an absurd one. As with operator.length_hint, a
// TypeError (no usable length) falls back to no reservation, while any other error from
// __len__ is the caller's and propagates.
template <class T>
void reserve_for(std::vector<T>& out, PyObject* seq) {
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 16;
    const Py_ssize_t n = PyObject_LengthHint(seq, 0);
    if (n < 0) fail();
    out.reserve(static_cast<std::size_t>(std::min(n, kMaxReserve)));
}

// Calls `take` on each item of an iterable; stops at the first error.
template <class Take>
void for_each_item(PyObject* seq, Take&& take) {
    Ref it(PyObject_GetIter(seq));
    if (!it) fail();
    while (Ref item{PyIter_Next(it.get())}) take(item.get());
    if (PyErr_Occurred()) fail();
}

std::vector<std::uint8_t> to_wkb(PyObject* obj) {
    if (PyBytes_Check(obj)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        return {p, p + PyBytes_GET_SIZE(obj)};
    }
    if (PyByteArray_Check(obj)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
        return {p, p + PyByteArray_GET_SIZE(obj)};
    }
    check_sequence(obj, "WKB bytes");
    std::vector<std::uint8_t> out;
    reserve_for(out, obj);
    for_each_item(obj, [&](PyObject* item) {
        const long long v = PyLong_AsLongLong(item);
        if (v == -1 && PyErr_Occurred()) fail();
        if (v < 0 || v > 255) {
            PyErr_Format(PyExc_OverflowError, "WKB byte value %lld is outside range(0, 256)", v);
            fail();
        }
        out.push_back(static_cast<std::uint8_t>(v));
    });
    return out;
}

std::vector<std::vector<std::uint8_t>> to_wkb_list(PyObject* obj) {
    check_sequence(obj, "a sequence of WKB bytes");
    std::vector<std::vector<std::uint8_t>> out;
    reserve_for(out, obj);
    for_each_item(obj, [&](PyObject* item) { out.push_back(to_wkb(item)); });
    return out;
}

std::vector<std::int64_t> to_id_list(PyObject* obj) {
    check_sequence(obj, "a sequence of integers");
    std::vector<std::int64_t> out;
    reserve_for(out, obj);
    for_each_item(obj, [&](PyObject* item) {
        const long long v = PyLong_AsLongLong(item);
        if (v == -1 && PyErr_Occurred()) fail();
        out.push_back(static_cast<std::int64_t>(v));
    });
    return out;
}

// ---------------------------------------------------------------------------------------
// Module state: the types and the exception class of one module object. Each interpreter
// that imports the module has its own, so nothing is shared between interpreters.

struct ModuleState {
    PyTypeObject* cache_type;
    PyTypeObject* slice_container_type;
    PyObject* panic_type;  // derived straight from BaseException: `except Exception` lets it through
};

extern PyModuleDef module_def;

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// The state of the module that made `type` (one of this module's types).
ModuleState& state_of(PyTypeObject* type) { return state_of(PyType_GetModuleByDef(type, &module_def)); }

// --- Result buffers handed to NumPy without a copy ---

struct SliceContainer {
    PyObject_HEAD std::variant<std::vector<double>, std::vector<std::int64_t>> buffer;
};

void slice_container_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<SliceContainer*>(self)->buffer);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_doc, const_cast<char*>("Owns the buffer of arrays returned by _quorvalis.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slice_container_slots,
};

template <class T>
constexpr int numpy_type_of() {
    if constexpr (std::is_same_v<T, double>) {
        return NPY_FLOAT64;
    } else {
        static_assert(std::is_same_v<T, std::int64_t> && sizeof(long long) == sizeof(std::int64_t));
        return NPY_LONGLONG;
    }
}

// A new writeable C-ordered array over `buffer`, which moves into the array's base object.
// Creating the holder or the array fails only when memory runs out; the error Python set
// for it (MemoryError) is the call's error.
template <class T>
PyObject* owned_array(const ModuleState& state, std::vector<T>&& buffer, std::span<const npy_intp> dims) {
    if (buffer.data() == nullptr) buffer.reserve(1);  // NumPy would allocate for a null pointer
    PyTypeObject* holder_type = state.slice_container_type;
    PyObject* holder = holder_type->tp_alloc(holder_type, 0);
    if (holder == nullptr) {
        if (PyErr_Occurred()) fail();
        throw quorvalis::InternalError("Failed to create slice container");
    }
    auto* container = reinterpret_cast<SliceContainer*>(holder);
    std::construct_at(&container->buffer, std::in_place_type<std::vector<T>>, std::move(buffer));
    Ref owner(holder);
    void* data = std::get<std::vector<T>>(container->buffer).data();

    npy_intp strides[2] = {static_cast<npy_intp>(sizeof(T)), static_cast<npy_intp>(sizeof(T))};
    if (dims.size() == 2) strides[0] = dims[1] * static_cast<npy_intp>(sizeof(T));
    PyObject* arr =
        PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(numpy_type_of<T>()), static_cast<int>(dims.size()),
                             dims.data(), strides, data, NPY_ARRAY_CARRAY, nullptr);
    if (arr == nullptr) {
        if (PyErr_Occurred()) fail();
        throw quorvalis::InternalError("Failed to create result array");
    }
    Ref result(arr);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), owner.release()) < 0) {
        if (PyErr_Occurred()) fail();
        throw quorvalis::InternalError("Failed to create result array");
    }
    return result.release();
}

// --- CoverageCache ---

struct CacheObject {
    PyObject_HEAD quorvalis::CacheRecord record;
};

PyObject* raise_current(const ModuleState& state) noexcept;

void cache_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* cache = reinterpret_cast<CacheObject*>(self);
    std::destroy_at(&cache->record);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* cache_n_zones(PyObject* self, void*) {
    auto* cache = reinterpret_cast<CacheObject*>(self);
    return PyLong_FromSize_t(cache->record.zones.size());
}

PyObject* cache_ids(PyObject* self, PyObject*) {
    const ModuleState& state = state_of(Py_TYPE(self));
    try {
        auto* cache = reinterpret_cast<CacheObject*>(self);
        std::vector<std::int64_t> ids;
        ids.reserve(cache->record.zones.size());
        for (const quorvalis::Zone& zone : cache->record.zones) ids.push_back(zone.id);
        const npy_intp dims[1] = {static_cast<npy_intp>(ids.size())};
        return owned_array(state, std::move(ids), dims);
    } catch (...) {
        return raise_current(state);
    }
}

PyGetSetDef cache_getset[] = {
    {"n_basins", cache_n_zones, nullptr, "Number of basins in the cache.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef cache_methods[] = {
    {"ids", cache_ids, METH_NOARGS, "ids($self)\n--\n\nBasin IDs in cache order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot cache_slots[] = {
    {Py_tp_doc, const_cast<char*>("Opaque coverage cache held on the Python side.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(cache_dealloc)},
    {Py_tp_getset, cache_getset},
    {Py_tp_methods, cache_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (no subclasses), no GC (it refers to no Python object but its
// type), no __dict__ or weak references.
PyType_Spec cache_spec = {
    "builtins.CoverageCache",
    sizeof(CacheObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    cache_slots,
};

PyObject* new_cache(const ModuleState& state, quorvalis::CacheRecord&& record) {
    PyTypeObject* type = state.cache_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) fail();  // the record is released by the caller's unwinding
    auto* cache = reinterpret_cast<CacheObject*>(self);
    std::construct_at(&cache->record, std::move(record));
    return self;
}

CacheObject* to_cache(const ModuleState& state, PyObject* obj) {
    if (!Py_IS_TYPE(obj, state.cache_type)) not_instance(obj, "CoverageCache");
    return reinterpret_cast<CacheObject*>(obj);
}

// ---------------------------------------------------------------------------------------
// Arrays in

const char* ndarray_name() { return "ndarray"; }

// An ndarray (or subclass) of exactly `ndim` dimensions whose dtype is float64 in native
// byte order. Nothing is ever cast: anything else is refused.
PyArrayObject* to_array(PyObject* obj, int ndim) {
    if (PyArray_Check(obj)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(arr) == ndim) {
            PyArray_Descr* f64 = PyArray_DescrFromType(NPY_FLOAT64);
            const bool ok = PyArray_DESCR(arr) == f64 || PyArray_EquivTypes(PyArray_DESCR(arr), f64);
            Py_DECREF(f64);
            if (ok) return arr;
        }
    }
    not_instance(obj, ndarray_name());
}

// Views are taken only after every scalar argument is converted: a __float__ may run
// Python code that reshapes or retypes the array, so it is checked again right here.
quorvalis::RasterView view2(PyObject* obj) {
    PyArrayObject* arr = to_array(obj, 2);
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    return {static_cast<const std::byte*>(PyArray_DATA(arr)), static_cast<std::uint64_t>(dims[0]),
            static_cast<std::uint64_t>(dims[1]), strides[0], strides[1]};
}

quorvalis::RasterStack view3(PyObject* obj) {
    PyArrayObject* arr = to_array(obj, 3);
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    return {static_cast<const std::byte*>(PyArray_DATA(arr)),
            static_cast<std::uint64_t>(dims[0]),
            static_cast<std::uint64_t>(dims[1]),
            static_cast<std::uint64_t>(dims[2]),
            strides[0],
            strides[1],
            strides[2]};
}

// ---------------------------------------------------------------------------------------
// Errors out

// The whole text, NUL characters included: a message may quote a name the caller gave.
void set_message(PyObject* type, std::string_view message) {
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

void raise_panic(const ModuleState& state, std::string_view message) {
    // A Python error already pending becomes the cause.
    PyObject* pending = take_raised();
    set_message(state.panic_type, message);
    chain_cause(pending);
}

// The one translation of C++ exceptions into Python ones; call it from a catch (...) block.
// A container asked for more elements than it can ever hold (std::length_error) has run out
// of memory as surely as a failed allocation.
PyObject* raise_current(const ModuleState& state) noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const quorvalis::InputError& e) {
        set_message(PyExc_ValueError, e.message());
    } catch (const quorvalis::InternalError& e) {
        raise_panic(state, e.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(state, e.what());
    } catch (...) {
        raise_panic(state, "unknown C++ exception");
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Module functions

constexpr const char* kBuildCacheParams[] = {"wkb_list", "id_list", "xmin", "ymin",  "xmax",
                                             "ymax",     "dx",      "dy",   "method"};
constexpr const char* kStatParams[] = {"cache", "raster", "nodata", "stat"};
constexpr const char* kWeightedStatParams[] = {"cache", "raster", "weights", "nodata", "weight_nodata", "stat"};

PyObject* build_cache(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = state_of(module);
    try {
        PyObject* a[9];
        bind({"build_cache", kBuildCacheParams, 8}, args, nargs, kwnames, a);
        const auto wkbs = convert("wkb_list", [&] { return to_wkb_list(a[0]); });
        const auto ids = convert("id_list", [&] { return to_id_list(a[1]); });
        double grid[6];
        for (int i = 0; i < 6; ++i) {
            grid[i] = convert(kBuildCacheParams[2 + i], [&] { return to_double(a[2 + i]); });
        }
        const std::string_view method =
            a[8] != nullptr ? convert("method", [&] { return to_text(a[8]); }) : std::string_view("exact");
        return new_cache(
            state, quorvalis::build_cache(wkbs, ids, grid[0], grid[1], grid[2], grid[3], grid[4], grid[5], method));
    } catch (...) {
        return raise_current(state);
    }
}

// The four statistic functions share one body: Batch takes a (time, rows, cols) raster,
// Weighted a 2-D weights raster and its nodata value.
template <bool Batch, bool Weighted>
PyObject* apply(PyObject* module, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = state_of(module);
    try {
        PyObject* a[6];
        if constexpr (Weighted) {
            bind({fname, kWeightedStatParams, 6}, args, nargs, kwnames, a);
        } else {
            bind({fname, kStatParams, 4}, args, nargs, kwnames, a);
        }
        PyObject* const* next = a;
        PyObject* cache_arg = *next++;
        PyObject* raster_arg = *next++;
        PyObject* weights_arg = Weighted ? *next++ : nullptr;
        PyObject* nodata_arg = *next++;
        PyObject* weight_nodata_arg = Weighted ? *next++ : nullptr;
        PyObject* stat_arg = *next;

        CacheObject* cache = convert("cache", [&] { return to_cache(state, cache_arg); });
        convert("raster", [&] { return to_array(raster_arg, Batch ? 3 : 2); });
        if (Weighted) convert("weights", [&] { return to_array(weights_arg, 2); });
        const double nodata = convert("nodata", [&] { return to_double(nodata_arg); });
        const double weight_nodata =
            Weighted ? convert("weight_nodata", [&] { return to_double(weight_nodata_arg); }) : 0.0;
        const std::string_view stat = convert("stat", [&] { return to_text(stat_arg); });

        const quorvalis::CacheRecord& record = cache->record;
        const auto n_zones = static_cast<npy_intp>(record.zones.size());
        quorvalis::StatInputs in;
        if constexpr (Batch) {
            in.raster = convert("raster", [&] { return view3(raster_arg); });
        } else {
            in.raster = convert("raster", [&] { return view2(raster_arg); });
        }
        if constexpr (Weighted)
            in.weights = convert("weights", [&] { return quorvalis::ArrayView(view2(weights_arg)); });
        in.nodata = quorvalis::Nodata::of(nodata);
        in.weight_nodata = quorvalis::Nodata::of(weight_nodata);
        // The name is checked only when some zone is actually reduced, so an empty cache
        // or an empty stack accepts any name.
        std::vector<double> out;
        if (in.raster.steps != 0 && n_zones != 0)
            out = quorvalis::reduce(record.zones, in, quorvalis::parse_stat(stat));
        npy_intp dims[2] = {n_zones, 0};
        std::size_t ndim = 1;
        if constexpr (Batch) {
            dims[0] = static_cast<npy_intp>(in.raster.steps);
            dims[1] = n_zones;
            ndim = 2;
        }
        const auto expected = static_cast<std::size_t>(ndim == 2 ? dims[0] * dims[1] : dims[0]);
        if (out.size() != expected) {
            throw quorvalis::InternalError("statistic returned " + std::to_string(out.size()) + " values, expected " +
                                           std::to_string(expected));
        }
        return owned_array(state, std::move(out), std::span<const npy_intp>(dims, ndim));
    } catch (...) {
        return raise_current(state);
    }
}

PyObject* apply_stat(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply<false, false>(module, "apply_stat", args, nargs, kwnames);
}

PyObject* apply_stat_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply<true, false>(module, "apply_stat_batch", args, nargs, kwnames);
}

PyObject* apply_stat_weights(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply<false, true>(module, "apply_stat_weights", args, nargs, kwnames);
}

PyObject* apply_stat_batch_weights(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply<true, true>(module, "apply_stat_batch_weights", args, nargs, kwnames);
}

// ---------------------------------------------------------------------------------------
// Docstrings (text-signature header first, so Python reports the signatures)

const char kModuleDoc[] = "quorvalis: Fast exact zonal statistics — C++ core.";

const char kBuildCacheDoc[] =
    "build_cache(wkb_list, id_list, xmin, ymin, xmax, ymax, dx, dy, method=\"exact\")\n"
    "--\n"
    "\n"
    "Build a coverage cache from WKB geometries and grid parameters.\n"
    "\n"
    "Args:\n"
    "    wkb_list: list of WKB bytes (one per geometry)\n"
    "    id_list: list of integer IDs (same length as wkb_list)\n"
    "    xmin, ymin, xmax, ymax: grid extent\n"
    "    dx, dy: cell size\n"
    "    method: \"exact\" (default) for fractional coverage, \"center\" for cell-center PIP\n"
    "\n"
    "Returns:\n"
    "    CoverageCache object";

const char kApplyStatDoc[] =
    "apply_stat(cache, raster, nodata, stat)\n"
    "--\n"
    "\n"
    "Apply a statistic to a single 2D raster using the coverage cache.\n"
    "\n"
    "Args:\n"
    "    cache: CoverageCache from build_cache()\n"
    "    raster: 2D numpy array (rows, cols) of raster values\n"
    "    nodata: nodata value to skip\n"
    "    stat: statistic name (\"mean\", \"sum\", \"count\", \"min\", \"max\", \"variance\", \"stdev\")\n"
    "\n"
    "Returns:\n"
    "    1D numpy array of length n_basins with the stat result per basin";

const char kApplyStatWeightsDoc[] =
    "apply_stat_weights(cache, raster, weights, nodata, weight_nodata, stat)\n"
    "--\n"
    "\n"
    "Apply a weighted statistic to a single 2D raster using the coverage cache.\n"
    "\n"
    "Args:\n"
    "    cache: CoverageCache from build_cache()\n"
    "    raster: 2D numpy array (rows, cols) of raster values\n"
    "    weights: 2D numpy array (rows, cols) of weight values\n"
    "    nodata: nodata value for the raster\n"
    "    weight_nodata: nodata value for the weights\n"
    "    stat: statistic name (\"weighted_mean\", \"weighted_sum\", or any standard stat)\n"
    "\n"
    "Returns:\n"
    "    1D numpy array of length n_basins with the stat result per basin";

const char kApplyStatBatchDoc[] =
    "apply_stat_batch(cache, raster, nodata, stat)\n"
    "--\n"
    "\n"
    "Apply a statistic to a 3D raster (time, rows, cols) using the coverage cache.\n"
    "\n"
    "Args:\n"
    "    cache: CoverageCache from build_cache()\n"
    "    raster: 3D numpy array (time, rows, cols)\n"
    "    nodata: nodata value to skip\n"
    "    stat: statistic name\n"
    "\n"
    "Returns:\n"
    "    2D numpy array (time, n_basins)";

const char kApplyStatBatchWeightsDoc[] =
    "apply_stat_batch_weights(cache, raster, weights, nodata, weight_nodata, stat)\n"
    "--\n"
    "\n"
    "Apply a weighted statistic to a 3D raster (time, rows, cols) with 2D weights.\n"
    "\n"
    "Args:\n"
    "    cache: CoverageCache from build_cache()\n"
    "    raster: 3D numpy array (time, rows, cols)\n"
    "    weights: 2D numpy array (rows, cols) — same weights for all timesteps\n"
    "    nodata: nodata value for the raster\n"
    "    weight_nodata: nodata value for the weights\n"
    "    stat: statistic name\n"
    "\n"
    "Returns:\n"
    "    2D numpy array (time, n_basins)";

// ---------------------------------------------------------------------------------------
// Module definition

PyMethodDef module_functions[] = {
    {"build_cache", (PyCFunction)(void (*)(void))build_cache, METH_FASTCALL | METH_KEYWORDS, kBuildCacheDoc},
    {"apply_stat", (PyCFunction)(void (*)(void))apply_stat, METH_FASTCALL | METH_KEYWORDS, kApplyStatDoc},
    {"apply_stat_batch", (PyCFunction)(void (*)(void))apply_stat_batch, METH_FASTCALL | METH_KEYWORDS,
     kApplyStatBatchDoc},
    {"apply_stat_weights", (PyCFunction)(void (*)(void))apply_stat_weights, METH_FASTCALL | METH_KEYWORDS,
     kApplyStatWeightsDoc},
    {"apply_stat_batch_weights", (PyCFunction)(void (*)(void))apply_stat_batch_weights, METH_FASTCALL | METH_KEYWORDS,
     kApplyStatBatchWeightsDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Each step that can fail leaves what it made in the state, where clear releases it.
int module_exec(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    ModuleState& state = state_of(module);
    state.cache_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &cache_spec, nullptr));
    if (state.cache_type == nullptr) return -1;
    state.slice_container_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &slice_container_spec, nullptr));
    if (state.slice_container_type == nullptr) return -1;
    state.panic_type = PyErr_NewExceptionWithDoc(
        "_quorvalis.PanicException", "A broken internal invariant; the call was abandoned, nothing else is affected.",
        PyExc_BaseException, nullptr);
    if (state.panic_type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "CoverageCache", reinterpret_cast<PyObject*>(state.cache_type)) < 0) return -1;
    return PyModule_AddFunctions(module, module_functions);
}

// The types refer back to the module (PyType_FromModuleAndSpec), so the state takes part in
// garbage collection to let the cycle be collected when an interpreter ends.
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of(module);
    Py_VISIT(state.cache_type);
    Py_VISIT(state.slice_container_type);
    Py_VISIT(state.panic_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState& state = state_of(module);
    Py_CLEAR(state.cache_type);
    Py_CLEAR(state.slice_container_type);
    Py_CLEAR(state.panic_type);
    return 0;
}

// A module freed without the collector having cleared it (its last reference dropped once the
// types are gone) still releases the state's references: the default m_free does nothing.
void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quorvalis",    kModuleDoc,   sizeof(ModuleState), nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorvalis(void) { return PyModuleDef_Init(&module_def); }
