"""lumadex: the local market-data client that velmora asks about trading days and prices.

Four calls serve the pricing library:

``get_trading_dates(start, end)``
    the trading days of the Shanghai exchange from ``start`` to ``end``, both
    included, ascending, as ``datetime.date`` objects;
``get_previous_trading_date(d)`` / ``get_next_trading_date(d)``
    the last trading day strictly before ``d`` / the first strictly after it;
``get_price(order_book_ids, start, end, fields=None, adjust_type="pre", expect_df=True)``
    daily bars from the store as a frame indexed by ("order_book_id", "date"), or
    ``None`` when there are none.

``get_price_arrays(order_book_id, start, end, fields=None, adjust_type="pre")`` gives
one underlying's bars as numpy arrays (dates, values) without building a frame; it is
reachable as ``get_price.arrays``, so a caller can tell whether the ``get_price`` it
finds is this client's own.

The calendar is the exchange's published one up to its last published year and
an estimate after it (see ``lumadex._holidays``).  Prices come from a SQLite store:
``lumadex.init(path)`` selects one; without it the bundled synthetic sample store
is used, read-only.  ``python -m lumadex import`` loads CSV or Parquet files into
a store and ``python -m lumadex info`` lists what a store holds.

A vendor client with the same four calls can be used instead: velmora looks the
functions up on this module at call time, so assigning replacements to
``lumadex.get_price`` and friends (or installing another package under this name)
is all it takes.
"""

from ._calendar import (
    first_estimated_day,
    get_next_trading_date,
    get_previous_trading_date,
    get_trading_dates,
    is_estimated,
    published_last_day,
)
from ._config import init, store_path
from ._importer import DataFileError, import_files
from ._price import ADJUST_TYPES, FIELDS, get_price, get_price_arrays
from ._store import StoreError

__all__ = [
    "ADJUST_TYPES",
    "DataFileError",
    "FIELDS",
    "StoreError",
    "first_estimated_day",
    "get_next_trading_date",
    "get_previous_trading_date",
    "get_price",
    "get_price_arrays",
    "get_trading_dates",
    "import_files",
    "init",
    "is_estimated",
    "published_last_day",
    "store_path",
]
