"""The touch digitals' shared valuation, and the cash a touched one-touch still owes.

``TouchDigital`` is the base of the single and double touch options: each is valued
as an inner cash-or-nothing barrier option until touched.  ``CashOwedAtMaturity`` is
a cash amount already earned and paid at maturity.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

import numpy.typing as npt
import pandas as pd

from . import _history
from ._dates import to_qldate, to_timestamp
from ._market import is_curve, rate_handle, valuation_inputs
from ._quantlib import set_evaluation_date
from ._terms import common_terms
from ._typing import DateLike, RateLike, VolLike
from .groundwork import BaseOption, OptionGreeks


class CashOwedAtMaturity(BaseOption):
    """``cash`` payable on ``maturity_date``, discounted at the flat rate ``r``.

    Its value does not depend on the spot, the volatility or the dividend yield, so
    its bumped delta, gamma and vega are zero; rho and theta come from the
    discounting alone, exactly as the base class's bumping finds them.

    Notes
    -----
    Discount factor exp(-r * T) with T the whole calendar days from the evaluation
    date to maturity over 365 (Actual/365 Fixed), the day count of the continuously
    compounded curves of every valuation.  On the maturity date the full amount is
    owed; after it the amount has been paid and the value is 0.0.  Nothing is asked
    of the market-data client.  Under a rate curve the discount factor is the
    curve's own to the maturity date.
    """

    def __init__(self, cash: float, maturity_date: pd.Timestamp) -> None:
        # No contract dictionary: the terms are already settled by the caller.
        self.cash = cash
        self.maturity_date = maturity_date

    def __repr__(self) -> str:
        # its own: the products' repr reads terms (underlying, ...) this object has not
        return (f"{type(self).__name__}(cash={self.cash!r}, "
                f"maturity_date='{self.maturity_date.date().isoformat()}')")

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """The cash discounted from maturity to ``evaluation_date``; ``None`` means today."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        days = (self.maturity_date - to_timestamp(evaluation_date, "evaluation_date")).days
        if days < 0:
            return 0.0
        if is_curve(r):
            # QuantLib's convention: the curve's discount factor to the payment date,
            # read from its own reference date
            set_evaluation_date(evaluation_date)
            return self.cash * rate_handle(r).discount(to_qldate(self.maturity_date))
        return self.cash * math.exp(-r * days / 365.0)


class TouchDigital(BaseOption):
    """Valuation shared by the touch digitals, which wrap an inner barrier option.

    A subclass supplies ``_touched(lows, highs)`` (whether the daily lows and highs
    go strictly past its levels), ``_owes_after_touch()`` (whether a touch leaves
    the cash to be paid at maturity) and the inner option ``_option``, built from
    ``_digital_terms`` once it has set ``rebate``, ``digital_payoff`` and ``pay_at``.
    Until touched, value and greeks are the inner option's; once touched, those of
    the cash still owed, or 0.0 and six integer zeros when nothing is left to pay.
    The touch check runs once per ``npv`` or ``greeks`` call; the bumped
    revaluations are made on the inner option.
    """

    # Set by the subclass before ``_digital_terms`` builds the inner option from them.
    rebate: float
    digital_payoff: float
    pay_at: str | None
    # The inner barrier option, valued until a touch.
    _option: BaseOption

    def _touched(self, lows: npt.NDArray[Any], highs: npt.NDArray[Any]) -> bool:
        """Whether the daily ``lows`` and ``highs`` go strictly past the levels."""
        raise NotImplementedError

    def _owes_after_touch(self) -> bool:
        """Whether a touch leaves the cash to be paid at maturity."""
        raise NotImplementedError

    def _digital_terms(self, kind: str, barrier: Iterable[tuple[str, Any]],
                       exercise_type: str) -> dict[str, Any]:
        """The option dictionary of the inner cash-or-nothing call struck at 0.

        ``kind`` is its "type" and ``barrier`` the ordered (key, value) pairs of its
        barrier terms; the rest are this digital's rebate, cash, payment time and
        common terms.
        """
        return {
            "type": kind,
            **common_terms(self, "underlying", "notional", "s0"),
            "call_put": "call",
            "strike": 0,
            **dict(barrier),
            "payoff_type": "cash_or_nothing",
            "exercise_type": exercise_type,
            "rebate": self.rebate,
            "digital_payoff": self.digital_payoff,
            "pay_at": self.pay_at,
            **common_terms(self, "effect_date", "maturity_date"),
        }

    def triggered(self, evaluation_date: DateLike) -> bool:
        """Whether a daily low or high ("pre") since the effect date has touched a level."""
        bars = _history.low_high_values(self.underlying, self.effect_date, evaluation_date)
        if bars is None:
            return False
        return self._touched(*bars)

    def _owed_once_touched(self) -> CashOwedAtMaturity | None:
        """The cash still owed after a touch, or None when nothing is left to pay."""
        if self._owes_after_touch():
            return CashOwedAtMaturity(self.digital_payoff, self.maturity_date)
        return None

    def _valued(self, evaluation_date: DateLike) -> BaseOption | None:
        """The inner option until touched; then the cash still owed, or None if nothing is."""
        if self.triggered(evaluation_date):
            return self._owed_once_touched()
        return self._option

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value of one option; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        valued = self._valued(evaluation_date)
        if valued is None:
            return 0.0
        return valued.npv(spot, r, vol, q, evaluation_date)

    def greeks(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
               evaluation_date: DateLike | None = None) -> OptionGreeks:
        """Value and bumped sensitivities; one touch check, then the inner option's."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        valued = self._valued(evaluation_date)
        if valued is None:
            return OptionGreeks(0, 0, 0, 0, 0, 0)
        return valued.greeks(spot, r, vol, q, evaluation_date)
