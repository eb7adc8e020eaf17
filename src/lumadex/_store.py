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

Reading
-------
Queries run on read-only connections, one per thread and store, kept open
between calls; each query reads inside one transaction, so it sees one committed
state of the store.  Imports committed through ``writer`` are seen by the next
query.  Before each query the store file is looked at again (device, inode, size
and modification time): when it has been replaced at the same path (deleted and
imported again, or another file moved over it) or rewritten other than through
SQLite, the connection is reopened and the query reads the file now at the path;
when the file is gone, the query raises ``StoreError``.  ``reopen_all`` (called
by ``lumadex.init``) makes every thread reopen its connections.

A store in WAL mode needs a ``-shm`` side file to be read.  When the store's
folder cannot be written (read-only media, a folder of another user) and no
``-shm`` file is there, the store is opened *immutable*: SQLite reads the file
without locks or side files.  While a writer works on such a store its ``-shm``
file exists, and readers go through it as usual.  Changes still waiting in a
``-wal`` file cannot be read without a ``-shm``; such a store is refused with a
message saying how to fold them in.

Writing
-------
Writes go through ``writer``: a read-write connection in WAL mode, so readers
never block the writer and never see a half-written import; ``write_rows`` puts
checked bars, factors and notes on it.  Before changing
anything it checks that the file is an SQLite database holding a store's tables.
A missing store is built complete in a temporary file and linked into place (see
``_create_file``); an empty file is made a store under the write lock; so
several importers starting together on a new store all succeed.  A writer that
cannot get the lock within ``BUSY_TIMEOUT_S`` seconds raises ``StoreError``.
After committing, the writer folds the log into the store file and cuts it to
zero bytes, so a ``-wal`` file kept by open readers holds nothing that a file
later put at the same path could be mistaken for.
"""

import contextlib
import os
import pathlib
import sqlite3
import stat
import threading
import uuid
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal, TypeAlias

# A store's path, as a text or a path object.
StrPath: TypeAlias = str | os.PathLike[str]
# What identifies the file at a path: (device, inode, size, modification time in ns).
_Signature: TypeAlias = tuple[int, int, int, int]
# One cached reader: the connection, the file's signature when it was opened, the
# ``reopen_all`` generation it belongs to, and the ``-shm`` file ending an immutable read.
_Reader: TypeAlias = tuple[sqlite3.Connection, _Signature, int, str | None]
# Rows as ``write_rows`` takes them, checked: (underlying, ISO date, open, high, low,
# close, volume) and (underlying, ISO ex-date, factor).
BarRow: TypeAlias = tuple[str, str, float, float, float, float, float]
FactorRow: TypeAlias = tuple[str, str, float]

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
_SCHEMA_STATEMENTS = [s.strip() for s in SCHEMA.split(";") if s.strip()]
_STORE_TABLES = frozenset(("bars", "adjustment_factors"))
_SQLITE_MAGIC = b"SQLite format 3\x00"
_SIDE_FILES = ("-wal", "-shm", "-journal")

# How long a connection waits for another process's lock before giving up.
BUSY_TIMEOUT_S = 30.0

_local = threading.local()
# Bumped by reopen_all(); a cached connection from an older generation is reopened.
_generation = 0


class StoreError(RuntimeError):
    """The store file is missing, unreadable, locked, or is not a lumadex store."""


# -- errors --------------------------------------------------------------------------

def store_error(path: StrPath, doing: str, e: Exception) -> StoreError:
    """A StoreError saying what went wrong with the store at ``path`` in plain words."""
    name = getattr(e, "sqlite_errorname", "")
    if name.startswith(("SQLITE_BUSY", "SQLITE_LOCKED")):
        return StoreError(
            f"{path}: the store is locked by another process; gave up {doing} after "
            f"waiting {BUSY_TIMEOUT_S:g} s. Try again once the other import has finished")
    if name.startswith(("SQLITE_NOTADB", "SQLITE_CORRUPT")):
        return StoreError(f"{path} is not a lumadex store: the file is damaged or is not an "
                          f"SQLite database ({e})")
    if name.startswith("SQLITE_READONLY"):
        return StoreError(f"{path}: cannot write the store: the file or its folder is "
                          f"read-only ({e})")
    if name.startswith("SQLITE_CANTOPEN"):
        return StoreError(f"{path}: cannot open the store ({e}); check that its folder "
                          "exists and can be read")
    return StoreError(f"{path}: {doing} failed: {e}")


@contextlib.contextmanager
def _translated(path: StrPath, doing: str) -> Iterator[None]:
    """Turn SQLite's errors about the store file into a StoreError."""
    try:
        yield
    except sqlite3.DatabaseError as e:
        raise store_error(path, doing, e) from e


