"""The importer: formats, refusals that leave the store unchanged, the command line,
and readers running while another process imports."""

import datetime
import os
import pathlib
import sqlite3
import subprocess
import sys
import textwrap

import pytest

import lumadex
from lumadex import __main__ as cli
from lumadex import _importer, _store

SRC = str(pathlib.Path(lumadex.__file__).resolve().parent.parent)
BAR_HEADER = "underlying,date,open,high,low,close,volume"
GOOD_BARS = [
    "X.XSHG,2024-06-03,10.00,10.50,9.80,10.20,1000",
    "X.XSHG,2024-06-04,10.20,10.40,10.00,10.30,1200",
    "X.XSHG,2024-06-05,10.30,10.30,9.90,9.95,900",
]


def write(path, lines):
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def dump(path):
    """Every row of the store, for before/after comparison."""
    conn = sqlite3.connect(path)
    try:
        return (conn.execute("SELECT * FROM bars ORDER BY 1, 2").fetchall(),
                conn.execute("SELECT * FROM adjustment_factors ORDER BY 1, 2").fetchall())
    finally:
        conn.close()


def run_cli(*args, env_extra=None):
    env = {**os.environ, "PYTHONPATH": SRC, **(env_extra or {})}
    return subprocess.run([sys.executable, "-m", "lumadex", *args], capture_output=True,
                          text=True, env=env, timeout=120)


@pytest.fixture
def seeded(tmp_path):
    """A store that already holds some rows, so 'unchanged' means something."""
    store = tmp_path / "store.sqlite"
    bars = write(tmp_path / "seed.csv", [BAR_HEADER, "Y.XSHG,2024-05-06,5,5.5,4.9,5.2,10"])
    facs = write(tmp_path / "seedf.csv", ["underlying,ex_date,factor", "Y.XSHG,2024-05-06,1.1"])
    _importer.import_files(store, bars=[bars], factors=[facs])
    return store


# -- accepted files -------------------------------------------------------------------------

def test_good_csv_is_taken_whole_and_reads_back_raw(tmp_path):
    store = tmp_path / "s.sqlite"
    bars = write(tmp_path / "b.csv", [BAR_HEADER] + GOOD_BARS)
    facs = write(tmp_path / "f.csv", ["ex_date,factor,underlying", "2024-06-04,2.0,X.XSHG"])
    counts = _importer.import_files(store, bars=[bars], factors=[facs])
    assert counts == {"bars": 3, "factors": 1, "replaced_bars": 0, "replaced_factors": 0}
    lumadex.init(store)
    try:
        raw = lumadex.get_price("X.XSHG", "2024-06-03", "2024-06-05", adjust_type="none")
        assert raw.close.tolist() == [10.20, 10.30, 9.95]
        assert raw.volume.tolist() == [1000.0, 1200.0, 900.0]
        pre = lumadex.get_price("X.XSHG", "2024-06-03", "2024-06-05", "close")
        assert pre.close.tolist() == [5.10, 10.30, 9.95]
    finally:
        lumadex.init(None)


def test_reimport_replaces_rows_and_says_so(seeded, tmp_path):
    again = write(tmp_path / "again.csv", [BAR_HEADER, "Y.XSHG,2024-05-06,5,5.6,4.9,5.3,11"])
    counts = _importer.import_files(seeded, bars=[again])
    assert counts["bars"] == 1 and counts["replaced_bars"] == 1
    assert dump(seeded)[0] == [("Y.XSHG", "2024-05-06", 5.0, 5.6, 4.9, 5.3, 11.0)]


