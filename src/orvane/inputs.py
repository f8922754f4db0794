"""Validation of user tables and their conversion to the arrays the engine reads.

The engine takes plain NumPy arrays: ``float64`` price and weight matrices,
``int64`` nanosecond dates and object arrays of column names.  This module
checks the pandas tables a user passes, reports every problem it can name
before anything runs, and builds those arrays, copying only what has to be
private (the weight rows the run can take up, which the engine may write to).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from . import schedule

__all__ = ["InputError", "DataWarning", "Prices", "Prepared", "prepare", "to_dates", "check_benchmark"]

FIELDS = ("open", "high", "low", "close")

# The engine counts time in int64 nanoseconds since 1970.
_DATE_RANGE = f"{pd.Timestamp.min.date()}..{pd.Timestamp.max.date()}"


class InputError(ValueError):
    """A table or option given to orvane cannot be used as it stands."""


class DataWarning(UserWarning):
    """The data of a run is usable but something in it affects the result (for example missing prices)."""


def _preview(items: Iterable[Any], limit: int = 10) -> str:
    items = list(items)
    text = ", ".join(repr(x) for x in items[:limit])
    if len(items) > limit:
        text += f", ... ({len(items)} in all)"
    return text


def _tz_name(index: pd.DatetimeIndex) -> str:
    return "no time zone" if index.tz is None else f"time zone {index.tz}"


def _yyyymmdd(values: np.ndarray, what: str) -> pd.DatetimeIndex:
    """Integer dates in the 8-digit YYYYMMDD form; any other integer is refused."""
    ints = np.asarray(values, dtype=np.int64)
    odd = (ints < 10_000_101) | (ints > 99_991_231)
    if odd.any():
        raise InputError(
            f"{what} holds integer dates that are not 8-digit YYYYMMDD dates: {_preview(ints[odd].tolist(), 5)};"
            " give dates, date strings or YYYYMMDD integers"
        )
    try:
        return pd.DatetimeIndex(pd.to_datetime(ints.astype(str), format="%Y%m%d"))
    except (ValueError, TypeError):
        bad = []
        for v in ints:
            try:
                pd.to_datetime(str(v), format="%Y%m%d")
            except (ValueError, TypeError):
                bad.append(int(v))
        raise InputError(f"{what} holds integers that are not valid YYYYMMDD dates: {_preview(bad, 5)}") from None


def _is_integer_like(values: Any) -> bool:
    dtype = getattr(values, "dtype", None)
    if dtype is not None and not pd.api.types.is_object_dtype(dtype):
        return bool(pd.api.types.is_integer_dtype(dtype)) and not pd.api.types.is_bool_dtype(dtype)
    items = list(values)
    return bool(items) and all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in items)


def to_dates(values: Any, what: str, text: bool = True) -> pd.DatetimeIndex:
    """Dates from a DatetimeIndex, dates, YYYYMMDD integers or (with ``text``) date strings.

    Integers are read only in the 8-digit YYYYMMDD form (20240102), never as
    seconds or nanoseconds since 1970.  Missing dates are kept as NaT for the
    caller to name; every other problem raises :class:`InputError`.
    """
    if isinstance(values, pd.DatetimeIndex):
        out = values
    elif isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise InputError(f"{what} must be a list of dates, got {type(values).__name__}")
    elif _is_integer_like(values):
        out = _yyyymmdd(np.asarray(values), what)
    else:
        series = values if isinstance(values, (pd.Series, pd.Index)) else pd.Index(list(values))
        kind = series.dtype
        if pd.api.types.is_bool_dtype(kind) or pd.api.types.is_float_dtype(kind):
            raise InputError(f"{what} must be dates, got values of type {kind}")
        if (pd.api.types.is_string_dtype(kind) or pd.api.types.is_object_dtype(kind)) and not text:
            raise InputError(f"{what} must be dates, got text; convert it with pd.to_datetime and an explicit format")
        try:
            out = pd.DatetimeIndex(pd.to_datetime(series))
        except (pd.errors.OutOfBoundsDatetime, OverflowError):
            raise InputError(f"{what} has dates outside the supported range {_DATE_RANGE}") from None
        except (ValueError, TypeError) as exc:
            raise InputError(f"{what} is not dates: {exc}") from None
    # Every date must fit the engine's nanosecond clock.
    date_ns(out, what)
    return out


def check_table(frame: Any, what: str, sort: bool = True) -> pd.DataFrame:
    """Check the shape, index and columns of a wide table (dates x stocks).

    Returns the table sorted by date (unless ``sort`` is false), with an index
    of YYYYMMDD integers read as dates; raises :class:`InputError` naming the
    first problem found.
    """
    if not isinstance(frame, pd.DataFrame):
        raise InputError(f"{what} must be a pandas DataFrame, got {type(frame).__name__}")
    if frame.shape[0] == 0 or frame.shape[1] == 0:
        raise InputError(f"{what} is empty ({frame.shape[0]} rows x {frame.shape[1]} columns)")
    if not isinstance(frame.index, pd.DatetimeIndex):
        if not _is_integer_like(frame.index) or isinstance(frame.index, pd.RangeIndex):
            raise InputError(
                f"{what} must be indexed by dates (a DatetimeIndex or YYYYMMDD integers), got"
                f" {type(frame.index).__name__} of dtype {frame.index.dtype}; convert it with pd.to_datetime"
            )
        frame = frame.set_axis(to_dates(frame.index, f"the index of {what}"), axis=0)
    else:
        to_dates(frame.index, f"the index of {what}")
    if frame.index.hasnans:
        raise InputError(f"{what} has missing dates (NaT) in its index")
    if frame.index.has_duplicates:
        dup = frame.index[frame.index.duplicated()].unique()
        raise InputError(f"{what} has duplicate dates: {_preview(str(d) for d in dup)}")
    if not isinstance(frame.columns, pd.MultiIndex) and frame.columns.isna().any():
        raise InputError(f"{what} has columns without a stock name (NaN or None); name or drop them")
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
    if sort and not frame.index.is_monotonic_increasing:
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


def date_ns(index: pd.DatetimeIndex, what: str = "dates") -> np.ndarray:
    """Nanoseconds since the epoch of each date, independent of the process's time zone.

    Aware dates are counted in UTC; naive dates are counted as the wall-clock
    time they show (as if they were UTC), which is consistent as long as all
    tables of a run use the same convention (checked by :func:`prepare`).
    """
    if index.tz is not None:
        index = index.tz_convert("UTC").tz_localize(None)
    if hasattr(index, "as_unit"):
        try:
            index = index.as_unit("ns")
        except (ValueError, OverflowError):
            raise InputError(f"{what} has dates outside the supported range {_DATE_RANGE}") from None
    return np.asarray(index.asi8, dtype=np.int64)


def _same_tz(a: pd.DatetimeIndex, b: pd.DatetimeIndex) -> bool:
    return (a.tz is None and b.tz is None) or (a.tz is not None and b.tz is not None and str(a.tz) == str(b.tz))


def _ensure_tz_match(a: pd.DatetimeIndex, b: pd.DatetimeIndex, what_a: str, what_b: str) -> None:
    if not _same_tz(a, b):
        raise InputError(
            f"{what_a} has {_tz_name(a)} but {what_b} has {_tz_name(b)}; "
            "bring both to the same time zone (tz_localize / tz_convert)"
        )


def check_benchmark(benchmark: Any, dates: pd.DatetimeIndex) -> pd.Series:
    """A benchmark series checked against the bars of a run, as float64 sorted by date.

    It must be a Series of positive prices or values indexed by dates in the
    time zone of the prices, with a value on or before the last bar.
    """
    if not isinstance(benchmark, pd.Series):
        raise InputError(f"benchmark must be a pandas Series, got {type(benchmark).__name__}")
    if len(benchmark) == 0:
        raise InputError("benchmark is empty")
    index = benchmark.index
    if not isinstance(index, pd.DatetimeIndex):
        if not _is_integer_like(index) or isinstance(index, pd.RangeIndex):
            raise InputError(
                f"benchmark must be indexed by dates (a DatetimeIndex or YYYYMMDD integers), got {type(index).__name__}"
            )
    index = to_dates(index, "the index of benchmark")
    if index.hasnans:
        raise InputError("benchmark has missing dates (NaT) in its index")
    if index.has_duplicates:
        raise InputError(f"benchmark has duplicate dates: {_preview(str(d) for d in index[index.duplicated()].unique())}")
    _ensure_tz_match(index, dates, "benchmark", "prices")
    if not pd.api.types.is_numeric_dtype(benchmark.dtype) or pd.api.types.is_bool_dtype(benchmark.dtype):
        raise InputError(f"benchmark must hold numbers, got values of type {benchmark.dtype}")
    values = benchmark.to_numpy(dtype=np.float64, na_value=np.nan)
    present = ~np.isnan(values)
    bad = present & ~((values > 0) & np.isfinite(values))
    if bad.any():
        where = [(str(d), float(v)) for d, v in zip(index[bad], values[bad])]
        raise InputError(f"benchmark must hold positive prices or values; found {_preview(where, 5)}")
    out = pd.Series(values, index=index, name=benchmark.name).sort_index(kind="stable")
    first = out.first_valid_index()
    if first is None or first > dates[-1]:
        raise InputError(f"benchmark has no value on or before the last bar ({dates[-1]})")
    return out


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
        meta: Optional[Mapping] = None,
    ) -> None:
        if meta is not None and not isinstance(meta, Mapping):
            raise InputError(f"meta must be a mapping, got {type(meta).__name__}")
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
        """Prices from a mapping of field name to wide table (names are matched case-insensitively)."""
        lower: dict[str, Any] = {}
        for k, v in tables.items():
            key = str(k).lower()
            if key in lower:
                raise InputError(f"prices have the field {key!r} twice (as {_preview([o for o in tables if str(o).lower() == key])})")
            lower[key] = v
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
            ``close`` is required.  Dates may be dates, text, or integers in
            the 8-digit YYYYMMDD form.
        date, symbol : str
            Names of the date and symbol columns.
        tz : str, optional
            Time zone of the dates: naive dates are localised to it, and
            aware dates must already be in it.

        Returns
        -------
        Prices
        """
        if not isinstance(frame, pd.DataFrame):
            raise InputError(f"a long price table must be a DataFrame, got {type(frame).__name__}")
        if len(frame) == 0:
            raise InputError("the long price table is empty")
        by_lower: dict[str, Any] = {}
        for c in frame.columns:
            key = str(c).lower()
            if key in by_lower:
                raise InputError(f"the long price table has the column {key!r} twice")
            by_lower[key] = c
        for need in (date, symbol, "close"):
            if need.lower() not in by_lower:
                raise InputError(f"the long price table has no {need!r} column (columns: {_preview(frame.columns)})")
        dcol, scol = by_lower[date.lower()], by_lower[symbol.lower()]
        dates = to_dates(frame[dcol], f"the {date!r} column of the long price table")
        if dates.hasnans:
            rows = np.flatnonzero(dates.isna())
            raise InputError(f"the {date!r} column of the long price table has missing dates in rows {_preview(rows.tolist())}")
        if tz is not None:
            if dates.tz is None:
                try:
                    dates = dates.tz_localize(tz)
                except Exception as exc:
                    raise InputError(f"cannot localise the long price table's dates to tz={tz!r}: {exc}") from None
            elif str(dates.tz) != str(tz):
                raise InputError(f"the long price table's dates are in time zone {dates.tz}, not in tz={tz!r}")
        symbols = frame[scol]
        if symbols.isna().any():
            rows = np.flatnonzero(symbols.isna().to_numpy())
            raise InputError(f"the {symbol!r} column of the long price table has missing symbols in rows {_preview(rows.tolist())}")
        keys = pd.MultiIndex.from_arrays([dates, symbols])
        if keys.has_duplicates:
            dup = keys[keys.duplicated()].unique()
            raise InputError(f"the long price table has several rows for {_preview((str(d), s) for d, s in dup)}")
        out = {}
        for f in FIELDS:
            if f in by_lower:
                col = frame[by_lower[f]]
                if not pd.api.types.is_numeric_dtype(col) or pd.api.types.is_bool_dtype(col):
                    raise InputError(f"the {f!r} column of the long price table is not numeric")
                wide = pd.Series(col.to_numpy(dtype=np.float64, na_value=np.nan), index=keys).unstack()
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


