"""Book valuation: executors agree to the bit, bad trades and dead workers cost only
their own rows, files and the command line behave."""

import datetime
import json
import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from _oracles import bs_vanilla
import lumadex
from velmora import book

DATE = datetime.date(2025, 12, 31)
MATURITY = datetime.date(2026, 6, 30)  # a Tuesday, a trading day
SYN = ("SYN001.XSHG", "SYN002.XSHG", "SYN003.XSHG")


def _close(underlying):
    frame = lumadex.get_price(underlying, DATE, DATE, fields="close", adjust_type="none")
    return float(frame["close"].iloc[0])


def _common(underlying, s0=50.0):
    return {"effect_date": "2025-07-01", "maturity_date": MATURITY.isoformat(),
            "underlying": underlying, "s0": s0, "notional": 1e6}


def _vanilla(underlying, call_put, strike, **extra):
    return {**_common(underlying), "call_put": call_put, "strike": strike,
            "exercise_type": "european", "payoff_type": "plain_vanilla", **extra}


@pytest.fixture(scope="module")
def market():
    # SYN003 without a spot: the store's close on the evaluation date
    return pd.DataFrame(
        {"spot": [10.0, 17.0, np.nan, np.nan], "vol": [0.3, 0.35, 0.22, 0.3],
         "r": [0.02, 0.02, 0.025, 0.02], "q": [0.0, 0.01, 0.0, 0.0]},
        index=pd.Index([*SYN, "SYN009.XSHG"], name="underlying"))


def _mixed_book():
    s3 = _common("SYN003.XSHG", 57.49)
    rows = [
        ("call", "vanilla", _vanilla("SYN003.XSHG", "call", 55.0), 3.0),
        ("put", "vanilla", _vanilla("SYN001.XSHG", "put", 10.5), -2.0),
        ("strad", "straddle", {**s3, "strike": 57.0, "exercise_type": "european"}, 1.0),
        ("uoc", "barrier", {**s3, "call_put": "call", "strike": 57.0, "barrier": 75.0,
                            "barrier_type": "up_and_out", "exercise_type": "european",
                            "payoff_type": "plain_vanilla", "rebate": 0.0}, 1.0),
        ("nope", "swaption", _vanilla("SYN002.XSHG", "call", 17.0), 1.0),
        ("snow", "snowball", {**_common("SYN003.XSHG", 57.49), "effect_date": "2025-01-02",
                              "maturity_date": "2026-03-31", "strike": 57.49,
                              "ki_barrier": 43.0, "ko_barrier": 61.0, "coupon_rate": 0.15,
                              "ki_obs_freq": "daily", "ko_obs_freq": "monthly",
                              "obs_start_date": "2025-01-02",
                              "obs_end_date": "2026-03-31"}, 1.0),
    ]
    return pd.DataFrame(rows, columns=["trade_id", "product", "terms", "quantity"])


@pytest.fixture(scope="module")
def serial_results(market):
    return book.value_book(_mixed_book(), market, DATE, scenarios=book.spot_ladder(-0.1, 0.1, 3),
                           executor="serial", progress=False)


