"""Snowball and phoenix notes through their public face: history, schedules, open cases."""

import datetime

import numpy as np
import pandas as pd
import pytest
import torch

import autocall_reference as ref
from autocall_cases import BASE_TERMS, flat_closes, terms
from velmora import normdraw
from velmora.groundwork import OptionGreeks
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption

PRODUCTS = [SnowBallOption, PhoenixOption]
ids = ["snowball", "phoenix"]
SPOT, R, VOL, Q = 100.0, 0.02, 0.25, 0.0
UNDERLYING = BASE_TERMS["underlying"]


@pytest.fixture
def small_pool(monkeypatch):
    real = normdraw.get_normdraws
    monkeypatch.setattr(normdraw, "get_normdraws", lambda steps: real(steps)[:5000])
    return lambda n: real(n)[:5000]


# ---- construction ---------------------------------------------------------------------------
@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("key", ["strike", "ki_barrier", "ko_barrier", "coupon_rate",
                                 "ki_obs_freq", "ko_obs_freq", "obs_start_date",
                                 "obs_end_date"])
def test_missing_key(market, cls, key):
    option = terms()
    del option[key]
    with pytest.raises(KeyError, match=key):
        cls(option)


def test_snowball_coupon_accrues_from_observation_start(market):
    # 2021-01-04 + 6 months = 2021-07-04 (Sunday) -> 2021-07-05, 182 days later
    product = SnowBallOption(terms(effect_date="2020-12-28", obs_start_date="2021-01-04",
                                   obs_end_date="2022-01-04", maturity_date="2022-01-04",
                                   ko_obs_freq="semi-annual", coupon_rate=0.2))
    assert list(product.coupon.index) == list(product.ko_obs_dates)
    first = product.coupon.iloc[0]
    assert product.coupon.index[0] == pd.Timestamp("2021-07-05")
    assert abs(first - 100 * 0.2 * 182 / 365) <= 1e-12 and abs(first - 9.9726) < 1e-4
    days = (product.ko_obs_dates - product.obs_start_date).days
    np.testing.assert_allclose(product.coupon.to_numpy(), 100 * 0.2 * days / 365, rtol=1e-15)


@pytest.mark.parametrize("effect_date,first_days", [("2021-01-04", 31), ("2020-12-28", 38)],
                         ids=["effect-on-obs-start", "effect-before-obs-start"])
def test_phoenix_coupon_per_period_from_effect_date(market, effect_date, first_days):
    product = PhoenixOption(terms(effect_date=effect_date, obs_start_date="2021-01-04",
                                  obs_end_date="2021-03-04", maturity_date="2021-03-04",
                                  coupon_rate=0.12))
    assert list(product.coupon.index) == [pd.Timestamp("2021-02-04"), pd.Timestamp("2021-03-04")]
    want = [100 * 0.12 * first_days / 365, 100 * 0.12 * 28 / 365]
    np.testing.assert_allclose(product.coupon.to_numpy(), want, rtol=1e-15)
    if first_days == 31:
        np.testing.assert_allclose(product.coupon.to_numpy(), [1.019178, 0.920548], atol=1e-6)


def test_phoenix_needs_a_knock_out_date(market):
    with pytest.raises(IndexError, match="knock-out"):
        PhoenixOption(terms(obs_start_date="2024-01-02", obs_end_date="2024-01-20"))


