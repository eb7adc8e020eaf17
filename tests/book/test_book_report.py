"""The book's report: desk units against finite differences of each product's own npv,
the Monte Carlo standard error against the spread of disjoint batches of paths, the run
record through Parquet and CSV, results files written whole, and the command line's
refusals."""

import datetime
import json
import math
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import lumadex
import pytest
import QuantLib
import torch

from product_table import PRODUCTS, Q, R, SPOT, VOL, WED, closes  # noqa: F401  (a fixture)
from velmora import _core, book, normdraw
from velmora.book import __main__ as cli
from velmora.groundwork import SPOT_BUMP
from velmora.snowball import SnowBallOption

DATE = datetime.date(2025, 12, 31)


def _kind(name):
    """The book's product name of a product-table entry."""
    kind = name.split("-")[0]
    return kind if kind in ("snowball", "phoenix") else "vanilla"


@pytest.mark.parametrize("name", list(PRODUCTS))
def test_desk_units_are_finite_differences_of_the_products_own_npv(closes, name):
    product = PRODUCTS[name]()
    g = product.greeks(SPOT, R, VOL, Q, WED)
    quantity = -3.0
    row = pd.DataFrame({"product": [_kind(name)], "spot": [SPOT], "quantity": [quantity],
                        "npv_se": [0.0], **{k: [v] for k, v in g._asdict().items()}})
    desk = book.desk_units(row).iloc[0]
    # the products' own spot bump (0.5%): the conversion is then exact up to rounding, and a
    # product whose gamma field were read in the wrong convention would be off by the spot
    h = SPOT * SPOT_BUMP
    up, mid, down = (product.npv(s, R, VOL, Q, WED) for s in (SPOT + h, SPOT, SPOT - h))
    delta = (up - down) / (2 * h)
    gamma = (up + down - 2 * mid) / h**2
    scale = max(abs(mid), 1.0)  # the value's own size, for the products near zero
    # a finite-difference engine solves each separate npv on a grid of its own, a little
    # apart from the one solve behind its greeks; a convention slip is a factor of the spot
    assert isinstance(product.engine, str), name  # the name the book's engine column shows
    grid = 1e-3 if product.engine == "pde" else 0.0
    assert desk["position_npv"] == pytest.approx(quantity * mid, rel=1e-12 + grid / 100,
                                                 abs=1e-12)
    assert desk["cash_delta"] == pytest.approx(quantity * delta * SPOT, rel=1e-9 + grid,
                                               abs=1e-9 * scale)
    assert desk["cash_gamma_1pct"] == pytest.approx(quantity * gamma * SPOT**2 / 100,
                                                    rel=1e-6 + grid, abs=1e-9 * scale)
    assert desk["vega_1vol"] == quantity * g.vega and desk["rho_loss_1pt"] == quantity * g.rho


# -- the standard error of the autocallables' Monte Carlo value ---------------------------

NOTE = dict(effect_date="2025-06-30", maturity_date="2026-06-30", underlying="SYN003.XSHG",
            s0=57.0, notional=1.0, strike=57.0, ki_barrier=43.0, ko_barrier=60.0,
            coupon_rate=0.15, ki_obs_freq="daily", ko_obs_freq="monthly",
            obs_start_date="2025-07-31", obs_end_date="2026-06-30")
NOTE_MARKET = (57.56, 0.02, 0.25, 0.0, DATE)


def test_the_value_keeps_its_bits_and_the_error_its_bits_on_any_thread_count():
    note = SnowBallOption(NOTE)
    threads = torch.get_num_threads()
    try:
        torch.set_num_threads(1)
        one = note.npv_and_se(*NOTE_MARKET), note._greeks_and_se(*NOTE_MARKET)
        torch.set_num_threads(2)
        two = note.npv_and_se(*NOTE_MARKET), note._greeks_and_se(*NOTE_MARKET)
    finally:
        torch.set_num_threads(threads)
    assert one == two
    (value, se), (greeks, greeks_se) = one
    assert value == note.npv(*NOTE_MARKET) and greeks == note.greeks(*NOTE_MARKET)
    assert greeks_se == se > 0
    values, errors = note.spot_ladder_and_se([NOTE_MARKET[0], 50.0], *NOTE_MARKET[1:])
    assert values.tolist() == note.spot_ladder([NOTE_MARKET[0], 50.0], *NOTE_MARKET[1:]).tolist()
    assert errors[0] == se


