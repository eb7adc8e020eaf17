"""DoubleTouchOption: Hui's series, touch logic on highs and lows, the owed cash."""

import math

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import (
    EFFECT, EVAL, MAT_90, close_enough, corridor_probability, double_no_touch, owed_cash_greeks,
    process, ql_npv, qld, terms_builder, year_fraction,
)
from velmora import dualtap as dualtap_module
from velmora.dualtap import DoubleTouchOption
from velmora.groundwork import OptionGreeks

pytestmark = pytest.mark.usefixtures("priceless_history")  # trading days since the effect date


terms = terms_builder(
    "300750.XSHE", MAT_90, s0=100.0, notional=10, touch_type="double_no_touch",
    touch_price_lo=85.0, touch_price_hi=115.0, digital_payoff=12.0, pay_at="expiry")


@pytest.mark.parametrize("spot,r,q,vol", [
    (100.0, 0.10, 0.0, 0.20), (90.0, 0.02, 0.03, 0.30), (112.0, 0.05, 0.0, 0.12),
])
def test_values_against_hui_series(market, spot, r, q, vol):
    t = year_fraction(MAT_90)
    dnt = double_no_touch(spot, 85.0, 115.0, 12.0, r, q, vol, t)
    expected = {"double_no_touch": dnt, "double_one_touch": 12.0 * math.exp(-r * t) - dnt}
    for kind in expected:
        got = DoubleTouchOption(terms(touch_type=kind)).npv(spot, r, vol, q, EVAL)
        tol = 1e-6
        assert abs(got - expected[kind]) <= tol, close_enough(got, expected[kind], tol, kind=kind)


# Corridors of many standard deviations over a short life: Hui's series in QuantLib
# stops ("serie did not converge") on the first three rows.  Rows: spot, corridor,
# vol, days, r, q.
NARROW_LIVES = [
    (100.0, 75.0, 150.0, 0.0625, 7, 0.0, 0.0),
    (100.0, 80.0, 120.0, 0.03, 2, 0.03, 0.01),
    (85.3, 85.0, 115.0, 0.03, 2, 0.02, 0.0),  # 1.6 s.d. above the lower level
    (100.0, 85.0, 115.0, 0.20, 90, 0.05, 0.01),  # QuantLib converges here
]


@pytest.mark.parametrize("kind", ["double_no_touch", "double_one_touch"])
@pytest.mark.parametrize("spot,lo,hi,vol,days,r,q", NARROW_LIVES)
def test_short_lives_at_low_volatility(market, kind, spot, lo, hi, vol, days, r, q):
    """QuantLib's value to the bit where its series converges; else the sine series."""
    option = DoubleTouchOption(terms(touch_type=kind, touch_price_lo=lo, touch_price_hi=hi,
                                     maturity_date=EVAL + pd.Timedelta(days=days)))
    t = year_fraction(option.maturity_date)
    got = option.npv(spot, r, vol, q, EVAL)
    direct = ql.DoubleBarrierOption(
        ql.DoubleBarrier.KnockOut if kind == "double_no_touch" else ql.DoubleBarrier.KnockIn,
        lo, hi, 0.0, ql.CashOrNothingPayoff(ql.Option.Call, 0.0, 12.0),
        ql.EuropeanExercise(qld(option.maturity_date)))
    try:
        assert got == ql_npv(direct, ql.AnalyticDoubleBarrierBinaryEngine(
            process(spot, r, vol, q))), kind
        return
    except RuntimeError as error:
        assert "serie did not converge" in str(error)
    stay = corridor_probability(spot, lo, hi, 0.0, math.inf, r - q - vol * vol / 2, vol, t)
    want = 12.0 * math.exp(-r * t) * (stay if kind == "double_no_touch" else 1.0 - stay)
    assert abs(got - want) <= 1e-10, close_enough(got, want, 1e-10, kind=kind, vol=vol)


