"""Rasters in: NumPy, xarray, rasterio datasets and files become one view with its grid.

Every raster is presented as (leading..., rows, cols) with row 0 at the top and column 0 at
the left; rasters stored the other way round are read through reversed views, not copied.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator
from contextlib import nullcontext
from dataclasses import dataclass, field

import numpy as np

from ._grid import Grid, affine_numbers
from ._safeio import checkpoint, naming_file
from ._util import optional_import

_X_NAMES = {"x", "lon", "long", "longitude", "easting", "projection_x_coordinate"}
_Y_NAMES = {"y", "lat", "latitude", "northing", "projection_y_coordinate"}
_LON_NAMES = {"lon", "long", "longitude"}
_PIECE_BYTES = 32 << 20  # what one read of a lazily opened file asks for at most
_XARRAY_SUFFIXES = {".nc", ".nc4", ".netcdf", ".cdf", ".h5", ".hdf5", ".zarr"}
# Attributes that describe the stored encoding, not the values a statistic returns.
_ENCODING_ATTRS = {"_FillValue", "missing_value", "scale_factor", "add_offset", "valid_range",
                   "valid_min", "valid_max", "grid_mapping", "coordinates", "_Unsigned"}


@dataclass
class Raster:
    """One raster as the package reads it."""

    data: object  # ndarray, xarray.DataArray, or a callable that loads an ndarray
    grid: Grid | None  # None for a bare array: the coverage's grid is assumed
    nodata: float | int | None = None
    lead_dims: tuple[str, ...] = ()
    coords: dict = field(default_factory=dict)
    attrs: dict = field(default_factory=dict)
    name: str | None = None
    # Rasters read window by window: reader(lead, rows, cols) gives the values of grid rows
    # and columns (row 0 at the top) for the leading slice ``lead``; None: held in memory.
    reader: object = None
    block_shape: tuple[int, int] | None = None  # the layout the file is stored in
    # whether the file stores the rows (the columns) in the other order: its blocks then
    # start at the grid's far edge
    block_flips: tuple[bool, bool] = (False, False)
    stored_shape: tuple[int, ...] | None = None  # the shape, known without reading
    source: str | None = None  # what a read failure names
    path: str | None = None  # the file read from, named in errors while reading it

    @property
    def shape(self) -> tuple[int, ...]:
        """The shape, never read from the values: a file's is known when it is opened."""
        if callable(self.data):
            if self.stored_shape is None:
                raise AssertionError("a raster read on demand must know its shape")
            return self.stored_shape
        return tuple(self.data.shape)

    def load(self):
        """The values in memory: a file is read here, once, and nowhere else."""
        if callable(self.data):
            self.data = self.data()
        return self.data

    def window(self, rows: slice, cols: slice, lead: slice = slice(None),
               out: np.ndarray | None = None) -> np.ndarray:
        """The values of one window of grid cells, as :meth:`blocks` gives them: (rows, cols)
        for a 2-D raster, (fields, rows, cols) for the steps ``lead`` of a stack. ``out``: an
        array of that shape to read into where the reader can (see :meth:`reads_into`)."""
        try:
            if out is not None and self.reads_into(out.dtype):
                values = self.reader(lead, rows, cols, out=out)
            else:
                values = _numeric(self.reader(lead, rows, cols))
        except Exception as err:
            raise OSError(f"cannot read rows {rows.start}..{rows.stop - 1}, columns "
                          f"{cols.start}..{cols.stop - 1} of {self.source or 'the raster'}: "
                          f"{err}") from err
        if values.ndim > 2:
            values = values.reshape((-1,) + values.shape[-2:])
        return values

    @property
    def itemsize(self) -> int:
        """Bytes per value as stored, where known without reading (8 otherwise)."""
        dtype = getattr(self.reader, "dtype", None)
        if dtype is None:
            dtype = getattr(self.data, "dtype", None)
        return np.dtype(dtype).itemsize if dtype is not None else 8

    def reads_into(self, dtype) -> bool:
        """Whether the reader fills an array of ``dtype`` in place (the file holds that type,
        stored in the grid's own order)."""
        into = getattr(self.reader, "into", None)
        return into is not None and into == dtype

    def reading(self):
        """The context a call reads its windows in: a file reader's own settings, if any."""
        return getattr(self.reader, "reading", nullcontext)()

    def blocks(self, max_fields: int) -> Iterator[tuple[slice, np.ndarray]]:
        """NumPy blocks of at most ``max_fields`` 2-D fields, each (fields, rows, cols), with
        the slice of the first leading axis it covers. A 2-D raster is one (rows, cols) block."""
        self.load()
        shape = self.shape
        if len(shape) == 2:
            yield slice(None), _numeric(_load(self.data, getattr(self.reader, "unit", 1)))
            return
        per_step = math.prod(shape[1:-2])
        step = max(1, max_fields // max(per_step, 1))
        for start in range(0, max(shape[0], 1), step):
            block = _numeric(_load(self.data[start:start + step], getattr(self.reader, "unit", 1)))
            yield slice(start, start + block.shape[0]), block.reshape((-1,) + shape[-2:])


def _load(view, unit: int = 1):
    """The values of a view of a lazily opened file, read a few MiB at a time along its first
    axis (in whole file chunks of ``unit``), with a checkpoint after each piece: netCDF4
    swallows a Ctrl-C that arrives while it reads, and a run must still stop within a piece,
    not after the whole window. Other views are returned as they are."""
    if (not hasattr(view, "dims") or view.chunks or view.ndim == 0
            or getattr(view.variable, "_in_memory", True)):
        return view
    n = view.shape[0]
    per = view.dtype.itemsize * math.prod(view.shape[1:])
    step = max(1, _PIECE_BYTES // max(per, 1))
    step = max(unit, step - step % unit) if unit > 1 else step
    if step >= n:
        values = view.values
        checkpoint()
        return values
    out = None
    for start in range(0, n, step):
        piece = view[start:start + step].values
        checkpoint()
        if out is None:
            out = np.empty((n,) + piece.shape[1:], piece.dtype)
        out[start:start + piece.shape[0]] = piece
    return out


def _numeric(block) -> np.ndarray:
    values = getattr(block, "values", block)  # a DataArray loads only this block
    if isinstance(values, np.ma.MaskedArray):
        return np.ma.filled(values.astype(np.float64), np.nan)
    values = np.asarray(values)
    if values.dtype.kind == "b":
        return values.view(np.uint8)
    if values.dtype.kind not in "fiu" or values.dtype.itemsize > 8:
        raise TypeError(f"raster values must be numbers, got dtype {values.dtype}")
    if values.dtype == np.float16:  # the engine reads 32- and 64-bit floats
        return values.astype(np.float32)
    if not values.dtype.isnative:  # big-endian files: one block at a time, in native order
        return values.astype(values.dtype.newbyteorder("="))
    return values


def is_lazy(raster) -> bool:
    """A Dask array, or an xarray object backed by one (also as a Raster's values)."""
    if isinstance(raster, Raster):
        return not callable(raster.data) and is_lazy(raster.data)
    if hasattr(raster, "dims"):  # asking xarray for .data would load a lazily opened file
        return bool(raster.chunks)
    return type(raster).__module__.split(".")[0] == "dask"


def describe(obj, band=1, grid: Grid | None = None, affine=None) -> Raster:
    """The package's view of any accepted raster. ``band``: 1-based band of a GeoTIFF, or the
    variable name in a NetCDF file or Dataset (for the grid alone, see :func:`grid_of`).
    ``affine``: the transform of a bare NumPy array, which then carries its own grid."""
    if isinstance(obj, Raster):
        return obj
    if isinstance(obj, (str, os.PathLike)):
        with naming_file(obj, "raster file"):
            src = _from_path(os.fspath(obj), band)
        src.path = os.fspath(obj)
        return src
    if hasattr(obj, "transform") and hasattr(obj, "read") and hasattr(obj, "count"):
        return _from_rasterio(obj, band)
    if hasattr(obj, "data_vars"):
        return _from_dataarray(_pick_variable(obj, band), obj)
    if hasattr(obj, "dims") and hasattr(obj, "coords"):
        return _from_dataarray(obj)
    if isinstance(obj, np.ndarray) or is_lazy(obj):  # a bare NumPy or Dask array
        if obj.ndim < 2:
            raise ValueError(f"a raster needs at least 2 dimensions (rows, cols), got {obj.ndim}")
        lead = ("time",) if obj.ndim == 3 else tuple(f"dim_{i}" for i in range(obj.ndim - 2))
        if affine is not None:
            grid = Grid.from_transform(affine, obj.shape, crs=grid.crs if grid else None)
            a, _, _, _, e, _ = affine_numbers(affine)
            obj = obj[..., ::-1 if e > 0 else 1, ::-1 if a < 0 else 1]  # views, not copies
        return Raster(obj, grid, lead_dims=lead)
    raise TypeError(f"cannot read a raster from a {type(obj).__name__}: give a NumPy array, "
                    "an xarray DataArray or Dataset, a rasterio dataset or a file path")


def grid_of(obj) -> Grid | None:
    """The grid a raster lies on, from its coordinates or transform, without choosing a band
    or variable and without reading any value; None for a bare array."""
    if isinstance(obj, Grid):
        return obj
    if isinstance(obj, Raster):
        return obj.grid
    if isinstance(obj, (str, os.PathLike)):
        path = os.fspath(obj)
        with naming_file(obj, "raster file"):
            ds = _open_xarray(path)
            if ds is not None:
                return grid_of(ds)
            with optional_import("rasterio", "io").open(path) as f:
                return grid_of(f)
    if hasattr(obj, "transform") and hasattr(obj, "read") and hasattr(obj, "count"):
        return Grid.from_transform(obj.transform, (obj.height, obj.width), crs=obj.crs)
    if hasattr(obj, "data_vars"):  # any gridded variable has the grid
        gridded = [v for v in obj.data_vars if obj[v].ndim >= 2 and _spatial_dims(obj[v], False)]
        return _from_dataarray(obj[gridded[0]] if gridded else _pick_variable(obj, None), obj).grid
    return describe(obj).grid


def _open_xarray(path: str):
    """A file xarray reads, opened lazily; None for the files rasterio reads."""
    # URLs and GDAL virtual paths go to rasterio as they are: only it can tell if they exist.
    scheme, sep, _ = path.partition("://")
    remote = (sep and scheme.isalnum()) or path.lower().startswith("/vsi")
    if not remote and not os.path.exists(path):
        raise FileNotFoundError(f"no such raster file: {path}")
    if os.path.splitext(path)[1].lower() not in _XARRAY_SUFFIXES:
        return None
    import xarray as xr

    return xr.open_zarr(path) if path.endswith(".zarr") else xr.open_dataset(path)


def _from_path(path: str, band) -> Raster:
    ds = _open_xarray(path)
    if ds is not None:
        return _from_dataarray(_pick_variable(ds, band), ds)
    rasterio = optional_import("rasterio", "io")
    with rasterio.open(path) as src:
        return _from_rasterio(src, band, path)


def _from_rasterio(src, band, path=None) -> Raster:
    from ._bands import _FirstBand, from_rasterio, small_block_cache, wants_bands

    if wants_bands(band):  # several bands: one (band, rows, cols) raster
        return from_rasterio(src, band, path)
    band = 1 if band is None else band
    if isinstance(band, _FirstBand) and src.count > 1:
        raise ValueError(f"the raster {path or getattr(src, 'name', '')} has {src.count} bands: "
                         f"choose one with band=N (--band N), or take them all with "
                         f"band='all' (--band all)")
    if not isinstance(band, (int, np.integer)) or not 1 <= band <= src.count:
        raise ValueError(f"band {band!r} does not exist: the raster has bands 1..{src.count}")
    t = src.transform
    grid = Grid.from_transform(t, (src.height, src.width), crs=src.crs)
    flip = (slice(None, None, -1) if t.e > 0 else slice(None),
            slice(None, None, -1) if t.a < 0 else slice(None))
    height, width = src.height, src.width
    rasterio = optional_import("rasterio", "io")
    windows = optional_import("rasterio.windows", "io")

    def stored(rows: slice, cols: slice):
        """Grid rows and columns as the file's window, and the flips that present it."""
        r0, r1 = (height - rows.stop, height - rows.start) if t.e > 0 else (rows.start, rows.stop)
        c0, c1 = (width - cols.stop, width - cols.start) if t.a < 0 else (cols.start, cols.stop)
        return windows.Window(c0, r0, c1 - c0, r1 - r0)

    if path is None:

        def data():  # the caller keeps the dataset open; read only when values are needed
            return src.read(band)[flip]

        def reader(lead, rows, cols, out=None):
            return src.read(band, window=stored(rows, cols), out=out)[flip]
    else:

        def data():  # read when the statistics need it, not when only the grid is asked for
            with naming_file(path, "raster file", (OSError, RuntimeError)), rasterio.open(path) as again:
                return again.read(band)[flip]

        opened = []

        def reader(lead, rows, cols, out=None):  # one dataset kept open for the whole call
            if not opened:
                opened.append(rasterio.open(path))
            return opened[0].read(band, window=stored(rows, cols), out=out)[flip]

        def close():
            while opened:
                opened.pop().close()
        reader.close = close
    reader.reading = small_block_cache
    reader.dtype = np.dtype(src.dtypes[band - 1])
    reader.into = None if flip != (slice(None),) * 2 else reader.dtype
    nodata = src.nodatavals[band - 1]
    block = tuple(int(b) for b in src.block_shapes[band - 1])
    return Raster(data, grid, nodata=nodata, name=(src.descriptions[band - 1] or None),
                  reader=reader, block_shape=block, block_flips=(t.e > 0, t.a < 0),
                  stored_shape=(height, width), source=path or getattr(src, "name", None))


def _pick_variable(ds, name):
    if isinstance(name, str):
        if name not in ds.data_vars:
            raise ValueError(f"no variable {name!r}; variables: {', '.join(map(str, ds.data_vars))}")
        da = ds[name]
    else:
        gridded = [v for v in ds.data_vars if ds[v].ndim >= 2 and _spatial_dims(ds[v], False)]
        if len(gridded) != 1:
            raise ValueError("choose one variable (band=NAME, --band NAME) among: "
                             f"{', '.join(map(str, gridded or ds.data_vars))}")
        da = ds[gridded[0]]
    return da


def _kind(coord) -> str | None:
    name = str(coord.name).lower()
    attrs = {k: str(v).lower() for k, v in coord.attrs.items()}
    if (name in _X_NAMES or attrs.get("axis") == "x" or attrs.get("standard_name") in _X_NAMES
            or attrs.get("units") in {"degrees_east", "degree_east"}):
        return "x"
    if (name in _Y_NAMES or attrs.get("axis") == "y" or attrs.get("standard_name") in _Y_NAMES
            or attrs.get("units") in {"degrees_north", "degree_north"}):
        return "y"
    return None


def _spatial_dims(da, strict=True):
    found = {}
    for dim in da.dims:
        if dim in da.coords and (kind := _kind(da.coords[dim])):
            found.setdefault(kind, dim)
    if "x" in found and "y" in found:
        return found["y"], found["x"]
    if not strict:
        return None
    curvilinear = [str(c) for c in da.coords if da.coords[c].ndim >= 2 and _kind(da.coords[c])]
    if curvilinear:
        raise ValueError(f"the coordinates {', '.join(curvilinear)} are 2-D: curvilinear grids "
                         "are not supported, regrid to a regular grid first")
    raise ValueError(f"cannot tell the x and y dimensions of {tuple(map(str, da.dims))}: name "
                     "them x/y or lon/lat, or give them axis or standard_name attributes")


def _crs_of(da, ds=None):
    holders = []
    gm = da.attrs.get("grid_mapping") or da.encoding.get("grid_mapping")
    for source in (da.coords, ds.variables if ds is not None else {}):
        for name in (gm, "spatial_ref", "crs"):
            if name and name in source:
                holders.append(source[name].attrs)
    for attrs in holders:
        for key in ("crs_wkt", "spatial_ref"):
            if attrs.get(key):
                return attrs[key]
    crs = da.attrs.get("crs")
    return crs if isinstance(crs, str) and crs else None


def _masked_only(da):
    """(the stored values, as a DataArray laid out like ``da``; the fill value) of a lazily
    opened float variable whose only decoding is xarray's masking of one fill value as NaN;
    None for any other (scaled or offset, several fill values, integers decoded to floats,
    or a layout not recognised). Read this way, each window is masked in place, to the same
    NaNs, rather than copied by xarray's masking: most of the time of reading a stack."""
    layers, data = [], getattr(da.variable, "_data", None)
    while hasattr(data, "array") and len(layers) < 16:
        layers.append(data)
        data = data.array
    decoders = [layer for layer in layers if hasattr(layer, "func")]
    if len(decoders) != 1:
        return None
    mask = decoders[0]
    keywords = getattr(mask.func, "keywords", None) or {}
    fills = keywords.get("encoded_fill_values")
    if getattr(getattr(mask.func, "func", None), "__name__", "") != "_apply_mask" \
            or fills is None or len(fills) != 1:
        return None
    stored, fill = mask.array, next(iter(fills))
    try:
        same = (np.dtype(stored.dtype).kind == "f" and np.dtype(stored.dtype) == np.dtype(mask.dtype)
                == da.dtype and tuple(stored.shape) == tuple(da.shape)
                and np.isnan(keywords.get("decoded_fill_value", 0.0)) and np.isfinite(fill))
    except (AttributeError, TypeError, ValueError):
        return None
    if not same:
        return None
    import xarray as xr  # da is one

    return xr.DataArray(xr.Variable(da.dims, stored)), fill


def _from_dataarray(da, ds=None) -> Raster:
    ydim, xdim = _spatial_dims(da)
    stored_dims = da.dims
    crs = _crs_of(da, ds)
    lonlat = True if _is_lon(da.coords[xdim]) else None
    grid = Grid.from_coords(da[xdim].values, da[ydim].values, crs=crs, lonlat=lonlat)
    da = da.transpose(..., ydim, xdim)
    y, x = da[ydim].values, da[xdim].values
    flips = (bool(y[-1] > y[0]), bool(x[-1] < x[0]))
    if flips[0]:  # rows south to north: read them reversed, a view, not a copy
        da = da.isel({ydim: slice(None, None, -1)})
    if flips[1]:
        da = da.isel({xdim: slice(None, None, -1)})
    lead = tuple(map(str, da.dims[:-2]))
    coords = {k: v.variable for k, v in da.coords.items()
              if set(v.dims) <= set(lead) and not ({"crs_wkt", "spatial_ref"} & set(v.attrs))}
    nodata = next((da.attrs[k] for k in ("_FillValue", "missing_value") if k in da.attrs), None)
    if isinstance(nodata, np.ndarray):
        nodata = nodata.ravel()[0] if nodata.size else None
    if isinstance(nodata, np.generic):
        nodata = nodata.item()
    attrs = {k: v for k, v in da.attrs.items() if k not in _ENCODING_ATTRS}
    reader = block = None
    if not da.chunks and not getattr(da.variable, "_in_memory", True):
        # opened from a file, not loaded: index one window at a time
        stored = da.encoding.get("chunksizes") or da.encoding.get("chunks")
        chunked = dict(zip(stored_dims, stored)) if stored and len(stored) == len(stored_dims) else {}

        masked = _masked_only(da)

        def reader(lead, rows, cols, da=da):
            key = (lead,) + (slice(None),) * (da.ndim - 3) + (rows, cols) if da.ndim > 2 else (rows, cols)
            if masked is None:
                return _load(da[key], reader.unit)
            values, fill = np.asarray(_load(masked[0][key], reader.unit)), masked[1]
            if not values.flags.writeable:
                values = values.copy()
            np.copyto(values, np.nan, where=values == fill)  # as xarray masks it, in place
            return values
        reader.unit = int(chunked.get(da.dims[0], 1))  # file chunks along the axis read in pieces
        reader.dtype = da.dtype
        if stored and len(stored) >= 2:
            block = tuple(int(b) for b in stored[-2:])
    return Raster(da, grid, nodata=nodata, lead_dims=lead, coords=coords, attrs=attrs,
                  name=None if da.name is None else str(da.name), reader=reader,
                  block_shape=block, block_flips=flips, source=da.encoding.get("source"))


def _is_lon(coord) -> bool:
    attrs = {k: str(v).lower() for k, v in coord.attrs.items()}
    return (str(coord.name).lower() in _LON_NAMES or attrs.get("standard_name") == "longitude"
            or attrs.get("units") in {"degrees_east", "degree_east"})
