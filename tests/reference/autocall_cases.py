"""Contract terms and market scripting shared by the autocallable tests."""

import pandas as pd

from velmora.groundwork import OptionGreeks

BASE_TERMS = {
    "effect_date": "2024-01-02",
    "maturity_date": "2025-01-02",
    "underlying": "600000.XSHG",
    "s0": 100.0,
    "notional": 1_000_000,
    "strike": 100.0,
    "ki_barrier": 80.0,
    "ko_barrier": 103.0,
    "coupon_rate": 0.2,
    "ki_obs_freq": "daily",
    "ko_obs_freq": "monthly",
    "obs_start_date": "2024-01-02",
    "obs_end_date": "2025-01-02",
}


def terms(**overrides):
    out = dict(BASE_TERMS)
    out.update(overrides)
    return out


def flat_closes(market, start, end, level=100.0, underlying=BASE_TERMS["underlying"],
                overrides=None):
    """Script a close of ``level`` on every weekday from ``start`` to ``end``."""
    closes = {d: level for d in pd.bdate_range(start, end)}
    for d, v in (overrides or {}).items():
        closes[pd.Timestamp(d)] = v
    market.set_closes(underlying, closes)


def separate_greeks(note, spot, r, vol, q, evaluation_date):
    """Value, delta and gamma from one simulation, vega, theta and rho each by its own pass:
    the same bits as ``greeks`` in one pass (``gamma`` is d2V/dS2, not scaled by the spot)."""
    spot, r, vol, q, evaluation_date, knocked_out, knocked_in = note._checked(
        spot, r, vol, q, evaluation_date)
    if knocked_out:
        return OptionGreeks(0.0, 0, 0, 0, 0, 0)
    value, delta, gamma = note._npv(spot, r, vol, q, evaluation_date,
                                    knocked_in=knocked_in, delta_and_gamma=True)
    vega = note.vega(spot, r, vol, q, evaluation_date)
    theta = note.theta(spot, r, vol, q, evaluation_date)
    rho = note.rho(spot, r, vol, q, evaluation_date)
    return OptionGreeks(value, delta, gamma, vega, theta, rho)
