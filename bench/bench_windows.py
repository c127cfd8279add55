"""Peak memory and time of zonal statistics of a GeoTIFF read in windows under max_memory.

A tiled float32 GeoTIFF (256 x 256 blocks) is written to a temporary directory, then
``zonal_stats`` of 2,000 box zones ("mean", "max", "median") runs in a fresh process per
budget, with GDAL's block cache capped (GDAL_CACHEMAX, MiB) so that the package's own memory
shows. Reported: peak resident memory, its baseline (the same process after the imports and
the zones, before any read), wall time, and whether every result equals the first run's bit
for bit. The first budget is large enough for one window: the whole raster at once.

    python bench/bench_windows.py [--size 6000] [--budgets 100GB,64MB,16MB]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

_CHILD = r"""
import json, resource, sys, time
import numpy as np, rasterio, shapely  # rasterio (GDAL) counted in the baseline
import quorvalis as qv
path, budget, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = np.random.default_rng(1)
n = 2000
x, y, s = rng.uniform(0, size, n), rng.uniform(0, size, n), rng.uniform(5, size / 40, n)
zones = list(shapely.box(x, y, x + s, y + s))
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
df = qv.zonal_stats(zones, path, ["mean", "max", "median"], max_memory=budget)
dt = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": dt, "peak_mib": peak / 1024, "base_mib": base / 1024,
                  "bits": np.ascontiguousarray(df.to_numpy(np.float64)).view(np.uint64).tolist()}))
"""


def write(path, size):
    import numpy as np
    import rasterio
    from rasterio.windows import Window

    with rasterio.open(path, "w", driver="GTiff", height=size, width=size, count=1,
                       dtype="float32", transform=rasterio.transform.from_origin(0, size, 1, 1),
                       tiled=True, blockxsize=256, blockysize=256) as dst:
        for r in range(0, size, 512):
            h = min(512, size - r)
            dst.write(np.random.default_rng(r).normal(0, 1, (h, size)).astype("float32"), 1,
                      window=Window(0, r, size, h))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=6000)
    ap.add_argument("--budgets", default="100GB,64MB,16MB")
    ap.add_argument("--gdal-cache-mib", default="16")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "r.tif")
        write(path, args.size)
        print(f"{args.size} x {args.size} float32, {os.path.getsize(path) / 2**20:.0f} MiB on disk, "
              f"GDAL_CACHEMAX={args.gdal_cache_mib} MiB")
        env = dict(os.environ, GDAL_CACHEMAX=args.gdal_cache_mib)
        first = None
        for budget in args.budgets.split(","):
            out = subprocess.run([sys.executable, "-c", _CHILD, path, budget, str(args.size)],
                                 env=env, capture_output=True, text=True, check=True)
            r = json.loads(out.stdout)
            first = first or r["bits"]
            print(f"max_memory={budget:>6}: {r['seconds']:5.2f} s, peak {r['peak_mib']:4.0f} MiB "
                  f"(after imports and zones {r['base_mib']:4.0f} MiB), "
                  f"{'equal' if r['bits'] == first else 'DIFFERENT'} results")


if __name__ == "__main__":
    main()
