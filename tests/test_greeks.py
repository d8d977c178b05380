"""kestro.greeks: option greeks against QuantLib's grid and closed forms, DV01 against a bumped
QuantLib curve, key-rate DV01s, common random numbers under Monte Carlo, and bad bumps."""

import math

import numpy as np
import pytest

import kestro

ql = pytest.importorskip("QuantLib")

SPOT, STRIKE, RATE, VOL = 100.0, 100.0, 0.05, 0.2


@pytest.fixture(scope="module")
def market():
    return kestro.Market.flat(rate=RATE, spots={"STK": SPOT}, vols={"STK": VOL})


def quantlib_option(call, american, engine):
    today = ql.Date(1, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    flat = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, day_count, ql.Continuous))
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)), flat(0.0), flat(RATE),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, day_count)))
    payoff = ql.PlainVanillaPayoff(ql.Option.Call if call else ql.Option.Put, STRIKE)
    exercise = ql.AmericanExercise(today, today + 365) if american else ql.EuropeanExercise(today + 365)
    option = ql.VanillaOption(payoff, exercise)
    option.setPricingEngine(engine(process))
    return option


def test_american_put_delta_and_gamma_from_the_grid_match_quantlibs_finite_differences(market):
    reference = quantlib_option(False, True, lambda p: ql.FdBlackScholesVanillaEngine(p, 800, 1600))
    found = kestro.greeks(kestro.american_put(STRIKE, 1.0), market, "black_scholes")
    assert found.method == "grid"
    assert found.delta == pytest.approx(reference.delta(), abs=2e-3)
    assert found.gamma == pytest.approx(reference.gamma(), abs=1e-3)
    assert reference.delta() == pytest.approx(-0.41098, abs=2e-4)  # the figure the grid is held to


@pytest.mark.parametrize("call", [True, False])
def test_european_greeks_match_the_closed_form(market, call):
    reference = quantlib_option(call, False, ql.AnalyticEuropeanEngine)
    make = kestro.european_call if call else kestro.european_put
    found = kestro.greeks(make(STRIKE, 1.0), market, "black_scholes")
    expected = {"delta": reference.delta(), "gamma": reference.gamma(), "vega": reference.vega(),
                "theta": reference.theta(), "rho": reference.rho()}
    # The grid's discretisation error, and one day of time for theta's one-sided difference.
    tolerance = {"delta": 2e-3, "gamma": 5e-4, "vega": 0.05, "theta": 0.05, "rho": 0.05}
    for name, value in expected.items():
        assert getattr(found, name) == pytest.approx(value, abs=tolerance[name]), (name, tolerance[name])


def test_grid_delta_and_gamma_agree_with_bump_and_reprice_on_the_same_grid(market):
    put = kestro.american_put(STRIKE, 1.0)
    grid = kestro.greeks(put, market, "black_scholes")
    base = kestro.price_with_stats(put, market, "black_scholes", flags=1).grid
    settings = {"n_x": base.n_x, "max_x": base.max_x, "timestep": base.timestep}
    h = 0.01
    up, down = (kestro.price(put, kestro.risk.bumps.scale_spot(market, "STK", 1 + s * h), "black_scholes", **settings)
                for s in (1, -1))
    middle = kestro.price(put, market, "black_scholes", **settings)
    assert grid.delta == pytest.approx((up - down) / (2 * h * SPOT), abs=2e-3)
    assert grid.gamma == pytest.approx((up - 2 * middle + down) / (h * SPOT) ** 2, abs=1e-3)


def test_monte_carlo_greeks_share_random_numbers_so_bumped_prices_differ_smoothly(market):
    # With independent paths the spot bump's price difference would drown in sampling noise
    # (standard error ~0.05 against a difference of ~1.3); shared paths keep delta near the closed form.
    reference = quantlib_option(True, False, ql.AnalyticEuropeanEngine)
    found = kestro.greeks(kestro.european_call(STRIKE, 1.0), market, "monte_carlo", paths=20_000, seed=3)
    assert found.standard_error is not None and found.method == "bump"
    assert found.delta == pytest.approx(reference.delta(), abs=0.01)
    assert found.vega == pytest.approx(reference.vega(), rel=0.03)
    assert found.rho == pytest.approx(reference.rho(), rel=0.03)


