"""Zero-coupon bonds of the base currency as assets: ``"ZCB:<maturity>"``.

An asset named ``"ZCB:"`` followed by an ISO 8601 date or time (anything :func:`kestro.to_ms`
reads from a string: ``"ZCB:2031-01-01"``, ``"ZCB:2031-01-01T12:00:00Z"``) is the bond that
pays one unit of the base currency at that maturity T; its value at a time t <= T is the bond
price P(t, T), in time-t money. :func:`bond_asset` writes the canonical name of a maturity
and :func:`bond_maturity` reads it back.

How each model values a bond:

* ``"fixed"``, ``"black_scholes"`` and ``"monte_carlo"`` on GBM paths (or without a path
  source) have deterministic rates, so P(t, T) is the forward ``DF(T) / DF(t)`` of the
  discount curve: :func:`bond_forwards` writes it as a forward curve of the asset.
* ``"monte_carlo"`` on :class:`kestro.paths.HullWhitePaths` answers the bond price of the
  short-rate model on every path; the forward curve is only the engine's fallback.
* ``"hull_white"`` values every asset at its forward on its grid, so :func:`bonds_on_grid`
  turns each bond into a track that holds one unit paid at the maturity: a row reading the
  track reads P(t, T | x) at every node.

:func:`prepare_bonds` does what the model needs; :func:`kestro.price` calls it.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from kestro.curves import Curve
from kestro.market import Market, forward_curve
from kestro.clock import DAY_MS, YEAR_MS, to_ms

if TYPE_CHECKING:
    from kestro.templates import Contract

__all__ = ["BOND_PREFIX", "bond_asset", "bond_forwards", "bond_maturity", "bonds_on_grid", "prepare_bonds"]

BOND_PREFIX = "ZCB:"
"""What a zero-coupon bond asset's name starts with; the maturity follows."""

_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_FORWARD_MODELS = ("fixed", "black_scholes", "monte_carlo")


