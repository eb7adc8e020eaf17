"""The airbag: a call that turns into a forward-like position once knocked in."""

from __future__ import annotations

import copy
from collections.abc import Mapping
from typing import Any

from ._market import check_market_inputs
from ._terms import common_terms
from ._typing import DateLike, RateLike, VolLike
from .barrier import BarrierOption
from .groundwork import BaseOption


class AirbagOption(BaseOption):
    """``pr_before_ki`` x down-and-out call + ``pr_after_ki`` x (down-and-in call - put).

    Keys read besides the common ones: ``ki_barrier`` (the knock-in level below the
    spot), ``pr_before_ki``, ``pr_after_ki``, ``exercise_type`` and ``strike``.
    The caller's "call_put", "payoff_type", "barrier_type", "rebate" and "pay_at"
    are ignored.

    Notes
    -----
    Before a knock-in the holder has ``pr_before_ki`` calls; after it,
    ``pr_after_ki`` long calls and short puts at the same strike, i.e. the full
    move of the underlying from the strike, gains and losses alike.  The three
    plain-vanilla ``BarrierOption`` components share the strike, level, dates and
    exercise, and each reads its own knock status from the daily closes.  Tested
    as the exact linear combination of its components before and after a knock-in.
    """

    key_terms = ("strike", "ki_barrier", "pr_before_ki", "pr_after_ki", "exercise_type")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.ki_barrier = option["ki_barrier"]
        self.pr_before_ki = option["pr_before_ki"]
        self.pr_after_ki = option["pr_after_ki"]
        self.exercise_type = option["exercise_type"]
        self.strike = option["strike"]
        down_out_call = {
            "type": "barrier",
            **common_terms(self, "underlying", "s0", "notional"),
            "strike": self.strike,
            "call_put": "call",
            "barrier_type": "down_and_out",
            "barrier": self.ki_barrier,
            **common_terms(self, "effect_date", "maturity_date"),
            "exercise_type": self.exercise_type,
            "payoff_type": "plain_vanilla",
            "rebate": 0.0,
        }
        down_in_call = copy.copy(down_out_call)
        down_in_call["barrier_type"] = "down_and_in"
        down_in_put = copy.copy(down_in_call)
        down_in_put["call_put"] = "put"
        self._options = [
            BarrierOption(down_out_call),
            BarrierOption(down_in_call),
            BarrierOption(down_in_put),
        ]
        self.engine = getattr(self._options[0], "engine", BaseOption.engine)  # its barriers'

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value of the structure; the date is handed to each component unchanged."""
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        values = [leg.npv(spot, r, vol, q, evaluation_date) for leg in self._options]
        return self.pr_before_ki * values[0] + self.pr_after_ki * (values[1] - values[2])
