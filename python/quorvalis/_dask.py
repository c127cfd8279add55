"""Lazy statistics of Dask-backed rasters, on the same plan as the local runner.

The plan (:mod:`quorvalis._plan`, with the raster's chunks as its blocks) packs the zones
into groups whose windows fit the memory budget. Per group and per chunk of the leading (time)
axes, one task takes the group's window ``data[..., r0:r1, c0:c1]`` (Dask assembles it from
the chunks it touches), builds the coverage of just that group's zones from their WKB (a
small argument of the task, not the whole coverage) and reduces it. Every zone's window lies
whole in its group's window, so the results are the eager ones bit for bit, for every
statistic and any chunking. One final task per leading chunk puts the groups' zones back in
input order. Zones whose own window exceeds the budget are cut into tiles whose parts are
folded as the local runner folds them.

Building the graph reads no values and builds no fractions: only the zones' bounds are used.
"""

from __future__ import annotations

import threading
from collections import OrderedDict

import numpy as np

from . import _engine, _plan
from ._raster import _numeric
from ._util import optional_import

_COUNT_LIKE = {"sum", "count", "weighted_sum", "nodata_count", "coverage", "variety"}
_COVERAGES_KEPT = 4  # group coverages a worker process keeps, most recently used first
_built_coverages: OrderedDict[str, object] = OrderedDict()
_built_lock = threading.Lock()
_valid = _plan.valid


def reduce_lazy(data, prepared, grid, method, names, *, weights=None, nodata=None,
                weights_nodata=None, quantiles=(), budget=None):
    """Engine statistics ``names`` of a Dask array (leading..., rows, cols) on the grid,
    lazily: a dict of Dask arrays (leading..., zone[, q]). ``prepared``: the zones' WKB as
    the engine takes them (None for a missing zone)."""
    da = optional_import("dask.array", "dask")
    dask = optional_import("dask", "dask")
    lead = data.ndim - 2
    rows, cols = grid.shape
    fields_at_once = int(np.prod([max(c) for c in data.chunks[:-2]])) if lead else 1
    block = (max(data.chunks[-2]), max(data.chunks[-1]))
    whole = [s for s in names if s in _plan.WHOLE_WINDOW]
    plan = _plan.plan(_plan.zone_windows(prepared, grid), (rows, cols), block,
                      _plan.parse_memory(budget), 8 * fields_at_once, tile=not whole)
    if plan.split and whole:
        k, need = max(plan.split.items(), key=lambda kv: kv[1])
        raise ValueError(f"{whole[0]!r} needs each zone's whole window in one task, and zone {k} "
                         f"with chunks of {fields_at_once} field(s) needs max_memory= at least "
                         f"{need}")
    parts = _plan.part_fields(names) if plan.split else []
    layout = _layout(names, quantiles)
    width = layout[names[-1]][1]
    kw = dict(grid=grid.astuple(), method=method, nodata=nodata, weights_nodata=weights_nodata,
              quantiles=tuple(quantiles))
    token = dask.base.tokenize(data, prepared, kw, budget, names,
                               None if weights is None else dask.base.tokenize(weights))

    def window(task):
        sub = data[..., task.rows, task.cols]
        sub = sub.rechunk(sub.chunks[:-2] + ((sub.shape[-2],), (sub.shape[-1],)))
        args = [sub]
        if weights is not None:
            w = np.asarray(weights)[task.rows, task.cols]
            args.append(da.from_array(w, chunks=-1, name="quorvalis-weights-"
                                      + dask.base.tokenize(w)))
        return args

    def group(task, i, fields):
        wkb = tuple(prepared[k] for k in task.zones)
        key = "quorvalis-zones-" + dask.base.tokenize(wkb, kw["grid"], method)
        zones = dask.delayed(wkb, name=key, pure=True, traverse=False)
        w = _layout(fields, quantiles)[fields[-1]][1]
        return da.map_blocks(
            _reduce_group, *window(task), zones, zones_key=key, fields=tuple(fields),
            origin=(task.rows.start, task.cols.start), n_weights=int(weights is not None),
            dtype=np.float64,
            name=f"quorvalis-group-{i}-{token}", meta=np.empty((0,) * (lead + 2)),
            chunks=data.chunks[:-2] + ((len(task.zones),), (w,)), **kw)

    pieces = [group(t, i, names) for i, t in enumerate(plan.tasks) if not t.part]
    for k in plan.split:
        tiles = [group(t, f"{k}-{i}", parts)
                 for i, t in enumerate(plan.tasks) if t.part and t.zones[0] == k]
        stacked = da.stack(tiles, axis=-1).rechunk({lead + 2: -1})
        pieces.append(stacked.map_blocks(
            _fold_tiles, layout=_layout(parts, quantiles), names=tuple(names), out=layout,
            drop_axis=lead + 2, dtype=np.float64, meta=np.empty((0,) * (lead + 2)),
            chunks=data.chunks[:-2] + ((1,), (width,)), name=f"quorvalis-fold-{k}-{token}"))
    unplaced = plan.unplaced
    if len(unplaced) or not pieces:
        fill = np.concatenate([np.full(b - a, 0.0 if f in _COUNT_LIKE else np.nan)
                               for f, (a, b) in layout.items()])
        shape = data.shape[:-2] + (len(unplaced), width)
        pieces.append(da.ones(shape, chunks=data.chunks[:-2] + ((len(unplaced),), (width,)))
                      * fill)
    merged = da.concatenate(pieces, axis=lead).rechunk({lead: -1})
    inverse = np.argsort(np.concatenate([plan.placed, unplaced]), kind="stable")
    final = merged.map_blocks(_permute, inverse=inverse, dtype=np.float64,
                              name="quorvalis-zones-in-order-" + token)
    return {f: final[..., a:b] if f == "quantile" else final[..., a]
            for f, (a, b) in layout.items()}


