"""backtest_csv and backtest_py end to end: historical values, the walk's time checks and the cashflow report."""

from decimal import Decimal
from fractions import Fraction

import _kestro
import numpy as np
import pyarrow as pa
import pytest

from conftest import timetable

EVAL = "Error during model evaluation, caused by\n"
DAY = 86_400_000
SCHEMA = pa.schema([pa.field("index", pa.uint64(), nullable=False), pa.field("value", pa.float64(), nullable=False)])


class State:
    """Records every call; `get_value` answers `answer(name, t)` (default 100.0, the constant
    of backtest_csv), so both backtests should report the same cashflows."""

    def __init__(self, answer=None, stat_error=None):
        self.calls, self.answer, self.stat_error = [], answer, stat_error

    def get_value(self, *args):
        self.calls.append(("get_value", *args))
        return self.answer(*args) if self.answer else 100.0

    def set_stat(self, *args):
        self.calls.append(("set_stat", *args))
        if self.stat_error:
            raise self.stat_error

    @property
    def stats(self):
        return [c[1:] for c in self.calls if c[0] == "set_stat"]


def run(kind, rows, state, expressions=None, base="USD", **kw):
    batch = timetable(rows, **kw)
    if kind == "csv":
        return _kestro.backtest_csv(batch, state, "history.csv", base, expressions or {})
    return _kestro.backtest_py(batch, state, expressions or {}, base)


def cashflows(kind, rows, expressions=None, state=None, **kw):
    """The one CASHFLOW statistic as {track: [(index, value), ...]}, after checking its form."""
    state = state or State()
    assert run(kind, rows, state, expressions, **kw) is None
    ((name, report),) = state.stats
    assert name == "CASHFLOW" and isinstance(report, dict)
    assert list(report) == sorted(report) and all(type(k) is int for k in report)
    out = {}
    for track, batch in report.items():
        assert isinstance(batch, pa.RecordBatch) and batch.schema == SCHEMA
        out[track] = list(zip(batch["index"].to_pylist(), batch["value"].to_pylist()))
    return out


def eval_error(kind, rows, state=None, expressions=None, **kw):
    state = state or State()
    with pytest.raises(RuntimeError) as info:
        run(kind, rows, state, expressions, **kw)
    (text,) = info.value.args
    assert text.startswith(EVAL), text
    assert state.stats == []  # nothing is reported after a failure
    return text[len(EVAL):]


def phrase(fn, inp=()):
    return {"type": "phrase", "fn": fn, "inp": list(inp)}


def snapper(fn, inp=(), out=()):
    return {"type": "snapper", "fn": fn, "inp": list(inp), "out": list(out)}


def at_event(row, time, unit, cause, op="+", qty=1):
    return (f"Error at event:\n  #{row}: track: Track(0), time: {time}, op: {op}, qty: {qty}, unit: {unit}, "
            f"caused by \n{cause}")


BOTH = pytest.mark.parametrize("kind", ["csv", "py"])


# Cashflows


@BOTH
def test_assets_are_worth_100_and_the_base_1_undiscounted(kind):
    rows = [(0, "a", "+", 2.0, "EQ"), (5, "b", "+", 3.0, "USD"), (5, "a", "+", -0.5, "XYZ"),
            (9 * DAY, "b", "+", 1.5, "FX")]
    assert cashflows(kind, rows) == {0: [(0, 200.0), (2, -50.0)], 1: [(1, 3.0), (3, 150.0)]}


@BOTH
def test_rows_come_sorted_by_event_and_tracks_in_ascending_order(kind):
    # Track keys 3, 0, 2 in table order; track 1 ("idle") has no row, track 4 only a snapper row.
    tracks = ["b", "idle", "c", "a", "s"]
    rows = [(0, "a", "+", 1.0, "USD"), (1, "b", "+", 2.0, "USD"), (2, "s", "+", 9.0, "S"), (3, "c", "+", 3.0, "USD"),
            (4, "a", "+", 4.0, "USD"), (5, "b", "+", 5.0, "USD"), (6, "a", "+", 6.0, "USD")]
    got = cashflows(kind, rows, {"S": snapper(lambda a: [1.0], [], ["x"])}, tracks=tracks)
    assert got == {0: [(1, 2.0), (5, 5.0)], 2: [(3, 3.0)], 3: [(0, 1.0), (4, 4.0), (6, 6.0)]}


@BOTH
@pytest.mark.parametrize(
    "rows, expected",
    [
        ([(0, "v", "+", 1.0, "USD"), (0, "v", ">", 1.0, "EQ")], {0: [(0, 1.0), (1, 100.0)]}),
        ([(0, "v", ">", 1.0, "EQ"), (0, "v", "+", 150.0, "USD")], {0: [(0, 0.0), (1, 150.0)]}),
        ([(0, "v", "<", 1.0, "EQ"), (0, "v", "+", 150.0, "USD")], {0: [(0, 100.0), (1, 0.0)]}),
    ],
    ids=["choice-taken-alone", "continuation-kept", "issuer-choice-taken"],
)
def test_choices_record_cashflows_and_no_choice_statistic(kind, rows, expected):
    state = State()
    assert cashflows(kind, rows, state=state) == expected
    assert [name for name, _ in state.stats] == ["CASHFLOW"]


