"""Lazy statistics on Dask: equal to the eager results on any chunking and scheduler."""

import tracemalloc

import numpy as np
import pytest
import shapely
import xarray as xr

import quorvalis as qv
from quorvalis import _covfile, _dask, _plan

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

# A 1-degree grid of 24 rows x 36 columns; spatial chunks of 10 x 15 cut through most zones.
Y = 11.5 - np.arange(24.0)
X = 0.5 + np.arange(36.0)
ZONES = [
    shapely.Polygon([(1.1, 1.3), (16.2, -5.7), (27.9, 5.1), (2.4, 10.8)], [[(9, 0), (13, 1), (11, 4)]]),
    shapely.MultiPolygon([shapely.box(3.3, -11.2, 8.6, -3.9), shapely.box(30.0, 1.1, 34.2, 9.7)]),
    shapely.box(50.0, 50.0, 51.0, 51.0),  # off the grid: NaN, counts 0
    shapely.Point(2.5, 9.5).buffer(1.3),  # inside one spatial chunk: every part but one is empty
    shapely.box(-10.0, -20.0, 60.0, 20.0),  # the whole grid
]
STREAMING = ["sum", "count", "min", "max", "range", "mean", "variance", "stdev", "nodata_count",
             "coverage"]
ORDERED = ["median", "quantile", "majority", "minority", "variety"]
NODATA = -9999.0


def field(t=13, dtype=np.float32, seed=5):
    rng = np.random.default_rng(seed)
    v = rng.normal(10.0, 3.0, (t, 24, 36)).round(1)  # rounded: ties for majority
    v[:, 4, 5] = NODATA
    v[3 % t, 7, 7] = np.nan
    v[5:, 20, 30] = np.inf
    if np.dtype(dtype).kind != "f":
        v = np.where(np.isfinite(v), v * 10, NODATA)
    v = v.astype(dtype)
    return xr.DataArray(v, dims=("time", "lat", "lon"),
                        coords={"time": np.arange(t), "lat": Y, "lon": X},
                        attrs={"_FillValue": NODATA, "units": "K"}, name="t2m")


@pytest.fixture(scope="module")
def cov():
    return qv.Coverage(ZONES, field(1))