# -- the file -------------------------------------------------------------------------

def _signature(path: str, known: bool) -> _Signature:
    """(device, inode, size, mtime) of the store file; StoreError when there is none.

    ``known``: the path was opened before, so a missing file was deleted or moved.
    """
    try:
        st = os.stat(path)
    except FileNotFoundError:
        if known:
            raise StoreError(f"no store at {path} any more: the file was deleted or moved "
                             "away after it was opened") from None
        raise StoreError(f"no store at {path}") from None
    except OSError as e:
        raise StoreError(f"{path}: cannot read the store ({e.strerror})") from None
    if stat.S_ISDIR(st.st_mode):
        raise StoreError(f"{path} is a folder, not a store file; give the path of the "
                         "store file itself")
    if not stat.S_ISREG(st.st_mode):
        raise StoreError(f"{path} is not a regular file, so it is not a lumadex store")
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _header(path: str) -> bytes:
    """The first 100 bytes of the store file (b"" for an empty file).

    Refuses a file that is not an SQLite database, without opening it in SQLite.
    """
    try:
        with open(path, "rb") as f:
            head = f.read(100)
    except OSError as e:
        raise StoreError(f"{path}: cannot read the store ({e.strerror})") from None
    if head and not head.startswith(_SQLITE_MAGIC):
        raise StoreError(f"{path} is not a lumadex store: it is not an SQLite database "
                         "(a damaged file, or some other kind of file)")
    return head


def _in_wal_mode(head: bytes) -> bool:
    # Bytes 18 and 19 of the header are the write and read format versions: 2 is WAL.
    return len(head) >= 20 and head[18] == 2 and head[19] == 2


def _folder_writable(path: str) -> bool:
    """Whether this process may create files next to ``path`` (False on read-only media)."""
    folder = os.path.dirname(os.path.abspath(path))
    return os.access(folder, os.W_OK)


def _read_mode(wal: bool, folder_writable: bool, shm_exists: bool,
               wal_bytes: int) -> Literal["ro", "immutable"] | None:
    """How to open a store for reading: "ro" (through SQLite's locks and side files),
    "immutable" (the file alone), or None when neither can read all of it.

    A store in rollback mode, or one whose folder takes new files, or one whose
    ``-shm`` already exists (a writer is at work), is read as usual.  Otherwise a
    WAL store cannot get its ``-shm``: it is read immutable, unless committed
    changes still sit in its ``-wal`` file, which only a ``-shm`` can make readable.
    """
    if not wal or folder_writable or shm_exists:
        return "ro"
    return "immutable" if wal_bytes == 0 else None


