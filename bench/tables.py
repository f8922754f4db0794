"""Markdown tables from the JSON that ``bench/run.py --json PATH`` writes.

Usage::

    python bench/tables.py results.json
"""

from __future__ import annotations

import json
import math
import sys
from typing import Any


def _num(v: Any, digits: int = 1) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return ""
    if isinstance(v, int):
        return f"{v:,}"
    return f"{v:,.{digits}f}"


def _mb(v: Any) -> str:
    return "" if v is None else f"{v / 1048576:.1f}"


def workloads(results: list[dict]) -> str:
    lines = [
        "| workload | stocks x bars | median ms | cpu ms | ns/hold-bar | cpu ns/hold-bar | hold-bars | trades | py MB | rss MB |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for r in results:
        if r["name"].startswith("U4"):
            continue
        bars, stocks = r["shape"]
        if "ns_per_row" in r:
            lines.append(
                f"| {r['name']} | after U1 | {_num(r['median_ms'])} | {_num(r['cpu_ms'])} | "
                f"{_num(r['ns_per_row'], 0)} ns per row | {_num(r['cpu_ns_per_row'], 0)} ns per row | | "
                f"{_num(r['trades'])} rows | | |"
            )
            continue
        lines.append(
            f"| {r['name']} | {stocks}x{bars} | {_num(r['median_ms'])} | {_num(r['cpu_ms'])} | "
            f"{_num(r['ns_per_holding_bar'])} | {_num(r['cpu_ns_per_holding_bar'])} | "
            f"{_num(r['holding_bars']) if r['holding_bars'] else ''} | {_num(r['trades']) if r['trades'] else ''} | "
            f"{_mb(r['py_peak_bytes'])} | {_mb(r['rss_peak_bytes'])} |"
        )
    return "\n".join(lines)


def scaling(results: list[dict]) -> str:
    grid = {}
    for r in results:
        if r["name"].startswith("U4"):
            bars, stocks = r["shape"]
            grid[(stocks, bars)] = r["cpu_ms"]
    if not grid:
        return ""
    stocks = sorted({s for s, _ in grid})
    bars = sorted({t for _, t in grid})
    lines = ["| bars \\ stocks | " + " | ".join(f"{s:,}" for s in stocks) + " |"]
    lines.append("| --- | " + " | ".join("---:" for _ in stocks) + " |")
    for t in bars:
        lines.append(f"| {t:,} | " + " | ".join(_num(grid.get((s, t))) for s in stocks) + " |")
    return "\n".join(lines)


def peer(results: list[dict]) -> str:
    out = []
    for r in results:
        if "equal" in r:
            out.append(
                f"- {r['name']}: equality {'PASS' if r['equal'] else 'FAIL'} "
                f"(max relative difference {r['max_rel']:.3g}); first call {r['first_call_s']:.1f} s"
                + (f"; ratio {r['ratio']:.1f}x wall, {r['cpu_ratio']:.1f}x CPU" if "ratio" in r else "")
            )
    return "\n".join(out)


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__)
        return 2
    with open(argv[0]) as f:
        data = json.load(f)
    print(f"Machine: {data['machine']}\n")
    print(workloads(data["results"]))
    print()
    print(scaling(data["results"]))
    print()
    print(peer(data["results"]))
    for n in data.get("notes", []):
        print(f"\nnote: {n}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
