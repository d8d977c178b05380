"""Many trades priced and risked in one call: :class:`Portfolio`.

A portfolio holds named trades, each a contract with its model and settings and optionally a
market of its own, and a default market for the others. :meth:`Portfolio.price` and
:meth:`Portfolio.risk` return one row per trade as an Arrow table (pandas on request); a trade
that fails carries its error text and the others still price. The work runs in this process
by default, or on a Dask cluster with ``client=`` (see :mod:`kestro.risk.scale`): the trades travel
to the workers in batches, placed once and kept there for later runs on the same client
while the portfolio is unchanged (:meth:`Portfolio.add` sends them again); the default market
travels with every run.

Totals are not a row of the risk table (a column sum would count them twice): they come as a
dict from :func:`risk_totals`, with delta, gamma and vega summed per asset.
"""

from __future__ import annotations

import time
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any, Optional

import pyarrow as pa

from kestro.risk import scale
from kestro.market import Market
from kestro.risk.greeks import greeks
from kestro.templates import Contract

__all__ = ["Portfolio", "Trade", "risk_totals"]

_SENSITIVITIES = ("delta", "gamma", "vega", "theta", "rho", "dv01")
_KEY_RATE = "key_rate_dv01_"


@dataclass(frozen=True)
class Trade:
    """One trade: a contract, the model and settings to price it with, and optionally its own market.

    ``settings`` are :func:`kestro.price`'s keywords (``vol``, ``paths``, ``seed``, ``state``...);
    ``model`` None lets :func:`kestro.choose_model` pick. Frozen: a portfolio may keep its
    trades on a cluster, so change a trade by adding a new one.
    """

    contract: Contract
    model: Optional[str] = None
    settings: dict[str, Any] = field(default_factory=dict)
    market: Optional[Market] = None

    def __post_init__(self) -> None:
        if not isinstance(self.contract, Contract):
            raise TypeError(f"a trade's contract must be a kestro.Contract, got {type(self.contract).__name__}")
        if self.market is not None and not isinstance(self.market, Market):
            raise TypeError(f"a trade's market must be a kestro.Market or None, got {type(self.market).__name__}")
        if not isinstance(self.settings, dict):
            raise TypeError(f"a trade's settings must be a dict, got {type(self.settings).__name__}")


