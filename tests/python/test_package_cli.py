"""The command line: round trips through files, exit status 2 on bad input, atomic output."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import shapely
import xarray as xr

import quorvalis as qv
from quorvalis import cli

gpd = pytest.importorskip("geopandas")
rasterio = pytest.importorskip("rasterio")


@pytest.fixture
def files(tmp_path):
    zones = gpd.GeoDataFrame({"HYBAS_ID": [11, 22]}, crs="EPSG:4326",
                             geometry=[shapely.box(0.3, 0.3, 2.6, 1.9), shapely.Point(4, 2).buffer(0.9)])
    zones.to_file(tmp_path / "basins.gpkg")
    dem = np.random.default_rng(0).uniform(0, 100, (6, 10)).astype(np.float32)
    with rasterio.open(tmp_path / "dem.tif", "w", driver="GTiff", height=6, width=10, count=1,
                       dtype="float32", crs="EPSG:4326", nodata=-1.0,
                       transform=rasterio.transform.from_origin(0, 3, 0.5, 0.5)) as dst:
        dst.write(dem, 1)
    return tmp_path


@pytest.mark.parametrize("ext", [".csv", ".parquet", ".nc"])
def test_round_trip_of_a_geopackage_and_a_geotiff(files, ext):
    out = files / f"out{ext}"
    argv = ["stats", str(files / "basins.gpkg"), str(files / "dem.tif"), "--stats", "mean,max",
            "--id", "HYBAS_ID", "--method", "center", "-o", str(out)]
    assert cli.main(argv) == 0
    want = qv.zonal_stats(gpd.read_file(files / "basins.gpkg"), files / "dem.tif", ["mean", "max"],
                          id="HYBAS_ID", method="center")
    # the text parsed exactly (pandas 2.0's own float parser can be an ulp off)
    exact = {"mean": float, "max": float}
    got = {".csv": lambda: pd.read_csv(out, index_col=0, dtype=dict.fromkeys(exact, str)).astype(exact),
           ".parquet": lambda: pd.read_parquet(out),
           ".nc": lambda: xr.open_dataset(out).load().to_dataframe()}[ext]()
    assert list(got.index) == [11, 22]
    np.testing.assert_array_equal(got[["mean", "max"]].to_numpy(), want.to_numpy())


@pytest.mark.parametrize("args,message", [
    (["--stats", "mean,avg"], "unknown statistic 'avg'"),
    (["--id", "NOPE"], "no column 'NOPE'"),
    (["--band", "3"], "band 3 does not exist"),
    (["--weights", "area", "--method", "exact", "-o", "x.txt"], "output format"),
    (["MISSING.tif"], "no such raster file"),
])
def test_bad_input_is_one_line_and_status_2_and_leaves_the_old_output(files, args, message, capsys):
    out = files / "out.csv"
    out.write_text("old\n")
    raster = [] if args[0].endswith(".tif") else [str(files / "dem.tif")]
    argv = ["stats", str(files / "basins.gpkg"), *raster, *args]
    if "-o" not in args:
        argv += ["-o", str(out)]
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert out.read_text() == "old\n"


def test_a_failure_while_writing_leaves_neither_partial_nor_temporary_files(files, monkeypatch):
    out = files / "out.csv"
    out.write_text("old\n")

    def broken(self, path, *a, **k):
        with open(path, "w") as f:
            f.write("partial")
        raise OSError("disk full")

    monkeypatch.setattr(pd.DataFrame, "to_csv", broken)
    before = sorted(p.name for p in files.iterdir())
    assert cli.main(["stats", str(files / "basins.gpkg"), str(files / "dem.tif"), "-o", str(out)]) == 2
    assert out.read_text() == "old\n" and sorted(p.name for p in files.iterdir()) == before


def test_module_entry_point_explains_itself():
    run = subprocess.run([sys.executable, "-m", "quorvalis", "stats", "--help"], capture_output=True,
                         text=True, check=False)
    assert run.returncode == 0 and "--weights" in run.stdout and "exact" in run.stdout
    bad = subprocess.run([sys.executable, "-m", "quorvalis", "stats"], capture_output=True, text=True,
                         check=False)
    assert bad.returncode == 2 and bad.stderr.count("\n") == 1 and "ZONES, RASTER" in bad.stderr


def _swap(files):
    return [str(files / "dem.tif"), str(files / "basins.gpkg")]


def _cut(files):
    data = (files / "basins.gpkg").read_bytes()
    (files / "cut.gpkg").write_bytes(data[:len(data) // 2])
    return [str(files / "cut.gpkg"), str(files / "dem.tif")]


@pytest.mark.parametrize("inputs,args,message", [
    (_swap, [], "ZONES {dem.tif} is a raster and RASTER {basins.gpkg} a vector file: the zones come first"),
    (lambda f: [str(f / "dem.tif")] * 2, [], "ZONES {dem.tif} is a raster; ZONES expects a vector file"),
    (lambda f: [str(f / "basins.gpkg")] * 2, [], "RASTER {basins.gpkg} is a vector file; RASTER expects a raster"),
    (_cut, [], "cannot read the zone file {cut.gpkg}: not a readable GeoPackage (truncated or corrupt"),
    (None, ["--quantiles", "0.5,a"], "argument --quantiles: 'a' is not a number"),
    (None, ["--quantiles", "1.5"], "argument --quantiles: 1.5 is not in [0, 1]"),
    (None, ["--threads", "two"], "argument --threads: 'two' is not a whole number"),
    (None, ["--progress", "--quiet"], "not allowed with argument"),
])
def test_messages_name_the_argument_at_fault(files, inputs, args, message, capsys):
    paths = inputs(files) if inputs else [str(files / "basins.gpkg"), str(files / "dem.tif")]
    try:
        status = cli.main(["stats", *paths, *args, "-o", str(files / "out.csv")])
    except SystemExit as stop:  # refused by the argument parser
        status = stop.code
    err = capsys.readouterr().err
    want = message
    for name in ("dem.tif", "basins.gpkg", "cut.gpkg"):
        want = want.replace("{" + name + "}", str(files / name))
    assert status == 2 and err.count("\n") == 1 and want in err, err
    assert "sqlite" not in err and not (files / "out.csv").exists()


def test_run_options_and_a_closed_pipe(files, capsys):
    base = ["stats", str(files / "basins.gpkg"), str(files / "dem.tif"), "--stats", "mean,median"]
    assert cli.main([*base, "--threads", "1", "--progress", "-o", str(files / "a.csv")]) == 0
    assert "window" in capsys.readouterr().err  # tqdm's bar, though stderr is no terminal
    assert cli.main([*base, "--quiet", "-o", str(files / "b.csv")]) == 0
    assert capsys.readouterr().err == ""
    assert (files / "a.csv").read_text() == (files / "b.csv").read_text()
    version = subprocess.run([sys.executable, "-m", "quorvalis", "--version"], capture_output=True, text=True)
    assert version.returncode == 0 and version.stdout.strip() == f"quorvalis {qv.__version__}"
    # `quorvalis stats ... | head` that has already stopped reading
    read, write = os.pipe()
    os.close(read)
    with os.fdopen(write, "w") as closed:
        run = subprocess.run([sys.executable, "-m", "quorvalis", *base], stdout=closed, stderr=subprocess.PIPE,
                             text=True, check=False)
    assert run.returncode == 141 and run.stderr == ""


@pytest.mark.parametrize("shape", [(3, 4, 4), (2, 3, 4, 4)])
def test_no_zones_on_a_stack_give_an_empty_result(shape):
    out = qv.zonal_stats([], np.ones(shape), grid=qv.Grid(0, 0, 4, 4, 1, 1), stats=["mean", "quantile"], quantiles=[0.5])
    assert out.sizes["zone"] == 0 and out["mean"].shape == shape[:-2] + (0,)
