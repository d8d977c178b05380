"""fd_blackscholes_price and fd_hullwhite_price: grid accuracy, backward time stepping, events on the grid, errors."""

import math
import re

import _kestro
import numpy as np
import pytest

import conftest
from conftest import Recorder, curve, dict_column, timetable

YEAR = 31_536_000_000  # ms in a 365-day year
P = 1_767_225_600_000  # PRICING_TS, 2026-01-01T00:00:00Z
R = 0.05
SPOT = 100.0
EVAL = "Error during model evaluation, caused by\n"
BS = _kestro.fd_blackscholes_price
HW = _kestro.fd_hullwhite_price

# A rising zero curve for Hull-White, and the zero rate it gives at a year fraction.
HW_TIMES, HW_RATES = [0.0, 1.0, 3.0, 5.0, 10.0], [0.02, 0.025, 0.03, 0.035, 0.04]


def normal_cdf(z):
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


def hw_zero_rate(years):
    return np.interp(years, HW_TIMES, np.array(HW_TIMES) * HW_RATES) / years


def at(years):
    return P + round(years * YEAR)


def flat_assets(rate=R, spot=SPOT, growth=R):
    """USD at a flat zero rate and EQ growing at `growth` from `spot`, both given from the pricing time."""
    return {"USD": curve("ZERO_RATES", [0.0, 30.0], [rate, rate]),
            "EQ": curve("FORWARDS", [0.0, 30.0], [spot, spot * math.exp(growth * 30)])}


def fd_dataset(n_x=100, max_x=1.2, timestep=0.01, flags=0, vol=0.2, asset="EQ", meanrev=0.1, hw_vol=0.01,
               assets=None, pricing_ts=P):
    return conftest.dataset(
        ASSETS=flat_assets() if assets is None else assets,
        PRICING_TS=pricing_ts,
        FD={"N_X": n_x, "MAX_X": max_x, "TIMESTEP": timestep, "FLAGS": flags},
        BS={"VOL": vol, "ASSET": asset},
        HW={"MEANREV": meanrev, "VOL": hw_vol},
    )


def run(model, rows, state=None, expressions=None, tracks=None, units=None, **settings):
    return model(timetable(rows, tracks=tracks, units=units), state, fd_dataset(**settings), expressions or {})


def stats(model, rows, flags, **settings):
    recorder = Recorder()
    price = run(model, rows, recorder, flags=flags, **settings)
    return price, {name: value for _, name, value in recorder.calls}


def close(calculated, expected, tol, what="price"):
    assert abs(calculated - expected) <= tol, (
        f"{what}: expected {expected!r}, calculated {calculated!r}, tolerance {tol!r}")


def close_arrays(calculated, expected, rtol, what):
    calculated, expected = np.asarray(calculated), np.asarray(expected)
    assert calculated.shape == expected.shape, f"{what}: shape {calculated.shape}, expected {expected.shape}"
    excess = np.abs(calculated - expected) - rtol * np.abs(expected)
    worst = int(np.argmax(excess))
    assert excess[worst] <= 0, (
        f"{what} at node {worst}: expected {expected[worst]!r}, calculated {calculated[worst]!r}, "
        f"relative tolerance {rtol!r}")


def black(forward, strike, discount, vol, years, call):
    """Black-Scholes on the forward: the price of a European call or put."""
    d1 = (math.log(forward / strike) + 0.5 * vol * vol * years) / (vol * math.sqrt(years))
    d2 = d1 - vol * math.sqrt(years)
    if call:
        return discount * (forward * normal_cdf(d1) - strike * normal_cdf(d2))
    return discount * (strike * normal_cdf(-d2) - forward * normal_cdf(-d1))


def option_rows(t, strike, call):
    # Booked latest first: ±K, then the larger of that and ±S, then ∓K: max(S − K, 0) or max(K − S, 0).
    sign = 1.0 if call else -1.0
    return [(t, "v", "+", -sign * strike, "USD"), (t, "v", ">", sign, "EQ"), (t, "v", "+", sign * strike, "USD")]


def nodes(n_x, max_x, centre):
    return centre + max_x - np.arange(2 * n_x + 1) * (max_x / n_x)


