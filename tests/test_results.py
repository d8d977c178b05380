"""kestro.results: tables, grid values, Monte Carlo errors and plots from real engine runs."""

import math
import sys

import _kestro
import numpy as np
import pyarrow as pa
import pytest

from conftest import timetable
from kestro.curves import forward
from kestro.paths import GbmPaths
from kestro.recorder import Recorder
from kestro.results import (cashflow_table, exercise_boundary, exercise_probabilities, grid_coordinates, grid_values,
                            mc_estimate, plot_exercise_boundary, plot_value_profile, standard_error)

YEAR = 31_536_000_000
P = 1_767_225_600_000  # 2026-01-01T00:00:00Z
K = 100.0
SPOT = np.array([80.0, 90.0, 100.0, 110.0, 120.0])
DISC = np.array([0.90, 0.95, 1.00, 0.97, 0.99])


def entry(kind, times, values):
    return (kind, np.array([times, values], dtype=np.float64))


ASSETS = {"USD": entry("ZERO_RATES", [0.0, 30.0], [0.05, 0.05]),
          "EQ": entry("FORWARDS", [0.0, 30.0], [100.0, 100.0 * math.exp(0.05 * 30)])}


class FixedPaths:
    """Five paths: EQ at SPOT and a step discount DISC at the one later time."""

    def advance(self, x):
        return DISC

    def get_value(self, name):
        return SPOT if name == "EQ" else None


def put_rows(t, track="put"):
    """max(K - S, 0) at t: booked latest first, -K, then the holder's choice of -S, then +K."""
    return [(t, track, "+", K, "USD"), (t, track, ">", -1.0, "EQ"), (t, track, "+", -K, "USD")]


def priced_put():
    """A put and a fee on another track, priced on FixedPaths with every statistic."""
    t = P + YEAR
    rows = [(P, "fee", "+", -1.5, "USD")] + put_rows(t)
    batch = timetable(rows, tracks=["put", "fee"])
    recorder = Recorder(FixedPaths())
    dataset = {"BASE": "USD", "PRICING_TS": P, "ASSETS": ASSETS, "MC": {"PATHS": 5, "SEED": 0, "FLAGS": 11}}
    price = _kestro.mc_price(batch, recorder, dataset, {})
    return price, recorder, batch


# Cashflows


def test_pricing_cashflows_become_one_row_per_track_and_event_with_the_mean_over_paths():
    price, recorder, batch = priced_put()
    taken = SPOT < K
    table = cashflow_table(recorder, per_path=True, timetable=batch)
    assert table.schema.field("track").type == pa.uint64() and table.schema.field("event").type == pa.uint64()
    expected = [
        (0, "put", 1, K * DISC),
        (0, "put", 2, -SPOT * DISC * taken),
        (0, "put", 3, -K * DISC * ~taken),
        (1, "fee", 0, np.full(5, -1.5)),
    ]
    assert [(r["track"], r["track_name"], r["event"]) for r in table.to_pylist()] == [e[:3] for e in expected]
    for row, (*_, flows) in zip(table.to_pylist(), expected):
        assert row["value"] == pytest.approx(flows.mean(), rel=1e-14)
        assert row["path_values"] == pytest.approx(flows.tolist(), rel=1e-14)
    assert table.column("time").to_pylist()[0] == batch.column("time")[1].as_py()
    put_value = sum(v for t, v in zip(table.column("track").to_pylist(), table.column("value").to_pylist()) if t == 0)
    assert put_value == pytest.approx(price, rel=1e-13)


def test_backtest_record_batches_are_concatenated_with_their_track():
    rows = [(0, "a", "+", 2.0, "EQ"), (5, "b", "+", 3.0, "USD"), (5, "a", "+", -0.5, "XYZ"),
            (9, "b", ">", 1.0, "FX"), (9, "b", "+", 40.0, "USD")]
    recorder = Recorder()
    _kestro.backtest_csv(timetable(rows), recorder, "", "USD", {})
    table = cashflow_table(recorder.stats)  # a dict of statistics works as well as the recorder
    assert table.column_names == ["track", "event", "value"]
    assert table.to_pylist() == [
        {"track": 0, "event": 0, "value": 200.0}, {"track": 0, "event": 2, "value": -50.0},
        {"track": 1, "event": 1, "value": 3.0}, {"track": 1, "event": 3, "value": 100.0},
        {"track": 1, "event": 4, "value": 0.0},
    ]
    assert cashflow_table(recorder.stats["CASHFLOW"]).equals(table)  # and so does the statistic itself


def test_no_cashflows_give_an_empty_table_with_the_columns_typed():
    recorder = Recorder()
    _kestro.backtest_csv(timetable([]), recorder, "", "USD", {})
    table = cashflow_table(recorder, per_path=True)
    assert table.num_rows == 0
    assert table.schema.types == [pa.uint64(), pa.uint64(), pa.float64(), pa.list_(pa.float64())]


