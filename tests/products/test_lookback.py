import datetime
import math
import subprocess
import sys

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import close_enough, no_touch_probability, norm_cdf
from velmora.lookback import LookbackOption


def contract(lookback="min", call_put="call"):
    return {"effect_date": "2024-03-01", "maturity_date": "2024-09-30", "underlying": "X",
            "s0": 100.0, "notional": 1e6, "call_put": call_put, "strike": 100.0,
            "lookback": lookback}


@pytest.mark.parametrize("value", ["MIN", "Max", "avg", "", None, 0])
def test_invalid_lookback_type_is_rejected_before_any_history_query(market, value):
    with pytest.raises(AssertionError) as info:
        LookbackOption(contract(value))
    assert str(info.value) == "invalid lookback type: " + str(value)
    assert market.count("get_price") == 0


@pytest.mark.parametrize("call_put, kind", [("call", ql.Option.Call), ("Call", ql.Option.Put),
                                            ("put", ql.Option.Put)])
def test_call_put_and_the_quantlib_terms(market, call_put, kind):
    opt = LookbackOption(contract("max", call_put))
    assert (opt.payoff.optionType(), opt.payoff.strike()) == (kind, 100.0)
    assert opt.exercise.lastDate() == ql.Date(30, 9, 2024)


@pytest.mark.parametrize("lookback, field", [("min", "low"), ("max", "high")])
@pytest.mark.parametrize("with_history", [True, False], ids=["history", "no-history"])
@pytest.mark.parametrize("method", ["npv", "delta", "theta"])
def test_every_valuation_reads_the_extreme_from_the_client(market, lookback, field,
                                                          with_history, method):
    # Valuation used to stop with NotImplementedError; every valuation now values.
    if with_history:
        days = pd.bdate_range("2024-03-01", "2024-03-08")
        market.set_bars("X", pd.DataFrame({"close": 100.0, "low": 95.0, "high": 105.0},
                                          index=days))
    opt = LookbackOption(contract(lookback))
    today = datetime.date(2024, 3, 11)
    if with_history:
        value = getattr(opt, method)(100.0, 0.03, 0.2, 0.0, today)
        assert math.isfinite(value)
    else:  # trading days have closed since the effect date: the extreme is unknown
        with pytest.raises(ValueError, match="no price history of X from 2024-03-01"):
            getattr(opt, method)(100.0, 0.03, 0.2, 0.0, today)
    calls = market.calls_to("get_price")
    assert calls and all(c[2] == {"fields": field, "adjust_type": "pre", "expect_df": True}
                         for c in calls)
    expected_end = today + datetime.timedelta(days=1) if method == "theta" else today
    underlying, start, end = calls[0][1]
    assert (underlying, start, pd.Timestamp(end)) == (
        "X", pd.Timestamp("2024-03-01"), pd.Timestamp(expected_end))


def test_npv_without_date_asks_up_to_today_and_theta_near_expiry_values_nothing(market):
    opt = LookbackOption(contract("min"))
    market.set_bars("X", pd.DataFrame({"low": 95.0, "high": 105.0},
                                      index=pd.bdate_range("2024-03-01", datetime.date.today())))
    opt.npv(100.0, 0.03, 0.2, 0.0)
    assert pd.Timestamp(market.calls_to("get_price")[0][1][2]) == pd.Timestamp.today().normalize()
    assert opt.theta(100.0, 0.03, 0.2, 0.0, datetime.date(2024, 9, 29)) == 0.0
    assert market.count("get_price") == 1


# -- values ---------------------------------------------------------------------------

R, Q, VOL = 0.03, 0.01, 0.25
TODAY = pd.Timestamp("2024-03-11")
T = (pd.Timestamp("2024-09-30") - TODAY).days / 365.0


