"""Early exercise under Monte Carlo: regression rules against finite-difference references,
user-written and multi-asset choices, the path-wise bound, statistics and awkward fits."""

import math

import _kestro
import numpy as np
import pytest
import QuantLib as ql

import kestro
from kestro import exercise
from kestro.paths import GbmPaths
from kestro.recorder import Recorder
from kestro.clock import DAY_MS, DEFAULT_START, add_years, to_ms

MARKET = kestro.Market.flat(rate=0.05, spots={"STK": 100.0})
START = to_ms(DEFAULT_START)
BIAS = 0.02  # the regression policy's own shortfall that the comparisons allow beside 3 standard errors


def quantlib_put(exercise_days):
    """QuantLib's finite-difference price of a put (S = K = 100, r = 5%, vol 20%) exercisable on
    the given days after 2026-01-01."""
    today = ql.Date(1, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    flat = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, day_count, ql.Continuous))
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(100.0)), flat(0.0), flat(0.05),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), 0.2, day_count)))
    dates = [today + int(day) for day in exercise_days]
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, 100.0), ql.BermudanExercise(dates))
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, 2000, 2000))
    return option.NPV()


def within(price, reference, bias=BIAS):
    return abs(float(price) - reference) <= 3 * price.standard_error + bias


QUARTERS = [0.25, 0.5, 0.75, 1.0]
WEEKS = [7 * k / 365 for k in range(1, 53)]


@pytest.mark.parametrize("contract, days", [
    (kestro.bermudan_put(100, years=QUARTERS), [round(y * 365) for y in QUARTERS]),
    (kestro.bermudan_put(100, years=WEEKS), [7 * k for k in range(1, 53)]),
    (kestro.american_put(100, years=1.0), list(range(0, 366))),
], ids=["bermudan-4-dates", "bermudan-weekly", "american-daily"])
def test_regression_prices_early_exercise_puts_within_their_error_of_quantlibs_grid(contract, days):
    reference = quantlib_put(days)
    result = kestro.price(contract, MARKET, "monte_carlo", vol=0.2, paths=100_000, seed=2026, upper_bound=True)
    assert result.exercise == "regression" and result.paths == 100_000
    assert within(result, reference), (repr(result), reference)
    # The path-wise price makes the same choices with foresight: far above, on the same paths.
    assert float(result.upper_bound) > reference + 10 * result.upper_bound.standard_error


def test_pathwise_exercise_reproduces_the_engines_foresight_price_on_the_same_paths():
    put = kestro.bermudan_put(100, years=QUARTERS)
    paths = GbmPaths({"STK": MARKET.forwards["STK"]}, {"STK": 0.2}, paths=20_000, seed=9)
    engine = _kestro.mc_price(put.events, paths, MARKET.dataset("monte_carlo", paths=20_000), {})
    paths.reset()
    assert kestro.price(put, MARKET, "monte_carlo", state=paths, exercise="pathwise") == engine
    assert kestro.price(put, MARKET, "monte_carlo", vol=0.2, paths=20_000, seed=9, exercise="pathwise") == engine


def intrinsic_put(strike):
    return lambda values: [np.maximum(strike - values[0], 0.0)]


def user_put(strike, years, *, holder_sign=1.0, track=None):
    """A Bermudan put written by hand: at each date the holder keeps the larger of what follows
    and the intrinsic value given by a phrase. ``holder_sign`` -1 writes the issuer's side."""
    op = ">" if holder_sign > 0 else "<"
    rows = [(add_years(START, y), track or "mine", op, holder_sign, "intrinsic") for y in years]
    expressions = {"intrinsic": {"type": "phrase", "fn": intrinsic_put(strike), "inp": ["STK"]}}
    return kestro.Contract(kestro.timetable(rows), expressions)


def test_a_hand_written_timetable_with_choices_prices_by_regression():
    reference = quantlib_put([round(y * 365) for y in QUARTERS])
    mine = user_put(100, QUARTERS)
    result = kestro.price(mine, MARKET, "monte_carlo", vol=0.2, paths=100_000, seed=4)
    assert result.exercise == "regression"
    assert within(result, reference)


