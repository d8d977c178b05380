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

import math
import uuid
from typing import Any, Callable, Optional, Sequence

from kestro import progress as bars

__all__ = ["MAX_BATCH", "TASKS_PER_THREAD", "batch_size_for", "run"]

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
    return [function(item, *shared) for item in items]


def run(function: Callable[..., Any], items: Sequence[Any], *, client: Any = None, shared: Sequence[Any] = (),
        batch_size: Optional[int] = None, progress: Optional[bool] = None, description: str = "kestro") -> list[Any]:
    """``[function(item, *shared) for item in items]``, in this process or on ``client``'s workers.

    ``function`` must be a module-level function (it is pickled by reference) and the items
    and ``shared`` objects must pickle. ``batch_size`` is the number of items per task on a
    cluster (default :func:`batch_size_for`); ``progress`` shows a bar (default: when
    interactive, see :mod:`kestro.progress`). An exception ``function`` raises ends the run
    and reaches the caller; pricing functions catch their own per item.
    """
    items = list(items)
    size = _check_batch_size(batch_size)
    show = bars.wanted(progress)
    if client is None:
        return _run_here(function, items, shared, show, description)
    _check_client(client)
    return _run_on_cluster(function, items, client, shared, size, show, description)


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


def _run_on_cluster(function: Callable[..., Any], items: list[Any], client: Any, shared: Sequence[Any],
                    size: Optional[int], show: bool, description: str) -> list[Any]:
    from distributed import as_completed

    if not items:
        return []
    if size is None:
        size = batch_size_for(len(items), sum(client.nthreads().values()))
    batches = [items[i:i + size] for i in range(0, len(items), size)]
    futures: list[Any] = []
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
