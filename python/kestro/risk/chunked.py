"""A large Monte Carlo price in fixed-size chunks of paths: :func:`price_chunked`.

The paths are cut into chunks of ``chunk_paths`` (the last one takes the remainder). Chunk
``i`` draws its paths from its own seed, ``SeedSequence(seed, spawn_key=(CHUNK_KEY, i))``:
fixed by the chunk's number, not by the worker that prices it. Each chunk reports its path
count, mean and sum of squared deviations, and the driver merges them in chunk order with
Chan's pairwise formula, which gives the pooled mean and variance exactly (up to rounding)
without the cancellation of summing squares. So the price and its standard error are the same
whether the chunks run in this process or on any number of Dask workers.

With antithetic variates each chunk holds whole pairs (``chunk_paths`` must be even), and the
standard error is that of the pair means, as :func:`kestro.price` reports it.

A contract with choices gets its regression exercise rule fitted once, on the driver, exactly
as :func:`kestro.price` fits it (:mod:`kestro.montecarlo`); every chunk then prices the
contract with the rule written in (named ops whose phrases apply it), which has no choices
left, so the chunks all exercise by the same rule.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from kestro import allocator, montecarlo
from kestro.risk import scale
from kestro import exercise as regression
from kestro.estimates import Price
from kestro.market import DEFAULT_PATHS, Market
from kestro.pricing import _as_contract, _gbm_paths, _prepare, price_with_stats
from kestro.recorder import Recorder
from kestro.templates import Contract

__all__ = ["CHUNK_KEY", "DEFAULT_CHUNK_PATHS", "Moments", "price_chunked"]

DEFAULT_CHUNK_PATHS = 250_000
"""Paths per chunk when ``chunk_paths`` is not given: tens of milliseconds of work per chunk
and a few megabytes of path arrays, far above the cost of a task."""
CHUNK_KEY = 0x43484E4B
"""The first entry of every chunk's spawn key, keeping chunk seeds apart from other streams
drawn from the same seed (the calibration paths use their own key)."""


@dataclass(frozen=True)
class Moments:
    """Count, mean and sum of squared deviations from the mean of a sample."""

    count: int
    mean: float
    m2: float

    @classmethod
    def of(cls, values: np.ndarray) -> "Moments":
        values = np.asarray(values, dtype=np.float64)
        mean = float(values.mean()) if values.size else 0.0
        return cls(int(values.size), mean, float(np.sum((values - mean) ** 2)))

    def merge(self, other: "Moments") -> "Moments":
        """The moments of both samples together (Chan, Golub and LeVeque's pairwise update:
        the squared deviations are shifted by the difference of the means instead of
        being recomputed from sums of squares, which cancel badly)."""
        if other.count == 0:
            return self
        if self.count == 0:
            return other
        count = self.count + other.count
        delta = other.mean - self.mean
        mean = self.mean + delta * other.count / count
        m2 = self.m2 + other.m2 + delta * delta * self.count * other.count / count
        return Moments(count, mean, m2)

    @property
    def standard_error(self) -> float:
        """Sample standard deviation over the square root of the count; NaN below two samples."""
        if self.count < 2:
            return math.nan
        return math.sqrt(self.m2 / (self.count - 1) / self.count)


def chunk_seed(seed: Any, index: int) -> np.random.SeedSequence:
    """The seed of chunk ``index``: fixed by the seed and the chunk's number alone."""
    entropy = seed.entropy if isinstance(seed, np.random.SeedSequence) else seed
    return np.random.SeedSequence(entropy, spawn_key=(CHUNK_KEY, index))


def _chunk_sizes(paths: int, chunk_paths: int) -> list[int]:
    full, rest = divmod(paths, chunk_paths)
    return [chunk_paths] * full + ([rest] if rest else [])


@dataclass(frozen=True)
class _Chunk:
    index: int
    paths: int


