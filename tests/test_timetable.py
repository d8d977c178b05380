"""Reading the timetable batch: columns, dictionaries, units, ops, expressions, row descriptions."""

import datetime
import re

import _kestro
import pyarrow as pa
import pytest
from conftest import DAY_MS, Recorder, dict_column, drop, timetable
from hypothesis import given
from hypothesis import strategies as st

TIMETABLE = "Error while parsing Timetable, caused by \n"
IN_E = "Error while parsing expression 'E', caused by \n"
PHRASE = {"type": "phrase", "fn": len, "inp": ["x"]}
SNAPPER = {"type": "snapper", "fn": len, "inp": ["x"], "out": ["y"]}

ENTRY_CALLS = {
    "mc_price": lambda b, s, e: _kestro.mc_price(b, s, {}, e),
    "fixed_price": lambda b, s, e: _kestro.fixed_price(b, s, {}, e),
    "fd_hullwhite_price": lambda b, s, e: _kestro.fd_hullwhite_price(b, s, {}, e),
    "fd_blackscholes_price": lambda b, s, e: _kestro.fd_blackscholes_price(b, s, {}, e),
    "backtest_csv": lambda b, s, e: _kestro.backtest_csv(b, s, "trades.csv", "EUR", e),
    "backtest_py": lambda b, s, e: _kestro.backtest_py(b, s, e, "EUR"),
}


def read_error(batch, expressions=None, call=ENTRY_CALLS["fixed_price"]):
    """The timetable error an entry function raises, or None once the timetable has been read."""
    state = Recorder()
    try:
        call(batch, state, {} if expressions is None else expressions)
    except RuntimeError as error:
        (text,) = error.args
    else:
        return None
    if not text.startswith(TIMETABLE):
        return None
    assert state.calls == []
    return text


def fields(description):
    """A row description split into its labelled parts."""
    match = re.fullmatch(r"#(\d+): track: (.*), time: (.*), op: (.*), qty: (.*), unit: (.*)", description)
    assert match, description
    return dict(zip(("row", "track", "time", "op", "qty", "unit"), match.groups()))


def bad_keys(keys, values=("a", "b")):
    """A dictionary column whose keys may lie outside its dictionary."""
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values), safe=False)


# Columns


@pytest.mark.parametrize(
    "missing, reported",
    [
        (("time",), "time"),
        (("track",), "track"),
        (("op",), "op"),
        (("quantity",), "quantity"),
        (("unit",), "unit"),
        (("time", "unit"), "time"),
        (("op", "quantity", "unit"), "op"),
        (("quantity", "unit"), "quantity"),
    ],
)
def test_first_missing_column_in_fixed_order_is_reported(missing, reported):
    assert read_error(drop(timetable(), *missing)) == f"{TIMETABLE}Column '{reported}' not found"


KEYED = ("track", "op", "unit")


def int_dict(key_type):
    return dict_column(["a"], [0], key_type)


@pytest.mark.parametrize(
    "column, array",
    [
        ("time", pa.array([0], pa.timestamp("s"))),
        ("time", pa.array([0], pa.timestamp("us"))),
        ("time", pa.array([0], pa.timestamp("ns", tz="UTC"))),
        ("time", pa.array([0], pa.date64())),
        ("time", pa.array([0], pa.int64())),
        ("quantity", pa.array([1], pa.int64())),
        ("quantity", pa.array([1.0], pa.float32())),
        ("quantity", pa.array(["1"])),
        *[(c, int_dict(k)) for c in KEYED for k in (pa.int8(), pa.int16(), pa.int32(), pa.uint64())],
        *[(c, pa.array(["a"], t)) for c in KEYED for t in (pa.utf8(), pa.large_utf8())],
    ],
)
def test_column_of_wrong_type_is_refused(column, array):
    expected = f"{TIMETABLE}Couldn't convert column '{column}', likely incorrect type"
    assert read_error(timetable(**{column: array})) == expected


def test_wrong_type_is_reported_before_a_later_missing_column():
    batch = drop(timetable(time=pa.array([0], pa.timestamp("us"))), "unit")
    assert read_error(batch) == f"{TIMETABLE}Couldn't convert column 'time', likely incorrect type"


