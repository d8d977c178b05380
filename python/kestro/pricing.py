"""Price a contract against a market with one call.

::

    import kestro
    put = kestro.american_put(strike=100, years=1.0, asset="STK")
    kestro.price(put, kestro.Market.flat(rate=0.05, spots={"STK": 100.0}), model="black_scholes", vol=0.2)

:func:`price` builds the dataset of the chosen model from the market (:meth:`Market.dataset`),
checks what the engine would refuse less clearly, and calls the matching ``_kestro`` function:

================== ============================ ============================================
model              engine function              what it needs
================== ============================ ============================================
``"fixed"``        ``fixed_price``              nothing: every asset at its forward, one path
``"monte_carlo"``  ``mc_price``                 a path source ``state``, or ``vol`` for GBM
``"black_scholes"`` ``fd_blackscholes_price``   ``vol`` (or ``Market.vols``); one asset diffused
                                                (``vol=0``: ``fixed_price``, nothing diffuses)
``"hull_white"``   ``fd_hullwhite_price``       ``vol`` and ``meanrev`` of the short rate
================== ============================ ============================================

:func:`price_with_stats` also returns the statistics the engine sends to ``set_stat``.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Optional

import _kestro
import pyarrow as pa

from kestro import montecarlo
from kestro.estimates import Price
from kestro.market import DEFAULT_PATHS, MODELS, Market
from kestro.paths import GbmPaths
from kestro.recorder import Recorder
from kestro.templates import Contract
from kestro.timetable import YEAR_MS

__all__ = ["ALL_STATS", "PriceResult", "price", "price_with_stats"]

ALL_STATS = 1 | 2 | 8
"""The ``flags`` value that asks for every statistic: "PV_VEC", "CHOICES" and "CASHFLOW"."""

_ENGINE = {
    "fixed": "fixed_price",
    "monte_carlo": "mc_price",
    "black_scholes": "fd_blackscholes_price",
    "hull_white": "fd_hullwhite_price",
}
_GRID_MODELS = ("black_scholes", "hull_white")


class PriceResult(NamedTuple):
    """A price and the statistics the engine sent with it, by name ("PV_VEC", "CHOICES", "CASHFLOW").

    ``price`` is a :class:`~kestro.estimates.Price`: a float that also carries the model, the
    Monte Carlo standard error and exercise method, and the upper bound when asked for; the
    properties below read them.
    """

    price: Price
    stats: dict[str, Any]

    @property
    def standard_error(self) -> Optional[float]:
        """The Monte Carlo standard error of the price (None for the other models)."""
        return self.price.standard_error

    @property
    def exercise(self) -> Optional[str]:
        """How the Monte Carlo choices were made: "regression", "pathwise" or None."""
        return self.price.exercise

    @property
    def upper_bound(self) -> Optional[Price]:
        """The path-wise price on the same paths, when ``upper_bound=True`` asked for it."""
        return self.price.upper_bound


def _as_contract(contract: Any) -> Contract:
    if isinstance(contract, Contract):
        return contract
    if isinstance(contract, pa.RecordBatch):
        return Contract(contract)
    raise TypeError(f"contract must be a kestro.Contract or a timetable RecordBatch, got {type(contract).__name__}")


def _gbm_paths(contract: Contract, market: Market, vol: Any, paths: int, seed: Any, antithetic: bool) -> Any:
    """GBM paths around the market's forwards for the contract's assets; None when nothing diffuses.

    A plain timetable does not say which assets it uses: then every asset of the market may diffuse.
    """
    if vol is None:
        names = contract.assets or tuple(market.forwards)
        vols = {name: market.vols[name] for name in names if name in market.vols}
    elif isinstance(vol, dict):
        vols = dict(vol)
    else:
        assets = contract.assets or tuple(market.forwards)
        if len(assets) != 1:
            raise ValueError(f"vol={vol!r} is one number but the contract depends on {len(assets)} assets; "
                             "give vol as a dict by asset")
        vols = {assets[0]: vol}
    missing = [name for name in contract.assets if name not in vols and name != market.base]
    if missing:
        raise ValueError(f"monte_carlo needs a volatility for {', '.join(missing)}: pass vol=..., set "
                         "Market.vols, or pass your own path source as state=")
    unknown = [name for name in vols if name not in market.forwards]
    if unknown:
        raise ValueError(f"no forward curve for {', '.join(unknown)} in the market")
    if not vols:
        return None  # nothing diffuses: the engine takes every asset at its forward
    return GbmPaths(forwards={name: market.forwards[name] for name in vols}, vols=vols, paths=paths, seed=seed,
                    antithetic=antithetic)


def _prepare(contract: Any, market: Market, model: str, state: Any, settings: dict[str, Any]):
    """The engine function, the contract, the ``py_state`` and the dataset of one pricing call."""
    contract = _as_contract(contract)
    if not isinstance(market, Market):
        raise TypeError(f"market must be a kestro.Market, got {type(market).__name__}")
    if model not in _ENGINE:
        raise ValueError(f"unknown model {model!r}; models are {', '.join(MODELS)}")
    if len(contract) == 0:
        raise ValueError("the contract has no events")
    if model in _GRID_MODELS and contract.expressions:
        raise ValueError(f"the {model} grid cannot evaluate phrases or snappers, which this contract uses "
                         f"({', '.join(contract.expressions)}); price it with model='monte_carlo' or 'fixed'")
    first = contract.first_time
    if first < market.pricing_time:
        raise ValueError(f"the contract has events before the market's pricing time (the first is "
                         f"{(market.pricing_time - first) / YEAR_MS:.6g} years earlier); start it at or after "
                         "the pricing time")

    settings = dict(settings)
    if model == "monte_carlo":
        vol = settings.pop("vol", None)
        antithetic = settings.pop("antithetic", False)
        if not isinstance(antithetic, bool):
            raise TypeError(f"antithetic must be True or False, got {antithetic!r}")
        if state is None:
            paths = settings.setdefault("paths", DEFAULT_PATHS)
            seed = settings.setdefault("seed", 0)
            market.dataset(model, **settings)  # refuse bad settings before drawing any path
            # Without assets to diffuse, a source that answers nothing: the engine uses the curves.
            state = _gbm_paths(contract, market, vol, paths, seed, antithetic) or Recorder()
        else:
            if vol is not None or antithetic:
                raise TypeError(f"{'vol' if vol is not None else 'antithetic'} sets up the default GBM paths; "
                                "with your own state= set it on the state")
            clock = getattr(state, "pricing_time", None)
            if isinstance(clock, int) and clock != market.pricing_time:
                raise ValueError(f"the path source starts at {clock} ms but the market prices at {market.pricing_time} "
                                 "ms: give the source the market's pricing_time")
            count = montecarlo.path_count(state)
            if count is not None:
                if settings.setdefault("paths", count) != count:
                    raise ValueError(f"paths={settings['paths']} but the state serves {count} paths")
    elif model == "black_scholes" and "asset" not in settings and len(contract.assets) == 1:
        settings["asset"] = contract.assets[0]
    engine = model
    if model == "black_scholes" and market.deterministic(model, **settings):
        engine = "fixed"  # without volatility the asset follows its forward: one path prices it exactly
        settings = {"flags": settings.get("flags", 0)}
    from kestro.bonds import prepare_bonds

    # Bonds first: on the Hull-White grid they add rows at their maturities, which the grid must span.
    contract, bonds = prepare_bonds(contract, market, engine, {"ASSETS": market.assets()}, state)
    dataset = market.dataset(engine, events=contract, **settings) | {"ASSETS": bonds["ASSETS"]}
    if state is not None and callable(getattr(state, "reset", None)):
        state.reset()  # path sources restart at the pricing time
    return getattr(_kestro, _ENGINE[engine]), contract, state, dataset


def _evaluate(contract: Any, market: Market, model: str, state: Any, settings: dict[str, Any],
              flags: Optional[int]) -> PriceResult:
    settings = dict(settings)
    if model == "monte_carlo":
        exercise = montecarlo.ExerciseSettings.take(settings)
    elif any(key in settings for key in _EXERCISE_KEYS):
        key = next(key for key in _EXERCISE_KEYS if key in settings)
        raise TypeError(f"{key} is a Monte Carlo setting; model {model!r} makes its choices on its own")
    if flags is not None:
        settings["flags"] = flags
    function, contract, state, dataset = _prepare(contract, market, model, state, settings)
    if model == "monte_carlo":
        value, stats = montecarlo.run(function, contract, market, state, dataset, dataset["MC"]["FLAGS"],
                                      settings.get("seed", 0), exercise)
        return PriceResult(value, stats)
    if flags is None:  # no statistics wanted: the caller's state, if any, receives what it asked for
        return PriceResult(Price(function(contract.events, state, dataset, contract.expressions), model), {})
    recorder = Recorder(state)
    value = function(contract.events, recorder, dataset, contract.expressions)
    return PriceResult(Price(value, model), dict(recorder.stats))


_EXERCISE_KEYS = ("exercise", "basis_degree", "calibration_paths", "calibration_seed", "upper_bound")


def price(contract: Contract | pa.RecordBatch, market: Market, model: str = "fixed", *, state: Any = None,
          **settings: Any) -> Price:
    """The price of ``contract`` in ``market`` under ``model``: the value of its track 0 at the pricing time.

    ``model`` is one of ``"fixed"``, ``"monte_carlo"``, ``"black_scholes"``, ``"hull_white"``;
    ``settings`` are the model's keyword settings (see :meth:`Market.dataset`): ``flags``;
    ``paths``, ``seed`` for Monte Carlo; ``vol``, ``asset``, ``n_x``, ``timestep``, ``max_x``,
    ``damping`` for Black-Scholes; ``vol``, ``meanrev`` and the grid settings for Hull-White.

    Grids. Grid settings not given are chosen from the contract (its life, its event dates,
    whether it makes choices) for about 1e-3 relative accuracy on vanilla options, see
    :mod:`kestro.grid`; a given setting whose grid cannot resolve the contract draws a
    :class:`kestro.grid.GridWarning` naming it. Under ``"black_scholes"`` with ``vol=0`` (or
    ``Market.vols`` at 0) nothing moves: the contract is priced on its asset's forward path by
    the engine's ``fixed_price``, exactly, and the grid settings are not used ("PV_VEC" then
    holds one path).

    ``state`` is the engine's ``py_state``: under ``"monte_carlo"`` the path source (for
    example :class:`kestro.paths.GbmPaths`, whose ``paths`` sets ``PATHS``), otherwise only a
    receiver of statistics. Without it, ``"monte_carlo"`` simulates GBM paths of the contract's
    assets around their forwards with ``vol`` (a number, or a dict by asset; default
    ``Market.vols``), ``paths`` (10000), ``seed`` (0) and ``antithetic`` (False). A state with
    a ``reset()`` method is reset first, so every call starts its paths at the pricing time.

    Monte Carlo and choices. A contract with choices (">" or "<" rows) is priced by default
    with a regression exercise rule (Longstaff-Schwartz, :mod:`kestro.exercise`):

    - ``exercise``: ``"regression"`` (the default when the contract has choices) fits the rule
      on calibration paths of their own and prices it on the pricing paths: a feasible policy,
      so for the holder's choices an unbiased estimate of a lower bound of the value;
      ``"pathwise"`` makes every choice with foresight of its path, an upper bound.
    - ``basis_degree`` (3): the degree of the regression polynomials in the state variables.
    - ``calibration_paths`` (the pricing paths, at most 32768) and ``calibration_seed``
      (default: a stream derived from the source's seed, independent of the pricing paths).
      The path source draws them through its ``spawn(paths, seed)``; a source without one is
      calibrated on its own pricing paths (``exercise`` then reads "regression (in-sample)").
    - ``upper_bound=True`` also prices the contract path-wise on the same paths, as
      ``result.upper_bound``, so the two bracket the value.

    The result is a :class:`~kestro.estimates.Price`: the float, with its ``model``, and under
    Monte Carlo its ``standard_error``, ``paths`` and ``exercise``.

    Raises ``TypeError``/``ValueError`` for unknown models or settings, a missing volatility,
    events before the pricing time, or expressions under a grid model; the engine's own
    failures arrive as ``RuntimeError``.
    """
    return _evaluate(contract, market, model, state, settings, None).price


def price_with_stats(contract: Contract | pa.RecordBatch, market: Market, model: str = "fixed", *,
                     state: Any = None, flags: int = ALL_STATS, **settings: Any) -> PriceResult:
    """The price, as :func:`price` gives it, and the statistics the engine sent to ``set_stat``.

    ``flags`` picks the statistics (default all: 1 "PV_VEC", the path or grid values of track
    0; 2 "CHOICES", where each choice was taken; 8 "CASHFLOW", each event's present value per
    path). The statistics of Monte Carlo hold one array per event and per path: lower
    ``flags`` for large runs. A ``state`` of your own still receives the statistics too.
    Under a regression exercise rule "CHOICES" holds, for each choice row, where the rule
    exercised.
    """
    return _evaluate(contract, market, model, state, settings, flags)
