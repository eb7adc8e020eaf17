"""A cash amount already earned and paid at maturity: what a touched one-touch owes."""

import datetime
import math

from .groundwork import BaseOption
from .utils import to_timestamp


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
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        days = (self.maturity_date - to_timestamp(evaluation_date, "evaluation_date")).days
        if days < 0:
            return 0.0
        return self.cash * math.exp(-r * days / 365.0)
