"""Throughput of apply_stat_batch "mean" on a (365, 1000, 1000) stack with 400 basins,
against the NumPy code a careful user would write for the same numbers: per basin, mask
the window's nodata, then two matrix products with the flattened coverage window.

Both are timed in this run (best of a few repetitions) and reported as covered
cell-steps per second; the ratio is the claim. The stack takes about 3 GB of memory.
"""

import struct
import sys
import time

import numpy as np

import _quorvalis

T, ROWS, COLS = 365, 1000, 1000
TILE = 50  # 20 x 20 square basins tile the grid
NODATA = -9999.0
REPEATS = 3


def square_wkb(x0, y0, x1, y1):
    ring = [(x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0)]
    return struct.pack("<BIII", 1, 3, 1, len(ring)) + b"".join(struct.pack("<dd", x, y) for x, y in ring)


def basins():
    """Squares offset by a quarter cell, so every cell centre is clearly in or out."""
    out = []
    for r0 in range(0, ROWS, TILE):
        for c0 in range(0, COLS, TILE):
            x0, x1 = c0 + 0.25, c0 + TILE + 0.25
            y1, y0 = ROWS - r0 - 0.25, ROWS - r0 - TILE - 0.25  # row 0 is at the top (y = ROWS)
            out.append(((x0, y0, x1, y1), (r0, c0)))
    return out


def centre_window(box):
    """(row slice, col slice, coverage) of the cells whose centres lie inside box."""
    x0, y0, x1, y1 = box
    xs, ys = np.arange(COLS) + 0.5, ROWS - (np.arange(ROWS) + 0.5)
    cols = np.flatnonzero((xs > x0) & (xs < x1))
    rows = np.flatnonzero((ys > y0) & (ys < y1))
    rs, cs = slice(rows[0], rows[-1] + 1), slice(cols[0], cols[-1] + 1)
    return rs, cs, np.ones((rs.stop - rs.start, cs.stop - cs.start))


def numpy_mean(stack, windows):
    out = np.empty((stack.shape[0], len(windows)))
    for k, (rs, cs, cov) in enumerate(windows):
        sub = stack[:, rs, cs].reshape(stack.shape[0], -1)
        valid = np.isfinite(sub) & (np.abs(sub - NODATA) > 1e-06)
        w = cov.ravel()
        den = valid @ w
        num = np.where(valid, sub, 0.0) @ w
        with np.errstate(invalid="ignore", divide="ignore"):
            out[:, k] = np.where(den > 0, num / den, np.nan)
    return out


def best(fn):
    times, result = [], None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def main():
    rng = np.random.default_rng(365)
    stack = np.empty((T, ROWS, COLS))
    for t in range(T):  # step by step, to keep the temporaries small
        rng.random(out=stack[t])
        stack[t] *= 300.0
        stack[t][rng.random((ROWS, COLS)) < 0.02] = NODATA

    shapes = basins()
    cache = _quorvalis.build_cache(
        [square_wkb(*box) for box, _ in shapes], list(range(len(shapes))),
        0.0, 0.0, float(COLS), float(ROWS), 1.0, 1.0, method="center")
    windows = [centre_window(box) for box, _ in shapes]
    cell_steps = T * sum(int(np.count_nonzero(cov)) for _, _, cov in windows)

    t_fast, fast = best(lambda: _quorvalis.apply_stat_batch(cache, stack, NODATA, "mean"))
    t_numpy, slow = best(lambda: numpy_mean(stack, windows))
    agree = fast.shape == slow.shape and np.allclose(fast, slow, rtol=1e-12, atol=0.0, equal_nan=True)

    print(f"batch: {cache.n_basins} basins, ({T}, {ROWS}, {COLS}), \"mean\", {cell_steps} covered cell-steps")
    print(f"  apply_stat_batch  {t_fast * 1e3:9.1f} ms  {cell_steps / t_fast / 1e6:8.1f} M cell-steps/s")
    print(f"  NumPy baseline    {t_numpy * 1e3:9.1f} ms  {cell_steps / t_numpy / 1e6:8.1f} M cell-steps/s")
    print(f"  speed-up {t_numpy / t_fast:.2f}x, results {'agree' if agree else 'DIFFER'}")
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
