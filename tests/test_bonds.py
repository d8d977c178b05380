"""Zero-coupon bonds as assets ("ZCB:<maturity>"): naming, their forwards, the Hull-White grid and
paths that value them, the path sources' calibration protocol, and bond options and swaptions
priced against QuantLib's Hull-White closed forms."""

import datetime as dt
import math

import _kestro
import numpy as np
import pytest

import kestro
from kestro.rates.bonds import bond_asset, bond_forwards, bond_maturity, bonds_on_grid, prepare_bonds
from kestro.market import Market, zero_curve
from kestro.paths import GbmPaths, HullWhitePaths
from kestro.recorder import Recorder
from kestro.templates import bermudan_swaption, bond_option
from kestro.clock import DEFAULT_START, YEAR_MS, add_years, to_ms
from kestro.events import timetable

ql = pytest.importorskip("QuantLib")

START = to_ms(DEFAULT_START)
# A rising zero curve from the pricing time; r·t is interpolated linearly between the points.
CURVE_T = [0.0, 1.0, 2.0, 3.0, 5.0, 7.0, 10.0]
CURVE_R = [0.02, 0.025, 0.03, 0.033, 0.036, 0.038, 0.04]
CURVED = Market(discount=zero_curve(CURVE_T, CURVE_R))
FLAT = Market.flat(rate=0.05, spots={})
# A curve whose first point lies after the pricing time: the engine draws a line from the origin to it.
LATE_FIRST = Market(discount=zero_curve([0.5, 1.5, 4.0, 8.0], [0.03, 0.02, 0.035, 0.03]))
A, SIGMA = 0.1, 0.01


def years(y):
    return add_years(START, y)


def zcb(y):
    return bond_asset(years(y))


def curve_y(market, x):
    """-ln DF(x) straight from the curve's points: r·t linear between them, a line from the origin before them."""
    times, rates = market.discount[1]
    ys = times * rates
    if times[0] > 0:
        times, ys = np.concatenate([[0.0], times]), np.concatenate([[0.0], ys])
    return float(np.interp(x, times, ys))


def df(market, x):
    return math.exp(-curve_y(market, x))


# QuantLib references


