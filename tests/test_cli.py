"""The orvane command: argument parsing, and demo and run in a subprocess."""

import argparse
import os
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from orvane.cli import _options, build_parser, read_table


def orvane(*args, cwd=None):
    """Run the console script's entry point in a fresh interpreter."""
    code = "import sys; from orvane.cli import main; sys.exit(main())"
    return subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, cwd=cwd, timeout=300,
        env=dict(os.environ, MPLBACKEND="Agg"),
    )


def test_run_options_map_to_backtest_arguments():
    args = build_parser().parse_args(
        ["run", "--prices", "p.csv", "--position", "w.csv", "--out", "o", "--resample", "M",
         "--stop-loss", "0.1", "--take-profit", "none", "--touched-exit", "--trade-after-exit",
         "--excursion-window", "20", "--no-periodic-split", "--fee-ratio", "0"]
    )
    opts = _options(args)
    assert opts["resample"] == "M" and opts["stop_loss"] == 0.1 and opts["take_profit"] is None
    assert opts["touched_exit"] is True and opts["stop_trading_next_period"] is False
    assert opts["excursion_window"] == 20 and opts["periodically_rebalance"] is False
    assert opts["fee_ratio"] == 0.0 and opts["tax_ratio"] == 0.003 and opts["trade_at"] == "close"


def test_run_requires_prices_position_and_out():
    with pytest.raises(SystemExit):
        build_parser().parse_args(["run", "--prices", "p.csv", "--out", "o"])


def test_read_table_takes_dates_from_the_first_column(tmp_path):
    path = tmp_path / "w.csv"
    path.write_text("when,A,B\n2024-01-02,0.5,0.5\n2024-01-03,1,0\n")
    frame = read_table(str(path))
    assert list(frame.columns) == ["A", "B"] and frame.index[0] == pd.Timestamp("2024-01-02")
    bad = tmp_path / "bad.csv"
    bad.write_text("name,A\nx,1\n")
    with pytest.raises(ValueError, match="does not hold dates"):
        read_table(str(bad))
    (tmp_path / "w.xlsx").write_text("")
    with pytest.raises(ValueError, match="unknown table format '.xlsx'"):
        read_table(str(tmp_path / "w.xlsx"))


def test_read_table_keeps_booleans_with_empty_cells_boolean(tmp_path):
    path = tmp_path / "held.csv"
    path.write_text("date,A,B\n2024-01-02,True,\n2024-01-03,,False\n")
    frame = read_table(str(path))
    assert all(pd.api.types.is_bool_dtype(t) for t in frame.dtypes)
    assert frame["A"].iloc[0] and pd.isna(frame["B"].iloc[0])


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    from orvane.datasets import sample_market

    d = tmp_path_factory.mktemp("cli")
    m = sample_market(n_stocks=30, years=2, seed=3)
    m.close.to_csv(d / "close.csv", index_label="date")
    m.open.to_csv(d / "open.csv", index_label="date")
    m.high.to_csv(d / "high.csv", index_label="date")
    m.low.to_csv(d / "low.csv", index_label="date")
    held = (m.close.rank(axis=1, ascending=False) <= 5).iloc[30::21]
    held.to_csv(d / "position.csv", index_label="date")
    long = m.close.stack().rename("close").reset_index().set_axis(["date", "symbol", "close"], axis=1)
    long.to_parquet(d / "long.parquet")
    held.to_parquet(d / "position.parquet")
    return d


