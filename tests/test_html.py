"""The HTML report: self-contained, and rendered with its plots by headless Chromium."""

import html
import json
import os
import re
import shutil
import select
import subprocess
import tempfile
import time

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("matplotlib")

from orvane.inputs import prepare  # noqa: E402
from orvane.report import Report  # noqa: E402

# How long to wait for an answer from the browser. Answers come as soon as
# they are ready; this bound only turns a hang into a failure, and leaves
# room for a first start on a fresh machine under load (font caches).
PATIENCE = 300.0


@pytest.fixture(scope="module")
def report():
    dates = pd.bdate_range("2022-01-03", periods=300)
    rng = np.random.default_rng(3)
    names = ["A&B", "<C>", "D"]
    px = pd.DataFrame(np.cumprod(1 + rng.normal(0, 0.01, (300, 3)), axis=0) * 50, index=dates, columns=names)
    pos = pd.DataFrame([[0.4, 0.3, 0.3]], index=dates[[10]], columns=names)
    p = prepare(pos, px)
    trades = [[k % 3, np.int64(11 + 20 * k), 25 + 20 * k] for k in range(12)]
    exc = [np.array([-0.05, 0.08, 0.02, -0.06, 5.0, rng.normal(0, 0.05)]) for _ in trades]
    ops = {"actions": {1: "sl_", 2: "hold"}, "weights": {1: 0.3, 2: 0.3}, "next_weights": {2: 0.5},
           "weight_time": 0, "next_weight_time": 0}
    equity = np.concatenate([np.ones(11), np.cumprod(1 + rng.normal(0.0005, 0.01, 289))])
    return Report.from_run(p, equity, trades, [0.3] * 12, exc, ops, {"touched_exit": False},
                           name="Test <report>")


@pytest.fixture(scope="module")
def page(report, tmp_path_factory):
    path = tmp_path_factory.mktemp("html") / "report.html"
    report.to_html(path)
    return path


def test_page_is_self_contained(page):
    text = page.read_text(encoding="utf-8")
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:)?//""", text)
    assert "http://" not in text and "https://" not in text
    assert len(re.findall(r'<img [^>]*src="data:image/svg\+xml;base64,', text)) == 2


def test_page_escapes_names_and_lists_statistics(page, report):
    text = page.read_text(encoding="utf-8")
    assert "<title>Test &lt;report&gt;</title>" in text
    assert "A&amp;B" in text and "&lt;C&gt;" in text and "<C>" not in text
    assert 'id="stats"' in text and "sharpe" in text and "max_drawdown_peak" in text
    assert "sl_" in text


def test_to_html_limits_the_trade_table(report, tmp_path):
    path = report.to_html(tmp_path / "short.html", max_trades=5)
    text = open(path, encoding="utf-8").read()
    assert "12 in all, latest 5 shown, newest first" in text


def test_plot_returns_a_figure_with_three_panels(report):
    fig = report.plot()
    titles = {ax.get_title() for ax in fig.axes}
    assert {"Equity", "Monthly returns %", "Trade excursions"} <= titles
    heat = next(ax for ax in fig.axes if ax.get_title() == "Monthly returns %")
    assert [t.get_text() for t in heat.get_xticklabels()][-1] == "Year"
    cells = [t.get_text() for t in heat.texts]
    assert cells and "-0.0" not in cells and all(t.get_fontsize() >= 6 for t in heat.texts)
    # The heatmap's colour bar is an axes of its own.
    assert any(ax.get_ylabel() == "monthly return %" for ax in fig.axes)


