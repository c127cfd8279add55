"""Shared fixtures: WKB encoding, a small grid with a handful of basins, and rasters on it."""

import struct

import numpy as np
import pytest

import _quorvalis as q

# Grid of 5 rows x 6 columns over x 0..6, y 0..5, unit cells; row 0 is the top (y 4..5).
GRID = (0.0, 0.0, 6.0, 5.0, 1.0, 1.0)
ROWS, COLS = 5, 6


def wkb_polygon(*rings):
    return struct.pack("<BII", 1, 3, len(rings)) + b"".join(
        struct.pack("<I", len(ring)) + b"".join(struct.pack("<dd", *p) for p in ring) for ring in rings)


def box(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0)]


SQUARE = wkb_polygon(box(0, 0, 2, 2))


def box_coverage(x0, y0, x1, y1, method):
    """Coverage of an axis-aligned box over GRID, in float32 like the cache stores it."""
    xs, ys = np.arange(COLS, dtype=float), GRID[3] - 1.0 - np.arange(ROWS)  # cells' lower-left corners
    if method == "center":
        return np.outer((y0 < ys + 0.5) & (ys + 0.5 < y1), (x0 < xs + 0.5) & (xs + 0.5 < x1)).astype(np.float32)
    w = np.maximum(0.0, np.minimum(x1, xs + 1.0) - np.maximum(x0, xs))
    h = np.maximum(0.0, np.minimum(y1, ys + 1.0) - np.maximum(y0, ys))
    return np.outer(h, w).astype(np.float32)


# Boxes on quarter-cell boundaries, so exact fractions are exact binary numbers.
BOXES = [(0.25, 0.5, 2.75, 3.0), (2.5, 1.25, 6.0, 4.75), (0.0, 0.0, 1.0, 1.0), (4.0, 0.0, 9.0, 2.25)]


@pytest.fixture(params=["exact", "center"])
def box_cache(request):
    """A cache of BOXES and, per basin, its coverage over the whole grid."""
    cache = q.build_cache([wkb_polygon(box(*b)) for b in BOXES], [11, 22, 33, 44], *GRID, request.param)
    return cache, [box_coverage(*b, request.param) for b in BOXES]


@pytest.fixture
def raster():
    """Values with the awkward cases mixed in: nodata (-9999), near-nodata either side of the
    1e-06 tolerance, NaN and infinity."""
    r = np.random.default_rng(7).normal(10.0, 4.0, (ROWS, COLS))
    r[[0, 1, 2, 3, 4], [1, 2, 1, 4, 0]] = [-9999.0, -9999.0 + 5e-7, np.nan, np.inf, -9999.0 + 2e-6]
    return r


@pytest.fixture
def weights():
    """Weights with nodata (-1), NaN, and a negative weight, which enters the sums as it is."""
    w = np.random.default_rng(11).uniform(0.0, 3.0, (ROWS, COLS))
    w[[1, 2, 3], [1, 3, 3]] = [-1.0, np.nan, -0.5]
    return w


def pytest_configure(config):
    config.addinivalue_line("markers", "cluster: starts a Dask LocalCluster of worker processes "
                                       "(deselect with -m 'not cluster')")
    # Many suites place zones across the raster's edge on purpose; the warning that says so
    # is checked where it is the point (pytest.warns sees it whatever the filters).
    config.addinivalue_line("filterwarnings", "ignore::quorvalis.OutsideWarning")
