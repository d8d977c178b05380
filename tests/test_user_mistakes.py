"""Ordinary mistakes a new user makes are errors that say what to do, never plausible wrong prices."""

import datetime as dt
import math

import numpy as np
import pyarrow as pa
import pytest

import kestro
from kestro import Market, forward_curve, price, zero_curve
from kestro.clock import YEAR_MS, to_ms

MARKET = Market.flat(rate=0.05, spots={"STK": 100.0}, horizon=20)


# Units: percentages, dates and milliseconds where fractions and years are meant


def test_curve_times_given_as_datetimes_need_the_pricing_time_and_the_hint_says_so():
    dates = np.array(["2026-01-01", "2031-01-01"], dtype="datetime64[ns]")
    with pytest.raises(ValueError, match=r"year fractions from the pricing time .* not dates: pass pricing_time="):
        zero_curve(dates, [0.05, 0.05])
    _, data = zero_curve(dates, [0.05, 0.05], pricing_time="2026-01-01")
    assert data[0].tolist() == [0.0, 1826 / 365]


@pytest.mark.parametrize("times", [[0.0, 1.7e18], [0.0, 1.8e12], [0.0, 250.0]], ids=["ns", "ms", "250-years"])
def test_curve_times_beyond_two_hundred_years_are_refused(times):
    with pytest.raises(ValueError, match="beyond 200 years"):
        zero_curve(times, [0.05, 0.05])


@pytest.mark.parametrize("build, hint", [
    (lambda **k: zero_curve([0.0, 10.0], [5.0, 5.0], **k), "did you mean 0.05"),
    (lambda **k: Market.flat(rate=5.0, **k), "did you mean 0.05"),
    (lambda **k: Market.flat(rate=0.05, dividends=3.0, **k), "did you mean 0.03"),
    (lambda **k: Market.flat(rate=0.05, vols={"STK": 20.0}, **k), "did you mean 0.2"),
], ids=["zero-curve", "flat-rate", "dividend", "market-vol"])
def test_percentages_are_refused_unless_large_values_are_allowed(build, hint):
    with pytest.raises(ValueError, match=hint):
        build()
    build(allow_large=True)  # said explicitly: accepted


@pytest.mark.parametrize("model, settings", [
    ("black_scholes", {}), ("monte_carlo", {"paths": 100}), ("analytic", {}), ("hull_white", {"meanrev": 0.1}),
])
def test_a_vol_in_percent_is_refused_by_every_model(model, settings):
    put = kestro.european_put(100, 1.0)
    contract = kestro.zero_coupon_bond(1.0) if model == "hull_white" else put
    with pytest.raises(ValueError, match="did you mean 0.2"):
        price(contract, MARKET, model, vol=20, **settings)


def test_a_forward_curve_without_its_spot_is_refused_or_takes_the_spot_given():
    with pytest.raises(ValueError, match="give the spot at time 0"):
        forward_curve([1.0, 2.0], [105.0, 110.0])
    kind, data = forward_curve([1.0, 2.0], [105.0, 110.0], spot=100.0)
    assert data[0].tolist() == [0.0, 1.0, 2.0] and data[1].tolist() == [100.0, 105.0, 110.0]


@pytest.mark.parametrize("expiry", [20270101, 1_798_761_600], ids=["yyyymmdd", "seconds"])
def test_an_int_that_cannot_be_milliseconds_is_refused_as_a_date(expiry):
    with pytest.raises(ValueError, match="pass a date instead"):
        kestro.european_put(100, expiry=expiry)
    with pytest.raises(ValueError, match="pass a date instead"):
        Market.flat(pricing_time=expiry)


def test_an_int_of_plausible_milliseconds_is_still_a_date():
    ms = to_ms("2027-01-01")
    assert kestro.european_put(100, expiry=ms).last_time == ms


