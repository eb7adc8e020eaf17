"""Edges of the autocallables' observation schedules.

After the last knock-out date a snowball still owes the last coupon (no cliff);
observation dates before the effect date are refused; a suspended stock observes
nothing on the days it has no close.
"""

import numpy as np
import pandas as pd
import pytest

from autocall_cases import BASE_TERMS, flat_closes, separate_greeks, terms
from velmora import normdraw
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption

PRODUCTS = {"snowball": SnowBallOption, "phoenix": PhoenixOption}
R, VOL, Q = 0.02, 0.25, 0.0
UNDERLYING = BASE_TERMS["underlying"]


@pytest.fixture
def small_pool(monkeypatch):
    real = normdraw.get_normdraws
    monkeypatch.setattr(normdraw, "get_normdraws", lambda steps: real(steps)[:5000])


def test_snowball_has_no_cliff_after_its_last_knock_out_date(market, small_pool):
    # Monthly knock-out dates end on 2024-06-03; the note matures on 2024-07-01.
    product = SnowBallOption(terms(obs_end_date="2024-06-20", maturity_date="2024-07-01"))
    assert product.ko_obs_dates[-1] == pd.Timestamp("2024-06-03")
    flat_closes(market, "2024-01-02", "2024-06-04")
    on_last = product.npv(100.0, R, VOL, Q, "2024-06-03")
    day_after = product.npv(100.0, R, VOL, Q, "2024-06-04")
    coupon = product.coupon.iloc[-1]
    assert on_last > 0.9 * coupon
    assert abs(day_after - on_last) <= 0.02 * coupon, (on_last, day_after)
    # theta on the last date values the next day past it, within the same pass
    fused = product.greeks(100.0, R, VOL, Q, "2024-06-03")
    assert fused == separate_greeks(product, 100.0, R, VOL, Q, "2024-06-03")
    assert fused.theta == pytest.approx(day_after - on_last, abs=1e-12)


# (product, effect date, option overrides, the date the message must name)
EARLY = [
    ("snowball", "2024-02-10", {"ki_obs_freq": "monthly"}, "knock-out", "2024-02-02"),
    ("phoenix", "2024-02-10", {"ki_obs_freq": "monthly"}, "knock-out", "2024-02-02"),
    ("snowball", "2024-01-10", {}, "knock-in", "2024-01-03"),
    ("phoenix", "2024-01-10", {}, "knock-in", "2024-01-03"),
]


@pytest.mark.parametrize("rule,effect,overrides,kind,date", EARLY)
def test_observation_before_the_effect_date_is_refused(market, rule, effect, overrides,
                                                       kind, date):
    option = terms(effect_date=effect, **overrides)
    with pytest.raises(ValueError, match=f"{kind} observation date {date}"):
        PRODUCTS[rule](option)


def test_phoenix_effect_on_its_first_observation_date_is_accepted(market):
    product = PhoenixOption(terms(effect_date="2024-02-02", ki_obs_freq="monthly"))
    assert product.coupon.iloc[0] == 0.0  # a period of no days, never negative


def _closes(start, end, level=100.0, skip=(), overrides=None):
    closes = {d: level for d in pd.bdate_range(start, end) if d not in pd.to_datetime(skip)}
    closes.update({pd.Timestamp(d): v for d, v in (overrides or {}).items()})
    return closes


# (case, suspended dates, closes on other days, expected knock state by equivalent history)
SUSPENDED = [
    ("knock-out-date", ["2024-03-04"], {"2024-03-05": 110.0}, {}),
    ("knock-in-date", ["2024-02-20"], {}, {}),
    ("knock-in-after-suspension", ["2024-02-20"], {"2024-02-21": 70.0}, {"2024-02-21": 70.0}),
    ("knock-out-after-suspension", ["2024-03-04"], {"2024-04-02": 110.0},
     {"2024-04-02": 110.0}),
]


@pytest.mark.parametrize("rule", PRODUCTS)
@pytest.mark.parametrize("case,suspended,moves,equivalent", SUSPENDED,
                         ids=[s[0] for s in SUSPENDED])
def test_suspended_day_observes_nothing(market, small_pool, rule, case, suspended, moves,
                                        equivalent):
    """Same value as a history with a quiet close on the suspended days."""
    product = PRODUCTS[rule](terms())
    evaluation = "2024-05-15"
    market.set_closes(UNDERLYING, _closes("2024-01-02", evaluation, skip=suspended,
                                          overrides=moves))
    got = product.npv(100.0, R, VOL, Q, evaluation)
    market.set_closes(UNDERLYING, _closes("2024-01-02", evaluation, overrides=equivalent))
    want = product.npv(100.0, R, VOL, Q, evaluation)
    assert got == want
    if "knock-out-after" in case:
        assert got == 0.0
    assert np.isfinite(got)
