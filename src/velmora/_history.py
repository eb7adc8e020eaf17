"""Queries of the market-data client: the trading calendar, the underlying's daily
history, and the crossing scans run on the history.

Every product asks the client through this module alone: what is asked, and how a
gap in the answer is treated, is decided here.

Every knock or touch status is read afresh from the market-data client at each
valuation, except within one pass (below); nothing is kept between passes.
Crossings are strict: a price exactly at a level crosses nothing.

Every product reads its history through ``price_history``, which checks what came
back against the trading calendar:

* No bars at all although trading days have closed since the effect date (from the
  effect date up to the day before the evaluation date): ``ValueError`` naming the
  underlying and the dates.  A mistyped underlying, a store that was never filled
  and a stock suspended since the effect date look the same here, and in none of
  them can the barrier status, the fixings or the extreme be known.  A contract
  whose effect date is the evaluation date (or later) needs no history.
* Bars that stop before the last trading day before the evaluation date: the days
  after the last bar have no close, so nothing is observed on them: no barrier is
  crossed, no fixing is known, no extreme is reached on those days.  A stock that is
  suspended has exactly such days, and a store that was not brought up to date looks
  the same, so this is a ``StaleHistoryWarning`` naming the underlying, the last bar
  and the unobserved days, not an error; the valuation goes on from the bars there
  are.
* The evaluation date itself may have no bar yet (a valuation during the trading
  day): that is neither an error nor a warning.  Inside ``unclosed_from(day)`` (theta's
  valuation on the next calendar day) the same holds for ``day`` and every day after
  it: the day being valued has not closed yet, so a missing close there is not yet
  observed, on a contract's first day as on any other.

Inside ``one_pass()`` (one ``greeks``, one row of a book) each distinct question is put
to the client once, checked once (a stale history warns once), and its answer reused
by every bumped valuation; so are the QuantLib market objects those valuations share
(``shared_in_pass``).
"""

from __future__ import annotations

import contextlib
import contextvars
import datetime
import threading
import warnings
from collections.abc import Callable, Hashable, Iterator, Sequence
from typing import Any, Literal, TypeAlias, TypeVar, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

import lumadex

from ._dates import to_timestamp
from ._typing import DateLike

_T = TypeVar("_T")
# The fields asked of the client: one name, or several.
Fields: TypeAlias = str | Sequence[str]
# An answer of the client as kept for the pass: the bars (a frame, or ``Bars``) and the
# date of the last one, or ``(None, None)`` without bars.
_FrameAnswer: TypeAlias = "tuple[pd.DataFrame | None, pd.Timestamp | None]"
_BarsAnswer: TypeAlias = "tuple[Bars | None, pd.Timestamp | None]"
_Answer: TypeAlias = "tuple[pd.DataFrame | Bars | None, pd.Timestamp | None]"


class StaleHistoryWarning(UserWarning):
    """The underlying's bars stop before trading days that have already closed."""


# QuantLib's evaluation date is one setting for the whole process, and every QuantLib
# valuation sets it and then prices; ``groundwork.QUANTLIB_LOCK`` (this lock) is held
# across the whole ``npv`` of every product valued through QuantLib.
QUANTLIB_LOCK = threading.RLock()

# The answers of the current pass, by question; None outside a pass.  A context
# variable, so every thread (and every asyncio task) has a pass of its own.
_ANSWERS: contextvars.ContextVar[dict[tuple[Any, ...], Any] | None] = contextvars.ContextVar(
    "velmora_history_answers", default=None)
# The first day that counts as not yet closed, or None: only days before the
# evaluation date have closed.
_UNCLOSED_FROM: contextvars.ContextVar[pd.Timestamp | None] = contextvars.ContextVar(
    "velmora_history_unclosed_from", default=None)


