"""Options of orvane.backtest and of the command line: what makes no sense is refused with its valid range."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("orvane.core.portsim")

import orvane  # noqa: E402
from orvane import InputError  # noqa: E402

DATES = pd.bdate_range("2024-01-01", periods=30)


@pytest.fixture(scope="module")
def prices() -> pd.DataFrame:
    rng = np.random.default_rng(4)
    return pd.DataFrame(10 * np.cumprod(1 + rng.normal(0, 0.02, (30, 2)), axis=0), index=DATES, columns=["A", "B"])


@pytest.fixture(scope="module")
def position() -> pd.DataFrame:
    return pd.DataFrame({"A": [1.0, 0.5], "B": [0.0, 0.5]}, index=DATES[[0, 10]])


@pytest.mark.parametrize(
    "option, value, message",
    [
        ("position_limit", -0.5, "position_limit must be a number in (0, 1], got -0.5"),
        ("position_limit", 0.0, "position_limit must be a number in (0, 1]"),
        ("position_limit", 2.0, "position_limit must be a number in (0, 1]"),
        ("fee_ratio", 1.5, "fee_ratio must be a number in [0, 1), got 1.5"),
        ("fee_ratio", -0.1, "fee_ratio must be a number in [0, 1), got -0.1"),
        ("tax_ratio", 2.0, "tax_ratio must be a number in [0, 1), got 2.0"),
        ("slippage", -0.001, "slippage must be a number in [0, 1); fee_ratio + slippage below 1, got -0.001"),
        ("slippage", 0.9986, "fee_ratio + slippage below 1, got 0.9986 (fee_ratio 0.001425)"),
        ("slippage", "5bp", "slippage must be a number in [0, 1); fee_ratio + slippage below 1, got '5bp'"),
        ("fee_ratio", "0.001", "fee_ratio must be a number in [0, 1), got '0.001'"),
        ("fee_ratio", True, "fee_ratio must be a number in [0, 1), got True"),
        ("stop_loss", 10, "stop_loss must be a number in (0, 1], or None for no stop, got 10"),
        ("stop_loss", -0.1, "stop_loss must be a number in (0, 1], or None for no stop, got -0.1"),
        ("stop_loss", 0, "got 0 (use None to switch it off)"),
        ("take_profit", -0.2, "take_profit must be a number above 0, or None for no target, got -0.2"),
        ("trail_stop", 0.0, "trail_stop must be a number above 0"),
        ("trail_stop", float("nan"), "trail_stop must not be NaN"),
        ("touched_exit", "False", "touched_exit must be True or False, got 'False'"),
        ("retain_cost_when_rebalance", "false", "retain_cost_when_rebalance must be True or False, got 'false'"),
        ("stop_trading_next_period", 1, "stop_trading_next_period must be True or False, got 1"),
        ("periodically_rebalance", None, "periodically_rebalance must be True or False, got None"),
        ("excursion_window", -1, "excursion_window must be at least 0"),
        ("excursion_window", 2.5, "excursion_window must be at least 0 (an integer below 2**31), got 2.5"),
        ("excursion_window_step", 0, "excursion_window_step must be at least 1"),
        ("periods_per_year", 0, "periods_per_year must be a number above 0"),
        ("name", 7, "name must be a string or None, got int"),
        ("trade_at", None, "trade_at must be 'close' or 'open', got None"),
    ],
)
def test_options_that_make_no_sense_are_refused_with_their_range(prices, position, option, value, message):
    with pytest.raises(InputError) as info:
        orvane.backtest(position, prices, **{option: value})
    assert message in str(info.value)


def test_a_negative_position_limit_no_longer_buys_an_unselected_stock(prices, position):
    # Before, -0.5 traded A -0.5 and B +0.5 with weights A 1, B 0.
    with pytest.raises(InputError, match="position_limit"):
        orvane.backtest(position.iloc[:1], prices, position_limit=-0.5)
    capped = orvane.backtest(position.iloc[:1], prices, position_limit=0.5)
    assert set(capped.trades["stock"]) == {"A"} and capped.trades["weight"].iloc[0] == pytest.approx(0.5)


def test_numpy_numbers_and_booleans_are_accepted(prices, position):
    plain = orvane.backtest(position, prices, fee_ratio=0.001, stop_loss=0.05, touched_exit=False,
                            excursion_window=3)
    numpy = orvane.backtest(position, prices, fee_ratio=np.float64(0.001), stop_loss=np.float32(0.05).item(),
                            touched_exit=np.bool_(False), excursion_window=np.int64(3))
    pd.testing.assert_series_equal(plain.creturn, numpy.creturn)


def test_infinite_stops_mean_off(prices, position):
    off = orvane.backtest(position, prices)
    inf = orvane.backtest(position, prices, stop_loss=math.inf, take_profit=np.inf, trail_stop=math.inf)
    pd.testing.assert_series_equal(off.creturn, inf.creturn)


def test_an_excursion_window_longer_than_the_data_is_cut_to_it(prices, position):
    # 10**7 bars on 30 used to build a 60,000,000-column path table.
    huge = orvane.backtest(position, prices, excursion_window=10**7)
    exact = orvane.backtest(position, prices, excursion_window=30)
    assert huge.params["excursion_window"] == 30
    pd.testing.assert_frame_equal(huge.trades, exact.trades)
    pd.testing.assert_frame_equal(huge.paths, exact.paths)
    assert huge.paths.shape[1] == 6 * 30


class TestCommandLine:
    """The command's flags go through the same checks, and fail without a traceback."""

    @pytest.fixture(scope="class")
    @classmethod
    def files(cls, tmp_path_factory, prices, position):
        d = tmp_path_factory.mktemp("flags")
        prices.to_csv(d / "close.csv", index_label="date")
        position.to_csv(d / "position.csv", index_label="date")
        return d

    @pytest.mark.parametrize(
        "flags, message",
        [
            (["--stop-loss", "10"], "stop_loss must be a number in (0, 1]"),
            (["--stop-loss", "-0.1"], "stop_loss must be a number in (0, 1]"),
            (["--fee-ratio", "1.5"], "fee_ratio must be a number in [0, 1)"),
            (["--position-limit", "-0.5"], "position_limit must be a number in (0, 1]"),
            (["--excursion-window-step", "0"], "excursion_window_step must be at least 1"),
            (["--periods-per-year", "-12"], "periods_per_year must be a number above 0"),
            (["--resample", "fortnight"], "unknown resample alias 'fortnight'"),
        ],
    )
    def test_bad_flags_exit_2_naming_the_option(self, files, tmp_path, capsys, flags, message):
        from orvane.cli import main

        code = main(["run", "--prices", str(files / "close.csv"), "--position", str(files / "position.csv"),
                     "--out", str(tmp_path / "out"), *flags])
        err = capsys.readouterr().err
        assert code == 2
        assert message in err and "Traceback" not in err
        assert not (tmp_path / "out").exists()

    def test_help_states_the_ranges(self, capsys):
        from orvane.cli import build_parser

        with pytest.raises(SystemExit):
            build_parser().parse_args(["run", "--help"])
        text = " ".join(capsys.readouterr().out.split())
        assert "(0, 1]" in text and "[0, 1)" in text and "--periods-per-year" in text


