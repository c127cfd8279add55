"""The module surface as a caller meets it: names, signatures, docstrings, argument binding
and conversion, and how failures surface."""

import inspect

import numpy as np
import pytest

import _quorvalis as q
from conftest import GRID, SQUARE

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
    (lambda: q.apply_stat(cache=1, raster=2, nodata=3, stat=4, x=5),
     "apply_stat() takes at most 4 keyword arguments (5 given)"),
    (lambda: q.apply_stat(1, 2, 3, 4, raster=5), "apply_stat() takes at most 4 arguments (5 given)"),
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


def test_panic_leaves_the_interpreter_and_earlier_caches_working():
    earlier = q.build_cache([SQUARE], [1], *GRID, "center")
    truncated = SQUARE[:5] + (2).to_bytes(4, "little") + SQUARE[9:]  # says 2 rings, holds 1
    for _ in range(3):
        with pytest.raises(BaseException) as err:
            q.build_cache([SQUARE, truncated], [1, 2], *GRID, "center")
        assert not isinstance(err.value, Exception)
    cls, args = type(err.value), err.value.args
    assert cls.__name__ == "PanicException" and cls.__bases__ == (BaseException,)
    assert len(args) == 1 and isinstance(args[0], str) and args[0]
    assert earlier.n_basins == 1 and q.apply_stat(earlier, np.ones((5, 6)), 0.0, "count")[0] == 4.0