# Accuracy against closed forms


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
@pytest.mark.parametrize("strike, years, growth", [(100.0, 1.0, R), (110.0, 2.0, 0.03), (90.0, 0.5, R)])
def test_european_options_converge_to_black_scholes(strike, years, growth, call):
    expected = black(SPOT * math.exp(growth * years), strike, math.exp(-R * years), 0.2, years, call)
    errors = []
    for n_x, timestep in [(50, 0.05), (200, 0.01), (800, 0.002)]:
        got = run(BS, option_rows(at(years), strike, call), n_x=n_x, max_x=6 * 0.2 * math.sqrt(years),
                  timestep=timestep, assets=flat_assets(growth=growth))
        errors.append(abs(got - expected))
    assert errors[0] > errors[1] > errors[2], f"errors from coarse to fine grids do not shrink: {errors}"
    close(got, expected, 1e-4, "price on the finest grid")


def test_daily_exercise_put_is_worth_more_than_the_european_and_matches_the_reference():
    rows = [row for day in range(1, 366) for row in option_rows(at(day / 365), SPOT, call=False)]
    european = black(SPOT * math.exp(R), SPOT, math.exp(-R), 0.2, 1.0, call=False)
    close(european, 5.5735, 1e-4, "European put")
    got = run(BS, rows, n_x=2000, max_x=6 * 0.2, timestep=1 / 3650)
    assert got > european, f"daily exercise is worth less than none: {got} against the European {european}"
    close(got, 6.0887, 0.01)


@pytest.mark.parametrize("strike", [80.0, 100.0, 125.0])
def test_put_call_parity_holds_on_the_grid(strike):
    years, settings = 1.5, {"n_x": 150, "max_x": 6 * 0.2 * math.sqrt(1.5), "timestep": 0.02}
    call = run(BS, option_rows(at(years), strike, True), **settings)
    put = run(BS, option_rows(at(years), strike, False), **settings)
    forward = run(BS, [(at(years), "v", "+", 1.0, "EQ"), (at(years), "v", "+", -strike, "USD")], **settings)
    # The scheme is linear and the payoffs differ node by node by S − K: parity holds to rounding.
    close(call - put, forward, 1e-10, "call − put against the grid's forward")
    close(call - put, SPOT - strike * math.exp(-R * years), 1e-3, "call − put against S0 − K·df")


@pytest.mark.parametrize("unit, forward", [("USD", 1.0), ("EQ", SPOT * math.exp(R * 5))])
@pytest.mark.parametrize("vol", [0.0, 0.01])
def test_hull_white_payment_reproduces_the_discount_curve(vol, unit, forward):
    years, meanrev = 5.0, 0.1
    # The grid spans six standard deviations of the factor at maturity (a nominal 1 % without volatility).
    factor_sd = vol * math.sqrt((1 - math.exp(-2 * meanrev * years)) / (2 * meanrev)) or 0.01
    assets = {"USD": curve("ZERO_RATES", HW_TIMES, HW_RATES), "EQ": flat_assets()["EQ"]}
    expected = 2.0 * forward * math.exp(-hw_zero_rate(years) * years)
    errors = []
    for n_x, timestep in [(25, 0.1), (200, 0.01)]:
        got = run(HW, [(at(years), "v", "+", 2.0, unit)], n_x=n_x, max_x=6 * factor_sd, timestep=timestep,
                  meanrev=meanrev, hw_vol=vol, assets=assets)
        errors.append(abs(got / expected - 1))
    close(got / expected, 1.0, 1e-5, "price relative to the curve's discount factor")
    assert errors[0] > errors[1], f"relative errors from coarse to fine grid do not shrink: {errors}"


@pytest.mark.parametrize("meanrev", [1e-9, 1e-12, 1e-100, 1e-160, 1e-300, 5e-324, -0.0])
def test_hull_white_without_mean_reversion_is_the_limit_of_weak_mean_reversion(meanrev):
    # The convexity σ²(1 − e^{−ab})²/(2a²) cancels digits for a small a·b and is 0·∞ once a² underflows.
    assets = {"USD": curve("ZERO_RATES", HW_TIMES, HW_RATES)}
    prices = [run(HW, [(at(5), "v", "+", 1.0, "USD")], n_x=100, max_x=0.12, timestep=0.02, meanrev=a, assets=assets)
              for a in (0.0, meanrev)]
    close(prices[1] / prices[0], 1.0, 1e-12, f"MEANREV {meanrev!r} price relative to MEANREV 0")
    close(prices[0] / math.exp(-hw_zero_rate(5) * 5), 1.0, 1e-4, "MEANREV 0 price relative to the discount factor")


# Time stepping


