"""Bermudan put under mc_price on NumPy GBM paths, against the same backward booking in NumPy.

Each of the exercise dates holds three rows on track 0, in this order: ("+", K, USD),
(">", -1, S), ("+", -K, USD). Booked last row first they leave max(continuation, K - S) on
every path. The paths come from a py_state that serves seeded GBM arrays computed up front;
the time spent inside its advance and get_value is subtracted from the mc_price wall time,
which leaves the engine's own share. The NumPy reference books the same rows backward on the
same arrays and produces the same price, choices and cashflows; both are checked to agree.
A second NumPy run gets the same statistics with the voiding of later cashflows done in one
forward pass instead of once per choice, for scale.

Peak memory is the growth of the process's resident high-water mark (VmHWM, reset through
/proc/self/clear_refs) during the call, compared with what the statistics themselves hold:
one float64 array per recorded cashflow and one uint64 array per choice, PATHS entries each.

Run: python bench/bench_mc.py [--paths N] [--dates D] [--repeat R] [--flags0] [--df-array]
"""

import argparse
import ctypes
import ctypes.util
import gc
import math
import time

import _kestro
import numpy as np
import pyarrow as pa

YEAR_MS = 31_536_000_000
PRICING_TS = 1_700_000_000_000  # ms
SPOT, STRIKE, RATE, VOL, MATURITY = 100.0, 100.0, 0.05, 0.2, 1.0
FLAGS_STATS = 2 | 8


