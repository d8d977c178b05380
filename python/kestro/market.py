"""Market data and model settings: the ``dataset`` dictionary of the ``_kestro`` pricing functions.

A :class:`Market` holds the base currency, the pricing time, the base currency's discount curve
(continuously compounded zero rates) and one forward curve per asset, plus optional
Black-Scholes volatilities per asset. :meth:`Market.dataset` turns it into the dictionary the
engine reads, with the section of one pricing model filled in from keyword settings and
defaults.

Curve times are year fractions (365-day years) from the pricing time. Before a curve's first
point the engine draws a straight line through the origin (a discount factor or forward of 1
at the pricing time); after its last point it refuses to extrapolate. Curves that start at
time 0, as :meth:`Market.flat` builds them, give the spot as the forward at the pricing time,
which is also where the Black-Scholes grid is centred.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from kestro import curves
from kestro.clock import DEFAULT_START, YEAR_MS, check_date
from kestro.conventions.calendars import BusinessDayConvention
from kestro.grid import MAX_DAMPING_STEPS, ContractDates, black_scholes_grid, hull_white_grid
from kestro.models import MODELS, model_info
from kestro.rates.pillars import are_year_fractions, pillar_years

__all__ = ["MODELS", "Market", "forward_curve", "zero_curve"]

ZERO_RATES = "ZERO_RATES"
FORWARDS = "FORWARDS"

DEFAULT_PATHS = 10_000
"""Monte Carlo paths when ``paths`` is not given."""

_MIN_TIMESTEP = 1 / 3.1536e10  # the engine steps in whole milliseconds
_MAX_TIMESTEP = 2**63 / 3.1536e10  # ... counted in a signed 64-bit integer


MAX_CURVE_YEARS = 200.0
"""Curve times beyond this many years are refused: they are surely dates or milliseconds."""
MAX_RATE = 1.0
"""Zero rates beyond +-100% are refused unless ``allow_large=True``: they are surely percentages."""
MAX_VOL = 5.0
"""Volatilities above 500% are refused unless ``allow_large=True``: they are surely percentages."""


_DATES_HINT = ("curve times are year fractions from the pricing time (365-day years), not dates: pass "
               "pricing_time=... to give the pillars as dates or tenors ('1M', '2Y'), or build the curve with "
               "Market.zero_curve / Market.forward_curve, which know the pricing time")


def _curve_times(times: npt.ArrayLike, pillars: _Pillars | None = None) -> np.ndarray:
    if not are_year_fractions(times):
        if pillars is None:
            raise ValueError(_DATES_HINT)
        return pillars.years(times)
    t = np.asarray(times, dtype=np.float64)
    if t.size and np.all(np.isfinite(t)) and np.max(np.abs(t)) > MAX_CURVE_YEARS:
        raise ValueError(f"curve time {float(np.max(np.abs(t))):.6g} is beyond {MAX_CURVE_YEARS:g} years: curve "
                         "times are year fractions from the pricing time, not dates or milliseconds")
    return t


@dataclass(frozen=True)
class _Pillars:
    """How pillar dates and tenors become curve times: the pricing time and the roll of tenors."""

    pricing_time: Any
    calendar: Any
    convention: Any

    def years(self, times: Any) -> np.ndarray:
        t = pillar_years(times, self.pricing_time, calendar=self.calendar, convention=self.convention)
        if t.size and t[-1] > MAX_CURVE_YEARS:
            raise ValueError(f"the last pillar is {float(t[-1]):.6g} years after the pricing time, beyond "
                             f"{MAX_CURVE_YEARS:g} years")
        return t


def _pillars(pricing_time: Any, calendar: Any, convention: Any) -> _Pillars | None:
    if pricing_time is None:
        if calendar is not None:
            raise TypeError("calendar= rolls tenor pillars, which need pricing_time=... to be placed")
        return None
    return _Pillars(check_date(pricing_time, "pricing_time"), calendar, convention)


def _curve(kind: str, times: npt.ArrayLike, values: npt.ArrayLike, what: str,
           pillars: _Pillars | None = None) -> tuple[str, np.ndarray]:
    t = _curve_times(times, pillars)
    v = np.asarray(values, dtype=np.float64)
    if t.ndim != 1 or v.ndim != 1:
        raise ValueError(f"times and {what} must be one-dimensional sequences")
    if t.size != v.size:
        raise ValueError(f"{t.size} times but {v.size} {what}")
    if t.size == 0:
        raise ValueError("a curve needs at least one point")
    if not (np.all(np.isfinite(t)) and np.all(np.isfinite(v))):
        raise ValueError(f"times and {what} must be finite")
    if np.any(np.diff(t) <= 0):
        raise ValueError("curve times must be strictly increasing")
    if t.size == 1 and t[0] <= 0:
        raise ValueError("a one-point curve must lie after the pricing time (time > 0), or it covers no time")
    return kind, np.array([t, v], dtype=np.float64)


def check_rate(name: str, rate: float, allow_large: bool) -> float:
    """``rate`` unless it looks like a percentage (beyond +-100%) and ``allow_large`` is off."""
    if abs(rate) > MAX_RATE and not allow_large:
        raise ValueError(f"{name} {rate:g} is {rate * 100:g}%: rates are fractions, so 5% is 0.05 (did you mean "
                         f"{rate / 100:g}?); pass allow_large=True if {rate * 100:g}% is meant")
    return rate


def check_vol(name: str, vol: float, allow_large: bool) -> float:
    """``vol`` unless it is negative, or looks like a percentage (above 500%) and ``allow_large`` is off."""
    if vol < 0:
        raise ValueError(f"{name} must not be negative, got {vol}")
    if vol > MAX_VOL and not allow_large:
        raise ValueError(f"{name} {vol:g} is {vol * 100:g}%: volatilities are fractions, so 20% is 0.2 (did you "
                         f"mean {vol / 100:g}?); pass allow_large=True if {vol * 100:g}% is meant")
    return vol


def zero_curve(times: Any, rates: npt.ArrayLike, *, pricing_time: Any = None, calendar: Any = None,
               convention: str | BusinessDayConvention = "modified following",
               allow_large: bool = False) -> tuple[str, np.ndarray]:
    """A discount curve entry ``("ZERO_RATES", [[times], [rates]])`` for ``Market.discount``.

    ``times`` are year fractions from the pricing time, strictly increasing; ``rates`` are
    continuously compounded zero rates, so the discount factor at a curve time t is
    ``exp(-rate * t)``. In between, ``rate * t`` is interpolated linearly; before the first
    time it runs linearly from 0 at the pricing time.

    With ``pricing_time=`` (anything :func:`kestro.to_ms` reads) the pillars may instead be
    dates (``"2027-03-01"``, ``datetime.date``, ``numpy.datetime64`` arrays, pandas
    Timestamps) or tenors (``"1M"``, ``"2Y"``) added to the pricing date, rolled onto a
    business day of ``calendar`` by ``convention`` when a calendar is given; they become
    years of 365 days from the pricing time (see :mod:`kestro.rates.pillars`). Year fractions are
    taken as they are whether or not the pricing time is given.

    Raises ``ValueError`` for ragged, non-finite or unsorted input, dates without the pricing
    time (or before it), times beyond 200 years, and rates beyond +-100% (surely
    percentages) unless ``allow_large=True``.
    """
    kind, data = _curve(ZERO_RATES, times, rates, "rates", _pillars(pricing_time, calendar, convention))
    worst = int(np.argmax(np.abs(data[1])))
    check_rate(f"rate at time {data[0][worst]:g}:", float(data[1][worst]), allow_large)
    return kind, data


def forward_curve(times: Any, forwards: npt.ArrayLike, *, spot: float | None = None, pricing_time: Any = None,
                  calendar: Any = None,
                  convention: str | BusinessDayConvention = "modified following") -> tuple[str, np.ndarray]:
    """An asset curve entry ``("FORWARDS", [[times], [forwards]])`` for ``Market.forwards``.

    ``times`` are year fractions from the pricing time, strictly increasing; ``forwards`` are
    the asset's forward prices in the base currency (positive). The engine interpolates the
    logarithm of the forward linearly; before the first time it runs from a forward of 1 at
    the pricing time, which is why a curve must start at time 0 (the spot): give that point
    first, or pass ``spot=`` and it is added. With ``pricing_time=`` the pillars may be dates
    or tenors, as for :func:`zero_curve` (the pricing date itself, or ``"0D"``, is time 0 when
    the pricing time is a midnight). Raises ``ValueError`` for ragged, non-finite,
    non-positive or unsorted input, dates without the pricing time (or before it), times
    beyond 200 years, and a curve without its time-0 point.
    """
    pillars = _pillars(pricing_time, calendar, convention)
    if spot is not None:
        spot = _real("spot", spot)
        t = _curve_times(times, pillars)
        if t.ndim == 1 and t.size and t[0] <= 0:
            raise ValueError("spot= adds the time-0 point, but the curve already starts at or before time 0")
        times = np.concatenate([[0.0], t])
        forwards = np.concatenate([[spot], np.asarray(forwards, dtype=np.float64).reshape(-1)])
    kind, data = _curve(FORWARDS, times, forwards, "forwards", pillars)
    if np.any(data[1] <= 0):
        raise ValueError("forwards must be positive")
    if data[0][0] > 0:
        raise ValueError(f"the forward curve starts at {data[0][0]:g} years; give the spot at time 0 as its first "
                         "point (or pass spot=...): without it the engine would take the spot as 1.0")
    return kind, data


def _check_entry(name: str, entry: Any) -> tuple[str, np.ndarray]:
    if not isinstance(name, str):
        raise TypeError(f"asset names must be str, got {name!r}")
    if (not isinstance(entry, tuple) or len(entry) != 2 or entry[0] not in (ZERO_RATES, FORWARDS)
            or not isinstance(entry[1], np.ndarray) or entry[1].ndim != 2 or entry[1].shape[0] < 2
            or entry[1].dtype != np.float64):
        raise TypeError(f"curve of {name!r} must be a zero_curve(...) or forward_curve(...) entry, got {entry!r}")
    return entry


def _real(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a finite number, got {value!r}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(f"{name} is too large for a double: {value!r}") from None
    if not math.isfinite(number):
        raise TypeError(f"{name} must be a finite number, got {value!r}")
    return number


def _count(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return int(value)


def _flags(value: Any) -> int:
    flags = _count("flags", value, 0)
    if flags > 15:
        raise ValueError(f"flags must lie between 0 and 15 (1 PV_VEC, 2 CHOICES, 8 CASHFLOW), got {flags}")
    return flags


@dataclass
class Market:
    """Market data for pricing: base currency, pricing time, discount and forward curves.

    - ``base``: the currency prices are given in; payments in it are discounted with
      ``discount``.
    - ``pricing_time``: the time prices refer to, anything :func:`kestro.to_ms` accepts
      (stored as milliseconds). Defaults to :data:`kestro.DEFAULT_START`, 2026-01-01 UTC.
    - ``discount``: the base currency's curve, a :func:`zero_curve` entry.
    - ``forwards``: asset name -> :func:`forward_curve` entry, the asset's forwards in ``base``.
    - ``vols``: asset name -> Black-Scholes volatility, used when ``vol`` is not given.
    - ``allow_large``: accept volatilities above 500% (refused by default: surely percentages).

    Build one with :meth:`flat`, from tables with :meth:`from_data`, or directly from curve
    entries; :meth:`zero_curve` and :meth:`forward_curve` build entries whose pillars are
    dates or tenors on this market's pricing time.
    """

    base: str = "USD"
    pricing_time: Any = DEFAULT_START
    discount: tuple[str, np.ndarray] | None = None
    forwards: dict[str, tuple[str, np.ndarray]] = field(default_factory=dict)
    vols: dict[str, float] = field(default_factory=dict)
    allow_large: bool = False

    def __post_init__(self) -> None:
        if not isinstance(self.base, str):
            raise TypeError(f"base must be a currency name (str), got {self.base!r}")
        self.pricing_time = check_date(self.pricing_time, "pricing_time")
        if self.discount is not None:
            _check_entry(self.base, self.discount)
        if not isinstance(self.forwards, Mapping):
            raise TypeError(f"forwards must map asset names to curves, got {type(self.forwards).__name__}")
        self.forwards = dict(self.forwards)
        for name, entry in self.forwards.items():
            _check_entry(name, entry)
        if self.base in self.forwards:
            raise ValueError(f"the base currency {self.base!r} takes its curve from discount, not forwards")
        self.vols = {name: check_vol(f"vol of {name!r}", _real(f"vol of {name!r}", vol), self.allow_large)
                     for name, vol in dict(self.vols).items()}

    @classmethod
    def flat(
        cls,
        rate: float = 0.05,
        spots: Mapping[str, float] | None = None,
        dividends: float | Mapping[str, float] | None = None,
        base: str = "USD",
        pricing_time: Any = DEFAULT_START,
        horizon: float = 50.0,
        vols: Mapping[str, float] | None = None,
        allow_large: bool = False,
    ) -> Market:
        """A market with one flat zero rate and assets growing at the rate less their yield.

        The discount factor is ``exp(-rate * t)``; asset A has forwards
        ``F(t) = spots[A] * exp((rate - q_A) * t)`` with ``q_A`` its dividend yield
        (``dividends`` as one number for every asset or a dict by asset, default 0). Both
        curves are given from time 0 to ``horizon`` years, so ``F(0)`` is the spot; events
        later than ``horizon`` cannot be priced. ``spots`` defaults to ``{"STK": 100.0}``.
        Rates beyond +-100% and vols above 500% are refused as likely percentages unless
        ``allow_large=True``.
        """
        rate = check_rate("rate", _real("rate", rate), allow_large)
        horizon = _real("horizon", horizon)
        if horizon <= 0:
            raise ValueError(f"horizon must be positive, got {horizon}")
        spots = {"STK": 100.0} if spots is None else dict(spots)
        if isinstance(dividends, Mapping):
            unknown = sorted(set(dividends) - set(spots))
            if unknown:
                raise ValueError(f"dividends given for assets without a spot: {', '.join(unknown)}")
            yields = {name: check_rate(f"dividend of {name!r}", _real(f"dividend of {name!r}", dividends.get(name, 0.0)),
                                       allow_large) for name in spots}
        else:
            q = 0.0 if dividends is None else check_rate("dividends", _real("dividends", dividends), allow_large)
            yields = dict.fromkeys(spots, q)
        forwards = {}
        for name, spot in spots.items():
            spot = _real(f"spot of {name!r}", spot)
            if spot <= 0:
                raise ValueError(f"spot of {name!r} must be positive, got {spot}")
            try:
                far = spot * math.exp((rate - yields[name]) * horizon)
            except OverflowError:
                raise ValueError(f"the forward of {name!r} overflows at {horizon:g} years with rate {rate:g}: "
                                 "lower the rate or the horizon") from None
            forwards[name] = forward_curve([0.0, horizon], [spot, far])
        return cls(base=base, pricing_time=pricing_time, discount=zero_curve([0.0, horizon], [rate, rate], allow_large=allow_large),
                   forwards=forwards, vols=dict(vols or {}), allow_large=allow_large)

    @classmethod
    def from_data(cls, curves: Any = None, assets: Any = None, *, pricing_time: Any = None, base: str = "USD",
                  calendar: Any = None, convention: str | BusinessDayConvention = "modified following",
                  allow_large: bool = False) -> Market:
        """A market read from tables: :func:`kestro.load_market`, which documents the columns."""
        from kestro.market_data import load_market

        return load_market(curves, assets, pricing_time=pricing_time, base=base, calendar=calendar,
                           convention=convention, allow_large=allow_large)

    def zero_curve(self, pillars: Any, rates: npt.ArrayLike, *, calendar: Any = None,
                   convention: str | BusinessDayConvention = "modified following",
                   allow_large: bool | None = None) -> tuple[str, np.ndarray]:
        """:func:`zero_curve` on this market's pricing time: pillars as dates, tenors or year fractions.

        ``allow_large`` defaults to the market's own setting.
        """
        return zero_curve(pillars, rates, pricing_time=self.pricing_time, calendar=calendar, convention=convention,
                          allow_large=self.allow_large if allow_large is None else allow_large)

    def forward_curve(self, pillars: Any, forwards: npt.ArrayLike, *, spot: float | None = None,
                      calendar: Any = None,
                      convention: str | BusinessDayConvention = "modified following") -> tuple[str, np.ndarray]:
        """:func:`forward_curve` on this market's pricing time: pillars as dates, tenors or year fractions."""
        return forward_curve(pillars, forwards, spot=spot, pricing_time=self.pricing_time, calendar=calendar,
                             convention=convention)

    def assets(self) -> dict[str, tuple[str, np.ndarray]]:
        """The dataset's ``"ASSETS"`` dictionary: the discount curve under ``base``, then the forwards."""
        assets = {} if self.discount is None else {self.base: self.discount}
        assets.update(self.forwards)
        return assets

    def discount_factor(self, years: float) -> float:
        """The discount factor ``years`` after the pricing time, as the engine reads the curve."""
        if self.discount is None:
            raise ValueError("this market has no discount curve")
        return curves.discount_factor(self.discount, _real("years", years))

    def forward(self, asset: str, years: float) -> float:
        """The forward of ``asset`` in the base currency ``years`` after the pricing time (1 for ``base``)."""
        if asset == self.base:
            return 1.0
        if asset not in self.forwards:
            raise KeyError(f"no forward curve for {asset!r}; assets: {', '.join(self.forwards) or 'none'}")
        return curves.forward(self.forwards[asset], _real("years", years))

    def dataset(self, model: str = "fixed", *, maturity: float | None = None, events: Any = None,
                **settings: Any) -> dict[str, Any]:
        """The ``dataset`` dictionary for pricing with ``model``, one of :data:`MODELS`.

        Keyword settings, by model (defaults in brackets):

        - ``"fixed"``: ``flags`` [0].
        - ``"monte_carlo"``: ``paths`` [10000, must match the path source's path count],
          ``seed`` [0, kept by the engine, unused], ``flags`` [0].
        - ``"black_scholes"``: ``vol`` [``vols[asset]``; must be positive: a grid cannot
          resolve a payoff that nothing spreads, and :func:`kestro.price` prices ``vol=0`` on
          the forward path], ``asset`` [the only asset with a forward curve], and the grid:
          ``n_x``, ``max_x``, ``timestep``, ``damping`` [chosen from the contract], ``flags`` [0].
        - ``"hull_white"``: ``vol`` and ``meanrev`` (required: the short-rate factor's
          volatility and mean-reversion speed), the grid settings, ``flags``.

        The grid: ``max_x`` is its half-width (in ln S around ln S0, or in the short-rate
        factor around 0), ``n_x`` half its node intervals, ``timestep`` the step in years and
        ``damping`` the Crank-Nicolson steps after each event date taken as two implicit half
        steps ("DAMPING_STEPS", 0 to 1000). Settings not given are chosen from the contract by
        :mod:`kestro.grid`, for 1e-3 relative accuracy on vanilla options:
        the width from the spread of the state over its life, 80 nodes per standard deviation,
        at least 150 steps over its life (Hull-White: and at most a day each) and one between
        consecutive event dates, and damping after each event date when the contract makes
        choices, unless its dates are so many that damped steps would be a tenth of all. Given
        settings are kept; each one whose grid cannot resolve the contract (too few steps or
        nodes per standard deviation, too narrow) draws a :class:`kestro.grid.GridWarning`
        that names it.

        ``flags`` picks the statistics sent to ``set_stat``: 1 ``PV_VEC``, 2 ``CHOICES``,
        8 ``CASHFLOW``. ``events`` (the contract, a :class:`kestro.Contract` or its timetable)
        and ``maturity`` (years from the pricing time to the last event; default the
        contract's, or 1 without one) only size the default grid: without ``events`` the grid
        is sized for one event at ``maturity`` with a choice. :func:`kestro.price` passes the
        contract. Unknown settings raise ``TypeError``, values out of range ``ValueError``.
        """
        flags, grid_settings, parameters = self._checked(model, settings)

        data: dict[str, Any] = {"BASE": self.base, "PRICING_TS": self.pricing_time, "ASSETS": self.assets()}
        if model == "fixed":
            data["FIXED"] = {"FLAGS": flags}
            return data
        if model == "monte_carlo":
            data["MC"] = {"PATHS": _count("paths", settings.get("paths", DEFAULT_PATHS), 1),
                          "SEED": _count("seed", settings.get("seed", 0), 0), "FLAGS": flags}
            return data
        dates = self._contract_dates(maturity, events)
        if model == "black_scholes":
            asset, vol = parameters
            if vol == 0:
                raise ValueError(f"vol=0 leaves nothing for the Black-Scholes grid to resolve: {asset} follows its "
                                 "forward and a payoff's kink stays sharp on the grid; kestro.price prices vol=0 on "
                                 "the forward path (as model='fixed' does)")
            # ln S drifts at the forward's average growth over the contract, less half the variance.
            horizon = max(dates.span, 1 / 365)
            drift = math.log(self.forward(asset, horizon) / self.forward(asset, 0.0)) / horizon - 0.5 * vol * vol
            grid = black_scholes_grid(vol, drift, dates, **grid_settings)
            data["BS"] = {"VOL": vol, "ASSET": asset}
        else:
            vol, meanrev = parameters
            grid = hull_white_grid(vol, meanrev, dates, **grid_settings)
            data["HW"] = {"MEANREV": meanrev, "VOL": vol}
        data["FD"] = {"N_X": grid.n_x, "MAX_X": grid.max_x, "TIMESTEP": grid.timestep, "DAMPING_STEPS": grid.damping,
                      "FLAGS": flags}
        return data

    def _contract_dates(self, maturity: Any, events: Any) -> ContractDates:
        """The span, event times and choices of ``events`` (a contract or its timetable), in
        years from the pricing time; one event with a choice at ``maturity`` (default 1) without."""
        span = None
        if maturity is not None:
            span = _real("maturity", maturity)
            if span < 0:
                raise ValueError(f"maturity must not be negative (years after the pricing time), got {span}")
        if events is None:
            return ContractDates(1.0 if span is None else span)
        batch = getattr(events, "events", events)  # a kestro.Contract or its timetable
        if not isinstance(batch, pa.RecordBatch) or not {"time", "op"} <= set(batch.schema.names):
            raise TypeError(f"events must be a kestro.Contract or its timetable, got {type(events).__name__}")
        millis = batch.column("time").cast(pa.int64()).to_numpy(zero_copy_only=False)
        times = tuple(float(t) for t in np.unique((millis - self.pricing_time) / YEAR_MS))
        if times and times[0] < 0:
            raise ValueError(f"the contract has events {-times[0]:.6g} years before the pricing time; the grid walks "
                             "back to the pricing time only")
        ops = batch.column("op")
        used = ops.dictionary.take(ops.indices.unique()) if pa.types.is_dictionary(ops.type) else ops.unique()
        choices = bool({">", "<"} & set(used.drop_null().to_pylist()))
        return ContractDates(max(times, default=0.0) if span is None else span, times, choices)

    def deterministic(self, model: str, **settings: Any) -> bool:
        """Whether ``model`` with these keyword settings moves no asset: ``"fixed"``, or
        ``"black_scholes"`` with a volatility of 0, which :func:`kestro.price` prices on the
        forward path. Refuses the settings :meth:`dataset` refuses, with the same errors."""
        _, _, parameters = self._checked(model, settings)
        return model == "fixed" or (model == "black_scholes" and parameters[1] == 0)

    def _checked(self, model: str, settings: Mapping[str, Any]) -> tuple[int, dict[str, Any], tuple[Any, ...]]:
        """FLAGS, the grid settings given, and the model's parameters ((asset, vol) for
        Black-Scholes, (vol, meanrev) for Hull-White), after refusing unknown or bad settings."""
        info = model_info(model)
        if info.engine is None:
            raise ValueError(f"model {model!r} is priced by the package, not the engine: it has no dataset")
        accepted = info.settings
        settings = dict(settings)
        allow_large = settings.pop("allow_large", self.allow_large)
        unknown = [k for k in settings if k not in accepted]
        if unknown:
            raise TypeError(f"unknown setting {unknown[0]!r} for model {model!r}; "
                            f"settings are {', '.join(accepted)}")
        flags = _flags(settings.get("flags", 0))
        if model not in ("black_scholes", "hull_white"):
            return flags, {}, ()
        grid_settings = _grid_settings(settings)
        if model == "black_scholes":
            return flags, grid_settings, self._black_scholes_vol(settings, allow_large)
        missing = [k for k in ("vol", "meanrev") if k not in settings]
        if missing:
            raise TypeError(f"the Hull-White model needs {' and '.join(f'{k}=...' for k in missing)}")
        vol = check_vol("vol", _real("vol", settings["vol"]), allow_large)
        meanrev = _real("meanrev", settings["meanrev"])
        if meanrev < 0:
            raise ValueError(f"meanrev must not be negative (the factor would not revert), got {meanrev}")
        return flags, grid_settings, (vol, meanrev)

    def _black_scholes_vol(self, settings: Mapping[str, Any], allow_large: bool) -> tuple[str, float]:
        """The asset the Black-Scholes grid models and its volatility, from the keyword settings
        ``asset`` and ``vol`` or their defaults (see :meth:`dataset`)."""
        asset = settings.get("asset")
        if asset is None:
            if len(self.forwards) != 1:
                raise ValueError("say which asset the Black-Scholes grid models with asset=...; this market "
                                 f"has {len(self.forwards)} asset curves")
            (asset,) = self.forwards
        if not isinstance(asset, str):
            raise TypeError(f"asset must be an asset name (str), got {asset!r}")
        if asset not in self.forwards and asset != self.base:
            raise ValueError(f"asset {asset!r} has no forward curve; assets: {', '.join(self.forwards) or 'none'}")
        if "vol" in settings:
            vol = check_vol("vol", _real("vol", settings["vol"]), allow_large)
        elif asset in self.vols:
            vol = self.vols[asset]
        else:
            raise TypeError(f"the Black-Scholes model needs vol=... (or Market.vols[{asset!r}])")
        return asset, vol


