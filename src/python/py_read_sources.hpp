// What read() reads: the files, directories and file objects it is given,
// each with its format and options, and what it opened to read them (a
// compressed path through Python's decompressing modules).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "python/py_sequence.hpp"
#include "python/py_source.hpp"
#include "read/graph_reader.hpp"

namespace vantrel::py {

// What read() was given to read: a path, or a binary file object. `name` is
// what the format is told from and what notes name.
struct ReadSource {
  PyObject* object;
  bool is_path;
  std::string path;
  PyRef filename;
  std::string name;
};

// Files read() opened itself, closed when it is done, whatever happened:
// the decompressor first, then the file under it.
class OpenedFiles {
 public:
  OpenedFiles() = default;
  ~OpenedFiles();
  OpenedFiles(const OpenedFiles&) = delete;
  OpenedFiles& operator=(const OpenedFiles&) = delete;
  PyRef raw;
  PyRef decompressor;
};

// One file read() reads: where it is, how it is read, and what was opened
// to read it (a plain path is opened by the core, on every thread).
struct ReadFile {
  ReadSource source;
  GraphReadOptions options;
  OpenedFiles opened;
  std::unique_ptr<ByteSource> python_source;  // read under the interpreter lock
  std::uint64_t size_on_disk = 0;             // a path's, for progress
};

// What every file is read with, unless its own name tells its format.
struct ReadRequest {
  std::optional<GraphFormat> format;
  bool drop_literals = false;
  std::string base;
  std::optional<std::uint64_t> time_column;  // tab-separated only
};

// base=: an absolute IRI; false with the exception set where it is not.
bool convert_base(PyObject* object, std::string& base);

// The files `object` names, opened: a path or a binary file object, a
// directory (its files whose suffix names a format, in sorted name order),
// or a list or tuple of these, in order. The blank nodes of each RDF file
// after the first get "@k" (k counting files from 0) after their labels, so
// that files keep theirs apart. False with the exception set.
bool open_read_files(PyObject* object, const ReadRequest& request, std::vector<std::unique_ptr<ReadFile>>& files);

}  // namespace vantrel::py
