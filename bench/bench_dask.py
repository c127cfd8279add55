"""Zonal statistics of a Zarr stack several times larger than the memory the process may use.

A global 0.25-degree float32 stack (720 x 1440 cells per field) is written to a temporary
directory, then reduced lazily ("mean" with area weights and "max" over 3,000 basins) in
fresh processes whose private writable memory is capped with RLIMIT_DATA:

- threaded scheduler, 1 and 2 workers (threads of one process);
- a distributed LocalCluster of 1 and 2 worker processes (each inherits the limit).

RLIMIT_DATA, not RLIMIT_AS: a process with Dask, NumPy and a few threads reserves gigabytes of
address space it never touches (each thread's 64 MiB malloc arena, stacks, mapped libraries),
so an address-space limit fails for reasons that have nothing to do with the data. The data
limit (Linux 4.7 and later) counts the private writable mappings, which is where arrays live:
exceeding it means the run really held that much.

Reported: the stack's size against the limit, peak resident memory of every process,
covered cell-steps per second (grid cells x fields / wall time), and the time the same
scheduler takes only to read the stack (the floor under any reduction of it). The baseline, timed in the
same run, is the eager reduction of fields already in memory, with the same engine and one
thread. Also measured: how a coverage reaches a worker (rebuilt from WKB there, or shipped
as its fractions).

    python bench/bench_dask.py [--limit-mib 768] [--factor 4.2] [--keep-going]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pickle
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

ROWS, COLS = 720, 1440
CHUNK = 8  # fields per chunk: 33 MB of float32
N_BASINS = 3000


def grid_coords():
    lat = 90.0 - 0.125 - 0.25 * np.arange(ROWS)
    lon = -180.0 + 0.125 + 0.25 * np.arange(COLS)
    return lat, lon


def basins(n=N_BASINS, seed=0):
    """Star-shaped polygons of 1 to 6 degrees across, 24 vertices each, over land and sea
    alike: the sizes and outlines of river basins, not of grid cells."""
    import shapely

    rng = np.random.default_rng(seed)
    out = []
    angles = np.linspace(0.0, 2 * np.pi, 24, endpoint=False)
    for _ in range(n):
        cx, cy = rng.uniform(-175, 175), rng.uniform(-80, 80)
        r = rng.uniform(0.5, 3.0) * rng.uniform(0.6, 1.0, 24)
        out.append(shapely.Polygon(np.c_[cx + r * np.cos(angles), cy + r * np.sin(angles)]))
    return out


def template():
    import xarray as xr

    lat, lon = grid_coords()
    return xr.DataArray(np.zeros((1, ROWS, COLS), np.float32), dims=("time", "lat", "lon"),
                        coords={"time": [0], "lat": lat, "lon": lon})


def write(path, steps):
    """The stack, written chunk by chunk from Dask's random generator."""
    import dask.array as da
    import xarray as xr

    lat, lon = grid_coords()
    values = da.random.default_rng(1).standard_normal((steps, ROWS, COLS), chunks=(CHUNK, ROWS, COLS),
                                                      dtype=np.float32) * 5 + 280
    arr = xr.DataArray(values, dims=("time", "lat", "lon"),
                       coords={"time": np.arange(steps), "lat": lat, "lon": lon},
                       attrs={"units": "K"}, name="t2m")
    # Uncompressed: decompression would be most of the time, and it is the store's work, not
    # the reduction's (run with a compressed store to see a real archive's rate).
    arr.to_dataset().to_zarr(path, consolidated=False, encoding={"t2m": {"compressors": None}})


def limit_memory(mib):
    resource.setrlimit(resource.RLIMIT_DATA, (mib << 20, mib << 20))


