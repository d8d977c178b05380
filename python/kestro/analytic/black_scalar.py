"""Black-76 prices of one option on Python floats: the formulas of :mod:`kestro.black` without NumPy.

A NumPy expression costs about a microsecond however small its arrays, and a price takes a
couple of hundred of them; one option priced with ``math`` takes a few microseconds. The
arithmetic and the limits are those of :mod:`kestro.black` (with ``math.erf`` and
``math.erfc`` for the normal distribution), so the two agree to rounding: about 1e-15
relative, 1e-13 far in the tails. Arguments are taken as already checked.
"""

from __future__ import annotations

import math

__all__ = ["digital", "log_moneyness", "vanilla"]

_SQRT_HALF = math.sqrt(0.5)
_CENTRAL = 0.46875 * math.sqrt(2.0)  # as kestro.normal.CENTRAL


def _cdf(z: float) -> float:
    return 0.5 * math.erfc(-z * _SQRT_HALF)


def _centred(z: float) -> float:
    """N(z) - 1/2 without a 1/2 to cancel."""
    return 0.5 * math.erf(z * _SQRT_HALF)


def log_moneyness(forward: float, strike: float) -> float:
    """``ln(F / K)``, also where the ratio itself would overflow or lose digits below the normal range."""
    ratio = forward / strike
    return math.log(ratio) if 1e-300 < ratio < 1e300 else math.log(forward) - math.log(strike)


def _deviations(x: float, years: float, vol: float) -> tuple[float, float, float]:
    """v = vol sqrt(T), d1 and d2; v may be 0 (then the ds are meaningless) or overflow to inf."""
    v = vol * math.sqrt(years)
    if v == 0:
        return 0.0, 0.0, 0.0
    return v, x / v + 0.5 * v, x / v - 0.5 * v


def vanilla(forward: float, strike: float, years: float, vol: float, discount: float, call: bool,
            x: float | None = None) -> float:
    """The Black-76 price of a call or put; ``x`` is ln(F / K) when the caller knows it more exactly than F."""
    sign = 1.0 if call else -1.0
    intrinsic = discount * max(sign * (forward - strike), 0.0)
    v, d1, d2 = _deviations(log_moneyness(forward, strike) if x is None else x, years, vol)
    if v == 0:
        return intrinsic
    if abs(d1) <= _CENTRAL and abs(d2) <= _CENTRAL:
        # Near the money with little variance F N(d1) and K N(d2) are both about F / 2: cancel the halves exactly.
        value = discount * (0.5 * sign * (forward - strike) + forward * _centred(d1) - strike * _centred(d2))
    else:
        value = discount * sign * (forward * _cdf(sign * d1) - strike * _cdf(sign * d2))
    return max(value, intrinsic)


def digital(forward: float, strike: float, years: float, vol: float, discount: float, call: bool,
            x: float | None = None) -> float:
    """The Black-76 price of a cash-or-nothing digital paying 1; without variance only strictly in the money."""
    sign = 1.0 if call else -1.0
    v, _, d2 = _deviations(log_moneyness(forward, strike) if x is None else x, years, vol)
    if v == 0:
        return discount if sign * (forward - strike) > 0 else 0.0
    return discount * _cdf(sign * d2)
