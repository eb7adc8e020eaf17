"""Curves and a volatility surface sampled for our own engines: rates and yields per
calendar day, and a local-volatility table by day and log spot.

The compiled engines (the autocallables' Monte Carlo and finite-difference solvers) count
whole calendar days from the valuation date, a year being 365 of them.  A curve becomes
its forward rate over each day, averaged over rows of ``ROW_DAYS`` days (see
``_row_forwards``): the engines' discount factors are the curve's own at every row's
first day and at maturity, and the finite-difference solver factorises once per row.
A volatility surface becomes:

- without a smile (a constant vol or a term structure of vols): one vol per row, the
  forward volatility between the row's first day and the next row's, so that the total
  variance at every row day is the surface's (at the spot: the surface has no strike
  dependence);
- with a smile: the local volatility of Dupire (in total implied variance against
  log-moneyness, with the forward of the same curves), on a coarse table (the rows, read
  at their middle; ``NODES`` log-spot nodes spanning ``SPAN`` standard deviations of the
  life around the spot), interpolated linearly in log spot by the engine and held flat
  beyond the nodes.  Where Dupire's formula fails (a surface whose calendar or butterfly
  arbitrage makes the local variance negative) the Black vol of that point is used.
  QuantLib's ``LocalVolSurface`` is not used: it differentiates in strike over a step of
  1e-4 of the strike, which on a surface interpolated linearly between strikes reads the
  kinks at the nodes (zero or infinite curvature) instead of the smile.

The table is a function of the level, built once per valuation around the spot: delta and
gamma move the spot with the table fixed (the surface is sticky in strike), vega shifts the
whole surface (and rebuilds the table), rho spreads the curve; theta values the next day
on the curves' own dates.
"""

import math

import numpy as np

from ._market import is_curve, is_vol_surface, rate_handle, time_to, vol_handle
from .groundwork import QUANTLIB_LOCK
from .utils import set_evaluation_date, to_qldate

ROW_DAYS = 14
NODES = 41
SPAN = 4.5
MIN_DY = 0.05  # the narrowest log-strike difference of the local vols
DENOM_FLOOR = 0.05  # below this the strike derivatives of Dupire's formula are untrusted


def is_market(r, q, vol):
    """True when any of the three is a curve or a surface (not all scalars)."""
    return is_curve(r) or is_curve(q) or is_vol_surface(vol)


def _row_forwards(x, qdate, days, starts):
    """The forward rate over each of ``days`` days from ``qdate``, averaged over each row
    of ``starts``: ln(D(a) / D(b)) x 365 / (b - a) on the row [a, b), from the curve's
    discount factors at the row boundaries only; a scalar repeated."""
    if not is_curve(x):
        return np.full(days, float(x))
    handle = rate_handle(x)
    bounds = list(starts) + [days]
    disc = [handle.discount(qdate + d, True) for d in bounds]
    out = np.empty(days)
    for k, (a, b) in enumerate(zip(bounds, bounds[1:])):
        out[a:b] = math.log(disc[k] / disc[k + 1]) * 365.0 / (b - a)
    return out


def _row_starts(last_day, step):
    return list(range(0, max(last_day, 1), step))


def sample(r, q, vol, spot, evaluation_date, last_day, row_days=ROW_DAYS, nodes=NODES):
    """The local market of one valuation and the vol that stands for it on the grid.

    Returns ``((rate, yield, vol_days, x0, dx, nodes, vols), vol_scale)``: the tuple the
    engines take, and the vol read at the spot over the whole life (it sizes the grids).
    ``last_day`` is maturity in calendar days from ``evaluation_date``.
    """
    days = max(int(last_day), 1)
    with QUANTLIB_LOCK:
        set_evaluation_date(evaluation_date)
        qdate = to_qldate(evaluation_date, "evaluation_date")
        starts = _row_starts(days, row_days)
        rate = _row_forwards(r, qdate, days, starts)
        yld = _row_forwards(q, qdate, days, starts)
        if not is_vol_surface(vol):
            if not (is_curve(r) or is_curve(q)):
                starts = [0]
            return ((rate.tolist(), yld.tolist(), starts, 0.0, 1.0, 1,
                     [float(vol)] * len(starts)), float(vol))
        surface = vol_handle(vol)
        link = surface.currentLink()
        t_end = max(time_to(surface, qdate + days), 1e-8)
        t_now = time_to(surface, qdate)
        vol_scale = math.sqrt(max(link.blackVariance(t_end, spot, True)
                                  - link.blackVariance(max(t_now, 0.0), spot, True), 1e-16)
                              / (days / 365.0))
        if link.maxStrike() >= 1e300 or nodes == 1:
            # no smile: forward variance between row days at the spot
            bounds = starts + [days]
            w = [link.blackVariance(max(time_to(surface, qdate + d), 0.0), spot, True)
                 for d in bounds]
            vols = [math.sqrt(max((w[k + 1] - w[k]) * 365.0 / (bounds[k + 1] - bounds[k]),
                                  1e-16)) for k in range(len(starts))]
            return (rate.tolist(), yld.tolist(), starts, 0.0, 1.0, 1, vols), vol_scale
        half = SPAN * vol_scale * math.sqrt(days / 365.0)
        x0 = math.log(spot) - half
        dx = 2 * half / (nodes - 1)
        table = _dupire_table(link, rate_handle(r), rate_handle(q), spot, qdate, starts, days,
                              x0, dx, nodes)
        return (rate.tolist(), yld.tolist(), starts, x0, dx, nodes, table), vol_scale


