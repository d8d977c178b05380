"""Curve queries through the internals: stored values y(x), interpolation, the base currency's
discount factor and asset values, and their error texts."""

import math

import numpy as np
import pytest
from conftest import curve

NOT_MONOTONIC = ("Error while parsing Dataset, caused by\nError while parsing Asset, caused by \n"
                 "BuilderError Values in the x axis need to be strictly monotonic rising")
TIMES, RATES, FORWARDS = [0.5, 1.0, 2.0], [0.01, 0.015, 0.02], [100.0, 101.0, 103.0]


def market(assets, base="USD"):
    return {"BASE": base, "ASSETS": assets, "PRICING_TS": 0}


def not_found(name):
    return f"Asset '{name}' not found in snaps, expressions, or in dataset[ASSETS]"


@pytest.fixture
def out_of_range(internals):
    def text(x):
        return (f"Error: Interpolation out of range at time {internals.format_double(x)}.\n"
                " Perhaps the time range in forwards/discount data is too short.")

    return text


@pytest.fixture
def discount_failure(internals, out_of_range):
    def text(x):
        return f"Error in 'discount factor' value at {internals.format_double(x)}, caused by \n'{out_of_range(x)}'"

    return text


@pytest.fixture
def y(internals):
    """y(x) of a curve with these times and stored values, read back through the same forward
    curve as an asset (exp(y)) and as the base currency (discount factor exp(-y)); both must agree."""

    def stored(times, ys, x):
        entry = curve("FORWARDS", times, np.exp(ys))
        data = market({"USD": entry, "EQ": entry})
        value, df = internals.asset_value(data, "EQ", x), internals.discount_factor(data, x)
        if isinstance(value, str):
            assert df == f"Error in 'discount factor' value at {internals.format_double(x)}, caused by \n'{value}'"
            return value
        assert math.log(value) == pytest.approx(-math.log(df), rel=1e-12, abs=1e-15)
        return math.log(value)

    return stored


# Stored values at and between the points


@pytest.mark.parametrize("base_kind, base_values, expected",
                         [("ZERO_RATES", RATES, [math.exp(-t * r) for t, r in zip(TIMES, RATES)]),
                          ("FORWARDS", FORWARDS, [1 / f for f in FORWARDS])])
def test_base_discount_factor_at_the_points(internals, base_kind, base_values, expected):
    data = market({"USD": curve(base_kind, TIMES, base_values)})
    assert [internals.discount_factor(data, t) for t in TIMES] == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize("kind, values, expected",
                         [("FORWARDS", FORWARDS, FORWARDS),
                          ("ZERO_RATES", RATES, [math.exp(t * r) for t, r in zip(TIMES, RATES)])])
def test_asset_value_at_the_points(internals, kind, values, expected):
    data = market({"EQ": curve(kind, TIMES, values)})
    assert [internals.asset_value(data, "EQ", t) for t in TIMES] == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize("kind, values, ys",
                         [("ZERO_RATES", RATES, [t * r for t, r in zip(TIMES, RATES)]),
                          ("FORWARDS", FORWARDS, np.log(FORWARDS))])
def test_values_are_interpolated_in_stored_form(internals, kind, values, ys):
    data = market({"EQ": curve(kind, TIMES, values)})
    assert internals.asset_value(data, "EQ", 0.75) == pytest.approx(math.exp((ys[0] + ys[1]) / 2), rel=1e-14)
    assert internals.asset_value(data, "EQ", 1.25) == pytest.approx(math.exp(0.75 * ys[1] + 0.25 * ys[2]), rel=1e-14)


# Before the first time, after the last


@pytest.mark.parametrize("x", [0.0, 0.1, 0.25, 0.5, -0.5, -40.0])
def test_before_a_positive_first_time_the_curve_is_the_line_through_the_origin(y, x):
    assert y([0.5, 1.0], [0.3, 0.2], x) == pytest.approx(x * 0.3 / 0.5, rel=1e-12, abs=1e-300)


@pytest.mark.parametrize("kind", ["ZERO_RATES", "FORWARDS"])
def test_at_the_pricing_time_discount_and_forward_are_one(internals, kind):
    data = market({"USD": curve(kind, [0.25, 1.0], [7.0, 9.0]), "EQ": curve(kind, [0.25, 1.0], [7.0, 9.0])})
    assert internals.discount_factor(data, 0.0) == 1.0
    assert internals.asset_value(data, "EQ", 0.0) == 1.0


@pytest.mark.parametrize("t0", [0.0, -1.0])
def test_first_time_not_positive_starts_the_curve_there(y, out_of_range, t0):
    assert y([t0, 1.0], [0.4, 0.6], t0) == pytest.approx(0.4)
    below = np.nextafter(t0, -math.inf)
    assert y([t0, 1.0], [0.4, 0.6], below) == out_of_range(below)
    assert y([t0, 1.0], [0.4, 0.6], -2.0) == out_of_range(-2.0)


@pytest.mark.parametrize(
    "t0, x, inside",
    [(0.5, 0.5, True), (0.5, 0.2, True), (0.5, 0.0, True), (0.5, -1.0, True), (0.5, np.nextafter(0.5, 1), False),
     (0.5, 3.0, False), (0.0, 0.0, False), (0.0, 1.0, False), (0.0, -1.0, False), (-1.0, -1.0, False)],
)
def test_single_point_curve_is_only_the_line_through_the_origin(y, out_of_range, t0, x, inside):
    assert y([t0], [0.2], x) == (pytest.approx(x * 0.2 / t0) if inside else out_of_range(x))


