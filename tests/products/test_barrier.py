"""BarrierOption: engine values, Haug's table, parity, knock logic from closes, failures."""

import datetime
import math

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import (
    EFFECT, EVAL, MAT_180, bs_vanilla, cash_at_hit, close_enough, digital_probability, haug_market,
    no_touch_probability, process, ql_npv, qld, survival_digital_probability, terms_builder,
    year_fraction,
)
from test_barrier_fd import converged as converged_american
from velmora import barrier as barrier_module
from velmora.barrier import PRICING_ENGINE_MAP, BarrierOption

QL_TYPE = {
    "down_and_in": ql.Barrier.DownIn,
    "down_and_out": ql.Barrier.DownOut,
    "up_and_in": ql.Barrier.UpIn,
    "up_and_out": ql.Barrier.UpOut,
}

pytestmark = pytest.mark.usefixtures("priceless_history")  # trading days since the effect date


terms = terms_builder(
    "600000.XSHG", MAT_180, s0=100.0, notional=1_000_000, call_put="call", strike=100.0,
    barrier_type="down_and_out", barrier=90.0, rebate=0.0, exercise_type="european",
    payoff_type="plain_vanilla")


# Haug (1998), "The Complete Guide to Option Pricing Formulas", standard barrier table:
# S = 100, T = 0.5, r = 8 %, b = 4 % (q = 4 %), vol 25 %, rebate 3.  Calls, laid out as
# in the book: a row per barrier type and level, a column per strike.
HAUG_STRIKES = (90, 100, 110)
HAUG_ROWS = {
    ("down_and_out", 95): (9.0246, 6.7924, 4.8759),
    ("up_and_out", 105): (2.6789, 2.3580, 2.3453),
    ("down_and_in", 95): (7.7627, 4.0109, 2.0576),
    ("up_and_in", 105): (14.1112, 8.4482, 4.5910),
}
HAUG_BARRIER = [(kind, "call", strike, level, value)
                for (kind, level), values in HAUG_ROWS.items()
                for strike, value in zip(HAUG_STRIKES, values)]


@pytest.mark.parametrize("barrier_type,call_put,strike,level,expected", HAUG_BARRIER,
                         ids=[f"{b}-{c}-K{k}-H{h}" for b, c, k, h, _ in HAUG_BARRIER])
def test_european_matches_haug_table(market, barrier_type, call_put, strike, level, expected):
    r, q, vol = haug_market(0.08, 0.04, 0.25)
    option = BarrierOption(terms(barrier_type=barrier_type, call_put=call_put, strike=strike,
                                 barrier=level, rebate=3.0))
    got = option.npv(100.0, r, vol, q, EVAL)
    tol = 1e-4
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, K=strike, H=level)


ENGINE_CASES = [
    # exercise, payoff, barrier type, call/put, strike, level, extra keys
    ("european", "plain_vanilla", "down_and_in", "put", 105.0, 92.0, {"rebate": 1.5}),
    ("european", "plain_vanilla", "up_and_out", "call", 95.0, 118.0, {"rebate": 2.0}),
    ("american", "plain_vanilla", "down_and_out", "put", 104.0, 91.0, {}),
    ("american", "plain_vanilla", "up_and_in", "call", 100.0, 112.0, {"rebate": 1.0}),
    ("american", "cash_or_nothing", "up_and_in", "call", 0, 110.0,
     {"digital_payoff": 7.0, "pay_at": "expiry"}),
    ("american", "cash_or_nothing", "down_and_out", "call", 95.0, 90.0,
     {"digital_payoff": 7.0, "pay_at": "expiry"}),
    ("european", "cash_or_nothing", "down_and_out", "call", 102.0, 88.0,
     {"digital_payoff": 9.0}),
    ("european", "cash_or_nothing", "up_and_in", "put", 98.0, 115.0,
     {"digital_payoff": 9.0, "rebate": 0.5}),
]


def direct_engine(exercise, payoff, proc):
    if exercise == "american" and payoff == "plain_vanilla":
        return ql.BinomialBarrierEngine(proc, "crr", 400)
    if payoff == "cash_or_nothing":
        # European digitals too: the closed form on the contract paid at expiry
        return ql.AnalyticBinaryBarrierEngine(proc)
    return ql.AnalyticBarrierEngine(proc)


