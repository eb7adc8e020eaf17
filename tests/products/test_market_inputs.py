"""Market inputs checked at the edge of every product, history that is missing or stale,
and a spot already beyond a barrier.

References: the Black-Scholes closed forms of ``_oracles`` (vega, parity, discounted
cash), QuantLib's European engine built directly, and the same contract valued on a
complete history.
"""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
import QuantLib as ql

from _oracles import bs_vanilla, bs_vega_point, norm_cdf, process, qld
from product_table import (  # noqa: F401  (closes is a fixture)
    EFFECT, FRI, PRODUCTS, Q, R, SPOT, UNDERLYING, VOL, WITH_HISTORY, barrier, closes, common,
    dualknock,
)
from velmora._history import StaleHistoryWarning
from velmora.airbag import AirbagOption
from velmora.barrier import BarrierOption
from velmora.dualknock import DoubleBarrierOption
from velmora.dualtap import DoubleTouchOption
from velmora.touch import SingleTouchOption
from velmora.vanilla import VanillaOption

NAN, INF = float("nan"), float("inf")
BAD = [  # (spot, r, vol, q), the input named in the message
    ((0.0, R, VOL, Q), "spot"), ((-5.0, R, VOL, Q), "spot"), ((NAN, R, VOL, Q), "spot"),
    ((INF, R, VOL, Q), "spot"), ((SPOT, NAN, VOL, Q), "r"), ((SPOT, -INF, VOL, Q), "r"),
    ((SPOT, R, 0.0, Q), "vol"), ((SPOT, R, -0.25, Q), "vol"), ((SPOT, R, NAN, Q), "vol"),
    ((SPOT, R, INF, Q), "vol"), ((SPOT, R, VOL, NAN), "q"), ((SPOT, R, VOL, INF), "q"),
    (("abc", R, VOL, Q), "spot"),
]


@pytest.mark.parametrize("name", list(PRODUCTS))
def test_unusable_market_inputs_raise_everywhere(closes, name):
    product = PRODUCTS[name]()
    for inputs, named in BAD:
        for method in ("npv", "greeks", "vega"):
            with pytest.raises(ValueError, match=f"^{named} must be") as err:
                getattr(product, method)(*inputs, FRI)
            assert repr(inputs[("spot", "r", "vol", "q").index(named)]) in str(err.value)


@pytest.mark.parametrize("name", list(PRODUCTS))
def test_evaluation_date_forms(closes, name):
    """NaT raises; a timezone-aware timestamp or datetime is its local day; numpy spots work."""
    product = PRODUCTS[name]()
    for method in ("npv", "greeks"):
        with pytest.raises(ValueError, match="evaluation_date"):
            getattr(product, method)(SPOT, R, VOL, Q, pd.NaT)
    want = product.greeks(SPOT, R, VOL, Q, FRI)
    late_evening = pd.Timestamp("2024-06-07 23:30", tz="Asia/Shanghai")
    for day in (late_evening, late_evening.to_pydatetime()):
        assert product.greeks(SPOT, R, VOL, Q, day) == want, (name, day)
        # the finite-difference engine's greeks solve spans the bumped vols too: a wider
        # domain, the same grid otherwise
        rel = 1e-8 if getattr(product, "engine", None) == "pde" else 0.0
        assert product.npv(SPOT, R, VOL, Q, day) == pytest.approx(want.npv, rel=rel, abs=0)
    for spot in (np.float32(SPOT), np.float64(SPOT), np.int64(100)):
        assert product.greeks(spot, np.float64(R), VOL, Q, FRI) == want, (name, type(spot))


@pytest.mark.parametrize("vol", [0.004, 0.008, 0.01, 0.012, 0.2])
@pytest.mark.parametrize("moneyness", [0.0, 0.5, -0.5])  # log(K / F) in standard deviations
def test_vega_at_small_volatility(market, vol, moneyness):
    """Never a valuation at zero or negative volatility; agrees with the analytic vega."""
    t = (pd.Timestamp("2024-09-02") - FRI).days / 365
    strike = SPOT * math.exp((R - Q) * t + moneyness * vol * math.sqrt(t))
    option = VanillaOption({**common(), "call_put": "call", "strike": strike,
                            "exercise_type": "european", "payoff_type": "plain_vanilla"})
    got = option.vega(SPOT, R, vol, Q, FRI)
    want = bs_vega_point(SPOT, strike, R, Q, vol, t)
    # a central difference over a bump of min(0.01, vol / 2): error of the order of bump^2
    tol = 0.05 * abs(want)
    assert abs(got - want) <= tol, (vol, strike, got, want, tol)


