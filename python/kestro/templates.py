"""Ready-made contracts: bonds, a swap, vanilla, early-exercise, digital and knock-out options,
options on zero-coupon bonds and Bermudan swaptions.

Every function here returns a :class:`Contract`: the timetable of its events plus the
expressions (phrases and snappers) it refers to, ready for :func:`kestro.price`. The price of a
contract is the value of its track 0 at the market's pricing time, in the market's base
currency, from the holder's side.

Times. A date is given either as a tenor in years after ``start`` (``years=``; 365-day years,
so ``years=1 / 365`` is one day) or as an absolute time (``expiry=``, ``maturity=``,
``dates=``), anything :func:`kestro.to_ms` accepts. ``start`` defaults to
:data:`kestro.DEFAULT_START`, which is also the default pricing time of :class:`kestro.Market`,
so a 1-year tenor means one year after the pricing time.

Choices. The engine books the rows of a timetable last row first, so when a row is booked its
track holds the present value of everything that follows. At an exercise time t the three rows
``("+", K, base)``, ``(">", -1, asset)``, ``("+", -K, base)``, in that table order, book
``max(continuation, K - S)``: the holder of a put keeps the better of holding on and exercising.
A call uses ``("+", -K)``, ``(">", 1)``, ``("+", K)`` for ``max(continuation, S - K)``.

Models. Templates without expressions price under every model. The finite-difference grids
make each choice against the value of holding on at every node. Monte Carlo fits a regression
exercise rule by default (:mod:`kestro.exercise`): a feasible policy, so early exercise prices
within its standard error and a small policy shortfall below the grid; with
``exercise="pathwise"`` it makes every choice with knowledge of the path, an upper bound. The
``"fixed"`` model chooses on its single path, the forward. Contracts with
phrases or snappers (digital, knock-out, Bermudan swaption) price path-wise only: the
finite-difference models refuse expressions. Their expression functions are small objects of
:mod:`kestro.phrases`, not closures, so every contract here pickles and can be priced in
another process (a Dask worker, see :mod:`kestro.risk.portfolio`).

Interest-rate options read zero-coupon bonds as assets named ``"ZCB:<maturity>"`` (see
:mod:`kestro.rates.bonds`): the bond option prices under ``"hull_white"``, under ``"monte_carlo"``
with :class:`kestro.HullWhitePaths` and deterministically under ``"fixed"``; the Bermudan
swaption under the path-wise models.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa

from kestro.rates import dated
from kestro.rates.bonds import bond_asset
from kestro.clock import DAY_MS, DEFAULT_START, YEAR_MS, add_years, check_date
from kestro.conventions import add_tenor
from kestro.events import timetable
from kestro.rates.legs import Legs, legs_events
from kestro.phrases import BarrierCheck, FirstBarrierCheck, KnockOutPayoff, StrikeIndicator, SwapValue

__all__ = [
    "CLOSED_FORM_KINDS",
    "Contract",
    "Terms",
    "american_call",
    "american_put",
    "bermudan_call",
    "bermudan_put",
    "bermudan_swaption",
    "bond_option",
    "digital_call",
    "digital_put",
    "european_call",
    "european_put",
    "fixed_rate_bond",
    "floating_rate_leg",
    "interest_rate_swap",
    "knock_out_call",
    "knock_out_put",
    "zero_coupon_bond",
]


CLOSED_FORM_KINDS = ("european_call", "european_put", "digital_call", "digital_put")
"""The kinds of :class:`Terms`: the contracts whose price has a closed form."""


@dataclass(frozen=True)
class Terms:
    """What a contract with a closed-form price pays, as the template that wrote it knew it.

    - ``kind``: one of :data:`CLOSED_FORM_KINDS`.
    - ``strike``: in ``currency`` per unit of ``asset``.
    - ``expiry``: the time of the payoff, in milliseconds since 1970-01-01 UTC.
    - ``asset``, ``currency``: what is bought or sold (or observed, for a digital) and what pays.
    - ``quantity``: units of the asset of a European option (negative for a short position);
      1.0 for a digital.
    - ``payout``: what a digital pays in ``currency`` when it finishes in the money; None for
      a European option.

    :func:`kestro.analytic.price_contract` prices a contract from its terms.
    """

    kind: str
    strike: float
    expiry: int
    asset: str
    currency: str
    quantity: float = 1.0
    payout: float | None = None

    def __post_init__(self) -> None:
        if self.kind not in CLOSED_FORM_KINDS:
            raise ValueError(f"kind must be one of {', '.join(CLOSED_FORM_KINDS)}, got {self.kind!r}")
        _number("strike", self.strike)
        _number("quantity", self.quantity)
        if isinstance(self.expiry, bool) or not isinstance(self.expiry, numbers.Integral):
            raise TypeError(f"expiry must be a time in whole milliseconds, got {self.expiry!r}")
        _name("asset", self.asset)
        _name("currency", self.currency)
        digital = self.kind.startswith("digital")
        if digital != (self.payout is not None):
            raise ValueError(f"a {self.kind} {'needs a payout' if digital else 'has no payout (it pays the asset)'}, "
                             f"got payout={self.payout!r}")
        if digital:
            _number("payout", self.payout)

    @property
    def call(self) -> bool:
        """True for a call, False for a put."""
        return self.kind.endswith("call")

    @property
    def digital(self) -> bool:
        """True for a cash-or-nothing digital, False for a European option."""
        return self.kind.startswith("digital")


@dataclass
class Contract:
    """A contract: its timetable, the expressions the timetable refers to, and what it means.

    - ``events``: the timetable record batch (see :func:`kestro.timetable`); track 0 holds
      the price.
    - ``expressions``: the ``_kestro`` expressions dictionary, name ->
      ``{"type": "phrase" | "snapper", "fn", "inp"[, "out"]}``; empty for most contracts.
    - ``tracks``: the track names, track 0 first (taken from ``events`` when not given).
    - ``description``: what the contract pays and what its price means.
    - ``assets``: the assets the contract's value depends on (the Black-Scholes grid models
      the first one by default).
    - ``terms``: for the contracts whose price has a closed form (European and digital calls
      and puts from their templates), their :class:`Terms`; None for every other contract,
      and for contracts built by hand.
    - ``legs``: for bonds, floating legs and swaps built on dates, the :class:`kestro.Legs`
      their template wrote (schedules, accruals, rates and amounts), which
      :mod:`kestro.rates.fixed_income` reads; None for every other contract.
    """

    events: pa.RecordBatch
    expressions: dict[str, dict[str, Any]] = field(default_factory=dict)
    tracks: tuple[str, ...] = ()
    description: str = ""
    assets: tuple[str, ...] = ()
    terms: Terms | None = None
    legs: Legs | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.events, pa.RecordBatch):
            raise TypeError(f"events must be a pyarrow.RecordBatch (see kestro.timetable), "
                            f"got {type(self.events).__name__}")
        if not isinstance(self.expressions, dict):
            raise TypeError(f"expressions must be a dict, got {type(self.expressions).__name__}")
        if self.terms is not None and not isinstance(self.terms, Terms):
            raise TypeError(f"terms must be a kestro.Terms or None, got {type(self.terms).__name__}")
        if self.legs is not None and not isinstance(self.legs, Legs):
            raise TypeError(f"legs must be a kestro.Legs or None, got {type(self.legs).__name__}")
        if not self.tracks and "track" in self.events.schema.names:
            track = self.events.column("track")
            if pa.types.is_dictionary(track.type):
                self.tracks = tuple(track.dictionary.to_pylist())
        self.tracks = tuple(self.tracks)
        self.assets = tuple(self.assets)

    @property
    def times(self) -> np.ndarray:
        """The event times in milliseconds since 1970-01-01 UTC, in row order."""
        return self.events.column("time").cast(pa.int64()).to_numpy(zero_copy_only=False)

    @property
    def first_time(self) -> int | None:
        """The earliest event time in milliseconds, None for a contract without events."""
        times = self.times
        return int(times.min()) if times.size else None

    @property
    def last_time(self) -> int | None:
        """The latest event time in milliseconds (the maturity), None for a contract without events."""
        times = self.times
        return int(times.max()) if times.size else None

    def __len__(self) -> int:
        """The number of events."""
        return self.events.num_rows

    def _rows(self, limit: int) -> list[tuple[str, str, str, str, str] | None]:
        """The first and last rows as text, None where rows are left out."""
        from kestro.clock import format_ms

        n = self.events.num_rows
        tail = limit // 3
        parts = [self.events] if n <= limit else [self.events.slice(0, limit - tail), self.events.slice(n - tail)]
        out: list[tuple[str, str, str, str, str] | None] = []
        for k, batch in enumerate(parts):
            if k:
                out.append(None)
            columns = [batch.column(name).to_pylist() for name in ("track", "op", "quantity", "unit")]
            times = batch.column("time").cast(pa.int64()).to_pylist()
            out += [(format_ms(t), str(track), op or "", f"{q:g}", unit or "")
                    for t, track, op, q, unit in zip(times, *columns)]
        return out

    def __repr__(self) -> str:
        header = ("time", "track", "op", "quantity", "unit")
        rows = self._rows(8)
        shown = [header] + [row for row in rows if row is not None]
        widths = [max(len(row[i]) for row in shown) for i in range(5)]
        lines = [f"Contract: {self.description or 'events'} ({len(self)} events, tracks {', '.join(self.tracks)})"]
        for row in [header] + rows:
            lines.append("  ..." if row is None else "  " + "  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        if self.expressions:
            lines.append(f"  expressions: {', '.join(self.expressions)}")
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        import html

        head = "".join(f"<th>{h}</th>" for h in ("time", "track", "op", "quantity", "unit"))
        body = "".join("<tr><td colspan=5>...</td></tr>" if row is None else
                       "<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>" for row in self._rows(20))
        caption = html.escape(f"{self.description or 'events'} ({len(self)} events)")
        return f"<table><caption>{caption}</caption><tr>{head}</tr>{body}</table>"


# Argument checks and dates


def _number(name: str, value: Any, *, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a finite number, got {value!r}")
    try:
        value = float(value)
    except OverflowError:
        raise ValueError(f"{name} is too large for a double: {value!r}") from None
    if not math.isfinite(value):
        raise TypeError(f"{name} must be a finite number, got {value!r}")
    if positive and value <= 0:
        raise ValueError(f"{name} must be positive, got {value!r}")
    return float(value)


def _name(name: str, value: Any) -> str:
    if not isinstance(value, str) or not value:
        raise TypeError(f"{name} must be a non-empty str, got {value!r}")
    return value


def _frequency(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(f"{name} must be a whole number of payments per year (1 or more), got {value!r}")
    return int(value)


def _is_tenor(value: Any) -> bool:
    return isinstance(value, str) and dated.is_tenor_text(value)


def _after(start: int, value: Any, name: str) -> int:
    """The time ``value`` after ``start``: a tenor ("6M", on the calendar, at start's time of day)
    or a number of 365-day years."""
    if _is_tenor(value):
        day, time_of_day = divmod(start, DAY_MS)
        end = add_tenor(np.int64(day).view("datetime64[D]"), value)
        return int(end.astype(np.int64)) * DAY_MS + time_of_day
    return add_years(start, _number(name, value))


def _date(years: Any, absolute: Any, start: int, tenor_name: str, date_name: str) -> int:
    """One date from a tenor after start (years or "6M") or an absolute time; exactly one must be given."""
    if (years is None) == (absolute is None):
        raise TypeError(f"give either {tenor_name}= (years or a tenor such as '6M' after start) or {date_name}= "
                        f"(a date), not {'both' if years is not None else 'neither'}")
    if years is not None:
        return _after(start, years, tenor_name)
    return _after(start, absolute, date_name) if _is_tenor(absolute) else check_date(absolute, date_name)


def _dates(years: Any, absolute: Any, start: int, tenor_name: str, date_name: str) -> list[int]:
    """Sorted distinct dates from tenors in years after start or from absolute times."""
    if (years is None) == (absolute is None):
        raise TypeError(f"give either {tenor_name}= (years after start) or {date_name}= (dates), not "
                        f"{'both' if years is not None else 'neither'}")
    values = years if years is not None else absolute
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{tenor_name if years is not None else date_name} must be a sequence, got {values!r}")
    values = list(values)
    if not values:
        raise ValueError(f"{tenor_name if years is not None else date_name} must name at least one date")
    if years is not None:
        ms = [_after(start, y, tenor_name) for y in values]
    else:
        ms = [_after(start, d, date_name) if _is_tenor(d) else check_date(d, date_name) for d in values]
    return sorted(set(ms))


def _after_start(when: int, start: int, what: str) -> None:
    if when <= start:
        raise ValueError(f"{what} must lie after start")


def _schedule(start: int, end: int, frequency: int) -> list[int]:
    """Payment dates every 1/frequency years back from ``end`` while after ``start``, ascending.

    The first period, from ``start`` to the first date, is a short stub when the term is not a
    whole number of periods.
    """
    step = YEAR_MS / frequency
    dates, k = [], 0
    while True:
        date = end - round(k * step)
        if date <= start:
            break
        dates.append(date)
        k += 1
    return dates[::-1]


def _daily(start: int, end: int) -> list[int]:
    """Every day from ``start`` (inclusive) while before ``end``, then ``end``."""
    count = (end - start - 1) // DAY_MS + 1
    return [start + k * DAY_MS for k in range(count)] + [end]


def _exercise_rows(when: int, track: str, strike: float, quantity: float, asset: str, currency: str,
                   call: bool) -> list[tuple]:
    # Booked last row first: ∓nK, then the larger of that and ±nS, then ±nK:
    # max(continuation, n(S - K)) for a call, max(continuation, n(K - S)) for a put.
    sign = 1.0 if call else -1.0
    return [
        (when, track, "+", -sign * quantity * strike, currency),
        (when, track, ">", sign * quantity, asset),
        (when, track, "+", sign * quantity * strike, currency),
    ]


def _contract(rows: list[tuple], track: str, description: str, assets: tuple[str, ...] = (),
              expressions: dict | None = None, tracks: tuple[str, ...] | None = None,
              terms: Terms | None = None) -> Contract:
    rows = sorted(rows, key=lambda row: row[0])  # stable: rows at one time keep their order
    tracks = tracks or (track,)
    return Contract(timetable(rows, tracks=list(tracks)), expressions or {}, tracks, description, assets, terms)


def _dated_contract(built: tuple[Legs, str], track: Any) -> Contract:
    legs, description = built
    track = _check_track(track, *{leg.currency for leg in legs})
    return Contract(legs_events(legs, track), {}, (track,), description, (), legs=legs)


def _check_track(track: Any, *others: str) -> str:
    track = _name("track", track)
    if track in others:
        raise ValueError(f"track {track!r} has the name of an asset or currency the contract uses; a unit naming "
                         "a track refers to the track, so pick another track name")
    return track


# Bonds and swaps


def zero_coupon_bond(
    years: float | str | None = None,
    *,
    maturity: Any = None,
    notional: float = 100.0,
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "bond",
    calendar: Any = None,
    convention: Any = None,
    payment_lag: int | None = None,
    settlement_days: int | None = None,
) -> Contract:
    """A zero-coupon bond: ``notional`` units of ``currency`` paid at maturity.

    Maturity is ``years`` after ``start`` or the date ``maturity``. One track, ``track``
    (track 0). The price is ``notional`` times the discount factor at maturity when
    ``currency`` is the market's base currency; in another currency (an asset with a forward
    curve) it is ``notional`` times that currency's forward, discounted.

    On dates (a tenor or a date as maturity, or a conventions argument) the notional is paid
    on the maturity date rolled by ``convention`` (default ``"following"``) on ``calendar``
    (default ``"NONE"``: not rolled), ``payment_lag`` business days later;
    ``settlement_days`` (default 0) is what :mod:`kestro.rates.fixed_income` settles a trade with.
    """
    given = dict(calendar=calendar, convention=convention, payment_lag=payment_lag,
                 settlement_days=settlement_days)
    if dated.on_dates(years, maturity, (), given):
        currency = _name("currency", currency)
        built = dated.zero_coupon_bond(years, maturity, start, _number("notional", notional), currency, given)
        return _dated_contract(built, track)
    start = check_date(start, "start")
    currency = _name("currency", currency)
    track = _check_track(track, currency)
    end = _date(years, maturity, start, "years", "maturity")
    notional = _number("notional", notional)
    return _contract([(end, track, "+", notional, currency)], track,
                     f"zero-coupon bond paying {notional:g} {currency} at maturity", ())


def fixed_rate_bond(
    coupon: float,
    years: float | str | None = None,
    *,
    maturity: Any = None,
    frequency: int | str = 1,
    notional: float = 100.0,
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "bond",
    calendar: Any = None,
    day_count: Any = None,
    convention: Any = None,
    termination_convention: Any = None,
    rule: str | None = None,
    end_of_month: bool | None = None,
    first_date: Any = None,
    next_to_last_date: Any = None,
    payment_lag: int | None = None,
    settlement_days: int | None = None,
) -> Contract:
    """A fixed-rate bullet bond: coupons at the annual rate ``coupon``, the notional at maturity.

    Coupons fall every ``1 / frequency`` years counted back from maturity (``years`` after
    ``start`` or the date ``maturity``); each pays ``notional * coupon * accrual``, the accrual
    being the period's length in 365-day years, so a regular period pays
    ``notional * coupon / frequency`` and a first period shorter than regular (a stub, when the
    term is not a whole number of periods) pays less. The notional is repaid with the last
    coupon. One track, ``track`` (track 0); in the base currency the price is the sum of the
    discounted coupons and redemption (the dirty price, from ``start``).

    On dates. A tenor maturity (``"10Y"``, or ``years="10Y"``), a maturity date (any time at
    midnight UTC) or any conventions argument builds the contract on a schedule of dates instead
    (:mod:`kestro.rates.dated`): ``calendar`` (default ``"NONE"``: no date moves), ``convention`` and
    ``termination_convention`` (business-day rolls), ``rule`` (``"backward"``), ``end_of_month``,
    ``first_date`` / ``next_to_last_date`` (stubs), ``payment_lag`` (business days),
    ``settlement_days``. Payments fall at midnight UTC of their payment dates, and the contract carries
    its :class:`kestro.Legs` as ``legs`` for :mod:`kestro.rates.fixed_income`. ``years`` as a number
    keeps the 365-day years above and takes none of these arguments.

    On dates the coupon period is ``frequency``, a tenor (``"6M"``) or payments a year
    (2 is ``"6M"``); each coupon pays ``notional * coupon * year_fraction`` by ``day_count``
    (default ``"30/360"``) between the schedule's adjusted accrual dates, on its payment date
    (the accrual end rolled "following", ``payment_lag`` business days later), and the notional
    is repaid on the last payment date, as QuantLib's ``FixedRateBond`` pays. ``convention``
    defaults to ``"following"``; ``settlement_days`` (default 0) are the business days from a
    trade to its settlement that :mod:`kestro.rates.fixed_income` prices and accrues to.
    """
    given = dict(calendar=calendar, day_count=day_count, convention=convention,
                 termination_convention=termination_convention, rule=rule, end_of_month=end_of_month,
                 first_date=first_date, next_to_last_date=next_to_last_date, payment_lag=payment_lag,
                 settlement_days=settlement_days)
    if dated.on_dates(years, maturity, (frequency,), given):
        currency = _name("currency", currency)
        built = dated.fixed_rate_bond(_number("coupon", coupon), years, maturity, start, frequency,
                                      _number("notional", notional), currency, given)
        return _dated_contract(built, track)
    start = check_date(start, "start")
    currency = _name("currency", currency)
    track = _check_track(track, currency)
    end = _date(years, maturity, start, "years", "maturity")
    _after_start(end, start, "maturity")
    coupon = _number("coupon", coupon)
    notional = _number("notional", notional)
    frequency = _frequency("frequency", frequency)
    dates = _schedule(start, end, frequency)
    rows, previous = [], start
    for date in dates:
        rows.append((date, track, "+", notional * coupon * (date - previous) / YEAR_MS, currency))
        previous = date
    rows.append((end, track, "+", notional, currency))
    return _contract(rows, track, f"{coupon:.4%} bond paying {frequency}x a year, {notional:g} {currency} "
                                  "repaid at maturity")


def _floating_rows(track: str, start: int, end: int, frequency: int, spread: float, notional: float,
                   currency: str, sign: float) -> list[tuple]:
    rows, previous = [], start
    for date in _schedule(start, end, frequency):
        # The coupon notional * L * accrual, with L the forward rate of the period on the discount curve,
        # is worth notional at the period's start less notional at its end.
        rows.append((previous, track, "+", sign * notional, currency))
        rows.append((date, track, "+", -sign * notional, currency))
        if spread:
            rows.append((date, track, "+", sign * notional * spread * (date - previous) / YEAR_MS, currency))
        previous = date
    return rows


def floating_rate_leg(
    years: float | str | None = None,
    *,
    maturity: Any = None,
    frequency: int | str = 4,
    spread: float = 0.0,
    notional: float = 100.0,
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "floating",
    calendar: Any = None,
    day_count: Any = None,
    convention: Any = None,
    termination_convention: Any = None,
    rule: str | None = None,
    end_of_month: bool | None = None,
    first_date: Any = None,
    next_to_last_date: Any = None,
    payment_lag: int | None = None,
    fixing_lag: int | None = None,
    projection: Any = None,
    fixings: Any = None,
    pricing_time: Any = None,
) -> Contract:
    """The floating leg of a swap: coupons at a floating rate plus ``spread``, no notional exchange.

    Periods run every ``1 / frequency`` years back from maturity (``years`` after ``start`` or
    the date ``maturity``), the first possibly short. The floating rate of a period is set at
    its start to the simple forward rate of the base currency's discount curve over the period,
    ``L = (DF(start) / DF(end) - 1) / accrual``, and paid at its end with the spread:
    ``notional * (L + spread) * accrual``. The leg does not observe a rate on a path: it books
    the replication of each coupon, ``+notional`` at the period's start and ``-notional`` at its
    end (in ``currency``), worth exactly ``notional * L * accrual`` discounted under every model
    that fits the discount curve, Hull-White included; the spread is a fixed payment at the end.
    So the price is ``notional * (DF(first start) - DF(maturity))`` plus the discounted spread
    payments. One track, ``track`` (track 0), from the receiver's side.

    On dates. A tenor maturity (``"10Y"``, or ``years="10Y"``), a maturity date (any time at
    midnight UTC) or any conventions argument builds the contract on a schedule of dates instead
    (:mod:`kestro.rates.dated`): ``calendar`` (default ``"NONE"``: no date moves), ``convention`` and
    ``termination_convention`` (business-day rolls), ``rule`` (``"backward"``), ``end_of_month``,
    ``first_date`` / ``next_to_last_date`` (stubs), ``payment_lag`` (business days),
    ``fixing_lag``. Payments fall at midnight UTC of their payment dates, and the contract carries
    its :class:`kestro.Legs` as ``legs`` for :mod:`kestro.rates.fixed_income`. ``years`` as a number
    keeps the 365-day years above and takes none of these arguments.

    On dates the accrual is the year fraction by ``day_count`` (default ``"ACT/360"``) between
    adjusted accrual dates and ``convention`` defaults to ``"modified following"``.

    With ``projection=`` (the index's zero curve, or a :class:`kestro.Market`
    whose discount curve projects the index) each coupon's rate is known when the contract is
    built: the projection curve's simple forward rate over the period's accrual dates by the
    leg's day count (curve times from the pricing time: the market's, or ``pricing_time=``,
    default 2026-01-01), and a period whose fixing date (``fixing_lag`` business days before
    its start, default 0) lies before the pricing time takes its rate from ``fixings=``
    (fixing date -> rate; a missing one is refused, naming the date). The coupons are then fixed
    payments: exact under ``"fixed"`` and every model that discounts on the market's curve;
    under a stochastic rate model (Hull-White) the basis between the projection and discount
    curves is held deterministic. Without ``projection`` the leg is replicated by notional
    exchanges, as above, and a coupon paid after its accrual end (``payment_lag``) is refused.
    A projected contract starts at its pricing time: payments before it are left out, so a
    swap that has started prices from today with the fixing of its running period.
    """
    given = dict(calendar=calendar, day_count=day_count, convention=convention,
                 termination_convention=termination_convention, rule=rule, end_of_month=end_of_month,
                 first_date=first_date, next_to_last_date=next_to_last_date, payment_lag=payment_lag,
                 fixing_lag=fixing_lag, projection=projection, fixings=fixings, pricing_time=pricing_time)
    if dated.on_dates(years, maturity, (frequency,), given):
        currency = _name("currency", currency)
        built = dated.floating_rate_leg(years, maturity, start, frequency, _number("spread", spread),
                                        _number("notional", notional), currency, given)
        return _dated_contract(built, track)
    start = check_date(start, "start")
    currency = _name("currency", currency)
    track = _check_track(track, currency)
    end = _date(years, maturity, start, "years", "maturity")
    _after_start(end, start, "maturity")
    rows = _floating_rows(track, start, end, _frequency("frequency", frequency), _number("spread", spread),
                          _number("notional", notional), currency, 1.0)
    return _contract(rows, track, f"floating leg on {notional:g} {currency}, {frequency}x a year, "
                                  f"spread {spread:.4%}")


def interest_rate_swap(
    fixed_rate: float,
    years: float | str | None = None,
    *,
    maturity: Any = None,
    payer: bool = True,
    fixed_frequency: int | str = 1,
    floating_frequency: int | str = 4,
    spread: float = 0.0,
    notional: float = 100.0,
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "swap",
    calendar: Any = None,
    fixed_day_count: Any = None,
    floating_day_count: Any = None,
    convention: Any = None,
    termination_convention: Any = None,
    rule: str | None = None,
    end_of_month: bool | None = None,
    first_date: Any = None,
    next_to_last_date: Any = None,
    payment_lag: int | None = None,
    fixing_lag: int | None = None,
    projection: Any = None,
    fixings: Any = None,
    pricing_time: Any = None,
) -> Contract:
    """A fixed-for-floating interest rate swap on ``notional`` in ``currency``.

    The fixed leg pays ``notional * fixed_rate * accrual`` every ``1 / fixed_frequency`` years,
    the floating leg the forward rate plus ``spread`` every ``1 / floating_frequency`` years,
    both counted back from maturity (``years`` after ``start`` or the date ``maturity``); the
    floating rate is set as :func:`floating_rate_leg` describes. No notional is exchanged.
    One track, ``track`` (track 0). The price is the floating leg less the fixed leg for the
    ``payer`` of the fixed rate (the default), the fixed leg less the floating leg for the
    receiver; it is 0 at the par rate.

    On dates. A tenor maturity (``"10Y"``, or ``years="10Y"``), a maturity date (any time at
    midnight UTC) or any conventions argument builds the contract on a schedule of dates instead
    (:mod:`kestro.rates.dated`): ``calendar`` (default ``"NONE"``: no date moves), ``convention`` and
    ``termination_convention`` (business-day rolls), ``rule`` (``"backward"``), ``end_of_month``,
    ``first_date`` / ``next_to_last_date`` (stubs), ``payment_lag`` (business days),
    ``fixing_lag``. Payments fall at midnight UTC of their payment dates, and the contract carries
    its :class:`kestro.Legs` as ``legs`` for :mod:`kestro.rates.fixed_income`. ``years`` as a number
    keeps the 365-day years above and takes none of these arguments.

    On dates both legs run on schedules from the same dates and conventions (stubs included),
    each on its own period: the fixed leg accrues by ``fixed_day_count`` (default
    ``"30/360"``), the floating leg by ``floating_day_count`` (default ``"ACT/360"``);
    ``convention`` defaults to ``"modified following"``. :func:`kestro.rates.fixed_income.swap_measures`
    gives its par rate and annuity.

    With ``projection=`` (the index's zero curve, or a :class:`kestro.Market` whose discount
    curve projects the index) each coupon's rate is known when the contract is
    built: the projection curve's simple forward rate over the period's accrual dates by the
    leg's day count (curve times from the pricing time: the market's, or ``pricing_time=``,
    default 2026-01-01), and a period whose fixing date (``fixing_lag`` business days before
    its start, default 0) lies before the pricing time takes its rate from ``fixings=``
    (fixing date -> rate; a missing one is refused, naming the date). The coupons are then fixed
    payments: exact under ``"fixed"`` and every model that discounts on the market's curve;
    under a stochastic rate model (Hull-White) the basis between the projection and discount
    curves is held deterministic. Without ``projection`` the leg is replicated by notional
    exchanges, as above, and a coupon paid after its accrual end (``payment_lag``) is refused.
    A projected contract starts at its pricing time: payments before it are left out, so a
    swap that has started prices from today with the fixing of its running period.
    """
    given = dict(calendar=calendar, fixed_day_count=fixed_day_count, floating_day_count=floating_day_count,
                 convention=convention, termination_convention=termination_convention, rule=rule,
                 end_of_month=end_of_month, first_date=first_date, next_to_last_date=next_to_last_date,
                 payment_lag=payment_lag, fixing_lag=fixing_lag, projection=projection, fixings=fixings,
                 pricing_time=pricing_time)
    if dated.on_dates(years, maturity, (fixed_frequency, floating_frequency), given):
        currency = _name("currency", currency)
        if not isinstance(payer, bool):
            raise TypeError(f"payer must be True or False, got {payer!r}")
        built = dated.interest_rate_swap(_number("fixed_rate", fixed_rate), years, maturity, start, payer,
                                         fixed_frequency, floating_frequency, _number("spread", spread),
                                         _number("notional", notional), currency, given)
        return _dated_contract(built, track)
    start = check_date(start, "start")
    currency = _name("currency", currency)
    track = _check_track(track, currency)
    end = _date(years, maturity, start, "years", "maturity")
    _after_start(end, start, "maturity")
    fixed_rate = _number("fixed_rate", fixed_rate)
    notional = _number("notional", notional)
    sign = 1.0 if payer else -1.0
    rows = _floating_rows(track, start, end, _frequency("floating_frequency", floating_frequency),
                          _number("spread", spread), notional, currency, sign)
    previous = start
    for date in _schedule(start, end, _frequency("fixed_frequency", fixed_frequency)):
        rows.append((date, track, "+", -sign * notional * fixed_rate * (date - previous) / YEAR_MS, currency))
        previous = date
    side = "pay" if payer else "receive"
    return _contract(rows, track, f"swap on {notional:g} {currency}: {side} {fixed_rate:.4%} fixed "
                                  f"{fixed_frequency}x a year against floating {floating_frequency}x a year")


# Options with the ">" choice


def _option(strike: Any, dates: list[int], asset: Any, currency: Any, quantity: Any, track: str, call: bool,
            style: str) -> Contract:
    strike = _number("strike", strike)
    asset, currency = _name("asset", asset), _name("currency", currency)
    quantity = _number("quantity", quantity)
    track = _check_track(track, asset, currency)
    rows = [row for when in dates for row in _exercise_rows(when, track, strike, quantity, asset, currency, call)]
    kind = "call" if call else "put"
    payoff = f"max(S - {strike:g}, 0)" if call else f"max({strike:g} - S, 0)"
    # Exercisable once, at expiry: a European option, whose price has a closed form.
    terms = Terms(f"european_{kind}", strike, dates[0], asset, currency, quantity) if style == "European" else None
    return _contract(rows, track, f"{style} {kind} on {quantity:g} {asset} at strike {strike:g} {currency}: "
                                  f"pays {payoff} per unit", (asset,), terms=terms)


def european_call(
    strike: float,
    years: float | None = None,
    *,
    expiry: Any = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "call",
) -> Contract:
    """A European call: at expiry the holder may buy ``quantity`` units of ``asset`` at ``strike``.

    Expiry is ``years`` after ``start`` or the date ``expiry``. One track, ``track`` (track 0),
    booked ``max(S - K, 0) * quantity`` at expiry. The price is its discounted expectation:
    the Black-Scholes price under ``"black_scholes"`` or Monte Carlo GBM paths, the discounted
    intrinsic value on the forward under ``"fixed"``.
    """
    start = check_date(start, "start")
    return _option(strike, [_date(years, expiry, start, "years", "expiry")], asset, currency, quantity, track,
                   True, "European")


def european_put(
    strike: float,
    years: float | None = None,
    *,
    expiry: Any = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "put",
) -> Contract:
    """A European put: at expiry the holder may sell ``quantity`` units of ``asset`` at ``strike``.

    Expiry is ``years`` after ``start`` or the date ``expiry``. One track, ``track`` (track 0),
    booked ``max(K - S, 0) * quantity`` at expiry; the price is its discounted expectation
    (the discounted intrinsic value on the forward under ``"fixed"``).
    """
    start = check_date(start, "start")
    return _option(strike, [_date(years, expiry, start, "years", "expiry")], asset, currency, quantity, track,
                   False, "European")


def bermudan_call(
    strike: float,
    years: Iterable[float] | None = None,
    *,
    dates: Iterable[Any] | None = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "call",
) -> Contract:
    """A Bermudan call: the holder may buy ``quantity`` units of ``asset`` at ``strike`` on any exercise date.

    Exercise dates are the tenors ``years`` after ``start`` or the dates ``dates`` (sorted,
    duplicates dropped); exercising ends the contract. One track, ``track`` (track 0), booking
    ``max(continuation, S - K)`` at each date from the last back. The price is the value of the
    best exercise policy: on the finite-difference grid up to its discretisation; under Monte
    Carlo by a fitted regression rule (a lower bound), or with ``exercise="pathwise"`` path by
    path with foresight of the path (an upper bound).
    """
    start = check_date(start, "start")
    return _option(strike, _dates(years, dates, start, "years", "dates"), asset, currency, quantity, track,
                   True, "Bermudan")


def bermudan_put(
    strike: float,
    years: Iterable[float] | None = None,
    *,
    dates: Iterable[Any] | None = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "put",
) -> Contract:
    """A Bermudan put: the holder may sell ``quantity`` units of ``asset`` at ``strike`` on any exercise date.

    Exercise dates are the tenors ``years`` after ``start`` or the dates ``dates`` (sorted,
    duplicates dropped). One track, ``track`` (track 0), booking ``max(continuation, K - S)``
    at each date from the last back; the price is the value of the best exercise policy
    (see :func:`bermudan_call` for how each model finds it).
    """
    start = check_date(start, "start")
    return _option(strike, _dates(years, dates, start, "years", "dates"), asset, currency, quantity, track,
                   False, "Bermudan")


def american_call(
    strike: float,
    years: float | None = None,
    *,
    expiry: Any = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "call",
) -> Contract:
    """An American call, exercisable once a day: a :func:`bermudan_call` on a daily grid.

    Exercise dates are ``start`` and every day after it up to expiry (``years`` after
    ``start`` or the date ``expiry``), expiry included; a one-year option has 366 dates and
    1,098 rows. One track, ``track`` (track 0). The default finite-difference grid steps at
    most a day, so every day is one step, and its choices run undamped (see :mod:`kestro.grid`).
    """
    start = check_date(start, "start")
    end = _date(years, expiry, start, "years", "expiry")
    _after_start(end, start, "expiry")
    return _option(strike, _daily(start, end), asset, currency, quantity, track, True, "American (daily)")


def american_put(
    strike: float,
    years: float | None = None,
    *,
    expiry: Any = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "put",
) -> Contract:
    """An American put, exercisable once a day: a :func:`bermudan_put` on a daily grid.

    Exercise dates are ``start`` and every day after it up to expiry (``years`` after
    ``start`` or the date ``expiry``), expiry included. One track, ``track`` (track 0). Price
    it with ``model="black_scholes"``: for S = K = 100, r = 5 %, σ = 20 % and one year it is
    about 6.089, above the European put's 5.57.
    """
    start = check_date(start, "start")
    end = _date(years, expiry, start, "years", "expiry")
    _after_start(end, start, "expiry")
    return _option(strike, _daily(start, end), asset, currency, quantity, track, False, "American (daily)")


# Interest-rate options


def bond_option(
    strike: float,
    expiry_years: float | None = None,
    maturity_years: float | None = None,
    *,
    expiry: Any = None,
    maturity: Any = None,
    call: bool = True,
    notional: float = 1.0,
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "bond_option",
) -> Contract:
    """A European option on a zero-coupon bond: at expiry, buy (``call``) or sell the bond at ``strike``.

    The bond pays one unit of ``currency``, which must be the market's base currency, at
    maturity (``maturity_years`` after ``start`` or the date ``maturity``), after expiry
    (``expiry_years`` after ``start`` or the date ``expiry``); ``strike`` is per unit of face.
    One track, ``track`` (track 0), booking ``notional * max(P(t, T) - K, 0)`` at expiry for a
    call, ``notional * max(K - P(t, T), 0)`` for a put, with the bond asset
    ``bond_asset(maturity)`` (``"ZCB:<maturity>"``) as the unit of its choice row.

    Models: ``"hull_white"`` (the grid holds the bond on a track of its own),
    ``"monte_carlo"`` with :class:`kestro.HullWhitePaths`, which answer the bond's price on
    every path (Jamshidian's closed form is the reference), and ``"fixed"``, which takes the
    bond at its forward ``DF(T) / DF(t)``: the discounted intrinsic value.
    """
    start = check_date(start, "start")
    strike = _number("strike", strike)
    notional = _number("notional", notional)
    currency = _name("currency", currency)
    when = _date(expiry_years, expiry, start, "expiry_years", "expiry")
    end = _date(maturity_years, maturity, start, "maturity_years", "maturity")
    if end <= when:
        raise ValueError("the bond's maturity must lie after the option's expiry")
    bond = bond_asset(end)
    track = _check_track(track, bond, currency)
    kind = "call" if call else "put"
    payoff = f"max(P - {strike:g}, 0)" if call else f"max({strike:g} - P, 0)"
    return _contract(_exercise_rows(when, track, strike, notional, bond, currency, call), track,
                     f"European {kind} on {notional:g} of the zero-coupon bond {bond} at strike {strike:g} "
                     f"{currency}: pays {payoff} per unit of face")


def bermudan_swaption(
    fixed_rate: float,
    exercise_years: Iterable[float] | None = None,
    maturity_years: float | None = None,
    *,
    exercise_dates: Iterable[Any] | None = None,
    maturity: Any = None,
    payer: bool = True,
    frequency: int = 1,
    notional: float = 100.0,
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "swaption",
) -> Contract:
    """A Bermudan swaption: on any exercise date, enter the rest of a fixed-for-floating swap.

    The swap runs to maturity (``maturity_years`` after ``start`` or the date ``maturity``)
    on ``notional`` in ``currency``, the market's base currency. Its fixed leg pays
    ``fixed_rate * accrual`` every ``1 / frequency`` years counted back from maturity, the
    accrual being the period's length in 365-day years (as :func:`fixed_rate_bond`); its
    floating leg is worth par at each exercise date. So entering it at an exercise date t is
    worth, per unit of notional, for the receiver of the fixed rate,
    ``sum_j fixed_rate * accrual_j * P(t, T_j) + P(t, T_n) - 1`` over the fixed dates
    ``T_j > t`` (``T_n`` the maturity), and the negative of that for the payer (``payer=True``,
    the default). Exercise dates are normally coupon dates; they are the tenors
    ``exercise_years`` after ``start`` or the dates ``exercise_dates`` (sorted, duplicates
    dropped), after ``start`` and on or before maturity. One exercise date is a European
    swaption.

    Each exercise date has a phrase ``"<track>.swap_value_<k>"`` (k = 1, 2, ... in date
    order) whose inputs are the bond assets ``bond_asset(T_j)`` (``"ZCB:<T_j>"``, see
    :mod:`kestro.rates.bonds`) and which returns that value, and a choice row
    ``(t, track, ">", notional, phrase)`` on ``track`` (track 0): the holder keeps the larger
    of waiting and entering the swap. Path-wise models only (the grids refuse phrases):
    ``"monte_carlo"`` with :class:`kestro.HullWhitePaths` values the bonds on every path
    (Jamshidian's formula is the one-date reference); ``"fixed"`` takes them at their
    forwards.
    """
    start = check_date(start, "start")
    fixed_rate = _number("fixed_rate", fixed_rate)
    notional = _number("notional", notional)
    currency = _name("currency", currency)
    frequency = _frequency("frequency", frequency)
    end = _date(maturity_years, maturity, start, "maturity_years", "maturity")
    _after_start(end, start, "maturity")
    dates = _dates(exercise_years, exercise_dates, start, "exercise_years", "exercise_dates")
    _after_start(dates[0], start, "exercise dates")
    if dates[-1] > end:
        raise ValueError("exercise dates must lie on or before the swap's maturity")
    coupons, previous = [], start
    for date in _schedule(start, end, frequency):
        coupons.append((date, fixed_rate * (date - previous) / YEAR_MS))
        previous = date
    track = _check_track(track, currency, *(bond_asset(date) for date, _ in coupons))
    sign = -1.0 if payer else 1.0

    expressions, rows = {}, []
    for k, when in enumerate(dates, start=1):
        remaining = [(date, accrual) for date, accrual in coupons if date > when] or [(end, 0.0)]
        coefficients = np.array([accrual for _, accrual in remaining])
        coefficients[-1] += 1.0
        name = f"{track}.swap_value_{k}"
        expressions[name] = {"type": "phrase", "fn": SwapValue(coefficients, sign),
                             "inp": [bond_asset(date) for date, _ in remaining]}
        rows.append((when, track, ">", notional, name))
    side = "pay" if payer else "receive"
    return _contract(rows, track, f"Bermudan swaption on {notional:g} {currency}: on any of {len(dates)} dates, "
                                  f"enter a swap to {side} {fixed_rate:.4%} fixed {frequency}x a year against "
                                  "floating until maturity", (), expressions)


# Options with expressions


def _digital(strike: Any, when: int, payout: Any, asset: Any, currency: Any, track: Any, call: bool) -> Contract:
    strike = _number("strike", strike)
    payout = _number("payout", payout)
    asset, currency = _name("asset", asset), _name("currency", currency)
    track = _check_track(track, asset, currency)
    name = f"{track}.in_the_money"
    expressions = {name: {"type": "phrase", "fn": StrikeIndicator(strike, call), "inp": [asset]}}
    kind = "call" if call else "put"
    test = ">" if call else "<"
    terms = Terms(f"digital_{kind}", strike, when, asset, currency, payout=payout)
    return _contract([(when, track, "+", payout, name)], track,
                     f"digital {kind} on {asset}: pays {payout:g} {currency} if S {test} {strike:g} at expiry",
                     (asset,), expressions, terms=terms)


def digital_call(
    strike: float,
    years: float | None = None,
    *,
    expiry: Any = None,
    payout: float = 1.0,
    asset: str = "STK",
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "digital",
) -> Contract:
    """A cash-or-nothing digital call: ``payout`` in ``currency`` at expiry if the asset is above ``strike``.

    Expiry is ``years`` after ``start`` or the date ``expiry``. The phrase
    ``"<track>.in_the_money"`` reads the asset and returns 1.0 where S > K, 0.0 elsewhere; the
    single row at expiry books ``payout`` times the phrase on ``track`` (track 0). The price is
    ``payout`` times the discounted probability that S > K: ``e^{-rT} N(d2)`` under
    Black-Scholes dynamics with Monte Carlo paths; 0 or the discounted payout under
    ``"fixed"``, by where the forward lies. Path-wise models only (the grid refuses phrases).
    """
    start = check_date(start, "start")
    return _digital(strike, _date(years, expiry, start, "years", "expiry"), payout, asset, currency, track, True)


def digital_put(
    strike: float,
    years: float | None = None,
    *,
    expiry: Any = None,
    payout: float = 1.0,
    asset: str = "STK",
    currency: str = "USD",
    start: Any = DEFAULT_START,
    track: str = "digital",
) -> Contract:
    """A cash-or-nothing digital put: ``payout`` in ``currency`` at expiry if the asset is below ``strike``.

    As :func:`digital_call` with the phrase returning 1.0 where S < K; the price is ``payout``
    times the discounted probability that S < K. Path-wise models only.
    """
    start = check_date(start, "start")
    return _digital(strike, _date(years, expiry, start, "years", "expiry"), payout, asset, currency, track, False)


def _knock_out(strike: Any, barrier: Any, direction: Any, end: int, monitoring: list[int], asset: Any,
               currency: Any, quantity: Any, track: Any, call: bool) -> Contract:
    strike = _number("strike", strike)
    barrier = _number("barrier", barrier)
    quantity = _number("quantity", quantity)
    if direction not in ("up", "down"):
        raise ValueError(f"direction must be 'up' (knocked out at or above the barrier) or 'down' (at or below), "
                         f"got {direction!r}")
    asset, currency = _name("asset", asset), _name("currency", currency)
    track = _check_track(track, asset, currency)
    if monitoring[-1] > end:
        raise ValueError("monitoring dates must not lie after expiry")
    up = direction == "up"
    first, step, alive, payoff = (f"{track}.{part}" for part in ("first_check", "check", "alive", "payoff"))
    expressions = {
        first: {"type": "snapper", "fn": FirstBarrierCheck(barrier, up), "inp": [asset], "out": [alive]},
        step: {"type": "snapper", "fn": BarrierCheck(barrier, up), "inp": [asset, alive], "out": [alive]},
        payoff: {"type": "phrase", "fn": KnockOutPayoff(strike, call), "inp": [asset, alive]},
    }
    rows: list[tuple[int, str, str | None, float, str]] = [
        (when, track, None, 1.0, first if i == 0 else step) for i, when in enumerate(monitoring)]
    rows.append((end, track, "+", quantity, payoff))  # after the last check at the same time
    kind = "call" if call else "put"
    return _contract(rows, track, f"{direction}-and-out {kind} on {quantity:g} {asset}, strike {strike:g}, "
                                  f"barrier {barrier:g} checked on {len(monitoring)} dates", (asset,), expressions)


def _monitoring(years: Any, dates: Any, start: int, end: int) -> list[int]:
    if years is None and dates is None:
        return _daily(start, end)
    return _dates(years, dates, start, "monitoring_years", "monitoring_dates")


def knock_out_call(
    strike: float,
    barrier: float,
    years: float | None = None,
    *,
    direction: str,
    expiry: Any = None,
    monitoring_years: Iterable[float] | None = None,
    monitoring_dates: Iterable[Any] | None = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "knock_out",
) -> Contract:
    """A knock-out call: a European call that dies once the asset touches the barrier on a monitoring date.

    ``direction="up"`` knocks out where S ≥ ``barrier``, ``"down"`` where S ≤ ``barrier``.
    Expiry is ``years`` after ``start`` or the date ``expiry``; the barrier is checked on
    ``monitoring_years`` (tenors) or ``monitoring_dates``, by default on ``start`` and every day
    up to expiry, expiry included.

    Expressions: the snapper ``"<track>.first_check"`` stores the indicator
    ``"<track>.alive"`` (1.0 inside the barrier, 0.0 outside) at the first monitoring date,
    ``"<track>.check"`` multiplies it by the indicator at each later date, and the phrase
    ``"<track>.payoff"`` returns ``alive * max(S - K, 0)``, booked times ``quantity`` on
    ``track`` (track 0) at expiry. The price is the discounted expected payoff over the paths
    that never touched the barrier: use ``model="monte_carlo"`` with GBM paths (or
    ``"fixed"``, which follows the forward); the finite-difference models refuse snappers.
    """
    start = check_date(start, "start")
    end = _date(years, expiry, start, "years", "expiry")
    return _knock_out(strike, barrier, direction, end, _monitoring(monitoring_years, monitoring_dates, start, end),
                      asset, currency, quantity, track, True)


def knock_out_put(
    strike: float,
    barrier: float,
    years: float | None = None,
    *,
    direction: str,
    expiry: Any = None,
    monitoring_years: Iterable[float] | None = None,
    monitoring_dates: Iterable[Any] | None = None,
    asset: str = "STK",
    currency: str = "USD",
    quantity: float = 1.0,
    start: Any = DEFAULT_START,
    track: str = "knock_out",
) -> Contract:
    """A knock-out put: a European put that dies once the asset touches the barrier on a monitoring date.

    As :func:`knock_out_call`, with the payoff phrase returning ``alive * max(K - S, 0)``.
    Path-wise models only.
    """
    start = check_date(start, "start")
    end = _date(years, expiry, start, "years", "expiry")
    return _knock_out(strike, barrier, direction, end, _monitoring(monitoring_years, monitoring_dates, start, end),
                      asset, currency, quantity, track, False)