def test_run_writes_report_trades_and_equity_from_csv(files, tmp_path):
    pytest.importorskip("orvane.core.portsim")
    out = tmp_path / "out"
    res = orvane("run", "--prices", str(files / "close.csv"), "--open", str(files / "open.csv"),
                 "--high", str(files / "high.csv"), "--low", str(files / "low.csv"),
                 "--position", str(files / "position.csv"), "--touched-exit", "--stop-loss", "0.05",
                 "--out", str(out))
    assert res.returncode == 0, res.stderr
    assert "sharpe" in res.stdout and "max_drawdown" in res.stdout
    for name in ("report.html", "trades.csv", "equity.png"):
        assert (out / name).stat().st_size > 0
    trades = pd.read_csv(out / "trades.csv")
    assert len(trades) > 0 and {"stock", "entry_date", "mae", "return"} <= set(trades.columns)
    assert (out / "equity.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_run_reads_parquet_long_prices(files, tmp_path):
    pytest.importorskip("orvane.core.portsim")
    pytest.importorskip("pyarrow")
    res = orvane("run", "--prices", str(files / "long.parquet"), "--position", str(files / "position.parquet"),
                 "--resample", "Q", "--out", str(tmp_path))
    assert res.returncode == 0, res.stderr
    assert len(pd.read_csv(tmp_path / "trades.csv")) > 0


def test_run_reports_bad_input_without_traceback(files, tmp_path):
    pos = pd.read_csv(files / "position.csv", index_col=0)
    pos["NOPE"] = True
    pos.to_csv(tmp_path / "bad.csv")
    res = orvane("run", "--prices", str(files / "close.csv"), "--position", str(tmp_path / "bad.csv"),
                 "--out", str(tmp_path / "o"))
    assert res.returncode == 2
    assert "missing from prices: 'NOPE'" in res.stderr and "Traceback" not in res.stderr
    res = orvane("run", "--prices", str(tmp_path / "none.csv"), "--position", str(files / "position.csv"),
                 "--out", str(tmp_path / "o"))
    assert res.returncode == 2 and "no such file" in res.stderr


def test_demo_prints_statistics_and_writes_outputs(tmp_path):
    pytest.importorskip("orvane.core.portsim")
    res = orvane("demo", "--out", "demo", "--stocks", "60", "--years", "3", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "synthetic" in res.stdout
    for key in ("total_return", "cagr", "sharpe", "sortino", "calmar", "win_rate", "turnover"):
        assert key in res.stdout
    html = (tmp_path / "demo" / "report.html").read_text(encoding="utf-8")
    assert "synthetic data" in html and html.count("data:image/svg+xml;base64,") == 2
    assert 'id="monthly"' in html and 'id="costs"' in html
    trades = pd.read_csv(tmp_path / "demo" / "trades.csv")
    printed = next(line for line in res.stdout.splitlines() if line.startswith("trades "))
    # The statistics count positions; trades.csv lists their pieces, each piece with its position.
    assert int(printed.split()[1]) == trades["position_id"].nunique() > 0
    assert np.isfinite(trades["mae"]).mean() > 0.9


class TestFilesAsVendorsWriteThem:
    """Files are read by the same rules as tables passed in Python."""

    @pytest.fixture()
    def vendor(self, tmp_path):
        pytest.importorskip("orvane.core.portsim")
        dates = pd.bdate_range("2024-01-01", periods=40)
        ymd = dates.strftime("%Y%m%d").astype(int)
        close = pd.DataFrame({"A": np.linspace(10, 14, 40), "B": np.linspace(20, 18, 40)}, index=ymd)
        close.to_csv(tmp_path / "close.csv", index_label="date")
        long = close.stack().rename("close").reset_index().set_axis(["date", "symbol", "close"], axis=1)
        long.to_csv(tmp_path / "long.csv", index=False)
        pd.DataFrame({"A": [0.5], "B": [0.5]}, index=ymd[:1]).to_csv(tmp_path / "w.csv", index_label="date")
        return tmp_path

    def test_yyyymmdd_dates_in_wide_and_long_files(self, vendor, capsys):
        from orvane.cli import main

        for prices in ("close.csv", "long.csv"):
            code = main(["run", "--prices", str(vendor / prices), "--position", str(vendor / "w.csv"),
                         "--out", str(vendor / "out")])
            out = capsys.readouterr().out
            assert code == 0
            # Before, these dates were read as nanoseconds: start 1970-01-01, cagr -100.00 %.
            start = next(line for line in out.splitlines() if line.startswith("start "))
            assert start.split()[-1] == "2024-01-01" and "1970" not in out

    def test_price_fields_given_beside_a_long_table_are_an_error(self, vendor, capsys):
        from orvane.cli import main

        code = main(["run", "--prices", str(vendor / "long.csv"), "--open", str(vendor / "close.csv"),
                     "--position", str(vendor / "w.csv"), "--out", str(vendor / "out")])
        assert code == 2 and "--open cannot be used with it" in capsys.readouterr().err

    def test_missing_prices_are_a_warning_line_not_a_traceback(self, vendor, capsys):
        from orvane.cli import main

        close = pd.read_csv(vendor / "close.csv", index_col=0)
        close.iloc[10:15, 0] = np.nan
        close.to_csv(vendor / "gappy.csv", index_label="date")
        code = main(["run", "--prices", str(vendor / "gappy.csv"), "--position", str(vendor / "w.csv"),
                     "--out", str(vendor / "out")])
        captured = capsys.readouterr()
        assert code == 0
        assert "orvane run: warning: held stocks had no price on 5 stock-bars" in captured.err
        assert "missing_price_bars" in captured.out and "Traceback" not in captured.err


class TestADeskRun:
    """orvane run as a desk uses it: costs stated, orders in shares, one folder per run, clean exits."""

    @pytest.fixture(scope="class")
    @classmethod
    def book(cls, tmp_path_factory):
        """The long-short book of tests/test_orders.py: worth 1.15 after three bars, a rebalance pending."""
        d = tmp_path_factory.mktemp("book")
        dates = pd.bdate_range("2024-01-01", periods=4)
        close = pd.DataFrame({"A": [10, 10, 12, 12.0], "B": [20, 20, 16, 16.0], "C": [50.0] * 4, "E": [30.0] * 4},
                             index=dates)
        w = pd.DataFrame({"A": [0.5, 0.25], "B": [-0.25, -0.3], "C": [0.25, 0.0], "E": [0.0, 0.2]},
                         index=dates[[0, 3]])
        close.to_csv(d / "close.csv", index_label="date")
        w.to_csv(d / "weights.csv", index_label="date")
        pd.DataFrame({"stock": ["A", "B", "C", "E"], "lot": [100, 100, 100, 1000]}).to_csv(d / "lots.csv", index=False)
        return d

    def args(self, book, out, *extra):
        return ["run", "--prices", str(book / "close.csv"), "--position", str(book / "weights.csv"),
                "--fee-ratio", "0", "--tax-ratio", "0", "--out", str(out), *extra]

    def run(self, capsys, *args):
        """The command in this process (quicker than a subprocess where signals and pipes do not matter)."""
        from orvane.cli import main

        code = main(list(args))
        captured = capsys.readouterr()
        return subprocess.CompletedProcess(args, code, captured.out, captured.err)

    def test_orders_csv_holds_the_hand_computed_orders(self, book, tmp_path, capsys):
        pytest.importorskip("orvane.core.portsim")
        out = tmp_path / "out"
        res = self.run(capsys, *self.args(book, out, "--capital", "1150000", "--lot-size", "100"))
        assert res.returncode == 0, res.stderr
        assert sorted(os.listdir(out)) == sorted(
            ["report.html", "trades.csv", "equity.png", "stats.csv", "actions.csv", "orders.csv"])
        orders = pd.read_csv(out / "orders.csv")
        # See tests/test_orders.py for the arithmetic.
        assert orders["stock"].tolist() == ["A", "B", "C", "E"]
        assert orders["side"].tolist() == ["sell", "sell", "sell", "buy"]
        assert orders["shares"].tolist() == [26_100, 9_000, 5_000, 7_600]
        assert orders["value"].tolist() == [313_200.0, 144_000.0, 250_000.0, 228_000.0]
        assert orders["cash_after"].iloc[-1] == pytest.approx(979_200.0, rel=1e-12)
        assert "orders for a capital of 1,150,000.00" in res.stdout and "cash left 979,200.00" in res.stdout
        actions = pd.read_csv(out / "actions.csv")
        assert actions["action"].tolist() == ["hold", "hold", "exit", "enter"]
        stats = pd.read_csv(out / "stats.csv", index_col=0)["value"]
        assert float(stats["fee_ratio"]) == 0.0 and float(stats["tax_ratio"]) == 0.0
        assert int(stats["trades"]) == 3
        # Every statistic in the file is also printed.
        assert all(name.split()[0] in res.stdout for name in stats.index)

    def test_lots_by_stock_from_a_file(self, book, tmp_path, capsys):
        pytest.importorskip("orvane.core.portsim")
        res = self.run(capsys, *self.args(book, tmp_path, "--capital", "1150000", "--lot-size", str(book / "lots.csv")))
        assert res.returncode == 0, res.stderr
        # E's lot is 1,000: 7,666.7 shares -> 7,000.
        assert pd.read_csv(tmp_path / "orders.csv").set_index("stock").loc["E", "shares"] == 7_000

    def test_a_stock_without_a_price_today_needs_order_prices(self, tmp_path, capsys):
        pytest.importorskip("orvane.core.portsim")
        dates = pd.bdate_range("2024-01-01", periods=4)
        pd.DataFrame({"A": [10.0] * 4, "D": [40, 40, 40, np.nan]}, index=dates).to_csv(
            tmp_path / "close.csv", index_label="date")
        pd.DataFrame({"A": [1.0, 0.5], "D": [0.0, 0.5]}, index=dates[[0, 3]]).to_csv(
            tmp_path / "w.csv", index_label="date")
        args = ["run", "--prices", str(tmp_path / "close.csv"), "--position", str(tmp_path / "w.csv"),
                "--fee-ratio", "0", "--tax-ratio", "0", "--capital", "1e6", "--out", str(tmp_path / "out")]
        res = self.run(capsys, *args)
        assert res.returncode == 2 and len(res.stderr.splitlines()) == 1
        assert "no price on the last bar (2024-01-04) for stocks 'D'" in res.stderr and "--order-prices" in res.stderr
        assert not (tmp_path / "out").exists()
        pd.DataFrame({"stock": ["D"], "price": [41.0]}).to_csv(tmp_path / "px.csv", index=False)
        res = self.run(capsys, *args, "--order-prices", str(tmp_path / "px.csv"))
        assert res.returncode == 0, res.stderr
        # 0.5 * 1,000,000 / 41 = 12,195.1 shares of D.
        orders = pd.read_csv(tmp_path / "out" / "orders.csv").set_index("stock")
        assert orders.loc["D", "shares"] == 12_195 and orders.loc["D", "price"] == 41.0

    def test_a_new_run_replaces_the_previous_runs_files_and_leaves_others_alone(self, book, tmp_path, capsys):
        pytest.importorskip("orvane.core.portsim")
        out = tmp_path / "out"
        assert self.run(capsys, *self.args(book, out, "--capital", "1e6")).returncode == 0
        (out / "notes.txt").write_text("mine")
        res = self.run(capsys, *self.args(book, out, "--name", "second"))
        assert res.returncode == 0, res.stderr
        # No orders this time: the first run's orders.csv must not stay beside the second run's files.
        assert sorted(os.listdir(out)) == sorted(
            ["report.html", "trades.csv", "equity.png", "stats.csv", "actions.csv", "notes.txt"])
        assert "<title>second</title>" in (out / "report.html").read_text(encoding="utf-8")
        assert [p for p in os.listdir(tmp_path) if p != "out"] == []

    def test_out_naming_a_file_fails_before_the_run(self, book, tmp_path, capsys):
        target = tmp_path / "results"
        target.write_text("keep")
        res = self.run(capsys, *self.args(book, target))
        assert res.returncode == 2 and res.stdout == ""
        assert res.stderr.splitlines() == [f"orvane run: error: --out {target} is a file, not a folder;"
                                           " name a folder for the outputs"]
        assert target.read_text() == "keep"

    @pytest.mark.parametrize("phase", ["backtest", "writing"])
    def test_ctrl_c_exits_130_with_one_line_and_leaves_the_folder_as_it_was(self, book, tmp_path, phase):
        pytest.importorskip("orvane.core.portsim")
        out = tmp_path / "out"
        assert orvane(*self.args(book, out, "--capital", "1e6", "--name", "first")).returncode == 0
        before = {name: (out / name).read_bytes() for name in os.listdir(out)}
        # The child stops at a known point of the chosen phase and says so on standard output (which the
        # command itself writes only at the end), then waits on standard input until the signal comes.
        child = (
            "import os, sys\n"
            "import orvane.plots, orvane.simulate\n"
            "def pausing(fn):\n"
            "    def wrapper(*args, **kwargs):\n"
            "        os.write(1, b'ready\\n')\n"
            "        os.read(0, 1)\n"
            "        return fn(*args, **kwargs)\n"
            "    return wrapper\n"
            f"if {phase!r} == 'backtest':\n"
            "    orvane.simulate.run_backtest = pausing(orvane.simulate.run_backtest)\n"
            "else:\n"
            "    orvane.plots.equity_figure = pausing(orvane.plots.equity_figure)\n"
            "from orvane.cli import main\n"
            "sys.exit(main())\n"
        )
        proc = subprocess.Popen([sys.executable, "-c", child, *self.args(book, out, "--name", "second")],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=dict(os.environ, MPLBACKEND="Agg"))
        try:
            assert proc.stdout.readline() == b"ready\n"
            if phase == "writing":
                # Some of the new files are written by now, beside the folder.
                assert any(p.startswith(".out.partial-") for p in os.listdir(tmp_path))
            proc.send_signal(signal.SIGINT)
            stdout, stderr = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        assert proc.returncode == 130
        assert stderr.decode().splitlines() == ["orvane run: interrupted"] and stdout == b""
        assert {name: (out / name).read_bytes() for name in os.listdir(out)} == before
        assert os.listdir(tmp_path) == ["out"]

    def test_a_reader_that_closes_the_pipe_ends_the_command_quietly(self, book, tmp_path):
        pytest.importorskip("orvane.core.portsim")
        out = tmp_path / "out"
        read_end, write_end = os.pipe()
        # The reader is gone before the command prints its first line, as with `| head -0`.
        os.close(read_end)
        try:
            code = "import sys; from orvane.cli import main; sys.exit(main())"
            res = subprocess.run([sys.executable, "-c", code, *self.args(book, out)], stdout=write_end,
                                 stderr=subprocess.PIPE, text=True, timeout=300, env=dict(os.environ, MPLBACKEND="Agg"))
        finally:
            os.close(write_end)
        assert res.returncode == 0 and res.stderr == ""
        assert len(pd.read_csv(out / "trades.csv")) == 3

    def test_head_reads_the_first_line_and_the_pipeline_succeeds(self, book, tmp_path):
        pytest.importorskip("orvane.core.portsim")
        command = " ".join(f"'{a}'" for a in [sys.executable, "-c",
                                               "import sys; from orvane.cli import main; sys.exit(main())",
                                               *self.args(book, tmp_path / "out")])
        res = subprocess.run(["bash", "-c", f"set -o pipefail; {command} | head -1"], capture_output=True,
                             text=True, timeout=300, env=dict(os.environ, MPLBACKEND="Agg"))
        assert res.returncode == 0 and res.stdout == "Back-test of weights.csv\n" and res.stderr == ""


class TestHelp:
    def test_every_option_has_a_help_text_with_its_default(self):
        parser = build_parser()
        commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices
        for name, sub in commands.items():
            for action in sub._actions:
                if isinstance(action, argparse._HelpAction):
                    continue
                assert action.help, (name, action.dest)
                assert "(default:" in action.help or "(required)" in action.help, (name, action.dest, action.help)

    def test_the_cost_defaults_are_the_backtests_and_are_stated(self, capsys):
        import inspect

        from orvane import backtest

        signature = inspect.signature(backtest).parameters
        args = build_parser().parse_args(["run", "--prices", "p.csv", "--position", "w.csv", "--out", "o"])
        for name in ("fee_ratio", "tax_ratio", "slippage"):
            assert getattr(args, name) == signature[name].default
        with pytest.raises(SystemExit):
            build_parser().parse_args(["run", "--help"])
        text = " ".join(capsys.readouterr().out.split())
        assert "a fee of 0.1425 % on every trade and a tax of 0.3 % on every sale" in text
        assert "(default: 0.001425 = 0.1425 %)" in text and "(default: 0.003 = 0.3 %)" in text
        assert "--slippage" in text

    def test_help_and_version_load_neither_numpy_nor_pandas(self):
        code = ("import sys\nfrom orvane.cli import build_parser\nbuild_parser()\n"
                "print(sorted(m for m in ('numpy', 'pandas', 'orvane.core.portsim') if m in sys.modules))")
        res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert res.returncode == 0 and res.stdout.strip() == "[]", res.stderr

    def test_version(self):
        from orvane import __version__

        res = orvane("--version")
        assert res.returncode == 0 and res.stdout == f"orvane {__version__}\n"


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_sample_writes_the_demo_market_and_position_as_tables_run_reads(tmp_path, fmt):
    from orvane.datasets import momentum_position, sample_market

    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    res = orvane("sample", "--out", "data", "--format", fmt, "--stocks", "12", "--years", "2", "--top", "3",
                 cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert "synthetic data" in res.stdout
    market = sample_market(n_stocks=12, years=2)
    expected = {"close": market.close, "open": market.open, "high": market.high, "low": market.low,
                "position": momentum_position(market.close, top=3)}
    for name, table in expected.items():
        # Prices are in cents, so their decimal text reads back as the same doubles.
        got = read_table(str(tmp_path / "data" / f"{name}.{fmt}"))
        pd.testing.assert_frame_equal(got, table, check_freq=False, check_exact=True, check_names=False)
