// PathSampler's constructors from the inputs users have: read() for files
// and file objects of triples (tab-separated, N-Triples, N-Quads, compressed
// or not), and from_ids() for arrays of integer triples with their labels.
#include "python/py_sampler_inputs.hpp"
#include "python/py_sampler_state.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "graph/canonical.hpp"
#include "graph/id_graph.hpp"
#include "python/py_args.hpp"
#include "python/py_progress.hpp"
#include "python/py_source.hpp"
#include "read/byte_source.hpp"
#include "read/formats.hpp"
#include "read/graph_reader.hpp"
#include "read/iri.hpp"

namespace vantrel::py {

namespace {

constexpr const char* kReadName = "PathSampler.read()";

constexpr Choice<GraphFormat> kFormatChoices[] = {  // read/formats' names
    {"tsv", GraphFormat::kTsv},
    {"nt", GraphFormat::kNTriples},
    {"nq", GraphFormat::kNQuads},
    {"turtle", GraphFormat::kTurtle},
    {"trig", GraphFormat::kTriG}};
constexpr Choice<bool> kLiteralChoices[] = {{"keep", false}, {"drop", true}};  // true: drop them

constexpr ParamDescription kReadParams[] = {
    {"source", false, false},       {"mean_path_len", false, false}, {"max_path_len", false, false},
    {"random_state", false, false}, {"format", true, true},          {"literals", true, true},
    {"progress", true, true},       {"canonical", true, true},       {"base", true, true},
};

// Whether the buffered binary file `raw` starts with gzip's magic number,
// peeked at without reading it; false where it cannot be peeked at.
bool starts_as_gzip(PyObject* raw) {
  PyRef head(PyObject_CallMethod(raw, "peek", "n", Py_ssize_t{2}));
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (!head || PyBytes_AsStringAndSize(head.get(), &bytes, &size) < 0) {
    PyErr_Clear();
    return false;
  }
  const CompressionInfo* compressed = compression_from_magic(std::string_view(bytes, static_cast<std::size_t>(size)));
  return compressed && compressed->compression == Compression::kGzip;
}

// A decompressing file object over the binary file `raw`, from Python's own
// modules (which release the lock while they decompress); null with the
// exception set.
PyRef open_decompressor(Compression compression, PyObject* raw) {
  auto module = [](const char* name) { return PyRef(PyImport_ImportModule(name)); };
  switch (compression) {
    case Compression::kGzip: {
      // python-isal's igzip, where it is installed, inflates about three
      // times as fast as zlib (a gzipped dump then reads near the plain
      // file's speed); a file that does not start as gzip does goes to
      // Python's gzip, whose message says so.
      PyRef gzip = starts_as_gzip(raw) ? module("isal.igzip") : nullptr;
      if (!gzip) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
        gzip = module("gzip");
      }
      if (!gzip) return nullptr;
      PyRef kwargs(Py_BuildValue("{s:O,s:s}", "fileobj", raw, "mode", "rb"));
      PyRef type(PyObject_GetAttrString(gzip.get(), "GzipFile"));
      PyRef args(PyTuple_New(0));
      if (!kwargs || !type || !args) return nullptr;
      return PyRef(PyObject_Call(type.get(), args.get(), kwargs.get()));
    }
    case Compression::kBzip2: {
      PyRef bz2 = module("bz2");
      return bz2 ? PyRef(PyObject_CallMethod(bz2.get(), "BZ2File", "O", raw)) : nullptr;
    }
    case Compression::kXz: {
      PyRef lzma = module("lzma");
      return lzma ? PyRef(PyObject_CallMethod(lzma.get(), "LZMAFile", "O", raw)) : nullptr;
    }
    case Compression::kZstd: {
      // Python 3.14's own module, or the zstandard package.
      if (PyRef zstd = module("compression.zstd")) return PyRef(PyObject_CallMethod(zstd.get(), "ZstdFile", "O", raw));
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
      PyErr_Clear();
      if (PyRef zstandard = module("zstandard")) {
        PyRef decompressor(PyObject_CallMethod(zstandard.get(), "ZstdDecompressor", nullptr));
        return decompressor ? PyRef(PyObject_CallMethod(decompressor.get(), "stream_reader", "O", raw)) : nullptr;
      }
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
      PyErr_Clear();
      PyErr_SetString(PyExc_ModuleNotFoundError,
                      "reading .zst needs a zstd module: Python 3.14's compression.zstd, or the zstandard package "
                      "(pip install zstandard)");
      return nullptr;
    }
    case Compression::kNone: break;
  }
  return new_ref(raw);
}

// Files read() opened itself, closed when it is done, whatever happened:
// the decompressor first, then the file under it.
class OpenedFiles {
 public:
  ~OpenedFiles() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);  // closing must not lose the error being raised
    for (PyRef* file : {&decompressor, &raw}) {
      if (!*file) continue;
      PyRef closed(PyObject_CallMethod(file->get(), "close", nullptr));
      if (!closed) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
  }
  PyRef raw;
  PyRef decompressor;
};

