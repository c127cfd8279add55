"""Shared harness of the peer benchmarks: each tool runs in a fresh child process, writes its
per-zone result to an .npy file and reports its time and its own peak resident memory, and
the parent prints one table with the machine's load at each run."""

import os
import subprocess
import sys
import time

import numpy as np


def child_main(tools, argv):
    """In the child: `script --child TOOL OUT ARGS...`. tools[TOOL](*ARGS) imports what the
    tool needs and returns the run, which alone is timed (from the files to the result)."""
    name, out, *args = argv
    warm(args)
    fn = tools[name](*args)
    t0 = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - t0
    np.save(out, np.asarray(result, dtype=np.float64))
    print(f"{elapsed:.6f} {peak_rss_mib():.1f}")


def peak_rss_mib() -> float:
    """This process's own high-water mark of resident memory. Not ru_maxrss: a child started
    with exec keeps its parent's value there, so every child would report at least the
    parent's peak (the data maker's, here)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def warm(args):
    """Open the inputs once, untimed, so that no tool pays the libraries' first-call costs
    (backend discovery, lazy imports) in its time: every tool gets the same start."""
    for a in args:
        if a.endswith(".nc"):
            import xarray as xr
            xr.open_dataset(a).close()
        elif a.endswith(".gpkg"):
            import geopandas as gpd
            gpd.read_file(a, rows=1)
        elif a.endswith(".tif"):
            import rasterio
            rasterio.open(a).close()


def run(script, name, out, *args):
    """Time, peak RSS (MiB) and load average of one tool run in a child of its own."""
    load = os.getloadavg()[0]
    p = subprocess.Popen([sys.executable, script, "--child", name, out, *map(str, args)],
                         stdout=subprocess.PIPE, text=True)
    text, _ = p.communicate()
    if p.returncode:
        raise SystemExit(f"{name} failed with status {p.returncode}")
    seconds, rss = map(float, text.strip().splitlines()[-1].split())
    return seconds, rss, load


def agreement(a, b, tol):
    """Share of values that agree within tol times the largest |value| of b (both NaN counts
    as agreeing): values near zero make a relative tolerance meaningless."""
    a, b = np.asarray(a, float), np.asarray(b, float)
    if a.shape != b.shape:
        return "shape differs"
    close = np.isclose(a, b, rtol=0, atol=tol * np.nanmax(np.abs(b)), equal_nan=True)
    return f"{close.mean() * 100:.1f}% within {tol:g}"


def table(title, rows, ref="quorvalis"):
    """rows: (tool, seconds, rss MiB, load, agreement text)."""
    base = next(r[1] for r in rows if r[0] == ref)
    print(title)
    print(f"{'tool':34} {'time s':>9} {'peak RSS MiB':>13} {'x quorvalis':>12} {'load':>5}  agreement")
    for tool, t, rss, load, agree in rows:
        print(f"{tool:34} {t:9.2f} {rss:13.0f} {t / base:12.2f} {load:5.2f}  {agree}")


def tiling_zones(path, x, y, bounds, crs="EPSG:4326"):
    """Zones that tile the box ``bounds`` (x0, y0, x1, y1): the Voronoi cells of the points
    (x, y) clipped to it, written to a GeoPackage with an ``id`` column."""
    import geopandas as gpd
    import shapely

    box = shapely.box(*bounds)
    cells = shapely.voronoi_polygons(shapely.multipoints(np.column_stack([x, y])), extend_to=box)
    cells = shapely.intersection(shapely.get_parts(cells), box)
    gpd.GeoDataFrame({"id": np.arange(len(cells))}, geometry=cells, crs=crs).to_file(path)
