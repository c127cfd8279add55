"""Arrays in (any memory layout, read in place; only native float64 of the right rank) and
arrays out (fresh, writeable, owning their buffer)."""

import gc
from fractions import Fraction

import numpy as np
import pytest

import _quorvalis as q
from conftest import COLS, GRID, ROWS, box, wkb_polygon

NODATA = -9999.0


class Tagged(np.ndarray):
    pass


def unaligned(a):
    buf = np.zeros(a.nbytes + 1, np.uint8)[1:]
    out = buf.view(np.float64).reshape(a.shape)
    out[...] = a
    return out


LAYOUTS = {
    "fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "reversed": lambda a: np.flip(np.ascontiguousarray(np.flip(a))),  # every stride negative
    "strided": lambda a: np.repeat(np.repeat(a, 2, axis=-2), 3, axis=-1)[..., ::2, ::3],
    "read-only": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
    "unaligned": unaligned,
    "subclass": lambda a: a.view(Tagged),
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
def test_arrays_of_other_types_or_ranks_are_refused(box_cache, kind, fn, position, name):
    cache, _ = box_cache
    args = [cache, np.ones((2, ROWS, COLS) if "batch" in fn else (ROWS, COLS))]
    if "weights" in fn:
        args += [np.ones((ROWS, COLS)), NODATA]
    args += [NODATA, "mean"]
    args[position] = REFUSED[kind](args[position])
    with pytest.raises(TypeError) as err:
        getattr(q, fn)(*args)
    typename = type(args[position]).__name__
    assert str(err.value) == f"argument '{name}': '{typename}' object is not an instance of 'ndarray'"
    assert type(err.value.__cause__) is TypeError


def test_scalar_arguments(box_cache, raster):
    cache, _ = box_cache
    fives = np.where(raster > 10.0, 5.0, raster)
    want = q.apply_stat(cache, fives, 5.0, "count")
    for nodata in [5, np.float32(5.0), np.int8(5), Fraction(10, 2)]:
        np.testing.assert_array_equal(q.apply_stat(cache, fives, nodata, "count"), want)
    assert q.apply_stat(cache, raster, NODATA, type("S", (str,), {})("count")).shape == (cache.n_basins,)
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
    assert first.dtype == np.float64 and first.flags.c_contiguous and first.flags.writeable
    assert batch.shape == (3, 4) and batch.flags.c_contiguous and batch.strides == (32, 8)
    assert type(first.base).__name__ == type(batch.base).__name__ == "PySliceContainer"
    kept = first.copy()
    first[:] = 0.0
    np.testing.assert_array_equal(q.apply_stat(cache, raster, NODATA, "mean"), kept)
    del cache, raster
    gc.collect()
    np.testing.assert_array_equal(batch[1], kept)  # outlives the cache and the inputs


def test_empty_results_have_the_right_shapes():
    empty = q.build_cache([], [], *GRID)
    some = q.build_cache([wkb_polygon(box(0, 0, 2, 2))] * 2, [1, 2], *GRID, "center")
    r2, r3 = np.ones((ROWS, COLS)), np.ones((4, ROWS, COLS))
    assert q.apply_stat(empty, r2, 0.0, "mean").shape == (0,)
    assert q.apply_stat_weights(empty, r2, r2, 0.0, 0.0, "mean").shape == (0,)
    assert q.apply_stat_batch(empty, r3, 0.0, "mean").shape == (4, 0)
    assert q.apply_stat_batch_weights(empty, r3, r2, 0.0, 0.0, "mean").shape == (4, 0)
    assert q.apply_stat_batch(some, r3[:0], 0.0, "mean").shape == (0, 2)
    assert q.apply_stat_batch_weights(some, r3[:0], r2, 0.0, 0.0, "mean").shape == (0, 2)
