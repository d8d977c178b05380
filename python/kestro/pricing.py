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
``"analytic"``     (closed forms, no engine)    ``vol``; European and digital options
================== ============================ ============================================

Without ``model``, :func:`choose_model` picks one from the contract and says so in the result.

:func:`price_with_stats` also returns the statistics the engine sends to ``set_stat``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterator, Optional

import _kestro
import numpy as np
import pyarrow as pa

from kestro import montecarlo
from kestro.checks import check_contract, explain
from kestro.clock import YEAR_MS
from kestro.estimates import Price
from kestro.market import DEFAULT_PATHS, Market, check_vol
from kestro.models import model_info
from kestro.paths import GbmPaths
from kestro.recorder import Recorder
from kestro.templates import Contract

__all__ = ["ALL_STATS", "Grid", "PriceResult", "choose_model", "price", "price_with_stats"]

ALL_STATS = 1 | 2 | 8
"""The ``flags`` value that asks for every statistic: "PV_VEC", "CHOICES" and "CASHFLOW"."""


@dataclass(frozen=True)
class Grid:
    """The finite-difference grid a price was computed on.

    ``model`` (``"black_scholes"`` or ``"hull_white"``), ``n_x`` (half the number of intervals),
    ``max_x`` (half-width), ``centre`` (``ln S0`` for Black-Scholes, 0 for Hull-White) and
    ``timestep`` (years). :func:`kestro.grid_values` and the plots read it from a result.
    """

    model: str
    n_x: int
    max_x: float
    centre: float
    timestep: float

    def coordinates(self) -> np.ndarray:
        """The node coordinates, node 0 at the top (see :func:`kestro.grid_coordinates`)."""
        from kestro.results import grid_coordinates

        return grid_coordinates(self.n_x, self.max_x, self.centre)


