"""Machinery shared by the snowball and phoenix notes.

``AutocallNote`` holds what the two notes share: the contract terms and observation
schedules, the check of the price history, the trading-day grid and the call of the
compiled Monte Carlo engine (``velmora._core``).  A note class names its coupon rule
(``rule``, "snowball" or "phoenix", chosen by name inside the engine) and supplies its
coupon schedule (``_coupon_days``); the engine runs the same simulation and the same
knock-in, knock-out and loss logic for both.

The engine makes one pass over the normal pool per path: it accumulates the
log-price over the grid in double precision, keeps only the observed points, and
values the value scenario and the two spot-bumped scenarios of delta and gamma on
the same path.  No matrix of paths is formed.  Paths are summed in fixed blocks with
double-precision partial sums added in block order, so the result does not depend on
the number of threads.  Coupons are summed in double precision too (a plain
whole-tensor valuation that sums them in single precision agrees to within 1e-6
relative on the value; the loss part agrees to rounding).

Several valuations can share one pass: each is a scenario group (its own grid, market
inputs, spots and knock-in state) whose grid reads the leading columns of the pool.
``greeks`` and ``spot_ladder`` use this; every group is computed exactly as its own
valuation would be, so they give the bits of the separate valuations.
"""

from __future__ import annotations

import datetime
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import (TYPE_CHECKING, Any, Concatenate, Literal, ParamSpec, TypeAlias, cast,
                    overload)

import numpy as np
import numpy.typing as npt
import pandas as pd
import torch

from . import _autocall_pde, _core, _local_vol
from ._dates import evaluation_timestamp, to_timestamp
from ._history import any_above, any_below, close_bars, trading_dates, unclosed_from
from ._market import check_market_inputs, shift_vol, spread_rate, valuation_inputs
from ._schedule import get_obs_dates
from ._typing import DateLike, RateLike, VolLike
from .groundwork import (ONE_DAY, RATE_BUMP, SPOT_BUMP, VOL_BUMP, BaseOption, OptionGreeks,
                         _curvature, _slope)

if TYPE_CHECKING:
    from ._core import LocalMarket, ScenarioGroup

_P = ParamSpec("_P")
_Ints: TypeAlias = npt.NDArray[np.int64]
_Floats: TypeAlias = npt.NDArray[np.float64]
# The values (or standard errors) of a pass, one list per request (one float per spot),
# None for a request that was None (an expired note).
_PerRequest: TypeAlias = list[Any]

# The engines a note can be valued with (terms key "engine"): the Monte Carlo simulation
# over the normal pool, the default, or the finite-difference solver of ``_autocall_pde``.
ENGINES = ("monte_carlo", "pde")

# Spot moves of the delta and gamma valuations inside ``_npv``: the relative bump of
# ``BaseOption.greeks`` (0.5 %) both ways.  The same paths are revalued with the
# barriers and the strike rescaled by the moved spot.  The finite differences divide
# by the spot times the bump itself (2 x 0.005 and 0.005), not by the difference of
# the two rounded factors.
SPOT_UP = 1 + SPOT_BUMP
SPOT_DOWN = 1 - SPOT_BUMP


def _read_off_greeks(
        base: Callable[Concatenate[BaseOption, _P], float],
) -> Callable[Concatenate[AutocallNote, _P], float]:
    """The sensitivity ``base`` (a ``BaseOption`` operation): its revaluations on the
    Monte Carlo engine, the field of ``greeks`` of its name on the finite-difference one;
    the signature stays the operation's."""
    name = base.__name__

    def sensitivity(self: AutocallNote, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                    evaluation_date: DateLike | None = None) -> float:
        if self.engine != "pde":
            revalued: Callable[..., float] = base
            return revalued(self, spot, r, vol, q, evaluation_date)
        return float(getattr(self.greeks(spot, r, vol, q, evaluation_date), name))

    sensitivity.__name__ = sensitivity.__qualname__ = name
    sensitivity.__doc__ = base.__doc__
    # the parameters above are the operation's own: _P is exactly them
    return sensitivity  # type: ignore[return-value]


