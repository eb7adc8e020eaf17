"""The China A-share trading calendar for QuantLib.

QuantLib's ``China`` calendar, corrected day by day against the trading days that
the market-data client reports over today +- 3650 calendar days.  Outside the
client's span QuantLib's own rules for the Chinese market apply unchanged.  The
corrected calendar is built on first use and kept for the life of the process.
"""

from __future__ import annotations

import datetime

import QuantLib as ql

from ._history import trading_dates

a_share_calendar: ql.Calendar | None = None

# Half-width of the correction window, in calendar days (about ten years).
WINDOW_DAYS = 3650


def get_a_share_calendar() -> ql.Calendar:
    """The corrected A-share calendar; the same object on every call in a process."""
    global a_share_calendar
    if a_share_calendar is None:
        a_share_calendar = _build_a_share_calendar()
    return a_share_calendar


def _build_a_share_calendar() -> ql.Calendar:
    """Build a new corrected calendar from the client's trading days."""
    cal = ql.China()
    ten_years_ago = datetime.date.today() - datetime.timedelta(days=WINDOW_DAYS)
    ten_years_later = datetime.date.today() + datetime.timedelta(days=WINDOW_DAYS)
    client_days = [
        ql.Date(d.day, d.month, d.year)
        for d in trading_dates(ten_years_ago, ten_years_later)
    ]
    ql_trading_dates = cal.businessDayList(client_days[0], client_days[-1])
    trading, ql_trading = set(client_days), set(ql_trading_dates)
    for date in trading - ql_trading:
        cal.removeHoliday(date)
    for date in ql_trading - trading:
        cal.addHoliday(date)
    return cal
