"""Per node-step cost of fd_blackscholes_price on a daily-exercise put, against QuantLib.

The contract: a put with S = K = 100, r = 5%, sigma = 20%, one year, exercisable at the end of
each of the 365 days. On grids of 201, 2,001 and 20,001 nodes with a one-day TIMESTEP (365
roll-back steps), prints nanoseconds per node per time step for:

- fd_blackscholes_price with the put alone (one track), and with three more daily-exercise puts
  (K = 90, 110, 120) on their own tracks, so every step rolls four arrays;
- QuantLib's FdBlackScholesVanillaEngine (Crank-Nicolson, no damping steps) on the same node and
  step counts, with an AmericanExercise (its exercise condition is applied at every one of the
  365 steps, which on this time grid are the 365 days) and with a BermudanExercise on the 365
  dates (the same contract; QuantLib stops its solver at each date and takes about twice as long).

Each figure is the best of a few runs in this process, the engines taken in turn on each round; the ratio column divides by the
one-track figure. QuantLib is optional (`pip install ".[bench]"`).
Run: python bench/bench_fd.py
"""

import math
import time

import _kestro
import numpy as np
import pyarrow as pa

DAY_MS = 86_400_000
MS_PER_YEAR = 3.1536e10
DAYS = 365
SPOT = STRIKE = 100.0
RATE = 0.05
VOL = 0.2
TIMESTEP = 1 / 365  # years: one day, 86,400,000 ms
GRIDS = (100, 1_000, 10_000)  # N_X: 201, 2,001 and 20,001 nodes
EXTRA_STRIKES = (90.0, 110.0, 120.0)  # the puts on tracks "a", "b" and "c"


def timed(fn):
    """A callable that runs `fn` once and returns (ns, result)."""
    def run():
        start = time.perf_counter_ns()
        result = fn()
        return time.perf_counter_ns() - start, result
    return run


def best_interleaved(runs, repeat):
    """Best (ns, result) of each callable in `runs` (name -> () -> (ns, result)), taking them in
    turn on each round so that a burst of other work on the machine hits all of them alike."""
    best = {name: (math.inf, None) for name in runs}
    for _ in range(repeat):
        for name, run in runs.items():
            ns, result = run()
            if ns < best[name][0]:
                best[name] = (ns, result)
    return best


def keys(k):
    return pa.array(k, pa.int64())


def daily_puts(strikes):
    """At each day d, for each strike K on its own track: ("+", K, "USD"), (">", -1, "STK"),
    ("+", -K, "USD"). Walked backward, the track becomes max(continuation, K - S)."""
    times, tracks, ops, quantities, units = [], [], [], [], []
    for day in range(1, DAYS + 1):
        for track, strike in enumerate(strikes):
            for op, quantity, unit in ((0, strike, 0), (1, -1.0, 1), (0, -strike, 0)):
                times.append(day * DAY_MS)
                tracks.append(track)
                ops.append(op)
                quantities.append(quantity)
                units.append(unit)
    return pa.record_batch({
        "time": pa.array(times, pa.timestamp("ms")),
        "track": pa.DictionaryArray.from_arrays(keys(tracks), pa.array(["v", "a", "b", "c"][:len(strikes)])),
        "op": pa.DictionaryArray.from_arrays(keys(ops), pa.array(["+", ">"])),
        "quantity": pa.array(quantities, pa.float64()),
        "unit": pa.DictionaryArray.from_arrays(keys(units), pa.array(["USD", "STK"])),
    })


def dataset(n_x):
    return {
        "BASE": "USD", "PRICING_TS": 0,
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 30.0], [RATE, RATE]])),
                   "STK": ("FORWARDS", np.array([[0.0, 30.0], [SPOT, SPOT * math.exp(RATE * 30.0)]]))},
        "FD": {"N_X": n_x, "MAX_X": 6 * VOL, "TIMESTEP": TIMESTEP, "FLAGS": 0},
        "BS": {"VOL": VOL, "ASSET": "STK"},
    }


def rollback_steps(event_times, pricing_ts, timestep):
    """The roll-backs the grid takes: lattice points dt = trunc(TIMESTEP ms) apart, anchored at
    the last event and running down to PRICING_TS, plus each event off the lattice; steps
    shorter than 1e-10 years are skipped."""
    dt = int(timestep * MS_PER_YEAR)
    now = max(event_times)
    steps = 0

    def roll(target):
        nonlocal now, steps
        if (now - target) / MS_PER_YEAR >= 1e-10:
            steps += 1
            now = target

    lattice = now - dt
    for e in sorted(set(event_times), reverse=True):
        while lattice > e:
            roll(lattice)
            lattice -= dt
        roll(e)
    while lattice > pricing_ts:
        roll(lattice)
        lattice -= dt
    roll(pricing_ts)
    return steps


