"""Input checks and the arrays handed to the engine."""

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.inputs import InputError, Prices, date_ns, prepare, rebalance_dates
from orvane.schedule import executed_rows


def frame(values, dates=("2024-01-01", "2024-01-02", "2024-01-03"), columns=("A", "B"), tz=None):
    return pd.DataFrame(values, index=pd.DatetimeIndex(list(dates), tz=tz), columns=list(columns))


@pytest.fixture
def prices():
    return frame([[10.0, 20.0], [11.0, 19.0], [12.0, 21.0]])


@pytest.fixture
def position():
    return frame([[0.5, 0.5], [np.nan, 1.0], [0.2, 0.0]])


def test_arrays_have_engine_types_and_shapes(position, prices):
    p = prepare(position, prices)
    assert p.price_values.dtype == np.float64 and p.price_values.shape == (3, 2)
    assert p.close_values is p.price_values
    assert p.high_values is None and p.low_values is None and p.open_values is None
    assert p.price_index.dtype == np.int64 and p.pos_index.dtype == np.int64
    assert p.price_columns.dtype == object and list(p.price_columns) == ["A", "B"]
    assert all(type(x) is str for x in p.pos_columns)
    np.testing.assert_array_equal(p.resample, p.pos_index)


def test_nan_weights_become_zero(position, prices):
    p = prepare(position, prices)
    np.testing.assert_array_equal(p.pos_values, [[0.5, 0.5], [0.0, 1.0], [0.2, 0.0]])


def test_weight_matrix_is_a_private_writable_copy(position, prices):
    p = prepare(position, prices)
    assert p.pos_values.flags.writeable and p.pos_values.flags.c_contiguous
    p.pos_values[:] = 7.0
    assert position.iloc[0, 0] == 0.5


def test_price_matrix_is_not_copied():
    values = np.arange(6.0).reshape(3, 2) + 1.0
    px = frame(values)
    p = prepare(frame([[1.0, 0.0]] * 3), px)
    assert np.shares_memory(p.price_values, px.to_numpy())


def test_boolean_position_is_equal_weight_among_true_columns(prices):
    pos = pd.DataFrame(
        [[True, True, False], [True, False, False], [False, False, False]],
        index=prices.index,
        columns=["A", "B", "C"],
    )
    px = prices.assign(C=5.0)
    p = prepare(pos, px)
    np.testing.assert_array_equal(p.pos_values, [[0.5, 0.5, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 0.0]])


def test_dates_are_epoch_nanoseconds_whatever_the_unit():
    idx = pd.DatetimeIndex(["1970-01-02", "2024-03-01"]).as_unit("s")
    np.testing.assert_array_equal(date_ns(idx), [86_400 * 10**9, 1_709_251_200 * 10**9])


def test_aware_dates_count_in_utc():
    idx = pd.DatetimeIndex(["1970-01-02 08:00"], tz="Asia/Taipei")
    assert date_ns(idx)[0] == 86_400 * 10**9


def test_dates_do_not_depend_on_the_process_time_zone(monkeypatch, position, prices):
    import time

    expected = prepare(position, prices).price_index.copy()
    monkeypatch.setenv("TZ", "America/New_York")
    time.tzset()
    try:
        np.testing.assert_array_equal(prepare(position, prices).price_index, expected)
    finally:
        monkeypatch.delenv("TZ")
        time.tzset()


