"""Validation of user tables and their conversion to the arrays the engine reads.

The engine takes plain NumPy arrays: ``float64`` price and weight matrices,
``int64`` nanosecond dates and object arrays of column names.  This module
checks the pandas tables a user passes, reports every problem it can name
before anything runs, and builds those arrays, copying only what has to be
private (the weight matrix, which the engine may write to).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

__all__ = ["InputError", "Prices", "Prepared", "prepare"]

FIELDS = ("open", "high", "low", "close")


class InputError(ValueError):
    """A table given to :func:`orvane.backtest` cannot be used as it stands."""


def _preview(items: Iterable[Any], limit: int = 10) -> str:
    items = list(items)
    text = ", ".join(repr(x) for x in items[:limit])
    if len(items) > limit:
        text += f", ... ({len(items)} in all)"
    return text


def _tz_name(index: pd.DatetimeIndex) -> str:
    return "no time zone" if index.tz is None else f"time zone {index.tz}"


def check_table(frame: Any, what: str) -> pd.DataFrame:
    """Check the shape, index and columns of a wide table (dates x stocks).

    Returns the table sorted by date; raises :class:`InputError` naming the
    first problem found.
    """
    if not isinstance(frame, pd.DataFrame):
        raise InputError(f"{what} must be a pandas DataFrame, got {type(frame).__name__}")
    if frame.shape[0] == 0 or frame.shape[1] == 0:
        raise InputError(f"{what} is empty ({frame.shape[0]} rows x {frame.shape[1]} columns)")
    if not isinstance(frame.index, pd.DatetimeIndex):
        raise InputError(
            f"{what} must be indexed by dates (a DatetimeIndex), got {type(frame.index).__name__}"
            f" of dtype {frame.index.dtype}; convert it with pd.to_datetime"
        )
    if frame.index.hasnans:
        raise InputError(f"{what} has missing dates (NaT) in its index")
    if frame.index.has_duplicates:
        dup = frame.index[frame.index.duplicated()].unique()
        raise InputError(f"{what} has duplicate dates: {_preview(str(d) for d in dup)}")
    if frame.columns.has_duplicates:
        dup = frame.columns[frame.columns.duplicated()].unique()
        raise InputError(f"{what} has duplicate stock names: {_preview(dup)}")
    names = column_names(frame.columns)
    if len(set(names)) != len(names):
        seen: dict[str, Any] = {}
        clash = []
        for c, n in zip(frame.columns, names):
            if n in seen:
                clash.append((seen[n], c))
            seen[n] = c
        raise InputError(f"{what} has stock names that are equal as text: {_preview(clash)}")
    dtypes = frame.dtypes
    kinds_ok = {t: _is_number_dtype(t) for t in set(dtypes)}
    if not all(kinds_ok.values()):
        bad = [c for c, t in dtypes.items() if not kinds_ok[t]]
        raise InputError(f"{what} has non-numeric values in columns {_preview(bad)}")
    if not frame.index.is_monotonic_increasing:
        frame = frame.sort_index(kind="stable")
    return frame


def _is_number_dtype(dtype: Any) -> bool:
    return bool(pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype))


def column_names(columns: pd.Index) -> np.ndarray:
    """The column labels as an object array of Python ``str``."""
    if pd.api.types.is_string_dtype(columns.dtype) and not pd.api.types.is_object_dtype(columns.dtype):
        return columns.to_numpy(dtype=object)
    return np.array([str(c) for c in columns], dtype=object)


def _numeric_block(frame: pd.DataFrame, what: str) -> np.ndarray:
    """``frame`` as a 2-D float64 array, a view when pandas already holds one."""
    values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    if values.ndim != 2:
        raise InputError(f"{what} could not be read as a 2-D numeric table")
    return values


def date_ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Nanoseconds since the epoch of each date, independent of the process's time zone.

    Aware dates are counted in UTC; naive dates are counted as the wall-clock
    time they show (as if they were UTC), which is consistent as long as all
    tables of a run use the same convention (checked by :func:`prepare`).
    """
    if index.tz is not None:
        index = index.tz_convert("UTC").tz_localize(None)
    if hasattr(index, "as_unit"):
        index = index.as_unit("ns")
    return np.asarray(index.asi8, dtype=np.int64)


