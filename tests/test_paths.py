"""kestro.curves and kestro.paths: curve values as the engine computes them, the laws of the
simulated paths, and Monte Carlo prices through mc_price against closed forms."""

import math

import _kestro
import numpy as np
import pytest

from conftest import timetable
from kestro.curves import Curve, discount_factor, forward, stored_value, year_fraction
from kestro.paths import GbmPaths, HullWhitePaths, integrated_variance
from kestro.recorder import Recorder
from kestro.results import standard_error

YEAR = 31_536_000_000
P = 1_767_225_600_000  # 2026-01-01T00:00:00Z


def entry(kind, times, values):
    return (kind, np.array([times, values], dtype=np.float64))


def normal_cdf(z):
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


USD = entry("ZERO_RATES", [0.5, 1.0, 3.0, 10.0], [0.02, 0.025, 0.03, 0.035])
FLAT_USD = entry("ZERO_RATES", [0.0, 10.0], [0.03, 0.03])
EQ = entry("FORWARDS", [0.0, 1.0, 5.0], [100.0, 103.0, 112.0])


# Curves


CURVES = {
    "zero-rates-positive-first-time": entry("ZERO_RATES", [0.5, 1.0, 2.0, 7.0], [0.01, 0.015, 0.02, 0.03]),
    "forwards-from-zero": entry("FORWARDS", [0.0, 0.25, 3.0], [50.0, 51.0, 49.0]),
    "forwards-positive-first-time": entry("FORWARDS", [0.75, 2.0], [120.0, 125.0]),
    "single-point": entry("ZERO_RATES", [4.0], [0.05]),
}


def booked_values(curve_role, curve, times):
    """What fixed_price books for one unit paid at each time: the discount factor when the
    curve is the base currency's, the forward when it is an asset's (with a base at rate 0)."""
    last = float(curve[1][0, -1])
    assets = {"CUR": curve} if curve_role == "base" else {"CUR": entry("ZERO_RATES", [last + 1.0], [0.0]), "A": curve}
    rows = [(t, "v", "+", 1.0, "CUR" if curve_role == "base" else "A") for t in times]
    recorder = Recorder()
    dataset = {"BASE": "CUR", "PRICING_TS": P, "FIXED": {"FLAGS": 8}, "ASSETS": assets}
    _kestro.fixed_price(timetable(rows), recorder, dataset, {})
    return [float(recorder.stats["CASHFLOW"][0][i][0]) for i in range(len(times))]


@pytest.mark.parametrize("name", CURVES)
def test_curve_values_equal_the_engines_at_every_kind_of_point(name):
    """On the line from the origin, at the points, between them and at the last time."""
    curve = CURVES[name]
    grid = np.concatenate([[0.0, 1e-9], curve[1][0], np.linspace(0.0, curve[1][0, -1], 23)])
    times = sorted({P + int(math.floor(x * YEAR)) for x in grid if x >= 0})
    xs = year_fraction(times, P)
    assert discount_factor(curve, xs).tolist() == pytest.approx(booked_values("base", curve, times), rel=1e-15, abs=0)
    assert forward(curve, xs).tolist() == pytest.approx(booked_values("asset", curve, times), rel=1e-15, abs=0)
    assert stored_value(curve, float(xs[-1])) == pytest.approx(math.log(forward(curve, float(xs[-1]))), rel=1e-15)


@pytest.mark.parametrize(
    "curve, x",
    [
        (CURVES["zero-rates-positive-first-time"], 7.000001),
        (CURVES["forwards-from-zero"], -1e-9),
        (CURVES["single-point"], 4.5),
        (entry("FORWARDS", [0.0], [100.0]), 0.0),
        (CURVES["forwards-from-zero"], math.nan),
        (CURVES["forwards-from-zero"], np.array([0.5, 3.5, 1.0])),
    ],
    ids=["after-last", "before-a-zero-first-time", "after-a-single-point", "single-point-at-zero", "nan",
         "one-bad-in-an-array"],
)
def test_out_of_range_year_fractions_raise_value_error(curve, x):
    with pytest.raises(ValueError, match="out of range"):
        discount_factor(curve, x)


def test_a_line_from_the_origin_covers_negative_times_before_a_positive_first_time():
    curve = Curve.from_entry(CURVES["zero-rates-positive-first-time"])
    assert curve.stored_value(np.array([-1.0, 0.0, 0.25])) == pytest.approx([-0.01, 0.0, 0.0025], rel=1e-15)


