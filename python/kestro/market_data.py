"""Markets from tables: :func:`load_market` reads curves, spots, volatilities and dividend yields.

Each table may be a pandas DataFrame, a pyarrow Table or RecordBatch, a dict of columns, or
the path of a CSV or Parquet file. Column names are matched whatever their case and spacing.

**Curves**, one row per pillar:

- ``asset`` (optional): whose curve the row belongs to. The base currency's rows are its
  discount curve; any other name's rows are that asset's forward curve in the base currency.
  Without the column the whole table is the base currency's discount curve.
- the pillar, exactly one of: ``date`` (a date or time; ISO text in CSV), ``tenor`` (``"3M"``
  added to the pricing date, rolled on ``calendar`` if one is given) or ``years`` (365-day
  years from the pricing time). Dates and tenors need ``pricing_time``.
- the value, one per row: ``rate`` (continuously compounded zero rate) or
  ``discount_factor`` for the discount curve, ``forward`` for an asset. A table may hold
  several of these columns, each row filling one of them.

Rows may come in any order; a curve with two rows on the same pillar is refused. A forward
curve starts at the pricing time: give a row there (the pricing date, ``"0D"`` or ``0``
years) or the asset's ``spot`` in the assets table.

**Assets**, one row per asset: ``asset`` and any of ``spot``, ``vol`` (Black-Scholes
volatility) and ``dividend_yield`` (continuous). An asset with a spot and no forward curve
gets forwards ``spot · exp(-dividend_yield · t) / P(t)`` on the discount curve's pillars,
which the engine's log-linear forward interpolation reproduces exactly between them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestro.clock import DEFAULT_START, check_date
from kestro.conventions.calendars import BusinessDayConvention, business_day_convention, calendar as _calendar
from kestro.curves import Curve, year_fraction
from kestro.market import MAX_CURVE_YEARS, Market, check_rate, check_vol, forward_curve, zero_curve
from kestro.rates.pillars import day_or_time, tenor_ms
from kestro.tables import SourceTable, read_table

__all__ = ["ASSET_COLUMNS", "CURVE_COLUMNS", "load_market"]

PILLAR_COLUMNS = ("date", "tenor", "years")
VALUE_COLUMNS = ("rate", "discount_factor", "forward")
CURVE_COLUMNS: tuple[str, ...] = ("asset", *PILLAR_COLUMNS, *VALUE_COLUMNS)
"""The columns a curves table is read from (see the module)."""
ASSET_COLUMNS: tuple[str, ...] = ("asset", "spot", "vol", "dividend_yield")
"""The columns an assets table is read from (see the module)."""


def load_market(curves: Any = None, assets: Any = None, *, pricing_time: Any = None, base: str = "USD",
                calendar: Any = None, convention: str | BusinessDayConvention = "modified following",
                allow_large: bool = False) -> Market:
    """A :class:`~kestro.Market` from a curves table and an assets table (see the module for the columns).

    - ``pricing_time``: what curve years count from, anything :func:`kestro.to_ms` reads;
      needed when pillars are dates or tenors, else :data:`kestro.DEFAULT_START`.
    - ``base``: the currency whose rows are the discount curve.
    - ``calendar``, ``convention``: the roll of tenor pillars (none by default).
    - ``allow_large``: accept rates beyond +-100% and vols above 500%.

    Raises ``ValueError`` naming the table for a missing column (listing those present), an
    unreadable date, tenor or number (with its row and value), two rows of a curve on one
    pillar, a pillar before the pricing time, a forward curve without its spot, and an asset
    listed twice.
    """
    if not isinstance(base, str):
        raise TypeError(f"base must be a currency name (str), got {base!r}")
    start = None if pricing_time is None else check_date(pricing_time, "pricing_time")
    roll = business_day_convention(convention)
    cal = None if calendar is None else _calendar(calendar)
    rows = [] if curves is None else _curve_rows(read_table(curves, "curves", text_columns=("asset", "date", "tenor")),
                                                 base, start, cal, roll)
    table_assets = {} if assets is None else _asset_rows(read_table(assets, "assets", text_columns=("asset",)),
                                                         base, allow_large)

    discount = None
    forwards: dict[str, tuple[str, np.ndarray]] = {}
    for curve in rows:
        if curve.asset == base:
            discount = curve.discount_entry(allow_large)
    for curve in rows:
        if curve.asset != base:
            facts = table_assets.get(curve.asset, _Asset())
            if facts.dividend_yield is not None:
                raise ValueError(f"asset {curve.asset!r} has a forward curve and a dividend_yield: the yield only "
                                 "builds forwards from a spot; drop one of them")
            forwards[curve.asset] = curve.forward_entry(facts.spot)
    for name, facts in table_assets.items():
        if name in forwards:
            continue
        if facts.spot is None:
            raise ValueError(f"asset {name!r} has no spot and no forward curve: give its spot in the assets table "
                             "or its forwards in the curves table")
        if discount is None:
            raise ValueError(f"the forwards of {name!r} are built from its spot on the {base} discount curve, and "
                             f"the curves have none: give the {base} curve (rows with asset {base!r}, or a table "
                             "without an asset column)")
        forwards[name] = _carry_forwards(facts.spot, facts.dividend_yield or 0.0, discount)
    vols = {name: facts.vol for name, facts in table_assets.items() if facts.vol is not None}
    return Market(base=base, pricing_time=DEFAULT_START if start is None else start,
                  discount=discount, forwards=forwards, vols=vols, allow_large=allow_large)


@dataclass
class _Asset:
    spot: float | None = None
    vol: float | None = None
    dividend_yield: float | None = None


@dataclass
class _CurveRows:
    """One curve of the curves table: its pillars in years, its values, and where each came from."""

    source: SourceTable
    asset: str
    kinds: list[str]     # each point's value column: rate, discount_factor or forward
    times: np.ndarray    # engine years, sorted
    values: np.ndarray
    rows: np.ndarray     # the table row of each point

    @property
    def is_forward(self) -> bool:
        return "forward" in self.kinds

    def discount_entry(self, allow_large: bool) -> tuple[str, np.ndarray]:
        if self.is_forward:
            raise self.source.error(f"the base currency {self.asset!r} is worth 1 and takes a discount curve "
                                    "(rate or discount_factor), not forwards")
        try:
            return zero_curve(self.times, self._rates(), allow_large=allow_large)
        except ValueError as error:
            raise self.source.error(f"the {self.asset} discount curve: {error}") from None

    def _rates(self) -> np.ndarray:
        """Zero rates of every point, discount factors converted: r = -ln P / t."""
        rates = self.values.copy()
        for i, kind in enumerate(self.kinds):
            if kind != "discount_factor":
                continue
            where = self.source.where(int(self.rows[i]))
            factor = float(self.values[i])
            if not factor > 0:
                raise self.source.error(f"{where}: discount factor {factor!r} is not positive")
            if self.times[i] > 0:
                rates[i] = -math.log(factor) / self.times[i]
            elif not math.isclose(factor, 1.0, rel_tol=0.0, abs_tol=1e-12):
                raise self.source.error(f"{where}: the discount factor at the pricing time is 1, not {factor!r}")
            else:  # worth 1 at the pricing time whatever the rate: take the next point's
                rates[i] = math.nan
        if math.isnan(rates[0]):
            rates[0] = rates[1] if rates.size > 1 else 0.0
        return rates

    def forward_entry(self, spot: float | None) -> tuple[str, np.ndarray]:
        if not self.is_forward:
            raise self.source.error(f"the curve of {self.asset!r} gives {self.kinds[0]} values, but only the base "
                                    "currency has a discount curve: give the asset's forwards in the base currency "
                                    "(a 'forward' column), or name the base currency with base=")
        times, values = self.times, self.values
        if times[0] <= 0 and spot is not None:
            if not math.isclose(values[0], spot, rel_tol=1e-12):
                raise self.source.error(f"the forward of {self.asset!r} at the pricing time is {float(values[0])!r} "
                                        f"but its spot is {spot!r}: give one of them")
            spot = None
        if times[0] > 0 and spot is None:
            raise self.source.error(f"the forward curve of {self.asset!r} starts {times[0]:.6g} years after the "
                                    "pricing time: give its forward at the pricing time (a row on the pricing "
                                    "date, tenor '0D' or years 0) or its spot in the assets table")
        try:
            return forward_curve(times, values, spot=spot)
        except ValueError as error:
            raise self.source.error(f"the forward curve of {self.asset!r}: {error}") from None


def _curve_rows(source: SourceTable, base: str, start: int | None, cal: Any,
                roll: BusinessDayConvention) -> list[_CurveRows]:
    pillar_names = [name for name in PILLAR_COLUMNS if source.find(name)]
    if not pillar_names:
        raise source.missing("pillar", PILLAR_COLUMNS)
    if len(pillar_names) > 1:
        raise source.error(f"pillars given twice, as {' and '.join(pillar_names)}: keep one of these columns")
    (pillar,) = pillar_names
    value_names = [name for name in VALUE_COLUMNS if source.find(name)]
    if not value_names:
        raise source.missing("value", VALUE_COLUMNS)
    if source.num_rows == 0:
        raise source.error("no rows")
    asset_column = source.find("asset")
    assets = source.strings(asset_column) if asset_column else [base] * source.num_rows
    if pillar != "years" and start is None:
        raise source.error(f"pillars given as {pillar}s need the pricing time: pass pricing_time=...")

    values = {name: source.numbers(source.find(name) or name, missing=True) for name in value_names}
    filled = np.array([~np.isnan(values[name]) for name in value_names])
    counts = filled.sum(axis=0)
    for row in np.flatnonzero(counts != 1):
        given = [name for name, has in zip(value_names, filled[:, row]) if has]
        what = f"both {' and '.join(given)}" if given else f"no {' or '.join(value_names)}"
        raise source.error(f"{source.where(int(row))} has {what}: give one value per row")
    column_of_row = [value_names[int(i)] for i in np.argmax(filled, axis=0)]
    value = np.choose(np.argmax(filled, axis=0), [values[name] for name in value_names])

    times, labels = _pillar_years(source, source.find(pillar) or pillar, pillar, start, cal, roll)
    curves = []
    for asset in dict.fromkeys(assets):
        rows = np.array([i for i, name in enumerate(assets) if name == asset])
        kinds = {column_of_row[i] == "forward" for i in rows}
        if len(kinds) > 1:
            first = [next(int(i) for i in rows if (column_of_row[i] == "forward") == k) for k in (False, True)]
            raise source.error(f"the curve of {asset!r} mixes {column_of_row[first[0]]} ({source.where(first[0])}) "
                               f"and forward ({source.where(first[1])}): a curve is a discount curve or an asset's "
                               "forwards")
        order = rows[np.argsort(times[rows], kind="stable")]
        same = np.flatnonzero(np.diff(times[order]) == 0)
        if same.size:
            i, j = int(order[same[0]]), int(order[same[0] + 1])
            raise source.error(f"the curve of {asset!r} has two rows on {labels[j]} ({source.where(i)} and "
                               f"{source.where(j)}): keep one")
        curves.append(_CurveRows(source, asset, [column_of_row[i] for i in order], times[order], value[order], order))
    return curves


def _pillar_years(source: SourceTable, column: str, kind: str, start: int | None, cal: Any,
                  roll: BusinessDayConvention) -> tuple[np.ndarray, list[str]]:
    """Engine years of each row's pillar, and how each pillar is named in messages."""
    if kind == "years":
        years = source.numbers(column)
        far = np.flatnonzero(np.abs(years) > MAX_CURVE_YEARS)
        if far.size:
            raise source.error(f"{source.where(int(far[0]))}: {years[far[0]]:g} years is beyond "
                               f"{MAX_CURVE_YEARS:g} years; the years column holds years from the pricing time")
        return years, [f"{y:g} years" for y in years]
    assert start is not None
    if kind == "date":
        ms, _ = source.times(column, integers=False)
        labels = [day_or_time(int(t)) for t in ms]
    else:
        tenors = source.strings(column)
        ms = np.empty(len(tenors), dtype=np.int64)
        for row, text in enumerate(tenors):
            try:
                ms[row] = tenor_ms(text, start, cal, roll)
            except (TypeError, ValueError) as error:
                raise source.error(f"column {column!r}, {source.where(row)}: {error}") from None
        labels = [f"{text!r} ({day_or_time(int(t))})" for text, t in zip(tenors, ms)]
    early = np.flatnonzero(ms < start)
    if early.size:
        row = int(early[0])
        raise source.error(f"{source.where(row)}: {labels[row]} lies before the pricing time {day_or_time(start)}; "
                           "drop the row or move the pricing time")
    return np.asarray(year_fraction(ms, start), dtype=np.float64), labels


