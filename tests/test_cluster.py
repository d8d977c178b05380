"""The same work on a real Dask LocalCluster of worker processes: identical portfolio prices and
risk, chunked Monte Carlo independent of the number of workers, failing trades, and Ctrl-C."""

import os
import signal
import threading
import time

import pytest

import kestro

distributed = pytest.importorskip("distributed")

MARKET = kestro.Market.flat(rate=0.05, spots={"STK": 100.0}, vols={"STK": 0.2})


def cluster_client(workers):
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=50)
    return cluster, distributed.Client(cluster)


@pytest.fixture(scope="module")
def cluster():
    cluster, client = cluster_client(2)
    yield cluster, client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def client(cluster):
    return cluster[1]


def mixed_book(count):
    portfolio = kestro.Portfolio(MARKET)
    for i in range(count):
        kind = i % 5
        if kind == 0:
            portfolio.add(f"bond {i}", kestro.fixed_rate_bond(0.03 + 0.001 * i, 2 + i % 7))
        elif kind == 1:
            portfolio.add(f"swap {i}", kestro.interest_rate_swap(0.04, 3 + i % 5))
        elif kind == 2:
            portfolio.add(f"put {i}", kestro.american_put(90 + i % 20, 0.5), "black_scholes")
        elif kind == 3:
            portfolio.add(f"digital {i}", kestro.digital_call(100, 1.0), "monte_carlo", paths=1000, seed=i)
        else:
            portfolio.add(f"broken {i}", kestro.european_put(100, 1.0), "hull_white")
    return portfolio


def test_portfolio_prices_identically_in_process_and_on_the_cluster(client):
    portfolio = mixed_book(40)
    here = portfolio.price()
    there = portfolio.price(client=client, batch_size=3)
    for column in ("trade", "price", "standard_error", "model", "error"):
        assert there.column(column).equals(here.column(column)), column
    errors = [e for e in there.column("error").to_pylist() if e is not None]
    assert len(errors) == 8 and all("Hull-White model needs vol=" in e for e in errors)


class Unpicklable:
    """A path source that cannot travel: it holds a lock."""

    paths = 10

    def __init__(self):
        self.lock = threading.Lock()


def test_a_trade_that_cannot_be_sent_to_the_workers_fails_alone(client):
    portfolio = mixed_book(4)
    portfolio.add("stuck", kestro.european_put(100, 1.0), "monte_carlo", state=Unpicklable())
    rows = {row["trade"]: row for row in portfolio.price(client=client).to_pylist()}
    assert rows["stuck"]["price"] is None and "cannot be sent to the workers" in rows["stuck"]["error"]
    assert rows["bond 0"]["price"] is not None and rows["put 2"]["price"] is not None


def test_trades_added_after_a_cluster_run_are_sent_and_priced_on_the_next(client):
    portfolio = mixed_book(6)
    portfolio.price(client=client)
    portfolio.add("late bond", kestro.zero_coupon_bond(3.0))
    rows = {row["trade"]: row["price"] for row in portfolio.price(client=client).to_pylist()}
    assert list(rows) == list(portfolio)
    assert rows["late bond"] == pytest.approx(100 * MARKET.discount_factor(3.0))


def test_portfolio_risk_is_identical_in_process_and_on_the_cluster(client):
    portfolio = mixed_book(10)
    here = portfolio.risk().drop_columns(["seconds"])
    there = portfolio.risk(client=client).drop_columns(["seconds"])
    assert there.equals(here)


def test_greeks_with_their_bumps_on_the_cluster_equal_those_priced_here(client):
    put = kestro.american_put(100, 1.0)
    assert kestro.greeks(put, MARKET, client=client) == kestro.greeks(put, MARKET)
    call = kestro.european_call(100, 1.0)
    assert kestro.greeks(call, MARKET, "monte_carlo", paths=2000, client=client) == \
        kestro.greeks(call, MARKET, "monte_carlo", paths=2000)


@pytest.mark.parametrize("contract, settings", [
    (kestro.european_call(100, 1.0), {"antithetic": True}),
    # the rule is fitted once and travels in the contract; the bound walks the original
    (kestro.bermudan_put(100, [0.25, 0.5, 1.0]), {"upper_bound": True}),
], ids=["antithetic european", "bermudan by regression"])
def test_chunked_monte_carlo_is_the_same_in_process_and_on_one_or_two_workers(client, contract, settings):
    run = dict(paths=30_000, chunk_paths=4_000, seed=11, **settings)
    here = kestro.price_chunked(contract, MARKET, **run)
    two = kestro.price_chunked(contract, MARKET, client=client, **run)
    single_cluster, single = cluster_client(1)
    try:
        one = kestro.price_chunked(contract, MARKET, client=single, **run)
    finally:
        single.close()
        single_cluster.close()
    for found in (one, two):
        assert (float(found), found.standard_error, found.paths, found.exercise) == \
            (float(here), here.standard_error, here.paths, here.exercise)
        assert repr(found.upper_bound) == repr(here.upper_bound)
    # and it is a price: within a few standard errors of the grid
    reference = kestro.price(contract, MARKET, "black_scholes")
    assert abs(float(here) - reference) < 4 * here.standard_error + 0.01


