"""Daily bars from the store, raw or adjusted backwards ("pre").

Adjustment rule
---------------
Each adjustment factor ``f`` on ex-date ``e`` says that the corporate action
lowered the price by the ratio ``f`` from ``e`` on (2.0 for a 10-for-10 bonus
issue).  ``adjust_type="pre"`` puts every bar on the price scale of the
underlying's latest bar in the store:

    pre(t) = raw(t) / F(t),  F(t) = product of f over ex-dates e with t < e <= T

where ``T`` is the date of the underlying's latest bar.  So the latest bar (and
every bar from the latest ex-date on) is unadjusted, the bar on an ex-date is
unadjusted relative to that ex-date's own factor, and the bar the day before is
divided by it.  Open, high, low and close are divided by ``F(t)``; volume is
multiplied by it (the same turnover in the new share count).  Factors with
ex-dates after ``T`` are not applied until a bar on or after them is stored.
Adjusted prices are not rounded.

``adjust_type="none"`` gives the stored prices unchanged.
"""

import sqlite3
from collections.abc import Iterable
from typing import TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _config, _store
from ._dates import DateLike, to_date

FIELDS = ("open", "high", "low", "close", "volume")
ADJUST_TYPES = ("pre", "none")
_PRICE_FIELDS = frozenset(("open", "high", "low", "close"))

# One underlying's bars as arrays: the dates (``datetime64[D]``, ascending) and the
# values, one row per date and one column per field.
BarArrays: TypeAlias = tuple[npt.NDArray[np.datetime64], npt.NDArray[np.float64]]


def _accepted(values: Iterable[str]) -> str:
    return ", ".join(f'"{v}"' for v in values)


def _normalise_fields(fields: str | Iterable[str] | None) -> list[str]:
    if fields is None:
        return list(FIELDS)
    names = [fields] if isinstance(fields, str) else list(fields)
    if not names:
        raise ValueError(f"no fields requested; accepted fields: {_accepted(FIELDS)}")
    out = []
    for name in names:
        if not isinstance(name, str) or name not in FIELDS:
            raise ValueError(f"unknown field {name!r}; accepted fields: {_accepted(FIELDS)}")
        if name not in out:
            out.append(name)
    return out


def _normalise_ids(order_book_ids: str | Iterable[str]) -> list[str]:
    ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
    for i in ids:
        if not isinstance(i, str):
            raise TypeError(f"order_book_ids: expected texts, got {i!r}")
    return list(dict.fromkeys(ids))


def _query_one(conn: sqlite3.Connection, underlying: str, start: str, end: str,
               fields: list[str], adjust: bool) -> BarArrays | None:
    """(dates as datetime64[D], values as float array n x len(fields)) or None."""
    # Column names cannot be bound as parameters; ``fields`` holds only names from
    # FIELDS (checked by _normalise_fields), every value is bound.
    rows = conn.execute(
        f"SELECT date, {', '.join(fields)} FROM bars "
        "WHERE underlying = ? AND date >= ? AND date <= ? ORDER BY date",
        (underlying, start, end),
    ).fetchall()
    if not rows:
        return None
    # column by column: one conversion per column instead of one per row
    columns = tuple(zip(*rows))
    dates = np.array(columns[0], dtype="datetime64[D]")
    values = np.empty((len(rows), len(fields)))
    for j in range(len(fields)):
        values[:, j] = columns[j + 1]
    if adjust:
        ex = conn.execute(
            "SELECT ex_date, factor FROM adjustment_factors "
            "WHERE underlying = ? AND ex_date > ? "
            "AND ex_date <= (SELECT MAX(date) FROM bars WHERE underlying = ?) "
            "ORDER BY ex_date",
            (underlying, start, underlying),
        ).fetchall()
        if ex:
            ex_dates = np.array([e[0] for e in ex], dtype="datetime64[D]")
            # later[k] = product of the factors from the k-th ex-date on; later[K] = 1.
            later = np.append(np.cumprod(np.array([e[1] for e in ex])[::-1])[::-1], 1.0)
            divisor = later[np.searchsorted(ex_dates, dates, side="right")]
            for j, name in enumerate(fields):
                if name in _PRICE_FIELDS:
                    values[:, j] /= divisor
                else:
                    values[:, j] *= divisor
    return dates, values


def _checked_adjust(adjust_type: str) -> None:
    if adjust_type not in ADJUST_TYPES:
        raise ValueError(
            f"unknown adjust_type {adjust_type!r}; accepted values: {_accepted(ADJUST_TYPES)}"
        )


