"""European and American options with plain-vanilla or digital payoffs."""

import datetime

import QuantLib as ql

from .calendar import get_a_share_calendar  # noqa: F401  (the process uses it)
from .groundwork import BaseOption
from .utils import black_scholes_process, check_market_inputs, set_evaluation_date, to_qldate

VANILLA_PRICING_ENGINE_MAP = {
    ("american", "plain_vanilla"): lambda process: ql.BinomialVanillaEngine(process, "jr", 801),
    ("american", "cash_or_nothing"): lambda process: ql.AnalyticDigitalAmericanEngine(process),
    ("american", "asset_or_nothing"): lambda process: ql.AnalyticDigitalAmericanEngine(process),
    ("european", "plain_vanilla"): lambda process: ql.AnalyticEuropeanEngine(process),
    ("european", "cash_or_nothing"): lambda process: ql.AnalyticEuropeanEngine(process),
    ("european", "asset_or_nothing"): lambda process: ql.AnalyticEuropeanEngine(process),
}


def unknown_payoff(payoff_type, accepted):
    """The ``AssertionError`` for a payoff type outside ``accepted``, naming both."""
    return AssertionError(
        f"unknown payoff type {payoff_type!r}; accepted: " + ", ".join(f'"{a}"' for a in accepted)
    )


def make_exercise(exercise_type, effect_date, maturity_date, pay_at_expiry):
    """QuantLib exercise for the option dictionary's exercise type.

    American exercise runs from the effect date (not the evaluation date) to the
    maturity date; ``pay_at_expiry`` defers a digital payoff triggered early to
    expiry.
    """
    if exercise_type == "american":
        return ql.AmericanExercise(to_qldate(effect_date), to_qldate(maturity_date), pay_at_expiry)
    if exercise_type == "european":
        return ql.EuropeanExercise(to_qldate(maturity_date))
    if exercise_type == "bermudan":
        raise NotImplementedError("BERMUDAN EXERCISE not supported yet")
    raise ValueError(f"unknown exercise type: {exercise_type}")


class VanillaOption(BaseOption):
    """A single option with a plain-vanilla, cash-or-nothing or asset-or-nothing payoff.

    Keys read besides the common ones: ``call_put`` ("call"; anything else is a
    put), ``strike``, ``exercise_type`` ("european", "american"; "bermudan" is
    not supported), ``payoff_type`` ("plain_vanilla", "cash_or_nothing",
    "asset_or_nothing"), optional ``pay_at`` ("expiry") and, for cash-or-nothing,
    optional ``digital_payoff`` (cash amount, default 0.0).

    Notes
    -----
    Valued by QuantLib: closed forms for European payoffs (Black-Scholes) and
    American digitals (Reiner-Rubinstein), a Jarrow-Rudd tree of 801 steps for the
    American plain vanilla.  Values are per unit of underlying; ``notional`` is not
    applied.  Tested against a Black-Scholes closed form written in the tests and
    against the QuantLib engine built directly.
    """

    def __init__(self, option):
        super().__init__(option)
        self.call_put = ql.Option.Call if option["call_put"] == "call" else ql.Option.Put
        self.strike = option["strike"]
        self.exercise_type = option["exercise_type"]
        self.payoff_type = option["payoff_type"]
        self.pay_at_expiry = option.get("pay_at") == "expiry"
        if self.payoff_type == "plain_vanilla":
            self.payoff = ql.PlainVanillaPayoff(self.call_put, self.strike)
        elif self.payoff_type == "cash_or_nothing":
            self.payoff = ql.CashOrNothingPayoff(
                self.call_put, self.strike, option.get("digital_payoff", 0.0)
            )
        else:
            if self.payoff_type != "asset_or_nothing":
                raise unknown_payoff(
                    self.payoff_type, ("plain_vanilla", "cash_or_nothing", "asset_or_nothing")
                )
            self.payoff = ql.AssetOrNothingPayoff(self.call_put, self.strike)
        self.exercise = make_exercise(
            self.exercise_type, self.effect_date, self.maturity_date, self.pay_at_expiry
        )
        self._option = ql.VanillaOption(self.payoff, self.exercise)

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value for one unit of the underlying; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        if evaluation_date is None:
            evaluation_date = datetime.date.today()
        process = black_scholes_process(spot, r, vol, q)
        try:
            build = VANILLA_PRICING_ENGINE_MAP[(self.exercise_type, self.payoff_type)]
        except KeyError:
            raise NotImplementedError(
                f"{self.exercise_type} exercise, {self.payoff_type} not supported yet"
            ) from None
        self._option.setPricingEngine(build(process))
        set_evaluation_date(evaluation_date)
        return self._option.NPV()
