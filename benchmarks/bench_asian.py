"""Time the arithmetic asian option against the bare QuantLib valuation it wraps.

A one-year arithmetic average-price call with half of its fixings known, valued
with a scripted in-process market-data client (weekday calendar, synthetic closes),
so the figures measure velmora and QuantLib only.  Reported: median wall time of
``npv`` and of ``greeks`` (nine valuations), and of the same valuation built
directly in QuantLib in this run, with the ratios against it.

    .venv/bin/python benchmarks/bench_asian.py [--repeat N] [--levels 100 600 1500]

``--levels`` also times ``npv`` of the same contract with spot, strike and every
known close multiplied by ``level / 100``, against the bare valuation at 100: above
100 the simulation keeps its relative precision, so the time must not grow.
"""

import argparse
import datetime
import math

import pandas as pd
import QuantLib as ql

from velmora.asian import MC_REQUIRED_TOLERANCE, MC_SEED, MC_TRAITS, AsianOption
from velmora.utils import black_scholes_process, set_evaluation_date

from _harness import median_seconds
from scripted_market import ScriptedMarket

EFFECT, MATURITY, TODAY = "2025-01-02", "2025-12-31", pd.Timestamp("2025-07-02")
SPOT, STRIKE, R, VOL, Q = 100.0, 100.0, 0.02, 0.20, 0.0


def scripted_client():
    """Weekdays as trading days; closes on every weekday before ``TODAY``."""
    past = pd.bdate_range(EFFECT, TODAY - pd.Timedelta(days=1))
    closes = [SPOT * math.exp(0.01 * math.sin(i / 5.0)) for i in range(len(past))]
    client = ScriptedMarket(first="2014-01-01", last="2037-12-31")
    client.set_bars("X", pd.DataFrame({"close": closes, "low": closes, "high": closes},
                                      index=past))
    return client


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per case")
    parser.add_argument("--levels", type=float, nargs="*", default=[],
                        help="price levels at which to time npv as well")
    args = parser.parse_args()

    client = scripted_client().install()

    option = AsianOption({"effect_date": EFFECT, "maturity_date": MATURITY, "underlying": "X",
                          "s0": SPOT, "notional": 1.0, "call_put": "call", "strike": STRIKE,
                          "average_type": "arithmetic"})
    known = client.get_price("X", EFFECT, TODAY, fields="close")["close"]
    print(f"fixings: {len(option.fixing_dates)} scheduled, {len(known)} known at {TODAY.date()}")

    def bare():
        instrument = ql.DiscreteAveragingAsianOption(
            ql.Average.Arithmetic, float(known.sum()), len(known), option.fixing_dates,
            ql.PlainVanillaPayoff(ql.Option.Call, STRIKE), ql.EuropeanExercise(
                ql.Date(31, 12, 2025)))
        instrument.setPricingEngine(ql.MCDiscreteArithmeticAPEngine(
            black_scholes_process(SPOT, R, VOL, Q), MC_TRAITS, controlVariate=True,
            requiredTolerance=MC_REQUIRED_TOLERANCE, seed=MC_SEED))
        set_evaluation_date(TODAY)
        return instrument.NPV()

    def timed(fn):  # one valuation is seconds long: no untimed warm-up run
        return median_seconds(fn, args.repeat, warmup=False, with_result=True)

    t_bare, v_bare = timed(bare)
    t_npv, v_npv = timed(lambda: option.npv(SPOT, R, VOL, Q, TODAY))
    t_greeks, greeks = timed(lambda: option.greeks(SPOT, R, VOL, Q, TODAY))

    print(f"values: bare QuantLib {v_bare:.10f}, npv {v_npv:.10f}, greeks.npv {greeks.npv:.10f}")
    print(f"median of {args.repeat} runs on {datetime.date.today()}:")
    print(f"  bare QuantLib valuation  {t_bare:9.3f} s   1.00x")
    print(f"  AsianOption.npv          {t_npv:9.3f} s   {t_npv / t_bare:.2f}x")
    print(f"  AsianOption.greeks       {t_greeks:9.3f} s   {t_greeks / t_bare:.2f}x")

    for level in args.levels:
        scale = level / SPOT
        past = pd.bdate_range(EFFECT, TODAY - pd.Timedelta(days=1))
        scaled = known.to_numpy() * scale
        client.set_bars("X", pd.DataFrame({"close": scaled, "low": scaled, "high": scaled},
                                          index=past))
        at_level = AsianOption({"effect_date": EFFECT, "maturity_date": MATURITY,
                                "underlying": "X", "s0": level, "notional": 1.0,
                                "call_put": "call", "strike": STRIKE * scale,
                                "average_type": "arithmetic"})
        t_level, v_level = timed(lambda o=at_level, s=SPOT * scale: o.npv(s, R, VOL, Q, TODAY))
        print(f"  npv at spot {level:7.1f}     {t_level:9.3f} s   {t_level / t_bare:.2f}x"
              f"   value {v_level:.6f} ({v_level / scale:.6f} per 100 of spot)")


if __name__ == "__main__":
    main()
