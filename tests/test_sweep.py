"""orvane.sweep: grids, executors, failures, best reports and the progress bar."""

from __future__ import annotations

import io
import multiprocessing
import os
import threading
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.datasets import momentum_position
from orvane.sweeps import expand_grid

# The synthetic market lists, delists and suspends stocks, and the strategies
# here hold some of them through their gaps: each run says so with a
# DataWarning, which the tests of missing prices check; here it is expected.
pytestmark = pytest.mark.filterwarnings("ignore::orvane.DataWarning")


@pytest.fixture(scope="module")
def market() -> orvane.Prices:
    return orvane.datasets.sample_market(n_stocks=40, years=3, seed=7)


@pytest.fixture(scope="module")
def position(market: orvane.Prices) -> pd.DataFrame:
    return momentum_position(market.close, top=8, lookback=60, skip=5)


GRID = {"stop_loss": [0.05, None], "take_profit": [0.15, None], "trail_stop": [0.1, None]}
OPTIONS = {"resample": "M", "excursion_window": 10, "excursion_window_step": 5}


def top_momentum(prices: orvane.Prices, top: int, lookback: int) -> pd.DataFrame:
    """A strategy callable: hold the `top` best stocks by `lookback`-bar momentum."""
    if top < 0:
        raise ValueError("top must not be negative")
    return momentum_position(prices.close, top=top, lookback=lookback, skip=5)


class LoggedStrategy:
    """``top_momentum`` that appends its process id to a file each time it is unpickled."""

    def __init__(self, log: str) -> None:
        self.log = log

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        with open(self.log, "a") as f:
            f.write(f"{os.getpid()}\n")

    def __call__(self, prices: orvane.Prices, top: int) -> pd.DataFrame:
        return top_momentum(prices, top, 60)


def alone(position, market, params: dict) -> pd.Series:
    return orvane.backtest(position, market, **{**OPTIONS, **params}).stats()


def assert_rows_match_single_runs(frame: pd.DataFrame, position, market, combos) -> None:
    # deflated_sharpe belongs to the search, not to one run.
    stats_columns = [c for c in frame.columns if c not in combos[0] and c not in ("error", "report", "deflated_sharpe")]
    for i, params in enumerate(combos):
        expected = alone(position, market, params)
        got = frame.loc[i, stats_columns].dropna()
        pd.testing.assert_series_equal(
            got.astype(object), expected[got.index].astype(object), check_names=False, check_exact=True
        )
        assert frame.loc[i, "error"] is None


def test_grid_mapping_is_a_product_with_the_last_name_fastest() -> None:
    combos = expand_grid({"a": [1, 2], "b": ["x", "y", "z"], "c": 0.5})
    assert combos[:3] == [{"a": 1, "b": "x", "c": 0.5}, {"a": 1, "b": "y", "c": 0.5}, {"a": 1, "b": "z", "c": 0.5}]
    assert len(combos) == 6 and combos[3]["a"] == 2
    assert expand_grid([{"a": 1}, {"b": 2}]) == [{"a": 1}, {"b": 2}]
    assert expand_grid({"resample": "M"}) == [{"resample": "M"}]


@pytest.mark.parametrize(
    "grid, error",
    [({"a": {1, 2}}, TypeError), ([{"a": 1}, 3], TypeError), (5, TypeError), ({1: [1]}, TypeError)],
)
def test_malformed_grids_are_refused(grid, error) -> None:
    with pytest.raises(error):
        expand_grid(grid)


def test_serial_rows_equal_each_combination_run_alone(position, market) -> None:
    frame = orvane.sweep(position, market, GRID, options=OPTIONS, executor="serial")
    combos = expand_grid(GRID)
    assert len(frame) == 8 and list(frame.columns[:3]) == list(GRID)
    assert frame["stop_loss"].tolist() == [0.05] * 4 + [None] * 4
    assert_rows_match_single_runs(frame, position, market, combos)


