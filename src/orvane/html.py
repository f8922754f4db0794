"""One self-contained HTML page for a report, and the compact summary a notebook shows.

Inline style, charts as SVG data (:mod:`orvane.svgplots`), the monthly
returns as a coloured table; nothing is fetched from the network.
"""

from __future__ import annotations

import html as _html
import inspect
import math
import os
from typing import TYPE_CHECKING, Any, Callable, Union

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from .report import Report

__all__ = ["render_html", "render_summary", "write_html", "format_value", "format_column", "stat_labels",
           "definitions", "costs_sentence"]

STYLE = """
body{font-family:-apple-system,"Segoe UI",Helvetica,Arial,sans-serif;margin:24px auto;max-width:1180px;color:#222;padding:0 16px}
h1{font-size:22px;margin-bottom:4px}h2{font-size:17px;margin-top:28px;border-bottom:1px solid #ddd;padding-bottom:4px}
.note{color:#666;font-size:13px}.badge{background:#fff3cd;border:1px solid #e0c36a;border-radius:3px;padding:1px 6px;font-size:12px}
.costs{background:#f4f6f8;border-left:4px solid #2c6fbb;padding:6px 10px;font-size:14px;margin:10px 0}
table{border-collapse:collapse;font-size:12px;margin:8px 0}td,th{border:1px solid #e2e2e2;padding:3px 8px;text-align:right}
th{background:#f4f6f8}td.l,th.l{text-align:left}.grid{display:flex;flex-wrap:wrap;gap:16px;align-items:flex-start}
.plot{max-width:100%;height:auto;border:1px solid #eee}.pos{color:#1a7f37}.neg{color:#b3261e}
.scroll{max-height:480px;overflow:auto}td{white-space:nowrap}td.wrap{white-space:normal;min-width:240px}
.grid>div{max-width:560px}
table.heat td,table.heat th{min-width:28px;padding:2px 4px;font-size:12px;color:#111}table.heat td.year{border-left:2px solid #999;font-weight:bold}
.scale{display:inline-block;width:160px;height:10px;vertical-align:middle;border:1px solid #ccc;
background:linear-gradient(to right,#d73027,#f7f7f7,#1a9850)}
dl.defs{font-size:13px;columns:2 420px}dl.defs dt{font-weight:bold;margin-top:6px}dl.defs dd{margin:0 0 0 12px;color:#444}
"""

# Fractions shown as percentages.
PERCENT = {
    "total_return", "cagr", "volatility", "max_drawdown", "win_rate", "avg_win", "avg_loss",
    "exposure", "avg_invested", "turnover", "benchmark_return", "excess_return", "alpha", "return", "mae",
    "gmfe", "bmfe", "mdd", "weight", "next_weight", "weight_now", "weight_target", "weight_after",
    "costs_paid",
}
# Cost rates: percentages with the digits they were given with (0.1425 %).
RATES = {"fee_ratio", "tax_ratio", "slippage"}
# Figures that count things: whole numbers.
COUNTS = {
    "periods_per_year", "trades", "open_trades", "period", "profit_period", "missing_price_bars", "bars",
    "entry_index", "exit_index", "shares",
}
# Columns of text, aligned left.
TEXT = ("stock", "action", "note", "side", "exit_reason")
# Text columns that may run long.
WRAPPED = ("note",)
# Columns in currency: two decimals with separators.
MONEY = {"value", "cost", "cash_after", "pnl", "costs", "invested"}

MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


def _first_paragraph(method: Callable) -> str:
    doc = inspect.getdoc(method) or ""
    return " ".join(doc.split("\n\n")[0].split())


