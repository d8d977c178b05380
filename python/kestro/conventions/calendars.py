"""Business-day calendars and the conventions that roll a date onto a business day.

A :class:`Calendar` is a weekmask and a sorted array of holidays, the form NumPy's
``busdaycalendar`` takes, so rolling, testing and counting business days run through
``numpy.busday_offset``, ``numpy.is_busday`` and ``numpy.busday_count`` over whole arrays.

Named calendars (:func:`calendar`, case-insensitive, with aliases):

=========== =========================================================== ==============
name        business days                                                 years
=========== =========================================================== ==============
WEEKENDS    Monday to Friday                                              any
TARGET      TARGET2 settlement days (euro)                                1999-2100
US-GOVT     US government bond market (SIFMA's recommendations)          1996-2100
US-SOFR     SOFR fixing days: US-GOVT less every Good Friday              1996-2100
UK          United Kingdom settlement: England and Wales bank holidays   1872-2100
NONE        every day (no weekends, no holidays): dates stay as they are  any
=========== =========================================================== ==============

The holidays come from the ``holidays`` package (see :mod:`kestro.conventions.holiday_sources`
for the rules added to it); a date outside the years a calendar knows is refused rather than
guessed. ``"TARGET+UK"`` (or ``calendar(["TARGET", "UK"])``, or :meth:`Calendar.joint`) is the
joint calendar: a holiday in any of them is a holiday. Calendars pickle with their holidays,
so they travel to worker processes as they are.
"""

from __future__ import annotations

import enum
import functools
import re
from collections.abc import Callable, Iterable
from typing import Any, Literal

import numpy as np

from kestro.conventions.dates import (
    DATE_DTYPE, day_numbers, format_day, from_day_numbers, month_ends, months_of,
)

__all__ = ["BusinessDayConvention", "CALENDARS", "Calendar", "business_day_convention", "calendar"]


class BusinessDayConvention(enum.Enum):
    """How a date that is not a business day moves onto one."""

    FOLLOWING = "following"                      # the next business day
    MODIFIED_FOLLOWING = "modified following"    # ... unless that is in the next month: the previous one
    PRECEDING = "preceding"                      # the previous business day
    MODIFIED_PRECEDING = "modified preceding"    # ... unless that is in the previous month: the next one
    UNADJUSTED = "unadjusted"                    # stays where it is

    def __repr__(self) -> str:
        return f"BusinessDayConvention.{self.name}"


_Roll = Literal["following", "modifiedfollowing", "preceding", "modifiedpreceding"]
_NUMPY_ROLL: dict[BusinessDayConvention, _Roll] = {
    BusinessDayConvention.FOLLOWING: "following",
    BusinessDayConvention.MODIFIED_FOLLOWING: "modifiedfollowing",
    BusinessDayConvention.PRECEDING: "preceding",
    BusinessDayConvention.MODIFIED_PRECEDING: "modifiedpreceding",
}
_CONVENTION_ALIASES = {
    "F": BusinessDayConvention.FOLLOWING, "FOLLOWING": BusinessDayConvention.FOLLOWING,
    "MF": BusinessDayConvention.MODIFIED_FOLLOWING, "MODIFIEDFOLLOWING": BusinessDayConvention.MODIFIED_FOLLOWING,
    "MODFOLLOWING": BusinessDayConvention.MODIFIED_FOLLOWING,
    "P": BusinessDayConvention.PRECEDING, "PRECEDING": BusinessDayConvention.PRECEDING,
    "MP": BusinessDayConvention.MODIFIED_PRECEDING, "MODIFIEDPRECEDING": BusinessDayConvention.MODIFIED_PRECEDING,
    "MODPRECEDING": BusinessDayConvention.MODIFIED_PRECEDING,
    "U": BusinessDayConvention.UNADJUSTED, "UNADJUSTED": BusinessDayConvention.UNADJUSTED,
    "NONE": BusinessDayConvention.UNADJUSTED,
}


def _key(name: str) -> str:
    return re.sub(r"[^0-9A-Z]", "", name.upper())


