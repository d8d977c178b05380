"""Floating rates of dated periods: past fixings, and forwards on a projection curve.

A floating period whose fixing date lies before the pricing time has fixed already: its rate
is the fixing given for that date. Every other period's rate is the projection curve's simple
forward rate over the period's accrual dates,

    F = (P(start) / P(end) - 1) / year_fraction,

with P the projection curve's discount factors at midnight UTC of the dates, read as the
engine reads a curve (years of 365 days from the pricing time) and the year fraction by the
leg's day count. This is the forward a single-currency index coupon pays when its fixing
period is its accrual period (QuantLib's par coupons).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any

import numpy as np

from kestro.clock import DAY_MS, YEAR_MS, check_date, format_ms
from kestro.conventions.dates import day_numbers, format_day
from kestro.curves import Curve
from kestro.market import Market, check_rate

__all__ = ["Projection", "projection"]


class Projection:
    """A projection curve with its time origin, and the fixings known before it."""

    __slots__ = ("curve", "pricing_time", "fixings")

    def __init__(self, curve: Curve, pricing_time: int, fixings: dict[int, float]) -> None:
        self.curve = curve
        self.pricing_time = pricing_time
        self.fixings = fixings

    def rates(self, starts: np.ndarray, ends: np.ndarray, fixing_dates: np.ndarray,
              year_fractions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Each period's index rate, and True where it is a past fixing (dates as day numbers)."""
        fixed = fixing_dates * DAY_MS < self.pricing_time
        rates = np.empty(starts.size, dtype=np.float64)
        for i in np.flatnonzero(fixed):
            day = int(fixing_dates[i])
            if day not in self.fixings:
                raise ValueError(f"the floating period from {format_day(starts[i])} to {format_day(ends[i])} fixed on "
                                 f"{format_day(day)}, before the pricing time {format_ms(self.pricing_time)}: give "
                                 f"its rate as fixings={{'{format_day(day)}': rate}}")
            rates[i] = self.fixings[day]
        ahead = ~fixed
        if np.any(ahead):
            s, e = starts[ahead], ends[ahead]
            discount = self._discount(np.concatenate([s, e]))
            p_start, p_end = discount[:s.size], discount[s.size:]
            rates[ahead] = (p_start / p_end - 1.0) / year_fractions[ahead]
        return rates, fixed

    def _discount(self, days: np.ndarray) -> np.ndarray:
        years = (days * DAY_MS - self.pricing_time) / YEAR_MS
        try:
            return np.asarray(self.curve.discount_factor(years))
        except ValueError:
            # Dates at or after the pricing time: only the curve's end can be too short.
            last = float(self.curve.times[-1])
            beyond = days[years > last]
            first = int(beyond.min() if beyond.size else days.max())
            raise ValueError(f"the projection curve does not reach {format_day(first)} (it ends {last:g} "
                             f"years after the pricing time {format_ms(self.pricing_time)}): extend it") from None


def _fixings(values: Any) -> dict[int, float]:
    if values is None:
        return {}
    if not isinstance(values, Mapping):
        raise TypeError(f"fixings must map fixing dates to rates, e.g. {{'2026-03-02': 0.031}}; got "
                        f"{type(values).__name__}")
    out: dict[int, float] = {}
    for date, rate in values.items():
        days, shape = day_numbers(date, "fixing date")
        if shape is not None:
            raise TypeError(f"fixings are keyed by one date each, got {date!r}")
        if isinstance(rate, bool) or not isinstance(rate, numbers.Real) or not math.isfinite(float(rate)):
            raise TypeError(f"the fixing on {format_day(days[0])} must be a finite rate, got {rate!r}")
        out[int(days[0])] = check_rate(f"the fixing on {format_day(days[0])}", float(rate), False)
    return out


def projection(curve: Any, pricing_time: Any, fixings: Any) -> Projection:
    """The projection of a ``projection=`` argument: a :class:`kestro.Market` (its discount
    curve and pricing time) or a zero curve entry / :class:`kestro.Curve` with ``pricing_time``.

    Raises ``ValueError`` when a market and a different ``pricing_time`` are both given, and
    ``TypeError`` for anything that is not a curve.
    """
    if isinstance(curve, Market):
        if curve.discount is None:
            raise ValueError("the projection market has no discount curve to project the index with")
        if pricing_time is not None and check_date(pricing_time, "pricing_time") != curve.pricing_time:
            raise ValueError(f"pricing_time {format_ms(check_date(pricing_time, 'pricing_time'))} differs from the "
                             f"projection market's {format_ms(curve.pricing_time)}; give one of them")
        origin, entry = curve.pricing_time, curve.discount
    else:
        from kestro.clock import DEFAULT_START

        origin = check_date(DEFAULT_START if pricing_time is None else pricing_time, "pricing_time")
        entry = curve
    try:
        parsed = Curve.from_entry(entry)
    except (TypeError, ValueError) as error:
        raise TypeError(f"projection must be a kestro.Market or a zero curve such as kestro.zero_curve(times, rates): "
                        f"{error}") from None
    if parsed.kind != "ZERO_RATES":
        raise TypeError("projection must be a zero curve (ZERO_RATES) of the index, not a forward curve")
    return Projection(parsed, origin, _fixings(fixings))
