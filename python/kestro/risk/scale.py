"""Where the work goes: this process, or the workers of a Dask cluster.

The engine holds the interpreter lock for a whole call, so threads cannot price two trades at
once; processes can. :func:`run` applies one function to many items either in this process
(``client=None``, the default: no cluster, Dask not even imported) or on the workers of a
:class:`distributed.Client`: a ``LocalCluster`` of processes on one machine, or a scheduler
that workers on other machines joined.

On a cluster the items go out in batches, several per task, because each task costs a few
milliseconds of scheduling and messaging on top of its own work (``bench/bench_portfolio.py``
measures it). The objects in ``shared`` (a market used by every trade) are scattered to every
worker once and passed to every task by reference. Everything that travels is pickled:
contracts, markets, settings and path sources out, results back. Results come back in the
order of the items, whatever worker computed them.

Ctrl-C while waiting cancels every task of the run on the cluster and re-raises
:class:`KeyboardInterrupt`; so does any other failure of the run.
"""

from __future__ import annotations

import ctypes
import math
import os
import sys
import uuid
from typing import Any, Callable, Optional, Sequence

from kestro.risk import progress as bars

__all__ = ["Batches", "MAX_BATCH", "TASKS_PER_THREAD", "batch_size_for", "run"]

TASKS_PER_THREAD = 16
"""Default batching aims at this many tasks per worker thread. A task costs about 2.5 ms of
scheduling and messaging on a local cluster (``bench/bench_portfolio.py`` prints it) and a
small trade a few milliseconds of pricing, so a batch of dozens of trades keeps that cost near
1%, while sixteen tasks per thread leave the last task a small share of the run when trades
take unequal times."""
MAX_BATCH = 256
"""Default batches hold at most this many items, so one task never holds a worker for long."""


def batch_size_for(count: int, threads: int) -> int:
    """The default number of items per task for ``count`` items on ``threads`` worker threads."""
    tasks = max(1, threads) * TASKS_PER_THREAD
    return max(1, min(MAX_BATCH, math.ceil(count / tasks)))


def _check_batch_size(batch_size: Any) -> Optional[int]:
    if batch_size is None:
        return None
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive whole number of items per task, got {batch_size!r}")
    return batch_size


def _check_client(client: Any) -> None:
    if not (callable(getattr(client, "submit", None)) and callable(getattr(client, "scatter", None))):
        raise TypeError(f"client must be a dask.distributed.Client (or None to run in this process), "
                        f"got {type(client).__name__}")


def run_batch(function: Callable[..., Any], items: Sequence[Any], *shared: Any) -> list[Any]:
    """``function(item, *shared)`` for each item of one batch: the body of one task."""
    _let_worker_reuse_large_blocks()
    return [function(item, *shared) for item in items]


_allocator_checked = False


def _let_worker_reuse_large_blocks() -> None:
    """Undo, once per worker process, what Dask's nanny does to glibc's allocator.

    The nanny starts workers with ``MALLOC_TRIM_THRESHOLD_=65536`` so that freed memory goes
    back to the system at once. Setting it also freezes glibc's mmap threshold at 128 KiB, so
    every NumPy temporary of a path array becomes a fresh mapping that the kernel faults in and
    zeroes page by page: Monte Carlo chunks ran 2.5 times slower on a worker than in the
    client's process. Large blocks are let back into the heap (up to 32 MiB, glibc's own
    ceiling) and the heap is trimmed once 64 MiB lie free at its top.
    """
    global _allocator_checked
    if _allocator_checked:
        return
    _allocator_checked = True
    if "MALLOC_TRIM_THRESHOLD_" not in os.environ or not sys.platform.startswith("linux"):
        return
    try:
        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):  # not glibc: nothing to undo
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)
    mallopt(m_trim_threshold, 64 << 20)


class Batches:
    """Items cut into batches and scattered to a cluster's workers once, to be run many times.

    :func:`run` takes it in place of the items: its tasks then refer to the batches already on
    the workers instead of sending them again. It belongs to the ``client`` it was made with.
    """

    def __init__(self, client: Any, items: Sequence[Any], batch_size: Optional[int] = None) -> None:
        size = _check_batch_size(batch_size)
        _check_client(client)
        items = list(items)
        size = size or batch_size_for(len(items), sum(client.nthreads().values()))
        self.client_id, self.batch_size, self.count = client.id, size, len(items)
        self.futures = client.scatter([items[i:i + size] for i in range(0, len(items), size)], hash=False)

    def serves(self, client: Any, batch_size: Optional[int]) -> bool:
        """Whether these batches can serve a run on ``client`` with ``batch_size`` (None: any)."""
        return getattr(client, "id", None) == self.client_id and batch_size in (None, self.batch_size)

    def __len__(self) -> int:
        return self.count


def run(function: Callable[..., Any], items: Sequence[Any] | Batches, *, client: Any = None,
        shared: Sequence[Any] = (), batch_size: Optional[int] = None, progress: Optional[bool] = None,
        description: str = "kestro") -> list[Any]:
    """``[function(item, *shared) for item in items]``, in this process or on ``client``'s workers.

    ``function`` must be a module-level function (it is pickled by reference) and the items
    and ``shared`` objects must pickle. ``items`` may be :class:`Batches` already on the
    cluster. ``batch_size`` is the number of items per task on a cluster (default
    :func:`batch_size_for`); ``progress`` shows a bar (default: when interactive, see
    :mod:`kestro.risk.progress`). An exception ``function`` raises ends the run and reaches the
    caller; pricing functions catch their own per item.
    """
    size = _check_batch_size(batch_size)
    show = bars.wanted(progress)
    if isinstance(items, Batches):
        if not items.serves(client, size):
            raise ValueError("these batches were scattered with another client or batch size")
        return _run_on_cluster(function, items.futures, client, shared, show, description)
    items = list(items)
    if client is None:
        return _run_here(function, items, shared, show, description)
    _check_client(client)
    if not items:
        return []
    if size is None:
        size = batch_size_for(len(items), sum(client.nthreads().values()))
    return _run_on_cluster(function, [items[i:i + size] for i in range(0, len(items), size)], client, shared, show,
                           description)


def _run_here(function: Callable[..., Any], items: list[Any], shared: Sequence[Any], show: bool,
              description: str) -> list[Any]:
    bar = bars.bar(len(items), description, show)
    results = []
    try:
        for item in items:
            results.append(function(item, *shared))
            bar.update(1)
    finally:
        bar.close()
    return results


def _run_on_cluster(function: Callable[..., Any], batches: list[Any], client: Any, shared: Sequence[Any],
                    show: bool, description: str) -> list[Any]:
    """One task per batch (a list of items, or the future of one already on the workers)."""
    from distributed import as_completed

    futures: list[Any] = []  # what Ctrl-C cancels: this run's tasks and scattered objects
    try:
        # A list, so that a dict (or any mapping) travels as one object rather than one per key.
        references = client.scatter(list(shared), broadcast=True, hash=False) if shared else []
        futures.extend(references)
        run_id = uuid.uuid4().hex[:12]
        tasks = [client.submit(run_batch, function, batch, *references, key=f"{description}-{run_id}-{k}",
                               pure=False)
                 for k, batch in enumerate(batches)]
        futures.extend(tasks)
        if show:
            from distributed import progress

            progress(tasks)
        for _ in as_completed(tasks):  # wakes every 0.1 s at most, so Ctrl-C is seen promptly
            pass
        per_batch = client.gather(tasks)
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        del futures
    return [result for batch in per_batch for result in batch]
