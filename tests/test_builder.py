"""kestro.timetable: every way of giving events, the conversions to the engine's column types, and the refusals."""

import datetime as dt
import math
import re

import _kestro
import numpy as np
import pyarrow as pa
import pytest

from kestro.clock import DEFAULT_START, YEAR_MS, add_years, to_ms
from kestro.events import timetable

P = 1_767_225_600_000  # 2026-01-01T00:00:00Z
DAY = 86_400_000
R = 0.05

ROWS = [
    (P + YEAR_MS, "bond", "+", 100.0, "USD"),
    (P + YEAR_MS, "bond", "+", 5.0, "USD"),
    (P + 2 * YEAR_MS, "other", "+", 7.0, "USD"),
]


def fixed_price(batch):
    dataset = {"BASE": "USD", "PRICING_TS": P, "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 10.0], [R, R]]))}}
    return _kestro.fixed_price(batch, None, dataset, {})


def as_dicts(rows):
    return [dict(zip(("time", "track", "op", "quantity", "unit"), row)) for row in rows]


def as_columns(rows):
    return dict(zip(("time", "track", "op", "quantity", "unit"), (list(c) for c in zip(*rows))))


def expected_batch():
    def dictionary(values, keys):
        return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.utf8()))

    return pa.RecordBatch.from_arrays(
        [pa.array([r[0] for r in ROWS], pa.timestamp("ms", tz="UTC")), dictionary(["bond", "other"], [0, 0, 1]),
         dictionary(["+"], [0, 0, 0]), pa.array([100.0, 5.0, 7.0]), dictionary(["USD"], [0, 0, 0])],
        names=["time", "track", "op", "quantity", "unit"])


# Input forms


@pytest.mark.parametrize(
    "build",
    [
        pytest.param(lambda: timetable(ROWS), id="tuples"),
        pytest.param(lambda: timetable([list(r) for r in ROWS]), id="lists"),
        pytest.param(lambda: timetable(iter(ROWS)), id="iterator"),
        pytest.param(lambda: timetable(as_dicts(ROWS)), id="dicts"),
        pytest.param(lambda: timetable(columns=as_columns(ROWS)), id="columns"),
        pytest.param(lambda: timetable(as_columns(ROWS)), id="columns-as-rows"),
        pytest.param(lambda: timetable(columns={k: np.array(v) if k == "quantity" else tuple(v)
                                                for k, v in as_columns(ROWS).items()}), id="columns-numpy-tuple"),
        pytest.param(lambda: timetable(table=pa.table(as_columns(ROWS))), id="arrow-table-plain-strings"),
        pytest.param(lambda: timetable(pa.table(as_columns(ROWS))), id="arrow-table-as-rows"),
        pytest.param(lambda: timetable(table=expected_batch()), id="engine-ready-batch"),
        pytest.param(lambda: timetable(table=pa.table({k: pa.array(v).dictionary_encode() if k in ("track", "op", "unit")
                                                       else v for k, v in as_columns(ROWS).items()})),
                     id="int32-dictionaries"),
        pytest.param(lambda: timetable(table=pa.Table.from_batches([expected_batch().slice(0, 1),
                                                                    expected_batch().slice(1)])),
                     id="chunked-table"),
    ],
)
def test_every_input_form_builds_the_same_engine_ready_batch(build):
    batch = build()
    assert batch.equals(expected_batch()), batch
    assert fixed_price(batch) == pytest.approx(105 * math.exp(-R), rel=1e-14)


def test_pandas_dataframes_with_categoricals_and_datetimes_are_converted():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(as_columns(ROWS))
    frame["time"] = pd.to_datetime(frame["time"], unit="ms")
    frame["unit"] = frame["unit"].astype("category")
    assert timetable(frame).equals(expected_batch())
    assert timetable(table=frame, tracks=["other", "bond"]).column("track").indices.to_pylist() == [1, 1, 0]
    stamps = [(pd.Timestamp("2026-01-01 00:00:00.0015"), "v", "+", 1.0, "USD"),
              (pd.Timestamp("2026-01-01 01:00", tz="Europe/Paris"), "v", "+", 1.0, "USD")]
    assert timetable(stamps, check_order=False).column("time").cast(pa.int64()).to_pylist() == [P + 1, P]