def test_ctrl_c_while_waiting_cancels_the_runs_tasks_and_raises_keyboard_interrupt(cluster):
    local, client = cluster
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            # long enough to be cancelled while waiting, short enough to free the workers soon after
            kestro.risk.scale.run(time.sleep, [4.0] * 4, client=client, batch_size=1, description="kestro-sleep")
    finally:
        timer.cancel()
    deadline = time.monotonic() + 30
    while any(key.startswith("kestro-sleep") for key in local.scheduler.tasks) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not [key for key in local.scheduler.tasks if key.startswith("kestro-sleep")]


class DiesOnce(kestro.GbmPaths):
    """GBM paths that kill the worker process drawing them while ``marker`` does not exist: the
    first worker to try creates it and dies, the rerun draws normally. No marker: dies every time."""

    def __init__(self, marker, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.marker = marker

    def advance(self, x):
        if self.marker is None or not os.path.exists(self.marker):
            if self.marker is not None:
                open(self.marker, "w").close()
            os._exit(1)
        return super().advance(x)


def paths_that_die(marker):
    return DiesOnce(marker, {"STK": MARKET.forwards["STK"]}, {"STK": 0.2}, paths=2000, seed=3)


@pytest.fixture(scope="module")
def fragile_client():
    """A cluster whose scheduler gives up on a task after its second dead worker."""
    import dask

    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        cluster, client = cluster_client(2)
    yield client
    client.close()
    cluster.close()


def test_a_worker_dying_mid_run_is_rerun_elsewhere_and_the_table_says_so(fragile_client, tmp_path):
    portfolio = mixed_book(8)
    put = kestro.european_put(100, 1.0)
    portfolio.add("fatal once", put, "monte_carlo", state=paths_that_die(str(tmp_path / "died")))
    with pytest.warns(kestro.risk.scale.WorkerLostWarning, match="a worker died during the run"):
        table = portfolio.price(client=fragile_client, batch_size=1)
    rows = {row["trade"]: row for row in table.to_pylist()}
    assert rows["fatal once"]["reruns"] == 1 and rows["fatal once"]["error"] is None
    assert rows["fatal once"]["price"] == kestro.price(put, MARKET, "monte_carlo", state=paths_that_die(str(tmp_path / "died")))
    here = mixed_book(8).price()
    assert table.slice(0, 8).column("price").equals(here.column("price"))
    assert table.slice(0, 8).column("error").equals(here.column("error"))


def test_a_trade_that_kills_every_worker_carries_the_error_and_the_others_price(fragile_client):
    portfolio = mixed_book(4)
    portfolio.add("fatal", kestro.european_put(100, 1.0), "monte_carlo", state=paths_that_die(None))
    with pytest.warns(kestro.risk.scale.WorkerLostWarning):  # its first death was rerun
        table = portfolio.price(client=fragile_client, batch_size=1)
    rows = {row["trade"]: row for row in table.to_pylist()}
    assert rows["fatal"]["price"] is None and rows["fatal"]["error"].startswith("KilledWorker")
    assert "price the trade alone" in rows["fatal"]["error"]
    assert all(rows[name]["price"] is not None for name in ("bond 0", "swap 1", "put 2", "digital 3"))


def test_a_closed_client_is_refused_with_a_clear_error():
    cluster, client = cluster_client(1)
    client.close()
    cluster.close()
    with pytest.raises(ValueError, match="the Dask client is closed, not running"):
        mixed_book(2).price(client=client)
    with pytest.raises(ValueError, match="the Dask client is closed"):
        kestro.price_chunked(kestro.european_call(100, 1.0), MARKET, paths=1000, client=client)


def test_shared_objects_too_large_to_travel_inside_tasks_are_placed_on_the_workers(client, monkeypatch):
    monkeypatch.setattr(kestro.risk.scale, "INLINE_LIMIT", 0)
    portfolio = mixed_book(10)
    there = portfolio.price(client=client, batch_size=2)
    assert there.column("price").equals(portfolio.price().column("price"))


def test_a_scheduler_lost_mid_run_ends_the_run_at_once_and_later_runs_are_refused(tmp_path):
    import subprocess
    import sys
    from concurrent.futures import CancelledError

    address_file = tmp_path / "scheduler.json"
    scheduler = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                  "--port", "0", "--no-dashboard", "--scheduler-file", str(address_file)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not address_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        client = distributed.Client(scheduler_file=str(address_file), timeout="20s")
        # No workers: the tasks wait on the scheduler until it dies.
        threading.Timer(1.0, scheduler.kill).start()
        start = time.monotonic()
        with pytest.raises(CancelledError, match="lost the connection to the scheduler"):
            kestro.risk.scale.run(abs, [1, 2], client=client, batch_size=1)
        assert time.monotonic() - start < 15
        with pytest.raises(ValueError, match="the Dask client is (connecting|closed), not running"):
            mixed_book(2).price(client=client)
        client.close()
    finally:
        scheduler.kill()
        scheduler.wait()
