"""Curve pillars given as dates or tenors, placed on the engine's clock.

The engine's curves are indexed by years of 365 days from the pricing time. A pillar given as
a date (anything :func:`kestro.to_ms` reads: ``date``, ``datetime``, ISO strings,
``numpy.datetime64``, pandas Timestamps) sits at ``(date - pricing time) / 365 days``; a
date without a time of day is its midnight UTC. A tenor (``"1M"``, ``"2Y"``, or a
:class:`~kestro.conventions.Tenor`) is added to the pricing date (the pricing time's UTC date)
with the conventions' tenor arithmetic (months clamp to the month's end), rolled onto a
business day when a calendar is given, and taken at midnight UTC of the date reached.

Pillars come in increasing order and never before the pricing time: a date that is earlier,
or two pillars that fall on the same time, are refused naming both.
"""

from __future__ import annotations

import numbers
import re
from typing import Any

import numpy as np

from kestro.clock import DAY_MS, check_date, format_ms, to_milliseconds, to_ms
from kestro.conventions.calendars import BusinessDayConvention, Calendar, business_day_convention, calendar as _calendar
from kestro.conventions.tenors import Tenor, shift_days, tenor as _tenor
from kestro.curves import year_fraction

__all__ = ["are_year_fractions", "day_or_time", "is_tenor", "pillar_ms", "pillar_years", "tenor_ms"]

_TENOR_FORM = re.compile(r"\s*[+-]?\d+\s*[A-Za-z]+\s*")  # "3M", and "3X" or "-1M" to refuse; never an ISO date


def _is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def are_year_fractions(times: Any) -> bool:
    """Whether ``times`` are plain numbers (year fractions) rather than dates or tenors."""
    if isinstance(times, (str, Tenor)):
        return False
    raw = np.asarray(times) if not isinstance(times, np.ndarray) else times
    if raw.dtype.kind in "iufb":
        return True
    if raw.dtype.kind in "MUS":
        return False
    if raw.dtype == object:
        return all(_is_number(value) for value in raw.reshape(-1).tolist())
    return True  # left for the float conversion to refuse


def _is_tenor(value: Any) -> bool:
    return isinstance(value, Tenor) or (isinstance(value, str) and _TENOR_FORM.fullmatch(value) is not None)


def _label(value: Any) -> str:
    if isinstance(value, np.datetime64):
        return str(value)
    return repr(str(value)) if isinstance(value, Tenor) else repr(value)


def day_or_time(ms: int) -> str:
    """A time (ms since 1970) for messages: the date alone at midnight UTC, else the full ISO time."""
    return str(np.datetime64(ms // DAY_MS, "D")) if ms % DAY_MS == 0 else format_ms(ms)


def _items(pillars: Any) -> list[Any] | None:
    """The pillars one by one, or None for a datetime64 array (all dates, read at once)."""
    if isinstance(pillars, (str, Tenor)):
        raise TypeError(f"pillars are a sequence of dates or tenors, got the single {_label(pillars)}")
    if hasattr(pillars, "__array__") and not isinstance(pillars, np.ndarray):
        pillars = np.asarray(pillars)  # pandas Series and indexes, Arrow arrays
    if isinstance(pillars, np.ndarray):
        if pillars.ndim != 1:
            raise ValueError(f"pillars must be one-dimensional, got shape {pillars.shape}")
        if pillars.dtype.kind == "M":
            return None
        return pillars.tolist() if pillars.dtype.kind in "US" else list(pillars)
    try:
        return list(pillars)
    except TypeError:
        raise TypeError(f"pillars are a sequence of dates or tenors, got {type(pillars).__name__}") from None


def _error_type(value: Any) -> type[Exception]:
    """The error for an unreadable pillar: a string that reads wrong is a value error, anything else a type error."""
    return ValueError if isinstance(value, str) else TypeError


def is_tenor(value: Any) -> bool:
    """Whether ``value`` is written as a tenor ("3M", or a :class:`~kestro.conventions.Tenor`) rather than a date."""
    return _is_tenor(value)


def tenor_ms(value: str | Tenor, pricing_ms: int, calendar: Calendar | None,
             convention: BusinessDayConvention) -> int:
    """Midnight UTC (in ms) of the pricing date plus the tenor ``value``, rolled on ``calendar`` if given."""
    period = _tenor(value)
    day = shift_days(np.array([pricing_ms // DAY_MS], dtype=np.int64), period, 1)
    if calendar is not None:
        day = calendar.adjust_days(calendar.check_days(day, f"the date {period} after the pricing date"), convention)
    return int(day[0]) * DAY_MS


def pillar_ms(pillars: Any, pricing_time: Any, *, calendar: str | Calendar | None = None,
              convention: str | BusinessDayConvention = "modified following") -> np.ndarray:
    """Milliseconds since 1970 of each pillar (date or tenor), as an int64 array.

    Tenors are added to the pricing date and rolled by ``convention`` on ``calendar`` when one
    is given. Raises ``ValueError`` naming the pillar for an unreadable date or tenor, a
    number among dates (year fractions and dates do not mix) and ``TypeError`` for what is
    neither.
    """
    start = check_date(pricing_time, "pricing_time")
    items = _items(pillars)
    if items is None:
        try:
            return to_milliseconds(pillars)
        except ValueError as error:
            raise ValueError(f"pillars: {error}") from None
    cal = None if calendar is None else _calendar(calendar)
    roll = business_day_convention(convention)
    out = np.empty(len(items), dtype=np.int64)
    for i, value in enumerate(items):
        if _is_number(value):
            raise ValueError(f"pillar {i} is the number {value!r} among dates and tenors: give every pillar as "
                             "years from the pricing time, or every pillar as a date or tenor")
        if _is_tenor(value):
            try:
                out[i] = tenor_ms(value, start, cal, roll)
            except ValueError as error:
                raise ValueError(f"pillar {i}: {error}") from None
            continue
        try:
            out[i] = to_ms(value)
        except (TypeError, ValueError):
            kind = "an ISO date" if isinstance(value, str) else "a date"
            raise _error_type(value)(f"pillar {i} {_label(value)} is neither {kind} nor a tenor such as '3M'") from None
    return out


def pillar_years(pillars: Any, pricing_time: Any, *, calendar: str | Calendar | None = None,
                 convention: str | BusinessDayConvention = "modified following") -> np.ndarray:
    """Engine years (365-day years from ``pricing_time``) of each pillar, strictly increasing.

    See :func:`pillar_ms` for what a pillar may be. Raises ``ValueError`` naming the pillars
    for one before the pricing time and for pillars out of order or on the same time.
    """
    start = check_date(pricing_time, "pricing_time")
    ms = pillar_ms(pillars, pricing_time, calendar=calendar, convention=convention)
    items = _items(pillars)

    def name(i: int) -> str:
        when = day_or_time(int(ms[i]))
        return f"pillar {i} ({when})" if items is None or not _is_tenor(items[i]) else \
            f"pillar {i} ({_label(items[i])}, {when})"

    early = np.flatnonzero(ms < start)
    if early.size:
        raise ValueError(f"{name(int(early[0]))} lies before the pricing time {day_or_time(start)}: curves run "
                         "forward from the pricing time; drop the pillar or move the pricing time")
    unordered = np.flatnonzero(np.diff(ms) <= 0)
    if unordered.size:
        i = int(unordered[0])
        verb = "fall on the same time" if ms[i] == ms[i + 1] else "are out of order"
        raise ValueError(f"{name(i)} and {name(i + 1)} {verb}: pillars must be strictly increasing")
    return np.asarray(year_fraction(ms, start), dtype=np.float64)
