"""Early exercise under Monte Carlo by regression (Longstaff-Schwartz).

The engine makes every choice (">" the holder's, "<" the issuer's) path by path against the
realised value of what follows: with foresight of the path, so for a holder's choice the price
is biased upwards. It also lets a contract state its own exercise rule: a row whose op names a
phrase is booked with the phrase's value as a weight on each path (1 replaces the track's later
value by the row's value, 0 keeps it). This module builds such rules by regression:

1. **Calibration.** The contract is walked on paths of its own (an independent seed stream)
   with every choice booked as a payment, so the engine reports each row's present value on
   every path ("CASHFLOW"). A path source wrapper notes, at every choice time, the discount
   factor the engine applies and the values of the state variables (:func:`regression_names`).
2. **Backward regression.** From the last choice to the first, each track's value is rebuilt
   from those cashflows as the engine books them. At a choice the track's value after it splits
   into the payments at the same time listed after the choice (known at the choice) and the
   future continuation; the continuation, in money of the choice time, is regressed on
   polynomials of the state variables; a path exercises where the immediate value beats the
   fitted continuation ("<": falls below it), and the rebuilt track follows that decision.
3. **Pricing.** Each choice row's op becomes a named op whose phrase applies the fitted rule to
   the state on fresh paths. The price is then the value of a feasible exercise policy: an
   unbiased estimate of a lower bound for the holder's choices (an upper bound for the
   issuer's), where the path-wise price is the opposite bound.

Regression details, all fixed here so that results are reproducible:

- Basis: every monomial of total degree up to ``degree`` in the state variables, each
  standardised by its mean and standard deviation over the regression paths; variables that
  are the same on every path (an asset at the pricing time) drop out.
- Paths: when the continuation is non-negative on every calibration path (options), only the
  paths where exercising pays something are used ("in the money"), as Longstaff and Schwartz
  do, and the other paths never exercise; otherwise every path is used.
- Too few paths: the degree is lowered until there are at least :data:`PATHS_PER_FUNCTION`
  paths per basis function; with fewer paths than that for a constant, the rule compares with
  the mean continuation. A singular design (variables that move together) is solved by least
  squares with small singular values cut off, so the fit never fails or yields NaN.
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, Sequence

import numpy as np
import pyarrow as pa

from kestro.clock import YEAR_MS
from kestro.events import _encode

__all__ = ["ExerciseRule", "PATHS_PER_FUNCTION", "Choice", "choices", "fit", "regression_names"]

PATHS_PER_FUNCTION = 10
"""The fewest regression paths per basis function before the degree is lowered."""

RULE_PREFIX = "kestro.exercise#"
"""Names of the phrases that carry a fitted rule, followed by the choice's row index."""

_BOOKED_OPS = ("+", ">", "<")


# Reading the timetable


@dataclass(frozen=True)
class _Rows:
    """The timetable's columns as Python values, with each unit's kind resolved as the engine does."""

    times: np.ndarray
    tracks: list[int | None]
    track_names: list[str]
    ops: list[str | None]
    quantities: np.ndarray
    units: list[str | None]
    kinds: list[str]  # "asset", "track", "snap", "snapper", "phrase" or "none"
    referenced: dict[str, int]  # unit string of a Track unit -> track number

    @classmethod
    def read(cls, events: pa.RecordBatch, expressions: dict[str, Any]) -> "_Rows":
        track_column = events.column("track")
        track_names = [str(v) for v in track_column.dictionary.to_pylist()]
        tracks = track_column.indices.to_pylist()
        ops = events.column("op").to_pylist()
        units = events.column("unit").to_pylist()
        phrases = {n for n, e in expressions.items() if isinstance(e, dict) and e.get("type") == "phrase"}
        snappers = {n for n, e in expressions.items() if isinstance(e, dict) and e.get("type") == "snapper"}
        snaps = {o for n in snappers for o in (expressions[n].get("out") or ())}
        track_number: dict[str, int] = {}
        for number, name in enumerate(track_names):
            track_number.setdefault(name, number)
        kinds: list[str] = []
        referenced: dict[str, int] = {}
        for unit in units:
            if unit is None:
                kinds.append("none")
            elif unit in phrases:
                kinds.append("phrase")
            elif unit in snappers:
                kinds.append("snapper")
            elif unit in snaps:
                kinds.append("snap")
            elif unit in track_number:
                kinds.append("track")
                referenced[unit] = track_number[unit]
            else:
                kinds.append("asset")
        times = events.column("time").cast(pa.int64()).to_numpy(zero_copy_only=False)
        quantities = events.column("quantity").to_numpy(zero_copy_only=False)
        return cls(times, tracks, track_names, ops, quantities, units, kinds, referenced)

    def describe(self, row: int) -> str:
        track = self.tracks[row]
        name = self.track_names[track] if track is not None else None
        return f"row {row} (track {name!r}, op {self.ops[row]!r}, unit {self.units[row]!r})"


