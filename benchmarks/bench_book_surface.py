"""Book valuation on curves and a volatility surface per underlying, against the same
book on the scalars, serially in one run.

Run:  .venv/bin/python benchmarks/bench_book_surface.py [--trades 1000] [--seed 11]

The book is ``bench_book``'s desk mix (the snowball and phoenix notes on the
finite-difference engine, the arithmetic asians on "qmc": the recommended engines), on
lumadex's synthetic sample store, valued with full greeks on 2025-12-31, no ladder,
``executor="serial"``, torch on one thread.  The two markets differ only in their form:
the scalar one gives vol, r and q per underlying; the other gives each underlying a
four-tenor rate curve, a two-tenor dividend curve and a 5 x 4 surface (the sample
market's), under which the notes take local volatility.  Printed: seconds and trades/s
of each run, the ratio surface/scalar of the time (the cost of the curves and surfaces:
building them once per trade and scenario, the local-vol tables, the exact vega
shifts, the rolled theta's second build), and the failed rows of each (0 expected).
"""

import argparse
import datetime
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "scripts"))

import pandas as pd  # noqa: E402

from make_sample_book import (SAMPLE_DIVIDEND_CURVE, SAMPLE_RATE_CURVE,  # noqa: E402
                              SAMPLE_SURFACE, make_book)

from bench_book import MIX  # noqa: E402  (the desk mix)

DATE = datetime.date(2025, 12, 31)
ENGINES = {"snowball": "pde", "phoenix": "pde", "asian": "qmc"}
UNDERLYINGS = ["SYN001.XSHG", "SYN002.XSHG", "SYN003.XSHG"]


def _market(structured):
    frame = pd.DataFrame({"spot": [float("nan")] * 3, "vol": [0.28, 0.32, 0.22],
                          "r": [0.02, 0.02, 0.02], "q": [0.0, 0.01, 0.0]},
                         index=pd.Index(UNDERLYINGS, name="underlying"))
    if structured:
        frame["r_curve"] = SAMPLE_RATE_CURVE
        frame["q_curve"] = SAMPLE_DIVIDEND_CURVE
        frame["vol_surface"] = json.dumps(SAMPLE_SURFACE)
    return frame


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--trades", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()

    import torch

    from velmora.book import value_book

    torch.set_num_threads(1)
    trades = pd.DataFrame(make_book(args.trades, MIX, seed=args.seed))
    timings = {}
    for name, structured in (("scalar", False), ("surface", True)):
        started = time.perf_counter()
        results = value_book(trades, _market(structured), DATE, executor="serial",
                             engines=ENGINES, progress=False)
        seconds = time.perf_counter() - started
        timings[name] = seconds
        print(f"{name:8s} {seconds:7.2f} s  {len(trades) / seconds:7.1f} trades/s  "
              f"failed rows: {int(results['error'].notna().sum())}")
    print(f"surface / scalar time: {timings['surface'] / timings['scalar']:.2f}")


if __name__ == "__main__":
    main()
