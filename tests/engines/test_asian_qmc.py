"""The "qmc" engine of arithmetic asians against independent references."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
import QuantLib as ql
import torch

from _oracles import asian_payoffs, bs_vanilla, process, qld
from velmora import _core, asian
from velmora.asian import AsianOption

EFFECT, MATURITY = pd.Timestamp("2024-06-03"), pd.Timestamp("2024-08-30")
DAYS = pd.bdate_range(EFFECT, MATURITY)  # the scripted calendar: every weekday
R, Q = 0.025, 0.01


def terms(call_put, strike, engine="qmc", **extra):
    return {"effect_date": EFFECT, "maturity_date": MATURITY, "underlying": "X", "s0": 1.0,
            "notional": 1.0, "call_put": call_put, "strike": strike,
            "average_type": "arithmetic", "engine": engine, **extra}


def season(market, known, spot):
    """Closes near ``spot`` on the first ``known`` fixing days; returns (today, closes)."""
    closes = spot * np.exp(0.02 * np.sin(np.arange(known)))
    if known:
        market.set_closes("X", dict(zip(DAYS[:known], closes)))
    return DAYS[min(known, len(DAYS) - 1)], closes


def payoffs(call_put, strike, spot, vol, today, closes, seed=7):
    return asian_payoffs(spot, strike, R, Q, vol, (DAYS[DAYS >= today] - today).days / 365.0,
                         (MATURITY - today).days / 365.0, closes.sum(), len(closes),
                         call_put == "call", 1 << 17, seed)


# fraction of fixings known, moneyness = strike / spot
TABLE = [
    ("call", 0.0, 100.0, 1.00, 0.20), ("put", 0.0, 10.0, 0.85, 0.60),
    ("call", 0.0, 1500.0, 0.95, 0.10), ("put", 0.5, 57.56, 1.08, 0.30),
    ("call", 0.5, 600.0, 1.10, 0.45), ("put", 0.5, 100.0, 1.00, 0.20),
    ("call", 0.9, 10.0, 1.00, 0.60), ("put", 0.9, 1500.0, 1.05, 0.25),
    ("call", 0.9, 100.0, 0.97, 0.10),
]
IDS = [f"{cp}-{int(f * 100)}%known-spot{s:g}-k{m:g}-vol{v:g}" for cp, f, s, m, v in TABLE]


@pytest.mark.parametrize("call_put, known, spot, moneyness, vol", TABLE, ids=IDS)
def test_reference_table(market, call_put, known, spot, moneyness, vol):
    today, closes = season(market, round(known * len(DAYS)), spot)
    strike = moneyness * spot
    value, se = AsianOption(terms(call_put, strike)).npv_and_se(spot, R, vol, Q, today)
    assert 0.0 < se <= 1e-4 * spot, se
    pay = payoffs(call_put, strike, spot, vol, today, closes)
    ref, ref_se = pay.mean(), pay.std(ddof=1) / math.sqrt(len(pay))
    assert abs(value - ref) <= 3 * (se + ref_se), (value, se, ref, ref_se)
    mc, mc_se = AsianOption(terms(call_put, strike, "monte_carlo")).npv_and_se(
        spot, R, vol, Q, today)
    assert mc_se > 0.0
    assert abs(value - mc) <= 3 * math.hypot(se, mc_se), (value, se, mc, mc_se)


@pytest.mark.parametrize("call_put", ["call", "put"])
@pytest.mark.parametrize("known", [0, 30, 63], ids=["fresh", "seasoned", "last-two"])
def test_control_variate_value_is_quantlib_geometric_closed_form(call_put, known):
    # A fixing today (t = 0) is among the remaining ones for every case.
    spot, strike, vol, today = 80.0, 82.0, 0.35, DAYS[known]
    closes = 78.0 * np.exp(0.01 * np.cos(np.arange(known)))
    future = DAYS[known:]
    got = _core.asian_geometric(
        call=call_put == "call", strike=strike, maturity=(MATURITY - today).days / 365.0,
        fixing_times=np.asarray((future - today).days, float) / 365.0, known_count=known,
        known_sum=closes.sum(), known_log_sum=np.log(closes).sum(), spot=spot, rate=R,
        dividend=Q, vol=vol)
    kind = ql.Option.Call if call_put == "call" else ql.Option.Put
    option = ql.DiscreteAveragingAsianOption(
        ql.Average.Geometric, float(np.prod(closes)), known, [qld(d) for d in future],
        ql.PlainVanillaPayoff(kind, strike), ql.EuropeanExercise(qld(MATURITY)))
    option.setPricingEngine(ql.AnalyticDiscreteGeometricAveragePriceAsianEngine(
        process(spot, R, vol, Q, today)))
    assert abs(got - option.NPV()) <= 1e-12 * max(1.0, option.NPV()), (got, option.NPV())


@pytest.mark.parametrize("call_put", ["call", "put"])
def test_certain_average_on_the_last_day_is_exact(market, call_put):
    # QuantLib's instrument counts itself expired on its last day and reports 0.0; the
    # payoff is certain once the last close is in, and is paid that day.
    _, closes = season(market, len(DAYS), 50.0)
    strike = closes.mean() + (-0.1 if call_put == "call" else 0.1)
    value, se = AsianOption(terms(call_put, strike)).npv_and_se(50.0, R, 0.3, Q, MATURITY)
    assert se == 0.0 and value == pytest.approx(0.1, rel=1e-9)


@pytest.mark.parametrize("call_put", ["call", "put"])
@pytest.mark.parametrize("today_close", [True, False], ids=["close-in", "today-at-spot"])
def test_one_uncertain_fixing_left_is_a_vanilla(market, call_put, today_close):
    # (known + [spot] + S_T) / N against K: a vanilla on S_T of strike N K - known - [spot]
    spot, vol, n = 50.0, 0.3, len(DAYS)
    _, closes = season(market, n - 1 if today_close else n - 2, spot)
    fixed = closes.sum() + (0.0 if today_close else spot)
    strike = (fixed + spot * (0.98 if call_put == "call" else 1.02)) / n  # near the money
    value, se = AsianOption(terms(call_put, strike)).npv_and_se(spot, R, vol, Q, DAYS[-2])
    t = (MATURITY - DAYS[-2]).days / 365.0
    expected = bs_vanilla(spot, n * strike - fixed, R, Q, vol, t, call_put == "call") / n
    assert se == 0.0 and value == pytest.approx(expected, rel=1e-12)


def test_fixing_today_at_spot_equals_its_close(market):
    # Today's close known, or not yet in and the spot equal to it: one and the same average.
    today, closes = season(market, 40, 70.0)
    opt = AsianOption(terms("put", 71.0))
    without = opt.npv(70.0, R, 0.25, Q, today)
    market.set_closes("X", dict(zip(DAYS[:41], [*closes, 70.0])))
    with_close = opt.npv(70.0, R, 0.25, Q, today)
    assert with_close == pytest.approx(without, rel=1e-12, abs=1e-12)


def test_same_bits_on_every_thread_count_and_run(market):
    today, _ = season(market, 20, 57.56)
    opt = AsianOption(terms("call", 57.0, qmc_target=2e-5))  # several rounds of replicates
    before = torch.get_num_threads()
    try:
        values = [torch.set_num_threads(k) or opt.npv_and_se(57.56, R, 0.3, Q, today)
                  for k in (1, 2, 3, 1)]
    finally:
        torch.set_num_threads(before)
    assert all(v == values[0] for v in values), values
    assert opt.npv(57.56, R, 0.3, Q, today) == values[0][0]


def test_greeks_on_common_numbers_match_reference(market):
    spot, strike, vol = 57.56, 57.0, 0.3
    today, closes = season(market, 40, spot)
    greeks = AsianOption(terms("call", strike)).greeks(spot, R, vol, Q, today)
    ds = spot * 0.005

    def ref(s=spot, v=vol):  # payoffs on the same normals at every bump
        return payoffs("call", strike, s, v, today, closes, seed=11)

    for name, got, diff, scale in (
            ("delta", greeks.delta, ref(s=spot + ds) - ref(s=spot - ds), 1 / (2 * ds)),
            ("vega", greeks.vega, ref(v=vol + 0.01) - ref(v=vol - 0.01), 0.5)):
        expected = diff.mean() * scale
        tol = 4 * diff.std(ddof=1) / math.sqrt(len(diff)) * scale
        assert abs(got - expected) <= tol, (name, got, expected, tol)


def test_geometric_ignores_the_engine_and_is_exact(market):
    today, _ = season(market, 30, 60.0)
    both = [AsianOption({**terms("call", 61.0, engine), "average_type": "geometric"})
            .npv_and_se(60.0, R, 0.2, Q, today) for engine in ("qmc", "monte_carlo")]
    assert both[0] == both[1] and both[0][1] == 0.0


def test_bad_close_is_refused_and_cap_warns(market, monkeypatch):
    market.set_closes("X", dict(zip(DAYS[:3], [50.0, float("nan"), 51.0])))
    opt = AsianOption(terms("call", 50.0, qmc_target=1e-9))
    with pytest.raises(ValueError, match="nan on 2024-06-04"):
        opt.npv(50.0, R, 0.2, Q, DAYS[3])
    market.set_closes("X", dict(zip(DAYS[:3], [50.0, 50.5, 51.0])))
    monkeypatch.setattr(asian, "QMC_MAX_PATHS", 4096)
    with pytest.warns(asian.QmcCapWarning, match="after 4096 paths"):
        value, se = opt.npv_and_se(50.0, R, 0.2, Q, DAYS[3])
    assert se > 1e-9 * 50.0 and value > 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the default target is met without the cap
        AsianOption(terms("call", 50.0)).npv(50.0, R, 0.2, Q, DAYS[3])
