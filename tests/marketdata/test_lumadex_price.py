"""get_price against its definition: frame shape, None for no bars, the backward adjustment.

The adjusted prices are checked against a slow reference written here from the
rule: a bar on day t is divided by the product of the factors whose ex-date e
satisfies t < e <= T, T being the underlying's latest stored bar.
"""

import datetime
import sqlite3

import numpy as np
import pandas as pd
import pytest

import lumadex
from lumadex import _store

D = datetime.date
FIELDS = ["open", "high", "low", "close", "volume"]


def make_store(path, bars, factors=()):
    with _store.writer(path) as conn:
        _store.write_rows(conn, bars, factors)
    return path


def synthetic_bars(underlying, days, first=10.0, step=0.1):
    out = []
    for i, d in enumerate(days):
        c = round(first + step * i, 2)
        out.append((underlying, d.isoformat(), c, round(c * 1.02, 2), round(c * 0.97, 2), c,
                    1000.0 + i))
    return out


@pytest.fixture
def store(tmp_path):
    """A store with A (2024 H1, ex-dates in it), B (June 2024) and nothing else."""
    days_a = lumadex.get_trading_dates(D(2024, 1, 2), D(2024, 6, 28))
    days_b = lumadex.get_trading_dates(D(2024, 6, 3), D(2024, 6, 28))
    bars = synthetic_bars("A.XSHG", days_a) + synthetic_bars("B.XSHG", days_b, first=50.0)
    factors = [("A.XSHG", "2024-03-01", 2.0),   # a 10-for-10 bonus issue
               ("A.XSHG", "2024-05-06", 1.05),  # a cash dividend
               ("A.XSHG", "2024-09-02", 3.0)]   # after the last bar: not applied yet
    path = make_store(tmp_path / "t.sqlite", bars, factors)
    lumadex.init(path)
    yield {"path": path, "bars": bars, "factors": factors}
    lumadex.init(None)
    _store.forget_readers()


def reference(bars, factors, underlying, start, end, field, adjust):
    """The adjusted series, written straight from the rule, one bar at a time."""
    rows = [b for b in bars if b[0] == underlying]
    last = max(b[1] for b in rows)
    col = FIELDS.index(field) + 2
    out = {}
    for b in rows:
        if not start.isoformat() <= b[1] <= end.isoformat():
            continue
        div = 1.0
        if adjust == "pre":
            for u, ex, f in factors:
                if u == underlying and b[1] < ex <= last:
                    div *= f
        out[pd.Timestamp(b[1])] = b[col] * div if field == "volume" else b[col] / div
    return pd.Series(out, dtype=float)


# -- shape ----------------------------------------------------------------------------------

@pytest.mark.parametrize("fields,columns", [
    ("close", ["close"]),
    (["close"], ["close"]),
    (["low", "high"], ["low", "high"]),
    (None, FIELDS),
    (["close", "close", "open"], ["close", "open"]),
], ids=["text", "one-item-list", "two-fields", "all", "repeated"])
def test_frame_has_the_index_and_one_column_per_field(store, fields, columns):
    df = lumadex.get_price("A.XSHG", D(2024, 2, 1), D(2024, 2, 29), fields=fields,
                           adjust_type="none", expect_df=True)
    assert list(df.columns) == columns
    assert list(df.index.names) == ["order_book_id", "date"]
    assert df.index.is_monotonic_increasing and df.index.is_unique
    dates = df.droplevel("order_book_id").index
    assert pd.api.types.is_datetime64_dtype(dates)
    assert list(dates) == [pd.Timestamp(d) for d in
                           lumadex.get_trading_dates(D(2024, 2, 1), D(2024, 2, 29))]
    assert set(df.index.get_level_values("order_book_id")) == {"A.XSHG"}
    assert all(df[c].dtype == float for c in columns)
    if "close" in columns:
        assert (df.close == df["close"]).all()


def test_several_underlyings_come_sorted_by_id_then_date(store):
    df = lumadex.get_price(["B.XSHG", "A.XSHG", "NOPE.XSHG"], D(2024, 6, 24), D(2024, 6, 28),
                           fields="close")
    ids = list(df.index.get_level_values("order_book_id"))
    assert ids == ["A.XSHG"] * 5 + ["B.XSHG"] * 5
    assert df.index.is_monotonic_increasing
    single = lumadex.get_price("B.XSHG", D(2024, 6, 24), D(2024, 6, 28), fields="close")
    pd.testing.assert_series_equal(df.loc["B.XSHG", "close"], single.loc["B.XSHG", "close"])


