"""Coverage files: a built coverage saved once and read back without building it again.

Layout of a file (all integers little-endian):

- 8 bytes ``QVCOVER\\n``;
- uint64: length of the header;
- the header, UTF-8 JSON: ``format`` ("quorvalis-coverage"), ``version`` (1), ``grid`` (xmin,
  ymin, xmax, ymax, dx, dy), ``crs``, ``lonlat``, ``method``, ``min_coverage`` (the floor
  below which fractions were dropped when built; 0, or absent in older files, for none),
  ``n_zones``, ``ids``, and
  ``sections``: name -> [offset from the start of the data, byte length, NumPy dtype, shape];
- the data: the sections back to back, followed by 4 bytes, the CRC-32 of the data.

Sections: ``wkb_lengths`` int64[n] (-1 for a zone without geometry) and ``wkb`` (the zones'
WKB joined); for the p zones with a geometry, ``present`` int64[p] (their positions),
``row_offsets`` and ``col_offsets`` int64[p], ``shapes`` int64[p, 2] and ``fractions``, the
float32 windows of every present zone, row-major, joined; ``ids`` when the ids are numbers.
"""

from __future__ import annotations

import json
import os
import struct
import tempfile
import zlib

import numpy as np
import pandas as pd

from . import _engine
from ._grid import Grid, check_same_crs
from ._raster import grid_of
from ._safeio import output_mode

MAGIC = b"QVCOVER\n"
FORMAT = "quorvalis-coverage"
VERSION = 1
_ALIGN = 8  # sections start on 8-byte boundaries so that they can be viewed in place


