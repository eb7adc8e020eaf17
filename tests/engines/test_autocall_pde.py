"""Snowball and phoenix notes on the finite-difference engine ("engine": "pde").

References: the solver itself converged (fine space grids, Richardson in the time step),
checked against the Monte Carlo engine with its standard error from batches of the pool's
antithetic pairs; closed forms for notes observed only at maturity; exact payoffs when
the valuation date observes everything.
"""

import math
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
import torch

from _oracles import close_enough, single_observation_note
from autocall_cases import BASE_TERMS, flat_closes, terms
from velmora import _autocall, _autocall_pde, _core
from velmora.groundwork import OptionGreeks
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption

R, Q = 0.02, 0.0
START = BASE_TERMS["effect_date"]
THREE_YEARS = dict(maturity_date="2027-01-04", obs_end_date="2027-01-04")
KNOCKED_IN = {"2024-02-20": 79.0}  # a close below the knock-in barrier of 80
# accuracy wanted of the default grid: (value per 100 of s0, delta, gamma absolute floor,
# gamma relative, vega, theta, rho)
TOL = dict(npv=0.002, delta=0.001, gamma=0.0005, gamma_rel=0.01, vega=0.002, theta=0.002,
           rho=0.002)

# (id, class, terms, vol, spot, evaluation date, close overrides)
CASES = [
    ("sb-1y-start", SnowBallOption, {}, 0.25, 100.0, START, {}),
    ("ph-1y-start", PhoenixOption, {}, 0.25, 100.0, START, {}),
    ("sb-6m-v40-ki65-ko100-c25", SnowBallOption,
     dict(maturity_date="2024-07-02", obs_end_date="2024-07-02", ki_barrier=65.0,
          ko_barrier=100.0, coupon_rate=0.25), 0.40, 100.0, START, {}),
    ("ph-3y-v15-ki85-ko105-c08", PhoenixOption,
     dict(THREE_YEARS, ki_barrier=85.0, ko_barrier=105.0, coupon_rate=0.08), 0.15, 100.0,
     START, {}),
    ("sb-3y-v30-ki70-ko100-c15", SnowBallOption,
     dict(THREE_YEARS, ki_barrier=70.0, ko_barrier=100.0, coupon_rate=0.15), 0.30, 100.0,
     START, {}),
    ("sb-mid-life-v20-ki75-c12", SnowBallOption, dict(ki_barrier=75.0, coupon_rate=0.12),
     0.20, 97.0, "2024-07-15", {}),
    ("ph-saturday-v35-ko102-c18", PhoenixOption, dict(ko_barrier=102.0, coupon_rate=0.18),
     0.35, 95.0, "2024-05-11", {}),
    ("sb-ko-date-today", SnowBallOption, {}, 0.25, 101.0, "2024-03-04", {}),
    ("sb-knocked-in", SnowBallOption, {}, 0.25, 90.0, "2024-04-15", KNOCKED_IN),
    ("ph-knocked-in-v30", PhoenixOption, {}, 0.30, 85.0, "2024-04-15", KNOCKED_IN),
]
MC_CASES = [c for c in CASES if "3y" not in c[0]]  # the pool covers 500 trading days


def build(cls, overrides, engine="pde", pde_grid=None):
    extra = {} if pde_grid is None else {"pde_grid": pde_grid}
    return cls(terms(**overrides, engine=engine, **extra))


def script_history(market, date, overrides):
    """Closes of 100 from the effect date to the valuation date (after the close)."""
    flat_closes(market, START, date, overrides=overrides)


def converged(cls, overrides, inputs):
    """Greeks of the solver at fine space grids, extrapolated in the time step (second
    order: Richardson), and the size of that last correction."""
    coarse, fine = (np.array(build(cls, overrides, pde_grid=(4, n)).greeks(*inputs))
                    for n in (4, 8))
    return fine + (fine - coarse) / 3, np.abs(fine - coarse) / 3


@pytest.mark.parametrize("name,cls,overrides,vol,spot,date,closes", CASES,
                         ids=[c[0] for c in CASES])
