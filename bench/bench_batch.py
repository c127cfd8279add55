"""Statistic kernels against what NumPy needs to read the same data, in one run.

batch   apply_stat_batch on a (365, 720, 1440) float64 daily stack (about 3 GB) with 1,000
        irregular basins, against stack.sum(), which reads every cell once (the covered
        cells lie on about 35% of the stack's 64-byte lines, and reading just those lines
        costs nearly as much: `bench_stats batch` times that floor);
single  apply_stat "mean" on a 4000 x 4000 raster with 2,000 basins, against summing a
        contiguous array that holds just the covered cells' values.

Times are the best of a few repetitions in thread CPU time (the machine is shared, and
time spent descheduled says nothing about the kernels). With QUORVALIS_BEFORE set to a
directory holding another build of _quorvalis, that build is timed too, in the same run.
Usage: python bench/bench_batch.py [batch|single|all]
"""

import importlib.util
import math
import os
import pathlib
import struct
import sys
import time

import numpy as np

import _quorvalis

NODATA = -9999.0
REPEATS = 3


def load_before():
    where = os.environ.get("QUORVALIS_BEFORE")
    if not where:
        return None
    path = next(pathlib.Path(where).glob("_quorvalis*.so"))
    spec = importlib.util.spec_from_file_location("_quorvalis", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def blob_wkb(cx, cy, radius, rng):
    """A wobbly star-shaped polygon, 64 vertices."""
    a1, a2 = 0.35 * rng.random(), 0.2 * rng.random()
    p1, p2 = 6.3 * rng.random(), 6.3 * rng.random()
    t = np.linspace(0.0, 2 * math.pi, 64, endpoint=False)
    r = radius * (1 + a1 * np.sin(3 * t + p1) + a2 * np.sin(7 * t + p2))
    ring = list(zip(cx + r * np.cos(t), cy + r * np.sin(t)))
    ring.append(ring[0])
    return struct.pack("<BIII", 1, 3, 1, len(ring)) + b"".join(struct.pack("<dd", x, y) for x, y in ring)


def blobs(rows, cols, n, r_lo, r_hi, rng):
    """n blobs with radii log-uniform in [r_lo, r_hi] cells, on a unit-cell grid."""
    wkbs = []
    for _ in range(n):
        radius = r_lo * (r_hi / r_lo) ** rng.random()
        wkbs.append(blob_wkb(rng.random() * cols, rng.random() * rows, radius, rng))
    return lambda module: module.build_cache(wkbs, list(range(n)), 0.0, 0.0, float(cols), float(rows), 1.0, 1.0)


def best(fn):
    times, result = [], None
    for _ in range(REPEATS):
        t0 = time.thread_time()
        result = fn()
        times.append(time.thread_time() - t0)
    return min(times), result


def batch(modules):
    rng = np.random.default_rng(365)
    steps, rows, cols = 365, 720, 1440
    stack = np.empty((steps, rows, cols))
    for t in range(steps):  # step by step, to keep the temporaries small
        rng.random(out=stack[t])
        stack[t] *= 300.0
        stack[t][rng.random((rows, cols)) < 0.02] = NODATA
    weights = rng.random((rows, cols))
    build = blobs(rows, cols, 1000, 3.0, 15.0, rng)
    t_read, _ = best(stack.sum)
    print(f"batch: ({steps}, {rows}, {cols}) float64, 1000 basins")
    print(f"  stack.sum()                 {t_read * 1e3:8.1f} ms")
    results = {}
    for label, module in modules:
        c = build(module)
        t_mean = None
        for stat in ("mean", "variance", "weighted_mean", "weighted_sum"):
            if stat.startswith("weighted"):
                t, out = best(lambda: module.apply_stat_batch_weights(c, stack, weights, NODATA, NODATA, stat))
            else:
                t, out = best(lambda: module.apply_stat_batch(c, stack, NODATA, stat))
            t_mean = t_mean or t
            results.setdefault(stat, []).append(out)
            print(f"  {label:6} {stat:20} {t * 1e3:8.1f} ms  {t / t_read:5.2f}x stack.sum()  {t / t_mean:5.2f}x mean")
    for stat, outs in results.items():
        if len(outs) > 1:
            same = all(np.array_equal(outs[0], o, equal_nan=True) for o in outs[1:])
            print(f"  {stat}: before and after {'identical' if same else 'DIFFER'}")


def single(modules):
    rng = np.random.default_rng(4000)
    rows = cols = 4000
    raster = rng.random((rows, cols)) * 300.0
    raster[rng.random((rows, cols)) < 0.02] = NODATA
    build = blobs(rows, cols, 2000, 10.0, 60.0, rng)
    cache = build(_quorvalis)
    # The covered area in cells (the count of a raster of ones) is a little less than the
    # number of cells with a fraction, which favours the baseline.
    cells = int(_quorvalis.apply_stat(cache, np.ones((rows, cols)), NODATA, "count").sum())
    covered = np.ascontiguousarray(raster.ravel()[: max(cells, 1)][::-1])
    t_sum, _ = best(covered.sum)
    print(f"single: {rows} x {cols} float64, {cache.n_basins} basins, about {cells} covered cells")
    print(f"  sum of covered values       {t_sum * 1e3:8.2f} ms")
    for label, module in modules:
        c = cache if module is _quorvalis else build(module)
        t, _ = best(lambda: module.apply_stat(c, raster, NODATA, "mean"))
        print(f"  {label:6} mean                 {t * 1e3:8.2f} ms  {cells / t / 1e9:5.2f} G cells/s  "
              f"{t / t_sum:5.2f}x the sum")


def main():
    what = sys.argv[1] if len(sys.argv) > 1 else "all"
    modules = [("after", _quorvalis)]
    before = load_before()
    if before is not None:
        modules.insert(0, ("before", before))
    if what in ("all", "single"):
        single(modules)
    if what in ("all", "batch"):
        batch(modules)
    return 0


if __name__ == "__main__":
    sys.exit(main())
