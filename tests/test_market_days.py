"""Valuation on weekends and exchange holidays: the market is anchored on the day itself.

References: the Black-Scholes closed form with the calendar-day time to maturity,
QuantLib engines on curves anchored at the evaluation date (``_oracles.process``), and
the ordering Friday >= Saturday >= Monday of a value that decays (or grows) with time.
"""

import math

import pandas as pd
import pytest
import QuantLib as ql

import velmora.utils
from _oracles import bs_vanilla, process, qld
from autocall_cases import flat_closes
from autocall_cases import terms as autocall_terms
from velmora.airbag import AirbagOption
from velmora.asian import AsianOption
from velmora.barrier import BarrierOption
from velmora.calendar import get_a_share_calendar
from velmora.dualknock import DoubleBarrierOption
from velmora.dualtap import DoubleTouchOption
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption
from velmora.straddle import StraddleOption
from velmora.touch import SingleTouchOption
from velmora.vanilla import VanillaOption

UNDERLYING = "600000.XSHG"
EFFECT = "2024-05-06"
FRI, SAT, SUN, MON = (pd.Timestamp(d) for d in ("2024-06-07", "2024-06-08", "2024-06-09",
                                                  "2024-06-10"))
WED = pd.Timestamp("2024-06-05")
SPOT, R, VOL, Q = 100.0, 0.03, 0.25, 0.01


def common(maturity="2024-09-02"):
    return {"effect_date": EFFECT, "maturity_date": maturity, "underlying": UNDERLYING,
            "s0": 100.0, "notional": 1.0}


def vanilla(**kw):
    return VanillaOption({**common(), "call_put": "call", "strike": 100.0,
                          "exercise_type": "european", "payoff_type": "plain_vanilla",
                          "digital_payoff": 10.0, **kw})


def barrier(**kw):
    return BarrierOption({**common(), "call_put": "call", "strike": 100.0, "barrier": 80.0,
                          "barrier_type": "down_and_out", "exercise_type": "european",
                          "payoff_type": "plain_vanilla", "rebate": 0.0,
                          "digital_payoff": 10.0, **kw})


def dualknock(**kw):
    return DoubleBarrierOption({**common(), "call_put": "call", "strike": 100.0,
                                "barrier_lo": 70.0, "barrier_hi": 140.0,
                                "barrier_type": "knock_out", "exercise_type": "european",
                                "payoff_type": "plain_vanilla", **kw})


def touch(**kw):
    return SingleTouchOption({**common(), "touch_type": "one_touch_up", "touch_price": 120.0,
                              "rebate": 0.0, "digital_payoff": 10.0, "pay_at": "hit", **kw})


def dualtap(**kw):
    return DoubleTouchOption({**common(), "touch_type": "double_no_touch",
                              "touch_price_lo": 80.0, "touch_price_hi": 125.0,
                              "digital_payoff": 10.0, "pay_at": "expiry", **kw})


def autocall(cls):
    return cls(autocall_terms(effect_date=EFFECT, obs_start_date=EFFECT,
                              maturity_date="2025-05-06", obs_end_date="2025-05-06"))


# Every product family, each on a maturity a few months after the weekend.
PRODUCTS = {
    "vanilla-call": lambda: vanilla(),
    "vanilla-put": lambda: vanilla(call_put="put"),
    "vanilla-digital": lambda: vanilla(payoff_type="cash_or_nothing"),
    "vanilla-american-put": lambda: vanilla(call_put="put", exercise_type="american"),
    "vanilla-american-digital": lambda: vanilla(exercise_type="american", strike=110.0,
                                                payoff_type="cash_or_nothing"),
    "barrier-down-out": lambda: barrier(),
    "barrier-up-in": lambda: barrier(barrier_type="up_and_in", barrier=130.0),
    "barrier-american-down-in-put": lambda: barrier(call_put="put", barrier_type="down_and_in",
                                                    exercise_type="american"),
    "barrier-digital-down-in": lambda: barrier(barrier_type="down_and_in",
                                               exercise_type="american", pay_at="expiry",
                                               payoff_type="cash_or_nothing"),
    "dualknock-out": lambda: dualknock(),
    "dualknock-in-put": lambda: dualknock(barrier_type="knock_in", call_put="put"),
    "one-touch-up": lambda: touch(),
    "no-touch-down": lambda: touch(touch_type="no_touch_down", touch_price=80.0),
    "double-no-touch": lambda: dualtap(),
    "double-one-touch": lambda: dualtap(touch_type="double_one_touch"),
    "asian-geometric": lambda: AsianOption({**common(), "call_put": "call", "strike": 100.0,
                                            "average_type": "geometric"}),
    "airbag": lambda: AirbagOption({**common(), "ki_barrier": 80.0, "pr_before_ki": 1.0,
                                    "pr_after_ki": 1.0, "exercise_type": "european",
                                    "strike": 100.0}),
    "straddle": lambda: StraddleOption({**common(), "strike": 100.0,
                                        "exercise_type": "european"}),
    "snowball": lambda: autocall(SnowBallOption),
    "phoenix": lambda: autocall(PhoenixOption),
}


@pytest.fixture
def closes(market, monkeypatch):
    """A close of 100 on every weekday since the effect date; the pool cut for speed."""
    from velmora import normdraw

    real = normdraw.get_normdraws
    monkeypatch.setattr(normdraw, "get_normdraws", lambda steps: real(steps)[:20000])
    flat_closes(market, EFFECT, FRI, underlying=UNDERLYING)
    return market


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
    """On a trading day the anchor is the same date, so every value is the same to the bit."""
    product = PRODUCTS[name]()
    now = [product.npv(SPOT, R, VOL, Q, d) for d in (WED, FRI)]
    monkeypatch.setattr(velmora.utils, "_ANCHOR_CALENDAR", get_a_share_calendar())
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
    """Effect date inside the closure; the tree is rebuilt directly on curves anchored at ``day``."""
    market.set_calendar(holidays=pd.date_range("2025-10-01", "2025-10-08"))
    option = VanillaOption({**common("2025-12-31"), "effect_date": "2025-10-01",
                            "call_put": "put", "strike": 100.0, "exercise_type": "american",
                            "payoff_type": "plain_vanilla"})
    got = option.npv(SPOT, R, VOL, Q, day)
    direct = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, 100.0),
                              ql.AmericanExercise(qld(day), qld("2025-12-31")))
    direct.setPricingEngine(ql.BinomialVanillaEngine(process(SPOT, R, VOL, Q, day), "jr", 801))
    assert abs(got - direct.NPV()) <= 1e-12, (day, got, direct.NPV())
