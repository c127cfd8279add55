"""Fast, exact zonal statistics: per-zone statistics of gridded rasters, each cell weighted
by the exact fraction of its area that the zone covers.

>>> import quorvalis as qv
>>> cov = qv.Coverage(basins, ds, id="HYBAS_ID")                       # doctest: +SKIP
>>> out = cov.stats(ds["t2m"], ["mean", "max"], weights="area")        # doctest: +SKIP
>>> df = qv.zonal_stats(basins, "dem.tif", stats=["mean", "max"])      # doctest: +SKIP
"""

from ._coverage import METHODS, STATS, Coverage, zonal_stats
from ._grid import EARTH_RADIUS, Grid, cell_areas

__all__ = ["Coverage", "Grid", "zonal_stats", "cell_areas", "STATS", "METHODS", "EARTH_RADIUS"]

try:  # the one version is pyproject.toml's, as installed
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("quorvalis")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"
