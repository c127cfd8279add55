"""A year of a synthetic daily field over the world's countries, with quorvalis.

Run it with `make demo`. The countries are Natural Earth's 1:110m Admin 0 polygons
(public domain, examples/data/); the field is made up but shaped like surface temperature,
on a global 1-degree grid stored with longitudes 0..360, so countries that cross the
prime meridian (France, Algeria, the United Kingdom, ...) sit across the grid's seam.

It prints, per country, the yearly area-weighted mean from exact coverage fractions next to
the one from cell centres, and writes a picture (path printed at the end): a map of the
per-country means, a map of what cell centres get wrong (the difference, and the countries
that no cell centre falls in), and the exact coverage fractions of the cells along one
coastline next to the cells whose centre is inside.
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
    picture(zones, table, exact, centre)


def picture(zones, table, cov, centre, coast="Italy"):
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed (pip install quorvalis[plot]): no picture.")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(15, 8.6), layout="constrained")
    grid = fig.add_gridspec(2, 2, width_ratios=[2.1, 1])
    means, diffs, zoom = fig.add_subplot(grid[0, 0]), fig.add_subplot(grid[1, 0]), fig.add_subplot(grid[:, 1])
    fig.suptitle(f"{len(zones)} countries over a synthetic daily temperature-like field (made up, not "
                 "observations), 1-degree grid, 365 days", fontsize=13)

    coll = _countries(means, zones, table["mean exact"], "RdYlBu_r")
    means.set_title("Yearly area-weighted mean per country, from exact coverage fractions")
    fig.colorbar(coll, ax=means, shrink=0.85, label="deg C (synthetic)")

    difference = table["mean centre"] - table["mean exact"]
    top = float(np.nanmax(np.abs(difference)))
    coll = _countries(diffs, zones, difference, "PuOr_r", vmin=-top, vmax=top)
    missed = table.index[table["mean centre"].isna()]
    at = [zones[name].representative_point() for name in missed]
    diffs.scatter([p.x for p in at], [p.y for p in at], s=70, facecolor="none", edgecolor="black",
                  linewidth=1.5, zorder=3, label=f"no cell centre inside ({len(missed)}): " + ", ".join(missed))
    diffs.legend(loc="lower left", fontsize=8.5, framealpha=0.9)
    diffs.set_title("Cell centres minus exact fractions: the error of counting whole cells")
    fig.colorbar(coll, ax=diffs, shrink=0.85, label="deg C")

    k = zones.index.get_loc(coast)
    r0, c0, frac = cov.fractions(k)
    g = cov.grid
    x0, y1 = _lon(g.xmin + c0 * g.dx), g.ymax - r0 * g.dy
    extent = (x0, x0 + frac.shape[1] * g.dx, y1 - frac.shape[0] * g.dy, y1)
    im = zoom.imshow(np.where(frac > 0, frac, np.nan), extent=extent, cmap="viridis", vmin=0, vmax=1,
                     interpolation="nearest")
    for i, part in enumerate(getattr(zones.iloc[k], "geoms", [zones.iloc[k]])):
        zoom.plot(*part.exterior.xy, color="red", linewidth=1.2,
                  label=f"{coast}'s outline (Natural Earth 1:110m)" if i == 0 else None)
    cr0, cc0, inside = centre.fractions(k)
    rows, cols = np.nonzero(inside > 0)
    zoom.scatter(_lon(g.xmin + (cc0 + cols + 0.5) * g.dx), g.ymax - (cr0 + rows + 0.5) * g.dy, s=14,
                 color="white", edgecolor="black", linewidth=0.6, zorder=3,
                 label=f"cell centres inside: {len(rows)} cells, against {frac.sum():.1f} exact")
    # a degree of longitude at 42 N is cos(42 deg) of a degree of latitude
    zoom.set(xlim=extent[:2], ylim=extent[2:], aspect=1 / np.cos(np.radians(42)),
             title=f"Coverage fractions of the cells along {coast}'s coast")
    zoom.legend(loc="upper center", bbox_to_anchor=(0.5, -0.09), fontsize=8.5)
    _degrees(zoom)
    fig.colorbar(im, ax=zoom, shrink=0.55, label="fraction of the cell inside")
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    fig.savefig(OUT, dpi=110, bbox_inches="tight")
    print(f"\nPicture written to {os.path.normpath(OUT)}")


def _lon(x):
    """Longitudes of the grid (0..360) as the outlines have them (-180..180)."""
    return np.where(np.asarray(x) >= 180, np.asarray(x) - 360, x)


def _countries(ax, zones, values, cmap, **limits):
    import matplotlib
    from matplotlib.collections import PolyCollection

    polys, per_part = [], []
    for geom, v in zip(zones, values, strict=True):
        for part in getattr(geom, "geoms", [geom]):
            polys.append(np.asarray(part.exterior.coords))
            per_part.append(v)
    coll = PolyCollection(polys, array=np.asarray(per_part, dtype=float), edgecolor="0.3", linewidth=0.3,
                          cmap=matplotlib.colormaps[cmap].with_extremes(bad="0.8"),
                          norm=matplotlib.colors.Normalize(**limits))
    ax.add_collection(coll)
    ax.set(xlim=(-180, 180), ylim=(-90, 90), aspect="equal", xticks=range(-180, 181, 60),
           yticks=range(-90, 91, 30))
    _degrees(ax)
    return coll


def _degrees(ax):
    from matplotlib.ticker import FuncFormatter

    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{abs(v):g}°{'W' if v < 0 else 'E' if v > 0 else ''}"))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{abs(v):g}°{'S' if v < 0 else 'N' if v > 0 else ''}"))
    ax.set(xlabel="longitude", ylabel="latitude")


if __name__ == "__main__":
    sys.exit(main())
