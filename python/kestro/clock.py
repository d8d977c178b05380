"""The engine's clock: times as integer milliseconds since 1970-01-01T00:00:00Z.

Every time the package takes (pricing times, expiries, timetable rows, historical prices) goes
through :func:`to_ms` (one value) or :func:`to_milliseconds` (many), so a date means the same
everywhere: naive datetimes are UTC, a ``date`` is its midnight UTC, ISO strings are read by
:meth:`datetime.datetime.fromisoformat`, finer units are floored to the millisecond and floats
are refused (milliseconds or years would be a guess). Year fractions are engine years of
365 days (:data:`YEAR_MS`).
"""

from __future__ import annotations

import datetime as _dt
import math
import numbers
from typing import Any, Union

import numpy as np
import pyarrow as pa

__all__ = ["DAY_MS", "DEFAULT_START", "YEAR_MS", "add_years", "check_date", "format_ms", "to_milliseconds",
           "to_ms"]

YEAR_MS: int = 31_536_000_000
"""Milliseconds in the engine's year of 365 days: year fractions are Δt / YEAR_MS."""

DAY_MS: int = 86_400_000
"""Milliseconds in a day."""

DEFAULT_START: _dt.datetime = _dt.datetime(2026, 1, 1, tzinfo=_dt.timezone.utc)
"""The default start of the templates and pricing time of :class:`kestro.Market`: 2026-01-01 UTC."""

_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_DATETIME64_MS = {"W": (7 * 86_400_000, 1), "D": (86_400_000, 1), "h": (3_600_000, 1), "m": (60_000, 1),
                  "s": (1000, 1), "ms": (1, 1), "us": (1, 10**3), "ns": (1, 10**6), "ps": (1, 10**9),
                  "fs": (1, 10**12), "as": (1, 10**15)}
_ARROW_UNIT_MS = {"s": (1000, 1), "ms": (1, 1), "us": (1, 1000), "ns": (1, 1_000_000)}
_ACCEPTED = "a datetime, date, numpy.datetime64, ISO string or int ms"
_INT64 = (-(2**63), 2**63 - 1)

# Integers given as dates must fall in these years to be taken as milliseconds: 20270101 (a
# date typed as a number) is 5.6 hours after 1970, a count of seconds lands in 1970 too, and
# microseconds or nanoseconds land thousands of years ahead; all are refused rather than priced.
_PLAUSIBLE_MS = (31_536_000_000, 10_413_792_000_000)  # 1971-01-01 .. 2300-01-01


