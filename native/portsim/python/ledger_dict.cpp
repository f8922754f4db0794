#include "ledger_dict.hpp"

#include <cstring>

#include "../../py/error.hpp"
#include "../../py/numpy.hpp"

namespace orvane::portsim {

namespace {

// A new 1-D array of `length` elements of `type` (C-contiguous, so filled
// through a plain pointer).
template <class T>
py::Ref new_array(std::size_t length, int type, T*& data) {
  npy_intp n = static_cast<npy_intp>(length);
  py::Ref array = py::check(PyArray_SimpleNew(1, &n, type));
  data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  return array;
}

// The column `field` of every row as a new array.
template <class T, class Field>
py::Ref column(const LedgerRows& ledger, int type, Field field) {
  T* data = nullptr;
  py::Ref array = new_array(ledger.size, type, data);
  for (const auto& block : ledger.blocks)
    for (const LedgerRow& row : block) *data++ = static_cast<T>(field(row));
  return array;
}

// A per-bar series as a new float64 array.
py::Ref per_bar(const std::vector<double>& values) {
  double* data = nullptr;
  py::Ref array = new_array(values.size(), NPY_FLOAT64, data);
  if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(double));
  return array;
}

void put(PyObject* dict, const char* key, py::Ref value) {
  py::check_status(PyDict_SetItemString(dict, key, value.get()));
}

}  // namespace

py::Ref ledger_dict(const LedgerRows& ledger) {
  py::Ref out = py::check(PyDict_New());
  put(out.get(), "entry_price",
      column<double>(ledger, NPY_FLOAT64, [](const LedgerRow& r) { return r.entry_price; }));
  put(out.get(), "exit_price",
      column<double>(ledger, NPY_FLOAT64, [](const LedgerRow& r) { return r.exit_price; }));
  put(out.get(), "exit_value",
      column<double>(ledger, NPY_FLOAT64, [](const LedgerRow& r) { return r.exit_value; }));
  put(out.get(), "invested",
      column<double>(ledger, NPY_FLOAT64, [](const LedgerRow& r) { return r.invested; }));
  put(out.get(), "pnl",
      column<double>(ledger, NPY_FLOAT64, [](const LedgerRow& r) { return r.pnl; }));
  put(out.get(), "costs",
      column<double>(ledger, NPY_FLOAT64, [](const LedgerRow& r) { return r.costs; }));
  put(out.get(), "exit_reason",
      column<std::int8_t>(ledger, NPY_INT8, [](const LedgerRow& r) { return r.exit_reason; }));
  put(out.get(), "position_id",
      column<std::int64_t>(ledger, NPY_INT64, [](const LedgerRow& r) { return r.position_id; }));
  put(out.get(), "traded", per_bar(ledger.traded));
  put(out.get(), "held", per_bar(ledger.held));
  return out;
}

}  // namespace orvane::portsim