def curve_value(times, rates, x):
    """The stored value y(x) = rate·time of a zero curve: through the origin before its first point."""
    y = np.array(times) * rates
    return x * y[0] / times[0] if times[0] > 0 and x <= times[0] else float(np.interp(x, times, y))


def stepped_payments(rows, timestep, times, rates, pricing_ts=P):
    """The walk of the grid for payments in the base currency, which stay equal on every node: anchored at
    the last row's time, down in whole steps of trunc(TIMESTEP) ms, each row and PRICING_TS visited exactly,
    steps under 1e-10 years skipped; a step multiplies by (1 − r·Δt/2)/(1 + r·Δt/2), r its average rate."""
    dt = int(timestep * 3.1536e10)
    now, value = rows[-1][0], 0.0

    def roll_back(target):
        nonlocal now, value
        if (now - target) / 3.1536e10 < 1e-10:
            return
        a, b = (now - pricing_ts) / 3.1536e10, (target - pricing_ts) / 3.1536e10
        r = (curve_value(times, rates, a) - curve_value(times, rates, b)) / (a - b)
        span = (now - target) / 3.1536e10
        value *= (1 - r * span / 2) / (1 + r * span / 2)
        now = target

    lattice = now - dt
    for time, quantity in reversed(rows):
        while lattice > time:
            roll_back(lattice)
            lattice -= dt
        roll_back(time)
        value += quantity
    while lattice > pricing_ts:
        roll_back(lattice)
        lattice -= dt
    roll_back(pricing_ts)
    return value


STEP = int(0.1 * 3.1536e10)
ODD_STEP = int(0.0123456789 * 3.1536e10)  # 389333333.8 ms, truncated


@pytest.mark.parametrize(
    "rows, timestep, n_x",
    [
        pytest.param([(at(1), 1.0)], 0.25, 20, id="on-the-lattice"),
        pytest.param([(at(0.05), 3.0), (at(0.33), 2.0), (at(1.7), 1.0)], 0.1, 20, id="rows-off-the-lattice"),
        # The row lies 2 ms below the 50th lattice time with the step truncated to whole milliseconds.
        pytest.param([(at(1) - 50 * ODD_STEP - 2, 2.0), (at(1), 1.0)], 0.0123456789, 20,
                     id="fractional-millisecond-step"),
        pytest.param([(at(0.5), 1.0), (at(0.5), 2.0), (at(1), 3.0)], 0.1, 20, id="two-rows-at-one-time"),
        pytest.param([(at(1), 1.0), (at(3), 5.0), (at(2), 1.0)], 0.1, 20, id="later-row-applied-at-current-time"),
        pytest.param([(at(-1), 4.0), (at(0.55), 1.0)], 0.1, 20, id="rows-before-the-pricing-time"),
        pytest.param([(P + 7 * STEP - 2, 1.0), (P + 10 * STEP, 1.0)], 0.1, 20, id="lattice-2ms-above-a-row"),
        pytest.param([(P + 7 * STEP + 2, 1.0), (P + 10 * STEP, 1.0)], 0.1, 20, id="lattice-2ms-below-a-row"),
        pytest.param([(P + 5, 1.0)], 3.2e-11, 20, id="one-millisecond-step"),
        pytest.param([(at(0.33), 2.0), (at(1.7), 1.0)], 0.1, 1, id="three-nodes"),
    ],
)
@pytest.mark.parametrize(
    "model, forwards, kw, rtol",
    [
        # Without volatility or drift the centre node's rows have no off-diagonal terms: exact to rounding.
        pytest.param(BS, [1.0, 1.0, 1.0, 1.0], {"vol": 0.0}, 1e-13, id="bs-without-vol-or-drift"),
        pytest.param(HW, [1.0, 1.0, 1.0, 1.0], {"hw_vol": 0.0}, 1e-13, id="hw-without-vol"),
        # Otherwise the tridiagonal solve mixes in the neighbours' (equal) values, with their rounding.
        pytest.param(BS, [100.0, 104.0, 110.0, 150.0], {"vol": 0.2}, 5e-12, id="bs"),
    ],
)
def test_base_currency_payments_are_discounted_step_by_step(model, forwards, kw, rtol, rows, timestep, n_x):
    # A curve whose first point lies after the pricing time also covers rows before it.
    times, rates = [0.5, 2.0, 5.0, 30.0], [0.03, 0.045, 0.04, 0.05]
    assets = {"USD": curve("ZERO_RATES", times, rates), "EQ": curve("FORWARDS", times, forwards)}
    expected = stepped_payments(rows, timestep, times, rates)
    price, received = stats(model, [(t, "v", "+", q, "USD") for t, q in rows], flags=1, n_x=n_x, timestep=timestep,
                            assets=assets, **kw)
    close(price, expected, rtol * expected)
    if model is BS:  # a value equal on every node stays equal on every node
        close_arrays(received["PV_VEC"], np.full(2 * n_x + 1, expected), rtol, "PV_VEC")