@pytest.mark.parametrize(
    "bad, error",
    [
        (entry("ZERO_RATES", [1.0, 1.0], [0.01, 0.02]), ValueError),
        (entry("ZERO", [1.0], [0.01]), ValueError),
        (("FORWARDS", np.array([1.0, 2.0])), ValueError),
        (["FORWARDS", np.array([[1.0], [2.0]])], TypeError),
    ],
    ids=["times-not-increasing", "unknown-kind", "one-row", "list-not-tuple"],
)
def test_malformed_curve_entries_are_refused(bad, error):
    with pytest.raises(error):
        Curve.from_entry(bad)


# Geometric Brownian motion


def drive(generator, xs, names):
    """Advance through xs; the values of `names` at each x (copies) and the answers."""
    seen, answers = {}, []
    for x in xs:
        answers.append(generator.advance(x))
        seen[x] = {n: np.array(generator.get_value(n)) for n in names}
    return seen, answers


TRIPLE = (100.0, 0.04, 0.01)


def triple_forward(x):
    return 100.0 * math.exp(0.03 * x)


@pytest.mark.parametrize("steps", [[0.3, 1.0, 2.5], list(np.linspace(0.1, 2.5, 25))], ids=["3-steps", "25-steps"])
def test_gbm_paths_are_lognormal_around_the_forward_whatever_the_steps(steps):
    n, vols = 40_000, {"EQ": 0.3, "FX": 0.1}
    gen = GbmPaths({"EQ": EQ, "FX": TRIPLE}, vols, paths=n, seed=11)
    seen, _ = drive(gen, steps, ["EQ", "FX"])
    for x in (0.3, 1.0, 2.5):
        x = min(seen, key=lambda s: abs(s - x))
        for name, fwd in (("EQ", forward(EQ, x)), ("FX", triple_forward(x))):
            values, vol = seen[x][name], vols[name]
            assert abs(values.mean() - fwd) < 4 * values.std() / math.sqrt(n), (name, x)
            logs = np.log(values)
            assert logs.var(ddof=1) == pytest.approx(vol * vol * x, rel=5 * math.sqrt(2 / n)), (name, x)
            assert abs(logs.mean() - (math.log(fwd) - vol * vol * x / 2)) < 4 * vol * math.sqrt(x / n)


def test_log_returns_carry_the_given_correlation():
    n = 40_000
    rho = np.array([[1.0, 0.6, -0.3], [0.6, 1.0, 0.2], [-0.3, 0.2, 1.0]])
    names = ["A", "B", "C"]
    gen = GbmPaths({k: TRIPLE for k in names}, {"A": 0.2, "B": 0.35, "C": 0.1}, correlation=rho, paths=n, seed=3)
    seen, _ = drive(gen, [0.5, 1.5], names)
    returns = np.array([np.log(seen[1.5][k] / seen[0.5][k]) for k in names])
    assert np.corrcoef(returns) == pytest.approx(rho, abs=0.03)


def test_perfectly_correlated_assets_move_together():
    gen = GbmPaths({"A": TRIPLE, "B": TRIPLE}, {"A": 0.2, "B": 0.4}, correlation=1.0, paths=1000, seed=5)
    seen, _ = drive(gen, [1.0], ["A", "B"])
    shock_a = (np.log(seen[1.0]["A"] / triple_forward(1.0)) + 0.02) / 0.2
    shock_b = (np.log(seen[1.0]["B"] / triple_forward(1.0)) + 0.08) / 0.4
    assert shock_a == pytest.approx(shock_b, abs=1e-9)