def test_process_pool_gives_the_serial_table(position, market) -> None:
    serial = orvane.sweep(position, market, GRID, options=OPTIONS, executor=None)
    pooled = orvane.sweep(position, market, GRID, options=OPTIONS, executor="process", max_workers=2, batch_size=3)
    pd.testing.assert_frame_equal(serial, pooled, check_exact=True)


def test_strategy_callable_gets_its_parameters_and_the_rest_go_to_backtest(market) -> None:
    grid = {"top": [5, 10], "lookback": [40, 80], "stop_loss": [0.1, None]}
    frame = orvane.sweep(top_momentum, market, grid, options=OPTIONS, executor="process", max_workers=2)
    for i, params in enumerate(expand_grid(grid)):
        pos = top_momentum(market, params["top"], params["lookback"])
        expected = orvane.backtest(pos, market, stop_loss=params["stop_loss"], **OPTIONS).stats()
        assert frame.loc[i, "sharpe"] == expected["sharpe"]
        assert frame.loc[i, "trades"] == expected["trades"]
    # Different strategy parameters really gave different positions.
    assert frame["trades"].nunique() > 1


def test_a_user_executor_receives_the_data_once_per_worker(market, tmp_path) -> None:
    log = tmp_path / "unpickled.txt"
    strategy = LoggedStrategy(str(log))
    grid = {"top": [4, 6, 8, 10, 12, 14], "stop_loss": [0.1, None]}
    serial = orvane.sweep(strategy, market, grid, options=OPTIONS, executor="serial")
    assert not log.exists()
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        pooled = orvane.sweep(strategy, market, grid, options=OPTIONS, executor=pool, batch_size=1)
    pd.testing.assert_frame_equal(serial, pooled, check_exact=True)
    pids = log.read_text().split()
    assert 1 <= len(pids) <= 2 and len(set(pids)) == len(pids)


def test_the_sweeps_own_pool_never_ships_the_data_with_a_task(market, tmp_path) -> None:
    log = tmp_path / "unpickled.txt"
    grid = {"top": [4, 6, 8, 10], "stop_loss": [0.1, None]}
    frame = orvane.sweep(LoggedStrategy(str(log)), market, grid, options=OPTIONS, max_workers=2, batch_size=1)
    assert frame["error"].isna().all()
    # Forked workers inherit the data: nothing was unpickled, once or per task.
    assert not log.exists()


def test_a_user_executor_takes_a_lambda_but_not_an_unpicklable_strategy(market) -> None:
    grid = {"top": [5, 9]}
    serial = orvane.sweep(top_momentum, market, [{"top": 5, "lookback": 60}, {"top": 9, "lookback": 60}],
                          options=OPTIONS, executor="serial")
    lock = threading.Lock()
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        pooled = orvane.sweep(lambda prices, top: top_momentum(prices, top, 60), market, grid,
                              options=OPTIONS, executor=pool)
        with pytest.raises(TypeError, match="cannot be sent to the executor's workers"):
            orvane.sweep(lambda prices, top: lock and top_momentum(prices, top, 60), market, grid, executor=pool)
    pd.testing.assert_frame_equal(serial.drop(columns="lookback"), pooled, check_exact=True)


def test_threads_share_the_engine_without_mixing_runs(position, market) -> None:
    serial = orvane.sweep(position, market, GRID, options=OPTIONS, executor="serial")
    with ThreadPoolExecutor(4) as pool:
        threaded = orvane.sweep(position, market, GRID, options=OPTIONS, executor=pool, batch_size=1)
    pd.testing.assert_frame_equal(serial, threaded, check_exact=True)


