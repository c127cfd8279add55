"""The command line: ``quorvalis stats ZONES RASTER [options]``."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import warnings

from . import __version__
from ._coverage import METHODS, STATS
from ._custom import DERIVED

_DESCRIPTION = """\
Exact zonal statistics: every cell of RASTER weighted by the fraction of its area that each
zone of ZONES covers. Zones are read with geopandas (GeoPackage, Shapefile, GeoJSON, ...),
rasters with rasterio (GeoTIFF, ...) or xarray (NetCDF). Both must be in the same CRS.
"""

_EPILOG = """\
examples:
  quorvalis stats basins.gpkg dem.tif --stats mean,max --id HYBAS_ID -o out.csv
  quorvalis stats basins.gpkg t2m.nc --band t2m --weights area -o out.nc

Output goes to stdout as CSV without -o. Exit status: 0 on success, 2 on bad input
(nothing is written then), 130, 143 or 129 when stopped by SIGINT (Ctrl-C), SIGTERM or
SIGHUP, 141 when the reader of stdout goes away (e.g. `| head`).
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, like every other refusal of this command
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="quorvalis", description=_DESCRIPTION, epilog=_EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    s = sub.add_parser("stats", help="per-zone statistics of a raster",
                       description=_DESCRIPTION, epilog=_EPILOG,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    s.add_argument("zones", metavar="ZONES", help="vector file of Polygon/MultiPolygon zones")
    s.add_argument("raster", metavar="RASTER", help="raster file (GeoTIFF, NetCDF, ...)")
    s.add_argument("--stats", default="count,min,max,mean",
                   help=f"comma-separated statistics (default: %(default)s); "
                        f"available: {', '.join(STATS + DERIVED)}, percentile_N")
    s.add_argument("--id", help="column of ZONES holding the zone ids (default: row number)")
    s.add_argument("--method", choices=METHODS, default="exact",
                   help="exact: cells weighted by covered fraction; center: cells whose "
                        "centre is inside (default: %(default)s)")
    s.add_argument("--min-coverage", type=float, default=0.0, metavar="F",
                   help="leave out cells whose covered fraction is below F, in [0, 1] "
                        "(default: 0, every covered cell)")
    s.add_argument("--band",
                   help="band number of a GeoTIFF ('all' for every band; required when it has "
                        "several), or variable name of a NetCDF")
    s.add_argument("--weights", help="'area' for true cell areas on a lon/lat grid, or a "
                                     "weights raster file; makes 'mean' a weighted mean")
    s.add_argument("--nodata", type=float, help="nodata value, overriding the file's")
    s.add_argument("--quantiles", type=_quantiles, default=(),
                   help="comma-separated q in [0, 1] for the quantile statistic")
    s.add_argument("--max-memory", help="bytes of raster values and fractions held at once, "
                                        "e.g. 2GB (default: a quarter of the free memory, "
                                        "at most 1 GiB)")
    s.add_argument("--fix-invalid", action="store_true",
                   help="repair invalid polygons with shapely.make_valid instead of refusing them")
    s.add_argument("--include-cols", help="comma-separated columns of ZONES copied into the "
                                          "output")
    s.add_argument("--layer", help="layer of a ZONES file that holds several (a GeoPackage)")
    s.add_argument("--max-classes", type=int, default=10_000,
                   help="most distinct values 'frac' accepts, one column each "
                        "(default: %(default)s)")
    _run_options(s)
    s.add_argument("-o", "--output", help="output file: .csv, .parquet or .nc, or with the "
                                          "zones' geometry .gpkg, .fgb or .geoparquet "
                                          "(default: CSV on stdout)")
    return p


def main(argv: list[str] | None = None) -> int:
    """Runs the command line and returns its exit status (0, or 2 on bad input).

    Examples
    --------
    >>> main(["stats", "basins.gpkg", "dem.tif", "--stats", "mean", "-o", "out.csv"])  # doctest: +SKIP
    0
    """
    args = _parser().parse_args(argv)
    from ._safeio import Interrupted, check_output_path, signals_raise

    stack = contextlib.ExitStack()  # signal handlers, restored on the way out
    try:
        stack.enter_context(signals_raise())
        from ._coverage import zonal_stats
        from ._io import FORMATS, write_result

        if args.output and not any(args.output.lower().endswith(e) for e in FORMATS):
            raise ValueError(f"cannot tell the output format of {args.output!r}: use one of "
                             f"{', '.join(FORMATS)}")
        if args.output:
            check_output_path(args.output)  # before any work, not after it
        from ._bands import FIRST

        band = FIRST if args.band is None else int(args.band) if args.band.isdigit() else args.band
        quantiles = args.quantiles
        if args.quiet:
            stack.enter_context(warnings.catch_warnings())
            warnings.simplefilter("ignore")
        from ._results import GEO_FORMATS

        geo = bool(args.output) and os.path.splitext(args.output)[1].lower() in GEO_FORMATS
        cols = [c.strip() for c in args.include_cols.split(",")] if args.include_cols else None
        result = zonal_stats(args.zones, args.raster, [s.strip() for s in args.stats.split(",")],
                             id=args.id, nodata=args.nodata, weights=args.weights,
                             method=args.method, band=band, quantiles=quantiles,
                             progress=_show_progress(args), max_memory=args.max_memory,
                             threads=args.threads,
                             invalid="fix" if args.fix_invalid else "raise",
                             include_cols=cols, include_geom=geo, layer=args.layer,
                             max_classes=args.max_classes, min_coverage=args.min_coverage)
        if args.output:
            write_result(result, args.output)
        else:
            return _to_stdout(result)
    except KeyboardInterrupt:
        return 130
    except Interrupted as stop:
        return 128 + stop.signum
    except Exception as err:  # bad input of any kind: one line, never a traceback
        text = _misplaced(args.zones, args.raster, err) or _first_line(err)
        print(f"quorvalis: error: {text}", file=sys.stderr)
        return 2
    finally:
        stack.close()
    return 0


def _first_line(err: BaseException) -> str:
    return str(err).splitlines()[0] if str(err) else type(err).__name__


# -- options of the run -----------------------------------------------------------------------


def _run_options(s: argparse.ArgumentParser) -> None:
    s.add_argument("--threads", type=_count, default=0,
                   help="worker threads of the engine (default: 0, every core the process may use)")
    shown = s.add_mutually_exclusive_group()
    shown.add_argument("--progress", action="store_true",
                       help="show a progress bar on stderr (needs tqdm); by default one is "
                            "shown when stderr is a terminal and tqdm is installed")
    shown.add_argument("-q", "--quiet", action="store_true",
                       help="no progress bar and no warnings, only errors")


def _quantiles(text: str) -> tuple[float, ...]:
    out = []
    for part in text.split(","):
        try:
            q = float(part)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{part.strip()!r} is not a number: give q in [0, 1] separated by commas, "
                "e.g. 0.1,0.5,0.9") from None
        if not 0 <= q <= 1:
            raise argparse.ArgumentTypeError(f"{part.strip()} is not in [0, 1]: give q in "
                                             "[0, 1] separated by commas, e.g. 0.1,0.5,0.9")
        out.append(q)
    return tuple(out)


