"""The quorvalis package as users call it: zones in, labelled results out, equal to the engine."""

import pickle
import tracemalloc

import numpy as np
import pandas as pd
import pytest
import shapely
import xarray as xr

import _quorvalis as q
import quorvalis as qv

gpd = pytest.importorskip("geopandas")
rasterio = pytest.importorskip("rasterio")

NINE = ["mean", "sum", "count", "min", "max", "variance", "stdev", "weighted_mean", "weighted_sum"]
GRID = qv.Grid(0.0, 0.0, 15.0, 10.0, 0.5, 0.5)  # 20 rows x 30 cols
ZONES = [
    shapely.Polygon([(1.1, 1.3), (6.2, 0.7), (7.9, 5.1), (2.4, 8.8)], [[(3, 3), (5, 3), (4, 5)]]),
    shapely.MultiPolygon([shapely.box(8.3, 1.2, 10.6, 3.9), shapely.box(11.0, 6.1, 14.2, 9.7)]),
    shapely.box(20.0, 20.0, 21.0, 21.0),  # off the grid: the engine keeps no basin for it
    shapely.Point(3, 3).buffer(2.2),
]


def stack(t=5, seed=3):
    r = np.random.default_rng(seed).normal(10.0, 3.0, (t, *GRID.shape))
    r[:, 4, 5] = -9999.0
    r[-1, 7, 7] = np.nan
    return r


def test_results_equal_the_engine_bit_for_bit_in_input_order():
    raster, weights = stack(), np.random.default_rng(5).uniform(0.5, 2.0, GRID.shape)
    cov = qv.Coverage(ZONES, GRID)
    cache = q.build_cache([z.wkb for z in ZONES], [0, 1, 2, 3], *GRID.astuple())
    kept = cache.ids()
    assert list(kept) == [0, 1, 3]
    plain = cov.stats(raster, NINE, nodata=-9999.0, as_numpy=True, max_fields=2)
    weighted = cov.stats(raster, ["mean", "weighted_sum"], weights=weights, nodata=-9999.0,
                         as_numpy=True)
    for s in NINE:
        np.testing.assert_array_equal(plain[s][:, kept], q.apply_stat_batch(cache, raster, -9999.0, s))
        assert np.all(plain[s][:, 2] == 0) if s in ("sum", "count", "weighted_sum") else np.isnan(plain[s][:, 2]).all()
    for mine, theirs in [("mean", "weighted_mean"), ("weighted_sum", "weighted_sum")]:
        expected = q.apply_stat_batch_weights(cache, raster, weights, -9999.0, np.nan, theirs)
        np.testing.assert_array_equal(weighted[mine][:, kept], expected)
    # A float32 copy gives the engine's result on the float64 widening of the same values.
    f32 = raster.astype(np.float32)
    np.testing.assert_array_equal(cov.stats(f32[0], "max", nodata=-9999.0, as_numpy=True)["max"][kept],
                                  q.apply_stat(cache, f32[0].astype(np.float64), -9999.0, "max"))


def test_the_issue_example_runs_as_written(tmp_path):
    rng = np.random.default_rng(0)
    basins = gpd.GeoDataFrame({"HYBAS_ID": [7001, 7002, 7003]}, crs="EPSG:4326", geometry=[
        shapely.box(-20, 10, 15, 40), shapely.box(100, -30, 140, -10), shapely.Polygon()])
    basins.to_file(tmp_path / "basins.gpkg")
    lat, lon = np.arange(89.0, -90, -2.0), np.arange(1.0, 360, 2.0)
    t2m = rng.normal(280, 10, (4, lat.size, lon.size)).astype(np.float32)
    t2m[:, 40, 10] = 1e20
    ds = xr.Dataset({"t2m": (("time", "lat", "lon"), t2m, {"units": "K"})},
                    coords={"time": pd.date_range("2020-01-01", periods=4), "lat": lat, "lon": lon})
    ds.t2m.encoding["_FillValue"] = np.float32(1e20)
    ds.to_netcdf(tmp_path / "t2m_daily.nc")
    dem = rng.uniform(0, 3000, (90, 180)).astype(np.int16)
    with rasterio.open(tmp_path / "dem.tif", "w", driver="GTiff", height=90, width=180, count=1,
                       dtype="int16", crs="EPSG:4326", nodata=-1,
                       transform=rasterio.transform.from_origin(-180, 90, 2, 2)) as dst:
        dst.write(dem, 1)

    basins = gpd.read_file(tmp_path / "basins.gpkg")
    ds = xr.open_dataset(tmp_path / "t2m_daily.nc")
    cov = qv.Coverage(basins, ds, id="HYBAS_ID")
    out = cov.stats(ds["t2m"], ["mean", "max"], weights="area")
    df = qv.zonal_stats(basins, tmp_path / "dem.tif", stats=["mean", "min", "max", "count"])
    ds.close()

    assert out["mean"].dims == ("time", "zone") and list(out.zone.values) == [7001, 7002, 7003]
    assert out["mean"].attrs["units"] == "K" and out.time.size == 4
    assert np.isnan(out["mean"].values[:, 2]).all() and (out["max"].values[:, :2] < 1e19).all()
    assert list(df.columns) == ["mean", "min", "max", "count"] and len(df) == 3
    assert df["count"].iloc[0] == pytest.approx(35 * 30 / 4) and df["count"].iloc[2] == 0


