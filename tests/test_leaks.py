"""Thousands of calls on every success and error path give back every reference and every byte;
arrays handed to Python own their memory; absurd sizes are refused before anything is allocated."""

import gc
import math
import os
import signal
import subprocess
import sys
import textwrap
import time
import tracemalloc

import _kestro
import numpy as np
import pyarrow as pa
import pytest

from conftest import curve, timetable

P = 1_767_225_600_000
YEAR = 31_536_000_000
DAY = 86_400_000
CALLS = 2000
PATHS = 4096
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")  # ASan holds freed memory back: no RSS bound


class Failure(Exception):
    pass


OUT = [np.array([1.5]), 2.0]        # what the expression functions return, every time


def fn(arrays):
    return OUT


def raising_fn(arrays):
    raise Failure("caller's error")  # each a new one: a kept exception would hold its class


class State:
    """py_state whose answers are the same objects at every call."""

    def __init__(self):
        self.factors, self.values, self.history, self.received = np.full(PATHS, 0.999), np.full(PATHS, 100.0), 101.5, 0

    def advance(self, x):
        return self.factors

    def get_value(self, name, t=None):
        return self.values if t is None else self.history

    def set_stat(self, name, value):
        self.received += 1


class RaisingState(State):
    def advance(self, x):
        raise Failure("caller's error")

    def get_value(self, name, t=None):
        raise Failure("caller's error")

    def set_stat(self, name, value):
        raise Failure("caller's error")


class StatRaisingState(State):
    def set_stat(self, name, value):
        raise Failure("caller's error")


class InterruptingState(State):
    def advance(self, x):
        raise KeyboardInterrupt

    def set_stat(self, name, value):
        raise SystemExit(1)


def interrupting_fn(arrays):
    raise KeyboardInterrupt


STATE, RAISING, STAT_RAISING, INTERRUPTING = State(), RaisingState(), StatRaisingState(), InterruptingState()
ROWS = [(P + DAY * i, "t0", op, 1.0, unit) for i, (op, unit) in
        enumerate([("+", "EQ"), ("+", "s"), ("+", "a"), (">", "p"), ("+", "USD"), ("<", "EQ"), ("w", "USD")], start=1)]
EVENTS = timetable(ROWS)
EXPRESSIONS = {"p": {"type": "phrase", "fn": fn, "inp": ["EQ", "a"]},
               "w": {"type": "phrase", "fn": fn, "inp": []},
               "s": {"type": "snapper", "fn": fn, "inp": ["EQ"], "out": ["a"]}}
FD_EVENTS = timetable([(P + DAY * i, "t0", op, 1.0, "EQ") for i, op in enumerate("+>+<", start=1)])
ASSETS = {"USD": curve("ZERO_RATES", [0.0, 1.0], [0.02, 0.02]), "EQ": curve("FORWARDS", [0.0, 1.0], [100.0, 102.0])}
DATASET = {"BASE": "USD", "ASSETS": ASSETS, "PRICING_TS": P, "MC": {"PATHS": PATHS, "SEED": 1, "FLAGS": 11},
           "FIXED": {"FLAGS": 11}, "FD": {"N_X": 50, "MAX_X": 1.0, "TIMESTEP": 0.01, "FLAGS": 11},
           "HW": {"MEANREV": 0.1, "VOL": 0.01}, "BS": {"VOL": 0.2, "ASSET": "EQ"}}
TRACKED = [STATE, RAISING, STAT_RAISING, INTERRUPTING, STATE.factors, STATE.values, STATE.history, fn, raising_fn,
           interrupting_fn, OUT, *OUT, Failure,
           EVENTS, FD_EVENTS, EXPRESSIONS, DATASET, ASSETS, *(a for _, a in ASSETS.values())]


def changed(section, **keys):
    return {**DATASET, section: {**DATASET[section], **keys}}


def expressions(**fns):
    return {name: {**entry, "fn": fns.get(name, entry["fn"])} for name, entry in EXPRESSIONS.items()}


