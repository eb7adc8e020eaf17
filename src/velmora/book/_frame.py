"""The results frame: one row per trade and scenario, in the trades' order and then the
scenarios' order."""

import math
from collections.abc import Sequence

import pandas as pd

from ._parcels import Head, Row
from ._reports import DESK_COLUMNS, desk_units
from ._scenario import Scenario

COLUMNS = ["trade_id", "product", "underlying", "scenario", "spot", "vol", "quantity",
           "engine", "npv", "npv_se", "delta", "gamma", "vega", "theta", "rho",
           *DESK_COLUMNS, "error", "seconds"]
GREEKS = ("npv", "delta", "gamma", "vega", "theta", "rho")


def assemble(heads: Sequence[Head], results: Sequence[Sequence[Row]],
             scenarios: Sequence[Scenario]) -> pd.DataFrame:
    """The frame of ``COLUMNS`` from each trade's head and rows (one per scenario)."""
    columns: dict[str, list[object]] = {c: [] for c in COLUMNS if c not in DESK_COLUMNS}
    for head, rows in zip(heads, results):
        for scenario, row in zip(scenarios, rows):
            ok = row.error is None
            columns["trade_id"].append(head.trade_id)
            columns["product"].append(head.product)
            columns["underlying"].append(head.underlying)
            columns["scenario"].append(scenario.name)
            columns["spot"].append(scenario.spot(head.spot))
            columns["vol"].append(scenario.vol(head.vol))
            columns["quantity"].append(head.quantity)
            columns["engine"].append(row.engine)
            for name in (*GREEKS, "npv_se"):
                columns[name].append(getattr(row, name) if ok else math.nan)
            columns["error"].append(row.error)
            columns["seconds"].append(row.seconds)
    frame = pd.DataFrame(columns)
    for name in ("spot", "vol", "quantity", *GREEKS, "npv_se", "seconds"):
        frame[name] = frame[name].astype(float)
    desk = desk_units(frame)
    for name in DESK_COLUMNS:
        frame[name] = desk[name]
    frame = frame[COLUMNS]
    frame.attrs["scenarios"] = {s.name: (s.spot_shift, s.vol_shift) for s in scenarios}
    return frame
