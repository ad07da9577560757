#include "python/py_numbers.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "python/py_args.hpp"

namespace vantrel::py {

int is_real_number(PyObject* item) {
  if (PyBool_Check(item)) return 0;
  if (PyFloat_Check(item) || PyLong_Check(item)) return 1;
  static PyObject* real_type = nullptr;  // numbers.Real, kept for the life of the process
  if (!real_type) {
    PyRef numbers(PyImport_ImportModule("numbers"));
    if (!numbers) return -1;
    real_type = PyObject_GetAttrString(numbers.get(), "Real");
    if (!real_type) return -1;
  }
  return PyObject_IsInstance(item, real_type);
}

bool number_of(PyObject* item, const char* name, const std::string& position, double& out) {
  if (PyFloat_CheckExact(item)) {
    out = float_value(item);
    return true;
  }
  const int real = is_real_number(item);
  if (real < 0) return false;
  if (!real) {
    PyErr_Format(PyExc_TypeError, "%s%s must be a number, not %.200s", name, position.c_str(), TypeName(item).c_str());
    return false;
  }
  out = PyFloat_AsDouble(item);
  return !(out == -1.0 && PyErr_Occurred());
}

// (Appended piece by piece: g++ 12 warns of overlapping copies in
// "text" + std::string(...), its bug 105329.)
std::string at(std::uint64_t index) { return std::string("[").append(std::to_string(index)).append("]"); }

double stored_float(const char* at, char code, bool swapped) {
  unsigned char bytes[8];
  const std::size_t size = code == 'd' ? 8 : code == 'f' ? 4 : 2;
  std::memcpy(bytes, at, size);
  if (swapped) std::reverse(bytes, bytes + size);
  if (code == 'd') {
    double value;
    std::memcpy(&value, bytes, 8);
    return value;
  }
  if (code == 'f') {
    float value;
    std::memcpy(&value, bytes, 4);
    return value;
  }
  // IEEE binary16, in this machine's byte order now.
  std::uint16_t half;
  std::memcpy(&half, bytes, 2);
  const int exponent = (half >> 10) & 0x1F;
  const int mantissa = half & 0x3FF;
  const double magnitude = exponent == 0    ? std::ldexp(mantissa, -24)
                           : exponent == 31 ? (mantissa != 0 ? NAN : INFINITY)
                                            : std::ldexp(mantissa + 1024, exponent - 25);
  return (half >> 15) != 0 ? -magnitude : magnitude;
}

bool NumberColumn::open(PyObject* given, const char* name, std::uint64_t count, const char* what) {
  array_ = array_or_object(given);
  if (!array_) return false;
  PyObject* const object = array_.get();
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) || PyDict_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an array or a sequence of numbers, not %.200s", name,
                 TypeName(object).c_str());
    return false;
  }
  auto wrong_length = [&](std::uint64_t numbers) {
    PyErr_Format(PyExc_ValueError, "%s has %llu numbers, not one per %s (%llu)", name,
                 static_cast<unsigned long long>(numbers), what, static_cast<unsigned long long>(count));
    return false;
  };
  if (PyObject_CheckBuffer(object)) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return false;
    held_ = true;
    if (view_.ndim != 1) {
      PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not of %d dimensions", name, view_.ndim);
      return false;
    }
    if (static_cast<std::uint64_t>(view_.shape[0]) != count) {
      return wrong_length(static_cast<std::uint64_t>(view_.shape[0]));
    }
    stride_ = view_.strides ? view_.strides[0] : view_.itemsize;
    const char* format = view_.format ? view_.format : "B";
    if (std::strchr("<>!=@", *format)) {
      swapped_ = (*format == '>' || *format == '!') == (std::endian::native == std::endian::little);
      ++format;
    }
    if (format[0] != '\0' && format[1] == '\0' && std::strchr("efd", format[0])) {
      float_code_ = format[0];
      return true;
    }
    if (integer_format_of(view_, name, integers_)) return true;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must hold numbers, not items of format '%s'", name,
                 view_.format ? view_.format : "B");
    return false;
  }
  // A sequence, not any iterable: a set's or a generator's order is no
  // order of the triples or nodes the numbers belong to.
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an array or a sequence of numbers, not %.200s", name,
                 TypeName(object).c_str());
    return false;
  }
  items_ = PyRef(PySequence_Fast(object, "numbers must be a sequence"));
  if (!items_) return false;
  const auto numbers = static_cast<std::uint64_t>(fast_size(items_.get()));
  return numbers == count || wrong_length(numbers);
}

PyObject* NumberColumn::item(std::uint64_t index) const {
  return fast_item(items_.get(), static_cast<Py_ssize_t>(index));
}

}  // namespace vantrel::py
