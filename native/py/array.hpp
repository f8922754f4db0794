// Checked access to NumPy arrays passed in by the caller.
//
// check_ndarray() and check_buffer() raise the argument and buffer errors of
// the public functions; ArrayView1/ArrayView2 read and write the array in
// place (any strides, any alignment) and bounds-check every index: a negative
// index counts from the end, anything outside an axis raises IndexError
// naming that axis.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

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

[[noreturn]] void raise_index_error(int axis);

// One element at any address. NumPy lets an element sit at any byte (a
// buffer read at an odd offset, a field of a packed record, a stride that is
// not a multiple of the item size), where a T& or T* would be undefined
// behaviour; a byte copy of the element is defined everywhere and compiles to
// a single move.
template <class T>
inline T read_at(const char* at) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}
template <class T>
inline void write_at(char* at, T value) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(at, &value, sizeof(T));
}

inline Py_ssize_t wrap_index(Py_ssize_t i, Py_ssize_t n, int axis, int& bad_axis) noexcept {
  if (i < 0) i += n;
  if (i < 0 || i >= n) bad_axis = axis;
  return i;
}

// Position of item i along an axis of length n, as NumPy item access takes
// it: a negative index counts from the end; outside the axis raises NumPy's
// IndexError.
inline Py_ssize_t item_index(Py_ssize_t i, Py_ssize_t n, int axis = 0) {
  const Py_ssize_t j = i < 0 ? i + n : i;
  if (j < 0 || j >= n)
    raisef(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd", i, axis, n);
  return j;
}

// One-dimensional view; a None argument gives an empty view.
template <class T>
class ArrayView1 {
 public:
  ArrayView1() = default;
  explicit ArrayView1(PyObject* obj) {
    if (obj && obj != Py_None) {
      auto* a = reinterpret_cast<PyArrayObject*>(obj);
      data_ = PyArray_BYTES(a);
      size_ = PyArray_DIM(a, 0);
      stride_ = PyArray_STRIDE(a, 0);
    }
  }
  Py_ssize_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  T operator[](Py_ssize_t i) const { return read_at<T>(address(i)); }
  void set(Py_ssize_t i, T value) const { write_at<T>(address(i), value); }
  // For indices already proven to lie in [0, size()).
  T unchecked(Py_ssize_t i) const noexcept { return read_at<T>(data_ + i * stride_); }

 private:
  char* address(Py_ssize_t i) const {
    int bad = -1;
    i = wrap_index(i, size_, 0, bad);
    if (bad >= 0) raise_index_error(bad);
    return data_ + i * stride_;
  }

  char* data_ = nullptr;
  Py_ssize_t size_ = 0;
  Py_ssize_t stride_ = 0;
};

// Two-dimensional view; a None argument gives a view of shape (0, 0).
template <class T>
class ArrayView2 {
 public:
  ArrayView2() = default;
  explicit ArrayView2(PyObject* obj) {
    if (obj && obj != Py_None) {
      auto* a = reinterpret_cast<PyArrayObject*>(obj);
      data_ = PyArray_BYTES(a);
      rows_ = PyArray_DIM(a, 0);
      cols_ = PyArray_DIM(a, 1);
      row_stride_ = PyArray_STRIDE(a, 0);
      col_stride_ = PyArray_STRIDE(a, 1);
    }
  }
  Py_ssize_t rows() const noexcept { return rows_; }
  Py_ssize_t cols() const noexcept { return cols_; }

  // Checks both axes and, when both are out of range, names the last one.
  T operator()(Py_ssize_t i, Py_ssize_t j) const { return read_at<T>(address(i, j)); }
  void set(Py_ssize_t i, Py_ssize_t j, T value) const { write_at<T>(address(i, j), value); }
  T unchecked(Py_ssize_t i, Py_ssize_t j) const noexcept { return read_at<T>(unchecked_address(i, j)); }
  // Where element (i, j) lives, for indices proven in range (to prefetch it).
  char* unchecked_address(Py_ssize_t i, Py_ssize_t j) const noexcept {
    return data_ + i * row_stride_ + j * col_stride_;
  }
  // Row i as a strided 1-D range; the row index is checked here.
  class Row {
   public:
    Row(char* data, Py_ssize_t n, Py_ssize_t stride) : data_(data), n_(n), stride_(stride) {}
    Py_ssize_t size() const noexcept { return n_; }
    T operator[](Py_ssize_t j) const {
      int bad = -1;
      j = wrap_index(j, n_, 0, bad);
      if (bad >= 0) raise_index_error(bad);
      return unchecked(j);
    }
    T unchecked(Py_ssize_t j) const noexcept { return read_at<T>(data_ + j * stride_); }

   private:
    char* data_;
    Py_ssize_t n_;
    Py_ssize_t stride_;
  };
  Row row(Py_ssize_t i) const {
    int bad = -1;
    i = wrap_index(i, rows_, 0, bad);
    if (bad >= 0) raise_index_error(bad);
    return Row(data_ + i * row_stride_, cols_, col_stride_);
  }

 private:
  char* address(Py_ssize_t i, Py_ssize_t j) const {
    int bad = -1;
    i = wrap_index(i, rows_, 0, bad);
    j = wrap_index(j, cols_, 1, bad);
    if (bad >= 0) raise_index_error(bad);
    return unchecked_address(i, j);
  }

  char* data_ = nullptr;
  Py_ssize_t rows_ = 0;
  Py_ssize_t cols_ = 0;
  Py_ssize_t row_stride_ = 0;
  Py_ssize_t col_stride_ = 0;
};

}  // namespace orvane::py
