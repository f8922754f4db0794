"""The deflated Sharpe ratio and the probability of backtest overfitting."""

from __future__ import annotations

import itertools
import math
from statistics import NormalDist

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.datasets import momentum_position
from orvane.sweeps import expand_grid
from orvane.overfit import deflated_sharpe_ratio, expected_max_sharpe, probabilistic_sharpe, return_moments

# The synthetic market suspends stocks now and then; these tests are not about that.
pytestmark = pytest.mark.filterwarnings("ignore::orvane.DataWarning")

PHI = NormalDist().cdf
GAMMA = 0.5772156649015329


def test_deflated_sharpe_reproduces_the_worked_example_of_its_paper() -> None:
    # 100 trials whose annualised Sharpe ratios have variance 1/2; the best shows 2.5 over
    # 5 years of 250 daily returns with skewness -3 and kurtosis 10.  Per day:
    # SR = 2.5 / sqrt(250) = 0.158114, V = 0.5 / 250 = 0.002.
    # SR0 = sqrt(0.002) * ((1 - g) * Z^-1(0.99) + g * Z^-1(1 - 1/(100 e)))
    #     = 0.044721 * (0.422784 * 2.326348 + 0.577216 * 2.680944) = 0.113172 per day
    #     (1.7894 annualised).
    # DSR = PHI((0.158114 - 0.113172) * sqrt(1249) / sqrt(1 + 3 * 0.158114 + 9/4 * 0.025)) = 0.9004
    sr0 = expected_max_sharpe(100, 0.5 / 250)
    assert sr0 == pytest.approx(0.113172, abs=1e-6)
    assert sr0 * math.sqrt(250) == pytest.approx(1.7894, abs=1e-4)
    assert deflated_sharpe_ratio(2.5 / math.sqrt(250), 1250, 100, 0.5 / 250, -3.0, 10.0) == pytest.approx(
        0.9004, abs=5e-5
    )


def test_deflated_sharpe_of_a_table_of_trials_by_hand() -> None:
    # Three trials of four returns, each alternating around its mean by +-0.01, so that
    # skewness is 0 and kurtosis m4 / m2^2 = 1e-8 / 1e-8 = 1; sd (ddof=1) = sqrt(4/3) * 0.01.
    # Sharpe ratios: 0.02 / 0.011547 = sqrt(3), 0.01 / 0.011547 = sqrt(3)/2, and 0.
    trials = pd.DataFrame(
        {
            "a": [0.01, 0.03, 0.01, 0.03],
            "b": [0.00, 0.02, 0.00, 0.02],
            "c": [-0.01, 0.01, -0.01, 0.01],
        }
    )
    sr = {"a": math.sqrt(3), "b": math.sqrt(3) / 2, "c": 0.0}
    # Their variance (ddof=1) around the mean sqrt(3)/2: (0.75 + 0 + 0.75) / 2 = 0.75.
    threshold = math.sqrt(0.75) * ((1 - GAMMA) * NormalDist().inv_cdf(2 / 3)
                                   + GAMMA * NormalDist().inv_cdf(1 - 1 / (3 * math.e)))
    # = 0.866025 * (0.422784 * 0.430727 + 0.577216 * 1.161957) = 0.866025 * 0.852805 = 0.738550
    assert threshold == pytest.approx(0.738550, abs=1e-6)
    # The variance term is 1 - 0 * SR + (1 - 1)/4 * SR^2 = 1, and sqrt(T - 1) = sqrt(3):
    # for a, PHI((1.732051 - 0.738550) * 1.732051) = PHI(1.720793) = 0.9574.
    expected = {k: PHI((v - threshold) * math.sqrt(3)) for k, v in sr.items()}
    got = orvane.deflated_sharpe(trials)
    assert got.name == "deflated_sharpe" and list(got.index) == ["a", "b", "c"]
    for k in expected:
        assert got[k] == pytest.approx(expected[k], abs=1e-12)
    assert got["a"] == pytest.approx(0.9574, abs=1e-4)
    # The chosen trial alone, with the figures of the search given, is the same number.
    alone = orvane.deflated_sharpe(trials["a"], n_trials=3, sharpe_variance=0.75)
    assert alone == pytest.approx(got["a"], abs=1e-15)
    assert return_moments(trials["a"]) == pytest.approx((math.sqrt(3), 0.0, 1.0, 4))


