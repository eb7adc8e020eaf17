"""The compiled engine against a plain whole-tensor valuation and hand-made paths.

The oracle (tests/autocall_reference.py) builds the full matrix of paths with torch
and applies the knock-out, knock-in and coupon rules with whole-tensor operations; it
runs on the first rows of the real pool.  The engine must give the same loss part to
1e-9 relative and the same value to 1e-6 relative (the oracle sums coupons in single
precision, the engine in double).
"""

import numpy as np
import pandas as pd
import pytest
import torch

import autocall_reference as ref
from autocall_cases import terms
from velmora import _core, normdraw
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption

M = 20000  # reduced pool: rows of the real pool
PRODUCTS = {"snowball": SnowBallOption, "phoenix": PhoenixOption}


@pytest.fixture
def reduced_pool(monkeypatch):
    real = normdraw.get_normdraws

    def first_rows(steps):
        return real(steps)[:M]

    monkeypatch.setattr(normdraw, "get_normdraws", first_rows)
    return first_rows


# (id, product, option overrides, evaluation date, spot, knocked_in)
SCENARIOS = [
    ("snowball-daily-ki", "snowball", {}, "2024-03-15", 100.0, False),
    ("snowball-equal-freqs", "snowball", {"ki_obs_freq": "monthly"}, "2024-03-15", 100.0,
     False),
    ("snowball-knocked-in", "snowball", {}, "2024-03-15", 95.0, True),
    ("snowball-eval-on-weekend", "snowball", {}, "2024-03-16", 100.0, False),
    ("snowball-eval-on-ko-date", "snowball", {}, "2024-04-02", 101.0, False),
    ("snowball-low-spot", "snowball", {"ki_barrier": 85.0}, "2024-06-03", 88.0, False),
    ("phoenix-daily-ki", "phoenix", {}, "2024-03-15", 100.0, False),
    ("phoenix-equal-freqs", "phoenix", {"ki_obs_freq": "monthly"}, "2024-03-15", 100.0, False),
    ("phoenix-knocked-in", "phoenix", {}, "2024-03-15", 95.0, True),
    ("phoenix-eval-on-weekend", "phoenix", {}, "2024-03-16", 100.0, False),
    ("phoenix-eval-on-ko-date", "phoenix", {}, "2024-04-02", 104.0, False),
]
R, VOL, Q = 0.025, 0.3, 0.01


def tolerance(parts, rel=1e-6):
    """1e-6 of the largest of value, coupon part and loss part, per path."""
    m = parts["paths"]
    return rel * max(abs(parts["value"]), abs(parts["coupon64"]) / m, abs(parts["loss"]) / m)


@pytest.mark.parametrize("name,rule,overrides,evaluation,spot,knocked_in", SCENARIOS,
                         ids=[s[0] for s in SCENARIOS])
def test_npv_matches_whole_tensor_method(market, reduced_pool, name, rule, overrides,
                                         evaluation, spot, knocked_in):
    product = PRODUCTS[rule](terms(**overrides))
    parts, _ = ref.npv(product, rule, reduced_pool, spot, R, VOL, Q, evaluation, knocked_in)
    got = product._npv(spot, R, VOL, Q, evaluation, knocked_in=knocked_in,
                       delta_and_gamma=True)
    want = [p["value"] for p in parts]
    tol = max(tolerance(p) for p in parts)
    want_delta, want_gamma = ref.delta_gamma(spot, *want)
    checks = [("value", got[0], want[0], tol),
              ("delta", got[1], want_delta, 2 * tol / (spot * 0.01)),
              ("gamma", got[2], want_gamma, 4 * tol / (spot * 0.005) ** 2)]
    for what, g, w, t in checks:
        assert abs(g - w) <= t, f"{name} {what}: expected {w!r}, got {g!r}, tol {t:.3g}"
    assert got[0] == product._npv(spot, R, VOL, Q, evaluation, knocked_in=knocked_in)


@pytest.mark.parametrize("name,rule,overrides,evaluation,spot,knocked_in", SCENARIOS,
                         ids=[s[0] for s in SCENARIOS])
