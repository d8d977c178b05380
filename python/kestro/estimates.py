"""What :func:`kestro.price` returns: a float that also says how it was obtained."""

from __future__ import annotations

import math
from typing import Optional

__all__ = ["Price"]


class Price(float):
    """A price, usable as the float it is, that carries how it was obtained.

    - ``model``: the pricing model ("fixed", "monte_carlo", "black_scholes", "hull_white").
    - ``standard_error``: the Monte Carlo standard error of the mean over the paths (over the
      pairs of antithetic paths when the paths come in pairs); None for the other models.
    - ``paths``: the number of Monte Carlo paths, None for the other models.
    - ``exercise``: how choices were made under Monte Carlo: ``"regression"`` (a rule fitted on
      calibration paths, a feasible policy: for the holder's choices a low-biased estimate),
      ``"regression (in-sample)"`` (the rule was fitted on the pricing paths themselves, for a
      path source that cannot draw paths of its own), ``"pathwise"`` (every choice with
      foresight of its path: for the holder's choices a high-biased estimate) or None when
      the contract has no choice or the model is not Monte Carlo.
    - ``calibration_paths``: the paths the exercise rule was fitted on, if any.
    - ``upper_bound``: on request (``upper_bound=True``) the path-wise price of the same
      contract on the same paths, itself a :class:`Price`, so that the two bracket the value
      (for a contract whose choices are all the holder's; for the issuer's the roles swap).

    Arithmetic on a price gives a plain float. ``str()`` is the number; ``repr()`` shows the rest.
    """

    __slots__ = ("model", "standard_error", "paths", "exercise", "calibration_paths", "upper_bound")

    model: str
    standard_error: Optional[float]
    paths: Optional[int]
    exercise: Optional[str]
    calibration_paths: Optional[int]
    upper_bound: Optional["Price"]

    def __new__(cls, value: float, model: str, *, standard_error: Optional[float] = None,
                paths: Optional[int] = None, exercise: Optional[str] = None, calibration_paths: Optional[int] = None,
                upper_bound: Optional["Price"] = None) -> "Price":
        price = super().__new__(cls, value)
        price.model = model
        price.standard_error = standard_error
        price.paths = paths
        price.exercise = exercise
        price.calibration_paths = calibration_paths
        price.upper_bound = upper_bound
        return price

    def __reduce__(self) -> tuple:
        return (_rebuild, ((float(self), self.model), {
            "standard_error": self.standard_error, "paths": self.paths, "exercise": self.exercise,
            "calibration_paths": self.calibration_paths, "upper_bound": self.upper_bound}))

    __str__ = float.__repr__

    def __repr__(self) -> str:
        parts = [float.__repr__(self)]
        if self.standard_error is not None:
            parts[0] += f" ± {self.standard_error:.2g}" if math.isfinite(self.standard_error) else " ± nan"
        parts.append(f"model={self.model!r}")
        if self.paths is not None:
            parts.append(f"paths={self.paths}")
        if self.exercise is not None:
            parts.append(f"exercise={self.exercise!r}")
        if self.upper_bound is not None:
            parts.append(f"upper_bound={float(self.upper_bound)!r}")
        return f"Price({', '.join(parts)})"


def _rebuild(args: tuple, kwargs: dict) -> Price:
    return Price(*args, **kwargs)
