"""Historical prices for ``backtest_py``.

``backtest_py`` asks its ``py_state`` for ``get_value(name, t_ms)`` at every event that needs
an asset other than the base currency, with ``t_ms`` the event's time in milliseconds since
1970-01-01 UTC, and expects a number. :class:`HistorySource` answers with the asset's last
price at or before that time.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any, Mapping

import numpy as np
import pyarrow as pa

from kestro.clock import format_ms as _format_ms, to_milliseconds, to_ms
from kestro.tables import SourceTable, column_key, read_table

__all__ = ["DUPLICATES", "HistorySource", "HistoryError", "UnknownAssetError", "NoPriceError", "to_milliseconds"]

class HistoryError(LookupError):
    """A historical price that cannot be given."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class UnknownAssetError(HistoryError, KeyError):
    """No prices were given for the asset asked for."""


class NoPriceError(HistoryError):
    """The asset has no price at or before the time asked for."""


class _Series:
    __slots__ = ("times", "values")

    def __init__(self, times: np.ndarray, values: np.ndarray) -> None:
        self.times, self.values = times, values


DUPLICATES = ("error", "last")
"""What :class:`HistorySource` does with two prices of an asset at one time: refuse them, or keep the last given."""


def _duplicates(value: Any) -> str:
    if value not in DUPLICATES:
        raise ValueError(f"duplicates must be 'error' (refuse two prices at one time) or 'last' (keep the one "
                         f"given last), got {value!r}")
    return str(value)


def _series(name: str, times: Any, values: Any, duplicates: str = "error",
            where: Callable[[int], str] = lambda i: f"price {i}") -> _Series:
    ms = times if isinstance(times, np.ndarray) and times.dtype == np.int64 else to_milliseconds(times)
    if isinstance(values, (pa.Array, pa.ChunkedArray)):
        values = values.cast(pa.float64()).to_numpy(zero_copy_only=False)
    values = np.asarray(values, dtype=np.float64).reshape(-1)
    if ms.shape != values.shape:
        raise ValueError(f"prices of {name!r}: {ms.size} times but {values.size} values")
    given = np.flatnonzero(~np.isnan(values))  # missing prices are skipped
    order = given[np.argsort(ms[given], kind="stable")]  # equal times keep the order they were given in
    ms, values = ms[order], values[order]
    repeated = np.diff(ms) == 0
    if np.any(repeated):
        i = int(np.flatnonzero(repeated)[0])
        if duplicates == "error":
            first, second = where(int(order[i])), where(int(order[i + 1]))
            raise ValueError(f"prices of {name!r} have two values at {_format_ms(int(ms[i]))} ({first}: "
                             f"{float(values[i])!r}, {second}: {float(values[i + 1])!r}); remove one, or pass "
                             "duplicates='last' to keep the one given last")
        keep = np.append(~repeated, True)  # the last of each run of equal times
        ms, values = ms[keep], values[keep]
    ms.flags.writeable = False
    values.flags.writeable = False
    return _Series(ms, values)


def _from_table(source: SourceTable, time_column: str, duplicates: str) -> dict[str, _Series]:
    found = source.find(time_column)
    if found is None:
        raise source.missing("time", (time_column,))
    ms, has_time = source.times(found, missing=True)
    asset_column, value_column = source.find("name", "asset"), source.find("value", "price")
    if asset_column and value_column:  # long form: one row per (time, asset, value)
        names = np.asarray(source.strings(asset_column), dtype=object)
        values = source.numbers(value_column, missing=True)
        _refuse_missing_times(source, found, has_time, ~np.isnan(values))
        out = {}
        for name in dict.fromkeys(names.tolist()):
            rows = np.flatnonzero(names == name)
            out[str(name)] = _table_series(source, str(name), ms[rows], values[rows], duplicates, rows)
        return out
    if asset_column or value_column:
        present = asset_column or value_column
        raise source.error(f"column {present!r} makes a long table of prices, which needs both 'name' (or 'asset') "
                           f"and 'value' columns (columns present: {source.present()}); a wide table has "
                           f"{time_column!r} and one column per asset")
    out = {}
    for column in source.columns:  # wide form: one column per asset
        if column == found:
            continue
        values = source.numbers(column, missing=True)
        _refuse_missing_times(source, found, has_time, ~np.isnan(values))
        out[column] = _table_series(source, column, ms, values, duplicates, np.arange(ms.size))
    return out


def _table_series(source: SourceTable, name: str, ms: np.ndarray, values: np.ndarray, duplicates: str,
                  rows: np.ndarray) -> _Series:
    try:
        return _series(name, ms, values, duplicates, lambda i: source.where(int(rows[i])))
    except ValueError as error:
        raise source.error(str(error)) from None


def _refuse_missing_times(source: SourceTable, column: str, has_time: np.ndarray, has_price: np.ndarray) -> None:
    orphan = np.flatnonzero(~has_time & has_price)
    if orphan.size:
        raise source.error(f"column {column!r}, {source.where(int(orphan[0]))}: a price without a time")


