"""Tenors: what they read, and date arithmetic equal to QuantLib's Date + Period."""

import datetime as dt
import pickle

import numpy as np
import pytest
from quantlib_conventions import ql_date, period, py_date

from kestro.conventions import FREQUENCIES, Tenor, add_tenor, frequency, tenor


@pytest.mark.parametrize("text, length, unit", [
    ("1D", 1, "D"), ("2W", 2, "W"), ("3M", 3, "M"), ("6m", 6, "M"), ("1Y", 1, "Y"), ("10y", 10, "Y"),
    ("18M", 18, "M"), ("0D", 0, "D"), (" 5 Y ", 5, "Y"),
])
def test_tenors_are_read(text, length, unit):
    parsed = tenor(text)
    assert (parsed.length, parsed.unit) == (length, unit)
    assert str(parsed) == f"{length}{unit}"


@pytest.mark.parametrize("text, message", [
    ("3X", "tenor '3X' has unknown unit 'X'; units are D"),
    ("", "empty tenor"),
    ("-1M", "tenor '-1M' is negative"),
    ("M", "is not a length and a unit"),
    ("3", "tenor '3' has no unit"),
    ("1.5Y", "is not a length and a unit"),
])
def test_malformed_tenors_are_refused_saying_why(text, message):
    with pytest.raises(ValueError, match=message):
        tenor(text)


def test_tenors_of_one_span_are_equal_and_pickle():
    assert tenor("12M") == tenor("1Y") and tenor("2W") == tenor("14D") and tenor("1M") != tenor("30D")
    assert len({tenor("12M"), tenor("1Y")}) == 1
    assert pickle.loads(pickle.dumps(tenor("18M"))) == Tenor(18, "M")
    with pytest.raises(AttributeError):
        tenor("1M").length = 2  # type: ignore[misc]


@pytest.mark.parametrize("name, expected", [("semiannual", "6M"), ("Semi-Annual", "6M"), ("QUARTERLY", "3M"),
                                            ("annual", "1Y"), ("once", "0D"), ("6M", "6M")])
def test_frequencies_are_tenors_or_names(name, expected):
    assert frequency(name) == tenor(expected)
    assert set(FREQUENCIES) >= {"ANNUAL", "SEMIANNUAL", "QUARTERLY", "MONTHLY"}


def test_unknown_frequency_lists_the_names():
    with pytest.raises(ValueError, match="or name a frequency: annual, semiannual"):
        frequency("fortnightly")


@pytest.mark.parametrize("text", ["1D", "10D", "1W", "3W", "1M", "3M", "6M", "13M", "1Y", "4Y", "30Y"])
def test_adding_a_tenor_is_quantlibs_date_plus_period(text):
    rng = np.random.default_rng(len(text))
    days = np.datetime64("2000-01-01") + rng.integers(0, 60 * 365, 500).astype("timedelta64[D]")
    days = np.concatenate([days, np.array(["2024-02-29", "2023-01-31", "2024-01-30"], dtype="datetime64[D]")])
    expected = [py_date(ql_date(d) + period(tenor(text))) for d in days]
    assert add_tenor(days, text).tolist() == expected
    back = [py_date(ql_date(d) - period(tenor(text)) * 3) for d in days]
    assert add_tenor(days, text, count=-3).tolist() == back


def test_months_clamp_to_the_month_end_without_accumulating():
    assert add_tenor("2024-01-31", "1M") == np.datetime64("2024-02-29")
    assert add_tenor("2024-01-31", "1M", count=np.arange(4)).tolist() == [
        dt.date(2024, 1, 31), dt.date(2024, 2, 29), dt.date(2024, 3, 31), dt.date(2024, 4, 30)]
    assert add_tenor(dt.datetime(2024, 2, 29, 18, 30), "1Y") == np.datetime64("2025-02-28")


def test_add_tenor_refuses_a_fractional_count():
    with pytest.raises(TypeError, match="count must be an integer"):
        add_tenor("2026-01-01", "1M", count=1.5)
