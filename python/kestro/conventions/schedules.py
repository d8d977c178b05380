"""Schedules of accrual periods: dates from a start to an end every period, rolled onto business days.

:func:`schedule` builds one schedule, :func:`schedules` many at once (arrays of starts and
ends with shared conventions), vectorised with NumPy across all of them. The dates are
QuantLib's ``Schedule`` for the same inputs, date for date:

- ``rule="backward"`` counts periods back from the end (or from ``next_to_last_date``), so an
  odd period, the stub, comes first; ``"forward"`` counts from the start (or from
  ``first_date``) and leaves the stub last. ``first_date`` makes a front stub of your own
  (short or long), ``next_to_last_date`` a back stub.
- Unadjusted dates are generated from the end (start) as n periods at once, with the day of
  the month clamped (see :mod:`kestro.conventions.tenors`). A generated date whose rolled date
  repeats the date next to it is dropped.
- Every date is rolled with ``convention``, except the end, which is rolled with
  ``termination_convention`` (by default ``convention``).
- ``end_of_month`` (month and year periods only): when the date the periods are counted from
  is the last day of its month, the generated dates are month ends; when it is the last
  business day of its month, every inner date moves to the last day of its month before it is
  rolled.
- Payment dates are ``payment_lag`` business days after each period's adjusted end (the end
  rolled "following" when the lag is 0); fixing dates ``fixing_lag`` business days before its
  adjusted start (rolled "preceding" when the lag is 0), both on the schedule's calendar.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestro.conventions.calendars import BusinessDayConvention, Calendar, business_day_convention, calendar
from kestro.conventions.dates import DATE_DTYPE, day_numbers, format_day
from kestro.conventions.daycounts import DayCount, day_count
from kestro.conventions.schedule_generation import NAT as _NAT, generate
from kestro.conventions.tenors import Tenor, frequency as _frequency, shift_days, tenor as _tenor

__all__ = ["RULES", "Schedule", "Schedules", "schedule", "schedules"]

RULES: tuple[str, ...] = ("backward", "forward")
"""The date-generation rules: count periods back from the end, or forward from the start."""

_TENOR_FORM = re.compile(r"\s*[+-]?\d*\s*[A-Za-z]+\s*")  # "10Y", and "3X" to refuse; never an ISO date


def _frozen(array: np.ndarray, dtype: Any = None) -> np.ndarray:
    out = np.ascontiguousarray(array if dtype is None else np.asarray(array).view(dtype))
    out.flags.writeable = False
    return out


@dataclass(frozen=True, eq=False)
class Schedule:
    """One schedule: n + 1 accrual dates, and per period a payment date, a fixing date and regularity.

    Dates are ``datetime64[D]`` arrays (read-only). ``unadjusted_dates`` are the dates the rule
    generates, on month ends where the end-of-month rule puts them, before the business-day
    roll; ``adjusted_dates`` are the accrual dates after it. ``is_regular[i]`` says whether
    period i is a whole period (False for stubs).
    """

    unadjusted_dates: np.ndarray
    adjusted_dates: np.ndarray
    payment_dates: np.ndarray
    fixing_dates: np.ndarray
    is_regular: np.ndarray
    calendar: Calendar
    frequency: Tenor

    @property
    def periods(self) -> int:
        """The number of accrual periods."""
        return int(self.payment_dates.size)

    @property
    def accrual_starts(self) -> np.ndarray:
        """The adjusted start of each period."""
        return self.adjusted_dates[:-1]

    @property
    def accrual_ends(self) -> np.ndarray:
        """The adjusted end of each period."""
        return self.adjusted_dates[1:]

    def year_fractions(self, convention: str | DayCount, *, adjusted: bool = True) -> np.ndarray:
        """Each period's year fraction by the day count ``convention``, between adjusted dates
        (or unadjusted ones with ``adjusted=False``, as fixed-rate bonds often accrue)."""
        dates = (self.adjusted_dates if adjusted else self.unadjusted_dates).view(np.int64)
        return day_count(convention).year_fraction_days(dates[:-1], dates[1:])

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Schedule):
            return NotImplemented
        return (self.calendar == other.calendar and self.frequency == other.frequency
                and all(np.array_equal(getattr(self, f), getattr(other, f)) for f in _DATE_FIELDS))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        dates = self.adjusted_dates
        return (f"Schedule({self.periods} periods of {self.frequency} from {dates[0]} to {dates[-1]}, "
                f"calendar {self.calendar.name})")


_DATE_FIELDS = ("unadjusted_dates", "adjusted_dates", "payment_dates", "fixing_dates", "is_regular")


@dataclass(frozen=True, eq=False)
class Schedules:
    """Many schedules with shared conventions, as flat arrays.

    Schedule i's dates are ``adjusted_dates[offsets[i]:offsets[i + 1]]`` (and the same slice of
    ``unadjusted_dates``); its periods, one fewer, are the same slice of
    ``period_offsets`` into ``payment_dates``, ``fixing_dates``, ``is_regular`` and
    :meth:`year_fractions`. Index it for one :class:`Schedule`.
    """

    offsets: np.ndarray
    unadjusted_dates: np.ndarray
    adjusted_dates: np.ndarray
    payment_dates: np.ndarray
    fixing_dates: np.ndarray
    is_regular: np.ndarray
    calendar: Calendar
    frequency: Tenor

    def __len__(self) -> int:
        return int(self.offsets.size - 1)

    @property
    def period_offsets(self) -> np.ndarray:
        """Where each schedule's periods begin in the per-period arrays, and where the last ends."""
        return self.offsets - np.arange(self.offsets.size)

    @property
    def accrual_starts(self) -> np.ndarray:
        """The adjusted start of every period, schedule after schedule."""
        return self.adjusted_dates[self._starts()]

    @property
    def accrual_ends(self) -> np.ndarray:
        """The adjusted end of every period, schedule after schedule."""
        return self.adjusted_dates[self._starts() + 1]

    def _starts(self) -> np.ndarray:
        last = np.zeros(self.adjusted_dates.size, dtype=bool)
        last[self.offsets[1:] - 1] = True
        return np.flatnonzero(~last)

    def year_fractions(self, convention: str | DayCount, *, adjusted: bool = True) -> np.ndarray:
        """Every period's year fraction by ``convention`` (see :meth:`Schedule.year_fractions`)."""
        dates = (self.adjusted_dates if adjusted else self.unadjusted_dates).view(np.int64)
        starts = self._starts()
        return day_count(convention).year_fraction_days(dates[starts], dates[starts + 1])

    def __getitem__(self, index: int) -> Schedule:
        count = len(self)
        if isinstance(index, bool) or not isinstance(index, (int, np.integer)):
            raise TypeError(f"schedules are indexed by an integer, got {index!r}")
        if not -count <= index < count:
            raise IndexError(f"schedule {index} of {count}")
        i = int(index) % count
        lo, hi = int(self.offsets[i]), int(self.offsets[i + 1])
        return Schedule(self.unadjusted_dates[lo:hi], self.adjusted_dates[lo:hi], self.payment_dates[lo - i:hi - i - 1],
                        self.fixing_dates[lo - i:hi - i - 1], self.is_regular[lo - i:hi - i - 1],
                        self.calendar, self.frequency)

    def __iter__(self) -> Any:
        return (self[i] for i in range(len(self)))

    def __repr__(self) -> str:
        return f"Schedules({len(self)} schedules of {self.frequency}, calendar {self.calendar.name})"


