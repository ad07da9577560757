// PathSampler's constructors from the inputs users have: read() for files
// and file objects of triples (tab-separated, N-Triples, N-Quads, compressed
// or not), from_ids() for arrays of integer triples with their labels, and
// from_arrow() for tables behind the Arrow C stream interface.
#include "python/py_sampler_inputs.hpp"
#include "python/py_sampler_state.hpp"
#include "python/py_sampler_temporal.hpp"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/canonical.hpp"
#include "graph/id_graph.hpp"
#include "python/py_args.hpp"
#include "python/py_parameters.hpp"
#include "python/py_progress.hpp"
#include "python/py_read_sources.hpp"
#include "python/py_source.hpp"
#include "read/arrow_stream.hpp"
#include "read/byte_source.hpp"
#include "read/formats.hpp"
#include "read/graph_reader.hpp"
#include "read/iri.hpp"

namespace vantrel::py {

namespace {

constexpr const char* kReadName = "PathSampler.read()";

constexpr Choice<GraphFormat> kFormatChoices[] = {  // read/formats' names
    {"tsv", GraphFormat::kTsv},       {"nt", GraphFormat::kNTriples}, {"nq", GraphFormat::kNQuads},
    {"turtle", GraphFormat::kTurtle}, {"trig", GraphFormat::kTriG},   {"rdfxml", GraphFormat::kRdfXml},
    {"jsonld", GraphFormat::kJsonLd}};
constexpr Choice<bool> kLiteralChoices[] = {{"keep", false}, {"drop", true}};  // true: drop them

constexpr const char* kFromIdsName = "PathSampler.from_ids()";
constexpr const char* kCanonicalReorders =
    "canonical=True sorts the triples, and times follow the order they were given in: give one or the other";
constexpr const char* kFromArrowName = "PathSampler.from_arrow()";

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
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of str, not a %.200s", name, TypeName(sequence).c_str());
    return false;
  }
  if (PyDict_Check(sequence) || PyAnySet_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of str in id order, not a %.200s", name,
                 TypeName(sequence).c_str());
    return false;
  }
  const std::string not_iterable = std::string(name) + " must be a sequence of str, not " + TypeName(sequence).c_str();
  PyRef items(PySequence_Fast(sequence, not_iterable.c_str()));
  if (!items) return false;
  const Py_ssize_t count = fast_size(items.get());
  LabelArena arena;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = fast_item(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s[%zd] must be str, not %.200s", name, i, TypeName(item).c_str());
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
                 fast_item(items.get(), static_cast<Py_ssize_t>(repeat->first)), name,
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

namespace {

// Takes the Arrow C stream of `table` (its __arrow_c_stream__()) into
// `stream`; false with the exception set (TypeError for an object without one).
bool take_arrow_stream(PyObject* table, arrow::ArrayStream& stream) {
  PyRef method(PyObject_GetAttrString(table, "__arrow_c_stream__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "table must have the Arrow C stream interface (__arrow_c_stream__: a pyarrow Table or "
                 "RecordBatchReader, a polars or pandas DataFrame), not %.200s",
                 TypeName(table).c_str());
    return false;
  }
  PyRef capsule(PyObject_CallNoArgs(method.get()));
  if (!capsule) return false;
  auto* given = static_cast<arrow::ArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (!given) return false;
  // Moved out: the capsule's destructor sees it released and leaves it.
  stream = *given;
  given->release = nullptr;
  return true;
}

}  // namespace

namespace {

// A sampler of `type` over the Arrow table `table` (from_arrow's
// arguments, null where not given); null with the exception set.
PyObject* sampler_from_table(PyObject* type, PyObject* table, const WalkArguments& walk, bool canonical,
                             PyObject* node_labels_given, PyObject* relation_labels_given) {
  arrow::ArrayStream stream{};
  if (!take_arrow_stream(table, stream)) return nullptr;
  std::unique_ptr<ArrowTriples> triples;
  try {
    triples = std::make_unique<ArrowTriples>(stream);
  } catch (...) {
    if (stream.release) stream.release(&stream);
    raise_failure(std::current_exception());
    return nullptr;
  }
  LabelList node_labels;
  LabelList relation_labels;
  if (triples->holds_ids()) {
    if (!node_labels_given || !relation_labels_given) {
      PyErr_SetString(PyExc_TypeError,
                      "a table of integer ids needs node_labels and relation_labels, the labels of those ids, as "
                      "from_ids() does");
      return nullptr;
    }
    if (!labels_of(node_labels_given, "node_labels", node_labels) ||
        !labels_of(relation_labels_given, "relation_labels", relation_labels)) {
      return nullptr;
    }
  } else if (node_labels_given || relation_labels_given) {
    PyErr_SetString(PyExc_TypeError,
                    "node_labels and relation_labels go with a table of integer ids; this one holds labels");
    return nullptr;
  }
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    AnyGraph graph = triples->holds_ids() ? graph_from_ids(triples->id_triples(poll), std::move(node_labels),
                                                           std::move(relation_labels), poll)
                                          : read_graph(*triples->lines(), {}, poll);
    return state_with(canonical ? canonical_graph(std::move(graph), poll) : std::move(graph), walk);
  });
}

// The table of the Parquet file at `path` (a path object read() takes),
// its columns `columns` (None: all); null with the exception set
// (ImportError saying how to install pyarrow where it is missing).
PyObject* parquet_table(PyObject* path, PyObject* columns) {
  PyRef parquet(import_optional("pyarrow.parquet",
                                "Parquet files are read through pyarrow, which is not installed: pip install pyarrow "
                                "(from a clone of vantrel: pip install '.[parquet]')"));
  if (!parquet) return nullptr;
  PyRef read_table(PyObject_GetAttrString(parquet.get(), "read_table"));
  if (!read_table) return nullptr;
  PyRef args(PyTuple_Pack(1, path));
  PyRef kwargs(PyDict_New());
  if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "columns", columns ? columns : Py_None) < 0) {
    return nullptr;
  }
  return PyObject_Call(read_table.get(), args.get(), kwargs.get());
}

