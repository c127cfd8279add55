"""A table of covered cells: one row per (zone, cell), with the cell's place and value."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._bands import FIRST
from ._raster import describe, is_lazy

_DEFAULT_ROWS = 1 << 22


def cells(cov, raster, *, weights=None, nodata=None, band=FIRST, chunksize=None):
    """One row per covered cell of every zone: zone (id), row, col, x, y (the cell's centre),
    fraction, value (NaN where nodata, NaN or infinite) and, with ``weights``, weight. A
    stack adds its leading coordinates (e.g. ``time``) in long form: one row per cell and
    step, ordered by step, then zone, then cell. With ``chunksize`` an iterator of
    DataFrames of at most that many rows; a stack is then read a few steps at a time."""
    from ._custom import csr
    from ._plan import valid as _valid

    if is_lazy(raster):
        raise ValueError("cells() needs the raster in memory: compute it first")
    src = describe(raster, band, cov.grid)
    cov.check_grid(src, "raster")
    fractions, indices, indptr = csr(cov)
    nnz = len(indices)
    g = cov.grid
    rows, cols = g.shape
    zone = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr))
    r, c = np.divmod(indices, cols)
    nodata = src.nodata if nodata is None else nodata
    w = None
    if weights is not None:
        wr, wnodata = cov.weights_on_grid(weights)
        wv = np.asarray(wr).ravel()
        w = np.where(_valid(wv, wnodata), wv.astype(np.float64), np.nan)
    lead = src.shape[:-2]
    steps_index = _steps(src, lead)
    per_step = {"zone": np.asarray(cov.ids)[zone], "row": r, "col": c,
                "x": g.xmin + (c + 0.5) * g.dx, "y": g.ymax - (r + 0.5) * g.dy,
                "fraction": fractions.astype(np.float64)}
    if w is not None:
        per_step["weight"] = w[indices]
    limit = chunksize or _DEFAULT_ROWS
    # Blocks of whole steps, each at most about `limit` rows, so memory stays bounded by it.
    fields = max(1, limit // max(nnz, 1))

    def frames():
        done = 0
        for _, block in src.blocks(fields):
            raw = block.reshape(-1, rows * cols)[:, indices]  # (steps, cells)
            val = np.where(_valid(raw, nodata), raw.astype(np.float64), np.nan).ravel()
            t = raw.shape[0]
            cols_ = {k: v[done:done + t].repeat(nnz) for k, v in steps_index.items()}
            cols_.update({k: np.tile(v, t) for k, v in per_step.items()})
            cols_["value"] = val
            done += t
            for a in range(0, max(len(val), 1), limit):  # steps, then zones, then cells
                part = {k: v[a:a + limit] for k, v in cols_.items()}
                yield pd.DataFrame(part).rename(columns={"zone": cov.ids.name or "zone"})

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
