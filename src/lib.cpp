// The Python module `vantrel`: the PathSampler type, its argument parsing and
// conversion, the construction sequence, the conversion of walks into lists
// of str, and the one place where C++ failures become Python exceptions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "builder.hpp"
#include "errors.hpp"
#include "graph.hpp"
#include "random.hpp"
#include "triple.hpp"

namespace {

using vantrel::EmptyRangeError;
using vantrel::IoError;
using vantrel::KG;
using vantrel::MeanTooLargeError;
using vantrel::PathPiece;
using vantrel::Poisson;
using vantrel::ShapeTooSmallError;
using vantrel::ShortLineError;
using vantrel::StdRng;
using vantrel::Suffix;

// ---------------------------------------------------------------------------
// Owned references.

struct PyDecRef {
  void operator()(PyObject* object) const { Py_DECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

PyRef new_ref(PyObject* borrowed) {
  Py_XINCREF(borrowed);
  return PyRef(borrowed);
}

// ---------------------------------------------------------------------------
// Failures of the work: the only translation from C++ exceptions to Python.

// A call into the interpreter failed inside C++ code; its exception is set.
struct PythonErrorAlreadySet {};

// Runs the interpreter's signal handlers (Ctrl-C among them) with the lock
// held; throws when one of them raised, so that the work in progress stops.
void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PythonErrorAlreadySet{};
}

// Releases the interpreter lock for its lifetime, so that other Python
// threads run while this one works on data that no Python object sees.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : state_(PyEval_SaveThread()) {}
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }

  // check_signals(), taking the lock back for the moment it needs it.
  void check_signals() {
    PyEval_RestoreThread(state_);
    const int status = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (status < 0) throw PythonErrorAlreadySet{};
  }

 private:
  PyThreadState* state_;
};

// Sets `type(message)` as the pending exception, with `errno` set when
// `os_code` is non-zero and with `note` attached (Python 3.11+).
void raise_with_note(PyObject* type, const char* message, PyObject* note, int os_code) {
  PyRef text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) return;
  PyRef exception(PyObject_CallOneArg(type, text.get()));
  if (!exception) return;
  if (os_code != 0) {
    // Only errno: with strerror set too, str() would no longer be the message.
    PyRef code(PyLong_FromLong(os_code));
    if (!code || PyObject_SetAttrString(exception.get(), "errno", code.get()) < 0) return;
  }
#if PY_VERSION_HEX >= 0x030B0000
  if (note) {
    PyRef added(PyObject_CallMethod(exception.get(), "add_note", "O", note));
    if (!added) return;
  }
#else
  (void)note;
#endif
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

