"""Several bands of a GeoTIFF at once: a (band, rows, cols) raster reduced in one pass."""

from __future__ import annotations

import os
from contextlib import nullcontext

import numpy as np

from ._grid import Grid
from ._util import optional_import


class _FirstBand(int):
    """Band 1 taken because no band was named: refused where the file holds several, since
    reducing band 1 of a multi-band file silently would ignore the rest."""

    __slots__ = ()


FIRST = _FirstBand(1)  # the default of every ``band=``; shows as 1


def small_block_cache():
    """The settings a file's windows are read under: GDAL's block cache at 64 MiB (given in
    bytes: rasterio passes the number on as it is). The windows are read a block at a time,
    each block once, so a large cache only grows, and its fresh memory costs more than the
    reads (a Landsat-sized scene read block by block: 0.9 s against 1.4-6 s with GDAL's
    default of 5% of the memory); 64 MiB still holds what a VRT reads again and again.
    A GDAL_CACHEMAX of the user's own (the environment, or a rasterio.Env) is left alone."""
    rasterio = optional_import("rasterio", "io")
    if "GDAL_CACHEMAX" in os.environ or (rasterio.env.hasenv()
                                         and "GDAL_CACHEMAX" in rasterio.env.getenv()):
        return nullcontext()
    return rasterio.Env(GDAL_CACHEMAX=64 << 20)


def wants_bands(band) -> bool:
    """``band=None`` asks only for the grid; "all" or a list of numbers for several bands."""
    return (isinstance(band, str) and band == "all") or isinstance(band, (list, tuple, range))


def from_rasterio(src, band, path=None):
    from ._raster import Raster

    bands = list(range(1, src.count + 1)) if isinstance(band, str) else list(band)
    if not bands:
        raise ValueError("no bands asked for")
    bad = [b for b in bands if not isinstance(b, (int, np.integer)) or not 1 <= b <= src.count]
    if bad:
        raise ValueError(f"band {bad[0]!r} does not exist: the raster has bands 1..{src.count}")
    nodatas = {src.nodatavals[b - 1] for b in bands}
    if len(nodatas) > 1:
        raise ValueError(f"bands {bands} have different nodata values {sorted(map(str, nodatas))}:"
                         " reduce them one at a time, or give nodata=")
    t = src.transform
    grid = Grid.from_transform(t, (src.height, src.width), crs=src.crs)
    height, width = src.height, src.width
    flip = (slice(None), slice(None, None, -1) if t.e > 0 else slice(None),
            slice(None, None, -1) if t.a < 0 else slice(None))
    windows = optional_import("rasterio.windows", "io")

    def stored(rows: slice, cols: slice):
        """Grid rows and columns as the file's window (the flips present it as the grid)."""
        r0, r1 = (height - rows.stop, height - rows.start) if t.e > 0 else (rows.start, rows.stop)
        c0, c1 = (width - cols.stop, width - cols.start) if t.a < 0 else (cols.start, cols.stop)
        return windows.Window(c0, r0, c1 - c0, r1 - r0)

    if path is None:

        def data():
            return src.read(bands)[flip]

        def reader(lead, rows, cols, out=None):
            return src.read(bands[lead], window=stored(rows, cols), out=out)[flip]
    else:
        rasterio = optional_import("rasterio", "io")

        def data():
            with rasterio.open(path) as again:
                return again.read(bands)[flip]

        opened = []

        def reader(lead, rows, cols, out=None):  # one dataset kept open for the whole call
            if not opened:
                opened.append(rasterio.open(path))
            return opened[0].read(bands[lead], window=stored(rows, cols), out=out)[flip]

        def close():
            while opened:
                opened.pop().close()
        reader.close = close
    reader.reading = small_block_cache
    reader.dtype = np.dtype(src.dtypes[bands[0] - 1])
    reader.into = None if flip != (slice(None),) * 3 else reader.dtype
    import xarray as xr

    coords = {"band": xr.Variable("band", np.asarray(bands))}
    # the layout of the first band: GeoTIFF bands of one file share it in practice
    block = tuple(int(b) for b in src.block_shapes[bands[0] - 1])
    return Raster(data, grid, nodata=nodatas.pop(), lead_dims=("band",), coords=coords,
                  reader=reader, block_shape=block, block_flips=(t.e > 0, t.a < 0),
                  stored_shape=(len(bands), height, width),
                  source=path or getattr(src, "name", None))
