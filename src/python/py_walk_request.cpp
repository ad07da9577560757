#include "python/py_walk_request.hpp"

#include <cstring>
#include <new>

#include "core/parallel.hpp"

namespace vantrel::py {

namespace {

constexpr Choice<StartRule> kStartChoices[] = {{"random", StartRule::kDrawn}, {"each", StartRule::kEachNode}};
constexpr Choice<Items> kItemChoices[] = {{"path", Items::kPath},
                                          {"full", Items::kFull},
                                          {"nodes", Items::kNodes},
                                          {"edges", Items::kEdges},
                                          {"times", Items::kTimes}};
constexpr Choice<Focus> kPositionChoices[] = {{"start", Focus::kStart}, {"mid", Focus::kMid}};

// Walk numbers run below 2^64 - 1, so that stream i + 1 exists for each.
constexpr std::uint64_t kWalkNumberLimit = UINT64_MAX;
constexpr std::uint64_t kThreadLimit = 1u << 16;

}  // namespace

bool convert_numbered_request(PyObject* first, PyObject* stop, const NumberedOptions& options, std::uint64_t node_count,
                              NumberedRequest& numbered) {
  WalkRequest& request = numbered.walk;
  std::uint64_t thread_count = 0;
  if (!convert_bounded(first, "first", kWalkNumberLimit, request.first) ||
      !convert_bounded(stop, "stop", kWalkNumberLimit, request.stop) ||
      (options.threads && !convert_bounded(options.threads, "threads", kThreadLimit, thread_count))) {
    return false;
  }
  if (request.first > request.stop) {
    PyErr_Format(PyExc_ValueError, "first must be <= stop, not first=%llu > stop=%llu",
                 static_cast<unsigned long long>(request.first), static_cast<unsigned long long>(request.stop));
    return false;
  }
  request.threads = thread_count == 0 ? available_cpus() : static_cast<unsigned>(thread_count);
  PyObject* start = options.start;
  if (start && !PyUnicode_Check(start)) {
    if (!convert_node_list(start, "start", node_count, numbered.start_nodes)) return false;
    request.start = StartRule::listed(numbered.start_nodes);
  } else if (start && !convert_choice(start, "start", kStartChoices, request.start)) {
    return false;
  }
  if (options.items && !convert_choice(options.items, "items", kItemChoices, request.items)) return false;
  if (options.position && !convert_choice(options.position, "position", kPositionChoices, request.kind.focus)) {
    return false;
  }
  if (options.length && options.length != Py_None) {
    std::uint64_t steps = 0;
    if (!convert_bounded(options.length, "length", UINT64_MAX, steps)) return false;
    request.length = steps;
  }
  if (options.unique) {
    const int unique = PyObject_IsTrue(options.unique);
    if (unique < 0) return false;
    request.kind.unique = unique != 0;
  }
  if (options.relabel && options.relabel != Py_None) {
    if (!convert_node_list(options.relabel, "relabel", node_count, numbered.relabel_nodes)) return false;
    if (numbered.relabel_nodes.size() != node_count) {
      PyErr_Format(PyExc_ValueError, "relabel must hold one node id per node, %llu, not %zu",
                   static_cast<unsigned long long>(node_count), numbered.relabel_nodes.size());
      return false;
    }
    if (lists_steps(request.items)) {
      PyErr_Format(PyExc_ValueError, "relabel applies to nodes, and items='%s' lists none",
                   request.items == Items::kEdges ? "edges" : "times");
      return false;
    }
    request.kind.relabel = numbered.relabel_nodes;
  }
  return true;
}

bool check_walk_kind(const KG& kg, const WalkRequest& request) {
  if (request.kind.focus == Focus::kMid && kg.metapath()) {
    PyErr_SetString(PyExc_ValueError,
                    "position='mid' is not available on a metapath sampler: its pattern counts steps from the "
                    "start of a walk, and a mid walk is drawn from its focus both ways");
    return false;
  }
  if (request.items == Items::kTimes && !kg.temporal()) {
    PyErr_SetString(PyExc_ValueError,
                    "items='times' needs a temporal sampler (temporal()): this one's facts have no "
                    "times");
    return false;
  }
  if (request.kind.focus == Focus::kMid && kg.temporal()) {
    PyErr_SetString(PyExc_ValueError,
                    "position='mid' is not available on a temporal sampler: a mid walk is drawn from its focus both "
                    "ways, and its back route would run against time");
    return false;
  }
  return true;
}

namespace {

// Refuses node id `id` at `position` of the argument `name` unless it is below `node_count`.
bool check_node(std::uint64_t id, const char* name, Py_ssize_t position, std::uint64_t node_count) {
  if (id < node_count) return true;
  if (node_count == 0) {
    PyErr_Format(PyExc_ValueError, "%s[%zd] = %llu is not a node id: the graph has no nodes", name, position,
                 static_cast<unsigned long long>(id));
  } else {
    PyErr_Format(PyExc_ValueError, "%s[%zd] = %llu is not a node id: node ids run from 0 to %llu", name, position,
                 static_cast<unsigned long long>(id), static_cast<unsigned long long>(node_count - 1));
  }
  return false;
}

bool negative_node(long long id, const char* name, Py_ssize_t position) {
  PyErr_Format(PyExc_ValueError, "%s[%zd] = %lld is not a node id: node ids are not negative", name, position, id);
  return false;
}

}  // namespace

namespace {

// The node ids of a buffer of integers, read whatever their width,
// signedness and byte order.
bool nodes_from_buffer(const Py_buffer& view, const char* name, std::uint64_t node_count,
                       std::vector<std::uint64_t>& nodes) {
  if (view.ndim != 1) {
    PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not of %d dimensions", name, view.ndim);
    return false;
  }
  IntegerFormat format;
  if (!integer_format_of(view, name, format)) return false;
  nodes.resize(static_cast<std::size_t>(view.shape[0]));
  const char* item = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
  for (Py_ssize_t i = 0; i < view.shape[0]; ++i, item += stride) {
    const StoredInteger value = read_integer(item, format);
    if (value.negative) return negative_node(static_cast<long long>(value.bits), name, i);
    if (!check_node(value.bits, name, i, node_count)) return false;
    nodes[static_cast<std::size_t>(i)] = value.bits;
  }
  return true;
}

}  // namespace

namespace {

// TypeError for node ids given in a container that holds none by position
// (a mapping, a set, an iterator); for relabel=, how to make one of a
// {node: class} mapping.
bool refuse_node_container(PyObject* object, const char* name, const std::string& expected) {
  if (std::strcmp(name, "relabel") == 0 && is_mapping(object) == 1) {
    PyErr_Format(PyExc_TypeError,
                 "%s, not %.200s: for a {node: class} mapping, give "
                 "[mapping.get(node, node) for node in range(sampler.node_count)]",
                 expected.c_str(), TypeName(object).c_str());
  } else {
    PyErr_Format(PyExc_TypeError, "%s, not %.200s", expected.c_str(), TypeName(object).c_str());
  }
  return false;
}

}  // namespace

bool convert_node_list(PyObject* given, const char* name, std::uint64_t node_count, std::vector<std::uint64_t>& nodes) {
  const PyRef array = array_or_object(given);
  if (!array) return false;
  PyObject* const object = array.get();
  const bool is_start = std::strcmp(name, "start") == 0;
  const std::string expected = is_start ? "start must be 'random', 'each' or a sequence of node ids"
                                        : std::string(name).append(" must be a sequence of node ids");
  // Bytes are a buffer of small integers to Python, but never meant as node ids.
  if (PyBytes_Check(object) || PyByteArray_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s, not %.200s", expected.c_str(), TypeName(object).c_str());
    return false;
  }
  try {
    if (PyObject_CheckBuffer(object)) {
      Py_buffer view;
      if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return false;
      const bool converted = nodes_from_buffer(view, name, node_count, nodes);
      PyBuffer_Release(&view);
      if (!converted) return false;
    } else {
      // A sequence, not any iterable: a mapping's keys, a set's order or
      // what an iterator yields is no list of node ids by position.
      const int mapping = is_mapping(object);
      if (mapping < 0) return false;
      if (mapping || !PySequence_Check(object)) return refuse_node_container(object, name, expected);
      PyRef items(PySequence_Fast(object, expected.c_str()));
      if (!items) return false;
      const Py_ssize_t count = fast_size(items.get());
      nodes.resize(static_cast<std::size_t>(count));
      for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = fast_item(items.get(), i);
        IntItem number;
        const int is_int = read_int_item(item, number);
        if (is_int < 0) return false;
        if (is_int == 0) {
          PyErr_Format(PyExc_TypeError, "%s[%zd] must be an int, not %.200s", name, i, TypeName(item).c_str());
          return false;
        }
        if (number.overflow) {
          PyErr_Format(PyExc_ValueError, "%s[%zd] = %R is not a node id", name, i, number.index.get());
          return false;
        }
        if (number.value < 0) return negative_node(number.value, name, i);
        const auto id = static_cast<std::uint64_t>(number.value);
        if (!check_node(id, name, i, node_count)) return false;
        nodes[static_cast<std::size_t>(i)] = id;
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (nodes.empty() && is_start) {
    PyErr_SetString(PyExc_ValueError, "start is empty: give at least one node id");
    return false;
  }
  return true;
}

}  // namespace vantrel::py
