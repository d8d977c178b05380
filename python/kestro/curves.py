"""Evaluate dataset curve entries exactly as the engine does.

A dataset curve entry is a tuple ``(kind, data)``: ``kind`` is ``"ZERO_RATES"`` or
``"FORWARDS"`` and ``data`` a 2-D float64 array whose row 0 holds times (year fractions from
``PRICING_TS``) and row 1 the zero rates or forward prices. The engine stores
``y = x * r`` for zero rates and ``y = ln F`` for forwards; ``y`` is a straight line from the
origin up to a positive first time, linear between the points, and undefined after the last
point (and before a first time that is zero or negative). A discount factor is ``exp(-y)`` and a
forward ``exp(y)``, whatever the kind.

The functions here accept a curve entry or a :class:`Curve` built from one, and scalars or
arrays of year fractions; a year fraction outside the curve raises :class:`ValueError`.
"""

from __future__ import annotations

from bisect import bisect_right
from typing import Any, Optional, Union, overload

import numpy as np

__all__ = ["Curve", "CurveLike", "stored_value", "discount_factor", "forward", "year_fraction", "YEAR_MS",
           "point_value", "point_discount_factor", "point_forward"]

KINDS = ("ZERO_RATES", "FORWARDS")
YEAR_MS = 3.1536e10
"""Milliseconds in the engine's 365-day year."""


class Curve:
    """One curve of the dataset's ``"ASSETS"`` section, ready to be evaluated.

    Build it from an entry with :meth:`from_entry` (or call the module functions with the
    entry itself). The curve copies the caller's rows, so later changes to the array do not
    reach it.
    """

    __slots__ = ("kind", "times", "values", "stored", "_nodes")

    def __init__(self, kind: str, times: Any, values: Any) -> None:
        if kind not in KINDS:
            raise ValueError(f"unknown curve kind {kind!r}: expected 'ZERO_RATES' or 'FORWARDS'")
        times = np.array(times, dtype=np.float64, ndmin=1)
        values = np.array(values, dtype=np.float64, ndmin=1)
        if times.ndim != 1 or times.shape != values.shape:
            raise ValueError("curve times and values must be 1-D and of the same length")
        if times.size == 0:
            raise ValueError("a curve needs at least one point")
        if times.size > 1 and not np.all(np.diff(times) > 0):
            raise ValueError("curve times must be strictly increasing")
        self.kind = kind
        self.times = times
        self.values = values
        with np.errstate(divide="ignore", invalid="ignore"):
            self.stored = times * values if kind == "ZERO_RATES" else np.log(values)
        for array in (self.times, self.values, self.stored):
            array.flags.writeable = False
        self._nodes = (self.times.tolist(), self.stored.tolist())

    @classmethod
    def from_entry(cls, entry: "CurveLike") -> "Curve":
        """The curve of a dataset entry ``(kind, data)``; a :class:`Curve` is returned as it is."""
        if isinstance(entry, Curve):
            return entry
        if not isinstance(entry, tuple) or len(entry) < 2:
            raise TypeError("a curve entry is a tuple (kind, data) with data a 2-D array [times; values]")
        kind, data = entry[0], np.asarray(entry[1], dtype=np.float64)
        if not isinstance(kind, str):
            raise TypeError(f"the curve kind must be a str, not {type(kind).__name__}")
        if data.ndim != 2 or data.shape[0] < 2:
            raise ValueError(f"curve data must be a 2-D array with at least two rows, got shape {data.shape}")
        return cls(kind, data[0], data[1])

    def to_entry(self) -> tuple:
        """The dataset entry ``(kind, 2-D float64 array)`` of this curve."""
        return (self.kind, np.array([self.times, self.values], dtype=np.float64))

    def __repr__(self) -> str:
        return f"Curve({self.kind!r}, times={self.times.tolist()}, values={self.values.tolist()})"

    # A float for a real number x (int, float, NumPy scalar), an array for an array x; 0-d arrays
    # also give a float, which the last overload of each method covers.
    @overload
    def stored_value(self, x: float) -> float: ...
    @overload
    def stored_value(self, x: Any) -> Union[float, np.ndarray]: ...

    def stored_value(self, x: Any) -> Union[float, np.ndarray]:
        """The stored value y(x): ``x * r`` interpolated for zero rates, ``ln F`` for forwards."""
        if isinstance(x, (float, int)) and not isinstance(x, bool):
            point = self._point(float(x))
            if point is not None:
                return point
        scalar = np.ndim(x) == 0
        x = np.asarray(x, dtype=np.float64)
        xs, ys = self.times, self.stored
        t0, y0, n = xs[0], ys[0], xs.size
        line = (x <= t0) if t0 > 0 else np.zeros(x.shape, dtype=bool)
        inside = ~line & (x >= xs[0]) & (x <= xs[-1]) if n > 1 else np.zeros(x.shape, dtype=bool)
        bad = ~(line | inside)
        if np.any(bad):
            first = float(x[bad].flat[0])
            raise ValueError(f"interpolation out of range at time {first!r}: the {self.kind} curve covers "
                             f"{_coverage(xs)}")
        y = np.empty(x.shape, dtype=np.float64)
        if t0 > 0:
            y[line] = x[line] * y0 / t0
        if n > 1:
            xi = x[inside]
            i = np.clip(np.searchsorted(xs, xi, side="right") - 1, 0, n - 2)
            y[inside] = (xi - xs[i]) * ((ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i])) + ys[i]
        return float(y) if scalar else y

    def _point(self, x: float) -> Optional[float]:
        """y(x) for one time inside the curve in plain Python (see :func:`_interpolate`)."""
        return _interpolate(*self._nodes, x)

    @overload
    def discount_factor(self, x: float) -> float: ...
    @overload
    def discount_factor(self, x: Any) -> Union[float, np.ndarray]: ...

    def discount_factor(self, x: Any) -> Union[float, np.ndarray]:
        """``exp(-y(x))``: the discount factor when this curve is the base currency's."""
        return _exp(-self.stored_value(x))

    @overload
    def forward(self, x: float) -> float: ...
    @overload
    def forward(self, x: Any) -> Union[float, np.ndarray]: ...

    def forward(self, x: Any) -> Union[float, np.ndarray]:
        """``exp(y(x))``: the forward value when this curve is an asset's."""
        return _exp(self.stored_value(x))


