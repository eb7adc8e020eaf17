"""Cost of ``greeks`` for the barrier family, next to the bare QuantLib work it does.

For each product the script times ``greeks`` (median of several runs) and counts the
market-data queries one call makes, then times, in the same run, the QuantLib
valuations that call performs done directly: a fresh quote, curves, process and
engine on a prebuilt instrument, the evaluation date set, ``NPV``.  The difference
is the package's overhead per valuation; the time spent inside the scripted
in-process client (building the price frames it returns) is shown apart, so that
the last column is the package's own work: history scans, dispatch, date
handling and Python calls.

Run from the repository root, with velmora installed:

    .venv/bin/python benchmarks/bench_barrier_family.py [--repeat N]
"""

import argparse
import contextlib
import datetime
import statistics
import sys
import time

import pandas as pd
import QuantLib as ql

import velmora.calendar
from velmora.airbag import AirbagOption
from velmora.barrier import BarrierOption
from velmora.calendar import get_a_share_calendar
from velmora.dualknock import DoubleBarrierOption
from velmora.dualtap import DoubleTouchOption
from velmora.straddle import StraddleOption
from velmora.touch import SingleTouchOption

from _harness import median_seconds
from _oracles import qld
from scripted_market import ScriptedMarket

UNDERLYING = "600000.XSHG"
EFFECT = pd.Timestamp("2024-01-02")
EVAL = datetime.date(2024, 3, 1)
MATURITY = pd.Timestamp("2024-12-31")
SPOT, R, VOL, Q = 100.0, 0.025, 0.25, 0.0


def scripted_market():
    """The client's four calls served from memory: weekdays, one flat-ish price path."""
    dates = pd.bdate_range(EFFECT, "2024-12-31")
    closes = [100.0 + (i % 7) - 3 for i in range(len(dates))]  # 97 .. 103
    bars = pd.DataFrame(
        {"close": closes, "low": [c - 1.0 for c in closes], "high": [c + 1.0 for c in closes]},
        index=dates,
    )
    market = ScriptedMarket(first="2010-01-01", last="2040-12-31")
    market.set_bars(UNDERLYING, bars)
    return market


def common(**kw):
    option = {"underlying": UNDERLYING, "effect_date": EFFECT, "maturity_date": MATURITY,
              "s0": 100.0, "notional": 1}
    option.update(kw)
    return option


def american(pay_at_expiry=False):
    return ql.AmericanExercise(qld(EFFECT), qld(MATURITY), pay_at_expiry)


def european():
    return ql.EuropeanExercise(qld(MATURITY))


def scenarios():
    """The nine market inputs of ``BaseOption.greeks``, in its order."""
    ds = SPOT * 0.005
    day = EVAL + datetime.timedelta(days=1)
    return [
        (SPOT, R, VOL, Q, EVAL), (SPOT + ds, R, VOL, Q, EVAL), (SPOT - ds, R, VOL, Q, EVAL),
        (SPOT, R, VOL + 0.01, Q, EVAL), (SPOT, R, VOL - 0.01, Q, EVAL),
        (SPOT, R + 0.005, VOL, Q, EVAL), (SPOT, R - 0.005, VOL, Q, EVAL),
        (SPOT, R, VOL, Q, day), (SPOT, R, VOL, Q, EVAL),
    ]


def bare_quantlib(instruments):
    """The QuantLib work of one ``greeks`` call, done directly: (instrument, engine) pairs."""
    cal = get_a_share_calendar()
    dc = ql.Actual365Fixed()
    for spot, r, vol, q, date in scenarios():
        for instrument, engine in instruments:
            process = ql.BlackScholesMertonProcess(
                ql.QuoteHandle(ql.SimpleQuote(spot)),
                ql.YieldTermStructureHandle(ql.FlatForward(0, cal, q, dc)),
                ql.YieldTermStructureHandle(ql.FlatForward(0, cal, r, dc)),
                ql.BlackVolTermStructureHandle(ql.BlackConstantVol(0, cal, vol, dc)),
            )
            instrument.setPricingEngine(engine(process))
            ql.Settings.instance().evaluationDate = qld(date)
            instrument.NPV()


