"""Error texts, number rendering, and the calls on the caller's state object."""

import decimal
import math
import sys

import _kestro
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import dataset, timetable

OUT_OF_RANGE = ("Error: Interpolation out of range at time 2.5.\n"
                " Perhaps the time range in forwards/discount data is too short.")
NOT_FOUND = "Asset 'USD' not found in snaps, expressions, or in dataset[ASSETS]"

EXPECTED_RENDERINGS = {
    "SpecError.UnknownOp": "Unknown Op '++'",
    "SpecError.Message": "Missing Track Value",
    "Curve.Builder": "BuilderError Values in the x axis need to be strictly monotonic rising",
    "Curve.RateFailure": f"Error in 'EUR' rate from time 0.1 to 2, caused by \n'{OUT_OF_RANGE}'",
    "Curve.ValueFailure": f"Error in 'discount factor' value at 0.0000001, caused by \n'{NOT_FOUND}'",
    "Curve.OutOfRange": OUT_OF_RANGE,
    "Curve.DivideByZero": "Error: Divide by zero",
    "Curve.AssetNotFound": NOT_FOUND,
    "Ledger.Op": "Error in Op, caused by \nUnknown Op 'x'",
    "Ledger.TrackNotFound": "Track 7 not found",
    "Phrase": "Error in Phrase Evaluation, caused by \nValueError: bad value",
    "PythonCall.Exception": "ValueError: bad value",
    "PythonCall.WrongValue": "Error in found value, likely incorrect type: 'int' object cannot be converted to 'PyList'",
    "PythonCall.Method": "Error in Python method 'advance', caused by \nKeyError: 'k'",
    "PythonCall.Execution": "Error in Python execution:\nExpected float or array, received <class 'str'>",
    "Input.Python": "ValueError: bad value",
    "Input.Asset": f"Error while parsing Asset, caused by \n{OUT_OF_RANGE}",
    "Input.Expression": "Error while parsing expression 'E', caused by \nInvalid value 'other' for key 'type'",
    "Input.InvalidValue": "Invalid value 'other' for key 'type'",
    "Input.MissingKey": "Py Dictionary is missing key 'BASE'",
    "Input.WrongType": ("Error in value of N_X, likely incorrect type. caused by \n"
                        "TypeError: 'float' object cannot be interpreted as an integer"),
    "Input.Message": "Invalid bits set in FLAG",
    "Timetable.Input": "Error while parsing Timetable, caused by \nPy Dictionary is missing key 'type'",
    "Timetable.Content": "Error while parsing Timetable, caused by \nColumn 'time' not found",
    "Evaluation.Curve": OUT_OF_RANGE,
    "Evaluation.Ledger": "Track 3 not found",
    "Evaluation.Phrase": "Error in Phrase Evaluation, caused by \nboom",
    "Evaluation.SpecError": "No track specified at event#4",
    "Evaluation.AtEvent": "Error at event:\n  #0: track: Track(0), caused by \nmissing time",
    "Evaluation.FeatureNotImplemented": "Feature Not Implemented: `Snap in FD: s`",
    "Evaluation.EventSpecs": "Error in Event Specs: Unknown Unit",
    "Evaluation.Message": "Empty PV Vector",
    "Evaluation.ArrowCreation": "Error Creating Arrow for 'cashflows', caused by \nInvalid: x",
}


@pytest.mark.parametrize("variant", EXPECTED_RENDERINGS)
def test_every_error_variant_renders_its_exact_text(internals, variant):
    assert internals.render_samples()[variant] == EXPECTED_RENDERINGS[variant]


def test_every_variant_has_a_rendering_sample(internals):
    assert set(internals.render_samples()) == set(EXPECTED_RENDERINGS)


@pytest.mark.parametrize(
    "value, text",
    [
        (2.0, "2"), (1.0, "1"), (0.1, "0.1"), (1e-7, "0.0000001"), (1.5e-7, "0.00000015"),
        (1e21, "1000000000000000000000"), (-0.0, "-0"), (0.0, "0"), (-2.5, "-2.5"),
        (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), (100.0, "100"),
        (1 / 3, "0.3333333333333333"), (123456789.125, "123456789.125"),
        # From 2^53 up the shortest digits are padded with zeros, not the binary value's full expansion.
        (2.0**53, "9007199254740992"), (2.0**53 + 2, "9007199254740994"), (-(2.0**53) - 2, "-9007199254740994"),
        (1e22, "1" + "0" * 22), (1e23, "1" + "0" * 23), (-1e23, "-1" + "0" * 23),
        (2.0**70, "11805916207174113" + "0" * 5), (1e100, "1" + "0" * 100),
        (sys.float_info.max, "17976931348623157" + "0" * 292), (-sys.float_info.max, "-17976931348623157" + "0" * 292),
        (sys.float_info.min, "0." + "0" * 307 + "22250738585072014"),
        (math.nextafter(sys.float_info.min, 0), "0." + "0" * 307 + "2225073858507201"),
        (5e-324, "0." + "0" * 323 + "5"), (-5e-324, "-0." + "0" * 323 + "5"), (1.5e-300, "0." + "0" * 299 + "15"),
    ],
)
def test_doubles_render_as_shortest_round_trip_decimals(internals, value, text):
    assert internals.format_double(value) == text