# QuantLib's series for the double no-touch does not converge at such volatilities (it
# raises "serie did not converge sufficiently fast" at 0.02 already), so the double
# touches are left out here.
@pytest.mark.parametrize("name", [n for n in PRODUCTS if not n.startswith("double")])
def test_vega_below_one_point_never_values_at_a_negative_volatility(closes, name):
    g = PRODUCTS[name]().greeks(SPOT, R, 0.006, Q, FRI)
    assert all(math.isfinite(x) for x in g), (name, g)


# ---- history that is missing or stale ----------------------------------------------------

@pytest.mark.parametrize("name", WITH_HISTORY)
def test_missing_history_names_the_underlying_and_the_dates(market, name):
    product = PRODUCTS[name]()
    for method in ("npv", "greeks"):
        with pytest.raises(ValueError) as err:
            getattr(product, method)(SPOT, R, VOL, Q, FRI)
        msg = str(err.value)
        assert UNDERLYING in msg and "2024-05-06" in msg and "2024-06-07" in msg, msg


@pytest.mark.parametrize("name", WITH_HISTORY)
def test_a_contract_starting_today_needs_no_history(market, monkeypatch, name):
    import product_table

    monkeypatch.setattr(product_table, "EFFECT", "2024-06-07")  # FRI: the table's start
    fresh = PRODUCTS[name]()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert math.isfinite(fresh.npv(SPOT, R, VOL, Q, FRI))


def _bars(market, days, level=100.0):
    market.set_closes(UNDERLYING, {d: level for d in days})


@pytest.mark.parametrize("name", WITH_HISTORY)
def test_intraday_suspension_and_stale_history(market, name):
    product = PRODUCTS[name]()
    days = pd.bdate_range(EFFECT, FRI)
    _bars(market, days)
    full = product.npv(SPOT, R, VOL, Q, FRI)
    # intraday: the evaluation date has no close yet; a suspension in the middle: no
    # bars on those days, but the history reaches the last closed day
    suspended = days[(days < "2024-05-20") | (days > "2024-05-24")]
    for served in (days[:-1], suspended):
        _bars(market, served)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            value = product.npv(SPOT, R, VOL, Q, FRI)
        # nothing crossed on a flat history: only the asian's average depends on it
        if served is suspended and not name.startswith("asian"):
            assert value == full, name
    # the bars stop three trading days before the evaluation date: nothing is observed
    # on those days, and the caller is told
    _bars(market, days[:-3])
    with pytest.warns(StaleHistoryWarning) as caught:
        product.npv(SPOT, R, VOL, Q, FRI)
    msg = str(caught[0].message)
    assert UNDERLYING in msg and "2024-06-04" in msg and "2024-06-05" in msg, msg
    # the warning names the product's code that asked, not the history queries
    assert not caught[0].filename.endswith("_history.py"), (name, caught[0].filename)


def test_mistyped_underlying_no_longer_reads_as_untouched(market):
    """A knocked-out up-and-out is worth its rebate, never the untouched value."""
    option = BarrierOption({**common(), "call_put": "call", "strike": 100.0, "barrier": 110.0,
                            "barrier_type": "up_and_out", "exercise_type": "european",
                            "payoff_type": "plain_vanilla", "rebate": 0.5})
    _bars(market, pd.bdate_range(EFFECT, FRI), level=100.0)
    market.set_closes(UNDERLYING, {**{d: 100.0 for d in pd.bdate_range(EFFECT, FRI)},
                                   pd.Timestamp("2024-05-15"): 111.0})
    assert option.npv(SPOT, R, VOL, Q, FRI) == 0.5
    typo = BarrierOption({**common(), "underlying": "60000.XSHG", "call_put": "call",
                          "strike": 100.0, "barrier": 110.0, "barrier_type": "up_and_out",
                          "exercise_type": "european", "payoff_type": "plain_vanilla",
                          "rebate": 0.5})
    with pytest.raises(ValueError, match="60000.XSHG"):
        typo.npv(SPOT, R, VOL, Q, FRI)


# ---- spot already beyond a barrier, no close yet beyond it -----------------------------------

def _vanilla_ql(call_put, strike, exercise, spot, maturity):
    side = ql.Option.Call if call_put == "call" else ql.Option.Put
    payoff = ql.PlainVanillaPayoff(side, strike)
    proc = process(spot, R, VOL, Q, FRI)
    if exercise == "european":
        inst = ql.VanillaOption(payoff, ql.EuropeanExercise(qld(maturity)))
        inst.setPricingEngine(ql.AnalyticEuropeanEngine(proc))
    else:
        inst = ql.VanillaOption(payoff, ql.AmericanExercise(qld(EFFECT), qld(maturity)))
        inst.setPricingEngine(ql.BinomialVanillaEngine(proc, "jr", 801))
    return inst.NPV()