def test_empty_input_gives_an_empty_timetable_with_the_engine_types():
    for batch in (timetable(), timetable([]), timetable(columns={k: [] for k in as_columns(ROWS)})):
        assert batch.num_rows == 0
        assert batch.schema.equals(expected_batch().schema)


# Times

AWARE = dt.datetime(2026, 1, 1, 1, 0, tzinfo=dt.timezone(dt.timedelta(hours=1)))


@pytest.mark.parametrize(
    "time, ms",
    [
        (dt.datetime(2026, 1, 1), P),
        (dt.datetime(2026, 1, 1, tzinfo=dt.timezone.utc), P),
        (AWARE, P),
        (dt.datetime(2026, 1, 1, 0, 0, 0, 1999), P + 1),
        (dt.date(2026, 1, 2), P + DAY),
        (np.datetime64("2026-01-01T00:00:00.001"), P + 1),
        (np.datetime64("2026-01-02", "D"), P + DAY),
        (np.datetime64("2026-01", "M"), P),
        (np.datetime64(P * 1000 + 999, "us"), P),
        (np.datetime64(P * 1_000_000 - 1, "ns"), P - 1),
        (np.datetime64(-1, "ns"), -1),
        ("2026-01-01", P),
        ("2026-01-01T12:00:00Z", P + DAY // 2),
        ("2026-01-01T12:00:00+02:00", P + DAY // 2 - 7_200_000),
        (P, P),
        (np.int64(P), P),
        (-5, -5),
    ],
    ids=lambda v: repr(v) if not isinstance(v, int) else None,
)
def test_times_in_every_form_become_utc_milliseconds_rounded_down(time, ms):
    assert to_ms(time) == ms
    batch = timetable([(time, "v", "+", 1.0, "USD")], check_order=False)
    assert batch.column("time").cast(pa.int64()).to_pylist() == [ms]


@pytest.mark.parametrize(
    "time, error",
    [(1.5e12, TypeError), (True, TypeError), (None, TypeError), ([P], TypeError), ("next tuesday", ValueError),
     (np.datetime64("NaT"), ValueError)],
    ids=["float", "bool", "none", "list", "not-iso", "nat"],
)
def test_to_ms_refuses_values_that_are_not_times(time, error):
    with pytest.raises(error):
        to_ms(time)


def test_add_years_counts_365_day_years_from_any_start():
    assert add_years(DEFAULT_START, 1.0) == P + YEAR_MS
    assert add_years("2026-01-01", 1 / 365) == P + DAY
    assert add_years(P, -0.5) == P - YEAR_MS // 2
    with pytest.raises(TypeError):
        add_years(P, "1y")


@pytest.mark.parametrize(
    "column, values, ms",
    [
        ("ns-timestamps", pa.array([P * 1_000_000 + 999_999, P * 1_000_000 - 1], pa.timestamp("ns")), [P, P - 1]),
        ("s-timestamps-with-zone", pa.array([P // 1000], pa.timestamp("s", tz="Europe/Paris")), [P]),
        ("date32", pa.array([dt.date(2026, 1, 2)], pa.date32()), [P + DAY]),
        ("date64", pa.array([dt.date(2026, 1, 2)], pa.date64()), [P + DAY]),
        ("int-ms", pa.array([P], pa.int32() if P < 2**31 else pa.int64()), [P]),
        ("iso-strings", pa.array(["2026-01-01T00:00:00.005Z"]), [P + 5]),
    ],
)
def test_table_time_columns_of_any_time_type_become_milliseconds(column, values, ms):
    n = len(values)
    table = pa.table({"time": values, "track": ["v"] * n, "op": ["+"] * n, "quantity": [1.0] * n, "unit": ["USD"] * n})
    batch = timetable(table=table, check_order=False)
    assert batch.schema.field("time").type == pa.timestamp("ms", tz="UTC")
    assert batch.column("time").cast(pa.int64()).to_pylist() == ms


# Tracks, ops and units


def test_track_zero_is_the_first_track_named_unless_tracks_fixes_the_order():
    # "total" books the value of track "coupon" (3) and pays 1 itself.
    rows = [(P, "total", "+", 1.0, "coupon"), (P, "coupon", "+", 3.0, "USD"), (P, "total", "+", 1.0, "USD")]
    batch = timetable(rows)
    assert batch.column("track").dictionary.to_pylist() == ["total", "coupon"]
    assert fixed_price(batch) == pytest.approx(4.0)
    batch = timetable(rows, tracks=["coupon", "total", "unused"])
    assert batch.column("track").dictionary.to_pylist() == ["coupon", "total", "unused"]
    assert batch.column("track").indices.to_pylist() == [1, 0, 1]
    assert fixed_price(batch) == pytest.approx(3.0)


def test_a_dictionary_track_column_keeps_its_dictionary_order():
    track = pa.DictionaryArray.from_arrays(pa.array([1, 0], pa.int8()), pa.array(["b", "a"]))
    table = pa.table({"time": pa.array([P, P], pa.timestamp("ms")), "track": track, "op": ["+", "+"],
                      "quantity": [1.0, 2.0], "unit": ["USD", "USD"]})
    batch = timetable(table=table)
    assert batch.column("track").type == pa.dictionary(pa.int64(), pa.utf8())
    assert batch.column("track").dictionary.to_pylist() == ["b", "a"]
    assert batch.column("track").indices.to_pylist() == [1, 0]
    assert timetable(table=table, tracks=["a", "b"]).column("track").indices.to_pylist() == [0, 1]


def test_none_op_and_unit_become_null_keys():
    batch = timetable([(P, "v", None, 1.0, None), (P, "v", ">", 2.0, "EQ")])
    assert batch.column("op").to_pylist() == [None, ">"]
    assert batch.column("op").indices.null_count == 1
    assert batch.column("unit").to_pylist() == [None, "EQ"]
    assert batch.column("unit").dictionary.to_pylist() == ["EQ"]


def test_integer_quantities_become_float64():
    batch = timetable([(P, "v", "+", 3, "USD"), (P, "v", "+", np.int32(4), "USD"), (P, "v", "+", np.float32(0.5), "USD")])
    assert batch.column("quantity").type == pa.float64()
    assert batch.column("quantity").to_pylist() == [3.0, 4.0, 0.5]


def test_rows_out_of_time_order_are_refused_unless_order_checking_is_off():
    rows = [(P + DAY, "v", "+", 1.0, "USD"), (P + DAY, "v", "+", 1.0, "USD"), (P, "v", "+", 1.0, "USD")]
    with pytest.raises(ValueError, match=r"row 2: time 2026-01-01T00:00:00Z is earlier than row 1's 2026-01-02"):
        timetable(rows)
    with pytest.raises(ValueError, match="row 2"):
        timetable(table=pa.table(as_columns(rows)))
    assert timetable(rows, check_order=False).num_rows == 3


# Refusals


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"rows": [(P, "v", "+", 1.0)]}, ValueError, "row 0: expected 5 values"),
        ({"rows": [(P, "v", "+", 1.0, "USD"), "row"]}, TypeError, "row 1: a row is a tuple"),
        ({"rows": "rows"}, TypeError, "rows must be an iterable"),
        ({"rows": [{"time": P, "track": "v", "op": "+", "quantity": 1.0}]}, ValueError, "row 0: missing column 'unit'"),
        ({"rows": [{"time": P, "track": "v", "op": "+", "quantity": 1.0, "unit": "USD", "qty": 2}]}, ValueError,
         "row 0: unknown column 'qty'"),
        ({"columns": {**as_columns(ROWS), "note": ["a", "b", "c"]}}, ValueError, "unknown column 'note'"),
        ({"columns": {k: v for k, v in as_columns(ROWS).items() if k != "op"}}, ValueError, "missing column 'op'"),
        ({"columns": {**as_columns(ROWS), "unit": ["USD"]}}, ValueError, "columns differ in length"),
        ({"columns": {**as_columns(ROWS), "unit": "USD"}}, TypeError, "column 'unit' must be a sequence"),
        ({"table": pa.table({**as_columns(ROWS), "extra": [1, 2, 3]})}, ValueError, "unknown column 'extra'"),
        ({"table": pa.table({k: v for k, v in as_columns(ROWS).items() if k != "time"})}, ValueError,
         "missing column 'time'"),
        ({"table": [ROWS]}, TypeError, None),
        ({"rows": ROWS, "columns": as_columns(ROWS)}, TypeError, "give the events one way only"),
        ({"rows": [(P, "v", "+", "100", "USD")]}, TypeError, "row 0, column 'quantity': expected a number, got str"),
        ({"rows": [(P, "v", "+", None, "USD")]}, TypeError, "column 'quantity'"),
        ({"rows": [(P, "v", "+", True, "USD")]}, TypeError, "column 'quantity'"),
        ({"rows": [(P, "v", "+", 1.0, "USD"), (P, "v", "+", math.nan, "USD")]}, ValueError,
         "row 1, column 'quantity': expected a finite number"),
        ({"rows": [(P, "v", "+", math.inf, "USD")]}, ValueError, "finite"),
        ({"rows": [(P, 0, "+", 1.0, "USD")]}, TypeError, "row 0, column 'track': expected a name"),
        ({"rows": [(P, None, "+", 1.0, "USD")]}, ValueError, "row 0: track is missing"),
        ({"rows": [(P, "v", 1, 1.0, "USD")]}, TypeError, "column 'op'"),
        ({"rows": [(P, "v", "+", 1.0, 42)]}, TypeError, "row 0, column 'unit'"),
        ({"rows": [(None, "v", "+", 1.0, "USD")]}, ValueError, "row 0: time is missing"),
        ({"rows": [(P, "v", "+", 1.0, "USD"), (2.5, "v", "+", 1.0, "USD")]}, TypeError, "row 1, column 'time'"),
        ({"rows": [("soon", "v", "+", 1.0, "USD")]}, ValueError, "row 0, column 'time': not an ISO 8601"),
        ({"rows": ROWS, "tracks": ["bond"]}, ValueError, "row 2: track 'other' is not one of tracks"),
        ({"rows": ROWS, "tracks": ["bond", "other", "bond"]}, ValueError, "'bond' more than once"),
        ({"rows": ROWS, "tracks": "bond"}, TypeError, "tracks must be a sequence"),
        ({"rows": ROWS, "tracks": []}, ValueError, "at least one track"),
        ({"table": pa.table({**as_columns(ROWS), "quantity": ["1", "2", "3"]})}, TypeError,
         "column 'quantity' has type string"),
        ({"table": pa.table({**as_columns(ROWS), "quantity": [1.0, None, 3.0]})}, ValueError, "row 1: quantity is missing"),
        ({"table": pa.table({**as_columns(ROWS), "time": pa.array([P, None, P], pa.timestamp("ms"))})}, ValueError,
         "row 1: time is missing"),
        ({"table": pa.table({**as_columns(ROWS), "time": [1.0, 2.0, 3.0]})}, TypeError, "column 'time' has type double"),
        ({"table": pa.table({**as_columns(ROWS), "track": ["bond", None, "bond"]})}, ValueError,
         "row 1: track is missing"),
        ({"table": pa.table({**as_columns(ROWS), "unit": [1, 2, 3]})}, TypeError, "column 'unit' has type int64"),
        ({"table": pa.table({**as_columns(ROWS), "op": pa.array([0, 0, 0]).dictionary_encode()})}, TypeError,
         "column 'op' has dictionary values of type int64"),
    ],
)
def test_malformed_events_are_refused_before_the_engine_with_the_row_and_column(kwargs, error, message):
    with pytest.raises(error, match=None if message is None else re.escape(message)):
        timetable(**kwargs)


def test_a_null_op_or_unit_column_in_a_table_is_accepted():
    n = len(ROWS)
    table = pa.table({**as_columns(ROWS), "op": pa.nulls(n), "unit": pa.nulls(n, pa.utf8())})
    batch = timetable(table=table)
    assert batch.column("op").to_pylist() == [None] * n
    assert batch.column("unit").to_pylist() == [None] * n
