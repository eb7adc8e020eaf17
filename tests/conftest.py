"""Shared fixtures: the scripted, in-memory market-data client of ``scripted_market``."""

import pytest

from scripted_market import ScriptedMarket


@pytest.fixture
def market(monkeypatch):
    """A fresh scripted client installed in place of ``lumadex`` for one test."""
    import velmora.calendar

    fake = ScriptedMarket().install(monkeypatch.setattr)
    monkeypatch.setattr(velmora.calendar, "a_share_calendar", None)
    yield fake


@pytest.fixture
def priceless_history(market):
    """Trading days have passed since the effect date, so the history must be there:
    every underlying without scripted bars has a bar with missing prices on each of
    them (see ``ScriptedMarket.serve_priceless_bars``)."""
    market.serve_priceless_bars()
    return market
