"""European and American options with plain-vanilla or digital payoffs."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import QuantLib as ql

from ._market import checked_number, valuation_inputs
from ._quantlib import black_scholes_process, npv_on
from ._terms import engine_builder, make_exercise, make_payoff, option_type
from ._typing import DateLike, RateLike, VolLike
from .groundwork import BaseOption

VANILLA_PRICING_ENGINE_MAP = {
    ("american", "plain_vanilla"): lambda process: ql.BinomialVanillaEngine(process, "jr", 801),
    ("american", "cash_or_nothing"): lambda process: ql.AnalyticDigitalAmericanEngine(process),
    ("american", "asset_or_nothing"): lambda process: ql.AnalyticDigitalAmericanEngine(process),
    ("european", "plain_vanilla"): lambda process: ql.AnalyticEuropeanEngine(process),
    ("european", "cash_or_nothing"): lambda process: ql.AnalyticEuropeanEngine(process),
    ("european", "asset_or_nothing"): lambda process: ql.AnalyticEuropeanEngine(process),
}


# The volatilities between which ``implied_vol`` searches, and its accuracy in vol.
IMPLIED_VOL_RANGE = (1e-4, 4.0)
IMPLIED_VOL_ACCURACY = 1e-12


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

    Market inputs: ``r`` and ``q`` may be QuantLib yield curves and ``vol`` a Black
    volatility surface.  The European closed forms read the surface's variance at
    the strike and maturity; the American tree reads one vol, at the strike and
    maturity (QuantLib's convention for both).
    """

    key_terms = ("call_put", "strike", "exercise_type", "payoff_type")

    def __init__(self, option: Mapping[str, Any]) -> None:
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

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value for one unit of the underlying; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        build = engine_builder(VANILLA_PRICING_ENGINE_MAP, self.exercise_type, self.payoff_type)
        process = black_scholes_process(spot, r, vol, q)
        return npv_on(self._option, evaluation_date, build(process))

    def implied_vol(self, price: float, spot: float, r: RateLike, q: RateLike,
                    evaluation_date: DateLike | None = None) -> float:
        """The Black volatility at which ``npv`` equals ``price``.

        ``r`` and ``q`` may be numbers or curves.  The value is inverted by Brent's
        method on this object's own ``npv`` (the same engine, the tree for an
        American option), to ``IMPLIED_VOL_ACCURACY`` in volatility, between the
        vols of ``IMPLIED_VOL_RANGE``.

        Raises
        ------
        ValueError
            A price that is not a finite number; a price outside the no-arbitrage
            bounds, i.e. below the value at the lowest vol of the range or above
            the value at the highest (the message gives both); a value that does
            not depend on the volatility (an option at or past expiry).
        NotImplementedError
            A digital payoff, whose value is not monotonic in the volatility.
        """
        if self.payoff_type != "plain_vanilla":
            raise NotImplementedError(
                f"implied volatility of a {self.payoff_type} payoff is not supported; "
                "only plain_vanilla"
            )
        return implied_from_npv(self, price, spot, r, q, evaluation_date)


def implied_from_npv(product: BaseOption, price: float, spot: float, r: RateLike, q: RateLike,
                     evaluation_date: DateLike | None, monotone: bool = True) -> float:
    """The vol in ``IMPLIED_VOL_RANGE`` at which ``product.npv`` equals ``price`` (Brent).

    ``monotone``: the value rises with the vol, so the values at the ends of the
    range are the no-arbitrage bounds of the message.  Otherwise (a knock-out) the
    price must lie between the values at the two ends, and the root found is one
    of those between them.
    """
    low, high = IMPLIED_VOL_RANGE
    spot, r, _, q, evaluation_date = valuation_inputs(spot, r, low, q, evaluation_date)
    target = checked_number("price", price)
    at_low = product.npv(spot, r, low, q, evaluation_date)
    at_high = product.npv(spot, r, high, q, evaluation_date)
    if at_low == at_high:
        raise ValueError(
            "the option's value does not depend on the volatility (at or past expiry, or "
            "knocked); no implied volatility"
        )
    if not min(at_low, at_high) <= target <= max(at_low, at_high):
        bounds = "the no-arbitrage bounds" if monotone else "the values between"
        raise ValueError(
            f"price {target!r} is outside {bounds} [{min(at_low, at_high)!r}, "
            f"{max(at_low, at_high)!r}] (the values at volatilities {low} and {high}); "
            "no implied volatility"
        )

    def excess(v: float) -> float:
        return product.npv(spot, r, v, q, evaluation_date) - target

    solver = ql.Brent()
    solver.setMaxEvaluations(500)
    return solver.solve(excess, IMPLIED_VOL_ACCURACY, 0.2, low, high)