def _error_text(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


@dataclass(frozen=True)
class _Unsent:
    """Stands in on the cluster for a trade that could not be pickled: its row carries why."""

    reason: str


def _market_for(trade: Trade, market: Optional[Market]) -> Market:
    chosen = trade.market or market
    if chosen is None:
        raise ValueError("the trade has no market and the portfolio no default market: pass Portfolio(market=...)")
    return chosen


def _price_trade(item: tuple[str, Trade], market: Optional[Market]) -> dict[str, Any]:
    """One row of :meth:`Portfolio.price`; a failure becomes the row's error."""
    from kestro.pricing import price

    name, trade = item
    start = time.perf_counter()
    if isinstance(trade, _Unsent):
        return {"trade": name, "price": None, "standard_error": None, "model": None, "error": trade.reason,
                "seconds": 0.0}
    row: dict[str, Any] = {"trade": name, "price": None, "standard_error": None, "model": trade.model, "error": None}
    try:
        value = price(trade.contract, _market_for(trade, market), trade.model, **trade.settings)
        row.update(price=float(value), standard_error=value.standard_error, model=value.model)
    except Exception as error:  # the trade carries its failure; the portfolio goes on
        row["error"] = _error_text(error)
    row["seconds"] = time.perf_counter() - start
    return row


def _risk_trade(item: tuple[str, Trade], market: Optional[Market], bumps: Optional[dict[str, float]]) -> dict[str, Any]:
    """One row of :meth:`Portfolio.risk`; a failure becomes the row's error."""
    name, trade = item
    start = time.perf_counter()
    if isinstance(trade, _Unsent):
        return {"trade": name, "model": None, "error": trade.reason, "seconds": 0.0}
    row: dict[str, Any] = {"trade": name, "model": trade.model, "error": None}
    try:
        found = greeks(trade.contract, _market_for(trade, market), trade.model, bumps=bumps, progress=False,
                       **trade.settings)
        row.update(found.to_dict())
        row["key_rates"] = row.pop("key_rate_dv01")
    except Exception as error:
        row["error"] = _error_text(error)
    row["seconds"] = time.perf_counter() - start
    return row


def _sendable(items: list[tuple[str, Any]]) -> list[tuple[str, Any]]:
    """The trades with each one that cannot be pickled for the workers replaced by its reason."""
    from distributed.protocol import pickle as wire

    checked: list[tuple[str, Any]] = []
    for name, trade in items:
        try:
            wire.dumps(trade)
            checked.append((name, trade))
        except Exception as error:
            checked.append((name, _Unsent(f"cannot be sent to the workers: {_error_text(error)}; expressions "
                                          "and path sources must pickle (module-level functions or classes)")))
    return checked


def _finish(table: pa.Table, to_pandas: bool) -> Any:
    return table.to_pandas() if to_pandas else table


class Portfolio:
    """Named trades and a default market.

    ``Portfolio(market, trades)`` takes the default ``market`` and optionally a mapping of trade
    id to :class:`Trade` or bare :class:`~kestro.Contract`; :meth:`add` adds one at a time.
    Trade ids are non-empty strings, unique within the portfolio.
    """

    def __init__(self, market: Optional[Market] = None, trades: Optional[Mapping[str, Any]] = None) -> None:
        if market is not None and not isinstance(market, Market):
            raise TypeError(f"market must be a kestro.Market or None, got {type(market).__name__}")
        self.market = market
        self._trades: dict[str, Trade] = {}
        self._on_cluster: Optional[scale.Batches] = None  # the trades as last sent to a cluster
        if trades is not None:
            if not isinstance(trades, Mapping):
                raise TypeError(f"trades must map trade ids to contracts or Trades, got {type(trades).__name__}")
            for name, trade in trades.items():
                if isinstance(trade, Trade):
                    self._insert(name, trade)
                else:
                    self.add(name, trade)

    def _insert(self, name: Any, trade: Trade) -> None:
        if not isinstance(name, str) or not name:
            raise TypeError(f"trade ids must be non-empty strings, got {name!r}")
        if name in self._trades:
            raise ValueError(f"trade {name!r} is already in the portfolio; trade ids must be unique")
        self._trades[name] = trade
        self._on_cluster = None

    def add(self, name: str, contract: Contract, model: Optional[str] = None, *, market: Optional[Market] = None,
            **settings: Any) -> "Portfolio":
        """Add trade ``name``: ``contract`` priced with ``model`` and ``settings`` in ``market``
        (default: the portfolio's). Returns the portfolio, so calls chain."""
        self._insert(name, Trade(contract, model, dict(settings), market))
        return self

    def __len__(self) -> int:
        return len(self._trades)

    def __iter__(self) -> Iterator[str]:
        return iter(self._trades)

    def __contains__(self, name: object) -> bool:
        return name in self._trades

    def __getitem__(self, name: str) -> Trade:
        try:
            return self._trades[name]
        except KeyError:
            raise KeyError(f"no trade {name!r} in the portfolio") from None

    def __repr__(self) -> str:
        models: dict[str, int] = {}
        for trade in self._trades.values():
            key = trade.model or "chosen"
            models[key] = models.get(key, 0) + 1
        mix = ", ".join(f"{count} {model}" for model, count in sorted(models.items()))
        return f"Portfolio({len(self)} trades{': ' + mix if mix else ''})"

    def _work(self, client: Any, batch_size: Optional[int]) -> Any:
        """The trades to run: as they are in this process; on a cluster, batches placed on its
        workers once and kept while the portfolio and the batch size stay the same."""
        items = list(self._trades.items())
        if client is None or not items:
            return items
        if self._on_cluster is None or not self._on_cluster.serves(client, batch_size):
            try:
                self._on_cluster = scale.Batches(client, items, batch_size)
            except Exception:
                sendable = _sendable(items)
                if sendable == items:
                    raise  # not a trade's fault
                self._on_cluster = scale.Batches(client, sendable, batch_size)
        return self._on_cluster

    def _run(self, function: Any, client: Any, shared: tuple[Any, ...], batch_size: Optional[int],
             progress: Optional[bool], description: str) -> scale.Results:
        """One row per trade, each with ``reruns``: how many times a worker's death made the
        scheduler price it again. A trade whose task killed every worker that ran it gets
        that error as its row, like any other failure."""
        names = list(self._trades)

        def lost(index: int, error: BaseException) -> dict[str, Any]:
            return {"trade": names[index], "model": None, "seconds": 0.0,
                    "error": f"{_error_text(error)} (the worker pricing this trade's task died each time: "
                             "memory, or a crash; price the trade alone to find the cause)"}

        rows = scale.run(function, self._work(client, batch_size), client=client, shared=shared,
                         batch_size=batch_size, progress=progress, description=description, lost=lost)
        for index, row in enumerate(rows):
            row["reruns"] = rows.reruns.get(index, 0)
        return rows

    def price(self, client: Any = None, progress: Optional[bool] = None, to_pandas: bool = False, *,
              batch_size: Optional[int] = None) -> Any:
        """Price every trade: an Arrow table (pandas with ``to_pandas=True``), one row per trade.

        Columns: ``trade`` (its id), ``price``, ``standard_error`` (null but under Monte
        Carlo), ``model`` (the model that priced it), ``seconds`` (time taken), ``reruns``
        (how many times a worker died while pricing the trade and the cluster priced it again;
        0 in this process, the price is the same) and ``error`` (null, or the error text of a
        trade that failed; its price is then null).

        ``client``: a :class:`distributed.Client` to price on its workers, ``batch_size``
        trades per task (default: see :func:`kestro.risk.scale.batch_size_for`); None prices here.
        ``progress`` shows a bar (default: when interactive).
        """
        rows = self._run(_price_trade, client, (self.market,), batch_size, progress, "kestro-price")
        schema = pa.schema([("trade", pa.string()), ("price", pa.float64()), ("standard_error", pa.float64()),
                            ("model", pa.string()), ("seconds", pa.float64()), ("reruns", pa.int32()),
                            ("error", pa.string())])
        return _finish(pa.Table.from_pylist(rows, schema=schema), to_pandas)

    def risk(self, client: Any = None, progress: Optional[bool] = None, to_pandas: bool = False, *,
             bumps: Optional[dict[str, float]] = None, batch_size: Optional[int] = None) -> Any:
        """The sensitivities of every trade (:func:`kestro.greeks`): one row per trade.

        Columns: ``trade``, ``asset`` (of delta, gamma and vega), ``model``, ``price``,
        ``standard_error``, ``delta``, ``gamma``, ``vega``, ``theta``, ``rho``, ``dv01``, one
        ``key_rate_dv01_<t>y`` column per discount-curve pillar ``t`` (years) of the trades'
        markets, ``seconds``, ``reruns`` and ``error``; null where a sensitivity does not apply or the
        trade failed. ``bumps``, ``client``, ``progress`` and ``batch_size`` as for
        :func:`kestro.greeks` and :meth:`price`. Totals: :func:`risk_totals`.
        """
        rows = self._run(_risk_trade, client, (self.market, bumps), batch_size, progress, "kestro-risk")
        pillars = sorted({t for row in rows for t in (row.get("key_rates") or {})})
        columns: dict[str, Any] = {
            "trade": pa.array([row["trade"] for row in rows], pa.string()),
            "asset": pa.array([row.get("asset") for row in rows], pa.string()),
            "model": pa.array([row.get("model") for row in rows], pa.string()),
            "price": pa.array([row.get("price") for row in rows], pa.float64()),
            "standard_error": pa.array([row.get("standard_error") for row in rows], pa.float64()),
        }
        for name in _SENSITIVITIES:
            columns[name] = pa.array([row.get(name) for row in rows], pa.float64())
        for t in pillars:
            columns[f"{_KEY_RATE}{t:g}y"] = pa.array([(row.get("key_rates") or {}).get(t) for row in rows],
                                                     pa.float64())
        columns["seconds"] = pa.array([row["seconds"] for row in rows], pa.float64())
        columns["reruns"] = pa.array([row["reruns"] for row in rows], pa.int32())
        columns["error"] = pa.array([row["error"] for row in rows], pa.string())
        return _finish(pa.table(columns), to_pandas)


def risk_totals(table: Any) -> dict[str, Any]:
    """Portfolio totals of a :meth:`Portfolio.risk` table (Arrow or pandas).

    ``price``, ``theta``, ``rho`` and ``dv01`` summed over the trades that priced (all in the
    base currency); ``key_rate_dv01`` by pillar; ``delta``, ``gamma`` and ``vega`` as dicts by
    asset, since sensitivities to different assets do not add up; ``failed``: the ids of the
    trades that carry an error.
    """
    if not isinstance(table, pa.Table):
        table = pa.Table.from_pandas(table, preserve_index=False)
    rows = table.to_pylist()
    ok = [row for row in rows if row.get("error") is None]

    def total(name: str) -> float:
        return float(sum(row[name] for row in ok if row.get(name) is not None))

    totals: dict[str, Any] = {name: total(name) for name in ("price", "theta", "rho", "dv01")}
    totals["key_rate_dv01"] = {float(name[len(_KEY_RATE):-1]): total(name)
                               for name in table.column_names if name.startswith(_KEY_RATE)}
    for name in ("delta", "gamma", "vega"):
        by_asset: dict[str, float] = {}
        for row in ok:
            if row.get(name) is not None and row.get("asset") is not None:
                by_asset[row["asset"]] = by_asset.get(row["asset"], 0.0) + row[name]
        totals[name] = by_asset
    totals["failed"] = [row["trade"] for row in rows if row.get("error") is not None]
    return totals
