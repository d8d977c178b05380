"""Timetables crafted below pyarrow's checks, through the Arrow C data interface: every one is
refused with a clear exception or read within its bounds, by every entry function."""

import ctypes
from ctypes import POINTER, c_char_p, c_int64, c_void_p

import _kestro
import numpy as np
import pyarrow as pa
import pytest

from conftest import Recorder, curve, dataset, dict_column, timetable

P = 1_767_225_600_000
DAY = 86_400_000
EVAL = "Error during model evaluation, caused by\n"
FUNCTIONS = ["mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price", "backtest_csv", "backtest_py"]


FLAT = {"USD": curve("ZERO_RATES", [-10.0, 10.0], [0.02, 0.02]), "EQ": curve("FORWARDS", [-10.0, 10.0], [100.0, 120.0])}


class State(Recorder):
    """No paths of its own under mc_price; 100.0 for every asset under backtest_py."""

    def get_value(self, *args):
        return 100.0 if len(args) == 2 else None


def call(function, events, state=None):
    state = state or State()
    f = getattr(_kestro, function)
    if function == "backtest_csv":
        return f(events, state, "history.csv", "USD", {})
    if function == "backtest_py":
        return f(events, state, {}, "USD")
    return f(events, state, dataset(ASSETS=FLAT), {})


# The C data interface structs, filled by pyarrow's exporter and then tampered with.


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p), ("flags", c_int64),
                        ("n_children", c_int64), ("children", POINTER(POINTER(ArrowSchema))),
                        ("dictionary", POINTER(ArrowSchema)), ("release", c_void_p), ("private_data", c_void_p)]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
                       ("n_children", c_int64), ("buffers", POINTER(c_void_p)),
                       ("children", POINTER(POINTER(ArrowArray))), ("dictionary", POINTER(ArrowArray)),
                       ("release", c_void_p), ("private_data", c_void_p)]

new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [c_void_p, c_char_p, c_void_p]


def release(struct):
    if struct.release:
        ctypes.CFUNCTYPE(None, POINTER(type(struct)))(struct.release)(ctypes.byref(struct))


class Exported:
    """An exporter handing out capsules (without destructors) over structs it owns and releases."""

    def __init__(self, array):
        self.schema, self.array = ArrowSchema(), ArrowArray()
        array._export_to_c(ctypes.addressof(self.array), ctypes.addressof(self.schema))
        self.names = (b"arrow_schema", b"arrow_array")

    def column(self, i):
        return self.array.children[i].contents

    def __arrow_c_array__(self, requested_schema=None):
        return (new_capsule(ctypes.addressof(self.schema), self.names[0], None),
                new_capsule(ctypes.addressof(self.array), self.names[1], None))

    def close(self):
        release(self.array)
        release(self.schema)


ROWS = [(P + DAY, "t0", "+", 1.0, "USD"), (P + 2 * DAY, "t0", "+", 2.0, "USD"), (P + 3 * DAY, "t0", "+", 4.0, "USD")]


@pytest.fixture
def exported():
    made = []

    def make(rows=ROWS):
        batch = timetable(rows)
        made.append(Exported(pa.StructArray.from_arrays(batch.columns, names=batch.schema.names)))
        return made[-1]

    yield make
    for e in made:
        e.close()


def string_array(offsets, data):
    return pa.Array.from_buffers(pa.utf8(), len(offsets) - 1,
                                 [None, pa.py_buffer(np.array(offsets, np.int32).tobytes()), pa.py_buffer(data)])


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("column", ["track", "op", "unit"])
@pytest.mark.parametrize("values, message", [
    (([0, 1000, 3], b"USDxx"), "Offset invariant failure"),   # the first string runs far past the data
    (([0, 3, 1], b"USDxx"), "Offset invariant failure"),      # an offset runs backward
    (([0, 2], b"\xff\xfe"), "Invalid UTF8"),
])
def test_dictionary_strings_with_bad_offsets_or_utf8_are_refused_before_any_read(function, column, values, message):
    keys = pa.array([0], pa.int64())
    events = timetable(ROWS[:1], **{column: pa.DictionaryArray.from_arrays(keys, string_array(*values))})
    with pytest.raises(ValueError, match=f"^Arrow error: {message}"):
        call(function, events)