// Whether read() is given a Parquet file: format="parquet", or a path whose
// name ends in .parquet with no format given. -1 with the exception set.
int is_parquet(PyObject* source, PyObject* format) {
  if (format && format != Py_None) {
    if (!PyUnicode_Check(format)) return 0;  // refused where the formats are
    return PyUnicode_CompareWithASCIIString(format, "parquet") == 0;
  }
  if (!PyUnicode_Check(source) && !PyBytes_Check(source) && !PyObject_HasAttrString(source, "__fspath__")) return 0;
  PyRef path(PyOS_FSPath(source));
  if (!path) return -1;
  PyRef text(PyUnicode_Check(path.get())
                 ? new_ref(path.get())
                 : PyRef(PyUnicode_DecodeFSDefaultAndSize(bytes_data(path.get()), bytes_size(path.get()))));
  if (!text) return -1;
  PyRef suffix(PyUnicode_FromString(".parquet"));
  if (!suffix) return -1;
  const Py_ssize_t ends = PyUnicode_Tailmatch(text.get(), suffix.get(), 0, PY_SSIZE_T_MAX, 1);
  return ends < 0 ? -1 : static_cast<int>(ends);
}

}  // namespace

PyObject* PathSampler_from_ids(PyObject* type, PyObject* args, PyObject* kwargs) {
  parameters::FromIds given;
  if (!given.parse(kFromIdsName, args, kwargs)) return nullptr;
  WalkArguments walk;
  bool canonical = false;
  if (!convert_walk_arguments(given.mean_path_len(), given.max_path_len(), given.random_state(), walk) ||
      !convert_canonical(given.canonical(), canonical)) {
    return nullptr;
  }
  // A torch tensor has no buffer protocol; its numpy() view shares its memory.
  PyRef array = new_ref(given.triples());
  if (!PyObject_CheckBuffer(array.get()) && PyObject_HasAttrString(array.get(), "numpy")) {
    array.reset(PyObject_CallMethod(array.get(), "numpy", nullptr));
    if (!array) return nullptr;
  }
  HeldBuffer buffer;
  if (!PyObject_CheckBuffer(array.get())) {
    PyErr_Format(PyExc_TypeError, "triples must be an integer array with the buffer protocol, not %.200s",
                 TypeName(array.get()).c_str());
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
      tuple_set(shape.get(), d, extent);
    }
    PyErr_Format(PyExc_ValueError, "triples must be of shape (n, 3): rows of (head, relation, tail), not %R",
                 shape.get());
    return nullptr;
  }
  IntegerFormat format;
  if (!integer_format_of(view, "triples", format)) return nullptr;
  const IdTriples triples = IdTriples::of_array(
      static_cast<const char*>(view.buf), static_cast<std::uint64_t>(view.shape[0]),
      view.strides ? view.strides[0] : 3 * view.itemsize, view.strides ? view.strides[1] : view.itemsize, format);

  LabelList node_labels;
  LabelList relation_labels;
  if (!labels_of(given.node_labels(), "node_labels", node_labels) ||
      !labels_of(given.relation_labels(), "relation_labels", relation_labels)) {
    return nullptr;
  }
  std::shared_ptr<const TripleTimes> times;
  if (given.times() && given.times() != Py_None) {
    if (canonical) {
      PyErr_SetString(PyExc_ValueError, kCanonicalReorders);
      return nullptr;
    }
    if (!convert_times(given.times(), static_cast<std::uint64_t>(view.shape[0]), times)) return nullptr;
  }
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    AnyGraph graph = graph_from_ids(triples, std::move(node_labels), std::move(relation_labels), poll);
    if (canonical) return state_with(canonical_graph(std::move(graph), poll), walk);
    return state_with(KG(std::move(graph)).with_times(std::move(times)), walk);
  });
}