// The OSError subclass that Python itself raises for `code`.
PyRef os_error_type(int code) {
  PyRef probe(PyObject_CallFunction(PyExc_OSError, "is", code, ""));
  if (!probe) return nullptr;
  return new_ref(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
}

// A note naming the data file, "data_path: 'kg.tsv'", or a line of it,
// "line 17 of data_path 'kg.tsv'" (line > 0). None when there is no path;
// a note is a help, so failing to make one is not an error.
PyRef file_note(const std::string* data_path, std::uint64_t line = 0) {
  if (!data_path) return nullptr;
  PyRef path(PyUnicode_FromStringAndSize(data_path->data(), static_cast<Py_ssize_t>(data_path->size())));
  PyRef note;
  if (path) {
    note.reset(line > 0 ? PyUnicode_FromFormat("line %llu of data_path %R", static_cast<unsigned long long>(line),
                                               path.get())
                        : PyUnicode_FromFormat("data_path: %R", path.get()));
  }
  if (!note) PyErr_Clear();
  return note;
}

// Turns the failure in flight into the pending Python exception. `data_path`
// names the file in the exception's note where the failure concerns it.
void raise_failure(std::exception_ptr failure, const std::string* data_path = nullptr) {
  try {
    std::rethrow_exception(failure);
  } catch (const PythonErrorAlreadySet&) {
  } catch (const IoError& error) {
    PyRef note = file_note(data_path);
    if (error.os_code() != 0) {
      PyRef type = os_error_type(error.os_code());
      if (type) raise_with_note(type.get(), error.what(), note.get(), error.os_code());
    } else {
      raise_with_note(PyExc_ValueError, error.what(), note.get(), 0);
    }
  } catch (const ShortLineError& error) {
    raise_with_note(PyExc_ValueError, error.what(), file_note(data_path, error.line_number()).get(), 0);
  } catch (const ShapeTooSmallError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
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

// ---------------------------------------------------------------------------
// Argument parsing.

struct ParamDescription {
  const char* name;
  bool is_optional;
  bool kw_only;
};

// Fills `output` (one slot per parameter, strong references) from `args` and
// `kwargs`. Missing arguments are reported before unknown keywords, and
// those before surplus positional arguments. Returns -1 with a TypeError set.
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

// ---------------------------------------------------------------------------
// Argument conversion.

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

// ---------------------------------------------------------------------------
// The sampler.

// Everything a PathSampler owns; no Python object among it.
struct SamplerState {
  std::uint64_t max_path_len;
  Poisson poi;
  StdRng rng;
  KG kg;
  std::vector<PathPiece> pieces;  // the last walk's strings, kept to reuse its storage
};

struct PathSamplerObject {
  PyObject_HEAD
  std::unique_ptr<SamplerState> state;
};

// The construction stages, in order: read the file as UTF-8, cut it into
// triples and build the graph, count the triples, form the seed, make the
// Poisson distribution, make the generator.
std::unique_ptr<SamplerState> construct_state(const std::string& data_path, double mean_path_len,
                                              std::uint64_t max_path_len, std::uint64_t random_state,
                                              const vantrel::InterruptPoll& poll) {
  KG kg = vantrel::build_kg(vantrel::read_text_file(data_path, poll), vantrel::IdWidth::kNarrowest, poll);
  const vantrel::Seed seed = vantrel::seed_from_random_state(random_state);
  Poisson poi = Poisson::from_mean(mean_path_len);
  StdRng rng = StdRng::from_seed(seed);
  return std::make_unique<SamplerState>(SamplerState{max_path_len, poi, rng, std::move(kg), {}});
}

// Refuses walks whose list could not fit in this machine's memory: each of
// its strings costs at least a list slot, a piece and a str object.
void ensure_walk_fits(std::uint64_t path_len) {
  static const std::uint64_t physical_bytes =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  constexpr std::uint64_t kBytesPerString = sizeof(PyObject*) + sizeof(PathPiece) + sizeof(PyASCIIObject);
  if (path_len >= physical_bytes / kBytesPerString) throw std::bad_alloc();
}

constexpr std::string_view kForwardSuffix = "::-->";
constexpr std::string_view kBackwardSuffix = "::<--";

PyObject* piece_to_str(const PathPiece& piece, std::string& joined) {
  const std::string_view suffix = piece.suffix == Suffix::kForward    ? kForwardSuffix
                                  : piece.suffix == Suffix::kBackward ? kBackwardSuffix
                                                                      : std::string_view();
  if (piece.ascii) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(piece.label.size() + suffix.size()), 127);
    if (!text) return nullptr;
    Py_UCS1* bytes = PyUnicode_1BYTE_DATA(text);
    if (!piece.label.empty()) std::memcpy(bytes, piece.label.data(), piece.label.size());
    if (!suffix.empty()) std::memcpy(bytes + piece.label.size(), suffix.data(), suffix.size());
    return text;
  }
  std::string_view utf8 = piece.label;
  if (!suffix.empty()) {
    joined.assign(piece.label);
    joined.append(suffix);
    utf8 = joined;
  }
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
}

PyObject* pieces_to_list(const std::vector<PathPiece>& pieces) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!list) return nullptr;
  std::string joined;
  constexpr std::size_t kPiecesPerSignalCheck = std::size_t{1} << 20;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i % kPiecesPerSignalCheck == kPiecesPerSignalCheck - 1 && PyErr_CheckSignals() < 0) return nullptr;
    PyObject* text;
    try {
      text = piece_to_str(pieces[i], joined);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    if (!text) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

constexpr ParamDescription kConstructorParams[] = {
    {"data_path", false, false},
    {"mean_path_len", false, false},
    {"max_path_len", false, false},
    {"random_state", false, false},
};
constexpr const char* kConstructorName = "PathSampler.__new__()";
constexpr const char* kSamplePathName = "PathSampler.sample_path()";

PyObject* PathSampler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* object = alloc(type, 0);
  if (!object) return nullptr;
  auto* self = reinterpret_cast<PathSamplerObject*>(object);
  new (&self->state) std::unique_ptr<SamplerState>();
  PyRef owner(object);  // released on every failure below

  PyRef slots[std::size(kConstructorParams)];
  if (parse_fn_args(kConstructorName, kConstructorParams, args, kwargs, false, false, slots) < 0) return nullptr;
  std::string data_path;
  double mean_path_len;
  std::uint64_t max_path_len;
  std::uint64_t random_state;
  if (!convert_text(slots[0].get(), data_path) || !convert_double(slots[1].get(), mean_path_len) ||
      !convert_u64(slots[2].get(), max_path_len) || !convert_u64(slots[3].get(), random_state)) {
    return nullptr;
  }

  // No Python object is touched while the file is read and the graph built,
  // and the new object is not visible yet: let other threads run meanwhile.
  std::unique_ptr<SamplerState> state;
  std::exception_ptr failure;
  {
    InterpreterLockReleased released;
    try {
      state = construct_state(data_path, mean_path_len, max_path_len, random_state,
                              [&released] { released.check_signals(); });
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    raise_failure(failure, &data_path);
    return nullptr;
  }
  self->state = std::move(state);
  return owner.release();
}

void PathSampler_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<PathSamplerObject*>(object);
  self->state.~unique_ptr();
  Py_TYPE(object)->tp_free(object);
}