def _count(text: str) -> int:
    if not text.strip().isdigit():
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of 0 or more")
    return int(text)


def _show_progress(args) -> bool:
    if args.quiet:
        return False
    if args.progress:
        return True  # without tqdm: an error that names the extra to install
    if not sys.stderr.isatty():
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


def _to_stdout(result) -> int:
    """CSV on stdout. A reader that goes away early (``| head``) ends the run quietly with
    the status of a process stopped by SIGPIPE, 141, as other tools in a pipeline do."""
    frame = result if hasattr(result, "to_csv") else result.to_dataframe()
    try:
        frame.to_csv(sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        # what is still buffered would fail again at exit: let it go to /dev/null
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 141
    return 0


# -- which argument is which ------------------------------------------------------------------

_VECTOR_SUFFIXES = {".gpkg", ".shp", ".geojson", ".json", ".fgb", ".gml", ".kml", ".sqlite",
                    ".parquet", ".geoparquet", ".gdb", ".tab", ".mif"}
_RASTER_SUFFIXES = {".tif", ".tiff", ".vrt", ".nc", ".nc4", ".cdf", ".zarr", ".img", ".asc",
                    ".grib", ".grb", ".grb2", ".grib2", ".h5", ".hdf", ".hdf5", ".jp2", ".dem"}


def _misplaced(zones: str, raster: str, err: BaseException) -> str | None:
    """For a failure reading ZONES or RASTER, whether they are the other kind of file (the two
    swapped, say): a message saying which argument expects what, else None."""
    if zones not in str(err) and raster not in str(err):
        return None
    zones_raster, raster_vector = _kind_of(zones) == "raster", _kind_of(raster) == "vector"
    if zones_raster and raster_vector:
        return (f"ZONES {zones} is a raster and RASTER {raster} a vector file: the zones come "
                f"first, quorvalis stats {raster} {zones}")
    if zones_raster:
        return (f"ZONES {zones} is a raster; ZONES expects a vector file of Polygon zones "
                "(GeoPackage, Shapefile, GeoJSON, GeoParquet, ...)")
    if raster_vector:
        return (f"RASTER {raster} is a vector file; RASTER expects a raster (GeoTIFF, NetCDF, "
                "...), and the zones come first")
    return None


def _kind_of(path: str) -> str | None:
    """"vector" or "raster" for a file that is plainly one of them, else None."""
    if not os.path.exists(path):
        return None
    suffix = os.path.splitext(path)[1].lower()
    vector = raster = False
    with contextlib.suppress(Exception):
        import pyogrio

        vector = len(pyogrio.list_layers(path)) > 0
    with contextlib.suppress(Exception):
        import rasterio

        with rasterio.open(path) as src:
            raster = src.count > 0 or bool(src.subdatasets)
    if vector != raster:
        return "vector" if vector else "raster"
    if not vector:  # neither opens: the name may still tell
        return "vector" if suffix in _VECTOR_SUFFIXES else "raster" if suffix in _RASTER_SUFFIXES else None
    return None


if __name__ == "__main__":
    sys.exit(main())
