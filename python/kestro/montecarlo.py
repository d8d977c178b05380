"""One Monte Carlo pricing: exercise rule, pricing walk, standard error and bounds.

:func:`kestro.price` hands Monte Carlo work here once the path source and the dataset are set.
A contract with choices gets a regression exercise rule by default (:mod:`kestro.exercise`):
a calibration walk on paths of their own, then the pricing walk on the caller's paths with the
rule written into the contract. Every price carries its standard error; on request the
path-wise price on the same paths comes with it as the other bound.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np

from kestro import allocator
from kestro import exercise as regression
from kestro.estimates import Price
from kestro.recorder import Recorder
from kestro.results import standard_error
from kestro.templates import Contract
from kestro.clock import YEAR_MS

__all__ = ["EXERCISE_METHODS", "DEFAULT_BASIS_DEGREE", "DEFAULT_CALIBRATION_PATHS", "ExerciseSettings", "run"]

EXERCISE_METHODS = ("regression", "pathwise")
DEFAULT_BASIS_DEGREE = 3
"""Degree of the regression polynomials when ``basis_degree`` is not given."""
DEFAULT_CALIBRATION_PATHS = 32_768
"""Calibration paths when ``calibration_paths`` is not given (fewer if the pricing has fewer)."""

_PV_VEC, _CHOICES = 1, 2


@dataclass(frozen=True)
class ExerciseSettings:
    """The Monte Carlo settings about choices, taken out of :func:`kestro.price`'s keywords."""

    method: Optional[str] = None  # None: "regression" when the contract has choices
    degree: int = DEFAULT_BASIS_DEGREE
    calibration_paths: Optional[int] = None
    calibration_seed: Any = None
    upper_bound: bool = False

    @classmethod
    def take(cls, settings: dict[str, Any]) -> "ExerciseSettings":
        """Remove and check the exercise keywords of ``settings``."""
        method = settings.pop("exercise", None)
        if method is not None and method not in EXERCISE_METHODS:
            raise ValueError(f"exercise must be one of {', '.join(map(repr, EXERCISE_METHODS))}, got {method!r}")
        degree = settings.pop("basis_degree", DEFAULT_BASIS_DEGREE)
        if isinstance(degree, bool) or not isinstance(degree, (int, np.integer)) or not 0 <= degree <= 8:
            raise ValueError(f"basis_degree must be a whole number from 0 to 8, got {degree!r}")
        paths = settings.pop("calibration_paths", None)
        if paths is not None and (isinstance(paths, bool) or not isinstance(paths, (int, np.integer)) or paths < 1):
            raise ValueError(f"calibration_paths must be a positive whole number, got {paths!r}")
        upper = settings.pop("upper_bound", False)
        if not isinstance(upper, bool):
            raise TypeError(f"upper_bound must be True or False, got {upper!r}")
        return cls(method, int(degree), None if paths is None else int(paths), settings.pop("calibration_seed", None),
                   upper)

    @property
    def given(self) -> bool:
        return self != ExerciseSettings()


def path_count(state: Any) -> Optional[int]:
    """The number of paths a path source says it serves (its ``paths``, or its source's)."""
    for holder in (state, getattr(state, "source", None)):
        count = getattr(holder, "paths", None)
        if isinstance(count, int) and not isinstance(count, bool):
            return count
    return None


def _antithetic(state: Any) -> bool:
    return any(getattr(holder, "antithetic", False) is True for holder in (state, getattr(state, "source", None)))


def _with_section(dataset: dict[str, Any], **section: Any) -> dict[str, Any]:
    return dict(dataset, MC=dict(dataset["MC"], **section))


def _walk(function: Callable, events: Any, recorder: Recorder, dataset: dict[str, Any], expressions: dict,
          antithetic: bool) -> tuple[float, Optional[float], dict[str, Any]]:
    value = function(events, recorder, dataset, expressions)
    pv = recorder.stats.get("PV_VEC")
    error = standard_error(pv, antithetic=antithetic) if pv is not None and len(pv) else None
    return value, error, recorder.stats


