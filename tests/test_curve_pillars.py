"""Curves whose pillars are dates or tenors: placed on the engine's clock from the pricing time."""

import datetime as dt
import math

import numpy as np
import pytest

import kestro
from kestro import Market, forward_curve, zero_curve
from kestro.conventions import Tenor

PRICED = "2026-03-02"  # a Monday


def days(*n):
    return np.array(n, dtype=np.float64) / 365.0


@pytest.mark.parametrize("pillars, expected", [
    (["2026-06-01", "2027-03-02"], days(91, 365)),
    ([dt.date(2026, 6, 1), dt.datetime(2027, 3, 2, 12)], days(91, 365.5)),
    (np.array(["2026-06-01", "2027-03-02"], dtype="datetime64[ns]"), days(91, 365)),
    (["1M", "2Y"], days(31, 731)),
    ([Tenor(1, "W"), "18M"], days(7, 549)),
    (["3M", "2031-03-03"], days(92, 1827)),
], ids=["iso", "date-and-datetime", "datetime64", "tenors", "tenor-objects", "tenor-and-date"])
def test_dates_and_tenors_become_years_of_365_days_from_the_pricing_time(pillars, expected):
    kind, data = zero_curve(pillars, [0.04, 0.05], pricing_time=PRICED)
    assert kind == "ZERO_RATES"
    np.testing.assert_allclose(data[0], expected, rtol=0, atol=1e-15)
    assert data[1].tolist() == [0.04, 0.05]


def test_pandas_timestamps_are_pillars_too():
    pd = pytest.importorskip("pandas")
    stamps = pd.to_datetime(["2026-06-01", "2027-03-02"]).tz_localize("UTC")
    kind, data = zero_curve(stamps, [0.04, 0.05], pricing_time=PRICED)
    np.testing.assert_allclose(data[0], days(91, 365), rtol=0, atol=1e-15)


def test_a_pricing_time_of_day_counts_in_the_years_of_date_pillars():
    _, data = zero_curve(["2026-03-03"], [0.04], pricing_time="2026-03-02T18:00")
    assert data[0][0] == pytest.approx(0.25 / 365, abs=1e-15)


@pytest.mark.parametrize("priced, term, convention, expected", [
    ("2026-04-30", "1M", "modified following", "2026-05-29"),   # 30 May is a Saturday; 1 June is next month
    ("2026-04-30", "1M", "following", "2026-06-01"),
    ("2026-01-31", "1M", "modified following", "2026-02-27"),  # clamped to 28 February, a Saturday
], ids=["modified-following", "following", "month-end-clamp"])
def test_tenors_are_added_to_the_pricing_date_and_rolled_on_the_calendar(priced, term, convention, expected):
    _, rolled = zero_curve([term], [0.04], pricing_time=priced, calendar="WEEKENDS", convention=convention)
    assert rolled[0][0] == kestro.engine_years(expected, priced)
    _, plain = zero_curve([term], [0.04], pricing_time=priced)
    assert plain[0][0] == kestro.engine_years(kestro.add_tenor(priced, term), priced)


def test_year_fractions_are_taken_as_they_are_with_or_without_the_pricing_time():
    times, rates = [0.0, 0.5, 2.0], [0.03, 0.035, 0.04]
    assert np.array_equal(zero_curve(times, rates)[1], zero_curve(times, rates, pricing_time=PRICED)[1])
    assert np.array_equal(forward_curve(times, [100, 101, 104])[1],
                          forward_curve(times, [100, 101, 104], pricing_time=PRICED)[1])


def test_the_engine_discounts_a_payment_on_a_pillar_date_by_that_pillars_rate():
    market = Market(pricing_time=PRICED)
    market.discount = market.zero_curve(["6M", "2028-03-02"], [0.03, 0.04])
    payment = kestro.timetable([("2028-03-02", "pay", "+", 100.0, "USD")])
    assert float(kestro.price(payment, market, "fixed")) == pytest.approx(100 * math.exp(-0.04 * 731 / 365), rel=1e-14)


