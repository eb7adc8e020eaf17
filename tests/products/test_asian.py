import math

import numpy as np
import pandas as pd
import pytest
import QuantLib as ql

from _oracles import norm_cdf
from velmora.asian import AsianOption

R, VOL, Q = 0.03, 0.22, 0.01
EFFECT, MATURITY = "2024-03-01", "2024-09-30"


def contract(call_put="call", strike=100.0, average_type="geometric", effect=EFFECT,
             maturity=MATURITY):
    return {"effect_date": effect, "maturity_date": maturity, "underlying": "X", "s0": 100.0,
            "notional": 1e6, "call_put": call_put, "strike": strike,
            "average_type": average_type}


def weekdays(start, end):
    return list(pd.bdate_range(start, end))


def script_closes(market, start, end, level=100.0, drift=0.002):
    """Closes on every weekday from start to end; returns them in date order."""
    days = weekdays(start, end)
    closes = [level * math.exp(drift * i + 0.01 * math.sin(i)) for i in range(len(days))]
    market.set_closes("X", dict(zip(days, closes)))
    return closes


def qd(ts):
    return ql.Date(ts.day, ts.month, ts.year)


def direct(average, accumulator, past, dates, call_put, strike, spot, today, maturity=MATURITY,
           tolerance=0.005):
    """The QuantLib instrument and engine built here, on flat curves of our own."""
    ql.Settings.instance().evaluationDate = qd(today)
    cal, dc = ql.NullCalendar(), ql.Actual365Fixed()
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(spot)),
        ql.YieldTermStructureHandle(ql.FlatForward(0, cal, Q, dc)),
        ql.YieldTermStructureHandle(ql.FlatForward(0, cal, R, dc)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(0, cal, VOL, dc)))
    kind = ql.Option.Call if call_put == "call" else ql.Option.Put
    option = ql.DiscreteAveragingAsianOption(
        average, accumulator, past, [qd(d) for d in dates], ql.PlainVanillaPayoff(kind, strike),
        ql.EuropeanExercise(qd(pd.Timestamp(maturity))))
    if average == ql.Average.Geometric:
        option.setPricingEngine(ql.AnalyticDiscreteGeometricAveragePriceAsianEngine(process))
    else:
        option.setPricingEngine(ql.MCDiscreteArithmeticAPEngine(
            process, "pr", controlVariate=True, requiredTolerance=tolerance, seed=42))
    return option


def geometric_log_moments(past_closes, future_dates, spot, today):
    """Mean and variance of log G under Black-Scholes, G the discrete geometric average.

    log G = (sum of past log closes + sum_j log S(t_j)) / N is normal with mean
    (sum log past + m log S + sum_j (r - q - vol^2/2) t_j) / N and variance
    vol^2 / N^2 * sum_jk min(t_j, t_k).  Evaluated in logs, so any history length works.
    """
    t = np.array([(d - today).days / 365.0 for d in future_dates])
    n = len(past_closes) + len(t)
    mean = (np.sum(np.log(past_closes)) + len(t) * math.log(spot)
            + (R - Q - VOL**2 / 2) * t.sum()) / n
    return mean, VOL**2 / n**2 * np.minimum.outer(t, t).sum()


def geometric_closed_form(past_closes, future_dates, call_put, strike, spot, today,
                          maturity=MATURITY):
    """Discrete geometric average price option: Black's formula on the lognormal G."""
    mean, var = geometric_log_moments(past_closes, future_dates, spot, today)
    T = (pd.Timestamp(maturity) - today).days / 365.0
    d1 = (mean - math.log(strike) + var) / math.sqrt(var)
    d2 = d1 - math.sqrt(var)
    forward = math.exp(mean + var / 2)
    if call_put == "call":
        return math.exp(-R * T) * (forward * norm_cdf(d1) - strike * norm_cdf(d2))
    return math.exp(-R * T) * (strike * norm_cdf(-d2) - forward * norm_cdf(-d1))


def check(got, expected, tol, **inputs):
    assert abs(got - expected) <= tol * max(1.0, abs(expected)), (
        f"inputs {inputs}: expected {expected!r}, got {got!r}, tolerance {tol}")


