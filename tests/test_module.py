"""The module's surface: functions, docstrings, argument binding and conversion."""

import contextlib
import inspect
import re
import subprocess
import sys
import textwrap

import _kestro
import pyarrow as pa
import pytest

from conftest import Recorder, dataset, timetable

PRICING = ["mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price"]
PARAMS = {
    **{name: ["events_rb", "py_state", "dataset", "expressions"] for name in PRICING},
    "backtest_csv": ["events_rb", "py_state", "_filename", "base", "expressions"],
    "backtest_py": ["events_rb", "py_state", "expressions", "base"],
}
MC_SENTENCE = "Takes the timetable as a pyarrow record batch and calculates price using monte carlo simulation."
FD_SENTENCE = "Takes the timetable as a pyarrow record batch and calculates price using finite difference grid."


def good_args(name):
    """Valid arguments for every parameter of `name`, by parameter name."""
    values = {"events_rb": timetable(), "py_state": Recorder(), "dataset": dataset(PRICING_TS=0), "expressions": {},
              "_filename": "f.csv", "base": "USD"}
    return {p: values[p] for p in PARAMS[name]}


@contextlib.contextmanager
def not_built(name):
    """The call gets through binding and the timetable: it returns, or stops at a stage not built yet."""
    try:
        yield
    except RuntimeError as error:
        assert re.fullmatch(f"{name}: .* is not built yet", str(error)), error


def test_module_holds_six_functions_in_registration_order():
    assert _kestro.__doc__ == "basic"
    assert [n for n in vars(_kestro) if not n.startswith("__")] == list(PARAMS)


@pytest.mark.parametrize("name", PARAMS)
def test_docstring_opens_with_text_signature_then_two_sentences(name):
    func = getattr(_kestro, name)
    signature = f"{name}({', '.join(PARAMS[name])})"
    assert func.__text_signature__ == f"({', '.join(PARAMS[name])})"
    assert list(inspect.signature(func).parameters) == PARAMS[name]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in inspect.signature(func).parameters.values())
    first = MC_SENTENCE if name in ("mc_price", "fixed_price") else FD_SENTENCE
    assert func.__doc__.startswith(first + " ")
    assert ("`calculate` function of the `mc` module" if first == MC_SENTENCE
            else "`calculate` function of the `fd` module") in func.__doc__
    # The interpreter strips "sig\n--\n\n"; check it was there.
    assert func.__doc__.count(".") == 2 and signature not in func.__doc__


@pytest.mark.parametrize("name", PARAMS)
def test_keyword_positional_and_mixed_calls_bind_alike(name):
    func, args = getattr(_kestro, name), good_args(name)
    with not_built(name):
        func(*args.values())
    with not_built(name):
        func(**args)
    with not_built(name):
        first, *rest = args
        func(args[first], **{k: args[k] for k in rest})


@pytest.mark.parametrize(
    "name, call, message",
    [
        ("mc_price", lambda f, a: f(*a.values(), 1), "mc_price() takes 4 positional arguments but 5 were given"),
        ("backtest_csv", lambda f, a: f(*a.values(), 1, 2),
         "backtest_csv() takes 5 positional arguments but 7 were given"),
        ("fixed_price", lambda f, a: f(**a, extra=1), "fixed_price() got an unexpected keyword argument 'extra'"),
        ("fd_hullwhite_price", lambda f, a: f(a["events_rb"], events_rb=a["events_rb"]),
         "fd_hullwhite_price() got multiple values for argument 'events_rb'"),
        ("mc_price", lambda f, a: f(a["events_rb"], a["py_state"], a["dataset"]),
         "mc_price() missing 1 required positional argument: 'expressions'"),
        ("mc_price", lambda f, a: f(a["events_rb"], a["py_state"]),
         "mc_price() missing 2 required positional arguments: 'dataset' and 'expressions'"),
        ("fd_blackscholes_price", lambda f, a: f(a["events_rb"]),
         "fd_blackscholes_price() missing 3 required positional arguments: 'py_state', 'dataset', and 'expressions'"),
        ("backtest_py", lambda f, a: f(),
         "backtest_py() missing 4 required positional arguments: 'events_rb', 'py_state', 'expressions', and 'base'"),
        ("backtest_csv", lambda f, a: f(a["events_rb"], py_state=None, base="USD"),
         "backtest_csv() missing 2 required positional arguments: '_filename' and 'expressions'"),
    ],
)
def test_binding_failures_raise_the_interpreters_type_errors(name, call, message):
    with pytest.raises(TypeError) as info:
        call(getattr(_kestro, name), good_args(name))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "name, param, value, message",
    [
        ("mc_price", "dataset", [], "argument 'dataset': 'list' object cannot be converted to 'PyDict'"),
        ("fixed_price", "expressions", None, "argument 'expressions': 'NoneType' object cannot be converted to 'PyDict'"),
        ("backtest_csv", "_filename", 3, "argument '_filename': 'int' object cannot be converted to 'PyString'"),
        ("backtest_csv", "base", b"USD", "argument 'base': 'bytes' object cannot be converted to 'PyString'"),
        ("backtest_py", "expressions", (), "argument 'expressions': 'tuple' object cannot be converted to 'PyDict'"),
        ("mc_price", "events_rb", 5,
         "argument 'events_rb': Expected instance of pyarrow.lib.RecordBatch, got builtins.int"),
        ("mc_price", "events_rb", pa.table({"a": [1]}),
         "argument 'events_rb': Expected instance of pyarrow.lib.RecordBatch, got pyarrow.lib.Table"),
    ],
)
def test_conversion_failures_name_the_argument(name, param, value, message):
    args = good_args(name) | {param: value}
    with pytest.raises(TypeError) as info:
        getattr(_kestro, name)(**args)
    assert str(info.value) == message


