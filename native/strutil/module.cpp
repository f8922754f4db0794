// orvane.core.strutil: text to a byte array with one byte per character.
#include <Python.h>

#include <string>

#include "../py/args.hpp"
#include "../py/error.hpp"
#include "../py/module.hpp"

namespace {

using namespace orvane::py;

PyObject* g_module = nullptr;

constexpr Signature<1> kStrToBytearray{"str_to_bytearray", {"text"}, 1, BindStyle::exact_count};

// Each character contributes the low eight bits of its code point.
Ref str_to_bytearray(PyObject* text) {
  if (text != Py_None && !PyUnicode_CheckExact(text))
    raisef(ErrorKind::type_error,
           "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "text",
           PyUnicode_Type.tp_name, Py_TYPE(text)->tp_name);
  if (text == Py_None) raise(ErrorKind::type_error, "'NoneType' is not iterable");

  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Ref out = check(PyByteArray_FromStringAndSize(nullptr, n));
  char* bytes = PyByteArray_AS_STRING(out.get());
  for (Py_ssize_t i = 0; i < n; ++i)
    bytes[i] = static_cast<char>(PyUnicode_READ(kind, data, i) & 0xFFu);
  return out;
}

PyObject* py_str_to_bytearray(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return translate([&] {
    auto bound = bind(kStrToBytearray, args, nargs, kwnames);
    return str_to_bytearray(bound[0]).release();
  });
}

PyMethodDef methods[] = {
    {"str_to_bytearray", fastcall(py_str_to_bytearray),
     METH_FASTCALL | METH_KEYWORDS,
     "str_to_bytearray(text)\n--\n\n"
     "Return a bytearray with one byte per character of text: the low eight\n"
     "bits of each code point (the Latin-1 encoding for texts within U+00FF)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  return exec_once(module, g_module, "strutil", [](PyObject*) {});
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "strutil", "Text to byte array conversion.", 0, methods,
    module_slots<exec_module>(),
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_strutil() { return PyModuleDef_Init(&module_def); }
