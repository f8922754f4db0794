// Stop-loss, take-profit and trailing-stop exits.
//
// The exit vectors of a run hold ExitMarks: +sid or -sid, the sign telling
// which bound was reached, with the rule that set it (column 0 carries no
// sign, so readers take the rule from the mark, never from the sign).
#pragma once

#include "run.hpp"

namespace orvane::portsim {

// Upper and lower exit bounds on a holding's cumulative return.
struct ExitBounds {
  double entry_pos;  // the holding's value at its reference point
  double max_r;
  double min_r;
};

ExitBounds exit_bounds(const Run& run, int sid);

// The rule behind a bound of exit_bounds(run, sid): for a long the upper
// bound is the take profit and the lower one the trailing stop where that
// lies above the stop loss; for a short the roles swap.
ExitReason upper_rule(const Run& run, int sid, const ExitBounds& b);
ExitReason lower_rule(const Run& run, int sid, const ExitBounds& b);

// Tests one holding of the valuation pass, after its move of this bar was
// applied: in intrabar mode sells it at a touched bound (or at the open
// beyond one), in close mode signals it for the next bar. A holding worth
// exactly 0 (one sold inside an earlier bar) never exits again.
void test_exits(Run& run, int sid, int sidprice, double r, double trade_price);

// Executes the close-mode signals of the previous bar, then takes up this
// bar's signals for the next one.
void exit_step(Run& run);

}  // namespace orvane::portsim
