"""Single-barrier options: knock-in or knock-out, up or down, plain or cash-or-nothing."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

import pandas as pd
import QuantLib as ql

from . import _history
from ._barrier_fd import FdBarrierEngine
from ._dates import to_qldate
from ._market import constant_vol_read, has_smile, valuation_inputs
from ._quantlib import black_scholes_process, npv_on, set_evaluation_date
from ._terms import engine_builder, make_exercise, make_payoff, option_type
from ._typing import DateLike, RateLike, VolLike
from .groundwork import BaseOption
from .vanilla import VanillaOption, implied_from_npv

BARRIER_TYPE = {
    "down_and_in": ql.Barrier.DownIn,
    "down_and_out": ql.Barrier.DownOut,
    "up_and_in": ql.Barrier.UpIn,
    "up_and_out": ql.Barrier.UpOut,
}

# A QuantLib instrument of a closed-form part, and the engine class that values it from
# the process.
_ClosedForm: TypeAlias = tuple[Any, Callable[[ql.GeneralizedBlackScholesProcess], Any]]

PRICING_ENGINE_MAP: dict[tuple[str, str], Callable[[ql.GeneralizedBlackScholesProcess], Any]] = {
    ("american", "plain_vanilla"): FdBarrierEngine,
    ("american", "cash_or_nothing"): lambda process: ql.AnalyticBinaryBarrierEngine(process),
    ("european", "plain_vanilla"): lambda process: ql.AnalyticBarrierEngine(process),
    ("european", "cash_or_nothing"): lambda process: ql.FdBlackScholesBarrierEngine(process),
}

# Payoff types the barrier takes; "asset_or_nothing" is known but not supported.
_PAYOFFS = ("plain_vanilla", "cash_or_nothing")
_DOWN = (ql.Barrier.DownIn, ql.Barrier.DownOut)
_KNOCK_OUT = (ql.Barrier.DownOut, ql.Barrier.UpOut)
_OUT_OF = {ql.Barrier.DownIn: ql.Barrier.DownOut, ql.Barrier.UpIn: ql.Barrier.UpOut}


def _cash_at_hit(barrier_type: int, barrier: float, cash: float,
                 effect_date: pd.Timestamp | None, maturity_date: pd.Timestamp) -> _ClosedForm:
    """Cash paid the moment the barrier is hit: an American digital struck at the level.

    An up barrier is hit when the spot reaches it from below, which is exactly when
    an American cash-or-nothing call struck at the barrier pays (a put for a down
    barrier).  QuantLib values it in closed form (Reiner-Rubinstein).
    """
    side = ql.Option.Put if barrier_type in _DOWN else ql.Option.Call
    earliest = ql.Date.minDate() if effect_date is None else to_qldate(effect_date)
    instrument = ql.VanillaOption(
        ql.CashOrNothingPayoff(side, barrier, cash),
        ql.AmericanExercise(earliest, to_qldate(maturity_date), False),
    )
    return instrument, ql.AnalyticDigitalAmericanEngine


def _binary_at_expiry(barrier_type: int, barrier: float, payoff: ql.StrikedTypePayoff,
                      effect_date: pd.Timestamp | None,
                      maturity_date: pd.Timestamp) -> _ClosedForm:
    """Cash-or-nothing barrier paid at expiry, continuously monitored, in closed form.

    QuantLib's analytic binary barrier engine (Reiner-Rubinstein) takes the contract
    as an American exercise paid at expiry whose window has already opened; it
    watches the barrier from the evaluation date to expiry.  ``effect_date`` None
    opens the window at QuantLib's earliest date, so that a European contract can
    also be valued before its effect date.
    """
    earliest = ql.Date.minDate() if effect_date is None else to_qldate(effect_date)
    instrument = ql.BarrierOption(
        barrier_type,
        barrier,
        0.0,
        payoff,
        ql.AmericanExercise(earliest, to_qldate(maturity_date), True),
    )
    return instrument, ql.AnalyticBinaryBarrierEngine


class BarrierOption(BaseOption):
    """A single-barrier option whose knock status is read from the closing prices.

    Keys read besides the common ones: ``call_put`` ("call"; anything else is a
    put), ``barrier_type`` (a key of ``BARRIER_TYPE``), optional ``rebate``
    (default 0.0), ``strike``, ``exercise_type`` ("european", "american"),
    ``payoff_type`` ("plain_vanilla", "cash_or_nothing"), ``barrier``, optional
    ``pay_at`` ("expiry") and, for cash-or-nothing, optional ``digital_payoff``
    (default ``s0``).  The same dictionary also builds the ``VanillaOption`` that
    the option becomes once knocked in.

    Notes
    -----
    The knock status is observed on daily closes adjusted with "pre", from the
    effect date to the evaluation date, strictly beyond the barrier.  A knocked-out
    option is worth its rebate (undiscounted); a knocked-in one its vanilla option.
    Otherwise QuantLib values the continuously monitored barrier with the engine of
    ``PRICING_ENGINE_MAP``, except American plain-vanilla options: their entry builds
    an ``FdBarrierEngine``, velmora's finite-difference solver (QuantLib's 400-step
    tree was off by several per cent where the exercise boundary runs next to the
    barrier).  Its grid meets 1e-3 relative; the optional key "pde_grid", a pair
    (space steps per standard deviation, time steps), sets it by hand.

    Market inputs: ``r`` and ``q`` may be QuantLib yield curves and ``vol`` a Black
    volatility surface.  QuantLib's closed forms read one vol, the surface's at the
    strike and maturity; a digital struck at zero (the touch options) reads it at
    the barrier instead.  The finite-difference engines see the whole surface.

    Two cash-or-nothing contracts that the table's engines reject are valued in
    closed form instead, with the same contract terms:

    * American exercise paid at the hit (no "pay_at" "expiry"): the analytic binary
      barrier engine only pays at expiry.  A knock-in pays the cash that its payoff
      gives at the barrier level when the level is hit (an American digital struck
      at the barrier, Reiner-Rubinstein); a knock-out can only pay at expiry, so it
      is valued as paid at expiry.  The rebate is left out, as the table's engine
      leaves it out.
    * European exercise, whatever the strike: the table's finite-difference engine
      on its default grid is far off (it can even go negative), and it needs a
      positive strike.  The payment at expiry is the closed-form binary barrier
      (Reiner-Rubinstein); a rebate is added as the finite-difference engine pays
      it: at the hit for a knock-out, at expiry for a knock-in that never knocked
      in.  The table's entry is still looked up, so a pair missing from the table
      is refused as before.

    Tested against QuantLib engines built directly, Haug's tables, in + out =
    vanilla, and the one-touch and no-touch closed forms.
    """

    key_terms = ("call_put", "strike", "barrier_type", "barrier", "rebate", "exercise_type")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.call_put = option_type(option["call_put"])
        self.barrier_type = BARRIER_TYPE[option["barrier_type"]]
        self.rebate = option.get("rebate", 0.0)
        self.strike = option["strike"]
        self.exercise_type = option["exercise_type"]
        self.payoff_type = option.get("payoff_type", "plain_vanilla")
        self.barrier = option["barrier"]
        self.pay_at_expiry = option.get("pay_at") == "expiry"
        self.payoff, cash = make_payoff(option, self.payoff_type, self.call_put, self.strike,
                                        self.s0, _PAYOFFS, "barrier option")
        if cash is not None:
            self.digital_payoff = cash
        self.exercise = make_exercise(
            self.exercise_type, self.effect_date, self.maturity_date, self.pay_at_expiry
        )
        self._option = ql.BarrierOption(
            self.barrier_type, self.barrier, self.rebate, self.payoff, self.exercise
        )
        self._vanilla = VanillaOption(option)
        self._pde_grid = option.get("pde_grid")
        self._closed_forms = self._digital_closed_forms()
        # the finite-difference engines of the table: American plain vanilla (our own PDE),
        # European cash-or-nothing (QuantLib's) unless a closed form takes the contract
        self.engine = ("pde" if self._closed_forms is None and (self.exercise_type,
                       self.payoff_type) in (("american", "plain_vanilla"),
                                             ("european", "cash_or_nothing"))
                       else "analytic")

    def _digital_closed_forms(self) -> list[_ClosedForm] | None:
        """Closed-form parts for the digital contracts the table's engines reject, or None."""
        if self.payoff_type != "cash_or_nothing":
            return None
        dates = (self.effect_date, self.maturity_date)
        knock_out = self.barrier_type in _KNOCK_OUT
        if self.exercise_type == "american" and not self.pay_at_expiry:
            if knock_out:
                # Nothing but the rebate can be paid at a knock-out hit: the cash is
                # paid at expiry if the barrier was never hit.
                return [_binary_at_expiry(self.barrier_type, self.barrier, self.payoff, *dates)]
            cash = self.payoff(self.barrier)  # the payoff at the level where it knocks in
            return [_cash_at_hit(self.barrier_type, self.barrier, cash, *dates)]
        if self.exercise_type == "european":
            # The window of a European contract's closed form never limits the
            # monitoring, which runs from the evaluation date to expiry.
            dates = (None, self.maturity_date)
            parts = [_binary_at_expiry(self.barrier_type, self.barrier, self.payoff, *dates)]
            if self.rebate != 0:
                if knock_out:
                    parts.append(_cash_at_hit(self.barrier_type, self.barrier, self.rebate, *dates))
                else:
                    never_in = ql.CashOrNothingPayoff(ql.Option.Call, 0.0, self.rebate)
                    parts.append(
                        _binary_at_expiry(_OUT_OF[self.barrier_type], self.barrier, never_in,
                                          *dates)
                    )
            return parts
        return None

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value of one option; ``None`` date means today.

        Once the barrier has been crossed: the rebate for a knock-out, the vanilla
        option's value for a knock-in.  A spot strictly beyond the barrier counts as
        crossed too, although no close has confirmed it yet: the option is valued as
        it will be once the day's close is in the history.  A spot exactly on the
        barrier is valued the same way: the continuously watched price has reached
        the level (and a diffusion started there crosses it at once), so the value
        is the limit of the untouched value as the spot approaches the barrier.
        An American knock-out whose payoff at the barrier exceeds its rebate is the
        exception: just inside, it is worth exercising ahead of the hit, so the
        values there tend to that payoff, while on the barrier it has knocked out.
        """
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        if self.triggered(evaluation_date) or self._reached(spot):
            if self.barrier_type in _KNOCK_OUT:
                return self.rebate
            return self._vanilla.npv(spot, r, vol, q, evaluation_date)
        # The table is consulted even where a closed form values the contract, so a
        # pair missing from it is refused the same way.
        build = engine_builder(PRICING_ENGINE_MAP, self.exercise_type, self.payoff_type)
        if self.strike == 0 and has_smile(vol):
            # a touch: QuantLib would read the smile at the zero strike
            vol = constant_vol_read(vol, to_qldate(self.maturity_date), self.barrier,
                                    evaluation_date)
        process = black_scholes_process(spot, r, vol, q)
        if self._closed_forms is not None:
            set_evaluation_date(evaluation_date)
            value = 0.0
            for instrument, closed_form in self._closed_forms:
                instrument.setPricingEngine(closed_form(process))
                value += instrument.NPV()
            return value
        engine = build(process)
        if isinstance(engine, FdBarrierEngine):
            set_evaluation_date(evaluation_date)
            return engine.npv(self, self._pde_grid)
        return npv_on(self._option, evaluation_date, engine)

    def implied_vol(self, price: float, spot: float, r: RateLike, q: RateLike,
                    evaluation_date: DateLike | None = None) -> float:
        """The Black volatility at which ``npv`` equals ``price``: European plain vanilla only.

        Brent's method on ``npv`` between the vols of ``vanilla.IMPLIED_VOL_RANGE``.
        A knock-out's value may fall as the vol rises, and then two vols can give one
        price: the root found is one between the ends of the range.

        Raises
        ------
        ValueError
            A price that is not a finite number, or outside the values at the two
            ends of the range; an option whose value does not depend on the vol
            (expired, or knocked).
        NotImplementedError
            American exercise or a digital payoff.
        """
        if self.exercise_type != "european" or self.payoff_type != "plain_vanilla":
            raise NotImplementedError(
                f"implied volatility of a barrier option is offered for european "
                f"plain_vanilla only, not {self.exercise_type} {self.payoff_type}"
            )
        return implied_from_npv(self, price, spot, r, q, evaluation_date, monotone=False)

    def _reached(self, spot: float) -> bool:
        """Whether ``spot`` is on or beyond the barrier (at or below a down, at or above an up one).

        Only today's spot in the continuous model; the daily closes of ``triggered``
        cross the barrier strictly.
        """
        return spot <= self.barrier if self.barrier_type in _DOWN else spot >= self.barrier

    def triggered(self, evaluation_date: DateLike) -> bool:
        """Whether a daily close ("pre") has crossed the barrier since the effect date."""
        values = _history.close_values(self.underlying, self.effect_date, evaluation_date, "pre")
        if values is None:
            return False
        if self.barrier_type in _DOWN:
            return _history.any_below(values, self.barrier)
        return _history.any_above(values, self.barrier)
