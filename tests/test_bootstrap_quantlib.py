"""The bootstrap against QuantLib's PiecewiseLogLinearDiscount on the same rate helpers and conventions."""

import numpy as np
import pytest

import kestro
from kestro import bootstrap_discount
from quantlib_conventions import CALENDARS, DAY_COUNTS, ql, ql_date

DEPOSITS = {"1W": 0.0431, "1M": 0.0433, "3M": 0.0436, "6M": 0.0434}
SWAPS = {"1Y": 0.0421, "18M": 0.0409, "2Y": 0.0401, "5Y": 0.0386, "10Y": 0.0397, "30Y": 0.0412}
FREQUENCIES = {"annual": ql.Annual, "semiannual": ql.Semiannual, "quarterly": ql.Quarterly}


@pytest.fixture
def evaluation_date():
    settings = ql.Settings.instance()
    before = settings.evaluationDate

    def set_to(day):
        settings.evaluationDate = ql_date(np.datetime64(day, "D"))
        return settings.evaluationDate

    yield set_to
    settings.evaluationDate = before


def quote(rate):
    return ql.QuoteHandle(ql.SimpleQuote(rate))


def deposit_helpers(calendar, spot_lag=2, end_of_month=False, day_count="ACT/360"):
    return [ql.DepositRateHelper(quote(rate), ql.Period(term), spot_lag, CALENDARS[calendar], ql.ModifiedFollowing,
                                 end_of_month, DAY_COUNTS[day_count]) for term, rate in DEPOSITS.items()]


def compare(ours, helpers, today):
    """Pillar dates equal, and discount factors at the pillars and between them within 1e-10."""
    curve = ql.PiecewiseLogLinearDiscount(today, helpers, ql.Actual365Fixed())
    theirs = sorted(helper.pillarDate() for helper in helpers)
    assert [d.ISO() for d in theirs] == [str(d) for d in ours.pillar_dates]
    np.testing.assert_allclose(ours.discount_factors(), [curve.discount(d) for d in theirs], rtol=0, atol=1e-10)
    between = np.arange(1, int(theirs[-1] - today), 37)
    engine = kestro.Curve.from_entry(ours.curve).discount_factor(between / 365.0)
    np.testing.assert_allclose(engine, [curve.discount(today + int(n)) for n in between], rtol=0, atol=1e-10)


# Business days only: on a holiday QuantLib's SwapRateHelper rolls the pricing date before counting the spot
# lag, its deposit and OIS helpers (and the bootstrap) count from the holiday itself.
@pytest.mark.parametrize("priced", ["2026-03-02", "2026-04-30", "2031-12-31"])
@pytest.mark.parametrize("calendar, fixed_frequency, fixed_day_count, index_tenor", [
    ("US-GOVT", "annual", "30/360", "3M"),
    ("TARGET", "annual", "30E/360", "6M"),
    ("UK", "semiannual", "ACT/365F", "6M"),
    ("WEEKENDS", "quarterly", "ACT/360", "3M"),
])
def test_deposits_and_swaps_match_quantlib(evaluation_date, priced, calendar, fixed_frequency, fixed_day_count,
                                           index_tenor):
    today = evaluation_date(priced)
    index = ql.IborIndex("INDEX", ql.Period(index_tenor), 2, ql.USDCurrency(), CALENDARS[calendar],
                         ql.ModifiedFollowing, False, ql.Actual360())
    helpers = deposit_helpers(calendar) + [
        ql.SwapRateHelper(quote(rate), ql.Period(term), CALENDARS[calendar], FREQUENCIES[fixed_frequency],
                          ql.ModifiedFollowing, DAY_COUNTS[fixed_day_count], index) for term, rate in SWAPS.items()]
    ours = bootstrap_discount(priced, deposits=DEPOSITS, swaps=SWAPS, calendar=calendar,
                              fixed_frequency=fixed_frequency, fixed_day_count=fixed_day_count,
                              float_frequency=index_tenor)
    compare(ours, helpers, today)


# Overnight swaps alone, short tenors too: on a holiday QuantLib's deposit helper asks for a past fixing.
@pytest.mark.parametrize("priced", ["2026-03-02", "2026-02-28", "2026-07-03"])  # a Monday, a Saturday, a holiday
@pytest.mark.parametrize("payment_lag", [0, 2])
def test_sofr_style_overnight_swaps_match_quantlibs_ois_helper(evaluation_date, priced, payment_lag):
    today = evaluation_date(priced)
    swaps = {"1W": 0.0431, "1M": 0.0433, "3M": 0.0436, **SWAPS}
    helpers = [ql.OISRateHelper(2, ql.Period(term), quote(rate), ql.Sofr(), paymentLag=payment_lag)
               for term, rate in swaps.items()]
    ours = bootstrap_discount(priced, swaps=swaps, calendar="US-SOFR", fixed_frequency="annual",
                              fixed_day_count="ACT/360", float_frequency="annual", payment_lag=payment_lag)
    compare(ours, helpers, today)


@pytest.mark.parametrize("priced", ["2026-04-28", "2026-02-25"])  # spot on the last business day of April, February
def test_end_of_month_deposits_match_quantlib(evaluation_date, priced):
    today = evaluation_date(priced)
    ours = bootstrap_discount(priced, deposits=DEPOSITS, calendar="TARGET", end_of_month=True)
    assert ours.instruments[0].start == np.datetime64(priced) + 2
    compare(ours, deposit_helpers("TARGET", end_of_month=True), today)
