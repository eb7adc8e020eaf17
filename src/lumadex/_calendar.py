"""Trading days of the Shanghai Stock Exchange (XSHG).

Two sources, joined at the end of the last published year:

* up to the last year the exchange has published (31 December 2026 with
  ``exchange_calendars`` 4.13.3, the pinned version), the XSHG calendar of
  ``exchange_calendars``;
* after it, up to 31 December 2099, an *estimate* built from the rules of the
  Chinese exchange holidays (see ``lumadex._holidays``).  Treat those days as a
  forecast: a published arrangement can differ from it by a day or two.

All sessions are computed once per process into one ascending tuple of
``datetime.date``; every query is then a binary search and a slice.
"""

import bisect
import datetime
import functools
import warnings
from collections.abc import Iterator

import exchange_calendars

from ._dates import DateLike, to_date
from ._holidays import estimated_holidays

ESTIMATE_LAST_DAY = datetime.date(2099, 12, 31)


@functools.lru_cache(maxsize=1)
def _published() -> tuple[datetime.date, datetime.date, tuple[datetime.date, ...]]:
    """(first day, last day, sessions) of the published XSHG calendar."""
    with warnings.catch_warnings():
        # exchange_calendars 4.13 trips a pandas 3 deprecation warning internally.
        warnings.simplefilter("ignore", category=Warning)
        cls = type(exchange_calendars.get_calendar("XSHG"))
        first, last = cls.bound_min(), cls.bound_max()
        cal = exchange_calendars.get_calendar("XSHG", start=first, end=last)
    return first.date(), last.date(), tuple(ts.date() for ts in cal.sessions)


def published_last_day() -> datetime.date:
    """The last day covered by the published exchange calendar."""
    return _published()[1]


def first_estimated_day() -> datetime.date:
    """The first day whose trading status comes from the estimate."""
    return published_last_day() + datetime.timedelta(days=1)


def is_estimated(date: DateLike) -> bool:
    """True when ``date``'s trading status comes from the estimate."""
    return to_date(date, "date") > published_last_day()


def _estimated_sessions(first: datetime.date) -> Iterator[datetime.date]:
    """The weekdays from ``first`` to the end of the estimate that the holiday rules leave open."""
    one = datetime.timedelta(days=1)
    for year in range(first.year, ESTIMATE_LAST_DAY.year + 1):
        closed = set(estimated_holidays(year))
        d = max(first, datetime.date(year, 1, 1))
        end = datetime.date(year, 12, 31)
        while d <= end:
            if d.weekday() < 5 and d not in closed:
                yield d
            d += one


@functools.lru_cache(maxsize=1)
def _sessions() -> tuple[datetime.date, ...]:
    """Every session, published then estimated, as an ascending tuple of dates."""
    _, last, published = _published()
    return published + tuple(_estimated_sessions(last + datetime.timedelta(days=1)))


def is_trading_day(date: datetime.date) -> bool:
    """True when the ``datetime.date`` ``date`` is a session of the calendar.

    A day outside the calendar's span is not one (no error is raised).
    """
    days = _sessions()
    i = bisect.bisect_left(days, date)
    return i < len(days) and days[i] == date


def _first_day() -> datetime.date:
    return _published()[0]


def _check_covered(d: datetime.date, param: str) -> None:
    if d < _first_day() or d > ESTIMATE_LAST_DAY:
        raise ValueError(
            f"{param} {d.isoformat()} is outside the trading calendar "
            f"({_first_day().isoformat()} to {ESTIMATE_LAST_DAY.isoformat()})"
        )


def get_trading_dates(start: DateLike, end: DateLike) -> list[datetime.date]:
    """Trading days from ``start`` to ``end``, both included, ascending.

    Parameters
    ----------
    start, end : date, datetime, pandas Timestamp, numpy datetime64 or ISO text
        The time of day is ignored.

    Returns
    -------
    list of datetime.date
        Empty when ``start`` is after ``end`` or no trading day lies between.

    Raises
    ------
    ValueError
        When either end lies outside the calendar (before the exchange's first
        recorded day or after 2099).
    """
    start, end = to_date(start, "start"), to_date(end, "end")
    _check_covered(start, "start")
    _check_covered(end, "end")
    days = _sessions()
    return list(days[bisect.bisect_left(days, start):bisect.bisect_right(days, end)])


def get_previous_trading_date(date: DateLike) -> datetime.date:
    """The last trading day strictly before ``date`` (a ``datetime.date``)."""
    d = to_date(date, "date")
    _check_covered(d, "date")
    days = _sessions()
    i = bisect.bisect_left(days, d)
    if i == 0:
        raise ValueError(f"no trading day before {d.isoformat()} in the calendar")
    return days[i - 1]


def get_next_trading_date(date: DateLike) -> datetime.date:
    """The first trading day strictly after ``date`` (a ``datetime.date``)."""
    d = to_date(date, "date")
    _check_covered(d, "date")
    days = _sessions()
    i = bisect.bisect_right(days, d)
    if i == len(days):
        raise ValueError(f"no trading day after {d.isoformat()} in the calendar")
    return days[i]