def _asset_rows(source: SourceTable, base: str, allow_large: bool) -> dict[str, _Asset]:
    asset_column = source.find("asset")
    if asset_column is None:
        raise source.missing("asset", ("asset",))
    fields = [name for name in ASSET_COLUMNS[1:] if source.find(name)]
    if not fields:
        raise source.missing("spot, vol or dividend_yield", ASSET_COLUMNS[1:])
    names = source.strings(asset_column)
    columns = {name: source.numbers(source.find(name) or name, missing=True) for name in fields}
    out: dict[str, _Asset] = {}
    for row, name in enumerate(names):
        where = f"{source.where(row)} ({name!r})"
        if name in out:
            first = names.index(name)
            raise source.error(f"asset {name!r} is listed twice ({source.where(first)} and {source.where(row)}): "
                               "keep one row per asset")
        if name == base:
            raise source.error(f"{where}: the base currency is worth 1 and has no spot, vol or dividend yield")
        facts = _Asset()
        for field in fields:
            value = float(columns[field][row])
            if math.isnan(value):
                continue
            try:
                if field == "spot" and value <= 0:
                    raise ValueError(f"spot must be positive, got {value!r}")
                if field == "vol":
                    check_vol("vol", value, allow_large)
                if field == "dividend_yield":
                    check_rate("dividend_yield", value, allow_large)
            except ValueError as error:
                raise source.error(f"{where}: {error}") from None
            setattr(facts, field, value)
        out[name] = facts
    return out


def _carry_forwards(spot: float, dividend_yield: float, discount: tuple[str, np.ndarray]) -> tuple[str, np.ndarray]:
    """Forwards spot · exp(-q t) / P(t) on the discount curve's pillars, from the pricing time."""
    times = discount[1][0]
    times = np.concatenate([[0.0], times[times > 0]])
    forwards = spot * np.exp(-dividend_yield * times) / Curve.from_entry(discount).discount_factor(times)
    return forward_curve(times, forwards)
