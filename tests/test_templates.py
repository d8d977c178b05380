"""kestro.templates: each contract priced by every model that applies, against closed forms and references."""

import math

import numpy as np
import pytest

from kestro.market import Market, forward_curve, zero_curve
from kestro.pricing import price, price_with_stats
from kestro.templates import (
    Contract,
    american_call,
    american_put,
    bermudan_call,
    bermudan_put,
    digital_call,
    digital_put,
    european_call,
    european_put,
    fixed_rate_bond,
    floating_rate_leg,
    interest_rate_swap,
    knock_out_call,
    knock_out_put,
    zero_coupon_bond,
)
from kestro.clock import DEFAULT_START, YEAR_MS, to_ms

R, Q, VOL, SPOT = 0.05, 0.02, 0.25, 100.0
# A rising zero curve: r·t is interpolated linearly between the points.
CURVE_T, CURVE_R = [0.0, 1.0, 3.0, 10.0, 30.0], [0.02, 0.025, 0.03, 0.035, 0.04]
CURVED = Market(discount=zero_curve(CURVE_T, CURVE_R),
                forwards={"STK": forward_curve([0.0, 30.0], [SPOT, SPOT * math.exp(0.03 * 30)])})
FLAT = Market.flat(rate=R, spots={"STK": SPOT})
DIVIDEND = Market.flat(rate=R, spots={"STK": SPOT}, dividends=Q)
HW = {"vol": 0.01, "meanrev": 0.1}


def curved_df(years):
    return math.exp(-np.interp(years, CURVE_T, np.array(CURVE_T) * CURVE_R))


def normal_cdf(z):
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


def black_scholes(strike, years, call, spot=SPOT, rate=R, dividend=Q, vol=VOL):
    forward = spot * math.exp((rate - dividend) * years)
    d1 = (math.log(forward / strike) + 0.5 * vol * vol * years) / (vol * math.sqrt(years))
    d2 = d1 - vol * math.sqrt(years)
    df = math.exp(-rate * years)
    if call:
        return df * (forward * normal_cdf(d1) - strike * normal_cdf(d2))
    return df * (strike * normal_cdf(-d2) - forward * normal_cdf(-d1))


def mc_within(contract, market, expected, paths=40_000, sigmas=4.0, **settings):
    """Monte Carlo price on seeded GBM paths, checked within `sigmas` standard errors of `expected`."""
    result = price_with_stats(contract, market, "monte_carlo", flags=1, paths=paths, **settings)
    pv = result.stats["PV_VEC"]
    error = pv.std(ddof=1) / math.sqrt(pv.size)
    assert abs(result.price - expected) <= sigmas * error + 1e-12, (
        f"Monte Carlo {result.price} is {abs(result.price - expected) / error:.1f} standard errors "
        f"({error:.4f}) from {expected}")
    return result.price


# Bonds and swaps

BOND_MODELS = [
    pytest.param("fixed", {}, 1e-13, id="fixed"),
    pytest.param("monte_carlo", {}, 1e-13, id="monte-carlo-on-the-curve"),
    pytest.param("black_scholes", {"vol": VOL}, 1e-6, id="black-scholes-grid"),
    pytest.param("hull_white", HW, 1e-5, id="hull-white-grid"),
]


@pytest.mark.parametrize("model, settings, rtol", BOND_MODELS)
def test_zero_coupon_bond_is_worth_the_notional_times_the_discount_factor(model, settings, rtol):
    bond = zero_coupon_bond(7.5, notional=250.0)
    assert price(bond, CURVED, model, **settings) == pytest.approx(250.0 * curved_df(7.5), rel=rtol)


def test_zero_coupon_bond_in_a_foreign_currency_is_worth_its_discounted_forward():
    market = Market(discount=zero_curve([0.0, 10.0], [R, R]),
                    forwards={"EUR": forward_curve([0.0, 10.0], [1.1, 1.1 * math.exp(-0.01 * 10)])})
    bond = zero_coupon_bond(2.0, notional=100.0, currency="EUR")
    assert price(bond, market) == pytest.approx(100 * 1.1 * math.exp(-0.01 * 2) * math.exp(-R * 2), rel=1e-13)


