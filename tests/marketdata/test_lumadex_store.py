"""The store under what desks do to it: a file replaced or deleted under a running
reader, a folder the reader cannot write, importers racing to create a store, a
writer kept waiting for the lock, files that are not stores, and a missing date."""

import concurrent.futures
import datetime
import hashlib
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import threading

import numpy as np
import pandas as pd
import pytest

import lumadex
from lumadex import __main__ as cli
from lumadex import _importer, _store

SRC = os.path.dirname(os.path.dirname(os.path.abspath(lumadex.__file__)))
DAYS = lumadex.get_trading_dates(datetime.date(2024, 6, 3), datetime.date(2024, 6, 28))


def bars(underlying, price):
    return [(underlying, d.isoformat(), price, price, price, price, 100.0) for d in DAYS]


def make_store(path, rows):
    with _store.writer(path) as conn:
        _store.write_rows(conn, rows)
    return path


def closes(*ids):
    """{underlying: sorted distinct closes} of June 2024 as the client reads them now."""
    df = lumadex.get_price(list(ids), "2024-06-01", "2024-06-30", "close", adjust_type="none")
    if df is None:
        return {}
    return {u: sorted(set(df.loc[u].close)) for u in df.index.get_level_values(0).unique()}


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def sound(path):
    """Integrity check and bar count as a fresh connection sees the file."""
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return (conn.execute("PRAGMA integrity_check").fetchone()[0],
                conn.execute("SELECT COUNT(*) FROM bars").fetchone()[0])
    finally:
        conn.close()


@pytest.fixture
def store(tmp_path):
    path = make_store(tmp_path / "s.sqlite", bars("OLD.XSHG", 1.0))
    lumadex.init(path)
    yield path
    lumadex.init(None)


# -- a store replaced or deleted under a running reader ---------------------------------------

def delete_and_import_again(path, tmp_path):
    # Only the store file: the -wal and -shm files of the open readers stay behind.
    os.unlink(path)
    make_store(path, bars("NEW.XSHG", 2.0))


def move_a_new_store_over(path, tmp_path):
    new = make_store(tmp_path / "new.sqlite", bars("NEW.XSHG", 2.0))
    os.replace(new, path)


@pytest.mark.parametrize("replace", [delete_and_import_again, move_a_new_store_over])
def test_a_replaced_store_is_read_at_the_next_query_in_every_thread(store, tmp_path, replace):
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as other_thread:
        assert closes("OLD.XSHG") == {"OLD.XSHG": [1.0]}
        assert other_thread.submit(closes, "OLD.XSHG").result() == {"OLD.XSHG": [1.0]}
        make_store(store, bars("OLD.XSHG", 1.5))  # a correction while both readers are open
        assert closes("OLD.XSHG") == {"OLD.XSHG": [1.5]}
        replace(store, tmp_path)
        want = {"NEW.XSHG": [2.0]}
        assert closes("OLD.XSHG", "NEW.XSHG") == want
        assert other_thread.submit(closes, "OLD.XSHG", "NEW.XSHG").result() == want
    assert sound(store) == ("ok", len(DAYS))


def test_a_deleted_store_is_an_error_at_the_next_query_not_old_data(store):
    assert closes("OLD.XSHG") == {"OLD.XSHG": [1.0]}
    os.unlink(store)
    with pytest.raises(lumadex.StoreError, match="deleted or moved"):
        closes("OLD.XSHG")
    with pytest.raises(lumadex.StoreError, match="no store"):
        lumadex.init(store)


def test_a_store_behind_a_moved_link_is_read_from_the_next_query(tmp_path):
    # deployments publish a new store and flip a link to it in one rename
    for release in ("r1", "r2"):
        (tmp_path / release).mkdir()
    releases = [make_store(tmp_path / "r1" / "s.sqlite", bars("OLD.XSHG", 1.0)),
                make_store(tmp_path / "r2" / "s.sqlite", bars("NEW.XSHG", 2.0))]
    link = tmp_path / "current.sqlite"
    link.symlink_to(releases[0])
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as other_thread:
            assert lumadex.init(link) == link == lumadex.store_path()  # workers get the link
            assert closes("OLD.XSHG", "NEW.XSHG") == {"OLD.XSHG": [1.0]}
            assert other_thread.submit(closes, "OLD.XSHG").result() == {"OLD.XSHG": [1.0]}
            (tmp_path / "next").symlink_to(releases[1])
            os.replace(tmp_path / "next", link)
            want = {"NEW.XSHG": [2.0]}
            assert closes("OLD.XSHG", "NEW.XSHG") == want
            assert other_thread.submit(closes, "OLD.XSHG", "NEW.XSHG").result() == want
    finally:
        lumadex.init(None)


