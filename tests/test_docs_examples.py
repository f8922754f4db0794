"""The code examples of the documentation site's pages run as written.

Each page's ``python`` blocks run in order, as one script in a fresh
interpreter (a later block uses what an earlier one made, as a reader
following the page would), in a scratch directory. The ``sh`` blocks of the
command line's page run the same way, in one bash with the ``orvane``
command of this environment on PATH; those of other pages set up the
checkout (``make``) and are shown only. A block in any other language fails
this test until it says how it is run, and an indented code block fails
too, since it says nothing of its language.

NOT_RUN lists the python blocks that do not run here, with the reason;
SMALLER lists text that runs here replaced by a smaller equivalent, with the
reason.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from test_readme import _environment, indented_code, readme_blocks, shell_commands

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
PAGES = sorted([DOCS / "index.md", *(DOCS / "guide").glob("*.md")])

# (page, text that starts the block) -> why the block does not run here.
NOT_RUN = {
    ("guide/sweeps.md", "from distributed import"): "starts a Dask cluster of 8 workers",
}

# (page, text in a block) -> (what runs instead, why).
SMALLER = {
    ("index.md", "sample_market(n_stocks=300, years=10)"): (
        "sample_market(n_stocks=50, years=3)", "the quick start's steps do not depend on the market's size"),
    ("guide/cli.md", "orvane demo --out out/demo"): (
        "orvane demo --out out/demo --stocks 60 --years 3", "the files' layout does not depend on the market's size"),
    ("guide/cli.md", "orvane sample --out data"): (
        "orvane sample --stocks 60 --years 3 --out data", "the files' layout does not depend on their size"),
}
COMMAND_PAGES = ("guide/cli.md",)

RUNNERS = ("python",)
SHOWN = ("sh", "text")
HANG = 600


def _name(page: Path) -> str:
    return page.relative_to(DOCS).as_posix()


def _smaller(name: str, code: str) -> str:
    for (p, text), (instead, _why) in SMALLER.items():
        if p == name:
            code = code.replace(text, instead)
    return code


def page_commands(page: Path) -> list[str]:
    """The shell commands of a command page, in order, continued lines joined."""
    name = _name(page)
    if name not in COMMAND_PAGES:
        return []
    blocks = readme_blocks(page.read_text(encoding="utf-8"))
    return [_smaller(name, c) for b in blocks if b.language == "sh" for c in shell_commands(b.code)]


def page_script(page: Path) -> str:
    """The page's python blocks to run, in order, as one script."""
    name = _name(page)
    parts = []
    for block in readme_blocks(page.read_text(encoding="utf-8")):
        if block.language not in RUNNERS:
            continue
        if any(p == name and block.code.lstrip().startswith(start) for p, start in NOT_RUN):
            continue
        code = _smaller(name, block.code)
        parts.append(f"# {name}, line {block.line}\n{code}")
    return "\n".join(parts)


def test_every_block_is_fenced_with_a_known_language():
    problems = []
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        problems += [f"{_name(page)}:{line}: indented code" for line in indented_code(text)]
        problems += [f"{_name(page)}:{b.line}: {b.language or 'no language'}"
                     for b in readme_blocks(text) if b.language not in RUNNERS + SHOWN]
    assert problems == []


def test_listed_exceptions_are_still_on_their_pages():
    stale = []
    for page, start in NOT_RUN:
        blocks = readme_blocks((DOCS / page).read_text(encoding="utf-8"))
        if not any(b.language == "python" and b.code.lstrip().startswith(start) for b in blocks):
            stale.append((page, start))
    for page, text in SMALLER:
        if text not in (DOCS / page).read_text(encoding="utf-8"):
            stale.append((page, text))
    assert stale == []


@pytest.mark.parametrize("page", [p for p in PAGES if page_script(p)], ids=_name)
def test_page_examples_run(page: Path, tmp_path: Path):
    script = tmp_path / "page.py"
    script.write_text(page_script(page), encoding="utf-8")
    run = subprocess.run([sys.executable, "-W", "error::FutureWarning", str(script)], cwd=tmp_path,
                         env=_environment(), capture_output=True, text=True, timeout=HANG)
    assert run.returncode == 0, f"{_name(page)} failed (exit {run.returncode}):\n{run.stdout[-3000:]}\n{run.stderr[-5000:]}"


@pytest.mark.parametrize("page", [p for p in PAGES if page_commands(p)], ids=_name)
def test_page_commands_run(page: Path, tmp_path: Path):
    env = _environment()
    env["PATH"] = os.pathsep.join([os.path.join(sys.prefix, "bin"), env["PATH"]])
    run = subprocess.run(["bash", "-c", "set -e -o pipefail\n" + "\n".join(page_commands(page))], cwd=tmp_path,
                         env=env, capture_output=True, text=True, timeout=HANG)
    assert run.returncode == 0, f"{_name(page)} failed (exit {run.returncode}):\n{run.stdout[-3000:]}\n{run.stderr[-5000:]}"
    assert sorted(p.name for p in (tmp_path / "results").iterdir()) == [
        "actions.csv", "equity.png", "orders.csv", "report.html", "stats.csv", "trades.csv"]
