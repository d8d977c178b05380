"""The standard normal distribution on NumPy arrays, accurate to a few ulps relative in both tails.

``1 - N(z)`` loses every digit once N(z) is close to 1, and the tails of the normal are what
deep in- and out-of-the-money options are made of, so :func:`normal_cdf` takes every value
from the tail that is small (:func:`normal_cdf_pair` gives ``N(z)`` and ``N(-z)`` together,
:func:`normal_cdf_centred` ``N(z) - 1/2`` near 0, for differences of close values). The tail comes from
W. J. Cody's rational Chebyshev approximations of erfc (Math. Comp. 23, 1969, 631-638), whose
relative error is below 1e-16 in each of their three intervals; ``exp(-z^2 / 2)`` is split as
Cody does, so its error does not grow with z^2 deep in the tail.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

__all__ = ["CENTRAL", "normal_cdf", "normal_cdf_centred", "normal_cdf_pair", "normal_pdf"]

_SQRT_HALF = math.sqrt(0.5)
_INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)
_INV_SQRT_PI = 1.0 / math.sqrt(math.pi)
_ERF_LIMIT = 0.46875  # |y| where Cody switches from erf to erfc
CENTRAL = 0.46875 * math.sqrt(2.0)
"""|z| up to which :func:`normal_cdf_centred` is accurate relative to its own value (0.6629)."""
_FAR = 50.0  # N(-50) and the density at 50 underflow to 0: larger |z|, infinity included, are cut to this

# erf(y) = y * A(y^2) / B(y^2) for |y| <= 0.46875
_A = (3.16112374387056560e00, 1.13864154151050156e02, 3.77485237685302021e02, 3.20937758913846947e03,
      1.85777706184603153e-1)
_B = (2.36012909523441209e01, 2.44024637934444173e02, 1.28261652607737228e03, 2.84423683343917062e03)
# erfc(y) = exp(-y^2) * C(y) / D(y) for 0.46875 < y <= 4
_C = (5.64188496988670089e-1, 8.88314979438837594e00, 6.61191906371416295e01, 2.98635138197400131e02,
      8.81952221241769090e02, 1.71204761263407058e03, 2.05107837782607147e03, 1.23033935479799725e03,
      2.15311535474403846e-8)
_D = (1.57449261107098347e01, 1.17693950891312499e02, 5.37181101862009858e02, 1.62138957456669019e03,
      3.29079923573345963e03, 4.36261909014324716e03, 3.43936767414372164e03, 1.23033935480374942e03)
# erfc(y) = exp(-y^2) / y * (1/sqrt(pi) - P(1/y^2) / (y^2 Q(1/y^2))) for y > 4
_P = (3.05326634961232344e-1, 3.60344899949804439e-1, 1.25781726111229246e-1, 1.60837851487422766e-2,
      6.58749161529837803e-4, 1.63153871373020978e-2)
_Q = (2.56852019228982242e00, 1.87295284992346047e00, 5.27905102951428412e-1, 6.05183413124413191e-2,
      2.33520497626869185e-3)


def _gauss(z: np.ndarray) -> np.ndarray:
    """``exp(-z^2 / 2)`` for z >= 0, with z^2 split into an exact part and a small remainder.

    Rounding z^2 would cost a relative error of z^2 times an ulp (1e-13 at z = 37); the
    coarse part ``(16 z rounded down / 16)^2`` is exact and the remainder is small.
    """
    coarse = np.floor(z * 16.0)
    coarse *= 1.0 / 16.0
    rest = z - coarse
    rest *= z + coarse
    rest *= -0.5
    np.exp(rest, out=rest)
    coarse *= coarse
    coarse *= -0.5
    np.exp(coarse, out=coarse)
    coarse *= rest
    return coarse


def _ratio(y: np.ndarray, top: tuple[float, ...], bottom: tuple[float, ...]) -> np.ndarray:
    """Cody's ``(((top[-1] y + top[0]) y + top[1]) y ... + top[-2]) / ((((y + bottom[0]) y ... + bottom[-1])``."""
    num = top[-1] * y
    den = y.copy()
    for a, b in zip(top[:-2], bottom[:-1]):
        num += a
        num *= y
        den += b
        den *= y
    num += top[-2]
    den += bottom[-1]
    num /= den
    return num