class DevTools:
    """A minimal client of Chromium's DevTools protocol over --remote-debugging-pipe."""

    def __init__(self, exe: str, profile: str) -> None:
        to_child_r, self._to_child = os.pipe()
        self._from_child, from_child_w = os.pipe()

        # Chromium talks on fds 3 (commands in) and 4 (replies out); the pipe
        # ends are first moved out of the way, since they may already be 3 or 4.
        def wire() -> None:
            a, b = os.dup(to_child_r), os.dup(from_child_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [exe, "--headless", "--disable-gpu", "--no-sandbox", "--no-first-run",
             "--disable-dev-shm-usage", "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
            pass_fds=(3, 4), preexec_fn=wire,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # The browser must not inherit a sanitizer runtime preloaded for
            # our extension modules.
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        )
        os.close(to_child_r)
        os.close(from_child_w)
        self._buf = b""
        self._next_id = 0
        self.events: list = []

    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_child], [], [], left)[0]:
                raise TimeoutError("no answer from chromium")
            chunk = os.read(self._from_child, 1 << 16)
            if not chunk:
                raise RuntimeError("chromium closed the pipe")
            self._buf += chunk
        raw, self._buf = self._buf.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method: str, session: str = None, timeout: float = PATIENCE, **params) -> dict:
        self._next_id += 1
        msg = {"id": self._next_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._to_child, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, method: str, timeout: float = PATIENCE) -> dict:
        deadline = time.monotonic() + timeout
        for ev in self.events:
            if ev.get("method") == method:
                return ev
        while True:
            ev = self._read_message(deadline)
            self.events.append(ev)
            if ev.get("method") == method:
                return ev

    def close(self) -> None:
        try:
            self.call("Browser.close", timeout=60)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._to_child)
        os.close(self._from_child)


def test_chromium_loads_page_with_no_failed_request_and_shows_plots(page):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        pytest.skip("chromium is not installed (.ci/run installs it)")
    with tempfile.TemporaryDirectory() as profile:
        browser = DevTools(exe, profile)
        try:
            target = browser.call("Target.createTarget", url="about:blank")["targetId"]
            session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            for domain in ("Network.enable", "Page.enable", "Runtime.enable"):
                browser.call(domain, session=session)
            browser.events.clear()
            browser.call("Page.navigate", session=session, url=page.as_uri())
            browser.wait_for("Page.loadEventFired")
            found = browser.call(
                "Runtime.evaluate", session=session, returnByValue=True,
                expression="""JSON.stringify({
                    images: Array.from(document.images).map(i => ({id: i.id, ok: i.complete,
                        w: i.naturalWidth, h: i.naturalHeight, shown: i.getBoundingClientRect().width})),
                    tables: document.querySelectorAll('table').length,
                    sections: ['costs', 'stats', 'monthly', 'actions', 'trades', 'params', 'definitions']
                        .filter(id => document.getElementById(id) !== null),
                    heatHead: Array.from(document.querySelectorAll('#monthly thead th')).map(t => t.textContent),
                    title: document.title})""",
            )
            shot = browser.call("Page.captureScreenshot", session=session, format="png")
        finally:
            browser.close()
    info = json.loads(found["result"]["value"])
    failed = [e["params"] for e in browser.events if e.get("method") == "Network.loadingFailed"]
    assert failed == []
    requested = [e["params"]["request"]["url"] for e in browser.events if e.get("method") == "Network.requestWillBeSent"]
    assert all(u.startswith(("file:", "data:")) for u in requested), requested
    assert info["title"] == "Test <report>"
    assert {i["id"] for i in info["images"]} == {"plot-equity", "plot-mae-mfe"}
    for img in info["images"]:
        assert img["ok"] and img["w"] > 100 and img["h"] > 100 and img["shown"] > 100, img
    assert info["sections"] == ["costs", "stats", "monthly", "actions", "trades", "params", "definitions"]
    assert info["heatHead"][-1] == "Year" and len(info["heatHead"]) == 14
    assert info["tables"] >= 5
    assert len(shot["data"]) > 1000


def test_a_negative_trade_limit_is_refused(report, tmp_path):
    from orvane import InputError

    with pytest.raises(InputError, match="max_trades must be an integer of at least 0"):
        report.to_html(tmp_path / "r.html", max_trades=-1)


def test_page_states_how_figures_are_annualised(page):
    text = page.read_text(encoding="utf-8")
    # Business-day bars: 252 a year, found from the dates.
    assert re.search(r'id="annualisation">[^<]*annualised with 252 bars a year \(inferred from the spacing', text)
    assert re.search(r'<td class="l">periods_per_year</td><td>252</td>', text)


