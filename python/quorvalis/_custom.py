"""Statistics beyond the engine's names: other libraries' spellings, statistics derived from
the engine's (cv, weighted variance, covered area, NaN count) and the caller's own functions.

Engine statistics are still computed by the engine in one pass. Statistics that need each
zone's values themselves (user functions, the weighted variance, the NaN count) gather them
through the coverage's CSR matrix with NumPy indexing: no Python loop over cells, one call
of a user function per zone and block of time steps.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

import numpy as np

from ._grid import cell_areas
from ._raster import describe, is_lazy

ALIASES = {"std": "stdev", "nodata": "nodata_count", "unique": "variety"}
DERIVED = ("cv", "weighted_variance", "weighted_stdev", "area", "nan")
_PERCENTILE = re.compile(r"percentile_(\d+(?:\.\d+)?)$")
_GATHERED = {"weighted_variance", "weighted_stdev", "nan"}


@dataclass
class Plan:
    """What a list of requested statistics asks of the engine, and what is made from it."""

    labels: list[str] = field(default_factory=list)  # output names, in the caller's order
    kinds: list[tuple] = field(default_factory=list)  # per label: (kind, payload)
    engine: list[str] = field(default_factory=list)
    quantiles: list[float] = field(default_factory=list)
    asked: int = 0  # the caller's quantiles come first; percentile_N's follow

    def need(self, name):
        if name not in self.engine:
            self.engine.append(name)

    @property
    def gathers(self) -> bool:
        return any(k in ("user", "gathered") for k, _ in self.kinds)


def plan_stats(stats, quantiles, weighted: bool, engine_stats) -> Plan | None:
    """None when every name is the engine's own (the plain path); else the plan.

    ``stats`` may be a name, a space-separated string of names, a list of names and
    callables, or a dict of {label: name or callable}."""
    if isinstance(stats, str):
        stats = stats.split() if " " in stats.strip() else [stats]
    if isinstance(stats, dict):
        items = list(stats.items())
    else:
        stats = list(stats)
        items = [(_label_of(s), s) for s in stats]
        if all(isinstance(s, str) and s in engine_stats for s in stats):
            return None
    plan = Plan(quantiles=[float(q) for q in quantiles], asked=len(quantiles))
    for label, s in items:
        if callable(s):
            plan.labels.append(str(label))
            plan.kinds.append(("user", s))
            continue
        if not isinstance(s, str):
            raise TypeError(f"a statistic is a name or a function, not {type(s).__name__}")
        name = ALIASES.get(s, s)
        if (m := _PERCENTILE.match(name)) is not None:
            q = float(m.group(1)) / 100.0
            if not 0.0 <= q <= 1.0:
                raise ValueError(f"{s!r}: a percentile lies in 0..100")
            if q not in plan.quantiles:
                plan.quantiles.append(q)
            plan.need("quantile")
            kind = ("percentile", q)
        elif name in engine_stats:
            plan.need(name)
            kind = ("engine", name)
        elif name == "cv":
            if weighted:
                kind = ("gathered", "cv")
            else:
                plan.need("stdev")
                plan.need("mean")
                kind = ("cv", None)
        elif name in ("weighted_variance", "weighted_stdev") and not weighted:
            base = "variance" if name == "weighted_variance" else "stdev"
            plan.need(base)
            kind = ("engine", base)
        elif name in _GATHERED:
            kind = ("gathered", name)
        elif name == "area":
            plan.need("coverage")  # gives the result's shape over the leading axes
            kind = ("area", None)
        else:
            raise ValueError(f"unknown statistic {s!r}; available: {', '.join(engine_stats)}, "
                             f"{', '.join(DERIVED)}, percentile_N, and the aliases "
                             f"{', '.join(ALIASES)}")
        plan.labels.append(str(label))
        plan.kinds.append(kind)
    if len(set(plan.labels)) != len(plan.labels):
        raise ValueError(f"statistics named twice: {plan.labels}")
    if not plan.engine:  # the engine still gives the result's shape and labels
        plan.need("coverage")
    return plan


def _label_of(s):
    if callable(s):
        return getattr(s, "__name__", None) or type(s).__name__
    return s


def run(plan: Plan, cov, raster, *, weights=None, nodata=None, band=1, affine=None,
        progress=False, as_numpy=False, max_fields=None, max_memory=None, max_classes=None):
    """``Coverage.stats`` for a plan: the engine's part, then the rest per block."""
    lazy = is_lazy(raster)
    src = raster if lazy else describe(raster, band, None if affine is not None else cov.grid,
                                       affine)
    base = plan.quantiles if "quantile" in plan.engine else ()
    asked = base[:plan.asked]
    got = cov.stats(src, plan.engine, weights=weights, nodata=nodata, quantiles=base,
                    band=band, affine=affine if lazy else None, progress=progress,
                    as_numpy=True, max_fields=max_fields, max_memory=max_memory,
                    **({} if max_classes is None else {"max_classes": max_classes}))
    named = {}
    if not plan.gathers:
        gathered = {}
    elif lazy:
        gathered = _gather_lazy(plan, cov, raster, weights, nodata, band, affine)
    else:
        gathered = _gather_all(plan, cov, src, weights, nodata, max_fields)
    for label, (kind, payload) in zip(plan.labels, plan.kinds, strict=True):
        if kind == "engine" and payload == "quantile":
            named[label] = got["quantile"][..., :plan.asked]
        elif kind == "engine":
            named[label] = got[payload]
        elif kind == "percentile":
            named[label] = got["quantile"][..., plan.quantiles.index(payload)]
        elif kind == "cv":
            with np.errstate(divide="ignore", invalid="ignore"):
                named[label] = got["stdev"] / got["mean"]
        elif kind == "area":
            named[label] = got["coverage"] * 0.0 + zone_areas(cov)
        else:
            named[label] = gathered[label]
    if "frac_classes" in got:
        named["frac_classes"] = got["frac_classes"]
    if as_numpy:
        return named
    labels = [("quantile" if k == "engine" and p == "quantile" else
               "frac" if k == "engine" and p == "frac" else lab)
              for lab, (k, p) in zip(plan.labels, plan.kinds, strict=True)]
    for lab, new in zip(plan.labels, labels, strict=True):
        if new != lab:  # quantile/frac keep their labelled axes under their own names
            named[new] = named.pop(lab)
    if lazy:
        src = describe(raster, band, None if affine is not None else cov.grid, affine)
        if not src.lead_dims:
            return cov.label(named, src, labels, asked, lazy=True)
    out = cov.label(named, src, labels, asked)
    return _fix_units(out, plan, labels, src, cov.grid)