# ---------------------------------------------------------------------------- memory

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak():
    """Resets VmHWM to the current RSS; returns False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _malloc_trim():
    """Hands freed heap pages back to the kernel, so that reusing them counts as growth again."""
    try:
        ctypes.CDLL(ctypes.util.find_library("c")).malloc_trim(0)
    except (OSError, AttributeError):
        pass


class PeakGrowth:
    """Peak RSS growth (bytes) over a block: VmHWM after minus VmRSS before."""

    def __enter__(self):
        gc.collect()
        _malloc_trim()
        self.exact = reset_peak()
        self.before = _status_kib("VmRSS")
        return self

    def __exit__(self, *exc):
        self.bytes = (_status_kib("VmHWM") - self.before) * 1024
        return False


# ---------------------------------------------------------------------------- paths

def gbm_paths(paths, dates, seed):
    """Asset arrays per exercise date and the step discount factors (deterministic rate)."""
    rng = np.random.default_rng(seed)
    dt = MATURITY / dates
    drift = (RATE - 0.5 * VOL * VOL) * dt
    log_s = np.full(paths, math.log(SPOT))
    spots = []
    for _ in range(dates):
        z = rng.standard_normal(paths)
        z *= VOL * math.sqrt(dt)
        z += drift
        log_s += z
        spots.append(np.exp(log_s))
    years = dt * np.arange(1, dates + 1)
    return years, spots, math.exp(-RATE * dt)


class PathState:
    """py_state for mc_price: serves the precomputed arrays and keeps the received statistics."""

    def __init__(self, spots, step_df, df_array):
        self.spots = spots
        self.step = -1
        self.step_df = np.full(len(spots[0]), step_df) if df_array else step_df
        self.callback_ns = 0
        self.calls = 0
        self.stats = {}

    def advance(self, x):
        start = time.perf_counter_ns()
        self.step += 1
        result = self.step_df
        self.callback_ns += time.perf_counter_ns() - start
        self.calls += 1
        return result

    def get_value(self, name):
        start = time.perf_counter_ns()
        result = self.spots[self.step] if name == "S" else None  # None: USD is worth 1
        self.callback_ns += time.perf_counter_ns() - start
        self.calls += 1
        return result

    def set_stat(self, name, value):
        self.stats[name] = value


# ---------------------------------------------------------------------------- contract

def bermudan_put(years):
    dates = len(years)
    times = PRICING_TS + np.round(years * YEAR_MS).astype(np.int64)
    keys = lambda k: pa.array(np.asarray(k, np.int64), pa.int64())
    per_date = lambda a: np.tile(np.asarray(a), dates)
    return pa.record_batch({
        "time": pa.array(np.repeat(times, 3), pa.timestamp("ms")),
        "track": pa.DictionaryArray.from_arrays(keys(np.zeros(3 * dates)), pa.array(["put"])),
        "op": pa.DictionaryArray.from_arrays(keys(per_date([0, 1, 0])), pa.array(["+", ">"])),
        "quantity": pa.array(per_date([STRIKE, -1.0, -STRIKE]).astype(np.float64)),
        "unit": pa.DictionaryArray.from_arrays(keys(per_date([0, 1, 0])), pa.array(["USD", "S"])),
    })


def dataset(paths, flags):
    knots = np.array([[0.0, 2.0 * MATURITY], [RATE, RATE]])
    return {"BASE": "USD", "PRICING_TS": PRICING_TS,
            "ASSETS": {"USD": ("ZERO_RATES", knots)},
            "MC": {"PATHS": paths, "SEED": 1, "FLAGS": flags}}


def run_engine(batch, spots, step_df, paths, flags, df_array):
    state = PathState(spots, step_df, df_array)
    data = dataset(paths, flags)
    with PeakGrowth() as peak:
        start = time.perf_counter_ns()
        price = _kestro.mc_price(batch, state, data, {})
        wall = time.perf_counter_ns() - start
    return {"price": price, "wall": wall / 1e9, "callbacks": state.callback_ns / 1e9,
            "engine": (wall - state.callback_ns) / 1e9, "calls": state.calls,
            "peak": peak.bytes, "stats": state.stats}


# ---------------------------------------------------------------------------- reference

def numpy_reference(spots, step_df, flags):
    """Books the rows last first as the ledger does: '+' adds and records its value; '>' keeps
    the alternative where it is strictly larger, records the choice, voids the track's later
    cashflows on those paths and records the alternative there as its own cashflow."""
    dates, paths = len(spots), len(spots[0])
    keep_choices, keep_cashflows = flags & 2, flags & 8
    dfs = np.cumprod(np.full(dates, step_df))  # the engine's running product
    track = np.zeros(paths)
    choices, cashflows = {}, {}
    for j in range(dates - 1, -1, -1):
        row = 3 * j
        df = dfs[j]
        # ("+", -K): a payment of -K on every path
        track += -STRIKE * df
        if keep_cashflows:
            cashflows[row + 2] = np.full(paths, -STRIKE * df)
        # (">", -S): exercise where -S beats the continuation net of the strike
        alt = spots[j] * -df
        taken = alt > track
        if keep_cashflows:
            hit = np.flatnonzero(taken)
            for later in cashflows.values():
                later[hit] = 0.0
            cashflows[row + 1] = np.where(taken, alt, 0.0)
        if keep_choices:
            choices[row + 1] = {0: taken.astype(np.uint64)}
        np.copyto(track, alt, where=taken)
        # ("+", K)
        track += STRIKE * df
        if keep_cashflows:
            cashflows[row] = np.full(paths, STRIKE * df)
    stats = {}
    if keep_choices:
        stats["CHOICES"] = choices
    if keep_cashflows:
        stats["CASHFLOW"] = {0: cashflows}
    return float(track.mean()), stats


def numpy_forward_voiding(spots, step_df, flags):
    """The same statistics with the voiding done once per row instead of once per choice and later
    row: the backward pass records the raw cashflows and the choices, then one forward pass
    zeroes each row's cashflow on the paths where an earlier choice was taken."""
    dates, paths = len(spots), len(spots[0])
    dfs = np.cumprod(np.full(dates, step_df))  # the engine's running product
    track = np.zeros(paths)
    choices, cashflows = {}, {}
    for j in range(dates - 1, -1, -1):
        row = 3 * j
        df = dfs[j]
        track += -STRIKE * df
        alt = spots[j] * -df
        taken = alt > track
        np.copyto(track, alt, where=taken)
        track += STRIKE * df
        choices[row + 1] = taken
        if flags & 8:
            cashflows[row + 2] = np.full(paths, -STRIKE * df)
            cashflows[row + 1] = np.where(taken, alt, 0.0)
            cashflows[row] = np.full(paths, STRIKE * df)
    if flags & 8:
        voided = np.zeros(paths, dtype=bool)
        for row in range(3 * dates):
            if row > 1:
                np.copyto(cashflows[row], 0.0, where=voided)
            if row in choices:
                voided |= choices[row]
    stats = {}
    if flags & 2:
        stats["CHOICES"] = {e: {0: taken.astype(np.uint64)} for e, taken in choices.items()}
    if flags & 8:
        stats["CASHFLOW"] = {0: cashflows}
    return float(track.mean()), stats


def run_reference(spots, step_df, flags, reference=numpy_reference):
    with PeakGrowth() as peak:
        start = time.perf_counter_ns()
        price, stats = reference(spots, step_df, flags)
        seconds = (time.perf_counter_ns() - start) / 1e9
    return {"price": price, "seconds": seconds, "peak": peak.bytes, "stats": stats}


def check_same(engine, reference, flags):
    assert math.isclose(engine["price"], reference["price"], rel_tol=1e-12, abs_tol=1e-12), \
        (engine["price"], reference["price"])
    mine, theirs = engine["stats"], reference["stats"]
    if flags & 2:
        assert mine["CHOICES"].keys() == theirs["CHOICES"].keys()
        for e, by_track in theirs["CHOICES"].items():
            assert mine["CHOICES"][e].keys() == by_track.keys()
            got = mine["CHOICES"][e][0]
            assert got.dtype == np.uint64 and np.array_equal(got, by_track[0]), f"choice {e}"
    if flags & 8:
        assert mine["CASHFLOW"].keys() == theirs["CASHFLOW"].keys()
        got, want = mine["CASHFLOW"][0], theirs["CASHFLOW"][0]
        assert got.keys() == want.keys()
        for e in want:
            assert np.allclose(got[e], want[e], rtol=1e-13, atol=1e-13), f"cashflow {e}"
        # the cashflows that survive the later choices add up to the price
        total = np.zeros(len(got[0]))
        for cashflow in got.values():
            total += cashflow
        assert math.isclose(total.mean(), engine["price"], rel_tol=1e-10), total.mean()


