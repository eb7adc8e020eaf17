"""Write the sample book of the demo: trades of every product on the synthetic data.

    python scripts/make_sample_book.py [--out examples/book] [--trades 200] [--seed 7]

The contracts are drawn from a fixed seed on lumadex's SYNTHETIC sample store (three
made-up underlyings, data to 2025-12-31): each starts on one of three trading days of
2025 with ``s0`` the close of that day, and its levels are drawn around ``s0``.  Two
runs write the same files.  ``examples/book/`` holds the output of the defaults:
``trades.jsonl`` (one JSON object per trade) and ``market.csv`` (vol, rate and
dividend yield per underlying, and for SYN003 a rate curve, a dividend curve and a
small volatility surface in their place; an empty spot means the store's close on
the evaluation date).

``make_book`` is also the benchmarks' generator, with their own product mix.
"""

import argparse
import csv
import json
import pathlib
import random

UNDERLYINGS = ("SYN001.XSHG", "SYN002.XSHG", "SYN003.XSHG")
EFFECT_DATES = ("2025-01-02", "2025-04-01", "2025-07-01")
MATURITY_DATES = ("2026-03-31", "2026-06-30", "2026-12-31")

# every product in even parts (asian: the geometric average, which has a closed form;
# the arithmetic one is a Monte Carlo run per valuation)
DEMO_MIX = {p: 1.0 for p in ("vanilla", "barrier", "dualknock", "touch", "dualtap", "asian",
                             "lookback", "snowball", "phoenix", "airbag", "straddle")}
DEMO_MIX.update(snowball=0.3, phoenix=0.3)  # a few autocallables: a second each with greeks


def _starts():
    import lumadex

    s0 = {}
    for u in UNDERLYINGS:
        for d in EFFECT_DATES:
            frame = lumadex.get_price(u, d, d, fields="close", adjust_type="pre")
            s0[u, d] = round(float(frame["close"].iloc[0]), 2)
    return s0


def _terms(product, rng, s0):
    lv = lambda ratio: round(s0 * ratio, 2)  # noqa: E731  a level as a ratio of s0
    cp = rng.choice(("call", "put"))
    if product == "vanilla":
        return dict(call_put=cp, strike=lv(rng.uniform(0.85, 1.15)),
                    exercise_type=rng.choice(("european", "european", "american")),
                    payoff_type="plain_vanilla")
    if product == "barrier":
        kind = rng.choice(("down_and_in", "down_and_out", "up_and_in", "up_and_out"))
        barrier = lv(rng.uniform(0.70, 0.90) if kind.startswith("down") else
                     rng.uniform(1.10, 1.30))
        return dict(call_put=cp, strike=lv(rng.uniform(0.9, 1.1)), barrier=barrier,
                    barrier_type=kind, exercise_type="european",
                    payoff_type="plain_vanilla", rebate=lv(rng.choice((0.0, 0.02))))
    if product == "dualknock":
        return dict(call_put=cp, strike=lv(rng.uniform(0.95, 1.05)),
                    barrier_lo=lv(rng.uniform(0.65, 0.85)),
                    barrier_hi=lv(rng.uniform(1.15, 1.35)),
                    barrier_type=rng.choice(("knock_out", "knock_in")),
                    exercise_type="european", payoff_type="plain_vanilla", rebate=0.0)
    if product == "touch":
        kind = rng.choice(("one_touch_up", "no_touch_up", "one_touch_down", "no_touch_down"))
        price = lv(rng.uniform(1.1, 1.3) if kind.endswith("up") else rng.uniform(0.7, 0.9))
        return dict(touch_type=kind, touch_price=price, rebate=0.0,
                    digital_payoff=lv(0.10), pay_at="expiry")
    if product == "dualtap":
        return dict(touch_type=rng.choice(("double_no_touch", "double_one_touch")),
                    touch_price_lo=lv(rng.uniform(0.65, 0.85)),
                    touch_price_hi=lv(rng.uniform(1.15, 1.35)), rebate=0.0,
                    digital_payoff=lv(0.10), pay_at="expiry")
    if product == "asian":
        return dict(call_put=cp, strike=lv(rng.uniform(0.9, 1.1)), average_type="geometric")
    if product == "lookback":
        return dict(call_put=cp, strike=lv(rng.uniform(0.9, 1.1)),
                    lookback=rng.choice(("max", "min")))
    if product in ("snowball", "phoenix"):
        return dict(strike=lv(1.0), ki_barrier=lv(rng.uniform(0.70, 0.80)),
                    ko_barrier=lv(rng.uniform(1.00, 1.05)),
                    coupon_rate=round(rng.uniform(0.08, 0.20), 3),
                    ki_obs_freq="daily", ko_obs_freq="monthly")
    if product == "airbag":
        return dict(ki_barrier=lv(rng.uniform(0.70, 0.85)), pr_before_ki=1.0,
                    pr_after_ki=round(rng.uniform(0.8, 1.0), 2), exercise_type="european",
                    strike=lv(1.0))
    if product == "straddle":
        return dict(strike=lv(rng.uniform(0.9, 1.1)), exercise_type="european")
    raise ValueError(f"unknown product {product!r}")