def _upper_tail(z: np.ndarray) -> np.ndarray:
    """``N(-z)`` for z >= 0.46875 * sqrt(2), from erfc(z / sqrt(2)) = 2 N(-z).

    Both of Cody's tail forms are evaluated on every element and the right one picked:
    cheaper than gathering and scattering the elements of each interval.
    """
    y = z * _SQRT_HALF
    out = _ratio(np.clip(y, _ERF_LIMIT, 4.0), _C, _D)
    far = y > 4.0
    if far.any():
        yf = np.maximum(y, 4.0)
        inv = 1.0 / (yf * yf)
        asymptotic = inv * _ratio(inv, _P, _Q)
        np.subtract(_INV_SQRT_PI, asymptotic, out=asymptotic)
        asymptotic /= yf
        out = np.where(far, asymptotic, out)
    out *= 0.5
    out *= _gauss(z)
    return out


def _central(z: np.ndarray) -> np.ndarray:
    """``erf(z / sqrt(2)) / 2`` for |z| <= 0.46875 * sqrt(2): N(z) - 1/2."""
    y = z * _SQRT_HALF
    out = _ratio(y * y, _A, _B)
    out *= y
    out *= 0.5
    return out


def _lower_tail(size: np.ndarray) -> np.ndarray:
    """``N(-size)`` for size >= 0 (at most _FAR), accurate relative to itself."""
    limit = _ERF_LIMIT / _SQRT_HALF
    near = size <= limit
    if near.all():
        return 0.5 - _central(size)
    tail = _upper_tail(np.maximum(size, limit))
    if near.any():
        tail = np.where(near, 0.5 - _central(np.minimum(size, limit)), tail)
    return tail


def normal_cdf_pair(z: Any) -> tuple[np.ndarray, np.ndarray]:
    """``(N(z), N(-z))`` as float64 arrays of z's shape, each accurate relative to its own size.

    Infinite z gives 0 and 1; NaN gives NaN.
    """
    z = np.asarray(z, dtype=np.float64)
    shape, z = z.shape, z.reshape(-1)  # one dimension: NumPy turns 0-d results into scalars, which lack out=
    below = _lower_tail(np.minimum(np.abs(z), _FAR))
    above = 1.0 - below
    negative = z < 0
    return np.where(negative, below, above).reshape(shape), np.where(negative, above, below).reshape(shape)


def normal_cdf(z: Any) -> np.ndarray:
    """The standard normal distribution function N(z), elementwise, accurate relative to N(z) itself.

    Infinite z gives 0 or 1; NaN gives NaN.
    """
    z = np.asarray(z, dtype=np.float64)
    shape, z = z.shape, z.reshape(-1)
    below = _lower_tail(np.minimum(np.abs(z), _FAR))
    return np.where(z < 0, below, 1.0 - below).reshape(shape)


def normal_cdf_centred(z: Any) -> np.ndarray:
    """``N(z) - 1/2`` for ``|z| <= CENTRAL``, accurate relative to itself (from erf, no 1/2 to cancel).

    Differences of N between nearby central points keep their digits this way; outside the
    interval the result is that of the interval's end, so mask those entries out.
    """
    z = np.asarray(z, dtype=np.float64)
    return _central(np.clip(z.reshape(-1), -CENTRAL, CENTRAL)).reshape(z.shape)


def normal_pdf(z: Any) -> np.ndarray:
    """The standard normal density ``exp(-z^2 / 2) / sqrt(2 pi)``, elementwise, accurate in the tails."""
    z = np.asarray(z, dtype=np.float64)
    density = _gauss(np.minimum(np.abs(z.reshape(-1)), _FAR))
    density *= _INV_SQRT_2PI
    return density.reshape(z.shape)
