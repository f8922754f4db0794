// Matching position columns to price columns by name.
#pragma once

#include <Python.h>

#include <map>
#include <vector>

namespace orvane::portsim {

// pos2price: for each position column the price column of the same name, or
// kNoPriceColumn.
struct ColumnMap {
  static constexpr int kNoPriceColumn = -1;
  std::vector<int> price_of;  // indexed by position column

  int operator()(int sid) const noexcept {
    return sid >= 0 && static_cast<std::size_t>(sid) < price_of.size() ? price_of[sid]
                                                                       : kNoPriceColumn;
  }
  // The ordered map form handed to the trade recorder.
  std::map<int, int> to_map() const;
};

// Names match when their UTF-8 encodings are equal byte for byte; a price
// name that occurs twice maps to its last occurrence.
ColumnMap map_columns(PyObject* price_columns, PyObject* pos_columns);

}  // namespace orvane::portsim
