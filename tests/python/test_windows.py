"""Rasters read window by window under a memory budget: the in-memory results, whatever the
budget."""

import os

import numpy as np
import pytest
import shapely

import quorvalis as qv
from quorvalis import _plan

rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")

ROWS, COLS, NODATA = 70, 90, -9999
ALL_STATS = [s for s in qv.STATS if s != "weighted_mean"]  # the weighted one: mean + weights
rng = np.random.default_rng(3)
ZONES = [shapely.box(x, y, x + w, y + h) for x, y, w, h in
         zip(rng.uniform(0, 80, 40), rng.uniform(0, 60, 40), rng.uniform(0.3, 9, 40),
             rng.uniform(0.3, 9, 40), strict=True)]
ZONES += [
    shapely.Point(45.3, 35.1).buffer(22.0),  # spans many 16 x 16 blocks
    shapely.box(16.2, 60.1, 17.9, 61.8),  # inside one block
    shapely.box(0.5, 0.5, 7.5, 7.5),  # only nodata under it
    shapely.box(200, 200, 210, 210),  # off the raster
    None,
]


def values(dtype):
    v = rng.integers(0, 12, (ROWS, COLS)).astype(dtype)  # few classes: ties for majority
    if np.dtype(dtype).kind == "f":
        v = (v + rng.normal(0, 1, v.shape).round(1)).astype(dtype)
        v[10, 10:20] = np.nan
    v[-8:, :8] = NODATA
    return v


def write(path, v, flipped=False):
    t = rasterio.transform.from_origin(0, ROWS, 1, 1)
    if flipped:  # stored bottom to top, right to left: the package presents them the other way
        t, v = rasterio.Affine(-1, 0, COLS, 0, 1, 0), v[::-1, ::-1]
    with rasterio.open(path, "w", driver="GTiff", height=ROWS, width=COLS, count=1,
                       dtype=v.dtype, crs="EPSG:4326", transform=t, nodata=NODATA, tiled=True,
                       blockxsize=16, blockysize=16) as dst:
        dst.write(v, 1)
    return path


@pytest.fixture(params=["tif", "flipped tif", "netcdf"])
def source(request, tmp_path):
    v = values(np.float32 if request.param == "netcdf" else np.int16)
    if request.param == "netcdf":
        da = xr.DataArray(v, dims=("lat", "lon"), name="v", attrs={"_FillValue": NODATA},
                          coords={"lat": ROWS - 0.5 - np.arange(ROWS), "lon": 0.5 + np.arange(COLS)})
        da.to_netcdf(tmp_path / "v.nc")
        return xr.open_dataset(tmp_path / "v.nc")["v"], v
    return write(tmp_path / "v.tif", v, request.param == "flipped tif"), v


def bits(a):
    return np.ascontiguousarray(np.asarray(a, np.float64)).view(np.uint64)


@pytest.mark.parametrize("budget", [None, 42_000, "45kB", "small windows"])
@pytest.mark.parametrize("weights", [None, "area", "the raster"])
def test_windows_give_the_in_memory_results_bit_for_bit(source, budget, weights, monkeypatch):
    """"small windows": windows of the largest zone's size under an ample budget, so that
    the next window is read while the engine reduces the one before."""
    raster, v = source
    if budget == "small windows":
        budget = None
        monkeypatch.setattr(_plan, "window_cells", lambda w, *_: int(
            ((w[:, 1] - w[:, 0]) * (w[:, 3] - w[:, 2])).max()))
    per_cell = 16 if weights == "the raster" else 8  # a weights file is read in windows too
    weights = raster if weights == "the raster" else weights
    budget = budget and _plan.parse_memory(budget) * per_cell // 8
    cov = qv.Coverage(ZONES, raster)
    stats = ALL_STATS if weights is None else ["mean", "median", "variance"]
    memory = cov.stats(v, stats, nodata=NODATA, quantiles=[0.1, 0.5, 0.95], weights=weights)
    got = qv.zonal_stats(ZONES, raster, stats, quantiles=[0.1, 0.5, 0.95], weights=weights,
                         max_memory=budget)
    built = cov.stats(raster, stats, quantiles=[0.1, 0.5, 0.95], weights=weights,
                      max_memory=budget)  # the coverage at hand, whole or in groups
    assert list(got.columns) == list(memory.columns)
    for c in memory.columns:
        assert (bits(got[c]) == bits(memory[c])).all(), c
        assert (bits(built[c]) == bits(memory[c])).all(), c
    if budget is not None:  # and the budget did cut the raster into many windows
        windows = _plan.zone_windows(cov.engine_bounds(), cov.grid)
        tasks = _plan.plan(windows, (ROWS, COLS), (16, 16), budget, per_cell).tasks
        assert len(tasks) >= 4 and not any(t.part for t in tasks)
        assert sorted(np.concatenate([t.zones for t in tasks])) == list(range(len(ZONES) - 2))


