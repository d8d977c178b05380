"""Ctrl-C stops every long computation at once; a KeyboardInterrupt or SystemExit raised by the
caller's code reaches the caller as itself; a caller's exception at the root of a failure is the
RuntimeError's __cause__; phrases nested deeper than a thread's stack holds are refused, not a crash."""

import gc
import os
import re
import signal
import subprocess
import sys
import textwrap
import time
from types import SimpleNamespace

import _kestro
import numpy as np
import pyarrow as pa
import pytest

from conftest import dataset, dict_column, timetable

P = 1_767_225_600_000  # PRICING_TS of conftest.dataset()
DAY = 86_400_000
YEAR = 31_536_000_000
TESTS = os.path.dirname(os.path.abspath(__file__))
EVAL = "Error during model evaluation, caused by\n"


def phrase(fn, inp=()):
    return {"type": "phrase", "fn": fn, "inp": list(inp)}


def phrase_over(names):
    """A phrase entry with `names` as they are, not copied into a list."""
    return {"type": "phrase", "fn": list, "inp": names}


def snapper(fn, inp=(), out=()):
    return {"type": "snapper", "fn": fn, "inp": list(inp), "out": list(out)}


def nothing(*args):
    return None


# Long calls. Each would run for a minute or more. Where the work is the engine's alone, the
# expression functions and py_state methods are C functions (`list`, `dict.get`), so no Python
# code runs that could notice a signal by itself.

LONG_CALLS = {
    # 40,001 nodes and 100,000 steps.
    "a grid of many nodes and steps": """
        events = timetable([(P + YEAR, "t0", "+", 1.0, "EQ")])
        data = dataset(FD={"N_X": 20_000, "MAX_X": 3.0, "TIMESTEP": 1e-5})
        call = lambda: _kestro.fd_blackscholes_price(events, None, data, {})
    """,
    # 200,000 rows on 100,000 paths, each row a snapper over an asset's path array.
    "a Monte Carlo walk of many rows": """
        n = 200_000
        units = np.zeros(n, np.int64)
        units[-1] = 1
        events = pa.record_batch({
            "time": pa.array(np.full(n, P + DAY), pa.timestamp("ms")),
            "track": dict_column(["t0"], np.zeros(n, np.int64)),
            "op": dict_column(["+"], np.zeros(n, np.int64)),
            "quantity": pa.array(np.ones(n)),
            "unit": dict_column(["s", "a"], units),
        })
        state = SimpleNamespace(advance={}.get, get_value={"EQ": np.ones(100_000)}.get)
        expressions = {"s": {"type": "snapper", "fn": list, "inp": ["EQ"], "out": ["a"]}}
        data = dataset(MC={"PATHS": 100_000, "SEED": 1})
        call = lambda: _kestro.mc_price(events, state, data, expressions)
    """,
    # Each phrase takes the one below it twice: 2**40 evaluations.
    "a phrase graph of exponential cost": """
        expressions = {f"p{k}": {"type": "phrase", "fn": list, "inp": [f"p{k - 1}"] * 2 if k else ["EQ"]}
                       for k in range(41)}
        events = timetable([(P + DAY, "t0", "+", 1.0, "p40")])
        call = lambda: _kestro.fixed_price(events, None, dataset(), expressions)
    """,
    # 20,000 rows that each book track t1's 1,000,000 path values into t0.
    "a booking of many rows": """
        n = 20_001
        keys = np.zeros(n, np.int64)
        keys[-1] = 1
        events = pa.record_batch({
            "time": pa.array(np.full(n, P + DAY), pa.timestamp("ms")),
            "track": dict_column(["t0", "t1"], keys),
            "op": dict_column(["+"], np.zeros(n, np.int64)),
            "quantity": pa.array(np.ones(n)),
            "unit": dict_column(["t1", "USD"], keys),
        })
        state = SimpleNamespace(advance={}.get, get_value={}.get)
        data = dataset(MC={"PATHS": 1_000_000, "SEED": 1})
        call = lambda: _kestro.mc_price(events, state, data, {})
    """,
    "a set_stat that sleeps": """
        events = timetable([(P + DAY, "t0", "+", 1.0, "USD")])
        state = SimpleNamespace(set_stat=lambda name, value: time.sleep(600))
        call = lambda: _kestro.fixed_price(events, state, dataset(FIXED={"FLAGS": 1}), {})
    """,
    "a phrase that sleeps": """
        events = timetable([(P + DAY, "t0", "+", 1.0, "p")])
        expressions = {"p": {"type": "phrase", "fn": lambda arrays: time.sleep(600), "inp": []}}
        call = lambda: _kestro.fixed_price(events, None, dataset(), expressions)
    """,
}

