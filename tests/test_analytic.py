"""kestro.analytic: closed-form prices, greeks and implied vols against QuantLib, identities and the grid."""

import itertools
import math

import numpy as np
import pytest
import QuantLib as ql

import kestro
from kestro import analytic
from kestro.analytic.normal import normal_cdf, normal_cdf_pair, normal_pdf
from kestro.templates import Contract, Terms

SPOT, RATE, DIVIDEND = 100.0, 0.05, 0.02
STRIKES = [50.0, 80.0, 100.0, 120.0, 150.0]
VOLS = [0.05, 0.2, 0.8]
DAYS = [1, 30, 365, 3650]
GRID = list(itertools.product(STRIKES, VOLS, DAYS, [True, False]))
TODAY = ql.Date(1, 1, 2026)
DAY_COUNT = ql.Actual365Fixed()


def ql_option(strike, vol, days, call, digital, spot=SPOT, rate=RATE, dividend=DIVIDEND):
    """QuantLib's analytic European engine on flat curves, expiring `days` after today (T = days / 365)."""
    ql.Settings.instance().evaluationDate = TODAY
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(spot)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, dividend, DAY_COUNT)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, rate, DAY_COUNT)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, ql.NullCalendar(), vol, DAY_COUNT)))
    kind = ql.Option.Call if call else ql.Option.Put
    payoff = ql.CashOrNothingPayoff(kind, strike, 1.0) if digital else ql.PlainVanillaPayoff(kind, strike)
    option = ql.VanillaOption(payoff, ql.EuropeanExercise(TODAY + days))
    option.setPricingEngine(ql.AnalyticEuropeanEngine(process))
    return option


def assert_close(name, calculated, expected, rel, scale):
    """Elementwise |calculated - expected| <= rel * max(|expected|, 1e-3 scale); the message shows the worst."""
    calculated, expected = np.asarray(calculated, float), np.asarray(expected, float)
    tolerance = rel * np.maximum(np.abs(expected), 1e-3 * np.asarray(scale, float))
    excess = np.abs(calculated - expected) / tolerance
    worst = int(np.argmax(excess))
    allowed = np.broadcast_to(tolerance, excess.shape).flat[worst]
    assert excess.flat[worst] <= 1.0, (f"{name}[{worst}]: calculated {calculated.flat[worst]!r}, expected "
                                       f"{expected.flat[worst]!r}, tolerance {allowed:.3g}")


# Prices and greeks


@pytest.mark.parametrize("digital", [False, True], ids=["vanilla", "digital"])
def test_black_scholes_prices_and_greeks_match_quantlib(digital):
    strike, vol, days, call = (np.array(column) for column in zip(*GRID))
    years = days / 365.0
    formula = analytic.black_scholes_digital_greeks if digital else analytic.black_scholes_greeks
    ours = formula(SPOT, strike, years, vol, RATE, DIVIDEND, call)
    options = [ql_option(*point, digital) for point in GRID]
    # QuantLib takes ln(F / K) from its rounded forward: near-the-money short-dated digital greeks lose up to
    # 1e-9 there, so digitals are held to 1e-8 (the PDE test below holds them to 1e-11).
    rel = 1e-8 if digital else 1e-10
    size = 1.0 / SPOT if digital else 1.0
    scales = {"price": SPOT, "delta": 1.0, "gamma": 1.0 / SPOT, "vega": SPOT, "theta": SPOT, "rho": SPOT * years,
              "dividend_rho": SPOT * years}
    for name, method in [("price", "NPV"), ("delta", "delta"), ("gamma", "gamma"), ("vega", "vega"),
                         ("theta", "theta"), ("rho", "rho"), ("dividend_rho", "dividendRho")]:
        expected = [getattr(option, method)() for option in options]
        assert_close(name, getattr(ours, name), expected, rel, size * scales[name])


