"""Curves and volatility surfaces in place of the scalar market inputs.

References: the same contract under the scalars (flat curves must give the same
values), QuantLib instruments built directly on the same handles, and ``npv``
itself for the implied volatility round trip.
"""

import math

import pytest
import QuantLib as ql

from _oracles import qld
from product_table import (  # noqa: F401  (closes is a fixture)
    FRI, PRODUCTS, Q, R, SPOT, VOL, closes, common,
)
from velmora.asian import AsianOption

# the arithmetic asian on QuantLib's Monte Carlo engine (local vol under a surface)
PRODUCTS = {**PRODUCTS, "asian-arithmetic": lambda: AsianOption(
    {**common(), "call_put": "call", "strike": 100.0})}

pytestmark = pytest.mark.usefixtures("closes")
DC = ql.Actual365Fixed()
# our own engines (the notes, the asian's "qmc") take term structures on their own
QUANTLIB_VALUED = [n for n in PRODUCTS
                   if not n.startswith(("snowball", "phoenix")) and not n.endswith("qmc")]


def flat(r, anchored_on=None):
    """A flat curve: on a fixed reference date, or following the evaluation date."""
    if anchored_on is None:
        return ql.YieldTermStructureHandle(ql.FlatForward(0, ql.NullCalendar(), r, DC))
    return ql.FlatForward(qld(anchored_on), r, DC)


def constant_vol(vol, anchored_on=None):
    if anchored_on is None:
        return ql.BlackVolTermStructureHandle(ql.BlackConstantVol(0, ql.NullCalendar(), vol, DC))
    return ql.BlackConstantVol(qld(anchored_on), ql.NullCalendar(), vol, DC)


@pytest.mark.parametrize("name", QUANTLIB_VALUED)
@pytest.mark.parametrize("anchored_on", [FRI, None], ids=["fixed-date", "moving"])
def test_flat_curves_give_the_scalars_values(name, anchored_on):
    product = PRODUCTS[name]()
    scalar = product.greeks(SPOT, R, VOL, Q, FRI)
    curves = product.greeks(SPOT, flat(R, anchored_on), constant_vol(VOL, anchored_on),
                            flat(Q, anchored_on), FRI)
    # a curve on a fixed date does not follow the one-day step of theta
    fields = scalar._fields if anchored_on is None else ("npv", "delta", "gamma", "vega", "rho")
    for field in fields:
        assert getattr(curves, field) == pytest.approx(getattr(scalar, field), rel=1e-12,
                                                       abs=1e-12), field


# Real term structures on the valuation date: upward zero curves, a surface with a
# skew and a term structure (strikes x expiries).
def zero_curve(rates):
    ref = qld(FRI)
    dates = [ref] + [ref + ql.Period(n, ql.Months) for n in (3, 12, 24)]
    return ql.ZeroCurve(dates, list(rates), DC)


SURFACE_STRIKES = [70.0, 85.0, 100.0, 115.0, 130.0]
SURFACE_MONTHS = [1, 3, 6, 12]
SURFACE_VOLS = [[0.38, 0.35, 0.33, 0.31], [0.31, 0.29, 0.28, 0.27], [0.25, 0.245, 0.24, 0.235],
                [0.22, 0.215, 0.215, 0.21], [0.21, 0.205, 0.205, 0.205]]


def ql_surface(dv=0.0):
    ref = qld(FRI)
    matrix = ql.Matrix(len(SURFACE_STRIKES), len(SURFACE_MONTHS))
    for i, row in enumerate(SURFACE_VOLS):
        for j, v in enumerate(row):
            matrix[i][j] = v + dv
    surface = ql.BlackVarianceSurface(ref, ql.NullCalendar(),
                                      [ref + ql.Period(m, ql.Months) for m in SURFACE_MONTHS],
                                      SURFACE_STRIKES, matrix, DC)
    surface.enableExtrapolation()
    return surface


def our_surface():
    from velmora.market import vol_surface

    ref = qld(FRI)
    return vol_surface(ref, [ref + ql.Period(m, ql.Months) for m in SURFACE_MONTHS],
                       SURFACE_STRIKES, SURFACE_VOLS)


RATES, DIVIDENDS = (0.02, 0.025, 0.03, 0.035), (0.01, 0.012, 0.015, 0.015)


