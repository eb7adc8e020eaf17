"""Building and moving the market inputs that stand beside the scalars.

``vol_surface`` builds a Black volatility surface from a grid of vols that the
sensitivities can shift exactly; ``spread_rate`` and ``shift_vol`` move a curve or
a surface in parallel as ``rho`` and ``vega`` do; ``is_curve`` and
``is_vol_surface`` tell them from the scalars.
"""

from ._market import is_curve, is_vol_surface, shift_vol, spread_rate, vol_level, vol_surface

__all__ = ["is_curve", "is_vol_surface", "shift_vol", "spread_rate", "vol_level", "vol_surface"]
