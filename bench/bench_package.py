"""What the package costs over the bare engine module: building from shapely zones and a
labelled (time, zone) Dataset from an xarray stack, against _quorvalis called directly with
WKB and float64 arrays, timed in the same run (the machines are shared: read the ratios)."""

import time

import numpy as np
import shapely
import xarray as xr

import _quorvalis as q
import quorvalis as qv

ROWS, COLS, STEPS, ZONES = 360, 720, 120, 2000


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rng = np.random.default_rng(0)
    centres = shapely.points(rng.uniform(-175, 175, ZONES), rng.uniform(-85, 85, ZONES))
    zones = list(shapely.buffer(centres, rng.uniform(0.5, 4.0, ZONES), quad_segs=8))
    wkb = [z.wkb for z in zones]
    grid = qv.Grid(-180, -90, 180, 90, 0.5, 0.5, lonlat=True)
    data = rng.normal(size=(STEPS, ROWS, COLS))
    da = xr.DataArray(data, dims=("time", "lat", "lon"),
                      coords={"lat": 89.75 - 0.5 * np.arange(ROWS), "lon": -179.75 + 0.5 * np.arange(COLS)})

    raw_build = best(lambda: q.build_cache(wkb, list(range(ZONES)), *grid.astuple()))
    pkg_build = best(lambda: qv.Coverage(zones, da))
    cache = q.build_cache(wkb, list(range(ZONES)), *grid.astuple())
    cov = qv.Coverage(zones, da)
    raw_mean = best(lambda: q.apply_stat_batch(cache, data, np.nan, "mean"))
    pkg_mean = best(lambda: cov.stats(da, "mean"))
    f32 = da.astype(np.float32)
    pkg_f32 = best(lambda: cov.stats(f32, "mean"))
    print(f"{ZONES} zones, {ROWS} x {COLS} grid, {STEPS} steps")
    print(f"build: _quorvalis {raw_build:.3f} s, Coverage {pkg_build:.3f} s "
          f"(ratio {pkg_build / raw_build:.2f})")
    print(f"mean of the float64 stack: _quorvalis {raw_mean:.3f} s, Coverage.stats {pkg_mean:.3f} s "
          f"(ratio {pkg_mean / raw_mean:.2f}); float32 stack {pkg_f32:.3f} s "
          f"(ratio {pkg_f32 / raw_mean:.2f})")


if __name__ == "__main__":
    main()
