"""Speed of the finite-difference engine of the autocallables against the Monte Carlo one.

Run:  .venv/bin/python benchmarks/bench_autocall_pde.py [--repeat N]

Contract: the one-year snowball of ``bench_autocallables`` (2024-01-02 to 2025-01-02 on the
exchange calendar, monthly knock-out at 103, daily knock-in at 75, coupon 20 %) and the
same phoenix, valued on their first day; both engines on one thread
(``torch.set_num_threads(1)``, which the Monte Carlo engine reads as its thread count).

Printed, each with its baseline from the same run, the two engines timed in turn (Monte
Carlo, then finite differences, ``--repeat`` times) and the speed-up the median of the
ratios of the same turn, so that a change in the load of the machine between the two sides
does not enter it:
  * ``greeks()`` with "engine": "pde" vs "monte_carlo" (the full pool of 200,000 paths),
    end to end and without the time the scripted market client spends answering;
  * a 21-spot ``spot_ladder`` (90 to 110), "pde" vs "monte_carlo";
  * a three-year note (782 trading days, past the pool's 500 columns) valued with "pde":
    ``npv`` and ``greeks`` times, against the one-year note's;
  * peak memory of a fresh process that values only with "pde", and whether it imported
    the normal pool (``velmora.normdraw``);
  * the same comparison on lumadex's own sample store (SQLite) instead of the scripted
    client: a one-year snowball on SYN003.XSHG struck 2025-07-01 at 57, knock-out 60,
    knock-in 43, valued on its first day (2025-07-01, at its strike) and mid-life on
    2025-12-31 (in a fresh process, so that the scripted client is not installed there).
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
# the one-year note of bench_autocallables, valued on its first day
from bench_autocallables import EVALUATION, Q, R, SPOT, TERMS, VOL
from scripted_market import ScriptedMarket

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


def paired(base, new, repeat, market=None):
    """The two calls timed in turn, ``base`` then ``new``, ``repeat`` times after one untimed
    call each, so that both sides see the same load of the machine.

    Returns (median seconds of base, of new, median of the ratios base / new of the same
    turn) and, with a scripted ``market``, the same three less the client's answering time.
    """
    base(), new()
    rows = []
    for _ in range(repeat):
        row = []
        for fn in (base, new):
            before = market.seconds if market is not None else 0.0
            t = median_seconds(fn, 1, warmup=False)
            row += [t, t - (market.seconds - before if market is not None else 0.0)]
        rows.append(row)
    t_base, own_base, t_new, own_new = np.asarray(rows).T
    return ((float(np.median(t_base)), float(np.median(t_new)), float(np.median(t_base / t_new))),
            (float(np.median(own_base)), float(np.median(own_new)),
             float(np.median(own_base / own_new))))


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


SAMPLE_TERMS = {
    "effect_date": "2025-07-01", "maturity_date": "2026-07-01", "underlying": "SYN003.XSHG",
    "s0": 57.0, "notional": 1.0, "strike": 57.0, "ki_barrier": 43.0, "ko_barrier": 60.0,
    "coupon_rate": 0.15, "ki_obs_freq": "daily", "ko_obs_freq": "monthly",
    "obs_start_date": "2025-07-01", "obs_end_date": "2026-07-01",
}


def child_sample_store(repeat):
    """In a fresh process on the sample store: greeks and 21-spot ladder seconds per
    engine, one thread."""
    import lumadex
    import torch

    torch.set_num_threads(1)
    from velmora.snowball import SnowBallOption

    lumadex.store_path()  # the sample store built before timing
    notes = [SnowBallOption(dict(SAMPLE_TERMS, engine=engine)) for engine in ("monte_carlo",
                                                                              "pde")]
    out = {}
    for when, inputs in (("first day", (57.0, 0.02, 0.25, 0.0, pd.Timestamp("2025-07-01"))),
                         ("mid-life", (57.56, 0.02, 0.25, 0.0, pd.Timestamp("2025-12-31")))):
        ladder_spots = np.linspace(0.9, 1.1, 21) * inputs[0]
        greeks, _ = paired(*(lambda n=n: n.greeks(*inputs) for n in notes), repeat)
        ladder, _ = paired(*(lambda n=n: n.spot_ladder(ladder_spots, *inputs[1:])
                             for n in notes), repeat)
        out[when] = {"greeks": greeks, "ladder": ladder,
                     "npv": [n.npv(*inputs) for n in notes]}
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--sample-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child_memory()))
        return
    if args.sample_child:
        print(json.dumps(child_sample_store(args.repeat)))
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
        rows.append((f"greeks {cls.__name__}",
                     *paired(lambda: mc.greeks(*inputs), lambda: pde.greeks(*inputs),
                             args.repeat, market)))
        if cls is SnowBallOption:
            values = (mc.greeks(*inputs), pde.greeks(*inputs))
            ladder_row = ("21-spot ladder", *paired(
                lambda: mc.spot_ladder(LADDER, R, VOL, Q, EVALUATION),
                lambda: pde.spot_ladder(LADDER, R, VOL, Q, EVALUATION), args.repeat, market))
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
    for name, (base, new, ratio), (base_own, new_own, ratio_own) in rows:
        print(f"{name:24s} monte_carlo {base * 1e3:7.1f} ms  pde {new * 1e3:6.1f} ms  "
              f"speed-up {ratio:5.1f}x   (without the client's time: "
              f"{base_own * 1e3:6.1f} / {new_own * 1e3:5.1f} ms, {ratio_own:5.1f}x)")
    print(f"three-year snowball (pde): npv {v3:.5f} in {n3 * 1e3:.1f} ms "
          f"({n3 / n1:.1f}x the one-year npv), greeks in {g3 * 1e3:.1f} ms: "
          f"{tuple(round(x, 5) for x in greeks3)}")
    print(f"a process valuing with pde only: peak {memory['peak_mb']:.0f} MB, normal pool "
          f"imported: {memory['pool_imported']}")
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--sample-child",
                          "--repeat", str(args.repeat)], check=True, capture_output=True,
                         text=True)
    for when, sample in json.loads(out.stdout.strip().splitlines()[-1]).items():
        v_mc, v_pde = sample["npv"]
        print(f"on the sample store, {when} (npv monte_carlo {v_mc:.5f}, pde {v_pde:.5f}):")
        for name in ("greeks", "ladder"):
            base, new, ratio = sample[name]
            label = "greeks" if name == "greeks" else "21-spot ladder"
            print(f"  {label:22s} monte_carlo {base * 1e3:7.1f} ms  pde {new * 1e3:6.1f} ms  "
                  f"speed-up {ratio:5.1f}x")


if __name__ == "__main__":
    main()
