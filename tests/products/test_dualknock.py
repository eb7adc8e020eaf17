"""DoubleBarrierOption: Haug's table, Hui's series, parity, corridor logic, engine choice."""

import math

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import (
    EFFECT, EVAL, MAT_90, bs_vanilla, close_enough, corridor_probability, digital_probability,
    double_no_touch, haug_market, process, ql_npv, qld, terms_builder, year_fraction,
)
from velmora.dualknock import DUALKNOCK_TYPE, DoubleBarrierOption

pytestmark = pytest.mark.usefixtures("priceless_history")  # trading days since the effect date


terms = terms_builder(
    "600519.XSHG", MAT_90, s0=100.0, notional=1, barrier_lo=80.0, barrier_hi=120.0,
    barrier_type="knock_out", call_put="call", strike=100.0, exercise_type="european",
    payoff_type="plain_vanilla")


# Haug (1998), double barrier table (Ikeda-Kunitomo, flat barriers): double knock-out
# calls, S = K = 100, T = 0.25, r = 10 %, b = 10 % (q = 0).
HAUG_DOUBLE = [
    (50, 150, 0.15, 4.3515), (50, 150, 0.25, 6.1644), (50, 150, 0.35, 7.0373),
    (60, 140, 0.15, 4.3505), (60, 140, 0.25, 5.8500), (60, 140, 0.35, 5.7726),
    (70, 130, 0.15, 4.3139), (70, 130, 0.25, 4.8293), (70, 130, 0.35, 3.7765),
    (80, 120, 0.15, 3.7516), (80, 120, 0.25, 2.6387), (80, 120, 0.35, 1.4903),
    (90, 110, 0.15, 1.2055), (90, 110, 0.25, 0.3098), (90, 110, 0.35, 0.0477),
]


@pytest.mark.parametrize("lo,hi,vol,expected", HAUG_DOUBLE,
                         ids=[f"L{c[0]}-U{c[1]}-v{c[2]}" for c in HAUG_DOUBLE])
def test_knock_out_call_matches_haug_table(market, lo, hi, vol, expected):
    r, q, v = haug_market(0.10, 0.0, vol)
    option = DoubleBarrierOption(terms(barrier_lo=lo, barrier_hi=hi))
    got = option.npv(100.0, r, v, q, EVAL)
    tol = 1.5e-4  # the table is rounded to four places
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, L=lo, U=hi, vol=vol)


@pytest.mark.parametrize("call_put", ["call", "put"])
@pytest.mark.parametrize("strike", [90.0, 100.0, 112.0])
def test_in_plus_out_is_vanilla(market, call_put, strike):
    spot, r, vol, q = 100.0, 0.03, 0.25, 0.01
    total = sum(
        DoubleBarrierOption(terms(barrier_type=kind, call_put=call_put, strike=strike))
        .npv(spot, r, vol, q, EVAL)
        for kind in ("knock_in", "knock_out")
    )
    expected = bs_vanilla(spot, strike, r, q, vol, year_fraction(MAT_90), call_put == "call")
    tol = 1e-7
    assert abs(total - expected) <= tol, close_enough(total, expected, tol, K=strike)


@pytest.mark.parametrize("spot,lo,hi,r,q,vol", [
    (100.0, 80.0, 120.0, 0.10, 0.00, 0.20),
    (95.0, 85.0, 130.0, 0.03, 0.02, 0.35),
    (101.0, 90.0, 110.0, 0.05, 0.05, 0.10),
])
def test_cash_or_nothing_against_hui_series(market, spot, lo, hi, r, q, vol):
    t = year_fraction(MAT_90)
    dnt = double_no_touch(spot, lo, hi, 10.0, r, q, vol, t)
    for kind, expected in (("knock_out", dnt), ("knock_in", 10.0 * math.exp(-r * t) - dnt)):
        option = DoubleBarrierOption(terms(barrier_type=kind, barrier_lo=lo, barrier_hi=hi,
                                           payoff_type="cash_or_nothing", strike=0,
                                           digital_payoff=10.0))
        got = option.npv(spot, r, vol, q, EVAL)
        tol = 1e-6
        assert abs(got - expected) <= tol, close_enough(got, expected, tol, kind=kind, S=spot)


