"""Snowball and phoenix notes on the finite-difference engine (terms key ``"engine": "pde"``).

The note's value solves the Black-Scholes equation in log spot backwards from maturity, in
two layers: paths that have not knocked in, and paths that have.  Knock-out and the coupons
are applied on the knock-out dates, knock-in on the knock-in dates (moving a node of the
first layer onto the second), the loss min(S_T - strike, 0) at maturity in the second
layer (``velmora._core.autocall_pde``).  The observation rules, the trading-day grid, the
calendar-day year fractions and the discounting are those of the Monte Carlo engine: the
same ``Grid`` describes both.

Both barriers sit half-way between two nodes, on two space grids (the second with half the
step) whose values are extrapolated, (4 fine - coarse) / 3 (the coarser grid solves the
base scenario only; its correction applies to the moved ones).  Time steps run between the
trading days, with the next calendar day (theta) a stop too: Crank-Nicolson, with two
implicit half steps after every observation (Rannacher), extrapolated with one implicit
full step so that the start is second-order accurate as well.  The scenarios of the
sensitivities (volatility and rate moves) are solved side by side with the base on the
same grid; delta, gamma, theta and a whole spot ladder are read off the base solve.  The
observations of the valuation date itself are applied at each spot exactly, with the
strict comparisons of the notes, after the continuation is interpolated.

The grid is chosen from the maturity and the volatility (see ``_core.autocall_pde``); the
terms key "pde_grid", a pair (space steps per one-day standard deviation of log spot on the
coarser grid, time steps per interval between two trading days), sets it by hand; the
automatic grid is (1.25, 2), or (3, 4) for a spot within four one-day standard
deviations of a knock-in barrier that can still be crossed, or (3, 8) within 30 days of
maturity.  No normal pool is read.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, cast, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _core, _local_vol
from ._dates import evaluation_timestamp
from ._history import unclosed_from
from ._local_vol import Scenario
from ._market import shift_vol, spread_rate
from ._terms import grid_pair
from ._typing import DateLike, RateLike, VolLike
from .groundwork import ONE_DAY, RATE_BUMP, VOL_BUMP, OptionGreeks

if TYPE_CHECKING:
    from ._autocall import AutocallNote, Grid
    from ._core import LocalMarket


def grid_key(pde_grid: tuple[float, int] | None) -> tuple[float, int]:
    """(space steps per one-day standard deviation, time steps per interval) of "pde_grid";
    (0, 0), the automatic choice, for ``None``.

    Raises
    ------
    ValueError
        For anything but a pair: a number of space steps from 0.5 to 64, an integer of
        time steps from 1 to 64 (bounded work).
    """
    if pde_grid is None:
        return 0, 0
    per_sd, per_interval = grid_pair(
        pde_grid, "space steps per one-day standard deviation, time steps per interval")
    if (isinstance(per_sd, bool) or not isinstance(per_sd, (int, float, np.integer, np.floating))
            or not 0.5 <= per_sd <= 64):
        raise ValueError(f"pde_grid: space steps per one-day standard deviation must be a "
                         f"number from 0.5 to 64, got {per_sd!r}")
    if (isinstance(per_interval, bool) or not isinstance(per_interval, (int, np.integer))
            or not 1 <= per_interval <= 64):
        raise ValueError(f"pde_grid: time steps per interval must be an integer from 1 to 64, "
                         f"got {per_interval!r}")
    return float(per_sd), int(per_interval)


def solve(note: AutocallNote, grid: Grid, evaluation_date: pd.Timestamp,
          spots: Sequence[float], scenarios: Sequence[Scenario],
          readings: Sequence[tuple[int, bool]]) -> npt.NDArray[np.float64]:
    """Values [reading, scenario, spot] of one solve on ``grid`` (a ``_autocall.Grid`` from
    the normalised ``evaluation_date``).

    ``scenarios`` are (r, q, vol) triples, the first one setting the grid; ``readings`` are
    (calendar days after the evaluation date, knocked in before that day) pairs.
    """
    days = grid.days
    per_sd, per_interval = note.pde_grid
    scalars, markets = _local_markets(scenarios, spots[0], evaluation_date, int(days[-1]))
    values, _, _, _, _ = _core.autocall_pde(
        days.tolist(), grid.ko_columns.tolist(), grid.ki_columns.tolist(),
        grid.coupons.tolist(), [float(s) for s in spots],
        [(float(r), float(q), float(v)) for r, q, v in scalars],
        [(int(d), bool(k)) for d, k in readings], strike=float(note.strike),
        ki_barrier=float(note.ki_barrier), ko_barrier=float(grid.ko_barrier),
        rule=cast(str, note.rule),  # every note class names its rule
        space_per_day_sd=per_sd, steps_per_interval=per_interval, markets=markets)
    return np.asarray(values, dtype=float).reshape(len(readings), len(scalars), len(spots))


def _local_markets(scenarios: Sequence[Scenario], spot: float, evaluation_date: pd.Timestamp,
                   last_day: int) -> tuple[Sequence[Any], list[LocalMarket]]:
    """Scalar scenarios and their local markets (an empty list when all are scalars).

    Curves and surfaces are sampled around ``spot``; when every sampled market is flat
    the scenarios become its scalars and are solved on the scalar path."""
    if not any(_local_vol.is_market(r, q, v) for r, q, v in scenarios):
        return scenarios, []
    sampled = _local_vol.sample_scenarios(scenarios, float(spot), evaluation_date, last_day)
    markets = [market for market, _ in sampled]
    flat = [_local_vol.flat_scalars(market) for market in markets]
    if all(flat):
        return flat, []
    return [f or (float(np.mean(m[0])), float(np.mean(m[1])), vol_scale)
            for f, (m, vol_scale) in zip(flat, sampled)], markets


def values(note: AutocallNote, spots: Sequence[float], r: RateLike, vol: VolLike, q: RateLike,
           evaluation_date: DateLike, knocked_in: bool) -> npt.NDArray[np.float64] | None:
    """Values at every spot from one solve, or None once the note has expired."""
    grid, today = note._grid(evaluation_date)
    if len(grid) == 0:
        return None
    return solve(note, grid, today, spots, [(r, q, vol)], [(0, knocked_in)])[0, 0]


def _has_next_day(note: AutocallNote, raw_today: pd.Timestamp) -> bool:
    """Whether theta values the next calendar day: more than one day is left."""
    return (note.maturity_date - raw_today).days > 1


def _separate_next_day(note: AutocallNote, grid: Grid, today: pd.Timestamp) -> bool:
    """A snowball's last knock-out date today: from tomorrow its non-touch coupon is paid
    at maturity rather than on that date, so tomorrow is a valuation of its own."""
    from ._autocall import UNREACHABLE

    if not (note.rule == "snowball" and grid.ko_barrier != UNREACHABLE
            and len(grid.ko_columns)):
        return False
    return bool(grid.days[grid.ko_columns[-1]] < 1)


def _readings(note: AutocallNote, grid: Grid, today: pd.Timestamp, raw_today: pd.Timestamp,
              knocked_in: bool, next_knocked_in: bool = False) -> list[tuple[int, bool]]:
    """The readings of the solve behind ``greeks`` and ``npv`` alike: today, and the next
    calendar day whenever theta reads it off the same solve.  The next day is a time stop
    of the grid, so ``npv`` places it too and steps as ``greeks`` does; the two values
    agree to about 1e-12, not to the bit (the moved volatility of ``greeks`` reaches a
    little further into the tails)."""
    readings = [(0, knocked_in)]
    if _has_next_day(note, raw_today) and not _separate_next_day(note, grid, today):
        readings.append((1, next_knocked_in))
    return readings


@overload
def value(note: AutocallNote, spot: float, r: RateLike, vol: VolLike, q: RateLike,
          evaluation_date: DateLike, knocked_in: bool,
          delta_and_gamma: Literal[False] = False) -> float: ...


@overload
def value(note: AutocallNote, spot: float, r: RateLike, vol: VolLike, q: RateLike,
          evaluation_date: DateLike, knocked_in: bool,
          delta_and_gamma: bool) -> float | tuple[float, float, float]: ...


def value(note: AutocallNote, spot: float, r: RateLike, vol: VolLike, q: RateLike,
          evaluation_date: DateLike, knocked_in: bool,
          delta_and_gamma: bool = False) -> float | tuple[float, float, float]:
    """The value (with ``delta_and_gamma`` the triple value, delta, gamma) from the solve
    ``greeks`` makes for its base scenario (the same space step and time stops), so that
    both give the same value to about 1e-12."""
    from ._autocall import _delta_gamma, _spots

    grid, today = note._grid(evaluation_date)
    if len(grid) == 0:
        return (0.0, 0.0, 0.0) if delta_and_gamma else 0.0
    raw_today = evaluation_timestamp(evaluation_date)
    out = solve(note, grid, today, _spots(spot, True), [(r, q, vol)],
                _readings(note, grid, today, raw_today, knocked_in))
    p0, delta, gamma = _delta_gamma(spot, out[0, 0])
    return (p0, delta, gamma) if delta_and_gamma else float(p0)


def greeks(note: AutocallNote, spot: float, r: RateLike, vol: VolLike, q: RateLike,
           evaluation_date: DateLike, knocked_in: bool) -> OptionGreeks:
    """``OptionGreeks`` after the history check (the note has not knocked out).

    Value, delta and gamma at the spot and its two moves of 0.5 %, vega from volatility
    moves of 0.01 (or half the volatility below 0.02, scaled to one point), rho from rate
    moves of 0.005, theta from the next calendar day after its own history check: all from
    one solve, with the arithmetic of the ``BaseOption`` operations.
    """
    from ._autocall import _delta_gamma, _spots

    grid, today = note._grid(evaluation_date)
    if len(grid) == 0:  # expired: nothing remains to be paid
        return OptionGreeks(0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    level = note.vol_read(vol, spot, evaluation_date)
    vol_bump = VOL_BUMP if level >= 2 * VOL_BUMP else level / 2
    # a surface is shifted and a curve spread in parallel (numbers move by the same amounts)
    scenarios = [(r, q, vol), (r, q, shift_vol(vol, vol_bump)), (r, q, shift_vol(vol, -vol_bump)),
                 (spread_rate(r, RATE_BUMP), q, vol), (spread_rate(r, -RATE_BUMP), q, vol)]
    # theta as BaseOption.theta: the next calendar day (after its own history check) minus
    # today, unless one day or less is left
    raw_today = evaluation_timestamp(evaluation_date)
    next_day = raw_today + ONE_DAY if _has_next_day(note, raw_today) else None
    next_knocked_out = next_knocked_in = False
    if next_day is not None:
        with unclosed_from(raw_today):  # today's close may not be stored yet
            next_knocked_out, next_knocked_in = note._observed_knocks(next_day)
    separate_next_day = _separate_next_day(note, grid, today)
    out = solve(note, grid, today, _spots(spot, True), scenarios,
                _readings(note, grid, today, raw_today, knocked_in, next_knocked_in))
    p0, delta, gamma = _delta_gamma(spot, out[0, 0])
    up, down = out[0, 1, 0], out[0, 2, 0]
    if vol_bump == VOL_BUMP:
        vega = (up - down) / 2
    else:
        vega = (up - down) / (2 * vol_bump) * VOL_BUMP
    rho = out[0, 4, 0] - out[0, 3, 0]
    if next_day is None:
        theta = 0.0
    elif next_knocked_out:
        theta = 0.0 - p0
    elif separate_next_day:
        tomorrow = values(note, [spot], r, vol, q, next_day, next_knocked_in)
        theta = (0.0 if tomorrow is None else tomorrow[0]) - p0
    else:
        theta = out[1, 0, 0] - p0
    return OptionGreeks(float(p0), float(delta), float(gamma), float(vega), float(theta),
                        float(rho))
