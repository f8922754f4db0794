#include "run.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "../../base/error.hpp"
#include "bar.hpp"
#include "portfolio.hpp"
#include "rebalance.hpp"
#include "schedule.hpp"

namespace orvane::portsim {

namespace {

constexpr std::string_view kNanWarning = "**WARRN: orvane numpy array has nan!";

int as_int(std::ptrdiff_t n) {
  if (n > INT_MAX) raise(ErrorKind::overflow_error, "value too large to convert to int");
  return static_cast<int>(n);
}

// Row 0 fixes the number of columns; a missing matrix cannot be indexed.
std::ptrdiff_t columns_of(const std::optional<ArrayView2<double>>& matrix) {
  if (!matrix) raise(ErrorKind::type_error, "'NoneType' object is not subscriptable");
  return matrix->row(0).size();
}

// The price column of each position column that may be held.
class PriceColumns {
 public:
  PriceColumns(const ColumnMap& map, std::ptrdiff_t position_columns,
               FunctionRef<std::string(int)> name)
      : map_(map), name_(name) {
    for (int sid = 0; sid < position_columns; ++sid)
      if (map(sid) == ColumnMap::kNoPriceColumn) unpriced_.push_back(sid);
  }

  // Unreachable by construction for a held column (a rebalance refuses
  // columns without prices), but a holding must never be valued with
  // another column's prices.
  int of(int sid) const {
    const int sidprice = map_(sid);
    if (sidprice == ColumnMap::kNoPriceColumn) unpriced(sid);
    return sidprice;
  }
  // A weight row may not give a non-zero target to a column without prices.
  void check_targets(const WeightRow& row) const {
    for (const int sid : unpriced_)
      if (row.unchecked(sid) != 0.0) unpriced(sid);
  }

 private:
  [[noreturn]] void unpriced(int sid) const {
    const std::string name = name_(sid);
    raisef(ErrorKind::value_error, "position column '%s' has no price column", name.c_str());
  }

  const ColumnMap& map_;
  FunctionRef<std::string(int)> name_;
  std::vector<int> unpriced_;
};

// How a rebalance treats the holdings' cost references and the weights.
struct RebalanceRules {
  bool retain_cost_when_rebalance;
  double position_limit;
};

// Everything a run reads and changes between its set-up and its end; each
// step below takes the parts it uses.
struct Run {
  Run(const RunInputs& in, Caller& c)
      : caller(c),
        prices{in.price_values.value_or(ArrayView2<double>{}), in.close_values, in.high_values,
               in.low_values, in.open_values},
        trading{{in.options.fee_ratio, in.options.tax_ratio, in.options.retain_cost_when_rebalance,
                 in.options.periodically_rebalance},
                c.recorder,
                ledger},
        exit_rules{std::fabs(in.options.stop_loss), std::fabs(in.options.take_profit),
                   std::fabs(in.options.trail_stop), in.options.touched_exit},
        rebalance_rules{in.options.retain_cost_when_rebalance, in.options.position_limit} {
    schedule.pos_values = in.pos_values.value_or(ArrayView2<double>{});
    schedule.price_index = in.price_index;
    schedule.pos_index = in.pos_index;
  }

