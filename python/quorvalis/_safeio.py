"""Failing loudly and losing nothing: files that cannot be read, outputs that cannot be
written, results too large for memory, and runs stopped by a signal."""

from __future__ import annotations

import errno
import functools
import math
import os
import resource
import signal
import stat
import tempfile
import threading
from contextlib import contextmanager

_FULL = {errno.ENOSPC, errno.EFBIG, getattr(errno, "EDQUOT", errno.ENOSPC)}


class Interrupted(BaseException):
    """SIGTERM or SIGHUP, raised in the main thread like KeyboardInterrupt is for SIGINT, so that
    every ``finally`` and cleanup runs before the process exits."""

    def __init__(self, signum: int):
        super().__init__(f"stopped by signal {signum}")
        self.signum = signum


# Signals that arrived during a watched run. Some readers (netCDF4) swallow the exception a
# handler raises inside them, so the handler also notes the signal here and the run stops at
# its next checkpoint: between the pieces of a read, the windows of a plan, before a rename.
_pending: list[int] = []
_file_limit_hits: list[int] = []  # SIGXFSZ: a write went past RLIMIT_FSIZE (and got EFBIG)
_STOPS = (signal.SIGTERM, getattr(signal, "SIGHUP", signal.SIGTERM))


def _noting(then):
    def handler(signum, frame):
        _pending.append(signum)
        then(signum, frame)

    handler.notes = True
    return handler


def _stop(signum, frame):
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Interrupted(signum)


def checkpoint() -> None:
    """Raises KeyboardInterrupt (SIGINT) or Interrupted (SIGTERM, SIGHUP) if such a signal
    arrived during a watched run and a library swallowed what its handler raised."""
    if _pending:
        signum = _pending[0]
        _pending.clear()
        _stop(signum, None)


def _main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


@contextmanager
def signals_raise():
    """The command line's handlers: SIGINT raises KeyboardInterrupt, SIGTERM and SIGHUP
    raise ``Interrupted``, so every ``finally`` and cleanup runs before the process exits;
    a file grown beyond RLIMIT_FSIZE gives an OSError (EFBIG), noted, rather than killing
    the process with a half-written file."""
    if not _main_thread():
        yield  # handlers belong to the main thread; elsewhere the defaults stay
        return
    handlers = {s: _noting(_stop) for s in (signal.SIGINT, *_STOPS)}
    handlers[signal.SIGXFSZ] = lambda signum, frame: _file_limit_hits.append(signum)
    old = {s: signal.signal(s, h) for s, h in handlers.items()}
    _pending.clear()
    _file_limit_hits.clear()
    try:
        yield
    finally:
        for s, h in old.items():
            signal.signal(s, h)
        _pending.clear()
        _file_limit_hits.clear()


@contextmanager
def watching_interrupts():
    """Long calls from Python: where SIGINT raises KeyboardInterrupt (Python's own handler),
    it is also noted, so that a Ctrl-C that a reader swallowed still stops the call at its
    next checkpoint. A handler of the caller's own, an ignored SIGINT, or a call outside the
    main thread are left as they are."""
    old = signal.getsignal(signal.SIGINT) if _main_thread() else None
    if old is not signal.default_int_handler:  # not ours to change, or already watched
        yield
        return
    signal.signal(signal.SIGINT, _noting(old))
    _pending.clear()
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)
        _pending.clear()


def watched(call):
    """``call`` run under :func:`watching_interrupts`."""
    @functools.wraps(call)
    def run(*args, **kwargs):
        with watching_interrupts():
            return call(*args, **kwargs)
    return run


@contextmanager
def naming_file(path, what: str = "file", only: tuple = (Exception,)):
    """Errors of the libraries that read ``path`` (truncated or corrupt files, a layer
    without what is needed) become one ValueError that names the file. ``only``: the kinds
    of error that mean the file is at fault (others pass through as they are)."""
    try:
        yield
    except (MemoryError, ImportError, FileNotFoundError):
        raise
    except only as err:
        text = _first_line(err)
        if err.__cause__ is not None and "previous exception" in text:  # rasterio's way
            text = _first_line(err.__cause__)
        where = os.fspath(path)
        if any(p in text for p in _DAMAGED):  # the readers' own words mean nothing to a user
            kind = _KINDS.get(os.path.splitext(where)[1].lower(), what)
            raise ValueError(f"cannot read the {what} {where}: not a readable {kind} (truncated "
                             "or corrupt, or another kind of file)") from None
        if where in text:
            raise ValueError(text) from None
        raise ValueError(f"cannot read the {what} {where}: {text}") from None


# What SQLite (GeoPackage), GDAL and NetCDF/HDF5 say of a file that is cut short or is not
# what its name says.
_DAMAGED = ("database disk image is malformed", "file is not a database",
            "not recognized as being in a supported file format", "NetCDF: HDF error",
            "NetCDF: Unknown file format", "NetCDF: Not a valid ID")
