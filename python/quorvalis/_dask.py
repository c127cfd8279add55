"""Lazy statistics of Dask-backed rasters.

The graph has two layers. Each chunk of the raster is one task: the engine reduces the part of
every zone's window that lies in the chunk (``origin`` places the chunk on the grid). Then,
per chunk of the leading (time) axes, one task folds the parts of its spatial chunks together,
always in the same row-major order, into the final statistics. A raster chunked along time
only has one part per task and the fold just unpacks it, so its results are the engine's own,
bit for bit the eager ones.

The coverage travels inside the graph as one key holding the zones' WKB (the package's
``Coverage`` pickles itself that way). Each worker process builds the engine's coverage from it
once, at the first task that needs it, and keeps it for the tasks that follow.
"""

from __future__ import annotations

import threading
from collections import OrderedDict

import numpy as np

from ._raster import Raster, _numeric, describe
from ._util import optional_import

# Statistics that need all of a zone's window at once: an order statistic or a count of
# distinct values of a whole window cannot be put together from those of its parts.
WHOLE_WINDOW = ("median", "quantile", "majority", "minority", "variety", "frac")
_SUMS = {"sum", "count", "weighted_sum", "nodata_count", "coverage"}
# What each statistic needs from every spatial chunk so that the parts combine.
# "weight_total" (the sum of coverage times weight over counted cells) is not an engine
# statistic: it is the weighted sum of a raster of ones that is invalid where the data is.
_PARTS = {
    **{s: (s,) for s in _SUMS},
    "min": ("min",),
    "max": ("max",),
    "range": ("min", "max"),
    "mean": ("sum", "count"),
    "variance": ("count", "mean", "variance"),
    "stdev": ("count", "mean", "variance"),
    "weighted_mean": ("weighted_sum", "weighted_mean", "weight_total"),
}
_COVERAGES_KEPT = 4  # built coverages a worker process keeps, most recently used first
_built_coverages: OrderedDict[str, object] = OrderedDict()
_built_lock = threading.Lock()


def stats_lazy(cov, raster, stats, *, weights=None, nodata=None, quantiles=(), band=1,
               affine=None, as_numpy=False):
    """``Coverage.stats`` for a Dask array or a Dask-backed xarray object: the same result,
    lazily. Arguments as for :meth:`quorvalis.Coverage.stats`.

    Returns an ``xarray.Dataset`` of Dask arrays with dims (leading..., zone), also for a 2-D
    raster (a DataFrame cannot be lazy: ``.compute().to_dataframe()`` gives one), or a dict
    of Dask arrays with ``as_numpy=True``.
    """
    da = optional_import("dask.array", "dask")
    dask = optional_import("dask", "dask")
    from ._coverage import _engine_names

    src = describe(raster, band, None if affine is not None else cov.grid, affine)
    cov._check_grid(src, "raster")
    data = src.data.data if hasattr(src.data, "dims") else src.data
    if not hasattr(data, "dask"):
        data = da.asarray(data)
    if data.dtype.kind not in "fiub":
        raise TypeError(f"raster values must be numbers, got dtype {data.dtype}")
    if "frac" in stats:
        raise ValueError("'frac' cannot be computed lazily: its classes (the output's columns) "
                         "are only known once every chunk has been read; compute the raster's "
                         "classes first, or pass a NumPy-backed raster")
    weights, weights_nodata = cov._weights(weights)
    nodata = src.nodata if nodata is None else nodata
    names = sorted(set(_engine_names(stats, weights is not None)))
    # Bad arguments (quantiles, nodata, weights' type) fail here, not when computed: the
    # engine checks them on one cell of the raster's type.
    cov._reduce_block(_numeric(np.zeros((1, 1), data.dtype)), names, nodata=nodata,
                      weights=None if weights is None else weights[:1, :1],
                      weights_nodata=weights_nodata, quantiles=quantiles)
    lead = data.ndim - 2
    split = len(data.chunks[-2]) * len(data.chunks[-1]) > 1
    if split:
        whole = [s for s in stats if s in WHOLE_WINDOW]
        if whole:
            raise ValueError(
                f"{', '.join(map(repr, whole))} need each zone's whole window in one chunk, but "
                f"the raster is chunked along its spatial axes ({len(data.chunks[-2])} x "
                f"{len(data.chunks[-1])} chunks); rechunk it first, e.g. "
                f"{_rechunk_hint(src, data)}, with smaller chunks along time to keep their size")
        fields = sorted({p for s in names for p in _PARTS[s]})
    else:
        fields = names
    widths = [len(quantiles) if f == "quantile" else 1 for f in fields]
    offsets = np.concatenate([[0], np.cumsum(widths)]).astype(int)
    n_zones = len(cov)

    token = dask.base.tokenize(cov._wkb, cov.grid.astuple(), cov.method)
    shared = dask.delayed(cov, name="quorvalis-coverage-" + token, pure=True, traverse=False)
    args = [data]
    if weights is not None:
        args.append(da.from_array(np.asarray(weights), chunks=data.chunks[-2:],
                                  name="quorvalis-weights-" + dask.base.tokenize(weights)))
    parts = da.map_blocks(
        _reduce_chunk, *args, shared, zones_key=token, fields=tuple(fields), nodata=nodata,
        weights_nodata=weights_nodata, quantiles=tuple(quantiles), n_weights=len(args) - 1,
        name="quorvalis-part-" + dask.base.tokenize(data, args[1:], token, fields, nodata,
                                                    weights_nodata, quantiles),
        new_axis=[lead, lead + 1], dtype=np.float64, meta=np.empty((0,) * (lead + 4)),
        chunks=data.chunks[:-2] + ((n_zones,), (int(offsets[-1]),))
        + ((1,) * len(data.chunks[-2]), (1,) * len(data.chunks[-1])))
    # All parts of one time chunk in one block, then folded into the requested statistics.
    parts = parts.rechunk({lead + 2: -1, lead + 3: -1})
    layout = {f: (int(offsets[i]), int(offsets[i + 1])) for i, f in enumerate(fields)}
    out_fields = names
    out_widths = [len(quantiles) if f == "quantile" else 1 for f in out_fields]
    out_offsets = np.concatenate([[0], np.cumsum(out_widths)]).astype(int)
    final = parts.map_blocks(
        _fold, layout=layout, names=tuple(out_fields), split=split, drop_axis=[lead + 2, lead + 3],
        dtype=np.float64, meta=np.empty((0,) * (lead + 2)),
        chunks=data.chunks[:-2] + ((n_zones,), (int(out_offsets[-1]),)))

    results = {}
    for stat, engine_name in zip(stats, _engine_names(stats, weights is not None), strict=True):
        k = out_fields.index(engine_name)
        a, b = int(out_offsets[k]), int(out_offsets[k + 1])
        results[stat] = final[..., a:b] if engine_name == "quantile" else final[..., a]
    if as_numpy:
        return results
    if src.lead_dims:
        return cov._label(results, src, stats, quantiles)
    return _label_2d(cov, results, src, stats, quantiles)


