"""Where the work goes: this process, or the workers of a Dask cluster.

The engine holds the interpreter lock for a whole call, so threads cannot price two trades at
once; processes can. :func:`run` applies one function to many items either in this process
(``client=None``, the default: no cluster, Dask not even imported) or on the workers of a
:class:`distributed.Client`: a ``LocalCluster`` of processes on one machine, or a scheduler
that workers on other machines joined.

On a cluster the items go out in batches, several per task, because each task costs a few
milliseconds of scheduling and messaging on top of its own work (``bench/bench_portfolio.py``
measures it). The objects in ``shared`` (a market used by every trade) are pickled once and
carried inside every task (:class:`Packed`), or, when that would copy too many bytes, placed on
the cluster and copied to every worker before the work starts. Everything that travels is
pickled: contracts, markets, settings and path sources out, results back. Results come back
in the order of the items, whatever worker computed them.

Objects kept on the cluster (:class:`Batches`, large shared objects) are the results of small
tasks rather than scattered data, so that the scheduler can compute them again when the worker
holding them dies. When a worker dies
mid-run the scheduler runs its tasks again elsewhere; the results say so (:class:`Results`,
with a :class:`WorkerLostWarning`). A task that kills every worker it runs on ends, after the
scheduler's allowed failures, as :class:`distributed.KilledWorker`: ``lost`` turns it into
results for the task's items, or the run raises it.

Ctrl-C while waiting cancels every task of the run on the cluster and re-raises
:class:`KeyboardInterrupt`; so does any other failure of the run.
"""

from __future__ import annotations

import math
import sys
import threading
import uuid
import warnings
from typing import Any, Callable, Optional, Sequence

from kestro import allocator
from kestro.risk import progress as bars

__all__ = ["Batches", "MAX_BATCH", "Results", "TASKS_PER_THREAD", "WorkerLostWarning", "batch_size_for", "run"]

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
    if not (callable(getattr(client, "submit", None)) and callable(getattr(client, "gather", None))):
        raise TypeError(f"client must be a dask.distributed.Client (or None to run in this process), "
                        f"got {type(client).__name__}")
    status = getattr(client, "status", "running")
    if status != "running":
        where = getattr(getattr(client, "scheduler", None), "address", None)
        raise ValueError(f"the Dask client is {status}, not running"
                         f"{f' (scheduler {where})' if where else ''}: connect a new Client, "
                         "or pass client=None to run in this process")


class WorkerLostWarning(RuntimeWarning):
    """A worker died during a run and the scheduler ran its tasks again on other workers."""


class Results(list):
    """The results of a run in the order of its items; ``reruns`` maps the index of each item
    whose task the scheduler ran again, after a worker died, to the number of reruns (empty
    when no worker was lost). Work here is deterministic, so a rerun gives the same result."""

    def __init__(self, results: Sequence[Any] = (), reruns: Optional[dict[int, int]] = None) -> None:
        super().__init__(results)
        self.reruns: dict[int, int] = dict(reruns or {})


def _hold(value: Any) -> Any:
    """The task that keeps ``value`` on the cluster (see :func:`_place`)."""
    return value


def _place(client: Any, values: Sequence[Any], name: str) -> list[Any]:
    """Futures of ``values`` on the cluster, each the result of a task returning it: the
    scheduler keeps the task and computes it again if the worker holding the value dies,
    where scattered data would be lost with its worker."""
    tag = uuid.uuid4().hex[:12]
    return [client.submit(_hold, value, key=f"{name}-{tag}-{k}", pure=False) for k, value in enumerate(values)]


def _in_dask_worker() -> bool:
    if "distributed" not in sys.modules:
        return False
    from distributed import get_worker

    try:
        get_worker()
        return True
    except ValueError:  # not in a worker's task
        return False


def run_batch(function: Callable[..., Any], items: Sequence[Any], *shared: Any) -> list[Any]:
    """``function(item, *shared)`` for each item of one batch: the body of one task."""
    allocator.reuse_large_blocks(in_worker=_in_dask_worker())
    shared = tuple(value.unpack() if isinstance(value, Packed) else value for value in shared)
    return [function(item, *shared) for item in items]


INLINE_LIMIT = 16 << 20
"""Shared objects travel inside every task while all their copies together stay below this
many bytes (see :class:`Packed`); larger ones are placed on the cluster once per run."""


