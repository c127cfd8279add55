"""How zonal statistics of any size are cut into work: windows of the raster, each read once
with the zones it holds, under a memory budget.

A zone's window is the grid cells under its bounds, padded by one cell and clipped to the
grid. Zones are ordered along a Z-order curve of their window centres (in units of the
raster's blocks, so neighbours share blocks) and packed greedily into groups: a group's window
is the union of its zones' windows rounded out to whole blocks, and a zone joins the current
group while the window's values plus the group's fractions stay within the budget (and the
window within the size :func:`window_cells` gives). Each group is one task; a task holds
every window of its zones whole, so the engine reduces it exactly as it would the whole
raster. A zone whose own window does not fit is cut into block-aligned tiles, bands of
whole rows wherever one fits the budget, taken top to bottom, each continuing what the tiles
above gave: the engine's streaming states (its ``carry``) and the order statistics' sums
(:class:`OrderParts`). Bands see the cells in the window's own order, so they give the
whole window's results bit for bit, in a local loop or in a chain of Dask tasks alike.
A task's window is read block by block (:class:`BlockReader`): only
the blocks its zones touch, each block once per pass.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field

import numpy as np

from . import _engine
from ._safeio import checkpoint

FRACTION_BYTES = 4  # the engine keeps one float32 fraction per window cell
DEFAULT_BLOCK = (256, 256)
DEFAULT_CELLS = DEFAULT_BLOCK[0] * DEFAULT_BLOCK[1]
# What the engine's table says of each statistic, the one place the package learns it:
# - order: needs all of a zone's window at once (an order statistic, or a count of distinct
#   values, cannot be put together from those of its parts);
# - count_like: counts rather than measures, so 0 (not NaN) for a zone that covers nothing;
# - unitless: the raster's units do not apply to it.
_INFO = dict(_engine.STAT_INFO)
WHOLE_WINDOW = tuple(s for s, f in _INFO.items() if f["order"])
COUNT_LIKE = frozenset(s for s, f in _INFO.items() if f["count_like"])
UNITLESS = frozenset(s for s, f in _INFO.items() if f["unitless"])
_UNITS = {"": 1, "b": 1, "k": 10**3, "kb": 10**3, "m": 10**6, "mb": 10**6, "g": 10**9,
          "gb": 10**9, "t": 10**12, "tb": 10**12, "kib": 1 << 10, "mib": 1 << 20,
          "gib": 1 << 30, "tib": 1 << 40}


@dataclass(frozen=True)
class Task:
    """One window of the raster, read once: grid rows and columns, and the positions of the
    zones reduced on it. ``part``: the window is one tile of a single zone cut into tiles."""

    rows: slice
    cols: slice
    zones: np.ndarray
    part: bool = False

    @property
    def cells(self) -> int:
        return (self.rows.stop - self.rows.start) * (self.cols.stop - self.cols.start)


@dataclass
class Plan:
    """Tasks in the order they run; zones in no task (empty, or off the grid) keep their
    rows with NaN, or 0 for counts. ``split``: zones cut into tiles, with the memory their
    whole window would need."""

    tasks: list[Task]
    n_zones: int
    split: dict[int, int] = field(default_factory=dict)
    windows: np.ndarray | None = None  # each zone's window, as :func:`zone_windows` gives it
    block: tuple[int, int] = DEFAULT_BLOCK  # the blocks the tasks' windows are made of
    # Rows and columns of the first block that lie before the grid: block (i, j) covers grid
    # rows [i * bh - phase[0], (i + 1) * bh - phase[0]), and columns likewise.
    phase: tuple[int, int] = (0, 0)

    @property
    def placed(self) -> np.ndarray:
        """Zone positions in the order the tasks give their results (tiles: once)."""
        seen = [t.zones for t in self.tasks if not t.part]
        seen += [np.asarray([k], np.intp) for k in self.split]
        return np.concatenate(seen).astype(np.intp) if seen else np.zeros(0, np.intp)

    @property
    def unplaced(self) -> np.ndarray:
        mask = np.ones(self.n_zones, bool)
        mask[self.placed] = False
        return np.flatnonzero(mask)


def parse_memory(value) -> int:
    """Bytes from a number or text such as "2GB", "512 MiB" (None: the default budget)."""
    if value is None:
        return default_budget()
    if isinstance(value, str):
        m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+)\s*([a-zA-Z]*)\s*", value)
        if not m or m.group(2).lower() not in _UNITS:
            raise ValueError(f"max_memory must be bytes or text like '2GB', not {value!r}")
        value = float(m.group(1)) * _UNITS[m.group(2).lower()]
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"max_memory must be bytes or text like '2GB', not {value!r}")
    if not value > 0 or not np.isfinite(value):
        raise ValueError(f"max_memory must be positive, got {value!r}")
    return int(value)


def check_min_coverage(value) -> float:
    """The coverage floor as a float in [0, 1]; TypeError or ValueError naming it."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"min_coverage must be a number in [0, 1], not {value!r}")
    if not 0.0 <= float(value) <= 1.0:
        raise ValueError(f"min_coverage must lie in [0, 1], got {value!r}")
    return float(value)


