"""What the engine would refuse less clearly, checked before it runs, and its failures explained.

The engine reports a failure as a ``RuntimeError`` in its own terms ("Asset 'XYZ' not found in
snaps, expressions, or in dataset[ASSETS]", "Interpolation out of range at time 6."). The
mistakes a user can make (an asset the market lacks, a curve too short for the contract, a
misspelt op, a market without a discount curve) are caught here first with a message in the
user's terms: the row, its date and track, the curve and the range it covers. What slips
through is translated by :func:`explain`, chained to the engine's error.
"""

from __future__ import annotations

import re
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Iterator

import numpy as np
import pyarrow as pa

from kestro.clock import YEAR_MS, format_ms

if TYPE_CHECKING:
    from kestro.market import Market
    from kestro.templates import Contract

__all__ = ["check_contract", "explain"]

_BOOKING_OPS = ("+", ">", "<")
_LIKELY_OP = {"max": ">", "min": "<", "add": "+", "plus": "+", "sum": "+", "choose": ">", "best": ">",
              "worst": "<", "=": "+", "+=": "+", ">=": ">", "<=": "<"}


def _keys(events: pa.RecordBatch, column: str) -> tuple[np.ndarray, list[Any]]:
    values = events.column(column)
    keys = values.indices.fill_null(-1).to_numpy(zero_copy_only=False)
    return keys, values.dictionary.to_pylist()


def _row(contract: Contract, i: int) -> str:
    track_keys, tracks = _keys(contract.events, "track")
    time = int(contract.times[i])
    return f"row {i} ({format_ms(time)}, track {tracks[track_keys[i]]!r})"


def _expression_names(contract: Contract) -> set[str]:
    names = set(contract.expressions)
    for entry in contract.expressions.values():
        if isinstance(entry, dict) and entry.get("type") == "snapper":
            names.update(str(name) for name in entry.get("out", ()))
    return names


def check_contract(contract: Contract, market: Market, model: str, pathwise: bool) -> None:
    """Refuse, in the user's terms, what the engine would refuse in its own.

    Checks the base currency's discount curve (present, long enough for the last event), the
    assets the contract reads (in the market, their curves long enough), and the ops (a
    misspelt op would be read as the name of an asset).
    """
    from kestro.rates.bonds import BOND_PREFIX

    if market.discount is None:
        raise ValueError(f"the market has no discount curve for its base currency {market.base!r}: give "
                         "Market(discount=kestro.zero_curve(...)) or use Market.flat")
    events = contract.events
    times = contract.times
    if times.size == 0:
        return
    tracks = set(contract.tracks)
    expressions = _expression_names(contract)
    unit_keys, units = _keys(events, "unit")
    op_keys, ops = _keys(events, "op")
    known = set(market.forwards) | {market.base}

    def is_asset(name: str) -> bool:
        return name not in tracks and name not in expressions

    last_use: dict[str, int] = {}
    for key, name in enumerate(units):
        if name is None or not is_asset(name) or name.startswith(BOND_PREFIX):
            continue
        rows = np.flatnonzero(unit_keys == key)
        if rows.size == 0:
            continue
        if name not in known:
            raise KeyError(f"{_row(contract, int(rows[0]))} reads asset {name!r}, which the market does not "
                           f"have; its assets are {', '.join(sorted(market.forwards)) or 'none'} (and the base "
                           f"currency {market.base!r}). Add a forward curve to Market.forwards, or fix the name")
        last_use[name] = int(times[rows].max())
    for key, op in enumerate(ops):
        if op is None or op in _BOOKING_OPS:
            continue
        rows = np.flatnonzero(op_keys == key)
        if rows.size == 0:
            continue
        where = _row(contract, int(rows[0]))
        hint = f"; did you mean {_LIKELY_OP[op.lower()]!r}?" if op.lower() in _LIKELY_OP else ""
        if not pathwise:
            raise ValueError(f"{where} has op {op!r}: the {model} grid books only '+', '>' and '<' (a named op, "
                             f"weighting the row by a phrase, snap or asset, needs a path-wise model){hint}")
        if is_asset(op) and op not in known and not op.startswith(BOND_PREFIX):
            raise ValueError(f"{where} has op {op!r}, which is neither '+', '>', '<' nor a phrase, snap or asset "
                             f"the weight could come from{hint}")
        if is_asset(op) and op in known:
            last_use[op] = max(last_use.get(op, 0), int(times[rows].max()))

    _check_reach(market.discount, f"the {market.base} discount curve", int(times.max()), market.pricing_time,
                 "the contract's last event")
    for name, when in last_use.items():
        if name != market.base:
            _check_reach(market.forwards[name], f"the forward curve of {name!r}", when, market.pricing_time,
                         f"the contract reads {name!r} until")


def _check_reach(entry: tuple[str, np.ndarray], what: str, when: int, pricing_time: int, needed_by: str) -> None:
    data = entry[1]
    years = (when - pricing_time) / YEAR_MS
    end = float(data[0][-1])
    if years > end:
        raise ValueError(f"{what} covers {_span(data)} years from the pricing time, but {needed_by} "
                         f"{format_ms(when)} ({years:.6g} years): extend the curve to at least {years:.6g} years")


def _span(data: np.ndarray) -> str:
    first, last = float(data[0][0]), float(data[0][-1])
    return f"0 to {last:g}" if first <= 0 else f"0 to {last:g} (its first point at {first:g})"


_OUT_OF_RANGE = re.compile(r"Interpolation out of range at time ([^\s.]+(?:\.\d+)?)")
_NOT_FOUND = re.compile(r"Asset '([^']*)' not found in snaps, expressions, or in dataset\[ASSETS\]")
_UNKNOWN_OP = re.compile(r"Unknown Op '([^']*)'")


def _describe_curves(market: Market) -> str:
    parts = [f"{market.base} discount {_span(market.discount[1])}"] if market.discount is not None else []
    parts += [f"{name} {_span(entry[1])}" for name, entry in market.forwards.items()]
    return "; ".join(parts) + " years"


@contextmanager
def explain(market: Market) -> Iterator[None]:
    """Turn the engine's failures a user can cause into ``ValueError``/``KeyError`` in user terms.

    The engine's ``RuntimeError`` stays attached as ``__cause__``; failures that are not the
    user's (and interrupts) pass unchanged.
    """
    try:
        yield
    except RuntimeError as error:
        text = str(error)
        match = _NOT_FOUND.search(text)
        if match:
            raise KeyError(f"the engine found no asset {match.group(1)!r}: the market has "
                           f"{', '.join(sorted(market.forwards)) or 'no assets'} (base {market.base!r})") from error
        match = _OUT_OF_RANGE.search(text)
        if match:
            raise ValueError(f"a curve was read at {match.group(1)} years from the pricing time, beyond its end "
                             f"(curves cover: {_describe_curves(market)}); extend the curves") from error
        match = _UNKNOWN_OP.search(text)
        if match:
            raise ValueError(f"op {match.group(1)!r} cannot be booked here: the grid models book only '+', '>' "
                             "and '<'") from error
        raise
