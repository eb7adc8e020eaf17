"""AirbagOption: the exact linear combination of its three barrier components."""

import math

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import (
    EFFECT, EVAL, MAT_180, bs_vanilla, close_enough, process, ql_npv, qld, terms_builder,
    year_fraction,
)
from velmora import airbag as airbag_module
from velmora.airbag import AirbagOption


terms = terms_builder(
    "601318.XSHG", MAT_180, s0=100.0, notional=1_000_000, ki_barrier=80.0, pr_before_ki=1.2,
    pr_after_ki=0.8, exercise_type="european", strike=100.0)


def ql_barrier(kind, side, strike, level, spot, r, vol, q):
    instrument = ql.BarrierOption(kind, level, 0.0, ql.PlainVanillaPayoff(side, strike),
                                  ql.EuropeanExercise(qld(MAT_180)))
    return ql_npv(instrument, ql.AnalyticBarrierEngine(process(spot, r, vol, q)))


@pytest.mark.parametrize("pr_before,pr_after", [(1.2, 0.8), (0.0, 1.0), (1.0, 0.0)],
                         ids=["both", "after-only", "before-only"])
@pytest.mark.parametrize("spot,strike,level", [(100.0, 100.0, 80.0), (92.0, 105.0, 85.0)])
def test_before_knock_in(market, pr_before, pr_after, spot, strike, level):
    market.set_closes("601318.XSHG", {"2023-12-01": 100.0, "2023-12-20": level})  # at, not below
    r, vol, q = 0.025, 0.3, 0.01
    option = AirbagOption(terms(pr_before_ki=pr_before, pr_after_ki=pr_after, strike=strike,
                                ki_barrier=level))
    got = option.npv(spot, r, vol, q, EVAL)
    doc = ql_barrier(ql.Barrier.DownOut, ql.Option.Call, strike, level, spot, r, vol, q)
    dic = ql_barrier(ql.Barrier.DownIn, ql.Option.Call, strike, level, spot, r, vol, q)
    dip = ql_barrier(ql.Barrier.DownIn, ql.Option.Put, strike, level, spot, r, vol, q)
    expected = pr_before * doc + pr_after * (dic - dip)
    tol = 1e-10
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, pr=(pr_before, pr_after))


@pytest.mark.parametrize("spot", [70.0, 100.0, 120.0])
def test_after_knock_in_is_a_forward(market, spot):
    market.set_closes("601318.XSHG", {"2023-12-01": 100.0, "2023-12-20": 79.99})
    r, vol, q = 0.025, 0.3, 0.01
    t = year_fraction(MAT_180)
    option = AirbagOption(terms())
    got = option.npv(spot, r, vol, q, EVAL)
    # Long call minus short put at one strike: the forward, whatever the volatility.
    forward = spot * math.exp(-q * t) - 100.0 * math.exp(-r * t)
    parity = (bs_vanilla(spot, 100.0, r, q, vol, t, True)
              - bs_vanilla(spot, 100.0, r, q, vol, t, False))
    expected = 0.8 * forward
    assert abs(got - expected) <= 1e-9, close_enough(got, expected, 1e-9, spot=spot)
    assert abs(0.8 * parity - expected) <= 1e-9
    assert abs(option.vega(spot, r, vol, q, EVAL)) <= 1e-9


def test_component_dictionaries(market, monkeypatch):
    seen = []
    monkeypatch.setattr(airbag_module, "BarrierOption", lambda option: seen.append(dict(option)))
    caller = terms(call_put="put", payoff_type="cash_or_nothing", barrier_type="up_and_in",
                   rebate=5.0, pay_at="expiry", exercise_type="american",
                   maturity_date="2024-06-30")  # a Sunday
    AirbagOption(caller)
    first = [
        ("type", "barrier"), ("underlying", "601318.XSHG"), ("s0", 100.0),
        ("notional", 1_000_000), ("strike", 100.0), ("call_put", "call"),
        ("barrier_type", "down_and_out"), ("barrier", 80.0), ("effect_date", EFFECT),
        ("maturity_date", pd.Timestamp("2024-07-01")), ("exercise_type", "american"),
        ("payoff_type", "plain_vanilla"), ("rebate", 0.0),
    ]
    second = [(k, "down_and_in" if k == "barrier_type" else v) for k, v in first]
    third = [(k, "put" if k == "call_put" else v) for k, v in second]
    assert [list(d.items()) for d in seen] == [first, second, third]


def test_each_component_asks_for_its_closes(market):
    market.set_closes("601318.XSHG", {"2023-12-01": 100.0})
    option = AirbagOption(terms())
    _, calls = market.price_calls(lambda: option.npv(100.0, 0.03, 0.2, 0.0, EVAL))
    assert len(calls) == 3
    assert all(c[1] == ("601318.XSHG", EFFECT, EVAL) and c[2]["adjust_type"] == "pre"
               for c in calls)


@pytest.mark.parametrize("missing", ["ki_barrier", "pr_before_ki", "pr_after_ki",
                                     "exercise_type", "strike"])
def test_missing_key(market, missing):
    with pytest.raises(KeyError) as info:
        AirbagOption({k: v for k, v in terms().items() if k != missing})
    assert info.value.args == (missing,)