def get_price_arrays(order_book_id: str, start_date: DateLike, end_date: DateLike,
                     fields: str | Iterable[str] | None = None,
                     adjust_type: str = "pre") -> BarArrays | None:
    """Daily bars of one underlying as numpy arrays, without building a frame.

    The numbers of ``get_price`` for the same question, bit for bit, for callers that
    scan them (a pricing library reading a knock status at every valuation).

    Parameters
    ----------
    order_book_id : str
        One underlying identifier as stored.
    start_date, end_date, fields, adjust_type
        As in ``get_price``.

    Returns
    -------
    tuple of numpy.ndarray, or None
        ``(dates, values)``: the dates as ``datetime64[D]``, ascending, and the
        values as a float array with one row per date and one column per field in
        the order asked; ``None`` when no bar lies in the range.

    Raises
    ------
    TypeError
        An identifier that is not a text.
    ValueError
        As ``get_price``.
    """
    fields = _normalise_fields(fields)
    _checked_adjust(adjust_type)
    if not isinstance(order_book_id, str):
        raise TypeError(f"order_book_id: expected a text, got {order_book_id!r}")
    start = to_date(start_date, "start_date").isoformat()
    end = to_date(end_date, "end_date").isoformat()
    if start > end:
        return None
    with _store.read_transaction(_config.store_path()) as conn:
        return _query_one(conn, order_book_id, start, end, fields, adjust_type == "pre")


def get_price(order_book_ids: str | Iterable[str], start_date: DateLike, end_date: DateLike,
              fields: str | Iterable[str] | None = None, adjust_type: str = "pre",
              expect_df: bool = True) -> pd.DataFrame | None:
    """Daily bars of one or more underlyings from ``start_date`` to ``end_date``.

    Parameters
    ----------
    order_book_ids : str or list of str
        Underlying identifiers as stored (e.g. ``"SYN001.XSHG"``).
    start_date, end_date : date, datetime, pandas Timestamp, numpy datetime64 or ISO text
        Both ends included; the time of day is ignored.
    fields : None, str or list of str
        Any of "open", "high", "low", "close", "volume"; ``None`` means all five.
        A single text gives a frame with one column, like a one-element list.
    adjust_type : {"pre", "none"}
        "pre": adjusted backwards onto the scale of the latest stored bar (see the
        module notes for the rule); "none": stored prices.
    expect_df : bool
        Must be true: the result is always a data frame (or ``None``).

    Returns
    -------
    pandas.DataFrame or None
        ``None`` when no bar of any requested underlying lies in the range.
        Otherwise one row per stored bar, indexed by ("order_book_id", "date")
        ascending, one float column per field in the order asked.

    Raises
    ------
    ValueError
        An unknown field or adjustment kind (the message lists the accepted
        values), ``expect_df`` false, or a date text that does not parse.
    """
    fields = _normalise_fields(fields)
    _checked_adjust(adjust_type)
    if not expect_df:
        raise ValueError("expect_df=False is not supported; this client always returns a frame")
    ids = _normalise_ids(order_book_ids)
    start = to_date(start_date, "start_date").isoformat()
    end = to_date(end_date, "end_date").isoformat()
    if start > end or not ids:
        return None
    parts = []
    with _store.read_transaction(_config.store_path()) as conn:
        for underlying in ids:
            got = _query_one(conn, underlying, start, end, fields, adjust_type == "pre")
            if got is not None:
                parts.append((underlying, *got))
    if not parts:
        return None
    parts.sort(key=lambda p: p[0])
    if len(parts) == 1:
        underlying, dates, values = parts[0]
        n = len(dates)
        index = pd.MultiIndex(
            levels=[pd.Index([underlying], dtype=object),
                    pd.DatetimeIndex(dates.astype("datetime64[ns]"))],
            codes=[np.zeros(n, dtype=np.int64), np.arange(n, dtype=np.int64)],
            names=["order_book_id", "date"], verify_integrity=False,
        )
    else:
        values = np.concatenate([p[2] for p in parts])
        index = pd.MultiIndex.from_arrays(
            [np.concatenate([[p[0]] * len(p[1]) for p in parts]).astype(object),
             pd.DatetimeIndex(np.concatenate([p[1] for p in parts]).astype("datetime64[ns]"))],
            names=["order_book_id", "date"],
        )
    return pd.DataFrame(values, index=index, columns=fields)


# The bars of a range are the first rows of the bars of any longer range from the same
# start: prices are stored raw and adjusted onto the latest stored bar, whatever the end
# asked.  Callers that need several ends (velmora's next-day valuation) may ask once.
# (Attributes of the functions themselves, which a type checker does not know of.)
get_price.shorter_range_is_a_prefix = True  # type: ignore[attr-defined]
get_price_arrays.shorter_range_is_a_prefix = True  # type: ignore[attr-defined]
# ``get_price`` names its array twin, and the twin names the frame function it serves:
# a caller that finds ``lumadex.get_price`` replaced (or wrapped: ``functools.wraps``
# copies the first attribute, not the second's answer) asks the replacement instead.
get_price.arrays = get_price_arrays  # type: ignore[attr-defined]
get_price_arrays.frames = get_price  # type: ignore[attr-defined]