def default_budget() -> int:
    """A quarter of the memory available now, at most 1 GiB."""
    try:
        avail = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        avail = 4 << 30
    return int(max(64 << 20, min(1 << 30, avail // 4)))


def zone_windows(bounds: np.ndarray, grid) -> np.ndarray:
    """(n, 4) int64 [r0, r1, c0, c1] of each zone's window from its (n, 4) bounds (NaN for a
    zone without a geometry), padded by one cell and clipped to the grid; r0 == r1 for zones
    that are missing, empty or off the grid."""
    b = np.asarray(bounds, dtype=np.float64).reshape(-1, 4)
    rows, cols = grid.shape
    ok = np.isfinite(b).all(axis=1)
    b = np.where(ok[:, None], b, 0.0)
    with np.errstate(invalid="ignore", over="ignore"):
        r0 = np.floor((grid.ymax - b[:, 3]) / grid.dy) - 1
        r1 = np.ceil((grid.ymax - b[:, 1]) / grid.dy) + 1
        c0 = np.floor((b[:, 0] - grid.xmin) / grid.dx) - 1
        c1 = np.ceil((b[:, 2] - grid.xmin) / grid.dx) + 1
    w = np.stack([np.clip(r0, 0, rows), np.clip(r1, 0, rows), np.clip(c0, 0, cols),
                  np.clip(c1, 0, cols)], axis=1).astype(np.int64)
    empty = ~ok | (w[:, 0] >= w[:, 1]) | (w[:, 2] >= w[:, 3])
    w[empty] = 0
    return w


def _morton(y: np.ndarray, x: np.ndarray) -> np.ndarray:
    """Z-order keys of non-negative integer coordinates below 2**31."""
    def spread(v):
        v = v.astype(np.uint64) & np.uint64(0xFFFFFFFF)
        for shift, mask in ((16, 0x0000FFFF0000FFFF), (8, 0x00FF00FF00FF00FF),
                            (4, 0x0F0F0F0F0F0F0F0F), (2, 0x3333333333333333),
                            (1, 0x5555555555555555)):
            v = (v | (v << np.uint64(shift))) & np.uint64(mask)
        return v
    return spread(y) | (spread(x) << np.uint64(1))


WINDOW_BYTES = 32 << 20  # the values a window holds, when its cells are not set otherwise


def window_cells(windows: np.ndarray, grid_shape, block_shape, value_bytes: int = 8) -> int:
    """The cells of the window that a pass is sized for: 32 MiB of values at
    ``value_bytes`` per cell (all the fields, as stored), but at least 16 blocks of the
    file's layout, 16 x 256 x 256 cells, and the largest zone's window, and at most the
    grid. A window much larger only costs the faulting-in of its memory and caches missed;
    one much smaller, a task's overhead many times over. For a stack, many fields per pass
    over such windows mean fewer passes, each of which reads blocks and builds fractions
    again, and a layout that interleaves the fields (the bands of a GeoTIFF) is read once,
    not once per field."""
    bh, bw = DEFAULT_BLOCK if block_shape is None else block_shape
    w = np.asarray(windows, np.int64).reshape(-1, 4)
    largest = int(((w[:, 1] - w[:, 0]) * (w[:, 3] - w[:, 2])).max()) if len(w) else 0
    return max(1, min(grid_shape[0] * grid_shape[1],
                      max(16 * bh * bw, 16 * DEFAULT_CELLS, largest,
                          WINDOW_BYTES // max(1, value_bytes))))


def _round_out(r0, r1, c0, c1, block, shape):
    bh, bw = block
    return (r0 // bh * bh, min(-(-r1 // bh) * bh, shape[0]),
            c0 // bw * bw, min(-(-c1 // bw) * bw, shape[1]))


def plan(windows: np.ndarray, grid_shape, block_shape, budget_bytes: int,
         bytes_per_cell: int, bands: bool = False, window_cells: int | None = None,
         flips=(False, False)) -> Plan:
    """Tasks for zones with windows ``windows`` ((n, 4) [r0, r1, c0, c1], from
    :func:`zone_windows`) on a grid of ``grid_shape`` read in blocks of ``block_shape``
    (None: the raster has no layout of its own, blocks of any size will do). ``flips``: the
    file stores the rows (the columns) in the other order, so its blocks start at the
    grid's far edge, and a partial block comes first (see :attr:`Plan.phase`).

    A task's memory is its window's cells times ``bytes_per_cell`` (value bytes times the
    fields read at once) plus its zones' fractions. ValueError when the budget cannot hold
    even one block. Zones too large for the budget are listed in ``split`` and cut into
    tiles (see :func:`_tiles`), bands of whole rows where they fit; ``bands``: bands or a
    ValueError (for the order statistics, see :class:`OrderParts`). ``window_cells``: a group
    stops growing at this many cells even if the budget would hold more (a zone's own window
    may be larger): moderate windows stay in the caches, and a window's memory is faulted in
    only once while it is reused.
    """
    windows = np.asarray(windows, np.int64).reshape(-1, 4)
    n = len(windows)
    soft = block_shape is None  # no layout of its own: any block size will do
    bh, bw = (max(1, min(int(b), int(s))) for b, s in
              zip(DEFAULT_BLOCK if soft else block_shape, grid_shape, strict=True))
    per = bytes_per_cell + FRACTION_BYTES
    while soft and bh * bw * per > budget_bytes // 16 and bh * bw > 1:
        bh, bw = max(1, bh // 2), max(1, bw // 2)
    # Blocks much smaller than the default (a striped file's strips of a row or a few) are
    # taken a few at a time: one read, and one block of the plan, per strip would cost more
    # than the values.
    while not soft and bh * bw < DEFAULT_CELLS:
        th, tw = (bh, min(2 * bw, grid_shape[1])) if bw < DEFAULT_BLOCK[1] else \
            (min(2 * bh, grid_shape[0]), bw)
        if (th, tw) == (bh, bw) or th * tw * per > budget_bytes // 16:
            break
        bh, bw = th, tw
    block = (bh, bw)
    # The plan is made on the grid with `phase` rows and columns before it, which puts the
    # file's block edges on multiples of the block, and its tasks are then shifted back.
    phase = tuple((-int(s)) % b if f and not soft else 0
                  for s, b, f in zip(grid_shape, block, flips, strict=True))
    real_shape = tuple(int(s) for s in grid_shape)
    if any(phase):
        windows = windows + np.asarray([phase[0], phase[0], phase[1], phase[1]], np.int64)
        grid_shape = (real_shape[0] + phase[0], real_shape[1] + phase[1])
    one_block = bh * bw * (bytes_per_cell + FRACTION_BYTES)
    if budget_bytes < one_block:
        raise ValueError(f"max_memory={budget_bytes} cannot hold one {bh} x {bw} block of the "
                         f"raster and its fractions: max_memory= at least {one_block}")
    cap = grid_shape[0] * grid_shape[1] if window_cells is None else window_cells
    live = np.flatnonzero((windows[:, 1] > windows[:, 0]) & (windows[:, 3] > windows[:, 2]))
    w = windows[live]
    cy = (w[:, 0] + w[:, 1]) // 2 // bh
    cx = (w[:, 2] + w[:, 3]) // 2 // bw
    order = live[np.argsort(_morton(cy, cx), kind="stable")]
    tasks: list[Task] = []
    split: dict[int, int] = {}
    group: list[int] = []
    box = None
    frac = 0

    def close():
        if group:
            tasks.append(Task(slice(box[0], box[1]), slice(box[2], box[3]),
                              np.asarray(group, np.intp)))

    for k in order:
        r0, r1, c0, c1 = (int(v) for v in windows[k])
        own = (r1 - r0) * (c1 - c0) * FRACTION_BYTES
        alone = _round_out(r0, r1, c0, c1, block, grid_shape)
        need = (alone[1] - alone[0]) * (alone[3] - alone[2]) * bytes_per_cell + own
        if need > budget_bytes:
            split[int(k)] = need
            continue
        if group:
            u = _round_out(min(box[0], r0), max(box[1], r1), min(box[2], c0), max(box[3], c1),
                           block, grid_shape)
            cells = (u[1] - u[0]) * (u[3] - u[2])
            if cells * bytes_per_cell + frac + own <= budget_bytes and cells <= cap:
                group.append(int(k))
                box, frac = u, frac + own
                continue
            close()
        group, box, frac = [int(k)], alone, own
    close()
    for k in split:
        tasks += _tiles(int(k), windows[k], block, grid_shape, budget_bytes, bytes_per_cell,
                        bands=bands)
    if any(phase):
        pr, pc = phase
        tasks = [Task(slice(max(0, t.rows.start - pr), t.rows.stop - pr),
                      slice(max(0, t.cols.start - pc), t.cols.stop - pc), t.zones, t.part)
                 for t in tasks]
        windows = windows - np.asarray([pr, pr, pc, pc], np.int64)
    return Plan(tasks, n, split, windows, block, phase)


def _tiles(k, window, block, shape, budget, bytes_per_cell, bands=False) -> list[Task]:
    """Block-aligned tiles of zone ``k``'s window, each within the budget once the zone's
    fractions (built once for its whole window) are held, top to bottom: bands as wide as
    the window wherever one fits, so that its cells come in the window's own order (see
    :class:`OrderParts` and the engine's ``carry``), else narrower tiles. ``bands``: only
    bands will do."""
    r0, r1, c0, c1 = (int(v) for v in window)
    frac = (r1 - r0) * (c1 - c0) * FRACTION_BYTES
    bh, bw = block
    cap = (budget - frac) // bytes_per_cell  # cells of values a tile may hold
    if cap < bh * bw:
        need = frac + bh * bw * bytes_per_cell
        raise ValueError(f"zone {k}'s fractions ({r1 - r0} x {c1 - c0} cells) and one block of "
                         f"values do not fit max_memory={budget}: max_memory= at least {need}")
    R0, R1, C0, C1 = _round_out(r0, r1, c0, c1, block, shape)
    nbc = -(-(C1 - C0) // bw)
    band = cap >= bh * bw * nbc
    if bands and not band:
        need = frac + bh * bw * nbc * bytes_per_cell
        raise ValueError(f"zone {k}'s order statistics read its window ({r1 - r0} x {c1 - c0} "
                         f"cells) in bands of whole rows, and its fractions and one band of "
                         f"{bh} rows do not fit max_memory={budget}: max_memory= at least {need}")
    kc = nbc if band else min(nbc, max(1, cap // (bh * bw)))
    kr = max(1, cap // (bh * bw * kc))
    ys = list(range(R0, R1, bh * kr))
    xs = list(range(C0, C1, bw * kc))
    zone = np.asarray([k], np.intp)
    return [Task(slice(y, min(y + bh * kr, R1)), slice(x, min(x + bw * kc, C1)), zone, True)
            for y in ys for x in xs]


# -- reading the tasks' windows ---------------------------------------------------------------

class BlockReader:
    """The windows of a plan's tasks, in task order, read block by block from a raster with a
    block layout of its own: only the blocks that a zone of the task touches (the rest of the
    window is zeros, which no zone reads), each block once per pass, neighbours in a row in
    one read. A block that a later
    task needs too is kept for it while the budget has room beside the current task.

    ``on_block(values)`` sees every block as it is read (before any copy is kept). One
    reader serves every pass over a stack's steps (:meth:`start`): which blocks each task
    touches is worked out once. With ``buffers=2`` a window stays as it is while the next
    one is read (each overwrites the one before the last).
    """

    def __init__(self, src, plan: Plan, budget: int, on_block=None, buffers: int = 1):
        self.src, self.budget, self.on_block = src, budget, on_block
        self.plan = plan
        self.whole = src.block_shape is None  # no layout of its own: each window in one read
        self.bh, self.bw = plan.block
        self.pr, self.pc = plan.phase
        rows, cols = src.shape[-2:]
        self.shape = (rows, cols)
        self.nbc = -(-(cols + self.pc) // self.bw)
        self.touched = [np.zeros(0, np.int64) if self.whole else self._touched(t)
                        for t in plan.tasks]
        self.last = {}
        for i, ids in enumerate(self.touched):
            self.last.update(dict.fromkeys(ids.tolist(), i))
        self.spares = [None] * buffers  # the arrays the windows are put together in, in turn
        self.largest = max((t.cells for t in plan.tasks), default=0)
        self.turn = 0
        self.bytes_read = 0
        self.start(slice(None))

    def start(self, lead) -> BlockReader:
        """A pass over the steps ``lead``: no block of another pass is kept."""
        self.lead = lead
        self.kept: dict[int, np.ndarray] = {}
        self.free: dict[tuple, list[np.ndarray]] = {}  # arrays of blocks no longer kept
        self.held = 0  # bytes of the blocks' arrays, kept or free
        return self

    def _touched(self, task: Task) -> np.ndarray:
        """Ids (row-major over the raster's blocks) of the blocks that the task's zones'
        windows, cut to the task's window, touch."""
        w = self.plan.windows[task.zones]
        r0 = np.maximum(w[:, 0], task.rows.start) + self.pr  # counted from the first block
        r1 = np.minimum(w[:, 1], task.rows.stop) + self.pr
        c0 = np.maximum(w[:, 2], task.cols.start) + self.pc
        c1 = np.minimum(w[:, 3], task.cols.stop) + self.pc
        keep = (r1 > r0) & (c1 > c0)
        R, nr = self._blocks(task.rows, self.bh, self.pr)
        C, nc = self._blocks(task.cols, self.bw, self.pc)
        a0, a1 = r0[keep] // self.bh - R, -(-r1[keep] // self.bh) - R
        b0, b1 = c0[keep] // self.bw - C, -(-c1[keep] // self.bw) - C
        # every zone's rectangle of blocks marked at once: corners of a difference array
        d = np.zeros((nr + 1, nc + 1), np.int64)
        np.add.at(d, (a0, b0), 1)
        np.add.at(d, (a0, b1), -1)
        np.add.at(d, (a1, b0), -1)
        np.add.at(d, (a1, b1), 1)
        i, j = np.nonzero(d.cumsum(0).cumsum(1)[:nr, :nc])
        return (R + i) * self.nbc + (C + j)

    def window(self, i: int) -> np.ndarray:
        """Task ``i``'s window (rows, cols), or (fields, rows, cols) for a stack's steps.
        Neighbouring blocks of a row that are to be read are read in one call: a reader
        through xarray costs about a millisecond a call, whatever it reads."""
        task = self.plan.tasks[i]
        if self.whole or not len(self.touched[i]):
            return self._read(task.rows, task.cols)
        R0, C0 = task.rows.start, task.cols.start
        h, w = task.rows.stop - R0, task.cols.stop - C0
        R, nr = self._blocks(task.rows, self.bh, self.pr)
        C, nc = self._blocks(task.cols, self.bw, self.pc)
        touched = set(self.touched[i].tolist())
        current = task.cells * FRACTION_BYTES * len(self.spares)
        out = None
        into = getattr(self.src.reader, "into", None)
        if into is not None:  # the reader fills arrays of this type: every read lands in place
            shape = self.src.shape
            fields = () if len(shape) == 2 else \
                (len(range(shape[0])[self.lead]) * math.prod(shape[1:-2]),)
            out = self._buffer(fields + (h, w), into)

        def place(rs, cs, values):
            nonlocal out
            at = (Ellipsis, slice(rs.start - R0, rs.stop - R0), slice(cs.start - C0, cs.stop - C0))
            if out is None:
                out = self._buffer(values.shape[:-2] + (h, w), values.dtype)
            if not np.may_share_memory(values, out):  # not read in place
                out[at] = values

        for bid in touched & self.kept.keys():
            place(*self._cells(bid), self.kept[bid])
        for bi in range(R, R + nr):
            row = range(bi * self.nbc + C, bi * self.nbc + C + nc)
            j = 0
            while j < nc:
                if row[j] not in touched or row[j] in self.kept:
                    j += 1
                    continue
                k = j + 1
                while k < nc and row[k] in touched and row[k] not in self.kept:
                    k += 1
                rs, first = self._cells(row[j])
                cs = slice(first.start, self._cells(row[k - 1])[1].stop)
                into = None if out is None else \
                    out[..., rs.start - R0:rs.stop - R0, cs.start - C0:cs.stop - C0]
                values = self._read(rs, cs, into)
                place(rs, cs, values)
                for bid in row[j:k]:  # what a later window needs of it, kept while room
                    if self.last[bid] > i:
                        b = self._cells(bid)[1]
                        self._keep(bid, values[..., b.start - cs.start:b.stop - cs.start],
                                   self._spare_bytes() + current)
                j = k
        for bi in range(R, R + nr):  # the rest: zeros, which no zone reads
            for bid in range(bi * self.nbc + C, bi * self.nbc + C + nc):
                if bid not in touched:
                    rs, cs = self._cells(bid)
                    out[..., rs.start - R0:rs.stop - R0, cs.start - C0:cs.stop - C0] = 0
        for bid in touched:  # blocks no later task needs: their arrays hold later ones
            if self.last[bid] == i and bid in self.kept:
                done = self.kept.pop(bid)  # still counted in held
                self.free.setdefault((done.shape, done.dtype.str), []).append(done)
        return out

    @staticmethod
    def _blocks(cells: slice, b: int, phase: int):
        """The first block along an axis that grid ``cells`` touch, and how many they do."""
        first = (cells.start + phase) // b
        return first, -(-(cells.stop + phase) // b) - first

    def _cells(self, bid):
        bi, bj = divmod(bid, self.nbc)
        return (slice(max(0, bi * self.bh - self.pr), min((bi + 1) * self.bh - self.pr, self.shape[0])),
                slice(max(0, bj * self.bw - self.pc), min((bj + 1) * self.bw - self.pc, self.shape[1])))

    def _buffer(self, shape, dtype):
        """Arrays reused by every window of the pass, in turn: a new one per window would
        cost the faulting-in of its pages each time (most of a window's time when reads are
        fast). The window returned ``buffers`` calls before is overwritten."""
        n = int(np.prod(shape)) * np.dtype(dtype).itemsize
        k, self.turn = self.turn, (self.turn + 1) % len(self.spares)
        if self.spares[k] is None or self.spares[k].nbytes < n:
            self.spares[k] = None
            # room for the plan's largest window at once: each regrowth is fresh memory again
            largest = math.prod(shape[:-2]) * self.largest * np.dtype(dtype).itemsize
            self.spares[k] = np.empty(max(n, largest), np.uint8)
        return self.spares[k][:n].view(dtype).reshape(shape)

    def _spare_bytes(self) -> int:
        """The memory of the window arrays, each made (or to be made) as large as the
        largest one so far."""
        return len(self.spares) * max(s.nbytes for s in self.spares if s is not None)

    def _read(self, rows, cols, into=None):
        values = self.src.window(rows, cols, self.lead, into)
        checkpoint()
        self.bytes_read += values.nbytes
        if self.on_block is not None:
            self.on_block(values)
        return values

    def _keep(self, bid, values, current):
        """A copy of the block for a later task (a view would hold its read, or be
        overwritten): into the array of a block done with where there is one (fresh memory
        costs its faulting-in), else a new one while the budget has room."""
        spare = self.free.get((values.shape, values.dtype.str))
        if spare:
            self.kept[bid] = spare.pop()
            self.kept[bid][...] = values
        elif self.held + values.nbytes + current <= self.budget:
            self.kept[bid] = values.copy()
            self.held += values.nbytes  # kept or free, until the pass ends


# -- the tiles of a zone, carried in window order ------------------------------------------

class Carried:
    """A zone cut into tiles, taken top to bottom: what its tiles so far have given, the
    engine's streaming states (its ``carry``) and the order statistics' sums
    (:class:`OrderParts`). After the last tile, :meth:`results` are the whole window's."""

    def __init__(self, h, names):
        self.names = list(names)
        self.streaming = [n for n in names if n not in WHOLE_WINDOW]
        self.carry: dict = {}
        self.last: dict = {}  # the streaming statistics as of the last tile
        self.order = OrderParts(h.window(0)) if len(self.streaming) < len(names) else None

    def copy(self) -> Carried:
        """A copy that :meth:`add` may change without changing this one (a Dask task's
        argument stays as it was, should the task run again)."""
        other = object.__new__(Carried)
        other.names, other.streaming, other.last = self.names, self.streaming, self.last
        other.carry = {n: a.copy() for n, a in self.carry.items()}
        other.order = None if self.order is None else self.order.copy()
        return other

    def add(self, h, values, origin, *, nodata, weights, weights_nodata, quantiles, threads):
        """The next tile: ``values`` (rows, cols) or (fields, rows, cols) from grid cell
        ``origin``, ``h`` the zone's engine coverage."""
        if self.streaming:
            self.last = reduce_group(h, values, self.streaming, nodata=nodata, weights=weights,
                                     weights_nodata=weights_nodata, quantiles=quantiles,
                                     origin=origin, threads=threads, carry=self.carry)
        if self.order is not None:
            self.order.add(values, origin, nodata=nodata, weights=weights,
                           weights_nodata=weights_nodata)

    def results(self, quantiles, stack: bool) -> dict:
        """The statistics as the engine gives them for the whole window (``stack``: values
        of (fields, rows, cols))."""
        got = dict(self.last)
        if self.order is not None:
            got.update(self.order.results([n for n in self.names if n in WHOLE_WINDOW],
                                          quantiles, stack=stack))
        return got


class OrderParts:
    """The order statistics of one zone whose window is read in bands of whole rows, top to
    bottom: what the engine gives for the whole window, bit for bit.

    The engine gathers a zone's valid cells in window order (row by row), sums the weights
    of each distinct value in that order, and reads every order statistic off those sums
    and their running total over the values in ascending order. Here each band's cells, in
    the same order, are added one by one to their value's sum carried from the bands
    before (``np.add.at`` adds in order), so the sums are the same numbers, and so is all
    that is read off them.
    """

    def __init__(self, fractions):
        self.row0, self.col0, self.fractions = fractions  # the zone's whole window
        self.values: list[np.ndarray] = []  # per field, its distinct values, ascending
        self.sums: list[np.ndarray] = []  # and the summed weight of each

    def copy(self) -> OrderParts:
        """A copy that :meth:`add` may change without changing this one."""
        other = OrderParts((self.row0, self.col0, self.fractions))
        other.values, other.sums = list(self.values), list(self.sums)
        return other

    def add(self, block, origin, *, nodata, weights=None, weights_nodata=None):
        """One band: ``block`` (fields, rows, cols), or (rows, cols), of the grid from cell
        ``origin``; ``weights`` (rows, cols) on the same cells, or None."""
        values = block.reshape((-1,) + block.shape[-2:])
        while len(self.values) < values.shape[0]:
            self.values.append(np.zeros(0))
            self.sums.append(np.zeros(0))
        f = self.fractions
        r0, c0 = max(self.row0, origin[0]), max(self.col0, origin[1])
        r1 = min(self.row0 + f.shape[0], origin[0] + block.shape[-2])
        c1 = min(self.col0 + f.shape[1], origin[1] + block.shape[-1])
        if r1 <= r0 or c1 <= c0:
            return
        cells = (slice(r0 - origin[0], r1 - origin[0]), slice(c0 - origin[1], c1 - origin[1]))
        f = f[r0 - self.row0:r1 - self.row0, c0 - self.col0:c1 - self.col0]
        w = f.astype(np.float64)
        keep = f > 0
        if weights is not None:  # the engine's rule: fraction times weight, both valid, > 0
            x = np.asarray(weights)[cells]
            keep &= valid(x, weights_nodata)
            w = w * x.astype(np.float64)
        keep &= w > 0
        for t in range(values.shape[0]):
            v = values[t][cells]
            ok = keep & valid(v, nodata)
            x = v[ok].astype(np.float64) + 0.0  # as the engine keys them: -0.0 is 0.0
            if len(x):
                union = np.union1d(self.values[t], x)
                sums = np.zeros(len(union))
                sums[np.searchsorted(union, self.values[t])] = self.sums[t]
                np.add.at(sums, np.searchsorted(union, x), w[ok])
                self.values[t], self.sums[t] = union, sums

    def results(self, names, quantiles, stack: bool) -> dict:
        """The statistics ``names`` as the engine gives them for one zone: (1,) (``stack``:
        (fields, 1)), with a last axis for quantile and frac (and ``frac_classes``)."""
        qs = [0.5] * ("median" in names) + [float(q) for q in quantiles] * ("quantile" in names)
        rows = []
        for vals, sums in zip(self.values, self.sums, strict=True):
            cum = np.cumsum(sums)  # the running total over the values, in ascending order
            picked = [vals[min(int(np.searchsorted(cum, q * cum[-1], "left")), len(vals) - 1)]
                      if len(vals) else np.nan for q in qs]
            rows.append({
                "median": picked[0] if "median" in names else None,
                "quantile": picked[-len(quantiles):] if "quantile" in names and quantiles else [],
                "majority": vals[np.argmax(sums)] if len(vals) else np.nan,
                "minority": vals[np.argmin(sums)] if len(vals) else np.nan,
                "variety": float(len(vals)),
            })
        lead = (len(rows), 1) if stack else (1,)
        out = {}
        for name in names:
            if name == "quantile":
                out[name] = np.array([r[name] for r in rows], np.float64).reshape(
                    lead + (len(quantiles),))
            elif name == "frac":
                classes = np.unique(np.concatenate(self.values))
                share = np.zeros((len(rows), len(classes)))
                for t, (vals, sums) in enumerate(zip(self.values, self.sums, strict=True)):
                    if len(vals):
                        share[t, np.searchsorted(classes, vals)] = sums / np.cumsum(sums)[-1]
                    else:
                        share[t] = np.nan
                out["frac"] = share.reshape(lead + (len(classes),))
                out["frac_classes"] = classes
            else:
                out[name] = np.array([r[name] for r in rows], np.float64).reshape(lead)
        return out


def reduce_group(h, values: np.ndarray, names, *, nodata, weights, weights_nodata, quantiles,
                 origin, threads, carry=None) -> dict:
    """The statistics ``names`` of the zones of engine coverage ``h`` over one block of
    values (rows, cols) or (fields, rows, cols) whose first cell is the grid's ``origin``:
    what every runner does with a task. Nodata is matched exactly (see ``exact_nodata``).
    ``carry``: the zones' streaming states from the blocks before, updated in place (the
    engine's ``carry``)."""
    values, nodata = exact_nodata(values, nodata)
    if weights is not None:
        weights, weights_nodata = exact_nodata(np.asarray(weights), weights_nodata)
    return _engine.reduce(h, values, list(names), weights=weights, nodata=nodata,
                          weights_nodata=weights_nodata, quantiles=tuple(quantiles),
                          origin=tuple(origin), threads=threads, carry=carry)


def valid(block: np.ndarray, nodata) -> np.ndarray:
    """Cells the package counts: finite, and not equal to nodata in the raster's own type (a
    float nodata rounded to a float raster's type, as xarray's decoding and rasterio's masks
    compare it; against integers, only a whole number within the type's range excludes
    anything). NaN nodata excludes only the non-finite values."""
    if block.dtype.kind in "iu":
        nodata = _integer_nodata(block.dtype, nodata)
        return np.ones(block.shape, bool) if nodata is None else block != nodata
    ok = np.isfinite(block)
    nd = _float_nodata(block.dtype, nodata)
    return ok if nd is None else ok & (block != nd)


def _integer_nodata(dtype, nodata):
    """The integer an integer raster's cells must equal to be nodata, or None."""
    if nodata is None:
        return None
    if isinstance(nodata, (int, np.integer)):
        return int(nodata)
    f = float(nodata)
    if not np.isfinite(f) or f != np.rint(f):
        return None  # no integer cell equals it
    info = np.iinfo(dtype)
    return int(f) if info.min <= f <= info.max else None


def _float_nodata(dtype, nodata):
    """A float nodata as a float raster's cells hold it (None: nothing beyond NaN)."""
    if nodata is None or np.isnan(float(nodata)):
        return None
    nd = float(nodata)
    if abs(nd) <= np.finfo(dtype).max:
        nd = float(dtype.type(nd))
    return nd


def exact_nodata(block: np.ndarray, nodata):
    """The block and nodata to give the engine so that only cells equal to nodata, in the
    raster's own type, are left out. The engine's test allows 1e-6 around a float nodata,
    which loses valid cells of small quantities (a rate near 1e-5 with nodata 0): where a
    valid value lies that near, the block goes as a copy with NaN for its nodata cells."""
    if nodata is None:
        return block, None
    if block.dtype.kind in "iu":
        return block, _integer_nodata(block.dtype, nodata)
    if block.dtype.kind != "f":
        return block, nodata
    nd = _float_nodata(block.dtype, nodata)
    if nd is None or not np.isfinite(nd):
        return block, nodata
    # comparisons only, no float temporaries; a margin of twice the tolerance over-counts
    # at worst, which costs a copy, never a cell
    near = (block >= nd - 2e-6) & (block <= nd + 2e-6) & (block != nd)
    if not near.any():
        return block, nodata
    masked = np.where(block == nd, block.dtype.type(np.nan), block)
    return masked, None