def warm_up(nbytes):
    """Touches `nbytes` of memory once and frees it. The first use of fresh memory can cost far
    more than reusing freed pages (virtual machines often back their memory lazily); without
    this, whichever run came first would pay for it."""
    chunk = 1 << 27
    blocks = [np.ones(chunk // 8) for _ in range(max(1, nbytes // chunk))]
    del blocks
    gc.collect()
    _malloc_trim()


def minimum_bytes(stats, paths):
    arrays = sum(len(by_track) for by_track in stats.get("CHOICES", {}).values())
    arrays += sum(len(by_event) for by_event in stats.get("CASHFLOW", {}).values())
    return arrays, arrays * paths * 8


# ---------------------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--paths", type=int, default=1_000_000)
    parser.add_argument("--dates", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per case, best kept")
    parser.add_argument("--flags0", action="store_true", help="also time FLAGS 0 (price only)")
    parser.add_argument("--df-array", action="store_true",
                        help="advance returns per-path discount arrays instead of a float")
    args = parser.parse_args()

    years, spots, step_df = gbm_paths(args.paths, args.dates, seed=20240101)
    batch = bermudan_put(years)
    # the engine's statistics and the NumPy ones are alive together while they are compared
    warm_up(2 * (4 * args.dates + 2) * args.paths * 8)
    print(f"Bermudan put, {args.paths:,} paths, {args.dates} exercise dates, "
          f"{3 * args.dates} rows; best of {args.repeat} runs")
    if not reset_peak():
        print("(VmHWM cannot be reset here: peak figures include earlier allocations)")

    references = [("NumPy, the same backward booking", numpy_reference),
                  ("NumPy, voiding in one forward pass", numpy_forward_voiding)]
    cases = [FLAGS_STATS] + ([0] if args.flags0 else [])
    results = []
    for flags in cases:
        best = {}
        arrays = minimum = 0
        for _ in range(args.repeat):
            engine = run_engine(batch, spots, step_df, args.paths, flags, args.df_array)
            runs = {"engine": engine}
            for name, reference in references[: 2 if flags & 8 else 1]:
                runs[name] = run_reference(spots, step_df, flags, reference)
                check_same(engine, runs[name], flags)
                runs[name]["stats"] = None
                gc.collect()
            arrays, minimum = minimum_bytes(engine["stats"], args.paths)
            engine["stats"] = None
            gc.collect()
            for name, run in runs.items():
                key = "engine" if name == "engine" else "seconds"
                if name not in best or run[key] < best[name][key]:
                    best[name] = run
        results.append((flags, best, arrays, minimum))

    gib = 1024.0 ** 3
    print(f"{'':44}{'seconds':>9}{'engine/this':>13}{'price':>16}{'peak GiB':>10}{'/minimum':>10}")
    for flags, best, arrays, minimum in results:
        engine = best["engine"]
        print(f"FLAGS {flags}: " + (f"statistics {arrays} arrays x {args.paths:,} paths x 8 B = "
                                    f"{minimum / gib:.2f} GiB minimum" if minimum else "no statistics"))
        per_min = lambda peak: f"{peak / minimum:9.2f}x" if minimum else f"{'':10}"
        lines = [("  mc_price, wall", engine["wall"], None, engine["price"], engine["peak"]),
                 (f"  inside advance/get_value ({engine['calls']} calls)", engine["callbacks"], None, None, None),
                 ("  mc_price, engine share", engine["engine"], None, None, None)]
        lines += [("  " + name, best[name]["seconds"], engine["engine"] / best[name]["seconds"],
                   best[name]["price"], best[name]["peak"]) for name, _ in references if name in best]
        for label, seconds, ratio, price, peak in lines:
            print(f"{label:44}{seconds:9.4f}" + (f"{ratio:12.2f}x" if ratio else f"{'':13}")
                  + (f"{price:16.10f}" if price is not None else f"{'':16}")
                  + (f"{peak / gib:10.3f}" + per_min(peak) if peak is not None else ""))
    print("prices and statistics of every NumPy run checked equal to mc_price's")
    for flags, best, _, _ in results:  # last lines, one per case: "name: ratio"
        print(f"mc_price FLAGS {flags} engine/NumPy: {best['engine']['engine'] / best[references[0][0]]['seconds']:.2f}")


if __name__ == "__main__":
    main()