RAISING_EXPRESSIONS, TUPLE_EXPRESSIONS = expressions(p=raising_fn), expressions(s=lambda a: tuple(OUT))
INTERRUPTING_EXPRESSIONS = expressions(p=interrupting_fn)
NONE_EXPRESSIONS, BAD_ENTRY = expressions(w=lambda a: [None]), {**EXPRESSIONS, "q": {"type": "phrase", "inp": "EQ"}}
TRACKED += [RAISING_EXPRESSIONS, TUPLE_EXPRESSIONS, NONE_EXPRESSIONS, BAD_ENTRY, INTERRUPTING_EXPRESSIONS]
NO_BASE = {k: v for k, v in DATASET.items() if k != "BASE"}
FLAT_ARRAY = {**DATASET, "ASSETS": {**ASSETS, "EQ": ("FORWARDS", np.ones(3))}}
NO_TIME, WRONG_TIME = EVENTS.drop_columns(["time"]), timetable(ROWS[::-1])
T1_EVENTS = timetable([(P + DAY, "t1", "+", 1.0, "EQ")], tracks=["t0", "t1"])
TRACKED += [NO_BASE, FLAT_ARRAY, NO_TIME, WRONG_TIME, T1_EVENTS]

# A grid that runs for seconds, stopped a millisecond in by what a SIGALRM handler raises.
LONG_GRID = {**DATASET, "FD": {"N_X": 2000, "MAX_X": 1.0, "TIMESTEP": 1e-6, "FLAGS": 11}}
TRACKED += [LONG_GRID]


def alarm_handler(signum, frame):
    raise KeyboardInterrupt


def alarmed(call):
    previous = signal.signal(signal.SIGALRM, alarm_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        return call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


mc, fixed, hw, bs = _kestro.mc_price, _kestro.fixed_price, _kestro.fd_hullwhite_price, _kestro.fd_blackscholes_price
SCENARIOS = {
    # successes, with every statistic sent
    "mc_price": (lambda: mc(EVENTS, STATE, DATASET, EXPRESSIONS), None),
    "fixed_price": (lambda: fixed(EVENTS, STATE, DATASET, EXPRESSIONS), None),
    "fd_hullwhite_price": (lambda: hw(FD_EVENTS, STATE, DATASET, {}), None),
    "fd_blackscholes_price": (lambda: bs(FD_EVENTS, STATE, DATASET, {}), None),
    "backtest_csv": (lambda: _kestro.backtest_csv(EVENTS, STATE, "h.csv", "USD", EXPRESSIONS), None),
    "backtest_py": (lambda: _kestro.backtest_py(EVENTS, STATE, EXPRESSIONS, "USD"), None),
    "set_stat raises": (lambda: mc(EVENTS, STAT_RAISING, DATASET, EXPRESSIONS), None),
    "set_stat raises, backtest": (lambda: _kestro.backtest_py(EVENTS, STAT_RAISING, EXPRESSIONS, "USD"), None),
    # argument errors
    "dataset not a dict": (lambda: mc(EVENTS, STATE, [DATASET], EXPRESSIONS), TypeError),
    "too many arguments": (lambda: fixed(EVENTS, STATE, DATASET, EXPRESSIONS, STATE), TypeError),
    "unknown keyword": (lambda: fixed(EVENTS, STATE, DATASET, expressions=EXPRESSIONS, extra=STATE), TypeError),
    "events not a batch": (lambda: mc(DATASET, STATE, DATASET, EXPRESSIONS), TypeError),
    "base not a str": (lambda: _kestro.backtest_py(EVENTS, STATE, EXPRESSIONS, STATE), TypeError),
    # timetable and dataset errors
    "missing column": (lambda: mc(NO_TIME, STATE, DATASET, EXPRESSIONS), "Column 'time' not found"),
    "bad expression entry": (lambda: fixed(EVENTS, STATE, DATASET, BAD_ENTRY), "missing key 'fn'"),
    "missing BASE": (lambda: mc(EVENTS, STATE, NO_BASE, EXPRESSIONS), "missing key 'BASE'"),
    "one-dimensional curve": (lambda: hw(FD_EVENTS, STATE, FLAT_ARRAY, {}), "dimensionality mismatch"),
    # evaluation errors
    "advance raises": (lambda: mc(EVENTS, RAISING, DATASET, EXPRESSIONS), "Error in Python method 'advance'"),
    "get_value raises": (lambda: _kestro.backtest_py(EVENTS, RAISING, EXPRESSIONS, "USD"), "'get_value'"),
    "phrase raises": (lambda: fixed(EVENTS, STATE, DATASET, RAISING_EXPRESSIONS), "Failure: caller's error"),
    "snapper returns a tuple": (lambda: mc(EVENTS, STATE, DATASET, TUPLE_EXPRESSIONS), "'tuple' object"),
    "phrase returns [None]": (lambda: _kestro.backtest_csv(EVENTS, STATE, "h", "USD", NONE_EXPRESSIONS), "NoneType"),
    "time goes backward": (lambda: mc(WRONG_TIME, STATE, DATASET, EXPRESSIONS), "earlier than the current time"),
    "expression entry not a dict": (lambda: bs(FD_EVENTS, STATE, DATASET, {"x": 1}), "Error in value of n/a"),
    "track 0 never written": (lambda: bs(T1_EVENTS, STATE, DATASET, {}), "Track 0 not found"),
    # interruptions
    "advance raises KeyboardInterrupt": (lambda: mc(EVENTS, INTERRUPTING, DATASET, EXPRESSIONS), KeyboardInterrupt),
    "phrase raises KeyboardInterrupt": (lambda: fixed(EVENTS, STATE, DATASET, INTERRUPTING_EXPRESSIONS),
                                        KeyboardInterrupt),
    "set_stat raises SystemExit": (lambda: bs(FD_EVENTS, INTERRUPTING, DATASET, {}), SystemExit),
    "a signal stops a grid": (lambda: alarmed(lambda: bs(FD_EVENTS, STATE, LONG_GRID, {})), KeyboardInterrupt),
}


def run(scenario):
    call, expected = SCENARIOS[scenario]
    if expected is None:
        return call()
    with pytest.raises(expected if isinstance(expected, type) else RuntimeError) as info:
        call()
    assert isinstance(expected, type) or expected in str(info.value), info.value


def settle():
    """Collects garbage and empties the interpreter's attribute cache, which keeps a reference to
    each attribute name it saw; with an allocator that does not reuse addresses at once (ASan's)
    those names differ on every call and would look like a leak."""
    gc.collect()
    sys._clear_type_cache()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_repeated_calls_release_every_reference_and_byte(scenario):
    for _ in range(50):
        run(scenario)
    settle()
    references = [sys.getrefcount(o) for o in TRACKED]
    resident = resident_bytes()
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            run(scenario)
        settle()
        grown = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in TRACKED] == references
    # One small object kept per call would be 2000 × 16 bytes or more.
    assert grown < 8 * 1024, f"{grown} bytes of Python memory kept after {CALLS} calls"
    if not SANITIZED:
        # A path array lost per call would be 2000 × 32 KiB = 64 MiB.
        assert resident_bytes() - resident < 16 * 2**20