def schedule(
    start: Any,
    end: Any,
    frequency: str | Tenor,
    *,
    calendar: str | Calendar = "WEEKENDS",
    convention: str | BusinessDayConvention = "following",
    termination_convention: str | BusinessDayConvention | None = None,
    rule: str = "backward",
    end_of_month: bool = False,
    first_date: Any = None,
    next_to_last_date: Any = None,
    payment_lag: int = 0,
    fixing_lag: int = 0,
) -> Schedule:
    """The schedule from ``start`` to ``end`` every ``frequency``.

    - ``start``: a date; ``end``: a date or a tenor after ``start`` (``"10Y"``, unadjusted).
    - ``frequency``: the period, a tenor (``"6M"``) or a name (``"semiannual"``; ``"once"`` or
      ``"0D"`` for a single period).
    - ``calendar``: a :class:`Calendar` or a name for :func:`kestro.conventions.calendar`.
    - ``convention``, ``termination_convention``: business-day conventions for the dates and
      for the end (default: ``convention``).
    - ``rule``: ``"backward"`` (stub first) or ``"forward"`` (stub last).
    - ``end_of_month``: keep month ends on month ends (month and year periods only).
    - ``first_date``, ``next_to_last_date``: the end of a front stub, the start of a back stub.
    - ``payment_lag``, ``fixing_lag``: business days from each period's end to its payment,
      and from its fixing to its start.

    Raises ``ValueError`` for an end not after the start, stub dates outside it, dates a
    calendar does not know, or dates that all roll onto one business day, and ``TypeError``
    or ``ValueError`` for unknown names, naming the value.
    """
    batch = _build(start, end, frequency, calendar, convention, termination_convention, rule, end_of_month,
                   first_date, next_to_last_date, payment_lag, fixing_lag, single=True)
    return batch[0]


def schedules(
    starts: Any,
    ends: Any,
    frequency: str | Tenor,
    *,
    calendar: str | Calendar = "WEEKENDS",
    convention: str | BusinessDayConvention = "following",
    termination_convention: str | BusinessDayConvention | None = None,
    rule: str = "backward",
    end_of_month: bool = False,
    first_dates: Any = None,
    next_to_last_dates: Any = None,
    payment_lag: int = 0,
    fixing_lag: int = 0,
) -> Schedules:
    """Many schedules at once, as :func:`schedule` builds each: arrays of ``starts`` and ``ends``
    (broadcast together; ``ends`` may be one tenor), optional arrays of ``first_dates`` and
    ``next_to_last_dates`` (NaT or None where a schedule has none), and shared conventions.
    An error names the schedule by its index."""
    return _build(starts, ends, frequency, calendar, convention, termination_convention, rule, end_of_month,
                  first_dates, next_to_last_dates, payment_lag, fixing_lag, single=False)


