"""kestro.Portfolio in this process: the price and risk tables, failing trades, trade markets,
totals, progress bars, and refused input. The same on a Dask cluster: tests/test_cluster.py."""

import pyarrow as pa
import pytest

import kestro
from kestro.risk.chunked import Moments

MARKET = kestro.Market.flat(rate=0.05, spots={"STK": 100.0, "IDX": 50.0}, vols={"STK": 0.2, "IDX": 0.3})


def book():
    return (kestro.Portfolio(MARKET)
            .add("bond", kestro.fixed_rate_bond(0.04, 5.0))
            .add("swap", kestro.interest_rate_swap(0.04, 5.0))
            .add("put", kestro.american_put(100, 1.0), "black_scholes")
            .add("idx call", kestro.european_call(50, 1.0, asset="IDX"), "monte_carlo", paths=2000, seed=2)
            .add("broken", kestro.european_put(100, 1.0), "hull_white"))


def test_price_table_has_one_row_per_trade_with_the_prices_kestro_price_gives():
    portfolio = book()
    table = portfolio.price()
    assert table.column_names == ["trade", "price", "standard_error", "model", "seconds", "reruns", "error"]
    rows = {row["trade"]: row for row in table.to_pylist()}
    assert list(rows) == list(portfolio)
    for name in ("bond", "swap", "put", "idx call"):
        trade = portfolio[name]
        expected = kestro.price(trade.contract, MARKET, trade.model, **trade.settings)
        assert rows[name]["price"] == float(expected) and rows[name]["model"] == expected.model
        assert rows[name]["error"] is None and rows[name]["seconds"] >= 0
    assert rows["idx call"]["standard_error"] > 0 and rows["bond"]["standard_error"] is None


def test_a_failing_trade_carries_its_error_and_the_others_still_price():
    rows = {row["trade"]: row for row in book().price().to_pylist()}
    assert rows["broken"]["price"] is None
    assert rows["broken"]["error"].startswith("TypeError: the Hull-White model needs vol=")
    assert all(rows[name]["price"] is not None for name in ("bond", "swap", "put", "idx call"))


def test_a_trade_with_its_own_market_prices_in_it():
    other = kestro.Market.flat(rate=0.01)
    portfolio = kestro.Portfolio(MARKET).add("here", kestro.zero_coupon_bond(2.0)).add(
        "there", kestro.zero_coupon_bond(2.0), market=other)
    prices = dict(zip(*portfolio.price().select(["trade", "price"]).to_pydict().values()))
    assert prices["here"] == pytest.approx(100 * MARKET.discount_factor(2.0))
    assert prices["there"] == pytest.approx(100 * other.discount_factor(2.0))


def test_a_portfolio_without_a_market_names_the_missing_market_per_trade():
    table = kestro.Portfolio(trades={"bond": kestro.zero_coupon_bond(1.0)}).price()
    assert "no market" in table.column("error")[0].as_py()


def test_price_to_pandas_gives_the_same_rows():
    frame = book().price(to_pandas=True)
    assert list(frame["trade"]) == list(book()) and frame["error"].notna().sum() == 1


def test_risk_table_has_option_greeks_for_options_and_dv01s_for_rate_trades():
    table = book().risk()
    rows = {row["trade"]: row for row in table.to_pylist()}
    assert rows["put"]["asset"] == "STK" and rows["put"]["delta"] < 0 < rows["put"]["gamma"]
    assert rows["idx call"]["asset"] == "IDX" and rows["idx call"]["vega"] > 0
    assert rows["bond"]["dv01"] > 0 and rows["bond"]["delta"] is None
    pillars = [name for name in table.column_names if name.startswith("key_rate_dv01_")]
    assert pillars == ["key_rate_dv01_0y", "key_rate_dv01_50y"]
    assert rows["bond"]["key_rate_dv01_50y"] == pytest.approx(rows["bond"]["dv01"], rel=1e-6)
    assert rows["put"]["key_rate_dv01_50y"] is None
    assert rows["broken"]["error"] is not None and rows["broken"]["price"] is None
    assert table.schema.field("delta").type == pa.float64()


def test_risk_totals_add_up_in_the_base_currency_and_by_asset_for_asset_greeks():
    table = book().risk()
    totals = kestro.risk_totals(table)
    rows = [row for row in table.to_pylist() if row["error"] is None]
    assert totals["price"] == pytest.approx(sum(row["price"] for row in rows))
    assert totals["dv01"] == pytest.approx(sum(row["dv01"] for row in rows if row["dv01"] is not None))
    assert set(totals["delta"]) == {"STK", "IDX"}
    assert totals["delta"]["STK"] == pytest.approx(next(r["delta"] for r in rows if r["trade"] == "put"))
    assert totals["failed"] == ["broken"]
    assert kestro.risk_totals(table.to_pandas()) == totals


def test_progress_bar_is_drawn_on_request_and_not_by_default_when_not_interactive(capsys):
    portfolio = kestro.Portfolio(MARKET).add("bond", kestro.zero_coupon_bond(1.0))
    portfolio.price()
    assert capsys.readouterr().err == ""
    portfolio.price(progress=True)
    assert "kestro-price" in capsys.readouterr().err


@pytest.mark.parametrize("action, error, message", [
    (lambda p: p.add("bond", kestro.zero_coupon_bond(1.0)), ValueError, "already in the portfolio"),
    (lambda p: p.add("", kestro.zero_coupon_bond(1.0)), TypeError, "non-empty strings"),
    (lambda p: p.add("x", "not a contract"), TypeError, "must be a kestro.Contract"),
    (lambda p: p.price(progress="yes"), TypeError, "progress must be"),
    (lambda p: p.price(client="localhost:8786"), TypeError, "dask.distributed.Client"),
    (lambda p: p.price(client=object(), batch_size=0), ValueError, "batch_size"),
    (lambda p: p["nope"], KeyError, "no trade 'nope'"),
])
def test_bad_portfolio_input_is_refused_with_what_to_do(action, error, message):
    portfolio = kestro.Portfolio(MARKET).add("bond", kestro.zero_coupon_bond(1.0))
    with pytest.raises(error, match=message):
        action(portfolio)


def test_chunk_moments_merge_to_the_pooled_mean_and_standard_error():
    import numpy as np

    values = np.random.default_rng(5).normal(1e6, 3.0, 10_001)  # a large mean: sums of squares would cancel
    merged = Moments(0, 0.0, 0.0)
    for part in np.array_split(values, 7):
        merged = merged.merge(Moments.of(part))
    assert merged.count == values.size
    assert merged.mean == pytest.approx(values.mean(), rel=1e-15)
    assert merged.standard_error == pytest.approx(values.std(ddof=1) / np.sqrt(values.size), rel=1e-9)


def test_a_chunked_upper_bound_is_the_chunked_pathwise_price_on_the_same_paths():
    bermudan = kestro.bermudan_put(100, [0.25, 0.5, 1.0])
    run = dict(paths=12_000, chunk_paths=5_000, seed=3)
    found = kestro.price_chunked(bermudan, MARKET, upper_bound=True, **run)
    pathwise = kestro.price_chunked(bermudan, MARKET, exercise="pathwise", **run)
    assert found.exercise == "regression" and found.upper_bound.exercise == "pathwise"
    assert (float(found.upper_bound), found.upper_bound.standard_error) == (float(pathwise), pathwise.standard_error)
    assert float(found) == float(kestro.price_chunked(bermudan, MARKET, **run))
    assert float(found.upper_bound) > float(found)