@dataclass(frozen=True)
class Choice:
    """One choice row and the payments at its time that are known when it is made.

    ``known`` lists the rows at the same time on the same track that follow the choice in the
    table (so they are part of what it compares against) up to the next choice, snapper or
    track reference: ``(row, quantity, unit)``.
    """

    row: int
    time: int
    track: int
    holder: bool
    quantity: float
    unit: str
    known: tuple[tuple[int, float, str], ...]


def choices(events: pa.RecordBatch, expressions: dict[str, Any]) -> list[Choice]:
    """The choice rows (">" or "<") of a timetable that a regression rule can replace, in row order.

    Raises ``ValueError`` for a contract that regression cannot handle: a named op of its own
    beside choices, or a choice whose alternative is another track's value (known only once the
    walk is over), naming the row.
    """
    rows = _Rows.read(events, expressions)
    found = [i for i, op in enumerate(rows.ops) if op in (">", "<") and rows.kinds[i] not in ("snapper", "none")]
    if not found:
        return []
    for i, op in enumerate(rows.ops):
        if op is not None and op not in _BOOKED_OPS and rows.kinds[i] not in ("snapper", "none"):
            raise ValueError(f"{rows.describe(i)} books with its own exercise rule; exercise='regression' cannot "
                             "combine it with fitted rules for the contract's choices: price it with "
                             "exercise='pathwise'")
    result = []
    for i in found:
        if rows.kinds[i] == "track":
            raise ValueError(f"{rows.describe(i)} chooses against another track's value, which is known only after "
                             "the walk; exercise='regression' needs an alternative valued at the choice time (an "
                             "asset, a snap or a phrase): rewrite it so, or price with exercise='pathwise'")
        known = []
        for j in range(i + 1, len(rows.ops)):
            if rows.times[j] != rows.times[i]:
                break
            if rows.tracks[j] != rows.tracks[i]:
                if rows.kinds[j] == "snapper":
                    break
                continue
            if rows.ops[j] != "+" or rows.kinds[j] in ("track", "snapper", "none"):
                break
            known.append((j, float(rows.quantities[j]), str(rows.units[j])))
        track = rows.tracks[i]
        if track is None:  # the engine refuses it when booking
            continue
        result.append(Choice(i, int(rows.times[i]), track, rows.ops[i] == ">", float(rows.quantities[i]),
                             str(rows.units[i]), tuple(known)))
    return result


def involved_assets(events: pa.RecordBatch, expressions: dict[str, Any], base: str) -> list[str]:
    """Asset names the contract reads: asset units and expression inputs that name no expression or snap."""
    rows = _Rows.read(events, expressions)
    snaps = {o for e in expressions.values() if isinstance(e, dict) for o in (e.get("out") or ())}
    names = [u for u, k in zip(rows.units, rows.kinds) if k == "asset" and u is not None]
    for entry in expressions.values():
        if isinstance(entry, dict):
            names.extend(n for n in entry.get("inp") or () if isinstance(n, str))
    names = [n for n in names if n not in expressions and n not in snaps and n != base and n not in rows.referenced]
    return list(dict.fromkeys(names))


def regression_names(source: Any, assets: Sequence[str]) -> list[str]:
    """The state variables regressed on at a choice: what the path source says describes its state
    (its ``regression_state(assets)``), or else the contract's assets themselves."""
    method = getattr(source, "regression_state", None)
    names = list(method(list(assets))) if callable(method) else list(assets)
    return list(dict.fromkeys(names))


# Calibration paths


