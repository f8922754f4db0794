"""The report page's charts as small SVG documents, drawn directly.

The page needs a few plain charts, and drawing them as SVG takes
milliseconds where a plotting library takes most of a second; the text
stays sharp at any zoom.  :mod:`orvane.plots` draws the same content with
matplotlib for :meth:`orvane.Report.plot` and the PNG files.
"""

from __future__ import annotations

import base64
import html as _html
import math
from typing import TYPE_CHECKING, Optional, Sequence

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from .report import Report

__all__ = ["equity_svg", "excursion_svg", "sparkline_svg", "data_uri", "nice_ticks"]

GREEN, RED, BLUE, GREY, INK, RULE = "#1a9850", "#d73027", "#2c6fbb", "#888888", "#333333", "#e4e4e4"
FONT = 'font-family="Helvetica,Arial,sans-serif" font-size="11"'


def _ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Dates as float nanoseconds, whatever the index's resolution."""
    return index.to_numpy(dtype="datetime64[ns]").astype(np.int64).astype(np.float64)


def data_uri(svg: str) -> str:
    """An SVG document as a data URI for an ``<img>``."""
    return "data:image/svg+xml;base64," + base64.b64encode(svg.encode("utf-8")).decode("ascii")


def nice_ticks(low: float, high: float, count: int = 5) -> np.ndarray:
    """Round tick values (steps of 1, 2, 2.5 or 5 times a power of ten) covering [low, high]."""
    if not (math.isfinite(low) and math.isfinite(high)):
        return np.empty(0)
    if high <= low:
        return np.array([low])
    raw = (high - low) / max(count, 1)
    power = 10.0 ** math.floor(math.log10(raw))
    step = next(m * power for m in (1.0, 2.0, 2.5, 5.0, 10.0) if m * power >= raw)
    first = math.ceil(low / step - 1e-9) * step
    ticks = np.arange(first, high + step * 1e-9, step)
    # Multiples of the step, free of the error that summing steps adds.
    return np.round(ticks / step) * step


def _tick_text(value: float, step: float, suffix: str = "") -> str:
    decimals = max(0, -math.floor(math.log10(step) + 1e-9)) if step > 0 else 0
    if step * 10 ** decimals % 1 > 1e-9:
        decimals += 1
    text = f"{value:,.{decimals}f}"
    return ("0" if text.strip("-0.,") == "" else text) + suffix


class _Frame:
    """A plot area inside an SVG canvas, with data-to-pixel scales."""

    def __init__(self, left: float, top: float, width: float, height: float,
                 x: tuple, y: tuple) -> None:
        self.left, self.top, self.width, self.height = left, top, width, height
        self.x0, self.x1 = x
        self.y0, self.y1 = y

    def px(self, x: np.ndarray) -> np.ndarray:
        span = self.x1 - self.x0 or 1.0
        return self.left + (np.asarray(x, dtype=float) - self.x0) / span * self.width

    def py(self, y: np.ndarray) -> np.ndarray:
        span = self.y1 - self.y0 or 1.0
        return self.top + self.height - (np.asarray(y, dtype=float) - self.y0) / span * self.height

    def y_axis(self, ticks: np.ndarray, suffix: str = "") -> list:
        step = float(ticks[1] - ticks[0]) if len(ticks) > 1 else abs(float(ticks[0])) if len(ticks) else 1.0
        out = []
        for t, y in zip(ticks, self.py(ticks)):
            out.append(f'<line x1="{self.left:.1f}" x2="{self.left + self.width:.1f}" y1="{y:.1f}" y2="{y:.1f}"'
                       f' stroke="{RULE}"/>')
            out.append(f'<text x="{self.left - 6:.1f}" y="{y + 4:.1f}" text-anchor="end" fill="{INK}">'
                       f"{_tick_text(float(t), step or 1.0, suffix)}</text>")
        return out

    def box(self) -> str:
        return (f'<rect x="{self.left:.1f}" y="{self.top:.1f}" width="{self.width:.1f}" height="{self.height:.1f}"'
                f' fill="none" stroke="#bbbbbb"/>')


def _path(xs: np.ndarray, ys: np.ndarray) -> str:
    """An SVG path through the points, one decimal per coordinate."""
    if len(xs) == 0:
        return ""
    pts = np.column_stack([np.round(xs, 1), np.round(ys, 1)])
    body = " ".join(f"{x:g},{y:g}" for x, y in pts.tolist())
    return f"M{body.replace(' ', ' L', 1)}" if len(pts) > 1 else f"M{body}"


