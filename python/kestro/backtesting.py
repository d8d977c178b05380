"""Run a contract once against historical prices: :func:`backtest`.

The contract's events book, in their own time's money, the historical value of what they
name: the engine asks the :class:`~kestro.history.HistorySource` for each asset's last price
at or before each event (the base currency is worth 1). The result holds every booking as a
cashflow table and, summed by track, the profit or loss.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional

import _kestro
import pyarrow as pa

from kestro.history import HistorySource
from kestro.recorder import Recorder
from kestro.templates import Contract

__all__ = ["BacktestResult", "backtest"]


@dataclass(frozen=True)
class BacktestResult:
    """What a backtest booked.

    - ``cashflows``: one row per booking (``event``, ``track``, ``track_name``, ``time``,
      ``value``), a pyarrow Table (see :func:`kestro.cashflow_table`).
    - ``totals``: the sum of the bookings by track name, in the base currency.
    - ``stats``: the raw "CASHFLOW" statistic the engine sent.
    - ``contract``: the contract that was run.
    """

    cashflows: pa.Table
    totals: dict[str, float]
    stats: dict[str, Any]
    contract: Contract

    @property
    def profit(self) -> float:
        """The sum of every booking of track 0, the contract's own track."""
        return self.totals.get(self.contract.tracks[0], 0.0) if self.contract.tracks else 0.0

    def to_pandas(self) -> Any:
        """The cashflow table as a pandas DataFrame (pandas must be installed)."""
        return self.cashflows.to_pandas()

    def __repr__(self) -> str:
        totals = ", ".join(f"{name}: {value:+.6g}" for name, value in self.totals.items()) or "nothing booked"
        return f"BacktestResult({self.cashflows.num_rows} bookings; {totals})"

    def _repr_html_(self) -> str:
        import html

        rows = "".join(f"<tr><td>{html.escape(str(r['time']))}</td><td>{html.escape(str(r['track_name']))}</td>"
                       f"<td style='text-align:right'>{r['value']:+.6g}</td></tr>"
                       for r in self.cashflows.slice(0, 50).to_pylist())
        more = "" if self.cashflows.num_rows <= 50 else f"<p>... {self.cashflows.num_rows - 50} more</p>"
        return f"<table><tr><th>time</th><th>track</th><th>value</th></tr>{rows}</table>{more}"


def backtest(contract: Any, history: Any, *, base: Optional[str] = None, time_column: str = "time",
             duplicates: str = "error") -> BacktestResult:
    """Run ``contract`` against ``history`` and return what it booked.

    ``contract`` is a :class:`~kestro.Contract` or a timetable record batch. ``history`` is a
    :class:`~kestro.HistorySource`, or anything one is built from: a dict ``{asset: (times,
    values)}``, a pandas DataFrame, a pyarrow Table, or the path of a CSV or Parquet file (wide:
    a ``time_column`` and one column per asset; long: ``time``, ``name``, ``value``).
    ``base`` is the currency the results are in (default: the history's base, else "USD").
    ``duplicates="last"`` keeps the last of two prices of an asset at one time, which are
    otherwise refused (see :class:`~kestro.HistorySource`).

    Raises ``KeyError`` for an asset the history does not have and ``LookupError`` for an
    event before an asset's first price, naming the asset and the times.
    """
    from kestro.events import timetable as _timetable
    from kestro.results import cashflow_table

    if isinstance(contract, pa.RecordBatch):
        contract = Contract(_timetable(table=contract, check_order=False))
    if not isinstance(contract, Contract):
        raise TypeError(f"contract must be a kestro.Contract or a timetable RecordBatch, got {type(contract).__name__}")
    if not isinstance(history, HistorySource):
        history = HistorySource(history, base=base or "USD", time_column=time_column, duplicates=duplicates)
    elif base is not None and base != history.base:
        raise ValueError(f"base={base!r} but the history's base currency is {history.base!r}")
    recorder = Recorder(history)
    try:
        _kestro.backtest_py(contract.events, recorder, contract.expressions, history.base)
    except RuntimeError as error:
        cause = error.__cause__
        if isinstance(cause, LookupError):  # the history could not answer: say so in its words
            raise type(cause)(*cause.args) from error
        raise
    table = cashflow_table(recorder, timetable=contract.events)
    totals: dict[str, float] = {}
    for name, value in zip(table.column("track_name").to_pylist(), table.column("value").to_pylist()):
        totals[name] = totals.get(name, 0.0) + value
    return BacktestResult(table, totals, dict(recorder.stats), contract)
