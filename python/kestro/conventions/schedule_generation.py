"""How schedules are generated, many at once: QuantLib's ``Schedule`` algorithm on flat NumPy arrays.

QuantLib builds a schedule date by date in a loop. Here every schedule of a batch gets one
run of slots in a flat array, in date order: the start, the first date (if any), the
generated dates, the next-to-last date (if any) and the end. Which slots survive, how they
roll and which periods are regular is then decided for all slots at once:

- QuantLib drops a generated date whose rolled date equals that of the last date it kept.
  Rolling is monotone, so that is the same as comparing with the neighbouring slot.
- Backward generation keeps the end and the next-to-last date; forward generation the start
  and the first date, and the end unless it rolls (by the termination convention) onto the
  last date kept.
- The final clean-up merges a next-to-last date on or after the end into the end, and a
  second date on or before the start into the start.

Dates are int64 day counts since 1970; NaT's int64 value marks a missing stub date.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple

import numpy as np

from kestro.conventions.calendars import BusinessDayConvention, Calendar
from kestro.conventions.dates import format_day, is_month_end, month_ends, months_of
from kestro.conventions.tenors import Tenor, shift_days

__all__ = ["NAT", "ScheduleArrays", "generate"]

NAT = np.iinfo(np.int64).min
"""The int64 view of NaT: no stub date."""


class ScheduleArrays(NamedTuple):
    offsets: np.ndarray      # schedule i's dates are [offsets[i], offsets[i + 1]) of the date arrays
    unadjusted: np.ndarray   # accrual dates before rolling, int64 days
    adjusted: np.ndarray     # accrual dates after rolling
    payment: np.ndarray      # per period (one fewer per schedule): payment dates
    fixing: np.ndarray       # ... fixing dates
    regular: np.ndarray      # ... whether the period is a whole one


def generate(s: np.ndarray, e: np.ndarray, f: np.ndarray, n: np.ndarray, period: Tenor, cal: Calendar,
             conv: BusinessDayConvention, tconv: BusinessDayConvention, backward: bool, end_of_month: bool,
             payment_lag: int, fixing_lag: int, label: Callable[[int], str]) -> ScheduleArrays:
    """The schedules from starts ``s`` to ends ``e`` with first dates ``f`` and next-to-last dates ``n``.

    The arguments are checked already (start before end, stub dates between them, dates the
    calendar knows); ``label(i)`` prefixes a message about schedule i. Raises ``ValueError``
    for a schedule whose dates roll onto one day, or onto each other.
    """
    has_f, has_n = f != NAT, n != NAT
    if period.length == 0:
        owner = np.repeat(np.arange(s.size), 2)
        values = np.stack([s, e], axis=1).reshape(-1)
        counts = np.full(s.size, 2, dtype=np.int64)
        regular_at_start = np.ones(values.size, dtype=bool)
        return _finish(values, owner, counts, regular_at_start, np.zeros(s.size, dtype=bool), cal, conv, tconv,
                       payment_lag, fixing_lag, label)

    eom = end_of_month and period.months is not None  # as QuantLib: days and weeks have no month ends
    step = -1 if backward else 1
    # Backward: from the end (or next-to-last date) down to the start (or first date); forward the other way.
    seed = np.where(has_n, n, e) if backward else np.where(has_f, f, s)
    stop = np.where(has_f, f, s) if backward else np.where(has_n, n, e)
    seed_on_month_end = eom & is_month_end(seed)

    def generated(base: np.ndarray, base_on_month_end: np.ndarray, k: np.ndarray) -> np.ndarray:
        dates = shift_days(base, period, step * k)
        return np.where(base_on_month_end, month_ends(dates), dates) if eom else dates

    # How many whole periods fit between seed and stop.
    if period.months is not None:
        whole = step * (months_of(stop) - months_of(seed)) // period.months
        reached = generated(seed, seed_on_month_end, whole)
        k_max = whole - ((reached < stop) if backward else (reached > stop))
    else:
        k_max = step * (stop - seed) // (period.days or 1)

    # Slots, in date order: start, first date, generated dates, next-to-last date, end.
    counts = 2 + has_f + k_max + has_n
    offsets = np.concatenate([[0], np.cumsum(counts)])
    owner = np.repeat(np.arange(s.size), counts)
    pos = np.arange(offsets[-1]) - offsets[owner]
    lo = 1 + has_f[owner]
    hi = lo + k_max[owner]
    is_start, is_end = pos == 0, pos == counts[owner] - 1
    is_first = has_f[owner] & (pos == 1)
    is_generated = (pos >= lo) & (pos < hi)
    is_next_to_last = has_n[owner] & (pos == hi)

    values = np.where(is_end, e[owner], s[owner])
    values = np.where(is_first, f[owner], values)
    values = np.where(is_next_to_last, n[owner], values)
    g = np.flatnonzero(is_generated)
    j = pos[g] - lo[g]
    k = (k_max[owner[g]] - j) if backward else (j + 1)
    values[g] = generated(seed[owner[g]], seed_on_month_end[owner[g]], k)

    # A generated date is dropped when it rolls onto the date kept next to it (towards the
    # seed). Rolling is monotone, so comparing with the neighbouring slot is the same.
    rolled = cal.adjust_days(values, conv)
    if backward:
        keep = is_end | is_next_to_last | (rolled != np.roll(rolled, -1))
        # Each kept date but the end owns the period after it: whole for generated dates, and
        # for the start and the next-to-last date when one period back from the date kept
        # after them lands on them.
        after = np.minimum.accumulate(np.where(keep, np.arange(values.size), values.size)[::-1])[::-1]
        edges = np.flatnonzero(is_start | is_next_to_last)
        nxt = values[after[edges + 1]]
        one_back = shift_days(nxt, period, -1)
        if eom:
            one_back = np.where(is_month_end(nxt), month_ends(one_back), one_back)
        regular_at_start = is_generated.copy()
        regular_at_start[edges] = one_back == values[edges]
    else:
        keep = is_start | is_first | (rolled != np.roll(rolled, 1))
        # The end is kept unless it rolls, by the termination convention, onto the last date kept.
        last_kept = np.maximum.accumulate(np.where(keep & ~is_end, np.arange(values.size), 0))
        before_end = last_kept[np.maximum(np.flatnonzero(is_end) - 1, 0)]
        end_slots = np.flatnonzero(is_end)
        keep[end_slots] = cal.adjust_days(values[end_slots], tconv) != cal.adjust_days(values[before_end], tconv)
        # Each kept date but the start owns the period before it.
        one_on = generated(s, eom & is_month_end(s), np.ones_like(s))
        regular = np.where(is_first, one_on[owner] == values, is_generated)
        regular_at_start = _period_flags_at_starts(regular, keep)
    seed_eom = eom & cal.is_end_of_month_days(seed)
    return _finish(values[keep], owner[keep], np.bincount(owner[keep], minlength=s.size), regular_at_start[keep],
                   seed_eom, cal, conv, tconv, payment_lag, fixing_lag, label)


def _period_flags_at_starts(at_ends: np.ndarray, keep: np.ndarray) -> np.ndarray:
    """Forward generation flags a period at its end date: move each flag to the kept date before."""
    out = np.zeros(at_ends.size, dtype=bool)
    kept = np.flatnonzero(keep)
    out[kept[:-1]] = at_ends[kept[1:]]  # across schedules this copies into each last date: unused
    return out


def _finish(values: np.ndarray, owner: np.ndarray, counts: np.ndarray, regular: np.ndarray, seed_eom: np.ndarray,
            cal: Calendar, conv: BusinessDayConvention, tconv: BusinessDayConvention, payment_lag: int,
            fixing_lag: int, label: Callable[[int], str]) -> ScheduleArrays:
    """Roll the kept dates, apply QuantLib's final clean-up, and add payment and fixing dates."""
    _degenerate(counts < 2, label)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    index = np.arange(values.size)
    front, back = index == offsets[owner], index == offsets[owner + 1] - 1

    # The start rolls by convention, the end by the termination convention, inner dates by
    # convention: from their months' last days under the end-of-month rule.
    inner_eom = ~(front | back) & seed_eom[owner]
    unadjusted = np.where(inner_eom, month_ends(values), values) if np.any(inner_eom) else values
    adjusted = np.where(back, cal.adjust_days(values, tconv), cal.adjust_days(unadjusted, conv))

    # A next-to-last date on or after the end merges into the end, a second date on or before
    # the start into the start (end-of-month moves can cause either).
    drop = np.zeros(values.size, dtype=bool)
    last = offsets[1:] - 1
    merge = adjusted[last - 1] >= adjusted[last]
    _degenerate(merge & (counts < 3), label)
    regular[last[merge] - 2] = adjusted[last[merge] - 1] == adjusted[last[merge]]
    drop[last[merge] - 1] = True
    counts = counts - merge
    first = offsets[:-1]
    second = np.where(drop[first + 1], first + 2, first + 1)  # the next date still there
    merge = adjusted[second] <= adjusted[first]
    _degenerate(merge & (counts < 3), label)
    regular[first[merge]] = adjusted[second[merge]] == adjusted[first[merge]]
    drop[second[merge]] = True
    counts = counts - merge

    keep = ~drop
    adjusted, unadjusted, regular, owner = adjusted[keep], unadjusted[keep], regular[keep], owner[keep]
    offsets = np.concatenate([[0], np.cumsum(counts)])
    is_last = np.zeros(adjusted.size, dtype=bool)
    is_last[offsets[1:] - 1] = True
    starts = np.flatnonzero(~is_last)
    # Only the end-of-month rule can roll a stub date onto a month end next to it; QuantLib
    # keeps the empty period that leaves, we refuse it.
    collide = np.flatnonzero(adjusted[starts + 1] <= adjusted[starts])
    if collide.size:
        at = starts[collide[0]]
        raise ValueError(label(int(owner[at])) + f"two accrual dates roll onto {format_day(adjusted[at])}: the "
                         "end-of-month rule moves dates to month ends, so give first_date and next_to_last_date "
                         "on month ends or set end_of_month=False")
    payment = cal.add_business_days_days(adjusted[starts + 1], np.int64(payment_lag), BusinessDayConvention.FOLLOWING)
    fixing = cal.add_business_days_days(adjusted[starts], np.int64(-fixing_lag), BusinessDayConvention.PRECEDING)
    return ScheduleArrays(offsets.astype(np.int64), unadjusted, adjusted, payment, fixing, regular[starts])


def _degenerate(mask: np.ndarray, label: Callable[[int], str]) -> None:
    if np.any(mask):
        i = int(np.flatnonzero(mask)[0])
        raise ValueError(label(i) + "its dates all roll onto one business day; there is no accrual period")
