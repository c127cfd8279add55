"""Soak: many package calls in one process leave its resident memory flat.

Builds coverages and reduces rasters 10,000 times (Coverage, stats of a 2-D field and of a
small stack, zonal_stats, to_sparse, pickling) and prints the resident set size at the start,
the middle and the end. A leak of even a few hundred bytes per call shows as megabytes.

    python bench/soak.py [CALLS]
"""

import gc
import pickle
import sys

import numpy as np
import shapely

import quorvalis as qv


def rss_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def main(calls: int = 10_000) -> None:
    grid = qv.Grid(0, 0, 10, 10, 0.1, 0.1)
    rng = np.random.default_rng(0)
    zones = [shapely.Point(rng.uniform(1, 9, 2)).buffer(rng.uniform(0.2, 1.5)) for _ in range(20)]
    field = rng.normal(size=grid.shape)
    stack = rng.normal(size=(4, *grid.shape)).astype(np.float32)
    cov = qv.Coverage(zones, grid)
    work = [
        lambda: qv.Coverage(zones, grid),
        lambda: cov.stats(field, ["mean", "max", "median"]),
        lambda: cov.stats(stack, ["sum", "stdev"], as_numpy=True),
        lambda: qv.zonal_stats(zones, field, grid=grid, stats="count"),
        lambda: cov.to_sparse(),
        lambda: pickle.loads(pickle.dumps(cov)).fractions(3),
    ]
    for w in work:  # warm up: first calls fill caches and import lazily
        w()
    gc.collect()
    marks = [("start", rss_mib())]
    for i in range(calls):
        work[i % len(work)]()
        if i + 1 == calls // 2:
            gc.collect()
            marks.append(("middle", rss_mib()))
    gc.collect()
    marks.append(("end", rss_mib()))
    print(f"{calls} calls; resident memory: " + ", ".join(f"{k} {v:.1f} MiB" for k, v in marks))
    print(f"growth from middle to end: {marks[2][1] - marks[1][1]:+.1f} MiB")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10_000)
