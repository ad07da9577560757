#include "py_args.hpp"

#include <initializer_list>
#include <new>

#include "parallel.hpp"

namespace vantrel::py {

int parse_fn_args(const char* fname, std::span<const ParamDescription> params, PyObject* args, PyObject* kwargs,
                  bool accept_args, bool accept_kwargs, PyRef* output) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t used_args = 0;
  PyRef remaining;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
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
      output[i] = new_ref(PyTuple_GET_ITEM(args, position));
      ++used_args;
    } else if (!param.is_optional) {
      PyErr_Format(PyExc_TypeError, "%s missing required positional argument: %s", fname, param.name);
      return -1;
    }
  }
  if (!accept_kwargs && remaining && PyDict_GET_SIZE(remaining.get()) > 0) {
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

bool convert_choice(PyObject* object, const char* name, std::initializer_list<const char*> choices, int& out) {
  if (PyUnicode_Check(object)) {
    int index = 0;
    for (const char* choice : choices) {
      if (PyUnicode_CompareWithASCIIString(object, choice) == 0) {
        out = index;
        return true;
      }
      ++index;
    }
  }
  try {
    std::string expected;  // 'a' or 'b' ...
    for (const char* choice : choices) expected += std::string(expected.empty() ? "'" : " or '") + choice + "'";
    if (PyUnicode_Check(object)) {
      PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected.c_str(), object);
    } else {
      PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", name, expected.c_str(), Py_TYPE(object)->tp_name);
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
    path.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

namespace {

constexpr ParamDescription kNumberedParams[] = {
    {"first", false, false},
    {"stop", false, false},
    {"threads", true, true},
    {"start", true, true},
};

// Walk numbers run below 2^64 - 1, so that stream i + 1 exists for each.
constexpr std::uint64_t kWalkNumberLimit = UINT64_MAX;
constexpr std::uint64_t kThreadLimit = 1u << 16;

}  // namespace

bool parse_numbered_request(const char* fname, PyObject* args, PyObject* kwargs, NumberedRequest& request) {
  PyRef slots[std::size(kNumberedParams)];
  if (parse_fn_args(fname, kNumberedParams, args, kwargs, false, false, slots) < 0) return false;
  return convert_numbered_request(slots[0].get(), slots[1].get(), slots[2].get(), slots[3].get(), request);
}

bool convert_numbered_request(PyObject* first, PyObject* stop, PyObject* threads, PyObject* start,
                              NumberedRequest& request) {
  std::uint64_t thread_count = 0;
  if (!convert_bounded(first, "first", kWalkNumberLimit, request.first) ||
      !convert_bounded(stop, "stop", kWalkNumberLimit, request.stop) ||
      (threads && !convert_bounded(threads, "threads", kThreadLimit, thread_count))) {
    return false;
  }
  if (request.first > request.stop) {
    PyErr_Format(PyExc_ValueError, "first must be <= stop, not first=%llu > stop=%llu",
                 static_cast<unsigned long long>(request.first), static_cast<unsigned long long>(request.stop));
    return false;
  }
  request.threads = thread_count == 0 ? available_cpus() : static_cast<unsigned>(thread_count);
  int start_rule = 0;
  if (start && !convert_choice(start, "start", {"random", "each"}, start_rule)) return false;
  request.start = start_rule == 0 ? StartRule::kDrawn : StartRule::kEachNode;
  return true;
}

}  // namespace vantrel::py