def test_dict_subclasses_and_any_filename_are_accepted():
    class Params(dict):
        pass

    assert isinstance(_kestro.mc_price(timetable(), Recorder(), Params(dataset(PRICING_TS=0)), Params()), float)
    assert _kestro.backtest_csv(timetable(), None, "", "", {}) is None


def test_arguments_convert_in_parameter_order():
    # events_rb is converted before dataset, and dataset before the timetable is read.
    with pytest.raises(TypeError, match="^argument 'events_rb'"):
        _kestro.mc_price(5, None, [], {})
    with pytest.raises(TypeError, match="^argument 'dataset'"):
        _kestro.mc_price(timetable().drop_columns(["time"]), None, [], {})
    # With both dicts, the bad timetable wins over whatever the dataset holds.
    with pytest.raises(RuntimeError, match="^Error while parsing Timetable, caused by \nColumn 'time' not found$"):
        _kestro.mc_price(timetable().drop_columns(["time"]), None, {"BASE": 1}, {})


class Exporter:
    """An object speaking the Arrow PyCapsule protocol with whatever it is told to return."""

    def __init__(self, result):
        self.result = result

    def __arrow_c_array__(self, requested_schema=None):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result() if callable(self.result) else self.result


def test_capsule_exporters_are_imported():
    batch = timetable([(0, "a", "+", 1.0, "USD"), (0, "a", "+", 2.0, "USD")])
    struct = pa.StructArray.from_arrays(batch.columns, names=batch.schema.names)
    for events, price in ((Exporter(batch.__arrow_c_array__), 3.0), (struct, 3.0), (batch.slice(1), 2.0)):
        assert _kestro.fixed_price(events, None, dataset(PRICING_TS=0), {}) == price


@pytest.mark.parametrize(
    "result, error, message",
    [
        ([1, 2], TypeError, "argument 'events_rb': Expected __arrow_c_array__ to return a tuple."),
        (lambda: pa.array([1, 2]).__arrow_c_array__(), TypeError,
         "argument 'events_rb': Expected Struct type from __arrow_c_array."),
        ((1, 2, 3), TypeError, "argument 'events_rb': Expected __arrow_c_array__ to return a tuple of two"),
        ((1, 2), TypeError, "argument 'events_rb': 'int' object cannot be converted to 'PyCapsule'"),
        (lambda: tuple(reversed(timetable().__arrow_c_array__())), ValueError,
         "Expected name 'arrow_schema' in PyCapsule, instead got 'arrow_array'"),
        (ValueError("exporter failed"), ValueError, "exporter failed"),
    ],
)
def test_bad_capsule_exports_are_refused_clearly(result, error, message):
    with pytest.raises(error) as info:
        _kestro.mc_price(Exporter(result), None, {}, {})
    assert str(info.value).startswith(message)
    assert type(info.value) is error


def test_reused_capsules_are_refused_not_read():
    capsules = timetable().__arrow_c_array__()
    with not_built("mc_price"):
        _kestro.mc_price(Exporter(capsules), Recorder(), dataset(PRICING_TS=0), {})
    with pytest.raises(ValueError, match="released"):
        _kestro.mc_price(Exporter(capsules), None, {}, {})


def test_type_error_from_an_exporter_is_renamed_and_keeps_its_cause():
    cause = KeyError("root")
    error = TypeError("inner")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        _kestro.mc_price(Exporter(error), None, {}, {})
    assert str(info.value) == "argument 'events_rb': inner"
    assert info.value.__cause__ is cause


def test_struct_with_top_level_nulls_is_refused():
    batch = timetable([(0, "a", "+", 1.0, "USD"), (1, "a", "+", 1.0, "USD")])
    struct = pa.StructArray.from_arrays(batch.columns, names=batch.schema.names, mask=pa.array([False, True]))
    with pytest.raises(ValueError, match="top-level nulls"):
        _kestro.mc_price(struct, None, {}, {})


def test_failed_calls_leave_py_state_untouched():
    state = Recorder()
    for call in (lambda: _kestro.mc_price(timetable().drop_columns(["op"]), state, {}, {}),
                 lambda: _kestro.backtest_py(timetable(), state, {}, "EUR"),  # get_value answers None
                 lambda: _kestro.fixed_price(timetable(), state, [], {})):
        with pytest.raises((RuntimeError, TypeError)):
            call()
    assert state.calls == []


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("main_first", [True, False])
def test_import_from_a_sub_interpreter_is_refused(main_first):
    result = run_python(f"""
        import _xxsubinterpreters as interpreters
        if {main_first}:
            import _kestro
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _kestro")
        except interpreters.RunFailedError as error:
            print("refused:", error)
        else:
            print("imported")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused:"), result.stdout
    assert "ImportError" in result.stdout and "_kestro cannot be imported in a sub-interpreter" in result.stdout


def test_reimport_gives_the_one_module_object():
    result = run_python("""
        import importlib, sys
        import _kestro
        first = _kestro
        del sys.modules["_kestro"]
        print(importlib.import_module("_kestro") is first)
    """)
    assert result.stdout.strip() == "True", result.stderr
