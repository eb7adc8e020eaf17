"""Snowball and phoenix notes under curves, a vol term structure and a local volatility
surface, on both engines, against the scalars, the closed form of a note observed only at
maturity (static replication under a skew), Monte Carlo within three standard errors of
finite differences, and Dupire without a smile against the forward variance."""

import math

import numpy as np
import pytest
import QuantLib as ql
import torch

from _oracles import close_enough, single_observation_note, smile_single_observation_note
from autocall_cases import BASE_TERMS, flat_closes, terms
from velmora import _core, _local_vol, _market
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption

START = BASE_TERMS["effect_date"]
REF = ql.Date(2, 1, 2024)
DC = ql.Actual365Fixed()
EXPIRIES = [REF + ql.Period(m, ql.Months) for m in (3, 6, 12, 18, 24)]
TERM_VOLS = [0.30, 0.27, 0.23, 0.21, 0.20]  # a declining term structure
STRIKES = [60.0, 70.0, 80.0, 90.0, 100.0, 110.0, 120.0, 130.0, 140.0]
SKEW = -0.15  # vol change per unit of log strike: downside vols higher
PDE_TOL = 0.002  # per 100 of s0: the finite-difference engine's accuracy


def rate_curve():
    return _market.tenor_curve(REF, [("3M", 0.015), ("1Y", 0.025), ("2Y", 0.03)])


def dividend_curve():
    return _market.tenor_curve(REF, [("6M", 0.0), ("2Y", 0.01)])


def term_vol():
    return _market.vol_surface(REF, EXPIRIES, [100.0], [TERM_VOLS])


def skew_surface(skew=SKEW):
    return _market.vol_surface(REF, EXPIRIES, STRIKES,
                               [[v + skew * math.log(k / 100.0) for v in TERM_VOLS]
                                for k in STRIKES])


def note(cls, engine, **overrides):
    return cls(terms(engine=engine, **overrides))


@pytest.fixture
def history(market):
    flat_closes(market, START, START)
    return market


# flat curves and a constant vol equal to the scalars
FLAT = [(0.02, 0.01, 0.25), (0.035, 0.0, 0.18)]


@pytest.mark.parametrize("engine", ["pde", "monte_carlo"])
@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
@pytest.mark.parametrize("r,q,vol", FLAT)
def test_flat_curves_and_constant_vol_equal_the_scalars(history, engine, cls, r, q, vol):
    n = note(cls, engine)
    curves = (ql.FlatForward(REF, r, DC), ql.BlackConstantVol(REF, ql.NullCalendar(), vol, DC),
              ql.FlatForward(REF, q, DC))
    got = n.greeks(100.0, *curves, START)
    np.testing.assert_allclose(got, n.greeks(100.0, r, vol, q, START), rtol=1e-12, atol=1e-12)
    assert n.npv(97.0, *curves, START) == pytest.approx(
        n.npv(97.0, r, vol, q, START), rel=1e-12, abs=1e-12)


MATURITIES = [("2024-07-02", "semi-annual"), ("2025-01-02", "annual")]


def observed_at_maturity(cls, maturity, freq, **overrides):
    """The note observed only at maturity; its end date, time, flat rate and dividend."""
    n = note(cls, "pde", maturity_date=maturity, obs_end_date=maturity, ki_obs_freq=freq,
             ko_obs_freq=freq, **overrides)
    end = ql.Date(int(maturity[8:]), int(maturity[5:7]), int(maturity[:4]))
    t = (end - REF) / 365.0
    return (n, end, t, -math.log(rate_curve().discount(end)) / t,
            -math.log(dividend_curve().discount(end)) / t)