def test_init_drops_the_connections_already_open(store):
    before = _store.reader(store)
    lumadex.init(store)
    with pytest.raises(sqlite3.ProgrammingError):
        before.execute("SELECT 1")
    assert closes("OLD.XSHG") == {"OLD.XSHG": [1.0]}


# -- a folder the reader cannot write ----------------------------------------------------------

@pytest.mark.parametrize("wal,writable,shm,wal_bytes,mode", [
    (False, False, False, 0, "ro"),          # rollback journal: needs no side file
    (True, True, False, 0, "ro"),            # SQLite creates the -shm itself
    (True, False, True, 0, "ro"),            # a writer's -shm is there to read through
    (True, False, False, 0, "immutable"),    # no -shm can be made: read the file alone
    (True, False, False, 4152, None),        # committed changes only a -shm could show
])
def test_how_a_store_is_opened_for_reading(wal, writable, shm, wal_bytes, mode):
    assert _store._read_mode(wal, writable, shm, wal_bytes) == mode


def test_an_unwritable_folder_reads_the_file_alone_until_a_writer_appears(tmp_path,
                                                                          monkeypatch):
    path = make_store(tmp_path / "ro.sqlite", bars("OLD.XSHG", 1.0))
    monkeypatch.setattr(_store, "_folder_writable", lambda p: False)
    lumadex.init(path)
    try:
        assert closes("OLD.XSHG") == {"OLD.XSHG": [1.0]}
        assert sorted(os.listdir(tmp_path)) == ["ro.sqlite"]  # no -wal or -shm made
        # Another user's import starts: its -shm appears and readers go through it.
        other = sqlite3.connect(path, isolation_level=None)
        other.execute("PRAGMA wal_autocheckpoint = 0")
        other.executemany("INSERT INTO bars VALUES (?, ?, ?, ?, ?, ?, ?)",
                          bars("NEW.XSHG", 2.0))
        assert closes("OLD.XSHG", "NEW.XSHG") == {"NEW.XSHG": [2.0], "OLD.XSHG": [1.0]}
        other.close()
    finally:
        lumadex.init(None)


UNPRIVILEGED_READ = textwrap.dedent("""
    import os, sys
    import lumadex
    if os.geteuid() == 0:  # root reads every folder: become nobody to feel permissions
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    assert not os.access(os.path.dirname(sys.argv[1]), os.W_OK)
    try:
        lumadex.init(sys.argv[1])
        df = lumadex.get_price("OLD.XSHG", "2024-06-01", "2024-06-30", "close")
        print("rows", len(df))
    except lumadex.StoreError as e:
        print("StoreError", e)
""")


def hold_a_writer(path):
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("SELECT COUNT(*) FROM bars").fetchall()
    return conn


def leave_changes_in_the_log(path):
    # A committed change that was never folded into the store file: copy the
    # store and its -wal while a writer holds them, as a crashed import leaves them.
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("PRAGMA wal_autocheckpoint = 0")
    conn.execute("INSERT INTO store_info VALUES ('note', 'pending')")
    with open(path, "rb") as f:
        main = f.read()
    with open(path + "-wal", "rb") as f:
        log = f.read()
    conn.close()
    with open(path, "wb") as f:
        f.write(main)
    with open(path + "-wal", "wb") as f:
        f.write(log)


@pytest.mark.skipif(not hasattr(os, "geteuid"), reason="POSIX permissions")
@pytest.mark.parametrize("prepare,expect", [
    (None, "rows {n}"),
    (hold_a_writer, "rows {n}"),
    (leave_changes_in_the_log, "StoreError .*-wal.*cannot be read.*"),
], ids=["self-contained", "writer-at-work", "changes-left-in-the-log"])
def test_a_store_in_a_folder_the_user_cannot_write_is_readable(prepare, expect):
    # A folder outside pytest's private temp tree, which the unprivileged user can enter.
    folder = tempfile.mkdtemp(prefix="lumadex-ro-")
    os.chmod(folder, 0o755)
    path = make_store(os.path.join(folder, "s.sqlite"), bars("OLD.XSHG", 1.0))
    held = prepare(path) if prepare else None
    os.chmod(folder, 0o555)
    try:
        r = subprocess.run([sys.executable, "-c", UNPRIVILEGED_READ, path],
                           env={**os.environ, "PYTHONPATH": SRC}, capture_output=True,
                           text=True, timeout=120)
    finally:
        os.chmod(folder, 0o755)
        if held:
            held.close()
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)
    assert r.returncode == 0, r.stderr
    assert re.match(expect.format(n=len(DAYS)) + "$", r.stdout.strip(), re.S), r.stdout


