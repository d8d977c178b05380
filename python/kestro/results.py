"""Turn the statistics the engine hands to ``set_stat`` into tables and numbers users read.

The functions take a :class:`~kestro.recorder.Recorder` (or anything with a ``stats`` dict), a
dict of statistics by name, or the statistic's value itself:

* :func:`cashflow_table` — "CASHFLOW" of a pricing (mean present value over paths) or of a
  backtest (the record batches), one row per track and event;
* :func:`exercise_probabilities` — "CHOICES", the share of paths on which each choice was taken;
* :func:`grid_values` and :func:`exercise_boundary` — "PV_VEC" and "CHOICES" of the
  finite-difference models against the grid's coordinates;
* :func:`standard_error` and :func:`mc_estimate` — the Monte Carlo error of "PV_VEC";
* :func:`plot_value_profile` and :func:`plot_exercise_boundary` — matplotlib figures.

Tables are pyarrow Tables, sorted by their keys; ``to_pandas=True`` returns a pandas DataFrame
instead (pandas must be installed).
"""

from __future__ import annotations

import math
import statistics
from typing import Any, Mapping, NamedTuple, Optional, Union

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from kestro.models import MODELS, model_info

GRID_MODELS = tuple(name for name in MODELS if model_info(name).is_grid)

__all__ = [
    "cashflow_table",
    "exercise_probabilities",
    "grid_coordinates",
    "grid_values",
    "exercise_boundary",
    "standard_error",
    "mc_estimate",
    "McEstimate",
    "plot_value_profile",
    "plot_exercise_boundary",
]

_FLAG_BITS = {"PV_VEC": 1, "CHOICES": 2, "CASHFLOW": 8}


# Reading the statistics


def _statistic(source: Any, name: str) -> Any:
    """The statistic ``name`` from a recorder, a dict of statistics, or the value itself."""
    stats = getattr(source, "stats", None)
    if isinstance(stats, Mapping):
        source = stats
    elif not (isinstance(source, Mapping) and name in source):
        return source
    try:
        return source[name]
    except KeyError:
        hint = f"pricing functions send it only with FLAGS bit {_FLAG_BITS[name]} set"
        raise KeyError(f"no {name} statistic was recorded ({hint}); recorded: {sorted(source)}") from None


def _finish(table: pa.Table, to_pandas: bool) -> Any:
    if not to_pandas:
        return table
    try:
        import pandas  # noqa: F401  (pyarrow's conversion needs it)
    except ImportError:
        raise ImportError("to_pandas=True needs pandas, which is not installed") from None
    return table.to_pandas()


def _column(timetable: Union[pa.RecordBatch, pa.Table], name: str) -> pa.Array:
    if isinstance(timetable, pa.Table):
        column = timetable.combine_chunks().column(name)
        return column.chunk(0) if column.num_chunks else pa.array([], column.type)
    return timetable.column(name)


def _with_timetable(columns: dict, timetable: Any, tracks: np.ndarray, events: np.ndarray) -> dict:
    """Add the track's name after "track" and the event's time after "event"."""
    if timetable is None:
        return columns
    track_column = _column(timetable, "track")
    names = track_column.dictionary if isinstance(track_column, pa.DictionaryArray) else track_column
    times = _column(timetable, "time")
    out = {}
    for key, value in columns.items():
        out[key] = value
        if key == "track":
            out["track_name"] = names.take(pa.array(tracks, pa.uint64()))
        elif key == "event":
            out["time"] = times.take(pa.array(events, pa.uint64()))
    return out


def _table(columns: dict, timetable: Any) -> pa.Table:
    tracks = np.asarray(columns["track"], dtype=np.uint64)
    events = np.asarray(columns["event"], dtype=np.uint64)
    columns = {**columns, "track": pa.array(tracks, pa.uint64()), "event": pa.array(events, pa.uint64())}
    return pa.table(_with_timetable(columns, timetable, tracks, events))


# Cashflows and choices