def peak_rss_mib():
    """VmHWM: unlike getrusage's maximum, it starts afresh at exec, not at the parent's peak."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def reduce_run(path, mode, workers, limit_mib):
    """One measured reduction in this (fresh, limited) process; prints a JSON line."""
    limit_memory(limit_mib)
    import xarray as xr

    import quorvalis as qv

    lazy = xr.open_zarr(path, consolidated=False)["t2m"]
    cov = qv.Coverage(basins(), lazy, threads=1)  # Dask spreads the chunks over the cores
    out = cov.stats(lazy, ["mean", "max"], weights="area")
    read_only = lazy.max(("lat", "lon"))  # reads every chunk and does next to nothing with it
    worker_rss = []
    if mode == "threads":
        start = time.perf_counter()
        got = out.compute(scheduler="threads", num_workers=workers)
        seconds = time.perf_counter() - start
        start = time.perf_counter()
        read_only.compute(scheduler="threads", num_workers=workers)
        read_s = time.perf_counter() - start
    else:
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=50) as cluster, Client(cluster) as client:
            start = time.perf_counter()  # the cluster's start-up is not the reduction's time
            got = out.compute()
            seconds = time.perf_counter() - start
            worker_rss = list(client.run(peak_rss_mib).values())
            start = time.perf_counter()
            read_only.compute()
            read_s = time.perf_counter() - start
    assert np.isfinite(got["mean"].values).any()
    steps = lazy.shape[0]
    print(json.dumps({"mode": mode, "workers": workers, "seconds": seconds, "read_s": read_s,
                      "cell_steps_per_s": ROWS * COLS * steps / seconds,
                      "peak_rss_mib": peak_rss_mib(), "worker_peak_rss_mib": worker_rss}))


def baseline_run(steps=3 * CHUNK):
    """Eager, in memory, one engine thread: the rate of the arithmetic alone."""
    import quorvalis as qv

    rng = np.random.default_rng(2)
    arr = template().isel(time=[0] * steps).copy(data=rng.standard_normal((steps, ROWS, COLS),
                                                                           dtype=np.float32))
    cov = qv.Coverage(basins(), arr, threads=1)
    cov.stats(arr[:CHUNK], ["mean", "max"], weights="area")  # warm up
    best = math.inf
    for _ in range(3):
        start = time.perf_counter()
        cov.stats(arr, ["mean", "max"], weights="area")
        best = min(best, time.perf_counter() - start)
    return ROWS * COLS * steps / best


def shipping():
    """Rebuilding the coverage from its WKB in the worker vs sending its fractions."""
    import quorvalis as qv

    cov = qv.Coverage(basins(), template(), threads=1)
    as_wkb = pickle.dumps(cov)
    start = time.perf_counter()
    back = pickle.loads(as_wkb)
    back._engine_handles  # noqa: B018  (builds it, as a worker's first task does)
    rebuild = time.perf_counter() - start
    windows = [cov.fractions(k) for k in range(len(cov))]
    as_fractions = pickle.dumps(windows, protocol=5)
    start = time.perf_counter()
    pickle.loads(as_fractions)
    unpickle = time.perf_counter() - start
    return {"wkb_bytes": len(as_wkb), "rebuild_s": rebuild,
            "fraction_bytes": len(as_fractions), "unpickle_fractions_s": unpickle}


def child(*args):
    out = subprocess.run([sys.executable, __file__, *map(str, args)], capture_output=True,
                         text=True, check=False)
    if out.returncode != 0:
        raise RuntimeError(f"{args}: exit {out.returncode}\n{out.stderr[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit-mib", type=int, default=768)
    parser.add_argument("--factor", type=float, default=4.2, help="stack size / memory limit")
    parser.add_argument("--run", nargs=3, metavar=("PATH", "MODE", "WORKERS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        reduce_run(args.run[0], args.run[1], int(args.run[2]), args.limit_mib)
        return

    field_bytes = ROWS * COLS * 4
    steps = math.ceil(args.factor * (args.limit_mib << 20) / field_bytes / CHUNK) * CHUNK
    tmp = tempfile.mkdtemp(prefix="bench_dask_")
    try:
        path = os.path.join(tmp, "stack.zarr")
        start = time.perf_counter()
        write(path, steps)
        print(f"stack: {steps} x {ROWS} x {COLS} float32 = {steps * field_bytes / 2**30:.2f} GiB "
              f"({steps * field_bytes / (args.limit_mib << 20):.1f}x the limit), chunks of {CHUNK} "
              f"fields; written in {time.perf_counter() - start:.0f} s")
        print(f"limit: RLIMIT_DATA {args.limit_mib} MiB per process; {N_BASINS} basins; "
              "statistics mean (area-weighted) and max")
        base = baseline_run()
        print(f"baseline (eager, in memory, 1 thread): {base / 1e6:.0f} M cell-steps/s")
        for mode in ("threads", "distributed"):
            for workers in (1, 2):
                r = child("--limit-mib", args.limit_mib, "--run", path, mode, workers)
                workers_rss = "".join(f", worker {w:.0f} MiB" for w in r["worker_peak_rss_mib"])
                print(f"{mode:>11} x{workers}: {r['seconds']:6.1f} s (reading alone {r['read_s']:.1f} s), "
                      f"{r['cell_steps_per_s'] / 1e6:6.0f} M cell-steps/s "
                      f"({r['cell_steps_per_s'] / base:.2f}x baseline), "
                      f"peak RSS {r['peak_rss_mib']:.0f} MiB{workers_rss}")
        s = shipping()
        print(f"coverage to a worker: WKB {s['wkb_bytes'] / 2**20:.1f} MiB + rebuild "
              f"{s['rebuild_s'] * 1e3:.0f} ms, or fractions {s['fraction_bytes'] / 2**20:.1f} MiB "
              f"+ unpickle {s['unpickle_fractions_s'] * 1e3:.0f} ms")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