def test_maturity_as_a_date_or_as_a_tenor_gives_the_same_contract():
    by_tenor = zero_coupon_bond(2.0)
    by_date = zero_coupon_bond(maturity="2028-01-01")  # 2026 and 2027 have 365 days
    assert by_date.events.equals(by_tenor.events)
    assert by_tenor.last_time == to_ms(DEFAULT_START) + 2 * YEAR_MS
    later = zero_coupon_bond(1.0, start="2026-07-01")
    assert later.last_time == to_ms("2026-07-01") + YEAR_MS


def coupon_schedule(years, frequency):
    """Coupon times every 1/frequency back from maturity, with the first period's accrual from 0."""
    times = sorted(t for t in (years - k / frequency for k in range(int(years * frequency) + 2)) if t > 1e-9)
    accruals = np.diff([0.0] + times)
    return times, accruals


@pytest.mark.parametrize("model, settings, rtol", [p for p in BOND_MODELS if p.id != "monte-carlo-on-the-curve"])
@pytest.mark.parametrize("years, frequency, coupon", [(5.0, 1, 0.04), (3.0, 2, 0.06), (2.5, 1, 0.05), (1.0, 12, 0.03)],
                         ids=["annual", "semiannual", "short-first-period", "monthly"])
def test_fixed_rate_bond_is_the_sum_of_its_discounted_coupons_and_redemption(model, settings, rtol, years,
                                                                             frequency, coupon):
    times, accruals = coupon_schedule(years, frequency)
    expected = sum(100 * coupon * a * curved_df(t) for t, a in zip(times, accruals)) + 100 * curved_df(years)
    bond = fixed_rate_bond(coupon, years, frequency=frequency)
    assert len(bond) == len(times) + 1
    assert price(bond, CURVED, model, **settings) == pytest.approx(expected, rel=rtol)


@pytest.mark.parametrize("model, settings", [("fixed", {}), ("hull_white", HW), ("monte_carlo", {})])
@pytest.mark.parametrize("spread", [0.0, 0.01])
def test_floating_leg_on_a_flat_curve_is_the_notional_less_its_discounted_repayment(model, settings, spread):
    years, frequency = 3.0, 4
    leg = floating_rate_leg(years, frequency=frequency, spread=spread, notional=1000.0)
    spread_pv = sum(1000 * spread / frequency * math.exp(-R * k / frequency) for k in range(1, 13))
    expected = 1000 * (1 - math.exp(-R * years)) + spread_pv
    assert price(leg, FLAT, model, **settings) == pytest.approx(expected, rel=1e-5)
    # Each period's coupon is then worth N · L · accrual with L the period's simple forward rate.
    forward_rate = (math.exp(R / frequency) - 1) * frequency
    assert expected == pytest.approx(sum((forward_rate + spread) * 1000 / frequency * math.exp(-R * k / frequency)
                                         for k in range(1, 13)), rel=1e-12)


@pytest.mark.parametrize("model, settings, tol", [("fixed", {}, 1e-12), ("hull_white", HW, 1e-3)])
def test_swap_at_the_par_rate_is_worth_nothing_and_off_par_is_the_rate_difference_annuity(model, settings, tol):
    years = 6.0
    annuity = sum(curved_df(t) for t in range(1, 7))
    par = (1 - curved_df(years)) / annuity
    assert price(interest_rate_swap(par, years), CURVED, model, **settings) == pytest.approx(0.0, abs=tol)
    payer = price(interest_rate_swap(par + 0.01, years), CURVED, model, **settings)
    receiver = price(interest_rate_swap(par + 0.01, years, payer=False), CURVED, model, **settings)
    assert payer == pytest.approx(-100 * 0.01 * annuity, rel=1e-4)
    assert receiver == pytest.approx(-payer, rel=1e-12)


