"""A discount curve bootstrapped from deposit and par-swap quotes: :func:`bootstrap_discount`.

The curve is the engine's zero curve itself: ``-ln P(t) = rate·t`` runs linearly between
pillars and from the pricing time (P = 1) to the first pillar, which is log-linear
interpolation of discount factors in engine years (365-day years from the pricing time), the
interpolation of QuantLib's ``PiecewiseLogLinearDiscount`` on an ACT/365F axis. Each
instrument adds one pillar at the last date it depends on (a deposit's maturity, a swap's
maturity or last payment). Instruments are taken in pillar order, and the zero rate at each new
pillar is solved with the earlier pillars held fixed, by Brent's method to the last bit, so
that the curve as the engine reads it reprices the instrument's quote.

Linear interpolation of zero rates is not offered: between two pillars rate·t would then be
quadratic in t, which the engine's curve (rate·t linear between pillars) cannot represent,
so the curve the engine prices with would not be the curve that was bootstrapped.
"""

from __future__ import annotations

import math
import re
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestro.rates import rate_instruments
from kestro.clock import DAY_MS, check_date, format_ms
from kestro.curves import Curve, year_fraction
from kestro.market import check_rate, zero_curve
from kestro.rates.rate_instruments import Instrument, QuoteConventions, spot_date

__all__ = ["INTERPOLATIONS", "BootstrappedCurve", "bootstrap_discount"]

INTERPOLATIONS: tuple[str, ...] = ("log-linear",)
"""The interpolations :func:`bootstrap_discount` offers: log-linear discount factors, the engine's own."""

_LINEAR_ZERO = ("linear zero rates cannot be represented exactly by the engine's curve, which interpolates "
                "rate·t linearly between pillars (zero rates linear in t would make rate·t quadratic): the "
                "engine would price on another curve than the one bootstrapped; use interpolation='log-linear'")
_EPS = sys.float_info.epsilon
_RATE_LIMIT = 10.0  # zero rates searched within +-1000%: beyond, the quotes are inconsistent


@dataclass(frozen=True, eq=False)
class BootstrappedCurve:
    """A bootstrapped discount curve and the instruments it reprices.

    - ``curve``: the :func:`kestro.zero_curve` entry, for ``Market(discount=...)``.
    - ``pricing_time``: milliseconds since 1970 the curve's years count from.
    - ``instruments``: the deposits and swaps, in pillar order (``name``, ``quote``,
      ``start``, ``end``, ``pillar``, ``implied_quote(curve)``).
    """

    curve: tuple[str, np.ndarray]
    pricing_time: int
    instruments: tuple[Instrument, ...]

    @property
    def pillar_dates(self) -> np.ndarray:
        """The pillars as ``datetime64[D]`` dates, one per instrument."""
        return np.array([instrument.pillar for instrument in self.instruments], dtype="datetime64[D]")

    @property
    def times(self) -> np.ndarray:
        """The pillars in engine years from the pricing time."""
        return self.curve[1][0].copy()

    @property
    def quotes(self) -> np.ndarray:
        """The quotes bootstrapped, in pillar order."""
        return np.array([instrument.quote for instrument in self.instruments])

    def discount_factors(self) -> np.ndarray:
        """The discount factors at the pillars, as the engine reads the curve."""
        return np.asarray(Curve.from_entry(self.curve).discount_factor(self.times))

    def implied_quotes(self) -> np.ndarray:
        """The quote of each instrument on the curve as the engine reads it (equal to ``quotes``)."""
        curve = Curve.from_entry(self.curve)
        return np.array([instrument.implied_quote(curve) for instrument in self.instruments])

    def __repr__(self) -> str:
        rows = ", ".join(f"{i.name} {i.pillar} {r:.6%}" for i, r in zip(self.instruments, self.curve[1][1]))
        return f"BootstrappedCurve(from {format_ms(self.pricing_time)}: {rows})"


def _interpolation(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"interpolation is a name such as 'log-linear', got {value!r}")
    key = re.sub(r"[^a-z]", "", value.lower())
    if key in ("loglinear", "loglineardiscount", "loglineardiscountfactors"):
        return "log-linear"
    if key in ("linearzero", "linearzerorates", "linear"):
        raise ValueError(f"interpolation {value!r}: {_LINEAR_ZERO}")
    raise ValueError(f"unknown interpolation {value!r}; the bootstrap offers {', '.join(INTERPOLATIONS)}")


