"""Reports on a valued book: positions in desk units, their sums per underlying and
scenario, and the ladder pictures."""

import math
import os
import re
from typing import Any

import numpy as np
import pandas as pd

from ._products import plain_gamma_products
from ._record import replace_atomically

# A position in one convention for every product (price units are the underlying's):
DESK_COLUMNS = (
    "position_npv",     # npv x quantity
    "position_npv_se",  # Monte Carlo standard error of position_npv: npv_se x |quantity|
    "position_delta",   # delta x quantity: units of the underlying
    "cash_delta",       # delta x spot x quantity: value change per 100% spot move, to first order
    "cash_gamma_1pct",  # d2V/dS2 x spot^2 / 100 x quantity: cash delta change per 1% spot move
    "vega_1vol",        # vega x quantity: value change per volatility point
    "theta_1day",       # theta x quantity: value change over one calendar day
    "rho_loss_1pt",     # rho x quantity: value lost when the rate rises one point
)


_SPOT_NAME = re.compile(r"spot ([+-]?\d+(?:\.\d+)?)%")
_VOL_NAME = re.compile(r"vol ([+-]?\d+(?:\.\d+)?)")


def desk_units(results: pd.DataFrame) -> pd.DataFrame:
    """The position of every row in desk units, as a frame of ``DESK_COLUMNS``.

    From the per-unit fields, the quantity and the row's spot: the value, delta, vega,
    theta and rho times the quantity, the cash delta delta x spot x quantity, and the
    1% cash gamma from the product's second derivative by the spot (its ``gamma``
    field, divided by the spot where the product scales it by the spot).
    """
    quantity = results["quantity"].astype(float)
    spot = results["spot"].astype(float)
    plain = results["product"].isin(plain_gamma_products())
    second = results["gamma"].where(plain, results["gamma"] / spot)
    se = results["npv_se"] if "npv_se" in results.columns else math.nan
    return pd.DataFrame({
        "position_npv": results["npv"] * quantity,
        "position_npv_se": se * quantity.abs(),
        "position_delta": results["delta"] * quantity,
        "cash_delta": results["delta"] * spot * quantity,
        "cash_gamma_1pct": second * spot**2 / 100.0 * quantity,
        "vega_1vol": results["vega"] * quantity,
        "theta_1day": results["theta"] * quantity,
        "rho_loss_1pt": results["rho"] * quantity,
    }, index=results.index)


def summarize(results: pd.DataFrame) -> pd.DataFrame:
    """Position sums per underlying and scenario, in desk units.

    The columns of ``DESK_COLUMNS``, each the sum over the rows (failed rows add
    nothing; a sum over no valued row is NaN), computed from the per-unit fields when
    ``results`` lacks them; ``trades`` counts the rows and ``failed`` those with an
    error.  Underlyings are sorted, a trade without one is listed under "(none)";
    scenarios keep their order.

    ``position_npv_se`` is the sum of the trades' standard errors, not their
    root-sum-square: the Monte Carlo trades of one underlying are valued on the same
    draws (the autocallables all on one pool, the asians with one seed), so their errors
    are not independent but strongly correlated, and the sum is the bound that holds
    whatever the correlation (exact when the errors move together, as on common draws).
    """
    missing = [c for c in ("underlying", "scenario", "quantity", "error", "product", "spot",
                           "npv", "delta", "gamma", "vega", "theta", "rho")
               if c not in results.columns]
    if missing:
        raise ValueError(f"results: missing column(s) {', '.join(missing)}")
    if all(c in results.columns for c in DESK_COLUMNS):
        desk = results[list(DESK_COLUMNS)]
    else:
        desk = desk_units(results)
    frame = pd.DataFrame({
        "underlying": results["underlying"].where(results["underlying"].notna(), "(none)")
        .astype(str),
        "scenario": pd.Categorical(results["scenario"],
                                   categories=pd.unique(results["scenario"])),
        "trades": 1,
        "failed": results["error"].notna().astype(int),
    })
    for column in DESK_COLUMNS:
        frame[column] = desk[column].astype(float)
    grouped = frame.groupby(["underlying", "scenario"], sort=True, observed=True)
    out = grouped[list(DESK_COLUMNS)].sum(min_count=1)
    out["trades"] = grouped["trades"].sum()
    out["failed"] = grouped["failed"].sum()
    out.index = out.index.set_levels(out.index.levels[1].astype(str), level=1)
    return out


def _shifts(results: pd.DataFrame) -> dict[str, tuple[float, float]]:
    """Scenario name -> (spot shift, volatility shift), from the run that made
    ``results`` (``results.attrs``) or else from names like the ladders' and "base"."""
    known = results.attrs.get("scenarios") if hasattr(results, "attrs") else None
    shifts: dict[str, tuple[float, float]] = {}
    for name in pd.unique(results["scenario"]):
        if known and name in known:
            spot_shift, vol_shift = (float(x) for x in known[name])
            shifts[name] = (spot_shift, vol_shift)
        elif name == "base":
            shifts[name] = (0.0, 0.0)
        else:
            spot = _SPOT_NAME.search(str(name))
            vol = _VOL_NAME.search(str(name))
            if spot or vol:
                shifts[name] = (float(spot.group(1)) / 100.0 if spot else 0.0,
                                float(vol.group(1)) / 100.0 if vol else 0.0)
    return shifts