def _iso(ms: int) -> str:
    """An ISO date for a midnight UTC, else the full time with milliseconds and Z."""
    try:
        if ms % DAY_MS == 0:
            return (_EPOCH.date() + _dt.timedelta(days=ms // DAY_MS)).isoformat()
        moment = _EPOCH + _dt.timedelta(milliseconds=ms)
    except OverflowError:
        raise ValueError(f"time {ms} ms lies outside the calendar's years 1 to 9999") from None
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def bond_asset(maturity: Any) -> str:
    """The canonical asset name of the zero-coupon bond maturing at ``maturity``.

    ``maturity`` is anything :func:`kestro.to_ms` accepts. The name is ``"ZCB:"`` and the ISO
    date for a maturity at midnight UTC (``"ZCB:2031-01-01"``), else the full time in UTC
    with milliseconds (``"ZCB:2031-01-01T12:00:00.000Z"``).
    """
    return BOND_PREFIX + _iso(to_ms(maturity))


def bond_maturity(name: Any) -> int | None:
    """The maturity, in milliseconds since 1970-01-01 UTC, of the bond asset ``name``.

    None when ``name`` is not a bond name (not a str starting with ``"ZCB:"``); a
    ``"ZCB:..."`` name whose rest is not an ISO date or time raises ``ValueError``.
    """
    if not isinstance(name, str) or not name.startswith(BOND_PREFIX):
        return None
    try:
        return to_ms(name[len(BOND_PREFIX):])
    except ValueError:
        raise ValueError(f"malformed bond asset name {name!r}: expected {BOND_PREFIX!r} followed by an ISO 8601 "
                         "date or time, such as 'ZCB:2031-01-01'") from None


def _show(ms: int) -> str:
    try:
        return _iso(ms)
    except ValueError:
        return f"{ms} ms"


def _bond_forward(name: str, maturity: int, market: Market) -> tuple[str, np.ndarray]:
    if market.discount is None:
        raise ValueError(f"bond {name!r} is valued on the market's discount curve, and this market has none")
    curve = Curve.from_entry(market.discount)
    years = (maturity - market.pricing_time) / YEAR_MS
    if years < 0:
        raise ValueError(f"bond {name!r} matures {-years:.6g} years before the pricing time")
    if years == 0:  # worth one unit at the pricing time, its only time
        return forward_curve([0.0, 1 / YEAR_MS], [1.0, 1.0])
    last = float(curve.times[-1])
    if years > last:
        raise ValueError(f"bond {name!r} matures {years:.6g} years after the pricing time, after the discount "
                         f"curve's last time, {last:.6g} years")
    # ln F(t) = y(t) - y(T) is linear wherever y is: between the curve's times, and from the origin.
    times = np.concatenate([[0.0], curve.times[(curve.times > 0) & (curve.times < years)], [years]])
    try:
        stored = np.asarray(curve.stored_value(times))
    except ValueError as error:
        raise ValueError(f"bond {name!r}: {error}") from None
    return forward_curve(times, np.exp(stored - stored[-1]))


def bond_forwards(names: Iterable[str], market: Market) -> dict[str, tuple[str, np.ndarray]]:
    """Forward curve entries that value the bond assets among ``names`` at ``DF(T) / DF(t)``.

    ``DF`` is the discount factor of ``market.discount``. Each entry runs from the pricing
    time to the bond's maturity T and reproduces the forward exactly under the engine's
    interpolation for every 0 <= t <= T. Names that are not bond names are left out. Raises
    ``ValueError`` for a bond maturing before the pricing time or after the discount curve's
    last time, and for a market without a discount curve.
    """
    entries = {}
    for name in names:
        maturity = bond_maturity(name)
        if maturity is not None and name not in entries:
            entries[name] = _bond_forward(name, maturity, market)
    return entries


# Where a contract reads bonds


def _dictionary(column: Any) -> list[Any] | None:
    return column.dictionary.to_pylist() if pa.types.is_dictionary(column.type) else None


def _keys(column: Any) -> np.ndarray:
    """The dictionary keys of a column, -1 where null."""
    return column.indices.cast(pa.int64()).fill_null(-1).to_numpy(zero_copy_only=False)


def _snap_names(expressions: dict[str, dict[str, Any]]) -> set[str]:
    return {name for entry in expressions.values() if isinstance(entry, dict) for name in entry.get("out", ()) or ()}


def _expression_bonds(expressions: dict[str, dict[str, Any]]) -> dict[str, dict[str, int]]:
    """The bonds each expression reads, by name: its own inputs and those of the phrases it reads."""
    direct: dict[str, dict[str, int]] = {}
    for name, entry in expressions.items():
        inputs = entry.get("inp", ()) if isinstance(entry, dict) else ()
        direct[name] = {}
        for item in inputs or ():
            if isinstance(item, str) and item not in expressions:
                maturity = bond_maturity(item)
                if maturity is not None:
                    direct[name][item] = maturity

    def reads(name: str, seen: frozenset[str]) -> dict[str, int]:
        found = dict(direct.get(name, {}))
        entry = expressions.get(name)
        for item in (entry.get("inp", ()) if isinstance(entry, dict) else ()) or ():
            if isinstance(item, str) and item in expressions and item not in seen:
                found.update(reads(item, seen | {item}))
        return found

    return {name: reads(name, frozenset({name})) for name in expressions}


def _mentions_bonds(contract: Contract) -> bool:
    unit = contract.events.column("unit") if "unit" in contract.events.schema.names else None
    values = _dictionary(unit) if unit is not None else None
    if values and any(isinstance(v, str) and v.startswith(BOND_PREFIX) for v in values):
        return True
    return any(isinstance(item, str) and item.startswith(BOND_PREFIX)
               for entry in contract.expressions.values() if isinstance(entry, dict)
               for item in entry.get("inp", ()) or ())


def _unit_bonds(contract: Contract) -> tuple[dict[int, tuple[str, int]], np.ndarray, list[Any]]:
    """The unit keys that name bond assets (key -> (name, maturity)), the unit keys of the rows
    and the unit dictionary. A unit naming a track, a phrase, a snapper or a snap is not an asset."""
    events = contract.events
    unit = events.column("unit")
    values = _dictionary(unit)
    if values is None:
        return {}, np.empty(0, dtype=np.int64), []
    keys = _keys(unit)
    tracks = set(_dictionary(events.column("track")) or ())
    others = tracks | set(contract.expressions) | _snap_names(contract.expressions)
    used = set(np.unique(keys[keys >= 0]).tolist())
    bonds = {}
    for key in sorted(used):
        name = values[key]
        if isinstance(name, str) and name not in others:
            maturity = bond_maturity(name)
            if maturity is not None:
                bonds[key] = (name, maturity)
    return bonds, keys, values


def _check_reads(contract: Contract, unit_bonds: dict[int, tuple[str, int]], keys: np.ndarray,
                 values: list[Any]) -> dict[str, int]:
    """Every bond the contract reads, by name; refuses a read after the bond's maturity."""
    times = contract.times
    reads: dict[int, dict[str, int]] = {key: {name: maturity} for key, (name, maturity) in unit_bonds.items()}
    by_expression = _expression_bonds(contract.expressions)
    for key, name in enumerate(values):
        if isinstance(name, str) and by_expression.get(name):
            reads.setdefault(key, {}).update(by_expression[name])
    found: dict[str, int] = {}
    for key, bonds in reads.items():
        rows = np.flatnonzero(keys == key)
        if rows.size == 0:
            continue
        for name, maturity in bonds.items():
            late = rows[times[rows] > maturity]
            if late.size:
                row = int(late[0])
                raise ValueError(f"row {row} reads bond {name!r} at {_show(int(times[row]))}, after its maturity "
                                 f"{_show(maturity)}")
            found[name] = maturity
    return found


# The Hull-White grid


def _fresh(name: str, taken: set[str]) -> str:
    candidate, k = name, 2
    while candidate in taken:
        candidate, k = f"{name}#{k}", k + 1
    return candidate


def _dictionary_column(keys: np.ndarray, values: list[Any], value_type: Any) -> pa.DictionaryArray:
    indices = pa.array(keys, pa.int64(), mask=keys < 0)
    return pa.DictionaryArray.from_arrays(indices, pa.array(values, value_type))


def _key_of(values: list[Any], name: str) -> int:
    if name not in values:
        values.append(name)
    return values.index(name)


def bonds_on_grid(contract: Contract, market: Market) -> Contract:
    """The contract with each bond asset turned into a track holding that bond, for ``"hull_white"``.

    The Hull-White grid values assets at their forwards, but a row whose unit names a track
    books that track's node values times its quantity. So each bond maturity T gets a track
    (named as the bond's canonical name, :func:`bond_asset`, unless a track or expression
    already has that name), appended after the existing tracks, holding the single row
    ``(T, track, "+", 1.0, base)``; rows that read the bond read the track instead, and so
    book ``quantity * P(t, T | x)``. The new row goes after every row of time <= T in table
    order, so it is booked before every row that reads the bond, and time order is kept.

    Returns ``contract`` itself when no row's unit is a bond. Raises ``ValueError`` for a
    row that reads a bond after its maturity, naming both.
    """
    unit_bonds, keys, values = _unit_bonds(contract)
    if not unit_bonds:
        return contract
    _check_reads(contract, unit_bonds, keys, values)
    events = contract.events
    times = contract.times
    track_column, op_column, unit_column = (events.column(c) for c in ("track", "op", "unit"))
    tracks = list(_dictionary(track_column) or [])
    taken = set(tracks) | set(contract.expressions) | _snap_names(contract.expressions)
    maturities = sorted({maturity for _, maturity in unit_bonds.values()})
    track_names = {maturity: _fresh(bond_asset(maturity), taken) for maturity in maturities}

    # Units: each bond's dictionary value becomes its track's name (aliases of one maturity merge).
    unit_values = list(values)
    for key, (_, maturity) in unit_bonds.items():
        unit_values[key] = track_names[maturity]
    merged = list(dict.fromkeys(v for v in unit_values))
    remap = np.array([merged.index(v) for v in unit_values] + [-1], dtype=np.int64)
    unit_keys = remap[keys]  # key -1 (null) maps to the -1 appended last
    base_key = _key_of(merged, market.base)

    ops = list(_dictionary(op_column) or [])
    op_keys = _keys(op_column) if pa.types.is_dictionary(op_column.type) else np.full(len(times), -1)
    plus_key = _key_of(ops, "+")

    track_keys = _keys(track_column)
    new_tracks = [track_names[m] for m in maturities]
    first_new = len(tracks)
    count, extra = len(times), len(maturities)

    # The bond's row goes after the last row of time <= T: booked before every read of it.
    positions = []
    for maturity in maturities:
        before = np.flatnonzero(times <= maturity)
        positions.append(int(before[-1]) + 1 if before.size else 0)
    order = np.insert(np.arange(count), positions, np.arange(count, count + extra))

    columns = {
        "time": pa.concat_arrays([events.column("time"), pa.array(np.array(maturities, dtype=np.int64),
                                                                  events.column("time").type)]),
        "track": _dictionary_column(np.concatenate([track_keys, np.arange(first_new, first_new + extra)]),
                                    tracks + new_tracks, pa.utf8()),
        "op": _dictionary_column(np.concatenate([op_keys, np.full(extra, plus_key)]), ops, pa.utf8()),
        "quantity": pa.concat_arrays([events.column("quantity").cast(pa.float64()), pa.array(np.ones(extra))]),
        "unit": _dictionary_column(np.concatenate([unit_keys, np.full(extra, base_key)]), merged, pa.utf8()),
    }
    indices = pa.array(order, pa.int64())
    arrays = []
    for name in events.schema.names:
        column = columns.get(name)
        if column is None:
            column = pa.concat_arrays([events.column(name), pa.nulls(extra, events.column(name).type)])
        arrays.append(column.take(indices))
    batch = pa.RecordBatch.from_arrays(arrays, names=events.schema.names)
    return dataclasses.replace(contract, events=batch, tracks=tuple(tracks + new_tracks))


# Pricing


def _hull_white_sources(state: Any) -> list[Any]:
    from kestro.paths import HullWhitePaths  # paths reads bond names from here

    holders = [state, getattr(state, "source", None)]
    return [holder for holder in holders if isinstance(holder, HullWhitePaths)]


def prepare_bonds(contract: Contract, market: Market, model: str, dataset: dict[str, Any],
                  state: Any) -> tuple[Contract, dict[str, Any]]:
    """The contract and dataset of one pricing call, with the bonds the contract reads valued.

    Bonds are the assets named ``"ZCB:<maturity>"`` in the contract's units or in its
    expressions' inputs. Under ``"fixed"``, ``"black_scholes"`` and ``"monte_carlo"`` the
    dataset's ``"ASSETS"`` gains a forward curve per bond (:func:`bond_forwards`; a curve the
    market already gives under that name is kept); under ``"monte_carlo"`` the path source
    may answer the bond itself, as :class:`kestro.paths.HullWhitePaths` does, and must then
    count time from the market's pricing time. Under ``"hull_white"`` the contract goes
    through :func:`bonds_on_grid`. A contract without bond names comes back unchanged.

    Raises ``ValueError`` for a bond read after its maturity, a bond the discount curve does
    not reach, or Hull-White paths whose pricing time is not the market's.
    """
    if not _mentions_bonds(contract):
        return contract, dataset
    unit_bonds, keys, values = _unit_bonds(contract)
    bonds = _check_reads(contract, unit_bonds, keys, values)
    if not bonds:
        return contract, dataset
    if model == "hull_white":
        return bonds_on_grid(contract, market), dataset
    if model not in _FORWARD_MODELS:
        return contract, dataset
    if model == "monte_carlo":
        for source in _hull_white_sources(state):
            if source.pricing_time != market.pricing_time:
                raise ValueError(f"the Hull-White paths count time from {_show(source.pricing_time)} but the market "
                                 f"prices at {_show(market.pricing_time)}: bond maturities would be misplaced; "
                                 "pass pricing_time=market.pricing_time to HullWhitePaths")
    assets = dict(dataset.get("ASSETS", {}))
    for name, entry in bond_forwards(bonds, market).items():
        assets.setdefault(name, entry)
    return contract, {**dataset, "ASSETS": assets}