def _open_reader(path: str) -> tuple[sqlite3.Connection, str | None]:
    """A new read-only connection to ``path`` and, when it is immutable, the ``-shm``
    file whose appearance ends that (else None).

    ``path`` may be a symbolic link: the file it names now is opened, and SQLite keeps
    that file's ``-wal`` and ``-shm`` beside the file itself, not beside the link.
    """
    real = os.path.realpath(path)
    head = _header(path)
    try:
        wal_bytes = os.path.getsize(real + "-wal")
    except OSError:
        wal_bytes = 0
    mode = _read_mode(_in_wal_mode(head), _folder_writable(real),
                      os.path.exists(real + "-shm"), wal_bytes)
    if mode is None:
        raise StoreError(
            f"{path}: the store has changes in {path}-wal that are not yet in the store "
            "file, and its folder cannot be written, so they cannot be read. Let a user "
            f"who can write the folder fold them in (sqlite3 {path} "
            "'PRAGMA wal_checkpoint(TRUNCATE)') or read a copy of the store")
    uri = pathlib.Path(real).as_uri() + "?mode=ro"
    if mode == "immutable":
        uri += "&immutable=1"
    with _translated(path, "opening the store"):
        conn = sqlite3.connect(uri, uri=True, timeout=BUSY_TIMEOUT_S, isolation_level=None,
                               check_same_thread=True)
    try:
        with _translated(path, "opening the store"):
            _check_store(conn, path)
    except BaseException:
        conn.close()
        raise
    return conn, (real + "-shm" if mode == "immutable" else None)


def _tables(conn: sqlite3.Connection) -> set[str]:
    return {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}


def _check_store(conn: sqlite3.Connection, path: str) -> None:
    missing = _STORE_TABLES - _tables(conn)
    if missing:
        raise StoreError(f"{path} is not a lumadex store (no table {', '.join(sorted(missing))})")
    for table in sorted(_STORE_TABLES):  # reads each table's first page: gross damage shows now
        conn.execute(f"SELECT 1 FROM {table} LIMIT 1").fetchall()


# -- reading -------------------------------------------------------------------------

def _thread_connections() -> dict[str, _Reader]:
    conns: dict[str, _Reader] | None = getattr(_local, "conns", None)
    if conns is None or getattr(_local, "pid", None) != os.getpid():
        # A forked child gets connections of its own.
        conns = _local.conns = {}
        _local.pid = os.getpid()
    return conns


def reader(path: StrPath) -> sqlite3.Connection:
    """This thread's read-only connection to the store at ``path``.

    Opened on first use and kept while the file at ``path`` stays the same one;
    reopened after ``reopen_all`` or when the file was replaced (a symbolic link
    moved to another file included: the file is looked up through ``path`` at every
    query); a process that forked gets its own.
    """
    path = os.fspath(path)
    conns = _thread_connections()
    entry = conns.get(path)
    sig = _signature(path, known=entry is not None)
    if entry is not None:
        conn, old_sig, generation, shm = entry
        # An immutable reader switches to the usual locks once a writer's -shm appears.
        if (old_sig == sig and generation == _generation
                and not (shm is not None and os.path.exists(shm))):
            return conn
        del conns[path]
        conn.close()
    conn, shm = _open_reader(path)
    conns[path] = (conn, sig, _generation, shm)
    return conn


def forget_readers() -> None:
    """Close this thread's cached read-only connections."""
    for entry in getattr(_local, "conns", {}).values():
        entry[0].close()
    _local.conns = {}


def reopen_all() -> None:
    """Make every thread open its read-only connections afresh at its next query."""
    global _generation
    _generation += 1
    forget_readers()


@contextlib.contextmanager
def read_transaction(path: StrPath) -> Iterator[sqlite3.Connection]:
    """A read-only connection inside one read transaction (one consistent snapshot).

    When SQLite fails on it, the connection is dropped (the next query opens a
    new one) and the failure is raised as a StoreError.
    """
    path = os.fspath(path)
    conn = reader(path)
    try:
        with _translated(path, "reading the store"):
            conn.execute("BEGIN")
            try:
                yield conn
            finally:
                if conn.in_transaction:
                    conn.execute("COMMIT")
    except StoreError:
        _drop_reader(path)
        raise


def _drop_reader(path: str) -> None:
    entry = _thread_connections().pop(path, None)
    if entry is not None:
        entry[0].close()


# -- writing -------------------------------------------------------------------------

