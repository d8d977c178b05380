"""What a dated contract pays, leg by leg: the cashflows its template wrote, with their dates.

A template that builds a contract on dates (:func:`kestro.fixed_rate_bond` and its kin with a
date or tenor maturity, or any conventions argument) keeps what it wrote in the contract's
``legs``: a :class:`Legs` of one :class:`Leg` per stream of payments. A leg holds, per period,
the adjusted accrual start and end, the payment and fixing dates (``datetime64[D]``), the year
fraction by the leg's day count, the rate and the amount. The bond and swap measures
(:mod:`kestro.rates.fixed_income`) read them; :meth:`Legs.table` shows them.

Kinds of leg:

- ``"fixed"``: coupons ``notional * rate * year_fraction`` paid on the payment dates.
- ``"floating"``: coupons ``notional * (rate + spread) * year_fraction``. The rate is the
  period's fixing or its forward on a projection curve, known when the contract was built;
  NaN where the leg is replicated instead (no projection curve: ``+notional`` at the accrual
  start and ``-notional`` at its end, worth the coupon on the discount curve's forwards).
- ``"redemption"``: the notional paid once, on its payment date (accrual dates are that date).
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import pyarrow as pa

from kestro.conventions import DATE_DTYPE, Calendar, DayCount, Schedule, Tenor
from kestro.clock import DAY_MS

__all__ = ["LEG_KINDS", "Leg", "Legs"]

LEG_KINDS: tuple[str, ...] = ("fixed", "floating", "redemption")
"""The kinds of :class:`Leg`."""


def _frozen(values: Any, dtype: Any) -> np.ndarray:
    out = np.array(values, dtype=dtype, ndmin=1)
    out.flags.writeable = False
    return out


@dataclass(frozen=True, eq=False)
class Leg:
    """One stream of payments of a dated contract, per period (arrays of one length).

    - ``kind``: ``"fixed"``, ``"floating"`` or ``"redemption"`` (see :mod:`kestro.rates.legs`).
    - ``currency``, ``notional`` (positive) and ``sign``: +1 when the holder of track 0
      receives the leg, -1 when it pays it.
    - ``accrual_starts``, ``accrual_ends``, ``payment_dates``, ``fixing_dates``:
      ``datetime64[D]``; accrual dates are the schedule's adjusted dates.
    - ``year_fractions``: each period's accrual by ``day_count``.
    - ``rates``: the fixed rate, or the floating index rate (a fixing or a projected forward;
      NaN where replicated); ``spread`` is added to floating rates.
    - ``from_fixings``: True where a floating rate is a past fixing.
    - ``schedule``: the schedule the leg was built on (None for a redemption).
    """

    kind: str
    currency: str
    notional: float
    sign: float
    accrual_starts: np.ndarray
    accrual_ends: np.ndarray
    payment_dates: np.ndarray
    fixing_dates: np.ndarray
    year_fractions: np.ndarray
    rates: np.ndarray
    spread: float = 0.0
    from_fixings: np.ndarray | None = None
    day_count: DayCount | None = None
    schedule: Schedule | None = None

    def __post_init__(self) -> None:
        if self.kind not in LEG_KINDS:
            raise ValueError(f"leg kind must be one of {', '.join(LEG_KINDS)}, got {self.kind!r}")
        for name in ("accrual_starts", "accrual_ends", "payment_dates", "fixing_dates"):
            object.__setattr__(self, name, _frozen(getattr(self, name), DATE_DTYPE))
        for name in ("year_fractions", "rates"):
            object.__setattr__(self, name, _frozen(getattr(self, name), np.float64))
        fixings = np.zeros(self.periods, dtype=bool) if self.from_fixings is None else self.from_fixings
        object.__setattr__(self, "from_fixings", _frozen(fixings, bool))
        sizes = {getattr(self, name).size for name in ("accrual_starts", "accrual_ends", "payment_dates",
                                                      "fixing_dates", "year_fractions", "rates", "from_fixings")}
        if len(sizes) != 1:
            raise ValueError(f"a leg's per-period arrays must have one length, got lengths {sorted(sizes)}")

    @property
    def periods(self) -> int:
        """The number of payments."""
        return int(self.payment_dates.size)

    @property
    def replicated(self) -> bool:
        """True for a floating leg without known rates, booked as notional exchanges."""
        return self.kind == "floating" and bool(np.isnan(self.rates).any())

    @property
    def amounts(self) -> np.ndarray:
        """What each payment is, unsigned, in ``currency``; NaN where a floating leg is replicated."""
        if self.kind == "redemption":
            return np.full(self.periods, self.notional)
        return self.notional * (self.rates + self.spread) * self.year_fractions

    def payment_ms(self) -> np.ndarray:
        """The payment times on the engine's clock: midnight UTC of each payment date."""
        return self.payment_dates.view(np.int64) * DAY_MS

    def rows(self, track: str) -> tuple[np.ndarray, np.ndarray]:
        """The timetable rows that book this leg on ``track``: times (ms) and signed quantities.

        A replicated floating leg books ``+notional`` at each accrual start and ``-notional``
        at its end (the coupon at the discount curve's forward rate), and the spread as a
        fixed payment on the payment date.
        """
        if not self.replicated:
            return self.payment_ms(), self.sign * self.amounts
        starts = self.accrual_starts.view(np.int64) * DAY_MS
        ends = self.accrual_ends.view(np.int64) * DAY_MS
        exchange = self.sign * self.notional
        columns = [(starts, np.full(self.periods, exchange)), (ends, np.full(self.periods, -exchange))]
        if self.spread:
            columns.append((self.payment_ms(), exchange * self.spread * self.year_fractions))
        # Period after period: its start, its end, then its spread payment.
        times = np.stack([t for t, _ in columns], axis=1).reshape(-1)
        quantities = np.stack([q for _, q in columns], axis=1).reshape(-1)
        return times, quantities


