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

Then the two engines on a seasoned trade (126 known and 116 remaining fixings, spot
57.56): ``npv_and_se`` with the default engine and with ``"qmc"`` (time and standard
error, the ratios in this run; target >= 100x faster at a smaller error), ``greeks``
with ``"qmc"`` on one thread (target < 100 ms, and its ratio to one qmc ``npv``),
and the standard error of the qmc engine's scrambled Sobol points against
pseudo-random points at the same number of paths.

``--accuracy`` also prints the tests' reference table (``tests/engines/test_asian_qmc.py``):
each row's qmc value and standard error against the long plain Monte Carlo of the
tests and against the default engine, with the distances in combined standard errors.

``--book N`` also values, serially on one thread with full greeks, the asian trades of
the N-trade book of ``bench_book.py`` made arithmetic, on each engine.
"""

import argparse
import datetime
import math
import time
import warnings

import numpy as np
import pandas as pd
import QuantLib as ql
import torch

from velmora import _core, asian
from velmora._history import StaleHistoryWarning
from velmora.asian import MC_REQUIRED_TOLERANCE, MC_SEED, MC_TRAITS, AsianOption
from velmora.utils import black_scholes_process, set_evaluation_date

import lumadex
from _harness import median_seconds
from scripted_market import CALLS, ScriptedMarket

# lumadex's own calls, put back for the book of the sample store after the scripted runs
REAL_CLIENT = {name: getattr(lumadex, name) for name in CALLS}

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
    parser.add_argument("--book", type=int, default=0,
                        help="also value the asian trades of a book of this many trades")
    parser.add_argument("--accuracy", action="store_true",
                        help="also print the accuracy table of the qmc engine")
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

    seasoned(args.repeat)
    if args.accuracy:
        accuracy()
    if args.book:
        book_asians(args.book)


def seasoned(repeat):
    """The two engines on a seasoned trade: 126 fixings known, 116 to come, spot 57.56."""
    days = pd.bdate_range("2025-01-02", periods=242)
    today, spot, strike, vol, r = days[126], 57.56, 57.0, 0.30, 0.02
    closes = 55.0 * np.exp(0.01 * np.sin(np.arange(126) / 5.0))
    client = ScriptedMarket(first="2014-01-01", last="2037-12-31")
    client.set_bars("X", pd.DataFrame({"close": closes}, index=days[:126]))
    client.install()
    terms = {"effect_date": days[0], "maturity_date": days[-1], "underlying": "X", "s0": 55.0,
             "notional": 1.0, "call_put": "call", "strike": strike,
             "average_type": "arithmetic"}
    default = AsianOption(terms)
    qmc = AsianOption({**terms, "engine": "qmc"})
    # theta's next day is a Saturday after a trading day without a close (today's)
    warnings.simplefilter("ignore", StaleHistoryWarning)
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        t_mc, (v_mc, se_mc) = median_seconds(
            lambda: default.npv_and_se(spot, r, vol, 0.0, today), repeat, warmup=False,
            with_result=True)
        t_qmc, (v_qmc, se_qmc) = median_seconds(
            lambda: qmc.npv_and_se(spot, r, vol, 0.0, today), 10 * repeat, with_result=True)
        t_greeks, greeks = median_seconds(lambda: qmc.greeks(spot, r, vol, 0.0, today),
                                          5 * repeat, with_result=True)
    finally:
        torch.set_num_threads(threads)
    print(f"\nseasoned trade: 126 fixings known, 116 to come, spot {spot}, strike {strike}, "
          f"vol {vol}, one thread; target standard error {asian.QMC_TARGET:g} x spot "
          f"= {asian.QMC_TARGET * spot:.4f}")
    print(f"  {'engine':<24}{'seconds':>10}{'value':>12}{'std error':>12}{'speed-up':>10}")
    print(f"  {'monte_carlo npv':<24}{t_mc:>10.4f}{v_mc:>12.6f}{se_mc:>12.6f}{1.0:>9.1f}x")
    print(f"  {'qmc npv':<24}{t_qmc:>10.4f}{v_qmc:>12.6f}{se_qmc:>12.6f}"
          f"{t_mc / t_qmc:>9.1f}x")
    print(f"  qmc / monte_carlo: {t_mc / t_qmc:.0f}x faster (target >= 100) at "
          f"{se_mc / se_qmc:.1f}x smaller standard error; values differ by "
          f"{abs(v_qmc - v_mc) / math.hypot(se_mc, se_qmc):.2f} combined standard errors")
    print(f"  qmc greeks {1000 * t_greeks:.1f} ms (target < 100), {t_greeks / t_qmc:.1f}x one "
          f"qmc npv: {greeks}")

    # Sobol against pseudo-random points: the same engine, paths and control variate.
    remaining = np.asarray((days[126:] - today).days, dtype=float) / 365.0
    inputs = dict(call=True, strike=strike, maturity=remaining[-1], fixing_times=remaining,
                  known_count=126, known_sum=float(closes.sum()),
                  known_log_sum=float(np.log(closes).sum()), spot=spot, rate=r, dividend=0.0,
                  vol=vol, target_se=0.0, max_paths=1 << 20, replicates=64)
    sobol = _core.asian_arithmetic(**inputs, sobol=True)
    pseudo = _core.asian_arithmetic(**inputs, sobol=False)
    print(f"  {sobol['paths']} paths, control coefficient {sobol['beta']:.3f}: standard error "
          f"{sobol['standard_error']:.6f} with scrambled Sobol points, "
          f"{pseudo['standard_error']:.6f} with pseudo-random ones: pseudo-random needs "
          f"{(pseudo['standard_error'] / sobol['standard_error']) ** 2:.1f}x the paths")


def accuracy():
    """The reference table of the tests: qmc against the plain reference and the default."""
    import test_asian_qmc as table

    client = ScriptedMarket(first="2014-01-01", last="2037-12-31").install()
    print(f"\n{'row':<42}{'qmc':>12}{'se':>10}{'reference':>12}{'se':>10}{'z':>6}"
          f"{'default':>12}{'se':>10}{'z':>6}")
    for row, (call_put, known, spot, moneyness, vol) in zip(table.IDS, table.TABLE):
        client.bars.clear()
        today, closes = table.season(client, round(known * len(table.DAYS)), spot)
        strike = moneyness * spot
        v, se = AsianOption(table.terms(call_put, strike)).npv_and_se(
            spot, table.R, vol, table.Q, today)
        ref, ref_se = table.reference(call_put, strike, spot, vol, today, closes)
        mc, mc_se = AsianOption(table.terms(call_put, strike, "monte_carlo")).npv_and_se(
            spot, table.R, vol, table.Q, today)
        print(f"{row:<42}{v:>12.5f}{se:>10.5f}{ref:>12.5f}{ref_se:>10.5f}"
              f"{(v - ref) / math.hypot(se, ref_se):>6.2f}{mc:>12.5f}{mc_se:>10.5f}"
              f"{(v - mc) / math.hypot(se, mc_se):>6.2f}")


def book_asians(n):
    """The asian trades of bench_book's n-trade book, arithmetic, on both engines."""
    import pathlib
    import sys

    for name, call in REAL_CLIENT.items():
        setattr(lumadex, name, call)
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    from bench_book import DATE, MARKET, MIX
    from make_sample_book import make_book
    from velmora.book import value_book

    trades = [t for t in make_book(n, MIX, seed=11) if t["product"] == "asian"]
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    print(f"\nthe {len(trades)} asian trades of the {n}-trade book made arithmetic, full "
          f"greeks, serial on one thread:")
    times = {}
    try:
        for engine in ("qmc", "monte_carlo"):
            book = pd.DataFrame([{**t, "terms": {**t["terms"], "average_type": "arithmetic",
                                                 "engine": engine}} for t in trades])
            started = time.perf_counter()
            results = value_book(book, MARKET, DATE, executor="serial", progress=False)
            times[engine] = time.perf_counter() - started
            print(f"  {engine:<12} {times[engine]:8.1f} s  failed "
                  f"{results['error'].notna().sum()}  sum of npv {results['npv'].sum():.4f}")
    finally:
        torch.set_num_threads(threads)
    print(f"  qmc / monte_carlo: {times['monte_carlo'] / times['qmc']:.0f}x faster")


if __name__ == "__main__":
    main()