def direct_process(dv=0.0, dr=0.0):
    ql.Settings.instance().evaluationDate = qld(FRI)
    return ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)), ql.YieldTermStructureHandle(zero_curve(DIVIDENDS)),
        ql.YieldTermStructureHandle(zero_curve([r + dr for r in RATES])),
        ql.BlackVolTermStructureHandle(ql_surface(dv)))


def direct(name, process):
    """The product of the table built as a QuantLib instrument directly."""
    product = PRODUCTS[name]()
    exercise = ql.EuropeanExercise(qld(product.maturity_date))
    if name == "vanilla-american-put":
        option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, 100.0),
                                  ql.AmericanExercise(qld(product.effect_date),
                                                      qld(product.maturity_date)))
        option.setPricingEngine(ql.BinomialVanillaEngine(process, "jr", 801))
    elif name.startswith("vanilla"):
        option = ql.VanillaOption(ql.PlainVanillaPayoff(product.call_put, 100.0), exercise)
        option.setPricingEngine(ql.AnalyticEuropeanEngine(process))
    elif name == "barrier-down-out":
        option = ql.BarrierOption(ql.Barrier.DownOut, 80.0, 0.0,
                                  ql.PlainVanillaPayoff(ql.Option.Call, 100.0), exercise)
        option.setPricingEngine(ql.AnalyticBarrierEngine(process))
    else:  # the asians on their closes of 100 so far
        dates = product.fixing_dates
        known = [d for d in dates if d <= qld(FRI)]
        geometric = name == "asian-geometric"
        option = ql.DiscreteAveragingAsianOption(
            ql.Average.Geometric if geometric else ql.Average.Arithmetic,
            100.0 ** len(known) if geometric else 100.0 * len(known), len(known),
            [d for d in dates if d > qld(FRI)], ql.PlainVanillaPayoff(ql.Option.Call, 100.0),
            exercise)
        option.setPricingEngine(
            ql.AnalyticDiscreteGeometricAveragePriceAsianEngine(process) if geometric else
            # no geometric control under curves: it would be valued at one rate and vol
            ql.MCDiscreteArithmeticAPEngine(process, "pr", controlVariate=False,
                                            requiredTolerance=0.005, seed=42))
    return option.NPV()


DIRECT = ["vanilla-call", "vanilla-put", "vanilla-american-put", "barrier-down-out",
          "asian-geometric"]


@pytest.mark.parametrize("name", [*DIRECT, "asian-arithmetic"])
@pytest.mark.parametrize("handles", [False, True], ids=["curves", "handles"])
def test_values_under_term_structures_are_quantlibs_own(name, handles):
    r, q, vol = zero_curve(RATES), zero_curve(DIVIDENDS), ql_surface()
    if handles:
        r, q = ql.YieldTermStructureHandle(r), ql.RelinkableYieldTermStructureHandle(q)
        vol = ql.BlackVolTermStructureHandle(vol)
    got = PRODUCTS[name]().npv(SPOT, r, vol, q, FRI)
    assert got == pytest.approx(direct(name, direct_process()), rel=1e-12)


@pytest.mark.parametrize("name", DIRECT)
def test_vega_and_rho_move_the_surface_and_curve_in_parallel(name):
    greeks = PRODUCTS[name]().greeks(SPOT, zero_curve(RATES), our_surface(),
                                     zero_curve(DIVIDENDS), FRI)
    vega = (direct(name, direct_process(dv=0.01)) - direct(name, direct_process(dv=-0.01))) / 2
    # the zero curve's nodes moved by the same amount: a parallel move of its zero rates
    rho = direct(name, direct_process(dr=-0.005)) - direct(name, direct_process(dr=0.005))
    assert greeks.npv == pytest.approx(direct(name, direct_process()), rel=1e-12)
    assert greeks.vega == pytest.approx(vega, rel=1e-9)
    assert greeks.rho == pytest.approx(rho, rel=1e-9)


IMPLIED = [(k, m, cp, ex) for k in (70.0, 100.0, 135.0) for m in ("2024-07-08", "2025-06-09")
           for cp, ex in (("call", "european"), ("put", "european"), ("put", "american"))]


