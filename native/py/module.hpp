// Module initialisation helpers for modules whose state is process-wide.
#pragma once

#include <Python.h>

#include "error.hpp"

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

// The exec slot of such a module: claims the state, runs init(module) (which
// may throw), and gives the claim back when init fails, so that a later
// import can try again.
template <class Init>
int exec_once(PyObject* module, PyObject*& owner, const char* short_name, Init&& init) noexcept {
  const int claim = claim_module(module, owner, short_name);
  if (claim <= 0) return claim;
  if (!translate([&] {
        init(module);
        return Py_None;
      })) {
    release_claim(owner);
    return -1;
  }
  return 0;
}

// The slot table of a module with process-wide state and exec slot Exec.
template <int (*Exec)(PyObject*)>
PyModuleDef_Slot* module_slots() noexcept {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
      {0, nullptr},
  };
  return slots;
}

}  // namespace orvane::py