class TestCosts:
    def test_slippage_is_charged_as_fee_on_every_trade(self, prices, position):
        with_slippage = orvane.backtest(position, prices, fee_ratio=0.001, slippage=0.0005)
        as_fee = orvane.backtest(position, prices, fee_ratio=0.0015)
        np.testing.assert_array_equal(with_slippage.creturn.to_numpy(), as_fee.creturn.to_numpy())
        assert with_slippage.params["fee_ratio"] == 0.001 and with_slippage.params["slippage"] == 0.0005
        assert as_fee.params["slippage"] == 0.0

    def test_stats_state_the_rates_and_what_they_cost(self):
        # One stock bought at 10 on bar 1 and sold at 9 on bar 3 (the costs guide's example):
        # fee 0.001425 on the purchase of 1, fee and tax 0.004425 on the sale of
        # 0.998575 * 0.9 = 0.8987175: 0.001425 + 0.0039768249375 = 0.0054018249375.
        dates = pd.bdate_range("2024-01-01", periods=4)
        px = pd.DataFrame({"A": [10.0, 10.0, 11.0, 9.0]}, index=dates)
        report = orvane.backtest(pd.DataFrame({"A": [1.0, 0.0]}, index=dates[[0, 2]]), px)
        stats = report.stats()
        assert stats["fee_ratio"] == 0.001425 and stats["tax_ratio"] == 0.003 and stats["slippage"] == 0.0
        assert stats["costs_paid"] == pytest.approx(0.0054018249375, rel=1e-12)
        assert report.creturn.iloc[-1] == pytest.approx(0.8947406750625, rel=1e-12)
