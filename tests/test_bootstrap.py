"""Discount curves bootstrapped from deposits and par swaps reprice every quote, through the engine too."""

import numpy as np
import pytest

import kestro
from kestro import Market, bootstrap_discount
from kestro.rates.rate_instruments import Deposit

DEPOSITS = {"1W": 0.0431, "1M": 0.0433, "3M": 0.0436, "6M": 0.0434}
SWAPS = {"1Y": 0.0421, "18M": 0.0409, "2Y": 0.0401, "5Y": 0.0386, "10Y": 0.0397, "30Y": 0.0412}

CONVENTIONS = {
    "usd-annual-30/360": dict(calendar="US-GOVT", fixed_frequency="annual", fixed_day_count="30/360",
                              float_frequency="3M"),
    "eur-target-6m": dict(calendar="TARGET", fixed_frequency="annual", fixed_day_count="30E/360",
                          float_frequency="6M"),
    "sofr-ois-payment-lag": dict(calendar="US-SOFR", fixed_frequency="annual", fixed_day_count="ACT/360",
                                 float_frequency="annual", payment_lag=2),
    "gbp-same-day": dict(calendar="UK", spot_lag=0, deposit_day_count="ACT/365F", fixed_frequency="semiannual",
                         fixed_day_count="ACT/365F", float_frequency="6M"),
    "end-of-month": dict(calendar="WEEKENDS", end_of_month=True, fixed_frequency="semiannual"),
}
PRICING_DATES = ["2026-03-02", "2026-02-28", "2026-04-30"]  # a Monday, a Saturday, a month end


@pytest.mark.parametrize("priced", PRICING_DATES)
@pytest.mark.parametrize("name", CONVENTIONS)
def test_the_curve_reprices_every_quote(name, priced):
    curve = bootstrap_discount(priced, deposits=DEPOSITS, swaps=SWAPS, **CONVENTIONS[name])
    assert len(curve.instruments) == len(DEPOSITS) + len(SWAPS)
    np.testing.assert_allclose(curve.implied_quotes(), curve.quotes, rtol=0, atol=1e-12)
    assert np.all(np.diff(curve.pillar_dates.astype(np.int64)) > 0)
    assert np.array_equal(curve.times, kestro.engine_years(curve.pillar_dates, priced))
    assert np.all(np.diff(curve.discount_factors()) < 0)  # positive rates: discount factors fall


def _cashflows(instrument):
    """Each instrument as dated payments whose value is zero at its quote on a single curve, without payment lag."""
    if isinstance(instrument, Deposit):
        return [(instrument.start, -1.0), (instrument.end, 1.0 + instrument.quote * instrument.accrual)]
    fixed = instrument.fixed
    coupons = -instrument.quote * fixed.year_fractions("30/360")  # the bootstrap's default fixed day count
    return [(instrument.start, 1.0), (instrument.end, -1.0), *zip(fixed.payment_dates, coupons)]


@pytest.mark.parametrize("priced", ["2026-03-02", "2026-03-02T16:30"])
def test_the_engine_prices_every_instrument_at_its_quote_to_zero(priced):
    curve = bootstrap_discount(priced, deposits=DEPOSITS, swaps=SWAPS, calendar="US-GOVT", spot_lag=2)
    market = Market(pricing_time=priced, discount=curve.curve)
    for instrument in curve.instruments:
        rows = sorted(_cashflows(instrument), key=lambda row: row[0])
        events = kestro.timetable([(date, "npv", "+", amount, "USD") for date, amount in rows])
        assert abs(float(kestro.price(events, market, "fixed"))) < 1e-12, instrument.name


def test_swaps_alone_bootstrap_from_the_pricing_time():
    curve = bootstrap_discount("2026-03-02", swaps={"2Y": 0.04, "5Y": 0.038}, spot_lag=0)
    assert curve.pillar_dates.tolist() == [np.datetime64("2028-03-02").item(), np.datetime64("2031-03-03").item()]
    np.testing.assert_allclose(curve.implied_quotes(), [0.04, 0.038], rtol=0, atol=1e-12)


def test_a_flat_curve_gives_back_its_own_quotes():
    flat = 0.03
    market = Market.flat(rate=flat, pricing_time="2026-03-02")
    curve = bootstrap_discount("2026-03-02", deposits={"6M": 0.0}, swaps={"2Y": 0.0, "7Y": 0.0})
    quotes = {i.name: i.implied_quote(kestro.Curve.from_entry(market.discount)) for i in curve.instruments}
    rebuilt = bootstrap_discount("2026-03-02", deposits={"6M": quotes["deposit 6M"]},
                                 swaps={"2Y": quotes["swap 2Y"], "7Y": quotes["swap 7Y"]})
    np.testing.assert_allclose(rebuilt.curve[1][1], flat, rtol=0, atol=1e-13)


@pytest.mark.parametrize("arguments, error, match", [
    (dict(deposits=DEPOSITS, interpolation="linear-zero"), ValueError,
     "linear zero rates cannot be represented exactly by the engine's curve"),
    (dict(deposits=DEPOSITS, interpolation="cubic"), ValueError, "unknown interpolation 'cubic'.* log-linear"),
    (dict(), ValueError, r"no quotes: give deposits=\{tenor: rate\}"),
    (dict(deposits={"12M": 0.04}, swaps={"1Y": 0.04}), ValueError,
     "deposit 12M and swap 1Y both end on 2027-03-04"),
    (dict(deposits={"3M": 4.3}), ValueError, "deposit 3M quote 4.3 is 430%.*did you mean 0.043"),
    (dict(deposits={"3M": "4.3%"}), TypeError, "deposit 3M: the quote must be a finite number, got '4.3%'"),
    (dict(swaps={"5Y": float("nan")}), TypeError, "swap 5Y: the quote must be a finite number"),
    (dict(deposits={"0D": 0.04}), ValueError, "deposit 0D has no length"),
    (dict(deposits={"3X": 0.04}), ValueError, "deposit quote '3X': tenor '3X' has unknown unit"),
    (dict(deposits=[0.04, 0.05]), TypeError, "deposit quote 0.04 is not a pair"),
    (dict(deposits="3M"), TypeError, "deposit quotes are a dict"),
    (dict(deposits={"1M": -20.0}, allow_large=True), ValueError, "deposit 1M at -20 would repay nothing"),
    (dict(swaps={"1Y": 0.04, "2Y": 5.0}, allow_large=True), ValueError,
     r"no zero rate within \+-1000% at 2028-03-06 reprices swap 2Y at 5"),
    (dict(deposits=DEPOSITS, spot_lag=-1), ValueError, "spot_lag must not be negative"),
    (dict(swaps=SWAPS, fixed_frequency="once"), ValueError, "fixed_frequency 0D is no period"),
    (dict(swaps=SWAPS, fixed_day_count="ACT/365"), ValueError, "day count 'ACT/365' is ambiguous"),
], ids=["linear-zero", "unknown-interpolation", "no-quotes", "same-pillar", "percent", "text-quote", "nan-quote",
        "no-length", "bad-tenor", "not-pairs", "a-string", "repays-nothing", "inconsistent", "negative-lag",
        "no-fixed-period", "ambiguous-day-count"])
def test_bad_quotes_and_conventions_are_refused_naming_the_value(arguments, error, match):
    with pytest.raises(error, match=match):
        bootstrap_discount("2026-03-02", **arguments)


def test_dates_a_calendar_does_not_know_are_refused():
    with pytest.raises(ValueError, match="outside calendar TARGET"):
        bootstrap_discount("2090-03-02", swaps={"30Y": 0.04}, calendar="TARGET")
