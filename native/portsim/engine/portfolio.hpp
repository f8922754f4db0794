// The money side of a run between its bars: holdings, cash, the return of
// each position column since its reference point, the reference prices, and
// the holdings of the last rebalance.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../base/view.hpp"
#include "book.hpp"

namespace orvane::portsim {

// Cumulative trade-price return per position column since its reference
// point, and its running maximum. The number of NaN returns is kept up to
// date, so "is any return NaN" costs nothing per holding.
class CumulativeReturns {
 public:
  explicit CumulativeReturns(std::size_t columns) : cr_(columns, 1.0), maxcr_(columns, 1.0) {}

  double cr(int sid) const noexcept { return cr_[sid]; }
  double maxcr(int sid) const noexcept { return maxcr_[sid]; }
  bool any_nan() const noexcept { return nan_count_ != 0; }

  void scale(int sid, double r) noexcept {
    set_cr(sid, cr_[sid] * r);
    if (cr_[sid] > maxcr_[sid]) maxcr_[sid] = cr_[sid];
  }
  void reset(int sid) noexcept {
    set_cr(sid, 1.0);
    maxcr_[sid] = 1.0;
  }
  void reset_all() noexcept {
    std::fill(cr_.begin(), cr_.end(), 1.0);
    std::fill(maxcr_.begin(), maxcr_.end(), 1.0);
    nan_count_ = 0;
  }

 private:
  void set_cr(int sid, double v) noexcept {
    nan_count_ += static_cast<std::ptrdiff_t>(std::isnan(v)) -
                  static_cast<std::ptrdiff_t>(std::isnan(cr_[sid]));
    cr_[sid] = v;
  }
  std::vector<double> cr_;
  std::vector<double> maxcr_;
  std::ptrdiff_t nan_count_ = 0;
};

// The reference trade price per price column, against which the next
// bar's move of a holding is measured. A rebalance sets every column to the
// trade price of its bar; that row is read lazily, a column at its first use
// after the rebalance, so a rebalance costs O(1) here rather than a pass
// over the whole (possibly strided) row.
class ReferencePrices {
 public:
  ReferencePrices() = default;
  ReferencePrices(const ArrayView2<double>* price, std::size_t columns)
      : price_(price), value_(columns, 1.0), epoch_(columns, 0) {}

  // A column outside the row raises IndexError for axis 0.
  double& at(int sidprice) {
    if (sidprice < 0 || static_cast<std::size_t>(sidprice) >= value_.size()) raise_index_error(0);
    if (epoch_[sidprice] != epoch_now_) {
      epoch_[sidprice] = epoch_now_;
      value_[sidprice] = price_->unchecked(row_, sidprice);
    }
    return value_[sidprice];
  }
  // Every column now refers to bar `row`'s trade price (NaN included).
  void reset_to_row(std::ptrdiff_t row) noexcept {
    row_ = row;
    ++epoch_now_;
  }

 private:
  const ArrayView2<double>* price_ = nullptr;
  std::vector<double> value_;
  std::vector<std::uint32_t> epoch_;
  std::uint32_t epoch_now_ = 0;
  std::ptrdiff_t row_ = 0;
};

struct Portfolio {
  PositionBook pos{0};
  double cash = 1.0;
  CumulativeReturns returns{0};
  ReferencePrices previous_price;
  // The columns held right after the last executed rebalance.
  std::vector<int> latest_rebalanced_keys;
};

}  // namespace orvane::portsim
