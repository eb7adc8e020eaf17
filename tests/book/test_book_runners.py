"""The book's runners behind one interface, and its one door for dates: each runner
values every task once with the rows of a straightforward valuation, the frame follows
the trades' order whatever order the rows arrive in, and numbers are not dates."""

import datetime

import numpy as np
import pandas as pd
import pytest

from velmora import book
from velmora.book._parcels import Job, MarketInputs, Task, Trade
from velmora.book._runners import DaskCluster, LocalProcesses, Serial

DATE = datetime.date(2025, 12, 31)
SHIFTS = ((0.0, 0.0), (0.1, 0.0), (-0.2, 0.05))


def _tasks(n):
    """``n`` trades worth twice the spot (book_products.DoubleOption), each on its spot."""
    return [Task(k, Trade("book_products", "DoubleOption", {}, MarketInputs(10.0 + k, 0.2,
                                                                             0.01, 0.0)))
            for k in range(n)]


@pytest.mark.parametrize("runner", ["serial", "local", "dask"])
def test_every_runner_values_each_task_once_as_written_out(runner):
    if runner == "dask":
        distributed = pytest.importorskip("distributed")
        cluster = distributed.LocalCluster(n_workers=1, processes=False, threads_per_worker=2,
                                           dashboard_address=":0")
        client = distributed.Client(cluster)
    chosen = {"serial": Serial, "local": lambda: LocalProcesses(2),
              "dask": lambda: DaskCluster(client)}[runner]()
    assert isinstance(chosen, book.Runner)
    try:
        valued = list(chosen.map(Job(SHIFTS, DATE, True), _tasks(5)))
        assert list(chosen.map(Job(SHIFTS, DATE, True), [])) == []
    finally:
        if runner == "dask":
            client.close()
            cluster.close()
    assert sorted(v.index for v in valued) == list(range(5))
    for k, rows in ((v.index, v.rows) for v in valued):
        for (shift, _), row in zip(SHIFTS, rows, strict=True):
            assert (row.npv, row.delta, row.error) == (2.0 * (10.0 + k) * (1.0 + shift), 2.0,
                                                       None)


def test_the_frame_keeps_the_trades_order_whatever_order_rows_arrive_in(monkeypatch):
    monkeypatch.setitem(book.PRODUCTS, "double", ("book_products", "DoubleOption"))
    trades = pd.DataFrame([(f"t{k}", "double", {"underlying": f"X{k}"}) for k in range(4)],
                          columns=["trade_id", "product", "terms"])
    market = pd.DataFrame({"spot": [10.0, 11.0, 12.0, 13.0], "vol": 0.2, "r": 0.0, "q": 0.0},
                          index=pd.Index([f"X{k}" for k in range(4)], name="underlying"))

    class Backwards:
        def map(self, job, tasks):
            return reversed(list(Serial().map(job, tasks)))

    serial = book.value_book(trades, market, DATE, executor="serial", progress=False)
    assert serial["npv"].tolist() == [20.0, 22.0, 24.0, 26.0]
    monkeypatch.setattr(book._valuation, "runner_for", lambda executor: Backwards())
    backwards = book.value_book(trades, market, DATE, executor="serial", progress=False)
    pd.testing.assert_frame_equal(backwards.drop(columns="seconds"),
                                  serial.drop(columns="seconds"), check_exact=True)


@pytest.mark.parametrize("value, error", [
    (20251231, TypeError), (np.int64(20251231), TypeError), (20251231.0, TypeError),
    (True, TypeError), ("20251231", ValueError), ("31/12/2025", ValueError),
    ("2025-02-30", ValueError), ("2025-13-01", ValueError), (None, ValueError),
])
def test_numbers_and_other_forms_are_not_dates(value, error):
    with pytest.raises(error, match="date"):
        book._checks.evaluation_date(value)


@pytest.mark.parametrize("value", ["2025-12-31", " 2025-12-31 ", DATE,
                                   datetime.datetime(2025, 12, 31, 17, 30),
                                   pd.Timestamp("2025-12-31 09:00", tz="Asia/Shanghai"),
                                   np.datetime64("2025-12-31")])
def test_the_date_forms_taken_are_one_day(value):
    assert book._checks.evaluation_date(value) == DATE


@pytest.mark.parametrize("executor, date, error, match", [
    *((e, DATE, error, "executor must be|worker processes must be")
      for e, error in [(0, ValueError), (True, TypeError), ("fast", TypeError), (2.0, TypeError)]),
    ("serial", 20251231, TypeError, "date"), ("serial", "2025-13-01", ValueError, "date")])
def test_an_executor_or_a_date_value_book_cannot_take_is_refused_before_any_work(
        executor, date, error, match):
    with pytest.raises(error, match=match):
        book.value_book(pd.DataFrame(columns=["trade_id", "product", "terms"]),
                        pd.DataFrame(columns=["spot", "vol", "r", "q"]), date,
                        executor=executor)
