#include "recorder.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "../py/array.hpp"
#include "../py/error.hpp"
#include "../py/ref.hpp"

namespace orvane::excursion {

PyArrayObject* entry = nullptr;
PyArrayObject* position = nullptr;

namespace {

using py::Ref;

// Module variables that the engine does not see. All array and dict slots
// hold strong references for the life of the process.
struct State {
  PyObject* dict = nullptr;  // the module's dict, borrowed from the module the process keeps
  PyArrayObject* price = nullptr;
  PyArrayObject* close = nullptr;
  PyArrayObject* entry_transaction = nullptr;
  std::map<int, int> pos2price;
  // pos2price as a flat table by sid (-1: no entry), read once per trade.
  std::vector<int> pid_of;
  Settings settings;
  int date = 0;
  Series series;  // buffers reused by every trade
};

State g;

// Interned names, created once at import and kept for the process.
struct Names {
  PyObject* trades;
  PyObject* trade_positions;
  PyObject* excursion;
  PyObject* append;
  PyObject* clear;
};
Names names{};

PyObject* intern(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (!s) throw py::ErrorAlreadySet{};
  return s;
}

Ref zeros(npy_intp n, int typenum) {
  return py::check(PyArray_ZEROS(1, &n, typenum, 0));
}

Ref zeros_2d() {
  npy_intp dims[2] = {0, 0};
  return py::check(PyArray_ZEROS(2, dims, NPY_FLOAT64, 0));
}

// The module-level list under `name`, looked up at each use so that a list
// the caller bound to that name is the one used.
Ref module_list(PyObject* name) {
  PyObject* obj = PyDict_GetItemWithError(g.dict, name);
  if (!obj) {
    if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
    raisef(ErrorKind::name_error, "name '%s' is not defined", PyUnicode_AsUTF8(name));
  }
  return Ref::borrow(obj);
}

void append_to(PyObject* name, Ref item) {
  Ref list = module_list(name);
  if (PyList_CheckExact(list.get())) {
    py::check_status(PyList_Append(list.get(), item.get()));
  } else {
    py::check(PyObject_CallMethodOneArg(list.get(), names.append, item.get()));
  }
}

void clear_list(PyObject* name) {
  Ref list = module_list(name);
  py::check(PyObject_CallMethodNoArgs(list.get(), names.clear));
}

// Per-column arrays are read and written in place: a negative column counts
// from the end, one outside the array raises IndexError (py::item_index).
char* item_address(PyArrayObject* array, int sid) {
  const Py_ssize_t i = py::item_index(sid, PyArray_DIM(array, 0));
  return PyArray_BYTES(array) + i * PyArray_STRIDE(array, 0);
}
template <class T>
T item(PyArrayObject* array, int sid) {
  return read_at<T>(item_address(array, sid));
}
template <class T>
void set_item(PyArrayObject* array, int sid, T value) {
  write_at<T>(item_address(array, sid), value);
}

// The element as a NumPy scalar of the array's type.
Ref item_scalar(PyArrayObject* array, int sid) {
  return py::check(PyArray_Scalar(item_address(array, sid), PyArray_DESCR(array),
                                  reinterpret_cast<PyObject*>(array)));
}

int to_c_int(std::int64_t v) {
  if (v < INT_MIN || v > INT_MAX)
    raise(ErrorKind::overflow_error, "value too large to convert to int");
  return static_cast<int>(v);
}

// The trade row [sid, entry bar, exit bar] and its position weight, then its
// excursion array, each appended as soon as it exists.
void record_trade(int sid, int exit_bar, bool exit_transaction) {
  Ref row = py::check(PyList_New(3));
  PyList_SET_ITEM(row.get(), 0, py::check(PyLong_FromLong(sid)).release());
  PyList_SET_ITEM(row.get(), 1, item_scalar(entry, sid).release());
  PyList_SET_ITEM(row.get(), 2, py::check(PyLong_FromLong(exit_bar)).release());
  append_to(names.trades, std::move(row));
  append_to(names.trade_positions, item_scalar(position, sid));

  const bool is_long = item<double>(position, sid) > 0;
  const Trade trade{sid,
                    to_c_int(item<std::int64_t>(entry, sid)),
                    g.date,
                    is_long,
                    to_c_int(item<std::int64_t>(g.entry_transaction, sid)) != 0,
                    exit_transaction,
                    sid >= 0 && static_cast<std::size_t>(sid) < g.pid_of.size()
                        ? g.pid_of[static_cast<std::size_t>(sid)]
                        : -1};

  const ArrayView2<double> price = py::view2<double>(reinterpret_cast<PyObject*>(g.price));
  const ArrayView2<double> close = py::view2<double>(reinterpret_cast<PyObject*>(g.close));
  const Prices prices{g.price ? &price : nullptr, g.close ? &close : nullptr};
  trace_trade(prices, g.pos2price, g.settings, trade, g.series);

  npy_intp length = result_size(g.settings);
  Ref ret = py::check(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
  std::span<double> values(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ret.get()))),
                           static_cast<std::size_t>(length));
  std::fill(values.begin(), values.end(), -1.0);
  write_result(g.series, g.settings, trade, values);
  append_to(names.excursion, std::move(ret));
}

