// The arguments of the walks-by-number methods (walk_ids, walks,
// write_walks) converted to the core's WalkRequest: the range, start=,
// items=, position=, unique=, relabel=, length= and threads=.
#pragma once

#include "python/py_args.hpp"

#include <cstdint>
#include <vector>

#include "graph/kg.hpp"
#include "walk/walk_request.hpp"

namespace vantrel::py {

// A converted request, with the copies of the node ids given that its
// start and kind.relabel point into: it is used where it was filled.
struct NumberedRequest {
  NumberedRequest() = default;
  NumberedRequest(const NumberedRequest&) = delete;
  NumberedRequest& operator=(const NumberedRequest&) = delete;

  WalkRequest walk;
  std::vector<std::uint64_t> start_nodes;    // a copy of the node ids given as start
  std::vector<std::uint64_t> relabel_nodes;  // a copy of relabel=, or empty
};

// The keyword arguments of the walks-by-number methods after (first, stop),
// each null where not given.
struct NumberedOptions {
  PyObject* threads = nullptr;
  PyObject* start = nullptr;
  PyObject* items = nullptr;
  PyObject* position = nullptr;
  PyObject* unique = nullptr;
  PyObject* relabel = nullptr;
  PyObject* length = nullptr;
};

// The walks-by-number options of the parsed arguments `given` of any method
// that takes them (py_parameters.hpp's WalkIds, Walks, WriteWalks).
template <class Given>
NumberedOptions numbered_options(const Given& given) {
  return {given.threads(), given.start(),   given.items(), given.position(),
          given.unique(),  given.relabel(), given.length()};
}

// Converts those arguments once parsed, for a graph of `node_count` nodes;
// false with the exception set on failure.
bool convert_numbered_request(PyObject* first, PyObject* stop, const NumberedOptions& options, std::uint64_t node_count,
                              NumberedRequest& numbered);

// Refuses a request that the sampler of `kg` cannot draw: mid walks on a
// metapath sampler. False with ValueError set.
bool check_walk_kind(const KG& kg, const WalkRequest& request);

// Node ids given as the argument `name` (start=, relabel=): an object with
// the buffer protocol holding integers (one dimension, any integer format),
// or a sequence of ints. Copied into `nodes`; TypeError for other items and
// for a mapping, a set or an iterator, ValueError (naming the first bad
// position) for an empty list or an id that is no node's.
bool convert_node_list(PyObject* object, const char* name, std::uint64_t node_count, std::vector<std::uint64_t>& nodes);

}  // namespace vantrel::py
