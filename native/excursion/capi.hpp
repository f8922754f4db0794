// The native entry points that orvane.core.excursion publishes and
// orvane.core.portsim binds at import.
//
// Each entry is a capsule in the module's `_capi` dict, named by the exact
// signature text of its C++ type. The texts are tied to the types below by
// signature_of<>(), so publisher and importer cannot disagree: changing a
// function type without its text (or the reverse) fails to compile here or
// fails the import with a signature error.
#pragma once

#include <map>
#include <type_traits>

#include "../py/error.hpp"
#include "../py/numpy.hpp"

namespace orvane::capi {

using StartAnalysis = void(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double, double,
                           int, int);
using RecordDate = void(int);
using RecordEntry = void(int, double, int);
using RecordExit = void(int, int);
using EndAnalysis = PyObject*(std::map<int, double>&);

template <class T>
struct Signature;  // only the published types have a text
template <>
struct Signature<PyArrayObject*> {
  static constexpr const char* text = "PyArrayObject *";
};
template <>
struct Signature<StartAnalysis> {
  static constexpr const char* text =
      "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
};
template <>
struct Signature<RecordDate> {
  static constexpr const char* text = "void (int)";
};
template <>
struct Signature<RecordEntry> {
  static constexpr const char* text = "void (int, double, int)";
};
template <>
struct Signature<RecordExit> {
  static constexpr const char* text = "void (int, int)";
};
template <>
struct Signature<EndAnalysis> {
  static constexpr const char* text = "PyObject *(std::map<int,double>  &)";
};

inline constexpr const char* kModuleName = "orvane.core.excursion";
inline constexpr const char* kTableAttr = "_capi";

// The seven entries, in publication order: the two variables, then the five
// functions. A variable entry is the address of the module variable, so its
// reader sees the array of the current run.
struct Table {
  PyArrayObject** entry = nullptr;
  PyArrayObject** position = nullptr;
  StartAnalysis* start_analysis = nullptr;
  RecordDate* record_date = nullptr;
  RecordEntry* record_entry = nullptr;
  RecordExit* record_exit = nullptr;
  EndAnalysis* end_analysis = nullptr;
};

namespace detail {

template <class Visit>
void for_each_entry(Table& t, Visit&& visit) {
  visit("entry", t.entry, false);
  visit("position", t.position, false);
  visit("start_analysis", t.start_analysis, true);
  visit("record_date", t.record_date, true);
  visit("record_entry", t.record_entry, true);
  visit("record_exit", t.record_exit, true);
  visit("end_analysis", t.end_analysis, true);
}

template <class P>
struct Pointee;
template <class T>
struct Pointee<T*> {
  using type = T;
};

}  // namespace detail

// Builds the `_capi` dict for the publishing module.
inline py::Ref make_table(Table table) {
  py::Ref dict = py::check(PyDict_New());
  detail::for_each_entry(table, [&](const char* name, auto& slot, bool) {
    using Entry = typename detail::Pointee<std::remove_reference_t<decltype(slot)>>::type;
    py::Ref capsule = py::check(
        PyCapsule_New(reinterpret_cast<void*>(slot), Signature<Entry>::text, nullptr));
    py::check_status(PyDict_SetItemString(dict.get(), name, capsule.get()));
  });
  return dict;
}

namespace detail {
inline const char* capsule_name(PyObject* obj) {
  if (!PyCapsule_CheckExact(obj)) return "(not a capsule)";
  const char* name = PyCapsule_GetName(obj);
  return name ? name : "(unnamed)";
}
}  // namespace detail

// Reads the entries of `module` (the excursion module), checking every
// signature text; raises ImportError for a missing entry and TypeError for
// a differing text.
inline Table bind_table(PyObject* module) {
  const char* module_name = PyModule_GetName(module);
  if (!module_name) throw py::ErrorAlreadySet{};
  // A module without a table lacks every entry: report the first one.
  py::Ref dict = py::Ref::steal(PyObject_GetAttrString(module, kTableAttr));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::ErrorAlreadySet{};
    PyErr_Clear();
  }
  Table table;
  detail::for_each_entry(table, [&](const char* name, auto& slot, bool is_function) {
    using Slot = std::remove_reference_t<decltype(slot)>;
    using Entry = typename detail::Pointee<Slot>::type;
    const char* kind = is_function ? "function" : "variable";
    PyObject* capsule =
        dict && PyDict_Check(dict.get()) ? PyDict_GetItemString(dict.get(), name) : nullptr;
    if (!capsule)
      raisef(ErrorKind::import_error, "%.200s does not export expected C %s %.200s", module_name,
             kind, name);
    if (!PyCapsule_IsValid(capsule, Signature<Entry>::text))
      raisef(ErrorKind::type_error,
             "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", kind,
             module_name, name, Signature<Entry>::text, detail::capsule_name(capsule));
    slot = reinterpret_cast<Slot>(PyCapsule_GetPointer(capsule, Signature<Entry>::text));
  });
  return table;
}

}  // namespace orvane::capi
