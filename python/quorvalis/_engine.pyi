"""The package's native engine: coverage building and per-zone reductions, with the
interpreter lock released and the work spread over threads.

Threads split the work in three ways: :func:`build` hands out the geometries; the streaming
statistics (mean, sum, ...) give each thread a run of whole blocks of 8 steps when a stack has
at least one block per thread, else a contiguous range of zones of about equal window area;
the order and class statistics hand out zones as threads come free. Each zone and step keeps
its own accumulator and its cells' order either way, so every result is bit for bit the same
for any ``threads`` value. ``threads=0`` means every core the process may run on.

Statistics (``w`` is a cell's weight: its coverage fraction, times the weights raster where
one is given; a cell counts only when its value is valid, i.e. not nodata, NaN or infinite):

- mean, sum, count, min, max, variance, stdev, weighted_mean, weighted_sum: as in
  ``_quorvalis`` (coverage-weighted; weights enter only the two weighted ones), bit for bit
  the same on the same float64 data.
- median, quantile: the smallest value ``v`` whose cumulative weight (cells with values
  <= ``v``) reaches ``q`` times the zone's total weight. ``q = 0`` is the smallest value,
  ``q = 1`` the largest, the median is ``q = 0.5`` (the lower middle value on an even
  split; no interpolation). Equal values form one group.
- range: max - min.
- majority, minority: the value with the largest / smallest total weight; on equal totals
  the smallest value.
- variety: the number of distinct values.
- frac: for each class (distinct value of any zone, ``frac_classes``, ascending), its total
  weight divided by the zone's total weight; 0 where a zone lacks the class.
- nodata_count: the sum of coverage fractions of covered cells whose value is nodata, NaN
  or infinite (a fraction, like count).
- coverage: the sum of coverage fractions of the zone's cells inside the raster, whatever
  their values.

median, quantile, majority, minority, variety and frac use only cells with ``w > 0`` (a
negative, zero, NaN or nodata weight leaves the cell out); values are compared as float64.
A zone with nothing to count gives NaN, or 0 for sum, count, weighted_sum, nodata_count,
coverage and variety.
"""

from collections.abc import Sequence

import numpy

STATS: tuple[str, ...]
# name -> {"streams", "count_like", "unitless", "order"}: reduced by streaming (its states
# can be carried); 0 for an empty zone; does not keep the raster's units; needs the whole
# window.
STAT_INFO: dict[str, dict[str, bool]]

class Coverage:
    """Coverage fractions of every zone over one grid; made by :func:`build`, immutable
    and safe to share between threads."""

    @property
    def n_zones(self) -> int: ...
    @property
    def heap_bytes(self) -> int:
        """Bytes the zones' fractions and their row runs hold."""
    @property
    def rows(self) -> int: ...
    @property
    def cols(self) -> int: ...
    @property
    def grid(self) -> tuple[float, float, float, float, float, float]:
        """(xmin, ymin, xmax, ymax, dx, dy) as given to build()."""
    @property
    def method(self) -> str: ...
    def window(self, zone: int) -> tuple[int, int, numpy.ndarray]:
        """(row offset, col offset, read-only float32 (h, w) fractions) of one zone, a new
        array with +0.0 outside the cells each row stores; h or w is 0 for a zone that
        covers no cell. Offsets are grid cells; the window may reach
        past the grid's last row or column. IndexError outside [0, n_zones)."""
    def csr(self, threads: int = 0) -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]:
        """(data float32, indices int64, indptr int64) of the n_zones x (rows * cols)
        coverage matrix; column r * cols + c is grid cell (r, c). Only cells inside the grid
        with a fraction > 0 are listed, so the matrix times a raster's values is "sum"."""

def build(
    wkb: Sequence[bytes],
    xmin: float,
    ymin: float,
    xmax: float,
    ymax: float,
    dx: float,
    dy: float,
    method: str = "exact",
    threads: int = 0,
    min_coverage: float = 0.0,
) -> Coverage:
    """One zone per WKB Polygon or MultiPolygon, in input order; a geometry that covers no
    cell keeps its slot with an empty window. ``method`` is "exact", "center" or
    "all_touched" (1.0 for every cell whose exact fraction is > 0). Cells whose fraction
    (for all_touched the exact one) is below ``min_coverage`` (in [0, 1]) get 0. A bad
    geometry k raises ValueError "zone k: <reason>" with ``err.zone = k`` and
    ``err.reason`` (the first bad one in input order)."""

def proven_valid(wkb: Sequence[bytes], threads: int = 0) -> numpy.ndarray:
    """(n,) bool: True where the WKB value is a Polygon without holes (or a MultiPolygon of
    one such part) whose ring is proven simple: closed, finite, without repeated points, and
    no two edges meeting (touching included) but consecutive ones at their shared vertex,
    decided with exact orientations. Such a zone is a valid polygon. False means only "not
    proven" (holes, several parts, a repeated point, a ring too tangled to check in a few
    times its size, or a value that does not decode): the general validity test decides.
    The work and memory are linear in the zones' vertices."""

def from_windows(
    grid: tuple[float, float, float, float, float, float],
    method: str,
    row_offsets: numpy.ndarray,
    col_offsets: numpy.ndarray,
    shapes: numpy.ndarray,
    fractions: numpy.ndarray,
) -> Coverage:
    """The coverage whose windows (:meth:`Coverage.window`) these are: int64 offsets (n,),
    int64 shapes (n, 2) (0 x 0 for an empty zone), float32 fractions of every window
    concatenated row-major. ValueError for anything that does not agree."""

def reduce(
    cov: Coverage,
    raster: numpy.ndarray,
    stats: Sequence[str],
    *,
    weights: numpy.ndarray | None = None,
    nodata: float | int | None = None,
    weights_nodata: float | int | None = None,
    quantiles: Sequence[float] = (),
    origin: tuple[int, int] = (0, 0),
    threads: int = 0,
    carry: dict[str, numpy.ndarray] | None = None,
) -> dict[str, numpy.ndarray]:
    """Statistics per zone of a (rows, cols) raster or a (T, rows, cols) stack.

    The raster and weights (2-D, the raster's rows and cols) may be float32, float64 or any
    8- to 64-bit (unsigned) integer type in native byte order, with any strides; they are
    read in place. ``origin`` is the grid (row, col) of ``raster[..., 0, 0]``; the block must
    lie inside the grid, and window cells outside it are skipped. ``nodata`` None skips only
    NaN and infinities; an integer nodata is compared exactly in the raster's type, a float
    one within 1e-6.

    Returns one float64 array per requested name: (n_zones,) for a raster, (T, n_zones) for
    a stack; "quantile" adds a trailing axis of len(quantiles), "frac" one of classes, and
    then "frac_classes" holds the class values.

    ``carry``: each zone's streaming states, carried from the blocks before and on to the
    next. For every streaming statistic computed ("range" computes "min" and "max"), the dict
    holds a writable C-ordered float64 array (T, n_zones, width) under its name, read before
    the block and written after it; one of zeros (a zone's start) is put in where it is
    missing. A zone's window reduced in bands of whole rows, top to bottom, each band given
    the dict of the one before, gives the whole window's results bit for bit (the last
    band's); other tiles give them to rounding. The order statistics carry nothing.
    T is 1 for a 2-D raster; the width is each statistic's own (1 to 3), as the arrays put
    in for missing names show. The states' contents are the engine's own (min and max keep
    a flag among them), so an array is either new zeros or what an earlier call left in it.
    No two of the arrays may share memory, nor any with the raster or the weights
    (ValueError). A call that raises after its reductions began may have advanced the
    states: to try again, start from a copy taken before.
    """
