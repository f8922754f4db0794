#include "run.hpp"

#include <climits>
#include <cmath>

#include "../py/convert.hpp"
#include "../py/numpy.hpp"
#include "exits.hpp"
#include "rebalance.hpp"
#include "report.hpp"

namespace orvane::portsim {

Run::Run(const RunArgs& a, const Recorder& rec)
    : args(a),
      recorder(rec),
      rules{a.fee_ratio, a.tax_ratio, a.retain_cost_when_rebalance, a.periodically_rebalance},
      price(a.price_values),
      close(a.close_values),
      high(a.high_values),
      low(a.low_values),
      open(a.open_values),
      pos_values(a.pos_values),
      price_index(a.price_index),
      pos_index(a.pos_index),
      resample(a.resample),
      pos_columns(a.pos_columns),
      stop_loss_abs(std::fabs(a.stop_loss)),
      take_profit_abs(std::fabs(a.take_profit)),
      trail_stop_abs(std::fabs(a.trail_stop)) {}

bool Run::stop_trading_next_period() const { return py::to_bool(args.stop_trading_next_period); }

namespace {

[[noreturn]] void raise_unpriced(const Run& run, int sid) {
  PyObject* name = run.pos_columns[sid];
  py::Ref text = py::check(PyObject_Str(name ? name : Py_None));
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (!utf8) throw py::ErrorAlreadySet{};
  py::raisef(PyExc_ValueError, "position column '%s' has no price column", utf8);
}

// Row 0 fixes the number of columns; a missing matrix fails as indexing
// None would.
Py_ssize_t columns_of(const py::ArrayView2<double>& view, PyObject* obj) {
  if (obj == Py_None) py::raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
  return view.row(0).size();
}

int as_int(Py_ssize_t n) {
  if (n > INT_MAX) py::raise(PyExc_OverflowError, "value too large to convert to int");
  return static_cast<int>(n);
}

void set_up(Run& run) {
  const RunArgs& a = run.args;
  run.pos2price = map_columns(a.price_columns, a.pos_columns);

  run.bars = run.price_index.size();
  as_int(run.bars);  // bar indexes reach the recorder as int
  npy_intp dims[1] = {run.bars};
  run.creturn = py::check(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  run.creturn_data =
      static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(run.creturn.get())));

  const Py_ssize_t npos = columns_of(run.pos_values, a.pos_values);
  run.pos = PositionBook(static_cast<std::size_t>(npos));
  run.returns = CumulativeReturns(static_cast<std::size_t>(npos));
  run.previous_price =
      ReferencePrices(&run.price, static_cast<std::size_t>(columns_of(run.price, a.price_values)));
  for (int sid = 0; sid < npos; ++sid)
    if (run.pos2price(sid) == ColumnMap::kNoPriceColumn) run.unpriced_columns.push_back(sid);
  run.ledger = TradeLedger(&run.price, &run.pos2price, static_cast<std::size_t>(npos), run.bars);

  // Each resample date marks the last bar dated on or before it; the cursor
  // only moves forward.
  run.date_rebalance.assign(static_cast<std::size_t>(run.bars), 0);
  Py_ssize_t ptr = 0;
  for (Py_ssize_t i = 0; i < run.resample.size(); ++i) {
    const std::int64_t t = run.resample.unchecked(i);
    while (ptr + 1 < run.bars && run.price_index[ptr + 1] <= t) ++ptr;
    if (ptr >= run.bars) py::raise_index_error(0);
    run.date_rebalance[static_cast<std::size_t>(ptr)] = 1;
  }