# Events on the grid


@pytest.mark.parametrize(
    "asset, assets, spot",
    [
        pytest.param("EQ", flat_assets(), SPOT, id="asset-from-the-pricing-time"),
        pytest.param("USD", flat_assets(), 1.0, id="asset-is-the-base-currency"),
        pytest.param("EQ", {"USD": flat_assets()["USD"], "EQ": curve("FORWARDS", [0.5, 30.0], [1.02, 1.5])}, 1.0,
                     id="forwards-from-a-later-time"),
    ],
)
def test_modelled_asset_is_worth_its_node_spot_centred_on_its_value_at_the_pricing_time(asset, assets, spot):
    n_x, max_x = 40, 1.2
    price, received = stats(BS, [(P, "v", "+", 3.0, asset)], flags=9, n_x=n_x, max_x=max_x, asset=asset,
                            assets=assets)
    expected = 3.0 * np.exp(nodes(n_x, max_x, math.log(spot)))
    close_arrays(received["PV_VEC"], expected, 1e-14, "PV_VEC")
    close_arrays(received["CASHFLOW"][0][0], expected, 1e-14, "CASHFLOW")
    close(price, 3.0 * spot, 1e-13 * spot)


@pytest.mark.parametrize(
    "asset, assets, expected",
    [
        pytest.param("EQ", flat_assets(growth=0.03), SPOT * math.exp(0.03 - R), id="asset-growing-slower-than-rates"),
        pytest.param("USD", flat_assets(), 1.0, id="asset-is-the-base-currency"),
        pytest.param("EQ", {"USD": flat_assets()["USD"], "EQ": curve("FORWARDS", [0.5, 30.0], [1.02, 1.5])},
                     math.exp(math.log(1.02) + 0.5 / 29.5 * (math.log(1.5) - math.log(1.02)) - R),
                     id="forwards-from-a-later-time"),
    ],
)
@pytest.mark.parametrize("vol", [0.0, 0.2])
def test_modelled_asset_paid_later_is_worth_its_discounted_forward(asset, assets, expected, vol):
    got = run(BS, [(at(1), "v", "+", 1.0, asset)], n_x=200, max_x=1.2, timestep=0.01, vol=vol, asset=asset,
              assets=assets)
    close(got / expected, 1.0, 1e-5, "price relative to the discounted forward")


@pytest.mark.parametrize(
    "model, unit, value",
    [
        pytest.param(BS, "USD", 1.0, id="bs-base-currency"),
        pytest.param(BS, "EUR", 1.1 * math.exp(0.02 * 2), id="bs-other-asset"),
        pytest.param(HW, "USD", 1.0, id="hw-base-currency"),
        pytest.param(HW, "EUR", 1.1 * math.exp(0.02 * 2), id="hw-other-asset"),
        pytest.param(HW, "EQ", SPOT * math.exp(R * 2), id="hw-asset-named-in-bs-section"),
    ],
)
def test_asset_units_are_worth_their_forward_on_every_node(model, unit, value):
    assets = flat_assets() | {"EUR": curve("FORWARDS", [0.0, 10.0], [1.1, 1.1 * math.exp(0.02 * 10)])}
    _, received = stats(model, [(at(2), "v", "+", 2.5, unit)], flags=8, n_x=10, assets=assets)
    close_arrays(received["CASHFLOW"][0][0], np.full(21, 2.5 * value), 1e-14, f"CASHFLOW of {unit}")


