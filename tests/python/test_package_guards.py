"""Refusals a new user meets first: continuous rasters under frac, dense masks too large for
memory, ids nobody can join on, zones off the raster, ambiguous files; and nodata matched
exactly in the raster's type."""

import numpy as np
import pytest
import shapely

import quorvalis as qv
from quorvalis import _safeio

GRID = qv.Grid(0, 0, 8, 8, 1, 1)
ZONES = [shapely.box(0, 0, 4, 8), shapely.box(4, 0, 8, 8)]


def continuous(dtype=np.float32):
    return np.random.default_rng(0).normal(size=(3, 8, 8)).astype(dtype)


@pytest.mark.parametrize("how", ["eager", "windowed", "stack"])
def test_frac_refuses_more_classes_than_the_limit(tmp_path, how):
    rasterio = pytest.importorskip("rasterio")
    data = continuous()
    if how == "windowed":
        path = tmp_path / "c.tif"
        with rasterio.open(path, "w", driver="GTiff", width=8, height=8, count=1, dtype="float32",
                           transform=rasterio.transform.from_origin(0, 8, 1, 1)) as dst:
            dst.write(data[0], 1)
        run = lambda **kw: qv.zonal_stats(ZONES, str(path), ["frac"], max_memory="1MB", **kw)  # noqa: E731
    else:
        raster = data[0] if how == "eager" else data
        run = lambda **kw: qv.zonal_stats(ZONES, raster, ["frac"], grid=GRID, **kw)  # noqa: E731
    with pytest.raises(ValueError, match=r"dtype float32\) holds \d+ distinct values.*max_classes=10:"):
        run(max_classes=10)
    assert run(max_classes=10_000) is not None  # every value a class, as asked
    classes = np.repeat(np.arange(4.0), 16).reshape(8, 8)  # a limit on classes, not cells
    assert qv.zonal_stats(ZONES, classes, ["frac"], grid=GRID, max_classes=4).shape == (2, 4)


def test_dense_mask_refused_before_allocating(monkeypatch):
    cov = qv.Coverage(ZONES, GRID)
    monkeypatch.setattr(_safeio, "available_memory", lambda: 100)
    with pytest.raises(MemoryError, match=r"512 bytes.*to_sparse\(\)"):
        cov.to_xarray()
    assert cov.to_sparse().nnz == 64


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_float_nodata_matched_exactly_in_the_raster_type(dtype):
    rate = np.full((8, 8), 1e-5, dtype)
    rate[:, :2] = 5e-7  # within 1e-6 of the nodata, yet valid
    rate[0] = 0
    out = qv.zonal_stats(ZONES, rate, ["count", "mean", "nodata_count", "frac"], grid=GRID,
                         nodata=0.0)
    assert out["count"].tolist() == [28.0, 28.0] and out["nodata_count"].tolist() == [4.0, 4.0]
    assert out["mean"][0] == pytest.approx((14 * 1e-5 + 14 * 5e-7) / 28, rel=1e-6)
    assert "frac_0" not in out.columns
    nan_nodata = qv.zonal_stats(ZONES, rate, ["count"], grid=GRID, nodata=np.nan)
    assert nan_nodata["count"].tolist() == [32.0, 32.0]


@pytest.mark.parametrize("ids, match", [
    ([7, 7], "repeated: 7"), ([1.0, np.nan], "missing.*position 1"), (["a", None], "missing")])
def test_ids_that_cannot_label_rows_are_refused(ids, match):
    with pytest.raises(ValueError, match=match):
        qv.Coverage(ZONES, GRID, id=ids)


def test_zones_off_the_raster_are_an_error_or_a_warning():
    far = [shapely.box(500000, 4e6, 500100, 4.1e6)]
    with pytest.raises(ValueError, match=r"no zone overlaps.*x 500000\.\.500100.*no CRS.*x 0\.\.8"):
        qv.Coverage(far, GRID)
    with pytest.warns(qv.OutsideWarning, match="1 of 2 zones"):
        qv.Coverage([ZONES[0], shapely.box(6, 6, 10, 10)], GRID)


def test_zone_files_crs_axis_order_and_layers(tmp_path):
    gpd = pytest.importorskip("geopandas")
    xr = pytest.importorskip("xarray")
    zones = gpd.GeoDataFrame({"name": ["w", "e"]}, geometry=ZONES, crs="OGC:CRS84")
    da = xr.DataArray(np.arange(64.0).reshape(8, 8), dims=("lat", "lon"),
                      coords={"lat": np.arange(7.5, 0, -1), "lon": np.arange(0.5, 8)},
                      attrs={"crs": "EPSG:4326"})
    expected = qv.zonal_stats(zones, da, ["mean"])  # same CRS but for the axis order
    path = tmp_path / "z.gpkg"
    zones.to_file(path, layer="basins")
    zones.iloc[::-1].to_file(path, layer="reversed")
    with pytest.raises(ValueError, match="2 layers: basins, reversed; choose one with layer="):
        qv.zonal_stats(str(path), da, ["mean"])
    with pytest.raises(ValueError, match="no layer 'x'"):
        qv.zonal_stats(str(path), da, ["mean"], layer="x")
    got = qv.zonal_stats(str(path), da, ["mean"], layer="basins")
    np.testing.assert_array_equal(got["mean"].to_numpy(), expected["mean"].to_numpy())
    zones.to_parquet(tmp_path / "z.parquet")
    assert qv.zonal_stats(str(tmp_path / "z.parquet"), da, ["mean"]).equals(expected)


