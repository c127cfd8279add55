"""Lazy statistics of Dask-backed rasters, on the same plan as the local runner.

The plan (:mod:`quorvalis._plan`, with the raster's chunks as its blocks) packs the zones
into groups whose windows fit the memory budget. Per group and per chunk of the leading (time)
axes, one task takes the group's window ``data[..., r0:r1, c0:c1]`` (Dask assembles it from
the chunks it touches), builds the coverage of just that group's zones from their WKB (a
small argument of the task, not the whole coverage), or reads it from the coverage's file
(then the task carries only where those zones lie in it), and reduces it. Every zone's window lies
whole in its group's window, so the results are the eager ones bit for bit, for every
statistic and any chunking. One final task per leading chunk puts the groups' zones back in
input order. A zone whose own window exceeds the budget is cut into tiles by the same
plan, with Dask's chunks as its blocks (bands of whole rows where they fit), and a chain of
tasks carries its states from tile to tile in the window's order, as the local runner does:
bands give the eager results bit for bit, narrower tiles agree to rounding.

Building the graph reads no values and builds no fractions: only the zones' bounds are used.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict

import numpy as np

from . import _engine, _plan
from ._grid import row_areas
from ._labels import empty_value
from ._prepare import lazy_values
from ._raster import _numeric
from ._util import optional_import

_COVERAGES_KEPT = 4  # group coverages a worker process keeps, most recently used first
_built_coverages: OrderedDict[str, object] = OrderedDict()
_built_lock = threading.Lock()


def stats_lazy(call, cov, budget=None, as_numpy=False):
    """The prepared ``call`` of a Dask-backed raster on the coverage ``cov``: a dict of Dask
    arrays (``as_numpy``) or a lazy Dataset labelled with the zones."""
    results = reduce_lazy(lazy_values(call.src), cov.engine_wkb(), cov.grid, cov.method,
                          call.names, bounds=cov.engine_bounds(), source=cov.zone_source, nodata=call.nodata,
                          weights="area" if call.area else call.weights,
                          weights_nodata=call.weights_nodata, quantiles=call.quantiles,
                          budget=budget, min_coverage=cov.min_coverage)
    named = {s: results[e] for s, e in zip(call.stats, call.engine_names, strict=True)}
    return named if as_numpy else cov.label(named, call.src, call.stats, call.quantiles,
                                            lazy=True)


def reduce_lazy(data, prepared, grid, method, names, *, bounds, source=None, weights=None,
                nodata=None, weights_nodata=None, quantiles=(), budget=None, min_coverage=0.0):
    """Engine statistics ``names`` of a Dask array (leading..., rows, cols) on the grid,
    lazily: a dict of Dask arrays (leading..., zone[, q]). ``prepared``: the zones' WKB as
    the engine takes them (None for a missing zone); ``bounds``: their boxes, as
    :func:`quorvalis._zones.zone_bounds` gives them.
    ``source(zones)``: what a group's task
    makes its zones' coverage from (their WKB by default; a coverage file's part of them).
    ``weights``: a 2-D array on the grid, or "area", whose cell areas each task computes
    from the grid for its own rows."""
    if source is None:
        def source(zones):
            return tuple(prepared[k] for k in zones)
    da = optional_import("dask.array", "dask")
    dask = optional_import("dask", "dask")
    lead = data.ndim - 2
    rows, cols = grid.shape
    fields_at_once = int(np.prod([max(c) for c in data.chunks[:-2]])) if lead else 1
    block = (max(data.chunks[-2]), max(data.chunks[-1]))
    whole = [s for s in names if s in _plan.WHOLE_WINDOW]
    plan = _plan.plan(_plan.zone_windows(bounds, grid), (rows, cols), block,
                      _plan.parse_memory(budget), 8 * fields_at_once,
                      bands=bool(whole))
    layout = _layout(names, quantiles)
    width = layout[names[-1]][1]
    area = isinstance(weights, str) and weights == "area"
    kw = dict(grid=grid.astuple(), method=method, nodata=nodata, weights_nodata=weights_nodata,
              quantiles=tuple(quantiles), min_coverage=float(min_coverage),
              area_rows=rows if area else 0,
              # a group's coverage is worth keeping only for the next leading chunk
              keep=bool(lead) and int(np.prod([len(c) for c in data.chunks[:-2]])) > 1)
    token = dask.base.tokenize(data, prepared, kw, budget, names,
                               None if weights is None else dask.base.tokenize(weights))

    def window(task, whole=True):
        sub = data[..., task.rows, task.cols]
        if whole:
            sub = sub.rechunk(sub.chunks[:-2] + ((sub.shape[-2],), (sub.shape[-1],)))
        args = [sub]
        if weights is not None and not area:
            w = np.asarray(weights)[task.rows, task.cols]
            args.append(da.from_array(w, chunks=-1, name="quorvalis-weights-"
                                      + dask.base.tokenize(w)))
        return args

    def group(task, i):
        wkb = source(task.zones)
        key = "quorvalis-zones-" + dask.base.tokenize(wkb, kw["grid"], method,
                                                      kw["min_coverage"])
        # One leading chunk: the WKB is an argument of the group's only task. Several: it is
        # one literal of the graph that the group's tasks share, not a copy in each of them.
        # (As a separate literal for a 2-D raster it also changes Dask's order of work
        # enough to double a worker's peak memory.)
        if not kw["keep"]:
            # The window's chunks are joined inside the group's own task: as a task of its
            # own, Dask assembles windows well ahead of the slower group tasks that take
            # them and holds every one meanwhile.
            args = window(task, whole=False)
            lead_ix = tuple(f"l{d}" for d in range(lead))
            pairs = [args[0], lead_ix + ("r", "c")]
            for a in args[1:]:
                pairs += [a, ("r", "c")]
            return da.blockwise(
                _reduce_group, lead_ix + ("z", "w"), *pairs, concatenate=True,
                new_axes={"z": len(task.zones), "w": width}, zones_key=key, wkb=wkb,
                fields=tuple(names), origin=(task.rows.start, task.cols.start),
                n_weights=int(weights is not None and not area), dtype=np.float64,
                name=f"quorvalis-group-{i}-{token}", meta=np.empty((0,) * (lead + 2)), **kw)
        zones = dask.delayed(wkb, name=key, pure=True, traverse=False)
        return da.map_blocks(
            _reduce_group, *window(task), zones, zones_key=key, wkb=None, fields=tuple(names),
            origin=(task.rows.start, task.cols.start),
            n_weights=int(weights is not None and not area),
            dtype=np.float64,
            name=f"quorvalis-group-{i}-{token}", meta=np.empty((0,) * (lead + 2)),
            chunks=data.chunks[:-2] + ((len(task.zones),), (width,)), **kw)

    def chain(k, tasks):
        """Zone ``k``, cut into tiles (``tasks``, top to bottom; bands of whole rows where
        they fit): per leading chunk, one task per tile continues what the tiles above gave,
        the engine's streaming states and the order statistics' sums (``_plan.Carried``), and
        a last one reads the statistics off."""
        src = source(np.asarray([k], np.intp))
        key = "quorvalis-zones-" + dask.base.tokenize(src, kw["grid"], method, kw["min_coverage"])
        zone = dask.delayed(src, name=key, pure=True, traverse=False)
        subs = [window(t)[0] for t in tasks]
        blocks = [s.to_delayed().reshape(s.numblocks[:-2]) for s in subs]
        ws = [np.asarray(weights)[t.rows, t.cols] if weights is not None and not area else None
              for t in tasks]
        args = {n: kw[n] for n in ("grid", "method", "nodata", "weights_nodata", "quantiles",
                                   "min_coverage", "area_rows")}
        out = np.empty(tuple(len(c) for c in data.chunks[:-2]), object)
        for at in np.ndindex(out.shape):
            state = None
            for t, b, w in zip(tasks, blocks, ws, strict=True):
                state = dask.delayed(_tile, pure=True)(
                    state, b[at], zone, w, names=tuple(names), zones_key=key,
                    origin=(t.rows.start, t.cols.start), **args)
            shape = tuple(data.chunks[d][at[d]] for d in range(lead)) + (1, width)
            out[at] = da.from_delayed(dask.delayed(_chain_results, pure=True)(
                state, tuple(names), tuple(quantiles), shape), shape, dtype=np.float64)

        def joined(prefix=()):
            if len(prefix) == lead:
                return out[prefix]
            return da.concatenate([joined(prefix + (i,)) for i in range(out.shape[len(prefix)])],
                                  axis=len(prefix))
        return joined()

    pieces = [group(t, i) for i, t in enumerate(plan.tasks) if not t.part]
    for k in plan.split:
        pieces.append(chain(k, [t for t in plan.tasks if t.part and t.zones[0] == k]))
    unplaced = plan.unplaced
    if len(unplaced) or not pieces:
        fill = np.concatenate([np.full(b - a, empty_value(f))
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


def _built(wkb, key, grid, method, min_coverage, keep):
    """The group's engine coverage for this process, built at most once while kept
    (``keep``: other tasks of the group are to come)."""
    with _built_lock:
        kept = _built_coverages.get(key)
        if kept is not None:
            _built_coverages.move_to_end(key)
            return kept
    if isinstance(wkb, tuple):
        h = _engine.build(list(wkb), *grid, method=method, threads=1, min_coverage=min_coverage)
    else:  # a part of a coverage file: read, not built
        h = wkb.handle()
    if not keep:
        return h
    with _built_lock:
        _built_coverages[key] = h
        while len(_built_coverages) > _COVERAGES_KEPT:
            _built_coverages.popitem(last=False)
    return h


def _reduce_group(block, *rest, zones_key, fields, origin, n_weights, grid, method, nodata,
                  weights_nodata, quantiles, min_coverage, area_rows, keep, wkb):
    """One group's statistics over its window for one leading chunk: (leading..., zones, cols).
    ``origin``: the grid (row, col) of the window's first cell. ``area_rows``: the grid's
    rows when the weights are cell areas, made here rather than carried in the graph."""
    weights = rest[0] if n_weights else None
    h = _built(rest[-1] if wkb is None else wkb, zones_key, grid, method, min_coverage, keep)
    values = _numeric(block)
    if area_rows:
        r0 = origin[0]
        band = row_areas(grid, area_rows, r0, r0 + values.shape[-2])
        weights = np.broadcast_to(band[:, None], values.shape[-2:])
    lead = values.shape[:-2]
    fields3 = values.reshape((-1,) + values.shape[-2:]) if len(lead) != 1 else values
    out = _plan.reduce_group(h, fields3, fields, nodata=nodata, weights=weights,
                             weights_nodata=weights_nodata, quantiles=quantiles, origin=origin,
                             threads=1)
    nz = h.n_zones
    return np.concatenate([out[f].reshape(lead + (nz, -1)) for f in fields], axis=-1)


def _tile(state, block, zone, weights, *, names, zones_key, origin, grid, method, nodata,
          weights_nodata, quantiles, min_coverage, area_rows):
    """One tile of a zone's window continuing what the tiles above gave (None: the first)."""
    h = _built(zone, zones_key, grid, method, min_coverage, keep=True)
    state = _plan.Carried(h, names) if state is None else state.copy()
    values = _numeric(block)
    if area_rows:
        band = row_areas(grid, area_rows, origin[0], origin[0] + values.shape[-2])
        weights = np.broadcast_to(band[:, None], values.shape[-2:])
    state.add(h, values.reshape((-1,) + values.shape[-2:]), origin, nodata=nodata,
              weights=weights, weights_nodata=weights_nodata, quantiles=quantiles, threads=1)
    return state


