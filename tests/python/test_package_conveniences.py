"""Conveniences around the statistics: zone columns and geometry on results, other libraries'
names, derived and user statistics, cell tables, several bands, categories, CF output and
the xarray accessor."""

import numpy as np
import pandas as pd
import pytest
import shapely
import xarray as xr

import quorvalis as qv
from quorvalis import cli

gpd = pytest.importorskip("geopandas")
rasterio = pytest.importorskip("rasterio")

GRID = qv.Grid(0, 0, 6, 4, 1, 1)
ZONES = [shapely.box(0.5, 0.5, 2.5, 2.5), shapely.Polygon([(3.2, 0.3), (5.7, 1.1), (4.4, 3.8)]),
         shapely.Polygon()]
R = np.random.default_rng(3).integers(0, 5, (4, 6)).astype(np.float64)
R[3, 1] = np.nan


@pytest.fixture
def frame():
    return gpd.GeoDataFrame({"name": ["a", "b", "c"], "code": [7, 8, 9]}, crs="EPSG:32633",
                            geometry=ZONES)


def tif(path, bands, nodata=-1.0, crs="EPSG:32633", transform=None):
    bands = np.asarray(bands, np.float32).reshape((-1,) + np.shape(bands)[-2:])
    with rasterio.open(path, "w", driver="GTiff", height=bands.shape[1], width=bands.shape[2],
                       count=len(bands), dtype="float32", crs=crs, nodata=nodata,
                       transform=transform or rasterio.transform.from_origin(0, 4, 1, 1)) as dst:
        dst.write(bands)
    return path


def test_zone_columns_and_geometry_ride_along(frame, tmp_path):
    out = qv.zonal_stats(frame, tif(tmp_path / "r.tif", R), ["mean"], include_cols=["name"],
                         output="geodataframe")
    assert list(out.columns) == ["name", "mean", "geometry"] and out.crs == "EPSG:32633"
    assert list(out["name"]) == ["a", "b", "c"] and out.geometry.iloc[0].equals(ZONES[0])
    stack = qv.zonal_stats(frame, xr.DataArray(np.stack([R, R]), dims=("time", "y", "x"), coords={
        "y": 3.5 - np.arange(4), "x": 0.5 + np.arange(6)}), "max", include_cols="code",
        include_geom=True)
    assert list(stack["code"].values) == [7, 8, 9] and stack["geometry"].values[1].equals(ZONES[1])
    with pytest.raises(ValueError, match="no column 'nope'"):
        qv.zonal_stats(frame, tmp_path / "r.tif", include_cols=["nope"])


@pytest.mark.parametrize("ext", [".gpkg", ".fgb", ".geoparquet"])
def test_cli_writes_vector_files_whole(frame, tmp_path, ext):
    frame.to_file(tmp_path / "z.gpkg")
    out = tmp_path / f"out{ext}"
    argv = ["stats", str(tmp_path / "z.gpkg"), str(tif(tmp_path / "r.tif", R)), "--stats", "mean",
            "--include-cols", "name", "-o", str(out)]
    assert cli.main(argv) == 0
    back = gpd.read_parquet(out) if ext == ".geoparquet" else gpd.read_file(out)
    assert list(back["name"]) == ["a", "b", "c"] and back.crs == "EPSG:32633"
    np.testing.assert_allclose(back["mean"], qv.zonal_stats(frame, tmp_path / "r.tif", "mean")["mean"])
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["z.gpkg", "r.tif", out.name])
    out.unlink()
    tif(tmp_path / "r.tif", np.stack([R, R]))  # two bands: a stack has no table of zones
    assert cli.main(argv + ["--band", "all"]) == 2 and not out.exists()


