"""Black-76 and Black-Scholes closed forms: prices, cash-or-nothing digitals and greeks on NumPy arrays.

Black-76 prices a European option on the forward F of its underlying to expiry. With the total
standard deviation ``v = vol * sqrt(years)``, ``d1 = ln(F / K) / v + v / 2`` and
``d2 = d1 - v``, a call is worth ``DF (F N(d1) - K N(d2))``, a put ``DF (K N(-d2) - F N(-d1))``
and a cash-or-nothing digital paying 1 ``DF N(d2)`` (call) or ``DF N(-d2)`` (put), DF being the
discount factor to the payment at expiry. Black-Scholes is Black-76 with ``F = S e^((r - q) T)``
and ``DF = e^(-r T)`` for a spot S, a continuously compounded rate r and dividend yield q.

Arguments are numbers or arrays that broadcast together, ``call`` included (True for a call,
False for a put); the result is a float when every argument is a scalar, an array otherwise.
Large arrays are evaluated in blocks that stay in cache; a price of scalars takes the plain
Python path of :mod:`kestro.black_scalar`, which agrees with the arrays to rounding.
Every argument must be finite; forwards, spots, strikes and discount factors positive; years
and vols not negative. Anything else raises ValueError naming the argument, the value and,
for arrays, its index.

Greeks, all per unit of the option (multiply by the quantity):

- ``delta``, ``gamma``: first and second derivative in the spot (Black-Scholes);
  ``forward_delta``, ``forward_gamma``: in the forward, the discount factor held (Black-76).
- ``vega``: per 1.00 of vol (a vol move of 0.01 changes the price by ``vega / 100``).
- ``theta``: per year of calendar time passing, ``-dV/dT``, with spot (or forward), vol and
  rates held; Black-76 holds the zero rate ``-ln(DF) / T`` (0 when T = 0), so its theta is
  ``r V`` less the decay of the time value.
- ``rho``: per 1.00 of rate. Black-Scholes: the rate moves, the spot and dividend yield stay,
  so the forward moves with it; ``dividend_rho`` is per 1.00 of dividend yield. Black-76: the
  forward stays, only the discounting moves, so ``rho = -T V``.

Zero variance (``years == 0`` or ``vol == 0``): the price is the discounted intrinsic value on
the forward, which at ``years == 0`` is the intrinsic value; a digital pays only when strictly
in the money (nothing at F == K), as the digital templates do. Greeks are the limits as the
variance vanishes: off the strike every term in the density is 0; at the strike a vanilla's
delta is half the in-the-money one, and a greek that grows without bound there is returned as
an infinity of its sign, never NaN.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np

from kestro.analytic import black_scalar
from kestro.analytic.arrays import Value, blockwise, broadcast, index_text, real_array, result, sign_array
from kestro.analytic.normal import CENTRAL, normal_cdf, normal_cdf_centred, normal_pdf

__all__ = [
    "BlackGreeks",
    "Greeks",
    "black_digital_greeks",
    "black_digital_price",
    "black_greeks",
    "black_price",
    "black_scholes_digital_greeks",
    "black_scholes_digital_price",
    "black_scholes_greeks",
    "black_scholes_price",
    "log_moneyness",
]

_PDF_0 = 1.0 / math.sqrt(2.0 * math.pi)
_MAX_EXPONENT = 700.0  # |r T|, |q T| and |(r - q) T| beyond this leave floating point (e^709 overflows)


class BlackGreeks(NamedTuple):
    """Black-76 price and greeks, in the forward; see :mod:`kestro.black` for the conventions."""

    price: Value
    forward_delta: Value
    forward_gamma: Value
    vega: Value
    theta: Value
    rho: Value


class Greeks(NamedTuple):
    """Black-Scholes price and greeks, in the spot; see :mod:`kestro.black` for the conventions."""

    price: Value
    delta: Value
    gamma: Value
    vega: Value
    theta: Value
    rho: Value
    dividend_rho: Value


def log_moneyness(forward: np.ndarray, strike: np.ndarray) -> np.ndarray:
    """``ln(F / K)``, also where the ratio itself would overflow or lose digits below the normal range."""
    with np.errstate(over="ignore", under="ignore"):
        ratio = forward / strike
    ordinary = (ratio > 1e-300) & (ratio < 1e300)
    if ordinary.all():
        return np.log(ratio)
    return np.where(ordinary, np.log(np.where(ordinary, ratio, 1.0)), np.log(forward) - np.log(strike))


# Arguments


def _forward_inputs(forward: Any, strike: Any, years: Any, vol: Any, discount: Any, call: Any
                    ) -> tuple[list[np.ndarray], bool]:
    return broadcast(forward=real_array("forward", forward, "positive"),
                     strike=real_array("strike", strike, "positive"),
                     years=real_array("years", years, "non-negative"), vol=real_array("vol", vol, "non-negative"),
                     discount=real_array("discount", discount, "positive"), call=sign_array(call))


def spot_inputs(spot: Any, strike: Any, years: Any, vol: Any, rate: Any, dividend: Any, call: Any
                ) -> tuple[list[np.ndarray], bool]:
    """The checked Black-Scholes arguments (``vol`` may be None, as for an implied vol) and whether all are scalars.

    Besides each argument's own range, the discount factor, the dividend's discount and the
    forward must be representable: ValueError names the first entry where they are not.
    """
    arrays = dict(spot=real_array("spot", spot, "positive"), strike=real_array("strike", strike, "positive"),
                  years=real_array("years", years, "non-negative"))
    if vol is not None:
        arrays["vol"] = real_array("vol", vol, "non-negative")
    arrays.update(rate=real_array("rate", rate), dividend=real_array("dividend", dividend), call=sign_array(call))
    values, scalar = broadcast(**arrays)
    spot, years, rate, dividend = arrays["spot"], arrays["years"], arrays["rate"], arrays["dividend"]
    for name, exponent in (("rate * years", rate * years), ("dividend * years", dividend * years),
                           ("(rate - dividend) * years", (rate - dividend) * years)):
        bad = np.abs(exponent) > _MAX_EXPONENT
        if bad.any():
            raise ValueError(f"{name} is {float(exponent[bad].flat[0])!r}{index_text(bad)}: its exponential is "
                             f"outside floating point; keep it within +-{_MAX_EXPONENT:g}")
    growth = (rate - dividend) * years
    if spot.size == 0 or growth.size == 0:
        return values, scalar
    if spot.max() * math.exp(float(growth.max())) > 1e300 or spot.min() * math.exp(float(growth.min())) < 1e-300:
        log_forward = np.log(spot) + growth
        bad = np.abs(log_forward) > 690.0
        if bad.any():
            raise ValueError(f"the forward spot * e^((rate - dividend) * years) is "
                             f"e^{float(log_forward[bad].flat[0])!r}{index_text(bad)}, outside floating point")
    return values, scalar


# The formula


class _Black(NamedTuple):
    """Everything the prices and greeks share, broadcast to one shape."""

    forward: np.ndarray
    strike: np.ndarray
    years: np.ndarray
    vol: np.ndarray
    discount: np.ndarray
    sign: np.ndarray        # +1 call, -1 put
    root_t: np.ndarray      # sqrt(years)
    v: np.ndarray           # vol * sqrt(years); 1 where zero (a safe divisor)
    zero: np.ndarray        # no variance: years or vol is 0
    at_strike: np.ndarray   # no variance and F == K
    d1: np.ndarray          # +-inf off the strike, 0 at it, where zero
    d2: np.ndarray
    cdf1: np.ndarray        # N(sign d1)
    cdf2: np.ndarray        # N(sign d2)


def _black(forward: np.ndarray, strike: np.ndarray, years: np.ndarray, vol: np.ndarray, discount: np.ndarray,
           sign: np.ndarray, x: np.ndarray | None = None) -> _Black:
    """The shared terms; ``x`` is ln(F / K) when the caller knows it more exactly than F itself."""
    if x is None:
        x = log_moneyness(forward, strike)
    root_t = np.sqrt(years)
    with np.errstate(over="ignore", under="ignore"):
        v = vol * root_t  # may overflow to inf for absurd vols: d1 = inf, d2 = -inf, the price's upper bound
        zero = v == 0
        v = np.where(zero, 1.0, v)
        d1 = x / v + 0.5 * v
        d2 = x / v - 0.5 * v
    limit = np.where(forward > strike, np.inf, np.where(forward < strike, -np.inf, 0.0))
    d1 = np.where(zero, limit, d1)
    d2 = np.where(zero, limit, d2)
    return _Black(forward, strike, years, vol, discount, sign, root_t, v, zero, zero & (forward == strike), d1, d2,
                  normal_cdf(sign * d1), normal_cdf(sign * d2))


class _Spot(NamedTuple):
    black: _Black
    spot: np.ndarray
    rate: np.ndarray
    dividend: np.ndarray
    carry: np.ndarray   # e^(-q T): today's value, in spot units, of one unit of the asset delivered at expiry


def _spot(spot: np.ndarray, strike: np.ndarray, years: np.ndarray, vol: np.ndarray, rate: np.ndarray,
          dividend: np.ndarray, sign: np.ndarray) -> _Spot:
    discount = np.exp(-rate * years)
    carry = np.exp(-dividend * years)
    # ln(S / K) + (r - q) T keeps its digits near the money, where ln(F / K) would inherit F's rounding.
    x = log_moneyness(spot, strike) + (rate - dividend) * years
    return _Spot(_black(spot * carry / discount, strike, years, vol, discount, sign, x), spot, rate, dividend, carry)


def _vanilla(b: _Black) -> np.ndarray:
    value = b.discount * b.sign * (b.forward * b.cdf1 - b.strike * b.cdf2)
    central = (np.abs(b.d1) <= CENTRAL) & (np.abs(b.d2) <= CENTRAL)
    if central.any():
        # Near the money with little variance F N(d1) and K N(d2) are both about F / 2: cancel the halves exactly.
        near = 0.5 * b.sign * (b.forward - b.strike) + b.forward * normal_cdf_centred(b.d1) \
            - b.strike * normal_cdf_centred(b.d2)
        value = np.where(central, b.discount * near, value)
    # Rounding may leave a deep in-the-money price an ulp below the discounted intrinsic value.
    return np.maximum(value, b.discount * np.maximum(b.sign * (b.forward - b.strike), 0.0))


def _digital(b: _Black) -> np.ndarray:
    return b.discount * np.where(b.at_strike, 0.0, b.cdf2)


def _decay(b: _Black, pdf1: np.ndarray) -> np.ndarray:
    """``DF F phi(d1) vol / (2 sqrt(T))``: how fast the time value of a vanilla runs off."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        decay = b.discount * b.forward * pdf1 * b.vol / (2.0 * b.root_t)
    at_expiry = np.where(b.at_strike & (b.vol > 0), np.inf, 0.0)
    return np.where(b.years == 0, at_expiry, np.where(pdf1 == 0, 0.0, decay))


