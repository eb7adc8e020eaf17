"""History within one ``greeks``: each question put to the client once, the same values
as valuing one by one; and a trade's first days, before today's close is stored.

References: the same greeks with every valuation asking the client afresh, and the
same greeks once today's close (one that crosses nothing) is stored.
"""

import contextlib
import math
import warnings

import pandas as pd
import pytest

import product_table
from autocall_cases import flat_closes
from product_table import (  # noqa: F401  (closes is a fixture)
    FRI, PRODUCTS, Q, R, SPOT, UNDERLYING, VOL, WITH_HISTORY, closes,
)
from velmora import groundwork

WED, THU = pd.Timestamp("2024-06-05"), pd.Timestamp("2024-06-06")


def _question(call):
    _, args, kw = call
    return repr(args), repr(sorted(kw.items()))


@pytest.mark.parametrize("name", WITH_HISTORY)
def test_greeks_asks_each_history_once_and_values_as_one_by_one(closes, monkeypatch,  # noqa: F811
                                                                 name):
    product = PRODUCTS[name]()
    got, calls = closes.price_calls(lambda: product.greeks(SPOT, R, VOL, Q, FRI))
    asked = [_question(c) for c in calls]
    assert len(asked) == len(set(asked)), asked
    assert {c[1][2] for c in calls} <= {FRI, FRI + pd.Timedelta(days=1)}
    # every valuation asking the client itself: the same bits, more questions
    monkeypatch.setattr(groundwork, "one_pass", contextlib.nullcontext)
    alone, calls_alone = closes.price_calls(lambda: product.greeks(SPOT, R, VOL, Q, FRI))
    assert alone == got
    assert len(calls_alone) >= len(calls)


@pytest.mark.parametrize("name", WITH_HISTORY)
@pytest.mark.parametrize("today", [WED, THU], ids=["first-day", "second-day"])
def test_greeks_before_todays_close_is_stored(market, monkeypatch, name, today):
    monkeypatch.setattr(product_table, "EFFECT", "2024-06-05")  # a trade struck on Wednesday
    product = PRODUCTS[name]()
    # the store holds every close before today's: none on the first day
    if today > WED:
        flat_closes(market, WED, today - pd.Timedelta(days=1), underlying=UNDERLYING)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # neither an error nor a stale-history warning
        got = product.greeks(SPOT, R, VOL, Q, today)
    assert all(math.isfinite(x) for x in got)
    if name.startswith("asian"):  # a stored close is a fixing: the average changes
        return
    # today's close, once stored, crosses nothing: nothing changes
    flat_closes(market, WED, today, underlying=UNDERLYING)
    assert product.greeks(SPOT, R, VOL, Q, today) == got


def counted_get_price(monkeypatch):
    """Wrap the client's ``get_price``; the list collects the arguments of each call."""
    import functools

    import lumadex

    asked = []

    @functools.wraps(lumadex.get_price)
    def counted(*args, **kw):
        asked.append(args)
        return counted.__wrapped__(*args, **kw)

    monkeypatch.setattr(lumadex, "get_price", counted)
    return asked


def test_greeks_on_the_store_read_it_once_with_the_values_of_nine_reads(monkeypatch):
    import lumadex
    from velmora.barrier import BarrierOption

    effect = pd.Timestamp("2025-01-02")
    stored = lumadex.get_price("SYN003.XSHG", effect, "2025-12-31", "close")["close"]
    stored = stored.droplevel(0)
    # a day whose next close sets a new high: an up-and-out between the two knocks out on
    # theta's next day only, so a next-day bar leaking into today's answer shows
    highs = stored.cummax()
    day = next(d for d, n in zip(stored.index[20:], stored.index[21:])
               if stored[n] > highs[d] and (n - d).days == 1)
    option = BarrierOption({"underlying": "SYN003.XSHG", "effect_date": effect,
                            "maturity_date": "2026-06-30", "s0": 100.0, "notional": 1,
                            "call_put": "put", "strike": stored[day], "rebate": 0.0,
                            "barrier_type": "up_and_out", "exercise_type": "european",
                            "barrier": (highs[day] + stored[day + pd.Timedelta(days=1)]) / 2,
                            "payoff_type": "plain_vanilla"})
    asked = counted_get_price(monkeypatch)
    spot = stored[day] * 0.99  # below the barrier today
    got = option.greeks(spot, R, VOL, Q, day)
    assert len(asked) == 1 and got.npv > 0 and got.theta == -got.npv
    monkeypatch.setattr(groundwork, "one_pass", contextlib.nullcontext)
    assert option.greeks(spot, R, VOL, Q, day) == got and len(asked) == 1 + 9


STORE_TERMS = {"underlying": "SYN003.XSHG", "effect_date": "2025-01-02", "s0": 100.0,
               "maturity_date": "2026-06-30", "notional": 1.0}


@pytest.mark.parametrize("make, reads", [
    (lambda: product_table.barrier(**STORE_TERMS, barrier=40.0), 1),
    (lambda: product_table.dualknock(**STORE_TERMS, barrier_lo=30.0, barrier_hi=300.0), 1),
    (lambda: product_table.touch(**STORE_TERMS, touch_price=300.0), 2),  # lows/highs, closes
    (lambda: product_table.dualtap(**STORE_TERMS, touch_price_lo=30.0,
                                   touch_price_hi=300.0), 2),
], ids=["barrier", "dualknock", "touch", "dualtap"])
def test_greeks_on_the_store_read_it_once_per_question_with_the_frames_values(monkeypatch,
                                                                            make, reads):
    import lumadex
    from lumadex import _store

    day = pd.Timestamp("2025-12-30")
    conn = _store.reader(lumadex.store_path())
    statements = []
    conn.set_trace_callback(statements.append)
    try:
        got = make().greeks(SPOT, R, VOL, Q, day)
    finally:
        conn.set_trace_callback(None)
    # one read of the bars per question, through theta's next day, for two valuation dates
    assert sum(s.lstrip().startswith("SELECT date") for s in statements) == reads
    # a wrapped client is asked itself, through its frames: the same bits
    asked = counted_get_price(monkeypatch)
    assert make().greeks(SPOT, R, VOL, Q, day) == got and len(asked) == reads
