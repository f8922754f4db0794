// Checked views of arrays that the caller owns.
//
// A view is a data pointer with a shape and strides in bytes; it reads and
// writes the elements in place and bounds-checks every index: a negative
// index counts from the end, anything outside an axis raises IndexError
// "Out of bounds on buffer access (axis N)" naming that axis. A view never
// owns its memory and knows nothing of where it came from (py/array.hpp
// builds views of NumPy arrays).
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "error.hpp"

namespace orvane {

// Out of line and cold: every checked access calls it, and none should pay
// for it on the way that does not fail.
[[noreturn]] __attribute__((noinline, cold)) inline void raise_index_error(int axis) {
  raisef(ErrorKind::index_error, "Out of bounds on buffer access (axis %d)", axis);
}

// One element at any address. An element of a caller's array may sit at any
// byte (a buffer read at an odd offset, a field of a packed record, a stride
// that is not a multiple of the item size), where a T& or T* would be
// undefined behaviour; a byte copy of the element is defined everywhere and
// compiles to a single move.
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

// Index i of an axis of length n, a negative one counted from the end; an
// index outside the axis sets `bad_axis` to `axis`.
inline std::ptrdiff_t wrap_index(std::ptrdiff_t i, std::ptrdiff_t n, int axis,
                                 int& bad_axis) noexcept {
  if (i < 0) i += n;
  if (i < 0 || i >= n) bad_axis = axis;
  return i;
}

// One-dimensional view; the default view is empty.
template <class T>
class ArrayView1 {
 public:
  ArrayView1() = default;
  ArrayView1(char* data, std::ptrdiff_t size, std::ptrdiff_t stride) noexcept
      : data_(data), size_(size), stride_(stride) {}

  std::ptrdiff_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  T operator[](std::ptrdiff_t i) const { return read_at<T>(address(i)); }
  void set(std::ptrdiff_t i, T value) const { write_at<T>(address(i), value); }
  // For indices already proven to lie in [0, size()).
  T unchecked(std::ptrdiff_t i) const noexcept { return read_at<T>(data_ + i * stride_); }

 private:
  char* address(std::ptrdiff_t i) const {
    int bad = -1;
    i = wrap_index(i, size_, 0, bad);
    if (bad >= 0) raise_index_error(bad);
    return data_ + i * stride_;
  }

  char* data_ = nullptr;
  std::ptrdiff_t size_ = 0;
  std::ptrdiff_t stride_ = 0;
};

// Two-dimensional view; the default view has shape (0, 0).
template <class T>
class ArrayView2 {
 public:
  ArrayView2() = default;
  ArrayView2(char* data, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t row_stride,
             std::ptrdiff_t col_stride) noexcept
      : data_(data), rows_(rows), cols_(cols), row_stride_(row_stride), col_stride_(col_stride) {}

  std::ptrdiff_t rows() const noexcept { return rows_; }
  std::ptrdiff_t cols() const noexcept { return cols_; }

  // Both axes are checked; when both are out of range the error names axis 1.
  T operator()(std::ptrdiff_t i, std::ptrdiff_t j) const { return read_at<T>(address(i, j)); }
  void set(std::ptrdiff_t i, std::ptrdiff_t j, T value) const { write_at<T>(address(i, j), value); }
  T unchecked(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept {
    return read_at<T>(unchecked_address(i, j));
  }
  // Where element (i, j) lives, for indices proven in range (to prefetch it).
  char* unchecked_address(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept {
    return data_ + i * row_stride_ + j * col_stride_;
  }
  // Row i as a strided 1-D range; the row index is checked here.
  class Row {
   public:
    Row(char* data, std::ptrdiff_t n, std::ptrdiff_t stride) noexcept
        : data_(data), n_(n), stride_(stride) {}
    std::ptrdiff_t size() const noexcept { return n_; }
    T operator[](std::ptrdiff_t j) const {
      int bad = -1;
      j = wrap_index(j, n_, 0, bad);
      if (bad >= 0) raise_index_error(bad);
      return unchecked(j);
    }
    T unchecked(std::ptrdiff_t j) const noexcept { return read_at<T>(data_ + j * stride_); }

   private:
    char* data_;
    std::ptrdiff_t n_;
    std::ptrdiff_t stride_;
  };
  Row row(std::ptrdiff_t i) const {
    int bad = -1;
    i = wrap_index(i, rows_, 0, bad);
    if (bad >= 0) raise_index_error(bad);
    return Row(data_ + i * row_stride_, cols_, col_stride_);
  }

 private:
  char* address(std::ptrdiff_t i, std::ptrdiff_t j) const {
    int bad = -1;
    i = wrap_index(i, rows_, 0, bad);
    j = wrap_index(j, cols_, 1, bad);
    if (bad >= 0) raise_index_error(bad);
    return unchecked_address(i, j);
  }

  char* data_ = nullptr;
  std::ptrdiff_t rows_ = 0;
  std::ptrdiff_t cols_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 0;
};

}  // namespace orvane
