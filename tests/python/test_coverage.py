"""Exact coverage fractions checked cell by cell against shapely's intersection areas, on
seeded random polygons over grids with awkward cell sizes and origins."""

import math

import numpy as np
import pytest
import shapely
from numpy.lib.stride_tricks import sliding_window_view
from shapely.geometry import MultiPolygon, Polygon

import _quorvalis as q

N = 36  # cells per side of every test grid
CELL_SIZES = [0.1, 1 / 3, 0.25]
ORIGINS = [(-180.0, -90.0), (1e6, 1e6)]


def make_grid(origin, d):
    return (origin[0], origin[1], origin[0] + N * d, origin[1] + N * d, d, d)


def shape(grid):
    return round((grid[3] - grid[1]) / grid[5]), round((grid[2] - grid[0]) / grid[4])


def cell_boxes(grid):
    """The grid's cells as shapely boxes, edges from the origin and the index."""
    rows, cols = shape(grid)
    xs = grid[0] + np.arange(cols + 1) * grid[4]
    ys = grid[3] - np.arange(rows + 1) * grid[5]
    return shapely.box(xs[None, :-1], ys[1:, None], xs[None, 1:], ys[:-1, None])


def oracle(geom, boxes):
    parts = geom.geoms if isinstance(geom, MultiPolygon) else [geom]
    return sum(shapely.area(shapely.intersection(p, boxes)) for p in parts) / shapely.area(boxes)


def coverage(geoms, grid):
    """Each geometry's coverage over the grid: "sum" over a stack of one-hot rasters, one
    per cell, the stack being a strided view of a single vector."""
    rows, cols = shape(grid)
    cache = q.build_cache([shapely.to_wkb(g) for g in geoms], list(range(len(geoms))), *grid)
    z = np.zeros(2 * rows * cols - 1)
    z[rows * cols - 1] = 1.0
    stack = sliding_window_view(z, rows * cols)[::-1].reshape(rows * cols, rows, cols)
    out = np.zeros((len(geoms), rows, cols))
    out[cache.ids()] = q.apply_stat_batch(cache, stack, math.nan, "sum").T.reshape(-1, rows, cols)
    return out


def star(rng, c, r, n, lo=0.3):
    a = np.sort(rng.uniform(0, 2 * math.pi, n))
    rad = r * rng.uniform(lo, 1.0, n)
    return np.column_stack([c[0] + rad * np.cos(a), c[1] + rad * np.sin(a)])


def snap(pts, grid, step):
    k = np.round((pts - [grid[0], grid[3]]) / (grid[4] * step))
    return [grid[0], grid[3]] + k * step * grid[4]