def test_the_issuers_choice_is_a_feasible_policy_from_the_other_side():
    """min(continuation, -intrinsic) is minus the holder's Bermudan put; the issuer's fitted rule is
    a feasible policy for the issuer, so the value is minus a lower bound of the put."""
    reference = quantlib_put([round(y * 365) for y in QUARTERS])
    short = user_put(100, QUARTERS, holder_sign=-1.0)
    result = kestro.price(short, MARKET, "monte_carlo", vol=0.2, paths=100_000, seed=4, upper_bound=True)
    assert within(result, -reference)
    assert float(result.upper_bound) < float(result)  # foresight favours the issuer here


def test_a_choice_on_another_track_booked_into_track_0_is_regressed_too():
    reference = quantlib_put([round(y * 365) for y in QUARTERS])
    rows = [(add_years(START, y), "inner", ">", 1.0, "intrinsic") for y in QUARTERS]
    rows.append((START, "total", "+", 1.0, "inner"))  # track 0 takes the inner track's value at the start
    expressions = {"intrinsic": {"type": "phrase", "fn": intrinsic_put(100), "inp": ["STK"]}}
    contract = kestro.Contract(kestro.timetable(sorted(rows, key=lambda r: r[0]), tracks=["total", "inner"]),
                               expressions, assets=("STK",))
    result = kestro.price(contract, MARKET, "monte_carlo", vol=0.2, paths=100_000, seed=5)
    assert within(result, reference)


def test_a_two_asset_choice_regresses_on_both_assets():
    """A Bermudan max-call on two assets (S = K = 100, r = 5%, dividends 10%, vols 20%, three
    years, nine dates): 13.90, the value that primal-dual studies bracket to within a cent."""
    market = kestro.Market.flat(rate=0.05, spots={"A": 100.0, "B": 100.0}, dividends=0.10, horizon=5)
    payoff = {"type": "phrase", "fn": lambda v: [np.maximum(np.maximum(v[0], v[1]) - 100.0, 0.0)], "inp": ["A", "B"]}
    rows = [(add_years(START, 3 * i / 9), "max_call", ">", 1.0, "payoff") for i in range(1, 10)]
    contract = kestro.Contract(kestro.timetable(rows), {"payoff": payoff}, assets=("A", "B"))
    one_asset = GbmPaths({"A": market.forwards["A"], "B": market.forwards["B"]}, {"A": 0.2, "B": 0.2})
    assert exercise.regression_names(one_asset, ["A", "B"]) == ["A", "B"]
    result = kestro.price(contract, market, "monte_carlo", vol={"A": 0.2, "B": 0.2}, paths=100_000, seed=5)
    assert within(result, 13.90)


def test_the_result_says_how_it_was_priced():
    put = kestro.bermudan_put(100, years=QUARTERS)
    result = kestro.price_with_stats(put, MARKET, "monte_carlo", vol=0.2, paths=4_000, seed=1, flags=0,
                                     calibration_paths=1_000)
    assert result.stats == {}
    price = result.price
    assert (price.model, price.exercise, price.paths, price.calibration_paths) == ("monte_carlo", "regression",
                                                                                    4_000, 1_000)
    assert result.standard_error == price.standard_error > 0 and result.upper_bound is None
    assert "± " in repr(price) and str(price) == repr(float(price))
    assert kestro.price(put, MARKET, "black_scholes", vol=0.2).standard_error is None


def test_the_standard_error_of_antithetic_paths_is_that_of_the_pair_means():
    put = kestro.european_put(100, 1.0)
    result = kestro.price_with_stats(put, MARKET, "monte_carlo", vol=0.2, paths=10_000, antithetic=True, flags=1)
    assert result.standard_error == kestro.standard_error(result.stats["PV_VEC"], antithetic=True)
    assert result.exercise == "regression"


def test_the_same_seeds_give_the_same_price_and_the_calibration_seed_moves_only_the_rule():
    put = kestro.bermudan_put(100, years=QUARTERS)
    settings = dict(vol=0.2, paths=20_000, seed=3)
    first = kestro.price(put, MARKET, "monte_carlo", **settings)
    assert kestro.price(put, MARKET, "monte_carlo", **settings) == first
    other = kestro.price(put, MARKET, "monte_carlo", calibration_seed=99, **settings)
    assert other != first and abs(other - first) < 2 * first.standard_error


