"""Lazy statistics on Dask: equal to the eager results on any chunking and scheduler."""

import tracemalloc

import numpy as np
import pytest
import shapely
import xarray as xr

import quorvalis as qv
from quorvalis import _dask

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


def one_chunk_zones(cov, chunks):
    """Zones whose covered cells all lie in one spatial chunk (their sums see one part)."""
    edges = [np.cumsum((0,) + c) for c in chunks]
    out = []
    for k in range(len(cov)):
        r0, c0, f = cov.fractions(k)
        rows, cols = np.nonzero(f > 0)
        if not len(rows):
            out.append(k)
            continue
        br = np.searchsorted(edges[0], r0 + rows, side="right")
        bc = np.searchsorted(edges[1], c0 + cols, side="right")
        if len(set(br)) == 1 and len(set(bc)) == 1:
            out.append(k)
    return out


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
def test_spatial_chunks_combine_exactly_where_the_statistic_allows(cov, chunks, dtype):
    raster = field(dtype=dtype)
    stats = STREAMING + ["weighted_sum", "weighted_mean"]
    eager = cov.stats(raster, stats, weights="area")
    lazy = cov.stats(raster.chunk(chunks), stats, weights="area").compute(scheduler="threads")
    one = one_chunk_zones(cov, raster.chunk(chunks).chunks[1:])
    assert 0 < len(one) < len(ZONES)
    for s in stats:
        e, g = eager[s].values, lazy[s].values
        if s in ("min", "max", "range"):  # comparisons only: exact for every zone
            assert (bits(g) == bits(e)).all(), s
        else:  # sums in another order: exact where one chunk holds the zone, close elsewhere
            assert (bits(g[:, one]) == bits(e[:, one])).all(), s
            np.testing.assert_allclose(g, e, rtol=1e-12, atol=1e-9, err_msg=s)


def test_refusals_come_at_the_call(cov):
    with pytest.raises(ValueError, match=r"'median'.*rechunk.*raster.chunk\(\{'lat': -1, 'lon': -1\}\)"):
        cov.stats(field().chunk({"lat": 10}), ["mean", "median"])
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
    ones = np.where(_dask._valid(v, nodata), 1.0, np.nan)
    assert (bits(cov.stats(ones, "count", as_numpy=True)["count"]) == bits(engine)).all()


def test_local_cluster_of_two_processes(cov, client):
    eager = cov.stats(field(), ["mean", "max", "stdev", "median"], weights="area")
    lazy = cov.stats(field().chunk({"time": 3}), ["mean", "max", "stdev", "median"], weights="area")
    xr.testing.assert_identical(lazy.compute(scheduler=client), eager)
    split = cov.stats(field().chunk({"time": 5, "lon": 12}), ["max", "variance"]).compute(scheduler=client)
    assert (bits(split["max"]) == bits(eager["max"])).all()
    np.testing.assert_allclose(split["variance"], cov.stats(field(), "variance")["variance"],
                               rtol=1e-10)
    # each worker built the coverage for itself, once, and kept it
    kept = client.run(lambda: list(_dask._built_coverages))
    assert len(kept) == 2 and all(len(k) == 1 for k in kept.values())


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


def test_one_task_per_chunk_and_one_coverage_in_the_graph(cov):
    """One task per chunk, and the coverage is one key of the graph, not a copy per task."""
    lazy = cov.stats(field().chunk({"time": 4}), ["mean", "max"], as_numpy=True)["mean"]
    graph = dict(lazy.__dask_graph__())
    parts = [k for k in graph if isinstance(k, tuple) and str(k[0]).startswith("quorvalis-part")]
    shared = [k for k in graph if str(k).startswith("quorvalis-coverage")]
    assert len(parts) == 4 and len(shared) == 1