def test_time_zone_extra_columns_and_column_order_do_not_matter(internals):
    plain = timetable([(DAY_MS + 5, "t0", "+", 2.5, "USD")])
    zoned = timetable([(0, "t0", "+", 2.5, "USD")], time=pa.array([DAY_MS + 5], pa.timestamp("ms", tz="Asia/Tokyo")))
    columns = {name: zoned.column(name) for name in reversed(zoned.schema.names)}
    shuffled = pa.record_batch({"Time": pa.array([0.0]), **columns, "note": pa.array(["x"])})
    expected = ["#0: track: Track(0), time: Single(1970-01-02T00:00:00.005Z), op: +, qty: 2.5, unit: Asset(USD)"]
    assert internals.describe_rows(plain, {}) == internals.describe_rows(shuffled, {}) == expected
    assert read_error(shuffled) is None


def test_zero_row_timetable_is_read(internals):
    batch = timetable([], tracks=["t0"], ops=["+"], units=["USD"])
    assert batch.num_rows == 0
    assert internals.describe_rows(batch, {"E": PHRASE}) == []
    assert read_error(batch) is None


@pytest.mark.parametrize("function", ENTRY_CALLS)
def test_every_entry_function_raises_the_timetable_error(function):
    call = ENTRY_CALLS[function]
    assert read_error(drop(timetable(), "op"), call=call) == f"{TIMETABLE}Column 'op' not found"
    assert read_error(timetable(), {"E": {}}, call=call) == f"{TIMETABLE}{IN_E}Py Dictionary is missing key 'type'"
    assert read_error(timetable(), {"E": PHRASE}, call=call) is None


# Dictionary values

NOT_STRINGS = [pa.array(["a"], pa.large_utf8()), pa.array([7], pa.int64()), pa.array([b"a"], pa.binary())]


@pytest.mark.parametrize("values", NOT_STRINGS, ids=str)
@pytest.mark.parametrize("column, name", [("unit", "units"), ("track", "tracks"), ("op", "ops")])
def test_dictionary_values_must_be_strings(column, name, values):
    batch = timetable(**{column: pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()), values)})
    assert read_error(batch) == f"{TIMETABLE}Error in {name} column, expected strings"


def test_null_value_in_track_dictionary_fails_even_when_no_row_uses_it():
    batch = timetable(track=dict_column(["t0", None], [0]))
    assert read_error(batch) == f"{TIMETABLE}Missing Track Value"


INT_VALUES = pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()), pa.array([1], pa.int64()))
NULL_TRACK = dict_column(["t0", None], [0])
ALL_BAD = {"unit": INT_VALUES, "track": INT_VALUES, "op": INT_VALUES}


@pytest.mark.parametrize(
    "columns, expressions, expected",
    [
        (ALL_BAD, {}, "Error in units column, expected strings"),
        ({"unit": INT_VALUES, "track": NULL_TRACK}, {}, "Error in units column, expected strings"),
        ({"track": INT_VALUES, "op": INT_VALUES}, {}, "Error in tracks column, expected strings"),
        ({"track": NULL_TRACK, "op": INT_VALUES}, {}, "Missing Track Value"),
        (ALL_BAD, {"E": {"type": "x"}}, f"{IN_E}Invalid value 'x' for key 'type'"),
    ],
)
def test_expressions_then_units_then_tracks_then_ops_are_checked(columns, expressions, expected):
    assert read_error(timetable(**columns), expressions) == TIMETABLE + expected


# Expressions


def wrong_type(key, cause):
    return f"Error in value of {key}, likely incorrect type. caused by \n{cause}"


def cannot_convert(type_name, target):
    return f"TypeError: '{type_name}' object cannot be converted to '{target}'"