def business_day_convention(value: str | BusinessDayConvention) -> BusinessDayConvention:
    """The convention named ``value``, case-insensitive: "following" ("F"), "modified following"
    ("MF"), "preceding" ("P"), "modified preceding" ("MP") or "unadjusted" ("U")."""
    if isinstance(value, BusinessDayConvention):
        return value
    if not isinstance(value, str):
        raise TypeError(f"a business-day convention is a name such as 'following', "
                        f"got {type(value).__name__} {value!r}")
    found = _CONVENTION_ALIASES.get(_key(value))
    if found is None:
        known = ", ".join(c.value for c in BusinessDayConvention)
        raise ValueError(f"unknown business-day convention {value!r}; known: {known}")
    return found


class Calendar:
    """Business days: a weekmask (Monday first) and holidays, known from ``first`` to ``last``.

    Get one with :func:`calendar`. Every method takes a date or an array of dates and answers
    in kind; a date outside the years the calendar knows raises ``ValueError``.
    """

    __slots__ = ("name", "weekmask", "holidays", "first", "last", "_busdays")

    def __init__(self, name: str, holidays: Any = (), weekmask: str = "1111100",
                 first: Any = None, last: Any = None) -> None:
        if not re.fullmatch(r"[01]{7}", weekmask) or "1" not in weekmask:
            raise ValueError(f"weekmask must be seven 0/1 flags from Monday with at least one 1, got {weekmask!r}")
        days, _ = day_numbers(holidays, "holidays") if len(holidays) else (np.empty(0, np.int64), None)
        self.name = name
        self.weekmask = weekmask
        self.holidays = np.unique(days).view(DATE_DTYPE)
        self.holidays.flags.writeable = False
        self.first = None if first is None else from_day_numbers(*day_numbers(first, "first"))
        self.last = None if last is None else from_day_numbers(*day_numbers(last, "last"))
        self._busdays = np.busdaycalendar(weekmask=weekmask, holidays=self.holidays)

    @property
    def busdaycalendar(self) -> np.busdaycalendar:
        """The NumPy business-day calendar, for ``numpy.busday_offset`` and its kin."""
        return self._busdays

    def __reduce__(self) -> tuple[Any, ...]:
        # np.busdaycalendar does not pickle: rebuild it from the holidays.
        return (Calendar, (self.name, self.holidays, self.weekmask, self.first, self.last))

    def __repr__(self) -> str:
        return f"calendar({self.name!r})"

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Calendar) and self.weekmask == other.weekmask and self.first == other.first
                and self.last == other.last and np.array_equal(self.holidays, other.holidays))

    def __hash__(self) -> int:
        return hash((self.weekmask, self.holidays.size, self.first, self.last))

    # Queries

    def is_business_day(self, dates: Any) -> Any:
        """True where the date is a business day."""
        days, shape = self._days(dates)
        out = np.is_busday(days.view(DATE_DTYPE), busdaycal=self._busdays)
        return bool(out[0]) if shape is None else out.reshape(shape)

    def is_holiday(self, dates: Any) -> Any:
        """True where the date is not a business day (weekends included)."""
        out = self.is_business_day(dates)
        return not out if isinstance(out, bool) else ~out

    def adjust(self, dates: Any, convention: str | BusinessDayConvention = "following") -> Any:
        """Each date rolled onto a business day by ``convention``."""
        days, shape = self._days(dates)
        return from_day_numbers(self.adjust_days(days, business_day_convention(convention)), shape)

    def add_business_days(self, dates: Any, count: Any, convention: str | BusinessDayConvention = "following") -> Any:
        """The ``count``-th business day after each date (before it for a negative count).

        A date that is a holiday counts from where it is: one business day after a Saturday
        is the Monday. A count of 0 rolls the date by ``convention``. ``count`` is an integer
        or an integer array broadcast against the dates.
        """
        days, shape = self._days(dates)
        counts = _counts(count)
        try:
            full = np.broadcast_shapes(shape or (), counts.shape)
        except ValueError:
            raise ValueError(f"business-day counts of shape {counts.shape} do not broadcast against "
                             f"dates of shape {shape}") from None
        d = np.broadcast_to(days.reshape(shape or ()), full).reshape(-1)
        n = np.broadcast_to(counts, full).reshape(-1)
        out = self.add_business_days_days(d, n, business_day_convention(convention))
        return from_day_numbers(out, None if shape is None and counts.ndim == 0 else full)

    def business_days_between(self, start: Any, end: Any) -> Any:
        """Business days from ``start`` (counted) to ``end`` (not counted); negative if ``end`` is earlier."""
        s, s_shape = self._days(start)
        e, e_shape = self._days(end)
        out = np.busday_count(s.view(DATE_DTYPE), e.view(DATE_DTYPE), busdaycal=self._busdays)
        if s_shape is None and e_shape is None:
            return int(out[0])
        return out.reshape(np.broadcast_shapes(s_shape or (), e_shape or ()))

    def end_of_month(self, dates: Any) -> Any:
        """The last business day of each date's month."""
        days, shape = self._days(dates)
        return from_day_numbers(self.end_of_month_days(days), shape)

    def is_end_of_month(self, dates: Any) -> Any:
        """True where no business day follows the date in its month."""
        days, shape = self._days(dates)
        out = self.is_end_of_month_days(days)
        return bool(out[0]) if shape is None else out.reshape(shape)

    def joint(self, *others: Calendar | str) -> Calendar:
        """The calendar whose holidays are those of this one or of any of ``others``."""
        return _joint([self, *(calendar(o) for o in others)])

    # The same on int64 day counts since 1970, for callers that hold them already.

    def adjust_days(self, days: np.ndarray, convention: BusinessDayConvention) -> np.ndarray:
        if convention is BusinessDayConvention.UNADJUSTED:
            return days
        out = np.busday_offset(days.view(DATE_DTYPE), 0, roll=_NUMPY_ROLL[convention], busdaycal=self._busdays)
        return self._check(out.view(np.int64))

    def add_business_days_days(self, days: np.ndarray, counts: Any, convention: BusinessDayConvention) -> np.ndarray:
        dates = days.view(DATE_DTYPE)
        counts = np.asarray(counts, dtype=np.int64)
        if counts.ndim == 0 and counts == 0:
            return self.adjust_days(days, convention)
        # NumPy rolls a holiday first and counts from there: roll it back before counting
        # forward (and ahead before counting back), so a holiday counts from where it is.
        out = np.empty(days.shape, dtype=np.int64)
        forward = np.broadcast_to(counts > 0, days.shape)
        back = np.broadcast_to(counts < 0, days.shape)
        n = np.broadcast_to(counts, days.shape)
        if np.any(forward):
            out[forward] = np.busday_offset(dates[forward], n[forward], roll="preceding",
                                            busdaycal=self._busdays).view(np.int64)
        if np.any(back):
            out[back] = np.busday_offset(dates[back], n[back], roll="following", busdaycal=self._busdays).view(np.int64)
        zero = ~(forward | back)
        if np.any(zero):
            out[zero] = self.adjust_days(days[zero], convention)
        return self._check(out)

    def end_of_month_days(self, days: np.ndarray) -> np.ndarray:
        out = np.busday_offset(month_ends(days).view(DATE_DTYPE), 0, roll="preceding", busdaycal=self._busdays)
        return self._check(out.view(np.int64))

    def is_end_of_month_days(self, days: np.ndarray) -> np.ndarray:
        following = self.adjust_days(days + 1, BusinessDayConvention.FOLLOWING)
        return months_of(following) != months_of(days)

    def check_days(self, days: np.ndarray, what: str = "date") -> np.ndarray:
        """``days`` if the calendar knows all of them, else ``ValueError`` naming the first it does not."""
        return self._check(days, what)

    def _days(self, dates: Any) -> tuple[np.ndarray, tuple[int, ...] | None]:
        days, shape = day_numbers(dates)
        return self._check(days), shape

    def _check(self, days: np.ndarray, what: str = "date") -> np.ndarray:
        if self.first is None or self.last is None or days.size == 0:
            return days
        first, last = int(self.first.view(np.int64)), int(self.last.view(np.int64))
        outside = (days < first) | (days > last)
        if np.any(outside):
            day = int(days[np.flatnonzero(outside)[0]])
            raise ValueError(f"{what} {format_day(day)} is outside calendar {self.name}, which knows "
                             f"{self.first} to {self.last}")
        return days


