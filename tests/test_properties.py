"""Properties of all six functions over random timetables, datasets, expressions and py_state
objects: a result of the right type or one well-formed exception, the same answer for keyword
and positional calls and for a batch and the struct array of its columns, fixed_price agreeing
with mc_price on curves alone, and no statistics after a failure.

KESTRO_HYPOTHESIS_EXAMPLES sets the number of examples per property (default 200)."""

import math
import operator
import os

import _kestro
import numpy as np
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import curve

P = 1_767_225_600_000  # PRICING_TS, 2026-01-01T00:00:00Z
YEAR = 31_536_000_000
PREFIXES = ("Error while parsing Timetable, caused by \n", "Error while parsing Dataset, caused by\n",
            "Error during model evaluation, caused by\n")
PRICING = ("mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price")
FUNCTIONS = PRICING + ("backtest_csv", "backtest_py")
STATS = ((1, "PV_VEC"), (2, "CHOICES"), (8, "CASHFLOW"))

EXAMPLES = settings(max_examples=int(os.environ.get("KESTRO_HYPOTHESIS_EXAMPLES", "200")), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

ASSETS, TRACKS, EXPRESSIONS = ["USD", "EQ", "EUR"], ["t0", "t1", "t2"], ["ph", "sn", "out1", "out2", "w"]
NAMES = ASSETS + TRACKS + EXPRESSIONS + ["", "nope"]
JUNK = [None, "x", 1.5, -1, 2**64, True, [], {}, math.nan, np.int64(3), np.float64(2.0), ("ZERO_RATES",)]


def rarely(draw):
    return draw(st.integers(0, 9)) == 9


def mostly(draw):
    return draw(st.integers(0, 3)) != 3


def pick(draw, clean, good, bad):
    """An item of `good`, or of `good` and `bad` alike when not `clean`."""
    return draw(st.sampled_from(good if clean else good + bad))


# Timetables


def keys(draw, n, size, clean):
    valid = st.integers(0, size - 1) if size else st.none()
    return draw(st.lists(valid if clean else st.one_of(valid, st.sampled_from([None, -1, size, 2**62])),
                         min_size=n, max_size=n))


def dictionary(keys, values):
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.utf8()), safe=False)


WRONG_COLUMNS = {
    "time": lambda n: pa.array(range(n), pa.int64()),
    "track": lambda n: pa.array(["t0"] * n).dictionary_encode(),  # int32 keys
    "op": lambda n: pa.array(["+"] * n),
    "quantity": lambda n: pa.array([1.0] * n, pa.float32()),
    "unit": lambda n: pa.DictionaryArray.from_arrays(pa.array([0] * n, pa.int64()), pa.array(["USD"], pa.large_utf8())),
}