def conze_viswanathan(call, spot, strike, extreme, r, q, vol, t):
    """Fixed-strike lookback: a call on the maximum or a put on the minimum (b != 0)."""
    b, sd = r - q, vol * math.sqrt(t)
    level = max(strike, extreme) if call else min(strike, extreme)
    d1 = (math.log(spot / level) + (b + 0.5 * vol * vol) * t) / sd
    d2 = d1 - sd
    power = (spot / level) ** (-2.0 * b / (vol * vol))
    shift = 2.0 * b * math.sqrt(t) / vol
    scale = spot * math.exp(-r * t) * vol * vol / (2.0 * b)
    if call:
        value = (spot * math.exp(-q * t) * norm_cdf(d1) - level * math.exp(-r * t) * norm_cdf(d2)
                 + scale * (-power * norm_cdf(d1 - shift) + math.exp(b * t) * norm_cdf(d1)))
        return value + math.exp(-r * t) * max(extreme - strike, 0.0)
    value = (level * math.exp(-r * t) * norm_cdf(-d2) - spot * math.exp(-q * t) * norm_cdf(-d1)
             + scale * (power * norm_cdf(-d1 + shift) - math.exp(b * t) * norm_cdf(-d1)))
    return value + math.exp(-r * t) * max(strike - extreme, 0.0)


def extreme_integral(lookback, spot, strike, extreme, r, q, vol, t, steps=4000):
    """Call on the minimum or put on the maximum: e^(-rT) * integral of P(extreme beyond x).

    ``(m - K)+ = integral from K to m0 of 1{m_T > x} dx``, and ``P(m_T > x)`` is the
    probability that the level ``x`` below the spot is never touched (the mirror
    image for the maximum); Simpson's rule on ``steps`` intervals.
    """
    lo, hi = (strike, extreme) if lookback == "min" else (extreme, strike)
    if lo >= hi:
        return 0.0
    h = (hi - lo) / steps
    total = 0.0
    for i in range(steps + 1):
        w = 1 if i in (0, steps) else (4 if i % 2 else 2)
        total += w * no_touch_probability(spot, lo + i * h, r, q, vol, t)
    return math.exp(-r * t) * total * h / 3.0


LOOKBACK_CASES = [
    # lookback, call/put, strike, extreme of the history, spot
    ("max", "call", 100.0, 104.0, 100.0),
    ("max", "call", 110.0, 104.0, 101.0),
    ("max", "call", 1500.0, 1580.0, 1490.0),
    ("min", "put", 100.0, 96.0, 100.0),
    ("min", "put", 90.0, 96.0, 99.0),
    ("min", "call", 90.0, 96.0, 100.0),
    ("min", "call", 98.0, 96.0, 100.0),  # strike above the minimum so far: worthless
    ("min", "call", 1400.0, 1470.0, 1500.0),
    ("max", "put", 110.0, 104.0, 100.0),
    ("max", "put", 102.0, 104.0, 100.0),  # strike below the maximum so far: worthless
    ("max", "call", 100.0, 97.0, 100.0),  # today's spot is above every past high
]


@pytest.mark.parametrize("lookback,call_put,strike,extreme,spot", LOOKBACK_CASES,
                         ids=[f"{c[1]}-on-{c[0]}-K{c[2]}-X{c[3]}-S{c[4]}" for c in LOOKBACK_CASES])
def test_value_against_closed_forms(market, lookback, call_put, strike, extreme, spot):
    field = "low" if lookback == "min" else "high"
    days = pd.bdate_range("2024-03-01", "2024-03-08")
    market.set_bars("X", pd.DataFrame({"close": spot, field: extreme}, index=days))
    terms = contract(lookback, call_put)
    terms["strike"] = strike
    got = LookbackOption(terms).npv(spot, R, VOL, Q, TODAY)
    so_far = min(extreme, spot) if lookback == "min" else max(extreme, spot)
    if (lookback == "max") == (call_put == "call"):
        expected = conze_viswanathan(call_put == "call", spot, strike, so_far, R, Q, VOL, T)
        tol = 1e-9 * max(1.0, spot / 100.0)
    else:
        expected = extreme_integral(lookback, spot, strike, so_far, R, Q, VOL, T)
        tol = 1e-7 * max(1.0, spot / 100.0)  # Simpson's rule
    assert abs(got - expected) <= tol, close_enough(got, expected, tol, K=strike, X=extreme)


