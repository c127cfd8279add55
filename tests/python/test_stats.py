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


@pytest.mark.parametrize("stat", STATS)
def test_single_raster_matches_reference(box_cache, raster, weights, stat):
    cache, covs = box_cache
    plain = q.apply_stat(cache, raster, NODATA, stat)
    weighted = q.apply_stat_weights(cache, raster, weights, NODATA, -1.0, stat)
    np.testing.assert_array_equal(plain, [reference(stat, c, raster, NODATA) for c in covs])
    np.testing.assert_array_equal(weighted, [reference(stat, c, raster, NODATA, weights, -1.0) for c in covs])


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


def test_nodata_band_and_non_finite_cells():
    cache = q.build_cache([wkb_polygon(box(0, 4, 6, 5))], [1], *GRID, "center")  # top row only
    row = np.array([[0.0, 5e-7, -5e-7, 1e-6, 2e-6, np.nan]] + [[0.0] * COLS] * (ROWS - 1))
    assert q.apply_stat(cache, row, 0.0, "count")[0] == 1.0  # only 2e-6 lies beyond the band
    assert q.apply_stat(cache, row, np.nan, "count")[0] == 5.0  # NaN nodata: every finite value
    row[0, 0] = np.inf
    assert q.apply_stat(cache, row, np.inf, "count")[0] == 4.0  # infinities never count


def test_empty_basins_give_zero_sums_and_nan_otherwise():
    cache = q.build_cache([wkb_polygon(box(0, 0, 6, 5))], [1], *GRID, "center")
    tiny = np.ones((0, 0))  # every cell of the basin lies beyond the raster
    got = {s: q.apply_stat(cache, tiny, NODATA, s)[0] for s in STATS}
    assert {s for s, v in got.items() if v == 0.0} == {"sum", "count", "weighted_sum"}
    assert all(math.isnan(v) for s, v in got.items() if s not in ("sum", "count", "weighted_sum"))
    assert np.float64(got["mean"]).view(np.uint64) == 0x7FF8000000000000


def test_weights_only_change_the_weighted_statistics(box_cache, raster, weights):
    cache, _ = box_cache
    for stat in STATS[:7]:
        np.testing.assert_array_equal(q.apply_stat_weights(cache, raster, weights, NODATA, -1.0, stat),
                                      q.apply_stat(cache, raster, NODATA, stat))
    ones = np.ones_like(raster)
    for weighted, plain in [("weighted_mean", "mean"), ("weighted_sum", "sum")]:
        np.testing.assert_array_equal(q.apply_stat(cache, raster, NODATA, weighted),
                                      q.apply_stat(cache, raster, NODATA, plain))
        np.testing.assert_array_equal(q.apply_stat_weights(cache, raster, ones, NODATA, -1.0, weighted),
                                      q.apply_stat(cache, raster, NODATA, plain))


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


def test_centre_method_end_to_end():
    # An L-shaped basin with a one-cell hole: centres strictly inside pick 7 cells.
    ell = [(0, 0), (3, 0), (3, 1), (1, 1), (1, 5), (0, 5), (0, 0)]
    holed = wkb_polygon(box(2, 1, 6, 5), box(3.2, 2.2, 3.8, 2.8)[::-1])
    cache = q.build_cache([wkb_polygon(ell), holed], [5, 6], *GRID, method="center")
    values = np.arange(ROWS * COLS, dtype=float).reshape(ROWS, COLS)
    counts = q.apply_stat(cache, values, NODATA, "count")
    np.testing.assert_array_equal(counts, [7.0, 15.0])
    ell_cells = [values[r, 0] for r in range(ROWS)] + [values[4, 1], values[4, 2]]
    assert q.apply_stat(cache, values, NODATA, "sum")[0] == sum(ell_cells)