@st.composite
def timetables(draw, grid=False):
    """(events, row times): a batch, struct array or slice, and the times of the rows it holds.
    A clean timetable has ordered times from the pricing time on, keys inside their
    dictionaries, a last row on track 0 and units the model can value (on a grid: assets);
    any other may have anything."""
    clean = mostly(draw)
    n = draw(st.integers(int(clean), 300) if rarely(draw) else st.integers(int(clean), 12))
    if clean or draw(st.booleans()):
        start = P + draw(st.integers(0 if clean else -YEAR, YEAR))
        steps = draw(st.lists(st.integers(0, YEAR), min_size=n, max_size=n))
        times = [start + sum(steps[:i + 1]) for i in range(n)]
    else:
        times = draw(st.lists(st.one_of(st.integers(-2**63, 2**63 - 1), st.integers(P - YEAR, P + 5 * YEAR), st.none()),
                              min_size=n, max_size=n))
    floats = st.floats(-1e6, 1e6) if clean else st.one_of(st.floats(-1e6, 1e6), st.none(), st.floats())
    tracks = TRACKS if clean or not rarely(draw) else TRACKS + ["", None]
    ops = draw(st.lists(st.sampled_from(["+", ">", "<"] + ([] if grid else ["w"]) if clean else
                                        ["+", ">", "<", "", "ph", "w", "EQ", None]), min_size=int(clean), max_size=5))
    valued = ASSETS[:2] + ([] if grid else ["ph", "sn", "out1"])
    units = draw(st.lists(st.sampled_from(valued if clean else NAMES + [None]), min_size=int(clean), max_size=6))
    track_keys = keys(draw, n, len(tracks), clean)
    if clean and n:
        track_keys[-1] = 0
    columns = {
        "time": pa.array(times, pa.timestamp("ms")),
        "track": dictionary(track_keys, tracks),
        "op": dictionary(keys(draw, n, len(ops), clean), ops),
        "quantity": pa.array(draw(st.lists(floats, min_size=n, max_size=n)), pa.float64()),
        "unit": dictionary(keys(draw, n, len(units), clean), units),
    }
    if not clean and rarely(draw):
        name = draw(st.sampled_from(sorted(WRONG_COLUMNS)))
        columns[name] = WRONG_COLUMNS[name](n)
        times = None
    if not clean and rarely(draw):
        del columns[draw(st.sampled_from(sorted(columns)))]
    names = draw(st.permutations(sorted(columns)))
    batch = pa.record_batch([columns[c] for c in names], names=names)
    form = draw(st.sampled_from(["batch", "struct", "slice"]))
    if form == "struct":
        return pa.StructArray.from_arrays(batch.columns, names=batch.schema.names), times
    if form == "slice":
        offset = draw(st.integers(0, n))
        return batch.slice(offset), times and times[offset:]
    return batch, times


# Datasets


def random_curve(draw):
    times = draw(st.lists(st.one_of(st.floats(-100, 100), st.floats()), max_size=4))
    values = draw(st.lists(st.one_of(st.floats(-1, 200), st.floats()), min_size=len(times), max_size=len(times)))
    rows = np.array([times, values], dtype=np.float64)
    shape = draw(st.sampled_from(["2d", "1d", "float32", "3 rows", "fortran", "list"]))
    rows = {"1d": lambda: rows[0], "float32": lambda: np.zeros(rows.shape, np.float32), "list": lambda: rows.tolist(),
            "3 rows": lambda: np.vstack([rows, rows[:1]]), "fortran": lambda: np.asfortranarray(rows),
            "2d": lambda: rows}[shape]()
    kind = draw(st.sampled_from(["ZERO_RATES", "FORWARDS", "ZERO"]))
    return draw(st.sampled_from([(kind, rows), (kind, rows, "extra"), [kind, rows], (kind,)]))


@st.composite
def datasets(draw, clean=None):
    """Every key the four pricing functions read; when not clean, curves of any shape and keys
    deleted or replaced by junk."""
    clean = mostly(draw) if clean is None else clean
    numbers = st.floats(0, 1) if clean else st.one_of(st.floats(0, 1), st.floats())
    flags = st.integers(0, 15 if clean else 16)
    data = {
        "BASE": pick(draw, clean, ["USD"], ["EQ", "EUR"]),
        "ASSETS": {"USD": curve("ZERO_RATES", [-300.0, 0.0, 300.0], [0.01, 0.02, 0.03]),
                   "EQ": curve("FORWARDS", [-300.0, 0.0, 300.0], [90.0, 100.0, 120.0])},
        "PRICING_TS": P,
        "MC": {"PATHS": draw(st.integers(1 if clean else 0, 50)), "SEED": 7, "FLAGS": draw(flags)},
        "FIXED": {"FLAGS": draw(flags)},
        "FD": {"N_X": draw(st.integers(1 if clean else 0, 40)),
               "MAX_X": draw(st.floats(0.01, 5) if clean else st.floats()),
               "TIMESTEP": pick(draw, clean, [0.01, 0.1, 1.0], [1e-12, 1e-9, 1e6, math.nan, math.inf, -0.1, 0.0]),
               "FLAGS": draw(flags)},
        "HW": {"MEANREV": draw(numbers), "VOL": draw(numbers) / 20},
        "BS": {"VOL": draw(numbers), "ASSET": pick(draw, clean, ["EQ"], ["USD", "EUR"])},
    }
    if clean:
        return data
    for name in draw(st.lists(st.sampled_from(ASSETS), max_size=2)):
        data["ASSETS"][name] = random_curve(draw)
    paths = [(k,) for k in data] + [(k, j) for k, v in data.items() if isinstance(v, dict) and k != "ASSETS" for j in v]
    for path in draw(st.lists(st.sampled_from(paths), max_size=2)):
        section = data.get(path[0]) if len(path) == 2 else data
        if isinstance(section, dict) and path[-1] in section:
            if draw(st.booleans()):
                del section[path[-1]]
            else:
                section[path[-1]] = draw(st.sampled_from(JUNK))
    return data


