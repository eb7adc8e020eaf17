"""The "qmc" engine of arithmetic asians under rate and dividend curves and a vol term
structure, against the scalars (flat inputs) and a plain simulation of the fixings with the
curves' forwards and the term structure's total variances."""

import math

import numpy as np
import pandas as pd
import pytest
import QuantLib as ql

from velmora import _market
from velmora.asian import AsianOption

EFFECT, MATURITY = pd.Timestamp("2024-06-03"), pd.Timestamp("2024-08-30")
REF, DC = ql.Date(3, 6, 2024), ql.Actual365Fixed()


def option(call_put, strike, engine="qmc"):
    return AsianOption({"effect_date": EFFECT, "maturity_date": MATURITY, "underlying": "X",
                        "s0": 1.0, "notional": 1.0, "call_put": call_put, "strike": strike,
                        "average_type": "arithmetic", "engine": engine})


def curves(term_vols=(0.30, 0.25, 0.22)):
    rates = _market.tenor_curve(REF, [("1M", 0.01), ("3M", 0.04)])
    yields = _market.tenor_curve(REF, [("1M", 0.0), ("3M", 0.02)])
    vols = _market.vol_surface(REF, [REF + ql.Period(m, ql.Months) for m in (1, 2, 3)],
                               [100.0], [list(term_vols)])
    return rates, yields, vols


def simulated(call, strike, spot, rates, yields, vols, paths=1 << 18, seed=11):
    """(mean, standard error) of the discounted payoff: every weekday a fixing, log spot
    Gaussian with the curves' forward and the term structure's variance at the strike."""
    dates = [REF + int((d - EFFECT).days) for d in pd.bdate_range(EFFECT, MATURITY)]
    var = np.array([vols.blackVariance(d, strike) if d > REF else 0.0 for d in dates])
    fwd = np.array([spot * yields.discount(d) / rates.discount(d) for d in dates])
    z = np.random.default_rng(seed).standard_normal((paths, len(dates)))
    w = np.cumsum(z * np.sqrt(np.diff(var, prepend=0.0)), axis=1)
    average = (fwd * np.exp(w - var / 2)).mean(axis=1)
    pay = np.maximum(average - strike if call else strike - average, 0.0)
    pay *= rates.discount(dates[-1])
    return pay.mean(), pay.std(ddof=1) / math.sqrt(paths)


@pytest.mark.parametrize("call_put,strike", [("call", 100.0), ("put", 95.0)])
def test_flat_curves_equal_the_scalars(market, call_put, strike):
    o = option(call_put, strike)
    flat = (ql.FlatForward(REF, 0.025, DC), ql.BlackConstantVol(REF, ql.NullCalendar(), 0.2, DC),
            ql.FlatForward(REF, 0.01, DC))
    want = o.npv_and_se(100.0, 0.025, 0.2, 0.01, EFFECT)
    got = o.npv_and_se(100.0, *flat, EFFECT)
    np.testing.assert_allclose(got, want, rtol=1e-12)


@pytest.mark.parametrize("engine", ["qmc", "monte_carlo"])
@pytest.mark.parametrize("call_put,strike", [("call", 100.0), ("put", 95.0), ("call", 108.0)])
def test_term_structure_matches_a_plain_simulation(market, call_put, strike, engine):
    rates, yields, vols = curves()
    value, se = option(call_put, strike, engine).npv_and_se(100.0, rates, vols, yields, EFFECT)
    want, want_se = simulated(call_put == "call", strike, 100.0, rates, yields, vols)
    tol = 3 * math.hypot(se, want_se)
    assert abs(value - want) <= tol, (value, want, tol)
    # the term structure matters: the value at the vol read at maturity differs
    at_maturity = option(call_put, strike).npv(100.0, rates, 0.22, yields, EFFECT)
    assert abs(at_maturity - want) > tol


def test_a_term_structure_with_falling_variance_is_refused(market):
    rates, yields, vols = curves((0.40, 0.30, 0.20))
    with pytest.raises(ValueError, match="strictly ascending"):
        option("call", 100.0).npv(100.0, rates, vols, yields, EFFECT)
