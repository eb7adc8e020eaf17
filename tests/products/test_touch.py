"""SingleTouchOption: closed forms and Haug's values, touch logic on highs and lows."""

import math

import pandas as pd
import pytest

from _oracles import (
    EFFECT, EVAL, MAT_180, cash_at_hit, close_enough, haug_market, no_touch_probability,
    owed_cash_greeks, terms_builder, year_fraction,
)
from velmora import touch as touch_module
from velmora.groundwork import OptionGreeks
from velmora.touch import SingleTouchOption

pytestmark = pytest.mark.usefixtures("priceless_history")  # trading days since the effect date


terms = terms_builder(
    "000001.XSHE", MAT_180, s0=95.0, notional=100, touch_type="one_touch_up",
    touch_price=100.0, rebate=0.0, digital_payoff=15.0, pay_at="touch")


# Haug (1998), binary barrier table: S = 95, H = 100, cash 15, T = 0.5, r = 10 %,
# b = 10 % (q = 0), vol 20 %.
@pytest.mark.parametrize("touch_type,pay_at,expected", [
    ("one_touch_up", "touch", 11.6553),   # cash at hit
    ("no_touch_up", "expiry", 3.0461),    # cash at expiry if never hit
], ids=["one-touch-at-hit", "no-touch"])
def test_haug_binary_barrier_values(market, touch_type, pay_at, expected):
    r, q, vol = haug_market(0.10, 0.0, 0.20)
    option = SingleTouchOption(terms(touch_type=touch_type, pay_at=pay_at))
    got = option.npv(95.0, r, vol, q, EVAL)
    tol = 1e-4
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, touch_type=touch_type)


MARKETS = [
    # spot, level, r, q, vol
    (95.0, 100.0, 0.10, 0.0, 0.20),
    (88.0, 100.0, 0.02, 0.03, 0.40),
    (112.0, 100.0, 0.04, 0.01, 0.25),
    (101.0, 100.0, 0.06, 0.00, 0.30),
]


@pytest.mark.parametrize("spot,level,r,q,vol", MARKETS, ids=[f"S{m[0]}" for m in MARKETS])
@pytest.mark.parametrize("kind,pay_at", [("one_touch", "touch"), ("one_touch", "expiry"),
                                         ("no_touch", "expiry"), ("no_touch", "touch")])
def test_closed_forms(market, spot, level, r, q, vol, kind, pay_at):
    direction = "up" if level > spot else "down"
    t = year_fraction(MAT_180)
    option = SingleTouchOption(terms(touch_type=f"{kind}_{direction}", touch_price=level,
                                     pay_at=pay_at))
    got = option.npv(spot, r, vol, q, EVAL)
    never = no_touch_probability(spot, level, r, q, vol, t)
    if kind == "no_touch":
        expected = 15.0 * math.exp(-r * t) * never  # pay_at has no effect
    elif pay_at == "expiry":
        expected = 15.0 * math.exp(-r * t) * (1.0 - never)
    else:
        expected = cash_at_hit(spot, level, 15.0, r, q, vol, t)
    tol = 1e-9
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, S=spot, kind=kind,
                                                    pay_at=pay_at)


def test_inner_barrier_dictionary(market, monkeypatch):
    seen = []
    monkeypatch.setattr(touch_module, "BarrierOption", lambda option: seen.append(option))
    caller = terms(touch_type="no_touch_down", touch_price=90.0, rebate=1.5, strike=123.0,
                   call_put="put", maturity_date="2024-06-29")  # a Saturday
    option = SingleTouchOption(caller)
    assert list(seen[0].items()) == [
        ("type", "barrier"), ("underlying", "000001.XSHE"), ("notional", 100), ("s0", 95.0),
        ("call_put", "call"), ("strike", 0), ("barrier", 90.0), ("barrier_type", "down_and_out"),
        ("payoff_type", "cash_or_nothing"), ("exercise_type", "european"), ("rebate", 1.5),
        ("digital_payoff", 15.0), ("pay_at", "touch"), ("effect_date", EFFECT),
        ("maturity_date", pd.Timestamp("2024-07-01")),
    ]
    assert type(seen[0]["strike"]) is int
    assert option.maturity_date == pd.Timestamp("2024-07-01")


def test_digital_payoff_defaults_to_s0(market):
    option = SingleTouchOption({k: v for k, v in terms(s0=80.0).items() if k != "digital_payoff"})
    assert option.digital_payoff == 80.0
    assert option._option.digital_payoff == 80.0


@pytest.mark.parametrize("missing", ["touch_type", "touch_price", "rebate", "pay_at"])
def test_missing_key(market, missing):
    with pytest.raises(KeyError) as info:
        SingleTouchOption({k: v for k, v in terms().items() if k != missing})
    assert info.value.args == (missing,)


def test_unknown_touch_type(market):
    with pytest.raises(KeyError):
        SingleTouchOption(terms(touch_type="one_touch"))


# --- touch logic ---------------------------------------------------------------

def set_bars(market, low, high):
    market.set_bars("000001.XSHE", pd.DataFrame(
        {"close": [96.0, 97.0, 96.0], "low": [95.0, low, 95.5], "high": [97.0, high, 97.5]},
        index=["2023-12-01", "2023-12-12", "2024-01-02"]), adjust_type="pre")