def european_rebate(barrier_type, level, rebate, spot, r, q, vol):
    """A European digital's rebate: at the hit (out) or at expiry if never in (in)."""
    t = year_fraction(MAT_180)
    if barrier_type.endswith("out"):
        return cash_at_hit(spot, level, rebate, r, q, vol, t)
    return rebate * math.exp(-r * t) * no_touch_probability(spot, level, r, q, vol, t)


@pytest.mark.parametrize("exercise,payoff,barrier_type,call_put,strike,level,extra", ENGINE_CASES,
                         ids=[f"{c[0]}-{c[1]}-{c[2]}-{c[3]}" for c in ENGINE_CASES])
def test_untouched_value_is_quantlib_instrument(market, exercise, payoff, barrier_type, call_put,
                                                strike, level, extra):
    market.set_closes("600000.XSHG", {"2023-12-01": 100.0, "2024-01-02": 101.0})
    spot, r, vol, q = 101.0, 0.025, 0.27, 0.01
    option = BarrierOption(terms(exercise_type=exercise, payoff_type=payoff,
                                 barrier_type=barrier_type, call_put=call_put, strike=strike,
                                 barrier=level, **extra))
    got = option.npv(spot, r, vol, q, EVAL)

    side = ql.Option.Call if call_put == "call" else ql.Option.Put
    if payoff == "plain_vanilla":
        ql_payoff = ql.PlainVanillaPayoff(side, strike)
    else:
        ql_payoff = ql.CashOrNothingPayoff(side, strike, extra["digital_payoff"])
    rebate = extra.get("rebate", 0.0)
    extra_value = 0.0
    if exercise == "american":
        exercise_ql = ql.AmericanExercise(qld(EFFECT), qld(MAT_180),
                                          extra.get("pay_at") == "expiry")
    elif payoff == "cash_or_nothing":
        exercise_ql = ql.AmericanExercise(qld(EFFECT), qld(MAT_180), True)
        extra_value = european_rebate(barrier_type, level, rebate, spot, r, q, vol)
        rebate = 0.0
    else:
        exercise_ql = ql.EuropeanExercise(qld(MAT_180))
    instrument = ql.BarrierOption(QL_TYPE[barrier_type], level, rebate, ql_payoff, exercise_ql)
    if exercise == "american" and payoff == "plain_vanilla":
        # Valued on the finite-difference solver: within 1e-3 of its converged value.
        expected = converged_american(barrier_type, call_put == "call", strike, level,
                                      extra.get("rebate", 0.0), spot, r, q, vol,
                                      year_fraction(MAT_180))
        tol = 1e-3 * expected
    else:
        expected = extra_value + ql_npv(instrument,
                                        direct_engine(exercise, payoff, process(spot, r, vol, q)))
        tol = 1e-10 * max(1.0, abs(expected))
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, case=barrier_type)
    assert ql.Settings.instance().evaluationDate == qld(EVAL)


@pytest.mark.parametrize("call_put", ["call", "put"])
@pytest.mark.parametrize("direction,level", [("down", 88.0), ("up", 113.0)])
@pytest.mark.parametrize("strike", [92.0, 100.0, 109.0])
def test_in_plus_out_is_vanilla(market, call_put, direction, level, strike):
    spot, r, vol, q = 100.0, 0.03, 0.22, 0.015
    values = {}
    for kind in ("in", "out"):
        option = BarrierOption(terms(call_put=call_put, strike=strike, barrier=level,
                                     barrier_type=f"{direction}_and_{kind}"))
        values[kind] = option.npv(spot, r, vol, q, EVAL)
    expected = bs_vanilla(spot, strike, r, q, vol, year_fraction(MAT_180), call_put == "call")
    got = values["in"] + values["out"]
    tol = 1e-9
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, K=strike, H=level)


