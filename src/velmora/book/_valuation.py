"""The book job: the trades checked and resolved against the market, valued by a runner,
and the rows assembled into the results frame with the run's record."""

import datetime
import sys
from collections.abc import Iterable, Mapping
from typing import Any

import pandas as pd

from .._typing import DateLike
from ._checks import check_market, check_trades, quantity, terms
from ._checks import evaluation_date as book_date
from ._frame import assemble
from ._market_inputs import Market
from ._parcels import Head, Job, MarketInputs, Row, Task, Trade, failed
from ._products import chosen_engines, kind_of
from ._record import run_record
from ._runners import runner_for
from ._scenario import BASE, Scenario


def _scenarios(scenarios: Scenario | Iterable[Scenario] | None) -> list[Scenario]:
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


def _prepare(trades: pd.DataFrame, market: pd.DataFrame, date: datetime.date,
             engines: Mapping[str, str]
             ) -> tuple[list[Head], list[Trade | None], list[Exception | None],
                        dict[str, MarketInputs]]:
    """Per trade: its head (the columns known before valuing it) and either the trade
    for a runner or the error that stops it here; and the market inputs used per
    underlying."""
    inputs = Market(market, date)
    used: dict[str, MarketInputs] = {}
    quantities = trades["quantity"] if "quantity" in trades.columns else [None] * len(trades)
    heads: list[Head] = []
    items: list[Trade | None] = []
    errors: list[Exception | None] = []
    for trade_id, name, raw_terms, raw_quantity in zip(
            trades["trade_id"], trades["product"], trades["terms"], quantities):
        head = Head(trade_id, name)
        item: Trade | None = None
        error: Exception | None = None
        quantity_error: Exception | None = None
        try:
            head.quantity = quantity(raw_quantity)
        except Exception as e:  # reported after the product's own problems
            quantity_error = e
        try:
            checked = terms(raw_terms)
            underlying: Any = checked.get("underlying")
            head.underlying = underlying if isinstance(underlying, str) else None
            kind = kind_of(name)
            if quantity_error is not None:
                raise quantity_error
            if "underlying" not in checked:
                raise KeyError("underlying")
            if name in engines and "engine" not in checked:
                checked = {**checked, "engine": engines[name]}
            values = inputs.inputs(underlying)
            used[underlying] = values
            head.spot, head.vol = values.spot, values.vol
            item = Trade(kind.module, kind.cls, checked, values, kind.reads_pool)
        except Exception as e:
            error = e
        heads.append(head)
        items.append(item)
        errors.append(error)
    return heads, items, errors, used


def _progress_bar(total: int, progress: bool | None) -> Any:
    if progress is None:
        progress = sys.stderr is not None and getattr(sys.stderr, "isatty", lambda: False)()
    from tqdm.auto import tqdm

    return tqdm(total=total, unit="trade", file=sys.stderr, disable=not progress,
                desc="valuing", dynamic_ncols=True)


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
    evaluation_date : date, Timestamp, numpy datetime64 or ISO text YYYY-MM-DD
        Numbers are refused (``TypeError``).
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
        engine a product does not have, or an evaluation date that is not a date
        (``TypeError`` for a number such as 20251231).
        Problems of one trade never raise.
    ConnectionError
        When the Dask scheduler of ``executor`` cannot be reached.
    ClusterLost
        When the Dask cluster goes away while the book is valued.
    """
    started = datetime.datetime.now(datetime.UTC)
    check_trades(trades)
    check_market(market)
    date = book_date(evaluation_date)
    chosen = _scenarios(scenarios)
    engines_chosen = chosen_engines(engines)
    runner = runner_for(executor)
    heads, items, errors, used = _prepare(trades, market, date, engines_chosen)
    n = len(chosen)
    results: list[list[Row]] = [[] for _ in heads]
    bar = _progress_bar(len(heads), progress)
    try:
        tasks = []
        for index, (item, error) in enumerate(zip(items, errors)):
            if item is None:
                assert error is not None
                results[index] = failed(error, n)
                bar.update(1)
            else:
                tasks.append(Task(index, item))
        job = Job(tuple((s.spot_shift, s.vol_shift) for s in chosen), date, bool(greeks))
        for valued in runner.map(job, tasks):
            results[valued.index] = valued.rows
            bar.update(1)
    finally:
        bar.close()
    frame = assemble(heads, results, chosen)
    valued_rows = frame[frame["engine"].notna()]
    engines_used = {product: sorted(set(names)) for product, names
                    in valued_rows.groupby("product")["engine"]}
    frame.attrs["run"] = run_record(
        date=date, market={u: v.record() for u, v in used.items()}, scenarios=chosen,
        engines=engines_chosen, greeks=greeks, started=started,
        ended=datetime.datetime.now(datetime.UTC), engines_used=engines_used)
    return frame
