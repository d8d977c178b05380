"""Tenors ("3M", "10Y") and date arithmetic with them.

A tenor is a length of days (D), weeks (W), months (M) or years (Y). Adding months or years
keeps the day of the month, clamped to the length of the month reached: 31 January plus one
month is 28 (or 29) February, and 29 February plus one year is 28 February. Adding n
periods at once is computed from the original date, so the clamping does not accumulate
(31 January plus 2M is 31 March), as QuantLib's ``Date + Period`` does. The end-of-month
rule that keeps month ends on month ends belongs to schedules
(:func:`kestro.conventions.schedule`).
"""

from __future__ import annotations

import re
from typing import Any

import numpy as np

from kestro.conventions.dates import add_months, day_numbers, from_day_numbers

__all__ = ["FREQUENCIES", "Tenor", "add_tenor", "frequency", "tenor"]

_UNITS = {"D": "days", "W": "weeks", "M": "months", "Y": "years"}
_FORM = re.compile(r"\s*([+-]?)\s*(\d+)\s*([A-Za-z]*)\s*")


class Tenor:
    """A length of time in days, weeks, months or years, e.g. ``Tenor(3, "M")`` or ``tenor("3M")``.

    Tenors of the same span compare equal: ``tenor("12M") == tenor("1Y")``, ``tenor("2W") ==
    tenor("14D")``. ``str()`` gives the usual short form.
    """

    __slots__ = ("length", "unit")
    length: int
    unit: str

    def __init__(self, length: int, unit: str) -> None:
        if isinstance(length, bool) or not isinstance(length, (int, np.integer)):
            raise TypeError(f"a tenor's length must be an integer, got {length!r}")
        if length < 0:
            raise ValueError(f"a tenor's length must not be negative, got {length}")
        if not isinstance(unit, str) or unit.upper() not in _UNITS:
            raise ValueError(f"unknown tenor unit {unit!r}; units are D (days), W (weeks), M (months), Y (years)")
        object.__setattr__(self, "length", int(length))
        object.__setattr__(self, "unit", unit.upper())

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a Tenor cannot be changed")

    def __reduce__(self) -> tuple[Any, ...]:
        return (Tenor, (self.length, self.unit))

    @property
    def months(self) -> int | None:
        """The tenor in months, or None for days and weeks."""
        return {"M": self.length, "Y": 12 * self.length}.get(self.unit)

    @property
    def days(self) -> int | None:
        """The tenor in days, or None for months and years."""
        return {"D": self.length, "W": 7 * self.length}.get(self.unit)

    def _span(self) -> tuple[str, int]:
        return ("M", self.months) if self.months is not None else ("D", self.days or 0)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Tenor) and self._span() == other._span()

    def __hash__(self) -> int:
        return hash(self._span())

    def __str__(self) -> str:
        return f"{self.length}{self.unit}"

    def __repr__(self) -> str:
        return f"Tenor({self.length}, {self.unit!r})"


def tenor(value: str | Tenor) -> Tenor:
    """The tenor written ``value``: a whole number and a unit, D, W, M or Y, in either case.

    ``"1D"``, ``"2w"``, ``"18M"``, ``"10Y"`` and ``"0D"`` are tenors; ``""``, ``"-1M"`` and
    ``"3X"`` raise ``ValueError`` saying what is wrong. A :class:`Tenor` is returned as is.
    """
    if isinstance(value, Tenor):
        return value
    if not isinstance(value, str):
        raise TypeError(f"a tenor is a string such as '3M' or a Tenor, got {type(value).__name__} {value!r}")
    if not value.strip():
        raise ValueError("empty tenor; write a length and a unit, e.g. '3M' (units D, W, M, Y)")
    found = _FORM.fullmatch(value)
    if found is None:
        raise ValueError(f"tenor {value!r} is not a length and a unit such as '3M' (units D, W, M, Y)")
    sign, length, unit = found.groups()
    if sign == "-":
        raise ValueError(f"tenor {value!r} is negative; tenors run forward (subtract with add_tenor(..., count=-1))")
    if not unit:
        raise ValueError(f"tenor {value!r} has no unit; add D (days), W (weeks), M (months) or Y (years)")
    if unit.upper() not in _UNITS:
        raise ValueError(f"tenor {value!r} has unknown unit {unit!r}; units are D (days), W (weeks), "
                         "M (months), Y (years)")
    return Tenor(int(length), unit)


FREQUENCIES: dict[str, Tenor] = {
    "ANNUAL": Tenor(1, "Y"), "SEMIANNUAL": Tenor(6, "M"), "QUARTERLY": Tenor(3, "M"),
    "MONTHLY": Tenor(1, "M"), "WEEKLY": Tenor(1, "W"), "DAILY": Tenor(1, "D"), "ONCE": Tenor(0, "D"),
}
"""Frequency names :func:`frequency` takes besides tenors: a period of each tenor ("ONCE": one period)."""


def frequency(value: str | Tenor) -> Tenor:
    """The period of a schedule: a tenor (``"6M"``) or a name of :data:`FREQUENCIES` (``"semiannual"``)."""
    if isinstance(value, str):
        named = FREQUENCIES.get(re.sub(r"[^A-Z]", "", value.upper()))
        if named is not None:
            return named
        try:
            return tenor(value)
        except ValueError as error:
            raise ValueError(f"{error}; or name a frequency: {', '.join(n.lower() for n in FREQUENCIES)}") from None
    return tenor(value)


def shift_days(days: np.ndarray, period: Tenor, count: Any) -> np.ndarray:
    """Day counts since 1970 moved by ``count`` periods (an integer or an integer array)."""
    if period.months is not None:
        return add_months(days, np.asarray(count, dtype=np.int64) * period.months)
    return days + np.asarray(count, dtype=np.int64) * (period.days or 0)


def add_tenor(dates: Any, period: str | Tenor, count: Any = 1) -> Any:
    """Each date plus ``count`` times ``period``: a ``numpy.datetime64`` day, or an array of them.

    ``count`` is an integer or an integer array broadcast against the dates; a negative count
    subtracts. Months and years clamp to the end of the month reached (see above).
    """
    days, shape = day_numbers(dates)
    counts = np.asarray(count)
    if counts.dtype.kind not in "iu" or counts.dtype == np.bool_:
        raise TypeError(f"count must be an integer or an integer array, got {count!r}")
    try:
        full = np.broadcast_shapes(shape or (), counts.shape)
    except ValueError:
        raise ValueError(f"counts of shape {counts.shape} do not broadcast against dates of shape {shape}") from None
    d = np.broadcast_to(days.reshape(shape or ()), full).reshape(-1)
    n = np.broadcast_to(counts.astype(np.int64), full).reshape(-1)
    out = shift_days(d, tenor(period), n)
    return from_day_numbers(out, None if shape is None and counts.ndim == 0 else full)
