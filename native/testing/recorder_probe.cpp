// orvane.core._recorder_probe: test-only module that binds the recorder's
// table exactly as the engine does and exposes each entry point to Python.
#include <Python.h>

#include <map>

#define ORVANE_NUMPY_API_OWNER
#include "../excursion/capi.hpp"
#include "../py/args.hpp"
#include "../py/convert.hpp"
#include "../py/error.hpp"
#include "../py/module.hpp"
#include "../py/numpy.hpp"

namespace {

using namespace orvane;
using py::fastcall;
using py::Ref;

PyObject* g_module = nullptr;
capi::Table g_table;

// The engine's calling convention: test for a pending exception after every
// call of a void entry point.
PyObject* none_unless_pending() {
  if (PyErr_Occurred()) return nullptr;
  Py_INCREF(Py_None);
  return Py_None;
}

template <class Value, class Convert>
std::map<int, Value> to_map(PyObject* dict, Convert convert) {
  if (!PyDict_Check(dict)) raise(ErrorKind::type_error, "expected a dict");
  std::map<int, Value> out;
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) out[py::to_int(key)] = convert(value);
  return out;
}

template <std::size_t N, class Body>
PyObject* call(const py::Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Body body) {
  return py::translate([&]() -> PyObject* {
    auto bound = py::bind(sig, args, nargs, kwnames);
    return body(bound);
  });
}

#define PROBE(name)                                                                 \
  PyObject* py_##name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw)

constexpr py::Signature<1> kBind{"bind", {"module"}, 1};
PROBE(bind) {
  return call(kBind, args, nargs, kw, [](auto& a) {
    g_table = capi::bind_table(a[0]);
    return none_unless_pending();
  });
}

constexpr py::Signature<8> kStart{
    "start_analysis",
    {"price", "close", "pos2price", "nstocks", "fee_ratio", "tax_ratio", "window", "window_step"},
    8};
PROBE(start_analysis) {
  return call(kStart, args, nargs, kw, [](auto& a) {
    auto pos2price = to_map<int>(a[2], py::to_int);
    g_table.start_analysis(reinterpret_cast<PyArrayObject*>(a[0]),
                           reinterpret_cast<PyArrayObject*>(a[1]), pos2price, py::to_int(a[3]),
                           py::to_double(a[4]), py::to_double(a[5]), py::to_int(a[6]),
                           py::to_int(a[7]));
    return none_unless_pending();
  });
}

constexpr py::Signature<1> kDate{"record_date", {"d"}, 1};
PROBE(record_date) {
  return call(kDate, args, nargs, kw, [](auto& a) {
    g_table.record_date(py::to_int(a[0]));
    return none_unless_pending();
  });
}

constexpr py::Signature<3> kEntry{"record_entry", {"sid", "position", "flag"}, 3};
PROBE(record_entry) {
  return call(kEntry, args, nargs, kw, [](auto& a) {
    g_table.record_entry(py::to_int(a[0]), py::to_double(a[1]), py::to_int(a[2]));
    return none_unless_pending();
  });
}

constexpr py::Signature<2> kExit{"record_exit", {"sid", "flag"}, 2};
PROBE(record_exit) {
  return call(kExit, args, nargs, kw, [](auto& a) {
    g_table.record_exit(py::to_int(a[0]), py::to_int(a[1]));
    return none_unless_pending();
  });
}

constexpr py::Signature<1> kEnd{"end_analysis", {"pos"}, 1};
PROBE(end_analysis) {
  return call(kEnd, args, nargs, kw, [](auto& a) {
    auto pos = to_map<double>(a[0], py::to_double);
    return g_table.end_analysis(pos);
  });
}

PyObject* variable(PyArrayObject** slot) {
  PyObject* array = reinterpret_cast<PyObject*>(*slot);
  Py_INCREF(array);
  return array;
}

PyObject* py_entry(PyObject*, PyObject*) { return variable(g_table.entry); }
PyObject* py_position(PyObject*, PyObject*) { return variable(g_table.position); }

PyMethodDef methods[] = {
    {"bind", fastcall(py_bind), METH_FASTCALL | METH_KEYWORDS, "Bind the table of `module`."},
    {"start_analysis", fastcall(py_start_analysis), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"record_date", fastcall(py_record_date), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"record_entry", fastcall(py_record_entry), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"record_exit", fastcall(py_record_exit), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"end_analysis", fastcall(py_end_analysis), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"entry", py_entry, METH_NOARGS, "The array the bound `entry` variable holds."},
    {"position", py_position, METH_NOARGS, "The array the bound `position` variable holds."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  return py::exec_once(module, g_module, "_recorder_probe", [](PyObject*) {
    if (PyArray_ImportNumPyAPI() < 0) throw py::ErrorAlreadySet{};
    Ref recorder = py::check(PyImport_ImportModule(capi::kModuleName));
    g_table = capi::bind_table(recorder.get());
  });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_recorder_probe", "Test-only access to the recorder's entry points.",
    0, methods, py::module_slots<exec_module>(), nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__recorder_probe() { return PyModuleDef_Init(&module_def); }
