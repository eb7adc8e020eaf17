"""Dates read once, at the edge: integers refused everywhere, the evaluation date parsed
once per public call and passed down as read.

References: ``pandas.Timestamp`` on the ISO text of the same day; the products' own
values for the same date given in another form.
"""

import datetime

import pandas as pd
import pytest

import product_table
from autocall_cases import terms as autocall_terms
from product_table import (  # noqa: F401  (closes is a fixture)
    FRI, PRODUCTS, Q, R, SPOT, VOL, barrier, closes, dualknock, dualtap, touch,
)
from velmora import _dates
from velmora.snowball import SnowBallOption
from velmora.utils import to_qldate


@pytest.mark.parametrize("name", PRODUCTS)
def test_integer_dates_are_refused_with_a_type_error(closes, monkeypatch, name):  # noqa: F811
    product = PRODUCTS[name]()
    for value in (20240607, 1.5e9):  # never nanoseconds since 1970
        with pytest.raises(TypeError, match="evaluation_date"):
            product.npv(SPOT, R, VOL, Q, value)
        with pytest.raises(TypeError, match="evaluation_date: expected a date"):
            product.greeks(SPOT, R, VOL, Q, value)
    monkeypatch.setattr(product_table, "EFFECT", 20240506)
    with pytest.raises(TypeError, match="effect_date"):
        PRODUCTS[name]()


@pytest.mark.parametrize("key", ["maturity_date", "obs_start_date", "obs_end_date"])
def test_integer_dates_of_the_terms_name_their_key(closes, key):  # noqa: F811
    with pytest.raises(TypeError, match=key):
        SnowBallOption(autocall_terms(**{key: 20250506}))


@pytest.mark.parametrize("make", [barrier, dualknock, touch, dualtap],
                         ids=["barrier", "dualknock", "touch", "dualtap"])
def test_the_evaluation_date_is_parsed_once_per_call_and_values_match(closes,  # noqa: F811
                                                                      monkeypatch, make):
    product = make()
    want = product.greeks(SPOT, R, VOL, Q, FRI)
    parsed = []
    real = _dates._parsed
    monkeypatch.setattr(_dates, "_parsed", lambda d, p: parsed.append(p) or real(d, p))
    for given, reads in ((FRI.date(), 1), ("2024-06-07", 1), (FRI, 0)):
        parsed.clear()
        assert product.greeks(SPOT, R, VOL, Q, given) == want
        assert parsed == ["evaluation_date"] * reads, given


@pytest.mark.parametrize("given, read", [
    (datetime.datetime(2024, 6, 7, 15, 30), pd.Timestamp("2024-06-07 15:30")),
    (pd.Timestamp("2024-06-07 23:30", tz="Asia/Shanghai"), pd.Timestamp("2024-06-07")),
    ("2024-06-07T09:00", pd.Timestamp("2024-06-07 09:00")),
    (datetime.date(2024, 6, 7), pd.Timestamp("2024-06-07")),
], ids=["time-of-day", "zone", "text", "date"])
def test_evaluation_timestamp_keeps_the_time_of_day_and_drops_a_zone(given, read):
    got = _dates.evaluation_timestamp(given)
    assert type(got) is pd.Timestamp and got == read and got.tzinfo is None
    assert _dates.to_timestamp(given) == read.normalize()


@pytest.mark.parametrize("value, exc, message", [
    (None, TypeError, "evaluation_date: expected a date"),
    ("2025-02-30", ValueError, "evaluation_date: cannot read '2025-02-30' as a date"),
    (pd.NaT, ValueError, "evaluation_date: NaT is not a date"),
])
def test_evaluation_timestamp_refuses_as_the_parser_does(value, exc, message):
    with pytest.raises(exc, match=message):
        _dates.evaluation_timestamp(value)


def test_market_functions_read_their_dates_with_the_parser():
    from velmora._market import moneyness_surface, tenor_curve, vol_surface

    for given in ("2024-06-07", datetime.date(2024, 6, 7)):
        curve = tenor_curve(given, [("1Y", 0.02)])
        assert curve.referenceDate() == to_qldate(given)
    with pytest.raises(TypeError, match="reference_date"):
        tenor_curve(20240607, [("1Y", 0.02)])
    with pytest.raises(TypeError, match="reference_date"):
        moneyness_surface(20240607, 100.0, [90, 110], ["1Y"], [[0.2], [0.2]])
    with pytest.raises(TypeError, match="expiries"):
        vol_surface("2024-06-07", [20250607], [100.0], [[0.2]])

