"""The checks of a book's inputs, made once for the files and the frames alike: trade
ids, contract terms, quantities, the market frame and the evaluation date."""

import datetime
import json
import math
import numbers
from typing import Any

import pandas as pd

from .._dates import to_timestamp

# The largest number of units a position may hold.  A value times a quantity beyond it
# (1e12 units of a product worth 1e6 is 1e18) would come near the doubles' range in a
# sum; no desk holds a position of that size.
MAX_QUANTITY = 1e12


def blank(value: object) -> bool:
    """An empty cell: None, NaN or text of spaces."""
    return value is None or (isinstance(value, float) and math.isnan(value)) or \
        (isinstance(value, str) and not value.strip())


def finite_number(value: Any, label: str) -> float:
    """``value`` as a finite float; a ``ValueError`` starting with ``label`` otherwise."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{label} {value!r} is not a number") from None
    if not math.isfinite(number):
        raise ValueError(f"{label} {value!r} is not a finite number")
    return number


# -- dates ----------------------------------------------------------------------------------

def evaluation_date(value: object, param: str = "evaluation date") -> datetime.date:
    """The book's one door for a date: a date, datetime, Timestamp, numpy datetime64 or
    ISO text YYYY-MM-DD, as a ``datetime.date``.

    Text is taken in the ISO form only, and numbers are refused (``TypeError``): pandas
    would read 20251231 as nanoseconds after 1970.
    """
    if value is None:
        raise ValueError("value_book needs an evaluation date")
    if isinstance(value, str):
        text = value.strip()
        if len(text) != 10 or text[4] != "-" or text[7] != "-":
            raise ValueError(f"{param} {value!r}: {text!r} is not a date in the form "
                             f"YYYY-MM-DD")
        value = text
    return to_timestamp(value, param).date()


# -- trades ---------------------------------------------------------------------------------

class TradeIds:
    """The trade ids of one book, each checked as it comes: text, not empty, not repeated.

    A file's ids are read leniently (a whole number is its text, spaces around are
    dropped); a frame's ids are taken as they are.
    """

    def __init__(self) -> None:
        self._seen: dict[str, str] = {}  # trade id -> where it first stood

    def add(self, trade_id: object, where: str, here: str, *, from_file: bool) -> str:
        """Check ``trade_id`` found at ``where`` (``here`` is its short form, for a
        later repeat's message) and return it."""
        if from_file:
            if isinstance(trade_id, numbers.Integral) and not isinstance(trade_id, bool):
                trade_id = str(trade_id)
            if not isinstance(trade_id, str):
                if not blank(trade_id):
                    raise ValueError(f"{where}: trade_id must be text, got {trade_id!r}")
                trade_id = ""
            trade_id = trade_id.strip()
            if not trade_id:
                raise ValueError(f"{where}: empty trade_id")
        elif not isinstance(trade_id, str) or not trade_id.strip():
            raise ValueError(f"{where}: trade_id must be non-empty text, got {trade_id!r}")
        if trade_id in self._seen:
            raise ValueError(f"{where}: duplicate trade_id {trade_id!r} "
                             f"(first at {self._seen[trade_id]})")
        self._seen[trade_id] = here
        return trade_id


class TermsTooDeep(ValueError):
    """JSON terms nested beyond what the reader can follow."""


def terms(raw: object) -> dict[str, Any]:
    """Contract terms: a dictionary, a mapping, or the JSON text of an object."""
    if isinstance(raw, str):
        try:
            raw = json.loads(raw)
        except json.JSONDecodeError as e:
            raise ValueError(f"terms are not a JSON object: {e}") from None
        except RecursionError:
            raise TermsTooDeep("terms are nested too deeply to read") from None
    if not isinstance(raw, dict):
        if hasattr(raw, "keys") and hasattr(raw, "__getitem__"):
            return dict(raw)
        raise TypeError(f"terms must be a dictionary of contract terms, got "
                        f"{type(raw).__name__}")
    return raw


def quantity_cell(cell: object) -> object:
    """A file's quantity cell: empty is one unit, number text is its number; anything
    else is kept as it is, for ``quantity`` to refuse at valuation (a NaN stays NaN: a
    number that is not a number is not a position)."""
    if cell is None or (isinstance(cell, str) and not cell.strip()):
        return 1.0
    if isinstance(cell, str):
        try:
            return float(cell)
        except ValueError:
            return cell
    return cell


def quantity(raw: object) -> float:
    """Signed units held: None means one unit; NaN, infinities and quantities beyond
    ``MAX_QUANTITY`` are refused."""
    if raw is None:
        return 1.0
    if isinstance(raw, bool):
        raise TypeError(f"quantity must be a number, got {raw!r}")
    try:
        number: float | None = float(raw)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        number = None
    if number is not None and math.isnan(number):
        raise ValueError(f"quantity {raw!r} is not a number (NaN)")
    number = finite_number(raw, "quantity")
    if abs(number) > MAX_QUANTITY:
        raise ValueError(f"quantity {number:g} is beyond the largest position of "
                         f"{MAX_QUANTITY:g} units")
    return number


def check_trades(trades: object) -> None:
    """A trades frame: its columns, and its trade ids unique non-empty text."""
    if not isinstance(trades, pd.DataFrame):
        raise TypeError(f"trades must be a pandas DataFrame, got {type(trades).__name__}")
    missing = [c for c in ("trade_id", "product", "terms") if c not in trades.columns]
    if missing:
        raise ValueError(f"trades: missing column(s) {', '.join(missing)}")
    ids = TradeIds()
    for k, trade_id in enumerate(trades["trade_id"]):
        ids.add(trade_id, f"trades, row {k}", f"row {k}", from_file=False)


# -- the market -----------------------------------------------------------------------------

MARKET_COLUMNS = ("spot", "vol", "r", "q")


def check_market(market: object) -> None:
    """A market frame: its columns, and each underlying on one row."""
    if not isinstance(market, pd.DataFrame):
        raise TypeError(f"market must be a pandas DataFrame, got {type(market).__name__}")
    missing = [c for c in MARKET_COLUMNS if c not in market.columns]
    if missing:
        raise ValueError(f"market: missing column(s) {', '.join(missing)}")
    if market.index.has_duplicates:
        repeated = market.index[market.index.duplicated()].unique().tolist()
        raise ValueError(f"market: underlying(s) listed twice: {repeated}")


def parse_iso_date(text: str) -> datetime.date:
    """ISO text YYYY-MM-DD as a ``datetime.date``; ``ValueError`` for anything else."""
    if not isinstance(text, str):
        raise TypeError(f"expected ISO date text YYYY-MM-DD, got {type(text).__name__} "
                        f"{text!r}")
    return evaluation_date(text, "date")