def test_dask_cluster_gives_the_serial_table(position, market, tmp_path) -> None:
    distributed = pytest.importorskip("distributed")
    import dask

    serial = orvane.sweep(position, market, GRID, options=OPTIONS, executor="serial")
    log = tmp_path / "unpickled.txt"
    strategy = LoggedStrategy(str(log))
    grid = {"top": [4, 6, 8, 10, 12, 14], "stop_loss": [0.1, None]}
    serial_strategy = orvane.sweep(strategy, market, grid, options=OPTIONS, executor="serial")
    # Worker processes start in seconds; the default 30 s limits on starting
    # and connecting could still run out on a loaded machine (or the slower
    # sanitizer build), and these bounds only turn a hang into a failure.
    patience = {"distributed.comm.timeouts.connect": "300s", "distributed.comm.timeouts.tcp": "300s"}
    with dask.config.set(patience):
        # The scheduler serves HTTP even without a dashboard; port 0 takes a
        # free port rather than 8787, which another program may hold.
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
        )
    with dask.config.set(patience), cluster, distributed.Client(cluster) as client:
        on_client = orvane.sweep(position, market, GRID, options=OPTIONS, executor=client, batch_size=2)
        on_executor = orvane.sweep(
            strategy, market, grid, options=OPTIONS, executor=client.get_executor(), batch_size=1
        )
        # The workers let go of the sweep's data when it ends.
        held = client.run(lambda: __import__("sys").modules["orvane.sweeps.worker"].current() is not None)
    pd.testing.assert_frame_equal(serial, on_client, check_exact=True)
    pd.testing.assert_frame_equal(serial_strategy, on_executor, check_exact=True)
    pids = log.read_text().split()
    # The data goes out with the broadcast, not with each of the 12 tasks.
    # Dask may still deliver a worker a second copy while the broadcast is
    # replicated, or restart a worker that a loaded machine kept from
    # answering its nanny (a third process id in one CI run), so the count is
    # bounded rather than exact.
    assert 1 <= len(pids) < len(expand_grid(grid)) // 2
    assert not any(held.values())


def test_a_failing_combination_fills_its_error_and_spares_the_others(market) -> None:
    grid = [
        {"top": 5, "lookback": 40},
        {"top": -1, "lookback": 40},
        {"top": 5, "lookback": 40, "fee_ratio": "cheap"},
        {"top": 8, "lookback": 60, "stop_loss": 0.1},
    ]
    for executor in ("serial", "process"):
        frame = orvane.sweep(top_momentum, market, grid, options=OPTIONS, executor=executor, max_workers=2, batch_size=2)
        assert frame.loc[1, "error"] == "ValueError: top must not be negative"
        assert frame.loc[2, "error"] == "InputError: fee_ratio must be a number in [0, 1), got 'cheap'"
        assert frame.loc[[1, 2], "sharpe"].isna().all()
        for i in (0, 3):
            params = {k: v for k, v in grid[i].items() if k not in ("top", "lookback")}
            expected = alone(top_momentum(market, grid[i]["top"], grid[i]["lookback"]), market, params)
            assert frame.loc[i, "error"] is None
            assert frame.loc[i, "total_return"] == expected["total_return"]


def crashing(prices: orvane.Prices, top: int) -> pd.DataFrame:
    if top == 7:
        os._exit(3)
    return top_momentum(prices, top, 60)


def test_a_combination_that_kills_its_worker_fails_alone(market) -> None:
    grid = {"top": [4, 5, 6, 7, 8, 9], "stop_loss": [0.1, None]}
    frame = orvane.sweep(crashing, market, grid, options=OPTIONS, executor="process", max_workers=2, batch_size=3)
    died = frame["top"] == 7
    assert frame.loc[died, "error"].str.startswith("worker process died: BrokenProcessPool").all()
    survivors = [c for c in expand_grid(grid) if c["top"] != 7]
    expected = orvane.sweep(crashing, market, survivors, options=OPTIONS, executor="serial")
    # Integer statistics of the table with failed rows are floats (NaN there).
    pd.testing.assert_frame_equal(frame[~died].reset_index(drop=True), expected, check_exact=True, check_dtype=False)


def test_strategy_must_return_a_table(market) -> None:
    frame = orvane.sweep(lambda prices, n: n, market, {"n": [1]}, executor="serial")
    assert frame.loc[0, "error"] == "TypeError: the strategy returned int, expected a DataFrame of weights"


