"""Dask at any zone count: worker memory, graph size and time as the zones grow.

A synthetic float32 raster (by default 40,000 x 40,000 cells in 4096 x 4096 chunks, made by
``map_blocks`` from a cheap function of the cell's row and column, so it costs no disk) and
N zones that tile it (jittered quadrilaterals of a regular lattice, like level-12 basins)
are reduced ("mean", "max" and "median"), for each N:

- **dask**: the lazy result computed on a fresh LocalCluster of 2 worker processes with one
  thread each; reported: each worker's peak resident memory (VmHWM, read in the worker after
  the run; it must stay flat as N grows) and its resident memory before the run (the imports
  and Dask's own), the graph's size (cloudpickled, as the scheduler receives it) per task
  and for its largest task, the time to build the graph and to compute it;
- **Dask alone**: the same windows that the plan reads, assembled from their chunks and
  summed by Dask with no zonal work, on another fresh cluster: the memory Dask's own
  scheduling of the chunks needs, the floor under the first column;
- **eager**: the same values read window by window by the local runner
  (``Coverage.stats(..., max_memory=...)`` on a raster that reads its windows from the same
  function), in this process with every engine thread; the results must be equal.

    python bench/bench_dask_scale.py [--size 40000] [--chunk 4096] [--zones 10000,100000,1000000]
                                     [--max-memory 1GiB] [--stats mean,max,median] [--skip-eager]
                                     [--from-file DIR]

``--from-file DIR`` writes each coverage to a file first (``build=False``, then ``to_file``)
and reduces from it: each task then carries where its zones lie in the file, not their WKB.

The default run takes about 10 minutes on 2 cores (25 with ``--from-file``, which writes
coverage files of 6 GiB); a scaled run keeps the proportions (chunks per side, blocks per
task) with, e.g., ``--size 8192 --chunk 1024 --max-memory 64MiB``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import time

import numpy as np

STATS = ["mean", "max", "median"]


def values(r0, r1, c0, c1):
    """The raster's cells [r0:r1, c0:c1]: smooth, with ties for the median; made in one
    array (no temporaries of its size), so that the source costs what its chunk costs."""
    r = np.arange(r0, r1, dtype=np.float32)[:, None]
    c = np.arange(c0, c1, dtype=np.float32)[None, :]
    out = np.empty((r1 - r0, c1 - c0), np.float32)
    np.add(np.sin(r * np.float32(0.0021)) * 50 + r * np.float32(0.001),
           np.cos(c * np.float32(0.0017)) * 50 + c * np.float32(0.001), out=out)
    return np.round(out, 1, out=out)


def _block(block_info=None):
    (r0, r1), (c0, c1) = block_info[None]["array-location"]
    return values(r0, r1, c0, c1)


def lazy_raster(size, chunk):
    import dask.array as da

    n = -(-size // chunk)
    sizes = tuple(min(chunk, size - i * chunk) for i in range(n))
    return da.map_blocks(_block, dtype=np.float32, chunks=(sizes, sizes),
                         meta=np.empty((0, 0), np.float32))


def windowed_raster(size, chunk, grid):
    from quorvalis._raster import Raster

    def whole():
        raise AssertionError("the eager run must read window by window")

    return Raster(whole, grid, reader=lambda lead, rows, cols: values(rows.start, rows.stop, cols.start, cols.stop),
                  block_shape=(chunk, chunk), stored_shape=(size, size), source="synthetic")


def zones(n, size, seed=0):
    """About ``n`` quadrilaterals tiling the raster: a k x k lattice with jittered corners."""
    import shapely

    k = max(1, round(n ** 0.5))
    step = size / k
    rng = np.random.default_rng(seed)
    y, x = np.meshgrid(np.arange(k + 1) * step, np.arange(k + 1) * step, indexing="ij")
    inner = (slice(1, -1), slice(1, -1))
    x[inner] += rng.uniform(-0.3, 0.3, x[inner].shape) * step
    y[inner] += rng.uniform(-0.3, 0.3, y[inner].shape) * step
    corners = np.stack([
        np.stack([x[:-1, :-1], y[:-1, :-1]], -1), np.stack([x[:-1, 1:], y[:-1, 1:]], -1),
        np.stack([x[1:, 1:], y[1:, 1:]], -1), np.stack([x[1:, :-1], y[1:, :-1]], -1),
        np.stack([x[:-1, :-1], y[:-1, :-1]], -1)], axis=2).reshape(-1, 5, 2)
    return list(shapely.polygons(corners))


def peak_rss_mib():
    """VmHWM of this process: its peak resident memory since it started."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def rss_mib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024


def warm():
    import quorvalis  # noqa: F401  (the imports a task needs, before the run)

    return rss_mib()


def graph_size(arrays):
    import cloudpickle

    graph = {}
    for a in arrays:  # the statistics share every task but their last slice
        graph.update(dict(a.__dask_graph__()))
    sizes = [len(cloudpickle.dumps(v)) for v in graph.values()]
    return len(graph), sum(sizes), max(sizes)