# Arguments


def _is_tenor(value: Any) -> bool:
    return isinstance(value, Tenor) or (isinstance(value, str) and _TENOR_FORM.fullmatch(value) is not None)


def _lag(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a whole number of business days, got {value!r}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return int(value)


def _rule(value: Any) -> bool:
    """True for backward generation."""
    if not isinstance(value, str) or value.strip().lower() not in RULES:
        raise ValueError(f"unknown rule {value!r}; use 'backward' (stub first) or 'forward' (stub last)")
    return value.strip().lower() == "backward"


def _labels(single: bool) -> Callable[[int], str]:
    """What names schedule i in messages: nothing for a single schedule."""
    return (lambda i: "") if single else (lambda i: f"schedule {i}: ")


def _build(start: Any, end: Any, frequency: Any, cal: Any, convention: Any, termination_convention: Any, rule: Any,
           end_of_month: Any, first: Any, next_to_last: Any, payment_lag: Any, fixing_lag: Any,
           single: bool) -> Schedules:
    period = _frequency(frequency)
    cal = calendar(cal)
    conv = business_day_convention(convention)
    tconv = conv if termination_convention is None else business_day_convention(termination_convention)
    backward = _rule(rule)
    if not isinstance(end_of_month, (bool, np.bool_)):
        raise TypeError(f"end_of_month must be True or False, got {end_of_month!r}")
    payment_lag = _lag("payment_lag", payment_lag)
    fixing_lag = _lag("fixing_lag", fixing_lag)
    label = _labels(single)

    s, s_shape = day_numbers(start, "start")
    if _is_tenor(end):
        e, e_shape = shift_days(s, _tenor(end), 1), s_shape
    else:
        e, e_shape = day_numbers(end, "end")
    f, f_shape = day_numbers(first, "first_date", missing=True)
    n, n_shape = day_numbers(next_to_last, "next_to_last_date", missing=True)
    if single and any(shape is not None for shape in (s_shape, e_shape, f_shape, n_shape)):
        raise TypeError("schedule() builds one schedule from single dates; use schedules() for arrays of them")
    shapes = [shape or () for shape in (s_shape, e_shape, f_shape, n_shape)]
    try:
        shape = np.broadcast_shapes(*shapes)
    except ValueError:
        raise ValueError(f"starts, ends, first and next-to-last dates of shapes {', '.join(map(str, shapes))} "
                         "do not broadcast together") from None
    if len(shape) > 1:
        raise ValueError(f"schedules() takes one-dimensional arrays of dates, got shape {shape}")
    s, e, f, n = (np.broadcast_to(a.reshape(sh), shape).reshape(-1).copy() for a, sh in zip((s, e, f, n), shapes))

    _check_dates(s, e, f, n, period, cal, label)
    out = generate(s, e, f, n, period, cal, conv, tconv, backward, bool(end_of_month), payment_lag, fixing_lag, label)
    return Schedules(_frozen(out.offsets), _frozen(out.unadjusted, DATE_DTYPE), _frozen(out.adjusted, DATE_DTYPE),
                     _frozen(out.payment, DATE_DTYPE), _frozen(out.fixing, DATE_DTYPE), _frozen(out.regular), cal,
                     period)


def _check_dates(s: np.ndarray, e: np.ndarray, f: np.ndarray, n: np.ndarray, period: Tenor, cal: Calendar,
                 label: Callable[[int], str]) -> None:
    def fail(mask: np.ndarray, message: Any) -> None:
        if np.any(mask):
            i = int(np.flatnonzero(mask)[0])
            raise ValueError(label(i) + message(i))

    fail(e <= s, lambda i: f"start {format_day(s[i])} is not before end {format_day(e[i])}")
    # A stub date on the start or end is no stub, as in QuantLib.
    f[f == s] = _NAT
    n[n == e] = _NAT
    has_f, has_n = f != _NAT, n != _NAT
    fail(has_f & ((f <= s) | (f > e)),
         lambda i: (f"first_date {format_day(f[i])} must lie after start {format_day(s[i])}, "
                    f"up to end {format_day(e[i])}"))
    fail(has_n & ((n < s) | (n >= e)),
         lambda i: (f"next_to_last_date {format_day(n[i])} must lie from start {format_day(s[i])} "
                    f"to before end {format_day(e[i])}"))
    fail(has_f & has_n & (f > n),
         lambda i: f"first_date {format_day(f[i])} is after next_to_last_date {format_day(n[i])}")
    if period.length == 0:
        fail(has_f | has_n, lambda i: f"a schedule of one period ({period}) has no first_date or next_to_last_date")
    if cal.first is not None and cal.last is not None:
        first, last = cal.first.view(np.int64), cal.last.view(np.int64)
        fail((s < first) | (e > last),
             lambda i: (f"dates {format_day(s[i])} to {format_day(e[i])} are outside calendar {cal.name}, "
                        f"which knows {cal.first} to {cal.last}"))
