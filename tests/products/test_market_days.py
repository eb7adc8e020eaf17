"""Valuation on weekends and exchange holidays: the market is anchored on the day itself.

References: the Black-Scholes closed form with the calendar-day time to maturity,
QuantLib engines on curves anchored at the evaluation date (``_oracles.process``), and
the ordering Friday >= Saturday >= Monday of a value that decays (or grows) with time.
"""

import math

import pandas as pd
import pytest
import QuantLib as ql

import velmora._market
from _oracles import bs_vanilla, process, qld
from product_table import (  # noqa: F401  (closes is a fixture)
    FRI, MON, PRODUCTS, Q, R, SAT, SPOT, SUN, VOL, WED, closes, common, vanilla,
)
from velmora.calendar import get_a_share_calendar
from velmora.dualtap import DoubleTouchOption
from velmora.touch import SingleTouchOption
from velmora.vanilla import VanillaOption


@pytest.mark.parametrize("name", list(PRODUCTS))
def test_weekend_lies_between_friday_and_monday(closes, name):
    product = PRODUCTS[name]()
    fri, sat, sun, mon = (product.npv(SPOT, R, VOL, Q, d) for d in (FRI, SAT, SUN, MON))
    lo, hi = min(fri, mon), max(fri, mon)
    tol = 1e-12 * max(1.0, abs(hi))
    assert lo - tol <= sat <= hi + tol and lo - tol <= sun <= hi + tol, (name, fri, sat, sun, mon)
    # the weekend is not valued as Monday: time keeps running on non-trading days
    assert (sat != mon and sun != mon) or fri == mon, (name, fri, sat, sun, mon)


@pytest.mark.parametrize("name", [n for n in PRODUCTS if n not in ("snowball", "phoenix")])
def test_trading_day_values_equal_the_exchange_calendar_anchor(closes, monkeypatch, name):
    """On a trading day the anchor is the same date, so every value is the same to the bit.

    The flat curves and constant vols of every valuation (the process's and the
    engines' own) are anchored through ``velmora._market``."""
    product = PRODUCTS[name]()
    now = [product.npv(SPOT, R, VOL, Q, d) for d in (WED, FRI)]
    monkeypatch.setattr(velmora._market, "_ANCHOR_CALENDAR", get_a_share_calendar())
    assert [product.npv(SPOT, R, VOL, Q, d) for d in (WED, FRI)] == now


@pytest.mark.parametrize("day", ["2025-09-30", "2025-10-01", "2025-10-04", "2025-10-08"])
@pytest.mark.parametrize("call_put", ["call", "put"])
def test_call_through_the_national_day_closure(market, day, call_put):
    market.set_calendar(holidays=pd.date_range("2025-10-01", "2025-10-08"))
    option = VanillaOption({**common("2025-10-09"), "effect_date": "2025-09-01",
                            "call_put": call_put, "strike": 100.0, "exercise_type": "european",
                            "payoff_type": "plain_vanilla"})
    t = (pd.Timestamp("2025-10-09") - pd.Timestamp(day)).days / 365
    want = bs_vanilla(100.7, 100.0, R, Q, VOL, t, call_put == "call")
    got = option.npv(100.7, R, VOL, Q, day)
    assert abs(got - want) <= 1e-12 * want, (day, got, want)


MONDAY_MATURITY = {
    "one-touch-up": (SingleTouchOption, {"touch_type": "one_touch_up", "touch_price": 120.0,
                                         "rebate": 0.0, "digital_payoff": 10.0,
                                         "pay_at": "hit"}),
    "double-no-touch": (DoubleTouchOption, {"touch_type": "double_no_touch",
                                            "touch_price_lo": 80.0, "touch_price_hi": 125.0,
                                            "digital_payoff": 10.0, "pay_at": "expiry"}),
    "american-digital": (VanillaOption, {"call_put": "call", "strike": 110.0,
                                         "exercise_type": "american",
                                         "payoff_type": "cash_or_nothing",
                                         "digital_payoff": 10.0}),
}


@pytest.mark.parametrize("name", list(MONDAY_MATURITY))
def test_weekend_before_a_monday_maturity(closes, name):
    """Saturday and Sunday keep two and one days to run; Friday's theta steps onto Saturday."""
    cls, kw = MONDAY_MATURITY[name]
    product = cls({**common(MON), **kw})
    fri, sat, sun = (product.npv(SPOT, R, VOL, Q, d) for d in (FRI, SAT, SUN))
    assert all(math.isfinite(v) for v in (fri, sat, sun)), (name, fri, sat, sun)
    assert product.theta(SPOT, R, VOL, Q, FRI) == sat - fri


def test_friday_theta_is_one_calendar_day(market):
    option = vanilla()
    t_fri = (pd.Timestamp("2024-09-02") - FRI).days / 365
    want = bs_vanilla(SPOT, 100.0, R, Q, VOL, t_fri - 1 / 365, True) - bs_vanilla(
        SPOT, 100.0, R, Q, VOL, t_fri, True)
    got = option.theta(SPOT, R, VOL, Q, FRI)
    assert abs(got - want) <= 1e-12, (got, want)


@pytest.mark.parametrize("day", ["2025-10-01", "2025-10-03", "2025-10-09"])
def test_american_window_opening_on_a_holiday(market, day):
    """Effect date inside the closure; the tree is rebuilt on curves anchored at the day."""
    market.set_calendar(holidays=pd.date_range("2025-10-01", "2025-10-08"))
    option = VanillaOption({**common("2025-12-31"), "effect_date": "2025-10-01",
                            "call_put": "put", "strike": 100.0, "exercise_type": "american",
                            "payoff_type": "plain_vanilla"})
    got = option.npv(SPOT, R, VOL, Q, day)
    direct = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, 100.0),
                              ql.AmericanExercise(qld(day), qld("2025-12-31")))
    direct.setPricingEngine(ql.BinomialVanillaEngine(process(SPOT, R, VOL, Q, day), "jr", 801))
    assert abs(got - direct.NPV()) <= 1e-12, (day, got, direct.NPV())
