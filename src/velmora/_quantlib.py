"""QuantLib set-up of a valuation: the Black-Scholes-Merton process and the evaluation date.

Every QuantLib-based product builds its process here and reads its instrument's value
through ``npv_on``, so that the order "engine attached, date set, value read" is kept
in one place.  ``velmora.utils`` offers these names under the same spelling.
"""

from typing import Any

import QuantLib as ql

from ._dates import to_qldate
from ._history import shared_in_pass
from ._market import rate_handle, vol_handle


def black_scholes_process(spot: float, r: Any, vol: Any, q: Any) -> ql.BlackScholesMertonProcess:
    """The Black-Scholes-Merton process every QuantLib valuation is built on.

    Flat continuously compounded dividend and risk-free curves and a constant
    Black volatility, each with zero settlement days and the Actual/365 (Fixed)
    day count, anchored on QuantLib's evaluation date itself, so that they move
    with it on every day of the week (the flat curve and constant vol of
    ``velmora._market.rate_handle`` and ``vol_handle``).

    Parameters
    ----------
    spot : float
        The underlying's price.
    r, q : float or QuantLib yield term structure (or handle)
        Risk-free rate and dividend yield, continuously compounded.
    vol : float or QuantLib Black volatility term structure (or handle)
        Black volatility.

    Returns
    -------
    QuantLib.BlackScholesMertonProcess

    Notes
    -----
    The curves carry a calendar without holidays (``ql.NullCalendar``): with zero
    settlement days their reference date is the evaluation date adjusted to a
    business day of that calendar, i.e. the evaluation date unchanged.  On a
    trading day this is the same reference date that the A-share calendar gives,
    so every value is the same to the bit; on a weekend or an exchange holiday
    the time to maturity is counted from the day itself (calendar days / 365),
    not from the next trading day.  Time to expiry therefore shrinks by one
    calendar day per day, as theta and the autocallables assume.  Tested by
    valuing on weekends and holidays against the closed forms with calendar-day
    time, and on trading days against the A-share calendar anchor.

    Curves and surfaces are used as given, with their own reference dates
    (``velmora._market``).
    """
    if type(spot) is float and type(r) is float and type(vol) is float and type(q) is float:
        # scalars, the usual case: within one greeks the valuations that share an input
        # share its QuantLib object (the curves move with the evaluation date, so one
        # serves theta's next day too), and a repeated scenario its process
        return shared_in_pass(("process", spot.hex(), r.hex(), vol.hex(), q.hex()),
                              lambda: ql.BlackScholesMertonProcess(
                                  shared_in_pass(("spot", spot.hex()), lambda: _quote(spot)),
                                  shared_in_pass(("rate", q.hex()), lambda: rate_handle(q)),
                                  shared_in_pass(("rate", r.hex()), lambda: rate_handle(r)),
                                  shared_in_pass(("vol", vol.hex()), lambda: vol_handle(vol))))
    # a curve or a surface is wrapped (or kept) as a handle, a number made flat
    return ql.BlackScholesMertonProcess(_quote(spot), rate_handle(q), rate_handle(r),
                                        vol_handle(vol))


def _quote(spot: float) -> ql.QuoteHandle:
    return ql.QuoteHandle(ql.SimpleQuote(spot))


def set_evaluation_date(evaluation_date: object) -> None:
    """Set QuantLib's process-wide evaluation date; it is left set afterwards.

    ``evaluation_date`` is anything ``velmora._dates.to_qldate`` reads.
    """
    ql.Settings.instance().evaluationDate = to_qldate(evaluation_date, "evaluation_date")


def npv_on(instrument: Any, evaluation_date: object, engine: Any = None) -> float:
    """The instrument's value at ``evaluation_date``, with ``engine`` attached first if given.

    QuantLib's evaluation date is set after the engine is attached and before the
    value is read, and is left set.
    """
    if engine is not None:
        instrument.setPricingEngine(engine)
    set_evaluation_date(evaluation_date)
    return instrument.NPV()
