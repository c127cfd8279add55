"""What every statistics run checks and settles before it reads a value: the statistic names,
the raster as the package reads it on the coverage's grid, the weights and the nodata. The
runners in memory, window by window and on Dask all start from one :class:`Call`."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import _engine
from ._grid import Grid, cell_areas, check_same_crs
from ._labels import engine_names
from ._raster import Raster, _numeric, describe, is_lazy

STATS: tuple[str, ...] = tuple(_engine.STATS)


@dataclass
class Call:
    """One run of engine statistics, checked and resolved."""

    stats: list[str]  # the caller's names
    engine_names: list[str]  # the engine's name of each
    src: Raster
    weights: object  # None, a 2-D array on the grid, or a Raster read window by window
    weights_nodata: object
    area: bool  # the weights are the cells' areas
    nodata: object
    quantiles: tuple
    lazy: bool

    @property
    def names(self) -> list[str]:
        """The engine statistics to compute, each once."""
        return sorted(set(self.engine_names))


def check_grid(grid: Grid, crs, src: Raster, what: str):
    """A ValueError unless ``src`` lies on ``grid`` (in ``crs``)."""
    shape = src.shape[-2:]
    if shape != grid.shape:
        raise ValueError(f"the {what} has {shape[0]} x {shape[1]} cells but the coverage "
                         f"grid has {grid.shape[0]} x {grid.shape[1]}")
    if src.grid is not None:
        if not src.grid.matches(grid):
            raise ValueError(f"the {what}'s grid {src.grid!r} is not the coverage's grid "
                             f"{grid!r}")
        check_same_crs(crs, src.grid.crs, f"the {what}")


def resolve_weights(weights, grid: Grid, crs, windowed=False):
    """The weights as a 2-D array on the grid (area: a broadcast of one value per row),
    and their nodata. ``windowed``: a weights file stays a Raster, read window by window."""
    if weights is None:
        return None, None
    if isinstance(weights, str) and weights == "area":
        return cell_areas(grid), None
    src = describe(weights, 1, grid)
    check_grid(grid, crs, src, "weights raster")
    if len(src.shape) != 2:
        raise ValueError(f"weights must be 2-D, got shape {src.shape}")
    if windowed and src.reader is not None:
        return src, src.nodata
    (_, block), = src.blocks(1)
    return block, src.nodata


def prepare(raster, stats, grid: Grid, crs, method: str, *, weights=None, nodata=None,
            quantiles=(), band=1, affine=None, max_classes=1, max_fields=None,
            progress=False) -> Call:
    """The checked call of engine statistics ``stats`` of ``raster`` on ``grid``."""
    stats = [stats] if isinstance(stats, str) else list(stats)
    if not stats:
        raise ValueError("no statistics asked for")
    unknown = [s for s in stats if s not in STATS]
    if unknown:
        raise ValueError(f"unknown statistic {unknown[0]!r}; available: {', '.join(STATS)}")
    if isinstance(max_classes, bool) or not isinstance(max_classes, (int, np.integer)) \
            or max_classes < 1:
        raise ValueError(f"max_classes must be a positive whole number, not {max_classes!r}")
    lazy = is_lazy(raster)
    if lazy:
        if max_fields is not None:
            raise ValueError("max_fields= sets how many fields are reduced at once in "
                             "memory; a Dask raster is reduced one chunk of its leading "
                             "axes at a time: rechunk it instead")
        if progress:
            raise ValueError("progress= shows a run as it reads; a Dask-backed result is "
                             "computed later: watch it then with "
                             "dask.diagnostics.ProgressBar or a distributed dashboard")
        if "frac" in stats:
            raise ValueError("'frac' cannot be computed lazily: its classes (the output's "
                             "columns) are only known once every chunk has been read; "
                             "compute the raster's classes first, or pass a NumPy-backed "
                             "raster")
    src = describe(raster, band, None if affine is not None else grid, affine)
    check_grid(grid, crs, src, "raster")
    area = isinstance(weights, str) and weights == "area"
    weights, weights_nodata = resolve_weights(weights, grid, crs,
                                              src.reader is not None and not lazy)
    call = Call(stats, engine_names(stats, weights is not None), src, weights, weights_nodata,
                area, src.nodata if nodata is None else nodata, tuple(quantiles), lazy)
    if lazy:
        _probe(call, grid, method)
    return call


def _probe(call: Call, grid: Grid, method: str):
    """Bad arguments (quantiles, nodata, weights' type) of a lazy run fail at the call, not
    when computed: the engine checks them on one cell of the raster's type, with no zones."""
    data = lazy_values(call.src)
    if data.dtype.kind not in "fiub":
        raise TypeError(f"raster values must be numbers, got dtype {data.dtype}")
    nothing = _engine.build([], *grid.astuple(), method=method)
    _engine.reduce(nothing, _numeric(np.zeros((1, 1), data.dtype)), call.names,
                   nodata=call.nodata,
                   weights=None if call.weights is None else call.weights[:1, :1],
                   weights_nodata=call.weights_nodata, quantiles=call.quantiles)


def lazy_values(src: Raster):
    """The Dask array of a lazy raster."""
    return src.data.data if hasattr(src.data, "dims") else src.data
