"""The scripted client answers like the real one: scripted with the sample store's own
calendar and bars, it gives the same answers to the same calls."""

import datetime

import pandas as pd
import pytest

import lumadex
from scripted_market import ScriptedMarket

U = "SYN002.XSHG"
YEAR = (datetime.date(2025, 1, 2), datetime.date(2025, 12, 31))
FIELDS = ["open", "high", "low", "close", "volume"]


@pytest.fixture(scope="module")
def real(tmp_path_factory):
    """The real client on the sample store, built in a temporary cache."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("LUMADEX_CACHE_DIR", str(tmp_path_factory.getbasetemp() / "lumadex-cache"))
        lumadex.init(None)
        yield lumadex
    lumadex.init(None)


@pytest.fixture(scope="module")
def scripted(real):
    days = real.get_trading_dates(datetime.date(2024, 1, 1), datetime.date(2026, 12, 31))
    fake = ScriptedMarket(days=days)
    for adjust_type in ("pre", "none"):
        bars = real.get_price(U, *YEAR, fields=FIELDS, adjust_type=adjust_type)
        fake.set_bars(U, bars.droplevel(0), adjust_type)
    return fake


@pytest.mark.parametrize("fields", [None, "close", ["low", "high"], ["close"]],
                         ids=["all", "text", "two", "one-item-list"])
@pytest.mark.parametrize("adjust_type", ["pre", "none"])
@pytest.mark.parametrize("start,end", [
    ("2025-03-03", "2025-03-14"),                            # inside the year
    (datetime.date(2025, 10, 1), datetime.date(2025, 10, 7)),  # National Day: no bars
    (pd.Timestamp("2025-12-30 15:00"), datetime.datetime(2026, 1, 9, 9)),  # past the data
    ("2025-03-14", "2025-03-03"),                            # reversed
], ids=["inside", "holidays", "times-of-day-past-the-end", "reversed"])
def test_prices_match_the_client(real, scripted, fields, adjust_type, start, end):
    want = real.get_price(U, start, end, fields=fields, adjust_type=adjust_type)
    got = scripted.get_price(U, start, end, fields=fields, adjust_type=adjust_type)
    if want is None:
        assert got is None
    else:
        pd.testing.assert_frame_equal(got, want)


@pytest.mark.parametrize("day", ["2025-01-02", datetime.date(2025, 10, 1),
                                 pd.Timestamp("2025-10-08"), datetime.datetime(2025, 5, 5, 20)])
def test_calendar_matches_the_client(real, scripted, day):
    assert scripted.get_previous_trading_date(day) == real.get_previous_trading_date(day)
    assert scripted.get_next_trading_date(day) == real.get_next_trading_date(day)
    end = pd.Timestamp(day) + pd.Timedelta(days=40)
    assert scripted.get_trading_dates(day, end) == real.get_trading_dates(day, end)