def test_inner_dictionary(market, monkeypatch):
    seen = []
    monkeypatch.setattr(dualtap_module, "DoubleBarrierOption", lambda option: seen.append(option))
    caller = terms(touch_type="kiko", strike=55.0, call_put="put", rebate=0,
                   maturity_date="2024-03-30")  # a Saturday
    DoubleTouchOption({k: v for k, v in caller.items() if k != "digital_payoff"})
    assert list(seen[0].items()) == [
        ("type", "dualknock"), ("underlying", "300750.XSHE"), ("notional", 10), ("s0", 100.0),
        ("call_put", "call"), ("strike", 0), ("barrier_type", "kiko"), ("barrier_lo", 85.0),
        ("barrier_hi", 115.0), ("payoff_type", "cash_or_nothing"), ("exercise_type", "american"),
        ("rebate", 0), ("digital_payoff", 100.0), ("pay_at", "expiry"),
        ("effect_date", EFFECT), ("maturity_date", pd.Timestamp("2024-04-01")),
    ]
    DoubleTouchOption({k: v for k, v in terms().items() if k != "rebate"})
    assert seen[1]["rebate"] == 0.0 and type(seen[1]["rebate"]) is float


@pytest.mark.parametrize("missing", ["touch_type", "touch_price_lo", "touch_price_hi", "pay_at"])
def test_missing_key(market, missing):
    with pytest.raises(KeyError) as info:
        DoubleTouchOption({k: v for k, v in terms().items() if k != missing})
    assert info.value.args == (missing,)


def test_rebate_cannot_be_paid(market):
    with pytest.raises(NotImplementedError):
        DoubleTouchOption(terms(rebate=1.0))


def set_bars(market, low, high):
    market.set_bars("300750.XSHE", pd.DataFrame(
        {"close": [100.0, 100.0, 101.0], "low": [99.0, low, 100.0], "high": [101.0, high, 102.0]},
        index=["2023-12-01", "2023-12-18", "2024-01-03"]), adjust_type="pre")


TOUCHES = [
    # day's low, day's high, touched?
    (85.0, 115.0, False), (84.99, 110.0, True), (90.0, 115.01, True), (84.0, 116.0, True),
]


@pytest.mark.parametrize("low,high,touched", TOUCHES,
                         ids=[f"low{l}-high{h}" for l, h, _ in TOUCHES])
def test_touch_on_highs_and_lows(market, low, high, touched):
    set_bars(market, low, high)
    option = DoubleTouchOption(terms())
    assert option.triggered(EVAL) is touched
    call = market.calls_to("get_price")[-1]
    assert call[1] == ("300750.XSHE", EFFECT, EVAL)
    assert call[2] == {"fields": ["low", "high"], "adjust_type": "pre", "expect_df": True}


@pytest.mark.parametrize("kind", ["double_no_touch", "kiko", "koki"])
def test_touched_and_nothing_left_to_pay(market, kind):
    set_bars(market, 80.0, 101.0)
    option = DoubleTouchOption(terms(touch_type=kind))
    assert option.npv(100.0, 0.03, 0.2, 0.0, EVAL) == 0.0
    greeks = option.greeks(100.0, 0.03, 0.2, 0.0, EVAL)
    assert greeks == OptionGreeks(0, 0, 0, 0, 0, 0) and all(type(x) is int for x in greeks)
    assert market.count("get_price") == 2


@pytest.mark.parametrize("r", [0.0, 0.05])
def test_touched_double_one_touch_is_owed_its_cash(market, r):
    set_bars(market, 99.0, 130.0)
    option = DoubleTouchOption(terms(touch_type="double_one_touch"))
    expected = owed_cash_greeks(12.0, MAT_90, r)
    got = option.npv(100.0, r, 0.2, 0.0, EVAL)
    assert abs(got - expected[0]) <= 1e-12, close_enough(got, expected[0], 1e-12, r=r)
    greeks = option.greeks(100.0, r, 0.2, 0.0, EVAL)
    for field, g, e in zip(OptionGreeks._fields, greeks, expected):
        assert abs(g - e) <= 1e-12, close_enough(g, e, 1e-12, field=field)


def test_untouched_greeks_are_the_inner_options(market):
    set_bars(market, 95.0, 105.0)
    market.set_closes("300750.XSHE", {"2023-12-01": 100.0}, adjust_type="none")
    option = DoubleTouchOption(terms())
    got, calls = market.price_calls(lambda: option.greeks(100.0, 0.03, 0.2, 0.0, EVAL))
    kinds = [c[2]["adjust_type"] for c in calls]
    assert kinds == ["pre"] + ["none"] * 2  # the inner double barrier: once per date
    assert got == option._option.greeks(100.0, 0.03, 0.2, 0.0, EVAL)
    assert got.vega < 0  # more volatility, more chance of leaving the corridor
