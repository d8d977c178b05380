"""Markets read from DataFrames, Arrow tables, CSV and Parquet files: columns, round trips and clear refusals."""

import math

import numpy as np
import pyarrow as pa
import pyarrow.csv as csv
import pyarrow.parquet as pq
import pytest

import kestro
from kestro import Market, forward_curve, load_market, zero_curve

PRICED = "2026-03-02"
DATES = ["2026-06-02", "2027-03-02", "2031-03-03", "2026-09-01", "2028-03-02"]
CURVES = {"asset": ["USD", "USD", "USD", "STK", "STK"], "date": DATES,
          "rate": [0.040, 0.041, 0.039, None, None], "forward": [None, None, None, 101.0, 104.0]}
ASSETS = {"asset": ["STK", "IDX"], "spot": [100.0, 5000.0], "vol": [0.2, None], "dividend_yield": [None, 0.015]}


def expected_market():
    discount = zero_curve(DATES[:3], [0.040, 0.041, 0.039], pricing_time=PRICED)
    stock = forward_curve(DATES[3:], [101.0, 104.0], spot=100.0, pricing_time=PRICED)
    return discount, stock


def write(columns, form, tmp_path, name):
    """``columns`` in the form a user keeps them: dates typed where the form has a type for them."""
    table = pa.table(columns)
    if "date" in columns:
        typed = table.set_column(table.column_names.index("date"), "date",
                                 pa.array(np.array(columns["date"], dtype="datetime64[D]")))
    else:
        typed = table
    if form == "dict":
        return columns
    if form == "arrow":
        return table
    if form == "record-batch":
        return typed.to_batches()[0]
    if form == "pandas":
        return pytest.importorskip("pandas").DataFrame(typed.to_pandas())
    path = tmp_path / f"{name}.{form}"
    if form == "csv":
        csv.write_csv(table, path)
    else:
        pq.write_table(typed, path)
    return path


@pytest.mark.parametrize("form", ["dict", "arrow", "record-batch", "pandas", "csv", "parquet"])
def test_curves_spots_and_vols_round_trip_through_every_source(form, tmp_path):
    market = load_market(write(CURVES, form, tmp_path, "curves"), write(ASSETS, form, tmp_path, "assets"),
                         pricing_time=PRICED)
    discount, stock = expected_market()
    assert market.pricing_time == kestro.to_ms(PRICED)
    np.testing.assert_array_equal(market.discount[1], discount[1])
    np.testing.assert_array_equal(market.forwards["STK"][1], stock[1])
    assert sorted(market.forwards) == ["IDX", "STK"] and market.vols == {"STK": 0.2}
    assert Market.from_data(write(CURVES, form, tmp_path, "curves"), write(ASSETS, form, tmp_path, "assets"),
                            pricing_time=PRICED).forwards.keys() == market.forwards.keys()


@pytest.mark.parametrize("pillar, values, direct", [
    ("tenor", ["3M", "1Y", "5Y"], lambda v, r: zero_curve(v, r, pricing_time=PRICED)),
    ("years", [0.25, 1.0, 5.0], lambda v, r: zero_curve(v, r)),
    ("date", ["2026-06-02", "2027-03-02", "2031-03-03"], lambda v, r: zero_curve(v, r, pricing_time=PRICED)),
])
def test_a_table_without_an_asset_column_is_the_discount_curve_in_any_pillar_form(pillar, values, direct):
    rates = [0.04, 0.041, 0.039]
    market = load_market({pillar: values[::-1], "Rate": rates[::-1]}, pricing_time=PRICED)  # any order, any case
    np.testing.assert_array_equal(market.discount[1], direct(values, rates)[1])
    assert market.forwards == {}


def test_a_dataframe_indexed_by_date_is_read_without_changing_it():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"Rate": [0.04, 0.041]}, index=pd.DatetimeIndex(["2026-06-02", "2027-03-02"], name="Date"))
    market = load_market(frame, pricing_time=PRICED)
    np.testing.assert_array_equal(market.discount[1], zero_curve(DATES[:2], [0.04, 0.041], pricing_time=PRICED)[1])
    assert list(frame.columns) == ["Rate"] and frame.index.name == "Date"


def test_tenor_pillars_roll_on_the_calendar_given():
    market = load_market({"tenor": ["1M"], "rate": [0.04]}, pricing_time="2026-04-30", calendar="WEEKENDS")
    assert market.discount[1][0][0] == kestro.engine_years("2026-05-29", "2026-04-30")


