// Argument binding for METH_FASTCALL | METH_KEYWORDS functions, with the
// TypeError messages of a Python function of the same signature.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>

#include "error.hpp"

namespace orvane::py {

enum class BindStyle {
  // Messages of a `def` function: "f() missing 1 required positional
  // argument: 'x'", "f() takes 2 positional arguments but 3 were given", ...
  python,
  // One message for any wrong positional count: "f() takes exactly 1
  // positional argument (2 given)"; only for signatures without defaults.
  exact_count,
};

template <std::size_t N>
struct Signature {
  const char* function;
  std::array<const char*, N> params;
  std::size_t required;  // the first `required` parameters have no default
  BindStyle style = BindStyle::python;
};

// Bound arguments: borrowed references, nullptr for a defaulted parameter the
// caller did not pass.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

namespace detail {

inline std::string quoted_list(const std::string* names, std::size_t n) {
  // The names in quotes: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

[[noreturn]] inline void exact_count_error(const char* function, std::size_t expected,
                                           Py_ssize_t given) {
  raisef(ErrorKind::type_error, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
         function, "exactly", static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s",
         given);
}

}  // namespace detail

template <std::size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
  const bool exact = sig.style == BindStyle::exact_count;
  if (exact && nargs > static_cast<Py_ssize_t>(N))
    detail::exact_count_error(sig.function, N, nargs);

  Bound<N> out{};
  const std::size_t npos = nargs < static_cast<Py_ssize_t>(N) ? static_cast<std::size_t>(nargs) : N;
  for (std::size_t i = 0; i < npos; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key))
      raisef(ErrorKind::type_error, "%.200s() keywords must be strings", sig.function);
    std::size_t j = 0;
    while (j < N && PyUnicode_CompareWithASCIIString(key, sig.params[j]) != 0) ++j;
    if (j == N) {
      Ref text = check(PyObject_Str(key));
      raisef(ErrorKind::type_error, "%.200s() got an unexpected keyword argument '%s'",
             sig.function, PyUnicode_AsUTF8(text.get()));
    }
    if (out[j]) {
      raisef(ErrorKind::type_error,
             exact ? "%.200s() got multiple values for keyword argument '%s'"
                   : "%.200s() got multiple values for argument '%s'",
             sig.function, sig.params[j]);
    }
    out[j] = args[nargs + k];
  }

  if (nargs > static_cast<Py_ssize_t>(N)) {
    const bool has_defaults = sig.required < N;
    std::string takes = has_defaults
                            ? "from " + std::to_string(sig.required) + " to " + std::to_string(N)
                            : std::to_string(N);
    const bool plural = has_defaults || N != 1;
    raisef(ErrorKind::type_error, "%.200s() takes %s positional argument%s but %zd %s given",
           sig.function, takes.c_str(), plural ? "s" : "", nargs, nargs == 1 ? "was" : "were");
  }

  std::string missing[N > 0 ? N : 1];
  std::size_t nmissing = 0;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (!out[i]) missing[nmissing++] = sig.params[i];
  if (nmissing > 0) {
    if (exact) detail::exact_count_error(sig.function, N, nargs);
    raisef(ErrorKind::type_error, "%.200s() missing %zu required positional argument%s: %s",
           sig.function, nmissing, nmissing == 1 ? "" : "s",
           detail::quoted_list(missing, nmissing).c_str());
  }
  return out;
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table
// holds (through void (*)() to keep the cast free of function-type warnings).
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall(FastcallFunction f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace orvane::py
