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
float32 windows of every present zone, row-major, joined (written last); ``ids`` when the
ids are numbers. A reader takes the fractions of the zones it needs from the file when it
needs them.
"""

from __future__ import annotations

import json
import os
import struct
import tempfile
import zlib
from dataclasses import dataclass

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


_CHUNK = 64 * 2**20  # bytes copied or checked at a time: a file of any size in bounded memory


def write(cov, path) -> None:
    """Writes ``cov`` to ``path`` atomically: a temporary file in the same folder, then a
    rename, so a reader never sees half a file. The fractions are taken a slice of zones at a
    time (built then, if the coverage was not) into a second temporary file, so a coverage
    larger than memory is written in bounded memory."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    present = np.asarray(cov.zones_present(), np.int64)
    offsets = np.zeros((len(present), 2), np.int64)
    shapes = np.zeros((len(present), 2), np.int64)
    lengths = np.array([-1 if w is None else len(w) for w in cov._wkb], np.int64)
    small = {
        "wkb_lengths": lengths,
        "wkb": np.frombuffer(b"".join(w for w in cov._wkb if w is not None), np.uint8),
        "present": present,
    }
    ids, id_values = _encode_ids(cov.ids)
    if id_values is not None:
        small["ids"] = id_values
    temporary = []
    try:
        fd, side = tempfile.mkstemp(prefix=".", suffix=".fractions.part", dir=folder)
        temporary.append(side)
        with os.fdopen(fd, "wb") as out:
            at = 0
            for _, h in cov.slices():
                for k in range(h.n_zones):
                    r0, c0, f = h.window(k)
                    offsets[at], shapes[at] = (r0, c0), f.shape
                    out.write(np.ascontiguousarray(f, "<f4").tobytes())
                    at += 1
        small["row_offsets"] = np.ascontiguousarray(offsets[:, 0])
        small["col_offsets"] = np.ascontiguousarray(offsets[:, 1])
        small["shapes"] = shapes
        table, chunks, end = {}, [], 0
        for name, arr in small.items():
            arr = np.ascontiguousarray(arr)
            if arr.dtype.byteorder == ">":
                arr = arr.astype(arr.dtype.newbyteorder("<"))
            table[name] = [end, arr.nbytes, arr.dtype.str, list(arr.shape)]
            chunks.append(arr.tobytes() + b"\0" * (-arr.nbytes % _ALIGN))
            end += len(chunks[-1])
        cells = int(shapes.prod(axis=1).sum())
        table["fractions"] = [end, 4 * cells, "<f4", [cells]]
        header = json.dumps({
            "format": FORMAT, "version": VERSION, "grid": list(cov.grid.astuple()),
            "crs": cov.grid.crs, "lonlat": bool(cov.grid.lonlat), "zones_crs": cov.crs,
            "method": cov.method, "min_coverage": cov.min_coverage, "n_zones": len(cov._wkb),
            "ids": ids, "sections": table,
        }).encode()
        header += b" " * (-(len(MAGIC) + 8 + len(header)) % _ALIGN)
        fd, tmp = tempfile.mkstemp(prefix=".", suffix=".part", dir=folder)
        temporary.append(tmp)
        with os.fdopen(fd, "wb") as out, open(side, "rb") as fractions:
            out.write(MAGIC + struct.pack("<Q", len(header)) + header)
            crc = 0
            for chunk in chunks:
                out.write(chunk)
                crc = zlib.crc32(chunk, crc)
            while chunk := fractions.read(_CHUNK):
                out.write(chunk)
                crc = zlib.crc32(chunk, crc)
            out.write(struct.pack("<I", crc))
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, output_mode(path))
        os.replace(tmp, path)
        temporary.remove(tmp)
    finally:
        for name in temporary:
            if os.path.exists(name):
                os.unlink(name)


