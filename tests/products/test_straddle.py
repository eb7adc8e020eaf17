"""StraddleOption: call plus put on the same terms."""

import datetime

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import (
    EFFECT, EVAL, MAT_180, bs_vanilla, close_enough, process, ql_npv, qld, terms_builder,
    year_fraction,
)
from velmora import straddle as straddle_module
from velmora.straddle import StraddleOption


terms = terms_builder("600036.XSHG", MAT_180, s0=35.0, notional=500, strike=36.0,
                      exercise_type="european")


@pytest.mark.parametrize("spot", [30.0, 36.0, 41.0])
@pytest.mark.parametrize("extra", [{}, {"call_put": "put", "payoff_type": "cash_or_nothing",
                                        "digital_payoff": 9.0}],
                         ids=["plain", "caller-call-put-and-payoff-ignored"])
def test_european_is_call_plus_put(market, spot, extra):
    r, vol, q = 0.02, 0.28, 0.01
    t = year_fraction(MAT_180)
    got = StraddleOption(terms(**extra)).npv(spot, r, vol, q, EVAL)
    expected = (bs_vanilla(spot, 36.0, r, q, vol, t, True)
                + bs_vanilla(spot, 36.0, r, q, vol, t, False))
    assert abs(got - expected) <= 1e-10, close_enough(got, expected, 1e-10, spot=spot)


def test_american_is_call_plus_put(market):
    spot, r, vol, q = 34.0, 0.03, 0.3, 0.02
    got = StraddleOption(terms(exercise_type="american")).npv(spot, r, vol, q, EVAL)
    expected = 0.0
    for side in (ql.Option.Call, ql.Option.Put):
        leg = ql.VanillaOption(ql.PlainVanillaPayoff(side, 36.0),
                               ql.AmericanExercise(qld(EFFECT), qld(MAT_180)))
        expected += ql_npv(leg, ql.BinomialVanillaEngine(process(spot, r, vol, q), "jr", 801))
    assert abs(got - expected) <= 1e-10, close_enough(got, expected, 1e-10)


def test_without_evaluation_date_values_today(market):
    maturity = pd.Timestamp.today().normalize() + pd.Timedelta(days=150)
    option = StraddleOption(terms(maturity_date=maturity))
    got = option.npv(35.0, 0.02, 0.25, 0.0)
    today = datetime.date.today()
    assert ql.Settings.instance().evaluationDate == ql.Date(today.day, today.month, today.year)
    t = (option.maturity_date - pd.Timestamp(today)).days / 365.0
    expected = bs_vanilla(35.0, 36.0, 0.02, 0.0, 0.25, t, True) + bs_vanilla(
        35.0, 36.0, 0.02, 0.0, 0.25, t, False)
    assert abs(got - expected) <= 1e-10, close_enough(got, expected, 1e-10)


def test_leg_dictionaries(market, monkeypatch):
    seen = []
    monkeypatch.setattr(straddle_module, "VanillaOption", lambda option: seen.append(option))
    StraddleOption(terms(call_put="put", payoff_type="asset_or_nothing",
                         maturity_date="2024-06-29"))  # a Saturday
    common = [("strike", 36.0), ("exercise_type", "european"), ("payoff_type", "plain_vanilla"),
              ("underlying", "600036.XSHG"), ("effect_date", EFFECT),
              ("maturity_date", pd.Timestamp("2024-07-01")), ("notional", 500), ("s0", 35.0)]
    assert [list(d.items()) for d in seen] == [[("call_put", "call")] + common,
                                               [("call_put", "put")] + common]


@pytest.mark.parametrize("missing", ["strike", "exercise_type"])
def test_missing_key(market, missing):
    with pytest.raises(KeyError) as info:
        StraddleOption({k: v for k, v in terms().items() if k != missing})
    assert info.value.args == (missing,)
