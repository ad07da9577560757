// The one translation of C++ failures into Python exceptions, the entries
// that never let a C++ exception reach the interpreter, and the exceptions
// with notes that the binding raises itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "graph/labels.hpp"
#include "python/py_api.hpp"
#include "python/py_ref.hpp"

namespace vantrel::py {

// A call into the interpreter failed inside C++ code; its exception is set.
struct PythonErrorAlreadySet {};

// Turns the failure in flight into the pending Python exception. `data_path`
// names the file in the exception's note where the failure concerns it, as
// the argument `input_name` ("data_path: 'kg.tsv'"); a failed write becomes
// the OSError subclass for its errno with `filename`.
void raise_failure(std::exception_ptr failure, const std::string* data_path = nullptr, PyObject* filename = nullptr,
                   const char* input_name = "data_path");

// What an entry of the binding returns when it fails: null for an object,
// -1 for an int or a size.
template <class Result>
Result failed_entry_result() {
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return -1;
  }
}

// An entry point the interpreter calls (a method, a slot, a getter) that
// never lets a C++ exception reach the interpreter: whatever escapes
// `Function` becomes the pending Python exception, as raise_failure() turns
// it (MemoryError for std::bad_alloc). Every entry of the binding's types is
// registered through it.
template <auto Function, class Signature = decltype(Function)>
struct GuardedEntry;

template <auto Function, class Result, class... Args>
struct GuardedEntry<Function, Result (*)(Args...)> {
  static Result call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (...) {
      raise_failure(std::current_exception());
      return failed_entry_result<Result>();
    }
  }
};

template <auto Function>
inline constexpr auto guarded = &GuardedEntry<Function>::call;

// Adds to the pending exception the note that raise_failure() gives a
// failure of the input `data_path` ("source: 'kg.nt.gz'"; Python 3.11+).
void add_file_note(const std::string& data_path, const char* input_name);

// Adds `text` as a note to the pending exception (Python 3.11+; nothing
// before).
void add_note(const char* text);

// Replaces the pending exception, if any, by ImportError(message) caused
// by it.
void raise_import_error(const char* message);

// The module `name`, an optional dependency; where it cannot be imported,
// null with ImportError(`missing`) set (saying what needs it and how to
// install it), caused by the import's own error.
PyRef import_optional(const char* name, const char* missing);

// Sets the OSError subclass for `code` with the system's message and
// `filename` (may be null), as the interpreter's own file functions do.
void raise_os_error(int code, PyObject* filename);

// Sets KeyError(name), `name` being the str that is no label of `labels`,
// with the closest labels or another hint as a note where there is one
// ("did you mean '_hypernym'?"; Python 3.11+).
void raise_unknown_label(PyObject* name, const LabelList& labels);

// Sets KeyError(text), `text` being a str that is no relation token:
// `relation` is its text before a direction suffix (all of it where it has
// none, `directed` false), with a note that says what a token is or names
// the closest relations (Python 3.11+).
void raise_unknown_token(PyObject* text, std::string_view relation, bool directed, const LabelList& relations);

}  // namespace vantrel::py