@pytest.mark.parametrize(
    "entry, inner",
    [
        ({"fn": len, "inp": []}, "Py Dictionary is missing key 'type'"),
        ({"type": 3}, wrong_type("type", cannot_convert("int", "PyString"))),
        ({"type": "Phrase", "fn": len, "inp": []}, "Invalid value 'Phrase' for key 'type'"),
        ({"type": ""}, "Invalid value '' for key 'type'"),
        ({**SNAPPER, "type": "batch"}, "Batch is not supported in this package"),
        ({"type": "phrase", "inp": []}, "Py Dictionary is missing key 'fn'"),
        ({"type": "snapper", "fn": len}, "Py Dictionary is missing key 'inp'"),
        ({"type": "snapper", "fn": len, "inp": []}, "Py Dictionary is missing key 'out'"),
        ({**PHRASE, "inp": "p1"}, wrong_type("inp", "TypeError: Can't extract `str` to `Vec`")),
        ({**PHRASE, "inp": {"a"}}, wrong_type("inp", cannot_convert("set", "Sequence"))),
        ({**PHRASE, "inp": 5}, wrong_type("inp", cannot_convert("int", "Sequence"))),
        ({**PHRASE, "inp": ["a", 1]}, wrong_type("inp", cannot_convert("int", "PyString"))),
        ({**SNAPPER, "out": "y"}, wrong_type("out", "TypeError: Can't extract `str` to `Vec`")),
        ({**SNAPPER, "out": [None]}, wrong_type("out", cannot_convert("NoneType", "PyString"))),
    ],
)
def test_bad_expression_entry_is_reported_under_its_name(entry, inner):
    assert read_error(timetable(), {"E": entry}) == TIMETABLE + IN_E + inner


def test_single_string_inp_message_reads_in_full():
    expected = (
        "Error while parsing Timetable, caused by \nError while parsing expression 'p1', caused by \n"
        "Error in value of inp, likely incorrect type. caused by \nTypeError: Can't extract `str` to `Vec`"
    )
    assert read_error(timetable(), {"p1": {**PHRASE, "inp": "x"}}) == expected


def test_non_str_expression_name_is_reported_without_entry_wrapper():
    expected = f"{TIMETABLE}TypeError: 'int' object cannot be converted to 'PyString'"
    assert read_error(timetable(), {1: PHRASE}) == expected


def test_non_dict_expression_value_is_reported_under_n_a():
    # The cause is the bare conversion text, without the "TypeError: " of the other WrongType causes.
    expected = TIMETABLE + wrong_type("n/a", "'list' object cannot be converted to 'PyDict'")
    assert read_error(timetable(), {"E": [PHRASE]}) == expected


def test_failing_key_lookup_is_reported_as_the_python_exception():
    class Clash:  # shares the hash of "type", so looking "type" up compares with it
        def __hash__(self):
            return hash("type")

        def __eq__(self, other):
            raise ValueError("no compare")

    assert read_error(timetable(), {"E": {Clash(): 1}}) == f"{TIMETABLE}{IN_E}ValueError: no compare"


@pytest.mark.parametrize(
    "entry",
    [
        {**PHRASE, "inp": ("a", "b")},
        {**PHRASE, "inp": []},
        {**PHRASE, "fn": 42},
        {**PHRASE, "out": 42},
        {**PHRASE, "extra": object()},
        {**SNAPPER, "inp": (), "out": ("a", "b")},
        {**SNAPPER, "inp": range(0)},
    ],
)
def test_valid_expression_entry_is_accepted(entry):
    assert read_error(timetable(), {"E": entry}) is None


def test_expressions_are_read_in_dictionary_order():
    bad_type, no_fn = {"type": "nope"}, {"type": "phrase"}
    in_a, in_b = (f"{TIMETABLE}Error while parsing expression '{k}', caused by \n" for k in "AB")
    assert read_error(timetable(), {"ok": PHRASE, "A": bad_type, "B": no_fn}) == in_a + "Invalid value 'nope' for key 'type'"
    assert read_error(timetable(), {"B": no_fn, "A": bad_type}) == in_b + "Py Dictionary is missing key 'fn'"


# Units


