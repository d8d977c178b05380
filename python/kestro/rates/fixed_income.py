"""Bond and swap analytics on the cashflows a dated contract carries.

Contracts built on dates (:func:`kestro.fixed_rate_bond`, :func:`kestro.zero_coupon_bond`,
:func:`kestro.floating_rate_leg`, :func:`kestro.interest_rate_swap` with a date or tenor
maturity or conventions arguments) carry their :class:`kestro.Legs`; the functions here read
them and the market's discount curve, as the engine's ``"fixed"`` model reads it (a payment at
midnight UTC of its date, discounted over 365-day years from the pricing time), so
:func:`present_value` equals ``kestro.price(contract, market, "fixed")`` and is computed in one
vectorised pass over the cashflows.

Bonds, quoted per 100 of notional as bond markets and QuantLib quote them:

- :func:`settlement_date`: the trade date plus the bond's ``settlement_days`` business days.
- :func:`accrued_interest`: the coupon accrued from its accrual start to the settlement date.
- :func:`dirty_price` (cashflows paid after settlement, discounted to settlement) and
  :func:`clean_price` (less the accrued interest), from the curve.
- :func:`yield_to_maturity` of a price and :func:`price_from_yield`, with a compounding
  (:mod:`kestro.rates.yields`) and day count, as QuantLib's ``BondFunctions`` compute them.

Swaps: :func:`swap_measures` (value, legs, annuity, par rate, PV01) from one evaluation of the
curve at every date; :func:`par_rate` and :func:`annuity` read it.

A cashflow paid on the settlement date belongs to the seller and is left out of a bond's
price; :func:`present_value` counts every payment at or after the pricing time, as the engine
does.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestro.clock import DAY_MS, YEAR_MS, format_ms
from kestro.conventions import DATE_DTYPE, BusinessDayConvention, day_count as _day_count
from kestro.conventions.dates import day_numbers, format_day
from kestro.curves import Curve
from kestro.rates.legs import Leg, Legs
from kestro.market import Market
from kestro.rates.yields import YieldCashflows, compounding as _compounding

__all__ = [
    "SwapMeasures", "accrued_interest", "annuity", "clean_price", "dirty_price", "par_rate", "present_value",
    "price_from_yield", "settlement_date", "swap_measures", "yield_to_maturity",
]


# What the functions read


def _legs(contract: Any, what: str) -> Legs:
    legs = getattr(contract, "legs", None)
    if not isinstance(legs, Legs):
        raise TypeError(f"{what} needs a contract built on dates, which carries its legs (give the template a "
                        "tenor or date maturity, e.g. maturity='10Y'); this one has none")
    return legs


def _bond(contract: Any) -> Legs:
    legs = _legs(contract, "bond analytics")
    if legs.product not in ("fixed_rate_bond", "zero_coupon_bond") and not all(
            leg.kind in ("fixed", "redemption") for leg in legs):
        raise TypeError(f"bond analytics price fixed-rate and zero-coupon bonds, not a {legs.product}")
    return legs


def _market(market: Any) -> Market:
    if not isinstance(market, Market):
        raise TypeError(f"market must be a kestro.Market, got {type(market).__name__}")
    if market.discount is None:
        raise ValueError("the market has no discount curve")
    return market


def _day(value: Any, what: str) -> int:
    days, shape = day_numbers(value, what)
    if shape is not None:
        raise TypeError(f"{what} is one date, got {value!r}")
    return int(days[0])


def _discount(market: Market, days: np.ndarray) -> np.ndarray:
    """Discount factors at midnight UTC of each day, as the engine reads the curve."""
    years = (days * DAY_MS - market.pricing_time) / YEAR_MS
    assert market.discount is not None
    curve = Curve.from_entry(market.discount)
    try:
        return np.asarray(curve.discount_factor(years), dtype=np.float64)
    except ValueError:
        last = float(curve.times[-1])
        beyond = days[years > last]
        first = int(beyond.min() if beyond.size else days.max())
        raise ValueError(f"the discount curve does not reach {format_day(first)} (it ends {last:g} years after the "
                         f"pricing time {format_ms(market.pricing_time)}): extend it") from None


@dataclass(frozen=True)
class _Flows:
    """A bond's payments in payment order (coupons before the redemption on one date)."""

    payment: np.ndarray        # day numbers
    amount: np.ndarray         # received, in the bond's currency
    accrual_start: np.ndarray  # day numbers (the payment date for a redemption)
    accrual_end: np.ndarray
    rate: np.ndarray           # coupon rate (0 for a redemption)
    is_coupon: np.ndarray
    notional: float

    @classmethod
    def of(cls, legs: Legs) -> _Flows:
        parts = [leg for leg in legs if leg.kind in ("fixed", "redemption")]

        def days(name: str) -> np.ndarray:
            return np.concatenate([getattr(leg, name).view(np.int64) for leg in parts])

        payment = days("payment_dates")
        order = np.argsort(payment, kind="stable")
        coupon = np.concatenate([np.full(leg.periods, leg.kind == "fixed") for leg in parts])
        rate = np.concatenate([np.where(leg.kind == "fixed", leg.rates + leg.spread, 0.0) for leg in parts])
        amount = np.concatenate([leg.sign * leg.amounts for leg in parts])
        notional = next(leg.notional for leg in parts if leg.kind == "redemption")
        return cls(payment[order], amount[order], days("accrual_starts")[order], days("accrual_ends")[order],
                   rate[order], coupon[order], notional)

    def after(self, settlement: int) -> np.ndarray:
        """Which payments the buyer on ``settlement`` receives: those paid after that date."""
        return self.payment > settlement


