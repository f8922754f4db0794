"""Report plots with matplotlib: equity and drawdown, monthly heatmap, MAE/MFE scatter.

Figures are built with the object-oriented API on the Agg canvas, so they
work headless and never touch pyplot's global state.
"""

from __future__ import annotations

import io
from typing import TYPE_CHECKING, Optional

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .report import Report

__all__ = ["plot_equity", "plot_monthly_heatmap", "plot_mae_mfe", "report_figure", "figure_png"]

GREEN, RED, BLUE, GREY = "#1a9850", "#d73027", "#2c6fbb", "#888888"


def _require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError("plots need matplotlib: pip install 'orvane[report]'") from None


def new_figure(width: float, height: float) -> "Figure":
    """A figure on the Agg canvas, independent of pyplot."""
    _require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width, height), dpi=100, layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def plot_equity(report: "Report", ax: "Axes", ax_dd: "Axes", benchmark: Optional[pd.Series] = None) -> None:
    """Equity curve (with an optional benchmark rebased to it) above its drawdown."""
    equity = report._active()
    ax.plot(equity.index, equity.to_numpy(), color=BLUE, lw=1.2, label="strategy")
    bench = benchmark if benchmark is not None else report.benchmark
    if bench is not None:
        b = bench.sort_index().reindex(equity.index, method="ffill").dropna()
        if len(b):
            ax.plot(b.index, (b / b.iloc[0] * equity.loc[b.index[0]]).to_numpy(), color=GREY, lw=1.0, label="benchmark")
            ax.legend(loc="upper left", frameon=False)
    ax.set_title("Equity")
    ax.set_ylabel("value (start = 1)")
    ax.grid(alpha=0.3)
    dd = report.drawdown.loc[equity.index]
    ax_dd.fill_between(dd.index, dd.to_numpy() * 100.0, 0.0, color=RED, alpha=0.4, lw=0)
    ax_dd.set_ylabel("drawdown %")
    ax_dd.grid(alpha=0.3)


def _cell_text(value: float) -> str:
    text = f"{value:.1f}"
    # A value that rounds to zero is written 0.0, not -0.0.
    return "0.0" if text == "-0.0" else text


def plot_monthly_heatmap(report: "Report", ax: "Axes") -> None:
    """Monthly returns as a year x month heatmap with the values written in, each year's return beside it.

    The months share one colour scale, shown by the colour bar; the yearly
    column has its own, as years move more than months.
    """
    table = report.monthly_returns() * 100.0
    values = table.to_numpy(dtype=float)
    if values.size == 0 or not np.isfinite(values).any():
        ax.text(0.5, 0.5, "no monthly returns", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
        return
    yearly = (report.yearly_returns() * 100.0).reindex(table.index).to_numpy(dtype=float)
    limit = max(float(np.nanmax(np.abs(values))), 1e-9)
    year_limit = max(float(np.nanmax(np.abs(yearly))), 1e-9) if np.isfinite(yearly).any() else 1.0
    image = ax.imshow(np.ma.masked_invalid(values), cmap="RdYlGn", vmin=-limit, vmax=limit, aspect="auto",
                      extent=(-0.5, 11.5, len(table.index) - 0.5, -0.5))
    # The yearly column, scaled to the years' own range, beyond a gap.
    ax.imshow(np.ma.masked_invalid(yearly[:, None]), cmap="RdYlGn", vmin=-year_limit, vmax=year_limit,
              aspect="auto", extent=(12.0, 13.4, len(table.index) - 0.5, -0.5))
    ax.set_xlim(-0.5, 13.4)
    ax.set_xticks([*range(12), 12.7], ["J", "F", "M", "A", "M", "J", "J", "A", "S", "O", "N", "D", "Year"])
    ax.set_yticks(range(len(table.index)), [str(y) for y in table.index])
    size = 8 if len(table.index) <= 20 else 6
    ax.tick_params(labelsize=size + 1)
    if len(table.index) <= 40:
        for (i, j), v in np.ndenumerate(values):
            if np.isfinite(v):
                ax.text(j, i, _cell_text(v), ha="center", va="center", fontsize=size)
        for i, v in enumerate(yearly):
            if np.isfinite(v):
                ax.text(12.7, i, _cell_text(v), ha="center", va="center", fontsize=size, fontweight="bold")
    ax.figure.colorbar(image, ax=ax, label="monthly return %", shrink=0.8)
    ax.set_title("Monthly returns %")


def plot_mae_mfe(report: "Report", ax: "Axes") -> None:
    """Each closed trade's maximum adverse against its greatest favourable excursion.

    Trades still open at the end are left out: their excursions are not final.
    """
    t = report.trades
    t = t[t["exit_date"].notna()]
    if len(t) == 0:
        ax.text(0.5, 0.5, "no closed trades", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
        return
    mae = -t["mae"].to_numpy(dtype=float) * 100.0
    gmfe = t["gmfe"].to_numpy(dtype=float) * 100.0
    win = t["return"].to_numpy(dtype=float) > 0
    ax.scatter(mae[win], gmfe[win], s=8, color=GREEN, alpha=0.6, label="win")
    ax.scatter(mae[~win], gmfe[~win], s=8, color=RED, alpha=0.6, label="loss")
    ax.set_xlabel("MAE % (adverse)")
    ax.set_ylabel("GMFE % (favourable)")
    ax.set_title("Trade excursions")
    ax.legend(loc="upper right", frameon=False)
    ax.grid(alpha=0.3)


def report_figure(report: "Report") -> "Figure":
    """The three report plots in one figure."""
    fig = new_figure(12.0, 8.0)
    grid = fig.add_gridspec(3, 2, height_ratios=[3, 1, 3])
    ax = fig.add_subplot(grid[0, :])
    ax_dd = fig.add_subplot(grid[1, :], sharex=ax)
    plot_equity(report, ax, ax_dd)
    plot_monthly_heatmap(report, fig.add_subplot(grid[2, 0]))
    plot_mae_mfe(report, fig.add_subplot(grid[2, 1]))
    fig.suptitle(report.name)
    return fig


def equity_figure(report: "Report") -> "Figure":
    """Equity with drawdown only."""
    fig = new_figure(10.0, 5.0)
    grid = fig.add_gridspec(2, 1, height_ratios=[3, 1])
    ax = fig.add_subplot(grid[0])
    plot_equity(report, ax, fig.add_subplot(grid[1], sharex=ax))
    return fig


def heatmap_figure(report: "Report") -> "Figure":
    """Monthly-returns heatmap only."""
    fig = new_figure(8.0, 0.32 * max(len(report.monthly_returns()), 4) + 1.4)
    plot_monthly_heatmap(report, fig.add_subplot())
    return fig


def mae_mfe_figure(report: "Report") -> "Figure":
    """MAE/MFE scatter only."""
    fig = new_figure(6.0, 4.5)
    plot_mae_mfe(report, fig.add_subplot())
    return fig


def figure_png(fig: "Figure", dpi: int = 100) -> bytes:
    """The figure as PNG bytes."""
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=dpi)
    return buf.getvalue()
