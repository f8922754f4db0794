// The rebalance schedule of a run: on which bars a rebalance may be decided,
// which weight row is in force, and whether the next bar trades it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../base/view.hpp"

namespace orvane::portsim {

struct Schedule {
  ArrayView2<double> pos_values;
  ArrayView1<std::int64_t> price_index;
  ArrayView1<std::int64_t> pos_index;
  // Non-zero on the bars on which a rebalance may be decided.
  std::vector<std::uint8_t> date_rebalance;
  // The newest weight row taken up.
  std::ptrdiff_t pos_id = 0;
  // The row of the last executed rebalance; -1 before the first.
  std::ptrdiff_t current_position_id = -1;
  // The current bar executes row pos_id (decided at the previous close).
  bool should_rebalance = false;
};

// Each resample date marks the last bar dated on or before it (a date
// before the first bar marks the first bar); the cursor only moves forward.
std::vector<std::uint8_t> rebalance_marks(const ArrayView1<std::int64_t>& price_index,
                                          const ArrayView1<std::int64_t>& resample);

// At the close of bar d: takes up the newest row dated strictly before the
// next bar (on the last bar, the newest row of all); a marked bar with a row
// not yet executed trades it on the next bar.
void decide_next_bar(Schedule& schedule, std::ptrdiff_t d);

}  // namespace orvane::portsim
