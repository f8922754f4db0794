#include "array.hpp"

namespace orvane::py {

namespace {

// How the buffer protocol describes an element type character.
const char* describe_type_char(char ch, bool is_complex) {
  switch (ch) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return is_complex ? "'complex float'" : "'float'";
    case 'd': return is_complex ? "'complex double'" : "'double'";
    case 'g': return is_complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'x': return "a pad byte";
    case 0: return "end";
    default: return "unparsable format string";
  }
}

char type_group(char ch, bool is_complex) {
  switch (ch) {
    case 'c': return 'H';
    case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
    case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'f': case 'd': case 'g': return is_complex ? 'C' : 'R';
    case 'O': return 'O';
    case 'P': return 'P';
    default: return 0;
  }
}

std::size_t type_size(char ch, bool native) {
  switch (ch) {
    case '?': case 'c': case 'b': case 'B': case 's': case 'p': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': case 'f': return 4;
    case 'l': case 'L': return native ? sizeof(long) : 4;
    case 'q': case 'Q': case 'd': return 8;
    case 'g': return native ? sizeof(long double) : 0;
    case 'O': case 'P': return sizeof(void*);
    default: return 0;
  }
}

// Validates a buffer format string holding one element of type `elem`.
void check_format(const char* fmt, const ElemType& elem) {
  bool native = true;
  switch (*fmt) {
    case '@': case '^': ++fmt; break;
    case '=': case '<': native = false; ++fmt; break;
    case '>': case '!':
      raise(ErrorKind::value_error, "Big-endian buffer not supported on little-endian compiler");
    default: break;
  }
  bool counted = false;
  while (*fmt >= '0' && *fmt <= '9') {
    counted = counted || *fmt != '1';
    ++fmt;
  }
  bool is_complex = false;
  if (*fmt == 'Z') {
    is_complex = true;
    ++fmt;
  }
  const char ch = *fmt;
  const char group = type_group(ch, is_complex);
  if (ch != 0 && ch != 'T' && ch != 'x' && group == 0)
    raisef(ErrorKind::value_error, "Unexpected format string character: '%c'", ch);
  std::size_t size = type_size(ch, native) * (is_complex ? 2 : 1);
  bool same = !counted && fmt[ch ? 1 : 0] == 0 && size == elem.size &&
              (group == elem.group || group == 'H' || elem.group == 'H');
  if (!same)
    raisef(ErrorKind::value_error, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
           elem.name, "'", describe_type_char(ch, is_complex));
}

}  // namespace

void check_ndarray(PyObject* obj, const char* param) {
  if (obj == Py_None || PyArray_Check(obj)) return;
  raisef(ErrorKind::type_error,
         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
         PyArray_Type.tp_name, Py_TYPE(obj)->tp_name);
}

void check_buffer(PyObject* obj, const ElemType& elem, int ndim) {
  if (obj == Py_None) return;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_STRIDES) == -1) throw ErrorAlreadySet{};
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  if (view.ndim != ndim)
    raisef(ErrorKind::value_error, "Buffer has wrong number of dimensions (expected %d, got %d)",
           ndim, view.ndim);
  check_format(view.format ? view.format : "B", elem);
  if (static_cast<std::size_t>(view.itemsize) != elem.size)
    raisef(ErrorKind::value_error,
           "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
           view.itemsize, view.itemsize > 1 ? "s" : "", elem.name,
           static_cast<Py_ssize_t>(elem.size), elem.size > 1 ? "s" : "");
}

}  // namespace orvane::py
