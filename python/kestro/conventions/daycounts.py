"""Day-count conventions: the year fraction of an accrual period.

=============  ===========================================================================
name           year fraction from d1 to d2
=============  ===========================================================================
ACT/360        actual days / 360
ACT/365F       actual days / 365
ACT/ACT ISDA   days in each calendar year / that year's length (365 or 366), summed
30/360         bond basis: a 31st of d1 counts as the 30th, a 31st of d2 too when d1 is
               then the 30th; (360 Δyears + 30 Δmonths + Δdays) / 360
30E/360        Eurobond basis: every 31st counts as the 30th; same sum / 360
=============  ===========================================================================

The formulas and their floating-point order are QuantLib's (``Actual360``, ``Actual365Fixed``,
``ActualActual(ISDA)``, ``Thirty360(BondBasis)``, ``Thirty360(European)``), so year fractions
agree with it to the last bit. A period that runs backwards (d2 before d1) has a negative
year fraction, as there.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

import numpy as np

from kestro.conventions.dates import civil, day_numbers, first_days, years_of

__all__ = ["DAY_COUNTS", "DayCount", "day_count"]


_Kernel = Callable[[np.ndarray, np.ndarray], np.ndarray]  # int64 days since 1970 -> result


def _actual(start: np.ndarray, end: np.ndarray) -> np.ndarray:
    return end - start


def _thirty_360(start: np.ndarray, end: np.ndarray, european: bool) -> np.ndarray:
    y1, m1, d1 = civil(start)
    y2, m2, d2 = civil(end)
    d1 = np.where(d1 == 31, 30, d1)
    d2 = np.where((d2 == 31) & ((d1 >= 30) | european), 30, d2)
    return 360 * (y2 - y1) + 30 * (m2 - m1) + (d2 - d1)


def _bond_basis_days(start: np.ndarray, end: np.ndarray) -> np.ndarray:
    return _thirty_360(start, end, european=False)


def _eurobond_basis_days(start: np.ndarray, end: np.ndarray) -> np.ndarray:
    return _thirty_360(start, end, european=True)


def _act_act_isda(start: np.ndarray, end: np.ndarray) -> np.ndarray:
    # Computed from the earlier date, then signed; in the same order of floating-point
    # operations as QuantLib, so the sums round identically.
    early, late = np.minimum(start, end), np.maximum(start, end)
    y1, y2 = years_of(early), years_of(late)
    basis1 = np.where(_is_leap(y1), 366.0, 365.0)
    basis2 = np.where(_is_leap(y2), 366.0, 365.0)
    total = (y2 - y1 - 1).astype(np.float64)
    total += (_january_first(y1 + 1) - early) / basis1
    total += (late - _january_first(y2)) / basis2
    total = np.where(start > end, -total, total)
    return np.where(start == end, 0.0, total)


def _is_leap(years: np.ndarray) -> np.ndarray:
    return (years % 4 == 0) & ((years % 100 != 0) | (years % 400 == 0))


def _january_first(years: np.ndarray) -> np.ndarray:
    return first_days((years - 1970) * 12)


class DayCount:
    """A day-count convention; get one with :func:`day_count`.

    ``year_fraction(start, end)`` and ``day_count(start, end)`` take two dates or two arrays
    of dates (broadcast together) and return a float / int or arrays.
    """

    __slots__ = ("name", "_days", "_fraction")

    def __init__(self, name: str, days: _Kernel, fraction: _Kernel) -> None:
        self.name = name
        self._days = days
        self._fraction = fraction

    def year_fraction(self, start: Any, end: Any) -> Any:
        """The year fraction from ``start`` to ``end``: a float, or an array for arrays of dates."""
        s, e, shape = _pair(start, end)
        out = self._fraction(s, e)
        return float(out[0]) if shape is None else out.reshape(shape)

    def year_fraction_days(self, start: np.ndarray, end: np.ndarray) -> np.ndarray:
        """Year fractions of int64 day counts since 1970 (no conversion), for bulk callers."""
        return self._fraction(start, end)

    def day_count(self, start: Any, end: Any) -> Any:
        """The days from ``start`` to ``end`` as the convention counts them (30 a month for 30/360)."""
        s, e, shape = _pair(start, end)
        out = self._days(s, e)
        return int(out[0]) if shape is None else out.reshape(shape)

    def __repr__(self) -> str:
        return f"day_count({self.name!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (day_count, (self.name,))


def _pair(start: Any, end: Any) -> tuple[np.ndarray, np.ndarray, tuple[int, ...] | None]:
    s, s_shape = day_numbers(start, "start")
    e, e_shape = day_numbers(end, "end")
    if s_shape is None and e_shape is None:
        return s, e, None
    try:
        shape = np.broadcast_shapes(s_shape or (), e_shape or ())
    except ValueError:
        raise ValueError(f"start dates of shape {s_shape} and end dates of shape {e_shape} do not broadcast") from None
    s = np.broadcast_to(s.reshape(s_shape or ()), shape).reshape(-1)
    e = np.broadcast_to(e.reshape(e_shape or ()), shape).reshape(-1)
    return s, e, shape


def _per(basis: float, days: _Kernel) -> _Kernel:
    return lambda start, end: days(start, end) / basis


_CONVENTIONS: dict[str, DayCount] = {
    dc.name: dc for dc in (
        DayCount("ACT/360", _actual, _per(360.0, _actual)),
        DayCount("ACT/365F", _actual, _per(365.0, _actual)),
        DayCount("ACT/ACT ISDA", _actual, _act_act_isda),
        DayCount("30/360", _bond_basis_days, _per(360.0, _bond_basis_days)),
        DayCount("30E/360", _eurobond_basis_days, _per(360.0, _eurobond_basis_days)),
    )
}

DAY_COUNTS: tuple[str, ...] = tuple(_CONVENTIONS)
"""The day-count conventions by their names; :func:`day_count` also takes common aliases."""

# Aliases after _key(): upper case, "ACTUAL" as "ACT", no spaces, brackets, dashes or underscores.
_ALIASES = {
    "ACT/360": "ACT/360", "A/360": "ACT/360", "FRENCH": "ACT/360",
    "ACT/365F": "ACT/365F", "ACT/365FIXED": "ACT/365F", "A/365F": "ACT/365F", "A/365FIXED": "ACT/365F",
    "ENGLISH": "ACT/365F",
    "ACT/ACT": "ACT/ACT ISDA", "ACT/ACTISDA": "ACT/ACT ISDA", "A/A": "ACT/ACT ISDA", "A/AISDA": "ACT/ACT ISDA",
    "30/360": "30/360", "360/360": "30/360", "BONDBASIS": "30/360", "30/360BONDBASIS": "30/360",
    "30A/360": "30/360",
    "30E/360": "30E/360", "EUROBONDBASIS": "30E/360", "30/360EUROPEAN": "30E/360", "30E/360ICMA": "30E/360",
}
# Names that mean different conventions to different desks: refused with a question back.
_AMBIGUOUS = {
    "ACT/365": "ACT/365F (Actual/365 Fixed) or ACT/ACT ISDA",
    "A/365": "ACT/365F (Actual/365 Fixed) or ACT/ACT ISDA",
}


def _key(name: str) -> str:
    key = re.sub(r"[\s()\-_]", "", name.upper())
    return key.replace("ACTUAL", "ACT")


def day_count(name: str | DayCount) -> DayCount:
    """The day-count convention named ``name`` (case-insensitive; a :class:`DayCount` is returned as is).

    Names: ``"ACT/360"``, ``"ACT/365F"``, ``"ACT/ACT ISDA"``, ``"30/360"`` (bond basis) and
    ``"30E/360"`` (Eurobond basis), and aliases such as ``"Actual/365 (Fixed)"``,
    ``"Actual/Actual (ISDA)"``, ``"Bond Basis"``, ``"Eurobond Basis"``. Raises ``ValueError``
    for an unknown or ambiguous name (``"ACT/365"``), ``TypeError`` for a non-string.
    """
    if isinstance(name, DayCount):
        return name
    if not isinstance(name, str):
        raise TypeError(f"a day count is a name such as 'ACT/360', got {type(name).__name__} {name!r}")
    key = _key(name)
    if key in _AMBIGUOUS:
        raise ValueError(f"day count {name!r} is ambiguous: say {_AMBIGUOUS[key]}")
    if key not in _ALIASES:
        raise ValueError(f"unknown day count {name!r}; known: {', '.join(DAY_COUNTS)}")
    return _CONVENTIONS[_ALIASES[key]]
