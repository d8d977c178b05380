"""Sensitivities of one contract: :func:`greeks`.

Option contracts (a contract on an asset) get delta, gamma, vega, theta and rho; rate contracts
(no asset but the base currency and zero-coupon bonds on its curve) get DV01, one key-rate
DV01 per pillar of the discount curve, theta, and vega where the model has a rate volatility.

How each is found, with the sizes of :data:`kestro.risk.bumps.DEFAULT_BUMPS` (``bumps=`` changes them):

- **delta, gamma** under ``"black_scholes"``: from the grid of one pricing. The grid is uniform
  in ``x = ln S`` and centred at ``ln S0``, so central differences at the centre node give
  ``V_x`` and ``V_xx``, and ``delta = V_x / S0``, ``gamma = (V_xx - V_x) / S0**2``. Under the
  other models: the asset's forward curve scaled by ``1 +- spot`` and central differences.
- **vega**: the volatility moved by ``+- vol``; per 1.00 of volatility (divide by 100 for one
  vol point).
- **theta**: the pricing time moved ``time`` years later with the same curves (curve times
  still count from the pricing time); events that fall inside that step are moved to its end,
  so a payment in the step counts as cash in hand. A one-sided difference, per year.
- **rho**: every zero rate of the discount curve moved by ``+- rate`` and every asset forward
  multiplied by ``exp(+- rate * t)``, since the forward carries the rate; per 1.00 of rate.
- **DV01**: the price change for a fall of one basis point in every zero rate (positive for a
  long bond), measured with a fall of ``rate`` and scaled to one basis point.
- **key-rate DV01**: the same, bumping one pillar's zero rate at a time; the curve
  interpolates ``rate * t`` linearly, so each bump is a triangle between the neighbouring
  pillars and the key-rate DV01s add up to the DV01.

Bumped prices share everything else with the base price: the same finite-difference grid
(``n_x``, ``max_x`` and ``timestep`` of the base pricing) and, under Monte Carlo, the same
random numbers (the same ``seed``, or the caller's path source rebuilt on the bumped market
with its own seed: :meth:`kestro.GbmPaths.bumped`, :meth:`kestro.HullWhitePaths.bumped`).
Every price goes through :func:`kestro.price` with the package defaults, so model defaults
apply to greeks as to prices. With ``client=`` the bumped prices are priced on the Dask
cluster's workers (see :mod:`kestro.risk.scale`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Optional

from kestro.risk import bumps as shifted
from kestro.risk import scale
from kestro.rates.bonds import BOND_PREFIX
from kestro.estimates import Price
from kestro.market import Market
from kestro.models import model_info
from kestro.paths import GbmPaths, HullWhitePaths
from kestro.pricing import _as_contract, _contract_assets, choose_model, price, price_with_stats
from kestro.recorder import Recorder
from kestro.templates import Contract

__all__ = ["Greeks", "greeks"]

_ONE_BP = 1e-4


@dataclass(frozen=True)
class Greeks:
    """The sensitivities of one contract (None where one does not apply).

    - ``price``: the base price; ``standard_error`` its Monte Carlo error (None otherwise);
      ``model``: the model that priced it; ``asset``: the asset of delta, gamma and vega
      (None for a rate contract).
    - ``delta`` (per unit of spot), ``gamma`` (per unit of spot squared), ``vega`` (per 1.00
      of volatility), ``theta`` (per year of time passing), ``rho`` (per 1.00 of rate).
    - ``dv01``: the price change for a one basis point fall of every zero rate;
      ``key_rate_dv01``: the same for each pillar of the discount curve, by pillar time in years.
    - ``method``: how delta and gamma were found (``"grid"``, ``"bump"`` or ``"closed form"``);
      ``bumps``: the bump sizes used.
    """

    price: float
    model: str
    asset: Optional[str] = None
    standard_error: Optional[float] = None
    delta: Optional[float] = None
    gamma: Optional[float] = None
    vega: Optional[float] = None
    theta: Optional[float] = None
    rho: Optional[float] = None
    dv01: Optional[float] = None
    key_rate_dv01: dict[float, float] = field(default_factory=dict)
    method: str = "bump"
    bumps: dict[str, float] = field(default_factory=dict)

    SENSITIVITIES = ("delta", "gamma", "vega", "theta", "rho", "dv01")

    def to_dict(self) -> dict[str, Any]:
        """Every field by name; ``key_rate_dv01`` and ``bumps`` as plain dicts."""
        return {"price": self.price, "standard_error": self.standard_error, "model": self.model,
                "asset": self.asset, **{name: getattr(self, name) for name in self.SENSITIVITIES},
                "key_rate_dv01": dict(self.key_rate_dv01), "method": self.method, "bumps": dict(self.bumps)}

    def __repr__(self) -> str:
        head = f"Greeks of the {self.model} price {self.price:.10g}"
        if self.standard_error is not None:
            head += f" ± {self.standard_error:.2g}"
        if self.asset is not None:
            head += f" on {self.asset}"
        lines = [head + ":"]
        for name in self.SENSITIVITIES:
            value = getattr(self, name)
            if value is not None:
                note = f"  ({self.method})" if name in ("delta", "gamma") else ""
                lines.append(f"  {name:<6} {value: .8g}{note}")
        if self.key_rate_dv01:
            pillars = ", ".join(f"{t:g}y {v:.6g}" for t, v in self.key_rate_dv01.items())
            lines.append(f"  key-rate dv01: {pillars}")
        return "\n".join(lines)


@dataclass
class _Scenario:
    """One pricing of a greeks run."""

    name: str
    contract: Contract
    market: Market
    model: str
    settings: dict[str, Any]
    grid_values: bool = False


def _evaluate(scenario: _Scenario) -> tuple[str, Any]:
    """The price of one scenario (with the grid's node values for the base of a grid greek)."""
    if scenario.grid_values:
        result = price_with_stats(scenario.contract, scenario.market, scenario.model, flags=1, **scenario.settings)
        return scenario.name, (result.price, result.stats["PV_VEC"], result.grid)
    return scenario.name, price(scenario.contract, scenario.market, scenario.model, **scenario.settings)


def _rebuilt(state: Any, **changes: Any) -> Any:
    """The caller's path source on a bumped market (``changes`` as ``GbmPaths.bumped`` and
    ``HullWhitePaths.bumped`` take them, each applied where it makes sense for the source)."""
    if isinstance(state, Recorder) and state.source is not None:
        return Recorder(_rebuilt(state.source, **changes), state.forward)
    if isinstance(state, GbmPaths):
        gbm = {key: changes[key] for key in ("forwards", "vols", "rate_shift") if key in changes}
        if "forwards" in gbm:
            gbm["forwards"] = {name: value for name, value in gbm["forwards"].items() if name in state.names}
        if "vols" in gbm:
            gbm["vols"] = {name: value for name, value in gbm["vols"].items() if name in state.names}
        if "discount" in changes and "rate_shift" not in changes and state.discount is not None:
            raise ValueError("GbmPaths with a discount curve of their own cannot follow a key-rate bump: leave "
                             "discount out so the engine discounts on the market's curve")
        return state.bumped(**gbm) if gbm else state
    if isinstance(state, HullWhitePaths):
        hw = {key: changes[key] for key in ("discount", "vol_shift", "pricing_time") if key in changes}
        return state.bumped(**hw) if hw else state
    if changes and not (set(changes) == {"pricing_time"} and not hasattr(state, "pricing_time")):
        raise ValueError(f"greeks cannot move the market under a path source of type {type(state).__name__}: use "
                         "kestro.GbmPaths or kestro.HullWhitePaths (they rebuild on a bumped market with the same "
                         "random numbers), or leave state= out and give vol= for GBM paths")
    return state


def _same_curve(a: Any, b: Any) -> bool:
    import numpy as np

    return a is not None and b is not None and np.array_equal(np.asarray(a[1]), np.asarray(b[1]))


class _Plan:
    """The scenarios of one greeks run, built from the base pricing."""

    def __init__(self, contract: Contract, market: Market, model: str, settings: dict[str, Any], state: Any,
                 sizes: dict[str, float]) -> None:
        self.contract, self.market, self.model = contract, market, model
        self.settings, self.state, self.sizes = settings, state, sizes
        self.scenarios: list[_Scenario] = []

    def add(self, name: str, market: Optional[Market] = None, contract: Optional[Contract] = None,
            settings: Optional[dict[str, Any]] = None, **state_changes: Any) -> None:
        """A scenario on ``market`` (default the base's) with ``contract`` and ``settings`` (default
        the base's), and the path source rebuilt with ``state_changes``."""
        merged = dict(self.settings if settings is None else settings)
        if self.state is not None and self.model != "monte_carlo":
            merged["state"] = self.state  # only a receiver of statistics: nothing to move
        elif self.state is not None:
            if "discount" in state_changes and isinstance(_inner(self.state), HullWhitePaths):
                if not _same_curve(_inner(self.state).discount.to_entry(), self.market.discount):
                    raise ValueError("the HullWhitePaths are fitted to a curve other than the market's discount "
                                     "curve, so a rate bump cannot reach them: build them from market.discount")
            merged["state"] = _rebuilt(self.state, **state_changes)
        self.scenarios.append(_Scenario(name, contract or self.contract, market or self.market, self.model, merged))


def _inner(state: Any) -> Any:
    return state.source if isinstance(state, Recorder) and state.source is not None else state


def _vol_of(model: str, underlying: Optional[str], market: Market, settings: dict[str, Any], state: Any) -> Any:
    """The volatility a vega bumps: a number, a dict by asset, "market" (Market.vols) or None."""
    if model == "fixed":
        return None
    if model == "monte_carlo" and state is not None:
        return "state" if isinstance(_inner(state), (GbmPaths, HullWhitePaths)) else None
    if "vol" in settings:
        return settings["vol"]
    if model != "hull_white" and underlying is not None and underlying in market.vols:
        return "market"
    return None


def _add_vega(plan: _Plan, underlying: Optional[str], vol: Any) -> None:
    """The two scenarios of a central vol bump, wherever the volatility comes from."""
    if isinstance(vol, dict) and underlying not in vol:
        return  # the asset does not diffuse: no vega
    h = plan.sizes["vol"]
    for sign, name in ((1.0, "vol_up"), (-1.0, "vol_down")):
        if vol == "state":
            hull_white = isinstance(_inner(plan.state), HullWhitePaths)
            plan.add(name, **({"vol_shift": sign * h} if hull_white else {"vols": {underlying: sign * h}}))
        elif vol == "market":
            plan.add(name, market=shifted.shift_vol(plan.market, str(underlying), sign * h))
        elif isinstance(vol, dict):
            plan.add(name, settings={**plan.settings, "vol": {**vol, underlying: vol[underlying] + sign * h}})
        else:
            plan.add(name, settings={**plan.settings, "vol": float(vol) + sign * h})


def _add_theta(plan: _Plan) -> None:
    contract, market = shifted.roll_forward(plan.contract, plan.market, plan.sizes["time"])
    plan.add("later", market=market, contract=contract, pricing_time=market.pricing_time)


def _closed_form(contract: Contract, market: Market, settings: dict[str, Any]) -> Optional[dict[str, float]]:
    """Closed-form greeks of a contract that has them (European and digital options)."""
    from kestro import analytic

    if getattr(contract, "terms", None) is None:
        return None
    found = analytic.greeks_contract(contract, market, settings.get("vol"))
    return {name: float(found[name]) for name in ("delta", "gamma", "vega", "theta", "rho")}


def greeks(contract: Contract, market: Market, model: Optional[str] = None, *, bumps: Optional[dict[str, float]] = None,
           client: Any = None, progress: Optional[bool] = None, state: Any = None, **settings: Any) -> Greeks:
    """The sensitivities of ``contract`` in ``market`` under ``model`` (see the module description).

    ``model`` and ``settings`` are those of :func:`kestro.price` (None picks the model as
    :func:`kestro.choose_model` does); ``state`` a Monte Carlo path source, which is rebuilt on
    each bumped market with the same random numbers. ``asset=`` names the asset of delta,
    gamma and vega for a contract on several assets (default: its first). ``bumps`` overrides
    bump sizes: ``{"spot": 0.01 (relative), "vol": 0.01, "rate": 1e-4, "time": 1 / 365}``.
    ``client`` prices the bumped scenarios on a Dask cluster; ``progress`` shows a bar.

    Raises what :func:`kestro.price` raises for the base price; ``ValueError`` for unknown
    bumps or a path source that cannot follow a bumped market.
    """
    contract = _as_contract(contract)
    if not isinstance(market, Market):
        raise TypeError(f"market must be a kestro.Market, got {type(market).__name__}")
    sizes = shifted.check_bumps(bumps)
    settings = dict(settings)
    if model is None:
        model = choose_model(contract, market, state, **settings)
    model_info(model)
    assets = _contract_assets(contract, market)
    rate_contract = all(name.startswith(BOND_PREFIX) for name in assets)
    underlying = settings.get("asset") if model == "black_scholes" else settings.pop("asset", None)
    if underlying is None and not rate_contract:
        underlying = next(name for name in assets if not name.startswith(BOND_PREFIX))
    if underlying is not None and not rate_contract and underlying not in assets:
        raise ValueError(f"asset {underlying!r} is not one this contract depends on ({', '.join(assets)})")
    if model == "black_scholes" and underlying is not None:
        settings["asset"] = underlying

    grid_greeks = model == "black_scholes" and not rate_contract
    base_settings = dict(settings) if state is None else dict(settings, state=state)
    base_scenario = _Scenario("base", contract, market, model, base_settings, grid_values=model_info(model).is_grid)
    ((_, base),) = scale.run(_evaluate, [base_scenario], client=client, progress=False, description="kestro-greeks")
    grid = None
    if base_scenario.grid_values:
        base, pv_vec, grid = base
        # Bumped prices on the base's grid: its discretisation error then cancels in the differences.
        settings.update(n_x=grid.n_x, max_x=grid.max_x, timestep=grid.timestep)
    value = float(base)

    closed = _closed_form(contract, market, settings) if model == "analytic" and not rate_contract else None
    plan = _Plan(contract, market, model, settings, state, sizes)
    h_spot, h_rate = sizes["spot"], sizes["rate"]
    vol = _vol_of(model, underlying, market, settings, state)
    if rate_contract:
        lower = shifted.shift_rates(market, -h_rate, forwards=False)
        plan.add("rates_down", market=lower, rate_shift=-h_rate, discount=lower.discount)
        pillars = market.discount[1][0] if market.discount is not None else []
        for index in range(len(pillars)):
            bumped = shifted.shift_pillar(market, index, -h_rate)
            plan.add(f"pillar_{index}", market=bumped, discount=bumped.discount)
        has_vega = model == "hull_white" or vol == "state" and isinstance(_inner(state), HullWhitePaths)
        if has_vega and vol is not None:
            _add_vega(plan, None, vol)
        _add_theta(plan)
    elif closed is None:
        if not grid_greeks:
            for sign, name in ((1.0, "spot_up"), (-1.0, "spot_down")):
                plan.add(name, market=shifted.scale_spot(market, str(underlying), 1.0 + sign * h_spot),
                         forwards={underlying: (1.0 + sign * h_spot, 0.0)})
        if vol is not None:
            _add_vega(plan, underlying, vol)
        _add_theta(plan)
        for sign, name in ((1.0, "rates_up"), (-1.0, "rates_down")):
            moved = shifted.shift_rates(market, sign * h_rate)
            plan.add(name, market=moved, discount=moved.discount, rate_shift=sign * h_rate,
                     forwards={n: (1.0, sign * h_rate) for n in market.forwards})

    prices = dict(scale.run(_evaluate, plan.scenarios, client=client, progress=progress,
                            description="kestro-greeks"))
    found: dict[str, Any] = {"key_rate_dv01": {}}
    method = "bump"
    if closed is not None:
        found.update({k: closed.get(k) for k in ("delta", "gamma", "vega", "theta", "rho")})
        method = "closed form"
    elif not rate_contract:
        spot = market.forward(str(underlying), 0.0)
        if grid_greeks and grid is not None:
            found["delta"], found["gamma"] = _grid_delta_gamma(pv_vec, grid)
            method = "grid"
        else:
            up, down = float(prices["spot_up"]), float(prices["spot_down"])
            found["delta"] = (up - down) / (2.0 * h_spot * spot)
            found["gamma"] = (up - 2.0 * value + down) / (h_spot * spot) ** 2
        if "rates_up" in prices:
            found["rho"] = (float(prices["rates_up"]) - float(prices["rates_down"])) / (2.0 * h_rate)
    else:
        scale_to_bp = _ONE_BP / h_rate
        found["dv01"] = (float(prices["rates_down"]) - value) * scale_to_bp
        pillars = market.discount[1][0] if market.discount is not None else []
        found["key_rate_dv01"] = {float(t): (float(prices[f"pillar_{i}"]) - value) * scale_to_bp
                                  for i, t in enumerate(pillars)}
    if "vol_up" in prices:
        found["vega"] = (float(prices["vol_up"]) - float(prices["vol_down"])) / (2.0 * sizes["vol"])
    if "later" in prices and found.get("theta") is None:
        found["theta"] = (float(prices["later"]) - value) / sizes["time"]
    error = base.standard_error if isinstance(base, Price) else None
    return Greeks(price=value, model=model, asset=None if rate_contract else underlying, standard_error=error,
                  method=method, bumps=sizes, **found)


def _grid_delta_gamma(pv_vec: Any, grid: Any) -> tuple[float, float]:
    """Delta and gamma from the node values of a Black-Scholes grid, at its centre node.

    Node ``i`` lies at ``x = centre + max_x - i * dx``: the node above the centre is ``n_x - 1``.
    """
    n, dx = grid.n_x, grid.max_x / grid.n_x
    if n < 1 or len(pv_vec) != 2 * n + 1:
        raise ValueError(f"the grid has {len(pv_vec)} node values, not 2 * n_x + 1 = {2 * n + 1}")
    up, middle, down = float(pv_vec[n - 1]), float(pv_vec[n]), float(pv_vec[n + 1])
    v_x = (up - down) / (2.0 * dx)
    v_xx = (up - 2.0 * middle + down) / (dx * dx)
    spot = math.exp(grid.centre)
    return v_x / spot, (v_xx - v_x) / (spot * spot)
