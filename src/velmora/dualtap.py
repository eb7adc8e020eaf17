"""Double one-touch and double no-touch digitals on a corridor."""

import datetime  # noqa: F401  (dates are resolved by TouchDigital)

import lumadex  # noqa: F401  (the history queries go through velmora._history)

from . import _history
from ._settled import CashOwedAtMaturity, TouchDigital
from .dualknock import DoubleBarrierOption
from .groundwork import BaseOption, OptionGreeks  # noqa: F401

TOUCH_TYPE_MAP = {
    "double_one_touch": ("knock_in", "european"),
    "double_no_touch": ("knock_out", "european"),
    "kiko": ("kiko", "american"),
    "koki": ("koki", "american"),
}


class DoubleTouchOption(TouchDigital):
    """A digital paid if either level is touched, or if neither is, before maturity.

    Keys read besides the common ones: ``touch_type`` (a key of
    ``TOUCH_TYPE_MAP``), ``touch_price_lo``, ``touch_price_hi``, optional
    ``rebate`` (default 0.0; the corridor option accepts only zero), optional
    ``digital_payoff`` (the cash amount, default ``s0``) and ``pay_at``.

    Notes
    -----
    Valued as a cash-or-nothing call ``DoubleBarrierOption`` struck at 0: the double
    one-touch a European knock-in, the double no-touch a European knock-out, both
    paid at maturity; "kiko" and "koki" are handed through with American exercise.
    Before each valuation the daily highs and lows ("pre") since the effect date
    are read; a high strictly above the upper level or a low strictly below the
    lower one is a touch.  Once touched, a double one-touch is owed its cash at
    maturity and is worth that amount discounted to the evaluation date; every
    other type is worth 0.0.  Tested against Hui's double no-touch series and
    one-touch + no-touch = discounted cash.
    """

    def __init__(self, option):
        super().__init__(option)
        self.touch_type = option["touch_type"]
        self.touch_price_lo = option["touch_price_lo"]
        self.touch_price_hi = option["touch_price_hi"]
        self.rebate = option.get("rebate", 0.0)
        self.digital_payoff = option.get("digital_payoff", self.s0)
        self.pay_at = option["pay_at"]
        barrier_type, exercise_type = TOUCH_TYPE_MAP[self.touch_type]
        self._option = DoubleBarrierOption({
            "type": "dualknock",
            "underlying": self.underlying,
            "notional": self.notional,
            "s0": self.s0,
            "call_put": "call",
            "strike": 0,
            "barrier_type": barrier_type,
            "barrier_lo": self.touch_price_lo,
            "barrier_hi": self.touch_price_hi,
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
        if self.touch_type == "double_one_touch":
            return CashOwedAtMaturity(self.digital_payoff, self.maturity_date)
        return None

    def triggered(self, evaluation_date):
        """Whether a daily high or low has gone strictly outside the corridor."""
        bars = _history.get_lows_highs(self.underlying, self.effect_date, evaluation_date)
        if bars is None:
            return False
        if _history.any_above(bars["high"], self.touch_price_hi):
            return True
        return _history.any_below(bars["low"], self.touch_price_lo)
