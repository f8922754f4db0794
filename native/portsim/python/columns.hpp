// Matching position columns to price columns by their names, which are
// Python objects.
#pragma once

#include <Python.h>

#include "../engine/columns.hpp"

namespace orvane::portsim {

// Names match when their UTF-8 encodings are equal byte for byte; a price
// name that occurs twice maps to its last occurrence.
ColumnMap map_columns(PyObject* price_columns, PyObject* pos_columns);

}  // namespace orvane::portsim