def _thin(x: np.ndarray, y: np.ndarray, columns: int) -> tuple:
    """At most the first, lowest, highest and last point of each pixel column: the same picture, fewer points."""
    if len(x) <= 4 * columns:
        return x, y
    bins = np.minimum(((x - x[0]) / ((x[-1] - x[0]) or 1.0) * columns).astype(np.int64), columns - 1)
    starts = np.flatnonzero(np.r_[True, bins[1:] != bins[:-1]])
    ends = np.r_[starts[1:], len(x)] - 1
    finite = np.where(np.isfinite(y), y, np.nan)
    keep = [starts, ends]
    for reduce in (np.fmin, np.fmax):
        best = reduce.reduceat(finite, starts)
        # The position of the extreme within each column.
        hit = np.flatnonzero(finite == np.repeat(best, np.diff(np.r_[starts, len(x)])))
        keep.append(hit)
    idx = np.unique(np.concatenate(keep))
    return x[idx], y[idx]


def _svg(width: int, height: int, body: Sequence[str], title: str) -> str:
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" viewBox="0 0 {width}'
            f' {height}" {FONT}><title>{_html.escape(title)}</title><rect width="100%" height="100%"'
            f' fill="white"/>{"".join(body)}</svg>')


def _date_ticks(first: pd.Timestamp, last: pd.Timestamp, count: int = 8) -> list:
    """Year starts (or month starts on short spans) between two dates, at most about ``count``."""
    years = last.year - first.year
    if years >= 2:
        step = max(1, math.ceil((years + 1) / count))
        starts = [pd.Timestamp(year=y, month=1, day=1, tz=first.tz) for y in range(first.year + 1, last.year + 1)]
        return [(t, str(t.year)) for t in starts if (t.year - (first.year + 1)) % step == 0]
    months = pd.date_range(first.normalize() + pd.offsets.MonthBegin(1), last, freq="MS")
    step = max(1, math.ceil(len(months) / count))
    return [(t, t.strftime("%b %Y")) for t in months[::step]]


def equity_svg(report: "Report", benchmark: Optional[pd.Series] = None, width: int = 960) -> str:
    """Equity curve (and a benchmark rebased to it) above its drawdown, from the bar before the first trade."""
    equity = report._active()
    if len(equity) < 2:
        return _svg(width, 80, [f'<text x="{width / 2}" y="40" text-anchor="middle">no equity curve</text>'],
                    "equity and drawdown")
    x = _ns(equity.index)
    y = equity.to_numpy(dtype=np.float64)
    bench = benchmark if benchmark is not None else report.benchmark
    lines = [(x, y, BLUE, "strategy")]
    if bench is not None:
        b = bench.sort_index().reindex(equity.index, method="ffill")
        first = b.first_valid_index()
        if first is not None:
            rebased = (b / b.loc[first] * equity.loc[first]).to_numpy(dtype=np.float64)
            lines.append((x, rebased, GREY, "benchmark"))
    values = np.concatenate([ln[1][np.isfinite(ln[1])] for ln in lines])
    low, high = float(values.min()), float(values.max())
    pad = (high - low) * 0.05 or abs(high) * 0.05 or 0.05
    ticks = nice_ticks(low - pad, high + pad)
    left, plot_w = 56.0, width - 72.0
    top = _Frame(left, 28.0, plot_w, 230.0, (x[0], x[-1]), (min(low - pad, ticks.min()), max(high + pad, ticks.max())))
    dd = (y / np.fmax.accumulate(np.where(np.isfinite(y), y, -np.inf)) - 1.0) * 100.0
    dd_low = float(np.nanmin(dd)) if np.isfinite(dd).any() else 0.0
    dd_ticks = nice_ticks(min(dd_low, -1e-9), 0.0, 3)
    bottom = _Frame(left, 282.0, plot_w, 90.0, (x[0], x[-1]), (min(dd_low, float(dd_ticks.min())), 0.0))
    body = ['<text x="56" y="18" font-size="13" font-weight="bold" fill="#222">Equity (start = 1)</text>']
    body += top.y_axis(ticks)
    body += bottom.y_axis(dd_ticks, "%")
    for when, label in _date_ticks(equity.index[0], equity.index[-1]):
        px = float(top.px(_ns(pd.DatetimeIndex([when])))[0])
        body.append(f'<line x1="{px:.1f}" x2="{px:.1f}" y1="{top.top}" y2="{bottom.top + bottom.height}"'
                    f' stroke="{RULE}"/>')
        body.append(f'<text x="{px:.1f}" y="{bottom.top + bottom.height + 15:.1f}" text-anchor="middle"'
                    f' fill="{INK}">{label}</text>')
    for xs, ys, colour, _ in reversed(lines):
        ok = np.isfinite(ys)
        tx, ty = _thin(xs[ok], ys[ok], int(plot_w))
        body.append(f'<path d="{_path(top.px(tx), top.py(ty))}" fill="none" stroke="{colour}" stroke-width="1.4"/>')
    if len(lines) > 1:
        body.append(f'<text x="{left + 8}" y="{top.top + 14}" fill="{BLUE}">— strategy</text>'
                    f'<text x="{left + 90}" y="{top.top + 14}" fill="{GREY}">— benchmark</text>')
    ok = np.isfinite(dd)
    dx, dy = _thin(x[ok], dd[ok], int(plot_w))
    area = _path(bottom.px(dx), bottom.py(dy))
    if area:
        zero = float(bottom.py(np.array([0.0]))[0])
        area += f" L{bottom.px(dx[-1:])[0]:.1f},{zero:.1f} L{bottom.px(dx[:1])[0]:.1f},{zero:.1f} Z"
        body.append(f'<path d="{area}" fill="{RED}" fill-opacity="0.45" stroke="none"/>')
    body.append(f'<text x="{left}" y="{bottom.top - 6}" fill="{INK}">Drawdown %</text>')
    body += [top.box(), bottom.box()]
    return _svg(width, 396, body, "equity and drawdown")