@contextlib.contextmanager
def _folder_lock(folder: str) -> Iterator[None]:
    """Hold an exclusive lock on ``folder`` (where the system offers one) for a moment."""
    try:
        import fcntl

        fd = os.open(folder, os.O_RDONLY)
    except (ImportError, OSError):
        yield
        return
    try:
        with contextlib.suppress(OSError):
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _create_file(path: str) -> None:
    """Put a new, empty store at ``path`` unless some file is there already.

    The store is built complete in a temporary file of the same folder and then
    linked into place, so no reader ever sees half a store, and of several
    importers creating it at once exactly one links its file.  A ``-wal``,
    ``-shm`` or ``-journal`` file beside a missing store belongs to a deleted
    store (readers that were open on it keep them): it is removed first, since
    SQLite would otherwise pair the old log with the new file.
    """
    folder = os.path.dirname(os.path.abspath(path))
    # Created like any new file (mode 0666 less the umask), so the store is as
    # readable by others as a file SQLite creates itself.
    tmp = os.path.join(folder, f".{os.path.basename(path)}.{uuid.uuid4().hex}.new")
    try:
        fd = os.open(tmp, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666)
    except OSError as e:
        raise StoreError(f"{path}: cannot create a store in {folder} ({e.strerror})") from None
    os.close(fd)
    try:
        with _translated(path, "creating the store"):
            conn = sqlite3.connect(tmp, isolation_level=None)
            try:
                conn.execute("PRAGMA journal_mode=WAL")
                for statement in _SCHEMA_STATEMENTS:
                    conn.execute(statement)
            finally:
                conn.close()
        with _folder_lock(folder):
            if not os.path.lexists(path):
                for side in _SIDE_FILES:
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(path + side)
                try:
                    os.link(tmp, path)
                except FileExistsError:
                    pass
                except OSError:
                    # No hard links on this file system; the folder lock keeps
                    # importers from overwriting one another.
                    os.replace(tmp, path)
    finally:
        for leftover in [tmp] + [tmp + side for side in _SIDE_FILES]:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(leftover)


def _open_writer(path: str) -> sqlite3.Connection:
    """A read-write connection to the store at ``path``, created when there is no file.

    A folder, a file that is not an SQLite database, and an SQLite database with
    other tables are refused before anything in them is changed.  An empty file
    is made a store under the write lock, creating only the tables not there yet.
    """
    if os.path.isdir(path):
        raise StoreError(f"{path} is a folder, not a store file; give the path of the "
                         "store file itself")
    if not os.path.lexists(path):
        _create_file(path)
    elif not _folder_writable(path):
        raise StoreError(f"{path}: cannot write the store: its folder is read-only for "
                         "this user (an import needs to create files beside the store)")
    # A file not yet in WAL mode (an empty file, or a store in another journal mode)
    # is switched and given its tables by one importer at a time: two connections
    # that both hold a read lock while each waits to switch the journal mode would
    # wait on each other until the busy timeout.
    one_at_a_time: contextlib.AbstractContextManager[None]
    if _in_wal_mode(_header(path)):
        one_at_a_time = contextlib.nullcontext()
    else:
        one_at_a_time = _folder_lock(os.path.dirname(os.path.abspath(path)))
    with one_at_a_time:
        return _open_settled_writer(path)


def _open_settled_writer(path: str) -> sqlite3.Connection:
    with _translated(path, "opening the store"):
        conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT_S, isolation_level=None)
    try:
        with _translated(path, "opening the store"):
            names = _tables(conn)
            if names and not _STORE_TABLES <= names:
                _check_store(conn, path)  # another application's database: left as it is
            conn.execute("PRAGMA journal_mode=WAL")
            if not _STORE_TABLES <= names:
                conn.execute("BEGIN IMMEDIATE")
                try:
                    names = _tables(conn)
                    if names and not _STORE_TABLES <= names:
                        _check_store(conn, path)
                    for statement in _SCHEMA_STATEMENTS:
                        conn.execute(statement)
                except BaseException:
                    conn.execute("ROLLBACK")
                    raise
                conn.execute("COMMIT")
    except BaseException:
        conn.close()
        raise
    return conn