def _weight_values(position: pd.DataFrame) -> np.ndarray:
    """Float weights of a position table as a new C-ordered array: NaN is 0; booleans hold equal weights per row."""
    if all(pd.api.types.is_bool_dtype(t) for t in set(position.dtypes)):
        kinds = set(position.dtypes)
        # Nullable booleans may hold NA, which means "not held".
        plain = position if kinds == {np.dtype(bool)} else position.fillna(False)
        held = plain.to_numpy(dtype=bool)
        counts = held.sum(axis=1, keepdims=True)
        return np.where(held, 1.0 / np.maximum(counts, 1), 0.0)
    w = np.array(position.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64, order="C", copy=True)
    w[np.isnan(w)] = 0.0
    if not np.isfinite(w).all():
        rows, cols = np.nonzero(~np.isfinite(w))
        where = [(str(position.index[r]), position.columns[c]) for r, c in zip(rows, cols)]
        raise InputError(f"position has infinite weights at {_preview(where)}")
    return w


def weights_from_position(position: pd.DataFrame) -> pd.DataFrame:
    """Float weights of a position table: NaN is 0; booleans hold equal weights per row."""
    return pd.DataFrame(_weight_values(position), index=position.index, columns=position.columns)


def rebalance_dates(dates: pd.DatetimeIndex, alias: str) -> pd.DatetimeIndex:
    """The last date of each period of ``dates`` for a resample alias such as ``"M"``."""
    try:
        return dates[schedule.period_end_bars(dates, alias)]
    except ValueError as exc:
        raise InputError(str(exc)) from None