# ---- history check --------------------------------------------------------------------------
@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_knock_out_in_history_gives_zero_without_simulating(market, cls):
    product = cls(terms())
    flat_closes(market, "2024-01-02", "2024-03-15", overrides={"2024-03-04": 103.5})
    before = market.count("get_trading_dates")
    assert product.npv(SPOT, R, VOL, Q, "2024-03-15") == 0.0
    g = product.greeks(SPOT, R, VOL, Q, "2024-03-15")
    assert g == OptionGreeks(0.0, 0, 0, 0, 0, 0)
    assert type(g.npv) is float and all(type(x) is int for x in g[1:])
    assert market.count("get_trading_dates") == before, "the grid was requested"


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_history_request(market, cls):
    product = cls(terms())
    flat_closes(market, "2024-01-02", "2024-03-15")
    product.npv(SPOT, R, VOL, Q, pd.Timestamp("2024-03-15"))
    (_, args, kwargs), = market.calls_to("get_price")
    assert args == (UNDERLYING, pd.Timestamp("2024-01-02"), pd.Timestamp("2024-03-15"))
    assert kwargs == {"fields": "close", "adjust_type": "pre", "expect_df": True}
    assert list(market.calls_to("get_trading_dates")[-1][1]) == [
        pd.Timestamp("2024-03-15"), pd.Timestamp("2025-01-02")]


# (id, close overrides, scripted up to, expected knocked_in)
HISTORIES = [
    ("flat", {}, "2024-03-15", False),
    ("ko-close-equal-to-barrier", {"2024-03-04": 103.0}, "2024-03-15", False),
    ("ki-close-equal-to-barrier", {"2024-02-20": 80.0}, "2024-03-15", False),
    ("ki-close-below-barrier", {"2024-02-20": 79.99}, "2024-03-15", True),
    ("ko-after-last-close-ignored", {"2024-03-04": 150.0}, "2024-03-01", False),
]


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("name,overrides,until,knocked_in", HISTORIES,
                         ids=[h[0] for h in HISTORIES])
def test_history_decides_knock_in(market, small_pool, cls, name, overrides, until, knocked_in):
    product = cls(terms())
    flat_closes(market, "2024-01-02", until, overrides=overrides)
    if name == "ko-after-last-close-ignored":  # the close of a later day exists but is not served
        market.set_closes(UNDERLYING, {d: 100.0 for d in pd.bdate_range("2024-01-02", until)})
    got = product.npv(SPOT, R, VOL, Q, "2024-03-15")
    want = product._npv(SPOT, R, VOL, Q, "2024-03-15", knocked_in=knocked_in)
    other = product._npv(SPOT, R, VOL, Q, "2024-03-15", knocked_in=not knocked_in)
    assert got == want and got != other, f"{name}: npv {got}, knocked_in={knocked_in} {want}"


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("served", [None, "outside-range"], ids=["no-bars", "bars-elsewhere"])
def test_no_history_names_underlying_and_dates(market, cls, served):
    product = cls(terms())
    if served:
        flat_closes(market, "2023-01-02", "2023-06-30")
    for call in (product.npv, product.greeks):
        with pytest.raises(ValueError) as err:
            call(SPOT, R, VOL, Q, "2024-03-15")
        msg = str(err.value)
        assert UNDERLYING in msg and "2024-01-02" in msg and "2024-03-15" in msg, msg


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_no_evaluation_date_means_today(market, small_pool, cls):
    today = pd.Timestamp(datetime.date.today())
    start = today - pd.Timedelta(days=60)
    option = terms(effect_date=start, obs_start_date=start, maturity_date=today + pd.Timedelta(
        days=300), obs_end_date=today + pd.Timedelta(days=300))
    product = cls(option)
    flat_closes(market, start, today)
    values = [product.npv(SPOT, R, VOL, Q), product.npv(SPOT, R, VOL, Q, datetime.date.today()),
              product.npv(SPOT, R, VOL, Q, today)]
    assert values[0] == values[1] == values[2]


