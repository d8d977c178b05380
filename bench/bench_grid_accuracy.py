"""Accuracy and time of the default Black-Scholes grid on European options, against QuantLib.

The cases: puts and calls on S = 100 with strikes of 50 to 150, expiries of a day to ten years and
volatilities of 5 % to 80 %, in two markets (r = 5 %, no dividend; r = 1 %, dividend yield 4 %).
Each is priced with kestro.price(..., "black_scholes", vol=...) on its default grid and checked
against the Black-Scholes formula: its error is counted in tolerances of max(1e-3 x price, 1e-4),
so the goal is at most 1. Prints the worst error, the mean and largest time per price (best of a
few runs of each price, the whole kestro.price call), and the mean time of the engine call alone.

QuantLib's FdBlackScholesVanillaEngine (Crank-Nicolson, two damping steps, its own log-spot mesh
concentrated at the strike) prices the same cases on time and space grids of increasing size
until its worst error meets the same goal; the last line divides its mean time per price there by
the default grid's. QuantLib is optional (`pip install ".[bench]"`).
Run: python bench/bench_grid_accuracy.py [--quick]
"""

import math
import sys
import time

import _kestro
import numpy as np

import kestro

DAYS = (1, 2, 7, 30, 91, 182, 365, 730, 1825, 3650)
VOLS = (0.05, 0.1, 0.2, 0.4, 0.8)
STRIKES = (50.0, 60.0, 70.0, 80.0, 90.0, 95.0, 100.0, 105.0, 110.0, 120.0, 130.0, 140.0, 150.0)
MARKETS = ((0.05, 0.0), (0.01, 0.04))  # (rate, dividend yield)
SPOT = 100.0
QUANTLIB_GRIDS = ((50, 100), (100, 200), (200, 400), (400, 800), (800, 1600))  # (time steps, space points)


def black_scholes(strike, years, vol, rate, dividend, call):
    d1 = (math.log(SPOT / strike) + (rate - dividend + vol * vol / 2) * years) / (vol * math.sqrt(years))
    d2 = d1 - vol * math.sqrt(years)
    cdf = lambda z: 0.5 * math.erfc(-z / math.sqrt(2))  # noqa: E731
    if call:
        return SPOT * math.exp(-dividend * years) * cdf(d1) - strike * math.exp(-rate * years) * cdf(d2)
    return strike * math.exp(-rate * years) * cdf(-d2) - SPOT * math.exp(-dividend * years) * cdf(-d1)


def cases():
    for rate, dividend in MARKETS:
        for days in DAYS:
            for vol in VOLS:
                for strike in STRIKES:
                    for call in (True, False):
                        yield rate, dividend, days, vol, strike, call


def score(value, expected):
    return abs(value - expected) / max(1e-3 * abs(expected), 1e-4)


def best_ns(run, repeat):
    best, value = math.inf, None
    for _ in range(repeat):
        start = time.perf_counter_ns()
        value = run()
        best = min(best, time.perf_counter_ns() - start)
    return best, value


def kestro_runs(repeat):
    """(worst score and its case, times of kestro.price in ns, times of the engine call alone)."""
    markets = {key: kestro.Market.flat(rate=key[0], dividends=key[1], spots={"STK": SPOT}) for key in MARKETS}
    worst, total, engine = (0.0, None), [], []
    for rate, dividend, days, vol, strike, call in cases():
        market, years = markets[rate, dividend], days / 365
        option = (kestro.european_call if call else kestro.european_put)(strike, years)
        ns, value = best_ns(lambda: kestro.price(option, market, "black_scholes", vol=vol), repeat)
        data = market.dataset("black_scholes", events=option, vol=vol)
        engine_ns, _ = best_ns(lambda: _kestro.fd_blackscholes_price(option.events, None, data, {}), repeat)
        total.append(ns)
        engine.append(engine_ns)
        found = score(value, black_scholes(strike, years, vol, rate, dividend, call))
        if found > worst[0]:
            worst = (found, (rate, dividend, days, vol, strike, call, float(value)))
    return worst, np.array(total), np.array(engine)


def quantlib_runs(steps, points, repeat):
    """(worst score, times in ns) of QuantLib's finite differences on every case, or None without QuantLib."""
    try:
        import QuantLib as ql
    except ImportError:
        return None
    today = ql.Date(1, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    worst, times = 0.0, []
    for rate, dividend in MARKETS:
        for vol in VOLS:
            process = ql.BlackScholesMertonProcess(
                ql.QuoteHandle(ql.SimpleQuote(SPOT)),
                ql.YieldTermStructureHandle(ql.FlatForward(today, dividend, day_count, ql.Continuous)),
                ql.YieldTermStructureHandle(ql.FlatForward(today, rate, day_count, ql.Continuous)),
                ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), vol, day_count)))
            engine = ql.FdBlackScholesVanillaEngine(process, steps, points, 2, ql.FdmSchemeDesc.CrankNicolson())
            for days in DAYS:
                for strike in STRIKES:
                    for call in (True, False):
                        kind = ql.Option.Call if call else ql.Option.Put

                        def run():
                            option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, strike),
                                                      ql.EuropeanExercise(today + days))
                            option.setPricingEngine(engine)
                            return option.NPV()

                        ns, value = best_ns(run, repeat)
                        times.append(ns)
                        worst = max(worst, score(value, black_scholes(strike, days / 365, vol, rate, dividend, call)))
    return worst, np.array(times)


def main():
    repeat = 1 if "--quick" in sys.argv else 3
    count = sum(1 for _ in cases())
    (worst, case), total, engine = kestro_runs(repeat)
    rate, dividend, days, vol, strike, call, value = case
    print(f"{count} European options: expiries {DAYS[0]} to {DAYS[-1]} days, vols {VOLS[0]:.0%} to {VOLS[-1]:.0%}, "
          f"strikes {STRIKES[0]:g} to {STRIKES[-1]:g}, r/q {MARKETS}; best of {repeat} runs per price")
    print(f"default grid, worst error: {worst:.3f} tolerances of max(1e-3 x price, 1e-4) "
          f"({'call' if call else 'put'} K={strike:g}, {days} days, vol {vol:.0%}, r {rate:.0%}, q {dividend:.0%}: "
          f"{value:.6f})")
    print(f"default grid, kestro.price per option: mean {total.mean() / 1e6:.2f} ms, median "
          f"{np.median(total) / 1e6:.2f} ms, max {total.max() / 1e6:.2f} ms")
    print(f"default grid, fd_blackscholes_price alone: mean {engine.mean() / 1e6:.2f} ms, "
          f"max {engine.max() / 1e6:.2f} ms")
    met = None
    for steps, points in QUANTLIB_GRIDS:
        found = quantlib_runs(steps, points, repeat)
        if found is None:
            print("QuantLib not installed: pip install QuantLib")
            return
        ql_worst, ql_times = found
        print(f"QuantLib FD, {steps} steps x {points} points: worst error {ql_worst:.3f} tolerances, mean "
              f"{ql_times.mean() / 1e6:.2f} ms, max {ql_times.max() / 1e6:.2f} ms")
        if ql_worst <= 1.0:
            met = ql_times
            break
    if met is None:
        print(f"QuantLib FD met no tolerance up to {QUANTLIB_GRIDS[-1][0]} x {QUANTLIB_GRIDS[-1][1]}")
        return
    print(f"QuantLib FD at the 1e-3 goal / kestro default grid, mean time per option: {met.mean() / total.mean():.2f}")


if __name__ == "__main__":
    main()