def test_american_call_without_dividends_is_european(market):
    # No early exercise for a call on a non-dividend underlying: the 400-step tree
    # must land on the closed form within its discretisation error.
    spot, r, vol = 100.0, 0.04, 0.25
    american = BarrierOption(terms(exercise_type="american", barrier=85.0, strike=100.0))
    european = BarrierOption(terms(barrier=85.0, strike=100.0))
    got = american.npv(spot, r, vol, 0.0, EVAL)
    expected = european.npv(spot, r, vol, 0.0, EVAL)
    tol = 2e-2
    assert abs(got - expected) <= tol, close_enough(got, expected, tol)


# --- knock logic ------------------------------------------------------------

KNOCK_CASES = [
    # barrier type, level, close on the crossing day, crossed?
    ("down_and_out", 90.0, 90.0, False),
    ("down_and_out", 90.0, 89.99, True),
    ("down_and_in", 90.0, 90.0, False),
    ("down_and_in", 90.0, 89.99, True),
    ("up_and_out", 110.0, 110.0, False),
    ("up_and_out", 110.0, 110.01, True),
    ("up_and_in", 110.0, 110.0, False),
    ("up_and_in", 110.0, 110.01, True),
]


@pytest.mark.parametrize("barrier_type,level,close,crossed", KNOCK_CASES,
                         ids=[f"{b}-close{c}" for b, _, c, _ in KNOCK_CASES])
def test_knock_status_from_closes(market, barrier_type, level, close, crossed):
    market.set_closes("600000.XSHG", {"2023-12-01": 100.0, "2023-12-15": close,
                                      "2024-01-02": 100.0})
    spot, r, vol, q = 100.0, 0.03, 0.25, 0.0
    option = BarrierOption(terms(barrier_type=barrier_type, barrier=level, rebate=2.5, strike=98.0))
    assert option.triggered(EVAL) is crossed
    got = option.npv(spot, r, vol, q, EVAL)
    if not crossed:
        instrument = ql.BarrierOption(QL_TYPE[barrier_type], level, 2.5,
                                      ql.PlainVanillaPayoff(ql.Option.Call, 98.0),
                                      ql.EuropeanExercise(qld(MAT_180)))
        expected = ql_npv(instrument, ql.AnalyticBarrierEngine(process(spot, r, vol, q)))
    elif barrier_type.endswith("out"):
        expected = 2.5  # the rebate, undiscounted, whatever the market
    else:
        expected = bs_vanilla(spot, 98.0, r, q, vol, year_fraction(MAT_180), True)
    assert abs(got - expected) <= 1e-9, close_enough(got, expected, 1e-9, close=close)


def test_history_is_queried_once_per_date_in_greeks_and_afresh_by_each_call(market):
    market.set_closes("600000.XSHG", {"2023-12-01": 100.0})
    option = BarrierOption(terms())
    g1, calls = market.price_calls(lambda: option.greeks(100.0, 0.03, 0.2, 0.0, EVAL))
    # nine valuations on two dates (today, and theta's next day): two questions
    assert [c[1][2] for c in calls] == [EVAL, EVAL + pd.Timedelta(days=1)]
    assert calls[0][1] == ("600000.XSHG", EFFECT, EVAL)
    assert calls[0][2] == {"fields": "close", "adjust_type": "pre", "expect_df": True}
    # the next call asks again (the store may have moved on) and sees the new close
    market.set_closes("600000.XSHG", {"2023-12-01": 100.0, "2023-12-04": 85.0})
    g2, calls = market.price_calls(lambda: option.greeks(100.0, 0.03, 0.2, 0.0, EVAL))
    assert len(calls) == 2 and g2.npv == option.rebate != g1.npv


def test_no_history_values_the_instrument(market):
    # The client has no bars at all: nothing has been observed, so even a knock-in
    # whose level is far away is valued by QuantLib, not as its vanilla option.
    spot, r, vol, q = 100.0, 0.03, 0.2, 0.0
    option = BarrierOption(terms(barrier_type="up_and_in", barrier=150.0))
    assert option.triggered(EVAL) is False
    instrument = ql.BarrierOption(ql.Barrier.UpIn, 150.0, 0.0,
                                  ql.PlainVanillaPayoff(ql.Option.Call, 100.0),
                                  ql.EuropeanExercise(qld(MAT_180)))
    expected = ql_npv(instrument, ql.AnalyticBarrierEngine(process(spot, r, vol, q)))
    got = option.npv(spot, r, vol, q, EVAL)
    assert abs(got - expected) <= 1e-12, close_enough(got, expected, 1e-12)
    assert expected < 0.5 * bs_vanilla(spot, 100.0, r, q, vol, year_fraction(MAT_180), True)


