"""The Coverage object: zones and grid in, exact fractions built once, statistics out."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
import pandas as pd

from . import _engine
from ._grid import Grid, cell_areas, check_same_crs
from ._raster import Raster, describe, is_lazy
from ._util import optional_import, progress_bar
from ._zones import fit_to_grid, read_zones

STATS: tuple[str, ...] = tuple(_engine.STATS)
METHODS = ("exact", "center")
# Statistics that count rather than measure: 0, not NaN, for a zone that covers nothing,
# and the raster's units do not apply to them.
_COUNT_LIKE = {"sum", "count", "weighted_sum", "nodata_count", "coverage", "variety"}
_UNITLESS = _COUNT_LIKE | {"variance", "frac"}
_BLOCK_BYTES = 64 << 20  # float64 bytes of one time chunk: bounds memory for long stacks
_ZONES_PER_BAR_STEP = 1000


class Coverage:
    """Exact coverage fractions of zones over a grid, built once and reused for any raster
    on that grid.

    Parameters
    ----------
    zones : GeoDataFrame, GeoSeries, sequence of shapely geometries or WKB bytes, or path
        Polygon and MultiPolygon zones. Empty or missing geometries are kept and give NaN
        (0 for counts); other geometry types raise ``ValueError``.
    raster : xarray.DataArray or Dataset, rasterio dataset, file path, or Grid
        Where the grid comes from: coordinates, affine transform, or an explicit ``Grid``.
    id : str or sequence, optional
        Column of a GeoDataFrame holding the zone ids (default: its index), or the ids
        themselves for other inputs (default: 0..n-1).
    method : {"exact", "center"}
        ``"exact"``: each cell weighted by the fraction of its area inside the zone;
        ``"center"``: 1 for cells whose centre lies inside, 0 otherwise.
    progress : bool
        Show a tqdm bar while the zones are built.
    threads : int
        Worker threads of the engine; 0 uses every core the process may use.

    Examples
    --------
    >>> cov = Coverage(basins, ds, id="HYBAS_ID")                      # doctest: +SKIP
    >>> cov.stats(ds["t2m"], ["mean", "max"], weights="area")          # doctest: +SKIP
    """

    def __init__(self, zones, raster, *, id=None, method: str = "exact", progress: bool = False,
                 threads: int = 0):
        if method not in METHODS:
            raise ValueError(f"method must be 'exact' or 'center', not {method!r}")
        z = read_zones(zones, id)
        grid = raster if isinstance(raster, Grid) else describe(raster, None).grid
        if grid is None:
            raise ValueError("a bare array carries no grid: pass a Grid, or an xarray or "
                             "rasterio raster whose coordinates give it")
        check_same_crs(z.crs, grid.crs)
        self.ids: pd.Index = z.ids
        self.grid: Grid = grid
        self.method: str = method
        self.crs: str | None = z.crs or grid.crs
        self.threads = int(threads)
        self._wkb: list[bytes | None] = z.wkb
        self._handles = None
        self._build(progress)

    # -- building ---------------------------------------------------------------------------

    def _build(self, progress=False):
        """Builds the engine's coverage; in slices of zones only to move a progress bar."""
        prepared = fit_to_grid(self._wkb, self.grid)
        present = [k for k, w in enumerate(prepared) if w is not None]
        step = _ZONES_PER_BAR_STEP if progress else max(len(present), 1)
        handles = []
        with progress_bar(progress, len(self._wkb), "building coverage", "zone") as bar:
            bar.update(len(self._wkb) - len(present))
            for start in range(0, len(present), step):
                chunk = present[start:start + step]
                try:
                    handles.append(_engine.build([prepared[k] for k in chunk],
                                                 *self.grid.astuple(), method=self.method,
                                                 threads=self.threads))
                except ValueError as err:
                    raise self._zone_error(err, chunk) from None
                bar.update(len(chunk))
        self._present = np.asarray(present, dtype=np.intp)
        self._handles = handles

    def _zone_error(self, err, chunk):
        if getattr(err, "zone", None) is None:
            return err
        k = chunk[err.zone]
        return ValueError(f"zone {k} (id {self.ids[k]!r}): {err.reason}")

    @property
    def _engine_handles(self):
        if self._handles is None:
            self._build()
        return self._handles

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_handles"] = state["_present"] = None  # rebuilt from WKB where it lands
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)

    def __len__(self):
        return len(self._wkb)

    def __repr__(self):
        return (f"<Coverage: {len(self._wkb)} zone{'' if len(self._wkb) == 1 else 's'}, {self.grid!r}, "
                f"method={self.method!r}>")

    # -- the coverage itself ----------------------------------------------------------------

    def fractions(self, zone: int) -> tuple[int, int, np.ndarray]:
        """Coverage fractions of the zone at position ``zone``: (row offset, column offset,
        float32 array of the zone's window). An empty zone has a 0 x 0 window.

        Examples
        --------
        >>> r0, c0, f = cov.fractions(0)                                   # doctest: +SKIP
        """
        handles = self._engine_handles
        n = len(self._wkb)
        if not -n <= zone < n:
            raise IndexError(f"zone {zone} out of range for {n} zones")
        zone %= n
        at = int(np.searchsorted(self._present, zone))
        if at == len(self._present) or self._present[at] != zone:
            return 0, 0, np.zeros((0, 0), np.float32)
        size = handles[0].n_zones
        return handles[at // size].window(at % size)

    def to_sparse(self):
        """The coverage as a ``scipy.sparse.csr_matrix`` of shape (zones, rows * cols):
        entry (k, r * cols + c) is the fraction of grid cell (r, c) inside zone k, so the
        matrix times a raster's flattened values gives each zone's "sum".

        Examples
        --------
        >>> m = cov.to_sparse(); sums = m @ np.nan_to_num(raster).ravel()  # doctest: +SKIP
        """
        sparse = optional_import("scipy.sparse", None)
        rows, cols = self.grid.shape
        handles, n = self._engine_handles, len(self._wkb)
        data, indices, counts, done = [], [], np.zeros(n, np.int64), 0
        for h in handles:
            d, i, p = h.csr()
            data.append(d)
            indices.append(i)
            counts[self._present[done:done + h.n_zones]] = np.diff(p)
            done += h.n_zones
        indptr = np.concatenate([[0], np.cumsum(counts)])
        empty_f, empty_i = np.zeros(0, np.float32), np.zeros(0, np.int64)
        return sparse.csr_matrix((np.concatenate(data or [empty_f]),
                                  np.concatenate(indices or [empty_i]), indptr),
                                 shape=(n, rows * cols))

    def to_xarray(self):
        """Coverage fractions as an ``xarray.DataArray`` (zone, y, x) on the grid's cell
        centres: an exact, fractional zone mask. Dense: zones x rows x cols float32.

        Examples
        --------
        >>> mask = cov.to_xarray(); (mask * ds["t2m"]).sum(["y", "x"])    # doctest: +SKIP
        """
        import xarray as xr

        rows, cols = self.grid.shape
        g = self.grid
        dense = self.to_sparse().toarray().reshape(len(self._wkb), rows, cols)
        names = ("lat", "lon") if g.lonlat else ("y", "x")
        return xr.DataArray(dense, dims=("zone",) + names, name="fraction", coords={
            "zone": np.asarray(self.ids),
            names[0]: g.ymax - (np.arange(rows) + 0.5) * g.dy,
            names[1]: g.xmin + (np.arange(cols) + 0.5) * g.dx})

    # -- statistics -------------------------------------------------------------------------

    def stats(self, raster, stats: str | Sequence[str] = ("mean",), *, weights=None,
              nodata=None, quantiles: Sequence[float] = (), band=1, affine=None,
              progress: bool = False, as_numpy: bool = False, max_fields: int | None = None):
        """Per-zone statistics of a raster on this coverage's grid.

        Parameters
        ----------
        raster : xarray.DataArray, NumPy array, rasterio dataset or path
            (..., y, x); leading dimensions such as time are kept. A bare array must have
            the grid's shape, row 0 at ``ymax``.
        stats : str or list of str
            Names from ``quorvalis.STATS``. With ``weights``, ``"mean"`` is the weighted mean.
        weights : "area", raster, optional
            ``"area"``: the true area of each cell on the sphere (longitude/latitude grids);
            or a 2-D raster on the same grid.
        nodata : number, optional
            Overrides the nodata value found in the data (``_FillValue``, ``missing_value``,
            rasterio ``nodata``); NaN is always skipped.
        quantiles : list of float
            The q in [0, 1] for the ``"quantile"`` statistic.
        band : int or str
            Band of a GeoTIFF (1-based) or variable of a NetCDF file.
        affine : affine.Affine or its six numbers, optional
            The transform of a bare NumPy raster: its grid is then checked against the
            coverage's, and rows stored south to north are read reversed.
        progress : bool
            Show a tqdm bar over time chunks.
        as_numpy : bool
            Return a dict of NumPy arrays (zones on the last axis, before any quantile or
            class axis) instead of pandas/xarray.
        max_fields : int, optional
            2-D fields reduced at once; by default about 64 MiB of float64 per chunk.

        Returns
        -------
        pandas.DataFrame indexed by zone id for a 2-D raster; xarray.Dataset with dims
        (leading..., zone) for a stack.

        Examples
        --------
        >>> cov.stats(ds["t2m"], ["mean", "max"], weights="area")          # doctest: +SKIP
        """
        stats = [stats] if isinstance(stats, str) else list(stats)
        if not stats:
            raise ValueError("no statistics asked for")
        unknown = [s for s in stats if s not in STATS]
        if unknown:
            raise ValueError(f"unknown statistic {unknown[0]!r}; available: {', '.join(STATS)}")
        if is_lazy(raster):
            try:
                from ._dask import stats_lazy
            except ImportError as err:
                raise ImportError("Dask-backed rasters need quorvalis' Dask support "
                                  "(`pip install quorvalis[dask]`)") from err
            return stats_lazy(self, raster, stats, weights=weights, nodata=nodata,
                              quantiles=quantiles, band=band, affine=affine,
                              as_numpy=as_numpy)
        src = describe(raster, band, None if affine is not None else self.grid, affine)
        self._check_grid(src, "raster")
        weights, weights_nodata = self._weights(weights)
        engine_names = _engine_names(stats, weights is not None)
        nodata = src.nodata if nodata is None else nodata
        rows, cols = self.grid.shape
        if max_fields is None:
            max_fields = max(1, _BLOCK_BYTES // (rows * cols * 8))
        lead = src.shape[:-2]
        n_blocks = math.ceil(lead[0] * math.prod(lead[1:]) / max_fields) if lead else 1
        parts = []
        with progress_bar(progress, n_blocks, "reducing", "chunk") as bar:
            for where, block in src.blocks(max_fields):
                out = self._reduce_block(block, sorted(set(engine_names)), weights=weights,
                                         nodata=nodata, weights_nodata=weights_nodata,
                                         quantiles=quantiles)
                if lead:  # (fields, zones, ...) back to (steps, leading..., zones, ...)
                    out = {k: v if k == "frac_classes" else
                           v.reshape((-1,) + lead[1:] + v.shape[1:]) for k, v in out.items()}
                parts.append(out)
                bar.update(1)
        results = _concat(parts, axis=0) if lead else parts[0]
        named = {s: results[e] for s, e in zip(stats, engine_names, strict=True)}
        if "frac" in stats:
            named["frac_classes"] = results["frac_classes"]
        if as_numpy:
            return named
        return self._label(named, src, stats, quantiles)

    def _check_grid(self, src: Raster, what: str):
        shape = src.shape[-2:]
        if shape != self.grid.shape:
            raise ValueError(f"the {what} has {shape[0]} x {shape[1]} cells but the coverage "
                             f"grid has {self.grid.shape[0]} x {self.grid.shape[1]}")
        if src.grid is not None:
            if not src.grid.matches(self.grid):
                raise ValueError(f"the {what}'s grid {src.grid!r} is not the coverage's grid "
                                 f"{self.grid!r}")
            check_same_crs(self.crs, src.grid.crs, f"the {what}")

    def _weights(self, weights):
        if weights is None:
            return None, None
        if isinstance(weights, str) and weights == "area":
            return cell_areas(self.grid), None
        src = describe(weights, 1, self.grid)
        self._check_grid(src, "weights raster")
        if len(src.shape) != 2:
            raise ValueError(f"weights must be 2-D, got shape {src.shape}")
        (_, block), = src.blocks(1)
        return block, src.nodata

    def _reduce_block(self, block: np.ndarray, stats: Sequence[str], *, weights=None,
                      nodata=None, weights_nodata=None, quantiles=(), origin=(0, 0)) -> dict:
        """Engine statistics of one NumPy block, every zone in input order.

        ``block`` is (rows, cols) or (fields, rows, cols) with grid cell ``origin`` at
        [..., 0, 0]; results have the zone axis last (before any quantile/class axis).
        """
        zone_axis = block.ndim - 2
        parts = [_engine.reduce(h, block, stats, weights=weights, nodata=nodata,
                                weights_nodata=weights_nodata, quantiles=tuple(quantiles),
                                origin=tuple(origin), threads=self.threads)
                 for h in self._engine_handles]
        n, present = len(self._wkb), self._present
        if not parts:  # every zone empty: ask the engine for the result shapes of no zones
            nothing = _engine.build([], *self.grid.astuple(), method=self.method)
            parts = [_engine.reduce(nothing, block, stats, weights=weights, nodata=nodata,
                                    weights_nodata=weights_nodata, quantiles=tuple(quantiles),
                                    origin=tuple(origin))]
        merged = _concat(parts, axis=zone_axis)
        if len(present) == n:
            return merged
        out = {}
        for name, arr in merged.items():
            if name == "frac_classes":
                out[name] = arr
                continue
            shape = list(arr.shape)
            shape[zone_axis] = n
            full = np.full(shape, 0.0 if name in _COUNT_LIKE else np.nan)
            full[(slice(None),) * zone_axis + (present,)] = arr
            out[name] = full
        return out

    def _label(self, results: dict, src: Raster, stats: Sequence[str], quantiles=()):
        """Zone ids, leading coordinates and attributes on the engine's arrays."""
        import xarray as xr

        ids = self.ids
        if not src.lead_dims:
            columns = {}
            for s in stats:
                columns.update(_columns(s, results[s], quantiles, results.get("frac_classes")))
            return pd.DataFrame(columns, index=ids)
        zone = ids.name or "zone"
        dims = src.lead_dims + ("zone",)
        coords = dict(src.coords)
        coords["zone"] = ("zone", np.asarray(ids), {"long_name": str(zone)})
        data_vars = {}
        for s in stats:
            arr, extra = results[s], ()
            if s == "quantile":
                extra, coords["q"] = ("q",), np.asarray(quantiles, float)
            elif s == "frac":
                extra, coords["class"] = ("class",), results["frac_classes"]
            attrs = {} if s in _UNITLESS else dict(src.attrs)
            data_vars[s] = (dims + extra, arr, attrs)
        return xr.Dataset(data_vars, coords=coords,
                          attrs={"zonal_method": self.method, "source": src.name or ""})


def _engine_names(stats, weighted):
    """With weights, a mean is the weighted mean: that is what the weights are for."""
    return ["weighted_mean" if weighted and s == "mean" else s for s in stats]


def _columns(stat, arr, quantiles, classes):
    if stat == "quantile":
        return {f"quantile_{q:g}": arr[:, i] for i, q in enumerate(quantiles)}
    if stat == "frac":
        return {f"frac_{c:g}": arr[:, i] for i, c in enumerate(classes)}
    return {stat: arr}


def _concat(parts: list[dict], axis: int) -> dict:
    """Joins results of several blocks (or zone slices) along ``axis``; "frac" results are
    put on the union of their classes first."""
    if len(parts) == 1:
        return parts[0]
    out = {}
    classes = None
    if "frac_classes" in parts[0]:
        classes = np.unique(np.concatenate([p["frac_classes"] for p in parts]))
        out["frac_classes"] = classes
    for name in parts[0]:
        if name == "frac_classes":
            continue
        arrays = [p[name] for p in parts]
        if name == "frac":
            aligned = []
            for p, a in zip(parts, arrays, strict=True):
                full = np.zeros(a.shape[:-1] + (len(classes),))
                full[..., np.searchsorted(classes, p["frac_classes"])] = a
                # a zone with nothing to count stays NaN in every class, not 0 in new ones
                full[np.isnan(a).all(axis=-1) if a.shape[-1] else ...] = np.nan
                aligned.append(full)
            arrays = aligned
        out[name] = np.concatenate(arrays, axis=axis)
    return out


def zonal_stats(zones, raster, stats: str | Sequence[str] | None = None, *, id=None,
                nodata=None, weights=None, method: str = "exact", band=1,
                quantiles: Sequence[float] = (), grid: Grid | None = None, affine=None,
                progress: bool = False, threads: int = 0):
    """Per-zone statistics of a raster in one call.

    Parameters
    ----------
    zones : GeoDataFrame, GeoSeries, sequence of geometries or WKB, or a vector file path
    raster : xarray.DataArray or Dataset, rasterio dataset, raster file path, or NumPy array
    stats : str or list of str
        Default ``["count", "min", "max", "mean"]``; see ``quorvalis.STATS``.
    id, method, progress, threads
        As for :class:`Coverage`.
    nodata, weights, band, quantiles
        As for :meth:`Coverage.stats`.
    grid : Grid, optional
        The grid of a bare NumPy raster, row 0 at ``ymax`` (other rasters carry their own).
    affine : affine.Affine or its six numbers, optional
        Or the transform of a bare NumPy raster, as rasterio gives it.

    Returns
    -------
    pandas.DataFrame (2-D raster) or xarray.Dataset (raster with leading dimensions), one
    row or ``zone`` entry per input zone, in input order.

    Examples
    --------
    >>> zonal_stats(basins, "dem.tif", stats=["mean", "min", "max", "count"])  # doctest: +SKIP
    """
    if stats is None:
        stats = ["count", "min", "max", "mean"]
    src = raster if is_lazy(raster) else describe(raster, band, grid, affine)
    if grid is None:
        grid = src if isinstance(src, Raster) else raster
    cov = Coverage(zones, grid, id=id, method=method, progress=progress, threads=threads)
    return cov.stats(src, stats, weights=weights, nodata=nodata, quantiles=quantiles,
                     band=band, progress=progress)