def _fix_units(out, plan, labels, src, grid):
    if not hasattr(out, "data_vars"):
        return out
    for lab, (kind, payload) in zip(labels, plan.kinds, strict=True):
        if kind in ("user", "cv") or payload in ("cv", "nan"):
            out[lab].attrs = {}
        elif kind == "area":
            out[lab].attrs = {"units": area_units(grid)} if area_units(grid) else {}
        elif lab == "weighted_variance":  # like variance: the units squared, left unsaid
            out[lab].attrs = {}
    return out


def area_units(grid) -> str | None:
    """m2 on the sphere; the CRS's linear unit squared otherwise, where it can be told."""
    if grid.lonlat:
        return "m2"
    if grid.crs is None:
        return None
    try:
        import pyproj

        unit = pyproj.CRS.from_user_input(grid.crs).axis_info[0].unit_name
    except Exception:  # no pyproj, or a CRS it cannot read: leave the units unsaid
        return None
    return {"metre": "m", "meter": "m", "foot": "ft", "US survey foot": "us_survey_foot"}.get(
        unit, unit) + "2"


def zone_areas(cov) -> np.ndarray:
    """Covered area of each zone: fractions times cell areas, over cells inside the grid. On
    a longitude/latitude grid the cells' areas on the sphere (m²), else dx * dy in the CRS's
    units squared."""
    data, indices, indptr = csr(cov)
    g = cov.grid
    per_cell = data.astype(np.float64)
    if g.lonlat:
        per_cell = per_cell * cell_areas(g).ravel()[indices]
    else:
        per_cell = per_cell * (g.dx * g.dy)
    return _segment_sum(per_cell[None, :], indptr)[0]


