import datetime

import pandas as pd
import pytest
import QuantLib as ql

from velmora.lookback import LookbackOption

NOT_EXPORTED = "quantlib not exported yet"


def contract(lookback="min", call_put="call"):
    return {"effect_date": "2024-03-01", "maturity_date": "2024-09-30", "underlying": "X",
            "s0": 100.0, "notional": 1e6, "call_put": call_put, "strike": 100.0,
            "lookback": lookback}


@pytest.mark.parametrize("value", ["MIN", "Max", "avg", "", None, 0])
def test_invalid_lookback_type_is_rejected_before_any_history_query(market, value):
    with pytest.raises(AssertionError) as info:
        LookbackOption(contract(value))
    assert str(info.value) == "invalid lookback type: " + str(value)
    assert market.count("get_price") == 0


@pytest.mark.parametrize("call_put, kind", [("call", ql.Option.Call), ("Call", ql.Option.Put),
                                            ("put", ql.Option.Put)])
def test_call_put_and_the_quantlib_terms(market, call_put, kind):
    opt = LookbackOption(contract("max", call_put))
    assert (opt.payoff.optionType(), opt.payoff.strike()) == (kind, 100.0)
    assert opt.exercise.lastDate() == ql.Date(30, 9, 2024)


@pytest.mark.parametrize("lookback, field", [("min", "low"), ("max", "high")])
@pytest.mark.parametrize("with_history", [True, False], ids=["history", "no-history"])
@pytest.mark.parametrize("method", ["npv", "greeks", "delta", "gamma", "vega", "rho", "theta"])
def test_every_valuation_queries_once_then_reports_unavailable(market, lookback, field,
                                                               with_history, method):
    if with_history:
        days = pd.bdate_range("2024-03-01", "2024-03-08")
        market.set_bars("X", pd.DataFrame({"close": 100.0, "low": 95.0, "high": 105.0},
                                          index=days))
    opt = LookbackOption(contract(lookback))
    today = datetime.date(2024, 3, 11)
    with pytest.raises(NotImplementedError, match=f"^{NOT_EXPORTED}$"):
        getattr(opt, method)(100.0, 0.03, 0.2, 0.0, today)
    (call,) = market.calls_to("get_price")
    assert call[2] == {"fields": field, "adjust_type": "pre", "expect_df": True}
    expected_end = today + datetime.timedelta(days=1) if method == "theta" else today
    underlying, start, end = call[1]
    assert (underlying, start, pd.Timestamp(end)) == (
        "X", pd.Timestamp("2024-03-01"), pd.Timestamp(expected_end))


def test_npv_without_date_asks_up_to_today_and_theta_near_expiry_values_nothing(market):
    opt = LookbackOption(contract("min"))
    with pytest.raises(NotImplementedError, match=NOT_EXPORTED):
        opt.npv(100.0, 0.03, 0.2, 0.0)
    assert market.calls_to("get_price")[0][1][2] == datetime.date.today()
    assert opt.theta(100.0, 0.03, 0.2, 0.0, datetime.date(2024, 9, 29)) == 0.0
    assert market.count("get_price") == 1


def test_missing_lookback_key_fails_at_construction(market):
    terms = contract()
    del terms["lookback"]
    with pytest.raises(KeyError, match="lookback"):
        LookbackOption(terms)
