// Numbers one per triple or per node, as the samplers' methods take them
// (weights, times): a one-dimensional buffer of any number type, anything
// with __array__, or a sequence of Python numbers; and single numbers.
#pragma once

#include <cstdint>
#include <string>

#include "core/integers.hpp"
#include "python/py_errors.hpp"
#include "python/py_ref.hpp"

namespace vantrel::py {

// Whether `item` is a real number other than a bool: an int, a float, or
// what registers as numbers.Real (numpy's numbers, fractions); not numpy's
// bool_, which is no numbers.Real. -1 with the exception set on failure.
int is_real_number(PyObject* item);

// A Python number as a float64: an int, a float, or another real number;
// bool refused. False with TypeError (or the conversion's error), which
// names `name` and `position`.
bool number_of(PyObject* item, const char* name, const std::string& position, double& out);

// The text of position `index`, for messages: "[3]".
std::string at(std::uint64_t index);

// The value of a float stored with struct format code `code` ('e', 'f' or
// 'd'), possibly in the other byte order.
double stored_float(const char* at, char code, bool swapped);

// Numbers as given, `count` of them, checked for shape and length: either
// a one-dimensional buffer (`view` held, its items either floats of
// `float_code` 'e', 'f' or 'd', or integers of `integers`) or a sequence
// (`items`, from PySequence_Fast).
class NumberColumn {
 public:
  NumberColumn() = default;
  NumberColumn(const NumberColumn&) = delete;
  NumberColumn& operator=(const NumberColumn&) = delete;
  ~NumberColumn() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Opens `given` (a buffer, __array__, or a sequence, not a str, bytes or
  // dict), which must have `count` numbers, one per `what`. False with
  // TypeError or ValueError naming `name`.
  bool open(PyObject* given, const char* name, std::uint64_t count, const char* what);

  bool is_buffer() const { return held_; }
  // A buffer's items: floats (float_code()), or integers (integers()).
  bool holds_floats() const { return float_code_ != '\0'; }
  char float_code() const { return float_code_; }
  bool swapped() const { return swapped_; }
  const IntegerFormat& integers() const { return integers_; }
  const char* item_at(std::uint64_t index) const {
    return static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(index) * stride_;
  }
  // A sequence's items.
  PyObject* item(std::uint64_t index) const;

 private:
  PyRef array_;
  PyRef items_;
  Py_buffer view_{};
  bool held_ = false;
  Py_ssize_t stride_ = 0;
  char float_code_ = '\0';
  bool swapped_ = false;
  IntegerFormat integers_;
};

}  // namespace vantrel::py
