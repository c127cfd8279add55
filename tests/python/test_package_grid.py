"""Grids derived from the data, longitudes across the seam, CRS checks, nodata and cell areas."""

import math

import numpy as np
import pytest
import shapely
import xarray as xr

import quorvalis as qv

gpd = pytest.importorskip("geopandas")
rasterio = pytest.importorskip("rasterio")
from affine import Affine  # noqa: E402  (comes with rasterio)

ROWS, COLS = 8, 12
VALUES = np.random.default_rng(2).normal(size=(ROWS, COLS))
Y, X = 4.0 - 0.5 * np.arange(ROWS) - 0.25, 10.0 + 0.5 * np.arange(COLS) + 0.25  # centres, north-up
EXPECTED = qv.Grid(10.0, 0.0, 16.0, 4.0, 0.5, 0.5)
ZONE = [shapely.Polygon([(10.3, 0.2), (15.1, 1.1), (13.2, 3.9)])]


def geotiff(path, data, transform, crs="EPSG:4326", nodata=None):
    with rasterio.open(path, "w", driver="GTiff", height=data.shape[0], width=data.shape[1],
                       count=1, dtype=data.dtype, crs=crs, transform=transform, nodata=nodata) as dst:
        dst.write(data, 1)
    return path


@pytest.mark.parametrize("source", [
    lambda p: xr.DataArray(VALUES, dims=("y", "x"), coords={"y": Y, "x": X}),
    lambda p: xr.DataArray(VALUES[::-1], dims=("lat", "lon"), coords={"lat": Y[::-1], "lon": X}),  # south up
    lambda p: xr.DataArray(VALUES.T, dims=("x", "y"), coords={"y": Y, "x": X}),  # transposed
    lambda p: xr.Dataset({"v": (("y", "x"), VALUES)}, coords={"y": Y, "x": X.astype(np.float32)}),
    lambda p: geotiff(p / "a.tif", VALUES, Affine(0.5, 0, 10, 0, -0.5, 4)),
    lambda p: geotiff(p / "b.tif", VALUES[::-1].copy(), Affine(0.5, 0, 10, 0, 0.5, 0)),  # positive height
    lambda p: rasterio.open(geotiff(p / "c.tif", VALUES, Affine(0.5, 0, 10, 0, -0.5, 4))),
], ids=["xy", "lat-ascending", "transposed", "dataset-float32", "geotiff", "geotiff-south-up", "rasterio"])
def test_each_source_gives_the_grid_and_the_same_numbers(source, tmp_path):
    src = source(tmp_path)
    cov = qv.Coverage(ZONE, src)
    assert cov.grid == EXPECTED
    reference = qv.Coverage(ZONE, EXPECTED).stats(VALUES, ["mean", "max"], as_numpy=True)
    got = cov.stats(src["v"] if isinstance(src, xr.Dataset) else src, ["mean", "max"], as_numpy=True)
    for s in reference:
        np.testing.assert_array_equal(got[s], reference[s])


@pytest.mark.parametrize("make,message", [
    (lambda: xr.DataArray(VALUES, dims=("y", "x"), coords={"y": Y, "x": X ** 1.01}), "not regularly spaced"),
    (lambda: xr.DataArray(VALUES, dims=("j", "i"), coords={"lon": (("j", "i"), np.tile(X, (ROWS, 1))),
                                                           "lat": (("j", "i"), np.tile(Y[:, None], (1, COLS)))}),
     "curvilinear"),
    (lambda: xr.DataArray(VALUES, dims=("a", "b")), "cannot tell the x and y"),
    (lambda: qv.Grid.from_transform(Affine(0.5, 0.1, 10, 0, -0.5, 4), (ROWS, COLS)), "rotated or sheared"),
    (lambda: qv.Grid(0, 0, 10, 10, 0, 1), "positive"),
    (lambda: qv.Grid(0, 0, np.nan, 10, 1, 1), "finite"),
    (lambda: qv.Coverage(ZONE, EXPECTED).stats(VALUES[:, :-1], "mean"), "8 x 11 cells"),
    (lambda: qv.Coverage(ZONE, EXPECTED).stats(
        xr.DataArray(VALUES, dims=("y", "x"), coords={"y": Y + 0.5, "x": X}), "mean"), "not the coverage's grid"),
    (lambda: qv.Coverage(ZONE, VALUES), "carries no grid"),
    (lambda: qv.Coverage(ZONE, EXPECTED).stats(VALUES, "avg"), "unknown statistic 'avg'"),
    (lambda: qv.Coverage(ZONE, EXPECTED, method="centre"), "method"),
])
def test_grids_that_cannot_be_derived_or_do_not_match_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        qv.Coverage(ZONE, make())  # the sources that are no grid fail here


