"""Run a small workload of every native module under valgrind's memcheck and
fail on any definite leak or memory error attributable to orvane's modules.

    python tests/memcheck.py            # runs valgrind, parses its report
    python tests/memcheck.py --workload # the workload itself (what valgrind runs)

The interpreter runs with PYTHONMALLOC=malloc so that every object is a
malloc block valgrind can follow. The interpreter and NumPy keep many blocks
alive until exit by design; rather than maintain a suppression list for them,
the report is filtered: a leak or error counts only when a frame of its
allocation (or access) stack lies in one of orvane's extension modules.
"""

from __future__ import annotations

import io
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from contextlib import redirect_stdout
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUR_MODULES = ("orvane/core/portsim", "orvane/core/excursion", "orvane/core/strutil",
               "orvane/core/_recorder_probe")
ROUNDS = int(os.environ.get("ORVANE_MEMCHECK_ROUNDS", "40"))


def workload() -> None:
    sys.path.insert(0, str(HERE))
    import numpy as np

    from orvane.core import _recorder_probe as probe
    from orvane.core import excursion, portsim, strutil

    import test_leaks

    base = test_leaks.good_inputs()
    variants = test_leaks.failing_variants(base)
    price = np.array([[10.0, 5.0], [11.0, 0.0], [12.0, 6.0], [9.0, 7.0]])
    with redirect_stdout(io.StringIO()):
        for _ in range(ROUNDS):
            portsim.backtest_(**base)
            portsim.get_trade_stocks(base["pos_columns"], base["price_index"], True)
            portsim.get_stock_operations()
            portsim.get_trade_ledger()
            for kw in variants:
                try:
                    portsim.backtest_(**kw)
                except Exception:
                    pass
            for bad_cols in (base["pos_columns"][:1], None):
                try:
                    portsim.get_trade_stocks(bad_cols, base["price_index"], False)
                except (IndexError, TypeError):
                    pass
            for weights in ({1: 0.7, 2: -0.6}, {1: "x"}, None):
                try:
                    portsim.normalize_weight(weights, 0.5)
                except (TypeError, AttributeError):
                    pass
            portsim.ioft(1_500_000_000)
            for text in ("abc\u4e2d", None, b"x"):
                try:
                    strutil.str_to_bytearray(text)
                except TypeError:
                    pass
            probe.start_analysis(price, price, {0: 0, 1: 1}, 2, 0.001, 0.003, 3, 2)
            for op in ((probe.record_date, 0), (probe.record_entry, 0, 0.5, 1),
                       (probe.record_entry, 1, -0.5, 1), (probe.record_date, 2),
                       (probe.record_exit, 0, 1), (probe.record_exit, 1, 1),
                       (probe.record_entry, 5, 0.5, 1), (probe.end_analysis, {0: 1.0, 1: 1.0})):
                try:
                    op[0](*op[1:])
                except (IndexError, ZeroDivisionError):
                    pass
            try:
                probe.start_analysis([[1.0]], price, {}, 1, 0.0, 0.0, 0, 1)
            except TypeError:
                pass
        assert len(excursion.trades) == len(excursion.trade_positions)


def _ours(stack: ET.Element | None) -> list[str]:
    frames = []
    if stack is None:
        return frames
    for frame in stack.findall("frame"):
        obj = frame.findtext("obj") or ""
        if any(m in obj for m in OUR_MODULES):
            frames.append(f"{frame.findtext('fn') or '?'} ({Path(obj).name})")
    return frames


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        xml_file = Path(tmp) / "memcheck.xml"
        env = dict(os.environ, PYTHONMALLOC="malloc")
        cmd = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
               "--errors-for-leak-kinds=definite", "--num-callers=40", "--xml=yes",
               f"--xml-file={xml_file}", sys.executable, str(Path(__file__).resolve()), "--workload"]
        print("running:", " ".join(cmd), flush=True)
        run = subprocess.run(cmd, env=env)
        if run.returncode != 0:
            print(f"the workload failed under valgrind (exit {run.returncode})")
            return 1
        root = ET.parse(xml_file).getroot()
    problems, leaked_elsewhere, elsewhere = [], 0, {}
    for error in root.findall("error"):
        kind = error.findtext("kind") or ""
        frames = _ours(error.find("stack"))
        if kind.startswith("Leak_"):
            if kind != "Leak_DefinitelyLost":
                continue
            if not frames:
                leaked_elsewhere += 1
                continue
        elif not frames:
            # Reports inside the interpreter or NumPy (valgrind flags some
            # of their optimised reads) are not ours to fix; they are counted.
            elsewhere[kind] = elsewhere.get(kind, 0) + 1
            continue
        what = error.findtext("what") or error.findtext("xwhat/text") or ""
        problems.append(f"{kind}: {what.strip()}\n    at " + "\n    at ".join(frames[:6]))
    print(f"outside orvane's modules (interpreter, NumPy): {leaked_elsewhere} definitely lost "
          f"records, other reports {elsewhere or 'none'}")
    if problems:
        print(f"{len(problems)} problem(s) in orvane's modules:")
        for p in problems:
            print(p)
        return 1
    print("no definite leak and no memory error in orvane's modules")
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--workload"]:
        workload()
    else:
        sys.exit(main())
