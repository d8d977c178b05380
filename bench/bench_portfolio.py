"""Scale-out on a Dask LocalCluster against the same work in this process.

Starts a LocalCluster of 2 single-threaded worker processes (start-up and the workers' first
imports excluded), then measures in one run:

0. the parallelism the machine offers right now: two pure-Python loops on the two workers
   against the same loops one after the other here (on a shared machine other jobs take cores);
1. the per-task overhead: trivial tasks, one per item, through kestro.risk.scale.run;
2. a mixed portfolio of 2,000 trades (bonds, swaps, finite-difference European and American
   puts) priced in this process and on the cluster (the trades scattered to the workers once,
   by a first run left out of the timing, in batches of the default size);
3. a 4-million-path Monte Carlo price of a Bermudan put (regression exercise fitted once on
   the driver) in chunks of 250,000 paths, in this process and on the cluster.

The machine may be shared, and its speed drifts by tens of percent within a minute, so each
comparison is a series of pairs, an in-process run right followed by the same work on the
cluster: the speedup is the median of the pairs' ratios (each pair sees the same machine), and
the best times of each side are printed beside it. The last line is the smaller speedup.

Run: python bench/bench_portfolio.py [trades] [paths]
"""

import statistics
import sys
import time

import kestro
from kestro.risk import scale

REPEATS = 3


def mixed_portfolio(count, market):
    portfolio = kestro.Portfolio(market)
    for i in range(count):
        kind = i % 4
        if kind == 0:
            portfolio.add(f"bond {i}", kestro.fixed_rate_bond(0.02 + 0.0001 * i, 1 + i % 10, frequency=2))
        elif kind == 1:
            portfolio.add(f"swap {i}", kestro.interest_rate_swap(0.04, 1 + i % 10))
        elif kind == 2:
            portfolio.add(f"european {i}", kestro.european_put(80 + i % 40, 1.0), "black_scholes")
        else:
            portfolio.add(f"american {i}", kestro.american_put(80 + i % 40, 0.5), "black_scholes")
    return portfolio


def burn(count):
    """Pure-Python work that holds one core: the yardstick of the machine's free cores."""
    total = 0
    for i in range(count):
        total += i * i
    return total


def paired(here, there, pairs):
    """Median ratio of in-process to cluster time over ``pairs`` back-to-back runs, the best time
    of each side, and the last results of both."""
    ratios, here_times, there_times = [], [], []
    for _ in range(pairs):
        here_time, here_result = best(here, 1)
        there_time, there_result = best(there, 1)
        ratios.append(here_time / there_time)
        here_times.append(here_time)
        there_times.append(there_time)
    return statistics.median(ratios), min(here_times), min(there_times), here_result, there_result


def best(function, repeats=REPEATS):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    from distributed import Client, LocalCluster

    trades = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000
    paths = int(sys.argv[2]) if len(sys.argv) > 2 else 4_000_000
    market = kestro.Market.flat(rate=0.05, spots={"STK": 100.0}, vols={"STK": 0.2})
    portfolio = mixed_portfolio(trades, market)
    bermudan = kestro.bermudan_put(100, [0.25, 0.5, 0.75, 1.0])

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      silence_logs=50) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("kestro") and None)
        mixed_portfolio(8, market).price(client=client)  # warm the workers' code paths

        loops = [3_000_000, 3_000_000]
        serial, _ = best(lambda: [burn(n) for n in loops])
        parallel, _ = best(lambda: client.gather(client.map(burn, loops, pure=False)))
        print(f"machine: two pure-Python loops run {serial / parallel:.2f}x faster on the two workers than in turn "
              "here (2.0 on two free cores)")

        count = 400
        overhead, _ = best(lambda: scale.run(abs, range(count), client=client, batch_size=1, progress=False))
        per_task = overhead / count
        size = scale.batch_size_for(trades, sum(client.nthreads().values()))
        print(f"per-task overhead: {per_task * 1e3:.2f} ms (trivial tasks, 2 workers); "
              f"default batch for {trades:,} trades: {size}")

        portfolio.price(client=client)  # sends the trades to the workers, once
        portfolio_speedup, here, there, here_table, there_table = paired(
            portfolio.price, lambda: portfolio.price(client=client), REPEATS)
        assert there_table.column("price").equals(here_table.column("price"))
        if there_table.column("error").null_count != there_table.num_rows:
            raise SystemExit("a trade of the benchmark portfolio failed")
        print(f"portfolio of {trades:,} trades: in-process {here:.3f} s, cluster {there:.3f} s (best of {REPEATS}), "
              f"speedup {portfolio_speedup:.2f} (median of {REPEATS} pairs)")

        run = dict(paths=paths, chunk_paths=250_000, seed=7)
        pairs = 4 * REPEATS  # about a second each: more pairs against the machine's noise
        mc_speedup, here, there, local, remote = paired(
            lambda: kestro.price_chunked(bermudan, market, **run),
            lambda: kestro.price_chunked(bermudan, market, client=client, **run), pairs)
        assert (float(local), local.standard_error) == (float(remote), remote.standard_error)
        print(f"Monte Carlo, {paths:,} paths in chunks of 250,000: {float(remote):.4f} ± {remote.standard_error:.4f}; "
              f"in-process {here:.3f} s, cluster {there:.3f} s (best of {pairs}), "
              f"speedup {mc_speedup:.2f} (median of {pairs} pairs)")
    print(f"min speedup: {min(portfolio_speedup, mc_speedup):.2f}")


if __name__ == "__main__":
    main()
