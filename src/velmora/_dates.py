"""Dates normalised at the edge: every module reads a caller's date through here.

``velmora.utils`` offers this as ``to_timestamp``; it lives apart so that the history
queries (``velmora._history``), which ``utils`` itself uses, can read dates too.
"""

import datetime

import numpy as np
import pandas as pd
import QuantLib as ql


def to_timestamp(d, param="date"):
    """Return ``d`` as a tz-naive pandas ``Timestamp`` at midnight.

    Raises ``TypeError`` for a value that is not date-like and ``ValueError`` for
    a text that does not parse; both messages name ``param``.
    """
    if isinstance(d, ql.Date):
        return pd.Timestamp(d.year(), d.month(), d.dayOfMonth())
    if d is None or isinstance(d, bool) or not isinstance(
        d, (str, datetime.date, np.datetime64, pd.Timestamp)
    ):
        raise TypeError(
            f"{param}: expected a date, datetime, pandas Timestamp, numpy datetime64 "
            f"or ISO date text, got {type(d).__name__} {d!r}"
        )
    try:
        ts = pd.Timestamp(d)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{param}: cannot read {d!r} as a date") from e
    if ts is pd.NaT:
        raise ValueError(f"{param}: {d!r} is not a date")
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    return ts.normalize()