def cashflow_table(
    stats: Any,
    *,
    per_path: bool = False,
    timetable: Optional[Union[pa.RecordBatch, pa.Table]] = None,
    to_pandas: bool = False,
) -> Any:
    """The "CASHFLOW" statistic as a table with columns ``track``, ``event`` and ``value``.

    For a pricing ({track: {event: array per path}}) ``value`` is the mean over paths of the
    event's discounted cashflow, so the values of a track built from "+" and choice rows add up
    to its mean present value (for track 0, the price); ``per_path=True`` adds ``path_values``, the list of
    per-path amounts. For a backtest ({track: record batch of index and value}) the batches
    are concatenated, one row per recorded cashflow (``per_path`` gives one-element lists).
    Rows are sorted by track and event. With the ``timetable`` that was priced, the columns
    ``track_name`` and ``time`` are added.
    """
    report = _statistic(stats, "CASHFLOW")
    if not isinstance(report, Mapping):
        raise TypeError(f"CASHFLOW must be a dict by track, not {type(report).__name__}")
    tracks: list[int] = []
    events: list[int] = []
    values: list[float] = []
    paths: list[Any] = []  # per event: the list or array of per-path amounts
    for track in sorted(report):
        entry = report[track]
        if isinstance(entry, (pa.RecordBatch, pa.Table)):
            index = np.asarray(entry.column("index").to_numpy(zero_copy_only=False), dtype=np.uint64)
            amount = np.asarray(entry.column("value").to_numpy(zero_copy_only=False), dtype=np.float64)
            order = np.argsort(index, kind="stable")
            for e, v in zip(index[order].tolist(), amount[order].tolist()):
                tracks.append(track)
                events.append(e)
                values.append(v)
                paths.append([v])
        elif isinstance(entry, Mapping):
            for e in sorted(entry):
                array = np.asarray(entry[e], dtype=np.float64)
                tracks.append(track)
                events.append(e)
                paths.append(array)
                values.append(float(array.mean()) if array.size else math.nan)
        else:
            raise TypeError(f"CASHFLOW of track {track}: expected a dict by event or a record batch, "
                            f"not {type(entry).__name__}")
    columns: dict[str, Any] = {"track": tracks, "event": events, "value": pa.array(values, pa.float64())}
    if per_path:
        columns["path_values"] = pa.array([np.asarray(p, dtype=np.float64) for p in paths], pa.list_(pa.float64()))
    return _finish(_table(columns, timetable), to_pandas)


def exercise_probabilities(
    choices: Any,
    *,
    timetable: Optional[Union[pa.RecordBatch, pa.Table]] = None,
    to_pandas: bool = False,
) -> Any:
    """The "CHOICES" statistic as a table of ``event``, ``track`` and ``probability``.

    ``probability`` is the share of paths on which the alternative was taken at that event
    (the mean of the 0/1 array): for a holder's choice (">") the exercise probability under
    the paths' measure. Rows are sorted by event and track. With the ``timetable`` that was
    priced, the columns ``track_name`` and ``time`` are added.

    For the finite-difference models the arrays run over grid nodes rather than paths; see
    :func:`exercise_boundary` instead.
    """
    report = _statistic(choices, "CHOICES")
    if not isinstance(report, Mapping):
        raise TypeError(f"CHOICES must be a dict by event, not {type(report).__name__}")
    events: list[int] = []
    tracks: list[int] = []
    probabilities: list[float] = []
    for event in sorted(report):
        for track in sorted(report[event]):
            array = np.asarray(report[event][track])
            events.append(event)
            tracks.append(track)
            probabilities.append(float(np.count_nonzero(array)) / array.size if array.size else math.nan)
    columns = {"event": events, "track": tracks, "probability": pa.array(probabilities, pa.float64())}
    return _finish(_table(columns, timetable), to_pandas)


# Finite-difference grids


def _check_model(model: str) -> str:
    coordinate = model_info(model).grid_coordinate
    if coordinate is None:
        raise ValueError(f"model must be one of the grid models {', '.join(GRID_MODELS)}, not {model!r}")
    return coordinate


def grid_coordinates(n_x: int, max_x: float, centre: float = 0.0) -> np.ndarray:
    """The node coordinates of the finite-difference grid, node 0 at the top.

    ``x_i = centre + max_x - i * max_x / n_x`` for ``i = 0 … 2 n_x``, computed in the engine's
    order of operations. ``centre`` is ``ln S0`` (the log of the asset's forward at the pricing
    time) for Black-Scholes and 0 for Hull-White.
    """
    n_x = int(n_x)
    if n_x < 0:
        raise ValueError(f"n_x must be non-negative, got {n_x}")
    max_x = float(max_x)
    step = (-max_x - max_x) / (2 * n_x) if n_x else 0.0
    return np.arange(2 * n_x + 1, dtype=np.float64) * step + max_x + float(centre)


def _grid_of(source: Any, n_x: Any, max_x: Any, centre: Any, model: Any) -> tuple[int, float, float, str]:
    """The grid of a result (a :class:`kestro.PriceResult` knows it), or the one given."""
    grid = getattr(source, "grid", None)
    if grid is not None:
        return (grid.n_x if n_x is None else int(n_x), grid.max_x if max_x is None else float(max_x),
                grid.centre if centre is None else float(centre), grid.model if model is None else model)
    if getattr(source, "settings", None) is not None and hasattr(source, "price"):
        raise ValueError(f"this result was priced with model {source.price.model!r}, which has no grid")
    if n_x is None or max_x is None:
        raise TypeError("give the grid: pass the PriceResult of a grid pricing, or n_x= and max_x= (and centre=)")
    model = "black_scholes" if model is None else model
    if centre is None:
        if model == "black_scholes":
            raise TypeError("centre= is the log of the asset's spot (its forward at the pricing time), where the "
                            "Black-Scholes grid is centred: pass centre=math.log(spot), or the PriceResult itself")
        centre = 0.0
    return int(n_x), float(max_x), float(centre), model


