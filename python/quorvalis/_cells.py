"""A table of covered cells: one row per (zone, cell), with the cell's place and value."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._raster import describe, is_lazy

_DEFAULT_ROWS = 1 << 22


def cells(cov, raster, *, weights=None, nodata=None, band=1, chunksize=None):
    """One row per covered cell of every zone: zone (id), row, col, x, y (the cell's centre),
    fraction, value (NaN where nodata, NaN or infinite) and, with ``weights``, weight. A
    stack adds its leading coordinates (e.g. ``time``) in long form: one row per cell and
    step. With ``chunksize`` an iterator of DataFrames of at most that many rows (whole
    steps of a cell stay together)."""
    from ._custom import csr
    from ._dask import _valid

    if is_lazy(raster):
        raise ValueError("cells() needs the raster in memory: compute it first")
    src = describe(raster, band, cov.grid)
    cov._check_grid(src, "raster")
    fractions, indices, indptr = csr(cov)
    nnz = len(indices)
    g = cov.grid
    rows, cols = g.shape
    zone = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr))
    r, c = np.divmod(indices, cols)
    (_, block), = src.blocks(np.iinfo(np.int64).max)
    flat = block.reshape(-1, rows * cols)
    nodata = src.nodata if nodata is None else nodata
    w = None
    if weights is not None:
        wr, wnodata = cov._weights(weights)
        wv = np.asarray(wr).ravel()
        w = np.where(_valid(wv, wnodata), wv.astype(np.float64), np.nan)
    lead = src.shape[:-2]
    steps = flat.shape[0] if lead else 1
    steps_index = _steps(src, lead)
    per = max(1, (chunksize or _DEFAULT_ROWS) // steps)

    def frames():
        for a in range(0, max(nnz, 1), per):
            sl = slice(a, min(a + per, nnz))
            idx = indices[sl]
            raw = flat[:, idx]
            val = np.where(_valid(raw, nodata), raw.astype(np.float64), np.nan)
            base = {"zone": np.asarray(cov.ids)[zone[sl]], "row": r[sl], "col": c[sl],
                    "x": g.xmin + (c[sl] + 0.5) * g.dx, "y": g.ymax - (r[sl] + 0.5) * g.dy,
                    "fraction": fractions[sl].astype(np.float64)}
            if w is not None:
                base["weight"] = w[idx]
            n = len(idx)
            if lead:  # long form: step-major, so each step's cells stay together
                out = {k: np.tile(v, steps) for k, v in base.items()}
                lead_cols = {k: np.repeat(v, n) for k, v in steps_index.items()}
                out = {**lead_cols, **out, "value": val.ravel()}
            else:
                out = {**base, "value": val[0]}
            yield pd.DataFrame(out).rename(columns={"zone": cov.ids.name or "zone"})

    if chunksize is not None:
        if chunksize < 1:
            raise ValueError(f"chunksize must be a positive number of rows, not {chunksize}")
        return frames()
    return pd.concat(list(frames()), ignore_index=True)


def _steps(src, lead):
    """The leading coordinates of every flattened step, as columns."""
    if not lead:
        return {}
    grids = np.meshgrid(*[np.arange(n) for n in lead], indexing="ij")
    out = {}
    for dim, pos in zip(src.lead_dims, grids, strict=True):
        coord = src.coords.get(dim)
        values = np.asarray(coord.values) if coord is not None else np.arange(lead[len(out)])
        out[dim] = values[pos.ravel()]
    return out