class Packed:
    """An object pickled once on the client, to travel inside every task of a run.

    A task then needs nothing from other workers: it starts as soon as a worker takes it, and
    the scheduler can run it again anywhere. Each worker process unpickles a given object
    once and hands the same instance to every later task (the ``token`` names it), so work
    can cache what it derives from it.
    """

    __slots__ = ("token", "payload")
    _unpacked: dict[str, Any] = {}  # by token, the last few objects this process unpickled
    _lock = threading.Lock()  # a worker may run tasks on several threads
    _KEEP = 4

    def __init__(self, value: Any) -> None:
        from distributed.protocol import pickle as wire

        self.payload = wire.dumps(value)
        self.token = uuid.uuid4().hex

    def __getstate__(self) -> tuple[str, bytes]:
        return self.token, self.payload

    def __setstate__(self, state: tuple[str, bytes]) -> None:
        self.token, self.payload = state

    def unpack(self) -> Any:
        cache = Packed._unpacked
        with Packed._lock:
            if self.token in cache:
                return cache[self.token]
        from distributed.protocol import pickle as wire

        value = wire.loads(self.payload)
        with Packed._lock:
            while len(cache) >= Packed._KEEP:  # the oldest go
                del cache[next(iter(cache))]
            return cache.setdefault(self.token, value)  # another thread may have been first


class Batches:
    """Items cut into batches and placed on a cluster's workers once, to be run many times.

    :func:`run` takes it in place of the items: its tasks then refer to the batches already on
    the workers instead of sending them again. It belongs to the ``client`` it was made with.
    """

    def __init__(self, client: Any, items: Sequence[Any], batch_size: Optional[int] = None) -> None:
        size = _check_batch_size(batch_size)
        _check_client(client)
        items = list(items)
        size = size or batch_size_for(len(items), sum(client.nthreads().values()))
        self.client_id, self.batch_size, self.count = client.id, size, len(items)
        batches = [items[i:i + size] for i in range(0, len(items), size)]
        self.sizes = [len(batch) for batch in batches]
        self.futures = _place(client, batches, "kestro-batch")

    def serves(self, client: Any, batch_size: Optional[int]) -> bool:
        """Whether these batches can serve a run on ``client`` with ``batch_size`` (None: any)."""
        return getattr(client, "id", None) == self.client_id and batch_size in (None, self.batch_size)

    def __len__(self) -> int:
        return self.count


def run(function: Callable[..., Any], items: Sequence[Any] | Batches, *, client: Any = None,
        shared: Sequence[Any] = (), batch_size: Optional[int] = None, progress: Optional[bool] = None,
        description: str = "kestro", lost: Optional[Callable[[Any, BaseException], Any]] = None) -> Results:
    """``[function(item, *shared) for item in items]``, in this process or on ``client``'s workers.

    ``function`` must be a module-level function (it is pickled by reference) and the items
    and ``shared`` objects must pickle. ``items`` may be :class:`Batches` already on the
    cluster. ``batch_size`` is the number of items per task on a cluster (default
    :func:`batch_size_for`); ``progress`` shows a bar (default: when interactive, see
    :mod:`kestro.risk.progress`). An exception ``function`` raises ends the run and reaches the
    caller; pricing functions catch their own per item. ``lost(index, error)`` gives the
    result of item ``index`` when its task killed every worker that ran it
    (:class:`distributed.KilledWorker`); without it the run raises that error.
    """
    size = _check_batch_size(batch_size)
    show = bars.wanted(progress)
    if isinstance(items, Batches):
        _check_client(client)
        if not items.serves(client, size):
            raise ValueError("these batches were placed with another client or batch size")
        return _run_on_cluster(function, items.futures, items.sizes, client, client.nthreads(), shared, show,
                               description, lost)
    items = list(items)
    if client is None:
        return Results(_run_here(function, items, shared, show, description))
    _check_client(client)
    if not items:
        return Results()
    workers = client.nthreads()
    if size is None:
        size = batch_size_for(len(items), sum(workers.values()))
    batches = [items[i:i + size] for i in range(0, len(items), size)]
    return _run_on_cluster(function, batches, [len(batch) for batch in batches], client, workers, shared, show,
                           description, lost)


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


