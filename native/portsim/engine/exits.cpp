#include "exits.hpp"

#include <algorithm>
#include <cstdlib>

namespace orvane::portsim {

ExitBounds exit_bounds(const ExitRules& rules, const Portfolio& portfolio, int sid) {
  const double entry_pos = portfolio.pos.value(sid) / portfolio.returns.cr(sid);
  const double maxcr = portfolio.returns.maxcr(sid);
  if (entry_pos > 0.0) {
    const double trail = maxcr - rules.trail_stop_abs;
    const double stop = 1.0 - rules.stop_loss_abs;
    return {entry_pos, 1.0 + rules.take_profit_abs, trail > stop ? trail : stop};
  }
  const double trail = maxcr + rules.trail_stop_abs;
  const double stop = 1.0 + rules.stop_loss_abs;
  return {entry_pos, trail < stop ? trail : stop, 1.0 - rules.take_profit_abs};
}

// Decided again only for an exit, with the comparisons of exit_bounds, so
// the bar loop does not pay for it.
ExitReason upper_rule(const ExitRules& rules, const CumulativeReturns& returns, int sid,
                      const ExitBounds& b) {
  if (b.entry_pos > 0.0) return ExitReason::take_profit;
  const double trail = returns.maxcr(sid) + rules.trail_stop_abs;
  return trail < 1.0 + rules.stop_loss_abs ? ExitReason::trail_stop : ExitReason::stop_loss;
}

ExitReason lower_rule(const ExitRules& rules, const CumulativeReturns& returns, int sid,
                      const ExitBounds& b) {
  if (!(b.entry_pos > 0.0)) return ExitReason::take_profit;
  const double trail = returns.maxcr(sid) - rules.trail_stop_abs;
  return trail > 1.0 - rules.stop_loss_abs ? ExitReason::trail_stop : ExitReason::stop_loss;
}

namespace {

void intrabar_exit(const ExitRules& rules, const Bar& bar, Portfolio& portfolio, ExitLists& exits,
                   const Trading& trading, int sid, int sidprice, double r, const ExitBounds& b) {
  const CumulativeReturns& returns = portfolio.returns;
  const double p = portfolio.previous_price.at(sidprice);
  const double cr_at_reference = returns.cr(sid) / r;
  const double high_r = cr_at_reference * (bar.high[sidprice] / p);
  const double low_r = cr_at_reference * (bar.low[sidprice] / p);
  const double open_price = bar.open[sidprice];
  const double open_r = cr_at_reference * (open_price / p);

  const bool touch_low = low_r <= b.min_r;
  const bool touch_high = high_r >= b.max_r;
  const bool touch_open = open_r >= b.max_r || open_r <= b.min_r;
  if (!(touch_low || touch_high || touch_open)) return;
  // A holding sold inside an earlier bar has nothing left to sell, and a
  // listing would misname its exit.
  if (portfolio.pos.value(sid) == 0.0) return;

  // Sold at the value the holding has at the fill: the reference value
  // moved to the open, or to the bound that was touched.
  double& held = portfolio.pos.at(sid);
  Fill fill;
  if (touch_open) {
    held = b.entry_pos * open_r;
    fill = Fill::at(open_r >= b.max_r ? upper_rule(rules, returns, sid, b)
                                      : lower_rule(rules, returns, sid, b),
                    open_price);
  } else if (touch_high) {
    held = b.entry_pos * b.max_r;
    fill = Fill::at(upper_rule(rules, returns, sid, b), (p * b.max_r) / cr_at_reference);
  } else {
    held = b.entry_pos * b.min_r;
    fill = Fill::at(lower_rule(rules, returns, sid, b), (p * b.min_r) / cr_at_reference);
  }

  const bool loss_side = (touch_low && held > 0.0) || (touch_high && held < 0.0);
  exits.exited_stocks.push_back({loss_side ? -sid : sid, fill.reason});
  // The entry stays in the book with 0 until a rebalance removes it.
  portfolio.cash =
      set_position(portfolio.pos, sid, 0.0, portfolio.cash, trading, fill, false, false);
}

void close_signal(const ExitRules& rules, const Bar& bar, const Portfolio& portfolio,
                  ExitLists& exits, int sid, int sidprice, double trade_price,
                  const ExitBounds& b) {
  const double cr_at_close = portfolio.returns.cr(sid) * bar.close[sidprice] / trade_price;
  const bool up = cr_at_close >= b.max_r;
  if (!(up || cr_at_close < b.min_r) || portfolio.pos.value(sid) == 0.0) return;
  if (up)
    exits.exit_stocks_temp.push_back({sid, upper_rule(rules, portfolio.returns, sid, b)});
  else
    exits.exit_stocks_temp.push_back({-sid, lower_rule(rules, portfolio.returns, sid, b)});
}

}  // namespace

void test_exits(const ExitRules& rules, const Bar& bar, Portfolio& portfolio, ExitLists& exits,
                const Trading& trading, int sid, int sidprice, double r, double trade_price) {
  const ExitBounds b = exit_bounds(rules, portfolio, sid);
  if (rules.touched_exit)
    intrabar_exit(rules, bar, portfolio, exits, trading, sid, sidprice, r, b);
  else
    close_signal(rules, bar, portfolio, exits, sid, sidprice, trade_price, b);
}

void exit_step(ExitLists& exits, Portfolio& portfolio, const Trading& trading,
               const Schedule& schedule, TruthTest stop_trading_next_period) {
  for (const ExitMark& s : exits.exit_stocks) {
    const int abssid = std::abs(s.sid);
    const bool will_be_set_by_rebalance =
        schedule.should_rebalance && !stop_trading_next_period() &&
        schedule.pos_values(schedule.pos_id, abssid) != 0.0;
    if (!portfolio.pos.contains(abssid) || portfolio.pos.value(abssid) == 0.0 ||
        will_be_set_by_rebalance)
      continue;
    portfolio.cash = set_position(portfolio.pos, abssid, 0.0, portfolio.cash, trading,
                                  Fill::at_bar(s.rule), false, true);
    exits.exited_stocks.push_back(s);
    portfolio.returns.reset(abssid);
    auto& temp = exits.exit_stocks_temp;
    auto again = std::find_if(temp.begin(), temp.end(),
                              [&](const ExitMark& t) { return t.sid == s.sid || t.sid == -s.sid; });
    if (again != temp.end()) temp.erase(again);
  }
  exits.exit_stocks = exits.exit_stocks_temp;
}

}  // namespace orvane::portsim