CHILD = """
import signal, sys, time
from types import SimpleNamespace
sys.path.insert(0, {tests!r})
import _kestro
import numpy as np
import pyarrow as pa
from conftest import dataset, dict_column, timetable
P, DAY, YEAR = {P}, {DAY}, {YEAR}
signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
{setup}
print("ready", flush=True)
try:
    call()
except KeyboardInterrupt:
    print("KeyboardInterrupt", time.monotonic(), flush=True)
    raise
print("finished", flush=True)
"""


@pytest.mark.parametrize("setup", LONG_CALLS.values(), ids=LONG_CALLS)
def test_ctrl_c_stops_a_long_call_within_half_a_second(setup):
    code = CHILD.format(tests=TESTS, P=P, DAY=DAY, YEAR=YEAR, setup=textwrap.dedent(setup))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(0.5)
        sent = time.monotonic()  # CLOCK_MONOTONIC: the same clock in both processes
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert out.startswith("KeyboardInterrupt "), (out, err)
    assert float(out.split()[1]) - sent < 0.5
    # Uncaught, it ends the process as Ctrl-C does.
    assert child.returncode == -signal.SIGINT and err.rstrip().endswith("KeyboardInterrupt"), err


LONG_IN_PROCESS = {
    "grid": lambda: _kestro.fd_blackscholes_price(timetable([(P + YEAR, "t0", "+", 1.0, "EQ")]), None,
                                                  dataset(FD={"N_X": 20_000, "MAX_X": 3.0, "TIMESTEP": 1e-5}), {}),
    "phrase graph": lambda: _kestro.fixed_price(
        timetable([(P + DAY, "t0", "+", 1.0, "p40")]), None, dataset(),
        {f"p{k}": phrase(list, [f"p{k - 1}"] * 2 if k else ["EQ"]) for k in range(41)}),
    "walk": lambda: _kestro.fixed_price(timetable([(P + DAY, "t0", "+", 1.0, "s")] * 100_000), None, dataset(),
                                        {"s": snapper(list, ["p20"], ["a"]),
                                         **{f"p{k}": phrase(list, [f"p{k - 1}"] if k else ["EQ"]) for k in range(21)}}),
}


@pytest.mark.parametrize("call", LONG_IN_PROCESS.values(), ids=LONG_IN_PROCESS)
def test_what_a_signal_handler_raises_stops_the_engine_as_itself(call):
    error = LookupError("raised by the handler")

    def handler(signum, frame):
        raise error

    previous = signal.signal(signal.SIGALRM, handler)
    gc.disable()  # a handler that runs inside a finalizer raises where nobody can catch it
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(LookupError) as info:
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()
    assert info.value is error


# The caller's own KeyboardInterrupt and SystemExit


class Hooks:
    """An object whose float() and index() run the caller's `code`."""

    def __init__(self, code):
        self.code = code

    def __float__(self):
        self.code()

    def __index__(self):
        self.code()


class Names(list):
    """A list of input names whose iteration runs the caller's `code`."""

    def __init__(self, code):
        super().__init__(["EQ"])
        self.code = code

    def __iter__(self):
        self.code()


class Exporter:
    def __init__(self, code):
        self.code = code

    def __arrow_c_array__(self, requested_schema=None):
        self.code()


ROW = timetable([(P + DAY, "t0", "+", 1.0, "EQ")])
PHRASE_ROW = timetable([(P + DAY, "t0", "+", 1.0, "p")])
SNAPPER_ROW = timetable([(P + DAY, "t0", "+", 1.0, "s"), (P + DAY, "t0", "+", 1.0, "a")])
NAMED_OP_ROW = timetable([(P + DAY, "t0", "w", 1.0, "USD")])
MC, FIXED = dataset(MC={"PATHS": 4, "SEED": 1}), dataset(FIXED={"FLAGS": 1})


def mc_state(**methods):
    return SimpleNamespace(**{"advance": nothing, "get_value": nothing, "set_stat": nothing, **methods})


