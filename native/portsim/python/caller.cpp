#include "caller.hpp"

#include "../../py/array.hpp"
#include "../../py/convert.hpp"
#include "../../py/error.hpp"
#include "../../py/numpy.hpp"

namespace orvane::portsim {

void StdoutWarnings::warn(std::string_view line) {
  PyObject* found = PySys_GetObject("stdout");
  if (!found) raise(ErrorKind::runtime_error, "lost sys.stdout");
  if (found == Py_None) return;
  py::Ref out = py::Ref::borrow(found);
  std::string text(line);
  text += '\n';
  py::check(PyObject_CallMethod(out.get(), "write", "s", text.c_str()));
}

std::span<double> NumpyResult::allocate(std::size_t bars) {
  npy_intp dims[1] = {static_cast<npy_intp>(bars)};
  array_ = py::check(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())));
  return {data, bars};
}

PythonCaller::PythonCaller(const capi::Table& recorder, const CallObjects& objects)
    : recorder_(recorder, objects.price_values, objects.close_values),
      stop_{objects.stop_trading_next_period},
      writable_{objects.pos_values},
      name_{objects.pos_columns},
      caller_{recorder_, warnings_, creturn_, stop_, writable_, name_, signals_} {}

bool PythonCaller::Truth::operator()() const { return py::to_bool(object); }

bool PythonCaller::Writable::operator()() const {
  return PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(array));
}

std::string PythonCaller::Name::operator()(int sid) const {
  PyObject* name = py::view1<PyObject*>(names)[sid];
  py::Ref text = py::check(PyObject_Str(name ? name : Py_None));
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (!utf8) throw ErrorAlreadySet{};
  return utf8;
}

// A long run answers Ctrl-C (and other signal handlers) between bars.
void PythonCaller::Signals::operator()() const { py::check_status(PyErr_CheckSignals()); }

}  // namespace orvane::portsim