class Keeper:
    """Keeps everything it is handed: statistics and the inputs of expressions."""

    def __init__(self, kept):
        self.kept = kept

    def advance(self, x):
        return None

    def get_value(self, name, t=None):
        return None if t is None else 100.0

    def set_stat(self, name, value):
        self.kept.append(value)


def arrays_in(value):
    if isinstance(value, np.ndarray):
        return [value]
    if isinstance(value, dict):
        return [a for v in value.values() for a in arrays_in(v)]
    if isinstance(value, list):
        return [a for v in value for a in arrays_in(v)]
    return []


@pytest.mark.parametrize("function", ["mc_price", "fixed_price", "fd_hullwhite_price", "backtest_csv", "backtest_py"])
def test_arrays_handed_out_own_their_memory_and_outlive_the_call(function):
    kept = []
    keep = lambda arrays: kept.append(arrays) or [1.0]  # noqa: E731
    exprs = {name: {**entry, "fn": keep} for name, entry in EXPRESSIONS.items()}
    events = FD_EVENTS.slice(0) if function.startswith("fd") else timetable(ROWS)
    data = {**DATASET, "MC": {"PATHS": 64, "SEED": 1, "FLAGS": 11}, "ASSETS": dict(ASSETS)}
    args = {"backtest_csv": (events, Keeper(kept), "h.csv", "USD", exprs),
            "backtest_py": (events, Keeper(kept), exprs, "USD")}.get(function, (events, Keeper(kept), data, exprs))
    getattr(_kestro, function)(*args)
    del args, events, data, exprs, keep
    gc.collect()
    batches = [b for value in kept if isinstance(value, dict) for b in value.values() if isinstance(b, pa.RecordBatch)]
    assert bool(batches) == function.startswith("backtest")
    assert all(b.num_rows and all(map(math.isfinite, b.to_pydict()["value"])) for b in batches)
    arrays = arrays_in(kept)
    assert arrays
    for a in arrays:
        # Its own buffer, or one adopted from the engine: never a view of another array.
        assert a.flags.writeable and a.ndim == 1 and not isinstance(a.base, np.ndarray)
        total = a.sum()
        a[:] = 7
        assert a.sum() == 7 * a.size and math.isfinite(total)
    assert not any(np.shares_memory(a, b) for i, a in enumerate(arrays) for b in arrays[i + 1:])


