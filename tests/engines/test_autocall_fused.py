"""Greeks and spot ladders of the autocallable notes from one pass over the pool.

Both must give, to the bit, what the separate valuations give one by one (``_npv`` with
delta and gamma, then ``vega``, ``theta`` and ``rho``; ``npv`` per spot), on every
instruction-set level of the engine.  The separate valuations run on the portable level.
"""

import numpy as np
import pytest

from autocall_cases import flat_closes, separate_greeks, terms
from velmora import _core, normdraw
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption

PRODUCTS = [SnowBallOption, PhoenixOption]
ids = ["snowball", "phoenix"]
R, VOL, Q = 0.02, 0.3, 0.01
M = 3 * _core.PATH_BLOCK + 7  # leaves a remainder of blocks and of vector lanes


@pytest.fixture
def pool(monkeypatch):
    real = normdraw.get_normdraws
    monkeypatch.setattr(normdraw, "get_normdraws", lambda steps: real(steps)[:M])


@pytest.fixture(params=_core.simd_levels())
def level(request):
    before = _core.simd_level()
    yield request.param
    _core.set_simd_level(before)


def bits(values):
    return [float(v).hex() for v in values]


# (id, option overrides, evaluation date, closes scripted until, close overrides, spot)
CASES = [
    ("off-observation-date", {}, "2024-03-15", "2024-03-15", {}, 100.0),
    ("weekend", {}, "2024-03-16", "2024-03-16", {}, 101.0),
    ("knocked-in-on-ko-date", {}, "2024-04-02", "2024-04-02", {"2024-02-20": 70.0}, 96.0),
    ("next-day-knocks-in", {}, "2024-03-14", "2024-03-15", {"2024-03-15": 70.0}, 100.0),
    ("next-day-knocks-out", {}, "2024-04-01", "2024-04-02", {"2024-04-02": 110.0}, 100.0),
    ("end-of-life", {"maturity_date": "2024-06-03", "obs_end_date": "2024-06-03"},
     "2024-05-29", "2024-05-29", {}, 99.0),
    ("last-day", {"maturity_date": "2024-06-03", "obs_end_date": "2024-06-03"},
     "2024-06-02", "2024-06-02", {"2024-02-20": 70.0}, 99.0),
]


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("name,overrides,evaluation,until,closes,spot", CASES,
                         ids=[c[0] for c in CASES])
def test_greeks_same_bits_as_separate_valuations(market, pool, level, cls, name, overrides,
                                                 evaluation, until, closes, spot):
    product = cls(terms(**overrides))
    flat_closes(market, "2024-01-02", until, overrides=closes)
    _core.set_simd_level("portable")
    separate = separate_greeks(product, spot, R, VOL, Q, evaluation)
    _core.set_simd_level(level)
    fused = product.greeks(spot, R, VOL, Q, evaluation)
    assert bits(fused) == bits(separate)
    assert type(fused) is type(separate)
    if name == "next-day-knocks-out":  # the next day is worth nothing: theta = -value
        assert fused.theta == -fused.npv != 0.0


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
@pytest.mark.parametrize("evaluation,closes", [
    ("2024-03-15", {}), ("2024-04-02", {"2024-02-20": 70.0}), ("2024-06-03", {}),
], ids=["fresh", "knocked-in", "ko-date"])
def test_spot_ladder_same_bits_as_npv_per_spot(market, pool, level, cls, evaluation, closes):
    product = cls(terms())
    flat_closes(market, "2024-01-02", evaluation, overrides=closes)
    # spots putting the knock-out, knock-in and strike levels right on the spot, and beyond
    spots = [80.0, 84.5, 95.0, 100.0, 103.0, 103.0 * (1 + 1e-12), 111.0, np.float32(97.5)]
    _core.set_simd_level("portable")
    want = [product.npv(s, R, VOL, Q, evaluation) for s in spots]
    _core.set_simd_level(level)
    got = product.spot_ladder(spots, R, VOL, Q, evaluation)
    assert isinstance(got, np.ndarray) and got.shape == (len(spots),)
    assert bits(got) == bits(want)


@pytest.mark.parametrize("cls", PRODUCTS, ids=ids)
def test_spot_ladder_after_knock_out_or_expiry_is_zero(market, cls):
    product = cls(terms(maturity_date="2024-06-03", obs_end_date="2024-06-03"))
    flat_closes(market, "2024-01-02", "2024-06-10", overrides={"2024-03-04": 120.0})
    assert product.spot_ladder([90.0, 100.0], R, VOL, Q, "2024-04-01").tolist() == [0.0, 0.0]
    product = cls(terms(maturity_date="2024-06-03", obs_end_date="2024-06-03"))
    flat_closes(market, "2024-01-02", "2024-06-10")
    assert product.spot_ladder([90.0, 100.0], R, VOL, Q, "2024-06-10").tolist() == [0.0, 0.0]
    assert product.spot_ladder([], R, VOL, Q, "2024-06-10").shape == (0,)
    with pytest.raises(ValueError, match="one-dimensional"):
        product.spot_ladder([[90.0, 100.0]], R, VOL, Q, "2024-06-10")


def test_unknown_or_unavailable_level_rejected():
    with pytest.raises(ValueError, match="accepted values: portable, avx2, avx512"):
        _core.set_simd_level("sse9")


@pytest.mark.parametrize("forced,outcome", [("portable", "portable"),
                                            ("avx9", "unknown instruction set 'avx9'")])
def test_level_forced_by_environment(forced, outcome):
    import os
    import subprocess
    import sys

    code = ("import velmora._core as c\nprint(c.simd_level())")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "VELMORA_SIMD": forced})
    assert outcome in (run.stdout if run.returncode == 0 else run.stderr)