def _empty_log(conn: sqlite3.Connection) -> None:
    """Fold the write-ahead log into the store file and cut the log to zero bytes.

    Readers that stay open keep the ``-wal`` file from being deleted when the
    writer closes; left full, it would be read as part of any other file later
    put at the same path.  Waits at most a second for readers in mid-query;
    if they take longer the log stays as it is until the next import.
    """
    with contextlib.suppress(sqlite3.Error):
        conn.execute("PRAGMA busy_timeout = 1000")
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()


def create(path: StrPath) -> None:
    """Create an empty store at ``path`` (WAL mode); an existing store is left as it is."""
    _open_writer(os.fspath(path)).close()


@contextlib.contextmanager
def writer(path: StrPath) -> Iterator[sqlite3.Connection]:
    """A read-write connection inside one immediate transaction.

    Everything done on it is committed together when the block ends normally and
    rolled back when it raises, so a failed write leaves the store unchanged.
    Creates the store when there is no file at ``path``.

    Raises
    ------
    StoreError
        ``path`` is a folder, a damaged file or another application's database,
        cannot be written, or another process held the lock longer than
        ``BUSY_TIMEOUT_S``.
    """
    path = os.fspath(path)
    conn = _open_writer(path)
    try:
        with _translated(path, "waiting for the write lock"):
            conn.execute("BEGIN IMMEDIATE")
        try:
            yield conn
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        with _translated(path, "committing the import"):
            conn.execute("COMMIT")
        _empty_log(conn)
    finally:
        conn.close()


def write_rows(conn: sqlite3.Connection, bars: Sequence[BarRow] = (),
               factors: Sequence[FactorRow] = (),
               info: Mapping[str, str] | None = None) -> tuple[int, int]:
    """Insert checked rows on an open write transaction; returns the counts replaced.

    ``bars`` and ``factors`` are read twice (the rows they replace are counted first),
    so they are sequences, not one-pass iterators.
    """
    replaced_bars = replaced_factors = 0
    for row in bars:
        replaced_bars += conn.execute(
            "SELECT COUNT(*) FROM bars WHERE underlying = ? AND date = ?", row[:2]
        ).fetchone()[0]
    conn.executemany(
        "INSERT OR REPLACE INTO bars (underlying, date, open, high, low, close, volume) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)", bars)
    for factor_row in factors:
        replaced_factors += conn.execute(
            "SELECT COUNT(*) FROM adjustment_factors WHERE underlying = ? AND ex_date = ?",
            factor_row[:2]).fetchone()[0]
    conn.executemany(
        "INSERT OR REPLACE INTO adjustment_factors (underlying, ex_date, factor) "
        "VALUES (?, ?, ?)", factors)
    if info:
        conn.executemany("INSERT OR REPLACE INTO store_info (key, value) VALUES (?, ?)",
                         sorted(info.items()))
    return replaced_bars, replaced_factors


# -- what a store holds ----------------------------------------------------------------

def _read_all(path: StrPath, sql: str) -> list[Any]:
    """Every row ``sql`` selects from the store at ``path``, in one read transaction."""
    with read_transaction(path) as conn:
        return conn.execute(sql).fetchall()


def underlyings(path: StrPath) -> list[tuple[str, str, str, int]]:
    """Each underlying in the store with its first and last bar date and bar count."""
    return _read_all(path, "SELECT underlying, MIN(date), MAX(date), COUNT(*) FROM bars "
                           "GROUP BY underlying ORDER BY underlying")


def factors(path: StrPath) -> list[tuple[str, str, float]]:
    """Every adjustment factor in the store as (underlying, ex_date, factor)."""
    return _read_all(path, "SELECT underlying, ex_date, factor FROM adjustment_factors "
                           "ORDER BY underlying, ex_date")


def info(path: StrPath) -> dict[str, str]:
    """The store's key/value notes as a dict."""
    return dict(_read_all(path, "SELECT key, value FROM store_info ORDER BY key"))
