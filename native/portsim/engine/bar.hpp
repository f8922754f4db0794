// The bar being simulated: its index and its row of each price matrix.
#pragma once

#include <cstddef>

#include "../../base/view.hpp"

namespace orvane::portsim {

// One bar of a price matrix: the row is located once per bar, and an element
// inside it is read directly; any other column goes through the checked
// access of the matrix, which raises IndexError naming the axis out of
// range.
class BarRow {
 public:
  BarRow() = default;
  BarRow(const ArrayView2<double>& matrix, std::ptrdiff_t d)
      : matrix_(&matrix),
        d_(d),
        row_(d >= 0 && d < matrix.rows() ? matrix.row(d) : Row(nullptr, 0, 0)) {}

  double operator[](int sidprice) const {
    if (sidprice >= 0 && sidprice < row_.size()) return row_.unchecked(sidprice);
    return (*matrix_)(d_, sidprice);
  }

 private:
  using Row = ArrayView2<double>::Row;
  const ArrayView2<double>* matrix_ = nullptr;
  std::ptrdiff_t d_ = 0;
  Row row_{nullptr, 0, 0};
};

// The price matrices of a run, read in place.
struct Prices {
  ArrayView2<double> price, close, high, low, open;
};

struct Bar {
  std::ptrdiff_t d = 0;
  BarRow price, close, high, low, open;

  // Bar d of `prices`; the high, low and open rows only when `intrabar`
  // (only the intrabar exit test reads them).
  void move_to(const Prices& prices, std::ptrdiff_t bar, bool intrabar) {
    d = bar;
    price = BarRow(prices.price, bar);
    close = BarRow(prices.close, bar);
    if (intrabar) {
      high = BarRow(prices.high, bar);
      low = BarRow(prices.low, bar);
      open = BarRow(prices.open, bar);
    }
  }
};

}  // namespace orvane::portsim
