"""Fast, exact zonal statistics: per-zone statistics of gridded rasters, each cell weighted
by the exact fraction of its area that the zone covers.

>>> import numpy as np, shapely
>>> import quorvalis as qv
>>> grid = qv.Grid(0, 0, 4, 4, 1, 1)  # xmin, ymin, xmax, ymax, dx, dy; row 0 at ymax
>>> zones = [shapely.box(0.5, 0.5, 2.5, 2.5), shapely.box(3, 3, 4, 4)]
>>> qv.zonal_stats(zones, np.arange(16.0).reshape(4, 4), ["mean", "count"], grid=grid)
      mean  count
zone
0      9.0    4.0
1      3.0    1.0
"""

from . import _accessor  # noqa: F401  (registers .qv on xarray objects)
from ._bands import FIRST
from ._coverage import METHODS, STATS, Coverage, zonal_stats
from ._custom import ALIASES, DERIVED
from ._grid import EARTH_RADIUS, Grid, cell_areas
from ._results import to_cf
from ._util import OutsideWarning

try:  # the one version is pyproject.toml's, as installed
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("quorvalis")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"


def cells(zones, raster, *, id=None, method="exact", weights=None, nodata=None, band=FIRST,
          grid=None, chunksize=None):
    """One row per covered cell of every zone (see :meth:`Coverage.cells`)."""
    cov = Coverage(zones, raster if grid is None else grid, id=id, method=method)
    return cov.cells(raster, weights=weights, nodata=nodata, band=band, chunksize=chunksize)


__all__ = ["Coverage", "Grid", "zonal_stats", "cells", "cell_areas", "to_cf", "STATS",
           "DERIVED", "ALIASES", "METHODS", "EARTH_RADIUS", "OutsideWarning"]
