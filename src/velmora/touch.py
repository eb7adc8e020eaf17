"""One-touch and no-touch digitals on a single level."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy.typing as npt

from . import _history
from ._touch_digital import TouchDigital
from .barrier import BarrierOption

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

    Market inputs: under a volatility surface the closed forms read one vol, the
    surface's at the touch level and maturity.
    """

    key_terms = ("touch_type", "touch_price", "rebate", "pay_at")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.touch_type = option["touch_type"]
        self.touch_price = option["touch_price"]
        self.rebate = option["rebate"]
        self.digital_payoff = option.get("digital_payoff", self.s0)
        self.pay_at = option["pay_at"]
        barrier_type, exercise_type = ONE_TOUCH_TO_BARRIER_MAP[self.touch_type]
        self._option = BarrierOption(self._digital_terms(
            "barrier", [("barrier", self.touch_price), ("barrier_type", barrier_type)],
            exercise_type,
        ))

    def _owes_after_touch(self) -> bool:
        """Only a one-touch paid at expiry is still owed its cash once touched."""
        return self.touch_type in _ONE_TOUCH and self.pay_at == "expiry"

    def _touched(self, lows: npt.NDArray[Any], highs: npt.NDArray[Any]) -> bool:
        """Whether a high (up) or a low (down) has gone strictly past the level."""
        if self.touch_type in _UP:
            return _history.any_above(highs, self.touch_price)
        if self.touch_type in _DOWN:
            return _history.any_below(lows, self.touch_price)
        return False