constexpr const char* kFromIdsName = "PathSampler.from_ids()";

constexpr ParamDescription kFromIdsParams[] = {
    {"triples", false, false},       {"node_labels", false, false},  {"relation_labels", false, false},
    {"mean_path_len", false, false}, {"max_path_len", false, false}, {"random_state", false, false},
    {"canonical", true, true},
};

// canonical=: whether the graph is built in canonical order (graph/canonical).
bool convert_canonical(PyObject* object, bool& canonical) {
  if (!object) return true;
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  canonical = truth != 0;
  return true;
}

// The labels of a sequence of str, copied; false with the exception set
// (TypeError for an item that is no str, or for a str, a mapping or a set,
// which hold labels in no id order; ValueError for a repeat). An exception
// raised while iterating the sequence is passed on as it is.
bool labels_of(PyObject* sequence, const char* name, LabelList& out) {
  if (PyUnicode_Check(sequence) || PyBytes_Check(sequence) || PyByteArray_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of str, not a %.200s", name, Py_TYPE(sequence)->tp_name);
    return false;
  }
  if (PyDict_Check(sequence) || PyAnySet_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of str in id order, not a %.200s", name,
                 Py_TYPE(sequence)->tp_name);
    return false;
  }
  const std::string not_iterable = std::string(name) + " must be a sequence of str, not " + Py_TYPE(sequence)->tp_name;
  PyRef items(PySequence_Fast(sequence, not_iterable.c_str()));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  LabelArena arena;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s[%zd] must be str, not %.200s", name, i, Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (!text) return false;
    arena.append(std::string_view(text, static_cast<std::size_t>(size)));
  }
  out = std::move(arena).freeze();
  if (const auto repeat = first_repeat(out)) {
    PyErr_Format(PyExc_ValueError, "%s[%llu] = %R repeats %s[%llu]", name,
                 static_cast<unsigned long long>(repeat->first),
                 PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(repeat->first)), name,
                 static_cast<unsigned long long>(repeat->second));
    return false;
  }
  return true;
}

// A buffer released when it goes out of scope.
struct HeldBuffer {
  Py_buffer view{};
  bool held = false;
  ~HeldBuffer() {
    if (held) PyBuffer_Release(&view);
  }
};

}  // namespace

