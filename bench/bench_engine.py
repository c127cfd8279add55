"""The package engine's speed claims, each a ratio against a baseline timed in this run:

1. a float32 stack reduced in place ("mean") against the same data converted to float64
   and given to _quorvalis (conversion included), in covered cell-steps per second;
2. threads=2 against threads=1 for a batch "mean" and for an exact build of 10,000
   irregular basins;
3. a weighted "median" of 1,000 basins on a 2000 x 2000 raster against "mean" there;
4. two calls on two Python threads against the same two calls one after the other.

Best of a few repetitions each; the machine is shared, so only the ratios mean anything.
Single-thread comparisons also give the ratio of CPU times, which other load on the machine
disturbs far less than wall time; thread comparisons can only be judged by wall time, on a
machine that has the cores free. Run with `make bench` (or
`.venv/bin/python bench/bench_engine.py [--quick]`).
"""

import sys
import threading
import time

import numpy as np
import shapely

import _quorvalis as q
from quorvalis import _engine as e

QUICK = "--quick" in sys.argv
REPEATS = 3


def best(fn, repeats=REPEATS, clock=time.perf_counter):
    times = []
    for _ in range(repeats):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return min(times)


def best_cpu(fn, repeats=REPEATS):
    return best(fn, repeats, time.process_time)


def blobs(n, rows, cols, rng, vertices=(50, 2000), size=(0.5, 1.5)):
    """Irregular star-shaped basins of a few dozen to a few thousand vertices, scattered
    over a rows x cols grid of unit cells, each about size * sqrt(cells per basin) across."""
    scale = np.sqrt(rows * cols / n)
    out = []
    for _ in range(n):
        m = int(rng.integers(*vertices))
        cx, cy = rng.uniform(0, cols), rng.uniform(0, rows)
        angles = np.sort(rng.uniform(0, 2 * np.pi, m))
        radius = scale * rng.uniform(*size) * (0.6 + 0.4 * rng.random(m))
        ring = np.column_stack([cx + radius * np.cos(angles), cy + radius * np.sin(angles)])
        out.append(shapely.Polygon(ring).wkb)
    return out


def report(name, baseline_name, baseline, ours, target, clock="wall"):
    ratio = baseline / ours
    print(f"{name:<56} {ours:8.3f} s   {baseline_name:<28} {baseline:8.3f} s   {clock:<4} "
          f"ratio {ratio:5.2f}x (target >= {target:.2f}x) {'ok' if ratio >= target else 'MISSED'}")


def float32_in_place():
    t, rows, cols = (24, 500, 1000) if QUICK else (120, 720, 1440)
    rng = np.random.default_rng(1)
    stack = rng.normal(10.0, 3.0, (t, rows, cols)).astype(np.float32)
    wkb = blobs(1000, rows, cols, rng, vertices=(50, 200))
    cov = e.build(wkb, 0, 0, cols, rows, 1, 1)
    cache = q.build_cache(wkb, list(range(len(wkb))), 0, 0, cols, rows, 1, 1)
    def ours(threads):
        return lambda: e.reduce(cov, stack, ["mean"], nodata=-9999.0, threads=threads)

    def legacy():
        q.apply_stat_batch(cache, stack.astype(np.float64), -9999.0, "mean")

    name = f"float32 {stack.shape} mean in place"
    report(f"{name}, 1 thread", "float64 copy + _quorvalis", best_cpu(legacy), best_cpu(ours(1)), 1.6, "cpu")
    report(f"{name}, 1 thread", "float64 copy + _quorvalis", best(legacy), best(ours(1)), 1.6)
    report(f"{name}, all cores", "float64 copy + _quorvalis", best(legacy), best(ours(0)), 1.6)


def thread_scaling():
    rng = np.random.default_rng(2)
    rows, cols = (900, 1800) if QUICK else (1800, 3600)
    wkb = blobs(2000 if QUICK else 10_000, rows, cols, rng)
    # a global 0.1-degree grid, in cell units
    one = best(lambda: e.build(wkb, 0, 0, cols, rows, 1, 1, threads=1), 2)
    two = best(lambda: e.build(wkb, 0, 0, cols, rows, 1, 1, threads=2), 2)
    report(f"exact build of {len(wkb)} basins, 2 threads", "1 thread", one, two, 1.7)

    t, r, c = (24, 500, 1000) if QUICK else (96, 720, 1440)
    stack = rng.normal(size=(t, r, c))
    cov = e.build(blobs(1000, r, c, rng, vertices=(50, 200)), 0, 0, c, r, 1, 1)
    # Best of more calls: a short call on two threads shows every time the other core
    # was busy elsewhere.
    one = best(lambda: e.reduce(cov, stack, ["mean"], threads=1), 10)
    two = best(lambda: e.reduce(cov, stack, ["mean"], threads=2), 10)
    report(f"batch mean {stack.shape}, 2 threads", "1 thread", one, two, 1.7)


def median_against_mean():
    rng = np.random.default_rng(3)
    raster = rng.normal(size=(2000, 2000))
    weights = rng.uniform(0.5, 2.0, (2000, 2000))
    cov = e.build(blobs(1000, 2000, 2000, rng, vertices=(50, 200)), 0, 0, 2000, 2000, 1, 1)
    mean = best_cpu(lambda: e.reduce(cov, raster, ["mean"], threads=1), 5)
    median = best_cpu(lambda: e.reduce(cov, raster, ["median"], weights=weights, threads=1), 5)
    report("weighted median, 1000 basins on 2000 x 2000, 1 thread", "mean", mean, median, 1 / 3, "cpu")
    median = best_cpu(lambda: e.reduce(cov, raster, ["median"], threads=1), 5)
    report("coverage-weighted median, same, 1 thread", "mean", mean, median, 1 / 3, "cpu")
    mean = best(lambda: e.reduce(cov, raster, ["mean"]), 5)
    median = best(lambda: e.reduce(cov, raster, ["median"], weights=weights), 5)
    report("weighted median, same, all cores", "mean", mean, median, 1 / 3)


def python_threads():
    rng = np.random.default_rng(4)
    stack = rng.normal(size=(24 if QUICK else 48, 720, 1440))
    cov = e.build(blobs(1000, 720, 1440, rng, vertices=(50, 200)), 0, 0, 1440, 720, 1, 1)

    def call():
        e.reduce(cov, stack, ["mean", "max"], threads=1)

    def two_threads():
        workers = [threading.Thread(target=call) for _ in range(2)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    sequential = best(lambda: (call(), call()))
    parallel = best(two_threads)
    report("two calls on two Python threads", "the two calls in turn", sequential, parallel, 1.6)


if __name__ == "__main__":
    print(f"engine benchmarks ({'quick' if QUICK else 'full'}), cores available: {len(__import__('os').sched_getaffinity(0))}")
    float32_in_place()
    thread_scaling()
    median_against_mean()
    python_threads()