PyObject* PathSampler_read(PyObject* type, PyObject* args, PyObject* kwargs) {
  parameters::Read given;
  if (!given.parse(kReadName, args, kwargs)) return nullptr;
  WalkArguments walk;
  if (!convert_walk_arguments(given.mean_path_len(), given.max_path_len(), given.random_state(), walk)) return nullptr;
  const int parquet = is_parquet(given.source(), given.format());
  if (parquet < 0) return nullptr;
  PyObject* const columns = given.columns() == Py_None ? nullptr : given.columns();
  std::optional<std::uint64_t> time_column;
  if (given.time_column() && given.time_column() != Py_None) {
    std::uint64_t column = 0;
    if (!convert_bounded(given.time_column(), "time_column", UINT64_MAX, column)) return nullptr;
    if (column < 3) {
      PyErr_Format(PyExc_ValueError, "time_column must be 3 or more: columns 0 to 2 are the triple, not %llu",
                   static_cast<unsigned long long>(column));
      return nullptr;
    }
    if (parquet) {
      PyErr_SetString(PyExc_ValueError, "time_column applies to tab-separated files, not to Parquet");
      return nullptr;
    }
    time_column = column;
  }
  if (parquet) {
    bool canonical = false;
    bool drop_literals = false;
    if (!convert_canonical(given.canonical(), canonical) ||
        (given.literals() && !convert_choice(given.literals(), "literals", kLiteralChoices, drop_literals))) {
      return nullptr;
    }
    if (drop_literals || (given.base() && given.base() != Py_None)) {
      PyErr_SetString(PyExc_ValueError, "literals='drop' and base= are for RDF; a Parquet file holds labels");
      return nullptr;
    }
    PyRef table(parquet_table(given.source(), columns));
    if (!table) return nullptr;
    return sampler_from_table(type, table.get(), walk, canonical, nullptr, nullptr);
  }
  if (columns) {
    PyErr_SetString(PyExc_TypeError, "columns= names the columns of a Parquet file; this source is none");
    return nullptr;
  }
  std::optional<GraphFormat> format;
  if (given.format() && given.format() != Py_None) {
    GraphFormat chosen;
    if (!convert_choice(given.format(), "format", kFormatChoices, chosen)) return nullptr;
    format = chosen;
  }
  bool drop_literals = false;
  if (given.literals() && !convert_choice(given.literals(), "literals", kLiteralChoices, drop_literals)) return nullptr;
  Progress progress;
  if (!progress.set(given.progress())) return nullptr;
  bool canonical = false;
  if (!convert_canonical(given.canonical(), canonical)) return nullptr;
  if (canonical && time_column) {
    PyErr_SetString(PyExc_ValueError, kCanonicalReorders);
    return nullptr;
  }
  ReadRequest request{format, drop_literals, {}, time_column};
  if (given.base() && given.base() != Py_None && !convert_base(given.base(), request.base)) return nullptr;
  std::vector<std::unique_ptr<ReadFile>> files;
  if (!open_read_files(given.source(), request, files)) return nullptr;
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;

  // Progress: bytes of the files read so far (of a compressed file, for a
  // compressed path), or bytes a file object gave. Polls, and so reports,
  // may come from any of the reading threads.
  std::atomic<std::size_t> current{0};
  std::atomic<const CountingSource*> counted{nullptr};
  std::atomic<std::uint64_t> bytes_before{0};  // of the files done
  auto report_progress = [&] {
    progress.report([&] {
      const std::uint64_t before = bytes_before.load();
      if (current.load() == files.size()) return PyLong_FromUnsignedLongLong(before);  // every file read
      const ReadFile& file = *files[current.load()];
      if (file.opened.raw) {
        PyRef told(PyObject_CallMethod(file.opened.raw.get(), "tell", nullptr));
        if (!told) return static_cast<PyObject*>(nullptr);
        PyRef done(PyLong_FromUnsignedLongLong(before));
        return done ? PyNumber_Add(told.get(), done.get()) : nullptr;
      }
      const CountingSource* source = counted.load();
      return PyLong_FromUnsignedLongLong(before + (source ? source->bytes_read() : 0));
    });
  };
  std::string reading_name = files.front()->source.name;  // what an error's note names
  return fill_sampler_with(
      std::move(owner),
      [&](const InterruptPoll& poll) {
        GraphReading reading(files.front()->options);
        for (std::size_t k = 0; k < files.size(); ++k) {
          ReadFile& file = *files[k];
          reading_name = file.source.name;
          current.store(k);
          std::optional<FileSource> plain;
          if (!file.python_source) plain.emplace(file.source.path, poll);
          CountingSource counting(file.python_source ? *file.python_source : static_cast<ByteSource&>(*plain));
          counted.store(&counting);
          reading.add(counting, file.options, poll);
          counted.store(nullptr);
          bytes_before += file.opened.raw ? file.size_on_disk : counting.bytes_read();
        }
        current.store(files.size());
        AnyGraph built = std::move(reading).finish(poll);
        if (canonical) built = canonical_graph(std::move(built), poll);
        KG graph(std::move(built));
        if (time_column) graph = graph.with_times(std::make_shared<const TripleTimes>(reading.take_times()));
        progress.finish();
        if (progress) poll();  // the final count
        return state_with(std::move(graph), walk);
      },
      report_progress, &reading_name, nullptr, "source");
}

PyObject* PathSampler_from_arrow(PyObject* type, PyObject* args, PyObject* kwargs) {
  parameters::FromArrow given;
  if (!given.parse(kFromArrowName, args, kwargs)) return nullptr;
  WalkArguments walk;
  bool canonical = false;
  if (!convert_walk_arguments(given.mean_path_len(), given.max_path_len(), given.random_state(), walk) ||
      !convert_canonical(given.canonical(), canonical)) {
    return nullptr;
  }
  PyObject* const node_labels = given.node_labels() == Py_None ? nullptr : given.node_labels();
  PyObject* const relation_labels = given.relation_labels() == Py_None ? nullptr : given.relation_labels();
  return sampler_from_table(type, given.table(), walk, canonical, node_labels, relation_labels);
}

}  // namespace vantrel::py
