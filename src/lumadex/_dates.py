"""Date normalisation for the client's public calls."""

import datetime

import numpy as np
import pandas as pd


def to_date(value, param="date"):
    """Return ``value`` as a ``datetime.date``.

    Accepts ``datetime.date``, ``datetime.datetime``, pandas ``Timestamp``,
    ``numpy.datetime64`` and ISO date texts.  The error names ``param``.
    """
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    try:
        if isinstance(value, (str, np.datetime64, pd.Timestamp)):
            ts = pd.Timestamp(value)
            if ts is not pd.NaT:
                return ts.date()
    except (ValueError, TypeError) as e:
        raise ValueError(f"{param}: cannot read {value!r} as a date") from e
    raise TypeError(f"{param}: expected a date, timestamp or ISO date text, got {value!r}")