@pytest.fixture(scope="module")
def run():
    """A real run that ends mid-year, with a stop, slippage and a rebalance pending."""
    pytest.importorskip("orvane.core.portsim")
    import orvane

    dates = pd.bdate_range("2022-01-03", "2023-06-30")
    rng = np.random.default_rng(7)
    names = [f"S{k}" for k in range(6)]
    px = pd.DataFrame(np.cumprod(1 + rng.normal(0.0003, 0.015, (len(dates), 6)), axis=0) * 20,
                      index=dates, columns=names)
    pos = (px.pct_change(20, fill_method=None).rank(axis=1, ascending=False) <= 3).iloc[25:]
    return orvane.backtest(pos, px, resample="M", stop_loss=0.08, slippage=0.0005, name="Run")


@pytest.fixture(scope="module")
def run_page(run, tmp_path_factory):
    path = tmp_path_factory.mktemp("run") / "report.html"
    run.to_html(path)
    return path.read_text(encoding="utf-8")


def _cells(text, table_id):
    """The rows of a table of the page as lists of cell texts."""
    body = re.search(rf'<table[^>]* id="{table_id}"[^>]*>(.*?)</table>', text, re.S).group(1)
    return [[html.unescape(c) for c in re.findall(r"<t[dh][^>]*>(.*?)</t[dh]>", row)]
            for row in re.findall(r"<tr>(.*?)</tr>", body, re.S)]


def test_the_costs_are_stated_at_the_top(run, run_page):
    paid = float(np.sum(run._raw.ledger["costs"]))
    top = run_page[: run_page.index("<h2>")]
    assert ('id="costs">Costs: fee 0.1425% on every trade, tax 0.3% on every sale, slippage 0.05% a side;'
            f" paid over the run: {paid * 100:.2f}% of the starting capital.</p>") in top
    stats = dict(r for r in _cells(run_page, "stats") if len(r) == 2)
    assert stats["fee_ratio"] == "0.1425%" and stats["tax_ratio"] == "0.3%" and stats["slippage"] == "0.05%"
    assert stats["costs_paid"] == f"{paid * 100:.2f}%"


def test_definitions_explain_exposure_and_turnover(run_page):
    import inspect

    from orvane import Report

    defs = re.search(r'<dl class="defs" id="definitions">(.*?)</dl>', run_page, re.S).group(1)
    for name, method in (("exposure", Report.exposure), ("turnover", Report.turnover)):
        first = " ".join(inspect.getdoc(method).split("\n\n")[0].split())
        assert f"<dt>{name}</dt><dd>{html.escape(first)}</dd>" in defs
    for name in ("mae", "gmfe", "bmfe", "mdd", "profit_period", "costs_paid", "sharpe"):
        assert f"<dt>{name}</dt>" in defs


def test_switched_off_options_read_none_not_inf(run_page):
    params = dict(_cells(run_page, "params"))
    assert params["take_profit"] == "None (off)" and params["trail_stop"] == "None (off)"
    assert params["stop_loss"] == "0.08" and params["slippage"] == "0.0005 (0.05%)"
    assert "inf" not in "".join(params.values())


def test_counts_are_whole_numbers_and_the_last_year_is_year_to_date(run, run_page):
    stats = dict(r for r in _cells(run_page, "stats") if len(r) == 2)
    assert stats["trades"] == str(len(run.positions)) and stats["periods_per_year"] == "252"
    # The data ends on 2023-06-30: the 2023 figure is half a year.
    # It starts on 2022-02-28, the bar before the first trade: 2022 is partial too.
    assert "return 2023 (year to date, to 2023-06-30)" in stats and "return 2022 (from 2022-02-28)" in stats
    rows = _cells(run_page, "trades")
    head, body = rows[0], rows[1:]
    period = [r[head.index("profit_period")] for r in body]
    assert all(re.fullmatch(r"\d+", p) for p in period), period[:5]
    assert all(re.fullmatch(r"-?\d+\.\d\d%", r[head.index("weight")]) for r in body)