def definitions() -> dict:
    """What the page's figures mean, by name (exposure and turnover quote their methods' docstrings)."""
    from .report import Report

    return {
        "total_return": "Last value of the equity curve over its value on the bar before the first trade, minus 1.",
        "cagr": "Compound annual growth rate: the total growth compounded over calendar years of 365.25 days.",
        "volatility": "Standard deviation of the bar returns, annualised with periods_per_year.",
        "sharpe": "Mean bar return in excess of the risk-free rate over its standard deviation, annualised.",
        "sortino": "Mean excess bar return over the downside deviation (the root mean square of the negative"
                   " excess returns), annualised.",
        "calmar": "CAGR over the size of the maximum drawdown.",
        "max_drawdown": "Largest fall of the equity curve below its running maximum, with the dates of its peak,"
                        " trough and recovery.",
        "ruin_date": "Shown when the portfolio was worth 0 or less at a close: bar returns end there, and the"
                     " ratios use the bars up to it.",
        "trades, open_trades": "Positions: a holding from its entry to its exit, the pieces of a holding split at"
                               " each rebalance merged; open_trades are still held at the end.",
        "win_rate": "Share of the closed positions with a positive return.",
        "profit_factor": "Sum of the winning closed positions' returns over the sum of the losing ones' (each"
                         " counted once, whatever its size).",
        "profit_factor_pnl": "Money won by the closed positions over the money lost: large positions weigh more.",
        "avg_win, avg_loss": "Mean return of the winning, and of the losing, closed positions.",
        "exits_*": "How the closed positions ended: by a rebalance, or by the stop loss, take profit or trailing"
                   " stop.",
        "exposure": _first_paragraph(Report.exposure),
        "avg_invested": "Mean share of the portfolio's value held in stocks (longs and shorts) at the close.",
        "turnover": _first_paragraph(Report.turnover),
        "fee_ratio": "Fee charged on the value of every trade, buy or sell.",
        "tax_ratio": "Tax charged on the value of every sale: a trade that reduces or closes a holding.",
        "slippage": "Cost of the price moving against a trade, charged with the fee on every buy and sell.",
        "costs_paid": "Every fee, slippage and tax the run paid, as a fraction of the starting capital.",
        "return YYYY": "Return of the calendar year; a first or last year the data covers in part is marked.",
        "mae": "Maximum adverse excursion of a trade: its lowest return while held (0 or below).",
        "gmfe": "Greatest favourable excursion: its highest return while held (0 or above).",
        "bmfe": "Favourable excursion reached by the time the adverse extreme was set.",
        "mdd": "Largest drawdown of the trade's own value while held.",
        "profit_period": "Bars of the trade on which it was in profit, the entry bar included.",
        "period": "Bars the trade was held.",
        "trade return": "What the portfolio made on the trade after fees and tax, over the money put in, from"
                        " the fill at entry to the fill at exit (the stop's level or the open for an exit inside"
                        " the bar).",
        "exit_reason": "rebalance, stop_loss, take_profit or trail_stop; empty while open. A piece ended by a"
                       " split reads rebalance and its holding goes on under the same position_id.",
    }


def _percent(value: float, decimals: int = 2) -> str:
    text = f"{value * 100:.{decimals}f}%"
    # A value that rounds to zero is shown as 0, not -0.
    return text[1:] if text.startswith("-") and not text.strip("-0.%") else text


def _rate(value: float) -> str:
    return f"{round(value * 100, 10):g}%"


def format_value(key: str, value: Any) -> str:
    """A statistic or table cell as text: percentages for returns, whole numbers for counts, dates as days."""
    if value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return "–"
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d") if value == value.normalize() else value.strftime("%Y-%m-%d %H:%M")
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isinf(value):
            return "∞" if value > 0 else "-∞"
        if key in RATES:
            return _rate(value)
        if key in PERCENT or key.startswith("return "):
            return _percent(value)
        if key in COUNTS:
            return str(int(value)) if value == int(value) else f"{value:g}"
        if key in MONEY:
            return f"{value:,.2f}"
        return f"{value:.3f}"
    return str(value)


def format_column(name: str, values: pd.Series) -> list:
    """Every cell of a column as text, by the column's kind (dates, counts, percentages, money, text)."""
    kind = values.dtype.kind
    if kind == "M":
        stamps = pd.DatetimeIndex(values)
        if len(stamps) and (stamps.dropna() == stamps.dropna().normalize()).all():
            text = stamps.strftime("%Y-%m-%d")
        else:
            text = stamps.strftime("%Y-%m-%d %H:%M")
        return ["–" if t is None or (isinstance(t, float) and math.isnan(t)) or t == "NaT" else t for t in text]
    if kind in "iu":
        return [str(v) for v in values.tolist()]
    if kind == "b":
        return [str(v) for v in values.tolist()]
    if kind == "f":
        return [format_value(name, v) for v in values.tolist()]
    return [format_value(name, v) for v in values.tolist()]