def _zero_rate(b: _Black) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        rate = -np.log(b.discount) / b.years
    return np.where(b.years > 0, rate, 0.0)


def _digital_shape(b: _Black) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """``w DF phi(d2) / v``, d1 and v, all finite; where the density vanishes (no variance off the strike, or
    a variance beyond floating point) the shape is 0 and so are d1 and v, which only ever multiply it.

    At the strike without variance the callers take the limits themselves.
    """
    shape = np.where(b.zero, 0.0, b.sign * b.discount * normal_pdf(b.d2) / b.v)
    gone = shape == 0
    return shape, np.where(gone, 0.0, b.d1), np.where(gone, 0.0, b.v)


# Kernels: elementwise on broadcast arrays, run block by block


def _vanilla_greeks(b: _Black) -> tuple[np.ndarray, ...]:
    price = _vanilla(b)
    pdf1 = normal_pdf(b.d1)
    gamma = np.where(b.zero, np.where(b.at_strike, np.inf, 0.0), b.discount * pdf1 / (b.forward * b.v))
    return (price, b.discount * b.sign * b.cdf1, gamma, b.discount * b.forward * pdf1 * b.root_t,
            _zero_rate(b) * price - _decay(b, pdf1), -b.years * price)


def _digital_greeks(b: _Black) -> tuple[np.ndarray, ...]:
    price = _digital(b)
    shape, d1, v = _digital_shape(b)
    at = b.at_strike
    delta = np.where(at, b.sign * np.inf, shape / b.forward)
    gamma = np.where(at, -b.sign * np.inf, -shape * d1 / (b.forward * b.forward * b.v))
    vega = np.where(at, -b.sign * b.discount * _PDF_0 * b.root_t / 2.0, -shape * d1 * b.root_t)
    with np.errstate(divide="ignore", invalid="ignore"):
        narrowing = shape * v * d1 / (2.0 * b.years)  # w DF phi(d2) d1 / (2 T)
    # At the strike with no variance d1 = v / 2: the term is w DF phi(0) vol / (4 sqrt(T)).
    narrowing = np.where(b.zero, np.where(at & (b.years == 0) & (b.vol > 0), b.sign * np.inf, 0.0), narrowing)
    # + 0.0 turns the -0.0 of a vanished density term into 0.0
    return price, delta + 0.0, gamma + 0.0, vega + 0.0, _zero_rate(b) * price + narrowing, -b.years * price


