"""kestro.pricing and kestro.market: the one-call pricing, model dispatch, settings, statistics and refusals."""

import math

import numpy as np
import pytest

import kestro.pricing
from kestro.market import Market, forward_curve, zero_curve
from kestro.paths import GbmPaths
from kestro.pricing import ALL_STATS, price, price_with_stats
from kestro.recorder import Recorder
from kestro.templates import (
    american_put,
    digital_call,
    european_call,
    european_put,
    fixed_rate_bond,
    knock_out_call,
    zero_coupon_bond,
)
from kestro.clock import DEFAULT_START, YEAR_MS, to_ms
from kestro.events import timetable

P = to_ms(DEFAULT_START)
MARKET = Market.flat(rate=0.05, spots={"STK": 100.0})


def test_an_american_put_prices_in_three_lines():
    put = american_put(strike=100, years=1.0, asset="STK")
    value = price(put, Market.flat(rate=0.05, spots={"STK": 100.0}), model="black_scholes", vol=0.2)
    assert value == pytest.approx(6.0887, abs=1e-3)


# Dispatch and settings


class Spy:
    """Stands in for one engine function and keeps the arguments of its calls."""

    def __init__(self):
        self.calls = []

    def __call__(self, events, state, dataset, expressions):
        self.calls.append((events, state, dataset, expressions))
        return 1.25


@pytest.mark.parametrize(
    "model, function, settings, sections",
    [
        ("fixed", "fixed_price", {"flags": 9}, {"FIXED": {"FLAGS": 9}}),
        ("monte_carlo", "mc_price", {"paths": 64, "seed": 7, "flags": 1, "exercise": "pathwise"},
         {"MC": {"PATHS": 64, "SEED": 7, "FLAGS": 1}}),
        ("black_scholes", "fd_blackscholes_price",
         {"vol": 0.3, "n_x": 50, "max_x": 2.0, "timestep": 0.01, "damping": 1, "flags": 2},
         {"FD": {"N_X": 50, "MAX_X": 2.0, "TIMESTEP": 0.01, "DAMPING_STEPS": 1, "FLAGS": 2},
          "BS": {"VOL": 0.3, "ASSET": "STK"}}),
        ("hull_white", "fd_hullwhite_price", {"vol": 0.01, "meanrev": 0.2, "n_x": 30, "max_x": 0.1, "timestep": 0.25,
                                              "damping": 0},
         {"FD": {"N_X": 30, "MAX_X": 0.1, "TIMESTEP": 0.25, "DAMPING_STEPS": 0, "FLAGS": 0},
          "HW": {"MEANREV": 0.2, "VOL": 0.01}}),
    ],
)
def test_each_model_calls_its_engine_function_with_the_settings_in_its_section(monkeypatch, model, function, settings,
                                                                                sections):
    spy = Spy()
    monkeypatch.setattr(kestro.pricing._kestro, function, spy)
    put = european_put(100, 2.0)
    state = Recorder() if model == "monte_carlo" else None
    assert price(put, MARKET, model, state=state, **settings) == 1.25
    ((events, passed_state, dataset, expressions),) = spy.calls
    # Monte Carlo wraps the caller's state to keep "PV_VEC" for the standard error.
    passed = passed_state.source if model == "monte_carlo" else passed_state
    assert events is put.events and expressions is put.expressions and passed is state
    assert dataset["BASE"] == "USD" and dataset["PRICING_TS"] == P
    assert set(dataset["ASSETS"]) == {"USD", "STK"}
    for section, keys in sections.items():
        assert dataset[section] == keys


def test_grid_defaults_span_six_standard_deviations_over_the_contract_life(monkeypatch):
    spy = Spy()
    monkeypatch.setattr(kestro.pricing._kestro, "fd_blackscholes_price", spy)
    monkeypatch.setattr(kestro.pricing._kestro, "fd_hullwhite_price", spy)
    price(european_put(100, 4.0), MARKET, "black_scholes", vol=0.2)
    price(zero_coupon_bond(4.0), MARKET, "hull_white", vol=0.01, meanrev=0.1)
    bs, hw = (call[2] for call in spy.calls)
    # ln S spreads by σ√T and drifts by (r − σ²/2)T.
    assert bs["FD"]["MAX_X"] == pytest.approx(6 * 0.2 * 2 + (0.05 - 0.02) * 4)
    assert hw["FD"]["MAX_X"] == pytest.approx(6 * 0.01 * math.sqrt((1 - math.exp(-0.8)) / 0.2))


