#include "python/py_read_sources.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "python/py_args.hpp"
#include "python/py_errors.hpp"
#include "python/py_oxigraph_source.hpp"
#include "read/formats.hpp"
#include "read/iri.hpp"

namespace vantrel::py {

namespace {

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

}  // namespace

OpenedFiles::~OpenedFiles() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);  // closing must not lose the error being raised
  for (PyRef* file : {&decompressor, &raw}) {
    if (!*file) continue;
    PyRef closed(PyObject_CallMethod(file->get(), "close", nullptr));
    if (!closed) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

// base=: an absolute IRI; false with the exception set where it is not.
bool convert_base(PyObject* object, std::string& base) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "base must be a str or None, not %.200s", TypeName(object).c_str());
    return false;
  }
  if (!convert_text(object, base)) return false;
  if (!is_absolute_iri(base)) {
    PyErr_Format(PyExc_ValueError, "base must be an absolute IRI (a scheme, then ':'), not %R", object);
    return false;
  }
  return true;
}

namespace {

// The reader's options for `source`: the format given, or the one its name
// tells; false with the exception set where there is none, or where
// literals are to be dropped from, or a base given to, a format without
// literals or IRIs.
bool read_options_for(const ReadSource& source, const ReadRequest& request, GraphReadOptions& options) {
  std::optional<GraphFormat> format = request.format;
  if (!format) format = format_from_suffix(source.name);
  if (!format) {
    PyErr_Format(PyExc_ValueError, "cannot tell the format of %R from its name: give format=%s",
                 source.filename ? source.filename.get() : source.object, format_names_text().c_str());
    return false;
  }
  if (request.drop_literals && *format == GraphFormat::kTsv) {
    PyErr_SetString(PyExc_ValueError, "literals='drop' applies to the RDF formats, not to format='tsv'");
    return false;
  }
  if (!request.base.empty() && *format == GraphFormat::kTsv) {
    PyErr_SetString(PyExc_ValueError, "base applies to the RDF formats, not to format='tsv': a label is no IRI");
    return false;
  }
  if (request.time_column && *format != GraphFormat::kTsv) {
    PyErr_SetString(PyExc_ValueError, "time_column applies to tab-separated files (format='tsv'), not to RDF");
    return false;
  }
  options.format = *format;
  options.time_column = request.time_column;
  options.drop_literals = request.drop_literals;
  options.base = request.base;
  return true;
}

// What reads `file` under the interpreter lock, if anything: a compressed
// path is opened here and decompressed by Python's modules, a file object
// is read as it is, RDF/XML and JSON-LD go through pyoxigraph (which hands
// the reader N-Triples), and a plain path (no object) is read by the core
// on every thread. False with the exception set.
bool open_python_source(ReadFile& file) {
  const ReadSource& source = file.source;
  const GraphFormat format = file.options.format;
  const bool through_oxigraph = format == GraphFormat::kRdfXml || format == GraphFormat::kJsonLd;
  std::string_view suffixes = source.name;
  const Compression compression = source.is_path ? strip_compression_suffix(suffixes) : Compression::kNone;
  PyObject* stream = source.is_path ? nullptr : source.object;
  if (source.is_path && (compression != Compression::kNone || through_oxigraph)) {
    PyRef io(PyImport_ImportModule("io"));
    if (!io) return false;
    file.opened.raw.reset(PyObject_CallMethod(io.get(), "open", "Os", source.filename.get(), "rb"));
    if (!file.opened.raw) {
      add_file_note(source.name, "source");  // as a plain path's failure to open is noted
      return false;
    }
    stream = file.opened.raw.get();
    if (compression != Compression::kNone) {
      file.opened.decompressor = open_decompressor(compression, file.opened.raw.get());
      if (!file.opened.decompressor) return false;
      stream = file.opened.decompressor.get();
    }
  }
  if (through_oxigraph) {
    file.python_source = OxigraphSource::open(
        stream, format == GraphFormat::kRdfXml ? OxigraphSource::Syntax::kRdfXml : OxigraphSource::Syntax::kJsonLd,
        file.options.base, source.name);
    if (!file.python_source) return false;
    file.options.format = GraphFormat::kNTriples;
    return true;
  }
  if (stream) file.python_source = std::make_unique<PyFileSource>(stream);
  return true;
}

// What a directory entry whose suffix names a format is, when it is no
// regular file: each is an error naming the entry, so that the graph read
// is the same whatever order the directory lists its entries in.
const char* irregular_kind(std::filesystem::file_type type) {
  switch (type) {
    case std::filesystem::file_type::fifo: return "a FIFO";
    case std::filesystem::file_type::socket: return "a socket";
    case std::filesystem::file_type::block:
    case std::filesystem::file_type::character: return "a device";
    default: return "not a regular file";
  }
}

// Refuses the entry `path` of a directory, which cannot be read as one of
// its files: the operating system's error where its status cannot be had
// (a broken or looping link), EISDIR for a directory, ValueError otherwise.
void refuse_entry(const std::string& path, const std::error_code& status_error, std::filesystem::file_type type) {
  PyRef name(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!name) return;
  if (status_error) return raise_os_error(status_error.value(), name.get());
  if (type == std::filesystem::file_type::directory) return raise_os_error(EISDIR, name.get());
  PyErr_Format(PyExc_ValueError, "%R is %s: a directory's entries whose suffix names a format must be regular files",
               name.get(), irregular_kind(type));
}

// The files of the directory `path` whose suffix names a format, in sorted
// name order (links followed); false with the exception set, naming the
// directory where it cannot be listed and the entry that cannot be read.
bool directory_files(const ReadSource& directory, std::vector<std::string>& paths) {
  struct Refused {
    std::string path;
    std::error_code status_error;
    std::filesystem::file_type type;
    bool operator<(const Refused& other) const { return path < other.path; }
  };
  std::error_code error;
  std::vector<Refused> refused;  // entries that cannot be read: the first by name is reported
  for (std::filesystem::directory_iterator entry(directory.path, error), end; !error && entry != end;
       entry.increment(error)) {
    if (!format_from_suffix(entry->path().filename().string())) continue;
    std::error_code status_error;
    const std::filesystem::file_status status = std::filesystem::status(entry->path(), status_error);
    if (!status_error && std::filesystem::is_regular_file(status)) {
      paths.push_back(entry->path().string());
    } else {
      refused.push_back({entry->path().string(), status_error, status.type()});
    }
  }
  if (error) {
    raise_os_error(error.value(), directory.filename.get());
    return false;
  }
  if (!refused.empty()) {
    const Refused& first = *std::min_element(refused.begin(), refused.end());
    refuse_entry(first.path, first.status_error, first.type);
    return false;
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) {
    PyErr_Format(PyExc_ValueError, "no file in %R has a suffix that names a format (%s, compressed or not)",
                 directory.filename.get(), format_suffixes_text().c_str());
    return false;
  }
  return true;
}

bool is_directory(const ReadSource& source) {
  struct stat status{};
  return source.is_path && ::stat(source.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Opens the one file `source` names as the next of `files`.
bool open_one(ReadSource source, const ReadRequest& request, std::vector<std::unique_ptr<ReadFile>>& files) {
  auto file = std::make_unique<ReadFile>();
  file->source = std::move(source);
  if (!read_options_for(file->source, request, file->options)) return false;
  if (!files.empty() && file->options.format != GraphFormat::kTsv) {
    file->options.blank_suffix = std::to_string(files.size()).insert(0, 1, '@');
  }
  struct stat status{};
  if (file->source.is_path && ::stat(file->source.path.c_str(), &status) == 0) {
    file->size_on_disk = static_cast<std::uint64_t>(status.st_size);
  }
  if (!open_python_source(*file)) return false;
  files.push_back(std::move(file));
  return true;
}

// Opens what `object` names, a directory's files or one file.
bool open_named(PyObject* object, const ReadRequest& request, std::vector<std::unique_ptr<ReadFile>>& files) {
  ReadSource source;
  if (!read_source_of(object, source)) return false;
  if (!is_directory(source)) return open_one(std::move(source), request, files);
  std::vector<std::string> paths;
  if (!directory_files(source, paths)) return false;
  for (const std::string& path : paths) {
    PyRef name(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    ReadSource file;
    if (!name || !read_source_of(name.get(), file)) return false;
    file.object = file.filename.get();  // `name` goes with this round; the path's filename stays
    if (!open_one(std::move(file), request, files)) return false;
  }
  return true;
}

}  // namespace

bool open_read_files(PyObject* object, const ReadRequest& request, std::vector<std::unique_ptr<ReadFile>>& files) {
  if (!PyList_Check(object) && !PyTuple_Check(object)) return open_named(object, request, files);
  PyRef items(PySequence_Fast(object, "read()'s sources"));
  if (!items) return false;
  const Py_ssize_t count = fast_size(items.get());
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "read() needs at least one source: the list is empty");
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!open_named(fast_item(items.get(), i), request, files)) return false;
  }
  return true;
}

}  // namespace vantrel::py