BIG_DATASET = {**DATASET, "ASSETS": {"USD": curve("ZERO_RATES", [0.0, 2e6], [0.01, 0.01]),
                                     "EQ": curve("FORWARDS", [0.0, 2e6], [100.0, 100.0])}}


@pytest.mark.parametrize("function, events, changes, message", [
    (mc, EVENTS, ("MC", {"PATHS": 10**15}), "PATHS = 1000000000000000 (17 path arrays) needs more than"),
    (mc, EVENTS, ("MC", {"PATHS": 2**64 - 1}), "PATHS = 18446744073709551615 (17 path arrays) needs more than"),
    (hw, FD_EVENTS, ("FD", {"N_X": 10**12}),
     "A grid of 2000000000001 nodes (N_X = 1000000000000, 19 node arrays) needs more than"),
    (bs, FD_EVENTS, ("FD", {"N_X": 2**64 - 1}), "(N_X = 18446744073709551615, 19 node arrays) needs more than"),
    (hw, timetable([(P + 10**6 * YEAR, "t0", "+", 1.0, "USD")]), ("FD", {"TIMESTEP": 0.00001}),
     "The grid would take about 100000000002 steps of 101 nodes"),
    (bs, timetable([(P + YEAR, "t0", "+", 1.0, "USD")]), ("FD", {"N_X": 10**5, "TIMESTEP": 1e-7}),
     "steps of 200001 nodes"),
    (hw, timetable([(P, "t0", "+", 1.0, "USD"), (2**63 - 1, "t0", "+", 1.0, "USD")]), ("FD", {"TIMESTEP": 1.0}),
     "steps of 101 nodes"),
])
def test_absurd_sizes_are_refused_at_once(function, events, changes, message):
    section, keys = changes
    data = {**BIG_DATASET, section: {**BIG_DATASET[section], **keys}}
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        function(events, STATE, data, {})
    assert time.monotonic() - start < 2.0
    text = str(info.value)
    assert text.startswith("Error during model evaluation, caused by\n") and message in text, text


MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="ASan reserves more address space than the limit leaves")
@pytest.mark.parametrize("call, message", [
    # A grid of a third of the machine's memory per eleven arrays, on 40 tracks.
    ("fd_hullwhite_price(timetable([(P + DAY, f't{i % 40}', '+', 1.0, 'USD') for i in range(40)]), None,"
     " dataset(FD={'N_X': MEMORY // (3 * 11 * 8 * 2), 'MAX_X': 1.0, 'TIMESTEP': 1.0}), {})", "50 node arrays) needs"),
    # Paths for a third of the memory in three arrays, with a cashflow kept for each of 60 rows.
    ("mc_price(timetable([(P + DAY, 't0', '+', 1.0, 'USD')] * 60), Recorder(),"
     " dataset(MC={'PATHS': MEMORY // (3 * 3 * 8), 'SEED': 1, 'FLAGS': 8}), {})", "(63 path arrays) needs"),
])
def test_a_ledger_too_big_for_the_machine_is_refused_at_once(call, message):
    # Under a 4 GiB address space a refusal that came too late would be a MemoryError, not a
    # machine out of memory.
    code = textwrap.dedent(f"""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_AS, (4 * 2**30, 4 * 2**30))
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from _kestro import *
        from conftest import Recorder, dataset, timetable
        P, DAY, MEMORY = {P}, {DAY}, {MEMORY}
        try:
            {call}
        except RuntimeError as error:
            print(error)
    """)
    start = time.monotonic()
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert time.monotonic() - start < 10
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Error during model evaluation, caused by\n") and message in result.stdout