@pytest.mark.parametrize("digital", [False, True], ids=["vanilla", "digital"])
def test_black76_price_forward_delta_gamma_and_vega_match_quantlibs_black_calculator(digital):
    forwards, discount = [60.0, 100.0, 140.0], 0.93
    points = list(itertools.product(forwards, STRIKES, VOLS, [1 / 365, 0.5, 10.0], [True, False]))
    forward, strike, vol, years, call = (np.array(column) for column in zip(*points))
    ours = (analytic.black_digital_greeks if digital else analytic.black_greeks)(forward, strike, years, vol, discount,
                                                                                 call)
    expected = {name: [] for name in ("price", "forward_delta", "forward_gamma", "vega")}
    for f, k, v, t, c in points:
        kind = ql.Option.Call if c else ql.Option.Put
        payoff = ql.CashOrNothingPayoff(kind, k, 1.0) if digital else ql.PlainVanillaPayoff(kind, k)
        calculator = ql.BlackCalculator(payoff, f, v * math.sqrt(t), discount)
        for name, value in zip(expected, (calculator.value(), calculator.deltaForward(), calculator.gammaForward(),
                                          calculator.vega(t))):
            expected[name].append(value)
    rel = 1e-8 if digital else 1e-10
    for name, scale in (("price", 100.0), ("forward_delta", 1.0), ("forward_gamma", 0.01), ("vega", 100.0)):
        assert_close(name, getattr(ours, name), expected[name], rel, scale / (100.0 if digital else 1.0))


def test_black76_matches_a_reference_on_math_erf_far_into_the_wings():
    # QuantLib's blackFormula loses up to 5e-10 of the far wings' prices; math.erfc keeps them, and near the
    # money with little variance math.erf keeps the difference of two Ns that are both about one half.
    def reference(forward, strike, std_dev, discount, call):
        d1 = math.log(forward / strike) / std_dev + std_dev / 2
        d2 = d1 - std_dev
        w = 1 if call else -1
        if abs(d1) < 1 and abs(d2) < 1:
            half = lambda z: 0.5 * math.erf(z / math.sqrt(2.0))  # noqa: E731  N(z) - 1/2
            return discount * (w * (forward - strike) / 2 + forward * half(d1) - strike * half(d2))
        cdf = lambda z: 0.5 * math.erfc(-z / math.sqrt(2.0))  # noqa: E731
        return discount * w * (forward * cdf(w * d1) - strike * cdf(w * d2))

    strike = np.array([1.0, 10.0, 50.0, 99.0, 100.0, 101.0, 200.0, 1000.0, 10000.0])
    for std_dev, call in itertools.product([1e-3, 0.05, 0.3, 1.0, 3.0], [True, False]):
        ours = analytic.black_price(100.0, strike, 1.0, std_dev, 0.9, call)
        expected = [reference(100.0, k, std_dev, 0.9, call) for k in strike]
        assert_close(f"std_dev {std_dev}", ours, expected, 1e-13, 1e-9)


@pytest.mark.parametrize("digital", [False, True], ids=["vanilla", "digital"])
def test_greeks_satisfy_the_black_scholes_equation(digital):
    # theta + (r - q) S delta + vol^2 S^2 gamma / 2 = r V, for any payoff at expiry.
    strike, vol, days, call = (np.array(column) for column in zip(*GRID))
    years = days / 365.0
    g = (analytic.black_scholes_digital_greeks if digital else analytic.black_scholes_greeks)(
        SPOT, strike, years, vol, RATE, DIVIDEND, call)
    terms = [g.theta, (RATE - DIVIDEND) * SPOT * g.delta, 0.5 * vol**2 * SPOT**2 * g.gamma, -RATE * g.price]
    scale = np.maximum(sum(np.abs(term) for term in terms), 1e-300)  # all 0 far out of the money a day out
    assert np.max(np.abs(sum(terms)) / scale) < 1e-11