def _grid(results: pd.DataFrame, shifts: dict[str, tuple[float, float]]
          ) -> tuple[list[float], list[float], np.ndarray] | None:
    """Book value change (position_npv summed over every underlying, against the scenario
    that moves nothing) on the full spot x vol grid, as (spot shifts, vol shifts, matrix),
    or None when the scenarios hold no such grid."""
    by_pair = {pair: name for name, pair in shifts.items()}
    spots = sorted({s for s, _ in by_pair})
    vols = sorted({v for _, v in by_pair})
    if ((0.0, 0.0) not in by_pair or not any(s and v for s, v in by_pair)
            or not all((s, v) in by_pair for s in spots for v in vols)):
        return None
    desk = desk_units(results) if "position_npv" not in results.columns else results
    total = desk["position_npv"].groupby(results["scenario"]).sum(min_count=1)
    base = total.get(by_pair[(0.0, 0.0)], math.nan)
    change = np.array([[total.get(by_pair[(s, v)], math.nan) - base for s in spots]
                       for v in vols])
    return spots, vols, change


def plot_ladder(results: pd.DataFrame,
                path: str | os.PathLike[str]) -> str | os.PathLike[str]:
    """Draw the ladders of a valued book into the PNG file ``path``.

    The spot ladder (scenarios that move only the spot) as two panels, the position
    value and the position delta against the spot shift in per cent; the volatility
    ladder (scenarios that move only the volatility) as the position value against the
    shift in volatility points; one line per underlying.  A spot x vol grid (every
    pair of its spot and volatility shifts, with the scenario that moves nothing) is
    drawn as a heat map of the book's value change.  The shifts are those of the run
    that made ``results`` (kept in ``results.attrs``), else read from the ladders'
    names.  Drawn with matplotlib's Agg canvas: no display is needed and pyplot's state
    is untouched.  The file is written whole or not at all.

    Raises
    ------
    ValueError
        When no scenario of ``results`` is a spot or volatility shift.
    ImportError
        When matplotlib is not installed (``pip install 'velmora[plot]'``).
    """
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError("plot_ladder needs matplotlib: pip install 'velmora[plot]'") from e
    shifts = _shifts(results)
    spot_only = {n: s for n, (s, v) in shifts.items() if v == 0.0}
    vol_only = {n: v for n, (s, v) in shifts.items() if s == 0.0}
    has_vol = any(v != 0.0 for v in vol_only.values())
    grid = _grid(results, shifts)
    if not spot_only and not has_vol:
        raise ValueError("the results hold no spot or volatility scenario to plot (no "
                         "'base' and no ladder)")
    panels = (["value", "delta"] if spot_only else []) + (["vol"] if has_vol else []) + \
        (["grid"] if grid else [])
    figure = Figure(figsize=(10, 3.75 * len(panels)), layout="constrained")
    FigureCanvasAgg(figure)
    axes: Any = figure.subplots(len(panels), 1, squeeze=False)[:, 0]  # then by panel
    axes = dict(zip(panels, axes))
    style = dict(marker="o", markersize=3, linewidth=1.2)

    def lines(ax: Any, chosen: dict[str, float], scale: float, column: str) -> None:
        table = summarize(results[results["scenario"].isin(list(chosen))]).reset_index()
        table["shift"] = table["scenario"].map(chosen) * scale
        underlyings = list(pd.unique(table["underlying"]))
        for underlying in underlyings:
            rows = table[table["underlying"] == underlying].sort_values("shift")
            ax.plot(rows["shift"], rows[column], label=underlying, **style)
        ax.axvline(0.0, color="0.7", linewidth=0.8)
        ax.grid(True, linewidth=0.4, alpha=0.6)
        if len(underlyings) <= 20:
            ax.legend(fontsize="small", ncols=max(1, math.ceil(len(underlyings) / 10)))

    if spot_only:
        lines(axes["value"], spot_only, 100.0, "position_npv")
        lines(axes["delta"], spot_only, 100.0, "position_delta")
        axes["value"].set_ylabel("position value (npv x quantity)")
        axes["delta"].set_ylabel("position delta (delta x quantity)")
        axes["delta"].set_xlabel("spot shift (%)")
        axes["value"].set_title("Book value and delta across the spot ladder")
    if has_vol:
        lines(axes["vol"], vol_only, 100.0, "position_npv")
        axes["vol"].set_ylabel("position value (npv x quantity)")
        axes["vol"].set_xlabel("volatility shift (vol points)")
        axes["vol"].set_title("Book value across the volatility ladder")
    if grid:
        spots, vols, change = grid
        ax = axes["grid"]
        image = ax.imshow(change, origin="lower", aspect="auto", cmap="RdYlGn",
                          extent=_extent([s * 100 for s in spots], [v * 100 for v in vols]))
        figure.colorbar(image, ax=ax, label="book value change")
        ax.set_xlabel("spot shift (%)")
        ax.set_ylabel("volatility shift (vol points)")
        ax.set_title("Book value change across the spot x volatility grid")
    replace_atomically(path, lambda tmp: figure.savefig(tmp, format="png", dpi=110))
    return path


def _extent(xs: list[float], ys: list[float]) -> tuple[float, float, float, float]:
    """Image extent placing each cell centred on its shift (even steps assumed)."""
    def edges(values: list[float]) -> tuple[float, float]:
        if len(values) == 1:
            return values[0] - 0.5, values[0] + 0.5
        step = (values[-1] - values[0]) / (len(values) - 1)
        return values[0] - step / 2, values[-1] + step / 2

    return (*edges(xs), *edges(ys))
