"""Finite-difference grids sized to the contract: width, nodes, time step and damped start.

The Black-Scholes and Hull-White engines step a uniform grid back from the contract's last
event with a uniform time step, in Crank-Nicolson steps; ``DAMPING_STEPS`` of them after each
event date are taken as two implicit half steps each, which smooths the kink a choice (a ">"
or "<" row: an option's payoff, an exercise) leaves in the values. :meth:`kestro.Market.dataset`
asks :func:`black_scholes_grid` or :func:`hull_white_grid` for the settings the caller did not
give. The defaults aim at 1e-3 relative accuracy (or 1e-4 of the spot in absolute terms) for
European options of a day to ten years, strikes 50 % to 150 % of the spot and volatilities of
5 % to 80 %, in a few milliseconds:

- Width: ``GRID_STDEVS`` standard deviations of the state over the contract's life (ln S for
  Black-Scholes, plus its drift; the short-rate factor for Hull-White) each side of the centre.
- Nodes: ``NODES_PER_STDEV`` per standard deviation.
- Steps: at least ``STEPS_PER_EXPIRY`` from the pricing time to the last event, and a step no
  longer than the shortest interval between consecutive event dates (``STEPS_PER_INTERVAL``
  per interval). The damped scheme's error is second order in the step and in the node
  spacing, so a fixed number of steps and of nodes per standard deviation gives the same
  relative accuracy at every expiry. Hull-White steps are also at most ``HW_MAX_TIMESTEP``: its
  short rate's convexity term is taken at each step's earlier end, an error first order in
  the step that long-dated bonds accumulate.
- Black-Scholes drift: nodes per standard deviation grow as sqrt(1 + lam) and steps as
  1 + lam with the drift-to-spread ratio ``lam = |mu - vol^2 / 2| T / (vol sqrt(T))`` (capped at
  ``DRIFT_RATIO_CAP``): a drift comparable to the spread makes the values of out-of-the-money
  options, small against their errors, converge more slowly.
- Damping: none for a contract without choices (its values stay smooth, and implicit half
  steps would only add their first-order error to its discounting); otherwise
  ``DAMPING_STEPS`` after each event date, fewer when the damped steps would make up more than
  ``DAMPED_SHARE`` of all steps (a daily-exercise option, whose choices clip the oscillations
  themselves, runs undamped).
- Budget: at most ``NODE_STEP_BUDGET`` node steps per track (a few tens of milliseconds): the
  interval minimum gives way to it. A Black-Scholes grid that still does not fit, for a
  volatility tiny against the drift (the nodes grow as drift / spread) or a given ``max_x`` far
  beyond the spread, is refused unless ``n_x`` is given; with ``vol=0`` :func:`kestro.price`
  prices on the forward path instead. Hull-White grids keep their daily steps beyond the budget.

Settings the caller gives are kept; a :class:`GridWarning` names each one whose grid cannot
resolve the contract: fewer than ``MIN_STEPS`` steps over its life, nodes more than
``1 / MIN_NODES_PER_STDEV`` standard deviations apart, or a half-width below ``MIN_STDEVS``
standard deviations (plus the drift).
"""

from __future__ import annotations

import math
import sys
import warnings
from dataclasses import dataclass

__all__ = [
    "DAMPED_SHARE", "DAMPING_STEPS", "DRIFT_RATIO_CAP", "GRID_STDEVS", "HW_MAX_TIMESTEP", "MAX_DAMPING_STEPS",
    "MIN_NODES_PER_STDEV", "MIN_STDEVS", "MIN_STEPS", "NODES_PER_STDEV", "NODE_STEP_BUDGET", "STEPS_PER_EXPIRY",
    "STEPS_PER_INTERVAL", "ContractDates", "Grid", "GridWarning", "black_scholes_grid", "hull_white_grid",
]

GRID_STDEVS = 6.0
"""The default grid spans this many standard deviations of its state each side of its centre."""
NODES_PER_STDEV = 80
"""Default nodes per standard deviation of the state over the contract's life."""
STEPS_PER_EXPIRY = 150
"""Default minimum of time steps from the pricing time to the last event."""
STEPS_PER_INTERVAL = 1
"""Default minimum of time steps between consecutive event dates, and before the first. More
costs a daily-exercise option as many times its steps without making it more accurate (its
choices keep its values smooth)."""
HW_MAX_TIMESTEP = 1 / 365
"""The longest default Hull-White step, in years."""
DRIFT_RATIO_CAP = 2.0
"""The drift-to-spread ratio up to which Black-Scholes nodes per standard deviation and steps grow."""
DAMPING_STEPS = 2
"""Crank-Nicolson steps after each event date taken as two implicit half steps, by default."""
DAMPED_SHARE = 0.1
"""The default damping is lowered until its steps make up at most this share of the walk's steps."""
MAX_DAMPING_STEPS = 1000
"""The engine's largest DAMPING_STEPS."""
NODE_STEP_BUDGET = 4_000_000
"""Default grids take at most this many node steps per track (Hull-White: but a step a day at least)."""
MIN_STEPS = 8
"""Fewer steps over the contract's life than this cannot resolve it."""
MIN_NODES_PER_STDEV = 2.0
"""Nodes further apart than 1 / this many standard deviations cannot resolve the contract."""
MIN_STDEVS = 3.0
"""A half-width below this many standard deviations (plus the drift) cuts off the distribution."""