def ql_curve(market):
    """QuantLib's discount curve through the market's points: log-linear in the discount factor, as ours,
    on Actual/365 Fixed, whose year is our 365-day year."""
    today = ql.Date(1, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    times, rates = market.discount[1]
    dates = [today + int(round(t * 365)) for t in times]
    factors = [math.exp(-r * t) for t, r in zip(times, rates)]
    if times[0] > 0:
        dates, factors = [today, *dates], [1.0, *factors]
    return today, ql.YieldTermStructureHandle(ql.DiscountCurve(dates, factors, ql.Actual365Fixed()))


def ql_bond_option(market, call, strike, expiry, maturity):
    _, curve = ql_curve(market)
    kind = ql.Option.Call if call else ql.Option.Put
    return ql.HullWhite(curve, A, SIGMA).discountBondOption(kind, strike, expiry, maturity)


def ql_european_swaption(market, payer, fixed_rate, expiry, maturity, notional):
    """Jamshidian's price of the right to enter, at `expiry` (whole years), an annual swap to `maturity`
    whose fixed periods are 365 days long; the engine takes the floating leg at par."""
    today, curve = ql_curve(market)
    dates = [today + 365 * y for y in range(expiry, maturity + 1)]
    schedule = ql.Schedule(ql.DateVector(dates), ql.NullCalendar(), ql.Unadjusted)
    index = ql.IborIndex("annual", ql.Period(1, ql.Years), 0, ql.USDCurrency(), ql.NullCalendar(), ql.Unadjusted,
                         False, ql.Actual365Fixed(), curve)
    swap = ql.VanillaSwap(ql.Swap.Payer if payer else ql.Swap.Receiver, notional, schedule, fixed_rate,
                          ql.Actual365Fixed(), schedule, index, 0.0, ql.Actual365Fixed())
    swaption = ql.Swaption(swap, ql.EuropeanExercise(dates[0]))
    swaption.setPricingEngine(ql.JamshidianSwaptionEngine(ql.HullWhite(curve, A, SIGMA), curve))
    return swaption.NPV()


def ql_bermudan_swaption(market, payer, fixed_rate, expiries, maturity, notional):
    """QuantLib's Hull-White grid price of the right to enter, on any of the `expiries` (whole years), the
    rest of an annual swap to `maturity` that starts at the first expiry."""
    today, curve = ql_curve(market)
    schedule = ql.Schedule(ql.DateVector([today + 365 * y for y in range(expiries[0], maturity + 1)]),
                           ql.NullCalendar(), ql.Unadjusted)
    index = ql.IborIndex("annual", ql.Period(1, ql.Years), 0, ql.USDCurrency(), ql.NullCalendar(), ql.Unadjusted,
                         False, ql.Actual365Fixed(), curve)
    swap = ql.VanillaSwap(ql.Swap.Payer if payer else ql.Swap.Receiver, notional, schedule, fixed_rate,
                          ql.Actual365Fixed(), schedule, index, 0.0, ql.Actual365Fixed())
    swaption = ql.Swaption(swap, ql.BermudanExercise([today + 365 * y for y in expiries]))
    swaption.setPricingEngine(ql.FdHullWhiteSwaptionEngine(ql.HullWhite(curve, A, SIGMA), 400, 400))
    return swaption.NPV()


def hull_white_paths(market, paths=100_000, seed=1, **options):
    return HullWhitePaths(market.discount, A, SIGMA, paths=paths, seed=seed, **options)


def mc(contract, market, state):
    result = kestro.price_with_stats(contract, market, "monte_carlo", state=state, flags=1)
    return kestro.mc_estimate(result.stats["PV_VEC"])


# Names


@pytest.mark.parametrize(
    "maturity, name",
    [
        ("2031-01-01", "ZCB:2031-01-01"),
        (dt.date(2031, 1, 1), "ZCB:2031-01-01"),
        ("2031-01-01T00:00:00Z", "ZCB:2031-01-01"),
        (dt.datetime(2031, 1, 1, 12, tzinfo=dt.timezone.utc), "ZCB:2031-01-01T12:00:00.000Z"),
        ("2031-01-01T14:00:00.250+02:00", "ZCB:2031-01-01T12:00:00.250Z"),
        (np.datetime64("1969-12-31T23:59:59.999"), "ZCB:1969-12-31T23:59:59.999Z"),
        (to_ms("2040-06-30"), "ZCB:2040-06-30"),
    ],
    ids=["iso-date", "date", "midnight-utc", "datetime", "other-zone-and-milliseconds", "before-1970", "int-ms"],
)
def test_bond_names_are_canonical_and_read_back_to_the_maturity(maturity, name):
    assert bond_asset(maturity) == name
    assert bond_maturity(name) == to_ms(maturity)


@pytest.mark.parametrize("alias", ["ZCB:2031-01-01T00:00Z", "ZCB:2031-01-01T01:00:00+01:00", "ZCB: 2031-01-01 "])
def test_any_iso_spelling_names_the_same_bond(alias):
    assert bond_maturity(alias) == bond_maturity("ZCB:2031-01-01")


@pytest.mark.parametrize("name", ["USD", "STK", "zcb:2031-01-01", "ZCB", "", None, 42])
def test_names_that_are_not_bond_names_have_no_maturity(name):
    assert bond_maturity(name) is None


@pytest.mark.parametrize("name", ["ZCB:", "ZCB:2031-13-01", "ZCB:tomorrow", "ZCB:2031-01-01X"])
def test_malformed_bond_names_are_refused_by_name(name):
    with pytest.raises(ValueError, match="malformed bond asset name " + repr(name).replace("+", r"\+")):
        bond_maturity(name)


# Forwards of the deterministic models


def booked_present_values(market, rows):
    """What fixed_price books for each row, discounted to the pricing time, with the bonds' forwards."""
    units = [row[4] for row in rows]
    dataset = market.dataset("fixed", flags=8)
    dataset["ASSETS"].update(bond_forwards(units, market))
    recorder = Recorder()
    _kestro.fixed_price(timetable(rows), recorder, dataset, {})
    return np.array([float(recorder.stats["CASHFLOW"][0][i][0]) for i in range(len(rows))])


@pytest.mark.parametrize("market", [CURVED, LATE_FIRST], ids=["curve-from-zero", "first-point-after-zero"])
@pytest.mark.parametrize("maturity", [0.3, 2.0, 4.4, 8.0], ids=["before-a-pillar", "on-a-pillar", "between",
                                                                "last-time"])
def test_bond_forwards_are_worth_the_discount_factor_at_maturity_when_read_at_any_earlier_time(market, maturity):
    end = years(maturity)
    grid = sorted({START, end, *(years(x) for x in np.linspace(0, maturity, 17)),
                   *(years(x) for x in market.discount[1][0] if 0 < x < maturity),
                   *(years(x) + d for x in market.discount[1][0] if 0 < x < maturity for d in (-1, 1))})
    rows = [(t, "v", "+", 1.0, bond_asset(end)) for t in grid]
    values = booked_present_values(market, rows)
    assert values == pytest.approx(np.full(len(rows), df(market, (end - START) / YEAR_MS)), rel=2e-15)


def test_bond_forwards_leave_other_names_out():
    entries = bond_forwards(["USD", "STK", zcb(2.0), zcb(2.0)], CURVED)
    assert list(entries) == [zcb(2.0)]


@pytest.mark.parametrize(
    "market, name, message",
    [
        (CURVED, zcb(10.5), r"'ZCB:2036-06-29T12:00:00.000Z' matures 10.5 years .* last time, 10 years"),
        (CURVED, bond_asset("2025-06-01"), "'ZCB:2025-06-01' matures .* before the pricing time"),
        (Market(), zcb(1.0), "'ZCB:2027-01-01' .* this market has none"),
    ],
    ids=["after-the-curve", "before-the-pricing-time", "no-discount-curve"],
)
def test_bond_forwards_refuse_bonds_the_curve_cannot_value(market, name, message):
    with pytest.raises(ValueError, match=message):
        bond_forwards([name], market)


# Preparing a pricing call


def phrase(*inputs):
    return {"type": "phrase", "fn": lambda values: values, "inp": list(inputs)}


def reader(rows, expressions=None):
    return kestro.Contract(timetable(rows), expressions or {})


@pytest.mark.parametrize("model", kestro.MODELS)
def test_contracts_without_bonds_pass_through_untouched(model):
    contract = kestro.interest_rate_swap(0.03, 5.0)
    dataset = {"ASSETS": {}}
    prepared, prepared_dataset = prepare_bonds(contract, CURVED, model, dataset, None)
    assert prepared is contract and prepared_dataset is dataset


@pytest.mark.parametrize("model", ["fixed", "black_scholes", "monte_carlo"])
def test_deterministic_models_get_a_forward_for_every_bond_read_by_a_row_or_an_expression(model):
    contract = reader([(years(1.0), "v", "+", 1.0, zcb(3.0)), (years(1.0), "v", "+", 1.0, "v.phrase")],
                      {"v.phrase": phrase(zcb(4.0), "STK")})
    market = Market.flat(rate=0.03, spots={"STK": 100.0})
    dataset = market.dataset(model, **({"vol": 0.2} if model == "black_scholes" else {}))
    _, prepared = prepare_bonds(contract, market, model, dataset, None)
    assert set(prepared["ASSETS"]) == {"USD", "STK", zcb(3.0), zcb(4.0)}
    assert set(dataset["ASSETS"]) == {"USD", "STK"}  # the caller's dataset is left alone


LATE_READS = {
    "row": ([(years(1.0), "v", "+", 1.0, zcb(2.0)), (years(2.5), "v", "+", 1.0, zcb(2.0))], {}),
    "phrase-input": ([(years(2.5), "v", "+", 1.0, "v.phrase")], {"v.phrase": phrase(zcb(2.0))}),
    "nested-phrase": ([(years(2.5), "v", "+", 1.0, "v.outer")],
                      {"v.outer": phrase("v.inner"), "v.inner": phrase(zcb(2.0))}),
}


@pytest.mark.parametrize("model, read", [
    *((model, read) for model in ("fixed", "monte_carlo") for read in LATE_READS),
    ("hull_white", "row"),  # the grid refuses expressions before it looks at bonds
])
def test_reading_a_bond_after_its_maturity_is_refused_naming_the_row_time_and_the_bond(model, read):
    rows, expressions = LATE_READS[read]
    settings = {"vol": SIGMA, "meanrev": A} if model == "hull_white" else {}
    with pytest.raises(ValueError, match=r"reads bond 'ZCB:2028-01-01' at 2028-07-01T12:00:00.000Z, after its "
                                         r"maturity 2028-01-01"):
        kestro.price(reader(rows, expressions), CURVED, model, **settings)


def test_hull_white_paths_must_count_time_from_the_markets_pricing_time():
    market = Market(pricing_time="2026-07-01", discount=CURVED.discount)
    contract = reader([(to_ms("2027-01-01"), "v", "+", 1.0, "ZCB:2028-01-01")])
    with pytest.raises(ValueError, match="pricing_time"):
        kestro.price(contract, market, "monte_carlo", state=hull_white_paths(market, paths=10))
    paths = hull_white_paths(market, paths=20_000, pricing_time=market.pricing_time)
    estimate = mc(contract, market, paths)
    assert abs(estimate.mean - df(market, (to_ms("2028-01-01") - market.pricing_time) / YEAR_MS)) \
        < 4 * estimate.standard_error


# The Hull-White grid


def test_bonds_become_tracks_appended_after_the_existing_ones_and_booked_before_their_readers():
    rows = [(years(0.5), "v", "+", 1.0, zcb(2.0)),
            (years(0.5), "other", "+", 1.0, "ZCB:2028-01-01T00:00Z"),  # another spelling of the same bond
            (years(2.0), "v", "+", 2.0, zcb(2.0)),
            (years(2.0), "v", "+", 1.0, "USD"),
            (years(3.0), "v", ">", 1.0, zcb(4.0))]
    grid = bonds_on_grid(reader(rows), CURVED)
    table = grid.events.to_pylist()
    assert grid.tracks == ("v", "other", zcb(2.0), zcb(4.0))
    assert grid.events.column("track").dictionary.to_pylist() == list(grid.tracks)
    assert [(row["track"], row["op"], row["quantity"], row["unit"]) for row in table] == [
        ("v", "+", 1.0, zcb(2.0)), ("other", "+", 1.0, zcb(2.0)), ("v", "+", 2.0, zcb(2.0)), ("v", "+", 1.0, "USD"),
        (zcb(2.0), "+", 1.0, "USD"), ("v", ">", 1.0, zcb(4.0)), (zcb(4.0), "+", 1.0, "USD")]
    times = grid.times
    assert times.tolist() == [years(0.5), years(0.5), years(2.0), years(2.0), years(2.0), years(3.0), years(4.0)]
    assert grid.events.schema == reader(rows).events.schema


def test_a_bond_track_takes_another_name_when_its_own_is_taken():
    rows = [(years(1.0), "ZCB:2028-01-01", "+", 1.0, "USD"),  # a track that happens to carry the name
            (years(1.0), "ZCB:2028-01-01", "+", 1.0, "ZCB:2028-01-01T00:00:00.000Z")]
    grid = bonds_on_grid(reader(rows), CURVED)
    assert grid.tracks == ("ZCB:2028-01-01", "ZCB:2028-01-01#2")
    assert grid.events.column("unit").to_pylist() == ["USD", "ZCB:2028-01-01#2", "USD"]


@pytest.mark.parametrize("model, settings, tolerance", [
    ("fixed", {}, 1e-14),
    ("hull_white", {"vol": SIGMA, "meanrev": A}, 3e-6),
    ("hull_white", {"vol": 0.02, "meanrev": 0.0}, 2e-5),  # the grid's own error on a 7-year bond
], ids=["fixed", "hull-white-grid", "ho-lee-grid"])
def test_bonds_read_before_or_at_maturity_are_worth_their_discount_factor_today(model, settings, tolerance):
    rows = [(START, "v", "+", 1.0, zcb(4.0)),
            (years(1.5), "v", "+", 2.0, zcb(2.5)),
            (years(2.5), "v", "+", -0.5, zcb(2.5)),  # read at its maturity: one unit
            (years(2.5), "v", "+", 3.0, zcb(7.0))]
    expected = df(CURVED, 4.0) + 1.5 * df(CURVED, 2.5) + 3.0 * df(CURVED, 7.0)
    assert kestro.price(reader(rows), CURVED, model, **settings) == pytest.approx(expected, rel=tolerance)


# Hull-White paths


def walk(paths, steps):
    """Advance through `steps`; the running path discount at the end."""
    discount = np.ones(paths.paths)
    for x in steps:
        discount = discount * paths.advance(x)
    return discount


@pytest.mark.parametrize("market", [CURVED, LATE_FIRST, FLAT], ids=["curved", "first-point-after-zero", "flat"])
def test_bond_prices_at_the_pricing_time_are_the_curves_discount_factors(market):
    paths = hull_white_paths(market, paths=8)
    for maturity in (0.25, 1.0, 3.7, 8.0):
        assert paths.get_value(zcb(maturity)) == pytest.approx(np.full(8, df(market, maturity)), rel=1e-14)


@pytest.mark.parametrize("market", [CURVED, LATE_FIRST], ids=["curved", "first-point-after-zero"])
@pytest.mark.parametrize("mean_reversion, vol", [(0.1, 0.01), (0.0, 0.015), (0.8, 0.03)],
                         ids=["hull-white", "ho-lee", "fast-reversion"])
@pytest.mark.parametrize("steps", [[1.5], [0.2, 0.9, 1.5]], ids=["one-step", "three-steps"])
def test_discounted_bond_prices_average_to_todays_discount_factor(market, mean_reversion, vol, steps):
    paths = HullWhitePaths(market.discount, mean_reversion, vol, paths=60_000, seed=4)
    discount = walk(paths, steps)
    for maturity in (1.5 + 1 / 365, 3.0, 7.9):
        values = discount * paths.get_value(zcb(maturity))
        error = values.std(ddof=1) / math.sqrt(values.size)
        assert abs(values.mean() - df(market, maturity)) < 4 * error + 1e-15, maturity


def test_a_bond_at_its_maturity_is_worth_one_and_after_it_is_refused_by_name():
    paths = hull_white_paths(CURVED, paths=10)
    paths.advance(2.0)
    assert paths.get_value(zcb(2.0)).tolist() == [1.0] * 10
    with pytest.raises(ValueError, match=r"get_value\('ZCB:2027-12-31T23:59:59.999Z'\): .* has matured"):
        paths.get_value(bond_asset(years(2.0) - 1))
    with pytest.raises(ValueError, match="malformed bond asset name 'ZCB:soon'"):
        paths.get_value("ZCB:soon")
    assert paths.get_value("STK") is None


def forward_rate(market, x, h=1e-7):
    return (curve_y(market, x + h) - curve_y(market, x - h)) / (2 * h)


@pytest.mark.parametrize("market", [CURVED, LATE_FIRST, FLAT], ids=["curved", "first-point-after-zero", "flat"])
@pytest.mark.parametrize("mean_reversion", [0.1, 0.0], ids=["hull-white", "ho-lee"])
def test_the_discounted_short_rate_averages_to_minus_the_slope_of_the_discount_curve(market, mean_reversion):
    # E[D(t) r(t)] = -d DF(t) / dt = DF(t) f(0, t).
    paths = HullWhitePaths(market.discount, mean_reversion, 0.015, paths=60_000, seed=9)
    for x in (0.7, 2.6, 4.5):
        paths.reset()
        discount = walk(paths, [x])
        values = discount * paths.get_value("SHORT_RATE")
        error = values.std(ddof=1) / math.sqrt(values.size)
        assert abs(values.mean() - df(market, x) * forward_rate(market, x)) < 4 * error, x


@pytest.mark.parametrize("market", [CURVED, LATE_FIRST], ids=["curved", "first-point-after-zero"])
def test_the_short_rate_is_the_yield_of_the_shortest_bond_on_every_path(market):
    paths = hull_white_paths(market, paths=1_000)
    for x in (0.0, 0.5, 1.0, 2.2, 5.0):  # on the curve's points the rate is the next segment's
        if x:
            paths.advance(x)
        rate = paths.get_value("SHORT_RATE")
        start = years(x)
        short = -np.log(paths.get_value(bond_asset(start + 60_000))) / (60_000 / YEAR_MS)  # one minute
        assert short == pytest.approx(rate, abs=1e-7), x
    assert paths.get_value("SHORT_RATE").std() > 0.005


# Calibration protocol


def gbm(paths=10, seed=0, antithetic=False):
    return GbmPaths({"STK": (100.0, 0.03, 0.0), "FX": kestro.forward_curve([0.0, 5.0], [1.1, 1.2])},
                    {"STK": 0.3, "FX": 0.1}, correlation=0.4, discount=CURVED.discount, paths=paths, seed=seed,
                    antithetic=antithetic)


def hull_white(paths=10, seed=0, antithetic=False):
    return HullWhitePaths(CURVED.discount, 0.2, 0.015, paths=paths, seed=seed, antithetic=antithetic,
                          pricing_time="2026-01-01")


def states(source, names, steps=(0.4, 1.0, 2.5)):
    seen = []
    for x in steps:
        answer = source.advance(x)
        seen.append(np.array(answer, dtype=float))
        seen.extend(np.array(source.get_value(name)) for name in names)
    return seen


SOURCES = [pytest.param(gbm, ["STK", "FX"], id="gbm"),
           pytest.param(hull_white, ["SHORT_RATE", "ZCB:2031-01-01"], id="hull-white")]


@pytest.mark.parametrize("make, names", SOURCES)
@pytest.mark.parametrize("antithetic, asked, served", [(False, 7, 7), (True, 7, 8), (True, 6, 6)])
@pytest.mark.parametrize("seed", [5, np.random.SeedSequence(2024)], ids=["int-seed", "seed-sequence"])
def test_a_spawned_source_is_the_same_model_with_the_requested_paths_and_seed(make, names, antithetic, asked, served,
                                                                               seed):
    parent = make(paths=4, seed=1, antithetic=antithetic)
    parent.advance(0.3)
    spawned = parent.spawn(asked, seed)
    assert type(spawned) is type(parent) and spawned.paths == served and spawned.x == 0.0
    fresh = make(paths=served, seed=seed, antithetic=antithetic)
    for mine, theirs in zip(states(spawned, names), states(fresh, names)):
        assert np.array_equal(mine, theirs)
    spawned.reset()  # it restarts from its own seed
    assert np.array_equal(states(spawned, names)[1], states(make(served, seed, antithetic), names)[1])
    assert parent.x == 0.3 and parent.paths == 4  # the parent is untouched


@pytest.mark.parametrize("make, names", SOURCES)
def test_spawned_sources_with_different_seeds_draw_independent_paths(make, names):
    n = 20_000
    parent = make(paths=10)
    first, second = parent.spawn(n, 1), parent.spawn(n, 2)
    a, b = states(first, names[:1], steps=[1.0])[1], states(second, names[:1], steps=[1.0])[1]
    assert abs(np.corrcoef(a, b)[0, 1]) < 4 / math.sqrt(n)
    assert np.std(a) > 0


@pytest.mark.parametrize("make", [gbm, hull_white], ids=["gbm", "hull-white"])
@pytest.mark.parametrize("paths", [0, -3, 2.0, True])
def test_spawn_refuses_a_path_count_that_is_not_a_positive_integer(make, paths):
    with pytest.raises(ValueError, match="paths must be a positive integer"):
        make().spawn(paths, 0)


@pytest.mark.parametrize("make, names, expected", [
    (gbm, ["FX", "USD", "STK"], ["STK", "FX"]),
    (gbm, ["FX"], ["FX"]),
    (gbm, ["USD", "EQ"], ["STK", "FX"]),
    (gbm, [], ["STK", "FX"]),
    (hull_white, ["STK"], ["SHORT_RATE"]),
    (hull_white, [], ["SHORT_RATE"]),
], ids=["gbm-in-its-own-order", "gbm-one-named", "gbm-none-named", "gbm-no-names", "hull-white-named",
        "hull-white-no-names"])
def test_regression_state_names_values_the_source_answers(make, names, expected):
    source = make()
    assert source.regression_state(names) == expected
    source.advance(1.0)
    assert all(isinstance(source.get_value(name), np.ndarray) for name in expected)


# Bond options and swaptions against QuantLib


BOND_OPTIONS = [
    pytest.param(CURVED, call, strike, id=f"curved-{'call' if call else 'put'}-{strike}")
    for call in (True, False) for strike in (0.82, 0.86)
] + [
    pytest.param(FLAT, call, strike, id=f"flat-{'call' if call else 'put'}-{strike}")
    for call in (True, False) for strike in (0.80, 0.83)
]


@pytest.mark.parametrize("market, call, strike", BOND_OPTIONS)
def test_bond_option_on_hull_white_paths_matches_the_closed_form(market, call, strike):
    reference = ql_bond_option(market, call, strike, 1.0, 5.0)
    notional = 3.0
    estimate = mc(bond_option(strike, 1.0, 5.0, call=call, notional=notional), market,
                  hull_white_paths(market, paths=100_000, seed=11))
    assert abs(estimate.mean - notional * reference) < 3 * estimate.standard_error, (
        f"{estimate.mean} is {(estimate.mean - notional * reference) / estimate.standard_error:.2f} standard errors "
        f"from {notional * reference}")


@pytest.mark.parametrize("market, call, strike", BOND_OPTIONS)
def test_bond_option_on_the_hull_white_grid_matches_the_closed_form(market, call, strike):
    reference = ql_bond_option(market, call, strike, 1.0, 5.0)
    # A fine grid across six standard deviations of the factor at the option's expiry, where its kink lies.
    max_x = 6 * SIGMA * math.sqrt(-math.expm1(-2 * A) / (2 * A))
    value = kestro.price(bond_option(strike, 1.0, 5.0, call=call), market, "hull_white", vol=SIGMA, meanrev=A,
                         n_x=1000, max_x=max_x, timestep=1 / 1460)
    assert value == pytest.approx(reference, rel=3e-5)


@pytest.mark.parametrize("market, call, strike", BOND_OPTIONS)
def test_bond_option_on_the_default_hull_white_grid_is_within_1e_3_of_the_closed_form(market, call, strike):
    reference = ql_bond_option(market, call, strike, 1.0, 5.0)
    value = kestro.price(bond_option(strike, 1.0, 5.0, call=call), market, "hull_white", vol=SIGMA, meanrev=A)
    assert value == pytest.approx(reference, rel=1e-3)


@pytest.mark.parametrize("market", [CURVED, FLAT], ids=["curved", "flat"])
@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
def test_bond_option_under_the_fixed_model_is_the_discounted_intrinsic_value_on_the_forward(market, call):
    expiry, maturity, strike = 1.5, 6.0, 0.87
    intrinsic = df(market, maturity) - strike * df(market, expiry)
    expected = 2.0 * max(intrinsic if call else -intrinsic, 0.0)
    value = kestro.price(bond_option(strike, expiry, maturity, call=call, notional=2.0), market, "fixed")
    assert value == pytest.approx(expected, rel=1e-13, abs=1e-15)


@pytest.mark.parametrize("payer", [True, False], ids=["payer", "receiver"])
@pytest.mark.parametrize("fixed_rate", [0.032, 0.04])
def test_european_swaption_on_hull_white_paths_matches_jamshidian(payer, fixed_rate):
    reference = ql_european_swaption(CURVED, payer, fixed_rate, 1, 5, 100.0)
    estimate = mc(bermudan_swaption(fixed_rate, [1.0], 5.0, payer=payer), CURVED,
                  hull_white_paths(CURVED, paths=100_000, seed=21))
    assert abs(estimate.mean - reference) < 3 * estimate.standard_error, (
        f"{estimate.mean} is {(estimate.mean - reference) / estimate.standard_error:.2f} standard errors from "
        f"{reference}")


@pytest.mark.parametrize("payer, fixed_rate, frequency, maturity, exercise", [
    (True, 0.03, 1, 5.0, [1.0, 2.0, 3.0, 4.0]),
    (False, 0.045, 1, 5.0, [1.0, 2.0, 3.0, 4.0, 5.0]),
    (True, 0.034, 2, 4.75, [0.75, 1.75, 2.25, 3.25]),
    (False, 0.04, 2, 4.75, [1.25, 3.75]),
], ids=["payer-annual", "receiver-annual-to-maturity", "payer-semiannual-stub", "receiver-semiannual-stub"])
def test_bermudan_swaption_under_the_fixed_model_is_the_best_exercise_on_the_forward_curve(
        payer, fixed_rate, frequency, maturity, exercise):
    notional = 50.0
    coupons = sorted(maturity - k / frequency for k in range(int(maturity * frequency) + 1)
                     if maturity - k / frequency > 1e-9)
    accruals = np.diff([0.0, *coupons])
    best = 0.0
    for t in exercise:  # a receiver's swap is worth its fixed coupons and notional less the notional now
        receiver = sum(fixed_rate * a * df(CURVED, c) for c, a in zip(coupons, accruals) if c > t + 1e-9) \
            + df(CURVED, maturity) - df(CURVED, t)
        best = max(best, notional * (-receiver if payer else receiver))
    assert best > 0.1
    swaption = bermudan_swaption(fixed_rate, exercise, maturity, payer=payer, frequency=frequency,
                                 notional=notional)
    assert kestro.price(swaption, CURVED, "fixed") == pytest.approx(best, rel=1e-12)


@pytest.mark.parametrize("payer", [True, False], ids=["payer", "receiver"])
def test_bermudan_swaption_by_regression_on_hull_white_paths_matches_quantlibs_grid(payer):
    reference = ql_bermudan_swaption(CURVED, payer, 0.033, [1, 2, 3, 4], 5, 100.0)
    swaption = bermudan_swaption(0.033, [1.0, 2.0, 3.0, 4.0], 5.0, payer=payer)
    value = kestro.price(swaption, CURVED, "monte_carlo", state=hull_white_paths(CURVED, seed=3), upper_bound=True)
    assert value.exercise == "regression"
    assert abs(value - reference) < 3 * value.standard_error + 0.02, (repr(value), reference)
    assert float(value.upper_bound) > reference + 10 * value.upper_bound.standard_error  # foresight


def test_bermudan_swaption_is_worth_at_least_its_european_on_the_same_hull_white_paths():
    bermudan = bermudan_swaption(0.033, [1.0, 2.0, 3.0, 4.0], 5.0)
    european = bermudan_swaption(0.033, [1.0], 5.0)
    state = hull_white_paths(CURVED, paths=20_000, seed=8)
    assert kestro.price(bermudan, CURVED, "monte_carlo", state=state) > \
        kestro.price(european, CURVED, "monte_carlo", state=state)


@pytest.mark.parametrize("make, error, message", [
    (lambda: bond_option(0.9, 2.0, 2.0), ValueError, "maturity must lie after the option's expiry"),
    (lambda: bond_option(0.9, 2.0, maturity_years=3.0, maturity="2030-01-01"), TypeError, "not both"),
    (lambda: bond_option(0.9, 1.0, 3.0, track=zcb(3.0)), ValueError, "pick another track name"),
    (lambda: bermudan_swaption(0.03, [1.0, 6.0], 5.0), ValueError, "on or before the swap's maturity"),
    (lambda: bermudan_swaption(0.03, [0.0, 1.0], 5.0), ValueError, "exercise dates must lie after start"),
    (lambda: bermudan_swaption(0.03, [], 5.0), ValueError, "at least one date"),
    (lambda: bermudan_swaption(0.03, [1.0], 5.0, frequency=0), ValueError, "whole number of payments"),
    (lambda: bermudan_swaption(0.03, [1.0], 5.0, track=zcb(5.0)), ValueError, "pick another track name"),
], ids=["bond-not-after-expiry", "maturity-twice", "track-named-as-the-bond", "exercise-after-maturity",
        "exercise-at-start", "no-exercise-date", "no-frequency", "track-named-as-a-bond"])
def test_bad_interest_rate_option_arguments_are_refused(make, error, message):
    with pytest.raises(error, match=message):
        make()
