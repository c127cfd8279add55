"""Fingerprints of every result for a fixed set of zones and rasters: the package's statistics
(exact and center, float and integer rasters, one step and a stack, weights, order
statistics), its cell tables, sparse matrices and fractions, and the fixed-contract module's
results. A change to how coverage is stored must leave both hashes as they were.

    python bench/hash_results.py
"""

import hashlib

import numpy as np
import shapely

import _quorvalis as q
import quorvalis as qv

ROWS, COLS, STEPS = 60, 90, 5


def zones():
    rng = np.random.default_rng(7)
    out = [shapely.box(0.5, 0.5, 2.5, 2.5), shapely.box(-5, -5, -1, -1),  # one empty
           shapely.LineString([(1, 1), (80, 55)]).buffer(1.7),  # thin diagonal
           shapely.MultiPolygon([shapely.box(3, 3, 9, 9), shapely.box(20.2, 3.3, 40.7, 9.1)]),
           shapely.box(0, 0, 90, 60).difference(shapely.Point(45, 30).buffer(20)),  # a hole
           shapely.Point(0.3, 59.7).buffer(0.2)]  # narrow window at the edge
    centres = rng.uniform([0, 0], [90, 60], (25, 2))
    out += list(shapely.buffer(shapely.points(centres), rng.uniform(0.3, 9, 25), quad_segs=6))
    return out


def main():
    rng = np.random.default_rng(3)
    grid = qv.Grid(0, 0, COLS, ROWS, 1, 1)
    zs = zones()
    stack = rng.normal(size=(STEPS, ROWS, COLS))
    stack[:, ::7, ::5] = np.nan
    ints = rng.integers(0, 6, size=(ROWS, COLS)).astype(np.int16)
    ints[::3, ::4] = 5
    weights = rng.uniform(0, 2, size=(ROWS, COLS))
    pkg, raw = hashlib.sha256(), hashlib.sha256()

    def put(h, *arrays):
        for a in arrays:
            a = np.ascontiguousarray(np.asarray(a, dtype=np.float64))
            h.update(str(a.shape).encode())
            h.update(a.tobytes())

    names = ["mean", "sum", "count", "min", "max", "variance", "stdev", "weighted_mean", "weighted_sum",
             "median", "quantile", "range", "majority", "minority", "variety", "nodata_count", "coverage"]
    for method in ("exact", "center"):
        cov = qv.Coverage(zs, grid, method=method)
        for raster, nodata in ((stack, None), (stack[0], None), (stack[0].astype(np.float32), None),
                               (ints, 5), (stack[:, ::-1, :][:, ::-1, :], -9999.0)):
            for w in (None, weights):
                if w is None:
                    res = cov.stats(raster, names, nodata=nodata, quantiles=[0.1, 0.5, 0.9], as_numpy=True)
                else:
                    res = cov.stats(raster, ["mean", "sum", "weighted_mean", "weighted_sum", "median",
                                             "quantile", "count"], weights=w, nodata=nodata,
                                    quantiles=[0.25, 0.75], as_numpy=True)
                for k in sorted(res):
                    pkg.update(k.encode())
                    put(pkg, res[k])
        frac = cov.stats(ints, ["frac"], as_numpy=True)
        for k in sorted(frac):
            put(pkg, frac[k])
        m = cov.to_sparse()
        put(pkg, m.indptr, m.indices, m.data)
        for k in range(len(zs)):
            r0, c0, f = cov.fractions(k)
            put(pkg, [r0, c0], np.maximum(f, 0))  # cells outside a row's run read as +0
        table = cov.cells(stack[0], weights=weights)
        for col in table.columns:
            put(pkg, np.asarray(table[col], dtype=np.float64))

        cache = q.build_cache([z.wkb for z in zs], list(range(100, 100 + len(zs))), *grid.astuple(), method)
        put(raw, [cache.n_basins] if hasattr(cache, "n_basins") else [len(cache)])
        for stat in names[:9]:
            put(raw, q.apply_stat(cache, stack[0], np.nan, stat), q.apply_stat_batch(cache, stack, np.nan, stat),
                q.apply_stat_weights(cache, stack[0], weights, np.nan, np.nan, stat),
                q.apply_stat_batch_weights(cache, stack, weights, np.nan, np.nan, stat))
    print("package    ", pkg.hexdigest())
    print("_quorvalis ", raw.hexdigest())


if __name__ == "__main__":
    main()