def test_discount_factors_are_read_back_exactly_as_the_engine_discounts():
    factors = [1.0, 0.99, 0.96, 0.81]
    market = load_market({"years": [0.0, 0.25, 1.0, 5.0], "discount_factor": factors})
    got = [market.discount_factor(t) for t in (0.0, 0.25, 1.0, 5.0)]
    np.testing.assert_allclose(got, factors, rtol=2e-16, atol=0)


def test_rates_and_discount_factors_may_share_a_discount_curve():
    market = load_market({"years": [1.0, 2.0], "rate": [0.04, None], "discount_factor": [None, 0.92]})
    assert market.discount_factor(1.0) == pytest.approx(math.exp(-0.04), rel=1e-15)
    assert market.discount_factor(2.0) == pytest.approx(0.92, rel=1e-15)


def test_forwards_built_from_spot_and_yield_follow_the_discount_curve_between_its_pillars():
    market = load_market(CURVES, ASSETS, pricing_time=PRICED)
    for t in np.linspace(0.0, market.discount[1][0][-1], 41):
        carry = 5000.0 * math.exp(-0.015 * t) / market.discount_factor(t)
        assert market.forward("IDX", t) == pytest.approx(carry, rel=1e-13), t


def test_a_forward_row_at_the_pricing_time_is_the_spot():
    curves = {"asset": ["USD", "STK", "STK"], "tenor": ["1Y", "0D", "1Y"], "rate": [0.04, None, None],
              "forward": [None, 100.0, 104.0]}
    market = load_market(curves, {"asset": ["STK"], "spot": [100.0]}, pricing_time=PRICED)
    assert market.forwards["STK"][1].tolist() == [[0.0, 1.0], [100.0, 104.0]]
    with pytest.raises(ValueError, match="forward of 'STK' at the pricing time is 100.0 but its spot is 99.0"):
        load_market(curves, {"asset": ["STK"], "spot": [99.0]}, pricing_time=PRICED)


def test_a_loaded_market_prices_through_the_engine():
    market = load_market(CURVES, ASSETS, pricing_time=PRICED)
    payment = kestro.timetable([("2027-03-02", "pay", "+", 1.0, "STK")])
    assert float(kestro.price(payment, market, "fixed")) == pytest.approx(
        market.forward("STK", 1.0) * math.exp(-0.041), rel=1e-13)


def curves_with(**changes):
    table = dict(CURVES)
    table.update(changes)
    return table


