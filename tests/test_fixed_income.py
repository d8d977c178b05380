"""Bond and swap analytics against QuantLib: prices on a non-flat curve, accrued interest, clean and
dirty prices between coupons, yields with each compounding, swap values, par rates and annuities."""

import datetime as dt

import numpy as np
import pytest
from quantlib_conventions import ql, ql_date

import kestro
from kestro.rates import fixed_income

# Zero curve pillars on whole days, so our 365-day years and QuantLib's Actual365Fixed agree exactly.
PILLAR_DAYS = np.array([0, 91, 365, 730, 1826, 3652, 5479, 7670])
DISCOUNT_RATES = np.array([0.020, 0.021, 0.024, 0.027, 0.031, 0.035, 0.037, 0.038])
PROJECTION_RATES = DISCOUNT_RATES + np.array([0.001, 0.002, 0.0025, 0.003, 0.0032, 0.0035, 0.0036, 0.0036])
THIRTY_360 = ql.Thirty360(ql.Thirty360.BondBasis)


def day(text):
    return dt.date.fromisoformat(text)


def curves(today, rates=DISCOUNT_RATES):
    """Our zero curve and QuantLib's log-linear discount curve on the same pillars, from ``today``."""
    ql.Settings.instance().evaluationDate = ql_date(day(today))
    ours = kestro.zero_curve(PILLAR_DAYS / 365, rates)
    reference = ql.DiscountCurve([ql_date(day(today)) + int(d) for d in PILLAR_DAYS],
                                 list(np.exp(-rates * PILLAR_DAYS / 365)), ql.Actual365Fixed())
    return ours, ql.YieldTermStructureHandle(reference)


def rel(a, b):
    return abs(a - b) / max(abs(b), 1e-300)


# Bonds

BOND = dict(start="2026-03-10", maturity="10Y", frequency="6M", calendar="US-GOVT", day_count="30/360")


def ten_year_bonds(coupon=0.045):
    ours = kestro.fixed_rate_bond(coupon, **BOND)
    schedule = ql.Schedule(ql.Date(10, 3, 2026), ql.Date(10, 3, 2036), ql.Period(6, ql.Months),
                           ql.UnitedStates(ql.UnitedStates.GovernmentBond), ql.Following, ql.Following,
                           ql.DateGeneration.Backward, False)
    return ours, ql.FixedRateBond(0, 100.0, schedule, [coupon], THIRTY_360)


@pytest.mark.parametrize("today", ["2026-03-10", "2026-01-02"])
def test_bond_price_on_a_non_flat_curve_is_quantlibs(today):
    ours, reference = ten_year_bonds()
    curve, handle = curves(today)
    market = kestro.Market(pricing_time=today, discount=curve)
    reference.setPricingEngine(ql.DiscountingBondEngine(handle))
    engine = kestro.price(ours, market, "fixed")
    assert rel(engine, reference.NPV()) < 1e-10, (engine, reference.NPV())
    assert rel(fixed_income.present_value(ours, market), engine) < 1e-14
    assert rel(fixed_income.dirty_price(ours, market), reference.dirtyPrice()) < 1e-10


@pytest.mark.parametrize("settlement", ["2027-05-20", "2029-09-10", "2031-03-11", "2035-12-31"])
def test_accrued_clean_and_dirty_prices_between_coupons_are_quantlibs(settlement):
    ours, reference = ten_year_bonds()
    curve, handle = curves(settlement)
    market = kestro.Market(pricing_time=settlement, discount=curve)
    reference.setPricingEngine(ql.DiscountingBondEngine(handle))
    accrued = fixed_income.accrued_interest(ours, settlement)
    assert abs(accrued - reference.accruedAmount(ql_date(day(settlement)))) < 1e-12
    assert rel(fixed_income.dirty_price(ours, market), reference.dirtyPrice()) < 1e-10
    assert rel(fixed_income.clean_price(ours, market), reference.cleanPrice()) < 1e-10
    assert fixed_income.accrued_interest(ours, market) == accrued  # a market settles on its pricing date


def test_accrued_interest_is_nothing_on_a_coupon_date_and_a_whole_coupon_just_before_it():
    ours, _ = ten_year_bonds(0.06)
    assert fixed_income.accrued_interest(ours, "2026-09-10") == 0.0
    assert fixed_income.accrued_interest(ours, "2026-09-09") == pytest.approx(3.0 * 179 / 180, rel=1e-14)


COMPOUNDING = {"compounded": ql.Compounded, "simple": ql.Simple, "continuous": ql.Continuous}


@pytest.mark.parametrize("compounding", list(COMPOUNDING))
@pytest.mark.parametrize("settlement, clean_price", [("2027-05-20", 101.5), ("2026-03-10", 92.25),
                                                     ("2035-10-01", 100.4)])