def _ensure_tz_match(a: pd.DatetimeIndex, b: pd.DatetimeIndex, what_a: str, what_b: str) -> None:
    same = (a.tz is None and b.tz is None) or (
        a.tz is not None and b.tz is not None and str(a.tz) == str(b.tz)
    )
    if not same:
        raise InputError(
            f"{what_a} has {_tz_name(a)} but {what_b} has {_tz_name(b)}; "
            "bring both to the same time zone (tz_localize / tz_convert)"
        )


class Prices:
    """Price tables of a universe, one DataFrame per field (dates x stocks).

    Parameters
    ----------
    close : DataFrame
        Close prices; also the trade price unless ``trade_at="open"``.
    open, high, low : DataFrame, optional
        Bar open, high and low, with the same dates and stocks as ``close``.
        ``high``, ``low`` and ``open`` are needed for intrabar exits
        (``touched_exit=True``); ``open`` for ``trade_at="open"``.
    meta : dict, optional
        Free-form description of the data (for example its source).
    """

    def __init__(
        self,
        close: pd.DataFrame,
        open: Optional[pd.DataFrame] = None,
        high: Optional[pd.DataFrame] = None,
        low: Optional[pd.DataFrame] = None,
        meta: Optional[dict] = None,
    ) -> None:
        close = check_table(close, "close prices")
        fields = {"open": open, "high": high, "low": low}
        for name, frame in fields.items():
            if frame is None:
                continue
            frame = check_table(frame, f"{name} prices")
            if not frame.index.equals(close.index):
                raise InputError(f"{name} prices and close prices have different dates")
            if not frame.columns.equals(close.columns):
                missing = close.columns.difference(frame.columns)
                extra = frame.columns.difference(close.columns)
                if len(missing) == 0 and len(extra) == 0:
                    frame = frame[close.columns]
                else:
                    raise InputError(
                        f"{name} prices and close prices have different stocks"
                        f" (missing in {name}: {_preview(missing)}; extra in {name}: {_preview(extra)})"
                    )
            fields[name] = frame
        self.close: pd.DataFrame = close
        self.open: Optional[pd.DataFrame] = fields["open"]
        self.high: Optional[pd.DataFrame] = fields["high"]
        self.low: Optional[pd.DataFrame] = fields["low"]
        self.meta: dict = dict(meta or {})

    def __repr__(self) -> str:
        have = [f for f in FIELDS if getattr(self, f) is not None]
        return (
            f"Prices({len(self.close.index)} dates x {len(self.close.columns)} stocks, "
            f"fields={have}, {self.close.index[0].date()}..{self.close.index[-1].date()})"
        )

    @property
    def index(self) -> pd.DatetimeIndex:
        """Dates of the bars."""
        return self.close.index

    @property
    def columns(self) -> pd.Index:
        """Stock names."""
        return self.close.columns

    @classmethod
    def from_frame(cls, frame: pd.DataFrame) -> "Prices":
        """Prices from a DataFrame with (field, symbol) column levels.

        The first column level holds the field names ``open``, ``high``,
        ``low`` and ``close`` (case-insensitive); ``close`` is required.
        """
        if not isinstance(frame, pd.DataFrame) or frame.columns.nlevels != 2:
            raise InputError("prices with several fields need (field, symbol) column levels")
        level0 = [str(x).lower() for x in frame.columns.get_level_values(0)]
        if "close" not in level0:
            raise InputError("prices have no 'close' field in their first column level")
        unknown = sorted(set(level0) - set(FIELDS))
        if unknown:
            raise InputError(f"prices have unknown fields {_preview(unknown)}; expected {list(FIELDS)}")
        out = {}
        for f in FIELDS:
            cols = [c for c, l0 in zip(frame.columns, level0) if l0 == f]
            if cols:
                sub = frame[cols]
                sub.columns = pd.Index([c[1] for c in cols])
                out[f] = sub
        return cls(**out)

    @classmethod
    def from_mapping(cls, tables: Mapping[str, pd.DataFrame]) -> "Prices":
        """Prices from a mapping of field name to wide table."""
        lower = {str(k).lower(): v for k, v in tables.items()}
        unknown = sorted(set(lower) - set(FIELDS))
        if unknown:
            raise InputError(f"prices have unknown fields {_preview(unknown)}; expected {list(FIELDS)}")
        if "close" not in lower:
            raise InputError("prices need a 'close' table")
        return cls(**lower)

    @classmethod
    def from_long(
        cls,
        frame: pd.DataFrame,
        date: str = "date",
        symbol: str = "symbol",
        tz: Optional[str] = None,
    ) -> "Prices":
        """Prices from a long table with one row per date and symbol.

        Parameters
        ----------
        frame : DataFrame
            Columns ``date``, ``symbol`` and some of ``open``, ``high``,
            ``low``, ``close`` (names are matched case-insensitively);
            ``close`` is required.  Dates may be text.
        date, symbol : str
            Names of the date and symbol columns.
        tz : str, optional
            Time zone to localise naive dates to.

        Returns
        -------
        Prices
        """
        if not isinstance(frame, pd.DataFrame):
            raise InputError(f"a long price table must be a DataFrame, got {type(frame).__name__}")
        if len(frame) == 0:
            raise InputError("the long price table is empty")
        by_lower = {str(c).lower(): c for c in frame.columns}
        for need in (date, symbol, "close"):
            if need.lower() not in by_lower:
                raise InputError(f"the long price table has no {need!r} column (columns: {_preview(frame.columns)})")
        dcol, scol = by_lower[date.lower()], by_lower[symbol.lower()]
        try:
            dates = pd.to_datetime(frame[dcol])
        except (ValueError, TypeError) as exc:
            raise InputError(f"the {date!r} column of the long price table is not dates: {exc}") from None
        if tz is not None and getattr(dates.dt, "tz", None) is None:
            dates = dates.dt.tz_localize(tz)
        keys = pd.MultiIndex.from_arrays([dates, frame[scol]])
        if keys.has_duplicates:
            dup = keys[keys.duplicated()].unique()
            raise InputError(f"the long price table has several rows for {_preview((str(d), s) for d, s in dup)}")
        out = {}
        for f in FIELDS:
            if f in by_lower:
                col = frame[by_lower[f]]
                if not pd.api.types.is_numeric_dtype(col):
                    raise InputError(f"the {f!r} column of the long price table is not numeric")
                wide = pd.Series(col.to_numpy(dtype=np.float64), index=keys).unstack()
                wide.index = pd.DatetimeIndex(wide.index)
                wide.index.name = None
                wide.columns.name = None
                out[f] = wide
        columns = out["close"].columns
        return cls(**{k: v.reindex(columns=columns) for k, v in out.items()})

    @classmethod
    def from_sql(
        cls,
        query: str,
        con: Any,
        params: Any = None,
        date: str = "date",
        symbol: str = "symbol",
        tz: Optional[str] = None,
    ) -> "Prices":
        """Prices from a database query that returns a long table.

        Parameters
        ----------
        query : str
            SQL returning one row per date and symbol, with the columns of
            :meth:`from_long` (``date``, ``symbol`` and some of ``open``,
            ``high``, ``low``, ``close``; ``close`` is required).  Dates
            may be dates, timestamps, text, or YYYYMMDD integers; NULL
            prices are missing prices.
        con : connection or str
            A DB-API 2 connection (``sqlite3``, ...), a SQLAlchemy engine or
            connection, a DuckDB connection, or the path of a SQLite or
            DuckDB file or a database URL (opened read-only for the query).
        params : sequence or mapping, optional
            Parameters of the query, in the style of the connection's driver.
        date, symbol : str
            Names of the date and symbol columns.
        tz : str, optional
            Time zone to localise naive dates to.

        Returns
        -------
        Prices

        Raises
        ------
        InputError
            When the query fails or returns no rows, a column is missing,
            dates are NULL or not dates, or prices are not numbers.
        """
        from .sql import prices_from_sql

        return prices_from_sql(query, con, params=params, date=date, symbol=symbol, tz=tz, cls=cls)