def _signed_class(name: str, values: pd.Series) -> list:
    if name not in ("return", "weight", "next_weight", "weight_target", "weight_after", "pnl") or values.dtype.kind != "f":
        return [""] * len(values)
    v = values.to_numpy()
    return np.where(v > 0, " pos", np.where(v < 0, " neg", "")).tolist()


def _table(frame: pd.DataFrame, table_id: str = "") -> str:
    esc = _html.escape
    names = [str(c) for c in frame.columns]
    head = "".join(f'<th class="{"l" if c in TEXT else ""}">{esc(c)}</th>' for c in names)
    columns = []
    for name, col in zip(names, (frame.iloc[:, k] for k in range(frame.shape[1]))):
        cls = ("l wrap" if name in WRAPPED else "l") if name in TEXT else ""
        columns.append([f'<td class="{(cls + extra).strip()}">{esc(text)}</td>'
                        for text, extra in zip(format_column(name, col), _signed_class(name, col))])
    body = "".join("<tr>" + "".join(cells) + "</tr>" for cells in zip(*columns)) if columns else ""
    ident = f' id="{table_id}"' if table_id else ""
    return f"<table{ident}><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def stat_labels(stats: pd.Series) -> list:
    """The names of the statistics as shown: a year the curve covers only in part says so."""
    start, end = stats.get("start"), stats.get("end")
    years = [k for k in stats.index if str(k).startswith("return ")]
    labels = []
    for key in stats.index:
        label = str(key)
        year = str(key)[len("return "):]
        # A year measured from the close of the year before, or to its last days, is a whole year.
        if (years and key == years[-1] and isinstance(end, pd.Timestamp) and str(end.year) == year
                and (end.month, end.day) < (12, 24)):
            label += f" (year to date, to {end.date()})"
        elif (years and key == years[0] and isinstance(start, pd.Timestamp) and str(start.year) == year
              and (start.month, start.day) > (1, 7)):
            label += f" (from {start.date()})"
        labels.append(label)
    return labels


def _cell_colour(value: float, limit: float) -> str:
    """Red through white to green, by the value's share of ``limit``."""
    share = max(-1.0, min(1.0, value / limit)) if limit > 0 else 0.0
    white, far = (247, 247, 247), ((26, 152, 80) if share > 0 else (215, 48, 39))
    mixed = [round(w + (f - w) * abs(share)) for w, f in zip(white, far)]
    return "#{:02x}{:02x}{:02x}".format(*mixed)


def _heatmap(report: "Report") -> str:
    """Monthly returns as a year x month table with colours, and each year's return in the last column."""
    table = report.monthly_returns()
    if table.size == 0 or not np.isfinite(table.to_numpy(dtype=float)).any():
        return '<p class="note">No monthly returns.</p>'
    yearly = report.yearly_returns()
    values = table.to_numpy(dtype=float)
    limit = float(np.nanmax(np.abs(values))) or 1e-9
    year_values = yearly.to_numpy(dtype=float)
    year_limit = float(np.nanmax(np.abs(year_values))) if np.isfinite(year_values).any() else 1.0
    rows = []
    for year, row in zip(table.index, values):
        cells = [f"<th>{year}</th>"]
        for v in row:
            if np.isfinite(v):
                cells.append(f'<td style="background:{_cell_colour(v, limit)}">{_percent(v, 1)[:-1]}</td>')
            else:
                cells.append("<td></td>")
        y = float(yearly.get(year, np.nan))
        cells.append(f'<td class="year" style="background:{_cell_colour(y, year_limit)}">{_percent(y, 1)[:-1]}</td>'
                     if np.isfinite(y) else '<td class="year"></td>')
        rows.append("<tr>" + "".join(cells) + "</tr>")
    head = "<tr><th></th>" + "".join(f"<th>{m}</th>" for m in MONTHS) + '<th class="year">Year</th></tr>'
    scale = (f'<p class="note">Returns in %. Colour scale: <span class="scale"></span> from {_percent(-limit, 1)}'
             f" to {_percent(limit, 1)} for months, ±{_percent(year_limit, 1)} for years.</p>")
    return f'<table class="heat" id="monthly"><thead>{head}</thead><tbody>{"".join(rows)}</tbody></table>{scale}'