def test_models_differ_where_their_dynamics_differ():
    put = european_put(100, 1.0)
    fixed = price(put, MARKET, "fixed")  # the forward 105.1 is above the strike
    assert fixed == 0.0
    assert price(put, MARKET, "hull_white", vol=0.01, meanrev=0.1) == pytest.approx(0.0, abs=1e-12)
    grid = price(put, MARKET, "black_scholes", vol=0.2)
    paths = price(put, MARKET, "monte_carlo", vol=0.2, paths=20_000)
    assert grid == pytest.approx(5.5735, abs=1e-3)
    assert paths == pytest.approx(grid, abs=0.2)


def test_grid_settings_change_the_grid_price():
    put = american_put(100, 1.0)
    fine = price(put, MARKET, "black_scholes", vol=0.2)
    coarse = price(put, MARKET, "black_scholes", vol=0.2, n_x=20, timestep=0.05)
    assert coarse != pytest.approx(fine, abs=1e-3)
    assert price(put, MARKET, "black_scholes", vol=0.4) > fine + 1


def test_volatility_can_come_from_the_market():
    market = Market.flat(rate=0.05, spots={"STK": 100.0}, vols={"STK": 0.2})
    put = european_put(100, 1.0)
    assert price(put, market, "black_scholes") == price(put, MARKET, "black_scholes", vol=0.2)
    assert price(put, market, "monte_carlo", paths=500) == price(put, MARKET, "monte_carlo", vol=0.2, paths=500)
    # A plain timetable names no assets: every asset with a volatility diffuses.
    assert price(put.events, market, "monte_carlo", paths=500) == price(put, market, "monte_carlo", paths=500)


def test_monte_carlo_default_paths_are_seeded_and_a_given_state_is_restarted_for_each_call():
    call = european_call(100, 1.0)
    first, again = (price(call, MARKET, "monte_carlo", vol=0.2, paths=2000) for _ in range(2))
    other_seed = price(call, MARKET, "monte_carlo", vol=0.2, paths=2000, seed=1)
    assert first == again != other_seed
    state = GbmPaths(forwards={"STK": MARKET.forwards["STK"]}, vols={"STK": 0.2}, paths=2000, seed=0)
    # The state's path count becomes PATHS; its reset() rewinds it, so a second call is not refused.
    assert price(call, MARKET, "monte_carlo", state=state) == first
    assert price(call, MARKET, "monte_carlo", state=state) == first


def test_a_contract_without_assets_prices_under_monte_carlo_on_the_curves():
    bond = fixed_rate_bond(0.04, 3.0)
    # Every path carries the curve's values; only the rounding of the mean over 10000 paths differs.
    assert price(bond, MARKET, "monte_carlo") == pytest.approx(price(bond, MARKET, "fixed"), rel=1e-12)


def test_a_plain_timetable_prices_like_a_contract():
    events = timetable([(P + YEAR_MS, "v", "+", 100.0, "USD")])
    assert price(events, MARKET) == pytest.approx(100 * math.exp(-0.05), rel=1e-14)


# Statistics


@pytest.mark.parametrize(
    "model, settings, values",
    [("fixed", {}, 1), ("monte_carlo", {"vol": 0.2, "paths": 300}, 300), ("black_scholes", {"vol": 0.2, "n_x": 40}, 81)],
)
def test_price_with_stats_returns_every_statistic_by_default(model, settings, values):
    put = european_put(110, 1.0)
    result = price_with_stats(put, MARKET, model, **settings)
    assert result.price == price(put, MARKET, model, **settings)
    assert set(result.stats) == {"PV_VEC", "CHOICES", "CASHFLOW"}
    assert result.stats["PV_VEC"].shape == (values,)
    assert set(result.stats["CHOICES"]) == {1}  # the ">" row of the three
    if model != "black_scholes":  # path-wise cashflows are present values that add up to the price per path
        flows = sum(result.stats["CASHFLOW"][0].values())
        assert np.allclose(flows, result.stats["PV_VEC"], rtol=1e-12)


@pytest.mark.parametrize("model, settings", [("monte_carlo", {"vol": 0.2, "paths": 300}),
                                             ("black_scholes", {"vol": 0.2, "n_x": 40})])