@contextlib.contextmanager
def one_pass() -> Iterator[None]:
    """Within the block, each distinct history query is asked of the client once.

    Every valuation made inside (the bumped valuations of one ``greeks``, the
    valuations of one book row) reuses the frame the client gave for the same
    underlying, dates, fields and adjustment, so the values are those of one snapshot
    of the store and equal, bit for bit, those made one by one against an unchanged
    store.  A block inside another joins the outer pass; the answers are dropped when
    the outermost block ends.  Thread-safe: each thread has its own pass.
    """
    if _ANSWERS.get() is not None:
        yield
        return
    answers: dict[tuple[Any, ...], Any] = {}
    token = _ANSWERS.set(answers)
    try:
        yield
    finally:
        _ANSWERS.reset(token)
        if any(key[0] == "built" for key in answers):
            # QuantLib objects unregister from the evaluation date as they go: they are
            # dropped under the lock every QuantLib valuation holds, never while another
            # thread moves the date
            with QUANTLIB_LOCK:
                answers.clear()


def shared_in_pass(key: Hashable, build: Callable[[], _T]) -> _T:
    """``build()``, made once per pass for ``key`` and shared by the pass's valuations.

    The market objects that bumped valuations have in common (one flat curve for the
    rates that do not move, one quote for the spots) are built once per ``greeks``.
    Outside a pass every call builds afresh.  ``key`` must name everything the object
    depends on.
    """
    answers = _ANSWERS.get()
    if answers is None:
        return build()
    entry = ("built", key)
    built: _T | None = answers.get(entry)
    if built is None:
        built = answers[entry] = build()
    return built


@contextlib.contextmanager
def unclosed_from(day: DateLike) -> Iterator[None]:
    """Within the block, ``day`` and the days after it count as not yet closed.

    Theta values the next calendar day while ``day`` (today's evaluation date) is
    still trading: today's close is not stored yet, so that day is not yet observed;
    its missing bar is neither an error nor a ``StaleHistoryWarning``.
    """
    first = to_timestamp(day, "evaluation_date")
    outer = _UNCLOSED_FROM.get()
    token = _UNCLOSED_FROM.set(first if outer is None else min(outer, first))
    try:
        yield
    finally:
        _UNCLOSED_FROM.reset(token)


def _key_fields(fields: Fields) -> str | tuple[str, ...]:
    return fields if isinstance(fields, str) else tuple(fields)


@overload
def _ask_price(underlying: str, start: DateLike, end: DateLike, fields: Fields,
               adjust_type: str, first: pd.Timestamp, today: pd.Timestamp,
               arrays: Literal[False] = False) -> _FrameAnswer: ...


@overload
def _ask_price(underlying: str, start: DateLike, end: DateLike, fields: Fields,
               adjust_type: str, first: pd.Timestamp, today: pd.Timestamp,
               arrays: bool) -> _Answer: ...


def _ask_price(underlying: str, start: DateLike, end: DateLike, fields: Fields,
               adjust_type: str, first: pd.Timestamp, today: pd.Timestamp,
               arrays: bool = False) -> _Answer:
    """The client's answer to the question, asked once per pass: ``(frame, date of its
    last bar)``, or with ``arrays`` ``(Bars, date of its last bar)``; ``(None, None)``
    without bars.  ``first`` and ``today`` are ``start`` and ``end`` as timestamps."""
    ask: Callable[[str, DateLike, DateLike, Fields, str], _Answer] = (
        _get_arrays if arrays else _get_price)
    answers = _ANSWERS.get()
    if answers is None:
        return ask(underlying, start, end, fields, adjust_type)
    try:
        key = ("arrays" if arrays else "asked", underlying, first, today, _key_fields(fields),
               adjust_type)
        hash(key)
    except TypeError:  # an unhashable underlying or field list: ask every time
        return ask(underlying, start, end, fields, adjust_type)
    if key in answers:
        answer: _Answer = answers[key]
        return answer
    if getattr(lumadex.get_price, "shorter_range_is_a_prefix", False):
        # A client whose answer for a range is the first rows of its answer for a longer
        # one (lumadex: the back-adjustment is anchored on the latest stored bar, not on
        # the range's end) is asked once through the next calendar day, which theta's
        # valuation asks about next; the answer for this day is that answer cut at it.
        later = today + pd.Timedelta(days=1)
        longer = key[:3] + (later,) + key[4:]
        if longer not in answers:
            answers[longer] = ask(underlying, start, later, fields, adjust_type)
        answers[key] = _cut(answers[longer], today)
    else:
        answers[key] = ask(underlying, start, end, fields, adjust_type)
    answer = answers[key]
    return answer


