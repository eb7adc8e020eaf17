"""Vanilla and digital options against closed forms and directly built QuantLib engines."""

import datetime
import math

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import bs_vanilla, norm_cdf, terms_builder
from velmora.vanilla import VANILLA_PRICING_ENGINE_MAP, VanillaOption

EVAL = datetime.date(2024, 3, 1)
MATURITY = "2024-09-02"  # a Monday; 185 days after EVAL

terms = terms_builder(
    "600519.XSHG", MATURITY, s0=100.0, notional=1.0, effect_date="2024-01-02",
    call_put="call", strike=105.0, exercise_type="european", payoff_type="plain_vanilla")


@pytest.mark.parametrize("payoff", ["plain_vanilla", "cash_or_nothing", "asset_or_nothing"])
@pytest.mark.parametrize("call_put", ["call", "put"])
@pytest.mark.parametrize("spot, strike, r, q, vol", [
    (100.0, 105.0, 0.025, 0.01, 0.22),
    (98.0, 90.0, 0.04, 0.0, 0.35),
    (4000.0, 4200.0, 0.015, 0.02, 0.18),
])
def test_european_matches_black_scholes(market, payoff, call_put, spot, strike, r, q, vol):
    opt = VanillaOption(terms(call_put=call_put, strike=strike, payoff_type=payoff,
                              digital_payoff=12.5))
    got = opt.npv(spot, r, vol, q, EVAL)
    t = (pd.Timestamp(MATURITY) - pd.Timestamp(EVAL)).days / 365
    expected = bs_vanilla(spot, strike, r, q, vol, t, call_put == "call", payoff, cash=12.5)
    assert abs(got - expected) <= 1e-10 * max(1.0, abs(expected)), (
        payoff, call_put, spot, strike, r, q, vol, got, expected)


@pytest.mark.parametrize("call_put", ["call", "put"])
def test_american_plain_vanilla_matches_quantlib_tree(market, call_put):
    spot, r, q, vol = 100.0, 0.03, 0.05, 0.3
    opt = VanillaOption(terms(call_put=call_put, exercise_type="american"))
    got = opt.npv(spot, r, vol, q, EVAL)

    ql.Settings.instance().evaluationDate = ql.Date(1, 3, 2024)
    cal = ql.China()
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(spot)),
        ql.YieldTermStructureHandle(ql.FlatForward(0, cal, q, ql.Actual365Fixed())),
        ql.YieldTermStructureHandle(ql.FlatForward(0, cal, r, ql.Actual365Fixed())),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(0, cal, vol, ql.Actual365Fixed())))
    cp = ql.Option.Call if call_put == "call" else ql.Option.Put
    ref = ql.VanillaOption(ql.PlainVanillaPayoff(cp, 105.0),
                           ql.AmericanExercise(ql.Date(2, 1, 2024), ql.Date(2, 9, 2024)))
    ref.setPricingEngine(ql.BinomialVanillaEngine(process, "jr", 801))
    assert got == pytest.approx(ref.NPV(), abs=1e-12)
    euro = VanillaOption(terms(call_put=call_put)).npv(spot, r, vol, q, EVAL)
    assert got >= euro - 1e-2  # early exercise has non-negative value (tree error aside)


def test_american_exercise_window_starts_at_effect_date(market):
    opt = VanillaOption(terms(exercise_type="american"))
    dates = opt.exercise.dates()
    assert (dates[0], dates[-1]) == (ql.Date(2, 1, 2024), ql.Date(2, 9, 2024))


@pytest.mark.parametrize("pair", list(VANILLA_PRICING_ENGINE_MAP))
def test_every_engine_table_pair_values(market, pair):
    exercise, payoff = pair
    opt = VanillaOption(terms(exercise_type=exercise, payoff_type=payoff, digital_payoff=10.0))
    value = opt.npv(100.0, 0.02, 0.25, 0.0, EVAL)
    assert math.isfinite(value) and value > 0


@pytest.mark.parametrize("text, expected", [
    ("call", ql.Option.Call), ("put", ql.Option.Put), ("Call", ql.Option.Put),
    ("CALL", ql.Option.Put), ("straddle", ql.Option.Put)])
def test_only_exact_call_text_gives_a_call(market, text, expected):
    assert VanillaOption(terms(call_put=text)).call_put == expected