@pytest.mark.parametrize("curves, assets, match", [
    ({"asset": ["USD"], "Maturity": ["1Y"], "rate": [0.04]}, None,
     r"the curves table: no pillar column: give 'date' or 'tenor' or 'years' \(columns present: 'asset', "
     r"'Maturity', 'rate'\)"),
    ({"date": ["2027-03-02"], "tenor": ["1Y"], "rate": [0.04]}, None, "pillars given twice, as date and tenor"),
    ({"tenor": ["1Y"], "zero": [0.04]}, None, "no value column: give 'rate' or 'discount_factor' or 'forward'"),
    ({"tenor": ["1Y", "2Y"], "rate": ["0.04", "4%"]}, None, r"column 'rate', row 1: '4%' is not a number"),
    ({"tenor": ["1Y", "2Y"], "rate": [0.04, None]}, None, "row 1 has no rate: give one value per row"),
    ({"tenor": ["1Y"], "rate": [0.04], "discount_factor": [0.96]}, None, "row 0 has both rate and discount_factor"),
    ({"tenor": ["1Y", "soon"], "rate": [0.04, 0.05]}, None, "column 'tenor', row 1: tenor 'soon' is not a length"),
    ({"date": [20270302], "rate": [0.04]}, None, "column 'date' holds numbers, not times"),
    (curves_with(date=["2027-03-02", "2027-03-02", *DATES[2:]]), None,
     r"the curve of 'USD' has two rows on 2027-03-02 \(row 0 and row 1\): keep one"),
    ({"tenor": ["12M", "1Y"], "rate": [0.04, 0.05]}, None, r"two rows on '1Y' \(2027-03-02\)"),
    (curves_with(date=["2026-01-02", *DATES[1:]]), None, "row 0: 2026-01-02 lies before the pricing time 2026-03-02"),
    ({"asset": ["USD"], "tenor": ["1Y"], "forward": [1.1]}, None, "the base currency 'USD' is worth 1"),
    ({"asset": ["EUR"], "tenor": ["1Y"], "rate": [0.03]}, None,
     "the curve of 'EUR' gives rate values, but only the base currency has a discount curve"),
    ({"asset": ["STK", "STK"], "tenor": ["6M", "1Y"], "rate": [0.04, None], "forward": [None, 101.0]}, None,
     r"the curve of 'STK' mixes rate \(row 0\) and forward \(row 1\)"),
    (CURVES, None, r"the forward curve of 'STK' starts 0.5.* years .* or its spot in the assets table"),
    ({"years": [1.0], "discount_factor": [-0.5]}, None, "row 0: discount factor -0.5 is not positive"),
    ({"years": [0.0, 1.0], "discount_factor": [0.99, 0.96]}, None, "the discount factor at the pricing time is 1"),
    ({"years": [1.0], "rate": [4.0]}, None, "rate at time 1: 4 is 400%"),
    (CURVES, {"name": ["STK"], "spot": [100.0]}, r"the assets table: no asset column: give 'asset' \(columns "
                                                 r"present: 'name', 'spot'\)"),
    (CURVES, {"asset": ["STK"]}, "no spot, vol or dividend_yield column"),
    (CURVES, {"asset": ["STK", "STK"], "spot": [100.0, 101.0]}, r"asset 'STK' is listed twice \(row 0 and row 1\)"),
    (CURVES, {"asset": ["STK"], "spot": [100.0], "vol": [20.0]}, r"row 0 \('STK'\): vol 20 is 2000%"),
    (CURVES, {"asset": ["STK"], "spot": [-100.0]}, r"row 0 \('STK'\): spot must be positive, got -100.0"),
    (CURVES, {"asset": ["USD", "STK"], "spot": [1.0, 100.0]}, "the base currency is worth 1 and has no spot"),
    (CURVES, {"asset": ["STK", "IDX"], "spot": [100.0, None], "vol": [None, 0.2]},
     "asset 'IDX' has no spot and no forward curve"),
    (CURVES, {"asset": ["STK"], "spot": [100.0], "dividend_yield": [0.01]},
     "asset 'STK' has a forward curve and a dividend_yield"),
    (None, {"asset": ["STK"], "spot": [100.0]}, "the forwards of 'STK' are built from its spot on the USD discount "
                                                "curve, and the curves have none"),
], ids=["no-pillar", "two-pillars", "no-value", "bad-number", "no-value-in-row", "two-values-in-row", "bad-tenor", "integer-dates",
        "same-date", "same-tenor-date", "before-pricing", "base-forwards", "asset-rates", "mixed-kinds",
        "forward-without-spot", "negative-discount-factor", "discount-factor-at-zero", "percent-rate",
        "no-asset-column", "no-asset-values", "asset-twice", "percent-vol", "negative-spot", "base-spot",
        "vol-only", "forward-and-yield", "spot-without-discount"])
def test_bad_tables_are_refused_naming_the_column_row_and_value(curves, assets, match):
    with pytest.raises(ValueError, match=match):
        load_market(curves, assets, pricing_time=PRICED)


def test_dates_without_a_pricing_time_are_refused():
    with pytest.raises(ValueError, match=r"pillars given as dates need the pricing time: pass pricing_time="):
        load_market(CURVES, ASSETS)


def test_an_unreadable_date_in_a_csv_file_names_its_row_line_and_value(tmp_path):
    path = tmp_path / "curves.csv"
    path.write_text("date,rate\n2026-06-02,0.04\n2027-02-30,0.041\n")
    with pytest.raises(ValueError, match=r"curves.csv: column 'date', row 1 \(line 3\): not an ISO 8601 date or "
                                         r"time: '2027-02-30'"):
        load_market(path, pricing_time=PRICED)


@pytest.mark.parametrize("source, error, match", [
    ("curves.txt", ValueError, r"curves.txt: read curves from a .csv or .parquet file, not .txt"),
    ("missing.csv", FileNotFoundError, r"missing.csv: no such file \(the curves\)"),
    (42, TypeError, "the curves must be a pandas DataFrame, a pyarrow Table, a dict of columns or the path"),
])
def test_sources_that_are_not_tables_are_refused(source, error, match, tmp_path):
    if isinstance(source, str):
        source = tmp_path / source
        if source.suffix == ".txt":
            source.write_text("tenor,rate\n1Y,0.04\n")
    with pytest.raises(error, match=match):
        load_market(source, pricing_time=PRICED)
