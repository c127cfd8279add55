"""Memory of a built coverage: bytes held per covered cell and peak RSS, for a thin diagonal
corridor (a 3 km buffer of a long line on a 10 m grid: its window is mostly empty) and a
Voronoi-like tessellation (every cell covered once), with the time of a mean and a median
over a float32 raster on the same grid. Each case runs in a fresh process so that its peak
RSS is its own.

    python bench/bench_runs.py [corridor_cells] [tessellation_cells] [zones]
"""

import json
import subprocess
import sys
import time

import numpy as np
import shapely

import quorvalis as qv


def peak_rss():
    # This process's own high-water mark: ru_maxrss would include the parent's, carried
    # over by the exec that started this process.
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def held_bytes(cov):
    # The engine's own count where it has one; otherwise what dense windows would hold.
    handles = cov._engine_handles
    if all(hasattr(h, "heap_bytes") for h in handles):
        return sum(h.heap_bytes for h in handles)
    return sum(4 * cov.fractions(k)[2].size for k in range(len(cov)))


def case(name, n, zones):
    if name == "corridor":
        cell = 10.0
        side = n * cell
        zs = [shapely.LineString([(0.05 * side, 0.05 * side), (0.95 * side, 0.9 * side)]).buffer(1500.0)]
    else:
        cell = 1.0
        side = float(n)
        rng = np.random.default_rng(1)
        pts = shapely.points(rng.uniform(0, side, (zones, 2)))
        cells = shapely.voronoi_polygons(shapely.multipoints(pts), extend_to=shapely.box(0, 0, side, side))
        zs = list(shapely.intersection(shapely.get_parts(cells), shapely.box(0, 0, side, side)))
    grid = qv.Grid(0, 0, side, side, cell, cell)
    start = time.perf_counter()
    cov = qv.Coverage(zs, grid)
    build = time.perf_counter() - start
    held = held_bytes(cov)
    raster = np.random.default_rng(2).standard_normal((n, n), dtype=np.float32)  # no float64 copy
    timings = {}
    for stat in ("mean", "median"):
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            cov.stats(raster, [stat], as_numpy=True)
            best = min(best, time.perf_counter() - start)
        timings[stat] = best
    rss = peak_rss()  # before the count below, whose sparse matrix is 16 bytes per cell
    covered = int(cov.to_sparse().nnz)
    return {"case": name, "grid": n, "zones": len(zs), "covered": covered, "bytes_per_cell": held / covered,
            "held_MiB": held / 2**20, "raster_MiB": raster.nbytes / 2**20, "peak_rss_MiB": rss / 2**20,
            "build_s": build, "mean_s": timings["mean"], "median_s": timings["median"]}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--case":
        print(json.dumps(case(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))))
        return
    corridor = int(sys.argv[1]) if len(sys.argv) > 1 else 6000
    tess = int(sys.argv[2]) if len(sys.argv) > 2 else 4000
    zones = int(sys.argv[3]) if len(sys.argv) > 3 else 5000
    for name, n in (("corridor", corridor), ("tessellation", tess)):
        out = subprocess.run([sys.executable, __file__, "--case", name, str(n), str(zones)],
                             capture_output=True, text=True, check=True).stdout
        r = json.loads(out)
        print(f"{r['case']:12} {r['grid']}^2 cells, {r['zones']} zones, {r['covered']} covered: "
              f"{r['bytes_per_cell']:.2f} B/covered cell ({r['held_MiB']:.1f} MiB held, raster "
              f"{r['raster_MiB']:.0f} MiB), peak RSS {r['peak_rss_MiB']:.0f} MiB, build {r['build_s']:.2f} s, "
              f"mean {r['mean_s'] * 1e3:.1f} ms, median {r['median_s'] * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