# Vanilla and early-exercise options


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
@pytest.mark.parametrize("strike, years", [(80.0, 0.5), (100.0, 1.0), (125.0, 2.0)])
def test_european_options_match_black_scholes_on_the_grid_and_on_gbm_paths(call, strike, years):
    option = (european_call if call else european_put)(strike, years)
    expected = black_scholes(strike, years, call)
    assert price(option, DIVIDEND, "black_scholes", vol=VOL) == pytest.approx(expected, abs=1e-3)
    mc_within(option, DIVIDEND, expected, vol=VOL)


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
@pytest.mark.parametrize("strike", [90.0, 102.0, 110.0])
def test_european_options_under_the_fixed_model_are_the_discounted_intrinsic_value_on_the_forward(call, strike):
    forward = SPOT * math.exp((R - Q) * 1.5)  # 104.6
    intrinsic = max(forward - strike, 0.0) if call else max(strike - forward, 0.0)
    option = (european_call if call else european_put)(strike, 1.5, quantity=3.0)
    assert price(option, DIVIDEND, "fixed") == pytest.approx(3 * intrinsic * math.exp(-R * 1.5), abs=1e-12)


def test_american_put_is_worth_more_than_the_european_and_matches_the_reference():
    american = price(american_put(strike=100, years=1.0), FLAT, "black_scholes", vol=0.2)
    european = price(european_put(100, 1.0), FLAT, "black_scholes", vol=0.2)
    assert european == pytest.approx(black_scholes(100, 1.0, False, dividend=0.0, vol=0.2), abs=1e-3)
    assert american > european + 0.4
    assert american == pytest.approx(6.0887, abs=1e-3)


def test_american_call_without_dividends_is_never_exercised_early_and_with_them_it_is():
    # On one grid: the default grids of the two contracts differ (the daily choices set the American's steps).
    grid = {"n_x": 400, "timestep": 1 / 365, "damping": 0}
    no_dividend = [price(c(100, 1.0), FLAT, "black_scholes", vol=0.2, **grid) for c in (american_call, european_call)]
    assert no_dividend[0] == pytest.approx(no_dividend[1], abs=1e-8)
    rich = Market.flat(rate=R, spots={"STK": SPOT}, dividends=0.08)
    american, european = (price(c(100, 1.0), rich, "black_scholes", vol=0.2) for c in (american_call, european_call))
    assert american > european + 0.1


def test_bermudan_put_lies_between_the_european_and_the_american():
    quarterly = price(bermudan_put(100, [0.25, 0.5, 0.75, 1.0]), FLAT, "black_scholes", vol=0.2)
    european = price(european_put(100, 1.0), FLAT, "black_scholes", vol=0.2)
    american = price(american_put(100, 1.0), FLAT, "black_scholes", vol=0.2)
    assert european < quarterly < american


def test_bermudan_dates_are_sorted_and_deduplicated_and_one_date_is_the_european():
    assert bermudan_call(100, [1.0]).events.equals(european_call(100, 1.0).events)
    shuffled = bermudan_put(100, dates=["2026-07-01", "2026-04-01", "2026-07-01"])
    assert shuffled.events.equals(bermudan_put(100, dates=["2026-04-01", "2026-07-01"]).events)
    assert len(shuffled) == 6


def test_american_exercise_dates_are_every_day_from_start_to_expiry():
    put = american_put(100, 10.5 / 365)
    times = np.unique(put.times)
    start = to_ms(DEFAULT_START)
    assert times.tolist() == [start + k * 86_400_000 for k in range(11)] + [start + 10.5 * 86_400_000]
    assert len(put) == 3 * times.size


@pytest.mark.parametrize("make", [american_put, lambda k, y: bermudan_put(k, [0.5, 1.0])], ids=["american", "bermudan"])
def test_pathwise_exercise_by_monte_carlo_chooses_with_foresight_so_it_bounds_the_grid_price_from_above(make):
    option = make(100, 1.0)
    grid = price(option, FLAT, "black_scholes", vol=0.2)
    assert price(option, FLAT, "monte_carlo", vol=0.2, paths=5000, exercise="pathwise") > grid