def quantlib_bond_npv(rate, coupon, years):
    today = ql.Date(1, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    curve = ql.YieldTermStructureHandle(ql.FlatForward(today, rate, ql.Actual365Fixed(), ql.Continuous))
    dates = [today + 365 * k for k in range(years + 1)]
    schedule = ql.Schedule(ql.DateVector(dates), ql.NullCalendar(), ql.Unadjusted)
    bond = ql.FixedRateBond(0, 100.0, schedule, [coupon], ql.Actual365Fixed())
    bond.setPricingEngine(ql.DiscountingBondEngine(curve))
    return bond.NPV()


def test_bond_dv01_matches_a_quantlib_curve_one_basis_point_lower(market):
    found = kestro.greeks(kestro.fixed_rate_bond(0.04, 5.0), market)
    expected = quantlib_bond_npv(RATE - 1e-4, 0.04, 5) - quantlib_bond_npv(RATE, 0.04, 5)
    assert found.price == pytest.approx(quantlib_bond_npv(RATE, 0.04, 5), rel=1e-12)
    assert found.dv01 == pytest.approx(expected, rel=1e-9)
    assert found.dv01 > 0 and found.delta is None and found.asset is None


def test_dv01_is_scaled_to_one_basis_point_whatever_the_bump(market):
    bond = kestro.fixed_rate_bond(0.04, 5.0)
    small = kestro.greeks(bond, market).dv01
    large = kestro.greeks(bond, market, bumps={"rate": 1e-3}).dv01
    assert large == pytest.approx(small, rel=5e-3)


@pytest.fixture(scope="module")
def pillared():
    times = [0.5, 1.0, 2.0, 5.0, 10.0]
    return kestro.Market(discount=kestro.zero_curve(times, [0.02, 0.025, 0.03, 0.035, 0.04]))


def test_key_rate_dv01s_add_up_to_the_dv01_and_vanish_beyond_the_last_payment(pillared):
    found = kestro.greeks(kestro.fixed_rate_bond(0.04, 2.0), pillared)
    assert list(found.key_rate_dv01) == [0.5, 1.0, 2.0, 5.0, 10.0]
    assert sum(found.key_rate_dv01.values()) == pytest.approx(found.dv01, rel=1e-4)
    assert found.key_rate_dv01[5.0] == 0.0 and found.key_rate_dv01[10.0] == 0.0
    assert found.key_rate_dv01[2.0] > found.key_rate_dv01[1.0] > 0  # the redemption weighs most


def test_theta_keeps_a_payment_due_within_the_step_as_cash_in_hand(market):
    # The swap books its first floating notional at the pricing time: dropping it would read as
    # a loss of the whole notional in one day.
    swap = kestro.interest_rate_swap(0.05, 5.0)
    found = kestro.greeks(swap, market)
    assert abs(found.theta) < 10.0


def test_bond_dv01_under_hull_white_paths_follows_the_bumped_curve(market):
    # The path source is refitted to the bumped discount curve with the same random numbers.
    bond = kestro.zero_coupon_bond(3.0)
    paths = kestro.HullWhitePaths(market.discount, 0.1, 0.01, paths=2000, seed=1)
    on_paths = kestro.greeks(bond, market, "monte_carlo", state=paths)
    exact = kestro.greeks(bond, market, "fixed")
    assert on_paths.dv01 == pytest.approx(exact.dv01, rel=2e-3)
    assert on_paths.vega is not None


def test_greeks_print_and_convert_to_a_dict(market):
    found = kestro.greeks(kestro.european_put(STRIKE, 1.0), market)
    text = repr(found)
    assert "delta" in text and "STK" in text and "dv01" not in text
    data = found.to_dict()
    assert data["delta"] == found.delta and data["bumps"] == kestro.risk.bumps.DEFAULT_BUMPS
    assert math.isfinite(data["theta"])


@pytest.mark.parametrize("bumps, message", [
    ({"spots": 0.01}, "unknown bump 'spots'"),
    ({"vol": -0.01}, "positive"),
    ({"spot": 1.5}, "below 1"),
    ([0.01], "must be a dict"),
])
def test_bad_bumps_are_refused_by_name(market, bumps, message):
    with pytest.raises((ValueError, TypeError), match=message):
        kestro.greeks(kestro.european_put(STRIKE, 1.0), market, bumps=bumps)


def test_asset_not_in_the_contract_is_refused(market):
    with pytest.raises(ValueError, match="'XYZ' is not one this contract depends on"):
        kestro.greeks(kestro.european_put(STRIKE, 1.0), market, "monte_carlo", asset="XYZ", paths=100)


def test_a_path_source_that_cannot_follow_a_bump_is_refused(market):
    class Fixed:
        paths = 10

        def advance(self, x):
            return None

        def get_value(self, name, *_):
            return np.full(10, SPOT)

    with pytest.raises(ValueError, match="cannot move the market"):
        kestro.greeks(kestro.european_put(STRIKE, 1.0), market, "monte_carlo", state=Fixed())