def _grid_settings(settings: Mapping[str, Any]) -> dict[str, Any]:
    """The grid settings the caller gave, checked: n_x, max_x, timestep and damping."""
    given: dict[str, Any] = {}
    if "n_x" in settings:
        given["n_x"] = _count("n_x", settings["n_x"], 1)
    if "max_x" in settings:
        given["max_x"] = _real("max_x", settings["max_x"])
        if given["max_x"] <= 0:
            raise ValueError(f"max_x must be positive, got {given['max_x']}")
    if "timestep" in settings:
        timestep = _real("timestep", settings["timestep"])
        if timestep < _MIN_TIMESTEP:
            raise ValueError(f"timestep must be at least one millisecond ({_MIN_TIMESTEP:.3g} years), got {timestep}")
        if timestep >= _MAX_TIMESTEP:
            raise ValueError(f"timestep must be below 2^63 milliseconds ({_MAX_TIMESTEP:.9g} years), got {timestep}")
        given["timestep"] = timestep
    if "damping" in settings:
        given["damping"] = _count("damping", settings["damping"], 0)
        if given["damping"] > MAX_DAMPING_STEPS:
            raise ValueError(f"damping must be at most {MAX_DAMPING_STEPS} (Crank-Nicolson steps after each event "
                             f"date taken as two implicit half steps; 2 is usual), got {given['damping']}")
    return given
