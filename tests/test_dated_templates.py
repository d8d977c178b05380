"""Templates on dates: QuantLib's bond cashflows, floating legs projected or replicated, fixings,
the road between 365-day years and dates, tenors in the option templates, and many bonds at once."""

import datetime as dt
import pickle

import numpy as np
import pytest
from quantlib_conventions import CALENDARS, CONVENTIONS, DAY_COUNTS, ql, ql_date, py_date

import kestro
from kestro.clock import DAY_MS, YEAR_MS, to_ms

CURVE_DAYS = np.array([0, 91, 365, 730, 1826, 3652, 5479, 7670])
CURVE_RATES = np.array([0.020, 0.021, 0.024, 0.027, 0.031, 0.035, 0.037, 0.038])


def market(pricing="2026-01-05", rates=CURVE_RATES):
    return kestro.Market(pricing_time=pricing, discount=kestro.zero_curve(CURVE_DAYS / 365, rates))


BOND_CASES = {
    "semiannual 30/360 on TARGET": dict(start="2026-01-15", maturity="10Y", frequency="6M", calendar="TARGET",
                                       day_count="30/360", convention="modified following"),
    "quarterly ACT/360, short front stub": dict(start="2026-02-10", maturity="2031-06-15", frequency=4,
                                                calendar="US-GOVT", day_count="ACT/360", convention="following"),
    "annual ACT/ACT, forward with a back stub": dict(start="2026-03-31", maturity="2033-01-20", frequency="1Y",
                                                     calendar="UK", day_count="ACT/ACT ISDA", rule="forward",
                                                     convention="modified following"),
    "monthly 30E/360, end of month": dict(start="2026-02-27", maturity="2028-02-29", frequency="1M",
                                          calendar="TARGET+UK", day_count="30E/360", end_of_month=True,
                                          convention="modified following", termination_convention="unadjusted"),
    "semiannual, no calendar": dict(start="2026-01-31", maturity="2029-07-31", frequency=2, day_count="30/360"),
}


def quantlib_bond(case, coupon, payment_lag=0):
    calendar = CALENDARS.get(case.get("calendar"), ql.NullCalendar())
    convention = CONVENTIONS[case.get("convention", "following")]
    termination = CONVENTIONS[case.get("termination_convention", case.get("convention", "following"))]
    start = ql_date(dt.date.fromisoformat(case["start"]))
    maturity = case["maturity"]
    end = start + ql.Period(10, ql.Years) if maturity == "10Y" else ql_date(dt.date.fromisoformat(maturity))
    period = case["frequency"] if isinstance(case["frequency"], str) else f"{12 // case['frequency']}M"
    schedule = ql.Schedule(start, end, ql.Period(period), calendar, convention, termination,
                           ql.DateGeneration.Forward if case.get("rule") == "forward" else ql.DateGeneration.Backward,
                           case.get("end_of_month", False))
    leg = ql.FixedRateLeg(schedule, DAY_COUNTS[case["day_count"]], [100.0], [coupon], ql.Following,
                          paymentCalendar=calendar, paymentLag=payment_lag)
    return ql.Bond(0, calendar, schedule.startDate(), leg)


@pytest.mark.parametrize("payment_lag", [0, 2])
@pytest.mark.parametrize("case", list(BOND_CASES), ids=list(BOND_CASES))
def test_fixed_rate_bond_on_dates_pays_quantlibs_cashflows(case, payment_lag):
    arguments = BOND_CASES[case]
    bond = kestro.fixed_rate_bond(0.0425, payment_lag=payment_lag, **arguments)
    reference = quantlib_bond(arguments, 0.0425, payment_lag)
    expected = [(to_ms(py_date(cf.date())), cf.amount()) for cf in reference.cashflows()]
    times = bond.times.tolist()
    quantities = bond.events.column("quantity").to_pylist()
    assert times == [t for t, _ in expected]
    np.testing.assert_allclose(quantities, [a for _, a in expected], rtol=1e-13)
    coupons = bond.legs["fixed"]
    assert coupons.accrual_starts.tolist() == [py_date(ql.as_coupon(cf).accrualStartDate())
                                               for cf in reference.cashflows()[:-1]]


def test_bond_on_dates_is_priced_by_the_engine_as_its_discounted_payments():
    bond = kestro.fixed_rate_bond(0.05, "10Y", start="2026-01-15", frequency="6M", calendar="TARGET")
    m = market()
    coupons = bond.legs["fixed"]
    days = (coupons.payment_dates - np.datetime64("2026-01-05")).astype(np.int64)
    discount = np.exp(-np.interp(days, CURVE_DAYS, CURVE_DAYS * CURVE_RATES) / 365)
    expected = 100 * (np.dot(0.05 * coupons.year_fractions, discount) + discount[-1])
    for model, settings in [("fixed", {}), ("hull_white", {"vol": 0.01, "meanrev": 0.1})]:
        assert kestro.price(bond, m, model, **settings) == pytest.approx(expected, rel=1e-12 if model == "fixed"
                                                                          else 1e-5)
    assert kestro.rates.fixed_income.present_value(bond, m) == pytest.approx(kestro.price(bond, m, "fixed"), rel=1e-14)