@dataclass(frozen=True, eq=False)
class Legs:
    """The legs of a dated contract and the terms they share.

    Iterate it for its :class:`Leg` objects, or index it by position or by kind
    (``swap.legs["fixed"]``). ``product`` names the template; ``calendar`` is the schedule's;
    ``settlement_days`` are business days from a trade date to settlement (bonds);
    ``frequency`` is the coupon period (yields compound with it); ``pricing_time`` is the
    time floating rates were projected from (ms, None when nothing was projected).
    """

    product: str
    legs: tuple[Leg, ...]
    calendar: Calendar
    settlement_days: int = 0
    frequency: Tenor | None = None
    pricing_time: int | None = None

    def __iter__(self) -> Iterator[Leg]:
        return iter(self.legs)

    def __len__(self) -> int:
        return len(self.legs)

    def __getitem__(self, key: int | str) -> Leg:
        if isinstance(key, str):
            found = [leg for leg in self.legs if leg.kind == key]
            if len(found) != 1:
                kinds = ", ".join(leg.kind for leg in self.legs)
                raise KeyError(f"{'no' if not found else 'more than one'} {key!r} leg; this contract's legs: {kinds}")
            return found[0]
        return self.legs[key]

    @property
    def maturity(self) -> np.datetime64:
        """The last payment date."""
        return max(leg.payment_dates[-1] for leg in self.legs)

    def table(self) -> pa.Table:
        """Every payment, leg after leg: kind, accrual dates, fixing and payment dates, year
        fraction, rate, spread and the signed amount (NaN where replicated)."""
        columns: dict[str, list[np.ndarray]] = {name: [] for name in (
            "leg", "accrual_start", "accrual_end", "fixing_date", "payment_date", "year_fraction", "rate", "spread",
            "amount")}
        for leg in self.legs:
            n = leg.periods
            columns["leg"].append(np.full(n, leg.kind, dtype=object))
            columns["accrual_start"].append(leg.accrual_starts)
            columns["accrual_end"].append(leg.accrual_ends)
            columns["fixing_date"].append(leg.fixing_dates)
            columns["payment_date"].append(leg.payment_dates)
            columns["year_fraction"].append(leg.year_fractions)
            columns["rate"].append(leg.rates)
            columns["spread"].append(np.full(n, leg.spread))
            columns["amount"].append(leg.sign * leg.amounts)
        return pa.table({name: pa.array(np.concatenate(parts)) for name, parts in columns.items()})

    def __repr__(self) -> str:
        kinds = ", ".join(f"{leg.kind} ({leg.periods})" for leg in self.legs)
        return f"Legs({self.product}: {kinds}; calendar {self.calendar.name}, to {self.maturity})"


_TIME_TYPE = pa.timestamp("ms", tz="UTC")


def _dictionary(keys: np.ndarray, values: list[str]) -> pa.DictionaryArray:
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.utf8()))


def events(times: np.ndarray, quantities: np.ndarray, track: str, currency: str) -> pa.RecordBatch:
    """The timetable of payments: ``quantities`` of ``currency`` at ``times`` (ms, in row order)
    booked with "+" on ``track``; the batch :func:`kestro.timetable` builds from the same rows."""
    n = times.size
    zeros = np.zeros(n, dtype=np.int64)
    return pa.record_batch({
        "time": pa.array(times, _TIME_TYPE),
        "track": _dictionary(zeros, [track]),
        "op": _dictionary(zeros, ["+"]),
        "quantity": pa.array(quantities, pa.float64()),
        "unit": _dictionary(zeros, [currency]),
    })


def legs_events(legs: Legs, track: str) -> pa.RecordBatch:
    """The timetable of a contract's legs on one track, rows in time order (legs in order at a time)."""
    currencies = {leg.currency for leg in legs}
    if len(currencies) != 1:
        raise ValueError(f"the legs pay in {', '.join(sorted(currencies))}; one track books one currency here")
    parts = [leg.rows(track) for leg in legs]
    times = np.concatenate([t for t, _ in parts])
    quantities = np.concatenate([q for _, q in parts])
    order = np.argsort(times, kind="stable")
    return events(times[order], quantities[order], track, currencies.pop())