def bad_keys(column, key, size=1):
    values = {"track": ["t0"], "op": ["+"], "unit": ["USD"]}[column] * size
    return pa.DictionaryArray.from_arrays(pa.array([0, key], pa.int64()), pa.array(values), safe=False)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("column", ["track", "op", "unit"])
@pytest.mark.parametrize("key", [-1, 1, 2**62, -(2**63)])
def test_key_outside_its_dictionary_is_refused_naming_row_and_column(function, column, key):
    state = Recorder()
    with pytest.raises(RuntimeError) as info:
        call(function, timetable(ROWS[:2], **{column: bad_keys(column, key)}), state)
    text = str(info.value)
    assert text.startswith(EVAL)
    assert f"Key {key} of column '{column}' at event#1 lies outside its dictionary of 1 values" in text
    assert state.calls == []


@pytest.mark.parametrize("function", FUNCTIONS)
def test_key_into_an_empty_dictionary_is_refused(function):
    column = pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()), pa.array([], pa.utf8()), safe=False)
    with pytest.raises(RuntimeError, match="Key 0 of column 'unit' at event#0 lies outside its dictionary of 0 values"):
        call(function, timetable(ROWS[:1], unit=column))


def struct_longer_than_children(e):
    e.array.length = 5


def column_shorter_than_struct(e):
    e.column(3).length = 1


def offset_past_the_children(e):
    e.array.offset = 2


def negative_length(e):
    e.array.length = -1


def null_count_without_bitmap(e):
    e.column(0).null_count = 2


def missing_dictionary(e):
    e.column(1).dictionary = None


def fewer_children_than_fields(e):
    e.array.n_children = 4


def null_data_buffer(e):
    e.column(3).buffers[1] = None


def unknown_format(e):
    e.schema.children[3].contents.format = b"?"


def released_array(e):
    release(e.array)


def released_schema(e):
    release(e.schema)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("tamper, message", [
    (struct_longer_than_children, "Number of rows in column 0 did not match batch: 3 vs 5"),
    (column_shorter_than_struct, "Number of rows in column 3 did not match batch: 1 vs 3"),
    (offset_past_the_children, "did not match batch"),
    (negative_length, "Array length is negative"),
    (null_count_without_bitmap, "null_count"),
    (missing_dictionary, "dictionary field in ArrowArray struct is null"),
    (fewer_children_than_fields, "ArrowArray struct has 4 children, expected 5"),
    (null_data_buffer, "null data pointer"),
    (unknown_format, "Invalid or unsupported format string: '?'"),
    (released_array, "Cannot import released ArrowArray"),
    (released_schema, "Cannot import released ArrowSchema"),
])
def test_inconsistent_c_structs_are_refused_at_import(exported, function, tamper, message):
    events = exported()
    tamper(events)
    state = Recorder()
    with pytest.raises(ValueError, match="^Arrow error: .*" + message.replace("(", r"\(").replace(")", r"\)")):
        call(function, events, state)
    assert state.calls == []


@pytest.mark.parametrize("length, offset", [(1, 0), (2, 1), (1, 2), (0, 3)])
def test_struct_shorter_than_its_children_reads_only_its_own_rows(exported, length, offset):
    events = exported()
    events.array.length, events.array.offset = length, offset
    rows = ROWS[offset:offset + length]
    if not rows:
        with pytest.raises(RuntimeError, match="Track 0 not found"):
            call("fixed_price", events)
    else:
        assert call("fixed_price", events) == call("fixed_price", timetable(rows))


# Rows around a slice that must never be read: null and outside keys, null times, NaN quantities.
POISON = [(None, None, "+", float("nan"), "USD"), (P, "t0", None, 1.0, None), (P - DAY, "t9", "?", 5.0, "EQ")]
GOOD = [(P + DAY, "t0", "+", 1.0, "USD"), (P + 2 * DAY, "t1", "+", 10.0, "EQ"), (P + 3 * DAY, "t0", ">", 2.0, "USD")]


