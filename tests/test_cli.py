"""The orvane command: argument parsing, and demo and run in a subprocess."""

import os
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
    assert "synthetic data" in html and html.count("data:image/png;base64,") == 3
    trades = pd.read_csv(tmp_path / "demo" / "trades.csv")
    printed = next(line for line in res.stdout.splitlines() if line.startswith("trades "))
    assert int(printed.split()[1]) == len(trades) > 0
    assert np.isfinite(trades["mae"]).mean() > 0.9


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
