"""One-touch and no-touch digitals on a single level."""

import datetime  # noqa: F401  (dates are resolved by TouchDigital)

import lumadex  # noqa: F401  (the history queries go through velmora._history)

from . import _history
from ._settled import CashOwedAtMaturity, TouchDigital
from .barrier import BarrierOption
from .groundwork import BaseOption, OptionGreeks  # noqa: F401

ONE_TOUCH_TO_BARRIER_MAP = {
    "one_touch_up": ("up_and_in", "american"),
    "no_touch_up": ("up_and_out", "european"),
    "one_touch_down": ("down_and_in", "american"),
    "no_touch_down": ("down_and_out", "european"),
}

_UP = ("one_touch_up", "no_touch_up")
_DOWN = ("one_touch_down", "no_touch_down")
_ONE_TOUCH = ("one_touch_up", "one_touch_down")


class SingleTouchOption(TouchDigital):
    """A digital paid if the level is touched (one-touch) or never touched (no-touch).

    Keys read besides the common ones: ``touch_type`` (a key of
    ``ONE_TOUCH_TO_BARRIER_MAP``), ``touch_price``, ``rebate``, optional
    ``digital_payoff`` (the cash amount, default ``s0``) and ``pay_at``: for a
    one-touch, "expiry" pays at maturity and anything else at the touch; a no-touch
    always pays at maturity.

    Notes
    -----
    Valued as a cash-or-nothing call ``BarrierOption`` struck at 0, so that the
    barrier alone decides the payment: a one-touch is an American knock-in, a
    no-touch a European knock-out.  Before each valuation the daily highs and lows
    ("pre") since the effect date are read; a high strictly above (up) or a low
    strictly below (down) the level is a touch.  Once touched, a no-touch and a
    one-touch paid at the touch are worth 0.0 (the first is dead, the second has
    paid); a one-touch paid at expiry is owed its cash at maturity and is worth that
    amount discounted to the evaluation date, with no spot or volatility
    sensitivity.  Tested against the Reiner-Rubinstein closed forms and Haug's table.
    """

    def __init__(self, option):
        super().__init__(option)
        self.touch_type = option["touch_type"]
        self.touch_price = option["touch_price"]
        self.rebate = option["rebate"]
        self.digital_payoff = option.get("digital_payoff", self.s0)
        self.pay_at = option["pay_at"]
        barrier_type, exercise_type = ONE_TOUCH_TO_BARRIER_MAP[self.touch_type]
        self._option = BarrierOption({
            "type": "barrier",
            "underlying": self.underlying,
            "notional": self.notional,
            "s0": self.s0,
            "call_put": "call",
            "strike": 0,
            "barrier": self.touch_price,
            "barrier_type": barrier_type,
            "payoff_type": "cash_or_nothing",
            "exercise_type": exercise_type,
            "rebate": self.rebate,
            "digital_payoff": self.digital_payoff,
            "pay_at": self.pay_at,
            "effect_date": self.effect_date,
            "maturity_date": self.maturity_date,
        })

    def _owed_once_touched(self):
        """The cash still owed after a touch, or None when nothing is left to pay."""
        if self.touch_type in _ONE_TOUCH and self.pay_at == "expiry":
            return CashOwedAtMaturity(self.digital_payoff, self.maturity_date)
        return None

    def triggered(self, evaluation_date):
        """Whether a daily high (up) or low (down) has gone strictly past the level."""
        bars = _history.get_lows_highs(self.underlying, self.effect_date, evaluation_date)
        if bars is None:
            return False
        if self.touch_type in _UP:
            return _history.any_above(bars["high"], self.touch_price)
        if self.touch_type in _DOWN:
            return _history.any_below(bars["low"], self.touch_price)
        return False
