"""Fast, exact zonal statistics: per-zone statistics of gridded rasters, each cell weighted
by the exact fraction of its area that the zone covers.

>>> import quorvalis as qv
>>> cov = qv.Coverage(basins, ds, id="HYBAS_ID")                       # doctest: +SKIP
>>> out = cov.stats(ds["t2m"], ["mean", "max"], weights="area")        # doctest: +SKIP
>>> df = qv.zonal_stats(basins, "dem.tif", stats=["mean", "max"])      # doctest: +SKIP
"""

from . import _accessor  # noqa: F401  (registers .qv on xarray objects)
from ._coverage import METHODS, STATS, Coverage, zonal_stats
from ._custom import ALIASES, DERIVED
from ._grid import EARTH_RADIUS, Grid, cell_areas
from ._results import to_cf


def cells(zones, raster, *, id=None, method="exact", weights=None, nodata=None, band=1,
          grid=None, chunksize=None):
    """One row per covered cell of every zone (see :meth:`Coverage.cells`)."""
    cov = Coverage(zones, raster if grid is None else grid, id=id, method=method)
    return cov.cells(raster, weights=weights, nodata=nodata, band=band, chunksize=chunksize)


__all__ = ["Coverage", "Grid", "zonal_stats", "cells", "cell_areas", "to_cf", "STATS",
           "DERIVED", "ALIASES", "METHODS", "EARTH_RADIUS"]
__version__ = "0.1.0"
