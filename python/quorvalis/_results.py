"""Results with their zones: the zones' columns and geometry, named categories, CF-1.8
attributes and geometries for NetCDF, and the vector formats of the command line."""

from __future__ import annotations

import datetime
import os
import shutil
import tempfile

import numpy as np
import pandas as pd

from ._safeio import checkpoint, file_size, output_mode, write_error
from ._util import optional_import

# Where the result can be a GeoDataFrame: the vector formats, by extension.
GEO_FORMATS = {".gpkg": "GPKG", ".fgb": "FlatGeobuf", ".geoparquet": "GeoParquet"}
_CELL_METHODS = {"mean": "mean", "weighted_mean": "mean", "sum": "sum", "weighted_sum": "sum",
                 "min": "minimum", "max": "maximum", "median": "median", "range": "range",
                 "stdev": "standard_deviation", "variance": "variance", "majority": "mode",
                 "weighted_variance": "variance", "weighted_stdev": "standard_deviation"}
_LONG_NAMES = {"mean": "mean", "weighted_mean": "weighted mean", "sum": "sum",
               "weighted_sum": "weighted sum", "count": "covered area of valid cells, in cells",
               "min": "minimum", "max": "maximum", "median": "median", "range": "range",
               "stdev": "standard deviation", "variance": "variance", "majority": "majority",
               "minority": "minority", "variety": "number of distinct values",
               "frac": "fraction of covered area per class", "quantile": "quantile",
               "nodata_count": "covered area of nodata cells, in cells",
               "coverage": "covered area inside the raster, in cells", "cv":
               "coefficient of variation", "weighted_variance": "weighted variance",
               "weighted_stdev": "weighted standard deviation", "area": "covered area",
               "nan": "covered area of NaN cells, in cells"}


def read_path(zones, layer=None):
    """A vector file read into a GeoDataFrame; anything else as given."""
    if isinstance(zones, (str, os.PathLike)):
        from ._zones import read_zone_path

        return read_zone_path(zones, layer)
    if layer is not None:
        raise ValueError("layer= chooses a layer of a zone file; the zones given are not a path")
    return zones


def zone_table(zones) -> pd.DataFrame | None:
    """The zones' columns other than the geometry, by position, or None."""
    if not isinstance(zones, pd.DataFrame) or not hasattr(zones, "geometry"):
        return None
    return pd.DataFrame(zones.drop(columns=zones.geometry.name)).reset_index(drop=True)


def geometries(cov) -> np.ndarray:
    import shapely

    out = np.empty(len(cov._wkb), dtype=object)
    out[:] = [None if w is None else shapely.from_wkb(w) for w in cov._wkb]
    return out


def finish(cov, out, *, include_cols=None, include_geom=False, output=None, categories=None):
    """The extras of ``Coverage.stats`` on its result."""
    if output not in (None, "geodataframe", "dataframe", "xarray"):
        raise ValueError(f"output must be 'geodataframe' (or None), not {output!r}")
    include_geom = include_geom or output == "geodataframe"
    if isinstance(out, dict):
        if include_cols or include_geom or categories is not None:
            raise ValueError("as_numpy=True gives bare arrays: include_cols, geometries and "
                             "categories need a labelled result")
        return out
    if categories is not None:
        out = name_categories(out, categories)
    if include_cols:
        out = _with_columns(cov, out, [include_cols] if isinstance(include_cols, str)
                            else list(include_cols))
    if include_geom:
        if isinstance(out, pd.DataFrame):
            gpd = optional_import("geopandas", "io")
            out = gpd.GeoDataFrame(out, geometry=list(geometries(cov)), crs=cov.crs)
        elif output == "geodataframe":
            raise ValueError("a raster with leading dimensions (or a lazy one) gives an "
                             "xarray.Dataset, not a GeoDataFrame: use include_geom=True to "
                             "carry the zones' geometry as a coordinate, or select one step")
        else:
            out = out.assign_coords(geometry=("zone", geometries(cov)))
            if cov.crs:
                out["geometry"].attrs["crs"] = cov.crs
    return out