def excursion_svg(report: "Report", width: int = 560, height: int = 420) -> str:
    """Each trade's maximum adverse excursion against its greatest favourable one, in percent."""
    t = report.trades
    title = "MAE and GMFE of trades"
    mae = -t["mae"].to_numpy(dtype=np.float64) * 100.0 if len(t) else np.empty(0)
    gmfe = t["gmfe"].to_numpy(dtype=np.float64) * 100.0 if len(t) else np.empty(0)
    ok = np.isfinite(mae) & np.isfinite(gmfe)
    if not ok.any():
        return _svg(width, 80, [f'<text x="{width / 2}" y="40" text-anchor="middle">no trades</text>'], title)
    ret = t["return"].to_numpy(dtype=np.float64)[ok]
    mae, gmfe = mae[ok], gmfe[ok]
    xt = nice_ticks(min(float(mae.min()), 0.0), max(float(mae.max()), 1e-9))
    yt = nice_ticks(min(float(gmfe.min()), 0.0), max(float(gmfe.max()), 1e-9))
    frame = _Frame(56.0, 28.0, width - 72.0, height - 76.0, (float(xt.min()), float(xt.max())),
                   (float(yt.min()), float(yt.max())))
    body = ['<text x="56" y="18" font-size="13" font-weight="bold" fill="#222">Trade excursions</text>']
    body += frame.y_axis(yt, "%")
    xstep = float(xt[1] - xt[0]) if len(xt) > 1 else 1.0
    for v, px in zip(xt, frame.px(xt)):
        body.append(f'<line x1="{px:.1f}" x2="{px:.1f}" y1="{frame.top}" y2="{frame.top + frame.height}"'
                    f' stroke="{RULE}"/>')
        body.append(f'<text x="{px:.1f}" y="{frame.top + frame.height + 15:.1f}" text-anchor="middle"'
                    f' fill="{INK}">{_tick_text(float(v), xstep, "%")}</text>')
    for mask, colour in ((ret > 0, GREEN), (~(ret > 0), RED)):
        px, py = np.round(frame.px(mae[mask]), 1), np.round(frame.py(gmfe[mask]), 1)
        dots = "".join(f"M{a:g} {b:g}h0" for a, b in zip(px.tolist(), py.tolist()))
        if dots:
            body.append(f'<path d="{dots}" stroke="{colour}" stroke-opacity="0.6" stroke-width="4"'
                        ' stroke-linecap="round"/>')
    body.append(f'<text x="{frame.left + frame.width / 2:.1f}" y="{height - 12}" text-anchor="middle"'
                f' fill="{INK}">MAE % (adverse)</text>')
    body.append(f'<text transform="translate(14 {frame.top + frame.height / 2:.1f}) rotate(-90)"'
                f' text-anchor="middle" fill="{INK}">GMFE % (favourable)</text>')
    body.append(f'<text x="{frame.left + frame.width - 8:.1f}" y="{frame.top + 14}" text-anchor="end">'
                f'<tspan fill="{GREEN}">● win</tspan> <tspan fill="{RED}">● loss</tspan></text>')
    body.append(frame.box())
    return _svg(width, height, body, title)


def sparkline_svg(equity: pd.Series, width: int = 320, height: int = 80) -> str:
    """A small equity curve with its first and last value, for a compact summary."""
    y = equity.to_numpy(dtype=np.float64)
    ok = np.isfinite(y)
    if ok.sum() < 2:
        return _svg(width, height, [], "equity")
    x = _ns(equity.index)[ok]
    y = y[ok]
    frame = _Frame(4.0, 6.0, width - 8.0, height - 12.0, (x[0], x[-1]),
                   (float(y.min()), float(y.max()) if y.max() > y.min() else float(y.min()) + 1.0))
    tx, ty = _thin(x, y, int(frame.width))
    body = [f'<path d="{_path(frame.px(tx), frame.py(ty))}" fill="none" stroke="{BLUE}" stroke-width="1.5"/>']
    return _svg(width, height, body, "equity")
