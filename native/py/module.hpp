// Module initialisation helpers for modules whose state is process-wide.
#pragma once

#include <Python.h>

namespace orvane::py {

// Exec-slot guard for a module whose state is process-wide: the first module
// object owns that state; executing the definition again into another module
// object (for instance through importlib with a fresh spec) fails, since two
// module objects cannot share it.
// Returns 1 when `module` should now be initialised, 0 when it already was,
// -1 with RuntimeError set when another module object owns the state.
inline int claim_module(PyObject* module, PyObject*& owner, const char* short_name) {
  if (owner == module) return 0;
  if (owner) {
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 short_name);
    return -1;
  }
  Py_INCREF(module);  // the state refers to it for the rest of the process
  owner = module;
  return 1;
}

// Undoes claim_module after an initialisation that failed.
inline void release_claim(PyObject*& owner) {
  PyObject* module = owner;
  owner = nullptr;
  Py_XDECREF(module);
}

}  // namespace orvane::py
