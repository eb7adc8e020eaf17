"""Book valuation: every trade of a book valued with greeks and scenario ladders.

A desk revalues its whole book every evening.  ``value_book`` takes a frame of trades
(``read_trades``), a market per underlying (``read_market``), an evaluation date and a
list of scenarios (``Scenario``, ``spot_ladder``, ``vol_ladder``), and returns one row
per trade and scenario with the product's own value and greeks, the standard error of
the value and the engine that gave it, the position in desk units (``DESK_COLUMNS``), a
per-trade error text instead of numbers where a trade fails, and the seconds each row
took; the frame's ``attrs["run"]`` records the run.  ``summarize`` adds the positions up
per underlying and scenario; ``plot_ladder`` draws the ladders; ``write_results`` and
``read_results`` keep the results with their record.  ``python -m velmora.book`` does
all of it from files.

Where the trades are valued (``executor``):

* ``None``: local worker processes, one per core.  Processes, not threads: QuantLib's
  evaluation date is a setting of the whole process.  Workers are started fresh
  (``spawn``), open the caller's lumadex store by its path, and share the cores: torch
  and the autocallable engine run ``cores // workers`` threads in each.  When the book
  holds Monte Carlo notes, the caller's normal pool (``velmora.normdraw``, drawn here
  if this process has none yet) is put in shared memory once and mapped by every
  worker: the same values, without each worker drawing its own 400 MB.
* ``"serial"``: one trade after the other in the calling process.
* a ``dask.distributed.Client``: that cluster's workers, which need velmora installed
  and the caller's store file at the same path.

The numbers do not depend on the executor or on how the book is split: every valuation
is the product's own ``greeks`` (or ``npv``) on the same inputs, and the Monte Carlo
notes give the same result on any number of threads.

A worker process that dies (a crash, an out-of-memory kill) loses nothing: the trade
it was valuing is tried once more in another process, the trades queued behind it go
to other workers, and a trade whose second try also kills its worker gets the error
"WorkerDied: ...".  On Dask the scheduler's own retry rule applies first
(``distributed.scheduler.allowed-failures``); the trades of a task it gives up on are
then tried again one task at a time, after the rest of the book, so that a worker
dying then can only be the trade's own doing.
"""

import datetime
import math
import multiprocessing
import os
import sys
import time
from collections import deque
from collections.abc import Iterable, Mapping
from multiprocessing.connection import wait
from typing import Any

import pandas as pd

from .._typing import DateLike
from . import _market_file, _worker
from ._io import _blank, finite_number, read_market, read_trades
from ._record import read_results, run_record, write_results
from ._reports import DESK_COLUMNS, desk_units, plot_ladder, summarize
from ._scenario import (BASE, MAX_LADDER_POINTS, Scenario, spot_ladder, spot_vol_grid,
                        vol_ladder)

__all__ = [
    "COLUMNS",
    "DESK_COLUMNS",
    "ENGINES",
    "MAX_LADDER_POINTS",
    "MAX_QUANTITY",
    "PRODUCTS",
    "ClusterLost",
    "Scenario",
    "WorkerDied",
    "plot_ladder",
    "read_market",
    "read_results",
    "read_trades",
    "spot_ladder",
    "spot_vol_grid",
    "summarize",
    "value_book",
    "vol_ladder",
    "desk_units",
    "write_results",
]

# product name in a trades file -> (module, class)
PRODUCTS = {
    "vanilla": ("velmora.vanilla", "VanillaOption"),
    "barrier": ("velmora.barrier", "BarrierOption"),
    "dualknock": ("velmora.dualknock", "DoubleBarrierOption"),
    "touch": ("velmora.touch", "SingleTouchOption"),
    "dualtap": ("velmora.dualtap", "DoubleTouchOption"),
    "asian": ("velmora.asian", "AsianOption"),
    "lookback": ("velmora.lookback", "LookbackOption"),
    "snowball": ("velmora.snowball", "SnowBallOption"),
    "phoenix": ("velmora.phoenix", "PhoenixOption"),
    "airbag": ("velmora.airbag", "AirbagOption"),
    "straddle": ("velmora.straddle", "StraddleOption"),
}

