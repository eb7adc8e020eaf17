"""The typed parcels of a book run: what crosses to the process valuing a trade (the job
every trade shares, one trade with its market inputs) and what comes back (one row per
scenario).  Plain values only, so that they pickle to a local worker or a Dask worker."""

import datetime
import math
from dataclasses import dataclass
from typing import Any, NamedTuple

NAN = math.nan

# A rate or dividend curve as the market file gives it: (tenor, rate) pairs.
Curve = tuple[tuple[str, float], ...]
# A volatility surface as checked plain data: strikes (per cent of spot), expiries
# (tenors) and vols[i][j] at strikes[i] and expiries[j].
Surface = dict[str, tuple[Any, ...]]


@dataclass(frozen=True)
class MarketInputs:
    """The market inputs of one underlying: scalars, and where the market gives them,
    curves for the rate and the dividend yield and a volatility surface (each scalar it
    replaces is then NaN, not used)."""

    spot: float
    vol: float
    r: float
    q: float
    r_curve: Curve | None = None
    q_curve: Curve | None = None
    vol_surface: Surface | None = None

    @property
    def structured(self) -> bool:
        """Whether a curve or a surface stands in for a scalar."""
        return bool(self.r_curve or self.q_curve or self.vol_surface)

    def record(self) -> dict[str, Any]:
        """The inputs as the run record keeps them: per input, its curve or surface (and
        the unused scalar) or its scalar, then the spot."""
        out: dict[str, Any] = {}
        for column, structure in (("vol", self.vol_surface), ("r", self.r_curve),
                                  ("q", self.q_curve)):
            if structure:
                out["vol_surface" if column == "vol" else f"{column}_curve"] = structure
            out[column] = getattr(self, column)
        out["spot"] = self.spot
        return out


@dataclass(frozen=True)
class Job:
    """What every trade of a run shares: the scenarios' shifts (spot shift as a
    fraction, vol shift added), the evaluation date and whether greeks are wanted."""

    shifts: tuple[tuple[float, float], ...]
    date: datetime.date
    greeks: bool


@dataclass(frozen=True)
class Trade:
    """One trade to value: the class (by module and name), its terms and its market."""

    module: str
    cls: str
    terms: dict[str, Any]
    market: MarketInputs
    reads_pool: bool = False  # valued on velmora.normdraw's pool (its default engine)

    @property
    def draws_pool(self) -> bool:
        """Whether this trade is valued on velmora.normdraw's pool."""
        return self.reads_pool and self.terms.get("engine", "monte_carlo") == "monte_carlo"


@dataclass(frozen=True)
class Task:
    """A trade and its place in the book."""

    index: int
    trade: Trade


class Row(NamedTuple):
    """One trade in one scenario, per unit as the product gives it."""

    npv: float
    delta: float
    gamma: float
    vega: float
    theta: float
    rho: float
    npv_se: float  # Monte Carlo standard error of npv; 0.0 for exact methods
    engine: str | None  # the method that valued the trade
    error: str | None  # "ExceptionType: message" when the row failed
    seconds: float


@dataclass(frozen=True)
class Valued:
    """The rows of the trade at ``index``, one per scenario of the job."""

    index: int
    rows: list[Row]


@dataclass
class Head:
    """The columns of a trade's rows that the caller knows before valuing it."""

    trade_id: Any
    product: Any
    underlying: str | None = None
    quantity: float = NAN
    spot: float = NAN
    vol: float = NAN


def describe(exc: BaseException) -> str:
    """The error text of a result row: "ExceptionType: message"."""
    return f"{type(exc).__name__}: {exc}"


def failed(exc: BaseException, n: int, engine: str | None = None) -> list[Row]:
    """``n`` rows of a trade that failed with ``exc``."""
    return [Row(NAN, NAN, NAN, NAN, NAN, NAN, NAN, engine, describe(exc), 0.0)] * n