def _layout(fields, quantiles):
    """Columns of each field in a task's packed (..., zones, columns) result."""
    out, at = {}, 0
    for f in fields:
        w = len(quantiles) if f == "quantile" else 1
        out[f] = (at, at + w)
        at += w
    return out


def _permute(block, inverse):
    return np.take(block, inverse, axis=block.ndim - 2)


def _built(wkb, key, grid, method):
    """The group's engine coverage for this process, built at most once while kept."""
    with _built_lock:
        kept = _built_coverages.get(key)
        if kept is not None:
            _built_coverages.move_to_end(key)
            return kept
    h = _engine.build(list(wkb), *grid, method=method, threads=1)
    with _built_lock:
        _built_coverages[key] = h
        while len(_built_coverages) > _COVERAGES_KEPT:
            _built_coverages.popitem(last=False)
    return h


def _reduce_group(block, *rest, zones_key, fields, origin, n_weights, grid, method, nodata,
                  weights_nodata, quantiles):
    """One group's statistics over its window for one leading chunk: (leading..., zones, cols).
    ``origin``: the grid (row, col) of the window's first cell."""
    weights = rest[0] if n_weights else None
    h = _built(rest[-1], zones_key, grid, method)
    values = _numeric(block)
    lead = values.shape[:-2]
    fields3 = values.reshape((-1,) + values.shape[-2:]) if len(lead) != 1 else values
    engine = [f for f in fields if f != "weight_total"]
    fields3, nodata = _plan.exact_nodata(fields3, nodata)
    if weights is not None:
        weights, weights_nodata = _plan.exact_nodata(np.asarray(weights), weights_nodata)
    args = dict(weights=weights, weights_nodata=weights_nodata, origin=tuple(origin), threads=1)
    out = _engine.reduce(h, fields3, engine, nodata=nodata, quantiles=quantiles, **args)
    if "weight_total" in fields:
        ones = np.where(_valid(fields3, nodata), np.float32(1), np.float32(np.nan))
        out["weight_total"] = _engine.reduce(h, ones, ["weighted_sum"], **args)["weighted_sum"]
    nz = h.n_zones
    return np.concatenate([out[f].reshape(lead + (nz, -1)) for f in fields], axis=-1)


def _fold_tiles(stacked, layout, names, out):
    """A zone's tiles (..., 1, part columns, tiles) folded into its statistics."""
    tiles = [stacked[..., i] for i in range(stacked.shape[-1])]
    parts = [{f: t[..., a] for f, (a, _) in layout.items()} for t in tiles]
    folded = _plan.fold(parts, names)
    return np.stack([folded[f] for f in out], axis=-1)
