"""What the benchmark scripts share: a median timer and an in-process market-data client.

Only the standard library is imported here at module level: ``bench_lumadex`` times
``import lumadex`` itself, and that figure must not find pandas already loaded.
"""

import bisect
import datetime
import statistics
import time


def median_seconds(fn, repeat, warmup=True, with_result=False):
    """Median wall time in seconds of ``repeat`` calls of ``fn``.

    With ``warmup`` one untimed call comes first.  With ``with_result`` the return is
    ``(median, result of the last timed call)``.
    """
    if warmup:
        fn()
    samples, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        samples.append(time.perf_counter() - t0)
    median = statistics.median(samples)
    return (median, result) if with_result else median


def _as_date(x):
    """A ``datetime.date`` from a date, datetime, Timestamp or date string."""
    if type(x) is datetime.date:
        return x
    if isinstance(x, datetime.datetime):  # pandas Timestamps included
        return x.date()
    import pandas as pd

    return pd.Timestamp(x).date()


class ScriptedMarket:
    """The market-data client's four calls answered from memory.

    Trading days are the weekdays from ``start`` to ``end`` unless ``days`` (sorted
    ``datetime.date`` values) is given.  ``bars`` is a DataFrame indexed by date,
    sorted, with the price columns asked for (close, low, high); without it every
    ``get_price`` answers ``None``.  ``calls`` counts every query of the four;
    ``seconds`` adds up the time spent inside ``get_price`` building its answers.
    """

    def __init__(self, start="2000-01-01", end="2045-12-31", bars=None, days=None):
        import pandas as pd

        if days is None:
            days = [d.date() for d in pd.bdate_range(start, end)]
        self.days = list(days)
        self.bars = bars
        self._pd = pd
        self.calls = 0
        self.seconds = 0.0

    def install(self):
        """Put this client's four calls in place of lumadex's."""
        import lumadex

        for name in ("get_trading_dates", "get_previous_trading_date",
                     "get_next_trading_date", "get_price"):
            setattr(lumadex, name, getattr(self, name))
        return self

    def get_trading_dates(self, start, end):
        self.calls += 1
        lo = bisect.bisect_left(self.days, _as_date(start))
        return self.days[lo:bisect.bisect_right(self.days, _as_date(end))]

    def get_previous_trading_date(self, date):
        self.calls += 1
        return self.days[bisect.bisect_left(self.days, _as_date(date)) - 1]

    def get_next_trading_date(self, date):
        self.calls += 1
        return self.days[bisect.bisect_right(self.days, _as_date(date))]

    def get_price(self, underlying, start, end, fields=None, adjust_type="pre",
                  expect_df=True):
        """Bars from ``start`` to ``end`` inclusive, ``None`` when there are none.

        The frame is indexed by ("order_book_id", "date") with one column per field,
        whether ``fields`` is one name or a list of names.
        """
        self.calls += 1
        started = time.perf_counter()
        try:
            return self._bars(underlying, start, end, fields)
        finally:
            self.seconds += time.perf_counter() - started

    def _bars(self, underlying, start, end, fields):
        pd = self._pd
        if self.bars is None:
            return None
        frame = self.bars.loc[pd.Timestamp(start):pd.Timestamp(end)]
        if frame.empty:
            return None
        if fields is None:
            cols = list(frame.columns)
        else:
            cols = [fields] if isinstance(fields, str) else list(fields)
        out = frame[cols].copy()
        out.index = pd.MultiIndex.from_arrays(
            [[underlying] * len(out), out.index], names=["order_book_id", "date"])
        return out
