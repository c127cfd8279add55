"""
Per-country means on a map
==========================

The 177 countries of Natural Earth's 1:110m map, drawn on -180..180, over a global
1-degree grid stored on 0..360 (so France and the United Kingdom sit across the grid's
seam), with a month of a synthetic daily temperature-like field. Each country's mean is
area-weighted (``weights="area"``) and uses exact coverage fractions.
"""

import json
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import shapely
import xarray as xr
from matplotlib.collections import PolyCollection

import quorvalis as qv

here = Path(__file__).resolve().parent if "__file__" in globals() else Path.cwd()
data = next(p / "examples" / "data" for p in [here, *here.parents] if (p / "examples" / "data").is_dir())
features = json.loads((data / "ne_110m_countries.geojson").read_text(encoding="utf-8"))["features"]
countries = pd.Series([shapely.geometry.shape(f["geometry"]) for f in features],
                      index=pd.Index([f["properties"]["name"] for f in features], name="country"))

# %%
# A month of daily fields on a 0..360 grid: warm tropics and day-to-day noise.
lat = np.arange(89.5, -90, -1.0)
lon = np.arange(0.5, 360, 1.0)
rng = np.random.default_rng(0)
field = (28 - 42 * np.sin(np.radians(lat))[None, :, None] ** 2
         + 3 * np.sin(np.radians(lon) * 3)[None, None, :]
         + rng.normal(0, 2, (30, lat.size, lon.size))).astype(np.float32)
t2m = xr.DataArray(field, dims=("time", "lat", "lon"), name="t2m", attrs={"units": "degC"},
                   coords={"time": pd.date_range("2021-07-01", periods=30), "lat": lat, "lon": lon})

cov = qv.Coverage(countries, t2m)
out = cov.stats(t2m, ["mean"], weights="area")
monthly = out["mean"].mean("time").to_series()
print(monthly.loc[["France", "United Kingdom", "Fiji", "Luxembourg"]].round(2))

# %%
# Every country gets a value, even those smaller than a cell.
polys, values = [], []
for geom, v in zip(countries, monthly.to_numpy(), strict=True):
    for part in getattr(geom, "geoms", [geom]):
        polys.append(np.asarray(part.exterior.coords))
        values.append(v)
fig, ax = plt.subplots(figsize=(9, 4.5))
coll = PolyCollection(polys, array=np.asarray(values), cmap="RdYlBu_r", edgecolor="0.3", linewidth=0.3)
ax.add_collection(coll)
ax.set(xlim=(-180, 180), ylim=(-90, 90), aspect="equal", title="Mean of the month per country")
fig.colorbar(coll, ax=ax, shrink=0.8, label="deg C")
plt.show()
