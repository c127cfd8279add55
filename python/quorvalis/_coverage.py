"""The Coverage object: zones and grid in, exact fractions built once, statistics out."""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext

import numpy as np
import pandas as pd

from . import _engine, _plan
from ._bands import FIRST
from ._grid import Grid, check_same_crs
from ._labels import concat, filled, label, spread
from ._prepare import STATS, check_grid, prepare, resolve_weights
from ._raster import Raster, describe, grid_of, is_lazy
from ._results import finish, read_path, zone_table
from ._safeio import check_dense_size, check_result_size, checkpoint, naming_file, watched
from ._util import OutsideWarning, optional_import, progress_bar, user_stacklevel
from ._validate import check_invalid_option, check_unique_ids, validated
from ._zones import fit_to_grid, read_zones, zone_bounds

METHODS = ("exact", "center", "all_touched")
_BLOCK_BYTES = 64 << 20  # float64 bytes of one time chunk: bounds memory for long stacks
_ZONES_PER_BAR_STEP = 1000
# Land cover, soil or zoning rasters have tens to a few thousand classes; a continuous field
# (a temperature, an elevation in floats) has nearly one per cell, and "frac" would give
# every zone a column for each. 10,000 admits every categorical product in common use while
# 10,000 float64 columns are still only 80 kB per zone and step.
MAX_CLASSES = 10_000


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
    method : {"exact", "center", "all_touched"}
        ``"exact"``: each cell weighted by the fraction of its area inside the zone;
        ``"center"``: 1 for cells whose centre lies inside, 0 otherwise;
        ``"all_touched"``: 1 for every cell the zone covers any positive area of (the
        cells whose exact fraction is above 0), 0 otherwise.
    progress : bool
        Show a tqdm bar while the zones are built.
    threads : int
        Worker threads of the engine; 0 uses every core the process may use.
    build : bool
        Build every zone's fractions now (the default). ``False`` defers them: statistics of
        a file-backed raster then build only the fractions of the zones in each window they
        read, so memory stays within ``max_memory``; the whole coverage is built on first
        use of :meth:`fractions`, :meth:`to_sparse` or an in-memory raster.
    invalid : {"raise", "fix"}
        What to do with invalid polygons (self-crossing rings, holes outside their shell or
        overlapping): ``"raise"`` refuses them with a ``ValueError`` naming the first ones
        and why; ``"fix"`` repairs them with ``shapely.make_valid``, keeping the polygonal
        parts.
    layer : str or int, optional
        The layer of a zone file holding several (a GeoPackage): required then, since
        taking the first one silently could reduce the wrong zones.
    min_coverage : float
        Cells whose fraction (after ``method``) is below this, in [0, 1], are left out of
        every statistic; 0 (the default) keeps every covered cell.

    Examples
    --------
    >>> import shapely
    >>> grid = Grid(0, 0, 4, 4, 1, 1)
    >>> cov = Coverage([shapely.box(0.5, 0.5, 2.5, 2.5), shapely.box(3, 3, 4, 4)], grid)
    >>> cov
    <Coverage: 2 zones, Grid(0, 0, 4, 4, dx=1, dy=1; 4 x 4), method='exact'>
    >>> cov.stats(np.arange(16.0).reshape(4, 4), ["mean", "count"])
          mean  count
    zone
    0      9.0    4.0
    1      3.0    1.0
    """

    def __init__(self, zones, raster, *, id=None, method: str = "exact", progress: bool = False,
                 threads: int = 0, build: bool = True, invalid: str = "raise", layer=None,
                 min_coverage: float = 0.0):
        if method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
        min_coverage = _plan.check_min_coverage(min_coverage)
        check_invalid_option(invalid)
        zones = read_path(zones, layer)  # a file is read once: its columns are kept too
        z = read_zones(zones, id)
        check_unique_ids(z.ids)
        given = z.wkb
        z.wkb = validated(z.wkb, z.ids, invalid, z.geoms, threads)
        # the zones' boxes from the geometries already parsed, save those repaired just now
        parsed = z.geoms if z.geoms is not None else [None] * len(given)
        self._bounds = zone_bounds(z.wkb, [g if a is b else None
                                           for g, a, b in zip(parsed, given, z.wkb, strict=True)])
        grid = grid_of(raster)
        if grid is None:
            raise ValueError("a bare array carries no grid: pass a Grid, or an xarray or "
                             "rasterio raster whose coordinates give it")
        check_same_crs(z.crs, grid.crs)
        self._table = zone_table(zones)  # the zones' other columns, for include_cols
        self.ids: pd.Index = z.ids
        self.grid: Grid = grid
        self.method: str = method
        self.min_coverage: float = min_coverage
        self.crs: str | None = z.crs or grid.crs
        self._zones_crs = z.crs
        self.threads = int(threads)
        self._wkb: list[bytes | None] = z.wkb
        self._handles = None
        self._stored = None  # the fractions of a coverage file, read when needed
        self._prepared = None
        self._prepared_bounds = None
        self._check_overlap()
        if build:
            self._build(progress)

    # -- building ---------------------------------------------------------------------------

    def engine_wkb(self) -> list[bytes | None]:
        """The zones as the engine takes them: moved onto a longitude grid's turn."""
        if self._prepared is None:
            if self._bounds is None:
                self._bounds = zone_bounds(self._wkb)
            self._prepared, self._prepared_bounds = fit_to_grid(self._wkb, self.grid, self._bounds)
        return self._prepared

    def engine_bounds(self) -> np.ndarray:
        """(n, 4) xmin, ymin, xmax, ymax of each zone as the engine takes it (NaN for a zone
        without a geometry)."""
        self.engine_wkb()
        return self._prepared_bounds

    def _check_overlap(self):
        """Zones and raster that do not meet are an error naming both extents (a raster
        without a CRS and zones in metres give every zone NaN, silently); zones reaching
        beyond the raster are counted in a warning, since their statistics see only part."""
        present = np.fromiter((w is not None for w in self.engine_wkb()), bool, len(self._wkb))
        if not present.any():
            return
        b = self.engine_bounds()[present]
        g = self.grid
        meets = (b[:, 0] < g.xmax) & (b[:, 2] > g.xmin) & (b[:, 1] < g.ymax) & (b[:, 3] > g.ymin)
        if not meets.any():
            zcrs, rcrs = self._zones_crs or "no CRS", g.crs or "no CRS"
            raise ValueError(
                f"no zone overlaps the raster: the zones span x {b[:, 0].min():g}..{b[:, 2].max():g}, "
                f"y {b[:, 1].min():g}..{b[:, 3].max():g} ({zcrs}), the raster x {g.xmin:g}.."
                f"{g.xmax:g}, y {g.ymin:g}..{g.ymax:g} ({rcrs}); put both in the same CRS "
                "(zones.to_crs(...)) or check that they cover the same place")
        inside = (b[:, 0] >= g.xmin) & (b[:, 2] <= g.xmax) & (b[:, 1] >= g.ymin) & (b[:, 3] <= g.ymax)
        out = int((~inside).sum())
        if out:
            warnings.warn(f"{out} of {len(b)} zones lie wholly or partly outside the raster "
                          f"(x {g.xmin:g}..{g.xmax:g}, y {g.ymin:g}..{g.ymax:g}): their statistics "
                          "count only the cells inside it", OutsideWarning, stacklevel=user_stacklevel())

    def _build(self, progress=False):
        """Builds the engine's coverage; in slices of zones only to move a progress bar."""
        prepared = self.engine_wkb()
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
                                                 threads=self.threads,
                                                 min_coverage=self.min_coverage))
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
            if self._stored is None:
                self._build()
            else:
                every = np.arange(len(self._present))
                self._handles = [self._stored.handle(every)] if len(every) else []
        return self._handles

    def zones_present(self) -> np.ndarray:
        """Positions of the zones with a geometry, the zones that an engine coverage holds."""
        if self._handles is None and self._stored is None:
            return np.asarray([k for k, w in enumerate(self.engine_wkb()) if w is not None],
                              dtype=np.intp)
        return self._present

    def zone_handle(self, zones):
        """An engine coverage of just ``zones`` (positions of zones with a geometry, in
        increasing order): read from the coverage's file, or built from their WKB."""
        if self._stored is not None:
            return self._stored.handle(np.searchsorted(self._present, zones))
        prepared = self.engine_wkb()
        try:
            return _engine.build([prepared[k] for k in zones], *self.grid.astuple(),
                                 method=self.method, threads=self.threads,
                                 min_coverage=self.min_coverage)
        except ValueError as err:
            raise self._zone_error(err, list(zones)) from None

    def zone_source(self, zones):
        """What a task elsewhere needs to make the engine coverage of ``zones`` (as for
        :meth:`zone_handle`): where their fractions lie in the coverage's file, or their
        WKB."""
        if self._stored is not None:
            return self._stored.part(np.searchsorted(self._present, zones))
        prepared = self.engine_wkb()
        return tuple(prepared[k] for k in zones)

    def slices(self, size: int = 4096):
        """(positions, engine coverage of those zones) over every zone with a geometry, in
        order: the whole coverage as it is if it is held, else ``size`` zones at a time."""
        if self._handles is not None:
            at = 0
            for h in self._handles:
                yield self._present[at:at + h.n_zones], h
                at += h.n_zones
            return
        present = self.zones_present()
        for a in range(0, len(present), size):
            yield present[a:a + size], self.zone_handle(present[a:a + size])

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_handles"] = state["_present"] = None  # rebuilt from WKB where it lands
        state["_stored"] = None
        state["_prepared"] = state["_prepared_bounds"] = None
        return state

    def __setstate__(self, state):
        self._stored = None
        self.__dict__.update(state)

    def to_file(self, path) -> None:
        """Saves the coverage (grid, zones, ids and fractions) to one file, written atomically;
        :meth:`from_file` reads it back. The format is described in ``quorvalis._covfile``.

        Examples
        --------
        >>> cov.to_file("basins.qvcov")                                    # doctest: +SKIP
        """
        from ._covfile import write

        write(self, path)

    @classmethod
    def from_file(cls, path, raster=None) -> Coverage:
        """A coverage saved by :meth:`to_file`, with the very fractions it had. With
        ``raster`` (any raster or a Grid), a ``ValueError`` unless it is on the same grid
        and CRS.

        Examples
        --------
        >>> cov = Coverage.from_file("basins.qvcov", ds)                   # doctest: +SKIP
        """
        from ._covfile import read

        return read(cls, path, raster)

    def __len__(self):
        return len(self._wkb)

    def __repr__(self):
        floor = f", min_coverage={self.min_coverage:g}" if self.min_coverage else ""
        return (f"<Coverage: {len(self._wkb)} zone{'' if len(self._wkb) == 1 else 's'}, {self.grid!r}, "
                f"method={self.method!r}{floor}>")

    # -- the coverage itself ----------------------------------------------------------------

    def fractions(self, zone: int) -> tuple[int, int, np.ndarray]:
        """Coverage fractions of the zone at position ``zone``: (row offset, column offset,
        float32 array of the zone's window). An empty zone has a 0 x 0 window.

        Examples
        --------
        >>> import shapely
        >>> cov = Coverage([shapely.box(0.5, 0.5, 2.5, 2.5)], Grid(0, 0, 4, 4, 1, 1))
        >>> r0, c0, f = cov.fractions(0)
        >>> r0, c0
        (1, 0)
        >>> f
        array([[0.25, 0.5 , 0.25],
               [0.5 , 1.  , 0.5 ],
               [0.25, 0.5 , 0.25]], dtype=float32)
        """
        n = len(self._wkb)
        if not -n <= zone < n:
            raise IndexError(f"zone {zone} out of range for {n} zones")
        zone %= n
        if self._handles is None and self._stored is None:
            self._build()
        at = int(np.searchsorted(self._present, zone))
        if at == len(self._present) or self._present[at] != zone:
            return 0, 0, np.zeros((0, 0), np.float32)
        if self._handles is None:  # a coverage file's zone, read alone
            return self._stored.handle([at]).window(0)
        size = self._handles[0].n_zones
        return self._handles[at // size].window(at % size)

    def to_sparse(self):
        """The coverage as a ``scipy.sparse.csr_matrix`` of shape (zones, rows * cols):
        entry (k, r * cols + c) is the fraction of grid cell (r, c) inside zone k, so the
        matrix times a raster's flattened values gives each zone's "sum".

        Examples
        --------
        >>> import shapely
        >>> cov = Coverage([shapely.box(0.5, 0.5, 2.5, 2.5), shapely.box(3, 3, 4, 4)], Grid(0, 0, 4, 4, 1, 1))
        >>> m = cov.to_sparse()
        >>> m.shape, m.nnz
        ((2, 16), 10)
        >>> m @ np.arange(16.0)
        array([36.,  3.])
        """
        from ._custom import csr

        sparse = optional_import("scipy.sparse", None)
        rows, cols = self.grid.shape
        return sparse.csr_matrix(csr(self), shape=(len(self._wkb), rows * cols))

    def to_xarray(self):
        """Coverage fractions as an ``xarray.DataArray`` (zone, y, x) on the grid's cell
        centres: an exact, fractional zone mask. Dense: zones x rows x cols float32.

        Examples
        --------
        >>> import shapely
        >>> cov = Coverage([shapely.box(0.5, 0.5, 2.5, 2.5), shapely.box(3, 3, 4, 4)], Grid(0, 0, 4, 4, 1, 1))
        >>> mask = cov.to_xarray()
        >>> mask.sizes["zone"], mask.sizes["y"], mask.sizes["x"]
        (2, 4, 4)
        >>> mask.sum(["y", "x"]).values
        array([4., 1.], dtype=float32)
        """
        import xarray as xr

        rows, cols = self.grid.shape
        g = self.grid
        # the dense mask, and the sparse matrix it is made from, held at once
        check_dense_size(len(self._wkb) * rows * cols * 4, f"a dense mask of {len(self._wkb)} "
                         f"zones x {rows} x {cols} cells (float32)",
                         "use to_sparse(), which holds only the covered cells, or select "
                         "fewer zones")
        dense = self.to_sparse().toarray().reshape(len(self._wkb), rows, cols)
        names = ("lat", "lon") if g.lonlat else ("y", "x")
        return xr.DataArray(dense, dims=("zone",) + names, name="fraction", coords={
            "zone": np.asarray(self.ids),
            names[0]: g.ymax - (np.arange(rows) + 0.5) * g.dy,
            names[1]: g.xmin + (np.arange(cols) + 0.5) * g.dx})

    def cells(self, raster, *, weights=None, nodata=None, band=FIRST, chunksize=None):
        """One row per covered cell: zone, row, col, x, y (cell centre), fraction, value
        (and weight); see :func:`quorvalis.cells`."""
        from ._cells import cells

        return cells(self, raster, weights=weights, nodata=nodata, band=band,
                     chunksize=chunksize)

    # -- statistics -------------------------------------------------------------------------

    @watched
    def stats(self, raster, stats: str | Sequence[str] = ("mean",), *, weights=None,
              nodata=None, quantiles: Sequence[float] = (), band=FIRST, affine=None,
              progress: bool = False, as_numpy: bool = False, max_fields: int | None = None,
              max_memory: int | str | None = None, include_cols=None,
              include_geom: bool = False, output: str | None = None, categories=None,
              max_classes: int = MAX_CLASSES, chunks=None):
        """Per-zone statistics of a raster on this coverage's grid.

        Parameters
        ----------
        raster : xarray.DataArray, NumPy array, rasterio dataset or path
            (..., y, x); leading dimensions such as time are kept. A bare array must have
            the grid's shape, row 0 at ``ymax``.
        stats : str, list of names and functions, or dict of {label: name or function}
            Names from ``quorvalis.STATS``, ``quorvalis.DERIVED`` (cv, weighted_variance,
            weighted_stdev, area, nan), ``percentile_N`` and the aliases std, nodata,
            unique; a function ``f(values, weights)`` is called once per zone (and block of
            time steps). With ``weights``, ``"mean"`` is the weighted mean.
        weights : "area", raster, optional
            ``"area"``: the true area of each cell on the sphere (longitude/latitude grids);
            or a 2-D raster on the same grid.
        nodata : number, optional
            Overrides the nodata value found in the data (``_FillValue``, ``missing_value``,
            rasterio ``nodata``); NaN is always skipped.
        quantiles : list of float
            The q in [0, 1] for the ``"quantile"`` statistic.
        band : int or str
            Band of a GeoTIFF (1-based) or variable of a NetCDF file; refused for a raster
            that is one array already.
        affine : affine.Affine or its six numbers, optional
            The transform of a bare NumPy raster: its grid is then checked against the
            coverage's, and rows stored south to north are read reversed. Refused for a
            raster that carries its own grid.
        progress : bool
            Show a tqdm bar over time chunks, or over the windows read from a file. A Dask
            raster refuses it: its result is computed later, under Dask's own bars.
        as_numpy : bool
            Return a dict of NumPy arrays (zones on the last axis, before any quantile or
            class axis) instead of pandas/xarray.
        max_fields : int, optional
            2-D fields reduced at once; by default about 64 MiB of float64 per chunk (half
            of ``max_memory`` if it is given). A Dask raster refuses it: rechunk it instead.
        max_memory : int or str, optional
            For a raster read from a file (GeoTIFF, VRT, a rasterio dataset, or NetCDF/Zarr
            opened with xarray without Dask): the bytes of values and fractions held at
            once, e.g. ``"2GB"``; by default a quarter of the available memory, at most
            1 GiB. The raster is read window by window, each window with the zones inside
            it; the results do not depend on it (see "Larger than memory"). For a Dask
            raster it bounds each task: a group's window for one chunk of the leading axes,
            with the group's fractions.
        include_cols : list of str, optional
            Columns of the zones' GeoDataFrame copied into the result.
        include_geom, output : bool, "geodataframe"
            A GeoDataFrame with the zones' geometry and CRS (a stack: the geometry as a
            ``geometry`` coordinate over ``zone``).
        categories : dict, optional
            {value: name}: names the classes of ``frac`` and the values of ``majority`` and
            ``minority``.
        max_classes : int
            ``frac`` on a raster with more distinct values than this is a ``ValueError``
            before any per-class result is allocated (default 10,000): a continuous raster
            would give a column per value.
        chunks : "auto", int or tuple, optional
            Read a raster file (a path or rasterio dataset, or NetCDF/Zarr opened with xarray
            without Dask) through Dask in these chunks, and return the lazy result. "auto" (or
            True): whole blocks of the file, about Dask's ``array.chunk-size`` each.

        Returns
        -------
        pandas.DataFrame indexed by zone id for a 2-D raster; xarray.Dataset with dims
        (leading..., zone) for a stack.

        Examples
        --------
        >>> import shapely
        >>> cov = Coverage([shapely.box(0, 0, 4, 4)], Grid(0, 0, 4, 4, 1, 1))
        >>> data = np.arange(16.0).reshape(4, 4)
        >>> data[0, 0], data[3, 3] = np.nan, -9999
        >>> cov.stats(data, ["count", "nodata_count", "coverage"], nodata=-9999)
              count  nodata_count  coverage
        zone
        0      14.0           2.0      16.0
        """
        _check_applies(raster, band, affine)
        if chunks is not None:
            from ._dask import chunked

            raster = chunked(raster, band, chunks)
        if include_cols is not None or include_geom or output is not None or categories is not None:
            out = self.stats(raster, stats, weights=weights, nodata=nodata, quantiles=quantiles,
                             band=band, affine=affine, progress=progress, as_numpy=as_numpy,
                             max_fields=max_fields, max_memory=max_memory,
                             max_classes=max_classes)
            return finish(self, out, include_cols=include_cols, include_geom=include_geom,
                          output=output, categories=categories)
        from ._custom import plan_stats, run

        plan = plan_stats(stats, quantiles, weights is not None, STATS)
        if plan is not None:  # aliases, derived statistics, user functions
            return run(plan, self, raster, weights=weights, nodata=nodata, band=band,
                       affine=affine, progress=progress, as_numpy=as_numpy,
                       max_fields=max_fields, max_memory=max_memory, max_classes=max_classes)
        if is_lazy(raster):
            try:
                from ._dask import stats_lazy
            except ImportError as err:
                raise ImportError("Dask-backed rasters need quorvalis' Dask support "
                                  "(`pip install quorvalis[dask]`)") from err
        call = prepare(raster, stats, self.grid, self.crs, self.method, weights=weights,
                       nodata=nodata, quantiles=quantiles, band=band, affine=affine,
                       max_classes=max_classes, max_fields=max_fields, progress=progress)
        if call.lazy:
            return stats_lazy(call, self, max_memory, as_numpy)
        src, stats, quantiles, nodata = call.src, call.stats, call.quantiles, call.nodata
        weights, weights_nodata = call.weights, call.weights_nodata
        rows, cols = self.grid.shape
        lead = src.shape[:-2]
        names = call.names
        kw = dict(weights=weights, nodata=nodata, weights_nodata=weights_nodata,
                  quantiles=quantiles)
        guard = _ClassGuard(int(max_classes), nodata) if "frac" in names else None
        check_result_size(len(self._wkb), math.prod(lead), sum(
            max(len(quantiles), 1) if s == "quantile" else 1 for s in stats))
        # a file that opened may still fail to read (truncated data): name it, but leave
        # the engine's own refusals (ValueError, TypeError) as they are
        reading = naming_file(src.path, "raster file", (OSError, RuntimeError)) if src.path else nullcontext()
        with reading:
            if src.reader is not None:
                try:
                    parts = self._stats_windowed(src, names, kw, max_fields, max_memory, progress,
                                                 guard)
                finally:
                    for opened in (src, weights):
                        getattr(getattr(opened, "reader", None), "close", lambda: None)()
            else:
                if max_fields is None:  # within max_memory, as for a file, if it is given
                    per_block = _BLOCK_BYTES if max_memory is None else \
                        _plan.parse_memory(max_memory) // 2
                    max_fields = max(1, per_block // (rows * cols * 8))
                parts = []
                n_blocks = math.ceil(lead[0] * math.prod(lead[1:]) / max_fields) if lead else 1
                with progress_bar(progress, n_blocks, "reducing", "chunk") as bar:
                    for _, block in src.blocks(max_fields):
                        if guard is not None:
                            guard(block)
                        parts.append(self._reduce_block(block, names, **kw))
                        checkpoint()
                        bar.update(1)
        if lead:  # (fields, zones, ...) back to (steps, leading..., zones, ...)
            per = math.prod(lead[1:])  # (explicit, not -1: with no zones the size is 0)
            parts = [{k: v if k == "frac_classes" else v.reshape((v.shape[0] // per,) + lead[1:] + v.shape[1:])
                      for k, v in out.items()} for out in parts]
        results = concat(parts, axis=0) if lead else parts[0]
        named = {s: results[e] for s, e in zip(stats, call.engine_names, strict=True)}
        if "frac" in stats:
            named["frac_classes"] = results["frac_classes"]
        if as_numpy:
            return named
        return self.label(named, src, stats, quantiles)

    def _stats_windowed(self, src: Raster, names, kw, max_fields, max_memory, progress,
                        guard=None):
        """Statistics of a raster read window by window: one result dict per pass over the
        leading steps, as :meth:`_reduce_block` gives for the whole block."""
        budget = _plan.parse_memory(max_memory)
        shape = src.shape
        rows, cols = shape[-2:]
        steps = shape[0] if len(shape) > 2 else 1
        per_step = math.prod(shape[1:-2]) if len(shape) > 2 else 1
        windows = _plan.zone_windows(self.engine_bounds(), self.grid)
        # a coverage held whole is used whole: one window while the budget holds it
        cells = rows * cols if self._handles is not None else _plan.window_cells(
            windows, (rows, cols), src.block_shape, src.itemsize * steps * per_step)
        if max_fields is None:  # as many fields as fit half the budget over a window's cells
            max_fields = max(1, (budget // 2) // (8 * cells))
        step = max(1, max_fields // max(per_step, 1)) if len(shape) > 2 else 1
        step = min(step, max(steps, 1))
        fields = step * per_step
        per_cell = 8 * fields + (8 if isinstance(kw["weights"], Raster) else 0)
        # a zone too large for the budget is cut into tiles read top to bottom, bands of
        # whole rows where they fit (always, for the order statistics), whose cells then
        # come in the window's order
        whole = [s for s in names if s in _plan.WHOLE_WINDOW]
        plan = _plan.plan(windows, (rows, cols), src.block_shape, budget, per_cell,
                          bands=bool(whole), window_cells=cells,
                          flips=src.block_flips)
        # one window holding every zone, and the whole coverage already built: use it
        one = len(plan.tasks) == 1 and not plan.split and self._handles is not None
        leads = [slice(None)] if len(shape) == 2 else [
            slice(a, min(a + step, steps)) for a in range(0, max(steps, 1), step)]
        out = []
        w = kw["weights"]
        # The next task's window is read while the engine reduces this one's (it lets go
        # of the GIL), where two tasks' windows and fractions fit the budget at once. Reads
        # stay on this thread: its signal handlers and the reader's environment are here.
        largest = max((t.cells for t in plan.tasks), default=0)
        ahead = not one and len(plan.tasks) > 1 and \
            2 * largest * (per_cell + _plan.FRACTION_BYTES) <= budget
        with progress_bar(progress, len(plan.tasks) * len(leads), "reading", "window") as bar, \
                src.reading(), w.reading() if isinstance(w, Raster) else nullcontext(), \
                ThreadPoolExecutor(1) if ahead else nullcontext() as pool, \
                ThreadPoolExecutor(1) if ahead else nullcontext() as builder:
            share = budget // 2 if isinstance(w, Raster) else budget  # for blocks kept
            buffers = 2 if ahead else 1
            reader = _plan.BlockReader(src, plan, share, on_block=guard, buffers=buffers)
            weights = _plan.BlockReader(w, plan, share, buffers=buffers) \
                if isinstance(w, Raster) else None
            for lead in leads:
                parts, tiles = [], {}
                split = [None]  # the zone cut into tiles at hand, and its engine coverage

                def work(i, task, block, tw):
                    """Task's statistics into parts, or its tile's into tiles (what the
                    zone's tiles so far gave): one task at a time, in task order."""
                    tkw = dict(kw, weights=tw)
                    origin = (task.rows.start, task.cols.start)
                    if one:  # the whole coverage is already built and holds every zone
                        out.append(self._reduce_block(block, names, origin=origin, **tkw))
                    elif task.part:  # a zone's tiles come one after another: built once
                        k = int(task.zones[0])
                        if split[0] is None or split[0][0] != k:
                            split[0] = (k, self.zone_handle(task.zones))
                            tiles[k] = _plan.Carried(split[0][1], names)
                        tiles[k].add(split[0][1], block, origin, nodata=kw["nodata"], weights=tw,
                                     weights_nodata=kw["weights_nodata"],
                                     quantiles=kw["quantiles"], threads=self.threads)
                    else:
                        h = builds.pop(i).result() if i in builds else None
                        parts.append(self._reduce_group(task, block, names, origin, tkw, h))

                reader.start(lead)
                if weights is not None:
                    weights.start(slice(None))
                pending = None
                builds = {}  # a task's zones' engine coverage, built while its window is read

                def build(i):
                    if builder is not None and i < len(plan.tasks) and not plan.tasks[i].part:
                        builds[i] = builder.submit(self.zone_handle, plan.tasks[i].zones)

                build(0)
                for i, task in enumerate(plan.tasks):
                    block = reader.window(i)
                    tw = weights.window(i) if weights is not None else \
                        None if w is None else w[task.rows, task.cols]
                    if pending is not None:
                        pending.result()
                    build(i + 1)  # beside this task's reduction and the next one's read
                    if pool is None:
                        work(i, task, block, tw)
                    else:
                        pending = pool.submit(work, i, task, block, tw)
                    bar.update(1)
                    if hasattr(bar, "set_postfix_str"):
                        bar.set_postfix_str(f"{reader.bytes_read / 2**20:.1f} MiB read")
                if pending is not None:
                    pending.result()
                if not one:
                    # the last pass may hold fewer steps than the others
                    n = fields if lead == slice(None) else (lead.stop - lead.start) * per_step
                    out.append(self._scatter(plan, parts, tiles, names, kw, n, lead))
        return out

    def _reduce_group(self, task, block, names, origin, kw, h=None):
        """The engine's statistics of one task's zones, from a coverage of just those (``h``,
        if it is built already)."""
        h = self.zone_handle(task.zones) if h is None else h
        r1, c1 = origin[0] + block.shape[-2], origin[1] + block.shape[-1]
        for i in range(h.n_zones):  # every window whole in the block, or the results would be parts
            a, b, f = h.window(i)
            if f.size and (a < origin[0] or b < origin[1] or min(a + f.shape[0], self.grid.shape[0]) > r1
                           or min(b + f.shape[1], self.grid.shape[1]) > c1):
                raise AssertionError(f"zone {task.zones[i]}'s window leaves its task")
        return _plan.reduce_group(h, block, names, nodata=kw["nodata"], weights=kw["weights"],
                                  weights_nodata=kw["weights_nodata"], quantiles=kw["quantiles"],
                                  origin=origin, threads=self.threads)

    def _scatter(self, plan, parts, tiles, names, kw, fields, lead):
        """The groups' results, and those of zones cut into tiles, put back in input order;
        zones in no task get NaN (0 for counts)."""
        zone_axis = 0 if lead == slice(None) else 1
        for k in plan.split:
            parts.append(tiles[int(k)].results(kw["quantiles"], stack=zone_axis == 1))
        unplaced = plan.unplaced
        nothing = _engine.build([], *self.grid.astuple(), method=self.method)
        one = np.zeros((fields, 1, 1) if zone_axis else (1, 1))
        template = _engine.reduce(nothing, one, names, nodata=kw["nodata"],
                                  weights=None if kw["weights"] is None else np.ones((1, 1)),
                                  quantiles=tuple(kw["quantiles"]))
        filler = {name: arr if name == "frac_classes" else filled(arr, name, zone_axis, len(unplaced))
                  for name, arr in template.items()}
        merged = concat(parts + [filler], axis=zone_axis)
        inverse = np.argsort(np.concatenate([plan.placed, unplaced]), kind="stable")
        return {k: v if k == "frac_classes" else np.take(v, inverse, axis=zone_axis)
                for k, v in merged.items()}

    def check_grid(self, src: Raster, what: str):
        """A ValueError unless ``src`` lies on this coverage's grid and CRS."""
        check_grid(self.grid, self.crs, src, what)

    def weights_on_grid(self, weights, windowed=False):
        """The weights on this coverage's grid, and their nodata (see ``resolve_weights``)."""
        return resolve_weights(weights, self.grid, self.crs, windowed)

    def _reduce_block(self, block: np.ndarray, stats: Sequence[str], *, weights=None,
                      nodata=None, weights_nodata=None, quantiles=(), origin=(0, 0)) -> dict:
        """Engine statistics of one NumPy block, every zone in input order.

        ``block`` is (rows, cols) or (fields, rows, cols) with grid cell ``origin`` at
        [..., 0, 0]; results have the zone axis last (before any quantile/class axis).
        """
        zone_axis = block.ndim - 2
        block, nodata = _plan.exact_nodata(block, nodata)
        if weights is not None:
            weights, weights_nodata = _plan.exact_nodata(np.asarray(weights), weights_nodata)
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
        return spread(concat(parts, axis=zone_axis), present, n, zone_axis)

    def label(self, results: dict, src: Raster, stats: Sequence[str], quantiles=(), lazy=False):
        """The engine's arrays labelled with this coverage's zone ids and method."""
        return label(results, src, stats, quantiles, self.ids, self.method, lazy)


def _check_applies(raster, band, affine):
    """``band`` and ``affine`` refused where they would be ignored: a band picks one of a
    file, a rasterio dataset or a Dataset; an affine gives a bare array its grid."""
    if isinstance(raster, Raster):
        return
    bare = isinstance(raster, np.ndarray) or (is_lazy(raster) and not hasattr(raster, "dims"))
    if affine is not None and not bare:
        raise ValueError("affine= gives the grid of a bare NumPy or Dask array; this raster "
                         "carries its own grid")
    if (bare or hasattr(raster, "dims")) and not (band is FIRST or band is None or band == 1):
        raise ValueError(f"band={band!r} picks a band of a raster file or rasterio dataset, or "
                         "a variable of a Dataset; this raster is one array: select from it "
                         "first (e.g. raster[band - 1] or .sel(band=...))")


class _ClassGuard:
    """Counts the distinct valid values of the blocks read so far, and refuses ``frac`` once
    they exceed the limit: before the engine allocates a result column per class."""

    def __init__(self, limit: int, nodata):
        self.limit, self.nodata = limit, nodata
        self.seen = np.zeros(0)

    def __call__(self, block: np.ndarray):
        values = block[_plan.valid(block, self.nodata)]
        # a few times the limit of values tells a continuous raster without sorting it all
        for part in (values[:4 * self.limit + 1], values):
            found = np.union1d(self.seen, np.unique(part.astype(np.float64)))
            if len(found) > self.limit:
                raise ValueError(
                    f"'frac' gives a column per class, and the raster (dtype {block.dtype}) holds "
                    f"{len(found)} distinct values (counted so far), more than max_classes="
                    f"{self.limit}: it looks continuous, not categorical; classify it first "
                    "(e.g. numpy.digitize), or raise max_classes= (--max-classes) if every "
                    "value is a class")
        self.seen = found


@watched
def zonal_stats(zones, raster, stats: str | Sequence[str] | None = None, *, id=None,
                nodata=None, weights=None, method: str = "exact", band=FIRST,
                quantiles: Sequence[float] = (), grid: Grid | None = None, affine=None,
                progress: bool = False, threads: int = 0, max_memory: int | str | None = None,
                invalid: str = "raise", include_cols=None, include_geom: bool = False,
                output: str | None = None, categories=None, max_classes: int = MAX_CLASSES,
                layer=None, min_coverage: float = 0.0, chunks=None):
    """Per-zone statistics of a raster in one call.

    Parameters
    ----------
    zones : GeoDataFrame, GeoSeries, sequence of geometries or WKB, or a vector file path
    raster : xarray.DataArray or Dataset, rasterio dataset, raster file path, or NumPy array
    stats : str or list of str
        Default ``["count", "min", "max", "mean"]``; see ``quorvalis.STATS``.
    id, method, progress, threads, invalid, layer, min_coverage
        As for :class:`Coverage`; with a Dask raster, ``progress`` shows the building only.
    nodata, weights, band, quantiles, max_memory, include_cols, include_geom, output, categories, max_classes, chunks
        As for :meth:`Coverage.stats`. A file-backed raster is read window by window and
        only the fractions of the zones in each window are built, within ``max_memory``.
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
    >>> import shapely
    >>> zones = [shapely.box(0.5, 0.5, 2.5, 2.5), shapely.box(3, 3, 4, 4)]
    >>> zonal_stats(zones, np.arange(16.0).reshape(4, 4), ["mean", "count"], grid=Grid(0, 0, 4, 4, 1, 1))
          mean  count
    zone
    0      9.0    4.0
    1      3.0    1.0
    """
    if stats is None:
        stats = ["count", "min", "max", "mean"]
    _check_applies(raster, band, affine)
    src = raster if is_lazy(raster) else describe(raster, band, grid, affine)
    if grid is None:
        grid = src if isinstance(src, Raster) else raster
    windowed = isinstance(src, Raster) and src.reader is not None
    lazy = is_lazy(src) or chunks is not None
    cov = Coverage(zones, grid, id=id, method=method, progress=progress and not windowed,
                   threads=threads, build=not windowed, invalid=invalid, layer=layer,
                   min_coverage=min_coverage)
    return cov.stats(src, stats, weights=weights, nodata=nodata, quantiles=quantiles,
                     band=band, progress=progress and not lazy, max_memory=max_memory,
                     include_cols=include_cols, include_geom=include_geom, output=output,
                     categories=categories, max_classes=max_classes, chunks=chunks)