def _cut(answer: _Answer, day: pd.Timestamp) -> _Answer:
    """``(bars, last)`` of the bars up to ``day`` in ``answer`` (a frame or ``Bars``)."""
    bars, last = answer
    if bars is None or last is None or last <= day:
        return answer
    if isinstance(bars, Bars):
        n = int(np.searchsorted(bars.dates, np.datetime64(day), side="right"))
        if n == 0:
            return None, None
        return (Bars(bars.dates[:n], {name: v[:n] for name, v in bars.columns.items()}),
                pd.Timestamp(bars.dates[n - 1]).normalize())
    dates = bars.index.get_level_values(-1)
    n = int(dates.searchsorted(day, side="right"))
    if n == 0:
        return None, None
    return bars.iloc[:n], pd.Timestamp(dates[n - 1]).normalize()


class Bars:
    """One underlying's bars as arrays: ``dates`` ascending, ``columns`` by field name.

    The arrays are read-only: every valuation of a pass reads the same ones.
    """

    __slots__ = ("dates", "columns")

    def __init__(self, dates: npt.NDArray[Any], columns: dict[str, npt.NDArray[Any]]) -> None:
        for array in (dates, *columns.values()):
            array.flags.writeable = False
        self.dates = dates
        self.columns = columns


def _get_price(underlying: str, start: DateLike, end: DateLike, fields: Fields,
               adjust_type: str) -> _FrameAnswer:
    bars = lumadex.get_price(
        underlying, start, end, fields=fields, adjust_type=adjust_type, expect_df=True
    )
    if bars is None or len(bars) == 0:
        return None, None
    return bars, pd.Timestamp(bars.index.get_level_values(-1).max()).normalize()


def _array_reader() -> Callable[..., tuple[npt.NDArray[Any], npt.NDArray[Any]] | None] | None:
    """lumadex's own array reader when ``lumadex.get_price`` is lumadex's own, else None.

    A replaced or wrapped ``get_price`` (a vendor's client, a counting wrapper) is asked
    itself, and its frame read into arrays.
    """
    get_price = lumadex.get_price
    arrays = getattr(get_price, "arrays", None)
    if arrays is not None and getattr(arrays, "frames", None) is get_price:
        return arrays
    return None


def _get_arrays(underlying: str, start: DateLike, end: DateLike, fields: Fields,
                adjust_type: str) -> _BarsAnswer:
    """``(Bars, date of the last bar)`` of the question, or ``(None, None)`` without bars."""
    names = [fields] if isinstance(fields, str) else list(fields)
    read = _array_reader()
    if read is None or not isinstance(underlying, str):
        frame, last = _get_price(underlying, start, end, fields, adjust_type)
        if frame is None:
            return None, None
        dates = frame.index.get_level_values(-1).to_numpy()
        return Bars(dates, {name: frame[name].to_numpy() for name in names}), last
    got = read(underlying, start, end, fields=names, adjust_type=adjust_type)
    if got is None or len(got[0]) == 0:
        return None, None
    dates, values = got
    columns = {name: values[:, j] for j, name in enumerate(names)}
    return Bars(dates, columns), pd.Timestamp(dates[-1])


def trading_dates(start: DateLike | pd.Timestamp,
                  end: DateLike | pd.Timestamp) -> list[datetime.date]:
    """The trading days from ``start`` to ``end``, both included, as the client lists them."""
    return lumadex.get_trading_dates(start, end)


