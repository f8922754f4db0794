"""The benchmark harness against the real engine, on small universes."""

from __future__ import annotations

import json
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import identical as I  # noqa: E402
from bench import peer as P  # noqa: E402
from bench import run as R  # noqa: E402
from bench import universe as U  # noqa: E402

portsim = pytest.importorskip("orvane.core.portsim")
from orvane.core import excursion  # noqa: E402


@pytest.fixture(scope="module")
def clean() -> U.Universe:
    return U.u1(120, 400, holdings=12, nan_fraction=0.0)


def test_engine_matches_the_step_by_step_reference_on_the_peer_job(clean: U.Universe) -> None:
    args, kw = R.backtest_args(clean, "peer")
    creturn = portsim.backtest_(*args, **kw)
    ref = P.reference_creturn(clean)
    assert np.allclose(creturn, ref, rtol=1e-12, atol=0)
    # The run really traded: the value moved away from the starting capital.
    assert np.ptp(creturn) > 0.01


def test_every_workload_mode_runs_and_leaves_the_callers_weights_alone() -> None:
    u = U.u2(120, 400, holdings=12)
    before = u.pos_values.copy()
    for mode in ("close", "intrabar", "peer"):
        args, kw = R.backtest_args(u, mode)
        assert args[7] is not u.pos_values
        portsim.backtest_(*args, **kw)
        assert len(excursion.trades) > 0
    assert np.array_equal(u.pos_values, before)


def test_holding_bars_counts_bars_revalued_between_entry_and_exit() -> None:
    # Entered on bar 2 and left on bar 5: revalued on bars 3, 4, 5. Open from
    # bar 7 of 10: revalued on bars 8 and 9.
    assert R.holding_bars([[0, 2, 5], [1, 7, -1]], 10) == 3 + 2
    assert R.holding_bars([], 10) == 0


def test_holding_bars_of_a_run_match_the_weights_without_exits(clean: U.Universe) -> None:
    args, kw = R.backtest_args(clean, "peer")
    portsim.backtest_(*args, **kw)
    counted = R.holding_bars(list(excursion.trades), clean.shape[0])
    schedule = P.trade_schedule(clean.dates, clean.pos_index, clean.resample)
    expected = 0
    for k, (bar, row) in enumerate(schedule):
        until = schedule[k + 1][0] if k + 1 < len(schedule) else clean.shape[0] - 1
        expected += int(np.count_nonzero(clean.pos_values[row])) * (until - bar)
    assert counted == expected


def test_time_runs_discards_the_warm_up_and_prepares_each_run() -> None:
    calls: list[int] = []
    prepared = iter(range(100))
    wall, cpu = R.time_runs(calls.append, lambda: next(prepared), repeats=3, warmup=2)
    assert calls == [0, 1, 2, 3, 4]
    assert len(wall) == len(cpu) == 3
    assert all(t >= 0 for t in wall + cpu)


def test_fingerprints_tell_values_and_types_apart() -> None:
    def fp(obj: object) -> str:
        h = I.hashlib.sha256()
        I._feed(h, obj)
        return h.hexdigest()

    assert fp(0.0) != fp(-0.0)
    assert fp(np.float64(1.5)) == fp(1.5)
    assert fp(1) != fp(1.0)
    assert fp([1, [2]]) != fp([[1], 2])
    assert fp(np.array([1.0, 2.0])) != fp(np.array([1, 2]))
    assert fp({"a": 1}) != fp({"a": 2})


def test_quick_benchmark_prints_the_table_and_writes_json(tmp_path, capsys) -> None:
    out = tmp_path / "bench.json"
    rc = R.main(["--quick", "--only", "U1,GTS", "--repeats", "1", "--no-memory", "--json", str(out)])
    assert rc == 0
    text = capsys.readouterr().out
    assert "U1 close mode" in text and "get_trade_stocks" in text
    data = json.loads(out.read_text())
    u1 = next(r for r in data["results"] if r["name"].startswith("U1"))
    assert u1["trades"] > 0 and u1["holding_bars"] > u1["trades"]