def as_prices(prices: Any) -> Prices:
    """Accept a :class:`Prices`, a wide DataFrame of prices, a (field, symbol) frame or a mapping."""
    if isinstance(prices, Prices):
        return prices
    if isinstance(prices, pd.DataFrame):
        if prices.columns.nlevels == 2:
            return Prices.from_frame(prices)
        return Prices(close=prices)
    if isinstance(prices, Mapping):
        return Prices.from_mapping(prices)
    raise InputError(
        "prices must be a DataFrame, a mapping of field name to DataFrame or an orvane.Prices,"
        f" got {type(prices).__name__}"
    )


def weights_from_position(position: pd.DataFrame) -> pd.DataFrame:
    """Float weights of a position table: NaN is 0; booleans hold equal weights per row."""
    if all(pd.api.types.is_bool_dtype(t) for t in set(position.dtypes)):
        kinds = set(position.dtypes)
        # Nullable booleans may hold NA, which means "not held".
        plain = position if kinds == {np.dtype(bool)} else position.fillna(False)
        held = plain.to_numpy(dtype=bool)
        counts = held.sum(axis=1, keepdims=True)
        with np.errstate(invalid="ignore", divide="ignore"):
            w = np.where(held, 1.0 / np.maximum(counts, 1), 0.0)
    else:
        w = np.array(position.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64, copy=True)
        w[np.isnan(w)] = 0.0
        if not np.isfinite(w).all():
            rows, cols = np.nonzero(~np.isfinite(w))
            where = [(str(position.index[r]), position.columns[c]) for r, c in zip(rows, cols)]
            raise InputError(f"position has infinite weights at {_preview(where)}")
    return pd.DataFrame(w, index=position.index, columns=position.columns)


