"""fixed_price end to end: walk, ledger, expressions and statistics on one path."""

import math

import _kestro
import numpy as np
import pytest

from conftest import dict_column, timetable

YEAR = 31_536_000_000  # ms in a 365-day year
R = 0.05
EVAL = "Error during model evaluation, caused by\n"


def curve(times, values, kind="ZERO_RATES"):
    return (kind, np.array([times, values], dtype=float))


def dataset(flags=None, assets=None, pricing_ts=0, base="USD"):
    data = {
        "BASE": base,
        "PRICING_TS": pricing_ts,
        "ASSETS": {"USD": curve([0.0, 10.0], [R, R]),
                   "EUR": curve([0.0, 10.0], [1.1, 1.1 * math.exp(0.02 * 10)], "FORWARDS")} | (assets or {}),
    }
    if flags is not None:
        data["FIXED"] = {"FLAGS": flags}
    return data


def df(years):
    return math.exp(-R * years)


def fwd(years):
    """The EUR forward: linear in ln F between 1.1 at 0 and 1.1·e^0.2 at 10."""
    return 1.1 * math.exp(0.02 * years)


def price(rows, expressions=None, state=None, **kw):
    return _kestro.fixed_price(timetable(rows, **{k: kw.pop(k) for k in ("tracks", "units", "ops") if k in kw}),
                               state, dataset(**kw), expressions or {})


def eval_error(rows, expressions=None, **kw):
    with pytest.raises(RuntimeError) as info:
        price(rows, expressions, **kw)
    (text,) = info.value.args
    assert text.startswith(EVAL), text
    return text[len(EVAL):]


def phrase(fn, inp=()):
    return {"type": "phrase", "fn": fn, "inp": list(inp)}


def snapper(fn, inp=(), out=()):
    return {"type": "snapper", "fn": fn, "inp": list(inp), "out": list(out)}


class Stats:
    def __init__(self, fail_on=()):
        self.received, self.fail_on = [], fail_on

    def set_stat(self, name, value):
        self.received.append((name, value))
        if name in self.fail_on:
            raise ValueError(name)


