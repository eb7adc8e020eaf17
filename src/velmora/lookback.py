"""Fixed-strike lookback options on the lowest or highest price of the path."""

import datetime

import QuantLib as ql

import lumadex  # noqa: F401  (the history queries go through velmora._history)

from . import _history
from .groundwork import BaseOption
from .utils import black_scholes_process, check_market_inputs, set_evaluation_date, to_qldate


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

    def __init__(self, call_put, strike, extreme, exercise, process):
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

    def NPV(self):  # noqa: N802  (QuantLib's name)
        if self.fixed.isExpired():
            return 0.0  # as QuantLib's own lookbacks once expired
        forward = self.process.x0() * self.process.dividendYield().discount(self.maturity)
        cash = self.strike * self.process.riskFreeRate().discount(self.maturity)
        return self.sign * (forward - cash) - self.floating.NPV() + self.fixed.NPV()


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

    A call on the maximum and a put on the minimum are QuantLib's continuous
    fixed-strike lookbacks (Conze-Viswanathan); a call on the minimum and a put on
    the maximum follow from them and from the floating-strike lookbacks
    (Goldman-Sosin-Gatto) by parity (``_OtherExtremeLookback``).  Values are per
    unit of underlying; ``notional`` is not applied.  Tested against both closed
    forms written in the tests and against a numerical integral of the no-touch
    probability for the two parity contracts.
    """

    def __init__(self, option):
        super().__init__(option)
        self.call_put = ql.Option.Call if option["call_put"] == "call" else ql.Option.Put
        self.strike = option["strike"]
        self.lookback = option["lookback"]
        if self.lookback not in ("min", "max"):
            raise AssertionError("invalid lookback type: " + str(self.lookback))
        self.exercise = ql.EuropeanExercise(to_qldate(self.maturity_date))
        self.payoff = ql.PlainVanillaPayoff(self.call_put, self.strike)

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value for one unit of the underlying; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        instrument = self.construct_option(spot, r, vol, q, evaluation_date)
        set_evaluation_date(evaluation_date)
        return instrument.NPV()

    def construct_option(self, spot, r, vol, q, evaluation_date):
        """The instrument with its engine set, ready for ``NPV()``.

        QuantLib's continuous fixed-strike lookback for a call on the maximum or a
        put on the minimum, otherwise the parity combination of
        ``_OtherExtremeLookback``.  QuantLib's evaluation date is not set here.
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
        process = black_scholes_process(spot, r, vol, q)
        on_max = self.lookback == "max"
        if on_max == (self.call_put == ql.Option.Call):
            instrument = ql.ContinuousFixedLookbackOption(extreme, self.payoff, self.exercise)
            instrument.setPricingEngine(ql.AnalyticContinuousFixedLookbackEngine(process))
            return instrument
        return _OtherExtremeLookback(self.call_put, self.strike, extreme, self.exercise, process)
