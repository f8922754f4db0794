// Excursion (MAE/MFE) statistics of one trade, computed over the trade-price
// and close columns of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "../base/view.hpp"

namespace orvane::excursion {

struct Settings {
  int window = 0;       // bars after the entry covered by the sampled path
  int window_step = 0;  // sampling step of that path
  double fee_ratio = 0;
  double tax_ratio = 0;
};

struct Trade {
  int sid;
  int i_entry;
  int i_exit;
  bool is_long;
  bool entry_transaction;  // the entry paid the fee
  bool exit_transaction;   // the exit trades at its trade price and pays fee and tax
  int pid = -1;            // the price column when known, else looked up in pos2price
};

// The trade's value path, one element per analysed bar from the entry bar on.
struct Series {
  std::vector<double> returns;
  std::vector<double> cummax;
  std::vector<double> cummin;
  std::vector<int> cummin_i;
  std::vector<double> mdd;
  std::vector<double> profit_period;

  std::size_t size() const noexcept { return returns.size(); }
};

// The price matrices of a run; a null pointer stands for a matrix that is not
// set.
struct Prices {
  const ArrayView2<double>* price;
  const ArrayView2<double>* close;
};

// Fills `out` (its buffers are reused) with the trade's path. A sid missing
// from pos2price reads as price column 0 and is added to the map with it.
void trace_trade(const Prices& prices, std::map<int, int>& pos2price, const Settings& settings,
                 const Trade& trade, Series& out);

// Length of the result array: six values per sampled block plus the summary
// block; may be negative for a negative window.
std::int64_t result_size(const Settings& settings);

// Writes the sampled blocks and the summary block into `ret`, whose elements
// not written keep their value (the caller fills it with -1).
void write_result(const Series& series, const Settings& settings, const Trade& trade,
                  std::span<double> ret);

}  // namespace orvane::excursion