def _period_key(alias: str) -> str:
    """A pandas period alias for a resample alias, across pandas' renamings (M/ME, A/Y/YE, ...)."""
    text = alias.strip()
    head, _, anchor = text.partition("-")
    upper = head.upper()
    table = {"ME": "M", "M": "M", "BM": "M", "BME": "M", "MS": "M",
             "QE": "Q", "Q": "Q", "BQ": "Q", "QS": "Q",
             "YE": "Y", "Y": "Y", "A": "Y", "AS": "Y", "YS": "Y", "BA": "Y", "BY": "Y",
             "W": "W", "D": "D", "B": "D"}
    if upper not in table:
        raise InputError(f"unknown resample alias {alias!r}; use W, M, Q, Y (with an anchor like W-FRI) or a list of dates")
    key = table[upper]
    return f"{key}-{anchor.upper()}" if anchor else key


def rebalance_dates(dates: pd.DatetimeIndex, alias: str) -> pd.DatetimeIndex:
    """The last date of each period of ``dates`` for a resample alias such as ``"M"``."""
    key = _period_key(alias)
    naive = dates.tz_localize(None) if dates.tz is not None else dates
    try:
        periods = naive.to_period(key)
    except (ValueError, TypeError) as exc:
        raise InputError(f"cannot resample by {alias!r}: {exc}") from None
    codes = np.asarray(periods.asi8)
    last = np.ones(len(codes), dtype=bool)
    last[:-1] = codes[1:] != codes[:-1]
    return dates[last]


@dataclass
class Prepared:
    """Arrays and labels of one run, in the form the engine reads them."""

    price_values: np.ndarray
    close_values: np.ndarray
    high_values: Optional[np.ndarray]
    low_values: Optional[np.ndarray]
    open_values: Optional[np.ndarray]
    price_index: np.ndarray
    price_columns: np.ndarray
    pos_values: np.ndarray
    pos_index: np.ndarray
    pos_columns: np.ndarray
    resample: np.ndarray
    dates: pd.DatetimeIndex
    pos_dates: pd.DatetimeIndex
    stocks: pd.Index
    meta: dict = field(default_factory=dict)

    def engine_args(self) -> tuple:
        """The eleven array arguments of ``backtest_`` in order."""
        return (
            self.price_values, self.close_values, self.high_values, self.low_values,
            self.open_values, self.price_index, self.price_columns, self.pos_values,
            self.pos_index, self.pos_columns, self.resample,
        )