# ---- greeks ---------------------------------------------------------------------------------
@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_greeks_fields(market, small_pool, cls):
    product = cls(terms())
    flat_closes(market, "2024-01-02", "2024-03-15")
    ev = "2024-03-15"
    g = product.greeks(SPOT, R, VOL, Q, ev)
    p0, delta, gamma = product._npv(SPOT, R, VOL, Q, ev, delta_and_gamma=True)
    p1 = product._npv(SPOT * 1.005, R, VOL, Q, ev)
    p2 = product._npv(SPOT * 0.995, R, VOL, Q, ev)
    assert (g.npv, g.delta, g.gamma) == (p0, delta, gamma)
    # the same paths at the moved spot as a separate valuation; gamma is not scaled by spot
    assert abs(delta - (p1 - p2) / (SPOT * 0.01)) <= 1e-9
    assert abs(gamma - (p1 + p2 - 2 * p0) / (SPOT * 0.005) ** 2) <= 1e-7
    assert (g.vega, g.theta, g.rho) == (product.vega(SPOT, R, VOL, Q, ev),
                                        product.theta(SPOT, R, VOL, Q, ev),
                                        product.rho(SPOT, R, VOL, Q, ev))


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_zero_volatility_closed_form(market, cls):
    """vol 0: every path is exp((r - q) t) and knocks out on the first date above 1.03."""
    r, evaluation = 0.05, pd.Timestamp("2024-01-02")
    product = cls(terms(ko_barrier=101.0))
    value = product._npv(SPOT, r, 0.0, 0.0, evaluation)
    t = (product.coupon.index - evaluation).days / 365
    first = int(np.argmax(np.exp(r * t) > 1.01))
    df = np.exp(-r * t)
    if cls is SnowBallOption:
        want = product.coupon.iloc[first] * df[first]
    else:
        want = float(np.sum(product.coupon.to_numpy()[:first + 1] * df[:first + 1]))
    assert abs(value - want) <= 1e-12 * want, f"expected {want!r} got {value!r}"


# ---- cases with nothing left to observe ------------------------------------------------------
@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_after_maturity_is_expired(market, cls):
    product = cls(terms(maturity_date="2024-06-03", obs_end_date="2024-06-03"))
    flat_closes(market, "2024-01-02", "2024-06-10")
    assert product.npv(SPOT, R, VOL, Q, "2024-06-10") == 0.0
    assert product._npv(SPOT, R, VOL, Q, "2024-06-10", delta_and_gamma=True) == (0.0, 0.0, 0.0)
    assert tuple(product.greeks(SPOT, R, VOL, Q, "2024-06-10")) == (0.0,) * 6


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_on_maturity_day_only_the_loss_or_last_coupon(market, cls):
    # Evaluated on the maturity date: one grid column, the path is exactly the spot.
    product = cls(terms(maturity_date="2024-06-03", obs_end_date="2024-06-03"))
    flat_closes(market, "2024-01-02", "2024-06-03", overrides={"2024-02-20": 70.0})
    # knocked in (the 70 close), no knock-out at 90: the loss 90 - 100; a phoenix is also
    # paid the last period's coupon, being above the knock-in level on that date
    want = 90.0 - 100.0 + (product.coupon.iloc[-1] if cls is PhoenixOption else 0.0)
    assert product.npv(90.0, R, VOL, Q, "2024-06-03") == pytest.approx(want, abs=1e-12)


