"""Yields of cashflows: compounding conventions, the price at a yield, and the yield of a price.

A yield y with compounding frequency f grows one unit over a year fraction t to:

================= ==========================
compounding       growth over t
================= ==========================
``"simple"``      1 + y t
``"compounded"``  (1 + y / f) ** (f t)
``"continuous"``  exp(y t)
================= ==========================

Cashflows are discounted step by step from the settlement date, each over the year fraction
from the previous payment (the day count's, so 30/360 steps add up as the bond's coupons do),
as QuantLib's ``CashFlows::npv`` at an ``InterestRate`` does: a coupon whose accrual does not
start on the previous date is discounted over its accrual year fraction less the part already
accrued by then. The yield of a price is solved by Newton steps kept inside a bracket that
always holds the root, to a relative 1e-15 of the yield.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from kestro.conventions import DayCount

__all__ = ["COMPOUNDING", "YieldCashflows", "compounding"]

COMPOUNDING: tuple[str, ...] = ("simple", "compounded", "continuous")
"""The compounding conventions of a yield."""


def compounding(name: str) -> str:
    """The compounding convention named ``name`` (case and spaces/underscores/dashes ignored)."""
    if not isinstance(name, str):
        raise TypeError(f"compounding is a name such as 'compounded', got {type(name).__name__} {name!r}")
    key = " ".join(name.lower().replace("_", " ").replace("-", " ").split())
    if key not in COMPOUNDING:
        raise ValueError(f"unknown compounding {name!r}; known: {', '.join(COMPOUNDING)}")
    return key


@dataclass(frozen=True)
class YieldCashflows:
    """Cashflows after a settlement date with their discounting steps, ready for any yield.

    ``amounts`` in payment order and ``steps``, the year fraction each one is discounted over
    from the one before it (the first from settlement).
    """

    amounts: np.ndarray
    steps: np.ndarray
    compounding: str
    frequency: float

    @classmethod
    def build(cls, settlement: int, payment_days: np.ndarray, amounts: np.ndarray, accrual_starts: np.ndarray,
              is_coupon: np.ndarray, day_count: DayCount, how: str, frequency: float) -> YieldCashflows:
        """From cashflows sorted by payment date (day numbers) that fall after ``settlement``."""
        previous = np.concatenate([[settlement], payment_days[:-1]]).astype(np.int64)
        fraction = day_count.year_fraction_days
        plain = fraction(previous, payment_days)
        # A coupon discounted from a date other than its accrual start: its accrual to payment
        # less what had accrued by that date.
        split = is_coupon & (previous != accrual_starts)
        steps = plain.copy()
        if np.any(split):
            s, p, d = accrual_starts[split], previous[split], payment_days[split]
            steps[split] = fraction(s, d) - fraction(s, p)
        return cls(np.asarray(amounts, dtype=np.float64), steps, how, float(frequency))

    def _growth(self, y: float) -> tuple[np.ndarray, np.ndarray]:
        """Each step's growth factor at ``y`` and its logarithmic derivative in ``y``."""
        t, f = self.steps, self.frequency
        if self.compounding == "simple":
            return 1.0 + y * t, t / (1.0 + y * t)
        if self.compounding == "continuous":
            return np.exp(y * t), t.copy()
        base = 1.0 + y / f
        return base ** (f * t), t / base

    def value(self, y: float) -> tuple[float, float]:
        """The value at settlement of the cashflows at yield ``y``, and its derivative in ``y``."""
        growth, log_slope = self._growth(y)
        discount = np.cumprod(1.0 / growth)
        value = float(np.dot(self.amounts, discount))
        slope = -float(np.dot(self.amounts * discount, np.cumsum(log_slope)))
        return value, slope

    def _lowest(self) -> float:
        """The yield below which a growth factor stops being positive."""
        t = self.steps[self.steps > 0]
        if self.compounding == "continuous" or t.size == 0:
            return -math.inf
        return -1.0 / float(t.max()) if self.compounding == "simple" else -self.frequency

    def solve(self, target: float) -> float:
        """The yield at which the cashflows are worth ``target`` at settlement."""
        if not math.isfinite(target) or target <= 0:
            raise ValueError(f"a yield needs a positive price, got {target!r}")
        if np.any(self.amounts < 0) or not np.any(self.amounts > 0):
            raise ValueError("a yield needs cashflows that are all received: the value would not fall as the "
                             "yield rises")
        floor = self._lowest()
        # The value falls as the yield rises: widen [lo, hi] until value(lo) >= target >= value(hi).
        lo, hi, step = 0.0, 0.05, 0.05
        for _ in range(200):
            if self.value(hi)[0] <= target:
                break
            lo, hi, step = hi, hi + 2 * step, 2 * step
        else:
            raise ValueError(f"no yield gives a price as low as {target!r}")
        step = 0.05
        for _ in range(200):
            if self.value(lo)[0] >= target:
                break
            hi, lo, step = lo, max(lo - step, 0.5 * (lo + floor)), 2 * step  # never past the floor
        else:
            raise ValueError(f"no yield gives a price as high as {target!r}")
        y = 0.5 * (lo + hi)
        for _ in range(200):
            value, slope = self.value(y)
            if value > target:
                lo = y
            else:
                hi = y
            step = (value - target) / slope if slope < 0 else math.nan
            candidate = y - step
            if not (lo < candidate < hi):
                candidate = 0.5 * (lo + hi)  # Newton left the bracket: bisect instead
            if abs(candidate - y) <= 1e-15 * max(1.0, abs(y)) or hi - lo <= 1e-15 * max(1.0, abs(y)):
                return candidate
            y = candidate
        raise ValueError(f"the yield did not converge for the price {target!r}")