  Caller& caller;
  Prices prices;
  Schedule schedule;
  std::optional<PriceColumns> columns;
  TradeLedger ledger;
  Trading trading;
  ExitRules exit_rules;
  RebalanceRules rebalance_rules;
  Portfolio portfolio;
  ExitLists exits;
  std::span<double> creturn;
  Bar bar;
};

void set_up(Run& run, const RunInputs& in) {
  const std::ptrdiff_t bars = in.price_index.size();
  as_int(bars);  // bar indexes reach the recorder as int
  run.creturn = run.caller.creturn.allocate(static_cast<std::size_t>(bars));

  const std::ptrdiff_t npos = columns_of(in.pos_values);
  run.portfolio.pos = PositionBook(static_cast<std::size_t>(npos));
  run.portfolio.returns = CumulativeReturns(static_cast<std::size_t>(npos));
  run.portfolio.previous_price =
      ReferencePrices(&run.prices.price, static_cast<std::size_t>(columns_of(in.price_values)));
  run.columns.emplace(in.pos2price, npos, run.caller.position_name);
  run.ledger =
      TradeLedger(&run.prices.price, &in.pos2price, static_cast<std::size_t>(npos), bars);
  run.schedule.date_rebalance = rebalance_marks(in.price_index, in.resample);

  run.caller.recorder.start(in.pos2price, as_int(in.position_names), in.options.fee_ratio,
                            in.options.tax_ratio, in.options.excursion_window,
                            in.options.excursion_window_step);
}

// Starts loading the prices a bar will read for the current holdings: their
// columns are scattered over the rows, and loads issued together overlap
// where loads issued one holding at a time would wait for memory in turn.
// noipa: GCC takes a function that only prefetches for pure and drops the
// call.
__attribute__((noipa)) void prefetch_bar(const Prices& prices, const PositionBook& pos,
                                         const ColumnMap& pos2price, std::ptrdiff_t d,
                                         bool intrabar_exits) {
  if (d < 0 || d >= prices.price.rows() || d >= prices.close.rows()) return;
  const bool intrabar = intrabar_exits && d < prices.high.rows() && d < prices.low.rows() &&
                        d < prices.open.rows();
  for (const int sid : pos.cached_keys()) {
    const int sidprice = pos2price(sid);
    if (sidprice < 0 || sidprice >= prices.price.cols() || sidprice >= prices.close.cols())
      continue;
    __builtin_prefetch(prices.price.unchecked_address(d, sidprice));
    __builtin_prefetch(prices.close.unchecked_address(d, sidprice));
    if (intrabar && sidprice < prices.high.cols() && sidprice < prices.low.cols() &&
        sidprice < prices.open.cols()) {
      __builtin_prefetch(prices.high.unchecked_address(d, sidprice));
      __builtin_prefetch(prices.low.unchecked_address(d, sidprice));
      __builtin_prefetch(prices.open.unchecked_address(d, sidprice));
    }
  }
}

// Moves every holding by its trade price since the reference price and
// hands it to the exit rules. noinline: compiled on its own, the per-holding
// loop takes fewer instructions than inlined into the run's body.
__attribute__((noinline)) void value_holdings(Portfolio& portfolio, ExitLists& exits,
                                              const ExitRules& rules, const Bar& bar,
                                              const Trading& trading, const PriceColumns& columns,
                                              WarningSink& warnings) {
  const std::vector<int>& keys = portfolio.pos.keys();
  // Exits inside the pass leave zero entries in place, so `keys` stays
  // valid throughout.
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const int sid = keys[i];
    const int sidprice = columns.of(sid);
    double& reference = portfolio.previous_price.at(sidprice);
    const double trade_price = bar.price[sidprice];
    if (std::isnan(reference)) reference = trade_price;
    double r = trade_price / reference;
    if (std::isnan(r)) r = 1.0;
    portfolio.pos.at(sid) = portfolio.pos.value(sid) * r;
    if (portfolio.returns.any_nan()) warnings.warn(kNanWarning);
    portfolio.returns.scale(sid, r);
    test_exits(rules, bar, portfolio, exits, trading, sid, sidprice, r, trade_price);
    if (!std::isnan(trade_price)) reference = trade_price;
  }
}

// Executes the row decided at the previous close, on bar d.
void rebalance_step(Portfolio& portfolio, Schedule& schedule, ExitLists& exits,
                    const Trading& trading, const RebalanceRules& rules,
                    const PriceColumns& columns, Caller& caller, std::ptrdiff_t d) {
  const WeightRow row = schedule.pos_values.row(schedule.pos_id);
  columns.check_targets(row);

  if (rules.retain_cost_when_rebalance) {
    // Only new holdings and side flips start a fresh cost reference.
    for (std::ptrdiff_t j = 0; j < row.size(); ++j) {
      const int sid = static_cast<int>(j);
      const double pv = row.unchecked(j);
      if (pv != 0.0 && (!portfolio.pos.contains(sid) || portfolio.pos.value(sid) * pv <= 0.0))
        portfolio.returns.reset(sid);
    }
  } else {
    portfolio.returns.reset_all();
  }

  // A stock that left through an exit rule since the last rebalance gets
  // weight 0 in the row traded now, written into the caller's matrix.
  if (caller.stop_trading_next_period()) {
    for (const ExitMark& s : exits.exited_stocks) {
      if (!caller.weights_writable())
        raise(ErrorKind::value_error, "assignment destination is read-only");
      schedule.pos_values.set(schedule.pos_id, std::abs(s.sid), 0.0);
    }
  }

  portfolio.cash = rebalance(portfolio.pos, row, portfolio.cash, trading, rules.position_limit);
  portfolio.latest_rebalanced_keys = portfolio.pos.keys();
  exits.exited_stocks.clear();
  portfolio.previous_price.reset_to_row(d);
  schedule.current_position_id = schedule.pos_id;
}

// Portfolio value at the close; holdings are kept at trade prices. The
// ledger gets the absolute value held in stocks, from the same terms.
double close_value(Portfolio& portfolio, const Bar& bar, const PriceColumns& columns,
                   TradeLedger& ledger) {
  double balance = portfolio.cash;
  double held = 0.0;
  for (const int sid : portfolio.pos.keys()) {
    const int sidprice = columns.of(sid);
    const double trade_price = bar.price[sidprice];
    const double close_price = bar.close[sidprice];
    const double v = portfolio.pos.value(sid);
    const double at_close =
        std::isnan(trade_price) || std::isnan(close_price) ? v : (v * close_price) / trade_price;
    balance += at_close;
    held += std::fabs(at_close);
  }
  ledger.set_held(held);
  return balance;
}

// The trades still open at the end, valued at the last close as the close
// valuation values them, in the order the recorder closes them.
void close_open_trades(TradeLedger& ledger, const std::map<int, double>& positions, const Bar& bar,
                       const PriceColumns& columns) {
  for (const auto& [sid, v] : positions) {
    if (v == 0.0) continue;
    const int sidprice = columns.of(sid);
    const double trade_price = bar.price[sidprice];
    const double close_price = bar.close[sidprice];
    if (std::isnan(trade_price) || std::isnan(close_price))
      ledger.close_open(sid, v, ledger.trade_price(sid));
    else
      ledger.close_open(sid, (v * close_price) / trade_price, close_price);
  }
}

}  // namespace

