// The trades of the last run as rows with names and dates.
#pragma once

#include <Python.h>

#include "../../py/ref.hpp"

namespace orvane::portsim {

// Returns (rows, stock_operations): one row of nine items per trade of the
// recorder module `excursion`, in its order, and the report object itself.
py::Ref get_trade_stocks(PyObject* excursion, PyObject* pos_columns, PyObject* price_index,
                         bool touched_exit, PyObject* stock_operations);

}  // namespace orvane::portsim