def test_zones_on_the_other_longitude_convention_and_across_the_seam_are_split_not_dropped():
    field = np.random.default_rng(4).normal(size=(36, 72))  # 5-degree cells, columns from 0 east
    east = xr.DataArray(field, dims=("lat", "lon"),
                        coords={"lat": 87.5 - 5 * np.arange(36), "lon": 2.5 + 5 * np.arange(72)})
    west = east.roll(lon=36, roll_coords=True).assign_coords(lon=lambda d: ((d.lon + 180) % 360) - 180)
    zones = [shapely.box(-12, -10, 13, 10),  # across 0: the seam of the 0..360 grid
             shapely.box(170, 40, 191, 60),  # across 180, drawn past it
             shapely.box(-178, -60, -160, -40), shapely.box(200, 10, 230, 30)]
    a = qv.Coverage(zones, east).stats(east, ["mean", "count", "min"], as_numpy=True)
    b = qv.Coverage(zones, west).stats(west, ["mean", "count", "min"], as_numpy=True)
    for s in a:
        np.testing.assert_allclose(a[s], b[s], rtol=1e-12)
    np.testing.assert_allclose(a["count"], [20 * 25 / 25, 21 * 20 / 25, 18 * 20 / 25, 30 * 20 / 25])


def test_different_crs_is_refused_with_both_named_and_the_cure(tmp_path):
    zones = gpd.GeoDataFrame(geometry=ZONE, crs="EPSG:4326").to_crs("EPSG:3857")
    tif = geotiff(tmp_path / "r.tif", VALUES, Affine(0.5, 0, 10, 0, -0.5, 4))
    with pytest.raises(ValueError, match=r"EPSG:3857.*EPSG:4326.*to_crs\('EPSG:4326'\)"):
        qv.zonal_stats(zones, tif, "mean")
    same = gpd.GeoDataFrame(geometry=ZONE, crs="EPSG:4326")
    assert qv.zonal_stats(same, tif, "mean")["mean"].notna().all()


@pytest.mark.parametrize("source", [
    lambda p, v: xr.DataArray(v, dims=("y", "x"), coords={"y": Y, "x": X}, attrs={"_FillValue": -7}),
    lambda p, v: xr.DataArray(v, dims=("y", "x"), coords={"y": Y, "x": X}, attrs={"missing_value": -7}),
    lambda p, v: geotiff(p / "n.tif", v, Affine(0.5, 0, 10, 0, -0.5, 4), nodata=-7),
    lambda p, v: np.ma.masked_equal(v, -7),
    lambda p, v: np.where(v == -7, np.nan, v),
], ids=["_FillValue", "missing_value", "geotiff-nodata", "masked", "nan"])
@pytest.mark.parametrize("dtype", ["int16", "float32"])
def test_nodata_is_taken_from_the_data(source, dtype, tmp_path):
    values = np.round(VALUES * 10).astype(dtype)
    values[2:5, 3:7] = -7
    clean = np.where(values == -7, np.nan, values.astype(np.float64))
    want = qv.Coverage(ZONE, EXPECTED).stats(clean, ["mean", "count"], as_numpy=True)
    src = source(tmp_path, values)
    grid = EXPECTED if isinstance(src, np.ndarray) else src
    got = qv.Coverage(ZONE, grid).stats(src, ["mean", "count"], as_numpy=True)
    for s in want:
        np.testing.assert_array_equal(got[s], want[s])
    assert got["count"][0] < qv.Coverage(ZONE, EXPECTED).stats(np.zeros(VALUES.shape), "count")["count"].iloc[0]


