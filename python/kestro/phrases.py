"""The phrase and snapper functions of the ready-made contracts, as small picklable objects.

A contract travels to other processes (a Dask worker, a process pool) by plain :mod:`pickle`,
which cannot carry a function defined inside another function. So each expression function of
:mod:`kestro.templates` is an instance of a module-level class holding its parameters; calling
it is what the closure it replaces did, operation for operation, so prices do not change.
Each takes the engine's list of input arrays and returns the list of outputs.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["BarrierCheck", "FirstBarrierCheck", "KnockOutPayoff", "StrikeIndicator", "SwapValue"]


@dataclass(frozen=True)
class StrikeIndicator:
    """``[S > strike]`` (``above``) or ``[S < strike]``: the digital's payout indicator."""

    strike: float
    above: bool

    def __call__(self, values: list[np.ndarray]) -> list[np.ndarray]:
        # The engine reads a boolean array as 1.0 where true, 0.0 where false.
        return [values[0] > self.strike if self.above else values[0] < self.strike]


def _inside(spot: np.ndarray, barrier: float, up: bool) -> np.ndarray:
    return spot < barrier if up else spot > barrier


@dataclass(frozen=True)
class FirstBarrierCheck:
    """The knock-out's first snap: 1.0 where the spot is inside the barrier (below it for ``up``)."""

    barrier: float
    up: bool

    def __call__(self, values: list[np.ndarray]) -> list[np.ndarray]:
        return [_inside(values[0], self.barrier, self.up)]


@dataclass(frozen=True)
class BarrierCheck:
    """A later knock-out snap: the stored indicator times the indicator at this date."""

    barrier: float
    up: bool

    def __call__(self, values: list[np.ndarray]) -> list[np.ndarray]:
        spot, still_alive = values
        return [still_alive * _inside(spot, self.barrier, self.up)]


@dataclass(frozen=True)
class KnockOutPayoff:
    """``alive * max(S - strike, 0)`` for a call, ``alive * max(strike - S, 0)`` for a put."""

    strike: float
    call: bool

    def __call__(self, values: list[np.ndarray]) -> list[np.ndarray]:
        spot, still_alive = values
        intrinsic = spot - self.strike if self.call else self.strike - spot
        return [still_alive * np.maximum(intrinsic, 0.0)]


class SwapValue:
    """The value of entering the rest of a swap, per unit of notional, from its bond prices.

    ``sign * (sum_j coefficients[j] * P_j - 1)``: the fixed coupons and the notional at maturity
    (folded into the last coefficient) less the notional now, the floating leg being at par.
    """

    __slots__ = ("coefficients", "sign")

    def __init__(self, coefficients: np.ndarray, sign: float) -> None:
        self.coefficients = np.array(coefficients, dtype=np.float64)
        self.sign = float(sign)

    def __call__(self, bonds: list[np.ndarray]) -> list[np.ndarray]:
        total = self.coefficients[0] * np.asarray(bonds[0], dtype=np.float64)
        for coefficient, bond in zip(self.coefficients[1:], bonds[1:]):
            total = total + coefficient * np.asarray(bond, dtype=np.float64)
        return [self.sign * (total - 1.0)]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SwapValue):
            return NotImplemented
        return self.sign == other.sign and np.array_equal(self.coefficients, other.coefficients)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"SwapValue(coefficients={self.coefficients.tolist()}, sign={self.sign:g})"
