"""The module surface as a caller meets it: names, signatures, docstrings, argument binding
and conversion, and how failures surface."""

import ast
import inspect
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _quorvalis as q
from conftest import GRID, SQUARE, box, wkb_polygon

SIGNATURES = {  # name: (signature, first line of the docstring)
    "build_cache": ("(wkb_list, id_list, xmin, ymin, xmax, ymax, dx, dy, method='exact')",
                    "Build a coverage cache from WKB geometries and grid parameters."),
    "apply_stat": ("(cache, raster, nodata, stat)",
                   "Apply a statistic to a single 2D raster using the coverage cache."),
    "apply_stat_batch": ("(cache, raster, nodata, stat)",
                         "Apply a statistic to a 3D raster (time, rows, cols) using the coverage cache."),
    "apply_stat_weights": ("(cache, raster, weights, nodata, weight_nodata, stat)",
                           "Apply a weighted statistic to a single 2D raster using the coverage cache."),
    "apply_stat_batch_weights": ("(cache, raster, weights, nodata, weight_nodata, stat)",
                                 "Apply a weighted statistic to a 3D raster (time, rows, cols) with 2D weights."),
}


def test_public_names_and_module_doc():
    assert {n for n in dir(q) if not n.startswith("_")} == {"CoverageCache", *SIGNATURES}
    assert q.__doc__.startswith("quorvalis: Fast exact zonal statistics \u2014 ") and q.__doc__.endswith(".")


def test_typed_stub_matches_the_module():
    stub = ast.parse((Path(q.__file__).parent / "_quorvalis.pyi").read_text())
    functions = {f.name: [a.arg for a in f.args.args] for f in stub.body if isinstance(f, ast.FunctionDef)}
    classes = {c.name for c in stub.body if isinstance(c, ast.ClassDef)}
    assert classes | set(functions) == {n for n in dir(q) if not n.startswith("_")}
    for name, params in functions.items():
        assert params == list(inspect.signature(getattr(q, name)).parameters), name


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature_and_docstring(name):
    fn, (signature, summary) = getattr(q, name), SIGNATURES[name]
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__.startswith(summary + "\n\nArgs:\n")
    assert all(f"    {p}" in fn.__doc__ for p in ["cache", "raster", "wkb_list", "dx, dy"] if p in signature)


@pytest.mark.parametrize("call,message", [
    (lambda: q.build_cache(), "build_cache() missing required argument 'wkb_list' (pos 1)"),
    (lambda: q.build_cache([], [], 0, 0, 1, 1, 1), "build_cache() missing required argument 'dy' (pos 8)"),
    (lambda: q.build_cache([], [], *GRID, "exact", 1), "build_cache() takes at most 9 arguments (10 given)"),
    # A surplus keyword is named, even when every parameter is given as well.
    (lambda: q.apply_stat(cache=1, raster=2, nodata=3, stat=4, x=5),
     "apply_stat() got an unexpected keyword argument 'x'"),
    (lambda: q.build_cache([], [], *GRID, "exact", foo=1), "build_cache() got an unexpected keyword argument 'foo'"),
    (lambda: q.apply_stat(1, 2, 3, 4, raster=5), "argument for apply_stat() given by name ('raster') and position (2)"),
    (lambda: q.apply_stat(1, 2, 3, 4, 5, x=6), "apply_stat() takes at most 4 arguments (6 given)"),
    (lambda: q.apply_stat(1, 2, 3, raster=4), "apply_stat() missing required argument 'stat' (pos 4)"),
    (lambda: q.apply_stat(1, 2, 3, stats=4), "apply_stat() missing required argument 'stat' (pos 4)"),
    (lambda: q.build_cache([], [], *GRID, methd="center"), "build_cache() got an unexpected keyword argument 'methd'"),
    (lambda: q.build_cache([], [], *GRID, wkb_list=[]),
     "argument for build_cache() given by name ('wkb_list') and position (1)"),
])
def test_binding_errors_use_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


@pytest.mark.parametrize("wkbs,ids", [
    ((bytearray(SQUARE), bytearray(SQUARE)), [1, 2]),
    ([list(SQUARE), memoryview(SQUARE)], np.array([1, 2])),
    ([type("B", (bytes,), {})(SQUARE), SQUARE], (np.int16(1), True + 1)),
])
def test_accepted_list_forms(wkbs, ids):
    cache = q.build_cache(wkbs, ids, *GRID, "center")
    np.testing.assert_array_equal(cache.ids(), [1, 2])
    keywords = dict(zip(["xmin", "ymin", "xmax", "ymax", "dx", "dy"], [np.float32(0), 0, 6.0, 5, 1, True]))
    same = q.build_cache(wkb_list=wkbs, id_list=ids, method="center", **keywords)
    np.testing.assert_array_equal(q.apply_stat(same, np.ones((5, 6)), 0, "count"),
                                  q.apply_stat(cache, np.ones((5, 6)), 0, "count"))