def test_black76_theta_and_rho_are_the_derivatives_in_time_and_rate_with_the_forward_held():
    forward, strike, vol, years, rate, h = 103.0, np.array([80.0, 100.0, 125.0]), 0.3, 0.75, 0.04, 1e-5
    for call, greeks in itertools.product([True, False], [analytic.black_greeks, analytic.black_digital_greeks]):
        g = greeks(forward, strike, years, vol, math.exp(-rate * years), call)

        def value(t, r):
            return greeks(forward, strike, t, vol, math.exp(-r * t), call).price

        theta = -(value(years + h, rate) - value(years - h, rate)) / (2 * h)
        rho = (value(years, rate + h) - value(years, rate - h)) / (2 * h)
        np.testing.assert_allclose(g.theta, theta, rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(g.rho, rho, rtol=1e-7, atol=1e-9)


def test_put_call_parity_holds_from_deep_in_to_deep_out_of_the_money():
    strike = np.geomspace(1.0, 10_000.0, 41)[:, None]
    years, vol = np.array([1 / 365, 0.5, 10.0])[:, None, None], np.array([0.01, 0.3, 3.0])
    call = analytic.black_price(100.0, strike, years, vol, 0.8, True)
    put = analytic.black_price(100.0, strike, years, vol, 0.8, False)
    parity = np.broadcast_to(0.8 * (100.0 - strike), call.shape)
    np.testing.assert_allclose(call - put, parity, rtol=0, atol=1e-12 * 0.8 * strike.max())
    digital = (analytic.black_digital_price(100.0, strike, years, vol, 0.8, True)
               + analytic.black_digital_price(100.0, strike, years, vol, 0.8, False))
    np.testing.assert_allclose(digital, 0.8, rtol=1e-15)


# Edge cases


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
def test_without_variance_a_vanilla_is_worth_its_discounted_intrinsic_value_on_the_forward(call):
    forward = np.array([80.0, 100.0, 125.0])
    at_expiry = analytic.black_price(forward, 100.0, 0.0, 0.3, 1.0, call)
    no_vol = analytic.black_price(forward, 100.0, 2.0, 0.0, 0.9, call)
    intrinsic = np.maximum((forward - 100.0) * (1 if call else -1), 0.0)
    np.testing.assert_array_equal(at_expiry, intrinsic)
    np.testing.assert_allclose(no_vol, 0.9 * intrinsic, rtol=1e-15)
    spot = analytic.black_scholes_price(forward, 100.0, 0.0, 0.3, RATE, DIVIDEND, call)
    np.testing.assert_array_equal(spot, intrinsic)


def test_without_variance_a_digital_pays_only_strictly_in_the_money():
    forward = np.array([99.0, 100.0, 101.0])
    np.testing.assert_array_equal(analytic.black_digital_price(forward, 100.0, 0.0, 0.2, 1.0, True), [0, 0, 1])
    np.testing.assert_array_equal(analytic.black_digital_price(forward, 100.0, 1.0, 0.0, 0.5, False), [0.5, 0, 0])


def test_greeks_without_variance_are_the_limits_as_the_variance_vanishes():
    forward = np.array([90.0, 100.0, 110.0])
    g = analytic.black_greeks(forward, 100.0, 0.0, 0.2, 1.0, True)
    np.testing.assert_array_equal(g.forward_delta, [0.0, 0.5, 1.0])
    np.testing.assert_array_equal(g.forward_gamma, [0.0, np.inf, 0.0])
    np.testing.assert_array_equal(g.theta, [0.0, -np.inf, 0.0])
    vanishing = analytic.black_greeks(forward, 100.0, 1e-16, 0.2, 1.0, True)
    np.testing.assert_allclose(vanishing.forward_delta, g.forward_delta, atol=1e-8)


def test_finite_inputs_never_give_nan():
    axes = dict(spot=[1e-3, 100.0, 1e6], strike=[1e-3, 100.0, 1e6], years=[0.0, 1e-12, 1.0, 100.0],
                vol=[0.0, 1e-12, 0.2, 1e3, 1e150, 1e308], rate=[-0.05, 0.0, 0.05], call=[True, False])
    points = [np.array(column) for column in zip(*itertools.product(*axes.values()))]
    spot, strike, years, vol, rate, call = points
    for formula in (analytic.black_scholes_greeks, analytic.black_scholes_digital_greeks):
        for name, value in formula(spot, strike, years, vol, rate, 0.01, call)._asdict().items():
            assert not np.isnan(value).any(), f"{formula.__name__}.{name} is NaN at {np.argmax(np.isnan(value))}"
    for formula in (analytic.black_greeks, analytic.black_digital_greeks):
        for name, value in formula(spot, strike, years, vol, np.exp(-rate), call)._asdict().items():
            assert not np.isnan(value).any(), f"{formula.__name__}.{name} is NaN at {np.argmax(np.isnan(value))}"


@pytest.mark.parametrize("arguments, message", [
    (dict(vol=-0.2), "vol must be zero or more, got -0.2"),
    (dict(strike=[100.0, 0.0]), "strike must be positive, got 0.0 at index 1"),
    (dict(forward=-1.0), "forward must be positive"),
    (dict(years=-1.0), "years must be zero or more"),
    (dict(discount=0.0), "discount must be positive"),
    (dict(vol=float("nan")), "vol must be finite"),
    (dict(strike=np.ones((2, 3)), vol=np.ones(2)), "do not broadcast"),
])
def test_out_of_range_arguments_raise_value_error_naming_them(arguments, message):
    values = dict(forward=100.0, strike=100.0, years=1.0, vol=0.2, discount=1.0) | arguments
    with pytest.raises(ValueError, match=message):
        analytic.black_price(**values)


@pytest.mark.parametrize("arguments", [dict(strike="100"), dict(vol=True), dict(call=1), dict(call="put")])
def test_arguments_of_the_wrong_type_raise_type_error(arguments):
    values = dict(forward=100.0, strike=100.0, years=1.0, vol=0.2, discount=1.0) | arguments
    with pytest.raises(TypeError):
        analytic.black_price(**values)


def test_rates_whose_exponential_leaves_floating_point_are_refused():
    with pytest.raises(ValueError, match=r"rate \* years is 1000.0 at index 1"):
        analytic.black_scholes_price(100.0, 100.0, [1.0, 100.0], 0.2, 10.0)


def test_scalars_give_floats_and_arrays_broadcast():
    assert type(analytic.black_price(100.0, 100.0, 1.0, 0.2)) is float
    assert type(analytic.implied_vol(8.0, 100.0, 100.0, 1.0)) is float
    prices = analytic.black_price(100.0, np.array([[90.0], [110.0]]), [0.5, 1.0, 2.0], 0.2, call=[[True], [False]])
    assert prices.shape == (2, 3)
    assert prices[0, 2] == pytest.approx(analytic.black_price(100.0, 90.0, 2.0, 0.2), rel=1e-15)
    assert prices[1, 0] == pytest.approx(analytic.black_price(100.0, 110.0, 0.5, 0.2, call=False), rel=1e-15)


@pytest.mark.parametrize("digital", [False, True], ids=["vanilla", "digital"])
def test_scalars_take_a_plain_python_path_that_agrees_with_the_arrays(digital):
    axes = [[1e-3, 60.0, 99.999, 100.0, 100.001, 150.0, 1e5], [0.0, 1 / 8760, 1 / 365, 1.0, 30.0],
            [0.0, 1e-4, 0.2, 3.0, 1e200], [True, False]]
    strike, years, vol, call = (np.array(column) for column in zip(*itertools.product(*axes)))
    forward_formula = analytic.black_digital_price if digital else analytic.black_price
    spot_formula = analytic.black_scholes_digital_price if digital else analytic.black_scholes_price
    arrays = forward_formula(100.0, strike, years, vol, 0.9, call), spot_formula(100.0, strike, years, vol, 0.04,
                                                                                  0.01, call)
    for i in range(strike.size):
        one = (strike[i].item(), years[i].item(), vol[i].item())
        scalars = forward_formula(100.0, *one, 0.9, bool(call[i])), spot_formula(100.0, *one, 0.04, 0.01, bool(call[i]))
        for array, scalar in zip(arrays, scalars):
            assert type(scalar) is float
            # Far out of the money with little variance both paths subtract two nearly equal tails, each with its
            # own rounding: there they agree to the rounding of the forward's size, 1e-15 of it.
            assert scalar == pytest.approx(array[i], rel=1e-13, abs=1e-13), (one, bool(call[i]))


def test_large_arrays_evaluated_block_by_block_equal_the_elementwise_results():
    rng = np.random.default_rng(5)
    size = 3 * analytic_block() + 17
    strike, vol = rng.uniform(50, 150, size), rng.uniform(0.05, 0.8, size)
    call = strike > 100.0  # out of the money, where the price determines the vol
    prices = analytic.black_price(100.0, strike, 1.0, vol, 0.97, call)
    blocks = analytic.black_price(100.0, strike[:, None], 1.0, vol[:, None], 0.97, call[:, None])[:, 0]
    np.testing.assert_array_equal(prices, blocks)  # in blocks along another axis
    for i in [0, size // 2, size - 1]:
        assert prices[i] == analytic.black_price(100.0, strike[i:i + 1], 1.0, vol[i:i + 1], 0.97, call[i:i + 1])[0]
    np.testing.assert_allclose(analytic.implied_vol(prices, 100.0, strike, 1.0, 0.97, call), vol, rtol=1e-10)


def analytic_block():
    from kestro.analytic.arrays import BLOCK
    return BLOCK


# The normal distribution


def test_normal_distribution_is_accurate_relative_to_its_value_in_both_tails():
    z = np.concatenate([np.linspace(-37.0, 37.0, 7401), [-1e-300, 0.0, 1e-300]])
    cdf, mirrored = normal_cdf_pair(z)
    expected = np.array([0.5 * math.erfc(-x / math.sqrt(2.0)) for x in z])  # N(z)
    expected_mirrored = np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z])  # N(-z)
    # math.erfc takes its argument rounded from z / sqrt(2); far in the tail that alone moves it by z^2 ulps.
    tolerance = 8e-16 * (1.0 + z * z)
    np.testing.assert_array_less(np.abs(cdf / expected - 1), tolerance)
    np.testing.assert_array_less(np.abs(mirrored / expected_mirrored - 1), tolerance)
    np.testing.assert_array_equal(normal_cdf(z), cdf)
    density = np.exp(-0.5 * z * z) / math.sqrt(2 * math.pi)  # rounding z^2 costs this reference z^2 ulps
    np.testing.assert_array_less(np.abs(normal_pdf(z) / density - 1), tolerance)


