"""The nine statistics against a plain reference that does the same arithmetic in the same
order, so results must agree bit for bit, plus the weighted and batched variants."""

import math

import numpy as np
import pytest

import _quorvalis as q
from conftest import COLS, GRID, ROWS, SQUARE, box, wkb_polygon

STATS = ["mean", "sum", "count", "min", "max", "variance", "stdev", "weighted_mean", "weighted_sum"]
NODATA = -9999.0


def valid(x, nodata):
    return math.isfinite(x) and (math.isnan(nodata) or abs(x - nodata) > 1e-06)


def reference(stat, cov, raster, nodata, weights=None, weight_nodata=math.nan):
    """One basin: cells in row-major order, each weighted by its coverage fraction."""
    total = acc = mean = sq = 0.0
    extreme = None
    for r, c in zip(*np.nonzero(cov > 0)):
        if r >= raster.shape[0] or c >= raster.shape[1]:
            continue
        f, v = float(cov[r, c]), float(raster[r, c])
        w = 1.0 if weights is None else float(weights[r, c])
        if not valid(v, nodata):
            continue
        if stat == "mean":
            total, acc = total + f, acc + v * f
        elif stat in ("sum", "count"):
            acc = acc + (f * v if stat == "sum" else f)
        elif stat in ("min", "max"):
            if extreme is None or (v < extreme if stat == "min" else v > extreme):
                extreme = v
        elif stat in ("variance", "stdev"):  # weighted running mean and squared deviations
            delta, new_total = v - mean, total + f
            step = (f * delta) / new_total
            mean, sq, total = mean + step, sq + (delta * total) * step, new_total
        elif weights is None or valid(w, weight_nodata):
            if stat == "weighted_mean":
                x = f * w
                total, acc = total + x, acc + v * x
            else:
                acc = acc + (f * v) * w
    if stat in ("sum", "count", "weighted_sum"):
        return acc
    if stat in ("min", "max"):
        return math.nan if extreme is None else extreme
    if not total > 0:
        return math.nan
    if stat in ("mean", "weighted_mean"):
        return acc / total
    return sq / total if stat == "variance" else math.sqrt(sq / total)


@pytest.mark.parametrize("crop", [None, (3, 4)], ids=["whole", "cropped"])
@pytest.mark.parametrize("stat", STATS)
def test_single_raster_matches_reference(box_cache, raster, weights, stat, crop):
    cache, covs = box_cache
    if crop:  # a raster smaller than the grid: two basins are left with nothing to count
        raster = raster[: crop[0], : crop[1]]
    plain = q.apply_stat(cache, raster, NODATA, stat)
    weighted = q.apply_stat_weights(cache, raster, weights, NODATA, -1.0, stat)
    np.testing.assert_array_equal(plain, [reference(stat, c, raster, NODATA) for c in covs])
    np.testing.assert_array_equal(weighted, [reference(stat, c, raster, NODATA, weights, -1.0) for c in covs])
    assert set(plain[np.isnan(plain)].view(np.uint64)) <= {0x7FF8000000000000}


@pytest.mark.parametrize("stat", STATS)
def test_batches_equal_single_calls_per_step(box_cache, raster, weights, stat):
    cache, _ = box_cache
    stack = np.stack([raster, raster * 2.0, np.full_like(raster, NODATA), raster[::-1, ::-1]])
    batch = q.apply_stat_batch(cache, stack, NODATA, stat)
    batch_w = q.apply_stat_batch_weights(cache, stack, weights, NODATA, -1.0, stat)
    assert batch.shape == batch_w.shape == (4, cache.n_basins)
    for t, step in enumerate(stack):
        np.testing.assert_array_equal(batch[t], q.apply_stat(cache, step, NODATA, stat))
        np.testing.assert_array_equal(batch_w[t], q.apply_stat_weights(cache, step, weights, NODATA, -1.0, stat))


@pytest.mark.parametrize("fn,raster", [(q.apply_stat_weights, np.ones((ROWS, COLS))),
                                       (q.apply_stat_batch_weights, np.ones((2, ROWS, COLS)))])
def test_weights_not_covering_the_raster_are_refused(fn, raster):
    cache = q.build_cache([wkb_polygon(box(0, 0, 6, 5))], [1], *GRID, "center")
    with pytest.raises(ValueError, match="weights"):
        fn(cache, raster, np.ones((ROWS - 1, COLS)), NODATA, NODATA, "weighted_mean")
    assert np.all(fn(cache, raster, np.ones((ROWS + 2, COLS + 1)), NODATA, NODATA, "weighted_mean") == 1.0)


@pytest.mark.parametrize("bad", ["Mean", " mean", "avg", ""])
def test_unknown_statistic(raster, bad):
    cache = q.build_cache([SQUARE], [1], *GRID)
    with pytest.raises(ValueError) as err:
        q.apply_stat(cache, raster, NODATA, bad)
    assert str(err.value) == f"Unknown stat '{bad}'. Supported: " + ", ".join(STATS)
    with pytest.raises(ValueError):
        q.apply_stat_batch(cache, raster[None], NODATA, bad)


@pytest.mark.parametrize("stat", ["mean", "avg"])
def test_empty_cache_or_no_time_steps_give_empty_results(stat):
    # Names are checked per reduced basin, so with nothing to reduce nothing is refused.
    empty, two = q.build_cache([], [], *GRID), q.build_cache([SQUARE] * 2, [1, 2], *GRID, "center")
    r2, r3 = np.ones((ROWS, COLS)), np.ones((4, ROWS, COLS))
    assert q.apply_stat(empty, r2, 0.0, stat).shape == q.apply_stat_weights(empty, r2, r2, 0, 0, stat).shape == (0,)
    for cache, stack, shape in [(empty, r3, (4, 0)), (two, r3[:0], (0, 2))]:
        assert q.apply_stat_batch(cache, stack, 0.0, stat).shape == shape
        assert q.apply_stat_batch_weights(cache, stack, r2, 0.0, 0.0, stat).shape == shape
