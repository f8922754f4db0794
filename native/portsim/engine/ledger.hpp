// The money account of a run's trades: for every trade the recorder lists,
// the prices it was entered and left at, the money put in, its profit or loss
// after every cost the book charged, and why it ended; and the money traded
// on every bar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "../../base/view.hpp"
#include "columns.hpp"

namespace orvane::portsim {

// Why a trade ended, with the codes of the ledger's "exit_reason".
enum class ExitReason : std::int8_t {
  open = 0,
  rebalance = 1,
  split = 2,
  stop_loss = 3,
  take_profit = 4,
  trail_stop = 5,
};

// How a trade that set_position closes is filled: why, and at which price
// (the bar's trade price unless the exit rule filled it elsewhere).
struct Fill {
  ExitReason reason;
  bool at_bar_price;
  double price;

  static Fill at_bar(ExitReason reason) noexcept { return {reason, true, 0.0}; }
  static Fill at(ExitReason reason, double price) noexcept { return {reason, false, price}; }
};

// One trade of the ledger.
struct LedgerRow {
  double entry_price;
  double exit_price;
  double exit_value;
  double invested;
  double pnl;
  double costs;
  std::int64_t position_id;
  ExitReason exit_reason;
};

// The ledger of a finished run: one row per trade, in the recorder's order,
// the money traded per bar, and the money held in stocks at each close.
struct LedgerRows {
  // Rows in blocks of a fixed capacity, so that a growing ledger never
  // copies the rows it holds.
  static constexpr std::size_t kBlock = 4096;
  std::vector<std::vector<LedgerRow>> blocks;
  std::size_t size = 0;
  std::vector<double> traded;
  // The absolute value of every holding (longs and shorts) at the close,
  // each as the close valuation values it.
  std::vector<double> held;

  void push(const LedgerRow& row) {
    if (blocks.empty() || blocks.back().size() == kBlock) blocks.emplace_back().reserve(kBlock);
    blocks.back().push_back(row);
    ++size;
  }
};

class TradeLedger {
 public:
  TradeLedger() = default;
  TradeLedger(const ArrayView2<double>* price, const ColumnMap* pos2price,
              std::size_t columns, std::ptrdiff_t bars);

  void set_bar(std::ptrdiff_t d) noexcept { d_ = d; }

  // The trades of set_position, told after the book has changed. `flow` is
  // the trade's cash increment exactly as added to cash, `cost` its fee and
  // tax; `held` the holding before and `target` after; `value` the value of
  // the holding that closes.
  void enter(int sid, double target, double flow, double cost);
  void close(int sid, double value, double flow, double cost, const Fill& fill);
  void flip(int sid, double held, double target, double flow, double cost);
  void split(int sid, double held, double target, double flow, double cost);
  void resize(int sid, double flow, double cost, double enlarged) noexcept;
  void add_traded(double money) noexcept { rows_.traded[static_cast<std::size_t>(d_)] += money; }
  void set_held(double money) noexcept { rows_.held[static_cast<std::size_t>(d_)] = money; }

  // After a bar's valuation pass: a piece entered at a missing trade price
  // takes the first valid one, which is where the book starts moving it.
  void settle_entry_prices() {
    if (!pending_.empty()) settle();
  }

  // A trade still open at the end: `value` is its value at the last close,
  // `exit_price` the price behind it.
  void close_open(int sid, double value, double exit_price);

  // The bar's trade price of a position column; a missing one reads as the
  // last valid one before it (the book treats a missing price as no move).
  double trade_price(int sid) { return or_last_valid(sid, raw_price(sid)); }

  LedgerRows take_rows() noexcept { return std::move(rows_); }

 private:
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

  struct Piece {
    double entry_price = kNaN;
    double invested = 0.0;
    double flow = 0.0;
    double costs = 0.0;
    std::int64_t id = 0;
    bool pending = false;
  };

  // Never raises: a column without prices (in a run about to fail on it)
  // reads as NaN.
  double raw_price(int sid) const noexcept {
    const int sidprice = (*pos2price_)(sid);
    if (sidprice < 0 || sidprice >= price_->cols() || d_ < 0 || d_ >= price_->rows()) return kNaN;
    return price_->unchecked(d_, sidprice);
  }
  double last_valid(int sidprice);
  double or_last_valid(int sid, double raw);
  void start(Piece& piece, int sid, double raw);
  void emit(Piece& piece, int sid, double exit_price, double exit_value, double pnl, double costs,
            ExitReason reason);
  void settle();

  const ArrayView2<double>* price_ = nullptr;
  const ColumnMap* pos2price_ = nullptr;
  std::ptrdiff_t d_ = 0;
  std::vector<Piece> pieces_;
  std::vector<int> pending_;
  std::int64_t next_id_ = 0;
  // Per price column: the last valid trade price on or before bar
  // scanned_[c]; filled on first need, so a run without missing prices at
  // its trades never scans.
  std::vector<std::ptrdiff_t> scanned_;
  std::vector<double> last_valid_;
  LedgerRows rows_;
};

}  // namespace orvane::portsim