class _Prepared:
    """What every chunk of one job shares: the engine function, the contract as the engine takes
    it and the dataset, built once per process rather than once per chunk (a few milliseconds
    of checks and conversions, against tens of milliseconds of paths)."""

    def __init__(self, job: dict[str, Any], state: Any, paths: int) -> None:
        settings = dict(job["settings"], paths=paths)
        exercise = montecarlo.ExerciseSettings.take(settings)
        self.function, contract, _, self.dataset = _prepare(job["contract"], job["market"], "monte_carlo", state,
                                                           settings)
        self.events, self.expressions = contract.events, contract.expressions
        choices = any(op in (">", "<") for op in self.events.column("op").dictionary.to_pylist())
        self.exercise = "pathwise" if exercise.method == "pathwise" and choices else None
        self.bound = None  # the original contract, walked path-wise for the upper bound
        if job["bound"] is not None:
            bound = _prepare(job["bound"], job["market"], "monte_carlo", state, settings)[1]
            self.bound = (bound.events, bound.expressions)
        self.job = job  # keeps the job alive while it is the cache's key


_prepared: Optional[_Prepared] = None


def _price_chunk(chunk: _Chunk, job: dict[str, Any]) -> tuple[Moments, Optional[str], Optional[Moments]]:
    """The moments of one chunk's path values, how its choices were made, and the moments of
    the path-wise bound on the same paths when the job asks for it."""
    global _prepared
    allocator.reuse_large_blocks()
    source = job["source"]
    if source is None:  # nothing diffuses: every path is the same, priced as kestro.price does
        settings = dict(job["settings"], paths=chunk.paths)
        result = price_with_stats(job["contract"], job["market"], "monte_carlo", state=Recorder(), flags=1, **settings)
        bound = None
        if job["bound"] is not None:
            walked = price_with_stats(job["bound"], job["market"], "monte_carlo", state=Recorder(), flags=1, **settings)
            bound = Moments.of(np.asarray(walked.stats["PV_VEC"], dtype=np.float64))
        return Moments.of(np.asarray(result.stats["PV_VEC"], dtype=np.float64)), result.price.exercise, bound
    state = source.spawn(chunk.paths, chunk_seed(job["seed"], chunk.index))
    if _prepared is None or _prepared.job is not job:
        _prepared = _Prepared(job, state, chunk.paths)
    prepared = _prepared
    dataset = montecarlo._with_section(prepared.dataset, PATHS=chunk.paths, FLAGS=1)

    def walk(events: Any, expressions: Any) -> Moments:
        montecarlo.reset(state)
        recorder = Recorder(state, forward=())
        prepared.function(events, recorder, dataset, expressions)
        values = np.asarray(recorder.stats["PV_VEC"], dtype=np.float64)
        if job["antithetic"]:
            half = values.size // 2
            values = 0.5 * (values[:half] + values[half:])
        return Moments.of(values)

    moments = walk(prepared.events, prepared.expressions)
    return moments, prepared.exercise, None if prepared.bound is None else walk(*prepared.bound)


