"""Time to build and price 10,000 fixed-rate bonds on dates, against QuantLib doing the same.

Draws 10,000 start dates over ten years and coupons from 1% to 7%; each bond is a 10-year
semiannual 30/360 bond on the TARGET calendar (modified following, backward from the end).
Ours, end to end: `kestro.fixed_rate_bonds` builds every schedule in one call of
`kestro.schedules`, the coupons and the timetables with NumPy and Arrow, then the bonds are
priced on a zero curve, all at once by `BondBook.prices` (the discounted payments summed per
bond) and, for comparison, by the engine's `fixed_price` on each bond's timetable. QuantLib
builds each bond's `Schedule` and `FixedRateBond` and takes its `NPV()` from a
`DiscountingBondEngine` on the same curve (a log-linear `DiscountCurve` on the same pillar
discount factors). The prices are checked equal. Run: python bench/bench_schedule.py [bonds]
"""

import math
import sys
import time

import numpy as np

import kestro

PILLAR_DAYS = np.array([0, 91, 365, 730, 1826, 3652, 5479, 7670])
PILLAR_RATES = np.array([0.020, 0.021, 0.024, 0.027, 0.031, 0.035, 0.037, 0.038])
PRICING = "2026-01-05"


def best_of(fn, repeat=5):
    best, result = math.inf, None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def bonds(count):
    rng = np.random.default_rng(2026)
    starts = np.datetime64(PRICING) + rng.integers(0, 3650, count).astype("timedelta64[D]")
    return starts, np.round(rng.uniform(0.01, 0.07, count), 4)


def ours(starts, coupons, market, engine):
    target = kestro.calendar("TARGET")  # holidays are read once per process, not per build

    def build_and_price():
        book = kestro.fixed_rate_bonds(coupons, starts, "10Y", frequency="6M", calendar=target,
                                       convention="modified following", day_count="30/360")
        return book.engine_prices(market) if engine else book.prices(market)
    return build_and_price


def quantlib(starts, coupons):
    try:
        import QuantLib as ql
    except ImportError:
        return None
    today = ql.Date(5, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    curve = ql.DiscountCurve([today + int(d) for d in PILLAR_DAYS], list(np.exp(-PILLAR_RATES * PILLAR_DAYS / 365)),
                             ql.Actual365Fixed())
    engine = ql.DiscountingBondEngine(ql.YieldTermStructureHandle(curve))
    target, day_count = ql.TARGET(), ql.Thirty360(ql.Thirty360.BondBasis)
    half_year, ten_years = ql.Period(6, ql.Months), ql.Period(10, ql.Years)
    firsts = [ql.Date(d.day, d.month, d.year) for d in starts.tolist()]
    rates = coupons.tolist()

    def build_and_price():
        prices = []
        for first, rate in zip(firsts, rates):
            schedule = ql.Schedule(first, first + ten_years, half_year, target, ql.ModifiedFollowing,
                                   ql.ModifiedFollowing, ql.DateGeneration.Backward, False)
            bond = ql.FixedRateBond(0, 100.0, schedule, [rate], day_count)
            bond.setPricingEngine(engine)
            prices.append(bond.NPV())
        return np.array(prices)
    return build_and_price


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    starts, coupons = bonds(count)
    market = kestro.Market(pricing_time=PRICING, discount=kestro.zero_curve(PILLAR_DAYS / 365, PILLAR_RATES))
    seconds, prices = best_of(ours(starts, coupons, market, engine=False))
    engine_seconds, engine_prices = best_of(ours(starts, coupons, market, engine=True), repeat=3)
    print(f"{count} semiannual 10-year bonds on TARGET dates: schedules, coupons, timetables and prices")
    print(f"kestro, priced all at once      {seconds * 1e3:9.1f} ms")
    print(f"kestro, fixed_price per bond    {engine_seconds * 1e3:9.1f} ms")
    run = quantlib(starts, coupons)
    if run is None:
        print("QuantLib not installed: pip install QuantLib")
        return
    ql_seconds, ql_prices = best_of(run, repeat=3)
    print(f"QuantLib FixedRateBond + NPV    {ql_seconds * 1e3:9.1f} ms")
    worst = max(np.max(np.abs(prices / ql_prices - 1)), np.max(np.abs(engine_prices / ql_prices - 1)))
    print(f"largest relative difference of the prices from QuantLib's: {worst:.1e}")
    print(f"QuantLib/fixed_price per bond ratio: {ql_seconds / engine_seconds:.1f}")
    print(f"QuantLib/ours ratio: {ql_seconds / seconds:.1f}")


if __name__ == "__main__":
    main()
