"""Seeded Monte Carlo path generators to hand to ``mc_price`` as its ``py_state``.

``mc_price`` draws no random numbers: at every later event time it calls
``py_state.advance(x)`` (x in years from ``PRICING_TS``) and multiplies its running discount
factor by the answer, and it asks ``py_state.get_value(name)`` for an asset's values on every
path. The generators here answer those calls from NumPy's PCG64 generator:

* :class:`GbmPaths` simulates correlated geometric Brownian motions around forward curves and
  discounts deterministically on a zero curve;
* :class:`HullWhitePaths` simulates a one-factor Hull-White short rate fitted to a zero curve
  and answers per-path discount factors; ``get_value`` answers the model's zero-coupon bond
  prices for the bond assets ``"ZCB:<maturity>"`` (see :mod:`kestro.rates.bonds`) and its short
  rate for ``"SHORT_RATE"``, leaving other assets at their forwards.

Both hold one array per modelled quantity (never a matrix of whole paths), simulate each step
exactly in distribution whatever its length, and restart from the pricing time with
:meth:`reset`. Wrap one in :class:`kestro.recorder.Recorder` to keep the statistics as well.

Both also serve regression-based early exercise: :meth:`~GbmPaths.spawn` makes an independent
source of the same model with other paths and seed, and :meth:`~GbmPaths.regression_state`
names the values that describe the model's state at a choice time.
"""

from __future__ import annotations

import copy
import math
from typing import Any, Callable, Mapping, Optional, Sequence, Union

import numpy as np

from .rates.bonds import bond_maturity
from .curves import Curve, CurveLike
from .clock import DEFAULT_START, YEAR_MS, to_ms

__all__ = ["GbmPaths", "HullWhitePaths", "ForwardSpec", "SHORT_RATE", "integrated_variance"]

SHORT_RATE = "SHORT_RATE"
"""The name under which :class:`HullWhitePaths` answers the short rate on every path."""

ForwardSpec = Union[CurveLike, Sequence[float]]
"""How :class:`GbmPaths` takes an asset's forward: a dataset curve entry ``(kind, data)``, a
:class:`~kestro.curves.Curve`, or ``(spot, rate, dividend)`` for ``spot * exp((rate - dividend) * x)``."""


def _read_only(array: np.ndarray) -> np.ndarray:
    view = array.view()
    view.flags.writeable = False
    return view


def _check_paths(paths: Any, antithetic: bool) -> int:
    if isinstance(paths, bool) or not isinstance(paths, (int, np.integer)) or paths < 1:
        raise ValueError(f"paths must be a positive integer, got {paths!r}")
    if antithetic and paths % 2:
        raise ValueError(f"antithetic variates pair the paths: paths must be even, got {paths}")
    return int(paths)


def _spawn(source: Any, paths: Any, seed: Any) -> Any:
    """A copy of ``source`` with its own paths and seed, restarted at the pricing time."""
    if isinstance(paths, bool) or not isinstance(paths, (int, np.integer)) or paths < 1:
        raise ValueError(f"paths must be a positive integer, got {paths!r}")
    count = int(paths) + (int(paths) % 2 if source.antithetic else 0)
    spawned = copy.copy(source)  # the model's parameters are never changed in place: share them
    spawned.paths = count
    spawned._normals = _Normals(seed, count, source.antithetic)
    spawned.reset()
    return spawned


class _StepClock:
    """The time of the last advance, checked to move forward only."""

    def __init__(self) -> None:
        self.x = 0.0

    def step(self, x: Any) -> tuple[float, float]:
        x = float(x)
        if not x >= self.x:  # also refuses NaN
            raise ValueError(f"advance({x!r}) goes back in time: the paths are already at {self.x!r} years")
        previous, self.x = self.x, x
        return previous, x


