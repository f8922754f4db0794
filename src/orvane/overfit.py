"""How much of the best back-test of a search is luck.

Two published measures of selection bias over many trials:

* the Deflated Sharpe Ratio (Bailey and López de Prado, 2014): the
  probability that a trial's true Sharpe ratio exceeds the Sharpe ratio the
  best of ``N`` unskilled trials would show by chance, corrected for the
  length, skewness and kurtosis of its returns;
* the Probability of Backtest Overfitting (Bailey, Borwein, López de Prado
  and Zhu, 2017), estimated by combinatorially symmetric cross-validation
  (CSCV): how often the trial that is best on one half of the data ranks
  below the median on the other half.

Sharpe ratios here are per bar (not annualised): the mean of the bar returns
over their standard deviation (``ddof=1``), with no risk-free rate
subtracted.  Skewness and kurtosis are the population moments of the bar
returns (kurtosis 3 for normal returns, not the excess).
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass
from statistics import NormalDist
from typing import TYPE_CHECKING, Optional, Sequence, Union

import numpy as np
import pandas as pd

from .inputs import InputError

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .report import Report

__all__ = [
    "deflated_sharpe",
    "deflated_sharpe_ratio",
    "expected_max_sharpe",
    "probabilistic_sharpe",
    "return_moments",
    "report_moments",
    "pbo",
    "PBOResult",
]

EULER_GAMMA = 0.5772156649015329
_NORMAL = NormalDist()


def return_moments(returns: Union[pd.Series, np.ndarray, Sequence[float]]) -> tuple[float, float, float, int]:
    """Per-bar Sharpe ratio, skewness, kurtosis and count of a return series.

    Missing values are left out.  The Sharpe ratio is NaN for fewer than two
    returns or returns that never vary; skewness and kurtosis then too.

    Returns
    -------
    tuple
        ``(sharpe, skew, kurtosis, n_obs)``.
    """
    r = np.asarray(returns, dtype=np.float64).ravel()
    r = r[np.isfinite(r)]
    n = len(r)
    if n < 2:
        return math.nan, math.nan, math.nan, n
    mean = float(r.mean())
    centred = r - mean
    m2 = float(np.mean(centred**2))
    if not m2 > 0:
        return math.nan, math.nan, math.nan, n
    sd = math.sqrt(m2 * n / (n - 1))
    skew = float(np.mean(centred**3)) / m2**1.5
    kurt = float(np.mean(centred**4)) / m2**2
    return mean / sd, skew, kurt, n


def report_moments(report: "Report", stats: pd.Series) -> tuple[float, float, float, int]:
    """:func:`return_moments` of the stretch of a report's equity curve that its statistics measure."""
    start = stats.get("start")
    curve = report.creturn if start is None or pd.isna(start) else report.creturn.loc[start:]
    values = curve.to_numpy(dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        return return_moments(values[1:] / values[:-1] - 1.0)


def probabilistic_sharpe(
    sharpe: float, n_obs: int, benchmark: float = 0.0, skew: float = 0.0, kurtosis: float = 3.0
) -> float:
    """Probability that the true per-bar Sharpe ratio exceeds ``benchmark``.

    ``Φ((SR - SR*) √(T-1) / √(1 - γ3·SR + (γ4-1)/4·SR²))`` for an observed
    Sharpe ratio ``SR`` over ``T`` returns with skewness ``γ3`` and kurtosis
    ``γ4``.  NaN when an input is NaN, ``T < 2`` or the variance term is not
    positive.
    """
    values = (sharpe, benchmark, skew, kurtosis)
    if any(not math.isfinite(v) for v in values) or n_obs < 2:
        return math.nan
    var = 1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe**2
    if not var > 0:
        return math.nan
    return _NORMAL.cdf((sharpe - benchmark) * math.sqrt(n_obs - 1) / math.sqrt(var))


def _check_trials(n_trials: int) -> int:
    if isinstance(n_trials, bool) or not isinstance(n_trials, (int, np.integer)) or n_trials < 1:
        raise InputError(f"n_trials must be a positive integer, got {n_trials!r}")
    return int(n_trials)


def expected_max_sharpe(n_trials: int, sharpe_variance: float) -> float:
    """Expected largest per-bar Sharpe ratio of ``n_trials`` unskilled trials.

    ``√V · ((1-γ)·Z⁻¹(1 - 1/N) + γ·Z⁻¹(1 - 1/(N·e)))`` with ``γ`` the
    Euler-Mascheroni constant, ``Z⁻¹`` the standard normal quantile and ``V``
    the variance of the trials' Sharpe ratios.  One trial gives 0.
    """
    _check_trials(n_trials)
    if not (math.isfinite(sharpe_variance) and sharpe_variance >= 0):
        raise InputError(f"sharpe_variance must be a finite number >= 0, got {sharpe_variance!r}")
    if n_trials == 1:
        return 0.0
    n = float(n_trials)
    z1 = _NORMAL.inv_cdf(1.0 - 1.0 / n)
    z2 = _NORMAL.inv_cdf(1.0 - 1.0 / (n * math.e))
    return math.sqrt(sharpe_variance) * ((1.0 - EULER_GAMMA) * z1 + EULER_GAMMA * z2)


def deflated_sharpe_ratio(
    sharpe: float,
    n_obs: int,
    n_trials: int,
    sharpe_variance: float,
    skew: float = 0.0,
    kurtosis: float = 3.0,
) -> float:
    """The Deflated Sharpe Ratio of one trial from its figures (all per bar).

    The probabilistic Sharpe ratio of ``sharpe`` against
    :func:`expected_max_sharpe` of ``n_trials`` trials whose Sharpe ratios
    have variance ``sharpe_variance``.
    """
    return probabilistic_sharpe(sharpe, n_obs, expected_max_sharpe(n_trials, sharpe_variance), skew, kurtosis)


def _trial_figures(moments: Sequence[tuple]) -> tuple[int, float]:
    """Number of trials with a Sharpe ratio, and the variance (ddof=1) of their Sharpe ratios."""
    sharpes = np.array([m[0] for m in moments], dtype=np.float64)
    sharpes = sharpes[np.isfinite(sharpes)]
    n = len(sharpes)
    return n, float(np.var(sharpes, ddof=1)) if n > 1 else 0.0


def deflated_column(moments: Sequence[Optional[tuple]]) -> np.ndarray:
    """The Deflated Sharpe Ratio of every trial of a search, given their :func:`return_moments`.

    The trials with a Sharpe ratio set the number of trials and the variance
    of their Sharpe ratios; a trial without moments (None) gets NaN.
    """
    known = [m for m in moments if m is not None]
    out = np.full(len(moments), np.nan)
    if not known:
        return out
    n, var = _trial_figures(known)
    if n == 0:
        return out
    threshold = expected_max_sharpe(n, var)
    for i, m in enumerate(moments):
        if m is not None:
            sr, skew, kurt, count = m
            out[i] = probabilistic_sharpe(sr, count, threshold, skew, kurt)
    return out


def deflated_sharpe(
    returns: Union[pd.DataFrame, pd.Series],
    *,
    n_trials: Optional[int] = None,
    sharpe_variance: Optional[float] = None,
) -> Union[pd.Series, float]:
    """The Deflated Sharpe Ratio: the odds that a trial's Sharpe ratio is not luck.

    After ``N`` trials of a search, the best Sharpe ratio is inflated: even
    unskilled trials show a best Sharpe ratio of about
    :func:`expected_max_sharpe` ``(N, V)``, where ``V`` is the variance of
    the trials' Sharpe ratios.  The deflated ratio is the probability that
    the true Sharpe ratio exceeds that threshold, given the number of
    returns, their skewness and kurtosis (Bailey and López de Prado, 2014).
    Values near 0.5 or below mean the result is what luck gives; above 0.95
    is the usual bar.

    Parameters
    ----------
    returns : DataFrame or Series
        Per-bar returns.  A DataFrame holds one column per trial (every
        combination tried, not only the best); missing values are left out
        column by column.  A Series is the chosen trial alone and needs
        ``n_trials`` and ``sharpe_variance``.
    n_trials : int, optional
        Number of independent trials; by default the number of columns
        with a Sharpe ratio.  Give a smaller number when the trials are
        strongly correlated, a larger one when more were tried than kept.
    sharpe_variance : float, optional
        Variance of the trials' per-bar Sharpe ratios; by default that of
        the columns (``ddof=1``).

    Returns
    -------
    Series or float
        For a DataFrame, the deflated ratio of every column (named
        ``deflated_sharpe``); for a Series, a float.

    Raises
    ------
    orvane.InputError
        For returns that are not a pandas table, or a Series without
        ``n_trials`` and ``sharpe_variance``.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> trials = pd.DataFrame(rng.normal(0, 0.01, (1000, 50)))   # 50 unskilled trials
    >>> dsr = orvane.deflated_sharpe(trials)
    >>> float(dsr[trials.mean().idxmax()]) < 0.95
    True
    """
    if isinstance(returns, pd.Series):
        if n_trials is None or sharpe_variance is None:
            raise InputError(
                "deflated_sharpe of a single return series needs n_trials and sharpe_variance"
                " (or pass a DataFrame with one column per trial)"
            )
        sr, skew, kurt, count = return_moments(returns.to_numpy(dtype=np.float64, na_value=np.nan))
        return deflated_sharpe_ratio(sr, count, n_trials, float(sharpe_variance), skew, kurt)
    if not isinstance(returns, pd.DataFrame):
        raise InputError(f"returns must be a pandas DataFrame (one column per trial) or Series, got {type(returns).__name__}")
    if returns.shape[1] == 0:
        raise InputError("returns has no columns (one column per trial is needed)")
    values = returns.to_numpy(dtype=np.float64, na_value=np.nan)
    moments = [return_moments(values[:, j]) for j in range(values.shape[1])]
    n, var = _trial_figures(moments)
    if n_trials is not None:
        n = _check_trials(n_trials)
    if sharpe_variance is not None:
        var = float(sharpe_variance)
    if n == 0:
        return pd.Series(np.nan, index=returns.columns, name="deflated_sharpe")
    threshold = expected_max_sharpe(n, var)
    out = [probabilistic_sharpe(sr, count, threshold, skew, kurt) for sr, skew, kurt, count in moments]
    return pd.Series(out, index=returns.columns, name="deflated_sharpe", dtype=np.float64)


@dataclass
class PBOResult:
    """The Probability of Backtest Overfitting of a set of trials, and how it was found.

    Attributes
    ----------
    pbo : float
        Fraction of the splits in which the trial that is best in sample
        ranks at or below the median out of sample (logit <= 0).
    logits : Series
        The logit ``ln(ω / (1 - ω))`` of the out-of-sample relative rank
        ``ω`` of each split's in-sample best (one per split); its histogram
        is the distribution to look at.
    splits : DataFrame
        One row per split: ``chosen`` (the column that was best in sample),
        ``in_sample`` and ``out_of_sample`` (its per-bar Sharpe ratio on the
        two halves), ``rank`` (its out-of-sample rank, 1 = worst) and
        ``logit``.
    prob_oos_loss : float
        Fraction of splits whose chosen trial has a negative Sharpe ratio
        out of sample.
    slope, intercept : float
        Least-squares line of the out-of-sample on the in-sample Sharpe ratio
        of the chosen trials: a slope well below 1 (or negative) shows the
        in-sample figure degrading out of sample.
    n_splits, n_trials : int
        Number of blocks the bars were cut into, and number of trials.
    """

    pbo: float
    logits: pd.Series
    splits: pd.DataFrame
    prob_oos_loss: float
    slope: float
    intercept: float
    n_splits: int
    n_trials: int

    def plot(self) -> "Figure":
        """Histogram of the logits, and the out-of-sample against the in-sample Sharpe ratio."""
        from .plots import new_figure

        fig = new_figure(11.0, 4.0)
        left, right = fig.subplots(1, 2)
        logits = self.logits.to_numpy()
        finite = logits[np.isfinite(logits)]
        left.hist(finite, bins=min(max(len(finite) // 10, 10), 60), color="#4c72b0")
        left.axvline(0.0, color="#c44e52", linewidth=1.0)
        left.set_xlabel("logit of the out-of-sample rank of the in-sample best")
        left.set_ylabel("splits")
        left.set_title(f"PBO = {self.pbo:.3f}")
        right.scatter(self.splits["in_sample"], self.splits["out_of_sample"], s=6, alpha=0.4, color="#4c72b0")
        right.axhline(0.0, color="#888888", linewidth=0.8)
        right.set_xlabel("in-sample Sharpe (per bar)")
        right.set_ylabel("out-of-sample Sharpe (per bar)")
        right.set_title(f"slope {self.slope:.2f}, P(loss) {self.prob_oos_loss:.2f}")
        return fig


def _block_sharpes(sums: np.ndarray, squares: np.ndarray, count: int, shift: np.ndarray) -> np.ndarray:
    """Per-bar Sharpe ratios from sums of centred returns and their squares over ``count`` bars.

    Returns that never vary get 0 when their mean is 0 and ±inf otherwise,
    so that every trial can be ranked.
    """
    mean_c = sums / count
    var = (squares - sums * mean_c) / (count - 1)
    mean = mean_c + shift
    sd = np.sqrt(np.maximum(var, 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        out = mean / sd
    flat = ~(sd > 0)
    out[flat] = np.sign(mean[flat]) * np.inf
    out[flat & (mean == 0)] = 0.0
    return out


def pbo(returns: pd.DataFrame, n_splits: int = 16) -> PBOResult:
    """The Probability of Backtest Overfitting by combinatorially symmetric cross-validation.

    The bars are cut into ``n_splits`` consecutive blocks of (nearly) equal
    length.  Every way of choosing half of the blocks gives a split: the
    chosen half is in sample, the other half out of sample.  In each split
    the trial with the best in-sample Sharpe ratio is found and its
    out-of-sample rank among all trials noted.  The PBO is the fraction of
    splits in which that rank is at or below the median: the odds that
    picking the best back-test picks one that does worse than a typical
    trial on unseen data (Bailey, Borwein, López de Prado and Zhu, 2017).
    About 0.5 means the search found nothing; near 0, a real edge.

    Parameters
    ----------
    returns : DataFrame
        Per-bar returns, one column per trial (every combination of a
        sweep), on the same bars; no missing values (use 0 for a bar out of
        the market).
    n_splits : int
        Even number of blocks, at least 2; 16 gives 12,870 splits.  Each
        block needs at least two bars.

    Returns
    -------
    PBOResult

    Raises
    ------
    orvane.InputError
        For fewer than two trials, missing values, an odd or too large
        ``n_splits``.

    Examples
    --------
    >>> rng = np.random.default_rng(1)
    >>> result = orvane.pbo(pd.DataFrame(rng.normal(0, 0.01, (800, 20))), n_splits=8)
    >>> 0.0 <= result.pbo <= 1.0
    True
    """
    if not isinstance(returns, pd.DataFrame):
        raise InputError(f"returns must be a pandas DataFrame with one column per trial, got {type(returns).__name__}")
    if isinstance(n_splits, bool) or not isinstance(n_splits, (int, np.integer)) or n_splits < 2 or n_splits % 2:
        raise InputError(f"n_splits must be an even integer of at least 2, got {n_splits!r}")
    n_splits = int(n_splits)
    n_bars, n_trials = returns.shape
    if n_trials < 2:
        raise InputError(f"returns needs at least two trials (columns), got {n_trials}")
    if n_bars < 2 * n_splits:
        raise InputError(f"returns has {n_bars} bars: too few for n_splits={n_splits} blocks of at least two bars")
    try:
        values = returns.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        raise InputError("returns has non-numeric values") from None
    if not np.isfinite(values).all():
        bad = returns.columns[~np.isfinite(values).all(axis=0)]
        shown = ", ".join(repr(c) for c in list(bad)[:10])
        raise InputError(
            f"returns has missing or infinite values in columns {shown}; use 0 for a bar out of the market"
        )
    # Centring each trial keeps the sums-of-squares variance accurate.
    shift = values.mean(axis=0)
    centred = values - shift
    blocks = np.array_split(np.arange(n_bars), n_splits)
    sums = np.stack([centred[b].sum(axis=0) for b in blocks])
    squares = np.stack([(centred[b] ** 2).sum(axis=0) for b in blocks])
    lengths = np.array([len(b) for b in blocks])

    half = n_splits // 2
    every = np.arange(n_splits)
    chosen_sets = np.array(list(itertools.combinations(range(n_splits), half)), dtype=np.intp)
    others = np.array([np.setdiff1d(every, c) for c in chosen_sets], dtype=np.intp)
    n_comb = len(chosen_sets)
    chosen = np.empty(n_comb, dtype=np.intp)
    is_sr = np.empty(n_comb)
    oos_sr = np.empty(n_comb)
    rank = np.empty(n_comb)
    chunk = max(1, 200_000 // max(n_trials * half, 1))
    for lo in range(0, n_comb, chunk):
        sel_in, sel_out = chosen_sets[lo:lo + chunk], others[lo:lo + chunk]
        perf_in = _block_sharpes(sums[sel_in].sum(axis=1), squares[sel_in].sum(axis=1),
                                 lengths[sel_in].sum(axis=1)[:, None], shift)
        perf_out = _block_sharpes(sums[sel_out].sum(axis=1), squares[sel_out].sum(axis=1),
                                  lengths[sel_out].sum(axis=1)[:, None], shift)
        best = np.argmax(perf_in, axis=1)
        rows = np.arange(len(best))
        mine = perf_out[rows, best][:, None]
        below = (perf_out < mine).sum(axis=1)
        ties = (perf_out == mine).sum(axis=1)
        # Ties share the mean of their ranks.
        rank[lo:lo + len(best)] = below + (ties + 1) / 2.0
        chosen[lo:lo + len(best)] = best
        is_sr[lo:lo + len(best)] = perf_in[rows, best]
        oos_sr[lo:lo + len(best)] = mine[:, 0]
    omega = rank / (n_trials + 1.0)
    logits = np.log(omega / (1.0 - omega))
    fit = np.isfinite(is_sr) & np.isfinite(oos_sr)
    if fit.sum() > 1 and np.ptp(is_sr[fit]) > 0:
        slope, intercept = (float(v) for v in np.polyfit(is_sr[fit], oos_sr[fit], 1))
    else:
        slope = intercept = math.nan
    splits = pd.DataFrame(
        {
            "chosen": returns.columns.take(chosen),
            "in_sample": is_sr,
            "out_of_sample": oos_sr,
            "rank": rank,
            "logit": logits,
        }
    )
    return PBOResult(
        pbo=float(np.mean(logits <= 0.0)),
        logits=pd.Series(logits, name="logit"),
        splits=splits,
        prob_oos_loss=float(np.mean(oos_sr < 0.0)),
        slope=slope,
        intercept=intercept,
        n_splits=n_splits,
        n_trials=n_trials,
    )