@pytest.mark.parametrize("call, expected", [
    (lambda: kestro.fixed_rate_bond(0.05, 10.0), "2035-12-30"),       # ten years of 365 days, as before
    (lambda: kestro.fixed_rate_bond(0.05, "10Y"), "2036-01-01"),      # ten calendar years
    (lambda: kestro.fixed_rate_bond(0.05, maturity="2036-01-01"), "2036-01-01"),
    (lambda: kestro.fixed_rate_bond(0.05, maturity="2036-01-01", calendar="TARGET"), "2036-01-02"),
    (lambda: kestro.zero_coupon_bond(maturity="2028-01-01", calendar="US-GOVT", convention="preceding"), "2027-12-31"),
])
def test_maturity_falls_on_the_date_the_arguments_name(call, expected):
    assert call().last_time == to_ms(expected)


def test_years_as_a_number_keep_the_365_day_contract_without_legs():
    bond = kestro.fixed_rate_bond(0.05, 10.0, frequency=2)
    assert bond.legs is None and bond.last_time == to_ms("2026-01-01") + 10 * YEAR_MS
    exact = kestro.zero_coupon_bond(maturity="2027-06-30T12:00")  # a time of day stays exact
    assert exact.legs is None and exact.last_time == to_ms("2027-06-30T12:00")
    on_dates = kestro.fixed_rate_bond(0.05, "10Y", frequency=2)
    assert on_dates.legs.product == "fixed_rate_bond" and on_dates.times.min() % DAY_MS == 0
    assert on_dates.legs["fixed"].year_fractions.tolist() == [0.5] * 20  # 30/360, no stub


@pytest.mark.parametrize("make, error, match", [
    (lambda: kestro.fixed_rate_bond(0.05, 10.0, calendar="TARGET"), ValueError, "years=10.0 counts 365-day years.*10Y"),
    (lambda: kestro.fixed_rate_bond(0.05, 10.0, frequency="6M"), ValueError, "365-day years"),
    (lambda: kestro.fixed_rate_bond(0.05, "10Y", start="2026-01-01T09:30"), ValueError, "has a time of day"),
    (lambda: kestro.fixed_rate_bond(0.05, maturity="2025-06-01"), ValueError,
     "maturity 2025-06-01 is not after start 2026-01-01"),
    (lambda: kestro.fixed_rate_bond(0.05, "3X"), ValueError, "tenor '3X' has unknown unit 'X'"),
    (lambda: kestro.fixed_rate_bond(0.05, "5Y", calendar="MOON"), ValueError, "unknown calendar 'MOON'"),
    (lambda: kestro.fixed_rate_bond(0.05, "5Y", day_count="ACT/999"), ValueError, "unknown day count 'ACT/999'"),
    (lambda: kestro.fixed_rate_bond(0.05, "5Y", frequency=5), ValueError, "divides 12"),
    (lambda: kestro.floating_rate_leg("5Y", payment_lag=2), ValueError, "no replication"),
    (lambda: kestro.floating_rate_leg("5Y", fixings={"2026-01-01": 0.03}), ValueError, "needs projection"),
    (lambda: kestro.interest_rate_swap(0.03, "5Y", projection=("FORWARDS", np.ones((2, 2)))), TypeError,
     "zero curve"),
    (lambda: kestro.interest_rate_swap(0.03, "5Y", projection=market(), pricing_time="2026-02-01"), ValueError,
     "differs from the projection market's"),
    (lambda: kestro.interest_rate_swap(0.03, maturity="2026-12-01", projection=market("2027-01-04")), ValueError,
     "the last on 2026-12-01, falls before the pricing time 2027-01-04"),
    (lambda: kestro.interest_rate_swap(0.03, "40Y", projection=market("2026-01-01")), ValueError,
     "projection curve does not reach 2047-"),
])
def test_bad_arguments_on_dates_are_refused_naming_the_value(make, error, match):
    with pytest.raises(error, match=match):
        make()


# Floating legs


def test_projected_leg_pays_the_curve_forwards_and_on_the_discount_curve_equals_its_replication():
    m = market("2026-01-01")
    arguments = dict(start="2026-01-01", maturity="7Y", frequency="3M", calendar="TARGET", spread=0.002)
    projected = kestro.floating_rate_leg(projection=m, **arguments)
    replicated = kestro.floating_rate_leg(**arguments)
    leg = projected.legs["floating"]
    days = lambda dates: (dates - np.datetime64("2026-01-01")).astype(np.int64)  # noqa: E731
    discount = lambda dates: np.exp(-np.interp(days(dates), CURVE_DAYS, CURVE_DAYS * CURVE_RATES) / 365)  # noqa: E731
    forwards = (discount(leg.accrual_starts) / discount(leg.accrual_ends) - 1) / leg.year_fractions
    np.testing.assert_allclose(leg.rates, forwards, rtol=1e-13)
    assert leg.year_fractions[0] == (leg.accrual_ends[0] - leg.accrual_starts[0]).astype(int) / 360  # ACT/360
    assert replicated.legs["floating"].replicated and not leg.replicated
    assert kestro.price(projected, m, "fixed") == pytest.approx(kestro.price(replicated, m, "fixed"), rel=1e-13)


