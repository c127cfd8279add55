"""Many zones on a mid-sized raster: 7,605 zones (Voronoi cells of random points, so they tile
the raster) on a 1141 x 2033 float32 GeoTIFF, mean per zone. quorvalis (exact, and by cell
centre for the agreement column) against xarray-spatial `zonal.stats` given a label raster
rasterised beforehand with rasterio.features.rasterize (the rasterisation timed apart, in a
row of its own), and against rasterstats. Each tool runs in its own child process.

    python bench/bench_many_zones.py [--quick]
"""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import _peers  # noqa: E402


def make(folder, rows, cols, n):
    import rasterio
    from rasterio.transform import from_origin

    tif, gpkg = folder / "raster.tif", folder / "zones.gpkg"
    if tif.exists() and gpkg.exists():
        return tif, gpkg
    rng = np.random.default_rng(11)
    with rasterio.open(tif, "w", driver="GTiff", width=cols, height=rows, count=1,
                       dtype="float32", crs="EPSG:4326", transform=from_origin(0, rows * 0.01, 0.01, 0.01),
                       tiled=True, blockxsize=256, blockysize=256, nodata=-9999) as dst:
        dst.write(rng.random((rows, cols), dtype=np.float32) * 100, 1)
    _peers.tiling_zones(gpkg, rng.random(n) * cols * 0.01, rng.random(n) * rows * 0.01,
                        (0, 0, cols * 0.01, rows * 0.01))
    return tif, gpkg


def quorvalis(tif, gpkg, method="exact"):
    import geopandas  # noqa: F401
    import rasterio  # noqa: F401

    import quorvalis as qv
    return lambda: qv.zonal_stats(gpkg, tif, "mean", method=method, id="id")["mean"].values


def quorvalis_center(tif, gpkg):
    return quorvalis(tif, gpkg, "center")


def rasterise(tif, gpkg):
    import geopandas as gpd
    import rasterio
    import rasterio.features

    def run():
        zones = gpd.read_file(gpkg)
        with rasterio.open(tif) as src:
            labels = rasterio.features.rasterize(zip(zones.geometry, zones["id"] + 1), out_shape=src.shape,
                                                 transform=src.transform, fill=0, dtype="int32")
        np.save(pathlib.Path(gpkg).with_name("labels.npy"), labels)
        return [float(labels.max())]
    return run


def xrspatial(tif, gpkg):
    import rioxarray
    import xarray as xr
    from xrspatial import zonal

    def run():
        values = rioxarray.open_rasterio(tif).squeeze("band", drop=True).astype("float64")
        values = values.where(values != -9999)
        labels = xr.DataArray(np.load(pathlib.Path(gpkg).with_name("labels.npy")), dims=values.dims)
        df = zonal.stats(zones=labels, values=values, stats_funcs=["mean"], nodata_values=0)
        means = np.full(int(labels.max()), np.nan)
        means[df["zone"].to_numpy().astype(int) - 1] = df["mean"].to_numpy()
        return means
    return run


def rasterstats(tif, gpkg):
    import geopandas as gpd
    from rasterstats import zonal_stats
    return lambda: [d["mean"] for d in zonal_stats(list(gpd.read_file(gpkg).geometry), tif, stats="mean")]


TOOLS = {"quorvalis": quorvalis, "quorvalis center": quorvalis_center,
         "rasterize (for xarray-spatial)": rasterise, "xarray-spatial zonal.stats": xrspatial,
         "rasterstats": rasterstats}


def main():
    quick = "--quick" in sys.argv
    rows, cols, n = (300, 500, 500) if quick else (1141, 2033, 7605)
    folder = pathlib.Path("build/bench_many_zones" + ("_quick" if quick else ""))
    folder.mkdir(parents=True, exist_ok=True)
    tif, gpkg = make(folder, rows, cols, n)
    res, table = {}, []
    for tool in TOOLS:
        out = folder / f"{tool.split()[0]}.npy"
        t, rss, load = _peers.run(__file__, tool, out, tif, gpkg)
        res[tool] = np.load(out)
        if tool == "quorvalis":
            agree = "-"
        elif tool.startswith("rasterize"):
            agree = "(timed apart)"
        elif tool == "quorvalis center":
            agree = "exact vs center: " + _peers.agreement(res[tool], res["quorvalis"], 1e-2)
        else:
            agree = "vs center: " + _peers.agreement(res[tool], res["quorvalis center"], 1e-6)
        table.append((tool, t, rss, load, agree))
    _peers.table(f"{n} zones on {rows} x {cols} float32, mean (peers vs quorvalis by cell centre)", table)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        _peers.child_main(TOOLS, sys.argv[2:])
    else:
        main()
