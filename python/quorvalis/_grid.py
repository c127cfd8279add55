"""The regular grid a coverage is built on, and the true areas of its cells."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

# Mean Earth radius (IUGG R1) in metres: the sphere on which cell areas are measured.
EARTH_RADIUS = 6_371_008.8
_MAX_CELLS = 1 << 40  # beyond this no raster fits in memory: a typo, not a grid


def _half_away(v: float) -> int:
    """Round halves away from zero, as the core counts rows and columns."""
    return int(math.floor(v + 0.5)) if v >= 0 else -int(math.floor(-v + 0.5))


def crs_string(crs) -> str | None:
    """A CRS as short text (an authority code where one exists), from any CRS-like object."""
    if crs is None:
        return None
    if isinstance(crs, str):
        return crs or None
    for attr in ("to_string", "to_wkt"):
        fn = getattr(crs, attr, None)
        if fn is not None:
            text = fn()
            if text:
                return text
    return str(crs)


def _is_geographic(crs: str | None) -> bool:
    if crs is None:
        return False
    try:
        import pyproj
    except ImportError:
        text = crs.upper().replace(" ", "")
        return text in {"EPSG:4326", "OGC:CRS84", "EPSG:4269", "EPSG:4258"} or "+PROJ=LONGLAT" in text
    return pyproj.CRS.from_user_input(crs).is_geographic


@dataclass(frozen=True)
class Grid:
    """A regular, north-up grid: extent and cell size, row 0 at ``ymax``, column 0 at ``xmin``.

    Grids are normally derived from the data (see :meth:`from_coords`,
    :meth:`from_transform` and :func:`quorvalis.Coverage`); build one by hand only for bare
    NumPy arrays.

    Parameters
    ----------
    xmin, ymin, xmax, ymax : float
        The extent. ``rows = round((ymax - ymin) / dy)``, ``cols = round((xmax - xmin) / dx)``.
    dx, dy : float
        Cell width and height, both positive.
    crs : optional
        Any CRS-like object (text, pyproj or rasterio CRS); kept as text.
    lonlat : bool, optional
        Whether x and y are longitude and latitude in degrees. Inferred from ``crs`` when
        not given. Longitude grids wrap zones across the date line and support
        ``weights="area"``.

    Examples
    --------
    >>> g = Grid(-180, -90, 180, 90, 1.0, 1.0, lonlat=True)
    >>> g.shape
    (180, 360)
    """

    xmin: float
    ymin: float
    xmax: float
    ymax: float
    dx: float
    dy: float
    crs: str | None = field(default=None, compare=False)
    lonlat: bool | None = field(default=None, compare=False)

    def __post_init__(self):
        nums = [float(v) for v in (self.xmin, self.ymin, self.xmax, self.ymax, self.dx, self.dy)]
        for name, v in zip(("xmin", "ymin", "xmax", "ymax", "dx", "dy"), nums, strict=True):
            object.__setattr__(self, name, v)
        if not all(math.isfinite(v) for v in nums):
            raise ValueError(f"grid numbers must be finite, got {tuple(nums)}")
        if self.dx <= 0 or self.dy <= 0:
            raise ValueError(f"cell sizes must be positive, got dx={self.dx}, dy={self.dy}")
        if self.xmax <= self.xmin or self.ymax <= self.ymin:
            raise ValueError(f"empty grid extent: x {self.xmin}..{self.xmax}, "
                             f"y {self.ymin}..{self.ymax}")
        rows, cols = self.shape
        if rows < 1 or cols < 1 or rows * cols > _MAX_CELLS:
            raise ValueError(f"a grid of {rows} x {cols} cells is not a usable raster grid")
        crs = crs_string(self.crs)
        object.__setattr__(self, "crs", crs)
        lonlat = _is_geographic(crs) if self.lonlat is None else bool(self.lonlat)
        object.__setattr__(self, "lonlat", lonlat)

    @property
    def shape(self) -> tuple[int, int]:
        """(rows, cols), counted as the engine counts them."""
        return (_half_away((self.ymax - self.ymin) / self.dy),
                _half_away((self.xmax - self.xmin) / self.dx))

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        return (self.xmin, self.ymin, self.xmax, self.ymax)

    def astuple(self) -> tuple[float, float, float, float, float, float]:
        """The six numbers the engine takes."""
        return (self.xmin, self.ymin, self.xmax, self.ymax, self.dx, self.dy)

    def __repr__(self):
        rows, cols = self.shape
        extra = f", crs={self.crs!r}" if self.crs else (", lonlat=True" if self.lonlat else "")
        return (f"Grid({self.xmin:g}, {self.ymin:g}, {self.xmax:g}, {self.ymax:g}, "
                f"dx={self.dx:g}, dy={self.dy:g}{extra}; {rows} x {cols})")

    def matches(self, other: Grid) -> bool:
        """The same cells: equal shapes and extents equal within 1% of a cell, which allows
        for coordinates stored in single precision (the cell size then follows)."""
        tol = 0.01 * min(self.dx, self.dy)
        return self.shape == other.shape and all(
            abs(a - b) <= tol for a, b in zip(self.bounds, other.bounds, strict=True))

    @classmethod
    def from_coords(cls, x, y, *, crs=None, lonlat: bool | None = None) -> Grid:
        """The grid whose cell centres are the 1-D coordinates ``x`` and ``y``.

        Either axis may run in either direction; spacing must be regular.

        Examples
        --------
        >>> Grid.from_coords([0.5, 1.5, 2.5], [1.5, 0.5]).bounds
        (0.0, 0.0, 3.0, 2.0)
        """
        (xmin, xmax, dx), (ymin, ymax, dy) = _axis(x, "x"), _axis(y, "y")
        return cls(xmin, ymin, xmax, ymax, dx, dy, crs=crs, lonlat=lonlat)

    @classmethod
    def from_transform(cls, transform, shape, *, crs=None, lonlat: bool | None = None) -> Grid:
        """The grid of an affine transform (``affine.Affine`` or its six numbers a..f) and a
        (rows, cols) shape. Only north-up transforms: rotated or sheared ones are refused.
        A positive pixel height (rows running south to north) is accepted.

        Examples
        --------
        >>> Grid.from_transform((0.5, 0, 10.0, 0, -0.5, 50.0), (4, 6)).bounds
        (10.0, 48.0, 13.0, 50.0)
        """
        a, b, c, d, e, f = affine_numbers(transform)
        rows, cols = (int(v) for v in shape[-2:])
        if b != 0 or d != 0:
            raise ValueError(f"the transform is rotated or sheared (b={b}, d={d}); "
                             "only north-up rasters are supported: warp it first")
        if a == 0 or e == 0:
            raise ValueError(f"the transform has a zero pixel size (a={a}, e={e})")
        x0, x1 = sorted((c, c + a * cols))
        y0, y1 = sorted((f, f + e * rows))
        return cls(x0, y0, x1, y1, abs(a), abs(e), crs=crs, lonlat=lonlat)


def affine_numbers(t) -> tuple[float, ...]:
    if all(hasattr(t, k) for k in "abcdef"):
        return tuple(float(getattr(t, k)) for k in "abcdef")
    vals = [float(v) for v in t]
    if len(vals) not in (6, 9):
        raise ValueError("a transform needs the six affine numbers a, b, c, d, e, f")
    return tuple(vals[:6])


def _axis(v, name) -> tuple[float, float, float]:
    """(low edge, high edge, spacing) of cell-centre coordinates, checked to be regular."""
    v = np.asarray(v)
    if v.ndim != 1:
        raise ValueError(f"{name} coordinates must be 1-D, got shape {v.shape}: curvilinear "
                         "grids are not supported, regrid to a regular grid first")
    if v.size < 2:
        raise ValueError(f"{name} needs at least 2 coordinates to give a cell size")
    if v.dtype.kind not in "fiu":
        raise ValueError(f"{name} coordinates must be numbers, got {v.dtype}")
    step = (float(v[-1]) - float(v[0])) / (v.size - 1)
    diffs = np.diff(v.astype(np.float64))
    # Coordinates stored in single precision carry their own rounding; allow for it.
    eps = np.finfo(v.dtype).eps if v.dtype.kind == "f" else 0.0
    tol = 1e-6 * abs(step) + 4 * eps * float(np.max(np.abs(v)))
    if step == 0 or np.any(np.abs(diffs - step) > tol):
        raise ValueError(f"{name} coordinates are not regularly spaced (steps from "
                         f"{diffs.min():g} to {diffs.max():g}); regrid to a regular grid first")
    step = abs(step)
    lo = min(float(v[0]), float(v[-1])) - step / 2
    return lo, lo + v.size * step, step


def cell_areas(grid: Grid) -> np.ndarray:
    """Area in square metres of each cell of a longitude/latitude grid, shape (rows, cols).

    A cell between latitudes p1 < p2 and ``dx`` degrees wide has the area of its band of the
    sphere: ``R**2 * radians(dx) * (sin(p2) - sin(p1))`` with ``R = 6371008.8 m``.
    Latitudes beyond the poles are clamped to +-90. The result is a read-only broadcast
    of one value per row.

    Examples
    --------
    >>> a = cell_areas(Grid(-180, -90, 180, 90, 1, 1, lonlat=True))
    >>> float(round(a.sum() / (4 * math.pi * EARTH_RADIUS**2), 12))
    1.0
    """
    if not grid.lonlat:
        raise ValueError("weights='area' needs a longitude/latitude grid; this grid is "
                         f"{grid.crs or 'in unknown units'} (give weights as a raster instead)")
    rows, cols = grid.shape
    return np.broadcast_to(row_areas(grid.astuple(), rows, 0, rows)[:, None], (rows, cols))


def row_areas(grid: tuple, rows: int, r0: int, r1: int) -> np.ndarray:
    """The cell area of grid rows r0..r1-1 (``grid``: the engine's six numbers, ``rows``: the
    grid's row count), each value the very one :func:`cell_areas` gives for that row."""
    _, ymin, _, ymax, dx, dy = grid
    edges = ymax - dy * np.arange(r0, r1 + 1, dtype=np.float64)
    if r1 == rows:
        edges[-1] = ymin  # the last row ends on the extent, as in the engine
    s = np.sin(np.radians(np.clip(edges, -90.0, 90.0)))
    return EARTH_RADIUS**2 * math.radians(dx) * (s[:-1] - s[1:])


def _crs_name(crs: str) -> str:
    try:
        import pyproj

        c = pyproj.CRS.from_user_input(crs)
        auth = c.to_authority()
        return f"{auth[0]}:{auth[1]}" if auth else c.name
    except Exception:  # no pyproj, or text it cannot read: show the text itself
        return crs if len(crs) < 60 else crs[:57] + "..."


def check_same_crs(zones_crs: str | None, raster_crs: str | None, what: str = "the raster"):
    """Refuse two different CRSs: nothing is ever reprojected behind the caller's back."""
    if zones_crs is None or raster_crs is None or zones_crs == raster_crs:
        return
    try:
        import pyproj

        # OGC:CRS84 and EPSG:4326 differ only in the order of their axes, and coordinates
        # here are always x then y: the same CRS for a zone and a cell
        if pyproj.CRS.from_user_input(zones_crs).equals(pyproj.CRS.from_user_input(raster_crs),
                                                         ignore_axis_order=True):
            return
    except ImportError:
        pass
    a, b = _crs_name(zones_crs), _crs_name(raster_crs)
    raise ValueError(f"the zones are in {a} but {what} is in {b}; reproject the zones "
                     f"first, e.g. zones.to_crs({b!r}), and build the coverage again")