COLUMNS = ["trade_id", "product", "underlying", "scenario", "spot", "vol", "quantity",
           "engine", "npv", "npv_se", "delta", "gamma", "vega", "theta", "rho",
           *DESK_COLUMNS, "error", "seconds"]
GREEKS = ("npv", "delta", "gamma", "vega", "theta", "rho")

# The engines a trade's terms may choose ("engine"), per product; the first is the
# default.  Every other product has one method only.
ENGINES = {
    "snowball": ("monte_carlo", "pde"),
    "phoenix": ("monte_carlo", "pde"),
    "asian": ("monte_carlo", "qmc"),
}

# The products whose Monte Carlo engine reads velmora.normdraw's pool: local workers
# valuing them are handed the caller's pool in shared memory instead of drawing their own.
_POOL_READERS = frozenset({"velmora.snowball", "velmora.phoenix"})

# The largest number of units a position may hold.  A value times a quantity beyond it
# (1e12 units of a product worth 1e6 is 1e18) would come near the doubles' range in a
# sum; no desk holds a position of that size.
MAX_QUANTITY = 1e12

# Trades kept in flight per local worker: the next one is already there when the
# current one is done.
_DEPTH = 2


class WorkerDied(RuntimeError):
    """The process valuing a trade died, on the first try and on the retry."""


class ClusterLost(RuntimeError):
    """The Dask cluster went away while the book was valued: no trade is to blame."""


# -- inputs ---------------------------------------------------------------------------------

def _evaluation_date(value):
    """A date, datetime, Timestamp or ISO text YYYY-MM-DD as a ``datetime.date``.

    Numbers are refused: pandas would read 20251231 as nanoseconds after 1970.
    """
    if value is None:
        raise ValueError("value_book needs an evaluation date")
    if isinstance(value, str):
        try:
            return parse_iso_date(value)
        except ValueError as e:
            raise ValueError(f"evaluation date {value!r}: {e}") from None
    if not isinstance(value, (datetime.date, pd.Timestamp)):
        raise TypeError(f"evaluation date must be a date, a Timestamp or ISO text "
                        f"YYYY-MM-DD, got {type(value).__name__} {value!r}")
    if pd.isna(value):
        raise ValueError("evaluation date is NaT")
    return pd.Timestamp(value).date()


def parse_iso_date(text):
    """ISO text YYYY-MM-DD as a ``datetime.date``; ``ValueError`` for anything else."""
    text = text.strip()
    if len(text) != 10 or text[4] != "-" or text[7] != "-":
        raise ValueError(f"{text!r} is not a date in the form YYYY-MM-DD")
    try:
        return datetime.date.fromisoformat(text)
    except ValueError as e:
        raise ValueError(f"{text!r} is not a date in the form YYYY-MM-DD: {e}") from None


def _engines(engines):
    """The engine chosen per product kind, checked against ``ENGINES``."""
    if engines is None:
        return {}
    if not hasattr(engines, "items"):
        raise TypeError(f"engines must be a mapping of product -> engine name, "
                        f"got {engines!r}")
    chosen = {}
    for kind, name in engines.items():
        if kind not in PRODUCTS:
            raise ValueError(f"engines: unknown product {kind!r}; known: "
                             f"{', '.join(sorted(PRODUCTS))}")
        if kind not in ENGINES:
            raise ValueError(f"engines: {kind} has no engine to choose (products that "
                             f"have: {', '.join(sorted(ENGINES))})")
        if name not in ENGINES[kind]:
            raise ValueError(f"engines: {kind} has no engine {name!r}; accepted: "
                             f"{', '.join(ENGINES[kind])}")
        chosen[kind] = name
    return chosen


