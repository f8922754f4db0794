"""The sweep's table: one row per combination, the summary warning, and the ranking of rows."""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import pandas as pd

from ..inputs import DataWarning

__all__ = ["Outcome", "frame", "warn_missing_prices", "best"]


@dataclass
class Outcome:
    """The result of one combination as it travels back from a worker."""

    index: int
    stats: Optional[dict]
    error: Optional[str]
    report: Any = None
    output: str = ""
    # Moments of the bar returns, for the deflated Sharpe ratio of the search.
    moments: Optional[tuple] = None


def frame(names: list[str], combos: list[dict], outcomes: list[Outcome]) -> pd.DataFrame:
    """Parameters, statistics and error of every combination, in grid order."""
    index = pd.RangeIndex(len(combos))
    columns = {}
    for name in names:
        values = [combo.get(name, np.nan) for combo in combos]
        # None stays None (it switches a stop off, where NaN is refused), so the row can be run again.
        dtype = object if any(v is None for v in values) else None
        columns[name] = pd.Series(values, index=index, dtype=dtype, name=name)
    params = pd.DataFrame(columns, index=index)
    stat_names = list(dict.fromkeys(name for o in outcomes if o.stats for name in o.stats))
    # A parameter named like a statistic keeps its name; the statistic gets a suffix.
    rename = {s: f"{s}_stat" if s in names else s for s in stat_names}
    records = [{rename[k]: v for k, v in (o.stats or {}).items()} for o in outcomes]
    # pandas 2 cannot build a frame from no records and no columns.
    stats = (
        pd.DataFrame.from_records(records, columns=[rename[s] for s in stat_names], index=index)
        if stat_names
        else pd.DataFrame(index=index)
    )
    error = pd.Series([o.error for o in outcomes], index=index, dtype=object, name="error")
    return pd.concat([params, stats, error], axis=1)


def warn_missing_prices(table: pd.DataFrame) -> None:
    """One warning for the whole sweep when some combinations held stocks on bars without a price."""
    if "missing_price_bars" not in table.columns:
        return
    hit = pd.to_numeric(table["missing_price_bars"], errors="coerce").fillna(0).to_numpy() > 0
    if hit.any():
        warnings.warn(
            f"{int(hit.sum())} of {len(table)} combinations held stocks on bars without a price, where their value"
            " was carried unchanged; see the columns missing_price_bars and missing_prices",
            DataWarning,
            stacklevel=3,
        )


def best(table: pd.DataFrame, sort_by: str, ascending: bool, keep: int) -> list[int]:
    """Rows of the ``keep`` best combinations by ``sort_by``, in grid order."""
    if table["error"].notna().all():
        return []
    if sort_by not in table.columns:
        stats = [c for c in table.columns if c != "error"]
        raise ValueError(f"sort_by={sort_by!r} is not a column of the sweep's results: {stats}")
    column = table[sort_by]
    if not (pd.api.types.is_numeric_dtype(column) or column.isna().all()):
        raise ValueError(f"sort_by={sort_by!r} is not a numeric statistic")
    values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    ok = np.flatnonzero(table["error"].isna().to_numpy() & ~np.isnan(values))
    key = values[ok] if ascending else -values[ok]
    # A stable sort keeps equal scores in grid order.
    chosen = ok[np.argsort(key, kind="stable")][:keep]
    return sorted(int(i) for i in chosen)
