"""Loading bars and adjustment factors into a store.

File formats
------------
CSV (``.csv``, UTF-8, a header line, comma separated) or Parquet (``.parquet`` or
``.pq``; needs the optional ``pyarrow`` package).  Column order is free; every
listed column is required and no other column is accepted.

bars
    ``underlying`` (text, e.g. ``600000.XSHG``), ``date`` (``YYYY-MM-DD``, or a
    date column in Parquet), ``open``, ``high``, ``low``, ``close`` (raw prices,
    > 0), ``volume`` (shares, >= 0).
adjustment factors
    ``underlying``, ``ex_date`` (``YYYY-MM-DD``), ``factor`` (> 0: the ratio by
    which the corporate action lowers the price from the ex-date on, e.g. 2.0 for
    a 10-for-10 bonus issue).

Checks, each reported with the file, the line (CSV: the line number counting the
header as line 1; Parquet: the row number counting from 1) and the problem:
missing or unknown columns; empty underlying; a date that is not a real date in
``YYYY-MM-DD`` form; a bar date that is not a trading day of the exchange
calendar or that lies in the future; a number that does not parse or is not
finite; prices not above zero; a negative volume; ``high`` below ``low``; an
``open`` or ``close`` outside [``low``, ``high``]; a factor not above zero; the
same (underlying, date) twice in one import.

Everything named in one import is written in one transaction: either all rows
are taken or, on any problem, none, and the store is unchanged.  A row for an
(underlying, date) already in the store replaces it (a correction).
"""

import csv
import datetime
import math
import os
import re

from . import _store
from ._calendar import _sessions

BAR_COLUMNS = ("underlying", "date", "open", "high", "low", "close", "volume")
FACTOR_COLUMNS = ("underlying", "ex_date", "factor")
_ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")


class DataFileError(ValueError):
    """A data file that cannot be imported; the message names the file, line and problem."""


def _fail(where, problem):
    raise DataFileError(f"{where}: {problem}")


# -- reading ---------------------------------------------------------------------------

def _rows_csv(path):
    """(header, iterator of (line label, row dict)) of a CSV file."""
    f = open(path, newline="", encoding="utf-8-sig")
    reader = csv.reader(f)
    try:
        header = next(reader)
    except StopIteration:
        f.close()
        _fail(f"{path}", "the file is empty (no header line)")
    header = [h.strip() for h in header]

    def rows():
        with f:
            for fields in reader:
                where = f"{path} line {reader.line_num}"
                if not fields or all(not x.strip() for x in fields):
                    continue
                if len(fields) != len(header):
                    _fail(where, f"{len(fields)} fields, the header has {len(header)}")
                yield where, dict(zip(header, fields))

    return header, rows()


def _rows_parquet(path):
    try:
        import pyarrow.parquet as pq
    except ImportError:
        _fail(f"{path}", "reading Parquet needs the optional pyarrow package "
                         "(pip install pyarrow)")
    try:
        table = pq.read_table(path)
    except Exception as e:  # pyarrow raises several kinds for a damaged file
        _fail(f"{path}", f"not a readable Parquet file ({e})")
    header = list(table.column_names)

    def rows():
        for i, row in enumerate(table.to_pylist(), start=1):
            yield f"{path} row {i}", row

    return header, rows()


def _read(path, columns):
    path = os.fspath(path)
    ext = os.path.splitext(path)[1].lower()
    if ext == ".csv":
        header, rows = _rows_csv(path)
    elif ext in (".parquet", ".pq"):
        header, rows = _rows_parquet(path)
    else:
        _fail(path, "unknown file type; use .csv, .parquet or .pq")
    missing = [c for c in columns if c not in header]
    unknown = [c for c in header if c not in columns]
    if missing or unknown or len(set(header)) != len(header):
        problems = []
        if missing:
            problems.append("missing column(s) " + ", ".join(missing))
        if unknown:
            problems.append("unknown column(s) " + ", ".join(unknown))
        if len(set(header)) != len(header):
            problems.append("repeated column names")
        _fail(f"{path} header",
              "; ".join(problems) + "; expected columns: " + ", ".join(columns))
    return rows


# -- checking values --------------------------------------------------------------------

def _text(where, name, value):
    if not isinstance(value, str) or not value.strip():
        _fail(where, f"{name} is empty")
    return value.strip()


def _date(where, name, value):
    if isinstance(value, datetime.datetime):
        if value.time() != datetime.time(0):
            _fail(where, f"{name} {value} has a time of day; a date is expected")
        return value.date()
    if isinstance(value, datetime.date):
        return value
    text = value.strip() if isinstance(value, str) else None
    if text is None or not _ISO_DATE.fullmatch(text):
        _fail(where, f"{name} {value!r} is not a date in YYYY-MM-DD form")
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        _fail(where, f"{name} {value!r} is not a real date")