class CalibrationState:
    """A ``py_state`` around a path source that notes, at the choice times, the discount factors
    the engine applies (its running product of ``advance`` answers, as the engine keeps it) and
    the values of the state variables."""

    def __init__(self, source: Any, times: Sequence[float], names: Sequence[str],
                 discount: Callable[[float], float]) -> None:
        self.source, self.names, self._discount = source, list(names), discount
        self._times = set(times)
        self.snapshots: dict[float, tuple[Any, dict[str, np.ndarray | None]]] = {}
        self.stats: dict[str, Any] = {}
        self._factor: Any = 1.0

    def reset(self) -> None:
        method = getattr(self.source, "reset", None)
        if callable(method):
            method()
        self.snapshots.clear()
        self.stats.clear()
        self._factor = 1.0
        if 0.0 in self._times:
            self._snapshot(0.0)

    def advance(self, x: float) -> Any:
        answer: Any = getattr(self.source, "advance", lambda _: None)(x)
        if isinstance(answer, np.ndarray) and answer.ndim == 1 and answer.dtype == np.float64:
            self._factor = self._factor * answer
        else:
            try:
                self._factor = self._factor * float(answer)
            except (TypeError, ValueError):
                self._factor = self._discount(x)
        if x in self._times:
            self._snapshot(x)
        return answer

    def get_value(self, name: str, *time: Any) -> Any:
        method = getattr(self.source, "get_value", None)
        return None if method is None else method(name, *time)

    def set_stat(self, name: str, value: Any) -> None:
        self.stats[name] = value

    def _snapshot(self, x: float) -> None:
        values: dict[str, np.ndarray | None] = {}
        for name in self.names:
            value = self.get_value(name)
            is_path_array = isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype == np.float64
            values[name] = np.array(value) if is_path_array else None
        factor = self._factor
        self.snapshots[x] = (np.array(factor) if isinstance(factor, np.ndarray) else float(factor), values)


# The regression


def _exponents(variables: int, degree: int) -> list[tuple[int, ...]]:
    """Exponent tuples of every monomial of total degree <= degree, by degree, constant first."""
    return [powers for total in range(degree + 1)
            for powers in sorted(itertools.product(range(total + 1), repeat=variables), reverse=True)
            if sum(powers) == total]


def _basis(z: np.ndarray, exponents: list[tuple[int, ...]]) -> np.ndarray:
    """The monomials of the standardised variables ``z`` (variables x paths), one row each.

    Each monomial is a lower one (listed before it) times one variable: one multiplication per row.
    """
    rows = np.empty((len(exponents), z.shape[1]))
    index = {powers: i for i, powers in enumerate(exponents)}
    for i, powers in enumerate(exponents):
        variable = next((v for v, p in enumerate(powers) if p), None)
        if variable is None:
            rows[i] = 1.0
            continue
        lower = powers[:variable] + (powers[variable] - 1,) + powers[variable + 1:]
        np.multiply(rows[index[lower]], z[variable], out=rows[i])
    return rows


def _horner(z: np.ndarray, coefficients: np.ndarray) -> np.ndarray:
    """``sum_k coefficients[k] * z**k`` on every path, in place in one array: a continuation is
    evaluated at every choice of every path, and building the powers as a basis matrix and
    multiplying it out streams several times the memory."""
    degree = len(coefficients) - 1
    total = z * coefficients[degree]
    total += coefficients[degree - 1]
    for k in range(degree - 2, -1, -1):
        total *= z
        total += coefficients[k]
    return total


def _least_squares(basis: np.ndarray, target: np.ndarray) -> np.ndarray:
    """Coefficients c minimising |c @ basis - target|, through the normal equations; directions
    whose singular values fall below 1e-6 of the largest (variables that move together) are cut."""
    gram = basis @ basis.T
    return np.linalg.lstsq(gram, basis @ target, rcond=1e-12)[0]


@dataclass
class Fit:
    """The fitted continuation at one choice: a polynomial in standardised state variables."""

    names: list[str]
    mean: np.ndarray
    scale: np.ndarray
    exponents: list[tuple[int, ...]]
    coefficients: np.ndarray

    @property
    def degree(self) -> int:
        return max((sum(p) for p in self.exponents), default=0)

    def __call__(self, state: Mapping[str, Any]) -> np.ndarray:
        """The fitted continuation on every path, from the state variables' values there."""
        if not self.names:
            return self.coefficients[:1]
        if len(self.names) == 1:  # one variable: its powers in order, evaluated by Horner's rule
            z = np.subtract(state[self.names[0]], self.mean[0], dtype=np.float64)
            z /= self.scale[0]
            return _horner(z, self.coefficients)
        z = np.array(np.broadcast_arrays(*((np.asarray(state[n], dtype=np.float64) - m) / s
                                           for n, m, s in zip(self.names, self.mean, self.scale))))
        return self.coefficients @ _basis(z, self.exponents)