def test_antithetic_paths_are_mirrored_pairs():
    n, vols = 1000, {"A": 0.2, "B": 0.3}
    gen = GbmPaths({"A": TRIPLE, "B": EQ}, vols, correlation=0.4, paths=n, seed=8, antithetic=True)
    seen, _ = drive(gen, [0.4, 1.7], ["A", "B"])
    for name, fwd in (("A", triple_forward(1.7)), ("B", forward(EQ, 1.7))):
        logs = np.log(seen[1.7][name] / fwd)
        assert logs[: n // 2] + logs[n // 2:] == pytest.approx(np.full(n // 2, -vols[name] ** 2 * 1.7), abs=1e-12)
        assert len(np.unique(seen[1.7][name])) == n


@pytest.mark.parametrize(
    "make",
    [
        lambda seed: GbmPaths({"A": TRIPLE, "B": EQ}, {"A": 0.2, "B": 0.3}, correlation=0.5, paths=64, seed=seed),
        lambda seed: HullWhitePaths(USD, 0.1, 0.01, paths=64, seed=seed, antithetic=True),
    ],
    ids=["gbm", "hull-white"],
)
def test_a_seed_fixes_the_paths_and_reset_replays_them(make):
    def run(gen):
        out = []
        for x in (0.25, 1.0, 2.0):
            answers = [gen.advance(x)] + [gen.get_value(n) for n in ("A", "B")]
            out.append([np.array(np.nan if a is None else a, dtype=float) for a in answers])
        return out

    first, again = make(42), make(42)
    reference = run(first)
    assert all(np.array_equal(a, b, equal_nan=True) for r, s in zip(reference, run(again)) for a, b in zip(r, s))
    first.reset()
    assert first.x == 0.0
    assert all(np.array_equal(a, b, equal_nan=True) for r, s in zip(reference, run(first)) for a, b in zip(r, s))
    other = run(make(43))
    assert not all(np.array_equal(a, b, equal_nan=True) for r, s in zip(reference, other) for a, b in zip(r, s))


def path_bytes(obj, paths, depth=3):
    """Bytes held in arrays of at least `paths` entries reachable from obj's attributes."""
    if isinstance(obj, np.ndarray):
        return obj.nbytes if obj.size >= paths else 0
    if depth == 0:
        return 0
    if isinstance(obj, dict):
        return sum(path_bytes(v, paths, depth - 1) for v in obj.values())
    if isinstance(obj, (list, tuple)):
        return sum(path_bytes(v, paths, depth - 1) for v in obj)
    if hasattr(obj, "__dict__"):
        return path_bytes(vars(obj), paths, depth - 1)
    return 0


@pytest.mark.parametrize(
    "gen, per_step",
    [
        (GbmPaths({"A": TRIPLE, "B": EQ, "C": TRIPLE}, {"A": 0.2, "B": 0.3, "C": 0.1}, paths=500, seed=1), 3),
        (HullWhitePaths(USD, 0.05, 0.01, paths=500, seed=1), 1),
    ],
    ids=["gbm-3-assets", "hull-white"],
)
def test_state_is_one_array_per_modelled_quantity_however_many_steps(gen, per_step):
    for x in np.linspace(0.01, 4.0, 200):
        gen.advance(x)
    assert path_bytes(gen, 500) == per_step * 500 * 8


def test_gbm_answers_the_step_discount_and_none_without_a_curve():
    xs = [0.2, 0.5, 1.0, 2.0, 2.0001, 7.5]
    with_curve = GbmPaths({"EQ": TRIPLE}, {"EQ": 0.2}, discount=USD, paths=4, seed=0)
    _, answers = drive(with_curve, xs, [])
    assert all(type(a) is float for a in answers)
    assert np.cumprod(answers) == pytest.approx(discount_factor(USD, np.array(xs)), rel=1e-14)
    _, answers = drive(GbmPaths({"EQ": TRIPLE}, {"EQ": 0.2}, paths=4, seed=0), xs, [])
    assert answers == [None] * len(xs)


def test_gbm_values_are_read_only_and_unmodelled_assets_are_none():
    gen = GbmPaths({"EQ": EQ}, {"EQ": 0.2}, paths=4, seed=0)
    assert gen.get_value("EQ").tolist() == [forward(EQ, 0.0)] * 4  # the forward at the pricing time
    assert gen.get_value("USD") is None
    with pytest.raises(ValueError):
        gen.get_value("EQ")[0] = 1.0


@pytest.mark.parametrize("make", [lambda: GbmPaths({"EQ": EQ}, {"EQ": 0.2}, paths=4, seed=0),
                                  lambda: HullWhitePaths(USD, 0.1, 0.01, paths=4, seed=0)], ids=["gbm", "hull-white"])
@pytest.mark.parametrize("x", [0.5, math.nan], ids=["earlier", "nan"])
def test_advance_refuses_to_go_back_in_time(make, x):
    gen = make()
    gen.advance(1.0)
    with pytest.raises(ValueError, match="back in time"):
        gen.advance(x)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(forwards={"EQ": EQ}, vols={}),
        dict(forwards={"EQ": EQ}, vols={"EQ": 0.2, "FX": 0.1}),
        dict(forwards={"EQ": EQ}, vols={"EQ": -0.2}),
        dict(forwards={"EQ": (0.0, 0.01, 0.0)}, vols={"EQ": 0.2}),
        dict(forwards={"A": TRIPLE, "B": TRIPLE}, vols={"A": 0.2, "B": 0.2}, correlation=[[1.0, 0.5], [0.4, 1.0]]),
        dict(forwards={"A": TRIPLE, "B": TRIPLE}, vols={"A": 0.2, "B": 0.2}, correlation=[[1.0, 1.5], [1.5, 1.0]]),
        dict(forwards={"A": TRIPLE, "B": TRIPLE, "C": TRIPLE}, vols={"A": 0.2, "B": 0.2, "C": 0.2},
             correlation=[[1, 0.9, -0.9], [0.9, 1, 0.9], [-0.9, 0.9, 1]]),
        dict(forwards={"A": TRIPLE, "B": TRIPLE, "C": TRIPLE}, vols={"A": 0.2, "B": 0.2, "C": 0.2}, correlation=0.5),
        dict(forwards={"EQ": EQ}, vols={"EQ": 0.2}, paths=5, antithetic=True),
        dict(forwards={"EQ": EQ}, vols={"EQ": 0.2}, paths=0),
    ],
    ids=["vol-missing", "vol-unknown", "vol-negative", "spot-zero", "asymmetric", "beyond-one", "not-psd",
         "number-for-three", "odd-antithetic", "no-paths"],
)
def test_gbm_refuses_inconsistent_settings(kwargs):
    with pytest.raises(ValueError):
        GbmPaths(**kwargs)