@pytest.mark.parametrize("exercise", ["european", "american"])
@pytest.mark.parametrize("barrier_type, level, spot", [
    ("down_and_in", 90.0, 89.0), ("down_and_out", 90.0, 89.0),
    ("up_and_in", 110.0, 111.0), ("up_and_out", 110.0, 111.0),
    # on the level: reached, as continuously watched
    ("down_and_in", 90.0, 90.0), ("down_and_out", 90.0, 90.0),
    ("up_and_in", 110.0, 110.0), ("up_and_out", 110.0, 110.0)])
@pytest.mark.parametrize("call_put", ["call", "put"])
def test_spot_beyond_a_single_barrier(closes, exercise, barrier_type, level, spot, call_put):
    option = BarrierOption({**common(), "call_put": call_put, "strike": 100.0, "barrier": level,
                            "barrier_type": barrier_type, "exercise_type": exercise,
                            "payoff_type": "plain_vanilla", "rebate": 0.7})
    got = option.npv(spot, R, VOL, Q, FRI)
    if barrier_type.endswith("out"):
        assert got == 0.7
    else:
        want = _vanilla_ql(call_put, 100.0, exercise, spot, option.maturity_date)
        assert abs(got - want) <= 1e-10, (got, want)


@pytest.mark.parametrize("spot", [69.0, 141.0, 70.0, 140.0])  # beyond, and on, each level
@pytest.mark.parametrize("kind", ["knock_in", "knock_out"])
@pytest.mark.parametrize("payoff", ["plain_vanilla", "cash_or_nothing"])
def test_spot_outside_a_corridor(closes, spot, kind, payoff):
    option = DoubleBarrierOption({**common(), "call_put": "put", "strike": 100.0,
                                  "barrier_lo": 70.0, "barrier_hi": 140.0, "barrier_type": kind,
                                  "exercise_type": "european", "payoff_type": payoff,
                                  "digital_payoff": 10.0})
    got = option.npv(spot, R, VOL, Q, FRI)
    t = (option.maturity_date - FRI).days / 365
    if kind == "knock_out":
        want = 0.0
    elif payoff == "plain_vanilla":
        want = bs_vanilla(spot, 100.0, R, Q, VOL, t, False)
    else:
        d2 = (math.log(spot / 100.0) + (R - Q - VOL * VOL / 2) * t) / (VOL * math.sqrt(t))
        want = 10.0 * math.exp(-R * t) * norm_cdf(-d2)
    assert abs(got - want) <= 1e-10, (got, want)


LEVELS = [  # product, level, the side where the level is not reached, exercise
    *[(lambda kind, ex: barrier(barrier_type=kind, exercise_type=ex, rebate=0.7), 80.0, +1, ex)
      for ex in ("european", "american")],
    *[(lambda kind, ex: barrier(barrier_type=kind.replace("down", "up"), barrier=120.0,
                                exercise_type=ex, rebate=0.7), 120.0, -1, ex)
      for ex in ("european", "american")],
    (lambda kind, ex: dualknock(barrier_type=kind.replace("down_and", "knock")), 70.0, +1,
     "european"),
    (lambda kind, ex: dualknock(barrier_type=kind.replace("down_and", "knock")), 140.0, -1,
     "european"),
]


@pytest.mark.parametrize("make, level, side, exercise", LEVELS,
                         ids=["down", "down-american", "up", "up-american", "corridor-lo",
                              "corridor-hi"])
@pytest.mark.parametrize("kind", ["down_and_in", "down_and_out"])
def test_value_on_a_level_is_the_limit_from_inside(closes, make, level, side, kind, exercise):
    """Values as the spot approaches a level converge on the value at the level.

    Except an American knock-out worth more exercised than its rebate at the level:
    it is exercised just ahead of the hit, so the values inside tend to the payoff
    at the level, while on the level it has knocked out and is worth the rebate.
    """
    option = make(kind, exercise)
    on = option.npv(level, R, VOL, Q, FRI)
    limit = on
    if exercise == "american" and kind.endswith("out"):
        assert on == 0.7
        limit = max(0.7, level - 100.0)
    gaps = [abs(option.npv(level * (1 + side * eps), R, VOL, Q, FRI) - limit)
            for eps in (1e-3, 1e-5, 1e-7)]
    # Lipschitz in the spot (analytic), down to the grid's accuracy (finite differences)
    tol = 2e-3 * max(abs(on), 1.0) if exercise == "american" else 0.0
    assert gaps[2] <= gaps[0] / 100 + tol, (on, gaps)
    assert gaps[2] <= 1e-4 * max(abs(on), 1.0) + tol, (on, gaps)


