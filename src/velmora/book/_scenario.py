"""Scenarios of a book valuation: instant shocks of spot and volatility."""

import math
from collections.abc import Iterable
from dataclasses import dataclass


@dataclass(frozen=True)
class Scenario:
    """An instant shock of the market inputs.

    The spot is multiplied by ``1 + spot_shift`` and ``vol_shift`` is added to the
    volatility.  The price history a product reads (knocks, touches, fixings) is the
    same in every scenario: only today's inputs move.
    """

    name: str
    spot_shift: float = 0.0
    vol_shift: float = 0.0

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name:
            raise ValueError(f"a scenario needs a non-empty name, got {self.name!r}")
        for field in ("spot_shift", "vol_shift"):
            value = getattr(self, field)
            if isinstance(value, bool) or not isinstance(value, (int, float)) \
                    or not math.isfinite(value):
                raise ValueError(f"scenario {self.name!r}: {field} must be a finite number, "
                                 f"got {value!r}")
            object.__setattr__(self, field, float(value))
        if self.spot_shift <= -1.0:
            raise ValueError(f"scenario {self.name!r}: a spot shift of {self.spot_shift} "
                             f"leaves no positive spot")

    def spot(self, spot: float) -> float:
        """The shocked spot."""
        return spot * (1.0 + self.spot_shift)

    def vol(self, vol: float) -> float:
        """The shocked volatility."""
        return vol + self.vol_shift


BASE = Scenario("base")

# The most points one ladder may have: every point revalues the whole book, and a desk's
# ladders have a few dozen at most.
MAX_LADDER_POINTS = 1001


def _even(lo: float, hi: float, n: int, what: str) -> list[float]:
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError(f"a {what} ladder needs a whole number of points n >= 1, got {n!r}")
    if n > MAX_LADDER_POINTS:
        raise ValueError(f"a {what} ladder of {n} points is beyond the most allowed, "
                         f"{MAX_LADDER_POINTS}")
    lo, hi = float(lo), float(hi)
    if not (math.isfinite(lo) and math.isfinite(hi)) or hi < lo:
        raise ValueError(f"a {what} ladder needs finite bounds with lo <= hi, got {lo}, {hi}")
    if n == 1:
        if lo != hi:
            raise ValueError(f"a {what} ladder of one point needs lo == hi, got {lo}, {hi}")
        return [lo]
    step = (hi - lo) / (n - 1)
    # the ends exactly as given; the inner points evenly between them
    return [lo] + [lo + k * step for k in range(1, n - 1)] + [hi]


def _names(prefix: str, values: list[float], scale: float, suffix: str,
           digits: int) -> list[str]:
    """Readable, distinct names: as few decimals as keep the points apart."""
    for d in range(digits, 10):
        names = [f"{prefix} {v * scale + 0.0:+.{d}f}{suffix}" for v in values]
        if len(set(names)) == len(names):
            return names
    raise ValueError(f"{prefix} ladder points too close together to name apart")


def spot_ladder(lo: float, hi: float, n: int) -> list[Scenario]:
    """``n`` scenarios with spot shifts evenly spaced from ``lo`` to ``hi`` (fractions).

    ``spot_ladder(-0.1, 0.1, 5)`` gives "spot -10%", "spot -5%", "spot +0%",
    "spot +5%", "spot +10%"; the volatility is not moved.
    """
    shifts = _even(lo, hi, n, "spot")
    names = _names("spot", shifts, 100.0, "%", 0)
    return [Scenario(name, spot_shift=s) for name, s in zip(names, shifts)]


def vol_ladder(lo: float, hi: float, n: int) -> list[Scenario]:
    """``n`` scenarios with volatility shifts evenly spaced from ``lo`` to ``hi``.

    Shifts are decimals added to the volatility; names give them in volatility points:
    ``vol_ladder(-0.02, 0.02, 3)`` gives "vol -2.0", "vol +0.0", "vol +2.0".
    """
    shifts = _even(lo, hi, n, "vol")
    names = _names("vol", shifts, 100.0, "", 1)
    return [Scenario(name, vol_shift=s) for name, s in zip(names, shifts)]


def spot_vol_grid(spot_scenarios: Iterable[Scenario],
                  vol_scenarios: Iterable[Scenario]) -> list[Scenario]:
    """Every spot shift of ``spot_scenarios`` with every volatility shift of
    ``vol_scenarios``: a scenario per pair, named "spot +5% vol -2.0".

    The two lists are ladders (``spot_ladder`` and ``vol_ladder``); the grid has
    ``len(spot_scenarios) * len(vol_scenarios)`` scenarios, at most
    ``MAX_LADDER_POINTS`` of them.
    """
    spots, vols = list(spot_scenarios), list(vol_scenarios)
    if len(spots) * len(vols) > MAX_LADDER_POINTS:
        raise ValueError(f"a grid of {len(spots)} x {len(vols)} scenarios "
                         f"is beyond the most allowed, {MAX_LADDER_POINTS}")
    return [Scenario(f"{s.name} {v.name}", spot_shift=s.spot_shift, vol_shift=v.vol_shift)
            for s in spots for v in vols]
