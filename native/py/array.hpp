// NumPy arrays passed in by the caller: the argument and buffer checks of the
// public functions, and checked views of the arrays (base/view.hpp), which
// read and write them in place at any strides and alignment.
#pragma once

#include <cstddef>

#include "../base/view.hpp"
#include "error.hpp"
#include "numpy.hpp"

namespace orvane::py {

// Element types of array parameters, with the name the buffer errors use.
struct ElemType {
  const char* name;  // "float64_t", "int64_t", "unicode object"
  char group;        // 'R' real, 'I' signed integer, 'O' object
  std::size_t size;
};
inline constexpr ElemType kFloat64{"float64_t", 'R', 8};
inline constexpr ElemType kInt64{"int64_t", 'I', 8};
inline constexpr ElemType kText{"unicode object", 'O', sizeof(void*)};

// TypeError unless obj is None or an ndarray (subclasses accepted).
void check_ndarray(PyObject* obj, const char* param);

// ValueError unless obj (an ndarray) has `ndim` dimensions and elements of
// type `elem`. None passes.
void check_buffer(PyObject* obj, const ElemType& elem, int ndim);

// Item i of an axis of length n: a negative index counts from the end; an
// index outside the axis raises IndexError "index I is out of bounds for
// axis A with size N".
inline Py_ssize_t item_index(Py_ssize_t i, Py_ssize_t n, int axis = 0) {
  const Py_ssize_t j = i < 0 ? i + n : i;
  if (j < 0 || j >= n)
    raisef(ErrorKind::index_error, "index %zd is out of bounds for axis %d with size %zd", i, axis,
           n);
  return j;
}

// A view of a 1-D array that passed check_buffer; None gives an empty view.
template <class T>
ArrayView1<T> view1(PyObject* obj) noexcept {
  if (!obj || obj == Py_None) return {};
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
}

// A view of a 2-D array that passed check_buffer; None gives a view of shape
// (0, 0).
template <class T>
ArrayView2<T> view2(PyObject* obj) noexcept {
  if (!obj || obj == Py_None) return {};
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0),
          PyArray_STRIDE(a, 1)};
}

}  // namespace orvane::py
