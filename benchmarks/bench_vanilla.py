"""Cost of velmora's vanilla greeks against the bare QuantLib valuation they wrap.

Run:  .venv/bin/python benchmarks/bench_vanilla.py [--repeat N]

For a European and an American vanilla call it prints the median time of
``greeks`` (nine valuations), of one ``npv``, and of one bare ``NPV()`` of the same
QuantLib instrument and engine with the process already built.  Ratios are
against the bare ``NPV()`` measured in the same run.
"""

import argparse
import datetime

import QuantLib as ql

from _harness import median_seconds
from scripted_market import ScriptedMarket


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()
    # Weekday calendar served in process, so the figures exclude any data store.
    ScriptedMarket(first="2000-01-01", last="2045-12-31").install()
    from velmora.vanilla import VanillaOption

    evaluation = datetime.date(2025, 3, 3)
    spot, r, vol, q = 100.0, 0.02, 0.25, 0.01
    print(f"{'contract':<22}{'bare NPV() ms':>15}{'npv ms':>10}{'greeks ms':>11}"
          f"{'npv/bare':>10}{'greeks/bare':>13}")
    for exercise in ("european", "american"):
        opt = VanillaOption({
            "effect_date": "2025-01-02", "maturity_date": "2026-01-05", "underlying": "X",
            "s0": 100.0, "notional": 1.0, "call_put": "call", "strike": 100.0,
            "exercise_type": exercise, "payoff_type": "plain_vanilla"})
        opt.npv(spot, r, vol, q, evaluation)  # attaches the engine, sets the date
        instrument = opt._option

        def bare():
            instrument.recalculate()
            instrument.NPV()

        t_bare = median_seconds(bare, args.repeat)
        t_npv = median_seconds(lambda: opt.npv(spot, r, vol, q, evaluation), args.repeat)
        t_greeks = median_seconds(lambda: opt.greeks(spot, r, vol, q, evaluation), args.repeat)
        print(f"{exercise + ' call':<22}{t_bare * 1e3:>15.3f}{t_npv * 1e3:>10.3f}"
              f"{t_greeks * 1e3:>11.3f}{t_npv / t_bare:>10.2f}{t_greeks / t_bare:>13.2f}")
    print(f"(medians of {args.repeat} runs; QuantLib {ql.__version__})")


if __name__ == "__main__":
    main()
