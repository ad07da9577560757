// PathSampler's constructors from the inputs users have: read() for files
// and file objects of triples (tab-separated, N-Triples, N-Quads, compressed
// or not), and from_ids() for arrays of integer triples with their labels.
#include "python/py_sampler_inputs.hpp"
#include "python/py_sampler_state.hpp"

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
  if (!labels_of(given.node_labels(), "node_labels", node_labels) ||
      !labels_of(given.relation_labels(), "relation_labels", relation_labels)) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    AnyGraph graph = graph_from_ids(triples, std::move(node_labels), std::move(relation_labels), poll);
    return state_with(canonical ? canonical_graph(std::move(graph), poll) : std::move(graph), walk);
  });
}

PyObject* PathSampler_read(PyObject* type, PyObject* args, PyObject* kwargs) {
  parameters::Read given;
  if (!given.parse(kReadName, args, kwargs)) return nullptr;
  WalkArguments walk;
  if (!convert_walk_arguments(given.mean_path_len(), given.max_path_len(), given.random_state(), walk)) return nullptr;
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
  ReadRequest request{format, drop_literals, {}};
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
        AnyGraph graph = std::move(reading).finish(poll);
        if (canonical) graph = canonical_graph(std::move(graph), poll);
        progress.finish();
        if (progress) poll();  // the final count
        return state_with(std::move(graph), walk);
      },
      report_progress, &reading_name, nullptr, "source");
}

}  // namespace vantrel::py