def test_no_skill_trials_deflate_to_chance_and_a_planted_edge_stands_out() -> None:
    best_dsr, best_naive = [], []
    for seed in range(200):
        trials = pd.DataFrame(np.random.default_rng(1000 + seed).normal(0.0, 0.01, (250, 20)))
        best = (trials.mean() / trials.std()).idxmax()
        best_dsr.append(orvane.deflated_sharpe(trials)[best])
        sr, skew, kurt, n = return_moments(trials[best])
        best_naive.append(probabilistic_sharpe(sr, n, 0.0, skew, kurt))
    best_dsr, best_naive = np.array(best_dsr), np.array(best_naive)
    # Undeflated, the best of 20 coin-flips looks significant most of the time ...
    assert (best_naive > 0.95).mean() > 0.4
    # ... deflated, it sits around even odds and almost never passes the 95 % bar.
    assert 0.35 < best_dsr.mean() < 0.65
    assert (best_dsr > 0.95).mean() < 0.05

    trials = pd.DataFrame(np.random.default_rng(7).normal(0.0, 0.01, (250, 20)))
    trials[4] += 0.004
    dsr = orvane.deflated_sharpe(trials)
    assert dsr[4] > 0.99 and dsr.drop(4).max() < 0.5


def test_deflated_sharpe_refuses_what_it_cannot_use() -> None:
    with pytest.raises(orvane.InputError, match="needs n_trials and sharpe_variance"):
        orvane.deflated_sharpe(pd.Series([0.01, 0.02, 0.0]))
    with pytest.raises(orvane.InputError, match="DataFrame"):
        orvane.deflated_sharpe([0.01, 0.02])
    with pytest.raises(orvane.InputError, match="n_trials must be a positive integer"):
        orvane.deflated_sharpe(pd.DataFrame({"a": [0.01, 0.02, 0.0]}), n_trials=0)
    # A trial whose returns never vary has no Sharpe ratio, and one trial is measured against 0.
    flat = orvane.deflated_sharpe(pd.DataFrame({"a": [0.01, 0.03, 0.02], "flat": [0.0, 0.0, 0.0]}))
    assert math.isnan(flat["flat"])
    # Returns 0.01, 0.03, 0.02: SR = 0.02 / 0.01 = 2, skewness 0, kurtosis (2e-8/3) / (2e-4/3)^2 = 1.5;
    # PHI(2 * sqrt(2) / sqrt(1 + 0.5/4 * 4)) = PHI(2.309401).
    assert flat["a"] == pytest.approx(PHI(2 * math.sqrt(2) / math.sqrt(1.5)), abs=1e-12)


def test_pbo_of_two_splits_by_hand() -> None:
    # Two blocks, A = bars 0-1 and B = bars 2-3.  Per-bar Sharpe ratios (sd ddof=1 of two
    # returns 0.02 apart is 0.014142):
    #   x: A 0.02/0.014142 = 1.414, B 0.01/0.014142 = 0.707
    #   y: A 0.01/0.014142 = 0.707, B 0.03/0.028284 = 1.061
    #   z: A 0.00 -> 0,            B 0.03/0.014142 = 2.121
    # In sample A the best is x, which ranks 1st of 3 from the bottom in B: w = 1/4, logit ln(1/3).
    # In sample B the best is z, which ranks 1st from the bottom in A: again ln(1/3).
    returns = pd.DataFrame(
        {"x": [0.01, 0.03, 0.00, 0.02], "y": [0.00, 0.02, 0.01, 0.05], "z": [-0.01, 0.01, 0.02, 0.04]}
    )
    result = orvane.pbo(returns, n_splits=2)
    assert result.pbo == 1.0 and result.n_splits == 2 and result.n_trials == 3
    assert result.logits.to_numpy() == pytest.approx([math.log(1 / 3)] * 2)
    assert list(result.splits["chosen"]) == ["x", "z"]
    assert result.splits["in_sample"].to_numpy() == pytest.approx([math.sqrt(2), 1.5 * math.sqrt(2)])
    assert result.splits["out_of_sample"].to_numpy() == pytest.approx([math.sqrt(2) / 2, 0.0], abs=1e-12)
    # Out-of-sample Sharpe 0.707 and 0: neither is a loss; the line through the two points
    # (1.414, 0.707) and (2.121, 0) has slope -1 and intercept 2.121.
    assert result.prob_oos_loss == 0.0
    assert result.slope == pytest.approx(-1.0) and result.intercept == pytest.approx(1.5 * math.sqrt(2))