def _count(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive whole number, got {value!r}")
    return int(value)


def price_chunked(contract: Contract, market: Market, *, paths: int = DEFAULT_PATHS,
                  chunk_paths: int = DEFAULT_CHUNK_PATHS, seed: Any = 0, state: Any = None, client: Any = None,
                  progress: Optional[bool] = None, **settings: Any) -> Price:
    """The Monte Carlo price of ``contract`` on ``paths`` paths, priced in chunks of ``chunk_paths``.

    Paths come from ``state``'s ``spawn(paths, seed)`` (a :class:`kestro.GbmPaths` or
    :class:`kestro.HullWhitePaths`, whose own paths and seed are not used), or by default from
    GBM paths around the market's forwards with ``vol`` (a number or a dict by asset; default
    ``Market.vols``) and ``antithetic``, as :func:`kestro.price` draws them. ``seed`` seeds the
    chunks (anything :class:`numpy.random.SeedSequence` takes). Other ``settings`` are
    :func:`kestro.price`'s Monte Carlo settings, the exercise ones included: with
    ``upper_bound=True`` every chunk also walks the contract path-wise on its own paths, and
    the result's ``upper_bound`` pools them (the same number as a chunked ``exercise="pathwise"``
    price with the same seed).

    ``client`` prices the chunks on a Dask cluster; ``progress`` shows a bar. The result is
    the same for every number of workers: a :class:`~kestro.estimates.Price` with the pooled
    mean, its standard error and the path count. Raises ``ValueError`` for bad counts, a
    ``state`` without ``spawn``, or an odd ``chunk_paths`` with antithetic paths.
    """
    contract = _as_contract(contract)
    if not isinstance(market, Market):
        raise TypeError(f"market must be a kestro.Market, got {type(market).__name__}")
    paths, chunk_paths = _count("paths", paths), _count("chunk_paths", chunk_paths)
    settings = dict(settings)
    vol, antithetic = settings.pop("vol", None), settings.pop("antithetic", False)
    if "flags" in settings:
        raise TypeError("price_chunked returns no statistics: leave flags out (price_with_stats gives them)")
    exercise = montecarlo.ExerciseSettings.take(settings)
    if state is None:
        if not isinstance(antithetic, bool):
            raise TypeError(f"antithetic must be True or False, got {antithetic!r}")
        allow_large = settings.get("allow_large", market.allow_large)
        # Only spawned: two paths (one antithetic pair) keep the copy sent to the workers small.
        source = _gbm_paths(contract, market, vol, 2, seed, antithetic, allow_large)
    else:
        if vol is not None or antithetic:
            raise TypeError("vol and antithetic set up the default GBM paths; with your own state= set them on it")
        if not callable(getattr(state, "spawn", None)):
            raise ValueError(f"a chunked price draws each chunk's paths with state.spawn(paths, seed); "
                             f"{type(state).__name__} has no spawn method")
        source = state
    antithetic = bool(getattr(source, "antithetic", False))
    if antithetic and chunk_paths % 2:
        raise ValueError(f"antithetic paths come in pairs within a chunk: chunk_paths must be even, got {chunk_paths}")

    priced, method, calibration = contract, None, None
    found = [] if exercise.method == "pathwise" else regression.choices(contract.events, contract.expressions)
    if found:
        template = source.spawn(min(paths, chunk_paths), seed) if source is not None else Recorder()
        function, _, prepared, dataset = _prepare(contract, market, "monte_carlo", template,
                                                  dict(settings, paths=min(paths, chunk_paths)))
        rule, method = montecarlo._calibrate(function, contract, market, prepared, dataset, seed,
                                             _with_calibration_paths(exercise, paths), found, paths)
        events, expressions = rule.rewrite(contract.events, contract.expressions)
        priced = Contract(events, expressions, contract.tracks, contract.description, contract.assets)
        calibration = rule.calibration_paths
    job = {"contract": priced, "market": market, "source": source, "seed": seed, "antithetic": antithetic,
           "settings": dict(settings, exercise="pathwise"), "bound": contract if exercise.upper_bound else None}
    chunks = [_Chunk(i, size) for i, size in enumerate(_chunk_sizes(paths, chunk_paths))]
    results = scale.run(_price_chunk, chunks, client=client, shared=(job,), batch_size=1, progress=progress,
                        description="kestro-chunks")
    total, bound = Moments(0, 0.0, 0.0), Moments(0, 0.0, 0.0)
    for moments, _, bound_moments in results:
        total = total.merge(moments)
        if bound_moments is not None:
            bound = bound.merge(bound_moments)
    if method is None and any(exercised == "pathwise" for _, exercised, _ in results):
        method = "pathwise"
    upper = None
    if exercise.upper_bound:
        upper = Price(bound.mean, "monte_carlo", standard_error=bound.standard_error, paths=paths, exercise="pathwise")
    return Price(total.mean, "monte_carlo", standard_error=total.standard_error, paths=paths, exercise=method,
                 calibration_paths=calibration, upper_bound=upper)


def _with_calibration_paths(exercise: montecarlo.ExerciseSettings, paths: int) -> montecarlo.ExerciseSettings:
    """The exercise settings with the calibration path count :func:`kestro.price` would use for ``paths``."""
    from dataclasses import replace

    wanted = exercise.calibration_paths or min(paths, montecarlo.DEFAULT_CALIBRATION_PATHS)
    return replace(exercise, calibration_paths=wanted)