@pytest.mark.parametrize("call, match", [
    (lambda: kestro.timetable([(2**70, "t", "+", 1.0, "USD")]), "row 0, column 'time'.*outside the engine's clock"),
    (lambda: kestro.timetable([(0, "t", "+", 10**400, "USD")]), "row 0, column 'quantity'.*too large"),
    (lambda: kestro.zero_coupon_bond(years=1e9), "outside the engine's clock"),
    (lambda: kestro.european_put(10**400, 1.0), "strike is too large"),
    (lambda: Market.flat(rate=1000, allow_large=True), "overflows"),
], ids=["time", "quantity", "years", "strike", "rate"])
def test_out_of_range_values_are_value_errors_naming_the_row_or_argument(call, match):
    with pytest.raises(ValueError, match=match):
        call()


# The model, and names the engine would misread


def test_the_model_is_chosen_from_the_contract_and_named_on_the_price():
    market = Market.flat(rate=0.05, spots={"STK": 100.0}, vols={"STK": 0.2})
    assert price(kestro.zero_coupon_bond(1.0), market).model == "fixed"
    assert price(kestro.american_put(100, 1.0), market).model == "black_scholes"
    european = price(kestro.european_put(100, 1.0), market)
    assert european.model == "analytic" and european == pytest.approx(5.5735, abs=1e-4)
    assert price(kestro.european_put(100, 1.0), market, paths=1000).model == "monte_carlo"
    assert price(kestro.digital_call(100, 1.0), market, "monte_carlo", paths=1000).model == "monte_carlo"


def test_an_option_without_a_volatility_asks_for_the_model_instead_of_pricing_intrinsic_value():
    with pytest.raises(ValueError, match="say which model .*STK.* pass vol="):
        price(kestro.european_put(100, 1.0), MARKET)


def test_a_dictionary_track_column_that_repeats_a_name_is_merged():
    track = pa.DictionaryArray.from_arrays(pa.array([0, 1], pa.int32()), pa.array(["t0", "t0"]))
    table = pa.table({"time": pa.array([to_ms("2027-01-01")] * 2, pa.timestamp("ms", tz="UTC")), "track": track,
                      "op": pa.array(["+", "+"]), "quantity": [1.0, 1.0], "unit": pa.array(["USD", "USD"])})
    events = kestro.timetable(table)
    assert events.column("track").dictionary.to_pylist() == ["t0"]
    assert price(events, Market.flat(rate=0.0), "fixed") == pytest.approx(2.0)


@pytest.mark.parametrize("op, model, match", [
    ("max", "fixed", r"row 0 \(2026-06-01T00:00:00Z, track 't'\) has op 'max'.*did you mean '>'"),
    ("max", "black_scholes", "books only '\\+', '>' and '<'.*did you mean '>'"),
])
def test_a_misspelt_op_is_named_as_an_op_not_as_a_missing_asset(op, model, match):
    events = kestro.timetable([("2026-06-01", "t", op, 1.0, "STK")])
    with pytest.raises(ValueError, match=match):
        price(events, MARKET, model, **({"vol": 0.2} if model == "black_scholes" else {}))


# Engine failures explained


@pytest.mark.parametrize("model, settings", [("fixed", {}), ("hull_white", {"vol": 0.01, "meanrev": 0.1}),
                                             ("black_scholes", {"vol": 0.2})])
def test_a_curve_too_short_names_the_curve_its_range_and_the_date(model, settings):
    short = Market.flat(rate=0.05, spots={"STK": 100.0}, horizon=5)
    contract = kestro.zero_coupon_bond(6.0) if model != "black_scholes" else kestro.european_put(100, 6.0)
    with pytest.raises(ValueError, match=r"covers 0 to 5 years .* \(6 years\)"):
        price(contract, short, model, **settings)


def test_an_asset_missing_from_the_market_names_the_row_and_the_markets_assets():
    with pytest.raises(KeyError, match=r"row 1 \(2027-01-01T00:00:00Z, track 'put'\) reads asset 'XYZ'.*its "
                                       r"assets are STK"):
        price(kestro.european_put(100, 1.0, asset="XYZ"), MARKET, "fixed")


def test_a_market_without_a_discount_curve_for_its_base_says_so():
    market = Market(base="EUR", forwards=dict(MARKET.forwards))
    with pytest.raises(ValueError, match="no discount curve for its base currency 'EUR'"):
        price(kestro.zero_coupon_bond(1.0, currency="EUR"), market, "fixed")


