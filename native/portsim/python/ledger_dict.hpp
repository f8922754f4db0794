// The trade ledger of a run as Python sees it: a dict of NumPy arrays.
#pragma once

#include "../../py/ref.hpp"
#include "../engine/ledger.hpp"

namespace orvane::portsim {

// A dict of new arrays, one per column of the rows ("entry_price",
// "exit_price", "exit_value", "invested", "pnl", "costs", "exit_reason",
// "position_id"), and "traded", the money traded per bar.
py::Ref ledger_dict(const LedgerRows& ledger);

}  // namespace orvane::portsim