def products():
    """(name, product, QuantLib instruments and engines its valuations use)."""
    call = ql.Option.Call
    rows = []

    def barrier(name, exercise, engine):
        """A down-and-out call at 80, struck at 100."""
        terms = common(call_put="call", strike=100.0, barrier_type="down_and_out", barrier=80.0,
                       payoff_type="plain_vanilla", rebate=0.0, exercise_type=exercise)
        at = american() if exercise == "american" else european()
        return (name, BarrierOption(terms),
                [(ql.BarrierOption(ql.Barrier.DownOut, 80.0, 0.0,
                                   ql.PlainVanillaPayoff(call, 100.0), at), engine)])

    def double_barrier(name, lo, hi):
        """A European double knock-out call between ``lo`` and ``hi``, struck at 100."""
        terms = common(call_put="call", strike=100.0, barrier_type="knock_out", barrier_lo=lo,
                       barrier_hi=hi, exercise_type="european", payoff_type="plain_vanilla")
        return (name, DoubleBarrierOption(terms),
                [(ql.DoubleBarrierOption(ql.DoubleBarrier.KnockOut, lo, hi, 0.0,
                                         ql.PlainVanillaPayoff(call, 100.0), european()),
                  ql.AnalyticDoubleBarrierEngine)])

    rows.append(barrier("barrier, European", "european", ql.AnalyticBarrierEngine))
    rows.append(barrier("barrier, American (CRR 400)", "american",
                        lambda p: ql.BinomialBarrierEngine(p, "crr", 400)))
    rows.append(double_barrier("double barrier, European", 75.0, 130.0))
    # A corridor narrow against vol * sqrt(T): the series needs more images than
    # QuantLib's default of 5, which the bare column still uses (the former cost).
    rows.append(double_barrier("double barrier, narrow 95/105", 95.0, 105.0))
    rows.append((
        "single touch, one-touch at hit",
        SingleTouchOption(common(touch_type="one_touch_up", touch_price=120.0, rebate=0.0,
                                 digital_payoff=10.0, pay_at="touch")),
        [(ql.VanillaOption(ql.CashOrNothingPayoff(call, 120.0, 10.0), american()),
          ql.AnalyticDigitalAmericanEngine)],
    ))
    rows.append((
        "single touch, no-touch",
        SingleTouchOption(common(touch_type="no_touch_up", touch_price=120.0, rebate=0.0,
                                 digital_payoff=10.0, pay_at="expiry")),
        [(ql.BarrierOption(ql.Barrier.UpOut, 120.0, 0.0, ql.CashOrNothingPayoff(call, 0.0, 10.0),
                           american(True)), ql.AnalyticBinaryBarrierEngine)],
    ))
    rows.append((
        "double touch, double no-touch",
        DoubleTouchOption(common(touch_type="double_no_touch", touch_price_lo=75.0,
                                 touch_price_hi=130.0, digital_payoff=10.0, pay_at="expiry")),
        [(ql.DoubleBarrierOption(ql.DoubleBarrier.KnockOut, 75.0, 130.0, 0.0,
                                 ql.CashOrNothingPayoff(call, 0.0, 10.0), european()),
          ql.AnalyticDoubleBarrierBinaryEngine)],
    ))
    rows.append((
        "airbag, European",
        AirbagOption(common(ki_barrier=80.0, pr_before_ki=1.0, pr_after_ki=1.0,
                            exercise_type="european", strike=100.0)),
        [(ql.BarrierOption(kind, 80.0, 0.0, ql.PlainVanillaPayoff(side, 100.0), european()),
          ql.AnalyticBarrierEngine)
         for kind, side in ((ql.Barrier.DownOut, call), (ql.Barrier.DownIn, call),
                            (ql.Barrier.DownIn, ql.Option.Put))],
    ))
    rows.append((
        "straddle, European",
        StraddleOption(common(strike=100.0, exercise_type="european")),
        [(ql.VanillaOption(ql.PlainVanillaPayoff(side, 100.0), european()),
          ql.AnalyticEuropeanEngine) for side in (call, ql.Option.Put)],
    ))
    return rows


def interleaved(fn_a, fn_b, repeat, clock=time.perf_counter):
    """``(median seconds of fn_a, of fn_b, median of the per-turn ratios a / b)``.

    The two sides run in turns (a, b, a, b, ...) after one untimed call each, so that a
    shared machine's load weighs on both alike.  ``clock`` is the wall clock by default;
    ``time.thread_time`` counts this thread's processor time alone, which a machine
    shared with other jobs inflates far less than the wall clock (a call of several
    milliseconds is more often interrupted than a short one).
    """
    fn_a(), fn_b()
    a, b = [], []
    for _ in range(repeat):
        for fn, samples in ((fn_a, a), (fn_b, b)):
            t0 = clock()
            fn()
            samples.append(clock() - t0)
    return (statistics.median(a), statistics.median(b),
            statistics.median(x / y for x, y in zip(a, b)))


@contextlib.contextmanager
def store_reads():
    """Counts the price reads the store answers (statements on its bars table)."""
    import lumadex
    from lumadex import _store

    conn = _store.reader(lumadex.store_path())
    reads = []
    def traced(sql):
        if sql.lstrip().startswith("SELECT date"):  # one per read of an underlying's bars
            reads.append(sql)

    conn.set_trace_callback(traced)
    try:
        yield reads
    finally:
        conn.set_trace_callback(None)