# -- geometric averaging -----------------------------------------------------------------

@pytest.mark.parametrize("call_put", ["call", "put"])
@pytest.mark.parametrize("today, last_close, spot, strike", [
    ("2024-02-20", None, 60.0, 60.0),          # before the effect date: nothing known
    ("2024-03-01", None, 58.0, 57.0),          # first fixing day, close not in yet
    ("2024-06-14", "2024-06-13", 67.0, 63.0),  # seasoned, today's close not in yet
    ("2024-09-27", "2024-09-26", 78.0, 84.0),  # one fixing left
], ids=["forward-start", "first-day", "seasoned", "last-days"])
def test_geometric_equals_quantlib_instrument(market, call_put, today, last_close, spot, strike):
    today = pd.Timestamp(today)
    closes = script_closes(market, EFFECT, last_close, level=60.0) if last_close else []
    opt = AsianOption(contract(call_put, strike))
    got = opt.npv(spot, R, VOL, Q, today.date())
    schedule = weekdays(EFFECT, MATURITY)
    expected = direct(ql.Average.Geometric, math.prod(closes), len(closes), schedule,
                      call_put, strike, spot, today).NPV()
    check(got, expected, 1e-10, today=today, spot=spot, strike=strike, past=len(closes))
    if not closes:
        future = [d for d in schedule if d >= today]
        check(got, geometric_closed_form([], future, call_put, strike, spot, today), 1e-10,
              today=today, spot=spot, strike=strike, oracle="closed form")


@pytest.mark.parametrize("level, days", [(4000.0, 60), (4000.0, 150), (3.5, 150)],
                         ids=["index-finite-product", "index-product-overflows",
                              "penny-stock-finite"])
def test_geometric_long_history_is_finite_and_exact(market, level, days):
    effect = pd.Timestamp("2023-01-02")
    schedule = weekdays(effect, "2023-12-29")
    closes = script_closes(market, effect, schedule[days - 1], level=level, drift=0.0005)
    today, spot, strike = schedule[days], closes[-1] * 1.01, level
    opt = AsianOption(contract("call", strike, effect=effect, maturity="2023-12-29"))
    got = opt.npv(spot, R, VOL, Q, today)
    expected = geometric_closed_form(closes, schedule[days:], "call", strike, spot, today,
                                     maturity="2023-12-29")
    check(got, expected, 1e-10, level=level, past=days, oracle="closed form in logs")
    plain = math.prod(closes)
    if math.isfinite(plain):  # the instrument QuantLib values as it stands
        check(got, direct(ql.Average.Geometric, plain, days, schedule, "call", strike, spot,
                          today, maturity="2023-12-29").NPV(),
              1e-10, level=level, past=days, oracle="unscaled QuantLib")
    else:  # homogeneity in prices with an exact power-of-two scale
        unit = 2.0 ** round(math.log2(level))
        scaled = direct(ql.Average.Geometric, math.prod(c / unit for c in closes), days,
                        schedule, "call", strike / unit, spot / unit, today,
                        maturity="2023-12-29")
        check(got, unit * scaled.NPV(), 1e-10, level=level, past=days, oracle="scaled QuantLib")


# -- the evaluation date's own close -------------------------------------------------------

@pytest.mark.parametrize("average", ["geometric", "arithmetic"])
@pytest.mark.parametrize("call_put", ["call", "put"])
def test_close_on_evaluation_date_counts_once(market, average, call_put):
    effect, maturity, today = "2024-06-03", "2024-07-31", pd.Timestamp("2024-06-07")
    closes = script_closes(market, effect, today)
    kind = ql.Average.Geometric if average == "geometric" else ql.Average.Arithmetic
    acc = (math.prod if average == "geometric" else sum)(closes)
    schedule = weekdays(effect, maturity)
    opt = AsianOption(contract(call_put, 100.0, average, effect=effect, maturity=maturity))

    spot = 101.5  # away from today's close: the close, not the spot, is today's fixing
    # above a spot of 100 the simulation keeps its precision relative to the price
    tolerance = 0.005 * spot / 100.0
    once = direct(kind, acc, len(closes), [d for d in schedule if d != today], call_put, 100.0,
                  spot, today, maturity, tolerance).NPV()
    twice = direct(kind, acc, len(closes), schedule, call_put, 100.0, spot, today,
                   maturity, tolerance).NPV()
    got = opt.npv(spot, R, VOL, Q, today)
    check(got, once, 1e-10, average=average, spot=spot, oracle="close kept, date dropped")
    assert abs(twice - once) > 1e-4  # the two countings are told apart

    if average == "geometric":  # today's fixing as a future one at a spot equal to the close
        spot = closes[-1]
        as_future = direct(kind, math.prod(closes[:-1]), len(closes) - 1, schedule, call_put,
                           100.0, spot, today, maturity).NPV()
        check(opt.npv(spot, R, VOL, Q, today), as_future, 1e-10, spot=spot,
              oracle="today's fixing at spot")