def test_the_standard_error_matches_the_spread_of_disjoint_batches(monkeypatch):
    """Cut the pool's pairs into disjoint antithetic batches: the batch values' spread
    over sqrt(batches) is an independent estimate of the full value's error."""
    note = SnowBallOption(NOTE)
    value, se = note.npv_and_se(*NOTE_MARKET)
    pool = normdraw._normdraws
    half = pool.shape[0] // 2
    batches = 25
    size = half // batches
    real = normdraw.get_normdraws
    values = []
    for k in range(batches):
        rows = pool[k * size:(k + 1) * size]
        batch = torch.cat([rows, -rows])
        monkeypatch.setattr(normdraw, "get_normdraws", lambda steps, b=batch: b[:, :steps])
        values.append(note.npv(*NOTE_MARKET))
    monkeypatch.setattr(normdraw, "get_normdraws", real)
    spread = np.std(values, ddof=1) / math.sqrt(batches)
    assert np.mean(values) == pytest.approx(value, abs=1e-9 * max(1.0, abs(value)))
    # the spread of 25 batches estimates the error to about 15% (chi-square, 24 degrees)
    assert 0.6 < se / spread < 1.6, (se, spread)


@pytest.mark.parametrize("rule", ["snowball", "phoenix"])
def test_the_error_is_the_spread_of_antithetic_pair_means_of_a_plain_valuation(
        monkeypatch, rule):
    """By hand from the whole-tensor reference's per-path payoffs on a small pool."""
    import autocall_reference

    from velmora.phoenix import PhoenixOption

    note = (SnowBallOption if rule == "snowball" else PhoenixOption)(NOTE)
    torch.manual_seed(11)
    first = torch.randn(4000, 500)
    pool = torch.cat([first, -first])
    monkeypatch.setattr(normdraw, "get_normdraws", lambda steps: pool[:, :steps])
    value, se = note.npv_and_se(*NOTE_MARKET)
    spot, r, vol, q, date = NOTE_MARKET
    parts, _ = autocall_reference.npv(note, rule, lambda n: pool[:, :n].double(), spot, r, vol,
                                      q, pd.Timestamp(date))
    pairs = (parts[0]["payoffs"][:4000] + parts[0]["payoffs"][4000:]) / 2
    assert value == pytest.approx(parts[0]["payoffs"].mean(), rel=1e-9)
    assert se == pytest.approx(pairs.std(ddof=1) / math.sqrt(len(pairs)), rel=1e-9)


def test_asking_for_the_error_leaves_the_sums_bits():
    torch.manual_seed(7)
    z = torch.randn(5000, 40)
    grid = (np.full(40, 1 / 365), np.array([9, 19, 29, 39]), np.arange(40), np.full(4, 0.02),
            np.array([1.0, 1.01]), 0.02, 0.0, 0.3, False)
    args = dict(strike=1.0, ki_barrier=0.8, ko_barrier=1.05, rule="snowball", threads=2)
    (_, with_se, errors), = _core.simulate_groups(z, [grid], **args, standard_errors=["paths"])
    (_, without), = _core.simulate_groups(z, [grid], **args)
    assert with_se == without and len(errors) == 2 and min(errors) > 0


# -- the run record and results files ----------------------------------------------------

