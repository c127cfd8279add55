"""Properties of the package over random zones, grids and rasters (Hypothesis).

``make test`` runs a bounded number of examples; ``make properties`` (HYPOTHESIS_PROFILE=many)
runs many more.
"""

import os

import numpy as np
import pytest
import shapely
import xarray as xr
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvalis as qv

settings.register_profile("default", max_examples=30, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("many", max_examples=600, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

@st.composite
def grids(draw):
    """A grid of a few cells, of any cell size, far from the origin or on 0..360 longitudes."""
    rows, cols = draw(st.integers(1, 9)), draw(st.integers(1, 9))
    if draw(st.booleans()):
        d = draw(st.sampled_from([0.25, 0.5, 1.0, 2.5]))
        x0 = draw(st.integers(0, int(360 / d) - cols)) * d
        y0 = draw(st.integers(-int(90 / d), int(90 / d) - rows)) * d
        return qv.Grid(x0, y0, x0 + cols * d, y0 + rows * d, d, d, lonlat=True)
    dx = 10.0 ** draw(st.integers(-6, 6)) * draw(st.sampled_from([1.0, 1.5, 3.0]))
    dy = dx * draw(st.sampled_from([1.0, 0.5, 2.0]))
    x0 = draw(st.integers(-10**4, 10**4)) * dx
    y0 = draw(st.integers(-10**4, 10**4)) * dy
    return qv.Grid(x0, y0, x0 + cols * dx, y0 + rows * dy, dx, dy)


@st.composite
def zones_on(draw, grid):
    """A valid zone in cell units (boxes on cell lines, discs, hulls, holes, several parts,
    tiny and larger than the grid), placed on the grid."""
    rows, cols = grid.shape
    u = st.floats(-2.0, cols + 2.0, allow_nan=False, allow_subnormal=False)
    v = st.floats(-2.0, rows + 2.0, allow_nan=False, allow_subnormal=False)
    kind = draw(st.sampled_from(["box", "cell box", "disc", "hull", "holed", "multi", "tiny", "huge"]))
    if kind == "cell box":
        a, b = sorted(draw(st.lists(st.integers(-1, cols + 1), min_size=2, max_size=2, unique=True)))
        c, d = sorted(draw(st.lists(st.integers(-1, rows + 1), min_size=2, max_size=2, unique=True)))
        g = shapely.box(a, c, b, d)
    elif kind == "box":
        a, b = sorted([draw(u), draw(u)])
        c, d = sorted([draw(v), draw(v)])
        g = shapely.box(a, c, b + 1e-3, d + 1e-3)
    elif kind in ("disc", "tiny", "holed"):
        r = draw(st.floats(1e-3, 1e-2)) if kind == "tiny" else draw(st.floats(0.3, 3.0))
        g = shapely.Point(draw(u), draw(v)).buffer(r, quad_segs=draw(st.integers(2, 8)))
        if kind == "holed":
            g = g.difference(shapely.Point(g.centroid).buffer(r * draw(st.floats(0.1, 0.8))))
    elif kind == "hull":
        pts = draw(st.lists(st.tuples(u, v), min_size=3, max_size=12))
        g = shapely.convex_hull(shapely.MultiPoint(pts))
    elif kind == "multi":
        g = shapely.union_all([shapely.box(x, y, x + w, y + w) for x, y, w in
                               draw(st.lists(st.tuples(u, v, st.floats(0.1, 2.0)), min_size=2, max_size=4))])
    else:
        g = shapely.box(-5, -5, cols + 5, rows + 5).difference(shapely.box(0.5, 0.5, cols - 0.25, rows - 0.25))
    placed = shapely.transform(g, lambda c: c * (grid.dx, grid.dy) + (grid.xmin, grid.ymin))
    if g.is_empty or g.area <= 1e-12 or g.geom_type not in ("Polygon", "MultiPolygon") or not placed.is_valid:
        placed = shapely.box(grid.xmin + 0.2 * grid.dx, grid.ymin + 0.2 * grid.dy, grid.xmin + 0.7 * grid.dx,
                             grid.ymin + 0.9 * grid.dy)
    return placed


@st.composite
def cases(draw, n_max=4):
    grid = draw(grids())
    zones = [draw(zones_on(grid)) for _ in range(draw(st.integers(1, n_max)))]
    b = shapely.bounds(np.asarray([z if isinstance(z, shapely.Geometry) else None for z in zones]))
    with np.errstate(invalid="ignore"):
        meets = (b[:, 0] < grid.xmax) & (b[:, 2] > grid.xmin) & (b[:, 1] < grid.ymax) & (b[:, 3] > grid.ymin)
    if not meets.any():  # zones that all miss the raster are refused: keep one on it
        zones.append(shapely.box(*grid.bounds))
    return grid, zones


@st.composite
def rasters(draw, shape, steps=None):
    dtype = np.dtype(draw(st.sampled_from(["float64", "float32", "int16", "uint8", "int64"])))
    lead = (steps,) if steps else ()
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if dtype.kind == "f":
        values = rng.normal(0, 10 ** draw(st.integers(-3, 6)), lead + shape).astype(dtype)
        values.flat[rng.integers(0, values.size, values.size // 5)] = np.nan
    else:
        info = np.iinfo(dtype)
        values = rng.integers(max(info.min, -500), min(info.max, 500), lead + shape, endpoint=True).astype(dtype)
    nodata = values.flat[0] if draw(st.booleans()) and not np.isnan(values.flat[0]) else None
    return values, None if nodata is None else nodata.item()


def _area_inside(zone, grid):
    return shapely.intersection(zone, shapely.box(*grid.bounds)).area


def _dense(cov):
    return cov.to_sparse().astype(np.float64).toarray()


@given(cases())
def test_fractions_times_cell_area_are_the_zone_area_inside_the_grid(case):
    grid, zones = case
    cov = qv.Coverage(zones, grid)
    covered = cov.stats(np.zeros(grid.shape), "coverage", as_numpy=True)["coverage"]
    cell = grid.dx * grid.dy
    want = np.array([_area_inside(z, grid) for z in zones])
    np.testing.assert_allclose(covered * cell, want, rtol=1e-6, atol=1e-7 * cell)
    f = _dense(cov)
    assert ((f >= 0) & (f <= 1)).all()
    center = _dense(qv.Coverage(zones, grid, method="center"))
    assert (f[center > 0] > 0).all()


def _rotated(g, by):
    def ring(r):
        c = list(r.coords)[:-1]
        k = by % len(c)
        return c[k:] + c[:k] + [c[k]]

    if g.geom_type == "MultiPolygon":
        return shapely.MultiPolygon([_rotated(p, by) for p in g.geoms])
    return shapely.Polygon(ring(g.exterior), [ring(h) for h in g.interiors])


@given(cases(n_max=2), st.integers(1, 7), st.integers(-50, 50), st.integers(-50, 50))
def test_fractions_do_not_change_with_ring_order_start_or_whole_cell_shifts(case, by, i, j):
    grid, zones = case
    f = _dense(qv.Coverage(zones, grid))
    for other in ([shapely.reverse(z) for z in zones], [_rotated(z, by) for z in zones]):
        np.testing.assert_allclose(_dense(qv.Coverage(other, grid)), f, atol=2e-6)
    if grid.lonlat:
        return  # a shifted lon/lat grid may leave the turn it is drawn on
    sx, sy = i * grid.dx, j * grid.dy
    moved = qv.Grid(grid.xmin + sx, grid.ymin + sy, grid.xmax + sx, grid.ymax + sy, grid.dx, grid.dy)
    shifted = [shapely.transform(z, lambda c: c + (sx, sy)) for z in zones]
    np.testing.assert_allclose(_dense(qv.Coverage(shifted, moved)), f, atol=2e-6)


STATS = ["mean", "sum", "count", "min", "max", "stdev", "median", "nodata_count"]


def _reference(f, values, nodata):
    """Coverage-weighted statistics of one 2-D field, by NumPy."""
    v = values.astype(np.float64).ravel()
    ok = np.isfinite(v)
    if nodata is not None:
        ok &= ~(np.abs(v - nodata) <= 1e-6) if values.dtype.kind == "f" else v != nodata
    out = {s: [] for s in STATS}
    for row in f:
        w = np.where(ok, row, 0.0)
        keep = w > 0
        total = w.sum()
        out["count"].append(total)
        out["nodata_count"].append(row[~ok].sum())
        out["sum"].append((w * np.where(ok, v, 0)).sum())
        if not keep.any():
            for s in ("mean", "min", "max", "stdev", "median"):
                out[s].append(np.nan)
            continue
        mean = (w[keep] * v[keep]).sum() / total
        out["mean"].append(mean)
        out["min"].append(v[keep].min())
        out["max"].append(v[keep].max())
        out["stdev"].append(np.sqrt((w[keep] * (v[keep] - mean) ** 2).sum() / total))
        order = np.argsort(v[keep], kind="stable")
        cum = np.cumsum(w[keep][order])
        out["median"].append(v[keep][order][np.searchsorted(cum, 0.5 * total * (1 - 1e-12))])
    return {s: np.array(x) for s, x in out.items()}


@given(cases(), st.data())
def test_statistics_equal_a_numpy_reference_for_every_thread_count_and_layout(case, data):
    grid, zones = case
    values, nodata = data.draw(rasters(grid.shape))
    cov = qv.Coverage(zones, grid, threads=1)
    got = cov.stats(values, STATS, nodata=nodata, as_numpy=True)
    want = _reference(_dense(cov), values, nodata)
    for s in STATS:
        scale = np.nanmax(np.abs(values.astype(float))) if s in ("sum", "mean", "stdev") and values.size else 1
        np.testing.assert_allclose(got[s], want[s], rtol=1e-6, atol=1e-6 * (scale if np.isfinite(scale) else 1),
                                   err_msg=s)
    for threads in (2, 3):
        again = qv.Coverage(zones, grid, threads=threads).stats(values, STATS, nodata=nodata, as_numpy=True)
        for s in STATS:
            np.testing.assert_array_equal(again[s], got[s], err_msg=f"{s}, {threads} threads")
    # the same values on coordinates running south to north and east to west
    rows, cols = grid.shape
    if min(rows, cols) < 2:
        return  # one coordinate gives no cell size
    y = grid.ymax - (np.arange(rows) + 0.5) * grid.dy
    x = grid.xmin + (np.arange(cols) + 0.5) * grid.dx
    names = ("lat", "lon") if grid.lonlat else ("y", "x")
    flipped = xr.DataArray(values[::-1, ::-1], dims=names, coords={names[0]: y[::-1], names[1]: x[::-1]})
    if nodata is not None:
        flipped.attrs["_FillValue"] = nodata
    frame = cov.stats(flipped, STATS)
    for s in STATS:
        np.testing.assert_array_equal(frame[s].to_numpy(), got[s], err_msg=f"{s}, flipped axes")


@given(cases(n_max=3), st.data(), st.integers(1, 4))
def test_time_chunks_of_dask_give_the_in_memory_result(case, data, chunk):
    da = pytest.importorskip("dask.array")
    import dask

    grid, zones = case
    values, nodata = data.draw(rasters(grid.shape, steps=5))
    cov = qv.Coverage(zones, grid, threads=1)
    want = cov.stats(values, STATS, nodata=nodata, as_numpy=True)
    with dask.config.set(scheduler="threads"):
        got = dask.compute(cov.stats(da.from_array(values, chunks=(chunk, -1, -1)), STATS, nodata=nodata,
                                     as_numpy=True))[0]
    for s in STATS:
        np.testing.assert_array_equal(np.asarray(got[s]), want[s], err_msg=s)
