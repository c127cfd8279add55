"""Stand-in for the native ``quorvalis._engine`` while it is not built.

It offers the same functions over ``_quorvalis``: float64 data only (so each block is
converted, a few time steps at a time), the nine statistics, one thread. It is imported only
when ``from . import _engine`` fails; nothing else in the package knows it exists.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

import _quorvalis

STATS = ("mean", "sum", "count", "min", "max", "variance", "stdev", "weighted_mean", "weighted_sum")
_ZERO_WHEN_EMPTY = {"sum", "count", "weighted_sum"}
_STEPS_PER_CONVERSION = 16  # time steps converted to float64 at once: bounds the copy's size


class Coverage:
    """Every zone in input order; ``_quorvalis`` drops those that cover no cell."""

    def __init__(self, cache, wkb, present, grid, method):
        self._cache = cache
        self._wkb = wkb
        self.n_zones = len(wkb)
        self._present = present  # zone index of each basin of the cache
        self.grid = grid
        self.method = method
        xmin, ymin, xmax, ymax, dx, dy = grid
        self.rows = int(round((ymax - ymin) / dy)) if ymax > ymin else 0
        self.cols = int(round((xmax - xmin) / dx)) if xmax > xmin else 0

    def window(self, zone):
        """Fractions of one zone, read back through "sum" over one-cell rasters: fine for
        the small windows of a picture, hopeless for big ones."""
        import shapely

        x0, y0, x1, y1 = shapely.from_wkb(self._wkb[zone]).bounds
        xmin, _, _, ymax, dx, dy = self.grid
        c0, r0 = max(int(np.floor((x0 - xmin) / dx)), 0), max(int(np.floor((ymax - y1) / dy)), 0)
        c1 = min(int(np.ceil((x1 - xmin) / dx)), self.cols)
        r1 = min(int(np.ceil((ymax - y0) / dy)), self.rows)
        h, w = max(r1 - r0, 0), max(c1 - c0, 0)
        if h * w > 4096:
            raise NotImplementedError("large coverage windows need the package's native engine")
        if h * w == 0:
            return 0, 0, np.zeros((0, 0), np.float32)
        cache = _quorvalis.build_cache([self._wkb[zone]], [0], xmin + c0 * dx, ymax - r1 * dy,
                                       xmin + c1 * dx, ymax - r0 * dy, dx, dy, self.method)
        cells = np.eye(h * w).reshape(h * w, h, w)
        sums = _quorvalis.apply_stat_batch(cache, cells, np.nan, "sum")
        frac = (sums[:, 0] if sums.shape[1] else np.zeros(h * w)).reshape(h, w)
        return r0, c0, frac.astype(np.float32)

    def csr(self):
        raise NotImplementedError("the coverage matrix needs the package's native engine")


def build(wkb: Sequence[bytes], xmin, ymin, xmax, ymax, dx, dy, method="exact", threads=0):
    wkb = list(wkb)
    try:
        cache = _quorvalis.build_cache(wkb, list(range(len(wkb))), xmin, ymin, xmax, ymax, dx, dy,
                                       method)
    except ValueError as err:
        for k, g in enumerate(wkb):  # find the zone to name: only on the way to an error
            try:
                _quorvalis.build_cache([g], [k], xmin, ymin, xmax, ymax, dx, dy, method)
            except ValueError as one:
                raise ValueError(f"zone {k}: {one}") from None
        raise err
    grid = (float(xmin), float(ymin), float(xmax), float(ymax), float(dx), float(dy))
    return Coverage(cache, wkb, cache.ids(), grid, method)


def _number(value, name):
    if value is None:
        return np.nan  # _quorvalis always skips NaN; a NaN nodata then skips nothing more
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.number)):
        raise TypeError(f"{name} must be a number or None, not {type(value).__name__}")
    return float(value)


def reduce(cov, raster, stats, *, weights=None, nodata=None, weights_nodata=None,
           quantiles=(), origin=(0, 0), threads=0):
    if not isinstance(cov, Coverage):
        raise TypeError("cov must be a Coverage made by build()")
    raster = np.asarray(raster)
    if raster.ndim not in (2, 3):
        raise ValueError(f"raster must have 2 or 3 dimensions, not {raster.ndim}")
    if raster.dtype.kind not in "fiu":
        raise TypeError(f"raster dtype {raster.dtype} is not a supported numeric type")
    stats = list(stats)
    for s in stats:
        if s not in STATS:
            raise ValueError(f"Unknown stat '{s}'. Supported: {', '.join(STATS)}")
    if tuple(origin) != (0, 0):
        raise NotImplementedError("reducing a block at an offset needs the package's native engine")
    if raster.shape[-2:] != (cov.rows, cov.cols):
        raise ValueError(f"raster shape {raster.shape[-2:]} does not match the grid "
                         f"({cov.rows}, {cov.cols})")
    nodata = _number(nodata, "nodata")
    if weights is not None:
        weights = np.asarray(weights)
        if weights.ndim != 2 or weights.shape != raster.shape[-2:]:
            raise ValueError(f"weights shape {weights.shape} does not match the raster "
                             f"{raster.shape[-2:]}")
        weights = weights.astype(np.float64, copy=False)
        weights_nodata = _number(weights_nodata, "weights_nodata")

    lead = raster.shape[:-2]
    out = {s: np.full(lead + (cov.n_zones,), 0.0 if s in _ZERO_WHEN_EMPTY else np.nan)
           for s in stats}
    if raster.ndim == 2:
        steps = [(Ellipsis, raster)]
    else:
        steps = ((slice(t, t + _STEPS_PER_CONVERSION), raster[t:t + _STEPS_PER_CONVERSION])
                 for t in range(0, lead[0], _STEPS_PER_CONVERSION))
    for where, block in steps:
        block = block.astype(np.float64, copy=False)  # one conversion serves every statistic
        for s in stats:
            out[s][where][..., cov._present] = _apply(cov, block, s, weights, nodata,
                                                      weights_nodata)
    return out


def _apply(cov, block, stat, weights, nodata, weights_nodata):
    batch = block.ndim == 3
    if weights is None:
        fn = _quorvalis.apply_stat_batch if batch else _quorvalis.apply_stat
        return fn(cov._cache, block, nodata, stat)
    fn = _quorvalis.apply_stat_batch_weights if batch else _quorvalis.apply_stat_weights
    return fn(cov._cache, block, weights, nodata, weights_nodata, stat)