@pytest.fixture(scope="module")
def client():
    """Two worker processes, started once for the module."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as cluster:
        with distributed.Client(cluster, set_as_default=False) as c:
            yield c


def bits(a):
    a = np.ascontiguousarray(np.asarray(a, dtype=np.float64))
    return a.view(np.uint64)


@pytest.mark.parametrize("scheduler", ["threads", "processes"])
@pytest.mark.parametrize("weights", [None, "area"])
def test_time_chunks_give_the_eager_results_bit_for_bit(cov, scheduler, weights):
    eager = cov.stats(field(), STREAMING + ORDERED, weights=weights, quantiles=[0.1, 0.9])
    lazy = cov.stats(field().chunk({"time": 4}), STREAMING + ORDERED, weights=weights,
                     quantiles=[0.1, 0.9])
    assert lazy["mean"].chunks is not None and lazy["quantile"].dims == ("time", "zone", "q")
    got = lazy.compute(scheduler=scheduler)
    xr.testing.assert_identical(got, eager)
    for s in eager.data_vars:
        assert (bits(got[s]) == bits(eager[s])).all(), s


@pytest.mark.parametrize("chunks", [{"lat": 10, "lon": 15}, {"time": 5, "lat": 7, "lon": 20}])
@pytest.mark.parametrize("dtype", [np.float32, np.int16])
@pytest.mark.parametrize("budget", [None, 100_000])
def test_spatial_chunks_give_the_eager_results_bit_for_bit(cov, chunks, dtype, budget):
    """Order statistics too: every zone's window is read whole by one task, whatever the
    chunks, and a small budget only spreads the zones over more tasks."""
    raster = field(dtype=dtype)
    stats = STREAMING + ORDERED + ["weighted_sum", "weighted_mean"]
    eager = cov.stats(raster, stats, weights="area", quantiles=[0.2, 0.5])
    lazy = cov.stats(raster.chunk(chunks), stats, weights="area", quantiles=[0.2, 0.5],
                     max_memory=budget).compute(scheduler="threads")
    for s in stats:
        assert (bits(lazy[s]) == bits(eager[s])).all(), s


def test_zones_larger_than_the_budget_carry_their_bands(cov):
    """The whole-grid zone does not fit: a chain of tasks carries its states band by band,
    across processes too, so every statistic is the eager one bit for bit."""
    raster = field(dtype=np.float64).chunk({"time": 5, "lat": 6, "lon": 6})
    stats = STREAMING + ORDERED + ["weighted_mean"]
    eager = cov.stats(field(dtype=np.float64), stats, weights="area", quantiles=[0.3])
    lazy = cov.stats(raster, stats, weights="area", quantiles=[0.3], max_memory=30_000)
    got = lazy.compute(scheduler="processes")
    xr.testing.assert_identical(got, eager)
    for s in eager.data_vars:
        assert (bits(got[s]) == bits(eager[s])).all(), s
    # narrower tiles where a band does not fit: to rounding
    small = cov.stats(raster, STREAMING, weights="area", max_memory=10_000)
    for s in STREAMING:
        np.testing.assert_allclose(small[s].compute(), eager[s], rtol=1e-12, atol=1e-9, err_msg=s)
    with pytest.raises(ValueError, match=r"zone \d+'s order .* bands .*max_memory= at least \d+"):
        cov.stats(raster, ["mean", "median"], max_memory=10_000)


def test_refusals_come_at_the_call(cov):
    with pytest.raises(ValueError, match="'frac' cannot be computed lazily"):
        cov.stats(field().chunk({"time": 4}), ["frac"])
    with pytest.raises(ValueError, match="quantiles"):  # at the call, not at compute
        cov.stats(field().chunk({"time": 4}), ["quantile"], quantiles=[1.5])


def test_bare_dask_arrays_and_2d_rasters(cov):
    raster = field()
    eager = cov.stats(raster.values, ["mean", "quantile"], nodata=NODATA, quantiles=[0.5],
                      as_numpy=True)
    lazy = cov.stats(da.from_array(raster.values, chunks=(3, 24, 36)), ["mean", "quantile"],
                     nodata=NODATA, quantiles=[0.5], as_numpy=True)
    for s in eager:
        assert (bits(lazy[s].compute()) == bits(eager[s])).all()
    flat = cov.stats(raster[0].chunk({"lat": 5}), ["max", "count"]).compute()
    frame = cov.stats(raster[0], ["max", "count"])
    assert flat["max"].dims == ("zone",)
    np.testing.assert_array_equal(flat["max"], frame["max"])
    np.testing.assert_allclose(flat["count"], frame["count"], rtol=1e-12)


@pytest.mark.parametrize("dtype,nodata", [(np.float32, 1e20), (np.float64, 0.0), (np.int16, -9999),
                                          (np.uint8, 255), (np.uint8, 300),
                                          (np.int32, 2.0000004), (np.int32, 2.5)])
def test_valid_cells_are_the_engines(cov, dtype, nodata):
    """The weights of a weighted mean's parts come from our own validity mask: it must count
    exactly the cells the engine counts."""
    rng = np.random.default_rng(1)
    v = rng.integers(0, 4, (2, 24, 36)).astype(dtype)
    v[0, :3] = np.asarray(nodata).astype(dtype)
    if np.dtype(dtype).kind == "f":
        v[1, 5, :4] = [5e-7, -5e-7, 2e-6, np.nan]
        v[1, 6, :2] = [np.float32(1e20), np.inf]
    engine = cov.stats(v, "count", nodata=nodata, as_numpy=True)["count"]
    ones = np.where(_plan.valid(v, nodata), 1.0, np.nan)
    assert (bits(cov.stats(ones, "count", as_numpy=True)["count"]) == bits(engine)).all()


def test_local_cluster_of_two_processes(cov, client):
    eager = cov.stats(field(), ["mean", "max", "stdev", "median"], weights="area")
    lazy = cov.stats(field().chunk({"time": 3}), ["mean", "max", "stdev", "median"], weights="area")
    xr.testing.assert_identical(lazy.compute(scheduler=client), eager)
    split = cov.stats(field().chunk({"time": 5, "lon": 12}), ["max", "variance"]).compute(scheduler=client)
    assert (bits(split["max"]) == bits(eager["max"])).all()
    np.testing.assert_allclose(split["variance"], cov.stats(field(), "variance")["variance"],
                               rtol=1e-10)
    # each worker built its groups' coverages for itself (one group per chunking here), and
    # kept them for the tasks that followed
    kept = client.run(lambda: list(_dask._built_coverages))
    assert len(kept) == 2 and all(0 < len(k) <= 2 for k in kept.values())


def test_zarr_stack_larger_than_a_chunk_in_bounded_memory(cov, tmp_path):
    pytest.importorskip("zarr")
    t = 12000  # 41 MB of float32 on disk, read 100 fields (350 kB) at a time
    field(t).to_dataset().to_zarr(tmp_path / "s.zarr", consolidated=False,
                                  encoding={"t2m": {"chunks": (100, 24, 36)}})
    lazy = xr.open_zarr(tmp_path / "s.zarr", consolidated=False)["t2m"]
    out = cov.stats(lazy, ["mean", "max"], weights="area")
    out.isel(time=slice(0, 100)).compute(scheduler="threads")  # imports done before tracing
    tracemalloc.start()
    got = out.compute(scheduler="threads", num_workers=2)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    # a few chunks in flight, the output (1 MB) and Dask's graph of 120 tasks
    assert peak < t * 24 * 36 * 4 / 4, peak
    xr.testing.assert_identical(got, cov.stats(field(t), ["mean", "max"], weights="area"))


def test_each_task_gets_only_its_zones_and_the_graph_reads_nothing(cov):
    """A group's task carries the WKB of just its zones; building the graph reads no chunk
    and builds no fractions."""
    def boom(block):
        raise AssertionError("a chunk was read while the graph was built")

    raster = field().chunk({"time": 4, "lat": 6, "lon": 6})
    untouched = xr.DataArray(raster.data.map_blocks(boom, dtype=raster.dtype),
                             dims=raster.dims, coords=raster.coords)
    fresh = qv.Coverage(ZONES, field(1), build=False)
    lazy = fresh.stats(untouched, ["mean", "max"], as_numpy=True, max_memory=12_000)
    assert fresh._handles is None
    graph = dict(lazy["mean"].__dask_graph__())
    groups = [v for k, v in graph.items() if str(k).startswith("quorvalis-zones-")
              and not str(k).startswith("quorvalis-zones-in-order")]
    wkb = [shapely.to_wkb(z) for z in ZONES]
    shipped = [shapely.to_wkb(shapely.from_wkb(b)) for g in groups for b in getattr(g, "value", g)]
    assert len(groups) > 1 and sorted(shipped) == sorted(w for w in wkb[:2] + wkb[3:])


def test_tasks_read_their_zones_from_a_coverage_file(cov, tmp_path):
    """From a coverage file, a group's task carries where its zones lie in the file, not
    their geometry, and reads them there: the eager results, bit for bit."""
    cov.to_file(tmp_path / "c.qvcov")
    back = qv.Coverage.from_file(tmp_path / "c.qvcov")
    raster = field().chunk({"time": 4, "lat": 6, "lon": 6})
    stats = ["mean", "median", "majority"]
    lazy = back.stats(raster, stats, max_memory=32_000)
    parts = [v for v in dict(lazy["mean"].data.__dask_graph__()).values()
             if isinstance(getattr(v, "value", v), _covfile.StoredPart)]
    assert len(parts) > 1 and not any(isinstance(getattr(v, "value", v), tuple) for v in parts)
    xr.testing.assert_identical(lazy.compute(), cov.stats(field(), stats))


def test_area_weights_are_made_by_the_tasks_not_carried_in_the_graph(cov):
    lazy = cov.stats(field().chunk({"time": 4, "lat": 10}), ["mean", "median"], weights="area")
    graph = lazy["mean"].data.__dask_graph__()
    assert not [k for k in graph if "weights" in str(k)]
    eager = cov.stats(field(), ["mean", "median"], weights="area")
    xr.testing.assert_identical(lazy.compute(scheduler="threads"), eager)


def test_netcdf_files_and_geotiffs_opened_by_xarray(cov, tmp_path):
    """open_mfdataset over files split in time, and rioxarray's chunked GeoTIFF (band, y, x)."""
    raster = field()
    stats = ["mean", "median", "majority", "count"]
    eager = cov.stats(raster, stats, weights="area")
    raster[:6].to_netcdf(tmp_path / "a.nc")
    raster[6:].to_netcdf(tmp_path / "b.nc")
    with xr.open_mfdataset([tmp_path / "a.nc", tmp_path / "b.nc"], chunks={"time": 4, "lat": 10}) as ds:
        got = cov.stats(ds["t2m"], stats, weights="area").compute(scheduler="threads")
    for s in stats:
        assert (bits(got[s]) == bits(eager[s])).all(), s
    rioxarray = pytest.importorskip("rioxarray")
    rasterio = pytest.importorskip("rasterio")
    with rasterio.open(tmp_path / "f.tif", "w", driver="GTiff", height=24, width=36, count=1,
                       dtype="float32", crs="EPSG:4326", nodata=NODATA,
                       transform=rasterio.transform.from_origin(0, 12, 1, 1)) as dst:
        dst.write(raster.values[0], 1)
    rio = rioxarray.open_rasterio(tmp_path / "f.tif", chunks={"band": 1, "y": 10, "x": 12})
    got = cov.stats(rio, stats, weights="area").compute(scheduler="threads").isel(band=0)
    flat = cov.stats(raster[0], stats, weights="area")
    for s in stats:
        assert (bits(got[s]) == bits(flat[s])).all(), s
