#include "schedule.hpp"

namespace orvane::portsim {

std::vector<std::uint8_t> rebalance_marks(const ArrayView1<std::int64_t>& price_index,
                                          const ArrayView1<std::int64_t>& resample) {
  const std::ptrdiff_t bars = price_index.size();
  std::vector<std::uint8_t> marks(static_cast<std::size_t>(bars), 0);
  std::ptrdiff_t ptr = 0;
  for (std::ptrdiff_t i = 0; i < resample.size(); ++i) {
    const std::int64_t t = resample.unchecked(i);
    while (ptr + 1 < bars && price_index[ptr + 1] <= t) ++ptr;
    if (ptr >= bars) raise_index_error(0);
    marks[static_cast<std::size_t>(ptr)] = 1;
  }
  return marks;
}

void decide_next_bar(Schedule& s, std::ptrdiff_t d) {
  const std::ptrdiff_t bars = s.price_index.size();
  const std::ptrdiff_t last_row = s.pos_index.size() - 1;
  if (d < bars - 1) {
    const std::int64_t next_bar = s.price_index.unchecked(d + 1);
    while (s.pos_id < last_row && s.pos_index[s.pos_id + 1] < next_bar) ++s.pos_id;
  } else if (s.pos_id < last_row) {
    s.pos_id = last_row;
  }
  s.should_rebalance =
      s.current_position_id != s.pos_id && s.date_rebalance[static_cast<std::size_t>(d)] != 0;
}

}  // namespace orvane::portsim
