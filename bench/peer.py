"""The peer of the benchmark: vectorbt on the same weight rows.

The comparable job is a long-only equal-weight portfolio without stops, fees,
taxes or NaN prices, traded at the close. orvane notices a weight row at the
close of bar d and trades it at bar d + 1; the peer gets the row as target
percentages on bar d + 1 itself, with one cash-sharing group and sells before
buys, so both value the same holdings on every bar.
"""

from __future__ import annotations

import numpy as np

from .universe import Universe


def trade_schedule(dates: np.ndarray, pos_index: np.ndarray, resample: np.ndarray) -> list[tuple[int, int]]:
    """Bars on which orvane executes a weight row, as (bar, row) pairs.

    Mirrors the engine's timing: each resample date marks the last bar dated on
    or before it; at the close of every bar on or after the first weight date
    the newest row dated strictly before the next bar is taken up, and a row
    not yet executed is traded on the next bar when the current bar is marked.
    """
    n = len(dates)
    marked = np.zeros(n, dtype=bool)
    ptr = 0
    for t in resample:
        while ptr + 1 < n and dates[ptr + 1] <= t:
            ptr += 1
        marked[ptr] = True
    out = []
    pos_id, current = 0, -1
    pending = False
    for d in range(n):
        if dates[d] < pos_index[0]:
            continue
        if pending:
            out.append((d, pos_id))
            current = pos_id
        next_bar = dates[d + 1] if d < n - 1 else np.iinfo(np.int64).max
        while pos_id < len(pos_index) - 1 and pos_index[pos_id + 1] < next_bar:
            pos_id += 1
        pending = current != pos_id and bool(marked[d])
    return out


def target_rows(u: Universe) -> np.ndarray:
    """Order matrix for the peer: NaN (no order) except on trade bars, in price-column order."""
    perm = u.meta["perm"]
    size = np.full(u.close.shape, np.nan)
    for bar, row in trade_schedule(u.dates, u.pos_index, u.resample):
        size[bar, perm] = u.pos_values[row]
    return size


def reference_creturn(u: Universe) -> np.ndarray:
    """Portfolio value per bar for the peer's job, following orvane's rules step by step.

    Slow, plain Python; used to tell a fault of the engine from a fault of the
    peer mapping when the two disagree.
    """
    perm = u.meta["perm"]
    price = u.close
    n_bars = price.shape[0]
    schedule = dict(trade_schedule(u.dates, u.pos_index, u.resample))
    out = np.ones(n_bars)
    pos: dict[int, float] = {}
    cash = 1.0
    prev = np.ones(price.shape[1])
    started = False
    for d in range(n_bars):
        if u.dates[d] < u.pos_index[0]:
            continue
        started = True
        for sid in sorted(pos):
            col = perm[sid]
            pos[sid] *= price[d, col] / prev[col]
            prev[col] = price[d, col]
        if d in schedule:
            row = u.pos_values[schedule[d]]
            balance = cash
            for sid in sorted(pos):
                balance += pos[sid]
            gross = 0.0
            for v in row:
                gross += abs(v)
            ratio = balance / (1.0 if 1.0 > gross else gross)
            for sid, v in enumerate(row):
                target = v * ratio
                held = pos.get(sid, 0.0)
                cash -= target - held
                if target == 0.0:
                    pos.pop(sid, None)
                else:
                    pos[sid] = target
            prev = price[d].copy()
        out[d] = cash + sum(pos[s] for s in sorted(pos))
    assert started or not len(out)
    return out


def run_peer(close: np.ndarray, size: np.ndarray, dates: np.ndarray, engine: str = "numba"):
    """Run vectorbt with one of its engines and return its portfolio object."""
    import pandas as pd
    import vectorbt as vbt

    index = pd.DatetimeIndex(dates.astype("datetime64[ns]"))
    close_df = pd.DataFrame(close, index=index, copy=False)
    size_df = pd.DataFrame(size, index=index, copy=False)
    return vbt.Portfolio.from_orders(
        close_df,
        size=size_df,
        size_type="targetpercent",
        group_by=True,
        cash_sharing=True,
        call_seq="auto",
        init_cash=1.0,
        fees=0.0,
        # The engine trades any amount; vectorbt's default rejects orders below
        # 1e-8 shares, which at a starting cash of 1.0 drops small resizes.
        min_size=0.0,
        freq="1D",
        engine=engine,
    )


def peer_value(close: np.ndarray, size: np.ndarray, dates: np.ndarray, engine: str = "numba") -> np.ndarray:
    """Peer job from inputs to the per-bar portfolio value (starts at 1)."""
    pf = run_peer(close, size, dates, engine)
    return np.asarray(pf.value(), dtype=np.float64).reshape(-1)


def peer_available() -> str | None:
    """None when vectorbt imports, else the reason it does not."""
    try:
        import vectorbt  # noqa: F401
    except Exception as exc:  # any import failure means: no peer in this run
        return f"{type(exc).__name__}: {exc}"
    return None


def engine_available(engine: str) -> bool:
    """Whether vectorbt can run with `engine` ("numba" always; "rust" needs vectorbt-rust)."""
    if engine == "numba":
        return True
    if engine == "rust":
        try:
            import vectorbt_rust  # noqa: F401
        except ImportError:
            return False
        return True
    return False