def _regress(features: dict[str, np.ndarray | None], target: np.ndarray, subset: np.ndarray, degree: int) -> Fit:
    """Least-squares fit of target[subset] on polynomials of the varying features."""
    count = int(subset.sum())
    names, columns = [], []
    for name, values in features.items():
        if values is None or count == 0:
            continue
        chosen = values[subset]
        if np.ptp(chosen) > 0:
            names.append(name)
            columns.append(chosen)
    if count == 0:  # no path to learn from: compare with the mean continuation over every path
        return Fit([], np.empty(0), np.empty(0), [()], np.array([float(np.mean(target))]))
    x = np.array(columns) if columns else np.empty((0, count))
    mean, scale = x.mean(axis=1), x.std(axis=1)
    z = (x - mean[:, None]) / scale[:, None] if columns else x
    while degree > 0 and len(_exponents(len(names), degree)) * PATHS_PER_FUNCTION > count:
        degree -= 1
    if degree == 0 or not names:
        return Fit([], np.empty(0), np.empty(0), [()], np.array([float(np.mean(target[subset]))]))
    exponents = _exponents(len(names), degree)
    coefficients = _least_squares(_basis(z, exponents), target[subset])
    return Fit(names, mean, scale, exponents, coefficients)


@dataclass
class _Decision:
    choice: Choice
    fit: Fit
    in_the_money: bool  # only paths where exercising pays something may exercise

    def exercise(self, immediate: np.ndarray, continuation: np.ndarray) -> np.ndarray:
        holder = self.choice.holder
        decision = immediate > continuation if holder else immediate < continuation
        if self.in_the_money:
            decision &= immediate > 0 if holder else immediate < 0
        return decision


@dataclass
class ExerciseRule:
    """Fitted exercise decisions for every choice of a contract, ready to be written into it."""

    decisions: list[_Decision]
    calibration_paths: int
    degree: int
    record: bool = False
    weights: dict[int, np.ndarray] = field(default_factory=dict)

    def rewrite(self, events: pa.RecordBatch, expressions: dict[str, Any]) -> tuple[pa.RecordBatch, dict[str, Any]]:
        """The timetable with every choice's op replaced by the named op of its rule, and the
        expressions with the rule phrases added."""
        ops = events.column("op").to_pylist()
        taken = set(expressions) | set(events.column("unit").dictionary.to_pylist())
        expressions = dict(expressions)
        for decision in self.decisions:
            row = decision.choice.row
            name = RULE_PREFIX + str(row)
            while name in taken:
                name += "'"
            ops[row] = name
            inputs = [decision.choice.unit, *(unit for _, _, unit in decision.choice.known), *decision.fit.names]
            inputs = list(dict.fromkeys(inputs))
            expressions[name] = {"type": "phrase", "fn": self._phrase(decision, inputs), "inp": inputs}
        columns = [events.column(i) for i in range(events.num_columns)]
        columns[events.schema.get_field_index("op")] = _encode(ops, None, "op")
        return pa.RecordBatch.from_arrays(columns, schema=events.schema), expressions

    def _phrase(self, decision: _Decision, inputs: list[str]) -> Callable[[list[np.ndarray]], list[np.ndarray]]:
        return RulePhrase(self, decision, inputs)

    def choices_statistic(self) -> dict[int, dict[int, np.ndarray]]:
        """The weights the rules returned, as the engine's "CHOICES" statistic (1 where exercised)."""
        return {d.choice.row: {d.choice.track: (self.weights[d.choice.row] > 0.5).astype(np.uint64)}
                for d in self.decisions if d.choice.row in self.weights}


