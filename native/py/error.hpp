// Where failures cross between C++ and Python.
//
// C++ code fails by throwing (base/error.hpp): Error with the kind of Python
// exception and its message, or ErrorAlreadySet after a C API call or a
// callback failed and left its Python exception pending. translate() is the
// one place where those become the pending Python exception.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <utility>

#include "../base/error.hpp"
#include "ref.hpp"

namespace orvane::py {

using orvane::Error;
using orvane::ErrorAlreadySet;
using orvane::ErrorKind;

// Throws if a Python exception is pending (after a void C API call or a
// callback that signals failure only through the error indicator).
inline void check_pending() {
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

// Throws unless a C API call returning an object succeeded; owns the result.
inline Ref check(PyObject* result) {
  if (!result) throw ErrorAlreadySet{};
  return Ref::steal(result);
}

// Throws when a C API call returning an int status failed (-1).
inline int check_status(int status) {
  if (status == -1) throw ErrorAlreadySet{};
  return status;
}

// The Python exception type of an error kind.
inline PyObject* exception_type(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::type_error: return PyExc_TypeError;
    case ErrorKind::value_error: return PyExc_ValueError;
    case ErrorKind::index_error: return PyExc_IndexError;
    case ErrorKind::overflow_error: return PyExc_OverflowError;
    case ErrorKind::zero_division_error: return PyExc_ZeroDivisionError;
    case ErrorKind::runtime_error: return PyExc_RuntimeError;
    case ErrorKind::import_error: return PyExc_ImportError;
    case ErrorKind::name_error: return PyExc_NameError;
  }
  return PyExc_SystemError;
}

// Sets the pending Python exception for the C++ exception being handled.
inline void set_python_error_from_current() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
  } catch (const Error& e) {
    PyErr_SetString(exception_type(e.kind), e.message.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// Runs body (returning a new reference, or nullptr) and turns any C++
// exception into the pending Python exception and a null result.
template <class Body>
PyObject* translate(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

// Runs body for a void entry point that reports failure only by leaving a
// Python exception pending.
template <class Body>
void translate_void(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    set_python_error_from_current();
  }
}

}  // namespace orvane::py