def plain_decimal(value):
    """Python's shortest round-trip digits (repr), written out without an exponent."""
    return format(decimal.Decimal(repr(value)).normalize(), "f")


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_doubles_render_as_pythons_shortest_digits_written_out(internals, value):
    assert internals.format_double(value) == plain_decimal(value)


@pytest.mark.parametrize("quantity", [1e100, -1e23, 2.0**53 + 2, sys.float_info.max, 5e-324])
def test_row_descriptions_in_error_messages_show_quantities_in_shortest_digits(quantity):
    with pytest.raises(RuntimeError) as info:
        _kestro.fixed_price(timetable([(1_767_225_600_000, "t0", "+", quantity, "XYZ")]), None, dataset(), {})
    assert f", qty: {plain_decimal(quantity)}, unit: Asset(XYZ), caused by \n" in info.value.args[0]


@pytest.mark.parametrize("value", [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e16, 1e-5, 9007199254740993.0])
def test_rendered_doubles_read_back_exactly_without_exponent(internals, value):
    text = internals.format_double(value)
    assert "e" not in text.lower() and float(text) == value


class Outer:
    class NestedError(Exception):
        pass


class BrokenStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "exc, text",
    [
        (ValueError("bad"), "ValueError: bad"),
        (KeyError("k"), "KeyError: 'k'"),
        (Outer.NestedError("deep"), "Outer.NestedError: deep"),
        (BrokenStr(), "BrokenStr: <exception str() failed>"),
        (ZeroDivisionError(), "ZeroDivisionError: "),
    ],
)
def test_python_exceptions_render_as_qualified_name_and_text(internals, exc, text):
    assert internals.render_python_exception(exc) == text


def test_timetable_errors_reach_python_as_one_runtime_error():
    with pytest.raises(RuntimeError) as info:
        _kestro.mc_price(timetable().drop_columns(["time"]), None, {}, {})
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Error while parsing Timetable, caused by \nColumn 'time' not found",)


class State:
    def __init__(self):
        self.received = []

    def advance(self, *args, **kwargs):
        self.received.append((args, kwargs))
        return 0.5

    def get_value(self, name):
        raise Outer.NestedError(f"no {name}")


def test_state_methods_get_positional_arguments_and_return_their_result(internals):
    state = State()
    assert internals.call_state_method(state, "advance", 0.25) == (True, 0.5)
    assert internals.call_state_method(state, "advance", "EUR", 7) == (True, 0.5)
    assert state.received == [((0.25,), {}), (("EUR", 7), {})]


@pytest.mark.parametrize(
    "state, method, text",
    [
        (State(), "get_value", "Error in Python method 'get_value', caused by \nOuter.NestedError: no EUR"),
        (object(), "get_value",
         "Error in Python method 'get_value', caused by \nAttributeError: 'object' object has no attribute 'get_value'"),
    ],
)
def test_state_method_failures_become_method_errors(internals, state, method, text):
    assert internals.call_state_method(state, method, "EUR") == (False, text)


class StatSink:
    def __init__(self, error=None):
        self.error, self.stats = error, []

    def set_stat(self, name, value):
        self.stats.append((name, value))
        if self.error:
            raise self.error
        return "ignored"


@pytest.mark.parametrize("state", [StatSink(), StatSink(ValueError("refused")), object(), None])
def test_set_stat_failures_are_discarded(internals, state):
    assert internals.send_stat(state, "PV_VEC", [1.0]) is None
    if isinstance(state, StatSink):
        assert state.stats == [("PV_VEC", [1.0])]


@pytest.mark.parametrize(
    "kind, error, text",
    [
        ("check", RuntimeError, "Internal error: check failed: kind->empty() (asked to fail)"),
        ("alloc", MemoryError, ""),
        ("other", RuntimeError, "Internal error: unknown exception"),
    ],
)
def test_broken_invariants_raise_instead_of_ending_the_process(internals, kind, error, text):
    with pytest.raises(error) as info:
        internals.fail_check(kind)
    assert str(info.value) == text
    assert internals.fail_check("") is None
