"""Snowball autocallable note, valued by Monte Carlo simulation.

A snowball pays the holder the coupon accrued from the observation start to the first
knock-out observation date on which the underlying closes strictly above the knock-out
barrier, and ends there.  A path that never knocks out and never closes strictly below
the knock-in barrier on a knock-in date earns the coupon of the last knock-out date.
A path that knocked in and never knocked out bears the fall below the strike at
maturity, min(S_T - strike, 0).  The value is the present value of the coupons plus
that of the loss, for one unit of the underlying, without the principal and without
``notional``.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ._autocall import AutocallNote


class SnowBallOption(AutocallNote):
    """Snowball note on one underlying.

    Parameters
    ----------
    option : mapping
        The common keys of ``BaseOption`` and ``strike``, ``ki_barrier``,
        ``ko_barrier`` (price levels, not fractions of ``s0``), ``coupon_rate``
        (annual, decimal), ``ki_obs_freq``, ``ko_obs_freq`` (frequencies of
        ``velmora.utils.get_obs_dates``), ``obs_start_date`` and ``obs_end_date``.

    Notes
    -----
    ``coupon`` is a pandas Series indexed by the knock-out dates d: s0 * coupon_rate *
    (d - obs_start_date).days / 365, the coupon accrued since the observation start.

    Path valuation (``_mc_pricing``): only the first knock-out date on which the path is
    strictly above ``ko_barrier / spot`` pays, its own coupon; knock-in is strictly below
    ``ki_barrier / spot`` on the knock-in columns.

    Simulation: geometric Brownian motion with drift r - q on the trading days from the
    evaluation date to maturity, with step lengths in calendar days / 365, driven by the
    fixed normal pool of ``velmora.normdraw`` (looked up at call time).  Delta and gamma
    revalue the same paths with the spot moved by +-0.5 %.  ``greeks`` values all its
    scenarios in one pass over the pool, and ``spot_ladder(spots, r, vol, q,
    evaluation_date=None)`` a list of spots, with the same bits as the separate
    valuations.

    Open cases, decided here:

    * no knock-out date left on or after the evaluation date (the last one fell before
      maturity): nothing can knock out any more, and a path that has not knocked in
      still earns the coupon of the last knock-out date, paid at maturity; a path that
      knocked in bears the loss at maturity.  So the value does not fall off a cliff
      the day after the last knock-out date;
    * an observation date before the effect date: ``ValueError`` naming the date;
    * an observation date on which the stock has no close (suspended): nothing is
      observed that day, neither knock-in nor knock-out;
    * no knock-in date left and no knock-in observed: no path can knock in, so no loss;
    * evaluation date after maturity (no trading day left): the note has expired, the
      value, delta and gamma are 0.0;
    * no closes from the client: ``ValueError`` naming the underlying and the dates;
    * a knock-out or knock-in date after the maturity date: ``ValueError``;
    * a maturity more than 500 trading days ahead: ``ValueError`` "steps overflow".

    Tested against a plain whole-tensor valuation of the same pool and grid, and on
    hand-made paths for every observation rule.
    """

    rule = "snowball"

    def _coupon_days(self) -> npt.NDArray[np.int64]:
        """Days from the observation start to each knock-out date."""
        return (self.ko_obs_dates - self.obs_start_date).days.to_numpy()
