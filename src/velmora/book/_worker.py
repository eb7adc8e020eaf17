"""What runs where the trades are valued: in the caller, a local worker process or a
Dask worker.

A ``Trade`` (picklable, no product object) names the product's module and class and
holds the terms and the resolved market inputs of one trade; the ``Job`` holds what
every trade shares: the scenarios' shifts, the evaluation date and whether greeks are
wanted.  ``value_trade`` returns one ``Row`` per scenario.
"""

import datetime
import os
import sys
import threading
import time
from collections.abc import Callable
from multiprocessing.connection import Connection
from typing import Any

from ._market_file import market_inputs
from ._parcels import NAN, Job, Row, Task, Trade, Valued, describe, failed
from ._products import product_class

# QuantLib's evaluation date is one setting for the whole process: valuations in one
# process run one at a time, even when a Dask worker runs several task threads.
_VALUATION_LOCK = threading.Lock()


def engine_name(product: Any) -> str:
    """The name of the method that values ``product`` (its ``engine`` attribute).

    Every product of the package names its engine there; a class of the caller's own
    without the attribute is taken for a closed form ("analytic").
    """
    return str(getattr(product, "engine", "analytic"))


def _one_pass() -> Any:
    """The scope of one row's valuation: every valuation of the row (the bumped ones
    included) runs inside it, reading each price history once per valuation date."""
    from .._history import one_pass

    return one_pass()


def _ladder_with_errors(product: Any) -> Callable[..., Any] | None:
    """The product's one-call spot ladder with standard errors, as ``f(spots, r, vol, q,
    date) -> (values, errors)``, or None when it has none that keeps the errors."""
    own = getattr(product, "spot_ladder_and_se", None)
    if callable(own):
        return own
    ladder = getattr(product, "spot_ladder", None)
    if not callable(ladder) or _simulated(product):
        return None
    return lambda *args: (ladder(*args), None)


def _simulated(product: Any) -> bool:
    from ..groundwork import BaseOption

    own = getattr(type(product), "npv_and_se", None)
    return own is not None and own is not BaseOption.npv_and_se


def _greeks_and_se(product: Any, *args: Any) -> tuple[Any, float]:
    """Greeks and the standard error of the value; a product of our own from one pass."""
    both = getattr(product, "_greeks_and_se", None)
    if both is not None:
        return both(*args)
    greeks = product.greeks(*args)
    return greeks, _npv_and_se(product, *args)[1] if _simulated(product) else 0.0


def _npv_and_se(product: Any, *args: Any) -> tuple[Any, float]:
    both = getattr(product, "npv_and_se", None)
    if both is not None:
        return both(*args)
    return product.npv(*args), 0.0


def _as_float(x: Any) -> float:
    return float(x)


def value_trade(job: Job, trade: Trade) -> list[Row]:
    """Value one trade in every scenario of ``job``; errors become that row's text."""
    with _VALUATION_LOCK:
        return _value_trade(job, trade)


def _value_trade(job: Job, trade: Trade) -> list[Row]:
    shifts = job.shifts
    n = len(shifts)
    date = job.date
    market = trade.market
    r: Any = market.r
    q: Any = market.q
    started = time.perf_counter()
    try:
        product = product_class(trade.module, trade.cls)(trade.terms)
        engine = engine_name(product)
    except Exception as e:
        return failed(e, n)
    build = time.perf_counter() - started
    spots = [market.spot * (1.0 + s) for s, _ in shifts]
    vols: list[Any] = [market.vol + v for _, v in shifts]
    structured = market.structured
    ladder = _ladder_with_errors(product)
    if (not job.greeks and n > 1 and ladder is not None and not structured
            and all(v == shifts[0][1] for _, v in shifts)):
        # One call values every spot of the ladder: the values equal ``npv`` at each
        # spot to the bit, so the rows are the same as one valuation per scenario.
        started = time.perf_counter()
        try:
            with _one_pass():
                values, errors = ladder(spots, r, vols[0], q, date)
            values = [_as_float(v) for v in values]
            errors = [0.0] * n if errors is None else [_as_float(e) for e in errors]
            if len(values) != n or len(errors) != n:
                raise ValueError(f"spot_ladder returned {len(values)} values for {n} spots")
        except Exception as e:
            return failed(e, n, engine)
        each = (time.perf_counter() - started) / n
        rows = [Row(v, NAN, NAN, NAN, NAN, NAN, se, engine, None, each)
                for v, se in zip(values, errors)]
        rows[0] = rows[0]._replace(seconds=rows[0].seconds + build)
        return rows
    rows = []
    for spot, vol, (_, vol_shift) in zip(spots, vols, shifts):
        started = time.perf_counter()
        try:
            if structured:
                # curves and a surface on the evaluation date; the surface sticky in
                # moneyness around the scenario's spot, its vols moved by the shift
                r, vol, q = market_inputs(market, spot, vol_shift, date)
            # every valuation of the row, the bumped ones included, in one scope
            with _one_pass():
                if job.greeks:
                    g, se = _greeks_and_se(product, spot, r, vol, q, date)
                    if structured:
                        g = g._replace(theta=_rolled_theta(product, trade, spot,
                                                           vol_shift, date, g.npv))
                    npv, delta, gamma, vega, theta, rho = (_as_float(x) for x in g)
                    row = Row(npv, delta, gamma, vega, theta, rho, _as_float(se), engine,
                              None, 0.0)
                else:
                    value, se = _npv_and_se(product, spot, r, vol, q, date)
                    row = Row(_as_float(value), NAN, NAN, NAN, NAN, NAN, _as_float(se),
                              engine, None, 0.0)
        except Exception as e:
            row = Row(NAN, NAN, NAN, NAN, NAN, NAN, NAN, engine, describe(e), 0.0)
        rows.append(row._replace(seconds=time.perf_counter() - started + build))
        build = 0.0
    return rows


