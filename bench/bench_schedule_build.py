"""Time to build 10,000 semiannual 10-year schedules with their year fractions, against QuantLib.

Draws 10,000 start dates over ten years, builds each schedule (TARGET calendar, modified
following, backward from the end) and the 30/360 year fraction of every period: kestro all
at once with `schedules`, QuantLib one `ql.Schedule` and one `yearFraction` per period at a
time (optional: `pip install ".[bench]"`). The dates and year fractions are checked equal. Run: python bench/bench_schedule_build.py [schedules]
"""

import math
import sys
import time

import numpy as np

import kestro


def best_of(fn, repeat=5):
    best, result = math.inf, None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def starts(count):
    rng = np.random.default_rng(2026)
    return np.datetime64("2026-01-01") + rng.integers(0, 3650, count).astype("timedelta64[D]")


def ours(days, target):
    def build():
        batch = kestro.schedules(days, "10Y", "6M", calendar=target, convention="modified following")
        return batch, batch.year_fractions("30/360")
    return build


def quantlib(days):
    try:
        import QuantLib as ql
    except ImportError:
        return None
    target, day_count = ql.TARGET(), ql.Thirty360(ql.Thirty360.BondBasis)
    half_year, ten_years = ql.Period(6, ql.Months), ql.Period(10, ql.Years)
    firsts = [ql.Date(d.day, d.month, d.year) for d in days.tolist()]

    def build():
        built, fractions = [], []
        for first in firsts:
            schedule = ql.Schedule(first, first + ten_years, half_year, target, ql.ModifiedFollowing,
                                   ql.ModifiedFollowing, ql.DateGeneration.Backward, False)
            dates = schedule.dates()
            fractions.extend(day_count.yearFraction(dates[i], dates[i + 1]) for i in range(len(dates) - 1))
            built.append(schedule)
        return built, np.array(fractions)
    return build


def same_dates(batch, reference):
    epoch = 25569  # QuantLib's serial number of 1970-01-01
    accrual = np.array([d.serialNumber() - epoch for schedule in reference for d in schedule.dates()])
    return np.array_equal(batch.adjusted_dates.view(np.int64), accrual)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    days = starts(count)
    target = kestro.calendar("TARGET")  # holidays are read once per process, not per build
    seconds, (batch, fractions) = best_of(ours(days, target))
    print(f"{count} semiannual 10-year schedules with 30/360 year fractions, best of several runs")
    print(f"kestro.schedules   {seconds * 1e3:9.1f} ms  {fractions.size} periods")
    run = quantlib(days)
    if run is None:
        print("QuantLib not installed: pip install QuantLib")
        return
    ql_seconds, (built, ql_fractions) = best_of(run, repeat=3)
    print(f"QuantLib           {ql_seconds * 1e3:9.1f} ms  {ql_fractions.size} periods")
    print(f"same dates: {same_dates(batch, built)}, same year fractions: {np.array_equal(fractions, ql_fractions)}")
    print(f"QuantLib/ours ratio: {ql_seconds / seconds:.1f}")


if __name__ == "__main__":
    main()
