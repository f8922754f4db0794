"""Prices from SQLite and DuckDB files, through a connection, a path or the command line."""

from __future__ import annotations

import sqlite3

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.cli import main

# Three bars of two stocks; B has no price on the first bar (NULL in the database).
ROWS = [
    (20240102, "A", 10.0, 10.5, 9.5, 10.0),
    (20240102, "B", None, None, None, None),
    (20240103, "A", 10.0, 11.5, 9.8, 11.0),
    (20240103, "B", 20.0, 20.5, 19.0, 20.0),
    (20240104, "A", 11.0, 12.5, 10.5, 12.0),
    (20240104, "B", 20.0, 21.5, 19.5, 21.0),
]
COLUMNS = ["date", "symbol", "open", "high", "low", "close"]


def expected_prices() -> orvane.Prices:
    frame = pd.DataFrame(ROWS, columns=COLUMNS)
    frame["date"] = pd.to_datetime(frame["date"].astype(str), format="%Y%m%d")
    return orvane.Prices.from_long(frame.astype({f: float for f in COLUMNS[2:]}))


def assert_same_prices(got: orvane.Prices, want: orvane.Prices) -> None:
    # Dates compare as timestamps: drivers differ in the time unit they hand pandas.
    for field in ("open", "high", "low", "close"):
        g, w = getattr(got, field), getattr(want, field)
        assert list(g.index) == list(w.index) and list(g.columns) == list(w.columns)
        np.testing.assert_array_equal(g.to_numpy(), w.to_numpy())


@pytest.fixture
def sqlite_file(tmp_path) -> str:
    path = str(tmp_path / "prices.db")
    with sqlite3.connect(path) as con:
        con.execute("CREATE TABLE bars (date INTEGER, symbol TEXT, open REAL, high REAL, low REAL, close REAL)")
        con.executemany("INSERT INTO bars VALUES (?, ?, ?, ?, ?, ?)", ROWS)
        con.execute("CREATE TABLE iso (Date TEXT, Symbol TEXT, Close REAL)")
        con.executemany("INSERT INTO iso VALUES (?, ?, ?)",
                        [("2024-01-02", "A", 10.0), ("2024-01-03", "A", 11.0), ("2024-01-04", "A", 12.0)])
    con.close()
    return path


@pytest.fixture
def duckdb_file(tmp_path) -> str:
    duckdb = pytest.importorskip("duckdb")
    path = str(tmp_path / "prices.duckdb")
    con = duckdb.connect(path)
    con.execute("CREATE TABLE bars (date DATE, symbol VARCHAR, open DOUBLE, high DOUBLE, low DOUBLE, close DOUBLE)")
    for row in ROWS:
        day = pd.Timestamp(str(row[0])).date()
        con.execute("INSERT INTO bars VALUES (?, ?, ?, ?, ?, ?)", [day, *row[1:]])
    con.execute("CREATE TABLE ymd AS SELECT CAST(strftime(date, '%Y%m%d') AS INTEGER) AS date, symbol, close FROM bars")
    con.close()
    return path


def test_sqlite_connection_path_and_url_give_the_long_table(sqlite_file) -> None:
    want = expected_prices()
    with sqlite3.connect(sqlite_file) as con:
        assert_same_prices(orvane.Prices.from_sql("SELECT * FROM bars", con), want)
        # Parameters go to the driver; text dates and capitalised names work as in from_long.
        only_a = orvane.Prices.from_sql("SELECT * FROM bars WHERE symbol = ?", con, params=("A",))
        iso = orvane.Prices.from_sql("SELECT * FROM iso", con)
    con.close()
    assert list(only_a.columns) == ["A"]
    pd.testing.assert_frame_equal(iso.close, want.close[["A"]], check_exact=True)
    assert_same_prices(orvane.Prices.from_sql("SELECT * FROM bars", sqlite_file), want)
    assert_same_prices(orvane.Prices.from_sql("SELECT * FROM bars", f"sqlite:///{sqlite_file}"), want)
    # The NULL prices are missing prices, not zeros.
    assert np.isnan(want.close.loc["2024-01-02", "B"])


def test_duckdb_connection_and_file(duckdb_file) -> None:
    import duckdb

    want = expected_prices()
    con = duckdb.connect(duckdb_file, read_only=True)
    try:
        assert_same_prices(orvane.Prices.from_sql("SELECT * FROM bars", con), want)
        ymd = orvane.Prices.from_sql("SELECT * FROM ymd WHERE symbol = $s", con, params={"s": "A"})
    finally:
        con.close()
    assert list(ymd.columns) == ["A"]
    np.testing.assert_array_equal(ymd.close.to_numpy(), want.close[["A"]].to_numpy())
    assert_same_prices(orvane.Prices.from_sql("SELECT * FROM bars ORDER BY symbol", duckdb_file), want)
    assert_same_prices(orvane.Prices.from_sql("SELECT * FROM bars", f"duckdb:///{duckdb_file}"), want)