def _option_text(key: str, value: Any) -> str:
    if key in ("stop_loss", "take_profit", "trail_stop") and (value is None or value == math.inf):
        return "None (off)"
    if key == "resample" and value is None:
        return "None (every position row)"
    if key in RATES and isinstance(value, float):
        return f"{value:g} ({_rate(value)})"
    return str(value)


def costs_sentence(report: "Report") -> str:
    """The run's cost rates, and what they cost, in one sentence."""
    c = report.costs()
    if any(math.isnan(c[k]) for k in RATES):
        return "Costs: the rates are not known for this report (it was not made by orvane.backtest)."
    text = (f"Costs: fee {_rate(c['fee_ratio'])} on every trade, tax {_rate(c['tax_ratio'])} on every sale,"
            f" slippage {_rate(c['slippage'])} a side")
    if math.isfinite(c["costs_paid"]):
        text += f"; paid over the run: {_percent(c['costs_paid'])} of the starting capital"
    return text + "."


def _newest_first(trades: pd.DataFrame) -> pd.DataFrame:
    """Trades by exit date, then entry date, newest first; a trade still open counts as the newest."""
    keys = [k for k in ("exit_date", "entry_date") if k in trades.columns]
    if not keys:
        return trades.iloc[::-1]
    nat = np.iinfo(np.int64).min
    columns = []
    for k in keys:
        ns = trades[k].to_numpy(dtype="datetime64[ns]").astype(np.int64)
        columns.append(np.where(ns == nat, np.iinfo(np.int64).max, ns) if k == "exit_date" else ns)
    order = np.lexsort(columns[::-1])
    return trades.iloc[order[::-1]]


def _img(ident: str, alt: str, uri: str) -> str:
    return f'<img class="plot" id="{ident}" alt="{alt}" src="{uri}">'


def render_html(report: "Report", max_trades: int = 500) -> str:
    """The page as text."""
    from .svgplots import data_uri, equity_svg, excursion_svg

    esc = _html.escape
    stats = report.stats()
    ppy = stats.get("periods_per_year")
    how = "as given" if report.periods_per_year is not None else "inferred from the spacing of the bars"
    annualised = (
        f"Volatility, Sharpe, Sortino and alpha are annualised with {format_value('periods_per_year', ppy)} bars"
        f" a year ({how}); CAGR and turnover are per calendar year."
    )
    missing = report.missing_prices
    if len(missing):
        total = int(missing["bars"].sum())
        gap_html = (
            f'<h2>Missing prices</h2><p class="note" id="missing-prices">Held stocks had no price on {total}'
            f" stock-bars; their value was carried unchanged over those bars, and a trade entered on such a bar"
            f" is measured from the first price after it.</p>" + _table(missing.head(200))
            + (f'<p class="note">First 200 of {len(missing)} runs shown.</p>' if len(missing) > 200 else "")
        )
    else:
        gap_html = ""
    defs_by_name = definitions()
    wrap = ' class="wrap"'
    stat_rows = "".join(
        f'<tr><td class="l"{_title(defs_by_name.get(str(k)))}>{esc(label)}</td>'
        f'<td{wrap if isinstance(v, str) else ""}>{esc(format_value(str(k), v))}</td></tr>'
        for label, (k, v) in zip(stat_labels(stats), stats.items())
    )
    actions = report.actions()
    trades = report.trades
    shown = _newest_first(trades).head(max_trades)
    shown = shown.drop(columns=[c for c in ("entry_index", "exit_index") if c in shown.columns])
    params = "".join(
        f'<tr><td class="l">{esc(str(k))}</td><td class="l">{esc(_option_text(str(k), v))}</td></tr>'
        for k, v in report.params.items()
    )
    meta = report.params.get("data_note")
    badge = f' <span class="badge">{esc(str(meta))}</span>' if meta else ""
    span = ""
    if len(report.creturn):
        span = f"{report.creturn.index[0].date()} to {report.creturn.index[-1].date()}, {len(report.creturn)} bars"
    defs = "".join(f"<dt>{esc(k)}</dt><dd>{esc(v)}</dd>" for k, v in defs_by_name.items())
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{esc(report.name)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{esc(report.name)}{badge}</h1>",
        f'<p class="note">{esc(span)}</p>',
        f'<p class="costs" id="costs">{esc(costs_sentence(report))}</p>',
        "<h2>Equity and drawdown</h2>",
        _img("plot-equity", "equity and drawdown", data_uri(equity_svg(report))),
        '<div class="grid"><div><h2>Statistics</h2>',
        f'<table id="stats">{stat_rows}</table>',
        f'<p class="note" id="annualisation">{esc(annualised)}</p></div>',
        f"<div><h2>Monthly returns</h2>{_heatmap(report)}",
        "<h2>Trade excursions</h2>",
        _img("plot-mae-mfe", "MAE and MFE of trades", data_uri(excursion_svg(report))) + "</div></div>",
        gap_html,
        "<h2>Next actions</h2>",
        _table(actions, "actions") if len(actions) else '<p class="note">No operation due.</p>',
        f"<h2>Trades ({len(trades)} in all"
        + (f", latest {max_trades} shown" if len(trades) > max_trades else "")
        + ", newest first)</h2>",
        f'<p class="note" id="trade-count">{len(trades)} trades and pieces of {len(report.positions)} positions;'
        " the pieces of one holding share a position_id.</p>",
        f'<div class="scroll">{_table(shown, "trades")}</div>' if len(shown) else '<p class="note">No trades.</p>',
        f'<h2>Options</h2><table id="params">{params}</table>',
        f'<h2>Definitions</h2><dl class="defs" id="definitions">{defs}</dl>',
        '<p class="note">Made with orvane.</p>',
        "</body></html>",
    ]
    return "\n".join(parts)