@dataclass
class Prepared:
    """Arrays and labels of one run, in the form the engine reads them.

    ``pos_values`` holds only the weight rows the run can take up (see
    :func:`orvane.schedule.rows_needed`), with their own dates in
    ``pos_dates``; ``resample`` holds the dates of the marked bars.
    """

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
    pos2price: np.ndarray = field(default_factory=lambda: np.empty(0, dtype=np.int64))
    meta: dict = field(default_factory=dict)
    # The cells the held-price check flags, indexed once for runs that share these arrays (see orvane.gaps).
    price_flags: Any = None

    def engine_args(self) -> tuple:
        """The eleven array arguments of ``backtest_`` in order."""
        return (
            self.price_values, self.close_values, self.high_values, self.low_values,
            self.open_values, self.price_index, self.price_columns, self.pos_values,
            self.pos_index, self.pos_columns, self.resample,
        )


def _marked(
    resample: Union[None, str, Sequence, pd.DatetimeIndex],
    dates: pd.DatetimeIndex,
    price_ns: np.ndarray,
    pos_ns: np.ndarray,
) -> np.ndarray:
    """The bars marked for rebalancing by ``resample``."""
    if resample is None:
        return schedule.marked_bars(price_ns, pos_ns)
    if isinstance(resample, pd.offsets.BaseOffset):
        # An offset object names its period by its alias (MonthEnd() is "ME", Week(weekday=4) "W-FRI").
        resample = resample.freqstr
    if isinstance(resample, str):
        try:
            return schedule.period_end_bars(dates, resample)
        except ValueError as exc:
            raise InputError(str(exc)) from None
    when = to_dates(resample, "resample dates")
    if len(when) == 0:
        raise InputError("resample has no dates")
    if when.hasnans:
        raise InputError("resample has missing dates (NaT)")
    _ensure_tz_match(when, dates, "resample dates", "prices")
    when_ns = np.unique(date_ns(when, "resample dates"))
    # A date before the first bar names no bar of the data.
    when_ns = when_ns[when_ns >= price_ns[0]]
    if len(when_ns) == 0:
        raise InputError(f"every resample date is before the first price date ({dates[0]})")
    marked = schedule.marked_bars(price_ns, when_ns)
    if not (marked >= schedule.first_active_bar(price_ns, int(pos_ns[0]))).any():
        raise InputError(
            f"every resample date is before the first position date ({_first_row_date(pos_ns, dates)}):"
            " nothing would be traded"
        )
    return marked


