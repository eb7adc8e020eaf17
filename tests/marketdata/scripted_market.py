"""A scripted, in-memory market-data client: the one test double of ``lumadex``.

It answers the client's four calls from memory: a trading calendar (weekdays less
scripted holidays, or an explicit list of days) and daily bars per underlying, in the
client's format (``None`` for no bars; otherwise a frame indexed by ("order_book_id",
"date") with one column per field).  Every call is recorded, so tests can assert what
was asked and how often, and the time spent building price answers adds up in
``seconds``, so benchmarks can show it apart.

The tests get it through the ``market`` fixture; the benchmarks import it with the
tests folder on their path (``benchmarks/_harness.py`` puts it there).
"""

import bisect
import datetime
import time

import pandas as pd

# the client's four calls, each answered by the method of the same name
CALLS = ("get_trading_dates", "get_previous_trading_date", "get_next_trading_date",
         "get_price")


def _d(x):
    if isinstance(x, datetime.datetime):  # pandas Timestamps included
        return x.date()
    if isinstance(x, datetime.date):
        return x
    return pd.Timestamp(x).date()


class ScriptedMarket:
    FIELDS = ("open", "high", "low", "close", "volume")

    def __init__(self, holidays=(), first=datetime.date(2000, 1, 1),
                 last=datetime.date(2045, 12, 31), days=None):
        self.calls = []
        self.bars = {}  # (underlying, adjust_type) -> DataFrame indexed by Timestamp
        self.priceless = False
        self.seconds = 0.0
        self.set_calendar(holidays=holidays, first=first, last=last, days=days)

    def install(self, assign=setattr):
        """Put this client's four calls in place of ``lumadex``'s, through ``assign``
        (a pytest ``monkeypatch.setattr`` undoes it after the test)."""
        import lumadex

        for name in CALLS:
            assign(lumadex, name, getattr(self, name))
        return self

    # -- scripting -----------------------------------------------------------
    def set_calendar(self, holidays=(), first=datetime.date(2000, 1, 1),
                     last=datetime.date(2045, 12, 31), days=None):
        """Weekdays from ``first`` to ``last`` less ``holidays``, or exactly ``days``."""
        if days is None:
            hol = {_d(h) for h in holidays}
            days = [d.date() for d in pd.bdate_range(first, last) if d.date() not in hol]
        self.days = sorted(_d(d) for d in days)

    def set_bars(self, underlying, frame, adjust_type=None):
        """Bars for ``underlying``: a frame indexed by date with price columns.

        A bare ``close`` column also fills ``open``, ``high`` and ``low``.  With
        ``adjust_type`` None the same bars answer every adjustment kind.
        """
        frame = frame.copy()
        frame.index = pd.to_datetime(frame.index)
        for col in ("open", "high", "low"):
            if col not in frame and "close" in frame:
                frame[col] = frame["close"]
        kinds = ("pre", "none") if adjust_type is None else (adjust_type,)
        for kind in kinds:
            self.bars[(underlying, kind)] = frame.sort_index()

    def set_closes(self, underlying, closes, adjust_type=None):
        """Bars from a mapping date -> close."""
        self.set_bars(underlying, pd.DataFrame({"close": pd.Series(closes, dtype=float)}),
                      adjust_type)

    def serve_priceless_bars(self):
        """Answer for an underlying without scripted bars with a bar on every trading day
        before the end date whose prices are missing: the closed days have their bars
        (the history check is satisfied; the end date has no close yet, as during the
        trading day) and cross no level (a missing price compares false), for tests
        about values before any crossing.  A contract starting on the end date gets no
        bars."""
        self.priceless = True

    def count(self, name):
        return sum(1 for c in self.calls if c[0] == name)

    def calls_to(self, name):
        return [c for c in self.calls if c[0] == name]

    def price_calls(self, action):
        """What ``action()`` returns and the ``get_price`` calls it made (the record of
        earlier calls is cleared first)."""
        self.calls.clear()
        return action(), self.calls_to("get_price")

    # -- the client's four calls ---------------------------------------------
    def get_trading_dates(self, start, end):
        self.calls.append(("get_trading_dates", (start, end), {}))
        lo = bisect.bisect_left(self.days, _d(start))
        hi = bisect.bisect_right(self.days, _d(end))
        return list(self.days[lo:hi])

    def get_previous_trading_date(self, date):
        self.calls.append(("get_previous_trading_date", (date,), {}))
        return self.days[bisect.bisect_left(self.days, _d(date)) - 1]

    def get_next_trading_date(self, date):
        self.calls.append(("get_next_trading_date", (date,), {}))
        return self.days[bisect.bisect_right(self.days, _d(date))]

    def get_price(self, order_book_ids, start_date, end_date, fields=None, adjust_type="pre",
                  expect_df=True):
        self.calls.append(("get_price", (order_book_ids, start_date, end_date),
                           {"fields": fields, "adjust_type": adjust_type,
                            "expect_df": expect_df}))
        started = time.perf_counter()
        try:
            return self._bars(order_book_ids, start_date, end_date, fields, adjust_type)
        finally:
            self.seconds += time.perf_counter() - started

    def _bars(self, underlying, start_date, end_date, fields, adjust_type):
        frame = self.bars.get((underlying, adjust_type))
        if frame is None and self.priceless:
            days = self.get_trading_dates(start_date, _d(end_date) - datetime.timedelta(days=1))
            self.calls.pop()
            if days:
                frame = pd.DataFrame(float("nan"), columns=self.FIELDS, index=pd.to_datetime(days))
        if frame is None:
            return None
        # the index is sorted: the bars from the start to the end date, both included
        lo = frame.index.searchsorted(pd.Timestamp(_d(start_date)), side="left")
        hi = frame.index.searchsorted(pd.Timestamp(_d(end_date)), side="right")
        frame = frame.iloc[lo:hi]
        if frame.empty:
            return None
        if fields is None:
            cols = [c for c in self.FIELDS if c in frame]
        else:
            cols = [fields] if isinstance(fields, str) else list(fields)
        out = frame[cols].copy()
        ids = pd.Index([underlying] * len(out), dtype=object)  # as the client's
        out.index = pd.MultiIndex.from_arrays([ids, out.index], names=["order_book_id", "date"])
        return out
