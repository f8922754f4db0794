// Includes the NumPy C API for one extension module.
//
// Each module target defines PY_ARRAY_UNIQUE_SYMBOL (its own API table
// name). The one source file that initialises the module defines
// ORVANE_NUMPY_API_OWNER before including this header; all other files of
// that target only refer to the table.
#pragma once

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#ifndef ORVANE_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <Python.h>
#include <numpy/arrayobject.h>
