"""Type aliases shared by the public signatures (no imports beyond numpy)."""

import datetime
from typing import TypeAlias

import numpy as np

# An evaluation date as the products and the book take it: a date, datetime or pandas
# Timestamp (a datetime), a numpy datetime64, or an ISO date text.
DateLike: TypeAlias = str | datetime.date | np.datetime64
