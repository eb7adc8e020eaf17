"""Value a book of trades from files.

    velmora-book TRADES --market MARKET [--date YYYY-MM-DD] [--store PATH]
        [--ladder LO:HI:N] [--vol-ladder LO:HI:N [--grid]] [--engine KIND=NAME ...]
        [--no-greeks] [--workers N] [--scheduler ADDRESS]
        [--out FILE.parquet|FILE.csv] [--plot FILE.png]

(also ``python -m velmora.book``).  Prints the position summary per underlying and
scenario in desk units.  Exit status: 0 when every trade was valued, 3 when some failed
(the results are still written), 1 when an input file (or the store, or the Dask
cluster) cannot be read or reached or an output cannot be written, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import datetime
import pathlib
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

import pandas as pd

if TYPE_CHECKING:
    from ._scenario import Scenario

OK, FAILED_TRADES, UNREADABLE, USAGE = 0, 3, 1, 2

# options whose value may start with "-" (a ladder from -10%), given with or without "="
_LADDERS = ("--ladder", "--vol-ladder")


def _bounds(text: str, option: str) -> tuple[float, float, int]:
    """LO:HI:N with LO and HI as fractions (-0.1) or per cent (-10%)."""
    parts = text.split(":")
    if len(parts) != 3:
        raise argparse.ArgumentTypeError(f"{option} wants LO:HI:N, got {text!r}")

    def bound(s: str) -> float:
        s = s.strip()
        return float(s[:-1]) / 100.0 if s.endswith("%") else float(s)

    try:
        lo, hi, n = bound(parts[0]), bound(parts[1]), int(parts[2])
    except ValueError:
        raise argparse.ArgumentTypeError(f"{option} wants LO:HI:N with numbers, "
                                         f"got {text!r}") from None
    return lo, hi, n


def _ladder(text: str) -> list[Scenario]:
    """Spot ladder LO:HI:N, shifts as fractions (-0.1) or per cent (-10%)."""
    from . import spot_ladder

    try:
        return spot_ladder(*_bounds(text, "--ladder"))
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"--ladder {text}: {e}") from None


def _vol_ladder(text: str) -> list[Scenario]:
    """Volatility ladder LO:HI:N, shifts as decimals (-0.05) or vol points (-5%)."""
    from . import vol_ladder

    try:
        return vol_ladder(*_bounds(text, "--vol-ladder"))
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"--vol-ladder {text}: {e}") from None


def _date(text: str) -> datetime.date:
    from ._checks import evaluation_date

    try:
        return evaluation_date(text, "--date")
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"--date wants an ISO date YYYY-MM-DD: {e}") from None


def _engine(text: str) -> tuple[str, str]:
    kind, sep, name = text.partition("=")
    if not sep or not kind.strip() or not name.strip():
        raise argparse.ArgumentTypeError(f"--engine wants KIND=NAME (e.g. snowball=pde), "
                                         f"got {text!r}")
    return kind.strip(), name.strip()


def _joined(argv: Sequence[str]) -> list[str]:
    """``--ladder -10%:10%:3`` as ``--ladder=-10%:10%:3``: argparse would take a value
    starting with "-" for an option."""
    out = []
    argv = list(argv)
    k = 0
    while k < len(argv):
        if argv[k] in _LADDERS and k + 1 < len(argv) and argv[k + 1].startswith("-") \
                and ":" in argv[k + 1]:
            out.append(f"{argv[k]}={argv[k + 1]}")
            k += 2
            continue
        out.append(argv[k])
        k += 1
    return out


def _parser() -> argparse.ArgumentParser:
    import velmora

    p = argparse.ArgumentParser(
        prog="velmora-book",
        description="Value a book of trades with greeks, spot and volatility ladders.")
    p.add_argument("--version", action="version",
                   version=f"velmora {velmora.__version__}")
    p.add_argument("trades", help="trades file: .csv, .parquet or .jsonl")
    p.add_argument("--market", required=True,
                   help="market file (.csv or .parquet): underlying, spot, vol, r, q")
    p.add_argument("--date", type=_date, default=None, metavar="YYYY-MM-DD",
                   help="evaluation date, ISO form only (default: today)")
    p.add_argument("--store", default=None,
                   help="lumadex store to read (default: the client's current store)")
    p.add_argument("--ladder", type=_ladder, default=None, metavar="LO:HI:N",
                   help="spot ladder: N shifts from LO to HI, e.g. -0.1:0.1:5 or -10%%:10%%:5")
    p.add_argument("--vol-ladder", type=_vol_ladder, default=None, metavar="LO:HI:N",
                   help="volatility ladder: N shifts from LO to HI added to the volatility, "
                        "e.g. -0.05:0.05:3 or -5%%:5%%:3 (vol points)")
    p.add_argument("--grid", action="store_true",
                   help="with --ladder and --vol-ladder: every spot x vol pair instead")
    p.add_argument("--engine", type=_engine, action="append", default=[],
                   metavar="KIND=NAME",
                   help="engine of every trade of a product whose terms name none, e.g. "
                        "snowball=pde or asian=qmc (repeatable)")
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


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.grid and (args.ladder is None or args.vol_ladder is None):
        parser.error("--grid needs both --ladder and --vol-ladder")
    engines: dict[str, str] = {}
    for kind, name in args.engine:
        if kind in engines and engines[kind] != name:
            parser.error(f"--engine names two engines for {kind}: {engines[kind]}, {name}")
        engines[kind] = name
    from ._products import chosen_engines

    try:
        args.engines = chosen_engines(engines)
    except ValueError as e:
        parser.error(f"--engine: {e}")
    try:
        args.scenarios = _scenarios_of(args)
    except ValueError as e:
        parser.error(str(e))
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


def _scenarios_of(args: argparse.Namespace) -> list[Scenario] | None:
    """The scenarios the options ask for: the spot ladder and the vol ladder, or their
    grid; None for the base alone."""
    from . import spot_vol_grid

    if args.grid:  # holds both ladders where they pass through zero
        return spot_vol_grid(args.ladder, args.vol_ladder)
    scenarios = []
    if args.ladder is not None:
        scenarios += args.ladder
    if args.vol_ladder is not None:
        scenarios += args.vol_ladder
    return scenarios or None


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(_joined(sys.argv[1:] if argv is None else argv))
    _check(parser, args)

    from . import (ClusterLost, plot_ladder, read_market, read_trades, summarize, value_book,
                   write_results)

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
    executor: object
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
        results = value_book(trades, market, date, scenarios=args.scenarios,
                             greeks=not args.no_greeks, executor=executor,
                             progress=args.progress, engines=args.engines)
    except (ConnectionError, ClusterLost) as e:
        print(f"error: {e}", file=sys.stderr)
        return UNREADABLE
    finally:
        if client is not None:
            client.close()

    try:
        if args.out is not None:
            write_results(results, args.out)
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
    if args.out is not None and pathlib.Path(args.out).suffix.lower() == ".csv":
        from ._record import record_path

        print(f"run record: {record_path(args.out)}")
    with pd.option_context("display.width", 250, "display.max_rows", 500,
                           "display.max_columns", 20, "display.float_format", "{:,.2f}".format):
        print(summarize(results).to_string())
    print("position_npv: value x quantity; position_npv_se: its Monte Carlo standard error "
          "(summed: errors on shared draws are not independent); position_delta: units of "
          "the underlying; cash_delta: delta x spot x quantity; cash_gamma_1pct: change of "
          "cash delta for a 1% spot move; vega_1vol: per vol point; theta_1day: per calendar "
          "day; rho_loss_1pt: value lost for a one-point rate rise")
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
