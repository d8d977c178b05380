"""The damped start of the finite-difference grids: "DAMPING_STEPS" read from the "FD" section,
the implicit half steps after each event date, and the undamped walk left as it was."""

import math

import _kestro
import pytest

import conftest
from conftest import curve, timetable

YEAR = 31_536_000_000  # ms in a 365-day year
DAY = 86_400_000
P = 1_767_225_600_000  # PRICING_TS, 2026-01-01T00:00:00Z
R = 0.05
BS = _kestro.fd_blackscholes_price
HW = _kestro.fd_hullwhite_price


def at(years):
    return P + round(years * YEAR)


def flat_assets(rate=R, spot=100.0):
    return {"USD": curve("ZERO_RATES", [0.0, 30.0], [rate, rate]),
            "EQ": curve("FORWARDS", [0.0, 30.0], [spot, spot * math.exp(rate * 30)])}


# A rising zero curve and forwards that are not a straight line in log: every step has its own rates.
RISING = {"USD": curve("ZERO_RATES", [0.0, 1.0, 3.0, 10.0], [0.02, 0.025, 0.03, 0.04]),
          "EQ": curve("FORWARDS", [0.0, 0.5, 2.0, 10.0], [100.0, 101.5, 104.0, 118.0])}


def fd(n_x, max_x, timestep, assets, damping=None, vol=0.2):
    section = {"N_X": n_x, "MAX_X": max_x, "TIMESTEP": timestep}
    if damping is not None:
        section["DAMPING_STEPS"] = damping
    return conftest.dataset(ASSETS=assets, PRICING_TS=P, FD=section, BS={"VOL": vol, "ASSET": "EQ"},
                            HW={"MEANREV": 0.1, "VOL": 0.01})


def option_rows(t, strike, call, track="v"):
    # Booked latest first: max(S − K, 0) for a call, max(K − S, 0) for a put.
    sign = 1.0 if call else -1.0
    return [(t, track, "+", -sign * strike, "USD"), (t, track, ">", sign, "EQ"), (t, track, "+", sign * strike, "USD")]


def price(model, rows, data, tracks=None):
    return model(timetable(rows, tracks=tracks), None, data, {})


# Walks that cover the engine's paths: a kink one step from expiry, daily choices off the lattice,
# rows out of time order on rising curves with a second track, and Hull-White choices on bonds.
SCENARIOS = {
    "one-day-put": (BS, option_rows(at(1 / 365), 100.0, call=False), None,
                    dict(n_x=200, max_x=0.1, timestep=1 / 365, assets=flat_assets())),
    "daily-american-off-lattice": (BS, [row for d in range(1, 31) for row in option_rows(P + d * DAY, 100.0, False)],
                                   None, dict(n_x=100, max_x=0.6, timestep=0.0031, assets=flat_assets())),
    "rising-curves-two-tracks-out-of-order": (
        BS, [(at(0.4), "v", "+", 0.5, "leg"), (at(1.5), "leg", "+", 1.0, "EQ"), (at(0.9), "leg", "+", 3.0, "USD"),
             *option_rows(at(1.2), 105.0, call=True)], ["v", "leg"],
        dict(n_x=80, max_x=1.5, timestep=0.07, assets=RISING)),
    "hull-white-bond-option": (
        HW, [(at(1.0), "v", "+", -0.9, "USD"), (at(1.0), "v", ">", 1.0, "bond"), (at(1.0), "v", "+", 0.9, "USD"),
             (at(3.0), "bond", "+", 1.0, "USD")], ["v", "bond"],
        dict(n_x=60, max_x=0.08, timestep=0.03, assets=RISING)),
}

# The prices of these walks before damping existed (float.hex): the undamped walk must not move by a bit.
UNDAMPED = {
    "one-day-put": "0x1.082f0ef30b222p-1",
    "daily-american-off-lattice": "0x1.0de46439a5d9ap+1",
    "rising-curves-two-tracks-out-of-order": "0x1.d8cc1bcf1b4dap+5",
    "hull-white-bond-option": "0x1.289db8a0bbb14p-5",
}


@pytest.mark.parametrize("name", list(SCENARIOS))
@pytest.mark.parametrize("damping", [None, 0], ids=["key-absent", "zero"])
def test_undamped_walks_price_bit_for_bit_as_before_damping_existed(name, damping):
    model, rows, tracks, settings = SCENARIOS[name]
    got = price(model, rows, fd(damping=damping, **settings), tracks)
    before = float.fromhex(UNDAMPED[name])
    assert got.hex() == UNDAMPED[name], f"{name}: {got!r} ({got.hex()}), before damping {before!r}"


