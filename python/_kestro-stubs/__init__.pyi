"""Type information for `_kestro`, the pricing and backtesting engine."""

from typing import Any, Mapping, Protocol

import numpy as np
import numpy.typing as npt
import pyarrow as pa

class ArrowArrayExportable(Protocol):
    """Any object exporting a struct array through the Arrow PyCapsule protocol."""

    def __arrow_c_array__(self, requested_schema: object | None = ...) -> tuple[object, object]: ...

Events = pa.RecordBatch | ArrowArrayExportable
"""A timetable: columns "time" (timestamp[ms]), "track", "op", "unit" (dictionary with int64
keys and utf8 values) and "quantity" (float64), one row per event."""

Dataset = Mapping[str, Any]
"""Market data and model settings: "BASE", "PRICING_TS", "ASSETS" and the model's section
("FIXED", "MC", "FD" with "BS" or "HW")."""

Expressions = Mapping[str, Mapping[str, Any]]
"""Name -> {"type": "snapper" | "phrase", "fn": callable, "inp": [names], "out": [names]}."""

class StatSink(Protocol):
    """What every function may call on `py_state` after a successful evaluation."""

    def set_stat(self, name: str, value: npt.NDArray[np.float64] | dict[int, Any], /) -> object: ...

def mc_price(events_rb: Events, py_state: Any, dataset: Dataset, expressions: Expressions) -> float:
    """Price on the paths `py_state` supplies: `advance(x)` gives each step's discount
    factors, `get_value(name)` each asset's values per path; the mean over paths."""

def fixed_price(events_rb: Events, py_state: Any, dataset: Dataset, expressions: Expressions) -> float:
    """Price on one deterministic path: assets at their forwards, payments discounted on the
    base currency's curve."""

def fd_hullwhite_price(events_rb: Events, py_state: Any, dataset: Dataset, expressions: Expressions) -> float:
    """Price on a Crank-Nicolson grid of the Hull-White short-rate factor."""

def fd_blackscholes_price(events_rb: Events, py_state: Any, dataset: Dataset, expressions: Expressions) -> float:
    """Price on a Crank-Nicolson grid of the log price of the dataset's "BS" asset."""

def backtest_csv(events_rb: Events, py_state: Any, _filename: str, base: str, expressions: Expressions) -> None:
    """Run the timetable against constant history (every asset but `base` worth 100); the
    cashflows go to `py_state.set_stat("CASHFLOW", {track: pyarrow.RecordBatch})`."""

def backtest_py(events_rb: Events, py_state: Any, expressions: Expressions, base: str) -> None:
    """Run the timetable against history from `py_state.get_value(name, time_ms)`; the
    cashflows go to `py_state.set_stat("CASHFLOW", {track: pyarrow.RecordBatch})`."""
