"""Closed forms on arrays against QuantLib's Black formula called once per option, and against the grid.

Prices 1,000,000 European options (random strikes 50-150 on a forward of 100, expiries from a
day to ten years, vols 5%-80%, calls and puts) with kestro.analytic.black_price in one call,
their greeks with black_greeks, and the implied vols of those out of the money (where the price
determines the vol) with implied_vol; QuantLib prices the first 100,000 and inverts 20,000 in a
Python loop over ql.blackFormula and ql.blackFormulaImpliedStdDev (accuracy 1e-12, like ours).
Every timing is the best of several runs, in nanoseconds per option; the results are checked to
agree. One European put priced by analytic.price_contract and by the finite-difference grid
(kestro.price with "black_scholes") sets the closed form against the grid model.
Run: python bench/bench_analytic.py [options]
"""

import math
import sys
import time

import numpy as np
import QuantLib as ql

import kestro
from kestro import analytic

FORWARD, DISCOUNT = 100.0, 0.97


def best_of(fn, repeat=5):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter_ns()
        result = fn()
        best = min(best, time.perf_counter_ns() - start)
    return best, result


def options(count):
    rng = np.random.default_rng(2026)
    strike = rng.uniform(50.0, 150.0, count)
    years = np.exp(rng.uniform(math.log(1 / 365), math.log(10.0), count))
    vol = rng.uniform(0.05, 0.8, count)
    call = rng.random(count) < 0.5
    return strike, years, vol, call


def quantlib_prices(strike, std_dev, call):
    kinds = [ql.Option.Call if c else ql.Option.Put for c in call.tolist()]
    strikes, deviations = strike.tolist(), std_dev.tolist()
    formula = ql.blackFormula

    def run():
        return [formula(kind, k, FORWARD, s, DISCOUNT) for kind, k, s in zip(kinds, strikes, deviations)]

    return run


def quantlib_implied(strike, price, call):
    kinds = [ql.Option.Call if c else ql.Option.Put for c in call.tolist()]
    strikes, prices = strike.tolist(), price.tolist()
    solve, guess = ql.blackFormulaImpliedStdDev, ql.nullDouble()

    def run():
        return [solve(kind, k, FORWARD, p, DISCOUNT, 0.0, guess, 1e-12, 100)
                for kind, k, p in zip(kinds, strikes, prices)]

    return run


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    strike, years, vol, call = options(count)
    std_dev = vol * np.sqrt(years)

    price_ns, prices = best_of(lambda: analytic.black_price(FORWARD, strike, years, vol, DISCOUNT, call))
    greeks_ns, _ = best_of(lambda: analytic.black_greeks(FORWARD, strike, years, vol, DISCOUNT, call))
    # Out of the money and worth something, where the price determines the vol for both solvers.
    otm = np.nonzero(((strike > FORWARD) == call) & (prices > 1e-6))[0]
    implied_ns, implied = best_of(lambda: analytic.implied_vol(prices[otm], FORWARD, strike[otm], years[otm], DISCOUNT,
                                                               call[otm]), repeat=3)

    looped = min(count, 100_000)
    ql_price_ns, ql_prices = best_of(quantlib_prices(strike[:looped], std_dev[:looped], call[:looped]), repeat=3)
    solved = otm[:20_000]
    ql_implied_ns, ql_implied = best_of(quantlib_implied(strike[solved], prices[solved], call[solved]), repeat=3)

    price_error = np.max(np.abs(np.array(ql_prices) - prices[:looped]) / np.maximum(prices[:looped], 1e-3))
    implied_error = np.max(np.abs(np.array(ql_implied) / (implied[:solved.size] * np.sqrt(years[solved])) - 1))
    recovered = np.max(np.abs(implied / vol[otm] - 1))

    market = kestro.Market.flat(rate=-math.log(DISCOUNT), spots={"STK": FORWARD * DISCOUNT})
    put = kestro.european_put(FORWARD, 1.0)
    grid_ns, grid = best_of(lambda: kestro.price(put, market, "black_scholes", vol=0.2), repeat=3)
    closed_ns, closed = best_of(lambda: analytic.price_contract(put, market, 0.2), repeat=9)

    per = {"black_price": price_ns / count, "black_greeks": greeks_ns / count, "implied_vol": implied_ns / otm.size,
           "QuantLib blackFormula": ql_price_ns / looped,
           "QuantLib blackFormulaImpliedStdDev": ql_implied_ns / solved.size}
    print(f"{count:,} options in one call ({otm.size:,} out of the money for implied vols); QuantLib loops over "
          f"{looped:,} prices and {solved.size:,} implied vols")
    for name, ns in per.items():
        print(f"  {name:36}{ns:10.1f} ns per option")
    print(f"  prices agree with QuantLib to {price_error:.1e}, implied std devs to {implied_error:.1e}; "
          f"vols recovered to {recovered:.1e}")
    print(f"  one European put: price_contract {closed_ns / 1e3:.1f} us ({closed:.6f}), "
          f"black_scholes grid {grid_ns / 1e6:.1f} ms ({float(grid):.6f}), grid/closed form {grid_ns / closed_ns:.0f}x")
    print(f"implied vol QuantLib/ours: {per['QuantLib blackFormulaImpliedStdDev'] / per['implied_vol']:.2f}")
    print(f"QuantLib/ours ratio: {per['QuantLib blackFormula'] / per['black_price']:.2f}")


if __name__ == "__main__":
    main()
