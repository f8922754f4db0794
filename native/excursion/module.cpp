// orvane.core.excursion: the trade recorder. It has no Python-callable
// functions; the engine reaches it through the binding table `_capi`.
#include <Python.h>

#define ORVANE_NUMPY_API_OWNER
#include "../py/error.hpp"
#include "../py/module.hpp"
#include "../py/numpy.hpp"
#include "capi.hpp"
#include "recorder.hpp"

namespace {

using namespace orvane;

PyObject* g_module = nullptr;

// The table is published before the module variables are set, so its
// variable entries are addresses, never values.
void init_module(PyObject* module) {
  capi::Table table;
  table.entry = &excursion::entry;
  table.position = &excursion::position;
  table.start_analysis = &excursion::start_analysis;
  table.record_date = &excursion::record_date;
  table.record_entry = &excursion::record_entry;
  table.record_exit = &excursion::record_exit;
  table.end_analysis = &excursion::end_analysis;
  py::Ref capi_table = capi::make_table(table);
  py::check_status(PyObject_SetAttrString(module, capi::kTableAttr, capi_table.get()));
  excursion::init_state(module);
}

int exec_module(PyObject* module) {
  return py::exec_once(module, g_module, "excursion", [](PyObject* m) {
    if (PyArray_ImportNumPyAPI() < 0) throw py::ErrorAlreadySet{};
    init_module(m);
  });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "excursion",
    "Trade recorder of the back-test engine: the trades of the last run in\n"
    "`trades`, `trade_positions` and `excursion`, and the native entry points\n"
    "the engine binds through `_capi`.",
    0,
    nullptr,
    py::module_slots<exec_module>(),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_excursion() { return PyModuleDef_Init(&module_def); }
