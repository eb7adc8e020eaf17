"""Market resolution: the inputs of each underlying, from the market frame and, for a
missing spot, the market-data client's close on the evaluation date."""

import datetime
import math
from typing import Any

import pandas as pd

from . import _market_file
from ._checks import blank
from ._parcels import MarketInputs, describe


class Market:
    """Market inputs per underlying; a missing spot is the client's close that day.

    Each underlying's curves, surface and close are read once; a failure to read them is
    kept and raised again for every trade on that underlying.
    """

    def __init__(self, market: pd.DataFrame, date: datetime.date) -> None:
        self._market = market
        self._date = date
        self._closes: dict[str, float | Exception] = {}
        self._structures: dict[tuple[str, str], Any] = {}

    def inputs(self, underlying: object) -> MarketInputs:
        """The inputs of ``underlying``; ``ValueError`` when the market lacks one."""
        if not isinstance(underlying, str):
            raise TypeError(f"underlying must be text, got {underlying!r}")
        if underlying not in self._market.index:
            raise ValueError(f"no market data for {underlying}: the market has no row "
                             f"for it")
        row = self._market.loc[underlying]
        values: dict[str, Any] = {}
        for column in ("vol", "r", "q"):
            structure = _market_file.SURFACE_COLUMN if column == "vol" else f"{column}_curve"
            cell = row.get(structure)
            if not blank(cell):
                values[structure] = self._structure(underlying, structure, cell)
                values[column] = math.nan  # the scalar, not used
                continue
            value = float(row[column])
            if math.isnan(value):
                raise ValueError(f"no {column} for {underlying} in the market")
            values[column] = value
        spot = float(row["spot"])
        if math.isnan(spot):
            spot = self._close(underlying)
        return MarketInputs(spot=spot, **values)

    def _structure(self, underlying: str, column: str, cell: object) -> Any:
        """A curve or surface cell as checked plain data (read once per underlying)."""
        key = (underlying, column)
        if key not in self._structures:
            where = f"market, {underlying}: {column}"
            try:
                parse = (_market_file.parse_surface if column == _market_file.SURFACE_COLUMN
                         else _market_file.parse_curve)
                self._structures[key] = parse(cell, where)
            except Exception as e:
                self._structures[key] = e
        value = self._structures[key]
        if isinstance(value, Exception):
            raise value
        return value

    def _close(self, underlying: str) -> float:
        if underlying not in self._closes:
            self._closes[underlying] = self._fetch_close(underlying)
        close = self._closes[underlying]
        if isinstance(close, Exception):
            raise close
        return close

    def _fetch_close(self, underlying: str) -> float | Exception:
        from .. import _history

        # the close as stored that day: "none" is the price the market traded at; on
        # the latest stored day it equals the back-adjusted ("pre") close
        try:
            close = _history.close_on(underlying, self._date)
        except Exception as e:
            return ValueError(f"no spot for {underlying} in the market, and the "
                              f"market-data client failed to give its close on "
                              f"{self._date}: {describe(e)}")
        if close is None:
            return ValueError(f"no spot for {underlying}: the market gives none and the "
                              f"market-data client has no close of it on {self._date}")
        return float(close)