# -- gathering each zone's values -------------------------------------------------------------


class _Gather:
    """Each zone's cells (from the coverage's CSR arrays) and their weights, and the
    gathered statistics of one block of fields."""

    def __init__(self, plan, cov, weights, nodata):
        from ._plan import valid as _valid

        self.fractions, self.indices, self.indptr = csr(cov)
        n = len(self.indptr) - 1
        self.owner = np.repeat(np.arange(n), np.diff(self.indptr))  # each listed cell's zone
        w = self.fractions.astype(np.float64)
        if weights is not None:
            wr, wnodata = cov.weights_on_grid(weights)
            wv = np.asarray(wr, np.float64).ravel()[self.indices]
            ok = _valid(np.asarray(wr).ravel()[self.indices], wnodata) & (wv > 0)
            w = np.where(ok, w * np.where(ok, wv, 0.0), 0.0)
        self.w, self.keep, self.nodata = w, w > 0, nodata
        self.cells = cov.grid.shape[0] * cov.grid.shape[1]
        self.wanted = [(lab, kind, payload) for lab, (kind, payload)
                       in zip(plan.labels, plan.kinds, strict=True) if kind in ("user", "gathered")]

    def block(self, block, stack: bool) -> dict:
        """{label: (fields, zones)} of a (rows, cols) or (fields, rows, cols) block."""
        from ._plan import valid as _valid

        raw = block.reshape(-1, self.cells)[:, self.indices]  # (fields, listed cells)
        valid = _valid(raw, self.nodata)
        values = np.where(valid, raw.astype(np.float64), np.nan)
        out = {}
        for lab, kind, payload in self.wanted:
            if kind == "user":
                out[lab] = _call_user(payload, lab, values, valid, self.w, self.keep,
                                      self.indptr, stack)
            else:
                out[lab] = _builtin(payload, raw, values, valid, self.w, self.fractions,
                                    self.owner, self.indptr)
        return out