@pytest.mark.parametrize("make", [
    lambda z: gpd.GeoDataFrame({"name": list("abcd")}, geometry=z).set_index("name"),
    lambda z: gpd.GeoDataFrame({"name": list("abcd")}, geometry=z),
    lambda z: gpd.GeoSeries(z, index=list("abcd")),
    lambda z: [g.wkb for g in z],
    lambda z: z,
], ids=["gdf-index", "gdf-id", "geoseries", "wkb", "shapely"])
def test_every_kind_of_zones_gives_the_same_rows(make):
    zones = make(ZONES)
    ids = "name" if isinstance(zones, pd.DataFrame) and "name" in zones.columns else None
    if isinstance(zones, list):
        ids = list("abcd")
    df = qv.zonal_stats(zones, xr.DataArray(stack(1)[0], dims=("y", "x"), coords={
        "y": 9.75 - 0.5 * np.arange(20), "x": 0.25 + 0.5 * np.arange(30)}), ["mean", "count"],
        id=ids, nodata=-9999.0)
    assert list(df.index) == list("abcd")
    assert df["count"].iloc[2] == 0 and np.isnan(df["mean"].iloc[2])
    assert df["count"].iloc[3] > 0


@pytest.mark.parametrize("geom,what", [
    (shapely.Point(1, 1), "a Point"),
    (shapely.LineString([(0, 0), (1, 1)]), "a LineString"),
    (shapely.GeometryCollection([shapely.box(0, 0, 1, 1), shapely.Point(2, 2)]), "Point parts"),
    (b"\x01\x03\x00\x00", "not valid WKB"),
    (3.5, "not a geometry"),
])
def test_non_areal_zones_are_named_by_position_and_id(geom, what):
    with pytest.raises(ValueError, match=rf"zone 1 \(id 'b'\).*{what}"):
        qv.Coverage([shapely.box(0, 0, 1, 1), geom], GRID, id=["a", "b"])


def test_empty_zones_and_polygonal_collections_keep_their_rows():
    zones = [None, shapely.Polygon(), shapely.GeometryCollection([shapely.box(1, 1, 3, 3)]), ZONES[0]]
    out = qv.Coverage(zones, GRID).stats(stack(2), ["count", "max"])
    assert out["count"].values[:, :2].tolist() == [[0, 0], [0, 0]] and np.isnan(out["max"].values[:, :2]).all()
    assert (out["count"].values[:, 2] == 16).all()


def test_nd_stack_keeps_coordinates_and_attributes():
    data = np.random.default_rng(1).normal(size=(2, 3, *GRID.shape))
    da = xr.DataArray(data, dims=("member", "time", "y", "x"), name="pr", attrs={"units": "mm", "_FillValue": -1.0},
                      coords={"member": ["a", "b"], "time": [10, 20, 30], "run": "r1",
                              "y": 9.75 - 0.5 * np.arange(20), "x": 0.25 + 0.5 * np.arange(30)})
    out = qv.Coverage(ZONES, da).stats(da, ["mean", "count"], max_fields=4)
    assert out["mean"].dims == ("member", "time", "zone") and out["run"].item() == "r1"
    if "quantile" in qv.STATS:
        both = qv.Coverage(ZONES, da).stats(da.round(), ["quantile", "frac"], quantiles=[0.2, 0.7])
        assert both["quantile"].dims == ("member", "time", "zone", "q")
        assert both["frac"].dims == ("member", "time", "zone", "class")
        np.testing.assert_allclose(both["frac"].sum("class").values[..., [0, 1, 3]], 1.0)
    assert out["mean"].attrs == {"units": "mm"} and out["count"].attrs == {}
    flat = qv.Coverage(ZONES, da).stats(data.reshape(6, *GRID.shape), "mean", as_numpy=True)["mean"]
    np.testing.assert_array_equal(out["mean"].values.reshape(6, 4), flat)