# European knock-in/out against the eigenfunction series of the killed log price,
# an expansion independent of the method of images used by the engines.  Rows:
# payoff, call/put, strike, corridor, spot, vol, days, r, q.
CORRIDOR_CASES = [
    # a narrow corridor over three years: five images leave 0.0269 of a value ~1e-12
    ("plain_vanilla", "call", 90.0, 90.0, 110.0, 105.0, 0.60, 1097, 0.03, 0.02),
    ("plain_vanilla", "put", 104.0, 95.0, 112.0, 101.0, 0.45, 730, 0.02, 0.00),
    ("plain_vanilla", "call", 1480.0, 1400.0, 1650.0, 1500.0, 0.35, 900, 0.03, 0.01),
    # strikes outside the corridor: QuantLib's closed form is wrong there
    ("plain_vanilla", "call", 70.0, 80.0, 120.0, 100.0, 0.25, 184, 0.03, 0.01),
    ("plain_vanilla", "put", 130.0, 80.0, 120.0, 100.0, 0.25, 184, 0.03, 0.01),
    ("plain_vanilla", "put", 5335.7, 1620.0, 4628.0, 4051.0, 0.063, 733, 0.0795, 0.0244),
    ("plain_vanilla", "call", 100.0, 80.0, 120.0, 100.0, 0.25, 90, 0.10, 0.00),
    # digitals: the strike and the side decide what is paid
    ("cash_or_nothing", "call", 110.0, 60.0, 150.0, 75.0, 0.10, 36, 0.03, 0.00),
    ("cash_or_nothing", "put", 90.0, 60.0, 150.0, 75.0, 0.10, 36, 0.03, 0.00),
    ("cash_or_nothing", "call", 100.0, 80.0, 120.0, 97.0, 0.30, 180, 0.04, 0.01),
    ("cash_or_nothing", "put", 105.0, 80.0, 120.0, 110.0, 0.20, 365, 0.02, 0.03),
    ("cash_or_nothing", "call", 95.0, 90.0, 110.0, 100.0, 0.50, 1000, 0.03, 0.00),
    ("cash_or_nothing", "call", 50.0, 80.0, 120.0, 100.0, 0.25, 120, 0.03, 0.00),
    ("cash_or_nothing", "put", 150.0, 80.0, 120.0, 100.0, 0.25, 120, 0.03, 0.00),
    ("cash_or_nothing", "call", 130.0, 80.0, 120.0, 100.0, 0.25, 120, 0.03, 0.00),
    # the whole corridor paid, short life, low vol: Hui's series stalls in QuantLib
    ("cash_or_nothing", "put", 150.0, 75.0, 150.0, 100.0, 0.125, 2, 0.00, 0.00),
    ("cash_or_nothing", "call", 50.0, 80.0, 120.0, 95.0, 0.04, 7, 0.03, 0.01),
]


@pytest.mark.parametrize("kind", ["knock_out", "knock_in"])
@pytest.mark.parametrize("payoff,call_put,strike,lo,hi,spot,vol,days,r,q", CORRIDOR_CASES,
                         ids=[f"{c[0][:4]}-{c[1]}-K{c[2]}-{c[3]}/{c[4]}-S{c[5]}-v{c[6]}-{c[7]}d"
                              for c in CORRIDOR_CASES])
def test_european_against_eigenfunction_series(market, kind, payoff, call_put, strike, lo, hi,
                                                spot, vol, days, r, q):
    call = call_put == "call"
    option = DoubleBarrierOption(terms(barrier_type=kind, call_put=call_put, strike=strike,
                                       barrier_lo=lo, barrier_hi=hi, payoff_type=payoff,
                                       digital_payoff=10.0,
                                       maturity_date=EVAL + pd.Timedelta(days=days)))
    t = year_fraction(option.maturity_date)  # rolled onto a trading day
    got = option.npv(spot, r, vol, q, EVAL)
    paid = (strike, math.inf) if call else (0.0, strike)
    pricing = corridor_probability(spot, lo, hi, *paid, r - q - vol * vol / 2, vol, t)
    if payoff == "cash_or_nothing":
        knock_out = 10.0 * math.exp(-r * t) * pricing
        vanilla = 10.0 * math.exp(-r * t) * digital_probability(spot, strike, call, r, q, vol, t)
    else:
        share = corridor_probability(spot, lo, hi, *paid, r - q + vol * vol / 2, vol, t)
        knock_out = spot * math.exp(-q * t) * share - strike * math.exp(-r * t) * pricing
        knock_out = knock_out if call else -knock_out
        vanilla = bs_vanilla(spot, strike, r, q, vol, t, call)
    expected = knock_out if kind == "knock_out" else vanilla - knock_out
    tol = 1e-10 * max(1.0, spot / 100.0, abs(expected))
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, K=strike, L=lo, U=hi)


