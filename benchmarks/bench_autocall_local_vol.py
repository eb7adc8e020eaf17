"""Cost of a snowball's ``greeks()`` on the finite-difference engine under a local-vol
surface, against the same note under flat scalar inputs, in the same run.

Run:  .venv/bin/python benchmarks/bench_autocall_local_vol.py [--repeat N]

Contract: the one-year snowball of ``bench_autocall_pde`` (monthly knock-out at 103, daily
knock-in at 75, coupon 20 %) on its first day, "engine": "pde", one thread.  Inputs:
  * flat: r = 0.02, q = 0, vol = 0.22 (the baseline);
  * curves: a rate curve and a dividend curve (tenor curves) with the same flat vol;
  * term structure: the curves and a vol term structure (no smile);
  * local vol: the curves and a strike x expiry surface with a skew (Dupire table);
    also split into the sampling of the table (Python) and the solve.
Each printed with its ratio to the flat baseline.
"""

import argparse
import math

import QuantLib as ql
import torch

from _harness import median_seconds
from bench_autocall_pde import EVALUATION, TERMS, serve_market


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    torch.set_num_threads(1)
    serve_market()
    from velmora import _autocall_pde, _local_vol, _market
    from velmora.snowball import SnowBallOption

    ref = ql.Date(2, 1, 2024)
    expiries = [ref + ql.Period(m, ql.Months) for m in (3, 6, 12, 18, 24)]
    term = [0.30, 0.27, 0.23, 0.21, 0.20]
    strikes = [60.0, 70.0, 80.0, 90.0, 100.0, 110.0, 120.0, 130.0, 140.0]
    rate = _market.tenor_curve(ref, [("3M", 0.015), ("1Y", 0.025), ("2Y", 0.03)])
    div = _market.tenor_curve(ref, [("6M", 0.0), ("2Y", 0.01)])
    curve = _market.vol_surface(ref, expiries, [100.0], [term])
    skew = _market.vol_surface(ref, expiries, strikes,
                               [[v - 0.15 * math.log(k / 100.0) for v in term] for k in strikes])
    note = SnowBallOption(dict(TERMS, engine="pde"))
    cases = [("flat scalars", (0.02, 0.22, 0.0)), ("curves, flat vol", (rate, 0.22, div)),
             ("curves, vol term structure", (rate, curve, div)),
             ("curves, local vol (skew)", (rate, skew, div))]
    base = None
    for name, (r, vol, q) in cases:
        seconds = median_seconds(lambda: note.greeks(100.0, r, vol, q, EVALUATION), args.repeat)
        base = base or seconds
        print(f"greeks, {name:28s} {seconds * 1e3:8.1f} ms  x{seconds / base:5.2f}")
    days = (TERMS_END - EVALUATION).days
    sampling = median_seconds(lambda: [_local_vol.sample(r_, 0.0, v_, 100.0, EVALUATION, days)
                                       for r_, v_ in ((rate, skew),) * 5], args.repeat)
    print(f"  of which sampling 5 local-vol tables  {sampling * 1e3:8.1f} ms  "
          f"x{sampling / base:5.2f}")
    del _autocall_pde


TERMS_END = EVALUATION.replace(year=2025)

if __name__ == "__main__":
    main()
