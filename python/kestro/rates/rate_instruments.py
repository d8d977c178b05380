"""Deposits and par swaps: the quotes a discount curve is bootstrapped from, and what a curve implies for them.

Every instrument starts on the spot date, ``spot_lag`` business days after the pricing date
counted from where it stands (from a Saturday, one business day is the Monday; a lag of 0 rolls
a holiday onto the next business day), as QuantLib's deposit and OIS helpers place it. Its
``SwapRateHelper`` first rolls a pricing date that is a holiday onto the next business day, so
on such dates its swaps start a business day later than these. Each is
laid on the calendar once, for one pricing time (its dates, their engine years and its
accrual fractions), and then answers the quote a discount curve P implies for it:

- :class:`Deposit`: simple interest from the spot date s to e = s + tenor, rolled by the
  business-day convention, ``(P(s) / P(e) - 1) / τ(s, e)`` with τ by the deposit day count.
- :class:`ParSwap`: a fixed leg against a floating leg projected and discounted on the same
  curve (single-curve). The fixed leg pays ``K τ_i`` at each of its payment dates; a floating
  period pays the forward rate over its own accrual period, ``(P(s_j) / P(e_j) - 1) / τ_j``,
  for τ_j of that period, so its day count cancels. The par rate is the floating leg's value
  over the fixed leg's annuity::

      K = Σ_j P(p_j) (P(s_j) / P(e_j) - 1) / Σ_i τ_i P(p_i)

  Without a payment lag the floating leg is P(start) - P(end) whatever its frequency; this is
  also the value of a compounded overnight (SOFR-style OIS) leg on the same curve.

Both legs' dates come from :func:`kestro.schedule` (backward from the maturity, stub first).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Union

import numpy as np

from kestro.clock import DAY_MS
from kestro.conventions.calendars import BusinessDayConvention, Calendar, business_day_convention
from kestro.conventions.calendars import calendar as _calendar
from kestro.conventions.daycounts import DayCount, day_count
from kestro.conventions.dates import DATE_DTYPE
from kestro.conventions.schedules import Schedule, schedule
from kestro.conventions.tenors import Tenor, frequency, shift_days, tenor
from kestro.curves import Curve, year_fraction

__all__ = ["Deposit", "Instrument", "ParSwap", "QuoteConventions", "deposits", "par_swaps", "spot_date"]


@dataclass(frozen=True)
class QuoteConventions:
    """How quotes are laid on the calendar: shared by the deposits and swaps of one curve.

    - ``calendar``: business days of the spot date, maturities and payments.
    - ``spot_lag``: business days from the pricing date to the start of every instrument.
    - ``convention``: the roll of maturities and accrual dates (modified following).
    - ``end_of_month``: an instrument starting on its month's last business day ends on
      (and, for swaps, pays on) month ends; months and years only.
    - ``deposit_day_count``: accrual of deposits (ACT/360).
    - ``fixed_frequency``, ``fixed_day_count``: the swaps' fixed leg (annual 30/360).
    - ``float_frequency``: the swaps' floating periods (3M); it matters only with a payment lag.
    - ``payment_lag``: business days from each swap period's end to its payment (both legs).
    """

    calendar: Calendar
    spot_lag: int
    convention: BusinessDayConvention
    end_of_month: bool
    deposit_day_count: DayCount
    fixed_frequency: Tenor
    fixed_day_count: DayCount
    float_frequency: Tenor
    payment_lag: int

    @classmethod
    def of(cls, *, calendar: Any = "WEEKENDS", spot_lag: int = 2, convention: Any = "modified following",
           end_of_month: bool = False, deposit_day_count: Any = "ACT/360", fixed_frequency: Any = "annual",
           fixed_day_count: Any = "30/360", float_frequency: Any = "3M", payment_lag: int = 0) -> QuoteConventions:
        """Conventions from names, each checked (see the class for their meaning and defaults)."""
        if not isinstance(end_of_month, (bool, np.bool_)):
            raise TypeError(f"end_of_month must be True or False, got {end_of_month!r}")
        fixed, floating = frequency(fixed_frequency), frequency(float_frequency)
        for name, period in (("fixed_frequency", fixed), ("float_frequency", floating)):
            if period.length == 0:
                raise ValueError(f"{name} {period} is no period; a swap leg pays every so often, e.g. '6M' or 'annual'")
        return cls(_calendar(calendar), _lag("spot_lag", spot_lag), business_day_convention(convention),
                   bool(end_of_month), day_count(deposit_day_count), fixed, day_count(fixed_day_count), floating,
                   _lag("payment_lag", payment_lag))


def _lag(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a whole number of business days, got {value!r}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return int(value)


def spot_date(pricing_day: int, conventions: QuoteConventions) -> int:
    """The spot date (a day count since 1970): ``spot_lag`` business days after the pricing date."""
    cal = conventions.calendar
    day = cal.check_days(np.array([pricing_day], dtype=np.int64), "pricing date")
    return int(cal.add_business_days_days(day, conventions.spot_lag, BusinessDayConvention.FOLLOWING)[0])


def _day(day: int) -> np.datetime64:
    return np.int64(day).view(DATE_DTYPE)


@dataclass(frozen=True, eq=False)
class Deposit:
    """A deposit quoted as a simple rate from the spot date to its maturity (see the module)."""

    name: str          # "deposit 3M"
    quote: float       # the simple rate
    start: np.datetime64
    end: np.datetime64
    accrual: float     # the year fraction by the deposit day count
    times: np.ndarray  # engine years of start and end

    @property
    def pillar(self) -> np.datetime64:
        """The last date the deposit depends on: its maturity."""
        return self.end

    def implied_quote(self, curve: Curve) -> float:
        """The simple rate the curve gives from start to end."""
        start, end = np.asarray(curve.discount_factor(self.times))
        return float((start / end - 1.0) / self.accrual)


@dataclass(frozen=True, eq=False)
class ParSwap:
    """A single-curve swap quoted as its par fixed rate (see the module)."""

    name: str                   # "swap 5Y"
    quote: float                # the par rate
    fixed: Schedule
    floating: Schedule
    fixed_accruals: np.ndarray  # τ_i of the fixed periods
    fixed_payments: np.ndarray  # engine years of the fixed payment dates
    float_starts: np.ndarray    # engine years of the floating periods' starts, ends and payments
    float_ends: np.ndarray
    float_payments: np.ndarray

    @property
    def start(self) -> np.datetime64:
        """The spot date the swap starts on."""
        return self.fixed.adjusted_dates[0]

    @property
    def end(self) -> np.datetime64:
        """The adjusted maturity."""
        return self.fixed.adjusted_dates[-1]

    @property
    def pillar(self) -> np.datetime64:
        """The last date the swap depends on: its maturity, or its last payment after a lag."""
        return max(self.fixed.adjusted_dates[-1], self.floating.adjusted_dates[-1], self.fixed.payment_dates[-1],
                   self.floating.payment_dates[-1])

    def implied_quote(self, curve: Curve) -> float:
        """The par rate the curve gives: the floating leg's value over the fixed leg's annuity."""
        annuity = float(np.dot(self.fixed_accruals, curve.discount_factor(self.fixed_payments)))
        starts = curve.discount_factor(self.float_starts)
        ends = curve.discount_factor(self.float_ends)
        paid = curve.discount_factor(self.float_payments)
        return float(np.sum(paid * (starts / ends - 1.0))) / annuity


Instrument = Union[Deposit, ParSwap]
"""A quoted instrument of the bootstrap."""


def _quotes(kind: str, quotes: Any) -> list[tuple[Tenor, float]]:
    if quotes is None:
        return []
    if isinstance(quotes, Mapping):
        pairs: Iterable[Any] = quotes.items()
    elif isinstance(quotes, (str, bytes)) or not isinstance(quotes, Iterable):
        raise TypeError(f"{kind} quotes are a dict {{tenor: rate}} or pairs (tenor, rate), got {quotes!r}")
    else:
        pairs = quotes
    out = []
    for item in pairs:
        try:
            term, rate = item
        except (TypeError, ValueError):
            raise TypeError(f"{kind} quote {item!r} is not a pair (tenor, rate)") from None
        try:
            period = tenor(term)
        except (TypeError, ValueError) as error:
            raise type(error)(f"{kind} quote {term!r}: {error}") from None
        if isinstance(rate, bool) or not isinstance(rate, numbers.Real) or not math.isfinite(rate):
            raise TypeError(f"{kind} {period}: the quote must be a finite number, got {rate!r}")
        if period.length == 0:
            raise ValueError(f"{kind} {period} has no length; a {kind} runs from the spot date for its tenor")
        out.append((period, float(rate)))
    return out


def _years(days: np.ndarray, pricing_time: int) -> np.ndarray:
    times = np.asarray(year_fraction(np.asarray(days, dtype=np.int64) * DAY_MS, pricing_time), dtype=np.float64)
    if np.any(times < 0):
        raise ValueError(f"date {_day(int(np.asarray(days).reshape(-1)[np.argmax(times < 0)]))} lies before the "
                         "pricing time: with a spot lag of 0 the pricing time must be a midnight (UTC) for "
                         "instruments to start on the pricing date")
    return times


def deposits(quotes: Any, spot: int, pricing_time: int, conventions: QuoteConventions) -> list[Deposit]:
    """The deposits of ``quotes`` ({tenor: rate} or pairs) starting at ``spot`` (a day count)."""
    cal, roll = conventions.calendar, conventions.convention
    out = []
    for period, rate in _quotes("deposit", quotes):
        start = np.array([spot], dtype=np.int64)
        end = cal.check_days(shift_days(start, period, 1), f"maturity of deposit {period}")
        if conventions.end_of_month and period.months is not None and cal.is_end_of_month_days(start)[0]:
            end = cal.end_of_month_days(end)
        else:
            end = cal.adjust_days(end, roll)
        if end[0] <= spot:
            raise ValueError(f"deposit {period} ends on its start {_day(spot)} once rolled; give a longer tenor")
        accrual = float(conventions.deposit_day_count.year_fraction_days(start, end)[0])
        if 1.0 + rate * accrual <= 0.0:
            raise ValueError(f"deposit {period} at {rate:g} would repay nothing (1 + rate x {accrual:.6g} <= 0): "
                             "check the quote")
        days = np.array([spot, int(end[0])], dtype=np.int64)
        out.append(Deposit(f"deposit {period}", rate, _day(spot), _day(int(end[0])), accrual,
                           _years(days, pricing_time)))
    return out


def par_swaps(quotes: Any, spot: int, pricing_time: int, conventions: QuoteConventions) -> list[ParSwap]:
    """The par swaps of ``quotes`` ({tenor: rate} or pairs) starting at ``spot`` (a day count)."""
    c = conventions
    out = []
    for period, rate in _quotes("swap", quotes):
        legs = []
        for leg in (c.fixed_frequency, c.float_frequency):
            try:
                legs.append(schedule(_day(spot), period, leg, calendar=c.calendar, convention=c.convention,
                                     end_of_month=c.end_of_month, payment_lag=c.payment_lag))
            except ValueError as error:
                raise ValueError(f"swap {period}: {error}") from None
        fixed, floating = legs
        float_dates = floating.adjusted_dates.view(np.int64)
        out.append(ParSwap(f"swap {period}", rate, fixed, floating, fixed.year_fractions(c.fixed_day_count),
                           _years(fixed.payment_dates.view(np.int64), pricing_time),
                           _years(float_dates[:-1], pricing_time), _years(float_dates[1:], pricing_time),
                           _years(floating.payment_dates.view(np.int64), pricing_time)))
    return out