def test_unsorted_tables_are_sorted(prices):
    pos = frame([[0.0, 1.0], [1.0, 0.0]], dates=["2024-01-03", "2024-01-01"])
    p = prepare(pos, prices.iloc[::-1])
    assert list(np.diff(p.pos_index)) == [2 * 86_400 * 10**9]
    np.testing.assert_array_equal(p.pos_values, [[1.0, 0.0], [0.0, 1.0]])
    np.testing.assert_array_equal(p.price_values[:, 0], [10.0, 11.0, 12.0])


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda pos: pos.reset_index(drop=True), "position must be indexed by dates"),
        (lambda pos: pd.concat([pos, pos.iloc[:1]]), "position has duplicate dates: '2024-01-01"),
        (lambda pos: pos.set_axis(["A", "A"], axis=1), "position has duplicate stock names: 'A'"),
        (lambda pos: pos.assign(B=["x", "y", "z"]), "position has non-numeric values in columns 'B'"),
        (lambda pos: pos.iloc[:0], "position is empty"),
        (lambda pos: pos.iloc[:, :0], "position is empty"),
        (lambda pos: pos.assign(Z=1.0, Y=0.0), "position has stocks missing from prices: 'Z', 'Y'"),
        (lambda pos: pos.tz_localize("UTC"), "position has time zone UTC but prices has no time zone"),
        (lambda pos: pos.assign(A=np.inf), "position has infinite weights"),
        (lambda pos: pos.set_axis([1, "1"], axis=1), "stock names that are equal as text"),
        (lambda pos: "not a table", "position must be a pandas DataFrame, got str"),
    ],
)
def test_position_errors_name_the_problem(make, message, position, prices):
    with pytest.raises(InputError, match=None) as info:
        prepare(make(position), prices)
    assert message in str(info.value)


def test_missing_stock_list_mentions_text_match(prices):
    pos = frame([[1.0]] * 3, columns=[1])
    px = prices.set_axis(["1", "B"], axis=1)
    with pytest.raises(InputError, match="missing from prices: 1 .*match as text"):
        prepare(pos, px)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda px: px.iloc[:0], "close prices is empty"),
        (lambda px: px.reset_index(drop=True), "close prices must be indexed by dates"),
        (lambda px: pd.concat([px, px.iloc[-1:]]), "close prices has duplicate dates"),
        (lambda px: px.assign(A="1"), "close prices has non-numeric values in columns 'A'"),
        (lambda px: [1, 2], "prices must be a DataFrame, a mapping"),
        (lambda px: {"close": px, "volume": px}, "unknown fields 'volume'"),
        (lambda px: {"open": px}, "prices need a 'close' table"),
    ],
)
def test_price_errors_name_the_problem(make, message, position, prices):
    with pytest.raises(InputError) as info:
        prepare(position, make(prices))
    assert message in str(info.value)


def test_ohlc_tables_must_agree(prices):
    with pytest.raises(InputError, match="open prices and close prices have different dates"):
        Prices(prices, open=prices.iloc[:2])
    with pytest.raises(InputError, match="missing in high: 'B'"):
        Prices(prices, high=prices[["A"]])


def test_ohlc_columns_in_another_order_are_aligned(prices):
    px = Prices(prices, open=prices[["B", "A"]] - 1.0)
    assert list(px.open.columns) == ["A", "B"]
    assert px.open.loc["2024-01-01", "A"] == 9.0


def test_trade_at_open_and_touched_exit_need_their_prices(position, prices):
    with pytest.raises(InputError, match="trade_at='open' needs open prices"):
        prepare(position, prices, trade_at="open")
    with pytest.raises(InputError, match="touched_exit=True needs high, low, open prices"):
        prepare(position, prices, touched_exit=True)
    with pytest.raises(InputError, match="trade_at must be 'close' or 'open'"):
        prepare(position, prices, trade_at="vwap")


def test_trade_at_open_uses_open_as_trade_price_and_close_as_close(position, prices):
    px = {"close": prices, "open": prices - 1.0, "high": prices + 1.0, "low": prices - 2.0}
    p = prepare(position, px, trade_at="open", touched_exit=True)
    np.testing.assert_array_equal(p.price_values, prices.to_numpy() - 1.0)
    np.testing.assert_array_equal(p.close_values, prices.to_numpy())
    assert p.open_values is p.price_values
    np.testing.assert_array_equal(p.high_values - p.low_values, np.full((3, 2), 3.0))


def test_field_symbol_column_levels(prices):
    wide = pd.concat({"Close": prices, "Open": prices - 1.0}, axis=1)
    px = orvane.Prices.from_frame(wide)
    assert px.open is not None and px.high is None
    assert px.open.loc["2024-01-02", "B"] == 18.0


