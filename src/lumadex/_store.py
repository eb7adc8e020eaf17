"""The bar store: one SQLite file.

Layout
------
``bars``                one row per underlying and trading day: ``open``, ``high``,
                        ``low``, ``close`` (raw, unadjusted prices) and ``volume``
                        (shares); primary key (underlying, date), so one
                        underlying's date range is an index range scan.
``adjustment_factors``  one row per underlying and ex-date: ``factor``, the ratio by
                        which the corporate action lowers the price (2.0 for a
                        10-for-10 bonus issue; close before / theoretical ex price
                        for a cash dividend).
``store_info``          free key/value notes about the store (e.g. ``synthetic``).

Dates are ISO texts (``YYYY-MM-DD``), so they sort and compare as dates.

Queries run on read-only connections (``mode=ro``), one per thread and store,
kept open between calls; each query reads inside one transaction, so it sees one
committed state of the store.  Writes go through ``writer``: a read-write
connection in WAL mode, so that readers never block the writer and never see a
half-written import.
"""

import contextlib
import os
import pathlib
import sqlite3
import threading

SCHEMA = """
CREATE TABLE IF NOT EXISTS bars (
    underlying TEXT NOT NULL,
    date       TEXT NOT NULL,
    open       REAL NOT NULL CHECK (open > 0),
    high       REAL NOT NULL CHECK (high > 0),
    low        REAL NOT NULL CHECK (low > 0),
    close      REAL NOT NULL CHECK (close > 0),
    volume     REAL NOT NULL CHECK (volume >= 0),
    CHECK (high >= low),
    PRIMARY KEY (underlying, date)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS adjustment_factors (
    underlying TEXT NOT NULL,
    ex_date    TEXT NOT NULL,
    factor     REAL NOT NULL CHECK (factor > 0),
    PRIMARY KEY (underlying, ex_date)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS store_info (
    key   TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
"""

# How long a connection waits for another process's lock before giving up.
BUSY_TIMEOUT_S = 30.0

_local = threading.local()


class StoreError(RuntimeError):
    """The store file is missing or is not a lumadex store."""


def _ro_uri(path):
    return pathlib.Path(path).resolve().as_uri() + "?mode=ro"


def _check_store(conn, path):
    names = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    missing = {"bars", "adjustment_factors"} - names
    if missing:
        raise StoreError(f"{path} is not a lumadex store (no table {', '.join(sorted(missing))})")


def reader(path):
    """This thread's read-only connection to the store at ``path``.

    Opened on first use and kept; a process that forked gets its own.
    """
    path = os.fspath(path)
    conns = getattr(_local, "conns", None)
    if conns is None or getattr(_local, "pid", None) != os.getpid():
        conns = _local.conns = {}
        _local.pid = os.getpid()
    conn = conns.get(path)
    if conn is None:
        if not os.path.exists(path):
            raise StoreError(f"no store at {path}")
        conn = sqlite3.connect(_ro_uri(path), uri=True, timeout=BUSY_TIMEOUT_S,
                               isolation_level=None, check_same_thread=True)
        try:
            _check_store(conn, path)
        except BaseException:
            conn.close()
            raise
        conns[path] = conn
    return conn


def forget_readers():
    """Close this thread's cached read-only connections."""
    for conn in getattr(_local, "conns", {}).values():
        conn.close()
    _local.conns = {}


@contextlib.contextmanager
def read_transaction(path):
    """A read-only connection inside one read transaction (one consistent snapshot)."""
    conn = reader(path)
    conn.execute("BEGIN")
    try:
        yield conn
    finally:
        conn.execute("COMMIT")


def create(path):
    """Create an empty store at ``path`` (WAL mode); an existing store is left as it is."""
    conn = sqlite3.connect(os.fspath(path), timeout=BUSY_TIMEOUT_S, isolation_level=None)
    try:
        conn.execute("PRAGMA journal_mode=WAL")
        conn.executescript(SCHEMA)
        _check_store(conn, path)
    finally:
        conn.close()


@contextlib.contextmanager
def writer(path):
    """A read-write connection inside one immediate transaction.

    Everything done on it is committed together when the block ends normally and
    rolled back when it raises, so a failed write leaves the store unchanged.
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        create(path)
    conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT_S, isolation_level=None)
    try:
        conn.execute("PRAGMA journal_mode=WAL")
        _check_store(conn, path)
        conn.execute("BEGIN IMMEDIATE")
        try:
            yield conn
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        conn.execute("COMMIT")
    finally:
        conn.close()


def underlyings(path):
    """Each underlying in the store with its first and last bar date and bar count."""
    with read_transaction(path) as conn:
        return conn.execute(
            "SELECT underlying, MIN(date), MAX(date), COUNT(*) FROM bars "
            "GROUP BY underlying ORDER BY underlying"
        ).fetchall()


def factors(path):
    """Every adjustment factor in the store as (underlying, ex_date, factor)."""
    with read_transaction(path) as conn:
        return conn.execute(
            "SELECT underlying, ex_date, factor FROM adjustment_factors "
            "ORDER BY underlying, ex_date"
        ).fetchall()


def info(path):
    """The store's key/value notes as a dict."""
    with read_transaction(path) as conn:
        return dict(conn.execute("SELECT key, value FROM store_info ORDER BY key"))
