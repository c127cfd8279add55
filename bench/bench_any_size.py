"""Zonal statistics on rasters of any size: time and peak memory, each measured in its own
subprocess (peak RSS: its own high-water mark, VmHWM), next to baselines from the same run.
Each time starts once the tool is imported (the imports are timed apart, as import_s: a
session pays them once).

(a) ``huge``: an int16 VRT of one small tiled GeoTIFF repeated (120,000 x 120,000 cells from a
    4096 x 4096 tile: no disk beyond the tile) and 2,000 zones on a small part of it, under a
    hard RLIMIT_DATA (4 GiB). Baselines: the I/O floor (rasterio reading only the 256 x 256
    blocks the zones touch) and rasterstats, if installed, on the same zones.
(b) ``parcels``: 200,000 parcels of 1-5 ha on a 20,000 x 20,000 float32 raster of 10 m (a
    VRT too), against rasterstats on a sample of the zones, extrapolated to all of them.
(c) ``tiling``: 1,000,000 square zones tiling a 40,000 x 40,000 grid, their coverage built a
    slice at a time into its file (6 GiB: larger than the limit): peak memory, the file's
    size, and the time to open it and to read one zone back.

Every run is under the same RLIMIT_DATA unless told otherwise (``--limit-gib``).

    python bench/bench_any_size.py --quick          # about a minute
    python bench/bench_any_size.py --only huge      # the full (a)

A measurement that fails (MemoryError under the limit, say) is reported as its result.
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _peers import peak_rss_mib  # noqa: E402

TILE = 4096
BLOCK = 256
X0, Y0, CELL = 500_000.0, 5_000_000.0, 10.0


# -- data -------------------------------------------------------------------------------------

def write_tile(path, dtype, size=TILE):
    import rasterio

    yy, xx = np.mgrid[0:size, 0:size].astype(np.float32)
    values = 1000 + 800 * np.sin(xx / 97.0) * np.cos(yy / 131.0) + (xx * 7 + yy * 3) % 50
    nodata = -32768 if dtype == "int16" else -9999.0
    values[::997, ::991] = nodata
    with rasterio.open(path, "w", driver="GTiff", height=size, width=size, count=1,
                       dtype=dtype, nodata=nodata, tiled=True, blockxsize=BLOCK,
                       blockysize=BLOCK, compress="deflate", crs="EPSG:32631",
                       transform=rasterio.transform.from_origin(X0, Y0, CELL, CELL)) as dst:
        dst.write(values.astype(dtype), 1)
    return nodata


def write_vrt(path, tile, rows, cols, dtype, nodata, size=TILE):
    """A rows x cols VRT with ``tile`` repeated across it."""
    gdal_type = {"int16": "Int16", "float32": "Float32"}[dtype]
    sources = []
    for r in range(0, rows, size):
        for c in range(0, cols, size):
            h, w = min(size, rows - r), min(size, cols - c)
            sources.append(
                f'<SimpleSource><SourceFilename relativeToVRT="1">{os.path.basename(tile)}'
                f'</SourceFilename><SourceBand>1</SourceBand>'
                f'<SourceProperties RasterXSize="{size}" RasterYSize="{size}" '
                f'DataType="{gdal_type}" BlockXSize="{BLOCK}" BlockYSize="{BLOCK}"/>'
                f'<SrcRect xOff="0" yOff="0" xSize="{w}" ySize="{h}"/>'
                f'<DstRect xOff="{c}" yOff="{r}" xSize="{w}" ySize="{h}"/></SimpleSource>')
    with open(path, "w") as f:
        f.write(f'<VRTDataset rasterXSize="{cols}" rasterYSize="{rows}"><SRS>EPSG:32631</SRS>'
                f'<GeoTransform>{X0}, {CELL}, 0, {Y0}, 0, {-CELL}</GeoTransform>'
                f'<VRTRasterBand dataType="{gdal_type}" band="1" blockXSize="{BLOCK}" '
                f'blockYSize="{BLOCK}"><NoDataValue>{nodata}</NoDataValue>'
                + "".join(sources) + "</VRTRasterBand></VRTDataset>")


def discs(n, rows, cols, part, rng, r_cells=(20, 100)):
    """n discs in the top-left ``part`` (a fraction of the area) of a rows x cols grid."""
    import shapely

    side = math.sqrt(part)
    x = X0 + CELL * rng.uniform(100, cols * side - 100, n)
    y = Y0 - CELL * rng.uniform(100, rows * side - 100, n)
    return shapely.buffer(shapely.points(x, y), CELL * rng.uniform(*r_cells, n), quad_segs=8)


def parcels(n, rows, cols, rng):
    """n rotated rectangles of 1-5 ha anywhere on the grid."""
    import shapely

    area = rng.uniform(1e4, 5e4, n)
    aspect = rng.uniform(1.0, 3.0, n)
    w, h = np.sqrt(area * aspect), np.sqrt(area / aspect)
    cx = X0 + rng.uniform(300, cols * CELL - 300, n)
    cy = Y0 - rng.uniform(300, rows * CELL - 300, n)
    t = rng.uniform(0, np.pi, n)
    corners = np.stack([(-1, -1), (1, -1), (1, 1), (-1, 1)]).astype(float) / 2
    px = cx[:, None] + corners[:, 0] * w[:, None] * np.cos(t)[:, None] - corners[:, 1] * h[:, None] * np.sin(t)[:, None]
    py = cy[:, None] + corners[:, 0] * w[:, None] * np.sin(t)[:, None] + corners[:, 1] * h[:, None] * np.cos(t)[:, None]
    return shapely.polygons(np.stack([px, py], axis=-1))


def tiling(n_side, rows, cols):
    import shapely

    sx, sy = cols / n_side * CELL, rows / n_side * CELL
    i, j = np.meshgrid(np.arange(n_side), np.arange(n_side))
    x0, y1 = X0 + i.ravel() * sx, Y0 - j.ravel() * sy
    return shapely.box(x0, y1 - sy, x0 + sx, y1)


def save_zones(path, geoms):
    import shapely

    np.save(path, np.asarray(shapely.to_wkb(geoms), dtype=object), allow_pickle=True)


def load_zones(path):
    import shapely

    return shapely.from_wkb(np.load(path, allow_pickle=True))


# -- measurements, each in a child process -------------------------------------------------

def child_quorvalis(zones, raster, stats):
    import quorvalis as qv

    out = qv.zonal_stats(list(load_zones(zones)), raster, stats=stats)
    return {"zones": len(out), "first_mean": float(out["mean"].iloc[0])}


def child_floor(zones, raster, stats):
    """Reads every 256 x 256 block that a zone's bounding box touches, once."""
    import rasterio
    import shapely
    from rasterio.windows import Window

    b = shapely.bounds(load_zones(zones))
    c0 = np.floor((b[:, 0] - X0) / CELL / BLOCK).astype(int)
    c1 = np.floor((b[:, 2] - X0) / CELL / BLOCK).astype(int)
    r0 = np.floor((Y0 - b[:, 3]) / CELL / BLOCK).astype(int)
    r1 = np.floor((Y0 - b[:, 1]) / CELL / BLOCK).astype(int)
    blocks = {(r, c) for a, b_, c, d in zip(r0, r1, c0, c1, strict=True)
              for r in range(a, b_ + 1) for c in range(c, d + 1)}
    total = 0
    with rasterio.open(raster) as src:
        for r, c in blocks:
            w = Window(c * BLOCK, r * BLOCK, min(BLOCK, src.width - c * BLOCK),
                       min(BLOCK, src.height - r * BLOCK))
            total += int(src.read(1, window=w).nbytes)
    return {"blocks": len(blocks), "bytes_read": total}


