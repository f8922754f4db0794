// orvane.core.portsim: the binding layer of the back-test engine. Arguments
// are bound, converted and checked here; the run itself is plain C++
// (../engine), and its results become Python objects here and in the files
// beside this one.
#define ORVANE_NUMPY_API_OWNER
#include "../../py/numpy.hpp"

#include <limits>
#include <optional>
#include <utility>

#include "../../excursion/capi.hpp"
#include "../../py/args.hpp"
#include "../../py/array.hpp"
#include "../../py/convert.hpp"
#include "../../py/error.hpp"
#include "../../py/module.hpp"
#include "../engine/run.hpp"
#include "caller.hpp"
#include "columns.hpp"
#include "ledger_dict.hpp"
#include "normalize_weight.hpp"
#include "stock_operations.hpp"
#include "trade_list.hpp"

namespace {

using namespace orvane;
using namespace orvane::py;

// Process-wide state: the module object that owns it, the recorder's bound
// entry points, the report of the last run, and whether a run is going on.
PyObject* g_module = nullptr;
capi::Table g_recorder;
// A plain pointer: the report outlives the interpreter's finalisation, when
// no reference may be released any more.
PyObject* g_stock_operations = nullptr;
// The trade ledger of the last completed run.
portsim::LedgerRows g_ledger;
bool g_running = false;

constexpr Signature<0> kGetStockOperations{"get_stock_operations", {}, 0};
constexpr Signature<0> kGetTradeLedger{"get_trade_ledger", {}, 0};
constexpr Signature<2> kNormalizeWeight{"normalize_weight", {"weights", "position_limit"}, 2};
constexpr Signature<1> kIoft{"ioft", {"v"}, 1};
constexpr Signature<3> kGetTradeStocks{
    "get_trade_stocks", {"pos_columns", "price_index", "touched_exit"}, 3};
constexpr Signature<23> kBacktest{"backtest_",
                                  {"price_values", "close_values", "high_values", "low_values",
                                   "open_values", "price_index", "price_columns", "pos_values",
                                   "pos_index", "pos_columns", "resample", "fee_ratio",
                                   "tax_ratio", "stop_loss", "take_profit", "trail_stop",
                                   "touched_exit", "position_limit",
                                   "retain_cost_when_rebalance", "stop_trading_next_period",
                                   "excursion_window", "excursion_window_step",
                                   "periodically_rebalance"},
                                  11};

// The array parameters of backtest_, in parameter order.
struct ArrayParam {
  const char* name;
  const ElemType* elem;
  int ndim;
};
constexpr ArrayParam kArrayParams[11] = {
    {"price_values", &kFloat64, 2}, {"close_values", &kFloat64, 2}, {"high_values", &kFloat64, 2},
    {"low_values", &kFloat64, 2},   {"open_values", &kFloat64, 2},  {"price_index", &kInt64, 1},
    {"price_columns", &kText, 1},   {"pos_values", &kFloat64, 2},   {"pos_index", &kInt64, 1},
    {"pos_columns", &kText, 1},     {"resample", &kInt64, 1},
};

// Marks the run in progress; a nested backtest_ (from Python code that the
// run calls) is refused before it touches any module state.
class RunningGuard {
 public:
  RunningGuard() {
    if (g_running) raise(ErrorKind::runtime_error, "backtest_ is already running");
    g_running = true;
  }
  ~RunningGuard() { g_running = false; }
  RunningGuard(const RunningGuard&) = delete;
  RunningGuard& operator=(const RunningGuard&) = delete;
};

// Pauses the cyclic garbage collector for a run and restores its state
// after. A run makes tens of thousands of small container objects (the
// recorder's trade rows) that cannot form cycles, and every automatic
// collection during the run would traverse all of them again.
class GcPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
#else
  GcPause() = default;
#endif
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  [[maybe_unused]] bool was_enabled_ = false;
};

// A view of a price or weight matrix the run cannot do without; None is
// told apart from an empty matrix.
std::optional<ArrayView2<double>> required_matrix(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return view2<double>(obj);
}

