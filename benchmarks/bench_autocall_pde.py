"""Speed of the finite-difference engine of the autocallables against the Monte Carlo one.

Run:  .venv/bin/python benchmarks/bench_autocall_pde.py [--repeat N]

Contract: the one-year snowball of ``bench_autocallables`` (2024-01-02 to 2025-01-02 on the
exchange calendar, monthly knock-out at 103, daily knock-in at 75, coupon 20 %) and the
same phoenix, valued on their first day; both engines on one thread
(``torch.set_num_threads(1)``, which the Monte Carlo engine reads as its thread count).

Printed, each with its baseline from the same run:
  * ``greeks()`` with "engine": "pde" vs "monte_carlo" (the full pool of 200,000 paths),
    end to end and without the time the scripted market client spends answering;
  * a 21-spot ``spot_ladder`` (90 to 110), "pde" vs "monte_carlo";
  * a three-year note (782 trading days, past the pool's 500 columns) valued with "pde":
    ``npv`` and ``greeks`` times, against the one-year note's;
  * peak memory of a fresh process that values only with "pde", and whether it imported
    the normal pool (``velmora.normdraw``).
"""

import argparse
import json
import os
import re
import subprocess
import sys

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
THREE_YEARS = dict(TERMS, maturity_date="2027-01-04", obs_end_date="2027-01-04", engine="pde")
LADDER = np.linspace(90.0, 110.0, 21)


def serve_market():
    """Exchange calendar read once, then served from memory, and flat closes at 100."""
    import lumadex

    days = list(lumadex.get_trading_dates("2023-01-01", "2027-12-31"))
    market = ScriptedMarket(days=days)
    market.set_closes(TERMS["underlying"], {day: 100.0 for day in days})
    market.install()
    return market


def timed(market, fn, repeat):
    """(median seconds, median seconds less the client's answering time, result)."""
    fn()
    totals, client = [], []
    for _ in range(repeat):
        before = market.seconds
        t, result = median_seconds(fn, 1, warmup=False, with_result=True)
        totals.append(t)
        client.append(market.seconds - before)
    return float(np.median(totals)), float(np.median(np.subtract(totals, client))), result


def child_memory():
    """In a fresh process: peak resident MB after valuing with "pde" only, and whether the
    normal pool was imported."""
    serve_market()
    from velmora.snowball import SnowBallOption

    note = SnowBallOption(dict(TERMS, engine="pde"))
    note.greeks(SPOT, R, VOL, Q, EVALUATION)
    note.spot_ladder(LADDER, R, VOL, Q, EVALUATION)
    SnowBallOption(THREE_YEARS).greeks(SPOT, R, VOL, Q, EVALUATION)
    with open("/proc/self/status") as f:
        peak = int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1)) / 1024
    return {"peak_mb": peak, "pool_imported": "velmora.normdraw" in sys.modules}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child_memory()))
        return
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"], check=True,
                         capture_output=True, text=True)
    memory = json.loads(out.stdout.strip().splitlines()[-1])

    market = serve_market()
    import torch

    torch.set_num_threads(1)
    from velmora.phoenix import PhoenixOption
    from velmora.snowball import SnowBallOption

    inputs = (SPOT, R, VOL, Q, EVALUATION)
    rows = []
    for cls in (SnowBallOption, PhoenixOption):
        mc, pde = cls(TERMS), cls(dict(TERMS, engine="pde"))
        t_mc, t_mc_own, g_mc = timed(market, lambda: mc.greeks(*inputs), args.repeat)
        t_pde, t_pde_own, g_pde = timed(market, lambda: pde.greeks(*inputs), args.repeat)
        rows.append((f"greeks {cls.__name__}", t_mc, t_pde, t_mc_own, t_pde_own))
        if cls is SnowBallOption:
            values = (g_mc, g_pde)
            l_mc, l_mc_own, _ = timed(
                market, lambda: mc.spot_ladder(LADDER, R, VOL, Q, EVALUATION), args.repeat)
            l_pde, l_pde_own, _ = timed(
                market, lambda: pde.spot_ladder(LADDER, R, VOL, Q, EVALUATION), args.repeat)
            ladder_row = ("21-spot ladder", l_mc, l_pde, l_mc_own, l_pde_own)
    rows.append(ladder_row)

    long_note = SnowBallOption(THREE_YEARS)
    one_year = SnowBallOption(dict(TERMS, engine="pde"))
    n3, _, v3 = timed(market, lambda: long_note.npv(*inputs), args.repeat)
    n1, _, _ = timed(market, lambda: one_year.npv(*inputs), args.repeat)
    g3, _, greeks3 = timed(market, lambda: long_note.greeks(*inputs), max(3, args.repeat // 2))

    print(f"one-year snowball and phoenix, {len(one_year.ki_obs_dates) + 1} trading days, "
          f"one thread; Monte Carlo on {200000} paths")
    print(f"greeks snowball  monte_carlo {tuple(round(x, 5) for x in values[0])}")
    print(f"                 pde         {tuple(round(x, 5) for x in values[1])}")
    for name, base, new, base_own, new_own in rows:
        print(f"{name:24s} monte_carlo {base * 1e3:7.1f} ms  pde {new * 1e3:6.1f} ms  "
              f"speed-up {base / new:5.1f}x   (without the client's time: "
              f"{base_own * 1e3:6.1f} / {new_own * 1e3:5.1f} ms = {base_own / new_own:5.1f}x)")
    print(f"three-year snowball (pde): npv {v3:.5f} in {n3 * 1e3:.1f} ms "
          f"({n3 / n1:.1f}x the one-year npv), greeks in {g3 * 1e3:.1f} ms: "
          f"{tuple(round(x, 5) for x in greeks3)}")
    print(f"a process valuing with pde only: peak {memory['peak_mb']:.0f} MB, normal pool "
          f"imported: {memory['pool_imported']}")


if __name__ == "__main__":
    main()
