"""Rate curves, dividend curves and volatility surfaces of the book's market file.

A market row may carry, beside its scalars, ``r_curve`` and ``q_curve`` (tenor and
continuously compounded rate pairs, "3M:0.018; 1Y:0.021; 2Y:0.023") and
``vol_surface`` (a JSON object: ``strikes`` in per cent of spot, ``expiries`` as
tenors, ``vols[i][j]`` the Black vol at ``strikes[i]`` and ``expiries[j]``).  They
are read and checked here into plain data, which crosses to the workers; each
worker builds the QuantLib objects on the evaluation date.
"""

import datetime
import json
from typing import Any

import QuantLib as ql

from .._market import moneyness_surface, tenor_curve
from ._parcels import Curve, MarketInputs, Surface

CURVE_COLUMNS = ("r_curve", "q_curve")
SURFACE_COLUMN = "vol_surface"
# A day to build on when a cell is only being checked.
_PROBE_DATE = ql.Date(2, 1, 2024)


def parse_curve(cell: object, where: str) -> Curve:
    """``"3M:0.018; 1Y:0.021"`` as a tuple of (tenor, rate) pairs, checked.

    Pairs are separated by ``;`` or whitespace, tenor and rate by ``:``.
    """
    pairs = []
    for part in str(cell).replace(";", " ").split():
        tenor, sep, rate = part.partition(":")
        if not sep:
            raise ValueError(f"{where}: {part!r} is not a tenor:rate pair such as 1Y:0.02")
        try:
            pairs.append((tenor.strip().upper(), float(rate)))
        except ValueError:
            raise ValueError(f"{where}: rate {rate!r} is not a number") from None
    try:
        tenor_curve(_PROBE_DATE, pairs)
    except ValueError as e:
        raise ValueError(f"{where}: {e}") from None
    return tuple(pairs)


def parse_surface(cell: object, where: str) -> Surface:
    """A ``vol_surface`` cell (JSON text, or already a mapping) as checked plain data."""
    data = cell
    if isinstance(cell, str):
        try:
            data = json.loads(cell)
        except json.JSONDecodeError as e:
            raise ValueError(f"{where}: the volatility surface is not JSON ({e.msg})") from None
    if not isinstance(data, dict) or set(data) != {"strikes", "expiries", "vols"}:
        raise ValueError(f"{where}: a volatility surface is a JSON object with exactly "
                         f"strikes, expiries and vols")
    surface = {"strikes": tuple(data["strikes"]), "expiries": tuple(data["expiries"]),
               "vols": tuple(tuple(row) for row in data["vols"])}
    try:
        build_surface(_PROBE_DATE, 100.0, surface)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{where}: {e}") from None
    return surface


def build_surface(reference_date: ql.Date, spot: float, surface: Surface,
                  vol_shift: float = 0.0) -> Any:
    """The surface around ``spot`` (sticky in moneyness), every vol moved by ``vol_shift``."""
    vols = [[v + vol_shift for v in row] for row in surface["vols"]]
    return moneyness_surface(reference_date, spot, surface["strikes"], surface["expiries"], vols)


def market_inputs(inputs: MarketInputs, spot: float, vol_shift: float,
                  date: datetime.date) -> tuple[Any, Any, Any]:
    """``(r, vol, q)`` of one scenario: the curves and surface of ``inputs``, else its
    scalars.

    Curves and surfaces are anchored on the evaluation date ``date``; the surface's
    strikes follow the scenario's spot.
    """
    reference = ql.Date(date.day, date.month, date.year)
    r = tenor_curve(reference, inputs.r_curve) if inputs.r_curve else inputs.r
    q = tenor_curve(reference, inputs.q_curve) if inputs.q_curve else inputs.q
    surface = inputs.vol_surface
    vol = (build_surface(reference, spot, surface, vol_shift) if surface
           else inputs.vol + vol_shift)
    return r, vol, q
