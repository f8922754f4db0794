// The position book: holdings by position column, and set_position, the one
// primitive through which every trade of a run is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "caller.hpp"
#include "ledger.hpp"

namespace orvane::portsim {

// Holdings keyed by position column, with the iteration order of an ordered
// map. Values and presence are kept densely per column so that lookups,
// inserts and erases cost O(1) however wide the universe is; the ascending
// list of held columns is repaired lazily, on the next iteration, so a
// rebalance touching many columns does not shift the list once per trade.
// An entry may hold an explicit 0 (a holding sold inside a bar keeps its
// entry until a rebalance removes it).
class PositionBook {
 public:
  explicit PositionBook(std::size_t columns)
      : value_(columns, 0.0), held_(columns, 0), listed_(columns, 0) {}

  std::size_t columns() const noexcept { return value_.size(); }

  bool contains(int sid) const noexcept {
    return sid >= 0 && static_cast<std::size_t>(sid) < value_.size() && held_[sid];
  }
  // Value of a held column; only for columns that contains() accepts.
  double value(int sid) const noexcept { return value_[sid]; }
  double& at(int sid) noexcept { return value_[sid]; }

  // The entry of `sid`, inserted with 0 when absent.
  double& get_or_insert(int sid);
  void erase(int sid) noexcept;

  // Held columns in ascending order. Valid until the next insert or erase.
  const std::vector<int>& keys();
  // The key list as it stands, possibly with stale or unsorted entries; for
  // uses that only need to cover every held column.
  const std::vector<int>& cached_keys() const noexcept { return keys_; }

  std::map<int, double> to_map();

 private:
  void check_column(int sid) const;

  std::vector<double> value_;
  std::vector<std::uint8_t> held_;
  // Whether the column currently appears in keys_ (possibly as a stale
  // entry of an erased holding).
  std::vector<std::uint8_t> listed_;
  std::vector<int> keys_;
  std::size_t sorted_prefix_ = 0;  // keys_[0, sorted_prefix_) is sorted
  bool dirty_ = false;
};

// Trading costs and the two module flags that set_position reads.
struct TradeRules {
  double fee_ratio;
  double tax_ratio;
  bool retain_cost_when_rebalance;
  bool resample;
};

// What set_position needs besides the book: the rules it trades by and where
// every trade is told.
struct Trading {
  TradeRules rules;
  TradeRecorder& recorder;
  TradeLedger& ledger;
};

// Moves the holding of `sid` to the money value `position`, charging the fee
// on every trade and the tax on reductions and closes, tells the recorder
// about entries, exits, flips and splits, and books the trade in the ledger
// (a trade that ends the holding is filled as `fill` says). Returns the new
// cash.
double set_position(PositionBook& p, int sid, double position, double cash, const Trading& trading,
                    const Fill& fill, bool check_null = true, bool set_null = false,
                    double balance = 1.0);

}  // namespace orvane::portsim
