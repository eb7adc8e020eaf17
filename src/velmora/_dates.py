"""Dates read once, at the edge: every module reads a caller's date through here.

``to_timestamp`` is the one parser of the package: a contract's dates, the market
functions' reference dates, the schedules and the book's dates all go through it.
``evaluation_timestamp`` reads a valuation's date once, at the public call, into the
form that is then passed down unchanged (a tz-naive pandas ``Timestamp``), so that
nothing below the edge parses it again.  ``velmora.utils`` offers the parser as
``to_timestamp``; it lives apart so that the history queries (``velmora._history``),
which ``utils`` itself uses, can read dates too.

Integers and floats are refused (``TypeError``): ``pandas.to_datetime(20250102)``
reads them as a count of nanoseconds since 1970, never what a caller meant.
"""

import datetime
from typing import cast

import numpy as np
import pandas as pd
import QuantLib as ql

_ACCEPTED = (str, datetime.date, np.datetime64, pd.Timestamp)


def _refused(d: object, param: str) -> TypeError:
    return TypeError(
        f"{param}: expected a date, datetime, pandas Timestamp, numpy datetime64 "
        f"or ISO date text, got {type(d).__name__} {d!r}"
    )


def _parsed(d: object, param: str) -> pd.Timestamp:
    """``d`` as a tz-naive ``Timestamp`` with its time of day (a zone is dropped, its
    wall-clock time kept)."""
    if isinstance(d, ql.Date):
        return pd.Timestamp(d.year(), d.month(), d.dayOfMonth())
    if d is None or isinstance(d, bool) or not isinstance(d, _ACCEPTED):
        raise _refused(d, param)
    try:
        ts = pd.Timestamp(d)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{param}: cannot read {d!r} as a date") from e
    if ts is pd.NaT:
        raise ValueError(f"{param}: {d!r} is not a date")
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    return ts


def _at_midnight(ts: pd.Timestamp) -> bool:
    return not (ts.hour or ts.minute or ts.second or ts.microsecond or ts.nanosecond)


def to_timestamp(d: object, param: str = "date") -> pd.Timestamp:
    """Return ``d`` as a tz-naive pandas ``Timestamp`` at midnight (its calendar day).

    Accepts ``datetime.date``, ``datetime.datetime``, pandas ``Timestamp``,
    ``numpy.datetime64``, ISO date text and QuantLib ``Date``.  A timezone-aware
    value gives its own wall-clock day.

    Raises
    ------
    TypeError
        A value that is not date-like (``None``, an integer, a float, a bool ...);
        the message names ``param`` and the value.
    ValueError
        A text that does not read as a date, or a missing date (``NaT``); the
        message names ``param``.
    """
    if type(d) is pd.Timestamp:
        given = cast(pd.Timestamp, d)
        if given.tzinfo is None and _at_midnight(given):
            return given  # already in this form: nothing to read
    ts = _parsed(d, param)
    return ts if _at_midnight(ts) else ts.normalize()


def to_qldate(d: object, param: str = "date") -> ql.Date:
    """Return the QuantLib ``Date`` of the same calendar day as ``d``.

    Accepts the same inputs as ``to_timestamp``; a QuantLib ``Date`` is returned
    unchanged.  The time of day of a datetime is dropped.  Raises as ``to_timestamp``.
    """
    if isinstance(d, ql.Date):
        return d
    ts = to_timestamp(d, param)
    return ql.Date(ts.day, ts.month, ts.year)


def evaluation_timestamp(d: object, param: str = "evaluation_date") -> pd.Timestamp:
    """The evaluation date of a valuation as it is passed down: a tz-naive ``Timestamp``.

    Read as ``to_timestamp`` reads it, with two differences kept from the way valuations
    have always read their date: a time of day stays (theta's next day is that time a
    calendar day later, and the days to maturity are counted from it), while a
    timezone-aware value becomes its own calendar day at midnight.  A tz-naive
    ``Timestamp`` is returned as it is, so passing the result down costs nothing.
    """
    if type(d) is pd.Timestamp and cast(pd.Timestamp, d).tzinfo is None:
        return d
    ts = _parsed(d, param)
    if getattr(d, "tzinfo", None) is not None:
        return ts.normalize()
    return ts
