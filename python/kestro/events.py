"""Build the timetable record batch that every ``_kestro`` function reads.

A timetable has one row per event and five columns:

========== =================================== ==========================================
column     Arrow type                          meaning
========== =================================== ==========================================
time       ``timestamp[ms, tz=UTC]``           when the event happens
track      dictionary<int64, utf8>             the track the event books on
op         dictionary<int64, utf8>             ``"+"``, ``">"``, ``"<"``, a named op or null
quantity   float64                             what the unit is multiplied by
unit       dictionary<int64, utf8>             an asset, a track, a phrase, a snapper or a snap
========== =================================== ==========================================

Track 0, the first value of the track dictionary, carries the price. The engine books rows
last row first, so within one time the rows listed later are part of the continuation value
that a choice (``">"`` or ``"<"``) listed earlier compares against.

:func:`timetable` builds such a batch from Python rows, from a dict of columns, or from a
pandas DataFrame, pyarrow Table or RecordBatch, and refuses malformed input with a
``ValueError`` or ``TypeError`` that names the row and column, before the engine sees it.
"""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import pyarrow as pa

from kestro.clock import DAY_MS, format_ms, to_ms

__all__ = ["COLUMNS", "timetable"]

COLUMNS: tuple[str, ...] = ("time", "track", "op", "quantity", "unit")
"""The five timetable columns, in the order rows give them."""

_TIME_TYPE = pa.timestamp("ms", tz="UTC")
_KEYED = ("track", "op", "unit")
_ROW_HINT = "a row is a tuple (time, track, op, quantity, unit) or a dict with those keys"


def timetable(
    rows: Iterable[Sequence[Any] | Mapping[str, Any]] | Mapping[str, Sequence[Any]] | Any = None,
    *,
    columns: Mapping[str, Sequence[Any]] | None = None,
    table: Any = None,
    tracks: Sequence[str] | None = None,
    check_order: bool = True,
) -> pa.RecordBatch:
    """The timetable record batch of a list of events, ready for the ``_kestro`` functions.

    Give the events in one of three ways:

    - ``rows``: an iterable of tuples ``(time, track, op, quantity, unit)`` or of dicts with
      exactly those keys;
    - ``columns``: a dict mapping the five column names to sequences of equal length;
    - ``table``: a pandas DataFrame, pyarrow Table or RecordBatch with the five columns.
      Dictionary columns with other key types (pandas categoricals, ``dictionary_encode()``)
      and plain string columns are re-encoded with the int64 keys the engine reads; any
      timestamp unit, date columns and integer milliseconds are accepted for ``time``.

    A dict or a table passed as ``rows`` is taken as ``columns`` or ``table``.

    Values: ``time`` as :func:`to_ms` accepts; ``track`` a name (str); ``op`` a str or None
    (no op); ``quantity`` a finite real number; ``unit`` a str or None (no unit). Track 0,
    whose value is the price, is the first track named, unless ``tracks`` fixes the order of
    the track dictionary (its first name is track 0; it may name tracks no row uses, so units
    can refer to them). For a dictionary-encoded ``track`` column without ``tracks`` the
    column's own dictionary order is kept.

    With ``check_order`` (the default) times must not decrease from one row to the next, as
    the Monte Carlo, fixed and backtest models require.

    Raises ``TypeError`` for a value of the wrong type and ``ValueError`` for a missing or
    unknown column, ragged columns, a missing time or track, a non-finite quantity, a track
    not in ``tracks`` or times out of order; the message names the row.
    """
    given = [name for name, value in (("rows", rows), ("columns", columns), ("table", table)) if value is not None]
    if len(given) > 1:
        raise TypeError(f"give the events one way only, got {' and '.join(given)}")
    if rows is not None:
        if isinstance(rows, Mapping):
            columns, rows = rows, None
        elif _is_table(rows):
            table, rows = rows, None
        elif isinstance(rows, (str, bytes)) or not isinstance(rows, Iterable):
            raise TypeError(f"rows must be an iterable of rows; {_ROW_HINT}; got {type(rows).__name__}")
    if tracks is not None:
        tracks = _track_order(tracks)

    if table is not None:
        return _from_table(table, tracks, check_order)
    if columns is not None:
        data = _columns_from_mapping(columns)
    else:
        data = _columns_from_rows(rows if rows is not None else [])
    return _build(data, tracks, check_order)


# Python values


def _is_table(value: Any) -> bool:
    if isinstance(value, (pa.Table, pa.RecordBatch)):
        return True
    module = type(value).__module__ or ""
    return module.startswith("pandas") and type(value).__name__ == "DataFrame"


def _track_order(tracks: Sequence[str]) -> list[str]:
    if isinstance(tracks, (str, bytes)) or not isinstance(tracks, Iterable):
        raise TypeError(f"tracks must be a sequence of track names, got {tracks!r}")
    names = list(tracks)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"tracks must be names (str), got {name!r}")
    if not names:
        raise ValueError("tracks must name at least one track")
    duplicates = sorted({n for n in names if names.count(n) > 1})
    if duplicates:
        raise ValueError(f"tracks names {', '.join(map(repr, duplicates))} more than once")
    return names


