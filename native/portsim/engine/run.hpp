// One back-test run: what it is given, the bar loop, and what it leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "../../base/view.hpp"
#include "book.hpp"
#include "caller.hpp"
#include "columns.hpp"
#include "exits.hpp"
#include "ledger.hpp"

namespace orvane::portsim {

// The scalar options of backtest_, converted.
struct RunOptions {
  double fee_ratio;
  double tax_ratio;
  double stop_loss;
  double take_profit;
  double trail_stop;
  bool touched_exit;
  double position_limit;
  bool retain_cost_when_rebalance;
  int excursion_window;
  int excursion_window_step;
  bool periodically_rebalance;
};

// The arrays of a run, read in place. A price matrix the caller left out is
// an empty view (any access to it fails), except that the trade prices and
// the weights must be there to size the run: for them an absent matrix is
// told apart, and fails the run at its set-up.
struct RunInputs {
  std::optional<ArrayView2<double>> price_values;
  ArrayView2<double> close_values;
  ArrayView2<double> high_values;
  ArrayView2<double> low_values;
  ArrayView2<double> open_values;
  ArrayView1<std::int64_t> price_index;
  std::optional<ArrayView2<double>> pos_values;
  ArrayView1<std::int64_t> pos_index;
  ArrayView1<std::int64_t> resample;
  ColumnMap pos2price;
  // The number of names of the position columns (the recorder sizes its
  // per-column state by it).
  std::ptrdiff_t position_names = 0;
  RunOptions options;
};

// The state a completed run ends in, which the stock-operations report
// describes, and its trade ledger.
struct RunEnd {
  PositionBook pos;
  // The columns held right after the last executed rebalance.
  std::vector<int> latest_rebalanced_keys;
  std::vector<ExitMark> exit_stocks;
  std::vector<ExitMark> exited_stocks;
  std::ptrdiff_t pos_id;
  std::ptrdiff_t current_position_id;
  bool should_rebalance;
  LedgerRows ledger;
};

// Runs a whole back-test: creturn goes into the caller's result buffer and
// the trades to its recorder.
RunEnd run_backtest(const RunInputs& inputs, Caller& caller);

}  // namespace orvane::portsim