def child_rasterstats(zones, raster, stats, sample=None):
    from rasterstats import zonal_stats as rs_zonal_stats

    geoms = load_zones(zones)
    if sample:
        geoms = geoms[:sample]
    out = rs_zonal_stats(list(geoms), raster, stats=" ".join(stats))
    return {"zones": len(out), "first_mean": out[0]["mean"]}


def child_tiling(zones, grid, path):
    """The coverage built a slice of zones at a time into its file, never whole in memory;
    then the file opened (every byte's checksum checked) and one zone's fractions read."""
    import quorvalis as qv

    cov = qv.Coverage(list(load_zones(zones)), qv.Grid(*grid, crs="EPSG:32631"), build=False)
    start = time.perf_counter()
    cov.to_file(path)
    wrote = time.perf_counter()
    back = qv.Coverage.from_file(path)
    opened = time.perf_counter()
    back.fractions(len(back) - 1)
    return {"write_s": wrote - start, "open_s": opened - wrote,
            "one_zone_s": time.perf_counter() - opened,
            "file_mib": os.path.getsize(path) / 2**20}


CHILDREN = {"quorvalis": child_quorvalis, "floor": child_floor,
            "rasterstats": child_rasterstats, "tiling": child_tiling}


# Imported before the clock starts (and timed apart): a session pays them once. quorvalis
# imports rasterio and pyproj when it first opens a file and reads its CRS.
IMPORTS = {"quorvalis": ["quorvalis", "rasterio", "pyproj"], "floor": ["rasterio", "shapely"],
           "rasterstats": ["rasterstats"], "tiling": ["quorvalis"]}