def _spot_vanilla_greeks(s: _Spot) -> tuple[np.ndarray, ...]:
    b = s.black
    price = _vanilla(b)
    pdf1 = normal_pdf(b.d1)
    gamma = np.where(b.zero, np.where(b.at_strike, np.inf, 0.0), s.carry * pdf1 / (s.spot * b.v))
    carried = b.sign * s.carry * b.cdf1             # w c N(w d1)
    paid = b.sign * b.strike * b.discount * b.cdf2  # w K DF N(w d2)
    theta = -_decay(b, pdf1) - s.rate * paid + s.dividend * s.spot * carried
    return (price, carried, gamma, s.spot * s.carry * pdf1 * b.root_t, theta, b.years * paid,
            -b.years * s.spot * carried)


def _spot_digital_greeks(s: _Spot) -> tuple[np.ndarray, ...]:
    b = s.black
    price = _digital(b)
    shape, d1, v = _digital_shape(b)
    at = b.at_strike
    delta = np.where(at, b.sign * np.inf, shape / s.spot)
    gamma = np.where(at, -b.sign * np.inf, -shape * d1 / (s.spot * s.spot * b.v))
    vega = np.where(at, -b.sign * b.discount * _PDF_0 * b.root_t / 2.0, -shape * d1 * b.root_t)
    drift = s.rate - s.dividend
    with np.errstate(divide="ignore", invalid="ignore"):
        moving = shape * (drift - v * d1 / (2.0 * b.years))  # w DF phi(d2) ((r - q) / v - d1 / (2 T))
        # At the strike with no variance, (r - q) / v - d1 / (2 T) grows like ((r - q) / vol - vol / 4) / sqrt(T)
        # as T -> 0 and like (r - q) / (vol sqrt(T)) as vol -> 0.
        steepness = np.where(b.vol > 0, drift / np.where(b.vol > 0, b.vol, 1.0) - b.vol / 4.0, drift)
    moving = np.where(at, np.where(steepness == 0, 0.0, b.sign * np.sign(steepness) * np.inf),
                      np.where(b.zero, 0.0, moving))
    # w DF phi(d2) T / v; at the strike sqrt(T) / vol, unbounded only as vol -> 0.
    carried = np.where(at, np.where((b.vol == 0) & (b.years > 0), b.sign * np.inf, 0.0), shape * b.years)
    return (price, delta + 0.0, gamma + 0.0, vega + 0.0, s.rate * price - moving, -b.years * price + carried,
            0.0 - carried)