class AutocallNote(BaseOption):
    """An autocallable note on one underlying, valued by Monte Carlo simulation.

    The constructor reads the keys that ``velmora.snowball.SnowBallOption`` lists, in
    this order: strike, barriers, coupon rate, observation frequencies and period.  A
    note class sets ``rule``, the coupon rule of the engine, and defines
    ``_coupon_days``, the accrual days of the coupon of each knock-out date; ``coupon``
    is the Series s0 * coupon_rate * days / 365 indexed by the knock-out dates.

    Raises
    ------
    ValueError
        From the constructor when an observation date falls before the effect date:
        the note does not exist yet on that date.
    """

    key_terms = ("strike", "ki_barrier", "ko_barrier", "coupon_rate", "ki_obs_freq",
                 "ko_obs_freq")

    uses_quantlib = False  # runs outside QUANTLIB_LOCK
    engine = "monte_carlo"
    # "snowball" or "phoenix": the coupon rule of the compiled engine
    rule: str | None = None

    def __init__(self, option: Mapping[str, Any]) -> None:
        BaseOption.__init__(self, option)
        self.strike = option["strike"]
        self.ki_barrier = option["ki_barrier"]
        self.ko_barrier = option["ko_barrier"]
        self.coupon_rate = option["coupon_rate"]
        self.ki_obs_freq = option["ki_obs_freq"]
        self.ko_obs_freq = option["ko_obs_freq"]
        self.obs_start_date = to_timestamp(option["obs_start_date"], "obs_start_date")
        self.obs_end_date = to_timestamp(option["obs_end_date"], "obs_end_date")
        self.ki_obs_dates = get_obs_dates(self.obs_start_date, self.obs_end_date,
                                          self.ki_obs_freq)
        self.ko_obs_dates = get_obs_dates(self.obs_start_date, self.obs_end_date,
                                          self.ko_obs_freq)
        effect = pd.Timestamp(self.effect_date)
        for kind, dates in (("knock-out", self.ko_obs_dates),
                            ("knock-in", self.ki_obs_dates)):
            if len(dates) and dates[0] < effect:
                raise ValueError(
                    f"{kind} observation date {dates[0].date()} is before the effect date "
                    f"{effect.date()}: the note does not exist yet on that date")
        # Amounts are computed before the Series is built: with copy-on-write, pandas
        # may hand out a read-only view of a Series' values.
        self.coupon = pd.Series(self.s0 * self.coupon_rate * self._coupon_days() / 365,
                                index=self.ko_obs_dates)
        engine = option.get("engine", "monte_carlo")
        if engine not in ENGINES:
            raise ValueError(f"unknown engine {engine!r} for {type(self).__name__}; accepted: "
                             + ", ".join(f'"{e}"' for e in ENGINES))
        self.engine = engine
        self.pde_grid = _autocall_pde.grid_key(option.get("pde_grid"))

    def _coupon_days(self) -> _Ints:
        """Whole calendar days of accrual of each knock-out date's coupon, an integer
        numpy array in the order of ``ko_obs_dates``."""
        raise NotImplementedError

    def _mc_pricing(self, paths: npt.NDArray[np.floating[Any]] | torch.Tensor, spot: float,
                    ki_ob_indexes: npt.ArrayLike | torch.Tensor,
                    ko_ob_indexes: npt.ArrayLike | torch.Tensor,
                    discount: npt.ArrayLike | torch.Tensor | pd.Series,
                    coupon: npt.ArrayLike | torch.Tensor | pd.Series,
                    knocked_in: bool = False) -> float:
        """Value of the note on given paths (ratios to ``spot``), averaged over rows.

        ``paths`` is M x N (rows = paths, last column = maturity), a torch tensor or
        numpy array of float32 or float64, read in place (a torch view with a pending
        negation is resolved first).  ``ko_ob_indexes`` are the columns of the
        remaining knock-out dates in date order, ``coupon`` their coupon amounts,
        ``discount`` one factor per column; knock-in is strictly below
        ``ki_barrier / spot`` on the ``ki_ob_indexes`` columns, knock-out strictly
        above ``ko_barrier / spot``; the coupons paid follow the note's rule.

        Raises
        ------
        ValueError
            For a level that is not a finite number on an observed column (or at
            maturity), a discount factor that is not finite or is negative, knock-out
            columns that are not strictly increasing.
        IndexError
            For a column outside the paths.
        TypeError
            For column positions that are not integers (they are never truncated).
        """
        if isinstance(paths, torch.Tensor):
            paths = paths.detach()
        n = paths.shape[1]
        n_paths, scenarios = _core.value_paths(
            paths, _columns(ko_ob_indexes, n, "ko_ob_indexes"),
            _columns(ki_ob_indexes, n, "ki_ob_indexes"), _doubles(discount),
            _doubles(coupon), np.asarray([float(spot)]), knocked_in=bool(knocked_in),
            **self._engine_terms())
        _, coupon_total, loss_total = scenarios[0]
        return float((coupon_total + loss_total) / n_paths)

    @overload
    def _npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
             evaluation_date: DateLike, knocked_in: bool = False,
             delta_and_gamma: Literal[False] = False) -> float: ...

    @overload
    def _npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
             evaluation_date: DateLike, knocked_in: bool,
             delta_and_gamma: Literal[True]) -> tuple[float, float, float]: ...

    def _npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
             evaluation_date: DateLike, knocked_in: bool = False,
             delta_and_gamma: bool = False) -> float | tuple[float, float, float]:
        """Simulated value; with ``delta_and_gamma`` the triple (value, delta, gamma).

        After the maturity date (no trading day left on the grid) the note has expired
        and nothing remains to be paid: the value, delta and gamma are 0.0.  A maturity
        more trading days away than the normal pool has columns raises the pool's
        ``ValueError`` "steps overflow".
        """
        if self.engine == "pde":
            return _autocall_pde.value(self, spot, r, vol, q, evaluation_date, knocked_in,
                                       delta_and_gamma)
        request = self._request(_spots(spot, delta_and_gamma), r, vol, q, evaluation_date,
                                knocked_in)
        if request is None:
            return (0.0, 0.0, 0.0) if delta_and_gamma else 0.0
        values = self._run([request])[0][0]
        if not delta_and_gamma:
            return values[0]
        return _delta_gamma(spot, values)

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value after the history check: 0.0 once a knock-out has been observed."""
        spot, r, vol, q, evaluation_date, knocked_out, knocked_in = self._checked(
            spot, r, vol, q, evaluation_date)
        if knocked_out:
            return 0.0
        return self._npv(spot, r, vol, q, evaluation_date, knocked_in=knocked_in)

    def npv_and_se(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                   evaluation_date: DateLike | None = None) -> tuple[float, float]:
        """``(value, standard error)``: ``npv`` to the bit and its Monte Carlo error.

        The error comes from the same pass, from the spread of the discounted payoffs
        over the pool.  The pool is antithetic (row m + M/2 is the negation of row m),
        so the two paths of a pair are not independent: each pair's mean payoff is one
        sample of M/2.  0.0 for any other engine than the Monte Carlo one, and once the
        value is known (knocked out, expired).
        """
        if getattr(self, "engine", "monte_carlo") != "monte_carlo":
            return self.npv(spot, r, vol, q, evaluation_date), 0.0
        spot, r, vol, q, evaluation_date, knocked_out, knocked_in = self._checked(
            spot, r, vol, q, evaluation_date)
        if knocked_out:
            return 0.0, 0.0
        request = self._request(_spots(spot), r, vol, q, evaluation_date, knocked_in)
        if request is None:
            return 0.0, 0.0
        (values,), (errors,) = self._run([request], errors_of=[request])
        return values[0], errors[0]

    def _greeks_and_se(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                       evaluation_date: DateLike | None = None) -> tuple[OptionGreeks, float]:
        if getattr(self, "engine", "monte_carlo") != "monte_carlo":
            return self.greeks(spot, r, vol, q, evaluation_date), 0.0
        return self._mc_greeks(spot, r, vol, q, evaluation_date, standard_error=True)

    def greeks(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
               evaluation_date: DateLike | None = None) -> OptionGreeks:
        """``OptionGreeks``; gamma is the plain second derivative, not scaled by spot.

        All valuations (spot moves, volatility and rate bumps, the next calendar day)
        come from one pass over the normal pool, with the same bits as valuing them one
        by one (value, delta and gamma from one simulation, then vega, theta and rho
        by revaluation): each becomes one scenario group of the pass, and the
        sensitivities are formed from the values with the same arithmetic as the
        ``BaseOption`` operations.
        """
        return self._mc_greeks(spot, r, vol, q, evaluation_date)[0]

    def _mc_greeks(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                   evaluation_date: DateLike | None,
                   standard_error: bool = False) -> tuple[OptionGreeks, float]:
        """``(OptionGreeks, standard error of the value)`` from one pass; the error is
        NaN unless ``standard_error``."""
        spot, r, vol, q, evaluation_date, knocked_out, knocked_in = self._checked(
            spot, r, vol, q, evaluation_date)
        if knocked_out:
            return OptionGreeks(0.0, 0, 0, 0, 0, 0), 0.0
        if self.engine == "pde":  # a deterministic solve: no sampling error
            return _autocall_pde.greeks(self, spot, r, vol, q, evaluation_date, knocked_in), 0.0
        # the volatility bump of BaseOption.vega: 0.01, or vol / 2 below a vol of 0.02; a
        # surface is shifted and a curve spread in parallel
        level = self.vol_read(vol, spot, evaluation_date)
        vol_bump = VOL_BUMP if level >= 2 * VOL_BUMP else level / 2
        spots = _spots(spot)
        grid = self._grid(evaluation_date)  # one grid for every scenario of today

        def request(spots: Sequence[float], r: RateLike, vol: VolLike) -> _Request | None:
            return self._request(spots, r, vol, q, evaluation_date, knocked_in, grid)

        requests = {
            "base": request(_spots(spot, True), r, vol),
            "vol_up": request(spots, r, shift_vol(vol, vol_bump)),
            "vol_down": request(spots, r, shift_vol(vol, -vol_bump)),
            "rate_up": request(spots, spread_rate(r, RATE_BUMP), vol),
            "rate_down": request(spots, spread_rate(r, -RATE_BUMP), vol),
        }
        # theta, as BaseOption.theta: the value from the next calendar day (after its own
        # history check) minus the value today, unless one day or less is left
        today = evaluation_timestamp(evaluation_date)
        next_day_knocked_out: bool | None = None
        if (self.maturity_date - today).days > 1:
            next_day = today + ONE_DAY
            with unclosed_from(today):  # today's close may not be stored yet
                next_day_knocked_out, next_day_knocked_in = self._observed_knocks(next_day)
            if not next_day_knocked_out:
                requests["next_day"] = self._request(spots, r, vol, q, next_day,
                                                     next_day_knocked_in)
        base = requests["base"] if standard_error else None
        values, errors = self._run(list(requests.values()), errors_of=[base])
        by_name = dict(zip(requests, values))
        se = errors[0][0] if base is not None else (0.0 if standard_error else float("nan"))

        def value(name: str) -> float:
            got = by_name.get(name)
            return got[0] if got is not None else 0.0

        base_values = by_name["base"]
        if base_values is None:
            p0, delta, gamma = 0.0, 0.0, 0.0
        else:
            p0, delta, gamma = _delta_gamma(spot, base_values)
        if vol_bump == VOL_BUMP:
            vega = (value("vol_up") - value("vol_down")) / 2
        else:
            vega = (value("vol_up") - value("vol_down")) / (2 * vol_bump) * VOL_BUMP
        if next_day_knocked_out is None:
            theta = 0.0
        else:
            theta = (0.0 if next_day_knocked_out else value("next_day")) - p0
        rho = value("rate_down") - value("rate_up")
        return OptionGreeks(p0, delta, gamma, vega, theta, rho), se

    def spot_ladder(self, spots: Sequence[float], r: RateLike, vol: VolLike, q: RateLike,
                    evaluation_date: DateLike | None = None) -> _Floats:
        """Values at every spot of ``spots``, as a numpy array, from one simulation.

        The same to the bit as ``[self.npv(s, r, vol, q, evaluation_date) for s in
        spots]``; one history check serves every spot, and the values are 0.0
        everywhere once a knock-out has been observed.
        """
        return self._ladder(spots, r, vol, q, evaluation_date, False)[0]

    def spot_ladder_and_se(self, spots: Sequence[float], r: RateLike, vol: VolLike, q: RateLike,
                           evaluation_date: DateLike | None = None) -> tuple[_Floats, _Floats]:
        """``(values, standard errors)`` at every spot of ``spots``: ``spot_ladder`` to
        the bit and the error of each value, as ``npv_and_se`` gives it, from one pass."""
        if getattr(self, "engine", "monte_carlo") != "monte_carlo":
            values = self.spot_ladder(spots, r, vol, q, evaluation_date)
            return values, np.zeros(len(values), dtype=float)
        return self._ladder(spots, r, vol, q, evaluation_date, True)

    def _ladder(self, spots: Sequence[float], r: RateLike, vol: VolLike, q: RateLike,
                evaluation_date: DateLike | None,
                standard_error: bool) -> tuple[_Floats, _Floats]:
        if np.ndim(spots) != 1:
            raise ValueError(f"spots must be a one-dimensional sequence, got {np.ndim(spots)} "
                             f"dimensions")
        spot_list = [check_market_inputs(s, r, vol, q)[0] for s in spots]
        zeros = np.zeros(len(spot_list), dtype=float)
        if not spot_list:
            return zeros, zeros
        _, r, vol, q, evaluation_date, knocked_out, knocked_in = self._checked(
            spot_list[0], r, vol, q, evaluation_date)
        if knocked_out:
            return zeros, zeros.copy()
        if self.engine == "pde":
            solved = _autocall_pde.values(self, spot_list, r, vol, q, evaluation_date,
                                          knocked_in)
            if solved is None:
                return zeros, zeros.copy()
            return np.asarray(solved, dtype=float), zeros.copy()
        request = self._request(spot_list, r, vol, q, evaluation_date, knocked_in)
        values, errors = self._run([request], errors_of=[request] if standard_error else [])
        if values[0] is None:
            return zeros, zeros.copy()
        spread = errors[0] if standard_error else [np.nan] * len(spot_list)
        return np.asarray(values[0], dtype=float), np.asarray(spread, dtype=float)

    # With the finite-difference engine each sensitivity is read off the one solve of
    # ``greeks``: separate solves at bumped inputs would each choose a grid of their own,
    # and the difference between two grids would enter the sensitivity.  The Monte Carlo
    # engine revalues as ``BaseOption`` does.
    delta = _read_off_greeks(BaseOption.delta)
    gamma = _read_off_greeks(BaseOption.gamma)
    vega = _read_off_greeks(BaseOption.vega)
    theta = _read_off_greeks(BaseOption.theta)
    rho = _read_off_greeks(BaseOption.rho)

    def _observed_knocks(self, evaluation_date: DateLike) -> tuple[bool, bool]:
        """Knock-out and knock-in already observed in the closes up to ``evaluation_date``.

        Returns ``(knocked_out, knocked_in)``.  Only observation dates up to the latest
        close are compared; knock-out is strictly above ``ko_barrier``, knock-in strictly
        below ``ki_barrier``.  An observation date without a close (the stock was
        suspended that day) observes nothing: the stock did not trade, so it neither
        knocked in nor knocked out then.

        Raises
        ------
        ValueError
            When the client has no closes of the underlying although trading days have
            closed since the effect date: without them the note's state is unknown.  A
            note whose effect date is the evaluation date needs no closes yet.
        """
        bars = close_bars(self.underlying, self.effect_date, evaluation_date, "pre")
        if bars is None:
            return False, False
        # compared as plain arrays of int64 nanoseconds: this runs at every valuation
        days = np.asarray(bars.dates, dtype="datetime64[ns]").view(np.int64)
        close = bars.columns["close"]
        ko_days, ki_days, _ = self._schedule_instants()
        if any_above(close[_among(days, ko_days)], self.ko_barrier):
            return True, False
        return False, any_below(close[_among(days, ki_days)], self.ki_barrier)

    def _schedule_instants(self) -> tuple[_Ints, _Ints, _Floats]:
        """``(knock-out dates, knock-in dates, coupons)``: the dates of the coupon table and
        the knock-in dates as int64 nanoseconds since 1970, ascending, and the coupon
        amounts as floats in the order of their dates.  Worked out once per note."""
        cached = self.__dict__.get("_instants")
        if cached is None or cached[0] is not self.coupon or cached[1] is not self.ki_obs_dates:
            def ns(dates: Iterable[Any]) -> _Ints:
                return np.asarray(pd.DatetimeIndex(dates).as_unit("ns").asi8, dtype=np.int64)

            cached = (self.coupon, self.ki_obs_dates, ns(self.coupon.index),
                      ns(self.ki_obs_dates), self.coupon.to_numpy(dtype=float).copy())
            self.__dict__["_instants"] = cached
        instants: tuple[_Ints, _Ints, _Floats] = cached[2:]
        return instants

    def _checked(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                 evaluation_date: DateLike | None) -> tuple[Any, ...]:
        """Checked market inputs, the date (today for ``None``) and the knocks observed by
        then.

        Returns ``(spot, r, vol, q, evaluation_date, knocked_out, knocked_in)``.
        """
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        return (spot, r, vol, q, evaluation_date) + self._observed_knocks(evaluation_date)

    def _engine_terms(self) -> dict[str, Any]:
        """The engine's keyword arguments that every valuation of this note shares."""
        return dict(strike=float(self.strike), ki_barrier=float(self.ki_barrier),
                    ko_barrier=float(self.ko_barrier), rule=self.rule,
                    threads=torch.get_num_threads())

    def _grid(self, evaluation_date: DateLike | None) -> tuple[Grid, pd.Timestamp]:
        """``(Grid, evaluation date)`` of a valuation from ``evaluation_date``."""
        # A time of day is dropped: the grid counts whole calendar days from the
        # evaluation date, and a knock-out date on the evaluation date itself is still to
        # be observed.
        day = to_timestamp(evaluation_date, "evaluation_date")
        return Grid(self, day), day

    def _request(self, spots: Sequence[float], r: RateLike, vol: VolLike, q: RateLike,
                 evaluation_date: DateLike | None, knocked_in: bool,
                 grid: tuple[Grid, pd.Timestamp] | None = None) -> _Request | None:
        """The valuation of ``spots`` from ``evaluation_date``, or None when the note has
        expired (no trading day left on the grid: nothing remains to be paid).  ``grid``,
        the pair ``_grid`` gives for that date, is built here when not given."""
        on, day = grid or self._grid(evaluation_date)
        if len(on) == 0:
            return None
        return _Request(on, spots, r, vol, q, knocked_in, day)

    def _run(self, requests: Sequence[_Request | None],
             errors_of: Sequence[_Request | None] = ()) -> tuple[_PerRequest, _PerRequest]:
        """Values of every request (a list per request, one per spot; None for None) from
        one pass over the pool, and the standard errors of the requests in ``errors_of``
        (a list per such request, one per spot, in the order of ``errors_of``).  Each
        request's grid reads the leading columns of the pool; a request under a local
        market (curves or a surface) runs the plain simulation path of ``_run_local``."""
        flat = {id(req): req.scalar_if_flat() for req in requests if req is not None}
        requests = [None if req is None else flat[id(req)] for req in requests]
        errors_of = [None if req is None else flat.get(id(req), req) for req in errors_of]
        values: dict[int, list[float]] = {}
        errors: dict[int, list[float]] = {}
        for req in requests:
            if req is not None and req.market is not None:
                values[id(req)], errors[id(req)] = self._run_local(req)
        live = [req for req in requests if req is not None and req.market is None]
        wanted = {id(req) for req in errors_of if req is not None}
        if not live:
            return ([None if req is None else values[id(req)] for req in requests],
                    [None if req is None else errors[id(req)] for req in errors_of])
        # imported here: a process that values only on the finite-difference engine never
        # draws the pool (about 400 MB)
        from . import normdraw

        draws = normdraw.get_normdraws(max(len(req.grid) for req in live))
        args = self._engine_terms()
        # A valuation past a snowball's last knock-out date uses a knock-out level of its
        # own (see Grid): one pass per knock-out level.
        by_level: dict[float, list[_Request]] = {}
        for req in live:
            by_level.setdefault(req.grid.ko_barrier, []).append(req)
        for level, group in by_level.items():
            args["ko_barrier"] = level
            if wanted:
                # the pool is antithetic: each pair of rows m, m + M/2 is one sample
                args["standard_errors"] = ["antithetic_pairs" if id(req) in wanted else "none"
                                           for req in group]
            results = _core.simulate_groups(draws, [req.group() for req in group], **args)
            for req, (n_paths, scenarios, *se) in zip(group, results):
                values[id(req)] = [(coupon + loss) / n_paths for _, coupon, loss in scenarios]
                if se:
                    errors[id(req)] = list(se[0])
        return ([None if req is None else values[id(req)] for req in requests],
                [None if req is None else errors[id(req)] for req in errors_of])

    def _run_local(self, request: _Request) -> tuple[list[float], list[float]]:
        """(values, standard errors) per spot of one request under a local market, from
        the plain path of ``_core.simulate_local`` over the pool: the standard error of the
        mean of the antithetic pairs (row m and row m + N/2 of the pool)."""
        from . import normdraw

        g = request.grid
        draws = normdraw.get_normdraws(len(g))
        args = self._engine_terms()
        args["ko_barrier"] = g.ko_barrier
        days = g.days
        market = cast("LocalMarket", request.market)  # only requests with one come here
        per_path = np.asarray(_core.simulate_local(
            draws, g.step_years, days.tolist(), g.ko_columns, g.ki_columns, g.coupons,
            request.spots, market, knocked_in=request.knocked_in, **args))
        per_path = per_path.reshape(len(request.spots), -1)
        half = per_path.shape[1] // 2
        pairs = (per_path[:, :half] + per_path[:, half:2 * half]) / 2
        values = [float(v) for v in per_path.mean(axis=1)]
        ses = [float(e) for e in pairs.std(axis=1, ddof=1) / np.sqrt(half)]
        return values, ses