def _resample_positions(
    weights: pd.DataFrame, dates: pd.DatetimeIndex, resample: Union[str, Sequence, pd.DatetimeIndex]
) -> pd.DataFrame:
    """The weight rows in force at each rebalance date (the latest row dated on or before it)."""
    first = weights.index[0]
    if isinstance(resample, str):
        tail = weights.index[weights.index > dates[-1]]
        universe = dates[dates >= first].append(tail)
        if len(universe) == 0:
            raise InputError("no price date falls on or after the first position date")
        when = rebalance_dates(universe, resample)
    else:
        try:
            when = pd.DatetimeIndex(resample)
        except (ValueError, TypeError) as exc:
            raise InputError(f"resample must be None, a pandas offset alias or dates: {exc}") from None
        if len(when) == 0:
            raise InputError("resample has no dates")
        if when.hasnans:
            raise InputError("resample has missing dates (NaT)")
        _ensure_tz_match(when, weights.index, "resample dates", "position")
        when = when.unique().sort_values()
        when = when[when >= first]
        if len(when) == 0:
            raise InputError("every resample date is before the first position date")
    rows = weights.index.searchsorted(when, side="right") - 1
    out = pd.DataFrame(weights.to_numpy()[rows], index=when, columns=weights.columns)
    return out


def prepare(
    position: pd.DataFrame,
    prices: Any,
    resample: Union[None, str, Sequence, pd.DatetimeIndex] = None,
    trade_at: str = "close",
    touched_exit: bool = False,
) -> Prepared:
    """Check the inputs of a back-test and build the engine's arrays.

    Raises
    ------
    InputError
        With a message naming the problem, before anything runs.
    """
    px = as_prices(prices)
    position = check_table(position, "position")
    _ensure_tz_match(position.index, px.index, "position", "prices")
    # A set of plain labels: pandas' isin is slow on Arrow-backed string labels.
    known = set(px.columns.to_numpy(dtype=object).tolist())
    missing = [c for c in position.columns.to_numpy(dtype=object).tolist() if c not in known]
    if missing:
        by_text = {str(c) for c in px.columns}
        hint = " (their names match as text: check the column types)" if all(str(c) in by_text for c in missing) else ""
        raise InputError(f"position has stocks missing from prices: {_preview(missing)}{hint}")
    if trade_at not in ("close", "open"):
        raise InputError(f"trade_at must be 'close' or 'open', got {trade_at!r}")
    if trade_at == "open" and px.open is None:
        raise InputError("trade_at='open' needs open prices")
    if touched_exit:
        lacking = [f for f in ("high", "low", "open") if getattr(px, f) is None]
        if lacking:
            raise InputError(f"touched_exit=True needs {', '.join(lacking)} prices")

    weights = weights_from_position(position)
    dates = px.index
    if resample is None:
        rows = weights
        marks = None
    else:
        rows = _resample_positions(weights, dates, resample)
        marks = rows.index

    close_values = _numeric_block(px.close, "close prices")
    price_values = close_values if trade_at == "close" else _numeric_block(px.open, "open prices")
    high = low = opn = None
    if touched_exit:
        high = _numeric_block(px.high, "high prices")
        low = _numeric_block(px.low, "low prices")
        opn = price_values if trade_at == "open" else _numeric_block(px.open, "open prices")

    pos_values = np.array(rows.to_numpy(dtype=np.float64), dtype=np.float64, order="C", copy=True)
    pos_index = date_ns(rows.index)
    price_index = date_ns(dates)
    # The engine skips every bar dated before the first weight row, including
    # the bar whose close would notice a first row dated between two bars;
    # dating that row at the bar before it keeps its timing and makes it trade.
    k = int(np.searchsorted(price_index, pos_index[0], side="right")) - 1
    if k >= 0 and price_index[k] < pos_index[0]:
        pos_index = pos_index.copy()
        pos_index[0] = price_index[k]
    resample_ns = pos_index if marks is None else date_ns(marks)
    price_columns = column_names(px.columns)
    pos_columns = column_names(rows.columns)
    return Prepared(
        price_values=price_values,
        close_values=close_values,
        high_values=high,
        low_values=low,
        open_values=opn,
        price_index=price_index,
        price_columns=price_columns,
        pos_values=pos_values,
        pos_index=pos_index,
        pos_columns=pos_columns,
        resample=resample_ns,
        dates=dates,
        pos_dates=rows.index,
        stocks=rows.columns,
        meta=dict(px.meta),
    )
