"""A slow, plain-Python model of the excursion statistics of one trade.

It follows the same order of floating-point operations as the native code, so
its results must match bit for bit. It covers valid settings only
(``window >= 0``, ``window_step >= 1``, no zero prices).
"""

from __future__ import annotations

import math

import numpy as np


def excursion_model(
    price: np.ndarray,
    close: np.ndarray,
    pos2price: dict[int, int],
    sid: int,
    i_entry: int,
    i_exit: int,
    is_long: bool,
    entry_transaction: bool,
    exit_transaction: bool,
    window: int,
    window_step: int,
    fee_ratio: float,
    tax_ratio: float,
) -> np.ndarray:
    pid = pos2price.get(sid, 0)
    i_exit_max = max(i_exit, i_entry + window)
    i_exit_max = min(i_exit_max, len(price) - 1)
    assert i_exit_max >= i_entry

    entry_price = float(price[i_entry][pid])
    entry_close = float(close[i_entry][pid])
    r = entry_close / entry_price if is_long else 2 - entry_close / entry_price
    if entry_transaction:
        r = (1 - fee_ratio) * r
    returns = [r]
    cummax = [1.0 if 1 > r else r]
    cummin = [1.0 if r > 1 else r]
    cummin_i = [0]
    mdd = [r - 1 if r - 1 < 0 else 0.0]
    profit = [1.0 if r > 1 else 0.0]

    pv = entry_close
    for k, ith in enumerate(range(i_entry + 1, i_exit_max + 1), start=1):
        p = float(close[ith][pid])
        if not math.isnan(p):
            v = p / pv
            if not math.isnan(v):
                r = r * v if is_long else 2 - v * (2 - r)
            pv = p
        cmax, cmin = cummax[-1], cummin[-1]
        if r > cmax:
            cmax = r
        cummax.append(cmax)
        if cmin > r:
            cummin.append(r)
            cummin_i.append(k)
        else:
            cummin.append(cmin)
            cummin_i.append(cummin_i[-1])
        newmdd = r / cmax - 1
        mdd.append(newmdd if mdd[-1] > newmdd else mdd[-1])
        profit.append(profit[-1] + (1 if 1 < r else 0))
        returns.append(r)

    if exit_transaction:
        if i_entry != i_exit_max:
            q = float(price[i_exit_max][pid])
            c = float(close[i_exit_max][pid])
            last = returns[-1]
            returns[-1] = q / c * last if is_long else 2 - (2 - last) * q / c
        returns[-1] = (1 - fee_ratio - tax_ratio) * returns[-1]

    def block(w: int) -> list[float]:
        return [cummin[w] - 1, cummax[w] - 1, cummax[cummin_i[w]] - 1, mdd[w], profit[w], returns[w] - 1]

    size = len(returns)
    arsize = 6 * ((window - 1) // window_step) + 12
    ret = [-1.0] * arsize
    for n, w in enumerate(range(0, min(size, window), window_step)):
        ret[6 * n : 6 * n + 6] = block(w)
    held = i_exit - i_entry
    ret[arsize - 6 :] = block(size - 1 if held < 0 else min(size - 1, held))
    return np.array(ret, dtype=np.float64)