Ref backtest(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto a = bind(kBacktest, args, nargs, kwnames);
  const double inf = std::numeric_limits<double>::infinity();
  auto real = [&](std::size_t i, double dflt) { return a[i] ? to_double(a[i]) : dflt; };
  auto truth = [&](std::size_t i, bool dflt) { return a[i] ? to_bool(a[i]) : dflt; };
  auto integer = [&](std::size_t i, int dflt) { return a[i] ? to_int(a[i]) : dflt; };

  // Scalars are converted in parameter order, so the first bad one raises.
  portsim::RunOptions options{};
  options.fee_ratio = real(11, 0.001425);
  options.tax_ratio = real(12, 0.003);
  options.stop_loss = real(13, 1.0);
  options.take_profit = real(14, inf);
  options.trail_stop = real(15, inf);
  options.touched_exit = truth(16, false);
  options.position_limit = real(17, 1.0);
  options.retain_cost_when_rebalance = truth(18, false);
  PyObject* const stop_trading_next_period = a[19] ? a[19] : Py_True;
  options.excursion_window = integer(20, 0);
  options.excursion_window_step = integer(21, 1);
  options.periodically_rebalance = truth(22, true);

  for (std::size_t i = 0; i < 11; ++i) check_ndarray(a[i], kArrayParams[i].name);
  for (std::size_t i = 0; i < 11; ++i)
    check_buffer(a[i], *kArrayParams[i].elem, kArrayParams[i].ndim);
  // The run needs these three for its sizes; without them it cannot start.
  for (std::size_t i : {5u, 9u, 10u})
    if (a[i] == Py_None)
      raisef(ErrorKind::type_error, "Argument '%s' must not be None", kArrayParams[i].name);

  RunningGuard guard;
  GcPause gc_pause;
  // Held for the whole run: Python code the run calls cannot free or
  // resize an array under the run's views.
  Ref keep[12];
  for (std::size_t i = 0; i < 11; ++i) keep[i] = Ref::borrow(a[i]);
  keep[11] = Ref::borrow(stop_trading_next_period);

  check_status(PyObject_SetAttrString(g_module, "RETAIN_COST_WHEN_REBALANCE",
                                      options.retain_cost_when_rebalance ? Py_True : Py_False));
  check_status(PyObject_SetAttrString(g_module, "RESAMPLE",
                                      options.periodically_rebalance ? Py_True : Py_False));

  portsim::RunInputs inputs;
  inputs.pos2price = portsim::map_columns(a[6], a[9]);
  inputs.price_values = required_matrix(a[0]);
  inputs.close_values = view2<double>(a[1]);
  inputs.high_values = view2<double>(a[2]);
  inputs.low_values = view2<double>(a[3]);
  inputs.open_values = view2<double>(a[4]);
  inputs.price_index = view1<std::int64_t>(a[5]);
  inputs.pos_values = required_matrix(a[7]);
  inputs.pos_index = view1<std::int64_t>(a[8]);
  inputs.resample = view1<std::int64_t>(a[10]);
  inputs.position_names = view1<PyObject*>(a[9]).size();
  inputs.options = options;

  portsim::PythonCaller caller(g_recorder, {a[0], a[1], a[7], a[9], stop_trading_next_period});
  portsim::RunEnd end = portsim::run_backtest(inputs, caller.caller());
  portsim::build_stock_operations(end, inputs, caller.stop_trading_next_period(),
                                  g_stock_operations);
  g_ledger = std::move(end.ledger);
  return caller.take_creturn();
}

PyObject* py_backtest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate([&] { return backtest(args, nargs, kwnames).release(); });
}

PyObject* py_get_stock_operations(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return translate([&] {
    bind(kGetStockOperations, args, nargs, kwnames);
    return check(PyDict_Copy(g_stock_operations)).release();
  });
}

PyObject* py_get_trade_ledger(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return translate([&] {
    bind(kGetTradeLedger, args, nargs, kwnames);
    return portsim::ledger_dict(g_ledger).release();
  });
}

PyObject* py_normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return translate([&] {
    const auto a = bind(kNormalizeWeight, args, nargs, kwnames);
    portsim::normalize_weight(a[0], a[1]);
    return Ref::borrow(a[0]).release();
  });
}

// A module attribute (`datetime`, `excursion`) as it is at the call: the
// caller may rebind it, and a deleted one raises NameError.
Ref module_global(const char* name) {
  PyObject* dict = PyModule_GetDict(g_module);
  PyObject* value = PyDict_GetItemString(dict, name);
  if (!value) raisef(ErrorKind::name_error, "name '%s' is not defined", name);
  return Ref::borrow(value);
}

PyObject* py_ioft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate([&] {
    const auto a = bind(kIoft, args, nargs, kwnames);
    Ref scale = check(PyFloat_FromDouble(1e9));
    Ref seconds = check(PyNumber_TrueDivide(a[0], scale.get()));
    Ref datetime_module = module_global("datetime");
    Ref datetime_type = check(PyObject_GetAttrString(datetime_module.get(), "datetime"));
    return check(PyObject_CallMethod(datetime_type.get(), "fromtimestamp", "O", seconds.get()))
        .release();
  });
}