def _node_state(x: np.ndarray, model: str) -> tuple[str, np.ndarray]:
    column = _check_model(model)
    return column, (np.exp(x) if model == "black_scholes" else x.copy())


def grid_values(
    pv_vec: Any,
    n_x: Optional[int] = None,
    max_x: Optional[float] = None,
    centre: Optional[float] = None,
    model: Optional[str] = None,
    *,
    to_pandas: bool = False,
) -> Any:
    """The "PV_VEC" of a finite-difference pricing against the grid.

    ``pv_vec`` is the :class:`kestro.PriceResult` of a grid pricing (which knows its grid), or
    the statistic with the grid given: ``n_x``, ``max_x``, ``centre`` (required for
    Black-Scholes: ``ln S0``) and ``model`` (default ``"black_scholes"``).

    Columns: ``node`` (0 at the top of the grid), ``x`` (the node coordinate, see
    :func:`grid_coordinates`), ``spot`` (``exp(x)``, Black-Scholes) or ``short_rate_factor``
    (``x``, the Hull-White factor that the short rate adds to its fitted drift), and ``value``.
    The price is the value at node ``n_x``.
    """
    n_x, max_x, centre, model = _grid_of(pv_vec, n_x, max_x, centre, model)
    values = np.asarray(_statistic(pv_vec, "PV_VEC"), dtype=np.float64)
    if values.ndim != 1 or values.size != 2 * int(n_x) + 1:
        raise ValueError(f"a grid with n_x = {n_x} has {2 * int(n_x) + 1} nodes, but PV_VEC has shape {values.shape}")
    x = grid_coordinates(n_x, max_x, centre)
    column, state = _node_state(x, model)
    table = pa.table({"node": pa.array(np.arange(x.size, dtype=np.uint64)), "x": x, column: state, "value": values})
    return _finish(table, to_pandas)


def exercise_boundary(
    choices: Any,
    n_x: Optional[int] = None,
    max_x: Optional[float] = None,
    centre: Optional[float] = None,
    model: Optional[str] = None,
    *,
    timetable: Optional[Union[pa.RecordBatch, pa.Table]] = None,
    to_pandas: bool = False,
) -> Any:
    """Where on the finite-difference grid each choice was taken.

    One row per choice event and track of "CHOICES": ``nodes`` (how many nodes took the
    alternative), and ``low`` and ``high``, the smallest and largest ``spot``
    (Black-Scholes) or ``short_rate_factor`` (Hull-White) at which it was taken (null when
    it never was). For a put exercised below a critical price, ``high`` is that price to
    within a node. With the ``timetable`` (taken from a result by default), ``track_name`` and
    ``time`` are added. The grid is read from a :class:`kestro.PriceResult` or given as for
    :func:`grid_values`.
    """
    n_x, max_x, centre, model = _grid_of(choices, n_x, max_x, centre, model)
    if timetable is None and getattr(choices, "contract", None) is not None:
        timetable = choices.contract.events
    report = _statistic(choices, "CHOICES")
    x = grid_coordinates(n_x, max_x, centre)
    _, state = _node_state(x, model)
    events: list[int] = []
    tracks: list[int] = []
    counts: list[int] = []
    lows: list[float | None] = []
    highs: list[float | None] = []
    for event in sorted(report):
        for track in sorted(report[event]):
            taken = np.asarray(report[event][track]) != 0
            if taken.shape != x.shape:
                raise ValueError(f"CHOICES at event {event}, track {track} has {taken.size} entries, "
                                 f"but the grid has {x.size} nodes")
            chosen = state[taken]
            events.append(event)
            tracks.append(track)
            counts.append(int(chosen.size))
            lows.append(float(chosen.min()) if chosen.size else None)
            highs.append(float(chosen.max()) if chosen.size else None)
    columns = {"event": events, "track": tracks, "nodes": pa.array(counts, pa.int64()),
               "low": pa.array(lows, pa.float64()), "high": pa.array(highs, pa.float64())}
    return _finish(_table(columns, timetable), to_pandas)


# Monte Carlo error


class McEstimate(NamedTuple):
    """A Monte Carlo price with its standard error and a normal confidence interval."""

    mean: float
    standard_error: float
    interval: tuple[float, float]