def _scenarios(scenarios) -> list[Scenario]:
    if scenarios is None:
        return [BASE]
    if isinstance(scenarios, Scenario):
        scenarios = [scenarios]
    scenarios = list(scenarios)
    if not scenarios:
        raise ValueError("scenarios is empty: give at least one (None means the base)")
    names = set()
    for s in scenarios:
        if not isinstance(s, Scenario):
            raise TypeError(f"scenarios must be Scenario objects, got {s!r}")
        if s.name in names:
            raise ValueError(f"scenario name {s.name!r} is used twice")
        names.add(s.name)
    return scenarios


def _check_trades(trades):
    if not isinstance(trades, pd.DataFrame):
        raise TypeError(f"trades must be a pandas DataFrame, got {type(trades).__name__}")
    missing = [c for c in ("trade_id", "product", "terms") if c not in trades.columns]
    if missing:
        raise ValueError(f"trades: missing column(s) {', '.join(missing)}")
    seen = {}
    for k, trade_id in enumerate(trades["trade_id"]):
        if not isinstance(trade_id, str) or not trade_id.strip():
            raise ValueError(f"trades, row {k}: trade_id must be non-empty text, "
                             f"got {trade_id!r}")
        if trade_id in seen:
            raise ValueError(f"trades, row {k}: duplicate trade_id {trade_id!r} "
                             f"(first at row {seen[trade_id]})")
        seen[trade_id] = k


def _check_market(market):
    if not isinstance(market, pd.DataFrame):
        raise TypeError(f"market must be a pandas DataFrame, got {type(market).__name__}")
    missing = [c for c in ("spot", "vol", "r", "q") if c not in market.columns]
    if missing:
        raise ValueError(f"market: missing column(s) {', '.join(missing)}")
    if market.index.has_duplicates:
        repeated = market.index[market.index.duplicated()].unique().tolist()
        raise ValueError(f"market: underlying(s) listed twice: {repeated}")


def _terms(raw):
    import json

    if isinstance(raw, str):
        try:
            raw = json.loads(raw)
        except json.JSONDecodeError as e:
            raise ValueError(f"terms are not a JSON object: {e}") from None
        except RecursionError:
            raise ValueError("terms are nested too deeply to read") from None
    if not isinstance(raw, dict):
        if hasattr(raw, "keys") and hasattr(raw, "__getitem__"):
            return dict(raw)
        raise TypeError(f"terms must be a dictionary of contract terms, got "
                        f"{type(raw).__name__}")
    return raw


def _quantity(raw):
    """Signed units held: None means one unit; NaN, infinities and quantities beyond
    ``MAX_QUANTITY`` are refused."""
    if raw is None:
        return 1.0
    if isinstance(raw, bool):
        raise TypeError(f"quantity must be a number, got {raw!r}")
    try:
        number = float(raw)
    except (TypeError, ValueError):
        number = None
    if number is not None and math.isnan(number):
        raise ValueError(f"quantity {raw!r} is not a number (NaN)")
    number = finite_number(raw, "quantity")
    if abs(number) > MAX_QUANTITY:
        raise ValueError(f"quantity {number:g} is beyond the largest position of "
                         f"{MAX_QUANTITY:g} units")
    return number