def test_normal_distribution_of_infinities():
    assert normal_cdf([-np.inf, np.inf]).tolist() == [0.0, 1.0]
    assert normal_pdf([-np.inf, np.inf]).tolist() == [0.0, 0.0]


# Implied volatility


def determinable(price, vega, vol):
    """The price resolves the vol to 1e-10: a relative vol move of 1e-10 shifts it by 1000 ulps, and it has all
    its digits."""
    return (vega * vol * 1e-10 > 1e3 * np.finfo(float).eps * price) & (price > 1e-290)


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
def test_implied_vol_recovers_vols_from_deep_in_to_deep_out_of_the_money(call):
    strike = np.array([1.0, 10.0, 30.0, 50.0, 70.0, 90.0, 99.0, 100.0, 101.0, 110.0, 130.0, 150.0, 200.0, 1000.0,
                       1e4])[:, None, None]
    years = np.array([1 / 365, 7 / 365, 30 / 365, 0.25, 1.0, 5.0, 10.0])[:, None]
    vol = np.array([0.01, 0.03, 0.1, 0.2, 0.4, 0.8, 1.5, 3.0, 5.0])
    greeks = analytic.black_greeks(100.0, strike, years, vol, 0.9, call)
    implied = analytic.implied_vol(greeks.price, 100.0, strike, years, 0.9, call)
    assert not np.isnan(implied).any()
    wanted = determinable(greeks.price, greeks.vega, vol)
    assert wanted.mean() > 0.5
    error = np.where(wanted, np.abs(implied / vol - 1), 0.0)
    worst = np.unravel_index(np.argmax(error), error.shape)
    assert error[worst] < 1e-10, (f"strike {strike[worst[0], 0, 0]}, years {years[worst[1], 0]}, vol {vol[worst[2]]}: "
                                  f"implied {implied[worst]!r}")


