"""Average-price (asian) options on the underlying's daily closes."""

from __future__ import annotations

import functools
import math
import numbers
import threading
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypedDict, TypeVar, cast

import numpy as np
import numpy.typing as npt
import pandas as pd
import QuantLib as ql

from . import _core, _history
from ._dates import to_qldate, to_timestamp
from ._market import (constant_vol_read, has_smile, is_curve, is_vol_surface, rate_handle,
                      valuation_inputs, vol_handle)
from ._quantlib import black_scholes_process, npv_on, set_evaluation_date
from ._terms import option_type
from ._typing import DateLike, RateLike, VolLike
from .groundwork import QUANTLIB_LOCK, BaseOption

# Arithmetic averaging is valued by QuantLib's Monte Carlo engine: pseudo-random
# numbers, the geometric average as control variate, simulation until the standard
# error falls below the tolerance, and a fixed seed so that equal inputs give equal
# values and every bumped revaluation of a sensitivity starts from the same draws.
MC_TRAITS = "pr"
MC_CONTROL_VARIATE = True
MC_REQUIRED_TOLERANCE = 0.005
MC_SEED = 42
# The tolerance is absolute, in price units, so the number of paths grows with the
# square of the price.  Above this spot the simulation runs in prices divided by
# spot / MC_PRICE_LEVEL (the value is homogeneous of degree one in prices) and is
# scaled back: the same relative precision, and never more paths, than at this
# level.  At or below it nothing is scaled.
MC_PRICE_LEVEL = 100.0

# Average type -> builder of the engine from the process: a closed form for the
# geometric average, the Monte Carlo engine above for the arithmetic one.
ASIAN_ENGINES = {
    ql.Average.Geometric: lambda process: ql.AnalyticDiscreteGeometricAveragePriceAsianEngine(
        process
    ),
    ql.Average.Arithmetic: lambda process: ql.MCDiscreteArithmeticAPEngine(
        process,
        MC_TRAITS,
        controlVariate=MC_CONTROL_VARIATE,
        requiredTolerance=MC_REQUIRED_TOLERANCE,
        seed=MC_SEED,
    ),
}

# Engines of arithmetic averaging, by the terms key "engine": QuantLib's Monte Carlo
# above (the default), or our own randomised quasi-Monte Carlo in the compiled core.
ENGINES = ("monte_carlo", "qmc")
# The "qmc" engine: scrambled Sobol points on a Brownian bridge over the remaining
# fixings, the geometric average of all fixings (known ones included) as control
# variate with its exact value and a fitted coefficient.  Independent scramblings of
# QMC_POINTS points each are added, doubling their number, until the standard error
# is at most QMC_TARGET times the spot (terms key "qmc_target" changes it), or until
# QMC_MAX_PATHS paths have been spent, which raises a QmcCapWarning.
QMC_TARGET = 1e-4
QMC_POINTS = 256
QMC_MIN_REPLICATES = 8
QMC_MAX_PATHS = 1 << 20
QMC_SEED = 42


class QmcCapWarning(RuntimeWarning):
    """The "qmc" engine stopped at its path cap before reaching its standard-error target."""


# What one running sensitivity of a "qmc" option shares between its revaluations, per
# thread and option: the number of scramblings its first valuation reached, so that every
# revaluation runs on the same points (common random numbers), and the known closes per
# evaluation date, read once from the market-data client.
_SHARED = threading.local()


class _Revaluations:
    def __init__(self) -> None:
        self.replicates = 0  # 0: not chosen yet
        # evaluation day -> (closes, their days)
        self.closes: dict[pd.Timestamp, tuple[npt.NDArray[np.float64], pd.DatetimeIndex]] = {}


_Sensitivity = TypeVar("_Sensitivity", bound=Callable[..., Any])


def _common_numbers(sensitivity: _Sensitivity) -> _Sensitivity:
    """``sensitivity`` with every "qmc" revaluation on the points of its first one."""

    @functools.wraps(sensitivity)
    def on_common_numbers(self: AsianOption, *args: Any, **kwargs: Any) -> Any:
        running = _SHARED.__dict__.setdefault("running", {})
        if id(self) in running:  # inside another sensitivity of this option: it holds
            return sensitivity(self, *args, **kwargs)
        running[id(self)] = _Revaluations()
        try:
            return sensitivity(self, *args, **kwargs)
        finally:
            del running[id(self)]

    return cast("_Sensitivity", on_common_numbers)