@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
@pytest.mark.parametrize("maturity,freq", MATURITIES)
@pytest.mark.parametrize("spot", [100.0, 85.0])
def test_note_observed_at_maturity_under_curves_matches_the_closed_form(
        history, cls, maturity, freq, spot):
    n, end, t, flat_r, flat_q = observed_at_maturity(cls, maturity, freq)
    vol = term_vol()
    want = single_observation_note(spot, n.strike, n.ki_barrier, n.coupon.iloc[0], flat_r,
                                   flat_q, math.sqrt(vol.blackVariance(end, 100.0) / t), t)
    got = n.npv(spot, rate_curve(), vol, dividend_curve(), START)
    assert abs(got - want) <= PDE_TOL, close_enough(got, want, PDE_TOL, spot=spot)


# Dupire's table reprices the surface's own Europeans: a note observed only at maturity is
# a static combination of puts.  Read the table's error (coarse rows and nodes) with a
# knock-in inside the surface's strikes: within 0.01 of the smile's value here, up to 0.06
# next to the strikes' edge at 60, where the flat extrapolation bends the smile.
SKEW_TOL = 0.02


@pytest.mark.parametrize("maturity,freq", MATURITIES)
@pytest.mark.parametrize("ki", [75.0, 85.0])
@pytest.mark.parametrize("spot", [100.0, 90.0])
def test_note_observed_at_maturity_under_a_skew_matches_static_replication(
        history, maturity, freq, ki, spot):
    n, end, t, flat_r, flat_q = observed_at_maturity(SnowBallOption, maturity, freq,
                                                     ki_barrier=ki)
    vol = skew_surface()
    want = smile_single_observation_note(spot, n.strike, ki, n.coupon.iloc[0], flat_r, flat_q,
                                         lambda k: vol.blackVol(end, k, True), t)
    got = n.npv(spot, rate_curve(), vol, dividend_curve(), START)
    assert abs(got - want) <= SKEW_TOL, close_enough(got, want, SKEW_TOL, spot=spot, ki=ki)


def test_scenarios_sampled_together_equal_each_sampled_alone(history):
    """The moves of one valuation share the reads of what they have in common; the base and
    the rate moves (the same surface, so the same nodes) equal their own samplings."""
    r, q, vol = rate_curve(), dividend_curve(), skew_surface()
    scenarios = [(r, q, vol), (r, q, _market.shift_vol(vol, 0.01)),
                 (_market.spread_rate(r, 0.005), q, vol), (r, 0.01, vol)]
    together = _local_vol.sample_scenarios(scenarios, 100.0, START, 366)
    for i in (0, 2, 3):
        assert together[i] == _local_vol.sample(*scenarios[i], 100.0, START, 366)
    assert together[1][0][3:6] == together[0][0][3:6]  # the vol move on the same nodes


@pytest.mark.parametrize("rule", ["snowball", "phoenix"])
@pytest.mark.parametrize("rows,x0,dx,nodes", [([0], 0.0, 1.0, 1), ([0, 10, 30], 4.0, 0.5, 3)])
def test_a_flat_local_market_solves_as_the_scalars(rule, rows, x0, dx, nodes):
    """The row-by-row systems with constant coefficients are the constant ones: every
    interval length, the rough steps after each observation and both layers."""
    days = [d for d in range(1, 60) if d % 7 not in (5, 6)]
    scenarios = [(0.02, 0.01, 0.25), (0.02, 0.01, 0.26), (0.025, 0.0, 0.24)]
    markets = [([r] * days[-1], [q] * days[-1], rows, x0, dx, nodes, [v] * len(rows) * nodes)
               for r, q, v in scenarios]
    args = (days, [20, 30, len(days) - 1], list(range(len(days))), [0.02, 0.04, 0.06],
            [100.0, 99.5, 85.0], scenarios, [(0, False), (1, False), (3, True)])
    kw = dict(strike=100.0, ki_barrier=80.0, ko_barrier=103.0, rule=rule)
    want = _core.autocall_pde(*args, **kw)
    got = _core.autocall_pde(*args, markets=markets, **kw)
    np.testing.assert_allclose(got[0], want[0], rtol=0, atol=1e-13)
    assert got[1:] == want[1:]  # the same grid


