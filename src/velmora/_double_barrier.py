"""Closed forms of the European double knock-in and knock-out, beside QuantLib's engines.

``DoubleBarrierOption`` reads its terms and history and picks a pricer; the pricers it
does not leave to QuantLib live here, as plain functions of the contract
(``Corridor``) and the Black-Scholes process of the valuation:

* ``plain_by_images``: a plain-vanilla knock-out (or knock-in) from the survival
  probabilities of ``_corridor`` under the share and the pricing measure, where
  QuantLib's Ikeda-Kunitomo engine is wrong (a strike outside the corridor) or its
  terms overflow;
* ``digital``: a cash-or-nothing knock-out (or knock-in) whose strike cuts the
  corridor, by the method-of-images probability, and with the whole corridor beyond
  the strike the double no-touch of QuantLib's binary engine (Hui's series);
* ``binary_npv``: a double no-touch (or one-touch) by Hui's series, falling back on the
  method of images where QuantLib's series does not converge;
* ``image_count``: how many images the Ikeda-Kunitomo series needs, and whether
  QuantLib can sum them without overflowing.

Tested against the QuantLib engines built directly, Haug's table of double knock-out
calls, Hui's double no-touch series, an eigenfunction series written in the tests and
in + out = vanilla (``tests/products/test_dualknock.py``).
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import QuantLib as ql

from . import _corridor

# QuantLib's Ikeda-Kunitomo engine sums the images -n..n; its default of 5 is
# enough while vol * sqrt(T) is small against the corridor, and far from it for a
# narrow corridor over a long, volatile life.  Its terms hold the levels raised to
# the power 2n (and the corridor ratio to n times the drift exponent), so past
# about exp(700) the engine overflows and silently returns zero: beyond that the
# same series is summed here in logarithms (``_corridor``).
DEFAULT_SERIES = 5
_MAX_LOG_TERM = 700.0

# QuantLib's binary engine (Hui's series) stops with this message when its terms
# still matter after its last one: a short life at a low volatility, a corridor of
# many standard deviations, where the sine series decays slowest.
_HUI_STALLED = "serie did not converge"


class Corridor(NamedTuple):
    """The terms of a double-barrier contract that its closed forms read.

    ``knock_out`` tells a knock-out (True) from a knock-in (False); ``call_put`` is
    QuantLib's option type; ``payoff`` the QuantLib payoff; ``maturity`` the QuantLib
    date of expiry; ``cash`` the cash of a cash-or-nothing payoff (None otherwise).
    """

    barrier_lo: float
    barrier_hi: float
    knock_out: bool
    call_put: Any
    strike: float
    payoff: Any
    maturity: ql.Date
    cash: float | None


def market_at(proc: Any, maturity: ql.Date,
              strike: float) -> tuple[float, float, float, float, float]:
    """Spot, r, q, vol and time to ``maturity`` read from a Black-Scholes process.

    The rates are the curves' continuously compounded zero rates to maturity and the
    vol the surface's at ``strike`` and maturity; with no time left the three are 0.
    """
    risk_free, dividend = proc.riskFreeRate(), proc.dividendYield()
    t = risk_free.dayCounter().yearFraction(risk_free.referenceDate(), maturity)
    if t <= 0.0:
        return proc.x0(), 0.0, 0.0, 0.0, t
    r = risk_free.zeroRate(maturity, ql.Actual365Fixed(), ql.Continuous).rate()
    q = dividend.zeroRate(maturity, ql.Actual365Fixed(), ql.Continuous).rate()
    vol = proc.blackVolatility().blackVol(maturity, strike)
    return proc.x0(), r, q, vol, t


def paid_interval(call_put: Any, strike: float) -> tuple[float, float]:
    """Prices at expiry where a call or put struck at ``strike`` pays."""
    return (strike, math.inf) if call_put == ql.Option.Call else (0.0, strike)


def image_count(contract: Corridor, proc: Any) -> tuple[int, bool]:
    """Images needed by the plain-vanilla series, and whether QuantLib can sum them.

    The count is the one at which the method-of-images probabilities under the
    pricing and the share measure (the two halves of Ikeda-Kunitomo) have converged,
    never below QuantLib's default; QuantLib can sum them while its largest term
    stays below ``exp(700)``.
    """
    lo, hi = contract.barrier_lo, contract.barrier_hi
    spot, r, q, vol, t = market_at(proc, contract.maturity, contract.strike)
    if t <= 0.0 or not lo < spot < hi:
        return DEFAULT_SERIES, True
    a, b = paid_interval(contract.call_put, contract.strike)
    images = 0
    for drift in (r - q - 0.5 * vol * vol, r - q + 0.5 * vol * vol):
        _, used = _corridor.survival_mass(spot, lo, hi, a, b, drift, vol, t)
        images = max(images, used)
    series = max(DEFAULT_SERIES, images)
    width = math.log(hi / lo)
    exponent = abs(2.0 * (r - q) / (vol * vol)) + 1.0
    largest = max(abs(math.log(hi)), abs(math.log(lo)), 1.0)
    fits = series * max(2.0 * largest, width * exponent) < _MAX_LOG_TERM
    return series, fits


def vanilla_value(proc: Any, payoff: Any, maturity: ql.Date) -> float:
    """The European option with ``payoff`` and no barrier, on ``proc``."""
    vanilla = ql.VanillaOption(payoff, ql.EuropeanExercise(maturity))
    vanilla.setPricingEngine(ql.AnalyticEuropeanEngine(proc))
    return float(vanilla.NPV())


def _knocked_in(contract: Corridor, proc: Any, knock_out: float) -> float:
    """The contract's value from its knock-out value: itself, or the vanilla less it."""
    if contract.knock_out:
        return knock_out
    return vanilla_value(proc, contract.payoff, contract.maturity) - knock_out


