"""The payoff builder shared by the products: what each payoff pays, and what it refuses."""

import pytest
import QuantLib as ql

from velmora._terms import make_payoff, option_type

STRIKE, CASH = 100.0, 7.5


def paid(payoff_type, call, price):
    """What the contract pays at expiry, written from its definition."""
    in_the_money = price > STRIKE if call else price < STRIKE
    if payoff_type == "plain_vanilla":
        return max(price - STRIKE, 0.0) if call else max(STRIKE - price, 0.0)
    if payoff_type == "cash_or_nothing":
        return CASH if in_the_money else 0.0
    return price if in_the_money else 0.0  # asset_or_nothing


@pytest.mark.parametrize("payoff_type", ["plain_vanilla", "cash_or_nothing", "asset_or_nothing"])
@pytest.mark.parametrize("call_put", ["call", "put", "Call"])
def test_payoff_pays_its_definition(payoff_type, call_put):
    payoff, cash = make_payoff({"digital_payoff": CASH}, payoff_type, option_type(call_put),
                               STRIKE, 0.0)
    assert cash == (CASH if payoff_type == "cash_or_nothing" else None)
    for price in (60.0, 99.5, 100.5, 140.0):
        want = paid(payoff_type, call_put == "call", price)
        assert payoff(price) == pytest.approx(want, abs=1e-12), (payoff_type, call_put, price)


def test_cash_amount_defaults_when_the_key_is_missing():
    payoff, cash = make_payoff({}, "cash_or_nothing", ql.Option.Call, STRIKE, 3.0)
    assert cash == 3.0 and payoff(120.0) == 3.0


@pytest.mark.parametrize("payoff_type, error, message", [
    ("asset_or_nothing", NotImplementedError, "asset_or_nothing not supported in a test option"),
    ("digital", AssertionError,
     "unknown payoff type 'digital'; accepted: \"plain_vanilla\", \"cash_or_nothing\""),
    (["plain_vanilla"], AssertionError,
     "unknown payoff type ['plain_vanilla']; accepted: \"plain_vanilla\", \"cash_or_nothing\""),
], ids=["known-unsupported", "unknown", "unhashable"])
def test_refusals_name_what_is_supported(payoff_type, error, message):
    with pytest.raises(error) as info:
        make_payoff({}, payoff_type, ql.Option.Call, STRIKE, 0.0,
                    ("plain_vanilla", "cash_or_nothing"), "a test option")
    assert info.type is error and str(info.value) == message