def tame_grid(data, times):
    """Keeps a finite-difference call short: a lattice the engine would run for long gets a
    TIMESTEP of about fifty steps (one the engine refuses outright stays as it is)."""
    try:
        fd = data["FD"]
        nodes = 2 * operator.index(fd["N_X"]) + 1
        dt = float(fd["TIMESTEP"]) * YEAR
        earliest = min([operator.index(data["PRICING_TS"])] + [t for t in times if t is not None])
        span = float(times[-1]) - earliest
    except Exception:
        return
    if dt >= 1 and 1e5 < (span / dt + len(times)) * nodes < 1e11:
        fd["TIMESTEP"] = max(span / 50, 1) / YEAR


# Expressions and py_state


def raising(*args):
    raise ValueError("user code failed")


GOOD_FNS = {
    "floats": lambda a: [1.5, 2.0], "echo": lambda a: list(a) or [1.0],
    "sum": lambda a: [sum(x.sum() for x in a) + 1.0],
    "empty": lambda a: [], "nan": lambda a: [math.nan], "bool": lambda a: [True],
    "mutates": lambda a: [x.__setitem__(slice(None), 7.0) or x for x in a] or [0.5],
    "bools": lambda a: [x > 50 for x in a] or [False], "numpy scalar": lambda a: [np.float64(2.5)],
}
BAD_FNS = {
    "tuple": lambda a: (1.0,), "none": lambda a: None, "list of none": lambda a: [None],
    "2-D": lambda a: [np.ones((2, 2))], "1x1": lambda a: [np.array([[3.0]])], "long": lambda a: [np.arange(7.0)],
    "ints": lambda a: [np.arange(3)],
    "text": lambda a: ["x"], "raises": raising, "not callable": 5,
}


@st.composite
def expressions(draw):
    clean = mostly(draw)
    fns = GOOD_FNS if clean else {**GOOD_FNS, **BAD_FNS}
    inputs = ASSETS[:2] + ["ph", "out1"] if clean else NAMES
    out = {}
    for name in ["ph", "sn", "w"] if clean else draw(st.lists(st.sampled_from(["ph", "sn", "w"]), unique=True)):
        entry = {"type": "snapper" if name == "sn" else "phrase", "fn": fns[draw(st.sampled_from(sorted(fns)))],
                 "inp": draw(st.lists(st.sampled_from([i for i in inputs if i != name]), max_size=3)),
                 "out": ["out1", "out2"]}
        if not clean and rarely(draw):
            entry.update(draw(st.sampled_from([{"type": "other"}, {"inp": "USD"}, {"out": 5}, {"type": "batch"}])))
        out[name] = [entry] if not clean and rarely(draw) else entry
    return out


ANSWERS = {
    "none": lambda s, *a: None, "float": lambda s, *a: 0.97, "per path": lambda s, *a: np.full(s.paths, 0.99),
    "one": lambda s, *a: np.ones(1), "nan": lambda s, *a: math.nan, "long": lambda s, *a: np.ones(s.paths + 3),
    "2-D": lambda s, *a: np.ones((2, 2)), "text": lambda s, *a: "x", "ints": lambda s, *a: np.arange(max(s.paths, 1)),
    "raises": lambda s, *a: raising(), "missing": None,
}
GOOD_ANSWERS = ["none", "float", "per path", "one"]