@pytest.mark.parametrize("touch_type, spot, want", [
    ("one_touch_up", 121.0, "cash now"), ("no_touch_up", 121.0, 0.0),
    ("one_touch_down", 79.0, "cash now"), ("no_touch_down", 79.0, 0.0)])
@pytest.mark.parametrize("pay_at", ["hit", "expiry"])
def test_spot_beyond_a_touch_level(closes, touch_type, spot, want, pay_at):
    level = 120.0 if touch_type.endswith("up") else 80.0
    option = SingleTouchOption({**common(), "touch_type": touch_type, "touch_price": level,
                                "rebate": 0.0, "digital_payoff": 10.0, "pay_at": pay_at})
    t = (option.maturity_date - FRI).days / 365
    if want == "cash now":  # touched today: paid at once, or owed at expiry
        want = 10.0 if pay_at == "hit" else 10.0 * math.exp(-R * t)
    got = option.npv(spot, R, VOL, Q, FRI)
    assert abs(got - want) <= 1e-12, (got, want)


@pytest.mark.parametrize("spot", [79.0, 126.0])
@pytest.mark.parametrize("touch_type", ["double_one_touch", "double_no_touch"])
def test_spot_outside_a_double_touch_corridor(closes, spot, touch_type):
    option = DoubleTouchOption({**common(), "touch_type": touch_type, "touch_price_lo": 80.0,
                                "touch_price_hi": 125.0, "digital_payoff": 10.0,
                                "pay_at": "expiry"})
    t = (option.maturity_date - FRI).days / 365
    want = 10.0 * math.exp(-R * t) if touch_type == "double_one_touch" else 0.0
    got = option.npv(spot, R, VOL, Q, FRI)
    assert abs(got - want) <= 1e-12, (got, want)


def test_airbag_below_its_knock_in_level_is_the_forward(closes):
    """Knocked in: pr_after x (call - put) = pr_after x (S e^-qT - K e^-rT), by parity."""
    option = AirbagOption({**common(), "ki_barrier": 80.0, "pr_before_ki": 1.0,
                           "pr_after_ki": 0.8, "exercise_type": "european", "strike": 100.0})
    t = (option.maturity_date - FRI).days / 365
    want = 0.8 * (79.0 * math.exp(-Q * t) - 100.0 * math.exp(-R * t))
    got = option.npv(79.0, R, VOL, Q, FRI)
    assert abs(got - want) <= 1e-10, (got, want)


# (r, vol, q) and the inputs a per-cent slip warning must name; the bounds themselves pass
SLIPS = [((R, 25.0, Q), ["vol"]), ((3.0, VOL, Q), ["r"]), ((R, VOL, -1.5), ["q"]),
         ((-2.0, 30.0, 2.5), ["vol", "r", "q"]), ((1.0, 5.0, -1.0), []), ((-1.0, VOL, 1.0), [])]


@pytest.mark.parametrize("name", ["vanilla-call", "barrier-down-out", "snowball"])
@pytest.mark.parametrize("inputs, named", SLIPS)
def test_a_per_cent_slip_warns_and_values_as_given(closes, name, inputs, named):
    r, vol, q = inputs
    product = PRODUCTS[name]()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = product.npv(SPOT, r, vol, q, FRI)
    slips = [w for w in caught if "per-cent" in str(w.message)]
    if not named:
        assert not slips
        return
    assert slips and all(w.category is UserWarning for w in slips)
    assert slips[0].filename == __file__  # points at the caller, not inside velmora
    for key in named:
        assert f"{key}=" in str(slips[0].message)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert product.npv(SPOT, r, vol, q, FRI) == got


OPTIONAL = {"average_type", "rebate"}  # key terms with a default, shown when given
# pairs of products of one class that differ in one key term
DIFFERING = [("vanilla-call", "vanilla-put"), ("barrier-down-out", "barrier-up-in"),
             ("dualknock-out", "dualknock-in-put"), ("one-touch-up", "no-touch-down"),
             ("double-no-touch", "double-one-touch"), ("snowball", "snowball-pde")]


@pytest.mark.parametrize("name", list(PRODUCTS))
def test_repr_shows_kind_and_key_terms(closes, name):
    product = PRODUCTS[name]()
    shown = repr(product)
    assert shown.startswith(f"{type(product).__name__}(") and " object at " not in shown
    assert f"underlying={UNDERLYING!r}" in shown
    assert f"maturity_date='{product.maturity_date.date().isoformat()}'" in shown
    for key in set(type(product).key_terms) - OPTIONAL:
        assert f"{key}=" in shown, (key, shown)


@pytest.mark.parametrize("first, second", DIFFERING)
def test_repr_tells_trades_apart(closes, first, second):
    assert repr(PRODUCTS[first]()) != repr(PRODUCTS[second]())
