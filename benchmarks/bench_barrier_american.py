"""American plain-vanilla barrier options: the finite-difference solver against the
400-step tree it replaced, for accuracy and for time, in one run.

Accuracy: for each contract the tree's value (CRR, 400 steps) and the solver's value on
its automatic grid, both against a converged reference, Richardson extrapolation of the
solver on grids of 64, 128 and 256 steps per standard deviation.  For the two reported
contracts the reference is checked once against QuantLib's tree at 6,400 and 25,600
steps extrapolated in 1/sqrt(N) (about 40 seconds; ``--quick`` leaves it out).

Time: median per valuation of ``BarrierOption.npv`` and of ``greeks`` (nine
valuations) with the solver and with the table entry set back to the 400-step tree, in
the same run; and the bare engines (QuantLib's tree on a prebuilt instrument against a
call of the solver).  The machine is shared: read the ratios.

Run from the repository root, with velmora installed:

    .venv/bin/python benchmarks/bench_barrier_american.py [--repeat N] [--quick]
"""

import argparse
import datetime
import sys

import pandas as pd
import QuantLib as ql

from velmora import _core, barrier
from velmora.barrier import BarrierOption

from _harness import median_seconds
from _oracles import process, qld
from scripted_market import ScriptedMarket

EVAL = datetime.date(2025, 3, 3)
EFFECT = pd.Timestamp("2025-03-03")
MATURITY = pd.Timestamp("2026-03-03")  # 365 days: one year on Actual/365
R, Q = 0.03, 0.02

# name, barrier type, call/put, strike, barrier, rebate, spot, vol
CASES = [
    ("reported UO call", "up_and_out", "call", 100.0, 120.0, 0.0, 105.0, 0.40),
    ("reported DO put", "down_and_out", "put", 100.0, 80.0, 0.0, 95.0, 0.40),
    ("UO call far, low vol", "up_and_out", "call", 100.0, 125.0, 1.0, 100.0, 0.15),
    ("UO put near", "up_and_out", "put", 105.0, 106.0, 0.0, 100.0, 0.25),
    ("DO call near", "down_and_out", "call", 98.0, 95.0, 0.0, 100.0, 0.25),
    ("DO put far, low vol", "down_and_out", "put", 100.0, 82.0, 0.0, 100.0, 0.15),
    ("UI call near", "up_and_in", "call", 100.0, 108.0, 0.0, 100.0, 0.30),
    ("UI put far", "up_and_in", "put", 110.0, 140.0, 1.0, 100.0, 0.45),
    ("DI put near, low vol", "down_and_in", "put", 100.0, 96.0, 0.0, 100.0, 0.15),
    ("DI call far", "down_and_in", "call", 100.0, 70.0, 0.0, 100.0, 0.45),
]

QL_KIND = {"down_and_in": ql.Barrier.DownIn, "down_and_out": ql.Barrier.DownOut,
           "up_and_in": ql.Barrier.UpIn, "up_and_out": ql.Barrier.UpOut}


def option_terms(kind, call_put, strike, level, rebate):
    return {"underlying": "600000.XSHG", "effect_date": EFFECT, "maturity_date": MATURITY,
            "s0": 100.0, "notional": 1.0, "call_put": call_put, "strike": strike,
            "barrier_type": kind, "barrier": level, "rebate": rebate,
            "exercise_type": "american", "payoff_type": "plain_vanilla"}


def instrument(kind, call_put, strike, level, rebate):
    side = ql.Option.Call if call_put == "call" else ql.Option.Put
    return ql.BarrierOption(QL_KIND[kind], level, rebate, ql.PlainVanillaPayoff(side, strike),
                            ql.AmericanExercise(qld(EFFECT), qld(MATURITY)))


def tree(case, steps):
    _, kind, call_put, strike, level, rebate, spot, vol = case
    inst = instrument(kind, call_put, strike, level, rebate)
    inst.setPricingEngine(ql.BinomialBarrierEngine(process(spot, R, vol, Q, EVAL), "crr", steps))
    return inst.NPV()


def solver(case, grid=(0, 0)):
    _, kind, call_put, strike, level, rebate, spot, vol = case
    return _core.pde_barrier(call=call_put == "call", strike=strike, kind=kind, level=level,
                             rebate=rebate, american=True, exercise_from=0.0, maturity=1.0,
                             spot=spot, rate=R, dividend=Q, vol=vol, steps_per_sd=grid[0],
                             time_steps=grid[1])


