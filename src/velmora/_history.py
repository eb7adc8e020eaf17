"""Queries of the underlying's daily history and the crossing scans run on them.

Every knock or touch status is read afresh from the market-data client at each
valuation; nothing here is cached.  Crossings are strict: a price exactly at a
level crosses nothing.
"""

import numpy as np

import lumadex


def get_closes(underlying, start, end, adjust_type):
    """Daily closes from ``start`` to ``end`` as the client returns them, or ``None``.

    Single-barrier products read closes adjusted with "pre"; the double barrier
    reads unadjusted closes ("none").
    """
    return lumadex.get_price(
        underlying, start, end, fields="close", adjust_type=adjust_type, expect_df=True
    )


def get_lows_highs(underlying, start, end):
    """Daily lows and highs ("pre") indexed by date alone, or ``None`` without bars."""
    bars = lumadex.get_price(
        underlying, start, end, fields=["low", "high"], adjust_type="pre", expect_df=True
    )
    if bars is None:
        return None
    return bars.droplevel("order_book_id")


# The scans compare the column's values as an array: the same element-wise test as
# on the pandas column (a missing price compares false), without building a
# boolean Series at every valuation.


def any_below(values, level):
    """Whether any value is strictly below ``level``."""
    return bool(np.any(np.asarray(values) < level))


def any_above(values, level):
    """Whether any value is strictly above ``level``."""
    return bool(np.any(np.asarray(values) > level))