def test_track_units_book_the_quantity_times_the_tracks_node_values():
    leg = [(at(1), "leg", "+", 1.0, "EQ"), (at(2), "leg", ">", 90.0, "USD")]
    settings = {"n_x": 30, "timestep": 0.05}
    direct, direct_stats = stats(BS, [(at(0.5), "v", "+", 0.0, "USD")] + [(t, "v", o, q, u) for t, _, o, q, u in leg],
                                 flags=1, **settings)
    booked, booked_stats = stats(BS, [(at(0.5), "v", "+", -3.0, "leg")] + leg, flags=1, tracks=["v", "leg"],
                                 **settings)
    close(booked, -3.0 * direct, 1e-12 * abs(direct))
    close_arrays(booked_stats["PV_VEC"], -3.0 * direct_stats["PV_VEC"], 1e-12, "PV_VEC")


def test_track_unit_referring_to_its_own_track_adds_quantity_times_its_value():
    one = run(BS, [(at(1), "v", "+", 1.0, "USD")])
    close(run(BS, [(at(0.5), "v", "+", 2.0, "v"), (at(1), "v", "+", 1.0, "USD")]), 3.0 * one, 1e-14)


def test_call_values_fall_from_the_top_node_and_match_black_scholes_near_the_centre():
    n_x, max_x = 400, 1.2
    price, received = stats(BS, option_rows(at(1), SPOT, True), flags=1, n_x=n_x, max_x=max_x, timestep=0.005)
    pv = received["PV_VEC"]
    assert pv.dtype == np.float64 and pv.shape == (2 * n_x + 1,)
    assert np.all(np.diff(pv) < 0), "call values do not decrease from node 0 (highest spot) down"
    assert pv[n_x] == price
    spots = np.exp(nodes(n_x, max_x, math.log(SPOT)))
    for i in range(n_x - 60, n_x + 61, 20):  # spots within about one standard deviation
        close(pv[i], black(spots[i] * math.exp(R), SPOT, math.exp(-R), 0.2, 1.0, True), 1e-3, f"node {i}")


def test_choices_and_cashflows_are_node_values_at_the_exercise_time():
    n_x, max_x, strike = 25, 1.0, 105.0
    _, received = stats(BS, option_rows(at(1), strike, call=False), flags=15, n_x=n_x, max_x=max_x)
    assert list(received) == ["PV_VEC", "CHOICES", "CASHFLOW"]
    spots = np.exp(nodes(n_x, max_x, math.log(SPOT)))
    ((event, by_track),) = received["CHOICES"].items()
    assert event == 1 and list(by_track) == [0]
    assert by_track[0].dtype == np.uint64 and by_track[0].tolist() == (spots < strike).astype(int).tolist()
    flows = received["CASHFLOW"][0]
    assert sorted(flows) == [0, 1, 2] and all(a.shape == (2 * n_x + 1,) for a in flows.values())
    close_arrays(flows[0] + flows[1] + flows[2], np.maximum(strike - spots, 0), 1e-12,
                 "cashflows summed over the exercise events")
    close_arrays(flows[2], np.where(spots < strike, 0.0, -strike), 0, "strike paid where not exercised")


# Errors


def at_event(row, description, cause):
    return f"Error at event:\n  #{row}: {description}, caused by \n{cause}"


def eval_error(model, rows, expressions=None, tracks=None, units=None, batch=None, **settings):
    batch = batch if batch is not None else timetable(rows, tracks=tracks, units=units)
    with pytest.raises(RuntimeError) as info:
        model(batch, None, fd_dataset(**settings), expressions or {})
    (text,) = info.value.args
    assert text.startswith(EVAL), text
    return text[len(EVAL):]


AT_P = "track: Track(0), time: Single(2026-01-01T00:00:00Z)"
TIMESTEP_RULE = ("TIMESTEP must be at least one millisecond (0.000000000031709791983764586 years) and below "
                 "9223372036854775808 milliseconds (292471208.677536 years), got ")
SPACING_RULE = "MAX_X / N_X, the node spacing, must not be below the square root of the smallest normal double, got "
OUT_OF_RANGE = ("'Error: Interpolation out of range at time 2.\n"
                " Perhaps the time range in forwards/discount data is too short.'")
SHORT_USD = {"USD": curve("ZERO_RATES", [0.0, 1.0], [R, R]), "EQ": flat_assets()["EQ"]}
SHORT_EQ = {"USD": flat_assets()["USD"], "EQ": curve("FORWARDS", [0.0, 1.0], [SPOT, SPOT])}


def snapper(name_out):
    return {"type": "snapper", "fn": lambda a: [1.0], "inp": [], "out": [name_out]}


def phrase():
    return {"type": "phrase", "fn": lambda a: [1.0], "inp": []}