# Prices


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([(YEAR, "v", "+", 100.0, "USD")], 100 * df(1)),
        ([(0, "v", "+", 7.0, "USD")], 7.0),
        ([(2 * YEAR, "v", "+", 3.0, "EUR")], 3 * fwd(2) * df(2)),
        ([(YEAR, "v", "+", 1.0, "USD"), (YEAR, "v", "+", 2.0, "USD"), (3 * YEAR, "v", "+", -1.0, "EUR")],
         3 * df(1) - fwd(3) * df(3)),
        ([(YEAR // 2, "v", "+", 1.0, "USD")], df(0.5)),
    ],
)
def test_payments_are_discounted_at_their_own_time(rows, expected):
    assert price(rows) == pytest.approx(expected, rel=1e-14)


def test_curves_starting_after_the_pricing_time_run_through_the_origin():
    assets = {"USD": curve([2.0, 4.0], [0.03, 0.04]), "EUR": curve([2.0, 4.0], [2.0, 3.0], "FORWARDS")}
    # Before the first point y(x) = x·y0/t0: the zero rate stays 3 %, ln F grows linearly from 0.
    assert price([(YEAR, "v", "+", 1.0, "USD")], assets=assets) == pytest.approx(math.exp(-0.03), rel=1e-14)
    assert price([(YEAR, "v", "+", 1.0, "EUR")], assets=assets) == pytest.approx(
        math.exp(0.5 * math.log(2.0)) * math.exp(-0.03), rel=1e-14)
    assert price([(3 * YEAR, "v", "+", 1.0, "USD")], assets=assets) == pytest.approx(math.exp(-(0.06 + 0.16) / 2))


def put_rows(t, strike, underlying="EUR", track="v"):
    # Booked latest first: max(-K, -S) + K = max(K - S, 0).
    return [(t, track, "+", strike, "USD"), (t, track, ">", -1.0, underlying), (t, track, "+", -strike, "USD")]


def call_rows(t, strike, underlying="EUR", track="v"):
    return [(t, track, "+", -strike, "USD"), (t, track, ">", 1.0, underlying), (t, track, "+", strike, "USD")]


@pytest.mark.parametrize("strike", [1.0, 1.15, 1.3])
def test_choices_give_option_payoffs_and_put_call_parity(strike):
    t = 2 * YEAR
    put, call = price(put_rows(t, strike)), price(call_rows(t, strike))
    assert put == pytest.approx(max(strike - fwd(2), 0) * df(2), abs=1e-14)
    assert call == pytest.approx(max(fwd(2) - strike, 0) * df(2), abs=1e-14)
    assert call - put == pytest.approx((fwd(2) - strike) * df(2), abs=1e-14)


@pytest.mark.parametrize(
    "op, later, value, expected, taken",
    [
        (">", 2.0, 3.0, 3.0, 1), (">", 2.0, 1.0, 2.0, 0), (">", 2.0, 2.0, 2.0, 0),
        ("<", 2.0, 3.0, 2.0, 0), ("<", 2.0, 1.0, 1.0, 1), ("<", 2.0, 2.0, 2.0, 0),
        # A NaN track value yields to the alternative, yet the choice counts as not taken.
        (">", math.nan, 1.0, 1.0, 0), ("<", math.nan, 1.0, 1.0, 0),
        (">", 2.0, math.nan, 2.0, 0), ("<", 2.0, math.nan, 2.0, 0),
        (">", None, -1.0, 0.0, 0),  # the first booking into a track starts from zero
    ],
)
def test_choice_keeps_the_better_side_path_by_path(op, later, value, expected, taken):
    rows = [(0, "v", op, value, "USD")] + ([(0, "v", "+", later, "USD")] if later is not None else [])
    stats = Stats()
    assert _kestro.fixed_price(timetable(rows), stats, dataset(flags=2), {}) == expected
    ((name, choices),) = stats.received
    assert name == "CHOICES" and choices[0][0].dtype == np.uint64 and choices[0][0].tolist() == [taken]


def test_rows_at_one_time_book_last_row_first():
    # A payment listed before the choice is added after it; one listed after is part of the continuation.
    before = [(0, "v", "+", 1.0, "USD"), (0, "v", ">", 5.0, "USD"), (0, "v", "+", 3.0, "USD")]
    after = [(0, "v", ">", 5.0, "USD"), (0, "v", "+", 3.0, "USD"), (0, "v", "+", 1.0, "USD")]
    assert price(before) == 6.0
    assert price(after) == 5.0


def test_track_units_book_the_referenced_tracks_later_value():
    rows = [(0, "v", "+", 99.0, "leg"), (YEAR, "leg", "+", 10.0, "USD"), (2 * YEAR, "leg", "+", 5.0, "USD")]
    # The Track row ignores its quantity and discount: it books leg's present value as it stands.
    assert price(rows) == pytest.approx(10 * df(1) + 5 * df(2), rel=1e-14)


def test_track_unit_referring_to_its_own_track_doubles_it():
    assert price([(0, "v", "+", 1.0, "v"), (YEAR, "v", "+", 1.0, "USD")]) == pytest.approx(2 * df(1))


def test_named_op_weights_the_booking():
    rows = [(0, "v", "w", 10.0, "USD"), (YEAR, "v", "+", 4.0, "USD")]
    weight = phrase(lambda a: [0.25])
    assert price(rows, {"w": weight}) == pytest.approx(4 * df(1) * 0.75 + 10 * 0.25, rel=1e-14)
    # A named op resolves snaps and assets too; the EUR weight is the undiscounted forward.
    assert price([(YEAR, "v", "EUR", 2.0, "USD")]) == pytest.approx(2 * df(1) * fwd(1), rel=1e-14)


def test_snappers_store_outputs_that_later_rows_use():
    seen = []

    def fix(inputs):
        seen.append([a.copy() for a in inputs])
        return [inputs[0] * 2, np.array([True]), 7.0]

    rows = [(YEAR, "unused", "ignored", 123.0, "S"), (2 * YEAR, "v", "+", 1.0, "A"), (2 * YEAR, "v", "+", 1.0, "B")]
    got = price(rows, {"S": snapper(fix, ["EUR", "USD"], ["A", "B"])}, tracks=["v", "unused"])
    assert got == pytest.approx((2 * fwd(1) + 1.0) * df(2), rel=1e-14)
    assert [list(map(float, a)) for a in seen[0]] == [pytest.approx([fwd(1)]), [1.0]]


def test_snapper_with_fewer_outputs_keeps_earlier_snaps():
    calls = iter([[5.0, 6.0], [9.0]])
    rows = [(0, "t", "+", 1.0, "S"), (0, "t", "+", 1.0, "S"), (0, "v", "+", 1.0, "A"), (0, "v", "+", 1.0, "B")]
    assert price(rows, {"S": snapper(lambda a: next(calls), [], ["A", "B"])}, tracks=["v", "t"]) == 9.0 + 6.0


def test_phrases_are_evaluated_at_every_reference_and_give_their_last_output():
    calls = []

    def p(inputs):
        calls.append(len(inputs))
        return [1.0, 2.0, 3.0]

    def q(inputs):
        return [inputs[0] + inputs[1]]

    rows = [(0, "v", "+", 1.0, "P"), (0, "v", "+", 1.0, "Q")]
    assert price(rows, {"P": phrase(p), "Q": phrase(q, ["P", "P"])}) == 3.0 + 6.0
    assert calls == [0, 0, 0]


def test_name_resolution_prefers_phrases_then_snaps_then_curves():
    got = []
    rows = [(0, "t", "+", 1.0, "S"), (YEAR, "v", "+", 1.0, "P")]
    exprs = {"S": snapper(lambda a: [42.0], [], ["EUR"]), "P": phrase(lambda a: got.append(a[0][0]) or [0.0], ["EUR"])}
    price(rows, exprs, tracks=["v", "t"])
    assert got == [42.0]
    exprs["EUR"] = phrase(lambda a: [-1.0])
    got.clear()
    price(rows, exprs, tracks=["v", "t"])
    assert got == [-1.0]


def test_expression_inputs_are_writable_float64_arrays():
    def check(inputs):
        (a,) = inputs
        assert isinstance(inputs, list) and a.dtype == np.float64 and a.ndim == 1 and a.flags.writeable
        a[:] = 99.0  # must not leak back into the engine
        return [1.0]

    exprs = {"P": phrase(check, ["C"]), "C": phrase(lambda a: [np.array([2.0])])}
    assert price([(0, "v", "+", 1.0, "P"), (0, "v", "+", 1.0, "C")], exprs) == 3.0


@pytest.mark.parametrize(
    "result, value",
    [
        ([np.array([1.0, 2.0, 3.0])[::3]], 1.0),  # strided
        ([np.array([True])], 1.0),
        ([np.array([False])], 0.0),
        ([np.float32(0.5)], 0.5),
        ([3], 3.0),
        ([np.array([2.5], dtype=">f8")], 2.5),
    ],
)
def test_expression_results_convert_to_path_arrays(result, value):
    assert price([(0, "v", "+", 2.0, "P")], {"P": phrase(lambda a: result)}) == 2 * value


# Errors

def at_event(row, description, cause):
    return f"Error at event:\n  #{row}: {description}, caused by \n{cause}"


ZERO = "track: Track(0), time: Single(1970-01-01T00:00:00Z)"


@pytest.mark.parametrize(
    "rows, expressions, kw, expected",
    [
        ([(0, "v", "+", 1.0, "XYZ")], {}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Asset(XYZ)",
                  "Asset 'XYZ' not found in snaps, expressions, or in dataset[ASSETS]")),
        ([(YEAR, "v", "+", 1.0, "USD"), (0, "v", "+", 2.5, "USD")], {}, {},
         at_event(1, f"{ZERO}, op: +, qty: 2.5, unit: Asset(USD)",
                  "event time is earlier than the current time 31536000000")),
        ([(-1, "v", "+", 1.0, "USD")], {}, {},
         at_event(0, "track: Track(0), time: Single(1969-12-31T23:59:59.999Z), op: +, qty: 1, unit: Asset(USD)",
                  "event time is earlier than the current time 0")),
        ([(0, "v", "+", 1.0, "A")], {"S": snapper(lambda a: [1.0], [], ["A"])}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Snap(A)", "Unknown Snap 'A'")),
        ([(0, "v", "+", 1.0, "P")], {"P": phrase(lambda a: [])}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Phrase(P)", "No output from phrase")),
        ([(0, "v", "+", 1.0, "P")], {"P": phrase(lambda a: 1 / 0)}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Phrase(P)",
                  "Error in Phrase Evaluation, caused by \nZeroDivisionError: division by zero")),
        ([(0, "v", "+", 1.0, "P")], {"P": phrase(lambda a: (1.0,))}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Phrase(P)",
                  "Error in Phrase Evaluation, caused by \n"
                  "Error in found value, likely incorrect type: 'tuple' object cannot be converted to 'PyList'")),
        ([(0, "v", "+", 1.0, "S")], {"S": snapper(lambda a: [None], [], ["A"])}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Snapper(S)",
                  "Error in Phrase Evaluation, caused by \n"
                  "Error in Python execution:\nExpected float or array, received <class 'NoneType'>")),
        ([(0, "v", "+", 1.0, "S")], {"S": snapper(42, [], ["A"])}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Snapper(S)",
                  "Error in Phrase Evaluation, caused by \nTypeError: 'int' object is not callable")),
        ([(0, "v", "+", 1.0, "P")], {"P": phrase(lambda a: [1.0], ["nope"])}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Phrase(P)",
                  "Asset 'nope' not found in snaps, expressions, or in dataset[ASSETS]")),
        ([(0, "v", "bad", 1.0, "USD")], {}, {},
         at_event(0, f"{ZERO}, op: bad, qty: 1, unit: Asset(USD)",
                  "Asset 'bad' not found in snaps, expressions, or in dataset[ASSETS]")),
        ([(None, "v", "+", 1.0, "USD")], {}, {},
         at_event(0, "track: Track(0), time: <none>, op: +, qty: 1, unit: Asset(USD)", "No event time")),
        ([(0, "v", "+", 1.0, None)], {}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: <none>", "Error in Event Specs: Missing Unit Name")),
        ([(0, "v", "+", 1.0, "P")], {"P": phrase(lambda a: a, ["Q"]), "Q": phrase(lambda a: a, ["P"])}, {},
         at_event(0, f"{ZERO}, op: +, qty: 1, unit: Phrase(P)", "Phrase 'P' refers to itself through its inputs")),
        ([(0, "v", "+", 1.0, "P")], {"P": phrase(lambda a: [np.zeros(3)])}, {},
         "Cannot book a path array of length 3 on 1 paths"),
        # Failures outside a row's evaluation carry no event wrapper.
        ([(20 * YEAR, "v", "+", 0.0, "USD")], {}, {},
         "Error in 'discount factor' value at 20, caused by \n'Error: Interpolation out of range at time 20.\n"
         " Perhaps the time range in forwards/discount data is too short.'"),
        ([(0, None, "+", 1.0, "USD")], {}, {}, "No track specified at event#0"),
        ([(0, "v", None, 1.0, "USD")], {}, {}, "Error in Op, caused by \nUnknown Op ''"),
        ([(0, "v", "w", 1.0, "other")], {}, {"tracks": ["v", "other"]}, "Track 1 not found"),
        ([(0, "v", "+", 1.0, "v"), (0, "v", "+", 1.0, "other")], {}, {"tracks": ["v", "other"]},
         "Track 1 not found"),
        ([(0, "other", "+", 1.0, "USD")], {}, {"tracks": ["v", "other"]}, "Track 0 not found"),
        ([(0, "v", "+", 1.0, "S")], {"S": snapper(lambda a: [], [], [])}, {}, "Track 0 not found"),
        ([], {}, {}, "Track 0 not found"),
    ],
)
def test_evaluation_errors_read_exactly(rows, expressions, kw, expected):
    assert eval_error(rows, expressions, **kw) == expected