def test_yield_to_maturity_is_quantlibs_and_prices_back(compounding, settlement, clean_price):
    ours, reference = ten_year_bonds()
    ql.Settings.instance().evaluationDate = ql_date(day(settlement))
    expected = reference.bondYield(ql.BondPrice(clean_price, ql.BondPrice.Clean), THIRTY_360,
                                   COMPOUNDING[compounding], ql.Semiannual, ql_date(day(settlement)), 1e-15, 1000)
    found = fixed_income.yield_to_maturity(ours, clean_price, settlement, compounding=compounding)
    assert abs(found - expected) < 1e-10, (found, expected)
    assert fixed_income.price_from_yield(ours, found, settlement, compounding=compounding) == pytest.approx(
        clean_price, rel=1e-13)
    rate = ql.InterestRate(0.04, THIRTY_360, COMPOUNDING[compounding], ql.Semiannual)
    assert rel(fixed_income.price_from_yield(ours, 0.04, settlement, compounding=compounding),
               ql.BondFunctions.cleanPrice(reference, rate, ql_date(day(settlement)))) < 1e-12


def test_yield_of_a_dirty_price_and_with_another_day_count_and_frequency():
    ours, reference = ten_year_bonds()
    settlement = "2028-02-29"
    ql.Settings.instance().evaluationDate = ql_date(day(settlement))
    expected = reference.bondYield(ql.BondPrice(104.0, ql.BondPrice.Dirty), ql.Actual365Fixed(), ql.Compounded,
                                   ql.Annual, ql_date(day(settlement)), 1e-15, 1000)
    found = fixed_income.yield_to_maturity(ours, 104.0, settlement, clean=False, day_count="ACT/365F", frequency=1)
    assert abs(found - expected) < 1e-10


def test_yields_far_from_the_guess_are_found():
    ours, _ = ten_year_bonds()
    for target in (0.35, -0.015, 1e-6):
        price = fixed_income.price_from_yield(ours, target, "2027-05-20")
        assert fixed_income.yield_to_maturity(ours, price, "2027-05-20") == pytest.approx(target, abs=1e-13)


def test_zero_coupon_bond_yield_is_its_compounded_discount_rate():
    bond = kestro.zero_coupon_bond(maturity="2031-03-10", start="2026-03-10")
    found = fixed_income.yield_to_maturity(bond, 80.0, "2026-03-10", compounding="continuous", day_count="ACT/365F")
    assert found == pytest.approx(-np.log(0.8) / (1826 / 365), rel=1e-14)


def test_settlement_days_move_the_default_settlement_on_the_bond_calendar():
    bond = kestro.fixed_rate_bond(0.05, "5Y", start="2026-01-15", frequency="6M", calendar="TARGET",
                                  settlement_days=2)
    curve, _ = curves("2026-04-02")
    market = kestro.Market(pricing_time="2026-04-02", discount=curve)  # Thursday before Easter
    assert fixed_income.settlement_date(bond, market) == np.datetime64("2026-04-08")
    assert fixed_income.dirty_price(bond, market) == fixed_income.dirty_price(bond, market, "2026-04-08")
    assert fixed_income.accrued_interest(bond, market) == fixed_income.accrued_interest(bond, "2026-04-08")


# Swaps

SWAP = dict(start="2026-03-12", maturity="2031-03-12", notional=1e6, fixed_frequency="1Y", floating_frequency="6M",
            calendar="TARGET", convention="modified following", fixed_day_count="30/360",
            floating_day_count="ACT/360", fixing_lag=2)


def quantlib_swap(payer, rate, spread, projection, discount):
    target = ql.TARGET()

    def schedule(tenor):
        return ql.Schedule(ql.Date(12, 3, 2026), ql.Date(12, 3, 2031), ql.Period(tenor), target, ql.ModifiedFollowing,
                           ql.ModifiedFollowing, ql.DateGeneration.Backward, False)

    index = ql.IborIndex("INDEX", ql.Period(6, ql.Months), 2, ql.EURCurrency(), target, ql.ModifiedFollowing, False,
                         ql.Actual360(), projection)
    kind = ql.VanillaSwap.Payer if payer else ql.VanillaSwap.Receiver
    swap = ql.VanillaSwap(kind, 1e6, schedule("1Y"), rate, THIRTY_360, schedule("6M"), index, spread, ql.Actual360())
    swap.setPricingEngine(ql.DiscountingSwapEngine(discount))
    return swap, index