def plain_by_images(contract: Corridor, proc: Any) -> float:
    """A plain-vanilla knock-out (or knock-in) from the images series.

    A knock-out call pays ``S_T - K`` above the strike inside the corridor:
    ``spot e^(-qT) P_share - K e^(-rT) P`` with the two survival probabilities
    under the share and the pricing measure; a put the mirror image.  A
    knock-in is the vanilla option less the knock-out.
    """
    lo, hi, strike = contract.barrier_lo, contract.barrier_hi, contract.strike
    spot, r, q, vol, t = market_at(proc, contract.maturity, strike)
    if t <= 0.0 or not lo < spot < hi:
        knock_out = 0.0  # expired, or (with no close outside yet) at a level
    else:
        a, b = paid_interval(contract.call_put, strike)
        share, pricing = (
            _corridor.survival_mass(spot, lo, hi, a, b, drift, vol, t)[0]
            for drift in (r - q + 0.5 * vol * vol, r - q - 0.5 * vol * vol)
        )
        asset = spot * math.exp(-q * t) * share
        cash = strike * math.exp(-r * t) * pricing
        # Rounding in a corridor the price almost surely leaves is not a value.
        knock_out = max(asset - cash if contract.call_put == ql.Option.Call else cash - asset,
                        0.0)
    return _knocked_in(contract, proc, knock_out)


def digital(contract: Corridor, proc: Any, exercise: Any) -> float | None:
    """A European cash-or-nothing knock-in/out whose strike matters, or None.

    None when the whole corridor lies beyond the strike (the double no-touch of
    QuantLib's engine is then exact) or nothing is left to value.  ``exercise`` is
    the contract's QuantLib exercise.
    """
    lo, hi = contract.barrier_lo, contract.barrier_hi
    a, b = paid_interval(contract.call_put, contract.strike)
    if a <= lo and b >= hi:
        # Every surviving path is paid: the double no-touch.  A knock-in that
        # pays whatever the final price (a call struck at or below zero) is
        # the one-touch, also exact in QuantLib's engine.
        pays_always = contract.call_put == ql.Option.Call and contract.strike <= 0.0
        if contract.knock_out or pays_always:
            return None
        knock_out = double_no_touch(contract, proc, exercise)
    else:
        spot, r, q, vol, t = market_at(proc, contract.maturity, contract.strike)
        if t <= 0.0 or not lo < spot < hi:
            return None
        mass, _ = _corridor.survival_mass(spot, lo, hi, a, b, r - q - 0.5 * vol * vol, vol, t)
        assert contract.cash is not None  # a cash-or-nothing payoff always has its cash
        knock_out = contract.cash * math.exp(-r * t) * mass
    return _knocked_in(contract, proc, knock_out)


def double_no_touch(contract: Corridor, proc: Any, exercise: Any) -> float:
    """Cash at expiry if the corridor is never left, by QuantLib's engine."""
    no_touch = ql.DoubleBarrierOption(ql.DoubleBarrier.KnockOut, contract.barrier_lo,
                                      contract.barrier_hi, 0.0, contract.payoff, exercise)
    no_touch.setPricingEngine(ql.AnalyticDoubleBarrierBinaryEngine(proc))
    return binary_npv(no_touch, contract, proc, knock_in=False, by_images=True)


def binary_npv(instrument: Any, contract: Corridor, proc: Any, knock_in: bool,
               by_images: bool) -> float:
    """A European double no-touch (or its one-touch) by Hui's series, or by images.

    ``instrument`` carries QuantLib's binary engine and pays the cash at expiry
    if the corridor is never left (``knock_in``: if it is left).  Its value is
    QuantLib's wherever Hui's series converges.  Where QuantLib gives up on it
    (short life, low volatility) and ``by_images`` allows it (a European knock-in
    or knock-out), the method of images of ``_corridor``, which needs fewest terms
    in exactly that case, gives the probability of never leaving the corridor:
    cash * e^(-rT) * P(stay), or e^(-rT) * (1 - P(stay)) times the cash for the
    one-touch.
    """
    try:
        return float(instrument.NPV())
    except RuntimeError as error:
        if _HUI_STALLED not in str(error) or not by_images:
            raise
    spot, r, q, vol, t = market_at(proc, contract.maturity, contract.strike)
    stay, _ = _corridor.survival_mass(spot, contract.barrier_lo, contract.barrier_hi, 0.0,
                                      math.inf, r - q - 0.5 * vol * vol, vol, t)
    assert contract.cash is not None  # a cash-or-nothing payoff always has its cash
    return contract.cash * math.exp(-r * t) * ((1.0 - stay) if knock_in else stay)
