"""Closed forms as a pricing model: Black-76 and Black-Scholes prices, greeks and implied volatility.

The formulas work on numbers or NumPy arrays that broadcast together; a million options take
about a tenth of a second, and one contract priced by :func:`price_contract` some 15
microseconds, a few hundred times less than the finite-difference grid:

- :func:`black_price`, :func:`black_digital_price`, :func:`black_greeks`,
  :func:`black_digital_greeks`: Black-76 on the forward, the core;
- :func:`black_scholes_price`, :func:`black_scholes_digital_price`,
  :func:`black_scholes_greeks`, :func:`black_scholes_digital_greeks`: on a spot with a rate
  and a dividend yield;
- :func:`implied_vol`, :func:`black_scholes_implied_vol`: the vol a price implies.

Conventions (vega per 1.00 of vol, theta per year, rho per 1.00 of rate, limits without
variance) are set out in :mod:`kestro.black`. Prices of scalars take a plain Python path; the
greeks and implied vols are made for arrays (a call on scalars costs a few hundred
microseconds of NumPy overhead, so gather many options into one call).

Contracts whose price has a closed form carry their :class:`~kestro.templates.Terms`
(``european_call``, ``european_put``, ``digital_call``, ``digital_put``):
:func:`price_contract` prices one on a market's curves and :func:`greeks_contract` gives its
greeks::

    import kestro
    from kestro import analytic
    market = kestro.Market.flat(rate=0.05, spots={"STK": 100.0})
    analytic.price_contract(kestro.european_put(strike=100, years=1.0), market, vol=0.2)  # 5.5735
"""

from __future__ import annotations

import math
import numbers
from typing import Any

from kestro.analytic import black_scalar
from kestro.analytic.black import (
    BlackGreeks,
    Greeks,
    black_digital_greeks,
    black_digital_price,
    black_greeks,
    black_price,
    black_scholes_digital_greeks,
    black_scholes_digital_price,
    black_scholes_greeks,
    black_scholes_price,
)
from kestro.curves import point_discount_factor, point_forward, year_fraction
from kestro.analytic.implied import black_scholes_implied_vol, implied_vol
from kestro.market import Market
from kestro.templates import CLOSED_FORM_KINDS, Contract, Terms

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
    "black_scholes_implied_vol",
    "black_scholes_price",
    "greeks_contract",
    "implied_vol",
    "price_contract",
]


class _Setting:
    """One contract on one market: the Black-76 inputs of its terms."""

    def __init__(self, contract: Any, market: Any, vol: Any) -> None:
        if not isinstance(contract, Contract):
            raise TypeError(f"contract must be a kestro.Contract, got {type(contract).__name__}")
        if not isinstance(market, Market):
            raise TypeError(f"market must be a kestro.Market, got {type(market).__name__}")
        terms = contract.terms
        if terms is None:
            raise ValueError("this contract has no closed form: only contracts written by the "
                             f"{', '.join(CLOSED_FORM_KINDS)} templates carry the terms it needs (Contract.terms). "
                             "Price it with kestro.price(contract, market, model): 'black_scholes' (a grid, early "
                             "exercise included), 'monte_carlo' (any contract, expressions included) or 'fixed'")
        if not _matches(contract, terms):
            raise ValueError("the contract's terms do not match its events (not the rows its template writes at the "
                             "terms' expiry): it was changed after its template wrote it; price it with kestro.price")
        if terms.currency != market.base:
            raise ValueError(f"the contract pays in {terms.currency!r} but the market's base currency is "
                             f"{market.base!r}: the closed form discounts on the base currency's curve; price it "
                             "with model='monte_carlo'")
        if terms.asset == market.base or terms.asset not in market.forwards:
            known = ", ".join(market.forwards) or "none"
            raise ValueError(f"the contract's asset {terms.asset!r} has no forward curve in the market "
                             f"(assets: {known})")
        self.terms: Terms = terms
        self.market = market
        self.years = float(year_fraction(terms.expiry, market.pricing_time))
        if self.years < 0:
            raise ValueError(f"the contract expired {-self.years:.6g} years before the market's pricing time")
        self.vol = _vol(vol, terms.asset, market)
        if market.discount is None:
            raise ValueError("this market has no discount curve")
        # market.discount_factor and market.forward, bit for bit, without building curve objects.
        self.discount = point_discount_factor(market.discount, self.years)
        self.forward = point_forward(market.forwards[terms.asset], self.years)
        # Per unit of the formula: units of the asset for a European option, the cash paid for a digital.
        self.size = terms.quantity if terms.payout is None else terms.payout

    def spot(self) -> float:
        """The asset's forward at the pricing time; refused when its curve has no point there."""
        first = float(self.market.forwards[self.terms.asset][1][0][0])
        if first > 0:
            raise ValueError(f"the forward curve of {self.terms.asset!r} starts {first:g} years after the pricing "
                             "time, so it has no spot to take greeks in; give it a point at time 0")
        return point_forward(self.market.forwards[self.terms.asset], 0.0)


