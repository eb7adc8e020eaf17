"""The book's market file with curves and a surface: read from CSV and Parquet, refused
with the line, and valued as the products value the same QuantLib objects built here."""

import datetime
import json

import pandas as pd
import pytest
import QuantLib as ql

from velmora import book
from velmora.vanilla import VanillaOption

DATE = datetime.date(2025, 12, 31)
UNDERLYING = "SYN001.XSHG"
SPOT = 10.0
RATES = "3M:0.018; 1Y:0.022"
DIVIDENDS = "1Y:0.01"
SURFACE = {"strikes": [80, 100, 120], "expiries": ["3M", "1Y"],
           "vols": [[0.34, 0.31], [0.27, 0.26], [0.24, 0.235]]}
TERMS = {"effect_date": "2025-07-01", "maturity_date": "2026-06-30", "underlying": UNDERLYING,
         "s0": 10.0, "notional": 1.0, "call_put": "put", "strike": 9.5,
         "exercise_type": "european", "payoff_type": "plain_vanilla"}
TRADES = pd.DataFrame({"trade_id": ["p"], "product": ["vanilla"], "terms": [TERMS],
                       "quantity": [1.0]})


def market(r_curve=RATES, q_curve=DIVIDENDS, surface=SURFACE, r=0.02, q=0.0, vol=0.3):
    return pd.DataFrame({"spot": [SPOT], "vol": [vol], "r": [r], "q": [q],
                         "r_curve": [r_curve], "q_curve": [q_curve],
                         "vol_surface": [json.dumps(surface) if surface else None]},
                        index=pd.Index([UNDERLYING], name="underlying"))


def direct_inputs(day, spot=SPOT, dv=0.0):
    """The curves and surface of ``market()`` built with QuantLib alone, anchored on ``day``."""
    ref = ql.Date(day.day, day.month, day.year)
    dc = ql.Actual365Fixed()

    def zero(pairs):
        dates = [ref + ql.Period(t) for t, _ in pairs]
        rates = [z for _, z in pairs]
        return ql.ZeroCurve([ref, *dates, dates[-1] + ql.Period(100, ql.Years)],
                            [rates[0], *rates, rates[-1]], dc)

    expiries = [ref + ql.Period(t) for t in SURFACE["expiries"]]
    matrix = ql.Matrix(3, 2)
    for i, row in enumerate(SURFACE["vols"]):
        for j, v in enumerate(row):
            matrix[i][j] = v + dv
    surface = ql.BlackVarianceSurface(ref, ql.NullCalendar(), expiries,
                                      [spot * k / 100 for k in SURFACE["strikes"]], matrix, dc)
    surface.enableExtrapolation()
    return zero([("3M", 0.018), ("1Y", 0.022)]), surface, zero([("1Y", 0.01)])


def test_rows_are_the_products_own_valuation_on_the_same_quantlib_objects():
    scenarios = [book.Scenario("base"), book.Scenario("up", spot_shift=0.1),
                 book.Scenario("vol", vol_shift=0.02)]
    rows = book.value_book(TRADES, market(), DATE, scenarios=scenarios, executor="serial",
                           progress=False).set_index("scenario")
    option = VanillaOption(TERMS)
    # sticky moneyness: the spot ladder moves the surface's strikes with the spot
    for name, spot, dv in (("base", SPOT, 0.0), ("up", SPOT * 1.1, 0.0), ("vol", SPOT, 0.02)):
        r, vol, q = direct_inputs(DATE, spot, dv)
        g = option.greeks(spot, r, vol, q, DATE)
        r1, vol1, q1 = direct_inputs(DATE + datetime.timedelta(days=1), spot, dv)
        theta = option.npv(spot, r1, vol1, q1, DATE + datetime.timedelta(days=1)) - g.npv
        # every vol of the grid moved by one point either way
        vega = (option.npv(spot, r, direct_inputs(DATE, spot, dv + 0.01)[1], q, DATE)
                - option.npv(spot, r, direct_inputs(DATE, spot, dv - 0.01)[1], q, DATE)) / 2
        for field, expected in (*zip(g._fields[:3], g[:3]), ("vega", vega),
                                ("rho", g.rho), ("theta", theta)):
            assert rows.loc[name, field] == pytest.approx(expected, rel=1e-12), (name, field)


def test_flat_curves_and_surface_give_the_scalars_rows():
    flat = {"strikes": [100], "expiries": ["1Y"], "vols": [[0.3]]}
    curves = book.value_book(TRADES, market("1Y:0.02", "1Y:0.0", flat), DATE,
                             executor="serial", progress=False)
    scalars = book.value_book(TRADES, market(None, None, None), DATE, executor="serial",
                              progress=False)
    for field in ("npv", "delta", "gamma", "vega", "theta", "rho"):
        # gamma divides rounding of the values by ds**2 (ds = 0.05 here)
        tol = 1e-9 if field == "gamma" else 1e-12
        assert curves[field].iloc[0] == pytest.approx(scalars[field].iloc[0], rel=tol), field


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_market_files_carry_curves_and_surfaces(tmp_path, suffix):
    frame = market().reset_index()
    path = tmp_path / f"market{suffix}"
    frame.to_csv(path, index=False) if suffix == ".csv" else frame.to_parquet(path)
    read = book.read_market(path)
    a = book.value_book(TRADES, read, DATE, executor="serial", progress=False)
    b = book.value_book(TRADES, market(), DATE, executor="serial", progress=False)
    pd.testing.assert_frame_equal(a.drop(columns="seconds"), b.drop(columns="seconds"))


@pytest.mark.parametrize("column, cell, problem", [
    ("r_curve", "3M=0.02", "not a tenor:rate pair"),
    ("r_curve", "1Y:0.02 3M:0.01", "ascending"),
    ("q_curve", "1Q:0.01", "not a period"),
    ("r_curve", "1Y:nan", "finite"),
    ("vol_surface", "{not json", "not JSON"),
    ("vol_surface", json.dumps({"strikes": [90, 110], "expiries": ["1Y"], "vols": [[0.2]]}),
     "2 strikes x 1 expiries"),
    ("vol_surface", json.dumps({"strikes": [110, 90], "expiries": ["1Y"],
                                "vols": [[0.2], [0.2]]}), "ascending"),
    ("vol_surface", json.dumps({"strikes": [100], "expiries": ["1Y"], "vols": [[-0.2]]}),
     "positive vols"),
])
def test_market_file_problems_name_the_line(tmp_path, column, cell, problem):
    frame = market().reset_index()
    frame[column] = [cell]
    path = tmp_path / "market.csv"
    frame.to_csv(path, index=False)
    with pytest.raises(ValueError, match=rf"line 2: {column}: .*{problem}"):
        book.read_market(path)