  run.recorder.start_analysis(a.price_values, a.close_values, run.pos2price.to_map(),
                              as_int(run.pos_columns.size()), a.fee_ratio, a.tax_ratio,
                              a.excursion_window, a.excursion_window_step);
}

// The one line of output the engine writes, to whatever sys.stdout is now.
void warn_nan() {
  PyObject* found = PySys_GetObject("stdout");
  if (!found) py::raise(PyExc_RuntimeError, "lost sys.stdout");
  if (found == Py_None) return;
  py::Ref out = py::Ref::borrow(found);
  py::check(PyObject_CallMethod(out.get(), "write", "s", "**WARRN: orvane numpy array has nan!\n"));
}

// Starts loading the prices a bar will read for the current holdings: their
// columns are scattered over the rows, and loads issued together overlap
// where loads issued one holding at a time would wait for memory in turn.
// noipa: GCC takes a function that only prefetches for pure and drops the
// call.
__attribute__((noipa)) void prefetch_bar(const Run& run, Py_ssize_t d) {
  if (d < 0 || d >= run.price.rows() || d >= run.close.rows()) return;
  const bool intrabar =
      run.args.touched_exit && d < run.high.rows() && d < run.low.rows() && d < run.open.rows();
  for (const int sid : run.pos.cached_keys()) {
    const int sidprice = run.pos2price(sid);
    if (sidprice < 0 || sidprice >= run.price.cols() || sidprice >= run.close.cols()) continue;
    __builtin_prefetch(run.price.unchecked_address(d, sidprice));
    __builtin_prefetch(run.close.unchecked_address(d, sidprice));
    if (intrabar && sidprice < run.high.cols() && sidprice < run.low.cols() &&
        sidprice < run.open.cols()) {
      __builtin_prefetch(run.high.unchecked_address(d, sidprice));
      __builtin_prefetch(run.low.unchecked_address(d, sidprice));
      __builtin_prefetch(run.open.unchecked_address(d, sidprice));
    }
  }
}

// Moves every holding by its trade price since the reference price and
// hands it to the exit rules. noinline: compiled on its own, the per-holding
// loop takes fewer instructions than inlined into the run's body.
__attribute__((noinline)) void value_holdings(Run& run) {
  const std::vector<int>& keys = run.pos.keys();
  // Exits inside the pass leave zero entries in place, so `keys` stays
  // valid throughout.
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const int sid = keys[i];
    const int sidprice = run.price_column(sid);
    double& reference = run.previous_price.at(sidprice);
    const double trade_price = run.bar_price[sidprice];
    if (std::isnan(reference)) reference = trade_price;
    double r = trade_price / reference;
    if (std::isnan(r)) r = 1.0;
    run.pos.at(sid) = run.pos.value(sid) * r;
    if (run.returns.any_nan()) warn_nan();
    run.returns.scale(sid, r);
    test_exits(run, sid, sidprice, r, trade_price);
    if (!std::isnan(trade_price)) reference = trade_price;
  }
}

void rebalance_step(Run& run) {
  const WeightRow row = run.pos_values.row(run.pos_id);
  for (const int sid : run.unpriced_columns)
    if (row.unchecked(sid) != 0.0) raise_unpriced(run, sid);

  if (run.args.retain_cost_when_rebalance) {
    // Only new holdings and side flips start a fresh cost reference.
    for (Py_ssize_t j = 0; j < row.size(); ++j) {
      const int sid = static_cast<int>(j);
      const double pv = row.unchecked(j);
      if (pv != 0.0 && (!run.pos.contains(sid) || run.pos.value(sid) * pv <= 0.0))
        run.returns.reset(sid);
    }
  } else {
    run.returns.reset_all();
  }

  if (run.stop_trading_next_period()) {
    for (const ExitMark& s : run.exited_stocks) {
      if (!PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(run.args.pos_values)))
        py::raise(PyExc_ValueError, "assignment destination is read-only");
      run.pos_values.set(run.pos_id, std::abs(s.sid), 0.0);
    }
  }

  run.cash = rebalance(run.pos, row, run.cash, run.rules, run.recorder, run.ledger,
                       run.args.position_limit);
  run.latest_rebalanced_keys = run.pos.keys();
  run.exited_stocks.clear();
  run.previous_price.reset_to_row(run.d);
  run.current_position_id = run.pos_id;
}