def _with_columns(cov, out, names):
    table = cov._table
    if table is None:
        raise ValueError("include_cols needs zones given as a GeoDataFrame or a vector file")
    missing = [c for c in names if c not in table.columns]
    if missing:
        raise ValueError(f"no column {missing[0]!r} in the zones; columns: "
                         f"{', '.join(map(str, table.columns))}")
    if isinstance(out, pd.DataFrame):
        clash = [c for c in names if c in out.columns]
        if clash:
            raise ValueError(f"the column {clash[0]!r} is also a statistic's name")
        front = table[names].set_axis(out.index)
        return pd.concat([front, out], axis=1)
    return out.assign_coords({c: ("zone", table[c].to_numpy()) for c in names})


def name_categories(out, categories: dict):
    """Class names on ``frac``'s columns and on the values of ``majority``/``minority``."""
    if not isinstance(categories, dict):
        raise TypeError("categories must be a dict {value: name}")
    names = {float(k): str(v) for k, v in categories.items()}

    def name(v):
        if v != v:  # NaN: a zone with nothing to count
            return None
        return names.get(float(v), f"{v:g}")

    if isinstance(out, pd.DataFrame):
        out = out.copy()
        for col in ("majority", "minority"):
            if col in out.columns:
                out[col] = [name(v) for v in out[col]]
        renames = {}
        for col in out.columns:
            if isinstance(col, str) and col.startswith("frac_"):
                try:
                    renames[col] = f"frac_{name(float(col[5:]))}"
                except ValueError:
                    continue
        return out.rename(columns=renames)
    if "class" in out.coords:
        out = out.assign_coords(class_name=("class", [name(v) for v in out["class"].values]))
    values = sorted(names)
    for var in ("majority", "minority"):
        if var in out.data_vars:  # CF's way of naming the values of a variable
            out[var].attrs.update(flag_values=np.asarray(values),
                                  flag_meanings=" ".join(names[v].replace(" ", "_")
                                                         for v in values))
    return out


# -- CF-1.8 NetCDF ----------------------------------------------------------------------------


def to_cf(ds, *, geometry: bool = True):
    """A result Dataset with CF-1.8 attributes (Conventions, history, per statistic
    long_name and cell_methods) and, where the zones' geometry rides along as the
    ``geometry`` coordinate, that geometry encoded as a CF-1.8 polygon container."""
    import xarray as xr

    from . import __version__

    if isinstance(ds, pd.DataFrame):
        shapes = None
        if hasattr(ds, "geometry"):  # a GeoDataFrame: its shapes become the geometry
            shapes, crs = np.asarray(ds.geometry.values, dtype=object), ds.crs
            ds = pd.DataFrame(ds.drop(columns=ds.geometry.name))
        frame = ds.copy()
        frame.index = frame.index.rename("zone")
        ds = xr.Dataset.from_dataframe(frame)
        if shapes is not None:
            held = np.empty(len(shapes), dtype=object)
            held[:] = [None if g is None or g.is_empty else g for g in shapes]
            ds = ds.assign_coords(geometry=("zone", held))
            if crs is not None:
                ds["geometry"].attrs["crs"] = crs.to_string()
    ds = ds.copy()
    source = ds.attrs.get("source") or ""
    for name, var in ds.data_vars.items():
        stat = _base_stat(str(name))
        what = _LONG_NAMES.get(stat, str(name))
        var.attrs.setdefault("long_name", f"{what} of {source} over each zone" if source
                             else f"{what} over each zone")
        if stat in _CELL_METHODS:
            var.attrs.setdefault("cell_methods", f"area: {_CELL_METHODS[stat]}")
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
    line = f"{stamp}: quorvalis {__version__} zonal statistics, method {ds.attrs.get('zonal_method', 'exact')}"
    old = ds.attrs.get("history")
    ds.attrs.update(Conventions="CF-1.8", history=f"{old}\n{line}" if old else line)
    if "zone" in ds.coords:
        ds["zone"].attrs.setdefault("cf_role", "timeseries_id")
    if geometry and "geometry" in ds.coords:
        ds = _encode_geometry(ds)
    return ds


