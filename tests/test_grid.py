"""The default finite-difference grids: vanilla options within 1e-3 of Black-Scholes from a day to ten
years, the steps, nodes and damping chosen from the contract, warnings about settings that cannot
resolve it, and the Black-Scholes model without volatility."""

import math

import numpy as np
import pytest

import kestro
from kestro.grid import GridWarning
from kestro.market import Market
from kestro.pricing import price, price_with_stats
from kestro.templates import (
    american_put,
    bermudan_put,
    european_call,
    european_put,
    fixed_rate_bond,
    zero_coupon_bond,
)

MARKET = Market.flat(rate=0.05, spots={"STK": 100.0})


def black_scholes(strike, years, vol, rate, dividend, call, spot=100.0):
    if vol == 0:
        forward = spot * math.exp((rate - dividend) * years)
        return math.exp(-rate * years) * max(forward - strike if call else strike - forward, 0.0)
    d1 = (math.log(spot / strike) + (rate - dividend + vol * vol / 2) * years) / (vol * math.sqrt(years))
    d2 = d1 - vol * math.sqrt(years)
    cdf = lambda z: 0.5 * math.erfc(-z / math.sqrt(2))  # noqa: E731
    if call:
        return spot * math.exp(-dividend * years) * cdf(d1) - strike * math.exp(-rate * years) * cdf(d2)
    return strike * math.exp(-rate * years) * cdf(-d2) - spot * math.exp(-dividend * years) * cdf(-d1)


def fd_settings(contract, market=MARKET, model="black_scholes", **settings):
    return market.dataset(model, events=contract, **({"vol": 0.2} | settings))["FD"]


# Accuracy


STRIKES = [50.0, 60.0, 70.0, 80.0, 90.0, 95.0, 100.0, 105.0, 110.0, 120.0, 130.0, 140.0, 150.0]


@pytest.mark.parametrize("rate, dividend", [(0.05, 0.0), (0.01, 0.04)], ids=["carry-up", "carry-down"])
@pytest.mark.parametrize("vol", [0.05, 0.1, 0.2, 0.4, 0.8])
@pytest.mark.parametrize("days", [1, 2, 7, 30, 91, 365, 730, 1825, 3650])
def test_default_grid_prices_european_options_within_1e_3_of_black_scholes(days, vol, rate, dividend):
    market = Market.flat(rate=rate, spots={"STK": 100.0}, dividends=dividend)
    years, worst = days / 365, (0.0, "")
    for strike in STRIKES:
        for call in (True, False):
            expected = black_scholes(strike, years, vol, rate, dividend, call)
            got = price((european_call if call else european_put)(strike, years), market, "black_scholes", vol=vol)
            tolerance = max(1e-3 * expected, 1e-4)
            if abs(got - expected) / tolerance > worst[0]:
                worst = (abs(got - expected) / tolerance, f"{'call' if call else 'put'} K={strike:g}: grid "
                         f"{float(got)!r}, Black-Scholes {expected!r}, tolerance {tolerance:.3g}")
    assert worst[0] <= 1.0, f"worst error {worst[0]:.2f} tolerances, {worst[1]}"


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
def test_default_grid_gamma_near_the_strike_of_a_two_day_option_is_one_positive_hump(call):
    option = (european_call if call else european_put)(100.0, 2 / 365)

    def gamma(**settings):
        fd = fd_settings(option, **settings)
        values = price_with_stats(option, MARKET, "black_scholes", vol=0.2, flags=1, **settings).stats["PV_VEC"]
        dx, n_x = fd["MAX_X"] / fd["N_X"], fd["N_X"]
        spot = np.exp(math.log(100.0) + fd["MAX_X"] - np.arange(2 * n_x + 1) * dx)
        v_x = (values[:-2] - values[2:]) / (2 * dx)  # node 0 is the top: x falls with the index
        v_xx = (values[:-2] - 2 * values[1:-1] + values[2:]) / dx**2
        near = np.abs(np.log(spot[1:-1] / 100.0)) <= 3 * 0.2 * math.sqrt(2 / 365)  # three standard deviations
        return ((v_xx - v_x) / spot[1:-1] ** 2)[near]

    # Ten undamped steps over the two days, as a coarse grid would take: the kink rings on the nodes.
    undamped, damped = gamma(damping=0, timestep=2 / 365 / 10), gamma()
    assert undamped.min() < 0, "undamped gamma does not oscillate: the test no longer sees the fault"
    assert damped.min() > 0, f"gamma changes sign near the strike: {damped.min():.3g}"
    peak = int(np.argmax(damped))
    assert np.all(np.diff(damped[:peak + 1]) > 0) and np.all(np.diff(damped[peak:]) < 0), \
        "gamma oscillates near the strike"


