"""Book valuation: trades per second serially, on two local worker processes and on a
two-worker Dask LocalCluster, in one run.

Run:  .venv/bin/python benchmarks/bench_book.py [--trades 1000] [--seed 11]
          [--mix desk|classic] [--ladder 5] [--engine KIND=NAME ...] [--no-dask]

The book is generated like a desk's (``scripts/make_sample_book.py``'s generator), on
lumadex's synthetic sample store, every trade seasoned (started in 2025), valued with
full greeks on 2025-12-31.  ``--mix desk`` (the default): 35 % snowball and phoenix
notes, 22 % vanillas, 22 % barrier family (barriers, half of them American, double
barriers, one-touch, double-touch), 8 % arithmetic asians (Monte Carlo), the rest
lookbacks, airbags and straddles, on a 5-point spot ladder (-10 % .. +10 %, ``--ladder
N``; 1 for the base alone).  ``--mix classic``: the earlier book (40 % autocallables,
30 % vanillas, 20 % barrier family, geometric asians), no ladder.  ``--engine
KIND=NAME`` (repeatable) is passed to ``value_book`` as ``engines``.  The runs value
the same book:

* serial: ``executor="serial"`` in this process with torch on one thread, i.e. one
  core, the baseline the two workers are measured against;
* local: ``executor=2``, two spawned worker processes with one thread each (the
  start of the workers, their imports and the hand-over of this process's Monte Carlo
  pool in shared memory are inside the time);
* Dask: a ``LocalCluster(n_workers=2, threads_per_worker=1, processes=True)`` started
  before the clock (a cluster is long-lived); its workers import velmora and build
  their pools inside the time, like the local ones.

A fourth run values, on two local workers, the trades of the book that read no Monte
Carlo pool (all of them when the engines chosen draw none): the workers' peak memory
without the pool, against the second run's with it.

Printed: trades/s of each run, the ratios local/serial (target >= 1.7) and Dask/local
(target >= 0.85), whether the three result frames are identical (they must be), and
a measure of how much two processes can gain on the machine at that moment, and
the peak resident memory of each worker process (``VmHWM`` of ``/proc/PID/status``,
read from this process's child processes by a sampling thread while a run lasts; the
serial figure is this process's own) with, in brackets, the peak of its private part
(``RssAnon``): local workers map the caller's Monte Carlo pool (about 400 MB) from
shared memory instead of drawing their own, Dask workers draw their own.
"""

import argparse
import datetime
import pathlib
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "scripts"))

import pandas as pd  # noqa: E402

from make_sample_book import make_book  # noqa: E402

DATE = datetime.date(2025, 12, 31)
MIX = {"snowball": 20, "phoenix": 20, "vanilla": 30, "barrier": 8, "dualknock": 4,
       "touch": 4, "dualtap": 4, "airbag": 3.4, "straddle": 3.3, "asian": 3.3}
DESK_MIX = {"snowball": 17.5, "phoenix": 17.5, "vanilla": 22, "barrier": 10, "dualknock": 4,
            "touch": 4, "dualtap": 4, "asian": 8, "lookback": 5, "airbag": 4, "straddle": 4}
MARKET = pd.DataFrame({"spot": [float("nan")] * 3, "vol": [0.28, 0.32, 0.22],
                       "r": [0.02, 0.02, 0.02], "q": [0.0, 0.01, 0.0]},
                      index=pd.Index(["SYN001.XSHG", "SYN002.XSHG", "SYN003.XSHG"],
                                     name="underlying"))


def _mb(kilobytes):
    return kilobytes / 1024.0


def _status_kb(pid, field):
    """A memory line of ``/proc/PID/status`` in kB (None where there is none)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _peak_kb(pid):
    """VmHWM of a process in kB: the peak resident memory of its current program,
    counting the pages it shares with others (a shared Monte Carlo pool)."""
    return _status_kb(pid, "VmHWM")


class ChildPeaks:
    """Peak memory of this process's descendants, sampled until stopped."""

    def __init__(self, every=0.2):
        import psutil

        self._me = psutil.Process()
        self.peaks = {}
        self.private = {}  # peak anonymous (unshared) resident memory, sampled
        self._every = every
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            for child in self._me.children(recursive=True):
                peak = _peak_kb(child.pid)
                if peak is not None:
                    self.peaks[child.pid] = max(peak, self.peaks.get(child.pid, 0))
                anon = _status_kb(child.pid, "RssAnon")
                if anon is not None:
                    self.private[child.pid] = max(anon, self.private.get(child.pid, 0))
            self._stop.wait(self._every)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def largest(self, n):
        """The ``n`` largest peaks in MB, each with the process's peak private memory
        (worker processes outweigh any helper)."""
        pids = sorted(self.peaks, key=self.peaks.get, reverse=True)[:n]
        return [f"{_mb(self.peaks[p]):.0f} MB ({_mb(self.private.get(p, 0)):.0f} private)"
                for p in pids]


def _spin(n):
    started = time.perf_counter()
    x = 0
    for i in range(n):
        x += i
    return time.perf_counter() - started


