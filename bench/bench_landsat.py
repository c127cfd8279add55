"""A Landsat-sized scene: 10 bands of 7771 x 7871 uint16 in a tiled GeoTIFF (UTM 33N, 30 m),
mean of every band over 1,940-odd buffer polygons (2,000 random points buffered by 50-500 m,
overlapping buffers dissolved). quorvalis (exact fractions, all bands in one pass, and by
cell centre for the agreement column) against rasterstats on each band and against reading
the 10 bands with rasterio alone (the floor: each band whole, and every block once
under a small GDAL cache, the fastest plain read found). Each tool runs in its own child process.

    python bench/bench_landsat.py [--quick]
"""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import _peers  # noqa: E402

ROWS, COLS, BANDS, N_POINTS = 7771, 7871, 10, 2000
X0, Y0, RES = 300000.0, 5000000.0, 30.0


def make(folder, rows, cols, n_points):
    import geopandas as gpd
    import rasterio
    import shapely
    from rasterio.transform import from_origin

    tif, gpkg = folder / "scene.tif", folder / "buffers.gpkg"
    if tif.exists() and gpkg.exists():
        return tif, gpkg
    rng = np.random.default_rng(7)
    transform = from_origin(X0, Y0, RES, RES)
    profile = dict(driver="GTiff", width=cols, height=rows, count=BANDS, dtype="uint16",
                   crs="EPSG:32633", transform=transform, tiled=True, blockxsize=256,
                   blockysize=256, nodata=0)
    with rasterio.open(tif, "w", **profile) as dst:
        base = (np.add.outer(np.arange(rows) // 7, np.arange(cols) // 5) % 4000).astype(np.uint16)
        for b in range(1, BANDS + 1):
            noise = rng.integers(0, 500, (rows, cols), dtype=np.uint16)
            dst.write(base + noise + 1 + 100 * b, b)
    x = X0 + 600 + rng.random(n_points) * (cols * RES - 1200)
    y = Y0 - 600 - rng.random(n_points) * (rows * RES - 1200)
    buffers = shapely.buffer(shapely.points(x, y), 50 + 450 * rng.random(n_points))
    merged = shapely.get_parts(shapely.union_all(buffers))
    gpd.GeoDataFrame({"id": np.arange(len(merged))}, geometry=merged, crs="EPSG:32633").to_file(gpkg)
    return tif, gpkg


def quorvalis(tif, gpkg, method="exact"):
    import geopandas  # noqa: F401  (the libraries the package reads files with, loaded untimed)
    import rasterio  # noqa: F401
    import xarray as xr

    import quorvalis as qv
    # xarray imports Dask, when installed, on making its first variable (0.8 s here): an
    # import like the others, which a session pays once, so it is paid here, untimed
    xr.Variable("x", [0])
    return lambda: qv.zonal_stats(gpkg, tif, "mean", band="all", method=method, id="id")["mean"].values


def quorvalis_center(tif, gpkg):
    return quorvalis(tif, gpkg, "center")


def rasterstats(tif, gpkg):
    import geopandas as gpd
    from rasterstats import zonal_stats
    return lambda: [[d["mean"] for d in zonal_stats(list(gpd.read_file(gpkg).geometry), tif,
                                                    stats="mean", band=b)]
                    for b in range(1, BANDS + 1)]


def read_floor(tif, gpkg):
    import rasterio

    def read():
        with rasterio.open(tif) as src:
            return [[float(src.read(b)[0, 0])] for b in range(1, BANDS + 1)]
    return read


def read_blocks(tif, gpkg):
    """The fastest plain read found: every block of all bands, one call each, with GDAL's
    cache kept small (a large one only costs the time of filling it)."""
    import rasterio
    from rasterio.windows import Window

    def read():
        with rasterio.Env(GDAL_CACHEMAX=64 << 20), rasterio.open(tif) as src:  # bytes
            bh, bw = src.block_shapes[0]
            corner = None
            for r in range(0, src.height, bh):
                for c in range(0, src.width, bw):
                    block = src.read(window=Window(c, r, min(bw, src.width - c),
                                                   min(bh, src.height - r)))
                    corner = block[:, 0, 0] if corner is None else corner
            return [[float(v)] for v in corner]
    return read


TOOLS = {"quorvalis": quorvalis, "quorvalis center": quorvalis_center,
         "rasterstats": rasterstats, "rasterio read": read_floor,
         "rasterio read by block": read_blocks}


def main():
    quick = "--quick" in sys.argv
    rows, cols, n = (1200, 1300, 200) if quick else (ROWS, COLS, N_POINTS)
    folder = pathlib.Path("build/bench_landsat" + ("_quick" if quick else ""))
    folder.mkdir(parents=True, exist_ok=True)
    tif, gpkg = make(folder, rows, cols, n)
    res, rows_out = {}, []
    for tool in TOOLS:
        out = folder / f"{tool.replace(' ', '_')}.npy"
        t, rss, load = _peers.run(__file__, tool, out, tif, gpkg)
        res[tool] = np.load(out)
        ref = res["quorvalis center"] if tool == "rasterstats" else res.get("quorvalis")
        agree = ("-" if tool == "quorvalis" or tool.startswith("rasterio") else
                 _peers.agreement(res[tool], ref, 1e-9))
        if tool == "quorvalis center":
            agree = "exact vs center: " + _peers.agreement(res[tool], res["quorvalis"], 1e-2)
        rows_out.append((tool, t, rss, load, agree))
    import geopandas as gpd
    nz = len(gpd.read_file(gpkg))
    _peers.table(f"{BANDS} bands of {rows} x {cols} uint16, mean over {nz} dissolved buffers "
                 "(rasterstats vs quorvalis by cell centre)", rows_out)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        _peers.child_main(TOOLS, sys.argv[2:])
    else:
        main()
