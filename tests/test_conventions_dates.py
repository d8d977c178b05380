"""Dates in every accepted form, and dates on the engine's clock."""

import datetime as dt

import numpy as np
import pytest

import kestro
from kestro.conventions import dates_to_ms, engine_years, to_dates


@pytest.mark.parametrize("value", [
    dt.date(2026, 12, 9),
    dt.datetime(2026, 12, 9, 23, 59),
    dt.datetime(2026, 12, 9, 1, 0, tzinfo=dt.timezone(dt.timedelta(hours=5))),  # its own date, not UTC's
    "2026-12-09",
    np.datetime64("2026-12-09"),
    np.datetime64("2026-12-09T21:15:00.123456789"),
])
def test_a_date_is_read_from_every_accepted_form(value):
    assert to_dates(value) == np.datetime64("2026-12-09", "D")


def test_pandas_timestamps_and_columns_are_dates():
    pd = pytest.importorskip("pandas")
    assert to_dates(pd.Timestamp("2026-12-09 13:00")) == np.datetime64("2026-12-09")
    column = pd.Series(pd.to_datetime(["2026-01-01 00:00", "2026-06-30 12:00"]))
    assert to_dates(column).tolist() == [dt.date(2026, 1, 1), dt.date(2026, 6, 30)]


def test_arrays_keep_their_shape_and_sequences_mix_forms():
    grid = np.array([["2026-01-01T06", "2026-01-02T18"]], dtype="datetime64[h]")
    assert to_dates(grid).shape == (1, 2) and to_dates(grid).dtype == np.dtype("datetime64[D]")
    assert to_dates(["2026-01-01", dt.date(2026, 1, 2), np.datetime64("2026-01-03")]).tolist() == [
        dt.date(2026, 1, 1), dt.date(2026, 1, 2), dt.date(2026, 1, 3)]
    assert to_dates(np.datetime64("1969-12-31T23:00")) == np.datetime64("1969-12-31")  # floored


@pytest.mark.parametrize("value, error, message", [
    (20261209, TypeError, "must be a datetime.date"),
    (1.5, TypeError, "must be a datetime.date"),
    ("09/12/2026", ValueError, "'09/12/2026' is not an ISO date; write it as 'YYYY-MM-DD'"),
    (np.datetime64("NaT"), ValueError, "got NaT"),
    (["2026-01-01", "soon"], ValueError, r"date\[1\] 'soon' is not an ISO date"),
    (np.array(["2026-01-01", "NaT"], dtype="datetime64[D]"), ValueError, r"date\[1\] must be a date, got NaT"),
    (np.array([1, 2]), TypeError, "got an array of int64"),
])
def test_what_is_not_a_date_is_refused(value, error, message):
    with pytest.raises(error, match=message):
        to_dates(value)


def test_dates_on_the_engines_clock_are_midnight_utc():
    assert dates_to_ms("2026-01-01") == kestro.to_ms("2026-01-01") == 1_767_225_600_000
    assert dates_to_ms(["1970-01-02", "1969-12-31"]).tolist() == [86_400_000, -86_400_000]


def test_engine_years_count_365_day_years_from_the_markets_pricing_time():
    market = kestro.Market.flat(pricing_time="2026-01-01")
    assert engine_years("2027-01-01", market.pricing_time) == 1.0
    years = engine_years(["2025-12-31", "2028-01-01"], market.pricing_time)
    np.testing.assert_array_equal(years, [-1 / 365, 730 / 365])
    assert engine_years("2026-07-01", "2026-01-01T12:00") == (181 - 0.5) / 365