def test_derived_statistics_and_aliases():
    w = np.random.default_rng(4).uniform(0.5, 2.0, R.shape)
    out = qv.zonal_stats(ZONES, R, grid=GRID, weights=w, stats=[
        "std", "nodata", "unique", "nan", "area", "weighted_variance", "weighted_stdev", "cv",
        "percentile_90", "mean"])
    plain = qv.zonal_stats(ZONES, R, grid=GRID, stats=["stdev", "nodata_count", "variety",
                                                       "coverage", "quantile"], quantiles=[0.9])
    for ours, theirs in [("std", "stdev"), ("nodata", "nodata_count"), ("unique", "variety"),
                         ("area", "coverage"), ("percentile_90", "quantile_0.9")]:
        np.testing.assert_array_equal(out[ours], plain[theirs])
    cov = qv.Coverage(ZONES, GRID)
    for k in range(2):  # the definitions, from each zone's cells
        r0, c0, f = cov.fractions(k)
        v = R[r0:r0 + f.shape[0], c0:c0 + f.shape[1]]
        ww = (f * w[r0:r0 + f.shape[0], c0:c0 + f.shape[1]])[np.isfinite(v) & (f > 0)]
        vv = v[np.isfinite(v) & (f > 0)]
        m = (ww * vv).sum() / ww.sum()
        var = (ww * (vv - m) ** 2).sum() / ww.sum()
        assert out["weighted_variance"][k] == pytest.approx(var, rel=1e-12)
        assert out["cv"][k] == pytest.approx(np.sqrt(var) / m, rel=1e-12)
        assert out["nan"][k] == pytest.approx(f[np.isnan(v)].sum())
    assert out.loc[2].isna()[["cv", "weighted_variance"]].all() and out.loc[2, "area"] == 0


def test_area_on_the_sphere_is_fractions_times_cell_areas():
    g = qv.Grid(0, 40, 4, 44, 1, 1, lonlat=True)
    z = [shapely.box(0.5, 40.5, 3.0, 43.0)]
    got = qv.zonal_stats(z, np.ones((4, 4)), grid=g, stats="area")["area"][0]
    assert got == pytest.approx((qv.Coverage(z, g).to_xarray()[0].values * qv.cell_areas(g)).sum())


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # rasterstats' use of affine
def test_a_rasterstats_call_ports_by_changing_the_import(tmp_path):
    rs = pytest.importorskip("rasterstats")
    data = np.random.default_rng(5).integers(0, 6, (20, 30)).astype(np.float32)
    data[4:7, 3:9] = -9999.0
    path = tif(tmp_path / "slope.tif", data, nodata=-9999.0,
               transform=rasterio.transform.from_origin(100, 220, 1, 1))
    polys = gpd.GeoDataFrame(geometry=[shapely.Polygon([(101.13, 201.37), (118.71, 203.29),
                                                        (112.33, 218.41)]),
                                       shapely.box(110.21, 205.17, 127.93, 214.61)],
                             crs="EPSG:32633")
    polys.to_file(tmp_path / "polygons.shp")
    stats = "count min mean max sum std nodata unique majority minority range"
    theirs = pd.DataFrame(rs.zonal_stats(str(tmp_path / "polygons.shp"), str(path), stats=stats))
    ours = qv.zonal_stats(str(tmp_path / "polygons.shp"), str(path), stats=stats, method="center")
    pd.testing.assert_frame_equal(ours.reset_index(drop=True), theirs[stats.split()], check_dtype=False,
                                  rtol=1e-12)


def test_user_statistics_in_memory_and_per_time_chunk():
    calls = []

    def wmean(v, w):
        calls.append(v.shape)
        return np.nansum(v * w, axis=-1) / np.sum(w * np.isfinite(v), axis=-1)

    stack = np.random.default_rng(6).normal(size=(5, 4, 6))
    got = qv.Coverage(ZONES, GRID).stats(stack, {"m": "mean", "p": wmean}, max_fields=2)
    np.testing.assert_allclose(got["p"], got["m"], rtol=1e-12)
    assert len(calls) == 2 * 3 and calls[0] == (2, 9)  # per zone with cells, per chunk
    flat = qv.zonal_stats(ZONES, R, grid=GRID, stats=["mean", wmean])
    np.testing.assert_allclose(flat["wmean"], flat["mean"], rtol=1e-12)
    with pytest.raises(ValueError, match="returned shape"):
        qv.zonal_stats(ZONES, R, grid=GRID, stats={"bad": lambda v, w: v})
    da = pytest.importorskip("dask.array")
    lazy = qv.Coverage(ZONES, GRID).stats(da.from_array(stack, chunks=(2, 4, 6)), {"p": wmean})
    np.testing.assert_array_equal(lazy["p"].compute(), got["p"])
    with pytest.raises(ValueError, match="chunked along its spatial axes"):
        qv.zonal_stats(ZONES, da.from_array(stack, chunks=(2, 2, 6)), grid=GRID, stats=[wmean])