def _rechunk_hint(src: Raster, data) -> str:
    if hasattr(src.data, "dims"):
        ydim, xdim = map(str, src.data.dims[-2:])
        return f"raster.chunk({{{ydim!r}: -1, {xdim!r}: -1}})"
    return f"raster.rechunk({{{data.ndim - 2}: -1, {data.ndim - 1}: -1}})"


def _label_2d(cov, results, src, stats, quantiles):
    """A 2-D raster's lazy result: the eager DataFrame's columns as variables over ``zone``."""
    import xarray as xr

    coords = {"zone": ("zone", np.asarray(cov.ids), {"long_name": str(cov.ids.name or "zone")})}
    data_vars = {}
    for s in stats:
        if s == "quantile":
            coords["q"] = np.asarray(quantiles, float)
            data_vars[s] = (("zone", "q"), results[s])
        else:
            data_vars[s] = (("zone",), results[s])
    return xr.Dataset(data_vars, coords=coords,
                      attrs={"zonal_method": cov.method, "source": src.name or ""})


def _built(cov, token):
    """The engine's coverage for this process: an unpickled copy is built at most once per
    process and shared by every later task that brings the same zones and grid."""
    if cov._handles is not None:  # the caller's own object (threads) or already built
        return cov
    with _built_lock:
        kept = _built_coverages.get(token)
        if kept is None:
            cov._engine_handles  # noqa: B018  (builds it)
            _built_coverages[token] = kept = cov
            while len(_built_coverages) > _COVERAGES_KEPT:
                _built_coverages.popitem(last=False)
        else:
            _built_coverages.move_to_end(token)
    return kept


def _reduce_chunk(block, *rest, zones_key, fields, nodata, weights_nodata, quantiles, n_weights,
                  block_info=None):
    """One chunk's statistics of every zone: (leading..., zones, fields, 1, 1)."""
    weights = rest[0] if n_weights else None
    cov = _built(rest[-1], zones_key)
    loc = block_info[0]["array-location"]
    origin = (loc[-2][0], loc[-1][0])
    block = _numeric(block)
    lead = block.shape[:-2]
    fields3 = block.reshape((-1,) + block.shape[-2:]) if len(lead) != 1 else block
    engine = [f for f in fields if f != "weight_total"]
    out = cov._reduce_block(fields3, engine, weights=weights, nodata=nodata,
                            weights_nodata=weights_nodata, quantiles=quantiles, origin=origin)
    if "weight_total" in fields:
        ones = np.where(_valid(fields3, nodata), np.float32(1), np.float32(np.nan))
        out["weight_total"] = cov._reduce_block(ones, ["weighted_sum"], weights=weights,
                                                weights_nodata=weights_nodata,
                                                origin=origin)["weighted_sum"]
    n_zones = len(cov)
    packed = np.concatenate([out[f].reshape(lead + (n_zones, -1)) for f in fields], axis=-1)
    return packed[..., None, None]