# Each runs a call in which the caller's code runs `code`.
PLACES = {
    "advance": lambda code: _kestro.mc_price(ROW, mc_state(advance=lambda x: code()), MC, {}),
    "what advance returns, as a float": lambda code: _kestro.mc_price(ROW, mc_state(advance=lambda x: Hooks(code)),
                                                                       MC, {}),
    "get_value of mc_price": lambda code: _kestro.mc_price(ROW, mc_state(get_value=lambda name: code()), MC, {}),
    "get_value of backtest_py": lambda code: _kestro.backtest_py(ROW, mc_state(get_value=lambda name, t: code()), {},
                                                                 "USD"),
    "what get_value of backtest_py returns, as a float": lambda code: _kestro.backtest_py(
        ROW, mc_state(get_value=lambda name, t: Hooks(code)), {}, "USD"),
    "a phrase": lambda code: _kestro.fixed_price(PHRASE_ROW, None, FIXED, {"p": phrase(lambda a: code())}),
    "a phrase's input phrase": lambda code: _kestro.fixed_price(
        PHRASE_ROW, None, FIXED, {"p": phrase(lambda a: a, ["q"]), "q": phrase(lambda a: code())}),
    "a phrase as a named op": lambda code: _kestro.fixed_price(NAMED_OP_ROW, None, FIXED,
                                                               {"w": phrase(lambda a: code())}),
    "what a phrase returns, as a float": lambda code: _kestro.fixed_price(PHRASE_ROW, None, FIXED,
                                                                          {"p": phrase(lambda a: [Hooks(code)])}),
    "a snapper": lambda code: _kestro.mc_price(SNAPPER_ROW, mc_state(), MC,
                                               {"s": snapper(lambda a: code(), [], ["a"])}),
    "set_stat of a pricing": lambda code: _kestro.fixed_price(ROW, mc_state(set_stat=lambda n, v: code()), FIXED, {}),
    "set_stat of a grid": lambda code: _kestro.fd_hullwhite_price(ROW, mc_state(set_stat=lambda n, v: code()),
                                                                  dataset(FD={"N_X": 5, "MAX_X": 1.0,
                                                                              "TIMESTEP": 0.1, "FLAGS": 1}), {}),
    "set_stat of a backtest": lambda code: _kestro.backtest_csv(ROW, mc_state(set_stat=lambda n, v: code()), "h.csv",
                                                                "USD", {}),
    "a dataset value, as an integer": lambda code: _kestro.fixed_price(ROW, None, dataset(FIXED={"FLAGS": Hooks(code)}),
                                                                        {}),
    "an expression's input names": lambda code: _kestro.fixed_price(PHRASE_ROW, None, FIXED,
                                                                    {"p": phrase_over(Names(code))}),
    "the timetable's exporter": lambda code: _kestro.fixed_price(Exporter(code), None, FIXED, {}),
}


@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("place", PLACES)
def test_interrupts_raised_by_the_callers_code_reach_the_caller_as_themselves(place, kind):
    error = kind()

    def stop():
        raise error

    with pytest.raises(kind) as info:
        PLACES[place](stop)
    assert info.value is error
    assert info.traceback[-1].name == "stop"  # its own traceback, down to where it was raised


class Recording:
    def __init__(self, fail_with=None, advance=None):
        self.sent, self.fail_with, self.advance = [], fail_with, advance or nothing

    def get_value(self, *args):
        return None

    def set_stat(self, name, value):
        self.sent.append(name)
        if self.fail_with is not None:
            raise self.fail_with


CHOICE_ROWS = timetable([(P + DAY, "t0", ">", 1.0, "EQ"), (P + DAY, "t0", "+", 1.0, "USD")])


@pytest.mark.parametrize("error, sent", [
    (KeyboardInterrupt(), ["PV_VEC"]),
    (SystemExit(3), ["PV_VEC"]),
    (ValueError("discarded"), ["PV_VEC", "CHOICES", "CASHFLOW"]),  # other failures are discarded
])
def test_after_set_stat_is_interrupted_nothing_more_is_sent(error, sent):
    state = Recording(fail_with=error)
    data = dataset(MC={"PATHS": 4, "SEED": 1, "FLAGS": 11})
    if isinstance(error, ValueError):
        assert _kestro.mc_price(CHOICE_ROWS, state, data, {}) > 0
    else:
        with pytest.raises(type(error)) as info:
            _kestro.mc_price(CHOICE_ROWS, state, data, {})
        assert info.value is error
    assert state.sent == sent


def test_an_interrupted_walk_sends_no_statistics():
    def advance(x):
        raise KeyboardInterrupt

    state = Recording(advance=advance)
    with pytest.raises(KeyboardInterrupt):
        _kestro.mc_price(CHOICE_ROWS, state, dataset(MC={"PATHS": 4, "SEED": 1, "FLAGS": 11}), {})
    assert state.sent == []


# A caller's exception at the root of a failure


class Failure(Exception):
    pass


DESCRIPTION = "#0: track: Track(0), time: Single(2026-01-02T00:00:00Z), op: +, qty: 1, unit: "