_KINDS = {".gpkg": "GeoPackage", ".shp": "Shapefile", ".geojson": "GeoJSON file",
          ".json": "GeoJSON file", ".fgb": "FlatGeobuf file", ".parquet": "Parquet file",
          ".geoparquet": "GeoParquet file", ".tif": "GeoTIFF", ".tiff": "GeoTIFF",
          ".nc": "NetCDF file", ".nc4": "NetCDF file"}


def _first_line(err: BaseException) -> str:
    text = str(err).strip()
    return text.splitlines()[0] if text else type(err).__name__


def check_output_path(path: str) -> None:
    """Refuses an output that could not be written, before any work is done: its folder
    must exist, be a folder, and take a new file (tried, since permissions do not bind root)."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.exists(directory):
        raise ValueError(f"cannot write {path}: the folder {directory} does not exist")
    if not os.path.isdir(directory):
        raise ValueError(f"cannot write {path}: {directory} is not a folder")
    if os.path.isdir(path):
        raise ValueError(f"cannot write {path}: it is a folder")
    try:
        fd, probe = tempfile.mkstemp(prefix=".quorvalis-", dir=directory)
    except OSError as err:
        raise ValueError(f"cannot write {path}: {err.strerror or err}") from None
    os.close(fd)
    os.unlink(probe)


def output_mode(path: str) -> int:
    """The permission bits a finished output gets: those of the file it replaces, else what
    the umask gives any new file (a temporary file from mkstemp is 0600, readable by no one
    else on a shared server)."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        return 0o666 & ~_umask()


def _umask() -> int:
    try:  # read, not set: setting it for a moment would race with other threads' files
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def write_error(err: BaseException, path: str, tmp: str, size: int) -> BaseException:
    """What a failed write of ``path`` says, given the temporary file ``tmp`` it went to and
    the bytes that file held: a full disk or file size limit as such (writers such as NetCDF's
    report it as an "HDF error"), any other failure naming the user's path, not ``tmp``."""
    if not isinstance(err, (OSError, RuntimeError)):
        return err
    if (isinstance(err, OSError) and err.errno in _FULL) or _out_of_room(path, size):
        return OSError(errno.ENOSPC, f"cannot write {path}: no space left on device (disk "
                                     "full or file size limit reached); nothing was written")
    text = _first_line(err).replace(tmp, path)
    return OSError(text if path in text else f"cannot write {path}: {text}")


def _out_of_room(path: str, size: int) -> bool:
    if _file_limit_hits:
        _file_limit_hits.clear()
        return True
    limit, _ = resource.getrlimit(resource.RLIMIT_FSIZE)
    if limit != resource.RLIM_INFINITY and size >= limit - min(limit // 8, 1 << 20):
        return True
    try:
        st = os.statvfs(os.path.dirname(os.path.abspath(path)))
    except OSError:
        return False
    return min(st.f_bavail, st.f_bfree) * st.f_frsize < 1 << 20


def file_size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def available_memory() -> int | None:
    """Bytes this process may still allocate: the least of the system's available memory,
    the cgroup's remaining allowance and the address-space and data limits. None if unknown."""
    limits = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    limits.append(int(line.split()[1]) * 1024)
    except OSError:
        pass
    try:
        with open("/sys/fs/cgroup/memory.max") as f:
            top = f.read().strip()
        if top != "max":
            with open("/sys/fs/cgroup/memory.current") as f:
                limits.append(max(int(top) - int(f.read()), 0))
    except (OSError, ValueError):
        pass
    for which in (resource.RLIMIT_AS, resource.RLIMIT_DATA):
        soft, _ = resource.getrlimit(which)
        if soft != resource.RLIM_INFINITY:
            limits.append(soft)  # the whole limit, not what is left: an upper bound
    return min(limits) if limits else None


def check_result_size(zones: int, steps: int, outputs: int, lazy_hint: bool = True) -> None:
    """Refuses a request whose results alone (zones x steps x outputs float64, held twice
    while the chunks' parts are joined) would not fit in memory, before allocating them."""
    need = 2 * 8 * zones * steps * outputs
    free = available_memory()
    if free is None or need <= free:
        return
    raise MemoryError(
        f"the result would need {_size(need)} ({zones} zones x {steps} steps x {outputs} "
        f"statistics x 8 bytes, twice while joined) but about {_size(free)} is available; "
        "compute it lazily by giving a Dask-backed raster (e.g. xr.open_dataset(path, "
        "chunks={'time': 24})) and writing the result chunk by chunk with to_netcdf or "
        "to_zarr, or ask for fewer steps, zones or statistics per call")


def check_dense_size(need: int, what: str, advice: str) -> None:
    """Refuses a dense array of ``need`` bytes that would not fit in memory, before
    allocating it, saying how large it would be and what to use instead."""
    free = available_memory()
    if free is None or need <= free:
        return
    raise MemoryError(f"{what} would need {_size(need)} but about {_size(free)} is available; "
                      f"{advice}")


def _size(n: int) -> str:
    units = ["bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"]
    k = min(int(math.log(max(n, 1), 1024)), len(units) - 1)
    return f"{n / 1024 ** k:.1f} {units[k]}" if k else f"{n} bytes"