@pytest.mark.parametrize("function, name, bit", [(cashflow_table, "CASHFLOW", 8), (exercise_probabilities, "CHOICES", 2),
                                                 (standard_error, "PV_VEC", 1)])
def test_a_statistic_that_was_not_sent_names_the_flag_it_needs(function, name, bit):
    recorder = Recorder()
    dataset = {"BASE": "USD", "PRICING_TS": P, "ASSETS": ASSETS, "FIXED": {"FLAGS": 0}}
    _kestro.fixed_price(timetable([(P, "v", "+", 1.0, "USD")]), recorder, dataset, {})
    with pytest.raises(KeyError, match=f"no {name} statistic.*FLAGS bit {bit}"):
        function(recorder)


# Choices


def test_exercise_probabilities_are_the_share_of_paths_that_took_each_choice():
    _, recorder, batch = priced_put()
    table = exercise_probabilities(recorder, timetable=batch)
    assert table.column_names == ["event", "time", "track", "track_name", "probability"]
    assert table.to_pylist() == [{"event": 2, "time": batch.column("time")[2].as_py(), "track": 0,
                                  "track_name": "put", "probability": 0.4}]


# Monte Carlo error


def test_mc_estimate_is_the_mean_with_its_standard_error_and_normal_interval():
    price, recorder, _ = priced_put()
    pv = recorder.stats["PV_VEC"]
    se = math.sqrt(sum((v - pv.mean()) ** 2 for v in pv) / 4) / math.sqrt(5)
    mean, error, (low, high) = mc_estimate(recorder)
    assert mean == pytest.approx(price, rel=1e-14) and error == pytest.approx(se, rel=1e-13)
    assert (low, high) == pytest.approx((mean - 1.959963984540054 * se, mean + 1.959963984540054 * se), rel=1e-13)
    assert mc_estimate(pv, confidence=0.5).interval[1] - mean == pytest.approx(0.6744897501960817 * se, rel=1e-12)


