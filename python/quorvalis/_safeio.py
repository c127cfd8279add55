"""Failing loudly and losing nothing: files that cannot be read, outputs that cannot be
written, results too large for memory, and runs stopped by a signal."""

from __future__ import annotations

import errno
import math
import os
import resource
import signal
import tempfile
import threading
from contextlib import contextmanager

_FULL = {errno.ENOSPC, errno.EFBIG, getattr(errno, "EDQUOT", errno.ENOSPC)}


class Interrupted(BaseException):
    """SIGTERM, raised in the main thread like KeyboardInterrupt is for SIGINT, so that
    every ``finally`` and cleanup runs before the process exits."""

    def __init__(self, signum: int):
        super().__init__(f"stopped by signal {signum}")
        self.signum = signum


@contextmanager
def signals_raise():
    """While running, SIGTERM raises ``Interrupted`` and a file grown beyond RLIMIT_FSIZE
    gives an OSError (EFBIG) rather than killing the process with a half-written file."""

    def stop(signum, frame):
        raise Interrupted(signum)

    if threading.current_thread() is not threading.main_thread():
        yield  # handlers belong to the main thread; elsewhere the defaults stay
        return
    old = {s: signal.signal(s, h) for s, h in ((signal.SIGTERM, stop), (signal.SIGXFSZ, signal.SIG_IGN))}
    try:
        yield
    finally:
        for s, h in old.items():
            signal.signal(s, h)


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
        if where in text:
            raise ValueError(text) from None
        raise ValueError(f"cannot read the {what} {where}: {text}") from None


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


def disk_full_error(err: OSError, path: str) -> OSError:
    """A clear message for a write that ran out of room; other errors pass through."""
    if isinstance(err, OSError) and err.errno in _FULL:
        return OSError(err.errno, f"cannot write {path}: no space left (disk full or file size "
                                  f"limit reached); nothing was written")
    return err


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
