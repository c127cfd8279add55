"""The nine statistics against a plain reference that does the same arithmetic in the same
order, so results must agree bit for bit, plus the weighted and batched variants."""

import math

import numpy as np
import pytest

import _quorvalis as q
from conftest import COLS, GRID, ROWS, box, wkb_polygon

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
        elif stat == "sum":
            acc = acc + f * v
        elif stat == "count":
            acc = acc + f
        elif stat in ("min", "max"):
            if extreme is None or (v < extreme if stat == "min" else v > extreme):
                extreme = v
        elif stat in ("variance", "stdev"):
            new_total = total + f
            delta = v - mean
            step = (f * delta) / new_total
            mean = mean + step
            sq = sq + (delta * total) * step
            total = new_total
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


@pytest.mark.parametrize("fn", ["apply_stat_weights", "apply_stat_batch_weights"])
def test_weights_not_covering_the_raster_are_refused(fn):
    cache = q.build_cache([wkb_polygon(box(0, 0, 6, 5))], [1], *GRID, "center")
    raster = np.ones((ROWS, COLS)) if fn == "apply_stat_weights" else np.ones((2, ROWS, COLS))
    with pytest.raises(ValueError, match="weights"):
        getattr(q, fn)(cache, raster, np.ones((ROWS - 1, COLS)), NODATA, NODATA, "weighted_mean")
    larger = getattr(q, fn)(cache, raster, np.ones((ROWS + 2, COLS + 1)), NODATA, NODATA, "weighted_mean")
    assert np.all(larger == 1.0)


@pytest.mark.parametrize("bad", ["Mean", " mean", "avg", ""])
def test_unknown_statistic(box_cache, raster, bad):
    cache, _ = box_cache
    message = f"Unknown stat '{bad}'. Supported: " + ", ".join(STATS)
    with pytest.raises(ValueError) as err:
        q.apply_stat(cache, raster, NODATA, bad)
    assert str(err.value) == message
    with pytest.raises(ValueError):
        q.apply_stat_batch(cache, raster[None], NODATA, bad)
    # Names are checked per reduced basin, so with nothing to reduce nothing is refused.
    assert q.apply_stat_batch(cache, np.ones((0, ROWS, COLS)), NODATA, bad).shape == (0, cache.n_basins)
    assert q.apply_stat(q.build_cache([], [], *GRID), raster, NODATA, bad).shape == (0,)
