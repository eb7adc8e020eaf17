"""Date conversion, observation schedules and the common market set-up.

Dates are normalised once, at the edge: ``to_timestamp`` and ``to_qldate`` accept
every date-like value a caller is likely to pass (``datetime.date``,
``datetime.datetime``, pandas ``Timestamp``, ``numpy.datetime64``, an ISO date
text, or a QuantLib ``Date``) and name the offending parameter when they cannot.
"""

import math
import sys
import warnings

import pandas as pd
import QuantLib as ql

from ._dates import evaluation_timestamp, to_timestamp
from ._history import shared_in_pass, trading_dates
from ._market import is_curve, is_vol_surface, rate_handle, vol_handle


def to_qldate(d, param="date"):
    """Return the QuantLib ``Date`` of the same calendar day as ``d``.

    Accepts the same inputs as ``to_timestamp``; a QuantLib ``Date`` is returned
    unchanged.  The time of day of a datetime is dropped.
    """
    if isinstance(d, ql.Date):
        return d
    ts = to_timestamp(d, param)
    return ql.Date(ts.day, ts.month, ts.year)


# The day count of every flat curve and constant volatility below: one instance serves
# them all (QuantLib's day counters hold no state).
_DAY_COUNT = ql.Actual365Fixed()


def check_market_inputs(spot, r, vol, q, evaluation_date=None):
    """The market inputs of a valuation, checked once at the edge of every product.

    ``r`` and ``q`` may also be QuantLib yield term structures (or handles) and
    ``vol`` a QuantLib Black volatility term structure (or handle); these are
    returned as they are.

    Returns ``(spot, r, vol, q, evaluation_date)`` with the four numbers as Python
    floats (so that a numpy scalar such as ``np.float32(100)`` is accepted and every
    bump is made in double precision) and the evaluation date read once, as
    ``velmora._dates.evaluation_timestamp`` reads it: a tz-naive ``Timestamp`` (its
    time of day kept; a timezone-aware value becomes its local calendar day at
    midnight), which the valuations below pass on without reading it again.
    ``None`` stays ``None`` (today's date).

    Raises
    ------
    ValueError
        A spot or volatility that is not finite and positive, a rate or dividend
        yield that is not finite, a number that cannot be read as one, or an
        evaluation date that is ``pd.NaT`` or a text that does not parse; each
        message names the input.
    TypeError
        An evaluation date that is not date-like (an integer such as 20250102
        included: it is not read as a count of nanoseconds since 1970).

    Warns
    -----
    UserWarning
        A volatility above 5, or a rate or dividend yield above 1 in absolute value:
        most likely a per-cent figure (``vol=25`` for 25 %); the input is used as given.
    """
    values = []
    for name, value, positive in (("spot", spot, True), ("r", r, False), ("vol", vol, True),
                                  ("q", q, False)):
        if type(value) is float:  # already what it becomes: read as it is
            x = value
        elif is_vol_surface(value) if name == "vol" else name != "spot" and is_curve(value):
            values.append(value)
            continue
        else:
            try:
                x = float(value)
            except (TypeError, ValueError):
                raise ValueError(f"{name} must be a number, got {value!r}") from None
        if not math.isfinite(x) or (positive and not x > 0.0):
            kind = "finite and positive" if positive else "finite"
            raise ValueError(f"{name} must be {kind}, got {value!r}")
        values.append(x)
    _warn_percent_slip(*values)
    if evaluation_date is not None:
        evaluation_date = evaluation_timestamp(evaluation_date)
    return (*values, evaluation_date)


# Beyond these a market input is more likely written in per cent than meant: a vol of
# 500 % a year, a rate or dividend yield of 100 % a year.
PERCENT_SLIP_VOL = 5.0
PERCENT_SLIP_RATE = 1.0


def _warn_percent_slip(spot, r, vol, q):
    """A ``UserWarning`` for a volatility above 5 or a rate or yield above 1 in size.

    Such inputs are valid (they are valued as given) but usually a per-cent slip, e.g.
    ``vol=25`` for 25 %, which values most options at about the whole spot.
    """
    # scalars only: a curve or surface is the caller's own market object
    scalar = (int, float)
    slips = [f"vol={vol!r}"] if isinstance(vol, scalar) and vol > PERCENT_SLIP_VOL else []
    slips += [f"{name}={x!r}" for name, x in (("r", r), ("q", q))
              if isinstance(x, scalar) and abs(x) > PERCENT_SLIP_RATE]
    if slips:
        # point the warning at the first caller outside velmora
        frame, level = sys._getframe(1), 2
        while frame is not None and frame.f_globals.get("__name__", "").startswith("velmora"):
            frame, level = frame.f_back, level + 1
        warnings.warn(
            f"{', '.join(slips)} looks like a per-cent figure; velmora reads rates, yields "
            "and volatilities as decimals (0.25 for 25 %)", UserWarning, stacklevel=level)


# Observation frequencies of the autocallables: the period between consecutive
# scheduled observation dates.  "daily" observes every trading day.
OBS_FREQUENCIES = {
    "daily": None,
    "weekly": pd.DateOffset(weeks=1),
    "monthly": pd.DateOffset(months=1),
    "quarterly": pd.DateOffset(months=3),
    "semi-annual": pd.DateOffset(months=6),
    "annual": pd.DateOffset(years=1),
}

# A scheduled date that falls on a holiday rolls forward; the longest exchange
# closure (Spring Festival or National Day week plus a weekend) is well under this.
_ROLL_LOOKAHEAD = pd.Timedelta(days=31)