_MS_PER_YEAR = 3.1536e10
_SAME_TIME = 1e-10  # years: the engine skips shorter steps, so such events share a date


class GridWarning(UserWarning):
    """A finite-difference grid that cannot resolve the contract to the default grid's accuracy."""


@dataclass(frozen=True)
class Grid:
    """The "FD" settings of one pricing: ``n_x`` (half the node intervals), ``max_x`` (half-width),
    ``timestep`` (years) and ``damping`` (``DAMPING_STEPS``)."""

    n_x: int
    max_x: float
    timestep: float
    damping: int


@dataclass(frozen=True)
class ContractDates:
    """What a default grid reads from the contract, in years from the pricing time.

    - ``span``: to the last event (0 when every event is at the pricing time);
    - ``times``: the event times (the span alone when empty);
    - ``choices``: whether a row makes a choice (">" or "<"); a contract of payments alone
      stays smooth and is not damped.
    """

    span: float
    times: tuple[float, ...] = ()
    choices: bool = True

    @property
    def count(self) -> int:
        """The distinct event dates after the pricing time (at least 1): where damping restarts."""
        return max(1, len(self._dates()) - 1)

    @property
    def shortest(self) -> float:
        """The shortest interval between consecutive event dates, the pricing time included; inf if none."""
        dates = self._dates()
        return min((b - a for a, b in zip(dates, dates[1:])), default=math.inf)

    def _dates(self) -> list[float]:
        dates: list[float] = []
        for t in sorted({0.0, self.span, *self.times}):
            if not dates or t - dates[-1] >= _SAME_TIME:
                dates.append(t)
        return dates


def _steps(span: float, timestep: float) -> int:
    return max(1, math.ceil(span / timestep)) if span > 0 else 1


def _timestep(dates: ContractDates, steps_per_expiry: float, nodes: int, longest: float = math.inf) -> float:
    """The step of ``steps_per_expiry`` over the span, at most ``longest``, and ``STEPS_PER_INTERVAL``
    per interval, the interval minimum giving way to the node-step budget."""
    if dates.span <= 0:
        return 1 / 365  # nothing to step: any valid step
    step = min(dates.span / steps_per_expiry, longest)
    fine = min(step, dates.shortest / STEPS_PER_INTERVAL)
    affordable = dates.span * nodes / NODE_STEP_BUDGET
    # Never below the engine's whole millisecond.
    return max(min(step, max(fine, affordable)), 1 / _MS_PER_YEAR)


def _damping(dates: ContractDates, timestep: float) -> int:
    """``DAMPING_STEPS`` for a contract with choices, lowered until the damped steps are at most
    ``DAMPED_SHARE`` of the walk's steps; 0 without choices."""
    if not dates.choices:
        return 0
    affordable = DAMPED_SHARE * _steps(dates.span, timestep) / dates.count
    return min(DAMPING_STEPS, math.floor(affordable))


def _warn(text: str) -> None:
    """Warns with the caller's line outside the package as the place."""
    frame, level = sys._getframe(1), 2
    while frame.f_back is not None and frame.f_globals.get("__name__", "").startswith("kestro"):
        frame, level = frame.f_back, level + 1
    warnings.warn(text, GridWarning, stacklevel=level)


def _check_resolution(what: str, spread: float, offset: float, grid: Grid, dates: ContractDates,
                      given: dict[str, bool]) -> None:
    """Warns about each setting whose grid cannot resolve a state spreading by ``spread`` (one
    standard deviation) and drifting by ``offset`` over the contract's life."""
    def name(setting: str, value: float) -> str:
        return f"{setting}={value:.6g}" if given[setting] else f"the default {setting} ({value:.6g})"

    steps = _steps(dates.span, grid.timestep)
    # A step of one millisecond is the engine's shortest: a shorter contract cannot take more.
    if dates.span > 0 and steps < MIN_STEPS and grid.timestep * _MS_PER_YEAR >= 2:
        _warn(f"{name('timestep', grid.timestep)} takes {steps} steps over the contract's {dates.span:.6g} years; "
              f"a grid needs at least {MIN_STEPS} to resolve its payoff: lower timestep")
    if spread <= 0:
        return  # a deterministic state: nothing spreads for the nodes to resolve
    per_stdev = spread / (grid.max_x / grid.n_x)
    if per_stdev < MIN_NODES_PER_STDEV:
        _warn(f"{name('n_x', grid.n_x)} on a half-width of {grid.max_x:.6g} puts nodes {1 / per_stdev:.3g} standard "
              f"deviations of {what} apart over the contract's life; at least {MIN_NODES_PER_STDEV:g} nodes per "
              "standard deviation are needed to resolve it: raise n_x")
    if grid.max_x < MIN_STDEVS * spread + offset:
        _warn(f"{name('max_x', grid.max_x)} spans {(grid.max_x - offset) / spread:.3g} standard deviations of {what} "
              f"over the contract's life (beyond a drift of {offset:.6g}); at least {MIN_STDEVS:g} are needed not to "
              "cut off its distribution: raise max_x")