def _check_column_names(names: Iterable[Any], where: str = "") -> None:
    """Refuses a name that is not a timetable column, then a column left out; ``where`` prefixes the message."""
    names = list(names)
    unknown = [k for k in names if k not in COLUMNS]
    if unknown:
        raise ValueError(f"{where}unknown column {unknown[0]!r}; columns are {', '.join(COLUMNS)}")
    missing = [k for k in COLUMNS if k not in names]
    if missing:
        raise ValueError(f"{where}missing column {missing[0]!r}")


def _columns_from_rows(rows: Iterable[Any]) -> dict[str, list[Any]]:
    data: dict[str, list[Any]] = {name: [] for name in COLUMNS}
    for i, row in enumerate(rows):
        if isinstance(row, Mapping):
            _check_column_names(row, f"row {i}: ")
            values = [row[k] for k in COLUMNS]
        elif isinstance(row, Sequence) and not isinstance(row, (str, bytes)):
            if len(row) != len(COLUMNS):
                raise ValueError(f"row {i}: expected 5 values (time, track, op, quantity, unit), got {len(row)}")
            values = list(row)
        else:
            raise TypeError(f"row {i}: {_ROW_HINT}, got {type(row).__name__}")
        for name, value in zip(COLUMNS, values):
            data[name].append(value)
    return data


def _columns_from_mapping(columns: Mapping[str, Any]) -> dict[str, list[Any]]:
    _check_column_names(columns)
    data = {}
    for name in COLUMNS:
        values = columns[name]
        if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
            raise TypeError(f"column {name!r} must be a sequence, got {type(values).__name__}")
        data[name] = values.to_pylist() if isinstance(values, (pa.Array, pa.ChunkedArray)) else list(values)
    lengths = {name: len(values) for name, values in data.items()}
    if len(set(lengths.values())) > 1:
        raise ValueError("columns differ in length: " + ", ".join(f"{k} {n}" for k, n in lengths.items()))
    return data


def _times(values: list[Any]) -> list[int]:
    out = []
    for i, value in enumerate(values):
        if value is None:
            raise ValueError(f"row {i}: time is missing")
        try:
            out.append(to_ms(value))
        except (TypeError, ValueError) as error:
            raise type(error)(f"row {i}, column 'time': {error}") from None
    return out


def _names(values: list[Any], column: str, nullable: bool) -> list[str | None]:
    for i, value in enumerate(values):
        if value is None:
            if not nullable:
                raise ValueError(f"row {i}: {column} is missing")
        elif not isinstance(value, str):
            what = "a name (str)" if not nullable else "a str or None"
            raise TypeError(f"row {i}, column {column!r}: expected {what}, got {type(value).__name__} {value!r}")
    return values


def _quantities(values: list[Any]) -> np.ndarray:
    out = np.empty(len(values), dtype=np.float64)
    for i, value in enumerate(values):
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.number)):
            raise TypeError(f"row {i}, column 'quantity': expected a number, got {type(value).__name__} {value!r}")
        try:
            out[i] = float(value)
        except OverflowError:
            raise ValueError(f"row {i}, column 'quantity': {value!r} is too large for a double") from None
    _check_finite(out)
    return out


def _check_finite(quantities: np.ndarray) -> None:
    bad = np.flatnonzero(~np.isfinite(quantities))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"row {i}, column 'quantity': expected a finite number, got {quantities[i]!r}")


def _build(data: dict[str, list[Any]], tracks: list[str] | None, check_order: bool) -> pa.RecordBatch:
    times = np.array(_times(data["time"]), dtype=np.int64)
    track_names = _names(data["track"], "track", nullable=False)
    ops = _names(data["op"], "op", nullable=True)
    units = _names(data["unit"], "unit", nullable=True)
    quantities = _quantities(data["quantity"])
    if check_order:
        _check_order(times)
    return _batch(
        pa.array(times, _TIME_TYPE),
        _encode(track_names, tracks, "track"),  # tracks None: the names in order of first use
        _encode(ops, None, "op"),
        pa.array(quantities, pa.float64()),
        _encode(units, None, "unit"),
    )


def _encode(values: list[str | None], dictionary: list[str] | None, column: str) -> pa.DictionaryArray:
    if dictionary is None:
        dictionary = list(dict.fromkeys(v for v in values if v is not None))
    index = {name: key for key, name in enumerate(dictionary)}
    keys: list[int | None] = []
    for i, value in enumerate(values):
        if value is None:
            keys.append(None)
        elif value in index:
            keys.append(index[value])
        else:
            raise ValueError(f"row {i}: {column} {value!r} is not one of tracks {dictionary}")
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(dictionary, pa.utf8()))


def _check_order(times: np.ndarray) -> None:
    if times.size > 1:
        back = np.flatnonzero(times[1:] < times[:-1])
        if back.size:
            i = int(back[0]) + 1
            raise ValueError(
                f"row {i}: time {format_ms(times[i])} is earlier than row {i - 1}'s {format_ms(times[i - 1])}; "
                "rows must be in non-decreasing time order (pass check_order=False to allow it)")


