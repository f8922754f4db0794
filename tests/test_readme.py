"""Every code block of the README runs as written, so that it cannot go stale.

Blocks are found by their fence: ``python`` blocks run, each as a script of
its own, in a fresh interpreter; ``sh`` blocks run, each in a fresh bash, in a
scratch copy of the checkout whose ``.venv`` is the environment these tests
run in (as after ``make demo``), with nothing of that environment on PATH. A
block of any other language fails this test until it says how it is run;
``text`` blocks (output shown to the reader) are not run.

Commands that set up the whole environment or run for minutes are not run
here: they are listed in NOT_RUN with the reason, and a ``make`` command that
is not listed fails the test until someone reviews it. SMALLER lists the
commands that run here on smaller data than the README's, with the reason.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"

# Commands of the README that this test does not run, and why.
NOT_RUN = {
    "make demo": "sets up .venv from scratch; .ci/run runs it on a fresh clone",
    "make test": "runs this very suite; .ci/run runs it",
    "make sanitize": "builds and runs the suite under the sanitizers; .ci/run runs it",
    "make test-numpy1": "builds an environment with NumPy 1; .ci/run runs it",
    "make memcheck": "runs valgrind for minutes; .ci/run runs it",
    "make docs": "sets up its own environment and builds the site; .ci/run runs it in strict mode",
    "make fuzz": "runs the fuzz tests for an hour or more",
    "make bench": "runs the full benchmark for minutes and installs the peer (vectorbt)",
    'make bench BENCH_ARGS="--quick"': "installs the benchmark's peer (vectorbt) into .venv",
    "make bench-sweep": "measures sweep throughput for minutes",
}

# Commands that run here with these arguments added, and why.
SMALLER = {
    "bench/layer_overhead.py": ("--stocks 200 --bars 500 --repeat 1",
                                "the script runs as written; its figures need the full size"),
    "orvane sample": ("--stocks 60 --years 3", "the files' layout does not depend on their size"),
    "bench/report_speed.py": ("--repeat 1 --no-u1", "the script runs as written; its figures need the full size"),
}

RUNNERS = ("python", "sh")
NOT_CODE = ("text",)
# A generous bound that only turns a hung block into a failure.
HANG = 900


@dataclass
class Block:
    language: str
    code: str
    line: int

    @property
    def name(self) -> str:
        return f"{self.language}-line{self.line}"


def readme_blocks(text: str) -> list[Block]:
    blocks: list[Block] = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        fence = re.match(r"^```(\S*)\s*$", lines[i])
        if fence is None:
            i += 1
            continue
        start = i + 1
        end = start
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        blocks.append(Block(fence.group(1).lower(), "\n".join(lines[start:end]) + "\n", start + 1))
        i = end + 1
    return blocks


def indented_code(text: str) -> list[int]:
    """Line numbers of indented code blocks, which say nothing of their language."""
    found, in_fence, previous = [], False, ""
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            in_fence = not in_fence
        elif not in_fence and line.startswith("    ") and line.strip() and not previous.strip():
            found.append(number)
        previous = line
    return found


BLOCKS = readme_blocks(README.read_text(encoding="utf-8"))


def shell_commands(code: str) -> list[str]:
    """The block's commands, one per entry, with continued lines joined."""
    commands, current = [], ""
    for line in code.splitlines():
        if line.rstrip().endswith("\\"):
            current += line.rstrip()[:-1] + " "
            continue
        current += line
        if current.strip() and not current.strip().startswith("#"):
            commands.append(current.strip())
        current = ""
    return commands


def _without_comment(command: str) -> str:
    return " ".join(re.split(r"\s#", command, maxsplit=1)[0].split())


def runnable_script(code: str) -> list[str]:
    """The commands of a shell block to run here; fails on an unreviewed make command."""
    script = []
    for command in shell_commands(code):
        bare = _without_comment(command)
        if bare in NOT_RUN:
            continue
        if bare.split()[0] == "make":
            pytest.fail(f"`{bare}` is not in NOT_RUN: run it here, or list it there with the reason")
        for key, (extra, _reason) in SMALLER.items():
            if key in bare:
                bare = f"{bare} {extra}"
        script.append(bare)
    return script


def _scratch_checkout(tmp_path: Path) -> Path:
    """A directory that looks like the checkout after `make`: the sources and a .venv."""
    work = tmp_path / "checkout"
    work.mkdir()
    for entry in ROOT.iterdir():
        if entry.name.startswith((".venv", ".git")) or entry.name in ("build", "out"):
            continue
        (work / entry.name).symlink_to(entry)
    (work / ".venv").symlink_to(Path(sys.prefix))
    return work


def _environment() -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "PYTHONPATH")}
    own_bin = os.path.realpath(os.path.join(sys.prefix, "bin"))
    # As in a new shell: nothing of this environment is on PATH until the block activates it.
    env["PATH"] = os.pathsep.join(
        p for p in env.get("PATH", "").split(os.pathsep) if p and os.path.realpath(p) != own_bin
    )
    env["MPLBACKEND"] = "Agg"
    # Dask's limits on starting and connecting workers, for a loaded machine.
    env["DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT"] = "300s"
    env["DASK_DISTRIBUTED__COMM__TIMEOUTS__TCP"] = "300s"
    return env


def _check(run: subprocess.CompletedProcess, block: Block) -> None:
    assert run.returncode == 0, (
        f"README block at line {block.line} failed (exit {run.returncode}):\n"
        f"{run.stdout[-3000:]}\n{run.stderr[-5000:]}"
    )


def test_readme_has_a_fresh_checkout_command_for_the_main_job_and_for_the_tests():
    shell = [_without_comment(c) for b in BLOCKS if b.language == "sh" for c in shell_commands(b.code)]
    assert "make demo" in shell and "make test" in shell


def test_every_code_block_is_fenced_with_a_language_this_test_runs():
    text = README.read_text(encoding="utf-8")
    assert indented_code(text) == [], "indented code blocks: fence them with their language"
    unknown = [b.name for b in BLOCKS if b.language not in RUNNERS + NOT_CODE]
    assert unknown == [], "blocks whose language this test cannot run"


def test_commands_listed_as_not_run_are_still_in_the_readme():
    shell = {_without_comment(c) for b in BLOCKS if b.language == "sh" for c in shell_commands(b.code)}
    assert sorted(set(NOT_RUN) - shell) == [], "stale entries of NOT_RUN"
    text = README.read_text(encoding="utf-8")
    assert [key for key in SMALLER if key not in text] == [], "stale entries of SMALLER"


@pytest.mark.parametrize("block", [b for b in BLOCKS if b.language == "python"], ids=lambda b: b.name)
def test_python_block_runs(block: Block, tmp_path: Path):
    script = tmp_path / "example.py"
    script.write_text(block.code, encoding="utf-8")
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=_environment(),
                         capture_output=True, text=True, timeout=HANG)
    _check(run, block)


@pytest.mark.parametrize("block", [b for b in BLOCKS if b.language == "sh"], ids=lambda b: b.name)
def test_shell_block_runs(block: Block, tmp_path: Path):
    script = runnable_script(block.code)
    if not script:
        return
    if sys.prefix == sys.base_prefix:
        pytest.skip("the shell examples need the virtual environment that make sets up")
    work = _scratch_checkout(tmp_path)
    run = subprocess.run(["bash", "-c", "set -e -o pipefail\n" + "\n".join(script)], cwd=work,
                         env=_environment(), capture_output=True, text=True, timeout=HANG)
    _check(run, block)