def black_scholes_grid(vol: float, drift: float, dates: ContractDates, *, n_x: int | None = None,
                       max_x: float | None = None, timestep: float | None = None,
                       damping: int | None = None) -> Grid:
    """The grid of a Black-Scholes pricing: ln S spreads by ``vol`` per square-root year and
    drifts by ``drift`` (mu - vol^2 / 2) per year over ``dates.span``.

    Given settings are kept (``max_x`` must be positive); the others are chosen as the module
    says. With ``vol`` 0 nothing spreads for the grid to resolve: the width is the drift (at
    least 0.01) and the nodes are ``GRID_STDEVS * NODES_PER_STDEV``. Warns with
    :class:`GridWarning` as the module says; raises ``ValueError`` for default nodes over the
    budget.
    """
    spread = vol * math.sqrt(dates.span)
    offset = abs(drift) * dates.span
    lam = offset / spread if spread > 0 else 0.0
    boost = 1 + min(lam, DRIFT_RATIO_CAP)
    per_stdev, per_expiry = NODES_PER_STDEV * math.sqrt(boost), STEPS_PER_EXPIRY * boost
    given = {"n_x": n_x is not None, "max_x": max_x is not None, "timestep": timestep is not None}
    if max_x is None:
        max_x = GRID_STDEVS * spread + offset if spread > 0 else max(offset, 0.01)
    if n_x is None:
        n_x = max(1, math.ceil(max_x * per_stdev / spread)) if spread > 0 else math.ceil(GRID_STDEVS * NODES_PER_STDEV)
    if timestep is None:
        timestep = _timestep(dates, per_expiry, 2 * n_x + 1)
    node_steps = (2 * n_x + 1) * _steps(dates.span, timestep)
    if node_steps > NODE_STEP_BUDGET and not given["n_x"]:
        # The default nodes resolve the spread all across the width: a width far beyond the
        # spread, from the drift or from max_x, takes more nodes than any budget.
        cause = (f"max_x={max_x:.6g} is {max_x / spread:.3g} standard deviations of ln S" if given["max_x"] else
                 f"vol={vol:.6g} is too small against the drift of ln S: over {dates.span:.6g} years it drifts by "
                 f"{offset:.3g} but spreads by {spread:.3g} (one standard deviation)")
        raise ValueError(
            f"{cause}; resolving that takes {2 * n_x + 1:,} nodes and {node_steps:,} node steps, more than the "
            f"{NODE_STEP_BUDGET:,} a default grid takes. Give n_x to insist"
            + ("" if given["max_x"] else ", or price with vol=0 (the forward path, off by at most about "
                                          "0.4 x vol x sqrt(T) times the forward)"))
    grid = Grid(n_x, max_x, timestep, _damping(dates, timestep) if damping is None else damping)
    _check_resolution("ln S", spread, offset, grid, dates, given)
    return grid


def hull_white_grid(vol: float, meanrev: float, dates: ContractDates, *, n_x: int | None = None,
                    max_x: float | None = None, timestep: float | None = None,
                    damping: int | None = None) -> Grid:
    """The grid of a Hull-White pricing: the short-rate factor with volatility ``vol`` reverting
    at ``meanrev``, centred on 0 (its width a nominal 0.01 without volatility).

    Given settings are kept; the others are chosen as the module says. Warns with
    :class:`GridWarning` as the module says.
    """
    a, span = meanrev, dates.span
    variance = span if abs(a * span) < 1e-8 else -math.expm1(-2 * a * span) / (2 * a)
    spread = vol * math.sqrt(variance)
    given = {"n_x": n_x is not None, "max_x": max_x is not None, "timestep": timestep is not None}
    if max_x is None:
        max_x = max(GRID_STDEVS * spread, 0.01)
    if n_x is None:
        n_x = max(1, math.ceil(max_x * NODES_PER_STDEV / spread)) if spread > 0 else \
            math.ceil(GRID_STDEVS * NODES_PER_STDEV)
    if timestep is None:
        timestep = _timestep(dates, STEPS_PER_EXPIRY, 2 * n_x + 1, HW_MAX_TIMESTEP)
    grid = Grid(n_x, max_x, timestep, _damping(dates, timestep) if damping is None else damping)
    _check_resolution("the short-rate factor", spread, 0.0, grid, dates, given)
    return grid
