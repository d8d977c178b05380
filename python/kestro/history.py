"""Historical prices for ``backtest_py``.

``backtest_py`` asks its ``py_state`` for ``get_value(name, t_ms)`` at every event that needs
an asset other than the base currency, with ``t_ms`` the event's time in milliseconds since
1970-01-01 UTC, and expects a number. :class:`HistorySource` answers with the asset's last
price at or before that time.
"""

from __future__ import annotations

from typing import Any, Mapping, Union

import os

import numpy as np
import pyarrow as pa

from kestro.clock import format_ms as _format_ms, to_milliseconds, to_ms

__all__ = ["HistorySource", "HistoryError", "UnknownAssetError", "NoPriceError", "to_milliseconds"]

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


def _series(name: str, times: Any, values: Any) -> _Series:
    ms = to_milliseconds(times)
    if isinstance(values, (pa.Array, pa.ChunkedArray)):
        values = values.cast(pa.float64()).to_numpy(zero_copy_only=False)
    values = np.asarray(values, dtype=np.float64).reshape(-1)
    if ms.shape != values.shape:
        raise ValueError(f"prices of {name!r}: {ms.size} times but {values.size} values")
    keep = ~np.isnan(values)
    ms, values = ms[keep], values[keep]
    order = np.argsort(ms, kind="stable")  # equal times: the one given last wins the as-of lookup
    ms, values = ms[order], values[order]
    ms.flags.writeable = False
    values.flags.writeable = False
    return _Series(ms, values)


def _from_table(table: Union[pa.Table, pa.RecordBatch], time_column: str) -> dict[str, _Series]:
    names = table.schema.names
    if time_column not in names:
        raise ValueError(f"the price table has no {time_column!r} column (columns: {names})")
    times = table.column(time_column)
    if "name" in names and "value" in names:  # long form: one row per (time, name, value)
        asset = np.asarray(table.column("name").cast(pa.string()).to_pylist(), dtype=object)
        values = table.column("value").cast(pa.float64()).to_numpy(zero_copy_only=False)
        ms = to_milliseconds(times)
        return {str(n): _series(str(n), ms[asset == n], values[asset == n]) for n in dict.fromkeys(asset.tolist())}
    ms = to_milliseconds(times)  # wide form: one column per asset
    return {n: _series(n, ms, table.column(n)) for n in names if n != time_column}


def _from_pandas(frame: Any, time_column: str) -> dict[str, _Series]:
    if time_column not in frame.columns:
        if getattr(frame.index.dtype, "kind", None) != "M":
            raise ValueError(f"the DataFrame has no {time_column!r} column and its index holds no times")
        frame = frame.rename_axis(time_column).reset_index()
    return _from_table(pa.Table.from_pandas(frame, preserve_index=False), time_column)


def _pair(name: str, item: Any) -> _Series:
    if hasattr(item, "index") and hasattr(item, "to_numpy") and not isinstance(item, (tuple, list)):
        return _series(name, item.index, item.to_numpy(dtype=np.float64, na_value=np.nan))
    try:
        times, values = item
    except (TypeError, ValueError):
        raise TypeError(f"prices of {name!r}: expected (times, values) or a pandas Series, got "
                        f"{type(item).__name__}") from None
    return _series(name, times, values)


class HistorySource:
    """A ``py_state`` for ``backtest_py`` that answers historical prices as of each event.

    ``prices`` may be

    * a dict ``{name: (times, values)}`` (or ``{name: pandas.Series}`` indexed by time);
    * a pyarrow Table or RecordBatch, or a pandas DataFrame, either wide (a ``time`` column and
      one column per asset) or long (columns ``time``, ``name`` and ``value``); a DataFrame
      may carry its times in its index instead;
    * the path of a CSV or Parquet file holding such a table (:meth:`from_file`).

    Times are anything :func:`to_milliseconds` reads. Missing prices (NaN or null) are skipped.
    :meth:`get_value` answers the last price at or before the time asked for; the engine never
    asks for the ``base`` currency, which is worth 1.
    """

    def __init__(self, prices: Any, base: str = "USD", *, time_column: str = "time") -> None:
        self.base = base
        series: dict[str, _Series]
        if isinstance(prices, (pa.Table, pa.RecordBatch)):
            series = _from_table(prices, time_column)
        elif type(prices).__module__.split(".")[0] == "pandas" and hasattr(prices, "columns"):
            series = _from_pandas(prices, time_column)
        elif isinstance(prices, (str, os.PathLike)):
            series = HistorySource.from_file(prices, base, time_column=time_column)._series
        elif isinstance(prices, Mapping):
            series = {str(name): _pair(str(name), item) for name, item in prices.items()}
        else:
            raise TypeError("prices must be a dict {name: (times, values)}, a pyarrow Table or a pandas "
                            f"DataFrame, not {type(prices).__name__}")
        self._series: dict[str, _Series] = series

    @classmethod
    def from_file(cls, path: Any, base: str = "USD", *, time_column: str = "time") -> "HistorySource":
        """Prices from a CSV or Parquet file (by its suffix), wide or long as for a table.

        CSV is read by pyarrow (``time`` values as ISO dates or times); Parquet keeps its
        column types. Raises ``ValueError`` for another suffix or a file without the time column.
        """
        import pathlib

        file = pathlib.Path(path)
        suffix = file.suffix.lower()
        if suffix == ".csv":
            import pyarrow.csv as csv

            table = csv.read_csv(file, convert_options=csv.ConvertOptions(
                column_types={time_column: pa.string()}, strings_can_be_null=True))
        elif suffix in (".parquet", ".pq"):
            import pyarrow.parquet as pq

            table = pq.read_table(file)
        else:
            raise ValueError(f"{file.name}: read prices from a .csv or .parquet file, not {suffix or 'no suffix'}")
        try:
            return cls(table, base, time_column=time_column)
        except (TypeError, ValueError) as error:
            raise type(error)(f"{file.name}: {error}") from None

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
