// How plain C++ code of orvane fails.
//
// An engine that finds a fault throws Error: the kind of Python exception the
// caller will see and its message. A callback of the caller that failed
// throws ErrorAlreadySet: its own error (a pending Python exception) is
// already recorded and travels as is. Nothing here knows Python; the binding
// layer turns both into the Python exception in one place (py/error.hpp).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

namespace orvane {

// The Python exception type an Error becomes.
enum class ErrorKind {
  type_error,
  value_error,
  index_error,
  overflow_error,
  zero_division_error,
  runtime_error,
  import_error,
  name_error,
};

struct Error {
  ErrorKind kind;
  std::string message;
};

struct ErrorAlreadySet {};

[[noreturn]] inline void raise(ErrorKind kind, std::string message) {
  throw Error{kind, std::move(message)};
}

[[noreturn]] __attribute__((format(printf, 2, 3))) inline void raisef(ErrorKind kind,
                                                                     const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  throw Error{kind, buf};
}

}  // namespace orvane
