"""Where each named calendar's holidays come from: the ``holidays`` package, plus documented rules.

Each source returns the holidays of the years the package covers for it, as sorted day
counts since 1970, and those years. Weekend days are left in: NumPy's business-day
calendars drop holidays that fall on a weekend themselves.

- TARGET: the ECB's TARGET closing days (``XECB``): New Year's Day, Good Friday, Easter
  Monday, 1 May, Christmas Day and 26 December (the last four from 2000), and the closures of
  31 December 1999 and 2001.
- US government bond market: SIFMA's full-close recommendations (``XSIF``), with one rule of
  our own for Good Friday (below).
- US SOFR: the government bond market's business days, less every Good Friday.
- United Kingdom: the bank holidays of England and Wales (``GB``, subdivision ``ENG``), which
  settlement follows, substitute days and one-off holidays (jubilees, royal weddings and
  funerals, the coronation) included.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable, Iterable
from typing import NamedTuple

import holidays
import numpy as np
from dateutil.easter import easter  # type: ignore[import-untyped]

__all__ = ["HolidayList", "target", "uk_settlement", "us_government_bond", "us_sofr"]

_EPOCH_ORDINAL = _dt.date(1970, 1, 1).toordinal()


class HolidayList(NamedTuple):
    days: np.ndarray     # sorted int64 day counts since 1970
    first_year: int      # the first year whose holidays are known
    last_year: int       # ... and the last


def _listed(make: Callable[..., holidays.HolidayBase]) -> HolidayList:
    """Every holiday of the years the package covers for the table ``make(years=...)`` builds."""
    probe = make()
    first, last = int(probe.start_year), int(probe.end_year)
    return HolidayList(_days(make(years=range(first, last + 1)).keys()), first, last)


def _days(dates: Iterable[_dt.date]) -> np.ndarray:
    return np.array(sorted({d.toordinal() - _EPOCH_ORDINAL for d in dates}), dtype=np.int64)


def _good_friday(year: int) -> _dt.date:
    return easter(year) - _dt.timedelta(days=2)


def target() -> HolidayList:
    return _listed(lambda **years: holidays.financial_holidays("XECB", **years))


def uk_settlement() -> HolidayList:
    return _listed(lambda **years: holidays.country_holidays("GB", subdiv="ENG", **years))


def us_government_bond() -> HolidayList:
    """SIFMA's full closes, with Good Friday decided by rule in every year.

    SIFMA recommends a full close on Good Friday except when the Bureau of Labor Statistics
    publishes the employment report that day; then it recommends an early close, and the day
    is a business day. The March report comes out on the third Friday after the week that
    holds March 12th, which is always one of April 1st to 7th. So Good Friday is a holiday
    unless it falls on April 1st to 7th. This gives SIFMA's own record for every year the
    ``holidays`` package lists, and carries it into the years SIFMA has not announced yet
    (the package would otherwise close them all), as QuantLib's calendar does.

    One-off closures are SIFMA's as the package records them. They include 12 September
    2001, when the Treasury market stayed shut after the attacks of the day before; QuantLib's
    calendar opens that day, which is a mistake we do not copy.
    """
    listed = _listed(lambda **years: holidays.financial_holidays("XSIF", **years))
    days = set(listed.days.tolist())
    for year in range(listed.first_year, listed.last_year + 1):
        friday = _good_friday(year)
        day = friday.toordinal() - _EPOCH_ORDINAL
        if friday.month == 4 and friday.day <= 7:
            days.discard(day)
        else:
            days.add(day)
    return HolidayList(np.array(sorted(days), dtype=np.int64), listed.first_year, listed.last_year)


def us_sofr() -> HolidayList:
    """The government bond market's holidays and every Good Friday.

    Good Friday is a SOFR holiday also in the years SIFMA recommends only an early close for it
    (2021, 2023 and 2026, for example), as in QuantLib's SOFR calendar.
    """
    bonds = us_government_bond()
    fridays = [_good_friday(y) for y in range(bonds.first_year, bonds.last_year + 1)]
    days = np.union1d(bonds.days, _days(fridays))
    return HolidayList(days, bonds.first_year, bonds.last_year)