def test_knocked_out_rebate_default_is_zero(market):
    market.set_closes("600000.XSHG", {"2023-12-04": 85.0})
    option = BarrierOption({k: v for k, v in terms().items() if k != "rebate"})
    assert option.npv(123.0, 0.9, 0.9, 0.2, EVAL) == 0.0


@pytest.mark.parametrize("barrier_type", ["down_and_in", "down_and_out"])
def test_cash_or_nothing_pays_s0_but_knocked_in_vanilla_pays_nothing(market, barrier_type):
    spot, r, vol, q = 100.0, 0.03, 0.2, 0.0
    option = BarrierOption(terms(payoff_type="cash_or_nothing", s0=80.0, strike=95.0,
                                 barrier_type=barrier_type))
    instrument = ql.BarrierOption(QL_TYPE[barrier_type], 90.0, 0.0,
                                  ql.CashOrNothingPayoff(ql.Option.Call, 95.0, 80.0),
                                  ql.AmericanExercise(qld(EFFECT), qld(MAT_180), True))
    expected = ql_npv(instrument, ql.AnalyticBinaryBarrierEngine(process(spot, r, vol, q)))
    got = option.npv(spot, r, vol, q, EVAL)
    assert abs(got - expected) <= 1e-10, close_enough(got, expected, 1e-10)
    assert got > 1.0
    market.set_closes("600000.XSHG", {"2023-12-04": 85.0})
    assert option.npv(spot, r, vol, q, EVAL) == 0.0


def test_no_evaluation_date_means_today(market):
    market.set_closes("600000.XSHG", {"2023-12-04": 100.0})
    option = BarrierOption(terms(maturity_date=pd.Timestamp.today().normalize()
                                 + pd.Timedelta(days=200)))
    option.npv(100.0, 0.03, 0.2, 0.0)
    assert pd.Timestamp(market.calls_to("get_price")[-1][1][2]) == pd.Timestamp.today().normalize()
    today = datetime.date.today()
    assert ql.Settings.instance().evaluationDate == ql.Date(today.day, today.month, today.year)


# --- the two digital contracts QuantLib's table engines reject -----------------

@pytest.mark.parametrize("exercise,barrier_type,known_refusal", [
    ("american", "up_and_in", "payoff must be at expiry"),   # one-touch paid at the hit
    ("european", "up_and_out", "strike must be positive"),   # no-touch, strike 0
], ids=["one-touch-at-hit", "no-touch"])
def test_table_engine_refusal_or_agreement(market, exercise, barrier_type, known_refusal):
    # QuantLib 1.44 refuses both contracts with the table's engine.  Should a later
    # QuantLib accept them, its value must agree with the closed form used here.
    spot, r, vol, q = 95.0, 0.1, 0.2, 0.0
    ql_exercise = (ql.AmericanExercise(qld(EFFECT), qld(MAT_180), False) if exercise == "american"
                   else ql.EuropeanExercise(qld(MAT_180)))
    instrument = ql.BarrierOption(QL_TYPE[barrier_type], 100.0, 0.0,
                                  ql.CashOrNothingPayoff(ql.Option.Call, 0.0, 15.0), ql_exercise)
    ours = BarrierOption(terms(exercise_type=exercise, barrier_type=barrier_type, barrier=100.0,
                               payoff_type="cash_or_nothing", strike=0, digital_payoff=15.0))
    got = ours.npv(spot, r, vol, q, EVAL)
    try:
        expected = ql_npv(instrument, PRICING_ENGINE_MAP[(exercise, "cash_or_nothing")](
            process(spot, r, vol, q)))
    except RuntimeError as refusal:
        assert known_refusal in str(refusal)
        return
    tol = 5e-3 * expected  # the finite-difference grid's accuracy
    assert abs(got - expected) <= tol, close_enough(got, expected, tol)