def test_parquet_round_trip(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    table = pa.table({
        "underlying": ["X.XSHG", "X.XSHG"],
        "date": [datetime.date(2024, 6, 3), datetime.date(2024, 6, 4)],
        "open": [10.0, 10.2], "high": [10.5, 10.4], "low": [9.8, 10.0],
        "close": [10.2, 10.3], "volume": [1000, 1200],
    })
    pq.write_table(table, tmp_path / "b.parquet")
    pq.write_table(pa.table({"underlying": ["X.XSHG"], "ex_date": ["2024-06-04"],
                             "factor": [2.0]}), tmp_path / "f.pq")
    store = tmp_path / "s.sqlite"
    counts = _importer.import_files(store, bars=[tmp_path / "b.parquet"],
                                    factors=[tmp_path / "f.pq"])
    assert counts["bars"] == 2 and counts["factors"] == 1
    assert dump(store) == ([("X.XSHG", "2024-06-03", 10.0, 10.5, 9.8, 10.2, 1000.0),
                            ("X.XSHG", "2024-06-04", 10.2, 10.4, 10.0, 10.3, 1200.0)],
                           [("X.XSHG", "2024-06-04", 2.0)])


# -- refusals --------------------------------------------------------------------------------

future = (datetime.date.today() + datetime.timedelta(days=400)).isoformat()

BAD_BARS = [
    ("missing-column", ["underlying,date,open,high,low,close", "X.XSHG,2024-06-03,1,1,1,1"],
     "header", "missing column(s) volume"),
    ("unknown-column", [BAR_HEADER + ",vwap", "X.XSHG,2024-06-03,1,1,1,1,1,1"],
     "header", "unknown column(s) vwap"),
    ("short-row", [BAR_HEADER, "X.XSHG,2024-06-03,1,1,1,1"], "line 2", "6 fields"),
    ("empty-underlying", [BAR_HEADER, " ,2024-06-03,1,1,1,1,1"], "line 2", "underlying is empty"),
    ("date-format", [BAR_HEADER, "X.XSHG,03/06/2024,1,1,1,1,1"], "line 2", "YYYY-MM-DD"),
    ("no-such-day", [BAR_HEADER, "X.XSHG,2024-02-30,1,1,1,1,1"], "line 2", "not a real date"),
    ("saturday", [BAR_HEADER, "X.XSHG,2024-06-01,1,1,1,1,1"], "line 2", "not a trading day"),
    ("holiday", [BAR_HEADER, "X.XSHG,2024-10-01,1,1,1,1,1"], "line 2", "not a trading day"),
    ("future", [BAR_HEADER, f"X.XSHG,{future},1,1,1,1,1"], "line 2", "in the future"),
    ("text-price", [BAR_HEADER, "X.XSHG,2024-06-03,1,1,1,abc,1"], "line 2",
     "close 'abc' is not a number"),
    ("nan-price", [BAR_HEADER, "X.XSHG,2024-06-03,1,1,1,nan,1"], "line 2", "not a finite"),
    ("zero-price", [BAR_HEADER, "X.XSHG,2024-06-03,0,1,0,1,1"], "line 2", "open 0 is not above"),
    ("negative-volume", [BAR_HEADER, "X.XSHG,2024-06-03,1,1,1,1,-5"], "line 2",
     "volume -5 is negative"),
    ("high-below-low", [BAR_HEADER, "X.XSHG,2024-06-03,1,1,2,1,1"], "line 2",
     "high 1 is below low 2"),
    ("close-above-high", [BAR_HEADER, "X.XSHG,2024-06-03,1,2,1,3,1"], "line 2",
     "close 3 is outside"),
    ("duplicate", [BAR_HEADER] + GOOD_BARS + [GOOD_BARS[1]], "line 5", "already given at"),
]


@pytest.mark.parametrize("lines,where,problem", [b[1:] for b in BAD_BARS],
                         ids=[b[0] for b in BAD_BARS])
def test_bad_bar_file_is_refused_naming_row_and_problem_and_store_is_unchanged(
        seeded, tmp_path, lines, where, problem):
    bad = write(tmp_path / "bad.csv", lines)
    before = dump(seeded)
    with pytest.raises(lumadex.DataFileError) as e:
        _importer.import_files(seeded, bars=[bad])
    msg = str(e.value)
    assert where in msg and problem in msg, f"message {msg!r} lacks {where!r} / {problem!r}"
    assert str(bad) in msg
    assert dump(seeded) == before


BAD_FACTORS = [
    ("zero", ["underlying,ex_date,factor", "Y.XSHG,2024-06-03,0"], "line 2", "factor 0 is not"),
    ("negative", ["underlying,ex_date,factor", "Y.XSHG,2024-06-03,-2"], "line 2", "not above"),
    ("text", ["underlying,ex_date,factor", "Y.XSHG,2024-06-03,two"], "line 2", "not a number"),
    ("bad-date", ["underlying,ex_date,factor", "Y.XSHG,2024-13-03,2"], "line 2", "not a real"),
    ("wrong-columns", ["underlying,date,factor", "Y.XSHG,2024-06-03,2"], "header",
     "missing column(s) ex_date"),
    ("duplicate", ["underlying,ex_date,factor", "Y.XSHG,2024-06-03,2", "Y.XSHG,2024-06-03,3"],
     "line 3", "already given"),
]


@pytest.mark.parametrize("lines,where,problem", [b[1:] for b in BAD_FACTORS],
                         ids=[b[0] for b in BAD_FACTORS])
def test_bad_factor_file_takes_the_good_bar_file_down_with_it(seeded, tmp_path, lines, where,
                                                              problem):
    good = write(tmp_path / "good.csv", [BAR_HEADER] + GOOD_BARS)
    bad = write(tmp_path / "badf.csv", lines)
    before = dump(seeded)
    with pytest.raises(lumadex.DataFileError) as e:
        _importer.import_files(seeded, bars=[good], factors=[bad])
    assert where in str(e.value) and problem in str(e.value), str(e.value)
    assert dump(seeded) == before


@pytest.mark.parametrize("name,content,problem", [
    ("empty.csv", "", "empty"),
    ("bars.txt", BAR_HEADER + "\n", "unknown file type"),
    ("broken.parquet", "not parquet at all", "Parquet"),
], ids=["empty", "extension", "broken-parquet"])
def test_unreadable_files_are_refused(seeded, tmp_path, name, content, problem):
    path = tmp_path / name
    path.write_text(content)
    before = dump(seeded)
    with pytest.raises(lumadex.DataFileError, match=problem):
        _importer.import_files(seeded, bars=[path])
    assert dump(seeded) == before


def open_handles(path):
    """How many of this process's file descriptors point at ``path``."""
    target, n = os.path.realpath(path), 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            n += os.readlink(f"/proc/self/fd/{fd}") == target
        except OSError:
            pass
    return n


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
@pytest.mark.parametrize("lines", [
    ["underlying,date,open,high,low,close"] + [g.rsplit(",", 1)[0] for g in GOOD_BARS],
    [BAR_HEADER + ",note"] + [g + ",x" for g in GOOD_BARS],
    [BAR_HEADER] + GOOD_BARS[:1] + ["X.XSHG,2024-06-04,10.20,10.40,10.00,-1,1200"],
    [BAR_HEADER] + GOOD_BARS[:1] + ["X.XSHG,2024-06-04,10.20"],
    [BAR_HEADER] + GOOD_BARS + GOOD_BARS[:1],
], ids=["missing-column", "unknown-column", "bad-value", "short-row", "repeated-day"])
def test_a_refused_csv_file_is_closed(tmp_path, lines):
    path = write(tmp_path / "bars.csv", lines)
    with pytest.raises(lumadex.DataFileError) as refused:
        _importer.read_bars(path)
    # The refusal's traceback is still held here, so nothing has been garbage-collected.
    assert refused.traceback and open_handles(path) == 0


def test_duplicate_across_two_files_is_refused(seeded, tmp_path):
    a = write(tmp_path / "a.csv", [BAR_HEADER] + GOOD_BARS[:2])
    b = write(tmp_path / "b.csv", [BAR_HEADER] + GOOD_BARS[1:])
    before = dump(seeded)
    with pytest.raises(lumadex.DataFileError, match=r"b\.csv line 2: .*already given at .*a\.csv"):
        _importer.import_files(seeded, bars=[a, b])
    assert dump(seeded) == before


def test_failure_inside_the_write_rolls_everything_back(seeded, monkeypatch):
    before = dump(seeded)
    real = _store.write_rows

    def write_then_fail(conn, bars=(), factors=(), info=None):
        real(conn, bars, factors, info)
        raise sqlite3.OperationalError("disk I/O error (simulated)")

    monkeypatch.setattr(_store, "write_rows", write_then_fail)
    with pytest.raises(sqlite3.OperationalError):
        with _store.writer(seeded) as conn:
            _store.write_rows(conn, [("Z.XSHG", "2024-06-03", 1, 1, 1, 1, 1)],
                              [("Z.XSHG", "2024-06-03", 2.0)])
    assert dump(seeded) == before


# -- the command line ----------------------------------------------------------------------

def test_cli_import_reports_rows_taken_and_info_lists_ranges(tmp_path):
    store = tmp_path / "cli.sqlite"
    bars = write(tmp_path / "b.csv", [BAR_HEADER] + GOOD_BARS
                 + ["W.XSHG,2024-06-07,1,1,1,1,1"])
    facs = write(tmp_path / "f.csv", ["underlying,ex_date,factor", "X.XSHG,2024-06-04,2"])
    r = run_cli("import", str(store), "--bars", str(bars), "--factors", str(facs))
    assert r.returncode == 0, r.stderr
    assert "4 bar rows" in r.stdout and "1 adjustment factor rows" in r.stdout
    r = run_cli("info", "--store", str(store))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert any(line.split()[:4] == ["W.XSHG", "2024-06-07", "2024-06-07", "1"] for line in lines)
    assert any(line.split()[:5] == ["X.XSHG", "2024-06-03", "2024-06-05", "3", "1"]
               for line in lines)


def test_cli_import_of_a_bad_file_exits_non_zero_and_leaves_the_store(seeded, tmp_path):
    bad = write(tmp_path / "bad.csv", [BAR_HEADER] + GOOD_BARS + ["X.XSHG,2024-06-06,2,1,3,2,1"])
    before = dump(seeded)
    r = run_cli("import", str(seeded), "--bars", str(bad))
    assert r.returncode == 1
    assert "line 5" in r.stderr and "high 1 is below low 3" in r.stderr
    assert "unchanged" in r.stderr
    assert dump(seeded) == before


def test_cli_import_of_a_bad_file_does_not_create_a_store(tmp_path):
    bad = write(tmp_path / "bad.csv", [BAR_HEADER, "X.XSHG,2024-06-01,1,1,1,1,1"])
    r = run_cli("import", str(tmp_path / "new.sqlite"), "--bars", str(bad))
    assert r.returncode == 1
    assert not (tmp_path / "new.sqlite").exists()


# -- readers while another process imports ---------------------------------------------------

READER = textwrap.dedent("""
    import os, sys, time
    import lumadex
    store, n_batches, n_days, done = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    lumadex.init(store)
    ids = [f"U{k:03d}.XSHG" for k in range(n_batches)]
    reads, seen_max, problems = 0, 0, []

    def check(final):
        global reads, seen_max
        df = lumadex.get_price(ids, "2024-01-01", "2024-12-31", ["close", "volume"])
        reads += 1
        present = [] if df is None else sorted(set(df.index.get_level_values(0)))
        # batches commit in order: what is visible must be a prefix of the batches
        if present != ids[:len(present)]:
            problems.append(f"not a prefix: {present}")
        seen_max = max(seen_max, len(present))
        for u in present:
            part = df.loc[u]
            k = int(u[1:4])
            if len(part) != n_days:
                problems.append(f"{u}: {len(part)} rows of {n_days}")
            # pre prices: close k+1 before the ex-date at mid-period, divided by the
            # factor 2 imported in the same transaction -> (k+1)/2 throughout
            want = (k + 1) / 2
            if not ((part.close - want).abs() < 1e-12).all():
                problems.append(f"{u}: torn adjustment {sorted(set(part.close))[:3]}")
        if final and len(present) != n_batches:
            problems.append(f"final read sees {len(present)} of {n_batches} batches")

    while not os.path.exists(done):
        check(False)
    check(True)
    print(reads, seen_max, len(problems))
    for p in problems[:5]:
        print(p)
""")

WRITER = textwrap.dedent("""
    import sys
    import lumadex
    from lumadex import _importer
    store, n_batches, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    for k in range(n_batches):
        counts = _importer.import_files(store, bars=[f"{folder}/b{k}.csv"],
                                        factors=[f"{folder}/f{k}.csv"])
        assert counts["bars"] > 0 and counts["factors"] == 1, counts
    print("imported", n_batches)
""")


def test_two_readers_see_whole_imports_only_while_a_third_process_imports(tmp_path):
    n_batches = 30
    days = lumadex.get_trading_dates(datetime.date(2024, 1, 2), datetime.date(2024, 12, 31))
    mid = days[len(days) // 2]
    for k in range(n_batches):
        u = f"U{k:03d}.XSHG"
        rows = [BAR_HEADER]
        for d in days:
            p = (k + 1) if d < mid else (k + 1) / 2  # a 2:1 split on the mid-period ex-date
            rows.append(f"{u},{d.isoformat()},{p},{p},{p},{p},{100 if d < mid else 200}")
        write(tmp_path / f"b{k}.csv", rows)
        write(tmp_path / f"f{k}.csv", ["underlying,ex_date,factor", f"{u},{mid.isoformat()},2"])
    store = tmp_path / "shared.sqlite"
    _store.create(store)
    (tmp_path / "reader.py").write_text(READER)
    (tmp_path / "writer.py").write_text(WRITER)
    env = {**os.environ, "PYTHONPATH": SRC}
    done = tmp_path / "done"
    readers = [subprocess.Popen([sys.executable, str(tmp_path / "reader.py"), str(store),
                                 str(n_batches), str(len(days)), str(done)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=env) for _ in range(2)]
    writer = subprocess.run([sys.executable, str(tmp_path / "writer.py"), str(store),
                             str(n_batches), str(tmp_path)], capture_output=True, text=True,
                            env=env, timeout=300)
    done.write_text("")
    outs = [r.communicate(timeout=300) for r in readers]
    assert writer.returncode == 0, writer.stderr
    assert f"imported {n_batches}" in writer.stdout
    for (out, err), r in zip(outs, readers):
        assert r.returncode == 0, err
        reads, seen_max, n_problems = map(int, out.splitlines()[0].split())
        assert n_problems == 0, out
        assert reads >= 2 and seen_max == n_batches
    bars, factors = dump(store)
    assert len(bars) == n_batches * len(days) and len(factors) == n_batches


# -- encodings and odd text ------------------------------------------------------------------

NAMED = ["X.XSHG,2024-06-03,10,10.5,9.8,10.2,1000", "{name},2024-06-04,10,10.5,9.8,10.2,1000"]


@pytest.mark.parametrize("name,codec,bom,option", [
    ("浦发银行.XSHG", "gbk", b"", "gbk"),            # Excel on a Chinese-locale machine
    ("Société.XSHG", "latin-1", b"", "latin-1"),
    ("浦发银行.XSHG", "utf-16-le", b"\xff\xfe", None),  # Excel's "Unicode text"
    ("浦发银行.XSHG", "utf-8", b"\xef\xbb\xbf", None),
], ids=["gbk", "latin-1", "utf-16-bom", "utf-8-bom"])
def test_a_file_in_its_own_encoding_is_read_with_the_option_or_its_byte_order_mark(
        tmp_path, capsys, name, codec, bom, option):
    path = tmp_path / "b.csv"
    text = "\r\n".join([BAR_HEADER] + [r.format(name=name) for r in NAMED]) + "\r\n"
    path.write_bytes(bom + text.encode(codec))
    store = tmp_path / "s.sqlite"
    if option is not None:  # without the option the file is refused, naming the line
        assert cli.main(["import", str(store), "--bars", str(path)]) == 1
        err = capsys.readouterr().err
        assert f"{path} line 3:" in err and "--encoding" in err and "unchanged" in err
    args = ["--encoding", option] if option else []
    assert cli.main(["import", str(store), "--bars", str(path), *args]) == 0
    assert sorted(row[0] for row in dump(store)[0]) == sorted(["X.XSHG", name])


@pytest.mark.parametrize("data,where,problem", [
    ("\n".join([BAR_HEADER] + GOOD_BARS).encode("utf-16-le"), "line ",
     "looks like UTF-16 text without a byte-order mark"),
    ("\n".join([BAR_HEADER, GOOD_BARS[0], 'X.XSHG,"' + "9" * 140_000 + '",1,1,1,1,1',
                GOOD_BARS[1]]).encode(), "line 3", "longer than 131072 characters"),
    ("\n".join([BAR_HEADER, GOOD_BARS[0], "Ä.XSHG,2024-06-04,1,1,1,1,1"]).encode("cp1252"),
     "line 3", "are not utf-8 text"),
], ids=["utf-16-without-mark", "huge-field", "cp1252"])
def test_odd_text_gives_file_line_and_problem_and_status_1(seeded, tmp_path, capsys, data,
                                                           where, problem):
    path = tmp_path / "odd.csv"
    path.write_bytes(data)
    before = dump(seeded)
    assert cli.main(["import", str(seeded), "--bars", str(path)]) == 1
    err = capsys.readouterr().err
    assert f"{path} {where}" in err and problem in err, err
    assert dump(seeded) == before


def test_an_unknown_encoding_name_is_refused(seeded, tmp_path):
    path = write(tmp_path / "b.csv", [BAR_HEADER] + GOOD_BARS)
    with pytest.raises(lumadex.DataFileError, match="unknown encoding 'klingon'"):
        _importer.import_files(seeded, bars=[path], encoding="klingon")
