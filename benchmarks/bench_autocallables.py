"""Speed and memory of the autocallable engine against the plain whole-tensor method.

Run:  .venv/bin/python benchmarks/bench_autocallables.py [--repeat N]

Contract: a one-year snowball from 2024-01-02 to 2025-01-02 on the exchange calendar
(243 trading days), monthly knock-out, daily knock-in, valued on its first day with
the full pool of 200,000 paths.  Both methods use the same pool and the same grid.

Printed, each with its baseline from the same run:
  * ``_npv(..., delta_and_gamma=True)``: engine vs whole-tensor torch method (speed-up);
  * ``greeks`` (value, delta, gamma, vega, theta, rho) in one pass vs the sequence of
    seven separate valuations, on one and on two threads, for the snowball and the same
    phoenix (both give the same bits);
  * one engine pass (three spots, one thread) vs a plain read of the same pool block
    (a torch sum over the 200,000 x 243 view, one thread): the floor;
  * a 21-spot ladder in one call vs 21 ``npv`` calls;
  * the instruction-set level of the engine (``VELMORA_SIMD`` forces a lower one);
  * peak memory added by one valuation beyond the pool (VmHWM after resetting it, in a
    fresh process per method), for the first valuation and for a second one;
  * building the pool at import of ``velmora.normdraw`` vs importing torch.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time

import numpy as np
import pandas as pd

from _harness import median_seconds
from scripted_market import ScriptedMarket

EVALUATION = pd.Timestamp("2024-01-02")
SPOT, R, VOL, Q = 100.0, 0.02, 0.25, 0.0
TERMS = {
    "effect_date": "2024-01-02", "maturity_date": "2025-01-02", "underlying": "BENCH",
    "s0": 100.0, "notional": 1.0, "strike": 100.0, "ki_barrier": 75.0, "ko_barrier": 103.0,
    "coupon_rate": 0.2, "ki_obs_freq": "daily", "ko_obs_freq": "monthly",
    "obs_start_date": "2024-01-02", "obs_end_date": "2025-01-02",
}


def serve_market_in_process():
    """Exchange calendar read once, then served from memory, and flat closes at 100."""
    import lumadex

    days = list(lumadex.get_trading_dates("2023-01-01", "2026-12-31"))
    market = ScriptedMarket(days=days)
    market.set_closes(TERMS["underlying"], {day: 100.0 for day in days})
    market.install()


def wholetensor_npv(product, spot, r, vol, q, evaluation_date):
    """The classic method, as the tests' oracle writes it: the full path matrix in torch,
    then whole-tensor payoffs, on the engine's pool; (npv, delta, gamma)."""
    import autocall_reference as reference  # imports torch: not at the top (child_import)
    from velmora.normdraw import get_normdraws

    parts, _ = reference.npv(product, "snowball", get_normdraws, spot, r, vol, q,
                             evaluation_date)
    p0, p1, p2 = (p["value"] for p in parts)
    return (p0, *reference.delta_gamma(spot, p0, p1, p2))


LADDER = np.linspace(90.0, 110.0, 21)


def _status_kb(key):
    with open("/proc/self/status") as f:
        return int(re.search(key + r":\s+(\d+)", f.read()).group(1))


def child_memory(method):
    """In a fresh process: MB of peak resident memory added by the first valuation and
    by a second one (after the libraries' one-time allocations)."""
    serve_market_in_process()
    from velmora.snowball import SnowBallOption

    product = SnowBallOption(TERMS)
    run = {"engine": lambda: product._npv(SPOT, R, VOL, Q, EVALUATION, delta_and_gamma=True),
           "whole-tensor": lambda: wholetensor_npv(product, SPOT, R, VOL, Q, EVALUATION),
           "greeks": lambda: product.greeks(SPOT, R, VOL, Q, EVALUATION),
           "ladder": lambda: product.spot_ladder(LADDER, R, VOL, Q, EVALUATION)}[method]
    added = []
    for _ in range(2):
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # reset the peak resident set size to the current one
        base = _status_kb("VmRSS")
        run()
        added.append((_status_kb("VmHWM") - base) / 1024)
    return {"first": added[0], "second": added[1]}


def child_import():
    t0 = time.perf_counter()
    import torch  # noqa: F401

    t1 = time.perf_counter()
    import velmora.normdraw  # noqa: F401

    t2 = time.perf_counter()
    return {"torch": t1 - t0, "pool": t2 - t1}


