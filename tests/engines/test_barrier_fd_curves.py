"""The barrier finite-difference solver under rate and dividend curves and a vol term
structure, against QuantLib's finite-difference barrier engine on the same handles
(European exercise, which QuantLib's engine takes), and flat curves against the scalars."""

import math

import numpy as np
import pytest
import QuantLib as ql

from velmora import _core, _market
from velmora._barrier_fd import _term_structure
from velmora.barrier import BarrierOption

REF = ql.Date(2, 1, 2024)
MATURITY = REF + 366


def process(rates, yields, vols):
    return ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(100.0)), ql.YieldTermStructureHandle(yields),
        ql.YieldTermStructureHandle(rates), ql.BlackVolTermStructureHandle(vols))


def curved():
    months = [REF + ql.Period(m, ql.Months) for m in (3, 6, 12)]
    return process(_market.tenor_curve(REF, [("3M", 0.01), ("1Y", 0.04)]),
                   _market.tenor_curve(REF, [("3M", 0.0), ("1Y", 0.02)]),
                   _market.vol_surface(REF, months, [100.0], [[0.35, 0.30, 0.22]]))


CASES = [(kind, level, call)
         for kind, level in (("down_and_out", 85.0), ("up_and_out", 125.0),
                             ("down_and_in", 85.0), ("up_and_in", 125.0))
         for call in (True, False)]


@pytest.fixture(autouse=True)
def evaluation_date():
    ql.Settings.instance().evaluationDate = REF


@pytest.mark.parametrize("kind,level,call", CASES)
def test_term_structures_match_quantlib_finite_differences(kind, level, call):
    proc = curved()
    option = ql.BarrierOption(
        getattr(ql.Barrier, kind.title().replace("_", "").replace("And", "")), level, 0.0,
        ql.PlainVanillaPayoff(ql.Option.Call if call else ql.Option.Put, 100.0),
        ql.EuropeanExercise(MATURITY))
    option.setPricingEngine(ql.FdBlackScholesBarrierEngine(proc, 800, 1600, 0))
    want = option.NPV()
    term = _term_structure(proc, REF, MATURITY, 100.0)
    t = term["times"][-1]
    flat = dict(rate=term["int_rate"][-1] / t, dividend=term["int_dividend"][-1] / t,
                vol=math.sqrt(term["int_variance"][-1] / t))
    args = dict(call=call, strike=100.0, kind=kind, level=level, rebate=0.0, american=False,
                exercise_from=0.0, maturity=t, spot=100.0, **flat)
    got = _core.pde_barrier(**args, **term)
    tol = 2e-3 * want + 1e-3
    assert abs(got - want) <= tol, (got, want)
    # the flattened term structure would miss it
    assert abs(_core.pde_barrier(**args) - want) > tol


@pytest.mark.usefixtures("priceless_history")
@pytest.mark.parametrize("call_put", ["call", "put"])
def test_flat_curves_equal_the_scalars(call_put):
    from test_barrier_fd import EVAL, terms

    option = BarrierOption(terms(call_put=call_put))
    anchor, day_count = ql.Date(EVAL.day, EVAL.month, EVAL.year), ql.Actual365Fixed()
    flat = (ql.FlatForward(anchor, 0.03, day_count),
            ql.BlackConstantVol(anchor, ql.NullCalendar(), 0.25, day_count),
            ql.FlatForward(anchor, 0.01, day_count))
    assert _term_structure(process(flat[0], flat[2], flat[1]), anchor, anchor + 180,
                           100.0) is None
    want = option.greeks(100.0, 0.03, 0.25, 0.01, EVAL)
    got = option.greeks(100.0, *flat, EVAL)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
