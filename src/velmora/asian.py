"""Average-price (asian) options on the underlying's daily closes."""

import numpy as np
import pandas as pd
import QuantLib as ql

from . import _history
from ._terms import option_type, valuation_inputs
from .groundwork import BaseOption
from .utils import black_scholes_process, npv_on, to_qldate, to_timestamp

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

# Running accumulator before any fixing is known.
EMPTY_PRODUCT = 1.0
EMPTY_SUM = 0.0


class _ScaledAveragingAsianOption(ql.DiscreteAveragingAsianOption):
    """A ``DiscreteAveragingAsianOption`` set up in prices divided by ``price_unit``.

    ``NPV()`` multiplies the engine's value by ``price_unit``, so it is in the
    underlying's own price units.  The engine's other results (``delta()``,
    ``gamma()``, ...) are left in the scaled units.
    """

    def __init__(self, price_unit, *args):
        super().__init__(*args)
        self.price_unit = price_unit

    def NPV(self):  # noqa: N802  (QuantLib's name)
        return super().NPV() * self.price_unit


def _geometric_running_product(closes):
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
    arithmetically).

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

    Tested against QuantLib instruments built directly in the tests, a discrete
    geometric closed form written in the tests, put-call parity and the
    arithmetic-geometric mean inequality for the Monte Carlo values.
    """

    key_terms = ("call_put", "strike", "average_type")

    def __init__(self, option):
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
        self.fixing_dates = [
            to_qldate(d) for d in _history.trading_dates(self.effect_date, self.maturity_date)
        ]

    def npv(self, spot, r, vol, q, evaluation_date=None):
        """Value for one unit of the underlying; ``None`` date means today."""
        spot, r, vol, q, evaluation_date = valuation_inputs(spot, r, vol, q, evaluation_date)
        return npv_on(self.construct_option(spot, r, vol, q, evaluation_date), evaluation_date)

    def construct_option(self, spot, r, vol, q, evaluation_date):
        """The QuantLib instrument with its engine set, ready for ``NPV()``.

        ``NPV()`` of the result is in the underlying's price units.  For geometric
        averaging with known closes, and for arithmetic averaging above
        ``MC_PRICE_LEVEL``, the instrument itself is set up in prices divided by
        its ``price_unit`` (see ``_geometric_running_product``); its ``NPV()``
        scales back.  QuantLib's evaluation date is not set here.
        """
        history = _history.get_closes(self.underlying, self.effect_date, evaluation_date, "pre")
        if history is None:
            closes = np.empty(0)
            known_days = ()
        else:
            # numpy rather than pandas reductions: a missing close must not be
            # skipped silently while still being counted as a fixing.
            closes = history["close"].to_numpy(dtype=float)
            known_days = pd.to_datetime(history.index.get_level_values(-1)).normalize()

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
            price_unit = spot / MC_PRICE_LEVEL if spot > MC_PRICE_LEVEL else 1.0
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
        process = black_scholes_process(spot / price_unit, r, vol, q)
        instrument.setPricingEngine(ASIAN_ENGINES[self.average_type](process))
        return instrument
