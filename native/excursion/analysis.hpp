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

// The trade's value path at one analysed position k (bar i_entry + k): the
// running minimum and maximum of the value, the running maximum at the
// position where that minimum was first reached, the running maximum
// drawdown, the bars in profit so far and the value itself.
struct Block {
  double cummin;
  double cummax;
  double cummax_at_cummin;
  double mdd;
  double profit_period;
  double value;
};

// The positions of the path that the result reads: the sampled ones (0,
// step, 2 * step, ... within the window) and the summary one.
struct Path {
  std::vector<Block> sampled;  // reused by every trade
  Block summary{};
};

// The price matrices of a run; a null pointer stands for a matrix that is not
// set.
struct Prices {
  const ArrayView2<double>* price;
  const ArrayView2<double>* close;
};

// Follows the trade's value bar by bar and keeps the blocks the result reads.
// Every bar of the analysed range is checked as a full pass would check it
// (the same reads, the same errors in the same order), but the statistics
// are carried only as far as the last position a block reads. A sid missing
// from pos2price reads as price column 0 and is added to the map with it.
void trace_trade(const Prices& prices, std::map<int, int>& pos2price, const Settings& settings,
                 const Trade& trade, Path& out);

// Length of the result array: six values per sampled block plus the summary
// block; may be negative for a negative window.
std::int64_t result_size(const Settings& settings);

// Writes the sampled blocks and the summary block into `ret`, whose elements
// not written keep their value (the caller fills it with -1).
void write_result(const Path& path, std::span<double> ret);

}  // namespace orvane::excursion