def make_book(n, mix=None, seed=7):
    """``n`` trades as records (trade_id, product, terms, quantity), products in the
    proportions of ``mix`` (the demo's by default), in a shuffled order."""
    mix = mix or DEMO_MIX
    rng = random.Random(seed)
    total = sum(mix.values())
    counts = {p: int(n * w / total) for p, w in mix.items()}
    for p in sorted(mix, key=lambda p: -mix[p])[:n - sum(counts.values())]:
        counts[p] += 1
    products = [p for p in mix for _ in range(counts[p])]
    rng.shuffle(products)
    s0 = _starts()
    records = []
    for k, product in enumerate(products, start=1):
        underlying = rng.choice(UNDERLYINGS)
        effect = rng.choice(EFFECT_DATES)
        maturity = rng.choice(MATURITY_DATES)
        start = s0[underlying, effect]
        terms = {"effect_date": effect, "maturity_date": maturity, "underlying": underlying,
                 "s0": start, "notional": 1_000_000, **_terms(product, rng, start)}
        if product in ("snowball", "phoenix"):
            terms.update(obs_start_date=effect, obs_end_date=maturity)
        quantity = rng.choice((1, 1, 2, 5, 10)) * rng.choice((1, -1)) * 1000
        records.append({"trade_id": f"T{k:05d}", "product": product, "terms": terms,
                        "quantity": float(quantity)})
    return records


# The sample market's curves and surface for SYN003: a skew that flattens with
# maturity, rates rising with the tenor.
SAMPLE_RATE_CURVE = "1M:0.018; 6M:0.019; 1Y:0.02; 2Y:0.022"
SAMPLE_DIVIDEND_CURVE = "1Y:0.0; 2Y:0.005"
SAMPLE_SURFACE = {"strikes": [70, 85, 100, 115, 130], "expiries": ["3M", "6M", "1Y", "2Y"],
                  "vols": [[0.32, 0.30, 0.28, 0.26], [0.26, 0.25, 0.24, 0.235],
                           [0.22, 0.22, 0.22, 0.22], [0.20, 0.205, 0.21, 0.21],
                           [0.195, 0.20, 0.205, 0.205]]}


def write_book(records, folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    with open(folder / "trades.jsonl", "w", encoding="utf-8") as f:
        for record in records:
            f.write(json.dumps(record, sort_keys=False) + "\n")
    with open(folder / "market.csv", "w", encoding="utf-8", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["underlying", "spot", "vol", "r", "q", "r_curve", "q_curve",
                         "vol_surface"])
        # SYN001 and SYN002 without a spot: the store's close on the evaluation date
        writer.writerow(["SYN001.XSHG", "", "0.28", "0.02", "0.0", "", "", ""])
        writer.writerow(["SYN002.XSHG", "", "0.32", "0.02", "0.01", "", "", ""])
        # SYN003 on curves and a small surface (strikes in per cent of spot)
        writer.writerow(["SYN003.XSHG", "57.56", "", "", "", SAMPLE_RATE_CURVE,
                         SAMPLE_DIVIDEND_CURVE, json.dumps(SAMPLE_SURFACE)])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=str(pathlib.Path(__file__).resolve().parent.parent /
                                             "examples" / "book"))
    parser.add_argument("--trades", type=int, default=200)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)
    records = make_book(args.trades, seed=args.seed)
    write_book(records, args.out)
    print(f"{len(records)} trades written to {args.out}")


if __name__ == "__main__":
    main()
