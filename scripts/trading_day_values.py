"""Values and greeks of every QuantLib-based product on trading days, as exact reprs.

    python scripts/trading_day_values.py OUT.json [NAME-FILTER]

Values one contract of each engine-based family (vanilla, barrier, double barrier,
touch, double touch, asian, airbag, straddle) on SYN003.XSHG of the sample store, on
five trading days, and writes every number with ``repr``.  Run it on two versions of
the package and compare the files byte for byte (``cmp``) to show that a change keeps
trading-day values to the bit.  Theta is left out where the next calendar day is not
a trading day.
"""
import datetime, json, sys, warnings
import lumadex
warnings.simplefilter("ignore")
from velmora.vanilla import VanillaOption
from velmora.barrier import BarrierOption
from velmora.dualknock import DoubleBarrierOption
from velmora.touch import SingleTouchOption
from velmora.dualtap import DoubleTouchOption
from velmora.asian import AsianOption
from velmora.airbag import AirbagOption
from velmora.straddle import StraddleOption

U = "SYN003.XSHG"
E = datetime.date(2025, 1, 2)
M = datetime.date(2026, 1, 9)
s0 = float(lumadex.get_price(U, E, E, fields="close")["close"].iloc[0])
base = dict(effect_date=E, maturity_date=M, underlying=U, s0=s0, notional=1.0)
P = []
for ex in ("european", "american"):
    for pt in ("plain_vanilla", "cash_or_nothing", "asset_or_nothing"):
        for cp in ("call", "put"):
            P.append((f"vanilla-{ex}-{pt}-{cp}", VanillaOption, dict(base, call_put=cp, strike=s0, exercise_type=ex, payoff_type=pt, digital_payoff=10.0)))
for ex in ("european", "american"):
    for pt in ("plain_vanilla", "cash_or_nothing"):
        for bt, b in (("down_and_in", 0.7), ("down_and_out", 0.7), ("up_and_in", 1.4), ("up_and_out", 1.4)):
            for pay in (None, "expiry"):
                P.append((f"barrier-{ex}-{pt}-{bt}-{pay}", BarrierOption, dict(base, call_put="call", strike=s0, exercise_type=ex, payoff_type=pt, barrier_type=bt, barrier=s0*b, rebate=0.5, digital_payoff=10.0, pay_at=pay)))
for bt in ("knock_in", "knock_out"):
    for pt in ("plain_vanilla", "cash_or_nothing"):
        P.append((f"dualknock-{bt}-{pt}", DoubleBarrierOption, dict(base, call_put="call", strike=s0, exercise_type="european", payoff_type=pt, barrier_type=bt, barrier_lo=s0*0.6, barrier_hi=s0*1.5, digital_payoff=10.0)))
for tt, lv in (("one_touch_up", 1.4), ("no_touch_up", 1.4), ("one_touch_down", 0.7), ("no_touch_down", 0.7)):
    for pay in ("expiry", "hit"):
        P.append((f"touch-{tt}-{pay}", SingleTouchOption, dict(base, touch_type=tt, touch_price=s0*lv, rebate=0.0, digital_payoff=10.0, pay_at=pay)))
for tt in ("double_one_touch", "double_no_touch"):
    P.append((f"dualtap-{tt}", DoubleTouchOption, dict(base, touch_type=tt, touch_price_lo=s0*0.6, touch_price_hi=s0*1.5, digital_payoff=10.0, pay_at="expiry")))
for av in ("geometric", "arithmetic"):
    P.append((f"asian-{av}", AsianOption, dict(base, call_put="call", strike=s0, average_type=av)))
for ex in ("european", "american"):
    P.append((f"airbag-{ex}", AirbagOption, dict(base, ki_barrier=s0*0.7, pr_before_ki=1.0, pr_after_ki=1.0, exercise_type=ex, strike=s0)))
    P.append((f"straddle-{ex}", StraddleOption, dict(base, strike=s0, exercise_type=ex)))

dates = [datetime.date(2025, 3, 5), datetime.date(2025, 6, 5), datetime.date(2025, 9, 30), datetime.date(2025, 12, 31), datetime.date(2026, 1, 5)]
trading = set(lumadex.get_trading_dates(E, M))
out = {}
only = sys.argv[2] if len(sys.argv) > 2 else ""
for name, cls, opt in P:
    if only and only not in name:
        continue
    o = cls(opt)
    for d in dates:
        key = f"{name}@{d}"
        try:
            if name.startswith("asian-arith"):
                out[key] = {"npv": repr(o.npv(s0, 0.02, 0.25, 0.01, d))}
            else:
                g = o.greeks(s0, 0.02, 0.25, 0.01, d)
                out[key] = {f: repr(v) for f, v in g._asdict().items()}
                if d + datetime.timedelta(days=1) not in trading:
                    out[key].pop("theta")
        except Exception as e:
            out[key] = {"error": f"{type(e).__name__}: {e}"}
json.dump(out, open(sys.argv[1], "w"), indent=0, sort_keys=True)
print(len(out), "entries")