def _dupire_table(surface, rates, yields, spot, qdate, starts, days, x0, dx, nodes):
    """Local vols [row][node] from the total implied variance w(t, y) at log-moneyness
    y = ln(K / F(t)) (Dupire's formula in w).

    The surface is read once per row boundary on the log-strike nodes (and a margin), and
    w at fixed moneyness is interpolated from those reads: dw/dt across the row, w in
    the row's middle as the mean of its two boundaries (variance is linear in time between
    them), dw/dy and d2w/dy2 by central differences over whole node steps at least MIN_DY
    wide, so that a surface interpolated linearly between its strikes is differentiated
    across its nodes rather than at its kinks.  Beyond its strikes the surface is held flat
    (QuantLib's variance surface would extend its variance linearly there, below zero far
    enough out)."""
    t0 = surface.timeFromReference(qdate)
    k_lo, k_hi = surface.minStrike(), surface.maxStrike()
    m = max(1, math.ceil(MIN_DY / dx - 1e-9))
    dy = m * dx
    xs = np.arange(-m - 2, nodes + m + 2) * dx + x0
    strikes = np.clip(np.exp(xs), k_lo, k_hi).tolist()
    bounds = list(starts) + [days]
    reads, logf = [], []
    for day in bounds:
        t = max(t0 + day / 365.0, 1e-8)
        reads.append(np.array([surface.blackVariance(t, k, True) for k in strikes]))
        date = qdate + int(day)
        logf.append(math.log(spot * yields.discount(date, True) / rates.discount(date, True)))
    x = x0 + np.arange(nodes) * dx
    table = []
    for k in range(len(starts)):
        a, b = bounds[k], bounds[k + 1]
        f_mid = (logf[k] + logf[k + 1]) / 2  # the row's rates are constant

        def at(y, j):
            return np.interp(y + logf[j], xs, reads[j])

        y = x - f_mid
        dwdt = (at(y, k + 1) - at(y, k)) * 365.0 / (b - a)
        wm, wu, wd = ((at(z, k) + at(z, k + 1)) / 2 for z in (y, y + dy, y - dy))
        with np.errstate(divide="ignore", invalid="ignore"):
            dwdy = (wu - wd) / (2 * dy)
            d2wdy2 = (wu - 2 * wm + wd) / (dy * dy)
            denom = (1 - y / wm * dwdy + 0.25 * (-0.25 - 1 / wm + y * y / (wm * wm)) * dwdy ** 2
                     + 0.5 * d2wdy2)
            var = np.where(denom > DENOM_FLOOR, dwdt / denom, np.nan)
        # an arbitrage in the surface (negative local variance): the point's own Black vol
        black = wm / max(t0 + (a + b) / 2 / 365.0, 1e-8)
        var = np.where(np.isfinite(var) & (var > 0.0), var, black)
        table.extend(np.sqrt(var).tolist())
    return table


def flat_scalars(market):
    """(r, q, vol) when the sampled market is flat (to 1e-12 relative), else None.

    A flat curve and a constant vol are then valued on the scalar paths of the engines,
    at their numbers to 13 significant digits."""
    rate, yld, _, _, _, _, vols = market

    def flat(a):
        a = np.asarray(a, dtype=float)
        return float(np.ptp(a)) <= 1e-12 * max(1.0, float(np.max(np.abs(a))))

    if flat(rate) and flat(yld) and flat(vols):
        # read back from discount factors and variances the numbers carry rounding of
        # about 1e-15; 13 significant digits give back the number the curve was built with
        return tuple(float(f"{float(np.mean(a)):.13g}") for a in (rate, yld, vols))
    return None
