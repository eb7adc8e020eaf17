"""Loading bars and adjustment factors into a store.

File formats
------------
CSV (``.csv``, a header line, comma separated) or Parquet (``.parquet`` or
``.pq``; needs the optional ``pyarrow`` package).  CSV text is UTF-8 unless a
byte-order mark says otherwise (UTF-8, UTF-16 or UTF-32) or the ``encoding``
argument names another codec (e.g. "gbk" for files Excel saved on a
Chinese-locale machine); text the codec cannot decode is reported with its line
and the encodings to try.  Column order is free; every
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
undecodable text; a field longer than the CSV reader's limit (131,072
characters: usually an unclosed quote mark); missing or unknown columns; empty
underlying; a date that is not a real date in
``YYYY-MM-DD`` form; a bar date that is not a trading day of the exchange
calendar or that lies in the future; a number that does not parse or is not
finite; prices not above zero; a negative volume; ``high`` below ``low``; an
``open`` or ``close`` outside [``low``, ``high``]; a factor not above zero; the
same (underlying, date) twice in one import.

Everything named in one import is written in one transaction: either all rows
are taken or, on any problem, none, and the store is unchanged.  A row for an
(underlying, date) already in the store replaces it (a correction).
"""

import codecs
import contextlib
import csv
import datetime
import math
import os
import re
import sqlite3
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, NoReturn, TypeAlias, TypeVar

from . import _store
from ._calendar import is_trading_day
from ._store import BarRow, FactorRow, StrPath

_Row = TypeVar("_Row", BarRow, FactorRow)
# The data rows of a file: (where the row stands, for messages, and its fields by column).
_Rows: TypeAlias = Iterator[tuple[str, dict[str, Any]]]

BAR_COLUMNS = ("underlying", "date", "open", "high", "low", "close", "volume")
FACTOR_COLUMNS = ("underlying", "ex_date", "factor")
_ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")


class DataFileError(ValueError):
    """A data file that cannot be imported; the message names the file, line and problem."""


def _fail(where: str, problem: str) -> NoReturn:
    raise DataFileError(f"{where}: {problem}")


# -- reading ---------------------------------------------------------------------------

# Byte-order marks, longest first (the UTF-32 LE mark begins with the UTF-16 LE one).
_BOMS = ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"),
         (codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"),
         (codecs.BOM_UTF16_BE, "utf-16"))
_ENCODING_HINT = ("give the file's encoding with --encoding: gbk for a file Excel saved on a "
                  "Chinese-locale machine, latin-1 for Western European text, utf-16 for "
                  "Excel's Unicode text")


def _csv_encoding(path: str, encoding: str | None) -> str:
    """The codec to read ``path`` with: a byte-order mark decides; else ``encoding``
    (UTF-8 when not given)."""
    if encoding is not None:
        try:
            codecs.lookup(encoding)
        except LookupError:
            _fail(f"{path}", f"unknown encoding {encoding!r}; {_ENCODING_HINT}")
    with open(path, "rb") as f:
        head = f.read(4)
    for bom, name in _BOMS:
        if head.startswith(bom):
            return name
    return "utf-8" if encoding is None else encoding