def _vanillas():
    terms = {"effect_date": "2025-07-01", "maturity_date": "2026-06-30", "s0": 50.0,
             "notional": 1.0, "call_put": "call", "exercise_type": "european",
             "payoff_type": "plain_vanilla"}
    rows = [("a", "vanilla", {**terms, "underlying": "SYN001.XSHG", "strike": 10.0}, 2.0),
            ("b", "vanilla", {**terms, "underlying": "SYN003.XSHG", "strike": 60.0}, -1.0),
            ("c", "vanilla", {**terms, "underlying": "SYN003.XSHG", "strike": "x"}, 1.0)]
    return pd.DataFrame(rows, columns=["trade_id", "product", "terms", "quantity"])


@pytest.fixture(scope="module")
def valued():
    market = pd.DataFrame({"spot": [10.0, np.nan], "vol": [0.3, 0.22], "r": [0.02, 0.02],
                           "q": [0.0, 0.0]},
                          index=pd.Index(["SYN001.XSHG", "SYN003.XSHG"], name="underlying"))
    scenarios = book.spot_vol_grid(book.spot_ladder(-0.1, 0.1, 3), book.vol_ladder(-0.02, 0.02, 3))
    return book.value_book(_vanillas(), market, DATE, scenarios=scenarios, executor="serial",
                           progress=False)


def test_the_record_says_what_the_run_used(valued):
    run = valued.attrs["run"]
    assert run["as_of"] == "2025-12-31"
    close = lumadex.get_price("SYN003.XSHG", DATE, DATE, fields="close", adjust_type="none")
    assert run["market"]["SYN003.XSHG"]["spot"] == float(close["close"].iloc[0])
    assert run["market"]["SYN001.XSHG"] == {"spot": 10.0, "vol": 0.3, "r": 0.02, "q": 0.0}
    assert [s["name"] for s in run["scenarios"]] == list(pd.unique(valued["scenario"]))
    assert run["versions"]["QuantLib"] == QuantLib.__version__
    assert run["store"]["path"] == str(lumadex.store_path())
    assert run["store"]["last_bar"] >= run["as_of"]
    assert run["started"] <= run["ended"]
    assert run["engines_used"] == {"vanilla": ["analytic"]}


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_results_come_back_whole_with_their_record(valued, tmp_path, suffix):
    path = tmp_path / f"results{suffix}"
    book.write_results(valued, path)
    back = book.read_results(path)
    assert back.attrs["run"] == json.loads(json.dumps(valued.attrs["run"]))
    assert back.attrs["scenarios"] == valued.attrs["scenarios"]
    pd.testing.assert_frame_equal(back, valued, check_dtype=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        [path.name] + (["results.run.json"] if suffix == ".csv" else []))


@pytest.mark.parametrize("suffix", [".parquet", ".csv", ".png"])
def test_a_failed_write_leaves_the_old_file_whole(valued, tmp_path, monkeypatch, suffix):
    import matplotlib.figure
    import pyarrow.parquet

    path = tmp_path / f"out{suffix}"
    path.write_bytes(b"yesterday's complete file")

    def half_then_full_disk(self_or_table, where, *args, **kwargs):
        with open(where, "wb") as f:
            f.write(b"cut mid-li")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pd.DataFrame, "to_csv", half_then_full_disk)
    monkeypatch.setattr(pyarrow.parquet, "write_table", half_then_full_disk)
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", half_then_full_disk)
    with pytest.raises(OSError, match="No space"):
        if suffix == ".png":
            book.plot_ladder(valued, path)
        else:
            book.write_results(valued, path)
    assert path.read_bytes() == b"yesterday's complete file"
    assert [p.name for p in tmp_path.iterdir()] == [path.name]


def test_summary_sums_desk_units_and_bounds_the_error(valued):
    s = book.summarize(valued)
    ok = valued[valued["error"].isna()]
    for column in book.DESK_COLUMNS:
        want = ok.groupby(["underlying", "scenario"], sort=False)[column].sum()
        for key, value in want.items():
            assert s.loc[key, column] == pytest.approx(value, rel=1e-12, abs=1e-12)
    assert (s["failed"].xs("SYN003.XSHG") == 1).all()