def _counts(count: Any) -> np.ndarray:
    counts = np.asarray(count)
    if counts.dtype.kind not in "iu" or counts.dtype == np.bool_:
        raise TypeError(f"a business-day count must be an integer or an integer array, got {count!r}")
    return counts.astype(np.int64)


def _named(source: str, name: str) -> Calendar:
    # The holidays package is imported on first use, not with kestro.
    from kestro.conventions import holiday_sources

    listed: holiday_sources.HolidayList = getattr(holiday_sources, source)()
    return Calendar(name, listed.days.view(DATE_DTYPE), first=f"{listed.first_year:04d}-01-01",
                    last=f"{listed.last_year:04d}-12-31")


_SOURCES: dict[str, Callable[[], Calendar]] = {
    "WEEKENDS": lambda: Calendar("WEEKENDS"),
    "TARGET": lambda: _named("target", "TARGET"),
    "US-GOVT": lambda: _named("us_government_bond", "US-GOVT"),
    "US-SOFR": lambda: _named("us_sofr", "US-SOFR"),
    "UK": lambda: _named("uk_settlement", "UK"),
    "NONE": lambda: Calendar("NONE", weekmask="1111111"),
}

CALENDARS: tuple[str, ...] = tuple(_SOURCES)
"""The named calendars; :func:`calendar` also takes aliases and joins names with ``+``."""