@pytest.mark.parametrize(
    "units, tracks, expressions, shown",
    [
        (["USD"], ["t0"], {}, ["Asset(USD)"]),
        (["c", "USD"], ["a", "b", "c"], {}, ["Track(2)", "Asset(USD)"]),
        (["b", "a"], ["a", "b"], {}, ["Track(1)", "Track(0)"]),
        (["A", " a"], ["a"], {"p": PHRASE}, ["Asset(A)", "Asset( a)"]),
        (["a"], ["a"], {"a": PHRASE}, ["Phrase(a)"]),
        (
            ["S", "A", "B", "USD"],
            ["t0"],
            {"S": {**SNAPPER, "out": ["A", "B", "Z"]}},
            ["Snapper(S)", "Snap(A)", "Snap(B)", "Asset(USD)"],
        ),
        (["a"], ["a"], {"a": SNAPPER}, ["Snapper(a)"]),
        (["y"], ["y"], {"S": SNAPPER}, ["Snap(y)"]),
        (["y", "S"], ["t0"], {"S": SNAPPER, "y": PHRASE}, ["Phrase(y)", "Snapper(S)"]),
    ],
)
def test_unit_classification(internals, units, tracks, expressions, shown):
    batch = timetable([(0, tracks[0], "+", 1.0, u) for u in units], tracks=tracks, units=units)
    assert [fields(d)["unit"] for d in internals.describe_rows(batch, expressions)] == shown


def test_null_unit_key_and_null_unit_value_show_none(internals):
    batch = timetable([(0, "t0", "+", 1.0, "USD")] * 3, unit=dict_column(["USD", None], [None, 1, 0]))
    assert [fields(d)["unit"] for d in internals.describe_rows(batch, {})] == ["<none>", "<none>", "Asset(USD)"]


# Ops


def test_op_display(internals):
    ops = ["+", ">", "<", "++", " +", "", "Choose", None]
    batch = timetable([(0, "t0", "+", 1.0, "USD")] * 9, op=dict_column(ops, [0, 1, 2, 3, 4, 5, 6, 7, None]))
    shown = [fields(d)["op"] for d in internals.describe_rows(batch, {})]
    assert shown == ["+", ">", "<", "++", " +", "", "Choose", "", ""]


# Row descriptions


def test_row_description_reads_as_in_the_example(internals):
    rows = [(0, "t0", ">", 1.0, "USD")] * 3 + [(1_704_067_200_000, "t0", "+", 100.0, "EUR")]
    assert internals.describe_rows(timetable(rows), {})[3] == (
        "#3: track: Track(0), time: Single(2024-01-01T00:00:00Z), op: +, qty: 100, unit: Asset(EUR)"
    )


def test_track_shows_key_not_name_and_none_for_null_key(internals):
    batch = timetable([(0, "t0", "+", 1.0, "USD")] * 3, track=dict_column(["x", "7", "y"], [2, None, 1]))
    assert [fields(d)["track"] for d in internals.describe_rows(batch, {})] == ["Track(2)", "<none>", "Track(1)"]


def test_sliced_batch_reads_its_own_rows(internals):
    rows = [(i * 1000, f"t{i % 2}", "+<"[i % 2], float(i), f"U{i % 3}") for i in range(6)]
    full = timetable(rows, track=dict_column(["t0", "t1"], [0, None, 1, 0, None, 1]))
    assert internals.describe_rows(full.slice(2, 3), {}) == [
        re.sub(r"^#\d+", f"#{r}", d) for r, d in enumerate(internals.describe_rows(full, {})[2:5])
    ]
    assert [internals.track_of(full.slice(1), r) for r in range(3)] == ["No track specified at event#0", 1, 0]


EPOCH = datetime.datetime(1970, 1, 1)
CYCLE_DAYS = 146_097  # days in 400 Gregorian years
I64 = 2**63


def ms_at(year, month=1, day=1, ms_of_day=0):
    """Milliseconds since 1970 of a proleptic Gregorian date in any year."""
    cycles = (year - 2000) // 400
    days = (datetime.datetime(year - 400 * cycles, month, day) - EPOCH).days + cycles * CYCLE_DAYS
    return days * DAY_MS + ms_of_day


def reference_time(ms):
    days, ms_of_day = divmod(ms, DAY_MS)
    cycles = days // CYCLE_DAYS
    moment = EPOCH + datetime.timedelta(days=days - cycles * CYCLE_DAYS, milliseconds=ms_of_day)
    year = moment.year + 400 * cycles
    if not -262_143 <= year <= 262_142:
        return "None"
    year_text = f"{year:04d}" if 0 <= year <= 9999 else f"{year:+05d}"
    millis = f".{moment.microsecond // 1000:03d}" if moment.microsecond else ""
    return f"Single({year_text}-{moment:%m-%dT%H:%M:%S}{millis}Z)"


