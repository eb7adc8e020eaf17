"""One contract of every product family, on one underlying, for tests that run across all.

Maturities are a few months after ``FRI``; levels are far from the spot of 100, so a
close of 100 on every weekday crosses nothing.
"""

import pandas as pd
import pytest

from autocall_cases import flat_closes
from autocall_cases import terms as autocall_terms
from velmora import normdraw
from velmora.airbag import AirbagOption
from velmora.asian import AsianOption
from velmora.barrier import BarrierOption
from velmora.dualknock import DoubleBarrierOption
from velmora.dualtap import DoubleTouchOption
from velmora.lookback import LookbackOption
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


def autocall(cls, **terms):
    return cls(autocall_terms(effect_date=EFFECT, obs_start_date=EFFECT,
                              maturity_date="2025-05-06", obs_end_date="2025-05-06", **terms))


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
    "barrier-digital-european-down-in": lambda: barrier(barrier_type="down_and_in",
                                                        payoff_type="cash_or_nothing"),
    "dualknock-out": lambda: dualknock(),
    "dualknock-in-put": lambda: dualknock(barrier_type="knock_in", call_put="put"),
    "one-touch-up": lambda: touch(),
    "no-touch-down": lambda: touch(touch_type="no_touch_down", touch_price=80.0),
    "double-no-touch": lambda: dualtap(),
    "double-one-touch": lambda: dualtap(touch_type="double_one_touch"),
    "asian-geometric": lambda: AsianOption({**common(), "call_put": "call", "strike": 100.0,
                                            "average_type": "geometric"}),
    "asian-qmc": lambda: AsianOption({**common(), "call_put": "put", "strike": 100.0,
                                      "engine": "qmc"}),
    "airbag": lambda: AirbagOption({**common(), "ki_barrier": 80.0, "pr_before_ki": 1.0,
                                    "pr_after_ki": 1.0, "exercise_type": "european",
                                    "strike": 100.0}),
    "straddle": lambda: StraddleOption({**common(), "strike": 100.0,
                                        "exercise_type": "european"}),
    "lookback": lambda: LookbackOption({**common(), "call_put": "call", "strike": 100.0,
                                        "lookback": "max"}),
    "snowball": lambda: autocall(SnowBallOption),
    "phoenix": lambda: autocall(PhoenixOption),
    "snowball-pde": lambda: autocall(SnowBallOption, engine="pde"),
    "phoenix-pde": lambda: autocall(PhoenixOption, engine="pde"),
}



# The products that read the underlying's history.
WITH_HISTORY = [n for n in PRODUCTS if not n.startswith(("vanilla", "straddle"))]


@pytest.fixture
def closes(market, monkeypatch):
    """A close of 100 on every weekday since the effect date; the pool cut for speed."""
    real = normdraw.get_normdraws
    monkeypatch.setattr(normdraw, "get_normdraws", lambda steps: real(steps)[:20000])
    flat_closes(market, EFFECT, FRI, underlying=UNDERLYING)
    return market