@pytest.mark.parametrize("payer", [True, False], ids=["payer", "receiver"])
@pytest.mark.parametrize("spread", [0.0, 0.0015])
def test_swap_on_a_projection_curve_is_quantlibs_vanilla_swap(payer, spread):
    today = "2026-03-10"
    projection, projection_handle = curves(today, PROJECTION_RATES)
    discount, discount_handle = curves(today)
    ql.IborCoupon.createAtParCoupons()
    reference, _ = quantlib_swap(payer, 0.03, spread, projection_handle, discount_handle)
    market = kestro.Market(pricing_time=today, discount=discount)
    swap = kestro.interest_rate_swap(0.03, payer=payer, spread=spread, projection=projection, pricing_time=today,
                                     **SWAP)
    measures = fixed_income.swap_measures(swap, market)
    assert rel(kestro.price(swap, market, "fixed"), reference.NPV()) < 1e-9
    assert rel(measures.value, reference.NPV()) < 1e-9
    assert rel(measures.par_rate, reference.fairRate()) < 1e-9
    assert rel(measures.pv01, abs(reference.fixedLegBPS())) < 1e-9
    assert rel(measures.floating_leg, reference.floatingLegNPV()) < 1e-9
    assert fixed_income.par_rate(swap, market) == measures.par_rate
    assert fixed_income.annuity(swap, market) == measures.annuity
    at_par = kestro.interest_rate_swap(measures.par_rate, payer=payer, spread=spread, projection=projection,
                                       pricing_time=today, **SWAP)
    assert abs(kestro.price(at_par, market, "fixed")) < 1e-8


def test_single_curve_swap_replicated_by_notional_exchanges_is_quantlibs():
    today = "2026-03-10"
    discount, handle = curves(today)
    ql.IborCoupon.createAtParCoupons()
    reference, _ = quantlib_swap(True, 0.03, 0.0, handle, handle)
    market = kestro.Market(pricing_time=today, discount=discount)
    swap = kestro.interest_rate_swap(0.03, **SWAP)
    assert swap.legs["floating"].replicated
    assert rel(kestro.price(swap, market, "fixed"), reference.NPV()) < 1e-9
    assert rel(fixed_income.par_rate(swap, market), reference.fairRate()) < 1e-9


def test_seasoned_swap_uses_its_fixing_and_leaves_past_payments_out_as_quantlib_does():
    today = "2027-06-15"
    projection, projection_handle = curves(today, PROJECTION_RATES)
    discount, discount_handle = curves(today)
    ql.IborCoupon.createAtParCoupons()
    reference, index = quantlib_swap(True, 0.03, 0.001, projection_handle, discount_handle)
    index.addFixing(ql.Date(10, 3, 2027), 0.0412)
    swap = kestro.interest_rate_swap(0.03, spread=0.001, projection=projection, pricing_time=today,
                                     fixings={"2027-03-10": 0.0412}, **SWAP)
    market = kestro.Market(pricing_time=today, discount=discount)
    measures = fixed_income.swap_measures(swap, market)
    assert rel(measures.value, reference.NPV()) < 1e-9
    assert rel(measures.par_rate, reference.fairRate()) < 1e-9
    # Built from today, the swap holds only what is still to pay: the engine prices it as well.
    assert swap.legs["floating"].payment_dates[0] == np.datetime64("2027-09-13")
    assert rel(kestro.price(swap, market, "fixed"), reference.NPV()) < 1e-9


# Refusals


def test_analytics_refuse_what_they_cannot_price_naming_the_value():
    bond, _ = ten_year_bonds()
    curve, _ = curves("2027-01-04")
    market = kestro.Market(pricing_time="2027-01-04", discount=curve)
    with pytest.raises(ValueError, match="settlement date 2026-12-01 is before the pricing date 2027-01-04"):
        fixed_income.dirty_price(bond, market, "2026-12-01")
    with pytest.raises(ValueError, match="settlement date 2036-03-10 is not before the bond's last payment"):
        fixed_income.accrued_interest(bond, "2036-03-10")
    with pytest.raises(ValueError, match="unknown compounding 'weekly'"):
        fixed_income.yield_to_maturity(bond, 100.0, "2027-01-04", compounding="weekly")
    with pytest.raises(ValueError, match="positive"):
        fixed_income.yield_to_maturity(bond, -5.0, "2027-01-04")
    with pytest.raises(TypeError, match="built on dates"):
        fixed_income.dirty_price(kestro.fixed_rate_bond(0.05, 10.0), market)
    with pytest.raises(TypeError, match="interest rate swap"):
        fixed_income.swap_measures(bond, market)
    replicated = kestro.interest_rate_swap(0.03, **SWAP)
    with pytest.raises(ValueError, match="floating period from 2026-09-14 has started"):
        fixed_income.present_value(replicated, market)
    short = kestro.Market(pricing_time="2027-01-04", discount=kestro.zero_curve([0.0, 5.0], [0.03, 0.03]))
    with pytest.raises(ValueError, match="discount curve does not reach 2032-03-10"):
        fixed_income.dirty_price(bond, short)
