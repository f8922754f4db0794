// Stop-loss, take-profit and trailing-stop exits.
//
// Signed column ids: the exit vectors of a run hold +sid or -sid, the sign
// telling which bound was reached; column 0 carries no sign.
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

// Tests one holding of the valuation pass, after its move of this bar was
// applied: in intrabar mode sells it at a touched bound (or beyond the
// open), in close mode signals it for the next bar.
void test_exits(Run& run, int sid, int sidprice, double r, double trade_price);

// Executes the close-mode signals of the previous bar, then takes up this
// bar's signals for the next one.
void exit_step(Run& run);

}  // namespace orvane::portsim
