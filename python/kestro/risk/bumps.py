"""Shifted markets and contracts for bump-and-reprice sensitivities.

Each function returns a new :class:`~kestro.Market` (or contract) and leaves its argument alone.
Curves keep their times: a bump changes the values at the pillars, and the engine's
interpolation does the rest. Zero rates are stored as ``y = rate * t`` and interpolated
linearly in ``y``, so a parallel shift ``h`` of every pillar rate moves ``y`` by exactly
``h * t`` everywhere, and a shift of one pillar's rate is a triangle in ``y`` that peaks at that
pillar and vanishes at its neighbours.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pyarrow as pa

from kestro.clock import YEAR_MS
from kestro.market import Market
from kestro.templates import Contract

__all__ = ["DEFAULT_BUMPS", "check_bumps", "roll_forward", "scale_spot", "shift_pillar", "shift_rates", "shift_vol"]

DEFAULT_BUMPS: dict[str, float] = {"spot": 0.01, "vol": 0.01, "rate": 1e-4, "time": 1 / 365}
"""Bump sizes: ``spot`` relative (1%), ``vol`` absolute (one vol point), ``rate`` absolute
(one basis point), ``time`` in years (one day)."""


def check_bumps(bumps: object) -> dict[str, float]:
    """The bump sizes: :data:`DEFAULT_BUMPS` with the caller's values for the keys given."""
    if bumps is None:
        return dict(DEFAULT_BUMPS)
    if not isinstance(bumps, dict):
        raise TypeError(f"bumps must be a dict such as {DEFAULT_BUMPS}, got {type(bumps).__name__}")
    unknown = sorted(set(bumps) - set(DEFAULT_BUMPS))
    if unknown:
        raise ValueError(f"unknown bump {unknown[0]!r}; bumps are {', '.join(DEFAULT_BUMPS)}")
    sizes = dict(DEFAULT_BUMPS)
    for key, value in bumps.items():
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
            raise ValueError(f"bump {key!r} must be a positive finite number, got {value!r}")
        sizes[key] = float(value)
    if sizes["spot"] >= 1:
        raise ValueError(f"the spot bump is relative (0.01 is 1%) and must be below 1, got {sizes['spot']!r}")
    return sizes


def _entry(kind: str, times: np.ndarray, values: np.ndarray) -> tuple[str, np.ndarray]:
    return kind, np.array([times, values], dtype=np.float64)


def scale_spot(market: Market, asset: str, factor: float) -> Market:
    """The market with every forward of ``asset`` multiplied by ``factor`` (its spot too)."""
    if asset not in market.forwards:
        raise ValueError(f"no forward curve for {asset!r} to bump; assets: {', '.join(market.forwards) or 'none'}")
    kind, data = market.forwards[asset]
    forwards = dict(market.forwards)
    forwards[asset] = _entry(kind, data[0], data[1] * factor)
    return dataclasses.replace(market, forwards=forwards)


def _discount(market: Market) -> tuple[str, np.ndarray]:
    if market.discount is None:
        raise ValueError("this market has no discount curve to bump")
    return market.discount


def shift_rates(market: Market, shift: float, *, forwards: bool = True) -> Market:
    """Every zero rate of the discount curve moved by ``shift``; with ``forwards`` each asset's
    forward curve multiplied by ``exp(shift * t)``, since a forward carries the rate."""
    kind, data = _discount(market)
    moved = {}
    if forwards:
        for name, (asset_kind, asset_data) in market.forwards.items():
            moved[name] = _entry(asset_kind, asset_data[0], asset_data[1] * np.exp(shift * asset_data[0]))
    return dataclasses.replace(market, discount=_entry(kind, data[0], data[1] + shift),
                               forwards={**market.forwards, **moved})


def shift_pillar(market: Market, index: int, shift: float) -> Market:
    """The discount curve's zero rate at pillar ``index`` moved by ``shift``, the others kept."""
    kind, data = _discount(market)
    rates = data[1].copy()
    rates[index] += shift
    return dataclasses.replace(market, discount=_entry(kind, data[0], rates))


def shift_vol(market: Market, asset: str, shift: float) -> Market:
    """The market with ``Market.vols[asset]`` moved by ``shift``."""
    if asset not in market.vols:
        raise ValueError(f"no volatility for {asset!r} in Market.vols to bump; pass vol=... instead")
    return dataclasses.replace(market, vols={**market.vols, asset: market.vols[asset] + shift})


def roll_forward(contract: Contract, market: Market, years: float) -> tuple[Contract, Market]:
    """The contract and market ``years`` later with the same curves (their times still count from
    the pricing time).

    Events that fall inside the step are kept and moved to the new pricing time: a payment due
    in the step is then cash in hand rather than value lost, and a choice due in the step can
    still be made. Table order is kept, and with it the order of the times.
    """
    later = market.pricing_time + round(years * YEAR_MS)
    rolled = dataclasses.replace(market, pricing_time=later)
    times = contract.times
    if times.size == 0 or times.min() >= later:
        return contract, rolled
    column = contract.events.schema.get_field_index("time")
    moved = pa.array(np.maximum(times, later), type=contract.events.schema.field(column).type)
    return dataclasses.replace(contract, events=contract.events.set_column(column, "time", moved)), rolled