def _pbo_by_definition(returns: pd.DataFrame, n_splits: int) -> list[float]:
    """Every split of the blocks, ranked with pandas, one at a time."""
    blocks = np.array_split(np.arange(len(returns)), n_splits)
    logits = []
    for chosen in itertools.combinations(range(n_splits), n_splits // 2):
        rows_in = np.concatenate([blocks[b] for b in chosen])
        rows_out = np.concatenate([blocks[b] for b in range(n_splits) if b not in chosen])
        sharpe_in = returns.iloc[rows_in].mean() / returns.iloc[rows_in].std()
        sharpe_out = returns.iloc[rows_out].mean() / returns.iloc[rows_out].std()
        rank = sharpe_out.rank(method="average")[sharpe_in.idxmax()]
        w = rank / (returns.shape[1] + 1)
        logits.append(math.log(w / (1 - w)))
    return logits


def test_pbo_takes_every_half_of_the_blocks_as_the_definition_does() -> None:
    returns = pd.DataFrame(np.random.default_rng(3).normal(0.0003, 0.01, (203, 7)))
    result = orvane.pbo(returns, n_splits=6)
    expected = _pbo_by_definition(returns, 6)
    assert len(result.logits) == math.comb(6, 3) == 20
    assert result.logits.to_numpy() == pytest.approx(expected, abs=1e-9)
    assert result.pbo == np.mean(np.array(expected) <= 0)


def test_pbo_is_even_odds_without_skill_and_low_with_a_real_edge() -> None:
    no_skill = [
        orvane.pbo(pd.DataFrame(np.random.default_rng(seed).normal(0.0, 0.01, (480, 10))), n_splits=8).pbo
        for seed in range(30)
    ]
    assert 0.4 < np.mean(no_skill) < 0.6
    returns = pd.DataFrame(np.random.default_rng(5).normal(0.0, 0.01, (480, 10)))
    returns[3] += 0.003
    edge = orvane.pbo(returns, n_splits=8)
    assert edge.pbo < 0.05 and (edge.splits["chosen"] == 3).all()


def test_pbo_refuses_tables_it_cannot_split() -> None:
    good = pd.DataFrame(np.random.default_rng(0).normal(0, 0.01, (64, 3)))
    with pytest.raises(orvane.InputError, match="even integer"):
        orvane.pbo(good, n_splits=5)
    with pytest.raises(orvane.InputError, match="at least two trials"):
        orvane.pbo(good[[0]])
    with pytest.raises(orvane.InputError, match="too few for n_splits=16"):
        orvane.pbo(good.iloc[:20])
    holed = good.copy()
    holed.iloc[5, 1] = np.nan
    with pytest.raises(orvane.InputError, match="missing or infinite values in columns 1"):
        orvane.pbo(holed)


def test_pbo_plot_shows_the_logits() -> None:
    pytest.importorskip("matplotlib")
    result = orvane.pbo(pd.DataFrame(np.random.default_rng(2).normal(0, 0.01, (200, 6))), n_splits=4)
    fig = result.plot()
    assert len(fig.axes) == 2 and fig.axes[0].get_title() == f"PBO = {result.pbo:.3f}"


def test_sweep_column_is_the_deflated_sharpe_of_each_combinations_own_returns() -> None:
    market = orvane.datasets.sample_market(n_stocks=30, years=2, seed=11)

    def top(prices, n, lookback):
        return momentum_position(prices.close, top=n, lookback=lookback, skip=5)

    grid = {"n": [3, 6, 12], "lookback": [20, 60]}
    table = orvane.sweep(top, market, grid, options={"resample": "W"}, executor="serial", progress=False)
    returns = {}
    for i, params in enumerate(expand_grid(grid)):
        report = orvane.backtest(top(market, **params), market, resample="W")
        # The statistics measure the curve from the bar before the first trade.
        curve = report.creturn.loc[report.stats()["start"]:]
        returns[i] = curve.pct_change().iloc[1:].reset_index(drop=True)
    expected = orvane.deflated_sharpe(pd.DataFrame(returns))
    assert list(table.columns).index("deflated_sharpe") == list(table.columns).index("error") - 1
    assert table["deflated_sharpe"].to_numpy() == pytest.approx(expected.to_numpy(), abs=1e-12)