def _samples(pv_vec: Any, antithetic: bool) -> np.ndarray:
    values = np.asarray(_statistic(pv_vec, "PV_VEC"), dtype=np.float64)
    if values.ndim != 1 or values.size == 0:
        raise ValueError(f"PV_VEC must be a non-empty 1-D array, got shape {values.shape}")
    if antithetic:
        if values.size % 2:
            raise ValueError(f"antithetic paths come in pairs, but PV_VEC has {values.size} entries")
        half = values.size // 2
        values = 0.5 * (values[:half] + values[half:])
    return values


def standard_error(pv_vec: Any, *, antithetic: bool = False) -> float:
    """The standard error of the mean of "PV_VEC": sample standard deviation over sqrt(paths).

    With ``antithetic=True`` paths ``i`` and ``i + n/2`` are a pair (as
    :class:`~kestro.paths.GbmPaths` and :class:`~kestro.paths.HullWhitePaths` lay them out) and
    the error is that of the pair means. NaN when there is a single sample.
    """
    values = _samples(pv_vec, antithetic)
    if values.size < 2:
        return math.nan
    return float(values.std(ddof=1) / math.sqrt(values.size))


def mc_estimate(pv_vec: Any, *, antithetic: bool = False, confidence: float = 0.95) -> McEstimate:
    """The price (the mean of "PV_VEC"), its standard error and a normal confidence interval.

    The interval measures the sampling error only. For a contract with choices it also matters
    how the choices were made (:attr:`kestro.estimates.Price.exercise`): a regression rule
    (the default) is a feasible policy, so for the holder's choices the estimate is biased low
    by the rule's shortfall from the best policy; path-wise choices see the path's future and
    are biased high. Price with ``upper_bound=True`` to get both from the same paths: the true
    value lies between them, and the gap shows how much the exercise policy matters.
    """
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {confidence!r}")
    values = _samples(pv_vec, antithetic)
    mean = float(values.mean())
    error = standard_error(values) if values.size >= 2 else math.nan
    z = statistics.NormalDist().inv_cdf(0.5 + confidence / 2.0)
    return McEstimate(mean, error, (mean - z * error, mean + z * error))


# Plots (matplotlib is imported only here)


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib, which is not installed") from None
    return plt.subplots()[1]


def plot_value_profile(
    pv_vec: Any,
    n_x: Optional[int] = None,
    max_x: Optional[float] = None,
    centre: Optional[float] = None,
    model: Optional[str] = None,
    *,
    ax: Any = None,
    **line_options: Any,
) -> Any:
    """Plot the finite-difference "PV_VEC" against the spot (or short-rate factor); returns the axes.

    The centre node, whose value is the price, is marked. Takes a :class:`kestro.PriceResult`
    or the grid as :func:`grid_values` does.
    """
    n_x, max_x, centre, model = _grid_of(pv_vec, n_x, max_x, centre, model)
    table = grid_values(pv_vec, n_x, max_x, centre, model)
    column = _check_model(model)
    state, values = table.column(column).to_numpy(), table.column("value").to_numpy()
    ax = _axes(ax)
    ax.plot(state, values, **line_options)
    ax.plot([state[int(n_x)]], [values[int(n_x)]], "o", label=f"price {values[int(n_x)]:.6g}")
    ax.set_xlabel(column.replace("_", " "))
    ax.set_ylabel("value")
    ax.legend()
    return ax


def plot_exercise_boundary(
    choices: Any,
    n_x: Optional[int] = None,
    max_x: Optional[float] = None,
    centre: Optional[float] = None,
    model: Optional[str] = None,
    *,
    timetable: Optional[Union[pa.RecordBatch, pa.Table]] = None,
    track: Optional[int] = None,
    ax: Any = None,
) -> Any:
    """Plot where each finite-difference choice was taken, event by event; returns the axes.

    Draws the ``low`` and ``high`` edges of :func:`exercise_boundary` against the event's time
    (with ``timetable``) or its index, for one ``track`` (all tracks by default).
    """
    n_x, max_x, centre, model = _grid_of(choices, n_x, max_x, centre, model)
    if timetable is None and getattr(choices, "contract", None) is not None:
        timetable = choices.contract.events
    table = exercise_boundary(choices, n_x, max_x, centre, model, timetable=timetable)
    if track is not None:
        table = table.filter(pc.equal(table.column("track"), pa.scalar(track, pa.uint64())))
    ax = _axes(ax)
    at = table.column("time").to_pylist() if timetable is not None else table.column("event").to_pylist()
    for edge in ("low", "high"):
        values = [math.nan if v is None else v for v in table.column(edge).to_pylist()]
        ax.plot(at, values, "o-", label=edge)
    ax.set_xlabel("time" if timetable is not None else "event")
    ax.set_ylabel(_check_model(model).replace("_", " ") + " where taken")
    ax.legend()
    return ax
