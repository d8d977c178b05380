"""Dates in and out of the conventions, the month arithmetic they share, and the engine's clock.

Every function of :mod:`kestro.conventions` takes a date as a ``datetime.date``, a
``datetime.datetime`` (its date as written, without time-zone conversion), an ISO string
``"2026-12-09"``, a ``numpy.datetime64`` (of any unit, floored to its day) or a pandas
Timestamp, and arrays of dates as NumPy ``datetime64`` arrays, pandas date columns or
sequences of any of those. Dates come back as ``numpy.datetime64`` days (``.item()`` gives a
``datetime.date``), arrays as ``datetime64[D]`` arrays of the input's shape.

Inside, a date is an int64 count of days since 1970-01-01, the view NumPy keeps of
``datetime64[D]``; the helpers here work on those counts.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Iterable
from typing import Any

import numpy as np

from kestro.curves import year_fraction
from kestro.clock import DAY_MS, check_date

__all__ = ["DATE_DTYPE", "dates_to_ms", "engine_years", "to_dates"]

DATE_DTYPE = np.dtype("datetime64[D]")
"""The NumPy type of the dates the conventions return."""

_EPOCH_ORDINAL = _dt.date(1970, 1, 1).toordinal()
_NAT = np.iinfo(np.int64).min  # NaT's int64 view
_HINT = ("a datetime.date, datetime.datetime, ISO string 'YYYY-MM-DD', numpy.datetime64 "
         "or pandas Timestamp")


def _one(value: Any, what: str) -> int:
    """Days since 1970 of one date."""
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError(f"{what} must be a date, got NaT")
        if np.datetime_data(value.dtype)[0] == "generic":
            raise ValueError(f"{what}: numpy.datetime64 without a unit is not a date: {value!r}")
        return int(value.astype(DATE_DTYPE).astype(np.int64))
    if isinstance(value, _dt.datetime):  # pandas Timestamps too; before date, its base class
        if value != value:  # pandas NaT
            raise ValueError(f"{what} must be a date, got NaT")
        return value.date().toordinal() - _EPOCH_ORDINAL
    if isinstance(value, _dt.date):
        return value.toordinal() - _EPOCH_ORDINAL
    if isinstance(value, str):
        try:
            return _dt.date.fromisoformat(value.strip()).toordinal() - _EPOCH_ORDINAL
        except ValueError:
            raise ValueError(f"{what} {value!r} is not an ISO date; write it as 'YYYY-MM-DD'") from None
    raise TypeError(f"{what} must be {_HINT}; got {type(value).__name__} {value!r}")


def day_numbers(value: Any, what: str = "date", *, missing: bool = False) -> tuple[np.ndarray, tuple[int, ...] | None]:
    """Days since 1970 of a date or of an array of dates, flattened to a 1-D int64 array.

    Returns the days and the input's shape, or None for a single date. With ``missing``,
    None and NaT stand for "no date" and come back as NaT's int64 view.
    """
    if value is None and missing:
        return np.array([_NAT], dtype=np.int64), None
    if isinstance(value, (str, _dt.date, np.datetime64)):
        return np.array([_one(value, what)], dtype=np.int64), None
    if hasattr(value, "__array__") and not isinstance(value, np.ndarray):
        value = np.asarray(value)  # pandas Series, DatetimeIndex, ...
    if isinstance(value, np.ndarray):
        if value.dtype.kind == "M":
            if np.datetime_data(value.dtype)[0] == "generic":
                raise ValueError(f"{what}: a datetime64 array without a unit holds no dates")
            days = value.astype(DATE_DTYPE).view(np.int64).reshape(-1)
            if not missing and np.any(days == _NAT):
                raise ValueError(f"{what}[{int(np.flatnonzero(days == _NAT)[0])}] must be a date, got NaT")
            return np.ascontiguousarray(days), value.shape
        if value.dtype.kind in "OUS":
            shape = value.shape
            return _sequence(value.reshape(-1).tolist(), what, missing), shape
        raise TypeError(f"{what} must hold dates ({_HINT}); got an array of {value.dtype}")
    if isinstance(value, Iterable) and not isinstance(value, (bytes, dict)):
        items = list(value)
        return _sequence(items, what, missing), (len(items),)
    raise TypeError(f"{what} must be {_HINT}, or an array of dates; got {type(value).__name__} {value!r}")


def _sequence(items: list[Any], what: str, missing: bool) -> np.ndarray:
    out = np.empty(len(items), dtype=np.int64)
    for i, item in enumerate(items):
        if missing and (item is None or (isinstance(item, np.datetime64) and np.isnat(item))):
            out[i] = _NAT
        else:
            out[i] = _one(item, f"{what}[{i}]")
    return out


def from_day_numbers(days: np.ndarray, shape: tuple[int, ...] | None) -> Any:
    """Dates of day counts: one ``numpy.datetime64`` for ``shape`` None, else an array of that shape."""
    dates = np.asarray(days, dtype=np.int64).view(DATE_DTYPE)
    return dates[0] if shape is None else dates.reshape(shape)


def to_dates(value: Any) -> Any:
    """``value`` as a ``numpy.datetime64`` day, or an array of them as ``datetime64[D]``.

    Raises ``TypeError`` for what is not a date (numbers included: days or milliseconds would
    be a guess) and ``ValueError`` for an unreadable string or NaT.
    """
    days, shape = day_numbers(value)
    return from_day_numbers(days, shape)


def dates_to_ms(dates: Any) -> Any:
    """The engine's clock at midnight UTC of each date: milliseconds since 1970 (int, or int64 array)."""
    days, shape = day_numbers(dates)
    ms = days * DAY_MS
    return int(ms[0]) if shape is None else ms.reshape(shape)