def test_default_grid_meets_the_accuracy_of_converged_references(
        market, name, cls, overrides, vol, spot, date, closes):
    script_history(market, date, closes)
    inputs = (spot, R, vol, Q, date)
    got = build(cls, overrides).greeks(*inputs)
    ref, correction = converged(cls, overrides, inputs)
    for field, want, have, last in zip(OptionGreeks._fields, ref, got, correction):
        tol = (max(TOL["gamma"], TOL["gamma_rel"] * abs(want)) if field == "gamma"
               else TOL[field])
        assert last <= tol / 4, f"{name} {field}: reference not converged ({last:.2e})"
        assert abs(have - want) <= tol, close_enough(have, want, tol, case=name, field=field)


@pytest.fixture(scope="module")
def pool():
    from velmora import normdraw

    return normdraw


def mc_value_and_error(monkeypatch, normdraw, note, inputs, batches=20):
    """The Monte Carlo value on the whole pool, and its standard error from ``batches``
    batches of antithetic pairs (rows i and half + i stay together)."""
    draws = normdraw.get_normdraws(normdraw._normdraws.shape[1])
    half = draws.shape[0] // 2
    size = half // batches
    values = []
    for b in range(batches):
        rows = torch.cat([draws[b * size:(b + 1) * size],
                          draws[half + b * size:half + (b + 1) * size]])
        with monkeypatch.context() as m:
            m.setattr(normdraw, "get_normdraws", lambda steps, rows=rows: rows[:, :steps])
            values.append(note.npv(*inputs))
    whole = note.npv(*inputs)
    assert abs(whole - np.mean(values)) <= 1e-9 * max(1.0, abs(whole)), "batches miss rows"
    return whole, np.std(values, ddof=1) / math.sqrt(batches)


@pytest.mark.parametrize("name,cls,overrides,vol,spot,date,closes", MC_CASES,
                         ids=[c[0] for c in MC_CASES])
def test_value_within_three_standard_errors_of_the_monte_carlo_engine(
        market, monkeypatch, pool, name, cls, overrides, vol, spot, date, closes):
    script_history(market, date, closes)
    inputs = (spot, R, vol, Q, date)
    mc, error = mc_value_and_error(monkeypatch, pool, build(cls, overrides, "monte_carlo"),
                                   inputs)
    pde = build(cls, overrides).npv(*inputs)
    assert 0 < error < 0.05
    assert abs(pde - mc) <= 3 * error, close_enough(pde, mc, 3 * error, case=name)


def bumped(f, spot, r, vol, t, theta_days):
    """The greeks of a valuation ``f(spot, r, vol, t)`` by the bumps of the notes."""
    ds = spot * 0.005
    p0, up, down = f(spot, r, vol, t), f(spot + ds, r, vol, t), f(spot - ds, r, vol, t)
    theta = f(spot, r, vol, t - 1 / 365) - p0 if theta_days > 1 else 0.0
    return OptionGreeks(p0, (up - down) / (2 * ds), (up + down - 2 * p0) / ds**2,
                        (f(spot, r, vol + 0.01, t) - f(spot, r, vol - 0.01, t)) / 2, theta,
                        f(spot, r - 0.005, vol, t) - f(spot, r + 0.005, vol, t))


# (id, maturity, observation frequency): the only observation date is maturity
SINGLE = [("one-day", "2024-01-03", "daily"), ("6m", "2024-07-02", "semi-annual"),
          ("1y", "2025-01-02", "annual")]


@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
@pytest.mark.parametrize("name,maturity,freq", SINGLE, ids=[s[0] for s in SINGLE])
def test_note_observed_only_at_maturity_matches_its_closed_form(market, cls, name, maturity,
                                                                freq):
    flat_closes(market, START, START)
    overrides = dict(maturity_date=maturity, obs_end_date=maturity, ki_obs_freq=freq,
                     ko_obs_freq=freq)
    note = build(cls, overrides)
    assert len(note.ko_obs_dates) == 1 and note.ko_obs_dates[0] == pd.Timestamp(maturity)
    days = (pd.Timestamp(maturity) - pd.Timestamp(START)).days
    coupon = note.coupon.iloc[0]

    def exact(spot, r, vol, t):
        return single_observation_note(spot, note.strike, note.ki_barrier, coupon, r, Q, vol, t)

    for spot, vol in ((100.0, 0.25), (83.0, 0.4), (110.0, 0.15)):
        got = note.greeks(spot, R, vol, Q, START)
        want = bumped(exact, spot, R, vol, days / 365, days)
        for field, w, g in zip(OptionGreeks._fields, want, got):
            tol = max(TOL["gamma"], TOL["gamma_rel"] * abs(w)) if field == "gamma" else TOL[field]
            assert abs(g - w) <= tol, close_enough(g, w, tol, case=name, spot=spot, vol=vol,
                                                   field=field)
    ladder = np.linspace(70.0, 130.0, 13)
    want = [exact(s, R, 0.25, days / 365) for s in ladder]
    np.testing.assert_allclose(note.spot_ladder(ladder, R, 0.25, Q, START), want, rtol=0,
                               atol=TOL["npv"])