def test_cell_table_long_form_and_chunks():
    stack = np.stack([R, R + 1])
    cov = qv.Coverage(ZONES, GRID)
    table = cov.cells(stack, weights=np.full(R.shape, 2.0))
    assert len(table) == 2 * cov.to_sparse().nnz and list(table.columns) == [
        "time", "zone", "row", "col", "x", "y", "fraction", "weight", "value"]
    one = table[(table.time == 1) & (table.zone == 0)]
    np.testing.assert_allclose((one.fraction * one.value).sum() / one.fraction[one.value.notna()].sum(),
                               cov.stats(stack, "mean")["mean"][1, 0])
    assert (one.x == one.col + 0.5).all() and (one.y == 3.5 - one.row).all()
    pd.testing.assert_frame_equal(pd.concat(cov.cells(stack, weights=np.full(R.shape, 2.0),
                                                      chunksize=5), ignore_index=True), table)
    parts = list(qv.cells(ZONES, R, grid=GRID, chunksize=4))
    assert max(map(len, parts)) == 4
    pd.testing.assert_frame_equal(pd.concat(parts, ignore_index=True), qv.cells(ZONES, R, grid=GRID))


def test_every_band_in_one_pass_and_weights_from_a_file(frame, tmp_path):
    bands = np.stack([R, R * 2, R + 3])
    path = tif(tmp_path / "b.tif", bands)
    wpath = tif(tmp_path / "w.tif", np.full(R.shape, 2.0))
    out = qv.zonal_stats(frame, path, ["mean", "max"], band=[1, 3], weights=wpath)
    assert out["mean"].dims == ("band", "zone") and list(out.band.values) == [1, 3]
    for k, b in enumerate([1, 3]):
        np.testing.assert_array_equal(out["max"][k], qv.zonal_stats(frame, path, "max", band=b)["max"])
    assert qv.zonal_stats(frame, path, "mean", band="all")["mean"].shape == (3, 3)


@pytest.mark.parametrize("transform", [None, rasterio.transform.Affine(1, 0, 0, 0, 1, -0.5)])  # bottom-up
def test_bands_are_read_by_window_like_one_band(frame, tmp_path, transform):
    from quorvalis._raster import describe

    path = tif(tmp_path / "b.tif", np.stack([R, R * 2, -R]), transform=transform)
    src = describe(path, "all")
    assert src.shape == (3, 4, 6) and callable(src.data)  # asking the shape reads nothing
    out = qv.zonal_stats(frame, path, ["mean", "max"], band="all", max_memory="4KiB")
    for b in range(3):
        for s in ("mean", "max"):
            np.testing.assert_array_equal(out[s][b], qv.zonal_stats(frame, path, s, band=b + 1)[s])


def test_categories_name_classes_and_modes():
    names = {0: "water", 1: "forest", 2: "crop", 3: "urban", 4: "bare"}
    out = qv.zonal_stats(ZONES, R, grid=GRID, stats=["majority", "frac"], categories=names)
    plain = qv.zonal_stats(ZONES, R, grid=GRID, stats=["majority", "frac"])
    assert list(out["majority"][:2]) == [names[v] for v in plain["majority"][:2]]
    assert pd.isna(out["majority"][2]) and "frac_forest" in out.columns
    ds = qv.Coverage(ZONES, GRID).stats(np.stack([R]), ["majority", "frac"], categories=names)
    assert ds["majority"].attrs["flag_meanings"].split()[1] == "forest"
    assert list(ds["class_name"].values) == [names[c] for c in ds["class"].values]


