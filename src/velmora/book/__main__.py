"""Value a book of trades from files.

    python -m velmora.book TRADES --market MARKET [--date D] [--store PATH]
        [--ladder LO:HI:N] [--no-greeks] [--workers N] [--scheduler ADDRESS]
        [--out FILE.parquet|FILE.csv] [--plot FILE.png]

Prints the position summary per underlying and scenario.  Exit status: 0 when every
trade was valued, 3 when some failed (the results are still written), 1 when an input
file (or the store) cannot be read or an output cannot be written, 2 for a usage error.
"""

import argparse
import datetime
import pathlib
import sys

import pandas as pd

OK, FAILED_TRADES, UNREADABLE, USAGE = 0, 3, 1, 2


def _ladder(text):
    """LO:HI:N, the bounds as fractions (-0.1) or per cent (-10%)."""
    parts = text.split(":")
    if len(parts) != 3:
        raise argparse.ArgumentTypeError(f"--ladder wants LO:HI:N, got {text!r}")

    def bound(s):
        s = s.strip()
        return float(s[:-1]) / 100.0 if s.endswith("%") else float(s)

    try:
        lo, hi, n = bound(parts[0]), bound(parts[1]), int(parts[2])
    except ValueError:
        raise argparse.ArgumentTypeError(f"--ladder wants LO:HI:N with numbers, "
                                         f"got {text!r}") from None
    from . import spot_ladder

    try:
        return spot_ladder(lo, hi, n)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"--ladder {text}: {e}") from None


def _date(text):
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"--date wants YYYY-MM-DD, got {text!r}") from None


def _parser():
    p = argparse.ArgumentParser(
        prog="python -m velmora.book",
        description="Value a book of trades with greeks and a spot ladder.")
    p.add_argument("trades", help="trades file: .csv, .parquet or .jsonl")
    p.add_argument("--market", required=True,
                   help="market file (.csv or .parquet): underlying, spot, vol, r, q")
    p.add_argument("--date", type=_date, default=None,
                   help="evaluation date YYYY-MM-DD (default: today)")
    p.add_argument("--store", default=None,
                   help="lumadex store to read (default: the client's current store)")
    p.add_argument("--ladder", type=_ladder, default=None, metavar="LO:HI:N",
                   help="spot ladder: N shifts from LO to HI, e.g. -0.1:0.1:5 or -10%%:10%%:5")
    p.add_argument("--no-greeks", action="store_true", help="value npv only")
    p.add_argument("--workers", type=int, default=None, metavar="N",
                   help="local worker processes (default: one per core; 0: this process)")
    p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help="a Dask scheduler to run on instead of local processes")
    p.add_argument("--out", default=None, metavar="FILE",
                   help="write the results to FILE.parquet or FILE.csv")
    p.add_argument("--plot", default=None, metavar="FILE.png",
                   help="draw the spot ladder into a PNG")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    return p


def _check(parser, args):
    if args.workers is not None and args.workers < 0:
        parser.error(f"--workers must be 0 or more, got {args.workers}")
    if args.workers is not None and args.scheduler is not None:
        parser.error("--workers and --scheduler exclude each other")
    if args.out is not None and pathlib.Path(args.out).suffix.lower() not in (".parquet",
                                                                               ".csv"):
        parser.error(f"--out must end in .parquet or .csv, got {args.out!r}")
    if args.plot is not None:
        if pathlib.Path(args.plot).suffix.lower() != ".png":
            parser.error(f"--plot must end in .png, got {args.plot!r}")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            parser.error("--plot needs matplotlib: pip install 'velmora[plot]'")
    if args.scheduler is not None:
        try:
            import distributed  # noqa: F401
        except ImportError:
            parser.error("--scheduler needs dask's distributed: pip install 'velmora[cluster]'")


def _write(results, path):
    path = pathlib.Path(path)
    if path.suffix.lower() == ".parquet":
        frame = results.copy()
        frame.attrs = {}
        frame.to_parquet(path, index=False)
    else:
        results.to_csv(path, index=False)


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    _check(parser, args)

    from . import plot_ladder, read_market, read_trades, summarize, value_book

    import lumadex

    try:
        if args.store is not None:
            lumadex.init(args.store)
        trades = read_trades(args.trades)
        market = read_market(args.market)
    except (ValueError, lumadex.StoreError) as e:
        print(f"error: {e}", file=sys.stderr)
        return UNREADABLE

    client = None
    if args.scheduler is not None:
        from distributed import Client

        try:
            client = Client(args.scheduler, timeout="20s")
        except (OSError, TimeoutError) as e:
            print(f"error: cannot reach the Dask scheduler at {args.scheduler}: {e}",
                  file=sys.stderr)
            return UNREADABLE
        executor = client
    elif args.workers == 0:
        executor = "serial"
    else:
        executor = args.workers
    date = args.date or datetime.date.today()
    try:
        results = value_book(trades, market, date, scenarios=args.ladder,
                             greeks=not args.no_greeks, executor=executor,
                             progress=args.progress)
    finally:
        if client is not None:
            client.close()

    try:
        if args.out is not None:
            _write(results, args.out)
        if args.plot is not None:
            plot_ladder(results, args.plot)
    except (OSError, ValueError, ImportError) as e:
        print(f"error: cannot write the results: {e}", file=sys.stderr)
        return UNREADABLE

    failed = results[results["error"].notna()]
    n_trades = len(trades)
    n_failed = failed["trade_id"].nunique()
    scenarios = results["scenario"].nunique() if len(results) else 0
    print(f"{n_trades} trades x {scenarios} scenario(s) valued on {date}: "
          f"{n_trades - n_failed} valued, {n_failed} failed")
    with pd.option_context("display.width", 200, "display.max_rows", 500,
                           "display.float_format", "{:,.4f}".format):
        print(summarize(results).to_string())
    if n_failed:
        print("\nfailed trades:")
        first = failed.drop_duplicates("trade_id")
        for trade_id, error in zip(first["trade_id"][:20], first["error"][:20]):
            print(f"  {trade_id}: {error}")
        if n_failed > 20:
            print(f"  ... and {n_failed - 20} more (see the results' error column)")
    return FAILED_TRADES if n_failed else OK


if __name__ == "__main__":
    sys.exit(main())