def test_black_scholes_implied_vol_inverts_the_black_scholes_price():
    strike, years, vol = np.array([80.0, 100.0, 125.0])[:, None], np.array([0.1, 1.0, 8.0]), 0.35
    for call in (True, False):
        price = analytic.black_scholes_price(SPOT, strike, years, vol, RATE, DIVIDEND, call)
        np.testing.assert_allclose(analytic.black_scholes_implied_vol(price, SPOT, strike, years, RATE, DIVIDEND, call),
                                   vol, rtol=1e-10)


def test_implied_vol_agrees_with_quantlib():
    points = list(itertools.product([70.0, 100.0, 130.0], [0.1, 0.5, 1.5], [True, False]))
    for strike, std_dev, call in points:
        kind = ql.Option.Call if call else ql.Option.Put
        price = ql.blackFormula(kind, strike, 100.0, std_dev, 0.95)
        reference = ql.blackFormulaImpliedStdDev(kind, strike, 100.0, price, 0.95, 0.0, ql.nullDouble(), 1e-14, 100)
        assert analytic.implied_vol(price, 100.0, strike, 1.0, 0.95, call) == pytest.approx(reference, rel=1e-10)


def test_prices_on_the_bounds_imply_zero_and_infinite_vol():
    assert analytic.implied_vol(0.9 * 20.0, 120.0, 100.0, 1.0, 0.9, True) == 0.0
    assert analytic.implied_vol(0.0, 80.0, 100.0, 1.0, 0.9, True) == 0.0
    assert analytic.implied_vol(0.9 * 120.0, 120.0, 100.0, 1.0, 0.9, True) == np.inf
    assert analytic.implied_vol(0.9 * 100.0, 120.0, 100.0, 1.0, 0.9, False) == np.inf
    assert analytic.implied_vol(20.0, 120.0, 100.0, 0.0, 1.0, True) == 0.0  # at expiry: the intrinsic value


