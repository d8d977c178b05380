"""Show the engine reading a contract: ``python -m kestro.demo``.

Builds the timetable of a small bond (two coupons and the redemption), hands it to each
entry function of ``_kestro`` and reports how far the call got.
"""

import inspect
from datetime import datetime, timezone

import _kestro
import numpy as np
import pyarrow as pa


def dictionary(values, keys):
    """A dictionary-encoded column with int64 keys, the only key type the engine reads."""
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.utf8()))


def bond_timetable():
    times = [datetime(2027, 6, 30, tzinfo=timezone.utc), datetime(2027, 12, 31, tzinfo=timezone.utc),
             datetime(2027, 12, 31, tzinfo=timezone.utc)]
    return pa.record_batch({
        "time": pa.array(times, pa.timestamp("ms", tz="UTC")),
        "track": dictionary(["bond"], [0, 0, 0]),
        "op": dictionary(["+"], [0, 0, 0]),
        "quantity": pa.array([2.5, 2.5, 100.0]),
        "unit": dictionary(["USD"], [0, 0, 0]),
    })


def market_dataset():
    """A US dollar discount curve, one stock's forwards and the section of every pricing model."""
    return {
        "BASE": "USD",
        "PRICING_TS": int(datetime(2027, 1, 1, tzinfo=timezone.utc).timestamp() * 1000),
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.5, 1.0, 2.0], [0.020, 0.021, 0.023]])),
                   "ACME": ("FORWARDS", np.array([[0.5, 1.0, 2.0], [101.0, 102.1, 104.4]]))},
        "MC": {"PATHS": 1000, "SEED": 1},
        "FD": {"N_X": 100, "MAX_X": 0.2, "TIMESTEP": 0.01},
        "HW": {"MEANREV": 0.05, "VOL": 0.01},
        "BS": {"VOL": 0.2, "ASSET": "ACME"},
    }


def main():
    print(f"_kestro: {_kestro.__doc__!r}, from {_kestro.__file__}")
    events = bond_timetable()
    print(f"\nTimetable ({events.num_rows} events):")
    for row in events.to_pylist():
        print(f"  {row['time']:%Y-%m-%d}  track {row['track']}  {row['op']} {row['quantity']:g} {row['unit']}")
    print("\nEntry functions:")
    for name in [n for n in vars(_kestro) if not n.startswith("__")]:
        func = getattr(_kestro, name)
        args = {"events_rb": events, "py_state": None, "dataset": market_dataset(), "expressions": {},
                "_filename": "", "base": "USD"}
        params = list(inspect.signature(func).parameters)
        try:
            result = func(**{p: args[p] for p in params})
            outcome = f"returned {result!r}"
        except RuntimeError as error:
            outcome = f"RuntimeError: {error}"
        print(f"  {name}({', '.join(params)})\n    -> {outcome}")


if __name__ == "__main__":
    main()