def test_parts_match_whole_tensor_method(market, reduced_pool, name, rule, overrides,
                                         evaluation, spot, knocked_in):
    """Engine on the oracle's own grid: loss to 1e-9, coupons to double rounding."""
    product = PRODUCTS[rule](terms(**overrides))
    parts, (_, dtt, ko, ki, coupon) = ref.npv(product, rule, reduced_pool, spot, R, VOL, Q,
                                              evaluation, knocked_in)
    spots = np.array([spot, spot * 1.005, spot * 0.995])
    n, scenarios = _core.simulate(
        reduced_pool(len(dtt)), dtt.numpy(), np.asarray(ko, dtype=np.int64),
        np.asarray(ki, dtype=np.int64), coupon.to_numpy(dtype=float), spots, r=R, q=Q,
        vol=VOL, strike=product.strike, ki_barrier=product.ki_barrier,
        ko_barrier=product.ko_barrier, rule=rule, knocked_in=knocked_in, threads=2)
    assert n == M
    for (s, coupon_total, loss_total), p in zip(scenarios, parts):
        ctx = f"{name} spot {s}"
        assert abs(loss_total - p["loss"]) <= 1e-9 * abs(p["loss"]), (
            f"{ctx} loss: expected {p['loss']!r}, got {loss_total!r}, rel tol 1e-9")
        assert abs(coupon_total - p["coupon64"]) <= 1e-12 * abs(p["coupon64"]), (
            f"{ctx} coupons: expected {p['coupon64']!r}, got {coupon_total!r}")
        assert abs(coupon_total - p["coupon32"]) <= 1e-6 * abs(p["coupon32"]), (
            f"{ctx} coupons vs single precision: {p['coupon32']!r} vs {coupon_total!r}")
    if "eval-on-ko-date" not in name:
        assert parts[0]["loss"] < 0, "scenario should exercise the loss"


# ---- hand-made paths through _mc_pricing ---------------------------------------------------
# Four trading days; knock-out on columns 1 and 3, knock-in on all four; spot 100 makes the
# levels 1.03 (knock-out), 0.8 (knock-in) and 1.0 (strike).
DISCOUNT = torch.tensor([1.0, 0.9, 0.8, 0.7], dtype=torch.float64)
KO, KI = np.array([1, 3]), np.array([0, 1, 2, 3])
COUPONS = [1.0, 2.0]
HAND_MADE = [
    # id, product, path, knocked_in, expected value
    ("snowball-at-ko-level-no-knock-out", "snowball", [1, 1.03, 1, 1.03], False, 2 * 0.7),
    ("snowball-first-knock-out-only", "snowball", [1, 1.04, 1, 1.05], False, 1 * 0.9),
    ("snowball-ko-on-last-date-paid-once", "snowball", [1, 1, 1, 1.05], False, 2 * 0.7),
    ("snowball-at-ki-level-no-knock-in", "snowball", [1, 1, 0.8, 0.9], False, 2 * 0.7),
    ("snowball-knock-in-loss", "snowball", [1, 1, 0.79, 0.9], False, -0.1 * 0.7 * 100),
    ("snowball-knock-in-above-strike", "snowball", [1, 1, 0.79, 1.01], False, 0.0),
    ("snowball-knocked-in-no-non-touch", "snowball", [1, 1, 1, 0.95], True, -0.05 * 70),
    ("snowball-knocked-in-then-ko", "snowball", [1, 1, 1, 1.1], True, 2 * 0.7),
    ("phoenix-coupons-through-ko-date", "phoenix", [1, 0.9, 1, 1.05], False, 0.9 + 1.4),
    ("phoenix-ko-first-date-stops", "phoenix", [1, 1.05, 1, 1], False, 0.9),
    ("phoenix-below-ki-misses-one", "phoenix", [1, 0.75, 1, 0.85], False, 1.4 - 0.15 * 70),
    ("phoenix-at-ki-level-paid", "phoenix", [1, 0.8, 1, 1], False, 0.9 + 1.4),
    ("phoenix-knocked-in", "phoenix", [1, 0.9, 1, 0.9], True, 0.9 + 1.4 - 0.1 * 70),
]


@pytest.mark.parametrize("name,rule,path,knocked_in,expected", HAND_MADE,
                         ids=[h[0] for h in HAND_MADE])
def test_hand_made_paths(market, name, rule, path, knocked_in, expected):
    product = PRODUCTS[rule](terms())
    paths = torch.tensor([path], dtype=torch.float64)
    coupon = pd.Series(COUPONS, index=pd.to_datetime(["2024-02-02", "2024-03-04"]))
    got = product._mc_pricing(paths, 100.0, KI, KO, DISCOUNT, coupon, knocked_in)
    assert abs(got - expected) <= 1e-12, f"{name}: {path} expected {expected!r} got {got!r}"
    oracle = ref.PARTS[rule](paths, 100.0, KI, KO, DISCOUNT, coupon, knocked_in,
                             product.strike, product.ki_barrier, product.ko_barrier)
    assert abs(oracle["value"] - expected) <= 1e-6, "the oracle disagrees with the hand value"


