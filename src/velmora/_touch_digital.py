"""A cash amount already earned and paid at maturity: what a touched one-touch owes."""

import datetime
import math

from .groundwork import BaseOption, OptionGreeks
from .utils import check_market_inputs, to_timestamp


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
    of the market-data client.
    """

    def __init__(self, cash, maturity_date):
        # No contract dictionary: the terms are already settled by the caller.
        self.cash = cash
        self.maturity_date = maturity_date

    def npv(self, spot, r, vol, q, evaluation_date=None):
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        days = (self.maturity_date - to_timestamp(evaluation_date, "evaluation_date")).days
        if days < 0:
            return 0.0
        return self.cash * math.exp(-r * days / 365.0)


class TouchDigital(BaseOption):
    """Valuation shared by the touch digitals, which wrap an inner barrier option.

    A subclass supplies ``triggered(evaluation_date)`` (the touch check on past
    highs and lows), ``_owed_once_touched()`` (a ``CashOwedAtMaturity`` when a touch
    leaves cash to be paid at expiry, else ``None``) and the inner option
    ``_option``.  Until touched, value and greeks are the inner option's; once
    touched, those of the cash still owed, or 0.0 and six integer zeros when
    nothing is left to pay.  The touch check runs once per ``npv`` or ``greeks``
    call; the bumped revaluations are made on the inner option.
    """

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value of one option; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        if self.triggered(evaluation_date):
            owed = self._owed_once_touched()
            if owed is None:
                return 0.0
            return owed.npv(spot, r, vol, q, evaluation_date)
        return self._option.npv(spot, r, vol, q, evaluation_date)

    def greeks(self, spot, r, vol, q, evaluation_date=None):
        """Value and bumped sensitivities; one touch check, then the inner option's."""
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        if self.triggered(evaluation_date):
            owed = self._owed_once_touched()
            if owed is None:
                return OptionGreeks(0, 0, 0, 0, 0, 0)
            return owed.greeks(spot, r, vol, q, evaluation_date)
        return self._option.greeks(spot, r, vol, q, evaluation_date)