def to_ms(time: Any) -> int:
    """Milliseconds since 1970-01-01T00:00:00Z of ``time``.

    Accepts a ``datetime`` (naive means UTC), a ``date`` (midnight UTC), a
    ``numpy.datetime64``, a pandas ``Timestamp``, an ISO 8601 string (``"2027-01-01"``,
    ``"2027-01-01T12:00Z"``, naive means UTC) or an integer, taken as milliseconds already.
    Sub-millisecond parts are dropped toward the past.

    Raises ``TypeError`` for anything else (floats included: they are ambiguous between
    milliseconds and years) and ``ValueError`` for a string that is not an ISO date or a time
    outside the engine's signed 64-bit millisecond range.
    """
    if isinstance(time, (bool, np.bool_)):
        raise TypeError(f"a time must be {_ACCEPTED}, got {time!r}")
    if isinstance(time, (int, np.integer)):
        return _in_range(int(time), time)
    if isinstance(time, _dt.datetime):
        if time != time:  # pandas NaT
            raise ValueError("a time must not be NaT")
        if time.tzinfo is None or time.tzinfo.utcoffset(time) is None:
            time = time.replace(tzinfo=_dt.timezone.utc)
        delta = time - _EPOCH
        return (delta.days * 86_400 + delta.seconds) * 1000 + delta.microseconds // 1000
    if isinstance(time, _dt.date):
        return (time - _EPOCH.date()).days * DAY_MS
    if isinstance(time, np.datetime64):
        if np.isnat(time):
            raise ValueError("a time must not be NaT")
        unit, step = np.datetime_data(time.dtype)
        if unit == "generic":
            raise ValueError(f"numpy.datetime64 without a unit is not a time: {time!r}")
        if unit in ("Y", "M"):  # no fixed length: let NumPy place them on the calendar
            return int(time.astype("datetime64[D]").astype(np.int64)) * DAY_MS
        numerator, denominator = _DATETIME64_MS[unit]
        # Floor division keeps a sub-millisecond time on the millisecond before it.
        return _in_range(int(time.astype(np.int64)) * step * numerator // denominator, time)
    if isinstance(time, str):
        text = time.strip()
        try:
            parsed = _dt.datetime.fromisoformat(text)
        except ValueError:
            raise ValueError(f"not an ISO 8601 date or time: {time!r}") from None
        return to_ms(parsed)
    raise TypeError(f"a time must be {_ACCEPTED}, got {type(time).__name__} {time!r}")


def _in_range(ms: int, given: Any) -> int:
    if not _INT64[0] <= ms <= _INT64[1]:
        raise ValueError(f"time {given!r} lies outside the engine's clock (signed 64-bit milliseconds since 1970)")
    return ms


def check_date(value: Any, name: str) -> int:
    """``value`` as :func:`to_ms` reads it, refusing integers that cannot be meant as milliseconds.

    For arguments that are dates (expiries, maturities, pricing times): an integer outside the
    years 1971-2300 is almost surely a date typed as a number (``20270101``) or a count of
    seconds or nanoseconds, so it is refused with the hint to pass a date.
    """
    try:
        ms = to_ms(value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: {error}") from None
    if isinstance(value, (int, np.integer)) and not _PLAUSIBLE_MS[0] <= ms < _PLAUSIBLE_MS[1]:
        raise ValueError(f"{name}={value!r} is read as milliseconds since 1970 ({format_ms(ms)}), which is "
                         f"surely not meant; pass a date instead, e.g. {name}=\"2027-01-01\" or "
                         "datetime.date(2027, 1, 1)")
    return ms


def add_years(start: Any, years: float) -> int:
    """The time ``years`` engine years (of 365 days) after ``start``, in milliseconds.

    ``start`` is anything :func:`to_ms` accepts; the result is rounded to the millisecond,
    so whole days stay whole days (``add_years(start, 1 / 365)`` is one day later).
    """
    if isinstance(years, bool) or not isinstance(years, numbers.Real) or not math.isfinite(years):
        raise TypeError(f"years must be a finite number, got {years!r}")
    ms = to_ms(start) + round(float(years) * YEAR_MS)
    if not _INT64[0] <= ms <= _INT64[1]:
        raise ValueError(f"{years!r} years after {format_ms(to_ms(start))} lies outside the engine's clock "
                         "(signed 64-bit milliseconds, about 292 million years around 1970)")
    return ms


def format_ms(ms: int) -> str:
    """An ISO 8601 rendering of a millisecond time (seconds unless it has milliseconds), UTC as Z."""
    try:
        moment = _EPOCH + _dt.timedelta(milliseconds=int(ms))
        return moment.isoformat(timespec="milliseconds" if ms % 1000 else "seconds").replace("+00:00", "Z")
    except OverflowError:
        return f"{int(ms)} ms"


def _arrow_ms(array: Union[pa.Array, pa.ChunkedArray]) -> np.ndarray:
    if array.null_count:
        raise ValueError("a time is missing (null)")
    kind = array.type
    if pa.types.is_dictionary(kind):
        array = array.dictionary_decode() if isinstance(array, pa.Array) else array.combine_chunks().dictionary_decode()
        kind = array.type
    if pa.types.is_timestamp(kind):
        scale, divisor = _ARROW_UNIT_MS[kind.unit]
        raw = array.cast(pa.int64()).to_numpy(zero_copy_only=False).astype(np.int64)
        return raw * scale if divisor == 1 else np.floor_divide(raw, divisor)
    if pa.types.is_date32(kind):
        return array.cast(pa.int32()).to_numpy(zero_copy_only=False).astype(np.int64) * DAY_MS
    if pa.types.is_date64(kind) or pa.types.is_integer(kind):
        return array.cast(pa.int64()).to_numpy(zero_copy_only=False).astype(np.int64)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return to_milliseconds(array.to_pylist())
    raise TypeError(f"cannot read Arrow type {kind} as times: give timestamps, dates, ISO strings or int ms")


def to_milliseconds(times: Any) -> np.ndarray:
    """Many times at once, as an int64 array of milliseconds since 1970-01-01 UTC.

    Accepts a sequence or array of anything :func:`to_ms` reads, NumPy ``datetime64``
    arrays, pyarrow timestamp/date/integer/string arrays and pandas datetime indexes or series.
    """
    if isinstance(times, (pa.Array, pa.ChunkedArray)):
        return _arrow_ms(times)
    if type(times).__module__.split(".")[0] == "pandas":
        return _arrow_ms(pa.array(times))
    array = np.asarray(times)
    if array.ndim != 1:
        raise ValueError(f"times must be one-dimensional, got shape {array.shape}")
    if array.dtype.kind == "M":
        if np.any(np.isnat(array)):
            raise ValueError("a time is missing (NaT)")
        return array.astype("datetime64[ms]").astype(np.int64)
    if array.dtype.kind in "iu":
        return array.astype(np.int64)
    if array.dtype.kind in "OUS":
        out = np.empty(array.size, dtype=np.int64)
        for i, value in enumerate(array.tolist()):
            if value is None:
                raise ValueError(f"time {i} is missing")
            out[i] = to_ms(value)
        return out
    raise TypeError(f"cannot read an array of {array.dtype} as times: give {_ACCEPTED} values")
