"""Shared fixtures: WKB encoding, a small grid with a handful of basins, and rasters on it."""

import struct

import numpy as np
import pytest

import _quorvalis as q

# Grid of 5 rows x 6 columns over x 0..6, y 0..5, unit cells; row 0 is the top (y 4..5).
GRID = (0.0, 0.0, 6.0, 5.0, 1.0, 1.0)
ROWS, COLS = 5, 6


def wkb_polygon(*rings, order="<"):
    out = struct.pack(order + "BII", 1 if order == "<" else 0, 3, len(rings))
    for ring in rings:
        out += struct.pack(order + "I", len(ring))
        out += b"".join(struct.pack(order + "dd", x, y) for x, y in ring)
    return out


def wkb_multipolygon(*polygons):
    return struct.pack("<BII", 1, 6, len(polygons)) + b"".join(polygons)


def box(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0)]


def box_coverage(x0, y0, x1, y1, method):
    """Coverage of an axis-aligned box over GRID, in float32 like the cache stores it."""
    cov = np.zeros((ROWS, COLS), np.float32)
    for r in range(ROWS):
        top = GRID[3] - r
        for c in range(COLS):
            if method == "center":
                cx, cy = c + 0.5, top - 0.5
                cov[r, c] = 1.0 if x0 < cx < x1 and y0 < cy < y1 else 0.0
            else:
                w = max(0.0, min(x1, c + 1.0) - max(x0, c))
                h = max(0.0, min(y1, top) - max(y0, top - 1.0))
                cov[r, c] = w * h
    return cov


# Boxes on quarter-cell boundaries, so exact fractions are exact binary numbers.
BOXES = [(0.25, 0.5, 2.75, 3.0), (2.5, 1.25, 6.0, 4.75), (0.0, 0.0, 1.0, 1.0), (4.0, 0.0, 9.0, 2.25)]
BOX_IDS = [11, 22, 33, 44]


@pytest.fixture(params=["exact", "center"])
def method(request):
    return request.param


@pytest.fixture
def box_cache(method):
    """A cache of BOXES and, per basin, its coverage over the whole grid."""
    cache = q.build_cache([wkb_polygon(box(*b)) for b in BOXES], BOX_IDS, *GRID, method)
    return cache, [box_coverage(*b, method) for b in BOXES]


@pytest.fixture
def raster():
    """Values with the awkward cases mixed in: nodata (-9999), near-nodata, NaN and infinities."""
    rng = np.random.default_rng(7)
    r = rng.normal(10.0, 4.0, (ROWS, COLS))
    r[0, 1] = -9999.0
    r[1, 2] = -9999.0 + 5e-7
    r[2, 1] = np.nan
    r[3, 4] = np.inf
    r[4, 0] = -9999.0 + 2e-6
    return r


@pytest.fixture
def weights():
    rng = np.random.default_rng(11)
    w = rng.uniform(0.0, 3.0, (ROWS, COLS))
    w[1, 1] = -1.0  # weight nodata
    w[2, 3] = np.nan
    w[3, 3] = -0.5  # negative weights enter the sums as they are
    return w