def engine_years(dates: Any, pricing_time: Any) -> Any:
    """Years of 365 days from ``pricing_time`` to midnight UTC of each date, as the engine counts them.

    ``pricing_time`` is read as :class:`kestro.Market` reads its own (a market's
    ``Market.pricing_time`` included); dates before it give negative years.
    """
    return year_fraction(dates_to_ms(dates), check_date(pricing_time, "pricing_time"))


# Month arithmetic on day counts, vectorised. A month is counted since 1970-01. The civil
# calendar conversions are Howard Hinnant's integer algorithms (days_from_civil and
# civil_from_days): a few integer operations per date, several times faster than NumPy's
# datetime64 casts between days and months.


def civil(days: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Year, month (1-12) and day of month of each day count."""
    z = days + 719_468  # days since 0000-03-01
    era = z // 146_097
    doe = z - era * 146_097
    yoe = (doe - doe // 1460 + doe // 36_524 - doe // 146_096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153  # months from March
    day = doy - (153 * mp + 2) // 5 + 1
    month = np.where(mp < 10, mp + 3, mp - 9)
    return yoe + era * 400 + (month <= 2), month, day


def from_civil(year: np.ndarray, month: np.ndarray, day: np.ndarray | int) -> np.ndarray:
    """Day counts of year, month (1-12) and day of month."""
    y = year - (month <= 2)
    era = y // 400
    yoe = y - era * 400
    doy = (153 * np.where(month > 2, month - 3, month + 9) + 2) // 5 + day - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146_097 + doe - 719_468


def months_of(days: np.ndarray) -> np.ndarray:
    """Months since 1970-01 of each day."""
    year, month, _ = civil(days)
    return (year - 1970) * 12 + month - 1


def first_days(months: np.ndarray) -> np.ndarray:
    """The first day of each month (months since 1970-01)."""
    months = np.asarray(months, dtype=np.int64)
    return from_civil(1970 + months // 12, months % 12 + 1, 1)


def month_ends(days: np.ndarray) -> np.ndarray:
    """The last day of each day's month."""
    return first_days(months_of(days) + 1) - 1


def is_month_end(days: np.ndarray) -> np.ndarray:
    return month_ends(days) == days


_MONTH_LENGTHS = np.array([31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31], dtype=np.int64)


def month_lengths(year: np.ndarray, month: np.ndarray) -> np.ndarray:
    """Days in each month (1-12) of each year."""
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    return _MONTH_LENGTHS[month - 1] + (leap & (month == 2))


def add_months(days: np.ndarray, months: Any) -> np.ndarray:
    """Each day moved by ``months`` months, its day of month clamped to the new month's length."""
    year, month, day = civil(days)
    target = (year - 1970) * 12 + month - 1 + months
    year, month = 1970 + target // 12, target % 12 + 1
    return from_civil(year, month, np.minimum(day, month_lengths(year, month)))


def years_of(days: np.ndarray) -> np.ndarray:
    """The calendar year of each day."""
    return civil(days)[0]


def format_day(day: Any) -> str:
    """An ISO date of a day count, for messages."""
    return str(np.int64(day).view(DATE_DTYPE))