class Unspawnable:
    """A path source without ``spawn``: the rule is then fitted on its own paths."""

    def __init__(self):
        self.inner = GbmPaths({"STK": MARKET.forwards["STK"]}, {"STK": 0.2}, discount=MARKET.discount, paths=20_000,
                              seed=12)
        self.paths = 20_000

    def reset(self):
        self.inner.reset()

    def advance(self, x):
        return self.inner.advance(x)

    def get_value(self, name):
        return self.inner.get_value(name)


def test_a_source_that_cannot_spawn_is_calibrated_in_sample():
    put = kestro.bermudan_put(100, years=QUARTERS)
    result = kestro.price(put, MARKET, "monte_carlo", state=Unspawnable())
    assert result.exercise == "regression (in-sample)" and result.calibration_paths == 20_000
    assert within(result, quantlib_put([91, 182, 274, 365]), bias=0.05)


def test_choices_statistic_holds_where_the_rule_exercised_and_cashflows_follow_it():
    put = kestro.bermudan_put(100, years=QUARTERS)
    result = kestro.price_with_stats(put, MARKET, "monte_carlo", vol=0.2, paths=5_000, seed=1)
    choices, cashflows, pv = result.stats["CHOICES"], result.stats["CASHFLOW"], result.stats["PV_VEC"]
    choice_rows = [i for i, op in enumerate(put.events.column("op").to_pylist()) if op == ">"]
    assert sorted(choices) == choice_rows
    exercised = np.array([choices[row][0] for row in choice_rows]).astype(bool)
    # A path is paid the exercise value where the rule first exercises; later dates are void there.
    first = exercised & ~(np.cumsum(exercised, axis=0) > 1)
    for row, paid in zip(choice_rows, first):
        assert np.array_equal(cashflows[0][row] != 0.0, paid)
    assert np.allclose(sum(cashflows[0].values()), pv)
    table = kestro.exercise_probabilities(result.stats, timetable=put.events)
    assert table.num_rows == len(choice_rows)


@pytest.mark.parametrize("strike", [1.0, 50.0])
def test_few_in_the_money_calibration_paths_still_give_a_finite_price(strike):
    """A deep out-of-the-money put has no or few calibration paths to regress on: the degree falls
    back to what the paths support, down to the mean continuation, and the price stays finite."""
    put = kestro.bermudan_put(strike, years=QUARTERS)
    result = kestro.price(put, MARKET, "monte_carlo", vol=0.2, paths=2_000, seed=1, calibration_paths=200,
                          basis_degree=6)
    assert math.isfinite(result) and result >= 0.0
    grid = kestro.price(put, MARKET, "black_scholes", vol=0.2)
    assert abs(result - grid) <= 3 * result.standard_error + 0.01


def test_perfectly_correlated_assets_give_a_singular_design_that_still_fits():
    market = kestro.Market.flat(rate=0.05, spots={"A": 100.0, "B": 100.0})
    payoff = {"type": "phrase", "fn": lambda v: [np.maximum(100.0 - 0.5 * (v[0] + v[1]), 0.0)], "inp": ["A", "B"]}
    rows = [(add_years(START, y), "basket", ">", 1.0, "payoff") for y in QUARTERS]
    contract = kestro.Contract(kestro.timetable(rows), {"payoff": payoff}, assets=("A", "B"))
    paths = GbmPaths({"A": market.forwards["A"], "B": market.forwards["B"]}, {"A": 0.2, "B": 0.2},
                     correlation=1.0, paths=50_000, seed=2)
    result = kestro.price(contract, market, "monte_carlo", state=paths)
    assert within(result, quantlib_put([91, 182, 274, 365]))


def test_choices_at_the_pricing_time_compare_with_the_mean_continuation():
    """Every path has the same state at the start: exercising there pays only if the intrinsic value
    beats the average continuation (deep in the money it does, by the early-exercise boundary)."""
    deep = kestro.american_put(200, years=0.25)
    grid = kestro.price(deep, MARKET, "black_scholes", vol=0.2)
    result = kestro.price(deep, MARKET, "monte_carlo", vol=0.2, paths=20_000, seed=1)
    assert float(result) == pytest.approx(100.0) and grid == pytest.approx(100.0)