def _first_row_date(pos_ns: np.ndarray, dates: pd.DatetimeIndex) -> pd.Timestamp:
    stamp = pd.Timestamp(int(pos_ns[0]), unit="ns")
    return stamp.tz_localize("UTC").tz_convert(dates.tz) if dates.tz is not None else stamp


def prepare(
    position: pd.DataFrame,
    prices: Any,
    resample: Union[None, str, Sequence, pd.DatetimeIndex] = None,
    trade_at: str = "close",
    touched_exit: bool = False,
) -> Prepared:
    """Check the inputs of a back-test and build the engine's arrays.

    Only the weight rows that a marked bar can take up are converted and
    handed to the engine (with the newest row, reported as the next one):
    a daily table rebalanced monthly costs a few rows, not a copy of the
    table, and the run is the same as with every row.

    Raises
    ------
    InputError
        With a message naming the problem, before anything runs.
    """
    px = as_prices(prices)
    position = check_table(position, "position", sort=False)
    _ensure_tz_match(position.index, px.index, "position", "prices")
    # A set of plain labels: pandas' isin is slow on Arrow-backed string labels.
    known = set(px.columns.to_numpy(dtype=object).tolist())
    missing = [c for c in position.columns.to_numpy(dtype=object).tolist() if c not in known]
    if missing:
        by_text = {str(c) for c in px.columns}
        hint = " (their names match as text: check the column types)" if all(str(c) in by_text for c in missing) else ""
        raise InputError(f"position has stocks missing from prices: {_preview(missing)}{hint}")
    if not isinstance(trade_at, str) or trade_at not in ("close", "open"):
        raise InputError(f"trade_at must be 'close' or 'open', got {trade_at!r}")
    if trade_at == "open" and px.open is None:
        raise InputError("trade_at='open' needs open prices")
    if touched_exit:
        lacking = [f for f in ("high", "low", "open") if getattr(px, f) is None]
        if lacking:
            raise InputError(f"touched_exit=True needs {', '.join(lacking)} prices")

    dates = px.index
    price_ns = date_ns(dates, "prices")
    order = None if position.index.is_monotonic_increasing else np.argsort(position.index.asi8, kind="stable")
    row_dates = position.index if order is None else position.index.take(order)
    all_pos_ns = date_ns(row_dates, "position")
    if all_pos_ns[0] > price_ns[-1]:
        raise InputError(
            f"every position row is dated after the last price date ({dates[-1]}); the first is {row_dates[0]}:"
            " there is no bar to trade on"
        )
    marked = _marked(resample, dates, price_ns, all_pos_ns)
    needed = schedule.rows_needed(price_ns, all_pos_ns, marked)
    take = needed if order is None else order[needed]
    every_row = order is None and len(needed) == len(position)
    rows = position if every_row else position.iloc[take]
    pos_values = _weight_values(rows)

    close_values = _numeric_block(px.close, "close prices")
    price_values = close_values if trade_at == "close" else _numeric_block(px.open, "open prices")
    high = low = opn = None
    if touched_exit:
        high = _numeric_block(px.high, "high prices")
        low = _numeric_block(px.low, "low prices")
        opn = price_values if trade_at == "open" else _numeric_block(px.open, "open prices")

    pos_index = all_pos_ns[needed].copy()
    # The engine skips every bar dated before the first weight row, including
    # the bar whose close would notice a first row dated between two bars;
    # dating that row at the bar before it keeps its timing and makes it trade.
    k = int(np.searchsorted(price_ns, pos_index[0], side="right")) - 1
    if k >= 0 and price_ns[k] < pos_index[0]:
        pos_index[0] = price_ns[k]
    return Prepared(
        price_values=price_values,
        close_values=close_values,
        high_values=high,
        low_values=low,
        open_values=opn,
        price_index=price_ns,
        price_columns=column_names(px.columns),
        pos_values=pos_values,
        pos_index=pos_index,
        pos_columns=column_names(position.columns),
        resample=price_ns[marked],
        dates=dates,
        pos_dates=rows.index,
        stocks=position.columns,
        pos2price=np.asarray(px.columns.get_indexer(position.columns), dtype=np.int64),
        meta=dict(px.meta),
    )
