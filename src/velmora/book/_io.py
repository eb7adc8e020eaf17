"""Reading trade and market files into the frames ``value_book`` takes."""

import csv
import json
import math
import os
import pathlib
from typing import Any

import pandas as pd

from ._checks import (MARKET_COLUMNS, TermsTooDeep, TradeIds, blank, finite_number,
                      quantity_cell, terms)
from ._market_file import CURVE_COLUMNS, SURFACE_COLUMN, parse_curve, parse_surface

TRADE_COLUMNS = ("trade_id", "product", "terms")

# A file's header and its records, each with its line (its row, for Parquet).
Records = tuple[list[str], list[tuple[int, dict[str, Any]]]]


def _suffix(path: str | os.PathLike[str], allowed: set[str], what: str) -> str:
    suffix = pathlib.Path(path).suffix.lower()
    if suffix not in allowed:
        raise ValueError(f"{path}: cannot read a {what} file of type {suffix or '(none)'!r}; "
                         f"use one of {', '.join(sorted(allowed))}")
    return suffix


def _csv_records(path: str | os.PathLike[str]) -> Records:
    """(line number, record) per data row of a CSV file with a header line."""
    try:
        # utf-8-sig: a leading byte-order mark (Excel's "CSV UTF-8") is not a header name
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f)
            header = next(reader, None)
            if header is None:
                raise ValueError(f"{path}: the file is empty (no header line)")
            header = [h.strip() for h in header]
            records = []
            line = reader.line_num + 1
            for row in reader:
                if any(cell.strip() for cell in row):
                    if len(row) != len(header):
                        raise ValueError(f"{path}, line {line}: {len(row)} fields where the "
                                         f"header has {len(header)}")
                    records.append((line, dict(zip(header, row))))
                line = reader.line_num + 1
    except (OSError, UnicodeDecodeError, csv.Error) as e:
        raise ValueError(f"{path}: cannot read the file: {e}") from e
    return header, records


def _parquet_records(path: str | os.PathLike[str]) -> Records:
    """(row number, record) per row of a Parquet file; rows count from 1."""
    try:
        import pyarrow.parquet as pq
    except ImportError as e:
        raise ValueError(f"{path}: reading Parquet needs pyarrow "
                         f"(pip install 'velmora[parquet]'): {e}") from e
    try:
        # pyarrow's own rows keep a missing cell (None) apart from a NaN number
        table = pq.read_table(path)
        header = [str(c) for c in table.column_names]
        rows = table.to_pylist()
    except Exception as e:  # pyarrow raises its own kinds for a foreign file
        raise ValueError(f"{path}: cannot read the file: {e}") from e
    records = [(k + 1, {str(key): value for key, value in row.items()})
               for k, row in enumerate(rows)]
    return header, records


def _jsonl_records(path: str | os.PathLike[str]) -> Records:
    """(line number, record) per non-blank line of a JSON Lines file."""
    records, header = [], []
    try:
        with open(path, encoding="utf-8") as f:
            for number, text in enumerate(f, start=1):
                if not text.strip():
                    continue
                try:
                    record = json.loads(text)
                except json.JSONDecodeError as e:
                    raise ValueError(f"{path}, line {number}: not a JSON object: {e}") from e
                except RecursionError:
                    raise ValueError(f"{path}, line {number}: the JSON is nested too deeply "
                                     f"to read") from None
                if not isinstance(record, dict):
                    raise ValueError(f"{path}, line {number}: not a JSON object")
                for key in record:
                    if key not in header:
                        header.append(key)
                records.append((number, record))
    except (OSError, UnicodeDecodeError) as e:
        raise ValueError(f"{path}: cannot read the file: {e}") from e
    return header, records


def _place(path: str | os.PathLike[str], line: int, kind: str) -> str:
    return f"{path}, {'row' if kind == '.parquet' else 'line'} {line}"