def test_bermudan_puts_on_the_default_grid_match_a_fine_grid():
    # Monthly choices: damped for one step after each date; the fine grid is undamped with ten times the steps.
    put = bermudan_put(100.0, [k / 12 for k in range(1, 13)])
    fine = price(put, MARKET, "black_scholes", vol=0.2, n_x=3000, timestep=1 / 3650, damping=0)
    assert price(put, MARKET, "black_scholes", vol=0.2) == pytest.approx(fine, rel=1e-4)


# What the defaults choose


def test_default_steps_give_each_expiry_at_least_150_and_each_interval_one():
    for days in (1, 30, 3650):
        fd = fd_settings(european_put(100.0, days / 365))
        assert days / 365 / fd["TIMESTEP"] >= 150, f"{days} days: {days / 365 / fd['TIMESTEP']:.1f} steps"
    assert fd_settings(american_put(100.0, 1.0))["TIMESTEP"] <= 1 / 365  # daily choices: a step a day at most
    # Hull-White takes a step a day at most: its convexity term is first order in the step.
    assert fd_settings(zero_coupon_bond(10.0), model="hull_white", vol=0.01, meanrev=0.1)["TIMESTEP"] <= 1 / 365


@pytest.mark.parametrize("vol, years", [(0.05, 10.0), (0.2, 1.0), (0.8, 1 / 365)])
def test_default_nodes_are_at_least_80_per_standard_deviation_across_six_and_the_drift(vol, years):
    fd = fd_settings(european_put(100.0, years), vol=vol)
    spread, drift = vol * math.sqrt(years), abs(0.05 - vol * vol / 2) * years
    assert fd["MAX_X"] == pytest.approx(6 * spread + drift)
    assert spread / (fd["MAX_X"] / fd["N_X"]) >= 80


@pytest.mark.parametrize(
    "contract, damping",
    [
        (european_put(100.0, 1.0), 2),
        (bermudan_put(100.0, [0.25, 0.5, 0.75, 1.0]), 2),
        (bermudan_put(100.0, [k / 12 for k in range(1, 13)]), 1),  # 24 damped steps would be over a tenth
        (american_put(100.0, 1.0), 0),  # daily choices clip the oscillations themselves
        (zero_coupon_bond(5.0), 0),  # no choice, no kink: damping would only add its first-order error
        (fixed_rate_bond(0.04, 5.0), 0),
    ],
    ids=["european", "quarterly", "monthly", "daily", "zero-coupon-bond", "coupon-bond"],
)
def test_default_damping_follows_the_contracts_choices_and_dates(contract, damping):
    assert fd_settings(contract)["DAMPING_STEPS"] == damping


def test_given_grid_settings_are_kept():
    fd = fd_settings(european_put(100.0, 1.0), n_x=123, max_x=1.5, timestep=0.01, damping=3)
    assert (fd["N_X"], fd["MAX_X"], fd["TIMESTEP"], fd["DAMPING_STEPS"]) == (123, 1.5, 0.01, 3)


def test_without_a_contract_the_grid_is_sized_for_one_choice_at_the_maturity():
    assert MARKET.dataset("black_scholes", vol=0.2, maturity=2.0)["FD"] == fd_settings(european_put(100.0, 2.0))


# Settings that cannot resolve the contract


@pytest.mark.parametrize(
    "settings, named",
    [
        ({"timestep": 1 / 365}, r"timestep=0\.00273973 takes 2 steps over the contract's 0\.00547945 years"),
        ({"n_x": 10}, r"n_x=10 on a half-width of 0\.0889924 puts nodes 0\.601 standard deviations of ln S apart"),
        ({"max_x": 0.02}, r"max_x=0\.02 spans 1\.\d+ standard deviations of ln S"),
    ],
    ids=["timestep", "n_x", "max_x"],
)
def test_given_settings_that_cannot_resolve_the_contract_warn_naming_the_setting(settings, named):
    two_days = european_put(100.0, 2 / 365)
    with pytest.warns(GridWarning, match=named):
        value = price(two_days, MARKET, "black_scholes", vol=0.2, **settings)
    assert math.isfinite(value)  # still priced, on the grid asked for


