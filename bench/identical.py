"""Fingerprints of every result of the benchmark workloads, to prove that an
optimisation of the engine leaves them bit-identical.

Usage::

    python bench/identical.py save before.json      # with the old engine
    python bench/identical.py save after.json       # with the new engine
    python bench/identical.py compare before.json after.json

A fingerprint is a SHA-256 over the exact bytes of ``creturn``, the trade rows,
the trade weights, every excursion array, the stock-operations report and the
trade ledger, per workload (U1, U2, U3 and the peer job).
"""

from __future__ import annotations

import hashlib
import json
import os
import struct
import sys

import numpy as np

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from bench import run as R
    from bench import universe as U
else:
    from . import run as R
    from . import universe as U

WORKLOADS = {
    "U1": (lambda: U.u1(), "close"),
    "U2": (lambda: U.u2(), "intrabar"),
    "U3": (lambda: U.u3(), "close"),
    "PEER": (lambda: U.u1(nan_fraction=0.0), "peer"),
}


def _feed(h: "hashlib._Hash", obj: object) -> None:
    """Hash `obj` by type and exact value (floats by their bits)."""
    if isinstance(obj, np.ndarray):
        h.update(f"nd{obj.dtype.str}{obj.shape}".encode())
        h.update(np.ascontiguousarray(obj).tobytes())
    elif isinstance(obj, (float, np.floating)):
        h.update(b"f" + struct.pack("<d", float(obj)))
    elif isinstance(obj, (bool, np.bool_)):
        h.update(b"b1" if obj else b"b0")
    elif isinstance(obj, (int, np.integer)):
        h.update(f"i{int(obj)};".encode())
    elif isinstance(obj, str):
        h.update(b"s" + obj.encode() + b";")
    elif isinstance(obj, dict):
        h.update(f"d{len(obj)}".encode())
        for k, v in obj.items():
            _feed(h, k)
            _feed(h, v)
    elif isinstance(obj, (list, tuple)):
        h.update(f"l{len(obj)}".encode())
        for v in obj:
            _feed(h, v)
    elif obj is None:
        h.update(b"N")
    else:
        h.update(b"r" + repr(obj).encode())


def fingerprint(name: str) -> dict[str, str]:
    from orvane.core import excursion, portsim

    build, mode = WORKLOADS[name]
    u = build()
    args, kw = R.backtest_args(u, mode)
    creturn = portsim.backtest_(*args, **kw)
    out = {}
    for key, value in [
        ("creturn", creturn),
        ("pos_values_after", args[7]),
        ("trades", excursion.trades),
        ("trade_positions", excursion.trade_positions),
        ("excursion", excursion.excursion),
        ("stock_operations", portsim.get_stock_operations()),
        ("trade_ledger", portsim.get_trade_ledger()),
    ]:
        h = hashlib.sha256()
        _feed(h, value)
        out[key] = h.hexdigest()
    out["count"] = str(len(excursion.trades))
    return out


def main(argv: list[str]) -> int:
    if len(argv) >= 2 and argv[0] == "save":
        names = argv[2:] or list(WORKLOADS)
        result = {n: fingerprint(n) for n in names}
        with open(argv[1], "w") as f:
            json.dump(result, f, indent=1)
        for n, fp in result.items():
            print(n, fp["count"], "trades", fp["creturn"][:16])
        return 0
    if len(argv) == 3 and argv[0] == "compare":
        with open(argv[1]) as f:
            a = json.load(f)
        with open(argv[2]) as f:
            b = json.load(f)
        same = True
        for n in sorted(set(a) | set(b)):
            diff = [k for k in sorted(set(a.get(n, {})) | set(b.get(n, {}))) if a.get(n, {}).get(k) != b.get(n, {}).get(k)]
            print(f"{n}: {'identical' if not diff else 'DIFFERENT in ' + ', '.join(diff)}")
            same = same and not diff
        return 0 if same else 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