_ROWS = {"european": 3, "digital": 1}  # what the templates write, every row at expiry


def _matches(contract: Contract, terms: Terms) -> bool:
    times = contract.events.column("time")
    rows = _ROWS["digital" if terms.digital else "european"]
    return len(times) == rows and times[0].value == terms.expiry == times[rows - 1].value


def _vol(vol: Any, asset: str, market: Market) -> float:
    if vol is None:
        if asset not in market.vols:
            raise TypeError(f"give the volatility of {asset!r} as vol=... (or in Market.vols)")
        vol = market.vols[asset]
    if isinstance(vol, bool) or not isinstance(vol, numbers.Real) or not math.isfinite(vol):
        raise TypeError(f"vol must be a finite number, got {vol!r}")
    if vol < 0:
        raise ValueError(f"vol must not be negative, got {vol!r}")
    return float(vol)


def _scaled(factor: float, greek: float) -> float:
    """``factor * greek``, 0 when the factor is: an infinite greek (a digital at its strike without variance) has no
    effect through a term that is not there."""
    return factor * greek if factor != 0 else 0.0


def price_contract(contract: Contract, market: Market, vol: float | None = None) -> float:
    """The closed-form price of a European or digital call or put, on the market's curves.

    Black-76 on the forward of the contract's asset at expiry, ``market.forward(asset, T)``,
    discounted with ``market.discount_factor(T)``: exact for any discount and forward curves
    under a lognormal asset with volatility ``vol`` (default ``market.vols[asset]``). A
    European option is worth ``quantity`` Black-76 prices, a digital ``payout`` times the
    discounted probability of finishing strictly in the money.

    Raises ValueError for a contract without :attr:`Contract.terms` (only the
    ``european_call``, ``european_put``, ``digital_call`` and ``digital_put`` templates write
    them; the message says which model to use instead), for a payment currency other than
    the market's base, an asset without a forward curve, or an expiry before the pricing time.
    """
    s = _Setting(contract, market, vol)
    formula = black_scalar.digital if s.terms.digital else black_scalar.vanilla
    return s.size * formula(s.forward, s.terms.strike, s.years, s.vol, s.discount, s.terms.call)


def greeks_contract(contract: Contract, market: Market, vol: float | None = None) -> dict[str, float]:
    """The price and greeks of a European or digital call or put, for the whole position.

    Keys, each scaled by the contract's ``quantity`` (or ``payout`` for a digital):

    - ``"price"``: as :func:`price_contract`.
    - ``"delta"``, ``"gamma"``: in the spot, the asset's forward at the pricing time, with the
      whole forward curve scaled with it.
    - ``"forward_delta"``: in the forward to expiry, the discount factor held.
    - ``"vega"``: per 1.00 of vol.
    - ``"theta"``, ``"rho"``: per year and per 1.00 of rate, as Black-Scholes gives them with
      the flat rate ``r = -ln(DF(T)) / T`` and dividend yield ``q = r - ln(F(T) / S) / T`` that
      reproduce the curves at expiry; rho moves the rate with the dividend yield held, so the
      forward moves with it.

    Raises as :func:`price_contract`, and ValueError when the asset's forward curve has no point
    at the pricing time (no spot to take greeks in).
    """
    s = _Setting(contract, market, vol)
    spot = s.spot()
    formula = black_digital_greeks if s.terms.digital else black_greeks
    g = formula(s.forward, s.terms.strike, s.years, s.vol, s.discount, s.terms.call)
    growth = s.forward / spot  # dF/dS with the curve scaled by the spot
    drift = math.log(growth) / s.years if s.years > 0 else 0.0  # r - q
    forward_delta = float(g.forward_delta)
    greeks = {
        "price": float(g.price),
        "delta": forward_delta * growth,
        "gamma": float(g.forward_gamma) * growth * growth,
        "forward_delta": forward_delta,
        "vega": float(g.vega),
        # Black-76 theta holds the forward; with the spot held the forward drifts at r - q as time passes.
        "theta": float(g.theta) - _scaled(drift * s.forward, forward_delta),
        # Black-76 rho holds the forward; with the spot held it grows by T F per unit of rate.
        "rho": float(g.rho) + _scaled(s.years * s.forward, forward_delta),
    }
    return {name: s.size * value for name, value in greeks.items()}