def machine_scaling(n=20_000_000):
    """Work two busy processes get done in a given time, against one (2.0 on two idle
    cores): on a shared machine the ceiling of any two-worker speed-up."""
    import multiprocessing

    one = _spin(n)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        two = max(pool.map(_spin, [n, n]))
    return 2 * one / two


def desk_book(n, seed):
    """The desk mix: the generator's trades, every other barrier American and the
    asians on the arithmetic average."""
    records = make_book(n, DESK_MIX, seed=seed)
    barriers = 0
    for record in records:
        terms = record["terms"]
        if record["product"] == "barrier":
            barriers += 1
            if barriers % 2 == 0:
                terms["exercise_type"] = "american"
                terms["rebate"] = 0.0
        elif record["product"] == "asian":
            terms["average_type"] = "arithmetic"
    return records


def _engine(text):
    kind, sep, name = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"--engine wants KIND=NAME, got {text!r}")
    return kind, name


def timed(trades, executor, scenarios=None, engines=None):
    from velmora.book import value_book

    started = time.perf_counter()
    results = value_book(trades, MARKET, DATE, executor=executor, progress=False,
                         scenarios=scenarios, engines=engines)
    return time.perf_counter() - started, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trades", type=int, default=1000, help="trades in the book")
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--mix", choices=("desk", "classic"), default="desk")
    parser.add_argument("--ladder", type=int, default=None,
                        help="points of the spot ladder -10%%..+10%% (desk: 5, classic: none)")
    parser.add_argument("--engine", type=_engine, action="append", default=[],
                        metavar="KIND=NAME", help="engines={KIND: NAME} (repeatable)")
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask run")
    args = parser.parse_args()

    import torch

    from velmora.book import spot_ladder
    from velmora.book._products import chosen_engines
    from velmora.book._valuation import _prepare

    desk = args.mix == "desk"
    records = desk_book(args.trades, args.seed) if desk else make_book(args.trades, MIX,
                                                                         seed=args.seed)
    trades = pd.DataFrame(records)
    points = args.ladder if args.ladder is not None else (5 if desk else 1)
    scenarios = spot_ladder(-0.1, 0.1, points) if points > 1 else None
    engines = chosen_engines(dict(args.engine)) or None
    counts = trades["product"].value_counts()
    print(f"python {' '.join(sys.argv)}")
    print(f"book of {len(trades)} trades on {DATE} ({args.mix} mix), full greeks, "
          f"{f'{points}-point spot ladder' if scenarios else 'no ladder'}, engines "
          f"{engines or 'default'}: " + ", ".join(f"{p} {n}" for p, n in counts.items()))

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    t_serial, serial = timed(trades, "serial", scenarios, engines)
    torch.set_num_threads(threads)
    rss_serial = _mb(_peak_kb("self"))

    with ChildPeaks() as peaks:
        t_local, local = timed(trades, 2, scenarios, engines)
    rss_local = peaks.largest(2)

    # the trades that draw no pool, on two fresh workers: their memory without it
    _, items, _, _ = _prepare(trades, MARKET, DATE, engines or {})
    no_pool = trades[[item is None or not item.draws_pool for item in items]]
    with ChildPeaks() as peaks:
        t_free, _ = timed(no_pool, 2, scenarios, engines)
    rss_free = peaks.largest(2)

    others = [local]
    if not args.no_dask:
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            with ChildPeaks() as peaks:
                t_dask, dask = timed(trades, client, scenarios, engines)
            rss_dask = peaks.largest(2)
        others.append(dask)

    same = all(serial.drop(columns="seconds").equals(other.drop(columns="seconds"))
               for other in others)
    failed = serial["error"].notna().sum()
    n = len(trades)
    print(f"failed trades: {failed} (the same in every run: {same})")
    print(f"{'run':<26}{'seconds':>10}{'trades/s':>10}{'ratio':>9}   peak memory per process")
    print(f"{'serial (1 process, 1 thr)':<26}{t_serial:>10.1f}{n / t_serial:>10.2f}"
          f"{1.0:>8.2f}x   {rss_serial:.0f} MB (this process)")
    print(f"{'local, 2 workers':<26}{t_local:>10.1f}{n / t_local:>10.2f}"
          f"{t_serial / t_local:>8.2f}x   " + ", ".join(rss_local))
    if not args.no_dask:
        print(f"{'Dask LocalCluster, 2 wkrs':<26}{t_dask:>10.1f}{n / t_dask:>10.2f}"
              f"{t_serial / t_dask:>8.2f}x   "
              + ", ".join(rss_dask))
    print(f"{'local, 2 wkrs, no pool':<26}{t_free:>10.1f}{len(no_pool) / t_free:>10.2f}"
          f"{'':>9}   " + ", ".join(rss_free) + f"  ({len(no_pool)} trades drawing no pool)")
    print(f"local / serial = {t_serial / t_local:.2f}x (target >= 1.7)"
          + ("" if args.no_dask else f"; Dask / local = {t_local / t_dask:.2f} (target >= 0.85)"))
    print(f"whole book on two local workers: {t_local:.1f} s (target < 60 s)")
    print(f"identical result frames (seconds aside): {'yes' if same else 'NO'}")
    print(f"this machine now: two busy processes do {machine_scaling():.2f}x the work of one "
          f"(2.00 on two idle cores), the ceiling of the two-worker ratios above")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
