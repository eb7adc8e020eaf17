"""Cost of a snowball's ``greeks()`` on the finite-difference engine under a local-vol
surface, against the same note under flat scalar inputs, in the same run.

Run:  .venv/bin/python benchmarks/bench_autocall_local_vol.py [--repeat N]

Contract: the one-year snowball of ``bench_autocall_pde`` (monthly knock-out at 103, daily
knock-in at 75, coupon 20 %) on its first day, "engine": "pde", one thread.  Inputs:
  * flat: r = 0.02, q = 0, vol = 0.22 (the baseline);
  * curves: a rate curve and a dividend curve (tenor curves) with the same flat vol;
  * term structure: the curves and a vol term structure (no smile);
  * local vol: the curves and a strike x expiry surface with a skew (Dupire table);
    also the part of it that samples the five local-vol tables of the sensitivities (the
    curve and surface reads and Dupire's formula, in Python), and the part that solves.
The cases are timed in turn, round after round (flat, curves, ..., flat, curves, ...), and
each printed as its median time and the median of its per-round ratios to the flat
baseline, so that a machine shared with other work moves both sides alike.
"""

import argparse
import math
import statistics
import time

import QuantLib as ql
import torch

from bench_autocall_pde import EVALUATION, TERMS, serve_market


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    torch.set_num_threads(1)
    serve_market()
    from velmora import _core, _local_vol, _market
    from velmora.groundwork import RATE_BUMP, VOL_BUMP
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
    # the five scenarios greeks() samples: the base, the vol moves, the rate moves
    scenarios = [(rate, div, skew), (rate, div, _market.shift_vol(skew, VOL_BUMP)),
                 (rate, div, _market.shift_vol(skew, -VOL_BUMP)),
                 (_market.spread_rate(rate, RATE_BUMP), div, skew),
                 (_market.spread_rate(rate, -RATE_BUMP), div, skew)]
    days = (TERMS_END - EVALUATION).days

    def greeks(r, vol, q):
        return lambda: note.greeks(100.0, r, vol, q, EVALUATION)

    # the solve alone: the arguments of the solver's call under the skew, replayed
    solver, calls = _core.autocall_pde, []
    _core.autocall_pde = lambda *a, **k: calls.append((a, k)) or solver(*a, **k)
    greeks(rate, skew, div)()
    _core.autocall_pde = solver
    args_, kwargs_ = calls[-1]
    cases = [("greeks, flat scalars", greeks(0.02, 0.22, 0.0)),
             ("greeks, curves, flat vol", greeks(rate, 0.22, div)),
             ("greeks, curves, vol term structure", greeks(rate, curve, div)),
             ("greeks, curves, local vol (skew)", greeks(rate, skew, div)),
             ("  of which sampling 5 local-vol tables",
              lambda: _local_vol.sample_scenarios(scenarios, 100.0, EVALUATION, days)),
             ("  of which the solve", lambda: solver(*args_, **kwargs_))]
    times = {name: [] for name, _ in cases}
    for _, fn in cases:  # warm-up
        fn()
    for _ in range(args.repeat):
        for name, fn in cases:
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    base = times[cases[0][0]]
    for name, _ in cases:
        ratio = statistics.median(t / b for t, b in zip(times[name], base))
        print(f"{name:40s} {statistics.median(times[name]) * 1e3:8.1f} ms  x{ratio:5.2f}")


TERMS_END = EVALUATION.replace(year=2025)

if __name__ == "__main__":
    main()
