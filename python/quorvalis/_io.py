"""Results out: tables and datasets written whole or not at all."""

from __future__ import annotations

import os
import tempfile

import pandas as pd

from ._results import GEO_FORMATS, to_cf, write_geo
from ._safeio import checkpoint, file_size, output_mode, write_error
from ._util import optional_import

FORMATS = {".csv": "CSV", ".parquet": "Parquet", ".nc": "NetCDF", **GEO_FORMATS}


def write_result(result, path: str) -> None:
    """Writes a DataFrame or Dataset to ``path`` in the format its extension names. The file
    appears only once it is complete: it is written beside its destination and renamed."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise ValueError(f"cannot tell the output format of {path!r}: use one of "
                         f"{', '.join(FORMATS)}")
    if ext in GEO_FORMATS:
        return write_geo(result, path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise FileNotFoundError(f"no such directory for the output: {directory}")
    fd, tmp = tempfile.mkstemp(prefix=".quorvalis-", suffix=ext, dir=directory)
    os.close(fd)
    try:
        if ext == ".nc":
            to_cf(result).to_netcdf(tmp)
        elif ext == ".parquet":
            optional_import("pyarrow", "io")
            _as_frame(result).to_parquet(tmp)
        else:
            _as_frame(result).to_csv(tmp)
        checkpoint()  # a signal that the writer swallowed: the file is not put in place
        os.chmod(tmp, output_mode(path))
        os.replace(tmp, path)
    except BaseException as err:
        size = file_size(tmp)
        os.unlink(tmp)
        failure = write_error(err, path, tmp, size)
        if failure is err:
            raise
        raise failure from None


def _as_frame(result) -> pd.DataFrame:
    if hasattr(result, "geometry") and isinstance(result, pd.DataFrame):  # a table keeps no shapes
        return pd.DataFrame(result.drop(columns=result.geometry.name))
    return result if isinstance(result, pd.DataFrame) else result.to_dataframe()