CurveLike = Union[Curve, tuple]
"""A dataset curve entry ``(kind, data)`` or a :class:`Curve`."""


def _exp(y: Union[float, np.ndarray]) -> Union[float, np.ndarray]:
    return float(np.exp(y)) if isinstance(y, float) else np.exp(y)


def _coverage(xs: np.ndarray) -> str:
    last = float(xs[-1])
    if xs[0] > 0:
        return f"times up to {last!r} years"
    if xs.size == 1:
        return "no time (a single point at or before the pricing time)"
    return f"times from {float(xs[0])!r} to {last!r} years"


@overload
def stored_value(entry: CurveLike, x: float) -> float: ...
@overload
def stored_value(entry: CurveLike, x: Any) -> Union[float, np.ndarray]: ...


def stored_value(entry: CurveLike, x: Any) -> Union[float, np.ndarray]:
    """The engine's stored value y(x) of a curve entry at year fraction(s) ``x``.

    A float for a scalar ``x``, an array of ``x``'s shape otherwise. Raises ValueError when any
    ``x`` lies outside the curve (after its last time, before a first time that is not
    positive, or NaN).
    """
    return Curve.from_entry(entry).stored_value(x)


@overload
def discount_factor(entry: CurveLike, x: float) -> float: ...
@overload
def discount_factor(entry: CurveLike, x: Any) -> Union[float, np.ndarray]: ...


def discount_factor(entry: CurveLike, x: Any) -> Union[float, np.ndarray]:
    """The discount factor ``exp(-y(x))`` of a (base currency) curve entry at ``x``."""
    return Curve.from_entry(entry).discount_factor(x)


@overload
def forward(entry: CurveLike, x: float) -> float: ...
@overload
def forward(entry: CurveLike, x: Any) -> Union[float, np.ndarray]: ...


def forward(entry: CurveLike, x: Any) -> Union[float, np.ndarray]:
    """The forward value ``exp(y(x))`` of an asset's curve entry at ``x``."""
    return Curve.from_entry(entry).forward(x)


def point_value(entry: CurveLike, x: float) -> float:
    """The stored value y(x) at one year fraction: :func:`stored_value`'s arithmetic, bit for bit, in plain Python.

    Building a :class:`Curve` and evaluating it costs tens of NumPy calls; one point needs a
    few microseconds. What the plain path cannot take (an entry that is not a well-formed
    curve, a time outside it) goes to :func:`stored_value`, which raises its own error.
    """
    if isinstance(entry, Curve):
        xs, ys = entry._nodes
    else:
        data = entry[1] if isinstance(entry, tuple) and len(entry) >= 2 and entry[0] in KINDS else None
        if not isinstance(data, np.ndarray) or data.dtype != np.float64 or data.ndim != 2 or data.shape[0] < 2:
            return stored_value(entry, x)
        with np.errstate(divide="ignore", invalid="ignore"):
            stored = data[0] * data[1] if entry[0] == "ZERO_RATES" else np.log(data[1])
        xs, ys = data[0].tolist(), stored.tolist()
        if not xs or any(a >= b for a, b in zip(xs, xs[1:])):
            return stored_value(entry, x)
    found = _interpolate(xs, ys, float(x))
    return stored_value(entry, x) if found is None else found


def _interpolate(xs: list[float], ys: list[float], x: float) -> Optional[float]:
    """y(x) at one time inside the curve with nodes ``xs``/``ys``, in plain Python with the
    array path's arithmetic (bit for bit); None outside it, where the array path raises its
    error. A path source asks for a few points per step, where NumPy's call overhead would
    dominate."""
    n = len(xs)
    if xs[0] > 0 and x <= xs[0]:
        return x * ys[0] / xs[0]
    if n > 1 and xs[0] <= x <= xs[-1]:
        i = min(max(bisect_right(xs, x) - 1, 0), n - 2)
        return (x - xs[i]) * ((ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i])) + ys[i]
    return None


def point_discount_factor(entry: CurveLike, x: float) -> float:
    """:func:`discount_factor` at one year fraction, through :func:`point_value`."""
    return float(np.exp(-point_value(entry, x)))


def point_forward(entry: CurveLike, x: float) -> float:
    """:func:`forward` at one year fraction, through :func:`point_value`."""
    return float(np.exp(point_value(entry, x)))


def year_fraction(t_ms: Any, pricing_ts: int) -> Union[float, np.ndarray]:
    """The engine's year fraction ``(t - PRICING_TS) / 3.1536e10`` of millisecond time(s)."""
    if np.ndim(t_ms) == 0:
        return (int(t_ms) - int(pricing_ts)) / YEAR_MS
    return (np.asarray(t_ms, dtype=np.int64) - np.int64(pricing_ts)) / YEAR_MS
