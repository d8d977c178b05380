"""mc_price end to end: the calls on py_state, its path arrays and discount factors, the mean and the statistics."""

import math
from datetime import datetime, timezone

import _kestro
import numpy as np
import pytest

from conftest import timetable

YEAR = 31_536_000_000  # ms in a 365-day year
P = 1_767_225_600_000  # pricing time, 2026-01-01T00:00:00Z
R = 0.03
EVAL = "Error during model evaluation, caused by\n"


def curve(times, values, kind="ZERO_RATES"):
    return (kind, np.array([times, values], dtype=float))


def dataset(paths=3, flags=0):
    return {"BASE": "USD", "PRICING_TS": P, "MC": {"PATHS": paths, "SEED": 1, "FLAGS": flags},
            "ASSETS": {"USD": curve([0.0, 10.0], [R, R]),
                       "EQ": curve([0.0, 10.0], [100.0, 100.0 * math.exp(R * 10)], "FORWARDS")}}


def df(x):
    return math.exp(-R * x)


class State:
    """Records every call; `advance` answers from `steps` in turn (None when exhausted, an
    exception is raised), `get_value` from `values` by name (a callable gets the name)."""

    def __init__(self, steps=(), values=None):
        self.calls, self.stats, self.steps, self.values = [], [], list(steps), values

    def advance(self, *args):
        self.calls.append(("advance", *args))
        answer = self.steps.pop(0) if self.steps else None
        if isinstance(answer, Exception):
            raise answer
        return answer

    def get_value(self, *args):
        self.calls.append(("get_value", *args))
        return self.values(*args) if callable(self.values) else (self.values or {}).get(args[0])

    def set_stat(self, name, value):
        self.stats.append((name, value))


def mc(rows, state, expressions=None, paths=3, flags=0, **kw):
    return _kestro.mc_price(timetable(rows, **kw), state, dataset(paths, flags), expressions or {})


def eval_error(rows, state, expressions=None, **kw):
    with pytest.raises(RuntimeError) as info:
        mc(rows, state, expressions, **kw)
    (text,) = info.value.args
    assert text.startswith(EVAL), text
    return text[len(EVAL):]


def phrase(fn, inp=()):
    return {"type": "phrase", "fn": fn, "inp": list(inp)}


def snapper(fn, inp=(), out=()):
    return {"type": "snapper", "fn": fn, "inp": list(inp), "out": list(out)}


def at_event(row, t, op, qty, unit, cause):
    """The event wrapper around `cause` for row `row` on track 0 at `t` (whole seconds, or None)."""
    time = f"Single({datetime.fromtimestamp(t / 1000, timezone.utc):%Y-%m-%dT%H:%M:%SZ})" if t is not None else "<none>"
    return (f"Error at event:\n  #{row}: track: Track(0), time: {time}, op: {op}, qty: {qty}, unit: {unit}, "
            f"caused by \n{cause}")


# Calls on py_state


def test_advance_once_per_later_time_and_get_value_for_every_asset_lookup():
    t1, t2 = P + 12_345_678_901, P + 2 * YEAR + 7
    exprs = {
        "Snp": snapper(lambda a: [a[0]], ["USD"], ["A"]),
        "Q": phrase(lambda a: [1.0]),
        "Phr": phrase(lambda a: [a[0] + a[1] + a[2]], ["EQ", "A", "Q"]),
        "w": phrase(lambda a: [0.5], ["FX"]),
    }
    rows = [
        (P, "v", "+", 1.0, "EQ"),
        (P, "s", "+", 0.0, "Snp"),
        (t1, "v", "+", 2.0, "USD"),
        (t1, "v", "w", 1.0, "Phr"),  # unit inputs first, then the named op's phrase and its input
        (t2, "v", "EQ", 1.0, "USD"),  # a named op that is an asset is looked up
        (t2, "v", "A", 1.0, "USD"),  # one that is a snap is not
    ]
    state = State(values=lambda name: np.ones(3))
    mc(rows, state, exprs)
    assert state.calls == [
        ("get_value", "EQ"), ("get_value", "USD"),
        ("advance", (t1 - P) / 3.1536e10), ("get_value", "USD"), ("get_value", "EQ"), ("get_value", "FX"),
        ("advance", (t2 - P) / 3.1536e10), ("get_value", "USD"), ("get_value", "EQ"), ("get_value", "USD"),
    ]
    assert all(type(c[1]) is float for c in state.calls if c[0] == "advance")


