"""Date normalisation for the client's public calls."""

import datetime
from typing import TypeAlias

import numpy as np
import pandas as pd

# A date as the client's calls take it: a date, datetime or pandas Timestamp (a
# datetime), a numpy datetime64, or an ISO date text.
DateLike: TypeAlias = str | datetime.date | np.datetime64


def to_date(value: object, param: str = "date") -> datetime.date:
    """Return ``value`` as a ``datetime.date``.

    Accepts ``datetime.date``, ``datetime.datetime``, pandas ``Timestamp``,
    ``numpy.datetime64`` and ISO date texts.  The error names ``param``.

    A missing date (``pandas.NaT``, ``numpy.datetime64("NaT")`` or a text that
    reads as one) raises ``ValueError``: it has no place on the calendar, and
    letting it through would compare as the text "NaT".
    """
    # pandas.NaT is an instance of datetime.datetime, so it is caught here first.
    if value is pd.NaT:
        raise ValueError(f"{param}: NaT (a missing date) is not a date")
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    if isinstance(value, (str, np.datetime64, pd.Timestamp)):
        try:
            ts = pd.Timestamp(value)
        except (ValueError, TypeError) as e:
            raise ValueError(f"{param}: cannot read {value!r} as a date") from e
        if ts is pd.NaT:
            raise ValueError(f"{param}: {value!r} is not a date (it reads as NaT, a missing date)")
        return ts.date()
    raise TypeError(f"{param}: expected a date, timestamp or ISO date text, got {value!r}")