def _base_stat(name: str) -> str:
    if name.startswith("percentile_"):
        return "quantile"
    return name


def _encode_geometry(ds):
    """Polygons as CF-1.8 geometries: node coordinates, nodes per zone, nodes per part, and
    which parts are holes; exterior rings anticlockwise, holes clockwise."""
    import shapely

    geoms = ds["geometry"].values
    crs = ds["geometry"].attrs.get("crs")
    xs, ys, node_count, part_nodes, interior = [], [], [], [], []
    for g in geoms:
        total = 0
        polys = [] if g is None or g.is_empty else list(getattr(g, "geoms", [g]))
        for p in polys:
            p = shapely.geometry.polygon.orient(p, 1.0)
            for k, ring in enumerate([p.exterior, *p.interiors]):
                c = np.asarray(ring.coords)[:, :2]
                xs.append(c[:, 0])
                ys.append(c[:, 1])
                part_nodes.append(len(c))
                interior.append(int(k > 0))
                total += len(c)
        node_count.append(total)
    ds = ds.drop_vars("geometry")
    def cat(a):
        return (np.concatenate(a) if a else np.zeros(0))
    ds["x"] = ("node", cat(xs), {"axis": "X"})
    ds["y"] = ("node", cat(ys), {"axis": "Y"})
    ds["node_count"] = ("zone", np.asarray(node_count, np.int64))
    ds["part_node_count"] = ("part", np.asarray(part_nodes, np.int64))
    ds["interior_ring"] = ("part", np.asarray(interior, np.int64))
    ds["geometry_container"] = ((), 0, {
        "geometry_type": "polygon", "node_count": "node_count", "node_coordinates": "x y",
        "part_node_count": "part_node_count", "interior_ring": "interior_ring",
        "variable_name": "geometry"})  # the name readers may give the decoded shapes
    if crs:
        ds["geometry_container"].attrs["crs_wkt"] = _wkt(crs)
    ds = ds.set_coords(["x", "y"])
    for name in ds.data_vars:
        if "zone" in ds[name].dims and name not in ("node_count",):
            ds[name].attrs["geometry"] = "geometry_container"
    return ds


def _wkt(crs: str) -> str:
    try:
        import pyproj

        return pyproj.CRS.from_user_input(crs).to_wkt()
    except Exception:  # no pyproj: the text as it came
        return crs


# -- vector outputs ---------------------------------------------------------------------------


def write_geo(result, path: str) -> None:
    """A GeoDataFrame to GeoPackage, FlatGeobuf or GeoParquet, whole or not at all: written
    in a fresh folder beside the destination, then renamed onto it."""
    if not (isinstance(result, pd.DataFrame) and hasattr(result, "geometry")):
        raise ValueError(f"{path}: a vector file needs the zones' geometry, and a raster with "
                         "leading dimensions gives no table of zones; write .nc instead")
    ext = os.path.splitext(path)[1].lower()
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise FileNotFoundError(f"no such directory for the output: {directory}")
    work = tempfile.mkdtemp(prefix=".quorvalis-", dir=directory)
    try:
        tmp = os.path.join(work, os.path.basename(path))
        if ext == ".geoparquet":
            optional_import("pyarrow", "io")
            result.to_parquet(tmp)
        else:
            layer = os.path.splitext(os.path.basename(path))[0]
            options = {}
            if ext == ".fgb" and result.geometry.isna().any():  # its index cannot hold them
                options["SPATIAL_INDEX"] = "NO"
            result.to_file(tmp, driver=GEO_FORMATS[ext], layer=layer, **options)
        checkpoint()
        os.chmod(tmp, output_mode(path))
        os.replace(tmp, path)
    except BaseException as err:
        failure = write_error(err, path, tmp, sum(file_size(os.path.join(work, f)) for f in os.listdir(work)))
        if failure is err:
            raise
        raise failure from None
    finally:
        shutil.rmtree(work, ignore_errors=True)
