"""The synthetic sample market."""

import numpy as np
import pandas as pd
import pytest

from orvane.datasets import SYNTHETIC_NOTE, momentum_position, sample_market


@pytest.fixture(scope="module")
def market():
    return sample_market(n_stocks=120, years=4, n_sectors=4, seed=7)


def test_same_seed_same_data(market):
    again = sample_market(n_stocks=120, years=4, n_sectors=4, seed=7)
    pd.testing.assert_frame_equal(market.close, again.close)
    pd.testing.assert_frame_equal(market.low, again.low)
    other = sample_market(n_stocks=120, years=4, n_sectors=4, seed=8)
    assert not market.close.equals(other.close)


def test_labelled_synthetic_with_business_day_dates(market):
    assert market.meta["note"] == SYNTHETIC_NOTE and "synthetic" in SYNTHETIC_NOTE
    assert all(c.startswith("SYN") for c in market.columns)
    assert market.close.shape == (1008, 120)
    assert (market.index.day_of_week < 5).all() and market.index.is_monotonic_increasing


def test_bars_are_consistent_where_traded(market):
    o, h, l, c = (f.to_numpy() for f in (market.open, market.high, market.low, market.close))
    ok = ~np.isnan(c)
    assert (np.isnan(o) == ~ok).all() and (np.isnan(h) == ~ok).all()
    assert (h[ok] >= np.maximum(o[ok], c[ok])).all() and (l[ok] <= np.minimum(o[ok], c[ok])).all()
    assert (l[ok] > 0).all()


def test_listings_delistings_and_suspensions(market):
    alive = market.close.notna()
    assert (~alive.iloc[0]).any(), "some stocks list after the start"
    assert (~alive.iloc[-1]).any(), "some stocks are gone at the end"
    inner_gaps = 0
    for col in alive.columns:
        a = alive[col].to_numpy()
        life = np.nonzero(a)[0]
        if len(life):
            inner_gaps += int((~a[life[0]: life[-1] + 1]).sum())
    assert inner_gaps > 0, "suspensions leave NaN gaps inside a stock's life"


def test_sector_correlation_and_fat_tails(market):
    r = np.log(market.close).diff()
    corr = r.corr().to_numpy()
    sector = market.meta["sectors"].to_numpy()
    same = sector[:, None] == sector[None, :]
    off = ~np.eye(len(sector), dtype=bool)
    assert np.nanmean(corr[same & off]) > np.nanmean(corr[~same]) + 0.05
    x = r.to_numpy().ravel()
    x = x[np.isfinite(x)]
    x = (x - x.mean()) / x.std()
    assert (x**4).mean() > 4.0, "excess kurtosis above a normal distribution's"


def test_momentum_position_holds_top_stocks_that_trade(market):
    pos = momentum_position(market.close, top=10)
    assert pos.dtypes.map(pd.api.types.is_bool_dtype).all()
    counts = pos.sum(axis=1)
    assert counts.iloc[:252].max() == 0 and counts.iloc[-1] == 10
    assert not (pos & market.close.isna()).any().any()


def test_rejects_empty_universe():
    with pytest.raises(ValueError):
        sample_market(n_stocks=0)
