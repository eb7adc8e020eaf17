"""lumadex: the market-data client that velmora asks about trading days and past prices.

This is the project's local client.  Callers use four module-level functions:

``get_trading_dates(start, end)``
    the trading days from ``start`` to ``end``, both included, ascending, as
    ``datetime.date`` objects;
``get_previous_trading_date(d)`` / ``get_next_trading_date(d)``
    the last trading day strictly before ``d`` / the first strictly after it;
``get_price(order_book_ids, start, end, fields=..., adjust_type=..., expect_df=True)``
    daily bars, or ``None`` when there are none.

A vendor client with the same four calls can be used instead: velmora looks the
functions up on this module at call time, so assigning replacements to
``lumadex.get_price`` and friends (or installing another package under this name)
is all it takes.
"""

from ._calendar import (
    get_next_trading_date,
    get_previous_trading_date,
    get_trading_dates,
)
from ._price import get_price

__all__ = [
    "get_next_trading_date",
    "get_previous_trading_date",
    "get_price",
    "get_trading_dates",
]
