"""Observation schedules of the autocallables: the frequencies and the trading days they give.

A scheduled date is the fixing date plus a whole number of periods; one that is not a
trading day of the market-data client's calendar rolls to the next trading day.
``velmora.utils`` offers these names under the same spelling.
"""

import pandas as pd

from ._dates import to_timestamp
from ._history import trading_dates

# Observation frequencies of the autocallables: the period between consecutive
# scheduled observation dates.  "daily" observes every trading day.
OBS_FREQUENCIES: dict[str, pd.DateOffset | None] = {
    "daily": None,
    "weekly": pd.DateOffset(weeks=1),
    "monthly": pd.DateOffset(months=1),
    "quarterly": pd.DateOffset(months=3),
    "semi-annual": pd.DateOffset(months=6),
    "annual": pd.DateOffset(years=1),
}

# A scheduled date that falls on a holiday rolls forward; the longest exchange
# closure (Spring Festival or National Day week plus a weekend) is well under this.
_ROLL_LOOKAHEAD = pd.Timedelta(days=31)


def get_obs_dates(start: object, end: object, freq: str) -> pd.DatetimeIndex:
    """Observation dates of an autocallable from ``start`` to ``end``.

    Parameters
    ----------
    start, end : date-like
        The observation period.  ``start`` is the day the levels are fixed; it is
        never an observation date itself.
    freq : str
        One of ``"daily"``, ``"weekly"``, ``"monthly"``, ``"quarterly"``,
        ``"semi-annual"``, ``"annual"``.

    Returns
    -------
    pandas.DatetimeIndex
        Ascending, unique trading days.

    Notes
    -----
    * ``"daily"``: every trading day after ``start`` up to and including ``end``.
    * Otherwise the scheduled dates are ``start + k * period`` for k = 1, 2, ...
      while they are on or before ``end`` (calendar months for the monthly family,
      clipped to month end: 31 January + 1 month is 28/29 February).  ``end`` is an
      observation date exactly when it lies on that grid.  A scheduled date that is
      not a trading day moves to the next trading day of the market-data client's
      calendar (so the last date may fall after ``end`` when ``end`` is a holiday).

    Tested against schedules counted by hand on the A-share calendar, holidays and
    month ends included.

    Raises
    ------
    ValueError
        For an unknown ``freq``; the message lists the accepted values.
    """
    if not isinstance(freq, str) or freq not in OBS_FREQUENCIES:
        raise ValueError(
            f"unknown observation frequency {freq!r}; accepted values: "
            + ", ".join(f'"{k}"' for k in OBS_FREQUENCIES)
        )
    start = to_timestamp(start, "start")
    end = to_timestamp(end, "end")
    trading = pd.to_datetime(trading_dates(start, end + _ROLL_LOOKAHEAD))
    step = OBS_FREQUENCIES[freq]
    if step is None:
        return pd.DatetimeIndex(trading[(trading > start) & (trading <= end)])
    scheduled = []
    k = 1
    while (d := start + k * step) <= end:
        scheduled.append(d)
        k += 1
    pos = trading.searchsorted(pd.DatetimeIndex(scheduled), side="left")
    if len(pos) and pos[-1] >= len(trading):
        raise ValueError(f"no trading day on or after {scheduled[-1].date()} in the calendar")
    return pd.DatetimeIndex(trading[pos]).unique()