def on_trading_day(date: DateLike) -> datetime.date:
    """``date`` itself when it is a trading day, otherwise the first trading day after it.

    The client's next trading date (strictly after) of its previous trading date
    (strictly before) of ``date``.
    """
    return lumadex.get_next_trading_date(lumadex.get_previous_trading_date(date))


def price_history(underlying: str, start: DateLike, end: DateLike, fields: Fields,
                  adjust_type: str) -> pd.DataFrame | None:
    """Bars from ``start`` (the effect date) to ``end`` (the evaluation date), checked.

    Asks the client once, exactly as given (``fields`` and ``adjust_type`` are
    passed through), and returns its frame, or ``None`` when no bar is due yet.

    Raises
    ------
    ValueError
        When the client has no bars although trading days from ``start`` to the day
        before ``end`` have closed.

    Warns
    -----
    StaleHistoryWarning
        When the bars stop before the last trading day before ``end``.
    """
    return _history(underlying, start, end, fields, adjust_type, False)


@overload
def _history(underlying: str, start: DateLike, end: DateLike, fields: Fields,
             adjust_type: str, arrays: Literal[False]) -> pd.DataFrame | None: ...


@overload
def _history(underlying: str, start: DateLike, end: DateLike, fields: Fields,
             adjust_type: str, arrays: Literal[True]) -> Bars | None: ...


def _history(underlying: str, start: DateLike, end: DateLike, fields: Fields,
             adjust_type: str, arrays: bool) -> pd.DataFrame | Bars | None:
    """``price_history``, or with ``arrays`` the same bars as ``Bars``."""
    unclosed = _UNCLOSED_FROM.get()
    answers = _ANSWERS.get()
    checked: tuple[Any, ...] | None = None
    if answers is not None:  # within a pass: checked (and warned about) once
        try:
            checked = ("checked", arrays, underlying, start, end, _key_fields(fields),
                       adjust_type, unclosed)
            if checked in answers:
                return answers[checked]
        except TypeError:  # unhashable: checked every time
            checked = None
    bars = _checked_history(underlying, start, end, fields, adjust_type, unclosed, arrays)
    if answers is not None and checked is not None:
        answers[checked] = bars
    return bars


def _checked_history(underlying: str, start: DateLike, end: DateLike, fields: Fields,
                     adjust_type: str, unclosed: pd.Timestamp | None,
                     arrays: bool) -> pd.DataFrame | Bars | None:
    first, today = to_timestamp(start, "effect_date"), to_timestamp(end, "evaluation_date")
    bars, last = _ask_price(underlying, start, end, fields, adjust_type, first, today, arrays)
    if unclosed is not None and unclosed < today:
        # theta's next day: the checks see the day that has not closed yet as "today"
        today = unclosed
    if bars is None or last is None:  # the one without the other never comes back
        if first < today:
            closed = lumadex.get_trading_dates(first, today - pd.Timedelta(days=1))
            if len(closed):
                raise ValueError(
                    f"no price history of {underlying} from {first.date()} to {today.date()}: "
                    f"{len(closed)} trading days from {pd.Timestamp(closed[0]).date()} to "
                    f"{pd.Timestamp(closed[-1]).date()} have closed since the effect date, "
                    "so what the underlying did cannot be checked (is the underlying "
                    "mistyped, or the store not brought up to date?)"
                )
        return None
    if last < today - pd.Timedelta(days=1):
        due = pd.Timestamp(lumadex.get_previous_trading_date(today))
        if last < due:
            gap = lumadex.get_trading_dates(last + pd.Timedelta(days=1), due)
            warnings.warn(
                StaleHistoryWarning(
                    f"price history of {underlying} stops on {last.date()}: no bar on the "
                    f"{len(gap)} trading days from {pd.Timestamp(gap[0]).date()} to "
                    f"{due.date()} before the evaluation date {today.date()}; nothing is "
                    "observed on those days (a suspension, or a store not brought up to "
                    "date)"
                ),
                # at the product's method that asked (through one more call for frames)
                stacklevel=4 if arrays else 5,
            )
    return bars


