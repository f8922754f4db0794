// One back-test run: its inputs, its state, and the bar loop.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "../py/array.hpp"
#include "../py/ref.hpp"
#include "book.hpp"
#include "columns.hpp"
#include "recorder.hpp"

namespace orvane::portsim {

// The arguments of backtest_ after the binding layer checked and converted
// them. The array objects are borrowed from the call.
struct RunArgs {
  PyObject* price_values;
  PyObject* close_values;
  PyObject* high_values;
  PyObject* low_values;
  PyObject* open_values;
  PyObject* price_index;
  PyObject* price_columns;
  PyObject* pos_values;
  PyObject* pos_index;
  PyObject* pos_columns;
  PyObject* resample;
  double fee_ratio;
  double tax_ratio;
  double stop_loss;
  double take_profit;
  double trail_stop;
  bool touched_exit;
  double position_limit;
  bool retain_cost_when_rebalance;
  PyObject* stop_trading_next_period;
  int excursion_window;
  int excursion_window_step;
  bool periodically_rebalance;
};

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

// One bar of a price matrix: the row is located once per bar, and an element
// inside it is read directly; any other index goes through the checked
// access, which raises as an element access of the matrix would.
class BarRow {
 public:
  BarRow() = default;
  BarRow(const py::ArrayView2<double>& matrix, Py_ssize_t d)
      : matrix_(&matrix),
        d_(d),
        row_(d >= 0 && d < matrix.rows() ? matrix.row(d) : Row(nullptr, 0, 0)) {}

  double operator[](int sidprice) const {
    if (sidprice >= 0 && sidprice < row_.size()) return row_.unchecked(sidprice);
    return (*matrix_)(d_, sidprice);
  }

 private:
  using Row = py::ArrayView2<double>::Row;
  const py::ArrayView2<double>* matrix_ = nullptr;
  Py_ssize_t d_ = 0;
  Row row_{nullptr, 0, 0};
};

// The reference trade price per price column, against which the next
// bar's move of a holding is measured. A rebalance sets every column to the
// trade price of its bar; that row is read lazily, a column at its first use
// after the rebalance, so a rebalance costs O(1) here rather than a pass
// over the whole (possibly strided) row.
class ReferencePrices {
 public:
  ReferencePrices() = default;
  ReferencePrices(const py::ArrayView2<double>* price, std::size_t columns)
      : price_(price), value_(columns, 1.0), epoch_(columns, 0) {}

  // Checked like an array of the row's length.
  double& at(int sidprice) {
    if (sidprice < 0 || static_cast<std::size_t>(sidprice) >= value_.size())
      py::raise_index_error(0);
    if (epoch_[sidprice] != epoch_now_) {
      epoch_[sidprice] = epoch_now_;
      value_[sidprice] = price_->unchecked(row_, sidprice);
    }
    return value_[sidprice];
  }
  // Every column now refers to bar `row`'s trade price (NaN included).
  void reset_to_row(Py_ssize_t row) noexcept {
    row_ = row;
    ++epoch_now_;
  }

 private:
  const py::ArrayView2<double>* price_ = nullptr;
  std::vector<double> value_;
  std::vector<std::uint32_t> epoch_;
  std::uint32_t epoch_now_ = 0;
  Py_ssize_t row_ = 0;
};

// An exit of the exit rules: the column, signed by the bound it reached (+
// upper, - lower; column 0 carries no sign), and the rule behind that bound.
struct ExitMark {
  int sid;
  ExitReason rule;
};

// Everything a run reads and changes between its set-up and its end.
struct Run {
  Run(const RunArgs& args, const Recorder& recorder);

  const RunArgs& args;
  const Recorder& recorder;
  TradeRules rules;

  py::ArrayView2<double> price, close, high, low, open, pos_values;
  py::ArrayView1<std::int64_t> price_index, pos_index, resample;
  py::ArrayView1<PyObject*> pos_columns;

  ColumnMap pos2price;
  Py_ssize_t bars = 0;
  PositionBook pos{0};
  std::vector<int> latest_rebalanced_keys;
  double cash = 1.0;
  CumulativeReturns returns{0};
  ReferencePrices previous_price;
  std::vector<ExitMark> exit_stocks, exit_stocks_temp, exited_stocks;
  // Position columns that a weight row may not give a non-zero target,
  // since no price column carries their name.
  std::vector<int> unpriced_columns;
  double stop_loss_abs, take_profit_abs, trail_stop_abs;
  std::vector<std::uint8_t> date_rebalance;
  py::Ref creturn;
  double* creturn_data = nullptr;
  Py_ssize_t pos_id = 0;
  Py_ssize_t current_position_id = -1;
  bool should_rebalance = false;
  Py_ssize_t d = 0;
  // The current bar of each price matrix.
  BarRow bar_price, bar_close, bar_high, bar_low, bar_open;
  TradeLedger ledger;

  // The truth of stop_trading_next_period, tested anew wherever it is read.
  bool stop_trading_next_period() const;
  // The price column of a held position column.
  int price_column(int sid) const;
};

// Runs a whole back-test and returns creturn. `stock_operations` is the
// module's report slot and `ledger` its trade ledger; both are replaced when
// the run reaches its end.
py::Ref run_backtest(const RunArgs& args, const Recorder& recorder, PyObject*& stock_operations,
                     LedgerRows& ledger);

}  // namespace orvane::portsim
