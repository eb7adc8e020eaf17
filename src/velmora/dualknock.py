"""Double-barrier (corridor) options: knock-in, knock-out, KIKO and KOKI."""

import datetime

import QuantLib as ql

import lumadex  # noqa: F401  (the history queries go through velmora._history)

from . import _history
from .calendar import get_a_share_calendar  # noqa: F401  (the process uses it)
from .groundwork import BaseOption
from .utils import black_scholes_process, set_evaluation_date
from .vanilla import VanillaOption, make_exercise

DUALKNOCK_TYPE = {
    "knock_in": ql.DoubleBarrier.KnockIn,
    "knock_out": ql.DoubleBarrier.KnockOut,
    "kiko": ql.DoubleBarrier.KIKO,
    "koki": ql.DoubleBarrier.KOKI,
}

_IN_OR_OUT = (ql.DoubleBarrier.KnockIn, ql.DoubleBarrier.KnockOut)
_KIKO_OR_KOKI = (ql.DoubleBarrier.KIKO, ql.DoubleBarrier.KOKI)


class DoubleBarrierOption(BaseOption):
    """An option that knocks in or out when the underlying leaves a corridor.

    Keys read besides the common ones: ``barrier_hi``, ``barrier_lo``,
    ``barrier_type`` (a key of ``DUALKNOCK_TYPE``), ``call_put`` ("call"; anything
    else is a put), ``strike``, ``exercise_type``, optional ``rebate`` (must be
    zero), ``payoff_type`` ("plain_vanilla", "cash_or_nothing",
    "asset_or_nothing"), optional ``pay_at`` ("expiry") and, for cash-or-nothing,
    optional ``digital_payoff`` (default ``s0``).  The same dictionary also builds
    the ``VanillaOption`` that the option becomes once knocked in.

    Notes
    -----
    The corridor is observed on unadjusted daily closes ("none"), from the effect
    date to the evaluation date, strictly outside the levels; the check is written
    for knock-in and knock-out only.  QuantLib values the continuously monitored
    corridor in closed form: Ikeda-Kunitomo for plain-vanilla payoffs (European
    only), Hui's series for cash-or-nothing payoffs (European knock-in/out, American
    KIKO/KOKI).  Tested against the QuantLib engines built directly, Haug's table of
    double knock-out calls, Hui's double no-touch series and in + out = vanilla.
    """

    def __init__(self, option):
        super().__init__(option)
        self.barrier_hi = option["barrier_hi"]
        self.barrier_lo = option["barrier_lo"]
        self.barrier_type = DUALKNOCK_TYPE[option["barrier_type"]]
        self.call_put = ql.Option.Call if option["call_put"] == "call" else ql.Option.Put
        self.strike = option["strike"]
        self.exercise_type = option["exercise_type"]
        self.rebate = option.get("rebate", 0.0)
        if not self.rebate == 0:
            raise NotImplementedError
        self.payoff_type = option.get("payoff_type", "plain_vanilla")
        self.pay_at_expiry = option.get("pay_at") == "expiry"
        if self.payoff_type == "plain_vanilla":
            self.payoff = ql.PlainVanillaPayoff(self.call_put, self.strike)
        elif self.payoff_type == "cash_or_nothing":
            self.digital_payoff = option.get("digital_payoff", self.s0)
            self.payoff = ql.CashOrNothingPayoff(self.call_put, self.strike, self.digital_payoff)
        else:
            assert self.payoff_type == "asset_or_nothing"
            self.payoff = ql.AssetOrNothingPayoff(self.call_put, self.strike)
        self.exercise = make_exercise(
            self.exercise_type, self.effect_date, self.maturity_date, self.pay_at_expiry
        )
        self._option = ql.DoubleBarrierOption(
            self.barrier_type, self.barrier_lo, self.barrier_hi, self.rebate, self.payoff,
            self.exercise,
        )
        self._vanilla = VanillaOption(option)

    def engine(self, proc):
        """A new QuantLib engine for this contract on the process ``proc``."""
        if self.exercise_type == "european" and self.payoff_type == "cash_or_nothing":
            assert self.barrier_type in _IN_OR_OUT, "not implemented"
            return ql.AnalyticDoubleBarrierBinaryEngine(proc)
        if self.exercise_type == "american" and self.payoff_type == "cash_or_nothing":
            assert self.barrier_type in _KIKO_OR_KOKI, "not implemented"
            return ql.AnalyticDoubleBarrierBinaryEngine(proc)
        if self.exercise_type == "european" and self.payoff_type == "plain_vanilla":
            return ql.AnalyticDoubleBarrierEngine(proc)
        raise NotImplementedError

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value of one option; ``None`` date means today.

        Once a close has left the corridor: the (zero) rebate for a knock-out, the
        vanilla option's value for a knock-in.
        """
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        if self.triggered(evaluation_date):
            if self.barrier_type == ql.DoubleBarrier.KnockOut:
                return self.rebate
            if self.barrier_type == ql.DoubleBarrier.KnockIn:
                return self._vanilla.npv(spot, r, vol, q, evaluation_date)
        process = black_scholes_process(spot, r, vol, q)
        self._option.setPricingEngine(self.engine(process))
        set_evaluation_date(evaluation_date)
        return self._option.NPV()

    def triggered(self, evaluation_date):
        """Whether an unadjusted daily close has left the corridor since the effect date.

        Raises ``NotImplementedError`` for KIKO and KOKI when there is history to read.
        """
        closes = _history.get_closes(self.underlying, self.effect_date, evaluation_date, "none")
        if closes is None:
            return False
        if self.barrier_type in _IN_OR_OUT:
            return _history.any_below(closes["close"], self.barrier_lo) or _history.any_above(
                closes["close"], self.barrier_hi
            )
        raise NotImplementedError("KIKO and KOKI not implemented yet")