@pytest.mark.parametrize("ids,start,end", [
    ("A.XSHG", D(2023, 1, 1), D(2023, 12, 31)),   # before the first bar
    ("A.XSHG", D(2024, 7, 1), D(2024, 7, 31)),    # after the last bar
    ("A.XSHG", D(2024, 2, 10), D(2024, 2, 18)),   # Spring Festival closure
    ("A.XSHG", D(2024, 3, 5), D(2024, 3, 1)),     # start after end
    ("NOPE.XSHG", D(2024, 1, 1), D(2024, 12, 31)),
    (["NOPE.XSHG", "ALSO.XSHG"], D(2024, 1, 1), D(2024, 12, 31)),
    ([], D(2024, 1, 1), D(2024, 12, 31)),
], ids=["before", "after", "holiday-only", "reversed", "unknown", "unknown-list", "empty-list"])
def test_no_bars_gives_none(store, ids, start, end):
    assert lumadex.get_price(ids, start, end, fields="close", adjust_type="pre") is None


@pytest.mark.parametrize("make", [
    lambda d: d,
    lambda d: datetime.datetime(d.year, d.month, d.day, 9, 30),
    lambda d: pd.Timestamp(d),
    lambda d: d.isoformat(),
], ids=["date", "datetime", "Timestamp", "iso-text"])
def test_every_date_kind_gives_the_same_frame(store, make):
    a, b = D(2024, 4, 1), D(2024, 4, 30)
    pd.testing.assert_frame_equal(lumadex.get_price("A.XSHG", make(a), make(b)),
                                  lumadex.get_price("A.XSHG", a, b))


@pytest.mark.parametrize("kwargs,accepted", [
    ({"fields": "vwap"}, '"open", "high", "low", "close", "volume"'),
    ({"fields": ["close", "Close"]}, '"open", "high", "low", "close", "volume"'),
    ({"fields": []}, '"open", "high", "low", "close", "volume"'),
    ({"adjust_type": "post"}, '"pre", "none"'),
    ({"adjust_type": None}, '"pre", "none"'),
], ids=["unknown-field", "wrong-case", "no-field", "post", "none-object"])
def test_unknown_field_or_adjust_type_names_the_accepted_values(store, kwargs, accepted):
    with pytest.raises(ValueError) as e:
        lumadex.get_price("A.XSHG", "2024-01-01", "2024-02-01", **kwargs)
    assert accepted in str(e.value)


def test_expect_df_false_is_refused(store):
    with pytest.raises(ValueError, match="expect_df"):
        lumadex.get_price("A.XSHG", "2024-01-01", "2024-02-01", expect_df=False)


# -- the adjustment rule -------------------------------------------------------------------

@pytest.mark.parametrize("start,end", [
    (D(2024, 1, 2), D(2024, 6, 28)),   # the whole history
    (D(2024, 2, 26), D(2024, 3, 6)),   # around the bonus issue
    (D(2024, 1, 2), D(2024, 2, 29)),   # ends before both ex-dates: still on today's scale
    (D(2024, 3, 1), D(2024, 3, 1)),    # the ex-date alone
    (D(2024, 5, 6), D(2024, 6, 28)),   # from the last applied ex-date on: unadjusted
], ids=["all", "around-ex-date", "before-ex-dates", "ex-date-only", "after-ex-dates"])
@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize("adjust", ["pre", "none"])
def test_prices_follow_the_backward_adjustment_rule(store, start, end, field, adjust):
    got = lumadex.get_price("A.XSHG", start, end, fields=field, adjust_type=adjust)
    got = got[field].droplevel("order_book_id")
    want = reference(store["bars"], store["factors"], "A.XSHG", start, end, field, adjust)
    assert list(got.index) == list(want.index)
    err = np.max(np.abs(got.to_numpy() - want.to_numpy()) / np.abs(want.to_numpy()))
    assert err < 1e-12, f"{field} {adjust} {start}..{end}: max rel error {err}"
    # the array twin: the frame's dates and numbers, bit for bit
    dates, values = lumadex.get_price_arrays("A.XSHG", start, end, fields=field,
                                             adjust_type=adjust)
    assert list(pd.DatetimeIndex(dates)) == list(got.index)
    assert values[:, 0].tobytes() == got.to_numpy().tobytes()