TOUCH_CASES = [
    # touch type, level, day's low, day's high, touched?
    ("one_touch_up", 100.0, 95.0, 100.0, False),
    ("one_touch_up", 100.0, 95.0, 100.01, True),
    ("no_touch_up", 100.0, 95.0, 100.0, False),
    ("no_touch_up", 100.0, 95.0, 100.01, True),
    ("one_touch_down", 90.0, 90.0, 97.0, False),
    ("one_touch_down", 90.0, 89.99, 97.0, True),
    ("no_touch_down", 90.0, 90.0, 97.0, False),
    ("no_touch_down", 90.0, 89.99, 97.0, True),
    ("one_touch_up", 100.0, 80.0, 97.0, False),   # a low far below is no up touch
    ("no_touch_down", 90.0, 95.0, 130.0, False),  # a high far above is no down touch
]


@pytest.mark.parametrize("touch_type,level,low,high,touched", TOUCH_CASES,
                         ids=[f"{c[0]}-low{c[2]}-high{c[3]}" for c in TOUCH_CASES])
def test_touch_on_highs_and_lows(market, touch_type, level, low, high, touched):
    set_bars(market, low, high)
    option = SingleTouchOption(terms(touch_type=touch_type, touch_price=level))
    assert option.triggered(EVAL) is touched
    call = market.calls_to("get_price")[-1]
    assert call[1] == ("000001.XSHE", EFFECT, EVAL)
    assert call[2] == {"fields": ["low", "high"], "adjust_type": "pre", "expect_df": True}


@pytest.mark.parametrize("touch_type,pay_at", [
    ("no_touch_up", "expiry"), ("no_touch_down", "expiry"),
    ("one_touch_up", "touch"), ("one_touch_down", "at_hit"),
])
def test_touched_and_nothing_left_to_pay(market, touch_type, pay_at):
    set_bars(market, 50.0, 150.0)
    option = SingleTouchOption(terms(touch_type=touch_type, pay_at=pay_at, rebate=2.0))
    assert option.npv(97.0, 0.03, 0.2, 0.0, EVAL) == 0.0
    greeks = option.greeks(97.0, 0.03, 0.2, 0.0, EVAL)
    assert greeks == OptionGreeks(0, 0, 0, 0, 0, 0)
    assert all(type(x) is int for x in greeks)
    assert market.count("get_price") == 2  # one touch check each, no revaluations


@pytest.mark.parametrize("touch_type", ["one_touch_up", "one_touch_down"])
@pytest.mark.parametrize("r", [0.0, 0.035])
def test_touched_one_touch_paid_at_expiry_is_owed_its_cash(market, touch_type, r):
    set_bars(market, 50.0, 150.0)
    option = SingleTouchOption(terms(touch_type=touch_type, pay_at="expiry"))
    expected = owed_cash_greeks(15.0, MAT_180, r)
    got = option.npv(97.0, r, 0.2, 0.0, EVAL)
    assert abs(got - expected[0]) <= 1e-12, close_enough(got, expected[0], 1e-12, r=r)
    greeks = option.greeks(97.0, r, 0.2, 0.01, EVAL)
    for field, g, e in zip(OptionGreeks._fields, greeks, expected):
        assert abs(g - e) <= 1e-12, close_enough(g, e, 1e-12, field=field, r=r)
    # Discounted cash: the value lost when the rate rises is positive, and it accretes.
    assert greeks.rho > 0 and (greeks.theta > 0 if r > 0 else greeks.theta == 0.0)
    # One touch check per call; the owed cash needs no further market data.
    assert market.count("get_price") == 2
    owed = option._valued(EVAL)  # what is left once touched shows its cash and date
    shown = f"CashOwedAtMaturity(cash=15.0, maturity_date='{option.maturity_date.date()}')"
    assert repr(owed) == shown


def test_touched_one_touch_after_maturity_has_been_paid(market):
    set_bars(market, 50.0, 150.0)
    option = SingleTouchOption(terms(pay_at="expiry", maturity_date="2024-01-02"))
    assert option.npv(97.0, 0.03, 0.2, 0.0, EVAL) == 0.0
    assert option.greeks(97.0, 0.03, 0.2, 0.0, EVAL).npv == 0.0


def test_untouched_greeks_are_the_inner_options(market):
    set_bars(market, 95.0, 99.0)
    option = SingleTouchOption(terms(touch_type="no_touch_up", pay_at="expiry"))
    got, calls = market.price_calls(lambda: option.greeks(97.0, 0.03, 0.25, 0.0, EVAL))
    queries = [c[2]["fields"] for c in calls]
    assert queries == [["low", "high"]] + ["close"] * 2  # the inner barrier: once per date
    expected = option._option.greeks(97.0, 0.03, 0.25, 0.0, EVAL)
    assert got == expected
    assert got.delta < 0 and got.vega < 0  # a no-touch loses as the spot nears the level


def test_no_history_values_the_inner_option(market):
    option = SingleTouchOption(terms(touch_type="one_touch_up", pay_at="expiry"))
    assert option.triggered(EVAL) is False
    t = year_fraction(MAT_180)
    expected = 15.0 * math.exp(-0.03 * t) * (1 - no_touch_probability(97.0, 100.0, 0.03, 0, 0.2, t))
    got = option.npv(97.0, 0.03, 0.2, 0.0, EVAL)
    assert abs(got - expected) <= 1e-9, close_enough(got, expected, 1e-9)