def test_trades_are_listed_newest_first(run, run_page):
    rows = _cells(run_page, "trades")
    head, body = rows[0], rows[1:]
    exits = [r[head.index("exit_date")] for r in body]
    n_open = int(run.trades["exit_date"].isna().sum())
    assert n_open > 0 and exits[:n_open] == ["–"] * n_open
    closed = exits[n_open:]
    assert closed == sorted(closed, reverse=True) and closed[0] == str(run.trades["exit_date"].max().date())


def test_the_monthly_table_has_a_year_column_and_no_negative_zero(run, run_page):
    rows = _cells(run_page, "monthly")
    assert rows[0][1:] == ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
                           "Year"]
    years = {r[0]: r for r in rows[1:]}
    assert float(years["2022"][-1]) == pytest.approx(run.yearly_returns()[2022] * 100, abs=0.05)
    assert "-0.0" not in [c for r in rows for c in r]
    assert "Colour scale" in run_page


def test_the_trade_list_formats_whatever_columns_the_table_has():
    from orvane.html import render_html

    dates = pd.bdate_range("2024-01-01", periods=5)
    trades = pd.DataFrame({
        "stock": ["X", "Y"], "entry_date": dates[[0, 1]], "exit_date": [dates[3], pd.NaT],
        "weight": [0.049999999999999996, 0.05], "return": [0.1, -0.0000001], "profit_period": [3.0, 0.0],
        "shares": np.array([1200, 300], dtype=np.int64), "pnl": [1234.5678, -12.0],
        "exit_reason": ["stop loss", "open"], "mae": [-0.01, 0.0], "gmfe": [0.2, 0.0],
        "entry_index": [0, 1], "exit_index": [3, -1],
    })
    report = Report(pd.Series([1.0, 1.0, 1.05, 1.1, 1.08], index=dates), trades=trades)
    rows = _cells(render_html(report), "trades")
    head = rows[0]
    by_name = [dict(zip(head, r)) for r in rows[1:]]
    # Newest first: the open trade, then the one closed on the fourth bar.
    assert [r["stock"] for r in by_name] == ["Y", "X"]
    assert by_name[1] == {"stock": "X", "entry_date": "2024-01-01", "exit_date": "2024-01-04", "weight": "5.00%",
                          "return": "10.00%", "profit_period": "3", "shares": "1200", "pnl": "1,234.57",
                          "exit_reason": "stop loss", "mae": "-1.00%", "gmfe": "20.00%"}
    assert by_name[0]["return"] == "0.00%" and by_name[0]["exit_date"] == "–"


def test_a_notebook_shows_a_compact_summary(run):
    text = run._repr_html_()
    assert text.startswith('<div class="orvane-report">') and "<html" not in text
    assert "<b>Run</b>" in text and "2022-01-03 to 2023-06-30" in text
    assert "Costs: fee 0.1425% on every trade, tax 0.3% on every sale, slippage 0.05% a side" in text
    stats = run.stats()
    for key in ("total_return", "cagr", "sharpe", "max_drawdown", "trades"):
        from orvane.html import format_value

        assert f">{key}</td><td style=\"text-align:right\">{format_value(key, stats[key])}</td>" in text
    assert re.search(r'<img alt="equity" src="data:image/svg\+xml;base64,[A-Za-z0-9+/=]{100,}"', text)
    actions = run.actions()
    assert f"Next actions</b> ({len(actions)} stocks)" in text
    assert all(f">{s}</td>" in text for s in actions["stock"].head(10))
    # pandas' own objects keep pandas' display.
    assert type(run.stats()) is pd.Series and 'class="dataframe"' in run.trades._repr_html_()


def test_a_report_from_an_equity_curve_alone_does_not_invent_its_costs(page):
    # The module's report has no cost options: the page must not show the defaults as its rates.
    text = page.read_text(encoding="utf-8")
    assert 'id="costs">Costs: the rates are not known for this report' in text
    assert re.search(r'<td class="l"[^>]*>fee_ratio</td><td>–</td>', text)
