"""Let glibc reuse large freed blocks, so that Monte Carlo temporaries do not fault in fresh pages.

Path arrays are megabytes each, and NumPy allocates and frees several per time step. With
glibc's defaults a block above the mmap threshold (128 KiB at first) is a fresh mapping that the
kernel faults in and zeroes page by page, and heap memory above the trim threshold goes back to
the system at every free, to be faulted in again at the next step. glibc raises both
thresholds as blocks are freed, so a long session speeds up on its own, but a fresh process
priced 4,000,000 paths 1.5 times slower than with the values :func:`reuse_large_blocks` sets
once per process, before the first Monte Carlo walk: those glibc itself would reach (an mmap
threshold of 32 MiB, its ceiling, and a trim threshold of 64 MiB).

Dask's nanny starts workers with ``MALLOC_TRIM_THRESHOLD_`` set, which freezes both thresholds
at their starting values (chunks ran 2.5 times slower on a worker than in the client): in a
worker the values are set whatever the environment says. Elsewhere a ``MALLOC_MMAP_THRESHOLD_``
or ``MALLOC_TRIM_THRESHOLD_`` in the environment is the user's choice and is left alone.
"""

from __future__ import annotations

import ctypes
import os
import sys

__all__ = ["reuse_large_blocks"]

MMAP_THRESHOLD = 32 << 20
TRIM_THRESHOLD = 64 << 20
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3  # mallopt's parameter numbers (malloc.h)

_done = False


def reuse_large_blocks(in_worker: bool = False) -> bool:
    """Set glibc's mmap and trim thresholds once per process; ``in_worker`` (a Dask worker)
    overrides the nanny's environment. Returns whether this call set them."""
    global _done
    if _done:
        return False
    _done = True
    if not sys.platform.startswith("linux"):
        return False
    chosen = any(name in os.environ for name in ("MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_"))
    if chosen and not in_worker:
        return False
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # not glibc: nothing to set
        return False
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    return bool(mallopt(_M_MMAP_THRESHOLD, MMAP_THRESHOLD)) and bool(mallopt(_M_TRIM_THRESHOLD, TRIM_THRESHOLD))