def on_the_sample_store(repeat):
    """The European barrier's ``greeks`` on lumadex's own sample store (SQLite), against
    the same nine QuantLib valuations made directly, timed in turns, and as every
    valuation asking the store itself (the former cost).  lumadex's answer for a shorter
    range is a prefix of a longer one's, so one read through theta's next day serves both
    valuation dates.  A fresh product each call: nothing is kept from one call to the
    next."""
    import lumadex

    global EFFECT, MATURITY, EVAL
    EFFECT, MATURITY = pd.Timestamp("2025-01-02"), pd.Timestamp("2026-06-30")
    EVAL = datetime.date(2025, 12, 31)
    terms = {"underlying": "SYN003.XSHG", "effect_date": EFFECT, "maturity_date": MATURITY,
             "s0": 100.0, "notional": 1, "call_put": "call", "strike": 100.0,
             "barrier_type": "down_and_out", "barrier": 50.0, "payoff_type": "plain_vanilla",
             "rebate": 0.0, "exercise_type": "european"}
    products = []
    instruments = [(ql.BarrierOption(ql.Barrier.DownOut, 50.0, 0.0,
                                     ql.PlainVanillaPayoff(ql.Option.Call, 100.0), european()),
                    ql.AnalyticBarrierEngine)]
    lumadex.store_path()  # the sample store built before timing

    def fresh_greeks():
        return products.pop().greeks(SPOT, R, VOL, Q, EVAL)

    def queries():
        with store_reads() as reads:
            BarrierOption(terms).greeks(SPOT, R, VOL, Q, EVAL)
        return len(reads)

    def timed(label):
        products[:] = [BarrierOption(terms) for _ in range(2 * repeat + 4)]
        n = queries()
        bare = lambda: bare_quantlib(instruments)  # noqa: E731
        return [(f"{label} [{clock_name}]", n, interleaved(fresh_greeks, bare, repeat, clock))
                for clock_name, clock in (("wall", time.perf_counter),
                                          ("cpu", time.thread_time))]

    rows = timed("sample store")
    with _without_one_pass():  # every valuation asking the store itself
        rows += timed("sample store, no pass")
    print("\nOn the sample store, each greeks on a fresh product, timed in turns with the bare "
          "QuantLib work (ratio: median of the per-turn ratios; wall clock, then this "
          "thread's processor time):")
    print(f"{'product':48} {'greeks ms':>9} {'reads':>5} {'QL vals':>7} {'bare QL ms':>10} "
          f"{'ratio':>6}")
    for label, n, (t, t_bare, ratio) in rows:
        print(f"{'barrier, European, ' + label:48} {t * 1e3:9.2f} {n:5d} {9:7d} "
              f"{t_bare * 1e3:10.2f} {ratio:6.1f}")


@contextlib.contextmanager
def _without_one_pass():
    from velmora import groundwork

    saved, groundwork.one_pass = groundwork.one_pass, contextlib.nullcontext
    try:
        yield
    finally:
        groundwork.one_pass = saved


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21, help="timed runs per figure")
    parser.add_argument("--store-only", action="store_true",
                        help="only the sample-store figures (the scripted client's rows skipped)")
    args = parser.parse_args(argv)
    if args.store_only:
        on_the_sample_store(args.repeat)
        return

    import lumadex

    real_client = {name: getattr(lumadex, name) for name in
                   ("get_trading_dates", "get_previous_trading_date", "get_next_trading_date",
                    "get_price")}
    market = scripted_market().install()
    velmora.calendar.a_share_calendar = None
    get_a_share_calendar()  # built once per process; not part of any figure below

    header = (f"{'product':32} {'greeks ms':>9} {'queries':>7} {'client ms':>9} "
              f"{'QL vals':>7} {'bare QL ms':>10} {'ratio':>6} {'own us/val':>10}")
    print(f"python {' '.join(sys.argv)}")
    print(f"QuantLib {ql.__version__}, pandas {pd.__version__}, median of {args.repeat} runs")
    print(header)
    print("-" * len(header))
    for name, product, instruments in products():
        product.greeks(SPOT, R, VOL, Q, EVAL)  # warm-up
        market.calls.clear()
        product.greeks(SPOT, R, VOL, Q, EVAL)
        queries = len(market.calls)
        valuations = len(scenarios()) * len(instruments)
        market.seconds = 0.0
        t_greeks = median_seconds(lambda: product.greeks(SPOT, R, VOL, Q, EVAL), args.repeat,
                                  warmup=False)
        t_client = market.seconds / args.repeat  # mean time inside the scripted client
        t_bare = median_seconds(lambda: bare_quantlib(instruments), args.repeat, warmup=False)
        # What is left once QuantLib's own work and the client's answers are taken out.
        own = (t_greeks - t_bare - t_client) / valuations * 1e6
        print(f"{name:32} {t_greeks * 1e3:9.2f} {queries:7d} {t_client * 1e3:9.2f} "
              f"{valuations:7d} {t_bare * 1e3:10.2f} {t_greeks / t_bare:6.1f} {own:10.0f}")
    for name, call in real_client.items():
        setattr(lumadex, name, call)
    velmora.calendar.a_share_calendar = None
    get_a_share_calendar()
    on_the_sample_store(args.repeat)


if __name__ == "__main__":
    main()