def _run_on_cluster(function: Callable[..., Any], batches: list[Any], sizes: list[int], client: Any,
                    threads: dict[str, int], shared: Sequence[Any], show: bool, description: str,
                    lost: Optional[Callable[[Any, BaseException], Any]]) -> Results:
    """One task per batch (a list of items, or the future of one already on the workers), on
    the workers ``threads`` names (address: threads) at the start."""
    from distributed import wait

    run_id = uuid.uuid4().hex[:12]
    keys = [f"{description}-{run_id}-{k}" for k in range(len(batches))]
    workers = set(threads)
    futures: list[Any] = []  # what Ctrl-C cancels: this run's tasks and placed objects
    try:
        references = _share(client, shared, len(batches), workers, description)
        futures.extend(reference for reference in references if not isinstance(reference, Packed))
        # One map, one message to the scheduler: a submit per task costs the scheduler a graph
        # update each, milliseconds of its time per task.
        count = len(batches)
        tasks = client.map(run_batch, [function] * count, batches, *([reference] * count for reference in references),
                           key=keys, pure=False)
        futures.extend(tasks)
        if show:
            from distributed import progress

            progress(tasks, complete=False)  # not the finished tasks that hold placed objects
        # Every task finished or failed; a lost scheduler cancels them all and this raises why at
        # once (gather would first try to reach it); Ctrl-C interrupts the wait.
        wait(tasks)
        # A result lost with its worker since is computed again: gather waits for it.
        values = iter(client.gather(tasks, errors="skip"))
        starts = [0]
        for size in sizes[:-1]:
            starts.append(starts[-1] + size)
        per_batch = [_failed_batch(task, start, size, lost) if task.status == "error" else next(values)
                     for task, start, size in zip(tasks, starts, sizes)]
    except BaseException:
        _cancel(client, futures)
        raise
    finally:
        del futures
    reruns = _reruns_after_lost_workers(client, workers, keys)
    by_item = {starts[k] + i: count for k, count in reruns.items() for i in range(sizes[k])}
    if reruns:
        warnings.warn(f"a worker died during the run: the scheduler ran {len(reruns)} task(s) ({len(by_item)} "
                      "item(s)) again on other workers; their results are those of the reruns",
                      WorkerLostWarning, stacklevel=3)
    return Results([result for batch in per_batch for result in batch], by_item)


def _cancel(client: Any, futures: list[Any]) -> None:
    """Cancel a failed run's tasks on the cluster, if it is still there to hear it; the run's own
    error is what the caller must see, so a failure here is not raised over it."""
    if getattr(client, "status", "running") != "running":
        return  # the scheduler is gone: its tasks went with it
    try:
        client.cancel(futures)
    except Exception:
        pass


def _share(client: Any, shared: Sequence[Any], tasks: int, workers: set[str], description: str) -> list[Any]:
    """What the tasks get for ``shared``: the objects packed to travel inside each task, or when
    that would copy too many bytes, futures of them placed on and copied to every worker."""
    if not shared:
        return []
    packed = [Packed(value) for value in shared]
    if sum(len(value.payload) for value in packed) * tasks <= INLINE_LIMIT:
        return packed
    # A list, so that a dict (or any mapping) travels as one object rather than one per key.
    references = _place(client, list(shared), f"{description}-shared")
    if len(workers) > 1:
        # Copied to every worker before the work starts: a worker fetching them later would
        # wait for the holder, whose event loop is stalled while a task holds the interpreter.
        client.replicate(references)
    return references


def _failed_batch(task: Any, start: int, size: int, lost: Optional[Callable[[Any, BaseException], Any]]) -> list[Any]:
    """The results of a task that failed: ``lost``'s, when its workers died each time it ran."""
    from distributed import KilledWorker

    error = task.exception()
    if lost is None or not isinstance(error, KilledWorker):
        task.result()  # raises the task's own error, with its traceback
        raise error  # not reached: result() raised it
    return [lost(start + i, error) for i in range(size)]


def _reruns_after_lost_workers(client: Any, before: set[str], keys: list[str]) -> dict[int, int]:
    """For each task key (by index) that a worker gone since ``before`` was running or held the
    result of, the number of such workers: the scheduler ran the task again for each.

    The scheduler logs a worker's removal under the worker's address, with the tasks it was
    running and the finished results it held; only workers that are gone are asked about, so
    a run that lost none costs one call.
    """
    gone = before - set(client.nthreads())
    if not gone:
        return {}
    index = {key: k for k, key in enumerate(keys)}
    counts: dict[int, int] = {}
    for address in gone:
        for _, message in client.get_events(address):
            if isinstance(message, dict) and message.get("action") == "remove-worker":
                for key in [*message.get("processing-tasks", ()), *message.get("lost-computed-tasks", ())]:
                    if key in index:
                        counts[index[key]] = counts.get(index[key], 0) + 1
    return counts
