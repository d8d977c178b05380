"""Named-op bookings with recorded cashflows: the cost must grow linearly with the rows.

A weighted booking (a row whose op names a phrase) scales every cashflow recorded earlier for
its track by 1 - weight. Rows alternate "+" and a named op on one track, with FLAGS 8, at N and
4N rows, for the fixed model and for mc_price on 64 paths; weights of exactly 0 or 1 (exercise
rules) and weights in between. Prints the time ratio 4N / N of each; linear is 4.

Run: python bench/bench_named_op.py [N]
"""

import sys
import time

import _kestro
import numpy as np
import pyarrow as pa

PRICING_TS = 1_767_225_600_000
DAY_MS = 86_400_000


def timetable(rows):
    pairs = [(PRICING_TS + DAY_MS * (1 + i // 2), "+" if i % 2 == 0 else "w") for i in range(rows)]
    keys = lambda values, names: pa.DictionaryArray.from_arrays(
        pa.array([names.index(v) for v in values], pa.int64()), pa.array(names))
    return pa.record_batch({
        "time": pa.array([t for t, _ in pairs], pa.timestamp("ms")),
        "track": keys(["v"] * rows, ["v"]),
        "op": keys([op for _, op in pairs], ["+", "w"]),
        "quantity": pa.array(np.ones(rows)),
        "unit": keys(["USD"] * rows, ["USD"]),
    })


def expressions(paths, zero_one):
    rng = np.random.default_rng(1)

    def weight(_):
        draw = rng.random(paths)
        return [(draw < 0.1).astype(np.float64) if zero_one else 0.1 * draw]

    return {"w": {"type": "phrase", "fn": weight, "inp": []}}


def seconds(function, rows, paths, zero_one):
    dataset = {"BASE": "USD", "PRICING_TS": PRICING_TS,
               "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 1000.0], [0.01, 0.01]]))},
               "FIXED": {"FLAGS": 8}, "MC": {"PATHS": paths, "SEED": 0, "FLAGS": 8}}

    class Sink:  # no paths of its own: the engine discounts on the curve
        def advance(self, x):
            return None

        def get_value(self, name):
            return None

        def set_stat(self, name, value):
            pass

    events, expr = timetable(rows), expressions(paths, zero_one)
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        function(events, Sink(), dataset, expr)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    worst = 0.0
    for label, function, paths in (("fixed_price", _kestro.fixed_price, 1), ("mc_price, 64 paths", _kestro.mc_price, 64)):
        for zero_one in (True, False):
            small = seconds(function, n, paths, zero_one)
            large = seconds(function, 4 * n, paths, zero_one)
            ratio = large / small
            kind = "weights 0 or 1" if zero_one else "weights in (0, 1)"
            print(f"{label:20} {kind:18} {n:>7} rows {small * 1e3:9.1f} ms  {4 * n:>7} rows "
                  f"{large * 1e3:9.1f} ms  x{ratio:.1f}")
            if zero_one:
                worst = max(worst, ratio)
    print(f"named-op scaling 4N/N, exercise weights: {worst:.2f}")


if __name__ == "__main__":
    main()