PyObject* py_get_trade_stocks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return translate([&] {
    const auto a = bind(kGetTradeStocks, args, nargs, kwnames);
    const bool touched_exit = to_bool(a[2]);
    check_ndarray(a[0], "pos_columns");
    check_ndarray(a[1], "price_index");
    check_buffer(a[0], kText, 1);
    check_buffer(a[1], kInt64, 1);
    Ref excursion = module_global("excursion");
    return portsim::get_trade_stocks(excursion.get(), a[0], a[1], touched_exit, g_stock_operations)
        .release();
  });
}

PyMethodDef methods[] = {
    {"get_stock_operations", fastcall(py_get_stock_operations), METH_FASTCALL | METH_KEYWORDS,
     "get_stock_operations()\n--\n\n"
     "Return a shallow copy of the stock-operations report of the last run."},
    {"get_trade_ledger", fastcall(py_get_trade_ledger), METH_FASTCALL | METH_KEYWORDS,
     "get_trade_ledger()\n--\n\n"
     "Return the money ledger of the last completed run: a dict of new arrays\n"
     "parallel to excursion.trades (\"entry_price\", \"exit_price\", \"exit_value\",\n"
     "\"invested\", \"pnl\", \"costs\", \"exit_reason\", \"position_id\") and\n"
     "\"traded\", the money traded on every bar."},
    {"normalize_weight", fastcall(py_normalize_weight), METH_FASTCALL | METH_KEYWORDS,
     "normalize_weight(weights, position_limit)\n--\n\n"
     "Scale a weight mapping down to an absolute sum of 1 when it exceeds 1,\n"
     "then clip every weight to [-position_limit, position_limit]. Changes\n"
     "`weights` in place and returns it."},
    {"ioft", fastcall(py_ioft), METH_FASTCALL | METH_KEYWORDS,
     "ioft(v)\n--\n\n"
     "Local naive datetime of a date given in nanoseconds since the epoch."},
    {"backtest_", fastcall(py_backtest), METH_FASTCALL | METH_KEYWORDS,
     "backtest_(price_values, close_values, high_values, low_values, open_values, price_index, "
     "price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, "
     "tax_ratio=0.003, stop_loss=1.0, take_profit=inf, trail_stop=inf, touched_exit=False, "
     "position_limit=1.0, retain_cost_when_rebalance=False, stop_trading_next_period=True, "
     "excursion_window=0, excursion_window_step=1, periodically_rebalance=True)\n--\n\n"
     "Simulate a portfolio bar by bar and return its value at every close\n"
     "(starting capital 1.0). Trades are recorded in orvane.core.excursion."},
    {"get_trade_stocks", fastcall(py_get_trade_stocks), METH_FASTCALL | METH_KEYWORDS,
     "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
     "Return (rows, stock_operations): one row per trade of the last run with\n"
     "the stock name, dates, weight and holding period."},
    {nullptr, nullptr, 0, nullptr},
};

void initialise(PyObject* module) {
  // The recorder's entry points are bound before anything else is defined.
  {
    Ref excursion = check(PyImport_ImportModule(capi::kModuleName));
    g_recorder = capi::bind_table(excursion.get());
  }
  Ref numpy = check(PyImport_ImportModule("numpy"));
  check_status(PyObject_SetAttrString(module, "org_np", numpy.get()));
  Ref excursion = check(PyImport_ImportModule(capi::kModuleName));
  check_status(PyObject_SetAttrString(module, "excursion", excursion.get()));
  Ref datetime = check(PyImport_ImportModule("datetime"));
  check_status(PyObject_SetAttrString(module, "datetime", datetime.get()));
  check_status(PyObject_SetAttrString(module, "RETAIN_COST_WHEN_REBALANCE", Py_False));
  check_status(PyObject_SetAttrString(module, "RESAMPLE", Py_None));
  store(g_stock_operations, check(PyDict_New()));
}

int exec_module(PyObject* module) {
  // A failed import may be retried (say, once excursion imports).
  return exec_once(module, g_module, "portsim", [](PyObject* m) {
    if (PyArray_ImportNumPyAPI() < 0) throw ErrorAlreadySet{};
    initialise(m);
  });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "portsim", "Portfolio back-test engine.", 0, methods,
    module_slots<exec_module>(),
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_portsim() { return PyModuleDef_Init(&module_def); }
