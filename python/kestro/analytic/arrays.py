"""Arguments of the closed forms: checked, broadcast NumPy arrays, evaluated block by block.

A formula applied to a million options at once makes each of its temporaries a fresh 8 MB
array, and filling fresh pages costs more than the arithmetic; :func:`blockwise` runs it over
blocks that stay in cache instead.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, Union

import numpy as np

__all__ = ["BLOCK", "Value", "blockwise", "broadcast", "index_text", "real_array", "result", "sign_array"]

Value = Union[float, np.ndarray]
"""A float for scalar arguments, an array of the broadcast shape otherwise."""

BLOCK = 1 << 14
"""Elements per block in :func:`blockwise`: a formula's dozens of temporaries stay within the caches."""


def index_text(mask: np.ndarray) -> str:
    """" at index i" (or a tuple for several dimensions) of the first True in ``mask``; "" for a 0-d mask."""
    if mask.ndim == 0:
        return ""
    index = np.unravel_index(int(np.argmax(mask)), mask.shape)
    return f" at index {index[0] if len(index) == 1 else tuple(int(i) for i in index)}"


def real_array(name: str, value: Any, bound: str = "", finite: bool = True) -> np.ndarray:
    """``value`` as a float64 array, checked finite (unless ``finite`` is False) and, by ``bound``,
    "positive" or "non-negative".

    Raises TypeError for what is not a number (booleans and strings included) and ValueError,
    naming ``name``, the value and its index, for what is out of range.
    """
    not_numbers = isinstance(value, np.ndarray) and value.dtype.kind in "bUSOcV"  # booleans, text, objects, complex
    if isinstance(value, (bool, np.bool_, str, bytes)) or not_numbers:
        raise TypeError(f"{name} must be a number or an array of numbers, got {value!r}")
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number or an array of numbers, got {value!r}") from None
    if finite:
        bad = ~np.isfinite(array)
        if bad.any():
            raise ValueError(f"{name} must be finite, got {float(array[bad].flat[0])!r}{index_text(bad)}")
    if bound:
        bad = array <= 0 if bound == "positive" else array < 0
        if bad.any():
            wanted = "positive" if bound == "positive" else "zero or more"
            raise ValueError(f"{name} must be {wanted}, got {float(array[bad].flat[0])!r}{index_text(bad)}")
    return array


def sign_array(call: Any) -> np.ndarray:
    """+1.0 for a call, -1.0 for a put, from True/False or an array of them."""
    array = np.asarray(call)
    if array.dtype != np.bool_:
        raise TypeError(f"call must be True (a call), False (a put) or an array of them, got {call!r}")
    return np.where(array, 1.0, -1.0)


def broadcast(**arrays: np.ndarray) -> tuple[list[np.ndarray], bool]:
    """The arrays, in order, checked to broadcast together, and whether all of them are scalars.

    Raises ValueError naming every argument's shape when they do not broadcast.
    """
    try:
        np.broadcast_shapes(*(a.shape for a in arrays.values()))
    except ValueError:
        shapes = ", ".join(f"{name} {np.shape(a)}" for name, a in arrays.items())
        raise ValueError(f"the arguments' shapes do not broadcast together: {shapes}") from None
    return list(arrays.values()), all(a.ndim == 0 for a in arrays.values())


def blockwise(kernel: Callable[..., tuple[np.ndarray, ...]], arrays: list[np.ndarray], block: int = BLOCK
              ) -> tuple[np.ndarray, ...]:
    """``kernel``'s arrays over the broadcast ``arrays``, one block of elements at a time.

    The kernel takes the arrays broadcast to one shape and returns a tuple of arrays of that
    shape; it must work elementwise, so that blocks are independent.
    """
    shape = np.broadcast_shapes(*(a.shape for a in arrays))
    size = math.prod(shape)
    if size <= block:
        return tuple(np.asarray(out) for out in kernel(*np.broadcast_arrays(*arrays)))
    flat = [a if a.ndim == 0 else np.broadcast_to(a, shape).reshape(-1) for a in arrays]
    outputs: list[np.ndarray] = []
    for start in range(0, size, block):
        part = [a if a.ndim == 0 else a[start:start + block] for a in flat]
        values = kernel(*np.broadcast_arrays(*part))
        if not outputs:
            outputs = [np.empty(size, dtype=np.asarray(v).dtype) for v in values]
        for out, value in zip(outputs, values):
            out[start:start + block] = value
    return tuple(out.reshape(shape) for out in outputs)


def result(value: np.ndarray, scalar: bool) -> Value:
    """A float for scalar arguments, the array otherwise."""
    return float(value) if scalar else value