RunEnd run_backtest(const RunInputs& inputs, Caller& caller) {
  Run run(inputs, caller);
  set_up(run, inputs);

  const std::ptrdiff_t bars = inputs.price_index.size();
  const bool intrabar = inputs.options.touched_exit;
  for (std::ptrdiff_t d = 0; d < bars; ++d) {
    caller.before_bar();
    const std::int64_t date = inputs.price_index.unchecked(d);
    if (date < inputs.pos_index[0]) {
      run.creturn[static_cast<std::size_t>(d)] = 1.0;
      continue;
    }
    caller.recorder.record_date(static_cast<int>(d));
    run.ledger.set_bar(d);
    run.bar.move_to(run.prices, d, intrabar);
    run.exits.exit_stocks_temp.clear();
    value_holdings(run.portfolio, run.exits, run.exit_rules, run.bar, run.trading, *run.columns,
                   caller.warnings);
    run.ledger.settle_entry_prices();
    exit_step(run.exits, run.portfolio, run.trading, run.schedule,
              caller.stop_trading_next_period);
    if (run.schedule.should_rebalance)
      rebalance_step(run.portfolio, run.schedule, run.exits, run.trading, run.rebalance_rules,
                     *run.columns, caller, d);
    run.creturn[static_cast<std::size_t>(d)] =
        close_value(run.portfolio, run.bar, *run.columns, run.ledger);
    decide_next_bar(run.schedule, d);
    prefetch_bar(run.prices, run.portfolio.pos, inputs.pos2price, d + 1, intrabar);
  }

  std::map<int, double> final_positions = run.portfolio.pos.to_map();
  caller.recorder.end(final_positions);
  close_open_trades(run.ledger, final_positions, run.bar, *run.columns);
  return RunEnd{std::move(run.portfolio.pos),
                std::move(run.portfolio.latest_rebalanced_keys),
                std::move(run.exits.exit_stocks),
                std::move(run.exits.exited_stocks),
                run.schedule.pos_id,
                run.schedule.current_position_id,
                run.schedule.should_rebalance,
                run.ledger.take_rows()};
}

}  // namespace orvane::portsim