def test_forward_pillars_may_start_on_the_pricing_date_or_take_the_spot():
    on_date = forward_curve([PRICED, "1Y"], [100.0, 104.0], pricing_time=PRICED)
    with_spot = forward_curve(["1Y"], [104.0], spot=100.0, pricing_time=PRICED)
    zero_day = forward_curve(["0D", "1Y"], [100.0, 104.0], pricing_time=PRICED)
    assert np.array_equal(on_date[1], with_spot[1]) and np.array_equal(on_date[1], zero_day[1])
    assert on_date[1][0].tolist() == [0.0, 1.0]
    market = Market(pricing_time=PRICED)
    assert np.array_equal(market.forward_curve(["1Y"], [104.0], spot=100.0)[1], with_spot[1])


def test_a_market_builds_curves_on_its_own_pricing_time():
    market = Market(pricing_time="2026-07-01")
    _, data = market.zero_curve(["2027-07-01"], [0.04])
    assert data[0].tolist() == [1.0]


@pytest.mark.parametrize("call, error, match", [
    (lambda: zero_curve(["2026-06-01", "2027-03-02"], [0.04, 0.05]), ValueError,
     r"not dates: pass pricing_time=\.\.\. .* or build the curve with Market.zero_curve"),
    (lambda: zero_curve(["1M", "1Y"], [0.04, 0.05]), ValueError, r"pass pricing_time=\.\.\. to give the pillars"),
    (lambda: zero_curve(["1Y"], [0.04], calendar="TARGET"), TypeError, "calendar= rolls tenor pillars, which need "
                                                                       "pricing_time"),
    (lambda: zero_curve(["2026-01-15", "1Y"], [0.04, 0.05], pricing_time=PRICED), ValueError,
     r"pillar 0 \(2026-01-15\) lies before the pricing time 2026-03-02"),
    (lambda: zero_curve(["12M", "1Y"], [0.04, 0.05], pricing_time=PRICED), ValueError,
     r"pillar 0 \('12M', 2027-03-02\) and pillar 1 \('1Y', 2027-03-02\) fall on the same time"),
    (lambda: zero_curve(["2Y", "1Y"], [0.04, 0.05], pricing_time=PRICED), ValueError, "are out of order"),
    (lambda: zero_curve(["1M", "3X"], [0.04, 0.05], pricing_time=PRICED), ValueError,
     "pillar 1: tenor '3X' has unknown unit 'X'"),
    (lambda: zero_curve(["1M", "soon"], [0.04, 0.05], pricing_time=PRICED), ValueError,
     "pillar 1 'soon' is neither an ISO date nor a tenor"),
    (lambda: zero_curve([1.0, "2Y"], [0.04, 0.05], pricing_time=PRICED), ValueError,
     "pillar 0 is the number 1.0 among dates and tenors"),
    (lambda: zero_curve(["1M", "250Y"], [0.04, 0.05], pricing_time=PRICED), ValueError, "beyond 200 years"),
    (lambda: zero_curve(["1M", "2Y"], [0.04, 0.05], pricing_time=PRICED, calendar="NOWHERE"), ValueError,
     "unknown calendar 'NOWHERE'"),
    (lambda: zero_curve(["1M", "2Y"], [0.04], pricing_time=PRICED), ValueError, "2 times but 1 rates"),
    (lambda: forward_curve(["1M", "2Y"], [101.0, 104.0], pricing_time=PRICED), ValueError,
     "give the spot at time 0"),
], ids=["dates-without-pricing-time", "tenors-without-pricing-time", "calendar-without-pricing-time",
        "before-pricing-time", "same-date", "out-of-order", "bad-tenor", "unreadable", "number-among-dates",
        "too-far", "unknown-calendar", "ragged", "forward-without-spot"])
def test_bad_pillars_are_refused_naming_the_pillar(call, error, match):
    with pytest.raises(error, match=match):
        call()