# -- arithmetic averaging (Monte Carlo) ----------------------------------------------------

def forward_average(past, future_dates, spot, today):
    t = np.array([(d - today).days / 365.0 for d in future_dates])
    return (sum(past) + spot * np.exp((R - Q) * t).sum()) / (len(past) + len(t))


@pytest.mark.parametrize("last_close", [None, "2024-06-07"], ids=["fresh", "seasoned"])
def test_arithmetic_deterministic_bracketed_and_at_parity(market, last_close):
    # fresh: a contract starting today, with no fixing known yet
    effect = "2024-06-03" if last_close else "2024-06-10"
    maturity, today = "2024-07-31", pd.Timestamp("2024-06-10")
    past = script_closes(market, effect, last_close) if last_close else []
    future = [d for d in weekdays(effect, maturity) if d >= today]
    spot, strike = 100.0, 100.0
    disc = math.exp(-R * (pd.Timestamp(maturity) - today).days / 365.0)
    values, errors = {}, {}
    for cp in ("call", "put"):
        arith = AsianOption(contract(cp, strike, "arithmetic", effect, maturity))
        inst = arith.construct_option(spot, R, VOL, Q, today)
        ql.Settings.instance().evaluationDate = qd(today)
        values[cp], errors[cp] = inst.NPV(), inst.errorEstimate()
        again = arith.npv(spot, R, VOL, Q, today)
        assert again == values[cp], f"{cp}: {again!r} != {values[cp]!r} on equal inputs"
        geo = geometric_closed_form(past, future, cp, strike, spot, today, maturity)
        # A >= G on every path: the arithmetic call is worth at least the geometric one
        # (the put at most), and the two differ by at most the discounted E[A] - E[G].
        mean, var = geometric_log_moments(past, future, spot, today)
        gap = disc * (forward_average(past, future, spot, today) - math.exp(mean + var / 2))
        sign, slack = (1 if cp == "call" else -1), 3 * errors[cp]
        assert -slack <= sign * (values[cp] - geo) <= gap + slack, (
            f"{cp}: arithmetic {values[cp]!r}, geometric {geo!r}, bound {gap!r}, slack {slack}")
    parity = disc * (forward_average(past, future, spot, today) - strike)
    tol = 4 * math.hypot(errors["call"], errors["put"])
    assert abs(values["call"] - values["put"] - parity) <= tol, (values, parity, tol)


@pytest.mark.parametrize("level", [100.0, 600.0, 1500.0])
@pytest.mark.parametrize("call_put", ["call", "put"])
def test_arithmetic_holds_relative_precision_at_real_prices(market, level, call_put):
    # Above a spot of 100 the simulation must match QuantLib's own engine run in the
    # real prices with the tolerance scaled to the price: the same relative precision
    # (and the same paths), where the absolute 0.005 would need (level / 100)**2 as
    # many paths.  At 100 and below nothing may change.
    effect, maturity, today = "2024-06-03", "2024-07-31", pd.Timestamp("2024-06-10")
    past = script_closes(market, effect, "2024-06-07", level=level)
    strike, spot = 1.02 * level, 0.99 * level
    future = [d for d in weekdays(effect, maturity) if d >= today]
    opt = AsianOption(contract(call_put, strike, "arithmetic", effect, maturity))
    got = opt.npv(spot, R, VOL, Q, today)
    scale = max(spot / 100.0, 1.0)
    expected = direct(ql.Average.Arithmetic, sum(past), len(past), future, call_put, strike, spot,
                      today, maturity, tolerance=0.005 * scale).NPV()
    check(got, expected, 1e-10, level=level, spot=spot, oracle="QuantLib, scaled tolerance")