def get_closes(underlying: str, start: DateLike, end: DateLike,
               adjust_type: str) -> pd.DataFrame | None:
    """Daily closes from ``start`` to ``end`` as the client returns them, or ``None``.

    Checked as ``price_history`` says.
    """
    return price_history(underlying, start, end, "close", adjust_type)


def close_bars(underlying: str, start: DateLike, end: DateLike,
               adjust_type: str) -> Bars | None:
    """The daily closes from ``start`` to ``end`` with their dates, as ``Bars`` (arrays),
    or ``None`` without bars; checked as ``price_history`` says."""
    return _history(underlying, start, end, "close", adjust_type, True)


def close_values(underlying: str, start: DateLike, end: DateLike,
                 adjust_type: str) -> npt.NDArray[Any] | None:
    """The daily closes from ``start`` to ``end`` as one array, or ``None`` without bars.

    The closes of ``get_closes``, checked the same way, read without a frame where the
    client is lumadex's own.  Single-barrier products read closes adjusted with "pre";
    the double barrier reads unadjusted closes ("none").
    """
    # asked of ``_history`` itself, not through ``close_bars``: the stale-history warning
    # counts the calls between it and the product's method that asked
    bars = _history(underlying, start, end, "close", adjust_type, True)
    return None if bars is None else bars.columns["close"]


def close_on(underlying: str, date: DateLike) -> float | None:
    """The close of ``underlying`` on ``date`` as stored that day ("none": the price the
    market traded at), or ``None`` when the client has no finite close for that day.

    Unchecked: a single day's quote, not a history.
    """
    day = to_timestamp(date, "date")
    frame, _ = _ask_price(underlying, date, date, "close", "none", day, day)
    if frame is None or not np.isfinite(frame["close"].iloc[-1]):
        return None
    return float(frame["close"].iloc[-1])


def low_high_values(underlying: str, start: DateLike,
                    end: DateLike) -> tuple[npt.NDArray[Any], npt.NDArray[Any]] | None:
    """Daily lows and highs ("pre") as two arrays ``(lows, highs)``, or ``None`` without
    bars; checked as ``price_history`` says."""
    bars = _history(underlying, start, end, ["low", "high"], "pre", True)
    if bars is None:
        return None
    return bars.columns["low"], bars.columns["high"]


# The scans compare the column's values as an array: the same element-wise test as
# on the pandas column (a missing price compares false), without building a
# boolean Series at every valuation.  Within a pass each scan of one array against one
# level runs once: the bumped valuations of one date scan the same closes.


def _scan(values: npt.NDArray[Any], level: float, below: bool) -> bool:
    answers = _ANSWERS.get()
    key: tuple[Any, ...] | None
    # only the read-only arrays of ``Bars``: an array that can change is scanned afresh
    if answers is not None and not values.flags.writeable:
        try:
            key = ("scan", id(values), level, below)
            entry = answers.get(key)
        except TypeError:  # an unhashable level: scanned every time
            entry, key = None, None
        # the entry keeps the array alive, so its id names no other array in the pass
        if entry is not None and entry[0] is values:
            scanned: bool = entry[1]
            return scanned
    else:
        key = None
    crossed = bool(np.any(values < level) if below else np.any(values > level))
    if answers is not None and key is not None:
        answers[key] = (values, crossed)
    return crossed


def any_below(values: npt.ArrayLike, level: float) -> bool:
    """Whether any value is strictly below ``level``."""
    return _scan(np.asarray(values), level, True)


def any_above(values: npt.ArrayLike, level: float) -> bool:
    """Whether any value is strictly above ``level``."""
    return _scan(np.asarray(values), level, False)
