"""The A-share calendar: QuantLib's China calendar corrected by the client's trading days."""

import datetime

import QuantLib as ql
import pytest

import lumadex
import velmora.calendar as vcal


def test_built_once_and_client_asked_once_for_the_window(market):
    first = vcal.get_a_share_calendar()
    second = vcal.get_a_share_calendar()
    assert first is second
    calls = market.calls_to("get_trading_dates")
    assert len(calls) == 1
    start, end = calls[0][1]
    today = datetime.date.today()
    assert (start, end) == (today - datetime.timedelta(days=3650),
                            today + datetime.timedelta(days=3650))


def test_failed_build_is_not_cached(market, monkeypatch):
    def broken(start, end):
        raise ConnectionError("client down")

    monkeypatch.setattr(lumadex, "get_trading_dates", broken)
    with pytest.raises(ConnectionError):
        vcal.get_a_share_calendar()
    assert vcal.a_share_calendar is None
    monkeypatch.setattr(lumadex, "get_trading_dates", market.get_trading_dates)
    assert vcal.get_a_share_calendar() is not None


def _window_year():
    return datetime.date.today().year + 2


def test_client_decides_business_days_inside_its_span(market):
    y = _window_year()
    # QuantLib's China calendar closes on 1 January; the scripted exchange trades
    # then (if a weekday) and instead closes on a plain weekday in March.
    new_year = next(datetime.date(y + k, 1, 1) for k in range(7)
                    if datetime.date(y + k, 1, 1).weekday() < 5)
    march = next(datetime.date(y, 3, d) for d in range(10, 20)
                 if datetime.date(y, 3, d).weekday() < 5)
    market.set_calendar(holidays=[march])
    cal = vcal.get_a_share_calendar()
    ql_day = lambda d: ql.Date(d.day, d.month, d.year)  # noqa: E731
    assert cal.isBusinessDay(ql_day(new_year))
    assert not cal.isBusinessDay(ql_day(march))
    assert not cal.isBusinessDay(ql_day(march - datetime.timedelta(days=march.weekday() + 1)))


def test_dates_beyond_client_span_follow_quantlib(market):
    last = datetime.date.today() + datetime.timedelta(days=400)
    market.set_calendar(first=datetime.date(2000, 1, 1), last=last)
    beyond = [ql.Date(last.day, last.month, last.year) + k for k in range(1, 400)]
    # QuantLib calendars of one market share their holiday edits, so the reference
    # is a snapshot taken before the build, not another China() object.
    before = [ql.China().isBusinessDay(d) for d in beyond]
    cal = vcal.get_a_share_calendar()
    assert [cal.isBusinessDay(d) for d in beyond] == before
    assert sum(before) > 200  # the snapshot does contain business days


def test_empty_client_calendar_fails_and_caches_nothing(market):
    market.set_calendar(days=[])
    with pytest.raises(IndexError):
        vcal.get_a_share_calendar()
    assert vcal.a_share_calendar is None
