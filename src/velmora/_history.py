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
by every bumped valuation.
"""

import contextlib
import contextvars
import warnings

import numpy as np
import pandas as pd

import lumadex

from ._dates import to_timestamp


class StaleHistoryWarning(UserWarning):
    """The underlying's bars stop before trading days that have already closed."""


# The answers of the current pass, by question; None outside a pass.  A context
# variable, so every thread (and every asyncio task) has a pass of its own.
_ANSWERS = contextvars.ContextVar("velmora_history_answers", default=None)
# The first day that counts as not yet closed, or None: only days before the
# evaluation date have closed.
_UNCLOSED_FROM = contextvars.ContextVar("velmora_history_unclosed_from", default=None)


@contextlib.contextmanager
def one_pass():
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
    token = _ANSWERS.set({})
    try:
        yield
    finally:
        _ANSWERS.reset(token)


@contextlib.contextmanager
def unclosed_from(day):
    """Within the block, ``day`` and the days after it count as not yet closed.

    Theta values the next calendar day while ``day`` (today's evaluation date) is
    still trading: today's close is not stored yet, so that day is not yet observed;
    its missing bar is neither an error nor a ``StaleHistoryWarning``.
    """
    day = to_timestamp(day, "evaluation_date")
    outer = _UNCLOSED_FROM.get()
    token = _UNCLOSED_FROM.set(day if outer is None else min(outer, day))
    try:
        yield
    finally:
        _UNCLOSED_FROM.reset(token)


def _ask_price(underlying, start, end, fields, adjust_type, first, today):
    """``(frame, date of its last bar)`` of ``lumadex.get_price`` for the question, asked
    once per pass; ``(None, None)`` without bars.  ``first`` and ``today`` are ``start``
    and ``end`` as timestamps."""
    answers = _ANSWERS.get()
    if answers is None:
        return _get_price(underlying, start, end, fields, adjust_type)
    try:
        key = ("asked", underlying, first, today,
               fields if isinstance(fields, str) else tuple(fields), adjust_type)
        hash(key)
    except TypeError:  # an unhashable underlying or field list: ask every time
        return _get_price(underlying, start, end, fields, adjust_type)
    if key in answers:
        return answers[key]
    if getattr(lumadex.get_price, "shorter_range_is_a_prefix", False):
        # A client whose answer for a range is the first rows of its answer for a longer
        # one (lumadex: the back-adjustment is anchored on the latest stored bar, not on
        # the range's end) is asked once through the next calendar day, which theta's
        # valuation asks about next; the answer for this day is that frame cut at it.
        later = today + pd.Timedelta(days=1)
        longer = key[:3] + (later,) + key[4:]
        if longer not in answers:
            answers[longer] = _get_price(underlying, start, later, fields, adjust_type)
        answers[key] = _cut(answers[longer], today)
    else:
        answers[key] = _get_price(underlying, start, end, fields, adjust_type)
    return answers[key]


def _cut(answer, day):
    """``(frame, last)`` of the bars up to ``day`` in ``answer``."""
    bars, last = answer
    if bars is None or last <= day:
        return answer
    dates = bars.index.get_level_values(-1)
    n = int(dates.searchsorted(day, side="right"))
    if n == 0:
        return None, None
    return bars.iloc[:n], pd.Timestamp(dates[n - 1]).normalize()


def _get_price(underlying, start, end, fields, adjust_type):
    bars = lumadex.get_price(
        underlying, start, end, fields=fields, adjust_type=adjust_type, expect_df=True
    )
    if bars is None or len(bars) == 0:
        return None, None
    return bars, pd.Timestamp(bars.index.get_level_values(-1).max()).normalize()


def trading_dates(start, end):
    """The trading days from ``start`` to ``end``, both included, as the client lists them."""
    return lumadex.get_trading_dates(start, end)


def on_trading_day(date):
    """``date`` itself when it is a trading day, otherwise the first trading day after it.

    The client's next trading date (strictly after) of its previous trading date
    (strictly before) of ``date``.
    """
    return lumadex.get_next_trading_date(lumadex.get_previous_trading_date(date))


def price_history(underlying, start, end, fields, adjust_type):
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
    unclosed = _UNCLOSED_FROM.get()
    answers, checked = _ANSWERS.get(), None
    if answers is not None:  # within a pass: checked (and warned about) once
        try:
            checked = ("checked", underlying, start, end,
                       fields if isinstance(fields, str) else tuple(fields), adjust_type,
                       unclosed)
            if checked in answers:
                return answers[checked]
        except TypeError:  # unhashable: checked every time
            checked = None
    bars = _checked_history(underlying, start, end, fields, adjust_type, unclosed)
    if checked is not None:
        answers[checked] = bars
    return bars


def _checked_history(underlying, start, end, fields, adjust_type, unclosed):
    first, today = to_timestamp(start, "effect_date"), to_timestamp(end, "evaluation_date")
    bars, last = _ask_price(underlying, start, end, fields, adjust_type, first, today)
    if unclosed is not None and unclosed < today:
        # theta's next day: the checks see the day that has not closed yet as "today"
        today = unclosed
    if bars is None:
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
                stacklevel=4,
            )
    return bars


def get_closes(underlying, start, end, adjust_type):
    """Daily closes from ``start`` to ``end`` as the client returns them, or ``None``.

    Single-barrier products read closes adjusted with "pre"; the double barrier
    reads unadjusted closes ("none").  Checked as ``price_history`` says.
    """
    return price_history(underlying, start, end, "close", adjust_type)


def close_on(underlying, date):
    """The close of ``underlying`` on ``date`` as stored that day ("none": the price the
    market traded at), or ``None`` when the client has no finite close for that day.

    Unchecked: a single day's quote, not a history.
    """
    day = to_timestamp(date, "date")
    frame, _ = _ask_price(underlying, date, date, "close", "none", day, day)
    if frame is None or not np.isfinite(frame["close"].iloc[-1]):
        return None
    return float(frame["close"].iloc[-1])


def get_lows_highs(underlying, start, end):
    """Daily lows and highs ("pre") indexed by date alone, or ``None`` without bars."""
    bars = price_history(underlying, start, end, ["low", "high"], "pre")
    if bars is None:
        return None
    return bars.droplevel("order_book_id")


def column(bars, name):
    """The column ``name`` of a history frame as a numpy array.

    Within a pass it is taken out of the frame once: the bumped valuations scan the
    same array.  (The entry keeps the frame alive, so its ``id`` cannot be reused
    by another frame while the pass lasts.)
    """
    answers = _ANSWERS.get()
    if answers is None:
        return bars[name].to_numpy()
    key = ("column", id(bars), name)
    entry = answers.get(key)
    if entry is None or entry[0] is not bars:
        entry = answers[key] = (bars, bars[name].to_numpy())
    return entry[1]


# The scans compare the column's values as an array: the same element-wise test as
# on the pandas column (a missing price compares false), without building a
# boolean Series at every valuation.


def any_below(values, level):
    """Whether any value is strictly below ``level``."""
    return bool(np.any(np.asarray(values) < level))


def any_above(values, level):
    """Whether any value is strictly above ``level``."""
    return bool(np.any(np.asarray(values) > level))