def _valid(block: np.ndarray, nodata) -> np.ndarray:
    """Cells the engine counts. Floats: finite and more than 1e-6 from nodata (rounded to the
    raster's type first). Integers: not equal to the integer nodata, or to the integer within
    1e-6 of a float nodata; a nodata the type cannot hold excludes nothing."""
    if block.dtype.kind in "iu":
        if nodata is None:
            return np.ones(block.shape, bool)
        if isinstance(nodata, (int, np.integer)):
            return block != nodata
        r = np.rint(float(nodata))
        info = np.iinfo(block.dtype)
        if not (abs(r - float(nodata)) <= 1e-6 and info.min <= r <= info.max):
            return np.ones(block.shape, bool)
        return block != int(r)
    values = block.astype(np.float64)
    ok = np.isfinite(values)
    if nodata is None or np.isnan(float(nodata)):
        return ok
    nd = float(nodata)
    if abs(nd) <= np.finfo(block.dtype).max:
        nd = float(block.dtype.type(nd))
    return ok & (np.abs(values - nd) > 1e-6)


def _fold(parts, *, layout, names, split):
    """Final statistics of one time chunk from its spatial parts (..., zones, fields, ny, nx).

    Parts are taken in row-major order of the chunks. A zone whose counted cells all lie in
    one chunk gets that chunk's engine result unchanged; otherwise sums are added, extremes
    compared, means formed from sums and weights, and variances merged pairwise (Chan, Golub
    and LeVeque), never from sums of squares.
    """
    ny, nx = parts.shape[-2:]
    seq = [parts[..., i, j] for i in range(ny) for j in range(nx)]

    def field(name):
        a, b = layout[name]
        return [p[..., a:b] if b - a > 1 else p[..., a] for p in seq]

    out = []
    for name in names:
        if not split:
            out.append(field(name)[0].reshape(parts.shape[:-3] + (-1,)))
            continue
        if name in _SUMS:
            value = _add(field(name))
        elif name == "min":
            value = _fold_extreme(field("min"), np.fmin)
        elif name == "max":
            value = _fold_extreme(field("max"), np.fmax)
        elif name == "range":
            value = _fold_extreme(field("max"), np.fmax) - _fold_extreme(field("min"), np.fmin)
        elif name == "mean":
            w = _add(field("count"))
            s = _add(field("sum"))
            with np.errstate(invalid="ignore", divide="ignore"):
                value = np.where(w > 0, s / np.where(w > 0, w, 1), np.nan)
        elif name in ("variance", "stdev"):
            var = _fold_variance(field("count"), field("mean"), field("variance"))
            value = np.sqrt(var) if name == "stdev" else var
        elif name == "weighted_mean":
            value = _fold_weighted_mean(field("weighted_sum"), field("weighted_mean"),
                                        field("weight_total"))
        else:  # refused before the graph was built
            raise AssertionError(name)
        out.append(value[..., None])
    return np.concatenate(out, axis=-1)


def _add(values):
    total = values[0].copy()
    for v in values[1:]:
        total += v
    return total


def _fold_extreme(values, pick):
    """fmin/fmax skip the NaN of chunks where a zone counted nothing."""
    acc = values[0].copy()
    for v in values[1:]:
        acc = pick(acc, v)
    return acc


def _fold_variance(weights, means, variances):
    """Pairwise merge of (total weight, mean, population variance). A part with no weight
    leaves the other unchanged, so a zone seen by one chunk keeps its engine result."""
    w, m, var = weights[0].copy(), means[0].copy(), variances[0].copy()
    for wb, mb, vb in zip(weights[1:], means[1:], variances[1:]):
        take_b = (w <= 0) & (wb > 0)
        both = (w > 0) & (wb > 0)
        with np.errstate(invalid="ignore", divide="ignore"):
            total = w + wb
            delta = mb - m
            merged_m = m + delta * (wb / total)
            merged_q = var * w + vb * wb + delta * delta * (w * wb / total)
            merged_var = merged_q / total
        m = np.where(both, merged_m, np.where(take_b, mb, m))
        var = np.where(both, merged_var, np.where(take_b, vb, var))
        w = np.where(both | take_b, np.where(both, total, wb), w)
    return np.where(w > 0, var, np.nan)


def _fold_weighted_mean(sums, means, totals):
    """Sum over sum of weights; a zone counted in one chunk only keeps that chunk's mean."""
    s, w = _add(sums), _add(totals)
    seen = sum(((t != 0) | (x != 0)).astype(np.int64) for t, x in zip(totals, sums))
    only = np.full(s.shape, np.nan)
    for t, x, m in zip(totals, sums, means):
        alone = (seen == 1) & ((t != 0) | (x != 0))
        only = np.where(alone, m, only)
    with np.errstate(invalid="ignore", divide="ignore"):
        merged = np.where(w > 0, s / np.where(w > 0, w, 1), np.nan)
    return np.where(seen == 1, only, merged)
