#include "exits.hpp"

#include <algorithm>
#include <cstdlib>

namespace orvane::portsim {

ExitBounds exit_bounds(const Run& run, int sid) {
  const double entry_pos = run.pos.value(sid) / run.returns.cr(sid);
  const double maxcr = run.returns.maxcr(sid);
  if (entry_pos > 0.0) {
    const double trail = maxcr - run.trail_stop_abs;
    const double stop = 1.0 - run.stop_loss_abs;
    return {entry_pos, 1.0 + run.take_profit_abs, trail > stop ? trail : stop};
  }
  const double trail = maxcr + run.trail_stop_abs;
  const double stop = 1.0 + run.stop_loss_abs;
  return {entry_pos, trail < stop ? trail : stop, 1.0 - run.take_profit_abs};
}

// Decided again only for an exit, with the comparisons of exit_bounds, so
// the bar loop does not pay for it.
ExitReason upper_rule(const Run& run, int sid, const ExitBounds& b) {
  if (b.entry_pos > 0.0) return ExitReason::take_profit;
  const double trail = run.returns.maxcr(sid) + run.trail_stop_abs;
  return trail < 1.0 + run.stop_loss_abs ? ExitReason::trail_stop : ExitReason::stop_loss;
}

ExitReason lower_rule(const Run& run, int sid, const ExitBounds& b) {
  if (!(b.entry_pos > 0.0)) return ExitReason::take_profit;
  const double trail = run.returns.maxcr(sid) - run.trail_stop_abs;
  return trail > 1.0 - run.stop_loss_abs ? ExitReason::trail_stop : ExitReason::stop_loss;
}

namespace {

void intrabar_exit(Run& run, int sid, int sidprice, double r, const ExitBounds& b) {
  const double p = run.previous_price.at(sidprice);
  const double cr_at_reference = run.returns.cr(sid) / r;
  const double high_r = cr_at_reference * (run.bar_high[sidprice] / p);
  const double low_r = cr_at_reference * (run.bar_low[sidprice] / p);
  const double open_price = run.bar_open[sidprice];
  const double open_r = cr_at_reference * (open_price / p);

  const bool touch_low = low_r <= b.min_r;
  const bool touch_high = high_r >= b.max_r;
  const bool touch_open = open_r >= b.max_r || open_r <= b.min_r;
  if (!(touch_low || touch_high || touch_open)) return;
  // A holding sold inside an earlier bar has nothing left to sell, and a
  // listing would misname its exit.
  if (run.pos.value(sid) == 0.0) return;

  // Sold at the value the holding has at the fill: the reference value
  // moved to the open, or to the bound that was touched.
  double& held = run.pos.at(sid);
  Fill fill;
  if (touch_open) {
    held = b.entry_pos * open_r;
    fill = Fill::at(open_r >= b.max_r ? upper_rule(run, sid, b) : lower_rule(run, sid, b),
                    open_price);
  } else if (touch_high) {
    held = b.entry_pos * b.max_r;
    fill = Fill::at(upper_rule(run, sid, b), (p * b.max_r) / cr_at_reference);
  } else {
    held = b.entry_pos * b.min_r;
    fill = Fill::at(lower_rule(run, sid, b), (p * b.min_r) / cr_at_reference);
  }

  const bool loss_side = (touch_low && held > 0.0) || (touch_high && held < 0.0);
  run.exited_stocks.push_back({loss_side ? -sid : sid, fill.reason});
  // The entry stays in the book with 0 until a rebalance removes it.
  run.cash = set_position(run.pos, sid, 0.0, run.cash, run.rules, run.recorder, run.ledger, fill,
                          false, false);
}

void close_signal(Run& run, int sid, int sidprice, double trade_price, const ExitBounds& b) {
  const double cr_at_close = run.returns.cr(sid) * run.bar_close[sidprice] / trade_price;
  const bool up = cr_at_close >= b.max_r;
  if (!(up || cr_at_close < b.min_r) || run.pos.value(sid) == 0.0) return;
  if (up)
    run.exit_stocks_temp.push_back({sid, upper_rule(run, sid, b)});
  else
    run.exit_stocks_temp.push_back({-sid, lower_rule(run, sid, b)});
}

}  // namespace

void test_exits(Run& run, int sid, int sidprice, double r, double trade_price) {
  const ExitBounds b = exit_bounds(run, sid);
  if (run.args.touched_exit)
    intrabar_exit(run, sid, sidprice, r, b);
  else
    close_signal(run, sid, sidprice, trade_price, b);
}

void exit_step(Run& run) {
  for (const ExitMark& s : run.exit_stocks) {
    const int abssid = std::abs(s.sid);
    // A rebalance on this bar that gives the stock a non-zero target takes
    // care of it; the signal is left to it.
    const bool will_be_set_by_rebalance = run.should_rebalance && !run.stop_trading_next_period() &&
                                          run.pos_values(run.pos_id, abssid) != 0.0;
    if (!run.pos.contains(abssid) || run.pos.value(abssid) == 0.0 || will_be_set_by_rebalance)
      continue;
    run.cash = set_position(run.pos, abssid, 0.0, run.cash, run.rules, run.recorder, run.ledger,
                            Fill::at_bar(s.rule), false, true);
    run.exited_stocks.push_back(s);
    run.returns.reset(abssid);
    auto& temp = run.exit_stocks_temp;
    auto again = std::find_if(temp.begin(), temp.end(),
                              [&](const ExitMark& t) { return t.sid == s.sid || t.sid == -s.sid; });
    if (again != temp.end()) temp.erase(again);
  }
  run.exit_stocks = run.exit_stocks_temp;
}

}  // namespace orvane::portsim
