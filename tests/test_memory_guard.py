"""What a call holds is checked against the memory the process can still get, and arrays whose
shape is wrong are refused before they are read: no call runs the machine out of memory or pays
gigabytes for a refusal. Each case runs in a subprocess so its peak memory is its own."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

PRELUDE = """
import resource, numpy as np, pyarrow as pa, _kestro
P = 1_767_225_600_000
DAY = 86_400_000

def timetable(rows):
    keyed = lambda values: pa.DictionaryArray.from_arrays(
        pa.array([sorted(set(values)).index(v) for v in values], pa.int64()), pa.array(sorted(set(values))))
    return pa.record_batch({"time": pa.array([r[0] for r in rows], pa.timestamp("ms")),
                            "track": keyed([r[1] for r in rows]), "op": keyed([r[2] for r in rows]),
                            "quantity": pa.array([r[3] for r in rows], pa.float64()), "unit": keyed([r[4] for r in rows])})

USD = ("ZERO_RATES", np.array([[0.0, 10.0], [0.02, 0.02]]))
def dataset(paths, flags=0, **assets):
    return {"BASE": "USD", "PRICING_TS": P, "ASSETS": {"USD": USD, **assets},
            "MC": {"PATHS": paths, "SEED": 0, "FLAGS": flags}}

def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

def limit(gb):
    # Room for gb more of address space than the process uses now (after pyarrow has set up).
    pages = int(open("/proc/self/statm").read().split()[0])
    room = pages * resource.getpagesize() + int(gb * 2**30)
    resource.setrlimit(resource.RLIMIT_AS, (room, room))
"""


def run(body):
    """Runs ``body`` after the prelude in a fresh interpreter; returns what it printed."""
    code = PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_walk_that_would_hold_more_than_the_memory_left_is_refused_as_it_grows():
    """Every row keeps its path array until the rows are booked: 400 rows of 10^6 paths hold 3.2 GB,
    refused under a 1.5 GB limit instead of failing an allocation."""
    out = run("""
        class Paths:
            def advance(self, x): return None
            def get_value(self, name): return np.ones(1_000_000)
        events = timetable([(P + DAY * (1 + i), "v", "+", 1.0, "STK") for i in range(400)])
        limit(1.5)
        try:
            _kestro.mc_price(events, Paths(), dataset(1_000_000), {})
        except RuntimeError as error:
            print(error)
    """)
    assert "The walk holds" in out and "of path arrays by this row; this machine has only" in out
    assert "MB more available" in out and "#" in out  # the row where it stopped


def test_a_walk_that_fits_is_not_refused_by_the_guard():
    out = run("""
        class Paths:
            def advance(self, x): return None
            def get_value(self, name): return np.full(1_000_000, 2.0)
        events = timetable([(P + DAY * (1 + i), "v", "+", 1.0, "STK") for i in range(40)])
        limit(1.5)
        print(_kestro.mc_price(events, Paths(), dataset(1_000_000), {}))
    """)
    assert float(out) > 70.0


@pytest.mark.parametrize("method", ["get_value", "advance"])
def test_a_broadcast_view_of_the_wrong_length_is_refused_before_it_is_copied(method):
    """np.broadcast_to of 2*10^8 elements costs nothing to make; copying it would cost 1.5 GiB."""
    out = run(f"""
        big = np.broadcast_to(np.float64(1.0), (200_000_000,))
        class Paths:
            def advance(self, x): return big if "{method}" == "advance" else None
            def get_value(self, name): return big if "{method}" == "get_value" else None
        before = peak_mb()
        try:
            _kestro.mc_price(timetable([(P + DAY, "v", "+", 1.0, "STK")]), Paths(), dataset(10), {{}})
        except RuntimeError as error:
            print(str(error).splitlines()[-1])
        print(peak_mb() - before)
    """)
    message, grown = out.splitlines()
    assert "returned an array of length 200000000; expected 1 or PATHS = 10" in message
    assert float(grown) < 100.0


def test_a_curve_whose_times_do_not_rise_is_refused_without_reading_the_rest():
    """A (2, 2*10^8) curve of stride 0 would copy 3.2 GB twice before its times are found flat."""
    out = run("""
        flat = np.broadcast_to(np.float64(1.0), (2, 200_000_000))
        before = peak_mb()
        try:
            _kestro.fixed_price(timetable([(P + DAY, "v", "+", 1.0, "USD")]), None,
                                {"BASE": "USD", "PRICING_TS": P, "ASSETS": {"USD": ("ZERO_RATES", flat)},
                                 "FIXED": {"FLAGS": 0}}, {})
        except RuntimeError as error:
            print(str(error).splitlines()[-1])
        print(peak_mb() - before)
    """)
    message, grown = out.splitlines()
    assert "strictly monotonic rising" in message
    assert float(grown) < 100.0


def test_a_request_beyond_the_address_space_limit_is_refused_before_allocating():
    out = run("""
        events = timetable([(P + DAY, "v", "+", 1.0, "USD")])
        limit(1.0)
        try:
            _kestro.mc_price(events, None, dataset(400_000_000), {})
        except RuntimeError as error:
            print(str(error).splitlines()[-1])
    """)
    assert "PATHS = 400000000" in out and "MB available" in out


@pytest.mark.parametrize("kind", ["snapper", "phrase"])
def test_expression_outputs_nobody_reads_are_checked_but_not_copied(kind):
    """A snapper with one output name returning three 2*10^8 views, or a phrase whose value is
    its last output, reads only what it keeps: no gigabytes for the others."""
    out = run(f"""
        big = np.broadcast_to(np.float64(1.0), (200_000_000,))
        fn = lambda inputs: [2.0, big, big, big] if "{kind}" == "snapper" else [big, big, big, 3.0]
        entry = {{"type": "{kind}", "fn": fn, "inp": []}}
        if "{kind}" == "snapper":
            entry["out"] = ["kept"]
            rows = [(P + DAY, "v", "+", 1.0, "S"), (P + DAY, "v", "+", 1.0, "kept")]
        else:
            rows = [(P + DAY, "v", "+", 1.0, "S")]
        before = peak_mb()
        price = _kestro.fixed_price(timetable(rows), None, {{"BASE": "USD", "PRICING_TS": P, "ASSETS": {{"USD": USD}},
                                                           "FIXED": {{"FLAGS": 0}}}}, {{"S": entry}})
        print(price, peak_mb() - before)
    """)
    price, grown = out.split()
    assert float(price) == pytest.approx((2.0 if kind == "snapper" else 3.0) * np.exp(-0.02 / 365), rel=1e-12)
    assert float(grown) < 100.0


def test_an_unread_output_of_the_wrong_type_is_still_refused():
    out = run("""
        fn = lambda inputs: [None, 1.0]
        try:
            _kestro.fixed_price(timetable([(P + DAY, "v", "+", 1.0, "S")]), None,
                                {"BASE": "USD", "PRICING_TS": P, "ASSETS": {"USD": USD}, "FIXED": {"FLAGS": 0}},
                                {"S": {"type": "phrase", "fn": fn, "inp": []}})
        except RuntimeError as error:
            print(str(error).splitlines()[-1])
    """)
    assert "Expected float or array, received <class 'NoneType'>" in out