def test_multiband_raster_needs_a_band(tmp_path):
    rasterio = pytest.importorskip("rasterio")
    path = tmp_path / "mb.tif"
    with rasterio.open(path, "w", driver="GTiff", width=8, height=8, count=2, dtype="float64",
                       transform=rasterio.transform.from_origin(0, 8, 1, 1)) as dst:
        dst.write(np.stack([np.ones((8, 8)), np.full((8, 8), 2.0)]))
    with pytest.raises(ValueError, match="has 2 bands: choose one with band=N"):
        qv.zonal_stats(ZONES, str(path), ["mean"])
    both = qv.zonal_stats(ZONES, str(path), ["mean"], band="all")
    assert both["mean"].values.tolist() == [[1.0, 1.0], [2.0, 2.0]]
    assert qv.zonal_stats(ZONES, str(path), ["mean"], band=2)["mean"].tolist() == [2.0, 2.0]


def test_cli_takes_layer_and_max_classes(tmp_path, capsys):
    gpd = pytest.importorskip("geopandas")
    rasterio = pytest.importorskip("rasterio")
    from quorvalis.cli import main

    gpd.GeoDataFrame(geometry=ZONES, crs="EPSG:3857").to_file(tmp_path / "z.gpkg", layer="a")
    gpd.GeoDataFrame(geometry=ZONES[:1], crs="EPSG:3857").to_file(tmp_path / "z.gpkg", layer="b")
    path = tmp_path / "c.tif"
    with rasterio.open(path, "w", driver="GTiff", width=8, height=8, count=1, dtype="float32",
                       crs="EPSG:3857", transform=rasterio.transform.from_origin(0, 8, 1, 1)) as dst:
        dst.write(continuous()[0], 1)
    zones = str(tmp_path / "z.gpkg")
    assert main(["stats", zones, str(path)]) == 2
    assert "--layer" in capsys.readouterr().err
    assert main(["stats", zones, str(path), "--layer", "b", "--stats", "frac", "--max-classes", "5"]) == 2
    assert "max_classes=5" in capsys.readouterr().err
    assert main(["stats", zones, str(path), "--layer", "b", "--stats", "count"]) == 0
    assert capsys.readouterr().out.splitlines() == ["zone,count", "0,32.0"]


def _lazy(data):
    da = pytest.importorskip("dask.array")
    return da.from_array(data, chunks=(1, 8, 8))


@pytest.mark.parametrize("raster, kw, match", [
    ("lazy", dict(max_fields=1), "max_fields= .*rechunk"),
    ("lazy", dict(progress=True), "progress= .*computed later"),
    ("xarray", dict(affine=(1, 0, 0, 0, -1, 8)), "affine= .*carries its own grid"),
    ("numpy", dict(band=2), "band=2 .*one array"),
    ("xarray", dict(band=2), "band=2 .*one array"),
])
def test_arguments_that_would_be_ignored_are_refused(raster, kw, match):
    xr = pytest.importorskip("xarray")
    data = continuous()
    raster = {"lazy": lambda: _lazy(data), "numpy": lambda: data,
              "xarray": lambda: xr.DataArray(data[0], dims=("y", "x"), coords={
                  "y": np.arange(7.5, 0, -1), "x": np.arange(0.5, 8)})}[raster]()
    cov = qv.Coverage(ZONES, GRID)
    with pytest.raises(ValueError, match=match):
        cov.stats(raster, ["mean"], **kw)
    with pytest.raises(ValueError, match=match):  # also through a derived statistic
        cov.stats(raster, ["cv"], **kw)


def test_zonal_stats_of_a_dask_raster_shows_progress_of_the_build_only():
    data = continuous()
    lazy = qv.zonal_stats(ZONES, _lazy(data), ["mean"], grid=GRID, progress=True)
    eager = qv.zonal_stats(ZONES, data, ["mean"], grid=GRID)
    np.testing.assert_array_equal(lazy["mean"].values, eager["mean"].values)


def test_max_memory_bounds_the_blocks_of_an_array_in_memory(monkeypatch):
    from quorvalis import _coverage

    data = continuous(np.float64)
    sizes = []
    reduce = _coverage.Coverage._reduce_block
    monkeypatch.setattr(_coverage.Coverage, "_reduce_block",
                        lambda self, block, *a, **k: sizes.append(len(block)) or reduce(self, block, *a, **k))
    cov = qv.Coverage(ZONES, GRID)
    small = cov.stats(data, ["mean", "median"], max_memory=2 * 64 * 8)  # one field at once
    assert sizes == [1, 1, 1]
    np.testing.assert_array_equal(small["median"].values, cov.stats(data, ["median"])["median"].values)