@pytest.mark.parametrize("engine", ["pde", "monte_carlo"])
@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
def test_observations_of_the_valuation_date_are_exact(market, engine, cls):
    """On a knock-out date, above the level, the note pays that date's coupon at once; on
    the maturity date the value is the payoff at the spot."""
    flat_closes(market, START, "2024-03-01")
    note = build(cls, {}, engine)
    coupon = note.coupon[pd.Timestamp("2024-03-04")]
    assert note.npv(103.5, R, 0.25, Q, "2024-03-04") == pytest.approx(coupon, abs=1e-12)
    flat_closes(market, START, "2025-01-01")
    last = note.coupon.iloc[-1]
    for spot, want in ((104.0, last), (90.0, last), (80.0, last), (79.0, 79.0 - 100.0)):
        got = note.npv(spot, R, 0.25, Q, "2025-01-02")
        assert got == pytest.approx(want, abs=1e-9), close_enough(got, want, 1e-9, spot=spot)


@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
def test_spot_at_and_through_the_knock_in_barrier_on_a_knock_in_date(market, cls):
    flat_closes(market, START, "2024-03-04")
    date = "2024-03-05"  # a knock-in date (daily)
    note = build(cls, {})
    at, above, below = (note.npv(s, R, 0.25, Q, date) for s in (80.0, 80.0 + 1e-9, 80.0 - 1e-9))
    assert at == pytest.approx(above, abs=1e-6), "a spot at the barrier does not knock in"
    flat_closes(market, START, "2024-03-04", overrides=KNOCKED_IN)
    knocked_in = note.npv(80.0 - 1e-9, R, 0.25, Q, date)
    assert below == pytest.approx(knocked_in, abs=TOL["npv"])
    assert above - below > 0.01  # knocking in today forfeits the chance of escaping it


@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
def test_knocked_out_or_expired_values_nothing(market, cls):
    flat_closes(market, START, "2024-03-15", overrides={"2024-03-04": 103.5})
    note = build(cls, {})
    assert note.npv(100.0, R, 0.25, Q, "2024-03-15") == 0.0
    assert note.greeks(100.0, R, 0.25, Q, "2024-03-15") == OptionGreeks(0.0, 0, 0, 0, 0, 0)
    assert not note.spot_ladder([90.0, 100.0], R, 0.25, Q, "2024-03-15").any()
    flat_closes(market, START, "2025-01-03")  # after maturity the note has expired
    assert note.greeks(100.0, R, 0.25, Q, "2025-01-03") == OptionGreeks(0.0, 0, 0, 0, 0, 0)


# (id, terms, evaluation date): theta read off the one solve, or from a solve of its own
# when tomorrow a snowball's last knock-out date has passed
THETA = [("mid-life", {}, "2024-07-15"), ("friday", {}, "2024-07-12"),
         ("last-ko-date-today", dict(obs_end_date="2024-12-02"), "2024-12-02")]


@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
@pytest.mark.parametrize("name,overrides,date", THETA, ids=[t[0] for t in THETA])
def test_theta_is_the_value_tomorrow_less_the_value_today(market, cls, name, overrides, date):
    flat_closes(market, START, date)
    note = build(cls, overrides)
    tomorrow = pd.Timestamp(date) + pd.Timedelta(days=1)
    want = note.npv(99.0, R, 0.25, Q, tomorrow) - note.npv(99.0, R, 0.25, Q, date)
    got = note.greeks(99.0, R, 0.25, Q, date).theta
    assert got == pytest.approx(want, abs=TOL["theta"]), close_enough(got, want, TOL["theta"])


def test_default_engine_unchanged(market, monkeypatch):
    from velmora import normdraw

    real = normdraw.get_normdraws
    monkeypatch.setattr(normdraw, "get_normdraws", lambda steps: real(steps)[:4096])
    flat_closes(market, START, "2024-03-15")
    inputs = (99.0, R, 0.25, Q, "2024-03-15")
    default, explicit = SnowBallOption(terms()), SnowBallOption(terms(engine="monte_carlo"))
    assert default.engine == explicit.engine == "monte_carlo"
    assert default.greeks(*inputs) == explicit.greeks(*inputs)
    assert default.vega(*inputs) == explicit.vega(*inputs)