# A knock-out level that no simulated path reaches (see ``Grid``).
UNREACHABLE = float(np.finfo(float).max)


class Grid:
    """The simulation grid of one valuation.

    ``days`` are the calendar days from the evaluation date to each trading day from the
    evaluation date to the maturity date, both included when trading days (as int64;
    ``trading_dates`` gives the same days as timestamps); ``step_years[j]`` is the
    calendar days from the previous grid day (the evaluation date for j = 0) over 365;
    ``ko_columns`` / ``ki_columns`` locate the remaining observation dates (on or after
    the evaluation date); ``coupons`` are the coupon table's amounts of the remaining
    knock-out dates; ``ko_barrier`` is the knock-out level for the engine.

    After the last knock-out date of a snowball nothing can knock out any more, but a
    path that has not knocked in still earns the coupon of the last knock-out date,
    paid at maturity.  The engine is then given that coupon on the maturity column with
    a knock-out level no path reaches (``UNREACHABLE``), which pays exactly this.  (A
    phoenix owes nothing after its last coupon date but the loss at maturity.)

    Dates are compared as int64 nanoseconds since 1970 and day counts are whole days of
    their differences, rounded down as a pandas ``Timedelta.days``: the grid is built at
    every valuation, and plain integer arrays cost a small part of the pandas
    operations.  One grid serves every valuation from the same evaluation date.
    """

    def __init__(self, note: AutocallNote, evaluation_date: pd.Timestamp) -> None:
        # evaluation_date: a timestamp at midnight
        today = pd.Timestamp(evaluation_date).value
        grid = _instants(trading_dates(evaluation_date, note.maturity_date))
        n = len(grid)
        ko_all, ki_all, coupons = note._schedule_instants()
        first = int(np.searchsorted(ko_all, today, side="left"))  # on or after today
        ko_dates = ko_all[first:]
        ko_columns = np.searchsorted(grid, ko_dates, side="left")
        if note.ki_obs_freq == note.ko_obs_freq:
            ki_dates, ki_columns = ko_dates, ko_columns
        else:
            ki_dates = ki_all[ki_all >= today]
            ki_columns = np.searchsorted(grid, ki_dates, side="left")
        if n:
            for kind, dates, columns in (("knock-out", ko_dates, ko_columns),
                                         ("knock-in", ki_dates, ki_columns)):
                if len(columns) and columns[-1] >= n:
                    raise ValueError(
                        f"{kind} observation date {pd.Timestamp(int(dates[-1])).date()} is "
                        f"after the maturity date {note.maturity_date.date()}: it can never "
                        f"be observed")
        self._instants = grid
        self.days = (grid - today) // _NS_PER_DAY
        step_years = np.empty(n, dtype=float)
        if n:
            step_years[1:] = np.diff(grid) // _NS_PER_DAY / 365
            step_years[0] = self.days[0] / 365
        self.step_years = step_years
        self.ko_columns = np.asarray(ko_columns, dtype=np.int64)
        self.ki_columns = np.asarray(ki_columns, dtype=np.int64)
        self.coupons = coupons[first:].copy()
        self.ko_barrier = float(note.ko_barrier)
        if note.rule == "snowball" and n and len(self.ko_columns) == 0 and len(coupons):
            self.ko_columns = np.array([n - 1], dtype=np.int64)
            self.coupons = coupons[-1:].copy()
            self.ko_barrier = UNREACHABLE

    @property
    def trading_dates(self) -> pd.DatetimeIndex:
        """The trading days of the grid as a ``pandas.DatetimeIndex``."""
        return pd.DatetimeIndex(self._instants.view("datetime64[ns]"))

    def __len__(self) -> int:
        return len(self.step_years)


