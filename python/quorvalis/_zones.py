"""Zones in: geometries of every accepted kind become checked WKB, ids and a CRS."""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np
import pandas as pd
import shapely

from ._grid import Grid, crs_string
from ._safeio import naming_file
from ._util import optional_import

_AREAL = {"Polygon", "MultiPolygon"}


@dataclass
class Zones:
    wkb: list[bytes | None]  # None: an empty or missing geometry, which covers no cell
    ids: pd.Index
    crs: str | None
    geoms: np.ndarray | None = None  # the shapely geometries behind wkb where already parsed


def read_zones(zones, id=None, layer=None) -> Zones:
    """Accepts a GeoDataFrame, GeoSeries, sequence of shapely geometries or WKB, one geometry,
    or a path that geopandas can read."""
    crs = None
    if isinstance(zones, (str, os.PathLike)):
        zones = read_zone_path(zones, layer)
    if isinstance(zones, pd.DataFrame):
        if not _has_geometry(zones):
            raise ValueError("a DataFrame of zones needs a geometry column (a GeoDataFrame): "
                             "zones must be Polygon or MultiPolygon geometries")
        crs = getattr(zones, "crs", None)
        if id is None:
            ids = zones.index
        elif isinstance(id, str):
            if id not in zones.columns:
                raise ValueError(f"no column {id!r} in the zones; columns: "
                                 f"{', '.join(map(str, zones.columns))}")
            ids = pd.Index(zones[id], name=id)
        else:
            ids = _ids(id, len(zones))
        geoms = list(zones.geometry)
    elif isinstance(zones, pd.Series):
        crs = getattr(zones, "crs", None)
        geoms = list(zones)
        ids = zones.index if id is None else _ids(id, len(geoms))
    else:
        if isinstance(zones, (bytes, bytearray, memoryview, shapely.Geometry)):
            zones = [zones]
        try:
            geoms = list(zones)
        except TypeError:
            raise TypeError("zones must be a GeoDataFrame, GeoSeries, a sequence of shapely "
                            f"geometries or WKB, not {type(zones).__name__}") from None
        ids = pd.RangeIndex(len(geoms), name="zone") if id is None else _ids(id, len(geoms))
    if ids.name is None:
        ids = ids.rename("zone")
    wkb, parsed = _checked_all(geoms, ids)
    return Zones(wkb, ids, crs_string(crs), parsed)


def read_zone_path(path, layer=None):
    """The zones of a vector file as a GeoDataFrame, refused when it has no geometry or no
    features. ``layer``: the layer of a file that holds several (name or 0-based position)."""
    path = os.fspath(path)
    frame = _read_zone_file(path, layer)
    if not _has_geometry(frame):
        raise ValueError(f"the zone file {path} has no geometry column: zones must be Polygon "
                         "or MultiPolygon geometries")
    if not len(frame):
        raise ValueError(f"the zone file {path} holds no zones")
    return frame


def _read_zone_file(path, layer=None):
    """A vector file through geopandas (GeoParquet through pyarrow): any failure of the
    readers becomes one error naming the file. A file of several layers needs ``layer``:
    reading the first one silently would reduce zones nobody asked for."""
    gpd = optional_import("geopandas", "io")
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such zone file: {os.fspath(path)}")
    with naming_file(path, "zone file"):
        if os.fspath(path).lower().endswith((".parquet", ".geoparquet")):
            try:
                return gpd.read_parquet(path)
            except ValueError as err:
                if "geo" not in str(err).lower():
                    raise
                return pd.read_parquet(path)  # a table without geometry: refused below
        layers = _layers(path)
        if layer is None and len(layers) > 1:
            raise ValueError(f"the zone file {path} has {len(layers)} layers: "
                             f"{', '.join(layers)}; choose one with layer= (--layer)")
        if layer is not None and isinstance(layer, str) and layers and layer not in layers:
            raise ValueError(f"the zone file {path} has no layer {layer!r}; layers: "
                             f"{', '.join(layers)}")
        return gpd.read_file(path) if layer is None else gpd.read_file(path, layer=layer)


def _layers(path) -> list[str]:
    """The layer names of a vector file (empty when the reader cannot list them)."""
    try:
        import pyogrio
    except ImportError:
        return []
    try:
        return [str(name) for name in pyogrio.list_layers(path)[:, 0]]
    except Exception:  # not a layered format, or unreadable: the read below says why
        return []


def _has_geometry(frame) -> bool:
    try:
        return frame.geometry is not None
    except AttributeError:  # a GeoDataFrame whose geometry column is not set
        return False


def _ids(id, n) -> pd.Index:
    ids = pd.Index(id)
    if len(ids) != n:
        raise ValueError(f"{len(ids)} ids for {n} zones")
    return ids