@pytest.mark.parametrize("model", [BS, HW], ids=["bs", "hw"])
@pytest.mark.parametrize(
    "rows, kw, expected",
    [
        ([], {}, "The finite-difference grid needs at least one event: its walk starts at the last event's time"),
        ([(at(1), "v", "+", 1.0, "USD")], {"n_x": 0},
         "N_X must be at least 1: the grid needs a node on each side of its centre"),
        ([(at(1), "v", "+", 1.0, "USD")], {"max_x": 0.0}, "MAX_X must be a positive finite number, got 0"),
        ([(at(1), "v", "+", 1.0, "USD")], {"max_x": -1.5}, "MAX_X must be a positive finite number, got -1.5"),
        ([(at(1), "v", "+", 1.0, "USD")], {"max_x": math.nan}, "MAX_X must be a positive finite number, got NaN"),
        ([(at(1), "v", "+", 1.0, "USD")], {"max_x": math.inf}, "MAX_X must be a positive finite number, got inf"),
        *[([(at(1), "v", "+", 1.0, "USD")], {"timestep": ts}, TIMESTEP_RULE + text)
          for ts, text in [(math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), (-0.01, "-0.01"), (0.0, "0"),
                           (3e-11, "0.00000000003"), (1e300, "1" + "0" * 300), (2**63 / YEAR, "292471208.677536")]],
        *[([(at(1), "v", "+", 1.0, "USD")], {"max_x": max_x, "n_x": n_x}, SPACING_RULE + text)
          for max_x, n_x, text in [(1e-300, 100, "0." + "0" * 301 + "1"),
                                   (math.nextafter(2.0**-511, 0), 1, "0." + "0" * 153 + "14916681462400412")]],
        ([(None, "v", "+", 1.0, "USD")], {},
         at_event(0, "track: Track(0), time: <none>, op: +, qty: 1, unit: Asset(USD)", "No event time")),
        ([(None, "v", "+", 1.0, "USD"), (P, "v", "+", 1.0, "USD")], {},
         at_event(0, "track: Track(0), time: <none>, op: +, qty: 1, unit: Asset(USD)", "No event time")),
        ([(P, "v", "w", 1.0, "USD")], {},
         at_event(0, f"{AT_P}, op: w, qty: 1, unit: Asset(USD)", "Error in Op, caused by \nUnknown Op 'w'")),
        ([(P, "v", None, 1.0, "USD")], {},
         at_event(0, f"{AT_P}, op: , qty: 1, unit: Asset(USD)", "Error in Op, caused by \nUnknown Op ''")),
        ([(P, "v", "+", 1.0, None)], {},
         at_event(0, f"{AT_P}, op: +, qty: 1, unit: <none>", "Error in Event Specs: Missing Unit Name")),
        ([(P, "v", "+", 1.0, "XYZ")], {},
         at_event(0, f"{AT_P}, op: +, qty: 1, unit: Asset(XYZ)",
                  "Asset 'XYZ' not found in snaps, expressions, or in dataset[ASSETS]")),
        ([(P, "v", "+", 1.0, "other")], {"tracks": ["v", "other"]},
         at_event(0, f"{AT_P}, op: +, qty: 1, unit: Track(1)", "Track 1 not found")),
        ([(P, "other", "+", 1.0, "USD")], {"tracks": ["v", "other"]}, "Track 0 not found"),
        ([(at(2), "v", "+", 1.0, "USD")], {"assets": SHORT_USD, "timestep": 0.25},
         f"Error in 'discount' rate from time 1.75 to 2, caused by \n{OUT_OF_RANGE}"),
        *[([(P, "v", "+", 1.0, unit)], {"expressions": {"S": snapper("A"), "P": phrase()}},
           at_event(0, f"{AT_P}, op: +, qty: 1, unit: {shown}", f"Feature Not Implemented: `{text}`"))
          for unit, shown, text in [("S", "Snapper(S)", "Snapper in FD: S"), ("A", "Snap(A)", "Snap in FD: A"),
                                    ("P", "Phrase(P)", "Phrase in FD: P")]],
    ],
)
def test_evaluation_errors_read_exactly(model, rows, kw, expected):
    assert eval_error(model, rows, **kw) == expected