def _from_pandas(frame: Any, time_column: str, duplicates: str) -> dict[str, _Series]:
    if column_key(time_column) not in {column_key(str(c)) for c in frame.columns}:
        if getattr(frame.index.dtype, "kind", None) != "M":
            raise ValueError(f"the DataFrame has no {time_column!r} column and its index holds no times")
        frame = frame.rename_axis(time_column).reset_index()
    return _from_table(read_table(frame, "prices"), time_column, duplicates)


def _load(prices: Any, time_column: str, duplicates: str) -> dict[str, _Series]:
    if isinstance(prices, (str, os.PathLike)):
        return _from_table(read_table(prices, "prices", text_columns=(time_column, "name", "asset")), time_column,
                           duplicates)
    if isinstance(prices, (pa.Table, pa.RecordBatch)):
        return _from_table(read_table(prices, "prices"), time_column, duplicates)
    if type(prices).__module__.split(".")[0] == "pandas" and hasattr(prices, "columns"):
        return _from_pandas(prices, time_column, duplicates)
    if isinstance(prices, Mapping):
        return {str(name): _pair(str(name), item, duplicates) for name, item in prices.items()}
    raise TypeError("prices must be a dict {name: (times, values)}, a pyarrow Table, a pandas DataFrame or the "
                    f"path of a CSV or Parquet file, not {type(prices).__name__}")


def _pair(name: str, item: Any, duplicates: str) -> _Series:
    if hasattr(item, "index") and hasattr(item, "to_numpy") and not isinstance(item, (tuple, list)):
        return _series(name, item.index, item.to_numpy(dtype=np.float64, na_value=np.nan), duplicates)
    try:
        times, values = item
    except (TypeError, ValueError):
        raise TypeError(f"prices of {name!r}: expected (times, values) or a pandas Series, got "
                        f"{type(item).__name__}") from None
    return _series(name, times, values, duplicates)


class HistorySource:
    """A ``py_state`` for ``backtest_py`` that answers historical prices as of each event.

    ``prices`` may be

    * a dict ``{name: (times, values)}`` (or ``{name: pandas.Series}`` indexed by time);
    * a pyarrow Table or RecordBatch, or a pandas DataFrame, either wide (a ``time`` column and
      one column per asset) or long (columns ``time``, ``name`` (or ``asset``) and ``value``); a
      DataFrame may carry its times in its index instead;
    * the path of a CSV or Parquet file holding such a table (:meth:`from_file`).

    Times are anything :func:`to_milliseconds` reads. Missing prices (NaN, null or an empty CSV
    field) are skipped. Two prices of one asset at the same time are refused, naming the asset,
    the time and both rows, unless ``duplicates="last"`` keeps the one given last.
    :meth:`get_value` answers the last price at or before the time asked for; the engine never
    asks for the ``base`` currency, which is worth 1.
    """

    def __init__(self, prices: Any, base: str = "USD", *, time_column: str = "time",
                 duplicates: str = "error") -> None:
        self.base = base
        self._series: dict[str, _Series] = _load(prices, time_column, _duplicates(duplicates))

    @classmethod
    def from_file(cls, path: Any, base: str = "USD", *, time_column: str = "time",
                  duplicates: str = "error") -> "HistorySource":
        """Prices from a CSV or Parquet file (by its suffix), wide or long as for a table.

        CSV is read by pyarrow (times as ISO dates or times, each read by the package so an
        unreadable one is named with its row and line); Parquet keeps its column types.
        Raises ``ValueError`` for another suffix, a file without the time column, an unreadable
        time or price, or (unless ``duplicates="last"``) two prices of an asset at one time.
        """
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a file path, got {type(path).__name__}")
        return cls(path, base, time_column=time_column, duplicates=duplicates)

    @property
    def names(self) -> list[str]:
        """The assets that have prices, sorted."""
        return sorted(self._series)

    def __contains__(self, name: object) -> bool:
        return name in self._series

    def series(self, name: str) -> tuple[np.ndarray, np.ndarray]:
        """The asset's prices as read-only arrays (times in ms, values), in time order."""
        found = self._find(name)
        return found.times, found.values

    def _find(self, name: str) -> _Series:
        try:
            return self._series[name]
        except KeyError:
            known = ", ".join(repr(n) for n in self.names) or "none"
            raise UnknownAssetError(f"no prices for asset {name!r} (assets with prices: {known})") from None

    def get_value(self, name: str, t_ms: Any) -> float:
        """The price of ``name`` at time ``t_ms``: its last price at or before that time.

        ``t_ms`` is milliseconds since 1970-01-01 UTC as the engine passes it (a datetime also
        works). The base currency is 1.0. Raises :class:`UnknownAssetError` for an asset without
        prices and :class:`NoPriceError` for a time before its first price.
        """
        if name == self.base:
            return 1.0
        found = self._find(name)
        t = int(t_ms) if isinstance(t_ms, (int, np.integer)) else to_ms(t_ms)
        i = int(np.searchsorted(found.times, t, side="right")) - 1
        if i < 0:
            if found.times.size == 0:
                raise NoPriceError(f"asset {name!r} has no prices")
            raise NoPriceError(f"no price of {name!r} at or before {_format_ms(t)}: its first price is at "
                               f"{_format_ms(int(found.times[0]))}")
        return float(found.values[i])

    def __repr__(self) -> str:
        return f"HistorySource(assets={self.names}, base={self.base!r})"
