"""Calls from several Python threads at once answer exactly as serial calls do, also when the
interpreter switches threads inside their callbacks; callbacks may call the module again."""

import math
import sys
import threading

import _kestro
import numpy as np
import pyarrow as pa
import pytest

from conftest import curve, timetable

P = 1_767_225_600_000
YEAR = 31_536_000_000
DAY = 86_400_000
THREADS, ROUNDS = 4, 25
DATA = {"BASE": "USD", "PRICING_TS": P,
        "ASSETS": {"USD": curve("ZERO_RATES", [0.0, 5.0], [0.03, 0.03]),
                   "EQ": curve("FORWARDS", [0.0, 5.0], [100.0, 110.0])},
        "MC": {"PATHS": 500, "SEED": 3, "FLAGS": 11}, "FIXED": {"FLAGS": 11},
        "FD": {"N_X": 40, "MAX_X": 1.5, "TIMESTEP": 0.02, "FLAGS": 11},
        "HW": {"MEANREV": 0.1, "VOL": 0.01}, "BS": {"VOL": 0.25, "ASSET": "EQ"}}


def yielding(arrays):
    """A phrase that lets other threads run in the middle of the walk."""
    threading.Event().wait(0.0001)
    return [np.maximum(arrays[0] - 100.0, 0.0)]


EXPRESSIONS = {"call": {"type": "phrase", "fn": yielding, "inp": ["EQ"]},
               "snap": {"type": "snapper", "fn": lambda a: [a[0] * 0.5], "inp": ["EQ"], "out": ["half"]}}
# A Bermudan-like contract on track 0 with a choice, a snap and a phrase.
PATHWISE = timetable([(P + 30 * DAY, "t0", "+", 1.0, "snap"), (P + 60 * DAY, "t0", ">", 1.0, "t1"),
                      (P + 60 * DAY, "t1", "+", 1.0, "call"), (P + 90 * DAY, "t0", "+", 2.0, "half"),
                      (P + 120 * DAY, "t0", "<", 1.0, "EQ")], tracks=["t0", "t1"])
GRID = timetable([(P + 90 * DAY, "t0", ">", 1.0, "EQ"), (P + YEAR, "t0", "+", 1.0, "EQ"),
                  (P + YEAR, "t0", "+", -95.0, "USD")])


class State:
    """Seeded GBM paths for mc_price, history for backtest_py; the interpreter may switch
    threads in every method."""

    def __init__(self):
        self.rng, self.x, self.stats = np.random.default_rng(11), 0.0, []

    def advance(self, x):
        threading.Event().wait(0.0001)
        dt, self.x = x - self.x, x
        self.spot = 100.0 * np.exp(0.25 * np.sqrt(x) * self.rng.standard_normal(DATA["MC"]["PATHS"]))
        return np.full(DATA["MC"]["PATHS"], math.exp(-0.03 * dt))

    def get_value(self, name, t=None):
        if t is not None:
            return 100.0 + (t - P) / DAY
        return self.spot if name == "EQ" else None

    def set_stat(self, name, value):
        self.stats.append((name, value))


CALLS = {
    "mc_price": lambda s: _kestro.mc_price(PATHWISE, s, DATA, EXPRESSIONS),
    "fixed_price": lambda s: _kestro.fixed_price(PATHWISE, s, DATA, EXPRESSIONS),
    "fd_hullwhite_price": lambda s: _kestro.fd_hullwhite_price(GRID, s, DATA, {}),
    "fd_blackscholes_price": lambda s: _kestro.fd_blackscholes_price(GRID, s, DATA, {}),
    "backtest_csv": lambda s: _kestro.backtest_csv(PATHWISE, s, "h.csv", "USD", EXPRESSIONS),
    "backtest_py": lambda s: _kestro.backtest_py(PATHWISE, s, EXPRESSIONS, "USD"),
}


def plain(value):
    """Statistics as comparable Python values."""
    if isinstance(value, np.ndarray):
        return (str(value.dtype), value.tolist())
    if isinstance(value, pa.RecordBatch):
        return value.to_pydict()
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return [(name, plain(v)) for name, v in value]


def run(function):
    state = State()
    return CALLS[function](state), plain(state.stats)


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.parametrize("function", CALLS)
def test_concurrent_calls_answer_as_serial_calls(fast_switching, function):
    serial = run(function)
    assert serial[1], "the call sends statistics"
    barrier, results, errors = threading.Barrier(THREADS), [], []

    def worker():
        try:
            barrier.wait()
            for _ in range(ROUNDS):
                results.append(run(function))
        except BaseException as error:  # reported below, with the thread's own traceback
            errors.append(error)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(results) == THREADS * ROUNDS
    assert all(r == serial for r in results)