ROOTED = {
    "a raising phrase": (
        lambda code: _kestro.fixed_price(PHRASE_ROW, None, FIXED, {"p": phrase(lambda a: code())}),
        EVAL + "Error at event:\n  " + DESCRIPTION + "Phrase(p), caused by \n"
        "Error in Phrase Evaluation, caused by \nFailure: root"),
    "a raising phrase under a phrase": (
        lambda code: _kestro.fixed_price(PHRASE_ROW, None, FIXED,
                                         {"p": phrase(lambda a: a, ["q"]), "q": phrase(lambda a: code())}),
        EVAL + "Error at event:\n  " + DESCRIPTION + "Phrase(p), caused by \n"
        "Error in Phrase Evaluation, caused by \nFailure: root"),
    "a raising advance": (
        lambda code: _kestro.mc_price(ROW, mc_state(advance=lambda x: code()), MC, {}),
        EVAL + "Error in Python method 'advance', caused by \nFailure: root"),
    "a raising get_value": (
        lambda code: _kestro.mc_price(ROW, mc_state(get_value=lambda name: code()), MC, {}),
        EVAL + "Error at event:\n  " + DESCRIPTION + "Asset(EQ), caused by \n"
        "Error in Python method 'get_value', caused by \nFailure: root"),
    "a historical value whose float() raises": (
        lambda code: _kestro.backtest_py(ROW, mc_state(get_value=lambda name, t: Hooks(code)), {}, "USD"),
        EVAL + "Error at event:\n  " + DESCRIPTION + "Asset(EQ), caused by \n"
        "Error in Python method 'get_value', caused by \nFailure: root"),
    "a dataset value whose index() raises": (
        lambda code: _kestro.fixed_price(ROW, None, dataset(FIXED={"FLAGS": Hooks(code)}), {}),
        "Error while parsing Dataset, caused by\nError in value of FLAGS, likely incorrect type. caused by \n"
        "Failure: root"),
    "input names whose iteration raises": (
        lambda code: _kestro.fixed_price(PHRASE_ROW, None, FIXED, {"p": phrase_over(Names(code))}),
        "Error while parsing Timetable, caused by \nError while parsing expression 'p', caused by \n"
        "Error in value of inp, likely incorrect type. caused by \nFailure: root"),
}


@pytest.mark.parametrize("call, text", ROOTED.values(), ids=ROOTED)
def test_the_callers_exception_is_the_cause_of_the_runtime_error_whose_text_it_ends(call, text):
    error = Failure("root")

    def fail():
        raise error

    with pytest.raises(RuntimeError) as info:
        call(fail)
    assert info.value.args == (text,)
    assert info.value.__cause__ is error
    assert error.__traceback__.tb_next is not None  # still reaches the frame that raised it


@pytest.mark.parametrize("call", [
    lambda: _kestro.fixed_price(timetable([(P + DAY, "t1", "+", 1.0, "USD")], tracks=["t0", "t1"]), None, FIXED, {}),
    lambda: _kestro.fixed_price(ROW.drop_columns(["time"]), None, FIXED, {}),
    lambda: _kestro.fixed_price(ROW, None, {k: v for k, v in FIXED.items() if k != "BASE"}, {}),
    lambda: _kestro.fixed_price(PHRASE_ROW, None, FIXED, {"p": phrase(lambda a: (1.0,))}),  # not a list
])
def test_failures_of_the_engines_own_have_no_cause(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value.__cause__ is None


# Phrases nested deep, on small stacks

STACK_CHILD = """
import sys, threading
sys.path.insert(0, {tests!r})
import _kestro
from conftest import dataset, timetable
depth, stack = int(sys.argv[1]), int(sys.argv[2])
expressions = {{f"p{{k}}": {{"type": "phrase", "fn": list, "inp": [f"p{{k - 1}}" if k else "USD"]}}
               for k in range(depth)}}
events = timetable([({P} + {DAY}, "t0", "+", 1.0, f"p{{depth - 1}}")])
plain = _kestro.fixed_price(timetable([({P} + {DAY}, "t0", "+", 1.0, "USD")]), None, dataset(), {{}})
out = []

def run():
    try:
        out.append(_kestro.fixed_price(events, None, dataset(), expressions) == plain)
    except RuntimeError as error:
        out.append(error.args[0].rsplit("\\n", 1)[-1])

threading.stack_size(stack)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(out[0])
"""

DEPTH_REFUSED = r"Phrases nest more than \d+ deep through their inputs, more than this thread's stack holds"


@pytest.mark.parametrize("depth, stack, outcome", [
    (999, 256 * 1024, f"True|{DEPTH_REFUSED}"),
    (999, 512 * 1024, f"True|{DEPTH_REFUSED}"),
    (999, 16 * 2**20, "True"),
    (1001, 16 * 2**20, "Phrases nest more than 1000 deep through their inputs"),
])
def test_phrases_nested_deeper_than_a_threads_stack_holds_are_refused_not_a_crash(depth, stack, outcome):
    code = STACK_CHILD.format(tests=TESTS, P=P, DAY=DAY)
    result = subprocess.run([sys.executable, "-c", code, str(depth), str(stack)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert re.fullmatch(outcome, result.stdout.strip()), result.stdout
