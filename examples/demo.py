"""A year of synthetic daily weather summarised per river basin with _quorvalis.

Run it with `make demo`. Everything is made up and deterministic, and only NumPy is needed:

1. five basin outlines as WKB polygons (one with a lake cut out, one in two parts, one that
   runs off the edge of the grid);
2. a 40 x 60 grid of 0.05-degree cells with 365 daily temperature and precipitation fields;
3. one coverage cache, reused for every statistic below.
"""

import struct

import numpy as np

import _quorvalis as q

# The grid: longitudes 5.0 to 8.0, latitudes 45.0 to 47.0, 0.05-degree cells.
XMIN, YMIN, XMAX, YMAX, DX, DY = 5.0, 45.0, 8.0, 47.0, 0.05, 0.05
ROWS, COLS = round((YMAX - YMIN) / DY), round((XMAX - XMIN) / DX)
NODATA = -9999.0


def wkb_polygon(*rings):
    """Little-endian WKB Polygon: the exterior ring first, then any holes."""
    out = struct.pack("<BII", 1, 3, len(rings))
    for ring in rings:
        ring = list(ring) + [ring[0]]  # WKB rings repeat their first point at the end
        out += struct.pack("<I", len(ring)) + b"".join(struct.pack("<dd", x, y) for x, y in ring)
    return out


def wkb_multipolygon(*polygons):
    return struct.pack("<BII", 1, 6, len(polygons)) + b"".join(polygons)


BASINS = {
    101: ("Alder", wkb_polygon([(5.2, 45.3), (6.1, 45.2), (6.4, 45.9), (5.8, 46.4), (5.1, 46.0)])),
    102: ("Birch", wkb_polygon([(6.3, 46.1), (7.6, 46.0), (7.7, 46.8), (6.5, 46.9)],
                               [(6.9, 46.3), (7.2, 46.3), (7.2, 46.6), (6.9, 46.6)])),  # lake
    103: ("Cedar", wkb_multipolygon(wkb_polygon([(6.6, 45.1), (7.1, 45.1), (7.1, 45.5), (6.6, 45.5)]),
                                    wkb_polygon([(7.3, 45.6), (7.9, 45.6), (7.9, 45.9)]))),
    104: ("Dogwood", wkb_polygon([(5.1, 46.5), (6.0, 46.5), (5.5, 46.95)])),
    105: ("Elm", wkb_polygon([(7.8, 45.0), (8.6, 45.0), (8.6, 45.4), (7.8, 45.4)])),  # half off the grid
}


def synthetic_weather(days=365, seed=20240101):
    """Daily (time, rows, cols) temperature in deg C and precipitation in mm, row 0 at YMAX."""
    rng = np.random.default_rng(seed)
    lat = YMAX - DY * (np.arange(ROWS) + 0.5)
    lon = XMIN + DX * (np.arange(COLS) + 0.5)
    elevation = 400.0 + 1800.0 * np.exp(-((lon[None, :] - 7.0) ** 2 + (lat[:, None] - 46.3) ** 2) / 0.3)
    season = -np.cos(2.0 * np.pi * (np.arange(days) + 10) / 365.0)
    temperature = (11.0 + 9.5 * season[:, None, None] - 0.0065 * elevation[None]
                   - 0.8 * (lat[None, :, None] - 46.0) + rng.normal(0.0, 1.5, (days, ROWS, COLS)))
    wet = rng.random((days, ROWS, COLS)) < 0.3 + 0.2 * (elevation / elevation.max())[None]
    precipitation = np.where(wet, rng.gamma(0.8, 6.0, (days, ROWS, COLS)), 0.0)
    temperature[40:45, 10:20, 30:45] = NODATA  # a sensor outage: those cells are skipped
    return temperature, precipitation, elevation


def print_table(header, rows):
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    for r in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(v.ljust(w) if i == 0 else v.rjust(w) for i, (v, w) in enumerate(zip(r, widths))))
    print()


def main():
    ids = list(BASINS)
    cache = q.build_cache([wkb for _, wkb in BASINS.values()], ids, XMIN, YMIN, XMAX, YMAX, DX, DY)
    temperature, precipitation, elevation = synthetic_weather()
    print(f"grid {ROWS} x {COLS} cells, {temperature.shape[0]} days, {cache.n_basins} basins\n")

    # One 2-D raster: "count" sums the covered fractions, so it is the basin's area in cells.
    cells = q.apply_stat(cache, elevation, NODATA, "count")
    height = q.apply_stat(cache, elevation, NODATA, "mean")
    # A (time, rows, cols) stack gives a (time, n_basins) array: one basin mean per day.
    daily_t = q.apply_stat_batch(cache, temperature, NODATA, "mean")
    daily_p = q.apply_stat_batch(cache, precipitation, NODATA, "mean")

    print("The year, from the daily basin means:")
    rows = []
    for k, basin_id in enumerate(cache.ids()):  # cache order is input order
        t, p = daily_t[:, k], daily_p[:, k]
        rows.append([BASINS[basin_id][0], str(basin_id), f"{cells[k]:.1f}", f"{height[k]:.0f}",
                     f"{t.mean():.2f}", f"{t.min():.2f}", f"{t.max():.2f}", f"{t.std():.2f}",
                     f"{p.sum():.0f}", f"{p.max():.1f}"])
    print_table(["basin", "id", "cells", "elev m", "T mean", "T min", "T max", "T sd", "P mm", "P max"], rows)

    hottest = int(np.argmax(daily_t.mean(axis=1)))
    day = temperature[hottest]
    print(f"Day {hottest}, the hottest, cell by cell within each basin:")
    columns = {stat: q.apply_stat(cache, day, NODATA, stat) for stat in ["mean", "min", "max", "stdev"]}
    # Weighting by elevation tilts the mean towards the high, cooler cells.
    columns["elev-weighted"] = q.apply_stat_weights(cache, day, elevation, NODATA, NODATA, "weighted_mean")
    rows = [[BASINS[basin_id][0]] + [f"{v[k]:.2f}" for v in columns.values()]
            for k, basin_id in enumerate(cache.ids())]
    print_table(["basin"] + list(columns), rows)


if __name__ == "__main__":
    main()
