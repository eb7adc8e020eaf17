"""Phoenix autocallable note, valued by Monte Carlo simulation.

A phoenix pays, on every knock-out observation date on which the underlying closes at
or above the knock-in barrier, the coupon of the period ending that day, up to and
including the date on which it knocks out (strictly above the knock-out barrier).  A
path that knocked in (strictly below the knock-in barrier on a knock-in date) and never
knocked out bears min(S_T - strike, 0) at maturity.  The value is the present value of
the coupons plus that of the loss, for one unit of the underlying, without the
principal and without ``notional``.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ._autocall import AutocallNote


class PhoenixOption(AutocallNote):
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

    Path valuation (``_mc_pricing``): every remaining knock-out date on which the path
    is at or above ``ki_barrier / spot`` pays its coupon, up to and including the first
    date on which the path is strictly above ``ko_barrier / spot``.

    Simulation, sensitivities, ``spot_ladder`` and the open cases are those of the
    snowball; with no knock-out date left every coupon has been paid, the coupon part is
    0 and only the loss counts.  An observation date before the effect date (which would
    give the first period a negative length) raises ``ValueError`` naming the date.

    Raises
    ------
    IndexError
        From the constructor when the knock-out schedule is empty: the first period's
        coupon needs a first knock-out date.
    """

    rule = "phoenix"

    def _coupon_days(self) -> npt.NDArray[np.int64]:
        """Days of each coupon period; the first one starts at the effect date."""
        ko = self.ko_obs_dates
        if len(ko) == 0:
            raise IndexError(
                f"no knock-out observation date from {self.obs_start_date.date()} to "
                f"{self.obs_end_date.date()} ({self.ko_obs_freq!r}): a phoenix needs one")
        days = np.empty(len(ko), dtype=np.int64)
        days[0] = (ko[0] - self.effect_date).days
        days[1:] = (ko[1:] - ko[:-1]).days
        return days
