#include "recorder.hpp"

#include <algorithm>
#include <array>
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

// Immutable objects that the rows of one run share, each created on first
// use: a Python int or a NumPy scalar cannot change, so a row holding the
// same object as another row reads exactly as one holding its own copy,
// and a run creates (and the next one frees) one object per distinct value
// instead of two or three per trade. Like the module's other slots, the
// objects are held until the next run and never released at exit, when
// the interpreter may already be gone.
class SharedObjects {
 public:
  SharedObjects() = default;
  SharedObjects(const SharedObjects&) = delete;
  SharedObjects& operator=(const SharedObjects&) = delete;

  // Drops the objects held and makes room for the keys [0, n).
  void reset(std::size_t n) {
    for (PyObject*& obj : slots_) Py_CLEAR(obj);
    slots_.assign(n, nullptr);
  }

  // The object for `key`, made by `make` unless one is held; keys outside
  // [0, n) are never held.
  template <class Make>
  Ref get(std::int64_t key, Make&& make) {
    if (key < 0 || static_cast<std::uint64_t>(key) >= slots_.size()) return make();
    PyObject*& slot = slots_[static_cast<std::size_t>(key)];
    if (!slot) slot = make().release();
    return Ref::borrow(slot);
  }

 private:
  std::vector<PyObject*> slots_;
};

// The same for float64 scalars, keyed by their bits (so 0.0 and -0.0, and
// NaNs of different payloads, stay apart): a small table in which a new
// value replaces the one in its slot. Weights repeat (equal weights, the
// same target row traded again), so most trades find theirs.
class SharedFloats {
 public:
  SharedFloats() = default;
  SharedFloats(const SharedFloats&) = delete;
  SharedFloats& operator=(const SharedFloats&) = delete;

  void reset() {
    for (Slot& s : slots_) Py_CLEAR(s.obj);
  }

  template <class Make>
  Ref get(std::uint64_t bits, Make&& make) {
    Slot& s = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
    if (!s.obj || s.bits != bits) {
      Ref made = make();
      Py_XSETREF(s.obj, Ref::borrow(made.get()).release());
      s.bits = bits;
      return made;
    }
    return Ref::borrow(s.obj);
  }

 private:
  static constexpr int kBits = 6;
  struct Slot {
    std::uint64_t bits = 0;
    PyObject* obj = nullptr;
  };
  std::array<Slot, std::size_t{1} << kBits> slots_{};
};

// The memory of a run's excursion arrays. Each array is a view of its own
// stretch of a shared block, which its base (the block, a float64 array)
// keeps alive: the arrays do not overlap, so writing to one never changes
// another, and a block is never reused, so arrays a caller keeps from one
// run are untouched by the next. Blocks grow from 8 KiB to 64 KiB: few
// allocations per run, each served from the allocator's free lists (below
// the size it maps fresh pages for), and at most 64 KiB held alive by one
// array a caller keeps. The current block is held like the module's other
// slots (never released at exit).
class ResultBlocks {
 public:
  ResultBlocks() = default;
  ResultBlocks(const ResultBlocks&) = delete;
  ResultBlocks& operator=(const ResultBlocks&) = delete;

  void reset() noexcept {
    Py_CLEAR(block_);
    next_ = nullptr;
    left_ = 0;
    block_size_ = kFirstBlock;
  }

  // A new writeable C-contiguous float64 array of `length` elements, its
  // contents unset.
  Ref take(npy_intp length) {
    // An empty or negative length fails or succeeds as an array of its own.
    if (length <= 0) return py::check(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
    if (length > left_) {
      // A length above the block size gets a block of exactly its size, so
      // a length too large to allocate fails as an array of that length.
      npy_intp n = std::max(block_size_, length);
      Ref block = py::check(PyArray_SimpleNew(1, &n, NPY_FLOAT64));
      next_ = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(block.get())));
      left_ = n;
      Py_XSETREF(block_, block.release());
      block_size_ = std::min(block_size_ * 2, kLastBlock);
    }
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);  // stolen below
    if (!descr) throw py::ErrorAlreadySet{};
    Ref view = py::check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, nullptr, next_,
                                              NPY_ARRAY_CARRAY, nullptr));
    // Steals the reference, also on failure.
    py::check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()),
                                           Ref::borrow(block_).release()));
    next_ += length;
    left_ -= length;
    return view;
  }

 private:
  static constexpr npy_intp kFirstBlock = 1024;
  static constexpr npy_intp kLastBlock = 8 * 1024;
  PyObject* block_ = nullptr;
  double* next_ = nullptr;
  npy_intp left_ = 0;
  npy_intp block_size_ = kFirstBlock;
};

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
  Path path;  // buffers reused by every trade
  SharedObjects sid_ints;       // by sid
  SharedObjects bar_ints;       // exit bars, by bar
  SharedObjects bar_scalars;    // entry bars, by bar
  SharedFloats weight_scalars;  // weights, by bits
  ResultBlocks results;
};

// Never destroyed: a destructor at exit would free the containers that hold
// the shared objects' last references, after the interpreter may be gone.
State& g = *new State;

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

// The element of the run's int64 or float64 per-column array as a NumPy
// scalar of the array's type, shared by equal values.
Ref entry_scalar(int sid) {
  char* at = item_address(entry, sid);
  return g.bar_scalars.get(read_at<std::int64_t>(at), [&] {
    return py::check(
        PyArray_Scalar(at, PyArray_DESCR(entry), reinterpret_cast<PyObject*>(entry)));
  });
}
Ref weight_scalar(int sid) {
  char* at = item_address(position, sid);
  return g.weight_scalars.get(read_at<std::uint64_t>(at), [&] {
    return py::check(
        PyArray_Scalar(at, PyArray_DESCR(position), reinterpret_cast<PyObject*>(position)));
  });
}

Ref int_object(SharedObjects& shared, int value) {
  return shared.get(value, [value] { return py::check(PyLong_FromLong(value)); });
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
  PyList_SET_ITEM(row.get(), 0, int_object(g.sid_ints, sid).release());
  PyList_SET_ITEM(row.get(), 1, entry_scalar(sid).release());
  PyList_SET_ITEM(row.get(), 2, int_object(g.bar_ints, exit_bar).release());
  append_to(names.trades, std::move(row));
  append_to(names.trade_positions, weight_scalar(sid));

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
  trace_trade(prices, g.pos2price, g.settings, trade, g.path);

  const npy_intp length = result_size(g.settings);
  Ref ret = g.results.take(length);
  std::span<double> values(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ret.get()))),
                           static_cast<std::size_t>(length));
  std::fill(values.begin(), values.end(), -1.0);
  write_result(g.path, values);
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
    const std::size_t columns = static_cast<std::size_t>(nstocks > 0 ? nstocks : 0);
    const std::size_t bars = price ? static_cast<std::size_t>(PyArray_DIM(price, 0)) : 0;
    g.sid_ints.reset(columns);
    g.bar_ints.reset(bars);
    g.bar_scalars.reset(bars);
    g.weight_scalars.reset();
    g.results.reset();
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