class State:
    """A py_state whose methods answer as told ("missing" leaves a method out); set_stat records."""

    def __new__(cls, advance, get_value, stat, paths):
        methods = {name: ANSWERS[kind] for name, kind in (("advance", advance), ("get_value", get_value))
                   if kind != "missing"}
        if stat != "missing":
            methods["set_stat"] = cls.record_then_raise if stat == "raises" else cls.record
        self = object.__new__(type("State", (cls,), methods))
        self.paths, self.stats = paths, []
        return self

    def __init__(self, *args):
        pass

    def record(self, name, value):
        self.stats.append((name, value))

    def record_then_raise(self, name, value):
        self.stats.append((name, value))
        raise KeyError(name)


@st.composite
def states(draw, paths):
    clean = mostly(draw)
    answer = lambda: pick(draw, clean, GOOD_ANSWERS, sorted(set(ANSWERS) - set(GOOD_ANSWERS)))  # noqa: E731
    return State(answer(), answer(), pick(draw, clean, ["records"], ["raises", "missing"]), paths)


def paths_of(data):
    try:
        return operator.index(data["MC"]["PATHS"])
    except Exception:
        return 1


# Calls


def arguments(function, events, state, data, exprs, base):
    names = {"backtest_csv": ("events_rb", "py_state", "_filename", "base", "expressions"),
             "backtest_py": ("events_rb", "py_state", "expressions", "base")}.get(
        function, ("events_rb", "py_state", "dataset", "expressions"))
    values = {"events_rb": events, "py_state": state, "dataset": data, "expressions": exprs, "base": base,
              "_filename": "history.csv"}
    return {name: values[name] for name in names}


def outcome(function, kwargs, keywords=False):
    f = getattr(_kestro, function)
    try:
        return "ok", (f(**kwargs) if keywords else f(*kwargs.values()))
    except (TypeError, RuntimeError) as error:
        return type(error), str(error)


def same(a, b):
    if a[0] == "ok" and isinstance(a[1], float) and isinstance(b[1], float):
        return b[0] == "ok" and (a[1] == b[1] or (math.isnan(a[1]) and math.isnan(b[1])))
    return a == b


def flags_of(function, data):
    section = {"mc_price": "MC", "fixed_price": "FIXED"}.get(function, "FD")
    try:
        return operator.index(data[section].get("FLAGS", 0))
    except Exception:
        return 0


def check_statistics(function, data, stats):
    """What a successful call sent to set_stat."""
    if function.startswith("backtest"):
        ((name, report),) = stats
        assert name == "CASHFLOW" and all(type(k) is int and isinstance(v, pa.RecordBatch) for k, v in report.items())
        return
    flags = flags_of(function, data)
    assert [s[0] for s in stats] == [name for bit, name in STATS if flags & bit]
    for name, value in stats:
        if name == "PV_VEC":
            paths = {"mc_price": paths_of(data), "fixed_price": 1}.get(function) or 2 * data["FD"]["N_X"] + 1
            assert value.dtype == np.float64 and value.shape == (paths,)
        else:
            dtype = np.uint64 if name == "CHOICES" else np.float64
            assert all(type(k) is int and type(j) is int and a.dtype == dtype and a.ndim == 1
                       for k, inner in value.items() for j, a in inner.items())


def check_shape(result, function):
    kind, value = result
    if kind == "ok":
        assert type(value) is (float if function in PRICING else type(None))
    elif kind is TypeError:
        assert value.startswith("argument '") and len(value) > len("argument ''")
    else:
        assert kind is RuntimeError
        assert value.startswith(PREFIXES) and not value.endswith("\n"), value


