"""Fixed-strike lookback options on the lowest or highest price of the path."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import QuantLib as ql

from . import _history
from ._dates import to_qldate
from ._market import (is_market_object, is_vol_surface, rate_handle, spread_rate, time_to,
                      valuation_inputs, vol_level)
from ._quantlib import black_scholes_process, npv_on, set_evaluation_date
from ._terms import option_type
from ._typing import DateLike, Priceable, RateLike, VolLike
from .groundwork import BaseOption


class _OtherExtremeLookback:
    """A call on the minimum or a put on the maximum, by parity with QuantLib's lookbacks.

    QuantLib's fixed-strike lookback pays a call on the maximum or a put on the
    minimum.  The two other contracts follow from the identities
    ``(m - K)+ = (m - K) + (K - m)+`` and ``(K - M)+ = (K - M) + (M - K)+`` and from
    the floating-strike lookbacks, which price the extreme itself
    (``S_T - m`` and ``M - S_T``):

    * call on the minimum ``= S e^(-qT) - C_float(m) - K e^(-rT) + P_fixed(K, m)``
    * put on the maximum ``= K e^(-rT) - P_float(M) - S e^(-qT) + C_fixed(K, M)``

    ``NPV()`` reads the discount factors from the process at QuantLib's evaluation
    date, as the instruments do.
    """

    def __init__(self, call_put: int, strike: float, extreme: float, exercise: ql.Exercise,
                 process: ql.GeneralizedBlackScholesProcess) -> None:
        self.sign = 1.0 if call_put == ql.Option.Call else -1.0
        self.strike = strike
        self.process = process
        self.maturity = exercise.lastDate()
        # the call on the minimum uses the put on the minimum, and the other way round
        other = ql.Option.Put if call_put == ql.Option.Call else ql.Option.Call
        self.fixed = ql.ContinuousFixedLookbackOption(
            extreme, ql.PlainVanillaPayoff(other, strike), exercise
        )
        self.fixed.setPricingEngine(ql.AnalyticContinuousFixedLookbackEngine(process))
        self.floating = ql.ContinuousFloatingLookbackOption(
            extreme, ql.FloatingTypePayoff(call_put), exercise
        )
        self.floating.setPricingEngine(ql.AnalyticContinuousFloatingLookbackEngine(process))

    def NPV(self) -> float:  # noqa: N802  (QuantLib's name)
        if self.fixed.isExpired():
            return 0.0  # as QuantLib's own lookbacks once expired
        forward = self.process.x0() * self.process.dividendYield().discount(self.maturity)
        cash = self.strike * self.process.riskFreeRate().discount(self.maturity)
        return self.sign * (forward - cash) - self.floating.NPV() + self.fixed.NPV()


# The lookback closed forms hold the carry b = r - q in a denominator: a term
# vol**2 / (2 b) times a bracket that vanishes with b.  QuantLib evaluates them as
# written, so b = 0 gives 0/0 (NaN) and a b of a few ulps gives the bracket's
# rounding magnified without bound.  The value itself is smooth in b.  Within
# ``ZERO_CARRY_BAND`` standard deviations of log price (|b| sqrt(T) / vol below it)
# the value is interpolated linearly in q between the closed forms at b = -h and
# b = +h, h the band's edge: at that distance from zero the bracket keeps about
# eleven significant digits (relative rounding near 1e-16 / 1e-5), and the
# interpolation errs by about h**2 / 2 times the value's second derivative in b,
# the same 1e-10 in relative terms.  At b = 0 this enforces the limit of the
# closed forms as b -> 0, e.g. for a call on the maximum struck above the maximum
# so far: S e^(-rT) (N(d1) + vol sqrt(T) (phi(d1) + d1 N(d1))) - K e^(-rT) N(d2).
ZERO_CARRY_BAND = 1e-5


class _ZeroCarryLimit:
    """A lookback at a carry inside the band: the straight line between its edges.

    ``below`` and ``above`` are the instrument at q = r + h and q = r - h (carry
    -h and +h); ``weight`` is where the actual q lies between them, 0 at r + h and
    1 at r - h.
    """

    def __init__(self, below: Priceable, above: Priceable, weight: float) -> None:
        self.below, self.above, self.weight = below, above, weight

    def NPV(self) -> float:  # noqa: N802  (QuantLib's name)
        low = self.below.NPV()
        return low + self.weight * (self.above.NPV() - low)


class LookbackOption(BaseOption):
    """European call or put whose payoff is struck against the path's lowest or highest price.

    Keys read besides the common ones: ``call_put`` ("call"; anything else is a
    put), ``strike`` and ``lookback`` ("min" or "max").  A call pays
    ``max(extreme - strike, 0)`` at maturity and a put ``max(strike - extreme, 0)``,
    where the extreme is the lowest ("min") or highest ("max") price from the
    effect date to maturity.

    Notes
    -----
    The extreme so far is the lowest daily low ("min") or the highest daily high
    ("max") from the effect date to the evaluation date, or ``s0`` before any bar
    is known; today's spot is a price of the path too, so the extreme handed on is
    never on the wrong side of it.  Since the extreme comes from intraday lows and
    highs, the rest of the path is watched continuously.

    Market inputs: ``r`` and ``q`` may be QuantLib yield curves and ``vol`` a Black
    volatility surface.  The closed forms read one vol, the surface's at the strike
    and maturity, and the curves' zero rates to maturity.

    A call on the maximum and a put on the minimum are QuantLib's continuous
    fixed-strike lookbacks (Conze-Viswanathan); a call on the minimum and a put on
    the maximum follow from them and from the floating-strike lookbacks
    (Goldman-Sosin-Gatto) by parity (``_OtherExtremeLookback``).  These closed
    forms are singular (0/0) at a zero carry r = q, where the value is their limit:
    within a band of ``ZERO_CARRY_BAND`` around it the value is interpolated
    between the closed forms at the band's edges.  Values are per unit of
    underlying; ``notional`` is not applied.  Tested against both closed forms
    written in the tests (and their zero-carry limits) and against a numerical
    integral of the no-touch probability for the two parity contracts.
    """

    key_terms = ("call_put", "strike", "lookback")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.call_put = option_type(option["call_put"])
        self.strike = option["strike"]
        self.lookback = option["lookback"]
        if self.lookback not in ("min", "max"):
            raise AssertionError("invalid lookback type: " + str(self.lookback))
        self.exercise = ql.EuropeanExercise(to_qldate(self.maturity_date))
        self.payoff = ql.PlainVanillaPayoff(self.call_put, self.strike)

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value for one unit of the underlying; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        return npv_on(self.construct_option(spot, r, vol, q, evaluation_date), evaluation_date)

    def construct_option(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                         evaluation_date: DateLike) -> Priceable:
        """The instrument with its engine set, ready for ``NPV()``.

        QuantLib's continuous fixed-strike lookback for a call on the maximum or a
        put on the minimum, otherwise the parity combination of
        ``_OtherExtremeLookback``; near a zero carry, the interpolation of
        ``_ZeroCarryLimit`` between two of them.  QuantLib's evaluation date is not
        set here.
        """
        # lows for the lowest price, highs for the highest
        field = "low" if self.lookback == "min" else "high"
        history = _history.price_history(
            self.underlying, self.effect_date, evaluation_date, field, "pre"
        )
        extreme = self.s0
        if history is not None:
            extreme = history[field].min() if self.lookback == "min" else history[field].max()
        extreme = float(min(extreme, spot) if self.lookback == "min" else max(extreme, spot))
        t = ql.Actual365Fixed().yearFraction(
            to_qldate(evaluation_date, "evaluation_date"), self.exercise.lastDate()
        )
        if is_market_object(r) or is_market_object(q) or is_market_object(vol):
            return self._under_curves(spot, r, vol, q, evaluation_date, extreme, t)
        # a day is the shortest life left; an expired option is worth 0.0 anyway
        h = ZERO_CARRY_BAND * vol / math.sqrt(max(t, 1.0 / 365.0))
        if abs(r - q) < h:
            return _ZeroCarryLimit(
                self._instrument(spot, r, vol, r + h, extreme),
                self._instrument(spot, r, vol, r - h, extreme),
                (r + h - q) / (2.0 * h),
            )
        return self._instrument(spot, r, vol, q, extreme)

    def _under_curves(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                      evaluation_date: DateLike, extreme: float, t: float) -> Priceable:
        """``construct_option`` when a curve or a surface is given.

        The zero-carry test reads the zero rates of both curves to maturity and the
        surface at the strike and maturity; near a zero carry the two closed forms
        interpolated between are those with the dividend curve spread in parallel
        to a carry of -h and +h at maturity.  The closed forms themselves read one
        vol, the surface's at the strike and maturity.
        """
        set_evaluation_date(evaluation_date)
        maturity = self.exercise.lastDate()
        r_t = rate_handle(r).zeroRate(maturity, ql.Actual365Fixed(), ql.Continuous).rate()
        q_t = rate_handle(q).zeroRate(maturity, ql.Actual365Fixed(), ql.Continuous).rate()
        v = vol_level(vol, time_to(vol, maturity), self.strike) if is_vol_surface(vol) else vol
        h = ZERO_CARRY_BAND * v / math.sqrt(max(t, 1.0 / 365.0))
        if abs(r_t - q_t) < h:
            return _ZeroCarryLimit(
                self._instrument(spot, r, vol, spread_rate(q, r_t + h - q_t), extreme),
                self._instrument(spot, r, vol, spread_rate(q, r_t - h - q_t), extreme),
                (r_t + h - q_t) / (2.0 * h),
            )
        return self._instrument(spot, r, vol, q, extreme)

    def _instrument(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                    extreme: float) -> Priceable:
        """The closed form for these market inputs and the extreme so far."""
        process = black_scholes_process(spot, r, vol, q)
        on_max = self.lookback == "max"
        if on_max == (self.call_put == ql.Option.Call):
            instrument = ql.ContinuousFixedLookbackOption(extreme, self.payoff, self.exercise)
            instrument.setPricingEngine(ql.AnalyticContinuousFixedLookbackEngine(process))
            return instrument
        return _OtherExtremeLookback(self.call_put, self.strike, extreme, self.exercise, process)