def _forward_kernel(compute: Any) -> Any:
    def kernel(*arrays: np.ndarray) -> Any:
        # Absurd inputs (vols near 1e308, say) overflow products to infinity, the limit the formulas want.
        with np.errstate(over="ignore", under="ignore"):
            return compute(_black(*arrays))
    return kernel


def _spot_kernel(compute: Any) -> Any:
    def kernel(*arrays: np.ndarray) -> Any:
        with np.errstate(over="ignore", under="ignore"):
            return compute(_spot(*arrays))
    return kernel


def _one(value: Any) -> Any:
    return lambda b: (value(b),)


# One option on floats: NumPy's cost per call would dwarf the arithmetic (see kestro.black_scalar).


def _floats(arrays: list[np.ndarray]) -> tuple[float, float, float, float, float, bool]:
    forward, strike, years, vol, discount, sign = (float(a) for a in arrays)
    return forward, strike, years, vol, discount, sign > 0


def _spot_floats(arrays: list[np.ndarray]) -> tuple[float, float, float, float, float, bool, float]:
    spot, strike, years, vol, rate, dividend, sign = (float(a) for a in arrays)
    discount = math.exp(-rate * years)
    forward = spot * math.exp(-dividend * years) / discount
    x = black_scalar.log_moneyness(spot, strike) + (rate - dividend) * years
    return forward, strike, years, vol, discount, sign > 0, x


