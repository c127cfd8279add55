"""Engine arrays made into results: statistic names, zone ids, leading coordinates, units,
the classes of ``frac``, and what a zone that covers nothing gets (0 for counts, else NaN).

Every runner (in memory, window by window, on Dask, the derived statistics) labels its
arrays here, so a result looks the same whichever path made it.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pandas as pd

from ._plan import COUNT_LIKE, UNITLESS


def engine_names(stats, weighted):
    """With weights, a mean is the weighted mean: that is what the weights are for."""
    return ["weighted_mean" if weighted and s == "mean" else s for s in stats]


def empty_value(name: str) -> float:
    """The value of statistic ``name`` for a zone that covers no cell."""
    return 0.0 if name in COUNT_LIKE else np.nan


def filled(arr: np.ndarray, name: str, zone_axis: int, n: int) -> np.ndarray:
    """An array shaped like ``arr`` but with ``n`` zones, each holding ``empty_value``."""
    shape = list(arr.shape)
    shape[zone_axis] = n
    return np.full(shape, empty_value(name))


def spread(merged: dict, present: np.ndarray, n: int, zone_axis: int) -> dict:
    """Results of the zones at positions ``present`` placed among ``n`` zones; the others
    get ``empty_value``."""
    if len(present) == n:
        return merged
    out = {}
    for name, arr in merged.items():
        if name == "frac_classes":
            out[name] = arr
            continue
        full = filled(arr, name, zone_axis, n)
        full[(slice(None),) * zone_axis + (present,)] = arr
        out[name] = full
    return out


def concat(parts: list[dict], axis: int) -> dict:
    """Joins results of several blocks (or zone slices) along ``axis``; "frac" results are
    put on the union of their classes first."""
    if len(parts) == 1:
        return parts[0]
    out = {}
    classes = None
    if "frac_classes" in parts[0]:
        classes = np.unique(np.concatenate([p["frac_classes"] for p in parts]))
        out["frac_classes"] = classes
    for name in parts[0]:
        if name == "frac_classes":
            continue
        arrays = [p[name] for p in parts]
        if name == "frac":
            aligned = []
            for p, a in zip(parts, arrays, strict=True):
                full = np.zeros(a.shape[:-1] + (len(classes),))
                full[..., np.searchsorted(classes, p["frac_classes"])] = a
                # a zone with nothing to count stays NaN in every class, not 0 in new ones
                full[np.isnan(a).all(axis=-1) if a.shape[-1] else ...] = np.nan
                aligned.append(full)
            arrays = aligned
        out[name] = np.concatenate(arrays, axis=axis)
    return out


def label(results: dict, src, stats: Sequence[str], quantiles, ids: pd.Index, method: str,
          lazy: bool = False):
    """Zone ids, leading coordinates and attributes on the engine's arrays: a DataFrame for
    a 2-D raster, else a Dataset over (leading..., zone). A lazy 2-D result is a Dataset over
    ``zone`` (a DataFrame cannot be lazy)."""
    import xarray as xr

    if not src.lead_dims and not lazy:
        columns = {}
        for s in stats:
            columns.update(_columns(s, results[s], quantiles, results.get("frac_classes")))
        return pd.DataFrame(columns, index=ids)
    zone = ids.name or "zone"
    dims = src.lead_dims + ("zone",)
    coords = dict(src.coords)
    coords["zone"] = ("zone", np.asarray(ids), {"long_name": str(zone)})
    data_vars = {}
    for s in stats:
        arr, extra = results[s], ()
        if s == "quantile":
            extra, coords["q"] = ("q",), np.asarray(quantiles, float)
        elif s == "frac":
            extra, coords["class"] = ("class",), results["frac_classes"]
        attrs = {} if s in UNITLESS else dict(src.attrs)
        data_vars[s] = (dims + extra, arr, attrs)
    return xr.Dataset(data_vars, coords=coords,
                      attrs={"zonal_method": method, "source": src.name or ""})


def _columns(stat, arr, quantiles, classes):
    if stat == "quantile":
        return {f"quantile_{q:g}": arr[:, i] for i, q in enumerate(quantiles)}
    if stat == "frac":
        return {f"frac_{c:g}": arr[:, i] for i, c in enumerate(classes)}
    return {stat: arr}
