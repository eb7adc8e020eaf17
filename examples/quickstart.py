"""Value one contract of every velmora product on the bundled sample data.

    python examples/quickstart.py [--no-times]

The data are SYNTHETIC (lumadex's sample store, generated on first use): three
made-up underlyings whose 2025 paths rise (SYN001), fall (SYN002) and stay in a
range (SYN003).  Every contract starts on the first trading day of 2025 with its
levels set from that day's close, and is valued with full greeks on the last
day of the data, so the history already decides many of them: the table's
"history" column says what the closes (highs/lows for touch products) did.

Every number is deterministic, so two runs print the same table; only the last
column, the wall time of each valuation, changes (``--no-times`` leaves it out).
A product module that is not installed is listed as skipped.
"""

import argparse
import datetime
import importlib
import sys
import time

import lumadex

UNDERLYINGS = ("SYN001.XSHG", "SYN002.XSHG", "SYN003.XSHG")
EFFECT_DATE = datetime.date(2025, 1, 2)
MATURITY_DATE = datetime.date(2026, 12, 31)
R, VOL, Q = 0.02, 0.25, 0.0
NOTIONAL = 1_000_000


def closes(underlying, start, end, field="close"):
    frame = lumadex.get_price(underlying, start, end, fields=field, adjust_type="pre")
    return frame[field].droplevel("order_book_id")


def common(underlying, s0):
    return {"effect_date": EFFECT_DATE, "maturity_date": MATURITY_DATE,
            "underlying": underlying, "s0": s0, "notional": NOTIONAL}


def level(s0, ratio):
    return round(s0 * ratio, 2)


def history_note(kind, underlying, s0, end, **levels):
    """What the history from the effect date to ``end`` did, told from the data itself."""
    if kind == "none":
        return "-"
    if kind in ("up", "down"):
        c = closes(underlying, EFFECT_DATE, end)
        hit = c.max() > levels["barrier"] if kind == "up" else c.min() < levels["barrier"]
        return levels["yes"] if hit else levels["no"]
    if kind in ("touch_up", "touch_down"):
        field = "high" if kind == "touch_up" else "low"
        c = closes(underlying, EFFECT_DATE, end, field)
        hit = c.max() > levels["barrier"] if field == "high" else c.min() < levels["barrier"]
        return "touched" if hit else "not touched"
    if kind == "corridor":
        c = closes(underlying, EFFECT_DATE, end)
        out = c.min() < levels["lo"] or c.max() > levels["hi"]
        return "left corridor" if out else "inside corridor"
    if kind == "touch_corridor":
        lo = closes(underlying, EFFECT_DATE, end, "low").min()
        hi = closes(underlying, EFFECT_DATE, end, "high").max()
        return "touched" if lo < levels["lo"] or hi > levels["hi"] else "not touched"
    if kind == "autocall":
        from velmora.utils import get_obs_dates

        c = closes(underlying, EFFECT_DATE, end)
        ko_dates = get_obs_dates(EFFECT_DATE, MATURITY_DATE, "monthly")
        ko_dates = ko_dates[ko_dates <= c.index[-1]]
        if (c.loc[ko_dates] > levels["ko"]).any():
            return "knocked out"
        return "knocked in" if (c < levels["ki"]).any() else "neither"
    raise ValueError(kind)


