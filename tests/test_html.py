"""The HTML report: self-contained, and rendered with its plots by headless Chromium."""

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
    assert len(re.findall(r'<img [^>]*src="data:image/png;base64,', text)) == 3


def test_page_escapes_names_and_lists_statistics(page, report):
    text = page.read_text(encoding="utf-8")
    assert "<title>Test &lt;report&gt;</title>" in text
    assert "A&amp;B" in text and "&lt;C&gt;" in text and "<C>" not in text
    assert 'id="stats"' in text and "sharpe" in text and "max_drawdown_peak" in text
    assert "sl_" in text


def test_to_html_limits_the_trade_table(report, tmp_path):
    path = report.to_html(tmp_path / "short.html", max_trades=5)
    text = open(path, encoding="utf-8").read()
    assert "12 in all, latest 5 shown" in text


def test_plot_returns_a_figure_with_three_panels(report):
    fig = report.plot()
    titles = {ax.get_title() for ax in fig.axes}
    assert {"Equity", "Monthly returns %", "Trade excursions"} <= titles


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
    assert {i["id"] for i in info["images"]} == {"plot-equity", "plot-heatmap", "plot-mae-mfe"}
    for img in info["images"]:
        assert img["ok"] and img["w"] > 100 and img["h"] > 100 and img["shown"] > 100, img
    assert info["tables"] >= 3
    assert len(shot["data"]) > 1000