class Sink:
    def set_stat(self, name, value):
        self.value = value


def kestro_run(batch, n_x):
    data = dataset(n_x)
    return lambda: _kestro.fd_blackscholes_price(batch, Sink(), data, {})


def quantlib_runs():
    """Callables (nodes, steps) -> run, each run building a fresh option and engine and timing
    NPV() alone; None without QuantLib."""
    try:
        import QuantLib as ql
    except ImportError:
        return None
    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, 0.0, day_count, ql.Continuous)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, RATE, day_count, ql.Continuous)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, day_count)))
    dates = [today + day for day in range(1, DAYS + 1)]
    exercises = {
        "American": lambda: ql.AmericanExercise(today, dates[-1]),
        "Bermudan": lambda: ql.BermudanExercise(dates),
    }

    def make(exercise):
        def runner(nodes, steps):
            def run():
                option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, STRIKE), exercise())
                option.setPricingEngine(ql.FdBlackScholesVanillaEngine(
                    process, steps, nodes, 0, ql.FdmSchemeDesc.CrankNicolson()))
                start = time.perf_counter_ns()
                value = option.NPV()
                return time.perf_counter_ns() - start, value
            return run
        return runner

    return {name: make(exercise) for name, exercise in exercises.items()}


def main():
    one = daily_puts([STRIKE])
    four = daily_puts([STRIKE, *EXTRA_STRIKES])
    times = one.column("time").cast(pa.int64()).to_pylist()
    steps = rollback_steps(times, 0, TIMESTEP)
    ql_runs = quantlib_runs()

    print(f"Daily-exercise put, {DAYS} exercise dates, TIMESTEP 1/365: {steps} roll-back steps; best of several runs")
    print(f"{'':34}{'ms/call':>10}{'ns/node-step':>14}{'vs 1 track':>12}{'price':>12}")
    floor_ns, _ = best_interleaved({"floor": timed(kestro_run(one, 1))}, repeat=20)["floor"]
    print(f"{'fd_blackscholes_price, 3 nodes':34}{floor_ns / 1e6:10.3f}{'':14}{'':12}{'':12}")
    summary = []
    for n_x in GRIDS:
        nodes = 2 * n_x + 1
        node_steps = nodes * steps
        runs = {"fd_blackscholes_price, 1 track": timed(kestro_run(one, n_x)),
                "fd_blackscholes_price, 4 tracks": timed(kestro_run(four, n_x))}
        if ql_runs is not None:
            for name, runner in ql_runs.items():
                runs[f"QuantLib FD, {name}"] = runner(nodes, steps)
        rows = best_interleaved(runs, repeat=5 if nodes > 10_000 else 9)
        base = rows["fd_blackscholes_price, 1 track"][0]
        print(f"{nodes:,} nodes x {steps} steps")
        for name, (ns, value) in rows.items():
            print(f"  {name:32}{ns / 1e6:10.2f}{ns / node_steps:14.2f}{ns / base:11.2f}x{value:12.6f}")
        four_ns = rows["fd_blackscholes_price, 4 tracks"][0]
        summary.append((nodes, base, four_ns, node_steps,
                        {name[len("QuantLib FD, "):]: ns for name, (ns, _) in rows.items() if name.startswith("QuantLib")}))

    print()
    print("QuantLib / fd_blackscholes_price (one track), and the four-track call per track:")
    for nodes, base, four_ns, node_steps, ql_ns in summary:
        ratios = "".join(f"  {name} {ns / base:5.2f}x" for name, ns in ql_ns.items())
        print(f"  {nodes:>7,} nodes:{ratios}  4 tracks {four_ns / node_steps / 4:6.2f} ns per node-step per track"
              f" ({four_ns / base:.2f}x one track)")
    print(f"  The 3-node call (timetable, dataset, {steps} steps on 3 nodes) is "
          f"{floor_ns / summary[0][1]:.0%} of the {summary[0][0]}-node one-track call.")
    if ql_runs is None:
        print("QuantLib not installed: pip install QuantLib")


if __name__ == "__main__":
    main()