def test_sqlalchemy_engine_and_connection(sqlite_file) -> None:
    sqlalchemy = pytest.importorskip("sqlalchemy")
    engine = sqlalchemy.create_engine(f"sqlite:///{sqlite_file}")
    try:
        got = orvane.Prices.from_sql("SELECT * FROM bars WHERE symbol = :s", engine, params={"s": "B"})
        with engine.connect() as con:
            everything = orvane.Prices.from_sql("SELECT * FROM bars", con)
    finally:
        engine.dispose()
    pd.testing.assert_frame_equal(got.close, expected_prices().close[["B"]], check_exact=True)
    assert_same_prices(everything, expected_prices())


def test_a_back_test_on_database_prices_equals_one_on_the_long_table(sqlite_file) -> None:
    position = pd.DataFrame({"A": [0.5, 0.5, 0.5], "B": [0.0, 0.5, 0.5]},
                            index=pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"]))
    from_db = orvane.backtest(position, orvane.Prices.from_sql("SELECT * FROM bars", sqlite_file))
    from_table = orvane.backtest(position, expected_prices())
    pd.testing.assert_series_equal(from_db.creturn, from_table.creturn, check_exact=True)


@pytest.mark.parametrize(
    "query, message",
    [
        ("SELECT * FROM bars WHERE symbol = 'Z'", "returned no rows"),
        ("SELECT * FROM nowhere", "the prices query failed: OperationalError: no such table: nowhere"),
        ("SELECT date, symbol FROM bars", "no 'close' column"),
        ("SELECT NULL AS date, symbol, close FROM bars", "has missing dates in rows 0, 1, 2"),
        ("SELECT 202401 AS date, symbol, close FROM bars", "not 8-digit YYYYMMDD dates: 202401"),
        ("SELECT 20240231 AS date, symbol, close FROM bars", "not valid YYYYMMDD dates: 20240231"),
        ("SELECT date, symbol, 'n/a' AS close FROM bars", "'close' column of the query holds values that are not prices, e.g. 'n/a'"),
        ("SELECT date, NULL AS symbol, close FROM bars", "has missing symbols in rows 0, 1, 2"),
        ("SELECT date, symbol, close FROM bars UNION ALL SELECT date, symbol, close FROM bars", "several rows for"),
    ],
)
def test_bad_query_results_get_a_clear_error(sqlite_file, query, message) -> None:
    with pytest.raises(orvane.InputError, match=message.replace("(", r"\(").replace(")", r"\)")):
        orvane.Prices.from_sql(query, sqlite_file)


def test_a_missing_or_foreign_file_is_refused_without_creating_one(tmp_path) -> None:
    missing = tmp_path / "nothing.db"
    with pytest.raises(FileNotFoundError, match="no such database file"):
        orvane.Prices.from_sql("SELECT 1", str(missing))
    assert not missing.exists()
    text = tmp_path / "notes.txt"
    text.write_text("not a database")
    with pytest.raises(orvane.InputError, match="neither a SQLite nor a DuckDB database file"):
        orvane.Prices.from_sql("SELECT 1", str(text))
    with pytest.raises(orvane.InputError, match="con must be a DB-API connection"):
        orvane.Prices.from_sql("SELECT 1", 42)


def test_cli_runs_on_prices_from_a_database(sqlite_file, duckdb_file, tmp_path, capsys) -> None:
    weights = tmp_path / "weights.csv"
    weights.write_text("date,A,B\n2024-01-02,0.5,0\n2024-01-03,0.5,0.5\n")
    long_csv = tmp_path / "long.csv"
    frame = pd.DataFrame(ROWS, columns=COLUMNS)
    frame["date"] = pd.to_datetime(frame["date"].astype(str), format="%Y%m%d").dt.strftime("%Y-%m-%d")
    frame.to_csv(long_csv, index=False)
    common = ["--position", str(weights), "--out", str(tmp_path / "out")]
    outputs = []
    for source in (["--prices", str(long_csv)], ["--db", sqlite_file, "--prices-sql", "SELECT * FROM bars"],
                   ["--db", duckdb_file, "--prices-sql", "SELECT * FROM bars"]):
        assert main(["run", *source, *common]) == 0
        outputs.append(capsys.readouterr().out.splitlines()[1:12])
    # The statistics printed are the same whichever way the prices came in.
    assert outputs[0] == outputs[1] == outputs[2] and outputs[0][0].startswith("start")

    assert main(["run", "--db", sqlite_file, "--prices-sql", "SELECT * FROM bars WHERE 0", *common]) == 2
    assert "orvane run: error: the prices query returned no rows" in capsys.readouterr().err
    for wrong, message in (
        (["--db", sqlite_file], "--db and --prices-sql go together"),
        (["--prices-sql", "SELECT 1"], "--db and --prices-sql go together"),
        (["--prices", str(long_csv), "--db", sqlite_file, "--prices-sql", "SELECT 1"], "not both"),
        (["--db", sqlite_file, "--prices-sql", "SELECT 1", "--high", "h.csv"], "with --db, return those columns"),
        ([], "the prices are needed"),
    ):
        with pytest.raises(SystemExit) as stop:
            main(["run", *wrong, *common])
        assert stop.value.code == 2 and message in capsys.readouterr().err
