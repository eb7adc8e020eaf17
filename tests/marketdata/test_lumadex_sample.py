"""The synthetic sample store, and velmora's products running on the real client."""

import datetime
import importlib.util
import os
import pathlib
import sqlite3
import subprocess
import sys

import pandas as pd
import pytest
import QuantLib as ql

from _oracles import bs_vanilla
import lumadex
from lumadex import _sample, _store

# Where this process imports the packages from (the source tree or an installed copy)
# and the repository that holds the examples.
SRC = pathlib.Path(lumadex.__file__).resolve().parent.parent
ROOT = pathlib.Path(__file__).resolve().parents[2]
IDS = ("SYN001.XSHG", "SYN002.XSHG", "SYN003.XSHG")
DEMO_START, LAST = datetime.date(2025, 1, 2), datetime.date(2025, 12, 31)


@pytest.fixture(autouse=True)
def sample_cache(tmp_path_factory, monkeypatch):
    """Build the sample store in a temporary cache, never in the user's."""
    cache = tmp_path_factory.getbasetemp() / "lumadex-cache"
    monkeypatch.setenv("LUMADEX_CACHE_DIR", str(cache))
    lumadex.init(None)
    yield cache


def rows(path):
    conn = sqlite3.connect(path)
    try:
        return [conn.execute(f"SELECT * FROM {t} ORDER BY 1, 2").fetchall()
                for t in ("bars", "adjustment_factors", "store_info")]
    finally:
        conn.close()