@pytest.mark.parametrize("args,error,message", [
    (("abc", [1]), TypeError, "argument 'wkb_list': "),
    ((SQUARE, [1]), TypeError, "argument 'wkb_list': 'int' object is not an instance of 'Sequence'"),
    (([SQUARE.decode("latin-1")], [1]), TypeError, "argument 'wkb_list': "),
    (([[1, 256]], [1]), OverflowError, ""),
    ((None, [1]), TypeError, "argument 'wkb_list': 'None' is not an instance of 'Sequence'"),
    (([SQUARE], {1: 1}), TypeError, "argument 'id_list': 'dict' object is not an instance of 'Sequence'"),
    (([SQUARE], "1"), TypeError, "argument 'id_list': "),
    (([SQUARE], [1.0]), TypeError, "argument 'id_list': 'float' object cannot be interpreted as an integer"),
    (([SQUARE], [2**63]), OverflowError, ""),
    ((5, [1], None), TypeError, "argument 'wkb_list': "),  # the first bad argument is the one reported
    (([SQUARE], [1], None), TypeError, "argument 'xmin': must be real number, not NoneType"),
    (([SQUARE], [1], 0, 0, 6, 5, 1, "1"), TypeError, "argument 'dy': "),
    (([SQUARE], [1], *GRID, 5), TypeError, "argument 'method': 'int' object is not an instance of 'str'"),
    (([SQUARE], [1], *GRID, "Exact"), ValueError, "Unknown method 'Exact'. Supported: 'exact', 'center'"),
    (([SQUARE], [1, 2], *GRID, "bogus"), ValueError, "wkb_list and id_list must have the same length"),
    (([SQUARE, b"\x01\x01\x00\x00\x00" + bytes(16)], [1, 2], *GRID), ValueError, "Unsupported WKB geometry type: 1"),
])
def test_refused_build_arguments(args, error, message):
    with pytest.raises(error) as err:
        q.build_cache(*args, *GRID[len(args) - 2:])
    text, cause = str(err.value), err.value.__cause__
    assert type(err.value) is error and text.startswith(message)
    if error is TypeError:  # the conversion's own error, kept as the cause, its message prefixed
        assert type(cause) is TypeError and text == text[: text.index(": ") + 2] + str(cause)
    else:
        assert cause is None and (error is OverflowError or text == message)


@pytest.mark.parametrize("obj,shown", [(None, "'None' is"), (3, "'int' object is"), (object(), "'object' object is")])
def test_cache_argument_must_be_a_coverage_cache(obj, shown):
    with pytest.raises(TypeError) as err:
        q.apply_stat(obj, np.ones((5, 6)), 0.0, "mean")
    assert str(err.value) == f"argument 'cache': {shown} not an instance of 'CoverageCache'"


NAN, INF = float("nan"), float("inf")


def multipolygon(*parts, part_type=3):
    return struct.pack("<BII", 1, 6, len(parts)) + b"".join(
        struct.pack("<BI", 1, part_type) + p[5:] for p in parts)


# Bad geometry and grids the coordinates cannot resolve are ValueErrors (so `except
# Exception` catches them) under both methods; each used to give a PanicException, a wrong
# number, NaN fractions or a silently missing basin.
@pytest.mark.parametrize("wkb,grid,message", [
    (SQUARE[:5] + (2).to_bytes(4, "little") + SQUARE[9:], GRID, "index out of range: WKB "),  # says 2 rings
    (SQUARE[:-3], GRID, "index out of range: WKB value of 90 bytes declares 5 points at offset 13"),
    (multipolygon(SQUARE, SQUARE, part_type=1003), GRID, "Unsupported WKB geometry type: 1003"),
    (multipolygon(SQUARE, part_type=0x20000003), GRID, "Unsupported WKB geometry type: 536870915"),
    (wkb_polygon(box(1, 1, 3, 3)[:2] + [(NAN, 3)] + box(1, 1, 3, 3)[3:]), GRID,
     "WKB geometry has a non-finite coordinate (NaN, 3.0)"),
    (wkb_polygon(box(0, 0, 4, 4), [(1, 1), (2, 1), (INF, 2), (1, 1)]), GRID,
     "WKB geometry has a non-finite coordinate (inf, 2.0)"),
    (SQUARE, (0, 0, 4, 4, 1e-20, 1e-20), "grid dx = 1e-20 on the extent xmin = 0.0, xmax = 4.0: coordinates"),
    (SQUARE, (1e17, 1e17, 1e17 + 64, 1e17 + 64, 1, 1), "grid dx = 1.0 on the extent xmin = 1e17, "),
    (SQUARE, (0, 0, 1e157, 1e157, 1e155, 1e155), "grid cell of dx = 1e155, dy = 1e155 has an area of inf"),
    (SQUARE, (0, 0, 1e-298, 1e-298, 1e-300, 1e-300), "grid cell of dx = 1e-300, dy = 1e-300 has an area of 0.0"),
])
@pytest.mark.parametrize("method", ["exact", "center"])
def test_bad_geometry_and_unresolvable_grids_are_value_errors(wkb, grid, message, method):
    with pytest.raises(ValueError) as err:
        q.build_cache([SQUARE, wkb], [1, 2], *grid, method)
    assert str(err.value).startswith(message)