class _BridgeMoments(TypedDict, total=False):
    """The "qmc" engine's inputs under curves and a vol term structure (all three keys, or
    none under scalars): see ``AsianOption._term_structure``."""

    log_forward: list[float]
    variance: list[float]
    discount_factor: float


# Running accumulator before any fixing is known.
EMPTY_PRODUCT = 1.0
EMPTY_SUM = 0.0


class _ScaledAveragingAsianOption(ql.DiscreteAveragingAsianOption):
    """A ``DiscreteAveragingAsianOption`` set up in prices divided by ``price_unit``.

    ``NPV()`` multiplies the engine's value by ``price_unit``, so it is in the
    underlying's own price units.  The engine's other results (``delta()``,
    ``gamma()``, ...) are left in the scaled units.
    """

    def __init__(self, price_unit: float, *args: Any) -> None:
        super().__init__(*args)
        self.price_unit = price_unit

    def NPV(self) -> float:  # noqa: N802  (QuantLib's name)
        return super().NPV() * self.price_unit


def _flat_over(r: RateLike, vol: VolLike, q: RateLike, dates: Sequence[ql.Date],
               strike: float) -> bool:
    """Whether the rate, the yield and the vol at ``strike`` are the same over ``dates``
    (to 1e-12): scalars always are; curves and surfaces are read at each date."""
    reads = []
    if is_curve(r) or is_curve(q):
        for x in (r, q):
            if is_curve(x):
                h = rate_handle(x)
                reads.append([h.zeroRate(d, ql.Actual365Fixed(), ql.Continuous, ql.NoFrequency,
                                         True).rate() for d in dates if d > h.referenceDate()])
    if is_vol_surface(vol):
        h = vol_handle(vol)
        reads.append([h.blackVol(d, float(strike), True) for d in dates
                      if d > h.referenceDate()])
    return all(not a or max(a) - min(a) <= 1e-12 * max(1.0, max(abs(x) for x in a))
               for a in reads)


def _geometric_running_product(closes: npt.NDArray[np.float64]) -> tuple[float, float]:
    """Price unit and running product of ``closes`` expressed in that unit.

    An average-price option is homogeneous of degree one in prices: dividing spot,
    strike and every fixing by ``u`` divides its value by ``u``.  With ``u`` the
    geometric mean of the known closes, their running product in units of ``u`` is
    ``exp(sum(log(close) - log(u)))``, which is 1 up to rounding for any number of
    fixings, where the plain product overflows a double: at an index level of about
    4000, some 86 closes already exceed 1.8e308.

    Closes that are not all positive (a zero, a negative or a missing value) are
    multiplied as they are, so that QuantLib rejects the running product with its
    own message instead of a value being made up.
    """
    if len(closes) == 0:
        return 1.0, EMPTY_PRODUCT
    if not np.all(closes > 0.0):
        return 1.0, float(np.prod(closes))
    logs = np.log(closes)
    unit = float(np.exp(logs.mean()))
    return unit, float(np.exp(np.sum(logs - np.log(unit))))


