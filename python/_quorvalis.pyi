"""Exact zonal statistics: coverage caches built from WKB polygons, statistics of float64
rasters reduced through them.

A broken internal invariant raises PanicException, derived from BaseException so that
`except Exception` does not catch it; it is not a module attribute (match its class name).
"""

from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Real = SupportsFloat | SupportsIndex
_Wkb = bytes | bytearray | Sequence[int]
_Float64Array2D = np.ndarray[tuple[int, int], np.dtype[np.float64]]
_Float64Array3D = np.ndarray[tuple[int, int, int], np.dtype[np.float64]]
_Stat = Literal["mean", "sum", "count", "min", "max", "variance", "stdev", "weighted_mean", "weighted_sum"]

@final
class CoverageCache:
    """Opaque coverage cache held on the Python side.

    Made only by build_cache: not instantiable, not subclassable, immutable. Its module
    reads as "builtins".
    """

    @property
    def n_basins(self) -> int:
        """Number of basins in the cache."""

    def ids(self) -> npt.NDArray[np.int64]:
        """Basin IDs in cache order (a fresh int64 array per call)."""

def build_cache(
    wkb_list: Sequence[_Wkb],
    id_list: Sequence[SupportsIndex],
    xmin: _Real,
    ymin: _Real,
    xmax: _Real,
    ymax: _Real,
    dx: _Real,
    dy: _Real,
    method: Literal["exact", "center"] | str = "exact",
) -> CoverageCache:
    """Build a coverage cache from WKB geometries and grid parameters.

    Raises ValueError for mismatched lists, an unknown method, a bad or truncated WKB value,
    a non-finite coordinate, or a grid whose cells the coordinates cannot resolve.
    """

def apply_stat(cache: CoverageCache, raster: _Float64Array2D, nodata: _Real, stat: _Stat | str) -> npt.NDArray[np.float64]:
    """Apply a statistic to a single 2D raster using the coverage cache; shape (n_basins,)."""

def apply_stat_batch(
    cache: CoverageCache, raster: _Float64Array3D, nodata: _Real, stat: _Stat | str
) -> npt.NDArray[np.float64]:
    """Apply a statistic to a 3D raster (time, rows, cols); shape (time, n_basins)."""

def apply_stat_weights(
    cache: CoverageCache,
    raster: _Float64Array2D,
    weights: _Float64Array2D,
    nodata: _Real,
    weight_nodata: _Real,
    stat: _Stat | str,
) -> npt.NDArray[np.float64]:
    """Apply a weighted statistic to a single 2D raster; shape (n_basins,)."""

def apply_stat_batch_weights(
    cache: CoverageCache,
    raster: _Float64Array3D,
    weights: _Float64Array2D,
    nodata: _Real,
    weight_nodata: _Real,
    stat: _Stat | str,
) -> npt.NDArray[np.float64]:
    """Apply a weighted statistic to a 3D raster with 2D weights; shape (time, n_basins)."""
