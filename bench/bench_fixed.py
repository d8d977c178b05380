"""Per-row cost of fixed_price on a long payment schedule, against QuantLib and NumPy.

Prices 100,000 payments, half in the base currency and half in a forward asset, and prints
nanoseconds per row for: fixed_price with FLAGS 0 and 8, QuantLib's CashFlows.npv on the same
cashflows and curve (optional: `pip install ".[bench]"`), and the same discounted sum written
with NumPy. Run: python bench/bench_fixed.py [rows]
"""

import math
import sys
import time

import _kestro
import numpy as np
import pyarrow as pa

YEAR_MS = 31_536_000_000
PRICING_TS = 1_700_000_000_000  # ms


def best_of(fn, repeat=7):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter_ns()
        result = fn()
        best = min(best, time.perf_counter_ns() - start)
    return best, result


def schedule(rows):
    rng = np.random.default_rng(7)
    years = np.sort(rng.uniform(0.0, 30.0, rows))
    times = PRICING_TS + (years * YEAR_MS).astype(np.int64)
    quantities = rng.uniform(1.0, 100.0, rows)
    in_asset = np.arange(rows) % 2 == 1
    return years, times, quantities, in_asset


def curves():
    knots = np.linspace(0.0, 31.0, 32)
    rates = 0.02 + 0.01 * np.sqrt(knots)
    log_fwd = np.log(1.1) + 0.015 * knots
    return knots, rates, log_fwd


def kestro_price(times, quantities, in_asset, flags):
    knots, rates, log_fwd = curves()
    keys = lambda k: pa.array(k, pa.int64())
    batch = pa.record_batch({
        "time": pa.array(times, pa.timestamp("ms")),
        "track": pa.DictionaryArray.from_arrays(keys(np.zeros(len(times), np.int64)), pa.array(["v"])),
        "op": pa.DictionaryArray.from_arrays(keys(np.zeros(len(times), np.int64)), pa.array(["+"])),
        "quantity": pa.array(quantities),
        "unit": pa.DictionaryArray.from_arrays(keys(in_asset.astype(np.int64)), pa.array(["USD", "EUR"])),
    })
    dataset = {
        "BASE": "USD", "PRICING_TS": PRICING_TS, "FIXED": {"FLAGS": flags},
        "ASSETS": {"USD": ("ZERO_RATES", np.array([knots, rates])),
                   "EUR": ("FORWARDS", np.array([knots, np.exp(log_fwd)]))},
    }

    class Sink:
        def set_stat(self, name, value):
            self.value = value

    return lambda: _kestro.fixed_price(batch, Sink(), dataset, {})


def numpy_price(years, quantities, in_asset):
    knots, rates, log_fwd = curves()
    y_rates = knots * rates

    def run():
        df = np.exp(-np.interp(years, knots, y_rates))
        fwd = np.where(in_asset, np.exp(np.interp(years, knots, log_fwd)), 1.0)
        return float(np.sum(quantities * fwd * df))

    return run


def quantlib_price(years, quantities, in_asset):
    try:
        import QuantLib as ql
    except ImportError:
        return None
    knots, rates, log_fwd = curves()
    today = ql.Date(1, 1, 2024)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    dates = [today + int(round(k * 365)) for k in knots]
    curve = ql.DiscountCurve(dates, [math.exp(-k * r) for k, r in zip(knots, rates)], day_count)
    curve.enableExtrapolation()
    handle = ql.YieldTermStructureHandle(curve)
    leg = []
    for y, q, asset in zip(years, quantities, in_asset):
        amount = q * (math.exp(np.interp(y, knots, log_fwd)) if asset else 1.0)
        leg.append(ql.SimpleCashFlow(float(amount), today + int(round(y * 365))))
    return lambda: ql.CashFlows.npv(leg, handle, True, today, today)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    years, times, quantities, in_asset = schedule(rows)
    results = {}
    for flags in (0, 8):
        ns, value = best_of(kestro_price(times, quantities, in_asset, flags))
        results[f"fixed_price, FLAGS {flags}"] = (ns / rows, value)
    ns, value = best_of(numpy_price(years, quantities, in_asset))
    results["NumPy vectorised sum"] = (ns / rows, value)
    ql_run = quantlib_price(years, quantities, in_asset)
    if ql_run is not None:
        ns, value = best_of(ql_run, repeat=3)
        results["QuantLib CashFlows.npv"] = (ns / rows, value)

    base = results["fixed_price, FLAGS 0"][0]
    print(f"{rows} rows, best of several runs")
    print(f"{'':28}{'ns/row':>10}{'vs fixed_price':>16}{'price':>20}")
    for name, (per_row, value) in results.items():
        print(f"{name:28}{per_row:10.1f}{per_row / base:15.2f}x{value:20.6f}")
    if ql_run is None:
        print("QuantLib not installed: pip install QuantLib")
    print(f"fixed_price FLAGS 0 ns/row: {base:.1f}")
    print(f"fixed_price FLAGS 0 / NumPy: {base / results['NumPy vectorised sum'][0]:.2f}")
    if ql_run is not None:
        print(f"QuantLib / fixed_price FLAGS 0: {results['QuantLib CashFlows.npv'][0] / base:.2f}")


if __name__ == "__main__":
    main()
