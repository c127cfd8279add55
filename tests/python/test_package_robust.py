"""Nothing silently wrong, nothing lost: invalid polygons, broken files, repeated ids,
results too large for memory, interrupted runs, full disks, and many callers at once."""

import os
import resource
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest
import shapely
import xarray as xr

import quorvalis as qv
from quorvalis import cli

gpd = pytest.importorskip("geopandas")
rasterio = pytest.importorskip("rasterio")

GRID4 = qv.Grid(0, 0, 4, 4, 1, 1)
INVALID = {
    "bowtie": shapely.Polygon([(0, 0), (4, 4), (4, 0), (0, 4), (0, 0)]),
    "hole outside": shapely.Polygon(shapely.box(0, 0, 2, 2).exterior, [shapely.box(2.5, 2.5, 3.5, 3.5).exterior]),
    "overlapping holes": shapely.Polygon(shapely.box(0, 0, 4, 4).exterior,
                                         [shapely.box(0.5, 0.5, 2.5, 2.5).exterior, shapely.box(1.5, 1.5, 3.5, 3.5).exterior]),
    "spike off the grid": shapely.Polygon([(1, 1), (3, 1), (3, 3), (9, 3), (3, 3), (1, 3)]),
}


@pytest.mark.parametrize("name", INVALID)
def test_invalid_polygons_are_refused_by_default_and_fixed_on_request(name):
    bad = INVALID[name]
    zones = [shapely.box(0, 0, 1, 1), bad]
    with pytest.raises(ValueError, match=r"zone 1 \(id 'b'\): .*invalid='fix'"):
        qv.zonal_stats(zones, np.ones((4, 4)), grid=GRID4, id=["a", "b"])
    cov = qv.Coverage(zones, GRID4, invalid="fix")
    fixed = shapely.intersection(shapely.make_valid(bad), shapely.box(0, 0, 4, 4))
    np.testing.assert_allclose(np.asarray(cov.to_sparse().sum(axis=1)).ravel(), [1.0, fixed.area], rtol=1e-12)
    count = qv.zonal_stats(zones, np.ones((4, 4)), grid=GRID4, invalid="fix", stats="count")["count"]
    np.testing.assert_allclose(count, [1.0, fixed.area], rtol=1e-12)


def test_validity_option_and_ids_are_checked():
    with pytest.raises(ValueError, match="invalid must be 'raise' or 'fix'"):
        qv.Coverage([shapely.box(0, 0, 1, 1)], GRID4, invalid="ignore")
    with pytest.raises(ValueError, match="repeated: 7, 9"):
        qv.Coverage([shapely.box(0, 0, 1, 1)] * 5, GRID4, id=[7, 7, 9, 9, 1])


@pytest.fixture
def files(tmp_path):
    gpd.GeoDataFrame({"HYBAS_ID": [11, 22]}, crs="EPSG:4326", geometry=[
        shapely.box(0.3, 0.3, 2.6, 1.9), shapely.Point(4, 2).buffer(0.9)]).to_file(tmp_path / "z.gpkg")
    with rasterio.open(tmp_path / "r.tif", "w", driver="GTiff", height=60, width=100, count=1, dtype="float32",
                       crs="EPSG:4326", transform=rasterio.transform.from_origin(0, 3, 0.05, 0.05)) as dst:
        dst.write(np.random.default_rng(0).uniform(0, 100, (60, 100)).astype(np.float32), 1)
    xr.Dataset({"t": (("time", "lat", "lon"), np.ones((3, 6, 10)))}, coords={
        "lat": 2.75 - 0.5 * np.arange(6), "lon": 0.25 + 0.5 * np.arange(10)}).to_netcdf(tmp_path / "r.nc")
    return tmp_path


def _truncate(path, keep):
    data = path.read_bytes()
    path.write_bytes(data[:keep if keep > 0 else len(data) + keep])


def _garbage(path, _):
    path.write_bytes(b"\x89 not what it claims to be " * 40)


@pytest.mark.parametrize("damage,target,message", [
    (_truncate, "r.tif", "r.tif"), (_garbage, "r.tif", "r.tif"),
    (_truncate, "r.nc", "r.nc"), (_garbage, "r.nc", "r.nc"),
    (_garbage, "z.gpkg", "z.gpkg"), (_garbage, "z.parquet", "z.parquet"),
    (lambda p, _: p.write_text('{"type": "FeatureCollection", "features": []}'), "z.geojson", "holds no zones"),
    (lambda p, _: pd.DataFrame({"a": [1, 2]}).to_parquet(p), "z.parquet", "no geometry column"),
    (lambda p, _: xr.Dataset({"t": (("a", "b"), np.ones((6, 10)))}).to_netcdf(p), "r.nc", "r.nc: cannot tell the x"),
])
def test_broken_files_give_one_line_naming_the_file_and_status_2(files, damage, target, message, capsys):
    damage(files / target, -200)
    zones = files / (target if target.startswith("z") else "z.gpkg")
    raster = files / (target if target.startswith("r") else "r.tif")
    with pytest.raises((ValueError, FileNotFoundError), match=message):
        qv.zonal_stats(zones, raster, band="t" if raster.suffix == ".nc" else 1)
    out = files / "out.csv"
    argv = ["stats", str(zones), str(raster), "-o", str(out)] + (["--band", "t"] if raster.suffix == ".nc" else [])
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and not out.exists()