def test_long_table_becomes_wide_tables():
    long = pd.DataFrame(
        {
            "Date": ["2024-01-02", "2024-01-01", "2024-01-01", "2024-01-02"],
            "Symbol": ["X", "X", "Y", "Y"],
            "close": [11.0, 10.0, 5.0, 6.0],
            "open": [10.5, 9.5, 5.1, 5.9],
        }
    )
    px = orvane.Prices.from_long(long)
    assert list(px.close.columns) == ["X", "Y"]
    assert list(px.index) == list(pd.to_datetime(["2024-01-01", "2024-01-02"]))
    assert px.close.loc["2024-01-02", "X"] == 11.0 and px.open.loc["2024-01-01", "Y"] == 5.1
    assert px.high is None


def test_long_table_errors():
    with pytest.raises(InputError, match="no 'close' column"):
        orvane.Prices.from_long(pd.DataFrame({"date": ["2024-01-01"], "symbol": ["X"], "open": [1.0]}))
    dup = pd.DataFrame({"date": ["2024-01-01"] * 2, "symbol": ["X"] * 2, "close": [1.0, 2.0]})
    with pytest.raises(InputError, match="several rows for .*'X'"):
        orvane.Prices.from_long(dup)
    with pytest.raises(InputError, match="not dates"):
        orvane.Prices.from_long(pd.DataFrame({"date": ["soon"], "symbol": ["X"], "close": [1.0]}))


def test_month_alias_marks_last_bar_of_each_month():
    dates = pd.bdate_range("2024-01-25", "2024-03-05")
    got = rebalance_dates(dates, "M")
    assert list(got) == list(pd.to_datetime(["2024-01-31", "2024-02-29", "2024-03-05"]))
    assert list(rebalance_dates(dates, "ME")) == list(got)
    assert list(rebalance_dates(dates, "W-FRI"))[:2] == list(pd.to_datetime(["2024-01-26", "2024-02-02"]))
    with pytest.raises(InputError, match="unknown resample alias 'fortnight'"):
        rebalance_dates(dates, "fortnight")


def test_month_alias_marks_month_end_bars_and_keeps_the_rows_they_take_up():
    dates = pd.bdate_range("2024-01-29", "2024-03-04")
    px = pd.DataFrame(1.0, index=dates, columns=["A", "B"])
    pos = pd.DataFrame([[1.0, 0.0], [0.0, 1.0]], index=pd.to_datetime(["2024-01-30", "2024-02-10"]), columns=["A", "B"])
    p = prepare(pos, px, resample="M")
    assert list(pd.to_datetime(p.resample)) == list(pd.to_datetime(["2024-01-31", "2024-02-29", "2024-03-04"]))
    # The rows keep their own dates: the bar of 01-31 takes up the row of 01-30, that of 02-29 the row of 02-10.
    assert list(p.pos_dates) == list(pos.index)
    np.testing.assert_array_equal(p.pos_values, [[1.0, 0.0], [0.0, 1.0]])
    np.testing.assert_array_equal(executed_rows(p.price_index, p.pos_index, p.resample), [0, 1])


def test_explicit_resample_dates_before_the_first_bar_are_dropped(position, prices):
    p = prepare(position, prices, resample=["2023-12-01", "2024-01-02", "2024-01-02"])
    assert list(pd.to_datetime(p.resample)) == [pd.Timestamp("2024-01-02")]
    # The bar of 01-02 takes up the row of 01-02; the newest row (01-03) is kept as the next one.
    assert list(p.pos_dates) == list(pd.to_datetime(["2024-01-02", "2024-01-03"]))
    np.testing.assert_array_equal(p.pos_values, [[0.0, 1.0], [0.2, 0.0]])
    with pytest.raises(InputError, match="every resample date is before the first price date"):
        prepare(position, prices, resample=["2023-01-01"])
    with pytest.raises(InputError, match="resample dates has no time zone but prices has time zone UTC"):
        prepare(position.tz_localize("UTC"), prices.tz_localize("UTC"), resample=["2024-01-02"])