@contextlib.contextmanager
def cluster():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=50, memory_limit=0) as c, Client(c) as client:
        yield client


def windows_alone(cov, args):
    """The windows the plan reads, each assembled from its chunks and summed: the memory
    Dask itself needs to move them, without any zonal work."""
    import dask.array as da

    from quorvalis import _plan

    x = lazy_raster(args.size, args.chunk)
    plan = _plan.plan(_plan.zone_windows(cov.engine_bounds(), cov.grid), cov.grid.shape,
                      (args.chunk, args.chunk), _plan.parse_memory(args.max_memory), 8)
    sums = []
    for t in plan.tasks:
        sub = x[t.rows, t.cols]
        sums.append(sub.rechunk(sub.shape).sum())
    return da.stack(sums).sum()


def run(n_zones, args):
    import dask

    import quorvalis as qv

    grid = qv.Grid(0, 0, args.size, args.size, 1, 1)
    polys = zones(n_zones, args.size)
    row = {"zones": len(polys)}
    cov = qv.Coverage(polys, grid, build=False, threads=1)
    if args.from_file:  # the coverage built once into a file; the tasks read their zones there
        path = os.path.join(args.from_file, f"tiling-{n_zones}.qvcov")
        start = time.perf_counter()
        cov.to_file(path)
        row["file_s"] = time.perf_counter() - start
        cov = qv.Coverage.from_file(path)
    start = time.perf_counter()
    lazy = cov.stats(lazy_raster(args.size, args.chunk), STATS, as_numpy=True, max_memory=args.max_memory)
    row["graph_s"] = time.perf_counter() - start
    arrays = [lazy[s] for s in STATS]
    row["tasks"], total, row["largest_task_b"] = graph_size(arrays)
    row["bytes_per_task"] = total / row["tasks"]
    with cluster() as client:
        row["worker_start_mib"] = sorted(client.run(warm).values())
        start = time.perf_counter()
        got = dask.compute(*arrays, scheduler=client)
        row["dask_s"] = time.perf_counter() - start
        row["worker_peak_mib"] = sorted(client.run(peak_rss_mib).values())
    with cluster() as client:  # Dask alone moving the same windows, summing each
        client.run(warm)
        dask.compute(windows_alone(cov, args), scheduler=client)
        row["floor_peak_mib"] = sorted(client.run(peak_rss_mib).values())
    if not args.skip_eager:
        eager_cov = qv.Coverage.from_file(path) if args.from_file else \
            qv.Coverage(polys, grid, build=False)
        start = time.perf_counter()
        eager = eager_cov.stats(windowed_raster(args.size, args.chunk, grid), STATS, as_numpy=True,
                                max_memory=args.max_memory)
        row["eager_s"] = time.perf_counter() - start
        row["equal"] = all(np.array_equal(g, eager[s], equal_nan=True) for g, s in zip(got, STATS, strict=True))
    return row


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size", type=int, default=40_000)
    p.add_argument("--chunk", type=int, default=4096)
    p.add_argument("--zones", default="10000,100000,1000000")
    p.add_argument("--max-memory", default="1GiB")
    p.add_argument("--stats", default=",".join(STATS))
    p.add_argument("--skip-eager", action="store_true")
    p.add_argument("--from-file", metavar="DIR",
                   help="write each coverage to a file in DIR first, and reduce from that file")
    args = p.parse_args()
    STATS[:] = args.stats.split(",")
    print(f"{args.size} x {args.size} float32 in {args.chunk} x {args.chunk} chunks, "
          f"max_memory={args.max_memory}, {', '.join(STATS)}; LocalCluster of 2 workers x 1 thread"
          + ("; zones read from coverage files" if args.from_file else ""))
    print("| zones | worker peak RSS (MiB) | Dask alone, same windows | at start | tasks | graph bytes/task "
          "| largest task | graph build | Dask | eager | equal |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for n in (int(v) for v in args.zones.split(",")):
        r = run(n, args)
        peak = " / ".join(f"{v:.0f}" for v in r["worker_peak_mib"])
        start = " / ".join(f"{v:.0f}" for v in r["worker_start_mib"])
        floor = " / ".join(f"{v:.0f}" for v in r["floor_peak_mib"])
        eager = f"{r['eager_s']:.1f} s" if "eager_s" in r else "-"
        print(f"| {r['zones']:,} | {peak} | {floor} | {start} | {r['tasks']:,} | {r['bytes_per_task']:,.0f} "
              f"| {r['largest_task_b'] / 1024:,.0f} KiB | {r['graph_s']:.1f} s | {r['dask_s']:.1f} s | {eager} "
              f"| {r.get('equal', '-')} |"
              + (f" file written in {r['file_s']:.1f} s" if "file_s" in r else ""), flush=True)


if __name__ == "__main__":
    main()