@pytest.mark.parametrize(
    "ms, shown",
    [
        (0, "Single(1970-01-01T00:00:00Z)"),
        (-1, "Single(1969-12-31T23:59:59.999Z)"),
        (DAY_MS - 1000, "Single(1970-01-01T23:59:59Z)"),
        (ms_at(1900, 2, 28, 3_723_040), "Single(1900-02-28T01:02:03.040Z)"),
        (ms_at(0, 2, 29), "Single(0000-02-29T00:00:00Z)"),
        (ms_at(-1, 12, 31, DAY_MS - 1), "Single(-0001-12-31T23:59:59.999Z)"),
        (ms_at(9999, 12, 31, DAY_MS - 1), "Single(9999-12-31T23:59:59.999Z)"),
        (ms_at(10000), "Single(+10000-01-01T00:00:00Z)"),
        (ms_at(-10000, 3, 1), "Single(-10000-03-01T00:00:00Z)"),
        (ms_at(262_142, 12, 31, DAY_MS - 1), "Single(+262142-12-31T23:59:59.999Z)"),
        (ms_at(262_143), "None"),
        (ms_at(-262_143), "Single(-262143-01-01T00:00:00Z)"),
        (ms_at(-262_143) - 1, "None"),
        (I64 - 1, "None"),
        (-I64, "None"),
    ],
)
def test_event_time_format(internals, ms, shown):
    assert internals.format_event_time(ms) == shown
    batch = timetable([(ms, "t0", "+", 1.0, "USD")])
    assert fields(internals.describe_rows(batch, {})[0])["time"] == shown


@given(st.integers(ms_at(0), ms_at(10_000)) | st.integers(ms_at(-262_144), ms_at(262_144)) | st.integers(-I64, I64 - 1))
def test_event_time_matches_calendar_arithmetic(internals, ms):
    assert internals.format_event_time(ms) == reference_time(ms)


@pytest.mark.parametrize(
    "quantity, shown",
    [
        (2.0, "2"),
        (100.0, "100"),
        (0.1, "0.1"),
        (-2.5, "-2.5"),
        (1e-7, "0.0000001"),
        (1.5e-7, "0.00000015"),
        (1 / 3, "0.3333333333333333"),
        (1e21, "1000000000000000000000"),
        (2.0**70, "1180591620717411300000"),
        (1e100, "1" + "0" * 100),
        (-1.7976931348623157e308, "-17976931348623157" + "0" * 292),
        (5e-324, "0." + "0" * 323 + "5"),
        (0.0, "0"),
        (-0.0, "-0"),
        (float("nan"), "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
    ],
)
def test_quantity_is_shown_in_shortest_plain_decimal(internals, quantity, shown):
    batch = timetable([(0, "t0", "+", quantity, "USD")])
    assert fields(internals.describe_rows(batch, {})[0])["qty"] == shown


# Keys outside their dictionary


@pytest.mark.parametrize("key", [-1, 2, 2**62, -(2**63)])
@pytest.mark.parametrize("column", ["track", "op", "unit"])
def test_key_outside_dictionary_is_never_read(internals, column, key):
    batch = timetable([(0, "t0", "+", 1.0, "USD")] * 2, **{column: bad_keys([0, key])})
    good, bad = (fields(d) for d in internals.describe_rows(batch, {}))
    assert str(key) in bad[column] and bad[column] != good[column]
    for name in set(good) - {"row", column}:
        assert bad[name] == good[name]
    track = internals.track_of(batch, 1)
    if column == "track":
        assert isinstance(track, str) and "event#1" in track and "'track'" in track
    else:
        assert track == 0


def test_null_track_key_names_the_row(internals):
    batch = timetable([(0, "t0", "+", 1.0, "USD"), (0, None, "+", 1.0, "USD")])
    assert [internals.track_of(batch, r) for r in range(2)] == [0, "No track specified at event#1"]
