"""Arrays in (any memory layout, read in place; only native float64 of the right rank) and
arrays out (fresh, writeable, owning their buffer)."""

import gc
from fractions import Fraction

import numpy as np
import pytest

import _quorvalis as q
from conftest import COLS, GRID, ROWS, SQUARE, box, wkb_polygon

NODATA = -9999.0


LAYOUTS = {
    "fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "reversed": lambda a: np.flip(np.ascontiguousarray(np.flip(a))),  # every stride negative
    "strided": lambda a: np.repeat(np.repeat(a, 2, axis=-2), 3, axis=-1)[..., ::2, ::3],
    "read-only": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
    "unaligned": lambda a: np.frombuffer(bytearray(b"\0" + a.tobytes()), np.float64, offset=1).reshape(a.shape),
    "subclass": lambda a: a.view(type("Tagged", (np.ndarray,), {})),
    "masked": lambda a: np.ma.masked_array(a, mask=a > 10.0),  # the mask is not consulted
}


def all_four(cache, raster, weights, stack, stat):
    return [q.apply_stat(cache, raster, NODATA, stat),
            q.apply_stat_weights(cache, raster, weights, NODATA, -1.0, stat),
            q.apply_stat_batch(cache, stack, NODATA, stat),
            q.apply_stat_batch_weights(cache, stack, weights, NODATA, -1.0, stat)]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_layout_reads_like_its_contiguous_copy(box_cache, raster, weights, layout):
    cache, _ = box_cache
    arrays = [raster, weights, np.stack([raster, raster * 3.0, raster[::-1]])]
    for stat in ["sum", "variance", "min", "weighted_mean"]:
        want = all_four(cache, *arrays, stat)
        for got, expected in zip(all_four(cache, *map(LAYOUTS[layout], arrays), stat), want):
            np.testing.assert_array_equal(got, expected)


REFUSED = {
    "float32": lambda a: a.astype(np.float32),
    "int64": lambda a: a.astype(np.int64),
    "byte-swapped": lambda a: a.astype(">f8" if np.little_endian else "<f8"),
    "object": lambda a: a.astype(object),
    "one axis too few": lambda a: a[0],
    "one axis too many": lambda a: a[None],
    "list": lambda a: a.tolist(),
}


@pytest.mark.parametrize("kind", REFUSED)
@pytest.mark.parametrize("fn,position,name", [
    ("apply_stat", 1, "raster"), ("apply_stat_batch", 1, "raster"),
    ("apply_stat_weights", 1, "raster"), ("apply_stat_weights", 2, "weights"),
    ("apply_stat_batch_weights", 1, "raster"), ("apply_stat_batch_weights", 2, "weights"),
])
def test_arrays_of_other_types_or_ranks_are_refused(kind, fn, position, name):
    args = [q.build_cache([SQUARE], [1], *GRID), np.ones((2, ROWS, COLS) if "batch" in fn else (ROWS, COLS))]
    args += [np.ones((ROWS, COLS)), NODATA] if "weights" in fn else []
    args += [NODATA, "mean"]
    args[position] = REFUSED[kind](args[position])
    with pytest.raises(TypeError) as err:
        getattr(q, fn)(*args)
    typename = type(args[position]).__name__
    assert str(err.value) == f"argument '{name}': '{typename}' object is not an instance of 'ndarray'"
    assert type(err.value.__cause__) is TypeError


def test_scalar_arguments(raster):
    cache = q.build_cache([wkb_polygon(box(0, 0, 6, 5))], [1], *GRID)
    fives = np.where(raster > 10.0, 5.0, raster)
    want = q.apply_stat(cache, fives, 5.0, "count")
    for nodata in [5, np.float32(5.0), np.int8(5), Fraction(10, 2)]:
        np.testing.assert_array_equal(q.apply_stat(cache, fives, nodata, "count"), want)
    np.testing.assert_array_equal(q.apply_stat(cache, fives, NODATA, type("S", (str,), {})("count")),
                                  q.apply_stat(cache, fives, NODATA, "count"))
    for fn, args, name in [
        (q.apply_stat, (cache, raster, "5", "mean"), "nodata"),
        (q.apply_stat, (cache, raster, None, "mean"), "nodata"),
        (q.apply_stat_weights, (cache, raster, raster, 0.0, "x", "mean"), "weight_nodata"),
        (q.apply_stat, (cache, raster, 0.0, b"mean"), "stat"),
        (q.apply_stat, (cache, raster, 0.0, None), "stat"),
    ]:
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            fn(*args)


def test_result_arrays_are_fresh_and_own_their_buffers(box_cache, raster):
    cache, _ = box_cache
    first = q.apply_stat(cache, raster, NODATA, "mean")
    batch = q.apply_stat_batch(cache, np.stack([raster] * 3), NODATA, "mean")
    assert first.dtype == batch.dtype == np.float64 and batch.shape == (3, 4)
    assert all(a.flags.c_contiguous and a.flags.writeable for a in [first, batch])
    assert type(first.base).__name__ == type(batch.base).__name__ == "PySliceContainer"
    kept = first.copy()
    first[:] = 0.0
    np.testing.assert_array_equal(q.apply_stat(cache, raster, NODATA, "mean"), kept)
    del cache, raster
    gc.collect()
    np.testing.assert_array_equal(batch[1], kept)  # outlives the cache and the inputs
