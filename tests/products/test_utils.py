"""Date conversion and observation schedules."""

import datetime

import numpy as np
import pandas as pd
import pytest
import QuantLib as ql

from velmora.utils import get_obs_dates, to_qldate, to_timestamp


@pytest.mark.parametrize("value", [
    datetime.date(2024, 2, 29),
    datetime.datetime(2024, 2, 29, 23, 59),
    pd.Timestamp("2024-02-29 10:00"),
    pd.Timestamp("2024-02-29", tz="Asia/Shanghai"),
    np.datetime64("2024-02-29"),
    np.datetime64("2024-02-29T08:00:00"),
    "2024-02-29",
    "20240229",
    ql.Date(29, 2, 2024),
], ids=lambda v: type(v).__name__)
def test_to_qldate_keeps_the_calendar_day(value):
    assert to_qldate(value) == ql.Date(29, 2, 2024)
    assert to_timestamp(value) == pd.Timestamp("2024-02-29")


@pytest.mark.parametrize("value, exc", [
    ("not a date", ValueError), ("2024-02-30", ValueError), (None, TypeError),
    (20240229, TypeError), (1.5, TypeError), (True, TypeError), (pd.NaT, ValueError),
])
def test_bad_dates_name_the_parameter(value, exc):
    with pytest.raises(exc, match="evaluation_date"):
        to_qldate(value, "evaluation_date")


def test_unparsable_text_chains_the_cause():
    with pytest.raises(ValueError) as info:
        to_timestamp("31/31/2024", "maturity_date")
    assert info.value.__cause__ is not None


HOLIDAYS = ["2024-04-04", "2024-04-05", "2024-05-01", "2024-05-02", "2024-05-03",
            "2024-10-01", "2024-10-02", "2024-10-03", "2024-10-04", "2024-10-07"]


@pytest.fixture
def cn_market(market):
    market.set_calendar(holidays=HOLIDAYS)
    return market


def _period_reference(start, end, months):
    """Naive schedule: add months by hand, clip to month end, roll to next weekday not a holiday."""
    out = []
    k = 1
    while True:
        y, m = divmod(start.month - 1 + k * months, 12)
        year, month = start.year + y, m + 1
        last = (datetime.date(year + month // 12, month % 12 + 1, 1)
                - datetime.timedelta(days=1)).day
        d = datetime.date(year, month, min(start.day, last))
        if d > end:
            return out
        while d.weekday() >= 5 or d.isoformat() in HOLIDAYS:
            d += datetime.timedelta(days=1)
        out.append(pd.Timestamp(d))
        k += 1


@pytest.mark.parametrize("freq, months", [
    ("monthly", 1), ("quarterly", 3), ("semi-annual", 6), ("annual", 12)])
@pytest.mark.parametrize("start, end", [
    (datetime.date(2024, 1, 31), datetime.date(2025, 1, 31)),
    (datetime.date(2023, 11, 3), datetime.date(2025, 5, 6)),
])
def test_periodic_schedules(cn_market, freq, months, start, end):
    got = get_obs_dates(pd.Timestamp(start), pd.Timestamp(end), freq)
    expected = _period_reference(start, end, months)
    assert list(got) == expected
    assert got.is_monotonic_increasing and got.is_unique


def test_monthly_rolls_holidays_forward_and_excludes_start(cn_market):
    got = get_obs_dates(pd.Timestamp("2024-03-04"), pd.Timestamp("2024-10-04"), "monthly")
    assert pd.Timestamp("2024-03-04") not in got
    assert pd.Timestamp("2024-04-08") in got  # 4 April (holiday) -> Monday 8 April
    assert pd.Timestamp("2024-10-08") == got[-1]  # the end itself is a holiday


def test_daily_is_every_trading_day_after_start(cn_market):
    got = get_obs_dates(pd.Timestamp("2024-04-01"), pd.Timestamp("2024-04-12"), "daily")
    assert list(got.strftime("%d")) == ["02", "03", "08", "09", "10", "11", "12"]


def test_weekly(cn_market):
    got = get_obs_dates(pd.Timestamp("2024-04-26"), pd.Timestamp("2024-05-24"), "weekly")
    assert list(got.strftime("%m-%d")) == ["05-06", "05-10", "05-17", "05-24"]


def test_schedule_supports_the_operations_the_notes_use(cn_market):
    start = pd.Timestamp("2024-01-15")
    ko = get_obs_dates(start, pd.Timestamp("2024-12-16"), "monthly")
    days = (ko - start).days
    assert days[0] == 31 and all(isinstance(int(d), int) for d in days)
    coupons = pd.Series(np.arange(len(ko), dtype=float), index=ko)
    assert len(coupons[pd.Timestamp("2024-06-01"):]) == (ko >= pd.Timestamp("2024-06-01")).sum()


@pytest.mark.parametrize("freq", ["Monthly", "month", "1M", None, 12])
def test_unknown_frequency_lists_accepted_values(cn_market, freq):
    with pytest.raises(ValueError, match='"daily", "weekly", "monthly", "quarterly", '
                                         '"semi-annual", "annual"'):
        get_obs_dates(pd.Timestamp("2024-01-02"), pd.Timestamp("2024-12-31"), freq)
