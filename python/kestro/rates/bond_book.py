"""Many fixed-rate bonds at once: schedules, cashflows and timetables built as arrays, priced together.

:func:`fixed_rate_bonds` builds the bonds :func:`kestro.fixed_rate_bond` would build one by one
(the same schedules, coupons and payments, on shared conventions) with one call of
:func:`kestro.schedules` and NumPy over all of them, and keeps every bond's timetable rows in
one Arrow record batch, bond after bond. A :class:`BondBook` gives each bond as a
:class:`kestro.Contract` (a zero-copy slice of that batch, with its legs), and prices them all:

- :meth:`BondBook.prices`: each bond's value at the market's pricing time in one vectorised
  pass, the discounted sum of its payments with the curve read as the engine reads it (the
  same number as ``kestro.price(book.contract(i), market, "fixed")``, to rounding);
- :meth:`BondBook.engine_prices`: the engine's ``fixed_price`` on each bond's timetable.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import _kestro
import numpy as np
import pyarrow as pa

from kestro.clock import DAY_MS, YEAR_MS, format_ms
from kestro.conventions import DayCount, Schedules, business_day_convention, calendar as _calendar
from kestro.conventions import day_count as _day_count, schedules as _schedules
from kestro.curves import Curve
from kestro.rates.dated import coupon_period, redemption_leg
from kestro.rates.legs import Leg, Legs, events
from kestro.market import Market

if TYPE_CHECKING:
    from kestro.templates import Contract

__all__ = ["BondBook", "fixed_rate_bonds"]


@dataclass(frozen=True, eq=False)
class BondBook:
    """Fixed-rate bonds built together: their schedules, payments and timetable rows.

    - ``schedules``: the :class:`kestro.Schedules` of the coupons, bond after bond.
    - ``offsets``: bond i's rows are ``offsets[i]:offsets[i + 1]`` of the per-row arrays
      (its coupons in date order, then its redemption).
    - ``payment_days`` (day numbers since 1970) and ``amounts``: every payment.
    - ``coupons``, ``notionals``: per bond; ``day_count``, ``currency``, ``track``, ``settlement_days``.
    - ``events``: every bond's timetable rows, bond after bond (a slice per bond is its timetable).
    """

    schedules: Schedules
    offsets: np.ndarray
    payment_days: np.ndarray
    amounts: np.ndarray
    coupons: np.ndarray
    notionals: np.ndarray
    day_count: DayCount
    currency: str
    track: str
    settlement_days: int
    events: pa.RecordBatch

    def __len__(self) -> int:
        return int(self.offsets.size - 1)

    def __repr__(self) -> str:
        return f"BondBook({len(self)} fixed-rate bonds, {self.payment_days.size} payments, {self.schedules!r})"

    def _index(self, i: Any) -> int:
        count = len(self)
        if isinstance(i, bool) or not isinstance(i, (int, np.integer)):
            raise TypeError(f"bonds are indexed by an integer, got {i!r}")
        if not -count <= i < count:
            raise IndexError(f"bond {i} of {count}")
        return int(i) % count

    def contract(self, i: int) -> Contract:
        """Bond ``i`` as :func:`kestro.fixed_rate_bond` builds it: its timetable and legs."""
        from kestro.templates import Contract

        i = self._index(i)
        schedule = self.schedules[i]
        lo, hi = int(self.offsets[i]), int(self.offsets[i + 1])
        notional = float(self.notionals[i])
        fractions = schedule.year_fractions(self.day_count)
        coupons = Leg("fixed", self.currency, notional, 1.0, schedule.accrual_starts, schedule.accrual_ends,
                      schedule.payment_dates, schedule.fixing_dates, fractions,
                      np.full(fractions.size, self.coupons[i]), day_count=self.day_count, schedule=schedule)
        last = schedule.payment_dates[-1]
        redemption = redemption_leg(last, notional, self.currency, 1.0)
        legs = Legs("fixed_rate_bond", (coupons, redemption), schedule.calendar, self.settlement_days,
                    schedule.frequency)
        description = (f"{self.coupons[i]:.4%} bond paying every {schedule.frequency} ({self.day_count.name}, "
                       f"calendar {schedule.calendar.name}), {notional:g} {self.currency} repaid on {last}")
        return Contract(self.events.slice(lo, hi - lo), {}, (self.track,), description, (), legs=legs)

    def prices(self, market: Market) -> np.ndarray:
        """Every bond's value at the market's pricing time: its payments at or after it, discounted.

        One pass over all payments: the curve is read at every payment time as the engine reads
        it (midnight UTC of the date, 365-day years from the pricing time), and the discounted
        payments are summed per bond.
        """
        if not isinstance(market, Market) or market.discount is None:
            raise TypeError("prices need a kestro.Market with a discount curve")
        ms = self.payment_days * DAY_MS
        paid = ms >= market.pricing_time
        curve = Curve.from_entry(market.discount)
        years = (ms[paid] - market.pricing_time) / YEAR_MS
        try:
            discount = np.asarray(curve.discount_factor(years))
        except ValueError:
            raise ValueError(f"the discount curve ends {float(curve.times[-1]):g} years after the pricing time "
                             f"{format_ms(market.pricing_time)}, before the last payment "
                             f"({np.int64(self.payment_days.max()).view('datetime64[D]')}): extend it") from None
        values = np.zeros(self.amounts.size)
        values[paid] = self.amounts[paid] * discount
        return np.add.reduceat(values, self.offsets[:-1])

    def engine_prices(self, market: Market) -> np.ndarray:
        """Every bond's price from the engine's ``fixed_price`` on its own timetable, one call a bond."""
        if not isinstance(market, Market):
            raise TypeError(f"market must be a kestro.Market, got {type(market).__name__}")
        first = int(self.payment_days.min()) * DAY_MS
        if first < market.pricing_time:
            raise ValueError(f"a bond pays on {format_ms(first)[:10]}, before the market's pricing time "
                             f"{format_ms(market.pricing_time)}: price the book with prices(), which leaves past "
                             "payments out")
        dataset = market.dataset("fixed")
        fixed_price, batch, offsets = _kestro.fixed_price, self.events, self.offsets.tolist()
        return np.array([fixed_price(batch.slice(lo, hi - lo), None, dataset, {})
                         for lo, hi in zip(offsets[:-1], offsets[1:])])


def fixed_rate_bonds(
    coupons: Any,
    starts: Any,
    maturities: Any,
    *,
    frequency: Any = "6M",
    notional: Any = 100.0,
    currency: str = "USD",
    calendar: Any = None,
    day_count: Any = None,
    convention: Any = None,
    termination_convention: Any = None,
    rule: str = "backward",
    end_of_month: bool = False,
    payment_lag: int = 0,
    settlement_days: int = 0,
    track: str = "bond",
) -> BondBook:
    """Fixed-rate bonds with per-bond coupons, starts, maturities and notionals on shared conventions.

    ``coupons`` and ``notional`` are numbers or arrays, ``starts`` dates or an array of dates,
    ``maturities`` dates or one tenor (``"10Y"``), all broadcast together. The conventions and
    their defaults are :func:`kestro.fixed_rate_bond`'s on dates: ``frequency`` ``"6M"``
    here, ``calendar`` ``"NONE"``, ``convention`` ``"following"``, ``day_count`` ``"30/360"``.
    Each bond equals ``kestro.fixed_rate_bond(coupon, maturity=..., start=..., ...)`` with the
    same arguments, payment for payment.
    """
    period = coupon_period(frequency, "frequency")
    cal = _calendar("NONE" if calendar is None else calendar)
    conv = business_day_convention("following" if convention is None else convention)
    dc = _day_count("30/360" if day_count is None else day_count)
    built = _schedules(starts, maturities, period, calendar=cal, convention=conv,
                       termination_convention=termination_convention, rule=rule, end_of_month=end_of_month,
                       payment_lag=payment_lag)
    count = len(built)
    rates = _per_bond("coupons", coupons, count)
    notionals = _per_bond("notional", notional, count)
    if not isinstance(settlement_days, int) or isinstance(settlement_days, bool) or settlement_days < 0:
        raise ValueError(f"settlement_days must be a whole number of business days, got {settlement_days!r}")

    period_offsets = built.period_offsets
    periods = np.diff(period_offsets)
    bond_of_period = np.repeat(np.arange(count), periods)
    offsets = period_offsets + np.arange(count + 1)  # one redemption row after each bond's coupons
    rows = int(offsets[-1])
    coupon_rows = np.arange(period_offsets[-1]) + bond_of_period
    redemption_rows = offsets[1:] - 1

    payment_days = np.empty(rows, dtype=np.int64)
    amounts = np.empty(rows, dtype=np.float64)
    pay = built.payment_dates.view(np.int64)
    payment_days[coupon_rows] = pay
    amounts[coupon_rows] = notionals[bond_of_period] * rates[bond_of_period] * built.year_fractions(dc)
    payment_days[redemption_rows] = pay[period_offsets[1:] - 1]
    amounts[redemption_rows] = notionals
    payment_days.flags.writeable = amounts.flags.writeable = offsets.flags.writeable = False
    batch = events(payment_days * DAY_MS, amounts, track, currency)
    return BondBook(built, offsets, payment_days, amounts, rates, notionals, dc, currency, track, settlement_days,
                    batch)


def _per_bond(name: str, value: Any, count: int) -> np.ndarray:
    array = np.asarray(value, dtype=np.float64)
    if array.ndim > 1 or (array.ndim == 1 and array.size not in (1, count)):
        raise ValueError(f"{name} must be one number or one per bond ({count}), got shape {array.shape}")
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} must be finite numbers")
    out = np.ascontiguousarray(np.broadcast_to(array.reshape(-1) if array.ndim else array, (count,)))
    out.flags.writeable = False
    return out
