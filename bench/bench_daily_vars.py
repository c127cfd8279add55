"""Several daily variables over a few regions: 53 polygons, 14,625 daily steps (about 40
years), 10 float32 variables in one NetCDF file on a 0.25-degree grid over 8 x 12 degrees
(32 x 48 cells, a plausible regional climate extract), mean per polygon, step and variable.
quorvalis (the Dataset accessor: one coverage for every variable) against xagg (on a sample
of the first steps when it is too slow: its time is then scaled to all steps, and the row
says so), a scipy.sparse product with quorvalis' own exact fractions (to_sparse), and
reading the whole stack with xarray (the floor). Each tool runs in its own child process.

    python bench/bench_daily_vars.py [--quick]
"""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import _peers  # noqa: E402

N_VARS, RES, LON0, LAT1 = 10, 0.25, 10.0, 50.0
XAGG_STEPS = 365


def make(folder, steps, rows, cols, n_zones):
    import pandas as pd
    import xarray as xr

    nc, gpkg = folder / "daily.nc", folder / "zones.gpkg"
    if nc.exists() and gpkg.exists():
        return nc, gpkg
    rng = np.random.default_rng(3)
    lat = LAT1 - RES * (np.arange(rows) + 0.5)  # north first, as the grid's rows run
    lon = LON0 + RES * (np.arange(cols) + 0.5)
    time = pd.date_range("1980-01-01", periods=steps, freq="D")
    seasonal = np.sin(2 * np.pi * np.arange(steps) / 365.25).astype(np.float32)[:, None, None]
    data = {}
    for v in range(N_VARS):
        field = rng.normal(0, 1, (steps, rows, cols)).astype(np.float32)
        data[f"v{v}"] = (("time", "lat", "lon"), field + 10 * seasonal + v)
    xr.Dataset(data, coords={"time": time, "lat": lat, "lon": lon}).to_netcdf(nc)
    _peers.tiling_zones(gpkg, LON0 + rng.random(n_zones) * cols * RES,
                        LAT1 - rng.random(n_zones) * rows * RES,
                        (LON0, LAT1 - rows * RES, LON0 + cols * RES, LAT1))
    return nc, gpkg


def quorvalis(nc, gpkg):
    import geopandas as gpd
    import xarray as xr

    import quorvalis  # noqa: F401  (the accessor)

    def run():
        ds = xr.open_dataset(nc)
        out = ds.qv.zonal_stats(gpd.read_file(gpkg), stats=["mean"], id="id")
        return np.stack([out[f"v{v}_mean"].transpose("time", "zone").values for v in range(N_VARS)])
    return run


def sparse(nc, gpkg):
    import geopandas as gpd
    import xarray as xr

    import quorvalis as qv

    def run():
        ds = xr.open_dataset(nc)
        a = qv.Coverage(gpd.read_file(gpkg), ds["v0"], id="id").to_sparse()
        total = np.asarray(a.sum(axis=1)).ravel()
        out = []
        for v in range(N_VARS):
            x = ds[f"v{v}"].values
            out.append((a @ x.reshape(len(x), -1).T.astype(np.float64)).T / total)
        return np.stack(out)
    return run


def xagg(nc, gpkg, steps):
    import geopandas as gpd
    import xagg as xa
    import xarray as xr

    def run():
        ds = xr.open_dataset(nc).isel(time=slice(0, int(steps)))
        weights = xa.pixel_overlaps(ds, gpd.read_file(gpkg), subset_bbox=False)
        agg = xa.aggregate(ds, weights).to_dataset()
        return np.stack([agg[f"v{v}"].transpose("time", "poly_idx").values for v in range(N_VARS)])
    return run


def read_floor(nc, gpkg):
    import xarray as xr

    def run():
        ds = xr.open_dataset(nc).load()
        return [float(ds[f"v{v}"][0, 0, 0]) for v in range(N_VARS)]
    return run


TOOLS = {"quorvalis": quorvalis, "scipy.sparse (to_sparse)": sparse, "xagg": xagg,
         "xarray read": read_floor}


def main():
    quick = "--quick" in sys.argv
    steps, rows, cols, n = (730, 32, 48, 53) if quick else (14625, 32, 48, 53)
    folder = pathlib.Path("build/bench_daily_vars" + ("_quick" if quick else ""))
    folder.mkdir(parents=True, exist_ok=True)
    nc, gpkg = make(folder, steps, rows, cols, n)
    sample = min(steps, XAGG_STEPS)
    res, table = {}, []
    for tool in TOOLS:
        out = folder / f"{tool.split()[0]}.npy"
        args = (nc, gpkg, sample) if tool == "xagg" else (nc, gpkg)
        t, rss, load = _peers.run(__file__, tool, out, *args)
        res[tool] = np.load(out)
        name, agree = tool, "-"
        if tool == "xagg":
            agree = _peers.agreement(res[tool], res["quorvalis"][:, :sample], 1e-2)
            if sample < steps:
                name, t = f"xagg ({sample} steps, x{steps / sample:.1f})", t * steps / sample
        elif tool.startswith("scipy"):
            agree = _peers.agreement(res[tool], res["quorvalis"], 1e-6)
        table.append((name, t, rss, load, agree))
    _peers.table(f"{n} polygons, {steps} daily steps, {N_VARS} variables on {rows} x {cols} "
                 "cells of 0.25 degree, mean", table)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        _peers.child_main(TOOLS, sys.argv[2:])
    else:
        main()