def read_trades(path: str | os.PathLike[str]) -> pd.DataFrame:
    """The trades of a CSV, Parquet or JSON Lines file, one row per trade.

    Columns ``trade_id`` (text), ``product``, ``terms`` and ``quantity`` (1.0 where
    the file has no such column or leaves the cell empty).  In CSV and Parquet the
    terms are JSON objects as text; in JSON Lines they may be an object or its text.
    Terms are parsed here when they are valid JSON objects and kept as given
    otherwise: a trade with bad terms, an unknown product or a quantity that is not a
    number fails on its own at valuation, not the file.

    Raises
    ------
    ValueError
        Naming the file, the line (the row, for Parquet) and the problem, when the
        file cannot be read, a column is missing, or a ``trade_id`` is empty or
        repeated.
    """
    kind = _suffix(path, {".csv", ".parquet", ".pq", ".jsonl", ".ndjson"}, "trades")
    kind = ".parquet" if kind == ".pq" else kind
    reader = {".csv": _csv_records, ".parquet": _parquet_records,
              ".jsonl": _jsonl_records, ".ndjson": _jsonl_records}[kind]
    header, records = reader(path)
    missing = [c for c in TRADE_COLUMNS if c not in header]
    if missing and kind != ".jsonl" and kind != ".ndjson":
        raise ValueError(f"{path}: missing column(s) {', '.join(missing)}; a trades file "
                         f"has trade_id, product, terms and optionally quantity")
    rows = []
    ids = TradeIds()
    for line, record in records:
        where = _place(path, line, kind)
        for column in TRADE_COLUMNS:
            if column not in record:
                raise ValueError(f"{where}: no {column}")
        here = f"{'row' if kind == '.parquet' else 'line'} {line}"
        trade_id = ids.add(record["trade_id"], where, here, from_file=True)
        cell = record["terms"]
        if isinstance(cell, str):
            try:
                cell = terms(cell)
            except TermsTooDeep:
                raise ValueError(f"{where}: the terms are nested too deeply to read") from None
            except (ValueError, TypeError):
                pass  # kept as given: the trade's own error at valuation
        product = record["product"]
        rows.append((trade_id, product.strip() if isinstance(product, str) else product,
                     cell, quantity_cell(record.get("quantity"))))
    return pd.DataFrame(rows, columns=["trade_id", "product", "terms", "quantity"])


def read_market(path: str | os.PathLike[str]) -> pd.DataFrame:
    """The market of a CSV or Parquet file: one row per ``underlying``.

    Columns ``underlying``, ``spot``, ``vol``, ``r`` and ``q`` (decimals; ``r``
    continuously compounded).  An empty ``spot`` means the market-data client's close
    on the evaluation date; an empty ``vol``, ``r`` or ``q`` makes the trades on that
    underlying fail, unless the optional column ``vol_surface``, ``r_curve`` or
    ``q_curve`` gives a surface or curve in its place (``_market_file``); these
    cells are checked here and kept as text.

    Raises
    ------
    ValueError
        Naming the file, the line (the row, for Parquet) and the problem, when the
        file cannot be read, a column is missing, a number is not a number, or an
        underlying is listed twice.
    """
    kind = _suffix(path, {".csv", ".parquet", ".pq"}, "market")
    kind = ".parquet" if kind == ".pq" else kind
    header, records = (_csv_records if kind == ".csv" else _parquet_records)(path)
    missing = [c for c in ("underlying",) + MARKET_COLUMNS if c not in header]
    if missing:
        raise ValueError(f"{path}: missing column(s) {', '.join(missing)}; a market file has "
                         f"underlying, spot, vol, r and q")
    structures = [c for c in (*CURVE_COLUMNS, SURFACE_COLUMN) if c in header]
    index, values = [], []
    seen: dict[str, str] = {}  # underlying -> where it first stood
    for line, record in records:
        where = _place(path, line, kind)
        underlying = record["underlying"]
        if blank(underlying) or not isinstance(underlying, str):
            raise ValueError(f"{where}: empty underlying")
        underlying = underlying.strip()
        if underlying in seen:
            raise ValueError(f"{where}: underlying {underlying} listed twice "
                             f"(first at {seen[underlying]})")
        seen[underlying] = f"{'row' if kind == '.parquet' else 'line'} {line}"
        numbers: list[Any] = []
        for column in MARKET_COLUMNS:
            cell = record[column]
            if blank(cell):
                numbers.append(math.nan)
                continue
            numbers.append(finite_number(cell, f"{where}: {column}"))
        for column in structures:
            cell = record[column]
            if blank(cell):
                cell = None
            else:
                parse = parse_surface if column == SURFACE_COLUMN else parse_curve
                parse(cell, f"{where}: {column}")  # checked here, built by the workers
            numbers.append(cell)
        index.append(underlying)
        values.append(numbers)
    return pd.DataFrame(values, columns=list(MARKET_COLUMNS) + structures,
                        index=pd.Index(index, name="underlying", dtype=object))