def _chain_results(state, names, quantiles, shape):
    """A zone's statistics after its last tile, packed as a group task packs its results."""
    got = state.results(quantiles, stack=True)
    fields = shape[:-2]
    return np.concatenate([got[f].reshape(fields + (1, -1)) for f in names], axis=-1)


# -- raster files read through Dask -------------------------------------------------------------

def chunked(raster, band, chunks):
    """A raster read from a file as a Dask array: ``raster`` a path (GeoTIFF, VRT, COG, URL;
    NetCDF or Zarr through xarray), a rasterio dataset opened from a file, or an xarray
    object opened lazily without Dask. ``chunks``: "auto" (or True) for chunks made of whole
    blocks of the file, of about Dask's ``array.chunk-size``; or chunks as ``dask.array``
    takes them (an int, or one entry per axis). A raster already on Dask is returned as it is."""
    import dataclasses

    from ._bands import wants_bands
    from ._raster import describe, is_lazy

    da = optional_import("dask.array", "dask")
    if is_lazy(raster):
        return raster
    if wants_bands(band):
        raise ValueError("chunks= reads one band of a file at a time: give band= a number")
    chunks = "auto" if chunks is True else chunks
    src = describe(raster, band)
    if src.reader is None:
        raise ValueError("chunks= reads a raster file through Dask, and this raster is in "
                         "memory already: give it as a Dask array instead (e.g. xarray's "
                         ".chunk())")
    shape = src.shape
    if hasattr(src.data, "dims"):  # xarray opened lazily: its own variable, chunked
        stored = src.data.encoding.get("chunksizes") or src.data.encoding.get("chunks")
        previous = tuple(int(c) for c in stored) if stored and len(stored) == len(shape) else None
        sizes = _from_first_stored(da.core.normalize_chunks(chunks, shape, dtype=src.data.dtype,
                                                            previous_chunks=previous), src.block_flips)
        lazy = src.data.chunk(dict(zip(src.data.dims, sizes, strict=True)))
        return dataclasses.replace(src, data=lazy, reader=None)
    path = src.path or src.source
    rasterio = optional_import("rasterio", "io")
    with rasterio.open(path) as f:
        t, dtype = f.transform, np.dtype(f.dtypes[band - 1])
        block = tuple(int(b) for b in f.block_shapes[band - 1])
    sizes = _from_first_stored(da.core.normalize_chunks(chunks, shape, dtype=dtype,
                                                        previous_chunks=block), src.block_flips)
    reader = _FileBand(path, band, shape, dtype, t.e > 0, t.a < 0)
    dask = optional_import("dask", "dask")
    name = "quorvalis-file-" + dask.base.tokenize(reader.key, sizes)
    data = da.from_array(reader, chunks=sizes, lock=False, asarray=True, name=name,
                         meta=np.empty((0, 0), dtype))
    return dataclasses.replace(src, data=data, reader=None, stored_shape=None)