def test_serial_rows_are_the_closed_form_at_the_shocked_inputs(serial_results, market):
    r = serial_results
    ids = _mixed_book()["trade_id"].tolist()
    assert r["trade_id"].tolist() == [i for i in ids for _ in range(3)]
    assert r["scenario"].tolist() == ["spot -10%", "spot +0%", "spot +10%"] * len(ids)
    assert list(r.columns) == book.COLUMNS
    t = (MATURITY - DATE).days / 365
    for trade_id, underlying, strike, call, r_, q, vol in (
            ("call", "SYN003.XSHG", 55.0, True, 0.025, 0.0, 0.22),
            ("put", "SYN001.XSHG", 10.5, False, 0.02, 0.0, 0.3)):
        base = market.loc[underlying, "spot"]
        base = _close(underlying) if math.isnan(base) else base
        rows = r[r.trade_id == trade_id]
        for (_, row), shift in zip(rows.iterrows(), (-0.1, 0.0, 0.1)):
            spot = base * (1 + shift)
            expected = bs_vanilla(spot, strike, r_, q, vol, t, call)
            assert row.spot == pytest.approx(spot, rel=1e-15)
            assert row.npv == pytest.approx(expected, rel=1e-9), (trade_id, shift, row.npv)
            assert pd.isna(row.error)
    assert r[r.trade_id == "nope"]["error"].str.startswith("KeyError: \"unknown product").all()
    assert r[r.trade_id != "nope"]["error"].isna().all()


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("executor", ["local", "dask"])
def test_executors_give_the_serial_frame_to_the_bit(executor, serial_results, market, request):
    executor = 2 if executor == "local" else request.getfixturevalue("dask_client")
    got = book.value_book(_mixed_book(), market, DATE, scenarios=book.spot_ladder(-0.1, 0.1, 3),
                          executor=executor, progress=False)
    pd.testing.assert_frame_equal(got.drop(columns="seconds"),
                                  serial_results.drop(columns="seconds"), check_exact=True)
    assert (got["seconds"] >= 0).all()


@pytest.mark.parametrize("trade_id, product, terms, error", [
    ("unknown", "swaption", _vanilla("SYN001.XSHG", "call", 10.0), "KeyError: \"unknown product"),
    ("no-strike", "vanilla", {**_common("SYN001.XSHG"), "call_put": "call",
                              "exercise_type": "european", "payoff_type": "plain_vanilla"},
     "KeyError: 'strike'"),
    ("bad-exercise", "vanilla", _vanilla("SYN001.XSHG", "call", 10.0, exercise_type="weekly"),
     "ValueError: unknown exercise type"),
    ("no-spot", "vanilla", _vanilla("SYN009.XSHG", "call", 10.0), "ValueError: no spot for "
                                                                  "SYN009.XSHG"),
    ("no-market", "vanilla", _vanilla("SYN777.XSHG", "call", 10.0),
     "ValueError: no market data for SYN777.XSHG"),
    ("bad-json", "vanilla", '{"strike": 10', "ValueError: terms are not a JSON object"),
    ("bad-quantity", "vanilla", _vanilla("SYN001.XSHG", "call", 10.0),
     "ValueError: quantity 'lots'"),
])
def test_a_bad_trade_fails_alone(trade_id, product, terms, error, market):
    good = _vanilla("SYN001.XSHG", "call", 10.0)
    trades = pd.DataFrame(
        [("a", "vanilla", good, 1.0),
         (trade_id, product, terms, "lots" if trade_id == "bad-quantity" else 1.0),
         ("b", "vanilla", good, 2.0)],
        columns=["trade_id", "product", "terms", "quantity"])
    r = book.value_book(trades, market, DATE, scenarios=book.vol_ladder(-0.02, 0.02, 2),
                        greeks=False, executor="serial", progress=False)
    assert r["trade_id"].tolist() == ["a", "a", trade_id, trade_id, "b", "b"]
    bad = r[r.trade_id == trade_id]
    assert bad["error"].str.startswith(error).all(), bad["error"].iloc[0]
    assert bad[list(book.GREEKS)].isna().all().all()
    ok = r[r.trade_id != trade_id]
    assert ok["error"].isna().all() and ok["npv"].notna().all()
    assert ok["delta"].isna().all()  # npv only
    t = (MATURITY - DATE).days / 365
    for (_, row), vol in zip(ok.iterrows(), (0.28, 0.32) * 2):
        assert row.vol == pytest.approx(vol, abs=1e-15)
        assert row.npv == pytest.approx(bs_vanilla(10.0, 10.0, 0.02, 0.0, vol, t, True), rel=1e-9)


