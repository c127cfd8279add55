"""
A basin's daily time series from a NetCDF stack
===============================================

A year of daily precipitation-like fields is written to a NetCDF file with a
``_FillValue``, opened lazily with xarray, and reduced over one basin chunk by chunk.
The fill value is read from the file; the exact and the cell-centre series are compared.
"""

import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import shapely
import xarray as xr

import quorvalis as qv

tmp = Path(tempfile.mkdtemp())
lat = np.arange(49.875, 44, -0.25)
lon = np.arange(5.125, 12, 0.25)
rng = np.random.default_rng(1)
days = pd.date_range("2022-01-01", periods=365)
season = 2 + 1.5 * np.cos(2 * np.pi * (np.arange(365) - 20) / 365)
rain = rng.gamma(0.6, season[:, None, None] / 0.6, (365, lat.size, lon.size)).astype(np.float32)
rain[:, :3, :3] = -999  # a corner without data
xr.Dataset({"pr": (("time", "lat", "lon"), rain, {"units": "mm/day"})},
           coords={"time": days, "lat": lat, "lon": lon}).to_netcdf(
    tmp / "pr.nc", encoding={"pr": {"_FillValue": -999.0}})

# %%
# A basin drawn as a smoothed, irregular outline a few cells across.
t = np.linspace(0, 2 * np.pi, 60, endpoint=False)
radius = 1.6 + 0.35 * np.sin(3 * t) + 0.2 * np.cos(5 * t)
basin = shapely.Polygon(np.c_[8.4 + 1.2 * radius * np.cos(t), 47.1 + 0.8 * radius * np.sin(t)])

ds = xr.open_dataset(tmp / "pr.nc")           # lazy: read chunk by chunk
series = {m: qv.Coverage([basin], ds, method=m).stats(ds["pr"], ["mean"], max_fields=100)["mean"]
          .isel(zone=0).to_series() for m in ["exact", "center"]}
print(f"yearly mean: exact {series['exact'].mean():.3f}, centres {series['center'].mean():.3f} mm/day")

fig, ax = plt.subplots(figsize=(9, 3.5))
ax.plot(series["exact"].index, series["exact"], lw=0.6, color="0.7", label="daily, exact fractions")
for method, s in series.items():
    ax.plot(s.index, s.rolling(15, center=True).mean(), lw=1.5, label=f"15-day mean, {method}")
ax.set(ylabel="mm/day", title="Daily basin-mean precipitation")
ax.legend()
plt.show()
ds.close()
