// Owning and borrowed references to Python objects.
#pragma once

#include <Python.h>

#include <utility>

namespace orvane::py {

// Move-only owner of one strong reference; releases it in the destructor.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (the result of most C API calls).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (for returning to Python).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject* p = nullptr) noexcept {
    PyObject* old = std::exchange(p_, p);
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Moves the reference owned by `value` into a long-lived raw slot (a module
// variable that must stay a plain pointer, e.g. because its address is
// published), releasing what the slot held before.
template <class T>
void store(T*& slot, Ref value) noexcept {
  T* old = slot;
  slot = reinterpret_cast<T*>(value.release());
  Py_XDECREF(reinterpret_cast<PyObject*>(old));
}

}  // namespace orvane::py