def test_first_row_dated_between_bars_is_dated_at_the_bar_before(prices):
    # Without this the bar whose close notices the row would be skipped as
    # "before the first position date", and the row would never trade.
    pos = frame([[1.0, 0.0], [0.0, 1.0]], dates=["2024-01-01 12:00", "2024-01-02 12:00"])
    p = prepare(pos, prices)
    assert p.pos_index[0] == p.price_index[0]
    assert p.pos_index[1] == date_ns(pos.index)[1]
    assert pos.index[0] == pd.Timestamp("2024-01-01 12:00")


class TestDates:
    """Dates arrive as DatetimeIndex, text or vendor integers; each form is read the same way or refused."""

    def test_yyyymmdd_integers_in_a_long_table_are_dates(self):
        long = pd.DataFrame({"date": [20240102, 20240103], "symbol": "A", "close": [1.0, 2.0]})
        px = Prices.from_long(long)
        # Before, these became 1970-01-01 00:00:00.020240102.
        assert list(px.index) == list(pd.to_datetime(["2024-01-02", "2024-01-03"]))

    def test_yyyymmdd_integers_as_a_table_index_are_dates(self, prices):
        as_ints = prices.set_axis([20240101, 20240102, 20240103], axis=0)
        pos = frame([[1.0, 0.0]] * 3).set_axis([20240101, 20240102, 20240103], axis=0)
        p = prepare(pos, as_ints)
        np.testing.assert_array_equal(p.price_index, prepare(frame([[1.0, 0.0]] * 3), prices).price_index)

    @pytest.mark.parametrize("dates, message", [
        ([1704153600, 1704240000], "not 8-digit YYYYMMDD dates: 1704153600"),
        ([20241345, 20240103], "not valid YYYYMMDD dates: 20241345"),
        ([0, 1], "not 8-digit YYYYMMDD dates"),
    ])
    def test_other_integers_are_refused(self, dates, message):
        with pytest.raises(InputError, match=message):
            Prices.from_long(pd.DataFrame({"date": dates, "symbol": "A", "close": [1.0, 2.0]}))

    def test_a_plain_row_number_index_is_not_taken_for_dates(self, position, prices):
        with pytest.raises(InputError, match="position must be indexed by dates"):
            prepare(position.reset_index(drop=True), prices)

    def test_dates_outside_the_nanosecond_range_are_an_input_error(self, position):
        late = pd.DatetimeIndex(np.array(["2300-01-01", "2300-01-02", "2300-01-03"], dtype="datetime64[s]"))
        with pytest.raises(InputError, match="outside the supported range"):
            prepare(position, frame([[1.0, 2.0]] * 3).set_axis(late, axis=0))
        with pytest.raises(InputError, match="outside the supported range"):
            Prices.from_long(pd.DataFrame({"date": ["2300-01-01"], "symbol": ["A"], "close": [1.0]}))

    def test_resample_dates_as_yyyymmdd_integers(self, position, prices):
        a = prepare(position, prices, resample=[20240102])
        b = prepare(position, prices, resample=["2024-01-02"])
        np.testing.assert_array_equal(a.resample, b.resample)
        with pytest.raises(InputError, match="YYYYMMDD"):
            prepare(position, prices, resample=[1704153600])


