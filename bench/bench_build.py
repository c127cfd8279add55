"""build_cache against a rasterizer: 10,000 irregular basins of 50 to 2,000 vertices on a
global 0.1-degree grid (3600 x 1800 cells), "exact" and "center", against one call of
rasterio.features.rasterize burning the same polygons by cell centre (the geometries are
prepared outside the timing). The package's `Coverage` from shapely polygons, every check
included, is timed too, on one thread and on every core. All are timed in this run, best of a few repetitions, in wall
and CPU time; the ratios are the claim. The cache's bytes per window cell and the build's
peak memory are measured by `bench_exact memory`.

    python bench/bench_build.py [n_basins]
"""

import struct
import sys
import time

import numpy as np

import _quorvalis

REPEATS = 3


def basin(rng, cx, cy, rx, ry, n):
    """A star-shaped ring whose radius follows a few random harmonics plus a mean-reverting
    random walk: concave, jagged outlines that wander across cell lines like catchments."""
    amp = 0.25 * rng.random(4) / np.arange(1, 5)
    phase = 2 * np.pi * rng.random(4)
    a = 2 * np.pi * np.arange(n) / n
    steps = rng.normal(0.0, 0.6 / np.sqrt(n), n)
    walk = np.empty(n)
    w = 0.0
    for i in range(n):
        w = 0.97 * w + steps[i]
        walk[i] = w
    r = 0.6 + np.clip(walk, -0.25, 0.25)
    for k in range(4):
        r += amp[k] * np.sin((k + 2) * a + phase[k])
    xy = np.column_stack([cx + rx * r * np.cos(a), cy + ry * r * np.sin(a)])
    return np.vstack([xy, xy[:1]])


def wkb(ring):
    return struct.pack("<BIII", 1, 3, 1, len(ring)) + ring.astype("<f8").tobytes()


def best(fn):
    """Best wall time and best CPU time of this process over the repetitions: the machines
    are shared, and CPU time moves far less than the wall clock when others are busy."""
    times, cpus = [], []
    for _ in range(REPEATS):
        c0, t0 = time.process_time(), time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
    return min(times), min(cpus), out


def main():
    n_basins = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    rng = np.random.default_rng(20240611)
    rings = []
    for _ in range(n_basins):
        n = 50 + int(rng.random() * 1951)
        r = 0.3 + 2.2 * rng.random()
        rings.append(basin(rng, -170 + 340 * rng.random(), -80 + 160 * rng.random(), r, r * (0.6 + 0.8 * rng.random()), n))
    wkbs = [wkb(r) for r in rings]
    ids = list(range(n_basins))
    grid = (-180.0, -90.0, 180.0, 90.0, 0.1, 0.1)

    t_exact, c_exact, _ = best(lambda: _quorvalis.build_cache(wkbs, ids, *grid, "exact"))
    t_center, c_center, _ = best(lambda: _quorvalis.build_cache(wkbs, ids, *grid, "center"))
    print(f"{n_basins} basins, {sum(len(r) for r in rings)} vertices, grid 3600 x 1800 (wall s, CPU s)")
    print(f"  build_cache exact : {t_exact:7.3f} {c_exact:7.3f}")
    print(f"  build_cache center: {t_center:7.3f} {c_center:7.3f}   center/exact {t_center / t_exact:.2f}")
    try:
        import rasterio.features
        import rasterio.transform
        import shapely
        import shapely.geometry
    except ImportError:
        print("  (rasterio or shapely missing: no rasterizer baseline)")
        return
    # GeoJSON-like mappings, so the timing holds the rasterizing and not the conversion.
    shapes = [(shapely.geometry.mapping(shapely.Polygon(r)), k + 1) for k, r in enumerate(rings)]
    transform = rasterio.transform.from_origin(-180.0, 90.0, 0.1, 0.1)
    t_rio, c_rio, _ = best(
        lambda: rasterio.features.rasterize(shapes, out_shape=(1800, 3600), transform=transform, dtype="int32")
    )
    print(
        f"  rasterio rasterize: {t_rio:7.3f} {c_rio:7.3f}   exact/rasterize {t_exact / t_rio:.2f} wall, {c_exact / c_rio:.2f} CPU"
    )
    # What a user of the package sees: shapely polygons in, every check on the way, the
    # engine's build on one thread and on every core. A few of the random outlines cross
    # themselves, and the package refuses those unless told to repair them.
    import quorvalis as qv

    polygons = [shapely.Polygon(r) for r in rings]
    qgrid = qv.Grid(*grid, lonlat=True)
    for threads in (1, 0):
        t_qv, c_qv, _ = best(lambda: qv.Coverage(polygons, qgrid, threads=threads, invalid="fix"))
        label = "one thread" if threads == 1 else "all cores"
        print(f"  qv.Coverage, {label:<10}: {t_qv:7.3f} {c_qv:7.3f}   /rasterize {t_qv / t_rio:.2f} wall")


if __name__ == "__main__":
    main()