def poisoned(before, after):
    rows = [POISON[i % 3] for i in range(before)] + GOOD + [POISON[i % 3] for i in range(after)]
    batch = timetable([(r[0], None if r[1] == "t9" else r[1], *r[2:]) for r in rows],
                      tracks=["t0", "t1"], ops=["+", ">", "?"], units=["USD", "EQ"])
    # Keys that no dictionary holds, on the poison rows only.
    keys = [5 if r[1] == "t9" else (None if r[1] is None else ["t0", "t1"].index(r[1])) for r in rows]
    return batch.set_column(1, "track", pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()),
                                                                       pa.array(["t0", "t1"]), safe=False))


def report(calls):
    """The set_stat calls with record batches as Python dicts."""
    return [(name, {k: v.to_pydict() for k, v in value.items()}) for _, name, value in calls]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("before, after", [(1, 0), (7, 5), (11, 13), (64, 1)])
def test_a_slice_reads_only_its_own_rows(function, before, after):
    plain = timetable(GOOD, tracks=["t0", "t1"], ops=["+", ">", "?"], units=["USD", "EQ"])
    expected, sliced = State(), State()
    for events, state in ((plain, expected), (poisoned(before, after).slice(before, len(GOOD)), sliced)):
        result = call(function, events, state)
        state.calls.append(result)
    assert sliced.calls[-1] == expected.calls[-1]
    assert report(sliced.calls[:-1]) == report(expected.calls[:-1])


class Capsules:
    """An exporter returning what `result` makes of a fresh export of a one-row timetable."""

    def __init__(self, result, exported):
        self.result, self.exported = result, exported

    def __arrow_c_array__(self, requested_schema=None):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result(self.exported)


ARG = "argument 'events_rb': "


def named(schema, array):
    def make(e):
        e.names = (schema, array)
        return e.__arrow_c_array__()
    return make


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("result, error, message", [
    (named(b"arrow_array_stream", b"arrow_array"), ValueError,
     "Expected name 'arrow_schema' in PyCapsule, instead got 'arrow_array_stream'"),
    (named(b"arrow_schema", None), ValueError, "Expected name 'arrow_array' in PyCapsule, instead got 'None'"),
    (named(b"arrow_array", b"arrow_schema"), ValueError,
     "Expected name 'arrow_schema' in PyCapsule, instead got 'arrow_array'"),
    (lambda e: (e.__arrow_c_array__()[0], pa.array([1.0]).__arrow_c_array__()[1]), ValueError,
     "Arrow error: ArrowArray struct has 0 children, expected 5"),
    (lambda e: pa.array([1.0]).__arrow_c_array__(), TypeError, f"{ARG}Expected Struct type from __arrow_c_array."),
    (lambda e: e.__arrow_c_array__()[:1], TypeError, f"{ARG}Expected __arrow_c_array__ to return a tuple of two"),
    (lambda e: e.__arrow_c_array__() * 2, TypeError, f"{ARG}Expected __arrow_c_array__ to return a tuple of two"),
    (lambda e: list(e.__arrow_c_array__()), TypeError, f"{ARG}Expected __arrow_c_array__ to return a tuple."),
    (lambda e: (e.__arrow_c_array__()[0], b"x"), TypeError,
     "argument 'events_rb': 'bytes' object cannot be converted to 'PyCapsule'"),
    (KeyError("exporter failed"), KeyError, "'exporter failed'"),
    (TypeError("exporter failed"), TypeError, "argument 'events_rb': exporter failed"),
])
def test_misused_capsule_protocol_is_refused_clearly(exported, function, result, error, message):
    state = Recorder()
    with pytest.raises(error) as info:
        call(function, Capsules(result, exported(ROWS[:1])), state)
    assert type(info.value) is error and str(info.value).startswith(message)
    assert state.calls == []