def test_unit_dictionary_null_value_fails_the_row_as_unknown_unit():
    batch = timetable([(0, "v", "+", 1.0, "USD")])
    batch = batch.set_column(4, "unit", dict_column(["USD", None], [1]))
    with pytest.raises(RuntimeError) as info:
        _kestro.fixed_price(batch, None, dataset(), {})
    assert info.value.args[0] == EVAL + at_event(0, f"{ZERO}, op: +, qty: 1, unit: <none>", "Unknown Unit")


def test_failed_evaluation_sends_no_statistics():
    stats = Stats()
    with pytest.raises(RuntimeError):
        _kestro.fixed_price(timetable([(0, "v", "+", 1.0, "XYZ")]), stats, dataset(flags=15), {})
    assert stats.received == []


# Statistics

BERMUDAN = put_rows(YEAR, 1.2) + put_rows(2 * YEAR, 1.2)


@pytest.mark.parametrize("flags, names", [(0, []), (1, ["PV_VEC"]), (2, ["CHOICES"]), (4, []), (8, ["CASHFLOW"]),
                                          (9, ["PV_VEC", "CASHFLOW"]), (15, ["PV_VEC", "CHOICES", "CASHFLOW"])])
def test_flags_select_statistics_in_order(flags, names):
    stats = Stats()
    p = _kestro.fixed_price(timetable(BERMUDAN), stats, dataset(flags=flags), {})
    assert [name for name, _ in stats.received] == names
    received = dict(stats.received)
    if "PV_VEC" in received:
        assert received["PV_VEC"].dtype == np.float64 and received["PV_VEC"].tolist() == [p]