@pytest.mark.parametrize("key,value,match", [
    ("engine", "qmc", '"monte_carlo", "pde"'), ("engine", None, '"monte_carlo", "pde"'),
    ("pde_grid", (0, 2), "space steps"), ("pde_grid", (2, 1.5), "time steps"),
    ("pde_grid", 3, "pair")])
def test_bad_engine_terms_are_refused(market, key, value, match):
    with pytest.raises(ValueError, match=match):
        SnowBallOption(terms(**{key: value}))


def test_valuing_only_with_the_pde_engine_never_draws_the_pool(tmp_path):
    tests = pathlib.Path(__file__).resolve().parents[1]
    script = textwrap.dedent("""
        import sys
        sys.path[:0] = HELPERS
        from scripted_market import ScriptedMarket
        from autocall_cases import terms, flat_closes
        market = ScriptedMarket().install()
        flat_closes(market, "2024-01-02", "2024-03-15")
        from velmora.snowball import SnowBallOption
        note = SnowBallOption(terms(engine="pde", maturity_date="2027-01-04",
                                    obs_end_date="2027-01-04"))
        note.greeks(100.0, 0.02, 0.25, 0.0, "2024-03-15")
        note.spot_ladder([90.0, 100.0], 0.02, 0.25, 0.0, "2024-03-15")
        assert "velmora.normdraw" not in sys.modules
    """).replace("HELPERS", repr([str(tests / "marketdata"), str(tests / "reference")]))
    subprocess.run([sys.executable, "-c", script], check=True)


# (ki, ko, vol): both barriers of the default grid sit half-way between two nodes
ALIGNMENT = [(80.0, 103.0, 0.25), (65.0, 100.0, 0.4), (85.0, 105.0, 0.15)]


@pytest.mark.parametrize("ki,ko,vol", ALIGNMENT)
def test_default_grid_aligns_both_barriers_and_converges_smoothly(market, ki, ko, vol):
    """A grid aligning one barrier only swings by tens of percent of its error from one grid
    to the next; with both half-way between nodes every nearby grid agrees."""
    flat_closes(market, START, START)
    overrides = dict(ki_barrier=ki, ko_barrier=ko)
    note = build(SnowBallOption, overrides)
    grid = _autocall.Grid(note, pd.Timestamp(START))
    days = (grid.trading_dates - pd.Timestamp(START)).days.tolist()
    _, step, lower, _, used = _core.autocall_pde(
        days, grid.ko_columns.tolist(), grid.ki_columns.tolist(), grid.coupons.tolist(),
        [100.0], [(R, Q, vol)], [(0, False)], strike=100.0, ki_barrier=ki, ko_barrier=ko,
        rule="snowball")
    assert used == (1.25, 2) and _autocall_pde.grid_key(None) == (0, 0)
    for level in (ki, ko):
        assert (math.log(level) - lower) / step % 1 == pytest.approx(0.5, abs=1e-6)
    values = [build(SnowBallOption, overrides, pde_grid=(p, 2)).npv(100.0, R, vol, Q, START)
              for p in (1.2, 1.3, 1.5, 1.7, 1.9)]
    assert max(values) - min(values) <= TOL["npv"], values



def reference_grid(note, day):
    """The grid of a valuation from ``day`` built plainly on pandas dates: (days from ``day``,
    step years, knock-out columns, knock-in columns, coupons, knock-out level)."""
    import lumadex

    dates = pd.to_datetime(lumadex.get_trading_dates(day, note.maturity_date))
    coupon = note.coupon[day:]
    ki = (coupon.index if note.ki_obs_freq == note.ko_obs_freq
          else note.ki_obs_dates[note.ki_obs_dates >= day])
    days = np.asarray((dates - day).days)
    ko, coupons, level = dates.searchsorted(coupon.index), coupon.to_numpy(), note.ko_barrier
    if note.rule == "snowball" and len(dates) and not len(coupon):  # paid at maturity
        ko, coupons, level = [len(dates) - 1], note.coupon.to_numpy()[-1:], _autocall.UNREACHABLE
    return days, np.diff(days, prepend=0) / 365, ko, dates.searchsorted(ki), coupons, level