# Digital options


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
@pytest.mark.parametrize("strike", [90.0, 100.0, 115.0])
def test_digital_pays_the_discounted_probability_of_finishing_in_the_money(call, strike):
    years = 1.0
    forward = SPOT * math.exp((R - Q) * years)
    d2 = (math.log(forward / strike) - 0.5 * VOL * VOL * years) / (VOL * math.sqrt(years))
    probability = normal_cdf(d2) if call else normal_cdf(-d2)
    digital = (digital_call if call else digital_put)(strike, years, payout=10.0)
    mc_within(digital, DIVIDEND, 10 * math.exp(-R * years) * probability, vol=VOL)


def test_digital_call_and_put_on_the_same_paths_add_up_to_the_discounted_payout():
    both = [price(d(100.0, 2.0), DIVIDEND, "monte_carlo", vol=VOL, paths=1000, seed=3) for d in (digital_call, digital_put)]
    assert sum(both) == pytest.approx(math.exp(-R * 2.0), rel=1e-12)


@pytest.mark.parametrize("strike, paid", [(104.0, True), (106.0, False)])
def test_digital_under_the_fixed_model_pays_when_the_forward_is_in_the_money(strike, paid):
    forward = SPOT * math.exp((R - Q) * 1.5)  # 104.6
    assert forward > 104.0 and forward < 106.0
    assert price(digital_call(strike, 1.5), DIVIDEND, "fixed") == pytest.approx(math.exp(-R * 1.5) * paid, abs=1e-15)


# Knock-out options


class TerminalPaths:
    """Paths S(x) = F(x)·exp(σ√x·Z − σ²x/2) with one normal Z per path, so every step structure sees the
    same values at a given time: contracts monitored on different dates share their terminal values."""

    def __init__(self, market, paths=2000, seed=5, vol=VOL):
        self.market, self.vol, self.paths = market, vol, paths
        self.z = np.random.default_rng(seed).standard_normal(paths)
        self.x = 0.0

    def reset(self):
        self.x = 0.0

    def advance(self, x):
        self.x = x
        return None

    def values(self, x):
        return self.market.forward("STK", x) * np.exp(self.vol * math.sqrt(x) * self.z - 0.5 * self.vol ** 2 * x)

    def get_value(self, name):
        return self.values(self.x) if name == "STK" else None


def test_knock_out_pays_the_vanilla_payoff_only_on_paths_that_stayed_inside_the_barrier():
    state = TerminalPaths(DIVIDEND)
    monitoring = [0.0, 0.25, 0.5, 0.75, 1.0]
    knocked = price(knock_out_call(100, 120, 1.0, direction="up", monitoring_years=monitoring), DIVIDEND,
                    "monte_carlo", state=state)
    spots = np.array([state.values(x) for x in monitoring])
    alive = np.all(spots < 120, axis=0)
    assert 0 < alive.mean() < 1
    expected = math.exp(-R) * np.mean(alive * np.maximum(spots[-1] - 100, 0.0))
    assert knocked == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("call, direction, barrier", [(True, "up", 1e9), (False, "down", 1e-9), (True, "down", 1e-9)])
def test_knock_out_with_an_unreachable_barrier_is_the_vanilla(call, direction, barrier):
    state = TerminalPaths(DIVIDEND)
    knock_out = (knock_out_call if call else knock_out_put)(100, barrier, 1.0, direction=direction)
    vanilla = (european_call if call else european_put)(100, 1.0)
    assert price(knock_out, DIVIDEND, "monte_carlo", state=state) == pytest.approx(
        price(vanilla, DIVIDEND, "monte_carlo", state=state), rel=1e-12)


@pytest.mark.parametrize("call, direction, barrier", [(True, "up", 125.0), (False, "down", 85.0), (True, "down", 90.0)])
def test_knock_out_on_gbm_paths_is_worth_less_than_the_vanilla(call, direction, barrier):
    knock_out = (knock_out_call if call else knock_out_put)(100, barrier, 1.0, direction=direction)
    knocked = price(knock_out, DIVIDEND, "monte_carlo", vol=VOL, paths=4000)
    assert 0 < knocked < black_scholes(100, 1.0, call) - 0.1


