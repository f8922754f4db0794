// The stock-operations report of a finished run: a Python dict.
#pragma once

#include <Python.h>

#include "../engine/caller.hpp"
#include "../engine/run.hpp"

namespace orvane::portsim {

// Replaces `stock_operations` (the module's report) with a new dict
// describing the last executed and the next rebalance of the run that ended
// in `end`: "actions", "weights", "next_weights", "weight_time",
// "next_weight_time". The dict is in the slot before it is filled, so a
// failure part way leaves what was filled so far.
void build_stock_operations(const RunEnd& end, const RunInputs& inputs,
                            TruthTest stop_trading_next_period, PyObject*& stock_operations);

}  // namespace orvane::portsim
