// pos2price: which price column holds the prices of each position column.
#pragma once

#include <cstddef>
#include <map>
#include <vector>

namespace orvane::portsim {

// For each position column the price column of the same name, or
// kNoPriceColumn (python/columns.hpp builds it from the names).
struct ColumnMap {
  static constexpr int kNoPriceColumn = -1;
  std::vector<int> price_of;  // indexed by position column

  int operator()(int sid) const noexcept {
    return sid >= 0 && static_cast<std::size_t>(sid) < price_of.size() ? price_of[sid]
                                                                       : kNoPriceColumn;
  }
  // The ordered map form handed to the trade recorder: mapped columns only.
  std::map<int, int> to_map() const {
    std::map<int, int> out;
    for (std::size_t sid = 0; sid < price_of.size(); ++sid)
      if (price_of[sid] != kNoPriceColumn)
        out.emplace_hint(out.end(), static_cast<int>(sid), price_of[sid]);
    return out;
  }
};

}  // namespace orvane::portsim
