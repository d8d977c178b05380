"""The damped start of the finite-difference grids: "DAMPING_STEPS" read from the "FD" section,
the implicit half steps after each event date, and the undamped walk left as it was."""

import math

import _kestro
import numpy as np
import pytest

import conftest
from conftest import Recorder, curve, timetable

YEAR = 31_536_000_000  # ms in a 365-day year
DAY = 86_400_000
P = 1_767_225_600_000  # PRICING_TS, 2026-01-01T00:00:00Z
R = 0.05
BS = _kestro.fd_blackscholes_price
HW = _kestro.fd_hullwhite_price
DATASET = "Error while parsing Dataset, caused by\n"


def at(years):
    return P + round(years * YEAR)


def flat_assets(rate=R, spot=100.0):
    return {"USD": curve("ZERO_RATES", [0.0, 30.0], [rate, rate]),
            "EQ": curve("FORWARDS", [0.0, 30.0], [spot, spot * math.exp(rate * 30)])}


# A rising zero curve and forwards that are not a straight line in log: every step has its own rates.
RISING = {"USD": curve("ZERO_RATES", [0.0, 1.0, 3.0, 10.0], [0.02, 0.025, 0.03, 0.04]),
          "EQ": curve("FORWARDS", [0.0, 0.5, 2.0, 10.0], [100.0, 101.5, 104.0, 118.0])}


def fd(n_x, max_x, timestep, assets, damping=None, flags=0, vol=0.2):
    section = {"N_X": n_x, "MAX_X": max_x, "TIMESTEP": timestep, "FLAGS": flags}
    if damping is not None:
        section["DAMPING_STEPS"] = damping
    return conftest.dataset(ASSETS=assets, PRICING_TS=P, FD=section, BS={"VOL": vol, "ASSET": "EQ"},
                            HW={"MEANREV": 0.1, "VOL": 0.01})


def option_rows(t, strike, call, track="v"):
    # Booked latest first: max(S − K, 0) for a call, max(K − S, 0) for a put.
    sign = 1.0 if call else -1.0
    return [(t, track, "+", -sign * strike, "USD"), (t, track, ">", sign, "EQ"), (t, track, "+", sign * strike, "USD")]


def price(model, rows, data, tracks=None, state=None):
    return model(timetable(rows, tracks=tracks), state, data, {})


def pv_vec(model, rows, data, tracks=None):
    recorder = Recorder()
    value = price(model, rows, data, tracks, recorder)
    (vector,) = [v for _, name, v in recorder.calls if name == "PV_VEC"]
    return value, vector


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
    assert got.hex() == UNDAMPED[name], f"{name}: {got!r} ({got.hex()}), before damping {float.fromhex(UNDAMPED[name])!r}"
