"""Lookback options: contract validation and the extreme reached so far."""

import datetime

import QuantLib as ql

import lumadex

from .groundwork import BaseOption
from .utils import to_qldate

class LookbackOption(BaseOption):
    """European call or put whose value depends on the path's lowest or highest price.

    Keys read besides the common ones: ``call_put`` ("call"; anything else is a
    put), ``strike`` and ``lookback`` ("min" or "max").

    Notes
    -----
    The extreme so far is the lowest daily low ("min") or the highest daily high
    ("max") from the effect date to the evaluation date, or ``s0`` before any bar
    is known.  Valuation is not available yet: every valuation derives the extreme,
    with one query to the market-data client, and then raises
    ``NotImplementedError``; so do the sensitivities inherited from the base class
    at their first valuation.
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
        """Raises ``NotImplementedError`` after deriving the extreme so far."""
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        self.construct_option(spot, r, vol, q, evaluation_date)

    def construct_option(self, spot, r, vol, q, evaluation_date):
        """Derive the extreme reached so far, then stop: no QuantLib valuation yet."""
        # lows for the lowest price, highs for the highest
        field = "low" if self.lookback == "min" else "high"
        history = lumadex.get_price(
            self.underlying,
            self.effect_date,
            evaluation_date,
            fields=field,
            adjust_type="pre",
            expect_df=True,
        )
        extreme = self.s0
        if history is not None:
            extreme = history[field].min() if self.lookback == "min" else history[field].max()
        del extreme  # derived but not used until a lookback engine is wired in
        raise NotImplementedError("quantlib not exported yet")