def contract_rows():
    """Payments, a choice on a snap, a named op weighted by a phrase, and an issuer's choice."""
    return [
        (P, "v", "+", 2.0, "USD"),
        (P + YEAR // 2, "v", "+", 1.0, "EQ"),
        (P + YEAR // 2, "s", "+", 0.0, "Snp"),
        (P + YEAR, "v", ">", 1.0, "A"),
        (P + YEAR, "v", "+", 3.0, "USD"),
        (P + YEAR, "v", "w", 2.0, "EQ"),
        (P + 2 * YEAR, "v", "<", -1.0, "EQ"),
    ], {"Snp": snapper(lambda a: [a[0] * 0.99], ["EQ"], ["A"]), "w": phrase(lambda a: [a[0] * 0.25], ["USD"])}


@pytest.mark.parametrize(
    "answer",
    [None, 123.0, 7, np.float64(2.0), [1.0, 2.0, 3.0], np.ones(3, dtype=np.int64), np.ones(3, dtype=bool),
     np.ones(3, dtype=np.float32), np.ones((3, 1)), "1.0"],
    ids=["none", "float", "int", "numpy-scalar", "list", "int-array", "bool-array", "float32-array", "2d-array", "str"],
)
def test_answers_other_than_float64_vectors_price_like_the_fixed_model(answer):
    rows, exprs = contract_rows()
    fixed = _kestro.fixed_price(timetable(rows), None, dataset(), exprs)
    state = State(values=lambda name: answer)
    assert mc(rows, state, exprs, flags=1) == pytest.approx(fixed, rel=1e-14)
    ((name, pv),) = state.stats
    assert name == "PV_VEC" and pv.tolist() == pytest.approx([fixed] * 3, rel=1e-14)


class Half:
    def __float__(self):
        return 0.5


A1, A3 = np.array([0.9, 0.8, 0.7]), np.array([0.5, 1.0, 2.0])
RESET = object()  # the step's answer resets the vector to the curve's factor


@pytest.mark.parametrize(
    "answer, factor",
    [
        (0.5, 0.5), (1, 1.0), (True, 1.0), (np.float64(0.25), 0.25), (Half(), 0.5),
        (np.array([0.5]), 0.5),
        (np.array([0.1, 9.0, 0.2, 9.0, 0.3])[::2], [0.1, 0.2, 0.3]),
        (np.array([0.3, 0.2, 0.1])[::-1], [0.1, 0.2, 0.3]),
        (np.array([0.1, 0.2, 0.3], dtype=">f8"), [0.1, 0.2, 0.3]),
        (np.asfortranarray(np.array([[0.1, 0.2, 0.3], [9.0, 9.0, 9.0]]))[0], [0.1, 0.2, 0.3]),
        (None, RESET), ("0.5", RESET), ([0.5, 0.5, 0.5], RESET), (np.full(3, 0.5, dtype=np.float32), RESET),
        (np.full((3, 2), 0.5), RESET),
    ],
    ids=["float", "int-one", "bool", "numpy-scalar", "__float__", "length-1", "strided", "reversed", "big-endian",
         "fortran-row", "none", "str", "list", "float32", "2d"],
)
def test_advance_answers_multiply_the_running_discount_or_reset_it_to_the_curve(answer, factor):
    x = [0.5, 1.25, 2.0]
    rows = [(P, "v", "+", 1.0, "USD")] + [(P + int(xi * YEAR), "v", "+", 1.0, "USD") for xi in x]
    state = State(steps=[A1, answer, A3])
    mc(rows, state, flags=8)
    ((name, flows),) = state.stats
    d2 = np.full(3, df(x[1])) if factor is RESET else A1 * np.asarray(factor)
    expected = {0: np.ones(3), 1: A1, 2: d2, 3: d2 * A3}
    assert set(flows[0]) == set(expected)
    for event, values in expected.items():
        assert flows[0][event].dtype == np.float64
        assert flows[0][event].tolist() == pytest.approx(values.tolist(), rel=1e-15), event


@pytest.mark.parametrize("op, exprs", [("w", {"w": phrase(lambda a: [a[0] / 200.0], ["EQ"])}), ("EQ", {})],
                         ids=["phrase-input", "named-op"])
def test_get_value_arrays_are_copied_scaled_and_discounted_per_path(op, exprs):
    spot = np.array([[100.0, 0.0], [110.0, 0.0], [120.0, 0.0]])[:, 0]  # strided column
    disc = np.array([0.9, 0.8, 0.7])
    state = State(steps=[disc], values={"EQ": spot})
    price = mc([(P + YEAR, "v", op, 2.0, "EQ")], state, exprs, flags=1)
    weight = spot / 200.0 if op == "w" else spot  # neither discounted nor scaled by the quantity
    pv = 2.0 * spot * disc * weight
    assert state.stats[0][1].tolist() == pytest.approx(pv.tolist(), rel=1e-15)
    assert price == pytest.approx(pv.mean(), rel=1e-15)
    assert spot.tolist() == [100.0, 110.0, 120.0] and disc.tolist() == [0.9, 0.8, 0.7]


def test_methods_are_looked_up_at_every_call():
    state = State(values={"EQ": np.ones(3)})

    def first(x):
        state.advance = lambda x: 0.5
        state.get_value = lambda name: np.full(3, 4.0)
        return 0.1

    state.advance = first
    rows = [(P + YEAR, "v", "+", 1.0, "EQ"), (P + 2 * YEAR, "v", "+", 1.0, "EQ")]
    assert mc(rows, state) == pytest.approx(4.0 * 0.1 + 4.0 * 0.1 * 0.5)


@pytest.mark.parametrize("paths", [1, 3, 4, 5, 8, 1001])
def test_price_is_the_mean_over_paths(paths):
    values = np.random.default_rng(paths).lognormal(0.0, 2.0, paths)
    state = State(values={"EQ": values})
    price = mc([(P, "v", "+", 1.0, "EQ")], state, paths=paths, flags=1)
    assert price == pytest.approx(math.fsum(values) / paths, rel=1e-14)
    assert state.stats[0][1].shape == (paths,)


# Errors


def boom(*args):
    raise ValueError("no paths today")


class NoAdvance:
    def get_value(self, name):
        return None


class NoGetValue:
    def advance(self, x):
        return None


EQ_ROW = "+", 1, "Asset(EQ)"
GET_VALUE_FAILED = "Error in Python method 'get_value', caused by \nValueError: no paths today"


@pytest.mark.parametrize(
    "rows, state, exprs, expected",
    [
        ([(P, "v", "+", 1.0, "EQ"), (P + YEAR, "v", "+", 1.0, "EQ")], State(steps=[ValueError("no paths today")]), {},
         "Error in Python method 'advance', caused by \nValueError: no paths today"),
        ([(P + YEAR, "v", "+", 1.0, "EQ")], NoAdvance(), {},
         "Error in Python method 'advance', caused by \nAttributeError: 'NoAdvance' object has no attribute 'advance'"),
        ([(P, "v", "+", 1.0, "EQ")], State(values=boom), {}, at_event(0, P, *EQ_ROW, GET_VALUE_FAILED)),
        ([(P, "v", "+", 1.0, "EQ")], NoGetValue(), {},
         at_event(0, P, *EQ_ROW, "Error in Python method 'get_value', caused by \n"
                                 "AttributeError: 'NoGetValue' object has no attribute 'get_value'")),
        ([(P, "v", "+", 1.0, "P")], State(values=boom), {"P": phrase(lambda a: [1.0], ["EQ"])},
         at_event(0, P, "+", 1, "Phrase(P)", GET_VALUE_FAILED)),
        ([(P, "v", "EQ", 1.0, "P")], State(values=lambda n: boom() if n == "EQ" else None),
         {"P": phrase(lambda a: [1.0])}, at_event(0, P, "EQ", 1, "Phrase(P)", GET_VALUE_FAILED)),
        ([(None, "v", "+", 1.0, "EQ")], State(), {}, at_event(0, None, *EQ_ROW, "missing time")),
        ([(P - 1000, "v", "+", 1.0, "EQ")], State(), {},
         at_event(0, P - 1000, *EQ_ROW, f"event time is earlier than the current time {P}")),
    ],
    ids=["advance-raises", "no-advance", "get_value-raises", "no-get_value", "input-raises", "named-op-raises",
         "missing-time", "before-pricing-time"],
)
def test_failures_read_exactly_and_send_no_statistics(rows, state, exprs, expected):
    with pytest.raises(RuntimeError) as info:
        _kestro.mc_price(timetable(rows), state, dataset(flags=15), exprs)
    assert info.value.args[0] == EVAL + expected
    assert getattr(state, "stats", []) == []
    assert all(c[1] >= 0 for c in getattr(state, "calls", []) if c[0] == "advance")


@pytest.mark.parametrize(
    "steps, values, row, method, length",
    [
        ([np.ones(2)], None, 0, "advance", 2),
        ([np.ones(4)], None, 0, "advance", 4),
        ([], {"EQ": np.ones(2)}, 1, "get_value", 2),
        ([], {"EQ": np.ones(0)}, 1, "get_value", 0),
    ],
)
def test_arrays_of_neither_one_entry_nor_one_per_path_are_refused(steps, values, row, method, length):
    rows = [(P + YEAR, "v", "+", 1.0, "USD"), (P + YEAR, "v", "+", 1.0, "EQ")]
    text = eval_error(rows, State(steps=steps, values=values))
    assert text.startswith("Error at event") == (method == "get_value")
    if method == "get_value":
        prefix = at_event(1, P + YEAR, *EQ_ROW, "")
        assert text.startswith(prefix), text
        text = text[len(prefix):]
    # Free wording, but it names the call, the array's length and the number of paths.
    assert method in text and f"length {length}" in text and "3" in text.replace(f"length {length}", ""), text


@pytest.mark.parametrize("steps, values", [([], None), ([np.ones(0)], {"EQ": np.ones(0)})])
def test_zero_paths_give_an_empty_pv_vector(steps, values):
    rows = [(P, "v", "+", 1.0, "USD"), (P + YEAR, "v", "+", 1.0, "EQ")]
    assert eval_error(rows, State(steps=steps, values=values), paths=0) == "Empty PV Vector"


# Statistics


def test_statistics_hold_one_entry_per_path():
    spot, disc, strike = np.array([80.0, 90.0, 100.0, 110.0, 120.0]), np.array([0.9, 0.95, 1.0, 0.97, 0.99]), 100.0
    state = State(steps=[disc], values={"EQ": spot})
    rows = [(P + YEAR, "v", "+", -strike, "USD"), (P + YEAR, "v", ">", 1.0, "EQ"), (P + YEAR, "v", "+", strike, "USD")]
    price = mc(rows, state, paths=5, flags=15)
    assert spot.tolist() == [80.0, 90.0, 100.0, 110.0, 120.0] and disc.tolist() == [0.9, 0.95, 1.0, 0.97, 0.99]
    assert [name for name, _ in state.stats] == ["PV_VEC", "CHOICES", "CASHFLOW"]
    stats = dict(state.stats)
    pv = np.maximum(spot - strike, 0.0) * disc
    assert stats["PV_VEC"].dtype == np.float64 and stats["PV_VEC"].tolist() == pytest.approx(pv.tolist(), rel=1e-15)
    assert price == pytest.approx(pv.mean(), rel=1e-15)
    taken = [0, 0, 0, 1, 1]
    assert list(stats["CHOICES"]) == [1] and list(stats["CHOICES"][1]) == [0]
    assert stats["CHOICES"][1][0].dtype == np.uint64 and stats["CHOICES"][1][0].tolist() == taken
    flows = stats["CASHFLOW"][0]
    assert all(a.dtype == np.float64 and a.shape == (5,) for a in flows.values())
    assert flows[0].tolist() == pytest.approx((-strike * disc).tolist())
    assert flows[1].tolist() == pytest.approx((spot * disc * taken).tolist())
    assert flows[2].tolist() == pytest.approx((strike * disc * (1 - np.array(taken))).tolist())
    assert sum(flows.values()).tolist() == pytest.approx(pv.tolist())


# Option prices on simulated paths

S0, VOL, N = 100.0, 0.25, 200_000


def norm_cdf(z):
    return 0.5 * (1.0 + math.erf(z / math.sqrt(2.0)))


def black_scholes(kind, strike, t):
    d1 = (math.log(S0 / strike) + (R + VOL**2 / 2) * t) / (VOL * math.sqrt(t))
    d2 = d1 - VOL * math.sqrt(t)
    call = S0 * norm_cdf(d1) - strike * math.exp(-R * t) * norm_cdf(d2)
    return call if kind == "call" else call - S0 + strike * math.exp(-R * t)


class GbmState(State):
    """Risk-neutral GBM paths at fixed year fractions from one seeded generator; `advance`
    answers the step's discount factor as `discount` says (None: the model uses the curve)."""

    def __init__(self, times, discount):
        super().__init__()
        rng = np.random.default_rng(20260101)
        self.paths, log_s, last = {}, np.full(N, math.log(S0)), 0.0
        for x in times:
            log_s = log_s + (R - VOL**2 / 2) * (x - last) + VOL * math.sqrt(x - last) * rng.standard_normal(N)
            self.paths[x], last = np.exp(log_s), x
        self.x, self.discount = 0.0, discount

    def advance(self, x):
        self.calls.append(("advance", x))
        step, self.x = math.exp(-R * (x - self.x)), x
        return {"curve": None, "number": step, "array": np.full(N, step)}[self.discount]

    def get_value(self, name):
        return self.paths[self.x] if name == "EQ" else None


def option_rows(kind, strike, x):
    t, sign = P + round(x * YEAR), 1.0 if kind == "call" else -1.0
    # Booked latest first: max(±S, ±K) ∓ K, the payoff of the right to swap K for S (or S for K).
    return [(t, "v", "+", -sign * strike, "USD"), (t, "v", ">", sign, "EQ"), (t, "v", "+", sign * strike, "USD")]


def price_with_pv(rows, state):
    price = _kestro.mc_price(timetable(rows), state, dataset(N, flags=1), {})
    ((_, pv),) = state.stats
    return price, pv


@pytest.mark.parametrize("discount", ["curve", "number", "array"])
@pytest.mark.parametrize("kind, strike", [("call", 90.0), ("call", 110.0), ("put", 100.0)])
def test_european_option_on_gbm_paths_matches_black_scholes(kind, strike, discount):
    state = GbmState([1.0], discount)
    price, pv = price_with_pv(option_rows(kind, strike, 1.0), state)
    payoff = np.maximum(state.paths[1.0] - strike if kind == "call" else strike - state.paths[1.0], 0.0)
    assert pv.tolist() == pytest.approx((payoff * df(1.0)).tolist(), rel=1e-12, abs=1e-12)
    standard_error = pv.std(ddof=1) / math.sqrt(N)
    assert abs(price - black_scholes(kind, strike, 1.0)) < 4 * standard_error
    assert [c[1] for c in state.calls if c[0] == "advance"] == [1.0]


@pytest.mark.parametrize("discount", ["curve", "array"])
def test_bermudan_put_exercised_path_by_path_is_worth_at_least_the_european(discount):
    strike, times = 110.0, [0.5, 1.0]
    european, eu_pv = price_with_pv(option_rows("put", strike, 1.0), GbmState(times, discount))
    state = GbmState(times, discount)
    bermudan, be_pv = price_with_pv(option_rows("put", strike, 0.5) + option_rows("put", strike, 1.0), state)
    early, late = (np.maximum(strike - state.paths[x], 0.0) * df(x) for x in times)
    assert be_pv.tolist() == pytest.approx(np.maximum(early, late).tolist(), rel=1e-12, abs=1e-12)
    assert np.all(be_pv >= eu_pv - 1e-12)
    assert bermudan > european
    assert european == pytest.approx(late.mean(), rel=1e-12)