@pytest.mark.parametrize("fields", [["low", "high"], None, ["close", "open", "close"]])
def test_array_twin_holds_the_frames_columns_and_refuses_what_it_refuses(store, fields):
    frame = lumadex.get_price("A.XSHG", D(2024, 2, 1), D(2024, 4, 1), fields=fields)
    dates, values = lumadex.get_price_arrays("A.XSHG", D(2024, 2, 1), D(2024, 4, 1), fields)
    assert values.shape == frame.shape and values.tobytes() == frame.to_numpy().tobytes()
    assert lumadex.get_price_arrays("A.XSHG", D(2025, 1, 1), D(2025, 2, 1)) is None
    with pytest.raises(TypeError, match="order_book_id"):
        lumadex.get_price_arrays(["A.XSHG"], D(2024, 2, 1), D(2024, 4, 1))
    with pytest.raises(TypeError, match="start_date"):
        lumadex.get_price_arrays("A.XSHG", 20240201, D(2024, 4, 1))
    with pytest.raises(ValueError, match="accepted"):
        lumadex.get_price_arrays("A.XSHG", D(2024, 2, 1), D(2024, 4, 1), "vwap")


def test_split_leaves_no_jump_in_pre_prices(tmp_path):
    days = lumadex.get_trading_dates(D(2024, 6, 3), D(2024, 6, 7))
    bars = [("S.XSHG", d.isoformat(), p, p, p, p, 100.0)
            for d, p in zip(days, [20.0, 20.0, 10.0, 10.0, 10.0])]
    lumadex.init(make_store(tmp_path / "s.sqlite", bars, [("S.XSHG", days[2].isoformat(), 2.0)]))
    try:
        pre = lumadex.get_price("S.XSHG", days[0], days[-1], ["close", "volume"])
        assert list(pre.close) == [10.0] * 5
        assert list(pre.volume) == [200.0, 200.0, 100.0, 100.0, 100.0]
    finally:
        lumadex.init(None)


def test_new_factor_changes_pre_prices_after_a_bar_on_its_ex_date_arrives(tmp_path):
    days = lumadex.get_trading_dates(D(2024, 6, 3), D(2024, 6, 7))
    bars = synthetic_bars("N.XSHG", days[:3])
    path = make_store(tmp_path / "n.sqlite", bars, [("N.XSHG", days[3].isoformat(), 2.0)])
    lumadex.init(path)
    try:
        before = lumadex.get_price("N.XSHG", days[0], days[-1], "close")["close"]
        make_store(path, synthetic_bars("N.XSHG", days)[3:])
        after = lumadex.get_price("N.XSHG", days[0], days[-1], "close")["close"]
        assert list(before) == [b[5] for b in bars]  # ex-date after the last bar: not applied
        assert list(after.iloc[:3]) == [b[5] / 2.0 for b in bars]
    finally:
        lumadex.init(None)


# -- the store -------------------------------------------------------------------------------

def test_init_refuses_a_missing_file(tmp_path):
    with pytest.raises(lumadex.StoreError, match="no store"):
        lumadex.init(tmp_path / "missing.sqlite")


def test_init_refuses_a_file_that_is_not_a_store(tmp_path):
    path = tmp_path / "other.sqlite"
    sqlite3.connect(path).execute("CREATE TABLE x (y)").connection.commit()
    with pytest.raises(lumadex.StoreError, match="not a lumadex store"):
        lumadex.init(path)


def test_queries_run_on_a_read_only_connection(store):
    conn = _store.reader(store["path"])
    with pytest.raises(sqlite3.OperationalError, match="readonly"):
        conn.execute("DELETE FROM bars")


def test_store_is_in_wal_mode(store):
    mode = sqlite3.connect(store["path"]).execute("PRAGMA journal_mode").fetchone()[0]
    assert mode == "wal"


def test_a_kept_reader_sees_rows_committed_after_it_opened(store):
    assert lumadex.get_price("C.XSHG", "2024-06-03", "2024-06-28") is None
    days = lumadex.get_trading_dates(D(2024, 6, 3), D(2024, 6, 28))
    make_store(store["path"], synthetic_bars("C.XSHG", days))
    assert len(lumadex.get_price("C.XSHG", "2024-06-03", "2024-06-28")) == len(days)


def test_an_odd_underlying_text_is_only_ever_a_value(store):
    assert lumadex.get_price("A.XSHG' OR '1'='1", "2024-01-01", "2024-12-31") is None
    assert len(lumadex.get_price("A.XSHG", "2024-01-01", "2024-12-31")) > 100