@pytest.mark.parametrize("rows, message", [
    ([(0, "t", "half", 1.0, "STK"), (0, "t", ">", 1.0, "STK")], "books with its own exercise rule"),
    ([(0, "t", ">", 1.0, "other"), (DAY_MS, "other", "+", 1.0, "STK")], "chooses against another track's value"),
], ids=["own-named-op", "track-alternative"])
def test_contracts_regression_cannot_rewrite_are_refused_with_the_row_and_a_way_out(rows, message):
    events = kestro.timetable([(START + t, track, op, q, unit) for t, track, op, q, unit in rows])
    half = {"type": "phrase", "fn": lambda _: [0.5], "inp": []}
    contract = kestro.Contract(events, {"half": half}, assets=("STK",))
    with pytest.raises(ValueError, match=message) as raised:
        kestro.price(contract, MARKET, "monte_carlo", vol=0.2, paths=100)
    assert "row " in str(raised.value) and "exercise='pathwise'" in str(raised.value)
    kestro.price(contract, MARKET, "monte_carlo", vol=0.2, paths=100, exercise="pathwise")


@pytest.mark.parametrize("settings, error, message", [
    ({"exercise": "lsm"}, ValueError, "exercise must be one of"),
    ({"basis_degree": -1}, ValueError, "basis_degree"),
    ({"basis_degree": 2.0}, ValueError, "basis_degree"),
    ({"calibration_paths": 0}, ValueError, "calibration_paths"),
    ({"upper_bound": 1}, TypeError, "upper_bound"),
])
def test_bad_exercise_settings_are_refused(settings, error, message):
    with pytest.raises(error, match=message):
        kestro.price(kestro.bermudan_put(100, years=QUARTERS), MARKET, "monte_carlo", vol=0.2, paths=100, **settings)


def test_exercise_settings_belong_to_monte_carlo():
    with pytest.raises(TypeError, match="exercise is a Monte Carlo setting"):
        kestro.price(kestro.bermudan_put(100, years=QUARTERS), MARKET, "black_scholes", vol=0.2, exercise="pathwise")


def test_a_source_without_discount_factors_is_calibrated_on_the_curves_discount():
    class Frozen(Unspawnable):
        def advance(self, x):
            self.inner.advance(x)
            return None  # the engine then discounts on the market's curve

    put = kestro.bermudan_put(100, years=QUARTERS)
    assert within(kestro.price(put, MARKET, "monte_carlo", state=Frozen()), quantlib_put([91, 182, 274, 365]), 0.05)


def test_zero_one_weights_scale_recorded_cashflows_exactly_as_the_booking_rule_says():
    """Weighted bookings whose weights are 0 or 1 (exercise rules) leave, bit for bit, the cashflows
    that scaling every earlier record at each booking gives, signed zeros and NaN included."""
    rng = np.random.default_rng(4)
    paths, dates = 7, 30
    values = rng.normal(size=(dates, paths))
    values[3, 2], values[5, 4] = np.nan, -np.inf
    weights = (rng.random((dates, paths)) < 0.3).astype(np.float64)
    rows, expressions = [], {}
    for k in range(dates):
        when = START + k * DAY_MS
        expressions[f"v{k}"] = {"type": "phrase", "fn": lambda _, a=values[k]: [a.copy()], "inp": []}
        expressions[f"w{k}"] = {"type": "phrase", "fn": lambda _, a=weights[k]: [a.copy()], "inp": []}
        rows.append((when, "t", "+", 1.0, f"v{k}"))
        rows.append((when, "t", f"w{k}", 1.0, f"v{k}"))
    recorder = Recorder()
    dataset = {"BASE": "USD", "PRICING_TS": START, "ASSETS": MARKET.assets(), "MC": {"PATHS": paths, "SEED": 0,
                                                                                     "FLAGS": 8}}
    _kestro.mc_price(kestro.timetable(rows), recorder, dataset, expressions)
    discounts = [MARKET.discount_factor(k / 365) for k in range(dates)]
    expected = {}
    with np.errstate(invalid="ignore"):  # NaN and infinity times zero, as the ledger multiplies them
        for row in range(len(rows) - 1, -1, -1):  # booked last row first, each weighted booking scales the rest
            k = row // 2
            value = values[k] * discounts[k]
            if row % 2:
                for key in expected:
                    expected[key] = expected[key] * (1.0 - weights[k])
                expected[row] = value * weights[k]
            else:
                expected[row] = value
    got = recorder.stats["CASHFLOW"][0]
    assert sorted(got) == sorted(expected)
    for row, array in expected.items():
        assert np.array_equal(got[row].view(np.int64), array.view(np.int64)), row