def _rolled_theta(product: Any, trade: Trade, spot: float, vol_shift: float,
                  date: datetime.date, value: float) -> float:
    """Theta with the row's curves and surface rolled to the next day.

    The market file gives them by tenor and strike in per cent of spot, so the next
    day's valuation reads them anchored on the next day, as a scalar input is:
    V(date + 1 day, market on date + 1 day) - V(date), 0.0 within one day of
    maturity, the next day's close not yet observed (as ``BaseOption.theta``).
    """
    from .._history import unclosed_from

    next_day = date + datetime.timedelta(days=1)
    if (product.maturity_date.date() - date).days <= 1:
        return 0.0
    r, vol, q = market_inputs(trade.market, spot, vol_shift, next_day)
    with unclosed_from(date):
        return float(product.npv(spot, r, vol, q, next_day) - value)


# -- the market-data store ---------------------------------------------------------------

def open_store(store: str | None) -> None:
    """Point this process's lumadex at ``store`` (a path), once."""
    if store is None:
        return
    import lumadex
    from lumadex import _config

    if _config._current is None or str(_config._current) != store:
        lumadex.init(store)


# -- local worker processes ----------------------------------------------------------------

def _limit_threads(threads: int) -> None:
    """Keep this process to ``threads`` threads of torch and of the autocallable engine.

    The engine runs on ``torch.get_num_threads()`` threads, so one setting serves both.
    """
    if "torch" in sys.modules:
        import torch

        if torch.get_num_threads() != threads:
            torch.set_num_threads(threads)


def _leave() -> None:
    """End a worker told to stop, at once.

    Every result has been sent.  The interpreter's orderly shutdown (torch's and
    QuantLib's teardown, freeing a large heap) would keep the caller waiting about
    half a second for nothing, so the process flushes its output and exits.
    """
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    os._exit(0)


def worker_loop(conn: Connection, store: str | None, threads: int, job: Job,
                pooled: bool = False) -> None:
    """Body of a local worker process: value the trades sent until told to stop.

    With ``pooled`` the first message is the caller's Monte Carlo pool in shared memory
    (or None: draw your own); the worker is ready once it holds it.
    """
    for var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
        os.environ[var] = str(threads)
    open_store(store)
    if pooled:
        try:
            message = conn.recv_bytes()
        except (EOFError, OSError):
            return
        try:
            from multiprocessing.reduction import ForkingPickler

            _, pool = ForkingPickler.loads(message)
        except Exception:  # the shared block cannot be mapped here: draw our own pool
            pool = None
        if pool is not None:
            from .. import _pool_handover

            _pool_handover.give(*pool)
    _limit_threads(threads)
    conn.send(("ready", None, None))
    while True:
        try:
            message = conn.recv()
        except (EOFError, OSError):
            return
        if message is None:
            _leave()
        task: Task = message
        conn.send(("start", task.index, None))  # if this process dies now, this trade did it
        rows = value_trade(job, task.trade)
        _limit_threads(threads)  # the first product of a kind may have loaded torch
        conn.send(("done", task.index, rows))


# -- Dask ----------------------------------------------------------------------------------------

def dask_batch(store: str | None, job: Job, batch: list[Task]) -> list[Valued]:
    """A Dask task: value the trades of ``batch`` on this worker."""
    open_store(store)
    return [Valued(task.index, value_trade(job, task.trade)) for task in batch]