// Portfolio value at the close; holdings are kept at trade prices.
double close_value(Run& run) {
  double balance = run.cash;
  for (const int sid : run.pos.keys()) {
    const int sidprice = run.price_column(sid);
    const double trade_price = run.bar_price[sidprice];
    const double close_price = run.bar_close[sidprice];
    const double v = run.pos.value(sid);
    if (std::isnan(trade_price) || std::isnan(close_price))
      balance += v;
    else
      balance += (v * close_price) / trade_price;
  }
  return balance;
}

// The trades still open at the end, valued at the last close as the close
// valuation values them, in the order the recorder closes them.
void close_open_trades(Run& run, const std::map<int, double>& positions) {
  for (const auto& [sid, v] : positions) {
    if (v == 0.0) continue;
    const int sidprice = run.price_column(sid);
    const double trade_price = run.bar_price[sidprice];
    const double close_price = run.bar_close[sidprice];
    if (std::isnan(trade_price) || std::isnan(close_price))
      run.ledger.close_open(sid, v, run.ledger.trade_price(sid));
    else
      run.ledger.close_open(sid, (v * close_price) / trade_price, close_price);
  }
}

// Takes up the newest row dated strictly before the next bar; a marked bar
// with a row not yet executed trades it on the next bar.
void decide_next_bar(Run& run) {
  const Py_ssize_t last_row = run.pos_index.size() - 1;
  if (run.d < run.bars - 1) {
    const std::int64_t next_bar = run.price_index.unchecked(run.d + 1);
    while (run.pos_id < last_row && run.pos_index[run.pos_id + 1] < next_bar) ++run.pos_id;
  } else if (run.pos_id < last_row) {
    run.pos_id = last_row;
  }
  run.should_rebalance = run.current_position_id != run.pos_id &&
                         run.date_rebalance[static_cast<std::size_t>(run.d)] != 0;
}

}  // namespace

int Run::price_column(int sid) const {
  const int sidprice = pos2price(sid);
  // Unreachable by construction (a rebalance refuses such columns), but a
  // holding must never be valued with another column's prices.
  if (sidprice == ColumnMap::kNoPriceColumn) raise_unpriced(*this, sid);
  return sidprice;
}

py::Ref run_backtest(const RunArgs& args, const Recorder& recorder, PyObject*& stock_operations,
                     LedgerRows& ledger) {
  Run run(args, recorder);
  set_up(run);

  for (run.d = 0; run.d < run.bars; ++run.d) {
    // A long run answers Ctrl-C (and other signal handlers) between bars.
    py::check_status(PyErr_CheckSignals());
    const std::int64_t date = run.price_index.unchecked(run.d);
    if (date < run.pos_index[0]) {
      run.creturn_data[run.d] = 1.0;
      continue;
    }
    recorder.record_date(static_cast<int>(run.d));
    run.ledger.set_bar(run.d);
    run.bar_price = BarRow(run.price, run.d);
    run.bar_close = BarRow(run.close, run.d);
    if (args.touched_exit) {
      run.bar_high = BarRow(run.high, run.d);
      run.bar_low = BarRow(run.low, run.d);
      run.bar_open = BarRow(run.open, run.d);
    }
    run.exit_stocks_temp.clear();
    value_holdings(run);
    run.ledger.settle_entry_prices();
    exit_step(run);
    if (run.should_rebalance) rebalance_step(run);
    run.creturn_data[run.d] = close_value(run);
    decide_next_bar(run);
    prefetch_bar(run, run.d + 1);
  }

  std::map<int, double> final_positions = run.pos.to_map();
  recorder.end_analysis(final_positions);
  close_open_trades(run, final_positions);
  build_stock_operations(run, stock_operations);
  ledger = run.ledger.take_rows();
  return std::move(run.creturn);
}

}  // namespace orvane::portsim