def test_results_with_array_statistics_compare_by_value(model, settings):
    put = european_put(110, 1.0)
    first, again = price_with_stats(put, MARKET, model, **settings), price_with_stats(put, MARKET, model, **settings)
    assert first == again and first == (again.price, again.stats)
    other = price_with_stats(european_put(100, 1.0), MARKET, model, **settings)
    assert first != other and first != (first.price, {**first.stats, "PV_VEC": first.stats["PV_VEC"][:-1]})


def test_price_with_stats_sends_only_the_flagged_statistics_and_also_feeds_the_callers_state():
    bond = zero_coupon_bond(1.0)
    assert price_with_stats(bond, MARKET, flags=0).stats == {}
    mine = Recorder()
    result = price_with_stats(bond, MARKET, state=mine, flags=8)
    assert set(result.stats) == {"CASHFLOW"} and set(mine.stats) == {"CASHFLOW"}
    assert ALL_STATS == 11


# Market and dataset


def test_flat_market_forwards_grow_at_the_rate_less_the_dividend_from_the_spot():
    market = Market.flat(rate=0.03, spots={"A": 50.0, "B": 10.0}, dividends={"A": 0.01}, horizon=20)
    assert market.forward("A", 0.0) == pytest.approx(50.0, rel=1e-15)
    assert market.forward("A", 7.0) == pytest.approx(50 * math.exp(0.02 * 7), rel=1e-13)
    assert market.forward("B", 7.0) == pytest.approx(10 * math.exp(0.03 * 7), rel=1e-13)
    assert market.forward("USD", 7.0) == 1.0
    assert market.discount_factor(7.0) == pytest.approx(math.exp(-0.21), rel=1e-13)
    # The engine reads the same curves.
    forward = timetable([(P + 7 * YEAR_MS, "v", "+", 1.0, "A")])
    assert price(forward, market) == pytest.approx(market.forward("A", 7.0) * market.discount_factor(7.0), rel=1e-13)
    with pytest.raises(ValueError):
        market.discount_factor(20.5)


def test_market_from_explicit_curves_and_any_pricing_time():
    market = Market(base="EUR", pricing_time="2030-06-30", discount=zero_curve([1.0, 5.0], [0.02, 0.03]),
                    forwards={"X": forward_curve([0.0, 5.0], [3.0, 3.3])})
    assert market.pricing_time == to_ms("2030-06-30")
    data = market.dataset("fixed")
    assert data["BASE"] == "EUR" and data["PRICING_TS"] == market.pricing_time
    kind, curve = data["ASSETS"]["EUR"]
    assert kind == "ZERO_RATES" and curve.dtype == np.float64 and curve.tolist() == [[1.0, 5.0], [0.02, 0.03]]
    assert data["ASSETS"]["X"][0] == "FORWARDS"
    bond = zero_coupon_bond(0.5, currency="EUR", start="2030-06-30")
    assert price(bond, market) == pytest.approx(100 * math.exp(-0.01), rel=1e-13)  # before the first point: r·t from 0


@pytest.mark.parametrize(
    "build, error",
    [
        (lambda: zero_curve([0.0, 1.0], [0.01]), ValueError),
        (lambda: zero_curve([1.0, 1.0], [0.01, 0.02]), ValueError),
        (lambda: zero_curve([0.0], [0.01]), ValueError),
        (lambda: zero_curve([0.0, math.nan], [0.01, 0.02]), ValueError),
        (lambda: forward_curve([0.0, 1.0], [100.0, -1.0]), ValueError),
        (lambda: Market(discount=("ZERO_RATES", [[0.0, 1.0], [0.01, 0.01]])), TypeError),
        (lambda: Market(forwards={"USD": forward_curve([0.0, 1.0], [1.0, 1.0])}), ValueError),
        (lambda: Market(pricing_time=1.5), TypeError),
        (lambda: Market.flat(spots={"STK": 0.0}), ValueError),
        (lambda: Market.flat(dividends={"OTHER": 0.01}), ValueError),
        (lambda: Market.flat(horizon=0), ValueError),
    ],
)
def test_malformed_market_data_is_refused(build, error):
    with pytest.raises(error):
        build()