# (terms, valuation dates): the start, a Saturday, a knock-out date, after the last one,
# the maturity date and after it, on a calendar with holidays
GRIDS = [({}, ["2024-01-02", "2024-05-11", "2024-03-04", "2025-01-02", "2025-01-03"]),
         (dict(obs_end_date="2024-12-02", ki_obs_freq="weekly"), ["2024-12-02", "2024-12-03"]),
         (dict(ki_obs_freq="monthly"), ["2024-02-08", "2024-10-07"])]


@pytest.mark.parametrize("client_days", ["dates", "timestamps"])
@pytest.mark.parametrize("cls", [SnowBallOption, PhoenixOption], ids=["snowball", "phoenix"])
@pytest.mark.parametrize("overrides,dates", GRIDS, ids=["base", "early-end-weekly", "monthly"])
def test_grid_matches_a_plain_pandas_construction(market, monkeypatch, client_days, cls,
                                                   overrides, dates):
    market.set_calendar(holidays=["2024-02-09", "2024-02-12", "2024-10-01", "2024-10-04"])
    if client_days == "timestamps":  # days as any client may list them
        monkeypatch.setattr(_autocall, "trading_dates", lambda start, end: list(
            pd.to_datetime(market.get_trading_dates(start, end))))
    note = build(cls, overrides)
    for day in map(pd.Timestamp, dates):
        grid = _autocall.Grid(note, day)
        got = (grid.days, grid.step_years, grid.ko_columns, grid.ki_columns, grid.coupons,
               grid.ko_barrier)
        for name, have, want in zip(("days", "steps", "ko", "ki", "coupons", "level"), got,
                                    reference_grid(note, day)):
            np.testing.assert_array_equal(have, want, err_msg=f"{name} from {day.date()}")


# (evaluation date, terms, solves): theta is read off the one solve, unless tomorrow a
# snowball's last knock-out date has passed (tomorrow is then a valuation of its own)
SOLVES = [("2024-07-15", {}, 1), ("2024-12-02", dict(obs_end_date="2024-12-02"), 2)]


@pytest.mark.parametrize("date,overrides,solves", SOLVES, ids=["mid-life", "last-ko-date"])
def test_greeks_and_ladder_solve_once_per_valuation_date(market, monkeypatch, date, overrides,
                                                         solves):
    flat_closes(market, START, date)
    note, calls, real = build(SnowBallOption, overrides), [], _core.autocall_pde
    monkeypatch.setattr(_core, "autocall_pde", lambda *a, **k: calls.append(a) or real(*a, **k))
    greeks = note.greeks(99.0, R, 0.25, Q, date)
    assert len(calls) == solves and len(calls[0][5]) == 5  # every scenario in one solve
    # the base solve of greeks (the moved vol widens its tails: equal to rounding only)
    assert note.npv(99.0, R, 0.25, Q, date) == pytest.approx(greeks.npv, abs=1e-10)
    del calls[:]
    note.spot_ladder(np.linspace(80.0, 120.0, 21), R, 0.25, Q, date)
    assert len(calls) == 1


if __name__ == "__main__":  # the accuracy table:
    # PYTHONPATH=tests/marketdata:tests/reference python tests/engines/test_autocall_pde.py
    from scripted_market import ScriptedMarket

    from velmora import normdraw

    market = ScriptedMarket().install()
    print(f"{'case':28s} " + " ".join(f"{f:>9s}" for f in OptionGreeks._fields)
          + "   (default grid minus converged reference; pde - monte_carlo in its SEs)")
    for name, cls, overrides, vol, spot, date, closes in CASES:
        script_history(market, date, closes)
        inputs = (spot, R, vol, Q, date)
        ref, _ = converged(cls, overrides, inputs)
        got = np.array(build(cls, overrides).greeks(*inputs))
        mc = ""
        if (name, cls) in [(c[0], c[1]) for c in MC_CASES]:
            value, error = mc_value_and_error(pytest.MonkeyPatch(), normdraw,
                                              build(cls, overrides, "monte_carlo"), inputs)
            mc = f"  mc {value:.4f} se {error:.4f}: {(got[0] - value) / error:+.2f} se"
        print(f"{name:28s} " + " ".join(f"{x:+9.1e}" for x in got - ref)
              + f"   gamma {abs(got[2] / ref[2] - 1):.1e} rel" + mc)