PyObject* PathSampler_get_data_size(PyObject* object, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<PathSamplerObject*>(object)->state->kg.edge_count());
}

PyObject* PathSampler_sample_path(PyObject* object, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    if (parse_fn_args(kSamplePathName, {}, args, kwargs, false, false, nullptr) < 0) return nullptr;
  }
  SamplerState& state = *reinterpret_cast<PathSamplerObject*>(object)->state;
  // Taken out of the object: building the list may run Python code (a
  // collection's finalizers) that samples from this same object.
  std::vector<PathPiece> pieces = std::move(state.pieces);
  try {
    const std::uint64_t path_len = vantrel::path_len_from_draw(state.poi.sample(state.rng), state.max_path_len);
    ensure_walk_fits(path_len);
    state.kg.walk(path_len, state.rng, pieces, check_signals);
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  PyObject* list = pieces_to_list(pieces);
  constexpr std::size_t kKeptCapacity = std::size_t{1} << 16;
  if (pieces.capacity() <= kKeptCapacity && state.pieces.capacity() == 0) state.pieces = std::move(pieces);
  return list;
}

PyMethodDef PathSampler_methods[] = {
    {"sample_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(PathSampler_sample_path)),
     METH_VARARGS | METH_KEYWORDS, ""},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PathSampler_getset[] = {
    {"data_size", PathSampler_get_data_size, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The slots are filled in by ready_class(); the header is all there is to initialise.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject PathSamplerType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// Fills the type object and readies it; done once per process.
int ready_class() {
  if (PyType_HasFeature(&PathSamplerType, Py_TPFLAGS_READY)) return 0;
  PathSamplerType.tp_name = "PathSampler";
  PathSamplerType.tp_base = &PyBaseObject_Type;
  PathSamplerType.tp_dealloc = PathSampler_dealloc;
  PathSamplerType.tp_basicsize = sizeof(PathSamplerObject);
  PathSamplerType.tp_methods = PathSampler_methods;
  PathSamplerType.tp_getset = PathSampler_getset;
  PathSamplerType.tp_new = PathSampler_new;
  PathSamplerType.tp_flags = Py_TPFLAGS_DEFAULT;
  return PyType_Ready(&PathSamplerType);
}

// ---------------------------------------------------------------------------
// The module.

PyModuleDef vantrel_module = {
    PyModuleDef_HEAD_INIT, "vantrel", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Replaces the pending exception, if any, by ImportError(message) caused by it.
void raise_import_failure(const char* message) {
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

// Sets `name` on the module and appends it to the module's `__all__`,
// creating that list on first use.
enum class AddFailure { kNone, kAll, kAttribute };
AddFailure add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return AddFailure::kAll;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return AddFailure::kAll;
  }
  PyRef name_text(PyUnicode_FromString(name));
  if (!name_text || !PyList_Check(all.get()) || PyList_Append(all.get(), name_text.get()) < 0) {
    return AddFailure::kAll;
  }
  if (PyObject_SetAttrString(module, name, value) < 0) return AddFailure::kAttribute;
  return AddFailure::kNone;
}

}  // namespace

PyMODINIT_FUNC PyInit_vantrel() {
  // Thread support is always initialised since Python 3.7; nothing to do for it.
  PyRef module(PyModule_Create2(&vantrel_module, 1013));
  if (!module) return nullptr;

  PyRef empty_doc(PyUnicode_FromStringAndSize("", 0));
  if (!empty_doc) return nullptr;
  switch (add_to_module(module.get(), "__doc__", empty_doc.get())) {
    case AddFailure::kNone: break;
    case AddFailure::kAll: raise_import_failure("could not append __name__ to __all__"); return nullptr;
    case AddFailure::kAttribute: raise_import_failure("Failed to add doc for module"); return nullptr;
  }

  if (ready_class() < 0) {
    PyErr_Print();
    raise_import_failure("An error occurred while initializing class PathSampler");
    return nullptr;
  }
  switch (add_to_module(module.get(), "PathSampler", reinterpret_cast<PyObject*>(&PathSamplerType))) {
    case AddFailure::kNone: break;
    case AddFailure::kAll: raise_import_failure("could not append __name__ to __all__"); return nullptr;
    case AddFailure::kAttribute: return nullptr;
  }
  return module.release();
}