def bootstrap_discount(
    pricing_time: Any,
    *,
    deposits: Any = None,
    swaps: Any = None,
    calendar: Any = "WEEKENDS",
    spot_lag: int = 2,
    convention: Any = "modified following",
    end_of_month: bool = False,
    deposit_day_count: Any = "ACT/360",
    fixed_frequency: Any = "annual",
    fixed_day_count: Any = "30/360",
    float_frequency: Any = "3M",
    payment_lag: int = 0,
    interpolation: str = "log-linear",
    allow_large: bool = False,
) -> BootstrappedCurve:
    """The discount curve that reprices deposit and par-swap quotes, on the engine's clock.

    - ``pricing_time``: what the curve's years count from (anything :func:`kestro.to_ms`
      reads); its UTC date is the pricing date.
    - ``deposits``, ``swaps``: quotes as ``{tenor: rate}`` or pairs ``(tenor, rate)``, rates as
      fractions (``0.043`` for 4.3%): deposits simple rates, swaps par fixed rates.
    - ``calendar``, ``spot_lag`` (business days to the start of every instrument),
      ``convention`` (the roll of maturities and accrual dates), ``end_of_month``.
    - ``deposit_day_count`` (ACT/360); the swaps' ``fixed_frequency`` and ``fixed_day_count``
      (annual 30/360; ``"ACT/360"`` for SOFR-style OIS), ``float_frequency`` and
      ``payment_lag`` (business days from each period's end to its payment, both legs).
    - ``interpolation``: ``"log-linear"`` discount factors, the only one the engine's curve
      represents exactly (see the module).

    The floating leg is projected and discounted on the curve being built (single-curve); see
    :mod:`kestro.rates.rate_instruments` for each instrument's formula. Returns a
    :class:`BootstrappedCurve`, whose ``curve`` goes into ``Market(discount=...)``.

    Raises ``ValueError`` for no quotes, two instruments with the same pillar date (naming
    both), quotes beyond +-100% (surely percentages) unless ``allow_large=True``, quotes no
    curve can reprice, and dates outside the calendar's years; ``TypeError`` for quotes that
    are not numbers.
    """
    _interpolation(interpolation)
    start = check_date(pricing_time, "pricing_time")
    conventions = QuoteConventions.of(calendar=calendar, spot_lag=spot_lag, convention=convention,
                                      end_of_month=end_of_month, deposit_day_count=deposit_day_count,
                                      fixed_frequency=fixed_frequency, fixed_day_count=fixed_day_count,
                                      float_frequency=float_frequency, payment_lag=payment_lag)
    spot = spot_date(start // DAY_MS, conventions)
    instruments: list[Instrument] = [*rate_instruments.deposits(deposits, spot, start, conventions),
                                     *rate_instruments.par_swaps(swaps, spot, start, conventions)]
    if not instruments:
        raise ValueError("no quotes: give deposits={tenor: rate} and/or swaps={tenor: rate}")
    for instrument in instruments:
        check_rate(f"{instrument.name} quote", instrument.quote, allow_large)
    instruments.sort(key=lambda i: i.pillar)
    for earlier, later in zip(instruments, instruments[1:]):
        if earlier.pillar == later.pillar:
            raise ValueError(f"{earlier.name} and {later.name} both end on {later.pillar}: a curve has one pillar "
                             "per date, drop one of them")
    pillars = np.array([i.pillar for i in instruments], dtype="datetime64[D]").astype(np.int64)
    times = np.asarray(year_fraction(pillars * DAY_MS, start), dtype=np.float64)
    rates = np.zeros(times.size)
    for k, instrument in enumerate(instruments):
        rates[k] = _solve(instrument, times[:k + 1], rates[:k + 1])
    return BootstrappedCurve(zero_curve(times, rates, allow_large=allow_large), start, tuple(instruments))


def _solve(instrument: Instrument, times: np.ndarray, rates: np.ndarray) -> float:
    """The zero rate at the last pillar that makes the curve reprice ``instrument``."""

    def error(rate: float) -> float:
        rates[-1] = rate
        return instrument.implied_quote(Curve("ZERO_RATES", times, rates)) - instrument.quote

    guess = rates[-2] if rates.size > 1 else instrument.quote
    low, high, f_low, f_high = _bracket(error, guess)
    if f_low * f_high > 0:
        raise ValueError(f"no zero rate within +-{_RATE_LIMIT:.0%} at {instrument.pillar} reprices {instrument.name} "
                         f"at {instrument.quote:g}: the quotes are inconsistent with the ones before it")
    rate = _brent(error, low, high, f_low, f_high)
    rates[-1] = rate
    return rate


def _bracket(f: Callable[[float], float], guess: float) -> tuple[float, float, float, float]:
    """Two rates around ``guess`` where ``f`` changes sign, or the widest pair tried."""
    step = 0.01
    low, high = guess - step, guess + step
    f_low, f_high = f(low), f(high)
    while f_low * f_high > 0 and -_RATE_LIMIT < low and high < _RATE_LIMIT:
        step *= 2
        if abs(f_low) < abs(f_high):
            low = max(low - step, -_RATE_LIMIT)
            f_low = f(low)
        else:
            high = min(high + step, _RATE_LIMIT)
            f_high = f(high)
    return low, high, f_low, f_high


def _brent(f: Callable[[float], float], a: float, b: float, fa: float, fb: float) -> float:
    """A root of ``f`` between ``a`` and ``b`` (of opposite signs), to a few ulps: Brent's zeroin."""
    c, fc = a, fa
    d = e = b - a
    for _ in range(200):  # on a bracket of doubles it ends within a few dozen steps
        if (fb > 0) == (fc > 0):  # keep the root between b and c
            c, fc = a, fa
            d = e = b - a
        if abs(fc) < abs(fb):
            a, b, c = b, c, b
            fa, fb, fc = fb, fc, fb
        tol = 2 * _EPS * abs(b) + 1e-300
        m = 0.5 * (c - b)
        if abs(m) <= tol or fb == 0:
            return b
        if abs(e) >= tol and abs(fa) > abs(fb):
            s = fb / fa
            if a == c:  # secant
                p, q = 2 * m * s, 1 - s
            else:  # inverse quadratic interpolation
                q, r = fa / fc, fb / fc
                p = s * (2 * m * q * (q - r) - (b - a) * (r - 1))
                q = (q - 1) * (r - 1) * (s - 1)
            if p > 0:
                q = -q
            p = abs(p)
            if 2 * p < min(3 * m * q - abs(tol * q), abs(e * q)):
                e, d = d, p / q
            else:
                d = e = m
        else:
            d = e = m
        a, fa = b, fb
        b += d if abs(d) > tol else math.copysign(tol, m)
        fb = f(b)
    return b