# -- contract terms, client queries, bad data -------------------------------------------

def test_schedule_from_the_client_and_one_history_query_per_valuation(market):
    script_closes(market, EFFECT, "2024-06-13", level=60.0)
    market.set_calendar(holidays=["2024-07-01"])
    opt = AsianOption(contract())
    assert market.calls_to("get_trading_dates")[-1][1] == (
        pd.Timestamp(EFFECT), pd.Timestamp(MATURITY))
    assert ql.Date(1, 7, 2024) not in opt.fixing_dates
    assert len(opt.fixing_dates) == len(weekdays(EFFECT, MATURITY)) - 1
    for today in (pd.Timestamp("2024-06-14"), None):
        before = market.count("get_price")
        opt.npv(60.0, R, VOL, Q, today)
        (call,) = market.calls_to("get_price")[before:]
        end = today if today is not None else pd.Timestamp.today().normalize()
        assert call[1] == ("X", pd.Timestamp(EFFECT), end)
        assert call[2] == {"fields": "close", "adjust_type": "pre", "expect_df": True}


@pytest.mark.parametrize("average_type, call_put, average, kind", [
    ("geometric", "call", ql.Average.Geometric, "call"),
    ("Geometric", "call", ql.Average.Arithmetic, "call"),
    (None, "Call", ql.Average.Arithmetic, "put"),
    ("geometric", "put", ql.Average.Geometric, "put")],
    ids=["geometric-call", "capitalised-average", "no-average-capitalised-call", "put"])
def test_only_exact_texts_select_geometric_and_call(market, average_type, call_put, average,
                                                    kind):
    effect, maturity, today = "2024-06-03", "2024-07-31", pd.Timestamp("2024-05-31")
    terms = contract(call_put, 100.0, average_type, effect, maturity)
    if average_type is None:
        del terms["average_type"]
    got = AsianOption(terms).npv(100.0, R, VOL, Q, today)
    empty = 1.0 if average == ql.Average.Geometric else 0.0  # nothing known yet
    expected = direct(average, empty, 0, weekdays(effect, maturity), kind, 100.0, 100.0, today,
                      maturity).NPV()
    assert got == expected, (average_type, call_put, got, expected)


@pytest.mark.parametrize("average", ["geometric", "arithmetic"])
def test_missing_close_is_not_skipped(market, average):
    closes = dict(zip(weekdays("2024-06-03", "2024-06-07"), [100.0, 101.0, float("nan"), 99.0,
                                                             100.0]))
    market.set_closes("X", closes)
    opt = AsianOption(contract("call", 100.0, average, "2024-06-03", "2024-07-31"))
    with pytest.raises(RuntimeError, match="nan"):
        opt.npv(100.0, R, VOL, Q, pd.Timestamp("2024-06-10"))


def test_greeks_of_seasoned_geometric_match_quantlib_derivatives(market):
    closes = script_closes(market, EFFECT, "2024-06-13", level=3900.0, drift=0.0005)
    today, spot = pd.Timestamp("2024-06-14"), 4000.0
    greeks = AsianOption(contract("call", 3950.0)).greeks(spot, R, VOL, Q, today)
    scaled = direct(ql.Average.Geometric, math.prod(c / 4096 for c in closes), len(closes),
                    weekdays(EFFECT, MATURITY), "call", 3950.0 / 4096, spot / 4096, today)
    check(greeks.npv, 4096 * scaled.NPV(), 1e-10, spot=spot, field="npv")
    # bump differences over +-0.5 % of spot against the closed form's own derivatives
    check(greeks.delta, scaled.delta(), 3e-4, spot=spot, field="delta")  # delta is unit-free
    check(greeks.gamma, spot * scaled.gamma() / 4096, 1e-3, spot=spot, field="spot * gamma")
