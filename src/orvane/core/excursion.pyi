"""Trade recorder of the back-test engine.

The engine drives it through the native entry points in ``_capi``; after a
run the three lists hold the trades of that run, in the same order.
"""

from types import ModuleType
from typing import Any

import numpy as np
import numpy.typing as npt

org_np: ModuleType
#: One row per trade: [position column, entry bar (np.int64), exit bar or -1].
trades: list[list[Any]]
#: The position weight given at each trade's entry; positive is long.
trade_positions: list[np.float64]
#: Per trade: sampled excursion blocks of six values, then the summary block.
excursion: list[npt.NDArray[np.float64]]
#: Entry name -> capsule named by the entry's exact signature text.
_capi: dict[str, Any]