# Black-76


def black_price(forward: Any, strike: Any, years: Any, vol: Any, discount: Any = 1.0, call: Any = True) -> Value:
    """The Black-76 price of a European call (``call=True``) or put on the forward ``forward``.

    ``years`` to expiry, ``vol`` the lognormal volatility per sqrt(year), ``discount`` the
    discount factor from expiry to today. With no variance, the discounted intrinsic value.
    """
    arrays, scalar = _forward_inputs(forward, strike, years, vol, discount, call)
    if scalar:
        return black_scalar.vanilla(*_floats(arrays))
    return blockwise(_forward_kernel(_one(_vanilla)), arrays)[0]


def black_digital_price(forward: Any, strike: Any, years: Any, vol: Any, discount: Any = 1.0,
                        call: Any = True) -> Value:
    """The Black-76 price of a cash-or-nothing digital paying 1 at expiry if F > K (call) or F < K (put).

    ``discount * N(d2)`` for a call, ``discount * N(-d2)`` for a put; with no variance the
    discount factor when strictly in the money, else 0.
    """
    arrays, scalar = _forward_inputs(forward, strike, years, vol, discount, call)
    if scalar:
        return black_scalar.digital(*_floats(arrays))
    return blockwise(_forward_kernel(_one(_digital)), arrays)[0]


def black_greeks(forward: Any, strike: Any, years: Any, vol: Any, discount: Any = 1.0, call: Any = True) -> BlackGreeks:
    """Black-76 price, forward delta and gamma, vega, theta and rho of a European call or put.

    With ``w`` = +1 for a call and -1 for a put: ``forward_delta = w DF N(w d1)``,
    ``forward_gamma = DF phi(d1) / (F v)``, ``vega = DF F phi(d1) sqrt(T)``, ``theta = r V -
    DF F phi(d1) vol / (2 sqrt(T))`` with ``r = -ln(DF) / T``, ``rho = -T V``. Conventions in
    :mod:`kestro.black`.
    """
    arrays, scalar = _forward_inputs(forward, strike, years, vol, discount, call)
    return BlackGreeks(*(result(g, scalar) for g in blockwise(_forward_kernel(_vanilla_greeks), arrays)))