@pytest.mark.parametrize("times", [[0.5, 1.0, 2.0], [-1.0, 2.0], [0.0, 0.001, 0.002, 2.0]])
def test_last_time_is_inside_and_a_hair_above_is_not(y, out_of_range, times):
    ys = np.linspace(0.1, 0.3, len(times))
    assert y(times, ys, 2.0) == pytest.approx(0.3, rel=1e-14)
    assert y(times, ys, np.nextafter(2.0, 3)) == out_of_range(np.nextafter(2.0, 3))
    assert y(times, ys, math.inf) == out_of_range(math.inf)


@pytest.mark.parametrize("times", [[0.5, 1.0], [0.0, 1.0], [0.5]])
def test_nan_time_is_out_of_range(internals, out_of_range, discount_failure, times):
    data = market({"USD": curve("ZERO_RATES", times, [0.1] * len(times)),
                   "EQ": curve("FORWARDS", times, [1.5] * len(times))})
    assert internals.asset_value(data, "EQ", math.nan) == out_of_range(math.nan)
    assert internals.discount_factor(data, math.nan) == discount_failure(math.nan)


def test_discount_factor_failure_quotes_the_inner_error(internals):
    data = market({"USD": curve("ZERO_RATES", [0.5, 1.0], [0.1, 0.1])})
    assert internals.discount_factor(data, 2.5) == (
        "Error in 'discount factor' value at 2.5, caused by \n"
        "'Error: Interpolation out of range at time 2.5.\n Perhaps the time range in forwards/discount data is too short.'")


@pytest.mark.parametrize("times", [[1.0, 1.0], [2.0, 1.0], [0.5, 1.0, 1.0, 2.0], [0.5, 2.0, 1.5], [0.5, math.nan],
                                   [math.nan, 1.0]])
@pytest.mark.parametrize("name", ["USD", "EQ"])
def test_times_that_do_not_strictly_rise_are_refused(internals, times, name):
    data = market({name: curve("FORWARDS", times, [1.0] * len(times))})
    with pytest.raises(RuntimeError) as info:
        internals.discount_factor(data, 0.5)
    assert str(info.value) == NOT_MONOTONIC


# Roles and names


def test_base_currency_is_worth_one_whatever_its_curve_holds(internals):
    data = market({"USD": curve("FORWARDS", [0.5, 1.0], [2.0, 3.0])})
    assert [internals.asset_value(data, "USD", x) for x in (0.75, 1.0, 5.0, -1.0, math.nan)] == [1.0] * 5


def test_base_currency_without_an_entry_is_not_found(internals):
    data = market({"EQ": curve("FORWARDS", [0.5, 1.0], [2.0, 3.0])})
    assert internals.discount_factor(data, 0.5) == not_found("USD")
    assert internals.asset_value(data, "USD", 0.5) == not_found("USD")
    assert internals.asset_value(data, "GOLD", 0.5) == not_found("GOLD")


@pytest.mark.parametrize("base, name", [("USD", "usd"), ("USD", "USD "), ("\u00e9", "e\u0301")])
def test_base_is_matched_byte_for_byte(internals, base, name):
    data = market({name: curve("FORWARDS", [0.5, 1.0], [2.0, 3.0])}, base=base)
    assert internals.discount_factor(data, 0.5) == not_found(base)
    assert internals.asset_value(data, name, 1.0) == pytest.approx(3.0)


# Interpolation against numpy


def random_times(rng, spacing, n):
    if spacing == "even":
        return np.linspace(rng.uniform(-1, 1), rng.uniform(2, 30), n)
    if spacing == "uneven":
        return rng.uniform(-1, 1) + np.cumsum(rng.exponential(1.0, n) ** 3 + 1e-6)
    if spacing == "clustered at the start":  # the even-spacing guess lands too low
        return np.append(np.linspace(0.0, 0.01, n - 1), 100.0)
    return np.insert(np.linspace(99.99, 100.0, n - 1), 0, 0.0)  # clustered at the end: it lands too high


@pytest.mark.parametrize("spacing", ["even", "uneven", "clustered at the start", "clustered at the end"])
@pytest.mark.parametrize("seed", range(5))
def test_interpolation_matches_numpy(internals, spacing, seed):
    rng = np.random.default_rng(seed)
    times = random_times(rng, spacing, int(rng.integers(2, 40)))
    ys = rng.normal(0.0, 0.5, times.size)
    data = market({"EQ": curve("FORWARDS", times, np.exp(ys))})
    t0, last = times[0], times[-1]
    xs = np.concatenate([times, (times[1:] + times[:-1]) / 2, rng.uniform(min(t0, 0.0), last, 300)])
    expected = np.interp(xs, times, ys)
    if t0 > 0:
        expected = np.where(xs <= t0, xs * ys[0] / t0, expected)
    got = [internals.asset_value(data, "EQ", x) for x in xs]
    assert np.log(got) == pytest.approx(expected, rel=1e-12, abs=1e-12)
