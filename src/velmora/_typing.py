"""Type aliases shared by the public signatures."""

import datetime
from typing import TypeAlias

import numpy as np
import QuantLib as ql

# An evaluation date as the products and the book take it: a date, datetime or pandas
# Timestamp (a datetime), a numpy datetime64, or an ISO date text.
DateLike: TypeAlias = str | datetime.date | np.datetime64

# A rate or dividend yield: a continuously compounded decimal, or a QuantLib yield curve
# (or its handle).
RateLike: TypeAlias = float | ql.YieldTermStructure | ql.YieldTermStructureHandle

# A volatility: a decimal, or a QuantLib Black volatility term structure (or its handle).
VolLike: TypeAlias = float | ql.BlackVolTermStructure | ql.BlackVolTermStructureHandle