def test_zones_from_geoparquet_are_the_zones_of_the_frame(files):
    zones = gpd.read_file(files / "z.gpkg")
    zones.to_parquet(files / "z.parquet")
    pd.testing.assert_frame_equal(qv.zonal_stats(files / "z.parquet", files / "r.tif", id="HYBAS_ID"),
                                  qv.zonal_stats(zones, files / "r.tif", id="HYBAS_ID"))


@pytest.mark.parametrize("output", ["missing/out.csv", "r.tif/out.csv", "folder.csv"])
def test_an_output_that_cannot_be_written_is_refused_before_any_work(files, output, monkeypatch, capsys):
    def never(*a, **k):
        raise AssertionError("statistics computed for an output that cannot be written")

    (files / "folder.csv").mkdir()
    monkeypatch.setattr("quorvalis._coverage.zonal_stats", never)
    assert cli.main(["stats", str(files / "z.gpkg"), str(files / "r.tif"), "-o", str(files / output)]) == 2
    assert "cannot write" in capsys.readouterr().err


def test_a_result_too_large_for_memory_is_refused_before_it_is_allocated():
    huge = np.broadcast_to(np.float32(1), (10**9, 4, 4))  # a view: no memory behind it
    cov = qv.Coverage([shapely.box(0, 0, 1, 1)] * 1000, GRID4, id=range(1000))
    with pytest.raises(MemoryError, match=r"TiB \(1000 zones x 1000000000 steps x 3 statistics.*Dask"):
        cov.stats(huge, ["mean", "quantile"], quantiles=[0.1, 0.9])


_RUN = """
import signal, sys, time, quorvalis._engine as e, quorvalis._io as io
# as in a terminal: a run started in the background (CI) inherits SIGINT ignored
signal.signal(signal.SIGINT, signal.default_int_handler)
from quorvalis import cli
from quorvalis._safeio import checkpoint
def busy():  # long work with checkpoints, as a real read or write has: a signal whose
    # exception lands in a finaliser (and is lost there) still stops the run at the next one
    print("ready", flush=True)
    for _ in range(1200):
        time.sleep(0.05); checkpoint()
mode = sys.argv[1]
if mode == "compute":
    real = e.reduce
    def slow(*a, **k):
        busy(); return real(*a, **k)
    e.reduce = slow
else:
    real = io._as_frame
    class Slow:
        def __init__(self, f): self.f = f
        def to_csv(self, path):
            self.f.to_csv(path); busy()
    io._as_frame = lambda r: Slow(real(r))
sys.exit(cli.main(sys.argv[2:]))
"""