// Accepts None (or a null pointer) and 2-D float64 ndarrays; returns null
// for a matrix that is not set.
PyArrayObject* checked_matrix(PyArrayObject* matrix) {
  auto* obj = reinterpret_cast<PyObject*>(matrix);
  if (!obj || obj == Py_None) return nullptr;
  py::check_buffer(obj, py::kFloat64, 2);
  return matrix;
}

void check_matrix_type(PyArrayObject* matrix, const char* param) {
  if (matrix) py::check_ndarray(reinterpret_cast<PyObject*>(matrix), param);
}

}  // namespace

void init_state(PyObject* module) {
  names = Names{intern("trades"), intern("trade_positions"), intern("excursion"), intern("append"),
                intern("clear")};
  g.dict = PyModule_GetDict(module);
  Ref numpy = py::check(PyImport_ImportModule("numpy"));
  py::check_status(PyDict_SetItemString(g.dict, "org_np", numpy.get()));
  py::store(g.price, zeros_2d());
  py::store(g.close, zeros_2d());
  for (PyObject* name : {names.trades, names.trade_positions, names.excursion})
    py::check_status(PyDict_SetItem(g.dict, name, py::check(PyList_New(0)).get()));
  py::store(entry, zeros(0, NPY_INT64));
  py::store(g.entry_transaction, zeros(0, NPY_INT64));
  py::store(position, zeros(0, NPY_FLOAT64));
  g.settings.fee_ratio = 0;
  g.settings.tax_ratio = 0;
}

void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_,
                    int nstocks, double fee_ratio_, double tax_ratio_, int window_,
                    int window_step_) {
  py::translate_void([&] {
    check_matrix_type(price_, "price_");
    check_matrix_type(close_, "close_");
    PyArrayObject* price = checked_matrix(price_);
    PyArrayObject* close = checked_matrix(close_);
    py::store(g.price, Ref::borrow(reinterpret_cast<PyObject*>(price)));
    py::store(g.close, Ref::borrow(reinterpret_cast<PyObject*>(close)));
    g.pos2price = std::move(pos2price_);
    g.pid_of.assign(static_cast<std::size_t>(nstocks > 0 ? nstocks : 0), -1);
    for (const auto& [sid, pid] : g.pos2price)
      if (sid >= 0 && sid < nstocks) g.pid_of[static_cast<std::size_t>(sid)] = pid;
    g.settings.window = window_;
    g.settings.window_step = window_step_;
    clear_list(names.trades);
    clear_list(names.trade_positions);
    clear_list(names.excursion);
    py::store(entry, zeros(nstocks, NPY_INT64));
    py::store(position, zeros(nstocks, NPY_FLOAT64));
    py::store(g.entry_transaction, zeros(nstocks, NPY_INT64));
    g.settings.fee_ratio = fee_ratio_;
    g.settings.tax_ratio = tax_ratio_;
  });
}

void record_date(int d) { g.date = d; }

void record_entry(int sid, double position_sid, int has_entry_transaction) {
  py::translate_void([&] {
    set_item<std::int64_t>(entry, sid, g.date);
    set_item<double>(position, sid, position_sid);
    set_item<std::int64_t>(g.entry_transaction, sid, has_entry_transaction);
  });
}

void record_exit(int sid, int has_exit_transaction) {
  py::translate_void([&] { record_trade(sid, g.date, has_exit_transaction != 0); });
}

PyObject* end_analysis(std::map<int, double>& pos) {
  return py::translate([&] {
    for (const auto& [sid, value] : pos) {
      // A NaN holding counts as open.
      if (value != 0) record_trade(sid, -1, false);
    }
    Py_INCREF(Py_None);
    return Py_None;
  });
}

}  // namespace orvane::excursion
