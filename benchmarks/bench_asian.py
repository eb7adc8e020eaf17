"""Time the arithmetic asian option against the bare QuantLib valuation it wraps.

A one-year arithmetic average-price call with half of its fixings known, valued
with a scripted in-process market-data client (weekday calendar, synthetic closes),
so the figures measure velmora and QuantLib only.  Reported: median wall time of
``npv`` and of ``greeks`` (nine valuations), and of the same valuation built
directly in QuantLib in this run, with the ratios against it.

    PYTHONPATH=src python benchmarks/bench_asian.py [--repeat N]
"""

import argparse
import bisect
import datetime
import math
import statistics
import time

import pandas as pd
import QuantLib as ql

import lumadex
from velmora.asian import MC_REQUIRED_TOLERANCE, MC_SEED, MC_TRAITS, AsianOption
from velmora.utils import black_scholes_process, set_evaluation_date

EFFECT, MATURITY, TODAY = "2025-01-02", "2025-12-31", pd.Timestamp("2025-07-02")
SPOT, STRIKE, R, VOL, Q = 100.0, 100.0, 0.02, 0.20, 0.0


class ScriptedClient:
    """Weekdays as trading days; closes on every weekday before ``TODAY``."""

    def __init__(self):
        self.days = [d.date() for d in pd.bdate_range("2014-01-01", "2037-12-31")]
        past = pd.bdate_range(EFFECT, TODAY - pd.Timedelta(days=1))
        closes = [SPOT * math.exp(0.01 * math.sin(i / 5.0)) for i in range(len(past))]
        self.closes = pd.Series(closes, index=past, name="close")

    def get_trading_dates(self, start, end):
        lo = bisect.bisect_left(self.days, pd.Timestamp(start).date())
        return self.days[lo:bisect.bisect_right(self.days, pd.Timestamp(end).date())]

    def get_previous_trading_date(self, d):
        return self.days[bisect.bisect_left(self.days, pd.Timestamp(d).date()) - 1]

    def get_next_trading_date(self, d):
        return self.days[bisect.bisect_right(self.days, pd.Timestamp(d).date())]

    def get_price(self, underlying, start, end, fields=None, adjust_type="pre", expect_df=True):
        s = self.closes[(self.closes.index >= pd.Timestamp(start))
                        & (self.closes.index <= pd.Timestamp(end))]
        if s.empty:
            return None
        frame = s.to_frame("close")
        frame.index = pd.MultiIndex.from_arrays([[underlying] * len(s), s.index],
                                                names=["order_book_id", "date"])
        return frame


def median_time(fn, repeat):
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per case")
    args = parser.parse_args()

    client = ScriptedClient()
    for name in ("get_trading_dates", "get_previous_trading_date", "get_next_trading_date",
                 "get_price"):
        setattr(lumadex, name, getattr(client, name))

    option = AsianOption({"effect_date": EFFECT, "maturity_date": MATURITY, "underlying": "X",
                          "s0": SPOT, "notional": 1.0, "call_put": "call", "strike": STRIKE,
                          "average_type": "arithmetic"})
    known = client.get_price("X", EFFECT, TODAY)["close"]
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

    t_bare, v_bare = median_time(bare, args.repeat)
    t_npv, v_npv = median_time(lambda: option.npv(SPOT, R, VOL, Q, TODAY), args.repeat)
    t_greeks, greeks = median_time(lambda: option.greeks(SPOT, R, VOL, Q, TODAY), args.repeat)

    print(f"values: bare QuantLib {v_bare:.10f}, npv {v_npv:.10f}, greeks.npv {greeks.npv:.10f}")
    print(f"median of {args.repeat} runs on {datetime.date.today()}:")
    print(f"  bare QuantLib valuation  {t_bare:9.3f} s   1.00x")
    print(f"  AsianOption.npv          {t_npv:9.3f} s   {t_npv / t_bare:.2f}x")
    print(f"  AsianOption.greeks       {t_greeks:9.3f} s   {t_greeks / t_bare:.2f}x")


if __name__ == "__main__":
    main()
