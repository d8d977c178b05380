"""Bonds, floating legs and swaps on dates: schedules of business days, day counts, fixings.

The templates of :mod:`kestro.templates` take this road when the maturity is a date (a time at
midnight UTC) or a tenor (``"10Y"``), or when any conventions argument is given. The schedule
comes from :func:`kestro.conventions.schedule` (QuantLib's dates for the same inputs); coupons
accrue by the day count between its adjusted accrual dates and are paid at midnight UTC of
their payment dates, as QuantLib's ``FixedRateBond`` and ``VanillaSwap`` do.

Defaults, when an argument is not given:

- ``calendar``: ``"NONE"``, every day a business day, so no date moves; name one
  (``"TARGET"``, ``"US-GOVT"``, ...) to roll dates off weekends and holidays.
- ``convention``: ``"following"`` for bonds, ``"modified following"`` for floating legs and
  swaps; ``termination_convention``: ``convention``.
- ``rule``: ``"backward"`` (a stub comes first); ``end_of_month``: False; no stub dates.
- ``day_count``: ``"30/360"`` for bonds and fixed legs, ``"ACT/360"`` for floating legs.
- ``payment_lag``, ``fixing_lag``, ``settlement_days``: 0 business days.
- ``start``: the template's start (2026-01-01 by default), which must be a date.
"""

from __future__ import annotations

import numbers
import re
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestro.clock import DAY_MS, check_date, format_ms
from kestro.conventions import (
    BusinessDayConvention, Calendar, Schedule, Tenor, business_day_convention, calendar as _calendar, day_count as
    _day_count, frequency as _frequency, schedule as _schedule, tenor as _tenor,
)
from kestro.conventions.dates import DATE_DTYPE, format_day
from kestro.rates.legs import Leg, Legs
from kestro.rates.projection import projection as _projection

__all__ = ["CONVENTION_ARGUMENTS", "DateTerms", "fixed_rate_bond", "floating_rate_leg", "interest_rate_swap",
           "on_dates", "zero_coupon_bond"]

CONVENTION_ARGUMENTS: tuple[str, ...] = (
    "calendar", "day_count", "fixed_day_count", "floating_day_count", "convention", "termination_convention", "rule",
    "end_of_month", "first_date", "next_to_last_date", "payment_lag", "fixing_lag", "settlement_days", "projection",
    "fixings", "pricing_time",
)
"""Keyword arguments of the templates that put them on dates."""


_TENOR_FORM = re.compile(r"\s*[+-]?\d+\s*[A-Za-z]+\s*")  # "10Y", and "3X" to refuse as a tenor; never a date


def is_tenor_text(value: Any) -> bool:
    """True for text written as a tenor ("10Y"), valid or not: it is read as one (and refused
    with what is wrong) rather than as a date."""
    return isinstance(value, str) and _TENOR_FORM.fullmatch(value) is not None


def _is_date(value: Any) -> bool:
    """True for a maturity that names a day: a tenor, or any time at midnight UTC."""
    if isinstance(value, Tenor) or is_tenor_text(value):
        return True
    try:
        return check_date(value, "maturity") % DAY_MS == 0
    except (TypeError, ValueError):
        return False


def on_dates(years: Any, maturity: Any, frequencies: tuple[Any, ...], given: dict[str, Any]) -> bool:
    """Whether a template call takes the road on dates.

    It does for a tenor in ``years`` or ``maturity``, a maturity at midnight UTC, a frequency
    given as a tenor, or any conventions argument. ``years`` as a number counts 365-day years,
    which dates and conventions do not mix with: refused with what to write instead.
    """
    named = [name for name, value in given.items() if value is not None]
    tenor_frequency = any(isinstance(f, (str, Tenor)) for f in frequencies)
    if isinstance(years, (str, Tenor)):
        return True
    if years is not None:
        if named or tenor_frequency:
            what = named[0] if named else "a frequency tenor"
            raise ValueError(f"years={years!r} counts 365-day years, which {what} does not apply to: give the "
                             f"maturity as a tenor or a date instead, e.g. maturity='{_years_hint(years)}' or "
                             "maturity='2036-01-15'")
        return False
    return bool(named) or tenor_frequency or (maturity is not None and _is_date(maturity))


