"""Schedules of accrual periods: dates from a start to an end every period, rolled onto business days.

:func:`schedule` builds one schedule, :func:`schedules` many at once (arrays of starts and
ends with shared conventions), vectorised with NumPy across all of them. The dates are
QuantLib's ``Schedule`` for the same inputs, date for date:

- ``rule="backward"`` counts periods back from the end (or from ``next_to_last_date``), so an
  odd period, the stub, comes first; ``"forward"`` counts from the start (or from
  ``first_date``) and leaves the stub last. ``first_date`` makes a front stub of your own
  (short or long), ``next_to_last_date`` a back stub.
- Unadjusted dates are generated from the end (start) as n periods at once, with the day of
  the month clamped (see :mod:`kestro.conventions.tenors`); with ``end_of_month`` and a month
  or year period, a seed on the last day of its month generates month ends, and a seed on the
  last business day of its month puts the inner dates on their months' last business days.
- A generated date whose rolled date repeats the date next to it is dropped.
- Every date is rolled with ``convention``, except the end, which is rolled with
  ``termination_convention`` (by default ``convention``). Under the end-of-month rule the
  inner dates first move to the last days of their months.
- Payment dates are ``payment_lag`` business days after each period's adjusted end (the end
  rolled "following" when the lag is 0); fixing dates ``fixing_lag`` business days before its
  adjusted start (rolled "preceding" when the lag is 0), both on the schedule's calendar.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestro.conventions.calendars import BusinessDayConvention, Calendar, business_day_convention, calendar
from kestro.conventions.dates import (
    DATE_DTYPE, day_numbers, format_day, is_month_end, month_ends, months_of,
)
from kestro.conventions.daycounts import DayCount, day_count
from kestro.conventions.tenors import Tenor, frequency as _frequency, shift_days, tenor as _tenor

__all__ = ["RULES", "Schedule", "Schedules", "schedule", "schedules"]

RULES: tuple[str, ...] = ("backward", "forward")
"""The date-generation rules: count periods back from the end, or forward from the start."""

_NAT = np.iinfo(np.int64).min
_UNADJUSTED = BusinessDayConvention.UNADJUSTED
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


class _Labels:
    """Names schedule i in messages: nothing for a single schedule."""

    def __init__(self, single: bool) -> None:
        self.single = single

    def __call__(self, i: int) -> str:
        return "" if self.single else f"schedule {i}: "


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
    label = _Labels(single)

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
    return _generate(s, e, f, n, period, cal, conv, tconv, backward, bool(end_of_month), payment_lag, fixing_lag,
                     label)


def _check_dates(s: np.ndarray, e: np.ndarray, f: np.ndarray, n: np.ndarray, period: Tenor, cal: Calendar,
                 label: _Labels) -> None:
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


# Generation


def _generate(s: np.ndarray, e: np.ndarray, f: np.ndarray, n: np.ndarray, period: Tenor, cal: Calendar,
              conv: BusinessDayConvention, tconv: BusinessDayConvention, backward: bool, end_of_month: bool,
              payment_lag: int, fixing_lag: int, label: _Labels) -> Schedules:
    has_f, has_n = f != _NAT, n != _NAT
    if period.length == 0:
        owner = np.repeat(np.arange(s.size), 2)
        values = np.stack([s, e], axis=1).reshape(-1)
        counts = np.full(s.size, 2, dtype=np.int64)
        regular_at_start = np.ones(values.size, dtype=bool)
        return _finish(values, owner, counts, regular_at_start, np.zeros(s.size, dtype=bool), cal, conv, tconv,
                       backward, period, payment_lag, fixing_lag, label)

    eom = end_of_month and period.months is not None  # as QuantLib: days and weeks have no month ends
    step = -1 if backward else 1
    # Backward: from the end (or next-to-last date) down to the start (or first date); forward the other way.
    seed = np.where(has_n, n, e) if backward else np.where(has_f, f, s)
    stop = np.where(has_f, f, s) if backward else np.where(has_n, n, e)
    seed_on_month_end = eom & is_month_end(seed)

    def generated(base: np.ndarray, base_on_month_end: np.ndarray, k: np.ndarray) -> np.ndarray:
        dates = shift_days(base, period, step * k)
        return np.where(base_on_month_end, month_ends(dates), dates) if eom else dates

    # How many whole periods fit between seed and stop.
    if period.months is not None:
        whole = step * (months_of(stop) - months_of(seed)) // period.months
        reached = generated(seed, seed_on_month_end, whole)
        k_max = whole - ((reached < stop) if backward else (reached > stop))
    else:
        k_max = step * (stop - seed) // (period.days or 1)

    # Slots, in date order: start, first date, generated dates, next-to-last date, end.
    counts = 2 + has_f + k_max + has_n
    offsets = np.concatenate([[0], np.cumsum(counts)])
    owner = np.repeat(np.arange(s.size), counts)
    pos = np.arange(offsets[-1]) - offsets[owner]
    lo = 1 + has_f[owner]
    hi = lo + k_max[owner]
    is_start, is_end = pos == 0, pos == counts[owner] - 1
    is_first = has_f[owner] & (pos == 1)
    is_generated = (pos >= lo) & (pos < hi)
    is_next_to_last = has_n[owner] & (pos == hi)

    values = np.where(is_end, e[owner], s[owner])
    values = np.where(is_first, f[owner], values)
    values = np.where(is_next_to_last, n[owner], values)
    g = np.flatnonzero(is_generated)
    j = pos[g] - lo[g]
    k = (k_max[owner[g]] - j) if backward else (j + 1)
    values[g] = generated(seed[owner[g]], seed_on_month_end[owner[g]], k)

    # A generated date is dropped when it rolls onto the date kept next to it (towards the
    # seed). Rolling is monotone, so comparing with the neighbouring slot is the same.
    rolled = cal.adjust_days(values, conv)
    if backward:
        keep = is_end | is_next_to_last | (rolled != np.roll(rolled, -1))
        # Each kept date but the end owns the period after it: whole for generated dates, and
        # for the start and the next-to-last date when one period back from the date kept
        # after them lands on them.
        after = np.minimum.accumulate(np.where(keep, np.arange(values.size), values.size)[::-1])[::-1]
        edges = np.flatnonzero(is_start | is_next_to_last)
        nxt = values[after[edges + 1]]
        one_back = shift_days(nxt, period, -1)
        if eom:
            one_back = np.where(is_month_end(nxt), month_ends(one_back), one_back)
        regular_at_start = is_generated.copy()
        regular_at_start[edges] = one_back == values[edges]
    else:
        keep = is_start | is_first | (rolled != np.roll(rolled, 1))
        # The end is kept unless it rolls, by the termination convention, onto the last date kept.
        last_kept = np.maximum.accumulate(np.where(keep & ~is_end, np.arange(values.size), 0))
        before_end = last_kept[np.maximum(np.flatnonzero(is_end) - 1, 0)]
        end_slots = np.flatnonzero(is_end)
        keep[end_slots] = cal.adjust_days(values[end_slots], tconv) != cal.adjust_days(values[before_end], tconv)
        # Each kept date but the start owns the period before it.
        one_on = generated(s, eom & is_month_end(s), np.ones_like(s))
        regular = np.where(is_first, one_on[owner] == values, is_generated)
        regular_at_start = _period_flags_at_starts(regular, keep)
    seed_eom = eom & cal.is_end_of_month_days(seed)
    return _finish(values[keep], owner[keep], np.bincount(owner[keep], minlength=s.size), regular_at_start[keep],
                   seed_eom, cal, conv, tconv, backward, period, payment_lag, fixing_lag, label)


def _period_flags_at_starts(at_ends: np.ndarray, keep: np.ndarray) -> np.ndarray:
    """Forward generation flags a period at its end date: move each flag to the kept date before."""
    out = np.zeros(at_ends.size, dtype=bool)
    kept = np.flatnonzero(keep)
    out[kept[:-1]] = at_ends[kept[1:]]  # across schedules this copies into each last date: unused
    return out


def _finish(values: np.ndarray, owner: np.ndarray, counts: np.ndarray, regular: np.ndarray, seed_eom: np.ndarray,
            cal: Calendar, conv: BusinessDayConvention, tconv: BusinessDayConvention, backward: bool, period: Tenor,
            payment_lag: int, fixing_lag: int, label: _Labels) -> Schedules:
    """Roll the kept dates, apply QuantLib's final clean-up, and add payment and fixing dates."""
    _degenerate(counts < 2, label)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    index = np.arange(values.size)
    front, back = index == offsets[owner], index == offsets[owner + 1] - 1

    # The start rolls by convention, the end by the termination convention, inner dates by
    # convention: from their months' last days under the end-of-month rule.
    inner_eom = ~(front | back) & seed_eom[owner]
    unadjusted = np.where(inner_eom, month_ends(values), values) if np.any(inner_eom) else values
    adjusted = np.where(back, cal.adjust_days(values, tconv), cal.adjust_days(unadjusted, conv))

    # A next-to-last date on or after the end merges into the end, a second date on or before
    # the start into the start (end-of-month moves can cause either).
    drop = np.zeros(values.size, dtype=bool)
    last = offsets[1:] - 1
    merge = adjusted[last - 1] >= adjusted[last]
    _degenerate(merge & (counts < 3), label)
    regular[last[merge] - 2] = adjusted[last[merge] - 1] == adjusted[last[merge]]
    drop[last[merge] - 1] = True
    counts = counts - merge
    first = offsets[:-1]
    second = np.where(drop[first + 1], first + 2, first + 1)  # the next date still there
    merge = adjusted[second] <= adjusted[first]
    _degenerate(merge & (counts < 3), label)
    regular[first[merge]] = adjusted[second[merge]] == adjusted[first[merge]]
    drop[second[merge]] = True
    counts = counts - merge

    keep = ~drop
    adjusted, unadjusted, regular, owner = adjusted[keep], unadjusted[keep], regular[keep], owner[keep]
    offsets = np.concatenate([[0], np.cumsum(counts)])
    is_last = np.zeros(adjusted.size, dtype=bool)
    is_last[offsets[1:] - 1] = True
    starts = np.flatnonzero(~is_last)
    # Only the end-of-month rule can roll a stub date onto a month end next to it; QuantLib
    # keeps the empty period that leaves, we refuse it.
    collide = np.flatnonzero(adjusted[starts + 1] <= adjusted[starts])
    if collide.size:
        at = starts[collide[0]]
        raise ValueError(label(int(owner[at])) + f"two accrual dates roll onto {format_day(adjusted[at])}: the "
                         "end-of-month rule moves dates to month ends, so give first_date and next_to_last_date "
                         "on month ends or set end_of_month=False")
    payment = cal.add_business_days_days(adjusted[starts + 1], np.int64(payment_lag), BusinessDayConvention.FOLLOWING)
    fixing = cal.add_business_days_days(adjusted[starts], np.int64(-fixing_lag), BusinessDayConvention.PRECEDING)
    return Schedules(_frozen(offsets.astype(np.int64)), _frozen(unadjusted, DATE_DTYPE), _frozen(adjusted, DATE_DTYPE),
                     _frozen(payment, DATE_DTYPE), _frozen(fixing, DATE_DTYPE), _frozen(regular[starts]),
                     cal, period)


def _degenerate(mask: np.ndarray, label: _Labels) -> None:
    if np.any(mask):
        i = int(np.flatnonzero(mask)[0])
        raise ValueError(label(i) + "its dates all roll onto one business day; there is no accrual period")