@BOTH
@pytest.mark.parametrize(
    "rows, kw",
    [([], {}), ([(0, "v", "+", 1.0, "S")], {}), ([(0, "v", ">", 0.0, "USD")], {}), ([(0, "v", "EQ", 0.0, "USD")], {})],
    ids=["no-rows", "only-a-snapper", "choice-against-zero", "weighted-zero"],
)
def test_no_cashflows_give_an_empty_dict(kind, rows, kw):
    assert cashflows(kind, rows, {"S": snapper(lambda a: [1.0], [], ["x"])}, **kw) == {}


@BOTH
def test_expression_inputs_and_named_ops_use_the_series_at_the_event_time(kind):
    seen = []
    exprs = {"P": phrase(lambda a: seen.append([float(x[0]) for x in a]) or [a[0] + a[1]], ["EQ", "USD"]),
             "w": phrase(lambda a: [0.25], ["FX"])}
    rows = [(0, "v", "w", 2.0, "P"), (0, "v", "+", 8.0, "USD"), (DAY, "v", "EQ", 1.0, "USD")]
    # Latest first: 1 weighted by EQ = 100 (the weight is not scaled), then 8, then 2·(100 + 1) with weight 0.25.
    got = cashflows(kind, rows, exprs)
    assert seen == [[100.0, 1.0]]
    # Each weighted booking scales the track's later cashflows by 1 - w.
    assert got[0] == [(0, 0.25 * 202.0), (1, 8.0 * 0.75), (2, 100.0 * 0.75)]


@pytest.mark.parametrize("base, expected", [("EQ", [(0, 100.0), (1, 1.0)]), ("usd", [(0, 100.0), (1, 100.0)])])
def test_base_is_compared_byte_for_byte_and_passed_by_keyword(base, expected):
    batch = timetable([(0, "v", "+", 1.0, "USD"), (0, "v", "+", 1.0, "EQ")])
    for call in (lambda s: _kestro.backtest_csv(batch, s, base=base, expressions={}, _filename=""),
                 lambda s: _kestro.backtest_csv(expressions={}, base=base, _filename="x", py_state=s, events_rb=batch),
                 lambda s: _kestro.backtest_py(batch, s, base=base, expressions={}),
                 lambda s: _kestro.backtest_py(base=base, expressions={}, py_state=s, events_rb=batch)):
        state = State()
        assert call(state) is None
        ((_, report),) = state.stats
        assert list(zip(report[0]["index"].to_pylist(), report[0]["value"].to_pylist())) == expected
        assert ("get_value", base, 0) not in state.calls


# backtest_py: the calls on py_state


def test_get_value_is_asked_with_the_event_time_for_every_lookup_but_the_base():
    state = State(answer=lambda name, t: {"EQ": 10.0, "FX": 2.0}[name])
    exprs = {"S": snapper(lambda a: [a[0] * 3], ["FX"], ["snap"]), "P": phrase(lambda a: [a[0] + a[1]], ["EQ", "snap"])}
    t = 1_700_000_000_123
    rows = [(0, "v", "+", 1.0, "EQ"), (0, "v", "+", 1.0, "USD"), (t, "v", "+", 0.0, "S"), (t, "v", "+", 1.0, "P"),
            (t, "v", "FX", 1.0, "EQ"), (t, "v", "+", 1.0, "EQ")]
    run("py", rows, state, exprs)
    assert state.calls[:-1] == [("get_value", "EQ", 0), ("get_value", "FX", t), ("get_value", "EQ", t),
                                ("get_value", "EQ", t), ("get_value", "FX", t), ("get_value", "EQ", t)]
    assert all(type(c[2]) is int for c in state.calls[:-1])


@pytest.mark.parametrize(
    "answer, value",
    [(2.5, 2.5), (7, 7.0), (-1, -1.0), (-1.0, -1.0), (True, 1.0), (np.float64(0.5), 0.5), (np.int32(3), 3.0),
     (Decimal("1.25"), 1.25), (Fraction(1, 4), 0.25), (2**70, 2.0**70)],
    ids=["float", "int", "minus-one-int", "minus-one", "bool", "numpy-float", "numpy-int", "decimal", "fraction",
         "big-int"],
)
def test_get_value_results_go_through_float_conversion(answer, value):
    assert cashflows("py", [(0, "v", "+", 2.0, "EQ")], state=State(lambda n, t: answer)) == {0: [(0, 2 * value)]}


def one_argument(name):
    return 1.0


EQ_AT_0 = "Single(1970-01-01T00:00:00Z)", "Asset(EQ)"