def test_netcdf_results_follow_cf(frame, tmp_path):
    stack = xr.DataArray(np.stack([R, R]), dims=("time", "y", "x"), name="t", attrs={"units": "K"},
                         coords={"y": 3.5 - np.arange(4), "x": 0.5 + np.arange(6), "time": [0, 1]})
    out = qv.zonal_stats(frame.iloc[:2], stack, ["mean", "max", "count"], include_geom=True)
    ds = qv.to_cf(out)
    assert ds.attrs["Conventions"] == "CF-1.8" and "quorvalis" in ds.attrs["history"]
    assert ds["mean"].attrs["cell_methods"] == "area: mean" and ds["mean"].attrs["units"] == "K"
    assert ds["max"].attrs["cell_methods"] == "area: maximum" and "units" not in ds["count"].attrs
    ds.to_netcdf(tmp_path / "o.nc")
    cfx = pytest.importorskip("cf_xarray.geometry")
    back = cfx.decode_geometries(xr.open_dataset(tmp_path / "o.nc"))
    assert all(back["geometry"].values[k].equals(ZONES[k]) for k in range(2))


def test_accessor_on_dataarrays_and_datasets():
    da = xr.DataArray(R, dims=("y", "x"), coords={"y": 3.5 - np.arange(4), "x": 0.5 + np.arange(6)})
    pd.testing.assert_frame_equal(da.qv.zonal_stats(ZONES, ["mean"]), qv.zonal_stats(ZONES, da, ["mean"]))
    out = xr.Dataset({"a": da, "b": da * 2}).qv.zonal_stats(ZONES, ["max"])
    np.testing.assert_array_equal(out["b_max"], 2 * out["a_max"])
    assert len(da.qv.coverage(ZONES)) == 3


def test_all_touched_counts_exactly_the_cells_with_a_positive_fraction():
    grid = qv.Grid(0, 0, 6, 6, 1, 1)
    # a triangle whose edges cross cells, a box on cell lines (a cell it only borders is
    # not touched), and a thin sliver inside one row
    zones = [shapely.Polygon([(0.3, 0.2), (5.7, 1.1), (2.2, 5.4)]), shapely.box(1, 1, 3, 3),
             shapely.box(0.1, 4.4, 5.9, 4.41)]
    exact, touched = (qv.Coverage(zones, grid, method=m) for m in ("exact", "all_touched"))
    for k in range(len(zones)):
        r0, c0, f = exact.fractions(k)
        r1, c1, t = touched.fractions(k)
        assert (r0, c0) == (r1, c1)
        np.testing.assert_array_equal(t, np.where(f > 0, 1.0, 0.0))
    ones = np.ones((6, 6))
    counts = qv.zonal_stats(zones, ones, "count", grid=grid, method="all_touched")["count"]
    np.testing.assert_array_equal(counts, [(exact.fractions(k)[2] > 0).sum() for k in range(3)])


@pytest.mark.parametrize("zone,extra", [
    (shapely.Point(3.3, 2.7).buffer(1.9), 0),  # the outline crosses cell lines, never runs along one
    (shapely.box(1, 1, 3, 4), 0),  # along cell lines: rasterio leaves the cells outside them too
    # a vertex on the top side of the cell below it, and a diamond whose edges pass through
    # cell corners: rasterio burns the cells they touch only at that point
    (shapely.Polygon([(0.5, 2), (6.5, 2), (3.3, 5.5)]), 1),
    (shapely.Polygon([(4, 1), (6, 3), (4, 5), (2, 3)]), 2),
])
def test_all_touched_against_rasterio(zone, extra):
    from rasterio import features, transform

    ours = qv.Coverage([zone], qv.Grid(0, 0, 8, 6, 1, 1), method="all_touched").to_sparse().toarray()
    ours = ours[0].reshape(6, 8) > 0
    theirs = features.rasterize([zone], (6, 8), transform=transform.from_origin(0, 6, 1, 1), all_touched=True) > 0
    assert not (ours & ~theirs).any()
    # rasterio's extra cells share only boundary with the zone: no area, so no fraction
    cells = [shapely.box(c, 5 - r, c + 1, 6 - r) for r, c in np.argwhere(theirs & ~ours)]
    assert len(cells) == extra and all(cell.touches(zone) for cell in cells)