def test_engine_failures_the_checks_miss_are_explained_and_chained():
    from kestro.checks import explain

    with pytest.raises(ValueError, match=r"read at 6 years .* USD discount 0 to 20") as info:
        with explain(MARKET):
            raise RuntimeError("Error during model evaluation, caused by\nError: Interpolation out of range at "
                               "time 6.\n Perhaps the time range in forwards/discount data is too short.")
    assert isinstance(info.value.__cause__, RuntimeError)
    with pytest.raises(RuntimeError, match="something else"):
        with explain(MARKET):
            raise RuntimeError("something else")


# Results that close the loop


def test_a_grid_result_knows_its_grid_for_values_boundary_and_plots(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    result = kestro.price_with_stats(kestro.american_put(100, 1.0), MARKET, "black_scholes", vol=0.2)
    price_, stats = result  # still unpacks as (price, stats)
    assert result.grid.centre == pytest.approx(math.log(100.0))
    values = kestro.grid_values(result)
    assert values.column("value")[result.grid.n_x].as_py() == float(price_)
    boundary = kestro.exercise_boundary(result)
    assert "time" in boundary.column_names and 70 < boundary.column("high")[0].as_py() < 100
    try:
        kestro.plot_value_profile(result).figure.savefig(tmp_path / "profile.png")
        kestro.plot_exercise_boundary(result, track=0).figure.savefig(tmp_path / "boundary.png")
    finally:
        plt.close("all")
    assert (tmp_path / "profile.png").stat().st_size > 1000 and (tmp_path / "boundary.png").stat().st_size > 1000


def test_grid_helpers_without_a_result_require_the_centre_of_a_black_scholes_grid():
    with pytest.raises(TypeError, match="centre= is the log of the asset's spot"):
        kestro.grid_values(np.zeros(11), 5, 1.0)
    fixed = kestro.price_with_stats(kestro.zero_coupon_bond(1.0), MARKET, "fixed")
    with pytest.raises(ValueError, match="model 'fixed', which has no grid"):
        kestro.grid_values(fixed)


@pytest.mark.parametrize("source", ["dict", "csv", "parquet", "arrow", "pandas"])
def test_backtest_runs_on_prices_from_every_source(source, tmp_path):
    times, values = ["2026-01-05", "2026-01-09"], [100.0, 104.1]
    table = pa.table({"time": times, "STK": values})
    if source == "dict":
        history = {"STK": (times, values)}
    elif source == "csv":
        import pyarrow.csv as csv

        history = tmp_path / "prices.csv"
        csv.write_csv(table, history)
    elif source == "parquet":
        import pyarrow.parquet as pq

        history = tmp_path / "prices.parquet"
        pq.write_table(table, history)
    elif source == "arrow":
        history = table
    else:
        history = pytest.importorskip("pandas").DataFrame({"time": times, "STK": values})
    trades = kestro.timetable([("2026-01-05", "pnl", "+", -10.0, "STK"), ("2026-01-09", "pnl", "+", 10.0, "STK")])
    result = kestro.backtest(trades, history)
    assert result.profit == pytest.approx(41.0)
    assert result.cashflows.column("value").to_pylist() == pytest.approx([-1000.0, 1041.0])


def test_backtest_reports_a_missing_price_in_the_historys_words(tmp_path):
    trades = kestro.timetable([("2026-01-01", "pnl", "+", -10.0, "STK")])
    with pytest.raises(kestro.NoPriceError, match="first price is at 2026-01-05") as info:
        kestro.backtest(trades, {"STK": (["2026-01-05"], [100.0])})
    assert isinstance(info.value.__cause__, RuntimeError)
    with pytest.raises(ValueError, match="prices.txt: read prices from a .csv or .parquet file"):
        kestro.backtest(trades, tmp_path / "prices.txt")


def test_results_have_readable_reprs():
    result = kestro.price_with_stats(kestro.american_put(100, 1.0), MARKET, "black_scholes", vol=0.2)
    assert repr(result).startswith("PriceResult(Price(6.08") and "grid n_x=" in repr(result)
    assert "<table>" in result._repr_html_() and "black_scholes" in result._repr_html_()
    contract = kestro.american_put(100, 1.0)
    assert len(repr(contract).splitlines()) < 20 and "1098 events" in repr(contract) and "  ..." in repr(contract)