def test_best_reports_are_kept_by_the_chosen_statistic(position, market) -> None:
    frame = orvane.sweep(position, market, GRID, options=OPTIONS, executor="process", max_workers=2, keep=3)
    kept = frame[frame["report"].notna()]
    assert list(kept.index) == list(frame["sharpe"].sort_values(ascending=False, kind="stable").index[:3].sort_values())
    for i, row in kept.iterrows():
        stats = row["report"].stats()
        assert stats["sharpe"] == row["sharpe"] and stats["trades"] == row["trades"]
    low = orvane.sweep(
        position, market, GRID, options=OPTIONS, executor="serial", keep=2, sort_by="volatility", ascending=True
    )
    chosen = low.index[low["report"].notna()]
    assert set(low.loc[chosen, "volatility"]) == set(np.sort(low["volatility"].to_numpy())[:2])


def test_unranked_rows_are_never_kept(market) -> None:
    grid = [{"top": -1, "lookback": 40}, {"top": 5, "lookback": 40}]
    frame = orvane.sweep(top_momentum, market, grid, options=OPTIONS, executor="serial", keep=5)
    assert frame.loc[0, "report"] is None and frame.loc[1, "report"] is not None
    failed = orvane.sweep(top_momentum, market, grid[:1], options=OPTIONS, executor="serial", keep=5)
    assert failed.loc[0, "report"] is None and failed.loc[0, "error"].startswith("ValueError")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"grid": {"stop_los": [0.1]}}, "unknown backtest options in the grid"),
        ({"options": {"resampel": "M"}}, "unknown backtest options"),
        ({"grid": {"error": [1]}}, "cannot be a parameter name"),
        ({"keep": 1, "sort_by": "sharp"}, "is not a statistic"),
        ({"executor": "threads"}, "executor must be"),
        ({"stats_options": {"riskfree": 0.01}}, "unknown stats_options"),
        ({"max_workers": 0}, "max_workers must be a positive integer"),
        ({"batch_size": 0}, "batch_size must be a positive integer"),
    ],
)
def test_bad_arguments_fail_with_a_clear_message(position, market, kwargs, message) -> None:
    args = {"grid": {"stop_loss": [0.1, None]}, "options": OPTIONS, "executor": "serial", **kwargs}
    with pytest.raises(ValueError, match=message):
        orvane.sweep(position, market, **args)


def test_strategy_parameters_must_be_accepted_by_the_callable(market) -> None:
    with pytest.raises(ValueError, match=r"does not accept the parameters \['window'\]"):
        orvane.sweep(top_momentum, market, {"top": [5], "lookback": [20], "window": [3]}, executor="serial")


def chatty(prices: orvane.Prices, top: int) -> pd.DataFrame:
    print("building the position")
    print(f"top {top}")
    return top_momentum(prices, top, 60)


@pytest.mark.parametrize("executor", ["serial", "process"])
def test_output_of_the_runs_is_printed_once_per_line(market, capfd, executor) -> None:
    orvane.sweep(chatty, market, {"top": [5, 5, 7], "stop_loss": [0.1, None]}, executor=executor, max_workers=2)
    lines = capfd.readouterr().out.splitlines()
    assert sorted(lines) == ["building the position", "top 5", "top 7"]


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_bar_only_on_a_terminal(position, market, capfd, monkeypatch) -> None:
    orvane.sweep(position, market, GRID, options=OPTIONS, executor="serial")
    assert capfd.readouterr().err == ""
    terminal = FakeTerminal()
    monkeypatch.setattr("sys.stderr", terminal)
    orvane.sweep(position, market, GRID, options=OPTIONS, executor="serial")
    assert "8/8" in terminal.getvalue()
    quiet = FakeTerminal()
    monkeypatch.setattr("sys.stderr", quiet)
    orvane.sweep(position, market, GRID, options=OPTIONS, executor="serial", progress=False)
    assert quiet.getvalue() == ""


def test_empty_grid_gives_an_empty_table(position, market) -> None:
    frame = orvane.sweep(position, market, {"stop_loss": []}, executor="serial")
    assert len(frame) == 0 and list(frame.columns) == ["stop_loss", "error"]