def read(cls, path, raster=None):
    """The coverage saved in ``path``; with ``raster`` (or a Grid), checks that it is on the
    coverage's grid and CRS. Everything but the fractions is read at once, and the whole
    file's checksum checked, in bounded memory; the fractions stay in the file and are read
    for the zones that a window needs when it needs them, or all at once when the whole
    coverage is asked for."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        stat = _identity(os.fstat(f.fileno()))
        header, start, size = _parse(f, path)
        try:
            grid = Grid(*header["grid"], crs=header["crs"], lonlat=header["lonlat"])
            method, n = header["method"], int(header["n_zones"])
            floor = float(header.get("min_coverage", 0.0))
            if not 0.0 <= floor <= 1.0:
                raise ValueError(f"min_coverage {floor!r} outside [0, 1]")
            specs = dict(header["sections"])
            fractions = _extent(size, *specs.pop("fractions"), np.float32)
            arrays = {name: _section(f, start, size, *spec) for name, spec in specs.items()}
            ids = _decode_ids(header["ids"], arrays.get("ids"), n)
            lengths = arrays["wkb_lengths"]
            ends = np.cumsum(np.maximum(lengths, 0))
            raw = arrays["wkb"].tobytes()
            if len(lengths) != n or (len(ends) and ends[-1] != len(raw)):
                raise ValueError("the zones' WKB does not add up")
            wkb = [None if ln < 0 else raw[e - ln:e]
                   for ln, e in zip(lengths.tolist(), ends.tolist(), strict=True)]
            present = arrays["present"]
            shapes = arrays["shapes"].reshape(-1, 2)
            if (shapes < 0).any() or int(shapes.prod(axis=1).sum()) != fractions[1]:
                raise ValueError("the windows do not add up to the fractions stored")
            if len(present) and (present.min() < 0 or present.max() >= n
                                 or (np.diff(present) <= 0).any()):
                raise ValueError("zone positions out of order or out of range")
            if len(shapes) != len(present) or len(arrays["row_offsets"]) != len(present) \
                    or len(arrays["col_offsets"]) != len(present):
                raise ValueError("one window per zone with a geometry")
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
    cov._prepared = cov._prepared_bounds = cov._bounds = None
    cov._table = None  # a file keeps no zone columns
    cov._wkb = wkb
    cov._present = np.asarray(present, np.intp)
    cov._handles = None
    # An engine that cannot take fractions as they are builds the coverage again from the
    # WKB when first used, which gives the same fractions, only slower.
    cov._stored = Stored(path, grid.astuple(), method, arrays["row_offsets"],
                         arrays["col_offsets"], shapes, start + fractions[0], stat) \
        if hasattr(_engine, "from_windows") else None
    return cov


class Stored:
    """The fractions of a coverage file, read from it for the zones asked for."""

    def __init__(self, path, grid, method, row_offsets, col_offsets, shapes, offset, stat):
        self.path, self.grid, self.method, self.stat = path, grid, method, stat
        self.row_offsets, self.col_offsets, self.shapes = row_offsets, col_offsets, shapes
        sizes = shapes.prod(axis=1)
        self.starts = offset + 4 * np.concatenate([[0], np.cumsum(sizes)])

    def handle(self, at: np.ndarray):
        """The engine coverage of the zones at positions ``at`` (increasing) among those
        stored. Neighbours in the file are read together."""
        return self.part(at).handle()

    def part(self, at: np.ndarray) -> StoredPart:
        """What reading the zones at positions ``at`` (increasing) takes, and no more: a
        small object that a task elsewhere reads them with."""
        at = np.asarray(at, np.int64)
        return StoredPart(self.path, self.stat, self.grid, self.method,
                          _narrow(self.row_offsets[at]), _narrow(self.col_offsets[at]),
                          _narrow(self.shapes[at]), self.starts[at])


def _narrow(a: np.ndarray) -> np.ndarray:
    """Cell counts as int32 where they fit (half the bytes a task carries per zone)."""
    return a.astype(np.int32) if not a.size or int(a.max()) < 2**31 else a


@dataclass(frozen=True, eq=False)
class StoredPart:
    """Some zones of a coverage file: where their fractions lie in it, and their windows."""

    path: str
    stat: tuple
    grid: tuple
    method: str
    row_offsets: np.ndarray
    col_offsets: np.ndarray
    shapes: np.ndarray
    begins: np.ndarray  # where each zone's fractions start in the file

    def __len__(self) -> int:
        return len(self.begins)

    @property
    def ends(self) -> np.ndarray:
        return self.begins + 4 * self.shapes.astype(np.int64).prod(axis=1)

    def __dask_tokenize__(self):
        return ("quorvalis-stored", self.path, self.stat, self.begins.tobytes())

    def handle(self):
        """The engine coverage of these zones, read from the file; zones that follow each
        other in it are read in one piece."""
        ends = self.ends
        fractions = np.empty(int((ends - self.begins).sum()) // 4, "<f4")
        view = memoryview(fractions).cast("B")
        breaks = np.flatnonzero(self.begins[1:] != ends[:-1]) + 1
        done = 0
        with open(self.path, "rb") as f:
            if _identity(os.fstat(f.fileno())) != self.stat:  # checked when opened, not since
                raise ValueError(f"{self.path}: the coverage file changed after it was opened; "
                                 "open it again with Coverage.from_file")
            for a, b in zip(np.split(self.begins, breaks), np.split(ends, breaks),
                            strict=True) if len(self) else ():
                a, b = int(a[0]), int(b[-1])
                f.seek(a)
                if f.readinto(view[done:done + b - a]) != b - a:
                    raise ValueError(f"{self.path}: truncated coverage file")
                done += b - a
        wide = [np.ascontiguousarray(a, np.int64)
                for a in (self.row_offsets, self.col_offsets, self.shapes)]
        return _engine.from_windows(self.grid, self.method, *wide,
                                    fractions.astype(np.float32, copy=False))


def _identity(st) -> tuple:
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


def _parse(f, path: str):
    """The header, where the data starts and its size, once the data's checksum (read in
    pieces) is the one stored."""
    head = len(MAGIC) + 8
    total = os.fstat(f.fileno()).st_size
    first = f.read(head)
    if len(first) < head or first[:len(MAGIC)] != MAGIC:
        raise ValueError(f"{path} is not a coverage file")
    (size,) = struct.unpack_from("<Q", first, len(MAGIC))
    if head + size + 4 > total:
        raise ValueError(f"{path}: truncated coverage file")
    try:
        header = json.loads(f.read(size))
    except ValueError:
        raise ValueError(f"{path}: corrupt coverage file (unreadable header)") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise ValueError(f"{path} is not a coverage file")
    if header.get("version") != VERSION:
        raise ValueError(f"{path} is a version {header.get('version')!r} coverage file; this "
                         f"quorvalis reads version {VERSION}")
    start, data = head + size, total - head - size - 4
    crc, left = 0, data
    while left:
        chunk = f.read(min(_CHUNK, left))
        if not chunk:
            raise ValueError(f"{path}: truncated coverage file")
        crc = zlib.crc32(chunk, crc)
        left -= len(chunk)
    (stored,) = struct.unpack("<I", f.read(4))
    if crc != stored:
        raise ValueError(f"{path}: corrupt or truncated coverage file (checksum mismatch)")
    return header, start, data


def _extent(size, offset, nbytes, dtype, shape, expected):
    """(offset, count) of a section left in the file."""
    dtype = np.dtype(dtype)
    count = int(np.prod(shape, dtype=np.int64))
    if dtype != np.dtype(expected).newbyteorder("<") or offset < 0 \
            or nbytes != count * dtype.itemsize or offset + nbytes > size:
        raise ValueError("a section lies outside the file")
    return int(offset), count


def _section(f, start, size, offset, nbytes, dtype, shape):
    offset, count = _extent(size, offset, nbytes, dtype, shape, dtype)
    f.seek(start + offset)
    return np.frombuffer(f.read(nbytes), np.dtype(dtype), count).reshape(shape)


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