# Which steps are damped


def stepped_payments(rows, timestep, damping, rate):
    """The walk of the grid for payments in the base currency at a flat rate, which stay equal on every node:
    anchored at the last row's time, down in whole steps of trunc(TIMESTEP) ms, rows and PRICING_TS visited
    exactly, steps under 1e-10 years skipped. A Crank-Nicolson step multiplies by (1 − rΔt/2)/(1 + rΔt/2); each
    of the first `damping` steps after a row's time is two implicit half steps instead, 1/(1 + rΔt/2)²."""
    dt = int(timestep * 3.1536e10)
    now, value, damped_left = rows[-1][0], 0.0, 0

    def roll_back(target):
        nonlocal now, value, damped_left
        span = (now - target) / 3.1536e10
        if span < 1e-10:
            return
        if damped_left:
            value /= (1 + rate * span / 2) ** 2
            damped_left -= 1
        else:
            value *= (1 - rate * span / 2) / (1 + rate * span / 2)
        now = target

    lattice = now - dt
    for time, quantity in reversed(rows):
        while lattice > time:
            roll_back(lattice)
            lattice -= dt
        roll_back(time)
        value += quantity
        damped_left = damping
    while lattice > P:
        roll_back(lattice)
        lattice -= dt
    roll_back(P)
    return value


# Flat, and through the origin before the first point: a rate of 8% also before the pricing time.
FLAT_ONE = {"USD": curve("ZERO_RATES", [0.5, 30.0], [0.08, 0.08]), "EQ": curve("FORWARDS", [0.5, 30.0], [1.0, 1.0])}


@pytest.mark.parametrize(
    "rows, timestep, damping",
    [
        pytest.param([(at(1), 1.0)], 0.25, 2, id="two-of-four-steps"),
        pytest.param([(at(1), 1.0)], 0.25, 1000, id="more-than-the-walk-takes"),
        pytest.param([(at(0.05), 3.0), (at(0.33), 2.0), (at(1.7), 1.0)], 0.1, 3,
                     id="restarted-at-each-row-off-lattice"),
        pytest.param([(at(0.5), 1.0), (at(0.5), 2.0), (at(1), 3.0)], 0.1, 1, id="rows-at-one-time-take-no-step"),
        pytest.param([(at(1), 1.0), (at(3), 5.0), (at(2), 1.0)], 0.1, 2, id="later-row-applied-at-current-time"),
        pytest.param([(at(-1), 4.0), (at(0.55), 1.0)], 0.1, 2, id="rows-before-the-pricing-time"),
    ],
)
@pytest.mark.parametrize("model, kw", [(BS, {"vol": 0.0}), (HW, {})], ids=["bs-without-vol-or-drift", "hw-without-vol"])
def test_first_steps_after_each_event_date_are_two_implicit_half_steps(model, kw, rows, timestep, damping):
    data = fd(20, 1.0, timestep, FLAT_ONE, damping=damping, **kw)
    data["HW"]["VOL"] = 0.0  # the centre node's rows then have no off-diagonal terms: exact to rounding
    expected = stepped_payments(rows, timestep, damping, 0.08)
    got = price(model, [(t, "v", "+", q, "USD") for t, q in rows], data)
    assert got == pytest.approx(expected, rel=1e-13)
    assert got != pytest.approx(stepped_payments(rows, timestep, 0, 0.08), rel=1e-9), "damping changed nothing"


def test_damped_steps_count_twice_toward_the_work_limit():
    # 500,000 steps of 63,072 ms and 9,999 nodes, half the limit of 10^10 node steps; damped for 1,000 steps
    # after each of 500 event dates, 500,000 of them cost twice: over the limit.
    dt = int(2e-6 * YEAR)
    rows = [(at(1) - k * dt, "v", "+", 1.0, "USD") for k in range(499, -1, -1)] + [(at(1), "v", "+", 1.0, "XYZ")]
    settings = dict(n_x=4999, max_x=1.0, timestep=2e-6, assets=flat_assets())
    with pytest.raises(RuntimeError) as refused:
        price(HW, rows, fd(damping=1000, **settings))
    assert str(refused.value).endswith(
        "The grid would take about 1000502 steps of 9999 nodes on 1 track; at most 10000000000 node steps are "
        "allowed: raise TIMESTEP or lower N_X or DAMPING_STEPS")
    with pytest.raises(RuntimeError, match="Asset 'XYZ' not found"):  # undamped, the walk starts
        price(HW, rows, fd(damping=0, **settings))
