"""Double one-touch and double no-touch digitals on a corridor."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy.typing as npt

from . import _history
from ._touch_digital import TouchDigital
from .dualknock import DoubleBarrierOption

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

    Market inputs: under a volatility surface the closed forms read one vol, the
    surface's at the spot and maturity.
    """

    key_terms = ("touch_type", "touch_price_lo", "touch_price_hi", "pay_at")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.touch_type = option["touch_type"]
        self.touch_price_lo = option["touch_price_lo"]
        self.touch_price_hi = option["touch_price_hi"]
        self.rebate = option.get("rebate", 0.0)
        self.digital_payoff = option.get("digital_payoff", self.s0)
        self.pay_at = option["pay_at"]
        barrier_type, exercise_type = TOUCH_TYPE_MAP[self.touch_type]
        self._option = DoubleBarrierOption(self._digital_terms(
            "dualknock",
            [("barrier_type", barrier_type), ("barrier_lo", self.touch_price_lo),
             ("barrier_hi", self.touch_price_hi)],
            exercise_type,
        ))

    def _owes_after_touch(self) -> bool:
        """Only a double one-touch is still owed its cash once touched."""
        return self.touch_type == "double_one_touch"

    def _touched(self, lows: npt.NDArray[Any], highs: npt.NDArray[Any]) -> bool:
        """Whether a high or a low has gone strictly outside the corridor."""
        return _history.any_above(highs, self.touch_price_hi) or _history.any_below(
            lows, self.touch_price_lo
        )