def test_choices_and_cashflows_follow_the_exercise():
    stats = Stats()
    p = _kestro.fixed_price(timetable(BERMUDAN), stats, dataset(flags=10), {})
    choices, cashflows = dict(stats.received)["CHOICES"], dict(stats.received)["CASHFLOW"]
    # Exercising early (row 1) beats waiting: the put is deep enough in the money.
    early = (1.2 - fwd(1)) * df(1)
    late = (1.2 - fwd(2)) * df(2)
    assert p == pytest.approx(max(early, late))
    assert set(choices) == {1, 4} and choices[1][0].tolist() == [int(early > late)]
    flows = {e: a.tolist()[0] for e, a in cashflows[0].items()}
    assert sum(flows.values()) == pytest.approx(p)
    if early > late:
        assert flows[3] == 0.0 and flows[5] == 0.0  # the later exercise's payments are voided
    for arrays in (cashflows[0].values(), [a for d in choices.values() for a in d.values()]):
        for array in arrays:
            assert array.flags.writeable and array.base is not None
            array[:] = 0  # owned by the caller now


def test_choice_against_zero_records_no_cashflow_of_its_own():
    stats = Stats()
    rows = [(0, "v", ">", 0.0, "USD"), (YEAR, "v", "+", -1.0, "USD")]
    assert _kestro.fixed_price(timetable(rows), stats, dataset(flags=10), {}) == 0.0
    received = dict(stats.received)
    assert received["CHOICES"][0][0].tolist() == [1]
    assert {e: a.tolist() for e, a in received["CASHFLOW"][0].items()} == {1: [0.0]}


def test_weighted_booking_scales_later_cashflows():
    stats = Stats()
    rows = [(0, "v", "w", 0.0, "USD"), (0, "v", "+", 8.0, "USD")]
    assert _kestro.fixed_price(timetable(rows), stats, dataset(flags=10), {"w": phrase(lambda a: [0.75])}) == 2.0
    received = dict(stats.received)
    assert received["CHOICES"] == {}
    assert {e: a.tolist() for e, a in received["CASHFLOW"][0].items()} == {1: [2.0]}


def test_set_stat_failures_do_not_stop_the_others_or_the_price():
    stats = Stats(fail_on=("PV_VEC",))
    assert _kestro.fixed_price(timetable(BERMUDAN), stats, dataset(flags=11), {}) > 0
    assert [name for name, _ in stats.received] == ["PV_VEC", "CHOICES", "CASHFLOW"]


def test_pv_vec_without_track_zero_fails_after_the_price_is_read():
    # The price read fails first, so nothing is sent.
    stats = Stats()
    with pytest.raises(RuntimeError, match="Track 0 not found"):
        _kestro.fixed_price(timetable([(0, "x", "+", 1.0, "USD")], tracks=["v", "x"]), stats, dataset(flags=1), {})
    assert stats.received == []