# -- importers racing, and a writer kept waiting ----------------------------------------------

@pytest.mark.parametrize("empty_file_first", [False, True], ids=["no-file", "empty-file"])
def test_eight_imports_into_a_new_store_all_succeed(tmp_path, empty_file_first):
    for round_ in range(3):
        path = tmp_path / f"new{round_}.sqlite"
        if empty_file_first:
            path.touch()
        start = threading.Barrier(8)
        errors = []

        def one_import(k, path=path, start=start, errors=errors):
            start.wait()
            try:
                make_store(path, bars(f"U{k}.XSHG", 1.0 + k))
            except Exception as e:  # every failure is the finding
                errors.append(repr(e))

        threads = [threading.Thread(target=one_import, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert sound(path) == ("ok", 8 * len(DAYS))


def test_a_writer_kept_waiting_gets_a_clear_error_and_the_cli_no_traceback(
        store, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(_store, "BUSY_TIMEOUT_S", 0.2)
    csv_file = tmp_path / "b.csv"
    csv_file.write_text("underlying,date,open,high,low,close,volume\n"
                        "NEW.XSHG,2024-06-03,2,2,2,2,1\n")
    blocker = sqlite3.connect(store, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
    try:
        with pytest.raises(lumadex.StoreError, match="locked by another process"):
            _importer.import_files(store, bars=[csv_file])
        assert cli.main(["import", str(store), "--bars", str(csv_file)]) == 1
        assert "locked by another process" in capsys.readouterr().err
    finally:
        blocker.execute("ROLLBACK")
        blocker.close()
    assert _importer.import_files(store, bars=[csv_file])["bars"] == 1


# -- files that are not stores ------------------------------------------------------------------

def folder(path):
    os.mkdir(path)


def garbage(path):
    path.write_bytes(b"underlying,date\n" * 500)


def damaged_store(path):
    make_store(path, bars("OLD.XSHG", 1.0))
    data = bytearray(path.read_bytes())
    data[4096:] = bytes(len(data) - 4096)  # every page after the first zeroed
    path.write_bytes(bytes(data))


def foreign_database(path):
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE trades (id INTEGER PRIMARY KEY, qty REAL)")
    conn.execute("INSERT INTO trades VALUES (1, 100)")
    conn.commit()
    conn.close()


@pytest.mark.parametrize("make,problem", [
    (folder, "is a folder"),
    (garbage, "not an SQLite database"),
    (damaged_store, "damaged"),
    (foreign_database, "not a lumadex store"),
])
def test_a_file_that_is_not_a_store_is_refused_untouched(tmp_path, capsys, make, problem):
    path = tmp_path / "store.sqlite"
    make(path)
    before = None if path.is_dir() else digest(path)
    csv_file = tmp_path / "b.csv"
    csv_file.write_text("underlying,date,open,high,low,close,volume\n"
                        "NEW.XSHG,2024-06-03,2,2,2,2,1\n")
    assert cli.main(["import", str(path), "--bars", str(csv_file)]) == 1
    assert cli.main(["info", "--store", str(path)]) == 1
    err = capsys.readouterr().err
    assert err.count(problem) == 2, err
    with pytest.raises(lumadex.StoreError, match=problem):
        lumadex.init(path)
    if before is not None:
        assert digest(path) == before  # the header's journal mode included: not made WAL


# -- a missing date ---------------------------------------------------------------------------

@pytest.mark.parametrize("missing", [pd.NaT, np.datetime64("NaT"), "NaT"],
                         ids=["pandas", "numpy", "text"])
@pytest.mark.parametrize("which", ["start", "end"])
def test_a_missing_date_is_refused_not_read_as_every_bar(store, missing, which):
    dates = {"start": "2024-06-01", "end": "2024-06-30", which: missing}
    with pytest.raises(ValueError, match="NaT"):
        lumadex.get_price("OLD.XSHG", dates["start"], dates["end"], "close")
