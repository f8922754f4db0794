#include "normalize_weight.hpp"

#include "../../py/error.hpp"

namespace orvane::portsim {

void normalize_weight(PyObject* weights, PyObject* position_limit) {
  py::Ref weight_sum = py::check(PyFloat_FromDouble(0.0));
  {
    py::Ref items = py::check(PyObject_CallMethod(weights, "items", nullptr));
    py::Ref it = py::check(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      py::Ref item = py::Ref::steal(raw);
      py::Ref sid = py::check(PySequence_GetItem(item.get(), 0));
      py::Ref w = py::check(PyObject_GetItem(weights, sid.get()));
      py::Ref magnitude = py::check(PyNumber_Absolute(w.get()));
      weight_sum = py::check(PyNumber_InPlaceAdd(weight_sum.get(), magnitude.get()));
    }
    py::check_pending();
  }

  py::Ref one = py::check(PyLong_FromLong(1));
  auto for_each_key = [&](auto&& visit) {
    py::Ref it = py::check(PyObject_GetIter(weights));
    while (PyObject* raw = PyIter_Next(it.get())) {
      py::Ref sid = py::Ref::steal(raw);
      visit(sid.get());
    }
    py::check_pending();
  };

  for_each_key([&](PyObject* sid) {
    if (!py::check_status(PyObject_RichCompareBool(weight_sum.get(), one.get(), Py_GT))) return;
    // The reciprocal is multiplied in, not divided by: the last bits differ.
    py::Ref factor = py::check(PyNumber_TrueDivide(one.get(), weight_sum.get()));
    py::Ref w = py::check(PyObject_GetItem(weights, sid));
    py::Ref scaled = py::check(PyNumber_Multiply(w.get(), factor.get()));
    py::check_status(PyObject_SetItem(weights, sid, scaled.get()));
  });

  py::Ref lower = py::check(PyNumber_Negative(position_limit));
  for_each_key([&](PyObject* sid) {
    py::Ref w = py::check(PyObject_GetItem(weights, sid));
    if (py::check_status(PyObject_RichCompareBool(w.get(), position_limit, Py_GT))) {
      py::check_status(PyObject_SetItem(weights, sid, position_limit));
      return;
    }
    if (py::check_status(PyObject_RichCompareBool(w.get(), lower.get(), Py_LT)))
      py::check_status(PyObject_SetItem(weights, sid, lower.get()));
  });
}

}  // namespace orvane::portsim