def _from_first_stored(sizes, flips):
    """Chunk sizes counted from the file's first stored row and column: on an axis that is
    read reversed (a file stored south to north, or east to west), the short chunk comes
    first in grid order, so that every chunk is made of whole blocks of the file."""
    sizes = list(sizes)
    for axis, flipped in zip((-2, -1), flips, strict=True):
        if flipped:
            sizes[axis] = tuple(reversed(sizes[axis]))
    return tuple(sizes)


class _FileBand:
    """One band of a raster file as ``dask.array.from_array`` slices it, in grid orientation
    (row 0 at the top). Each process (and thread) that reads opens the file once for itself:
    what travels in the graph is the path, never an open dataset."""

    _open = threading.local()

    def __init__(self, path, band, shape, dtype, flip_rows, flip_cols):
        self.path, self.band, self.shape, self.dtype = path, int(band), tuple(shape), dtype
        self.ndim = 2
        self.flips = (bool(flip_rows), bool(flip_cols))
        try:
            stamp = os.stat(path).st_mtime_ns
        except OSError:  # a URL or a GDAL virtual path
            stamp = None
        self.key = (path, self.band, stamp)

    def __dask_tokenize__(self):
        return self.key

    def __getitem__(self, key):
        rows, cols = (slice(*k.indices(n)[:2]) for k, n in zip(key, self.shape, strict=True))
        height, width = self.shape
        r0, r1 = (height - rows.stop, height - rows.start) if self.flips[0] else (rows.start, rows.stop)
        c0, c1 = (width - cols.stop, width - cols.start) if self.flips[1] else (cols.start, cols.stop)
        windows = optional_import("rasterio.windows", "io")
        values = self._dataset().read(self.band, window=windows.Window(c0, r0, c1 - c0, r1 - r0))
        return values[::-1 if self.flips[0] else 1, ::-1 if self.flips[1] else 1]

    def _dataset(self):
        opened = getattr(self._open, "files", None)
        if opened is None:
            opened = self._open.files = {}
        f = opened.get(self.path)
        if f is None:
            rasterio = optional_import("rasterio", "io")
            f = opened[self.path] = rasterio.open(self.path)
        return f