def test_the_plot_draws_the_vol_ladder_and_the_grid(valued, tmp_path):
    from PIL import Image

    path = book.plot_ladder(valued, tmp_path / "ladder.png")
    width, height = Image.open(path).size
    # four panels: spot value, spot delta, vol ladder, grid heat map
    assert height > 3.5 * width * 0.375


# -- bad input --------------------------------------------------------------------------

@pytest.mark.parametrize("fmt, raw, match", [
    (None, math.nan, "not a number"), (None, "NaN", "not a number"),
    (None, 1e300, "beyond the largest position"), (None, -2e12, "beyond the largest position"),
    # a NaN read from a file is not one unit either
    ("jsonl", "NaN", "not a number"), ("jsonl", '"NaN"', "not a number"),
    ("csv", "nan", "not a number")])
def test_quantities_that_are_no_position_fail_their_trade(tmp_path, fmt, raw, match):
    trades = _vanillas().iloc[:1].copy()
    trades["quantity"] = pd.Series([raw], dtype=object)
    if fmt is not None:
        terms = json.dumps(trades["terms"].iloc[0])
        path = tmp_path / f"t.{fmt}"
        path.write_text(
            f'{{"trade_id": "a", "product": "vanilla", "terms": {terms}, "quantity": {raw}}}\n'
            if fmt == "jsonl" else "trade_id,product,terms,quantity\n"
            f'a,vanilla,"{terms.replace(chr(34), chr(34) * 2)}",{raw}\n')
        trades = book.read_trades(path)
    market = pd.DataFrame({"spot": [10.0], "vol": [0.3], "r": [0.02], "q": [0.0]},
                          index=pd.Index(["SYN001.XSHG"], name="underlying"))
    r = book.value_book(trades, market, DATE, executor="serial", progress=False)
    assert match in r["error"].iloc[0]
    assert math.isnan(book.summarize(r)["position_npv"].iloc[0])


def test_a_byte_order_mark_csv_and_deep_json(tmp_path):
    terms = json.dumps(_vanillas()["terms"].iloc[0]).replace('"', '""')
    path = tmp_path / "excel.csv"
    path.write_bytes(b"\xef\xbb\xbf" + f'trade_id,product,terms\na,vanilla,"{terms}"\n'.encode())
    assert book.read_trades(path)["trade_id"].tolist() == ["a"]
    deep = tmp_path / "deep.jsonl"
    deep.write_text('{"trade_id": "a", "product": "vanilla", "terms": {}}\n' + "[" * 100000 + "\n")
    with pytest.raises(ValueError, match=r"deep.jsonl, line 2: .*nested too deeply"):
        book.read_trades(deep)
    assert cli.main([str(deep), "--market", str(path)]) == cli.UNREADABLE


@pytest.mark.parametrize("argv, message", [
    (["--date", "2025/12/31"], "YYYY-MM-DD"),
    (["--ladder", "1%:2%:1000000000000"], "beyond the most allowed"),
    (["--vol-ladder", "-5%:5%:5000"], "beyond the most allowed"),
    (["--ladder", "-10%:10%:50", "--vol-ladder", "-5%:5%:50", "--grid"], "beyond"),
    (["--grid", "--ladder", "-1%:1%:3"], "--grid needs both"),
    (["--engine", "vanilla=pde"], "has no engine to choose"),
    (["--engine", "snowball=fast"], "accepted: monte_carlo, pde"),
    (["--engine", "snowball"], "KIND=NAME"),
])
def test_the_command_line_refuses_with_status_2(tmp_path, capsys, argv, message):
    with pytest.raises(SystemExit) as e:
        cli.main(["trades.csv", "--market", "market.csv", *argv])
    assert e.value.code == cli.USAGE
    assert message in capsys.readouterr().err