@pytest.mark.parametrize("price, years, call, bounds", [
    (17.0, 1.0, True, "between the discounted intrinsic value 18.0 and the discounted forward 108.0"),
    (109.0, 1.0, True, "between the discounted intrinsic value 18.0 and the discounted forward 108.0"),
    (91.0, 1.0, False, "between the discounted intrinsic value 0.0 and the discounted strike 90.0"),
    (-1.0, 1.0, False, "between the discounted intrinsic value 0.0"),
    (21.0, 0.0, True, "equal the intrinsic value 20.0 at expiry"),
])
def test_prices_outside_the_no_arbitrage_bounds_raise_value_error_naming_them(price, years, call, bounds):
    discount = 0.9 if years else 1.0
    with pytest.raises(ValueError, match=bounds):
        analytic.implied_vol(price, 120.0, 100.0, years, discount, call)


def test_errors_nan_gives_nan_for_impossible_prices_and_solves_the_rest():
    prices = np.array([analytic.black_price(100.0, 100.0, 1.0, 0.25), 101.0, -1.0, np.nan, np.inf])
    with pytest.raises(ValueError, match=r"no volatility gives the call price 101.0 at index 1"):
        analytic.implied_vol(prices[:3], 100.0, 100.0, 1.0)
    with pytest.raises(ValueError, match="price must be finite"):
        analytic.implied_vol(prices, 100.0, 100.0, 1.0)
    vols = analytic.implied_vol(prices, 100.0, 100.0, 1.0, errors="nan")
    assert vols[0] == pytest.approx(0.25, rel=1e-12)
    assert np.isnan(vols[1:]).all()
    with pytest.raises(ValueError, match="errors must be 'raise'"):
        analytic.implied_vol(prices, 100.0, 100.0, 1.0, errors="ignore")