def _years_hint(years: Any) -> str:
    if isinstance(years, (int, float)) and float(years).is_integer():
        return f"{int(years)}Y"
    return "10Y"


# Arguments


def _day(value: Any, name: str) -> int:
    ms = check_date(value, name)
    if ms % DAY_MS:
        raise ValueError(f"{name} {format_ms(ms)} has a time of day; contracts on dates run from dates: pass "
                         f"{name}='{format_ms(ms - ms % DAY_MS)[:10]}'")
    return ms // DAY_MS


def coupon_period(value: Any, name: str) -> Tenor:
    """A coupon period: a tenor or frequency name, or a whole number of payments a year dividing 12."""
    if isinstance(value, (str, Tenor)):
        period = _frequency(value)
        if period.length == 0:
            raise ValueError(f"{name} {value!r} is a single period; coupons need a period such as '6M'")
        return period
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1 or 12 % int(value):
        raise ValueError(f"{name} must be a tenor such as '6M' or a number of payments a year that divides 12 "
                         f"(1, 2, 3, 4, 6, 12), got {value!r}")
    return Tenor(12 // int(value), "M")


def _count(value: Any, name: str) -> int:
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number of business days, got {value!r}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return int(value)


@dataclass(frozen=True)
class DateTerms:
    """The dates a dated template runs on: start and end, calendar and rolls, rule and stubs."""

    start: int                                    # days since 1970
    end: Any                                      # days since 1970, or a Tenor after start
    calendar: Calendar
    convention: BusinessDayConvention
    termination_convention: BusinessDayConvention | None
    rule: str
    end_of_month: bool
    first_date: Any
    next_to_last_date: Any
    payment_lag: int
    settlement_days: int

    @classmethod
    def read(cls, years: Any, maturity: Any, start: Any, *, calendar: Any, convention: Any, default_convention: str,
             termination_convention: Any, rule: Any, end_of_month: Any, first_date: Any, next_to_last_date: Any,
             payment_lag: Any, settlement_days: Any) -> DateTerms:
        if (years is None) == (maturity is None):
            raise TypeError(f"give either a tenor (years='10Y') or maturity= (a date or a tenor), not "
                            f"{'both' if years is not None else 'neither'}")
        end = years if years is not None else maturity
        first = _day(start, "start")
        if isinstance(end, Tenor) or is_tenor_text(end):
            end = _tenor(end)
            if end.length == 0:
                raise ValueError(f"maturity {str(end)!r} is no time after start")
        else:
            end = _day(end, "maturity")
            if end <= first:
                raise ValueError(f"maturity {format_day(end)} is not after start {format_day(first)}")
        return cls(first, end, _calendar("NONE" if calendar is None else calendar),
                   business_day_convention(default_convention if convention is None else convention),
                   None if termination_convention is None else business_day_convention(termination_convention),
                   "backward" if rule is None else rule, False if end_of_month is None else end_of_month,
                   first_date, next_to_last_date, _count(payment_lag, "payment_lag"),
                   _count(settlement_days, "settlement_days"))

    def schedule(self, period: Tenor | str, fixing_lag: int = 0) -> Schedule:
        start = np.int64(self.start).view("datetime64[D]")
        end = self.end if isinstance(self.end, Tenor) else np.int64(self.end).view("datetime64[D]")
        return _schedule(start, end, period, calendar=self.calendar, convention=self.convention,
                         termination_convention=self.termination_convention, rule=self.rule,
                         end_of_month=self.end_of_month, first_date=self.first_date,
                         next_to_last_date=self.next_to_last_date, payment_lag=self.payment_lag,
                         fixing_lag=fixing_lag)

    def legs(self, product: str, legs: list[Leg], frequency: Tenor | None, pricing_time: int | None = None) -> Legs:
        return Legs(product, tuple(legs), self.calendar, self.settlement_days, frequency, pricing_time)


# Legs


def _days(dates: np.ndarray) -> np.ndarray:
    return dates.view(np.int64)


def _ahead(schedule: Schedule, pricing_time: int | None) -> np.ndarray:
    """The periods paid at or after the pricing time (all of them when there is none)."""
    if pricing_time is None:
        return np.ones(schedule.periods, dtype=bool)
    ahead = _days(schedule.payment_dates) * DAY_MS >= pricing_time
    if not np.any(ahead):
        raise ValueError(f"every payment, the last on {schedule.payment_dates[-1]}, falls before the pricing time "
                         f"{format_ms(pricing_time)}")
    return ahead


def fixed_leg(schedule: Schedule, rate: float, day_count: Any, notional: float, currency: str, sign: float,
              pricing_time: int | None = None) -> Leg:
    """Coupons at ``rate`` on the schedule's accrual periods by ``day_count``; with a pricing
    time, those paid at or after it."""
    dc = _day_count(day_count)
    keep = _ahead(schedule, pricing_time)
    fractions = schedule.year_fractions(dc)[keep]
    return Leg("fixed", currency, notional, sign, schedule.accrual_starts[keep], schedule.accrual_ends[keep],
               schedule.payment_dates[keep], schedule.fixing_dates[keep], fractions, np.full(fractions.size, rate),
               day_count=dc, schedule=schedule)


def redemption_leg(date: np.datetime64, notional: float, currency: str, sign: float) -> Leg:
    """The notional paid on ``date``."""
    dates = np.array([date], dtype=DATE_DTYPE)
    return Leg("redemption", currency, notional, sign, dates, dates, dates, dates, np.zeros(1), np.full(1, np.nan))


def floating_leg(schedule: Schedule, spread: float, day_count: Any, notional: float, currency: str, sign: float,
                 projection: Any, fixings: Any, pricing_time: Any) -> tuple[Leg, int | None]:
    """Coupons at the index rate plus ``spread``: projected (with fixings) or replicated.

    A projected leg starts at the projection's pricing time: the periods paid before it are
    left out (they need no fixing). Returns the leg and that time (None when replicated).
    """
    dc = _day_count(day_count)
    fractions = schedule.year_fractions(dc)
    keep = np.ones(schedule.periods, dtype=bool)
    if projection is None:
        if fixings is not None or pricing_time is not None:
            given = "fixings" if fixings is not None else "pricing_time"
            raise ValueError(f"{given}= needs projection= (the index curve, or a Market): without one the leg "
                             "is replicated by notional exchanges and reads no rate")
        if not np.array_equal(schedule.payment_dates, schedule.accrual_ends):
            i = int(np.flatnonzero(schedule.payment_dates != schedule.accrual_ends)[0])
            raise ValueError(f"the floating coupon accruing to {schedule.accrual_ends[i]} is paid on "
                             f"{schedule.payment_dates[i]}: a coupon paid after its period ends has no replication "
                             "by notional exchanges; pass projection= (the index curve, or the Market)")
        rates, fixed, origin = np.full(fractions.size, np.nan), None, None
    else:
        source = _projection(projection, pricing_time, fixings)
        origin = source.pricing_time
        keep = _ahead(schedule, origin)
        fractions = fractions[keep]
        rates, fixed = source.rates(_days(schedule.accrual_starts)[keep], _days(schedule.accrual_ends)[keep],
                                    _days(schedule.fixing_dates)[keep], fractions)
    leg = Leg("floating", currency, notional, sign, schedule.accrual_starts[keep], schedule.accrual_ends[keep],
              schedule.payment_dates[keep], schedule.fixing_dates[keep], fractions, rates, spread, fixed, dc, schedule)
    return leg, origin


# Products


def _terms(years: Any, maturity: Any, start: Any, conventions: dict[str, Any], default_convention: str) -> DateTerms:
    return DateTerms.read(
        years, maturity, start, calendar=conventions.get("calendar"), convention=conventions.get("convention"),
        default_convention=default_convention, termination_convention=conventions.get("termination_convention"),
        rule=conventions.get("rule"), end_of_month=conventions.get("end_of_month"),
        first_date=conventions.get("first_date"), next_to_last_date=conventions.get("next_to_last_date"),
        payment_lag=conventions.get("payment_lag"), settlement_days=conventions.get("settlement_days"))


def zero_coupon_bond(years: Any, maturity: Any, start: Any, notional: float, currency: str,
                     conventions: dict[str, Any]) -> tuple[Legs, str]:
    """The notional paid on the maturity date rolled by the convention (and the payment lag)."""
    terms = _terms(years, maturity, start, conventions, "following")
    once = terms.schedule("ONCE")
    legs = terms.legs("zero_coupon_bond", [redemption_leg(once.payment_dates[-1], notional, currency, 1.0)],
                      Tenor(1, "Y"))
    return legs, f"zero-coupon bond paying {notional:g} {currency} on {once.payment_dates[-1]}"


def fixed_rate_bond(coupon: float, years: Any, maturity: Any, start: Any, frequency: Any, notional: float,
                    currency: str, conventions: dict[str, Any]) -> tuple[Legs, str]:
    """Coupons at ``coupon`` on the schedule by the day count, and the notional with the last one."""
    terms = _terms(years, maturity, start, conventions, "following")
    period = coupon_period(frequency, "frequency")
    schedule = terms.schedule(period)
    day_count = conventions.get("day_count") or "30/360"
    coupons = fixed_leg(schedule, coupon, day_count, notional, currency, 1.0)
    redemption = redemption_leg(schedule.payment_dates[-1], notional, currency, 1.0)
    legs = terms.legs("fixed_rate_bond", [coupons, redemption], period)
    return legs, (f"{coupon:.4%} bond paying every {period} ({_day_count(day_count).name}, calendar "
                  f"{terms.calendar.name}), {notional:g} {currency} repaid on {schedule.payment_dates[-1]}")


def floating_rate_leg(years: Any, maturity: Any, start: Any, frequency: Any, spread: float, notional: float,
                      currency: str, conventions: dict[str, Any]) -> tuple[Legs, str]:
    """Coupons at the index rate plus ``spread`` on the schedule, no notional exchange."""
    terms = _terms(years, maturity, start, conventions, "modified following")
    period = coupon_period(frequency, "frequency")
    schedule = terms.schedule(period, _count(conventions.get("fixing_lag"), "fixing_lag"))
    leg_day_count = conventions.get("day_count") or "ACT/360"
    leg, origin = floating_leg(schedule, spread, leg_day_count, notional, currency, 1.0, conventions.get("projection"),
                               conventions.get("fixings"), conventions.get("pricing_time"))
    how = "replicated on the discount curve" if origin is None else "projected"
    legs = terms.legs("floating_rate_leg", [leg], period, origin)
    return legs, (f"floating leg on {notional:g} {currency} every {period} ({_day_count(leg_day_count).name}, "
                  f"{how}), spread {spread:.4%}, to {schedule.payment_dates[-1]}")


def interest_rate_swap(fixed_rate: float, years: Any, maturity: Any, start: Any, payer: bool, fixed_frequency: Any,
                       floating_frequency: Any, spread: float, notional: float, currency: str,
                       conventions: dict[str, Any]) -> tuple[Legs, str]:
    """A fixed leg against a floating leg on the same dates, each on its own period and day count."""
    terms = _terms(years, maturity, start, conventions, "modified following")
    fixed_period = coupon_period(fixed_frequency, "fixed_frequency")
    floating_period = coupon_period(floating_frequency, "floating_frequency")
    sign = 1.0 if payer else -1.0
    floating_schedule = terms.schedule(floating_period, _count(conventions.get("fixing_lag"), "fixing_lag"))
    floating, origin = floating_leg(floating_schedule, spread, conventions.get("floating_day_count") or "ACT/360",
                                    notional, currency, sign, conventions.get("projection"),
                                    conventions.get("fixings"), conventions.get("pricing_time"))
    fixed = fixed_leg(terms.schedule(fixed_period), fixed_rate, conventions.get("fixed_day_count") or "30/360",
                      notional, currency, -sign, origin)
    legs = terms.legs("interest_rate_swap", [fixed, floating], fixed_period, origin)
    side = "pay" if payer else "receive"
    return legs, (f"swap on {notional:g} {currency}: {side} {fixed_rate:.4%} fixed every {fixed_period} against "
                  f"floating every {floating_period}, to {floating_schedule.payment_dates[-1]}")
