"""Trading days of the Shanghai Stock Exchange.

The calendar is the XSHG calendar of ``exchange_calendars``, which records the
exchange's published holidays up to its last published year.  Dates outside the
recorded span cannot be answered yet and raise ``ValueError``.
"""

import bisect
import functools

import exchange_calendars

from ._dates import to_date

_FIRST_YEAR = 1991


@functools.lru_cache(maxsize=1)
def _sessions():
    """All published XSHG sessions as an ascending tuple of ``datetime.date``."""
    cal = exchange_calendars.get_calendar("XSHG", start=f"{_FIRST_YEAR}-01-01")
    return tuple(ts.date() for ts in cal.sessions)


def _check_covered(d, param):
    days = _sessions()
    if d < days[0] or d > days[-1]:
        raise ValueError(
            f"{param} {d.isoformat()} is outside the recorded exchange calendar "
            f"({days[0].isoformat()} to {days[-1].isoformat()})"
        )


def get_trading_dates(start, end):
    """Trading days from ``start`` to ``end``, both included, ascending."""
    start, end = to_date(start, "start"), to_date(end, "end")
    _check_covered(start, "start")
    _check_covered(end, "end")
    days = _sessions()
    lo = bisect.bisect_left(days, start)
    hi = bisect.bisect_right(days, end)
    return list(days[lo:hi])


def get_previous_trading_date(date):
    """The last trading day strictly before ``date``."""
    d = to_date(date, "date")
    days = _sessions()
    i = bisect.bisect_left(days, d)
    if i == 0:
        raise ValueError(f"no recorded trading day before {d.isoformat()}")
    return days[i - 1]


def get_next_trading_date(date):
    """The first trading day strictly after ``date``."""
    d = to_date(date, "date")
    days = _sessions()
    i = bisect.bisect_right(days, d)
    if i == len(days):
        raise ValueError(f"no recorded trading day after {d.isoformat()}")
    return days[i]