def _title(text: Any) -> str:
    return f' title="{_html.escape(text)}"' if text else ""


def render_summary(report: "Report", max_actions: int = 10) -> str:
    """A compact HTML summary: period, costs, the main statistics, a small equity curve and the next actions."""
    from .svgplots import data_uri, sparkline_svg

    esc = _html.escape
    if len(report.creturn) == 0:
        return f"<div><b>{esc(report.name)}</b>: no bars</div>"
    stats = report.stats()
    main = ["total_return", "cagr", "sharpe", "max_drawdown", "volatility", "trades", "win_rate", "exposure",
            "turnover"]
    labels = dict(zip(stats.index, stat_labels(stats)))
    rows = "".join(
        f'<tr><td style="text-align:left">{esc(labels[k])}</td><td style="text-align:right">'
        f"{esc(format_value(k, stats[k]))}</td></tr>"
        for k in main if k in stats.index
    )
    span = (f"{report.creturn.index[0].date()} to {report.creturn.index[-1].date()},"
            f" {len(report.creturn)} bars")
    actions = report.actions()
    if len(actions):
        shown = actions.head(max_actions)
        more = f"<div>… and {len(actions) - max_actions} more</div>" if len(actions) > max_actions else ""
        next_html = f"<div><b>Next actions</b> ({len(actions)} stocks){_table(shown)}{more}</div>"
    else:
        next_html = "<div><b>Next actions</b>: none due</div>"
    chart = (f'<img alt="equity" src="{data_uri(sparkline_svg(report._active()))}"'
             ' style="border:1px solid #eee">')
    return (
        f'<div class="orvane-report"><div><b>{esc(report.name)}</b></div>'
        f"<div>{esc(span)}</div><div>{esc(costs_sentence(report))}</div>"
        f'<div style="display:flex;gap:16px;align-items:flex-start"><table>{rows}</table>{chart}</div>'
        f"{next_html}</div>"
    )


def write_html(report: "Report", path: Union[str, "os.PathLike[str]"], max_trades: int = 500) -> str:
    """Write :func:`render_html` to ``path`` (UTF-8) and return the path."""
    text = render_html(report, max_trades=max_trades)
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(text)
    return os.fspath(path)
