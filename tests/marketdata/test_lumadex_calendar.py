"""The client's trading calendar: published years, the estimate beyond them, the three calls.

Oracles: QuantLib's own Shanghai calendar (``ql.China(ql.China.SSE)``, an
independent hand-kept holiday list), the State Council holiday notices and the
Chinese almanac for festival dates, and J. Meeus's worked example for the Sun.
"""

import datetime
import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import lumadex
from lumadex import _calendar, _holidays

D = datetime.date


def weekdays(year):
    return [d.date() for d in pd.bdate_range(f"{year}-01-01", f"{year}-12-31")]


# -- published years ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def sse_closed_weekdays():
    """Weekdays QuantLib's SSE calendar closes, 2008-2026, from a fresh interpreter.

    QuantLib shares one holiday list among all its China calendars in a process, and
    velmora's calendar edits that list, so the oracle is read where nobody has.
    """
    code = ("import QuantLib as ql, json; c = ql.China(ql.China.SSE); "
            "print(json.dumps([d.ISO() for d in c.holidayList(ql.Date(1, 1, 2008), "
            "ql.Date(31, 12, 2026)) if d.weekday() not in (1, 7)]))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    return {D.fromisoformat(x) for x in json.loads(out)}


@pytest.mark.parametrize("year", range(2008, 2027))
def test_published_year_matches_quantlib_sse_calendar(year, sse_closed_weekdays):
    days = set(lumadex.get_trading_dates(D(year, 1, 1), D(year, 12, 31)))
    differ = [d for d in weekdays(year) if (d in days) == (d in sse_closed_weekdays)]
    assert differ == [], f"{year}: lumadex and QuantLib SSE disagree on {differ}"


@pytest.mark.parametrize("day", [
    D(2024, 2, 12),  # Spring Festival week 2024
    D(2024, 5, 3),   # Labour Day 2024
    D(2025, 1, 1),   # New Year's Day
    D(2025, 10, 8),  # National Day week 2025, merged with Mid-Autumn
    D(2026, 2, 23),  # last day of the 2026 Spring Festival closure
    D(2026, 4, 6),   # Qingming 2026 (5 April is a Sunday)
], ids=str)
def test_published_holiday_is_not_a_trading_day(day):
    assert day.weekday() < 5
    assert day not in lumadex.get_trading_dates(day, day)
    assert lumadex.get_previous_trading_date(day) < day < lumadex.get_next_trading_date(day)


@pytest.mark.parametrize("holiday,previous,following", [
    (D(2025, 10, 3), D(2025, 9, 30), D(2025, 10, 9)),
    (D(2024, 2, 12), D(2024, 2, 8), D(2024, 2, 19)),
    (D(2026, 12, 31) + datetime.timedelta(days=1), D(2026, 12, 31), D(2027, 1, 4)),
], ids=["national-day-2025", "spring-festival-2024", "across-published-end"])
def test_previous_and_next_skip_a_whole_closure(holiday, previous, following):
    assert lumadex.get_previous_trading_date(holiday) == previous
    assert lumadex.get_next_trading_date(holiday) == following


# -- the estimate ---------------------------------------------------------------------------

def test_published_calendar_ends_where_the_estimate_starts():
    assert lumadex.published_last_day() == D(2026, 12, 31)
    assert lumadex.first_estimated_day() == D(2027, 1, 1)
    assert not lumadex.is_estimated("2026-12-31") and lumadex.is_estimated("2027-01-01")


@pytest.mark.parametrize("year", [2024, 2025, 2026])
def test_estimate_rules_reproduce_the_published_years_under_current_rules(year):
    """The rules, applied to years that are already published, give the real closures."""
    published = set(lumadex.get_trading_dates(D(year, 1, 1), D(year, 12, 31)))
    closed = {d for d in weekdays(year) if d not in published}
    estimated = set(_holidays.estimated_holidays(year))
    assert estimated == closed, (f"{year}: missing {sorted(closed - estimated)}, "
                                 f"extra {sorted(estimated - closed)}")


# 2027 festival dates from the Chinese almanac: Spring Festival 6 Feb (Sat), Qingming
# 5 Apr (Mon), Dragon Boat 9 Jun (Wed), Mid-Autumn 15 Sep (Wed); 1 Jan and 1 Oct are Fridays.
CLOSED_2027 = [D(2027, 1, 1), D(2027, 2, 5), D(2027, 2, 8), D(2027, 2, 9), D(2027, 2, 10),
               D(2027, 2, 11), D(2027, 2, 12), D(2027, 4, 5), D(2027, 5, 3), D(2027, 5, 4),
               D(2027, 5, 5), D(2027, 6, 9), D(2027, 9, 15), D(2027, 10, 1), D(2027, 10, 4),
               D(2027, 10, 5), D(2027, 10, 6), D(2027, 10, 7)]



def test_first_estimated_year_closes_the_festivals_and_trades_every_other_weekday():
    days = lumadex.get_trading_dates(D(2027, 1, 1), D(2027, 12, 31))
    want = [d for d in weekdays(2027) if d not in set(CLOSED_2027)]
    assert days == want, (f"extra {sorted(set(days) - set(want))}, "
                          f"missing {sorted(set(want) - set(days))}")


@pytest.mark.parametrize("year,expected", [
    (2027, D(2027, 4, 5)), (2028, D(2028, 4, 4)), (2029, D(2029, 4, 4)),
    (2030, D(2030, 4, 5)), (2031, D(2031, 4, 5)), (2032, D(2032, 4, 4)),
])
def test_qingming_matches_the_almanac(year, expected):
    assert _holidays.qingming(year) == expected


@pytest.mark.parametrize("year", range(2008, 2027))
def test_computed_qingming_is_a_published_closure(year):
    """Qingming has been an exchange holiday since 2008; the computed day must be closed."""
    day = _holidays.qingming(year)
    assert day not in lumadex.get_trading_dates(day, day), f"{year}: {day} is a trading day"


def test_solar_longitude_matches_meeus_example_25a():
    # Astronomical Algorithms, example 25.a: 1992 October 13.0 TD, apparent longitude
    # 199.90895 degrees by the low-accuracy method.
    got = _holidays.solar_longitude(2448908.5)
    assert abs(got - 199.90895) < 1e-4, f"expected 199.90895, got {got}, tol 1e-4"


# -- the three calls ------------------------------------------------------------------------

@pytest.mark.parametrize("start,end", [
    (D(2024, 1, 1), D(2024, 12, 31)),
    (D(2026, 11, 1), D(2027, 3, 31)),
    (D(2040, 1, 1), D(2040, 2, 1)),
], ids=["published", "across-the-join", "estimated"])
def test_trading_dates_are_the_weekdays_that_are_not_closed(start, end):
    got = lumadex.get_trading_dates(start, end)
    assert got == sorted(set(got)), "not ascending and unique"
    assert all(start <= d <= end and d.weekday() < 5 for d in got)
    for d in pd.date_range(start, end):
        d = d.date()
        is_trading = d in set(got)
        assert is_trading == (lumadex.get_next_trading_date(lumadex.get_previous_trading_date(d))
                              == d), d


@pytest.mark.parametrize("day", [D(2024, 6, 1), D(2024, 6, 2), D(2031, 3, 8), D(2031, 3, 9)],
                         ids=str)
def test_weekends_are_never_trading_days(day):
    assert day.weekday() >= 5
    assert lumadex.get_trading_dates(day, day) == []
    sunday = day + datetime.timedelta(days=6 - day.weekday())
    assert lumadex.get_next_trading_date(day) > sunday
    assert lumadex.get_previous_trading_date(day) < sunday - datetime.timedelta(days=1)


@pytest.mark.parametrize("day", [D(2024, 6, 5), D(2031, 3, 12)], ids=str)
def test_previous_and_next_are_strict_on_a_trading_day(day):
    assert lumadex.get_trading_dates(day, day) == [day]
    assert lumadex.get_previous_trading_date(day) == day - datetime.timedelta(days=1)
    assert lumadex.get_next_trading_date(day) == day + datetime.timedelta(days=1)


@pytest.mark.parametrize("make", [
    lambda d: d,
    lambda d: datetime.datetime(d.year, d.month, d.day, 15, 30),
    lambda d: pd.Timestamp(d),
    lambda d: d.isoformat(),
    lambda d: np.datetime64(d.isoformat()),
], ids=["date", "datetime", "Timestamp", "iso-text", "datetime64"])
def test_every_date_kind_gives_the_same_answer(make):
    start, end, day = D(2025, 9, 26), D(2025, 10, 10), D(2025, 10, 1)
    assert lumadex.get_trading_dates(make(start), make(end)) == \
        lumadex.get_trading_dates(start, end)
    assert lumadex.get_previous_trading_date(make(day)) == D(2025, 9, 30)
    assert lumadex.get_next_trading_date(make(day)) == D(2025, 10, 9)


def test_the_window_of_the_velmora_calendar_is_served():
    today = datetime.date.today()
    start, end = today - datetime.timedelta(days=3650), today + datetime.timedelta(days=3650)
    days = lumadex.get_trading_dates(start, end)
    assert days[0] >= start and days[-1] <= end
    assert days[0] - start < datetime.timedelta(days=10)
    assert end - days[-1] < datetime.timedelta(days=15)
    # about 243 trading days a year, each way
    assert 20 * 236 < len(days) < 20 * 250


def test_rebuilding_the_session_list_after_a_cache_clear_lists_each_day_once():
    """The published days stay cached when the session list is rebuilt; the estimate
    must not be added to them a second time."""
    start, end = D(2030, 1, 1), D(2030, 12, 31)
    before = lumadex.get_trading_dates(start, end)
    for _ in range(2):
        _calendar._sessions.cache_clear()
        days = _calendar._sessions()
        assert all(a < b for a, b in zip(days, days[1:])), "a day is listed twice"
        assert lumadex.get_trading_dates(start, end) == before
    assert len(before) == len(set(before))


@pytest.mark.parametrize("call", [
    lambda: lumadex.get_trading_dates("1980-01-01", "1990-01-01"),
    lambda: lumadex.get_trading_dates("2090-01-01", "2100-06-01"),
    lambda: lumadex.get_next_trading_date("2101-01-01"),
    lambda: lumadex.get_trading_dates("2024-13-01", "2025-01-01"),
], ids=["before-first-day", "after-estimate", "next-after-estimate", "bad-text"])
def test_dates_outside_the_calendar_are_refused(call):
    with pytest.raises(ValueError):
        call()


def test_a_non_date_is_refused_with_type_error():
    with pytest.raises(TypeError, match="start"):
        lumadex.get_trading_dates(20240101, "2024-02-01")