def test_dead_workers_cost_only_their_own_trade(tmp_path, market, monkeypatch):
    monkeypatch.setitem(book.PRODUCTS, "dying", ("book_products", "DyingOption"))
    monkeypatch.setitem(book.PRODUCTS, "double", ("book_products", "DoubleOption"))
    common = _common("SYN001.XSHG")
    rows = [("ok1", "double", common), ("exit", "dying", {**common, "how": "exit"}),
            ("ok2", "double", common), ("kill", "dying", {**common, "how": "kill"}),
            ("once", "double", {**common, "marker": str(tmp_path / "died-once")})]
    rows += [(f"ok{k}", "double", common) for k in range(3, 7)]
    trades = pd.DataFrame(rows, columns=["trade_id", "product", "terms"])
    r = book.value_book(trades, market, DATE, executor=2, progress=False)
    assert r["trade_id"].tolist() == trades["trade_id"].tolist()
    died = r.set_index("trade_id")["error"]
    assert died["exit"].startswith("WorkerDied: ") and "exit code 70" in died["exit"]
    assert died["kill"].startswith("WorkerDied: ") and "SIGKILL" in died["kill"]
    valued = r[~r.trade_id.isin(["exit", "kill"])]
    assert valued["error"].isna().all()
    assert (valued["npv"] == 2.0 * 10.0).all()  # the one that died once was retried
    assert (tmp_path / "died-once").exists()


@pytest.mark.parametrize("greeks, scenarios, error", [
    (False, book.spot_ladder(-0.05, 0.05, 3), "ValueError: spot_ladder returned 2 values"),
    (True, book.spot_ladder(-0.05, 0.05, 3), None),
    (False, book.vol_ladder(-0.01, 0.01, 3), None),
])
def test_a_product_ladder_serves_spot_only_npv_runs(greeks, scenarios, error, market, monkeypatch):
    monkeypatch.setitem(book.PRODUCTS, "short", ("book_products", "ShortLadderOption"))
    trades = pd.DataFrame([("x", "short", _common("SYN001.XSHG"))],
                          columns=["trade_id", "product", "terms"])
    r = book.value_book(trades, market, DATE, scenarios=scenarios, greeks=greeks,
                        executor="serial", progress=False)
    if error:
        assert r["error"].str.startswith(error).all()
    else:
        assert r["error"].isna().all()
        assert np.array_equal(r["npv"], 2.0 * r["spot"])


def test_summarize_adds_positions_per_underlying_and_scenario():
    nan = math.nan
    results = pd.DataFrame({
        "underlying": ["B", "A", "B", "B", "A", "B"],
        "scenario": ["up", "up", "up", "down", "down", "down"],
        "quantity": [2.0, -1.0, 3.0, 2.0, -1.0, 3.0],
        "npv": [1.0, 4.0, nan, 1.5, 5.0, nan], "delta": [0.5, 0.1, nan, 0.4, 0.2, nan],
        "gamma": [0.1, 0.0, nan, 0.2, 0.0, nan], "vega": [1.0, 2.0, nan, 1.0, 2.0, nan],
        "theta": [0.0] * 6, "rho": [0.0] * 6, "product": ["vanilla"] * 6, "spot": [10.0] * 6,
        "error": [None, None, "ValueError: x", None, None, "ValueError: x"]})
    s = book.summarize(results)
    assert s.index.tolist() == [("A", "up"), ("A", "down"), ("B", "up"), ("B", "down")]
    assert s["position_npv"].tolist() == [-4.0, -5.0, 2.0, 3.0]
    assert s["position_delta"].tolist() == pytest.approx([-0.1, -0.2, 1.0, 0.8])
    assert s["trades"].tolist() == [1, 1, 2, 2]
    assert s["failed"].tolist() == [0, 0, 1, 1]


def _write_trades(path, fmt, records):
    if fmt == "jsonl":
        path.write_text("".join(json.dumps(rec) + "\n" for rec in records))
    else:
        frame = pd.DataFrame([{**rec, "terms": json.dumps(rec["terms"])} for rec in records])
        frame.to_csv(path, index=False) if fmt == "csv" else frame.to_parquet(path)


