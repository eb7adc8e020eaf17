"""Command line of the lumadex client.

    python -m lumadex import STORE [--bars FILE ...] [--factors FILE ...] [--encoding ENC]
    python -m lumadex info [--store STORE]
    python -m lumadex sample [--store PATH] [--csv DIR]

``import`` checks every file and loads all of them into STORE (created when
missing) in one transaction, or nothing at all; ``info`` lists each underlying
of a store (default: the sample store) with its date range; ``sample`` builds the
synthetic sample store (by default into the cache directory the client reads it
from) and can write the same data as CSV files for the importer.
"""

import argparse
import csv
import os
import sqlite3
import sys
from collections.abc import Sequence

from . import _calendar, _config, _importer, _sample, _store


def _cmd_import(args: argparse.Namespace) -> int:
    if not args.bars and not args.factors:
        print("error: nothing to import; give --bars and/or --factors files", file=sys.stderr)
        return 2
    try:
        counts = _importer.import_files(args.store, bars=args.bars, factors=args.factors,
                                        encoding=args.encoding)
    except (_importer.DataFileError, _store.StoreError) as e:
        print(f"error: {e}", file=sys.stderr)
        print("nothing was imported; the store is unchanged", file=sys.stderr)
        return 1
    except (OSError, sqlite3.Error) as e:
        print(f"error: {args.store}: {e}", file=sys.stderr)
        return 1
    print(f"imported into {args.store}: {counts['bars']} bar rows "
          f"({counts['replaced_bars']} replacing stored rows), {counts['factors']} "
          f"adjustment factor rows ({counts['replaced_factors']} replacing stored rows)")
    return 0


def _cmd_info(args: argparse.Namespace) -> int:
    path = args.store if args.store else _config.store_path()
    try:
        rows = _store.underlyings(path)
        facs = _store.factors(path)
        notes = _store.info(path)
    except _store.StoreError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except (OSError, sqlite3.Error) as e:
        print(f"error: {path}: {e}", file=sys.stderr)
        return 1
    print(f"store: {path}")
    if notes.get("synthetic") == "yes":
        print(f"note:  {notes.get('description', 'synthetic data')}")
    n_factors: dict[str, int] = {}
    for u, _, _ in facs:
        n_factors[u] = n_factors.get(u, 0) + 1
    print(f"{'underlying':<16} {'first':<10}  {'last':<10}  {'bars':>6}  {'factors':>7}")
    for u, first, last, count in rows:
        print(f"{u:<16} {first:<10}  {last:<10}  {count:>6}  {n_factors.get(u, 0):>7}")
    if not rows:
        print("(no bars)")
    print(f"calendar: published to {_calendar.published_last_day()}, "
          f"estimated from {_calendar.first_estimated_day()} to {_calendar.ESTIMATE_LAST_DAY}")
    return 0


def _cmd_sample(args: argparse.Namespace) -> int:
    if args.csv:
        bars, factors, _ = _sample.generate()
        os.makedirs(args.csv, exist_ok=True)
        for name, columns, rows in (("sample_bars.csv", _importer.BAR_COLUMNS, bars),
                                    ("sample_factors.csv", _importer.FACTOR_COLUMNS, factors)):
            with open(os.path.join(args.csv, name), "w", newline="", encoding="utf-8") as f:
                w = csv.writer(f)
                w.writerow(columns)
                w.writerows(rows)
        print(f"wrote {len(bars)} bars and {len(factors)} factors (synthetic) to {args.csv}")
    if args.store or not args.csv:
        path = _sample.build(args.store) if args.store else _sample.ensure_sample_store()
        print(f"sample store (synthetic data): {path}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m lumadex", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("import", help="load bars and adjustment factors into a store")
    p.add_argument("store", help="store file (created when missing)")
    p.add_argument("--bars", nargs="+", default=[], metavar="FILE",
                   help="bar files (.csv, .parquet): underlying,date,open,high,low,close,volume")
    p.add_argument("--factors", nargs="+", default=[], metavar="FILE",
                   help="adjustment factor files (.csv, .parquet): underlying,ex_date,factor")
    p.add_argument("--encoding", metavar="ENC",
                   help="text encoding of CSV files without a byte-order mark (default "
                        "utf-8; gbk for files Excel saved on a Chinese-locale machine)")
    p.set_defaults(run=_cmd_import)
    p = sub.add_parser("info", help="list each underlying of a store with its date range")
    p.add_argument("--store", help="store file (default: the sample store)")
    p.set_defaults(run=_cmd_info)
    p = sub.add_parser("sample", help="build the synthetic sample store")
    p.add_argument("--store", help="write the sample store here instead of the cache directory")
    p.add_argument("--csv", metavar="DIR", help="also write the sample data as CSV files to DIR")
    p.set_defaults(run=_cmd_sample)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
