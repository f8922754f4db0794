#include "trade_list.hpp"

#include "../../py/error.hpp"

namespace orvane::portsim {

namespace {

py::Ref item(PyObject* seq, PyObject* index) { return py::check(PyObject_GetItem(seq, index)); }

py::Ref item_at(PyObject* seq, Py_ssize_t index) {
  py::Ref i = py::check(PyLong_FromSsize_t(index));
  return item(seq, i.get());
}

py::Ref minus(PyObject* a, PyObject* b) { return py::check(PyNumber_Subtract(a, b)); }

}  // namespace

py::Ref get_trade_stocks(PyObject* excursion, PyObject* pos_columns, PyObject* price_index,
                         bool touched_exit, PyObject* stock_operations) {
  py::Ref minus_one = py::check(PyLong_FromLong(-1));
  py::Ref one = py::check(PyLong_FromLong(1));
  py::Ref rows = py::check(PyList_New(0));

  py::Ref trades = py::check(PyObject_GetAttrString(excursion, "trades"));
  py::Ref it = py::check(PyObject_GetIter(trades.get()));
  Py_ssize_t i = 0;
  while (PyObject* raw = PyIter_Next(it.get())) {
    py::Ref t = py::Ref::steal(raw);
    py::Ref sid = item_at(t.get(), 0);
    py::Ref entry_bar = item_at(t.get(), 1);
    py::Ref exit_bar = item_at(t.get(), 2);
    const bool closed =
        py::check_status(PyObject_RichCompareBool(exit_bar.get(), minus_one.get(), Py_NE)) != 0;

    py::Ref row = py::check(PyList_New(9));
    auto put = [&](Py_ssize_t k, py::Ref value) { PyList_SET_ITEM(row.get(), k, value.release()); };
    // Unfilled slots hold NULL, which a list being built may do; each is
    // filled in index order before the row is used.
    put(0, item(pos_columns, sid.get()));
    put(1, item(price_index, entry_bar.get()));
    put(2, closed ? item(price_index, exit_bar.get()) : py::Ref::borrow(minus_one.get()));
    {
      py::Ref before_entry = minus(entry_bar.get(), one.get());
      put(3, item(price_index, before_entry.get()));
    }
    if (!closed) {
      put(4, py::Ref::borrow(minus_one.get()));
    } else if (touched_exit) {
      put(4, item(price_index, exit_bar.get()));
    } else {
      py::Ref decided = minus(exit_bar.get(), one.get());
      put(4, item(price_index, decided.get()));
    }
    {
      py::Ref positions = py::check(PyObject_GetAttrString(excursion, "trade_positions"));
      put(5, item_at(positions.get(), i));
    }
    if (closed) {
      put(6, minus(exit_bar.get(), entry_bar.get()));
    } else {
      const Py_ssize_t bars = PyObject_Length(price_index);
      if (bars < 0) throw py::ErrorAlreadySet{};
      py::Ref n = py::check(PyLong_FromSsize_t(bars));
      put(6, minus(n.get(), entry_bar.get()));
    }
    put(7, std::move(entry_bar));
    put(8, std::move(exit_bar));
    py::check_status(PyList_Append(rows.get(), row.get()));
    ++i;
  }
  py::check_pending();
  return py::check(PyTuple_Pack(2, rows.get(), stock_operations));
}

}  // namespace orvane::portsim