def test_hull_white_settings_that_cannot_resolve_the_contract_warn_too():
    with pytest.warns(GridWarning, match=r"max_x=0\.001 spans 0\.0\d+ standard deviations of the short-rate factor"):
        price(zero_coupon_bond(5.0), MARKET, "hull_white", vol=0.01, meanrev=0.1, max_x=0.001)


@pytest.mark.parametrize("vol", [1e-9, 1e-4])
def test_a_volatility_too_small_against_the_drift_for_the_default_grid_is_refused(vol):
    put = european_put(105.0, 1.0)
    with pytest.raises(ValueError, match=rf"vol={vol:g} is too small against the drift of ln S: .* Give n_x to "
                                         r"insist, or price with vol=0"):
        price(put, MARKET, "black_scholes", vol=vol)
    with pytest.raises(ValueError, match=r"max_x=50 is 250 standard deviations of ln S; resolving that"):
        price(put, MARKET, "black_scholes", vol=0.2, max_x=50.0)
    assert price(put, MARKET, "black_scholes", vol=0.2, max_x=50.0, n_x=2000) > 0  # given n_x: the grid asked for


@pytest.mark.parametrize(
    "settings, error, message",
    [
        ({"damping": -1}, ValueError, "damping must be at least 0"),
        ({"damping": 1001}, ValueError, "damping must be at most 1000"),
        ({"damping": 1.5}, TypeError, "damping must be an integer"),
        ({"max_x": 0.0}, ValueError, "max_x must be positive"),
    ],
)
def test_bad_grid_settings_are_refused(settings, error, message):
    with pytest.raises(error, match=message):
        price(european_put(100.0, 1.0), MARKET, "black_scholes", vol=0.2, **settings)


def test_events_must_be_a_contract_or_timetable_after_the_pricing_time():
    with pytest.raises(TypeError, match="events must be a kestro.Contract or its timetable"):
        MARKET.dataset("black_scholes", vol=0.2, events=[1.0])
    with pytest.raises(ValueError, match="before the pricing time"):
        MARKET.dataset("black_scholes", vol=0.2, events=european_put(100.0, 1.0, start="2024-06-01"))


# Without volatility


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
@pytest.mark.parametrize("strike", [90.0, 100.0, 105.127, 110.0])
def test_black_scholes_without_volatility_is_the_discounted_intrinsic_value_on_the_forward(strike, call):
    option = (european_call if call else european_put)(strike, 1.0)
    expected = black_scholes(strike, 1.0, 0.0, 0.05, 0.0, call)
    assert price(option, MARKET, "black_scholes", vol=0.0) == pytest.approx(expected, abs=1e-12)


def test_black_scholes_without_volatility_prices_choices_on_the_forward_path():
    put = american_put(110.0, 1.0)
    result = price_with_stats(put, MARKET, "black_scholes", vol=0.0)
    assert result.price == price(put, MARKET, "fixed") and result.price.model == "black_scholes"
    assert result.stats["PV_VEC"].shape == (1,)  # one path: nothing moves
    with pytest.raises(ValueError, match="vol=0 leaves nothing for the Black-Scholes grid to resolve"):
        MARKET.dataset("black_scholes", vol=0.0)
    with pytest.raises(TypeError, match="unknown setting 'paths'"):
        price(put, MARKET, "black_scholes", vol=0.0, paths=10)


def test_a_market_volatility_of_zero_takes_the_forward_path_too():
    market = Market.flat(rate=0.05, spots={"STK": 100.0}, vols={"STK": 0.0})
    assert price(european_put(110.0, 1.0), market, "black_scholes") == pytest.approx(
        black_scholes(110.0, 1.0, 0.0, 0.05, 0.0, False), abs=1e-12)
    assert kestro.price(european_put(110.0, 1.0), market, "black_scholes", vol=0.2) > 5