def _decoding_failure(path: str, encoding: str) -> NoReturn:
    """Raise the DataFileError for text of ``path`` that ``encoding`` cannot decode."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        data.decode(encoding)
    except UnicodeDecodeError as e:
        line = data[:e.start].decode(encoding, errors="replace").count("\n") + 1
        hint = _ENCODING_HINT
        if b"\x00" in data[:e.start]:
            hint = ("the file holds NUL bytes, so it looks like UTF-16 text without a "
                    "byte-order mark; try --encoding utf-16-le (or utf-16-be)")
        _fail(f"{path} line {line}",
              f"the bytes {data[e.start:e.end]!r} are not {encoding} text; {hint}")
    _fail(f"{path}", f"cannot decode the file as {encoding} text; {_ENCODING_HINT}")


def _csv_problem(e: csv.Error) -> str:
    text = str(e)
    if "field larger than field limit" in text:
        return (f"a field is longer than {csv.field_size_limit()} characters (an unclosed "
                "quote mark makes the rest of the file one field)")
    return f"not readable as CSV ({text})"


@contextlib.contextmanager
def _csv_rows(path: str, encoding: str | None = None) -> Iterator[tuple[list[str], _Rows]]:
    """(header, iterator of (line label, row dict)) of a CSV file, open for the block."""
    if os.path.isdir(path):
        _fail(f"{path}", "is a folder, not a data file")
    try:
        codec = _csv_encoding(path, encoding)
        f = open(path, newline="", encoding=codec)
    except OSError as e:
        _fail(f"{path}", f"cannot read the file ({e.strerror})")
    with f:
        reader = csv.reader(f)

        def next_record() -> tuple[int, list[str]] | None:
            """(first line of the record, its fields), or None at the end of the file."""
            first = reader.line_num + 1
            try:
                return first, next(reader)
            except StopIteration:
                return None
            except csv.Error as e:
                _fail(f"{path} line {first}", _csv_problem(e))
            except UnicodeDecodeError:
                _decoding_failure(path, codec)

        try:
            got = next_record()
        except OSError as e:
            _fail(f"{path}", f"cannot read the file ({e.strerror})")
        if got is None:
            _fail(f"{path}", "the file is empty (no header line)")
        header = [h.strip() for h in got[1]]
        if any("\x00" in h for h in header):
            _fail(f"{path} line 1", "the header holds NUL characters: the file looks like "
                                    "UTF-16 text without a byte-order mark; try --encoding "
                                    "utf-16-le (or utf-16-be)")

        def rows() -> _Rows:
            while (got := next_record()) is not None:
                line, fields = got
                where = f"{path} line {line}"
                if not fields or all(not x.strip() for x in fields):
                    continue
                if len(fields) != len(header):
                    _fail(where, f"{len(fields)} fields, the header has {len(header)}")
                yield where, dict(zip(header, fields))

        yield header, rows()


def _rows_parquet(path: str) -> tuple[list[str], _Rows]:
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

    def rows() -> _Rows:
        for i, row in enumerate(table.to_pylist(), start=1):
            yield f"{path} row {i}", row

    return header, rows()


def _check_header(path: str, header: list[str], columns: tuple[str, ...]) -> None:
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


@contextlib.contextmanager
def _read(path: StrPath, columns: tuple[str, ...],
          encoding: str | None = None) -> Iterator[_Rows]:
    """The data rows of one file as an iterator of (line label, row dict), once its
    header is checked.

    A CSV file stays open for the block and is closed however it ends: a rejected
    header, a rejected row or the last row read.
    """
    path = os.fspath(path)
    ext = os.path.splitext(path)[1].lower()
    source: contextlib.AbstractContextManager[tuple[list[str], _Rows]]
    if ext == ".csv":
        source = _csv_rows(path, encoding)
    elif ext in (".parquet", ".pq"):
        source = contextlib.nullcontext(_rows_parquet(path))
    else:
        _fail(path, "unknown file type; use .csv, .parquet or .pq")
    with source as (header, rows):
        _check_header(path, header, columns)
        yield rows


# -- checking values --------------------------------------------------------------------

def _text(where: str, name: str, value: object) -> str:
    if not isinstance(value, str) or not value.strip():
        _fail(where, f"{name} is empty")
    return value.strip()


def _date(where: str, name: str, value: object) -> datetime.date:
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


def _number(where: str, name: str, value: Any) -> float:
    if isinstance(value, bool) or value is None:
        _fail(where, f"{name} is missing")
    try:
        x = float(value.strip() if isinstance(value, str) else value)
    except (TypeError, ValueError):
        _fail(where, f"{name} {value!r} is not a number")
    if not math.isfinite(x):
        _fail(where, f"{name} {value!r} is not a finite number")
    return x


def _check_bar(where: str, row: Mapping[str, Any], today: datetime.date) -> BarRow:
    underlying = _text(where, "underlying", row["underlying"])
    d = _date(where, "date", row["date"])
    if d > today:
        _fail(where, f"date {d} is in the future")
    if not is_trading_day(d):
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


def _check_factor(where: str, row: Mapping[str, Any]) -> FactorRow:
    underlying = _text(where, "underlying", row["underlying"])
    d = _date(where, "ex_date", row["ex_date"])
    f = _number(where, "factor", row["factor"])
    if f <= 0:
        _fail(where, f"factor {f:g} is not above zero")
    return (underlying, d.isoformat(), f)


def _checked_rows(path: StrPath, columns: tuple[str, ...],
                  check: Callable[[str, Mapping[str, Any]], _Row],
                  seen: dict[tuple[str, str], str] | None, key_name: str,
                  encoding: str | None) -> list[_Row]:
    """The rows of one file passed through ``check``, each (underlying, date) key once.

    ``seen`` maps the keys already taken (from this or earlier files of the same
    import) to where they stood; ``key_name`` names the date in the message.
    """
    seen = {} if seen is None else seen
    out = []
    with _read(path, columns, encoding) as rows:
        for where, row in rows:
            checked = check(where, row)
            key = checked[:2]
            if key in seen:
                _fail(where, f"{key[0]} {key_name}{key[1]} already given at {seen[key]}")
            seen[key] = where
            out.append(checked)
    return out


def read_bars(path: StrPath, seen: dict[tuple[str, str], str] | None = None,
              encoding: str | None = None) -> list[BarRow]:
    """Validated bar rows of one file as (underlying, date, open, high, low, close, volume).

    ``encoding``: of a CSV file without a byte-order mark (default UTF-8).
    """
    today = datetime.date.today()
    return _checked_rows(path, BAR_COLUMNS, lambda where, row: _check_bar(where, row, today),
                         seen, "", encoding)


def read_factors(path: StrPath, seen: dict[tuple[str, str], str] | None = None,
                 encoding: str | None = None) -> list[FactorRow]:
    """Validated factor rows of one file as (underlying, ex_date, factor)."""
    return _checked_rows(path, FACTOR_COLUMNS, _check_factor, seen, "ex-date ", encoding)


# -- importing --------------------------------------------------------------------------

def import_files(store: StrPath, bars: Iterable[StrPath] = (), factors: Iterable[StrPath] = (),
                 encoding: str | None = None) -> dict[str, int]:
    """Check every file, then write all their rows to ``store`` in one transaction.

    Creates the store when it does not exist yet.  ``encoding`` is the text
    encoding of CSV files that carry no byte-order mark (default UTF-8; e.g.
    "gbk" for files Excel saved on a Chinese-locale machine).

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
    lumadex.StoreError
        The store cannot be opened or written (a folder, a damaged file, another
        application's database, read-only, or locked by another process for longer
        than the lock timeout); nothing is written.
    """
    seen_bars: dict[tuple[str, str], str] = {}
    seen_factors: dict[tuple[str, str], str] = {}
    bar_rows = [r for p in bars for r in read_bars(p, seen_bars, encoding)]
    factor_rows = [r for p in factors for r in read_factors(p, seen_factors, encoding)]
    try:
        with _store.writer(store) as conn:
            rb, rf = _store.write_rows(conn, bar_rows, factor_rows)
    except sqlite3.DatabaseError as e:
        raise _store.store_error(os.fspath(store), "writing the import", e) from e
    return {"bars": len(bar_rows), "factors": len(factor_rows),
            "replaced_bars": rb, "replaced_factors": rf}