class RulePhrase:
    """The phrase of one fitted choice: 1.0 on the paths where the rule exercises, 0.0 elsewhere.

    A module-level class rather than a closure, so a rewritten contract pickles and its chunks
    can be priced in other processes with the rule fitted once. With the rule's ``record`` on,
    the weights are kept in the rule for the "CHOICES" statistic.
    """

    __slots__ = ("rule", "decision", "unit", "known", "features")

    def __init__(self, rule: ExerciseRule, decision: _Decision, inputs: list[str]) -> None:
        position = {name: i for i, name in enumerate(inputs)}
        self.rule, self.decision = rule, decision
        self.unit = position[decision.choice.unit]
        self.known = [(quantity, position[unit]) for _, quantity, unit in decision.choice.known]
        self.features = [(name, position[name]) for name in decision.fit.names]

    def __call__(self, values: list[np.ndarray]) -> list[np.ndarray]:
        choice = self.decision.choice
        immediate = choice.quantity * values[self.unit]
        for quantity, i in self.known:
            immediate = immediate - quantity * values[i]
        continuation = self.decision.fit({name: values[i] for name, i in self.features})
        weight = np.atleast_1d(self.decision.exercise(immediate, continuation).astype(np.float64))
        if self.rule.record:
            self.rule.weights[choice.row] = weight
        return [weight]


def fit(events: pa.RecordBatch, expressions: dict[str, Any], found: list[Choice], cashflows: dict[int, dict],
        state: CalibrationState, pricing_ts: int, paths: int, degree: int) -> ExerciseRule:
    """Regress backwards through the calibration run's cashflows and return the fitted rule.

    ``cashflows`` is the "CASHFLOW" statistic of the contract walked with every choice booked as
    a payment; ``state`` the wrapper that walked it.
    """
    rows = _Rows.read(events, expressions)
    by_row = {c.row: c for c in found}
    values: dict[int, np.ndarray] = {}
    decisions: list[_Decision] = []

    def track_value(track: int) -> np.ndarray:
        if track not in values:
            values[track] = np.zeros(paths)
        return values[track]

    def cashflow(track: int, row: int) -> np.ndarray:
        return np.broadcast_to(np.asarray(cashflows[track][row], dtype=np.float64), paths)

    for row in range(len(rows.ops) - 1, -1, -1):
        kind, track = rows.kinds[row], rows.tracks[row]
        if kind in ("snapper", "none") or track is None:
            continue
        if kind == "track":
            values[track] = track_value(track) + track_value(rows.referenced[str(rows.units[row])])
            continue
        if row not in by_row:
            values[track] = track_value(track) + cashflow(track, row)
            continue
        choice = by_row[row]
        x = (choice.time - pricing_ts) / YEAR_MS
        if x not in state.snapshots:
            raise RuntimeError(f"the calibration paths never reached {rows.describe(row)} at {x!r} years: the path "
                               "source must be advanced by the engine to every choice time")
        factor, features = state.snapshots[x]
        after = track_value(track)
        known = sum((cashflow(track, j) for j, _, _ in choice.known), np.zeros(paths))
        exercise_value = cashflow(track, row)
        immediate = (exercise_value - known) / factor
        continuation = (after - known) / factor
        bad = ~(np.isfinite(immediate) & np.isfinite(continuation))
        if bad.any():
            raise ValueError(f"the calibration paths give a non-finite value at {rows.describe(row)} on "
                             f"{int(bad.sum())} of {paths} paths")
        option_like = continuation.min() >= 0 if choice.holder else continuation.max() <= 0
        subset = (immediate > 0 if choice.holder else immediate < 0) if option_like else np.ones(paths, dtype=bool)
        fitted = _regress(features, continuation, subset, degree)
        decision = _Decision(choice, fitted, bool(option_like))
        exercised = decision.exercise(immediate, fitted(features))
        values[track] = np.where(exercised, exercise_value, after)
        decisions.append(decision)
    decisions.reverse()
    return ExerciseRule(decisions, paths, degree)


def payment_contract(events: pa.RecordBatch) -> pa.RecordBatch:
    """The timetable with every choice booked as a payment ("+"), for the calibration walk."""
    ops = [("+" if op in (">", "<") else op) for op in events.column("op").to_pylist()]
    columns = [events.column(i) for i in range(events.num_columns)]
    columns[events.schema.get_field_index("op")] = _encode(ops, None, "op")
    return pa.RecordBatch.from_arrays(columns, schema=events.schema)


def calibration_seed(seed: Any) -> np.random.SeedSequence:
    """A seed stream independent of the pricing paths' ``numpy.random.default_rng(seed)``."""
    entropy = seed.entropy if isinstance(seed, np.random.SeedSequence) else seed
    return np.random.SeedSequence(entropy, spawn_key=(0x4C5351,))