def _number(where, name, value):
    if isinstance(value, bool) or value is None:
        _fail(where, f"{name} is missing")
    try:
        x = float(value.strip() if isinstance(value, str) else value)
    except (TypeError, ValueError):
        _fail(where, f"{name} {value!r} is not a number")
    if not math.isfinite(x):
        _fail(where, f"{name} {value!r} is not a finite number")
    return x


def _trading_days():
    return frozenset(_sessions())


def _check_bar(where, row, trading, today):
    underlying = _text(where, "underlying", row["underlying"])
    d = _date(where, "date", row["date"])
    if d > today:
        _fail(where, f"date {d} is in the future")
    if d not in trading:
        _fail(where, f"date {d} is not a trading day of the exchange")
    o, h, lo, c, v = (_number(where, k, row[k]) for k in ("open", "high", "low", "close", "volume"))
    for name, x in (("open", o), ("high", h), ("low", lo), ("close", c)):
        if x <= 0:
            _fail(where, f"{name} {x:g} is not above zero")
    if v < 0:
        _fail(where, f"volume {v:g} is negative")
    if h < lo:
        _fail(where, f"high {h:g} is below low {lo:g}")
    for name, x in (("open", o), ("close", c)):
        if not lo <= x <= h:
            _fail(where, f"{name} {x:g} is outside [low, high] = [{lo:g}, {h:g}]")
    return (underlying, d.isoformat(), o, h, lo, c, v)


def _check_factor(where, row):
    underlying = _text(where, "underlying", row["underlying"])
    d = _date(where, "ex_date", row["ex_date"])
    f = _number(where, "factor", row["factor"])
    if f <= 0:
        _fail(where, f"factor {f:g} is not above zero")
    return (underlying, d.isoformat(), f)


def read_bars(path, seen=None):
    """Validated bar rows of one file as (underlying, date, open, high, low, close, volume)."""
    trading, today = _trading_days(), datetime.date.today()
    seen = {} if seen is None else seen
    out = []
    for where, row in _read(path, BAR_COLUMNS):
        bar = _check_bar(where, row, trading, today)
        key = bar[:2]
        if key in seen:
            _fail(where, f"{key[0]} {key[1]} already given at {seen[key]}")
        seen[key] = where
        out.append(bar)
    return out


def read_factors(path, seen=None):
    """Validated factor rows of one file as (underlying, ex_date, factor)."""
    seen = {} if seen is None else seen
    out = []
    for where, row in _read(path, FACTOR_COLUMNS):
        fac = _check_factor(where, row)
        key = fac[:2]
        if key in seen:
            _fail(where, f"{key[0]} ex-date {key[1]} already given at {seen[key]}")
        seen[key] = where
        out.append(fac)
    return out


# -- writing ----------------------------------------------------------------------------

def write_rows(conn, bars=(), factors=(), info=None):
    """Insert checked rows on an open write transaction; returns the counts replaced."""
    replaced_bars = replaced_factors = 0
    for row in bars:
        replaced_bars += conn.execute(
            "SELECT COUNT(*) FROM bars WHERE underlying = ? AND date = ?", row[:2]
        ).fetchone()[0]
    conn.executemany(
        "INSERT OR REPLACE INTO bars (underlying, date, open, high, low, close, volume) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)", bars)
    for row in factors:
        replaced_factors += conn.execute(
            "SELECT COUNT(*) FROM adjustment_factors WHERE underlying = ? AND ex_date = ?",
            row[:2]).fetchone()[0]
    conn.executemany(
        "INSERT OR REPLACE INTO adjustment_factors (underlying, ex_date, factor) "
        "VALUES (?, ?, ?)", factors)
    if info:
        conn.executemany("INSERT OR REPLACE INTO store_info (key, value) VALUES (?, ?)",
                         sorted(info.items()))
    return replaced_bars, replaced_factors


def import_files(store, bars=(), factors=()):
    """Check every file, then write all their rows to ``store`` in one transaction.

    Creates the store when it does not exist yet.

    Returns
    -------
    dict
        ``bars`` and ``factors``: rows taken; ``replaced_bars`` and
        ``replaced_factors``: how many of them replaced rows already stored.

    Raises
    ------
    DataFileError
        For the first problem found, naming the file, the line and the problem;
        nothing is written.
    """
    seen_bars, seen_factors = {}, {}
    bar_rows = [r for p in bars for r in read_bars(p, seen_bars)]
    factor_rows = [r for p in factors for r in read_factors(p, seen_factors)]
    with _store.writer(store) as conn:
        rb, rf = write_rows(conn, bar_rows, factor_rows)
    return {"bars": len(bar_rows), "factors": len(factor_rows),
            "replaced_bars": rb, "replaced_factors": rf}