# Contracts


def test_templates_with_a_closed_form_carry_their_terms():
    put = kestro.european_put(95.0, 1.0, quantity=3.0, asset="ABC")
    assert put.terms == Terms("european_put", 95.0, put.last_time, "ABC", "USD", 3.0)
    digital = kestro.digital_call(105.0, 0.5, payout=10.0)
    assert digital.terms == Terms("digital_call", 105.0, digital.last_time, "STK", "USD", 1.0, 10.0)
    others = [kestro.american_put(100.0, 1.0), kestro.bermudan_call(100.0, [0.5, 1.0]), kestro.zero_coupon_bond(1.0),
              kestro.knock_out_call(100.0, 120.0, 1.0, direction="up"), Contract(put.events)]
    assert [contract.terms for contract in others] == [None] * len(others)


def test_contract_keeps_its_fields_and_their_order_with_terms_last():
    put = kestro.european_put(100.0, 1.0)
    rebuilt = Contract(put.events, {}, put.tracks, put.description, put.assets)
    assert (rebuilt.tracks, rebuilt.assets, rebuilt.terms) == (put.tracks, put.assets, None)
    with pytest.raises(TypeError, match="terms must be a kestro.Terms"):
        Contract(put.events, terms={"kind": "european_put"})
    with pytest.raises(ValueError, match="kind must be one of"):
        Terms("american_put", 100.0, put.last_time, "STK", "USD")
    with pytest.raises(ValueError, match="needs a payout"):
        Terms("digital_put", 100.0, put.last_time, "STK", "USD")


MARKET = kestro.Market.flat(rate=RATE, spots={"STK": SPOT}, dividends=DIVIDEND)
CURVED = kestro.Market(discount=kestro.zero_curve([0.0, 1.0, 3.0, 10.0], [0.02, 0.025, 0.03, 0.035]),
                       forwards={"STK": kestro.forward_curve([0.0, 2.0, 10.0], [SPOT, 104.0, 118.0])})


@pytest.mark.parametrize("template, strike, years", [
    (kestro.european_call, 90.0, 1.0), (kestro.european_put, 110.0, 2.0), (kestro.european_put, 100.0, 0.25)])
@pytest.mark.parametrize("market", [MARKET, CURVED], ids=["flat", "curved"])
def test_price_contract_agrees_with_the_black_scholes_grid(template, strike, years, market):
    option = template(strike, years, quantity=2.0)
    # Fine steps: undamped Crank-Nicolson rings at the strike when the steps are long for the grid's spacing.
    grid = kestro.price(option, market, "black_scholes", vol=0.25, n_x=800, timestep=1 / 3650)
    assert analytic.price_contract(option, market, 0.25) == pytest.approx(grid, abs=1e-3)


@pytest.mark.parametrize("template, digital, call", [
    (kestro.european_call, False, True), (kestro.european_put, False, False),
    (kestro.digital_call, True, True), (kestro.digital_put, True, False)])
