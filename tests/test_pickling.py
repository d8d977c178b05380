"""Everything that travels to a worker pickles with plain pickle and prices the same afterwards:
every template (phrases and snappers included), markets, path sources, prices and results."""

import pickle

import numpy as np
import pytest

import kestro
from kestro import templates

MARKET = kestro.Market.flat(rate=0.05, spots={"STK": 100.0}, vols={"STK": 0.2})
HULL_WHITE = dict(vol=0.01, meanrev=0.1)

# Every template, with the model that prices it here (templates with expressions on paths).
CONTRACTS = {
    "zero_coupon_bond": (lambda: kestro.zero_coupon_bond(2.0), "fixed", {}),
    "fixed_rate_bond": (lambda: kestro.fixed_rate_bond(0.04, 3.0), "fixed", {}),
    "floating_rate_leg": (lambda: kestro.floating_rate_leg(2.0), "fixed", {}),
    "interest_rate_swap": (lambda: kestro.interest_rate_swap(0.04, 3.0), "fixed", {}),
    "european_call": (lambda: kestro.european_call(100, 1.0), "black_scholes", {}),
    "european_put": (lambda: kestro.european_put(100, 1.0), "black_scholes", {}),
    "bermudan_call": (lambda: kestro.bermudan_call(100, [0.5, 1.0]), "black_scholes", {}),
    "bermudan_put": (lambda: kestro.bermudan_put(100, [0.5, 1.0]), "monte_carlo", {"paths": 2000}),
    "american_call": (lambda: kestro.american_call(100, 0.25), "black_scholes", {}),
    "american_put": (lambda: kestro.american_put(100, 0.25), "black_scholes", {}),
    "digital_call": (lambda: kestro.digital_call(100, 1.0), "monte_carlo", {"paths": 2000}),
    "digital_put": (lambda: kestro.digital_put(100, 1.0), "monte_carlo", {"paths": 2000}),
    "knock_out_call": (lambda: kestro.knock_out_call(100, 120, 0.25, direction="up"), "monte_carlo", {"paths": 2000}),
    "knock_out_put": (lambda: kestro.knock_out_put(100, 80, 0.25, direction="down"), "monte_carlo", {"paths": 2000}),
    "bond_option": (lambda: kestro.bond_option(0.9, 1.0, 3.0), "hull_white", HULL_WHITE),
    "bermudan_swaption": (lambda: kestro.bermudan_swaption(0.05, [1, 2], 3),
                          "monte_carlo", {"state": kestro.HullWhitePaths(MARKET.discount, 0.1, 0.01, paths=1000)}),
}


def roundtrip(value):
    return pickle.loads(pickle.dumps(value))


def test_every_template_is_covered():
    assert set(CONTRACTS) == set(templates.__all__) - {"Contract", "Terms", "CLOSED_FORM_KINDS"}


@pytest.mark.parametrize("name", sorted(CONTRACTS))
def test_template_pickles_and_prices_the_same(name):
    make, model, settings = CONTRACTS[name]
    contract = make()
    copy = roundtrip(contract)
    assert copy.events.equals(contract.events) and copy.tracks == contract.tracks
    assert set(copy.expressions) == set(contract.expressions)
    expected = kestro.price(contract, MARKET, model, **settings)
    assert float(kestro.price(copy, MARKET, model, **settings)) == float(expected)


def test_market_pickles_with_its_curves_and_vols():
    copy = roundtrip(MARKET)
    assert copy.pricing_time == MARKET.pricing_time and copy.vols == MARKET.vols
    assert np.array_equal(copy.discount[1], MARKET.discount[1])
    assert copy.forward("STK", 2.0) == MARKET.forward("STK", 2.0)


@pytest.mark.parametrize("source", [
    kestro.GbmPaths({"STK": (100.0, 0.05, 0.01)}, {"STK": 0.2}, paths=8, seed=4),
    kestro.GbmPaths({"STK": MARKET.forwards["STK"]}, {"STK": 0.2}, paths=8, seed=4, discount=MARKET.discount),
    kestro.HullWhitePaths(MARKET.discount, 0.1, 0.01, paths=8, seed=4),
], ids=["gbm spot-rate-dividend", "gbm curves", "hull-white"])
def test_path_sources_pickle_and_draw_the_same_paths(source):
    copy = roundtrip(source)
    name = "STK" if isinstance(source, kestro.GbmPaths) else "SHORT_RATE"
    for x in (0.25, 1.0):
        assert np.array_equal(np.atleast_1d(copy.advance(x)), np.atleast_1d(source.advance(x)))
        assert np.array_equal(copy.get_value(name), source.get_value(name))


def test_price_and_price_result_pickle_with_what_they_carry():
    result = kestro.price_with_stats(kestro.american_put(100, 0.25), MARKET, "black_scholes", flags=1)
    copy = roundtrip(result)
    assert float(copy.price) == float(result.price) and copy.grid == result.grid and copy.model == "black_scholes"
    assert np.array_equal(copy.stats["PV_VEC"], result.stats["PV_VEC"]) and copy.contract.events.equals(
        result.contract.events)
    mc = kestro.price(kestro.european_put(100, 1.0), MARKET, "monte_carlo", paths=1000, upper_bound=True)
    again = roundtrip(mc)
    assert (again.standard_error, again.exercise, float(again.upper_bound)) == \
        (mc.standard_error, mc.exercise, float(mc.upper_bound))
