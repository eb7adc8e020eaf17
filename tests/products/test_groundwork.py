"""Bump sensitivities of the base class, checked with a probe product.

The probe's value is a quadratic in spot and linear in vol, rate and time, so
central differences are exact and every sensitivity has a closed form.
"""

import datetime

import pandas as pd
import pytest

from velmora.groundwork import BaseOption, OptionGreeks

TERMS = {
    "effect_date": "2024-01-02",
    "maturity_date": "2024-07-01",  # a Monday
    "underlying": "600000.XSHG",
    "s0": 100.0,
    "notional": 1_000_000,
}

A, B, C, D = 0.03, 7.0, 11.0, 0.25  # V = A*spot^2 + B*vol - C*r + D*(days to maturity)


class Probe(BaseOption):
    def __init__(self, option):
        super().__init__(option)
        self.valuations = []

    def npv(self, spot, r, vol, q, evaluation_date=None):
        self.valuations.append((spot, r, vol, q, evaluation_date))
        days = (self.maturity_date - pd.to_datetime(evaluation_date or datetime.date.today())).days
        return A * spot**2 + B * vol - C * r + D * days


@pytest.fixture
def probe(market):
    return Probe(TERMS)


@pytest.mark.parametrize(
    "maturity, expected",
    [
        ("2024-07-01", "2024-07-01"),  # trading day stays
        ("2024-06-29", "2024-07-01"),  # Saturday -> Monday
        ("2024-06-30", "2024-07-01"),  # Sunday -> Monday
        ("2024-05-01", "2024-05-06"),  # scripted Labour Day holidays 1-3 May
    ],
    ids=["trading-day", "saturday", "sunday", "holiday-run"],
)
def test_maturity_moves_onto_next_trading_day(market, maturity, expected):
    market.set_calendar(holidays=["2024-05-01", "2024-05-02", "2024-05-03"])
    opt = BaseOption({**TERMS, "maturity_date": maturity, "effect_date": "2024-04-06"})
    assert opt.maturity_date == pd.Timestamp(expected)
    assert opt.effect_date == pd.Timestamp("2024-04-06")  # a Saturday, never moved
    assert (opt.underlying, opt.s0, opt.notional) == ("600000.XSHG", 100.0, 1_000_000)


@pytest.mark.parametrize("missing", list(TERMS))
def test_missing_common_key_raises_key_error(market, missing):
    terms = {k: v for k, v in TERMS.items() if k != missing}
    with pytest.raises(KeyError, match=missing):
        BaseOption(terms)


@pytest.mark.parametrize("op", ["npv", "greeks", "delta", "gamma", "vega", "rho", "theta"])
def test_base_class_has_no_value(market, op):
    with pytest.raises(NotImplementedError):
        getattr(BaseOption(TERMS), op)(100.0, 0.02, 0.2, 0.0, datetime.date(2024, 3, 1))


EVAL = datetime.date(2024, 3, 1)  # a Friday, 122 days before maturity
SPOT, R, VOL, Q = 100.0, 0.02, 0.2, 0.01


@pytest.mark.parametrize(
    "op, expected, n_valuations",
    [
        ("delta", 2 * A * SPOT, 2),
        ("gamma", 2 * A, 3),
        ("vega", B * 0.01, 2),
        ("rho", C * 0.01, 2),  # value falls with the rate by C per unit: positive here
        ("theta", -D, 2),
    ],
)
def test_single_sensitivity_formula_and_cost(probe, op, expected, n_valuations):
    got = getattr(probe, op)(SPOT, R, VOL, Q, EVAL)
    assert got == pytest.approx(expected, rel=1e-9, abs=1e-12), (op, got, expected)
    assert len(probe.valuations) == n_valuations


def test_bumps_are_the_documented_sizes(probe):
    probe.greeks(SPOT, R, VOL, Q, EVAL)
    v = probe.valuations
    ds = SPOT * 0.005
    assert [x[0] for x in v[:3]] == [SPOT, SPOT + ds, SPOT - ds]
    assert [x[2] for x in v[3:5]] == pytest.approx([VOL + 0.01, VOL - 0.01])
    assert [x[1] for x in v[5:7]] == pytest.approx([R + 0.005, R - 0.005])
    # theta: the shifted valuation first, then the base date
    assert [pd.Timestamp(x[4]) for x in v[7:9]] == [pd.Timestamp(EVAL) + pd.Timedelta(days=1),
                                                   pd.Timestamp(EVAL)]
    assert len(v) == 9


def test_greeks_fields_match_single_operations(probe):
    g = probe.greeks(SPOT, R, VOL, Q, EVAL)
    assert isinstance(g, OptionGreeks) and g._fields == (
        "npv", "delta", "gamma", "vega", "theta", "rho")
    assert g.npv == pytest.approx(probe.npv(SPOT, R, VOL, Q, EVAL))
    assert g.delta == pytest.approx(probe.delta(SPOT, R, VOL, Q, EVAL))
    assert g.gamma == pytest.approx(SPOT * probe.gamma(SPOT, R, VOL, Q, EVAL))
    assert g.rho == pytest.approx(probe.rho(SPOT, R, VOL, Q, EVAL))
    assert g.vega == pytest.approx(probe.vega(SPOT, R, VOL, Q, EVAL))
    assert g.theta == pytest.approx(probe.theta(SPOT, R, VOL, Q, EVAL))


@pytest.mark.parametrize(
    "evaluation, expect_zero",
    [
        ("2024-06-28", False),  # Friday, 3 days before maturity
        ("2024-06-29", False),  # 2 days: still values
        ("2024-06-30", True),  # 1 day: no valuation
        ("2024-07-01", True),  # at maturity
        ("2024-07-10", True),  # past maturity
    ],
)
def test_theta_near_and_past_maturity(probe, evaluation, expect_zero):
    got = probe.theta(SPOT, R, VOL, Q, pd.Timestamp(evaluation))
    if expect_zero:
        assert got == 0.0 and isinstance(got, float) and probe.valuations == []
    else:
        assert got == pytest.approx(-D)
        assert len(probe.valuations) == 2


def test_friday_theta_values_on_saturday(probe):
    probe.theta(SPOT, R, VOL, Q, datetime.date(2024, 6, 28))
    assert pd.Timestamp(probe.valuations[0][4]) == pd.Timestamp("2024-06-29")


@pytest.mark.parametrize("op", ["delta", "theta", "greeks"])
def test_missing_date_means_today(market, op):
    future = datetime.date.today() + datetime.timedelta(days=90)
    probe = Probe({**TERMS, "maturity_date": future})
    getattr(probe, op)(SPOT, R, VOL, Q)
    today = pd.Timestamp(datetime.date.today())
    dates = {pd.Timestamp(v[4]) for v in probe.valuations}
    assert today in dates and None not in {v[4] for v in probe.valuations}


@pytest.mark.parametrize("op", ["gamma", "vega", "rho"])
def test_missing_date_is_passed_on_as_none(probe, op):
    getattr(probe, op)(SPOT, R, VOL, Q)
    assert [v[4] for v in probe.valuations] == [None] * len(probe.valuations)


def test_exception_in_a_bump_propagates(market):
    class Fails(Probe):
        def npv(self, spot, r, vol, q, evaluation_date=None):
            if vol < 0.2:
                raise RuntimeError("vol too low")
            return super().npv(spot, r, vol, q, evaluation_date)

    with pytest.raises(RuntimeError, match="vol too low"):
        Fails(TERMS).greeks(SPOT, R, VOL, Q, EVAL)