# Hull-White


def closed_form_variance(a, sigma, x):
    """Variance of the integral of the Hull-White factor from 0 to x."""
    if a == 0:
        return sigma ** 2 * x ** 3 / 3
    return sigma ** 2 / a ** 2 * (x - 2 * (1 - math.exp(-a * x)) / a + (1 - math.exp(-2 * a * x)) / (2 * a))


@pytest.mark.parametrize("a", [0.0, 0.1, 1.5], ids=["ho-lee", "slow", "fast"])
@pytest.mark.parametrize("steps", [[0.5, 2.0, 7.0], list(np.linspace(0.25, 7.0, 28))], ids=["3-steps", "28-steps"])
def test_hull_white_discounts_reproduce_the_curve_with_the_closed_form_spread(a, steps):
    n, sigma = 40_000, 0.02
    gen = HullWhitePaths(USD, a, sigma, paths=n, seed=17)
    product = np.ones(n)
    for x in steps:
        product *= gen.advance(x)
        if x in (2.0, 7.0):
            curve_df, v = discount_factor(USD, x), closed_form_variance(a, sigma, x)
            assert abs(product.mean() - curve_df) < 4 * product.std() / math.sqrt(n), x
            logs = np.log(product)
            assert logs.var(ddof=1) == pytest.approx(v, rel=5 * math.sqrt(2 / n)), x
            assert abs(logs.mean() - (math.log(curve_df) - v / 2)) < 4 * math.sqrt(v / n), x
            assert gen.factor_integral_variance(x) == pytest.approx(v, rel=1e-12)
            factor_variance = sigma ** 2 * x if a == 0 else sigma ** 2 * (1 - math.exp(-2 * a * x)) / (2 * a)
            assert gen.factor.var(ddof=1) == pytest.approx(factor_variance, rel=5 * math.sqrt(2 / n)), x


@pytest.mark.parametrize("a", [0.0, 1e-9, 1e-4, 0.049, 0.0501, 0.3, 2.0])
def test_integrated_variance_is_accurate_on_both_sides_of_its_series(a):
    h, sigma = 10.0, 0.01
    u = a * h
    # Reference: the series summed in exact-enough arithmetic for small u, the closed form otherwise.
    if u < 0.3:
        reference = sigma ** 2 * h ** 3 * sum((-1) ** k * (2 - 2 ** (k - 1)) * u ** (k - 3) / math.factorial(k)
                                             for k in range(3, 40))
    else:
        reference = closed_form_variance(a, sigma, h)
    assert integrated_variance(a, sigma, h) == pytest.approx(reference, rel=1e-13)


