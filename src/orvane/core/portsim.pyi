"""Back-test engine: simulates a portfolio bar by bar on NumPy price matrices."""

import datetime as _datetime
import types
from typing import Any, MutableMapping, SupportsFloat, SupportsIndex, SupportsInt, TypeVar

import numpy as np
import numpy.typing as npt

RETAIN_COST_WHEN_REBALANCE: bool
RESAMPLE: bool | None
org_np: types.ModuleType
excursion: types.ModuleType
datetime: types.ModuleType

_Float2D = npt.NDArray[np.float64]
_Dates = npt.NDArray[np.int64]
_Names = npt.NDArray[np.object_]
_W = TypeVar("_W", bound=MutableMapping[Any, Any])

def get_stock_operations() -> dict[str, Any]:
    """Shallow copy of the report of the last run: "actions", "weights",
    "next_weights", "weight_time", "next_weight_time"."""

def normalize_weight(weights: _W, position_limit: Any) -> _W:
    """Scale weights down to an absolute sum of 1 when it exceeds 1, then clip
    each to [-position_limit, position_limit]; in place, returns `weights`."""

def ioft(v: Any) -> _datetime.datetime:
    """Local naive datetime of a date in nanoseconds since the epoch."""

def backtest_(
    price_values: _Float2D | None,
    close_values: _Float2D | None,
    high_values: _Float2D | None,
    low_values: _Float2D | None,
    open_values: _Float2D | None,
    price_index: _Dates | None,
    price_columns: _Names | None,
    pos_values: _Float2D | None,
    pos_index: _Dates | None,
    pos_columns: _Names | None,
    resample: _Dates | None,
    fee_ratio: SupportsFloat | SupportsIndex = 0.001425,
    tax_ratio: SupportsFloat | SupportsIndex = 0.003,
    stop_loss: SupportsFloat | SupportsIndex = 1.0,
    take_profit: SupportsFloat | SupportsIndex = ...,
    trail_stop: SupportsFloat | SupportsIndex = ...,
    touched_exit: object = False,
    position_limit: SupportsFloat | SupportsIndex = 1.0,
    retain_cost_when_rebalance: object = False,
    stop_trading_next_period: object = True,
    excursion_window: SupportsInt = 0,
    excursion_window_step: SupportsInt = 1,
    periodically_rebalance: object = True,
) -> npt.NDArray[np.float64]:
    """Simulate the portfolio and return its value at every bar's close.

    Parameters
    ----------
    price_values, close_values, high_values, low_values, open_values
        Bar x price-column matrices: trade price, close, and the bar range
        used by intrabar exits.
    price_index
        Date of every bar (ns since the epoch), ascending.
    price_columns, pos_columns
        Column names; position columns find their prices by name.
    pos_values, pos_index
        Target weight rows and their dates; a row dated before a bar is
        traded on it when the bar after a marked rebalance bar comes.
    resample
        Dates on which a rebalance may be decided.
    fee_ratio, tax_ratio
        Fee on every trade; tax on reductions and closes.
    stop_loss, take_profit, trail_stop
        Exit thresholds on the cumulative return of a holding.
    touched_exit
        Test exits inside the bar (high, low, open) instead of at the close.
    position_limit
        Largest absolute weight of one stock.
    retain_cost_when_rebalance
        Keep a held stock's stop reference across rebalances.
    stop_trading_next_period
        Do not buy back at the next rebalance what an exit rule sold; the
        row of the caller's `pos_values` is zeroed for such stocks.
    excursion_window, excursion_window_step
        Horizon and sampling step of the excursion paths.
    periodically_rebalance
        Split continuing holdings into new trades at every rebalance.

    Returns
    -------
    numpy.ndarray
        Portfolio value per bar, starting capital 1.0.
    """

def get_trade_ledger() -> dict[str, npt.NDArray[Any]]:
    """Money ledger of the last completed run (a failed run keeps the previous
    one; before any run every array is empty).

    The first eight arrays have one element per trade, parallel to
    ``excursion.trades``: trades closed during the run in the order they
    closed, then the trades still open at the end in column order.

    Returns
    -------
    dict
        ``"entry_price"`` (float64): trade price the trade (or the piece
        after a split) was entered at, as the book values it; a missing
        price means the first valid one after it.
        ``"exit_price"`` (float64): the bar's trade price for rebalance
        sales, splits, flips and close-mode exits; the bound's price or the
        open for intrabar exits; the last close for a trade still open. A
        missing price is the last valid one.
        ``"exit_value"`` (float64): signed money value of the holding that
        closes, before costs (its value at the last close for a trade still
        open, so the open rows give the book at the end).
        ``"invested"`` (float64): absolute money value of the entry trade
        (of the holding's target for a piece started by a split), plus every
        enlargement.
        ``"pnl"`` (float64): money profit or loss after every fee and tax the
        book charged to the trade; the values over all trades add up to
        ``creturn[-1] - 1``.
        ``"costs"`` (float64): fee and tax money charged to the trade.
        ``"exit_reason"`` (int8): 0 open at the end, 1 closed by a rebalance
        (a change of side included), 2 split (the holding goes on as the
        next piece), 3 stop loss, 4 take profit, 5 trailing stop.
        ``"position_id"`` (int64): pieces of one continuing holding share an
        id; every real entry starts a new one (from 0, in order of entry).
        ``"traded"`` (float64, one element per bar): absolute money traded on
        the bar.
        ``"held"`` (float64, one element per bar): absolute value of all
        holdings (longs and shorts) at the bar's close, each valued as the
        portfolio's close value values it; 0 before the first weight row.
    """

def get_trade_stocks(
    pos_columns: _Names | None, price_index: _Dates | None, touched_exit: object
) -> tuple[list[list[Any]], dict[str, Any]]:
    """Trades of the last run as rows [name, entry date, exit date or -1,
    date before entry, exit decision date or -1, weight, bars held, entry
    bar, exit bar or -1], with the module's own report dict."""