@pytest.mark.parametrize("sig,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)])
@pytest.mark.parametrize("mode", ["compute", "write"])
def test_a_signal_mid_run_exits_with_its_status_and_leaves_no_file(files, sig, status, mode):
    out = files / "out.csv"
    out.write_text("old\n")
    before = sorted(os.listdir(files))
    with subprocess.Popen([sys.executable, "-c", _RUN, mode, "stats", str(files / "z.gpkg"), str(files / "r.tif"),
                           "-o", str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as run:
        assert run.stdout.readline() == "ready\n"
        run.send_signal(sig)
        _, err = run.communicate(timeout=60)
    assert run.returncode == status, err
    assert sorted(os.listdir(files)) == before and out.read_text() == "old\n"


_NC_RUN = """
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
from quorvalis import _raster, cli
real = _raster.Raster.window
def window(self, *a, **k):
    print("ready", flush=True)
    return real(self, *a, **k)
_raster.Raster.window = window
if sys.argv[1] == "call":  # from Python: KeyboardInterrupt out of zonal_stats
    import quorvalis as qv
    try:
        qv.zonal_stats(sys.argv[3], sys.argv[4], band="t")
    except KeyboardInterrupt:
        sys.exit(130)
    sys.exit(0)
sys.exit(cli.main(sys.argv[2:]))
"""


@pytest.mark.parametrize("how", ["stats", "call"])
def test_ctrl_c_while_netcdf4_reads_stops_the_run(files, how):
    # netCDF4 swallows the KeyboardInterrupt of a SIGINT that lands while it inflates data:
    # zeros take little room on disk and a while to inflate
    xr.Dataset({"t": (("time", "lat", "lon"), np.zeros((32, 1000, 1000), np.float32))}, coords={
        "lat": 2.9985 - 0.003 * np.arange(1000), "lon": 0.0015 + 0.005 * np.arange(1000)}).to_netcdf(
        files / "zeros.nc", encoding={"t": {"zlib": True, "complevel": 1, "chunksizes": (1, 1000, 1000)}})
    out = files / "out.csv"
    with subprocess.Popen([sys.executable, "-c", _NC_RUN, how, "stats", str(files / "z.gpkg"), str(files / "zeros.nc"),
                           "--band", "t", "-o", str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as run:
        assert run.stdout.readline() == "ready\n"
        run.send_signal(signal.SIGINT)
        _, err = run.communicate(timeout=60)
    assert run.returncode == 130, err
    assert not out.exists() and not [p for p in os.listdir(files) if p.startswith(".")]


@pytest.mark.parametrize("ext", [".csv", ".nc", ".gpkg"])
def test_a_full_disk_is_one_line_and_status_2_and_leaves_no_file(tmp_path, ext):
    corners = [(i % 40 * 0.1, i // 40 * 0.1) for i in range(800)]
    zones = gpd.GeoDataFrame(crs="EPSG:4326", geometry=[shapely.box(x, y, x + 0.1, y + 0.1) for x, y in corners])
    zones.to_file(tmp_path / "z.gpkg")
    with rasterio.open(tmp_path / "r.tif", "w", driver="GTiff", height=20, width=40, count=1, dtype="float64", crs="EPSG:4326",
                       transform=rasterio.transform.from_origin(0, 2, 0.1, 0.1)) as dst:
        dst.write(np.random.default_rng(1).normal(size=(20, 40)), 1)
    before = sorted(os.listdir(tmp_path))
    run = subprocess.run([sys.executable, "-m", "quorvalis", "stats", str(tmp_path / "z.gpkg"), str(tmp_path / "r.tif"),
                          "-o", str(tmp_path / f"out{ext}")], capture_output=True, text=True, check=False,
                         env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384)))
    assert run.returncode == 2 and run.stderr.count("\n") == 1, run.stderr
    assert f"cannot write {tmp_path / 'out'}{ext}: no space left on device" in run.stderr
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("umask", [0o022, 0o007])
def test_outputs_get_the_mode_the_umask_gives_and_keep_an_existing_files(files, umask):
    old = os.umask(umask)
    try:
        outs = [files / f"out{ext}" for ext in (".csv", ".nc", ".gpkg")]
        for out in outs:
            assert cli.main(["stats", str(files / "z.gpkg"), str(files / "r.tif"), "-o", str(out)]) == 0
        qv.Coverage(files / "z.gpkg", files / "r.tif").to_file(files / "z.qvcov")
        for out in outs + [files / "z.qvcov"]:
            assert oct(out.stat().st_mode & 0o777) == oct(0o666 & ~umask), out
        outs[0].chmod(0o604)
        assert cli.main(["stats", str(files / "z.gpkg"), str(files / "r.tif"), "-o", str(outs[0])]) == 0
        assert outs[0].stat().st_mode & 0o777 == 0o604
    finally:
        os.umask(old)


def test_threads_sharing_one_coverage_get_identical_results():
    grid = qv.Grid(0, 0, 20, 20, 0.25, 0.25)
    rng = np.random.default_rng(4)
    zones = [shapely.Point(rng.uniform(2, 18, 2)).buffer(rng.uniform(0.3, 3)) for _ in range(60)]
    cov = qv.Coverage(zones, grid, threads=2)
    raster = rng.normal(size=(6, *grid.shape))
    want = cov.stats(raster, ["mean", "median", "stdev", "max"], as_numpy=True)
    got, errors = [None] * 8, []

    def run(i):
        try:
            got[i] = [cov.stats(raster, ["mean", "median", "stdev", "max"], as_numpy=True) for _ in range(5)]
        except Exception as err:  # reported below: a thread's exception would be lost
            errors.append(err)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for per_thread in got:
        for result in per_thread:
            for k, v in want.items():
                np.testing.assert_array_equal(result[k], v)


@pytest.mark.cluster
def test_a_worker_killed_mid_computation_changes_nothing():
    distributed = pytest.importorskip("dask.distributed")
    da = pytest.importorskip("dask.array")
    grid = qv.Grid(0, 0, 10, 10, 0.5, 0.5)
    zones = [shapely.box(1, 1, 4, 6), shapely.Point(7, 7).buffer(2)]
    values = np.random.default_rng(2).normal(size=(24, *grid.shape))
    cov = qv.Coverage(zones, grid, threads=1)
    want = cov.stats(values, ["mean", "max", "stdev"], as_numpy=True)

    def slow(block):  # time for the kill to land while chunks are in flight
        time.sleep(0.2)
        return block

    lazy = da.from_array(values, chunks=(2, -1, -1)).map_blocks(slow, dtype=values.dtype)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        future = client.compute(cov.stats(lazy, ["mean", "max", "stdev"], as_numpy=True))
        while not any(client.processing().values()):
            time.sleep(0.01)
        victim = next(iter(cluster.workers.values()))
        os.kill(victim.process.process.pid, signal.SIGKILL)
        got = future.result(timeout=120)
    for k, v in want.items():
        np.testing.assert_array_equal(got[k], v)