class AsianOption(BaseOption):
    """European call or put on the discrete average of the daily closes.

    The average runs over every trading day from the effect date to the maturity
    date, as the market-data client lists them at construction.  Keys read besides
    the common ones: ``call_put`` ("call"; anything else is a put), ``strike`` and
    optional ``average_type`` ("geometric"; anything else, or no key, averages
    arithmetically), ``engine`` (``ENGINES``: "monte_carlo", the default, or "qmc";
    another value raises ``ValueError``) and ``qmc_target`` (the "qmc" engine's
    standard-error target as a fraction of the spot, ``QMC_TARGET`` by default).
    The attribute ``engine`` names the engine that values the option: the key's choice
    for an arithmetic average, "analytic" for a geometric one, which takes its closed
    form whatever the key says.

    Notes
    -----
    At each valuation the closes from the effect date to the evaluation date are
    fetched again; they are the known fixings, handed to QuantLib as a running
    accumulator (product or sum) and a count.  A close on the evaluation date
    itself is a known fixing and is counted once: that day is then left out of the
    future fixing dates, which QuantLib would otherwise also average in at the
    spot.

    A passed fixing date without a close (a suspended stock, or a store that was
    not brought up to date) is not observed: it is left out of the average, and
    when such days follow the last close a ``StaleHistoryWarning`` names them.  No
    closes at all although trading days have closed since the effect date raise
    ``ValueError`` (see ``velmora._history``).

    Geometric averaging is valued by QuantLib's closed form for discrete geometric
    averages (Kemna and Vorst), in prices divided by the geometric mean of the
    known closes so that the running product stays finite for any length of
    history; arithmetic averaging by QuantLib's Monte Carlo engine with the
    geometric average as control variate (``MC_*`` constants), in prices divided by
    ``spot / MC_PRICE_LEVEL`` when the spot is above that level, so that its
    absolute tolerance holds the same relative precision at any price.  Values are
    per unit of underlying; ``notional`` is not applied.

    Under a volatility surface with a smile the Monte Carlo engine simulates
    QuantLib's local volatility of the surface and runs in the underlying's own
    prices (its path count then grows with the square of the price); the geometric
    closed form reads the surface once, at the strike and maturity.

    The "qmc" engine (``velmora._core.asian_arithmetic``) simulates the remaining
    fixings on a Brownian bridge from scrambled Sobol points, with the option on
    the geometric average of all fixings, the known ones included, as control
    variate: its exact value is the lognormal closed form and its coefficient is
    fitted on the paths.  Independent scramblings are added until the standard
    error meets the target (``QMC_*`` constants).  A certain average, a single
    uncertain fixing (a vanilla on it) and a strike at or below zero are valued in
    closed form.  On its last day the option is worth its payoff, where QuantLib's
    instrument counts itself expired and reports 0.0.  The sensitivities revalue on
    the same points and number of scramblings as their first valuation, and read
    the known closes once per evaluation date (one query, not one per revaluation).
    ``construct_option`` builds the QuantLib instrument of the default engine for
    either engine.

    Tested against QuantLib instruments built directly in the tests, a discrete
    geometric closed form written in the tests, put-call parity and the
    arithmetic-geometric mean inequality for the Monte Carlo values; "qmc" against
    a long plain Monte Carlo written in the tests over a table of fresh and
    seasoned contracts, against the default engine, against closed forms where the
    value is certain or one fixing is left, and for equal bits on any thread count.
    """

    key_terms = ("call_put", "strike", "average_type")

    def __init__(self, option: Mapping[str, Any]) -> None:
        super().__init__(option)
        self.call_put = option_type(option["call_put"])
        self.strike = option["strike"]
        self.average_type = (
            ql.Average.Geometric
            if option.get("average_type") == "geometric"
            else ql.Average.Arithmetic
        )
        self.exercise = ql.EuropeanExercise(to_qldate(self.maturity_date))
        self.payoff = ql.PlainVanillaPayoff(self.call_put, self.strike)
        engine = option.get("engine", "monte_carlo")
        if not isinstance(engine, str) or engine not in ENGINES:
            raise ValueError(f"unknown asian engine {engine!r}; accepted values: "
                             + ", ".join(f'"{e}"' for e in ENGINES))
        # the engine that values the option: the key chooses how an arithmetic average is
        # simulated; a geometric one has its closed form whatever the key says
        self.engine = "analytic" if self.average_type == ql.Average.Geometric else engine
        self.qmc_target = option.get("qmc_target", QMC_TARGET)
        # (numbers.Real's stub declares only its own < and <=, not float < Real)
        if isinstance(self.qmc_target, bool) or not (
                isinstance(self.qmc_target, numbers.Real)
                and 0.0 < self.qmc_target < math.inf):  # type: ignore[operator]
            raise ValueError(f"qmc_target must be a finite positive number (a standard error "
                             f"relative to the spot), got {self.qmc_target!r}")
        schedule = _history.trading_dates(self.effect_date, self.maturity_date)
        self.fixing_dates = [to_qldate(d) for d in schedule]
        self._fixing_days = pd.DatetimeIndex(pd.to_datetime(list(schedule))).normalize()

    def npv(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
            evaluation_date: DateLike | None = None) -> float:
        """Value for one unit of the underlying; ``None`` date means today."""
        return self._value_and_error(spot, r, vol, q, evaluation_date)[0]

    def npv_and_se(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                   evaluation_date: DateLike | None = None) -> tuple[float, float]:
        """``(value, standard_error)``: the value is ``npv`` of the same inputs, to the bit.

        The error is that of the simulation: QuantLib's own estimate for the default
        engine, the spread of the independent scramblings for "qmc", and 0.0 where
        the value is exact (geometric averaging, a certain average, one fixing left,
        an expired option), and for "qmc" where no simulated path pays anything.
        """
        with QUANTLIB_LOCK:
            return self._value_and_error(spot, r, vol, q, evaluation_date)

    def _value_and_error(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                         evaluation_date: DateLike | None) -> tuple[float, float]:
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        if self.engine == "qmc" and self.average_type == ql.Average.Arithmetic:
            return self._qmc(spot, r, vol, q, evaluation_date)
        instrument = self.construct_option(spot, r, vol, q, evaluation_date)
        value = npv_on(instrument, evaluation_date)
        if self.average_type == ql.Average.Geometric or instrument.isExpired():
            return value, 0.0
        return value, instrument.errorEstimate() * instrument.price_unit

    def _qmc(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
             evaluation_date: DateLike) -> tuple[float, float]:
        """Value and standard error by the compiled randomised quasi-Monte Carlo engine."""
        import torch  # the thread count the compiled engines share

        today = to_timestamp(evaluation_date, "evaluation_date").normalize()
        shared = getattr(_SHARED, "running", {}).get(id(self))
        if shared is None:
            closes, known_days = self._known_closes(evaluation_date)
        else:
            if today not in shared.closes:
                shared.closes[today] = self._known_closes(evaluation_date)
            closes, known_days = shared.closes[today]
        if not np.all(np.isfinite(closes) & (closes > 0.0)):
            bad = int(np.flatnonzero(~(np.isfinite(closes) & (closes > 0.0)))[0])
            raise ValueError(f"the known closes of {self.underlying!r} must be finite and "
                             f"positive; got {float(closes[bad])!r} on {known_days[bad].date()}")
        if today > self.maturity_date:
            return 0.0, 0.0  # expired, as QuantLib's instrument
        days = self._fixing_days
        future = days[(days >= today) & ~days.isin(known_days)]
        term: _BridgeMoments = {}
        if is_curve(r) or is_curve(q) or is_vol_surface(vol):
            term, (r, q, vol) = self._term_structure(spot, r, vol, q, today, future)
        result = _core.asian_arithmetic(
            call=self.call_put == ql.Option.Call, strike=float(self.strike),
            maturity=(self.maturity_date - today).days / 365.0,
            fixing_times=np.asarray((future - today).days, dtype=float) / 365.0,
            known_count=len(closes), known_sum=float(np.sum(closes)),
            known_log_sum=float(np.sum(np.log(closes))), spot=spot, rate=r, dividend=q,
            vol=vol, target_se=self.qmc_target * spot, max_paths=QMC_MAX_PATHS,
            replicates=shared.replicates if shared else 0, seed=QMC_SEED,
            threads=torch.get_num_threads(), points=QMC_POINTS,
            min_replicates=QMC_MIN_REPLICATES, **term)
        if shared is not None and not shared.replicates:
            shared.replicates = result["replicates"]
        if result["capped"]:
            warnings.warn(QmcCapWarning(
                f"asian on {self.underlying!r}: standard error {result['standard_error']:.3g} "
                f"after {result['paths']} paths, above the target "
                f"{self.qmc_target * spot:.3g} ({self.qmc_target:g} of the spot)"),
                stacklevel=5)
        return result["value"], result["standard_error"]

    def _term_structure(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                        today: pd.Timestamp, future: pd.DatetimeIndex
                        ) -> tuple[_BridgeMoments, tuple[float, float, float]]:
        """The qmc engine's inputs under curves and a vol term structure: the log forward
        and the total variance from ``today`` at each fixing still to come, the discount
        factor to maturity; and the (r, q, vol) that stand for them (unused but checked).

        The fixings' log spots are Gaussian with these moments when the rates, yields and
        vols are deterministic: exact for a term structure.  A surface with a smile is read
        at the contract's strike (its term structure there), not as a local volatility.
        """
        set_evaluation_date(today)
        base = to_qldate(today, "evaluation_date")
        rates, yields, vols = rate_handle(r), rate_handle(q), vol_handle(vol)
        strike = float(self.strike) if self.strike > 0 else spot

        def variance(date: ql.Date) -> float:
            t = vols.timeFromReference(date)
            return vols.blackVariance(t, strike, True) if t > 0 else 0.0

        dates = [base + int((d - today).days) for d in future]
        start = variance(base)
        log_forward = [math.log(spot * yields.discount(d, True) / rates.discount(d, True)
                                * rates.discount(base, True) / yields.discount(base, True))
                       for d in dates]
        var = [variance(d) - start if d > base else 0.0 for d in dates]
        end = base + int((self.maturity_date - today).days)
        discount = rates.discount(end, True) / rates.discount(base, True)
        years = max((end - base) / 365.0, 1e-8)
        stand_in = (-math.log(discount) / years,
                    -math.log(yields.discount(end, True) / yields.discount(base, True)) / years,
                    math.sqrt(max(variance(end) - start, 1e-16) / years))
        return dict(log_forward=log_forward, variance=var, discount_factor=discount), stand_in

    greeks = _common_numbers(BaseOption.greeks)
    delta = _common_numbers(BaseOption.delta)
    gamma = _common_numbers(BaseOption.gamma)
    vega = _common_numbers(BaseOption.vega)
    rho = _common_numbers(BaseOption.rho)
    theta = _common_numbers(BaseOption.theta)

    def _known_closes(self, evaluation_date: DateLike
                      ) -> tuple[npt.NDArray[np.float64], pd.DatetimeIndex]:
        """The known closes as floats and their days (normalised timestamps)."""
        history = _history.get_closes(self.underlying, self.effect_date, evaluation_date, "pre")
        if history is None:
            return np.empty(0), pd.DatetimeIndex([])
        # numpy rather than pandas reductions: a missing close must not be
        # skipped silently while still being counted as a fixing.
        closes = history["close"].to_numpy(dtype=float)
        return closes, pd.to_datetime(history.index.get_level_values(-1)).normalize()

    def construct_option(self, spot: float, r: RateLike, vol: VolLike, q: RateLike,
                         evaluation_date: DateLike) -> ql.DiscreteAveragingAsianOption:
        """The QuantLib instrument with its engine set, ready for ``NPV()``.

        ``NPV()`` of the result is in the underlying's price units.  For geometric
        averaging with known closes, and for arithmetic averaging above
        ``MC_PRICE_LEVEL``, the instrument itself is set up in prices divided by
        its ``price_unit`` (see ``_geometric_running_product``); its ``NPV()``
        scales back.  QuantLib's evaluation date is not set here.
        """
        closes, known_days = self._known_closes(evaluation_date)

        # QuantLib averages every schedule date on or after the evaluation date at
        # the simulated (or forward) price.  A close already known for the
        # evaluation date is in the accumulator, so that date must not also be a
        # future fixing.
        today = to_timestamp(evaluation_date, "evaluation_date")
        fixing_dates = self.fixing_dates
        if today in known_days:
            today_ql = to_qldate(today)
            fixing_dates = [d for d in fixing_dates if d != today_ql]

        if self.average_type == ql.Average.Geometric:
            price_unit, accumulator = _geometric_running_product(closes)
        else:
            scaled = spot > MC_PRICE_LEVEL and not has_smile(vol)
            price_unit = spot / MC_PRICE_LEVEL if scaled else 1.0
            accumulator = float(np.sum(closes)) if len(closes) else EMPTY_SUM
            accumulator /= price_unit

        payoff = self.payoff
        if price_unit != 1.0:
            payoff = ql.PlainVanillaPayoff(self.call_put, self.strike / price_unit)
        instrument = _ScaledAveragingAsianOption(
            price_unit,
            self.average_type,
            accumulator,
            len(closes),
            fixing_dates,
            payoff,
            self.exercise,
        )
        if price_unit != 1.0 and has_smile(vol):
            # the closed form reads one vol, at the strike and maturity: read it at
            # the contract's own strike, not at the strike in scaled prices
            vol = constant_vol_read(vol, self.exercise.lastDate(), self.strike, evaluation_date)
        process = black_scholes_process(spot / price_unit, r, vol, q)
        if (self.average_type == ql.Average.Arithmetic
                and not _flat_over(r, vol, q, fixing_dates, self.strike)):
            # QuantLib's geometric control is valued with one rate, yield and vol (read at
            # maturity): under inputs that vary in time its expectation is not the
            # simulated average's, and the control would bias the value (by 0.5 on a
            # three-month call with vols 0.30/0.25/0.22).  The plain simulation is unbiased.
            engine = ql.MCDiscreteArithmeticAPEngine(
                process, MC_TRAITS, controlVariate=False,
                requiredTolerance=MC_REQUIRED_TOLERANCE, seed=MC_SEED)
        else:
            engine = ASIAN_ENGINES[self.average_type](process)
        instrument.setPricingEngine(engine)
        return instrument