class _Normals:
    """Standard normals from one seeded generator, optionally in antithetic pairs:
    path i + paths/2 receives the negated draw of path i."""

    def __init__(self, seed: Any, paths: int, antithetic: bool) -> None:
        self.seed, self.paths, self.antithetic = seed, paths, antithetic
        self.rng = np.random.default_rng(seed)

    def reset(self) -> None:
        self.rng = np.random.default_rng(self.seed)

    def draw(self, rows: int) -> np.ndarray:
        if not self.antithetic:
            return self.rng.standard_normal((rows, self.paths))
        half = self.rng.standard_normal((rows, self.paths // 2))
        return np.concatenate([half, -half], axis=1)


def _log_forward(given: ForwardSpec, name: str) -> Callable[[float], float]:
    """ln F(x) of an asset, from a curve entry or from (spot, rate, dividend)."""
    if isinstance(given, Curve) or (isinstance(given, tuple) and given and isinstance(given[0], str)):
        curve = Curve.from_entry(given)
        return curve.stored_value
    try:
        spot, rate, dividend = (float(v) for v in given)
    except (TypeError, ValueError):
        raise TypeError(f"forward of {name!r}: expected a curve entry (kind, data) or (spot, rate, dividend), "
                        f"got {given!r}") from None
    if not spot > 0:
        raise ValueError(f"forward of {name!r}: the spot must be positive, got {spot!r}")
    return _LinearLogForward(math.log(spot), rate - dividend)


class _ShiftedLogForward:
    """``ln F(x) + log_scale + carry * x``: a forward scaled and carrying a rate shift, for bumps."""

    __slots__ = ("inner", "log_scale", "carry")

    def __init__(self, inner: Callable[[float], float], log_scale: float, carry: float) -> None:
        self.inner, self.log_scale, self.carry = inner, log_scale, carry

    def __call__(self, x: float) -> float:
        return self.inner(x) + self.log_scale + self.carry * x


def _shifted_curve(curve: Optional[Curve], shift: float) -> Optional[Curve]:
    """The zero curve with every rate moved by ``shift`` (None stays None)."""
    if curve is None or shift == 0:
        return curve
    return Curve(curve.kind, curve.times, curve.values + shift)


class _LinearLogForward:
    """``ln F(x) = ln spot + carry * x``; a class, not a lambda, so path sources pickle."""

    __slots__ = ("log_spot", "carry")

    def __init__(self, log_spot: float, carry: float) -> None:
        self.log_spot, self.carry = log_spot, carry

    def __call__(self, x: float) -> float:
        return self.log_spot + self.carry * x


def _discount_curve(discount: Optional[CurveLike]) -> Optional[Curve]:
    return None if discount is None else Curve.from_entry(discount)


def _correlation_factor(correlation: Any, names: list[str]) -> Optional[np.ndarray]:
    """A matrix L with L @ L.T equal to the correlation matrix (None for independent assets)."""
    n = len(names)
    if correlation is None:
        return None
    matrix = np.asarray(correlation, dtype=np.float64)
    if matrix.ndim == 0:
        if n != 2:
            raise ValueError(f"a single correlation needs exactly two assets, not {n}")
        matrix = np.array([[1.0, float(matrix)], [float(matrix), 1.0]])
    if matrix.shape != (n, n):
        raise ValueError(f"the correlation matrix must be {n}x{n} (assets in the order {names}), got {matrix.shape}")
    if not np.all(np.isfinite(matrix)) or not np.allclose(matrix, matrix.T, rtol=0.0, atol=1e-12):
        raise ValueError("the correlation matrix must be finite and symmetric")
    if not np.allclose(np.diag(matrix), 1.0, rtol=0.0, atol=1e-12) or np.any(np.abs(matrix) > 1.0 + 1e-12):
        raise ValueError("the correlation matrix must have ones on its diagonal and entries within [-1, 1]")
    try:
        return np.linalg.cholesky(matrix)
    except np.linalg.LinAlgError:
        # Positive semi-definite (perfectly correlated assets) is fine; indefinite is not.
        eigenvalues, vectors = np.linalg.eigh(matrix)
        if eigenvalues.min() < -1e-10:
            raise ValueError("the correlation matrix is not positive semi-definite") from None
        return vectors * np.sqrt(np.clip(eigenvalues, 0.0, None))


class GbmPaths:
    """Correlated geometric Brownian motions around forward curves, for ``mc_price``.

    Each asset A follows ``S_A(x) = F_A(x) * exp(sigma_A * W_A(x) - sigma_A**2 * x / 2)`` with
    ``F_A`` its forward and ``W`` Brownian motions correlated by ``correlation`` (a matrix over
    the assets in the order of ``forwards``; for two assets a single number also works), so
    ``E[S_A(x)] = F_A(x)``. Each :meth:`advance` draws the step's increments, whatever its
    length, and updates one array per asset in place.

    :meth:`advance` answers the step's discount factor ``DF(x) / DF(x_prev)`` from the
    ``discount`` zero curve as a float; without ``discount`` it answers None and the engine
    discounts on the dataset's base curve itself. :meth:`get_value` answers a read-only array of
    the asset's values on every path, and None for assets it does not model, which the engine
    then takes at their forward.

    With ``antithetic=True`` path ``i + paths/2`` is driven by the negated normals of path ``i``
    (``paths`` must be even).
    """

    def __init__(
        self,
        forwards: Mapping[str, ForwardSpec],
        vols: Mapping[str, float],
        correlation: Any = None,
        discount: Optional[CurveLike] = None,
        paths: int = 10_000,
        seed: Any = 0,
        antithetic: bool = False,
    ) -> None:
        self.names = list(forwards)
        if not self.names:
            raise ValueError("GbmPaths needs at least one asset")
        missing = [n for n in self.names if n not in vols]
        extra = [n for n in vols if n not in forwards]
        if missing or extra:
            raise ValueError(f"vols must name exactly the assets of forwards: missing {missing}, unknown {extra}")
        self.vols = np.array([float(vols[n]) for n in self.names])
        if not np.all(np.isfinite(self.vols)) or np.any(self.vols < 0):
            raise ValueError(f"volatilities must be finite and non-negative, got {dict(zip(self.names, self.vols))}")
        self._log_forwards = [_log_forward(forwards[n], n) for n in self.names]
        self._factor = _correlation_factor(correlation, self.names)
        self.discount = _discount_curve(discount)
        self.paths = _check_paths(paths, antithetic)
        self.antithetic = bool(antithetic)
        self._normals = _Normals(seed, self.paths, self.antithetic)
        self.reset()

    @property
    def seed(self) -> Any:
        """The seed the paths restart from."""
        return self._normals.seed

    @property
    def x(self) -> float:
        """Year fraction of the last advance (0 at the pricing time)."""
        return self._clock.x

    def reset(self) -> None:
        """Restart at the pricing time: every asset at its forward at x = 0, the same seed."""
        self._clock = _StepClock()
        self._normals.reset()
        self._values = {n: np.full(self.paths, math.exp(f(0.0))) for n, f in zip(self.names, self._log_forwards)}

    def advance(self, x: float) -> Optional[float]:
        """Move every path to year fraction ``x`` and answer the step's discount factor.

        ``x`` must not be earlier than the previous advance. The answer is
        ``DF(x) / DF(x_prev)`` from the discount curve, or None without one.
        """
        previous, x = self._clock.step(x)
        dt = x - previous
        if dt > 0:
            shocks = self._normals.draw(len(self.names))
            if self._factor is not None:
                shocks = self._factor @ shocks
            for row, name, vol, log_forward in zip(shocks, self.names, self.vols, self._log_forwards):
                drift = (log_forward(x) - log_forward(previous)) - 0.5 * vol * vol * dt
                row *= vol * math.sqrt(dt)
                row += drift
                np.exp(row, out=row)
                self._values[name] *= row
        if self.discount is None:
            return None
        return math.exp(self.discount.stored_value(previous) - self.discount.stored_value(x))

    def get_value(self, name: str, *_: Any) -> Optional[np.ndarray]:
        """The asset's values on every path at the last advance (read-only), or None if not modelled."""
        values = self._values.get(name)
        return None if values is None else _read_only(values)

    def spawn(self, paths: int, seed: Any) -> GbmPaths:
        """A new, independent source of the same model: ``paths`` paths drawn from ``seed``.

        The forwards, volatilities, correlation, discount curve and antithetic flag are this
        source's; ``seed`` is anything :func:`numpy.random.default_rng` accepts (a
        ``SeedSequence`` too). With antithetic variates an odd ``paths`` is rounded up to the
        next even number. The new source starts at the pricing time; this one is untouched.
        """
        spawned: GbmPaths = _spawn(self, paths, seed)
        return spawned

    def bumped(self, *, forwards: Optional[Mapping[str, tuple[float, float]]] = None,
               vols: Optional[Mapping[str, float]] = None, rate_shift: float = 0.0) -> GbmPaths:
        """The same source (paths, seed, correlation) on a shifted market, for sensitivities.

        ``forwards`` maps an asset to ``(scale, carry)``: its forwards become
        ``F(x) * scale * exp(carry * x)``; ``vols`` maps an asset to a volatility shift;
        ``rate_shift`` moves every zero rate of the ``discount`` curve. Draws the same normals
        as this source, so bumped prices share its random numbers.
        """
        spawned: GbmPaths = _spawn(self, self.paths, self.seed)
        unknown = [name for name in (*(forwards or {}), *(vols or {})) if name not in self.names]
        if unknown:
            raise ValueError(f"the paths do not model {unknown[0]!r}; they model {', '.join(self.names)}")
        shifts = dict(forwards or {})
        spawned._log_forwards = [
            _ShiftedLogForward(f, math.log(shifts[n][0]), shifts[n][1]) if n in shifts else f
            for n, f in zip(self.names, self._log_forwards)]
        spawned.vols = self.vols + np.array([float((vols or {}).get(n, 0.0)) for n in self.names])
        spawned.discount = _shifted_curve(self.discount, rate_shift)
        spawned.reset()
        return spawned

    def regression_state(self, names: Sequence[str]) -> list[str]:
        """The modelled assets among ``names``, in this source's order; all of them if none is named.

        These are the values :meth:`get_value` answers that describe the model's state, for a
        regression of continuation values at a choice time.
        """
        wanted = set(names)
        chosen = [name for name in self.names if name in wanted]
        return chosen or list(self.names)

    def __repr__(self) -> str:
        return (f"GbmPaths(assets={self.names}, paths={self.paths}, seed={self.seed!r}, "
                f"antithetic={self.antithetic}, x={self.x!r})")


# One-factor Hull-White: r(t) = X(t) + phi(t), dX = -a X dt + sigma dW, X(0) = 0.

_SERIES = [(-1.0) ** k * (2.0 - 2.0 ** (k - 1)) / math.factorial(k) for k in range(3, 30)]


def _relative_growth(z: float) -> float:
    """expm1(z) / z, 1 at z = 0."""
    return math.expm1(z) / z if z != 0.0 else 1.0


def integrated_variance(a: float, sigma: float, h: float) -> float:
    """Variance of the integral of X over a step of ``h`` years from a known X.

    ``sigma**2 / a**3 * (a h - 2 (1 - exp(-a h)) + (1 - exp(-2 a h)) / 2)``, which tends to
    ``sigma**2 h**3 / 3`` as ``a`` goes to 0 (summed as a series for small ``a h``).
    """
    u = a * h
    if abs(u) < 0.5:
        total, power = 0.0, 1.0
        for coefficient in _SERIES:
            total += coefficient * power
            power *= u
        return sigma * sigma * h ** 3 * total
    return sigma * sigma / a ** 3 * (u + 2.0 * math.expm1(-u) - 0.5 * math.expm1(-2.0 * u))


def _instantaneous_forward(curve: Curve, x: float) -> float:
    """The slope of the curve's y at ``x``, taken on the right (on the left at its last time)."""
    curve.stored_value(x)  # refuses a time outside the curve
    xs, ys = curve.times, curve.stored
    if xs[0] > 0 and (x < xs[0] or xs.size == 1):
        return float(ys[0] / xs[0])  # the line from the origin
    i = min(max(int(np.searchsorted(xs, x, side="right")) - 1, 0), xs.size - 2)
    return float((ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i]))


class HullWhitePaths:
    """One-factor Hull-White short rate fitted to a zero curve, for ``mc_price``.

    The short rate is ``r(t) = X(t) + phi(t)`` with ``dX = -a X dt + sigma dW`` and ``X(0) = 0``;
    ``phi`` is chosen so that ``E[exp(-integral of r from 0 to x)]`` is the curve's discount
    factor at every x:
    ``phi(t) = f(0, t) + sigma**2 / (2 a**2) * (1 - exp(-a t))**2``, with ``f(0, t)`` the
    curve's instantaneous forward rate (the slope of ``-ln DF``, taken on the right where the
    curve has a kink). Each :meth:`advance` draws ``X`` at the new time and the integral of
    ``X`` over the step jointly from their exact Gaussian law, so any step length is exact, and
    answers the per-path discount factors ``exp(-integral of r)`` of the step, whose running
    product the engine keeps. ``mean_reversion = 0`` is the Ho-Lee model.

    :meth:`get_value` answers, on every path at the time t of the last advance:

    * for a zero-coupon bond asset ``"ZCB:<maturity>"`` (see :mod:`kestro.rates.bonds`; the
      maturity T is an ISO date or time, ``"ZCB:2031-01-01"``), the model's bond price
      ``P(t, T | X_t) = DF(T) / DF(t) * exp(-B(t, T) X_t - (V(0, T) - V(0, t) - V(t, T)) / 2)``
      with ``B = (1 - exp(-a (T - t))) / a`` and ``V`` the variance of the integral of X
      (:func:`integrated_variance`): the value at t of one unit of the base currency paid at
      T. Its mean times the path discount to t is ``DF(T)``. Maturities are placed on the
      curve's year fractions from ``pricing_time`` (default :data:`kestro.DEFAULT_START`, as
      :class:`kestro.Market`), which must be the market's pricing time;
    * for ``"SHORT_RATE"``, the short rate ``r_t = X_t + phi(t)``;
    * None for every other asset: the engine takes it at its forward.

    With ``antithetic=True`` path ``i + paths/2`` is driven by the negated normals of path
    ``i`` (``paths`` must be even).
    """

    def __init__(
        self,
        discount: CurveLike,
        mean_reversion: float,
        vol: float,
        paths: int = 10_000,
        seed: Any = 0,
        antithetic: bool = False,
        pricing_time: Any = DEFAULT_START,
    ) -> None:
        self.discount = Curve.from_entry(discount)
        self.mean_reversion = float(mean_reversion)
        self.vol = float(vol)
        if not (math.isfinite(self.mean_reversion) and self.mean_reversion >= 0):
            raise ValueError(f"mean_reversion must be finite and non-negative, got {mean_reversion!r}")
        if not (math.isfinite(self.vol) and self.vol >= 0):
            raise ValueError(f"vol must be finite and non-negative, got {vol!r}")
        self.pricing_time = to_ms(pricing_time)
        self.paths = _check_paths(paths, antithetic)
        self.antithetic = bool(antithetic)
        self._normals = _Normals(seed, self.paths, self.antithetic)
        self.reset()

    @property
    def seed(self) -> Any:
        """The seed the paths restart from."""
        return self._normals.seed

    @property
    def x(self) -> float:
        """Year fraction of the last advance (0 at the pricing time)."""
        return self._clock.x

    @property
    def factor(self) -> np.ndarray:
        """The factor X on every path at the last advance (read-only); r = X + phi."""
        return _read_only(self._factor)

    def reset(self) -> None:
        """Restart at the pricing time (X = 0 on every path) with the same seed."""
        self._clock = _StepClock()
        self._normals.reset()
        self._factor = np.zeros(self.paths)

    def factor_integral_variance(self, x: float) -> float:
        """Variance of the integral of X from the pricing time to ``x``.

        The product of the step discount factors up to ``x`` is ``DF(x) * exp(-v/2 - G)`` with
        ``G`` normal of this variance ``v``: its mean is ``DF(x)`` and its variance
        ``DF(x)**2 * (exp(v) - 1)``.
        """
        return integrated_variance(self.mean_reversion, self.vol, float(x))

    def advance(self, x: float) -> Union[np.ndarray, float]:
        """Move every path to year fraction ``x``; answer the step's discount factor on every path.

        ``x`` must not be earlier than the previous advance; a step of length 0 answers 1.0.
        """
        previous, x = self._clock.step(x)
        h = x - previous
        if h == 0:
            return 1.0
        a, sigma = self.mean_reversion, self.vol
        decay_time = h * _relative_growth(-a * h)  # (1 - exp(-a h)) / a
        var_x = sigma * sigma * h * _relative_growth(-2.0 * a * h)
        var_i = integrated_variance(a, sigma, h)
        cov = 0.5 * sigma * sigma * decay_time * decay_time
        l11 = math.sqrt(var_x)
        l21 = cov / l11 if l11 > 0 else 0.0
        l22 = math.sqrt(max(var_i - l21 * l21, 0.0))
        z = self._normals.draw(2)
        # Integral of phi over the step: the curve's y increase plus half the increase of the
        # variance of the integral of X since the pricing time (the convexity that E[exp] adds).
        deterministic = (self.discount.stored_value(x) - self.discount.stored_value(previous)
                         + 0.5 * (integrated_variance(a, sigma, x) - integrated_variance(a, sigma, previous)))
        integral = self._factor * decay_time
        integral += l21 * z[0]
        integral += l22 * z[1]
        integral += deterministic
        np.negative(integral, out=integral)
        np.exp(integral, out=integral)
        self._factor *= math.exp(-a * h)
        self._factor += l11 * z[0]
        return integral

    def short_rate_shift(self, x: float) -> float:
        """``phi(x)``: the short rate is ``X + phi`` at year fraction ``x``."""
        a, sigma = self.mean_reversion, self.vol
        decay_time = x * _relative_growth(-a * x)  # (1 - exp(-a x)) / a
        return _instantaneous_forward(self.discount, float(x)) + 0.5 * (sigma * decay_time) ** 2

    def bond_price(self, maturity: Any) -> np.ndarray:
        """``P(t, T | X_t)`` on every path, for the maturity T (anything :func:`kestro.to_ms` accepts).

        t is the time of the last advance. Raises ``ValueError`` when T lies before t, or
        after the discount curve's last time; a bond maturing at t is worth 1.
        """
        maturity_ms = to_ms(maturity)
        t = self.x
        end = (maturity_ms - self.pricing_time) / YEAR_MS
        if end < t:
            raise ValueError(f"the bond maturing {end:.6g} years after the pricing time has matured: the paths are "
                             f"at {t:.6g} years")
        if end == t:
            return np.ones(self.paths)
        a, sigma = self.mean_reversion, self.vol
        h = end - t
        b = h * _relative_growth(-a * h)  # B(t, T)
        b0 = t * _relative_growth(-a * t)  # B(0, t)
        var_x = sigma * sigma * t * _relative_growth(-2.0 * a * t)
        # V(0, T) - V(0, t) - V(t, T) = B^2 Var(X_t) + 2 B Cov(integral of X to t, X_t), free of cancellation.
        convexity = 0.5 * b * (b * var_x + sigma * sigma * b0 * b0)
        log_ratio = self.discount.stored_value(t) - self.discount.stored_value(end)
        values = self._factor * -b
        values += log_ratio - convexity
        np.exp(values, out=values)
        return values

    def get_value(self, name: str, *_: Any) -> Optional[np.ndarray]:
        """Bond prices for ``"ZCB:<maturity>"``, the short rate for ``"SHORT_RATE"``, None otherwise.

        Values on every path at the time of the last advance; see the class description.
        Raises ``ValueError`` for a bond that has matured, or a malformed bond name.
        """
        if name == SHORT_RATE:
            return self._factor + self.short_rate_shift(self.x)
        maturity = bond_maturity(name)
        if maturity is None:
            return None
        try:
            return self.bond_price(maturity)
        except ValueError as error:
            raise ValueError(f"get_value({name!r}): {error}") from None

    def spawn(self, paths: int, seed: Any) -> HullWhitePaths:
        """A new, independent source of the same model: ``paths`` paths drawn from ``seed``.

        The discount curve, mean reversion, volatility, pricing time and antithetic flag are
        this source's; ``seed`` is anything :func:`numpy.random.default_rng` accepts (a
        ``SeedSequence`` too). With antithetic variates an odd ``paths`` is rounded up to the
        next even number. The new source starts at the pricing time; this one is untouched.
        """
        spawned: HullWhitePaths = _spawn(self, paths, seed)
        return spawned

    def bumped(self, *, discount: Optional[CurveLike] = None, vol_shift: float = 0.0,
               pricing_time: Any = None) -> HullWhitePaths:
        """The same source (paths, seed, mean reversion) with the fit to another ``discount``
        curve, the volatility moved by ``vol_shift`` or counting time from another
        ``pricing_time``, for sensitivities. Draws the same normals as this source."""
        spawned: HullWhitePaths = _spawn(self, self.paths, self.seed)
        if discount is not None:
            spawned.discount = Curve.from_entry(discount)
        spawned.vol = self.vol + float(vol_shift)
        if not (math.isfinite(spawned.vol) and spawned.vol >= 0):
            raise ValueError(f"vol must be finite and non-negative, got {spawned.vol!r}")
        if pricing_time is not None:
            spawned.pricing_time = to_ms(pricing_time)
        return spawned

    def regression_state(self, names: Sequence[str]) -> list[str]:
        """``["SHORT_RATE"]``: the short rate is the model's whole state, whatever ``names`` holds."""
        return [SHORT_RATE]

    def __repr__(self) -> str:
        return (f"HullWhitePaths(mean_reversion={self.mean_reversion!r}, vol={self.vol!r}, paths={self.paths}, "
                f"seed={self.seed!r}, antithetic={self.antithetic}, x={self.x!r})")
