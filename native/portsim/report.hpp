// The stock-operations report of a finished run, and weight normalisation.
#pragma once

#include <Python.h>

#include "../py/ref.hpp"

namespace orvane::portsim {

struct Run;

// Replaces `stock_operations` (the module's report) with a new dict
// describing the last executed and the next rebalance: "actions",
// "weights", "next_weights", "weight_time", "next_weight_time".
void build_stock_operations(Run& run, PyObject*& stock_operations);

// Scales the weights down when their absolute sum exceeds 1, then clips
// each to [-position_limit, position_limit]; in place on any mapping.
void normalize_weight(PyObject* weights, PyObject* position_limit);

}  // namespace orvane::portsim