_CALENDAR_ALIASES = {
    "WEEKENDS": "WEEKENDS", "WEEKENDSONLY": "WEEKENDS",
    "TARGET": "TARGET", "TARGET2": "TARGET", "EUR": "TARGET", "XECB": "TARGET",
    "USGOVT": "US-GOVT", "USGOVERNMENTBOND": "US-GOVT", "UNITEDSTATESGOVERNMENTBOND": "US-GOVT",
    "SIFMA": "US-GOVT", "XSIF": "US-GOVT", "USGS": "US-GOVT", "USBOND": "US-GOVT",
    "USSOFR": "US-SOFR", "SOFR": "US-SOFR", "UNITEDSTATESSOFR": "US-SOFR",
    "UK": "UK", "GB": "UK", "UNITEDKINGDOM": "UK", "UNITEDKINGDOMSETTLEMENT": "UK", "UKSETTLEMENT": "UK",
    "GBENG": "UK", "LONDON": "UK",
    "NONE": "NONE", "NULL": "NONE", "NULLCALENDAR": "NONE", "NOHOLIDAYS": "NONE",
}


@functools.cache
def _calendar(name: str) -> Calendar:
    return _SOURCES[name]()


def _joint(parts: Iterable[Calendar]) -> Calendar:
    unique: dict[str, Calendar] = {}
    for part in parts:
        unique.setdefault(part.name, part)
    members = list(unique.values())
    if len(members) == 1:
        return members[0]
    weekmask = "".join("1" if all(c.weekmask[i] == "1" for c in members) else "0" for i in range(7))
    if "1" not in weekmask:
        raise ValueError(f"calendars {' and '.join(c.name for c in members)} share no business weekday")
    firsts = [c.first for c in members if c.first is not None]
    lasts = [c.last for c in members if c.last is not None]
    holidays = functools.reduce(np.union1d, (c.holidays for c in members))
    return Calendar("+".join(c.name for c in members), holidays, weekmask,
                    max(firsts) if firsts else None, min(lasts) if lasts else None)


def calendar(value: str | Calendar | Iterable[str | Calendar]) -> Calendar:
    """The calendar named ``value`` (see the table above), case-insensitive.

    ``"TARGET+UK"`` or a list of names and calendars gives their joint calendar; a
    :class:`Calendar` is returned as it is. Raises ``ValueError`` for an unknown name, with
    the known ones, and ``TypeError`` for anything else.
    """
    if isinstance(value, Calendar):
        return value
    if isinstance(value, str):
        names = value.split("+")
        if len(names) > 1:
            return _joint(calendar(n) for n in names)
        canonical = _CALENDAR_ALIASES.get(_key(value))
        if canonical is None:
            raise ValueError(f"unknown calendar {value!r}; known: {', '.join(CALENDARS)} "
                             "(join them with '+', e.g. 'TARGET+UK')")
        return _calendar(canonical)
    if isinstance(value, Iterable):
        parts = [calendar(v) for v in value]
        if not parts:
            raise ValueError("a joint calendar needs at least one calendar")
        return _joint(parts)
    raise TypeError(f"a calendar is a name such as 'TARGET' or a Calendar, got {type(value).__name__} {value!r}")
