"""kestro.history: reading dated prices, as-of lookups, their errors, and backtest_py driven by them."""

import datetime as dt

import _kestro
import kestro
import numpy as np
import pyarrow as pa
import pytest

from conftest import timetable
from kestro.history import HistorySource, NoPriceError, UnknownAssetError, to_milliseconds
from kestro.recorder import Recorder
from kestro.results import cashflow_table

UTC = dt.timezone.utc
DAY = 86_400_000
JAN = [dt.datetime(2026, 1, d, tzinfo=UTC) for d in (2, 5, 6, 9)]
MS = [int(d.timestamp() * 1000) for d in JAN]
EQ = [100.0, 101.5, 99.0, 104.0]
FX = [1.10, 1.12, 1.09, 1.11]


# Times


@pytest.mark.parametrize(
    "times",
    [
        [dt.datetime(2026, 1, 2, 1, 0, tzinfo=dt.timezone(dt.timedelta(hours=1))), dt.datetime(2026, 1, 5)],
        [dt.date(2026, 1, 2), dt.date(2026, 1, 5)],
        np.array(["2026-01-02T00:00:00.000999999", "2026-01-05"], dtype="datetime64[ns]"),
        ["2026-01-02", "2026-01-05T00:00"],
        [MS[0], np.int64(MS[1])],
        pa.array(MS[:2], pa.timestamp("ms")),
        pa.array([MS[0] * 1000 + 999, MS[1] * 1000], pa.timestamp("us", tz="America/New_York")),
        pa.array([MS[0] // 1000, MS[1] // 1000], pa.timestamp("s", tz="UTC")),
        pa.chunked_array([pa.array([MS[0] * 10**6], pa.timestamp("ns")), pa.array([MS[1] * 10**6], pa.timestamp("ns"))]),
        pa.array([dt.date(2026, 1, 2), dt.date(2026, 1, 5)], pa.date32()),
    ],
    ids=["aware-and-naive-datetimes", "dates", "datetime64-ns", "iso-strings", "integers", "arrow-ms", "arrow-us-tz",
         "arrow-s", "arrow-chunked-ns", "arrow-date32"],
)
def test_times_of_every_form_become_utc_milliseconds_floored(times):
    assert to_milliseconds(times).tolist() == MS[:2]


def test_times_before_1970_floor_toward_the_past():
    times = np.array(["1969-12-31T23:59:59.9995", "1960-01-01"], dtype="datetime64[us]")
    assert to_milliseconds(times).tolist() == [-1, -315_619_200_000]
    assert to_milliseconds([dt.datetime(1969, 12, 31, 23, 59, 59, 999_500)]).tolist() == [-1]


@pytest.mark.parametrize("times", [[1.5e12], [None], np.array(["NaT"], dtype="datetime64[ms]"), [[MS[0]]]],
                         ids=["floats", "none", "nat", "two-dimensional"])
def test_ambiguous_or_missing_times_are_refused(times):
    with pytest.raises((TypeError, ValueError)):
        to_milliseconds(times)


# Sources and as-of lookups


def pandas_frame(wide):
    pd = pytest.importorskip("pandas")
    index = pd.DatetimeIndex(JAN, name="date")
    if wide:
        return pd.DataFrame({"EQ": EQ, "FX": FX}, index=index)
    return pd.DataFrame({"time": JAN * 2, "name": ["EQ"] * 4 + ["FX"] * 4, "value": EQ + FX})


SOURCES = {
    "dict-of-datetimes": lambda: {"EQ": (JAN, EQ), "FX": (JAN, FX)},
    "dict-unsorted": lambda: {"EQ": (MS[::-1], EQ[::-1]), "FX": (np.array(MS)[[2, 0, 3, 1]], np.array(FX)[[2, 0, 3, 1]])},
    "arrow-wide": lambda: pa.table({"time": pa.array(MS, pa.timestamp("ms", tz="UTC")), "EQ": EQ, "FX": FX}),
    "arrow-long": lambda: pa.record_batch({"time": pa.array(MS * 2, pa.timestamp("ms")),
                                           "name": pa.array(["EQ"] * 4 + ["FX"] * 4).dictionary_encode(),
                                           "value": EQ + FX}),
    "pandas-wide-index": lambda: pandas_frame(wide=True),
    "pandas-long": lambda: pandas_frame(wide=False),
    "pandas-series": lambda: {name: pandas_frame(wide=True)[name] for name in ("EQ", "FX")},
}


@pytest.mark.parametrize("source", SOURCES)
def test_lookups_answer_the_last_price_at_or_before_the_time(source):
    history = HistorySource(SOURCES[source](), base="USD")
    assert history.names == ["EQ", "FX"]
    cases = [(MS[0], 0), (MS[1] - 1, 0), (MS[1], 1), (MS[2] + DAY // 2, 2), (MS[3], 3), (MS[3] + 400 * DAY, 3)]
    for t, i in cases:
        assert history.get_value("EQ", t) == EQ[i], t
        assert history.get_value("FX", t) == FX[i], t
    assert history.get_value("EQ", JAN[2]) == EQ[2]
    assert history.get_value("USD", 0) == 1.0


def test_missing_prices_are_skipped_and_equal_times_keep_the_last_when_asked():
    table = pa.table({"time": pa.array([MS[0], MS[1], MS[1], MS[2]], pa.timestamp("ms")),
                      "EQ": pa.array([100.0, 101.0, 102.0, None]), "FX": [1.0, np.nan, 1.2, 1.3]})
    history = HistorySource(table, duplicates="last")
    assert history.get_value("EQ", MS[1]) == 102.0
    assert history.get_value("EQ", MS[3]) == 102.0
    assert history.series("EQ")[0].tolist() == [MS[0], MS[1]]
    assert history.get_value("FX", MS[1]) == 1.2  # a missing price beside a real one is no duplicate
    assert history.series("FX")[0].tolist() == [MS[0], MS[1], MS[2]]


@pytest.mark.parametrize("prices, match", [
    (lambda: pa.table({"time": pa.array([MS[0], MS[1], MS[1]], pa.timestamp("ms")), "EQ": [1.0, 2.0, 3.0]}),
     r"the prices table: prices of 'EQ' have two values at 2026-01-05T00:00:00Z \(row 1: 2.0, row 2: 3.0\)"),
    (lambda: pa.table({"time": ["2026-01-02", "2026-01-05", "2026-01-02T00:00"], "name": ["EQ", "FX", "EQ"],
                       "value": [1.0, 2.0, 3.0]}),
     r"prices of 'EQ' have two values at 2026-01-02T00:00:00Z \(row 0: 1.0, row 2: 3.0\)"),
    (lambda: {"EQ": (["2026-01-05", "2026-01-02", "2026-01-05"], [1.0, 2.0, 3.0])},
     r"prices of 'EQ' have two values at 2026-01-05T00:00:00Z \(price 0: 1.0, price 2: 3.0\)"),
], ids=["wide", "long", "dict"])
def test_two_prices_of_an_asset_at_one_time_are_refused_naming_the_asset_time_and_rows(prices, match):
    with pytest.raises(ValueError, match=match + ".*duplicates='last'"):
        HistorySource(prices())
    assert HistorySource(prices(), duplicates="last").get_value("EQ", MS[3]) == 3.0


def test_duplicates_takes_only_error_or_last():
    with pytest.raises(ValueError, match="duplicates must be 'error' .* or 'last' .* got 'first'"):
        HistorySource({"EQ": (JAN, EQ)}, duplicates="first")


def test_unknown_assets_raise_a_key_error_that_reads_plainly():
    history = HistorySource({"EQ": (JAN, EQ)})
    with pytest.raises(KeyError) as info:
        history.get_value("GOLD", MS[1])
    assert isinstance(info.value, UnknownAssetError)
    assert str(info.value) == "no prices for asset 'GOLD' (assets with prices: 'EQ')"


def test_times_before_the_first_price_raise_and_name_both_times():
    history = HistorySource({"EQ": (JAN, EQ)})
    with pytest.raises(NoPriceError) as info:
        history.get_value("EQ", MS[0] - 1)
    assert str(info.value) == ("no price of 'EQ' at or before 2026-01-01T23:59:59.999Z: "
                               "its first price is at 2026-01-02T00:00:00Z")
    assert isinstance(info.value, LookupError) and not isinstance(info.value, KeyError)


@pytest.mark.parametrize(
    "prices, error",
    [
        ({"EQ": (JAN, EQ[:3])}, ValueError),
        ({"EQ": EQ}, TypeError),
        (pa.table({"date": MS, "EQ": EQ}), ValueError),
        ([("EQ", JAN, EQ)], TypeError),
    ],
    ids=["lengths-differ", "values-without-times", "no-time-column", "list"],
)
def test_malformed_price_inputs_are_refused(prices, error):
    with pytest.raises(error):
        HistorySource(prices)


@pytest.mark.parametrize("text, match", [
    ("time,EQ\n2026-01-02,100\n2026-01-32,101\n",
     r"prices.csv: column 'time', row 1 \(line 3\): not an ISO 8601 date or time: '2026-01-32'"),
    ("time,EQ\n2026-01-02,100\n2026-01-05,n/a!\n",
     r"prices.csv: column 'EQ', row 1 \(line 3\): 'n/a!' is not a number"),
    ("date,EQ\n2026-01-02,100\n", r"prices.csv: no time column: give 'time' \(columns present: 'date', 'EQ'\)"),
    ("time,name,EQ\n2026-01-02,EQ,100\n", r"column 'name' makes a long table of prices, which needs both 'name'"),
    ("time,EQ\n2026-01-02,100\n,101\n", r"prices.csv: column 'time', row 1 \(line 3\): a price without a time"),
    ("time,EQ,FX\n2026-01-02,100,1.1\n2026-01-02,,1.2\n",
     r"prices.csv: prices of 'FX' have two values at 2026-01-02T00:00:00Z \(row 0 \(line 2\): 1.1, row 1 "
     r"\(line 3\): 1.2\)"),
], ids=["bad-date", "bad-price", "no-time-column", "half-long", "time-missing", "duplicate"])
def test_bad_price_files_are_refused_naming_the_row_line_and_value(text, match, tmp_path):
    path = tmp_path / "prices.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=match):
        HistorySource.from_file(path)


@pytest.mark.parametrize("suffix", ["csv", "parquet"])
def test_duplicate_prices_in_a_file_keep_the_last_when_asked(suffix, tmp_path):
    import pyarrow.csv as csv
    import pyarrow.parquet as pq

    table = pa.table({"time": ["2026-01-02", "2026-01-05", "2026-01-05"], "name": ["EQ"] * 3,
                      "value": [100.0, 101.0, 102.0]})
    path = tmp_path / f"prices.{suffix}"
    (csv.write_csv if suffix == "csv" else pq.write_table)(table, path)
    with pytest.raises(ValueError, match=r"prices of 'EQ' have two values at 2026-01-05"):
        HistorySource(path)
    assert HistorySource(path, duplicates="last").series("EQ")[1].tolist() == [100.0, 102.0]
    trades = kestro.timetable([("2026-01-05", "pnl", "+", 1.0, "EQ")])
    assert kestro.backtest(trades, path, duplicates="last").profit == 102.0


def test_a_dataframe_needs_times_in_a_column_or_its_index():
    pd = pytest.importorskip("pandas")
    with pytest.raises(ValueError, match="index holds no times"):
        HistorySource(pd.DataFrame({"EQ": EQ}))


# backtest_py


def contract():
    """Buy 2 EQ on the first day, receive FX coupons in between, and on the last day the holder
    keeps the larger of 2 EQ and 210 USD."""
    t0, t1, t2 = MS[0] + 3_600_000, MS[2] + DAY // 2, MS[3] + 7 * DAY
    rows = [
        (t0, "eq", "+", -2.0, "EQ"),
        (t0, "cash", "+", 5.0, "USD"),
        (t1, "cash", "+", 10.0, "FX"),
        (t2, "eq", ">", 2.0, "EQ"),
        (t2, "eq", "+", 210.0, "USD"),
    ]
    return rows, (t0, t1, t2)


def naive(t_ms):
    """The UTC wall time of a timetable time, as pyarrow gives a timestamp without a zone."""
    return dt.datetime(1970, 1, 1) + dt.timedelta(milliseconds=t_ms)


def test_backtest_py_books_cashflows_at_the_as_of_prices():
    rows, (t0, t1, t2) = contract()
    history = HistorySource({"EQ": (JAN, EQ), "FX": (JAN, FX)}, base="USD")
    asked = []

    class Watch:
        def get_value(self, name, t):
            asked.append((name, t))
            return history.get_value(name, t)

    recorder = Recorder(Watch())
    batch = timetable(rows)
    assert _kestro.backtest_py(batch, recorder, {}, "USD") is None
    assert sorted(asked) == sorted([("EQ", t0), ("FX", t1), ("EQ", t2)])
    assert [name for name, _ in recorder.calls] == ["CASHFLOW"]
    table = cashflow_table(recorder, timetable=batch)
    assert table.column_names == ["track", "track_name", "event", "time", "value"]
    # Booked latest first: the choice of 2 EQ (208) against 210 USD is not taken.
    assert table.to_pylist() == [
        {"track": 0, "track_name": "eq", "event": 0, "time": naive(t0), "value": -200.0},
        {"track": 0, "track_name": "eq", "event": 3, "time": naive(t2), "value": 0.0},
        {"track": 0, "track_name": "eq", "event": 4, "time": naive(t2), "value": 210.0},
        {"track": 1, "track_name": "cash", "event": 1, "time": naive(t0), "value": 5.0},
        {"track": 1, "track_name": "cash", "event": 2, "time": naive(t1),
         "value": pytest.approx(10.0 * FX[2])},
    ]


@pytest.mark.parametrize(
    "prices, expected",
    [
        ({"EQ": (JAN[1:], EQ[1:]), "FX": (JAN, FX)},
         "NoPriceError: no price of 'EQ' at or before 2026-01-02T01:00:00Z: its first price is at "
         "2026-01-05T00:00:00Z"),
        ({"EQ": (JAN, EQ)}, "UnknownAssetError: no prices for asset 'FX' (assets with prices: 'EQ')"),
    ],
    ids=["before-first-price", "unknown-asset"],
)
def test_backtest_py_reports_lookup_failures_at_the_event(prices, expected):
    rows, _ = contract()
    recorder = Recorder(HistorySource(prices, base="USD"))
    with pytest.raises(RuntimeError) as info:
        _kestro.backtest_py(timetable(rows), recorder, {}, "USD")
    assert "Error in Python method 'get_value', caused by \n" + expected in info.value.args[0]
    assert recorder.calls == []
