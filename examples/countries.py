"""A year of a synthetic daily field over the world's countries, with quorvalis.

Run it with `make demo`. The countries are Natural Earth's 1:110m Admin 0 polygons
(public domain, examples/data/); the field is made up but shaped like surface temperature,
on a global 1-degree grid stored with longitudes 0..360, so countries that cross the
prime meridian (France, Algeria, the United Kingdom, ...) sit across the grid's seam.

It prints, per country, the yearly area-weighted mean from exact coverage fractions next to
the one from cell centres, and writes a picture (path printed at the end) with a map of the
per-country means and the exact coverage fractions of the cells along one coastline.
"""

import json
import os
import sys
import time

import numpy as np
import pandas as pd
import shapely
import xarray as xr

import quorvalis as qv

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "build", "demo", "countries.png")


def countries():
    """Country polygons from the GeoJSON, with shapely alone (no GIS stack needed)."""
    with open(os.path.join(HERE, "data", "ne_110m_countries.geojson"), encoding="utf-8") as f:
        features = json.load(f)["features"]
    names = [ft["properties"]["name"] for ft in features]
    return pd.Series([shapely.geometry.shape(ft["geometry"]) for ft in features],
                     index=pd.Index(names, name="country"))


def daily_field(days=365, seed=7):
    """(time, lat, lon) float32 "temperature" in deg C: warm tropics, seasons that swap
    between hemispheres, a land-sea-like wave in longitude and day-to-day noise."""
    lat = np.arange(89.5, -90, -1.0)
    lon = np.arange(0.5, 360, 1.0)
    t = np.arange(days)
    season = np.cos(2 * np.pi * (t - 196) / 365.0)[:, None, None]
    phi = np.radians(lat)[None, :, None]
    base = 28 - 42 * np.sin(phi) ** 2 + 12 * season * np.sin(phi)
    wave = 3 * np.sin(np.radians(lon) * 3)[None, None, :] * np.cos(phi)
    noise = np.random.default_rng(seed).normal(0, 2, (days, lat.size, lon.size))
    data = (base + wave + noise).astype(np.float32)
    return xr.DataArray(data, dims=("time", "lat", "lon"), name="t2m",
                        coords={"time": pd.date_range("2021-01-01", periods=days), "lat": lat,
                                "lon": lon}, attrs={"units": "degC"})


def main():
    zones = countries()
    t2m = daily_field()
    start = time.perf_counter()
    exact = qv.Coverage(zones, t2m)
    centre = qv.Coverage(zones, t2m, method="center")
    built = time.perf_counter() - start
    start = time.perf_counter()
    ex = exact.stats(t2m, ["mean", "count"], weights="area")
    ce = centre.stats(t2m, ["mean", "count"], weights="area")
    reduced = time.perf_counter() - start
    print(f"{len(zones)} countries on a {t2m.lat.size} x {t2m.lon.size} grid, {t2m.time.size} days:"
          f" coverages built in {built:.2f} s, both reduced in {reduced:.2f} s\n")

    table = pd.DataFrame({
        "cells (exact)": ex["count"].isel(time=0).values,
        "mean exact": ex["mean"].mean("time").values,
        "mean centre": ce["mean"].mean("time").values,
    }, index=zones.index)
    table["difference"] = table["mean centre"] - table["mean exact"]
    missed = table.index[table["mean centre"].isna()]
    shown = table.reindex(table["difference"].abs().sort_values(ascending=False).index)
    shown = pd.concat([shown.dropna().head(10), table.loc[missed]])
    with pd.option_context("display.float_format", "{:8.2f}".format, "display.width", 100):
        print("Yearly area-weighted mean (deg C), exact fractions vs cell centres, the largest"
              " differences:")
        print(shown.to_string())
    print(f"\nCell centres miss {len(missed)} countries entirely: {', '.join(missed) or 'none'};"
          " exact fractions give every country a value.")
    for name in ["France", "United Kingdom", "Fiji", "Russia"]:
        print(f"  {name:15s} exact {table.loc[name, 'mean exact']:7.2f}   "
              f"cells {table.loc[name, 'cells (exact)']:8.2f}")
    picture(zones, table, exact)


def picture(zones, table, cov, coast="Italy"):
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed (pip install quorvalis[plot]): no picture.")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import PolyCollection

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(15, 5.5), width_ratios=[2, 1])
    polys, values = [], []
    for geom, v in zip(zones, table["mean exact"], strict=True):
        for part in getattr(geom, "geoms", [geom]):
            polys.append(np.asarray(part.exterior.coords))
            values.append(v)
    coll = PolyCollection(polys, array=np.asarray(values), cmap="RdYlBu_r", edgecolor="0.3",
                          linewidth=0.3)
    ax1.add_collection(coll)
    ax1.set(xlim=(-180, 180), ylim=(-90, 90), aspect="equal",
            title="Yearly area-weighted mean per country (exact fractions)")
    fig.colorbar(coll, ax=ax1, shrink=0.8, label="deg C")

    k = zones.index.get_loc(coast)
    r0, c0, frac = cov.fractions(k)
    g = cov.grid
    x0, y1 = g.xmin + c0 * g.dx, g.ymax - r0 * g.dy
    x0 = x0 - 360 if x0 >= 180 else x0  # the grid runs 0..360; the outline -180..180
    extent = (x0, x0 + frac.shape[1] * g.dx, y1 - frac.shape[0] * g.dy, y1)
    im = ax2.imshow(np.where(frac > 0, frac, np.nan), extent=extent, cmap="viridis", vmin=0,
                    vmax=1, interpolation="nearest")
    for part in getattr(zones.iloc[k], "geoms", [zones.iloc[k]]):
        ax2.plot(*part.exterior.xy, color="red", linewidth=1)
    ax2.set(title=f"Coverage fractions along {coast}'s coast",
            xlim=extent[:2], ylim=extent[2:])
    fig.colorbar(im, ax=ax2, shrink=0.8, label="fraction of the cell inside")
    fig.tight_layout()
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    fig.savefig(OUT, dpi=110)
    print(f"\nPicture written to {os.path.normpath(OUT)}")


if __name__ == "__main__":
    sys.exit(main())