def test_antithetic_errors_come_from_pair_means():
    n = 2000
    state = Recorder(GbmPaths({"EQ": ASSETS["EQ"]}, {"EQ": 0.3}, paths=n, seed=1, antithetic=True))
    rows = [(P + YEAR, "c", "+", -K, "USD"), (P + YEAR, "c", ">", 1.0, "EQ"), (P + YEAR, "c", "+", K, "USD")]
    dataset = {"BASE": "USD", "PRICING_TS": P, "ASSETS": ASSETS, "MC": {"PATHS": n, "SEED": 0, "FLAGS": 1}}
    price = _kestro.mc_price(timetable(rows), state, dataset, {})
    pv = state.stats["PV_VEC"]
    pairs = (pv[: n // 2] + pv[n // 2:]) / 2
    estimate = mc_estimate(state, antithetic=True)
    assert estimate.mean == pytest.approx(price, rel=1e-13)
    assert estimate.standard_error == pytest.approx(pairs.std(ddof=1) / math.sqrt(n // 2), rel=1e-12)
    assert estimate.standard_error < standard_error(pv)  # a call's pairs are negatively correlated


@pytest.mark.parametrize("pv, antithetic, outcome", [(np.array([3.0]), False, "nan"), (np.array([]), False, "error"),
                                                     (np.ones(3), True, "error"), (np.ones((2, 2)), False, "error")],
                         ids=["one-path", "no-paths", "odd-pairs", "two-dimensional"])
def test_standard_error_of_too_few_or_malformed_samples(pv, antithetic, outcome):
    if outcome == "nan":
        assert math.isnan(standard_error(pv, antithetic=antithetic))
    else:
        with pytest.raises(ValueError):
            standard_error(pv, antithetic=antithetic)


# Finite-difference grids

N_X, MAX_X = 40, 1.5


def fd_dataset(flags, asset_forward=120.0, timestep=1 / 52):
    assets = {"USD": ASSETS["USD"], "EQ": entry("FORWARDS", [0.0, 30.0], [asset_forward, asset_forward * math.exp(1.5)])}
    return {"BASE": "USD", "PRICING_TS": P, "ASSETS": assets,
            "FD": {"N_X": N_X, "MAX_X": MAX_X, "TIMESTEP": timestep, "FLAGS": flags},
            "BS": {"VOL": 0.25, "ASSET": "EQ"}, "HW": {"MEANREV": 0.1, "VOL": 0.01}}


def test_grid_coordinates_are_the_engines_nodes():
    # The modelled asset booked at the pricing time is exp(x) on every node, untouched by stepping.
    recorder = Recorder()
    dataset = fd_dataset(flags=1)
    _kestro.fd_blackscholes_price(timetable([(P, "v", "+", 1.0, "EQ")]), recorder, dataset, {})
    centre = math.log(forward(dataset["ASSETS"]["EQ"], 0.0))
    table = grid_values(recorder, N_X, MAX_X, centre)
    assert table.column_names == ["node", "x", "spot", "value"]
    assert table.column("spot").to_numpy() == pytest.approx(recorder.stats["PV_VEC"], rel=1e-15)
    assert table.column("x")[N_X].as_py() == pytest.approx(centre, abs=1e-15)
    assert np.all(np.diff(table.column("x").to_numpy()) < 0)


def test_black_scholes_put_values_run_over_the_grid_and_the_centre_is_the_price():
    recorder = Recorder()
    dataset = fd_dataset(flags=3)
    rows = [r for w in range(1, 27) for r in put_rows(P + w * YEAR // 52)]  # weekly exercise for half a year
    price = _kestro.fd_blackscholes_price(timetable(rows), recorder, dataset, {})
    centre = math.log(120.0)
    table = grid_values(recorder, N_X, MAX_X, centre, "black_scholes")
    spot, value = table.column("spot").to_numpy(), table.column("value").to_numpy()
    assert value[N_X] == price
    assert np.all(np.diff(value) >= -1e-9)  # node 0 is the highest spot, where the put is worth least
    # Worth at least exercise at the first date: K discounted for one week, less the spot.
    floor = np.maximum(K * math.exp(-0.05 * (YEAR // 52) / YEAR) - spot, 0.0)
    assert np.all(value >= floor - 1e-3), (value - floor).min()  # up to the grid's error

    boundary = exercise_boundary(recorder, N_X, MAX_X, centre)
    assert boundary.column_names == ["event", "track", "nodes", "low", "high"]
    assert boundary.num_rows == 26 and boundary.column("event").to_pylist() == list(range(1, 78, 3))
    choices = recorder.stats["CHOICES"]
    for row in boundary.to_pylist():
        taken = choices[row["event"]][row["track"]] == 1
        assert row["nodes"] == taken.sum() > 0
        assert np.array_equal(taken, spot <= row["high"] * (1 + 1e-12))  # the exercise region is below a critical price
        assert row["low"] == pytest.approx(spot[-1]) and row["high"] < K


def test_hull_white_bond_values_fall_as_the_short_rate_factor_rises():
    recorder = Recorder()
    rows = [(P + 3 * YEAR, "bond", "+", 100.0, "USD")]
    price = _kestro.fd_hullwhite_price(timetable(rows), recorder, fd_dataset(flags=1, timestep=0.05), {})
    table = grid_values(recorder, N_X, 0.1, model="hull_white")
    assert table.column_names == ["node", "x", "short_rate_factor", "value"]
    assert table.column("short_rate_factor").equals(table.column("x"))
    assert table.column("x").to_numpy() == pytest.approx(grid_coordinates(N_X, 0.1))
    value = table.column("value").to_numpy()
    assert value[N_X] == price and np.all(np.diff(value) > 0)


@pytest.mark.parametrize("kwargs, match", [(dict(n_x=N_X + 1), "nodes"), (dict(model="heston"), "model")])
def test_grid_values_refuse_a_grid_that_does_not_fit(kwargs, match):
    args = dict(pv_vec=np.zeros(2 * N_X + 1), n_x=N_X, max_x=MAX_X, centre=0.0) | kwargs
    with pytest.raises(ValueError, match=match):
        grid_values(**args)


# pandas and matplotlib


def test_tables_convert_to_pandas():
    pd = pytest.importorskip("pandas")
    _, recorder, batch = priced_put()
    frame = cashflow_table(recorder, timetable=batch, to_pandas=True)
    assert isinstance(frame, pd.DataFrame)
    assert frame.to_dict("list") == cashflow_table(recorder, timetable=batch).to_pandas().to_dict("list")
    assert list(exercise_probabilities(recorder, to_pandas=True)["probability"]) == [0.4]


def test_to_pandas_without_pandas_says_so(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    _, recorder, _ = priced_put()
    with pytest.raises(ImportError, match="needs pandas"):
        cashflow_table(recorder, to_pandas=True)


def test_plots_draw_the_value_profile_and_the_exercise_boundary():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    recorder = Recorder()
    rows = [r for w in (1, 2, 3) for r in put_rows(P + w * YEAR // 12)]
    _kestro.fd_blackscholes_price(timetable(rows), recorder, fd_dataset(flags=3), {})
    centre = math.log(120.0)
    try:
        ax = plot_value_profile(recorder, N_X, MAX_X, centre)
        line = ax.get_lines()[0]
        assert list(line.get_ydata()) == list(recorder.stats["PV_VEC"])
        ax = plot_exercise_boundary(recorder, N_X, MAX_X, centre, timetable=timetable(rows), track=0)
        assert [l.get_label() for l in ax.get_lines()] == ["low", "high"]
        assert len(ax.get_lines()[1].get_xdata()) == 3
    finally:
        plt.close("all")