def _gather_all(plan, cov, src, weights, nodata, max_fields):
    nodata = src.nodata if nodata is None else nodata
    gather = _Gather(plan, cov, weights, nodata)
    rows, cols = cov.grid.shape
    if max_fields is None:
        max_fields = max(1, (64 << 20) // max(rows * cols * 8, 1))
    lead = src.shape[:-2]
    parts = [gather.block(block, bool(lead)) for _, block in src.blocks(max_fields)]
    n = len(cov)
    out = {}
    for lab, _, _ in gather.wanted:
        arr = np.concatenate([p[lab] for p in parts], axis=0)  # (steps, zones)
        out[lab] = arr.reshape(tuple(lead) + (n,)) if lead else arr[0]
    return out


def _gather_lazy(plan, cov, raster, weights, nodata, band, affine):
    """The gathered statistics of a Dask-backed raster: one task per time chunk, which must
    hold the whole grid."""
    da = __import__("dask.array", fromlist=["array"])
    from ._raster import _numeric

    src = describe(raster, band, None if affine is not None else cov.grid, affine)
    cov.check_grid(src, "raster")
    data = src.data.data if hasattr(src.data, "dims") else src.data
    if not hasattr(data, "dask"):
        data = da.asarray(data)
    if len(data.chunks[-2]) * len(data.chunks[-1]) > 1:
        raise ValueError("user functions, 'nan' and weighted variances need each zone's "
                         "cells in one chunk, but the raster is chunked along its spatial "
                         "axes; rechunk it to whole fields first, e.g. "
                         "raster.chunk({y: -1, x: -1}) with the names of its y/x dimensions")
    gather = _Gather(plan, cov, weights, src.nodata if nodata is None else nodata)
    lead, n = data.ndim - 2, len(cov)
    out = {}
    for lab, _, _ in gather.wanted:
        def one(block, lab=lab):
            res = gather.block(_numeric(block), lead > 0)[lab]
            return res.reshape(block.shape[:-2] + (n,))
        out[lab] = da.map_blocks(one, data, drop_axis=[lead, lead + 1] if lead else [0, 1],
                                 new_axis=[lead] if lead else [0], dtype=np.float64,
                                 chunks=data.chunks[:-2] + ((n,),))
    return out


def _segment_sum(x, indptr):
    """Per-zone sums of (steps, nnz) along the cells: (steps, zones), 0 for a zone without
    cells (reduceat over the non-empty zones' starts, whose segments then end where the
    zone's cells do)."""
    n = len(indptr) - 1
    out = np.zeros((x.shape[0], n))
    full = np.flatnonzero(np.diff(indptr) > 0)
    if full.size:
        out[:, full] = np.add.reduceat(x, indptr[full], axis=1)
    return out


def csr(cov):
    """(fractions float32, cell indices, indptr) of the coverage, without SciPy."""
    handles, n = cov._engine_handles, len(cov._wkb)
    data, indices, counts, done = [], [], np.zeros(n, np.int64), 0
    for h in handles:
        d, i, p = h.csr()
        data.append(d)
        indices.append(i)
        counts[cov._present[done:done + h.n_zones]] = np.diff(p)
        done += h.n_zones
    indptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    if not data:
        return np.zeros(0, np.float32), np.zeros(0, np.int64), indptr
    return np.concatenate(data), np.concatenate(indices), indptr


def _builtin(name, raw, values, valid, w, fractions, owner, indptr):
    if name == "nan":
        isnan = np.isnan(raw.astype(np.float64)) if raw.dtype.kind == "f" else \
            np.zeros(raw.shape, bool)
        return _segment_sum(isnan * fractions.astype(np.float64), indptr)
    ww = np.where(valid, w, 0.0)
    x = np.where(valid, values, 0.0)
    total = _segment_sum(ww, indptr)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = _segment_sum(ww * x, indptr) / total
        resid = x - mean[:, owner]
        var = _segment_sum(ww * np.where(valid, resid * resid, 0.0), indptr) / total
        var[total <= 0] = np.nan
        if name == "weighted_variance":
            return var
        if name == "weighted_stdev":
            return np.sqrt(var)
        return np.sqrt(var) / mean  # cv with weights


def _call_user(fn, label, values, valid, w, keep, indptr, stack):
    """One call per zone: 2-D rasters give the zone's valid values and their weights (1-D);
    stacks give (steps, cells) values, NaN where invalid, and the cells' weights."""
    n = len(indptr) - 1
    steps = values.shape[0]
    out = np.full((steps, n), np.nan)
    for k in range(n):
        a, b = indptr[k], indptr[k + 1]
        sel = keep[a:b]
        if stack:
            v, ww = values[:, a:b][:, sel], w[a:b][sel]
            if ww.size == 0:
                continue
        else:
            ok = sel & valid[0, a:b]
            v, ww = values[0, a:b][ok], w[a:b][ok]
            if v.size == 0:
                continue
        try:
            res = np.asarray(fn(v, ww), dtype=np.float64)
        except Exception as err:
            err.add_note(f"in the statistic {label!r}, called for zone {k}")
            raise
        if res.ndim == 0 or res.shape == (steps,):
            out[:, k] = res
        else:
            raise ValueError(f"statistic {label!r} returned shape {res.shape} for zone {k}; "
                             f"expected a number{' or one per step' if stack else ''} "
                             f"({steps},)")
    return out