def test_the_command_line_takes_the_forms_its_help_shows(capsys):
    args = cli._parser().parse_args(cli._joined(
        ["t.csv", "--market", "m.csv", "--ladder", "-10%:10%:3", "--vol-ladder", "-2%:2%:3",
         "--engine", "snowball=pde", "--engine", "asian=qmc"]))
    assert [s.spot_shift for s in args.ladder] == [-0.1, 0.0, 0.1]
    assert [s.vol_shift for s in args.vol_ladder] == [-0.02, 0.0, 0.02]
    assert args.engine == [("snowball", "pde"), ("asian", "qmc")]
    with pytest.raises(SystemExit) as e:
        cli.main(["--version"])
    assert e.value.code == 0 and "velmora" in capsys.readouterr().out


def test_engines_fill_the_terms_that_name_none():
    trades = pd.DataFrame([("s1", "snowball", {**NOTE}), ("s2", "snowball",
                                                         {**NOTE, "engine": "monte_carlo"})],
                          columns=["trade_id", "product", "terms"])
    market = pd.DataFrame({"spot": [57.0], "vol": [0.25], "r": [0.02], "q": [0.0]},
                          index=pd.Index(["SYN003.XSHG"], name="underlying"))
    _, items, _, _ = book._valuation._prepare(trades, market, DATE, {"snowball": "pde"})
    assert [item.terms.get("engine") for item in items] == ["pde", "monte_carlo"]
    assert "engine" not in trades["terms"].iloc[0]  # the caller's terms are left alone
    assert [item.draws_pool for item in items] == [False, True]


@pytest.mark.parametrize("when", ["before", "during"])
def test_a_lost_dask_cluster_is_said_so_and_charged_to_no_trade(monkeypatch, when):
    distributed = pytest.importorskip("distributed")
    import book_products

    monkeypatch.setitem(book.PRODUCTS, "closer", ("book_products", "ClusterClosingOption"))
    market = pd.DataFrame({"spot": [10.0, 57.0], "vol": [0.3, 0.22], "r": [0.02, 0.02],
                           "q": [0.0, 0.0]},
                          index=pd.Index(["SYN001.XSHG", "SYN003.XSHG"], name="underlying"))
    trades = _vanillas()
    trades.loc[len(trades)] = ["z", "closer", dict(trades["terms"].iloc[0]), 1.0]
    cluster = distributed.LocalCluster(n_workers=1, processes=False, threads_per_worker=1,
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    monkeypatch.setattr(book_products, "CLOSE_CLUSTER", cluster.close)
    if when == "before":
        cluster.close()
    error, match = ((ConnectionError, "scheduler cannot be reached") if when == "before"
                    else (book.ClusterLost, "cluster was lost"))
    try:
        with pytest.raises(error, match=match):
            book.value_book(trades, market, DATE, executor=client, progress=False,
                            greeks=False)
    finally:
        client.close()
        cluster.close()


_PDE_BOOK = """
import sys, datetime, pandas as pd
from velmora import book
book.PRODUCTS["probe"] = ("book_products", "PoolProbeOption")
note = {note!r}
trades = pd.DataFrame([("s1", "snowball", note), ("p1", "phoenix", note),
                       ("x1", "probe", note), ("x2", "probe", note)],
                      columns=["trade_id", "product", "terms"])
market = pd.DataFrame({{"spot": [57.0], "vol": [0.25], "r": [0.02], "q": [0.0]}},
                      index=pd.Index(["SYN003.XSHG"], name="underlying"))
out = book.value_book(trades, market, datetime.date(2025, 12, 31), executor=2,
                      greeks=False, progress=False, engines={{"snowball": "pde",
                                                               "phoenix": "pde"}})
assert out["error"].isna().all(), out["error"].tolist()
assert list(out["engine"][:2]) == ["pde", "pde"] and (out["npv"][:2] != 0).all()
assert (out["npv"][2:] == 0.0).all(), "a worker imported the pool"
assert "velmora.normdraw" not in sys.modules, "the caller imported the pool"
"""


def test_a_book_of_finite_difference_notes_draws_no_pool_anywhere():
    run = subprocess.run([sys.executable, "-c", _PDE_BOOK.format(note=NOTE)],
                         cwd=pathlib.Path(__file__).parent, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