@pytest.mark.parametrize("strike, maturity, call_put, exercise", IMPLIED)
@pytest.mark.parametrize("vol", [0.08, 0.45])
def test_implied_vol_inverts_npv(strike, maturity, call_put, exercise, vol):
    from velmora.vanilla import VanillaOption

    option = VanillaOption({**common(maturity), "call_put": call_put, "strike": strike,
                            "exercise_type": exercise, "payoff_type": "plain_vanilla"})
    r = zero_curve(RATES) if exercise == "european" else R
    price = option.npv(SPOT, r, vol, Q, FRI)
    implied = option.implied_vol(price, SPOT, r, Q, FRI)
    assert option.npv(SPOT, r, implied, Q, FRI) == pytest.approx(price, abs=1e-8)
    if option.vega(SPOT, r, vol, Q, FRI) > 1e-4:  # the vol itself where the price shows it
        assert implied == pytest.approx(vol, abs=1e-6)


def test_implied_vol_refuses_prices_it_cannot_invert():
    # a call is worth at most the discounted share and at least its discounted intrinsic
    option = PRODUCTS["vanilla-call"]()
    t = (option.maturity_date - FRI).days / 365.0
    share = SPOT * math.exp(-Q * t)
    intrinsic = max(share - 100.0 * math.exp(-R * t), 0.0)
    outside = "outside the no-arbitrage bounds"
    for price, match in ((share + 1e-6, outside), (intrinsic - 1e-6, outside), (-0.01, outside),
                         (math.nan, "must be finite"), ("cheap", "must be a number")):
        with pytest.raises(ValueError, match=match):
            option.implied_vol(price, SPOT, R, Q, FRI)


@pytest.mark.parametrize("name", ["barrier-down-out", "barrier-up-in"])
@pytest.mark.parametrize("vol", [0.15, 0.4])
def test_barrier_implied_vol_inverts_npv(name, vol):
    option = PRODUCTS[name]()
    price = option.npv(SPOT, R, vol, Q, FRI)
    assert option.npv(SPOT, R, option.implied_vol(price, SPOT, R, Q, FRI), Q,
                      FRI) == pytest.approx(price, abs=1e-8)


@pytest.mark.parametrize("name", ["vanilla-digital", "barrier-digital-european-down-in",
                                  "barrier-american-down-in-put"])
def test_implied_vol_of_a_digital_or_american_barrier_is_not_offered(name):
    with pytest.raises(NotImplementedError, match="cash_or_nothing|american"):
        PRODUCTS[name]().implied_vol(5.0, SPOT, R, Q, FRI)


@pytest.mark.parametrize("name", ["vanilla-call", "barrier-down-out"])
def test_a_surface_built_elsewhere_is_shifted_from_samples_close_to_exactly(name):
    vega = PRODUCTS[name]().vega(SPOT, R, ql_surface(), Q, FRI)
    flat_rates = [R] * 4
    exact = []
    for dv in (0.01, -0.01):
        ql.Settings.instance().evaluationDate = qld(FRI)
        process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(ql.SimpleQuote(SPOT)), ql.YieldTermStructureHandle(flat(Q, FRI)),
            ql.YieldTermStructureHandle(zero_curve(flat_rates)),
            ql.BlackVolTermStructureHandle(ql_surface(dv)))
        exact.append(direct(name, process))
    assert vega == pytest.approx((exact[0] - exact[1]) / 2, rel=1e-2)


# Closed forms that take one vol read the surface once: at the touch level for a
# touch, at the spot for a double touch, at the strike otherwise; all at maturity.
READ_AT = {"one-touch-up": 120.0, "no-touch-down": 80.0, "double-no-touch": SPOT,
           "double-one-touch": SPOT, "lookback": 100.0, "dualknock-out": 100.0,
           "asian-geometric": 100.0}


@pytest.mark.parametrize("name", READ_AT)
def test_one_vol_closed_forms_read_the_surface_at_their_level(name):
    product = PRODUCTS[name]()
    surface = ql_surface()
    ql.Settings.instance().evaluationDate = qld(FRI)
    vol = surface.blackVol(qld(product.maturity_date), READ_AT[name], True)
    assert product.npv(SPOT, R, surface, Q, FRI) == pytest.approx(
        product.npv(SPOT, R, vol, Q, FRI), rel=1e-10)
