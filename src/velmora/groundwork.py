"""Base class of every product, its result record, and sensitivities by bumping."""

import functools
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple, ParamSpec, TypeVar

import pandas as pd

from ._dates import to_qldate, to_timestamp
from . import _history
from ._history import on_trading_day, one_pass, unclosed_from
from ._market import (check_market_inputs, is_vol_surface, resolve_date, shift_vol, spread_rate,
                      time_to, valuation_inputs, vol_level)
from ._quantlib import set_evaluation_date
from ._typing import DateLike, RateLike, VolLike


class OptionGreeks(NamedTuple):
    """Value and sensitivities of one product.

    ``npv``
        value under the given market inputs;
    ``delta``
        d value / d spot (central difference, spot bumped by +-0.5 %);
    ``gamma``
        as filled by ``BaseOption.greeks``: spot times d2 value / d spot2;
    ``vega``
        value change for one volatility point (0.01); below a volatility of 0.02 the
        central bump shrinks to half the volatility and the difference is scaled back to
        one point;
    ``theta``
        value change over one calendar day;
    ``rho``
        value at r - 0.005 minus value at r + 0.005, i.e. the value lost when the rate
        rises by one point (negative for a product that gains with the rate).
    """

    npv: float
    delta: float
    gamma: float
    vega: float
    theta: float
    rho: float


# Bump sizes shared by every product.
SPOT_BUMP = 0.005  # relative: ds = spot * 0.005
VOL_BUMP = 0.01  # absolute
RATE_BUMP = 0.005  # absolute; the two rate bumps span one rate point
ONE_DAY = pd.to_timedelta(1, "day")

# QuantLib's evaluation date is one setting for the whole process, and every QuantLib
# valuation sets it and then prices.  This re-entrant lock is held across the whole
# ``npv`` of every product valued through QuantLib, so that no other thread moves the
# date (or re-prices a shared instrument) in between.  Code of your own that sets
# QuantLib's evaluation date while velmora valuations run in other threads should hold
# it too.
# (One lock with the history's: a pass drops its shared QuantLib objects under it.)
QUANTLIB_LOCK = _history.QUANTLIB_LOCK

_P = ParamSpec("_P")
_R = TypeVar("_R")


def _slope(up: float, down: float, ds: float) -> float:
    """Central first difference from the values at spot + ds and spot - ds."""
    return (up - down) / (ds * 2)


def _curvature(up: float, centre: float, down: float, ds: float, scale: float = 1.0) -> float:
    """``scale`` times the central second difference around the value ``centre``."""
    return scale * (up + down - 2 * centre) / ds**2