class TestLabelsAndSymbols:
    @pytest.mark.parametrize("label", [np.nan, None])
    def test_a_column_without_a_name_is_refused_before_the_run(self, position, prices, label):
        with pytest.raises(InputError, match="position has columns without a stock name"):
            prepare(position.set_axis(["A", label], axis=1), prices)
        with pytest.raises(InputError, match="close prices has columns without a stock name"):
            prepare(position, prices.assign(**{"C": 1.0}).set_axis(["A", "B", label], axis=1))

    def test_a_long_table_with_a_missing_symbol_is_refused(self):
        long = pd.DataFrame({"date": ["2024-01-02"] * 2, "symbol": ["A", None], "close": [1.0, 2.0]})
        with pytest.raises(InputError, match="missing symbols in rows 1"):
            Prices.from_long(long)

    def test_a_long_table_with_a_missing_date_is_refused(self):
        long = pd.DataFrame({"date": ["2024-01-02", None], "symbol": ["A", "A"], "close": [1.0, 2.0]})
        with pytest.raises(InputError, match="missing dates in rows 1"):
            Prices.from_long(long)

    def test_a_time_zone_that_cannot_be_applied_is_an_error(self):
        long = pd.DataFrame({"date": pd.to_datetime(["2024-01-02"]).tz_localize("UTC"), "symbol": ["A"], "close": [1.0]})
        with pytest.raises(InputError, match="time zone UTC, not in tz='Asia/Taipei'"):
            Prices.from_long(long, tz="Asia/Taipei")
        assert str(Prices.from_long(long, tz="UTC").index.tz) == "UTC"

    def test_a_field_given_twice_in_a_mapping_is_refused(self, prices):
        with pytest.raises(InputError, match="the field 'close' twice"):
            Prices.from_mapping({"close": prices, "Close": prices * 2})

    def test_meta_must_be_a_mapping(self, prices):
        with pytest.raises(InputError, match="meta must be a mapping"):
            Prices(prices, meta="from vendor X")


class TestWhatCanNeverTrade:
    def test_weights_dated_after_the_last_price_are_refused(self, prices):
        late = frame([[1.0, 0.0]], dates=["2024-02-01"])
        with pytest.raises(InputError, match="every position row is dated after the last price date"):
            orvane.backtest(late, prices)

    def test_weights_from_the_last_bar_on_are_pending(self, prices):
        # A row dated on the last bar is today's signal: nothing trades yet, the actions say what to do.
        r = orvane.backtest(frame([[1.0, 0.0]], dates=["2024-01-03"]), prices)
        assert len(r.trades) == 0
        assert dict(zip(r.actions()["stock"], r.actions()["action"])) == {"A": "enter"}


class TestBenchmark:
    def test_a_benchmark_in_another_time_zone_is_refused_by_backtest(self, position, prices):
        bench = pd.Series([1.0, 1.1, 1.2], index=prices.index.tz_localize("UTC"))
        with pytest.raises(InputError, match="benchmark has time zone UTC but prices has no time zone"):
            orvane.backtest(position, prices, benchmark=bench)

    @pytest.mark.parametrize("bench, message", [
        (pd.Series([1.0, 2.0, 3.0]), "benchmark must be indexed by dates"),
        (pd.Series(["a", "b", "c"], index=pd.bdate_range("2024-01-01", periods=3)), "benchmark must hold numbers"),
        (pd.Series([1.0, 0.0, 2.0], index=pd.bdate_range("2024-01-01", periods=3)), "positive prices or values"),
        (pd.Series([1.0], index=pd.to_datetime(["2024-02-01"])), "no value on or before the last bar"),
        (pd.Series([], dtype=float), "benchmark is empty"),
    ])
    def test_a_benchmark_that_cannot_be_used_is_refused(self, position, prices, bench, message):
        with pytest.raises(InputError, match=message):
            orvane.backtest(position, prices, benchmark=bench)

    def test_stats_checks_a_benchmark_given_late_the_same_way(self, position, prices):
        r = orvane.backtest(position, prices)
        with pytest.raises(InputError, match="benchmark has time zone UTC"):
            r.stats(benchmark=pd.Series([1.0, 1.1, 1.2], index=prices.index.tz_localize("UTC")))
        by_ints = r.stats(benchmark=pd.Series([1.0, 1.1, 1.2], index=[20240101, 20240102, 20240103]))
        pd.testing.assert_series_equal(by_ints, r.stats(benchmark=pd.Series([1.0, 1.1, 1.2], index=prices.index)))
