"""Market conventions: day counts, business-day calendars and rolls, tenors and schedules.

- :func:`day_count` — ACT/360, ACT/365F, ACT/ACT ISDA, 30/360 (bond basis), 30E/360;
  ``year_fraction(start, end)`` on dates or arrays of dates.
- :func:`calendar` — WEEKENDS, TARGET, US-GOVT, US-SOFR, UK, NONE and joint calendars (``"TARGET+UK"``);
  roll dates with :class:`BusinessDayConvention`, add business days, count them.
- :func:`tenor`, :func:`add_tenor` — "3M", "10Y" and date arithmetic with them.
- :func:`schedule`, :func:`schedules` — accrual, payment and fixing dates, one schedule or many.
- :func:`dates_to_ms`, :func:`engine_years` — dates on the engine's clock.

Dates go in as ``datetime.date``, ``datetime.datetime``, ISO strings, ``numpy.datetime64`` or
pandas Timestamps (and arrays of them) and come out as ``numpy.datetime64`` days.
"""

from kestro.conventions.calendars import (
    CALENDARS, BusinessDayConvention, Calendar, business_day_convention, calendar,
)
from kestro.conventions.dates import DATE_DTYPE, dates_to_ms, engine_years, to_dates
from kestro.conventions.daycounts import DAY_COUNTS, DayCount, day_count
from kestro.conventions.schedules import RULES, Schedule, Schedules, schedule, schedules
from kestro.conventions.tenors import FREQUENCIES, Tenor, add_tenor, frequency, tenor

__all__ = [
    "BusinessDayConvention", "CALENDARS", "Calendar", "DATE_DTYPE", "DAY_COUNTS", "DayCount", "FREQUENCIES",
    "RULES", "Schedule", "Schedules", "Tenor", "add_tenor", "business_day_convention", "calendar", "dates_to_ms",
    "day_count", "engine_years", "frequency", "schedule", "schedules", "tenor", "to_dates",
]
