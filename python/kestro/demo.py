"""Price small contracts with the engine: ``python -m kestro.demo``.

Builds the timetables of a fixed-rate bond and of a put on a stock, prices them with
``fixed_price`` against a discount curve and the stock's forwards, shows the statistics the
engine hands back, and reports how far the other entry functions get.
"""

import inspect
import math
import time
from datetime import datetime, timezone

import _kestro
import numpy as np
import pyarrow as pa

PRICING = datetime(2027, 1, 1, tzinfo=timezone.utc)
YEAR_MS = 31_536_000_000


def dictionary(values, keys):
    """A dictionary-encoded column with int64 keys, the only key type the engine reads."""
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.utf8()))


def timetable(rows):
    """A timetable from rows (time in ms, track, op, quantity, unit); names are dictionary-encoded."""
    times, tracks, ops, quantities, units = zip(*rows)

    def encode(names):
        values = list(dict.fromkeys(names))
        return dictionary(values, [values.index(n) for n in names])

    return pa.record_batch({"time": pa.array(times, pa.timestamp("ms", tz="UTC")), "track": encode(tracks),
                            "op": encode(ops), "quantity": pa.array(quantities, pa.float64()), "unit": encode(units)})


def market_dataset(flags=0):
    """A US dollar discount curve, one stock's forwards and the section of every pricing model."""
    return {
        "BASE": "USD",
        "PRICING_TS": int(PRICING.timestamp() * 1000),
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 1.0, 5.0], [0.020, 0.021, 0.025]])),
                   "ACME": ("FORWARDS", np.array([[0.0, 1.0, 5.0], [100.0, 102.1, 111.0]]))},
        "FIXED": {"FLAGS": flags},
        "MC": {"PATHS": 1000, "SEED": 1},
        "FD": {"N_X": 100, "MAX_X": 0.2, "TIMESTEP": 0.01},
        "HW": {"MEANREV": 0.05, "VOL": 0.01},
        "BS": {"VOL": 0.2, "ASSET": "ACME"},
    }


def at(years):
    return int(PRICING.timestamp() * 1000) + int(years * YEAR_MS)


def bond_rows():
    """Three annual coupons of 4 and the redemption of 100, on track "bond"."""
    return [(at(y), "bond", "+", 4.0, "USD") for y in (1, 2, 3)] + [(at(3), "bond", "+", 100.0, "USD")]


def put_rows(strike, years):
    """The holder chooses max(K - S, 0): booked latest first, "+" -K, then ">" -S, then "+" K."""
    t = at(years)
    return [(t, "put", "+", strike, "USD"), (t, "put", ">", -1.0, "ACME"), (t, "put", "+", -strike, "USD")]


class Recorder:
    """Keeps what the engine sends to set_stat."""

    def __init__(self):
        self.stats = {}

    def set_stat(self, name, value):
        self.stats[name] = value


def zero_rate(years):
    return float(np.interp(years, [0.0, 1.0, 5.0], [0.0, 0.021, 0.125])) / years


def forward(years):
    return math.exp(float(np.interp(years, [0.0, 1.0, 5.0], np.log([100.0, 102.1, 111.0]))))


def main():
    print(f"_kestro from {_kestro.__file__}\n")

    recorder = Recorder()
    start = time.perf_counter()
    bond = _kestro.fixed_price(timetable(bond_rows()), recorder, market_dataset(flags=9), {})
    elapsed = time.perf_counter() - start
    expected = sum(4.0 * math.exp(-zero_rate(y) * y) for y in (1, 2, 3)) + 100 * math.exp(-zero_rate(3) * 3)
    print(f"3-year 4% bond:     fixed_price {bond:.6f}   closed form {expected:.6f}   "
          f"error {bond - expected:+.1e}   {elapsed * 1e6:.0f} us")
    flows = recorder.stats["CASHFLOW"][0]
    print("  cashflows (event: present value): " + ", ".join(f"{e}: {a[0]:.4f}" for e, a in sorted(flows.items())))

    put = _kestro.fixed_price(timetable(put_rows(110.0, 2)), None, market_dataset(), {})
    intrinsic = max(110.0 - forward(2), 0.0) * math.exp(-zero_rate(2) * 2)
    print(f"2-year put K=110:   fixed_price {put:.6f}   discounted intrinsic on the forward {intrinsic:.6f}")

    print("\nThe other entry functions on the bond:")
    events = timetable(bond_rows())
    args = {"events_rb": events, "py_state": None, "dataset": market_dataset(), "expressions": {},
            "_filename": "", "base": "USD"}
    for name in [n for n in vars(_kestro) if not n.startswith("__") and n != "fixed_price"]:
        func = getattr(_kestro, name)
        params = list(inspect.signature(func).parameters)
        try:
            outcome = f"returned {func(**{p: args[p] for p in params})!r}"
        except RuntimeError as error:
            outcome = f"RuntimeError: {error}"
        print(f"  {name}: {outcome}")


if __name__ == "__main__":
    main()