def _in_one_pass(greeks: Callable[_P, _R]) -> Callable[_P, _R]:
    """``greeks`` reading each history once per valuation date (``_history.one_pass``);
    the signature stays the wrapped method's."""

    @functools.wraps(greeks)
    def greeks_in_one_pass(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        with one_pass():
            return greeks(*args, **kwargs)

    return greeks_in_one_pass


def _under_quantlib_lock(npv: Callable[_P, _R]) -> Callable[_P, _R]:
    """``npv`` holding ``QUANTLIB_LOCK`` throughout; the signature stays the wrapped one's."""

    @functools.wraps(npv)
    def locked_npv(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        with QUANTLIB_LOCK:
            return npv(*args, **kwargs)

    return locked_npv


class BaseOption:
    """Common contract terms and bumped sensitivities of every velmora product.

    Parameters
    ----------
    option : mapping
        The option dictionary.  The common keys ``effect_date``, ``maturity_date``,
        ``underlying``, ``s0`` and ``notional`` are required; each product reads its
        further keys.

    Notes
    -----
    The maturity date is moved onto a trading day with the market-data client: it
    stays when it is a trading day and otherwise becomes the next trading day.  The
    effect date never moves.

    Every sensitivity is a finite difference over full revaluations through the
    product's own ``npv``: central differences for spot, volatility and rate, a
    forward one-calendar-day difference for theta.  A product only has to supply
    ``npv``; it may override any sensitivity.

    History: within one ``greeks`` (this class's or a product's own) each price
    history is read from the market-data client once per valuation date and reused
    by the bumped valuations (``velmora._history.one_pass``).

    Threads: the ``npv`` that a product class defines runs under ``QUANTLIB_LOCK``
    (one valuation at a time in the process) unless the class sets
    ``uses_quantlib = False``, as the autocallables do: their compiled engine does not
    touch QuantLib and runs in parallel, without the interpreter lock.
    """

    uses_quantlib: bool = True
    # The method that values the product, as the book's results name it.  A product whose
    # engine is chosen by the terms' "engine" key keeps the choice here (a plain attribute).
    engine: str = "analytic"
    # The terms that tell one trade of the class from another, shown by ``repr`` after
    # the underlying and the maturity date, in this order, as the option gave them.
    key_terms: tuple[str, ...] = ()

    def __init_subclass__(cls, **kwargs: Any) -> None:
        # The class's own methods are wrapped once, as the class is made; the wrappers
        # keep their signatures, so the assignments change no method's type.
        super().__init_subclass__(**kwargs)
        npv = cls.__dict__.get("npv")
        if npv is not None and cls.uses_quantlib:
            cls.npv = _under_quantlib_lock(npv)  # type: ignore[method-assign]
        greeks = cls.__dict__.get("greeks")
        if greeks is not None:
            cls.greeks = _in_one_pass(greeks)  # type: ignore[method-assign]

    def __init__(self, option: Mapping[str, Any]) -> None:
        self.effect_date = to_timestamp(option["effect_date"], "effect_date")
        self.maturity_date = to_timestamp(
            on_trading_day(to_timestamp(option["maturity_date"], "maturity_date")),
            "maturity_date")
        self.underlying = option["underlying"]
        self.s0 = option["s0"]
        self.notional = option["notional"]
        self._shown_terms = {key: option[key] for key in (*self.key_terms, "engine")
                             if key in option}

    def __repr__(self) -> str:
        shown = {"underlying": self.underlying,
                 "maturity_date": self.maturity_date.date().isoformat(),
                 **getattr(self, "_shown_terms", {})}
        inner = ", ".join(f"{key}={value!r}" for key, value in shown.items())
        return f"{type(self).__name__}({inner})"

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value of the product; every product class overrides this."""
        raise NotImplementedError

    def npv_and_se(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                   evaluation_date: DateLike | None = None) -> tuple[float, float]:
        """``(value, standard_error)``: the value as ``npv`` gives it, to the bit, and the
        Monte Carlo standard error of that value in the same units.

        0.0 here, for closed forms, trees and PDEs; a product valued by simulation
        overrides this with its engine's estimate.
        """
        return self.npv(spot, r, vol, q, evaluation_date), 0.0

    def _greeks_and_se(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                       evaluation_date: DateLike | None = None) -> tuple[OptionGreeks, float]:
        """``(greeks(...), standard error of its npv)``; a simulation may give both from one
        pass, the default asks ``npv_and_se`` only where a product overrides it."""
        greeks = self.greeks(spot, r, vol, q, evaluation_date)
        if type(self).npv_and_se is BaseOption.npv_and_se:
            return greeks, 0.0
        return greeks, self.npv_and_se(spot, r, vol, q, evaluation_date)[1]

    @_in_one_pass
    def greeks(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
               evaluation_date: DateLike | None = None) -> OptionGreeks:
        """Value and all five sensitivities as an ``OptionGreeks``.

        Delta and gamma come from one set of three valuations (base, spot up, spot
        down); the ``gamma`` field is ``spot`` times the second derivative, i.e.
        ``spot * self.gamma(...)``.  Vega, rho and theta are the object's own
        operations, called in this order.
        """
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        p0 = self.npv(spot, r, vol, q, evaluation_date)
        ds, up, down = self._spot_moved(spot, r, vol, q, evaluation_date)
        delta = _slope(up, down, ds)
        gamma = _curvature(up, p0, down, ds, scale=spot)
        vega = self.vega(spot, r, vol, q, evaluation_date)
        rho = self.rho(spot, r, vol, q, evaluation_date)
        theta = self.theta(spot, r, vol, q, evaluation_date)
        return OptionGreeks(p0, delta, gamma, vega, theta, rho)

    def _spot_moved(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                    evaluation_date: DateLike | None) -> tuple[float, float, float]:
        """The spot bump ``ds`` and the values at ``spot + ds`` and ``spot - ds``, in that order."""
        ds = spot * SPOT_BUMP
        up = self.npv(spot + ds, r, vol, q, evaluation_date)
        down = self.npv(spot - ds, r, vol, q, evaluation_date)
        return ds, up, down

    def delta(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
              evaluation_date: DateLike | None = None) -> float:
        """First derivative by the spot, central difference over +-0.5 % of spot."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        ds, up, down = self._spot_moved(spot, r, vol, q, evaluation_date)
        return _slope(up, down, ds)

    def gamma(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
              evaluation_date: DateLike | None = None) -> float:
        """Second derivative by the spot (not scaled by spot; see ``greeks``)."""
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        p0 = self.npv(spot, r, vol, q, evaluation_date)
        ds, up, down = self._spot_moved(spot, r, vol, q, evaluation_date)
        return _curvature(up, p0, down, ds)

    def vega(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
             evaluation_date: DateLike | None = None) -> float:
        """Value change for one volatility point: (V(vol+h) - V(vol-h)) / 2h * 0.01.

        The bump is h = 0.01, which gives (V(vol+0.01) - V(vol-0.01)) / 2, down to a
        volatility of 0.02 (a surface: every vol moves by h, and the rule reads the
        surface at the contract's strike and maturity, see ``vol_read``).  Below it
        the lower valuation would come close to, or reach, a zero or negative
        volatility, so the bump shrinks to h = vol / 2: the lower valuation is at
        vol / 2, never below, and the difference stays central.  (On a surface with
        vols under 2 h elsewhere, the lower valuation can still meet a zero vol.)
        """
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        if self.vol_read(vol, spot, evaluation_date) >= 2 * VOL_BUMP:
            up = self.npv(spot, r, shift_vol(vol, VOL_BUMP), q, evaluation_date)
            down = self.npv(spot, r, shift_vol(vol, -VOL_BUMP), q, evaluation_date)
            return (up - down) / 2
        h = self.vol_read(vol, spot, evaluation_date) / 2
        up = self.npv(spot, r, shift_vol(vol, h), q, evaluation_date)
        down = self.npv(spot, r, shift_vol(vol, -h), q, evaluation_date)
        return (up - down) / (2 * h) * VOL_BUMP

    def vol_read(self, vol: VolLike, spot: float, evaluation_date: DateLike | None = None) -> float:
        """The one volatility that stands for ``vol``: itself, or a surface read once.

        A surface is read at the contract's maturity and at its ``strike`` (at the
        spot for a product without one), as seen from ``evaluation_date``.
        """
        if not is_vol_surface(vol):
            return vol
        strike = getattr(self, "strike", None)
        if not isinstance(strike, (int, float)) or isinstance(strike, bool):
            strike = spot
        with QUANTLIB_LOCK:
            set_evaluation_date(resolve_date(evaluation_date))
            t = time_to(vol, to_qldate(self.maturity_date))
            return vol_level(vol, t, float(strike))

    def rho(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """V(r - 0.005) - V(r + 0.005): the value lost when the rate rises one point.

        A curve moves in parallel: its continuously compounded zero rates by +-0.005.
        """
        spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
        r1 = self.npv(spot, spread_rate(r, RATE_BUMP), vol, q, evaluation_date)
        r2 = self.npv(spot, spread_rate(r, -RATE_BUMP), vol, q, evaluation_date)
        return r2 - r1

    def theta(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
              evaluation_date: DateLike | None = None) -> float:
        """Value change over one calendar day, V(date + 1 day) - V(date).

        The shift is one calendar day even when the next day is not a trading day.
        With one day or less to maturity (or past it) the result is 0.0 and
        nothing is valued: a one-day step would land on or past expiry.

        Curves and surfaces keep their own reference dates: one anchored on a
        fixed date is read one day further along, one that follows QuantLib's
        evaluation date (zero settlement days) moves with it.

        The next day is valued as seen from the evaluation date: that day has not
        closed yet, so its close, when not stored, is not yet observed (neither an
        error nor a stale-history warning, on a contract's first day too).
        """
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        if (self.maturity_date - evaluation_date).days > 1:
            with unclosed_from(evaluation_date):
                t1 = self.npv(spot, r, vol, q, evaluation_date + ONE_DAY)
            p0 = self.npv(spot, r, vol, q, evaluation_date)
            return t1 - p0
        return 0.0
