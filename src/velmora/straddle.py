"""The long straddle: a call and a put at the same strike."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ._market import check_market_inputs
from ._terms import common_terms
from ._typing import DateLike, RateLike, VolLike
from .groundwork import BaseOption
from .vanilla import VanillaOption


class StraddleOption(BaseOption):
    """One plain-vanilla call plus one plain-vanilla put, same strike, dates and exercise.

    Keys read besides the common ones: ``strike`` and ``exercise_type``.  The
    caller's "call_put" and "payoff_type" are ignored: the legs are always a
    plain-vanilla call and put.

    Notes
    -----
    Pays ``|S_T - K|`` at maturity with European exercise.  The value is the sum of
    the two ``VanillaOption`` legs; the sensitivities bump the whole structure.
    Tested as call + put and, for European exercise, against the Black-Scholes
    closed form.
    """

    key_terms = ("strike", "exercise_type")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.strike = option["strike"]
        self.exercise_type = option["exercise_type"]
        self._call = VanillaOption(self._leg("call"))
        self._put = VanillaOption(self._leg("put"))
        self.engine = getattr(self._call, "engine", BaseOption.engine)  # its legs'

    def _leg(self, call_put: str) -> dict[str, Any]:
        return {
            "call_put": call_put,
            "strike": self.strike,
            "exercise_type": self.exercise_type,
            "payoff_type": "plain_vanilla",
            **common_terms(self, "underlying", "effect_date", "maturity_date", "notional", "s0"),
        }

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Call value plus put value for the same inputs; the date is passed on as given."""
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        call = self._call.npv(spot, r, vol, q, evaluation_date)
        put = self._put.npv(spot, r, vol, q, evaluation_date)
        return call + put