def reference(case):
    v2, v3 = (solver(case, (n, 3 * n // 2)) for n in (128, 256))
    return v3 + (v3 - v2) / 3.0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--quick", action="store_true", help="leave out the 25,600-step trees")
    args = parser.parse_args(argv)
    # Valued on the effect date; theta's next day needs the effect date's bar, which
    # here has no prices: nothing is crossed.
    ScriptedMarket(first="2020-01-01", last="2030-12-31").install().serve_priceless_bars()

    print("Accuracy, relative to the converged reference (Richardson on the solver)")
    print(f"{'contract':24s} {'reference':>11s} {'CRR-400':>10s} {'solver':>10s}"
          f" {'grid':>9s}")
    worst_tree = worst_fd = 0.0
    for case in CASES:
        ref = reference(case)
        old, new = tree(case, 400), solver(case)
        _, kind, call_put, strike, level, rebate, spot, vol = case
        grid = _core.pde_grid(call=call_put == "call", strike=strike, american=True,
                              exercise_from=0.0, maturity=1.0, spot=spot, rate=R, dividend=Q,
                              vol=vol)
        e_old, e_new = old / ref - 1, new / ref - 1
        worst_tree, worst_fd = max(worst_tree, abs(e_old)), max(worst_fd, abs(e_new))
        print(f"{case[0]:24s} {ref:11.5f} {e_old:+10.2e} {e_new:+10.2e} {str(grid):>9s}")
    print(f"worst: CRR-400 {worst_tree:.2e}, solver {worst_fd:.2e}, "
          f"{worst_tree / worst_fd:.0f}x better")

    if not args.quick:
        print("\nReference against QuantLib's tree at 6,400 and 25,600 steps, "
              "extrapolated in 1/sqrt(N)")
        for case in CASES[:2]:
            coarse, fine = tree(case, 6400), tree(case, 25600)
            extrapolated = fine + (fine - coarse)  # sqrt(25600 / 6400) - 1 = 1
            ref = reference(case)
            print(f"{case[0]:24s} tree {extrapolated:.5f}  reference {ref:.5f}  "
                  f"difference {extrapolated / ref - 1:+.1e}")

    print(f"\nTime per call, median of {args.repeat}, reported UO call")
    case = CASES[0]
    _, kind, call_put, strike, level, rebate, spot, vol = case
    option = BarrierOption(option_terms(kind, call_put, strike, level, rebate))
    inst = instrument(kind, call_put, strike, level, rebate)

    def bare_tree():
        inst.setPricingEngine(ql.BinomialBarrierEngine(process(spot, R, vol, Q, EVAL), "crr", 400))
        return inst.NPV()

    rows = [("engine alone", median_seconds(bare_tree, args.repeat),
             median_seconds(lambda: solver(case), args.repeat))]
    knock_in = CASES[6]  # a knock-in also solves the vanilla beyond the barrier
    rows.append((f"engine alone, {knock_in[0]}",
                 median_seconds(lambda: tree(knock_in, 400), args.repeat),
                 median_seconds(lambda: solver(knock_in), args.repeat)))
    table = barrier.PRICING_ENGINE_MAP
    entry = table[("american", "plain_vanilla")]
    timings = {}
    for name, builder in (("tree", lambda p: ql.BinomialBarrierEngine(p, "crr", 400)),
                          ("solver", entry)):
        table[("american", "plain_vanilla")] = builder
        try:
            timings[name] = (
                median_seconds(lambda: option.npv(spot, R, vol, Q, EVAL), args.repeat),
                median_seconds(lambda: option.greeks(spot, R, vol, Q, EVAL),
                               max(3, args.repeat // 3)))
        finally:
            table[("american", "plain_vanilla")] = entry
    rows.append(("npv", timings["tree"][0], timings["solver"][0]))
    rows.append(("greeks (9 valuations)", timings["tree"][1], timings["solver"][1]))
    print(f"{'':30s} {'CRR-400 ms':>11s} {'solver ms':>10s} {'ratio':>7s}")
    for name, t_tree, t_fd in rows:
        print(f"{name:30s} {t_tree * 1e3:11.2f} {t_fd * 1e3:10.2f} {t_tree / t_fd:6.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