def child_main(name, kwargs):
    start = time.perf_counter()
    try:
        for module in IMPORTS[name]:
            importlib.import_module(module)
    except ImportError as err:
        print(json.dumps({"ok": False, "error": f"not installed: {err.name}", "seconds": 0.0,
                          "peak_rss_mib": peak_rss_mib()}))
        return
    imported = time.perf_counter()
    start, import_s = imported, imported - start
    try:
        result = {"ok": True, **CHILDREN[name](**kwargs)}
    except ImportError as err:
        result = {"ok": False, "error": f"not installed: {err.name}"}
    except MemoryError as err:
        result = {"ok": False, "error": f"MemoryError {err}".strip()}
    except Exception as err:  # reported as the result: that is the baseline being measured
        result = {"ok": False, "error": f"{type(err).__name__}: {str(err)[:200]}"}
    result["seconds"] = time.perf_counter() - start
    result["import_s"] = import_s
    result["peak_rss_mib"] = peak_rss_mib()
    print(json.dumps(result))


def measure(name, limit_gib, **kwargs):
    def limit():
        if limit_gib:
            lim = int(limit_gib * 2**30)
            resource.setrlimit(resource.RLIMIT_DATA, (lim, lim))

    start = time.perf_counter()
    proc = subprocess.run([sys.executable, __file__, "--child", name, json.dumps(kwargs)],
                          capture_output=True, text=True, preexec_fn=limit)
    try:
        result = json.loads(proc.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        result = {"ok": False, "error": f"exit {proc.returncode}: {proc.stderr.strip()[-200:]}",
                  "seconds": time.perf_counter() - start,
                  "peak_rss_mib": float("nan")}
    return result


def show(label, r, scale=1.0):
    t, mem = r["seconds"] * scale, r["peak_rss_mib"]
    note = "" if r["ok"] else f"  FAILED: {r['error']}"
    extra = {k: (round(v, 3) if isinstance(v, float) else v) for k, v in r.items()
             if k not in {"ok", "error", "seconds", "peak_rss_mib"}}
    print(f"  {label:<34} {t:9.2f} s  peak RSS {mem:8.0f} MiB  {extra if extra else ''}{note}",
          flush=True)


# -- the three cases ---------------------------------------------------------------------------

def case_huge(tmp, a, rng):
    rows = cols = a.huge_size
    nodata = write_tile(os.path.join(tmp, "tile16.tif"), "int16", a.tile)
    vrt = os.path.join(tmp, "huge.vrt")
    write_vrt(vrt, os.path.join(tmp, "tile16.tif"), rows, cols, "int16", nodata, a.tile)
    zones = os.path.join(tmp, "huge_zones.npy")
    save_zones(zones, discs(a.huge_zones, rows, cols, 0.01, rng))
    print(f"(a) {rows:,} x {cols:,} int16 VRT ({rows * cols * 2 / 2**30:.1f} GiB of values), "
          f"{a.huge_zones:,} zones on 1% of it, RLIMIT_DATA {a.limit_gib:g} GiB", flush=True)
    kw = dict(zones=zones, raster=vrt, stats=["mean", "max", "median"])
    show("quorvalis.zonal_stats", measure("quorvalis", a.limit_gib, **kw))
    show("I/O floor (touched blocks only)", measure("floor", a.limit_gib, **kw))
    show("rasterstats", measure("rasterstats", a.limit_gib, **kw))


def case_parcels(tmp, a, rng):
    rows = cols = a.parcels_size
    nodata = write_tile(os.path.join(tmp, "tile32.tif"), "float32", a.tile)
    vrt = os.path.join(tmp, "parcels.vrt")
    write_vrt(vrt, os.path.join(tmp, "tile32.tif"), rows, cols, "float32", nodata, a.tile)
    zones = os.path.join(tmp, "parcels.npy")
    save_zones(zones, parcels(a.parcels, rows, cols, rng))
    print(f"(b) {a.parcels:,} parcels of 1-5 ha on a {rows:,} x {cols:,} float32 raster of 10 m",
          flush=True)
    kw = dict(zones=zones, raster=vrt, stats=["mean", "max", "median"])
    show("quorvalis.zonal_stats", measure("quorvalis", a.limit_gib, **kw))
    sample = min(a.sample, a.parcels)
    r = measure("rasterstats", a.limit_gib, sample=sample, **kw)
    show(f"rasterstats, {sample:,} zones", r)
    if r["ok"]:
        show(f"rasterstats x {a.parcels / sample:g} (extrapolated)", r, a.parcels / sample)


def case_tiling(tmp, a, rng):
    rows = cols = a.tiling_size
    side = int(round(math.sqrt(a.tiling_zones)))
    zones = os.path.join(tmp, "tiling.npy")
    save_zones(zones, tiling(side, rows, cols))
    print(f"(c) {side * side:,} square zones tiling a {rows:,} x {cols:,} grid", flush=True)
    grid = (X0, Y0 - rows * CELL, X0 + cols * CELL, Y0, CELL, CELL)
    show("Coverage, to_file, from_file", measure("tiling", a.tiling_limit_gib, zones=zones,
                                                 grid=grid, path=os.path.join(tmp, "t.qvcov")))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small sizes: about a minute")
    p.add_argument("--only", choices=["huge", "parcels", "tiling"], action="append")
    p.add_argument("--huge-size", type=int, default=120_000)
    p.add_argument("--huge-zones", type=int, default=2_000)
    p.add_argument("--parcels", type=int, default=200_000)
    p.add_argument("--parcels-size", type=int, default=20_000)
    p.add_argument("--sample", type=int, default=2_000, help="zones given to rasterstats in (b)")
    p.add_argument("--tiling-zones", type=int, default=1_000_000)
    p.add_argument("--tiling-size", type=int, default=40_000)
    p.add_argument("--tile", type=int, default=TILE, help="side of the repeated GeoTIFF")
    p.add_argument("--limit-gib", type=float, default=4.0, help="RLIMIT_DATA of each run")
    p.add_argument("--tiling-limit-gib", type=float, help="of (c), if not --limit-gib; 0: none")
    p.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        return child_main(a.child[0], json.loads(a.child[1]))
    if a.tiling_limit_gib is None:
        a.tiling_limit_gib = a.limit_gib
    if a.quick:
        a.huge_size, a.huge_zones, a.tile = 30_000, 500, 2048
        a.parcels, a.parcels_size, a.sample = 20_000, 5_000, 500
        a.tiling_zones, a.tiling_size = 40_000, 4_000
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        for name in a.only or ["huge", "parcels", "tiling"]:
            {"huge": case_huge, "parcels": case_parcels, "tiling": case_tiling}[name](tmp, a, rng)


if __name__ == "__main__":
    main()