@pytest.mark.parametrize("fmt", ["csv", "parquet", "jsonl"])
def test_trade_files_read_alike(tmp_path, fmt):
    records = [{"trade_id": "a", "product": "vanilla",
                "terms": _vanilla("SYN001.XSHG", "call", 10.0), "quantity": -3.0},
               {"trade_id": "b", "product": "straddle", "terms": _common("SYN002.XSHG"),
                "quantity": 2.5}]
    path = tmp_path / f"trades.{fmt}"
    _write_trades(path, fmt, records)
    frame = book.read_trades(path)
    assert frame["trade_id"].tolist() == ["a", "b"]
    assert frame["terms"].tolist() == [rec["terms"] for rec in records]
    assert frame["quantity"].tolist() == [-3.0, 2.5]


@pytest.mark.parametrize("text, problem", [
    ("trade_id,product\na,vanilla\n", "missing column(s) terms"),
    ('trade_id,product,terms\na,vanilla,{}\n ,vanilla,{}\n', "line 3: empty trade_id"),
    ('trade_id,product,terms\na,vanilla,{}\nb,vanilla,{}\na,touch,{}\n',
     "line 4: duplicate trade_id 'a' (first at line 2)"),
    ('trade_id,product,terms\na,vanilla\n', "line 2: 2 fields where the header has 3"),
])
def test_trade_file_problems_name_the_line(tmp_path, text, problem):
    path = tmp_path / "trades.csv"
    path.write_text(text)
    with pytest.raises(ValueError) as e:
        book.read_trades(path)
    assert str(path) in str(e.value) and problem in str(e.value)


def _cli_files(tmp_path, bad=False):
    records = [{"trade_id": "a", "product": "vanilla",
                "terms": _vanilla("SYN001.XSHG", "call", 10.0)},
               {"trade_id": "b", "product": "vanilla",
                "terms": _vanilla("SYN003.XSHG", "put", 55.0), "quantity": -2}]
    if bad:
        records.append({"trade_id": "c", "product": "vanilla", "terms": _common("SYN002.XSHG")})
    trades = tmp_path / "trades.jsonl"
    _write_trades(trades, "jsonl", records)
    market = tmp_path / "market.csv"
    market.write_text("underlying,spot,vol,r,q\nSYN001.XSHG,10,0.3,0.02,0\n"
                      "SYN002.XSHG,,0.3,0.02,0\nSYN003.XSHG,,0.2,0.02,0\n")
    return str(trades), str(market)


@pytest.mark.parametrize("bad, out, status", [(False, "r.csv", 0), (True, "r.parquet", 3)])
def test_command_line_writes_results_and_picture(tmp_path, bad, out, status, capsys):
    from velmora.book.__main__ import main

    trades, market = _cli_files(tmp_path, bad)
    out, png = tmp_path / out, tmp_path / "ladder.png"
    assert main([trades, "--market", market, "--date", "2025-12-31", "--ladder=-10%:10%:3",
                 "--workers", "0", "--out", str(out), "--plot", str(png)]) == status
    written = pd.read_csv(out) if out.suffix == ".csv" else pd.read_parquet(out)
    assert len(written) == 3 * (3 if bad else 2)
    assert written["error"].notna().sum() == (3 if bad else 0)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    printed = capsys.readouterr().out
    assert "SYN003.XSHG" in printed and ("1 failed" if bad else "0 failed") in printed