PyObject* PathSampler_from_ids(PyObject* type, PyObject* args, PyObject* kwargs) {
  PyRef slots[std::size(kFromIdsParams)];
  if (parse_fn_args(kFromIdsName, kFromIdsParams, args, kwargs, false, false, slots) < 0) return nullptr;
  WalkArguments walk;
  bool canonical = false;
  if (!convert_walk_arguments(slots[3].get(), slots[4].get(), slots[5].get(), walk) ||
      !convert_canonical(slots[6].get(), canonical)) {
    return nullptr;
  }
  // A torch tensor has no buffer protocol; its numpy() view shares its memory.
  PyRef array = new_ref(slots[0].get());
  if (!PyObject_CheckBuffer(array.get()) && PyObject_HasAttrString(array.get(), "numpy")) {
    array.reset(PyObject_CallMethod(array.get(), "numpy", nullptr));
    if (!array) return nullptr;
  }
  HeldBuffer buffer;
  if (!PyObject_CheckBuffer(array.get())) {
    PyErr_Format(PyExc_TypeError, "triples must be an integer array with the buffer protocol, not %.200s",
                 Py_TYPE(array.get())->tp_name);
    return nullptr;
  }
  if (PyObject_GetBuffer(array.get(), &buffer.view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return nullptr;
  buffer.held = true;
  const Py_buffer& view = buffer.view;
  if (view.ndim != 2 || view.shape[1] != 3) {
    PyRef shape(PyTuple_New(view.ndim));
    if (!shape) return nullptr;
    for (int d = 0; d < view.ndim; ++d) {
      PyObject* extent = PyLong_FromSsize_t(view.shape[d]);
      if (!extent) return nullptr;
      PyTuple_SET_ITEM(shape.get(), d, extent);
    }
    PyErr_Format(PyExc_ValueError, "triples must be of shape (n, 3): rows of (head, relation, tail), not %R",
                 shape.get());
    return nullptr;
  }
  IntegerFormat format;
  if (!integer_format_of(view, "triples", format)) return nullptr;
  IdTriples triples;
  triples.data = static_cast<const char*>(view.buf);
  triples.rows = static_cast<std::uint64_t>(view.shape[0]);
  triples.row_stride = view.strides ? view.strides[0] : 3 * view.itemsize;
  triples.column_stride = view.strides ? view.strides[1] : view.itemsize;
  triples.format = format;

  LabelList node_labels;
  LabelList relation_labels;
  if (!labels_of(slots[1].get(), "node_labels", node_labels) ||
      !labels_of(slots[2].get(), "relation_labels", relation_labels)) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    KG kg = graph_from_ids(triples, std::move(node_labels), std::move(relation_labels), poll);
    return state_with(canonical ? canonical_graph(std::move(kg), poll) : std::move(kg), walk);
  });
}

namespace {

// What read() was given to read: a path, or a binary file object. `name` is
// what the format is told from and what notes name.
struct ReadSource {
  PyObject* object;
  bool is_path;
  std::string path;
  PyRef filename;
  std::string name;
};

// The source of `object`; false with the exception set.
bool read_source_of(PyObject* object, ReadSource& out) {
  out.object = object;
  out.is_path = PyUnicode_Check(object) || PyBytes_Check(object) || PyObject_HasAttrString(object, "__fspath__");
  if (out.is_path) {
    if (!convert_path(object, out.path, out.filename)) return false;
    out.name = out.path;
    return true;
  }
  if (!PyFileSource::check(object)) return false;
  PyRef name_object(PyObject_GetAttrString(object, "name"));
  if (!name_object) PyErr_Clear();
  PyRef text(name_object && (PyUnicode_Check(name_object.get()) || PyBytes_Check(name_object.get()))
                 ? PyObject_Str(name_object.get())
                 : PyObject_Repr(object));
  if (!text) return false;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) return false;
  out.name.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

// base=: an absolute IRI; false with the exception set where it is not.
bool convert_base(PyObject* object, std::string& base) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "base must be a str or None, not %.200s", Py_TYPE(object)->tp_name);
    return false;
  }
  if (!convert_text(object, base)) return false;
  if (!is_absolute_iri(base)) {
    PyErr_Format(PyExc_ValueError, "base must be an absolute IRI (a scheme, then ':'), not %R", object);
    return false;
  }
  return true;
}