def in_child(*args):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *args],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        result = child_import() if args.child[0] == "import" else child_memory(args.child[1])
        print(json.dumps(result))
        return

    imports = in_child("import")
    serve_market_in_process()
    import torch

    from autocall_cases import separate_greeks  # the tests' sequence of separate valuations
    from velmora import _core
    from velmora.normdraw import get_normdraws
    from velmora.phoenix import PhoenixOption
    from velmora.snowball import SnowBallOption

    product = SnowBallOption(TERMS)
    n_days = len(product.ki_obs_dates) + 1
    threads_before = torch.get_num_threads()
    engine = product._npv(SPOT, R, VOL, Q, EVALUATION, delta_and_gamma=True)
    classic = wholetensor_npv(product, SPOT, R, VOL, Q, EVALUATION)
    t_engine = median_seconds(
        lambda: product._npv(SPOT, R, VOL, Q, EVALUATION, delta_and_gamma=True), args.repeat)
    t_classic = median_seconds(
        lambda: wholetensor_npv(product, SPOT, R, VOL, Q, EVALUATION),
        max(3, args.repeat // 2))

    # greeks in one pass against the separate valuations, both notes, 1 and 2 threads
    greeks_rows, scalar_rows = [], []
    for cls in (SnowBallOption, PhoenixOption):
        note = cls(TERMS)
        for threads in (1, 2):
            torch.set_num_threads(threads)
            fused = note.greeks(SPOT, R, VOL, Q, EVALUATION)
            separate = separate_greeks(note, SPOT, R, VOL, Q, EVALUATION)
            t_fused = median_seconds(lambda: note.greeks(SPOT, R, VOL, Q, EVALUATION),
                                     args.repeat)
            t_separate = median_seconds(
                lambda: separate_greeks(note, SPOT, R, VOL, Q, EVALUATION),
                max(3, args.repeat // 2))
            greeks_rows.append((cls.__name__, threads, t_fused, t_separate,
                                tuple(fused) == tuple(separate)))
        # the separate sequence on the portable (scalar) level, close to the engine before
        # vectorisation
        level = _core.simd_level()
        _core.set_simd_level("portable")
        torch.set_num_threads(1)
        scalar_rows.append((cls.__name__, median_seconds(
            lambda: separate_greeks(note, SPOT, R, VOL, Q, EVALUATION),
            max(3, args.repeat // 2))))
        _core.set_simd_level(level)

    # one engine pass against a plain read of the same block, one thread
    torch.set_num_threads(1)
    block = get_normdraws(n_days)
    t_pass = median_seconds(lambda: product._npv(SPOT, R, VOL, Q, EVALUATION,
                                                 delta_and_gamma=True), args.repeat)
    t_read = median_seconds(lambda: float(block.sum()), args.repeat)

    # a 21-spot ladder against 21 npv calls
    torch.set_num_threads(threads_before)
    ladder = product.spot_ladder(LADDER, R, VOL, Q, EVALUATION)
    one_by_one = [product.npv(s, R, VOL, Q, EVALUATION) for s in LADDER]
    t_ladder = median_seconds(lambda: product.spot_ladder(LADDER, R, VOL, Q, EVALUATION),
                              args.repeat)
    t_npvs = median_seconds(lambda: [product.npv(s, R, VOL, Q, EVALUATION) for s in LADDER],
                            max(3, args.repeat // 2))

    mem = {m: in_child("memory", m) for m in ("engine", "whole-tensor", "greeks", "ladder")}

    print(f"one-year snowball: {n_days} trading days, {len(product.ko_obs_dates)} knock-out "
          f"dates, 200000 paths, torch threads {threads_before}, instruction set "
          f"{_core.simd_level()} (available: {', '.join(_core.simd_levels())})")
    print(f"values  engine   (npv, delta, gamma) = "
          f"({engine[0]:.10f}, {engine[1]:.10f}, {engine[2]:.10f})")
    print(f"        whole-tensor                 = "
          f"({classic[0]:.10f}, {classic[1]:.10f}, {classic[2]:.10f})")
    print(f"        relative difference of npv   = {abs(engine[0] / classic[0] - 1):.2e}")
    print(f"_npv(delta_and_gamma=True)  engine {t_engine * 1e3:8.1f} ms   whole-tensor "
          f"{t_classic * 1e3:8.1f} ms   speed-up {t_classic / t_engine:6.1f}x")
    for name, threads, t_fused, t_separate, same in greeks_rows:
        print(f"greeks {name:15s} {threads} thread(s)  one pass {t_fused * 1e3:7.1f} ms   "
              f"separate {t_separate * 1e3:7.1f} ms   speed-up {t_separate / t_fused:5.1f}x  "
              f"(target >= 6x)  same bits: {same}")
    for (name, t_scalar), row in zip(scalar_rows, greeks_rows[::2]):
        print(f"greeks {name:15s} 1 thread(s)  one pass {row[2] * 1e3:7.1f} ms   separate "
              f"on the portable level {t_scalar * 1e3:7.1f} ms   speed-up "
              f"{t_scalar / row[2]:5.1f}x")
    print(f"one engine pass (3 spots, 1 thread) {t_pass * 1e3:7.1f} ms   plain read of the "
          f"block {t_read * 1e3:6.1f} ms   ratio {t_pass / t_read:5.2f}x the floor  "
          f"(target <= 3x)")
    print(f"21-spot ladder {t_ladder * 1e3:7.1f} ms   21 npv calls {t_npvs * 1e3:7.1f} ms   "
          f"speed-up {t_npvs / t_ladder:5.1f}x  (target >= 15x)  same bits: "
          f"{ladder.tolist() == one_by_one}")
    for which in ("first", "second"):
        print(f"peak memory added by the {which} valuation beyond the pool (MB): "
              + "   ".join(f"{m} {mem[m][which]:.2f}" for m in mem)
              + "  (target <= 32 MB)")
    print(f"import velmora.normdraw (pool build) {imports['pool']:.2f} s   import torch "
          f"{imports['torch']:.2f} s   ratio {imports['pool'] / imports['torch']:.2f}")
    print(f"(medians of {args.repeat} runs; whole-tensor and separate sequences of "
          f"{max(3, args.repeat // 2)})")


if __name__ == "__main__":
    main()