def test_price_contract_and_greeks_contract_match_quantlib(template, digital, call):
    size = {"payout": 10.0} if digital else {"quantity": 3.0}
    contract = template(105.0, 1.0, **size)  # one 365-day year: 365 days in QuantLib's Actual/365
    option = ql_option(105.0, 0.3, 365, call, digital)
    scale = 10.0 if digital else 3.0
    assert analytic.price_contract(contract, MARKET, 0.3) == pytest.approx(scale * option.NPV(), rel=1e-12)
    greeks = analytic.greeks_contract(contract, MARKET, 0.3)
    for name, method in [("price", "NPV"), ("delta", "delta"), ("gamma", "gamma"), ("vega", "vega"),
                         ("theta", "theta"), ("rho", "rho")]:
        assert greeks[name] == pytest.approx(scale * getattr(option, method)(), rel=1e-10, abs=1e-12), name
    expected_forward_delta = scale * option.delta() * SPOT / MARKET.forward("STK", 1.0)
    assert greeks["forward_delta"] == pytest.approx(expected_forward_delta, rel=1e-12)


@pytest.mark.parametrize("entry", [
    kestro.zero_curve([0.0, 1.0, 3.0, 10.0], [0.02, 0.025, 0.03, 0.035]), kestro.zero_curve([0.5, 2.0], [0.01, 0.02]),
    kestro.forward_curve([0.0, 2.0, 10.0], [100.0, 104.0, 118.0]), ("FORWARDS", np.array([[0.25], [100.0]]))])
def test_curve_points_at_one_time_equal_the_array_path_bit_for_bit(entry):
    from kestro import curves
    curve = curves.Curve.from_entry(entry)
    times = np.concatenate([np.linspace(0.0, 10.0, 1001), entry[1][0], [0.1234567, 9.99999999, math.nan]])
    for x in times.tolist():
        try:
            expected = (curves.discount_factor(entry, np.array([x]))[0], curves.forward(entry, np.array([x]))[0])
        except ValueError:
            for point in (lambda: curves.point_value(entry, x), lambda: curve.stored_value(x)):
                with pytest.raises(ValueError, match="interpolation out of range at time"):
                    point()
            continue
        assert (curves.point_discount_factor(entry, x), curves.point_forward(entry, x)) == expected, x
        assert (curve.discount_factor(x), curve.forward(x)) == expected, x


def test_price_contract_takes_the_vol_from_the_market_and_scales_with_the_payout():
    market = kestro.Market.flat(rate=RATE, spots={"STK": SPOT}, vols={"STK": 0.3})
    digital = kestro.digital_put(95.0, 0.5, payout=7.0)
    unit = analytic.black_digital_price(market.forward("STK", 0.5), 95.0, 0.5, 0.3, market.discount_factor(0.5), False)
    assert analytic.price_contract(digital, market) == pytest.approx(7.0 * unit, rel=1e-15)


@pytest.mark.parametrize("contract, market, vol, error, message", [
    (kestro.american_put(100.0, 1.0), MARKET, 0.2, ValueError, "no closed form.*'black_scholes'"),
    (kestro.european_put(100.0, 1.0, currency="EUR"), MARKET, 0.2, ValueError, "pays in 'EUR'"),
    (kestro.european_put(100.0, 1.0, asset="XYZ"), MARKET, 0.2, ValueError, "'XYZ' has no forward curve"),
    (kestro.european_put(100.0, expiry="2025-06-01"), MARKET, 0.2, ValueError, "expired"),
    (kestro.european_put(100.0, 1.0), MARKET, None, TypeError, "give the volatility"),
    (kestro.european_put(100.0, 1.0), MARKET, -0.1, ValueError, "vol must not be negative"),
])
def test_price_contract_refuses_what_it_cannot_price(contract, market, vol, error, message):
    with pytest.raises(error, match=message):
        analytic.price_contract(contract, market, vol)


def test_greeks_contract_needs_a_spot_on_the_forward_curve():
    market = kestro.Market(discount=kestro.zero_curve([0.0, 5.0], [0.03, 0.03]),
                           forwards={"STK": ("FORWARDS", np.array([[0.5, 5.0], [100.0, 110.0]]))})  # no spot
    call = kestro.european_call(100.0, 1.0)
    assert analytic.price_contract(call, market, 0.2) > 0
    with pytest.raises(ValueError, match="has no spot"):
        analytic.greeks_contract(call, market, 0.2)