// The reader's options for `source`: the format given, or the one its name
// tells; false with the exception set where there is none, or where
// literals are to be dropped from a format without them.
bool read_options_for(const ReadSource& source, std::optional<GraphFormat> format, bool drop_literals,
                      GraphReadOptions& options) {
  if (!format) format = format_from_suffix(source.name);
  struct stat status{};
  if (!format && source.is_path && ::stat(source.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    // A directory's name tells no format, but that is not what is wrong with it.
    raise_os_error(EISDIR, source.filename.get());
    return false;
  }
  if (!format) {
    PyErr_Format(PyExc_ValueError,
                 "cannot tell the format of %R from its name: give format='tsv', 'nt', 'nq', "
                 "'turtle' or 'trig'",
                 source.filename ? source.filename.get() : source.object);
    return false;
  }
  if (drop_literals && *format == GraphFormat::kTsv) {
    PyErr_SetString(PyExc_ValueError, "literals='drop' applies to the RDF formats, not to format='tsv'");
    return false;
  }
  options.format = *format;
  options.drop_literals = drop_literals;
  return true;
}

// The Python file object to read `source` through, if any: a compressed
// path is opened here and decompressed by Python's modules, a file object
// is read as it is, and a plain path (no object) is read by the core on
// every thread. False with the exception set.
bool open_python_source(const ReadSource& source, OpenedFiles& opened, std::optional<PyFileSource>& python_source) {
  std::string_view suffixes = source.name;
  const Compression compression = source.is_path ? strip_compression_suffix(suffixes) : Compression::kNone;
  if (compression == Compression::kNone) {
    if (!source.is_path) python_source.emplace(source.object);
    return true;
  }
  PyRef io(PyImport_ImportModule("io"));
  if (!io) return false;
  opened.raw.reset(PyObject_CallMethod(io.get(), "open", "Os", source.filename.get(), "rb"));
  if (!opened.raw) {
    add_file_note(source.name, "source");  // as a plain path's failure to open is noted
    return false;
  }
  opened.decompressor = open_decompressor(compression, opened.raw.get());
  if (!opened.decompressor) return false;
  python_source.emplace(opened.decompressor.get());
  return true;
}

}  // namespace

PyObject* PathSampler_read(PyObject* type, PyObject* args, PyObject* kwargs) {
  PyRef slots[std::size(kReadParams)];
  if (parse_fn_args(kReadName, kReadParams, args, kwargs, false, false, slots) < 0) return nullptr;
  WalkArguments walk;
  if (!convert_walk_arguments(slots[1].get(), slots[2].get(), slots[3].get(), walk)) return nullptr;
  std::optional<GraphFormat> format;
  if (slots[4] && slots[4].get() != Py_None) {
    GraphFormat chosen;
    if (!convert_choice(slots[4].get(), "format", kFormatChoices, chosen)) return nullptr;
    format = chosen;
  }
  bool drop_literals = false;
  if (slots[5] && !convert_choice(slots[5].get(), "literals", kLiteralChoices, drop_literals)) return nullptr;
  Progress progress;
  if (!progress.set(slots[6].get())) return nullptr;
  bool canonical = false;
  if (!convert_canonical(slots[7].get(), canonical)) return nullptr;
  GraphReadOptions options;
  if (slots[8] && slots[8].get() != Py_None && !convert_base(slots[8].get(), options.base)) return nullptr;
  ReadSource source;
  OpenedFiles opened;
  std::optional<PyFileSource> python_source;
  if (!read_source_of(slots[0].get(), source) || !read_options_for(source, format, drop_literals, options) ||
      !open_python_source(source, opened, python_source)) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;

  // Progress: bytes of the file read so far (of the compressed file, for a
  // compressed path), or bytes the file object gave.
  const CountingSource* counted = nullptr;
  auto report_progress = [&] {
    progress.report([&] {
      if (opened.raw) return PyObject_CallMethod(opened.raw.get(), "tell", nullptr);
      return PyLong_FromUnsignedLongLong(counted ? counted->bytes_read() : 0);
    });
  };
  return fill_sampler_with(
      std::move(owner),
      [&](const InterruptPoll& poll) {
        std::optional<FileSource> plain;
        if (!python_source) plain.emplace(source.path, poll);
        CountingSource counting(python_source ? static_cast<ByteSource&>(*python_source) : *plain);
        counted = &counting;
        KG kg = read_graph(counting, options, poll);
        if (canonical) kg = canonical_graph(std::move(kg), poll);
        progress.finish();
        if (progress) poll();  // the final count
        counted = nullptr;
        return state_with(std::move(kg), walk);
      },
      report_progress, &source.name, nullptr, "source");
}

}  // namespace vantrel::py
