"""Implied volatility: the Black-76 and Black-Scholes prices inverted, on NumPy arrays.

The solver works on the normalised price of the out-of-the-money option with the same strike
(the time value of the given option, by put-call parity), divided by ``DF sqrt(F K)``: with
``x = -|ln(F / K)|`` and the total standard deviation ``s = vol sqrt(T)`` it is
``b(x, s) = e^(x/2) N(x/s + s/2) - e^(-x/2) N(x/s - s/2)``, rising from 0 to ``e^(x/2)``.
In its lower half it solves ``1 / ln b(s) = 1 / ln(beta)``, nearly quadratic in s where the
price is a far tail; in its upper half ``ln(e^(x/2) - b(s)) = ln(e^(x/2) - beta)``, whose
left side is summed from two positive tails without cancellation. Each is solved by Halley
steps from an asymptotic starting point, falling back to Newton and then to bisection whenever
a step would leave the bracket of the root known so far, so every entry converges.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np

from kestro.analytic.arrays import Value, blockwise, broadcast, index_text, real_array, result, sign_array
from kestro.analytic.black import log_moneyness, spot_inputs
from kestro.analytic.normal import CENTRAL, normal_cdf, normal_cdf_centred

__all__ = ["black_scholes_implied_vol", "implied_vol"]

_EPS = np.finfo(np.float64).eps
_SLACK = 8 * _EPS           # prices this close to a bound, relative to DF max(F, K), are on it
# A step is the last one needed when the error it leaves is far below an ulp: of order t^3 after a Halley
# step of relative size t, t^2 after a Newton step. Waiting for smaller steps would chase rounding: far in
# a tail b(s) carries relative errors near 1e-10, so the objective's last digits are noise.
_HALLEY_TOLERANCE = 1e-6
_NEWTON_TOLERANCE = 1e-10
_BRACKET_TOLERANCE = 4 * _EPS  # the root is known to an ulp or two once the bracket is this narrow
_MAX_STEPS = 100            # Halley converges in a few; bisection alone from any start within 100
_BLOCK = 1 << 14            # elements per block, as for the prices
_INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


def _tail_quantile(p: np.ndarray) -> np.ndarray:
    """u with N(-u) = p for 0 < p <= 1/2, to about 4.5e-4 (Abramowitz and Stegun 26.2.23): a starting point."""
    t = np.sqrt(-2.0 * np.log(p))
    return t - (2.515517 + t * (0.802853 + t * 0.010328)) / (1.0 + t * (1.432788 + t * (0.189269 + t * 0.001308)))


def _normalised(x: np.ndarray, s: np.ndarray) -> np.ndarray:
    """b(x, s) for x <= 0 and s > 0."""
    d1, d2 = x / s + 0.5 * s, x / s - 0.5 * s
    return _difference(x, d1, d2, normal_cdf(d1), normal_cdf(d2))


def _difference(x: np.ndarray, d1: np.ndarray, d2: np.ndarray, n1: np.ndarray, n2: np.ndarray) -> np.ndarray:
    """``b = e^(x/2) N(d1) - e^(-x/2) N(d2)``, not below 0.

    With both d central the halves of N cancel exactly: ``sinh(x/2) + e^(x/2) c(d1) - e^(-x/2) c(d2)``
    with ``c = N - 1/2``. Far in the tail rounding can leave b below 0, where s is too small.
    """
    b = np.exp(0.5 * x) * n1 - np.exp(-0.5 * x) * n2
    central = (np.abs(d1) <= CENTRAL) & (np.abs(d2) <= CENTRAL)
    if central.any():
        near = np.sinh(0.5 * x) + np.exp(0.5 * x) * normal_cdf_centred(d1) - np.exp(-0.5 * x) * normal_cdf_centred(d2)
        b = np.where(central, near, b)
    return np.maximum(b, 0.0)


def _starting_point(x: np.ndarray, beta: np.ndarray, beta_c: np.ndarray) -> np.ndarray:
    """A total standard deviation near the root of b(x, s) = beta, from two approximations of b.

    b(x, .) turns from convex to concave at ``s_c = sqrt(2 |x|)``. Above it,
    ``e^(x/2) - b ~ 2 e^(x/2) N(-s / 2)`` scaled to be exact at s_c (and exact at the money)
    gives ``-2 N^-1(N(-s_c / 2) (e^(x/2) - beta) / (e^(x/2) - b(x, s_c)))`` (P. Jaeckel, "By
    implication", 2006). Below it, ``2 pi |x| / (3 sqrt(3)) N(-|x| / (sqrt(3) s))^3`` shares
    the far tail's exponent and prefactor (P. Jaeckel, "Let's be rational", 2015) and inverts
    to ``|x| / (sqrt(3) N^-1(...))``; towards s_c both overestimate, so the smaller is taken.
    The tail quantile is good to 4.5e-4, plenty for a start except at the money with little
    variance, where ``b ~ s / sqrt(2 pi)`` takes over.
    """
    s_c = np.sqrt(-2.0 * x)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore", under="ignore"):
        b_c = np.where(s_c > 0, _normalised(x, np.where(s_c > 0, s_c, 1.0)), 0.0)
        tail_c = normal_cdf(-0.5 * s_c)
        upper = 2.0 * _tail_quantile(np.clip(tail_c * beta_c / (np.exp(0.5 * x) - b_c), 1e-300, 0.5))
        # Near the money with little variance the quantile, good to 4.5e-4 absolute, says little; there
        # b ~ s / sqrt(2 pi), and b(x, s) <= b(0, s) <= s / sqrt(2 pi) makes beta sqrt(2 pi) a lower bound.
        upper = np.maximum(upper, beta * math.sqrt(2.0 * math.pi))
        u = np.cbrt(3.0 * math.sqrt(3.0) * beta / (2.0 * math.pi * -x))
        far = -x / (math.sqrt(3.0) * _tail_quantile(np.clip(u, 1e-300, 0.5)))
        lower = np.where((u < 0.5) & (far > 0), np.minimum(far, upper), upper)
    guess = np.where(beta < b_c, lower, upper)
    return np.where(np.isfinite(guess) & (guess > 0), guess, np.maximum(s_c, 1.0))


def _objective(x: np.ndarray, s: np.ndarray, target: np.ndarray, upper: np.ndarray
               ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """f, f' and f'' in s of the objective of each entry's half; f falls as s grows, 0 at the root."""
    q = x / s
    d1 = q + 0.5 * s
    d2 = q - 0.5 * s
    q *= q  # x^2 / s^2
    # db/ds = e^(x/2) phi(d1) = exp(-x^2 / (2 s^2) - s^2 / 8) / sqrt(2 pi); b'' = b' (x^2 / s^3 - s / 4).
    slope = _INV_SQRT_2PI * np.exp(-0.5 * q - 0.125 * s * s)
    bend = slope * (q / s - 0.25 * s)
    lower = ~upper
    halves = [h for h, wanted in ((_lower_half, lower), (_upper_half, upper)) if wanted.any()]
    if len(halves) == 1:
        return halves[0](x, d1, d2, slope, bend, target)
    low, high = (h(x, d1, d2, slope, bend, target) for h in halves)
    f, f1, f2 = (np.where(upper, h, g) for g, h in zip(low, high))
    return f, f1, f2


def _lower_half(x: np.ndarray, d1: np.ndarray, d2: np.ndarray, slope: np.ndarray, bend: np.ndarray,
                target: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """g = 1 / ln b; g' = -l' / l^2, g'' = -l'' / l^2 + 2 l'^2 / l^3 with l = ln b."""
    b = _difference(x, d1, d2, normal_cdf(d1), normal_cdf(d2))
    log_b = np.log(b)
    l1 = slope / b
    l2 = bend / b - l1 * l1
    square = log_b * log_b
    return 1.0 / log_b - target, -l1 / square, (2.0 * l1 * l1 / log_b - l2) / square


def _upper_half(x: np.ndarray, d1: np.ndarray, d2: np.ndarray, slope: np.ndarray, bend: np.ndarray,
                target: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """h = ln c with c = e^(x/2) - b = e^(x/2) N(-d1) + e^(-x/2) N(d2), two positive tails; c' = -b'."""
    c = np.exp(0.5 * x) * normal_cdf(-d1) + np.exp(-0.5 * x) * normal_cdf(d2)
    k1 = -slope / c
    return np.log(c) - target, k1, -bend / c - k1 * k1


def _solve(x: np.ndarray, beta: np.ndarray, beta_c: np.ndarray) -> np.ndarray:
    """The total standard deviation s with b(x, s) = beta, for x <= 0 and 0 < beta < e^(x/2)."""
    upper = beta > 0.5 * np.exp(0.5 * x)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore", under="ignore"):
        target = np.where(upper, np.log(beta_c), 1.0 / np.log(beta))
    s = _starting_point(x, beta, beta_c)
    lo = np.zeros_like(s)
    hi = np.full_like(s, np.inf)
    active = np.arange(s.size)
    for _ in range(_MAX_STEPS):
        if active.size == 0:
            break
        xa, sa, ta, ua, la, ha = x[active], s[active], target[active], upper[active], lo[active], hi[active]
        with np.errstate(divide="ignore", invalid="ignore", over="ignore", under="ignore"):
            f, f1, f2 = _objective(xa, sa, ta, ua)
            la = np.where(f > 0, sa, la)
            ha = np.where(f < 0, sa, ha)
            newton = -f / f1
            halley = newton / (1.0 + 0.5 * newton * f2 / f1)  # -2 f f1 / (2 f1^2 - f f2)
            # Near the root the Newton step is the error; far from it Halley's can be small for other reasons.
            small = (np.abs(newton) <= _HALLEY_TOLERANCE * sa) & (np.abs(halley) <= _HALLEY_TOLERANCE * sa)
            use_halley = small | _inside(sa + halley, la, ha)
            step = np.where(use_halley, halley, newton)
            last = np.where(use_halley, small, np.abs(step) <= _NEWTON_TOLERANCE * sa)
            proposal = sa + step
            halved = np.where(la > 0, np.sqrt(la * ha), 0.5 * ha)  # geometric: s spans many orders of magnitude
            bisection = np.where(np.isfinite(ha), halved, 2.0 * np.maximum(sa, la))
            moved = np.where(last | _inside(proposal, la, ha), proposal, bisection)
        done = (f == 0) | last | (np.isfinite(ha) & (ha - la <= _BRACKET_TOLERANCE * ha))
        s[active] = np.where(f == 0, sa, moved)
        lo[active], hi[active] = la, ha
        active = active[~done]
    return s


def _inside(s: np.ndarray, lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
    return np.isfinite(s) & (s > lo) & (s < hi)


def _check_errors(errors: Any) -> bool:
    if errors not in ("raise", "nan"):
        raise ValueError(f"errors must be 'raise' (a price outside its bounds raises ValueError) or 'nan' "
                         f"(it gives NaN), got {errors!r}")
    return errors == "raise"


def _prices(price: Any, raising: bool) -> np.ndarray:
    """The prices; with errors="nan" a missing (NaN) or infinite price is let through, to give NaN."""
    return real_array("price", price, finite=raising)


class _Bounds(NamedTuple):
    intrinsic: np.ndarray   # DF max(w (F - K), 0)
    ceiling: np.ndarray     # DF F for a call, DF K for a put; the intrinsic value at expiry
    outside: np.ndarray     # the price is beyond a bound by more than rounding


def _bounds(price: np.ndarray, forward: np.ndarray, strike: np.ndarray, years: np.ndarray, discount: np.ndarray,
            sign: np.ndarray) -> _Bounds:
    intrinsic = discount * np.maximum(sign * (forward - strike), 0.0)
    ceiling = np.where(years == 0, intrinsic, discount * np.where(sign > 0, forward, strike))
    slack = _SLACK * discount * np.maximum(forward, strike)
    return _Bounds(intrinsic, ceiling, (price < intrinsic - slack) | (price > ceiling + slack))


def _invert(price: np.ndarray, forward: np.ndarray, strike: np.ndarray, years: np.ndarray, discount: np.ndarray,
            sign: np.ndarray, x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The vols of broadcast Black-76 inputs, NaN where the price is outside its bounds, and where that is."""
    intrinsic, ceiling, outside = _bounds(price, forward, strike, years, discount, sign)
    vol = np.full(price.shape, np.nan)
    flat = (price <= intrinsic) | (years == 0)  # no time value: vol 0 (at expiry any vol would do)
    vol[~outside & flat] = 0.0
    vol[~outside & ~flat & (price >= ceiling)] = np.inf
    todo = ~outside & ~flat & (price < ceiling)
    if todo.any():
        # The out-of-the-money option's price (the time value) and its distance below its own ceiling,
        # each in units of DF sqrt(F K), taken from the inputs directly so neither loses digits to the other.
        scale = discount[todo] * np.sqrt(forward[todo]) * np.sqrt(strike[todo])
        beta = (price[todo] - intrinsic[todo]) / scale
        beta_c = (ceiling[todo] - price[todo]) / scale
        vol[todo] = _solve(-np.abs(x[todo]), beta, beta_c) / np.sqrt(years[todo])
    return vol, outside


def _forward_kernel(price: np.ndarray, forward: np.ndarray, strike: np.ndarray, years: np.ndarray,
                    discount: np.ndarray, sign: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return _invert(price, forward, strike, years, discount, sign, log_moneyness(forward, strike))


def _spot_kernel(price: np.ndarray, spot: np.ndarray, strike: np.ndarray, years: np.ndarray, rate: np.ndarray,
                 dividend: np.ndarray, sign: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    discount = np.exp(-rate * years)
    forward = spot * np.exp(-dividend * years) / discount
    x = log_moneyness(spot, strike) + (rate - dividend) * years
    return _invert(price, forward, strike, years, discount, sign, x)


def _refuse(price: np.ndarray, forward: np.ndarray, strike: np.ndarray, years: np.ndarray, discount: np.ndarray,
            sign: np.ndarray, outside: np.ndarray) -> None:
    """ValueError for the first price in ``outside``, with its bounds."""
    where = index_text(outside)
    i = int(np.argmax(outside))
    one = [np.broadcast_to(a, outside.shape).flat[i] for a in (price, forward, strike, years, discount, sign)]
    intrinsic, ceiling, _ = _bounds(*(np.asarray(v) for v in one))
    kind = "call" if one[5] > 0 else "put"
    if one[3] == 0:
        bounds = f"equal the intrinsic value {float(intrinsic)!r} at expiry"
    else:
        top = "forward" if kind == "call" else "strike"
        bounds = (f"lie between the discounted intrinsic value {float(intrinsic)!r} and the discounted {top} "
                  f"{float(ceiling)!r}")
    raise ValueError(f"no volatility gives the {kind} price {float(one[0])!r}{where}: the price must {bounds}; "
                     "pass errors='nan' to get NaN for such prices instead")


def implied_vol(price: Any, forward: Any, strike: Any, years: Any, discount: Any = 1.0, call: Any = True, *,
                errors: str = "raise") -> Value:
    """The Black-76 volatility at which a European call (``call=True``) or put is worth ``price``.

    ``price`` is today's price, ``forward`` the forward to expiry ``years`` away and
    ``discount`` the discount factor from expiry. Arguments broadcast together as in
    :func:`kestro.black.black_price`; the result is a float for scalars.

    A price must lie between the discounted intrinsic value ``DF max(w (F - K), 0)`` and
    ``DF F`` for a call or ``DF K`` for a put (``w`` = +1 for a call, -1 for a put; within
    8 ulps of ``DF max(F, K)`` a price counts as on the bound). On the lower bound the vol is
    0, on the upper bound infinite. At expiry (``years == 0``) the price must be the intrinsic
    value, and the vol is given as 0. Outside the bounds ``errors="raise"`` (the default)
    raises ValueError naming the price and its bounds; ``errors="nan"`` returns NaN there, and
    for missing (NaN) or infinite prices, and solves the rest.

    Accuracy: the total standard deviation ``vol sqrt(T)`` comes out within a few ulps of the
    one the price determines. How much of the vol a price determines depends on vega: deep in
    the money the time value may sink below the price's last digit, and a price below the
    normal floating-point range (under 2.2e-308) has few digits left.
    """
    raising = _check_errors(errors)
    arrays, scalar = broadcast(price=_prices(price, raising), forward=real_array("forward", forward, "positive"),
                               strike=real_array("strike", strike, "positive"),
                               years=real_array("years", years, "non-negative"),
                               discount=real_array("discount", discount, "positive"), call=sign_array(call))
    vol, outside = blockwise(_forward_kernel, arrays, _BLOCK)
    if raising and outside.any():
        price_array, forward_array, strike_array, years_array, discount_array, sign = arrays
        _refuse(price_array, forward_array, strike_array, years_array, discount_array, sign, outside)
    return result(vol, scalar)


def black_scholes_implied_vol(price: Any, spot: Any, strike: Any, years: Any, rate: Any, dividend: Any = 0.0,
                              call: Any = True, *, errors: str = "raise") -> Value:
    """The Black-Scholes volatility at which a European call (``call=True``) or put on ``spot`` is worth ``price``.

    :func:`implied_vol` with the forward ``S e^((r - q) T)`` and the discount factor
    ``e^(-r T)``; the bounds and ``errors`` are the same, in those terms.
    """
    raising = _check_errors(errors)
    price_array = _prices(price, raising)
    arrays, scalar = spot_inputs(spot, strike, years, None, rate, dividend, call)
    names = ("spot", "strike", "years", "rate", "dividend", "call")
    arrays, scalar = broadcast(price=price_array, **dict(zip(names, arrays)))
    vol, outside = blockwise(_spot_kernel, arrays, _BLOCK)
    if raising and outside.any():
        price_array, spot_array, strike_array, years_array, rate_array, dividend_array, sign = arrays
        discount = np.exp(-rate_array * years_array)
        forward = spot_array * np.exp(-dividend_array * years_array) / discount
        _refuse(price_array, forward, strike_array, years_array, discount, sign, outside)
    return result(vol, scalar)