def family(kind, rng, grid):
    """One random geometry of a kind, possibly invalid."""
    d = grid[4]
    c = np.array(grid[:2]) + rng.uniform(0.25, 0.75, 2) * N * d
    r, n = rng.uniform(2, 12) * d, int(rng.integers(8, 400))
    if kind == "star":  # concave, starting mid-cell
        return Polygon(star(rng, c, r, n))
    if kind == "snapped":  # vertices on cell lines and corners, edges along them
        return Polygon(snap(star(rng, c, r, n // 8 + 4), grid, rng.choice([0.5, 1.0])))
    if kind == "holes":
        holes = [star(rng, c + np.array(o) * r, 0.12 * r, 12) for o in ([0, 0], [0.3, 0.3], [-0.35, 0])]
        return Polygon(star(rng, c, r, n, lo=0.6), holes[: int(rng.integers(1, 4))])
    if kind == "multi":
        return MultiPolygon([Polygon(star(rng, c + np.array(s) * r, 0.9 * r, n)) for s in ([-1, 0], [1.05, 0.2])])
    if kind == "tiny":  # inside one cell, or across a cell corner
        return Polygon(star(rng, snap(c, grid, 1.0) + rng.choice([0.3, 0.0]) * d, 0.2 * d, 9))
    if kind == "sliver":
        v = rng.normal(size=2) * r
        return Polygon([c, c + v, c + v + [1e-4 * d, 1e-4 * d * rng.uniform(-1, 1)]])
    if kind == "decimal":  # vertices on cell lines as people write them, a hair off the grid's own
        return Polygon(np.round(star(rng, c, r, n // 16 + 3) / (d / 2)) * (d / 2))
    if kind == "rectangle":  # aligned with the cell lines or not
        x0, y0 = snap(c, grid, 1.0) if rng.random() < 0.5 else c
        return shapely.box(x0, y0, x0 + rng.uniform(0.2, 9) * d, y0 + rng.uniform(0.2, 9) * d)
    return Polygon(star(rng, (grid[0] + rng.uniform(-1, 1) * r, c[1]), r, n))  # past the grid's edge


def valid_geoms(kind, rng, grid, count):
    drawn = (family(kind, rng, grid) for _ in range(6 * count))
    return [g for g, _ in zip((g for g in drawn if g.is_valid), range(count))]


def moved(g, rng):
    """The same geometry with every ring reversed and started at another vertex."""
    if isinstance(g, MultiPolygon):
        return MultiPolygon([moved(p, rng) for p in g.geoms])
    rings = [np.roll(np.asarray(r.coords)[:-1][::-1], int(rng.integers(len(r.coords) - 1)), axis=0)
             for r in [g.exterior, *g.interiors]]
    return Polygon(rings[0], rings[1:])


KINDS = ["star", "snapped", "decimal", "holes", "multi", "tiny", "sliver", "rectangle", "beyond"]


ANY_ORIGIN = pytest.mark.parametrize("origin", ORIGINS, ids=["origin-180", "origin1e6"])


@ANY_ORIGIN
@pytest.mark.parametrize("d", CELL_SIZES, ids=["0.1", "1/3", "0.25"])
@pytest.mark.parametrize("kind", KINDS)
def test_fractions_match_intersection_areas(kind, d, origin):
    grid = make_grid(origin, d)
    rng = np.random.default_rng([KINDS.index(kind), CELL_SIZES.index(d), ORIGINS.index(origin)])
    geoms = valid_geoms(kind, rng, grid, 12)
    geoms += [shapely.reverse(g) for g in geoms[:3]]  # clockwise exteriors, counter-clockwise holes
    assert len(geoms) == 15
    boxes = cell_boxes(grid)
    for g, cov in zip(geoms, coverage(geoms, grid)):
        np.testing.assert_allclose(cov, oracle(g, boxes), rtol=0, atol=1e-6, err_msg=g.wkt[:200])


@ANY_ORIGIN
@pytest.mark.parametrize("kind", ["star", "snapped", "multi", "beyond"])
def test_invariants(kind, origin):
    grid = make_grid(origin, 0.25)
    rng = np.random.default_rng([7, KINDS.index(kind)])
    geoms = valid_geoms(kind, rng, grid, 10)
    cov = coverage(geoms, grid)
    assert cov.min() >= 0.0 and cov.max() <= 1.0  # no holes, no overlapping parts
    # Fractions times cell areas give back the area inside the grid.
    inside = shapely.area(shapely.intersection(geoms, shapely.box(*grid[:4])))
    np.testing.assert_allclose((cov * shapely.area(cell_boxes(grid))).sum(axis=(1, 2)), inside, rtol=1e-6)
    # Neither the direction of a ring nor its first vertex matters.
    np.testing.assert_allclose(coverage([moved(g, rng) for g in geoms], grid), cov, rtol=0, atol=1e-6)


# Polygons that once went wrong, each with the grid it went wrong on.
REGRESSIONS = [
    # Thin spikes whose arms pass through cell corners, found by searching snapped polygons:
    # the clamped exit points collapse a spike onto a line, and the cell it crosses looks
    # empty although the rest of the polygon covers it (or the reverse).
    (make_grid(ORIGINS[0], 0.1), "POLYGON ((-177.85 -87.75, -177.8 -87.9, -177.75 -87.85000000000001, "
                                 "-177.9 -88, -177.05 -87.80000000000001, -177.85 -87.75))"),
    (make_grid(ORIGINS[1], 1 / 3), "POLYGON ((1000007.1666666666 1000009.3333333334, "
                                   "1000006.3333333334 1000008.8333333334, 1000006.6666666666 1000008.5, "
                                   "1000005.5 1000009.6666666666, 1000007.1666666666 1000005.5, "
                                   "1000007.1666666666 1000009.3333333334))"),
    (make_grid(ORIGINS[1], 0.1), "POLYGON ((1000002.7 1000001.25, 1000002.25 1000001.1, 1000002.4 1000001.15, "
                                 "1000001.7 1000001.65, 1000002.25 1000001, 1000002.7 1000001.25))"),
    (make_grid(ORIGINS[0], 1 / 3), "POLYGON ((-178 -85.66666666666667, -176.66666666666666 -86.33333333333333, "
                                   "-177.33333333333334 -86, -175.66666666666666 -88.33333333333333, "
                                   "-173.33333333333334 -86.66666666666667, -178 -85.66666666666667))"),
    # Vertices written in decimals on what are, in floating point, a hair off the cell lines:
    # an edge passing just inside a cell corner, and the two arms of a thin triangle meeting a
    # cell side less than an ulp apart. Each once gave a whole cell 1.0 instead of almost 0.
    ((5.0, 45.0, 8.0, 47.0, 0.05, 0.05), "POLYGON ((7.3 45.6, 7.9 45.6, 7.9 45.9, 7.3 45.6))"),
    ((0.3, 0.7, 11.1, 11.5, 0.3, 0.3), "POLYGON ((7.2 6.6, 7.1 7, 7.4 5.8, 7.2 6.6))"),
]


@pytest.mark.parametrize(("grid", "wkt"), REGRESSIONS)
def test_regression_polygons(grid, wkt):
    geom = shapely.from_wkt(wkt)
    assert geom.is_valid
    np.testing.assert_allclose(coverage([geom], grid)[0], oracle(geom, cell_boxes(grid)), rtol=0, atol=1e-6)