def zero_carry(call, spot, strike, extreme, r, vol, t):
    """``conze_viswanathan`` at b = 0 (q = r), its limit written out.

    vol**2 / (2b) times its bracket tends to ``vol sqrt(T) (phi(d1) + d1 N(d1))``
    for the call and ``vol sqrt(T) (phi(d1) - d1 N(-d1))`` for the put.
    """
    sd = vol * math.sqrt(t)
    level = max(strike, extreme) if call else min(strike, extreme)
    d1 = (math.log(spot / level) + 0.5 * vol * vol * t) / sd
    d2 = d1 - sd
    phi = math.exp(-0.5 * d1 * d1) / math.sqrt(2.0 * math.pi)
    disc = math.exp(-r * t)
    if call:
        return disc * (spot * norm_cdf(d1) - level * norm_cdf(d2) + max(extreme - strike, 0.0)
                       + spot * sd * (phi + d1 * norm_cdf(d1)))
    return disc * (level * norm_cdf(-d2) - spot * norm_cdf(-d1) + max(strike - extreme, 0.0)
                   + spot * sd * (phi - d1 * norm_cdf(-d1)))


@pytest.mark.parametrize("carry", [0.0, 1.401298464324817e-45, -1e-13, 3e-7, -2e-6, 1e-4, -1e-3])
@pytest.mark.parametrize("lookback,call_put,strike,extreme,spot", LOOKBACK_CASES,
                         ids=[f"{c[1]}-on-{c[0]}-K{c[2]}-X{c[3]}-S{c[4]}" for c in LOOKBACK_CASES])
def test_value_near_zero_carry(market, carry, lookback, call_put, strike, extreme, spot):
    """r = q, or nearly: the closed forms' limit, continuous across the carry."""
    field = "low" if lookback == "min" else "high"
    market.set_bars("X", pd.DataFrame({"close": spot, field: extreme},
                                      index=pd.bdate_range("2024-03-01", "2024-03-08")))
    terms = contract(lookback, call_put)
    terms["strike"] = strike
    q = R - carry
    got = LookbackOption(terms).npv(spot, R, VOL, q, TODAY)
    so_far = min(extreme, spot) if lookback == "min" else max(extreme, spot)
    scale = max(1.0, spot / 100.0)
    if (lookback == "max") != (call_put == "call"):
        want, tol = extreme_integral(lookback, spot, strike, so_far, R, q, VOL, T), 1e-7 * scale
    elif abs(carry) >= 1e-4:
        want = conze_viswanathan(call_put == "call", spot, strike, so_far, R, q, VOL, T)
        tol = 1e-9 * scale
    else:  # the limit, plus the first-order term from central differences at +-1e-3
        ends = [conze_viswanathan(call_put == "call", spot, strike, so_far, R, R - b, VOL, T)
                for b in (1e-3, -1e-3)]
        want = (zero_carry(call_put == "call", spot, strike, so_far, R, VOL, T)
                + carry * (ends[0] - ends[1]) / 2e-3)
        tol = 1e-9 * scale
    assert abs(got - want) <= tol, close_enough(got, want, tol, carry=carry, K=strike)


def test_payoff_type_check_holds_without_assertions():
    # Validation raises explicitly, so `python -O` (which strips assert) keeps it.
    code = (
        "import lumadex, QuantLib\n"
        "lumadex.get_next_trading_date = lumadex.get_previous_trading_date = lambda d: d\n"
        "from velmora.barrier import BarrierOption\n"
        "terms = dict(effect_date='2024-03-01', maturity_date='2024-09-30', underlying='X',\n"
        "             s0=100.0, notional=1, call_put='call', barrier_type='down_and_out',\n"
        "             strike=100.0, exercise_type='european', payoff_type='cash_or_nothin',\n"
        "             barrier=90.0)\n"
        "try:\n"
        "    BarrierOption(terms)\n"
        "except AssertionError as e:\n"
        "    print('refused:', e)\n"
    )
    run = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         timeout=120, check=False)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("refused: unknown payoff type 'cash_or_nothin'"), run.stdout


def test_missing_lookback_key_fails_at_construction(market):
    terms = contract()
    del terms["lookback"]
    with pytest.raises(KeyError, match="lookback"):
        LookbackOption(terms)