@pytest.mark.parametrize("kind", ["kiko", "koki"])
@pytest.mark.parametrize("pay_at", ["expiry", "hit"])
def test_american_kiko_koki_is_quantlib_instrument(market, kind, pay_at):
    spot, r, vol, q = 100.0, 0.03, 0.3, 0.0
    # A contract starting today: no history is due (with history it is not implemented).
    option = DoubleBarrierOption(terms(barrier_type=kind, exercise_type="american",
                                       payoff_type="cash_or_nothing", strike=0,
                                       digital_payoff=10.0, pay_at=pay_at, effect_date=EVAL))
    got = option.npv(spot, r, vol, q, EVAL)
    instrument = ql.DoubleBarrierOption(
        DUALKNOCK_TYPE[kind], 80.0, 120.0, 0.0, ql.CashOrNothingPayoff(ql.Option.Call, 0, 10.0),
        ql.AmericanExercise(qld(EVAL), qld(MAT_90), pay_at == "expiry"))
    expected = ql_npv(instrument, ql.AnalyticDoubleBarrierBinaryEngine(process(spot, r, vol, q)))
    assert abs(got - expected) <= 1e-12, close_enough(got, expected, 1e-12, kind=kind)


# --- corridor logic ------------------------------------------------------------

CORRIDOR = [
    # close on the crossing day, crossed?
    (80.0, False), (120.0, False), (79.99, True), (120.01, True),
]


@pytest.mark.parametrize("close,crossed", CORRIDOR, ids=[f"close{c}" for c, _ in CORRIDOR])
@pytest.mark.parametrize("kind", ["knock_in", "knock_out"])
def test_corridor_from_unadjusted_closes(market, close, crossed, kind):
    market.set_closes("600519.XSHG", {"2023-12-01": 100.0, "2023-12-20": close}, adjust_type="none")
    # Adjusted closes that never leave the corridor must not be read.
    market.set_closes("600519.XSHG", {"2023-12-01": 100.0, "2023-12-20": 100.0}, adjust_type="pre")
    spot, r, vol, q = 100.0, 0.03, 0.25, 0.0
    option = DoubleBarrierOption(terms(barrier_type=kind, strike=95.0))
    assert option.triggered(EVAL) is crossed
    call = market.calls_to("get_price")[-1]
    assert call[1] == ("600519.XSHG", EFFECT, EVAL)
    assert call[2] == {"fields": "close", "adjust_type": "none", "expect_df": True}
    got = option.npv(spot, r, vol, q, EVAL)
    if not crossed:
        instrument = ql.DoubleBarrierOption(DUALKNOCK_TYPE[kind], 80.0, 120.0, 0.0,
                                            ql.PlainVanillaPayoff(ql.Option.Call, 95.0),
                                            ql.EuropeanExercise(qld(MAT_90)))
        expected = ql_npv(instrument, ql.AnalyticDoubleBarrierEngine(process(spot, r, vol, q)))
    elif kind == "knock_out":
        expected = 0.0
    else:
        expected = bs_vanilla(spot, 95.0, r, q, vol, year_fraction(MAT_90), True)
    assert abs(got - expected) <= 1e-9, close_enough(got, expected, 1e-9, close=close)


def test_knocked_in_cash_or_nothing_without_amount_pays_nothing(market):
    spot, r, vol, q = 100.0, 0.03, 0.2, 0.0
    option = DoubleBarrierOption(terms(barrier_type="knock_in", payoff_type="cash_or_nothing",
                                       s0=50.0, strike=100.0))
    assert option.digital_payoff == 50.0
    # Paid above the strike after a touch: the digital less the knock-out.
    t = year_fraction(MAT_90)
    expected = 50.0 * math.exp(-r * t) * (
        digital_probability(spot, 100.0, True, r, q, vol, t)
        - corridor_probability(spot, 80.0, 120.0, 100.0, math.inf, r - q - vol * vol / 2, vol, t))
    got = option.npv(spot, r, vol, q, EVAL)
    assert abs(got - expected) <= 1e-9 and got > 1.0, close_enough(got, expected, 1e-9)
    market.set_closes("600519.XSHG", {"2023-12-20": 130.0})
    assert option.npv(spot, r, vol, q, EVAL) == 0.0