_NS_PER_DAY = 86_400 * 10**9
_EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()


def _instants(dates: Sequence[Any]) -> _Ints:
    """Days as the client lists them (``datetime.date``, or anything pandas reads as a
    date), as int64 nanoseconds since 1970."""
    if all(type(d) is datetime.date for d in dates):
        ordinals = np.fromiter((d.toordinal() for d in dates), dtype=np.int64, count=len(dates))
        return (ordinals - _EPOCH_ORDINAL) * _NS_PER_DAY
    return np.asarray(pd.to_datetime(dates).as_unit("ns").asi8, dtype=np.int64)


def _among(days: _Ints, dates: _Ints) -> npt.NDArray[np.bool_]:
    """Whether each of ``days`` is one of ``dates`` (ascending), as a boolean array."""
    if len(dates) == 0:
        return np.zeros(len(days), dtype=bool)
    at = np.minimum(np.searchsorted(dates, days), len(dates) - 1)
    return dates[at] == days


def _spots(spot: float, delta_and_gamma: bool = False) -> list[float]:
    """The spots of one valuation: the spot, and with delta and gamma its two moves."""
    spots = [float(spot)]
    if delta_and_gamma:
        spots += [spot * SPOT_UP, spot * SPOT_DOWN]
    return spots


def _delta_gamma(spot: float, values: Sequence[float]) -> tuple[float, float, float]:
    """(value, delta, gamma) from the values at the spot and its two moves."""
    p0, up, down = values
    ds = spot * SPOT_BUMP
    return p0, _slope(up, down, ds), _curvature(up, p0, down, ds)