def _coupon_day_count(legs: Legs) -> Any:
    fixed = [leg for leg in legs if leg.kind == "fixed"]
    return fixed[0].day_count if fixed else _day_count("ACT/365F")


# Bonds


def settlement_date(bond: Any, trade: Any) -> np.datetime64:
    """The date a trade on ``trade`` settles: ``settlement_days`` business days later on the
    bond's calendar. ``trade`` is a date, or a :class:`kestro.Market` (its pricing date)."""
    legs = _legs(bond, "settlement_date")
    day = int(_market(trade).pricing_time // DAY_MS) if isinstance(trade, Market) else _day(trade, "trade date")
    return np.int64(_settled(legs, day)).view(DATE_DTYPE)


def _settled(legs: Legs, trade_day: int) -> int:
    if not legs.settlement_days:
        return trade_day
    days = np.array([trade_day], dtype=np.int64)
    return int(legs.calendar.add_business_days_days(days, legs.settlement_days, BusinessDayConvention.FOLLOWING)[0])


def _settlement(legs: Legs, settlement: Any, market: Market | None) -> int:
    """The settlement day: given, or the market's pricing date plus the settlement days."""
    if settlement is None:
        if market is None:
            raise TypeError("give the settlement date, or a market to settle from")
        day = _settled(legs, int(market.pricing_time // DAY_MS))
    else:
        day = _day(settlement, "settlement date")
    if market is not None and day < market.pricing_time // DAY_MS:
        raise ValueError(f"settlement date {format_day(day)} is before the pricing date "
                         f"{format_ms(market.pricing_time)[:10]}")
    if day >= int(legs.maturity.view(np.int64)):
        raise ValueError(f"settlement date {format_day(day)} is not before the bond's last payment on {legs.maturity}")
    return day


def _settlement_of(legs: Legs, settlement: Any) -> int:
    """A settlement argument that is a date, or a Market to settle from."""
    if isinstance(settlement, Market):
        return _settlement(legs, None, settlement)
    return _settlement(legs, settlement, None)


def _accrued(legs: Legs, flows: _Flows, day: int) -> float:
    ahead = np.flatnonzero(flows.after(day))
    following = ahead[(flows.payment[ahead] == flows.payment[ahead[0]]) & flows.is_coupon[ahead]]
    day_count = _coupon_day_count(legs)
    total = 0.0
    for i in following:
        start = int(flows.accrual_start[i])
        if day > start:
            end = min(day, int(flows.accrual_end[i]))
            fraction = float(day_count.year_fraction_days(np.array([start]), np.array([end]))[0])
            total += flows.notional * flows.rate[i] * fraction
    return total * 100.0 / flows.notional


def _dirty(flows: _Flows, market: Market, day: int) -> float:
    ahead = flows.after(day)
    discount = _discount(market, np.concatenate([flows.payment[ahead], [day]]))
    return float(np.dot(flows.amount[ahead], discount[:-1])) / discount[-1] * 100.0 / flows.notional


def accrued_interest(bond: Any, settlement: Any) -> float:
    """The interest accrued on ``settlement`` (a date, or a Market to settle from), per 100 of notional.

    The coupon of the next payment after the settlement date accrues from its accrual start
    to the settlement date (to its accrual end at most) by the bond's day count; 0 on an
    accrual start. As QuantLib's ``Bond.accruedAmount``.
    """
    legs = _bond(bond)
    return _accrued(legs, _Flows.of(legs), _settlement_of(legs, settlement))


def dirty_price(bond: Any, market: Market, settlement: Any = None) -> float:
    """The bond's price with accrued interest, per 100 of notional, from the market's curve.

    The payments after the settlement date (default: :func:`settlement_date` from the
    market's pricing date), discounted on the curve to the settlement date. Raises
    ``ValueError`` for a settlement before the pricing date or on or after the last payment.
    """
    legs = _bond(bond)
    market = _market(market)
    return _dirty(_Flows.of(legs), market, _settlement(legs, settlement, market))


def clean_price(bond: Any, market: Market, settlement: Any = None) -> float:
    """:func:`dirty_price` less :func:`accrued_interest`, per 100 of notional."""
    legs = _bond(bond)
    market = _market(market)
    day = _settlement(legs, settlement, market)
    flows = _Flows.of(legs)
    return _dirty(flows, market, day) - _accrued(legs, flows, day)


def _yield_cashflows(bond: Any, settlement: Any, day_count: Any, compounding: str, frequency: Any
                     ) -> tuple[YieldCashflows, float, float]:
    """The bond's payments after settlement ready for yields, the accrued interest and the notional."""
    legs = _bond(bond)
    day = _settlement_of(legs, settlement)
    flows = _Flows.of(legs)
    ahead = flows.after(day)
    dc = _coupon_day_count(legs) if day_count is None else _day_count(day_count)
    cashflows = YieldCashflows.build(day, flows.payment[ahead], flows.amount[ahead], flows.accrual_start[ahead],
                                     flows.is_coupon[ahead], dc, _compounding(compounding), _per_year(legs, frequency))
    return cashflows, _accrued(legs, flows, day), flows.notional


def _per_year(legs: Legs, frequency: Any) -> float:
    """Compounding periods a year: ``frequency`` as given, else the bond's coupon period's."""
    if frequency is not None:
        per_year = float(frequency) if isinstance(frequency, numbers.Real) and not isinstance(frequency, bool) else 0.0
        if not per_year > 0 or not math.isfinite(per_year):
            raise ValueError(f"frequency must be a positive number of compounding periods a year, got {frequency!r}")
        return per_year
    period = legs.frequency
    if period is None:
        return 1.0
    if period.months:
        return 12.0 / period.months
    days = period.days or 0
    if days == 0:
        return 1.0
    return 52.0 / (days // 7) if days % 7 == 0 else 365.0 / days


def yield_to_maturity(bond: Any, price: float, settlement: Any, *, clean: bool = True, day_count: Any = None,
                      compounding: str = "compounded", frequency: float | None = None) -> float:
    """The yield at which the bond's payments after ``settlement`` are worth ``price``.

    ``price`` per 100 of notional, clean (the default) or dirty (``clean=False``);
    ``settlement`` a date or a Market (its settlement date). The yield compounds by
    ``compounding`` (``"compounded"``, ``"simple"`` or ``"continuous"``) ``frequency`` times
    a year (default: the coupon frequency, annual for a zero-coupon bond) over year fractions
    by ``day_count`` (default: the bond's coupon day count, ACT/365F for a zero-coupon bond), as
    QuantLib's ``bond.bondYield``; solved to a relative 1e-15.
    """
    cashflows, accrued, notional = _yield_cashflows(bond, settlement, day_count, compounding, frequency)
    quoted = _price(price)
    return cashflows.solve((quoted + accrued if clean else quoted) * notional / 100.0)


def price_from_yield(bond: Any, yield_rate: float, settlement: Any, *, clean: bool = True, day_count: Any = None,
                     compounding: str = "compounded", frequency: float | None = None) -> float:
    """The bond's price per 100 of notional at ``yield_rate``: clean (default) or dirty.

    The inverse of :func:`yield_to_maturity`, with the same arguments.
    """
    cashflows, accrued, notional = _yield_cashflows(bond, settlement, day_count, compounding, frequency)
    dirty = cashflows.value(_price(yield_rate, "yield_rate", positive=False))[0] * 100.0 / notional
    return dirty - accrued if clean else dirty


def _price(value: Any, name: str = "price", positive: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(float(value)):
        raise TypeError(f"{name} must be a finite number, got {value!r}")
    if positive and value <= 0:
        raise ValueError(f"{name} must be positive (per 100 of notional), got {value!r}")
    return float(value)


# Any dated contract


def _leg_value(leg: Leg, market: Market, per_unit_rate: bool = False) -> float:
    """The leg's value at the pricing time, signed, counting payments at or after it.

    ``per_unit_rate``: a fixed leg's value per unit of its rate (the annuity), unsigned.
    """
    pricing = market.pricing_time
    paid = leg.payment_dates.view(np.int64) * DAY_MS >= pricing
    if leg.replicated:
        starts = leg.accrual_starts.view(np.int64)
        straddle = paid & (starts * DAY_MS < pricing)
        if np.any(straddle):
            i = int(np.flatnonzero(straddle)[0])
            raise ValueError(f"the floating period from {format_day(starts[i])} has started by the pricing time "
                             f"{format_ms(pricing)}: its rate is a fixing; build the leg with projection= and "
                             "fixings=")
        s, e, p = starts[paid], leg.accrual_ends.view(np.int64)[paid], leg.payment_dates.view(np.int64)[paid]
        discount = _discount(market, np.concatenate([s, e, p]))
        n = s.size
        value = leg.notional * (np.sum(discount[:n] - discount[n:2 * n])
                                + leg.spread * float(np.dot(leg.year_fractions[paid], discount[2 * n:])))
        return leg.sign * value
    discount = _discount(market, leg.payment_dates.view(np.int64)[paid])
    if per_unit_rate:
        return leg.notional * float(np.dot(leg.year_fractions[paid], discount))
    return leg.sign * float(np.dot(leg.amounts[paid], discount))


def present_value(contract: Any, market: Market) -> float:
    """The contract's value at the market's pricing time from its legs: every payment at or
    after the pricing time, discounted on the curve; equal to ``kestro.price(contract, market,
    "fixed")`` when no event lies before the pricing time, and defined for a contract that
    has started (its past payments left out)."""
    legs = _legs(contract, "present_value")
    market = _market(market)
    return float(sum(_leg_value(leg, market) for leg in legs))


@dataclass(frozen=True)
class SwapMeasures:
    """A swap's value and the measures read off its legs, at the market's pricing time.

    - ``value``: the swap's value to its holder (payer or receiver of the fixed rate).
    - ``fixed_leg``, ``floating_leg``: each leg's value, signed as the holder sees it.
    - ``annuity``: the fixed leg's value per unit of fixed rate (notional times the
      discounted year fractions); ``pv01`` is one basis point of it.
    - ``par_rate``: the fixed rate at which the swap is worth nothing.
    """

    value: float
    fixed_leg: float
    floating_leg: float
    annuity: float
    par_rate: float

    @property
    def pv01(self) -> float:
        """The fixed leg's change in value for one basis point of fixed rate (unsigned)."""
        return self.annuity * 1e-4


def swap_measures(swap: Any, market: Market) -> SwapMeasures:
    """Value, leg values, annuity and par rate of an interest rate swap built on dates.

    The par rate is the floating leg's value (spread included) over the annuity, the rate
    QuantLib's ``VanillaSwap.fairRate`` gives. Payments before the pricing time are left out.
    """
    legs = _legs(swap, "swap_measures")
    if legs.product != "interest_rate_swap":
        raise TypeError(f"swap_measures needs an interest rate swap, not a {legs.product}")
    market = _market(market)
    fixed, floating = legs["fixed"], legs["floating"]
    fixed_value, floating_value = _leg_value(fixed, market), _leg_value(floating, market)
    level = _leg_value(fixed, market, per_unit_rate=True)
    if level <= 0:
        raise ValueError("the swap has no fixed payment left after the pricing time: no annuity or par rate")
    return SwapMeasures(fixed_value + floating_value, fixed_value, floating_value, level,
                        floating.sign * floating_value / level)


def par_rate(swap: Any, market: Market) -> float:
    """The fixed rate at which the swap is worth nothing (see :func:`swap_measures`)."""
    return swap_measures(swap, market).par_rate


def annuity(swap: Any, market: Market) -> float:
    """The swap's fixed leg value per unit of fixed rate; times 1e-4 its PV01 (see :func:`swap_measures`)."""
    return swap_measures(swap, market).annuity