def _equal(a: Any, b: Any) -> bool:
    """``a == b`` for statistics, whose values may be NumPy arrays (equal in shape and values)
    nested in dicts, lists and tuples."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.shape == b.shape and \
            bool(np.array_equal(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_equal(a[key], b[key]) for key in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(_equal(x, y) for x, y in zip(a, b))
    return bool(a == b)


class PriceResult:
    """A price, the statistics the engine sent with it, and how it was priced.

    Unpacks as ``price, stats = result``. ``price`` is a :class:`~kestro.estimates.Price` (a
    float that also carries the model, the Monte Carlo standard error and exercise method);
    ``stats`` the statistics by name ("PV_VEC", "CHOICES", "CASHFLOW"); ``model`` and
    ``settings`` what it was priced with; ``grid`` the finite-difference :class:`Grid` (None
    for the other models); ``contract`` the contract priced. :func:`kestro.grid_values`,
    :func:`kestro.exercise_boundary` and the plots take a result and need nothing else.
    """

    __slots__ = ("price", "stats", "settings", "grid", "contract")

    def __init__(self, price: Price, stats: dict[str, Any], settings: Optional[dict[str, Any]] = None,
                 grid: Optional[Grid] = None, contract: Optional[Contract] = None) -> None:
        self.price, self.stats = price, stats
        self.settings = dict(settings or {})
        self.grid, self.contract = grid, contract

    def __iter__(self) -> Iterator[Any]:
        return iter((self.price, self.stats))

    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: int) -> Any:
        return (self.price, self.stats)[index]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, PriceResult):
            return _equal((self.price, self.stats), (other.price, other.stats)) and self.grid == other.grid
        if isinstance(other, tuple):
            return _equal((self.price, self.stats), other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    @property
    def model(self) -> str:
        """The model that priced it."""
        return self.price.model

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

    def __repr__(self) -> str:
        stats = ", ".join(sorted(self.stats)) or "none"
        grid = f", grid n_x={self.grid.n_x} max_x={self.grid.max_x:.4g}" if self.grid else ""
        return f"PriceResult({self.price!r}, stats: {stats}{grid})"

    def _repr_html_(self) -> str:
        import html

        rows = [("price", f"{float(self.price):.10g}"), ("model", self.model)]
        if self.standard_error is not None:
            rows.append(("standard error", f"{self.standard_error:.3g}"))
        if self.exercise is not None:
            rows.append(("exercise", self.exercise))
        if self.grid is not None:
            rows.append(("grid", f"{2 * self.grid.n_x + 1} nodes, half-width {self.grid.max_x:.4g}, "
                                 f"step {self.grid.timestep:.4g} y"))
        rows += [(key, repr(value)) for key, value in sorted(self.settings.items())]
        rows.append(("statistics", ", ".join(sorted(self.stats)) or "none"))
        body = "".join(f"<tr><th style='text-align:left'>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>"
                       for k, v in rows)
        return f"<table>{body}</table>"


def _as_contract(contract: Any) -> Contract:
    """A contract from a Contract or a bare timetable."""
    if isinstance(contract, Contract):
        return contract
    if isinstance(contract, pa.RecordBatch):
        return Contract(contract)
    raise TypeError(f"contract must be a kestro.Contract or a timetable RecordBatch, got {type(contract).__name__}")


def _gbm_paths(contract: Contract, market: Market, vol: Any, paths: int, seed: Any, antithetic: bool,
               allow_large: bool) -> Any:
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
    for name, value in vols.items():
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            check_vol(f"vol of {name!r}", float(value), allow_large)
    if not vols:
        return None  # nothing diffuses: the engine takes every asset at its forward
    return GbmPaths(forwards={name: market.forwards[name] for name in vols}, vols=vols, paths=paths, seed=seed,
                    antithetic=antithetic)


def _contract_assets(contract: Contract, market: Market) -> list[str]:
    """The assets a contract reads: its own list, else the units that are neither tracks nor expressions."""
    if contract.assets:
        return [name for name in contract.assets if name != market.base]
    units = contract.events.column("unit").dictionary.to_pylist()
    own = set(contract.tracks) | set(contract.expressions) | {market.base}
    return [name for name in units if name is not None and name not in own]


def _named_ops(contract: Contract) -> bool:
    return any(op not in (None, "+", ">", "<") for op in contract.events.column("op").dictionary.to_pylist())


def _has_choices(contract: Contract) -> bool:
    return any(op in (">", "<") for op in contract.events.column("op").dictionary.to_pylist())


def choose_model(contract: Any, market: Market, state: Any = None, **settings: Any) -> str:
    """The model :func:`price` uses when none is given, chosen from the contract and the settings.

    A path source ``state`` or Monte Carlo settings mean ``"monte_carlo"``; ``meanrev`` means
    ``"hull_white"``. Otherwise: a contract linear in its assets (no choices, phrases or named
    ops: bonds, swaps, forwards, fixed cashflows) is priced exactly by ``"fixed"`` on the
    forwards with deterministic rates; a European or digital option with a
    volatility (``vol=`` or ``Market.vols``) has a closed form (``"analytic"``); another
    contract on one asset without phrases goes to the ``"black_scholes"`` grid, anything else
    to ``"monte_carlo"``. Zero-coupon bond assets need ``"hull_white"`` settings. Raises
    ``ValueError`` when the contract's assets have no volatility to price them with.
    """
    contract = _as_contract(contract)
    if state is not None or any(key in settings for key in ("paths", "seed", "antithetic", *_EXERCISE_KEYS)):
        return "monte_carlo"
    if "meanrev" in settings:
        return "hull_white"
    from kestro.rates.bonds import BOND_PREFIX

    assets = _contract_assets(contract, market)
    if any(name.startswith(BOND_PREFIX) for name in assets):
        raise ValueError("this contract reads zero-coupon bond prices: say model='hull_white' with vol= and "
                         "meanrev=, or model='monte_carlo' with state=kestro.HullWhitePaths(...)")
    if not assets or not (_has_choices(contract) or contract.expressions or _named_ops(contract)):
        return "fixed"  # linear in the assets: their forwards price it exactly
    vol_known = "vol" in settings or all(name in market.vols for name in assets)
    if not vol_known:
        raise ValueError(f"say which model prices this contract: it depends on {', '.join(assets)}, whose "
                         "volatility is not known; pass vol=... (or set Market.vols) to price it with the "
                         "model chosen for it, or model='fixed' for its value on the forwards")
    if getattr(contract, "terms", None) is not None:
        return "analytic"
    if len(assets) == 1 and not contract.expressions:
        return "black_scholes"
    return "monte_carlo"


def _grid(model: str, market: Market, dataset: dict[str, Any]) -> Grid:
    fd = dataset["FD"]
    centre = 0.0
    if model == "black_scholes":
        centre = math.log(market.forward(dataset["BS"]["ASSET"], 0.0))
    return Grid(model, int(fd["N_X"]), float(fd["MAX_X"]), centre, float(fd["TIMESTEP"]))


def _prepare(contract: Contract, market: Market, model: str, state: Any, settings: dict[str, Any]):
    """The engine function, the contract, the ``py_state`` and the dataset of one pricing call."""
    info = model_info(model)
    if info.is_grid and contract.expressions:
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
            allow_large = settings.get("allow_large", market.allow_large)
            state = _gbm_paths(contract, market, vol, paths, seed, antithetic, allow_large) or Recorder()
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
    check_contract(contract, market, model, info.pathwise)
    engine = model
    if model == "black_scholes" and market.deterministic(model, **settings):
        engine = "fixed"  # without volatility the asset follows its forward: one path prices it exactly
        settings = {"flags": settings.get("flags", 0)}
    from kestro.rates.bonds import prepare_bonds

    # Bonds first: on the Hull-White grid they add rows at their maturities, which the grid must span.
    contract, bonds = prepare_bonds(contract, market, engine, {"ASSETS": market.assets()}, state)
    dataset = market.dataset(engine, events=contract, **settings) | {"ASSETS": bonds["ASSETS"]}
    function = model_info(engine).engine
    assert function is not None  # the analytic model never reaches the engine
    return getattr(_kestro, function), contract, state, dataset


def _analytic(contract: Contract, market: Market, settings: dict[str, Any], flags: Optional[int]) -> PriceResult:
    from kestro import analytic

    unknown = [key for key in settings if key not in model_info("analytic").settings]
    if unknown:
        raise TypeError(f"unknown setting {unknown[0]!r} for model 'analytic'; settings are vol, allow_large")
    if flags:
        raise ValueError("the analytic model sends no statistics; use a grid or Monte Carlo model for them")
    assets = _contract_assets(contract, market)
    vol = settings.get("vol")
    if vol is not None:
        check_vol("vol", float(vol), settings.get("allow_large", market.allow_large))
    if vol is None:
        missing = [name for name in assets if name not in market.vols]
        if missing:
            raise TypeError(f"the analytic model needs vol=... (or Market.vols[{missing[0]!r}])")
        vol = market.vols[assets[0]]
    value = analytic.price_contract(contract, market, vol)
    return PriceResult(Price(value, "analytic"), {}, dict(settings, vol=vol), None, contract)


def _evaluate(contract: Any, market: Market, model: Optional[str], state: Any, settings: dict[str, Any],
              flags: Optional[int]) -> PriceResult:
    contract = _as_contract(contract)
    if not isinstance(market, Market):
        raise TypeError(f"market must be a kestro.Market, got {type(market).__name__}")
    if len(contract) == 0:
        raise ValueError("the contract has no events")
    if model is None:
        model = choose_model(contract, market, state, **settings)
    model_info(model)  # an unknown model is refused here, before any other setting is read
    given = dict(settings)
    settings = dict(settings)
    if model == "analytic":
        if state is not None:
            raise TypeError("the analytic model takes no state")
        return _analytic(contract, market, settings, flags)
    if model == "monte_carlo":
        exercise = montecarlo.ExerciseSettings.take(settings)
    elif any(key in settings for key in _EXERCISE_KEYS):
        key = next(key for key in _EXERCISE_KEYS if key in settings)
        raise TypeError(f"{key} is a Monte Carlo setting; model {model!r} makes its choices on its own")
    if flags is not None:
        settings["flags"] = flags
    function, priced, state, dataset = _prepare(contract, market, model, state, settings)
    grid = _grid(model, market, dataset) if "FD" in dataset else None
    with explain(market):
        if model == "monte_carlo":
            value, stats = montecarlo.run(function, priced, market, state, dataset, dataset["MC"]["FLAGS"],
                                          settings.get("seed", 0), exercise)
            return PriceResult(value, stats, given, grid, contract)
        if flags is None:  # no statistics wanted: the caller's state, if any, receives what it asked for
            value = function(priced.events, state, dataset, priced.expressions)
            return PriceResult(Price(value, model), {}, given, grid, contract)
        recorder = Recorder(state)
        value = function(priced.events, recorder, dataset, priced.expressions)
        return PriceResult(Price(value, model), dict(recorder.stats), given, grid, contract)


_EXERCISE_KEYS = ("exercise", "basis_degree", "calibration_paths", "calibration_seed", "upper_bound")


def price(contract: Contract | pa.RecordBatch, market: Market, model: Optional[str] = None, *, state: Any = None,
          **settings: Any) -> Price:
    """The price of ``contract`` in ``market`` under ``model``: the value of its track 0 at the pricing time.

    ``model`` is one of ``"fixed"``, ``"monte_carlo"``, ``"black_scholes"``, ``"hull_white"``,
    ``"analytic"``, or None to let :func:`choose_model` pick it from the contract (the
    result's ``model`` says which was used);
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


def price_with_stats(contract: Contract | pa.RecordBatch, market: Market, model: Optional[str] = None, *,
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
