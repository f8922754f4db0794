// How failures cross between plain C++ and Python.
//
// Code that has just seen a C API call fail throws ErrorAlreadySet: the
// Python exception is pending and travels as is. Plain C++ code that wants to
// raise throws Error with a Python exception type and a message; nothing is
// set in the interpreter until the binding layer catches it. translate() is
// the one place where C++ exceptions become the pending Python exception.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "ref.hpp"

namespace orvane::py {

struct ErrorAlreadySet {};

struct Error {
  PyObject* type;  // a built-in exception type, which lives for the process
  std::string message;
};

[[noreturn]] inline void raise(PyObject* type, std::string message) {
  throw Error{type, std::move(message)};
}

[[noreturn]] __attribute__((format(printf, 2, 3))) inline void raisef(PyObject* type,
                                                                     const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  throw Error{type, buf};
}

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

// Sets the pending Python exception for the C++ exception being handled.
inline void set_python_error_from_current() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
  } catch (const Error& e) {
    PyErr_SetString(e.type, e.message.c_str());
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
