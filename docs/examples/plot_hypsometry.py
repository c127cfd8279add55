"""
Elevation quantiles per zone (hypsometry)
=========================================

A synthetic digital elevation model is written to a GeoTIFF with rasterio, and the
``quantile`` statistic gives each zone's hypsometric curve: the elevation below which a
given share of the zone's area lies. The zones are read straight from their shapes and the
raster from its file path; its grid comes from the file's transform.
"""

import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import rasterio
import shapely
from rasterio.transform import from_origin

import quorvalis as qv

tmp = Path(tempfile.mkdtemp())
rows, cols, cell = 300, 400, 30.0  # a 12 x 9 km tile of 30 m cells
y, x = np.mgrid[0:rows, 0:cols]
dem = (1800 * np.exp(-((x - 120) ** 2 + (y - 100) ** 2) / 9000) + 900 * np.exp(-((x - 300) ** 2 + (y - 200) ** 2) / 15000)
       + 400 + 0.4 * x + 25 * np.sin(x / 9) * np.cos(y / 13)).astype(np.float32)
transform = from_origin(500000, 4600000, cell, cell)
with rasterio.open(tmp / "dem.tif", "w", driver="GTiff", width=cols, height=rows, count=1,
                   dtype="float32", crs="EPSG:32632", transform=transform, nodata=-9999) as dst:
    dst.write(dem, 1)

# %%
# Three zones: around the high peak, around the lower one, and the valley between.
zones = [shapely.Point(503600, 4597000).buffer(2000),
         shapely.Point(509000, 4594000).buffer(2500),
         shapely.box(504500, 4591500, 508000, 4594500)]
names = ["high peak", "low peak", "valley"]
q = np.linspace(0, 1, 21)
with rasterio.open(tmp / "dem.tif") as src:
    out = qv.zonal_stats(zones, src, ["quantile", "mean"], quantiles=q, id=names)
print(out.filter(like="mean").round(1))

fig, ax = plt.subplots(figsize=(6, 4))
for name in names:
    ax.plot(q * 100, out.loc[name, [c for c in out.columns if c.startswith("quantile")]], marker=".", label=name)
ax.set(xlabel="share of the zone's area below (%)", ylabel="elevation (m)", title="Hypsometric curves")
ax.legend()
plt.show()