def test_a_period_fixed_before_the_pricing_time_takes_its_fixing_and_a_missing_one_is_refused():
    m = market("2026-05-20")
    arguments = dict(start="2026-01-15", maturity="3Y", frequency="6M", calendar="TARGET", fixing_lag=2,
                     projection=m)
    with pytest.raises(ValueError, match=r"fixed on 2026-01-13, before the pricing time 2026-05-20.*'2026-01-13'"):
        kestro.floating_rate_leg(**arguments)
    leg = kestro.floating_rate_leg(fixings={"2026-01-13": 0.0315, dt.date(2020, 1, 1): 0.01}, **arguments)
    floating = leg.legs["floating"]
    assert floating.rates[0] == 0.0315 and floating.from_fixings.tolist() == [True] + [False] * 5
    assert floating.fixing_dates[1] == np.datetime64("2026-07-13")


def test_swap_legs_are_signed_for_the_payer_and_the_receiver():
    m = market("2026-01-01")
    payer = kestro.interest_rate_swap(0.03, "5Y", fixed_frequency="6M", calendar="TARGET", projection=m)
    receiver = kestro.interest_rate_swap(0.03, "5Y", fixed_frequency="6M", calendar="TARGET", projection=m,
                                         payer=False)
    assert payer.legs["fixed"].sign == -1 and payer.legs["floating"].sign == 1
    assert kestro.price(receiver, m, "fixed") == pytest.approx(-kestro.price(payer, m, "fixed"), rel=1e-13)
    table = payer.legs.table()
    assert table.column("leg").to_pylist().count("fixed") == 10 and table.num_rows == 30


def test_dated_contracts_pickle_with_their_legs():
    swap = kestro.interest_rate_swap(0.03, "5Y", calendar="TARGET", projection=market("2026-01-01"))
    copy = pickle.loads(pickle.dumps(swap))
    assert copy.events.equals(swap.events) and copy.legs["floating"].rates.tolist() == \
        swap.legs["floating"].rates.tolist()
    assert copy.legs.calendar == swap.legs.calendar


# Tenors in the option templates


def test_option_expiries_take_tenors_on_the_calendar():
    assert kestro.european_call(100, "6M").last_time == to_ms("2026-07-01")
    assert kestro.european_put(100, expiry="18M", start="2026-01-31T16:00").last_time == to_ms("2027-07-31T16:00")
    bermudan = kestro.bermudan_put(100, ["3M", "6M", 0.75])
    assert sorted(set(bermudan.times.tolist())) == [to_ms("2026-04-01"), to_ms("2026-07-01"),
                                                    to_ms("2026-01-01") + round(0.75 * YEAR_MS)]
    with pytest.raises(ValueError, match="'6Q'"):
        kestro.european_call(100, expiry="6Q")


# Many bonds at once


def test_bond_book_builds_each_bond_as_the_template_and_prices_it_as_the_engine():
    rng = np.random.default_rng(5)
    starts = np.datetime64("2026-01-05") + rng.integers(0, 3000, 200).astype("timedelta64[D]")
    coupons = rng.uniform(0.01, 0.07, 200)
    book = kestro.fixed_rate_bonds(coupons, starts, "10Y", calendar="TARGET", convention="modified following",
                                   payment_lag=1, notional=1000.0)
    m = market()
    prices = book.prices(m)
    np.testing.assert_allclose(prices, book.engine_prices(m), rtol=1e-14)
    for i in (0, 77, 199):
        single = kestro.fixed_rate_bond(coupons[i], "10Y", start=starts[i], frequency="6M", calendar="TARGET",
                                        convention="modified following", payment_lag=1, notional=1000.0)
        contract = book.contract(i)
        assert contract.events.equals(single.events)
        assert kestro.price(contract, m, "fixed") == pytest.approx(prices[i], rel=1e-14)
        assert kestro.rates.fixed_income.dirty_price(contract, m) == kestro.rates.fixed_income.dirty_price(single, m)


def test_bond_book_leaves_out_payments_before_the_pricing_time():
    book = kestro.fixed_rate_bonds([0.05, 0.05], ["2024-01-05", "2026-01-05"], "4Y", calendar="TARGET")
    later = market("2026-01-05")
    prices = book.prices(later)
    assert prices[0] == pytest.approx(kestro.rates.fixed_income.present_value(book.contract(0), later), rel=1e-14)
    assert prices[0] < prices[1]
    with pytest.raises(ValueError, match="before the market's pricing time"):
        book.engine_prices(later)
