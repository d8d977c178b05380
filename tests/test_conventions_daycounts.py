"""Day counts: names, and year fractions equal to QuantLib's on random dates."""

import datetime as dt
import pickle

import numpy as np
import pytest
from quantlib_conventions import DAY_COUNTS, ql_date

import kestro
from kestro.conventions import DayCount, day_count


def random_pairs(seed, count=3000):
    rng = np.random.default_rng(seed)
    days = rng.integers(np.datetime64("1999-01-01").astype(int), np.datetime64("2061-12-31").astype(int), (2, count))
    # Month ends and the days around them are where 30/360 and ACT/ACT differ: make them common.
    ends = (days.astype("datetime64[D]").astype("datetime64[M]") + 1).astype("datetime64[D]").astype(int) - 1
    pick = rng.random((2, count)) < 0.4
    days = np.where(pick, ends - rng.integers(0, 3, (2, count)), days)
    return days[0].astype("datetime64[D]"), days[1].astype("datetime64[D]")


@pytest.mark.parametrize("name", list(DAY_COUNTS))
def test_year_fractions_equal_quantlibs_on_random_pairs(name):
    starts, ends = random_pairs(seed=len(name))  # both orders of dates occur
    ours = day_count(name).year_fraction(starts, ends)
    reference = np.array([DAY_COUNTS[name].yearFraction(ql_date(s), ql_date(e)) for s, e in zip(starts, ends)])
    if name == "ACT/ACT ISDA":
        np.testing.assert_allclose(ours, reference, rtol=0, atol=1e-15)
    else:
        np.testing.assert_array_equal(ours, reference)


@pytest.mark.parametrize("name", list(DAY_COUNTS))
def test_day_counts_equal_quantlibs(name):
    starts, ends = random_pairs(seed=99, count=500)
    ours = day_count(name).day_count(starts, ends)
    assert ours.tolist() == [DAY_COUNTS[name].dayCount(ql_date(s), ql_date(e)) for s, e in zip(starts, ends)]


@pytest.mark.parametrize("name, start, end, expected", [
    ("30/360", "2026-01-31", "2026-03-31", 60 / 360),      # both 31sts count as the 30th
    ("30/360", "2026-01-30", "2026-03-31", 60 / 360),
    ("30/360", "2026-01-29", "2026-03-31", 62 / 360),      # end stays the 31st after a 29th
    ("30E/360", "2026-01-29", "2026-03-31", 61 / 360),     # ... but not in Eurobond basis
    ("30/360", "2026-02-28", "2026-03-31", 33 / 360),      # no February rule in bond basis
    ("ACT/ACT ISDA", "2023-07-01", "2024-07-01", 184 / 365 + 182 / 366),
    ("ACT/365F", "2024-01-01", "2025-01-01", 366 / 365),
    ("ACT/360", "2026-01-01", "2026-01-01", 0.0),
])
def test_year_fraction_of_textbook_cases(name, start, end, expected):
    assert day_count(name).year_fraction(start, end) == pytest.approx(expected, abs=1e-15)


def test_a_backward_period_has_a_negative_year_fraction():
    act_act = day_count("ACT/ACT ISDA")
    assert act_act.year_fraction("2025-03-01", "2023-11-15") == -act_act.year_fraction("2023-11-15", "2025-03-01")


def test_scalar_dates_give_a_float_and_arrays_broadcast():
    act = day_count("ACT/365F")
    assert type(act.year_fraction(dt.date(2026, 1, 1), "2027-01-01")) is float
    out = act.year_fraction("2026-01-01", np.array([["2026-01-02", "2026-01-03"]], dtype="datetime64[D]"))
    assert out.shape == (1, 2) and out.tolist() == [[1 / 365, 2 / 365]]
    with pytest.raises(ValueError, match="do not broadcast"):
        act.year_fraction(["2026-01-01"] * 2, ["2026-01-01"] * 3)


@pytest.mark.parametrize("alias, name", [
    ("act/360", "ACT/360"), ("Actual/360", "ACT/360"), ("A/360", "ACT/360"),
    ("ACT/365F", "ACT/365F"), ("Actual/365 (Fixed)", "ACT/365F"), ("act/365 fixed", "ACT/365F"),
    ("Actual/Actual (ISDA)", "ACT/ACT ISDA"), ("ACT/ACT", "ACT/ACT ISDA"),
    ("30/360", "30/360"), ("Bond Basis", "30/360"), ("30/360 bond basis", "30/360"),
    ("30E/360", "30E/360"), ("eurobond basis", "30E/360"),
])
def test_day_count_names_are_read_case_insensitively_with_aliases(alias, name):
    assert day_count(alias) is day_count(name)
    assert day_count(alias).name == name


def test_unknown_day_count_is_refused_with_the_known_ones():
    known = "ACT/360, ACT/365F, ACT/ACT ISDA, 30/360, 30E/360"
    with pytest.raises(ValueError, match=rf"unknown day count 'ACT/364'; known: {known}"):
        day_count("ACT/364")


def test_act_365_is_refused_as_ambiguous():
    with pytest.raises(ValueError, match="ambiguous: say ACT/365F .* or ACT/ACT ISDA"):
        day_count("Actual/365")


def test_day_count_name_must_be_a_string():
    with pytest.raises(TypeError, match="a day count is a name"):
        day_count(360)


def test_day_counts_pickle_to_the_same_convention():
    restored = pickle.loads(pickle.dumps(day_count("30E/360")))
    assert restored is day_count("30E/360") and isinstance(restored, DayCount)
    assert kestro.day_count is day_count and set(kestro.DAY_COUNTS) == set(DAY_COUNTS)


def test_dates_that_are_not_dates_are_refused():
    with pytest.raises(TypeError, match="start must be a datetime.date"):
        day_count("ACT/360").year_fraction(20260101, "2026-02-01")
    with pytest.raises(ValueError, match=r"end '2026-02-30' is not an ISO date"):
        day_count("ACT/360").year_fraction("2026-01-01", "2026-02-30")