@st.composite
def cases(draw, function):
    events, times = draw(timetables(grid=function.startswith("fd_")))
    data = draw(datasets()) if not rarely(draw) else draw(st.sampled_from([[], None]))
    if isinstance(data, dict) and times is not None and function.startswith("fd_"):
        tame_grid(data, times)
    exprs = draw(expressions()) if not rarely(draw) else draw(st.sampled_from([[], None]))
    base = draw(st.sampled_from(ASSETS if not rarely(draw) else [None, 1, ""]))
    paths = paths_of(data) if isinstance(data, dict) else 1
    return arguments(function, events, draw(states(paths)), data, exprs, base)


@pytest.mark.parametrize("function", FUNCTIONS)
@EXAMPLES
@given(data=st.data())
def test_every_call_returns_its_type_or_one_prefixed_error_and_no_statistics_after_an_error(function, data):
    kwargs = data.draw(cases(function))
    result = outcome(function, kwargs)
    event("ok" if result[0] == "ok" else result[1].split("\n")[-1][:60])
    check_shape(result, function)
    state = kwargs["py_state"]
    if result[0] != "ok":
        assert state.stats == []
    elif hasattr(type(state), "set_stat"):
        check_statistics(function, kwargs.get("dataset"), state.stats)


def other_form(events):
    """The same rows as a struct array for a batch, as a batch for a struct array."""
    if isinstance(events, pa.RecordBatch):
        return pa.StructArray.from_arrays(events.columns, names=events.schema.names)
    return pa.RecordBatch.from_struct_array(events)


@pytest.mark.parametrize("function", FUNCTIONS)
@EXAMPLES
@given(data=st.data())
def test_keyword_and_positional_calls_agree_on_either_form_of_the_batch(function, data):
    kwargs = data.draw(cases(function))
    positional = outcome(function, kwargs)
    first = kwargs["py_state"].stats[:]
    kwargs["py_state"].stats.clear()
    kwargs["events_rb"] = other_form(kwargs["events_rb"])
    keyword = outcome(function, kwargs, keywords=True)
    assert same(positional, keyword), (positional, keyword)
    assert [s[0] for s in first] == [s[0] for s in kwargs["py_state"].stats]


@EXAMPLES
@given(table=timetables(), data=datasets(clean=True), exprs=expressions(), paths=st.integers(1, 5))
def test_fixed_price_equals_mc_price_when_py_state_has_no_paths(table, data, exprs, paths):
    data["MC"] = {"PATHS": paths, "SEED": 0}
    data["FIXED"] = {}
    fixed = outcome("fixed_price", arguments("fixed_price", table[0], None, data, exprs, None))
    state = State("none", "none", "records", paths)
    mc = outcome("mc_price", arguments("mc_price", table[0], state, data, exprs, None))
    event(f"fixed {fixed[0] == 'ok'}, mc {mc[0] == 'ok'}")
    if fixed[0] == "ok" and mc[0] == "ok":
        assert mc[1] == pytest.approx(fixed[1], rel=1e-9, abs=1e-9, nan_ok=True)


class Sink:
    def set_stat(self, name, value):
        pass


@EXAMPLES
@given(table=timetables(), data=datasets(), plain=st.booleans(), exprs=expressions())
def test_fixed_price_without_statistics_agrees_bit_for_bit_with_the_walk_that_keeps_them(table, data, plain, exprs):
    """Without statistics the fixed model prices on plain doubles; asking for "PV_VEC" takes the
    general walk. Prices, NaN included, and every error's text must agree."""
    exprs = {} if plain else exprs
    if not isinstance(data.get("FIXED"), dict):
        data["FIXED"] = {}
    quick = outcome("fixed_price", arguments("fixed_price", table[0], Sink(), dict(data, FIXED={"FLAGS": 0}), exprs,
                                             None))
    walked = outcome("fixed_price", arguments("fixed_price", table[0], Sink(), dict(data, FIXED={"FLAGS": 1}), exprs,
                                              None))
    event(f"priced {quick[0] == 'ok'}")
    assert same(quick, walked), (quick, walked)
    if quick[0] == "ok":
        assert math.copysign(1.0, quick[1]) == math.copysign(1.0, walked[1])  # the sign of zero too