def _after_last_knock_out(product, pool, spot, evaluation, knocked_in):
    """Value once no knock-out date is left, from the oracle's own paths.

    The mean discounted loss; a snowball also pays the coupon of its last knock-out
    date at maturity on every path that never knocked in (a phoenix owes nothing more).
    """
    _, dtt, _, ki_idx, _ = ref.grid(product, evaluation)
    paths, discount = ref.simulate(pool(len(dtt)), dtt, R, Q, VOL)
    ki = torch.ones(paths.shape[0], dtype=torch.bool) if knocked_in else (
        paths[:, ki_idx].min(dim=1).values < product.ki_barrier / spot if len(ki_idx)
        else torch.zeros(paths.shape[0], dtype=torch.bool))
    loss = torch.clamp(paths[:, -1] - product.strike / spot, max=0) * ki * spot
    if isinstance(product, SnowBallOption):
        loss = loss + (~ki).double() * float(product.coupon.iloc[-1])
    return float((loss * discount[-1]).sum() / paths.shape[0])


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("knocked_in", [False, True], ids=["fresh", "knocked-in"])
def test_no_knock_out_date_left(market, small_pool, cls, knocked_in):
    # Monthly knock-out dates stop on 2024-06-03, daily knock-in runs to 2024-06-20, the
    # note matures in August: valued on 2024-06-10, the loss remains, and a snowball
    # still owes the last knock-out date's coupon on paths that do not knock in.
    # A spot of 84 leaves paths close enough to the knock-in level of 80.
    product = cls(terms(obs_end_date="2024-06-20", maturity_date="2024-08-01"))
    got = product._npv(84.0, R, VOL, Q, "2024-06-10", knocked_in=knocked_in)
    want = _after_last_knock_out(product, small_pool, 84.0, "2024-06-10", knocked_in)
    if cls is PhoenixOption or knocked_in:
        assert want < 0
    assert abs(got - want) <= 1e-9 * abs(want), f"expected {want!r} got {got!r}"


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("knocked_in", [False, True], ids=["fresh", "knocked-in"])
def test_no_observation_date_left(market, small_pool, cls, knocked_in):
    # Observation over by 2024-06-20, maturity in August: nothing can knock in any more.
    product = cls(terms(obs_end_date="2024-06-20", maturity_date="2024-08-01"))
    overrides = {"2024-03-01": 70.0} if knocked_in else {}
    flat_closes(market, "2024-01-02", "2024-07-01", overrides=overrides)
    got = product.npv(SPOT, R, VOL, Q, "2024-07-01")
    want = _after_last_knock_out(product, small_pool, SPOT, "2024-07-01", knocked_in)
    if cls is SnowBallOption and not knocked_in:
        # no path can knock in: the last coupon, discounted from maturity, 31 days away
        last_coupon = product.coupon.iloc[-1]
        assert want == pytest.approx(last_coupon * np.exp(-R * 31 / 365), rel=1e-12)
    else:
        assert (want < 0) == knocked_in
    assert abs(got - want) <= 1e-9 * abs(want), f"expected {want!r} got {got!r}"
    assert np.isfinite(list(product.greeks(SPOT, R, VOL, Q, "2024-07-01"))).all()


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_maturity_beyond_the_pool(market, cls):
    # 2024-01-02 + 501 weekdays and more
    product = cls(terms(maturity_date="2026-02-02", obs_end_date="2026-02-02"))
    flat_closes(market, "2024-01-02", "2024-01-02")
    assert len(market.get_trading_dates("2024-01-02", "2026-02-02")) > 500
    for call in (product.npv, product.greeks):
        with pytest.raises(ValueError, match="^steps overflow$"):
            call(SPOT, R, VOL, Q, "2024-01-02")


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_observation_after_maturity_rejected(market, cls):
    product = cls(terms(maturity_date="2024-06-03", obs_end_date="2024-09-02"))
    with pytest.raises(ValueError, match="after the maturity date 2024-06-03"):
        product._npv(SPOT, R, VOL, Q, "2024-03-01")


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_time_of_day_is_dropped(market, small_pool, cls):
    # A knock-out date on the evaluation date stays observable at 14:00 that day.
    product = cls(terms())
    at_midnight = product._npv(SPOT, R, VOL, Q, "2024-04-02", delta_and_gamma=True)
    afternoon = product._npv(SPOT, R, VOL, Q, datetime.datetime(2024, 4, 2, 14, 0),
                             delta_and_gamma=True)
    assert afternoon == at_midnight


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("spot,r,vol", [(0.0, R, VOL), (-5.0, R, VOL), (float("nan"), R, VOL),
                                        (SPOT, float("inf"), VOL), (SPOT, R, float("nan"))],
                         ids=["zero-spot", "negative-spot", "nan-spot", "inf-rate", "nan-vol"])
def test_unusable_market_inputs_raise(market, small_pool, cls, spot, r, vol):
    product = cls(terms())
    with pytest.raises(ValueError, match="finite"):
        product._npv(spot, r, vol, Q, "2024-03-15", delta_and_gamma=True)