def _checked_all(geoms: list, ids: pd.Index) -> tuple[list[bytes | None], np.ndarray]:
    """WKB of every zone: plain polygons in a few vectorised calls, the rest one by one; and
    the parsed polygons (None where a zone was converted or is empty)."""
    n = len(geoms)
    parsed = np.empty(n, dtype=object)
    parsed[:] = geoms
    raw = np.fromiter((isinstance(g, (bytes, bytearray, memoryview)) for g in geoms), bool, n)
    if raw.any():
        parsed[raw] = shapely.from_wkb([bytes(g) for g in parsed[raw]], on_invalid="ignore")
    is_geom = np.fromiter((isinstance(g, shapely.Geometry) for g in parsed), bool, n)
    types = np.full(n, -1)
    types[is_geom] = shapely.get_type_id(parsed[is_geom])
    areal = is_geom & np.isin(types, (3, 6))  # Polygon, MultiPolygon
    areal[areal] = ~shapely.is_empty(parsed[areal])
    as_given = areal & raw
    as_given[as_given] = ~shapely.has_z(parsed[as_given])
    out: list[bytes | None] = [None] * n
    for k in np.flatnonzero(as_given):
        out[k] = bytes(geoms[k])  # the caller's own bytes: nothing re-encoded or rounded
    encode = np.flatnonzero(areal & ~as_given)
    for k, w in zip(encode, shapely.to_wkb(parsed[encode], output_dimension=2, byte_order=1),
                    strict=True):
        out[k] = w
    for k in np.flatnonzero(~areal):
        out[k] = _checked(geoms[k], k, ids[k])
    parsed[~areal] = None
    return out, parsed


def _checked(g, k, zone_id) -> bytes | None:
    """WKB of one zone, or None when it is empty or missing."""
    where = f"zone {k} (id {zone_id!r})"
    if g is None or (isinstance(g, float) and np.isnan(g)):
        return None
    raw = None
    if isinstance(g, (bytes, bytearray, memoryview)):
        raw = bytes(g)
        try:
            g = shapely.from_wkb(raw)
        except Exception as err:  # shapely raises its own GEOSException for bad WKB
            raise ValueError(f"{where}: not valid WKB ({err})") from None
    if not isinstance(g, shapely.Geometry):
        raise ValueError(f"{where}: a {type(g).__name__} is not a geometry")
    if g.is_empty:
        return None
    kind = g.geom_type
    if kind == "GeometryCollection":
        parts = list(g.geoms)
        bad = sorted({p.geom_type for p in parts if p.geom_type not in _AREAL and not p.is_empty})
        if bad:
            raise ValueError(f"{where}: a GeometryCollection with {', '.join(bad)} parts; "
                             "only Polygon and MultiPolygon zones are supported")
        polys = [q for p in parts if not p.is_empty for q in getattr(p, "geoms", [p])]
        g, raw = shapely.MultiPolygon(polys), None
    elif kind not in _AREAL:
        raise ValueError(f"{where}: a {kind}; only Polygon and MultiPolygon zones are supported")
    if raw is not None and not shapely.has_z(g):
        return raw  # the caller's own bytes: nothing re-encoded, nothing rounded
    return shapely.to_wkb(g, output_dimension=2, byte_order=1)


def zone_bounds(wkb: list[bytes | None], geoms=None) -> np.ndarray:
    """(n, 4) float64 xmin, ymin, xmax, ymax of each zone, NaN where it has no geometry:
    from ``geoms[k]`` where that is the zone's parsed geometry (None elsewhere), else from
    its WKB, parsed only for this."""
    n = len(wkb)
    out = np.full((n, 4), np.nan)
    have = np.fromiter((w is not None for w in wkb), bool, n)
    parsed = np.empty(n, dtype=object)
    if geoms is not None:
        parsed[:] = geoms
    parsed[~have] = None
    todo = have & ~np.fromiter((isinstance(g, shapely.Geometry) for g in parsed), bool, n)
    if todo.any():
        parsed[todo] = shapely.from_wkb([wkb[k] for k in np.flatnonzero(todo)])
    if have.any():
        out[have] = shapely.bounds(parsed[have]).reshape(-1, 4)
    return out


def fit_to_grid(wkb: list[bytes | None], grid: Grid,
                bounds: np.ndarray) -> tuple[list[bytes | None], np.ndarray]:
    """On a longitude grid, move the parts of each zone that lie a whole turn away from the
    grid onto it: zones on -180..180 over a 0..360 grid (or the reverse), and zones that
    cross the seam of a global grid, are split and shifted instead of losing parts.
    ``bounds``: the zones' :func:`zone_bounds`. Returns the zones' WKB and bounds after the
    move (the same objects where nothing moved)."""
    if not grid.lonlat or grid.xmax - grid.xmin > 360.0 + 0.5 * grid.dx:
        return wkb, bounds  # a grid wider than a turn sees some longitudes twice: nothing to move
    out = list(wkb)
    moved = bounds.copy()
    outside = np.flatnonzero((bounds[:, 0] < grid.xmin) | (bounds[:, 2] > grid.xmax))
    for k, (x0, y0, x1, y1) in zip(outside, bounds[outside], strict=True):
        turns = [t for t in range(int(np.floor((grid.xmin - x1) / 360.0)),
                                  int(np.ceil((grid.xmax - x0) / 360.0)) + 1)
                 if x0 + 360.0 * t < grid.xmax and x1 + 360.0 * t > grid.xmin]
        if turns == [0] or not turns:
            continue
        g = shapely.from_wkb(wkb[k])
        polys = []
        for t in turns:
            try:
                piece = shapely.clip_by_rect(g, grid.xmin - 360.0 * t, y0 - 1.0,
                                             grid.xmax - 360.0 * t, y1 + 1.0)
            except shapely.errors.GEOSException as err:
                raise ValueError(f"zone {k} cannot be split at the grid's seam: {err}") from None
            piece = shapely.transform(piece, lambda c, t=t: c + (360.0 * t, 0.0))
            polys += [p for p in shapely.get_parts(piece) if p.geom_type == "Polygon"
                      and not p.is_empty]
        fitted = shapely.MultiPolygon(polys)
        out[k] = shapely.to_wkb(fitted, output_dimension=2, byte_order=1)
        moved[k] = shapely.bounds(fitted)
    return out, moved