@pytest.mark.parametrize("kind", ["kiko", "koki"])
def test_kiko_koki_history(market, kind):
    option = DoubleBarrierOption(terms(barrier_type=kind, exercise_type="american",
                                       payoff_type="cash_or_nothing", strike=0,
                                       effect_date=EVAL))
    assert option.triggered(EVAL) is False  # starts today, no bars: nothing to check
    market.set_closes("600519.XSHG", {EVAL: 100.0})
    with pytest.raises(NotImplementedError, match="^KIKO and KOKI not implemented yet$"):
        option.npv(100.0, 0.03, 0.2, 0.0, EVAL)


# --- engine choice and failures ---------------------------------------------------

@pytest.mark.parametrize("changes,error,message", [
    ({"payoff_type": "cash_or_nothing", "barrier_type": "kiko", "effect_date": EVAL},
     AssertionError, "not implemented"),
    ({"payoff_type": "cash_or_nothing", "barrier_type": "koki", "effect_date": EVAL},
     AssertionError, "not implemented"),
    ({"payoff_type": "cash_or_nothing", "exercise_type": "american"}, AssertionError,
     "not implemented"),
    ({"exercise_type": "american"}, NotImplementedError,
     "american exercise, plain_vanilla payoff, knock_out not supported"),
    ({"payoff_type": "asset_or_nothing"}, NotImplementedError,
     "european exercise, asset_or_nothing payoff, knock_out not supported"),
], ids=["euro-cash-kiko", "euro-cash-koki", "amer-cash-knockout", "amer-plain", "asset"])
def test_engine_refusals(market, changes, error, message):
    option = DoubleBarrierOption(terms(**changes))
    with pytest.raises(error) as info:
        option.npv(100.0, 0.03, 0.2, 0.0, EVAL)
    assert str(info.value).startswith(message)


def test_knocked_in_asset_or_nothing_is_its_vanilla(market):
    market.set_closes("600519.XSHG", {"2023-12-20": 70.0})
    option = DoubleBarrierOption(terms(barrier_type="knock_in", payoff_type="asset_or_nothing"))
    vanilla = ql.VanillaOption(ql.AssetOrNothingPayoff(ql.Option.Call, 100.0),
                               ql.EuropeanExercise(qld(MAT_90)))
    expected = ql_npv(vanilla, ql.AnalyticEuropeanEngine(process(100.0, 0.03, 0.2, 0.0)))
    got = option.npv(100.0, 0.03, 0.2, 0.0, EVAL)
    assert abs(got - expected) <= 1e-12, close_enough(got, expected, 1e-12)


@pytest.mark.parametrize("rebate,accepted", [
    (0, True), (0.0, True), (1e-12, False), (-1.0, False), (float("nan"), False),
])
def test_rebate_must_be_zero(market, rebate, accepted):
    if accepted:
        assert DoubleBarrierOption(terms(rebate=rebate)).rebate == 0
    else:
        with pytest.raises(NotImplementedError) as info:
            DoubleBarrierOption(terms(rebate=rebate, payoff_type="bogus"))  # before the payoff
        assert str(info.value).startswith(f"rebate {rebate!r} not supported")


@pytest.mark.parametrize("changes,error,message", [
    ({"payoff_type": "bogus", "exercise_type": "bogus"}, AssertionError,
     ("unknown payoff type 'bogus'; accepted: "
      '"plain_vanilla", "cash_or_nothing", "asset_or_nothing"')),
    ({"exercise_type": "bermudan"}, NotImplementedError, "BERMUDAN EXERCISE not supported yet"),
    ({"exercise_type": "eu"}, ValueError, "unknown exercise type: eu"),
    ({"barrier_type": "double_knock_out"}, KeyError, "'double_knock_out'"),
])
def test_construction_failures(market, changes, error, message):
    with pytest.raises(error) as info:
        DoubleBarrierOption(terms(**changes))
    assert str(info.value) == message


@pytest.mark.parametrize("missing", ["barrier_hi", "barrier_lo", "barrier_type", "call_put",
                                     "strike", "exercise_type", "payoff_type"])
def test_missing_key(market, missing):
    with pytest.raises(KeyError) as info:
        DoubleBarrierOption({k: v for k, v in terms().items() if k != missing})
    assert info.value.args == (missing,)
