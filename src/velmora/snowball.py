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

import pandas as pd

from . import _autocall
from .groundwork import BaseOption


class SnowBallOption(BaseOption):
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

    Simulation: geometric Brownian motion with drift r - q on the trading days from the
    evaluation date to maturity, with step lengths in calendar days / 365, driven by the
    fixed normal pool of ``velmora.normdraw`` (looked up at call time).  Delta and gamma
    revalue the same paths with the spot moved by +-0.5 %.

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

    uses_quantlib = False  # runs outside QUANTLIB_LOCK

    def __init__(self, option):
        BaseOption.__init__(self, option)
        _autocall.read_terms(self, option)
        days = (self.ko_obs_dates - self.obs_start_date).days.to_numpy()
        self.coupon = pd.Series(self.s0 * self.coupon_rate * days / 365,
                                index=self.ko_obs_dates)

    def _mc_pricing(self, paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                    knocked_in=False):
        """Value of the note on given paths (ratios to ``spot``), averaged over rows.

        ``ko_ob_indexes`` are the columns of the remaining knock-out dates in date order,
        ``coupon`` their coupon amounts, ``discount`` one factor per column.  Only the
        first knock-out date pays; knock-out is strictly above ``ko_barrier / spot``,
        knock-in strictly below ``ki_barrier / spot`` on the ``ki_ob_indexes`` columns.
        """
        return _autocall.value_paths(self, "snowball", paths, spot, ki_ob_indexes,
                                     ko_ob_indexes, discount, coupon, knocked_in)

    def _npv(self, spot, r, vol, q, evaluation_date, knocked_in=False, delta_and_gamma=False):
        """Simulated value; with ``delta_and_gamma`` the triple (value, delta, gamma)."""
        return _autocall.simulate(self, "snowball", spot, r, vol, q, evaluation_date,
                                  knocked_in, delta_and_gamma)

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value after the history check: 0.0 once a knock-out has been observed."""
        return _autocall.npv(self, spot, r, vol, q, evaluation_date)

    def greeks(self, spot, r, vol, q, evaluation_date=None):
        """``OptionGreeks``; gamma is the plain second derivative, not scaled by spot.

        All valuations (spot moves, volatility and rate bumps, the next calendar day) come
        from one pass over the normal pool, with the same bits as valuing them one by one
        (``velmora._autocall.separate_greeks``).
        """
        return _autocall.greeks(self, "snowball", spot, r, vol, q, evaluation_date)

    def spot_ladder(self, spots, r, vol, q, evaluation_date=None):
        """Values at every spot of ``spots``, as a numpy array, from one simulation.

        The same to the bit as ``[self.npv(s, r, vol, q, evaluation_date) for s in
        spots]``; 0.0 everywhere once a knock-out has been observed.
        """
        return _autocall.spot_ladder(self, "snowball", spots, r, vol, q, evaluation_date)
