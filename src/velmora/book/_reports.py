"""Reports on a valued book: position sums per underlying and scenario, ladder picture."""

import math
import os
import re

import pandas as pd

SUMMED = ("npv", "delta", "gamma", "vega")
_SPOT_NAME = re.compile(r"spot ([+-]?\d+(?:\.\d+)?)%")


def summarize(results: pd.DataFrame) -> pd.DataFrame:
    """Position sums per underlying and scenario.

    ``npv``, ``delta``, ``gamma`` and ``vega`` are the sums of the rows' values times
    their ``quantity`` (failed rows add nothing; a sum over no valued row is NaN);
    ``trades`` counts the rows and ``failed`` those with an error.  Gamma is added as
    each product reports it (the autocallables' gamma is not scaled by the spot).
    Underlyings are sorted, a trade without one is listed under "(none)"; scenarios
    keep their order.
    """
    missing = [c for c in ("underlying", "scenario", "quantity", "error", *SUMMED)
               if c not in results.columns]
    if missing:
        raise ValueError(f"results: missing column(s) {', '.join(missing)}")
    frame = pd.DataFrame({
        "underlying": results["underlying"].where(results["underlying"].notna(), "(none)")
        .astype(str),
        "scenario": pd.Categorical(results["scenario"],
                                   categories=pd.unique(results["scenario"])),
        "trades": 1,
        "failed": results["error"].notna().astype(int),
    })
    for column in SUMMED:
        frame[column] = results[column].astype(float) * results["quantity"].astype(float)
    grouped = frame.groupby(["underlying", "scenario"], sort=True, observed=True)
    out = grouped[list(SUMMED)].sum(min_count=1)
    out["trades"] = grouped["trades"].sum()
    out["failed"] = grouped["failed"].sum()
    out.index = out.index.set_levels(out.index.levels[1].astype(str), level=1)
    return out


def _spot_shifts(results):
    """Scenario name -> spot shift for the scenarios that move the spot only."""
    known = results.attrs.get("scenarios") if hasattr(results, "attrs") else None
    shifts = {}
    for name in pd.unique(results["scenario"]):
        if known and name in known:
            spot_shift, vol_shift = known[name]
            if vol_shift == 0.0:
                shifts[name] = spot_shift
        elif name == "base":
            shifts[name] = 0.0
        else:
            match = _SPOT_NAME.fullmatch(str(name))
            if match:
                shifts[name] = float(match.group(1)) / 100.0
    return shifts


def plot_ladder(results: pd.DataFrame,
                path: str | os.PathLike[str]) -> str | os.PathLike[str]:
    """Draw the spot ladder of a valued book into the PNG file ``path``.

    Two panels, the position value (sum of npv times quantity) and the position delta
    against the spot shift in per cent, one line per underlying.  The scenarios placed
    are those that move only the spot: the ones of the run that made ``results`` (kept
    in ``results.attrs``), else those named like ``spot_ladder``'s and "base".  Drawn
    with matplotlib's Agg canvas: no display is needed and pyplot's state is untouched.

    Raises
    ------
    ValueError
        When no scenario of ``results`` is a spot shift.
    ImportError
        When matplotlib is not installed (``pip install 'velmora[plot]'``).
    """
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError("plot_ladder needs matplotlib: pip install 'velmora[plot]'") from e
    shifts = _spot_shifts(results)
    if not shifts:
        raise ValueError("the results hold no spot scenario to plot (no 'base' and no "
                         "spot ladder)")
    table = summarize(results[results["scenario"].isin(list(shifts))]).reset_index()
    table["shift"] = table["scenario"].map(shifts) * 100.0
    figure = Figure(figsize=(10, 7.5), layout="constrained")
    FigureCanvasAgg(figure)
    value_axes, delta_axes = figure.subplots(2, 1, sharex=True)
    underlyings = list(pd.unique(table["underlying"]))
    for underlying in underlyings:
        rows = table[table["underlying"] == underlying].sort_values("shift")
        style = dict(marker="o", markersize=3, linewidth=1.2)
        value_axes.plot(rows["shift"], rows["npv"], label=underlying, **style)
        delta_axes.plot(rows["shift"], rows["delta"], label=underlying, **style)
    value_axes.set_ylabel("position value (npv x quantity)")
    delta_axes.set_ylabel("position delta (delta x quantity)")
    delta_axes.set_xlabel("spot shift (%)")
    value_axes.set_title("Book value and delta across the spot ladder")
    for axes in (value_axes, delta_axes):
        axes.axvline(0.0, color="0.7", linewidth=0.8)
        axes.grid(True, linewidth=0.4, alpha=0.6)
    if len(underlyings) <= 20:
        value_axes.legend(fontsize="small", ncols=max(1, math.ceil(len(underlyings) / 10)))
    figure.savefig(path, format="png", dpi=110)
    return path
