"""Progress bars for long runs: on when someone is watching, off otherwise.

``progress=None`` (the default everywhere) shows a bar when the run is interactive: standard
error is a terminal, or the code runs in a Jupyter kernel. ``True`` and ``False`` force it.
In-process runs use :mod:`tqdm`; runs on a Dask cluster use :func:`distributed.progress`,
which draws the cluster's own bar (a widget in Jupyter).
"""

from __future__ import annotations

import sys
from typing import Any, Optional

__all__ = ["bar", "interactive", "wanted"]


def _in_jupyter() -> bool:
    ipython = sys.modules.get("IPython")
    shell = getattr(ipython, "get_ipython", lambda: None)() if ipython is not None else None
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"


def interactive() -> bool:
    """Whether a person is likely watching: standard error is a terminal, or a Jupyter kernel runs."""
    stream = sys.stderr
    try:
        tty = stream is not None and stream.isatty()
    except (AttributeError, ValueError):  # replaced or closed streams
        tty = False
    return tty or _in_jupyter()


def wanted(progress: Optional[bool]) -> bool:
    """Whether to show a bar: ``progress`` when given, else :func:`interactive`."""
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None (show it when interactive), got {progress!r}")
    return interactive() if progress is None else progress


class _NoBar:
    def update(self, count: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def bar(total: int, description: str, show: bool) -> Any:
    """A tqdm bar of ``total`` steps, or an object with the same ``update``/``close`` that draws nothing."""
    if not show:
        return _NoBar()
    if _in_jupyter():
        from tqdm.auto import tqdm
    else:
        from tqdm import tqdm
    return tqdm(total=total, desc=description, unit="task", leave=False)