def _batch(time, track, op, quantity, unit) -> pa.RecordBatch:
    return pa.RecordBatch.from_arrays([time, track, op, quantity, unit], names=list(COLUMNS))


# Arrow and pandas tables


def _from_table(table: Any, tracks: list[str] | None, check_order: bool) -> pa.RecordBatch:
    if not isinstance(table, (pa.Table, pa.RecordBatch)):
        if not _is_table(table):
            raise TypeError(f"table must be a pandas DataFrame, pyarrow Table or RecordBatch, got {type(table).__name__}")
        table = pa.Table.from_pandas(table, preserve_index=False)
    names = list(table.schema.names)
    _check_column_names(names)
    duplicates = [n for n in COLUMNS if names.count(n) > 1]
    if duplicates:
        raise ValueError(f"column {duplicates[0]!r} appears more than once")

    def column(name: str) -> pa.Array:
        values = table.column(name)
        if isinstance(values, pa.ChunkedArray):
            values = values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
            if isinstance(values, pa.ChunkedArray):  # no chunks at all
                values = pa.array([], values.type)
        return values

    time = _time_column(column("time"))
    if check_order:
        _check_order(time.cast(pa.int64()).to_numpy(zero_copy_only=False))
    return _batch(
        time,
        _keyed_column(column("track"), "track", tracks),
        _keyed_column(column("op"), "op", None),
        _quantity_column(column("quantity")),
        _keyed_column(column("unit"), "unit", None),
    )


def _first_null(values: pa.Array) -> int:
    return int(np.flatnonzero(values.is_null().to_numpy(zero_copy_only=False))[0])


def _time_column(values: pa.Array) -> pa.Array:
    kind = values.type
    if values.null_count:
        raise ValueError(f"row {_first_null(values)}: time is missing")
    if pa.types.is_dictionary(kind):
        values, kind = values.dictionary_decode(), kind.value_type
    if pa.types.is_timestamp(kind):
        ticks = values.cast(pa.int64()).to_numpy(zero_copy_only=False)
        per_ms = {"s": None, "ms": 1, "us": 1000, "ns": 1_000_000}[kind.unit]
        ms = ticks * 1000 if per_ms is None else ticks // per_ms
    elif pa.types.is_date32(kind):
        ms = values.cast(pa.int32()).to_numpy(zero_copy_only=False).astype(np.int64) * DAY_MS
    elif pa.types.is_date64(kind):
        ms = values.cast(pa.int64()).to_numpy(zero_copy_only=False)
    elif pa.types.is_integer(kind):
        ms = values.cast(pa.int64()).to_numpy(zero_copy_only=False)
    elif pa.types.is_string(kind) or pa.types.is_large_string(kind):
        ms = np.array(_times(values.to_pylist()), dtype=np.int64)
    else:
        raise TypeError(f"column 'time' has type {kind}; expected timestamps, dates, ISO strings or int ms")
    return pa.array(np.asarray(ms, dtype=np.int64), _TIME_TYPE)


def _quantity_column(values: pa.Array) -> pa.Array:
    kind = values.type
    if not (pa.types.is_floating(kind) or pa.types.is_integer(kind) or pa.types.is_decimal(kind)):
        raise TypeError(f"column 'quantity' has type {kind}; expected numbers")
    if values.null_count:
        raise ValueError(f"row {_first_null(values)}: quantity is missing")
    out = values.cast(pa.float64())
    _check_finite(out.to_numpy(zero_copy_only=False))
    return out


def _keyed_column(values: pa.Array, column: str, tracks: list[str] | None) -> pa.DictionaryArray:
    kind = values.type
    nullable = column != "track"
    if pa.types.is_dictionary(kind):
        value_type = kind.value_type
        if not (pa.types.is_string(value_type) or pa.types.is_large_string(value_type)):
            raise TypeError(f"column {column!r} has dictionary values of type {value_type}; expected strings")
        dictionary = values.dictionary.cast(pa.utf8())
        if dictionary.null_count:
            raise ValueError(f"column {column!r}: its dictionary holds a null name")
        keys = values.indices.cast(pa.int64())
        if not nullable and keys.null_count:
            raise ValueError(f"row {_first_null(keys)}: {column} is missing")
        names = dictionary.to_pylist()
        if tracks is None and len(set(names)) < len(names):
            # The engine keys tracks, ops and units by dictionary position: a name listed twice
            # would be two tracks (or units) that look alike. Merge them, keeping first-use order.
            tracks = list(dict.fromkeys(names))
        if tracks is None:
            return pa.DictionaryArray.from_arrays(keys, dictionary)
        decoded = [None if k is None else names[k] for k in keys.to_pylist()]
        return _encode(decoded, tracks, column)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        plain = values.to_pylist()
        if not nullable and values.null_count:
            raise ValueError(f"row {_first_null(values)}: {column} is missing")
        return _encode(plain, tracks, column)
    if pa.types.is_null(kind) and nullable:
        return _encode([None] * len(values), None, column)
    raise TypeError(f"column {column!r} has type {kind}; expected strings")