def test_nodata_argument_overrides_the_data():
    da = xr.DataArray(VALUES.round(), dims=("y", "x"), coords={"y": Y, "x": X}, attrs={"_FillValue": 0.0})
    cov = qv.Coverage(ZONE, da)
    assert cov.stats(da, "count")["count"].iloc[0] < cov.stats(da, "count", nodata=99.0)["count"].iloc[0]


def test_cell_areas_match_the_analytic_band_areas():
    grid = qv.Grid(-180, -90, 180, 90, 2.5, 2.5, crs="EPSG:4326")
    areas = qv.cell_areas(grid)
    r = qv.EARTH_RADIUS
    assert areas.sum() == pytest.approx(4 * math.pi * r * r, rel=1e-12)
    band = shapely.box(-180, 30, 180, 60)  # lies on cell lines: every cell wholly in or out
    out = qv.Coverage([band, shapely.box(0, -10, 10, 10)], grid).stats(
        np.ones(grid.shape), ["weighted_sum", "mean"], weights="area")
    assert out["weighted_sum"].iloc[0] == pytest.approx(
        2 * math.pi * r * r * (math.sin(math.radians(60)) - math.sin(math.radians(30))), rel=1e-12)
    lat = np.broadcast_to((90 - 1.25 - 2.5 * np.arange(72))[:, None], grid.shape)
    mean = qv.Coverage([band], grid).stats(lat, "mean", weights="area")["mean"].iloc[0]
    rows = slice(12, 24)
    assert mean == pytest.approx((lat[rows] * areas[rows]).sum() / areas[rows].sum(), rel=1e-12)
    assert mean < 45  # the wider, lower latitudes weigh more
    with pytest.raises(ValueError, match="longitude/latitude"):
        qv.Coverage(ZONE, EXPECTED).stats(VALUES, "mean", weights="area")


def test_bare_arrays_with_a_transform_are_read_the_right_way_up():
    want = qv.zonal_stats(ZONE, VALUES, ["mean", "max"], grid=EXPECTED)
    got = qv.zonal_stats(ZONE, VALUES[::-1], ["mean", "max"], affine=Affine(0.5, 0, 10, 0, 0.5, 0))
    np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
    with pytest.raises(ValueError, match="not the coverage's grid"):
        qv.Coverage(ZONE, EXPECTED).stats(VALUES, "mean", affine=Affine(0.5, 0, 11, 0, -0.5, 4))


def test_grid_of_needs_no_band_or_variable_and_reads_no_values(tmp_path):
    from quorvalis._raster import grid_of

    grid = qv.Grid(0, 0, 4, 3, 1, 1)
    coords = {"y": np.arange(2.5, 0, -1), "x": np.arange(0.5, 4)}
    ds = xr.Dataset({v: (("y", "x"), np.zeros((3, 4))) for v in ("a", "b")}, coords=coords)
    path = tmp_path / "two.tif"  # two bands: describing it would ask which
    with rasterio.open(path, "w", driver="GTiff", width=4, height=3, count=2, dtype="float32",
                       transform=rasterio.transform.from_origin(0, 3, 1, 1)) as dst:
        dst.write(np.zeros((2, 3, 4), np.float32))
    for raster in (ds, str(path), grid):
        assert grid_of(raster).matches(grid)
    assert grid_of(np.zeros((3, 4))) is None