def test_all_six_functions_at_once_answer_as_serial_calls(fast_switching):
    serial = {f: run(f) for f in CALLS}
    barrier, results = threading.Barrier(len(CALLS)), {}

    def worker(function):
        barrier.wait()
        results[function] = [run(function) for _ in range(ROUNDS)]

    threads = [threading.Thread(target=worker, args=(f,)) for f in CALLS]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert {f: set(map(repr, r)) for f, r in results.items()} == {f: {repr(s)} for f, s in serial.items()}


# Callbacks that call the module again


INNER = timetable([(P + YEAR, "t0", "+", 100.0, "USD")])
INNER_PRICE = 100.0 * math.exp(-0.03)
FIXED_ONLY = {k: v for k, v in DATA.items() if k != "FIXED"}


def inner_price(*args):
    return _kestro.fixed_price(INNER, None, FIXED_ONLY, {})


def priced_phrase(fn):
    return {"inner": {"type": "phrase", "fn": lambda a: [fn()], "inp": []}}


class Reentrant:
    """py_state whose every method prices INNER first."""

    def __init__(self):
        self.inner_stats, self.outer_stats = [], []

    def advance(self, x):
        return inner_price() / 100.0  # INNER's own discount factor, for its one step of a year

    def get_value(self, name, t=None):
        return None if t is None else inner_price()

    def set_stat(self, name, value):
        nested = State()
        self.inner_stats.append((name, _kestro.backtest_csv(INNER, nested, "h", "USD", {}), plain(nested.stats)))
        self.outer_stats.append((name, plain(value)))


ONE_ROW = timetable([(P, "t0", "+", 2.0, "inner")])


@pytest.mark.parametrize("function, call, expected", [
    ("fixed_price", lambda s: _kestro.fixed_price(ONE_ROW, s, FIXED_ONLY, priced_phrase(inner_price)), 2 * INNER_PRICE),
    ("mc_price", lambda s: _kestro.mc_price(ONE_ROW, s, DATA, priced_phrase(inner_price)), 2 * INNER_PRICE),
    ("mc_price", lambda s: _kestro.mc_price(INNER, s, DATA, {}), INNER_PRICE),  # advance prices INNER
    ("two levels deep", lambda s: _kestro.fixed_price(ONE_ROW, s, FIXED_ONLY, priced_phrase(
        lambda: _kestro.mc_price(ONE_ROW, None, {**DATA, "MC": {"PATHS": 3, "SEED": 0}}, priced_phrase(inner_price)))),
     4 * INNER_PRICE),
])
def test_a_callback_may_price_with_the_module_itself(function, call, expected):
    state = Reentrant()
    assert call(state) == pytest.approx(expected, rel=1e-12)


def test_a_backtest_history_may_come_from_the_module_itself():
    state = Reentrant()
    assert _kestro.backtest_py(timetable([(P, "t0", "+", 3.0, "EQ")]), state, {}, "USD") is None
    ((name, result, inner),) = state.inner_stats
    assert name == "CASHFLOW" and result is None
    assert inner == [("CASHFLOW", {0: {"index": [0], "value": [100.0]}})]
    ((_, outer),) = state.outer_stats
    assert outer[0]["value"] == [pytest.approx(3 * INNER_PRICE, rel=1e-12)]


def test_set_stat_may_run_a_backtest_of_its_own():
    state = Reentrant()
    _kestro.fd_hullwhite_price(GRID, state, DATA, {})
    assert [s[0] for s in state.inner_stats] == ["PV_VEC", "CHOICES", "CASHFLOW"]
    assert all(s[1:] == (None, [("CASHFLOW", {0: {"index": [0], "value": [100.0]}})]) for s in state.inner_stats)


def test_a_failing_nested_call_is_reported_inside_the_outer_error():
    bad = lambda: _kestro.fixed_price(INNER, None, {}, {})  # noqa: E731
    with pytest.raises(RuntimeError) as info:
        _kestro.fixed_price(ONE_ROW, None, FIXED_ONLY, priced_phrase(bad))
    assert str(info.value).endswith("Error in Phrase Evaluation, caused by \n"
                                    "RuntimeError: Error while parsing Dataset, caused by\n"
                                    "Py Dictionary is missing key 'BASE'")


def test_nested_calls_from_several_threads_answer_as_serial_calls(fast_switching):
    def call():
        return _kestro.mc_price(ONE_ROW, Reentrant(), DATA, priced_phrase(inner_price))

    serial = call()
    results = []
    barrier = threading.Barrier(THREADS)

    def worker():
        barrier.wait()
        results.extend(call() for _ in range(ROUNDS))

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [serial] * (THREADS * ROUNDS)
