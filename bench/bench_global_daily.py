"""A global daily stack: 1,000 basins (Voronoi cells of random points between 60 S and 80 N)
on a 0.25-degree global grid (720 x 1440), 365 days of float32 with a _FillValue (a fixed
tenth of the cells, as a land-sea mask would), area-weighted mean per basin and day from the
NetCDF file. quorvalis (`Coverage.stats(weights="area")`) against regionmask's label mask
with an xarray groupby of cos(latitude)-weighted sums, and against a scipy.sparse product
of quorvalis' exact fractions times the cell areas. Each tool runs in its own child process.

    python bench/bench_global_daily.py [--quick]
"""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import _peers  # noqa: E402


def make(folder, steps, res, n):
    import pandas as pd
    import xarray as xr

    nc, gpkg = folder / "global.nc", folder / "basins.gpkg"
    if nc.exists() and gpkg.exists():
        return nc, gpkg
    rng = np.random.default_rng(5)
    rows, cols = int(180 / res), int(360 / res)
    lat = 90 - res * (np.arange(rows) + 0.5)
    lon = -180 + res * (np.arange(cols) + 0.5)
    field = (15 + 15 * np.cos(np.radians(lat)))[:, None] + np.zeros(cols, np.float32)
    fill = rng.random((rows, cols)) < 0.1
    data = np.empty((steps, rows, cols), np.float32)
    for t in range(steps):
        data[t] = field + rng.normal(0, 2, (rows, cols))
    data[:, fill] = np.nan
    da = xr.DataArray(data, dims=("time", "lat", "lon"), name="t2m",
                      coords={"time": pd.date_range("2020-01-01", periods=steps), "lat": lat, "lon": lon})
    da.to_netcdf(nc, encoding={"t2m": {"_FillValue": np.float32(-9999.0)}})
    _peers.tiling_zones(gpkg, -180 + 360 * rng.random(n), -60 + 140 * rng.random(n),
                        (-180, -60, 180, 80))
    return nc, gpkg


def quorvalis(nc, gpkg, method="exact"):
    import geopandas as gpd
    import xarray as xr

    import quorvalis as qv

    def run():
        da = xr.open_dataset(nc)["t2m"]
        cov = qv.Coverage(gpd.read_file(gpkg), da, id="id", method=method)
        return cov.stats(da, "mean", weights="area")["mean"].transpose("time", "zone").values
    return run


def quorvalis_center(nc, gpkg):
    return quorvalis(nc, gpkg, "center")


def sparse(nc, gpkg):
    import geopandas as gpd
    import scipy.sparse
    import xarray as xr

    import quorvalis as qv

    def run():
        da = xr.open_dataset(nc)["t2m"]
        cov = qv.Coverage(gpd.read_file(gpkg), da, id="id")
        a = cov.to_sparse() @ scipy.sparse.diags(np.ravel(qv.cell_areas(cov.grid)))
        x = da.values.reshape(da.shape[0], -1).T
        valid = ~np.isnan(x)
        return ((a @ np.where(valid, x, 0).astype(np.float64)) / (a @ valid.astype(np.float64))).T
    return run


def regionmask(nc, gpkg):
    import geopandas as gpd
    import regionmask as rm
    import xarray as xr

    def run():
        da = xr.open_dataset(nc)["t2m"].load()
        basins = gpd.read_file(gpkg)
        mask = rm.from_geopandas(basins, numbers="id").mask(da.lon, da.lat)
        w = np.cos(np.radians(da.lat)) * xr.ones_like(da.lon)
        total = (da.fillna(0) * w).groupby(mask).sum()
        weight = (da.notnull() * w).groupby(mask).sum()
        mean = (total / weight).transpose("time", "mask")
        out = np.full((da.shape[0], len(basins)), np.nan)
        out[:, mean["mask"].values.astype(int)] = mean.values
        return out
    return run


def read_floor(nc, gpkg):
    """Reading the stack and nothing else: the floor under every tool here."""
    import xarray as xr

    def run():
        v = xr.open_dataset(nc)["t2m"].values
        return [[float(v[0, 0, 0])]]
    return run


TOOLS = {"quorvalis": quorvalis, "quorvalis center": quorvalis_center,
         "scipy.sparse (to_sparse x areas)": sparse, "regionmask + xarray": regionmask,
         "xarray reading the stack": read_floor}


def main():
    quick = "--quick" in sys.argv
    steps, res, n = (30, 0.5, 300) if quick else (365, 0.25, 1000)
    folder = pathlib.Path("build/bench_global_daily" + ("_quick" if quick else ""))
    folder.mkdir(parents=True, exist_ok=True)
    nc, gpkg = make(folder, steps, res, n)
    res_, table = {}, []
    for tool in TOOLS:
        out = folder / f"{tool.split()[0]}.npy"
        t, rss, load = _peers.run(__file__, tool, out, nc, gpkg)
        res_[tool] = np.load(out)
        if tool == "quorvalis" or tool.startswith("xarray"):
            agree = "-"
        elif tool == "quorvalis center":
            agree = "exact vs center: " + _peers.agreement(res_[tool], res_["quorvalis"], 1e-3)
        elif tool.startswith("scipy"):
            agree = _peers.agreement(res_[tool], res_["quorvalis"], 1e-6)
        else:
            agree = "vs center: " + _peers.agreement(res_[tool], res_["quorvalis center"], 1e-6)
        table.append((tool, t, rss, load, agree))
    _peers.table(f"{n} basins, {steps} days on a {res}-degree global grid, float32 with "
                 "_FillValue, area-weighted mean", table)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        _peers.child_main(TOOLS, sys.argv[2:])
    else:
        main()