def test_a_coverage_file_is_written_and_used_a_window_at_a_time(tmp_path, monkeypatch):
    """Neither side holds the whole coverage: the writer builds slices of zones, the reader
    takes each window's zones from the file. Same bytes, same results, bit for bit."""
    raster = write(tmp_path / "v.tif", values(np.int16))
    built = qv.Coverage(ZONES, raster)
    built.to_file(tmp_path / "built.qvcov")
    unbuilt = qv.Coverage(ZONES, raster, build=False)
    monkeypatch.setattr(qv.Coverage, "_build", None)  # the whole coverage is never built
    for c in unbuilt.slices(size=7):  # every slice of zones as the writer takes them
        assert c[1].n_zones == len(c[0]) <= 7
    unbuilt.to_file(tmp_path / "slices.qvcov")
    assert (tmp_path / "slices.qvcov").read_bytes() == (tmp_path / "built.qvcov").read_bytes()
    back = qv.Coverage.from_file(tmp_path / "slices.qvcov", raster)
    stats = ["mean", "median", "majority", "max"]
    got = back.stats(raster, stats, max_memory=42_000)
    assert back._handles is None  # only the windows' zones were read
    for mine, theirs in zip(back.fractions(40), built.fractions(40), strict=True):
        np.testing.assert_array_equal(mine, theirs)
    with rasterio.open(raster) as src:
        memory = back.stats(src.read(1), stats, nodata=NODATA)
    for c in stats:
        assert (bits(got[c]) == bits(memory[c])).all(), c
    again = qv.Coverage.from_file(tmp_path / "slices.qvcov")
    os.utime(tmp_path / "slices.qvcov", ns=(1, 1))  # replaced after its checksum was checked
    with pytest.raises(ValueError, match="changed after it was opened"):
        again.stats(raster, "mean", max_memory=42_000)


