"""A tour of the engine: ``python -m kestro.demo``.

Prices a European put, an American put (by regression Monte Carlo too, with its path-wise bound)
and a Hull-White zero-coupon bond with every model that applies, each next to its closed form or
reference value with the error and the time taken,
then backtests a small contract on dated prices and prints its cashflow table.
"""

from __future__ import annotations

import math
import time
from datetime import datetime, timedelta, timezone


import kestro

SPOT, STRIKE, RATE, VOL = 100.0, 100.0, 0.05, 0.20
AMERICAN_DAILY_PUT = 6.0887  # binomial tree with the same 365 exercise dates


def normal_cdf(z: float) -> float:
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


def black_scholes_put(spot: float, strike: float, years: float, rate: float, vol: float) -> float:
    d1 = (math.log(spot / strike) + (rate + vol * vol / 2) * years) / (vol * math.sqrt(years))
    d2 = d1 - vol * math.sqrt(years)
    return strike * math.exp(-rate * years) * normal_cdf(-d2) - spot * normal_cdf(-d1)


def timed(run):
    start = time.perf_counter()
    value = run()
    return value, time.perf_counter() - start


def report(label: str, model: str, run, reference: float, note: str = "") -> None:
    value, seconds = timed(run)
    if value.standard_error is not None:  # a Monte Carlo price: show its standard error
        note = f"{note}standard error {value.standard_error:.2e}"
        if value.exercise:
            note += f", {value.exercise} exercise"
        if value.upper_bound is not None:
            note += f"; path-wise bound {float(value.upper_bound):.4f}"
    print(f"  {label:<24}{model:<15}{value:>12.6f}{reference:>12.6f}{value - reference:>+12.2e}"
          f"{seconds * 1e3:>10.1f} ms  {note}")


def main() -> None:
    market = kestro.Market.flat(rate=RATE, spots={"STK": SPOT})
    print(f"Market: flat {RATE:.0%} zero curve in USD, STK at {SPOT:g} (forwards grow at the rate), "
          f"volatility {VOL:.0%}; pricing time {kestro.DEFAULT_START:%Y-%m-%d}\n")
    print(f"  {'contract':<24}{'model':<15}{'price':>12}{'reference':>12}{'error':>12}{'time':>13}")

    european = kestro.european_put(strike=STRIKE, years=1.0, asset="STK")
    reference = black_scholes_put(SPOT, STRIKE, 1.0, RATE, VOL)
    report("European put, 1y", "analytic", lambda: kestro.price(european, market, "analytic", vol=VOL), reference)
    report("European put, 1y", "black_scholes", lambda: kestro.price(european, market, "black_scholes", vol=VOL),
           reference)
    report("European put, 1y", "monte_carlo",
           lambda: kestro.price(european, market, "monte_carlo", vol=VOL, paths=200_000, seed=1), reference)
    report("European put, 1y", "fixed", lambda: kestro.price(european, market, "fixed"),
           max(STRIKE - SPOT * math.exp(RATE), 0.0) * math.exp(-RATE), "intrinsic value on the forward")

    american = kestro.american_put(strike=STRIKE, years=1.0, asset="STK")
    report("American put, 1y daily", "black_scholes",
           lambda: kestro.price(american, market, "black_scholes", vol=VOL, n_x=1000, timestep=1 / 3650),
           AMERICAN_DAILY_PUT, "binomial reference")
    report("American put, 1y daily", "monte_carlo",
           lambda: kestro.price(american, market, "monte_carlo", vol=VOL, paths=100_000, seed=2026, upper_bound=True),
           AMERICAN_DAILY_PUT, "")

    greeks = kestro.greeks(american, market, "black_scholes", vol=VOL)
    print(f"  {'':<24}{'':<15}greeks on the grid: delta {greeks.delta:+.5f}, gamma {greeks.gamma:.5f}; "
          f"bumped: vega {greeks.vega:.4f}, theta {greeks.theta:+.4f}, rho {greeks.rho:+.4f}")

    bond = kestro.zero_coupon_bond(years=5.0, notional=1.0)
    discount = market.discount_factor(5.0)
    report("Zero-coupon bond, 5y", "hull_white",
           lambda: kestro.price(bond, market, "hull_white", vol=0.01, meanrev=0.1), discount, "curve's factor")
    assert market.discount is not None  # Market.flat always builds the discount curve
    paths = kestro.HullWhitePaths(market.discount, mean_reversion=0.1, vol=0.01, paths=100_000, seed=2)
    report("Zero-coupon bond, 5y", "monte_carlo",
           lambda: kestro.price(bond, market, "monte_carlo", state=paths), discount, "Hull-White paths, ")
    report("Zero-coupon bond, 5y", "fixed", lambda: kestro.price(bond, market, "fixed"), discount, "")

    print("\nBacktest: 10 STK bought on 2026-01-05, a 1 USD fee, 10 STK sold on 2026-01-09, on dated prices")
    start = datetime(2026, 1, 5, tzinfo=timezone.utc)
    days = [start + timedelta(days=i) for i in range(5)]
    history = kestro.HistorySource({"STK": (days, [100.0, 101.5, 99.8, 102.3, 104.1])}, base="USD")
    trades = kestro.timetable([
        (days[0], "pnl", "+", -10.0, "STK"),
        (days[0], "pnl", "+", -1.0, "USD"),
        (days[4], "pnl", "+", 10.0, "STK"),
    ])
    result = kestro.backtest(trades, history)
    for row in result.cashflows.to_pylist():
        print(f"  event {row['event']}  {row['time']:%Y-%m-%d}  track {row['track_name']}  {row['value']:+10.2f}")
    print(f"  profit: {result.profit:+.2f} USD")


if __name__ == "__main__":
    main()