@pytest.mark.parametrize(
    "model, kw, expected",
    ids=lambda v: {BS: "bs", HW: "hw"}.get(v) if callable(v) else None,
    argvalues=[
        (BS, {"vol": -0.1}, "VOL must be finite and not negative, got -0.1"),
        (BS, {"vol": math.nan}, "VOL must be finite and not negative, got NaN"),
        (BS, {"vol": -math.inf}, "VOL must be finite and not negative, got -inf"),
        (HW, {"hw_vol": -0.000000001}, "VOL must be finite and not negative, got -0.000000001"),
        (HW, {"hw_vol": math.inf}, "VOL must be finite and not negative, got inf"),
        (HW, {"meanrev": math.nan}, "MEANREV must be finite and not negative, got NaN"),
        (HW, {"meanrev": -math.inf}, "MEANREV must be finite and not negative, got -inf"),
        (HW, {"meanrev": -5.0}, "MEANREV must be finite and not negative, got -5"),
        (HW, {"meanrev": -5e-324}, "MEANREV must be finite and not negative, got -0." + "0" * 323 + "5"),
        (BS, {"asset": "XX"}, "Asset 'XX' not found in snaps, expressions, or in dataset[ASSETS]"),
        *[(model, {"assets": {"EQ": flat_assets()["EQ"]}},
           "Asset 'USD' not found in snaps, expressions, or in dataset[ASSETS]") for model in (BS, HW)],
        (BS, {"assets": SHORT_EQ, "timestep": 0.25},
         f"Error in 'EQ' rate from time 1.75 to 2, caused by \n{OUT_OF_RANGE}"),
        (HW, {"assets": SHORT_USD, "timestep": 0.25},
         f"Error in 'discount' rate from time 1.75 to 2, caused by \n{OUT_OF_RANGE}"),
    ],
)
def test_model_errors_read_exactly(model, kw, expected):
    # Errors of the settings, of the grid's centre or of a step carry no event wrapper.
    assert eval_error(model, [(at(2), "v", "+", 1.0, "EQ")], **kw) == expected


def test_timestep_refusal_states_its_bounds_in_years():
    low, high = re.findall(r"\(([0-9.]+) years\)", eval_error(HW, [(at(1), "v", "+", 1.0, "USD")], timestep=0.0))
    assert (float(low), float(high)) == (1 / YEAR, 2**63 / YEAR)


NOT_FOUND_XYZ = "Asset 'XYZ' not found in snaps, expressions, or in dataset[ASSETS]"


def first_event_error(model, rows, tracks=None, **settings):
    """The error of a timetable whose last row books the unknown asset XYZ: that row's failure once the
    settings and the grid's size are accepted, before any step is taken, or the refusal of the settings."""
    text = eval_error(model, [*rows, (rows[-1][0], "v", "+", 1.0, "XYZ")], tracks=tracks, **settings)
    return "accepted" if text.endswith(", caused by \n" + NOT_FOUND_XYZ) else text


@pytest.mark.parametrize("model", [BS, HW], ids=["bs", "hw"])
@pytest.mark.parametrize(
    "kw",
    [{"timestep": 1 / YEAR}, {"timestep": 2.9e8}, {"max_x": 2.0**-511, "n_x": 1}, {"max_x": 1e-150}],
    ids=["one millisecond", "below 2^63 ms", "spacing with the smallest normal square", "spacing 1e-152"],
)
def test_settings_at_the_edges_of_the_rules_are_accepted(model, kw):
    assert first_event_error(model, [(P + 10, "v", "+", 1.0, "USD")], **kw) == "accepted"


@pytest.mark.parametrize("model", [BS, HW], ids=["bs", "hw"])
def test_timestep_beyond_the_span_takes_one_step_per_interval(model):
    rows = [(at(2), "v", "+", 1.0, "EQ"), (at(5), "v", "+", 1.0, "USD")]
    assert run(model, rows, timestep=2.9e8) == run(model, rows, timestep=3.0)


STEP = "The grid cannot step from 1.75 to 2 years: "
NAN_USD = {"USD": curve("ZERO_RATES", [0.0, 30.0], [R, math.nan]), "EQ": flat_assets()["EQ"]}
NAN_EQ = {"USD": flat_assets()["USD"], "EQ": curve("FORWARDS", [0.0, 30.0], [SPOT, math.nan])}


