"""One self-contained HTML page for a report: inline style, plots as PNG data URIs."""

from __future__ import annotations

import base64
import html as _html
import math
import os
from typing import TYPE_CHECKING, Any, Union

import pandas as pd

if TYPE_CHECKING:
    from .report import Report

__all__ = ["render_html", "write_html", "format_value"]

STYLE = """
body{font-family:-apple-system,"Segoe UI",Helvetica,Arial,sans-serif;margin:24px auto;max-width:1180px;color:#222;padding:0 16px}
h1{font-size:22px;margin-bottom:4px}h2{font-size:17px;margin-top:28px;border-bottom:1px solid #ddd;padding-bottom:4px}
.note{color:#666;font-size:13px}.badge{background:#fff3cd;border:1px solid #e0c36a;border-radius:3px;padding:1px 6px;font-size:12px}
table{border-collapse:collapse;font-size:12px;margin:8px 0}td,th{border:1px solid #e2e2e2;padding:3px 8px;text-align:right}
th{background:#f4f6f8}td.l,th.l{text-align:left}.grid{display:flex;flex-wrap:wrap;gap:16px}
.plot{max-width:100%;height:auto;border:1px solid #eee}.pos{color:#1a7f37}.neg{color:#b3261e}
.scroll{max-height:480px;overflow:auto}
dl.note{max-width:520px}dl.note dt{font-weight:600;margin-top:6px}dl.note dd{margin-left:12px}
"""

PERCENT = {
    "total_return", "cagr", "volatility", "max_drawdown", "win_rate", "avg_win", "avg_loss",
    "exposure", "avg_invested", "turnover", "benchmark_return", "excess_return", "alpha", "return", "mae",
    "gmfe", "bmfe", "mdd", "weight", "next_weight",
}


# Figures shown as plain numbers, without a fixed number of decimals.
COUNTS = {"periods_per_year"}


def format_value(key: str, value: Any) -> str:
    """A statistic or table cell as text: percentages for returns, dates as days."""
    if value is None or (isinstance(value, float) and math.isnan(value)) or value is pd.NaT:
        return "–"
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d")
    if isinstance(value, (bool,)):
        return str(value)
    if isinstance(value, (int,)) and not isinstance(value, bool):
        return str(value)
    if isinstance(value, float):
        if math.isinf(value):
            return "∞" if value > 0 else "-∞"
        if key in PERCENT or key.startswith("return "):
            return f"{value * 100:.2f}%"
        if key in COUNTS:
            return f"{value:g}"
        return f"{value:.3f}"
    return str(value)


def _png(fig: Any) -> str:
    from .plots import figure_png

    data = base64.b64encode(figure_png(fig)).decode("ascii")
    return f"data:image/png;base64,{data}"


def _table(frame: pd.DataFrame, left: tuple = ("stock", "action", "note")) -> str:
    esc = _html.escape
    head = "".join(f'<th class="{"l" if c in left else ""}">{esc(str(c))}</th>' for c in frame.columns)
    body = []
    for row in frame.itertuples(index=False):
        cells = []
        for col, val in zip(frame.columns, row):
            text = format_value(str(col), val.item() if hasattr(val, "item") and not isinstance(val, pd.Timestamp) else val)
            cls = "l" if col in left else ""
            if isinstance(val, float) and str(col) in ("return", "weight", "next_weight") and not math.isnan(val):
                cls += " pos" if val > 0 else (" neg" if val < 0 else "")
            cells.append(f'<td class="{cls.strip()}">{esc(text)}</td>')
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"


