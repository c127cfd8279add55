"""
Land-cover class fractions per district
=======================================

An integer land-cover raster (one class code per cell, 0 for no data) and a handful of
districts: ``frac`` gives, per district, the share of its area in each class, with partial
cells along the district borders counted by the fraction of their area inside.
"""

import matplotlib.pyplot as plt
import numpy as np
import shapely
import xarray as xr

import quorvalis as qv

rng = np.random.default_rng(3)
n = 200
y, x = np.mgrid[0:n, 0:n]
noise = sum(np.sin(x / s + rng.uniform(0, 6)) * np.cos(y / s + rng.uniform(0, 6)) for s in (7, 13, 29))
classes = np.digitize(noise + 0.02 * (x - n / 2), [-0.8, -0.1, 0.5, 1.1]).astype(np.uint8) + 1
classes[:20, :20] = 0
landcover = xr.DataArray(classes, dims=("y", "x"), attrs={"_FillValue": 0},
                         coords={"y": np.arange(n - 0.5, 0, -1.0), "x": np.arange(0.5, n, 1.0)})
names = {1: "water", 2: "wetland", 3: "forest", 4: "grassland", 5: "urban"}

# %%
# Districts: the cells of a coarse Voronoi-like partition, clipped to the raster.
seeds = shapely.MultiPoint(rng.uniform(10, n - 10, (8, 2)))
districts = [shapely.intersection(cell, shapely.box(0, 0, n, n))
             for cell in shapely.voronoi_polygons(seeds).geoms]
out = qv.zonal_stats(districts, landcover, ["frac"])
print(out.round(3))

fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 4.2), width_ratios=[1, 1.3], layout="constrained")
ax1.imshow(np.where(classes > 0, classes, np.nan), extent=(0, n, 0, n), cmap="tab10", vmin=1, vmax=10,
           interpolation="nearest")
for k, d in enumerate(districts):
    ax1.plot(*d.exterior.xy, color="k", lw=1)
    ax1.annotate(str(k), d.centroid.coords[0], ha="center", weight="bold")
ax1.set(title="Land cover and districts")
bottom = np.zeros(len(out))
for c, column in enumerate(out.columns):
    ax2.bar(out.index, out[column], bottom=bottom, color=plt.cm.tab10((c) / 9), label=names[c + 1])
    bottom += out[column].to_numpy()
ax2.set(xlabel="district", ylabel="share of area", title="Class fractions (frac)")
ax2.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1, 1))
plt.show()