DIGITAL_CASES = [
    # spot, level, r, q, vol
    (95.0, 100.0, 0.10, 0.00, 0.20),
    (104.0, 97.0, 0.03, 0.02, 0.35),
    (100.0, 130.0, 0.05, 0.04, 0.15),
]


@pytest.mark.parametrize("spot,level,r,q,vol", DIGITAL_CASES,
                         ids=[f"S{c[0]}-H{c[1]}" for c in DIGITAL_CASES])
@pytest.mark.parametrize("rebate", [0.0, 4.0])
def test_cash_at_hit_knock_in(market, spot, level, r, q, vol, rebate):
    direction = "up" if level > spot else "down"
    option = BarrierOption(terms(exercise_type="american", payoff_type="cash_or_nothing",
                                 strike=0, barrier=level, barrier_type=f"{direction}_and_in",
                                 digital_payoff=15.0, rebate=rebate))
    got = option.npv(spot, r, vol, q, EVAL)
    # The rebate is left out, as QuantLib's binary barrier engine leaves it out.
    expected = cash_at_hit(spot, level, 15.0, r, q, vol, year_fraction(MAT_180))
    tol = 1e-9
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, S=spot, H=level)


@pytest.mark.parametrize("spot,level,r,q,vol", DIGITAL_CASES,
                         ids=[f"S{c[0]}-H{c[1]}" for c in DIGITAL_CASES])
@pytest.mark.parametrize("rebate", [0.0, 4.0])
def test_strike_zero_european_digitals(market, spot, level, r, q, vol, rebate):
    t = year_fraction(MAT_180)
    direction = "up" if level > spot else "down"
    stays = math.exp(-r * t) * no_touch_probability(spot, level, r, q, vol, t)
    unit_hit = cash_at_hit(spot, level, 1.0, r, q, vol, t)
    expected = {
        # knock-out: cash at expiry if never hit, rebate at the hit
        "out": 15.0 * stays + rebate * unit_hit,
        # knock-in: cash at expiry if hit, rebate at expiry if never hit
        "in": 15.0 * (math.exp(-r * t) - stays) + rebate * stays,
    }
    for kind in ("out", "in"):
        option = BarrierOption(terms(payoff_type="cash_or_nothing", strike=0, barrier=level,
                                     barrier_type=f"{direction}_and_{kind}",
                                     digital_payoff=15.0, rebate=rebate))
        got = option.npv(spot, r, vol, q, EVAL)
        tol = 1e-9
        assert abs(got - expected[kind]) <= tol, close_enough(got, expected[kind], tol, kind=kind)


# European cash-or-nothing with a strike: cash * discounted probability of ending
# beyond the strike without (out) or after (in) touching the level; a knock-out's
# rebate is paid at the hit, a knock-in's at expiry if it never knocked in.
EURO_DIGITALS = [
    # barrier type, call/put, strike, level, spot, r, q, vol, rebate
    ("down_and_in", "call", 100.0, 80.0, 130.0, 0.03, 0.02, 0.40, 0.0),
    ("down_and_in", "call", 110.0, 80.0, 95.0, 0.03, 0.02, 0.15, 0.0),
    ("down_and_out", "call", 95.0, 90.0, 101.0, 0.05, 0.01, 0.25, 2.0),
    ("down_and_out", "put", 105.0, 92.0, 100.0, 0.02, 0.03, 0.30, 0.0),
    ("down_and_out", "put", 85.0, 92.0, 100.0, 0.02, 0.03, 0.30, 0.0),
    ("down_and_in", "put", 98.0, 90.0, 104.0, 0.04, 0.00, 0.20, 1.5),
    ("down_and_in", "call", 80.0, 90.0, 104.0, 0.04, 0.00, 0.20, 0.0),
    ("up_and_out", "call", 100.0, 125.0, 110.0, 0.03, 0.00, 0.35, 3.0),
    ("up_and_out", "put", 102.0, 115.0, 100.0, 0.01, 0.02, 0.18, 0.0),
    ("up_and_out", "call", 130.0, 115.0, 100.0, 0.01, 0.02, 0.18, 0.0),
    ("up_and_in", "call", 105.0, 112.0, 100.0, 0.03, 0.01, 0.22, 0.5),
    ("up_and_in", "put", 97.0, 120.0, 99.0, 0.06, 0.02, 0.45, 0.0),
]


