"""The command line: ``quorvalis stats ZONES RASTER [options]``."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys

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
(nothing is written then).
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
    s.add_argument("--band",
                   help="band number of a GeoTIFF ('all' for every band; required when it has "
                        "several), or variable name of a NetCDF")
    s.add_argument("--weights", help="'area' for true cell areas on a lon/lat grid, or a "
                                     "weights raster file; makes 'mean' a weighted mean")
    s.add_argument("--nodata", type=float, help="nodata value, overriding the file's")
    s.add_argument("--quantiles", help="comma-separated q in [0, 1] for the quantile statistic")
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
        quantiles = [float(q) for q in args.quantiles.split(",")] if args.quantiles else ()
        from ._results import GEO_FORMATS

        geo = bool(args.output) and os.path.splitext(args.output)[1].lower() in GEO_FORMATS
        cols = [c.strip() for c in args.include_cols.split(",")] if args.include_cols else None
        result = zonal_stats(args.zones, args.raster, [s.strip() for s in args.stats.split(",")],
                             id=args.id, nodata=args.nodata, weights=args.weights,
                             method=args.method, band=band, quantiles=quantiles,
                             progress=_show_progress(), max_memory=args.max_memory,
                             invalid="fix" if args.fix_invalid else "raise",
                             include_cols=cols, include_geom=geo, layer=args.layer,
                             max_classes=args.max_classes)
        if args.output:
            write_result(result, args.output)
        else:
            frame = result if hasattr(result, "to_csv") else result.to_dataframe()
            frame.to_csv(sys.stdout)
    except KeyboardInterrupt:
        return 130
    except Interrupted as stop:
        return 128 + stop.signum
    except Exception as err:  # bad input of any kind: one line, never a traceback
        text = str(err).splitlines()[0] if str(err) else type(err).__name__
        print(f"quorvalis: error: {text}", file=sys.stderr)
        return 2
    finally:
        stack.close()
    return 0


def _show_progress() -> bool:
    if not sys.stderr.isatty():
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


if __name__ == "__main__":
    sys.exit(main())
