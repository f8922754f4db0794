#include "columns.hpp"

#include <string>
#include <string_view>
#include <unordered_map>

#include "../../py/error.hpp"

namespace orvane::portsim {

namespace {

// The UTF-8 bytes of a column name, through the name's own encode method as
// for any text-like object; strict, so a lone surrogate fails.
std::string utf8_name(PyObject* name) {
  py::Ref bytes;
  if (PyUnicode_CheckExact(name)) {
    bytes = py::check(PyUnicode_AsUTF8String(name));
  } else {
    py::Ref encode = py::check(PyObject_GetAttrString(name, "encode"));
    bytes = py::check(PyObject_CallFunction(encode.get(), "s", "utf-8"));
    if (!PyBytes_Check(bytes.get()))
      raisef(ErrorKind::type_error, "expected bytes, %.200s found", Py_TYPE(bytes.get())->tp_name);
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

template <class Visit>
void for_each_item(PyObject* seq, Visit&& visit) {
  py::Ref it = py::check(PyObject_GetIter(seq));
  int index = 0;
  while (PyObject* raw = PyIter_Next(it.get())) {
    py::Ref item = py::Ref::steal(raw);
    visit(index++, item.get());
  }
  py::check_pending();
}

}  // namespace

ColumnMap map_columns(PyObject* price_columns, PyObject* pos_columns) {
  std::unordered_map<std::string, int> by_name;
  for_each_item(price_columns,
                [&](int i, PyObject* name) { by_name.insert_or_assign(utf8_name(name), i); });
  ColumnMap out;
  for_each_item(pos_columns, [&](int, PyObject* name) {
    auto found = by_name.find(utf8_name(name));
    out.price_of.push_back(found == by_name.end() ? ColumnMap::kNoPriceColumn : found->second);
  });
  return out;
}

}  // namespace orvane::portsim
