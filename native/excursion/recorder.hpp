// The trade recorder: module state of orvane.core.excursion and the five
// operations the engine calls through the binding table.
#pragma once

#include <map>

#include "../py/numpy.hpp"
#include "analysis.hpp"
#include "capi.hpp"

namespace orvane::excursion {

// Variables published through the binding table; their addresses stay fixed
// while start_analysis replaces the arrays they hold.
extern PyArrayObject* entry;
extern PyArrayObject* position;

// Sets the module's initial state and its Python-level names; `module`
// lives for the rest of the process.
void init_state(PyObject* module);

// The entry points. None lets a C++ exception escape: a failure is left as
// the pending Python exception (end_analysis also returns null).
capi::StartAnalysis start_analysis;
capi::RecordDate record_date;
capi::RecordEntry record_entry;
capi::RecordExit record_exit;
capi::EndAnalysis end_analysis;

}  // namespace orvane::excursion
