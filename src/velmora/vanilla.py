"""European and American options with plain-vanilla or digital payoffs."""

import QuantLib as ql

from ._terms import engine_builder, make_exercise, make_payoff, option_type, valuation_inputs
from .groundwork import BaseOption
from .utils import black_scholes_process, npv_on

VANILLA_PRICING_ENGINE_MAP = {
    ("american", "plain_vanilla"): lambda process: ql.BinomialVanillaEngine(process, "jr", 801),
    ("american", "cash_or_nothing"): lambda process: ql.AnalyticDigitalAmericanEngine(process),
    ("american", "asset_or_nothing"): lambda process: ql.AnalyticDigitalAmericanEngine(process),
    ("european", "plain_vanilla"): lambda process: ql.AnalyticEuropeanEngine(process),
    ("european", "cash_or_nothing"): lambda process: ql.AnalyticEuropeanEngine(process),
    ("european", "asset_or_nothing"): lambda process: ql.AnalyticEuropeanEngine(process),
}


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

    key_terms = ("call_put", "strike", "exercise_type", "payoff_type")

    def __init__(self, option):
        super().__init__(option)
        self.call_put = option_type(option["call_put"])
        self.strike = option["strike"]
        self.exercise_type = option["exercise_type"]
        self.payoff_type = option["payoff_type"]
        self.pay_at_expiry = option.get("pay_at") == "expiry"
        self.payoff, _ = make_payoff(option, self.payoff_type, self.call_put, self.strike, 0.0)
        self.exercise = make_exercise(
            self.exercise_type, self.effect_date, self.maturity_date, self.pay_at_expiry
        )
        self._option = ql.VanillaOption(self.payoff, self.exercise)
        # QuantLib's Jarrow-Rudd tree for the American plain vanilla, closed forms otherwise
        self.engine = ("binomial_tree" if (self.exercise_type, self.payoff_type)
                       == ("american", "plain_vanilla") else "analytic")

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value for one unit of the underlying; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        build = engine_builder(VANILLA_PRICING_ENGINE_MAP, self.exercise_type, self.payoff_type)
        process = black_scholes_process(spot, r, vol, q)
        return npv_on(self._option, evaluation_date, build(process))