def run(function: Callable, contract: Contract, market: Any, state: Any, dataset: dict[str, Any],
        flags: int, seed: Any, exercise: ExerciseSettings) -> tuple[Price, dict[str, Any]]:
    """Price ``contract`` with ``mc_price`` (``function``) on ``state``'s paths; give the price and
    the statistics that ``flags`` asked for. ``dataset`` is the Monte Carlo dataset."""
    allocator.reuse_large_blocks()
    events, expressions = contract.events, contract.expressions
    found = [] if exercise.method == "pathwise" else regression.choices(events, expressions)
    paths = int(dataset["MC"]["PATHS"])
    antithetic = _antithetic(state)
    rule, method = None, None
    if found:
        rule, method = _calibrate(function, contract, market, state, dataset, seed, exercise, found, paths)
        rule.record = bool(flags & _CHOICES)
        events, expressions = rule.rewrite(events, expressions)
    elif exercise.method == "pathwise" and any(op in (">", "<") for op in events.column("op").to_pylist()):
        method = "pathwise"

    reset(state)
    sink = Recorder(state, forward=_names(flags))
    value, error, stats = _walk(function, events, sink, _with_section(dataset, FLAGS=flags | _PV_VEC),
                                expressions, antithetic)
    if rule is not None and flags & _CHOICES:
        stats["CHOICES"] = {**stats.get("CHOICES", {}), **rule.choices_statistic()}
    if not flags & _PV_VEC:
        stats.pop("PV_VEC", None)

    upper = None
    if exercise.upper_bound:
        reset(state)
        bound, bound_error, _ = _walk(function, contract.events, Recorder(state, forward=()),
                                      _with_section(dataset, FLAGS=_PV_VEC), contract.expressions, antithetic)
        upper = Price(bound, "monte_carlo", standard_error=bound_error, paths=paths, exercise="pathwise")
    return Price(value, "monte_carlo", standard_error=error, paths=paths, exercise=method,
                 calibration_paths=None if rule is None else rule.calibration_paths, upper_bound=upper), stats


def _names(flags: int) -> tuple[str, ...]:
    return tuple(name for bit, name in ((1, "PV_VEC"), (2, "CHOICES"), (8, "CASHFLOW")) if flags & bit)


def reset(state: Any) -> None:
    method = getattr(state, "reset", None)
    if callable(method):
        method()


def _calibrate(function: Callable, contract: Contract, market: Any, state: Any, dataset: dict[str, Any], seed: Any,
               exercise: ExerciseSettings, found: list[regression.Choice], paths: int
               ) -> tuple[regression.ExerciseRule, str]:
    """Fit the exercise rule on calibration paths: the source's own spawn with an independent seed,
    or, for a source that cannot spawn, its pricing paths (in-sample)."""
    spawn = getattr(state, "spawn", None)
    wanted = exercise.calibration_paths or min(paths, DEFAULT_CALIBRATION_PATHS)
    if callable(spawn):
        cal_seed = exercise.calibration_seed
        if cal_seed is None:
            cal_seed = regression.calibration_seed(getattr(state, "seed", seed))
        source, method = spawn(wanted, cal_seed), "regression"
    else:
        source, method = state, "regression (in-sample)"
    count = path_count(source) or (wanted if source is not state else paths)
    assets = regression.involved_assets(contract.events, contract.expressions, market.base)
    names = regression.regression_names(source, assets)
    times = sorted({(c.time - market.pricing_time) / YEAR_MS for c in found})
    calibration = regression.CalibrationState(source, times, names, market.discount_factor)
    calibration.reset()
    function(regression.payment_contract(contract.events), calibration, _with_section(dataset, PATHS=count, FLAGS=8),
             contract.expressions)
    rule = regression.fit(contract.events, contract.expressions, found, calibration.stats["CASHFLOW"], calibration,
                          market.pricing_time, count, exercise.degree)
    return rule, method