def get_obs_dates(start, end, freq):
    """Observation dates of an autocallable from ``start`` to ``end``.

    Parameters
    ----------
    start, end : date-like
        The observation period.  ``start`` is the day the levels are fixed; it is
        never an observation date itself.
    freq : str
        One of ``"daily"``, ``"weekly"``, ``"monthly"``, ``"quarterly"``,
        ``"semi-annual"``, ``"annual"``.

    Returns
    -------
    pandas.DatetimeIndex
        Ascending, unique trading days.

    Notes
    -----
    * ``"daily"``: every trading day after ``start`` up to and including ``end``.
    * Otherwise the scheduled dates are ``start + k * period`` for k = 1, 2, ...
      while they are on or before ``end`` (calendar months for the monthly family,
      clipped to month end: 31 January + 1 month is 28/29 February).  ``end`` is an
      observation date exactly when it lies on that grid.  A scheduled date that is
      not a trading day moves to the next trading day of the market-data client's
      calendar (so the last date may fall after ``end`` when ``end`` is a holiday).

    Raises
    ------
    ValueError
        For an unknown ``freq``; the message lists the accepted values.
    """
    if not isinstance(freq, str) or freq not in OBS_FREQUENCIES:
        raise ValueError(
            f"unknown observation frequency {freq!r}; accepted values: "
            + ", ".join(f'"{k}"' for k in OBS_FREQUENCIES)
        )
    start = to_timestamp(start, "start")
    end = to_timestamp(end, "end")
    trading = pd.to_datetime(trading_dates(start, end + _ROLL_LOOKAHEAD))
    step = OBS_FREQUENCIES[freq]
    if step is None:
        return pd.DatetimeIndex(trading[(trading > start) & (trading <= end)])
    scheduled = []
    k = 1
    while (d := start + k * step) <= end:
        scheduled.append(d)
        k += 1
    pos = trading.searchsorted(pd.DatetimeIndex(scheduled), side="left")
    if len(pos) and pos[-1] >= len(trading):
        raise ValueError(f"no trading day on or after {scheduled[-1].date()} in the calendar")
    return pd.DatetimeIndex(trading[pos]).unique()


# Calendar of the market curves: every day is a business day, so zero settlement
# days anchor them on the evaluation date itself, weekends and holidays included.
_ANCHOR_CALENDAR = ql.NullCalendar()


def black_scholes_process(spot, r, vol, q):
    """The Black-Scholes-Merton process every QuantLib valuation is built on.

    Flat continuously compounded dividend and risk-free curves and a constant
    Black volatility, each with zero settlement days and the Actual/365 (Fixed)
    day count, anchored on QuantLib's evaluation date itself, so that they move
    with it on every day of the week.

    Notes
    -----
    The curves carry a calendar without holidays (``ql.NullCalendar``): with zero
    settlement days their reference date is the evaluation date adjusted to a
    business day of that calendar, i.e. the evaluation date unchanged.  On a
    trading day this is the same reference date that the A-share calendar gives,
    so every value is the same to the bit; on a weekend or an exchange holiday
    the time to maturity is counted from the day itself (calendar days / 365),
    not from the next trading day.  Time to expiry therefore shrinks by one
    calendar day per day, as theta and the autocallables assume.

    ``r`` and ``q`` may be QuantLib yield term structures (or handles) and ``vol``
    a Black volatility term structure (or handle); they are used as given, with
    their own reference dates (``velmora._market``).
    """
    if type(spot) is float and type(r) is float and type(vol) is float and type(q) is float:
        # scalars, the usual case: within one greeks the valuations that share an input
        # share its QuantLib object (the curves move with the evaluation date, so one
        # serves theta's next day too), and a repeated scenario its process
        return shared_in_pass(("process", spot.hex(), r.hex(), vol.hex(), q.hex()),
                              lambda: ql.BlackScholesMertonProcess(
                                  shared_in_pass(("spot", spot.hex()), lambda: _quote(spot)),
                                  shared_in_pass(("rate", q.hex()), lambda: _flat_curve(q)),
                                  shared_in_pass(("rate", r.hex()), lambda: _flat_curve(r)),
                                  shared_in_pass(("vol", vol.hex()), lambda: _flat_vol(vol))))
    dividend = rate_handle(q) if is_curve(q) else _flat_curve(q)
    risk_free = rate_handle(r) if is_curve(r) else _flat_curve(r)
    volatility = vol_handle(vol) if is_vol_surface(vol) else _flat_vol(vol)
    return ql.BlackScholesMertonProcess(_quote(spot), dividend, risk_free, volatility)


def _quote(spot):
    return ql.QuoteHandle(ql.SimpleQuote(spot))


def _flat_curve(rate):
    return ql.YieldTermStructureHandle(ql.FlatForward(0, _ANCHOR_CALENDAR, rate, _DAY_COUNT))


def _flat_vol(vol):
    return ql.BlackVolTermStructureHandle(ql.BlackConstantVol(0, _ANCHOR_CALENDAR, vol,
                                                              _DAY_COUNT))


def set_evaluation_date(evaluation_date):
    """Set QuantLib's process-wide evaluation date; it is left set afterwards."""
    ql.Settings.instance().evaluationDate = to_qldate(evaluation_date, "evaluation_date")


def npv_on(instrument, evaluation_date, engine=None):
    """The instrument's value at ``evaluation_date``, with ``engine`` attached first if given.

    QuantLib's evaluation date is set after the engine is attached and before the
    value is read, and is left set.
    """
    if engine is not None:
        instrument.setPricingEngine(engine)
    set_evaluation_date(evaluation_date)
    return instrument.NPV()