@pytest.mark.parametrize(
    "model, kw, cause",
    ids=lambda v: {BS: "bs", HW: "hw"}.get(v) if callable(v) else None,
    argvalues=[
        (HW, {"hw_vol": 1e200}, "the convexity VOL^2 * B^2 / 2 with B = (1 - exp(-MEANREV * t)) / MEANREV is inf"),
        (HW, {"hw_vol": 1e20, "max_x": 1e-140, "n_x": 1}, "VOL^2 * dt / (4 * dx^2) with dx = MAX_X / N_X is inf"),
        (HW, {"meanrev": 1e308}, "MEANREV * dt * MAX_X / (4 * dx) with dx = MAX_X / N_X is inf"),
        (HW, {"hw_vol": 4e14, "max_x": 1e-140, "n_x": 1}, "a coefficient of the step is inf"),
        (HW, {"assets": NAN_USD}, "the discount curve's average rate is NaN"),
        (BS, {"vol": 1e200}, "VOL^2 * dt / (4 * dx^2) with dx = MAX_X / N_X is inf"),
        (BS, {"assets": NAN_USD}, "the discount curve's average rate is NaN"),
        (BS, {"assets": NAN_EQ}, "the average rate of EQ's curve is NaN"),
    ],
)
def test_steps_whose_coefficients_overflow_are_refused_naming_the_term(model, kw, cause):
    assert eval_error(model, [(at(2), "v", "+", 1.0, "USD")], timestep=0.25, **kw) == STEP + cause


NEGATIVE_USD = curve("ZERO_RATES", [0.0, 30.0], [-60.0, -60.0])  # each step of 0.01 years grows by 1.3 / 0.7
NOT_FINITE = ("The price at the grid's centre is (NaN|inf|-inf), not a finite number: the values booked or rolled "
              "back on the grid overflowed, or a quantity or an asset's value is not finite")


@pytest.mark.parametrize("model", [BS, HW], ids=["bs", "hw"])
@pytest.mark.parametrize(
    "rows, kw",
    [
        ([(at(1), "v", "+", 1e308, "EQ")], {}),
        ([(at(1), "v", "+", math.nan, "USD")], {}),
        ([(at(20), "v", "+", 1.0, "USD")], {"assets": {**flat_assets(), "USD": NEGATIVE_USD}}),
    ],
    ids=["payment beyond the doubles", "NaN quantity", "discounting beyond the doubles"],
)
def test_price_that_is_not_a_finite_number_is_refused(model, rows, kw):
    text = eval_error(model, rows, **kw)
    assert re.fullmatch(NOT_FINITE, text), text


@pytest.mark.parametrize("tracks, expected", [
    (1, "accepted"),
    (2, "The grid would take about 1000004 steps of 9999 nodes on 2 tracks; at most 10000000000 node steps are "
        "allowed: raise TIMESTEP or lower N_X, or book fewer tracks"),
    (64, "The grid would take about 1000066 steps of 9999 nodes on 64 tracks; at most 10000000000 node steps are "
         "allowed: raise TIMESTEP or lower N_X, or book fewer tracks"),
])
def test_grid_work_limit_counts_every_track_rolled_back(tracks, expected):
    # About 10^6 steps of 9,999 nodes: just under the limit for one track's array, far over it for 64.
    names = ["v"] + [f"t{k}" for k in range(1, tracks)]
    rows = [(at(1), name, "+", 1.0, "USD") for name in names[1:]] + [(at(1), "v", "+", 1.0, "USD")]
    assert first_event_error(HW, rows, tracks=names, n_x=4999, timestep=1e-6) == expected


def test_unit_dictionary_null_value_fails_the_row_as_unknown_unit():
    batch = timetable([(P, "v", "+", 1.0, "USD")]).set_column(4, "unit", dict_column(["USD", None], [1]))
    assert eval_error(BS, None, batch=batch) == at_event(
        0, f"{AT_P}, op: +, qty: 1, unit: <none>", "Error in Event Specs: Unknown Unit")


@pytest.mark.parametrize(
    "kw, start",
    [({"n_x": 10**12}, "A grid of "), ({"n_x": 10**6, "timestep": 0.0001}, "The grid would take about ")],
)
def test_grids_too_big_to_run_are_refused_before_they_start(kw, start):
    text = eval_error(BS, [(at(10), "v", "+", 1.0, "USD")], **kw)
    assert text.startswith(start), text
    if kw["n_x"] == 10**12:
        assert "needs more than" in text and "of memory" in text, text


def test_failed_walk_sends_no_statistics():
    recorder = Recorder()
    with pytest.raises(RuntimeError):
        run(BS, [(P, "v", "+", 1.0, "XYZ")], recorder, flags=15)
    assert recorder.calls == []