@pytest.mark.parametrize(
    "model, settings, error, message",
    [
        ("binomial", {}, ValueError, "unknown model 'binomial'"),
        ("fixed", {"vol": 0.2}, TypeError, "unknown setting 'vol' for model 'fixed'"),
        ("black_scholes", {"vol": 0.2, "N_X": 10}, TypeError, "unknown setting 'N_X'"),
        ("fixed", {"flags": 16}, ValueError, "flags must lie between 0 and 15"),
        ("fixed", {"flags": 1.0}, TypeError, "flags must be an integer"),
        ("monte_carlo", {"paths": 0, "vol": 0.2}, ValueError, "paths must be at least 1"),
        ("black_scholes", {}, TypeError, "needs vol="),
        ("black_scholes", {"vol": -0.1}, ValueError, "vol must not be negative"),
        ("black_scholes", {"vol": 0.2, "asset": "OTHER"}, ValueError, "asset 'OTHER' has no forward curve"),
        ("black_scholes", {"vol": 0.2, "n_x": 0}, ValueError, "n_x must be at least 1"),
        ("black_scholes", {"vol": 0.2, "timestep": 0.0}, ValueError, "timestep must be at least one millisecond"),
        ("black_scholes", {"vol": 0.2, "max_x": -1.0}, ValueError, "max_x must be positive"),
        ("hull_white", {"vol": 0.01}, TypeError, "needs meanrev="),
        ("hull_white", {"vol": 0.01, "meanrev": -0.1}, ValueError, "meanrev must not be negative"),
        ("hull_white", {"vol": 0.01, "meanrev": 0.1, "timestep": 3e8}, ValueError, "timestep must be below 2"),
        ("monte_carlo", {}, ValueError, "monte_carlo needs a volatility for STK"),
        ("monte_carlo", {"vol": {"STK": 0.2, "XYZ": 0.3}}, ValueError, "no forward curve for XYZ"),
    ],
)
def test_bad_models_and_settings_are_refused_before_the_engine_runs(model, settings, error, message):
    with pytest.raises(error, match=message):
        price(european_put(100, 1.0), MARKET, model, **settings)


def test_monte_carlo_settings_that_contradict_the_given_state_are_refused():
    state = GbmPaths(forwards={"STK": MARKET.forwards["STK"]}, vols={"STK": 0.2}, paths=100)
    with pytest.raises(ValueError, match="paths=50 but the state serves 100 paths"):
        price(european_put(100, 1.0), MARKET, "monte_carlo", state=state, paths=50)
    with pytest.raises(TypeError, match="vol sets up the default GBM paths"):
        price(european_put(100, 1.0), MARKET, "monte_carlo", state=state, vol=0.2)


def test_the_black_scholes_asset_must_be_named_when_the_market_has_several():
    market = Market.flat(spots={"A": 1.0, "B": 2.0})
    with pytest.raises(ValueError, match="say which asset"):
        price(zero_coupon_bond(1.0), market, "black_scholes", vol=0.2)
    assert price(zero_coupon_bond(1.0), market, "black_scholes", vol=0.2, asset="B") == pytest.approx(
        100 * math.exp(-0.05), rel=1e-6)


@pytest.mark.parametrize("model, settings", [("black_scholes", {"vol": 0.2}), ("hull_white", {"vol": 0.01, "meanrev": 0.1})])
def test_grid_models_refuse_contracts_with_expressions(model, settings):
    with pytest.raises(ValueError, match="cannot evaluate phrases or snappers"):
        price(digital_call(100, 1.0), MARKET, model, **settings)
    with pytest.raises(ValueError, match="cannot evaluate"):
        price(knock_out_call(100, 120, 1.0, direction="up"), MARKET, model, **settings)


def test_contracts_that_start_before_the_pricing_time_or_are_empty_are_refused():
    # A contract agreed earlier prices as long as its events lie ahead: this put expires on 2026-06-01.
    assert price(european_put(100, 1.0, start="2025-06-01"), MARKET, "fixed") == 0.0
    daily = american_put(100, 1.0, start="2025-12-31")
    with pytest.raises(ValueError, match="before the market's pricing time"):
        price(daily, MARKET, "black_scholes", vol=0.2)
    with pytest.raises(ValueError, match="no events"):
        price(timetable([]), MARKET)
    with pytest.raises(TypeError, match="kestro.Contract"):
        price([(P, "v", "+", 1.0, "USD")], MARKET)
    with pytest.raises(TypeError, match="kestro.Market"):
        price(zero_coupon_bond(1.0), MARKET.dataset("fixed"))


def test_a_curve_too_short_for_the_contract_names_the_curve_and_its_range():
    short = Market.flat(rate=0.05, spots={"STK": 100.0}, horizon=1.0)
    with pytest.raises(ValueError, match=r"the USD discount curve covers 0 to 1 years .* 2028-01-01T00:00:00Z "
                                         r"\(2 years\): extend the curve to at least 2 years"):
        price(zero_coupon_bond(2.0), short)
