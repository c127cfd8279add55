"""What a user statistic costs: a Python function computing the weighted mean, called once
per zone and block of time steps on values gathered from the coverage, against the
engine's built-in mean, timed in the same run (the machines are shared: read the ratios).
Also the weighted variance, gathered the same way but without a Python call per zone."""

import time

import numpy as np
import shapely

import quorvalis as qv

ROWS, COLS, ZONES = 360, 720, 2000


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def wmean(values, weights):
    ok = np.isfinite(values)
    return np.sum(np.where(ok, values, 0.0) * weights, axis=-1) / np.sum(ok * weights, axis=-1)


def main():
    rng = np.random.default_rng(0)
    centres = shapely.points(rng.uniform(-175, 175, ZONES), rng.uniform(-85, 85, ZONES))
    zones = list(shapely.buffer(centres, rng.uniform(0.5, 4.0, ZONES), quad_segs=8))
    grid = qv.Grid(-180, -90, 180, 90, 0.5, 0.5, lonlat=True)
    cov = qv.Coverage(zones, grid)
    cells = cov.to_sparse().nnz
    print(f"{ZONES} zones, {cells} covered cells on a {ROWS} x {COLS} grid")
    for steps in (1, 120):
        data = rng.normal(size=(steps, ROWS, COLS)) if steps > 1 else rng.normal(size=(ROWS, COLS))
        builtin = best(lambda d=data: cov.stats(d, "mean", as_numpy=True))
        custom = best(lambda d=data: cov.stats(d, {"m": wmean}, as_numpy=True))
        wvar = best(lambda d=data: cov.stats(d, "weighted_variance", weights="area",
                                             as_numpy=True))
        print(f"{steps:4d} step(s): built-in mean {builtin * 1e3:8.1f} ms, user weighted mean "
              f"{custom * 1e3:8.1f} ms ({custom / builtin:5.1f}x, "
              f"{custom / ZONES * 1e6:6.1f} us per zone call), weighted_variance "
              f"{wvar * 1e3:8.1f} ms ({wvar / builtin:5.1f}x)")
    got = cov.stats(data, {"m": wmean, "mean": "mean"}, as_numpy=True)
    print(f"largest difference user vs built-in mean: {np.nanmax(np.abs(got['m'] - got['mean'])):.2e}")


if __name__ == "__main__":
    main()