@pytest.mark.parametrize("barrier_type,call_put,strike,level,spot,r,q,vol,rebate", EURO_DIGITALS,
                         ids=[f"{c[0]}-{c[1]}-K{c[2]}-H{c[3]}-S{c[4]}" for c in EURO_DIGITALS])
def test_european_cash_or_nothing_against_reflection(market, barrier_type, call_put, strike,
                                                     level, spot, r, q, vol, rebate):
    mat = EVAL + pd.Timedelta(days=365)
    t = year_fraction(mat)
    call = call_put == "call"
    option = BarrierOption(terms(barrier_type=barrier_type, call_put=call_put, strike=strike,
                                 barrier=level, payoff_type="cash_or_nothing",
                                 digital_payoff=10.0, rebate=rebate, maturity_date=mat))
    got = option.npv(spot, r, vol, q, EVAL)
    df = math.exp(-r * t)
    alive = survival_digital_probability(spot, level, strike, call, r, q, vol, t)
    if barrier_type.endswith("out"):
        expected = 10.0 * df * alive + rebate * cash_at_hit(spot, level, 1.0, r, q, vol, t)
    else:
        expected = (10.0 * df * (digital_probability(spot, strike, call, r, q, vol, t) - alive)
                    + rebate * df * no_touch_probability(spot, level, r, q, vol, t))
    tol = 1e-9
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, K=strike, H=level, S=spot)
    assert got >= 0.0


def test_american_knock_out_paid_at_hit_is_paid_at_expiry(market):
    spot, r, vol, q = 100.0, 0.04, 0.3, 0.0
    t = year_fraction(MAT_180)
    option = BarrierOption(terms(exercise_type="american", payoff_type="cash_or_nothing",
                                 strike=0, barrier=120.0, barrier_type="up_and_out",
                                 digital_payoff=10.0, pay_at="hit"))
    expected = 10.0 * math.exp(-r * t) * no_touch_probability(spot, 120.0, r, q, vol, t)
    got = option.npv(spot, r, vol, q, EVAL)
    assert abs(got - expected) <= 1e-9, close_enough(got, expected, 1e-9)


BARRIER_PAYOFFS = "unknown payoff type 'digital'; accepted: \"plain_vanilla\", \"cash_or_nothing\""


# --- construction failures -------------------------------------------------------

@pytest.mark.parametrize("changes,error,message", [
    ({"payoff_type": "asset_or_nothing"}, NotImplementedError,
     "asset_or_nothing not supported in barrier option"),
    ({"payoff_type": "digital"}, AssertionError, BARRIER_PAYOFFS),
    ({"payoff_type": "digital", "exercise_type": "bermudan"}, AssertionError, BARRIER_PAYOFFS),
    ({"exercise_type": "bermudan"}, NotImplementedError, "BERMUDAN EXERCISE not supported yet"),
    ({"exercise_type": "European"}, ValueError, "unknown exercise type: European"),
    ({"barrier_type": "down_in"}, KeyError, "'down_in'"),
], ids=["asset", "bad-payoff", "payoff-before-exercise", "bermudan", "capitalised", "bad-barrier"])
def test_construction_failures(market, changes, error, message):
    with pytest.raises(error) as info:
        BarrierOption(terms(**changes))
    assert str(info.value) == message


@pytest.mark.parametrize("missing", ["call_put", "barrier_type", "strike", "exercise_type",
                                     "barrier", "payoff_type"])
def test_missing_key(market, missing):
    with pytest.raises(KeyError) as info:
        BarrierOption({k: v for k, v in terms().items() if k != missing})
    assert info.value.args == (missing,)


def test_engine_table_miss_is_not_implemented(market, monkeypatch):
    option = BarrierOption(terms())
    monkeypatch.delitem(PRICING_ENGINE_MAP, ("european", "plain_vanilla"))
    with pytest.raises(NotImplementedError) as info:
        option.npv(100.0, 0.03, 0.2, 0.0, EVAL)
    assert str(info.value) == "european exercise, plain_vanilla not supported yet"
    assert barrier_module.PRICING_ENGINE_MAP is PRICING_ENGINE_MAP
