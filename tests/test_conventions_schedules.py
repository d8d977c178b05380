"""Schedules: QuantLib's dates on seeded random schedules, the batch form, and refusals."""

import datetime as dt
import pickle

import numpy as np
import pytest
from quantlib_conventions import CALENDARS, CONVENTIONS, DAY_COUNTS, ql, ql_date, period, py_date

from kestro.conventions import Schedule, calendar, schedule, schedules, tenor


def random_case(seed):
    """Schedule arguments drawn from a seeded generator; every fourth case has each kind of stub."""
    rng = np.random.default_rng(seed)
    pick = lambda options: options[int(rng.integers(len(options)))]  # noqa: E731
    start = np.datetime64("2001-01-01") + int(rng.integers(0, 40 * 365))
    if rng.random() < 0.4:  # month ends, where the end-of-month rule acts
        start = (start.astype("datetime64[M]") + 1).astype("datetime64[D]") - int(rng.integers(1, 3))
    end = start + int(rng.integers(200, 12 * 365))
    if rng.random() < 0.4:
        end = (end.astype("datetime64[M]") + 1).astype("datetime64[D]") - 1
    span = int((end - start).astype(int))
    first = start + int(rng.integers(1, span // 2)) if seed % 4 in (1, 3) else None
    next_to_last = end - int(rng.integers(1, span // 2 - 1)) if seed % 4 in (2, 3) else None
    return dict(start=start.item(), end=end.item(), frequency=pick(["1M", "3M", "6M", "1Y"]),
                calendar=pick(list(CALENDARS)), convention=pick(list(CONVENTIONS)),
                termination_convention=pick([None, *CONVENTIONS]), rule=pick(["backward", "forward"]),
                end_of_month=bool(rng.random() < 0.5), first_date=first and first.item(),
                next_to_last_date=next_to_last and next_to_last.item(),
                payment_lag=int(rng.integers(0, 3)), fixing_lag=int(rng.integers(0, 3)))


def quantlib_schedule(case):
    termination = case["termination_convention"] or case["convention"]
    return ql.Schedule(
        ql_date(case["start"]), ql_date(case["end"]), period(tenor(case["frequency"])), CALENDARS[case["calendar"]],
        CONVENTIONS[case["convention"]], CONVENTIONS[termination],
        ql.DateGeneration.Backward if case["rule"] == "backward" else ql.DateGeneration.Forward, case["end_of_month"],
        ql_date(case["first_date"]) if case["first_date"] else ql.Date(),
        ql_date(case["next_to_last_date"]) if case["next_to_last_date"] else ql.Date())


@pytest.mark.parametrize("seed", range(80))
def test_schedule_is_quantlibs(seed):
    case = random_case(seed)
    reference = quantlib_schedule(case)
    dates = [py_date(d) for d in reference.dates()]
    if len(set(dates)) < len(dates):  # QuantLib keeps an empty period here; we refuse it
        with pytest.raises(ValueError, match="two accrual dates roll onto"):
            schedule(**case)
        return
    ours = schedule(**case)
    assert ours.adjusted_dates.tolist() == dates, case
    assert ours.is_regular.tolist() == list(reference.isRegular()), case
    cal = CALENDARS[case["calendar"]]
    assert ours.payment_dates.tolist() == [
        py_date(cal.advance(ql_date(d), case["payment_lag"], ql.Days, ql.Following)) for d in dates[1:]]
    assert ours.fixing_dates.tolist() == [
        py_date(cal.advance(ql_date(d), -case["fixing_lag"], ql.Days, ql.Preceding)) for d in dates[:-1]]
    for name, reference_day_count in DAY_COUNTS.items():
        expected = [reference_day_count.yearFraction(ql_date(a), ql_date(b)) for a, b in zip(dates, dates[1:])]
        np.testing.assert_allclose(ours.year_fractions(name), expected, rtol=0, atol=1e-15)


def test_random_cases_cover_stubs_rules_and_the_end_of_month_rule():
    cases = [random_case(seed) for seed in range(80)]
    assert {c["rule"] for c in cases} == {"backward", "forward"}
    assert sum(c["end_of_month"] for c in cases) > 20 and sum(c["first_date"] is not None for c in cases) == 40
    assert {c["frequency"] for c in cases} == {"1M", "3M", "6M", "1Y"} and len({c["calendar"] for c in cases}) == 6
    assert sum(not all(quantlib_schedule(c).isRegular()) for c in cases) > 40  # stubs


def test_schedule_generated_backward_has_its_stub_first():
    s = schedule("2026-02-10", "2028-06-15", "6M", calendar="TARGET", convention="modified following")
    assert s.adjusted_dates.tolist() == [dt.date(2026, 2, 10), dt.date(2026, 6, 15), dt.date(2026, 12, 15),
                                         dt.date(2027, 6, 15), dt.date(2027, 12, 15), dt.date(2028, 6, 15)]
    assert s.is_regular.tolist() == [False, True, True, True, True] and s.periods == 5
    forward = schedule("2026-02-10", "2028-06-15", "6M", rule="forward")
    assert forward.is_regular.tolist() == [True, True, True, True, False]


def test_end_of_month_rule_keeps_month_ends():
    s = schedule("2026-02-28", "2027-02-28", "3M", calendar="UK", convention="modified following", end_of_month=True)
    assert s.unadjusted_dates.tolist() == [dt.date(2026, 2, 28), dt.date(2026, 5, 31), dt.date(2026, 8, 31),
                                           dt.date(2026, 11, 30), dt.date(2027, 2, 28)]
    assert s.adjusted_dates.tolist() == [dt.date(2026, 2, 27), dt.date(2026, 5, 29), dt.date(2026, 8, 28),
                                         dt.date(2026, 11, 30), dt.date(2027, 2, 26)]


def test_unadjusted_dates_roll_onto_the_adjusted_ones():
    s = schedule("2026-01-17", "2036-01-17", "3M", calendar="US-GOVT", convention="preceding")
    assert np.array_equal(calendar("US-GOVT").adjust(s.unadjusted_dates, "preceding"), s.adjusted_dates)
    assert not np.array_equal(s.unadjusted_dates, s.adjusted_dates)  # some fell on weekends


def test_end_may_be_a_tenor_after_the_start():
    assert schedule("2026-01-30", "18M", "6M") == schedule("2026-01-30", "2027-07-30", "6M")
    with pytest.raises(ValueError, match="tenor '3X' has unknown unit 'X'"):
        schedule("2026-01-30", "3X", "6M")


def test_once_gives_a_single_period():
    s = schedule("2026-01-03", "2027-01-03", "once", calendar="TARGET")
    assert s.adjusted_dates.tolist() == [dt.date(2026, 1, 5), dt.date(2027, 1, 4)] and s.is_regular.tolist() == [True]


def test_batch_of_schedules_matches_each_schedule():
    rng = np.random.default_rng(5)
    starts = np.datetime64("2026-01-01") + rng.integers(0, 3650, 40).astype("timedelta64[D]")
    ends = starts + rng.integers(100, 4000, 40).astype("timedelta64[D]")
    firsts = np.where(rng.random(40) < 0.5, starts + 20, np.datetime64("NaT"))
    settings = dict(calendar="TARGET+UK", convention="MF", payment_lag=2, fixing_lag=2, end_of_month=True)
    batch = schedules(starts, ends, "3M", first_dates=firsts, **settings)
    assert len(batch) == 40
    fractions = batch.year_fractions("ACT/360")
    for i, one in enumerate(batch):
        first = None if np.isnat(firsts[i]) else firsts[i]
        assert one == schedule(starts[i], ends[i], "3M", first_date=first, **settings)
        lo, hi = batch.period_offsets[i], batch.period_offsets[i + 1]
        assert np.array_equal(fractions[lo:hi], one.year_fractions("ACT/360"))
        assert np.array_equal(batch.accrual_starts[lo:hi], one.accrual_starts)


def test_a_batch_error_names_the_schedule():
    with pytest.raises(ValueError, match=r"schedule 1: start 2027-01-01 is not before end 2026-06-01"):
        schedules(["2026-01-01", "2027-01-01"], ["2027-01-01", "2026-06-01"], "6M")


@pytest.mark.parametrize("arguments, error, message", [
    (dict(start="2027-01-01", end="2026-01-01"), ValueError, "start 2027-01-01 is not before end 2026-01-01"),
    (dict(first_date="2025-06-01"), ValueError, "first_date 2025-06-01 must lie after start 2026-01-01"),
    (dict(next_to_last_date="2028-01-01"), ValueError, "next_to_last_date 2028-01-01 must lie from start"),
    (dict(first_date="2026-09-01", next_to_last_date="2026-06-01"), ValueError,
     "first_date 2026-09-01 is after next_to_last_date 2026-06-01"),
    (dict(rule="imm"), ValueError, "unknown rule 'imm'; use 'backward'"),
    (dict(calendar="NYSE"), ValueError, "unknown calendar 'NYSE'"),
    (dict(convention="nearest"), ValueError, "unknown business-day convention 'nearest'"),
    (dict(frequency="0D", first_date="2026-03-01"), ValueError, "a schedule of one period"),
    (dict(payment_lag=-1), ValueError, "payment_lag must not be negative"),
    (dict(fixing_lag=1.0), TypeError, "fixing_lag must be a whole number"),
    (dict(end_of_month="yes"), TypeError, "end_of_month must be True or False"),
    (dict(start=["2026-01-01"]), TypeError, "use schedules"),
    (dict(start="2026-01-03", end="2026-01-04", calendar="WEEKENDS"), ValueError,
     "its dates all roll onto one business day"),
    (dict(end="2101-06-01", calendar="TARGET"), ValueError, "outside calendar TARGET"),
])
def test_bad_schedule_arguments_are_refused_naming_the_value(arguments, error, message):
    base = dict(start="2026-01-01", end="2027-01-01", frequency="3M")
    with pytest.raises(error, match=message):
        schedule(**{**base, **arguments})


def test_end_of_month_collision_is_refused_where_quantlib_keeps_an_empty_period():
    case = dict(start="2008-12-30", end="2011-07-29", frequency="1M", calendar="WEEKENDS", convention="preceding",
                end_of_month=True, first_date="2011-01-13")
    reference = ql.Schedule(ql_date(dt.date(2008, 12, 30)), ql_date(dt.date(2011, 7, 29)), ql.Period(1, ql.Months),
                            ql.WeekendsOnly(), ql.Preceding, ql.Preceding, ql.DateGeneration.Backward, True,
                            ql_date(dt.date(2011, 1, 13)))
    dates = [py_date(d) for d in reference.dates()]
    assert dates[1] == dates[2] == dt.date(2011, 1, 31)
    with pytest.raises(ValueError, match="two accrual dates roll onto 2011-01-31: .* set end_of_month=False"):
        schedule(**case)


def test_schedules_pickle_and_are_read_only():
    s = schedule("2026-01-15", "5Y", "semiannual", calendar="US-SOFR", payment_lag=2)
    restored = pickle.loads(pickle.dumps(s))
    assert isinstance(restored, Schedule) and restored == s and restored.calendar == calendar("US-SOFR")
    with pytest.raises(ValueError):
        s.adjusted_dates[0] = np.datetime64("2020-01-01")