class _Request:
    """One valuation for the engine: a grid, market inputs, the spots and the knock-in
    state; one scenario group of a pass over the pool."""

    def __init__(self, grid: Grid, spots: Sequence[float] | _Floats, r: RateLike, vol: VolLike,
                 q: RateLike, knocked_in: bool, evaluation_date: pd.Timestamp) -> None:
        self.grid = grid
        self.spots = np.asarray(spots, dtype=float)
        self.knocked_in = bool(knocked_in)
        self.evaluation_date = evaluation_date
        # the sampled local market, under curves or a surface
        self.market: LocalMarket | None = None
        if _local_vol.is_market(r, q, vol):
            days = int(grid.days[-1])
            self.market, vol = _local_vol.sample(r, q, vol, float(self.spots[0]),
                                                 evaluation_date, days)
            r, q = np.mean(self.market[0]), np.mean(self.market[1])
        self.r, self.vol, self.q = float(r), float(vol), float(q)

    def scalar_if_flat(self) -> _Request:
        """This request on scalars when its market is flat (or already scalar)."""
        if self.market is None:
            return self
        flat = _local_vol.flat_scalars(self.market)
        if flat is None:
            return self
        r, q, vol = flat
        return _Request(self.grid, self.spots, r, vol, q, self.knocked_in,
                        self.evaluation_date)

    def as_local(self) -> _Request:
        """This scalar request as a (flat) local market, for the plain path."""
        req = _Request(self.grid, self.spots, self.r, self.vol, self.q, self.knocked_in,
                       self.evaluation_date)
        days = max(int(self.grid.days[-1]), 1)
        req.market = ([self.r] * days, [self.q] * days, [0], 0.0, 1.0, 1, [self.vol])
        return req

    def group(self) -> ScenarioGroup:
        g = self.grid
        return (g.step_years, g.ko_columns, g.ki_columns, g.coupons, self.spots, self.r,
                self.q, self.vol, self.knocked_in)


def _doubles(x: npt.ArrayLike | torch.Tensor | pd.Series | pd.Index) -> _Floats:
    if isinstance(x, torch.Tensor):
        x = x.detach().resolve_neg().resolve_conj().to(device="cpu", dtype=torch.float64)
        x = x.numpy()
    elif isinstance(x, (pd.Series, pd.Index)):
        x = x.to_numpy(dtype=float)
    return np.ascontiguousarray(x, dtype=np.float64).reshape(-1)


def _columns(idx: npt.ArrayLike | torch.Tensor, n: int, name: str) -> _Ints:
    if isinstance(idx, torch.Tensor):
        idx = idx.detach().resolve_neg().cpu().numpy()
    idx = np.asarray(idx)
    if idx.size and idx.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integer column positions, got {idx.dtype} values")
    cols = np.ascontiguousarray(idx, dtype=np.int64).reshape(-1)
    return np.where(cols < 0, cols + n, cols)  # a negative position counts from the end