def write(cov, path) -> None:
    """Writes ``cov`` to ``path`` atomically: a temporary file in the same folder, then a
    rename, so a reader never sees half a file."""
    path = os.fspath(path)
    n = len(cov._wkb)
    handles = cov._engine_handles
    present = np.asarray(cov._present, np.int64)
    offsets = np.zeros((len(present), 2), np.int64)
    shapes = np.zeros((len(present), 2), np.int64)
    windows = []
    at = 0
    for h in handles:
        for k in range(h.n_zones):
            r0, c0, f = h.window(k)
            offsets[at] = r0, c0
            shapes[at] = f.shape
            windows.append(np.ascontiguousarray(f, np.float32).ravel())
            at += 1
    lengths = np.array([-1 if w is None else len(w) for w in cov._wkb], np.int64)
    sections = {
        "wkb_lengths": lengths,
        "wkb": np.frombuffer(b"".join(w for w in cov._wkb if w is not None), np.uint8),
        "present": present,
        "row_offsets": np.ascontiguousarray(offsets[:, 0]),
        "col_offsets": np.ascontiguousarray(offsets[:, 1]),
        "shapes": shapes,
        "fractions": np.concatenate(windows) if windows else np.zeros(0, np.float32),
    }
    ids, id_values = _encode_ids(cov.ids)
    if id_values is not None:
        sections["ids"] = id_values
    table, chunks, end = {}, [], 0
    for name, arr in sections.items():
        arr = np.ascontiguousarray(arr)
        if arr.dtype.byteorder == ">":
            arr = arr.astype(arr.dtype.newbyteorder("<"))
        table[name] = [end, arr.nbytes, arr.dtype.str, list(arr.shape)]
        pad = -arr.nbytes % _ALIGN
        chunks.append(arr.tobytes() + b"\0" * pad)
        end += arr.nbytes + pad
    header = json.dumps({
        "format": FORMAT, "version": VERSION, "grid": list(cov.grid.astuple()),
        "crs": cov.grid.crs, "lonlat": bool(cov.grid.lonlat), "zones_crs": cov.crs,
        "method": cov.method, "min_coverage": cov.min_coverage, "n_zones": n, "ids": ids, "sections": table,
    }).encode()
    header += b" " * (-(len(MAGIC) + 8 + len(header)) % _ALIGN)
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".", suffix=".part", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(MAGIC + struct.pack("<Q", len(header)) + header)
            crc = 0
            for chunk in chunks:
                out.write(chunk)
                crc = zlib.crc32(chunk, crc)
            out.write(struct.pack("<I", crc))
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, output_mode(path))
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def read(cls, path, raster=None):
    """The coverage saved in ``path``; with ``raster`` (or a Grid), checks that it is on the
    coverage's grid and CRS."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        blob = bytearray(f.read())  # writable, so the engine may take its arrays as they are
    header, data = _parse(blob, path)
    try:
        grid = Grid(*header["grid"], crs=header["crs"], lonlat=header["lonlat"])
        method, n = header["method"], int(header["n_zones"])
        floor = float(header.get("min_coverage", 0.0))
        if not 0.0 <= floor <= 1.0:
            raise ValueError(f"min_coverage {floor!r} outside [0, 1]")
        arrays = {name: _section(data, *spec) for name, spec in header["sections"].items()}
        ids = _decode_ids(header["ids"], arrays.get("ids"), n)
        lengths = arrays["wkb_lengths"]
        ends = np.cumsum(np.maximum(lengths, 0))
        raw = bytes(arrays["wkb"])
        if len(lengths) != n or (len(ends) and ends[-1] != len(raw)):
            raise ValueError("the zones' WKB does not add up")
        wkb = [None if ln < 0 else raw[e - ln:e] for ln, e in zip(lengths.tolist(), ends.tolist(),
                                                                     strict=True)]
        present = arrays["present"]
        shapes = arrays["shapes"].reshape(-1, 2)
        if (shapes < 0).any() or int(shapes.prod(axis=1).sum()) != arrays["fractions"].size:
            raise ValueError("the windows do not add up to the fractions stored")
        if len(present) and (present.min() < 0 or present.max() >= n
                             or (np.diff(present) <= 0).any()):
            raise ValueError("zone positions out of order or out of range")
    except (KeyError, TypeError, ValueError, IndexError) as err:
        raise ValueError(f"{path}: not a readable coverage file ({err})") from None
    if raster is not None:
        other = grid_of(raster)
        if other is None:
            raise ValueError("a bare array carries no grid: pass a Grid or a raster with one")
        if not other.matches(grid):
            raise ValueError(f"the coverage in {path} is on {grid!r}, not on the raster's "
                             f"grid {other!r}")
        check_same_crs(grid.crs, other.crs, "the raster")
    cov = cls.__new__(cls)
    cov.ids, cov.grid, cov.method, cov.min_coverage = ids, grid, method, floor
    cov.crs = header.get("zones_crs") or grid.crs
    cov.threads = 0
    cov._prepared = None
    cov._table = None  # a file keeps no zone columns
    cov._wkb = wkb
    cov._present = np.asarray(present, np.intp)
    from_windows = getattr(_engine, "from_windows", None)
    if from_windows is None:
        # An engine that cannot take fractions as they are: the coverage is built again
        # from the WKB when first used, which gives the same fractions, only slower.
        cov._handles = None
    elif not len(present):
        cov._handles = []
    else:
        cov._handles = [from_windows(grid.astuple(), method, arrays["row_offsets"],
                                     arrays["col_offsets"], shapes, arrays["fractions"])]
    return cov


def _parse(blob: bytearray, path: str):
    head = len(MAGIC) + 8
    if len(blob) < head or bytes(blob[:len(MAGIC)]) != MAGIC:
        raise ValueError(f"{path} is not a coverage file")
    (size,) = struct.unpack_from("<Q", blob, len(MAGIC))
    if head + size + 4 > len(blob):
        raise ValueError(f"{path}: truncated coverage file")
    try:
        header = json.loads(bytes(blob[head:head + size]))
    except ValueError:
        raise ValueError(f"{path}: corrupt coverage file (unreadable header)") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise ValueError(f"{path} is not a coverage file")
    if header.get("version") != VERSION:
        raise ValueError(f"{path} is a version {header.get('version')!r} coverage file; this "
                         f"quorvalis reads version {VERSION}")
    data = memoryview(blob)[head + size:-4]
    (crc,) = struct.unpack_from("<I", blob, len(blob) - 4)
    if zlib.crc32(data) != crc:
        raise ValueError(f"{path}: corrupt or truncated coverage file (checksum mismatch)")
    return header, data


def _section(data, offset, nbytes, dtype, shape):
    dtype = np.dtype(dtype)
    count = int(np.prod(shape, dtype=np.int64))
    if offset < 0 or nbytes != count * dtype.itemsize or offset + nbytes > len(data):
        raise ValueError("a section lies outside the file")
    return np.frombuffer(data, dtype, count, offset).reshape(shape)


def _encode_ids(ids: pd.Index):
    """The ids as JSON, plus an array when they are numbers or dates (kept with their dtype)."""
    if isinstance(ids, pd.RangeIndex):
        return {"kind": "range", "name": ids.name,
                "range": [ids.start, ids.stop, ids.step]}, None
    if isinstance(ids.dtype, np.dtype) and ids.dtype.kind in "biufmM":
        return {"kind": "array", "name": ids.name}, np.asarray(ids)
    values = ids.tolist()
    odd = next((v for v in values if not isinstance(v, (str, int, float, bool))), None)
    if odd is not None:
        raise ValueError(f"zone ids must be numbers, dates or strings to be saved, not "
                         f"{type(odd).__name__}")
    return {"kind": "list", "name": ids.name, "values": values}, None


def _decode_ids(spec, values, n) -> pd.Index:
    kind = spec["kind"]
    if kind == "range":
        ids = pd.RangeIndex(*spec["range"], name=spec["name"])
    elif kind == "array":
        ids = pd.Index(values.copy(), name=spec["name"])
    else:
        ids = pd.Index(spec["values"], name=spec["name"])
    if len(ids) != n:
        raise ValueError(f"{len(ids)} ids for {n} zones")
    return ids