def test_time_chunks_bound_memory_whatever_the_stack_length(tmp_path):
    cov = qv.Coverage(ZONES, GRID)
    peaks = {}
    for t in (40, 320):
        da = xr.DataArray(np.random.default_rng(t).normal(size=(t, *GRID.shape)).astype(np.float32),
                          dims=("time", "y", "x"), coords={"y": 9.75 - 0.5 * np.arange(20),
                                                           "x": 0.25 + 0.5 * np.arange(30)})
        da.to_netcdf(tmp_path / f"s{t}.nc")
        with xr.open_dataarray(tmp_path / f"s{t}.nc") as lazy:  # read from disk chunk by chunk
            tracemalloc.start()
            out = cov.stats(lazy, ["mean", "max"], max_fields=10, as_numpy=True)
            peaks[t] = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
        np.testing.assert_array_equal(out["max"], cov.stats(da, "max", as_numpy=True)["max"])
    stack_bytes = 320 * GRID.shape[0] * GRID.shape[1] * 8
    assert peaks[320] < stack_bytes / 5, peaks
    assert peaks[320] < 2 * peaks[40] + 320 * 4 * 8 * 4, peaks


def test_pickled_coverage_rebuilds_and_agrees():
    cov = qv.Coverage(ZONES, GRID, id=[5, 6, 7, 8], method="center")
    back = pickle.loads(pickle.dumps(cov))
    assert repr(back) == repr(cov) and "4 zones" in repr(cov) and "'center'" in repr(cov)
    a, b = (c.stats(stack(), ["mean", "stdev"], as_numpy=True) for c in (cov, back))
    for s in a:
        np.testing.assert_array_equal(a[s], b[s])


def test_progress_bars_and_zones_built_in_slices_give_the_same_results(monkeypatch, capsys):
    from quorvalis import _coverage

    names = [s for s in ("mean", "max", "frac", "quantile") if s in qv.STATS]
    raster = np.round(stack()).clip(5, 14)  # few classes, so "frac" has columns to align
    whole = qv.Coverage(ZONES, GRID).stats(raster, names, quantiles=[0.5], as_numpy=True)
    monkeypatch.setattr(_coverage, "_ZONES_PER_BAR_STEP", 1)  # one engine coverage per zone
    cov = qv.Coverage(ZONES, GRID, progress=True)
    sliced = cov.stats(raster, names, quantiles=[0.5], as_numpy=True, progress=True, max_fields=2)
    err = capsys.readouterr().err
    assert "building coverage" in err and "reducing" in err
    assert whole.keys() == sliced.keys()
    for s in whole:
        np.testing.assert_array_equal(whole[s], sliced[s])
    if "frac" in names:
        assert cov.fractions(2)[2].shape == (0, 0)
        r0, c0, f = cov.fractions(3)  # the circle around (3, 3): rows from y 5.2, cols from x 0.8
        assert (r0, c0) == (9, 1) and f.sum() == pytest.approx(ZONES[3].area / 0.25, rel=1e-6)


def test_sparse_matrix_and_mask_agree_with_sum_across_zone_slices(monkeypatch):
    pytest.importorskip("quorvalis._engine")
    from quorvalis import _coverage

    monkeypatch.setattr(_coverage, "_ZONES_PER_BAR_STEP", 2)
    cov = qv.Coverage(ZONES + [None], GRID, progress=True)
    values = np.random.default_rng(9).normal(size=GRID.shape)
    m = cov.to_sparse()
    assert m.shape == (5, 600) and m[4].nnz == 0 and m[2].nnz == 0
    sums = cov.stats(values, "sum", as_numpy=True)["sum"]
    np.testing.assert_allclose(m @ values.ravel(), sums, rtol=1e-12)
    np.testing.assert_allclose(cov.to_xarray().sum(["y", "x"]).values, np.asarray(m.sum(axis=1)).ravel(), rtol=1e-6)