# (id, class, terms): the notes of the comparison tables
NOTES = [
    ("sb-1y", SnowBallOption, {}),
    ("ph-1y", PhoenixOption, {}),
    ("sb-6m-ki65-ko100-c25", SnowBallOption,
     dict(maturity_date="2024-07-02", obs_end_date="2024-07-02", ki_barrier=65.0,
          ko_barrier=100.0, coupon_rate=0.25)),
]


@pytest.mark.parametrize("surface", ["term structure", "skew"])
@pytest.mark.parametrize("name,cls,overrides", NOTES, ids=[c[0] for c in NOTES])
def test_finite_differences_within_three_standard_errors_of_monte_carlo(
        history, surface, name, cls, overrides):
    vol = term_vol() if surface == "term structure" else skew_surface()
    inputs = (100.0, rate_curve(), vol, dividend_curve(), START)
    mc, se = note(cls, "monte_carlo", **overrides).npv_and_se(*inputs)
    pde = note(cls, "pde", **overrides).npv(*inputs)
    assert 0 < se < 0.05
    assert abs(pde - mc) <= 3 * se, close_enough(pde, mc, 3 * se, case=name, surface=surface)


def test_dupire_without_a_smile_is_the_forward_variance(history):
    """A surface whose vols do not depend on the strike goes through Dupire's formula; the
    term structure of the same vols through its forward variance."""
    n = note(SnowBallOption, "pde")
    r, q = rate_curve(), dividend_curve()
    want = n.npv(100.0, r, term_vol(), q, START)
    got = n.npv(100.0, r, skew_surface(0.0), q, START)
    assert abs(got - want) <= PDE_TOL, close_enough(got, want, PDE_TOL)


def test_plain_simulation_path_agrees_with_the_vectorised_one(history):
    n = note(PhoenixOption, "monte_carlo")
    req = n._request([100.0, 90.0], 0.02, 0.25, 0.01, START, False)
    kernel = n._run([req])[0][0]
    plain, _ = n._run_local(req.as_local())
    np.testing.assert_allclose(plain, kernel, rtol=1e-9)


def test_local_simulation_is_the_same_at_any_thread_count(history):
    n = note(SnowBallOption, "monte_carlo", maturity_date="2024-07-02",
             obs_end_date="2024-07-02")
    inputs = (100.0, rate_curve(), skew_surface(), dividend_curve(), START)
    before = torch.get_num_threads()
    try:
        runs = [torch.set_num_threads(k) or n.npv_and_se(*inputs) for k in (1, 2)]
    finally:
        torch.set_num_threads(before)
    assert runs[0] == runs[1]


GOOD = ([0.02] * 10, [0.0] * 10, [0], 0.0, 1.0, 1, [0.2])


@pytest.mark.parametrize("bad,match", [
    ((GOOD[0][:3],) + GOOD[1:], "cover every day"),
    (GOOD[:6] + ([-0.2],), "finite and positive"),
    (GOOD[:2] + ([1],) + GOOD[3:], "start on day 0"),
    (GOOD[:5] + (2,) + GOOD[6:], "one value per row and node"),
])
def test_bad_local_markets_are_refused(bad, match):
    with pytest.raises(ValueError, match=match):
        _core.simulate_local(np.zeros((4, 5), dtype=np.float32), np.full(5, 1 / 365),
                             [1, 2, 3, 4, 5], np.array([4]), np.array([], dtype=np.int64),
                             np.array([1.0]), np.array([100.0]), bad, strike=100.0,
                             ki_barrier=80.0, ko_barrier=103.0, rule="snowball",
                             knocked_in=False, threads=1)
    with pytest.raises(ValueError, match=match):
        _core.autocall_pde([1, 2, 3, 4, 5], [4], [], [1.0], [100.0], [(0.02, 0.0, 0.2)],
                           [(0, False)], strike=100.0, ki_barrier=80.0, ko_barrier=103.0,
                           rule="snowball", markets=[bad])
