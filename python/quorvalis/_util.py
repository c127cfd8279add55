"""Optional dependencies, progress bars, and shapely's vectorised calls over threads."""

from __future__ import annotations

import importlib
import os
import sys
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager

import numpy as np


def optional_import(module: str, extra: str | None):
    """Import a heavy optional dependency, or say which extra (or package) brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as err:
        what = f"quorvalis[{extra}]" if extra else module.split(".")[0]
        raise ImportError(f"{module} is needed for this; install it with "
                          f"`pip install {what}`") from err


class OutsideWarning(UserWarning):
    """Some zones lie wholly or partly outside the raster: their statistics count only the
    cells inside it."""


def user_stacklevel() -> int:
    """The ``stacklevel`` that points a warning at the first caller outside the package."""
    here = os.path.dirname(os.path.abspath(__file__))
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(here + os.sep):
        frame, level = frame.f_back, level + 1
    return level


class _NoBar:
    def update(self, n=1):
        pass


@contextmanager
def progress_bar(enabled: bool, total: int, desc: str, unit: str):
    """A tqdm bar when enabled, else a bar that shows nothing."""
    if not enabled:
        yield _NoBar()
        return
    tqdm = optional_import("tqdm", "progress")
    with tqdm.tqdm(total=total, desc=desc, unit=unit, leave=False) as bar:
        yield bar


_GEOMETRIES_PER_TASK = 64  # fewer per thread are not worth a thread's start


def cores(threads: int = 0) -> int:
    """``threads``, or every core the process may use when it is 0, as the engine counts."""
    if threads > 0:
        return threads
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def threaded(fn, geoms: np.ndarray, threads: int = 0) -> np.ndarray:
    """``fn(geoms)`` for a vectorised shapely function of one array, in chunks on ``threads``
    threads: GEOS runs without the GIL, so checking a large zone set is shared among the
    cores. The chunks' results are joined in order, the same as one call's."""
    n = min(cores(threads), len(geoms) // _GEOMETRIES_PER_TASK)
    if n <= 1:
        return fn(geoms)
    # a few chunks per thread, so that chunks of larger zones do not leave a thread waiting
    parts = np.array_split(geoms, min(4 * n, len(geoms) // _GEOMETRIES_PER_TASK))
    with ThreadPoolExecutor(n) as pool:
        return np.concatenate(list(pool.map(fn, parts)))