def up_and_out_call(spot, strike, barrier, rate, dividend, vol, years):
    """Continuously monitored up-and-out call with the barrier above the strike (no rebate)."""
    mu = (rate - dividend - 0.5 * vol * vol) / (vol * vol)
    sd = vol * math.sqrt(years)
    growth, discount = spot * math.exp(-dividend * years), strike * math.exp(-rate * years)
    ratio = barrier / spot

    def vanilla_part(x):
        return growth * normal_cdf(x) - discount * normal_cdf(x - sd)

    def reflected_part(y):
        return growth * ratio ** (2 * mu + 2) * normal_cdf(-y) - discount * ratio ** (2 * mu) * normal_cdf(-y + sd)

    x = math.log(spot / strike) / sd + (1 + mu) * sd
    x1 = math.log(spot / barrier) / sd + (1 + mu) * sd
    y = math.log(barrier ** 2 / (spot * strike)) / sd + (1 + mu) * sd
    y1 = math.log(barrier / spot) / sd + (1 + mu) * sd
    return vanilla_part(x) - vanilla_part(x1) + reflected_part(y) - reflected_part(y1)


def test_daily_up_and_out_call_on_gbm_paths_matches_the_shifted_barrier_formula():
    # Daily checks act like a continuous barrier moved up by exp(0.5826·σ·√Δt).
    shifted = 130.0 * math.exp(0.5826 * 0.2 * math.sqrt(1 / 365))
    expected = up_and_out_call(SPOT, 100.0, shifted, R, 0.0, 0.2, 1.0)
    assert 3.3 < expected < 3.7
    mc_within(knock_out_call(100, 130, 1.0, direction="up"), FLAT, expected, paths=20_000, vol=0.2)


@pytest.mark.parametrize("barrier, alive", [(106.0, True), (104.0, False)])
def test_knock_out_under_the_fixed_model_follows_the_forward(barrier, alive):
    # The forward grows from 100 to 104.6 in 1.5 years: it crosses 104 and stays below 106.
    option = knock_out_call(95, barrier, 1.5, direction="up")
    vanilla = price(european_call(95, 1.5), DIVIDEND, "fixed")
    assert price(option, DIVIDEND, "fixed") == pytest.approx(vanilla if alive else 0.0, abs=1e-12)


# Contracts and arguments


def test_contracts_name_their_tracks_assets_and_expressions():
    put = american_put(100, 1.0, asset="ACME", track="hedge")
    assert put.tracks == ("hedge",) and put.assets == ("ACME",) and put.expressions == {}
    assert "American" in put.description
    barrier = knock_out_put(100, 80, 1.0, direction="down")
    assert set(barrier.expressions) == {"knock_out.first_check", "knock_out.check", "knock_out.payoff"}
    assert Contract(barrier.events).tracks == ("knock_out",)


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: european_call(100), TypeError),
        (lambda: european_call(100, 1.0, expiry="2027-01-01"), TypeError),
        (lambda: european_call("100", 1.0), TypeError),
        (lambda: european_call(100, 1.0, asset=""), TypeError),
        (lambda: european_put(100, 1.0, track="STK"), ValueError),
        (lambda: zero_coupon_bond(1.0, track="USD"), ValueError),
        (lambda: fixed_rate_bond(0.05, 0.0), ValueError),
        (lambda: fixed_rate_bond(0.05, 2.0, frequency=0), ValueError),
        (lambda: interest_rate_swap(0.05, 2.0, floating_frequency=1.5), ValueError),
        (lambda: bermudan_put(100, []), ValueError),
        (lambda: bermudan_put(100, 1.0), TypeError),
        (lambda: american_put(100, 0.0), ValueError),
        (lambda: knock_out_call(100, 120, 1.0, direction="sideways"), ValueError),
        (lambda: knock_out_call(100, 120, 1.0, direction="up", monitoring_years=[0.5, 2.0]), ValueError),
        (lambda: Contract([("2026-01-01", "v", "+", 1.0, "USD")]), TypeError),
    ],
)
def test_bad_template_arguments_are_refused(make, error):
    with pytest.raises(error):
        make()