def black_digital_greeks(forward: Any, strike: Any, years: Any, vol: Any, discount: Any = 1.0,
                         call: Any = True) -> BlackGreeks:
    """Black-76 price and greeks of a cash-or-nothing digital paying 1, in the forward.

    With ``w`` = +1 for a call and -1 for a put: ``forward_delta = w DF phi(d2) / (F v)``,
    ``forward_gamma = -w DF phi(d2) d1 / (F v)^2``, ``vega = -w DF phi(d2) d1 / vol``,
    ``theta = r V + w DF phi(d2) d1 / (2 T)``, ``rho = -T V``. Conventions in :mod:`kestro.black`.
    """
    arrays, scalar = _forward_inputs(forward, strike, years, vol, discount, call)
    return BlackGreeks(*(result(g, scalar) for g in blockwise(_forward_kernel(_digital_greeks), arrays)))


# Black-Scholes


def black_scholes_price(spot: Any, strike: Any, years: Any, vol: Any, rate: Any, dividend: Any = 0.0,
                        call: Any = True) -> Value:
    """The Black-Scholes price of a European call (``call=True``) or put on a spot ``spot``.

    ``rate`` and ``dividend`` are continuously compounded per year; Black-76 with
    ``F = S e^((r - q) T)`` and ``DF = e^(-r T)``.
    """
    arrays, scalar = spot_inputs(spot, strike, years, vol, rate, dividend, call)
    if scalar:
        return black_scalar.vanilla(*_spot_floats(arrays))
    return blockwise(_spot_kernel(lambda s: (_vanilla(s.black),)), arrays)[0]


def black_scholes_digital_price(spot: Any, strike: Any, years: Any, vol: Any, rate: Any, dividend: Any = 0.0,
                                call: Any = True) -> Value:
    """The Black-Scholes price of a cash-or-nothing digital paying 1 at expiry if S > K (call) or S < K (put)."""
    arrays, scalar = spot_inputs(spot, strike, years, vol, rate, dividend, call)
    if scalar:
        return black_scalar.digital(*_spot_floats(arrays))
    return blockwise(_spot_kernel(lambda s: (_digital(s.black),)), arrays)[0]


def black_scholes_greeks(spot: Any, strike: Any, years: Any, vol: Any, rate: Any, dividend: Any = 0.0,
                         call: Any = True) -> Greeks:
    """Black-Scholes price, delta, gamma, vega, theta, rho and dividend rho of a European call or put.

    With ``w`` = +1 for a call and -1 for a put and ``c = e^(-q T)``: ``delta = w c N(w d1)``,
    ``gamma = c phi(d1) / (S v)``, ``vega = S c phi(d1) sqrt(T)``, ``theta = -S c phi(d1) vol /
    (2 sqrt(T)) - w r K DF N(w d2) + w q S c N(w d1)``, ``rho = w K T DF N(w d2)``,
    ``dividend_rho = -w T S c N(w d1)``. Conventions in :mod:`kestro.black`.
    """
    arrays, scalar = spot_inputs(spot, strike, years, vol, rate, dividend, call)
    return Greeks(*(result(g, scalar) for g in blockwise(_spot_kernel(_spot_vanilla_greeks), arrays)))


def black_scholes_digital_greeks(spot: Any, strike: Any, years: Any, vol: Any, rate: Any, dividend: Any = 0.0,
                                 call: Any = True) -> Greeks:
    """Black-Scholes price and greeks of a cash-or-nothing digital paying 1, in the spot.

    With ``w`` = +1 for a call and -1 for a put: ``delta = w DF phi(d2) / (S v)``, ``gamma =
    -w DF phi(d2) d1 / (S v)^2``, ``vega = -w DF phi(d2) d1 / vol``, ``theta = r V - w DF phi(d2)
    ((r - q) / v - d1 / (2 T))``, ``rho = -T V + w DF phi(d2) T / v``, ``dividend_rho = -w DF
    phi(d2) T / v``. Conventions in :mod:`kestro.black`.
    """
    arrays, scalar = spot_inputs(spot, strike, years, vol, rate, dividend, call)
    return Greeks(*(result(g, scalar) for g in blockwise(_spot_kernel(_spot_digital_greeks), arrays)))