@pytest.mark.parametrize("args, status", [
    (["--ladder", "-10%:10%"], 2),
    (["--workers", "-1"], 2),
    (["--out", "results.txt"], 2),
    (["--workers", "1", "--scheduler", "tcp://127.0.0.1:1"], 2),
    (["--store", "/nonexistent/store.sqlite"], 1),
])
def test_command_line_statuses(tmp_path, args, status):
    trades, market = _cli_files(tmp_path)
    serial = [] if "--workers" in args else ["--workers", "0"]
    run = subprocess.run([sys.executable, "-m", "velmora.book", trades, "--market", market,
                          "--date", "2025-12-31", *serial, *args],
                         capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert run.returncode == status, run.stderr


def test_unreadable_trades_file_is_status_1(tmp_path):
    from velmora.book.__main__ import main

    _, market = _cli_files(tmp_path)
    missing = tmp_path / "none.csv"
    assert main([str(missing), "--market", market, "--workers", "0"]) == 1


def test_npv_ladder_of_a_note_is_its_npv_at_each_spot(market):
    from velmora.snowball import SnowBallOption

    trades = _mixed_book().iloc[[5]]  # the snowball
    scenarios = book.spot_ladder(-0.1, 0.1, 3)
    r = book.value_book(trades, market, DATE, scenarios=scenarios, greeks=False,
                        executor="serial", progress=False)
    note = SnowBallOption(trades["terms"].iloc[0])
    base = _close("SYN003.XSHG")
    expected = [note.npv(s.spot(base), 0.025, 0.22, 0.0, DATE) for s in scenarios]
    assert r["error"].isna().all()
    assert r["npv"].tolist() == expected  # to the bit


def test_dask_retries_a_dead_batch_trade_by_trade(market, monkeypatch):
    distributed = pytest.importorskip("distributed")
    import dask

    monkeypatch.setitem(book.PRODUCTS, "dying", ("book_products", "DyingOption"))
    monkeypatch.setitem(book.PRODUCTS, "double", ("book_products", "DoubleOption"))
    common = _common("SYN001.XSHG")
    rows = [(f"ok{k}", "double", common) for k in range(40)]
    rows.insert(17, ("exit", "dying", {**common, "how": "exit"}))
    trades = pd.DataFrame(rows, columns=["trade_id", "product", "terms"])
    # no retry by the scheduler: a task whose worker dies fails at once, with the tasks
    # queued beside it on that worker; their trades (two a task here) are retried one
    # at a time, and only the dying trade fails
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        r = book.value_book(trades, market, DATE, greeks=False, executor=client,
                            progress=False)
    assert r["trade_id"].tolist() == trades["trade_id"].tolist()
    died = r[r.trade_id == "exit"]["error"].iloc[0]
    assert died.startswith("WorkerDied: ") and "KilledWorker" in died
    valued = r[r.trade_id != "exit"]
    assert valued["error"].isna().all() and (valued["npv"] == 20.0).all()


def _pool_fingerprint(conn=None):
    """In a fresh process: draw the pool, or map the one sent over ``conn``; return a
    digest of its bytes, whether it is shared, and the generator's next draws."""
    import hashlib

    if conn is not None:
        from velmora import _pool_handover

        _pool_handover.give(*conn.recv())
    import torch

    from velmora import normdraw

    pool = normdraw.get_normdraws(500)
    digest = hashlib.sha256(pool.contiguous().numpy().tobytes()).hexdigest()
    return digest, pool.is_shared(), torch.randn(4).tolist()


def _pool_child(conn):
    conn.send(_pool_fingerprint(conn))


def test_a_worker_handed_the_pool_sees_what_it_would_have_drawn():
    import multiprocessing

    import torch.multiprocessing  # noqa: F401  (tensors pickle as shared memory)

    from velmora import normdraw

    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(1) as pool:  # the reference: a process that draws its own
        drawn = pool.apply(_pool_fingerprint)
    parent, child = ctx.Pipe()
    worker = ctx.Process(target=_pool_child, args=(child,))
    worker.start()
    parent.send(normdraw._shared_pool())
    handed = parent.recv()
    worker.join()
    assert not drawn[1] and handed[1]
    assert handed[0] == drawn[0] and handed[2] == drawn[2]