@pytest.mark.parametrize(
    "answer, cause",
    [
        (lambda n, t: "2.5", "TypeError: must be real number, not str"),
        (lambda n, t: None, "TypeError: must be real number, not NoneType"),
        (lambda n, t: 1 / 0, "ZeroDivisionError: division by zero"),
        (one_argument, "TypeError: one_argument() takes 1 positional argument but 2 were given"),
    ],
    ids=["str", "none", "raises", "one-argument"],
)
def test_get_value_failures_are_wrapped_with_the_event(answer, cause):
    state = State(answer)
    text = eval_error("py", [(0, "v", "+", 1.0, "EQ")], state)
    assert text == at_event(0, *EQ_AT_0, "Error in Python method 'get_value', caused by \n" + cause)


def test_missing_get_value_is_a_python_call_error_and_the_base_needs_none():
    class OnlyStats:
        def set_stat(self, name, value):
            self.got = (name, value)

    state = OnlyStats()
    assert _kestro.backtest_py(timetable([(0, "v", "+", 4.0, "USD")]), state, {}, "USD") is None
    assert state.got[1][0]["value"].to_pylist() == [4.0]
    with pytest.raises(RuntimeError) as info:
        _kestro.backtest_py(timetable([(0, "v", "+", 1.0, "EQ")]), OnlyStats(), {}, "USD")
    assert info.value.args[0] == EVAL + at_event(
        0, *EQ_AT_0, "Error in Python method 'get_value', caused by \n"
                     "AttributeError: 'OnlyStats' object has no attribute 'get_value'")


# Walk failures


def days_from_civil(y, m, d):
    """Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar, for any year."""
    y -= m <= 2
    era, yoe = divmod(y, 400)
    doy = (153 * ((m + 9) % 12) + 2) // 5 + d - 1
    return era * 146097 + yoe * 365 + yoe // 4 - yoe // 100 + doy - 719468


LAST_MS = days_from_civil(262143, 1, 1) * DAY - 1  # 262142-12-31T23:59:59.999Z, the calendar's last instant


@BOTH
@pytest.mark.parametrize(
    "rows, expected",
    [
        ([(-1, "v", "+", 1.0, "USD")],
         at_event(0, "Single(1969-12-31T23:59:59.999Z)", "Asset(USD)",
                  "event time is earlier than the current time 0")),
        ([(DAY, "v", "+", 1.0, "USD"), (DAY, "v", "+", 1.0, "USD"), (DAY - 1, "v", "+", 2.0, "USD")],
         at_event(2, "Single(1970-01-01T23:59:59.999Z)", "Asset(USD)",
                  "event time is earlier than the current time 86400000", qty=2)),
        ([(None, "v", "+", 1.0, "USD")], at_event(0, "<none>", "Asset(USD)", "No event time")),
        ([(0, "v", "+", 1.0, None)], at_event(0, EQ_AT_0[0], "<none>", "Error in Event Specs: Missing Unit Name")),
        ([(0, "v", "+", 1.0, "P")], at_event(0, EQ_AT_0[0], "Phrase(P)", "Error in Phrase Evaluation, caused by \n"
                                                                         "ZeroDivisionError: division by zero")),
    ],
    ids=["negative-time", "time-goes-back", "no-time", "no-unit", "phrase-raises"],
)
def test_walk_failures_read_exactly_and_report_nothing(kind, rows, expected):
    assert eval_error(kind, rows, expressions={"P": phrase(lambda a: 1 / 0)}) == expected


@pytest.mark.parametrize(
    "t, unit, outcome",
    [
        (LAST_MS, "EQ", [(0, 100.0)]),
        (LAST_MS + 1, "EQ", "No such local time"),
        (2**62, "EQ", "No such local time"),
        (2**62, "USD", [(0, 1.0)]),
        (2**63 - 1, "USD", [(0, 1.0)]),
    ],
)
def test_constant_series_refuses_times_beyond_the_calendar_but_not_for_the_base(t, unit, outcome):
    rows = [(t, "v", "+", 1.0, unit)]
    if isinstance(outcome, list):
        assert cashflows("csv", rows) == {0: outcome}
    else:
        assert eval_error("csv", rows) == at_event(0, "None", f"Asset({unit})", outcome)


def test_calendar_bound_matches_the_event_description():
    with pytest.raises(RuntimeError) as info:
        run("csv", [(LAST_MS, "v", "+", 1.0, None)], State())
    assert "time: Single(+262142-12-31T23:59:59.999Z)" in info.value.args[0]


def test_py_series_asks_python_at_any_representable_time():
    state = State(lambda n, t: 3.0)
    assert cashflows("py", [(2**62, "v", "+", 1.0, "EQ")], state=state) == {0: [(0, 3.0)]}
    assert state.calls[0] == ("get_value", "EQ", 2**62)


# set_stat


@BOTH
def test_set_stat_failures_are_discarded(kind):
    state = State(stat_error=ValueError("full"))
    assert run(kind, [(0, "v", "+", 1.0, "EQ")], state) is None
    assert [c[:2] for c in state.calls if c[0] == "set_stat"] == [("set_stat", "CASHFLOW")]


@BOTH
def test_a_state_without_set_stat_is_fine(kind):
    class Values:
        def get_value(self, name, t):
            return 1.0

    assert run(kind, [(0, "v", "+", 1.0, "EQ")], Values()) is None
