"""What runs where the trades are valued: in the caller, a local worker process or a
Dask worker.

A work item is a plain dictionary (picklable, no product object): the product's module
and class, the terms and the resolved market inputs of one trade.  The job holds what
every trade shares: the scenarios, the evaluation date and whether greeks are wanted.
``value_trade`` returns one result tuple per scenario, ``(npv, delta, gamma, vega,
theta, rho, error, seconds)``.
"""

import datetime
import importlib
import math
import os
import sys
import threading
import time

from ._market_file import market_inputs

NAN = math.nan

# QuantLib's evaluation date is one setting for the whole process: valuations in one
# process run one at a time, even when a Dask worker runs several task threads.
_VALUATION_LOCK = threading.Lock()


def describe(exc):
    """The error text of a result row: "ExceptionType: message"."""
    return f"{type(exc).__name__}: {exc}"


def failed(exc, n):
    return [(NAN,) * 6 + (describe(exc), 0.0)] * n


def _product_class(module, name):
    return getattr(importlib.import_module(module), name)


def _as_float(x):
    return float(x)


def value_trade(job, item):
    """Value one trade in every scenario of ``job``; errors become that row's text."""
    with _VALUATION_LOCK:
        return _value_trade(job, item)


def _value_trade(job, item):
    shifts = job["scenarios"]  # (spot_shift, vol_shift) per scenario
    n = len(shifts)
    date = datetime.date.fromisoformat(job["date"])
    r, q = item["r"], item["q"]
    started = time.perf_counter()
    try:
        product = _product_class(item["module"], item["cls"])(item["terms"])
    except Exception as e:
        return failed(e, n)
    build = time.perf_counter() - started
    spots = [item["spot"] * (1.0 + s) for s, _ in shifts]
    vols = [item["vol"] + v for _, v in shifts]
    structured = any(item.get(c) for c in ("r_curve", "q_curve", "vol_surface"))
    ladder = getattr(product, "spot_ladder", None)
    if (not job["greeks"] and n > 1 and callable(ladder) and not structured
            and all(v == shifts[0][1] for _, v in shifts)):
        # One call values every spot of the ladder: the values equal ``npv`` at each
        # spot to the bit, so the rows are the same as one valuation per scenario.
        started = time.perf_counter()
        try:
            values = [_as_float(v) for v in ladder(spots, r, vols[0], q, date)]
            if len(values) != n:
                raise ValueError(f"spot_ladder returned {len(values)} values for {n} spots")
        except Exception as e:
            return failed(e, n)
        each = (time.perf_counter() - started) / n
        rows = [(v, NAN, NAN, NAN, NAN, NAN, None, each) for v in values]
        rows[0] = rows[0][:7] + (rows[0][7] + build,)
        return rows
    rows = []
    for spot, vol, (_, vol_shift) in zip(spots, vols, shifts):
        started = time.perf_counter()
        try:
            if structured:
                # curves and a surface on the evaluation date; the surface sticky in
                # moneyness around the scenario's spot, its vols moved by the shift
                r, vol, q = market_inputs(item, spot, vol_shift, date)
            if job["greeks"]:
                g = product.greeks(spot, r, vol, q, date)
                if structured:
                    g = g._replace(theta=_rolled_theta(product, item, spot, vol_shift, date,
                                                       g.npv))
                row = tuple(_as_float(x) for x in g) + (None,)
            else:
                row = (_as_float(product.npv(spot, r, vol, q, date)),) + (NAN,) * 5 + (None,)
        except Exception as e:
            row = (NAN,) * 6 + (describe(e),)
        rows.append(row + (time.perf_counter() - started + build,))
        build = 0.0
    return rows


def _rolled_theta(product, item, spot, vol_shift, date, value):
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
    r, vol, q = market_inputs(item, spot, vol_shift, next_day)
    with unclosed_from(date):
        return product.npv(spot, r, vol, q, next_day) - value


# -- the market-data store ---------------------------------------------------------------

def open_store(store):
    """Point this process's lumadex at ``store`` (a path), once."""
    if store is None:
        return
    import lumadex
    from lumadex import _config

    if _config._current is None or str(_config._current) != store:
        lumadex.init(store)


# -- local worker processes ----------------------------------------------------------------

def _limit_threads(threads):
    """Keep this process to ``threads`` threads of torch and of the autocallable engine.

    The engine runs on ``torch.get_num_threads()`` threads, so one setting serves both.
    """
    if "torch" in sys.modules:
        import torch

        if torch.get_num_threads() != threads:
            torch.set_num_threads(threads)


def _leave():
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


def worker_loop(conn, store, threads, job, pooled=False):
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
        index, item = message
        conn.send(("start", index, None))  # if this process dies now, this trade did it
        rows = value_trade(job, item)
        _limit_threads(threads)  # the first product of a kind may have loaded torch
        conn.send(("done", index, rows))


# -- Dask ----------------------------------------------------------------------------------------

def dask_batch(store, job, batch):
    """A Dask task: value the ``(index, item)`` pairs of ``batch`` on this worker."""
    open_store(store)
    return [(index, value_trade(job, item)) for index, item in batch]
