"""Speed of the local market-data client and of the demo.

    .venv/bin/python benchmarks/bench_lumadex.py [--repeat N] [--demo-runs N] [--no-demo]

It measures the installed packages (the demo's autocallable rows need velmora's
compiled core, which only an install has), so nothing here puts src/ on the path.

Prints medians of
  * get_price: one underlying, one year of closes, "pre" adjusted (target <= 1 ms),
    against a bare sqlite3 SELECT of the same rows as the baseline;
  * get_trading_dates over today +- 3650 days, the window of velmora's calendar
    (target <= 20 ms), against exchange_calendars' own session listing;
  * the whole demo run (examples/quickstart.py in a fresh process), against a bare
    interpreter start that imports lumadex;
and the one-off costs: importing lumadex, building the session array, building the
sample store.  The sample store is built in a temporary cache directory.
"""

import argparse
import datetime
import os
import pathlib
import sqlite3
import subprocess
import sys
import tempfile
import time

from _harness import median_seconds

ROOT = pathlib.Path(__file__).resolve().parent.parent
os.environ.setdefault("LUMADEX_CACHE_DIR", tempfile.mkdtemp(prefix="lumadex-bench-"))


def median_ms(fn, repeat):
    return median_seconds(fn, repeat, warmup=False) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=2000)
    parser.add_argument("--demo-runs", type=int, default=3)
    parser.add_argument("--no-demo", action="store_true")
    args = parser.parse_args()
    print("command:", " ".join([os.path.basename(sys.executable)] + sys.argv))

    t0 = time.perf_counter()
    import lumadex
    from lumadex import _calendar, _sample  # noqa: F401 (_sample: timed with the import)
    t_import = time.perf_counter() - t0
    t0 = time.perf_counter()
    _calendar._sessions()
    t_sessions = time.perf_counter() - t0
    t0 = time.perf_counter()
    store = lumadex.store_path()
    t_sample = time.perf_counter() - t0
    print(f"one-off: import lumadex {t_import * 1e3:.1f} ms, session array "
          f"{t_sessions * 1e3:.1f} ms, sample store build {t_sample * 1e3:.1f} ms")

    # get_price: one underlying, one year of closes
    u, a, b = "SYN003.XSHG", datetime.date(2025, 1, 1), datetime.date(2025, 12, 31)
    n = len(lumadex.get_price(u, a, b, fields="close"))
    ours = median_ms(lambda: lumadex.get_price(u, a, b, fields="close", adjust_type="pre",
                                               expect_df=True), args.repeat)
    conn = sqlite3.connect(pathlib.Path(store).as_uri() + "?mode=ro", uri=True)
    sql = "SELECT date, close FROM bars WHERE underlying = ? AND date >= ? AND date <= ?"
    base = median_ms(lambda: conn.execute(sql, (u, a.isoformat(), b.isoformat())).fetchall(),
                     args.repeat)
    print(f"get_price, 1 underlying x {n} closes, pre: median {ours:.3f} ms "
          f"(target 1 ms); bare SELECT {base:.3f} ms; ratio {ours / base:.1f}x")

    # get_trading_dates over velmora's calendar window
    today = datetime.date.today()
    lo, hi = today - datetime.timedelta(days=3650), today + datetime.timedelta(days=3650)
    n = len(lumadex.get_trading_dates(lo, hi))
    ours = median_ms(lambda: lumadex.get_trading_dates(lo, hi), args.repeat)
    import exchange_calendars

    xshg = exchange_calendars.get_calendar("XSHG")
    first, last = max(lo, xshg.first_session.date()), min(hi, xshg.last_session.date())
    base = median_ms(lambda: xshg.sessions_in_range(first, last), max(args.repeat // 10, 20))
    print(f"get_trading_dates, today +- 3650 days ({n} days): median {ours:.3f} ms "
          f"(target 20 ms); exchange_calendars sessions_in_range over its part "
          f"{base:.3f} ms; ratio {ours / base:.2f}x")

    if args.no_demo:
        return
    cmd = [sys.executable, str(ROOT / "examples" / "quickstart.py"), "--no-times"]
    startup = [sys.executable, "-c", "import lumadex, velmora.vanilla"]

    outputs = []

    def run(c):
        r = subprocess.run(c, check=True, capture_output=True, text=True)
        outputs.append(r.stdout)

    base = median_ms(lambda: run(startup), args.demo_runs)
    outputs.clear()
    demo = median_ms(lambda: run(cmd), args.demo_runs)
    same = "identical" if len(set(outputs)) == 1 else "DIFFERENT"
    print(f"demo (examples/quickstart.py), {args.demo_runs} runs: median {demo / 1e3:.2f} s; "
          f"interpreter start with imports {base / 1e3:.2f} s; ratio {demo / base:.1f}x; "
          f"outputs {same}")


if __name__ == "__main__":
    main()
