"""Double-barrier (corridor) options: knock-in, knock-out, KIKO and KOKI."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import QuantLib as ql

from . import _double_barrier, _history
from ._market import constant_vol_read, has_smile, valuation_inputs
from ._quantlib import black_scholes_process, set_evaluation_date
from ._terms import engine_builder, make_exercise, make_payoff, option_type
from ._typing import DateLike, RateLike, VolLike
from .groundwork import BaseOption
from .vanilla import VanillaOption

DUALKNOCK_TYPE = {
    "knock_in": ql.DoubleBarrier.KnockIn,
    "knock_out": ql.DoubleBarrier.KnockOut,
    "kiko": ql.DoubleBarrier.KIKO,
    "koki": ql.DoubleBarrier.KOKI,
}

_IN_OR_OUT = (ql.DoubleBarrier.KnockIn, ql.DoubleBarrier.KnockOut)
_KIKO_OR_KOKI = (ql.DoubleBarrier.KIKO, ql.DoubleBarrier.KOKI)
_TYPE_NAME = {value: key for key, value in DUALKNOCK_TYPE.items()}

# (exercise type, payoff type) -> (barrier types the engine takes, builder of the
# engine from the option and the process).  QuantLib's Ikeda-Kunitomo engine values a
# European plain vanilla of any type, with the option's count of images; its binary
# engine (Hui's series) a European knock-in/out and an American KIKO/KOKI.
_DUALKNOCK_ENGINES = {
    ("european", "plain_vanilla"): (
        tuple(DUALKNOCK_TYPE.values()),
        lambda option, proc: ql.AnalyticDoubleBarrierEngine(proc, option.series(proc)),
    ),
    ("european", "cash_or_nothing"): (
        _IN_OR_OUT, lambda option, proc: ql.AnalyticDoubleBarrierBinaryEngine(proc)
    ),
    ("american", "cash_or_nothing"): (
        _KIKO_OR_KOKI, lambda option, proc: ql.AnalyticDoubleBarrierBinaryEngine(proc)
    ),
}
_SUPPORTED = ", ".join(
    f"{exercise} {payoff} ("
    + ("any barrier type" if len(types) == len(DUALKNOCK_TYPE)
       else ", ".join(_TYPE_NAME[t] for t in types))
    + ")"
    for (exercise, payoff), (types, _) in _DUALKNOCK_ENGINES.items()
)

# How many images QuantLib's Ikeda-Kunitomo engine sums by default (``_double_barrier``).
DEFAULT_SERIES = _double_barrier.DEFAULT_SERIES


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
    KIKO/KOKI).

    Market inputs: ``r`` and ``q`` may be QuantLib yield curves and ``vol`` a Black
    volatility surface.  The closed forms read the curves' zero rates to maturity
    and one vol, the surface's at the strike and maturity; a digital struck at zero
    (the double touches) reads it at the spot instead.

    The Ikeda-Kunitomo series gets as many images as its convergence to 1e-10
    needs on the contract's corridor, ``vol * sqrt(T)`` and carry (QuantLib's
    default of 5 while that is enough), and is summed here in logarithms where
    QuantLib's terms would overflow.  A European cash-or-nothing knock-out pays its
    cash at expiry if the price ends beyond the strike (above for a call, below for
    a put) without having left the corridor: with the whole corridor beyond the
    strike that is Hui's double no-touch, otherwise the method-of-images
    probability of ``_corridor``.  Its knock-in is the vanilla digital less the
    knock-out.  Where Hui's series does not converge in QuantLib (a short life at a
    low volatility), the double no-touch and one-touch fall back on the method of
    images for the probability of staying inside.  Each of these is a closed form
    (``engine`` is "analytic"); those not of QuantLib live in ``_double_barrier``.
    Tested against the QuantLib engines built directly, Haug's table of double
    knock-out calls, Hui's double no-touch series, an eigenfunction series written in
    the tests and in + out = vanilla.
    """

    key_terms = ("call_put", "strike", "barrier_type", "barrier_lo", "barrier_hi",
                 "exercise_type")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.barrier_hi = option["barrier_hi"]
        self.barrier_lo = option["barrier_lo"]
        self.barrier_type = DUALKNOCK_TYPE[option["barrier_type"]]
        self.call_put = option_type(option["call_put"])
        self.strike = option["strike"]
        self.exercise_type = option["exercise_type"]
        self.rebate = option.get("rebate", 0.0)
        if not self.rebate == 0:
            raise NotImplementedError(
                f"rebate {self.rebate!r} not supported in double barrier option; only 0 is"
            )
        self.payoff_type = option.get("payoff_type", "plain_vanilla")
        self.pay_at_expiry = option.get("pay_at") == "expiry"
        self.payoff, cash = make_payoff(option, self.payoff_type, self.call_put, self.strike,
                                        self.s0)
        if cash is not None:
            self.digital_payoff = cash
        self.exercise = make_exercise(
            self.exercise_type, self.effect_date, self.maturity_date, self.pay_at_expiry
        )
        self._option = ql.DoubleBarrierOption(
            self.barrier_type, self.barrier_lo, self.barrier_hi, self.rebate, self.payoff,
            self.exercise,
        )
        self._vanilla = VanillaOption(option)
        self._corridor = _double_barrier.Corridor(
            self.barrier_lo, self.barrier_hi, self.barrier_type == ql.DoubleBarrier.KnockOut,
            self.call_put, self.strike, self.payoff, self.exercise.lastDate(), cash)
        # (process, image count) during one valuation
        self._terms_for: tuple[ql.GeneralizedBlackScholesProcess, tuple[int, bool]] | None = None

    def _quantlib_engine(self, proc: ql.GeneralizedBlackScholesProcess) -> ql.PricingEngine:
        """A new QuantLib engine for this contract on the process ``proc``.

        The plain-vanilla engine's number of images is chosen for the market that
        ``proc`` holds at QuantLib's current evaluation date (see ``series``).
        """
        types, build = engine_builder(
            _DUALKNOCK_ENGINES, self.exercise_type, self.payoff_type,
            f"{self.exercise_type} exercise, {self.payoff_type} payoff, "
            f"{_TYPE_NAME[self.barrier_type]} not supported in double barrier option; "
            f"supported: {_SUPPORTED}",
        )
        if self.barrier_type not in types:
            raise AssertionError("not implemented")
        return build(self, proc)

    def _plain_terms(self, proc: ql.GeneralizedBlackScholesProcess) -> tuple[int, bool]:
        """Images needed by the plain-vanilla series, and whether QuantLib can sum them
        (``_double_barrier.image_count``), counted once per valuation."""
        cached = self._terms_for
        if cached is not None and cached[0] is proc:
            return cached[1]
        terms = _double_barrier.image_count(self._corridor, proc)
        self._terms_for = (proc, terms)  # one valuation asks twice with the same process
        return terms

    def series(self, proc: ql.GeneralizedBlackScholesProcess) -> int:
        """Number of Ikeda-Kunitomo images for this contract on ``proc``."""
        return self._plain_terms(proc)[0]

    def _closed_form(self, proc: ql.GeneralizedBlackScholesProcess) -> float | None:
        """Value of the European knock-in/out contracts valued here, or None.

        None leaves the contract to QuantLib's engine from ``_quantlib_engine``: every
        contract but the European knock-in and knock-out, a plain-vanilla one
        struck inside the corridor whose series QuantLib can sum, and a
        cash-or-nothing one with the whole corridor beyond its strike (the double
        no-touch, exact in Hui's series).
        """
        if self.exercise_type != "european" or self.barrier_type not in _IN_OR_OUT:
            return None
        if self.payoff_type == "plain_vanilla":
            # QuantLib's Ikeda-Kunitomo engine is only right for a strike inside
            # the corridor; outside it, and where its terms overflow, the same
            # payoff is summed here.
            inside = self.barrier_lo <= self.strike <= self.barrier_hi
            if inside and self._plain_terms(proc)[1]:
                return None
            return _double_barrier.plain_by_images(self._corridor, proc)
        if self.payoff_type == "cash_or_nothing":
            return _double_barrier.digital(self._corridor, proc, self.exercise)
        return None

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value of one option; ``None`` date means today.

        Once a close has left the corridor: the (zero) rebate for a knock-out, the
        vanilla option's value for a knock-in.  For these two a spot strictly outside
        the corridor counts as having left it, although no close has confirmed it
        yet: the option is valued as it will be once the day's close is in the
        history.  So does a spot exactly on either level: the continuously watched
        price has reached it, and the value is the limit of the untouched value as
        the spot approaches the level from inside.
        """
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        reached = spot <= self.barrier_lo or spot >= self.barrier_hi
        if self.triggered(evaluation_date) or (reached and self.barrier_type in _IN_OR_OUT):
            if self.barrier_type == ql.DoubleBarrier.KnockOut:
                return self.rebate
            if self.barrier_type == ql.DoubleBarrier.KnockIn:
                return self._vanilla.npv(spot, r, vol, q, evaluation_date)
        if self.strike == 0 and has_smile(vol):
            # a double touch: read the smile at the spot, not at the zero strike
            vol = constant_vol_read(vol, self.exercise.lastDate(), spot, evaluation_date)
        process = black_scholes_process(spot, r, vol, q)
        # The date is set first: the images and the closed forms read the time to
        # expiry from the process's curves, which move with it.
        set_evaluation_date(evaluation_date)
        try:
            value = self._closed_form(process)
            if value is not None:
                return value
            self._option.setPricingEngine(self._quantlib_engine(process))
            if self.payoff_type == "cash_or_nothing":
                knock_in = self.barrier_type == ql.DoubleBarrier.KnockIn
                european_in_or_out = (self.exercise_type == "european"
                                      and self.barrier_type in _IN_OR_OUT)
                return _double_barrier.binary_npv(self._option, self._corridor, process,
                                                  knock_in, by_images=european_in_or_out)
            return self._option.NPV()
        finally:
            self._terms_for = None  # the process is not kept past its valuation

    def triggered(self, evaluation_date: DateLike) -> bool:
        """Whether an unadjusted daily close has left the corridor since the effect date.

        Raises ``NotImplementedError`` for KIKO and KOKI when there is history to read.
        """
        values = _history.close_values(self.underlying, self.effect_date, evaluation_date, "none")
        if values is None:
            return False
        if self.barrier_type in _IN_OR_OUT:
            return _history.any_below(values, self.barrier_lo) or _history.any_above(
                values, self.barrier_hi
            )
        raise NotImplementedError("KIKO and KOKI not implemented yet")