@pytest.mark.parametrize("call,message", [
    (lambda c: q.build_cache([], [], *GRID, "ex\0act"), "Unknown method 'ex\0act'. Supported: 'exact', 'center'"),
    (lambda c: q.apply_stat(c, np.ones((5, 6)), 0.0, "me\0an"), "Unknown stat 'me\0an'. Supported: mean, sum, "),
])
def test_messages_keep_text_after_a_nul(call, message):
    with pytest.raises(ValueError) as err:
        call(q.build_cache([SQUARE], [1], *GRID))
    assert str(err.value).startswith(message)


class Items:
    """A sequence read by iteration whose __len__ raises what it is given."""

    def __init__(self, items, error):
        self.items, self.error = items, error

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise self.error


# The length only sizes a reservation: without one (TypeError) the items are still read, but
# any other error from __len__ is the caller's and comes through.
@pytest.mark.parametrize("make", [
    lambda e: (Items([SQUARE], e), [1]),
    lambda e: ([SQUARE], Items([1], e)),
    lambda e: ([Items(list(SQUARE), e)], [1]),
])
def test_length_errors_propagate_and_a_missing_length_is_only_a_hint(make):
    with pytest.raises(KeyError, match="from __len__"):
        q.build_cache(*make(KeyError("from __len__")), *GRID)
    assert q.build_cache(*make(TypeError("no length")), *GRID).n_basins == 1


# Every allocation in turn made to fail, including the result array and its holder: each
# call either succeeds or raises MemoryError, never a PanicException.
@pytest.mark.parametrize("call", [
    lambda c: q.build_cache([SQUARE], [1], *GRID),
    lambda c: c.ids(),
    lambda c: q.apply_stat(c, np.ones((5, 6)), 0.0, "mean"),
    lambda c: q.apply_stat_batch_weights(c, np.ones((2, 5, 6)), np.ones((5, 6)), 0.0, 0.0, "weighted_sum"),
])
def test_failed_allocations_are_memory_errors(call):
    testcapi = pytest.importorskip("_testcapi")
    cache = q.build_cache([SQUARE], [1], *GRID)
    outcomes = set()
    for n in range(12):
        testcapi.set_nomemory(n, n + 1)
        try:
            call(cache)
            outcomes.add("ok")
        except MemoryError:
            outcomes.add("MemoryError")
        finally:
            testcapi.remove_mem_hooks()
    assert outcomes == {"ok", "MemoryError"}


# The module keeps its types in per-module state, so a sub-interpreter may import it. NumPy
# loads in only one interpreter per process and refuses those with their own GIL, hence a
# fresh process whose main interpreter never imports it, and a sub-interpreter sharing its GIL.
SUB_INTERPRETER = """
import _interpreters, sys
interp = _interpreters.create("legacy")
error = _interpreters.run_string(interp, {code!r})
_interpreters.destroy(interp)
sys.exit(str(error) if error else 0)
"""


def test_a_sub_interpreter_can_use_the_module():
    pytest.importorskip("_interpreters")
    code = f"""
import sys, warnings
sys.path[:] = {sys.path!r}
warnings.simplefilter("ignore")  # NumPy's warning about sub-interpreters
import numpy as np, _quorvalis as q
cache = q.build_cache([{SQUARE!r}], [5], *{GRID!r})
assert list(cache.ids()) == [5] and q.apply_stat(cache, np.ones((5, 6)), 0.0, "count")[0] == 4.0
"""
    done = subprocess.run([sys.executable, "-c", SUB_INTERPRETER.format(code=code)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
