"""Zones checked before any fraction is built: invalid polygons and repeated ids.

An invalid polygon (a self-crossing ring, a hole outside its shell, holes that overlap) has
no single area: the engine would weight its cells by some answer, silently. So by default
such zones are refused, and ``invalid="fix"`` repairs them with ``shapely.make_valid``,
keeping only the polygonal parts of the repaired geometry.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import shapely

from . import _engine
from ._util import threaded

INVALID = ("raise", "fix")
_LISTED = 5  # invalid zones or repeated ids named in an error


def check_invalid_option(invalid: str) -> None:
    if invalid not in INVALID:
        raise ValueError(f"invalid must be 'raise' or 'fix', not {invalid!r}")


def validated(wkb: list[bytes | None], ids: pd.Index, invalid: str = "raise",
              parsed: np.ndarray | None = None, threads: int = 0) -> list[bytes | None]:
    """The zones' WKB with every invalid polygon refused (``"raise"``) or repaired
    (``"fix"``). Most zones are one ring that the engine proves simple, hence valid, in a
    pass over its edges; the rest take one vectorised validity test, shared among
    ``threads`` threads (0: every core). Only invalid zones are touched, and a repaired
    zone's WKB is a new object. ``parsed``: the geometries behind ``wkb`` where known (None
    elsewhere), not parsed again."""
    check_invalid_option(invalid)
    present = np.fromiter((w is not None for w in wkb), bool, len(wkb))
    where = np.flatnonzero(present)
    if not len(where):
        return wkb
    where = where[~_engine.proven_valid([wkb[k] for k in where], threads=threads)]  # the rest
    geoms = np.empty(len(where), dtype=object)
    if parsed is not None:
        geoms[:] = parsed[where]
    todo = np.flatnonzero(~np.fromiter((isinstance(g, shapely.Geometry) for g in geoms), bool, len(geoms)))
    if len(todo):
        geoms[todo] = shapely.from_wkb([wkb[where[i]] for i in todo])
    bad = ~threaded(shapely.is_valid, geoms, threads)
    if not bad.any():
        return wkb
    if invalid == "raise":
        first = where[bad][:_LISTED]
        reasons = shapely.is_valid_reason(geoms[bad][:_LISTED])
        listed = "; ".join(f"zone {k} (id {ids[k]!r}): {r}" for k, r in zip(first, reasons, strict=True))
        more = f" and {bad.sum() - len(first)} more" if bad.sum() > len(first) else ""
        raise ValueError(f"{bad.sum()} invalid polygon zone{'s' if bad.sum() > 1 else ''}: {listed}{more}; "
                         "repair them with invalid='fix' (--fix-invalid on the command line), "
                         "which applies shapely.make_valid, or fix them at the source")
    out = list(wkb)
    for k, g in zip(where[bad], shapely.make_valid(geoms[bad]), strict=True):
        out[k] = _polygonal_wkb(g)
    return out


def _polygonal_wkb(g) -> bytes | None:
    """The polygonal parts of a repaired geometry (lines and points from collapsed rings
    cover no area), or None when nothing areal is left."""
    polys = [p for p in shapely.get_parts(g) if p.geom_type in ("Polygon", "MultiPolygon")]
    polys = [q for p in polys for q in shapely.get_parts(p) if not q.is_empty]
    if not polys:
        return None
    return shapely.to_wkb(shapely.MultiPolygon(polys), output_dimension=2, byte_order=1)


def check_unique_ids(ids: pd.Index) -> None:
    """Repeated ids would label two zones' rows alike, and selecting by id would silently
    give one of them or both: refuse them, naming the repeats. A missing id (NaN, None)
    labels a row nobody can select or join on: refused too."""
    missing = np.flatnonzero(pd.isna(ids))
    if len(missing):
        listed = ", ".join(str(k) for k in missing[:_LISTED])
        more = f" and {len(missing) - _LISTED} more" if len(missing) > _LISTED else ""
        raise ValueError(f"{len(missing)} zone id{'s are' if len(missing) > 1 else ' is'} missing "
                         f"(NaN or None), at zone position{'s' if len(missing) > 1 else ''} "
                         f"{listed}{more}; give every zone an id, or pass id= another column")
    if ids.is_unique:
        return
    repeated = ids[ids.duplicated()].unique()
    listed = ", ".join(map(repr, list(repeated[:_LISTED])))
    more = f" and {len(repeated) - _LISTED} more" if len(repeated) > _LISTED else ""
    raise ValueError(f"zone ids must be unique; repeated: {listed}{more}; pass id= a column "
                     "of unique values, or reset the index (zones.reset_index(drop=True))")
