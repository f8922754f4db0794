"""Prices from a database: a query that returns a long table (date, symbol, open, high, low, close).

Works with any DB-API 2 connection (``sqlite3`` and the drivers of most
databases), a SQLAlchemy engine or connection, and a DuckDB connection; or
with the path of a SQLite or DuckDB file, or a database URL.
"""

from __future__ import annotations

import os
import re
import sqlite3
import sys
from contextlib import closing
from pathlib import Path
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from .inputs import FIELDS, InputError, Prices

__all__ = ["connect", "read_query", "prices_from_sql"]

Params = Union[None, Sequence[Any], Mapping[str, Any]]

_SQLITE_MAGIC = b"SQLite format 3\x00"
_DUCKDB_MAGIC = b"DUCK"
_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.\-]*)://(.*)$")


def _duckdb() -> Any:
    try:
        import duckdb
    except ImportError:
        raise ImportError("reading DuckDB databases needs duckdb: pip install 'orvane[duckdb]'") from None
    return duckdb


def _file_kind(path: Path) -> str:
    with open(path, "rb") as f:
        head = f.read(16)
    if head.startswith(_SQLITE_MAGIC):
        return "sqlite"
    if head[8:12] == _DUCKDB_MAGIC:
        return "duckdb"
    if path.suffix.lower() in (".duckdb", ".ddb"):
        return "duckdb"
    if path.suffix.lower() in (".db", ".sqlite", ".sqlite3") and not head:
        return "sqlite"
    raise InputError(f"{path} is neither a SQLite nor a DuckDB database file")


def connect(target: Union[str, "os.PathLike[str]"]) -> Any:
    """Open a database read-only: a SQLite or DuckDB file, or a database URL.

    ``sqlite:///path`` and ``duckdb:///path`` name files of those kinds; a
    plain path is recognised by the file's header.  Any other URL
    (``postgresql://...``) is opened with SQLAlchemy, which must be
    installed together with the database's driver.

    Returns
    -------
    connection
        A ``sqlite3`` or DuckDB connection or a SQLAlchemy engine; the
        caller closes it (``dispose()`` for an engine).

    Raises
    ------
    FileNotFoundError
        For a file that does not exist (no empty database is created).
    orvane.InputError
        For a file that is not a database of a known kind.
    """
    text = os.fspath(target)
    match = _URL.match(text)
    if match:
        scheme, rest = match.group(1).lower(), match.group(2)
        if scheme in ("sqlite", "duckdb"):
            # sqlite:///relative/path and sqlite:////absolute/path, as SQLAlchemy writes them.
            path = Path(rest[1:] if rest.startswith("/") else rest)
            return _open_file(path, scheme)
        try:
            import sqlalchemy
        except ImportError:
            raise ImportError(f"opening {scheme}:// databases needs SQLAlchemy: pip install sqlalchemy") from None
        return sqlalchemy.create_engine(text)
    path = Path(text)
    if not path.is_file():
        raise FileNotFoundError(f"no such database file: {text}")
    return _open_file(path, _file_kind(path))


def _open_file(path: Path, kind: str) -> Any:
    if not path.is_file():
        raise FileNotFoundError(f"no such database file: {path}")
    if kind == "duckdb":
        return _duckdb().connect(str(path), read_only=True)
    return sqlite3.connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)


def _is_duckdb(con: Any) -> bool:
    return type(con).__module__.split(".")[0] in ("duckdb", "_duckdb")


def _sqlalchemy_kind(con: Any) -> Optional[str]:
    if "sqlalchemy" not in sys.modules:
        return None
    import sqlalchemy

    if isinstance(con, sqlalchemy.engine.Engine):
        return "engine"
    if isinstance(con, sqlalchemy.engine.Connection):
        return "connection"
    return None


def _dbapi(query: str, con: Any, params: Params) -> pd.DataFrame:
    with closing(con.cursor()) as cursor:
        if params is None:
            cursor.execute(query)
        else:
            cursor.execute(query, params)
        if cursor.description is None:
            raise InputError("the prices query returned no table (is it a SELECT?)")
        names = [d[0] for d in cursor.description]
        rows = cursor.fetchall()
    return pd.DataFrame.from_records(list(rows), columns=names)


def read_query(query: str, con: Any, params: Params = None) -> pd.DataFrame:
    """Run ``query`` on a connection and return its rows as a DataFrame.

    ``con`` is a DB-API 2 connection, a SQLAlchemy engine or connection, a
    DuckDB connection, or a path or URL for :func:`connect` (then opened
    and closed here).  ``params`` are the query's parameters, in the style
    of the connection's driver (``?`` or ``:name`` for ``sqlite3``,
    ``:name`` for SQLAlchemy, ``?`` or ``$name`` for DuckDB).

    Raises
    ------
    orvane.InputError
        When the query fails, naming the database's error.
    """
    if not isinstance(query, str) or not query.strip():
        raise InputError(f"the prices query must be a non-empty SQL text, got {query!r}")
    if isinstance(con, (str, os.PathLike)):
        opened = connect(con)
        try:
            return read_query(query, opened, params)
        finally:
            if hasattr(opened, "dispose"):
                opened.dispose()
            else:
                opened.close()
    try:
        if _is_duckdb(con):
            result = con.execute(query) if params is None else con.execute(query, params)
            return result.fetchdf()
        kind = _sqlalchemy_kind(con)
        if kind is not None:
            import sqlalchemy

            return pd.read_sql_query(sqlalchemy.text(query), con, params=params)
        if not hasattr(con, "cursor"):
            raise InputError(
                "con must be a DB-API connection, a SQLAlchemy engine or connection, a DuckDB connection,"
                f" or the path or URL of a database; got {type(con).__name__}"
            )
        return _dbapi(query, con, params)
    except InputError:
        raise
    except Exception as exc:
        raise InputError(f"the prices query failed: {type(exc).__name__}: {exc}") from exc


def _numbers(column: pd.Series, name: str) -> pd.Series:
    """A price column as float64, NULL as NaN (no price on that bar)."""
    if pd.api.types.is_bool_dtype(column):
        raise InputError(f"the {name!r} column of the query holds booleans, not prices")
    if pd.api.types.is_numeric_dtype(column):
        return column.astype(np.float64)
    try:
        return pd.to_numeric(column, errors="raise").astype(np.float64)
    except (TypeError, ValueError):
        present = column.dropna()
        sample = next((v for v in present if not isinstance(v, (int, float, np.number))), present.iloc[0])
        raise InputError(f"the {name!r} column of the query holds values that are not prices, e.g. {sample!r}") from None


def prices_from_sql(
    query: str,
    con: Any,
    params: Params = None,
    date: str = "date",
    symbol: str = "symbol",
    tz: Optional[str] = None,
    cls: type = Prices,
) -> Prices:
    """:meth:`orvane.Prices.from_sql`: the prices of a long table returned by a query."""
    frame = read_query(query, con, params)
    if len(frame) == 0:
        raise InputError(f"the prices query returned no rows: {query.strip()[:200]}")
    by_lower = {str(c).lower(): c for c in frame.columns}
    for need in (date, symbol, "close"):
        if need.lower() not in by_lower:
            raise InputError(f"the prices query returned no {need!r} column (columns: {list(frame.columns)})")
    frame = frame.copy()
    dcol, scol = by_lower[date.lower()], by_lower[symbol.lower()]
    for f in FIELDS:
        if f in by_lower:
            frame[by_lower[f]] = _numbers(frame[by_lower[f]], str(by_lower[f]))
    return cls.from_long(frame, date=str(dcol), symbol=str(scol), tz=tz)