# What the statistics and the trade list mean, shown under them.
DEFINITIONS = (
    ("Measured from", "the bar before the first trade: cash held before the strategy first trades is left out."),
    ("trades, win_rate, profit_factor, avg_win, avg_loss",
     "over positions, a holding from its entry to its exit (the pieces of a holding split at each rebalance"
     " merged); the win rate and the averages over closed positions, each counting once whatever its size."
     " profit_factor is the sum of the winning returns over the sum of the losing ones; profit_factor_pnl"
     " the money won over the money lost, so that large positions weigh more."),
    ("exits_*", "how the closed positions ended: by a rebalance, or by the stop loss, take profit or trailing stop."),
    ("exposure", "share of the bars at whose close anything at all is held."),
    ("avg_invested", "mean share of the portfolio's value held in stocks (longs and shorts) at the close."),
    ("turnover", "half the money traded on each bar (exits by the exit rules included) over the portfolio's"
     " value, summed, per calendar year: buying the whole portfolio once and selling it is 1."),
    ("ruin_date", "shown when the portfolio was worth 0 or less: bar returns end there, and the ratios use the"
     " bars up to it."),
    ("Trade return", "what the portfolio made on the trade after fees and tax, over the money put in, from the"
     " fill at entry to the fill at exit (the stop's level or the open for an exit inside the bar)."
     " exit_reason is rebalance, stop_loss, take_profit or trail_stop, empty while open; a piece ended by a"
     " split reads rebalance and its holding goes on under the same position_id."),
)


def _definitions() -> str:
    esc = _html.escape
    items = "".join(f"<dt>{esc(k)}</dt><dd>{esc(v)}</dd>" for k, v in DEFINITIONS)
    return f'<dl class="note" id="definitions">{items}</dl>'


def render_html(report: "Report", max_trades: int = 500) -> str:
    """The page as text."""
    from .plots import equity_figure, heatmap_figure, mae_mfe_figure

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
    stat_rows = "".join(
        f'<tr><td class="l">{esc(str(k))}</td><td>{esc(format_value(str(k), v))}</td></tr>'
        for k, v in stats.items()
    )
    actions = report.actions()
    trades = report.trades
    shown = trades.tail(max_trades).drop(columns=["entry_index", "exit_index"])
    params = "".join(
        f'<tr><td class="l">{esc(str(k))}</td><td>{esc(str(v))}</td></tr>' for k, v in report.params.items()
    )
    meta = report.params.get("data_note")
    badge = f' <span class="badge">{esc(str(meta))}</span>' if meta else ""
    span = ""
    if len(report.creturn):
        span = f"{report.creturn.index[0].date()} to {report.creturn.index[-1].date()}, {len(report.creturn)} bars"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{esc(report.name)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{esc(report.name)}{badge}</h1>",
        f'<p class="note">{esc(span)}</p>',
        "<h2>Equity and drawdown</h2>",
        f'<img class="plot" id="plot-equity" alt="equity and drawdown" src="{_png(equity_figure(report))}">',
        '<div class="grid"><div><h2>Statistics</h2>',
        f'<table id="stats">{stat_rows}</table>',
        f'<p class="note" id="annualisation">{esc(annualised)}</p>',
        _definitions() + "</div>",
        '<div><h2>Monthly returns</h2>',
        f'<img class="plot" id="plot-heatmap" alt="monthly returns" src="{_png(heatmap_figure(report))}"></div>',
        '<div><h2>Trade excursions</h2>',
        f'<img class="plot" id="plot-mae-mfe" alt="MAE and MFE of trades" src="{_png(mae_mfe_figure(report))}"></div></div>',
        gap_html,
        "<h2>Next actions</h2>",
        _table(actions) if len(actions) else '<p class="note">No operation due.</p>',
        f"<h2>Trades ({len(trades)} in all"
        + (f", latest {max_trades} shown" if len(trades) > max_trades else "")
        + ")</h2>",
        f'<p class="note" id="trade-count">{len(trades)} trades and pieces of {len(report.positions)} positions;'
        " the pieces of one holding share a position_id.</p>",
        f'<div class="scroll">{_table(shown)}</div>' if len(shown) else '<p class="note">No trades.</p>',
        f'<h2>Options</h2><table id="params">{params}</table>',
        '<p class="note">Made with orvane.</p>',
        "</body></html>",
    ]
    return "\n".join(parts)


def write_html(report: "Report", path: Union[str, "os.PathLike[str]"], max_trades: int = 500) -> str:
    """Write :func:`render_html` to ``path`` (UTF-8) and return the path."""
    text = render_html(report, max_trades=max_trades)
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(text)
    return os.fspath(path)