def test_hull_white_antithetic_pairs_mirror_the_factor_integral():
    n, a, sigma = 1000, 0.2, 0.015
    gen = HullWhitePaths(FLAT_USD, a, sigma, paths=n, seed=2, antithetic=True)
    logs = np.zeros(n)
    for x in (0.7, 3.0):
        logs += np.log(gen.advance(x))
    expected = 2 * (-0.03 * 3.0 - closed_form_variance(a, sigma, 3.0) / 2)
    assert logs[: n // 2] + logs[n // 2:] == pytest.approx(np.full(n // 2, expected), abs=1e-12)
    assert gen.factor[: n // 2] == pytest.approx(-gen.factor[n // 2:], abs=1e-15)


def test_hull_white_with_no_volatility_is_the_curve_on_every_path():
    gen = HullWhitePaths(USD, 0.0, 0.0, paths=3, seed=0)
    steps = [gen.advance(x) for x in (0.5, 1.5, 9.0)]
    assert np.prod(steps, axis=0) == pytest.approx(np.full(3, discount_factor(USD, 9.0)), rel=1e-14)
    assert gen.get_value("EQ") is None


@pytest.mark.parametrize("kwargs", [dict(mean_reversion=-0.1, vol=0.01), dict(mean_reversion=0.1, vol=-0.01),
                                    dict(mean_reversion=math.inf, vol=0.01)], ids=["negative-a", "negative-vol", "inf"])
def test_hull_white_refuses_negative_or_infinite_parameters(kwargs):
    with pytest.raises(ValueError):
        HullWhitePaths(USD, paths=4, seed=0, **kwargs)


# Prices through mc_price


def mc_dataset(paths, assets):
    return {"BASE": "USD", "PRICING_TS": P, "ASSETS": assets, "MC": {"PATHS": paths, "SEED": 0, "FLAGS": 1}}


def black(fwd, strike, df, vol, t):
    d1 = (math.log(fwd / strike) + vol * vol * t / 2) / (vol * math.sqrt(t))
    return df * (fwd * normal_cdf(d1) - strike * normal_cdf(d1 - vol * math.sqrt(t)))


@pytest.mark.parametrize("antithetic", [False, True], ids=["plain", "antithetic"])
@pytest.mark.parametrize("strike", [90.0, 115.0])
def test_european_call_on_gbm_paths_is_within_four_standard_errors_of_black_scholes(strike, antithetic):
    n, vol, t = 50_000, 0.25, 1.5
    state = Recorder(GbmPaths({"EQ": EQ}, {"EQ": vol}, discount=USD, paths=n, seed=2026, antithetic=antithetic))
    when = P + int(t * YEAR)
    rows = [(P, "v", "+", 0.0, "USD"), (when, "v", "+", -strike, "USD"), (when, "v", ">", 1.0, "EQ"),
            (when, "v", "+", strike, "USD")]
    price = _kestro.mc_price(timetable(rows), state, mc_dataset(n, {"USD": USD, "EQ": EQ}), {})
    x = year_fraction(when, P)
    expected = black(forward(EQ, x), strike, discount_factor(USD, x), vol, x)
    error = standard_error(state, antithetic=antithetic)
    assert abs(price - expected) < 4 * error, (price, expected, error)


def test_exchange_option_on_correlated_paths_matches_margrabe():
    n, t, rho, vols = 50_000, 2.0, 0.4, {"A": 0.3, "B": 0.2}
    forwards = {"A": entry("FORWARDS", [0.0, 5.0], [100.0, 110.0]), "B": TRIPLE}
    state = Recorder(GbmPaths(forwards, vols, correlation=rho, discount=FLAT_USD, paths=n, seed=9))
    when = P + int(t * YEAR)
    rows = [(when, "v", "+", -1.0, "B"), (when, "v", ">", 1.0, "A"), (when, "v", "+", 1.0, "B")]
    assets = {"USD": FLAT_USD, "A": forwards["A"], "B": entry("FORWARDS", [0.0, 5.0], [100.0, triple_forward(5.0)])}
    price = _kestro.mc_price(timetable(rows), state, mc_dataset(n, assets), {})
    x = year_fraction(when, P)
    vol = math.sqrt(vols["A"] ** 2 + vols["B"] ** 2 - 2 * rho * vols["A"] * vols["B"])
    expected = black(forward(forwards["A"], x), triple_forward(x), discount_factor(FLAT_USD, x), vol, x)
    assert abs(price - expected) < 4 * standard_error(state), (price, expected)


@pytest.mark.parametrize("a", [0.0, 0.1], ids=["ho-lee", "hull-white"])
def test_bonds_on_hull_white_paths_are_within_four_standard_errors_of_the_curve(a):
    n = 20_000
    state = Recorder(HullWhitePaths(USD, a, 0.015, paths=n, seed=4))
    coupons = [(P + int(y * YEAR), "bond", "+", 5.0, "USD") for y in (1, 2, 3, 4, 5)]
    rows = coupons + [(P + 5 * YEAR, "bond", "+", 100.0, "USD"), (P + 5 * YEAR, "bond", "+", 1.0, "EQ")]
    price = _kestro.mc_price(timetable(rows), state, mc_dataset(n, {"USD": USD, "EQ": EQ}), {})
    xs = [year_fraction(r[0], P) for r in rows]
    expected = sum(r[3] * discount_factor(USD, x) * (forward(EQ, x) if r[4] == "EQ" else 1.0) for r, x in zip(rows, xs))
    assert abs(price - expected) < 4 * standard_error(state), (price, expected)
    assert standard_error(state) > 0