@pytest.mark.parametrize("rule", PRODUCTS)
@pytest.mark.parametrize("knocked_in", [False, True], ids=["fresh", "knocked-in"])
@pytest.mark.parametrize("dtype", [torch.float64, torch.float32], ids=["f64", "f32"])
def test_mc_pricing_on_random_paths(market, rule, knocked_in, dtype):
    gen = torch.Generator().manual_seed(5)
    steps = torch.randn(3000, 30, generator=gen, dtype=torch.float64) * 0.03
    paths = torch.exp(torch.cumsum(steps, dim=1)).to(dtype)
    discount = torch.exp(-0.03 * torch.arange(1, 31, dtype=torch.float64) / 250)
    ko = np.array([4, 9, 14, 19, 24, 29])
    ki = np.arange(30)
    coupon = pd.Series(np.linspace(0.5, 3.0, 6))
    product = PRODUCTS[rule](terms(ki_barrier=85.0))
    got = product._mc_pricing(paths, 100.0, ki, ko, discount, coupon, knocked_in)
    want = ref.PARTS[rule](paths.double(), 100.0, ki, ko, discount, coupon, knocked_in,
                           product.strike, product.ki_barrier, product.ko_barrier)
    tol = tolerance(want)
    assert abs(got - want["value"]) <= tol, f"expected {want['value']!r} got {got!r} tol {tol}"


# ---- determinism, pool access --------------------------------------------------------------
def _simulate_args(rows=2 * _core.PATH_BLOCK + 321, n=40):
    pool = normdraw.get_normdraws(n)[:rows]
    dtt = np.full(n, 1 / 365)
    return pool, dict(step_years=dtt, ko_columns=np.array([9, 19, 29, 39]),
                      ki_columns=np.arange(n), coupons=np.array([0.5, 1.0, 1.5, 2.0]),
                      spots=np.array([100.0, 100.5, 99.5]), r=0.02, q=0.0, vol=0.35,
                      strike=100.0, ki_barrier=85.0, ko_barrier=101.0, knocked_in=False)


@pytest.mark.parametrize("rule", PRODUCTS)
def test_same_bits_for_any_thread_count(rule):
    pool, kw = _simulate_args()
    results = {t: _core.simulate(pool, rule=rule, threads=t, **kw) for t in (1, 2, 3, 7)}
    for t, res in results.items():
        assert res == results[1], f"{rule}: {t} threads gave {res}, one thread {results[1]}"


def test_npv_same_bits_with_torch_thread_setting(market):
    product = SnowBallOption(terms())
    before = torch.get_num_threads()
    try:
        torch.set_num_threads(1)
        one = product._npv(100.0, R, VOL, Q, "2024-03-15", delta_and_gamma=True)
        torch.set_num_threads(max(2, before))
        many = product._npv(100.0, R, VOL, Q, "2024-03-15", delta_and_gamma=True)
    finally:
        torch.set_num_threads(before)
    assert one == many


@pytest.mark.parametrize("variant", ["float64-numpy", "contiguous-copy", "torch-float64"])
def test_pool_layouts_read_alike(variant):
    pool, kw = _simulate_args()
    other = {"float64-numpy": lambda p: p.double().numpy(),
             "contiguous-copy": lambda p: p.contiguous(),
             "torch-float64": lambda p: p.double()}[variant](pool)
    assert not pool.is_contiguous()  # the leading columns of the pool: a strided view
    assert _core.simulate(other, rule="snowball", threads=2, **kw) == \
        _core.simulate(pool, rule="snowball", threads=2, **kw)


@pytest.mark.parametrize("bad,error", [
    (lambda p: p.half(), TypeError),
    (lambda p: p.int(), TypeError),
    (lambda p: p.numpy()[::-1], ValueError),
    (lambda p: p[:, :-1], ValueError),  # one column short of the grid
], ids=["float16", "int32", "negative-strides", "too-few-columns"])
def test_pool_rejected(bad, error):
    pool, kw = _simulate_args()
    with pytest.raises(error):
        _core.simulate(bad(pool), rule="snowball", threads=1, **kw)


def test_pool_looked_up_at_call_time(market, monkeypatch):
    """Replacing velmora.normdraw.get_normdraws takes effect at the next valuation.

    With a pool of zeros every path is exp((r - q - vol^2/2) t): here it drifts down,
    never reaches either barrier, and earns the last knock-out date's coupon.
    """
    asked = []

    def zeros(steps):
        asked.append(steps)
        return torch.zeros(10, steps)

    monkeypatch.setattr(normdraw, "get_normdraws", zeros)
    product = SnowBallOption(terms())
    r, vol, evaluation = 0.02, 0.3, pd.Timestamp("2024-03-15")
    got = product._npv(100.0, r, vol, 0.0, evaluation)
    last = product.coupon.index[-1]
    want = product.coupon.iloc[-1] * np.exp(-r * (last - evaluation).days / 365)
    assert asked == [len(ref.grid(product, evaluation)[0])]
    assert abs(got - want) <= 1e-12 * want, f"expected {want!r} got {got!r}"
