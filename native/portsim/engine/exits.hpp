// Stop-loss, take-profit and trailing-stop exits.
//
// The exit vectors of a run hold ExitMarks: +sid or -sid, the sign telling
// which bound was reached, with the rule that set it (column 0 carries no
// sign, so readers take the rule from the mark, never from the sign).
#pragma once

#include <vector>

#include "bar.hpp"
#include "book.hpp"
#include "caller.hpp"
#include "ledger.hpp"
#include "portfolio.hpp"
#include "schedule.hpp"

namespace orvane::portsim {

// An exit of the exit rules: the column, signed by the bound it reached (+
// upper, - lower; column 0 carries no sign), and the rule behind that bound.
struct ExitMark {
  int sid;
  ExitReason rule;
};

struct ExitLists {
  // Close-mode signals of the previous bar, executed on this bar.
  std::vector<ExitMark> exit_stocks;
  // Close-mode signals of this bar.
  std::vector<ExitMark> exit_stocks_temp;
  // Exits executed since the last rebalance.
  std::vector<ExitMark> exited_stocks;
};

// The thresholds of the exit rules (absolute values of the options) and the
// mode they are tested in.
struct ExitRules {
  double stop_loss_abs;
  double take_profit_abs;
  double trail_stop_abs;
  bool touched_exit;
};

// Upper and lower exit bounds on a holding's cumulative return.
struct ExitBounds {
  double entry_pos;  // the holding's value at its reference point
  double max_r;
  double min_r;
};

ExitBounds exit_bounds(const ExitRules& rules, const Portfolio& portfolio, int sid);

// The rule behind a bound of exit_bounds(): for a long the upper bound is
// the take profit and the lower one the trailing stop where that lies above
// the stop loss; for a short the roles swap.
ExitReason upper_rule(const ExitRules& rules, const CumulativeReturns& returns, int sid,
                      const ExitBounds& b);
ExitReason lower_rule(const ExitRules& rules, const CumulativeReturns& returns, int sid,
                      const ExitBounds& b);

// Tests one holding of the valuation pass, after its move of this bar was
// applied (`r` the move, `trade_price` the bar's trade price): in intrabar
// mode sells it at a touched bound (or at the open beyond one), in close
// mode signals it for the next bar. A holding worth exactly 0 (one sold
// inside an earlier bar) never exits again.
void test_exits(const ExitRules& rules, const Bar& bar, Portfolio& portfolio, ExitLists& exits,
                const Trading& trading, int sid, int sidprice, double r, double trade_price);

// Executes the close-mode signals of the previous bar, then takes up this
// bar's signals for the next one. A signal is left to a rebalance of this
// bar that gives the stock a non-zero target.
void exit_step(ExitLists& exits, Portfolio& portfolio, const Trading& trading,
               const Schedule& schedule, TruthTest stop_trading_next_period);

}  // namespace orvane::portsim