def contracts(s0):
    """(label, module, class, underlying, option dictionary, history check) per contract."""
    a, b, c = UNDERLYINGS
    snow = dict(ki_obs_freq="daily", ko_obs_freq="monthly",
                obs_start_date=EFFECT_DATE, obs_end_date=MATURITY_DATE)
    rows = [
        ("vanilla call", "vanilla", "VanillaOption", c,
         dict(call_put="call", strike=s0[c], exercise_type="european",
              payoff_type="plain_vanilla"), ("none", {})),
        ("down-and-in put", "barrier", "BarrierOption", b,
         dict(call_put="put", strike=s0[b], barrier=level(s0[b], 0.85),
              barrier_type="down_and_in", exercise_type="european",
              payoff_type="plain_vanilla", rebate=0.0),
         ("down", dict(barrier=level(s0[b], 0.85), yes="knocked in", no="not knocked in"))),
        ("up-and-out call", "barrier", "BarrierOption", a,
         dict(call_put="call", strike=s0[a], barrier=level(s0[a], 1.15),
              barrier_type="up_and_out", exercise_type="european",
              payoff_type="plain_vanilla", rebate=level(s0[a], 0.03)),
         ("up", dict(barrier=level(s0[a], 1.15), yes="knocked out", no="alive"))),
        ("double knock-out call", "dualknock", "DoubleBarrierOption", c,
         dict(call_put="call", strike=s0[c], barrier_lo=level(s0[c], 0.85),
              barrier_hi=level(s0[c], 1.15), barrier_type="knock_out",
              exercise_type="european", payoff_type="plain_vanilla", rebate=0.0),
         ("corridor", dict(lo=level(s0[c], 0.85), hi=level(s0[c], 1.15)))),
        ("one-touch up", "touch", "SingleTouchOption", a,
         dict(touch_type="one_touch_up", touch_price=level(s0[a], 1.10), rebate=0.0,
              digital_payoff=level(s0[a], 0.10), pay_at="expiry"),
         ("touch_up", dict(barrier=level(s0[a], 1.10)))),
        ("double no-touch", "dualtap", "DoubleTouchOption", c,
         dict(touch_type="double_no_touch", touch_price_lo=level(s0[c], 0.85),
              touch_price_hi=level(s0[c], 1.15), rebate=0.0,
              digital_payoff=level(s0[c], 0.10), pay_at="expiry"),
         ("touch_corridor", dict(lo=level(s0[c], 0.85), hi=level(s0[c], 1.15)))),
        # geometric averaging has a closed form; the arithmetic one is a Monte Carlo
        # run per valuation, minutes for a full set of greeks
        ("geometric asian call", "asian", "AsianOption", c,
         dict(call_put="call", strike=s0[c], average_type="geometric"), ("none", {})),
        # the extreme so far comes from the daily highs (lows); the rest of the path
        # is watched continuously, in closed form
        ("lookback max call", "lookback", "LookbackOption", a,
         dict(call_put="call", strike=s0[a], lookback="max"), ("none", {})),
        ("lookback min call", "lookback", "LookbackOption", a,
         dict(call_put="call", strike=level(s0[a], 0.90), lookback="min"), ("none", {})),
    ]
    for u in UNDERLYINGS:
        rows.append(("snowball", "snowball", "SnowBallOption", u,
                     dict(strike=s0[u], ki_barrier=level(s0[u], 0.75),
                          ko_barrier=level(s0[u], 1.05), coupon_rate=0.15, **snow),
                     ("autocall", dict(ki=level(s0[u], 0.75), ko=level(s0[u], 1.05)))))
    rows += [
        ("phoenix", "phoenix", "PhoenixOption", c,
         dict(strike=s0[c], ki_barrier=level(s0[c], 0.75), ko_barrier=level(s0[c], 1.05),
              coupon_rate=0.12, **snow),
         ("autocall", dict(ki=level(s0[c], 0.75), ko=level(s0[c], 1.05)))),
        ("airbag", "airbag", "AirbagOption", b,
         dict(ki_barrier=level(s0[b], 0.80), pr_before_ki=1.0, pr_after_ki=1.0,
              exercise_type="european", strike=s0[b]),
         ("down", dict(barrier=level(s0[b], 0.80), yes="knocked in", no="not knocked in"))),
        ("straddle", "straddle", "StraddleOption", c,
         dict(strike=s0[c], exercise_type="european"), ("none", {})),
    ]
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--no-times", action="store_true",
                        help="leave out the timing column (the output is then byte-identical)")
    args = parser.parse_args(argv)

    history = lumadex.get_price(list(UNDERLYINGS), EFFECT_DATE, datetime.date.today(),
                                fields="close")
    if history is None:
        sys.exit("the store holds no bars for the sample underlyings; run `python -m lumadex info`")
    evaluation_date = history.index.get_level_values("date").max().date()
    s0 = {u: round(float(closes(u, EFFECT_DATE, EFFECT_DATE).iloc[0]), 2) for u in UNDERLYINGS}
    spot = {u: round(float(closes(u, evaluation_date, evaluation_date).iloc[0]), 2)
            for u in UNDERLYINGS}

    print("velmora quickstart on SYNTHETIC sample data (not market data)")
    print(f"contracts from {EFFECT_DATE} to {MATURITY_DATE}, valued on {evaluation_date}; "
          f"r = {R:.2%}, vol = {VOL:.2%}, q = {Q:.2%}")
    print("start / spot: " + ", ".join(f"{u} {s0[u]:.2f} / {spot[u]:.2f}" for u in UNDERLYINGS))
    print()
    cols = ("npv", "delta", "gamma", "vega", "theta", "rho")
    head = f"{'product':<22} {'underlying':<12} {'history':<16}" + "".join(f"{c:>12}" for c in cols)
    print(head + ("" if args.no_times else f"{'ms':>9}"))
    print("-" * (len(head) + (0 if args.no_times else 9)))
    skipped = []
    for label, module, cls, u, terms, (kind, levels) in contracts(s0):
        try:
            product = getattr(importlib.import_module(f"velmora.{module}"), cls)
        except ImportError:
            if f"velmora.{module}.{cls}" not in skipped:
                skipped.append(f"velmora.{module}.{cls}")
            continue
        note = history_note(kind, u, s0[u], evaluation_date, **levels)
        option = {**common(u, s0[u]), **terms}
        t0 = time.perf_counter()
        try:
            g = product(option).greeks(spot[u], R, VOL, Q, evaluation_date)
            values = "".join(f"{float(x):>12.6f}" for x in g)
        except NotImplementedError as e:
            values = f"{'not available (' + str(e) + ')':>{12 * len(cols)}}"
        ms = (time.perf_counter() - t0) * 1e3
        line = f"{label:<22} {u:<12} {note:<16}{values}"
        print(line + ("" if args.no_times else f"{ms:>9.1f}"), flush=True)
    for name in skipped:
        print(f"skipped: {name} is not installed in this build")


if __name__ == "__main__":
    main()
