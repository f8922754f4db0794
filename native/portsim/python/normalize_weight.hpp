// Weight normalisation on any Python mapping of weights.
#pragma once

#include <Python.h>

namespace orvane::portsim {

// Scales the weights down when their absolute sum exceeds 1, then clips
// each to [-position_limit, position_limit]; in place, with Python
// arithmetic on whatever numbers the mapping holds.
void normalize_weight(PyObject* weights, PyObject* position_limit);

}  // namespace orvane::portsim