class _Market:
    """Market inputs per underlying; a missing spot is the client's close that day."""

    def __init__(self, market, date):
        self._market = market
        self._date = date
        self._closes = {}
        self._structures = {}

    def inputs(self, underlying):
        if not isinstance(underlying, str):
            raise TypeError(f"underlying must be text, got {underlying!r}")
        if underlying not in self._market.index:
            raise ValueError(f"no market data for {underlying}: the market has no row "
                             f"for it")
        row = self._market.loc[underlying]
        values = {}
        for column in ("vol", "r", "q"):
            structure = _market_file.SURFACE_COLUMN if column == "vol" else f"{column}_curve"
            cell = row.get(structure)
            if not _blank(cell):
                values[structure] = self._structure(underlying, structure, cell)
                values[column] = math.nan  # the scalar, not used
                continue
            value = float(row[column])
            if math.isnan(value):
                raise ValueError(f"no {column} for {underlying} in the market")
            values[column] = value
        spot = float(row["spot"])
        if math.isnan(spot):
            spot = self._close(underlying)
        values["spot"] = spot
        return values

    def _structure(self, underlying, column, cell):
        """A curve or surface cell as checked plain data (read once per underlying)."""
        key = (underlying, column)
        if key not in self._structures:
            where = f"market, {underlying}: {column}"
            try:
                parse = (_market_file.parse_surface if column == _market_file.SURFACE_COLUMN
                         else _market_file.parse_curve)
                self._structures[key] = parse(cell, where)
            except Exception as e:
                self._structures[key] = e
        value = self._structures[key]
        if isinstance(value, Exception):
            raise value
        return value

    def _close(self, underlying):
        if underlying not in self._closes:
            self._closes[underlying] = self._fetch_close(underlying)
        close = self._closes[underlying]
        if isinstance(close, Exception):
            raise close
        return close

    def _fetch_close(self, underlying):
        from .. import _history

        # the close as stored that day: "none" is the price the market traded at; on
        # the latest stored day it equals the back-adjusted ("pre") close
        try:
            close = _history.close_on(underlying, self._date)
        except Exception as e:
            return ValueError(f"no spot for {underlying} in the market, and the "
                              f"market-data client failed to give its close on "
                              f"{self._date}: {_worker.describe(e)}")
        if close is None:
            return ValueError(f"no spot for {underlying}: the market gives none and the "
                              f"market-data client has no close of it on {self._date}")
        return close


def _prepare(trades, market, date, engines):
    """Per trade: its row head (trade_id, product, underlying, quantity, spot, vol) and
    either a work item for a worker or the error that stops it here; and the market
    inputs used per underlying."""
    inputs = _Market(market, date)
    used = {}
    quantities = trades["quantity"] if "quantity" in trades.columns else [None] * len(trades)
    heads, items, errors = [], [], []
    for trade_id, name, raw_terms, raw_quantity in zip(
            trades["trade_id"], trades["product"], trades["terms"], quantities):
        head = {"trade_id": trade_id, "product": name, "underlying": None,
                "quantity": math.nan, "spot": math.nan, "vol": math.nan}
        item = error = None
        try:
            head["quantity"] = _quantity(raw_quantity)
            quantity_error = None
        except Exception as e:  # reported after the product's own problems
            quantity_error = e
        try:
            terms = _terms(raw_terms)
            underlying = terms.get("underlying")
            head["underlying"] = underlying if isinstance(underlying, str) else None
            if not isinstance(name, str) or name not in PRODUCTS:
                raise KeyError(f"unknown product {name!r}; known: "
                               f"{', '.join(sorted(PRODUCTS))}")
            if quantity_error is not None:
                raise quantity_error
            if "underlying" not in terms:
                raise KeyError("underlying")
            if name in engines and "engine" not in terms:
                terms = {**terms, "engine": engines[name]}
            values = inputs.inputs(underlying)
            used[underlying] = values
            head["spot"], head["vol"] = values["spot"], values["vol"]
            module, cls = PRODUCTS[name]
            item = {"module": module, "cls": cls, "terms": terms, **values}
        except Exception as e:
            error = e
        heads.append(head)
        items.append(item)
        errors.append(error)
    return heads, items, errors, used


def _draws_pool(item):
    """Whether the trade of a work item is valued on velmora.normdraw's pool."""
    return (item["module"] in _POOL_READERS
            and item["terms"].get("engine", "monte_carlo") == "monte_carlo")


# -- executors --------------------------------------------------------------------------------

def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _progress_bar(total, progress):
    if progress is None:
        progress = sys.stderr is not None and getattr(sys.stderr, "isatty", lambda: False)()
    from tqdm.auto import tqdm

    return tqdm(total=total, unit="trade", file=sys.stderr, disable=not progress,
                desc="valuing", dynamic_ncols=True)


