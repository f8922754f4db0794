"""Parameter grids: their combinations, which names go where, and how they are cut into tasks."""

from __future__ import annotations

import inspect
import itertools
import math
from typing import Any, Iterable, Mapping, Optional, Union

from ..simulate import backtest

__all__ = ["BACKTEST_OPTIONS", "RESERVED", "expand_grid", "route", "batches", "cache_key"]

# Keyword options of orvane.backtest that a grid or ``options`` may set.
BACKTEST_OPTIONS = tuple(
    name for name in inspect.signature(backtest).parameters if name not in ("position", "prices")
)

# Columns the sweep adds itself; parameters may not use these names.
RESERVED = ("error", "report")

_BATCHES_PER_WORKER = 16
_MAX_BATCH = 64


def _check_grid_value(name: str, values: Any) -> list:
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        return [values]
    if isinstance(values, (set, frozenset)):
        raise TypeError(f"grid values of {name!r} are a set, which has no defined order; use a list")
    if isinstance(values, Mapping):
        raise TypeError(f"grid values of {name!r} are a mapping; use a list of values")
    return list(values)


def expand_grid(grid: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]]) -> list[dict]:
    """The parameter combinations of a grid, in the order a sweep runs and reports them.

    Parameters
    ----------
    grid : mapping or iterable of mappings
        A mapping of parameter name to a list of values gives the Cartesian
        product of the lists, the last name varying fastest (like nested
        loops written in the mapping's order).  A single value that is not a
        list (a number, a string) counts as a one-value list.  An iterable of
        mappings gives exactly those combinations, in its order.

    Returns
    -------
    list of dict
    """
    if isinstance(grid, Mapping):
        names = list(grid)
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"grid parameter names must be strings, got {name!r}")
        lists = [_check_grid_value(name, grid[name]) for name in names]
        return [dict(zip(names, values)) for values in itertools.product(*lists)]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError(
            f"grid must be a mapping of names to value lists or an iterable of dicts, got {type(grid).__name__}"
        )
    combos = []
    for i, combo in enumerate(grid):
        if not isinstance(combo, Mapping):
            raise TypeError(f"grid entry {i} must be a mapping of parameter names to values, got {type(combo).__name__}")
        for name in combo:
            if not isinstance(name, str):
                raise TypeError(f"grid entry {i} has a parameter name that is not a string: {name!r}")
        combos.append(dict(combo))
    return combos


def cache_key(params: Mapping[str, Any]) -> Any:
    """A hashable key of strategy parameters, or None when a value is unhashable.

    Types are part of the key: 1, 1.0 and True are equal but may build different positions.
    """
    key = tuple((name, type(value), value) for name, value in sorted(params.items()))
    try:
        hash(key)
    except TypeError:
        return None
    return key


def route(
    names: Iterable[str], strategy_is_callable: bool, strategy: Any, strategy_keys: Optional[Iterable[str]]
) -> frozenset:
    """The names that go to the strategy callable; every other name is a backtest option."""
    names = list(dict.fromkeys(names))
    for name in names:
        if name in RESERVED:
            raise ValueError(f"{name!r} cannot be a parameter name: the sweep uses it as a column")
        if name in ("position", "prices"):
            raise ValueError(f"{name!r} cannot be swept: it is the data of the sweep")
    if strategy_keys is not None:
        if isinstance(strategy_keys, str):
            strategy_keys = [strategy_keys]
        to_strategy = frozenset(strategy_keys)
        if not strategy_is_callable and to_strategy:
            raise ValueError("strategy_keys needs a strategy callable")
    else:
        to_strategy = frozenset(n for n in names if n not in BACKTEST_OPTIONS)
    if not strategy_is_callable:
        unknown = [n for n in names if n not in BACKTEST_OPTIONS]
        if unknown:
            raise ValueError(
                f"unknown backtest options in the grid: {unknown}; with a fixed position table every "
                f"parameter must be one of {list(BACKTEST_OPTIONS)} (pass a strategy callable for others)"
            )
        return frozenset()
    try:
        signature = inspect.signature(strategy)
    except (TypeError, ValueError):
        return to_strategy
    params = signature.parameters
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in params.values()):
        return to_strategy
    accepted = {n for n, p in params.items() if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    refused = sorted(n for n in to_strategy if n not in accepted)
    if refused:
        raise ValueError(
            f"the strategy does not accept the parameters {refused} (they are not backtest options either)"
        )
    return to_strategy


def batches(
    combos: list[dict], strategy_keys: frozenset, batch_size: Optional[int], workers: int
) -> list[list[tuple[int, dict]]]:
    """Cut the combinations into batches, those with equal strategy parameters side by side."""
    n = len(combos)
    if batch_size is None:
        batch_size = min(max(math.ceil(n / (workers * _BATCHES_PER_WORKER)), 1), _MAX_BATCH)
    elif isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive integer, got {batch_size!r}")
    order = list(range(n))
    if strategy_keys:
        groups: dict[Any, int] = {}
        rank = []
        for i, combo in enumerate(combos):
            key = cache_key({k: v for k, v in combo.items() if k in strategy_keys})
            rank.append(groups.setdefault(key, len(groups)) if key is not None else len(groups) + i)
        order.sort(key=lambda i: rank[i])
    return [[(i, combos[i]) for i in order[lo:lo + batch_size]] for lo in range(0, n, batch_size)]
