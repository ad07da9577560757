#include "python/py_args.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <climits>
#include <cstring>
#include <new>

#include "core/parallel.hpp"

namespace vantrel::py {

int parse_fn_args(const char* fname, std::span<const ParamDescription> params, PyObject* args, PyObject* kwargs,
                  bool accept_args, bool accept_kwargs, PyRef* output) {
  const Py_ssize_t nargs = tuple_size(args);
  Py_ssize_t used_args = 0;
  PyRef remaining;
  if (kwargs && dict_size(kwargs) > 0) {
    remaining.reset(PyDict_Copy(kwargs));
    if (!remaining) return -1;
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ParamDescription& param = params[i];
    const auto position = static_cast<Py_ssize_t>(i);
    PyObject* value = nullptr;
    PyRef key;
    if (remaining) {
      key.reset(PyUnicode_FromString(param.name));
      if (!key) return -1;
      value = PyDict_GetItemWithError(remaining.get(), key.get());
      if (!value && PyErr_Occurred()) return -1;
    }
    if (value) {
      if (position < nargs) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument: %s", fname, param.name);
        return -1;
      }
      output[i] = new_ref(value);
      if (PyDict_DelItem(remaining.get(), key.get()) < 0) return -1;
    } else if (position < nargs && !param.kw_only) {
      output[i] = new_ref(tuple_item(args, position));
      ++used_args;
    } else if (!param.is_optional) {
      PyErr_Format(PyExc_TypeError, "%s missing required positional argument: %s", fname, param.name);
      return -1;
    }
  }
  if (!accept_kwargs && remaining && dict_size(remaining.get()) > 0) {
    Py_ssize_t cursor = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyDict_Next(remaining.get(), &cursor, &key, &value);
    PyRef key_text(PyObject_Str(key));
    if (!key_text) return -1;
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument: %U", fname, key_text.get());
    return -1;
  }
  if (!accept_args && used_args < nargs) {
    PyErr_Format(PyExc_TypeError, "%s takes at most %zd positional argument%s (%zd given)", fname, used_args,
                 used_args == 1 ? "" : "s", nargs);
    return -1;
  }
  return 0;
}

bool label_text_of(PyObject* text, std::optional<std::string_view>& out) {
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8) {
    out.emplace(utf8, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  out.reset();
  return true;
}

bool convert_text(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_SetNone(PyExc_TypeError);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) return false;
  try {
    out.assign(utf8, static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool convert_double(PyObject* object, double& out) {
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool convert_u64(PyObject* object, std::uint64_t& out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_bounded(PyObject* object, const char* name, std::uint64_t max, std::uint64_t& out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  PyRef zero(PyLong_FromLong(0));
  if (!zero) return false;
  const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
  if (negative < 0) return false;
  if (negative) {
    PyErr_Format(PyExc_ValueError, "%s must be >= 0, not %R", name, index.get());
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  } else if (value <= max) {
    out = value;
    return true;
  }
  PyErr_Format(PyExc_OverflowError, "%s must be <= %llu, not %R", name, static_cast<unsigned long long>(max),
               index.get());
  return false;
}

namespace {

// convert_u64() of the argument `name`; an int out of range keeps the
// interpreter's OverflowError, with a note naming the argument.
bool convert_u64_named(PyObject* object, const char* name, std::uint64_t& out) {
  if (convert_u64(object, out)) return true;
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    const std::string note = std::string(name) + " must be an int from 0 to 2**64 - 1";
    add_note(note.c_str());
  }
  return false;
}

}  // namespace

bool convert_walk_arguments(PyObject* mean_path_len, PyObject* max_path_len, PyObject* random_state,
                            WalkArguments& out) {
  return convert_double(mean_path_len, out.mean_path_len) &&
         convert_u64_named(max_path_len, "max_path_len", out.max_path_len) &&
         convert_u64_named(random_state, "random_state", out.random_state);
}

bool choice_index(PyObject* object, const char* name, std::span<const char* const> texts, std::size_t& index) {
  if (PyUnicode_Check(object)) {
    for (index = 0; index < texts.size(); ++index) {
      if (PyUnicode_CompareWithASCIIString(object, texts[index]) == 0) return true;
    }
  }
  try {
    std::string expected;  // 'a' or 'b' ...
    for (const char* choice : texts) expected += std::string(expected.empty() ? "'" : " or '") + choice + "'";
    if (PyUnicode_Check(object)) {
      PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected.c_str(), object);
    } else {
      PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", name, expected.c_str(), TypeName(object).c_str());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return false;
}

bool convert_path(PyObject* object, std::string& path, PyRef& filename) {
  filename.reset(PyOS_FSPath(object));
  if (!filename) return false;
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(filename.get(), &encoded)) return false;
  PyRef bytes(encoded);
  try {
    path.assign(bytes_data(bytes.get()), static_cast<std::size_t>(bytes_size(bytes.get())));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool integer_format_of(const Py_buffer& view, const char* name, IntegerFormat& out) {
  const char* format = view.format ? view.format : "B";
  bool swap = false;
  if (*format == '<' || *format == '>' || *format == '!' || *format == '=' || *format == '@') {
    swap = (*format == '>' || *format == '!') == (std::endian::native == std::endian::little);
    ++format;
  }
  const char code = format[0];
  const bool known = format[1] == '\0' && code != '\0' && std::strchr("bBhHiIlLqQnN", code) != nullptr;
  if (!known || view.itemsize < 1 || view.itemsize > 8) {
    PyErr_Format(PyExc_TypeError, "%s must hold integers, not items of format '%s'", name,
                 view.format ? view.format : "B");
    return false;
  }
  out = {static_cast<unsigned>(view.itemsize), std::islower(static_cast<unsigned char>(code)) != 0, swap};
  return true;
}

int read_int_item(PyObject* item, IntItem& out) {
  if (!PyIndex_Check(item) || PyBool_Check(item)) return 0;
  out.index = PyRef(PyNumber_Index(item));
  if (!out.index) return -1;
  int overflow = 0;
  out.value = PyLong_AsLongLongAndOverflow(out.index.get(), &overflow);
  if (out.value == -1 && PyErr_Occurred()) return -1;
  out.overflow = overflow != 0;
  return 1;
}

int is_mapping(PyObject* object) {
  if (PyDict_Check(object)) return 1;
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) || PyList_Check(object) ||
      PyTuple_Check(object)) {
    return 0;
  }
  static PyObject* mapping_type = nullptr;  // collections.abc.Mapping, kept for the life of the process
  if (!mapping_type) {
    PyRef abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    mapping_type = PyObject_GetAttrString(abc.get(), "Mapping");
    if (!mapping_type) return -1;
  }
  const int registered = PyObject_IsInstance(object, mapping_type);
  if (registered != 0) return registered;
  if (!PyMapping_Check(object) || PySequence_Check(object)) return 0;
  return PyObject_HasAttrString(object, "items");
}

PyRef array_or_object(PyObject* object) {
  if (PyObject_CheckBuffer(object) || PyUnicode_Check(object) || !PyObject_HasAttrString(object, "__array__")) {
    return new_ref(object);
  }
  return PyRef(PyObject_CallMethod(object, "__array__", nullptr));
}

}  // namespace vantrel::py
