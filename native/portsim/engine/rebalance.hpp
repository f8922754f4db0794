// Moving the whole position book to a row of target weights.
#pragma once

#include "../../base/view.hpp"
#include "book.hpp"

namespace orvane::portsim {

using WeightRow = ArrayView2<double>::Row;

// Trades every column of `newp` (in ascending order) to its weight of the
// portfolio value before the pass, scaled down when the gross weight exceeds
// 1 and capped at `position_limit`. Returns the cash after the pass.
double rebalance(PositionBook& p, const WeightRow& newp, double cash, const Trading& trading,
                 double position_limit);

}  // namespace orvane::portsim