@pytest.mark.parametrize("pay_at, expected", [
    (None, False), ("expiry", True), ("Expiry", False), ("hit", False)])
def test_pay_at_expiry_flag(market, pay_at, expected):
    kw = {} if pay_at is None else {"pay_at": pay_at}
    assert VanillaOption(terms(**kw)).pay_at_expiry is expected


def test_cash_or_nothing_without_amount_is_worth_nothing(market):
    opt = VanillaOption(terms(payoff_type="cash_or_nothing"))
    assert opt.npv(120.0, 0.02, 0.2, 0.0, EVAL) == 0.0


VANILLA_PAYOFFS = ("unknown payoff type 'digital'; accepted: "
                   '"plain_vanilla", "cash_or_nothing", "asset_or_nothing"')


@pytest.mark.parametrize("kw, exc, message", [
    ({"exercise_type": "bermudan"}, NotImplementedError, "BERMUDAN EXERCISE not supported yet"),
    ({"exercise_type": "Bermudan"}, ValueError, "unknown exercise type: Bermudan"),
    ({"exercise_type": "asian"}, ValueError, "unknown exercise type: asian"),
    ({"payoff_type": "digital"}, AssertionError, VANILLA_PAYOFFS),
    # the payoff is checked before the exercise
    ({"payoff_type": "digital", "exercise_type": "bermudan"}, AssertionError, VANILLA_PAYOFFS),
], ids=["bermudan", "capitalised", "unknown", "bad-payoff", "payoff-first"])
def test_construction_errors(market, kw, exc, message):
    with pytest.raises(exc) as info:
        VanillaOption(terms(**kw))
    assert info.type is exc and str(info.value) == message


@pytest.mark.parametrize("key", ["call_put", "strike", "exercise_type", "payoff_type"])
def test_missing_required_key(market, key):
    t = terms()
    del t[key]
    with pytest.raises(KeyError, match=key):
        VanillaOption(t)


def test_pair_outside_engine_table_is_not_implemented(market, monkeypatch):
    opt = VanillaOption(terms())
    monkeypatch.delitem(VANILLA_PRICING_ENGINE_MAP, ("european", "plain_vanilla"))
    with pytest.raises(NotImplementedError, match="^european exercise, plain_vanilla not "
                                                  "supported yet$"):
        opt.npv(100.0, 0.02, 0.2, 0.0, EVAL)


@pytest.mark.parametrize("evaluation", [
    EVAL, pd.Timestamp(EVAL), datetime.datetime(2024, 3, 1, 15, 0), "2024-03-01"],
    ids=["date", "timestamp", "datetime", "text"])
def test_evaluation_date_forms_agree_and_stay_set(market, evaluation):
    opt = VanillaOption(terms())
    assert opt.npv(100.0, 0.02, 0.2, 0.0, evaluation) == pytest.approx(
        opt.npv(100.0, 0.02, 0.2, 0.0, EVAL), abs=0)
    assert ql.Settings.instance().evaluationDate == ql.Date(1, 3, 2024)


def test_missing_evaluation_date_means_today(market):
    future = datetime.date.today() + datetime.timedelta(days=200)
    opt = VanillaOption(terms(maturity_date=future))
    value = opt.npv(100.0, 0.02, 0.2, 0.0)
    today = datetime.date.today()
    assert ql.Settings.instance().evaluationDate == ql.Date(today.day, today.month, today.year)
    assert value == opt.npv(100.0, 0.02, 0.2, 0.0, today)


def test_call_greeks_signs_and_consistency(market):
    opt = VanillaOption(terms())
    g = opt.greeks(100.0, 0.03, 0.25, 0.0, EVAL)
    t = (pd.Timestamp(MATURITY) - pd.Timestamp(EVAL)).days / 365
    d1 = (math.log(100 / 105) + (0.03 + 0.25**2 / 2) * t) / (0.25 * math.sqrt(t))
    assert g.delta == pytest.approx(norm_cdf(d1), rel=1e-4)
    assert g.vega > 0 and g.rho < 0 and g.theta < 0 and g.gamma > 0
    pdf = math.exp(-d1**2 / 2) / math.sqrt(2 * math.pi)
    assert g.gamma == pytest.approx(100 * pdf / (100 * 0.25 * math.sqrt(t)), rel=1e-3)
    assert g.vega == pytest.approx(100 * pdf * math.sqrt(t) * 0.01, rel=1e-3)