def test_a_non_callable_exporter_attribute_is_a_type_error():
    class Exporter:
        __arrow_c_array__ = 5

    with pytest.raises(TypeError, match="^argument 'events_rb': 'int' object is not callable"):
        _kestro.fixed_price(Exporter(), None, dataset(), {})


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("events", [pa.record_batch({}), pa.StructArray.from_arrays([], fields=[])],
                         ids=["batch", "struct"])
def test_a_batch_without_columns_reports_the_missing_time(function, events):
    with pytest.raises(RuntimeError) as info:
        call(function, events)
    assert str(info.value) == "Error while parsing Timetable, caused by \nColumn 'time' not found"


def test_of_duplicate_column_names_the_first_is_read():
    base = timetable(ROWS)
    names = base.schema.names
    good_first = pa.RecordBatch.from_arrays([*base.columns, pa.array([9.0] * 3)], names=[*names, "quantity"])
    assert call("fixed_price", good_first) == call("fixed_price", base)
    bad_first = pa.RecordBatch.from_arrays([pa.array([9] * 3), *base.columns], names=["quantity", *base.schema.names])
    with pytest.raises(RuntimeError, match="Couldn't convert column 'quantity', likely incorrect type$"):
        call("fixed_price", bad_first)


def nested_dictionary(values):
    return pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()), values)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("column, array, message", [
    ("time", pa.array([{"ms": 1}]), "Couldn't convert column 'time', likely incorrect type"),
    ("time", pa.array([[1]], pa.list_(pa.timestamp("ms"))), "Couldn't convert column 'time', likely incorrect type"),
    ("quantity", pa.array([[1.0]]), "Couldn't convert column 'quantity', likely incorrect type"),
    ("quantity", pa.array([{"q": 1.0}]), "Couldn't convert column 'quantity', likely incorrect type"),
    ("track", pa.array([[0]], pa.list_(pa.int64())), "Couldn't convert column 'track', likely incorrect type"),
    ("track", nested_dictionary(pa.array([["t0"]])), "Error in tracks column, expected strings"),
    ("op", nested_dictionary(pa.array([{"s": "+"}])), "Error in ops column, expected strings"),
    ("op", nested_dictionary(pa.array(["+"], pa.large_utf8())), "Error in ops column, expected strings"),
    ("unit", nested_dictionary(pa.array([[(1, 2)]], pa.map_(pa.int64(), pa.int64()))),
     "Error in units column, expected strings"),
    ("unit", dict_column(["USD"], [0], key_type=pa.uint64()), "Couldn't convert column 'unit', likely incorrect type"),
])
def test_nested_types_in_the_five_columns_are_refused(function, column, array, message):
    with pytest.raises(RuntimeError) as info:
        call(function, timetable(ROWS[:1], **{column: array}))
    assert str(info.value) == "Error while parsing Timetable, caused by \n" + message


def _misaligned(array: pa.Array) -> pa.Array:
    """The same values in buffers that start one byte past an aligned address."""
    buffers = []
    for buffer in array.buffers():
        if buffer is None:
            buffers.append(None)
            continue
        shifted = pa.py_buffer(b"\0" + buffer.to_pybytes())
        buffers.append(shifted.slice(1))
    return pa.Array.from_buffers(array.type, len(array), buffers, offset=array.offset)


def test_misaligned_buffers_as_an_unpickled_batch_has_them_price_the_same():
    import kestro

    market = kestro.Market.flat(rate=0.05, spots={"STK": 100.0})
    batch = kestro.american_put(100, 0.25).events
    columns = []
    for column in batch.columns:
        if pa.types.is_dictionary(column.type):
            columns.append(pa.DictionaryArray.from_arrays(_misaligned(column.indices), column.dictionary))
        else:
            columns.append(_misaligned(column))
    shifted = pa.RecordBatch.from_arrays(columns, names=batch.schema.names)
    assert shifted.column("quantity").buffers()[1].address % 8 != 0
    assert kestro.price(shifted, market, "fixed") == kestro.price(batch, market, "fixed")
    assert kestro.price(shifted, market, "black_scholes", vol=0.2) == kestro.price(batch, market, "black_scholes", vol=0.2)
