"""Curves and a volatility surface sampled for our own engines: rates and yields per
calendar day, and a local-volatility table by day and log spot.

The compiled engines (the autocallables' Monte Carlo and finite-difference solvers) count
whole calendar days from the valuation date, a year being 365 of them.  A curve becomes
its forward rate over each day, averaged over rows of ``ROW_DAYS`` days (see
``_Reads.forwards``): the engines' discount factors are the curve's own at every row's
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
on the curves' own dates.  The scenarios of one valuation (``sample_scenarios``) share the
table's rows and nodes, and every read of a curve or surface they have in common.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import QuantLib as ql

from ._dates import to_qldate
from ._market import is_curve, is_vol_surface, rate_handle, time_to, vol_handle
from ._quantlib import set_evaluation_date
from ._typing import DateLike, RateLike, VolLike
from .groundwork import QUANTLIB_LOCK

if TYPE_CHECKING:
    from ._core import LocalMarket

# The market inputs of one scenario: (r, q, vol).
Scenario: TypeAlias = tuple[RateLike, RateLike, VolLike]
_Floats: TypeAlias = npt.NDArray[np.float64]

ROW_DAYS = 14
NODES = 41
SPAN = 4.5
MIN_DY = 0.05  # the narrowest log-strike difference of the local vols
DENOM_FLOOR = 0.05  # below this the strike derivatives of Dupire's formula are untrusted


def is_market(r: RateLike, q: RateLike, vol: VolLike) -> bool:
    """True when any of the three is a curve or a surface (not all scalars)."""
    return is_curve(r) or is_curve(q) or is_vol_surface(vol)


def _row_starts(last_day: int, step: int) -> list[int]:
    return list(range(0, max(last_day, 1), step))


class _Reads:
    """The curve and surface reads of one valuation's scenarios, each made once.

    Scenarios that share a curve or a surface (the rate moves of rho keep the surface, the
    vol moves of vega keep the curves) share its reads: the discount factors at the row
    boundaries, and the surface's total variance there at the spot or on the log-strike
    nodes.
    """

    def __init__(self, qdate: ql.Date, spot: float, bounds: list[int]) -> None:
        self.qdate, self.spot, self.bounds = qdate, spot, bounds
        self.dates = [qdate + d for d in bounds]
        self._disc: dict[int, _Floats] = {}
        self._links: dict[int, tuple[Any, float, _Floats]] = {}
        self._var: dict[tuple[int, bytes, bytes], _Floats] = {}

    def discounts(self, x: RateLike) -> _Floats:
        """Discount factors to the row boundaries: the curve's own, or exp(-x t) for a
        continuously compounded number x."""
        key = id(x)
        if key not in self._disc:
            if is_curve(x):
                handle = rate_handle(x)
                self._disc[key] = np.array([handle.discount(d, True) for d in self.dates])
            else:
                self._disc[key] = np.exp(-float(x) * np.asarray(self.bounds) / 365.0)
        return self._disc[key]

    def forwards(self, x: RateLike, days: int) -> _Floats:
        """The forward rate over each day, averaged over each row: ln(D(a) / D(b)) x 365 /
        (b - a) on the row [a, b), from the discount factors at the row boundaries only; a
        number repeated."""
        if not is_curve(x):
            return np.full(days, float(x))
        disc = self.discounts(x)
        lengths = np.diff(self.bounds)
        return np.repeat(np.log(disc[:-1] / disc[1:]) * 365.0 / lengths, lengths)

    def surface(self, vol: VolLike) -> tuple[Any, float, _Floats]:
        """(the surface's term structure, its time to the valuation date, its times to the
        row boundaries, each not below zero)."""
        if id(vol) not in self._links:
            link = vol_handle(vol).currentLink()
            t_now = time_to(link, self.qdate)
            day_count, reference = link.dayCounter(), link.referenceDate()
            times = np.array([max(day_count.yearFraction(reference, d), 0.0)
                              for d in self.dates])
            self._links[id(vol)] = (link, t_now, times)
        return self._links[id(vol)]

    def variances(self, vol: VolLike, times: npt.ArrayLike, strikes: npt.ArrayLike) -> _Floats:
        """Total variance [time, strike] of the surface ``vol``, each distinct strike read
        once per time."""
        at_times = np.asarray(times, dtype=float)
        at_strikes = np.asarray(strikes, dtype=float)
        key = (id(vol), at_times.tobytes(), at_strikes.tobytes())
        if key not in self._var:
            link = self.surface(vol)[0]
            distinct, where = np.unique(at_strikes, return_inverse=True)
            grid = np.array([[link.blackVariance(t, k, True) for k in distinct.tolist()]
                             for t in at_times.tolist()])
            self._var[key] = grid.reshape(len(at_times), len(distinct))[:, where]
        return self._var[key]


def sample(r: RateLike, q: RateLike, vol: VolLike, spot: float, evaluation_date: DateLike,
           last_day: int, row_days: int = ROW_DAYS,
           nodes: int = NODES) -> tuple[LocalMarket, float]:
    """The local market of one valuation and the vol that stands for it on the grid.

    Returns ``((rate, yield, vol_days, x0, dx, nodes, vols), vol_scale)``: the tuple the
    engines take, and the vol read at the spot over the whole life (it sizes the grids).
    ``last_day`` is maturity in calendar days from ``evaluation_date``.
    """
    return sample_scenarios([(r, q, vol)], spot, evaluation_date, last_day, row_days,
                            nodes)[0]


def sample_scenarios(scenarios: Sequence[Scenario], spot: float, evaluation_date: DateLike,
                     last_day: int, row_days: int = ROW_DAYS,
                     nodes: int = NODES) -> list[tuple[LocalMarket, float]]:
    """``sample`` for each (r, q, vol) of ``scenarios``, on one layout: the same rows,
    and the same log-spot nodes, sized by the first scenario with a smile, so that the
    moved scenarios of the sensitivities read the curves and surfaces they share only
    once and differ only by their moves.
    """
    days = max(int(last_day), 1)
    # None holds the place of a scenario with a smile until its table is made below
    out: list[tuple[LocalMarket, float] | None] = []
    smiles: list[tuple[int, list[float], list[float], float, RateLike, RateLike, VolLike]] = []
    with QUANTLIB_LOCK:
        set_evaluation_date(evaluation_date)
        qdate = to_qldate(evaluation_date, "evaluation_date")
        starts = _row_starts(days, row_days)
        reads = _Reads(qdate, spot, starts + [days])
        for r, q, vol in scenarios:
            rate = reads.forwards(r, days).tolist()
            yld = reads.forwards(q, days).tolist()
            if not is_vol_surface(vol):
                rows = starts if is_curve(r) or is_curve(q) else [0]
                out.append(((rate, yld, rows, 0.0, 1.0, 1, [float(vol)] * len(rows)),
                            float(vol)))
                continue
            link, t_now, times = reads.surface(vol)
            ends = [max(t_now, 0.0), max(times[-1], 1e-8)]
            w_end = reads.variances(vol, ends, [spot])[:, 0]
            vol_scale = math.sqrt(max(w_end[1] - w_end[0], 1e-16) / (days / 365.0))
            if link.maxStrike() >= 1e300 or nodes == 1:
                # no smile: forward variance between row days at the spot
                w = reads.variances(vol, times, [spot])[:, 0]
                vols = np.sqrt(np.maximum(np.diff(w) * 365.0 / np.diff(reads.bounds), 1e-16))
                out.append(((rate, yld, starts, 0.0, 1.0, 1, vols.tolist()), vol_scale))
                continue
            out.append(None)  # the table comes below, with every scenario's at once
            smiles.append((len(out) - 1, rate, yld, vol_scale, r, q, vol))
        if smiles:
            vol_scale = smiles[0][3]
            half = SPAN * vol_scale * math.sqrt(days / 365.0)
            x0, dx = math.log(spot) - half, 2 * half / (nodes - 1)
            tables = _dupire_tables(reads, [(r, q, v) for *_, r, q, v in smiles], x0, dx,
                                    nodes)
            for (at, rate, yld, scale, *_), table in zip(smiles, tables):
                out[at] = ((rate, yld, starts, x0, dx, nodes, table.ravel().tolist()), scale)
    return cast("list[tuple[LocalMarket, float]]", out)  # every place is filled


def _dupire_tables(reads: _Reads, scenarios: Sequence[Scenario], x0: float, dx: float,
                   nodes: int) -> _Floats:
    """Local vols [scenario][row][node] of (r, q, vol) scenarios with a smile, from the
    total implied variance w(t, y) at log-moneyness y = ln(K / F(t)) (Dupire's formula
    in w).

    Each surface is read once per row boundary on the log-strike nodes (and a margin),
    and w at fixed moneyness is interpolated from those reads: dw/dt across the row, w in
    the row's middle as the mean of its two boundaries (variance is linear in time between
    them), dw/dy and d2w/dy2 by central differences over whole node steps at least MIN_DY
    wide, so that a surface interpolated linearly between its strikes is differentiated
    across its nodes rather than at its kinks.  Beyond its strikes the surface is held flat
    (QuantLib's variance surface would extend its variance linearly there, below zero far
    enough out).  Every scenario and row at once."""
    bounds = np.asarray(reads.bounds, dtype=float)
    m = max(1, math.ceil(MIN_DY / dx - 1e-9))
    dy = m * dx
    start = x0 - (m + 2) * dx
    size = nodes + 2 * m + 4
    w_reads: list[_Floats] = []
    logf_reads: list[_Floats] = []
    t0: list[float] = []
    for r, q, vol in scenarios:
        link, t_now, _ = reads.surface(vol)
        strikes = np.clip(np.exp(start + np.arange(size) * dx), link.minStrike(),
                          link.maxStrike())
        times = np.maximum(t_now + bounds / 365.0, 1e-8)
        w_reads.append(reads.variances(vol, times, strikes))
        logf_reads.append(np.log(reads.spot * reads.discounts(q) / reads.discounts(r)))
        t0.append(t_now)
    # [scenario, boundary, strike], [scenario, boundary]
    w, logf = np.array(w_reads), np.array(logf_reads)
    x = x0 + np.arange(nodes) * dx
    y = x - ((logf[:, :-1] + logf[:, 1:]) / 2)[:, :, None]  # the row's rates are constant

    flat = w.ravel()
    first = (np.arange(w.shape[0])[:, None] * w.shape[1] + np.arange(w.shape[1] - 1)) * size

    def at(z: _Floats, later: bool) -> _Floats:
        """w at log-moneyness z [scenario, row, node] on each row's first (or later)
        boundary: linear between the log-strike nodes, the end reads held beyond them."""
        rows = slice(1, None) if later else slice(None, -1)
        pos = np.clip((z + logf[:, rows, None] - start) / dx, 0.0, size - 1.0)
        i = np.minimum(pos.astype(np.int64), size - 2)
        u = pos - i
        i += (first + (size if later else 0))[:, :, None]
        return flat[i] * (1.0 - u) + flat[i + 1] * u

    dwdt = (at(y, True) - at(y, False)) * 365.0 / np.diff(bounds)[:, None]
    wm, wu, wd = ((at(z, False) + at(z, True)) / 2 for z in (y, y + dy, y - dy))
    with np.errstate(divide="ignore", invalid="ignore"):
        dwdy = (wu - wd) / (2 * dy)
        d2wdy2 = (wu - 2 * wm + wd) / (dy * dy)
        denom = (1 - y / wm * dwdy + 0.25 * (-0.25 - 1 / wm + y * y / (wm * wm)) * dwdy ** 2
                 + 0.5 * d2wdy2)
        var = np.where(denom > DENOM_FLOOR, dwdt / denom, np.nan)
    # an arbitrage in the surface (negative local variance): the point's own Black vol
    mid = (bounds[:-1] + bounds[1:]) / 2 / 365.0
    black = wm / np.maximum(np.asarray(t0)[:, None] + mid, 1e-8)[:, :, None]
    var = np.where(np.isfinite(var) & (var > 0.0), var, black)
    return np.sqrt(var)


def flat_scalars(market: LocalMarket) -> tuple[float, ...] | None:
    """(r, q, vol) when the sampled market is flat (to 1e-12 relative), else None.

    A flat curve and a constant vol are then valued on the scalar paths of the engines,
    at their numbers to 13 significant digits."""
    rate, yld, _, _, _, _, vols = market

    def flat(values: Sequence[float]) -> bool:
        a = np.asarray(values, dtype=float)
        return float(np.ptp(a)) <= 1e-12 * max(1.0, float(np.max(np.abs(a))))

    if flat(rate) and flat(yld) and flat(vols):
        # read back from discount factors and variances the numbers carry rounding of
        # about 1e-15; 13 significant digits give back the number the curve was built with
        return tuple(float(f"{float(np.mean(a)):.13g}") for a in (rate, yld, vols))
    return None
