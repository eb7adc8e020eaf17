"""Phoenix autocallable note, valued by Monte Carlo simulation.

A phoenix pays, on every knock-out observation date on which the underlying closes at
or above the knock-in barrier, the coupon of the period ending that day, up to and
including the date on which it knocks out (strictly above the knock-out barrier).  A
path that knocked in (strictly below the knock-in barrier on a knock-in date) and never
knocked out bears min(S_T - strike, 0) at maturity.  The value is the present value of
the coupons plus that of the loss, for one unit of the underlying, without the
principal and without ``notional``.
"""

import numpy as np
import pandas as pd

from . import _autocall
from .groundwork import BaseOption


class PhoenixOption(BaseOption):
    """Phoenix note on one underlying.

    Parameters
    ----------
    option : mapping
        The same keys as ``velmora.snowball.SnowBallOption``.

    Notes
    -----
    ``coupon`` is a pandas Series indexed by the knock-out dates d_k: the coupon of the
    k-th period, s0 * coupon_rate * D_k / 365, where D_0 counts the calendar days from
    ``effect_date`` (not ``obs_start_date``) to d_0 and D_k those from d_(k-1) to d_k.

    Simulation, sensitivities and the open cases are those of the snowball; with no
    knock-out date left every coupon has been paid, the coupon part is 0 and only the
    loss counts.  An observation date before the effect date (which would give the
    first period a negative length) raises ``ValueError`` naming the date.

    Raises
    ------
    IndexError
        From the constructor when the knock-out schedule is empty: the first period's
        coupon needs a first knock-out date.
    """

    uses_quantlib = False  # runs outside QUANTLIB_LOCK

    def __init__(self, option):
        BaseOption.__init__(self, option)
        _autocall.read_terms(self, option)
        ko = self.ko_obs_dates
        if len(ko) == 0:
            raise IndexError(
                f"no knock-out observation date from {self.obs_start_date.date()} to "
                f"{self.obs_end_date.date()} ({self.ko_obs_freq!r}): a phoenix needs one")
        # Amounts are computed before the Series is built: with copy-on-write, pandas
        # may hand out a read-only view of a Series' values.
        days = np.empty(len(ko), dtype=np.int64)
        days[0] = (ko[0] - self.effect_date).days
        days[1:] = (ko[1:] - ko[:-1]).days
        self.coupon = pd.Series(self.s0 * self.coupon_rate * days / 365, index=ko)

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value after the history check: 0.0 once a knock-out has been observed."""
        return _autocall.npv(self, spot, r, vol, q, evaluation_date)

    def _npv(self, spot, r, vol, q, evaluation_date, knocked_in=False, delta_and_gamma=False):
        """Simulated value; with ``delta_and_gamma`` the triple (value, delta, gamma)."""
        return _autocall.simulate(self, "phoenix", spot, r, vol, q, evaluation_date,
                                  knocked_in, delta_and_gamma)

    def _mc_pricing(self, paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                    knocked_in=False):
        """Value of the note on given paths (ratios to ``spot``), averaged over rows.

        Every remaining knock-out date on which the path is at or above
        ``ki_barrier / spot`` pays its coupon, up to and including the first date on
        which the path is strictly above ``ko_barrier / spot``.
        """
        return _autocall.value_paths(self, "phoenix", paths, spot, ki_ob_indexes,
                                     ko_ob_indexes, discount, coupon, knocked_in)

    def greeks(self, spot, r, vol, q, evaluation_date=None):
        """``OptionGreeks``; gamma is the plain second derivative, not scaled by spot.

        All valuations (spot moves, volatility and rate bumps, the next calendar day) come
        from one pass over the normal pool, with the same bits as valuing them one by one
        (``velmora._autocall.separate_greeks``).
        """
        return _autocall.greeks(self, "phoenix", spot, r, vol, q, evaluation_date)

    def spot_ladder(self, spots, r, vol, q, evaluation_date=None):
        """Values at every spot of ``spots``, as a numpy array, from one simulation.

        The same to the bit as ``[self.npv(s, r, vol, q, evaluation_date) for s in
        spots]``; 0.0 everywhere once a knock-out has been observed.
        """
        return _autocall.spot_ladder(self, "phoenix", spots, r, vol, q, evaluation_date)
