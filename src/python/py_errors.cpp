#include "python/py_errors.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <new>
#include <stdexcept>

#include "core/errors.hpp"
#include "graph/id_graph.hpp"
#include "graph/label_hint.hpp"
#include "read/arrow_stream.hpp"
#include "read/format_hint.hpp"

namespace vantrel::py {

namespace {

// Sets `type(message)` as the pending exception, with `errno` set when
// `os_code` is non-zero and with `note`, then each of `hints`, attached
// where not null (Python 3.11+).
void raise_with_note(PyObject* type, const char* message, PyObject* note, int os_code,
                     std::initializer_list<PyObject*> hints = {}) {
  PyRef text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) return;
  PyRef exception(call_one(type, text.get()));
  if (!exception) return;
  if (os_code != 0) {
    // Only errno: with strerror set too, str() would no longer be the message.
    PyRef code(PyLong_FromLong(os_code));
    if (!code || PyObject_SetAttrString(exception.get(), "errno", code.get()) < 0) return;
  }
#if PY_VERSION_HEX >= 0x030B0000
  auto add = [&](PyObject* text) {
    if (!text) return true;
    return PyRef(PyObject_CallMethod(exception.get(), "add_note", "O", text)) != nullptr;
  };
  if (!add(note)) return;
  for (PyObject* hint : hints) {
    if (!add(hint)) return;
  }
#else
  (void)note;
  (void)hints;
#endif
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

// The OSError subclass that Python itself raises for `code`.
PyRef os_error_type(int code) {
  PyRef probe(PyObject_CallFunction(PyExc_OSError, "is", code, ""));
  if (!probe) return nullptr;
  return new_ref(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
}

// A note naming the file read: the constructor's data file,
// "data_path: 'kg.tsv'", or a line of it, "line 17 of data_path 'kg.tsv'"
// (line > 0); else the file a method was given, "path: 'kg.snap'". None
// when there is neither; a note is a help, so failing to make one is not an
// error.
PyRef file_note(const std::string* data_path, PyObject* filename, const char* input_name, std::uint64_t line = 0) {
  PyRef note;
  if (data_path) {
    // Decoded as the file system's names are, so that a name that is not
    // UTF-8 is still named (with its odd bytes escaped).
    PyRef path(PyUnicode_DecodeFSDefaultAndSize(data_path->data(), static_cast<Py_ssize_t>(data_path->size())));
    if (path) {
      note.reset(line > 0 ? PyUnicode_FromFormat("line %llu of %s %R", static_cast<unsigned long long>(line),
                                                 input_name, path.get())
                          : PyUnicode_FromFormat("%s: %R", input_name, path.get()));
    }
  } else if (filename) {
    note.reset(PyUnicode_FromFormat("path: %R", filename));
  } else {
    return nullptr;
  }
  if (!note) PyErr_Clear();
  return note;
}

// For the constructor's file that the tab-separated reader refused: a note
// saying what the file looks like instead and what reads it ("this looks
// like N-Triples: PathSampler.read(...) reads it"), or null. Only a help:
// a file that cannot be read again gives none.
PyRef format_hint_note(const std::string* data_path, const char* input_name) {
  if (!data_path || std::strcmp(input_name, "data_path") != 0) return nullptr;
  // A regular file only: opening a pipe again would wait for another writer.
  struct stat status{};
  if (::stat(data_path->c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  char head[4096];
  std::ifstream file(*data_path, std::ios::binary);
  file.read(head, sizeof head);
  const std::string_view hint = format_hint(std::string_view(head, static_cast<std::size_t>(file.gcount())));
  if (hint.empty()) return nullptr;
  std::string text = "this looks like ";
  if (hint == "commas" || hint == "spaces") {
    text = "fields are separated by tabs: the file's first line has none, but ";
    text.append(hint).append(" that would separate three or more");
  } else if (hint == "N-Triples" || hint == "Turtle") {
    text.append(hint).append(": PathSampler.read(...) reads it");
  } else {
    text.append(hint).append("-compressed data: PathSampler.read(...) reads it from a path with its suffix");
  }
  PyRef note(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!note) PyErr_Clear();
  return note;
}

}  // namespace

void add_file_note(const std::string& data_path, const char* input_name) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    PyRef note = file_note(&data_path, nullptr, input_name);
    if (note) {
      PyRef added(PyObject_CallMethod(value, "add_note", "O", note.get()));
      if (!added) PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, traceback);
#else
  (void)data_path;
  (void)input_name;
#endif
}

void raise_import_error(const char* message) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef cause(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyErr_SetString(PyExc_ImportError, message);
  if (cause) {
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetCause(value, cause.release());
    PyErr_Restore(type, value, traceback);
  }
}

PyRef import_optional(const char* name, const char* missing) {
  PyRef module(PyImport_ImportModule(name));
  if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) raise_import_error(missing);
  return module;
}

void add_note(const char* text) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    PyRef added(PyObject_CallMethod(value, "add_note", "s", text));
    if (!added) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
#else
  (void)text;
#endif
}

void raise_os_error(int code, PyObject* filename) {
  errno = code;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
}

void raise_unknown_label(PyObject* name, const LabelList& labels) {
  PyRef error(call_one(PyExc_KeyError, name));
  if (!error) return;
#if PY_VERSION_HEX >= 0x030B0000
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (!text) {
    PyErr_Clear();  // a str that UTF-8 cannot hold (a lone surrogate): no hint
  } else {
    const std::string hint = unknown_label_hint(std::string_view(text, static_cast<std::size_t>(size)), labels);
    if (!hint.empty()) {
      PyRef note(PyUnicode_FromStringAndSize(hint.data(), static_cast<Py_ssize_t>(hint.size())));
      if (!note) return;
      PyRef added(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
      if (!added) return;
    }
  }
#else
  (void)labels;
#endif
  PyErr_SetObject(PyExc_KeyError, error.get());
}

void raise_unknown_token(PyObject* text, std::string_view relation, bool directed, const LabelList& relations) {
  PyRef error(call_one(PyExc_KeyError, text));
  if (!error) return;
#if PY_VERSION_HEX >= 0x030B0000
  std::string note;
  if (!directed) {
    note = "a relation token is a relation's label followed by '::-->' (forward) or '::<--' (backward)";
  }
  const std::string hint = unknown_label_hint(relation, relations);
  if (!hint.empty()) note.append(note.empty() ? "" : "; ").append(hint);
  if (!note.empty()) {
    PyRef added(PyObject_CallMethod(error.get(), "add_note", "s#", note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!added) return;
  }
#else
  (void)relation;
  (void)directed;
  (void)relations;
#endif
  PyErr_SetObject(PyExc_KeyError, error.get());
}

void raise_failure(std::exception_ptr failure, const std::string* data_path, PyObject* filename,
                   const char* input_name) {
  try {
    std::rethrow_exception(failure);
  } catch (const PythonErrorAlreadySet&) {
  } catch (const WriteError& error) {
    raise_os_error(error.os_code(), filename);
  } catch (const IoError& error) {
    PyRef note = file_note(data_path, filename, input_name);
    if (error.os_code() != 0) {
      PyRef type = os_error_type(error.os_code());
      if (type) raise_with_note(type.get(), error.what(), note.get(), error.os_code());
    } else {
      raise_with_note(PyExc_ValueError, error.what(), note.get(), 0, {format_hint_note(data_path, input_name).get()});
    }
  } catch (const ShortLineError& error) {
    // The fixed message, in the user's words beside it: how many fields the line has.
    PyRef fields(PyUnicode_FromFormat("line %llu has %zu field%s; a triple needs 3, separated by tabs",
                                      static_cast<unsigned long long>(error.line_number()), error.fields(),
                                      error.fields() == 1 ? "" : "s"));
    if (!fields) PyErr_Clear();
    raise_with_note(PyExc_ValueError, error.what(),
                    file_note(data_path, filename, input_name, error.line_number()).get(), 0,
                    {fields.get(), format_hint_note(data_path, input_name).get()});
  } catch (const TimeColumnError& error) {
    raise_with_note(PyExc_ValueError, error.what(), file_note(data_path, filename, input_name).get(), 0);
  } catch (const RdfSyntaxError& error) {
    raise_with_note(PyExc_ValueError, error.what(), file_note(data_path, filename, input_name).get(), 0);
  } catch (const IdRangeError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const ArrowError& error) {
    PyErr_SetString(error.wrong_type() ? PyExc_TypeError : PyExc_ValueError, error.what());
  } catch (const SnapshotError& error) {
    raise_with_note(PyExc_ValueError, error.what(), file_note(data_path, filename, input_name).get(), 0);
  } catch (const BiasError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const ShapeTooSmallError& error) {
    PyRef note(PyUnicode_FromString("mean_path_len must be positive: it is the mean of a Poisson draw"));
    if (!note) PyErr_Clear();
    raise_with_note(PyExc_ValueError, error.what(), note.get(), 0);
  } catch (const MeanTooLargeError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const EmptyRangeError& error) {
    PyErr_SetString(PyExc_IndexError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace vantrel::py
