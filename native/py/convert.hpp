// Conversions of Python arguments to C++ scalars.
#pragma once

#include <Python.h>

#include <climits>

#include "error.hpp"

namespace orvane::py {

// Any real number: float, int, or an object with __float__ or __index__.
inline double to_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
  return v;
}

// An int, or an object with an integer conversion (a float is truncated
// toward zero); 32-bit signed range.
inline int to_int(PyObject* obj) {
  Ref owned;
  if (!PyLong_Check(obj)) {
    PyNumberMethods* m = Py_TYPE(obj)->tp_as_number;
    if (!m || !m->nb_int) raise(ErrorKind::type_error, "an integer is required");
    owned = check(m->nb_int(obj));
    if (!PyLong_Check(owned.get()))
      raisef(ErrorKind::type_error, "__int__ returned non-int (type %.200s)",
             Py_TYPE(owned.get())->tp_name);
    obj = owned.get();
  }
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  if (overflow != 0 || v < INT_MIN || v > INT_MAX)
    raise(ErrorKind::overflow_error, "value too large to convert to int");
  return static_cast<int>(v);
}

// The truth value of any object (its __bool__ or __len__ may raise).
inline bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False || obj == Py_None) return false;
  return check_status(PyObject_IsTrue(obj)) != 0;
}

}  // namespace orvane::py