def cli(*args):
    env = {**os.environ, "PYTHONPATH": str(SRC)}
    r = subprocess.run([sys.executable, "-m", "lumadex", *args], capture_output=True, text=True,
                       env=env, timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout


def demo_year(u, field="close"):
    return lumadex.get_price(u, DEMO_START, LAST, fields=field)[field].droplevel(0)


# -- the data set -------------------------------------------------------------------------

def test_generation_is_reproducible_across_processes(tmp_path):
    cli("sample", "--store", str(tmp_path / "one.sqlite"))
    cli("sample", "--store", str(tmp_path / "two.sqlite"))
    assert rows(tmp_path / "one.sqlite") == rows(tmp_path / "two.sqlite")
    assert rows(tmp_path / "one.sqlite") == rows(lumadex.store_path())


def test_sample_is_labelled_synthetic_in_the_data():
    notes = _store.info(lumadex.store_path())
    assert notes["synthetic"] == "yes"
    assert "SYNTHETIC" in notes["description"]
    assert all("synthetic" in notes[u] for u in IDS)
    assert "SYNTHETIC" in cli("info")


def test_default_store_is_the_sample_opened_read_only():
    path = lumadex.store_path()
    assert path.parent == pathlib.Path(os.environ["LUMADEX_CACHE_DIR"])
    with pytest.raises(sqlite3.OperationalError, match="readonly"):
        _store.reader(path).execute("DELETE FROM bars")


@pytest.mark.parametrize("u", IDS)
def test_every_trading_day_has_a_bar(u):
    df = lumadex.get_price(u, "2021-01-01", "2025-12-31", adjust_type="none")
    dates = [d.date() for d in df.index.get_level_values("date")]
    assert dates == lumadex.get_trading_dates(_sample.FIRST_DAY, LAST)


def test_sample_passes_the_importers_checks_and_round_trips(tmp_path):
    cli("sample", "--csv", str(tmp_path))
    store = tmp_path / "imported.sqlite"
    counts = lumadex.import_files(store, bars=[tmp_path / "sample_bars.csv"],
                                  factors=[tmp_path / "sample_factors.csv"])
    assert counts["bars"] == 3 * len(lumadex.get_trading_dates(_sample.FIRST_DAY, LAST))
    assert counts["factors"] >= 1
    assert rows(store)[:2] == rows(lumadex.store_path())[:2]


@pytest.mark.parametrize("u,check", [
    ("SYN001.XSHG", lambda c, s0: c.max() > 1.15 * s0),  # crosses up-and-out / knock-out
    ("SYN002.XSHG", lambda c, s0: c.min() < 0.75 * s0),  # crosses knock-in
    ("SYN002.XSHG", lambda c, s0: c.max() <= 1.03 * s0),  # ...without knocking out
    ("SYN001.XSHG", lambda c, s0: c.min() >= 0.95 * s0),  # ...without knocking in
    ("SYN003.XSHG", lambda c, s0: 0.85 * s0 < c.min() and c.max() < 1.05 * s0),  # neither
], ids=["rally-up", "slump-down", "slump-no-ko", "rally-no-ki", "range-neither"])
def test_demo_year_paths_take_every_branch(u, check):
    c = demo_year(u)
    assert check(c, c.iloc[0]), f"{u}: start {c.iloc[0]}, min {c.min()}, max {c.max()}"


def test_range_underlying_never_touches_its_corridor_intraday():
    lo, hi = demo_year("SYN003.XSHG", "low"), demo_year("SYN003.XSHG", "high")
    s0 = demo_year("SYN003.XSHG").iloc[0]
    assert 0.85 * s0 < lo.min() and hi.max() < 1.15 * s0


def test_quickstart_contracts_cover_knock_in_knock_out_and_neither():
    found = importlib.util.spec_from_file_location("quickstart",
                                                   ROOT / "examples" / "quickstart.py")
    qs = importlib.util.module_from_spec(found)
    found.loader.exec_module(qs)
    s0 = {u: round(float(qs.closes(u, DEMO_START, DEMO_START).iloc[0]), 2) for u in IDS}
    notes = {label + " " + u: qs.history_note(kind, u, s0[u], LAST, **levels)
             for label, _, _, u, _, (kind, levels) in qs.contracts(s0)}
    assert notes["snowball SYN001.XSHG"] == "knocked out"
    assert notes["snowball SYN002.XSHG"] == "knocked in"
    assert notes["snowball SYN003.XSHG"] == "neither"
    assert notes["down-and-in put SYN002.XSHG"] == "knocked in"
    assert notes["up-and-out call SYN001.XSHG"] == "knocked out"
    assert notes["one-touch up SYN001.XSHG"] == "touched"
    assert notes["double no-touch SYN003.XSHG"] == "not touched"
    assert notes["double knock-out call SYN003.XSHG"] == "inside corridor"


# -- velmora on the real client --------------------------------------------------------------

@pytest.fixture
def fresh_calendar(monkeypatch):
    import velmora.calendar

    monkeypatch.setattr(velmora.calendar, "a_share_calendar", None)
    return velmora.calendar


@pytest.mark.parametrize("maturity,settled", [
    ("2026-06-19", datetime.date(2026, 6, 22)),  # Dragon Boat (Friday) -> Monday
    ("2026-06-23", datetime.date(2026, 6, 23)),  # a trading day stays
    ("2027-02-06", datetime.date(2027, 2, 15)),  # estimated Spring Festival 2027
], ids=["holiday", "trading-day", "estimated-year"])
def test_vanilla_option_values_end_to_end_on_the_client(fresh_calendar, maturity, settled):
    from velmora.vanilla import VanillaOption

    spot = float(demo_year("SYN003.XSHG").iloc[-1])
    option = {"effect_date": "2025-01-02", "maturity_date": maturity,
              "underlying": "SYN003.XSHG", "s0": spot, "notional": 1.0, "call_put": "call",
              "strike": spot, "exercise_type": "european", "payoff_type": "plain_vanilla"}
    opt = VanillaOption(option)
    assert opt.maturity_date == pd.Timestamp(settled)
    r, q, vol = 0.02, 0.01, 0.25
    got = opt.npv(spot, r, vol, q, LAST)
    want = bs_vanilla(spot, spot, r, q, vol, (settled - LAST).days / 365, True)
    assert abs(got - want) < 1e-10 * spot, f"{maturity}: expected {want}, got {got}"
    g = opt.greeks(spot, r, vol, q, LAST)
    assert g.npv == got and g.delta > 0 and g.vega > 0


def test_velmora_calendar_is_built_from_the_client(fresh_calendar):
    cal = fresh_calendar.get_a_share_calendar()
    for day in (datetime.date(2027, 2, 8), datetime.date(2025, 10, 8)):
        assert not cal.isBusinessDay(ql.Date(day.day, day.month, day.year)), day
    assert cal.isBusinessDay(ql.Date(15, 2, 2027))


@pytest.mark.parametrize("u,barrier_type,call_put,ratio", [
    ("SYN002.XSHG", "down_and_in", "put", 0.85),
    ("SYN001.XSHG", "up_and_out", "call", 1.15),
    ("SYN003.XSHG", "down_and_in", "put", 0.85),
], ids=["knocked-in", "knocked-out", "alive"])
def test_barrier_option_reads_its_knock_status_from_the_sample(fresh_calendar, u, barrier_type,
                                                                call_put, ratio):
    barrier_mod = pytest.importorskip("velmora.barrier")
    from velmora.vanilla import VanillaOption

    closes = demo_year(u)
    s0, spot = float(closes.iloc[0]), float(closes.iloc[-1])
    option = {"effect_date": DEMO_START, "maturity_date": "2026-12-31", "underlying": u,
              "s0": s0, "notional": 1.0, "call_put": call_put, "strike": s0,
              "barrier": round(s0 * ratio, 2), "barrier_type": barrier_type, "rebate": 0.25,
              "exercise_type": "european", "payoff_type": "plain_vanilla"}
    got = barrier_mod.BarrierOption(option).npv(spot, 0.02, 0.25, 0.0, LAST)
    vanilla = VanillaOption(option).npv(spot, 0.02, 0.25, 0.0, LAST)
    if barrier_type == "up_and_out":
        assert got == 0.25
    elif u == "SYN002.XSHG":
        assert got == pytest.approx(vanilla, rel=1e-12)
    else:
        assert 0 < got < vanilla  # not yet knocked in: worth less than the vanilla


def test_quickstart_prints_the_same_table_on_every_run():
    env = {**os.environ, "PYTHONPATH": str(SRC)}
    cmd = [sys.executable, str(ROOT / "examples" / "quickstart.py"), "--no-times"]
    first, second = (subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)
                     for _ in range(2))
    assert first.returncode == 0, first.stderr
    assert first.stdout == second.stdout
    assert "vanilla call" in first.stdout and "SYNTHETIC" in first.stdout