def _store():
    """The path of the store this process reads, for workers to open the same one."""
    import lumadex

    return str(lumadex.store_path())


def _run_serial(job, work, done):
    for index, item in work:
        done(index, _worker.value_trade(job, item))


class _Proc:
    """One local worker process and the trades sent to it."""

    def __init__(self, ctx, args):
        self.conn, child = ctx.Pipe()
        self.process = ctx.Process(target=_worker.worker_loop, name="velmora-book-worker",
                                   args=(child,) + args, daemon=True)
        self.process.start()
        child.close()
        self.pooled = False  # has been sent the caller's Monte Carlo pool
        self.inflight = []
        self.current = None  # the trade it has started valuing
        self.ready = False  # has opened the store


def _shared_memory_room():
    """Bytes free in the shared-memory file system; 0 where there is none.

    Containers often mount a small /dev/shm (64 MB by default under Docker), and a pool
    written past its end would kill the process with SIGBUS: it is shared only if it fits.
    """
    try:
        fs = os.statvfs("/dev/shm")
    except (AttributeError, OSError):
        return 0
    return fs.f_bavail * fs.f_frsize


class _Local:
    """Local worker processes, each fed ``_DEPTH`` trades ahead.

    A worker says which trade it starts, so when it dies the trade it was valuing is
    known: that trade goes to the front of the queue for one more try in another
    process, and fails if it kills that one too; the trades queued behind it go back
    unharmed.  Workers that die before they are ready (a store that cannot be opened,
    a broken installation) charge nothing to the trades; after a few such deaths in a
    row the remaining trades fail with the reason.
    """

    START_FAILURES = 3

    def __init__(self, workers, job, store):
        self.ctx = multiprocessing.get_context("spawn")
        self.target = workers
        self.args = (store, max(1, _cores() // workers), job)
        self.procs = []
        self.pool = None
        self.start_failures = 0
        self.last_death = ""

    def _share_pool(self):
        """Send this process's Monte Carlo pool to the workers that wait for it.

        Drawing it costs each worker about half a second of start-up and 400 MB of its
        own; mapping the caller's shared copy costs neither, and the values are the same.
        The workers are started first, so the caller draws its pool (if it has none yet)
        while they start.  If the pool cannot be shared, the workers draw their own.
        """
        if self.pool is None:
            try:
                import torch.multiprocessing  # noqa: F401  (tensors pickle as shared memory)

                from .. import normdraw

                pool = normdraw._normdraws
                fits = pool.is_shared() or pool.nbytes * 1.25 < _shared_memory_room()
                self.pool = normdraw._shared_pool() if fits else False
            except Exception:  # no room for it after all: each worker draws its own
                self.pool = False
        for p in self.procs:
            if not p.pooled:
                p.pooled = True
                try:
                    p.conn.send(("pool", self.pool or None))
                except OSError:  # the worker is gone already; its sentinel says so next
                    pass

    def run(self, work, done, fail):
        self.items = dict(work)
        self.pending = deque(index for index, _ in work)
        self.deaths = {}
        self.remaining = len(self.pending)
        self.done, self.fail = done, fail
        # one drawing of the pool instead of one per worker, when the book needs one
        share = (self.target > 1 and _shared_memory_room() > 0
                 and any(_draws_pool(item) for _, item in work))
        args = self.args + (share,)
        try:
            while self.remaining:
                want = min(self.target, self.remaining)
                while len(self.procs) < want and self.start_failures <= self.START_FAILURES:
                    self.procs.append(_Proc(self.ctx, args))
                if share:
                    self._share_pool()
                if not self.procs:
                    self._give_up()
                    break
                self._feed()
                ready = set(wait([p.conn for p in self.procs] +
                                 [p.process.sentinel for p in self.procs]))
                for p in list(self.procs):
                    if p.conn in ready:
                        self._drain(p)
                    if p.process.sentinel in ready or not p.process.is_alive():
                        self._drain(p)
                        self._buried(p)
        finally:
            self._stop()

    def _give_up(self):
        error = WorkerDied(f"worker processes die as they start ({self.last_death}); "
                           f"nothing could be valued")
        for index in self.pending:
            self.fail(index, error)
            self.remaining -= 1
        self.pending.clear()

    def _feed(self):
        for p in self.procs:
            while self.pending and len(p.inflight) < _DEPTH:
                index = self.pending.popleft()
                try:
                    p.conn.send((index, self.items[index]))
                except OSError:  # the worker is gone; its sentinel says so next
                    self.pending.appendleft(index)
                    break
                p.inflight.append(index)

    def _drain(self, p):
        try:
            while p.conn.poll():
                kind, index, rows = p.conn.recv()
                if kind == "ready":
                    p.ready = True
                    self.start_failures = 0
                elif kind == "start":
                    p.current = index
                else:
                    p.inflight.remove(index)
                    p.current = None
                    self.done(index, rows)
                    self.remaining -= 1
        except Exception:  # closed, or a message cut short by the death: the sentinel
            pass  # tells the rest

    def _buried(self, p):
        """A dead worker: its current trade is tried once more, the others go back."""
        p.process.join()
        p.conn.close()
        self.procs.remove(p)
        code = p.process.exitcode
        how = f"exit code {code}"
        if code is not None and code < 0:
            import signal

            try:
                how = f"killed by {signal.Signals(-code).name}"
            except ValueError:
                how = f"killed by signal {-code}"
        self.last_death = how
        if not p.ready:
            self.start_failures += 1
        back = [index for index in p.inflight if index != p.current]
        self.pending.extendleft(reversed(back))
        index = p.current
        if index is None or index not in p.inflight:
            return
        self.deaths[index] = self.deaths.get(index, 0) + 1
        if self.deaths[index] >= 2:
            self.fail(index, WorkerDied(
                f"the worker process died while valuing this trade, on the first try and "
                f"on the retry ({how})"))
            self.remaining -= 1
        else:
            self.pending.appendleft(index)

    def _stop(self):
        for p in self.procs:
            try:
                p.conn.send(None)
            except OSError:
                pass
        deadline = time.monotonic() + 5.0
        for p in self.procs:
            p.process.join(max(0.0, deadline - time.monotonic()))
            if p.process.is_alive():
                p.process.terminate()
                p.process.join()
            p.conn.close()
        self.procs = []
        self.pool = None


def _local_workers(executor):
    """How many local worker processes ``executor`` asks for; 0 for the other kinds."""
    if executor is None:
        return _cores()
    if isinstance(executor, int) and not isinstance(executor, bool):
        if executor < 1:
            raise ValueError(f"a number of local worker processes must be >= 1, "
                             f"got {executor}")
        return executor
    if (isinstance(executor, str) and executor == "serial") or _is_dask_client(executor):
        return 0
    raise TypeError(f"executor must be None (local processes, one per core), a number of "
                    f"local processes, 'serial' or a dask.distributed.Client, "
                    f"got {executor!r}")


def _is_dask_client(executor):
    if "distributed" not in sys.modules:
        return False
    from distributed import Client

    return isinstance(executor, Client)


def _cluster_lost(client, error):
    """Raise ``ClusterLost`` when a cancelled task means the cluster itself is gone."""
    try:
        alive = client.status == "running" and client.scheduler_info().get("address")
        if alive:
            client.nthreads()
    except Exception:
        alive = False
    if not alive:
        raise ClusterLost(f"the Dask cluster was lost while the book was valued "
                          f"({_worker.describe(error)}); no result is kept") from error


def _run_dask(client, job, store, work, done, fail):
    """Batches of trades as Dask tasks; then the trades of batches whose worker died,
    one task at a time, so that a death can only be the trade's own."""
    from distributed import KilledWorker, as_completed
    from distributed.utils import CancelledError

    try:
        threads = sum(client.nthreads().values()) or 1
    except Exception as e:  # a closed client, or one whose cluster is gone
        raise ConnectionError(f"the Dask scheduler cannot be reached "
                              f"({_worker.describe(e)}); nothing was valued") from e
    # a few tasks per worker thread keep the load even; a task holds several trades so
    # the scheduler's per-task cost stays small beside the valuations
    size = max(1, min(16, len(work) // (threads * 8)))
    owner, retry = {}, []
    futures = as_completed()
    for k in range(0, len(work), size):
        future = client.submit(_worker.dask_batch, store, job, work[k:k + size], pure=False)
        owner[future.key] = work[k:k + size]
        futures.add(future)
    for future in futures:
        batch = owner.pop(future.key)
        try:
            results = future.result()
        except CancelledError as e:
            _cluster_lost(client, e)
            for index, _ in batch:
                fail(index, e)
            continue
        except KilledWorker:
            # the worker died under this batch or beside it (a worker holds several
            # tasks): try its trades again once the others are done
            retry.extend(batch)
            continue
        except Exception as e:  # the task itself failed (velmora missing on a worker...)
            for index, _ in batch:
                fail(index, e)
            continue
        for index, rows in results:
            done(index, rows)
    for single in retry:
        future = client.submit(_worker.dask_batch, store, job, [single], pure=False)
        try:
            (index, rows), = future.result()
        except CancelledError as e:
            _cluster_lost(client, e)
            fail(single[0], e)
            continue
        except KilledWorker as e:
            fail(single[0], WorkerDied(f"the Dask workers valuing this trade died, with "
                                       f"nothing else running ({_worker.describe(e)})"))
            continue
        except Exception as e:
            fail(single[0], e)
            continue
        done(index, rows)


# -- the job --------------------------------------------------------------------------------------

def value_book(trades: pd.DataFrame, market: pd.DataFrame, evaluation_date: DateLike, *,
               scenarios: Scenario | Iterable[Scenario] | None = None, greeks: bool = True,
               executor: Any = None, progress: bool | None = None,
               engines: Mapping[str, str] | None = None) -> pd.DataFrame:
    """Value every trade of a book in every scenario.

    Parameters
    ----------
    trades : pandas.DataFrame
        One row per trade: ``trade_id`` (unique text), ``product`` (a key of
        ``PRODUCTS``), ``terms`` (the option dictionary, or its JSON text) and,
        optionally, ``quantity`` (signed units held, default 1.0).  ``read_trades``
        reads one from a file.
    market : pandas.DataFrame
        Indexed by underlying, with ``spot``, ``vol``, ``r`` and ``q``.  A NaN spot is
        the market-data client's close (as stored, not back-adjusted) of that
        underlying on the evaluation date.
    evaluation_date : date, Timestamp or ISO text
    scenarios : list of Scenario, optional
        Default: the single scenario "base".
    greeks : bool
        ``True``: the product's ``greeks``; ``False``: its ``npv`` only (the greeks
        columns are NaN).
    executor : None, int, "serial" or dask.distributed.Client
        None: local worker processes, one per core; a number: that many local
        worker processes; "serial": this process.
    progress : bool, optional
        A tqdm bar on stderr counting trades; by default shown when stderr is a
        terminal.
    engines : dict, optional
        ``{product: engine}`` (see ``ENGINES``): the engine of every trade of that
        product whose terms do not name one.

    Returns
    -------
    pandas.DataFrame
        The columns of ``COLUMNS``, one row per trade and scenario, in the trades'
        order and then the scenarios' order.  ``npv`` to ``rho`` are per unit, as the
        product returns them (``quantity`` is not multiplied in); ``npv_se`` is the
        Monte Carlo standard error of ``npv`` (0.0 for exact methods) and ``engine``
        the method that valued the row.  ``DESK_COLUMNS`` hold the position in one
        convention for every product (see ``summarize``).  ``attrs["run"]`` is the
        run's record (``run_record``).  A failed row has
        NaN numbers and ``error`` = "ExceptionType: message"; ``error`` is missing
        (``isna``) on the rows valued.  ``seconds`` is the wall time of the row's valuation (the
        trade's first row also carries the building of the product).

    Notes
    -----
    With ``greeks=False`` and scenarios that move only the spot, a product with a
    ``spot_ladder(spots, r, vol, q, evaluation_date)`` method values all the spots of
    a trade in one call; that method returns what ``npv`` returns at each spot, to the
    bit, so the rows are the same either way.

    Raises
    ------
    ValueError, TypeError
        For a malformed trades or market frame, an empty or repeated scenario name, an
        engine a product does not have, or an evaluation date that is not a date.
        Problems of one trade never raise.
    ConnectionError
        When the Dask scheduler of ``executor`` cannot be reached.
    ClusterLost
        When the Dask cluster goes away while the book is valued.
    """
    started = datetime.datetime.now(datetime.UTC)
    _check_trades(trades)
    _check_market(market)
    date = _evaluation_date(evaluation_date)
    scenarios = _scenarios(scenarios)
    engines = _engines(engines)
    local = _local_workers(executor)
    heads, items, errors, used = _prepare(trades, market, date, engines)
    n = len(scenarios)
    results = [None] * len(heads)
    bar = _progress_bar(len(heads), progress)

    def done(index, rows):
        results[index] = rows
        bar.update(1)

    def fail(index, error):
        done(index, _worker.failed(error, n))

    try:
        work = []
        for index, (item, error) in enumerate(zip(items, errors)):
            if error is not None:
                fail(index, error)
            else:
                work.append((index, item))
        job = {"scenarios": [(s.spot_shift, s.vol_shift) for s in scenarios],
               "date": date.isoformat(), "greeks": bool(greeks)}
        if work:
            if isinstance(executor, str):
                _run_serial(job, work, done)
            elif local:
                _Local(min(local, len(work)), job, _store()).run(work, done, fail)
            else:
                _run_dask(executor, job, _store(), work, done, fail)
    finally:
        bar.close()
    frame = _frame(heads, results, scenarios)
    valued = frame[frame["engine"].notna()]
    engines_used = {product: sorted(set(names)) for product, names
                    in valued.groupby("product")["engine"]}
    frame.attrs["run"] = run_record(
        date=date, market=used, scenarios=scenarios, engines=engines, greeks=greeks,
        started=started, ended=datetime.datetime.now(datetime.UTC),
        engines_used=engines_used)
    return frame


def _frame(heads, results, scenarios):
    columns = {c: [] for c in COLUMNS}
    for head, rows in zip(heads, results):
        for scenario, row in zip(scenarios, rows):
            ok = row.error is None
            columns["trade_id"].append(head["trade_id"])
            columns["product"].append(head["product"])
            columns["underlying"].append(head["underlying"])
            columns["scenario"].append(scenario.name)
            columns["spot"].append(scenario.spot(head["spot"]))
            columns["vol"].append(scenario.vol(head["vol"]))
            columns["quantity"].append(head["quantity"])
            columns["engine"].append(row.engine)
            for name in (*GREEKS, "npv_se"):
                columns[name].append(getattr(row, name) if ok else math.nan)
            columns["error"].append(row.error)
            columns["seconds"].append(row.seconds)
    for name in DESK_COLUMNS:
        columns.pop(name)
    frame = pd.DataFrame(columns)
    for name in ("spot", "vol", "quantity", *GREEKS, "npv_se", "seconds"):
        frame[name] = frame[name].astype(float)
    desk = desk_units(frame)
    for name in DESK_COLUMNS:
        frame[name] = desk[name]
    frame = frame[COLUMNS]
    frame.attrs["scenarios"] = {s.name: (s.spot_shift, s.vol_shift) for s in scenarios}
    return frame