@pytest.mark.parametrize("flipped", [False, True])
def test_only_touched_blocks_are_read_each_once_in_place(tmp_path, monkeypatch, flipped):
    """Groups whose windows overlap share blocks: each is read once (kept for the later
    group), straight into the window, neighbours in a row together, and blocks under no
    zone's window are not read. A file stored the other way round has its blocks from the
    far edges, and they are read whole."""
    v = values(np.int16)
    path = write(tmp_path / "v.tif", v, flipped)
    p, q = ((-ROWS) % 16, (-COLS) % 16) if flipped else (0, 0)  # where its blocks start
    zones = ZONES[:40] + ZONES[41:43]  # small zones spread over the raster
    reads, read = [], qv._raster.Raster.window

    def counted(self, rows, cols, lead=slice(None), out=None):
        reads.append((rows.start, rows.stop, cols.start, cols.stop, out is not None))
        return read(self, rows, cols, lead, out)
    monkeypatch.setattr(qv._raster.Raster, "window", counted)
    got = qv.zonal_stats(zones, path, ["mean", "median"], max_memory=42_000)
    monkeypatch.undo()
    w = _plan.zone_windows(shapely.bounds(zones), qv.Coverage(zones, path).grid)
    touched = {(r, c) for r0, r1, c0, c1 in w for r in range((r0 + p) // 16, (r1 - 1 + p) // 16 + 1)
               for c in range((c0 + q) // 16, (c1 - 1 + q) // 16 + 1)}
    blocks = [(r, c) for r0, r1, c0, c1, _ in reads
              for r in range((r0 + p) // 16, (r1 - 1 + p) // 16 + 1)
              for c in range((c0 + q) // 16, (c1 - 1 + q) // 16 + 1)]
    assert sorted(blocks) == sorted(touched)  # each touched block once, no other
    assert all((r0 == 0 or (r0 + p) % 16 == 0) and (r1 == ROWS or (r1 + p) % 16 == 0)
               and (c0 == 0 or (c0 + q) % 16 == 0) and (c1 == COLS or (c1 + q) % 16 == 0)
               for r0, r1, c0, c1, _ in reads)  # whole blocks of the file
    assert all(r1 - r0 <= 16 for r0, r1, *_ in reads)  # a row of blocks at most
    assert sum(r[4] for r in reads) > len(reads) / 2  # most of them in place
    memory = qv.Coverage(zones, path).stats(v, ["mean", "median"], nodata=NODATA)
    assert (bits(got[["mean", "median"]]) == bits(memory[["mean", "median"]])).all()


def test_stacks_read_in_windows_and_passes_over_time(tmp_path):
    v = np.stack([values(np.float32) for _ in range(5)])
    da = xr.DataArray(v, dims=("time", "lat", "lon"), name="v", coords={
        "time": np.arange(5), "lat": ROWS - 0.5 - np.arange(ROWS), "lon": 0.5 + np.arange(COLS)})
    da.isel(lat=slice(None, None, -1)).to_netcdf(tmp_path / "s.nc")  # stored south to north
    cov = qv.Coverage(ZONES, da)
    stats = ["mean", "median", "frac", "quantile", "stdev", "majority"]
    memory = cov.stats(da, stats, quantiles=[0.3, 0.7])
    # one field per pass, all five, or passes of 2, 2 and 1
    for budget, fields in ((60_000, None), ("300kB", None), (60_000, 2)):
        got = cov.stats(xr.open_dataset(tmp_path / "s.nc")["v"], stats, quantiles=[0.3, 0.7],
                        max_memory=budget, max_fields=fields)
        xr.testing.assert_identical(got, memory)
        for s in stats:
            assert (bits(got[s]) == bits(memory[s])).all(), s


def test_zones_larger_than_the_budget_are_cut_into_tiles(tmp_path, monkeypatch):
    """Zone 40's window does not fit: in bands of whole rows its statistics carried from band
    to band are the in-memory ones bit for bit; in narrower tiles (a band does not fit
    either), to rounding."""
    path = write(tmp_path / "v.tif", values(np.float32))
    streaming = ["sum", "count", "min", "max", "range", "mean", "stdev", "nodata_count",
                 "weighted_mean"]
    memory = qv.zonal_stats(ZONES, path, streaming, weights="area")
    plans, plan = [], _plan.plan
    monkeypatch.setattr(_plan, "plan", lambda *a, **k: plans.append(plan(*a, **k)) or plans[-1])
    bands = qv.zonal_stats(ZONES, path, streaming, weights="area", max_memory=17_100)
    assert list(plans[-1].split) == [40]  # the one zone cut, so the bands were carried
    assert (bits(bands) == bits(memory)).all().all()
    cut = qv.zonal_stats(ZONES, path, streaming, weights="area", max_memory=12_000)
    for c in streaming:
        np.testing.assert_allclose(cut[c], memory[c], rtol=1e-12, err_msg=c)
    exact = [c for c in ("min", "max", "range") if c in streaming]
    assert (bits(cut[exact]) == bits(memory[exact])).all()
    with pytest.raises(ValueError, match=r"zone 40's order .* bands .*max_memory= at least 17028"):
        qv.zonal_stats(ZONES, path, ["mean", "median"], max_memory=12_000)


@pytest.mark.parametrize("dtype", [np.int16, np.float32])
@pytest.mark.parametrize("weights", [None, "area"])
def test_order_statistics_of_zones_cut_into_bands_are_the_in_memory_ones(tmp_path, dtype, weights):
    """Zone 40's window does not fit the budget and is read in bands of whole rows: its
    quantiles and classes are still the in-memory ones, bit for bit."""
    v = values(dtype)
    path = write(tmp_path / "v.tif", v)
    order = ["median", "quantile", "majority", "minority", "variety", "frac"]
    memory = qv.Coverage(ZONES, path).stats(v, order, nodata=NODATA, quantiles=[0.1, 0.95],
                                            weights=weights)
    cut = qv.zonal_stats(ZONES, path, order + ["max"], quantiles=[0.1, 0.95], weights=weights,
                         max_memory=17_100)
    assert (bits(cut[memory.columns]) == bits(memory)).all().all()
    with pytest.raises(ValueError, match=r"one 16 x 16 block.*max_memory= at least 3072"):
        qv.zonal_stats(ZONES, path, "mean", max_memory="1kB")


def test_a_failed_read_names_the_file_and_the_window(tmp_path, monkeypatch):
    path = write(tmp_path / "v.tif", values(np.int16))
    src = qv._raster.describe(path)
    monkeypatch.setattr(src, "reader", lambda *a: (_ for _ in ()).throw(RuntimeError("bad block")))
    cov = qv.Coverage(ZONES[:3], src.grid)
    with pytest.raises(ValueError, match=r"rows \d+\.\.\d+, columns \d+\.\.\d+ of .*v\.tif: bad block"):
        cov.stats(src, "mean", max_memory=60_000)


@pytest.mark.parametrize("text,expected", [("2GB", 2 * 10**9), ("512 MiB", 512 << 20),
                                           (1e6, 10**6)])
def test_memory_budgets(text, expected):
    assert _plan.parse_memory(text) == expected
    for bad in ("lots", -1, "0kB"):
        with pytest.raises(ValueError, match="max_memory"):
            _plan.parse_memory(bad)


def test_strips_of_a_striped_file_are_read_a_few_at_a_time():
    """One-row strips are taken 128 at a time (about 256 x 256 cells), unless the budget is
    too small for that; tiles of their own size stay as they are."""
    windows = np.array([[0, 40, 0, 900], [1500, 1600, 100, 200]])
    assert _plan.plan(windows, (2000, 900), (1, 900), 1 << 30, 8).block == (128, 900)
    assert _plan.plan(windows, (2000, 900), (1, 900), 200_000, 8).block == (1, 900)
    assert _plan.plan(windows, (2000, 900), (256, 256), 1 << 30, 8).block == (256, 256)


@pytest.mark.parametrize("chunks", ["auto", (20, 30)])
def test_a_file_read_through_dask_gives_the_in_memory_results(source, chunks):
    """The plain path (and a lazily opened NetCDF) on Dask: chunks from the file's blocks
    unless given, the in-memory numbers bit for bit, lazily."""
    pytest.importorskip("dask")
    raster, v = source
    stats = [s for s in ALL_STATS if s != "frac"]  # its classes are not known lazily
    memory = qv.Coverage(ZONES, raster).stats(v, stats, nodata=NODATA, quantiles=[0.5], weights="area")
    lazy = qv.zonal_stats(ZONES, raster, stats, quantiles=[0.5], weights="area", chunks=chunks,
                          max_memory=None if chunks == "auto" else 60_000)  # auto: one chunk
    got = lazy.compute(scheduler="threads")
    for s in stats:
        want = memory["quantile_0.5" if s == "quantile" else s]
        assert (bits(got[s].values.reshape(len(ZONES))) == bits(want)).all(), s
    with pytest.raises(ValueError, match="in memory already"):
        qv.zonal_stats(ZONES, v, "mean", chunks="auto", grid=qv.Grid(0, 0, COLS, ROWS, 1, 1))


@pytest.mark.parametrize("encoding,fast", [
    ({"dtype": "float32", "_FillValue": NODATA}, True),
    ({"dtype": "int16", "_FillValue": NODATA}, False),  # decoded to floats
    ({"dtype": "int16", "_FillValue": NODATA, "scale_factor": 0.5}, False),
])
def test_netcdf_masked_in_place_only_where_that_is_all_the_decoding(tmp_path, encoding, fast):
    """A float variable whose only decoding is its fill value is read as stored and masked
    in place; any other decoding is left to xarray. The results are the same either way."""
    from quorvalis import _raster

    v = values(np.float32)
    da = xr.DataArray(v, dims=("lat", "lon"), name="v",
                      coords={"lat": ROWS - 0.5 - np.arange(ROWS), "lon": 0.5 + np.arange(COLS)})
    da.to_netcdf(tmp_path / "v.nc", encoding={"v": encoding})
    opened = xr.open_dataset(tmp_path / "v.nc")["v"]
    assert (_raster._masked_only(opened) is not None) == fast
    windowed = qv.zonal_stats(ZONES, opened, ["mean", "median"], max_memory=42_000)
    memory = qv.zonal_stats(ZONES, opened.load(), ["mean", "median"])
    assert (bits(windowed) == bits(memory)).all().all()


@pytest.mark.parametrize("flipped", [False, True])
def test_dask_chunks_of_a_file_are_counted_from_its_first_stored_row(tmp_path, flipped):
    """Chunks of whole blocks of the file: on a file stored bottom to top and right to left,
    the short chunks come first in grid order."""
    pytest.importorskip("dask")
    from quorvalis import _dask

    path = write(tmp_path / "v.tif", values(np.int16), flipped)
    rows, cols = _dask.chunked(str(path), 1, (32, 48)).data.chunks
    assert (rows, cols) == (((6, 32, 32), (42, 48)) if flipped else ((32, 32, 6), (48, 42)))


@pytest.mark.parametrize("how", ["eager", "windowed", "dask", "cli"])
def test_min_coverage_leaves_out_thinly_covered_cells(tmp_path, how):
    from quorvalis.cli import main

    v = values(np.float32)
    path = write(tmp_path / "v.tif", v)
    floor = 0.5
    plain = qv.Coverage(ZONES, path)
    count, total = [], []
    for k in range(len(ZONES)):  # the reference: every fraction below the floor set to 0
        r0, c0, f = plain.fractions(k)
        f = np.where(f >= floor, f, 0)[:ROWS - r0, :COLS - c0]
        cells = v[r0:r0 + f.shape[0], c0:c0 + f.shape[1]]
        ok = np.isfinite(cells) & (cells != NODATA)
        count.append(f[ok].sum(dtype=np.float64))
        total.append((f[ok] * cells[ok]).sum(dtype=np.float64))
    if how == "eager":
        got = qv.Coverage(ZONES, path, min_coverage=floor).stats(v, ["count", "sum"], nodata=NODATA)
    elif how == "cli":
        assert main(["stats", _zone_file(tmp_path), str(path),
                     "--stats", "count,sum", "--min-coverage", str(floor), "-o", str(tmp_path / "o.csv")]) == 0
        import pandas as pd

        got = pd.read_csv(tmp_path / "o.csv")
    else:
        got = qv.zonal_stats(ZONES, path, ["count", "sum"], min_coverage=floor, max_memory=42_000,
                             chunks=(20, 30) if how == "dask" else None)
        got = got.compute().to_dataframe() if how == "dask" else got
    np.testing.assert_allclose(got["count"], count, rtol=1e-6)
    np.testing.assert_allclose(got["sum"], total, rtol=1e-5, atol=1e-3)
    assert (np.asarray(got["count"]) < np.asarray(plain.stats(path, "count")["count"]) - 1e-3).sum() > 10
    if how == "eager":  # and a coverage file says what it was built with
        cov = qv.Coverage(ZONES, path, min_coverage=floor)
        cov.to_file(tmp_path / "c.qvcov")
        back = qv.Coverage.from_file(tmp_path / "c.qvcov")
        assert back.min_coverage == floor and "min_coverage=0.5" in repr(back)
        for bad, err in ((1.5, ValueError), ("half", TypeError)):
            with pytest.raises(err, match="min_coverage"):
                qv.Coverage(ZONES, path, min_coverage=bad)


def _zone_file(tmp_path):
    gpd = pytest.importorskip("geopandas")
    out = tmp_path / "z.gpkg"
    gpd.GeoDataFrame(geometry=list(ZONES), crs="EPSG:4326").to_file(out)
    return str(out)
