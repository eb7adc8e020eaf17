"""Type aliases shared by the public signatures."""

import datetime
from typing import Protocol, TypeAlias

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


class Priceable(Protocol):
    """Anything valued by QuantLib's ``NPV()``: a QuantLib instrument with its engine set,
    or one of velmora's combinations of such instruments, at QuantLib's evaluation date."""

    def NPV(self) -> float: ...  # noqa: N802  (QuantLib's name)
