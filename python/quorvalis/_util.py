"""Optional dependencies and progress bars."""

from __future__ import annotations

import importlib
import os
import sys
from contextlib import contextmanager


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
