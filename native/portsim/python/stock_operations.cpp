#include "stock_operations.hpp"

#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "../../py/error.hpp"
#include "normalize_weight.hpp"

namespace orvane::portsim {

namespace {

py::Ref new_int(long v) { return py::check(PyLong_FromLong(v)); }
py::Ref new_float(double v) { return py::check(PyFloat_FromDouble(v)); }

void set_item(PyObject* dict, long key, PyObject* value) {
  py::Ref k = new_int(key);
  py::check_status(PyDict_SetItem(dict, k.get(), value));
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
  py::check_status(PyDict_SetItemString(dict, key, value));
}

struct ActionWords {
  py::Ref enter, exit, hold, tp, sl, tp_enter, sl_enter, tp_, sl_;
  ActionWords()
      : enter(word("enter")),
        exit(word("exit")),
        hold(word("hold")),
        tp(word("tp")),
        sl(word("sl")),
        tp_enter(word("tp_enter")),
        sl_enter(word("sl_enter")),
        tp_(word("tp_")),
        sl_(word("sl_")) {}
  static py::Ref word(const char* w) { return py::check(PyUnicode_InternFromString(w)); }
};

// Whether `next_weights` gives column k a weight other than 0 (NaN counts).
bool has_next_weight(PyObject* next_weights, int k) {
  py::Ref key = new_int(k);
  PyObject* w = PyDict_GetItemWithError(next_weights, key.get());
  if (!w) {
    py::check_pending();
    return false;
  }
  py::Ref zero = new_int(0);
  return py::check_status(PyObject_RichCompareBool(w, zero.get(), Py_NE)) != 0;
}

}  // namespace

void build_stock_operations(const RunEnd& end, const RunInputs& inputs,
                            TruthTest stop_trading_next_period, PyObject*& stock_operations) {
  const ArrayView2<double>& pos_values = *inputs.pos_values;
  const ActionWords words;
  py::Ref actions = py::check(PyDict_New());
  py::Ref weights = py::check(PyDict_New());
  py::Ref next_weights = py::check(PyDict_New());
  {
    py::Ref report = py::check(PyDict_New());
    set_item(report.get(), "actions", actions.get());
    set_item(report.get(), "weights", weights.get());
    set_item(report.get(), "next_weights", next_weights.get());
    py::store(stock_operations, std::move(report));
  }
  PyObject* report = stock_operations;

  // Weights of the last executed row, 0 for stocks that left since (a
  // holding sold inside a bar stays in the book at 0); the signed sum counts
  // the leavers too.
  std::vector<std::pair<int, double>> latest;
  double latest_weight_sum = 0.0;
  for (const int sid : end.latest_rebalanced_keys) {
    const double weight = pos_values(end.current_position_id, sid);
    const bool held = end.pos.contains(sid) && end.pos.value(sid) != 0.0;
    latest.emplace_back(sid, held ? weight : 0.0);
    latest_weight_sum += weight;
  }
  const double latest_divisor = latest_weight_sum > 1.0 ? latest_weight_sum : 1.0;
  for (const auto& [sid, weight] : latest) {
    py::Ref value = new_float(weight / latest_divisor);
    set_item(weights.get(), sid, value.get());
  }

  const ArrayView2<double>::Row next_row = pos_values.row(end.pos_id);
  const std::ptrdiff_t ncols = next_row.size();
  std::vector<std::uint8_t> exit_listed(static_cast<std::size_t>(ncols), 0);
  for (const auto* list : {&end.exited_stocks, &end.exit_stocks})
    for (const ExitMark& s : *list)
      if (std::abs(s.sid) < ncols) exit_listed[static_cast<std::size_t>(std::abs(s.sid))] = 1;
  std::vector<std::pair<int, double>> next;
  double total_next_weight_sum = 0.0;
  for (std::ptrdiff_t j = 0; j < ncols; ++j) {
    const double weight = next_row.unchecked(j);
    total_next_weight_sum += std::fabs(weight);
    if (stop_trading_next_period() && exit_listed[static_cast<std::size_t>(j)]) continue;
    if (weight != 0.0) {
      // Stored at once, so a truth test failing further along the row
      // leaves the weights already taken in the report.
      next.emplace_back(static_cast<int>(j), weight);
      py::Ref value = new_float(weight);
      set_item(next_weights.get(), static_cast<int>(j), value.get());
    }
  }

  {
    py::Ref weight_time = new_int(static_cast<long>(end.current_position_id));
    py::Ref next_weight_time = new_int(static_cast<long>(end.pos_id));
    set_item(report, "weight_time", weight_time.get());
    set_item(report, "next_weight_time", next_weight_time.get());
  }

  const double next_divisor = total_next_weight_sum > 1.0 ? total_next_weight_sum : 1.0;
  for (const auto& [sid, weight] : next) {
    py::Ref value = new_float(weight / next_divisor);
    set_item(next_weights.get(), sid, value.get());
  }

  py::Ref limit = new_float(inputs.options.position_limit);
  normalize_weight(weights.get(), limit.get());
  normalize_weight(next_weights.get(), limit.get());

  if (end.should_rebalance) {
    for (std::ptrdiff_t j = 0; j < ncols; ++j) {
      const int sid = static_cast<int>(j);
      const double val1 = next_row.unchecked(j);
      if (!end.pos.contains(sid) || end.pos.value(sid) == 0.0) {
        if (val1 != 0.0) set_item(actions.get(), sid, words.enter.get());
      } else {
        set_item(actions.get(), sid, val1 == 0.0 ? words.exit.get() : words.hold.get());
      }
    }
  }

  // The word names the rule that removed the stock: "tp" forms for a take
  // profit, "sl" forms for a stop loss or a trailing stop, on either side.
  for (const ExitMark& s : end.exit_stocks) {
    const int k = std::abs(s.sid);
    const bool take_profit = s.rule == ExitReason::take_profit;
    if (stop_trading_next_period() || inputs.price_index[-1] > inputs.pos_index[end.pos_id]) {
      set_item(actions.get(), k, take_profit ? words.tp.get() : words.sl.get());
    } else if (has_next_weight(next_weights.get(), k)) {
      set_item(actions.get(), k, take_profit ? words.tp_enter.get() : words.sl_enter.get());
    }
  }

  for (const ExitMark& s : end.exited_stocks) {
    const int k = std::abs(s.sid);
    py::Ref key = new_int(k);
    if (stop_trading_next_period() ||
        !py::check_status(PyDict_Contains(actions.get(), key.get())))
      set_item(actions.get(), k,
               s.rule == ExitReason::take_profit ? words.tp_.get() : words.sl_.get());
  }
}

}  // namespace orvane::portsim
